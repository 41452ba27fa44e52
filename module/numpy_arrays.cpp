#include "numpy_arrays.hpp"

#define NPY_NO_DEPRECATED_API NPY_2_0_API_VERSION
#define NPY_TARGET_VERSION NPY_2_0_API_VERSION
#include <numpy/arrayobject.h>

#include "frame.hpp"
#include "internal_failure.hpp"
#include "quorvane/failure.hpp"

namespace quorvane::module {
namespace {

PyArrayObject* as_array(PyObject* object) noexcept {
    return reinterpret_cast<PyArrayObject*>(object);
}

// NumPy's own import of its C API table, run once, on the first array
// argument rather than at module import.
void obtain_numpy_api() noexcept {
    if (PyArray_API == nullptr && _import_array() < 0) {
        fail("Failed to access NumPy array API capsule");
    }
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

bool is_float64_vector(PyObject* object) noexcept {
    obtain_numpy_api();
    return PyArray_Check(object) && PyArray_NDIM(as_array(object)) == 1 &&
           is_float64(PyArray_DESCR(as_array(object)));
}

ArrayView array_view(PyObject* array) noexcept {
    return {PyArray_DATA(as_array(array)), static_cast<std::size_t>(PyArray_DIM(as_array(array), 0)),
            PyArray_STRIDE(as_array(array), 0)};
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
    // The last element lies (count - 1) strides away, on either side.
    const auto reach = static_cast<std::intptr_t>(view.count - 1) * view.stride;
    const std::uintptr_t low = reach < 0 ? first - static_cast<std::uintptr_t>(-reach) : first;
    const std::uintptr_t high = reach < 0 ? first : first + static_cast<std::uintptr_t>(reach);
    return {owner, low, high + sizeof(double)};
}

}  // namespace quorvane::module
