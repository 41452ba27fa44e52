#include "internal_failure.hpp"

#include "quorvane/failure.hpp"

namespace quorvane::module {

CallError fetch_error() noexcept {
    PyObject* raised = PyErr_GetRaisedException();
    if (raised == nullptr) {
        return CallError::fixed(PyExc_SystemError, "attempted to fetch exception but none was set");
    }
    return CallError::raised(OwnedRef(raised));
}

void fail_api_call(std::source_location where) noexcept {
    PyErr_Print();
    fail("Python API call failed", where);
}

}  // namespace quorvane::module
