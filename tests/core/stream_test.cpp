// Streams and universes give the batch kernels' values on the vectors,
// however a series is cut. Run on every architecture the vectors are: a
// universe's lanes live in other registers there than on x86-64.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <tuple>
#include <utility>
#include <vector>

#include "kernels.hpp"
#include "lanes.hpp"
#include "quorvane/stream.hpp"
#include "same.hpp"

namespace quorvane::testing {
namespace {

constexpr std::size_t width = 6;
constexpr std::size_t lanes_checked[] = {1, 5};  // one in a block of four, one after

// Makes a State of the vector's periods and `extra` (a universe's width).
template <class D, class State, class... Extra>
State make(const Vector& v, Extra... extra) {
    return [&]<std::size_t... P>(std::index_sequence<P...>) {
        return State(v.periods[P]..., extra...);
    }
    (std::make_index_sequence<D::periods.size()>());
}

// Feeds `inputs` to a single-series state in chunks of `chunk` values.
std::vector<Values> streamed(const Vector& v, std::size_t chunk) {
    const std::size_t n = v.inputs[0].size();
    std::vector<Values> out;
    with_indicator(v.kernel, [&]<class D>() {
        out.assign(D::outputs.size(), Values(n));
        auto state = make<D, typename D::Single>(v);
        for (std::size_t i = 0; i < n; i += chunk) {
            const std::size_t k = std::min(chunk, n - i);
            EXPECT_TRUE(state.prepare(k));
            feed<D>([&](auto... series) { state.run(series...); },
                    [&](std::size_t j) { return Series(v.inputs[j].data() + i, k); },
                    [&](std::size_t j) { return OutputSeries(out[j].data() + i, k); });
        }
    });
    return out;
}

// Feeds the vector's inputs to lanes 1 and 5 of a universe, and the same
// values reversed to the others.
std::vector<std::vector<Values>> universe(const Vector& v) {
    const std::size_t n = v.inputs[0].size();
    std::vector<std::vector<Values>> out;
    with_indicator(v.kernel, [&]<class D>() {
        auto lanes = make<D, typename D::Universe>(v, width);
        EXPECT_TRUE(lanes.allocate());
        const std::size_t outputs = D::outputs.size();
        out.assign(outputs, std::vector<Values>(width, Values(n)));
        std::vector<Values> bar(v.inputs.size(), Values(width));
        std::vector<Values> result(outputs, Values(width));
        for (std::size_t t = 0; t < n; ++t) {
            for (std::size_t k = 0; k < v.inputs.size(); ++k) {
                for (std::size_t j = 0; j < width; ++j) {
                    const bool checked =
                        std::ranges::find(lanes_checked, j) != std::end(lanes_checked);
                    bar[k][j] = v.inputs[k][checked ? t : n - 1 - t];
                }
            }
            EXPECT_TRUE(lanes.prepare(1));
            feed<D>([&](auto... series) { lanes.update(series...); },
                    [&](std::size_t k) { return Series(bar[k]); },
                    [&](std::size_t k) { return OutputSeries(result[k]); });
            for (std::size_t k = 0; k < outputs; ++k) {
                for (std::size_t j = 0; j < width; ++j) {
                    out[k][j][t] = result[k][j];
                }
            }
        }
    });
    return out;
}

// The recorded vectors, and two more per indicator of the list at its
// default periods, so that one without recorded vectors is checked too:
// one with specials, and one of prices alone, longer than a batch kernel's
// blocks, whose values no NaN hides.
std::vector<Vector> every_vector() {
    std::vector<Vector> all = vectors();
    Source source(5);
    Source plain(6);
    AllIndicators::for_each([&]<class D>() {
        Vector v{std::string(D::name), {D::defaults.begin(), D::defaults.end()}, {}};
        Vector long_one = v;
        for (std::size_t k = 0; k < D::inputs.size(); ++k) {
            v.inputs.push_back(source.adversarial(160, 9));
            long_one.inputs.push_back(plain.prices(600));
        }
        all.push_back(v);
        all.push_back(long_one);
    });
    return all;
}

TEST(Streams, GiveTheBatchValuesOnEveryVector) {
    for (const Vector& v : every_vector()) {
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
// with fewer, MOM's vector subtraction against its scalar one, DEMA's and TEMA's loops
// of seeded averages against its step, streams in any chunks and universe
// lanes.
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
    for (const char* kernel : {"sma", "atr", "mom", "dema", "tema", "wma"}) {
        for (const Period period : {Period{1}, Period{3}}) {
            const Vector v{kernel,
                           {period},
                           kernel == std::string("atr") ? bars : std::vector<Values>{bars[2]}};
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

template <class State>
std::vector<unsigned char> saved(const State& state) {
    std::vector<unsigned char> bytes(state.save(nullptr));
    state.save(bytes.data());
    return bytes;
}

// Bars [first, last) of `in` to a state of D, a universe's lane j reading
// 3j bars ahead.
template <class D, class State>
void feed_bars(State& state, const std::vector<Values>& in, std::size_t first, std::size_t last) {
    std::vector<Values> out(D::outputs.size(), Values(in[0].size()));
    const auto to = [&](std::size_t k) {
        return OutputSeries(out[k]);
    };
    if constexpr (requires { state.width(); }) {
        std::vector<Values> bar(in.size(), Values(state.width()));
        for (std::size_t t = first; t < last; ++t) {
            for (std::size_t k = 0; k < in.size(); ++k) {
                for (std::size_t j = 0; j < state.width(); ++j) {
                    bar[k][j] = in[k][(t + 3 * j) % in[k].size()];
                }
            }
            EXPECT_TRUE(state.prepare(1));
            feed<D>([&](auto... series) { state.update(series...); },
                    [&](std::size_t k) { return Series(bar[k]); }, to);
        }
    } else {
        EXPECT_TRUE(state.prepare(last - first));
        feed<D>([&](auto... series) { state.run(series...); },
                [&](std::size_t k) { return Series(in[k].data() + first, last - first); }, to);
    }
}

// A copy is the whole state: into a state with a history of its own, of
// other periods (and width) and then of the same, it saves the original's
// bytes, and still does after the same further bars (which read what is
// kept but not saved).
TEST(Assign, CopiesEveryField) {
    Source source(11);
    AllIndicators::for_each([&]<class D>() {
        std::vector<Values> in;
        for (std::size_t k = 0; k < D::inputs.size(); ++k) {
            in.push_back(source.adversarial(40, 3));
        }
        const auto check = [&](auto& original, auto& copy) {
            feed_bars<D>(original, in, 0, 7);
            for (const std::size_t more : {std::size_t{20}, std::size_t{40}}) {
                feed_bars<D>(copy, in, 5, 9);
                ASSERT_TRUE(copy.assign(original));
                EXPECT_EQ(saved(copy), saved(original)) << D::name;
                feed_bars<D>(original, in, 7, more);
                feed_bars<D>(copy, in, 7, more);
                EXPECT_EQ(saved(copy), saved(original)) << D::name;
            }
        };
        const Vector mine{std::string(D::name), {4, 6, 2}, in};
        const Vector other{std::string(D::name), {2, 3, 1}, in};
        auto single = make<D, typename D::Single>(mine);
        auto single_copy = make<D, typename D::Single>(other);
        check(single, single_copy);
        auto lanes = make<D, typename D::Universe>(mine, std::size_t{5});
        auto lanes_copy = make<D, typename D::Universe>(other, std::size_t{2});
        ASSERT_TRUE(lanes.allocate() && lanes_copy.allocate());
        check(lanes, lanes_copy);
    });
}

// Lanes restarted midway are fresh single states, the others going on.
TEST(Universes, RestartedLanesAreFreshSingleStates) {
    Source source(13);
    AllIndicators::for_each([&]<class D>() {
        std::vector<Values> in;
        for (std::size_t k = 0; k < D::inputs.size(); ++k) {
            in.push_back(source.adversarial(60, 5));
        }
        const Vector v{std::string(D::name), {3, 6, 4}, in};
        auto lanes = make<D, typename D::Universe>(v, width);
        ASSERT_TRUE(lanes.allocate());
        expect_restarted_lanes_fresh<D>(
            lanes, [&] { return make<D, typename D::Single>(v); }, in);
    });
}

}  // namespace
}  // namespace quorvane::testing
