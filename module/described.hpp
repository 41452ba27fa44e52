// What the bindings derive from an indicator's descriptor (see
// quorvane/descriptor.hpp): the batch function's declaration and entry
// point, and the array checks that the batch function and a stream's
// update_many share.
#pragma once

#include <Python.h>

#include <array>
#include <cstddef>
#include <span>
#include <utility>

#include "frame.hpp"
#include "quorvane/descriptor.hpp"

namespace quorvane::module {

// A declaration of the periods, inputs and outputs named, in that order.
template <std::size_t N>
constexpr Declaration<N> declare(std::string_view name, std::span<const std::string_view> periods,
                                 std::span<const std::string_view> inputs,
                                 std::span<const std::string_view> outputs) noexcept {
    Declaration<N> declaration{name, {}};
    std::size_t next = 0;
    for (const auto& [kind, names] :
         {std::pair{ParamKind::period, periods}, std::pair{ParamKind::input, inputs},
          std::pair{ParamKind::output, outputs}}) {
        for (const std::string_view parameter : names) {
            declaration.parameters[next++] = {parameter, kind};
        }
    }
    return declaration;
}

// The views of the arrays an indicator reads and writes.
template <std::size_t Inputs, std::size_t Outputs>
struct IndicatorViews {
    std::array<ArrayView, Inputs> in{};
    std::array<ArrayView, Outputs> out{};
};

// Runs `checks` over the arrays of `arguments` from parameter `first` on
// (`in.size()` inputs, then `out.size()` outputs), in order, and fills the
// views. The first refusal is the result.
Status check_arrays(std::span<const descriptor::ArrayCheck> checks, const Arguments& arguments,
                    std::size_t first, std::span<ArrayView> in, std::span<ArrayView> out) noexcept;

template <class D>
Status check_arrays(const Arguments& arguments, std::size_t first,
                    IndicatorViews<D::inputs.size(), D::outputs.size()>& views) noexcept {
    return check_arrays(D::array_checks, arguments, first, views.in, views.out);
}

// The batch function: periods, then inputs, then outputs.
template <class D>
inline constexpr auto batch_declaration =
    declare<D::periods.size() + D::inputs.size() + D::outputs.size()>(D::batch_name, D::periods,
                                                                      D::inputs, D::outputs);

// Calls `kernel(periods..., inputs..., outputs...)`.
template <class Kernel, class Periods, std::size_t... P, std::size_t... I, std::size_t... O>
void call_kernel(Kernel kernel, const Periods& periods, const KernelInputs& inputs,
                 std::span<const ArrayView> outputs, std::index_sequence<P...>,
                 std::index_sequence<I...>, std::index_sequence<O...>) noexcept {
    kernel(periods[P]..., inputs[I]..., as_output(outputs[O])...);
}

// The batch function's checks and kernel run, over converted arguments.
template <class D>
Status batch_run(const Arguments& arguments) noexcept {
    constexpr std::size_t periods_count = D::periods.size();
    std::array<Period, periods_count> periods{};
    for (std::size_t k = 0; k < periods_count; ++k) {
        periods[k] = arguments.period(k);
    }
    if (const char* refused = D::period_error(periods); refused != nullptr) {
        return value_error(refused);
    }
    IndicatorViews<D::inputs.size(), D::outputs.size()> views;
    if (Status checked = check_arrays<D>(arguments, periods_count, views); !checked.ok()) {
        return checked;
    }
    KernelInputs inputs;
    if (Status taken = inputs.take(views.in, views.out); !taken.ok()) {
        return taken;
    }
    const auto run = [&] {
        call_kernel(D::kernel, periods, inputs, views.out,
                    std::make_index_sequence<periods_count>(),
                    std::make_index_sequence<D::inputs.size()>(),
                    std::make_index_sequence<D::outputs.size()>());
    };
    if constexpr (D::batch_unlocked) {
        run_unlocked(run);
    } else {
        run();
    }
    return success;
}

template <class D>
FunctionSpec& batch_spec() noexcept;

template <class D>
PyObject* batch_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                      PyObject* kwnames) noexcept {
    return call_entry(batch_spec<D>(), args, nargs, kwnames, batch_run<D>);
}

// The batch function's method record and parameters, one per descriptor.
template <class D>
FunctionSpec& batch_spec() noexcept {
    static FunctionSpec spec = function_spec<batch_declaration<D>>(batch_entry<D>);
    return spec;
}

}  // namespace quorvane::module
