// Single-phase initialisation, shared by both extensions: each keeps one
// module object for the whole process and refuses every interpreter but the
// first that initialised it.
#pragma once

#include <Python.h>

#include <atomic>
#include <cstdint>

#include "call_error.hpp"
#include "owned_ref.hpp"

namespace quorvane::module {

// One extension's module cell. Never reset: the module lives as long as the
// process, and the first interpreter stays recorded even when building the
// module fails.
struct ModuleCell {
    // The first interpreter to initialise the module; -1 until then.
    std::atomic<std::int64_t> first_interpreter{-1};
    // The module once built; holds one reference for the life of the process.
    PyObject* built = nullptr;
};

// The work of an init function: checks the interpreter against the cell's
// first one (ImportError for another), then returns a new reference to the
// module of the cell, built by `build` first when the cell has none yet. A
// failed build stores nothing, so the next initialisation tries again. Null
// with the exception set on failure.
PyObject* initialise(ModuleCell& cell, Result<OwnedRef> (*build)() noexcept) noexcept;

}  // namespace quorvane::module
