#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <limits>
#include <optional>
#include <random>
#include <vector>

#include "elastic/geometry.h"
#include "elastic/table.h"
#include "test_support.h"

namespace velomap::elastic {
namespace {

using namespace velomap::testing;
using Map = ElasticHashMap<TestKey, Counted>;
class ElasticMap : public LiveCheck {};

// ---- geometry -------------------------------------------------------------
// Levels deal out the groups a capacity needs, halving: fewer than 16 slots
// more than the capacity in all, one level for a map of 16.
TEST(ElasticGeometry, LevelsHalveTheGroupsOfTheCapacity) {
  EXPECT_TRUE(partition_levels(0).empty());
  EXPECT_EQ(partition_levels(1), Sizes{16});
  EXPECT_EQ(partition_levels(16), Sizes{16});
  EXPECT_EQ(partition_levels(17), (Sizes{16, 16}));
  EXPECT_EQ(partition_levels(100), (Sizes{64, 32, 16}));
  EXPECT_EQ(partition_levels(1500), (Sizes{752, 384, 192, 96, 48, 16, 16}));
  for (std::size_t n : {1000u, 4096u, 5000u, 300000u, 1050000u, 1111112u}) {
    std::size_t total = 0;
    for (std::size_t size : partition_levels(n)) total += size;
    EXPECT_GE(total, n);
    EXPECT_LT(total, n + 16) << n;
  }
}

TEST(ElasticGeometry, BatchPlans) {
  EXPECT_TRUE(build_batch_plan(Sizes{}, 10, 0.1).empty());
  EXPECT_TRUE(build_batch_plan(Sizes{16}, 0, 0.1).empty());
  EXPECT_EQ(build_batch_plan(Sizes{16, 16}, 15, 0.1), (Sizes{12, 3}));
  EXPECT_EQ(build_batch_plan(partition_levels(100), 90, 0.1), (Sizes{48, 37, 5}));
  EXPECT_EQ(build_batch_plan(partition_levels(1000), 900, 0.1), (Sizes{384, 295, 148, 73, 0, 0}));
  // Levels that cannot take the total get one extra batch.
  EXPECT_EQ(build_batch_plan(Sizes{16}, 14, 0.1), (Sizes{12, 2}));
}

TEST(ElasticGeometry, ProbeLimitTables) {
  const ProbeLimits l64(64, 4, 0.1, 16.0);
  using Pairs = std::vector<std::pair<std::size_t, std::size_t>>;
  EXPECT_EQ(l64.recorded(), (Pairs{{2, 31}, {3, 24}, {4, 19}}));
  for (std::size_t f = 0; f <= 64; ++f) {
    const std::size_t expect = f == 0 ? 1 : f <= 19 ? 4 : f <= 24 ? 3 : f <= 31 ? 2 : 1;
    EXPECT_EQ(l64.budget(f), expect) << f;
  }
  EXPECT_EQ(ProbeLimits(1024, 64, 0.1, 16.0).recorded(), (Pairs{{2, 511}, {3, 384}, {4, 308}}));
  // One group: always one.
  EXPECT_TRUE(ProbeLimits(16, 1, 0.1, 16.0).recorded().empty());
  // A huge scale is capped by the group count.
  EXPECT_EQ(ProbeLimits(64, 4, 0.1, 1e9).budget(1), 4u);
}

TEST(ElasticGeometry, Normalisation) {
  const double inf = std::numeric_limits<double>::infinity(), nan = std::nan("");
  using Cases = std::vector<std::pair<double, double>>;
  for (auto [in, out] : Cases{{nan, 0.1}, {inf, 0.1}, {0.0, 0.000001}, {1.0, 0.999999}})
    EXPECT_EQ(normalize_reserve_fraction(in), out) << in;
  for (auto [in, out] :
       Cases{{0.0, 16.0}, {-3.0, 16.0}, {nan, 16.0}, {-inf, 16.0}, {5e-324, 5e-324}})
    EXPECT_EQ(normalize_probe_scale(in), out) << in;
}

// A full probe of a level visits each of its groups once, whatever their
// count, from any start.
TEST(ElasticGeometry, ProbeSequencesCoverAnyGroupCount) {
  for (std::size_t groups = 1; groups <= 300; ++groups) {
    for (std::size_t start : {std::size_t{0}, groups / 2, groups - 1}) {
      ProbeSeq seq{start, next_pow2(groups) - 1, groups};
      std::vector<bool> seen(groups);
      for (;; seq.advance()) {
        ASSERT_LT(seq.g, groups);
        ASSERT_FALSE(seen[seq.g]) << groups << " groups, start " << start;
        seen[seq.g] = true;
        if (seq.done()) break;
      }
      EXPECT_EQ(std::count(seen.begin(), seen.end(), true), static_cast<std::ptrdiff_t>(groups));
    }
  }
}

TEST_F(ElasticMap, ConstructionFigures) {
  const Map m = Map::with_options(1000);
  EXPECT_EQ(m.max_items(), 900u);
  Sizes thresholds;
  for (const auto& l : m.levels()) thresholds.push_back(l.reserve_threshold);
  EXPECT_EQ(thresholds, (Sizes{25, 12, 6, 3, 1, 0}));
  EXPECT_EQ(m.batch_remaining(), 384u);

  EXPECT_EQ(Map::with_options(1000, 0.999999).max_items(), 1u);
}

// ---- removal and tombstones -------------------------------------------------
TEST_F(ElasticMap, RemovalWritesTombstonesPurgesPastHalfAndClearRestarts) {
  Map m = Map::with_options(100);  // level 0: 64 slots, batch 0 = 48
  fill(m, 0, 48);
  ASSERT_EQ(m.levels()[0].len, 48u);
  for (std::int64_t i = 0; i < 32; ++i) ASSERT_EQ(m.remove(key(i))->v, i);
  EXPECT_EQ(m.levels()[0].tombstones, 32u);
  EXPECT_EQ(m.max_populated_level(), 0u);
  m.remove(key(32));  // the 33rd tombstone: rebuild at the same capacity
  EXPECT_EQ(m.capacity(), 100u);
  for (const auto& l : m.levels()) EXPECT_EQ(l.tombstones, 0u);
  EXPECT_EQ(m.current_batch(), 0u);
  EXPECT_EQ(m.len(), 15u);
  for (std::int64_t i = 33; i < 48; ++i) EXPECT_EQ(value_of(m, key(i)), i);
  EXPECT_FALSE(m.remove(key(0)));
  // Clearing restarts the batches.
  fill(m, 100, 165);
  ASSERT_GT(m.current_batch(), 0u);
  m.clear();
  EXPECT_EQ(m.current_batch(), 0u);
  EXPECT_EQ(m.batch_remaining(), 48u);
}

// ---- placement, against a reference written from the batch rules --------
enum Rule {
  kBatch0,
  kANext,
  kACurrent,
  kBBudget,
  kBNext,
  kBCurrent,
  kCCurrent,
  kCNext,
  kLast,
  kAnyLevel,
  kRules
};

struct Expected {
  std::size_t level = SlotRef::kNone, slot = 0;
  Rule rule = kRules;
};

// The lowest free slot in the first `budget` groups of level `l`'s probe
// sequence, or nothing: of G groups, start (x · G) >> 32 for x = lo ^ salt,
// then triangular steps modulo the least power of two M ≥ G, passing over
// the numbers ≥ G.
std::optional<std::size_t> probe(const Map::LevelT& l, std::uint32_t lo, std::size_t budget) {
  if (l.len >= l.slot_count()) return std::nullopt;
  const std::size_t groups = l.group_count();
  std::size_t m = 1;
  while (m < groups) m *= 2;
  const std::uint32_t x = lo ^ static_cast<std::uint32_t>(l.salt);
  std::size_t t = static_cast<std::size_t>((std::uint64_t{x} * groups) >> 32);
  for (std::size_t j = 0, seen = 0; seen < std::min(budget, groups); ++j, t = (t + j) % m) {
    if (t >= groups) continue;
    ++seen;
    for (std::size_t i = 0; i < 16; ++i)
      if ((l.table.ctrl_at(t * 16 + i) & 0x7F) == 0) return t * 16 + i;
  }
  return std::nullopt;
}

Expected reference_slot(const Map& m, std::uint64_t h) {
  const auto& lv = m.levels();
  const std::uint32_t lo = static_cast<std::uint32_t>(h);
  // A used-up batch gives way to the next non-empty one (the last stays).
  std::size_t b = m.current_batch();
  if (m.batch_remaining() == 0) {
    for (std::size_t next = b + 1; next < m.batch_plan().size(); ++next) {
      b = next;
      if (m.batch_plan()[next] != 0) break;
    }
  }
  struct Try {
    std::size_t level, budget;
    Rule rule;
  };
  std::vector<Try> order;
  const auto full = [&](std::size_t i, Rule r) { order.push_back({i, lv[i].group_count(), r}); };
  if (b == 0) {
    full(0, kBatch0);
  } else if (b >= lv.size()) {
    full(lv.size() - 1, kLast);
  } else {
    const auto& cur = lv[b - 1];
    const auto& next = lv[b];
    const std::size_t free_cur = cur.slot_count() - cur.len;
    if (free_cur <= cur.reserve_threshold) {
      full(b, kANext);
      full(b - 1, kACurrent);
    } else if (4 * (next.slot_count() - next.len) > next.slot_count()) {
      order.push_back(
          {b - 1, std::min(cur.group_count(), cur.probe_limits.budget(free_cur)), kBBudget});
      full(b, kBNext);
      full(b - 1, kBCurrent);
    } else {
      full(b - 1, kCCurrent);
      full(b, kCNext);
    }
  }
  for (std::size_t i = 0; i < lv.size(); ++i) full(i, kAnyLevel);
  for (const Try& t : order)
    if (auto slot = probe(lv[t.level], lo, t.budget)) return {t.level, *slot, t.rule};
  return {};
}

TEST_F(ElasticMap, PlacementFollowsTheBatchRules) {
  std::array<std::size_t, kRules> used{};
  std::mt19937_64 rng(11);
  const struct {
    std::size_t capacity;
    double delta, scale;
  } configs[] = {{1000, 0.1, 16.0},     {4096, 0.001, 0.05},    {4096, 0.02, 1.0},
                 {2048, 0.3, 0.2},      {1, 0.000001, 16.0},    {100, 0.5, 0.01},
                 {1500, 0.1, 16.0},     {3000, 0.05, 2.0},      {16384, 0.000001, 0.5},
                 {16384, 0.00001, 0.1}, {32768, 0.000001, 0.5}, {16, 0.1, 16.0}};
  for (const auto& c : configs) {
    Map m = Map::with_options(c.capacity, c.delta, c.scale);
    for (std::int64_t i = 0; m.len() < m.max_items(); ++i) {
      // A quarter of the keys share one of eight hashes, so that the first
      // groups of their probe sequences fill up and the later rules decide.
      const auto id = static_cast<std::int64_t>(rng() >> 1);
      const TestKey k = i % 4 == 0 ? TestKey(rng() % 8, id) : key(id);
      if (i % 7 == 3 && m.len() > 0) {
        const Map::Entry* first = m.iter().next();  // tombstones too
        ASSERT_NE(first, nullptr);
        m.remove(TestKey(first->key));
      }
      const Expected want = reference_slot(m, m.hash_of(k));
      ASSERT_NE(want.level, SlotRef::kNone);
      m.insert(k, Counted(i));
      const SlotRef got = m.find(k);
      ASSERT_EQ(got.part, want.level) << c.capacity << " key " << i << " rule " << want.rule;
      ASSERT_EQ(got.slot, want.slot);
      ++used[want.rule];
    }
    expect_counts_match(m);
    // A rebuild in place re-places every entry by the same rules, through
    // every batch (debug builds check its shortcuts against them).
    m.resize(m.capacity());
    expect_counts_match(m);
  }
  for (Rule r : {kBatch0, kANext, kBBudget, kBNext, kCCurrent, kLast})
    EXPECT_GT(used[r], 0u) << "rule " << r << " never exercised";
}

// Rule A: once the current level is done, new keys go to the next level,
// past their first probe group too, while the current one still has room.
TEST_F(ElasticMap, DoneLevelGivesWayToTheNextInFull) {
  Map m = Map::with_options(2048, 0.5);  // level 0 is done as soon as batch 0 is
  fill(m, 0, static_cast<std::int64_t>(m.batch_plan()[0]));
  ASSERT_GT(m.levels()[0].free_slots(), 0u);
  for (std::int64_t id = 10000; id < 10020; ++id) {  // one hash: one start group
    m.insert(TestKey(7, id), Counted(id));
    EXPECT_EQ(m.find(TestKey(7, id)).part, 1u) << "key " << id - 10000;
  }
}

// A drain marks what it takes DELETED and purges when it ends past half.
TEST_F(ElasticMap, DrainTombstonesArePurgedWhenItEnds) {
  Map m = Map::with_options(1000);
  fill(m, 0, 500);
  {
    auto drain = m.extract_if();
    ASSERT_TRUE(drain.next());
  }
  EXPECT_EQ(m.levels()[0].tombstones, 1u);
  {
    auto drain = m.extract_if();
    for (int i = 0; i < 300; ++i) ASSERT_TRUE(drain.next());
  }
  for (const auto& l : m.levels()) EXPECT_EQ(l.tombstones, 0u);
  EXPECT_EQ(m.len(), 199u);
}

}  // namespace
}  // namespace velomap::elastic
