// Control bytes and 16-slot groups.
//
// Every slot table keeps one control byte per slot, in an array apart from
// the entries, so that one 16-byte load inspects a whole group:
//
//   0x00        EMPTY    never used since the table was created, cleared or
//                        rebuilt
//   0x80        DELETED  tombstone: held an entry that was removed
//   0x01..0x7F  full     the 7-bit tag of the stored key's mixed hash
//
// A slot is free (reusable) exactly when (byte & 0x7F) == 0 and full
// otherwise. Transitions: EMPTY → full (insert), full → DELETED or EMPTY
// (removal, by each scheme's rule), DELETED → full (insert reusing the slot),
// anything → EMPTY (clear, rebuild). No other byte values ever occur, which is
// what lets the SSE2 group read "free" straight off the sign bit after a
// 7-bit mask.
//
// A Group inspection yields 16-bit masks whose bit i stands for slot 16g + i;
// callers take candidates lowest bit first, so lower slots win inside a group.
// There are two interchangeable implementations with the same members:
// GroupSse2 where SSE2 exists and GroupPortable everywhere; `Group` names
// the one in use, and the tests run both.
#pragma once

#include <bit>
#include <cstdint>
#include <cstring>

#include "portability.h"

namespace velomap {

using ctrl_t = std::uint8_t;

inline constexpr ctrl_t kEmpty = 0x00;
inline constexpr ctrl_t kDeleted = 0x80;
inline constexpr std::size_t kGroupWidth = 16;

static_assert((kEmpty & 0x7F) == 0 && (kDeleted & 0x7F) == 0,
              "free bytes must have no tag bits so that one mask finds both");
static_assert(kEmpty == 0, "zero-filled allocations must read as all EMPTY");

constexpr bool is_full(ctrl_t c) noexcept { return (c & 0x7F) != 0; }
constexpr bool is_free(ctrl_t c) noexcept { return (c & 0x7F) == 0; }

// Set of slots in one group; iterate lowest bit first.
class BitMask {
 public:
  constexpr explicit BitMask(std::uint16_t bits) noexcept : bits_(bits) {}
  constexpr bool any() const noexcept { return bits_ != 0; }
  constexpr explicit operator bool() const noexcept { return any(); }
  constexpr unsigned lowest() const noexcept {
    return static_cast<unsigned>(std::countr_zero(bits_));
  }
  constexpr std::uint16_t bits() const noexcept { return bits_; }

  // Range-for support: `for (unsigned i : mask)` visits set bits in order.
  class iterator {
   public:
    constexpr explicit iterator(std::uint16_t b) noexcept : b_(b) {}
    constexpr unsigned operator*() const noexcept {
      return static_cast<unsigned>(std::countr_zero(b_));
    }
    constexpr iterator& operator++() noexcept {
      b_ &= static_cast<std::uint16_t>(b_ - 1);
      return *this;
    }
    constexpr bool operator!=(const iterator& o) const noexcept { return b_ != o.b_; }

   private:
    std::uint16_t b_;
  };
  constexpr iterator begin() const noexcept { return iterator(bits_); }
  constexpr iterator end() const noexcept { return iterator(0); }

 private:
  std::uint16_t bits_;
};

// Byte-by-byte implementation, valid on every platform.
class GroupPortable {
 public:
  explicit GroupPortable(const ctrl_t* p) noexcept { std::memcpy(bytes_, p, kGroupWidth); }

  BitMask match(ctrl_t tag) const noexcept {
    return collect([tag](ctrl_t c) { return c == tag; });
  }
  BitMask match_free() const noexcept {
    return collect([](ctrl_t c) { return is_free(c); });
  }
  BitMask match_full() const noexcept {
    return collect([](ctrl_t c) { return is_full(c); });
  }
  BitMask match_empty() const noexcept {
    return collect([](ctrl_t c) { return c == kEmpty; });
  }
  BitMask match_deleted() const noexcept {
    return collect([](ctrl_t c) { return c == kDeleted; });
  }
  bool has_empty() const noexcept { return match_empty().any(); }

 private:
  template <class Pred>
  BitMask collect(Pred pred) const noexcept {
    std::uint16_t m = 0;
    for (unsigned i = 0; i < kGroupWidth; ++i)
      if (pred(bytes_[i])) m |= static_cast<std::uint16_t>(1u << i);
    return BitMask(m);
  }
  ctrl_t bytes_[kGroupWidth];
};

#ifdef VELOMAP_HAVE_SSE2
// One unaligned 16-byte load; each query is a compare plus movemask.
class GroupSse2 {
 public:
  explicit GroupSse2(const ctrl_t* p) noexcept
      : v_(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p))) {}

  BitMask match(ctrl_t tag) const noexcept {
    return mask(_mm_cmpeq_epi8(v_, _mm_set1_epi8(static_cast<char>(tag))));
  }
  // Free bytes are exactly 0x00 and 0x80: with bit 7 stripped they are zero.
  BitMask match_free() const noexcept {
    return mask(_mm_cmpeq_epi8(_mm_and_si128(v_, _mm_set1_epi8(0x7F)), _mm_setzero_si128()));
  }
  BitMask match_full() const noexcept {
    return BitMask(static_cast<std::uint16_t>(~match_free().bits()));
  }
  BitMask match_empty() const noexcept { return mask(_mm_cmpeq_epi8(v_, _mm_setzero_si128())); }
  // DELETED is the only byte with bit 7 set, so the sign mask finds it.
  BitMask match_deleted() const noexcept { return mask(v_); }
  bool has_empty() const noexcept { return match_empty().any(); }

 private:
  static BitMask mask(__m128i v) noexcept {
    return BitMask(static_cast<std::uint16_t>(_mm_movemask_epi8(v)));
  }
  __m128i v_;
};
#endif

// VELOMAP_PORTABLE_GROUP (a CMake option) forces the portable path where
// SSE2 exists, so that it is built and tested here too.
#if defined(VELOMAP_HAVE_SSE2) && !defined(VELOMAP_PORTABLE_GROUP)
using Group = GroupSse2;
#else
using Group = GroupPortable;
#endif

}  // namespace velomap
