// How core-table members move: shapes whose moves leave a valid empty
// source, the types whose objects may move by copying their bytes, and
// bulk writes deferred to let their cache misses overlap.
#pragma once

#include <cstddef>
#include <cstring>
#include <new>
#include <type_traits>
#include <utility>

#include "portability.h"

namespace velomap {

// Release what `x` holds now, leaving it moved-from (for ordering releases).
template <class T>
void release_now(T& x) noexcept {
  [[maybe_unused]] T gone = std::move(x);
}

// A table's shape (its parts and counts), held on the heap; a table of no
// capacity holds the one empty shape shared by all instead, so that an
// empty map owns no memory besides its object. A move leaves the empty
// shape behind, so a moved-from table is valid and empty and its defaulted
// moves need no hand-written counterpart. The shared shape is never
// written: a table writes to its shape only once it has made its own
// (`owned`), which it does before placing anything.
template <class Shape>
class ShapeHandle {
 public:
  ShapeHandle() noexcept = default;
  static ShapeHandle make() { return ShapeHandle(new Shape()); }
  ShapeHandle(ShapeHandle&& o) noexcept : p_(std::exchange(o.p_, empty())) {}
  ShapeHandle& operator=(ShapeHandle&& o) noexcept {
    if (this != &o) {
      ShapeHandle gone(std::move(*this));
      p_ = std::exchange(o.p_, empty());
    }
    return *this;
  }
  ShapeHandle(const ShapeHandle&) = delete;
  ShapeHandle& operator=(const ShapeHandle&) = delete;
  ~ShapeHandle() {
    if (owned()) delete p_;
  }

  bool owned() const noexcept { return p_ != empty(); }
  Shape* operator->() noexcept { return p_; }
  const Shape* operator->() const noexcept { return p_; }
  Shape& operator*() noexcept { return *p_; }
  const Shape& operator*() const noexcept { return *p_; }

 private:
  explicit ShapeHandle(Shape* p) noexcept : p_(p) {}
  static Shape* empty() noexcept {
    static Shape none;
    return &none;
  }
  Shape* p_ = empty();
};

// Types whose objects may be moved by copying their bytes, the source then
// counting as gone without its destructor running (a handle that owns what
// it points to, as the Python key and value wrappers do). Trivially
// copyable types are; a type says so of itself by specialising this.
template <class T>
inline constexpr bool kBitwiseRelocatable = std::is_trivially_copyable_v<T>;

// Writing entries into a table too large for the cache is a cache miss per
// entry. A bulk placement into one therefore claims each entry's slot
// (control bytes and counts only, which stay in cache), asks for the slot's
// memory, and writes the entry kDepth placements later, once the memory has
// come. Claims read no entry, so deferring the writes changes no placement;
// but nothing may read or move the table's entries before flush(). Into a
// table of fewer than kFromSlots slots, which the cache holds, every write
// is done at once. The owner flushes before the object goes (pending items
// are not destroyed otherwise).
template <class Dest, class Item>
class DeferredWrites {
 public:
  static constexpr std::size_t kDepth = 8;
  static constexpr std::size_t kFromSlots = (std::size_t{1} << 20) / sizeof(Dest);
  static bool wanted(std::size_t slots) noexcept { return slots >= kFromSlots; }

  explicit DeferredWrites(std::size_t slots) noexcept : defer_(wanted(slots)) {}

  // Whether writes are deferred at all.
  bool defers() const noexcept { return defer_; }

  // Claimed `dest` for `item`: written now, or once kDepth more are pending.
  template <class Write>
  VELOMAP_ALWAYS_INLINE void push(Dest* dest, Item&& item, Write&& write) noexcept {
    if (!defer_) {
      write(dest, std::move(item));
      return;
    }
    prefetch_for_write(dest);
    Pending& p = ring_[n_ % kDepth];
    if (n_ >= kDepth) p.write_out(write);
    p.dest = dest;
    ::new (static_cast<void*>(&p.item)) Item(std::move(item));
    ++n_;
  }

  // Do every pending write.
  template <class Write>
  void flush(Write&& write) noexcept {
    for (std::size_t i = n_ > kDepth ? n_ - kDepth : 0; i < n_; ++i)
      ring_[i % kDepth].write_out(write);
    n_ = 0;
  }

 private:
  // A claimed slot and the item to write there (constructed by push,
  // destroyed once written: items need no default state).
  struct Pending {
    Dest* dest = nullptr;
    union {
      Item item;
    };
    Pending() noexcept {}
    ~Pending() {}
    template <class Write>
    void write_out(Write& write) noexcept {
      write(dest, std::move(item));
      item.~Item();
    }
  };
  bool defer_;
  std::size_t n_ = 0;
  Pending ring_[kDepth];
};

// The rebuilds' deferred writes: an entry's bytes are copied from its old
// slot, which keeps them until the rebuild ends, kDepth placements after its
// new slot is claimed. The ring starts full of copies between two scratch
// entries, so that each push does the oldest pending copy without asking
// whether there is one.
template <class Entry>
class DeferredRelocations {
 public:
  static constexpr std::size_t kDepth = DeferredWrites<Entry, const Entry*>::kDepth;

  DeferredRelocations() noexcept { forget(); }

  VELOMAP_ALWAYS_INLINE void push(Entry* to, const Entry* from) noexcept {
    prefetch_for_write(to);
    Copy& c = ring_[n_++ % kDepth];
    copy_bytes(c.to, c.from);
    c = {to, from};
  }

  // Do every pending copy.
  void flush() noexcept {
    for (Copy& c : ring_) copy_bytes(c.to, c.from);
    forget();
  }

  static void copy_bytes(void* to, const void* from) noexcept {
    static_assert(Entry::kRelocatable, "rebuilds move entries by copying their bytes");
    std::memcpy(to, from, sizeof(Entry));
  }

 private:
  struct Copy {
    void* to;
    const void* from;
  };
  void forget() noexcept {
    for (Copy& c : ring_) c = {scratch_[0], scratch_[1]};
  }
  alignas(Entry) unsigned char scratch_[2][sizeof(Entry)] = {};
  Copy ring_[kDepth];
  std::size_t n_ = 0;
};

// A rebuild's moves into a table of `slots` slots: moves(relocate) calls
// relocate(to, from) for each entry, which copies its bytes at once into a
// table the cache holds, and through DeferredRelocations into one
// DeferredWrites would defer for (all of them done when this returns).
template <class Entry, class Moves>
VELOMAP_ALWAYS_INLINE void relocate_all(std::size_t slots, Moves&& moves) {
  if (DeferredWrites<Entry, const Entry*>::wanted(slots)) {
    DeferredRelocations<Entry> pending;
    moves([&](Entry* to, const Entry* from) { pending.push(to, from); });
    pending.flush();
  } else {
    moves([](Entry* to, const Entry* from) { DeferredRelocations<Entry>::copy_bytes(to, from); });
  }
}

}  // namespace velomap
