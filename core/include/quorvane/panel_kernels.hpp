// Panels' memory layout, and the panel kernels of the indicators that have
// one: each runs a block of at most `block_lanes` columns of a panel over a
// tile of rows, its running values in vector registers (see panel.hpp).
#pragma once

#include <array>
#include <cstddef>
#include <type_traits>
#include <utility>

#include "quorvane/internal/lanes.hpp"
#include "quorvane/internal/steps.hpp"
#include "quorvane/series.hpp"

namespace quorvane::panel {

// Where the elements of a panel lie: element (t, j) is
// `row_step * t + column_step * j` elements from the start.
struct Layout {
    std::size_t rows = 0;
    std::size_t columns = 0;
    std::size_t row_step = 0;
    std::size_t column_step = 0;

    // Whether each row's elements are consecutive.
    bool rows_consecutive() const noexcept { return column_step == 1 || columns < 2; }
    // Whether each column's elements are consecutive.
    bool columns_consecutive() const noexcept { return row_step == 1 || rows < 2; }
};

struct Input {
    const void* data;
    Layout layout;
};

struct Output {
    void* data;
    Layout layout;
};

// Columns of one block: four vectors of lanes, whose chains overlap.
inline constexpr std::size_t block_lanes = 16;

// Rows of a tile of the universe path's gathers, and how far ahead lanes
// met one by one ask for their columns' lines. (The panel kernels size
// their tiles by the arrays they walk: panel_kernels.cpp.)
inline constexpr std::size_t tile_rows = 8;

// A block's running values, lane by lane, kept between its row tiles.
using Block = std::array<lanes::Lanes, block_lanes / lanes::count>;

// Rows [t0, t1) of the columns [first, first + count) of the panels, count
// <= block_lanes: one block over one tile. A block's parts come in order of
// rows, from row 0, with the same state, which the part at row 0 makes.
struct Part {
    std::size_t first;
    std::size_t count;
    std::size_t t0;
    std::size_t t1;
};

struct SmaBlock {
    Block sums;
};
struct EmaBlock {
    Block averages;
    // Each seeded column's seed row and the column, in order of rows, then
    // one past the last row; and the next of them.
    std::array<std::pair<std::size_t, std::size_t>, block_lanes + 1> seeds;
    std::size_t next_seed;
};
struct MacdBlock {
    Block f;
    Block s;
    Block g;
    std::array<NonFiniteMarks, block_lanes> marks;
};
struct AtrBlock {
    Block averages;
};

// A thread's columns [first, first + count): blocks of block_lanes from
// `first`, the last one maybe short, with a state each.
struct Span {
    std::size_t first;
    std::size_t count;
};

void sma_blocks(Period period, Input data, Output output, Span columns, SmaBlock* states) noexcept;
void ema_blocks(Period period, Input data, Output output, Span columns, EmaBlock* states) noexcept;
void macd_blocks(Period fast_period, Period slow_period, Period signal_period, Input data,
                 Output macd_output, Output signal_output, Output hist_output, Span columns,
                 MacdBlock* states) noexcept;
void atr_blocks(Period period, Input high, Input low, Input close, Output output, Span columns,
                AtrBlock* states) noexcept;

// The state type of a panel kernel: what its last parameter points to.
template <class Kernel>
struct BlockOf;
template <class... Parameters>
struct BlockOf<void (*)(Parameters...) noexcept> {
    using type =
        std::remove_pointer_t<typename decltype((std::type_identity<Parameters>{}, ...))::type>;
};

}  // namespace quorvane::panel
