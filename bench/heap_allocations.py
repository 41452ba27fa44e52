"""C heap allocations per quorvane call, printed as JSON.

Runs with the heap counter preloaded (LD_PRELOAD), which counts every
malloc, calloc, realloc and aligned allocation in the process.
"""

import ctypes
import itertools
import json
import sys

from calls import INDICATORS, generated_prices, quorvane_call

CALLS = 1000


def main():
    count = ctypes.CDLL(None).quorvane_heap_allocations
    count.restype = ctypes.c_ulonglong
    n = int(sys.argv[1])
    prices = generated_prices(n)
    # The timing loop alone, as a check that the harness adds nothing.
    measured = {"empty loop": (len, ((),))}
    for indicator in INDICATORS:
        function, args, _ = quorvane_call(indicator, *prices)
        measured[indicator] = (function, args)
    result = {}
    for name, (function, args) in measured.items():
        function(*args)  # first calls set up process-wide state once
        before = count()
        for _ in itertools.repeat(None, CALLS):
            function(*args)
        result[name] = (count() - before) / CALLS
    json.dump(result, sys.stdout)


if __name__ == "__main__":
    main()
