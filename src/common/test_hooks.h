// Seams for tests and for measurement, compiled into the core tables.
#pragma once

#include <cstdint>

namespace velomap {

// A seam for tests: when `countdown` is positive, the table allocation that
// brings it to zero is refused as if the allocator had run out of memory, so
// tests can check that a failure in the middle of a rebuild loses nothing.
// Disarmed (0) it costs one test per table allocation.
namespace fault_injection {
inline thread_local long countdown = 0;
inline bool refuse_allocation() noexcept { return countdown > 0 && --countdown == 0; }
}  // namespace fault_injection

// Counting 16-slot group loads, for measuring probe lengths: compiled in
// only with VELOMAP_PROBE_COUNTERS (a CMake option, off by default), and
// then every control-group load of a table adds one to `groups`.
namespace probe_counter {
inline thread_local std::uint64_t groups = 0;
}  // namespace probe_counter

}  // namespace velomap

#if defined(VELOMAP_PROBE_COUNTERS) && VELOMAP_PROBE_COUNTERS
#define VELOMAP_COUNT_GROUPS(n) (::velomap::probe_counter::groups += (n))
#else
#define VELOMAP_COUNT_GROUPS(n) ((void)0)
#endif
