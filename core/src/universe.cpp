#include <algorithm>

#include "quorvane/internal/lanes.hpp"
#include "quorvane/stream.hpp"

namespace quorvane {
namespace {

// Lanes (internal/lanes.hpp): four in the clone that runs where AVX2 is, in
// one register; elsewhere two SSE2 (or NEON) registers, or, under clang,
// two lanes at a time.
using lanes::Lanes;
using lanes::load;
using lanes::store;
constexpr std::size_t lane_count = lanes::count;

#if defined(__x86_64__) && !defined(__clang__)
#define QUORVANE_LANES __attribute__((target_clones("avx2", "default")))
#else
#define QUORVANE_LANES
#endif

// Whether every lane of a comparison's result is true (all bits set).
template <class Mask>
[[gnu::always_inline]] inline bool all_of(Mask mask) noexcept {
    bool all = true;
    for (std::size_t k = 0; k < lane_count; ++k) {
        all = all && mask[k] != 0;
    }
    return all;
}

// SMA's slide over the lanes of a bar: `slot` holds the values leaving the
// window and takes the new ones.
QUORVANE_LANES void slide_lanes(std::size_t width, double scale, Series values, double* slot,
                                double* sums, OutputSeries output) noexcept {
    std::size_t j = 0;
    for (; j + lane_count <= width; j += lane_count) {
        const Lanes x = load(values.data(), j);
        Lanes sum = load(sums, j);
        store(output.data(), j, SmaStep::slide(sum, x, load(slot, j), scale));
        store(sums, j, sum);
        store(slot, j, x);
    }
    for (; j < width; ++j) {
        const double x = values[j];
        output.set(j, SmaStep::slide(sums[j], x, slot[j], scale));
        slot[j] = x;
    }
}

// EMA's recurrence over the seeded lanes of a bar, without a branch: a lane
// still seeding holds NaN, and a missing value is stepped over. A seeded
// average is never NaN (its inputs are finite).
QUORVANE_LANES void smooth_lanes(std::size_t width, const EmaStep& shared, Series values,
                                 double* averages, OutputSeries output) noexcept {
    const EmaStep step = shared;  // a local that the stores cannot alias
    std::size_t j = 0;
    for (; j + lane_count <= width; j += lane_count) {
        const Lanes x = load(values.data(), j);
        const Lanes average = load(averages, j);
        const Lanes next = step.next(average, x);
        // x - x is +0 for every finite x and NaN for NaN and both infinities.
        const auto taken = (x - x == 0.0) & (average == average);
        store(averages, j, taken ? next : average);
        store(output.data(), j, taken ? next : Lanes{} + no_value);
    }
    for (; j < width; ++j) {
        const double x = values[j];
        const bool taken = is_finite_bits(x) && !is_nan(averages[j]);
        averages[j] = taken ? step.next(averages[j], x) : averages[j];
        output.set(j, taken ? averages[j] : no_value);
    }
}

struct MacdLanes {
    double* f;
    double* s;
    double* g;
    OutputSeries macd_output;
    OutputSeries signal_output;
    OutputSeries hist_output;
    std::uint64_t* failed;  // the lanes to do in full, in order
};

// MACD's steady step over the lanes of a bar. A lane whose new signal is
// NaN keeps its values and is listed for the full step; returns how many
// were. The slot takes the bar's values.
QUORVANE_LANES std::size_t steady_lanes(std::size_t width, const MacdPeriods& periods,
                                        Series values, double* slot,
                                        const MacdLanes& shared) noexcept {
    // Locals that the stores cannot alias.
    const MacdLanes to = shared;
    const EmaStep fast = periods.fast;
    const EmaStep slow = periods.slow;
    const EmaStep signal = periods.signal;
    std::size_t failed = 0;
    std::size_t j = 0;
    for (; j + lane_count <= width; j += lane_count) {
        const Lanes x = load(values.data(), j);
        store(slot, j, x);
        const Lanes f = load(to.f, j);
        const Lanes s = load(to.s, j);
        const Lanes g = load(to.g, j);
        const Lanes next_f = fast.next(f, x);
        const Lanes next_s = slow.next(s, x);
        const Lanes m = next_f - next_s;
        const Lanes next_g = signal.next(g, m);
        const auto kept = next_g == next_g;
        store(to.f, j, kept ? next_f : f);
        store(to.s, j, kept ? next_s : s);
        store(to.g, j, kept ? next_g : g);
        store(to.macd_output.data(), j, m);
        store(to.signal_output.data(), j, next_g);
        store(to.hist_output.data(), j, m - next_g);
        if (!all_of(kept)) {
            for (std::size_t k = 0; k < lane_count; ++k) {
                if (kept[k] == 0) {
                    to.failed[failed++] = j + k;
                }
            }
        }
    }
    for (; j < width; ++j) {
        const double x = values[j];
        slot[j] = x;
        double f = to.f[j];
        double s = to.s[j];
        double g = to.g[j];
        MacdValues v;
        if (MacdStep::try_steady(fast, slow, signal, f, s, g, x, v)) {
            to.f[j] = f;
            to.s[j] = s;
            to.g[j] = g;
            to.macd_output.set(j, v.macd);
            to.signal_output.set(j, v.signal);
            to.hist_output.set(j, v.hist);
        } else {
            to.failed[failed++] = j;
        }
    }
    return failed;
}

// ATR's smoothing over the lanes of a bar; `previous` takes the closes.
QUORVANE_LANES void smooth_ranges(std::size_t width, const AtrStep& shared, Series high, Series low,
                                  Series close, double* sums, double* previous,
                                  OutputSeries output) noexcept {
    const AtrStep step = shared;  // a local that the stores cannot alias
    std::size_t j = 0;
    for (; j + lane_count <= width; j += lane_count) {
        const Lanes range =
            true_range_lanes(load(high.data(), j), load(low.data(), j), load(previous, j));
        const Lanes average = step.smooth(load(sums, j), range);
        store(sums, j, average);
        store(output.data(), j, average);
        store(previous, j, load(close.data(), j));
    }
    for (; j < width; ++j) {
        sums[j] = step.smooth(sums[j], true_range(high[j], low[j], previous[j]));
        previous[j] = close[j];
        output.set(j, sums[j]);
    }
}

// Whether valid(j) holds for every lane j.
template <class Valid>
bool every_lane(std::size_t width, const Valid& valid) noexcept {
    for (std::size_t j = 0; j < width; ++j) {
        if (!valid(j)) {
            return false;
        }
    }
    return true;
}

}  // namespace

// SMA

bool SmaUniverse::allocate() noexcept {
    if (!sums_.resize(width_)) {
        return false;
    }
    std::fill_n(sums_.data(), width_, SmaStep(period_).sum);
    return true;
}

void SmaUniverse::update(Series values, OutputSeries output) noexcept {
    const Position i = seen_;
    seen_ = count_on(seen_, 1);
    if (period_ == 0) {
        output.fill_no_value();
        return;
    }
    // Once the window is full, the slot written is the oldest one, whose
    // values leave the sums now.
    double* const slot = window_.next();
    double* const sums = sums_.data();
    if (i < period_ - 1) {
        for (std::size_t j = 0; j < width_; ++j) {
            slot[j] = values[j];
            SmaStep::fill(sums[j], slot[j]);
        }
        output.fill_no_value();
    } else if (i == period_ - 1) {
        for (std::size_t j = 0; j < width_; ++j) {
            slot[j] = values[j];
            SmaStep::fill(sums[j], slot[j]);
            output.set(j, SmaStep::value(sums[j], scale_));
        }
    } else {
        slide_lanes(width_, scale_, values, slot, sums, output);
    }
    window_.advance();
}

bool SmaUniverse::validate() const noexcept {
    return every_lane(
        width_, [&](std::size_t j) { return sma_sum_valid(period_, seen_, sums_[j], window_, j); });
}

// EMA

bool EmaUniverse::allocate() noexcept {
    if (!averages_.resize(width_) || !sums_.resize(width_) || !runs_.resize(width_)) {
        return false;
    }
    std::fill_n(averages_.data(), width_, no_value);
    std::fill_n(sums_.data(), width_, -0.0);
    unseeded_ = width_;
    return true;
}

void EmaUniverse::update(Series values, OutputSeries output) noexcept {
    seen_ = count_on(seen_, 1);
    double* const averages = averages_.data();
    smooth_lanes(width_, step_, values, averages, output);
    if (unseeded_ == 0) {
        return;
    }
    // The lanes still seeding, each on its own run.
    for (std::size_t j = 0; j < width_; ++j) {
        if (!is_nan(averages[j])) {
            continue;
        }
        EmaSeed seed{runs_[j], sums_[j]};
        if (seed.add(values[j], period_)) {
            averages[j] = step_.seed(seed.sum);
            output.set(j, averages[j]);
            --unseeded_;
        }
        runs_[j] = seed.run;
        sums_[j] = seed.sum;
    }
}

// A lane is seeding while its average is NaN.
bool EmaUniverse::validate() noexcept {
    unseeded_ = static_cast<std::size_t>(std::count_if(averages_.data(), averages_.data() + width_,
                                                       [](double x) { return is_nan(x); }));
    return every_lane(width_, [&](std::size_t j) {
        return ema_valid(period_, seen_, runs_[j], sums_[j], averages_[j], !is_nan(averages_[j]));
    });
}

// MACD

bool MacdUniverse::allocate() noexcept {
    if (!f_.resize(width_) || !s_.resize(width_) || !g_.resize(width_) || !failed_.resize(width_) ||
        width_ > SIZE_MAX / 3 || !marks_.resize(3 * width_)) {
        return false;
    }
    std::fill_n(f_.data(), width_, no_value);
    std::fill_n(s_.data(), width_, no_value);
    std::fill_n(g_.data(), width_, no_value);
    return true;
}

MacdStep MacdUniverse::lane(std::size_t j) const noexcept {
    return {f_[j], s_[j], g_[j], {marks_[3 * j], marks_[3 * j + 1], marks_[3 * j + 2]}};
}

void MacdUniverse::keep(std::size_t j, const MacdStep& step) noexcept {
    f_[j] = step.f;
    s_[j] = step.s;
    g_[j] = step.g;
    marks_[3 * j] = step.marks.nan_end;
    marks_[3 * j + 1] = step.marks.positive_end;
    marks_[3 * j + 2] = step.marks.negative_end;
}

void MacdUniverse::update(Series values, OutputSeries macd_output, OutputSeries signal_output,
                          OutputSeries hist_output) noexcept {
    // At the top of the count, every lane forgets its oldest position.
    Position i = seen_;
    for (std::size_t j = 0; i == top_position && j < width_; ++j) {
        MacdStep step = lane(j);
        step.marks.forget_oldest();
        keep(j, step);
    }
    i = std::min(i, top_position - 1);
    seen_ = count_on(seen_, 1);
    double* const slot = window_.next();
    if (i < periods_.slow_period - 1) {
        for (std::size_t j = 0; j < width_; ++j) {
            slot[j] = values[j];
            MacdStep step = lane(j);
            step.warm_up(i, slot[j]);
            keep(j, step);
        }
        macd_output.fill_no_value();
        signal_output.fill_no_value();
        hist_output.fill_no_value();
        window_.advance();
        return;
    }
    // Every lane tries the steady step at once; a lane whose new signal is
    // NaN keeps its values and is done again in full. The slot written is
    // one that no trailing window of this bar reads.
    const std::size_t failed = steady_lanes(
        width_, periods_, values, slot,
        {f_.data(), s_.data(), g_.data(), macd_output, signal_output, hist_output, failed_.data()});
    for (std::size_t k = 0; k < failed; ++k) {
        const auto j = static_cast<std::size_t>(failed_[k]);
        MacdStep step = lane(j);
        const double x = slot[j];
        const MacdValues v = step.full_step(periods_, i, x, [&](Period back) {
            return back == 0 ? x : window_.back(static_cast<std::size_t>(back - 1))[j];
        });
        keep(j, step);
        macd_output.set(j, v.macd);
        signal_output.set(j, v.signal);
        hist_output.set(j, v.hist);
    }
    window_.advance();
}

bool MacdUniverse::validate() const noexcept {
    return periods_.in_order() && every_lane(width_, [&](std::size_t j) {
               return macd_valid(periods_.slow_period, lane(j), seen_, window_, j);
           });
}

// ATR

bool AtrUniverse::allocate() noexcept {
    if (!sums_or_averages_.resize(width_) || !previous_.resize(width_)) {
        return false;
    }
    std::fill_n(previous_.data(), width_, no_value);
    return true;
}

void AtrUniverse::update(Series high, Series low, Series close, OutputSeries output) noexcept {
    const Position i = seen_;
    seen_ = count_on(seen_, 1);
    double* const sums = sums_or_averages_.data();
    double* const previous = previous_.data();
    if (i == 0 || period_ == 0) {
        for (std::size_t j = 0; j < width_; ++j) {
            previous[j] = close[j];
        }
        output.fill_no_value();
        return;
    }
    // With the largest period the seed never comes (see AtrStream).
    if (i <= period_) {
        const bool seeds = i == period_ && period_ != top_position;
        for (std::size_t j = 0; j < width_; ++j) {
            sums[j] = add_nan_first(sums[j], true_range(high[j], low[j], previous[j]));
            previous[j] = close[j];
            if (seeds) {
                sums[j] = step_.seed(sums[j]);
            }
            output.set(j, seeds ? sums[j] : no_value);
        }
        return;
    }
    smooth_ranges(width_, step_, high, low, close, sums, previous, output);
}

bool AtrUniverse::validate() const noexcept {
    return every_lane(width_, [&](std::size_t j) {
        return atr_valid(period_, seen_, sums_or_averages_[j], previous_[j]);
    });
}

}  // namespace quorvane
