// The borrow flag of map, view and iterator objects.
//
// Python code can run in the middle of a map operation (a key's __eq__ or
// __hash__, a finaliser, another operand's __len__): the flag stops such code
// from changing a map that is being read, or reading one that is being
// changed. States: free (0), shared by n readers (n > 0), exclusive (-1).
// Everything runs under the interpreter lock, so this is a re-entrancy guard,
// not a lock.
//
// A refused borrow is reported in one of three forms, fixed per operation:
//   raise     RuntimeError "Already mutably borrowed" (shared refused) or
//             "Already borrowed" (exclusive refused)
//   decline   the caller returns NotImplemented (==, |, |=)
//   panic     InternalFailure "Already mutably borrowed: PyBorrowError"
//             (iteration, views, and a same-class source or comparand)
#pragma once

#include <cstdint>

#include "../common/error.h"
#include "../common/portability.h"
#include "ref.h"

namespace velomap::py {

class BorrowFlag {
 public:
  bool try_shared() noexcept {
    if (state_ < 0) return false;
    ++state_;
    return true;
  }
  bool try_exclusive() noexcept {
    if (state_ != 0) return false;
    state_ = -1;
    return true;
  }
  void release_shared() noexcept { --state_; }
  void release_exclusive() noexcept { state_ = 0; }

 private:
  std::intptr_t state_ = 0;
};

inline constexpr const char kBorrowPanic[] = "Already mutably borrowed: PyBorrowError";

// The refusals, kept out of line so that the granted path stays small.
[[noreturn]] VELOMAP_COLD VELOMAP_NOINLINE inline void refuse_shared() {
  raise(PyExc_RuntimeError, "Already mutably borrowed");
}
[[noreturn]] VELOMAP_COLD VELOMAP_NOINLINE inline void refuse_exclusive() {
  raise(PyExc_RuntimeError, "Already borrowed");
}
[[noreturn]] VELOMAP_COLD VELOMAP_NOINLINE inline void refuse_shared_panic() { fail(kBorrowPanic); }

// Holds a shared borrow until destroyed; `held()` tells whether it was granted.
class SharedBorrow {
 public:
  explicit SharedBorrow(BorrowFlag& flag) noexcept : flag_(flag.try_shared() ? &flag : nullptr) {}
  SharedBorrow(SharedBorrow&& o) noexcept : flag_(std::exchange(o.flag_, nullptr)) {}
  SharedBorrow(const SharedBorrow&) = delete;
  SharedBorrow& operator=(const SharedBorrow&) = delete;
  ~SharedBorrow() {
    if (flag_) flag_->release_shared();
  }
  bool held() const noexcept { return flag_ != nullptr; }

  VELOMAP_ALWAYS_INLINE static SharedBorrow or_raise(BorrowFlag& flag) {
    SharedBorrow b(flag);
    if (!b.held()) refuse_shared();
    return b;
  }
  VELOMAP_ALWAYS_INLINE static SharedBorrow or_panic(BorrowFlag& flag) {
    SharedBorrow b(flag);
    if (!b.held()) refuse_shared_panic();
    return b;
  }

 private:
  BorrowFlag* flag_;
};

class ExclusiveBorrow {
 public:
  explicit ExclusiveBorrow(BorrowFlag& flag) noexcept
      : flag_(flag.try_exclusive() ? &flag : nullptr) {}
  ExclusiveBorrow(ExclusiveBorrow&& o) noexcept : flag_(std::exchange(o.flag_, nullptr)) {}
  ExclusiveBorrow(const ExclusiveBorrow&) = delete;
  ExclusiveBorrow& operator=(const ExclusiveBorrow&) = delete;
  ~ExclusiveBorrow() {
    if (flag_) flag_->release_exclusive();
  }
  bool held() const noexcept { return flag_ != nullptr; }

  VELOMAP_ALWAYS_INLINE static ExclusiveBorrow or_raise(BorrowFlag& flag) {
    ExclusiveBorrow b(flag);
    if (!b.held()) refuse_exclusive();
    return b;
  }

 private:
  BorrowFlag* flag_;
};

}  // namespace velomap::py
