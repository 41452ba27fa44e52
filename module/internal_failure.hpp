// The extension's side of internal failures: fetching raised exceptions and
// ending the process when an interpreter call that must not fail fails.
#pragma once

#include <Python.h>

#include <source_location>

#include "call_error.hpp"
#include "owned_ref.hpp"

namespace quorvane::module {

// Takes the pending exception out of the interpreter as a CallError; a
// SystemError when a call reported failure without setting one. The first
// fetch makes the internal failure type, "pyo3_runtime.PanicException"; an
// exception of exactly that type is not returned but printed, and the
// process ends.
CallError fetch_error() noexcept;

// For interpreter calls that must not fail: prints the pending exception and
// ends the process with "Python API call failed".
[[noreturn]] void fail_api_call(
    std::source_location where = std::source_location::current()) noexcept;

// A new reference from such a call, or the failure above when it is null.
inline OwnedRef must_succeed(PyObject* result,
                             std::source_location where = std::source_location::current()) noexcept {
    if (result == nullptr) {
        fail_api_call(where);
    }
    return OwnedRef(result);
}

}  // namespace quorvane::module
