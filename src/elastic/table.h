// ElasticHashMap: open addressing without reordering, by elastic hashing.
//
// Layout. A table built for capacity n is a sequence of levels (geometry.h):
// the ceil(n/16) groups that n slots need, dealt out so that level 0 takes
// half of them and each later level half of the rest (any count, not a
// power of two; the last levels are one group each, and a map of 16 has a
// single level). Each level is one RawTable; the tables and overflow words
// of a shape share one allocation (ShapeBlock).
//
// Probe sequence. Inside a level of G groups, with M the least power of two
// ≥ G, the mixed hash picks the start group by a multiply-high range
// reduction, and the sequence takes triangular steps modulo M, passing over
// the numbers ≥ G:
//   g0 = (x · G) >> 32 with x = lo32(h) ^ lo32(salt),
//   t(j+1) = (t(j) + j + 1) mod M from t(0) = g0, and g(k) = the k-th t < G.
// The first M triangular numbers are distinct modulo a power of two, so the
// first M steps visit every residue below M once, and hence every group of
// the level exactly once, within fewer than 2G steps; a full probe visits
// every group. When G is a power of two nothing is passed over. The level's
// salt makes starts differ from level to level. Which level a new key goes to
// is decided by the batch rules, never by the hash.
//
// Slot states. Insertion turns EMPTY or DELETED into a tag; removal always
// writes DELETED (never EMPTY), so a placed entry's earlier probe groups in
// its level hold no EMPTY byte until the level is cleared or rebuilt.
// Lookups do not test for EMPTY bytes, though: they leave a level by the
// overflow words below, which stop them at least as early. Tombstones are purged
// by a rebuild at the same capacity once one level's tombstones exceed half
// its slots.
//
// Overflow words. In a level filled to 95% (batch 1 tops level 0 up to all
// but δ/2 of its slots) most groups have no EMPTY byte, so the EMPTY rule
// alone makes an unsuccessful lookup walk many groups. Each group therefore
// also keeps a 32-bit overflow word: when a new entry is placed past group g
// of its probe sequence, bit (h >> 32) & 31 of g's word is set. A lookup
// leaves a level at the first group whose word lacks its hash's bit: an
// entry further along would have set it. (A group with an EMPTY byte was
// never passed, so this stops at least as early as the EMPTY rule.) With a
// few entries passing each group of a nearly full level, 32 bits let a
// lookup go on past a group for another hash's sake about one time in ten
// (one in three with 8). Bits are only set by placements and cleared by
// clear and rebuilds; removals leave them.
//
// Entries never move once placed, except in a full rebuild (growth, reserve,
// purge). A rebuild is all or nothing without any record of what moved: the
// whole new shape is allocated beside the old one first (a failure there
// leaves the map as it was), then each entry moves to the slot the ordinary
// placement rule gives it from its cached hash alone, and that
// cannot fail: the rule's last resort probes every level in full, a full
// probe visits every group of its level, and the levels together have at
// least `capacity` ≥ len slots (a request below the length is refused before
// anything moves).
#pragma once

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <new>
#include <optional>
#include <utility>
#include <vector>

#include "../common/error.h"
#include "../common/hash.h"
#include "../common/moves.h"
#include "../common/portability.h"
#include "../common/saturate.h"
#include "../common/slot_part.h"
#include "../common/table_ops.h"
#include "../common/walk.h"
#include "geometry.h"

namespace velomap::elastic {

inline constexpr std::uint64_t kSaltStep = 0x9E3779B97F4A7C15ull;
// Capacity from which a lookup prefetches its first group in every level.
inline constexpr std::size_t kPrefetchLevelsFrom = std::size_t{1} << 15;

// The overflow bit of a hash (see the header comment).
using OverflowWord = std::uint32_t;
constexpr OverflowWord overflow_bit(std::uint64_t h) noexcept {
  return OverflowWord{1} << ((h >> 32) & 31);
}

// The start group of `x` among `groups` groups: the high word of x · groups.
constexpr std::size_t reduce_to_group(std::uint32_t x, std::uint32_t groups) noexcept {
  return static_cast<std::size_t>((std::uint64_t{x} * groups) >> 32);
}

// The probe sequence of one hash in one level (see the header comment): the
// current group g, the triangular step, and how many groups have been
// visited, this one included.
struct ProbeSeq {
  std::size_t g;
  std::size_t mask;   // M − 1
  std::size_t count;  // G
  std::size_t step = 0;
  std::size_t seen = 1;
  void advance() noexcept {
    do {
      g = (g + ++step) & mask;
    } while (g >= count);
    ++seen;
  }
  // Whether every group of the level has been visited.
  bool done() const noexcept { return seen >= count; }
};

// What a lookup reads of one level, packed into five words: its control
// bytes, entries and overflow words, the low word of its salt, its group
// count and the mask of its probe steps. Fixed for the life of a shape.
template <class Entry>
struct LevelProbe {
  const ctrl_t* ctrl;
  const Entry* entries;
  const OverflowWord* overflow;
  std::uint32_t salt;
  std::uint32_t groups;
  std::uint32_t step_mask;

  std::size_t start_group(std::uint32_t lo) const noexcept {
    return reduce_to_group(lo ^ salt, groups);
  }
  ProbeSeq probe(std::uint32_t lo) const noexcept { return {start_group(lo), step_mask, groups}; }
  Group group(std::size_t g) const noexcept {
    VELOMAP_COUNT_GROUPS(1);
    return Group(ctrl + g * kGroupWidth);
  }
};

template <class Entry>
struct Level : SlotPart<Entry> {
  ProbeLimits probe_limits;
  OverflowWord* overflow = nullptr;  // one word per group, in the shape's block
  std::uint64_t salt = 0;
  std::size_t step_mask = 0;  // the least power of two ≥ the group count, less one
  std::size_t reserve_threshold = 0;

  using SlotPart<Entry>::table;
  using SlotPart<Entry>::len;
  using SlotPart<Entry>::slot_count;
  using SlotPart<Entry>::group_count;

  // Bytes level `index` of `plan` takes in its shape's block.
  static std::size_t block_bytes(const LevelPlan& plan, std::size_t index) {
    const std::size_t n = plan.sizes[index];
    return RawTable<Entry>::block_bytes(n) +
           ShapeBlock::piece(n / kGroupWidth * sizeof(OverflowWord));
  }

  // Level `index` of `plan`, carved from `block`, built in place (a default
  // level assigned field by field costs a clear and a move per level of
  // every new shape). Requires: its size is a whole number of groups, at
  // least one, and block_bytes of it left in the block.
  Level(const LevelPlan& plan, std::size_t index, ShapeBlock& block)
      : SlotPart<Entry>(RawTable<Entry>(plan.sizes[index], block)),
        probe_limits(plan.limits[index]),
        salt(static_cast<std::uint64_t>(index + 1) * kSaltStep),
        reserve_threshold(plan.thresholds[index]) {
    VELOMAP_ASSERT(plan.sizes[index] >= kGroupWidth && plan.sizes[index] % kGroupWidth == 0);
    // Lookups keep the group count and step mask in 32 bits (LevelProbe):
    // 2^31 groups of 16 slots would be a table of half a terabyte and more.
    step_mask = next_pow2(group_count()) - 1;
    if (!fits_in_u32(step_mask)) fail("layout overflow");
    overflow = reinterpret_cast<OverflowWord*>(block.take(group_count() * sizeof(OverflowWord)));
    if (!block.zeroed()) forget_overflow();
  }

  // Release every entry; forget tombstones and overflow bits.
  void clear() noexcept {
    SlotPart<Entry>::clear();
    forget_overflow();
  }
  void forget_overflow() noexcept {
    if (overflow) std::fill_n(overflow, group_count(), OverflowWord{0});
  }

  // Mark the groups of a probe sequence before `slot`'s group as passed by
  // `bit`. Requires: slot's group is on the sequence (it is where a probe
  // of this sequence stopped).
  void mark_passed(std::uint32_t lo, std::size_t slot, OverflowWord bit) noexcept {
    const std::size_t last = slot / kGroupWidth;
    for (ProbeSeq seq = probe(lo); seq.g != last; seq.advance()) {
      VELOMAP_ASSERT(!seq.done());
      overflow[seq.g] |= bit;
    }
  }

  std::size_t free_slots() const noexcept { return sat_sub(slot_count(), len); }
  // Whether the batches are done with this level (rule A of the placement
  // rules): no more free slots than its reserve threshold.
  bool done() const noexcept { return free_slots() <= reserve_threshold; }
  bool is_full() const noexcept { return len >= slot_count(); }
  LevelProbe<Entry> lookup_fields() const noexcept {
    return {table.ctrl(),
            table.entries(),
            overflow,
            static_cast<std::uint32_t>(salt),
            static_cast<std::uint32_t>(group_count()),
            static_cast<std::uint32_t>(step_mask)};
  }
  std::size_t start_group(std::uint32_t lo) const noexcept {
    return lookup_fields().start_group(lo);
  }
  ProbeSeq probe(std::uint32_t lo) const noexcept { return lookup_fields().probe(lo); }

  // Lowest free slot in the first `budget` groups of the probe sequence, or
  // kNoSlot.
  static constexpr std::size_t kNoSlot = static_cast<std::size_t>(-1);
  std::size_t probe_free(std::uint32_t lo, std::size_t budget) const noexcept {
    if (is_full()) return kNoSlot;
    if (budget == 0) return kNoSlot;
    for (ProbeSeq seq = probe(lo);; seq.advance()) {
      if (const BitMask free = table.group(seq.g).match_free())
        return seq.g * kGroupWidth + free.lowest();
      if (seq.seen >= budget || seq.done()) return kNoSlot;
    }
  }
};

template <HashedKey K, class V>
class ElasticHashMap : public TableOps<ElasticHashMap<K, V>> {
 public:
  using Ops = TableOps<ElasticHashMap<K, V>>;
  using Ops::hash_of;
  using Entry = SlotEntry<K, V>;
  using Iter = EntryWalk<ElasticHashMap>;
  using ExtractIf = EntryDrain<ElasticHashMap>;
  using LevelT = Level<Entry>;

  // An empty map for `capacity` entries; options out of range are normalised.
  static ElasticHashMap with_options(std::size_t capacity,
                                     double reserve_fraction = kDefaultReserveFraction,
                                     double probe_scale = kDefaultProbeScale) {
    ElasticHashMap m;
    m.seed_ = draw_map_seed();
    m.shared_seed_ = process_seed();
    m.reserve_fraction_ = normalize_reserve_fraction(reserve_fraction);
    m.probe_scale_ = normalize_probe_scale(probe_scale);
    m.shape_ = m.make_shape(capacity);
    return m;
  }

  // A moved-from map is valid and empty (no levels, capacity 0).
  ElasticHashMap(ElasticHashMap&&) noexcept = default;
  ElasticHashMap& operator=(ElasticHashMap&&) noexcept = default;

  // ---- read access (len, capacity, max_items, seed, hash_of: TableOps) ---
  double probe_scale() const noexcept { return probe_scale_; }
  const std::vector<LevelT>& levels() const noexcept { return shape_->levels; }
  const std::vector<std::size_t>& batch_plan() const noexcept { return shape_->plan; }
  std::size_t current_batch() const noexcept { return shape_->current_batch; }
  std::size_t batch_remaining() const noexcept { return shape_->batch_remaining; }
  // The last level holding an entry (0 when none does).
  std::size_t max_populated_level() const noexcept {
    const std::uint64_t p = shape_->populated;
    return p == 0 ? 0 : static_cast<std::size_t>(63 - std::countl_zero(p));
  }

  // Bytes the map owns besides its own object: its shape, the block of
  // level tables and overflow words, the level arrays and the batch plan.
  std::size_t memory_bytes() const noexcept {
    if (!shape_.owned()) return 0;
    const Shape& s = *shape_;
    return sizeof(Shape) + s.block.allocated_bytes() + s.levels.capacity() * sizeof(LevelT) +
           s.probes.capacity() * sizeof(LevelProbe<Entry>) +
           s.plan.capacity() * sizeof(std::size_t);
  }

  // ---- lookup -----------------------------------------------------------
  // The populated levels in order; in each, follow the probe sequence
  // comparing tag matches, and leave the level at the first group that no
  // entry of this hash's overflow class was placed past.
  template <class Q>
  SlotRef find_slot_indices_with_hash(const Q& key, std::uint64_t h) const {
    return lookup(key, h);
  }

  template <class Q>
  SlotRef find(const Q& key) const {
    return find_slot_indices_with_hash(key, hash_of(key));
  }

  // Reads inline the lookup into their caller, which saves its entry and
  // exit (a tenth of a hit's cost); changes call it.
  template <class Q>
  VELOMAP_ALWAYS_INLINE const V* get(const Q& key) const {
    const auto at = lookup(key, hash_of(key));
    return at ? &shape_->probes[at.part].entries[at.slot].value : nullptr;
  }

  template <class Q>
  VELOMAP_ALWAYS_INLINE bool contains_key(const Q& key) const {
    return static_cast<bool>(lookup(key, hash_of(key)));
  }

  const Entry& entry_at(SlotRef at) const noexcept {
    return shape_->levels[at.part].table.entry(at.slot);
  }
  Entry& entry_at(SlotRef at) noexcept { return shape_->levels[at.part].table.entry(at.slot); }

 private:
  template <class Q>
  VELOMAP_ALWAYS_INLINE SlotRef lookup(const Q& key, std::uint64_t h) const {
    const Shape& s = *shape_;
    const std::uint32_t lo = low_word(h);
    const ctrl_t tag = tag_of(h);
    const OverflowWord passed_bit = overflow_bit(h);
    const LevelProbe<Entry>* const probes = s.probes.data();
    std::uint64_t todo = s.populated;
    // Where the search starts in each level depends on the hash alone: in a
    // table too large for the cache, ask for all of those groups at once,
    // so that their misses overlap instead of coming one level after
    // another (the first level is examined at once).
    if (s.capacity >= kPrefetchLevelsFrom) {
      for (std::uint64_t rest = todo & (todo - 1); rest != 0; rest &= rest - 1) {
        const LevelProbe<Entry>& p = probes[std::countr_zero(rest)];
        const std::size_t g = p.start_group(lo);
        prefetch_for_read(p.ctrl + g * kGroupWidth);
        prefetch_for_read(p.overflow + g);
      }
    }
    for (; todo != 0; todo &= todo - 1) {
      const std::size_t i = static_cast<std::size_t>(std::countr_zero(todo));
      const LevelProbe<Entry>& p = probes[i];
      for (ProbeSeq seq = p.probe(lo);; seq.advance()) {
        for (unsigned bit : p.group(seq.g).match(tag)) {
          const std::size_t slot = seq.g * kGroupWidth + bit;
          if (p.entries[slot].key.equals(key)) return {i, slot};
        }
        // Stop when no entry of this class passed the group, or when every
        // group of the level has been seen.
        if (!(p.overflow[seq.g] & passed_bit) || seq.done()) break;
      }
    }
    return {};
  }

 public:
  // ---- insertion (insert and try_emplace: TableOps) ---------------------
  // Insert a key known to be absent (copies between maps): the growth rule
  // and the placement of insert, without the lookup.
  void insert_unique(K key, V value) { place_new(std::move(key), std::move(value), hash_of(key)); }

  // ---- removal ----------------------------------------------------------
  template <class Q>
  std::optional<V> remove(const Q& key) {
    const auto at = find(key);
    if (!at) return std::nullopt;
    Entry out = take_at(at);
    const LevelT& level = shape_->levels[at.part];
    if (level.over_tombstone_limit()) this->purge();
    release_now(out.key);
    return std::optional<V>(std::move(out.value));
  }

  // Releases every entry (each key before its value) and returns to batch 0;
  // the geometry, capacity and seed stay.
  void clear() noexcept {
    changes_.bump();
    if (!shape_.owned()) return;  // nothing placed, nothing to forget
    for (LevelT& level : shape_->levels) level.clear();
    shape_->len = 0;
    shape_->current_batch = 0;
    shape_->batch_remaining = shape_->plan.empty() ? 0 : shape_->plan.front();
    shape_->populated = 0;
    shape_->first_full.reset();
  }

  // ---- rebuilds ---------------------------------------------------------
  // Rebuild at `new_capacity`: all or nothing (see the header comment).
  VELOMAP_NOINLINE void resize(std::size_t new_capacity) {
    changes_.bump();
    if (new_capacity == 0 && shape_->len == 0) {
      shape_ = ShapeHandle<Shape>();
      return;
    }
    ShapeHandle<Shape> made = make_shape(new_capacity);
    Shape& fresh = *made;
    std::size_t slots = 0;
    for (const LevelT& level : fresh.levels) slots += level.slot_count();
    // Only a request below the current length can leave an entry without a
    // place; it is refused before anything moves.
    if (slots < shape_->len) fail("no free slot found after resize");
    // Debug builds place every entry again by claim_slot alone, into a shape
    // allocated before anything moves, and compare.
    ShapeHandle<Shape> again = kDebugChecks ? make_shape(new_capacity) : ShapeHandle<Shape>();
    move_entries(fresh);
    if constexpr (kDebugChecks) check_moves(fresh, *again);
    // The walk bound was left alone during the moves: the first slot of all
    // is a lower bound for any table.
    fresh.first_full.emptied_before(SlotRef{0, 0});
    for (LevelT& level : shape_->levels) level.table.discard_moved_out();
    shape_ = std::move(made);
  }

  // The walk's view of the map: its parts in walk order (level 0 first, then
  // level 1, ...).
  std::size_t table_count() const noexcept { return shape_->levels.size(); }
  const SlotPart<Entry>& part_at(std::size_t i) const noexcept { return shape_->levels[i]; }

 private:
  friend ExtractIf;
  friend TableOps<ElasticHashMap<K, V>>;

  // Drains (popitem): a drained slot becomes DELETED and nothing is purged
  // per entry (the drain's end may purge, TableOps::finish_drain).
  Entry take_entry(SlotRef ref) noexcept {
    shape_->first_full.emptied_before(ref);
    return take_at(ref);
  }

  struct Shape {
    // The levels' tables live in `block`, so levels go first: a move
    // assignment replaces the levels before the block (declaration order),
    // and the destructor empties them before the members go.
    std::vector<LevelT> levels;
    ShapeBlock block;
    std::vector<std::size_t> plan;
    std::size_t len = 0;
    std::size_t capacity = 0;
    std::size_t max_items = 0;
    std::size_t current_batch = 0;
    std::size_t batch_remaining = 0;
    std::uint64_t populated = 0;            // bit i: level i holds an entry
    std::vector<LevelProbe<Entry>> probes;  // one per level
    FirstFullBound first_full;

    Shape() = default;
    Shape(Shape&&) noexcept = default;
    Shape& operator=(Shape&&) noexcept = default;
    ~Shape() { levels.clear(); }
  };

  ElasticHashMap() = default;

  // One lookup; on a hit the stored value and false, otherwise the entry is
  // placed and its value and true come back. `value` is moved from only
  // when placed.
  std::pair<V*, bool> try_emplace_impl(K&& key, V& value) {
    const std::uint64_t h = hash_of(key);
    if (const auto at = find_slot_indices_with_hash(key, h)) return {&entry_at(at).value, false};
    return {&place_new(std::move(key), std::move(value), h), true};
  }

  // The rebuild's moves: every entry, in walk order (level 0 first, slots
  // ascending), goes where claim_slot would put it, its bytes copied a few
  // placements after its slot is claimed into a table larger than the cache
  // (DeferredRelocations). The placements
  // come in runs that keep the batch and the level tried first (a run ends
  // before the batch is used up and before the current level can become
  // done), so that an entry whose first probe group there has a free slot
  // is placed with that level's fields and the run's counts held in
  // registers; the others go through the rules. Debug builds place every
  // entry again by claim_slot alone and compare (check_moves).
  void move_entries(Shape& fresh) {
    relocate_all<Entry>(fresh.capacity, [&](auto&& relocate) { move_entries_by(fresh, relocate); });
    for (std::size_t i = 0; i < fresh.levels.size(); ++i)
      if (fresh.levels[i].len != 0) fresh.populated |= std::uint64_t{1} << i;
  }
  template <class Relocate>
  VELOMAP_ALWAYS_INLINE void move_entries_by(Shape& fresh, Relocate&& relocate) {
    const std::uint64_t seed = this->seed_, shared = this->shared_seed_;
    std::size_t left = 0;  // placements left in the current run
    std::size_t run = 0;   // placements the run started with
    LevelT* fl = nullptr;
    ctrl_t* ctrl = nullptr;
    Entry* entries = nullptr;
    std::uint32_t salt = 0, groups = 0;
    const auto settle = [&] {
      const std::size_t made = run - left;
      fresh.len += made;
      if (fresh.batch_remaining > 0) fresh.batch_remaining -= made;
    };
    for (const LevelT& old : shape_->levels) {
      const ctrl_t* const src_ctrl = old.table.ctrl();
      const Entry* const src = old.table.entries();
      for (std::size_t base = 0, end = old.slot_count(); base < end; base += kGroupWidth) {
        for (unsigned bit : Group(src_ctrl + base).match_full()) {
          if (left == 0) {
            settle();
            advance_batch(fresh);
            run = left = run_length(fresh);
            fl = &fresh.levels[first_candidate(fresh)];
            ctrl = fl->table.ctrl();
            entries = &fl->table.entry(0);
            salt = static_cast<std::uint32_t>(fl->salt);
            groups = static_cast<std::uint32_t>(fl->group_count());
          }
          --left;
          const Entry* const e = src + base + bit;
          const std::uint64_t h = mix_hash(seed, e->key.hash_input(), shared);
          const std::size_t start = reduce_to_group(low_word(h) ^ salt, groups) * kGroupWidth;
          if (const BitMask free = Group(ctrl + start).match_free()) {
            const std::size_t slot = start + free.lowest();
            ctrl[slot] = tag_of(h);  // fl->claim, through the register copy of ctrl
            ++fl->len;
            relocate(entries + slot, e);
          } else {
            const SlotRef at = claim_by_rules<false>(fresh, h);
            VELOMAP_ASSERT(at);
            relocate(&fresh.levels[at.part].table.entry(at.slot), e);
          }
        }
      }
    }
    settle();
  }

  // The moves' placements are the rules' own: `again`, a fresh shape for
  // the same capacity, receives every old entry (their bytes are still in
  // place) by claim_slot and must end with the same control bytes, overflow
  // words and counts as `fresh`.
  void check_moves(const Shape& fresh, Shape& again) const {
    this->for_each([&](const Entry& e) { claim_slot<Placing::kRebuild>(again, hash_of(e.key)); });
    VELOMAP_ASSERT(again.len == fresh.len && again.populated == fresh.populated);
    VELOMAP_ASSERT(again.current_batch == fresh.current_batch &&
                   again.batch_remaining == fresh.batch_remaining);
    for (std::size_t i = 0; i < fresh.levels.size(); ++i) {
      const LevelT& a = again.levels[i];
      const LevelT& f = fresh.levels[i];
      VELOMAP_ASSERT(a.len == f.len);
      VELOMAP_ASSERT(std::memcmp(a.table.ctrl(), f.table.ctrl(), f.slot_count()) == 0);
      VELOMAP_ASSERT(std::equal(a.overflow, a.overflow + a.group_count(), f.overflow));
    }
    // `again` names entries it does not hold: it must go without releasing any.
    for (LevelT& level : again.levels) level.table.reset_ctrl();
  }

  // How many placements from here keep the batch and the level tried first:
  // the rest of the batch (all of them past the plan), and no more than
  // would bring an undone current level to its reserve threshold.
  static std::size_t run_length(const Shape& s) noexcept {
    std::size_t n = s.batch_remaining == 0 ? SIZE_MAX : s.batch_remaining;
    const std::size_t b = s.current_batch;
    if (b > 0 && b < s.levels.size() && !s.levels[b - 1].done()) {
      const LevelT& cur = s.levels[b - 1];
      n = std::min(n, cur.free_slots() - cur.reserve_threshold);
    }
    return n;
  }

  // Claim the slot of a key known to be absent without touching the walk
  // bound (copies, TableOps::insert_copies): the entry is to be constructed
  // there. None when the map is full.
  SlotRef claim_copy(std::uint64_t h) noexcept {
    changes_.bump();
    return shape_->len < shape_->max_items ? claim_slot<Placing::kCopy>(*shape_, h) : SlotRef{};
  }

  // Ask for the group a key of this hash would be placed in first, a few
  // placements ahead of claim_copy (copies of large tables).
  void prefetch_placement(std::uint64_t h) const noexcept {
    const Shape& s = *shape_;
    if (s.levels.empty()) return;
    const LevelT& fl = s.levels[first_candidate(s)];
    prefetch_for_read(fl.table.ctrl() + fl.start_group(low_word(h)) * kGroupWidth);
  }

  // Place a key known to be absent the same way, growing a full map first.
  void place_copy(K&& key, V&& value, std::uint64_t h) {
    place_new<Placing::kCopy>(std::move(key), std::move(value), h);
  }

  // Grow first when the map is at max_items; returns the stored value.
  template <Placing Mode = Placing::kInsert>
  V& place_new(K&& key, V&& value, std::uint64_t h) {
    changes_.bump();
    if (shape_->len >= shape_->max_items) {
      resize(next_growth(shape_->capacity));
    }
    const auto at = claim_slot<Mode>(*shape_, h);
    if (!at) fail("no free slot found after resize");
    RawTable<Entry>& table = shape_->levels[at.part].table;
    table.construct(at.slot, std::move(key), std::move(value));
    return table.entry(at.slot).value;
  }

  ShapeHandle<Shape> make_shape(std::size_t capacity) const {
    // Capacity 0 holds nothing: no shape of its own, no memory.
    if (capacity == 0) return {};
    ShapeHandle<Shape> made = ShapeHandle<Shape>::make();
    Shape& s = *made;
    s.capacity = capacity;
    s.max_items = max_items_for(capacity, reserve_fraction_);
    const std::shared_ptr<const LevelPlan> plan =
        plan_levels(capacity, s.max_items, reserve_fraction_, probe_scale_);
    // A level mask of 64 bits covers every capacity whose first level can
    // be allocated at all.
    if (plan->sizes.size() > 64) fail("layout overflow");
    std::size_t bytes = 0;
    for (std::size_t i = 0; i < plan->sizes.size(); ++i)
      bytes = sat_add(bytes, LevelT::block_bytes(*plan, i));
    s.block = ShapeBlock(bytes);
    s.levels.reserve(plan->sizes.size());
    for (std::size_t i = 0; i < plan->sizes.size(); ++i) s.levels.emplace_back(*plan, i, s.block);
    s.probes.reserve(s.levels.size());
    for (const LevelT& level : s.levels) s.probes.push_back(level.lookup_fields());
    s.plan = plan->batches;
    s.batch_remaining = s.plan.empty() ? 0 : s.plan.front();
    return made;
  }

  // Move to the next batch with a non-zero size once the current one is used
  // up; past the end of the plan the last index stays current.
  static void advance_batch(Shape& s) noexcept {
    if (s.batch_remaining != 0) return;
    for (std::size_t b = s.current_batch + 1; b < s.plan.size(); ++b) {
      s.current_batch = b;
      s.batch_remaining = s.plan[b];
      if (s.batch_remaining != 0) break;
    }
  }

  // The level whose first probe group every rule below tries first: level
  // 0 in batch 0, the last level past the plan, the next level under rule
  // A, else the current one.
  static std::size_t first_candidate(const Shape& s) noexcept {
    const std::size_t b = s.current_batch;
    const std::size_t count = s.levels.size();
    if (b == 0) return 0;
    if (b >= count) return count - 1;
    return s.levels[b - 1].done() ? b : b - 1;
  }

  // The slot a new key with this hash goes to, by the batch rules:
  //   batch 0: level 0;  batch ≥ L: the last level;
  //   otherwise current = b−1, next = b, and
  //     A (current done: free ≤ reserve threshold): next, then current;
  //     B (next more than a quarter free, i.e. free > slots / 4 rounded
  //       down): current within its probe budget,
  //       then next, then current in full;
  //     C: current, then next;
  //   and when all of these fail, every level in order.
  // Callers come here only when the first probe group of the level that the
  // rules try first (first_candidate) has no free slot.
  static SlotRef choose_slot(const Shape& s, std::uint32_t lo) noexcept {
    const auto& lv = s.levels;
    const std::size_t count = lv.size();
    const auto probe = [&](std::size_t i, std::size_t budget) -> SlotRef {
      const std::size_t slot = lv[i].probe_free(lo, budget);
      return slot == LevelT::kNoSlot ? SlotRef{} : SlotRef{i, slot};
    };
    const auto full = [&](std::size_t i) { return probe(i, lv[i].group_count()); };
    const std::size_t b = s.current_batch;
    SlotRef at;
    if (b == 0) {
      at = full(0);
    } else if (b >= count) {
      at = full(count - 1);
    } else {
      const LevelT& cur = lv[b - 1];
      const LevelT& nxt = lv[b];
      const std::size_t fc = cur.free_slots();
      if (cur.done()) {
        if (!(at = full(b))) at = full(b - 1);
      } else if (nxt.free_slots() > nxt.slot_count() / 4) {
        const std::size_t budget =
            std::min(std::max<std::size_t>(cur.group_count(), 1), cur.probe_limits.budget(fc));
        if (!(at = probe(b - 1, budget)) && !(at = full(b))) at = full(b - 1);
      } else {
        if (!(at = full(b - 1))) at = full(b);
      }
    }
    for (std::size_t i = 0; !at && i < count; ++i) at = full(i);
    return at;
  }

  // Claim the slot the rules choose for a key whose first candidate group
  // is full, and note the groups it passed; none when there is no free
  // slot. The caller accounts for the rest.
  template <bool MayBeDeleted>
  static SlotRef claim_by_rules(Shape& s, std::uint64_t h) noexcept {
    const std::uint32_t lo = low_word(h);
    const SlotRef at = choose_slot(s, lo);
    if (at) {
      LevelT& level = s.levels[at.part];
      level.template claim<MayBeDeleted>(at.slot, tag_of(h));
      level.mark_passed(lo, at.slot, overflow_bit(h));
    }
    return at;
  }

  // Choose a slot for a new key and account for it: the tag is written and
  // every count updated; the caller constructs the entry there.
  template <Placing Mode = Placing::kInsert>
  VELOMAP_ALWAYS_INLINE static SlotRef claim_slot(Shape& s, std::uint64_t h) noexcept {
    advance_batch(s);
    if (s.levels.empty()) return {};
    const std::uint32_t lo = low_word(h);
    // Every rule starts with the first group of its first level: when that
    // group has a free slot, the rules need not be worked through.
    const std::size_t first = first_candidate(s);
    const LevelT& fl = s.levels[first];
    const std::size_t g = fl.start_group(lo);
    SlotRef at;
    if (const BitMask free = fl.table.group(g).match_free()) {
      at = {first, g * kGroupWidth + free.lowest()};  // no group passed
      s.levels[first].claim(at.slot, tag_of(h));
    } else if (!(at = claim_by_rules<true>(s, h))) {
      return {};
    }
    s.populated |= std::uint64_t{1} << at.part;
    if constexpr (Mode == Placing::kInsert) s.first_full.placed(at);
    ++s.len;
    if (s.batch_remaining > 0) --s.batch_remaining;
    return at;
  }

  // Move an entry out; its slot becomes a tombstone. Requires: a full slot.
  Entry take_at(SlotRef at) noexcept {
    changes_.bump();
    LevelT& level = shape_->levels[at.part];
    VELOMAP_ASSERT(at.slot < level.slot_count() && velomap::is_full(level.table.ctrl_at(at.slot)));
    Entry out = level.table.take(at.slot);
    level.table.ctrl()[at.slot] = kDeleted;
    if (--level.len == 0) shape_->populated &= ~(std::uint64_t{1} << at.part);
    ++level.tombstones;
    --shape_->len;
    return out;
  }

  ShapeHandle<Shape> shape_;
  ChangeCount changes_;
  std::uint64_t seed_ = 0;
  std::uint64_t shared_seed_ = 0;
  double reserve_fraction_ = kDefaultReserveFraction;
  double probe_scale_ = kDefaultProbeScale;
};

}  // namespace velomap::elastic
