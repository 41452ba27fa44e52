#include "numpy_arrays.hpp"

#include <cstring>
#include <utility>

#define NPY_NO_DEPRECATED_API NPY_2_0_API_VERSION
#define NPY_TARGET_VERSION NPY_2_0_API_VERSION
#include <numpy/arrayobject.h>

#include "call_error.hpp"
#include "internal_failure.hpp"
#include "quorvane/failure.hpp"

namespace quorvane::module {
namespace {

PyArrayObject* as_array(PyObject* object) noexcept {
    return reinterpret_cast<PyArrayObject*>(object);
}

// NumPy's float64 descriptor, taken once: arrays of native float64 almost
// always carry this very object, so identity settles most checks without a
// call into NumPy.
PyArray_Descr* float64_descr() noexcept {
    static PyArray_Descr* const descr = [] {
        PyArray_Descr* const made = PyArray_DescrFromType(NPY_DOUBLE);
        if (made == nullptr) {
            fail_api_call();
        }
        return made;
    }();
    return descr;
}

bool is_float64(PyArray_Descr* descr) noexcept {
    PyArray_Descr* const float64 = float64_descr();
    return descr == float64 || PyArray_EquivTypes(descr, float64);
}

}  // namespace

Status obtain_numpy_api() noexcept {
    if (PyArray_API != nullptr || _import_array() == 0) {
        return success;
    }
    // Running out of memory or of recursion depth says nothing about NumPy:
    // the call fails, and a later one imports the table.
    if (PyErr_ExceptionMatches(PyExc_RecursionError) || PyErr_ExceptionMatches(PyExc_MemoryError)) {
        return fetch_error();
    }
    fail("Failed to access NumPy array API capsule");
}

bool is_float64_vector(PyObject* object) noexcept {
    return PyArray_Check(object) && PyArray_NDIM(as_array(object)) == 1 &&
           is_float64(PyArray_DESCR(as_array(object)));
}

ArrayView array_view(PyObject* array) noexcept {
    return {PyArray_DATA(as_array(array)),
            static_cast<std::size_t>(PyArray_DIM(as_array(array), 0)),
            PyArray_STRIDE(as_array(array), 0)};
}

bool block_view(PyObject* object, BlockView& view) noexcept {
    if (!PyArray_Check(object)) {
        return false;
    }
    PyArrayObject* const array = as_array(object);
    const int dimensions = PyArray_NDIM(array);
    if ((dimensions != 1 && dimensions != 2) || !is_float64(PyArray_DESCR(array)) ||
        !PyArray_ISNOTSWAPPED(array)) {
        return false;
    }
    const bool c_order = PyArray_IS_C_CONTIGUOUS(array);
    if (!c_order && !PyArray_IS_F_CONTIGUOUS(array)) {
        return false;
    }
    view = {PyArray_DATA(array), static_cast<std::size_t>(dimensions),
            static_cast<std::size_t>(PyArray_DIM(array, 0)),
            dimensions == 2 ? static_cast<std::size_t>(PyArray_DIM(array, 1)) : 1, c_order};
    return true;
}

PyObject* new_float64_array(const double* values, std::size_t count) noexcept {
    if (Status obtained = obtain_numpy_api(); !obtained.ok()) {
        std::move(obtained).error().raise();
        return nullptr;
    }
    npy_intp dims[] = {static_cast<npy_intp>(count)};
    PyObject* const made = PyArray_SimpleNew(1, dims, NPY_DOUBLE);
    if (made != nullptr && count != 0) {
        std::memcpy(PyArray_DATA(as_array(made)), values, count * sizeof(double));
    }
    return made;
}

bool is_writeable(PyObject* array) noexcept {
    return PyArray_ISWRITEABLE(as_array(array));
}

BorrowRegion array_region(PyObject* array) noexcept {
    PyObject* owner = array;
    while (PyArray_Check(owner) && PyArray_BASE(as_array(owner)) != nullptr) {
        owner = PyArray_BASE(as_array(owner));
    }
    const ArrayView view = array_view(array);
    const auto first = reinterpret_cast<std::uintptr_t>(view.data);
    if (view.count == 0) {
        return {owner, first, first};
    }
    // The last element lies (count - 1) strides away, on either side. A
    // stride no real array has (as_strided accepts any) may reach past the
    // address space; the range then saturates at its end.
    const std::uintptr_t stride = view.stride < 0
                                      ? std::uintptr_t{0} - static_cast<std::uintptr_t>(view.stride)
                                      : static_cast<std::uintptr_t>(view.stride);
    std::uintptr_t reach = 0;
    if (__builtin_mul_overflow(static_cast<std::uintptr_t>(view.count - 1), stride, &reach)) {
        reach = UINTPTR_MAX;
    }
    const auto saturating_add = [](std::uintptr_t a, std::uintptr_t b) {
        std::uintptr_t sum = 0;
        return __builtin_add_overflow(a, b, &sum) ? UINTPTR_MAX : sum;
    };
    const std::uintptr_t low = view.stride < 0 ? (reach > first ? 0 : first - reach) : first;
    const std::uintptr_t high = view.stride < 0 ? first : saturating_add(first, reach);
    return {owner, low, saturating_add(high, sizeof(double))};
}

}  // namespace quorvane::module
