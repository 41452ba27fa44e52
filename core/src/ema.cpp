#include "quorvane/indicators.hpp"
#include "quorvane/internal/steps.hpp"
#include "window.hpp"

namespace quorvane {

// NaN policy: NaN and both infinities are missing; they neither seed nor
// decay the average. Order: seed = (-0.0 + data[s] + ... + data[s+period-1])
// / period; then average = ((1 - alpha) * average) + (alpha * data[i]).
void ema(Period period, Series data, OutputSeries output) noexcept {
    const std::size_t n = data.size();
    if (!window_has_values(period, data, output)) {
        return;
    }
    const auto window = static_cast<std::size_t>(period);

    // Seed window: the first run of `window` finite values. Counting the
    // current run finds the same start as testing every candidate window,
    // in one pass however long the missing stretches are.
    std::size_t run = 0;
    std::size_t end = 0;  // one past the seed window, once found
    for (std::size_t i = 0; i < n && end == 0; ++i) {
        run = is_finite_bits(data[i]) ? run + 1 : 0;
        if (run == window) {
            end = i + 1;
        }
    }
    if (end == 0) {
        output.fill_no_value();
        return;
    }
    output.fill_no_value(0, end - 1);
    output.fill_no_value(n, output.size());

    const EmaStep step(period);
    EmaSeed seed;
    for (std::size_t i = end - window; i < end; ++i) {
        seed.add(data[i], period);
    }
    const double average = step.seed(seed.sum);
    output.set(end - 1, average);
    ema_smooth(step, average, data, end, output);
}

}  // namespace quorvane
