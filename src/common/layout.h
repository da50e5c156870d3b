// Slot tables: entries and control bytes in one allocation.
//
//   base ─┬─ entries[0 .. slot_count)          slot_count × sizeof(Entry)
//         ├─ (padding to a multiple of 64)
//         └─ ctrl[0 .. slot_count)             one control byte per slot
//            (padding to a multiple of 64)
//
// The block is 64-byte aligned, so every 16-slot control group is one aligned
// 16-byte load; a fresh table has every control byte EMPTY (zero) and its
// entry storage left as the allocator gave it. Entries are raw storage: an entry is constructed when its slot
// is filled and moved out or destroyed when it leaves; the table itself never
// touches them. Owners release the entries of full slots before a table goes.
//
// A table of 0 slots allocates nothing; its pointers are placeholders that
// are never dereferenced.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>
#include <type_traits>
#include <utility>

#include "control.h"
#include "error.h"
#include "saturate.h"

namespace velomap {

// A seam for tests: when `countdown` is positive, the table allocation that
// brings it to zero is refused as if the allocator had run out of memory, so
// tests can check that a failure in the middle of a rebuild loses nothing.
// Disarmed (0) it costs one test per table allocation.
namespace fault_injection {
inline thread_local long countdown = 0;
inline bool refuse_allocation() noexcept { return countdown > 0 && --countdown == 0; }
}  // namespace fault_injection

// Ask the cache for the line at `p`, to be written. The empty volatile asm
// keeps the request alive: the compiler counts a prefetch as no effect at
// all, so a function (a lambda, say) whose only work is prefetching could
// otherwise be judged pure and its calls dropped.
inline void prefetch_for_write(const void* p) noexcept {
  __builtin_prefetch(p, 1);
  asm volatile("");
}

// Counting 16-slot group loads, for measuring probe lengths: compiled in
// only with VELOMAP_PROBE_COUNTERS (a CMake option, off by default), and
// then every control-group load of a table adds one to `groups`.
namespace probe_counter {
inline thread_local std::uint64_t groups = 0;
}  // namespace probe_counter
#if defined(VELOMAP_PROBE_COUNTERS) && VELOMAP_PROBE_COUNTERS
#define VELOMAP_COUNT_GROUPS(n) (::velomap::probe_counter::groups += (n))
#else
#define VELOMAP_COUNT_GROUPS(n) ((void)0)
#endif

// Release what `x` holds now, leaving it moved-from (for ordering releases).
template <class T>
void release_now(T& x) noexcept {
  [[maybe_unused]] T gone = std::move(x);
}

// A member that a move leaves in its default state: a table keeps its shape
// (parts, counts) in one, so that a moved-from table is valid and empty and
// its defaulted moves need no hand-written counterpart.
template <class T>
class ResetOnMove {
 public:
  ResetOnMove() = default;
  ResetOnMove(ResetOnMove&& o) noexcept : value_(std::exchange(o.value_, T{})) {}
  ResetOnMove& operator=(ResetOnMove&& o) noexcept {
    if (this != &o) value_ = std::exchange(o.value_, T{});
    return *this;
  }
  ResetOnMove& operator=(T&& v) noexcept {
    value_ = std::move(v);
    return *this;
  }
  T* operator->() noexcept { return &value_; }
  const T* operator->() const noexcept { return &value_; }
  T& operator*() noexcept { return value_; }
  const T& operator*() const noexcept { return value_; }

 private:
  T value_;
};

// Types whose objects may be moved by copying their bytes, the source then
// counting as gone without its destructor running (a handle that owns what
// it points to, as the Python key and value wrappers do). Trivially
// copyable types are; a type says so of itself by specialising this.
template <class T>
inline constexpr bool kBitwiseRelocatable = std::is_trivially_copyable_v<T>;

// One stored entry: the key (with its cached hash) and the value.
template <class K, class V>
struct SlotEntry {
  K key;
  V value;
  static constexpr bool kRelocatable = kBitwiseRelocatable<K> && kBitwiseRelocatable<V>;
};

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
  ShapeBlock() noexcept = default;
  // Room for `bytes` (a sum of rounded piece sizes). Throws std::bad_alloc,
  // or InternalFailure("layout overflow") past what an object may span.
  explicit ShapeBlock(std::size_t bytes) {
    if (bytes == 0) return;
    if (bytes > kMaxTableBytes) fail("layout overflow");
    if (fault_injection::refuse_allocation()) throw std::bad_alloc();
    raw_ = std::malloc(bytes + kTableAlign - 1);
    if (raw_ == nullptr) throw std::bad_alloc();
    next_ = reinterpret_cast<unsigned char*>(
        (reinterpret_cast<std::uintptr_t>(raw_) + kTableAlign - 1) & ~(kTableAlign - 1));
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
  ~ShapeBlock() { std::free(raw_); }

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
  // Bytes allocated (with the alignment slack), 0 when empty.
  std::size_t allocated_bytes() const noexcept { return raw_ == nullptr ? 0 : bytes_ + kTableAlign - 1; }

  void swap(ShapeBlock& o) noexcept {
    std::swap(raw_, o.raw_);
    std::swap(next_, o.next_);
    std::swap(left_, o.left_);
    std::swap(bytes_, o.bytes_);
  }

 private:
  void* raw_ = nullptr;
  unsigned char* next_ = nullptr;
  std::size_t left_ = 0;
  std::size_t bytes_ = 0;
};

template <class Entry>
class RawTable {
 public:
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
    own_ = ShapeBlock(layout.alloc_size);
    place_in(own_.take(layout.alloc_size), layout);
  }

  // The same, in a piece of `block` (which owns the memory; see
  // block_bytes for the piece's size).
  RawTable(std::size_t requested, ShapeBlock& block) {
    if (!size_for(requested)) return;
    const TableLayout layout = compute_table_layout(slot_count_, sizeof(Entry), alignof(Entry));
    place_in(block.take(layout.alloc_size), layout);
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
  void swap(RawTable& o) noexcept {
    own_.swap(o.own_);
    std::swap(entries_, o.entries_);
    std::swap(ctrl_, o.ctrl_);
    std::swap(slot_count_, o.slot_count_);
    std::swap(group_count_, o.group_count_);
  }

  std::size_t slot_count() const noexcept { return slot_count_; }
  std::size_t group_count() const noexcept { return group_count_; }
  // Whether the table owns an allocation (not one in a ShapeBlock), and
  // its size.
  bool allocated() const noexcept { return own_.allocated_bytes() != 0; }
  std::size_t allocated_bytes() const noexcept { return own_.allocated_bytes(); }

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
    ::new (static_cast<void*>(entries_ + slot)) Entry{std::forward<K>(key), std::forward<V>(value)};
  }

  // Copy the entry of a full slot into a free slot of `to` byte for byte; no
  // control byte is touched. The entry now lives at its new place and this
  // slot's bytes are a stale copy: the table that holds them is either freed
  // without destroying them (discard_moved_out) or, when the move is given
  // up, keeps them as its entry while the destination forgets its copy.
  void relocate(std::size_t slot, RawTable& to, std::size_t to_slot) noexcept {
    static_assert(Entry::kRelocatable, "rebuilds move entries by copying their bytes");
    std::memcpy(static_cast<void*>(to.entries_ + to_slot), static_cast<const void*>(entries_ + slot),
                sizeof(Entry));
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
    for (std::size_t g = 0; g < group_count_; ++g) {
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
  void place_in(unsigned char* block, const TableLayout& layout) noexcept {
    entries_ = reinterpret_cast<Entry*>(block);
    ctrl_ = block + layout.ctrl_offset;
    reset_ctrl();
  }

  ShapeBlock own_;  // the table's own memory; empty for none or a ShapeBlock piece
  Entry* entries_ = nullptr;
  ctrl_t* ctrl_ = nullptr;
  std::size_t slot_count_ = 0;
  std::size_t group_count_ = 0;
};

}  // namespace velomap

namespace velomap {

// What a placement must account for: an ordinary insertion lowers the walk
// bound and may reuse a tombstone; copies into a map may reuse tombstones
// but leave the bound to the caller, which sets it once; a rebuild's new
// tables hold no tombstones either.
enum class Placing { kInsert, kCopy, kRebuild };

// A slot table together with its live-entry and tombstone counts: the unit
// both schemes are made of (an elastic level; a funnel level, primary or
// fallback). It owns the entries of its full slots and releases them when it
// goes.
template <class Entry>
struct SlotPart {
  RawTable<Entry> table;
  std::size_t len = 0;         // full slots
  std::size_t tombstones = 0;  // DELETED bytes

  SlotPart() = default;
  explicit SlotPart(std::size_t slots) : table(slots) {}
  explicit SlotPart(RawTable<Entry>&& t) noexcept : table(std::move(t)) {}
  // A moved-from part is empty and valid. Assignment releases the entries
  // the target held before taking over the source's.
  SlotPart(SlotPart&& o) noexcept
      : table(std::move(o.table)),
        len(std::exchange(o.len, 0)),
        tombstones(std::exchange(o.tombstones, 0)) {}
  SlotPart& operator=(SlotPart&& o) noexcept {
    if (this != &o) {
      table.destroy_entries();
      table = std::move(o.table);
      len = std::exchange(o.len, 0);
      tombstones = std::exchange(o.tombstones, 0);
    }
    return *this;
  }
  ~SlotPart() { table.destroy_entries(); }

  std::size_t slot_count() const noexcept { return table.slot_count(); }
  std::size_t group_count() const noexcept { return table.group_count(); }
  bool over_tombstone_limit() const noexcept { return tombstones > slot_count() / 2; }

  // Release every entry and forget every tombstone.
  void clear() noexcept {
    table.destroy_entries();
    len = 0;
    tombstones = 0;
  }

  // Write a tag into a free slot chosen for a new entry and count it.
  // Requires: the slot is free (EMPTY when the table has no tombstones, as
  // in a rebuild's new tables: then `MayBeDeleted` may be false).
  template <bool MayBeDeleted = true>
  void claim(std::size_t slot, ctrl_t tag) noexcept {
    ctrl_t& byte = table.ctrl()[slot];
    VELOMAP_ASSERT(slot < slot_count() && is_free(byte) && (MayBeDeleted || byte == kEmpty));
    if (MayBeDeleted && byte == kDeleted) --tombstones;
    byte = tag;
    ++len;
  }
};

}  // namespace velomap
