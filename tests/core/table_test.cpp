// What both core tables promise alike: agreement with std::unordered_map
// under random operations and forced equal hashes, growth points, moves,
// clearing and reserving, and rebuilds that fail without losing anything.
#include "elastic/table.h"

#include <gtest/gtest.h>

#include <random>
#include <unordered_map>
#include <vector>

#include "common/growth.h"
#include "funnel/table.h"
#include "test_support.h"

namespace velomap {
namespace {

using testing::Counted;
using testing::key;
using testing::TestKey;

template <class Map>
class TableTest : public testing::LiveCheck {};
using Maps = ::testing::Types<elastic::ElasticHashMap<TestKey, Counted>,
                              funnel::FunnelHashMap<TestKey, Counted>>;
TYPED_TEST_SUITE(TableTest, Maps);

// Every eighth id shares one of three hashes, and a third of the ids
// one more hash, enough of them to reach the funnel's overflow part; the
// rest hash normally.
TestKey model_key(std::int64_t id) {
  if (id % 8 == 0) return TestKey{static_cast<std::uint64_t>(id % 3) * 0x1000, id};
  if (id % 3 == 1) return TestKey{0x7777, id};
  return key(id);
}

template <class Map>
void check_same(const Map& m, const std::unordered_map<std::int64_t, std::int64_t>& model) {
  ASSERT_EQ(m.len(), model.size());
  std::vector<std::int64_t> walked;
  m.for_each([&](const auto& e) {
    walked.push_back(e.key.id);
    const auto it = model.find(e.key.id);
    ASSERT_NE(it, model.end());
    ASSERT_EQ(it->second, e.value.v);
  });
  ASSERT_EQ(walked.size(), model.size());
  // The walk starts at the table's first-full bound; nothing lies before it.
  const auto all = testing::placements(m);
  ASSERT_EQ(all.size(), walked.size());
  for (std::size_t i = 0; i < all.size(); ++i) ASSERT_EQ(all[i].id, walked[i]);
  for (const auto& [id, v] : model) ASSERT_EQ(testing::value_of(m, model_key(id)), v);
}

// Check `m` against the model, then a bulk copy of it into a fresh map and
// into one whose slots hold tombstones.
template <class Map>
void check_with_copies(const Map& m, const std::unordered_map<std::int64_t, std::int64_t>& model) {
  check_same(m, model);
  ASSERT_EQ(Counted::live, static_cast<std::int64_t>(model.size()));
  const auto copy = [](const auto& e) noexcept {
    return std::pair(TestKey(e.key), Counted(e.value.v));
  };
  const auto nothing = [](const auto&) noexcept {};
  for (const std::int64_t removed : {0, 40}) {
    auto c = Map::with_options(0);
    fill(c, 100000, 100000 + removed);
    for (std::int64_t i = 0; i < removed; ++i) c.remove(key(100000 + i));
    c.insert_copies(m, copy, nothing);
    check_same(c, model);
  }
}

TYPED_TEST(TableTest, AgreesWithUnorderedMap) {
  bool reached_overflow = false;
  for (std::uint32_t seed : {1u, 2u, 3u}) {
    std::mt19937_64 rng(seed);
    auto m = TypeParam::with_options(seed == 1 ? 0 : 37);
    std::unordered_map<std::int64_t, std::int64_t> model;
    std::int64_t stamp = 0;
    for (int step = 0; step < 40000; ++step) {
      const std::int64_t id = static_cast<std::int64_t>(rng() % 3000);
      const unsigned op = static_cast<unsigned>(rng() % 100);
      if (op < 55) {
        const std::int64_t v = ++stamp;
        auto old = m.insert(model_key(id), Counted(v));
        const auto it = model.find(id);
        ASSERT_EQ(old.has_value(), it != model.end());
        if (old) {
          ASSERT_EQ(old->v, it->second);
        }
        model[id] = v;
      } else if (op < 85) {
        auto removed = m.remove(model_key(id));
        const auto it = model.find(id);
        ASSERT_EQ(removed.has_value(), it != model.end());
        if (removed) {
          ASSERT_EQ(removed->v, it->second);
          model.erase(it);
        }
      } else if (op < 95) {
        auto [stored, placed] = m.try_emplace(model_key(id), Counted(++stamp));
        ASSERT_EQ(placed, model.count(id) == 0);
        if (placed) model[id] = stamp;
        ASSERT_EQ(stored->v, model[id]);
      } else if (op < 98) {
        const int n = static_cast<int>(rng() % 8);
        const auto order = testing::placements(m);
        auto drain = m.extract_if();
        for (int i = 0; i < n; ++i) {
          auto e = drain.next();
          if (!e) break;
          ASSERT_EQ(e->key.id, order[static_cast<std::size_t>(i)].id);  // walk order
          ASSERT_EQ(model.erase(e->key.id), 1u);
        }
      } else if (op < 99) {
        m.reserve(static_cast<std::size_t>(rng() % 2000));
      } else if (rng() % 40 == 0) {  // rare enough for floods to build up
        m.clear();
        model.clear();
      }
      if constexpr (requires { m.overflow(); }) reached_overflow |= m.overflow().len != 0;
      if (step % 4000 == 0) check_with_copies(m, model);
    }
    check_with_copies(m, model);
  }
  if constexpr (requires(TypeParam& t) { t.overflow(); }) {
    EXPECT_TRUE(reached_overflow) << "the funnel's overflow part was never used";
  }
}

// Copies into and rebuilds of tables larger than the cache write their
// entries a few placements late; keys sharing one hash send the funnel's
// copy to the overflow part midway, past entries not written yet.
TYPED_TEST(TableTest, LargeCopiesAndRebuildsKeepEveryEntry) {
  auto m = TypeParam::with_options(0);
  std::unordered_map<std::int64_t, std::int64_t> model;
  for (std::int64_t i = 0; i < 60000; ++i) {
    m.insert(i % 100 == 0 ? TestKey{0x5555, i} : key(i), Counted(i));
    model[i] = i;
  }
  ASSERT_EQ(m.len(), model.size());
  const auto copy = [](const auto& e) noexcept {
    return std::pair(TestKey(e.key), Counted(e.value.v));
  };
  auto c = TypeParam::with_options(0);
  c.insert_copies(m, copy, [](const auto&) noexcept {});
  for (const auto* map : {&m, &c}) {
    ASSERT_EQ(map->len(), model.size());
    for (const auto& [id, v] : model)
      ASSERT_EQ(testing::value_of(*map, id % 100 == 0 ? TestKey{0x5555, id} : key(id)), v);
  }
}

// A map built for c holds exactly max_items(c) keys; replacing one there
// never grows it; the next new key grows it to 16 from 0, else to 2c.
TYPED_TEST(TableTest, GrowsAtTheExactBoundary) {
  for (std::size_t c : {0u, 1u, 16u, 32u, 100u, 1000u, 4096u}) {
    auto m = TypeParam::with_options(c);
    const auto limit = static_cast<std::int64_t>(max_items_for(c, 0.1));
    testing::fill(m, 0, limit);
    EXPECT_EQ(m.capacity(), c);
    if (limit > 0) m.insert(key(0), Counted(-1));
    EXPECT_EQ(m.capacity(), c) << "a replacement grew the map";
    testing::fill(m, limit, limit + 1);
    EXPECT_EQ(m.capacity(), c == 0 ? 16 : 2 * c);
    for (std::int64_t i = 1; i <= limit; ++i) ASSERT_EQ(testing::value_of(m, key(i)), i);
  }
}

TYPED_TEST(TableTest, MovesHandOverEverythingAndLeaveAnEmptyMap) {
  auto a = TypeParam::with_options(100);
  testing::fill(a, 0, 50);
  TypeParam b(std::move(a));
  EXPECT_EQ(b.len(), 50u);
  EXPECT_TRUE(a.len() == 0 && a.capacity() == 0 && !a.contains_key(key(1)));
  testing::fill(a, 100, 120);  // a moved-from map is usable
  b = std::move(a);            // b's 50 entries are released, a's 20 taken over
  EXPECT_EQ(Counted::live, 20);
  EXPECT_TRUE(b.len() == 20 && a.len() == 0 && !b.contains_key(key(1)));
  EXPECT_EQ(testing::value_of(b, key(119)), 119);
  b = std::move(b);
  EXPECT_EQ(b.len(), 20u);
}

// Maps of no capacity share one empty shape and own no memory: nothing done
// to one (clearing it, copying an empty map into it, placing a key) changes
// another.
TYPED_TEST(TableTest, EmptyMapsOwnNothingAndShareNothingWritable) {
  auto a = TypeParam::with_options(0), b = TypeParam::with_options(0);
  EXPECT_EQ(a.memory_bytes(), 0u);
  a.clear();
  a.insert_copies(
      b, [](const auto& e) noexcept { return std::pair(TestKey(e.key), Counted(0)); },
      [](const auto&) noexcept {});
  a.reserve(0);
  EXPECT_FALSE(b.first_full_bound());
  a.insert(key(1), Counted(1));
  EXPECT_GT(a.memory_bytes(), 0u);
  EXPECT_TRUE(b.len() == 0 && b.memory_bytes() == 0 && !b.contains_key(key(1)));
}

TYPED_TEST(TableTest, ClearKeepsTheShapeAndReserveGrowsOnce) {
  auto m = TypeParam::with_options(0);
  testing::fill(m, 0, 40);
  ASSERT_EQ(m.capacity(), 64u);
  m.clear();
  EXPECT_EQ(m.len(), 0u);
  EXPECT_EQ(Counted::live, 0);
  testing::fill(m, 0, 58);
  EXPECT_EQ(m.capacity(), 64u);

  auto r = TypeParam::with_options(0);
  for (auto [extra, capacity] :
       {std::pair{0u, 0u}, {1u, 16u}, {20u, 32u}, {200u, 256u}, {200u, 256u}}) {
    r.reserve(extra);
    EXPECT_EQ(r.capacity(), capacity) << extra;
  }
  EXPECT_THROW(r.reserve(std::numeric_limits<std::size_t>::max()), InternalFailure);
  EXPECT_EQ(r.capacity(), 256u);
}

#ifndef NDEBUG
// Debug builds check that a walk is not interleaved with a change.
TYPED_TEST(TableTest, WalkOverAChangedTableIsCaught) {
  auto m = TypeParam::with_options(0);
  testing::fill(m, 0, 10);
  auto walk = m.iter();
  walk.next();
  m.insert(key(100), Counted(100));
  EXPECT_DEATH(walk.next(), "assertion failed");
}
#endif

// Refuse the 1st, 2nd, ... table allocation of a rebuild: each failure must
// leave every entry exactly where it was. Keys sharing one hash make the
// funnel's rebuild grow its overflow part while entries are moving.
TYPED_TEST(TableTest, FailedRebuildLeavesEveryEntryInPlace) {
  auto m = TypeParam::with_options(1000);
  testing::fill(m, 0, 300);
  for (std::int64_t i = 0; i < 600; ++i) m.insert(TestKey{777, 1000 + i}, Counted(i));
  const auto before = testing::placements(m);
  const std::size_t capacity = m.capacity();
  bool failed_once = false;
  for (long nth = 1;; ++nth) {
    fault_injection::countdown = nth;
    try {
      m.reserve(4 * m.len());
      fault_injection::countdown = 0;
      break;
    } catch (const std::bad_alloc&) {
      failed_once = true;
      ASSERT_EQ(testing::placements(m), before) << "allocation " << nth;
      ASSERT_EQ(m.capacity(), capacity);
    }
  }
  EXPECT_TRUE(failed_once);
  EXPECT_GT(m.capacity(), capacity);
  for (std::int64_t i = 0; i < 300; ++i) ASSERT_EQ(testing::value_of(m, key(i)), i);
  for (std::int64_t i = 0; i < 600; ++i) ASSERT_EQ(testing::value_of(m, TestKey{777, 1000 + i}), i);
}

}  // namespace
}  // namespace velomap
