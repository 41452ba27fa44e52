#include "internal_failure.hpp"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>

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

// Both extensions of the project share one type: the first to need it
// makes it and publishes it in `sys` as a capsule of this exact name, and
// the other takes it from there. Python code cannot make a capsule, and what
// is found is checked as well, so no class of its making is ever taken for
// the type.
constexpr const char* sys_attribute = "_quorvane_internal_failure_type_v1";
constexpr const char* capsule_name = "sys._quorvane_internal_failure_type_v1";

// The published type, or null when none or something else is published.
PyObject* published_type() noexcept {
    PyObject* const capsule = PySys_GetObject(sys_attribute);
    if (capsule == nullptr || !PyCapsule_IsValid(capsule, capsule_name)) {
        return nullptr;
    }
    auto* const type = static_cast<PyTypeObject*>(PyCapsule_GetPointer(capsule, capsule_name));
    if (type == nullptr || !PyType_Check(reinterpret_cast<PyObject*>(type)) ||
        !PyType_HasFeature(type, Py_TPFLAGS_HEAPTYPE) ||
        type->tp_base != reinterpret_cast<PyTypeObject*>(PyExc_BaseException) ||
        std::strcmp(type->tp_name, "PanicException") != 0) {
        return nullptr;
    }
    PyObject* const module = PyDict_GetItemString(type->tp_dict, "__module__");
    if (module == nullptr || !PyUnicode_Check(module) ||
        PyUnicode_CompareWithASCIIString(module, "pyo3_runtime") != 0) {
        return nullptr;
    }
    return reinterpret_cast<PyObject*>(type);
}

// The type published by the other extension, or a new one, published now.
// Making it runs interpreter code that may switch threads, so one published
// meanwhile wins and the new one is dropped.
PyObject* shared_type() noexcept {
    if (PyObject* const found = published_type()) {
        return Py_NewRef(found);
    }
    PyObject* const made = PyErr_NewExceptionWithDoc(
        internal_failure_type_name, internal_failure_type_doc, PyExc_BaseException, nullptr);
    if (made == nullptr) {
        fail_type_creation();
    }
    if (PyObject* const found = published_type()) {
        Py_DECREF(made);
        return Py_NewRef(found);
    }
    // The capsule does not own the type: every extension that took it holds
    // a reference for the life of the process.
    OwnedRef capsule(PyCapsule_New(made, capsule_name, nullptr));
    if (!capsule || PySys_SetObject(sys_attribute, capsule.get()) < 0) {
        fail_type_creation();
    }
    return made;
}

// The internal failure exception type: a heap class deriving directly from
// BaseException, reachable only through the class hierarchy. Found or made
// on first need; the first one stored wins and any other is dropped.
PyObject* internal_failure_type() noexcept {
    if (PyObject* const stored = made_type.load(std::memory_order_acquire)) {
        return stored;
    }
    PyObject* const made = shared_type();
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
