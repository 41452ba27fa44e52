// The tags that open the saved states, one per kind of state, so that one
// state's bytes never load into another. Saved bytes carry them: a value
// never changes and is never reused, or bytes saved before would not load.
// Those of the first layout, without the latest values and the lanes'
// restarts (0x51760001 to 0x51760014), are retired: such bytes are refused.
#pragma once

#include <cstdint>

#include "quorvane/stream.hpp"

namespace quorvane {

enum : std::uint64_t {
    // Single series.
    sma_tag = 0x51760021,
    ema_tag = 0x51760022,
    macd_tag = 0x51760023,
    atr_tag = 0x51760024,
    // Universes.
    universe_sma_tag = 0x51760031,
    universe_ema_tag = 0x51760032,
    universe_macd_tag = 0x51760033,
    universe_atr_tag = 0x51760034,
};

// The tag of each class's bytes.
template <class State>
extern const std::uint64_t tag_of;
template <>
inline constexpr std::uint64_t tag_of<SmaStream> = sma_tag;
template <>
inline constexpr std::uint64_t tag_of<EmaStream> = ema_tag;
template <>
inline constexpr std::uint64_t tag_of<MacdStream> = macd_tag;
template <>
inline constexpr std::uint64_t tag_of<AtrStream> = atr_tag;
template <>
inline constexpr std::uint64_t tag_of<SmaUniverse> = universe_sma_tag;
template <>
inline constexpr std::uint64_t tag_of<EmaUniverse> = universe_ema_tag;
template <>
inline constexpr std::uint64_t tag_of<MacdUniverse> = universe_macd_tag;
template <>
inline constexpr std::uint64_t tag_of<AtrUniverse> = universe_atr_tag;

}  // namespace quorvane
