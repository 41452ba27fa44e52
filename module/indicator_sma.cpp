#include "functions.hpp"
#include "quorvane/indicators.hpp"
#include "single_series_entry.hpp"

namespace quorvane::module {
namespace {

PyObject* indicator_sma(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames) noexcept {
    return call_entry(indicator_sma_spec, args, nargs, kwnames, single_series_run<sma>);
}

}  // namespace

FunctionSpec indicator_sma_spec{
    method_record("indicator_sma", indicator_sma,
                  "indicator_sma(period, data, output)\n--\n\n"),
    single_series_parameters,
};

}  // namespace quorvane::module
