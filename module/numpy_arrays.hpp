// What the frame needs to know about NumPy arrays. Only numpy_arrays.cpp
// includes NumPy's headers; its C API table is obtained on first need.
#pragma once

#include <Python.h>

#include "borrow_registry.hpp"

namespace quorvane::module {

// Whether `object` is a NumPy array (or subclass instance) of one dimension
// whose dtype is float64 or equivalent to it. The first call in the process
// imports NumPy; failing to is an internal failure.
bool is_float64_vector(PyObject* object) noexcept;

// Whether the array's owner lets it be written (NumPy's writeable flag).
bool is_writeable(PyObject* array) noexcept;

// The memory an array's elements occupy, and the object that owns it.
BorrowRegion array_region(PyObject* array) noexcept;

}  // namespace quorvane::module
