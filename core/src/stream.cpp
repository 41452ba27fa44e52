#include "quorvane/stream.hpp"

#include <algorithm>

#include "state_tags.hpp"

namespace quorvane {

void StateWriter::word(std::uint64_t value) noexcept {
    if (next_ != nullptr) {
        std::memcpy(next_ + count_, &value, sizeof value);
    }
    count_ += sizeof value;
}

void StateWriter::numbers(const double* values, std::size_t count) noexcept {
    for (std::size_t i = 0; i < count; ++i) {
        number(values[i]);
    }
}

void StateWriter::words(const std::uint64_t* values, std::size_t count) noexcept {
    for (std::size_t i = 0; i < count; ++i) {
        word(values[i]);
    }
}

// Oldest first: a restored ring starts from its first slot. A ring of
// width 0 writes nothing, however many slots it counts.
void StateWriter::ring(const Ring& ring) noexcept {
    for (std::size_t k = ring.width_ == 0 ? 0 : ring.held(); k-- > 0;) {
        numbers(ring.back(k), ring.width_);
    }
}

bool StateReader::word(std::uint64_t& value) noexcept {
    if (left_ < sizeof value) {
        return false;
    }
    std::memcpy(&value, next_, sizeof value);
    next_ += sizeof value;
    left_ -= sizeof value;
    return true;
}

bool StateReader::number(double& value) noexcept {
    std::uint64_t bits = 0;
    const bool read = word(bits);
    value = std::bit_cast<double>(bits);
    return read;
}

bool StateReader::numbers(double* values, std::size_t count) noexcept {
    for (std::size_t i = 0; i < count; ++i) {
        if (!number(values[i])) {
            return false;
        }
    }
    return true;
}

bool StateReader::words(std::uint64_t* values, std::size_t count) noexcept {
    for (std::size_t i = 0; i < count; ++i) {
        if (!word(values[i])) {
            return false;
        }
    }
    return true;
}

bool StateReader::ring(Ring& ring, std::uint64_t seen) noexcept {
    const std::uint64_t held = std::min<std::uint64_t>(seen, ring.limit_);
    if (ring.width_ == 0) {
        ring.held_ = static_cast<std::size_t>(held);
        ring.head_ = held == ring.limit_ ? 0 : ring.held_;
        return true;
    }
    // The bytes must be there before memory is taken for them.
    if (held > left_ / sizeof(double) / ring.width_) {
        return false;
    }
    if (!ring.prepare(held)) {
        return false;
    }
    for (std::uint64_t k = 0; k < held; ++k) {
        if (!numbers(ring.next(), ring.width_)) {
            return false;
        }
        ring.advance();
    }
    return true;
}

bool StateReader::exact_size(std::size_t size, std::uint64_t fixed, std::uint64_t width,
                             std::uint64_t per_lane, std::uint64_t held) noexcept {
    const std::uint64_t words = size / sizeof(std::uint64_t);
    if (size % sizeof(std::uint64_t) != 0 || words < fixed) {
        return false;
    }
    const std::uint64_t rest = words - fixed;
    if (width == 0) {
        return rest == 0;
    }
    return rest % width == 0 && rest / width >= per_lane && rest / width - per_lane == held;
}

// What a saved state must hold, to be one that updates make.

namespace {

bool same_bits(double x, std::uint64_t bits) {
    return std::bit_cast<std::uint64_t>(x) == bits;
}

constexpr std::uint64_t negative_zero_bits = std::uint64_t{1} << 63;

}  // namespace

// While the first window fills, the ring holds every value seen, and the sum
// is theirs, summed in order (a NaN matches any NaN: which of two a sum
// gives is the machine's). A period of 0 has no window.
bool sma_sum_valid(Period period, Position seen, double sum, const Ring& window,
                   std::size_t lane) noexcept {
    if (period == 0 || seen >= period) {
        return period != 0 || seen != 0 || same_bits(sum, negative_zero_bits);
    }
    double expected = SmaStep(period).sum;
    for (std::size_t k = window.held(); k-- > 0;) {
        SmaStep::fill(expected, window.back(k)[lane]);
    }
    return is_nan(sum) ? is_nan(expected) : same_bits(sum, std::bit_cast<std::uint64_t>(expected));
}

// A run of at most `seen` finite values (so its sum is never NaN, and -0.0
// while empty), shorter than the period while seeding, whose average is the
// no-value NaN until then; once seeded, the run is the period and the
// average never NaN. A period of 0 never seeds.
bool ema_valid(Period period, Position seen, std::uint64_t run, double sum, double average,
               bool seeded) noexcept {
    if (run > seen || is_nan(sum) || (run == 0 && !same_bits(sum, negative_zero_bits))) {
        return false;
    }
    if (seeded) {
        return period != 0 && run == period && !is_nan(average);
    }
    return (run < period || period == 0) && same_bits(average, no_value_bits);
}

// Nothing before the first value (position slow - 1); marks, each a
// position + 1, never beyond what was seen, and within the window the
// newest of their kind.
bool macd_valid(Period slow_period, const MacdStep& lane, Position seen, const Ring& window,
                std::size_t j) noexcept {
    if (seen < slow_period &&
        !(same_bits(lane.f, no_value_bits) && same_bits(lane.s, no_value_bits) &&
          same_bits(lane.g, no_value_bits))) {
        return false;
    }
    const Position first = seen - window.held();
    NonFiniteMarks newest;
    for (std::size_t k = window.held(); k-- > 0;) {
        newest.note(seen - 1 - k, window.back(k)[j]);
    }
    const auto agrees = [&](Position mark, Position found) {
        return found != 0 ? mark == found : mark <= first;
    };
    return agrees(lane.marks.nan_end, newest.nan_end) &&
           agrees(lane.marks.positive_end, newest.positive_end) &&
           agrees(lane.marks.negative_end, newest.negative_end);
}

// Nothing summed before the second bar (nor ever with a period of 0), and
// no close before the first.
bool atr_valid(Period period, Position seen, double sum, double previous_close) noexcept {
    if ((seen <= 1 || period == 0) && !same_bits(sum, 0)) {
        return false;
    }
    return seen != 0 || same_bits(previous_close, no_value_bits);
}

// SMA

bool SmaStream::assign(const SmaStream& other) noexcept {
    if (!window_.assign(other.window_)) {
        return false;
    }
    period_ = other.period_;
    step_ = other.step_;
    seen_ = other.seen_;
    return true;
}

double SmaStream::step(SmaStep& step, double x) const noexcept {
    if (period_ == 0 || seen_ < period_ - 1) {
        step.fill(x);
        return no_value;
    }
    if (seen_ == period_ - 1) {
        step.fill(x);
        return step.value();
    }
    return step.slide(x, *window_.back(static_cast<std::size_t>(period_ - 1)));
}

double SmaStream::update(double x) noexcept {
    const double value = step(step_, x);
    if (period_ != 0) {
        window_.push(x);
    }
    seen_ = count_on(seen_, 1);
    return value;
}

double SmaStream::peek(double x) const noexcept {
    SmaStep trial = step_;
    return step(trial, x);
}

void SmaStream::run(Series data, OutputSeries output) noexcept {
    const std::size_t n = data.size();
    if (period_ == 0) {
        output.fill_no_value();
        seen_ = count_on(seen_, n);
        return;
    }
    // Until a whole window lies inside the data, the value leaving it comes
    // from the ring; then from the data, as in the batch kernel.
    std::size_t i = 0;
    for (; i < n && i < period_; ++i) {
        output.set(i, update(data[i]));
    }
    if (i == n) {
        return;
    }
    const auto window = static_cast<std::size_t>(period_);
    sma_slide(step_, data, window, i, output);
    for (std::size_t k = std::max(i, n - window); k < n; ++k) {
        window_.push(data[k]);
    }
    seen_ = count_on(seen_, n - i);
}

std::size_t SmaStream::save(unsigned char* into) const noexcept {
    StateWriter out(into);
    out.word(sma_tag);
    out.word(period_);
    out.word(seen_);
    out.number(step_.sum);
    out.ring(window_);
    return out.written();
}

bool SmaStream::load(const unsigned char* bytes, std::size_t size) noexcept {
    StateReader in(bytes, size);
    std::uint64_t tag = 0;
    Period period = 0;
    Position seen = 0;
    double sum = 0.0;
    if (!in.word(tag) || tag != sma_tag || !in.word(period) || !in.word(seen) ||
        !StateReader::exact_size(size, 4, 1, 0, std::min(seen, period)) || !in.number(sum)) {
        return false;
    }
    SmaStream loaded(period);
    loaded.seen_ = seen;
    loaded.step_.sum = sum;
    if (!in.ring(loaded.window_, seen) || !in.done() ||
        !sma_sum_valid(period, seen, sum, loaded.window_, 0)) {
        return false;
    }
    *this = std::move(loaded);
    return true;
}

// EMA

double EmaStream::step(Scalars& state, double x) const noexcept {
    if (state.seeded) {
        if (!is_finite_bits(x)) {
            return no_value;
        }
        state.average = step_.next(state.average, x);
        return state.average;
    }
    if (!state.seed.add(x, period_)) {
        return no_value;
    }
    state.average = step_.seed(state.seed.sum);
    state.seeded = true;
    return state.average;
}

double EmaStream::update(double x) noexcept {
    seen_ = count_on(seen_, 1);
    return step(state_, x);
}

double EmaStream::peek(double x) const noexcept {
    Scalars trial = state_;
    return step(trial, x);
}

void EmaStream::run(Series data, OutputSeries output) noexcept {
    const std::size_t n = data.size();
    std::size_t i = 0;
    for (; i < n && !state_.seeded; ++i) {
        output.set(i, update(data[i]));
    }
    state_.average = ema_smooth(step_, state_.average, data, i, output);
    seen_ = count_on(seen_, n - i);
}

std::size_t EmaStream::save(unsigned char* into) const noexcept {
    StateWriter out(into);
    out.word(ema_tag);
    out.word(period_);
    out.word(seen_);
    out.word(state_.seed.run);
    out.number(state_.seed.sum);
    out.number(state_.average);
    out.word(state_.seeded);
    return out.written();
}

bool EmaStream::load(const unsigned char* bytes, std::size_t size) noexcept {
    StateReader in(bytes, size);
    std::uint64_t tag = 0;
    Period period = 0;
    std::uint64_t seeded = 0;
    if (!in.word(tag) || tag != ema_tag || !in.word(period)) {
        return false;
    }
    EmaStream loaded(period);
    Scalars& state = loaded.state_;
    if (!in.word(loaded.seen_) || !in.word(state.seed.run) || !in.number(state.seed.sum) ||
        !in.number(state.average) || !in.word(seeded) || seeded > 1 || !in.done() ||
        !ema_valid(period, loaded.seen_, state.seed.run, state.seed.sum, state.average,
                   seeded == 1)) {
        return false;
    }
    state.seeded = seeded == 1;
    *this = loaded;
    return true;
}

// MACD

bool MacdStream::assign(const MacdStream& other) noexcept {
    if (!window_.assign(other.window_)) {
        return false;
    }
    periods_ = other.periods_;
    step_ = other.step_;
    seen_ = other.seen_;
    return true;
}

MacdValues MacdStream::peek(double x) const noexcept {
    MacdStep trial = step_;
    MacdValues values;
    macd_run(periods_, trial, next_position(seen_, trial.marks), Series(&x, 1),
             OutputSeries(&values.macd, 1), OutputSeries(&values.signal, 1),
             OutputSeries(&values.hist, 1), [&](std::size_t, Period k) {
                 return k == 0 ? x : *window_.back(static_cast<std::size_t>(k - 1));
             });
    return values;
}

MacdValues MacdStream::update(double x) noexcept {
    MacdValues values;
    run(Series(&x, 1), OutputSeries(&values.macd, 1), OutputSeries(&values.signal, 1),
        OutputSeries(&values.hist, 1));
    return values;
}

void MacdStream::run(Series data, OutputSeries macd_output, OutputSeries signal_output,
                     OutputSeries hist_output) noexcept {
    const std::size_t n = data.size();
    // Up to the top of the count at once; past it, a value at a time.
    const auto room = static_cast<std::size_t>(std::min<std::uint64_t>(n, top_position - seen_));
    run_from(seen_, data.part(0, room), macd_output.part(0, room), signal_output.part(0, room),
             hist_output.part(0, room));
    for (std::size_t i = room; i < n; ++i) {
        run_from(next_position(seen_, step_.marks), data.part(i, 1), macd_output.part(i, 1),
                 signal_output.part(i, 1), hist_output.part(i, 1));
    }
}

// The data's first value at position `start`, seen_ being start or the top.
void MacdStream::run_from(Position start, Series data, OutputSeries macd_output,
                          OutputSeries signal_output, OutputSeries hist_output) noexcept {
    const std::size_t n = data.size();
    // A trailing window reaches back from the data into the ring.
    macd_run(periods_, step_, start, data, macd_output, signal_output, hist_output,
             [&](std::size_t i, Period k) {
                 return k <= i ? data[i - static_cast<std::size_t>(k)]
                               : *window_.back(static_cast<std::size_t>(k - i - 1));
             });
    const std::size_t kept = static_cast<std::size_t>(std::min<Period>(n, periods_.slow_period));
    for (std::size_t k = n - kept; k < n; ++k) {
        window_.push(data[k]);
    }
    seen_ = count_on(start, n);
}

std::size_t MacdStream::save(unsigned char* into) const noexcept {
    StateWriter out(into);
    out.word(macd_tag);
    out.word(periods_.fast_period);
    out.word(periods_.slow_period);
    out.word(periods_.signal_period);
    out.word(seen_);
    out.number(step_.f);
    out.number(step_.s);
    out.number(step_.g);
    out.word(step_.marks.nan_end);
    out.word(step_.marks.positive_end);
    out.word(step_.marks.negative_end);
    out.ring(window_);
    return out.written();
}

bool MacdStream::load(const unsigned char* bytes, std::size_t size) noexcept {
    StateReader in(bytes, size);
    std::uint64_t tag = 0;
    Period fast = 0;
    Period slow = 0;
    Period signal = 0;
    if (!in.word(tag) || tag != macd_tag || !in.word(fast) || !in.word(slow) || !in.word(signal) ||
        fast == 0 || fast >= slow || signal == 0) {
        return false;
    }
    MacdStream loaded(fast, slow, signal);
    MacdStep& step = loaded.step_;
    if (!in.word(loaded.seen_) ||
        !StateReader::exact_size(size, 11, 1, 0, std::min(loaded.seen_, slow)) ||
        !in.number(step.f) || !in.number(step.s) || !in.number(step.g) ||
        !in.word(step.marks.nan_end) || !in.word(step.marks.positive_end) ||
        !in.word(step.marks.negative_end) || !in.ring(loaded.window_, loaded.seen_) || !in.done() ||
        !macd_valid(slow, step, loaded.seen_, loaded.window_, 0)) {
        return false;
    }
    *this = std::move(loaded);
    return true;
}

// ATR

double AtrStream::step(Scalars& state, double high, double low, double close) const noexcept {
    const double previous_close = state.previous_close;
    state.previous_close = close;
    if (seen_ == 0 || period_ == 0) {
        return no_value;
    }
    const double range = true_range(high, low, previous_close);
    // The seed needs period + 1 bars: with the largest period, more than
    // the count holds, so it never comes.
    if (seen_ < period_ || period_ == top_position) {
        state.sum_or_average = add_nan_first(state.sum_or_average, range);
        return no_value;
    }
    if (seen_ == period_) {
        state.sum_or_average = add_nan_first(state.sum_or_average, range);
        state.sum_or_average = step_.seed(state.sum_or_average);
        return state.sum_or_average;
    }
    state.sum_or_average = step_.smooth(state.sum_or_average, range);
    return state.sum_or_average;
}

double AtrStream::update(double high, double low, double close) noexcept {
    const double value = step(state_, high, low, close);
    seen_ = count_on(seen_, 1);
    return value;
}

double AtrStream::peek(double high, double low, double close) const noexcept {
    Scalars trial = state_;
    return step(trial, high, low, close);
}

void AtrStream::run(Series high, Series low, Series close, OutputSeries output) noexcept {
    const std::size_t n = high.size();
    // Through the seed one bar at a time; after it, the batch kernel's
    // smoothing, from the second bar on so that every previous close lies
    // inside the data.
    std::size_t i = 0;
    for (; i < n && (i == 0 || seen_ <= period_ || period_ == 0); ++i) {
        output.set(i, update(high[i], low[i], close[i]));
    }
    if (i == n) {
        return;
    }
    state_.sum_or_average = atr_smooth(step_, state_.sum_or_average, high, low, close, i, output);
    state_.previous_close = close[n - 1];
    seen_ = count_on(seen_, n - i);
}

std::size_t AtrStream::save(unsigned char* into) const noexcept {
    StateWriter out(into);
    out.word(atr_tag);
    out.word(period_);
    out.word(seen_);
    out.number(state_.sum_or_average);
    out.number(state_.previous_close);
    return out.written();
}

bool AtrStream::load(const unsigned char* bytes, std::size_t size) noexcept {
    StateReader in(bytes, size);
    std::uint64_t tag = 0;
    Period period = 0;
    if (!in.word(tag) || tag != atr_tag || !in.word(period)) {
        return false;
    }
    AtrStream loaded(period);
    Scalars& state = loaded.state_;
    if (!in.word(loaded.seen_) || !in.number(state.sum_or_average) ||
        !in.number(state.previous_close) || !in.done() ||
        !atr_valid(period, loaded.seen_, state.sum_or_average, state.previous_close)) {
        return false;
    }
    *this = loaded;
    return true;
}

}  // namespace quorvane
