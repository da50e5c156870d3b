#include "geometry.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <tuple>

#include "../common/recent.h"
#include "../common/saturate.h"

namespace velomap::elastic {

double normalize_reserve_fraction(double delta) noexcept {
  if (!std::isfinite(delta)) return kDefaultReserveFraction;
  return std::clamp(delta, 0.000001, 0.999999);
}

double normalize_probe_scale(double c) noexcept {
  return (std::isfinite(c) && c > 0.0) ? c : kDefaultProbeScale;
}

std::size_t reserve_threshold_for(std::size_t slots, double delta) noexcept {
  return sat_from_double(std::floor(delta * static_cast<double>(slots) * 0.5));
}

std::vector<std::size_t> partition_levels(std::size_t n) {
  std::vector<std::size_t> sizes;
  // Whole groups, halving: each level takes half of the groups still
  // unplaced (rounded up), so the last levels are one group each.
  for (std::size_t groups = div_ceil(n, kGroupSlots); groups != 0;) {
    const std::size_t take = groups - groups / 2;
    sizes.push_back(take * kGroupSlots);
    groups -= take;
  }
  return sizes;
}

std::vector<std::size_t> build_batch_plan(std::span<const std::size_t> s, std::size_t total,
                                          double delta) {
  std::vector<std::size_t> plan;
  if (s.empty() || total == 0) return plan;
  // Three quarters of x, rounded up.
  const auto q = [](std::size_t x) { return sat_add(sat_mul(3, x), 3) / 4; };
  plan.push_back(q(s[0]));
  for (std::size_t i = 1; i < s.size(); ++i) {
    const std::size_t prev = s[i - 1];
    const std::size_t fill = sat_sub(prev, reserve_threshold_for(prev, delta));
    const std::size_t extra = sat_sub(fill, q(prev));
    plan.push_back(sat_add(q(s[i]), extra));
  }
  std::size_t sum = 0;
  for (std::size_t& b : plan) {
    if (sum >= total) {
      b = 0;
    } else {
      b = std::min(b, total - sum);
      sum += b;
    }
  }
  if (sum < total) plan.push_back(total - sum);
  return plan;
}

ProbeLimits::ProbeLimits(std::size_t n, std::size_t group_count, double delta, double c) {
  if (group_count < 2) return;
  const double lambda = std::log2(1.0 / delta);
  // t_k for k = 2, 3, ..., or 0 once the table stops.
  const auto bound = [&](std::size_t k) -> std::size_t {
    const double x = 16.0 * static_cast<double>(k - 1) / c;
    if (x >= lambda) return 0;
    const std::size_t m =
        sat_from_double(std::ceil(static_cast<double>(n) / std::exp2(std::sqrt(x))));
    if (m < 2) return 0;
    return std::min(n, m - 1);
  };
  std::size_t count = 0;
  for (std::size_t k = 2; k <= group_count && bound(k) != 0; ++k) ++count;
  std::size_t* out = inline_;
  if (count > kInline) {
    heap_.reset(new std::size_t[count]);
    out = heap_.get();
  }
  for (std::size_t j = 0; j < count; ++j) out[j] = bound(j + 2);
  count_ = count;
}

ProbeLimits::ProbeLimits(const ProbeLimits& o) : count_(o.count_) {
  std::copy(o.inline_, o.inline_ + kInline, inline_);
  if (o.heap_) {
    heap_.reset(new std::size_t[count_]);
    std::copy(o.heap_.get(), o.heap_.get() + count_, heap_.get());
  }
}

ProbeLimits& ProbeLimits::operator=(const ProbeLimits& o) {
  if (this != &o) *this = ProbeLimits(o);
  return *this;
}

std::shared_ptr<const LevelPlan> plan_levels(std::size_t capacity, std::size_t max_items,
                                             double delta, double probe_scale) {
  using Args = std::tuple<std::size_t, std::size_t, double, double>;
  thread_local RecentResults<Args, std::shared_ptr<const LevelPlan>> recent;
  return recent.get({capacity, max_items, delta, probe_scale}, [&] {
    auto plan = std::make_shared<LevelPlan>();
    plan->sizes = partition_levels(capacity);
    plan->batches = build_batch_plan(plan->sizes, max_items, delta);
    for (const std::size_t n : plan->sizes) {
      plan->thresholds.push_back(reserve_threshold_for(n, delta));
      plan->limits.emplace_back(n, n / 16, delta, probe_scale);  // levels are whole 16-slot groups
    }
    return std::shared_ptr<const LevelPlan>(std::move(plan));
  });
}

std::size_t ProbeLimits::budget(std::size_t f) const noexcept {
  if (f == 0) return 1;
  // The bounds are non-increasing, so {k : f ≤ t_k} is a prefix; its length
  // tells the largest such k.
  const std::size_t* b = bounds();
  const std::size_t* first_below =
      std::partition_point(b, b + count_, [f](std::size_t t) { return f <= t; });
  const auto granted = static_cast<std::size_t>(first_below - b);
  return granted == 0 ? 1 : granted + 1;
}

std::vector<std::pair<std::size_t, std::size_t>> ProbeLimits::recorded() const {
  std::vector<std::pair<std::size_t, std::size_t>> out;
  for (std::size_t j = 0; j < count_; ++j) out.emplace_back(j + 2, bounds()[j]);
  return out;
}

}  // namespace velomap::elastic
