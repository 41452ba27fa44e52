"""Whether a call lets other threads run while it is inside its kernel."""

import sys
import threading
import time


def ticks_inside(call):
    """Ticks a spinning thread makes well inside a call's duration.

    The spinner stamps the clock as often as it gets the interpreter lock.
    Ticks within a margin of the call's start and end are not counted: the
    lock may change hands around the call itself, and with a short switch
    interval the margin covers that. A call that holds the lock throughout
    leaves no tick inside; one that releases it leaves many.
    """
    stamps = []
    stop = threading.Event()

    def spin():
        while not stop.is_set():
            stamps.append(time.perf_counter())

    interval = sys.getswitchinterval()
    sys.setswitchinterval(0.0005)
    spinner = threading.Thread(target=spin)
    spinner.start()
    try:
        while not stamps:
            time.sleep(0.001)
        start = time.perf_counter()
        call()
        end = time.perf_counter()
    finally:
        stop.set()
        spinner.join()
        sys.setswitchinterval(interval)
    margin = 0.005
    assert end - start > 4 * margin, "the call was too short to probe; give it more data"
    return sum(start + margin < t < end - margin for t in stamps)
