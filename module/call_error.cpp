#include "call_error.hpp"

#include "internal_failure.hpp"

namespace quorvane::module {

CallError CallError::fixed(PyObject* type, const char* message) noexcept {
    CallError error;
    error.type_ = type;
    error.text_ = message;
    return error;
}

CallError CallError::with_message(PyObject* type, OwnedRef message) noexcept {
    CallError error;
    error.type_ = type;
    error.message_ = std::move(message);
    return error;
}

CallError CallError::raised(OwnedRef instance) noexcept {
    CallError error;
    error.instance_ = std::move(instance);
    return error;
}

PyObject* CallError::type() const noexcept {
    return instance_ ? reinterpret_cast<PyObject*>(Py_TYPE(instance_.get())) : type_;
}

OwnedRef CallError::message() const noexcept {
    if (message_) {
        return OwnedRef::borrow(message_.get());
    }
    return must_succeed(PyUnicode_FromString(text_));
}

OwnedRef CallError::into_instance() && noexcept {
    if (instance_) {
        return std::move(instance_);
    }
    return must_succeed(PyObject_CallOneArg(type_, message().get()));
}

void CallError::raise() && noexcept {
    if (instance_) {
        PyErr_SetRaisedException(instance_.release());
        return;
    }
    PyErr_SetObject(type_, message().get());
}

}  // namespace quorvane::module
