// The indicator kernels: plain functions over Series.
//
// Every kernel fixes its order of binary64 operations, so identical inputs
// give bit-identical outputs. Kernels never allocate, throw or report; a
// broken precondition (a Series too short for the positions the kernel must
// touch) ends the process through the internal-failure path instead of
// reading or writing out of bounds. No output may share memory with an input:
// kernels write as they read, so a shared byte would be read after it was
// written (the extension reads such an input from a copy).
#pragma once

#include "quorvane/series.hpp"

namespace quorvane {

// Simple moving average. Positions 0 .. period-2 hold the no-value NaN; the
// rest hold (1/period) * running window sum, the sum updated by one
// difference per position. NaN and infinities enter the sum like any value.
// Precondition: output.size() == data.size().
void sma(Period period, Series data, OutputSeries output) noexcept;

// Exponential moving average with alpha = 2 / (period + 1). Seeded with the
// mean of the first run of `period` finite values (written at the run's last
// position); later non-finite values are stepped over, holding the no-value
// NaN. Precondition: output.size() == data.size().
void ema(Period period, Series data, OutputSeries output) noexcept;

// MACD line (fast EMA - slow EMA), signal line (EMA of the MACD line) and
// histogram (MACD - signal), in one pass without temporaries. Both averages
// are seeded from their trailing windows at the first non-NaN position from
// slow_period - 1 on; the signal starts at slow_period + signal_period - 2.
// NaN inputs hold the no-value NaN in all three outputs.
// Preconditions: 1 <= fast_period < slow_period, signal_period >= 1, and
// every output at least as long as data.
void macd(Period fast_period, Period slow_period, Period signal_period, Series data,
          OutputSeries macd_output, OutputSeries signal_output, OutputSeries hist_output) noexcept;

// Average true range. TR(i) = maxNum(maxNum(high[i] - low[i], |high[i] -
// close[i-1]|), |low[i] - close[i-1]|) for i >= 1, so one NaN among the three
// inputs is passed over. Position period holds (TR(1) + ... + TR(period)) /
// period; each later one avg + (1/period) * (TR(i) - avg). Positions
// 0 .. period-1 hold the no-value NaN; high[0], low[0] and close[n-1] are
// never read. Precondition: low, close and output are as long as high.
void atr(Period period, Series high, Series low, Series close, OutputSeries output) noexcept;

}  // namespace quorvane
