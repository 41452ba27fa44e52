#include "entry_points.hpp"
#include "quorvane/indicators.hpp"
#include "single_series_entry.hpp"

namespace quorvane::module {
namespace {

constexpr Declaration<3> declaration = single_series_declaration("indicator_sma");

PyObject* indicator_sma(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames) noexcept {
    return call_entry(indicator_sma_spec, args, nargs, kwnames, single_series_run<sma>);
}

}  // namespace

FunctionSpec indicator_sma_spec = function_spec<declaration>(indicator_sma);

}  // namespace quorvane::module
