// An indicator made from one step (quorvane/stepped.hpp) gives the same bits
// from its batch kernel, its stream in any chunks, every lane of a universe
// and a state saved and loaded midway. The indicator here exists for the
// test: two inputs, two outputs, running values, earlier bars and a NaN
// choice made by select.
#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include "kernels.hpp"
#include "lanes.hpp"
#include "quorvane/descriptor.hpp"
#include "quorvane/panel.hpp"
#include "quorvane/stepped.hpp"
#include "same.hpp"

namespace quorvane::testing {
namespace {

// Over the midpoint m = (high + low) * 0.5: the sum of the last `period`
// midpoints times 1 / period (NaN until there are `period`), and m minus the
// previous finite midpoint (a NaN midpoint is passed over).
struct Midpoint : descriptor::OnePeriod {
    static constexpr std::array<std::string_view, 2> inputs{"high", "low"};
    static constexpr std::array<std::string_view, 2> outputs{"mean", "change"};
    static constexpr std::uint64_t single_tag = 0x517600F1;
    static constexpr std::uint64_t universe_tag = 0x517600F2;

    struct Constants {
        Period period;
        double scale;
    };
    static Constants constants(const std::array<Period, 1>& p) noexcept {
        return {p[0], 1.0 / static_cast<double>(p[0])};
    }
    static std::uint64_t history(const Constants& c) noexcept { return c.period; }
    static std::uint64_t warm(const Constants& c) noexcept { return c.period; }

    template <class V>
    struct Lane {
        V sum;
        V previous;  // the last finite midpoint, NaN before one
    };
    template <class L, class Visit>
    static void fields(L& lane, Visit&& visit) {
        visit(lane.sum);
        visit(lane.previous);
    }
    static Lane<double> start(const Constants&) noexcept { return {0.0, no_value}; }

    template <class V, class Past>
    static void step(const Constants& c, Lane<V>& lane, Position seen, const V* x, const Past& past,
                     V* out) noexcept {
        const V m = stepped::add(x[0], x[1]) * 0.5;
        lane.sum = stepped::add(lane.sum, m);
        if (seen >= c.period) {
            lane.sum = stepped::subtract(
                lane.sum, stepped::add(past(c.period - 1, 0), past(c.period - 1, 1)) * 0.5);
        }
        out[0] = seen + 1 >= c.period ? lane.sum * c.scale : V{} + no_value;
        out[1] = stepped::subtract(m, lane.previous);
        lane.previous = m == m ? m : lane.previous;
    }
    static bool valid(const Constants&, const Lane<double>&, Position) noexcept { return true; }
};

using Outputs = std::vector<Values>;

Outputs batch(Period period, const std::vector<Values>& in) {
    const std::size_t n = in[0].size();
    Outputs out(2, Values(n));
    stepped::Kernel<Midpoint>{}(period, Series(in[0]), Series(in[1]), OutputSeries(out[0]),
                                OutputSeries(out[1]));
    return out;
}

bool exact(const Outputs& expected, const Outputs& actual) {
    return std::ranges::equal(expected, actual, [](const Values& x, const Values& y) {
        return std::ranges::equal(x, y, [](double a, double b) { return bits(a) == bits(b); });
    });
}

// Midpoints of whole numbers below 2^20 are exact, and so is every sum of
// them: the window's mean is the plain sum of its values times 1 / period.
TEST(Stepped, KernelComputesItsDefinition) {
    Source source(3);
    std::vector<Values> in(2, Values(40));
    for (Values& series : in) {
        for (double& x : series) {
            x = static_cast<double>(source.below(1 << 20));
        }
    }
    for (const Period period : {Period{1}, Period{4}}) {
        const Outputs out = batch(period, in);
        for (std::size_t t = 0; t < 40; ++t) {
            double sum = 0.0;
            for (std::size_t k = t + 1 - std::min<std::size_t>(t + 1, period); k <= t; ++k) {
                sum += (in[0][k] + in[1][k]) * 0.5;
            }
            const double mean = sum * (1.0 / static_cast<double>(period));
            EXPECT_EQ(bits(out[0][t]), bits(t + 1 >= period ? mean : no_value)) << period << t;
            const double change =
                t == 0 ? no_value : (in[0][t] + in[1][t] - in[0][t - 1] - in[1][t - 1]) * 0.5;
            EXPECT_EQ(bits(out[1][t]), bits(change)) << period << " " << t;
        }
    }
}

// Streams in chunks, lanes of universes of several widths (vectors and the
// scalar tail), and states saved and loaded midway all give the kernel's bits.
TEST(Stepped, StreamsLanesAndLoadedStatesGiveTheKernelsBits) {
    Source source(11);
    const std::vector<Values> in = source.bars(source.adversarial(90, 7));
    const std::size_t n = in[0].size();
    for (const Period period : {Period{1}, Period{3}, Period{20}}) {
        const Outputs expected = batch(period, {in[0], in[1]});
        for (const std::size_t chunk : {std::size_t{1}, std::size_t{7}, n + 1}) {
            stepped::Stream<Midpoint> stream(period);
            Outputs out(2, Values(n));
            for (std::size_t i = 0; i < n; i += chunk) {
                const std::size_t k = std::min(chunk, n - i);
                ASSERT_TRUE(stream.prepare(k));
                stream.run(Series(in[0].data() + i, k), Series(in[1].data() + i, k),
                           OutputSeries(out[0].data() + i, k), OutputSeries(out[1].data() + i, k));
                // A copy through saved bytes goes on in its place.
                std::vector<unsigned char> bytes(stream.save(nullptr));
                stream.save(bytes.data());
                stepped::Stream<Midpoint> loaded(1);
                ASSERT_TRUE(loaded.load(bytes.data(), bytes.size()));
                ASSERT_FALSE(loaded.load(bytes.data(), bytes.size() - 8));
                stream = std::move(loaded);
            }
            EXPECT_TRUE(exact(expected, out)) << period << " in chunks of " << chunk;
            // update and peek agree with run on the next bar.
            const auto peeked = stream.peek(1.0, 2.0);
            ASSERT_TRUE(stream.prepare(1));
            const auto updated = stream.update(1.0, 2.0);
            EXPECT_EQ(bits(peeked[0]), bits(updated[0]));
            EXPECT_EQ(bits(peeked[1]), bits(updated[1]));
        }
        for (const std::size_t width : {std::size_t{1}, std::size_t{6}, std::size_t{9}}) {
            stepped::Universe<Midpoint> lanes(period, width);
            ASSERT_TRUE(lanes.allocate());
            Outputs out(2 * width, Values(n));
            std::vector<Values> bar(2, Values(width));
            Values result_mean(width), result_change(width);
            for (std::size_t t = 0; t < n; ++t) {
                for (std::size_t j = 0; j < width; ++j) {
                    // Lane j starts j bars late, fed the first bar until then.
                    const std::size_t at = t >= j ? t - j : 0;
                    bar[0][j] = in[0][at];
                    bar[1][j] = in[1][at];
                }
                ASSERT_TRUE(lanes.prepare(1));
                lanes.update(Series(bar[0]), Series(bar[1]), OutputSeries(result_mean),
                             OutputSeries(result_change));
                for (std::size_t j = 0; j < width; ++j) {
                    out[2 * j][t] = result_mean[j];
                    out[2 * j + 1][t] = result_change[j];
                }
                if (t == n / 2) {
                    std::vector<unsigned char> bytes(lanes.save(nullptr));
                    lanes.save(bytes.data());
                    stepped::Universe<Midpoint> loaded(1, 0);
                    ASSERT_TRUE(loaded.load(bytes.data(), bytes.size()));
                    ASSERT_FALSE(loaded.load(bytes.data(), bytes.size() - 8));
                    lanes = std::move(loaded);
                }
            }
            // Lane 0 was fed the series itself.
            EXPECT_TRUE(exact(expected, {out[0], out[1]})) << period << " width " << width;
            // Lane j fed the first bar j times too many: its later values are
            // those of that longer series.
            const std::size_t j = width - 1;
            std::vector<Values> longer(2);
            for (std::size_t k = 0; k < 2; ++k) {
                longer[k].assign(j, in[k][0]);
                longer[k].insert(longer[k].end(), in[k].begin(),
                                 in[k].end() - static_cast<std::ptrdiff_t>(j));
            }
            EXPECT_TRUE(exact(batch(period, longer), {out[2 * j], out[2 * j + 1]}))
                << period << " width " << width << " lane " << j;
        }
    }
}

// Its panels run bar by bar through the universe (it has no panel kernel)
// where rows are read in place or gathered, and column by column through
// the kernel where columns are consecutive: column j gives the kernel's bits.
struct MidpointPanel : Midpoint {
    static constexpr stepped::Kernel<Midpoint> kernel{};
    using Universe = stepped::Universe<Midpoint>;
};

TEST(Stepped, PanelsGiveTheKernelsBitsInEveryLayout) {
    Source source(5);
    const std::size_t rows = 70;
    const std::size_t columns = panel::block_columns + 3;
    std::vector<std::vector<Values>> series(columns);  // by column, then input
    for (auto& inputs : series) {
        inputs = source.bars(source.adversarial(rows, 9));
        inputs.resize(2);
    }
    for (const auto& [in_c, out_c] : {std::pair{true, true}, std::pair{false, true},
                                      std::pair{true, false}, std::pair{false, false}}) {
        const auto layout = [&](bool c_order) {
            return c_order ? panel::Layout{rows, columns, columns, 1}
                           : panel::Layout{rows, columns, 1, rows};
        };
        const auto index = [&](bool c_order, std::size_t t, std::size_t j) {
            return c_order ? t * columns + j : j * rows + t;
        };
        std::vector<Values> in(2, Values(rows * columns));
        for (std::size_t k = 0; k < 2; ++k) {
            for (std::size_t j = 0; j < columns; ++j) {
                for (std::size_t t = 0; t < rows; ++t) {
                    in[k][index(in_c, t, j)] = series[j][k][t];
                }
            }
        }
        for (const std::size_t threads : {1U, 3U}) {
            std::vector<Values> out(2, Values(rows * columns, sentinel));
            panel::Run<MidpointPanel> work(
                {4}, {panel::Input{in[0].data(), layout(in_c)}, {in[1].data(), layout(in_c)}},
                {panel::Output{out[0].data(), layout(out_c)}, {out[1].data(), layout(out_c)}});
            ASSERT_TRUE(work.prepare());
            work.run(threads);
            for (std::size_t j = 0; j < columns; ++j) {
                Outputs column(2, Values(rows));
                for (std::size_t k = 0; k < 2; ++k) {
                    for (std::size_t t = 0; t < rows; ++t) {
                        column[k][t] = out[k][index(out_c, t, j)];
                    }
                }
                EXPECT_TRUE(exact(batch(4, series[j]), column))
                    << "column " << j << " layouts " << in_c << out_c << " threads " << threads;
            }
        }
    }
}

// Lanes restarted midway are fresh streams, the others going on.
TEST(Stepped, RestartedLanesAreFreshStreams) {
    Source source(17);
    const std::vector<Values> in = source.bars(source.adversarial(60, 7));
    for (const Period period : {Period{1}, Period{4}}) {
        stepped::Universe<Midpoint> lanes(period, 6);
        ASSERT_TRUE(lanes.allocate());
        expect_restarted_lanes_fresh<Midpoint>(
            lanes, [&] { return stepped::Stream<Midpoint>(period); }, {in[0], in[1]});
    }
}

}  // namespace
}  // namespace quorvane::testing
