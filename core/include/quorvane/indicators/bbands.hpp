// Bollinger Bands: the mean of the last `period` values (the middle band),
// and the middle plus and minus k times their population standard
// deviation (the upper and lower bands).
//
// The window's sums are kept about a base value near its mean and slid one
// value at a time; they are summed afresh over the kept window (two
// passes: the mean, then the deviations from it) every `period` steps and
// whenever the sums slid since the last fresh sum have grown too large
// against the squared deviations they leave, so that their rounding errors
// stay a bounded fraction of the result (docs/indicators.md derives it).
#pragma once

#include <algorithm>
#include <array>
#include <cstring>

#include "quorvane/descriptor.hpp"
#include "quorvane/failure.hpp"
#include "quorvane/internal/lanes.hpp"
#include "quorvane/internal/steps.hpp"
#include "quorvane/stepped.hpp"

namespace quorvane::indicators {

// The batch kernel of Bbands: the step's operations with the running values
// in locals, a block of positions at a time. First each position's sums, in
// turn, as they carry from one to the next (its base, sum * inverse and m2
// kept for the block); the fresh sums due every `period` steps, which carry
// nothing, are made four windows side by side ahead of their turn. Then the
// block's bands, which carry nothing either, several positions to an
// instruction (the root's throughput bounds them). Before a NaN or an
// infinity every value computed is finite or the one NaN arithmetic makes,
// so the packed instructions give the step's bits; from the first one on
// every value is spoil's NaN.
template <class D>
struct BbandsKernel {
    static constexpr std::size_t block = 64;  // positions: their sums take 1.5 KiB

    void operator()(Period period, Period k_word, Series data, OutputSeries upper,
                    OutputSeries middle, OutputSeries lower) const noexcept {
        const std::array<OutputSeries, 3> out{upper, middle, lower};
        const std::size_t n = stepped::checked_length(std::array<Series, 1>{data}, out);
        const auto c = D::constants({period, k_word});
        const std::size_t p = period == 0 || period > n ? n + 1 : static_cast<std::size_t>(period);
        for (const OutputSeries& series : out) {
            series.fill_no_value(0, std::min(p - 1, n));
            series.fill_no_value(n, series.size());
        }
        if (p > n) {
            return;
        }
        double base = 0.0;
        double sum = 0.0;
        double squares = 0.0;
        double budget = 0.0;
        double since = 0.0;
        Ahead ahead;
        const auto fresh = [&](std::size_t last) {
            if (last != ahead.next || ahead.used == Ahead::count) {
                ahead.take(data, p, c.inverse, last);
            }
            base = ahead.at(ahead.base);
            sum = ahead.at(ahead.sum);
            squares = ahead.at(ahead.squares);
            ahead.used += 1;
            ahead.next += p;
            budget = squares;
            since = 0.0;
        };
        Sums kept;
        for (std::size_t start = p - 1; start < n; start += block) {
            std::size_t end = std::min(start + block, n);
            // A value not finite before the first window spoils it all.
            const std::size_t bad = first_not_finite(data, start == p - 1 ? 0 : start, end);
            const bool spoiled = bad < end;
            if (spoiled) {
                const double spoil = stepped::add(0.0, data[bad] - data[bad]);
                end = std::max(bad, start);
                for (const OutputSeries& series : out) {
                    for (std::size_t i = end; i < n; ++i) {
                        series.set(i, spoil);
                    }
                }
            }
            for (std::size_t i = start; i < end; ++i) {
                if (i == p - 1) {
                    fresh(i);
                } else {
                    const double d = data[i] - base;
                    const double o = data[i - p] - base;
                    sum = sum + (d - o);
                    squares = squares + (d - o) * (d + o);
                    budget = budget + squares;
                    since = since + 1.0;
                    const double m2 = squares - sum * (sum * c.inverse);
                    if (since >= c.length || budget > (D::budget_factor * m2) * (since + 1.0)) {
                        fresh(i);
                    }
                }
                const double mean = sum * c.inverse;
                kept.base[i - start] = base;
                kept.mean[i - start] = mean;
                kept.m2[i - start] = squares - sum * mean;
            }
            write_bands(c, start, end, kept, out);
            if (spoiled) {
                return;
            }
        }
    }

private:
    // The fresh sums of windows `period` positions apart, one to a lane, as
    // the fresh sums due every `period` steps (unless the budget calls one
    // first) will find them: each lane makes the operations of one.
    struct Ahead {
        // Two windows side by side, or four as two pairs.
        using Pair = double __attribute__((vector_size(16)));
        static constexpr std::size_t count = 4;

        Pair base[2]{};
        Pair sum[2]{};
        Pair squares[2]{};
        std::size_t next = 0;      // the last position of window `used`
        std::size_t used = count;  // the windows taken

        double at(const Pair (&v)[2]) const noexcept { return v[used / 2][used % 2]; }

        // The windows ending at last, last + period, ...; those ending past
        // the data repeat the first.
        void take(Series data, std::size_t p, double inverse, std::size_t last) noexcept {
            std::size_t ends[count];
            for (std::size_t j = 0; j < count; ++j) {
                const std::size_t end = last + j * p;
                ends[j] = end < data.size() ? end : last;
            }
            const auto gather = [&](std::size_t back, std::size_t h) {
                return Pair{data[ends[2 * h] - back], data[ends[2 * h + 1] - back]};
            };
            const Pair x0 = gather(0, 0);
            const Pair x1 = gather(0, 1);
            Pair o0{};
            Pair o1{};
            for (std::size_t back = p - 1; back > 0; --back) {
                o0 = o0 + (gather(back, 0) - x0);
                o1 = o1 + (gather(back, 1) - x1);
            }
            const Pair b0 = x0 + o0 * inverse;
            const Pair b1 = x1 + o1 * inverse;
            Pair s0{};
            Pair s1{};
            Pair q0{};
            Pair q1{};
            for (std::size_t back = p; back-- > 0;) {
                const Pair y0 = gather(back, 0) - b0;
                const Pair y1 = gather(back, 1) - b1;
                s0 = s0 + y0;
                s1 = s1 + y1;
                q0 = q0 + y0 * y0;
                q1 = q1 + y1 * y1;
            }
            base[0] = b0;
            base[1] = b1;
            sum[0] = s0;
            sum[1] = s1;
            squares[0] = q0;
            squares[1] = q1;
            next = last;
            used = 0;
        }
    };

    // A block's base, sum * inverse and m2 at each position.
    struct Sums {
        double base[block];
        double mean[block];
        double m2[block];
    };

    // The first position in [from, end) whose value is not finite, or end:
    // x - x is 0 for a finite x and NaN for any other, so a sum of them is 0
    // when all are finite (four sums in lanes, side by side).
    static std::size_t first_not_finite(Series data, std::size_t from, std::size_t end) noexcept {
        lanes::Lanes a{};
        lanes::Lanes b{};
        std::size_t i = from;
        for (; i + 2 * lanes::count <= end; i += 2 * lanes::count) {
            const lanes::Lanes x = lanes::load(data.data(), i);
            const lanes::Lanes y = lanes::load(data.data(), i + lanes::count);
            a = a + (x - x);
            b = b + (y - y);
        }
        const lanes::Lanes marks = a + b;
        for (std::size_t j = 0; j < lanes::count; ++j) {
            i = marks[j] == 0.0 ? i : from;
        }
        while (i < end && data[i] - data[i] == 0.0) {
            ++i;
        }
        return i;
    }

    // The block's bands: four to an instruction where the processor has
    // them, else two where it has packed instructions, else one.
    static void write_bands(const typename D::Constants& c, std::size_t start, std::size_t end,
                            const Sums& kept, const std::array<OutputSeries, 3>& out) noexcept {
        std::size_t j = 0;
#if defined(__x86_64__) && !defined(__clang__)
        if (__builtin_cpu_supports("avx2")) {
            j = write_quads(c, start, end, kept, out);
        }
#endif
#if defined(__SSE2__)
        for (; start + j + 2 <= end; j += 2) {
            bands(c, start + j, load_pair(kept.base, j), load_pair(kept.mean, j),
                  load_pair(kept.m2, j), out);
        }
#endif
        for (; start + j < end; ++j) {
            bands(c, start + j, kept.base[j], kept.mean[j], kept.m2[j], out);
        }
    }
#if defined(__x86_64__) && !defined(__clang__)
    using Quad = double __attribute__((vector_size(32)));
    // The bands four at a time from the block's start; how many it wrote.
    [[gnu::target("avx2")]] static std::size_t write_quads(
        const typename D::Constants& c, std::size_t start, std::size_t end, const Sums& kept,
        const std::array<OutputSeries, 3>& out) noexcept {
        const auto load = [](const double* v, std::size_t j) {
            Quad q;
            std::memcpy(&q, v + j, sizeof q);
            return q;
        };
        const auto put_quad = [](const OutputSeries& series, std::size_t i, Quad v) {
            std::memcpy(static_cast<unsigned char*>(series.data()) + i * sizeof(double), &v,
                        sizeof v);
        };
        std::size_t j = 0;
        for (; start + j + 4 <= end; j += 4) {
            const Quad m2 = load(kept.m2, j);
            const Quad centre = load(kept.base, j) + load(kept.mean, j);
            const Quad width = c.k * __builtin_ia32_sqrtpd256((m2 < 0.0 ? Quad{} : m2) * c.inverse);
            put_quad(out[0], start + j, centre + width);
            put_quad(out[1], start + j, centre);
            put_quad(out[2], start + j, centre - width);
        }
        return j;
    }
#endif

    // middle = base + sum * inverse, width = k * sqrt(m2 * inverse) with
    // m2 below 0 taken as 0, and middle plus and minus width.
    template <class V>
    [[gnu::always_inline]] static void bands(const typename D::Constants& c, std::size_t i, V base,
                                             V mean, V m2,
                                             const std::array<OutputSeries, 3>& out) noexcept {
        const V centre = base + mean;
        const V width = c.k * root((m2 < 0.0 ? V{} : m2) * c.inverse);
        put(out[0], i, centre + width);
        put(out[1], i, centre);
        put(out[2], i, centre - width);
    }
    static double root(double v) noexcept {
        return __builtin_sqrt(v);
    }
    static void put(const OutputSeries& series, std::size_t i, double v) noexcept {
        series.set(i, v);
    }
#if defined(__SSE2__)
    static __m128d root(__m128d v) noexcept {
        return _mm_sqrt_pd(v);
    }
    static void put(const OutputSeries& series, std::size_t i, __m128d v) noexcept {
        std::memcpy(static_cast<unsigned char*>(series.data()) + i * sizeof(double), &v, sizeof v);
    }
#endif
};

struct Bbands {
    static constexpr std::string_view name = "bbands";
    static constexpr std::string_view batch_name = "indicator_bbands";
    static constexpr std::string_view class_name = "Bbands";
    static constexpr std::string_view title =
        "Bollinger Bands: the mean of the last `period` values, and it plus and minus k times "
        "their population standard deviation.";
    static constexpr std::string_view summary =
        "Bollinger Bands (upper, middle, lower), one position at a time.";
    static constexpr std::array<std::string_view, 2> periods{"period", "k"};
    static constexpr std::array<double, 1> reals{0.0};
    static constexpr std::array<Period, 2> defaults{5, descriptor::word(2.0)};
    static constexpr std::array<std::string_view, 1> inputs{"data"};
    static constexpr std::array<std::string_view, 3> outputs{"upper_output", "middle_output",
                                                             "lower_output"};
    static constexpr std::array<std::string_view, 1> values{"x"};
    static constexpr std::uint64_t single_tag = 0x51760027;
    static constexpr std::uint64_t universe_tag = 0x51760037;

    // Every period is valid (0 gives no values); k is finite and at least 0.
    static constexpr const char* period_error(const std::array<Period, 2>& p) noexcept {
        return descriptor::reals_within<Bbands>(p) ? nullptr
                                                   : "k must be a finite number of at least 0.0";
    }
    static constexpr std::array<descriptor::ArrayCheck, 8> array_checks{{
        {descriptor::Check::contiguous, 0, "Input array must be C-contiguous and float64"},
        {descriptor::Check::contiguous, 1, "Output array must be C-contiguous and float64"},
        {descriptor::Check::contiguous, 2, "Output array must be C-contiguous and float64"},
        {descriptor::Check::contiguous, 3, "Output array must be C-contiguous and float64"},
        {descriptor::Check::same_count, 0, "Output array length must match input"},
        {descriptor::Check::writeable, 1, "Output array must be writeable"},
        {descriptor::Check::writeable, 2, "Output array must be writeable"},
        {descriptor::Check::writeable, 3, "Output array must be writeable"},
    }};
    using Single = stepped::Stream<Bbands>;
    using Universe = stepped::Universe<Bbands>;
    static constexpr bool batch_unlocked = true;
    static constexpr bool stream_unlocked = true;

    // A fresh sum is due once the budget (the squared sums since the last
    // one) passes this many times the squared deviations for each of its
    // terms: the slid sums then cancel more than this factor.
    static constexpr double budget_factor = 64.0;

    struct Constants {
        Period period;
        double length;   // the period as a double
        double inverse;  // 1 / length: a product per use, where a division
                         // would take several times as long
        double k;
    };
    static Constants constants(const std::array<Period, 2>& p) noexcept {
        const auto length = static_cast<double>(p[0]);
        return {p[0], length, 1.0 / length, descriptor::number(p[1])};
    }
    static std::uint64_t history(const Constants& c) noexcept { return c.period; }
    static std::uint64_t warm(const Constants& c) noexcept { return c.period; }

    template <class V>
    struct Lane {
        V base;     // the values are kept as their differences from this
        V sum;      // the window's differences from base
        V squares;  // their squares
        V budget;   // `squares` at the last fresh sum and at every step since
        V since;    // the steps since the last fresh sum
        V spoil;    // 0, or the NaN of the first value not finite
    };
    template <class L, class Visit>
    static void fields(L& lane, Visit&& visit) {
        visit(lane.base);
        visit(lane.sum);
        visit(lane.squares);
        visit(lane.budget);
        visit(lane.since);
        visit(lane.spoil);
    }
    static Lane<double> start(const Constants&) noexcept { return {0.0, 0.0, 0.0, 0.0, 0.0, 0.0}; }

    // The window (x and the period - 1 values before it) summed afresh: the
    // mean of the differences from x, oldest first, times the inverse
    // makes base = x + that mean; then the differences from base, oldest first,
    // are summed, and their squares.
    template <class V, class Past>
    static Lane<V> fresh(const Constants& c, const V& x, const Past& past, V spoil) noexcept {
        V offsets{};
        for (std::uint64_t back = c.period - 1; back > 0; --back) {
            offsets = offsets + (past(back - 1, 0) - x);
        }
        Lane<V> lane{};
        lane.base = x + offsets * c.inverse;
        for (std::uint64_t back = c.period; back > 0; --back) {
            const V y = (back == 1 ? x : past(back - 2, 0)) - lane.base;
            lane.sum = lane.sum + y;
            lane.squares = lane.squares + y * y;
        }
        lane.budget = lane.squares;
        lane.since = V{};
        lane.spoil = spoil;
        return lane;
    }

    // spoil += x - x keeps the first NaN or infinity's NaN. From the first
    // full window on, each step slides the sums: with d = x - base and
    // o = oldest - base, sum += d - o, squares += (d - o) * (d + o),
    // budget += squares, since += 1. The squared deviations are
    // m2 = squares - sum * (sum * inverse), inverse = 1 / length. The window is summed afresh at
    // the first full window, and at a step where since reaches the length or
    // budget > (64 * m2) * (since + 1) (so also when m2 is negative). Then middle = base +
    // sum * inverse, width = k * sqrt(m2 * inverse), upper = middle + width,
    // lower = middle - width (m2 below 0 taken as 0); all three are spoil's NaN once spoil is one.
    template <class V, class Past>
    static void step(const Constants& c, Lane<V>& lane, Position seen, const V* x, const Past& past,
                     V* out) noexcept {
        if (c.period == 0) {
            out[0] = out[1] = out[2] = stepped::none<V>();
            return;
        }
        const V spoil = stepped::add(lane.spoil, x[0] - x[0]);
        lane.spoil = spoil;
        if (seen < c.period - 1) {
            out[0] = out[1] = out[2] = stepped::none<V>();
            return;
        }
        Lane<V> next = lane;
        V m2{};
        if (seen == c.period - 1) {
            next = fresh(c, x[0], past, spoil);
            m2 = next.squares - next.sum * (next.sum * c.inverse);
        } else {
            const V d = x[0] - lane.base;
            const V o = past(c.period - 1, 0) - lane.base;
            next.sum = lane.sum + (d - o);
            next.squares = lane.squares + (d - o) * (d + o);
            next.budget = lane.budget + next.squares;
            next.since = lane.since + 1.0;
            m2 = next.squares - next.sum * (next.sum * c.inverse);
            const auto due =
                next.since >= c.length || next.budget > (budget_factor * m2) * (next.since + 1.0);
            if (stepped::any(due)) {
                const Lane<V> again = fresh(c, x[0], past, spoil);
                const V again_m2 = again.squares - again.sum * (again.sum * c.inverse);
                next.base = due ? again.base : next.base;
                next.sum = due ? again.sum : next.sum;
                next.squares = due ? again.squares : next.squares;
                next.budget = due ? again.budget : next.budget;
                next.since = due ? again.since : next.since;
                m2 = due ? again_m2 : m2;
            }
        }
        lane = next;
        // Rounding may leave a fresh sum's m2 a little below 0.
        m2 = m2 < 0.0 ? V{} : m2;
        const V middle = next.base + next.sum * c.inverse;
        const V width = c.k * stepped::root(m2 * c.inverse);
        const auto spoiled = spoil != spoil;
        out[0] = spoiled ? spoil : middle + width;
        out[1] = spoiled ? spoil : middle;
        out[2] = spoiled ? spoil : middle - width;
    }
    // Before the first full window, and always with period 0, the lane is at
    // its start but for spoil (0 or a NaN); after, since counts below the
    // length.
    static bool valid(const Constants& c, const Lane<double>& lane, Position seen) noexcept {
        if (lane.spoil != 0.0 && lane.spoil == lane.spoil) {
            return false;
        }
        if (c.period == 0 || seen < c.period) {
            Lane<double> first = start(c);
            first.spoil = lane.spoil;
            return std::memcmp(&lane, &first, sizeof lane) == 0;
        }
        return lane.since >= 0.0 && lane.since < c.length &&
               lane.since == __builtin_floor(lane.since);
    }

    static constexpr BbandsKernel<Bbands> kernel{};
};

}  // namespace quorvane::indicators
