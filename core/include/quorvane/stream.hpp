// Streaming states: the indicators one position at a time, or a chunk at a
// time, for one series or for a universe of independent series that advance
// together, one bar per update. Every state steps with the functions of
// internal/steps.hpp, so the values it gives are the batch kernels' values,
// bit for bit, however the series is cut into updates.
//
// A state keeps only what its next values need: SMA and MACD the trailing
// window (period, slow period values), EMA and ATR a few numbers. Window
// storage grows geometrically while the window fills, so a long period on a
// short feed costs only what was fed; after that nothing is allocated.
// Growth happens only in `prepare`, which every update must be preceded by;
// it reports a failed allocation as false and leaves the state as it was.
//
// A state saves itself as bytes (periods, counters, window oldest first) and
// is restored from them; `load` refuses bytes that no run of updates could
// have made it write, in time and memory bounded by the bytes, and leaves the
// state as it was. The count of values seen stops at 2^64 - 1 (see
// internal/steps.hpp), so whatever a state saves, it loads.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <utility>

#include "quorvane/internal/steps.hpp"
#include "quorvane/series.hpp"

namespace quorvane {

// The C heap. Buffer and Ring take the heap as a parameter only so that a
// test can make an allocation fail.
struct CHeap {
    static void* grow(void* items, std::size_t bytes) noexcept {
        return std::realloc(items, bytes);
    }
    static void release(void* items) noexcept { std::free(items); }
};

// An array of T on the heap, owned. Failures are values.
template <class T, class Heap = CHeap>
class Buffer {
public:
    Buffer() noexcept = default;
    Buffer(const Buffer&) = delete;
    Buffer& operator=(const Buffer&) = delete;
    Buffer(Buffer&& other) noexcept
        : items_(std::exchange(other.items_, nullptr)), size_(std::exchange(other.size_, 0)) {}
    Buffer& operator=(Buffer&& other) noexcept {
        std::swap(items_, other.items_);
        std::swap(size_, other.size_);
        return *this;
    }
    ~Buffer() { Heap::release(items_); }

    // Keeps the first values; the rest are zero. False when memory runs out.
    bool resize(std::size_t size) noexcept {
        if (size > SIZE_MAX / sizeof(T)) {
            return false;
        }
        void* const grown = Heap::grow(items_, size == 0 ? 1 : size * sizeof(T));
        if (grown == nullptr) {
            return false;
        }
        items_ = static_cast<T*>(grown);
        if (size > size_) {
            std::memset(static_cast<void*>(items_ + size_), 0, (size - size_) * sizeof(T));
        }
        size_ = size;
        return true;
    }
    bool assign(const Buffer& other) noexcept {
        if (!resize(other.size_)) {
            return false;
        }
        if (size_ != 0) {
            std::memcpy(static_cast<void*>(items_), other.items_, size_ * sizeof(T));
        }
        return true;
    }

    T* data() const noexcept { return items_; }
    std::size_t size() const noexcept { return size_; }
    T& operator[](std::size_t i) const noexcept { return items_[i]; }

private:
    T* items_ = nullptr;
    std::size_t size_ = 0;
};

class StateWriter;
class StateReader;

// The newest `limit` slots of `width` values each. While filling, slots lie
// in order from the start and storage doubles as needed; once full, a push
// overwrites the oldest slot.
template <class Heap>
class BasicRing {
public:
    BasicRing(Period limit, std::size_t width) noexcept : limit_(limit), width_(width) {}

    // Room for `more` pushes beyond those held. False when memory runs out,
    // and then nothing has changed.
    bool prepare(std::uint64_t more) noexcept {
        if (held_ == limit_ || width_ == 0) {
            return true;
        }
        const std::uint64_t wanted = limit_ - held_ < more ? limit_ : held_ + more;
        if (wanted <= capacity()) {
            return true;
        }
        // Doubling keeps the copies of a long fill linear in its length;
        // when memory does not allow it, exactly what is wanted.
        const std::uint64_t doubled = std::max<std::uint64_t>(8, std::uint64_t{capacity()} * 2);
        const std::uint64_t slots = std::max(wanted, std::min<std::uint64_t>(limit_, doubled));
        return (slots > wanted && grow(slots)) || grow(wanted);
    }
    bool assign(const BasicRing& other) noexcept {
        if (!slots_.assign(other.slots_)) {
            return false;
        }
        limit_ = other.limit_;
        width_ = other.width_;
        held_ = other.held_;
        head_ = other.head_;
        return true;
    }

    // Slots that storage has room for.
    std::size_t capacity() const noexcept { return width_ == 0 ? 0 : slots_.size() / width_; }
    std::size_t held() const noexcept { return held_; }
    Period limit() const noexcept { return limit_; }
    bool full() const noexcept { return held_ == limit_; }
    // The slot pushed k pushes ago, k < held().
    double* back(std::size_t k) const noexcept {
        const std::size_t index = head_ > k ? head_ - 1 - k : head_ + held_ - 1 - k;
        return slots_.data() + index * width_;
    }
    // The slot the next push writes: the oldest one once full.
    double* next() const noexcept { return slots_.data() + head_ * width_; }
    // Keeps the slot that next() gave.
    void advance() noexcept {
        if (held_ < limit_) {
            ++held_;
        }
        head_ = head_ + 1 == limit_ ? 0 : head_ + 1;
    }
    void push(double x) noexcept {
        *next() = x;
        advance();
    }

private:
    bool grow(std::uint64_t slots) noexcept {
        return slots <= SIZE_MAX / width_ &&
               slots_.resize(static_cast<std::size_t>(slots) * width_);
    }

    Period limit_;
    std::size_t width_;
    std::size_t held_ = 0;
    std::size_t head_ = 0;  // while filling, equal to held_
    Buffer<double, Heap> slots_;

    friend class StateWriter;
    friend class StateReader;
};

using Ring = BasicRing<CHeap>;

// The bytes of a saved state: native 64-bit words.
class StateWriter {
public:
    explicit StateWriter(unsigned char* into) noexcept : next_(into) {}
    void word(std::uint64_t value) noexcept;
    void number(double value) noexcept { word(std::bit_cast<std::uint64_t>(value)); }
    void numbers(const double* values, std::size_t count) noexcept;
    void words(const std::uint64_t* values, std::size_t count) noexcept;
    void ring(const Ring& ring) noexcept;
    std::size_t written() const noexcept { return count_; }

private:
    unsigned char* next_;  // null when only counting
    std::size_t count_ = 0;
};

class StateReader {
public:
    StateReader(const unsigned char* bytes, std::size_t size) noexcept
        : next_(bytes), left_(size) {}
    bool word(std::uint64_t& value) noexcept;
    bool number(double& value) noexcept;
    bool numbers(double* values, std::size_t count) noexcept;
    bool words(std::uint64_t* values, std::size_t count) noexcept;
    // The ring of a state that has seen `seen` values. A ring of width 0
    // holds nothing to read: only its count is set.
    bool ring(Ring& ring, std::uint64_t seen) noexcept;
    bool done() const noexcept { return left_ == 0; }

    // Whether the bytes are exactly `fixed` words and then `width` lanes of
    // `per_lane` + `held` words each. Checked before anything is allocated,
    // so that memory taken is bounded by the bytes given.
    static bool exact_size(std::size_t size, std::uint64_t fixed, std::uint64_t width,
                           std::uint64_t per_lane, std::uint64_t held) noexcept;

private:
    const unsigned char* next_;
    std::size_t left_;
};

// Lanes of a universe started again while the others go on. Lane j,
// restarted when the universe had seen starts[j] bars, counts its own bars
// until they reach the universe's warm-up (`warm`: from there on a lane
// steps alike on any count), and its start is then forgotten (0: the lane
// counts the universe's bars). Meanwhile each bar steps it on its own count
// first, keeping what that gives (`per` numbers), runs the common pass over
// every lane, which gets such a lane wrong, and puts the kept values back:
// the common pass stays as it is, and costs one test when no lane restarts.
class Restarts {
public:
    Buffer<std::uint64_t> starts;
    Buffer<double> kept;  // per lane restarting, in lane order
    std::size_t restarting = 0;

    bool allocate(std::size_t width) noexcept { return starts.resize(width); }
    Position count(std::size_t j, Position seen) const noexcept { return seen - starts[j]; }

    // Lanes [lanes, lanes + n), each below the width, start again at
    // `seen`. False, and nothing changed, when memory runs out.
    bool restart(const std::uint64_t* lanes, std::size_t n, Position seen, Position warm,
                 std::size_t per) noexcept {
        const std::size_t most = std::min(starts.size(), restarting + n);
        if (seen != 0 && warm != 0 && kept.size() < most * per && !kept.resize(most * per)) {
            return false;
        }
        for (std::size_t k = 0; k < n; ++k) {
            starts[static_cast<std::size_t>(lanes[k])] = warm != 0 ? seen : 0;
        }
        recount();
        return true;
    }
    // Whether loaded starts are ones that bars and restarts make; makes
    // room for the kept values. (A start past the count would wrap to a
    // count beyond most warm-ups, but not beyond the largest.)
    bool valid(Position seen, Position warm, std::size_t per) noexcept {
        for (std::size_t j = 0; j < starts.size(); ++j) {
            if (starts[j] > seen || (starts[j] != 0 && seen - starts[j] >= warm)) {
                return false;
            }
        }
        recount();
        return kept.resize(restarting * per);
    }

    // step(j, count, kept) for every lane restarting, before the common pass.
    template <class Step>
    void before(Position seen, std::size_t per, const Step& step) noexcept {
        each(per, [&](std::size_t j, double* k) { step(j, count(j, seen), k); });
    }
    // put(j, kept, shift) after it, `seen` now counting the bar; a lane
    // whose count reaches `warm` counts the universe's bars from now on,
    // `shift` being the start it had (else 0).
    template <class Put>
    void after(Position seen, Position warm, std::size_t per, const Put& put) noexcept {
        std::size_t done = 0;
        each(per, [&](std::size_t j, double* k) {
            const bool warmed = count(j, seen) >= warm;
            put(j, static_cast<const double*>(k), warmed ? starts[j] : 0);
            if (warmed) {
                starts[j] = 0;
                ++done;
            }
        });
        restarting -= done;
    }

private:
    // Lanes in order, each with its kept values; it stops at the last lane
    // restarting.
    template <class Visit>
    void each(std::size_t per, const Visit& visit) noexcept {
        const std::size_t count = restarting;
        for (std::size_t j = 0, r = 0; r < count; ++j) {
            if (starts[j] != 0) {
                visit(j, kept.data() + r++ * per);
            }
        }
    }
    void recount() noexcept {
        restarting =
            static_cast<std::size_t>(std::count_if(starts.data(), starts.data() + starts.size(),
                                                   [](std::uint64_t start) { return start != 0; }));
    }
};

// Whether saved values are ones that updates make (see stream.cpp).
bool sma_sum_valid(Period period, Position seen, double sum, const Ring& window,
                   std::size_t lane) noexcept;
bool ema_valid(Period period, Position seen, std::uint64_t run, double sum, double average,
               bool seeded) noexcept;
bool macd_valid(Period slow_period, const MacdStep& lane, Position seen, const Ring& window,
                std::size_t j) noexcept;
bool atr_valid(Period period, Position seen, double sum, double previous_close) noexcept;
// Nothing before the first value; a value is anything after it.
bool last_valid(Position seen, double last) noexcept;

// What every state offers beside its updates and `prepare` (before every
// update), derived from one list of its fields (see stream.cpp). A state
// has, for these alone:
//   shape(): its periods, then a universe's width; saved after the tag of
//     its kind, and what a state is built from;
//   fields(visit, states...): what it saves after its shape and its count
//     of values seen, in order, as
//     visit.word, .number and .flag (a word each), .lanes(k, buffer) (k
//     words a lane) and .ring (its slots, oldest first); among them
//     .unsaved, what assign copies but load makes anew (in allocate or
//     validate). Given several states, their same fields together;
//   validate(): whether loaded fields are ones that updates make.
template <class State>
class Saved {
public:
    // The bytes; with a null `into`, only their count.
    std::size_t save(unsigned char* into) const noexcept;
    // False, and nothing changed, for bytes that no run of updates could
    // have made a state write.
    bool load(const unsigned char* bytes, std::size_t size) noexcept;
    // A copy of `other`. False when memory runs out, and then the state is
    // fit only to be assigned or loaded again, or destroyed.
    bool assign(const State& other) noexcept;
};

class SmaStream : public Saved<SmaStream> {
public:
    explicit SmaStream(Period period) noexcept
        : period_(period), step_(period), window_(period, 1) {}

    Period period() const noexcept { return period_; }
    Position seen() const noexcept { return seen_; }
    bool prepare(std::uint64_t more) noexcept { return window_.prepare(more); }

    double update(double x) noexcept;
    double peek(double x) const noexcept;
    void run(Series data, OutputSeries output) noexcept;
    // What the latest update gave (at its last position).
    double last() const noexcept { return last_; }

private:
    friend class Saved<SmaStream>;

    double step(SmaStep& step, double x) const noexcept;

    std::array<std::uint64_t, 1> shape() const noexcept { return {period_}; }
    template <class Visit, class... Self>
    static void fields(Visit& visit, Self&... s) noexcept {
        visit.number(s.step_.sum...);
        visit.number(s.last_...);
        visit.ring(s.window_...);
    }
    bool validate() const noexcept {
        return sma_sum_valid(period_, seen_, step_.sum, window_, 0) && last_valid(seen_, last_);
    }

    Period period_;
    SmaStep step_;
    Position seen_ = 0;
    double last_ = no_value;
    Ring window_;
};

class EmaStream : public Saved<EmaStream> {
public:
    explicit EmaStream(Period period) noexcept : period_(period), step_(period) {}
    EmaStream(const EmaStream&) noexcept = default;

    Period period() const noexcept { return period_; }
    Position seen() const noexcept { return seen_; }
    bool prepare(std::uint64_t) noexcept { return true; }

    double update(double x) noexcept;
    double peek(double x) const noexcept;
    void run(Series data, OutputSeries output) noexcept;
    double last() const noexcept { return last_; }

private:
    friend class Saved<EmaStream>;
    EmaStream& operator=(const EmaStream&) noexcept = default;

    struct Scalars {
        EmaSeed seed;
        double average = no_value;
        bool seeded = false;
    };
    double step(Scalars& state, double x) const noexcept;

    std::array<std::uint64_t, 1> shape() const noexcept { return {period_}; }
    template <class Visit, class... Self>
    static void fields(Visit& visit, Self&... s) noexcept {
        visit.word(s.state_.seed.run...);
        visit.number(s.state_.seed.sum...);
        visit.number(s.state_.average...);
        visit.flag(s.state_.seeded...);
        visit.number(s.last_...);
    }
    bool validate() const noexcept {
        return ema_valid(period_, seen_, state_.seed.run, state_.seed.sum, state_.average,
                         state_.seeded) &&
               last_valid(seen_, last_);
    }

    Period period_;
    EmaStep step_;
    Scalars state_;
    Position seen_ = 0;
    double last_ = no_value;
};

class MacdStream : public Saved<MacdStream> {
public:
    MacdStream(Period fast, Period slow, Period signal) noexcept
        : periods_(fast, slow, signal), window_(slow, 1) {}

    const MacdPeriods& periods() const noexcept { return periods_; }
    Position seen() const noexcept { return seen_; }
    bool prepare(std::uint64_t more) noexcept { return window_.prepare(more); }

    MacdValues update(double x) noexcept;
    MacdValues peek(double x) const noexcept;
    void run(Series data, OutputSeries macd_output, OutputSeries signal_output,
             OutputSeries hist_output) noexcept;
    const MacdValues& last() const noexcept { return last_; }

private:
    friend class Saved<MacdStream>;

    void run_from(Position start, Series data, OutputSeries macd_output, OutputSeries signal_output,
                  OutputSeries hist_output) noexcept;

    std::array<std::uint64_t, 3> shape() const noexcept {
        return {periods_.fast_period, periods_.slow_period, periods_.signal_period};
    }
    template <class Visit, class... Self>
    static void fields(Visit& visit, Self&... s) noexcept {
        visit.number(s.step_.f...);
        visit.number(s.step_.s...);
        visit.number(s.step_.g...);
        visit.word(s.step_.marks.nan_end...);
        visit.word(s.step_.marks.positive_end...);
        visit.word(s.step_.marks.negative_end...);
        visit.number(s.last_.macd...);
        visit.number(s.last_.signal...);
        visit.number(s.last_.hist...);
        visit.ring(s.window_...);
    }
    bool validate() const noexcept {
        return periods_.in_order() && macd_valid(periods_.slow_period, step_, seen_, window_, 0) &&
               last_valid(seen_, last_.macd) && last_valid(seen_, last_.signal) &&
               last_valid(seen_, last_.hist);
    }

    MacdPeriods periods_;
    MacdStep step_;
    Position seen_ = 0;
    MacdValues last_ = macd_no_values;
    Ring window_;
};

class AtrStream : public Saved<AtrStream> {
public:
    explicit AtrStream(Period period) noexcept : period_(period), step_(period) {}
    AtrStream(const AtrStream&) noexcept = default;

    Period period() const noexcept { return period_; }
    Position seen() const noexcept { return seen_; }
    bool prepare(std::uint64_t) noexcept { return true; }

    double update(double high, double low, double close) noexcept;
    double peek(double high, double low, double close) const noexcept;
    void run(Series high, Series low, Series close, OutputSeries output) noexcept;
    double last() const noexcept { return last_; }

private:
    friend class Saved<AtrStream>;
    AtrStream& operator=(const AtrStream&) noexcept = default;

    struct Scalars {
        double sum_or_average = 0.0;  // of the true ranges: their sum until the seed
        double previous_close = no_value;
    };
    double step(Scalars& state, double high, double low, double close) const noexcept;

    std::array<std::uint64_t, 1> shape() const noexcept { return {period_}; }
    template <class Visit, class... Self>
    static void fields(Visit& visit, Self&... s) noexcept {
        visit.number(s.state_.sum_or_average...);
        visit.number(s.state_.previous_close...);
        visit.number(s.last_...);
    }
    bool validate() const noexcept {
        return atr_valid(period_, seen_, state_.sum_or_average, state_.previous_close) &&
               last_valid(seen_, last_);
    }

    Period period_;
    AtrStep step_;
    Scalars state_;
    Position seen_ = 0;
    double last_ = no_value;
};

// Universes: `width` series side by side, laid out lane by lane (structure
// of arrays), so that the independent chains of one bar run together. Lane
// j of a universe gives what a single-series state fed series j gives.
// `allocate` makes the per-lane storage; false when memory runs out.
// `restart(lanes, n)` puts lanes (each below the width) back to their start:
// from the next bar on each gives what a fresh single-series state fed its
// values gives, the others going on as they were; false, and nothing
// changed, when memory runs out. `last(into)` writes what the latest bar
// gave, output by output (`width` values each); a lane restarted since, NaN.

class SmaUniverse : public Saved<SmaUniverse> {
public:
    SmaUniverse(Period period, std::size_t width) noexcept
        : period_(period), width_(width), scale_(SmaStep(period).scale), window_(period, width) {}
    bool allocate() noexcept;

    Period period() const noexcept { return period_; }
    std::size_t width() const noexcept { return width_; }
    Position seen() const noexcept { return seen_; }
    bool prepare(std::uint64_t more) noexcept { return window_.prepare(more); }

    // One bar: values and output hold `width` elements each.
    void update(Series values, OutputSeries output) noexcept;
    bool restart(const std::uint64_t* lanes, std::size_t n) noexcept;
    void last(double* into) const noexcept;

private:
    friend class Saved<SmaUniverse>;

    void bar(Series values, OutputSeries output) noexcept;

    std::array<std::uint64_t, 2> shape() const noexcept { return {period_, width_}; }
    template <class Visit, class... Self>
    static void fields(Visit& visit, Self&... s) noexcept {
        visit.lanes(1, s.sums_...);
        visit.lanes(1, s.restarts_.starts...);
        visit.unsaved(s.restarts_.kept...);
        visit.unsaved(s.restarts_.restarting...);
        visit.ring(s.window_...);
    }
    bool validate() noexcept;

    Period period_;
    std::size_t width_;
    double scale_;
    Position seen_ = 0;
    Buffer<double> sums_;
    Restarts restarts_;
    Ring window_;
};

class EmaUniverse : public Saved<EmaUniverse> {
public:
    EmaUniverse(Period period, std::size_t width) noexcept
        : period_(period), width_(width), step_(period), unseeded_(width) {}
    bool allocate() noexcept;

    Period period() const noexcept { return period_; }
    std::size_t width() const noexcept { return width_; }
    Position seen() const noexcept { return seen_; }
    bool prepare(std::uint64_t) noexcept { return true; }

    void update(Series values, OutputSeries output) noexcept;
    bool restart(const std::uint64_t* lanes, std::size_t n) noexcept;
    void last(double* into) const noexcept;

private:
    friend class Saved<EmaUniverse>;

    std::array<std::uint64_t, 2> shape() const noexcept { return {period_, width_}; }
    template <class Visit, class... Self>
    static void fields(Visit& visit, Self&... s) noexcept {
        visit.lanes(1, s.averages_...);
        visit.lanes(1, s.sums_...);
        visit.lanes(1, s.runs_...);
        visit.lanes(1, s.missing_...);
        visit.unsaved(s.unseeded_...);
    }
    // Also counts the lanes still seeding.
    bool validate() noexcept;

    Period period_;
    std::size_t width_;
    EmaStep step_;
    Position seen_ = 0;
    std::size_t unseeded_;
    Buffer<double> averages_;  // NaN until seeded, never NaN after
    Buffer<double> sums_;
    Buffer<std::uint64_t> runs_;
    // The bar (counted from 1) whose value was last missing or infinite, 0
    // for none: with the averages, the latest outputs. (Seeding does not
    // depend on the count of bars: a restarted lane is simply a fresh one.)
    Buffer<std::uint64_t> missing_;
};

class MacdUniverse : public Saved<MacdUniverse> {
public:
    MacdUniverse(Period fast, Period slow, Period signal, std::size_t width) noexcept
        : periods_(fast, slow, signal), width_(width), window_(slow, width) {}
    bool allocate() noexcept;

    const MacdPeriods& periods() const noexcept { return periods_; }
    std::size_t width() const noexcept { return width_; }
    Position seen() const noexcept { return seen_; }
    bool prepare(std::uint64_t more) noexcept { return window_.prepare(more); }

    void update(Series values, OutputSeries macd_output, OutputSeries signal_output,
                OutputSeries hist_output) noexcept;
    bool restart(const std::uint64_t* lanes, std::size_t n) noexcept;
    void last(double* into) const noexcept;

private:
    friend class Saved<MacdUniverse>;

    void bar(Series values, OutputSeries macd_output, OutputSeries signal_output,
             OutputSeries hist_output) noexcept;
    // Once the signal line may start, a lane steps alike on any count.
    Position warm() const noexcept {
        return count_on(periods_.slow_period, periods_.signal_period - 1);
    }

    MacdStep lane(std::size_t j) const noexcept;
    void keep(std::size_t j, const MacdStep& step) noexcept;

    std::array<std::uint64_t, 4> shape() const noexcept {
        return {periods_.fast_period, periods_.slow_period, periods_.signal_period, width_};
    }
    template <class Visit, class... Self>
    static void fields(Visit& visit, Self&... s) noexcept {
        visit.lanes(1, s.f_...);
        visit.lanes(1, s.s_...);
        visit.lanes(1, s.g_...);
        visit.unsaved(s.failed_...);
        visit.lanes(3, s.marks_...);
        visit.lanes(1, s.restarts_.starts...);
        visit.unsaved(s.restarts_.kept...);
        visit.unsaved(s.restarts_.restarting...);
        visit.ring(s.window_...);
    }
    bool validate() noexcept;

    MacdPeriods periods_;
    std::size_t width_;
    Position seen_ = 0;
    Restarts restarts_;  // a restarting lane's marks count its own positions
    Buffer<double> f_;
    Buffer<double> s_;
    Buffer<double> g_;
    Buffer<std::uint64_t> failed_;  // the lanes of a bar to do in full
    Buffer<std::uint64_t> marks_;   // nan_end, positive_end, negative_end per lane
    Ring window_;
};

class AtrUniverse : public Saved<AtrUniverse> {
public:
    AtrUniverse(Period period, std::size_t width) noexcept
        : period_(period), width_(width), step_(period) {}
    bool allocate() noexcept;

    Period period() const noexcept { return period_; }
    std::size_t width() const noexcept { return width_; }
    Position seen() const noexcept { return seen_; }
    bool prepare(std::uint64_t) noexcept { return true; }

    void update(Series high, Series low, Series close, OutputSeries output) noexcept;
    bool restart(const std::uint64_t* lanes, std::size_t n) noexcept;
    void last(double* into) const noexcept;

private:
    friend class Saved<AtrUniverse>;

    void bar(Series high, Series low, Series close, OutputSeries output) noexcept;
    // After the seed a lane steps alike on any count; with the largest
    // period, after the first bar.
    Position warm() const noexcept { return period_ == top_position ? 1 : period_ + 1; }

    std::array<std::uint64_t, 2> shape() const noexcept { return {period_, width_}; }
    template <class Visit, class... Self>
    static void fields(Visit& visit, Self&... s) noexcept {
        visit.lanes(1, s.sums_or_averages_...);
        visit.lanes(1, s.previous_...);
        visit.lanes(1, s.restarts_.starts...);
        visit.unsaved(s.restarts_.kept...);
        visit.unsaved(s.restarts_.restarting...);
    }
    bool validate() noexcept;

    Period period_;
    std::size_t width_;
    AtrStep step_;
    Position seen_ = 0;
    Restarts restarts_;
    Buffer<double> sums_or_averages_;  // as AtrStream's, lane by lane
    Buffer<double> previous_;
};

}  // namespace quorvane
