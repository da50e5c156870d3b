// Keys with chosen hashes, values that count their live instances, and a
// fixture that checks every test released exactly what it stored.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <utility>
#include <vector>

#include "common/moves.h"
#include "common/walk.h"

namespace velomap::testing {

// Ids of moved-from objects, so that reading one shows up in a comparison.
inline constexpr std::int64_t kPoison = std::numeric_limits<std::int64_t>::min() + 0xDEAD;

// A key whose cached hash is set by the test, so collisions can be forced;
// equality is by id.
struct TestKey {
  std::uint64_t hash = 0;
  std::int64_t id = 0;

  TestKey() = default;
  TestKey(std::uint64_t h, std::int64_t i) : hash(h), id(i) {}
  TestKey(const TestKey&) = default;
  TestKey& operator=(const TestKey&) = default;
  TestKey(TestKey&& o) noexcept : hash(o.hash), id(std::exchange(o.id, kPoison)) {}
  TestKey& operator=(TestKey&& o) noexcept {
    hash = o.hash;
    id = std::exchange(o.id, kPoison);
    return *this;
  }

  std::uint64_t hash_input() const noexcept { return hash; }
  bool equals(const TestKey& o) const noexcept { return id == o.id; }
};

inline TestKey key(std::int64_t id) {
  return {static_cast<std::uint64_t>(id) * 0x9E3779B97F4A7C15ull, id};
}

// A value that counts live instances (moved-from ones excluded, and
// poisoned), to prove every stored value is released exactly once.
struct Counted {
  static inline std::int64_t live = 0;
  std::int64_t v = kPoison;
  bool alive = false;

  Counted() = default;
  explicit Counted(std::int64_t x) : v(x), alive(true) { ++live; }
  Counted(Counted&& o) noexcept
      : v(std::exchange(o.v, kPoison)), alive(std::exchange(o.alive, false)) {}
  Counted& operator=(Counted&& o) noexcept {
    if (this != &o) {
      if (alive) --live;
      v = std::exchange(o.v, kPoison);
      alive = std::exchange(o.alive, false);
    }
    return *this;
  }
  Counted(const Counted&) = delete;
  ~Counted() {
    if (alive) --live;
  }
};

}  // namespace velomap::testing

// Neither holds a pointer to itself, so rebuilds may move them by copying
// bytes (moves poison their source; such a copy leaves the source as it was).
template <>
inline constexpr bool velomap::kBitwiseRelocatable<velomap::testing::TestKey> = true;
template <>
inline constexpr bool velomap::kBitwiseRelocatable<velomap::testing::Counted> = true;

namespace velomap::testing {

// Every test starts with no live value and must end with none.
class LiveCheck : public ::testing::Test {
 protected:
  void SetUp() override { Counted::live = 0; }
  void TearDown() override { EXPECT_EQ(Counted::live, 0) << "values leaked or released twice"; }
};

// Insert keys from..to−1 with their ids as values.
template <class Map>
void fill(Map& m, std::int64_t from, std::int64_t to) {
  for (std::int64_t i = from; i < to; ++i) m.insert(key(i), Counted(i));
}

// The value stored under k, or kPoison (with a test failure) when missing.
template <class Map>
std::int64_t value_of(const Map& m, const TestKey& k) {
  const Counted* v = m.get(k);
  if (v == nullptr) {
    ADD_FAILURE() << "key " << k.id << " missing";
    return kPoison;
  }
  return v->v;
}

// Every entry as (table, slot, id), walked from the very first slot.
struct Placed {
  std::size_t table, slot;
  std::int64_t id;
  bool operator==(const Placed&) const = default;
};
template <class Map>
std::vector<Placed> placements(const Map& m) {
  std::vector<Placed> out;
  WalkCursor cursor;
  SlotRef ref;
  const auto table_at = [&](std::size_t i) -> const auto& { return m.table_at(i); };
  while (cursor.next(m.table_count(), table_at, ref))
    out.push_back({ref.part, ref.slot, m.table_at(ref.part).entry(ref.slot).key.id});
  return out;
}

// Every part's live and tombstone counts are the numbers of its full and
// DELETED bytes.
template <class Map>
void expect_counts_match(const Map& m) {
  for (std::size_t p = 0; p < m.table_count(); ++p) {
    const auto& part = m.part_at(p);
    std::size_t deleted = 0, full = 0;
    for (std::size_t s = 0; s < part.slot_count(); ++s) {
      deleted += part.table.ctrl_at(s) == kDeleted;
      full += is_full(part.table.ctrl_at(s));
    }
    EXPECT_EQ(part.tombstones, deleted) << "part " << p;
    EXPECT_EQ(part.len, full) << "part " << p;
  }
}

using Sizes = std::vector<std::size_t>;

}  // namespace velomap::testing
