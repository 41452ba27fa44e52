#include "entry_points.hpp"
#include "quorvane/indicators.hpp"
#include "single_series_entry.hpp"

namespace quorvane::module {
namespace {

constexpr Declaration<3> declaration = single_series_declaration("indicator_ema");

PyObject* indicator_ema(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames) noexcept {
    return call_entry(indicator_ema_spec, args, nargs, kwnames, single_series_run<ema>);
}

}  // namespace

FunctionSpec indicator_ema_spec = function_spec<declaration>(indicator_ema);

}  // namespace quorvane::module
