// A panel gives, column by column, the batch kernel's values: in every pair
// of input and output layouts (rows read in place, tiles gathered, columns
// by the kernel), over more columns than a block holds, on any number of
// threads.
#include <gtest/gtest.h>

#include <utility>
#include <vector>

#include "kernels.hpp"
#include "quorvane/panel.hpp"
#include "same.hpp"

namespace quorvane::testing {
namespace {

struct Panel {
    bool c_order;
    std::size_t rows;
    std::size_t columns;
    Values values;

    panel::Layout layout() const {
        return c_order ? panel::Layout{rows, columns, columns, 1}
                       : panel::Layout{rows, columns, 1, rows};
    }
    double& at(std::size_t t, std::size_t j) {
        return values[c_order ? t * columns + j : j * rows + t];
    }
};

// Column j of input k is the vector's input k turned by j positions.
Values column_of(const Values& series, std::size_t j) {
    Values turned(series.size());
    for (std::size_t t = 0; t < series.size(); ++t) {
        turned[t] = series[(t + j) % series.size()];
    }
    return turned;
}

TEST(Panels, GiveTheKernelsValuesInEveryLayout) {
    for (const Vector& v : vectors()) {
        const std::size_t rows = v.inputs[0].size();
        const std::size_t columns = 2 * panel::block_lanes + 3;
        std::vector<std::vector<Values>> expected;  // by column, then output
        for (std::size_t j = 0; j < columns; ++j) {
            std::vector<Values> in;
            for (const Values& series : v.inputs) {
                in.push_back(column_of(series, j));
            }
            expected.push_back(run(v.kernel, v.periods, in, rows));
        }
        for (const auto& [in_c, out_c] : {std::pair{true, true}, std::pair{false, false},
                                          std::pair{true, false}, std::pair{false, true}}) {
            std::vector<Panel> in(v.inputs.size(),
                                  Panel{in_c, rows, columns, Values(rows * columns)});
            for (std::size_t k = 0; k < in.size(); ++k) {
                for (std::size_t j = 0; j < columns; ++j) {
                    const Values series = column_of(v.inputs[k], j);
                    for (std::size_t t = 0; t < rows; ++t) {
                        in[k].at(t, j) = series[t];
                    }
                }
            }
            for (const std::size_t threads : {1U, 2U, 3U}) {
                std::vector<Panel> out(expected[0].size(), Panel{out_c, rows, columns,
                                                                 Values(rows * columns, sentinel)});
                with_indicator(v.kernel, [&]<class D>() {
                    std::array<panel::Input, D::inputs.size()> from{};
                    std::array<panel::Output, D::outputs.size()> to{};
                    for (std::size_t k = 0; k < from.size(); ++k) {
                        from[k] = {in[k].values.data(), in[k].layout()};
                    }
                    for (std::size_t k = 0; k < to.size(); ++k) {
                        to[k] = {out[k].values.data(), out[k].layout()};
                    }
                    std::array<Period, D::periods.size()> periods{};
                    std::copy_n(v.periods.begin(), periods.size(), periods.begin());
                    panel::Run<D> work(periods, from, to);
                    ASSERT_TRUE(work.prepare());
                    work.run(threads);
                });
                for (std::size_t k = 0; k < out.size(); ++k) {
                    for (std::size_t j = 0; j < columns; ++j) {
                        Values column(rows);
                        for (std::size_t t = 0; t < rows; ++t) {
                            column[t] = out[k].at(t, j);
                        }
                        EXPECT_TRUE(same(expected[j][k], padded(column)))
                            << v.kernel << " " << v.periods[0] << " column " << j << " layouts "
                            << in_c << out_c << " threads " << threads;
                    }
                }
            }
        }
    }
}

}  // namespace
}  // namespace quorvane::testing
