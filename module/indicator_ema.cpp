#include "functions.hpp"
#include "quorvane/indicators.hpp"
#include "single_series_entry.hpp"

namespace quorvane::module {
namespace {

PyObject* indicator_ema(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames) noexcept {
    return call_entry(indicator_ema_spec, args, nargs, kwnames, single_series_run<ema>);
}

}  // namespace

FunctionSpec indicator_ema_spec{
    method_record("indicator_ema", indicator_ema,
                  "indicator_ema(period, data, output)\n--\n\n"),
    single_series_parameters,
};

}  // namespace quorvane::module
