// The core tables against two flat hash maps, in C++ alone (no Python):
// boost::unordered_flat_map and absl::flat_hash_map, 64-bit integer keys and
// values, the same shuffled keys for every table.
//
//   insert    n insertions into an empty table (growth included)
//   presized  n insertions into a table made with room for n
//   hit       n successful lookups, in an order unrelated to insertion
//   miss      n unsuccessful lookups
//   erase     n removals
//   iterate   one walk over n entries
//   rebuild   one rebuild of a table of n entries at twice its capacity,
//             per moved entry (boost and absl: rehash to twice the buckets)
//
// Every loop folds what it reads into a checksum that is checked, so a
// broken table cannot look fast. Times are per element.
#include <absl/container/flat_hash_map.h>
#include <benchmark/benchmark.h>

#include <algorithm>
#include <boost/unordered/unordered_flat_map.hpp>
#include <cstdint>
#include <cstdlib>
#include <numeric>
#include <random>
#include <vector>

#include "elastic/table.h"
#include "funnel/table.h"

namespace {

// A key with its hash cached, as the Python layer stores keys.
struct Key {
  std::uint64_t k;
  std::uint64_t hash_input() const noexcept { return k; }
  bool equals(const Key& o) const noexcept { return k == o.k; }
};

using Elastic = velomap::elastic::ElasticHashMap<Key, std::uint64_t>;
using Funnel = velomap::funnel::FunnelHashMap<Key, std::uint64_t>;
using Boost = boost::unordered_flat_map<std::uint64_t, std::uint64_t>;
using Absl = absl::flat_hash_map<std::uint64_t, std::uint64_t>;

struct Keys {
  std::vector<std::uint64_t> present, absent, probe;
};

const Keys& keys_for(std::size_t n) {
  static std::vector<std::pair<std::size_t, Keys>> cache;
  for (auto& [size, k] : cache)
    if (size == n) return k;
  std::mt19937_64 rng(12345 + n);
  Keys k;
  for (std::size_t i = 0; i < 2 * n; ++i) (i < n ? k.present : k.absent).push_back(rng());
  k.probe = k.present;
  std::shuffle(k.probe.begin(), k.probe.end(), rng);
  cache.emplace_back(n, std::move(k));
  return cache.back().second;
}

// One interface over the four tables.
template <class M>
struct Ops;

template <class M>
struct CoreOps {
  static M make(std::size_t capacity) { return M::with_options(capacity); }
  static void put(M& m, std::uint64_t k) { m.insert(Key{k}, k); }
  static std::uint64_t get(const M& m, std::uint64_t k) {
    const std::uint64_t* v = m.get(Key{k});
    return v ? *v : 0;
  }
  static bool erase(M& m, std::uint64_t k) { return m.remove(Key{k}).has_value(); }
  static std::uint64_t sum(const M& m) {
    std::uint64_t s = 0;
    m.for_each([&](const auto& e) { s += e.value; });
    return s;
  }
  static void rebuild(M& m) { m.resize(2 * m.capacity()); }
  static std::size_t size(const M& m) { return m.len(); }
};
template <>
struct Ops<Elastic> : CoreOps<Elastic> {};
template <>
struct Ops<Funnel> : CoreOps<Funnel> {};

template <class M>
struct FlatOps {
  static M make(std::size_t capacity) {
    M m;
    m.reserve(capacity);
    return m;
  }
  static void put(M& m, std::uint64_t k) { m.insert_or_assign(k, k); }
  static std::uint64_t get(const M& m, std::uint64_t k) {
    auto it = m.find(k);
    return it == m.end() ? 0 : it->second;
  }
  static bool erase(M& m, std::uint64_t k) { return m.erase(k) != 0; }
  static std::uint64_t sum(const M& m) {
    std::uint64_t s = 0;
    for (const auto& [k, v] : m) s += v;
    return s;
  }
  static void rebuild(M& m) { m.rehash(2 * m.bucket_count()); }
  static std::size_t size(const M& m) { return m.size(); }
};
template <>
struct Ops<Boost> : FlatOps<Boost> {};
template <>
struct Ops<Absl> : FlatOps<Absl> {};

// Reported as time per element ("per_elem", in seconds with a unit prefix).
void per_element(benchmark::State& state, std::size_t n) {
  state.counters["per_elem"] =
      benchmark::Counter(static_cast<double>(n), benchmark::Counter::kIsIterationInvariantRate |
                                                     benchmark::Counter::kInvert);
}

void check(bool ok, benchmark::State& state) {
  if (!ok) state.SkipWithError("wrong result");
}

template <class M>
M filled(std::size_t n) {
  M m = Ops<M>::make(0);
  for (std::uint64_t k : keys_for(n).present) Ops<M>::put(m, k);
  return m;
}

template <class M>
void BM_insert(benchmark::State& state) {
  const auto n = static_cast<std::size_t>(state.range(0));
  const Keys& k = keys_for(n);
  for (auto _ : state) {
    M m = Ops<M>::make(0);
    for (std::uint64_t key : k.present) Ops<M>::put(m, key);
    check(Ops<M>::size(m) == n, state);
  }
  per_element(state, n);
}

template <class M>
void BM_presized(benchmark::State& state) {
  const auto n = static_cast<std::size_t>(state.range(0));
  const Keys& k = keys_for(n);
  for (auto _ : state) {
    state.PauseTiming();
    M m = Ops<M>::make(n);
    state.ResumeTiming();
    for (std::uint64_t key : k.present) Ops<M>::put(m, key);
    check(Ops<M>::size(m) == n, state);
  }
  per_element(state, n);
}

template <class M>
void BM_hit(benchmark::State& state) {
  const auto n = static_cast<std::size_t>(state.range(0));
  const Keys& k = keys_for(n);
  const M m = filled<M>(n);
  const std::uint64_t expect = std::accumulate(k.probe.begin(), k.probe.end(), std::uint64_t{0});
  for (auto _ : state) {
    std::uint64_t s = 0;
    for (std::uint64_t key : k.probe) s += Ops<M>::get(m, key);
    check(s == expect, state);
  }
  per_element(state, n);
}

template <class M>
void BM_miss(benchmark::State& state) {
  const auto n = static_cast<std::size_t>(state.range(0));
  const Keys& k = keys_for(n);
  const M m = filled<M>(n);
  for (auto _ : state) {
    std::uint64_t s = 0;
    for (std::uint64_t key : k.absent) s += Ops<M>::get(m, key);
    check(s == 0, state);
  }
  per_element(state, n);
}

template <class M>
void BM_erase(benchmark::State& state) {
  const auto n = static_cast<std::size_t>(state.range(0));
  const Keys& k = keys_for(n);
  for (auto _ : state) {
    state.PauseTiming();
    M m = filled<M>(n);
    state.ResumeTiming();
    std::size_t removed = 0;
    for (std::uint64_t key : k.probe) removed += Ops<M>::erase(m, key);
    check(removed == n, state);
  }
  per_element(state, n);
}

template <class M>
void BM_iterate(benchmark::State& state) {
  const auto n = static_cast<std::size_t>(state.range(0));
  const Keys& k = keys_for(n);
  const M m = filled<M>(n);
  const std::uint64_t expect =
      std::accumulate(k.present.begin(), k.present.end(), std::uint64_t{0});
  for (auto _ : state) check(Ops<M>::sum(m) == expect, state);
  per_element(state, n);
}

template <class M>
void BM_rebuild(benchmark::State& state) {
  const auto n = static_cast<std::size_t>(state.range(0));
  for (auto _ : state) {
    state.PauseTiming();
    M m = filled<M>(n);
    state.ResumeTiming();
    Ops<M>::rebuild(m);
    check(Ops<M>::size(m) == n, state);
  }
  per_element(state, n);
}

}  // namespace

#define VELOMAP_BENCH_ALL(op)                                                 \
  BENCHMARK_TEMPLATE(BM_##op, Elastic)->Arg(1000)->Arg(100000)->Arg(1000000); \
  BENCHMARK_TEMPLATE(BM_##op, Funnel)->Arg(1000)->Arg(100000)->Arg(1000000);  \
  BENCHMARK_TEMPLATE(BM_##op, Boost)->Arg(1000)->Arg(100000)->Arg(1000000);   \
  BENCHMARK_TEMPLATE(BM_##op, Absl)->Arg(1000)->Arg(100000)->Arg(1000000)

VELOMAP_BENCH_ALL(insert);
VELOMAP_BENCH_ALL(presized);
VELOMAP_BENCH_ALL(hit);
VELOMAP_BENCH_ALL(miss);
VELOMAP_BENCH_ALL(erase);
VELOMAP_BENCH_ALL(iterate);
VELOMAP_BENCH_ALL(rebuild);

BENCHMARK_MAIN();
