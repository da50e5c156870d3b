// Funnel hashing: the shape of a table built for a given capacity.
//
// With δ the reserve fraction (at most 1/8) and L = log2(1/δ):
//   * level count α = ⌈4L + 10⌉ and bucket width w = ⌈2L⌉ rounded up to a
//     multiple of 16 (22–90 levels; w = 16 unless δ < 1/256);
//   * a small share of the capacity (between δ/2 and 3δ/4 of it when the
//     bucket width allows) goes to the special array; the rest is cut into
//     buckets of w slots;
//   * the buckets are spread over the levels as a near-geometric sequence of
//     ratio 3/4 (each level within one bucket of 3/4 of the previous);
//   * a level holds exactly its buckets (a hash picks one by a multiply,
//     not a mask, so no count is rounded up), and lookups and placements
//     use the whole of a bucket, a group at a time.
// The special array is split into a primary part (a power-of-two number of
// groups, probed with bounded double hashing and summarised per group by a
// 128-bit set of the tags ever placed there) and a fallback part of small
// power-of-two buckets, of which each key may use two.
//
// Everything here is computed once per construction or rebuild.
#pragma once

#include <cstddef>
#include <optional>
#include <vector>

#include "../common/growth.h"

namespace velomap::funnel {

inline constexpr double kDefaultReserveFraction = 0.1;

// NaN/inf → 0.1; otherwise clamped into [0.000001, 0.999999], then ≤ 0.125.
double normalize_reserve_fraction(double delta) noexcept;
std::size_t level_count_for(double delta) noexcept;
std::size_t bucket_width_for(double delta) noexcept;
// ⌈log2(log2 max(n, 4))⌉, at least 1.
std::size_t default_probe_limit(std::size_t capacity) noexcept;

std::size_t choose_special_capacity(std::size_t n, std::size_t w, double delta) noexcept;

// Bucket counts per level, summing to `buckets` (α entries).
std::vector<std::size_t> partition_funnel_buckets(std::size_t buckets, std::size_t levels);

// The bucket-count sequence starting with `first`, or nothing when no
// sequence obeys the 3/4 rules and sums to `buckets`.
std::optional<std::vector<std::size_t>> build_funnel_bucket_sequence(std::size_t buckets,
                                                                     std::size_t levels,
                                                                     std::size_t first);

// How a capacity is split, as `with_options` and every rebuild compute it.
struct FunnelGeometry {
  std::size_t level_count = 0;
  std::size_t bucket_width = 0;
  std::size_t special_capacity = 0;
  std::vector<std::size_t> bucket_counts;  // per level
};
FunnelGeometry plan_geometry(std::size_t capacity, double delta);

// Fallback bucket size exponent for a probe limit: buckets of 2^shift slots
// with 2^shift ≥ max(2, 2 × limit). A shift of 32 or more means the fallback
// has no usable bucket.
std::size_t fallback_bucket_shift(std::size_t probe_limit) noexcept;

}  // namespace velomap::funnel
