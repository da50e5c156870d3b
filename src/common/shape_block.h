// Memory for slot tables: the byte layout of one table (entries, then
// control bytes) and the block that holds every table of a shape.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <new>
#include <utility>

#include "error.h"
#include "portability.h"
#include "test_hooks.h"

namespace velomap {

struct TableLayout {
  std::size_t ctrl_offset;  // byte offset of the control array
  std::size_t alloc_size;   // whole block, a multiple of 64
};

inline constexpr std::size_t kTableAlign = 64;
// Largest object size the platform allows (PTRDIFF_MAX), less the slack that
// rounding to 64 may add.
inline constexpr std::size_t kMaxTableBytes =
    static_cast<std::size_t>(PTRDIFF_MAX) - (kTableAlign - 1);

constexpr std::size_t round_to_table_align(std::size_t n) noexcept {
  return (n + kTableAlign - 1) & ~(kTableAlign - 1);
}

// Byte layout of a table of `slot_count` slots (a multiple of 16).
// Throws InternalFailure("layout overflow") when a size bound fails.
inline TableLayout compute_table_layout(std::size_t slot_count, std::size_t entry_size,
                                        std::size_t entry_align) {
  const std::size_t entry_limit = static_cast<std::size_t>(PTRDIFF_MAX) - (entry_align - 1);
  if (entry_size != 0 && slot_count > entry_limit / entry_size) fail("layout overflow");
  const std::size_t entry_bytes = slot_count * entry_size;
  if (slot_count > kMaxTableBytes) fail("layout overflow");
  const std::size_t ctrl_offset = round_to_table_align(entry_bytes);
  if (ctrl_offset > kMaxTableBytes || slot_count > kMaxTableBytes - ctrl_offset)
    fail("layout overflow");
  return {ctrl_offset, round_to_table_align(ctrl_offset + slot_count)};
}

// One allocation for all the slot tables of a shape (and their side
// arrays), handed out in pieces aligned to 64 bytes: a new shape costs one
// malloc and one free however many tables it has. A table allocated on its
// own holds a block of one piece. Move-only; frees the memory when it goes
// (the tables carved from it must be gone first).
class ShapeBlock {
 public:
  // Blocks from this size on come zero-filled (see below).
  static constexpr std::size_t kZeroedFrom = std::size_t{1} << 20;

  ShapeBlock() noexcept = default;
  // Room for `bytes` (a sum of rounded piece sizes). Throws std::bad_alloc,
  // or InternalFailure("layout overflow") past what an object may span.
  explicit ShapeBlock(std::size_t bytes) {
    if (bytes == 0) return;
    if (bytes > kMaxTableBytes) fail("layout overflow");
    if (fault_injection::refuse_allocation()) throw std::bad_alloc();
    if (bytes >= kZeroedFrom) {
      // Fresh pages from the system are zero already, and neither calloc nor
      // a block mapped from the system (allocate_zeroed) clears them again:
      // control bytes and side arrays start as they must (EMPTY, no bits),
      // and fresh pages no entry reaches are never touched.
      raw_ = allocate_zeroed(bytes + kTableAlign - 1);
      if (raw_ == nullptr) throw std::bad_alloc();
      next_ = reinterpret_cast<unsigned char*>(
          (reinterpret_cast<std::uintptr_t>(raw_) + kTableAlign - 1) & ~(kTableAlign - 1));
      zeroed_ = true;
      // Placements fill the tables at the front of a shape's block first
      // and densest (an elastic map's first level, a funnel map's first
      // levels), at random places: with 4 KiB pages nearly every access to
      // a table this big would also miss the TLB. Its later levels may stay
      // sparse, and large pages there would make untouched memory resident.
      if (bytes >= kMappedFrom) advise_large_pages(raw_, bytes / 2);
    } else {
      raw_ = allocate_aligned(bytes, kTableAlign);
      if (raw_ == nullptr) throw std::bad_alloc();
      next_ = static_cast<unsigned char*>(raw_);
    }
    left_ = bytes;
    bytes_ = bytes;
  }
  ShapeBlock(ShapeBlock&& o) noexcept { swap(o); }
  ShapeBlock& operator=(ShapeBlock&& o) noexcept {
    ShapeBlock tmp(std::move(o));
    swap(tmp);
    return *this;
  }
  ShapeBlock(const ShapeBlock&) = delete;
  ShapeBlock& operator=(const ShapeBlock&) = delete;
  ~ShapeBlock() { zeroed_ ? free_zeroed(raw_, bytes_ + kTableAlign - 1) : free_aligned(raw_); }

  // Whether the memory came zero-filled (so every piece does).
  bool zeroed() const noexcept { return zeroed_; }

  // The size a piece of `n` bytes takes.
  static constexpr std::size_t piece(std::size_t n) noexcept { return round_to_table_align(n); }
  // The next piece of `n` bytes. Requires: the block was sized for it.
  unsigned char* take(std::size_t n) noexcept {
    const std::size_t size = piece(n);
    VELOMAP_ASSERT(size <= left_);
    unsigned char* p = next_;
    next_ += size;
    left_ -= size;
    return p;
  }
  // Bytes allocated (with the alignment slack of a zero-filled block), 0
  // when empty.
  std::size_t allocated_bytes() const noexcept {
    return raw_ == nullptr ? 0 : bytes_ + (zeroed_ ? kTableAlign - 1 : 0);
  }

  void swap(ShapeBlock& o) noexcept {
    std::swap(raw_, o.raw_);
    std::swap(next_, o.next_);
    std::swap(left_, o.left_);
    std::swap(bytes_, o.bytes_);
    std::swap(zeroed_, o.zeroed_);
  }

 private:
  void* raw_ = nullptr;
  unsigned char* next_ = nullptr;
  std::size_t left_ = 0;
  std::size_t bytes_ = 0;
  bool zeroed_ = false;
};

}  // namespace velomap
