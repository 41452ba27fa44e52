// What the frame needs to know about NumPy arrays. Only numpy_arrays.cpp
// includes NumPy's headers; its C API table is obtained on first need.
#pragma once

#include <Python.h>

#include <cstddef>

#include "borrow_registry.hpp"
#include "call_error.hpp"
#include "quorvane/series.hpp"

namespace quorvane::module {

// Data pointer, element count and byte stride of a one-dimensional array.
struct ArrayView {
    void* data;
    std::size_t count;
    Py_ssize_t stride;
};

// The view of an array that is_float64_vector accepted.
ArrayView array_view(PyObject* array) noexcept;

// Whether a view may be used as a Series: consecutive elements, or too few
// elements for the stride to matter.
inline bool is_contiguous(const ArrayView& view) noexcept {
    return view.stride == static_cast<Py_ssize_t>(sizeof(double)) || view.count < 2;
}

// Whether two contiguous views share a byte.
inline bool shares_memory(const ArrayView& a, const ArrayView& b) noexcept {
    const auto a_begin = reinterpret_cast<std::uintptr_t>(a.data);
    const auto b_begin = reinterpret_cast<std::uintptr_t>(b.data);
    return a.count != 0 && b.count != 0 && a_begin < b_begin + b.count * sizeof(double) &&
           b_begin < a_begin + a.count * sizeof(double);
}

inline Series as_series(const ArrayView& view) noexcept {
    return {view.data, view.count};
}
inline OutputSeries as_output(const ArrayView& view) noexcept {
    return {view.data, view.count};
}

// NumPy's own import of its C API table, run once, on the first array
// argument rather than at module import. Failing to is an internal failure,
// unless memory or recursion depth ran out: that is the call's error.
Status obtain_numpy_api() noexcept;

// Whether `object` is a NumPy array (or subclass instance) of one dimension
// whose dtype is float64 or equivalent to it. Needs the table above.
bool is_float64_vector(PyObject* object) noexcept;

// A float64 array of one or two dimensions whose elements fill one block of
// memory, in C or in Fortran order: its start, rows (axis 0) and columns (1
// for one dimension), and whether its rows are the block's consecutive runs.
struct BlockView {
    void* data;
    std::size_t dimensions;
    std::size_t rows;
    std::size_t columns;
    bool c_order;
};

// The view of `object` when it is such an array. Needs the table above.
bool block_view(PyObject* object, BlockView& view) noexcept;

// Whether the array's owner lets it be written (NumPy's writeable flag).
bool is_writeable(PyObject* array) noexcept;

// A new float64 array holding a copy of `count` values; null with the
// error set when it cannot be made.
PyObject* new_float64_array(const double* values, std::size_t count) noexcept;

// The memory an array's elements occupy, and the object that owns it.
BorrowRegion array_region(PyObject* array) noexcept;

}  // namespace quorvane::module
