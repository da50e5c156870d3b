// Probe lengths against load: how many 16-slot control groups an insertion
// and a successful search read, mean and worst case, for tables filled to
// 1 − δ of their capacity, δ = 1/2 … 1/1024.
//
// Measured for both core tables (built with the VELOMAP_PROBE_COUNTERS
// option, which counts every group load) and for two baselines written
// here over the same 16-slot groups: uniform probing (each probe a fresh
// pseudo-random group) and linear probing (the next group). Insertion is
// counted on the placement alone (keys known to be absent), search over
// every stored key. Prints CSV on stdout:
//   scheme,n,delta,insert_mean,insert_max,search_mean,search_max
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <random>
#include <vector>

#include "common/control.h"
#include "elastic/table.h"
#include "funnel/table.h"

namespace {

using velomap::probe_counter::groups;

struct Key {
  std::uint64_t k;
  std::uint64_t hash_input() const noexcept { return k; }
  bool equals(const Key& o) const noexcept { return k == o.k; }
};

struct Stats {
  double insert_mean = 0, search_mean = 0;
  std::uint64_t insert_max = 0, search_max = 0;
};

// Mean and maximum of f(key) over the keys, where f returns a group count.
template <class F>
std::pair<double, std::uint64_t> over(const std::vector<std::uint64_t>& keys, F&& f) {
  std::uint64_t sum = 0, most = 0;
  for (std::uint64_t k : keys) {
    const std::uint64_t c = f(k);
    sum += c;
    most = std::max(most, c);
  }
  return {static_cast<double>(sum) / static_cast<double>(keys.size()), most};
}

template <class Map>
Stats measure_core(std::size_t n, double delta, const std::vector<std::uint64_t>& pool) {
  Map m = Map::with_options(n, delta);
  const std::vector<std::uint64_t> keys(pool.begin(),
                                        pool.begin() + static_cast<std::ptrdiff_t>(m.max_items()));
  Stats s;
  std::tie(s.insert_mean, s.insert_max) = over(keys, [&](std::uint64_t k) {
    const std::uint64_t before = groups;
    m.insert_unique(Key{k}, k);
    return groups - before;
  });
  if (m.capacity() != n) std::fprintf(stderr, "grew: n=%zu delta=%g\n", n, delta), std::exit(1);
  std::tie(s.search_mean, s.search_max) = over(keys, [&](std::uint64_t k) {
    const std::uint64_t before = groups;
    if (!m.find(Key{k})) std::fprintf(stderr, "lost a key\n"), std::exit(1);
    return groups - before;
  });
  return s;
}

// A table of 16-slot groups probed group by group: next(start, i) gives the
// i-th group of a key's sequence.
template <class Next>
Stats measure_baseline(std::size_t n, double delta, const std::vector<std::uint64_t>& pool,
                       Next&& next) {
  const std::size_t group_count = n / velomap::kGroupWidth;
  std::vector<std::uint64_t> slots(n, 0);  // 0 = free (keys are never 0 here)
  std::vector<std::uint8_t> used(group_count, 0);
  const auto fill = static_cast<std::size_t>(static_cast<double>(n) * (1.0 - delta));
  const std::vector<std::uint64_t> keys(pool.begin(),
                                        pool.begin() + static_cast<std::ptrdiff_t>(fill));
  Stats s;
  std::tie(s.insert_mean, s.insert_max) = over(keys, [&](std::uint64_t k) {
    for (std::uint64_t i = 0;; ++i) {
      const std::size_t g = next(k, i) % group_count;
      if (used[g] < velomap::kGroupWidth) {
        slots[g * velomap::kGroupWidth + used[g]++] = k;
        return i + 1;
      }
    }
  });
  std::tie(s.search_mean, s.search_max) = over(keys, [&](std::uint64_t k) {
    for (std::uint64_t i = 0;; ++i) {
      const std::size_t g = next(k, i) % group_count;
      for (std::size_t j = 0; j < used[g]; ++j)
        if (slots[g * velomap::kGroupWidth + j] == k) return i + 1;
    }
  });
  return s;
}

std::uint64_t mix(std::uint64_t x) {
  x ^= x >> 31;
  x *= 0x7FB5D329728EA185ull;
  x ^= x >> 27;
  x *= 0x81DADEF4BC2DD44Dull;
  return x ^ (x >> 33);
}

void print(const char* scheme, std::size_t n, double delta, const Stats& s) {
  std::printf("%s,%zu,%.10g,%.4f,%llu,%.4f,%llu\n", scheme, n, delta, s.insert_mean,
              static_cast<unsigned long long>(s.insert_max), s.search_mean,
              static_cast<unsigned long long>(s.search_max));
  std::fflush(stdout);
}

}  // namespace

int main() {
  using Elastic = velomap::elastic::ElasticHashMap<Key, std::uint64_t>;
  using Funnel = velomap::funnel::FunnelHashMap<Key, std::uint64_t>;
  std::printf("scheme,n,delta,insert_mean,insert_max,search_mean,search_max\n");
  for (std::size_t n : {std::size_t{1} << 16, std::size_t{1} << 20}) {
    std::mt19937_64 rng(n);
    std::vector<std::uint64_t> pool(n);
    for (auto& k : pool) k = rng() | 1;  // never 0, the baselines' free mark
    for (int halvings = 1; halvings <= 10; ++halvings) {
      const double delta = 1.0 / static_cast<double>(1u << halvings);
      print("elastic", n, delta, measure_core<Elastic>(n, delta, pool));
      // The funnel table takes reserve fractions up to 1/8 only.
      if (delta <= 0.125) print("funnel", n, delta, measure_core<Funnel>(n, delta, pool));
      print("uniform", n, delta,
            measure_baseline(n, delta, pool, [](std::uint64_t k, std::uint64_t i) {
              return mix(k + i * 0x9E3779B97F4A7C15ull);
            }));
      print("linear", n, delta,
            measure_baseline(n, delta, pool,
                             [](std::uint64_t k, std::uint64_t i) { return mix(k) + i; }));
    }
  }
  return 0;
}
