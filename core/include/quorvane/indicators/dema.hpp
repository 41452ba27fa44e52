// Double exponential moving average, 2 * E1 - E2, where E1 is the EMA of
// the input and E2 the EMA of E1. Also the chain of EMAs it and TEMA share.
#pragma once

#include <cmath>
#include <type_traits>

#include "quorvane/descriptor.hpp"
#include "quorvane/internal/steps.hpp"
#include "quorvane/stepped.hpp"

namespace quorvane::indicators {

// `Stages` EMAs in a chain, each of the one before, each exactly
// indicator_ema's: seeded with the mean of its input's first run of
// `period` finite values, written at the run's last position, then
// (1 - alpha) * average + alpha * x; a missing value (NaN or an infinity)
// holds no value and leaves the average as it was. E1's positions without
// a value are missing values to E2, and so on. D::combine(e) makes the
// value from the stages' averages where the last stage has one.
template <class D, std::size_t Stages>
struct ChainedEma : descriptor::OneSeries<stepped::Stream<D>, stepped::Universe<D>> {
    struct Constants {
        Period period;
        EmaStep ema;
        double target;  // the run that seeds: the period, or -1 (none) for 0
    };
    static Constants constants(const std::array<Period, 1>& p) noexcept {
        return {p[0], EmaStep(p[0]), p[0] == 0 ? -1.0 : static_cast<double>(p[0])};
    }
    // The step reads no earlier bars and does not look at `seen`.
    static std::uint64_t history(const Constants&) noexcept { return 0; }
    static std::uint64_t warm(const Constants&) noexcept { return 0; }

    // Per stage: the length of the current run of finite inputs and their
    // sum (oldest first, from -0.0) until the seed, then as they were at
    // it; the average (+0.0 before the seed); 1 once seeded, else 0.
    static constexpr std::size_t run = 0, sum = 1, average = 2, seeded = 3, per_stage = 4;
    template <class V>
    struct Lane {
        V v[per_stage * Stages];
    };
    template <class L, class Visit>
    static void fields(L& lane, Visit&& visit) {
        for (auto& value : lane.v) {
            visit(value);
        }
    }
    static Lane<double> start(const Constants&) noexcept {
        Lane<double> lane{};
        for (std::size_t k = 0; k < Stages; ++k) {
            lane.v[per_stage * k + sum] = -0.0;
        }
        return lane;
    }

    // A value x is finite when x - x == 0. The run counts as a binary64
    // (exact to 2**53 values) and seeds when it equals the period's
    // binary64 value; period 0 never seeds. A single series branches, as
    // the processor predicts on all but a few bars; lanes select, so that
    // a universe's run together: the same operations on the same values.
    template <class V, class Past>
    [[gnu::always_inline]] static void step(const Constants& c, Lane<V>& lane, Position, const V* x,
                                            const Past&, V* out) noexcept {
        if constexpr (std::is_same_v<V, double>) {
            double input = x[0];
            double e[Stages];
            bool has = false;
            for (std::size_t k = 0; k < Stages; ++k) {
                double* const s = lane.v + per_stage * k;
                const bool finite = stepped::subtract(input, input) == 0.0;
                has = false;
                if (s[seeded] != 0.0) {
                    if (finite) {
                        s[average] = c.ema.next(s[average], input);
                        has = true;
                    }
                } else if (!finite) {
                    s[run] = 0.0;
                    s[sum] = -0.0;
                } else {
                    s[run] = s[run] + 1.0;
                    s[sum] = stepped::add(s[sum], input);
                    if (s[run] == c.target) {
                        s[average] = s[sum] / c.ema.divisor;
                        s[seeded] = 1.0;
                        has = true;
                    }
                }
                e[k] = has ? s[average] : no_value;
                input = e[k];
            }
            out[0] = has ? D::combine(e) : no_value;
            return;
        }
        const V zero{};
        const V none = stepped::none<V>();
        V input = x[0];
        V e[Stages];
        bool_of<V> has{};
        for (std::size_t k = 0; k < Stages; ++k) {
            V* const s = lane.v + per_stage * k;
            const auto finite = stepped::subtract(input, input) == 0.0;
            const auto was = s[seeded] != 0.0;
            const V counted = finite ? s[run] + 1.0 : zero;
            const V summed = finite ? stepped::add(s[sum], input) : -zero;
            const auto now = counted == c.target;
            const V next = c.ema.next(s[average], input);
            const V seed = summed / c.ema.divisor;
            s[average] = was ? (finite ? next : s[average]) : (now ? seed : s[average]);
            s[run] = was ? s[run] : counted;
            s[sum] = was ? s[sum] : summed;
            s[seeded] = was ? s[seeded] : (now ? zero + 1.0 : zero);
            has = was ? finite : now;
            e[k] = has ? s[average] : none;
            input = e[k];
        }
        out[0] = has ? D::combine(e) : none;
    }
    // Every run a whole count below the period until its stage seeds, and
    // equal to it after; a stage seeded only after the one before it; an
    // unseeded stage's average at +0.0.
    static bool valid(const Constants& c, const Lane<double>& lane, Position seen) noexcept {
        bool before = true;
        for (std::size_t k = 0; k < Stages; ++k) {
            const double* const s = lane.v + per_stage * k;
            const bool is_seeded = s[seeded] == 1.0;
            const bool counted = s[run] == std::floor(s[run]) && s[run] >= 0.0 &&
                                 s[run] <= static_cast<double>(seen);
            const bool unseeded = s[seeded] == 0.0 && (c.period == 0 || s[run] < c.target) &&
                                  s[average] == 0.0 && !std::signbit(s[average]);
            if (!counted || (is_seeded ? !before || s[run] != c.target : !unseeded)) {
                return false;
            }
            before = is_seeded;
        }
        return true;
    }

private:
    // What a comparison of two V gives.
    template <class V>
    using bool_of = decltype(V{} == V{});
};

// The batch kernel of a chain: the step until the last stage seeds, then
// each stage's average alone. A seeded stage takes a finite input into its
// average and holds it at any other, which then reaches no later stage, so
// the value is D::combine of the averages or, from a missing value on, the
// no-value NaN: what the step gives, in the same operations.
template <class D, std::size_t Stages>
struct ChainedKernel {
    void operator()(Period period, Series data, OutputSeries output) const noexcept {
        const std::size_t n = data.size();
        if (output.size() < n) {
            fail_index_out_of_bounds(output.size(), output.size());
        }
        const auto c = D::constants({period});
        auto lane = D::start(c);
        const auto past = [](std::uint64_t, std::size_t) {
            return 0.0;
        };
        constexpr std::size_t last = D::per_stage * (Stages - 1) + D::seeded;
        std::size_t i = 0;
        for (; i < n && lane.v[last] == 0.0; ++i) {
            const double x = data[i];
            double y = 0.0;
            D::step(c, lane, Position{i}, &x, past, &y);
            output.set(i, y);
        }
        double e[Stages];
        for (std::size_t k = 0; k < Stages; ++k) {
            e[k] = lane.v[D::per_stage * k + D::average];
        }
        for (; i < n; ++i) {
            double input = data[i];
            bool has = true;
            for (std::size_t k = 0; k < Stages && has; ++k) {
                has = input - input == 0.0;
                if (has) {
                    e[k] = c.ema.next(e[k], input);
                    input = e[k];
                }
            }
            output.set(i, has ? D::combine(e) : no_value);
        }
        output.fill_no_value(n, output.size());
    }
};

struct Dema : ChainedEma<Dema, 2> {
    static constexpr std::string_view name = "dema";
    static constexpr std::string_view batch_name = "indicator_dema";
    static constexpr std::string_view class_name = "Dema";
    static constexpr std::string_view title =
        "Double exponential moving average, 2 * EMA - EMA of the EMA, each EMA indicator_ema's.";
    static constexpr std::string_view summary =
        "Double exponential moving average, one position at a time.";
    static constexpr std::array<Period, 1> defaults{30};
    static constexpr std::uint64_t single_tag = 0x5176002F;
    static constexpr std::uint64_t universe_tag = 0x5176003F;

    // (2 * e1) - e2.
    template <class V>
    static V combine(const V (&e)[2]) noexcept {
        return 2.0 * e[0] - e[1];
    }

    static constexpr ChainedKernel<Dema, 2> kernel{};
};

}  // namespace quorvane::indicators
