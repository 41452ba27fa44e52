"""A cooperating party of the array borrow registry, through ctypes."""

# The capsule's version-1 function table is called as PYFUNCTYPE, so that the
# interpreter lock stays held, as the registry requires.

import contextlib
import ctypes
import sys

import numpy as np

_Range = (ctypes.c_void_p, ctypes.c_size_t, ctypes.c_size_t)


class _RegistryV1(ctypes.Structure):
    _fields_ = [("version", ctypes.c_uint32), ("size", ctypes.c_uint32),
                ("acquire_shared", ctypes.PYFUNCTYPE(ctypes.c_int, *_Range)),
                ("release_shared", ctypes.PYFUNCTYPE(None, *_Range)),
                ("acquire_exclusive", ctypes.PYFUNCTYPE(ctypes.c_int, *_Range)),
                ("release_exclusive", ctypes.PYFUNCTYPE(None, *_Range)),
                ("active", ctypes.PYFUNCTYPE(ctypes.c_size_t))]


def registry():
    if not hasattr(sys, "_array_borrow_registry_v1"):  # a first array call installs it
        from quorvane import indicator_sma

        indicator_sma(1, np.zeros(1), np.zeros(1))
    get_pointer = ctypes.pythonapi.PyCapsule_GetPointer
    get_pointer.restype, get_pointer.argtypes = ctypes.c_void_p, [ctypes.py_object, ctypes.c_char_p]
    address = get_pointer(sys._array_borrow_registry_v1, b"sys._array_borrow_registry_v1")
    return ctypes.cast(address, ctypes.POINTER(_RegistryV1)).contents


@contextlib.contextmanager
def held_exclusively(array):
    # Holds the bytes of a one-dimensional array's elements, as a writing
    # extension would.
    low = high = array.__array_interface__["data"][0]
    if array.size:
        reach = (array.size - 1) * array.strides[0]
        low, high = min(low, low + reach), max(high, high + reach) + array.itemsize
    assert registry().acquire_exclusive(id(array), low, high) == 0
    try:
        yield
    finally:
        registry().release_exclusive(id(array), low, high)


def active():
    return registry().active()
