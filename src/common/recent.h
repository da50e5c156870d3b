// The last results of a pure but costly function, kept per thread and
// handed back when the same arguments come again: every map grows through
// the same capacities, so table plans repeat.
#pragma once

#include <cstddef>
#include <utility>
#include <vector>

namespace velomap {

template <class Key, class Value, std::size_t Kept = 32>
class RecentResults {
 public:
  // The value kept for `key`, or make() kept (replacing the oldest).
  template <class Make>
  Value get(const Key& key, Make&& make) {
    for (const auto& [k, v] : kept_)
      if (k == key) return v;
    Value value = make();
    if (kept_.size() < Kept) {
      kept_.emplace_back(key, value);
    } else {
      kept_[next_] = {key, value};
      next_ = (next_ + 1) % Kept;
    }
    return value;
  }

 private:
  std::vector<std::pair<Key, Value>> kept_;
  std::size_t next_ = 0;
};

}  // namespace velomap
