// Slot tables: entries and control bytes in one allocation.
//
//   base ─┬─ entries[0 .. slot_count)          slot_count × sizeof(Entry)
//         ├─ (padding to a multiple of 64)
//         └─ ctrl[0 .. slot_count)             one control byte per slot
//            (padding to a multiple of 64)
//
// The block is 64-byte aligned, so every 16-slot control group is one aligned
// 16-byte load; a fresh table has every control byte EMPTY (zero) and its
// entry storage left as the allocator gave it. Entries are raw storage: an
// entry is constructed when its slot is filled and moved out or destroyed
// when it leaves; the table itself never touches them. Owners release the
// entries of full slots before a table goes.
//
// A table of 0 slots allocates nothing; its pointers are placeholders that
// are never dereferenced.
#pragma once

#include <cstddef>
#include <cstring>
#include <new>
#include <utility>

#include "control.h"
#include "error.h"
#include "moves.h"
#include "saturate.h"
#include "shape_block.h"
#include "test_hooks.h"

namespace velomap {

// One stored entry: the key (with its cached hash) and the value.
template <class K, class V>
struct SlotEntry {
  K key;
  V value;
  static constexpr bool kRelocatable = kBitwiseRelocatable<K> && kBitwiseRelocatable<V>;
};

// Ask the cache for what releasing `x` will touch, where its type tells how.
template <class T>
void prefetch_release(const T& x) noexcept {
  if constexpr (requires { x.prefetch(); }) x.prefetch();
}

template <class Entry>
class RawTable {
 public:
  // Groups from which destroy_entries asks for members ahead of releasing.
  static constexpr std::size_t kReleaseAheadFrom = 256;

  // The empty table: no slots, no allocation.
  RawTable() noexcept = default;

  // A table for at least `requested` slots, rounded up to whole groups.
  // Throws InternalFailure("layout overflow") or std::bad_alloc.
  explicit RawTable(std::size_t requested) {
    if (!size_for(requested)) return;
    const TableLayout layout = compute_table_layout(slot_count_, sizeof(Entry), alignof(Entry));
    // Only the control bytes need a value: entries are raw storage until
    // filled, so zeroing them (as calloc would, with a memset once the
    // allocator recycles memory) is wasted work.
    if (fault_injection::refuse_allocation()) throw std::bad_alloc();
    own_ = allocate_aligned(layout.alloc_size, kTableAlign);
    if (own_ == nullptr) throw std::bad_alloc();
    place_in(static_cast<unsigned char*>(own_), layout, false);
  }

  // The same, in a piece of `block` (which owns the memory; see
  // block_bytes for the piece's size).
  RawTable(std::size_t requested, ShapeBlock& block) {
    if (!size_for(requested)) return;
    const TableLayout layout = compute_table_layout(slot_count_, sizeof(Entry), alignof(Entry));
    place_in(block.take(layout.alloc_size), layout, block.zeroed());
  }

  // Bytes a table for `requested` slots takes in a ShapeBlock. Throws
  // InternalFailure("layout overflow") as the constructors do.
  static std::size_t block_bytes(std::size_t requested) {
    const std::size_t slots = rounded_slots(requested);
    if (slots == 0) return 0;
    return ShapeBlock::piece(compute_table_layout(slots, sizeof(Entry), alignof(Entry)).alloc_size);
  }

  RawTable(RawTable&& o) noexcept { swap(o); }
  RawTable& operator=(RawTable&& o) noexcept {
    if (this != &o) {
      RawTable tmp(std::move(o));
      swap(tmp);
    }
    return *this;
  }
  RawTable(const RawTable&) = delete;
  RawTable& operator=(const RawTable&) = delete;
  ~RawTable() { free_aligned(own_); }
  void swap(RawTable& o) noexcept {
    std::swap(own_, o.own_);
    std::swap(entries_, o.entries_);
    std::swap(ctrl_, o.ctrl_);
    std::swap(slot_count_, o.slot_count_);
    std::swap(group_count_, o.group_count_);
  }

  std::size_t slot_count() const noexcept { return slot_count_; }
  std::size_t group_count() const noexcept { return group_count_; }
  // Whether the table owns an allocation (not one in a ShapeBlock), and
  // its size.
  bool allocated() const noexcept { return own_ != nullptr; }
  std::size_t allocated_bytes() const noexcept {
    return own_ == nullptr ? 0 : block_bytes(slot_count_);
  }

  ctrl_t* ctrl() noexcept { return ctrl_; }
  const ctrl_t* ctrl() const noexcept { return ctrl_; }
  ctrl_t ctrl_at(std::size_t slot) const noexcept { return ctrl_[slot]; }
  const Entry* entries() const noexcept { return entries_; }
  Entry& entry(std::size_t slot) noexcept { return entries_[slot]; }
  const Entry& entry(std::size_t slot) const noexcept { return entries_[slot]; }

  // Group g covers slots 16g .. 16g + 15.
  Group group(std::size_t g) const noexcept {
    VELOMAP_COUNT_GROUPS(1);
    return Group(ctrl_ + g * kGroupWidth);
  }
  Group group_at_slot(std::size_t slot) const noexcept {
    VELOMAP_COUNT_GROUPS(1);
    return Group(ctrl_ + (slot & ~(kGroupWidth - 1)));
  }

  // Every byte back to EMPTY. Entries are not touched.
  void reset_ctrl() noexcept {
    if (slot_count_ != 0) std::memset(ctrl_, kEmpty, slot_count_);
  }

  // Construct an entry in a slot whose control byte the caller claims.
  template <class K, class V>
  void construct(std::size_t slot, K&& key, V&& value) noexcept {
    construct_at(entries_ + slot, std::forward<K>(key), std::forward<V>(value));
  }
  template <class K, class V>
  static void construct_at(Entry* at, K&& key, V&& value) noexcept {
    ::new (static_cast<void*>(at)) Entry{std::forward<K>(key), std::forward<V>(value)};
  }

  // Copy the entry of a full slot into a free slot of `to` byte for byte; no
  // control byte is touched. The entry now lives at its new place and this
  // slot's bytes are a stale copy: the table that holds them is either freed
  // without destroying them (discard_moved_out) or, when the move is given
  // up, keeps them as its entry while the destination forgets its copy.
  void relocate(std::size_t slot, RawTable& to, std::size_t to_slot) noexcept {
    relocate_into(to.entries_ + to_slot, entries_ + slot);
  }
  static void relocate_into(Entry* to, const Entry* from) noexcept {
    static_assert(Entry::kRelocatable, "rebuilds move entries by copying their bytes");
    std::memcpy(static_cast<void*>(to), static_cast<const void*>(from), sizeof(Entry));
  }

  // Move the entry out of a full slot, leaving raw storage (the caller sets
  // the control byte).
  Entry take(std::size_t slot) noexcept {
    Entry out{std::move(entries_[slot].key), std::move(entries_[slot].value)};
    entries_[slot].~Entry();
    return out;
  }

  // Release the entries of every full slot in ascending order (each key
  // before its value), then mark all bytes EMPTY.
  void destroy_entries() noexcept {
    // In a large table the entries' keys and values lie all over memory:
    // what releasing them touches is asked for two groups ahead, for
    // members that say how (a prefetch() member).
    const std::size_t ahead_to = group_count_ >= kReleaseAheadFrom ? group_count_ : 0;
    for (std::size_t g = 0; g < group_count_; ++g) {
      if (g + 2 < ahead_to) {
        for (unsigned bit : group(g + 2).match_full()) {
          const Entry& e = entries_[(g + 2) * kGroupWidth + bit];
          prefetch_release(e.key);
          prefetch_release(e.value);
        }
      }
      for (unsigned bit : group(g).match_full()) release_entry(entries_[g * kGroupWidth + bit]);
    }
    reset_ctrl();
  }

  // Free the storage of a table whose entries have all been relocated (a
  // table in a ShapeBlock only forgets it), and
  // become the empty table.
  void discard_moved_out() noexcept { RawTable().swap(*this); }

  // Member destructors would run value first; keys go first instead.
  static void release_entry(Entry& e) noexcept {
    release_now(e.key);
    release_now(e.value);
    e.~Entry();
  }

 private:
  // `requested` slots rounded up to whole groups; throws
  // InternalFailure("layout overflow") past a word's worth.
  static std::size_t rounded_slots(std::size_t requested) {
    const std::size_t groups = div_ceil(requested, kGroupWidth);
    if (groups > kWordMax / kGroupWidth) fail("layout overflow");
    return groups * kGroupWidth;
  }
  // Set the slot and group counts for `requested` slots; false for none.
  bool size_for(std::size_t requested) {
    slot_count_ = rounded_slots(requested);
    group_count_ = slot_count_ / kGroupWidth;
    return slot_count_ != 0;
  }
  void place_in(unsigned char* block, const TableLayout& layout, bool zeroed) noexcept {
    entries_ = reinterpret_cast<Entry*>(block);
    ctrl_ = block + layout.ctrl_offset;
    static_assert(kEmpty == 0, "zero-filled memory holds EMPTY control bytes");
    if (!zeroed) reset_ctrl();
  }

  void* own_ = nullptr;  // the table's own memory; null for none or a ShapeBlock piece
  Entry* entries_ = nullptr;
  ctrl_t* ctrl_ = nullptr;
  std::size_t slot_count_ = 0;
  std::size_t group_count_ = 0;
};

}  // namespace velomap
