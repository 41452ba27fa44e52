// Indicators made from one step: a descriptor that gives its per-bar step
// gets its batch kernel, its streaming state and its universe from here,
// all three running that one step, so they agree bit for bit.
//
// What such a descriptor D gives, beside the names and checks of
// descriptor.hpp:
//
//   Constants, constants(periods)   what the step needs of the periods
//   history(constants)              how many earlier bars a step reads
//   warm(constants)                 from how many bars seen on the step's
//                                   choices no longer depend on `seen`
//                                   (a universe's restarted lane then steps
//                                   with the others)
//   Lane<V>                         the running values of one series, each
//                                   of type V (double, or lanes::Baseline)
//   fields(lane, visit)             visits every member of a Lane, in the
//                                   order they are saved
//   start(constants)                a Lane<double> before the first bar
//   step(constants, lane, seen, x, past, out)
//                                   one bar: `seen` bars came before, x[i]
//                                   is input i, past(k, i) is input i of
//                                   the bar k + 1 bars back (k < seen and
//                                   k < history); writes out[0 .. outputs)
//                                   and updates the lane. Templated on V:
//                                   the lanes of a universe run it side by
//                                   side, so every choice it makes on values
//                                   is a select (c ? a : b), not a branch.
//                                   A sum or difference of two values that
//                                   may both be NaN is stepped::add or
//                                   stepped::subtract, so that the NaN that
//                                   comes out is the same on every path.
//                                   The no-value NaN is stepped::none<V>().
//   valid(constants, lane, seen)    whether saved running values are ones
//                                   that steps make
//   single_tag, universe_tag        the tags that open their saved bytes
//
// A step that needs more than a few running values (the extremes of a
// window, a ring of values it derived) also gives
//
//   work(constants, bars)           how many doubles of working storage a
//                                   lane needs to step `bars` bars and peek
//                                   one more: 0 until it needs any, never
//                                   less for more bars, and what a smaller
//                                   size held stays in front as it grows
//   step(..., out, work)            its step, with the lane's storage
//   check(constants, lane, seen, past, work)
//                                   whether loaded storage is what steps
//                                   over the kept bars make
//
// and takes no choice on `seen`: its lane counts what it needs. Its
// universe steps lane by lane, and a peek steps on the state's storage, so
// a step writes only slots the next update writes alike. The storage is
// allocated with the window, before anything is written (a batch call's by
// run_kernel), and saved after the lane.
#pragma once

#include <algorithm>
#include <array>
#include <concepts>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <tuple>
#include <type_traits>
#include <utility>

#include "quorvane/failure.hpp"
#include "quorvane/internal/lanes.hpp"
#include "quorvane/internal/steps.hpp"
#include "quorvane/series.hpp"
#include "quorvane/stream.hpp"

namespace quorvane::stepped {

// The no-value NaN in every lane of V. Of a vector constant of NaNs, GCC
// makes two scalar stores that it reloads as a vector at every use, the
// reload waiting on the stores; a NaN in a register (the empty asm hides
// its value) is broadcast by register moves instead.
template <class V>
[[gnu::always_inline]] inline V none() noexcept {
    if constexpr (std::is_same_v<V, double>) {
        return no_value;
    } else {
        double value = no_value;
#if defined(__x86_64__)
        asm("" : "+x"(value));
#elif defined(__aarch64__)
        asm("" : "+w"(value));
#endif
        V all;
        for (std::size_t j = 0; j < lanes::count_of<V>; ++j) {
            all[j] = value;
        }
        return all;
    }
}

// Sums and differences for steps whose operands may both be NaN.
// The NaN that comes out of two shows the order of the operands, and a
// compiler may swap a plain sum's operands, or rewrite a difference as the
// sum of a negation, in one inlined copy and not in another. These give,
// on every path, what the instruction gives: a's NaN (quieted) if a is one,
// else b's. Scalars use the instruction itself; lanes too on x86.
template <class V>
[[gnu::always_inline]] inline V nan_first(V a, V b, V result) noexcept {
    return a != a ? a + 0.0 : (b != b ? b + 0.0 : result);
}

#if defined(__x86_64__)
// a + b (Sum) or a - b, two lanes at a time by addpd or subpd, which give
// each lane what addsd or subsd gives.
template <bool Sum, class V>
[[gnu::always_inline]] inline V by_pairs(V a, V b) noexcept {
    using Pair = double __attribute__((vector_size(16)));
    const auto at = [](V a_or_b, std::size_t j) {
        Pair x{a_or_b[j], a_or_b[j + 1]};
        return x;
    };
    const auto apply = [&](std::size_t j) {
        Pair x = at(a, j);
        if constexpr (Sum) {
            asm("addpd %1, %0" : "+x"(x) : "x"(at(b, j)));
        } else {
            asm("subpd %1, %0" : "+x"(x) : "x"(at(b, j)));
        }
        return x;
    };
    if constexpr (sizeof(V) == sizeof(Pair)) {
        return apply(0);
    } else {
        static_assert(sizeof(V) == 2 * sizeof(Pair));
        return __builtin_shufflevector(apply(0), apply(2), 0, 1, 2, 3);
    }
}
#endif

[[gnu::always_inline]] inline double add(double a, double b) noexcept {
    return add_nan_first(a, b);
}
// On x86 by addpd; elsewhere by selects.
template <lanes::Vector V>
[[gnu::always_inline]] inline V add(V a, V b) noexcept {
#if defined(__x86_64__)
    return by_pairs<true>(a, b);
#else
    return add_nan_first_lanes(a, b);
#endif
}

[[gnu::always_inline]] inline double subtract(double a, double b) noexcept {
#if defined(__x86_64__)
    asm("subsd %1, %0" : "+x"(a) : "x"(b));
    return a;
#elif defined(__aarch64__)
    asm("fsub %d0, %d0, %d1" : "+w"(a) : "w"(b));
    return a;
#else
    return nan_first(a, b, a - b);
#endif
}
// The same as subtract, by the vector instruction where it gives each lane
// the scalar one's NaN (x86's subpd, as subsd: the first operand's,
// quieted, else the second's), so without selects; elsewhere by selects.
template <class V = lanes::Lanes>
[[gnu::always_inline]] inline V subtract_by_lanes(V a, V b) noexcept {
#if defined(__x86_64__)
    return by_pairs<false>(a, b);
#else
    return nan_first(a, b, a - b);
#endif
}
template <lanes::Vector V>
[[gnu::always_inline]] inline V subtract(V a, V b) noexcept {
    return subtract_by_lanes(a, b);
}

// Whether a step's choice holds for any lane: a step may skip work that no
// lane takes, choosing lane by lane (c ? a : b) among what it computed.
[[gnu::always_inline]] inline bool any(bool c) noexcept {
    return c;
}
template <class Mask>
[[gnu::always_inline]] inline bool any(Mask m) noexcept {
    bool found = false;
    for (std::size_t j = 0; j < sizeof m / sizeof m[0]; ++j) {
        found = found || m[j] != 0;
    }
    return found;
}

// The correctly rounded square root, lane by lane.
[[gnu::always_inline]] inline double root(double v) noexcept {
    return __builtin_sqrt(v);
}
template <lanes::Vector V>
[[gnu::always_inline]] inline V root(V v) noexcept {
    for (std::size_t j = 0; j < lanes::count_of<V>; ++j) {
        v[j] = __builtin_sqrt(v[j]);
    }
    return v;
}

template <class D>
using Periods = std::array<Period, D::periods.size()>;
template <class D>
using Lane = typename D::template Lane<double>;

template <class D>
concept Working = requires(const typename D::Constants& c) {
    { D::work(c, std::uint64_t{}) } -> std::same_as<std::size_t>;
};

// Doubles of storage a lane of D needs for `bars` bars.
template <class D>
std::size_t work_of(const typename D::Constants& c, std::uint64_t bars) noexcept {
    if constexpr (Working<D>) {
        return D::work(c, bars);
    } else {
        return 0;
    }
}

// D's step, with the lane's storage if it has any.
template <class D, class L, class V, class Past>
[[gnu::always_inline]] inline void step_of(const typename D::Constants& c, L& lane, Position seen,
                                           const V* x, const Past& past, V* out,
                                           double* work) noexcept {
    if constexpr (Working<D>) {
        D::step(c, lane, seen, x, past, out, work);
    } else {
        D::step(c, lane, seen, x, past, out);
    }
}

// How many values a Lane holds: its members are all of one type.
template <class D>
inline constexpr std::size_t field_count = sizeof(Lane<D>) / sizeof(double);

// Calls `run(periods, inputs, outputs)` with the arguments of a kernel call,
// `(periods..., inputs..., outputs...)`, gathered into arrays.
template <class D, class Run, class... Args>
void gathered(Run&& run, Args... args) noexcept {
    constexpr std::size_t p = D::periods.size();
    constexpr std::size_t i = D::inputs.size();
    constexpr std::size_t o = D::outputs.size();
    static_assert(sizeof...(Args) == p + i + o, "periods, inputs and outputs");
    const std::tuple<Args...> all{args...};
    [&]<std::size_t... P, std::size_t... I, std::size_t... O>(
        std::index_sequence<P...>, std::index_sequence<I...>, std::index_sequence<O...>) {
        run(Periods<D>{std::get<P>(all)...}, std::array<Series, i>{std::get<p + I>(all)...},
            std::array<OutputSeries, o>{std::get<p + i + O>(all)...});
    }
    (std::make_index_sequence<p>(), std::make_index_sequence<i>(), std::make_index_sequence<o>());
}

// The first input's length, every other input and every output at least
// as long.
template <std::size_t I, std::size_t O>
std::size_t checked_length(const std::array<Series, I>& in,
                           const std::array<OutputSeries, O>& out) noexcept {
    const std::size_t n = in[0].size();
    for (const Series& series : in) {
        if (series.size() < n) {
            fail_index_out_of_bounds(series.size(), series.size());
        }
    }
    for (const OutputSeries& series : out) {
        if (series.size() < n) {
            fail_index_out_of_bounds(series.size(), series.size());
        }
    }
    return n;
}

// The batch kernel: `kernel(periods..., inputs..., outputs...)`. Every input
// at least as long as the first; outputs too. Positions of an output past
// the first input's length hold the no-value NaN.
template <class D>
struct Kernel {
    template <class... Args>
    requires(!Working<D>) void operator()(Args... args) const noexcept {
        gathered<D>([](const auto& periods, const auto& in,
                       const auto& out) { run(periods, in, out, nullptr); },
                    args...);
    }
    // With `work` holding what work_size asks.
    template <class... Args>
    void operator()(double* work, Args... args) const noexcept {
        gathered<D>([&](const auto& periods, const auto& in,
                        const auto& out) { run(periods, in, out, work); },
                    args...);
    }
    static std::size_t work_size(const Periods<D>& periods, std::uint64_t bars) noexcept {
        return work_of<D>(D::constants(periods), bars);
    }

    template <std::size_t I, std::size_t O>
    static void run(const Periods<D>& periods, const std::array<Series, I>& in,
                    const std::array<OutputSeries, O>& out, double* work) noexcept {
        const std::size_t n = checked_length(in, out);
        const auto constants = D::constants(periods);
        Lane<D> lane = D::start(constants);
        std::array<double, I> x{};
        std::array<double, O> y{};
        for (std::size_t t = 0; t < n; ++t) {
            for (std::size_t k = 0; k < I; ++k) {
                x[k] = in[k][t];
            }
            const auto past = [&](std::uint64_t back, std::size_t k) {
                return in[k][t - 1 - static_cast<std::size_t>(back)];
            };
            step_of<D>(constants, lane, Position{t}, x.data(), past, y.data(), work);
            for (std::size_t k = 0; k < O; ++k) {
                out[k].set(t, y[k]);
            }
        }
        for (const OutputSeries& series : out) {
            series.fill_no_value(n, series.size());
        }
    }
};

// D's batch kernel over (periods..., inputs..., outputs...), the storage a
// stepped one needs allocated first: false, with nothing written, when that
// fails.
template <class D, class... Args>
bool run_kernel(Args... args) noexcept {
    if constexpr (Working<D>) {
        bool ran = false;
        gathered<D>(
            [&](const auto& periods, const auto& in, const auto& out) {
                // D's own kernel where it has one (derived from Kernel<D>).
                using K = std::remove_cvref_t<decltype(D::kernel)>;
                Buffer<double> work;
                const std::size_t size = K::work_size(periods, in[0].size());
                if (size == 0 || work.resize(size)) {
                    K::run(periods, in, out, work.data());
                    ran = true;
                }
            },
            args...);
        return ran;
    } else {
        D::kernel(args...);
        return true;
    }
}

// The state of one series.
template <class D>
class Stream {
public:
    static constexpr std::size_t inputs = D::inputs.size();
    static constexpr std::size_t outputs = D::outputs.size();
    using Value = std::conditional_t<outputs == 1, double, std::array<double, outputs>>;

    explicit Stream(const Periods<D>& periods) noexcept
        : periods_(periods),
          constants_(D::constants(periods)),
          lane_(D::start(constants_)),
          window_(D::history(constants_), inputs) {}
    template <std::convertible_to<Period>... P>
    requires(sizeof...(P) == std::tuple_size_v<Periods<D>>) explicit Stream(P... periods) noexcept
        : Stream(Periods<D>{static_cast<Period>(periods)...}) {}

    bool assign(const Stream& other) noexcept {
        if (!window_.assign(other.window_) || !work_.assign(other.work_)) {
            return false;
        }
        periods_ = other.periods_;
        constants_ = other.constants_;
        lane_ = other.lane_;
        seen_ = other.seen_;
        last_ = other.last_;
        return true;
    }

    const Periods<D>& periods() const noexcept { return periods_; }
    Position seen() const noexcept { return seen_; }
    // What the latest update gave (at its last position).
    Value last() const noexcept { return value(last_); }
    bool prepare(std::uint64_t more) noexcept {
        const std::size_t size = work_of<D>(constants_, count_on(seen_, more));
        return window_.prepare(more) && (size <= work_.size() || work_.resize(size));
    }

    template <std::convertible_to<double>... X>
    requires(sizeof...(X) == inputs) Value update(X... x)
    noexcept {
        const std::array<double, inputs> bar{static_cast<double>(x)...};
        step(lane_, bar, last_);
        keep(bar);
        return value(last_);
    }
    template <std::convertible_to<double>... X>
    requires(sizeof...(X) == inputs) Value peek(X... x)
    const noexcept {
        const std::array<double, inputs> bar{static_cast<double>(x)...};
        std::array<double, outputs> y{};
        Lane<D> lane = lane_;
        step(lane, bar, y);
        return value(y);
    }
    // update() for every bar of the inputs, written into the outputs, which
    // are as long as the inputs.
    template <class... Args>
    void run(Args... args) noexcept {
        const std::tuple<Args...> all{args...};
        [&]<std::size_t... I, std::size_t... O>(std::index_sequence<I...>,
                                                std::index_sequence<O...>) {
            const std::array<Series, inputs> in{std::get<I>(all)...};
            const std::array<OutputSeries, outputs> out{std::get<inputs + O>(all)...};
            std::array<double, inputs> bar{};
            for (std::size_t t = 0; t < in[0].size(); ++t) {
                for (std::size_t k = 0; k < inputs; ++k) {
                    bar[k] = in[k][t];
                }
                step(lane_, bar, last_);
                keep(bar);
                for (std::size_t k = 0; k < outputs; ++k) {
                    out[k].set(t, last_[k]);
                }
            }
        }
        (std::make_index_sequence<inputs>(), std::make_index_sequence<outputs>());
    }

    // Tag, periods, seen, the lane's values, the latest outputs, then the
    // earlier bars kept, oldest first.
    std::size_t save(unsigned char* into) const noexcept {
        StateWriter out(into);
        out.word(D::single_tag);
        out.words(periods_.data(), periods_.size());
        out.word(seen_);
        Lane<D> lane = lane_;
        D::fields(lane, [&](double& v) { out.number(v); });
        out.numbers(work_.data(), work_of<D>(constants_, seen_));
        out.numbers(last_.data(), outputs);
        out.ring(window_);
        return out.written();
    }
    bool load(const unsigned char* bytes, std::size_t size) noexcept {
        StateReader in(bytes, size);
        std::uint64_t tag = 0;
        Periods<D> periods{};
        Position seen = 0;
        if (!in.word(tag) || tag != D::single_tag || !in.words(periods.data(), periods.size()) ||
            D::period_error(periods) != nullptr || !in.word(seen)) {
            return false;
        }
        Stream loaded(periods);
        const std::uint64_t held = std::min<std::uint64_t>(seen, D::history(loaded.constants_));
        const std::size_t work = work_of<D>(loaded.constants_, seen);
        if (work > SIZE_MAX - 2 - periods.size() - field_count<D> - outputs ||
            !StateReader::exact_size(size, 2 + periods.size() + field_count<D> + work + outputs,
                                     inputs, 0, held) ||
            !loaded.work_.resize(work)) {
            return false;
        }
        bool read = true;
        D::fields(loaded.lane_, [&](double& v) { read = read && in.number(v); });
        loaded.seen_ = seen;
        if (!read || !in.numbers(loaded.work_.data(), work) ||
            !in.numbers(loaded.last_.data(), outputs) || !in.ring(loaded.window_, seen) ||
            !in.done() || !D::valid(loaded.constants_, loaded.lane_, seen) ||
            !std::ranges::all_of(loaded.last_, [&](double v) { return last_valid(seen, v); })) {
            return false;
        }
        if constexpr (Working<D>) {
            const auto past = [&](std::uint64_t back, std::size_t k) {
                return loaded.window_.back(static_cast<std::size_t>(back))[k];
            };
            if (!D::check(loaded.constants_, loaded.lane_, seen, past, loaded.work_.data())) {
                return false;
            }
        }
        *this = std::move(loaded);
        return true;
    }

private:
    void step(Lane<D>& lane, const std::array<double, inputs>& bar,
              std::array<double, outputs>& y) const noexcept {
        const auto past = [&](std::uint64_t back, std::size_t k) {
            return window_.back(static_cast<std::size_t>(back))[k];
        };
        step_of<D>(constants_, lane, seen_, bar.data(), past, y.data(),
                   work_.size() == 0 ? nullptr : work_.data());
    }
    void keep(const std::array<double, inputs>& bar) noexcept {
        if (D::history(constants_) != 0) {
            std::copy(bar.begin(), bar.end(), window_.next());
            window_.advance();
        }
        seen_ = count_on(seen_, 1);
    }
    static Value value(const std::array<double, outputs>& y) noexcept {
        if constexpr (outputs == 1) {
            return y[0];
        } else {
            return y;
        }
    }

    Periods<D> periods_;
    typename D::Constants constants_;
    Lane<D> lane_;
    Position seen_ = 0;
    std::array<double, outputs> last_ = filled(no_value);
    Ring window_;
    // A peek steps on it too: steps write only what the next update writes
    // alike.
    Buffer<double> work_;

    static std::array<double, outputs> filled(double v) noexcept {
        std::array<double, outputs> all{};
        all.fill(v);
        return all;
    }
};

// `width` series side by side, one bar per update: each running value is a
// row of `width` (structure of arrays), and the lanes of a vector run the
// step together. Lane j gives what a Stream fed series j gives.
template <class D>
class Universe {
public:
    static constexpr std::size_t inputs = D::inputs.size();
    static constexpr std::size_t outputs = D::outputs.size();
    static constexpr std::size_t fields = field_count<D>;

    Universe(std::in_place_t, const Periods<D>& periods, std::size_t width) noexcept
        : periods_(periods),
          constants_(D::constants(periods)),
          width_(width),
          window_(D::history(constants_), inputs * width) {}
    // (periods..., width)
    template <std::convertible_to<Period>... A>
    requires(sizeof...(A) == std::tuple_size_v<Periods<D>> + 1) Universe(A... arguments)
    noexcept : Universe(std::in_place, first_periods(arguments...), last_of(arguments...)) {}

    // Storage for the running values, each lane at its start.
    bool allocate() noexcept {
        if (width_ > SIZE_MAX / (fields + outputs) || !values_.resize(width_ * fields) ||
            !last_.resize(width_ * outputs) || !restarts_.allocate(width_)) {
            return false;
        }
        std::fill_n(last_.data(), last_.size(), no_value);
        for (std::size_t j = 0; j < width_; ++j) {
            begin(j);
        }
        return true;
    }
    bool assign(const Universe& other) noexcept {
        if (!values_.assign(other.values_) || !window_.assign(other.window_) ||
            !work_.assign(other.work_) || !last_.assign(other.last_) ||
            !restarts_.starts.assign(other.restarts_.starts) ||
            !restarts_.kept.assign(other.restarts_.kept)) {
            return false;
        }
        periods_ = other.periods_;
        constants_ = other.constants_;
        width_ = other.width_;
        seen_ = other.seen_;
        restarts_.restarting = other.restarts_.restarting;
        return true;
    }
    // See the universes of stream.hpp.
    bool restart(const std::uint64_t* lanes, std::size_t n) noexcept {
        if (!restarts_.restart(lanes, n, seen_, warm(), fields + outputs)) {
            return false;
        }
        for (std::size_t k = 0; k < n; ++k) {
            begin(static_cast<std::size_t>(lanes[k]));
            for (std::size_t o = 0; o < outputs; ++o) {
                last_[o * width_ + static_cast<std::size_t>(lanes[k])] = no_value;
            }
        }
        return true;
    }
    void last(double* into) const noexcept { std::copy_n(last_.data(), last_.size(), into); }

    const Periods<D>& periods() const noexcept { return periods_; }
    std::size_t width() const noexcept { return width_; }
    Position seen() const noexcept { return seen_; }
    // Storage that grows moves each lane's to its new place.
    bool prepare(std::uint64_t more) noexcept {
        const std::size_t per = work_of<D>(constants_, count_on(seen_, more));
        const std::size_t had = width_ == 0 ? 0 : work_.size() / width_;
        if (!window_.prepare(more)) {
            return false;
        }
        if (per <= had || width_ == 0) {
            return true;
        }
        Buffer<double> grown;
        if (width_ > SIZE_MAX / per || !grown.resize(per * width_)) {
            return false;
        }
        for (std::size_t j = 0; j < width_ && had != 0; ++j) {
            std::copy_n(work_.data() + j * had, had, grown.data() + j * per);
        }
        work_ = std::move(grown);
        return true;
    }

    // One bar: every input and output holds `width` elements.
    template <class... Args>
    void update(Args... args) noexcept {
        const std::tuple<Args...> all{args...};
        [&]<std::size_t... I, std::size_t... O>(std::index_sequence<I...>,
                                                std::index_sequence<O...>) {
            bar({std::get<I>(all)...}, {std::get<inputs + O>(all)...});
        }
        (std::make_index_sequence<inputs>(), std::make_index_sequence<outputs>());
    }

    // Tag, periods, width, seen, each running value's row, each output's
    // latest row, the lanes' starts, then the earlier bars kept, oldest
    // first.
    std::size_t save(unsigned char* into) const noexcept {
        StateWriter out(into);
        out.word(D::universe_tag);
        out.words(periods_.data(), periods_.size());
        out.word(width_);
        out.word(seen_);
        out.numbers(values_.data(), values_.size());
        for (std::size_t j = 0; j < width_; ++j) {
            out.numbers(lane_work(j), work_of<D>(constants_, seen_));
        }
        out.numbers(last_.data(), last_.size());
        out.words(restarts_.starts.data(), restarts_.starts.size());
        out.ring(window_);
        return out.written();
    }
    bool load(const unsigned char* bytes, std::size_t size) noexcept {
        StateReader in(bytes, size);
        std::uint64_t tag = 0;
        Periods<D> periods{};
        std::uint64_t width = 0;
        Position seen = 0;
        if (!in.word(tag) || tag != D::universe_tag || !in.words(periods.data(), periods.size()) ||
            D::period_error(periods) != nullptr || !in.word(width) || !in.word(seen)) {
            return false;
        }
        const auto constants = D::constants(periods);
        const std::uint64_t held = std::min<std::uint64_t>(seen, D::history(constants));
        const std::size_t per = work_of<D>(constants, seen);
        if (held > UINT64_MAX / inputs || per > SIZE_MAX - fields - outputs - 1 ||
            !StateReader::exact_size(size, 3 + periods.size(), width, fields + outputs + 1 + per,
                                     held * inputs)) {
            return false;
        }
        Universe loaded(std::in_place, periods, static_cast<std::size_t>(width));
        loaded.seen_ = seen;
        Restarts& restarts = loaded.restarts_;
        if (!loaded.allocate() || !loaded.work_.resize(per * loaded.width_) ||
            !in.numbers(loaded.values_.data(), loaded.values_.size()) ||
            !in.numbers(loaded.work_.data(), loaded.work_.size()) ||
            !in.numbers(loaded.last_.data(), loaded.last_.size()) ||
            !in.words(restarts.starts.data(), restarts.starts.size()) ||
            !in.ring(loaded.window_, seen) || !in.done() ||
            !restarts.valid(seen, loaded.warm(), fields + outputs) ||
            !std::ranges::all_of(loaded.last_.data(), loaded.last_.data() + loaded.last_.size(),
                                 [&](double v) { return last_valid(seen, v); })) {
            return false;
        }
        for (std::size_t j = 0; j < loaded.width_; ++j) {
            Lane<D> lane{};
            std::size_t k = 0;
            D::fields(lane, [&](double& v) { v = loaded.values_[k++ * loaded.width_ + j]; });
            if (!D::valid(constants, lane, restarts.count(j, seen))) {
                return false;
            }
            if constexpr (Working<D>) {
                const auto past = [&](std::uint64_t back, std::size_t i) {
                    return loaded.window_.back(
                        static_cast<std::size_t>(back))[i * loaded.width_ + j];
                };
                if (!D::check(constants, lane, restarts.count(j, seen), past,
                              loaded.work_.data() + j * per)) {
                    return false;
                }
            }
        }
        *this = std::move(loaded);
        return true;
    }

private:
    template <class... A>
    static Periods<D> first_periods(A... arguments) noexcept {
        const std::array<Period, sizeof...(A)> all{static_cast<Period>(arguments)...};
        Periods<D> periods{};
        std::copy_n(all.begin(), periods.size(), periods.begin());
        return periods;
    }
    template <class... A>
    static std::size_t last_of(A... arguments) noexcept {
        return static_cast<std::size_t>(std::get<sizeof...(A) - 1>(std::tuple{arguments...}));
    }

    // V (a double or a vector) at element j of a row, a Series or an
    // OutputSeries, which need not be aligned: moved with memcpy. Called by
    // name, not through a pointer, which GCC would not inline.
    template <class V>
    [[gnu::always_inline]] static V read(const void* bytes, std::size_t j) noexcept {
        V v;
        std::memcpy(&v, static_cast<const unsigned char*>(bytes) + j * sizeof(double), sizeof v);
        return v;
    }
    template <class V>
    [[gnu::always_inline]] static void write(void* bytes, std::size_t j, V v) noexcept {
        std::memcpy(static_cast<unsigned char*>(bytes) + j * sizeof(double), &v, sizeof v);
    }

    // Lane j's storage: each lane has the same share.
    double* lane_work(std::size_t j) const noexcept {
        return width_ == 0 || work_.size() == 0 ? nullptr
                                                : work_.data() + j * (work_.size() / width_);
    }

    Position warm() const noexcept {
        return std::max<Position>(D::history(constants_), D::warm(constants_));
    }
    // Lane j at its start.
    void begin(std::size_t j) noexcept {
        Lane<D> start = D::start(constants_);
        std::size_t k = 0;
        D::fields(start, [&](double& v) { values_[k++ * width_ + j] = v; });
    }

    // A restarting lane steps on its own count before the common pass, and
    // what it gave is put back after it (see Restarts).
    void bar(const std::array<Series, inputs>& in,
             const std::array<OutputSeries, outputs>& out) noexcept {
        if (restarts_.restarting == 0) {
            common(in, out);
            return;
        }
        const std::size_t w = width_;
        restarts_.before(seen_, fields + outputs, [&](std::size_t j, Position count, double* kept) {
            Lane<D> lane{};
            std::size_t k = 0;
            D::fields(lane, [&](double& v) { v = values_[k++ * w + j]; });
            std::array<double, inputs> x{};
            for (std::size_t i = 0; i < inputs; ++i) {
                x[i] = in[i][j];
            }
            const auto past = [&](std::uint64_t back, std::size_t i) {
                return window_.back(static_cast<std::size_t>(back))[i * w + j];
            };
            step_of<D>(constants_, lane, count, x.data(), past, kept + fields, lane_work(j));
            k = 0;
            D::fields(lane, [&](double& v) { kept[k++] = v; });
        });
        common(in, out);
        restarts_.after(seen_, warm(), fields + outputs,
                        [&](std::size_t j, const double* kept, Position) {
                            for (std::size_t k = 0; k < fields; ++k) {
                                values_[k * w + j] = kept[k];
                            }
                            for (std::size_t o = 0; o < outputs; ++o) {
                                last_[o * w + j] = kept[fields + o];
                                out[o].set(j, kept[fields + o]);
                            }
                        });
    }

    void common(const std::array<Series, inputs>& in,
                const std::array<OutputSeries, outputs>& out) noexcept {
        // Each bar kept is `inputs` rows of `width`; the new one goes into
        // the oldest slot once the step has read it.
        const std::size_t w = width_;
        std::size_t j = 0;
        if constexpr (!Working<D>) {
            using V = lanes::Baseline;
            for (; j + lanes::count_of<V> <= w; j += lanes::count_of<V>) {
                lane_step<V>(j, in, out);
            }
        }
        for (; j < w; ++j) {
            lane_step<double>(j, in, out);
        }
        if (D::history(constants_) != 0) {
            double* const slot = window_.next();
            // A universe of no lanes has neither storage nor data to copy.
            for (std::size_t k = 0; k < inputs && w != 0; ++k) {
                std::memcpy(slot + k * w, in[k].data(), w * sizeof(double));
            }
            window_.advance();
        }
        seen_ = count_on(seen_, 1);
    }

    // The step of the lanes from j on, as many as V holds.
    template <class V>
    [[gnu::always_inline]] void lane_step(std::size_t j, const std::array<Series, inputs>& in,
                                          const std::array<OutputSeries, outputs>& out) noexcept {
        const std::size_t w = width_;
        typename D::template Lane<V> lane{};
        std::size_t k = 0;
        D::fields(lane, [&](V& v) { v = read<V>(values_.data() + k++ * w, j); });
        std::array<V, inputs> x{};
        for (std::size_t i = 0; i < inputs; ++i) {
            x[i] = read<V>(in[i].data(), j);
        }
        const auto past = [&](std::uint64_t back, std::size_t i) {
            return read<V>(window_.back(static_cast<std::size_t>(back)) + i * w, j);
        };
        std::array<V, outputs> y{};
        step_of<D>(constants_, lane, seen_, x.data(), past, y.data(), lane_work(j));
        k = 0;
        D::fields(lane, [&](V& v) { write<V>(values_.data() + k++ * w, j, v); });
        for (std::size_t o = 0; o < outputs; ++o) {
            write<V>(out[o].data(), j, y[o]);
            write<V>(last_.data() + o * w, j, y[o]);
        }
    }

    Periods<D> periods_;
    typename D::Constants constants_;
    std::size_t width_;
    Position seen_ = 0;
    Buffer<double> values_;  // field k of lane j at k * width + j
    Buffer<double> last_;    // output o of lane j at o * width + j
    Restarts restarts_;
    Ring window_;
    Buffer<double> work_;  // each lane's storage, lane after lane
};

}  // namespace quorvane::stepped
