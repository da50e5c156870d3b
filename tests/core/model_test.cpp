// Randomised model test: both core tables against std::unordered_map, with
// forced equal hashes, replacements, removals, drains, clears and reserves.
#include <gtest/gtest.h>

#include <random>
#include <vector>
#include <unordered_map>

#include "elastic/table.h"
#include "funnel/table.h"
#include "test_support.h"

namespace velomap {
namespace {

using testing::Counted;
using testing::TestKey;

template <class Map>
class ModelTest : public ::testing::Test {};
using Maps = ::testing::Types<elastic::ElasticHashMap<TestKey, Counted>,
                              funnel::FunnelHashMap<TestKey, Counted>>;
TYPED_TEST_SUITE(ModelTest, Maps);

// Every eighth id shares one of three hashes; the rest hash normally.
TestKey model_key(std::int64_t id) {
  if (id % 8 == 0) return TestKey{static_cast<std::uint64_t>(id % 3) * 0x1000, id};
  return testing::key(id);
}

// Ids in walk order, walked from the very first slot (ignoring the table's
// first-full bound, which iter() and drains start from).
template <class Map>
std::vector<std::int64_t> full_walk(const Map& m) {
  std::vector<std::int64_t> ids;
  WalkCursor cursor;
  SlotRef ref;
  const auto table_at = [&](std::size_t i) -> const auto& { return m.table_at(i); };
  while (cursor.next(m.table_count(), table_at, ref)) ids.push_back(m.table_at(ref.table).entry(ref.slot).key.id);
  return ids;
}

template <class Map>
void check_same(const Map& m, const std::unordered_map<std::int64_t, std::int64_t>& model) {
  ASSERT_EQ(m.len(), model.size());
  std::size_t walked = 0;
  m.for_each([&](const auto& e) {
    ++walked;
    const auto it = model.find(e.key.id);
    ASSERT_NE(it, model.end());
    ASSERT_EQ(it->second, e.value.v);
  });
  ASSERT_EQ(walked, model.size());
  std::vector<std::int64_t> hinted;
  m.for_each([&](const auto& e) { hinted.push_back(e.key.id); });
  ASSERT_EQ(hinted, full_walk(m));
  for (const auto& [id, v] : model) {
    const Counted* got = m.get(model_key(id));
    ASSERT_NE(got, nullptr) << id;
    ASSERT_EQ(got->v, v);
  }
  ASSERT_EQ(Counted::live, static_cast<std::int64_t>(model.size()));
}

TYPED_TEST(ModelTest, AgreesWithUnorderedMap) {
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
        try {
          auto old = m.insert(model_key(id), Counted(v));
          const auto it = model.find(id);
          ASSERT_EQ(old.has_value(), it != model.end());
          if (old) ASSERT_EQ(old->v, it->second);
          model[id] = v;
        } catch (const InternalFailure& e) {
          // Only a table out of candidate places for one hash may refuse.
          ASSERT_STREQ(e.what(), "no free slot found after resize");
          ASSERT_FALSE(model.count(id));
        }
      } else if (op < 85) {
        auto removed = m.remove(model_key(id));
        const auto it = model.find(id);
        ASSERT_EQ(removed.has_value(), it != model.end());
        if (removed) {
          ASSERT_EQ(removed->v, it->second);
          model.erase(it);
        }
      } else if (op < 95) {
        const Counted* got = m.get(model_key(id));
        ASSERT_EQ(got != nullptr, model.count(id) == 1);
      } else if (op < 98) {
        const int n = static_cast<int>(rng() % 40);
        const std::vector<std::int64_t> order = full_walk(m);
        auto drain = m.extract_if();
        for (int i = 0; i < n; ++i) {
          auto e = drain.next();
          if (!e) break;
          ASSERT_EQ(e->key.id, order[static_cast<std::size_t>(i)]);  // walk order, from the start
          ASSERT_EQ(model.erase(e->key.id), 1u);
        }
      } else if (op < 99) {
        m.reserve(rng() % 2000);
      } else if (rng() % 4 == 0) {
        m.clear();
        model.clear();
      }
      if (step % 4000 == 0) check_same(m, model);
    }
    check_same(m, model);
  }
  EXPECT_EQ(Counted::live, 0);
}

}  // namespace
}  // namespace velomap

namespace velomap {
namespace {

TYPED_TEST(ModelTest, GrowAheadReachesTheCapacityOfOneByOneGrowth) {
  for (std::size_t start : {0u, 1u, 5u, 100u, 1000u}) {
    for (std::int64_t n : {0, 1, 5, 90, 91, 100, 901, 5000}) {
      auto literal = TypeParam::with_options(start);
      auto ahead = TypeParam::with_options(start);
      ahead.grow_ahead(static_cast<std::size_t>(n));
      const std::size_t planned = ahead.capacity();
      for (std::int64_t i = 0; i < n; ++i) {
        literal.insert(testing::key(i), Counted(i));
        ahead.insert(testing::key(i), Counted(i));
      }
      EXPECT_EQ(ahead.capacity(), literal.capacity()) << start << " " << n;
      EXPECT_EQ(ahead.capacity(), planned) << "grew again after growing ahead";
    }
  }
}

}  // namespace
}  // namespace velomap
