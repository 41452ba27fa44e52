// Commodity channel index (Lambert): how far the typical price stands from
// its mean over the window, in units of 0.015 times the window's mean
// absolute deviation from that mean. The deviation is about the current
// mean, so it cannot be slid from one window to the next: every step sums
// its whole window afresh, in a fixed order, over a ring of the window's
// typical sums, each made once.
#pragma once

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <type_traits>

#include "quorvane/descriptor.hpp"
#include "quorvane/stepped.hpp"

namespace quorvane::indicators {

// The batch kernel of Cci: the s of a run of bars made at once into the
// storage, after the last period - 1 of the run before, so that every
// window lies whole in it, oldest first; then the windows summed
// `interleaved` at a time, each in its own partial sums, so that one
// window's additions overlap the next's rather than each waiting on its
// own. No value before the first window is full, and no count kept.
template <class D>
struct CciKernel : stepped::Kernel<D> {
    static constexpr std::size_t chunk = 64;  // bars whose s are made at once, at least
    static constexpr std::size_t interleaved = 4;

    static std::size_t work_size(const stepped::Periods<D>& periods, std::uint64_t bars) noexcept {
        const Period period = periods[0];
        if (period == 0 || bars < period) {
            return 0;
        }
        if (period > SIZE_MAX / 2 - chunk) {
            return SIZE_MAX;
        }
        const auto p = static_cast<std::size_t>(period);
        return p - 1 + static_cast<std::size_t>(std::min<std::uint64_t>(std::max(p, chunk), bars));
    }
    template <std::size_t I, std::size_t O>
    static void run(const stepped::Periods<D>& periods, const std::array<Series, I>& in,
                    const std::array<OutputSeries, O>& out, double* work) noexcept {
        const std::size_t n = stepped::checked_length(in, out);
        const OutputSeries& output = out[0];
        if (periods[0] == 0 || periods[0] > n) {
            output.fill_no_value(0, output.size());
            return;
        }
        const auto period = static_cast<std::size_t>(periods[0]);
        const auto length = static_cast<double>(period);
        const std::size_t held = period - 1;  // the s a window needs beside its newest
        const std::size_t fill = std::min(std::max(period, chunk), n);
        output.fill_no_value(0, held);
        std::size_t kept = 0;  // s of the bars before t, at the front of the storage
        for (std::size_t t = 0; t < n;) {
            const std::size_t m = std::min(fill, n - t);
            double* const s = work + kept;
            for (std::size_t k = 0; k < m; ++k) {
                s[k] = D::typical(in[0][t + k], in[1][t + k], in[2][t + k]);
            }
            // Bar t + k's window ends at s[k]; the first run fills one.
            std::size_t k = held > kept ? held - kept : 0;
            std::array<double, interleaved> values{};
            for (; k + interleaved <= m; k += interleaved) {
                D::template whole_values<interleaved>(s + k - held, period, length, values.data());
                for (std::size_t g = 0; g < interleaved; ++g) {
                    output.set(t + k + g, values[g]);
                }
            }
            for (; k < m; ++k) {
                D::template whole_values<1>(s + k - held, period, length, values.data());
                output.set(t + k, values[0]);
            }
            const std::size_t next = std::min(kept + m, held);
            std::memmove(work, work + kept + m - next, next * sizeof(double));
            kept = next;
            t += m;
        }
        output.fill_no_value(n, output.size());
    }
};

struct Cci : descriptor::OneBar<stepped::Stream<Cci>, stepped::Universe<Cci>> {
    static constexpr std::string_view name = "cci";
    static constexpr std::string_view batch_name = "indicator_cci";
    static constexpr std::string_view class_name = "Cci";
    static constexpr std::string_view title =
        "Commodity channel index, the typical price's distance from its mean in mean deviations.";
    static constexpr std::string_view summary = "Commodity channel index, one bar at a time.";
    static constexpr std::array<Period, 1> defaults{14};
    static constexpr std::uint64_t single_tag = 0x5176002B;
    static constexpr std::uint64_t universe_tag = 0x5176003B;

    // How many partial sums a window is summed in: element j of the window
    // (0 the oldest) goes to partial j % parts. Independent chains let the
    // additions overlap, where one chain waits on each sum in turn.
    static constexpr std::size_t parts = 4;

    struct Constants {
        Period period;
        double length;  // the period as a double, the divisor of both means
        double full;    // period - 1 as a double: bars before the first value
    };
    static Constants constants(const std::array<Period, 1>& p) noexcept {
        return {p[0], static_cast<double>(p[0]), p[0] == 0 ? 0.0 : static_cast<double>(p[0] - 1)};
    }
    static std::uint64_t history(const Constants& c) noexcept {
        return c.period == 0 ? 0 : c.period - 1;
    }
    static std::uint64_t warm(const Constants& c) noexcept { return history(c); }
    // A ring of the last `period` values of s, bar t's at t % period, so
    // that each is made once: the kept bars' and one slot more, which this
    // bar's (or a peek's) takes. It grows with the bars, as far as they reach.
    static std::size_t work(const Constants& c, std::uint64_t bars) noexcept {
        if (c.period == 0 || bars == 0) {
            return 0;
        }
        return static_cast<std::size_t>(bars < c.period ? bars + 1 : c.period);
    }

    template <class V>
    struct Lane {
        V next;   // this bar's slot in the ring
        V count;  // bars seen, up to period - 1
    };
    template <class L, class Visit>
    static void fields(L& lane, Visit&& visit) {
        visit(lane.next);
        visit(lane.count);
    }
    static Lane<double> start(const Constants&) noexcept { return {0.0, 0.0}; }

    // s = (high + low) + close, three times the typical price: the factor 3
    // cancels from the ratio, so no division by 3 is made. Over the window's
    // s, oldest first: sum into `parts` partial sums from -0.0, combined as
    // (p0 + p1) + (p2 + p3); mean = sum / length; deviation likewise of
    // |s - mean|; the value is (s_newest - mean) / (0.015 * (deviation /
    // length)), or 0 when the deviation is 0 (every s equal to the mean).
    // A NaN or an infinity gives NaN while it is in the window, and leaves
    // with it. Period 0 gives no values. `work` is null only on a peek
    // before any storage, which then reads no slot but its own.
    template <class Past>
    static void step(const Constants& c, Lane<double>& lane, Position, const double* x, const Past&,
                     double* out, double* work) noexcept {
        out[0] = no_value;
        if (c.period == 0) {
            return;
        }
        const auto n = static_cast<std::size_t>(c.period);
        const auto at = static_cast<std::size_t>(lane.next);
        const double seen = lane.count;
        lane.next = static_cast<double>(at + 1 == n ? 0 : at + 1);
        lane.count = seen < c.full ? seen + 1.0 : seen;
        double own = 0;
        double* const ring = work == nullptr ? &own : work;
        const double newest = typical(x[0], x[1], x[2]);
        ring[at] = newest;
        if (seen < c.full) {
            return;
        }
        // The window, oldest first: the slots after this bar's, then the
        // slots up to it.
        const std::size_t first = at + 1 == n ? 0 : at + 1;
        const Window window{ring + first, n - first, ring, first};
        const double mean = window_sum(window, [](auto s) { return s; }) / c.length;
        const double deviation = window_sum(
            window, [&](auto s) { return magnitude(minus(s, splat<decltype(s)>(mean))); });
        out[0] = finish(newest, mean, deviation, c.length);
    }
    [[gnu::always_inline]] static double typical(double high, double low, double close) noexcept {
        return stepped::add(stepped::add(high, low), close);
    }
    // The value from the window's sums: its mean and the sum of |s - mean|.
    [[gnu::always_inline]] static double finish(double newest, double mean, double deviation,
                                                double length) noexcept {
        const double centred = stepped::subtract(newest, mean);
        const double spread = deviation / length;
        const double value = centred / (0.015 * spread);
        return spread == 0.0 ? 0.0 : value;
    }
    // The values of G windows of `size` s, window g at v + g, into out[g]:
    // the step's sums, window by window, made side by side.
    template <std::size_t G>
    [[gnu::always_inline]] static void whole_values(const double* v, std::size_t size,
                                                    double length, double* out) noexcept {
        std::array<double, G> mean{};
        whole_sums<G>(
            v, size, [](std::size_t, auto s) { return s; }, mean);
        for (std::size_t g = 0; g < G; ++g) {
            mean[g] = mean[g] / length;
        }
        std::array<double, G> deviation{};
        whole_sums<G>(
            v, size,
            [&](std::size_t g, auto s) { return magnitude(minus(s, splat<decltype(s)>(mean[g]))); },
            deviation);
        for (std::size_t g = 0; g < G; ++g) {
            out[g] = finish(v[g + size - 1], mean[g], deviation[g], length);
        }
    }

    // The lane as `seen` bars make it while it still counts them; once
    // full, its slot in range. (A universe's restarted lane is full at the
    // count of its own bars, and `seen` then counts them no more.)
    static bool valid(const Constants& c, const Lane<double>& lane, Position seen) noexcept {
        const auto same = [](double a, double b) {
            return std::memcmp(&a, &b, sizeof a) == 0;
        };
        if (c.period == 0) {
            return same(lane.next, 0.0) && same(lane.count, 0.0);
        }
        if (seen < c.period - 1) {
            const auto count = static_cast<double>(seen);
            return same(lane.next, count) && same(lane.count, count);
        }
        return same(lane.count, c.full) && lane.next >= 0.0 && lane.next < c.length &&
               same(lane.next, std::floor(lane.next) + 0.0);
    }
    // The kept bars' s, each in its slot; the free slot holds any value (a
    // peek's).
    template <class Past>
    static bool check(const Constants& c, const Lane<double>& lane, Position seen, const Past& past,
                      const double* work) noexcept {
        if (c.period == 0 || seen == 0) {
            return true;
        }
        const auto n = static_cast<std::size_t>(c.period);
        const auto at = static_cast<std::size_t>(lane.next);
        const std::uint64_t held = std::min<std::uint64_t>(seen, c.period - 1);
        for (std::uint64_t k = 0; k < held; ++k) {
            const double s = stepped::add(stepped::add(past(k, 0), past(k, 1)), past(k, 2));
            const std::size_t slot = at > k ? at - 1 - k : at + n - 1 - k;
            if (std::memcmp(&s, &work[slot], sizeof s) != 0) {
                return false;
            }
        }
        return true;
    }

    static constexpr CciKernel<Cci> kernel{};

private:
    // Two runs of the ring, one after the other.
    struct Window {
        const double* a;
        std::size_t a_size;
        const double* b;
        std::size_t b_size;
    };

#if defined(__x86_64__)
    // Two values side by side, as partials p and p + 1 of a run: the packed
    // instructions give each lane what the scalar one gives.
    using Pair = double __attribute__((vector_size(16)));
    using PairBits = std::uint64_t __attribute__((vector_size(16)));
    [[gnu::always_inline]] static Pair plus(Pair a, Pair b) noexcept {
        asm("addpd %1, %0" : "+x"(a) : "x"(b));
        return a;
    }
    [[gnu::always_inline]] static Pair minus(Pair a, Pair b) noexcept {
        asm("subpd %1, %0" : "+x"(a) : "x"(b));
        return a;
    }
    [[gnu::always_inline]] static Pair magnitude(Pair v) noexcept {
        return std::bit_cast<Pair>(std::bit_cast<PairBits>(v) & 0x7FFFFFFFFFFFFFFFu);
    }
#endif
    [[gnu::always_inline]] static double minus(double a, double b) noexcept {
        return stepped::subtract(a, b);
    }
    [[gnu::always_inline]] static double magnitude(double v) noexcept {
        return std::fabs(v);
    }
    template <class V>
    [[gnu::always_inline]] static V splat(double v) noexcept {
        if constexpr (std::is_same_v<V, double>) {
            return v;
        } else {
            return V{v, v};
        }
    }

    // f(v) of each v of a run into the partial sums, the run's first going
    // to partial Into; the partials' indices fixed, so they stay in registers.
    template <std::size_t Into, class F>
    [[gnu::always_inline]] static void run(std::array<double, parts>& partial, const double* v,
                                           std::size_t size, const F& f) noexcept {
        constexpr std::size_t p0 = Into % parts;
        constexpr std::size_t p1 = (Into + 1) % parts;
        constexpr std::size_t p2 = (Into + 2) % parts;
        constexpr std::size_t p3 = (Into + 3) % parts;
        std::size_t i = 0;
#if defined(__x86_64__)
        {
            Pair low{partial[p0], partial[p1]};
            Pair high{partial[p2], partial[p3]};
            for (; i + parts <= size; i += parts) {
                Pair a;
                Pair b;
                std::memcpy(&a, v + i, sizeof a);
                std::memcpy(&b, v + i + 2, sizeof b);
                low = plus(low, f(a));
                high = plus(high, f(b));
            }
            partial[p0] = low[0];
            partial[p1] = low[1];
            partial[p2] = high[0];
            partial[p3] = high[1];
        }
#else
        for (; i + parts <= size; i += parts) {
            partial[p0] = stepped::add(partial[p0], f(v[i]));
            partial[p1] = stepped::add(partial[p1], f(v[i + 1]));
            partial[p2] = stepped::add(partial[p2], f(v[i + 2]));
            partial[p3] = stepped::add(partial[p3], f(v[i + 3]));
        }
#endif
        if (i < size) {
            partial[p0] = stepped::add(partial[p0], f(v[i]));
        }
        if (i + 1 < size) {
            partial[p1] = stepped::add(partial[p1], f(v[i + 1]));
        }
        if (i + 2 < size) {
            partial[p2] = stepped::add(partial[p2], f(v[i + 2]));
        }
    }

    // f(v) over the window in the partial sums' order: element j of the
    // window to partial j % parts.
    template <class F>
    [[gnu::always_inline]] static double window_sum(const Window& w, const F& f) noexcept {
        std::array<double, parts> partial{-0.0, -0.0, -0.0, -0.0};
        run<0>(partial, w.a, w.a_size, f);
        switch (w.a_size % parts) {
        case 0:
            run<0>(partial, w.b, w.b_size, f);
            break;
        case 1:
            run<1>(partial, w.b, w.b_size, f);
            break;
        case 2:
            run<2>(partial, w.b, w.b_size, f);
            break;
        default:
            run<3>(partial, w.b, w.b_size, f);
            break;
        }
        return combined(partial);
    }
    // f(g, v) over G windows of `size` at v + g, window g's into sum[g],
    // each in its own partials, in run's order.
    template <std::size_t G, class F>
    [[gnu::always_inline]] static void whole_sums(const double* v, std::size_t size, const F& f,
                                                  std::array<double, G>& sum) noexcept {
        std::array<std::array<double, parts>, G> partial{};
        std::size_t i = 0;
#if defined(__x86_64__)
        std::array<Pair, G> low{};
        std::array<Pair, G> high{};
        for (std::size_t g = 0; g < G; ++g) {
            low[g] = Pair{-0.0, -0.0};
            high[g] = Pair{-0.0, -0.0};
        }
        for (; i + parts <= size; i += parts) {
            for (std::size_t g = 0; g < G; ++g) {
                Pair a;
                Pair b;
                std::memcpy(&a, v + g + i, sizeof a);
                std::memcpy(&b, v + g + i + 2, sizeof b);
                low[g] = plus(low[g], f(g, a));
                high[g] = plus(high[g], f(g, b));
            }
        }
        for (std::size_t g = 0; g < G; ++g) {
            partial[g] = {low[g][0], low[g][1], high[g][0], high[g][1]};
        }
#else
        for (std::size_t g = 0; g < G; ++g) {
            partial[g] = {-0.0, -0.0, -0.0, -0.0};
        }
        for (; i + parts <= size; i += parts) {
            for (std::size_t g = 0; g < G; ++g) {
                for (std::size_t q = 0; q < parts; ++q) {
                    partial[g][q] = stepped::add(partial[g][q], f(g, v[g + i + q]));
                }
            }
        }
#endif
        for (std::size_t g = 0; g < G; ++g) {
            for (std::size_t q = 0; q + 1 < parts && i + q < size; ++q) {
                partial[g][q] = stepped::add(partial[g][q], f(g, v[g + i + q]));
            }
            sum[g] = combined(partial[g]);
        }
    }
    [[gnu::always_inline]] static double combined(
        const std::array<double, parts>& partial) noexcept {
        return stepped::add(stepped::add(partial[0], partial[1]),
                            stepped::add(partial[2], partial[3]));
    }
};

}  // namespace quorvane::indicators
