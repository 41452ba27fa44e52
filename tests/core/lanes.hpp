// Feeding states of an indicator D, and the check that a universe's lanes
// restarted midway are fresh single states, shared by the tests of the
// hand-written universes and of those made from a step.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <utility>
#include <vector>

#include "kernels.hpp"
#include "same.hpp"

namespace quorvane::testing {

// Calls `step(in(I)..., to(O)...)` over D's inputs and outputs.
template <class D, class Step, class In, class To>
void feed(Step&& step, In&& in, To&& to) {
    [&]<std::size_t... I, std::size_t... O>(std::index_sequence<I...>, std::index_sequence<O...>) {
        step(in(I)..., to(O)...);
    }
    (std::make_index_sequence<D::inputs.size()>(), std::make_index_sequence<D::outputs.size()>());
}

// Feeds `lanes` (lane j reading 5j bars ahead in `in`) and restarts lanes on
// the way, some twice, one at the first bar, two at once, one again before
// its warm-up is over; a save and load comes midway. Every lane gives, bar
// by bar and in last(), what a fresh single state (`fresh()`) fed its values
// since its restart gives, bit for bit.
template <class D, class Universe, class Fresh>
void expect_restarted_lanes_fresh(Universe& lanes, const Fresh& fresh,
                                  const std::vector<Values>& in) {
    const std::size_t width = lanes.width(), n = in[0].size(), outputs = D::outputs.size();
    std::vector<std::optional<decltype(fresh())>> singles(width);
    for (auto& single : singles) {
        single.emplace(fresh());
    }
    const std::pair<std::size_t, std::uint64_t> restarts[] = {{0, 5},  {9, 1},  {12, 1},
                                                              {30, 4}, {30, 0}, {31, 5}};
    std::vector<Values> bar(in.size(), Values(width)), out(outputs, Values(width));
    Values last(outputs * width), one(outputs);
    for (std::size_t t = 0; t < n; ++t) {
        for (const auto& [at, j] : restarts) {
            if (at == t) {
                ASSERT_TRUE(lanes.restart(&j, 1));
                singles[j].emplace(fresh());
            }
        }
        for (std::size_t k = 0; k < in.size(); ++k) {
            for (std::size_t j = 0; j < width; ++j) {
                bar[k][j] = in[k][(t + 5 * j) % n];
            }
        }
        ASSERT_TRUE(lanes.prepare(1));
        feed<D>([&](auto... series) { lanes.update(series...); },
                [&](std::size_t k) { return Series(bar[k]); },
                [&](std::size_t k) { return OutputSeries(out[k]); });
        lanes.last(last.data());
        for (std::size_t j = 0; j < width; ++j) {
            ASSERT_TRUE(singles[j]->prepare(1));
            feed<D>([&](auto... series) { singles[j]->run(series...); },
                    [&](std::size_t k) { return Series(&bar[k][j], 1); },
                    [&](std::size_t k) { return OutputSeries(&one[k], 1); });
            for (std::size_t k = 0; k < outputs; ++k) {
                ASSERT_EQ(bits(one[k]), bits(out[k][j])) << "bar " << t << " lane " << j;
                ASSERT_EQ(bits(one[k]), bits(last[k * width + j])) << "bar " << t;
            }
        }
        if (t == n / 2) {
            std::vector<unsigned char> bytes(lanes.save(nullptr));
            lanes.save(bytes.data());
            ASSERT_TRUE(lanes.load(bytes.data(), bytes.size()));
        }
    }
}

}  // namespace quorvane::testing
