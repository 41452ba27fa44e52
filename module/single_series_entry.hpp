// The shared body of the entry points that map one input array to one output
// array of the same length with one period: indicator_sma and indicator_ema.
#pragma once

#include <Python.h>

#include "frame.hpp"

namespace quorvane::module {

using SingleSeriesKernel = void (*)(Period period, Series data, OutputSeries output) noexcept;

// The parameters of such an entry point, in declaration order.
inline constexpr Parameter single_series_parameters[] = {
    {"period", ParamKind::period},
    {"data", ParamKind::input},
    {"output", ParamKind::output},
};

PyObject* call_single_series(const FunctionSpec& spec, SingleSeriesKernel kernel,
                             PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept;

}  // namespace quorvane::module
