// Linearly weighted moving average: the last `period` values weighted
// period, period - 1, ..., 1 from the newest, over the weight total
// period * (period + 1) / 2. Two running sums, each with its rounding
// error, keep every step O(1) and the error from growing with the length.
#pragma once

#include <cstring>

#include "quorvane/descriptor.hpp"
#include "quorvane/failure.hpp"
#include "quorvane/stepped.hpp"

namespace quorvane::indicators {

// The batch kernel of Wma: the step's operations with the four running
// values in locals, the first window and the rest in loops of their own.
struct WmaKernel {
    void operator()(Period period, Series data, OutputSeries output) const noexcept;
};

struct Wma : descriptor::OneSeries<stepped::Stream<Wma>, stepped::Universe<Wma>> {
    static constexpr std::string_view name = "wma";
    static constexpr std::string_view batch_name = "indicator_wma";
    static constexpr std::string_view class_name = "Wma";
    static constexpr std::string_view title =
        "Linearly weighted moving average, the newest value weighted period, the oldest 1.";
    static constexpr std::string_view summary =
        "Linearly weighted moving average, one position at a time.";
    static constexpr std::array<Period, 1> defaults{30};
    static constexpr std::uint64_t single_tag = 0x51760025;
    static constexpr std::uint64_t universe_tag = 0x51760035;

    struct Constants {
        Period period;
        double weight;  // the newest value's weight, the period as a double
        double total;   // (weight * (weight + 1)) * 0.5
    };
    static Constants constants(const std::array<Period, 1>& p) noexcept {
        const auto weight = static_cast<double>(p[0]);
        return {p[0], weight, (weight * (weight + 1.0)) * 0.5};
    }
    static std::uint64_t history(const Constants& c) noexcept { return c.period; }
    static std::uint64_t warm(const Constants& c) noexcept { return c.period; }

    // Each running sum is kept as a value and the exact rounding errors of
    // the sums that made it (their own sum, rounded): the weighted sum takes
    // in the simple sum at every step, so a plain running sum's rounding
    // would pile up in it without bound.
    template <class V>
    struct Lane {
        V sum;             // the window's values
        V sum_error;       // what the rounding of `sum` lost
        V weighted;        // the window's values times their weights
        V weighted_error;  // what the rounding of `weighted` lost
    };
    template <class L, class Visit>
    static void fields(L& lane, Visit&& visit) {
        visit(lane.sum);
        visit(lane.sum_error);
        visit(lane.weighted);
        visit(lane.weighted_error);
    }
    static Lane<double> start(const Constants&) noexcept { return {-0.0, 0.0, -0.0, 0.0}; }

    // total += b, and the exact error of that sum (Knuth's two-sum, six
    // operations, valid for any magnitudes) added to error.
    template <class V>
    [[gnu::always_inline]] static void accumulate(V& total, V& error, V b) noexcept {
        const V a = total;
        total = stepped::add(a, b);
        const V b_part = stepped::subtract(total, a);
        const V a_part = stepped::subtract(total, b_part);
        const V lost = stepped::add(stepped::subtract(a, a_part), stepped::subtract(b, b_part));
        error = stepped::add(error, lost);
    }

    // The first window is summed in order, value k (from 0) weighted k + 1.
    // Then each step moves every weight down by one, dropping the oldest,
    // by subtracting the previous window's sum (both parts), and adds the
    // newest at the full weight: (weight * x - sum) - sum_error into
    // weighted, then x - oldest into sum. The value is (weighted +
    // weighted_error) / total. A NaN or an infinity, once in, makes every
    // later value NaN. Period 0 gives no values.
    template <class V, class Past>
    static void step(const Constants& c, Lane<V>& lane, Position seen, const V* x, const Past& past,
                     V* out) noexcept {
        if (c.period == 0) {
            out[0] = stepped::none<V>();
            return;
        }
        if (seen < c.period) {
            accumulate(lane.weighted, lane.weighted_error, static_cast<double>(seen + 1) * x[0]);
            accumulate(lane.sum, lane.sum_error, x[0]);
        } else {
            const V entering = stepped::subtract(c.weight * x[0], lane.sum);
            accumulate(lane.weighted, lane.weighted_error,
                       stepped::subtract(entering, lane.sum_error));
            accumulate(lane.sum, lane.sum_error, stepped::subtract(x[0], past(c.period - 1, 0)));
        }
        out[0] = seen >= c.period - 1 ? stepped::add(lane.weighted, lane.weighted_error) / c.total
                                      : stepped::none<V>();
    }
    // Before the first value, and always with period 0, the lane is at its
    // start.
    static bool valid(const Constants& c, const Lane<double>& lane, Position seen) noexcept {
        const Lane<double> first = start(c);
        return (seen != 0 && c.period != 0) || std::memcmp(&lane, &first, sizeof lane) == 0;
    }

    static constexpr WmaKernel kernel{};
};

// Apart from the first window: sharing the loop's function with it, the
// compiler keeps the weighted sum in a general register between the
// instructions, which lengthens the chain of every step.
[[gnu::noinline]] inline void wma_slide(const Wma::Constants& c, const Wma::Lane<double>& lane,
                                        Series data, OutputSeries output) noexcept {
    const auto length = static_cast<std::size_t>(c.period);
    const double weight = c.weight;
    const double total = c.total;
    double sum = lane.sum;
    double sum_error = lane.sum_error;
    double weighted = lane.weighted;
    double weighted_error = lane.weighted_error;
    for (std::size_t i = length; i < data.size(); ++i) {
        const double entering = stepped::subtract(weight * data[i], sum);
        Wma::accumulate(weighted, weighted_error, stepped::subtract(entering, sum_error));
        Wma::accumulate(sum, sum_error, stepped::subtract(data[i], data[i - length]));
        output.set(i, stepped::add(weighted, weighted_error) / total);
    }
}

inline void WmaKernel::operator()(Period period, Series data, OutputSeries output) const noexcept {
    const std::size_t n = data.size();
    if (output.size() < n) {
        fail_index_out_of_bounds(output.size(), output.size());
    }
    output.fill_no_value(n, output.size());
    // Period 0 gives no values, as does one longer than the input.
    if (period == 0 || period > n) {
        output.fill_no_value(0, n);
        return;
    }
    const auto length = static_cast<std::size_t>(period);
    const Wma::Constants c = Wma::constants({period});
    Wma::Lane<double> lane = Wma::start(c);
    for (std::size_t i = 0; i < length; ++i) {
        Wma::accumulate(lane.weighted, lane.weighted_error, static_cast<double>(i + 1) * data[i]);
        Wma::accumulate(lane.sum, lane.sum_error, data[i]);
    }
    output.fill_no_value(0, length - 1);
    output.set(length - 1, stepped::add(lane.weighted, lane.weighted_error) / c.total);
    wma_slide(c, lane, data, output);
}

}  // namespace quorvane::indicators
