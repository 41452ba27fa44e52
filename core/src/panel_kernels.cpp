// The panel kernels of the first four indicators: a block of columns runs
// down every row with its running values in vector registers, several
// vectors side by side so that their chains overlap. Each lane performs the
// scalar kernel's operations in the scalar kernel's order (the steps of
// internal/steps.hpp, as the universes use them), so column j gives what the
// batch kernel gives series j, bit for bit. What a lane does alone (EMA's
// seed, MACD's full steps, the first window's sums) it does with the scalar
// step, as the universes do.
#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <type_traits>
#include <utility>

#include "quorvane/internal/lanes.hpp"
#include "quorvane/panel_kernels.hpp"
#include "quorvane/stream.hpp"

namespace quorvane::panel {
namespace {

using lanes::Lanes;
constexpr std::size_t lane_count = lanes::count;
constexpr std::size_t vectors = block_lanes / lane_count;

#if defined(__x86_64__) && !defined(__clang__)
#define QUORVANE_LANES __attribute__((target_clones("avx2", "default")))
#else
#define QUORVANE_LANES
#endif

// One array's columns [first, first + count) of a block, count <= block_lanes.
// Lanes past `count` read as zero and are never written.
template <class Array>
struct Columns {
    Array array;
    std::size_t first;
    std::size_t count;

    std::size_t offset(std::size_t t, std::size_t j) const noexcept {
        return (array.layout.row_step * t + array.layout.column_step * (first + j)) *
               sizeof(double);
    }
    double at(std::size_t t, std::size_t j) const noexcept {
        double x;
        std::memcpy(&x, static_cast<const unsigned char*>(array.data) + offset(t, j), sizeof x);
        return x;
    }
    void set(std::size_t t, std::size_t j, double x) const noexcept {
        std::memcpy(static_cast<unsigned char*>(array.data) + offset(t, j), &x, sizeof x);
    }
    void fill_no_value(std::size_t from, std::size_t to) const noexcept {
        for (std::size_t t = from; t < to; ++t) {
            for (std::size_t j = 0; j < count; ++j) {
                set(t, j, no_value);
            }
        }
    }
    // Whether a whole block's row is one run of consecutive elements.
    bool whole_rows() const noexcept {
        return count == block_lanes && array.layout.column_step == 1;
    }
};

// The vectors of a block's rows: loaded whole where a row is one run
// (`Whole`), else lane by lane.
template <bool Whole, class Array>
struct Vectors {
    const Columns<Array>& columns;

    // Asks for lines that come next: the processor fetches ahead only
    // within a page, and a block's rows lie a panel row apart, mostly on
    // pages of their own. Whole rows: the next block's part of row t, which
    // the next block reads after this tile. Else the next tile of each
    // column, a cache line (eight rows) at a time.
    [[gnu::always_inline]] void fetch_next(std::size_t t) const noexcept {
        constexpr int write = std::is_same_v<Array, Output> ? 1 : 0;
        const auto* bytes = static_cast<const unsigned char*>(columns.array.data);
        if constexpr (Whole) {
            const unsigned char* next = bytes + columns.offset(t, 2 * block_lanes);
            __builtin_prefetch(next, write);
            __builtin_prefetch(next + 64, write);
        } else if (t % 8 == 0 && t + tile_rows < columns.array.layout.rows) {
            for (std::size_t j = 0; j < columns.count; ++j) {
                __builtin_prefetch(bytes + columns.offset(t + tile_rows, j), write);
            }
        }
    }

    [[gnu::always_inline]] Lanes load(std::size_t t, std::size_t v) const noexcept {
        if constexpr (Whole) {
            return lanes::load(
                static_cast<const unsigned char*>(columns.array.data) + columns.offset(t, 0),
                v * lane_count);
        } else {
            Lanes x{};
            for (std::size_t k = 0; k < lane_count && v * lane_count + k < columns.count; ++k) {
                x[k] = columns.at(t, v * lane_count + k);
            }
            return x;
        }
    }
    [[gnu::always_inline]] void store(std::size_t t, std::size_t v, Lanes x) const noexcept {
        if constexpr (Whole) {
            lanes::store(static_cast<unsigned char*>(columns.array.data) + columns.offset(t, 0),
                         v * lane_count, x);
        } else {
            for (std::size_t k = 0; k < lane_count && v * lane_count + k < columns.count; ++k) {
                columns.set(t, v * lane_count + k, x[k]);
            }
        }
    }
};

// Calls body(vectors(arrays)...) with every array read and written whole
// when all of them allow it, else lane by lane.
template <class Body, class... Arrays>
[[gnu::always_inline]] inline void with_vectors(Body&& body, const Arrays&... arrays) {
    if ((arrays.whole_rows() && ...)) {
        body(Vectors<true, decltype(arrays.array)>{arrays}...);
    } else {
        body(Vectors<false, decltype(arrays.array)>{arrays}...);
    }
}

// Every lane `value`. (Lanes{} + value would turn -0.0 into +0.0.)
[[gnu::always_inline]] inline Lanes splat(double value) noexcept {
    Lanes v;
    for (std::size_t k = 0; k < lane_count; ++k) {
        v[k] = value;
    }
    return v;
}

// A lane-by-lane comparison's result: all bits set where true.
using Mask = decltype(Lanes{} == Lanes{});

[[gnu::always_inline]] inline bool every(Mask mask) noexcept {
    std::int64_t all = -1;
    for (std::size_t k = 0; k < lane_count; ++k) {
        all &= mask[k];
    }
    return all == -1;
}

using In = Columns<Input>;
using Out = Columns<Output>;

double& lane(Block& block, std::size_t j) noexcept {
    return reinterpret_cast<double*>(block.data())[j];
}

}  // namespace

// As sma(): the first window summed in order, then one difference a row.
[[gnu::always_inline]] inline void sma_part(Period period, Input data, Output output, Part part,
                                            SmaBlock& state) noexcept {
    const In x{data, part.first, part.count};
    const Out out{output, part.first, part.count};
    const std::size_t rows = data.layout.rows;
    if (period - 1 >= rows) {
        out.fill_no_value(part.t0, part.t1);
        return;
    }
    const auto window = static_cast<std::size_t>(period);
    const SmaStep step(period);
    if (part.t0 == 0) {
        state.sums.fill(splat(step.sum));
        for (std::size_t t = 0; t < window; ++t) {
            for (std::size_t j = 0; j < part.count; ++j) {
                SmaStep::fill(lane(state.sums, j), x.at(t, j));
            }
        }
    }
    out.fill_no_value(part.t0, std::min(part.t1, window - 1));
    if (part.t0 <= window - 1 && window - 1 < part.t1) {
        for (std::size_t j = 0; j < part.count; ++j) {
            out.set(window - 1, j, SmaStep::value(lane(state.sums, j), step.scale));
        }
    }
    const double scale = step.scale;
    with_vectors(
        [&](auto in, auto to) __attribute__((always_inline)) {
            Block sums = state.sums;  // in registers: no address taken
            for (std::size_t t = std::max(part.t0, window); t < part.t1; ++t) {
                in.fetch_next(t);
                to.fetch_next(t);
                for (std::size_t v = 0; v < vectors; ++v) {
                    to.store(t, v,
                             SmaStep::slide(sums[v], in.load(t, v), in.load(t - window, v), scale));
                }
            }
            state.sums = sums;
        },
        x, out);
}

// As ema(): the block steps together from the first row, a lane holding
// NaN until its column seeds on its own first run of `period` finite values
// (found first, column by column); at that row the lane takes its seed.
[[gnu::always_inline]] inline void ema_part(Period period, Input data, Output output, Part part,
                                            EmaBlock& state) noexcept {
    const In x{data, part.first, part.count};
    const Out out{output, part.first, part.count};
    const std::size_t rows = data.layout.rows;
    if (period - 1 >= rows) {
        out.fill_no_value(part.t0, part.t1);
        return;
    }
    const auto window = static_cast<std::size_t>(period);
    const EmaStep step(period);
    if (part.t0 == 0) {
        std::size_t seeding = 0;
        for (std::size_t j = 0; j < part.count; ++j) {
            std::size_t run = 0;
            for (std::size_t t = 0; t < rows; ++t) {
                run = is_finite_bits(x.at(t, j)) ? run + 1 : 0;
                if (run == window) {
                    state.seeds[seeding++] = {t, j};
                    break;
                }
            }
        }
        std::sort(state.seeds.begin(), state.seeds.begin() + static_cast<std::ptrdiff_t>(seeding));
        state.seeds[seeding] = {rows, 0};
        state.next_seed = 0;
        state.averages.fill(splat(no_value));
    }
    for (std::size_t t = part.t0; t < part.t1;) {
        // Up to the next seed's row, together.
        const std::size_t stop = std::min(part.t1, state.seeds[state.next_seed].first + 1);
        with_vectors(
            [&](auto in, auto to) __attribute__((always_inline)) {
                Block averages = state.averages;
                for (; t < stop; ++t) {
                    in.fetch_next(t);
                    to.fetch_next(t);
                    for (std::size_t v = 0; v < vectors; ++v) {
                        const Lanes value = in.load(t, v);
                        const Lanes next = step.next(averages[v], value);
                        // value - value is +0 for every finite value, NaN otherwise.
                        const auto taken = (value - value == 0.0) & (averages[v] == averages[v]);
                        averages[v] = taken ? next : averages[v];
                        to.store(t, v, taken ? next : splat(no_value));
                    }
                }
                state.averages = averages;
            },
            x, out);
        for (; state.seeds[state.next_seed].first + 1 == t; ++state.next_seed) {
            const std::size_t j = state.seeds[state.next_seed].second;
            EmaSeed seed;
            for (std::size_t k = t - window; k < t; ++k) {
                seed.add(x.at(k, j), period);
            }
            lane(state.averages, j) = step.seed(seed.sum);
            out.set(t - 1, j, lane(state.averages, j));
        }
    }
}

// As macd(): every lane tries the steady step; a lane whose new signal is
// NaN keeps its values and takes the full step alone, its trailing window
// read from its column.
[[gnu::always_inline]] inline void macd_part(Period fast_period, Period slow_period,
                                             Period signal_period, Input data, Output macd_output,
                                             Output signal_output, Output hist_output, Part part,
                                             MacdBlock& state) noexcept {
    const In x{data, part.first, part.count};
    const Out macd_out{macd_output, part.first, part.count};
    const Out signal_out{signal_output, part.first, part.count};
    const Out hist_out{hist_output, part.first, part.count};
    const std::size_t count = part.count;
    const MacdPeriods periods(fast_period, slow_period, signal_period);
    if (part.t0 == 0) {
        state.marks.fill(NonFiniteMarks{});
        state.f.fill(splat(no_value));
        state.s.fill(splat(no_value));
        state.g.fill(splat(no_value));
    }
    const auto warm = static_cast<std::size_t>(std::min<Position>(slow_period - 1, part.t1));
    for (std::size_t t = part.t0; t < warm; ++t) {
        for (std::size_t j = 0; j < count; ++j) {
            state.marks[j].note(t, x.at(t, j));
        }
    }
    for (const Out& out : {macd_out, signal_out, hist_out}) {
        out.fill_no_value(part.t0, warm);
    }
    const EmaStep fast = periods.fast;
    const EmaStep slow = periods.slow;
    const EmaStep signal = periods.signal;
    // Lanes past the block's columns read zeros and never seed: only the
    // block's own lanes are asked whether they kept their step.
    std::array<Mask, vectors> real_lanes{};
    for (std::size_t j = 0; j < block_lanes; ++j) {
        real_lanes[j / lane_count][j % lane_count] = j < count ? -1 : 0;
    }
    const Mask real = real_lanes[0] | ~real_lanes[0];  // every lane set
    for (std::size_t t = std::max(part.t0, warm); t < part.t1;) {
        // Rows together until one where a lane's new signal is NaN.
        bool all_kept = true;
        with_vectors(
            [&](auto in, auto macd_to, auto signal_to, auto hist_to)
                __attribute__((always_inline)) {
                    Block f = state.f;
                    Block s = state.s;
                    Block g = state.g;
                    while (t < part.t1 && all_kept) {
                        in.fetch_next(t);
                        macd_to.fetch_next(t);
                        signal_to.fetch_next(t);
                        hist_to.fetch_next(t);
                        Mask kept_all = real;
                        for (std::size_t v = 0; v < vectors; ++v) {
                            const Lanes value = in.load(t, v);
                            const Lanes next_f = fast.next(f[v], value);
                            const Lanes next_s = slow.next(s[v], value);
                            const Lanes m = next_f - next_s;
                            const Lanes next_g = signal.next(g[v], m);
                            const auto kept = next_g == next_g;
                            f[v] = kept ? next_f : f[v];
                            s[v] = kept ? next_s : s[v];
                            g[v] = kept ? next_g : g[v];
                            macd_to.store(t, v, m);
                            signal_to.store(t, v, next_g);
                            hist_to.store(t, v, m - next_g);
                            kept_all &= kept | ~real_lanes[v];
                        }
                        all_kept = every(kept_all);
                        ++t;
                    }
                    state.f = f;
                    state.s = s;
                    state.g = g;
                },
            x, macd_out, signal_out, hist_out);
        if (all_kept) {
            break;
        }
        const std::size_t row = t - 1;
        for (std::size_t j = 0; j < count; ++j) {
            if (!is_nan(signal_out.at(row, j))) {
                continue;
            }
            const MacdValues values = MacdStep::full_step(
                periods, row, x.at(row, j), [&](Period back) { return x.at(row - back, j); },
                lane(state.f, j), lane(state.s, j), lane(state.g, j), state.marks[j]);
            macd_out.set(row, j, values.macd);
            signal_out.set(row, j, values.signal);
            hist_out.set(row, j, values.hist);
        }
    }
}

// As atr(): the first `period` true ranges summed in order by each lane,
// then the smoothing over the block.
[[gnu::always_inline]] inline void atr_part(Period period, Input high, Input low, Input close,
                                            Output output, Part part, AtrBlock& state) noexcept {
    const In h{high, part.first, part.count};
    const In l{low, part.first, part.count};
    const In c{close, part.first, part.count};
    const Out out{output, part.first, part.count};
    const std::size_t rows = high.layout.rows;
    if (period == 0 || period >= rows) {
        out.fill_no_value(part.t0, part.t1);
        return;
    }
    const auto window = static_cast<std::size_t>(period);
    const AtrStep step(period);
    if (part.t0 == 0) {
        state.averages.fill(Lanes{});
        for (std::size_t j = 0; j < part.count; ++j) {
            double sum = 0.0;
            for (std::size_t t = 1; t <= window; ++t) {
                sum = add_nan_first(sum, true_range(h.at(t, j), l.at(t, j), c.at(t - 1, j)));
            }
            lane(state.averages, j) = step.seed(sum);
        }
    }
    out.fill_no_value(part.t0, std::min(part.t1, window));
    if (part.t0 <= window && window < part.t1) {
        for (std::size_t j = 0; j < part.count; ++j) {
            out.set(window, j, lane(state.averages, j));
        }
    }
    with_vectors(
        [&](auto highs, auto lows, auto closes, auto to) __attribute__((always_inline)) {
            Block averages = state.averages;
            for (std::size_t t = std::max(part.t0, window + 1); t < part.t1; ++t) {
                highs.fetch_next(t);
                lows.fetch_next(t);
                closes.fetch_next(t);
                to.fetch_next(t);
                for (std::size_t v = 0; v < vectors; ++v) {
                    const Lanes range =
                        true_range_lanes(highs.load(t, v), lows.load(t, v), closes.load(t - 1, v));
                    averages[v] = step.smooth(averages[v], range);
                    to.store(t, v, averages[v]);
                }
            }
            state.averages = averages;
        },
        h, l, c, out);
}

// Each thread's columns, tile by tile of rows, block by block: the setup of
// a block's part inlined into one loop.
//
// A tile's rows times the arrays read and written make the runs of memory
// a tile walks at once, one per row and array; past about sixteen of them
// the processor stops fetching ahead for some (measured on a C-ordered
// panel of 500 columns: MACD and ATR, with four arrays, took 1.6 times as
// long in tiles of eight rows as in tiles of four).
template <std::size_t Arrays, class Part_>
[[gnu::always_inline]] inline void each_part(Span columns, std::size_t rows, Part_&& part) {
    constexpr std::size_t rows_per_tile = std::max<std::size_t>(2, 16 / Arrays);
    for (std::size_t t0 = 0; t0 < rows; t0 += rows_per_tile) {
        const std::size_t t1 = std::min(rows, t0 + rows_per_tile);
        for (std::size_t b = 0; b * block_lanes < columns.count; ++b) {
            part(Part{columns.first + b * block_lanes,
                      std::min(block_lanes, columns.count - b * block_lanes), t0, t1},
                 b);
        }
    }
}

QUORVANE_LANES void sma_blocks(Period period, Input data, Output output, Span columns,
                               SmaBlock* states) noexcept {
    each_part<2>(
        columns, data.layout.rows, [&](Part part, std::size_t b) __attribute__((always_inline)) {
            sma_part(period, data, output, part, states[b]);
        });
}

QUORVANE_LANES void ema_blocks(Period period, Input data, Output output, Span columns,
                               EmaBlock* states) noexcept {
    each_part<2>(
        columns, data.layout.rows, [&](Part part, std::size_t b) __attribute__((always_inline)) {
            ema_part(period, data, output, part, states[b]);
        });
}

QUORVANE_LANES void macd_blocks(Period fast_period, Period slow_period, Period signal_period,
                                Input data, Output macd_output, Output signal_output,
                                Output hist_output, Span columns, MacdBlock* states) noexcept {
    each_part<4>(
        columns, data.layout.rows, [&](Part part, std::size_t b) __attribute__((always_inline)) {
            macd_part(fast_period, slow_period, signal_period, data, macd_output, signal_output,
                      hist_output, part, states[b]);
        });
}

QUORVANE_LANES void atr_blocks(Period period, Input high, Input low, Input close, Output output,
                               Span columns, AtrBlock* states) noexcept {
    each_part<4>(
        columns, high.layout.rows, [&](Part part, std::size_t b) __attribute__((always_inline)) {
            atr_part(period, high, low, close, output, part, states[b]);
        });
}

}  // namespace quorvane::panel
