// The unit both schemes are made of: a slot table with its counts.
#pragma once

#include <cstddef>
#include <utility>

#include "control.h"
#include "error.h"
#include "raw_table.h"

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
