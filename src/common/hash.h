// Key hashing: from a key's cached hash to the 64-bit mixed hash.
//
// A key's own hash (for Python keys, hash(k) taken once when the key entered
// the module) is never recomputed. Each probe mixes it with two seeds:
//
//   x = map seed ^ key hash          (per-map seed: differs between maps)
//   y = process seed                 (fixed for the life of the process)
//   h = fold(x · y)                  (64×64 product folded to 64 bits)
//
// Where the compiler has 128-bit integers the fold is the low half of the
// full product XOR its high half (one multiplication). Elsewhere it is
// computed from four 32×32→64 products:
//   A = xl·yl, B = xh·yh, C = xl·yh, D = xh·yl
//   h = (A ^ B) ^ rotl(C ^ D, 32)
// The two forms give different positions, never different contents: where
// a key lives is not visible beyond the (per-map seeded) iteration order.
//
// The top 7 bits of h are the tag stored in the control byte (0 becomes 1 so
// that a tag never looks free); the low 32 bits choose start groups and
// buckets.
#pragma once

#include <bit>
#include <concepts>
#include <cstdint>

#include "control.h"
#include "portability.h"

namespace velomap {

// The concept every core-table key satisfies: a cached 64-bit hash input.
template <class K>
concept HashedKey = requires(const K& k) {
  { k.hash_input() } -> std::convertible_to<std::uint64_t>;
};

// The process-wide seed word, initialised on first use.
std::uint64_t process_seed() noexcept;
// A fresh per-map seed; also makes sure the process seed exists.
std::uint64_t draw_map_seed() noexcept;

constexpr std::uint64_t fold_multiply(std::uint64_t x, std::uint64_t y) noexcept {
#if defined(VELOMAP_HAVE_UINT128)
  const uint128 p = static_cast<uint128>(x) * y;
  return static_cast<std::uint64_t>(p) ^ static_cast<std::uint64_t>(p >> 64);
#else
  const std::uint64_t xl = static_cast<std::uint32_t>(x), xh = x >> 32;
  const std::uint64_t yl = static_cast<std::uint32_t>(y), yh = y >> 32;
  const std::uint64_t a = xl * yl, b = xh * yh, c = xl * yh, d = xh * yl;
  return (a ^ b) ^ std::rotl(c ^ d, 32);
#endif
}

constexpr std::uint64_t mix_hash(std::uint64_t map_seed, std::uint64_t key_hash,
                                 std::uint64_t shared_seed) noexcept {
  return fold_multiply(map_seed ^ key_hash, shared_seed);
}

constexpr ctrl_t tag_of(std::uint64_t h) noexcept {
  const auto t = static_cast<ctrl_t>(h >> 57);
  return t == 0 ? ctrl_t{1} : t;
}

constexpr std::uint32_t low_word(std::uint64_t h) noexcept { return static_cast<std::uint32_t>(h); }

}  // namespace velomap
