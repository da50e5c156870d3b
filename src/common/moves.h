// How core-table members move: moves that leave a valid empty source, and
// the types whose objects may move by copying their bytes.
#pragma once

#include <type_traits>
#include <utility>

namespace velomap {

// Release what `x` holds now, leaving it moved-from (for ordering releases).
template <class T>
void release_now(T& x) noexcept {
  [[maybe_unused]] T gone = std::move(x);
}

// A member that a move leaves in its default state: a table keeps its shape
// (parts, counts) in one, so that a moved-from table is valid and empty and
// its defaulted moves need no hand-written counterpart.
template <class T>
class ResetOnMove {
 public:
  ResetOnMove() = default;
  ResetOnMove(ResetOnMove&& o) noexcept : value_(std::exchange(o.value_, T{})) {}
  ResetOnMove& operator=(ResetOnMove&& o) noexcept {
    if (this != &o) value_ = std::exchange(o.value_, T{});
    return *this;
  }
  ResetOnMove& operator=(T&& v) noexcept {
    value_ = std::move(v);
    return *this;
  }
  T* operator->() noexcept { return &value_; }
  const T* operator->() const noexcept { return &value_; }
  T& operator*() noexcept { return value_; }
  const T& operator*() const noexcept { return value_; }

 private:
  T value_;
};

// Types whose objects may be moved by copying their bytes, the source then
// counting as gone without its destructor running (a handle that owns what
// it points to, as the Python key and value wrappers do). Trivially
// copyable types are; a type says so of itself by specialising this.
template <class T>
inline constexpr bool kBitwiseRelocatable = std::is_trivially_copyable_v<T>;

}  // namespace velomap
