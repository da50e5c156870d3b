// Elastic hashing: the shape of a table built for a given capacity.
//
// A table for capacity n is a sequence of levels of whole 16-slot groups
// whose sizes halve (partition_levels).
// New keys are placed batch by batch (build_batch_plan): batch 0 brings level
// 0 to three quarters full; batch i ≥ 1 tops level i−1 up to all but
// floor(δ·slots/2) of its slots and brings level i to three quarters. How far
// a placement may search the level being filled depends on that level's free
// fraction ε: roughly c·min(log²(1/ε), log(1/δ)) slots, counted in 16-slot
// groups (ProbeLimits).
//
// Everything here is pure, plain values in, plain values out; plan_levels
// keeps its last results for reuse.
#pragma once

#include <cstddef>
#include <memory>
#include <span>
#include <utility>
#include <vector>

#include "../common/growth.h"

namespace velomap::elastic {

inline constexpr double kDefaultReserveFraction = 0.1;
inline constexpr double kDefaultProbeScale = 16.0;

// NaN/inf → 0.1; otherwise clamped into [0.000001, 0.999999].
double normalize_reserve_fraction(double delta) noexcept;
// Kept when finite and > 0 (subnormals included); otherwise 16.0.
double normalize_probe_scale(double c) noexcept;

// Slots of a group (the unit of level sizes).
inline constexpr std::size_t kGroupSlots = 16;

// Level sizes for capacity n: the ceil(n/16) groups of n slots dealt out
// halving, each level half of those left (rounded up), so the levels
// together have fewer than 16 slots more than n.
std::vector<std::size_t> partition_levels(std::size_t n);

// Batch sizes for the given level sizes, clamped so they sum to `total`
// (one extra entry is appended when the levels' batches fall short).
std::vector<std::size_t> build_batch_plan(std::span<const std::size_t> level_sizes,
                                          std::size_t total, double delta);

// floor(δ × slots × 0.5): a level with at most this many free slots counts as
// done for batch purposes.
std::size_t reserve_threshold_for(std::size_t slots, double delta) noexcept;

// The probe budget, in groups, of a level of n slots as a function of its free
// slot count f. The budget is a step function of f: k groups for every f up
// to a bound t_k, with t_k non-increasing in k. Only the bounds are stored
// (a handful of words per level, not one word per slot); budget(f) is the
// largest k with f ≤ t_k, else 1, and budget(0) is 1.
class ProbeLimits {
 public:
  ProbeLimits() = default;
  ProbeLimits(std::size_t slots, std::size_t group_count, double delta, double probe_scale);
  ProbeLimits(const ProbeLimits& o);
  ProbeLimits& operator=(const ProbeLimits& o);
  ProbeLimits(ProbeLimits&&) noexcept = default;
  ProbeLimits& operator=(ProbeLimits&&) noexcept = default;

  std::size_t budget(std::size_t free_slots) const noexcept;

  // The recorded (k, t_k) pairs, k = 2, 3, ...: for tests and inspection.
  std::vector<std::pair<std::size_t, std::size_t>> recorded() const;

 private:
  // bounds[j] = t_(j+2), non-increasing. A handful of bounds is the rule
  // (three with the default options), kept inline so that building a level
  // allocates nothing here; more go to the heap.
  static constexpr std::size_t kInline = 6;
  const std::size_t* bounds() const noexcept { return heap_ ? heap_.get() : inline_; }
  std::size_t inline_[kInline] = {};
  std::unique_ptr<std::size_t[]> heap_;
  std::size_t count_ = 0;
};

// Everything about a table of one capacity and set of options that does
// not depend on its contents: level sizes, batch plan, and each level's
// reserve threshold and probe limits.
struct LevelPlan {
  std::vector<std::size_t> sizes;
  std::vector<std::size_t> batches;
  std::vector<std::size_t> thresholds;
  std::vector<ProbeLimits> limits;
};

// The plan for `capacity` entries at `max_items`, shared: maps grow through
// the same capacities again and again, so the last plans made are kept.
std::shared_ptr<const LevelPlan> plan_levels(std::size_t capacity, std::size_t max_items,
                                             double delta, double probe_scale);

}  // namespace velomap::elastic
