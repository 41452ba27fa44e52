// OwnedRef: one strong reference, given back when the handle goes away.
#pragma once

#include <Python.h>

#include <utility>

namespace quorvane::module {

class OwnedRef {
public:
    OwnedRef() noexcept = default;
    // Takes over a new reference (which may be null).
    explicit OwnedRef(PyObject* object) noexcept : object_(object) {}
    static OwnedRef borrow(PyObject* object) noexcept { return OwnedRef(Py_XNewRef(object)); }

    OwnedRef(OwnedRef&& other) noexcept : object_(other.release()) {}
    OwnedRef& operator=(OwnedRef&& other) noexcept {
        reset(other.release());
        return *this;
    }
    OwnedRef(const OwnedRef&) = delete;
    OwnedRef& operator=(const OwnedRef&) = delete;
    ~OwnedRef() { Py_XDECREF(object_); }

    PyObject* get() const noexcept { return object_; }
    explicit operator bool() const noexcept { return object_ != nullptr; }

    // Hands the reference over to the caller.
    [[nodiscard]] PyObject* release() noexcept { return std::exchange(object_, nullptr); }
    void reset(PyObject* object = nullptr) noexcept { Py_XDECREF(std::exchange(object_, object)); }

private:
    PyObject* object_ = nullptr;
};

}  // namespace quorvane::module
