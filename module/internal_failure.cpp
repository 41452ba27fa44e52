#include "internal_failure.hpp"

#include <atomic>
#include <cstdio>
#include <cstdlib>

#include "quorvane/failure.hpp"

namespace quorvane::module {
namespace {

// The type's name, the report's wording ("panicked", "PyO3") and every message
// this extension raises are interface texts, kept byte for byte: programs and
// log monitors already written against this module match on them.
constexpr const char* internal_failure_type_name = "pyo3_runtime.PanicException";
constexpr const char* internal_failure_type_doc =
    "\n"
    "The exception raised when native code called from Python fails internally.\n"
    "\n"
    "Like SystemExit, this exception derives from BaseException, so that it will\n"
    "typically propagate all the way up the stack and make the interpreter exit.\n";

// Set once, on the first fetch of a raised exception, and never released.
std::atomic<PyObject*> made_type{nullptr};

// The message names the interpreter's exception. It is taken out directly:
// a fetch through fetch_error would ask for the type being made.
[[noreturn]] void fail_type_creation(
    std::source_location where = std::source_location::current()) noexcept {
    OwnedRef raised(PyErr_GetRaisedException());
    const char* description = "attempted to fetch exception but none was set";
    OwnedRef text;
    if (raised) {
        description = Py_TYPE(raised.get())->tp_name;
        text.reset(PyObject_Repr(raised.get()));
        const char* repr = text ? PyUnicode_AsUTF8(text.get()) : nullptr;
        if (repr != nullptr) {
            description = repr;
        }
        PyErr_Clear();
    }
    char message[512];
    const int length = std::snprintf(message, sizeof message,
                                     "Failed to initialize new exception type.: %s", description);
    fail(std::string_view(message, length > 0 ? static_cast<std::size_t>(length) : 0), where);
}

// The internal failure exception type: a heap class deriving directly from
// BaseException, reachable only through the class hierarchy. Made on first
// need; making it runs interpreter code that may switch threads, so the
// first one stored wins and any other is dropped.
PyObject* internal_failure_type() noexcept {
    if (PyObject* const stored = made_type.load(std::memory_order_acquire)) {
        return stored;
    }
    PyObject* const made = PyErr_NewExceptionWithDoc(
        internal_failure_type_name, internal_failure_type_doc, PyExc_BaseException, nullptr);
    if (made == nullptr) {
        fail_type_creation();
    }
    PyObject* stored = nullptr;
    if (!made_type.compare_exchange_strong(stored, made, std::memory_order_acq_rel)) {
        Py_DECREF(made);
        return stored;
    }
    return made;
}

// Python code raised the internal failure type itself: print it with its
// traceback and end the process as an internal failure would.
[[noreturn]] void resume_internal_failure(PyObject* raised) noexcept {
    write_to_stderr(
        "--- PyO3 is resuming a panic after fetching a PanicException from Python. ---\n"
        "Python stack trace below:\n");
    PyErr_SetRaisedException(raised);
    PyErr_PrintEx(0);
    std::abort();
}

}  // namespace

void resume_if_internal_failure(PyObject* raised) noexcept {
    if (reinterpret_cast<PyObject*>(Py_TYPE(raised)) == internal_failure_type()) {
        resume_internal_failure(raised);
    }
}

void fail_api_call(std::source_location where) noexcept {
    PyErr_Print();
    fail("Python API call failed", where);
}

}  // namespace quorvane::module
