"""A cooperating party of the array borrow registry, through its capsule.

The registry is published as the capsule `sys._array_borrow_registry_v1`;
this helper reads its version-1 function table with ctypes. The functions
are called as PYFUNCTYPE, so the interpreter lock stays held, as the
registry requires.
"""

import contextlib
import ctypes
import sys

import numpy as np

CAPSULE_NAME = b"sys._array_borrow_registry_v1"
GRANTED = 0
CONFLICT = 1

_Acquire = ctypes.PYFUNCTYPE(ctypes.c_int, ctypes.c_void_p, ctypes.c_size_t, ctypes.c_size_t)
_Release = ctypes.PYFUNCTYPE(None, ctypes.c_void_p, ctypes.c_size_t, ctypes.c_size_t)
_Active = ctypes.PYFUNCTYPE(ctypes.c_size_t)


class _RegistryV1(ctypes.Structure):
    _fields_ = [
        ("version", ctypes.c_uint32),
        ("size", ctypes.c_uint32),
        ("acquire_shared", _Acquire),
        ("release_shared", _Release),
        ("acquire_exclusive", _Acquire),
        ("release_exclusive", _Release),
        ("active", _Active),
    ]


def registry():
    """The process's registry; a first array call installs it."""
    if not hasattr(sys, "_array_borrow_registry_v1"):
        from quorvane import indicator_sma

        indicator_sma(1, np.zeros(1), np.zeros(1))
    get_pointer = ctypes.pythonapi.PyCapsule_GetPointer
    get_pointer.restype = ctypes.c_void_p
    get_pointer.argtypes = [ctypes.py_object, ctypes.c_char_p]
    address = get_pointer(sys._array_borrow_registry_v1, CAPSULE_NAME)
    return ctypes.cast(address, ctypes.POINTER(_RegistryV1)).contents


def byte_range(array):
    """The bytes a one-dimensional array's elements occupy."""
    start = array.__array_interface__["data"][0]
    if array.size == 0:
        return start, start
    reach = (array.size - 1) * array.strides[0]
    low, high = (start + reach, start) if reach < 0 else (start, start + reach)
    return low, high + array.itemsize


@contextlib.contextmanager
def held_exclusively(array):
    """Holds the array's memory exclusively, as a writing extension would."""
    api = registry()
    low, high = byte_range(array)
    owner = id(array)
    assert api.acquire_exclusive(owner, low, high) == GRANTED
    try:
        yield
    finally:
        api.release_exclusive(owner, low, high)


def active():
    return registry().active()
