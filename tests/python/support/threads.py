"""Threads that call into a state, and where they wait."""

import contextlib
import ctypes
import platform
import threading
import time
from pathlib import Path

# The futex system call, in which a thread sleeps while a lock it wants is held.
FUTEX = {"x86_64": 202, "aarch64": 98}.get(platform.machine())
LIBC = ctypes.CDLL(None)


def started(target, *args):
    # A daemon thread running target(*args), its outcome appended to .ended.
    thread = threading.Thread(target=lambda: thread.ended.append(target(*args)), daemon=True)
    thread.ended = []
    thread.start()
    return thread


def attempt(call):
    try:
        return call(), None
    except (TypeError, ValueError) as error:
        return None, (type(error), str(error))


def ended(worker):
    # Joined with a bound: a lock never given back must fail, not hang, the suite.
    worker.join(60)
    assert worker.ended, "the call never ended"
    return worker.ended[0]


def waits_for(thread, lock):
    # Whether `thread` comes to sleep on the futex at `lock` (else it ends).
    where = Path(f"/proc/self/task/{thread.native_id}/syscall")
    while thread.is_alive():
        with contextlib.suppress(OSError):
            fields = where.read_text().split()  # "running" when it runs
            if fields[0] == str(FUTEX) and int(fields[1], 16) == lock:
                return True
        time.sleep(0)
    return False
