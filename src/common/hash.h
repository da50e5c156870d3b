// Key hashing: from a key's cached hash to the 64-bit mixed hash.
//
// A key's own hash (for Python keys, hash(k) taken once when the key entered
// the module) is never recomputed. Each probe mixes it with two seeds:
//
//   x = map seed ^ key hash          (per-map seed: differs between maps)
//   y = process seed                 (fixed for the life of the process)
//   h = fold(x · y)                  (full 64×64 product, folded to 64 bits)
//
// The fold is computed from four 32×32→64 products so that it needs no
// 128-bit arithmetic:
//   A = xl·yl, B = xh·yh, C = xl·yh, D = xh·yl
//   h = (A ^ B) ^ rotl(C ^ D, 32)
//
// The top 7 bits of h are the tag stored in the control byte (0 becomes 1 so
// that a tag never looks free); the low 32 bits choose start groups and
// buckets.
#pragma once

#include <bit>
#include <concepts>
#include <cstdint>

#include "control.h"

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
  const std::uint64_t xl = static_cast<std::uint32_t>(x), xh = x >> 32;
  const std::uint64_t yl = static_cast<std::uint32_t>(y), yh = y >> 32;
  const std::uint64_t a = xl * yl, b = xh * yh, c = xl * yh, d = xh * yl;
  return (a ^ b) ^ std::rotl(c ^ d, 32);
}

constexpr std::uint64_t mix_hash(std::uint64_t map_seed, std::uint64_t key_hash,
                                 std::uint64_t shared_seed) noexcept {
  return fold_multiply(map_seed ^ key_hash, shared_seed);
}

template <HashedKey K>
inline std::uint64_t hash_key(std::uint64_t map_seed, const K& key) noexcept {
  return mix_hash(map_seed, static_cast<std::uint64_t>(key.hash_input()), process_seed());
}

constexpr ctrl_t tag_of(std::uint64_t h) noexcept {
  const auto t = static_cast<ctrl_t>(h >> 57);
  return t == 0 ? ctrl_t{1} : t;
}

constexpr std::uint32_t low_word(std::uint64_t h) noexcept { return static_cast<std::uint32_t>(h); }

}  // namespace velomap
