// The vocabulary of an indicator's descriptor: the one place that says what
// an indicator is called, what it takes and gives, how its arguments are
// checked and with what words, and which kernel and states compute it. The
// bindings, the streaming classes and the tests are all derived from the
// descriptors and from the one list of them (list.hpp).
//
// A descriptor is a struct with these members:
//
//   name            "sma": the stem of every derived name
//   batch_name      the batch function's name
//   class_name      the streaming class's name
//   title           one sentence that says what the indicator is
//   summary         one sentence for the streaming class's docstring
//   periods         parameter names, in call order (at most max_periods)
//   reals           optional: the least value of each parameter that is a
//                   binary64 number, not a period; these are the last of
//                   `periods`, and travel with the periods as the words of
//                   their bits (see `number` and `word` below)
//   defaults        the periods a caller gets by not giving them
//   inputs          input array names, in call order
//   outputs         output array names, in call order
//   values          update()'s value names on a single series
//   period_error    the refusal of a combination of periods, or nullptr
//   array_checks    the batch function's array checks, in the order run
//   kernel          the batch kernel: (periods..., inputs..., outputs...)
//   panel_kernel    optional: the kernel over a block of a panel's columns,
//                   (periods..., inputs..., outputs..., first, count); a
//                   panel runs through Universe without one (panel.hpp)
//   Single          the streaming state of one series
//   Universe        the streaming state of many series, lane by lane
//   periods_of      a state's periods, as the constructor takes them
//   batch_unlocked  whether the batch kernel runs without the interpreter lock
//   stream_unlocked whether long stream work (update_many, a universe's
//                   bar) runs without it
//
// An indicator made from one per-bar step (stepped.hpp) gives that step
// instead of a kernel and states of its own: its kernel, Single and Universe
// are stepped::Kernel<D>, stepped::Stream<D> and stepped::Universe<D>, which
// keep their periods as the constructor takes them (no periods_of). One
// with working storage beside its lanes is called through
// stepped::run_kernel, which allocates that storage first.
//
// Descriptors are data over core types: nothing here knows of Python.
#pragma once

#include <array>
#include <bit>
#include <cstddef>
#include <limits>
#include <string_view>

#include "quorvane/series.hpp"

namespace quorvane::descriptor {

inline constexpr std::size_t max_periods = 3;

// A number parameter in a period's word: its bits, both ways.
constexpr double number(Period word) noexcept {
    return std::bit_cast<double>(word);
}
constexpr Period word(double number) noexcept {
    return std::bit_cast<Period>(number);
}

// How many of D's parameters are numbers (the last ones).
template <class D>
constexpr std::size_t real_count() noexcept {
    if constexpr (requires { D::reals.size(); }) {
        return D::reals.size();
    } else {
        return 0;
    }
}
// Whether parameter k of D is a number.
template <class D>
constexpr bool is_real(std::size_t k) noexcept {
    return k + real_count<D>() >= D::periods.size();
}
// The least value number parameter k of D takes (k itself a number).
template <class D>
constexpr double least(std::size_t k) noexcept {
    if constexpr (real_count<D>() == 0) {
        return 0.0;
    } else {
        return D::reals[k + real_count<D>() - D::periods.size()];
    }
}
// A number parameter's valid values: finite, and at least `least`.
constexpr bool within(double value, double least) noexcept {
    return value >= least && value <= std::numeric_limits<double>::max();
}
// Whether every number parameter of D in `p` is valid.
template <class D, std::size_t N>
constexpr bool reals_within(const std::array<Period, N>& p) noexcept {
    for (std::size_t k = 0; k < N; ++k) {
        if (is_real<D>(k) && !within(number(p[k]), least<D>(k))) {
            return false;
        }
    }
    return true;
}

enum class Check : unsigned char {
    contiguous,  // one array is C-contiguous (and of the element type)
    same_count,  // every array has the first input's element count
    // len() of every output, all asked before any is compared; each must,
    // and each output's element count too, equal the first input's count
    reported_lengths,
    writeable,  // one array may be written
};

// One array check and its refusal. `array` counts inputs, then outputs.
struct ArrayCheck {
    Check check;
    std::size_t array;
    const char* message;
};

// The checks of one input and one output, in their order.
inline constexpr std::array<ArrayCheck, 4> one_series_checks{{
    {Check::contiguous, 0, "Input array must be C-contiguous and float64"},
    {Check::contiguous, 1, "Output array must be C-contiguous and float64"},
    {Check::same_count, 0, "Output array length must match input"},
    {Check::writeable, 1, "Output array must be writeable"},
}};

// What the indicators of one period share.
struct OnePeriod {
    static constexpr std::array<std::string_view, 1> periods{"period"};

    // Every period is valid; 0 gives no values.
    static constexpr const char* period_error(const std::array<Period, 1>&) noexcept {
        return nullptr;
    }
    template <class State>
    static std::array<Period, 1> periods_of(const State& state) noexcept {
        return {state.period()};
    }
};

// What the indicators without periods share.
struct NoPeriod {
    static constexpr std::array<std::string_view, 0> periods{};
    static constexpr std::array<Period, 0> defaults{};

    static constexpr const char* period_error(const std::array<Period, 0>&) noexcept {
        return nullptr;
    }
};

// What the indicators of one series, one period and one output share (SMA,
// EMA, WMA): a descriptor adds its names, title, summary and kernel (a
// stepped one its step too).
template <class SingleState, class UniverseState>
struct OneSeries : OnePeriod {
    static constexpr std::array<std::string_view, 1> inputs{"data"};
    static constexpr std::array<std::string_view, 1> outputs{"output"};
    static constexpr std::array<std::string_view, 1> values{"x"};
    static constexpr auto array_checks = one_series_checks;

    using Single = SingleState;
    using Universe = UniverseState;
    static constexpr bool batch_unlocked = true;
    static constexpr bool stream_unlocked = true;
};

// What the stepped indicators of one bar's high, low and close, one period
// and one output share (WILLR, CCI): inputs checked before the lengths, the
// output after, as ATR's are.
template <class SingleState, class UniverseState>
struct OneBar : OnePeriod {
    static constexpr std::array<std::string_view, 3> inputs{"high", "low", "close"};
    static constexpr std::array<std::string_view, 1> outputs{"output"};
    static constexpr std::array<std::string_view, 3> values{"high", "low", "close"};
    static constexpr std::array<ArrayCheck, 6> array_checks{{
        {Check::contiguous, 0, "High array must be C-contiguous and float64"},
        {Check::contiguous, 1, "Low array must be C-contiguous and float64"},
        {Check::contiguous, 2, "Close array must be C-contiguous and float64"},
        {Check::same_count, 0, "All arrays must have the same length"},
        {Check::contiguous, 3, "Output array must be C-contiguous and float64"},
        {Check::writeable, 3, "Output array must be writeable"},
    }};

    using Single = SingleState;
    using Universe = UniverseState;
    static constexpr bool batch_unlocked = true;
    static constexpr bool stream_unlocked = true;
};

// Descriptors, in the order the modules list them.
template <class... Ds>
struct List {
    // This list, then `More`.
    template <class... More>
    using Append = List<Ds..., More...>;

    // f.template operator()<D>() for every descriptor D, in order.
    template <class F>
    static constexpr void for_each(F&& f) {
        (f.template operator()<Ds>(), ...);
    }
};

}  // namespace quorvane::descriptor
