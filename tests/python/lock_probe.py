"""Whether a call lets other threads run while it is inside its kernel."""

import sys
import threading
import time


def ticks_inside(call):
    """Ticks a second thread makes while `call` runs.

    The ticker stamps a count and gives the interpreter lock up after every
    tick. Forced switching is turned off (a switch interval far longer than
    the test), so the lock changes hands only when a thread gives it up: a
    call that holds the lock throughout sees no tick between its first and
    last bytecode, and a call that releases it around its kernel lets the
    ticker run for as long as the kernel takes.
    """
    ticks = 0
    stop = threading.Event()

    def tick():
        nonlocal ticks
        while not stop.is_set():
            ticks += 1
            time.sleep(0)

    interval = sys.getswitchinterval()
    sys.setswitchinterval(1000.0)
    ticker = threading.Thread(target=tick)
    ticker.start()
    try:
        while ticks == 0:
            time.sleep(0.001)
        before = ticks
        call()
        after = ticks
    finally:
        stop.set()
        ticker.join()
        sys.setswitchinterval(interval)
    return after - before
