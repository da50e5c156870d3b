#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <limits>
#include <random>
#include <vector>

#include "funnel/geometry.h"
#include "funnel/table.h"
#include "test_support.h"

namespace velomap::funnel {
namespace {

using namespace velomap::testing;
using Map = FunnelHashMap<TestKey, Counted>;

Sizes counts_of(std::size_t capacity, double delta = 0.1) {
  return plan_geometry(capacity, delta).bucket_counts;
}

Sizes padded(Sizes head, std::size_t n) {
  head.resize(n, 0);
  return head;
}

// ---- geometry -------------------------------------------------------------
TEST(FunnelGeometry, LevelCountAndWidth) {
  EXPECT_EQ(level_count_for(0.1), 24u);
  EXPECT_EQ(bucket_width_for(0.1), 16u);
  EXPECT_EQ(level_count_for(0.125), 22u);
  EXPECT_EQ(level_count_for(0.000001), 90u);
  EXPECT_EQ(bucket_width_for(0.000001), 48u);
  EXPECT_EQ(normalize_reserve_fraction(0.5), 0.125);
  EXPECT_EQ(normalize_reserve_fraction(1e-9), 0.000001);
  EXPECT_EQ(normalize_reserve_fraction(std::nan("")), 0.1);
  EXPECT_EQ(normalize_reserve_fraction(-std::numeric_limits<double>::infinity()), 0.1);
}

TEST(FunnelGeometry, DefaultProbeLimit) {
  const struct {
    std::size_t capacity, limit;
  } cases[] = {{0, 1}, {4, 1}, {5, 2}, {16, 2}, {17, 3}, {256, 3}, {257, 4},
               {65536, 4}, {65537, 5}, {100000, 5}};
  for (const auto& c : cases) EXPECT_EQ(default_probe_limit(c.capacity), c.limit) << c.capacity;
}

TEST(FunnelGeometry, SmallCapacities) {
  EXPECT_EQ(counts_of(0), padded({}, 24));
  EXPECT_EQ(plan_geometry(1, 0.1).special_capacity, 1u);
  EXPECT_EQ(counts_of(1), padded({}, 24));
  EXPECT_EQ(plan_geometry(16, 0.1).special_capacity, 0u);
  Sizes last_only(24, 0);
  last_only[23] = 1;
  EXPECT_EQ(counts_of(16), last_only);
  EXPECT_EQ(counts_of(32), padded({1, 1}, 24));
  EXPECT_EQ(counts_of(64), padded({1, 1, 1, 1}, 24));
  EXPECT_EQ(plan_geometry(100, 0.1).special_capacity, 4u);
  EXPECT_EQ(counts_of(100), padded({2, 2, 1, 1}, 24));
}

TEST(FunnelGeometry, LargeCapacities) {
  const FunnelGeometry g1000 = plan_geometry(1000, 0.1);
  EXPECT_EQ(g1000.special_capacity, 72u);
  EXPECT_EQ(g1000.bucket_counts, padded({15, 11, 8, 6, 5, 4, 3, 2, 2, 1, 1}, 24));

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
TEST(FunnelMap, SpecialArrayShapes) {
  const Map m100 = Map::with_options(100);
  EXPECT_EQ(m100.primary_probe_limit(), 3u);
  EXPECT_EQ(m100.primary().slot_count(), 16u);
  EXPECT_EQ(m100.fallback().slot_count(), 16u);
  EXPECT_EQ(m100.fallback().bucket_count, 1u);
  EXPECT_EQ(m100.fallback().bucket_shift, 3u);
  EXPECT_EQ(m100.max_items(), 90u);

  const Map m1000 = Map::with_options(1000);
  Sizes slots;
  for (const auto& l : m1000.levels()) slots.push_back(l.slot_count());
  EXPECT_EQ(slots, padded({256, 256, 128, 128, 128, 64, 64, 32, 32, 16, 16}, 24));
  EXPECT_EQ(m1000.primary().slot_count(), 64u);
  EXPECT_EQ(m1000.fallback().slot_count(), 48u);
  EXPECT_EQ(m1000.fallback().bucket_count, 5u);
  EXPECT_EQ(m1000.fallback().bucket_range(4), (std::pair<std::size_t, std::size_t>{32, 40}));

  const Map m100k = Map::with_options(100000);
  EXPECT_EQ(m100k.primary().slot_count(), 4096u);
  EXPECT_EQ(m100k.fallback().slot_count(), 3744u);
  EXPECT_EQ(m100k.fallback().bucket_count, 234u);

  const Map m1 = Map::with_options(1);
  EXPECT_EQ(m1.primary().slot_count(), 16u);
  EXPECT_EQ(m1.fallback().slot_count(), 0u);
  EXPECT_EQ(m1.max_items(), 1u);

  const Map tiny = Map::with_options(100, 1e-9);
  EXPECT_EQ(tiny.levels().size(), 90u);
  EXPECT_EQ(Map::with_options(100, 0.5).levels().size(), 22u);
  EXPECT_EQ(Map::with_options(100, 0.1, 0).primary_probe_limit(), 1u);

  // A probe limit above 2^30 leaves the fallback without usable buckets.
  Map huge = Map::with_options(1000, 0.1, std::size_t{1} << 31);
  EXPECT_EQ(huge.fallback().bucket_count, 0u);
  fill(huge, 0, 900);
  for (std::int64_t i = 0; i < 900; ++i) ASSERT_EQ(huge.get(key(i))->v, i);
}

// ---- insertion and growth -------------------------------------------------
TEST(FunnelMap, GrowthPoints) {
  Map z = Map::with_options(0);
  EXPECT_FALSE(z.contains_key(key(1)));
  z.insert(key(1), Counted(1));
  EXPECT_EQ(z.capacity(), 16u);
  EXPECT_EQ(z.levels()[23].len, 1u);

  Map m = Map::with_options(32);
  fill(m, 0, 29);
  EXPECT_EQ(m.capacity(), 32u);
  EXPECT_EQ(m.levels()[0].len + m.levels()[1].len, 29u);
  m.insert(key(3), Counted(-3));  // replacement at max_items: no growth
  EXPECT_EQ(m.capacity(), 32u);
  fill(m, 29, 30);
  EXPECT_EQ(m.capacity(), 64u);
  for (std::int64_t i = 0; i < 30; ++i) ASSERT_EQ(m.get(key(i))->v, i == 3 ? -3 : i);
}

TEST(FunnelMap, NewKeysGoWhereChooseSlotSays) {
  // Insertion finds the slot during its lookup; it must be the one the
  // placement rule names, also after removals left DELETED bytes behind.
  Map m = Map::with_options(1000);
  std::mt19937_64 rng(7);
  for (int step = 0; step < 5000; ++step) {
    const std::int64_t id = static_cast<std::int64_t>(rng() % 1200);
    const TestKey k = id % 5 == 0 ? TestKey{id % 3, id} : key(id);
    if (rng() % 3 == 0) {
      m.remove(k);
      continue;
    }
    if (m.contains_key(k) || m.len() >= m.max_items()) continue;
    const SlotLocation expected = m.choose_slot_for_new_key(m.hash_of(k));
    if (!expected) continue;  // would grow
    m.insert(k, Counted(id));
    const SlotLocation got = m.find(k);
    ASSERT_EQ(got.part, expected.part);
    ASSERT_EQ(got.slot, expected.slot);
  }
}

// ---- removal --------------------------------------------------------------
TEST(FunnelMap, RemovalMarksEmptyOrDeleted) {
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
  for (int r = 0; r < 8; ++r) m.remove(key(level0[r]));
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

TEST(FunnelMap, WatermarkFallsWithEmptyLevels) {
  Map m = Map::with_options(64);  // four levels of one bucket
  fill(m, 0, 58);
  ASSERT_EQ(m.max_populated_level(), 3u);
  for (std::int64_t i = 0; i < 58; ++i)
    if (m.find(key(i)).part == 3) m.remove(key(i));
  EXPECT_EQ(m.max_populated_level(), 2u);
  EXPECT_FALSE(m.remove(key(1000)));
  EXPECT_EQ(m.max_populated_level(), 2u);
}

TEST(FunnelMap, PrimarySummariesKeepBitsAfterRemoval) {
  // Capacity 1: everything lives in the primary.
  Map m = Map::with_options(1);
  m.insert(key(5), Counted(5));
  const auto at = m.find(key(5));
  ASSERT_EQ(at.part, m.levels().size());
  m.remove(key(5));
  std::size_t bits = 0;
  for (auto w : m.primary().group_summaries[0].bits) bits += std::popcount(w);
  EXPECT_EQ(bits, 1u);
  EXPECT_FALSE(m.contains_key(key(5)));
}

TEST(FunnelMap, ClearAndReserve) {
  Map m = Map::with_options(0);
  fill(m, 0, 40);
  ASSERT_EQ(m.capacity(), 64u);
  m.clear();
  EXPECT_EQ(m.len(), 0u);
  EXPECT_EQ(Counted::live, 0);
  EXPECT_EQ(m.max_items(), 58u);
  fill(m, 0, 58);
  EXPECT_EQ(m.capacity(), 64u);

  Map r = Map::with_options(0);
  r.reserve(0);
  EXPECT_EQ(r.capacity(), 0u);
  r.reserve(20);
  EXPECT_EQ(r.capacity(), 32u);
  Map r2 = Map::with_options(0);
  r2.reserve(30);
  EXPECT_EQ(r2.capacity(), 64u);
}

TEST(FunnelMap, IterationOrderIsLevelsPrimaryFallback) {
  Map m = Map::with_options(0);
  EXPECT_EQ(m.iter().next(), nullptr);
  m.insert(key(1), Counted(1));
  auto it = m.iter();
  ASSERT_NE(it.next(), nullptr);
  EXPECT_EQ(it.next(), nullptr);

  Map big = Map::with_options(1000);
  // Keys sharing one hash fill their group in each of the 11 non-empty
  // levels (176 slots), then 4 primary groups (64), then at least one
  // 8-slot fallback bucket.
  for (std::int64_t i = 0; i < 244; ++i) big.insert(TestKey{777, 10000 + i}, Counted(i));
  ASSERT_EQ(big.capacity(), 1000u);
  ASSERT_EQ(big.primary().len, 64u);
  ASSERT_EQ(big.fallback().len, 4u);
  std::size_t last_part = 0;
  big.for_each([&](const auto& e) {
    const std::size_t part = big.find(e.key).part;
    EXPECT_GE(part, last_part);
    last_part = part;
  });
  ASSERT_GT(big.primary().len, 0u);
  // popitem's drain removes the first entry of the walk: the lowest slot of
  // level 0.
  const TestKey first = big.iter().next()->key;
  EXPECT_EQ(big.find(first).part, 0u);
  auto drain = big.extract_if();
  EXPECT_EQ(drain.next()->key.id, first.id);
}

TEST(FunnelMap, EqualHashFloodKeepsEverythingFindable) {
  Map m = Map::with_options(100);
  std::int64_t stored = 0;
  for (std::int64_t i = 0; i < 10000; ++i) {
    try {
      m.insert(TestKey{777, i}, Counted(i));
      ++stored;
    } catch (const InternalFailure& e) {
      EXPECT_STREQ(e.what(), "no free slot found after resize");
      break;
    }
  }
  EXPECT_GT(stored, 16);
  EXPECT_EQ(m.len(), static_cast<std::size_t>(stored));
  for (std::int64_t i = 0; i < stored; ++i) ASSERT_EQ(m.get(TestKey{777, i})->v, i);
  m.insert(key(5), Counted(5));  // still usable
  EXPECT_TRUE(m.contains_key(key(5)));
}

TEST(FunnelMap, TinyReserveFractionKeepsWorking) {
  // Fewer usable slots than max_items: rebuilds must retry, never lose.
  Map m = Map::with_options(3, 1e-9);
  fill(m, 0, 60);
  EXPECT_EQ(m.len(), 60u);
  for (std::int64_t i = 0; i < 60; ++i) ASSERT_EQ(m.get(key(i))->v, i);
}

}  // namespace
}  // namespace velomap::funnel
