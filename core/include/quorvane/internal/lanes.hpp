// Lanes: several doubles in one vector of GCC's vector extension, on which
// every arithmetic operator and comparison acts lane by lane with the scalar
// operation, so lanes agree bit for bit with single series. clang refuses
// 32-byte vectors in code built without AVX, so there a vector holds two.
//
// Lanes suits code cloned for AVX2 (target_clones). Code built once, for the
// build's own instruction set, uses Baseline: four lanes only where that set
// has AVX. Without it GCC splits a 32-byte vector over two registers and
// makes a select's result of scalar stores that it reloads as a vector,
// each reload waiting on the stores; two lanes in one register select with
// and/andnot.
#pragma once

#include <cstddef>
#include <cstring>
#include <type_traits>

namespace quorvane::lanes {

#if defined(__clang__)
using Lanes = double __attribute__((vector_size(16)));
#else
using Lanes = double __attribute__((vector_size(32)));
#endif
inline constexpr std::size_t count = sizeof(Lanes) / sizeof(double);

#if defined(__AVX__)
using Baseline = Lanes;
#else
using Baseline = double __attribute__((vector_size(16)));
#endif

// Lanes or Baseline, and how many doubles it holds.
template <class V>
concept Vector = std::is_same_v<V, Lanes> || std::is_same_v<V, Baseline>;
template <Vector V>
inline constexpr std::size_t count_of = sizeof(V) / sizeof(double);

[[gnu::always_inline]] inline Lanes load(const void* bytes, std::size_t j) noexcept {
    Lanes v;
    std::memcpy(&v, static_cast<const unsigned char*>(bytes) + j * sizeof(double), sizeof v);
    return v;
}

[[gnu::always_inline]] inline void store(void* bytes, std::size_t j, Lanes v) noexcept {
    std::memcpy(static_cast<unsigned char*>(bytes) + j * sizeof(double), &v, sizeof v);
}

}  // namespace quorvane::lanes
