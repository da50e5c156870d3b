// Compiler-specific constructs, in one place. Everything else in velomap is
// standard C++20 and names these instead, so that GCC, Clang and MSVC build
// the same sources; each construct is a hint or a speed-up, never a
// condition of correctness, and degrades to nothing where unsupported.
//
//   VELOMAP_ALWAYS_INLINE   inline into every caller (hot lookup paths)
//   VELOMAP_NOINLINE        keep out of line (rebuilds, refusals)
//   VELOMAP_COLD            rarely run; laid out away from hot code
//   VELOMAP_FLATTEN         inline every call inside the function
//   prefetch_for_read/write ask the cache for a line ahead of use
//   allocate_aligned        memory aligned beyond malloc's guarantee
//   allocate_zeroed         zero-filled memory for a big table
//   advise_large_pages      ask for 2 MiB pages under part of one
//   VELOMAP_HAVE_SSE2       the SSE2 group implementation can be used
//   VELOMAP_HAVE_UINT128    velomap::uint128 is a 128-bit unsigned integer
//   VELOMAP_CALLER_FILE/LINE  where the call was written
#pragma once

#if defined(_MSC_VER) && !defined(__clang__)
#include <intrin.h>
#define VELOMAP_MSVC 1
#endif

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#if defined(_WIN32)
#include <malloc.h>
#else
#include <stdlib.h>  // posix_memalign
#endif
#if defined(__linux__)
#include <sys/mman.h>  // mmap, madvise
#endif

#if defined(__SSE2__) || defined(_M_X64) || (defined(_M_IX86_FP) && _M_IX86_FP >= 2)
#include <emmintrin.h>
#define VELOMAP_HAVE_SSE2 1
#endif

#if defined(VELOMAP_MSVC)
#define VELOMAP_ALWAYS_INLINE __forceinline
#define VELOMAP_NOINLINE __declspec(noinline)
#define VELOMAP_COLD
#define VELOMAP_FLATTEN
#elif defined(__GNUC__) || defined(__clang__)
#define VELOMAP_ALWAYS_INLINE [[gnu::always_inline]] inline
#define VELOMAP_NOINLINE [[gnu::noinline]]
#define VELOMAP_COLD [[gnu::cold]]
#define VELOMAP_FLATTEN [[gnu::flatten]]
#else
#define VELOMAP_ALWAYS_INLINE inline
#define VELOMAP_NOINLINE
#define VELOMAP_COLD
#define VELOMAP_FLATTEN
#endif

// The file and line of a call, as default arguments of the callee (GCC,
// Clang and MSVC 2019 16.6 on have the builtins): what std::source_location
// gives, without the library support it needs (libstdc++'s wants a
// builtin that Clang 14 lacks, and GCC 10 has no <source_location>).
#if defined(__GNUC__) || defined(__clang__) || (defined(_MSC_VER) && _MSC_VER >= 1926)
#define VELOMAP_CALLER_FILE __builtin_FILE()
#define VELOMAP_CALLER_LINE __builtin_LINE()
#else
#define VELOMAP_CALLER_FILE "?"
#define VELOMAP_CALLER_LINE 0
#endif

#if defined(__SIZEOF_INT128__)
#define VELOMAP_HAVE_UINT128 1
namespace velomap {
__extension__ using uint128 = unsigned __int128;
}  // namespace velomap
#endif

namespace velomap {

// Ask the cache for the line at `p`, to be read soon.
inline void prefetch_for_read(const void* p) noexcept {
#if defined(VELOMAP_MSVC) && defined(VELOMAP_HAVE_SSE2)
  _mm_prefetch(static_cast<const char*>(p), _MM_HINT_T0);
#elif defined(__GNUC__) || defined(__clang__)
  __builtin_prefetch(p, 0);
#else
  (void)p;
#endif
}

// Ask the cache for the line at `p`, to be written soon (reference counts).
// The empty volatile asm keeps the request alive: a prefetch counts as no
// effect at all, so a function (a lambda, say) whose only work is
// prefetching could otherwise be judged pure and its calls dropped.
inline void prefetch_for_write(const void* p) noexcept {
#if defined(VELOMAP_MSVC) && defined(VELOMAP_HAVE_SSE2)
  _mm_prefetch(static_cast<const char*>(p), _MM_HINT_T0);
  _ReadWriteBarrier();
#elif defined(__GNUC__) || defined(__clang__)
  __builtin_prefetch(p, 1);
  asm volatile("");
#else
  (void)p;
#endif
}

// `bytes` of memory aligned to `align` (a power of two, at least a
// pointer's size), or null; released with free_aligned.
inline void* allocate_aligned(std::size_t bytes, std::size_t align) noexcept {
#if defined(_WIN32)
  return _aligned_malloc(bytes, align);
#else
  void* p = nullptr;
  return posix_memalign(&p, align, bytes) == 0 ? p : nullptr;
#endif
}
inline void free_aligned(void* p) noexcept {
#if defined(_WIN32)
  _aligned_free(p);
#else
  std::free(p);
#endif
}

// `bytes` of zero-filled memory, or null; released with free_zeroed(p,
// bytes). Blocks from kMappedFrom on come straight from the system on
// Linux (as glibc's malloc does for them too) and go back to it when freed.
// Smaller blocks, and every block elsewhere, come from calloc, which reuses
// freed memory: mapping fresh pages for each new table of a few megabytes
// would cost a page fault per 4 KiB page of it.
inline constexpr std::size_t kMappedFrom = std::size_t{32} << 20;
inline void* allocate_zeroed(std::size_t bytes) noexcept {
#if defined(__linux__)
  if (bytes >= kMappedFrom) {
    void* p = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    return p == MAP_FAILED ? nullptr : p;
  }
#endif
  return std::calloc(1, bytes);
}
inline void free_zeroed(void* p, std::size_t bytes) noexcept {
#if defined(__linux__)
  if (bytes >= kMappedFrom) {
    if (p != nullptr) munmap(p, bytes);
    return;
  }
#endif
  (void)bytes;
  std::free(p);
}

// Ask for the whole 2 MiB pages inside [p, p + bytes) of a block from
// allocate_zeroed of kMappedFrom bytes or more to be large pages (on Linux;
// a hint only: where it is refused or unknown nothing changes).
inline void advise_large_pages(void* p, std::size_t bytes) noexcept {
#if defined(__linux__) && defined(MADV_HUGEPAGE)
  constexpr std::uintptr_t kLarge = std::uintptr_t{1} << 21;
  const auto begin = (reinterpret_cast<std::uintptr_t>(p) + kLarge - 1) & ~(kLarge - 1);
  const auto end = (reinterpret_cast<std::uintptr_t>(p) + bytes) & ~(kLarge - 1);
  if (begin < end) madvise(reinterpret_cast<void*>(begin), end - begin, MADV_HUGEPAGE);
#else
  (void)p;
  (void)bytes;
#endif
}

}  // namespace velomap
