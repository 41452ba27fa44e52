// Rate of change: the percentage by which each value exceeds the one
// `period` positions before it.
#pragma once

#include "quorvane/indicators/mom.hpp"

namespace quorvane::indicators {

struct Roc : Lagged<Roc> {
    static constexpr std::string_view name = "roc";
    static constexpr std::string_view batch_name = "indicator_roc";
    static constexpr std::string_view class_name = "Roc";
    static constexpr std::string_view title =
        "Rate of change, 100 * (x / x[-period] - 1): the percentage change over period positions.";
    static constexpr std::string_view summary = "Rate of change, one position at a time.";
    static constexpr std::array<Period, 1> defaults{10};
    static constexpr std::uint64_t single_tag = 0x5176002D;
    static constexpr std::uint64_t universe_tag = 0x5176003D;

    // The quotient, less 1, times 100, each rounded on its own. A division
    // keeps its operands' order, so of two NaNs x's comes out on every path.
    // A zero earlier value gives an infinity (or NaN for 0 / 0), as IEEE
    // division does.
    static constexpr bool by_vectors = true;
    template <class V>
    static V combine(V x, V earlier) noexcept {
        return 100.0 * (x / earlier - 1.0);
    }

    static constexpr LaggedKernel<Roc> kernel{};
};

}  // namespace quorvane::indicators
