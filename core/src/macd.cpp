#include <cstdio>

#include "quorvane/failure.hpp"
#include "quorvane/indicators.hpp"
#include "quorvane/internal/steps.hpp"

namespace quorvane {

// NaN policy: only NaN is missing (its position holds no value and the
// averages skip it); infinities flow through with IEEE results.
// Order per position: F and S seeded from their trailing windows while F is
// NaN, else F = (keep_f * F) + (alpha_f * x) and likewise S; m = F - S;
// G = m at the signal's first position, then G = (keep_g * G) + (alpha_g * m).
void macd(Period fast_period, Period slow_period, Period signal_period, Series data,
          OutputSeries macd_output, OutputSeries signal_output, OutputSeries hist_output) noexcept {
    const std::size_t n = data.size();
    const MacdPeriods periods(fast_period, slow_period, signal_period);
    if (!periods.in_order()) {
        char message[160];
        std::snprintf(message, sizeof message,
                      "MACD periods out of order: fast %llu, slow %llu, signal %llu",
                      static_cast<unsigned long long>(fast_period),
                      static_cast<unsigned long long>(slow_period),
                      static_cast<unsigned long long>(signal_period));
        fail(message);
    }
    for (const OutputSeries& output : {macd_output, signal_output, hist_output}) {
        if (output.size() < n) {
            fail_index_out_of_bounds(output.size(), output.size());
        }
    }

    // One forward pass; every position of every output is written once, in
    // order, and nothing is filled beforehand. Seeding reads the trailing
    // windows, which lie inside the data.
    MacdStep step;
    macd_run(periods, step, 0, data, macd_output, signal_output, hist_output,
             [&](std::size_t i, Period k) { return data[i - static_cast<std::size_t>(k)]; });
}

}  // namespace quorvane
