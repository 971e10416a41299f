import sys
import threading

import pytest


def _releases_gil(call):
    """Whether the main thread runs while call() runs in another: with forced switches a second apart, it
    does only if the call lets go of the GIL (one call takes far less than a second)."""
    started, done, ticks = threading.Event(), threading.Event(), 0

    def work():
        started.set()
        try:
            call()
        finally:
            done.set()

    worker, interval = threading.Thread(target=work), sys.getswitchinterval()
    sys.setswitchinterval(1.0)
    try:
        worker.start()
        started.wait()
        while not done.is_set():
            ticks += 1
        worker.join()
    finally:
        sys.setswitchinterval(interval)
    return ticks > 0


@pytest.fixture
def releases_gil():
    return _releases_gil
