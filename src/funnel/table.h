// FunnelHashMap: open addressing without reordering, by funnel hashing.
//
// Layout (geometry.h): `levels` bucket levels, then a special array made of a
// primary part and a fallback part. Every part is a SlotPart (a RawTable plus
// live and tombstone counts); the walk order of the parts is
//   level 0, level 1, ..., level α−1, primary, fallback, overflow.
//
// Where a key may live, for h its mixed hash, lo = low 32 bits of h:
//   level i:  bucket ⌊(lo · m_i mod 2^32) · B_i / 2^32⌋ of its B_i buckets,
//             m_i = lo32(salt_i) | 1, group by group (buckets are 16 slots
//             wide, or a larger multiple of 16 when δ < 1/256)
//   primary:  groups g0 = lo32(r) & gm, g(j+1) = (g(j) + (hi32(r) | 1)) & gm,
//             r = rotl64(h, 11), at most primary_probe_limit groups
//   fallback: the whole of buckets b1 = lo32(rotl64(h, 19)) % count and
//             b2 = lo32(h >> 27) % count
// A new key takes the first free slot met in that order. Lookups follow the
// same order and stop early where the placement rule proves absence:
//   * a level bucket group with an EMPTY byte ends the search (a new key
//     would have been placed there or earlier), but only in a level that
//     holds entries; a bucket whose groups are all full passes the search on
//     to the next level;
//   * a full first-level bucket whose passed filter lacks the hash's bits
//     ends it (below);
//   * a primary group with an EMPTY byte and no DELETED byte ends it;
//   * the fallback buckets are always scanned whole.
// Removal keeps this sound by writing EMPTY only where the slot's aligned
// group already holds an EMPTY byte, and DELETED otherwise. Each primary
// group carries a 128-bit set of every tag ever placed in it, so lookups skip
// the groups that never saw their tag.
//
// Passed filters. Levels are filled to the last slot before keys spill into
// the next, so in a nearly full map most buckets hold no EMPTY byte and the
// EMPTY rule alone lets an unsuccessful lookup walk bucket after bucket,
// one cache miss each. Every bucket of the first level therefore keeps a
// 256-bit filter: a key placed anywhere past its first-level bucket (a
// later level, the special array, the overflow part) sets two bits of it,
// chosen by hash bits 32–47, which the bucket's own choice (bits 0–31) and
// the tag (57–63) do not use. A lookup that finds its first-level bucket
// full and its bits not both set stops there. In a map at its growth point
// 46–48 keys have passed each first-level bucket, and a lookup for an
// absent key goes on past it one time in ten (9–10% at capacity 2^20,
// whatever the reserve fraction). Bits are set by placements and cleared
// by clear and rebuilds; removals leave them. A first level of a single
// bucket (capacity 32 and less) has none.
//
// Overflow part. Keys that share one hash share all their candidate places,
// so a few hundred of them exhaust those places however large the table is.
// A new key that finds no free candidate place goes to a small overflow part
// after the growth the placement rule prescribes, which is made only while
// the map is at least half way to its growth point: below that, a missing
// place means colliding hashes, not a full table, and doubling cannot help
// (this is what keeps a flood of equal hashes at O(n) memory and keeps it
// from growing the map again for every new key). The overflow part is a
// slot table of its own, last in walk order, scanned whole by a lookup that
// has found nothing elsewhere; it doubles when full and never holds
// tombstones. Ordinary keys never reach it, and their lookups pay one test
// of its length on the rare miss that gets past every level.
//
// The early ends of a lookup stay sound with entries in the overflow part:
// such an entry was placed when all its candidate groups were full, and a
// full group gets no EMPTY byte back until the next rebuild (which re-places
// the overflow entries too).
//
// Rebuilds (growth, reserve, tombstone purge) are all or nothing: the new
// shape is built beside the old one and each entry moves to the slot its
// cached hash gives it there, or to the new overflow part (no key
// comparison, no growth check). Entries move by copying their bytes, so
// the old tables keep every entry until they are freed; entries without a
// place wait there until the overflow part has been allocated at its final
// size, and if that allocation fails the new shape is dropped without
// releasing anything and the map is exactly as it was.
#pragma once

#include <algorithm>
#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
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

namespace velomap::funnel {

inline constexpr std::uint64_t kSaltStep = 0x9E3779B97F4A7C15ull;
// Capacity from which a lookup asks for its first levels' groups at once,
// and how many levels.
inline constexpr std::size_t kPrefetchLevelsFrom = std::size_t{1} << 15;
inline constexpr std::size_t kPrefetchLevels = 4;
// Slots of a new overflow part; it doubles when full.
inline constexpr std::size_t kOverflowStart = 16;

template <class Entry>
struct alignas(64) BucketLevel : SlotPart<Entry> {
  std::uint64_t salt = 0;
  std::size_t bucket_count = 0;
  std::size_t bucket_width = 0;  // slots, a whole number of groups
  std::uint32_t multiplier = 1;  // odd: the level's own spread of the hash

  // Slots of a level of `buckets` buckets, each `width` slots wide.
  static std::size_t slots_for(std::size_t buckets, std::size_t width) noexcept {
    return sat_mul(buckets, width);
  }

  // Level `index` of `buckets` buckets, each `width` slots wide, its table
  // carved from `block`. Built in place: a default level assigned field by
  // field costs a 128-byte clear and a move per level of every new shape.
  BucketLevel(std::size_t index, std::size_t buckets, std::size_t width, ShapeBlock& block)
      : SlotPart<Entry>(RawTable<Entry>(slots_for(buckets, width), block)),
        salt(static_cast<std::uint64_t>(index + 1) * kSaltStep),
        bucket_count(buckets),
        bucket_width(width),
        multiplier(static_cast<std::uint32_t>(salt) | 1u) {}

  // The bucket of `lo`: the high word of lo·m (mod 2^32) times the bucket
  // count. The product's high bits depend on every bit of lo, and each
  // level multiplies by its own m, so keys that share a bucket in one level
  // are spread over the next.
  std::size_t bucket_of(std::uint32_t lo) const noexcept {
    const std::uint32_t spread = lo * multiplier;
    return static_cast<std::size_t>((std::uint64_t{spread} * bucket_count) >> 32);
  }
  // The bucket's first slot. In a shape whose buckets are one group wide
  // (Wide false) the width is a constant.
  template <bool Wide>
  std::size_t bucket_start(std::uint32_t lo) const noexcept {
    VELOMAP_ASSERT(Wide || bucket_width == kGroupWidth);
    return bucket_of(lo) * (Wide ? bucket_width : kGroupWidth);
  }
  std::size_t bucket_slots() const noexcept { return bucket_width; }
};

// The hash bits of the keys placed past one first-level bucket (see the
// header comment).
struct alignas(32) PassedFilter {
  std::uint64_t words[4] = {0, 0, 0, 0};

  void add(std::uint64_t h) noexcept {
    words[(h >> 38) & 3] |= std::uint64_t{1} << ((h >> 32) & 63);
    words[(h >> 46) & 3] |= std::uint64_t{1} << ((h >> 40) & 63);
  }
  bool may_hold(std::uint64_t h) const noexcept {
    return (words[(h >> 38) & 3] >> ((h >> 32) & 63)) & (words[(h >> 46) & 3] >> ((h >> 40) & 63)) &
           1;
  }
};

// 128-bit set of tags (bit t−1 for tag t).
struct alignas(16) TagSummary {
  std::uint64_t bits[2] = {0, 0};
  bool has(ctrl_t tag) const noexcept { return (bits[(tag - 1) >> 6] >> ((tag - 1) & 63)) & 1; }
  void add(ctrl_t tag) noexcept { bits[(tag - 1) >> 6] |= std::uint64_t{1} << ((tag - 1) & 63); }
};

template <class Entry>
struct SpecialPrimary : SlotPart<Entry> {
  std::unique_ptr<TagSummary[]> group_summaries;
  std::size_t group_mask = 0;

  void forget_summaries() noexcept {
    std::fill_n(group_summaries.get(), this->group_count(), TagSummary{});
  }
};

template <class Entry>
struct SpecialFallback : SlotPart<Entry> {
  std::size_t bucket_count = 0;
  std::size_t bucket_shift = 0;

  // Slots [first, last) of bucket b.
  std::pair<std::size_t, std::size_t> bucket_range(std::size_t b) const noexcept {
    const std::size_t first = b << bucket_shift;
    return {first, std::min((b + 1) << bucket_shift, this->slot_count())};
  }
};

template <class Entry>
struct SpecialArray {
  SpecialPrimary<Entry> primary;
  SpecialFallback<Entry> fallback;

  // Slots of the primary and of the fallback for `total` special slots.
  static std::size_t primary_slots(std::size_t total) noexcept {
    if (total == 0) return 0;
    return sat_mul(16, next_pow2(std::max<std::size_t>(1, div_ceil(total - total / 2, 16))));
  }
  static std::size_t fallback_slots(std::size_t total) noexcept {
    return sat_mul(16, div_ceil(total / 2, 16));
  }

  // `total` special slots: the larger half to the primary, the rest to the
  // fallback, whose buckets hold the next power of two ≥ max(2, 2 × limit).
  // The tables are carved from `block`; the primary's tag summaries are
  // allocated on their own.
  static SpecialArray with_capacity_in(std::size_t total, std::size_t probe_limit,
                                       ShapeBlock& block) {
    SpecialArray s;
    const std::size_t fallback_cap = total / 2;
    if (total != 0) {
      const std::size_t slots = primary_slots(total);
      const std::size_t groups = slots / 16;
      s.primary.table = RawTable<Entry>(slots, block);
      s.primary.group_summaries.reset(new (std::nothrow) TagSummary[groups]());
      if (!s.primary.group_summaries) fail("group_summaries alloc: AllocError");
      s.primary.group_mask = groups - 1;
    }
    const std::size_t shift = fallback_bucket_shift(probe_limit);
    if (shift >= 32) {
      // Buckets this large cannot be addressed: the fallback has no usable
      // bucket (its table, if any, is never filled).
      s.fallback.bucket_shift = 32;
      s.fallback.bucket_count = 0;
    } else {
      s.fallback.bucket_shift = shift;
      s.fallback.bucket_count = div_ceil(fallback_cap, std::size_t{1} << shift);
    }
    if (fallback_cap != 0) s.fallback.table = RawTable<Entry>(fallback_slots(total), block);
    return s;
  }
};

// What find_or_prepare_insert learns: the key's entry, if present; else
// where a new key would go among the levels the lookup walked (if
// anywhere) and how many levels that was.
struct InsertProbe {
  SlotRef found;
  SlotRef vacancy;
  std::size_t levels_walked = 0;
};

// The candidate places of one hash (see the header comment).
struct HashParts {
  std::uint64_t h;
  std::uint32_t lo;
  ctrl_t tag;
};

template <HashedKey K, class V>
class FunnelHashMap : public TableOps<FunnelHashMap<K, V>> {
 public:
  using Ops = TableOps<FunnelHashMap<K, V>>;
  using Ops::hash_of;
  using Entry = SlotEntry<K, V>;
  using Iter = EntryWalk<FunnelHashMap>;
  using ExtractIf = EntryDrain<FunnelHashMap>;
  using LevelT = BucketLevel<Entry>;

  // An empty map; a probe limit of 0 or none means the capacity's default
  // (0 is raised to 1), options out of range are normalised.
  static FunnelHashMap with_options(std::size_t capacity,
                                    double reserve_fraction = kDefaultReserveFraction,
                                    std::optional<std::size_t> primary_probe_limit = std::nullopt) {
    FunnelHashMap m;
    m.seed_ = draw_map_seed();
    m.shared_seed_ = process_seed();
    m.reserve_fraction_ = normalize_reserve_fraction(reserve_fraction);
    m.primary_probe_limit_ =
        std::max<std::size_t>(primary_probe_limit.value_or(default_probe_limit(capacity)), 1);
    m.shape_ = m.make_shape(capacity);
    return m;
  }

  // A moved-from map is valid and empty (no levels, capacity 0).
  FunnelHashMap(FunnelHashMap&&) noexcept = default;
  FunnelHashMap& operator=(FunnelHashMap&&) noexcept = default;

  // ---- read access (len, capacity, max_items, seed, hash_of: TableOps) ---
  std::size_t primary_probe_limit() const noexcept { return primary_probe_limit_; }
  const std::vector<LevelT>& levels() const noexcept { return shape_->levels; }
  const SpecialPrimary<Entry>& primary() const noexcept { return shape_->special.primary; }
  const SpecialFallback<Entry>& fallback() const noexcept { return shape_->special.fallback; }
  std::size_t max_populated_level() const noexcept { return shape_->max_populated_level; }
  // Levels, primary, fallback, overflow.
  std::size_t part_count() const noexcept { return shape_->levels.size() + 3; }
  const SlotPart<Entry>& overflow() const noexcept { return shape_->overflow; }
  const SlotPart<Entry>& part(std::size_t i) const noexcept { return shape_->part(i); }

  // Bytes the map owns besides its own object: its shape, every part's
  // table, the primary's tag summaries and the level array.
  std::size_t memory_bytes() const noexcept {
    if (!shape_.owned()) return 0;
    const Shape& s = *shape_;
    std::size_t bytes = sizeof(Shape) + s.levels.capacity() * sizeof(LevelT) +
                        s.block.allocated_bytes() + s.overflow.table.allocated_bytes();
    if (s.special.primary.group_summaries)
      bytes += s.special.primary.group_count() * sizeof(TagSummary);
    return bytes;
  }

  HashParts split(std::uint64_t h) const noexcept { return {h, low_word(h), tag_of(h)}; }

  // ---- lookup -----------------------------------------------------------
  template <class Q>
  SlotRef find(const Q& key) const {
    return find_with_hash(key, split(hash_of(key)));
  }

  template <class Q>
  SlotRef find_with_hash(const Q& key, const HashParts& hp) const {
    InsertProbe unused;
    return shape_->wide_buckets ? search<true, false>(key, hp, unused)
                                : search<false, false>(key, hp, unused);
  }

  // The lookup of an insertion: besides the key's entry it notes the level
  // slot that choose_slot would give among the levels it walks,
  // and how many levels it walked, so that a new key need not walk them
  // again.
  template <class Q>
  InsertProbe find_or_prepare_insert(const Q& key, const HashParts& hp) const {
    InsertProbe p;
    p.found =
        shape_->wide_buckets ? search<true, true>(key, hp, p) : search<false, true>(key, hp, p);
    return p;
  }

  // The lookup for buckets of one group (Wide false: every map with δ ≥
  // 1/256) or wider, noting the vacancy or not (Prepare); one instance per
  // case so that the common ones carry no test for the others.
  template <bool Wide, bool Prepare, class Q>
  SlotRef search(const Q& key, const HashParts& hp, InsertProbe& prep) const {
    bool absent = false;
    if (const SlotRef at = search_levels<Wide, Prepare>(key, hp, prep, absent)) return at;
    return absent ? SlotRef{} : search_special(key, hp);
  }

  // The levels up to the last one holding entries, in the hash's bucket of
  // each, group by group: a group with an EMPTY byte ends the search
  // (`absent`: a new key would have been placed there or earlier), a bucket
  // of full groups passes it on to the next level. Prepare notes the first
  // free slot met, where a new key would go among these levels.
  template <bool Wide, bool Prepare, class Q>
  VELOMAP_ALWAYS_INLINE SlotRef search_levels(const Q& key, const HashParts& hp, InsertProbe& prep,
                                              bool& absent) const {
    const Shape& s = *shape_;
    const std::size_t walked = std::min(s.max_populated_level + 1, s.levels.size());
    if (s.capacity >= kPrefetchLevelsFrom) prefetch_levels<Wide>(s, hp.lo, walked);
    for (std::size_t i = 0; i < walked; ++i) {
      const LevelT& level = s.levels[i];
      const std::size_t start = level.template bucket_start<Wide>(hp.lo);
      if (level.len == 0) {
        // Every byte of an empty level is free (a level has a bucket at least).
        if constexpr (Prepare) note_vacancy(prep, SlotRef{i, start});
        continue;
      }
      const std::size_t end = start + (Wide ? level.bucket_slots() : kGroupWidth);
      for (std::size_t base = start; base != end; base += kGroupWidth) {
        const Group group = level.table.group_at_slot(base);
        for (unsigned bit : group.match(hp.tag)) {
          if (level.table.entry(base + bit).key.equals(key)) return SlotRef{i, base + bit};
        }
        if constexpr (Prepare) note_vacancy(prep, group, i, base);
        if (group.has_empty()) {
          absent = true;
          return {};
        }
      }
      if (i == 0 && !passed_first_level(s, hp)) {
        if constexpr (Prepare) prep.levels_walked = 1;
        absent = true;
        return {};
      }
    }
    if constexpr (Prepare) prep.levels_walked = walked;
    return {};
  }

  // The special array, then the overflow part. A primary group with an
  // EMPTY byte and no DELETED byte ends the search; the fallback buckets
  // are scanned whole.
  template <class Q>
  SlotRef search_special(const Q& key, const HashParts& hp) const {
    const Shape& s = *shape_;
    const auto& primary = s.special.primary;
    const std::size_t count = s.levels.size();
    if (primary.len != 0) {
      ProbeSeq seq(s, primary_probe_limit_, hp.h);
      for (std::size_t j = 0; j < seq.count; ++j, seq.advance()) {
        const Group group = primary.table.group(seq.g);
        if (primary.group_summaries[seq.g].has(hp.tag)) {
          for (unsigned bit : group.match(hp.tag)) {
            const std::size_t slot = seq.g * kGroupWidth + bit;
            if (primary.table.entry(slot).key.equals(key)) return SlotRef{count, slot};
          }
        }
        if (!group.match_deleted() && group.has_empty()) return {};
      }
    }
    const auto& fallback = s.special.fallback;
    if (fallback.len != 0 && fallback.bucket_count != 0) {
      for (const std::size_t b : fallback_buckets(hp.h)) {
        const auto [first, end] = fallback.bucket_range(b);
        VELOMAP_COUNT_GROUPS(div_ceil(end - first, kGroupWidth));  // scanned byte by byte
        for (std::size_t slot = first; slot < end; ++slot) {
          if (fallback.table.ctrl_at(slot) == hp.tag && fallback.table.entry(slot).key.equals(key))
            return SlotRef{count + 1, slot};
        }
      }
    }
    return find_in_overflow(key, hp.tag);
  }

  // The whole overflow part, for a key found nowhere else.
  template <class Q>
  SlotRef find_in_overflow(const Q& key, ctrl_t tag) const {
    const SlotPart<Entry>& of = shape_->overflow;
    if (of.len == 0) return {};
    for (std::size_t g = 0; g < of.group_count(); ++g) {
      for (unsigned bit : of.table.group(g).match(tag)) {
        const std::size_t slot = g * kGroupWidth + bit;
        if (of.table.entry(slot).key.equals(key)) return SlotRef{overflow_index(*shape_), slot};
      }
    }
    return {};
  }

  template <class Q>
  const V* get(const Q& key) const {
    const auto at = find(key);
    return at ? &entry_at(at).value : nullptr;
  }

  template <class Q>
  bool contains_key(const Q& key) const {
    return static_cast<bool>(find(key));
  }

  const Entry& entry_at(SlotRef at) const noexcept {
    return shape_->part(at.part).table.entry(at.slot);
  }
  Entry& entry_at(SlotRef at) noexcept { return shape_->part(at.part).table.entry(at.slot); }

  // ---- insertion --------------------------------------------------------

  // Insert a key known to be absent (copies between maps): the growth rule
  // and the placement of insert, without the lookup.
  void insert_unique(K key, V value) {
    const HashParts hp = split(hash_of(key));
    const SlotRef at = choose_slot(*shape_, hp.h);
    place_new(std::move(key), std::move(value), hp, at.part, at.slot);
  }

  // ---- removal ----------------------------------------------------------
  template <class Q>
  std::optional<V> remove(const Q& key) {
    const auto at = find(key);
    if (!at) return std::nullopt;
    Entry out = take_at(at);
    while (shape_->max_populated_level != 0 && shape_->levels[shape_->max_populated_level].len == 0)
      --shape_->max_populated_level;
    if (shape_->part(at.part).over_tombstone_limit()) this->purge();
    release_now(out.key);
    return std::optional<V>(std::move(out.value));
  }

  // Releases every entry (each key before its value); the shape, capacity
  // and seed stay (the overflow part keeps its slots too).
  void clear() noexcept {
    changes_.bump();
    if (!shape_.owned()) return;  // nothing placed, nothing to forget
    for (std::size_t i = 0; i < part_count(); ++i) shape_->part(i).clear();
    if (shape_->special.primary.group_summaries) shape_->special.primary.forget_summaries();
    shape_->forget_passed();
    shape_->len = 0;
    shape_->max_populated_level = 0;
    shape_->first_full.reset();
  }

  // ---- rebuilds ---------------------------------------------------------
  // Rebuild at `new_capacity`, all or nothing: entries without a place in
  // the new shape go to its overflow part, and if memory runs out the map
  // is left exactly as it was (std::bad_alloc). Entries move by copying
  // their bytes, which leaves the old tables as they were until they are
  // freed at the end; so undoing a failed rebuild only means forgetting
  // the new shape's control bytes. Entries without a place wait in the old
  // shape until the overflow part has been sized for all of them.
  VELOMAP_NOINLINE void resize(std::size_t new_capacity) {
    changes_.bump();
    if (new_capacity == 0 && shape_->len == 0) {
      shape_ = ShapeHandle<Shape>();
      return;
    }
    // Entries asked into capacity 0 all go to the overflow part of a shape
    // of the map's own (the shared empty one is never written).
    ShapeHandle<Shape> made =
        new_capacity == 0 ? ShapeHandle<Shape>::make() : make_shape(new_capacity);
    Shape& fresh = *made;
    std::vector<SlotPart<Entry>*> new_parts(fresh.levels.size() + 3);
    for (std::size_t i = 0; i < new_parts.size(); ++i) new_parts[i] = &fresh.part(i);
    const std::size_t old_parts = part_count();
    std::vector<SlotRef> stranded;
    try {
      if (fresh.wide_buckets) {
        move_placed<true>(fresh, new_parts, stranded);
      } else {
        move_placed<false>(fresh, new_parts, stranded);
      }
      if (!stranded.empty())
        fresh.overflow.table =
            RawTable<Entry>(std::max(kOverflowStart, std::bit_ceil(stranded.size())));
    } catch (...) {
      // The new control bytes name copies whose originals stay in place:
      // the fresh shape must go without releasing any.
      for (SlotPart<Entry>* part : new_parts) part->table.reset_ctrl();
      throw;
    }
    for (const SlotRef from : stranded) {
      RawTable<Entry>& src = shape_->part(from.part).table;
      const SlotRef to = overflow_slot(fresh);  // sized above: never grows here
      claim_in<Placing::kRebuild>(fresh, fresh.overflow, to,
                                  split(hash_of(src.entry(from.slot).key)));
      src.relocate(from.slot, fresh.overflow.table, to.slot);
    }
    // The walk bound and the last populated level were left alone during
    // the moves: the first slot of all is a lower bound for any table.
    fresh.first_full.emptied_before(SlotRef{0, 0});
    for (std::size_t i = 0; i < fresh.levels.size(); ++i)
      if (fresh.levels[i].len != 0) fresh.max_populated_level = i;
    for (std::size_t p = 0; p < old_parts; ++p) shape_->part(p).table.discard_moved_out();
    shape_ = std::move(made);
  }

  // The walk's view of the map: its parts in walk order (levels 0, 1, ...,
  // then the primary, the fallback and the overflow part).
  std::size_t table_count() const noexcept { return part_count(); }
  const SlotPart<Entry>& part_at(std::size_t i) const noexcept { return shape_->part(i); }

 private:
  friend ExtractIf;
  friend TableOps<FunnelHashMap<K, V>>;

  // Drains (popitem): a drained slot is marked free as removal marks it,
  // without lowering the level watermark (the drain's end may purge,
  // TableOps::finish_drain).
  Entry take_entry(SlotRef ref) noexcept {
    shape_->first_full.emptied_before(ref);
    return take_at(ref);
  }

  struct Shape {
    // The tables of the levels and the special array live in `block`, which
    // is declared after them: a move assignment replaces them before the
    // block, and the destructor empties them before the members go.
    std::vector<LevelT> levels;
    SpecialArray<Entry> special;
    SlotPart<Entry> overflow;  // allocated on its own: it grows by itself
    ShapeBlock block;
    std::size_t len = 0;
    std::size_t capacity = 0;
    std::size_t max_items = 0;
    std::size_t max_populated_level = 0;
    FirstFullBound first_full;
    bool wide_buckets = false;  // buckets span more than one group
    // One per bucket of the first level, in `block` (or none: see above).
    PassedFilter* passed = nullptr;

    void forget_passed() noexcept {
      if (passed != nullptr) std::fill_n(passed, levels[0].bucket_count, PassedFilter{});
    }

    Shape() = default;
    Shape(Shape&&) noexcept = default;
    Shape& operator=(Shape&&) noexcept = default;
    ~Shape() {
      levels.clear();
      special = SpecialArray<Entry>{};
    }

    SlotPart<Entry>& part(std::size_t i) noexcept {
      VELOMAP_ASSERT(i < levels.size() + 3);
      if (i < levels.size()) return levels[i];
      if (i == levels.size()) return special.primary;
      return i == levels.size() + 1 ? static_cast<SlotPart<Entry>&>(special.fallback) : overflow;
    }
    const SlotPart<Entry>& part(std::size_t i) const noexcept {
      return const_cast<Shape*>(this)->part(i);
    }
  };

  // The primary probe sequence of one hash.
  struct ProbeSeq {
    std::size_t g, step, mask, count;
    ProbeSeq(const Shape& s, std::size_t limit, std::uint64_t h) noexcept {
      const std::uint64_t r = std::rotl(h, 11);
      mask = s.special.primary.group_mask;
      g = static_cast<std::uint32_t>(r) & mask;
      step = (static_cast<std::uint32_t>(r >> 32) | 1u) & mask;
      count = std::min(std::max<std::size_t>(s.special.primary.group_count(), 1), limit);
    }
    void advance() noexcept { g = (g + step) & mask; }
  };

  FunnelHashMap() = default;

  // The rebuild's main pass: every entry in walk order goes to the slot its
  // hash gives it in `fresh`, or is noted in `stranded` when it has none.
  // Each entry's bytes are copied a few placements after its slot is
  // claimed in a table larger than the cache (DeferredRelocations); a
  // failure leaves the old tables whole.
  template <bool Wide>
  void move_placed(Shape& fresh, const std::vector<SlotPart<Entry>*>& new_parts,
                   std::vector<SlotRef>& stranded) {
    relocate_all<Entry>(fresh.capacity, [&](auto&& relocate) {
      move_placed_by<Wide>(fresh, new_parts, stranded, relocate);
    });
  }

  // The levels' part of choose_slot and claim_in, for a fresh shape, with
  // the map's seeds in registers and the first-level bucket worked out once
  // for the slot and the passed filter; what finds no place in the levels
  // goes to choose_slot's special arrays.
  template <bool Wide, class Relocate>
  VELOMAP_ALWAYS_INLINE void move_placed_by(Shape& fresh,
                                            const std::vector<SlotPart<Entry>*>& new_parts,
                                            std::vector<SlotRef>& stranded, Relocate&& relocate) {
    const std::uint64_t seed = this->seed_, shared = this->shared_seed_;
    LevelT* const levels = fresh.levels.data();
    const std::size_t count = fresh.levels.size();
    PassedFilter* const passed = fresh.passed;
    std::size_t placed = 0;  // in the levels, not yet counted in fresh.len
    for (std::size_t p = 0, parts = part_count(); p < parts; ++p) {
      const RawTable<Entry>& src = shape_->part(p).table;
      for (std::size_t base = 0, end = src.slot_count(); base < end; base += kGroupWidth) {
        for (unsigned bit : Group(src.ctrl() + base).match_full()) {
          const Entry* const e = &src.entry(base + bit);
          const HashParts hp = split(mix_hash(seed, e->key.hash_input(), shared));
          // The first free slot of the key's buckets in the levels, claimed.
          const auto claim_in_levels = [&]() -> Entry* {
            std::size_t bucket0 = 0;
            for (std::size_t i = 0; i < count; ++i) {
              LevelT& level = levels[i];
              const std::size_t bucket = level.bucket_of(hp.lo);
              if (i == 0) bucket0 = bucket;
              if (const SlotRef at = free_in_bucket<Wide>(level, i, bucket)) {
                level.template claim<false>(at.slot, hp.tag);
                if (i != 0 && passed != nullptr) passed[bucket0].add(hp.h);
                return &level.table.entry(at.slot);
              }
            }
            return nullptr;
          };
          if (Entry* const to = claim_in_levels()) {
            ++placed;
            relocate(to, e);
          } else if (const SlotRef at = choose_slot<Wide>(fresh, hp.h, count)) {
            claim_in<Placing::kRebuild>(fresh, *new_parts[at.part], at, hp);
            relocate(&new_parts[at.part]->table.entry(at.slot), e);
          } else {
            stranded.push_back({p, base + bit});
          }
        }
      }
    }
    fresh.len += placed;
  }

  static std::size_t overflow_index(const Shape& s) noexcept { return s.levels.size() + 2; }

  // The first free slot a lookup meets is where a new key goes.
  static void note_vacancy(InsertProbe& prep, SlotRef free) noexcept {
    if (!prep.vacancy) prep.vacancy = free;
  }
  static void note_vacancy(InsertProbe& prep, const Group& group, std::size_t part,
                           std::size_t base) noexcept {
    if (!prep.vacancy) prep.vacancy = first_free(group, part, base);
  }

  // In a table too large for the cache, ask at once for the key's bucket
  // in the next few levels and for its passed filter, so that their misses
  // overlap with the first level's.
  template <bool Wide>
  static void prefetch_levels(const Shape& s, std::uint32_t lo, std::size_t walked) noexcept {
    for (std::size_t i = 1; i < std::min(walked, kPrefetchLevels); ++i)
      prefetch_for_read(s.levels[i].table.ctrl() + s.levels[i].template bucket_start<Wide>(lo));
    if (s.passed != nullptr) prefetch_for_read(&s.passed[s.levels[0].bucket_of(lo)]);
  }

  // Whether a key of this hash may have been placed past its full
  // first-level bucket: its bits are in the bucket's passed filter, or
  // the level has none.
  static bool passed_first_level(const Shape& s, const HashParts& hp) noexcept {
    return s.passed == nullptr || s.passed[s.levels[0].bucket_of(hp.lo)].may_hold(hp.h);
  }

  // The lowest free slot of the group at `base` of part `part`: where a new
  // key goes among the slots that group covers (the one placement rule that
  // lookups noting a vacancy and choose_slot share).
  static SlotRef first_free(const Group& group, std::size_t part, std::size_t base) noexcept {
    const BitMask free = group.match_free();
    return free ? SlotRef{part, base + free.lowest()} : SlotRef{};
  }

  // The first free slot of `bucket` in level `i`, or none.
  template <bool Wide>
  static SlotRef free_in_bucket(const LevelT& level, std::size_t i, std::size_t bucket) noexcept {
    const std::size_t width = Wide ? level.bucket_slots() : kGroupWidth;
    for (std::size_t base = bucket * width, end = base + width; base != end; base += kGroupWidth)
      if (const SlotRef at = first_free(level.table.group_at_slot(base), i, base)) return at;
    return {};
  }

  // A free slot of the overflow part, which doubles first when it is full.
  // Throws std::bad_alloc with nothing changed; slots keep their indices.
  VELOMAP_NOINLINE static SlotRef overflow_slot(Shape& s) {
    SlotPart<Entry>& of = s.overflow;
    if (of.len == of.slot_count()) {
      RawTable<Entry> bigger(std::max(kOverflowStart, sat_mul(of.slot_count(), 2)));
      for (std::size_t slot = 0; slot < of.slot_count(); ++slot) {
        of.table.relocate(slot, bigger, slot);  // the part is full: every slot holds an entry
        bigger.ctrl()[slot] = of.table.ctrl_at(slot);
      }
      of.table.discard_moved_out();
      of.table.swap(bigger);
    }
    for (std::size_t g = 0;; ++g) {
      if (const BitMask free = of.table.group(g).match_free())
        return SlotRef{overflow_index(s), g * kGroupWidth + free.lowest()};
    }
  }

  // The lookup of insert and try_emplace: on a hit, the stored value and
  // false; otherwise the entry is placed (growing first if due) and its value
  // and true come back. `value` is moved from only when placed.
  std::pair<V*, bool> try_emplace_impl(K&& key, V& value) {
    const HashParts hp = split(hash_of(key));
    const InsertProbe p = find_or_prepare_insert(key, hp);
    if (p.found) return {&entry_at(p.found).value, false};
    // A lookup that ended early (EMPTY byte in a level group) always found
    // the vacancy; otherwise the remaining levels and the special array.
    const SlotRef at = p.vacancy ? p.vacancy : choose_slot(*shape_, hp.h, p.levels_walked);
    return {&place_new(std::move(key), std::move(value), hp, at.part, at.slot), true};
  }

  // Requires: fallback.bucket_count > 0.
  std::array<std::size_t, 2> fallback_buckets(std::uint64_t h) const noexcept {
    return fallback_buckets(*shape_, h);
  }
  static std::array<std::size_t, 2> fallback_buckets(const Shape& s, std::uint64_t h) noexcept {
    const std::size_t n = s.special.fallback.bucket_count;
    VELOMAP_ASSERT(n > 0);
    return {static_cast<std::uint32_t>(std::rotl(h, 19)) % n,
            static_cast<std::uint32_t>(h >> 27) % n};
  }

  // Place a new key: grow first when the map is at max_items, or when the key has no free candidate
  // place and the map is at least half way to max_items (see the header comment); a key still
  // without a place goes to the overflow part. Returns the stored value.
  // (part, slot) is choose_slot's answer for this hash (part
  // kNone for none). Taken as two words: a two-word struct argument gets
  // spilled and reloaded as one vector, which stalls store forwarding.
  V& place_new(K&& key, V&& value, const HashParts& hp, std::size_t part, std::size_t slot) {
    changes_.bump();
    SlotRef at{part, slot};
    if (shape_->len >= shape_->max_items || (!at && sat_mul(2, shape_->len) >= shape_->max_items)) {
      resize(next_growth(shape_->capacity));
      at = choose_slot(*shape_, hp.h);
    }
    if (!at) at = overflow_slot(*shape_);
    SlotPart<Entry>& target = shape_->part(at.part);
    claim_in(*shape_, target, at, hp);
    RawTable<Entry>& table = target.table;
    table.construct(at.slot, std::move(key), std::move(value));
    return table.entry(at.slot).value;
  }

  // Claim the slot of a key known to be absent without touching the walk
  // bound (copies, TableOps::insert_copies): the entry is to be constructed
  // there. None when the key has no free candidate place or the map is
  // full.
  SlotRef claim_copy(std::uint64_t h) noexcept {
    changes_.bump();
    const SlotRef at = shape_->len < shape_->max_items ? choose_slot(*shape_, h) : SlotRef{};
    if (at) claim_in<Placing::kCopy>(*shape_, shape_->part(at.part), at, split(h));
    return at;
  }

  // Ask for the first-level bucket a key of this hash would be placed in
  // first, a few placements ahead of claim_copy (copies of large tables).
  void prefetch_placement(std::uint64_t h) const noexcept {
    const Shape& s = *shape_;
    if (s.levels.empty()) return;
    const LevelT& first = s.levels[0];
    prefetch_for_read(first.table.ctrl() + first.template bucket_start<true>(low_word(h)));
  }

  // Place a key known to be absent the same way; without a claimed slot it
  // takes place_new's way.
  void place_copy(K&& key, V&& value, std::uint64_t h) {
    if (const SlotRef at = claim_copy(h)) {
      shape_->part(at.part).table.construct(at.slot, std::move(key), std::move(value));
    } else {
      place_new(std::move(key), std::move(value), split(h), SlotRef::kNone, 0);
    }
  }

  ShapeHandle<Shape> make_shape(std::size_t capacity) const {
    // Capacity 0 holds nothing (max_items 0: the first key grows the map),
    // so it needs no shape of its own: an empty map owns no memory.
    if (capacity == 0) return {};
    ShapeHandle<Shape> made = ShapeHandle<Shape>::make();
    Shape& s = *made;
    const FunnelGeometry g = plan_geometry(capacity, reserve_fraction_);
    // Every table but the overflow part's in one block.
    std::size_t bytes = 0;
    for (const std::size_t buckets : g.bucket_counts)
      bytes =
          sat_add(bytes, RawTable<Entry>::block_bytes(LevelT::slots_for(buckets, g.bucket_width)));
    bytes = sat_add(bytes, RawTable<Entry>::block_bytes(
                               SpecialArray<Entry>::primary_slots(g.special_capacity)));
    bytes = sat_add(bytes, RawTable<Entry>::block_bytes(
                               SpecialArray<Entry>::fallback_slots(g.special_capacity)));
    const auto first =
        std::find_if(g.bucket_counts.begin(), g.bucket_counts.end(), [](auto c) { return c != 0; });
    // A first level of one bucket (capacities up to 32) gets no filter: all
    // keys would share it.
    const std::size_t filters = first == g.bucket_counts.end() || *first < 2 ? 0 : *first;
    bytes = sat_add(bytes, ShapeBlock::piece(sat_mul(filters, sizeof(PassedFilter))));
    s.block = ShapeBlock(bytes);
    // A level of no bucket has no slot: placements pass it by and lookups
    // find nothing there, so it is left out (small maps have many: a map
    // of capacity 16 has one bucket in its last level and none before).
    // Each level kept has the salt of its index among all the levels.
    s.levels.reserve(static_cast<std::size_t>(std::count_if(
        g.bucket_counts.begin(), g.bucket_counts.end(), [](auto c) { return c != 0; })));
    for (std::size_t i = 0; i < g.bucket_counts.size(); ++i)
      if (g.bucket_counts[i] != 0)
        s.levels.emplace_back(i, g.bucket_counts[i], g.bucket_width, s.block);
    s.special =
        SpecialArray<Entry>::with_capacity_in(g.special_capacity, primary_probe_limit_, s.block);
    if (filters != 0) {
      s.passed = reinterpret_cast<PassedFilter*>(s.block.take(filters * sizeof(PassedFilter)));
      if (!s.block.zeroed()) s.forget_passed();
    }
    s.capacity = capacity;
    s.max_items = max_items_for(capacity, reserve_fraction_);
    s.wide_buckets = g.bucket_width > kGroupWidth;
    return made;
  }

  // The slot a new key with this hash takes: the first free one among its
  // level bucket groups, its primary probe groups and its two fallback
  // buckets, in that order (none when all are taken). Levels below
  // `from_level` are known to have no free slot for this hash.
  SlotRef choose_slot(const Shape& s, std::uint64_t h, std::size_t from_level = 0) const noexcept {
    return s.wide_buckets ? choose_slot<true>(s, h, from_level)
                          : choose_slot<false>(s, h, from_level);
  }
  template <bool Wide>
  VELOMAP_ALWAYS_INLINE SlotRef choose_slot(const Shape& s, std::uint64_t h,
                                            std::size_t from_level) const noexcept {
    const std::uint32_t lo = low_word(h);
    const std::size_t count = s.levels.size();
    for (std::size_t i = from_level; i < count; ++i) {
      const LevelT& level = s.levels[i];
      if (level.len >= level.slot_count()) continue;
      if (const SlotRef at = free_in_bucket<Wide>(level, i, level.bucket_of(lo))) return at;
    }
    const auto& primary = s.special.primary;
    if (primary.len < primary.slot_count()) {
      ProbeSeq seq(s, primary_probe_limit_, h);
      for (std::size_t j = 0; j < seq.count; ++j, seq.advance()) {
        if (const SlotRef at = first_free(primary.table.group(seq.g), count, seq.g * kGroupWidth))
          return at;
      }
    }
    const auto& fallback = s.special.fallback;
    if (fallback.len < fallback.slot_count() && fallback.bucket_count != 0) {
      for (const std::size_t b : fallback_buckets(s, h)) {
        const auto [first, end] = fallback.bucket_range(b);
        VELOMAP_COUNT_GROUPS(div_ceil(end - first, kGroupWidth));  // scanned byte by byte
        for (std::size_t slot = first; slot < end; ++slot)
          if (is_free(fallback.table.ctrl_at(slot))) return SlotRef{count + 1, slot};
      }
    }
    return {};
  }

  // Write the tag of a new entry at `at` (in `part`, which is
  // s.part(at.part)) and account for it; the caller constructs the entry
  // there.
  template <Placing Mode = Placing::kInsert>
  static void claim_in(Shape& s, SlotPart<Entry>& part, SlotRef at, const HashParts& hp) noexcept {
    const ctrl_t tag = hp.tag;
    part.template claim<Mode != Placing::kRebuild>(at.slot, tag);
    if (at.part != 0 && s.passed != nullptr) s.passed[s.levels[0].bucket_of(hp.lo)].add(hp.h);
    if (at.part < s.levels.size()) {
      if constexpr (Mode != Placing::kRebuild)
        s.max_populated_level = std::max(s.max_populated_level, at.part);
    } else if (at.part == s.levels.size()) {
      s.special.primary.group_summaries[at.slot / kGroupWidth].add(tag);
    }
    if constexpr (Mode == Placing::kInsert) s.first_full.placed(at);
    ++s.len;
  }

  // Move an entry out and mark its slot free: EMPTY when its aligned group
  // still holds an EMPTY byte (no probe can have passed through it), else
  // DELETED and a tombstone. The overflow part is scanned whole, so its
  // slots always go back to EMPTY. Requires: a full slot.
  Entry take_at(SlotRef at) noexcept {
    changes_.bump();
    SlotPart<Entry>& part = shape_->part(at.part);
    VELOMAP_ASSERT(at.slot < part.slot_count() && is_full(part.table.ctrl_at(at.slot)));
    Entry out = part.table.take(at.slot);
    const bool group_has_empty =
        at.part == overflow_index(*shape_) || part.table.group_at_slot(at.slot).has_empty();
    part.table.ctrl()[at.slot] = group_has_empty ? kEmpty : kDeleted;
    if (!group_has_empty) ++part.tombstones;
    --part.len;
    --shape_->len;
    return out;
  }

  ShapeHandle<Shape> shape_;
  ChangeCount changes_;
  std::uint64_t seed_ = 0;
  std::uint64_t shared_seed_ = 0;
  double reserve_fraction_ = kDefaultReserveFraction;
  std::size_t primary_probe_limit_ = 1;
};

}  // namespace velomap::funnel
