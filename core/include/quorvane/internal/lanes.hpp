// Lanes: several doubles in one vector of GCC's vector extension, on which
// every arithmetic operator and comparison acts lane by lane with the scalar
// operation, so lanes agree bit for bit with single series. clang refuses
// 32-byte vectors in code built without AVX, so there a vector holds two.
#pragma once

#include <cstddef>
#include <cstring>

namespace quorvane::lanes {

#if defined(__clang__)
using Lanes = double __attribute__((vector_size(16)));
#else
using Lanes = double __attribute__((vector_size(32)));
#endif
inline constexpr std::size_t count = sizeof(Lanes) / sizeof(double);

[[gnu::always_inline]] inline Lanes load(const void* bytes, std::size_t j) noexcept {
    Lanes v;
    std::memcpy(&v, static_cast<const unsigned char*>(bytes) + j * sizeof(double), sizeof v);
    return v;
}

[[gnu::always_inline]] inline void store(void* bytes, std::size_t j, Lanes v) noexcept {
    std::memcpy(static_cast<unsigned char*>(bytes) + j * sizeof(double), &v, sizeof v);
}

}  // namespace quorvane::lanes
