// Walking the full slots of a sequence of slot tables.
//
// Both core tables enumerate their entries table by table (elastic: level 0,
// level 1, ...; funnel: the levels, then the special primary, the fallback
// and the overflow part), each table in ascending slot order. A WalkCursor
// holds where the walk is: the table being walked, the next group to load
// and the full slots of the current group not yet handed out. Each step costs one bit operation
// per entry and one group load per 16 slots.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <optional>

#include "control.h"
#include "error.h"
#include "portability.h"

namespace velomap {

// Debug builds count the changes of a table, so that a walk can check that
// none happened while it was in use: a walk over a changed table may hand
// out an entry that moved or is gone. Release builds keep nothing.
class ChangeCount {
 public:
#ifdef NDEBUG
  void bump() noexcept {}
  std::uint64_t get() const noexcept { return 0; }
#else
  void bump() noexcept { ++n_; }
  std::uint64_t get() const noexcept { return n_; }

 private:
  std::uint64_t n_ = 0;
#endif
};

// Where an entry lives: the index of its part (slot table) in walk order
// and its slot there; or nowhere (part kNone). Two words, so it is passed
// and returned in registers.
struct SlotRef {
  static constexpr std::size_t kNone = static_cast<std::size_t>(-1);
  std::size_t part = kNone;
  std::size_t slot = 0;
  explicit operator bool() const noexcept { return part != kNone; }
};

// A lower bound on the position of the first full slot in walk order, kept
// by each table so that a walk (notably popitem's drain, which always takes
// the first entry) need not pass over a long run of emptied slots again and
// again. Placing an entry lowers it; removals leave it (still a bound); a
// drain that emptied everything before some slot raises it; clearing and
// rebuilding start it afresh.
class FirstFullBound {
 public:
  SlotRef get() const noexcept { return at_; }
  void placed(SlotRef at) noexcept {
    if (at.part < at_.part || (at.part == at_.part && at.slot < at_.slot)) at_ = at;
  }
  void emptied_before(SlotRef ref) noexcept { at_ = ref; }
  void reset() noexcept { at_ = SlotRef{}; }

 private:
  SlotRef at_;  // none: no full slot anywhere
};

class WalkCursor {
 public:
  WalkCursor() = default;
  // Start at `from` (its group); walks nothing when from.part is past the end.
  explicit WalkCursor(SlotRef from) noexcept
      : table_(from.part), next_group_(from.slot & ~(kGroupWidth - 1)) {}

  // Find the next full slot. `table_at(i)` returns the i-th table (any type
  // with slot_count() and group(g)); `count` is the number of tables.
  template <class TableAt>
  bool next(std::size_t count, TableAt&& table_at, SlotRef& out) noexcept {
    while (true) {
      if (pending_ != 0) {
        const unsigned bit = static_cast<unsigned>(std::countr_zero(pending_));
        pending_ &= static_cast<std::uint16_t>(pending_ - 1);
        out = {table_, base_ + bit};
        return true;
      }
      if (table_ >= count) return false;
      const auto& t = table_at(table_);
      if (next_group_ < t.slot_count()) {
        base_ = next_group_;
        pending_ = t.group(next_group_ / kGroupWidth).match_full().bits();
        next_group_ += kGroupWidth;
        continue;
      }
      ++table_;
      next_group_ = 0;
      base_ = 0;
    }
  }

 private:
  std::size_t table_ = 0;
  std::size_t next_group_ = 0;
  std::size_t base_ = 0;
  std::uint16_t pending_ = 0;
};

// A position in walk order for walks that span many calls (the Python
// iterators): the part, the first slot of the group being handed out, and
// that group's full slots not handed out yet, so that a step loads a group
// only once per 16 slots. It holds no pointer into the tables: each step
// finds its table afresh, bounded by the tables the map has now, and checks
// that the slot it hands out is full, so a step hands out only full slots
// even if the map was changed or rebuilt meanwhile (callers refuse such
// steps anyway; this keeps a missed refusal from reading freed or empty
// slots).
class WalkPosition {
 public:
  WalkPosition() = default;
  explicit WalkPosition(SlotRef from) noexcept
      : part_(from.part),
        next_group_(from.slot & ~(kGroupWidth - 1)),
        skip_(static_cast<std::uint8_t>(from.slot % kGroupWidth)) {}

  // The next full slot after the position, which moves past it; false at
  // the end. loaded(table, base) is called for each group loaded, with its
  // table and first slot.
  template <class Map, class Loaded>
  VELOMAP_ALWAYS_INLINE bool next(const Map& m, SlotRef& out, Loaded&& loaded) noexcept {
    const std::size_t count = m.table_count();
    while (part_ < count) {
      const auto& t = m.table_at(part_);
      while (pending_ != 0) {
        const std::size_t slot = base_ + static_cast<unsigned>(std::countr_zero(pending_));
        pending_ &= pending_ - 1;
        if (slot < t.slot_count() && is_full(t.ctrl_at(slot))) {
          out = {part_, slot};
          return true;
        }
      }
      if (next_group_ < t.slot_count()) {
        base_ = next_group_;
        next_group_ += kGroupWidth;
        pending_ = std::uint32_t{t.group_at_slot(base_).match_full().bits()} >> skip_ << skip_;
        skip_ = 0;
        loaded(t, base_);
        continue;
      }
      ++part_;
      next_group_ = 0;
      skip_ = 0;
    }
    return false;
  }

 private:
  std::size_t part_ = 0;
  std::size_t next_group_ = 0;  // first slot of the next group to load
  std::size_t base_ = 0;        // first slot of the group in pending_
  std::uint32_t pending_ = 0;   // its full slots not handed out yet
  std::uint8_t skip_ = 0;       // slots before the start in the first group
};

// Call f(entry) for every entry of `m` in walk order, having called
// ahead(entry) for each entry kAheadGroups groups further on in the same
// table first (to ask the cache for what f will touch). `Map` provides
// table_count() and table_at(i); it must not change meanwhile.
template <class Map, class F, class Ahead>
void for_each_entry_ahead(const Map& m, F&& f, Ahead&& ahead) {
  constexpr std::size_t kAheadGroups = 2;
  [[maybe_unused]] const std::uint64_t changes = m.changes();
  for (std::size_t p = 0, parts = m.table_count(); p < parts; ++p) {
    const auto& t = m.table_at(p);
    const std::size_t groups = t.group_count();
    for (std::size_t g = 0; g < groups; ++g) {
      if (const std::size_t a = g + kAheadGroups; a < groups) {
        for (unsigned bit : t.group(a).match_full()) ahead(t.entry(a * kGroupWidth + bit));
      }
      for (unsigned bit : t.group(g).match_full()) {
        f(t.entry(g * kGroupWidth + bit));
        VELOMAP_ASSERT(m.changes() == changes);
      }
    }
  }
}

// Read-only walk over every entry of a table `Map`, which provides
// table_count() and table_at(i) (its slot tables in walk order). The map must
// not change while the walk is in use.
template <class Map>
class EntryWalk {
 public:
  using Entry = typename Map::Entry;
  explicit EntryWalk(const Map& m) noexcept
      : m_(&m), cursor_(m.first_full_bound()), changes_(m.changes()) {}
  const Entry* next() noexcept {
    VELOMAP_ASSERT(m_->changes() == changes_);
    SlotRef ref;
    const auto table_at = [this](std::size_t i) -> const auto& { return m_->table_at(i); };
    if (!cursor_.next(m_->table_count(), table_at, ref)) return nullptr;
    return &m_->table_at(ref.part).entry(ref.slot);
  }

 private:
  const Map* m_;
  WalkCursor cursor_;
  [[maybe_unused]] std::uint64_t changes_;
};

// A walk that removes every entry it reaches and hands it over (the map's
// take_entry decides what the emptied slot becomes). Ending it runs the
// map's finish_drain, which may purge tombstones. The map is held
// exclusively for the drain's life.
template <class Map>
class EntryDrain {
 public:
  using Entry = typename Map::Entry;
  explicit EntryDrain(Map& m) noexcept
      : m_(&m), cursor_(m.first_full_bound()), changes_(m.changes()) {}
  EntryDrain(const EntryDrain&) = delete;
  EntryDrain& operator=(const EntryDrain&) = delete;
  ~EntryDrain() { m_->finish_drain(); }

  std::optional<Entry> next() noexcept {
    VELOMAP_ASSERT(m_->changes() == changes_);
    SlotRef ref;
    const auto table_at = [this](std::size_t i) -> const auto& { return m_->table_at(i); };
    if (!cursor_.next(m_->table_count(), table_at, ref)) return std::nullopt;
    std::optional<Entry> out = m_->take_entry(ref);
    changes_ = m_->changes();  // the drain's own change
    return out;
  }

 private:
  Map* m_;
  WalkCursor cursor_;
  [[maybe_unused]] std::uint64_t changes_;
};

}  // namespace velomap
