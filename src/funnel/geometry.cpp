#include "geometry.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <string>

#include "../common/error.h"
#include "../common/recent.h"
#include "../common/saturate.h"

namespace velomap::funnel {

double normalize_reserve_fraction(double delta) noexcept {
  if (!std::isfinite(delta)) return kDefaultReserveFraction;
  return std::min(std::clamp(delta, 0.000001, 0.999999), 0.125);
}

std::size_t level_count_for(double delta) noexcept {
  const double l = std::log2(1.0 / delta);
  return sat_from_double(std::ceil(std::max(4.0 * l + 10.0, 1.0)));
}

std::size_t bucket_width_for(double delta) noexcept {
  const double l = std::log2(1.0 / delta);
  const std::size_t w = sat_from_double(std::ceil(std::max(2.0 * l, 1.0)));
  return sat_mul(div_ceil(w, 16), 16);
}

std::size_t default_probe_limit(std::size_t capacity) noexcept {
  const double n = static_cast<double>(std::max<std::size_t>(capacity, 4));
  const double v = std::ceil(std::log2(std::max(std::log2(n), 2.0)));
  return std::max<std::size_t>(sat_from_double(std::max(v, 1.0)), 1);
}

std::size_t choose_special_capacity(std::size_t n, std::size_t w, double delta) noexcept {
  if (n == 0) return 0;
  const std::size_t width = std::max<std::size_t>(w, 1);
  const double dn = static_cast<double>(n);
  const std::size_t low = std::min(n, sat_from_double(std::ceil(delta * dn * 0.5)));
  const std::size_t high = sat_from_double(std::floor(3.0 * delta * dn * 0.25));
  if (high >= low) {
    for (std::size_t s = std::min(n, high);; --s) {
      if ((n - s) % width == 0) return s;
      if (s == low) break;
    }
  }
  const double t = std::round(std::min(dn, std::max(0.0, delta * 5.0 * dn * 0.125)));
  const std::size_t target = sat_from_double(t);
  // Candidates n − k·w (k = 0, 1, ... while k·w ≤ n): the nearest to target,
  // the larger on a tie. Only the two around the target can be nearest.
  if (target >= n) return n;
  const std::size_t above = n - ((n - target) / width) * width;  // ≥ target
  if (above < width) return above;                               // no candidate below it
  const std::size_t below = above - width;
  return (above - target) <= (target - below) ? above : below;
}

namespace {

// ceil(3p/4) − 1, not below 0.
std::size_t lo_of(std::size_t p) noexcept { return (sat_sub(sat_mul(3, p), 4) + 3) >> 2; }
// floor(3p/4) + 1, at least lo(p).
std::size_t hi_of(std::size_t p) noexcept {
  return std::max(lo_of(p), sat_add(sat_mul(3, p), 4) >> 2);
}

// Smallest and largest sums of `after` levels following a level of `c`
// buckets, each level being the lo (hi) of the one before.
std::size_t chain_sum(std::size_t c, std::size_t after, std::size_t (*step)(std::size_t)) noexcept {
  std::size_t sum = 0;
  for (std::size_t j = 0; j < after; ++j) {
    c = step(c);
    sum = sat_add(sum, c);
  }
  return sum;
}

}  // namespace

std::optional<std::vector<std::size_t>> build_funnel_bucket_sequence(std::size_t buckets,
                                                                     std::size_t levels,
                                                                     std::size_t first) {
  if (first > buckets) return std::nullopt;
  std::vector<std::size_t> seq;
  seq.reserve(levels);
  seq.push_back(first);
  std::size_t remaining = buckets - first;
  for (std::size_t i = 1; i < levels; ++i) {
    const std::size_t p = seq.back();
    const std::size_t after = levels - 1 - i;
    const std::size_t lo = lo_of(p), hi = hi_of(p);
    const std::size_t ideal = (sat_mul(3, p) + 2) >> 2;
    const std::size_t target = ideal < lo ? lo : std::min(ideal, hi);
    std::optional<std::size_t> best;
    std::size_t best_dist = 0;
    for (std::size_t c = lo; c <= std::min(hi, remaining); ++c) {
      const std::size_t rest = remaining - c;
      if (rest < chain_sum(c, after, lo_of) || rest > chain_sum(c, after, hi_of)) continue;
      const std::size_t dist = c > target ? c - target : target - c;
      if (!best || dist < best_dist) {
        best = c;
        best_dist = dist;
        if (dist == 0) break;
      }
    }
    if (!best) return std::nullopt;
    seq.push_back(*best);
    remaining -= *best;
  }
  if (remaining != 0) return std::nullopt;
  return seq;
}

std::vector<std::size_t> partition_funnel_buckets(std::size_t buckets, std::size_t levels) {
  if (levels == 0) return {};
  if (buckets == 0) return std::vector<std::size_t>(levels, 0);
  if (levels > static_cast<std::size_t>(std::numeric_limits<std::int32_t>::max()))
    fail("level count fits in i32: out of range integral type conversion attempted");
  const double r = std::pow(0.75, static_cast<int>(levels));
  std::size_t first = buckets;
  if (1.0 - r > 0.0)
    first =
        sat_from_double(std::round(std::max(static_cast<double>(buckets) * 0.25 / (1.0 - r), 0.0)));
  for (std::size_t d = 0; d <= buckets; ++d) {
    const std::size_t down = sat_sub(first, d);
    if (auto seq = build_funnel_bucket_sequence(buckets, levels, down)) return std::move(*seq);
    const std::size_t up = std::min(sat_add(first, d), buckets);
    if (up != down) {
      if (auto seq = build_funnel_bucket_sequence(buckets, levels, up)) return std::move(*seq);
    }
    if (d == kWordMax) break;
  }
  std::vector<std::size_t> fallback(levels, 0);
  fallback[0] = buckets;
  return fallback;
}

namespace {

FunnelGeometry compute_geometry(std::size_t capacity, double delta) {
  FunnelGeometry g;
  g.level_count = level_count_for(delta);
  g.bucket_width = bucket_width_for(delta);
  std::size_t special = choose_special_capacity(capacity, g.bucket_width, delta);
  std::size_t main = sat_sub(capacity, special);
  if (main % g.bucket_width != 0) {
    main -= main % g.bucket_width;
    special = sat_sub(capacity, main);
  }
  g.special_capacity = special;
  g.bucket_counts = partition_funnel_buckets(main / g.bucket_width, g.level_count);
  return g;
}

}  // namespace

FunnelGeometry plan_geometry(std::size_t capacity, double delta) {
  // The bucket sequence is a search; maps grow through the same capacities.
  thread_local RecentResults<std::pair<std::size_t, double>, FunnelGeometry> recent;
  return recent.get({capacity, delta}, [&] { return compute_geometry(capacity, delta); });
}

std::size_t fallback_bucket_shift(std::size_t probe_limit) noexcept {
  std::size_t k = sat_mul(2, probe_limit);
  if (k < 3) k = 2;
  return static_cast<std::size_t>(std::bit_width(k - 1));
}

}  // namespace velomap::funnel
