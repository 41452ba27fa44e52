#include "single_series_entry.hpp"

namespace quorvane::module {
namespace {

// Where each parameter lies, the same in every such declaration.
constexpr Declaration<3> declaration = single_series_declaration("");

}  // namespace

Status run_single_series(const Arguments& arguments, SingleSeriesKernel kernel) noexcept {
    const ArrayView input = array_view(arguments.array(declaration["data"]));
    if (!is_contiguous(input)) {
        return value_error("Input array must be C-contiguous and float64");
    }
    const ArrayView result = array_view(arguments.array(declaration["output"]));
    if (!is_contiguous(result)) {
        return value_error("Output array must be C-contiguous and float64");
    }
    if (result.count != input.count) {
        return value_error("Output array length must match input");
    }
    // Writing into memory its owner marked read-only could corrupt an
    // immutable object (bytes, a read-only mapping).
    if (!is_writeable(arguments.array(declaration["output"]))) {
        return value_error("Output array must be writeable");
    }
    KernelInputs inputs;
    if (Status taken = inputs.take({&input, 1}, {&result, 1}); !taken.ok()) {
        return taken;
    }
    const Period window = arguments.period(declaration["period"]);
    run_unlocked([&] { kernel(window, inputs[0], as_output(result)); });
    return success;
}

}  // namespace quorvane::module
