// CallError and Result: errors are values until the entry point raises them.
#pragma once

#include <Python.h>

#include <utility>
#include <variant>

#include "owned_ref.hpp"

namespace quorvane::module {

// Why a call failed. Either an exception class with its message, from which
// the instance is made only when it is raised, or an exception instance that
// already exists (one fetched from the interpreter).
class CallError {
public:
    // A class and a fixed message of static storage.
    static CallError fixed(PyObject* type, const char* message) noexcept;
    // A class and a message string already made.
    static CallError with_message(PyObject* type, OwnedRef message) noexcept;
    // An exception instance taken from the interpreter, raised as it is.
    static CallError raised(OwnedRef instance) noexcept;
    // An exception instance made here; raising it links the exception being
    // handled as its context, as raising a class with a message does.
    static CallError made(OwnedRef instance) noexcept;

    // The exception class, without making the instance.
    PyObject* type() const noexcept;
    // The instance, once made by `instantiated` or fetched; else null.
    PyObject* instance() const noexcept { return instance_.get(); }
    // The same error with its instance made now. Making it runs interpreter
    // code that can fail (no memory, no recursion depth left); that failure
    // is then the error instead.
    CallError instantiated() && noexcept;
    // Sets the error as the interpreter's current exception, or the failure
    // to make it.
    void raise() && noexcept;

private:
    CallError() noexcept = default;

    PyObject* type_ = nullptr;  // borrowed: exception classes live for the process
    const char* text_ = nullptr;
    OwnedRef message_;
    OwnedRef instance_;
    bool made_ = false;
};

// Takes the pending exception out of the interpreter as a CallError; a
// SystemError when a call reported failure without setting one. An internal
// failure raised by Python code is not returned: the process ends.
CallError fetch_error() noexcept;

// An error of class `type` whose message is `message`, a new reference from
// an interpreter call; when that call failed, its failure instead.
CallError error_with(PyObject* type, PyObject* message) noexcept;

template <class T>
class [[nodiscard]] Result {
public:
    Result(T value) noexcept : state_(std::in_place_index<0>, std::move(value)) {}
    Result(CallError error) noexcept : state_(std::in_place_index<1>, std::move(error)) {}

    bool ok() const noexcept { return state_.index() == 0; }
    T& value() noexcept { return *std::get_if<0>(&state_); }
    CallError&& error() && noexcept { return std::move(*std::get_if<1>(&state_)); }

private:
    std::variant<T, CallError> state_;
};

struct Success {};
using Status = Result<Success>;
inline constexpr Success success{};

}  // namespace quorvane::module
