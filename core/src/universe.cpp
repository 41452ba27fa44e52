#include <algorithm>
#include <bit>

#include "quorvane/stream.hpp"

namespace quorvane {
namespace {

enum : std::uint64_t {
    sma_tag = 0x51760011,
    ema_tag,
    macd_tag,
    atr_tag,
};

#if defined(__SSE2__)
// Finite in both lanes: x - x is +0 for every finite x and NaN for NaN and
// both infinities.
inline __m128d is_finite_pair(__m128d x) noexcept {
    return _mm_cmpeq_pd(_mm_sub_pd(x, x), _mm_setzero_pd());
}

// a where the mask is set, else b.
inline __m128d select(__m128d mask, __m128d a, __m128d b) noexcept {
    return _mm_or_pd(_mm_and_pd(mask, a), _mm_andnot_pd(mask, b));
}

inline void store_pair(void* bytes, std::size_t j, __m128d pair) noexcept {
    std::memcpy(static_cast<unsigned char*>(bytes) + j * sizeof(double), &pair, sizeof pair);
}
#endif

}  // namespace

// SMA

bool SmaUniverse::allocate() noexcept {
    if (!sums_.resize(width_)) {
        return false;
    }
    std::fill_n(sums_.data(), width_, SmaStep(period_).sum);
    return true;
}

bool SmaUniverse::assign(const SmaUniverse& other) noexcept {
    if (!sums_.assign(other.sums_) || !window_.assign(other.window_)) {
        return false;
    }
    period_ = other.period_;
    width_ = other.width_;
    scale_ = other.scale_;
    seen_ = other.seen_;
    return true;
}

void SmaUniverse::update(Series values, OutputSeries output) noexcept {
    const Position i = seen_++;
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
        const double scale = scale_;
        const std::size_t width = width_;
        for (std::size_t j = 0; j < width; ++j) {
            const double x = values[j];
            output.set(j, SmaStep::slide(sums[j], x, slot[j], scale));
            slot[j] = x;
        }
    }
    window_.advance();
}

std::size_t SmaUniverse::save(unsigned char* into) const noexcept {
    StateWriter out(into);
    out.word(sma_tag);
    out.word(period_);
    out.word(width_);
    out.word(seen_);
    out.numbers(sums_.data(), width_);
    out.ring(window_);
    return out.written();
}

bool SmaUniverse::load(const unsigned char* bytes, std::size_t size) noexcept {
    StateReader in(bytes, size);
    std::uint64_t tag = 0;
    Period period = 0;
    std::uint64_t width = 0;
    if (!in.word(tag) || tag != sma_tag || !in.word(period) ||
        !in.word(width) ||
        width > size / sizeof(double)) {
        return false;
    }
    SmaUniverse loaded(period, static_cast<std::size_t>(width));
    if (!loaded.allocate() || !in.word(loaded.seen_) ||
        !in.numbers(loaded.sums_.data(), loaded.width_) ||
        !in.ring(loaded.window_, loaded.seen_) || !in.done()) {
        return false;
    }
    return assign(loaded);
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

bool EmaUniverse::assign(const EmaUniverse& other) noexcept {
    if (!averages_.assign(other.averages_) || !sums_.assign(other.sums_) ||
        !runs_.assign(other.runs_)) {
        return false;
    }
    period_ = other.period_;
    width_ = other.width_;
    step_ = other.step_;
    seen_ = other.seen_;
    unseeded_ = other.unseeded_;
    return true;
}

void EmaUniverse::update(Series values, OutputSeries output) noexcept {
    ++seen_;
    double* const averages = averages_.data();
    // The seeded lanes, all at once and without a branch: a lane still
    // seeding holds NaN, and a missing value is stepped over. A seeded
    // average is never NaN (its inputs are finite).
    const EmaStep step = step_;
    const std::size_t width = width_;
    std::size_t j = 0;
#if defined(__SSE2__)
    for (; j + 2 <= width; j += 2) {
        const __m128d x = load_pair(values.data(), j);
        const __m128d average = load_pair(averages, j);
        const __m128d next = step.next(average, x);
        const __m128d taken = _mm_and_pd(is_finite_pair(x), _mm_cmpord_pd(average, average));
        store_pair(averages, j, select(taken, next, average));
        store_pair(output.data(), j, select(taken, next, _mm_set1_pd(no_value)));
    }
#endif
    for (; j < width; ++j) {
        const double x = values[j];
        const double average = averages[j];
        const double next = step.next(average, x);
        const bool taken = is_finite_bits(x) && !is_nan(average);
        averages[j] = taken ? next : average;
        output.set(j, taken ? next : no_value);
    }
    if (unseeded_ == 0) {
        return;
    }
    // The lanes still seeding, each on its own run.
    for (j = 0; j < width; ++j) {
        if (!is_nan(averages[j])) {
            continue;
        }
        EmaSeed seed{runs_[j], sums_[j]};
        if (seed.add(values[j], period_)) {
            averages[j] = step.seed(seed.sum);
            output.set(j, averages[j]);
            --unseeded_;
        }
        runs_[j] = seed.run;
        sums_[j] = seed.sum;
    }
}

std::size_t EmaUniverse::save(unsigned char* into) const noexcept {
    StateWriter out(into);
    out.word(ema_tag);
    out.word(period_);
    out.word(width_);
    out.word(seen_);
    out.numbers(averages_.data(), width_);
    out.numbers(sums_.data(), width_);
    out.words(runs_.data(), width_);
    return out.written();
}

bool EmaUniverse::load(const unsigned char* bytes, std::size_t size) noexcept {
    StateReader in(bytes, size);
    std::uint64_t tag = 0;
    Period period = 0;
    std::uint64_t width = 0;
    if (!in.word(tag) || tag != ema_tag || !in.word(period) ||
        !in.word(width) ||
        width > size / sizeof(double)) {
        return false;
    }
    EmaUniverse loaded(period, static_cast<std::size_t>(width));
    if (!loaded.allocate() || !in.word(loaded.seen_) ||
        !in.numbers(loaded.averages_.data(), loaded.width_) ||
        !in.numbers(loaded.sums_.data(), loaded.width_) ||
        !in.words(loaded.runs_.data(), loaded.width_) || !in.done()) {
        return false;
    }
    loaded.unseeded_ = static_cast<std::size_t>(
        std::count_if(loaded.averages_.data(), loaded.averages_.data() + loaded.width_, is_nan));
    return assign(loaded);
}

// MACD

bool MacdUniverse::allocate() noexcept {
    if (!f_.resize(width_) || !s_.resize(width_) || !g_.resize(width_) ||
        !trial_.resize(width_) || width_ > SIZE_MAX / 3 || !marks_.resize(3 * width_)) {
        return false;
    }
    std::fill_n(f_.data(), width_, no_value);
    std::fill_n(s_.data(), width_, no_value);
    std::fill_n(g_.data(), width_, no_value);
    return true;
}

bool MacdUniverse::assign(const MacdUniverse& other) noexcept {
    if (!f_.assign(other.f_) || !s_.assign(other.s_) || !g_.assign(other.g_) ||
        !trial_.assign(other.trial_) || !marks_.assign(other.marks_) ||
        !window_.assign(other.window_)) {
        return false;
    }
    step_ = other.step_;
    width_ = other.width_;
    seen_ = other.seen_;
    return true;
}

MacdStep MacdUniverse::lane(std::size_t j) const noexcept {
    MacdStep step = step_;
    step.f = f_[j];
    step.s = s_[j];
    step.g = g_[j];
    step.marks = {marks_[3 * j], marks_[3 * j + 1], marks_[3 * j + 2]};
    return step;
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
    const Position i = seen_++;
    double* const slot = window_.next();
    if (i < step_.slow_period - 1) {
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
    // NaN keeps its values and is done again in full below. The slot
    // written is one that no trailing window of this bar reads.
    const EmaStep fast = step_.fast;
    const EmaStep slow = step_.slow;
    const EmaStep signal = step_.signal;
    double* const f = f_.data();
    double* const s = s_.data();
    double* const g = g_.data();
    double* const trial = trial_.data();
    std::size_t failed = 0;
    const std::size_t width = width_;
    std::size_t j = 0;
#if defined(__SSE2__)
    for (; j + 2 <= width; j += 2) {
        const __m128d x = load_pair(values.data(), j);
        store_pair(slot, j, x);
        const __m128d old_f = load_pair(f, j);
        const __m128d old_s = load_pair(s, j);
        const __m128d old_g = load_pair(g, j);
        const __m128d next_f = fast.next(old_f, x);
        const __m128d next_s = slow.next(old_s, x);
        const __m128d m = next_f - next_s;
        const __m128d next_g = signal.next(old_g, m);
        const __m128d kept = _mm_cmpord_pd(next_g, next_g);
        store_pair(f, j, select(kept, next_f, old_f));
        store_pair(s, j, select(kept, next_s, old_s));
        store_pair(g, j, select(kept, next_g, old_g));
        store_pair(trial, j, next_g);
        store_pair(macd_output.data(), j, m);
        store_pair(signal_output.data(), j, next_g);
        store_pair(hist_output.data(), j, m - next_g);
        failed += static_cast<std::size_t>(std::popcount(3u & ~static_cast<unsigned>(_mm_movemask_pd(kept))));
    }
#endif
    for (; j < width; ++j) {
        const double x = values[j];
        slot[j] = x;
        const double next_f = fast.next(f[j], x);
        const double next_s = slow.next(s[j], x);
        const double m = next_f - next_s;
        const double next_g = signal.next(g[j], m);
        const bool kept = !is_nan(next_g);
        f[j] = kept ? next_f : f[j];
        s[j] = kept ? next_s : s[j];
        g[j] = kept ? next_g : g[j];
        trial[j] = next_g;
        macd_output.set(j, m);
        signal_output.set(j, next_g);
        hist_output.set(j, m - next_g);
        failed += !kept;
    }
    for (j = 0; j < width && failed != 0; ++j) {
        if (!is_nan(trial[j])) {
            continue;
        }
        --failed;
        MacdStep step = lane(j);
        const double x = slot[j];
        const MacdValues v = step.full_step(i, x, [&](Period k) {
            return k == 0 ? x : window_.back(static_cast<std::size_t>(k - 1))[j];
        });
        keep(j, step);
        macd_output.set(j, v.macd);
        signal_output.set(j, v.signal);
        hist_output.set(j, v.hist);
    }
    window_.advance();
}

std::size_t MacdUniverse::save(unsigned char* into) const noexcept {
    StateWriter out(into);
    out.word(macd_tag);
    out.word(step_.fast_period);
    out.word(step_.slow_period);
    out.word(step_.signal_period);
    out.word(width_);
    out.word(seen_);
    out.numbers(f_.data(), width_);
    out.numbers(s_.data(), width_);
    out.numbers(g_.data(), width_);
    out.words(marks_.data(), 3 * width_);
    out.ring(window_);
    return out.written();
}

bool MacdUniverse::load(const unsigned char* bytes, std::size_t size) noexcept {
    StateReader in(bytes, size);
    std::uint64_t tag = 0;
    Period fast = 0;
    Period slow = 0;
    Period signal = 0;
    std::uint64_t width = 0;
    if (!in.word(tag) || tag != macd_tag || !in.word(fast) || !in.word(slow) ||
        !in.word(signal) || fast == 0 || fast >= slow || signal == 0 ||
        !in.word(width) ||
        width > size / sizeof(double)) {
        return false;
    }
    MacdUniverse loaded(fast, slow, signal, static_cast<std::size_t>(width));
    if (!loaded.allocate() || !in.word(loaded.seen_) ||
        !in.numbers(loaded.f_.data(), loaded.width_) ||
        !in.numbers(loaded.s_.data(), loaded.width_) ||
        !in.numbers(loaded.g_.data(), loaded.width_) ||
        !in.words(loaded.marks_.data(), 3 * loaded.width_) ||
        !in.ring(loaded.window_, loaded.seen_) || !in.done()) {
        return false;
    }
    return assign(loaded);
}

// ATR

bool AtrUniverse::allocate() noexcept {
    if (!sums_.resize(width_) || !previous_.resize(width_)) {
        return false;
    }
    std::fill_n(previous_.data(), width_, no_value);
    return true;
}

bool AtrUniverse::assign(const AtrUniverse& other) noexcept {
    if (!sums_.assign(other.sums_) || !previous_.assign(other.previous_)) {
        return false;
    }
    period_ = other.period_;
    width_ = other.width_;
    step_ = other.step_;
    seen_ = other.seen_;
    return true;
}

void AtrUniverse::update(Series high, Series low, Series close, OutputSeries output) noexcept {
    const Position i = seen_++;
    double* const sums = sums_.data();
    double* const previous = previous_.data();
    if (i == 0 || period_ == 0) {
        for (std::size_t j = 0; j < width_; ++j) {
            previous[j] = close[j];
        }
        output.fill_no_value();
        return;
    }
    if (i <= period_) {
        for (std::size_t j = 0; j < width_; ++j) {
            sums[j] += true_range(high[j], low[j], previous[j]);
            previous[j] = close[j];
            if (i == period_) {
                sums[j] = step_.seed(sums[j]);
            }
            output.set(j, i == period_ ? sums[j] : no_value);
        }
        return;
    }
    const AtrStep step = step_;
    std::size_t j = 0;
#if defined(__SSE2__)
    // Two lanes in one register, with the operations of one.
    for (; j + 2 <= width_; j += 2) {
        const __m128d range = true_range_pair(load_pair(high.data(), j), load_pair(low.data(), j),
                                              load_pair(previous, j));
        const __m128d average = step.smooth(load_pair(sums, j), range);
        store_pair(sums, j, average);
        store_pair(output.data(), j, average);
        store_pair(previous, j, load_pair(close.data(), j));
    }
#endif
    for (; j < width_; ++j) {
        sums[j] = step.smooth(sums[j], true_range(high[j], low[j], previous[j]));
        previous[j] = close[j];
        output.set(j, sums[j]);
    }
}

std::size_t AtrUniverse::save(unsigned char* into) const noexcept {
    StateWriter out(into);
    out.word(atr_tag);
    out.word(period_);
    out.word(width_);
    out.word(seen_);
    out.numbers(sums_.data(), width_);
    out.numbers(previous_.data(), width_);
    return out.written();
}

bool AtrUniverse::load(const unsigned char* bytes, std::size_t size) noexcept {
    StateReader in(bytes, size);
    std::uint64_t tag = 0;
    Period period = 0;
    std::uint64_t width = 0;
    if (!in.word(tag) || tag != atr_tag || !in.word(period) ||
        !in.word(width) ||
        width > size / sizeof(double)) {
        return false;
    }
    AtrUniverse loaded(period, static_cast<std::size_t>(width));
    if (!loaded.allocate() || !in.word(loaded.seen_) ||
        !in.numbers(loaded.sums_.data(), loaded.width_) ||
        !in.numbers(loaded.previous_.data(), loaded.width_) || !in.done()) {
        return false;
    }
    return assign(loaded);
}

}  // namespace quorvane
