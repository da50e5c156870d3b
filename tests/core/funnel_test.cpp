#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <limits>
#include <optional>
#include <random>
#include <vector>

#include "common/growth.h"
#include "funnel/geometry.h"
#include "funnel/table.h"
#include "test_support.h"

namespace velomap::funnel {
namespace {

using namespace velomap::testing;
using Map = FunnelHashMap<TestKey, Counted>;
class FunnelMap : public LiveCheck {};

Sizes counts_of(std::size_t capacity, double delta = 0.1) {
  return plan_geometry(capacity, delta).bucket_counts;
}

Sizes padded(Sizes head, std::size_t n) {
  head.resize(n, 0);
  return head;
}

// ---- geometry -------------------------------------------------------------
TEST(FunnelGeometry, LevelCountWidthAndProbeLimit) {
  EXPECT_EQ(level_count_for(0.1), 24u);
  EXPECT_EQ(bucket_width_for(0.1), 16u);
  EXPECT_EQ(level_count_for(0.125), 22u);
  EXPECT_EQ(level_count_for(0.000001), 90u);
  EXPECT_EQ(bucket_width_for(0.000001), 48u);
  const double inf = std::numeric_limits<double>::infinity();
  for (auto [in, out] : std::vector<std::pair<double, double>>{
           {0.5, 0.125}, {1e-9, 0.000001}, {std::nan(""), 0.1}, {-inf, 0.1}})
    EXPECT_EQ(normalize_reserve_fraction(in), out) << in;
  for (auto [capacity, limit] : std::vector<std::pair<std::size_t, std::size_t>>{
           {0, 1}, {4, 1}, {5, 2}, {16, 2}, {17, 3}, {256, 3}, {257, 4}, {65536, 4}, {65537, 5}})
    EXPECT_EQ(default_probe_limit(capacity), limit) << capacity;
}

TEST(FunnelGeometry, BucketCountsAndSpecialCapacity) {
  Sizes last_only(24, 0);
  last_only[23] = 1;
  const struct {
    std::size_t capacity, special;
    Sizes counts;
  } cases[] = {{0, 0, padded({}, 24)},
               {1, 1, padded({}, 24)},
               {16, 0, last_only},
               {32, 0, padded({1, 1}, 24)},
               {64, 0, padded({1, 1, 1, 1}, 24)},
               {100, 4, padded({2, 2, 1, 1}, 24)},
               {1000, 72, padded({15, 11, 8, 6, 5, 4, 3, 2, 2, 1, 1}, 24)}};
  for (const auto& c : cases) {
    EXPECT_EQ(counts_of(c.capacity), c.counts) << c.capacity;
    EXPECT_EQ(plan_geometry(c.capacity, 0.1).special_capacity, c.special) << c.capacity;
  }

  const FunnelGeometry g = plan_geometry(100000, 0.1);
  EXPECT_EQ(g.special_capacity, 7488u);
  std::size_t total = 0;
  for (std::size_t c : g.bucket_counts) total += c;
  EXPECT_EQ(total, 5782u);
  EXPECT_EQ(Sizes(g.bucket_counts.begin(), g.bucket_counts.begin() + 5),
            (Sizes{1447, 1085, 814, 611, 458}));
  EXPECT_EQ(Sizes(g.bucket_counts.end() - 5, g.bucket_counts.end()), (Sizes{5, 3, 2, 1, 0}));
}

TEST(FunnelGeometry, BucketSequencesFollowTheThreeQuartersRule) {
  EXPECT_FALSE(build_funnel_bucket_sequence(10, 3, 11));
  for (std::size_t b : {1u, 7u, 58u, 5782u}) {
    const Sizes s = partition_funnel_buckets(b, 24);
    std::size_t sum = s[0];
    for (std::size_t i = 1; i < s.size(); ++i) {
      sum += s[i];
      EXPECT_GE(s[i] + 1, (3 * s[i - 1] + 3) / 4) << b;  // ≥ ceil(3p/4) − 1
      EXPECT_LE(s[i], 3 * s[i - 1] / 4 + 1) << b;        // ≤ floor(3p/4) + 1
    }
    EXPECT_EQ(sum, b);
  }
}

// ---- construction ---------------------------------------------------------
TEST_F(FunnelMap, SpecialArrayShapes) {
  const struct {
    std::size_t capacity, limit, primary, fallback, buckets, max_items;
  } cases[] = {{1, 1, 16, 0, 0, 1},
               {100, 3, 16, 16, 1, 90},
               {1000, 4, 64, 48, 5, 900},
               {100000, 5, 4096, 3744, 234, 90000}};
  for (const auto& c : cases) {
    const Map m = Map::with_options(c.capacity);
    EXPECT_EQ(m.primary_probe_limit(), c.limit) << c.capacity;
    EXPECT_EQ(m.primary().slot_count(), c.primary) << c.capacity;
    EXPECT_EQ(m.fallback().slot_count(), c.fallback) << c.capacity;
    EXPECT_EQ(m.fallback().bucket_count, c.buckets) << c.capacity;
    EXPECT_EQ(m.max_items(), c.max_items) << c.capacity;
  }
  const Map m1000 = Map::with_options(1000);
  Sizes slots;
  for (const auto& l : m1000.levels()) slots.push_back(l.slot_count());
  EXPECT_EQ(slots, (Sizes{240, 176, 128, 96, 80, 64, 48, 32, 32, 16, 16}));  // no empty level
  EXPECT_EQ(Map::with_options(100).fallback().bucket_shift, 3u);
  EXPECT_EQ(m1000.fallback().bucket_range(4), (std::pair<std::size_t, std::size_t>{32, 40}));

  // Capacity 16: one bucket, in the last of the 24 levels, with its salt.
  const Map m16 = Map::with_options(16);
  ASSERT_EQ(m16.levels().size(), 1u);
  EXPECT_EQ(m16.levels()[0].salt, 24 * kSaltStep);
  EXPECT_EQ(Map::with_options(100, 0.1, 0).primary_probe_limit(), 1u);

  // A probe limit above 2^30 leaves the fallback without usable buckets.
  Map huge = Map::with_options(1000, 0.1, std::size_t{1} << 31);
  EXPECT_EQ(huge.fallback().bucket_count, 0u);
  fill(huge, 0, 900);
  for (std::int64_t i = 0; i < 900; ++i) ASSERT_EQ(value_of(huge, key(i)), i);
}

// ---- placement, against a reference written from the placement order ------
// Where a new key goes: the first free slot of its bucket in levels 0, 1,
// ... (full levels skipped), then of the first primary_probe_limit
// groups of its primary sequence, then of fallback buckets b1 and b2; else
// the overflow part (represented by the part index past the fallback).
SlotRef reference_slot(const Map& m, std::uint64_t h) {
  const std::uint32_t lo = static_cast<std::uint32_t>(h);
  const auto first_free = [](const auto& table, std::size_t from,
                             std::size_t end) -> std::optional<std::size_t> {
    for (std::size_t s = from; s < end; ++s)
      if ((table.ctrl_at(s) & 0x7F) == 0) return s;
    return std::nullopt;
  };
  const std::size_t n = m.levels().size();
  for (std::size_t i = 0; i < n; ++i) {
    const auto& l = m.levels()[i];
    if (l.len >= l.slot_count()) continue;
    const std::uint32_t spread = lo * (static_cast<std::uint32_t>(l.salt) | 1u);
    const auto bucket = static_cast<std::size_t>((std::uint64_t{spread} * l.bucket_count) >> 32);
    const std::size_t start = bucket * l.bucket_width;
    if (auto s = first_free(l.table, start, start + l.bucket_width)) return {i, *s};
  }
  const auto& p = m.primary();
  if (p.len < p.slot_count()) {
    const std::uint64_t r = std::rotl(h, 11);
    std::size_t g = static_cast<std::uint32_t>(r) & p.group_mask;
    const std::size_t step = (static_cast<std::uint32_t>(r >> 32) | 1u) & p.group_mask;
    for (std::size_t j = 0; j < std::min(p.group_count(), m.primary_probe_limit()); ++j) {
      if (auto s = first_free(p.table, g * 16, g * 16 + 16)) return {n, *s};
      g = (g + step) & p.group_mask;
    }
  }
  const auto& f = m.fallback();
  if (f.len < f.slot_count() && f.bucket_count != 0) {
    for (std::size_t b :
         {std::size_t{static_cast<std::uint32_t>(std::rotl(h, 19))} % f.bucket_count,
          std::size_t{static_cast<std::uint32_t>(h >> 27)} % f.bucket_count}) {
      if (auto s = first_free(f.table, b << f.bucket_shift,
                              std::min((b + 1) << f.bucket_shift, f.slot_count())))
        return {n + 1, *s};
    }
  }
  const auto& of = m.overflow();
  return {n + 2, first_free(of.table, 0, of.slot_count()).value_or(of.slot_count())};
}

TEST_F(FunnelMap, PlacementFollowsTheFunnelOrder) {
  std::array<std::size_t, 4> used{};  // levels, primary, fallback, overflow
  std::mt19937_64 rng(5);
  const std::pair<std::size_t, double> options[] = {{1, 0.1}, {3, 0.001}, {5, 0.1}};
  for (const auto& [limit, delta] : options) {  // δ = 0.001: buckets of 32 slots
    Map m = Map::with_options(4096, delta, limit);
    for (std::int64_t i = 0; i < 6000; ++i) {
      // One key in three shares one of two hashes, to reach the special
      // array and the overflow part.
      const TestKey k =
          i % 3 == 0 ? TestKey{rng() % 2, -i} : key(static_cast<std::int64_t>(rng() >> 1));
      if (i % 9 == 4) {
        const Map::Entry* first = m.iter().next();  // tombstones too
        ASSERT_NE(first, nullptr);
        m.remove(TestKey(first->key));
      }
      const SlotRef want = reference_slot(m, m.hash_of(k));
      const std::size_t capacity = m.capacity();
      m.insert(k, Counted(i));
      if (m.capacity() != capacity) continue;  // grew: placed in the new shape
      const SlotRef got = m.find(k);
      ASSERT_EQ(got.part, want.part) << "key " << i;
      ASSERT_EQ(got.slot, want.slot);
      const std::size_t n = m.levels().size();
      ++used[want.part < n ? 0 : want.part - n + 1];
    }
  }
  for (std::size_t u : used) EXPECT_GT(u, 0u);
}

// ---- removal --------------------------------------------------------------
TEST_F(FunnelMap, RemovalMarksEmptyOrDeleted) {
  Map m = Map::with_options(32);
  fill(m, 0, 29);  // level 0: 16 (full group), level 1: 13
  ASSERT_EQ(m.levels()[0].len, 16u);
  ASSERT_EQ(m.levels()[1].len, 13u);

  // Level 1's group still has EMPTY bytes: a removal there leaves EMPTY.
  std::int64_t in_level1 = -1;
  for (std::int64_t i = 0; i < 29; ++i) {
    const auto at = m.find(key(i));
    if (at.part == 1) in_level1 = i;
  }
  m.remove(key(in_level1));
  EXPECT_EQ(m.levels()[1].tombstones, 0u);
  m.insert(key(in_level1), Counted(in_level1));

  // Level 0's group is full: removals leave DELETED; the 9th purges.
  std::vector<std::int64_t> level0;
  for (std::int64_t i = 0; i < 29; ++i)
    if (m.find(key(i)).part == 0) level0.push_back(i);
  ASSERT_EQ(level0.size(), 16u);
  for (std::size_t r = 0; r < 8; ++r) m.remove(key(level0[r]));
  EXPECT_EQ(m.levels()[0].tombstones, 8u);
  m.remove(key(level0[8]));
  EXPECT_EQ(m.capacity(), 32u);
  EXPECT_EQ(m.levels()[0].len, 16u);
  EXPECT_EQ(m.levels()[1].len, 4u);
  for (std::size_t i = 0; i < m.part_count(); ++i) EXPECT_EQ(m.part(i).tombstones, 0u);
  for (std::int64_t i = 0; i < 29; ++i) {
    const bool removed = std::find(level0.begin(), level0.begin() + 9, i) != level0.begin() + 9;
    EXPECT_EQ(m.contains_key(key(i)), !removed) << i;
  }
}

// Keys that share every level bucket but not the rest of their hash reach
// the special array; each sets its own bits of its first-level bucket's
// passed filter, which lookups for it must get past.
TEST_F(FunnelMap, KeysPastEveryLevelAreFoundThroughThePassedFilter) {
  Map m = Map::with_options(100);  // levels of 2, 2, 1 and 1 buckets
  std::vector<std::int64_t> ids;
  for (std::int64_t id = 0; ids.size() < 75; ++id) {
    const std::uint32_t lo = low_word(m.hash_of(key(id)));
    if (m.levels()[0].bucket_of(lo) == 0 && m.levels()[1].bucket_of(lo) == 0) ids.push_back(id);
  }
  for (const std::int64_t id : ids) m.insert(key(id), Counted(id));
  ASSERT_EQ(m.capacity(), 100u);
  EXPECT_EQ(m.primary().len, 11u);
  for (const std::int64_t id : ids) ASSERT_EQ(value_of(m, key(id)), id);
}

// Keys sharing one hash run out of candidate places after a few hundred;
// the rest go to the overflow part, growth happens about once per doubling
// of the key count (not once per key), and everything stays findable.
TEST_F(FunnelMap, EqualHashFloodGoesToTheOverflowPart) {
  Map m = Map::with_options(100);
  std::size_t growths = 0;
  for (std::int64_t i = 0; i < 3000; ++i) {
    const std::size_t before = m.capacity();
    m.insert(TestKey{777, i}, Counted(i));
    growths += m.capacity() != before;
  }
  EXPECT_EQ(m.len(), 3000u);
  EXPECT_GT(m.overflow().len, 2500u);
  EXPECT_LE(m.capacity(), 8 * 3000u);
  EXPECT_LE(growths, 10u);
  for (std::int64_t i = 0; i < 3000; ++i) ASSERT_EQ(value_of(m, TestKey{777, i}), i);
}

// Buckets wider than a group (δ < 1/256) are used whole: whatever the
// reserve fraction and starting capacity, ordinary keys grow the map exactly
// where max_items says and never need the overflow part.
TEST_F(FunnelMap, OrdinaryKeysGrowAtMaxItemsWhateverTheReserveFraction) {
  std::mt19937_64 rng(3);
  for (double delta : {1e-6, 1e-5, 1e-4, 0.001, 1.0 / 300, 1.0 / 256, 0.01, 0.05, 0.125}) {
    for (std::size_t start : {0u, 1u, 16u}) {
      Map m = Map::with_options(start, delta);
      for (std::int64_t i = 0; i < 10000; ++i)
        m.insert(key(static_cast<std::int64_t>(rng() >> 1)), Counted(i));
      EXPECT_EQ(m.capacity(), capacity_for_inserting(start, m.len(), m.reserve_fraction()))
          << delta << " " << start;
      EXPECT_EQ(m.overflow().len, 0u) << delta << " " << start;
    }
  }
  Map wide = Map::with_options(65536, 1.0 / 512);
  fill(wide, 0, 65408);
  EXPECT_EQ(wide.capacity(), 65536u);
  EXPECT_EQ(wide.overflow().len, 0u);
}

}  // namespace
}  // namespace velomap::funnel
