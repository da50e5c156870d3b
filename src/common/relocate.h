// Moving every entry of a table shape into a new shape, all or nothing.
//
// Rebuilds (growth, reserve, tombstone purges) walk the old shape in its
// iteration order and place each entry in the new shape as its placement
// rule says, from the cached hash alone. Entries are moved as they are
// placed, in one pass, while the old control bytes stay as they were. If
// some entry finds no place, or placing it throws (an allocation refused
// while the funnel's overflow part grows), the entries moved so far are moved
// back in reverse and the old shape is exactly as before; only then does the
// failure reach the caller. Key and value moves cannot fail, so nothing else
// can.
#pragma once

#include <cstddef>
#include <utility>
#include <vector>

#include "walk.h"

namespace velomap {

// `old_table(i)` and `new_table(i)` give the i-th RawTable of each shape;
// `claim(key, to)` chooses and accounts a slot for a key in the new shape (its
// control byte written), stores its place in `to` and returns true, or
// returns false when there is none. A claim may throw; a slot it has handed
// out must stay where it is (the way back reads it).
// Returns false, having restored every entry, when some entry has no place;
// the new shape's control bytes then still hold the claimed tags (the caller
// discards it). An exception from `claim` is rethrown after the same
// restoration.
template <class OldTable, class NewTable, class Claim>
bool relocate_all(std::size_t old_count, std::size_t len, OldTable&& old_table,
                  NewTable&& new_table, Claim&& claim) {
  std::vector<std::pair<SlotRef, SlotRef>> moved;  // (from, to), for the way back
  moved.reserve(len);
  const auto move_back = [&] {
    for (auto it = moved.rbegin(); it != moved.rend(); ++it) {
      auto e = new_table(it->second.table).take(it->second.slot);
      old_table(it->first.table).construct(it->first.slot, std::move(e.key), std::move(e.value));
    }
  };
  WalkCursor cursor;
  SlotRef from;
  try {
    while (cursor.next(old_count, old_table, from)) {
      auto& src = old_table(from.table);
      SlotRef to;
      if (!claim(src.entry(from.slot).key, to)) {
        move_back();
        return false;
      }
      auto e = src.take(from.slot);
      new_table(to.table).construct(to.slot, std::move(e.key), std::move(e.value));
      moved.push_back({from, to});  // within the reserved size: cannot throw
    }
  } catch (...) {
    move_back();
    throw;
  }
  return true;
}

}  // namespace velomap
