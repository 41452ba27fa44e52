#include "module_cell.hpp"

#include <utility>

namespace quorvane::module {

PyObject* initialise(ModuleCell& cell, Result<OwnedRef> (*build)() noexcept) noexcept {
    const std::int64_t interpreter = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (interpreter == -1) {
        fetch_error().raise();
        return nullptr;
    }
    std::int64_t recorded = -1;
    if (!cell.first_interpreter.compare_exchange_strong(recorded, interpreter) &&
        recorded != interpreter) {
        // Callers match on this text: it never changes.
        CallError::fixed(PyExc_ImportError,
                         "PyO3 modules do not yet support subinterpreters, see "
                         "https://docs.python.org/3/c-api/init.html#sub-interpreter-support")
            .raise();
        return nullptr;
    }
    if (cell.built == nullptr) {
        Result<OwnedRef> module = build();
        if (!module.ok()) {
            std::move(module).error().raise();
            return nullptr;
        }
        cell.built = module.value().release();
    }
    return Py_NewRef(cell.built);
}

}  // namespace quorvane::module
