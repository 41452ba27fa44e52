// Triple exponential moving average, 3 * E1 - 3 * E2 + E3, over a chain of
// three EMAs, each of the one before.
#pragma once

#include "quorvane/indicators/dema.hpp"

namespace quorvane::indicators {

struct Tema : ChainedEma<Tema, 3> {
    static constexpr std::string_view name = "tema";
    static constexpr std::string_view batch_name = "indicator_tema";
    static constexpr std::string_view class_name = "Tema";
    static constexpr std::string_view title =
        "Triple exponential moving average, 3 * E1 - 3 * E2 + E3 over a chain of three EMAs, "
        "each indicator_ema's.";
    static constexpr std::string_view summary =
        "Triple exponential moving average, one position at a time.";
    static constexpr std::array<Period, 1> defaults{30};
    static constexpr std::uint64_t single_tag = 0x51760041;
    static constexpr std::uint64_t universe_tag = 0x51760051;

    // ((3 * e1) - (3 * e2)) + e3.
    template <class V>
    static V combine(const V (&e)[3]) noexcept {
        return (3.0 * e[0] - 3.0 * e[1]) + e[2];
    }

    static constexpr ChainedKernel<Tema, 3> kernel{};
};

}  // namespace quorvane::indicators
