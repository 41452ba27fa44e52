#include <array>

#include "entry_points.hpp"
#include "quorvane/indicators.hpp"

namespace quorvane::module {
namespace {

constexpr Declaration<5> declaration{
    "indicator_atr",
    {{{"period", ParamKind::period},
      {"high", ParamKind::input},
      {"low", ParamKind::input},
      {"close", ParamKind::input},
      {"output", ParamKind::output}}},
};

// The inputs' layout is checked before the lengths, the output's after.
Status checked_run(const Arguments& arguments) noexcept {
    const ArrayView highs = array_view(arguments.array(declaration["high"]));
    if (!is_contiguous(highs)) {
        return value_error("High array must be C-contiguous and float64");
    }
    const ArrayView lows = array_view(arguments.array(declaration["low"]));
    if (!is_contiguous(lows)) {
        return value_error("Low array must be C-contiguous and float64");
    }
    const ArrayView closes = array_view(arguments.array(declaration["close"]));
    if (!is_contiguous(closes)) {
        return value_error("Close array must be C-contiguous and float64");
    }
    const ArrayView result = array_view(arguments.array(declaration["output"]));
    if (lows.count != highs.count || closes.count != highs.count || result.count != highs.count) {
        return value_error("All arrays must have the same length");
    }
    if (!is_contiguous(result)) {
        return value_error("Output array must be C-contiguous and float64");
    }
    if (!is_writeable(arguments.array(declaration["output"]))) {
        return value_error("Output array must be writeable");
    }
    const std::array<ArrayView, 3> series{highs, lows, closes};
    KernelInputs inputs;
    if (Status taken = inputs.take(series, {&result, 1}); !taken.ok()) {
        return taken;
    }
    // Unlike the other entry points, this one keeps the interpreter lock
    // while its kernel runs, as it always has: callers may rely on no other
    // Python thread running meanwhile (to write the arrays, say).
    atr(arguments.period(declaration["period"]), inputs[0], inputs[1], inputs[2],
        as_output(result));
    return success;
}

PyObject* indicator_atr(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames) noexcept {
    return call_entry(indicator_atr_spec, args, nargs, kwnames, checked_run);
}

}  // namespace

FunctionSpec indicator_atr_spec = function_spec<declaration>(indicator_atr);

}  // namespace quorvane::module
