// The indicator kernels: plain functions over Series.
//
// Every kernel fixes its order of binary64 operations, so identical inputs
// give bit-identical outputs. Kernels never allocate, throw or report; a
// broken precondition (a Series too short for the positions the kernel must
// touch) ends the process through the internal-failure path instead of
// reading or writing out of bounds.
#pragma once

#include "quorvane/series.hpp"

namespace quorvane {

// Simple moving average. Positions 0 .. period-2 hold the no-value NaN; the
// rest hold (1/period) * running window sum, the sum updated by one
// difference per position. NaN and infinities enter the sum like any value.
// Precondition: output.size() == data.size().
void sma(Period period, Series data, OutputSeries output) noexcept;

}  // namespace quorvane
