// Momentum: each value less the one `period` positions before it. Also the
// shape of every indicator of a value and its lagged one (Lagged).
#pragma once

#include "quorvane/descriptor.hpp"
#include "quorvane/failure.hpp"
#include "quorvane/internal/lanes.hpp"
#include "quorvane/stepped.hpp"

namespace quorvane::indicators {

// The batch kernel of a Lagged indicator: the step's values with no state
// to carry, so the positions after the warm-up go in a plain loop, a
// vector at a time where D::by_vectors (through the same combine() the
// universe's lanes run).
template <class D>
struct LaggedKernel {
    void operator()(Period period, Series data, OutputSeries output) const noexcept {
        const std::size_t n = data.size();
        if (output.size() < n) {
            fail_index_out_of_bounds(output.size(), output.size());
        }
        const std::size_t lag = period == 0 || period > n ? n : static_cast<std::size_t>(period);
        output.fill_no_value(0, lag);
        std::size_t i = lag;
        for (; D::by_vectors && i + lanes::count <= n; i += lanes::count) {
            lanes::store(
                output.data(), i,
                D::combine(lanes::load(data.data(), i), lanes::load(data.data(), i - lag)));
        }
        for (; i < n; ++i) {
            output.set(i, D::combine(data[i], data[i - lag]));
        }
        output.fill_no_value(n, output.size());
    }
};

// An indicator of x[i] and x[i - period] alone: D::combine(x, earlier)
// gives the value. The step keeps no running values, so a NaN or an
// infinity reaches only the values that read it.
template <class D>
struct Lagged : descriptor::OneSeries<stepped::Stream<D>, stepped::Universe<D>> {
    struct Constants {
        Period period;
    };
    static Constants constants(const std::array<Period, 1>& p) noexcept { return {p[0]}; }
    static std::uint64_t history(const Constants& c) noexcept { return c.period; }
    static std::uint64_t warm(const Constants& c) noexcept { return c.period; }

    template <class V>
    struct Lane {};
    template <class L, class Visit>
    static void fields(L&, Visit&&) {}
    static Lane<double> start(const Constants&) noexcept { return {}; }

    // Positions 0 to period - 1 hold the no-value NaN; period 0 gives no
    // values.
    template <class V, class Past>
    static void step(const Constants& c, Lane<V>&, Position seen, const V* x, const Past& past,
                     V* out) noexcept {
        if (c.period == 0 || seen < c.period) {
            out[0] = stepped::none<V>();
            return;
        }
        out[0] = D::combine(x[0], past(c.period - 1, 0));
    }
    static bool valid(const Constants&, const Lane<double>&, Position) noexcept { return true; }
};

struct Mom : Lagged<Mom> {
    static constexpr std::string_view name = "mom";
    static constexpr std::string_view batch_name = "indicator_mom";
    static constexpr std::string_view class_name = "Mom";
    static constexpr std::string_view title =
        "Momentum, each value less the one period positions before it.";
    static constexpr std::string_view summary = "Momentum, one position at a time.";
    static constexpr std::array<Period, 1> defaults{10};
    static constexpr std::uint64_t single_tag = 0x5176002E;
    static constexpr std::uint64_t universe_tag = 0x5176003E;

    // One subtraction; of two NaNs, x's, as the vector instruction gives it
    // lane by lane where it can.
    static constexpr bool by_vectors = true;
    static double combine(double x, double earlier) noexcept {
        return stepped::subtract(x, earlier);
    }
    template <lanes::Vector V>
    static V combine(V x, V earlier) noexcept {
        return stepped::subtract_by_lanes(x, earlier);
    }

    static constexpr LaggedKernel<Mom> kernel{};
};

}  // namespace quorvane::indicators
