// The shared checks of the entry points that map one input array to one
// output array of the same length with one period: indicator_sma and
// indicator_ema.
#pragma once

#include <Python.h>

#include "frame.hpp"

namespace quorvane::module {

using SingleSeriesKernel = void (*)(Period period, Series data, OutputSeries output) noexcept;

// The declaration of such an entry point.
constexpr Declaration<3> single_series_declaration(std::string_view name) noexcept {
    return {name,
            {{{"period", ParamKind::period},
              {"data", ParamKind::input},
              {"output", ParamKind::output}}}};
}

Status run_single_series(const Arguments& arguments, SingleSeriesKernel kernel) noexcept;

// The CheckedRun of such an entry point.
template <SingleSeriesKernel kernel>
Status single_series_run(const Arguments& arguments) noexcept {
    return run_single_series(arguments, kernel);
}

}  // namespace quorvane::module
