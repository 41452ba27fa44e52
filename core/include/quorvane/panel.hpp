// Panels: many series of one length side by side, as a 2-D array whose
// rows are bars (axis 0, time) and whose columns are series. An indicator
// runs over a panel in one call, whatever its memory layout, through the
// indicator's universe state: a block of columns advances one row at a time
// with the lanes code of the streaming universes, so column j gives what the
// batch kernel gives series j, bit for bit.
//
// A panel whose columns are each consecutive in memory (Fortran order) runs
// the batch kernel column by column instead: the same values, bit for bit,
// and faster there than gathering rows. Otherwise a block reads a row where
// the row's elements are consecutive (C order), or gathers a tile of rows
// into consecutive storage first and scatters the outputs back, so no panel
// is copied whole. Blocks and columns are independent and run on several
// threads; which thread runs which changes nothing in the results.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstring>
#include <memory>
#include <new>
#include <utility>

#include "quorvane/panel_kernels.hpp"
#include "quorvane/series.hpp"
#include "quorvane/stepped.hpp"
#include "quorvane/stream.hpp"

namespace quorvane::panel {

// Runs task(context, k) once for every k below `tasks`, on the calling thread
// and at most `threads - 1` more. A thread that cannot be started leaves its
// share to the others.
void run_tasks(std::size_t tasks, std::size_t threads, void (*task)(void*, std::size_t),
               void* context) noexcept;

// Columns per block: enough lanes in a row to spread a bar's fixed costs,
// few enough that a block's state and tiles stay in the second-level cache.
inline constexpr std::size_t block_columns = 256;

namespace detail {

inline std::size_t offset(const Layout& layout, std::size_t t, std::size_t j) noexcept {
    return (layout.row_step * t + layout.column_step * j) * sizeof(double);
}

// The tile rows [t0, t0 + rows) of columns [first, first + width), into
// consecutive rows of `width`.
inline void gather(const Input& in, std::size_t t0, std::size_t rows, std::size_t first,
                   std::size_t width, double* tile) noexcept {
    const auto* bytes = static_cast<const unsigned char*>(in.data);
    for (std::size_t j = 0; j < width; ++j) {
        for (std::size_t t = 0; t < rows; ++t) {
            std::memcpy(&tile[t * width + j], bytes + offset(in.layout, t0 + t, first + j),
                        sizeof(double));
        }
    }
}

inline void scatter(const double* tile, std::size_t t0, std::size_t rows, std::size_t first,
                    std::size_t width, const Output& out) noexcept {
    auto* bytes = static_cast<unsigned char*>(out.data);
    for (std::size_t j = 0; j < width; ++j) {
        for (std::size_t t = 0; t < rows; ++t) {
            std::memcpy(bytes + offset(out.layout, t0 + t, first + j), &tile[t * width + j],
                        sizeof(double));
        }
    }
}

}  // namespace detail

// One indicator over one panel: every input and output has the same rows
// and columns, each in its own layout. Outputs share no memory with inputs
// or with each other.
template <class D>
class Run {
public:
    static constexpr std::size_t input_count = D::inputs.size();
    static constexpr std::size_t output_count = D::outputs.size();
    using Periods = std::array<Period, D::periods.size()>;

    Run(const Periods& periods, const std::array<Input, input_count>& in,
        const std::array<Output, output_count>& out) noexcept
        : periods_(periods),
          in_(in),
          out_(out),
          rows_(in[0].layout.rows),
          columns_(in[0].layout.columns),
          mode_(mode_of(in, out)),
          blocks_(mode_ == Mode::lanes ? (columns_ + block_lanes - 1) / block_lanes
                  : mode_ == Mode::universe
                      ? (columns_ + block_columns - 1) / block_columns
                      : (columns_ + columns_per_task - 1) / columns_per_task) {}

    // Everything the blocks need, before any output is written: false when
    // memory runs out, and then nothing has been written.
    bool prepare() noexcept {
        if (rows_ == 0 || columns_ == 0) {
            return true;
        }
        if (mode_ == Mode::lanes) {
            lanes_.reset(new (std::nothrow) LanesState[blocks_]);
            return lanes_ != nullptr;
        }
        if (mode_ == Mode::universe) {
            return prepare_universes();
        }
        return true;
    }

    // Every block, on up to `threads` threads. After a successful prepare().
    void run(std::size_t threads) noexcept {
        if (rows_ == 0 || columns_ == 0) {
            return;
        }
        if (mode_ == Mode::lanes) {
            // Each thread takes a run of blocks and walks them row tile by
            // row tile, so that the rows it reads are read across.
            groups_ = std::min(threads, blocks_);
            run_tasks(groups_, groups_, &Run::run_lanes, this);
        } else if (mode_ == Mode::universe) {
            run_tasks(blocks_, threads, &Run::run_universe, this);
        } else {
            run_tasks(blocks_, threads, &Run::run_columns, this);
        }
    }

private:
    static constexpr bool has_panel_kernel = requires { D::panel_kernel; };
    // Columns a thread takes at a time when the kernel runs column by column.
    static constexpr std::size_t columns_per_task = 4;

    enum class Mode : unsigned char { lanes, columns, universe };

    // Columns that are consecutive run the batch kernel, at its speed: lanes
    // there would load and store lane by lane. A kernel that needs storage
    // beside its arrays runs in universes, which allocate it beforehand.
    static Mode mode_of(const std::array<Input, input_count>& in,
                        const std::array<Output, output_count>& out) noexcept {
        bool all = true;
        for (const Input& array : in) {
            all = all && array.layout.columns_consecutive();
        }
        for (const Output& array : out) {
            all = all && array.layout.columns_consecutive();
        }
        return all && !stepped::Working<D> ? Mode::columns
               : has_panel_kernel          ? Mode::lanes
                                           : Mode::universe;
    }

    // The panel kernel, when the descriptor has one.

    template <class T>
    struct LanesOf {
        using type = char;
    };
    template <class T>
    requires requires { T::panel_kernel; }
    struct LanesOf<T> {
        using type = typename BlockOf<std::remove_cv_t<decltype(T::panel_kernel)>>::type;
    };
    using LanesState = typename LanesOf<D>::type;

    static void run_lanes(void* context, std::size_t group) noexcept {
        const Run& run = *static_cast<Run*>(context);
        const std::size_t first = group * run.blocks_ / run.groups_;
        const std::size_t last = (group + 1) * run.blocks_ / run.groups_;
        if (first == last) {
            return;
        }
        const std::size_t column = first * block_lanes;
        run.lanes({column, std::min(run.columns_, last * block_lanes) - column},
                  run.lanes_.get() + first, std::make_index_sequence<D::periods.size()>(),
                  std::make_index_sequence<input_count>(),
                  std::make_index_sequence<output_count>());
    }

    template <std::size_t... P, std::size_t... I, std::size_t... O>
    void lanes(Span columns, LanesState* states, std::index_sequence<P...>,
               std::index_sequence<I...>, std::index_sequence<O...>) const noexcept {
        if constexpr (has_panel_kernel) {
            D::panel_kernel(periods_[P]..., in_[I]..., out_[O]..., columns, states);
        }
    }

    // The batch kernel column by column, where every column is consecutive.

    static void run_columns(void* context, std::size_t task) noexcept {
        const Run& run = *static_cast<Run*>(context);
        const std::size_t last = std::min(run.columns_, (task + 1) * columns_per_task);
        for (std::size_t j = task * columns_per_task; j < last; ++j) {
            run.column(j, std::make_index_sequence<D::periods.size()>(),
                       std::make_index_sequence<input_count>(),
                       std::make_index_sequence<output_count>());
        }
    }

    template <std::size_t... P, std::size_t... I, std::size_t... O>
    void column(std::size_t j, std::index_sequence<P...>, std::index_sequence<I...>,
                std::index_sequence<O...>) const noexcept {
        if constexpr (!stepped::Working<D>) {
            D::kernel(periods_[P]...,
                      Series(static_cast<const unsigned char*>(in_[I].data) +
                                 detail::offset(in_[I].layout, 0, j),
                             rows_)...,
                      OutputSeries(static_cast<unsigned char*>(out_[O].data) +
                                       detail::offset(out_[O].layout, 0, j),
                                   rows_)...);
        }
    }

    // The universe state, bar by bar, over blocks of columns.

    using Universe = typename D::Universe;

    struct UniverseBlock {
        std::unique_ptr<Universe> universe;
        Buffer<double> tiles;  // the gathered tiles, one per array not read by rows
    };

    bool prepare_universes() noexcept {
        universes_.reset(new (std::nothrow) UniverseBlock[blocks_]);
        if (universes_ == nullptr) {
            return false;
        }
        std::size_t tile_count = 0;
        for (const Input& in : in_) {
            tile_count += in.layout.rows_consecutive() ? 0U : 1U;
        }
        for (const Output& out : out_) {
            tile_count += out.layout.rows_consecutive() ? 0U : 1U;
        }
        for (std::size_t b = 0; b < blocks_; ++b) {
            UniverseBlock& block = universes_[b];
            const std::size_t width = block_width(b);
            block.universe = make_universe(width, std::make_index_sequence<D::periods.size()>());
            if (block.universe == nullptr || !block.universe->allocate() ||
                !block.universe->prepare(rows_) ||
                !block.tiles.resize(tile_count * tile_rows * width)) {
                return false;
            }
        }
        return true;
    }

    std::size_t block_width(std::size_t b) const noexcept {
        return std::min(block_columns, columns_ - b * block_columns);
    }

    template <std::size_t... P>
    std::unique_ptr<Universe> make_universe(std::size_t width,
                                            std::index_sequence<P...>) const noexcept {
        return std::unique_ptr<Universe>(new (std::nothrow) Universe(periods_[P]..., width));
    }

    static void run_universe(void* context, std::size_t b) noexcept {
        static_cast<Run*>(context)->universe_block(b);
    }

    void universe_block(std::size_t b) noexcept {
        UniverseBlock& state = universes_[b];
        const std::size_t first = b * block_columns;
        const std::size_t width = block_width(b);
        const std::size_t tile_size = tile_rows * width;
        std::array<double*, input_count> in_tiles{};
        std::array<double*, output_count> out_tiles{};
        double* next_tile = state.tiles.data();
        for (std::size_t k = 0; k < input_count; ++k) {
            if (!in_[k].layout.rows_consecutive()) {
                in_tiles[k] = std::exchange(next_tile, next_tile + tile_size);
            }
        }
        for (std::size_t k = 0; k < output_count; ++k) {
            if (!out_[k].layout.rows_consecutive()) {
                out_tiles[k] = std::exchange(next_tile, next_tile + tile_size);
            }
        }
        for (std::size_t t0 = 0; t0 < rows_; t0 += tile_rows) {
            const std::size_t rows = std::min(tile_rows, rows_ - t0);
            for (std::size_t k = 0; k < input_count; ++k) {
                if (in_tiles[k] != nullptr) {
                    detail::gather(in_[k], t0, rows, first, width, in_tiles[k]);
                }
            }
            for (std::size_t t = 0; t < rows; ++t) {
                step(*state.universe, t0, t, first, width, in_tiles, out_tiles,
                     std::make_index_sequence<input_count>(),
                     std::make_index_sequence<output_count>());
            }
            for (std::size_t k = 0; k < output_count; ++k) {
                if (out_tiles[k] != nullptr) {
                    detail::scatter(out_tiles[k], t0, rows, first, width, out_[k]);
                }
            }
        }
    }

    template <std::size_t... I, std::size_t... O>
    void step(Universe& universe, std::size_t t0, std::size_t t, std::size_t first,
              std::size_t width, const std::array<double*, input_count>& in_tiles,
              const std::array<double*, output_count>& out_tiles, std::index_sequence<I...>,
              std::index_sequence<O...>) const noexcept {
        const auto input_row = [&](std::size_t k) -> Series {
            if (in_tiles[k] != nullptr) {
                return {in_tiles[k] + t * width, width};
            }
            const auto* bytes = static_cast<const unsigned char*>(in_[k].data);
            return {bytes + detail::offset(in_[k].layout, t0 + t, first), width};
        };
        const auto output_row = [&](std::size_t k) -> OutputSeries {
            if (out_tiles[k] != nullptr) {
                return {out_tiles[k] + t * width, width};
            }
            auto* bytes = static_cast<unsigned char*>(out_[k].data);
            return {bytes + detail::offset(out_[k].layout, t0 + t, first), width};
        };
        universe.update(input_row(I)..., output_row(O)...);
    }

    Periods periods_;
    std::array<Input, input_count> in_;
    std::array<Output, output_count> out_;
    std::size_t rows_;
    std::size_t columns_;
    Mode mode_;
    std::size_t blocks_;  // of the mode: lanes, universe blocks or tasks of columns
    std::size_t groups_ = 1;
    std::unique_ptr<LanesState[]> lanes_;
    std::unique_ptr<UniverseBlock[]> universes_;
};

}  // namespace quorvane::panel
