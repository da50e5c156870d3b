#include "growth.h"

#include <algorithm>
#include <cmath>

#include "error.h"
#include "saturate.h"

namespace velomap {

std::size_t max_items_for(std::size_t capacity, double delta) noexcept {
  return sat_sub(capacity, sat_from_double(std::floor(static_cast<double>(capacity) * delta)));
}

std::size_t next_growth(std::size_t capacity) noexcept {
  return capacity == 0 ? 16 : sat_mul(capacity, 2);
}

std::size_t capacity_for_inserting(std::size_t capacity, std::size_t need, double delta) noexcept {
  std::size_t c = capacity;
  while (max_items_for(c, delta) < need) {
    const std::size_t next = next_growth(c);
    if (next == c) break;
    c = next;
  }
  return c;
}

std::size_t capacity_for_reserving(std::size_t capacity, std::size_t need, double delta) {
  std::size_t c = std::max<std::size_t>(capacity, 16);
  while (max_items_for(c, delta) < need) {
    if (c > kWordMax / 2) fail("capacity overflow");
    c *= 2;
  }
  return c;
}

}  // namespace velomap
