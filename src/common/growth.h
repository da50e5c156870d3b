// How both tables grow.
//
// A table built for capacity c holds max_items(c) = c − floor(c·δ) entries;
// a new key arriving at that count grows it first, to 16 from 0 and by
// doubling otherwise. Bulk operations may grow ahead: to the capacity the
// same one-by-one growth would reach (copies), or, for `reserve`, to the
// smallest max(c, 16)·2^j whose max_items covers the need.
#pragma once

#include <cstddef>

namespace velomap {

std::size_t max_items_for(std::size_t capacity, double delta) noexcept;

// The capacity after one growth step.
std::size_t next_growth(std::size_t capacity) noexcept;

// The capacity that one-by-one insertion reaches once the table holds `need`
// entries, starting from `capacity`.
std::size_t capacity_for_inserting(std::size_t capacity, std::size_t need, double delta) noexcept;

// The capacity `reserve` rebuilds at for `need` entries. Throws
// InternalFailure("capacity overflow") when doubling runs out of words.
std::size_t capacity_for_reserving(std::size_t capacity, std::size_t need, double delta);

}  // namespace velomap
