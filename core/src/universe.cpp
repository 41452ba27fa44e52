#include <algorithm>
#include <array>
#include <bit>

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
// average is never NaN (its inputs are finite). Returns whether a value was
// not finite.
QUORVANE_LANES bool smooth_lanes(std::size_t width, const EmaStep& shared, Series values,
                                 double* averages, OutputSeries output) noexcept {
    const EmaStep step = shared;  // a local that the stores cannot alias
    auto every_finite = Lanes{} == 0.0;
    std::size_t j = 0;
    for (; j + lane_count <= width; j += lane_count) {
        const Lanes x = load(values.data(), j);
        const Lanes average = load(averages, j);
        const Lanes next = step.next(average, x);
        // x - x is +0 for every finite x and NaN for NaN and both infinities.
        const auto finite = x - x == 0.0;
        const auto taken = finite & (average == average);
        every_finite &= finite;
        store(averages, j, taken ? next : average);
        store(output.data(), j, taken ? next : Lanes{} + no_value);
    }
    bool missing = !all_of(every_finite);
    for (; j < width; ++j) {
        const double x = values[j];
        const bool taken = is_finite_bits(x) && !is_nan(averages[j]);
        averages[j] = taken ? step.next(averages[j], x) : averages[j];
        output.set(j, taken ? averages[j] : no_value);
        missing = missing || !is_finite_bits(x);
    }
    return missing;
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
    if (!sums_.resize(width_) || !restarts_.allocate(width_)) {
        return false;
    }
    std::fill_n(sums_.data(), width_, SmaStep(period_).sum);
    return true;
}

// A restarting lane is still filling its first window: kept are its sum
// and output.
void SmaUniverse::update(Series values, OutputSeries output) noexcept {
    if (restarts_.restarting == 0) {
        bar(values, output);
        return;
    }
    restarts_.before(seen_, 2, [&](std::size_t j, Position count, double* kept) {
        kept[0] = sums_[j];
        SmaStep::fill(kept[0], values[j]);
        kept[1] = count + 1 == period_ ? SmaStep::value(kept[0], scale_) : no_value;
    });
    bar(values, output);
    restarts_.after(seen_, period_, 2, [&](std::size_t j, const double* kept, Position) {
        sums_[j] = kept[0];
        output.set(j, kept[1]);
    });
}

bool SmaUniverse::restart(const std::uint64_t* lanes, std::size_t n) noexcept {
    if (!restarts_.restart(lanes, n, seen_, period_, 2)) {
        return false;
    }
    for (std::size_t k = 0; k < n; ++k) {
        sums_[static_cast<std::size_t>(lanes[k])] = SmaStep(period_).sum;
    }
    return true;
}

void SmaUniverse::last(double* into) const noexcept {
    for (std::size_t j = 0; j < width_; ++j) {
        const bool full = period_ != 0 && restarts_.count(j, seen_) >= period_;
        into[j] = full ? SmaStep::value(sums_[j], scale_) : no_value;
    }
}

void SmaUniverse::bar(Series values, OutputSeries output) noexcept {
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

bool SmaUniverse::validate() noexcept {
    return restarts_.valid(seen_, period_, 2) && every_lane(width_, [&](std::size_t j) {
               return sma_sum_valid(period_, restarts_.count(j, seen_), sums_[j], window_, j);
           });
}

// EMA

bool EmaUniverse::allocate() noexcept {
    if (!averages_.resize(width_) || !sums_.resize(width_) || !runs_.resize(width_) ||
        !missing_.resize(width_)) {
        return false;
    }
    std::fill_n(averages_.data(), width_, no_value);
    std::fill_n(sums_.data(), width_, -0.0);
    unseeded_ = width_;
    return true;
}

bool EmaUniverse::restart(const std::uint64_t* lanes, std::size_t n) noexcept {
    for (std::size_t k = 0; k < n; ++k) {
        const auto j = static_cast<std::size_t>(lanes[k]);
        unseeded_ += is_nan(averages_[j]) ? 0U : 1U;
        averages_[j] = no_value;
        sums_[j] = -0.0;
        runs_[j] = 0;
        missing_[j] = 0;
    }
    return true;
}

// A lane seeded gave its average for a finite value (the value that seeds
// it is one), and nothing for another.
void EmaUniverse::last(double* into) const noexcept {
    for (std::size_t j = 0; j < width_; ++j) {
        into[j] = missing_[j] != seen_ && !is_nan(averages_[j]) ? averages_[j] : no_value;
    }
}

void EmaUniverse::update(Series values, OutputSeries output) noexcept {
    seen_ = count_on(seen_, 1);
    double* const averages = averages_.data();
    // A lane whose value was not finite is marked with the bar's number:
    // what the latest outputs were follows, and a bar of finite values
    // stores nothing more.
    if (smooth_lanes(width_, step_, values, averages, output)) {
        for (std::size_t j = 0; j < width_; ++j) {
            missing_[j] = is_finite_bits(values[j]) ? missing_[j] : seen_;
        }
    }
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
        return missing_[j] <= seen_ &&
               ema_valid(period_, seen_, runs_[j], sums_[j], averages_[j], !is_nan(averages_[j]));
    });
}

// MACD

bool MacdUniverse::allocate() noexcept {
    if (!f_.resize(width_) || !s_.resize(width_) || !g_.resize(width_) || !failed_.resize(width_) ||
        width_ > SIZE_MAX / 3 || !marks_.resize(3 * width_) || !restarts_.allocate(width_)) {
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

// A restarting lane takes MacdStream's step on its own positions (the full
// step, which gives what the steady one gives where that one succeeds).
// Kept: f, s, g, the marks' bits, the three outputs. Once it counts the
// universe's bars, its marks move to the universe's positions.
void MacdUniverse::update(Series values, OutputSeries macd_output, OutputSeries signal_output,
                          OutputSeries hist_output) noexcept {
    if (restarts_.restarting == 0) {
        bar(values, macd_output, signal_output, hist_output);
        return;
    }
    restarts_.before(seen_, 9, [&](std::size_t j, Position i, double* kept) {
        MacdStep step = lane(j);
        const double x = values[j];
        MacdValues v = macd_no_values;
        if (i < periods_.slow_period - 1) {
            step.warm_up(i, x);
        } else {
            v = step.full_step(periods_, i, x, [&](Period back) {
                return back == 0 ? x : window_.back(static_cast<std::size_t>(back - 1))[j];
            });
        }
        const std::array<double, 9> all{step.f,
                                        step.s,
                                        step.g,
                                        std::bit_cast<double>(step.marks.nan_end),
                                        std::bit_cast<double>(step.marks.positive_end),
                                        std::bit_cast<double>(step.marks.negative_end),
                                        v.macd,
                                        v.signal,
                                        v.hist};
        std::copy(all.begin(), all.end(), kept);
    });
    bar(values, macd_output, signal_output, hist_output);
    restarts_.after(seen_, warm(), 9, [&](std::size_t j, const double* kept, Position shift) {
        const auto moved = [&](double mark) {
            const auto end = std::bit_cast<Position>(mark);
            return end != 0 ? end + shift : 0;
        };
        keep(j, {kept[0], kept[1], kept[2], {moved(kept[3]), moved(kept[4]), moved(kept[5])}});
        macd_output.set(j, kept[6]);
        signal_output.set(j, kept[7]);
        hist_output.set(j, kept[8]);
    });
}

bool MacdUniverse::restart(const std::uint64_t* lanes, std::size_t n) noexcept {
    if (!restarts_.restart(lanes, n, seen_, warm(), 9)) {
        return false;
    }
    for (std::size_t k = 0; k < n; ++k) {
        keep(static_cast<std::size_t>(lanes[k]), MacdStep{});
    }
    return true;
}

// A lane's values are its latest outputs, unless its latest input was
// missing or came before the first value.
void MacdUniverse::last(double* into) const noexcept {
    for (std::size_t j = 0; j < width_; ++j) {
        const bool given =
            restarts_.count(j, seen_) >= periods_.slow_period && !is_nan(window_.back(0)[j]);
        const double m = f_[j] - s_[j];
        into[j] = given ? m : no_value;
        into[width_ + j] = given ? g_[j] : no_value;
        into[2 * width_ + j] = given && !is_nan(g_[j]) ? m - g_[j] : no_value;
    }
}

void MacdUniverse::bar(Series values, OutputSeries macd_output, OutputSeries signal_output,
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

bool MacdUniverse::validate() noexcept {
    return periods_.in_order() && restarts_.valid(seen_, warm(), 9) &&
           every_lane(width_, [&](std::size_t j) {
               return macd_valid(periods_.slow_period, lane(j), restarts_.count(j, seen_), window_,
                                 j);
           });
}

// ATR

bool AtrUniverse::allocate() noexcept {
    if (!sums_or_averages_.resize(width_) || !previous_.resize(width_) ||
        !restarts_.allocate(width_)) {
        return false;
    }
    std::fill_n(previous_.data(), width_, no_value);
    return true;
}

// A restarting lane takes AtrStream's step on its own count. Kept: its sum,
// close and output.
void AtrUniverse::update(Series high, Series low, Series close, OutputSeries output) noexcept {
    if (restarts_.restarting == 0) {
        bar(high, low, close, output);
        return;
    }
    restarts_.before(seen_, 3, [&](std::size_t j, Position i, double* kept) {
        double sum = sums_or_averages_[j];
        if (i != 0 && period_ != 0) {
            sum = add_nan_first(sum, true_range(high[j], low[j], previous_[j]));
        }
        const bool seeds = i == period_ && period_ != 0 && period_ != top_position;
        sum = seeds ? step_.seed(sum) : sum;
        kept[0] = sum;
        kept[1] = close[j];
        kept[2] = seeds ? sum : no_value;
    });
    bar(high, low, close, output);
    restarts_.after(seen_, warm(), 3, [&](std::size_t j, const double* kept, Position) {
        sums_or_averages_[j] = kept[0];
        previous_[j] = kept[1];
        output.set(j, kept[2]);
    });
}

bool AtrUniverse::restart(const std::uint64_t* lanes, std::size_t n) noexcept {
    if (!restarts_.restart(lanes, n, seen_, warm(), 3)) {
        return false;
    }
    for (std::size_t k = 0; k < n; ++k) {
        sums_or_averages_[static_cast<std::size_t>(lanes[k])] = 0.0;
        previous_[static_cast<std::size_t>(lanes[k])] = no_value;
    }
    return true;
}

// After the seed, a lane's latest output is its average.
void AtrUniverse::last(double* into) const noexcept {
    for (std::size_t j = 0; j < width_; ++j) {
        const bool seeded =
            period_ != 0 && period_ != top_position && restarts_.count(j, seen_) > period_;
        into[j] = seeded ? sums_or_averages_[j] : no_value;
    }
}

void AtrUniverse::bar(Series high, Series low, Series close, OutputSeries output) noexcept {
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

bool AtrUniverse::validate() noexcept {
    return restarts_.valid(seen_, warm(), 3) && every_lane(width_, [&](std::size_t j) {
               return atr_valid(period_, restarts_.count(j, seen_), sums_or_averages_[j],
                                previous_[j]);
           });
}

}  // namespace quorvane
