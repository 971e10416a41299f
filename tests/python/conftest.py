import sys
import threading

import pytest


@pytest.fixture
def releases_gil():
    """Whether the main thread runs while call() runs in another: with forced switches a second apart, it
    does only if the call lets go of the GIL (one call takes far less than a second)."""
    def check(call):
        started, done, ticks = threading.Event(), threading.Event(), 0
        worker, interval = threading.Thread(target=lambda: (started.set(), call(), done.set())), sys.getswitchinterval()
        sys.setswitchinterval(1.0)
        try:
            worker.start()
            started.wait()
            while not done.is_set() and worker.is_alive():
                ticks += 1
            worker.join()
        finally:
            sys.setswitchinterval(interval)
        return done.is_set() and ticks > 0
    return check
