// Failure reporting shared by the core tables.
//
// The core tables report absence through optional results and never through
// errors. Two kinds of failure remain:
//   * InternalFailure: an impossible or exhausted state ("layout overflow",
//     "capacity overflow", "no free slot found after resize", ...). It carries
//     a fixed message and the source location that raised it; the Python
//     binding turns it into PanicException at its boundary.
//   * std::bad_alloc: the allocator refused a block. Every operation that
//     allocates does so before it changes anything, so the table is left
//     exactly as it was and the binding raises MemoryError.
#pragma once

#include <exception>
#include <string>

#include "portability.h"

// Debug-build check of a stated precondition ("Requires: ...") or invariant.
#ifdef NDEBUG
#define VELOMAP_ASSERT(cond) ((void)0)
#else
#include <cstdio>
#include <cstdlib>
#define VELOMAP_ASSERT(cond)                                                                   \
  ((cond) ? (void)0                                                                            \
          : (std::fprintf(stderr, "%s:%d: assertion failed: %s\n", __FILE__, __LINE__, #cond), \
             std::abort()))
#endif

namespace velomap {

// Whether VELOMAP_ASSERT and the other debug-build checks are compiled in.
#ifdef NDEBUG
inline constexpr bool kDebugChecks = false;
#else
inline constexpr bool kDebugChecks = true;
#endif

// Where a failure was raised.
struct SourceLocation {
  const char* file = "";
  unsigned line = 0;
};

class InternalFailure : public std::exception {
 public:
  explicit InternalFailure(std::string message, const char* file = VELOMAP_CALLER_FILE,
                           unsigned line = VELOMAP_CALLER_LINE)
      : message_(std::move(message)), where_{file, line} {}

  const char* what() const noexcept override { return message_.c_str(); }
  const std::string& message() const noexcept { return message_; }
  const SourceLocation& where() const noexcept { return where_; }

 private:
  std::string message_;
  SourceLocation where_;
};

[[noreturn]] inline void fail(std::string message, const char* file = VELOMAP_CALLER_FILE,
                              unsigned line = VELOMAP_CALLER_LINE) {
  throw InternalFailure(std::move(message), file, line);
}

}  // namespace velomap
