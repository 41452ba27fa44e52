#include "quorvane/stream.hpp"

#include <algorithm>
#include <tuple>
#include <utility>

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

// While the first window fills, the ring's newest `seen` values are the ones
// seen (a universe's ring may hold older ones of a lane that restarted), and
// the sum is theirs, summed in order (a NaN matches any NaN: which of two a
// sum gives is the machine's). A period of 0 has no window.
bool sma_sum_valid(Period period, Position seen, double sum, const Ring& window,
                   std::size_t lane) noexcept {
    if (period == 0 || seen >= period) {
        return period != 0 || seen != 0 || same_bits(sum, negative_zero_bits);
    }
    double expected = SmaStep(period).sum;
    for (auto k = static_cast<std::size_t>(std::min<Position>(seen, window.held())); k-- > 0;) {
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
// position + 1, never beyond what was seen, and within the window's newest
// `seen` values the newest of their kind.
bool macd_valid(Period slow_period, const MacdStep& lane, Position seen, const Ring& window,
                std::size_t j) noexcept {
    if (seen < slow_period &&
        !(same_bits(lane.f, no_value_bits) && same_bits(lane.s, no_value_bits) &&
          same_bits(lane.g, no_value_bits))) {
        return false;
    }
    const auto held = static_cast<std::size_t>(std::min<Position>(seen, window.held()));
    const Position first = seen - held;
    NonFiniteMarks newest;
    for (std::size_t k = held; k-- > 0;) {
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

bool last_valid(Position seen, double last) noexcept {
    return seen != 0 || same_bits(last, no_value_bits);
}

// SMA

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
    last_ = step(step_, x);
    if (period_ != 0) {
        window_.push(x);
    }
    seen_ = count_on(seen_, 1);
    return last_;
}

double SmaStream::peek(double x) const noexcept {
    SmaStep trial = step_;
    return step(trial, x);
}

void SmaStream::run(Series data, OutputSeries output) noexcept {
    const std::size_t n = data.size();
    if (period_ == 0) {
        output.fill_no_value();
        last_ = n != 0 ? no_value : last_;
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
    last_ = output[n - 1];
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
    last_ = step(state_, x);
    return last_;
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
    last_ = n != 0 ? output[n - 1] : last_;
}

// MACD

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
    if (n != 0) {
        last_ = {macd_output[n - 1], signal_output[n - 1], hist_output[n - 1]};
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
    last_ = step(state_, high, low, close);
    seen_ = count_on(seen_, 1);
    return last_;
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
    last_ = output[n - 1];
}

// Save, load and assign, from each state's list of fields (see Saved).

namespace {

struct Write {
    StateWriter& out;

    void word(std::uint64_t value) noexcept { out.word(value); }
    void flag(bool value) noexcept { out.word(value ? 1 : 0); }
    void number(double value) noexcept { out.number(value); }
    void lanes(std::size_t, const Buffer<double>& values) noexcept {
        out.numbers(values.data(), values.size());
    }
    void lanes(std::size_t, const Buffer<std::uint64_t>& values) noexcept {
        out.words(values.data(), values.size());
    }
    void ring(const Ring& ring) noexcept { out.ring(ring); }
    template <class T>
    void unsaved(const T&) noexcept {}
};

// The words the fields of a state that has seen `seen` values take: `fixed`
// ones, then `per_lane` and `held` ring slots for each lane.
struct Count {
    Position seen;
    std::uint64_t fixed = 0;
    std::uint64_t per_lane = 0;
    std::uint64_t held = 0;

    void word(std::uint64_t) noexcept { ++fixed; }
    void flag(bool) noexcept { ++fixed; }
    void number(double) noexcept { ++fixed; }
    template <class T>
    void lanes(std::size_t words, const Buffer<T>&) noexcept {
        per_lane += words;
    }
    void ring(const Ring& ring) noexcept { held = std::min<std::uint64_t>(seen, ring.limit()); }
    template <class T>
    void unsaved(const T&) noexcept {}
};

// Reads the fields of a state that has seen `seen` values.
struct Read {
    StateReader& in;
    Position seen;
    bool ok = true;

    void word(std::uint64_t& value) noexcept { ok = ok && in.word(value); }
    void flag(bool& value) noexcept {
        std::uint64_t word = 0;
        ok = ok && in.word(word) && word <= 1;
        value = word == 1;
    }
    void number(double& value) noexcept { ok = ok && in.number(value); }
    void lanes(std::size_t, Buffer<double>& values) noexcept {
        ok = ok && in.numbers(values.data(), values.size());
    }
    void lanes(std::size_t, Buffer<std::uint64_t>& values) noexcept {
        ok = ok && in.words(values.data(), values.size());
    }
    void ring(Ring& ring) noexcept { ok = ok && in.ring(ring, seen); }
    template <class T>
    void unsaved(T&) noexcept {}
};

// Copies each field; storage may run out.
struct Copy {
    bool ok = true;

    void word(std::uint64_t& to, std::uint64_t from) noexcept { to = from; }
    void flag(bool& to, bool from) noexcept { to = from; }
    void number(double& to, double from) noexcept { to = from; }
    template <class T>
    void lanes(std::size_t, Buffer<T>& to, const Buffer<T>& from) noexcept {
        ok = ok && to.assign(from);
    }
    void ring(Ring& to, const Ring& from) noexcept { ok = ok && to.assign(from); }
    void unsaved(std::size_t& to, std::size_t from) noexcept { to = from; }
    template <class T>
    void unsaved(Buffer<T>& to, const Buffer<T>& from) noexcept {
        ok = ok && to.assign(from);
    }
};

// A universe's per-lane storage and width; a single series has one lane,
// whose fields need no storage of their own.
template <class State>
bool allocate(State& state) noexcept {
    if constexpr (requires { state.allocate(); }) {
        return state.allocate();
    } else {
        return true;
    }
}

template <class State>
std::uint64_t width_of(const State& state) noexcept {
    if constexpr (requires { state.width(); }) {
        return state.width();
    } else {
        return 1;
    }
}

}  // namespace

template <class State>
std::size_t Saved<State>::save(unsigned char* into) const noexcept {
    const auto& state = static_cast<const State&>(*this);
    StateWriter out(into);
    out.word(tag_of<State>);
    for (const std::uint64_t word : state.shape()) {
        out.word(word);
    }
    out.word(state.seen_);
    Write write{out};
    State::fields(write, state);
    return out.written();
}

// Into a state built aside, which takes this one's place only once it has
// passed every check.
template <class State>
bool Saved<State>::load(const unsigned char* bytes, std::size_t size) noexcept {
    StateReader in(bytes, size);
    std::uint64_t tag = 0;
    decltype(std::declval<const State&>().shape()) shape{};
    Position seen = 0;
    if (!in.word(tag) || tag != tag_of<State> || !in.words(shape.data(), shape.size()) ||
        !in.word(seen)) {
        return false;
    }
    State loaded = std::make_from_tuple<State>(shape);
    loaded.seen_ = seen;
    Count count{seen};
    State::fields(count, loaded);
    // Checked before memory is taken, so that it is bounded by the bytes.
    if (!StateReader::exact_size(size, 2 + shape.size() + count.fixed, width_of(loaded),
                                 count.per_lane, count.held) ||
        !allocate(loaded)) {
        return false;
    }
    Read read{in, seen};
    State::fields(read, loaded);
    if (!read.ok || !in.done() || !loaded.validate()) {
        return false;
    }
    static_cast<State&>(*this) = std::move(loaded);
    return true;
}

template <class State>
bool Saved<State>::assign(const State& other) noexcept {
    auto& state = static_cast<State&>(*this);
    // Storage of the same shape is reused.
    if (state.shape() != other.shape()) {
        state = std::make_from_tuple<State>(other.shape());
    }
    state.seen_ = other.seen_;
    Copy fields;
    State::fields(fields, state, other);
    return fields.ok;
}

template class Saved<SmaStream>;
template class Saved<EmaStream>;
template class Saved<MacdStream>;
template class Saved<AtrStream>;
template class Saved<SmaUniverse>;
template class Saved<EmaUniverse>;
template class Saved<MacdUniverse>;
template class Saved<AtrUniverse>;

}  // namespace quorvane
