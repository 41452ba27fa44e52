// The module object: built once per process by single-phase initialisation
// and handed out again by every later initialisation in the same
// interpreter. Another interpreter of the process is refused.
#include <Python.h>

#include <utility>

#include "described.hpp"
#include "frame.hpp"
#include "internal_failure.hpp"
#include "module_cell.hpp"
#include "quorvane/failure.hpp"
#include "quorvane/list.hpp"

namespace quorvane::module {
namespace {

PyModuleDef definition = {
    PyModuleDef_HEAD_INIT,
    "quorvane",
    "",  // an empty docstring, not None
    0,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

constexpr int api_version = 1013;

ModuleCell cell;

OwnedRef interned(const char* text) noexcept {
    return must_succeed(PyUnicode_InternFromString(text));
}

// The module's __all__ list, made empty and set when it does not exist yet.
Result<OwnedRef> names_list(PyObject* module) noexcept {
    OwnedRef all_name = interned("__all__");
    OwnedRef all(PyObject_GetAttr(module, all_name.get()));
    if (!all) {
        CallError error = fetch_error();
        if (!PyType_IsSubtype(reinterpret_cast<PyTypeObject*>(error.type()),
                              reinterpret_cast<PyTypeObject*>(PyExc_AttributeError))) {
            return error;
        }
        all = must_succeed(PyList_New(0));
        if (PyObject_SetAttr(module, all_name.get(), all.get()) < 0) {
            return fetch_error();
        }
        return all;
    }
    if (!PyList_Check(all.get())) {
        return conversion_error(all.get(), "PyList");
    }
    return all;
}

Status add_function(PyObject* module, FunctionSpec& spec) noexcept {
    OwnedRef module_name(PyModule_GetNameObject(module));
    if (!module_name) {
        return fetch_error();
    }
    OwnedRef function(PyCMethod_New(&spec.record, module, module_name.get(), nullptr));
    module_name.reset();
    if (!function) {
        return fetch_error();
    }
    OwnedRef name(PyObject_GetAttr(function.get(), interned("__name__").get()));
    if (!name) {
        return fetch_error();
    }
    if (!PyUnicode_Check(name.get())) {
        return conversion_error(name.get(), "PyString");
    }
    Result<OwnedRef> all = names_list(module);
    if (!all.ok()) {
        return std::move(all).error();
    }
    if (PyList_Append(all.value().get(), name.get()) < 0) {
        fail("could not append __name__ to __all__");
    }
    if (PyObject_SetAttr(module, name.get(), function.get()) < 0) {
        return fetch_error();
    }
    return success;
}

Result<OwnedRef> build_module() noexcept {
    OwnedRef module(PyModule_Create2(&definition, api_version));
    if (!module) {
        return fetch_error();
    }
    // The list's order, which is also the order of __all__.
    Status added = success;
    BatchModuleIndicators::for_each([&]<class D>() {
        if (added.ok()) {
            added = add_function(module.get(), batch_spec<D>());
        }
    });
    if (!added.ok()) {
        return std::move(added).error();
    }
    return module;
}

}  // namespace
}  // namespace quorvane::module

PyMODINIT_FUNC PyInit_quorvane() {
    return quorvane::module::initialise(quorvane::module::cell, quorvane::module::build_module);
}
