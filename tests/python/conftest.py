import sys
import threading
import time

import pytest


@pytest.fixture
def releases_gil():
    """Whether the main thread runs while call() runs in another. With forced switches five seconds apart,
    it does only if the call lets go of the GIL; the call is repeated for up to two seconds until the main
    thread has run, so that a loaded machine that is slow to schedule it does not make a false failure."""
    def check(call):
        started, ran, done, errors = threading.Event(), threading.Event(), threading.Event(), []

        def worker():
            started.set()
            deadline = time.monotonic() + 2.0
            try:
                while not ran.is_set() and time.monotonic() < deadline:
                    call()
            except Exception as error:  # a call that fails fails the check
                errors.append(error)
            finally:
                done.set()

        thread, interval = threading.Thread(target=worker), sys.getswitchinterval()
        sys.setswitchinterval(5.0)
        try:
            thread.start()
            started.wait()  # returns only when the worker lets go of the GIL
            ran_meanwhile = not done.is_set()
            ran.set()
            thread.join()
        finally:
            sys.setswitchinterval(interval)
        return ran_meanwhile and not errors
    return check
