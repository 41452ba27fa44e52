// The extension's side of internal failures: recognising the internal failure
// type among raised exceptions, and ending the process when an interpreter
// call that must not fail fails.
#pragma once

#include <Python.h>

#include <source_location>

#include "owned_ref.hpp"

namespace quorvane::module {

// Ends the process when `raised`, an exception just taken out of the
// interpreter, is of exactly the internal failure type: Python code raised
// it, and it must end the process as the failure it stands for would. The
// first call makes the type, "pyo3_runtime.PanicException".
void resume_if_internal_failure(PyObject* raised) noexcept;

// For interpreter calls that must not fail: prints the pending exception and
// ends the process with "Python API call failed".
[[noreturn]] void fail_api_call(
    std::source_location where = std::source_location::current()) noexcept;

// A new reference from such a call, or the failure above when it is null.
inline OwnedRef must_succeed(
    PyObject* result, std::source_location where = std::source_location::current()) noexcept {
    if (result == nullptr) {
        fail_api_call(where);
    }
    return OwnedRef(result);
}

}  // namespace quorvane::module
