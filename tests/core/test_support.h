// Keys with chosen hashes and values that count their live instances.
#pragma once

#include <cstdint>
#include <utility>
#include <vector>

namespace velomap::testing {

// A key whose cached hash is set by the test, so collisions can be forced;
// equality is by id.
struct TestKey {
  std::uint64_t hash = 0;
  std::int64_t id = 0;

  std::uint64_t hash_input() const noexcept { return hash; }
  bool equals(const TestKey& o) const noexcept { return id == o.id; }
};

inline TestKey key(std::int64_t id) { return {static_cast<std::uint64_t>(id) * 0x9E3779B97F4A7C15ull, id}; }

// A value that counts live instances (moved-from ones excluded), to prove
// every stored value is released exactly once.
struct Counted {
  static inline std::int64_t live = 0;
  std::int64_t v = 0;
  bool alive = false;

  Counted() = default;
  explicit Counted(std::int64_t x) : v(x), alive(true) { ++live; }
  Counted(Counted&& o) noexcept : v(o.v), alive(std::exchange(o.alive, false)) {}
  Counted& operator=(Counted&& o) noexcept {
    if (this != &o) {
      if (alive) --live;
      v = o.v;
      alive = std::exchange(o.alive, false);
    }
    return *this;
  }
  Counted(const Counted&) = delete;
  ~Counted() {
    if (alive) --live;
  }
};

// Insert keys from..to−1 with their ids as values.
template <class Map>
void fill(Map& m, std::int64_t from, std::int64_t to) {
  for (std::int64_t i = from; i < to; ++i) m.insert(key(i), Counted(i));
}

using Sizes = std::vector<std::size_t>;

}  // namespace velomap::testing
