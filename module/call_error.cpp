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

CallError CallError::made(OwnedRef instance) noexcept {
    CallError error = raised(std::move(instance));
    error.made_ = true;
    return error;
}

PyObject* CallError::type() const noexcept {
    return instance_ ? reinterpret_cast<PyObject*>(Py_TYPE(instance_.get())) : type_;
}

CallError CallError::instantiated() && noexcept {
    if (instance_ || type_ == nullptr) {
        return std::move(*this);
    }
    OwnedRef message = message_ ? std::move(message_) : OwnedRef(PyUnicode_FromString(text_));
    if (!message) {
        return fetch_error();
    }
    OwnedRef instance(PyObject_CallOneArg(type_, message.get()));
    if (!instance) {
        return fetch_error();
    }
    return made(std::move(instance));
}

void CallError::raise() && noexcept {
    if (instance_ && made_) {
        PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(instance_.get())), instance_.get());
        return;
    }
    if (instance_) {
        PyErr_SetRaisedException(instance_.release());
        return;
    }
    // A message that cannot be made leaves its failure set instead.
    OwnedRef message = message_ ? std::move(message_) : OwnedRef(PyUnicode_FromString(text_));
    if (message) {
        PyErr_SetObject(type_, message.get());
    }
}

CallError fetch_error() noexcept {
    PyObject* const raised = PyErr_GetRaisedException();
    if (raised == nullptr) {
        return CallError::fixed(PyExc_SystemError, "attempted to fetch exception but none was set");
    }
    resume_if_internal_failure(raised);
    return CallError::raised(OwnedRef(raised));
}

CallError error_with(PyObject* type, PyObject* message) noexcept {
    if (message == nullptr) {
        return fetch_error();
    }
    return CallError::with_message(type, OwnedRef(message));
}

}  // namespace quorvane::module
