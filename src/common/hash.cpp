#include "hash.h"

#include <atomic>
#include <chrono>

namespace velomap {
namespace {

// A strong 64-bit finaliser: spreads every input bit over the output.
constexpr std::uint64_t scramble(std::uint64_t z) noexcept {
  z += 0x9E3779B97F4A7C15ull;
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
  return z ^ (z >> 31);
}

std::uint64_t clock_bits() noexcept {
  const auto a = std::chrono::steady_clock::now().time_since_epoch().count();
  const auto b = std::chrono::system_clock::now().time_since_epoch().count();
  return static_cast<std::uint64_t>(a) ^ std::rotl(static_cast<std::uint64_t>(b), 29);
}

std::uint64_t make_process_seed() noexcept {
  int on_stack = 0;
  std::uint64_t s = clock_bits();
  s = scramble(s ^ reinterpret_cast<std::uintptr_t>(&on_stack));
  s = scramble(s ^ reinterpret_cast<std::uintptr_t>(&make_process_seed));
  // A zero multiplier would map every key to the same hash.
  return s | 1;
}

std::atomic<std::uint64_t> g_map_counter{0};

}  // namespace

std::uint64_t process_seed() noexcept {
  static const std::uint64_t seed = make_process_seed();  // initialised exactly once
  return seed;
}

std::uint64_t draw_map_seed() noexcept {
  const std::uint64_t shared = process_seed();
  thread_local std::uint64_t local =
      scramble(reinterpret_cast<std::uintptr_t>(&local) ^ clock_bits());
  local += 0x9E3779B97F4A7C15ull;
  const std::uint64_t n = g_map_counter.fetch_add(1, std::memory_order_relaxed);
  return scramble(local ^ scramble(n ^ shared) ^ clock_bits());
}

}  // namespace velomap
