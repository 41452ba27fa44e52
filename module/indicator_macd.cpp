#include <array>

#include "entry_points.hpp"
#include "internal_failure.hpp"
#include "quorvane/indicators.hpp"

namespace quorvane::module {
namespace {

constexpr Declaration<7> declaration{
    "indicator_macd",
    {{{"fast_period", ParamKind::period},
      {"slow_period", ParamKind::period},
      {"signal_period", ParamKind::period},
      {"data", ParamKind::input},
      {"macd_output", ParamKind::output},
      {"signal_output", ParamKind::output},
      {"hist_output", ParamKind::output}}},
};

constexpr std::array<std::size_t, 3> outputs{
    declaration["macd_output"], declaration["signal_output"], declaration["hist_output"]};
constexpr std::array<const char*, 3> not_contiguous{
    "MACD output array must be C-contiguous",
    "Signal output array must be C-contiguous",
    "Histogram output array must be C-contiguous",
};
constexpr std::array<const char*, 3> not_writeable{
    "MACD output array must be writeable",
    "Signal output array must be writeable",
    "Histogram output array must be writeable",
};

Status checked_run(const Arguments& arguments) noexcept {
    const Period fast = arguments.period(declaration["fast_period"]);
    const Period slow = arguments.period(declaration["slow_period"]);
    const Period signal = arguments.period(declaration["signal_period"]);
    if (fast == 0 || slow == 0 || signal == 0) {
        return value_error("Periods must be greater than 0");
    }
    if (fast >= slow) {
        return value_error("Fast period must be less than slow period");
    }

    // Lengths as len() reports them, all three queried before any is compared.
    std::array<Py_ssize_t, 3> lengths{};
    for (std::size_t k = 0; k < outputs.size(); ++k) {
        lengths[k] = PyObject_Length(arguments.array(outputs[k]));
        if (lengths[k] < 0) {
            return fetch_error();
        }
    }
    const ArrayView input = array_view(arguments.array(declaration["data"]));
    std::array<ArrayView, 3> views{};
    for (std::size_t k = 0; k < outputs.size(); ++k) {
        views[k] = array_view(arguments.array(outputs[k]));
        // The element count too: an array subclass may redefine len(), and
        // the kernel writes every element up to the input's length.
        if (static_cast<std::size_t>(lengths[k]) != input.count || views[k].count != input.count) {
            return value_error("All output arrays must have the same length as input data");
        }
    }
    if (!is_contiguous(input)) {
        return value_error("Input array must be C-contiguous");
    }
    for (std::size_t k = 0; k < outputs.size(); ++k) {
        if (!is_contiguous(views[k])) {
            return value_error(not_contiguous[k]);
        }
    }
    for (std::size_t k = 0; k < outputs.size(); ++k) {
        if (!is_writeable(arguments.array(outputs[k]))) {
            return value_error(not_writeable[k]);
        }
    }

    KernelInputs inputs;
    if (Status taken = inputs.take({&input, 1}, views); !taken.ok()) {
        return taken;
    }
    run_unlocked([&] {
        macd(fast, slow, signal, inputs[0], as_output(views[0]), as_output(views[1]),
             as_output(views[2]));
    });
    return success;
}

PyObject* indicator_macd(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                         PyObject* kwnames) noexcept {
    return call_entry(indicator_macd_spec, args, nargs, kwnames, checked_run);
}

}  // namespace

FunctionSpec indicator_macd_spec = function_spec<declaration>(indicator_macd);

}  // namespace quorvane::module
