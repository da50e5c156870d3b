// Object lifetimes: deallocation of any nesting depth, and the cyclic
// garbage collector's view of maps, views and iterators.
//
// Deallocation. Freeing a map releases its values, which may be maps whose
// values are maps, and so on: a chain a million deep would overflow the C
// stack if each release recursed. Deallocations therefore count how deep
// they are nested; past kMaxDeallocDepth an object is put on a deferred list
// instead of being freed, and the outermost deallocation frees the deferred
// objects once its own work is done (each of those may defer more in turn).
// The stack depth stays bounded whatever the nesting. Objects are untracked
// by the collector before they are deferred, so nothing sees them again.
//
// Collection. Maps, views and iterators take part in cyclic garbage
// collection: traverse visits every object reference they own (the type
// too, as heap types must). A traverse may run whenever Python code runs
// inside an operation (a key's __eq__, a finaliser during clear), so every
// table walk it makes must see a consistent table: core operations never
// call Python code between moving an entry and updating its control byte,
// and releases leave moved-from (null) references, which visiting skips.
#pragma once

#include <utility>
#include <vector>

#include "ref.h"

namespace velomap::py {

inline constexpr int kMaxDeallocDepth = 50;

class BoundedDealloc {
 public:
  using Destroy = void (*)(PyObject*);

  // Run destroy(self) now, or defer it to the outermost deallocation when
  // nested too deeply. Requires: self is untracked and unreachable.
  static void run(PyObject* self, Destroy destroy) noexcept {
    if (depth_ >= kMaxDeallocDepth) {
      try {
        pending().emplace_back(self, destroy);
        return;
      } catch (...) {
        // No memory for the list: free it here, one level deeper.
      }
    }
    ++depth_;
    destroy(self);
    if (depth_ == 1) {
      auto& list = pending();
      while (!list.empty()) {
        const auto [o, d] = list.back();
        list.pop_back();
        d(o);
      }
    }
    --depth_;
  }

 private:
  static std::vector<std::pair<PyObject*, Destroy>>& pending() noexcept {
    static std::vector<std::pair<PyObject*, Destroy>> list;
    return list;
  }
  // All under the interpreter lock, in the one interpreter the module runs in.
  static inline int depth_ = 0;
};

// The deallocation every class uses: untrack, then destroy the C++ fields
// (`Obj::~Obj` parts, through `destroy_fields`) and free the object, with
// bounded nesting.
template <void (*DestroyFields)(PyObject*)>
void dealloc_object(PyObject* self) noexcept {
  PyObject_GC_UnTrack(self);
  BoundedDealloc::run(self, [](PyObject* o) {
    DestroyFields(o);
    free_instance(o);
  });
}

}  // namespace velomap::py
