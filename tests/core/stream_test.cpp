// Streams and universes give the batch kernels' values on the vectors,
// however a series is cut. Run on every architecture the vectors are: a
// universe's lanes live in other registers there than on x86-64.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <tuple>
#include <vector>

#include "kernels.hpp"
#include "quorvane/stream.hpp"
#include "same.hpp"

namespace quorvane::testing {
namespace {

constexpr std::size_t width = 6;
constexpr std::size_t lanes_checked[] = {1, 5};  // one in a block of four, one after

// MACD's periods, or any valid ones for the other kernels.
std::vector<Period> macd_periods(const Vector& v) {
    return v.kernel == "macd" ? v.periods : std::vector<Period>{1, 2, 1};
}

// Feeds `inputs` to a single-series state in chunks of `chunk` values.
std::vector<Values> streamed(const Vector& v, std::size_t chunk) {
    const std::size_t n = v.inputs[0].size();
    std::vector<Values> out(v.kernel == "macd" ? 3 : 1, Values(n));
    SmaStream sma(v.periods[0]);
    EmaStream ema(v.periods[0]);
    const std::vector<Period> p = macd_periods(v);
    MacdStream macd(p[0], p[1], p[2]);
    AtrStream atr(v.periods[0]);
    for (std::size_t i = 0; i < n; i += chunk) {
        const std::size_t k = std::min(chunk, n - i);
        const auto in = [&](std::size_t j) {
            return Series(v.inputs[j].data() + i, k);
        };
        const auto to = [&](std::size_t j) {
            return OutputSeries(out[j].data() + i, k);
        };
        if (v.kernel == "sma") {
            EXPECT_TRUE(sma.prepare(k));
            sma.run(in(0), to(0));
        } else if (v.kernel == "ema") {
            ema.run(in(0), to(0));
        } else if (v.kernel == "macd") {
            EXPECT_TRUE(macd.prepare(k));
            macd.run(in(0), to(0), to(1), to(2));
        } else {
            atr.run(in(0), in(1), in(2), to(0));
        }
    }
    return out;
}

// Feeds the vector's inputs to lanes 1 and 5 of a universe, and the same
// values reversed to the others.
std::vector<std::vector<Values>> universe(const Vector& v) {
    const std::size_t n = v.inputs[0].size();
    SmaUniverse sma(v.periods[0], width);
    EmaUniverse ema(v.periods[0], width);
    const std::vector<Period> p = macd_periods(v);
    MacdUniverse macd(p[0], p[1], p[2], width);
    AtrUniverse atr(v.periods[0], width);
    EXPECT_TRUE(sma.allocate() && ema.allocate() && macd.allocate() && atr.allocate());
    const std::size_t outputs = v.kernel == "macd" ? 3 : 1;
    std::vector<std::vector<Values>> out(outputs, std::vector<Values>(width, Values(n)));
    std::vector<Values> bar(v.inputs.size(), Values(width));
    std::vector<Values> result(outputs, Values(width));
    for (std::size_t t = 0; t < n; ++t) {
        for (std::size_t k = 0; k < v.inputs.size(); ++k) {
            for (std::size_t j = 0; j < width; ++j) {
                const bool checked = std::ranges::find(lanes_checked, j) != std::end(lanes_checked);
                bar[k][j] = v.inputs[k][checked ? t : n - 1 - t];
            }
        }
        const auto in = [&](std::size_t k) {
            return Series(bar[k]);
        };
        const auto to = [&](std::size_t k) {
            return OutputSeries(result[k]);
        };
        if (v.kernel == "sma") {
            EXPECT_TRUE(sma.prepare(1));
            sma.update(in(0), to(0));
        } else if (v.kernel == "ema") {
            ema.update(in(0), to(0));
        } else if (v.kernel == "macd") {
            EXPECT_TRUE(macd.prepare(1));
            macd.update(in(0), to(0), to(1), to(2));
        } else {
            atr.update(in(0), in(1), in(2), to(0));
        }
        for (std::size_t k = 0; k < outputs; ++k) {
            for (std::size_t j = 0; j < width; ++j) {
                out[k][j][t] = result[k][j];
            }
        }
    }
    return out;
}

TEST(Streams, GiveTheBatchValuesOnEveryVector) {
    for (const Vector& v : vectors()) {
        const std::vector<Values> expected = v.outputs();
        for (const std::size_t chunk : {std::size_t{1}, std::size_t{7}, v.inputs[0].size() + 1}) {
            const std::vector<Values> actual = streamed(v, chunk);
            for (std::size_t k = 0; k < expected.size(); ++k) {
                EXPECT_TRUE(same(expected[k], padded(actual[k])))
                    << v.kernel << " " << v.periods[0] << " in chunks of " << chunk;
            }
        }
        const auto lanes = universe(v);
        for (std::size_t k = 0; k < expected.size(); ++k) {
            for (const std::size_t j : lanes_checked) {
                EXPECT_TRUE(same(expected[k], padded(lanes[k][j])))
                    << v.kernel << " " << v.periods[0] << " lane " << j;
            }
        }
    }
}

// A heap that refuses any block larger than `limit` bytes.
struct SmallHeap {
    static inline std::size_t limit = 0;
    static void* grow(void* items, std::size_t bytes) noexcept {
        return bytes > limit ? nullptr : std::realloc(items, bytes);
    }
    static void release(void* items) noexcept { std::free(items); }
};

// When storage cannot double, it grows by exactly what the pushes need; when
// not even that fits, nothing changes.
TEST(Ring, GrowsByWhatIsNeededWhenItCannotDouble) {
    constexpr std::size_t slot = 2;
    SmallHeap::limit = 5 * slot * sizeof(double);
    BasicRing<SmallHeap> ring(100, slot);
    const auto contents = [&] {
        std::vector<double> values;
        for (std::size_t k = ring.held(); k-- > 0;) {
            values.insert(values.end(), ring.back(k), ring.back(k) + slot);
        }
        return values;
    };
    // (pushes to prepare for, whether they fit, capacity after)
    const std::tuple<std::uint64_t, bool, std::size_t> steps[] = {
        {3, true, 3}, {2, true, 5}, {1, false, 5}};
    double next = 1;
    for (const auto& [more, fits, capacity] : steps) {
        const std::vector<double> before = contents();
        EXPECT_EQ(ring.prepare(more), fits) << more;
        EXPECT_EQ(ring.capacity(), capacity) << more;
        EXPECT_EQ(contents(), before) << more;
        for (std::uint64_t k = 0; fits && k < more; ++k) {
            ring.next()[0] = next++;
            ring.next()[1] = -next;
            ring.advance();
        }
    }
    EXPECT_EQ(ring.held(), 5U);
}

// NaNs of both signs and several payloads; where two meet in a sum, the one
// that comes out shows the order of the operands. On one build every path
// performs the same operations in the same order, so their bits agree, NaNs
// included: the batch slide with 64 positions or more left (in blocks) and
// with fewer, streams in any chunks and universe lanes.
TEST(NanPayloads, AgreeOnEveryPathOfOneBuild) {
    static constexpr std::uint64_t nans[] = {0x7FF8000000000001, 0xFFF8000000000123,
                                             0x7FFC00000000ABCD, 0xFFFFFFFFFFFFFFFF};
    Source source(7);
    std::vector<Values> bars = source.bars(source.prices(65));
    for (Values& input : bars) {
        for (double& x : input) {
            if (source.below(3) == 0) {
                x = std::bit_cast<double>(nans[source.below(std::size(nans))]);
            }
        }
    }
    const auto exact = [](const Values& expected, const Values& actual) {
        return std::ranges::equal(expected, actual,
                                  [](double x, double y) { return bits(x) == bits(y); });
    };
    for (const char* kernel : {"sma", "atr"}) {
        for (const Period period : {Period{1}, Period{3}}) {
            const Vector v{kernel,
                           {period},
                           kernel == std::string("sma") ? std::vector<Values>{bars[2]} : bars};
            Values expected = v.outputs()[0];
            Vector cut = v;
            for (Values& input : cut.inputs) {
                input.pop_back();
            }
            Values shorter = cut.outputs()[0];
            shorter.insert(shorter.end() - guard, expected[guard + 64]);
            EXPECT_TRUE(exact(expected, shorter)) << kernel << " " << period << " cut at 64";
            for (const std::size_t chunk : {std::size_t{1}, std::size_t{7}, std::size_t{65}}) {
                EXPECT_TRUE(exact(expected, padded(streamed(v, chunk)[0])))
                    << kernel << " " << period << " in chunks of " << chunk;
            }
            const auto lanes = universe(v);
            for (const std::size_t j : lanes_checked) {
                EXPECT_TRUE(exact(expected, padded(lanes[0][j]))) << kernel << " lane " << j;
            }
        }
    }
}

}  // namespace
}  // namespace quorvane::testing
