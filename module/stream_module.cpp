// The module quorvane_stream: a streaming class for every indicator.
// Built once per process by single-phase initialisation, like quorvane, and
// refused to a second interpreter.
#include <Python.h>

#include <utility>

#include "call_error.hpp"
#include "module_cell.hpp"
#include "owned_ref.hpp"
#include "quorvane/list.hpp"
#include "stream_state.hpp"

namespace quorvane::module::stream {
namespace {

PyModuleDef definition = {
    PyModuleDef_HEAD_INIT,
    "quorvane_stream",
    "Streaming indicators: quorvane's values one position, one chunk or one bar of many "
    "series at a time.",
    0,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

constexpr int api_version = 1013;

ModuleCell cell;

Result<OwnedRef> build_module() noexcept {
    OwnedRef module(PyModule_Create2(&definition, api_version));
    OwnedRef names(PyList_New(0));
    if (!module || !names) {
        return fetch_error();
    }
    // One class per indicator, in the list's order.
    bool added = true;
    AllIndicators::for_each([&]<class D>() {
        if (!added) {
            return;
        }
        OwnedRef type(make_type<D>());
        OwnedRef name(type ? PyObject_GetAttrString(type.get(), "__name__") : nullptr);
        added = name && PyList_Append(names.get(), name.get()) == 0 &&
                PyObject_SetAttr(module.get(), name.get(), type.get()) == 0;
    });
    if (!added) {
        return fetch_error();
    }
    if (PyModule_AddObjectRef(module.get(), "__all__", names.get()) < 0) {
        return fetch_error();
    }
    if (Status registered = wait_for_sections_at_fork(); !registered.ok()) {
        return std::move(registered).error();
    }
    return module;
}

}  // namespace
}  // namespace quorvane::module::stream

PyMODINIT_FUNC PyInit_quorvane_stream() {
    return quorvane::module::initialise(quorvane::module::stream::cell,
                                        quorvane::module::stream::build_module);
}
