// Word arithmetic that clamps instead of wrapping.
//
// Counts and capacities are machine words; where a formula could overflow the
// result is clamped to the largest word. Conversions from double truncate
// toward zero, map NaN and negatives to 0 and saturate at the word maximum.
#pragma once

#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>

namespace velomap {

inline constexpr std::size_t kWordMax = std::numeric_limits<std::size_t>::max();

constexpr std::size_t sat_add(std::size_t a, std::size_t b) noexcept {
  return a > kWordMax - b ? kWordMax : a + b;
}

constexpr std::size_t sat_mul(std::size_t a, std::size_t b) noexcept {
  if (a == 0 || b == 0) return 0;
  return a > kWordMax / b ? kWordMax : a * b;
}

// a ⊖ b: subtraction that stops at zero.
constexpr std::size_t sat_sub(std::size_t a, std::size_t b) noexcept { return a > b ? a - b : 0; }

// Truncating double → word conversion with saturation (NaN → 0).
inline std::size_t sat_from_double(double x) noexcept {
  if (!(x > 0.0)) return 0;  // NaN, zero and negatives
  // 2^64 (or 2^32) as a double; anything at or above it saturates.
  constexpr double limit = static_cast<double>(kWordMax / 2 + 1) * 2.0;
  if (x >= limit) return kWordMax;
  return static_cast<std::size_t>(x);
}

// Whether x fits in 32 bits (always, where a word has 32 bits: no shift by
// the width of a word is ever written).
constexpr bool fits_in_u32(std::size_t x) noexcept {
  if constexpr (sizeof(std::size_t) > sizeof(std::uint32_t)) {
    return x <= std::numeric_limits<std::uint32_t>::max();
  } else {
    return true;
  }
}

// ceil(a / b) for b > 0, without overflow.
constexpr std::size_t div_ceil(std::size_t a, std::size_t b) noexcept {
  return a / b + (a % b != 0 ? 1 : 0);
}

// Smallest power of two ≥ x, saturating at the largest power of two
// representable (callers check sizes against layout bounds afterwards).
constexpr std::size_t next_pow2(std::size_t x) noexcept {
  if (x <= 1) return 1;
  if (x > kWordMax / 2 + 1) return kWordMax / 2 + 1;
  return std::bit_ceil(x);
}

}  // namespace velomap
