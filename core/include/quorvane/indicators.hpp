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

// Average true range. TR(i) = maxNum(maxNum(high[i] - low[i], |high[i] -
// close[i-1]|), |low[i] - close[i-1]|) for i >= 1, so one NaN among the three
// inputs is passed over. Position period holds (TR(1) + ... + TR(period)) /
// period; each later one avg + (1/period) * (TR(i) - avg). Positions
// 0 .. period-1 hold the no-value NaN; high[0], low[0] and close[n-1] are
// never read. Precondition: low, close and output are as long as high.
void atr(Period period, Series high, Series low, Series close, OutputSeries output) noexcept;

}  // namespace quorvane
