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
// The count and the list belong to the thread that frees (as the
// interpreter keeps its own trashcan state per thread): a finaliser that
// gives up the interpreter lock deep inside one thread's nest must not hold
// back, or wait on, the frees of another thread, and a child forked from
// inside such a finaliser (it is a copy of the forking thread, whose state
// is its own) starts with nothing pending. The state is plain data with no
// destructor, so the thread-local storage needs no exit hook from the C
// library; the list's memory is given back whenever it has been drained.
// Collection. Maps, views and iterators take part in cyclic garbage
// collection: traverse visits every object reference they own (the type
// too, as heap types must). A traverse may run whenever Python code runs
// inside an operation (a key's __eq__, a finaliser during clear), so every
// table walk it makes must see a consistent table: core operations never
// call Python code between moving an entry and updating its control byte,
// and releases leave moved-from (null) references, which visiting skips.
#pragma once

#include <cstddef>
#include <cstdlib>
#include <type_traits>

#include "ref.h"

namespace velomap::py {

inline constexpr int kMaxDeallocDepth = 50;

class BoundedDealloc {
 public:
  using Destroy = void (*)(PyObject*);

  // Run destroy(self) now, or defer it to the outermost deallocation of
  // this thread when nested too deeply. Requires: self is untracked and
  // unreachable.
  static void run(PyObject* self, Destroy destroy) noexcept {
    State& st = state_;
    if (st.depth >= kMaxDeallocDepth && st.push(self, destroy)) return;
    // Not deferred (or no memory for the list): free it here, one level deeper.
    ++st.depth;
    destroy(self);
    if (st.depth == 1) st.drain();
    --st.depth;
  }

 private:
  struct Deferred {
    PyObject* object;
    Destroy destroy;
  };
  struct State {
    Deferred* items;
    std::size_t len;
    std::size_t cap;
    int depth;

    bool push(PyObject* o, Destroy d) noexcept {
      if (len == cap) {
        const std::size_t bigger = cap == 0 ? 64 : cap * 2;
        void* grown = std::realloc(items, bigger * sizeof(Deferred));
        if (grown == nullptr) return false;
        items = static_cast<Deferred*>(grown);
        cap = bigger;
      }
      items[len++] = {o, d};
      return true;
    }
    // Free the deferred objects, and those they defer in turn, until none
    // is left; then give the list's memory back.
    void drain() noexcept {
      while (len != 0) {
        const Deferred next = items[--len];
        next.destroy(next.object);
      }
      std::free(items);
      items = nullptr;
      cap = 0;
    }
  };
  static_assert(std::is_trivially_destructible_v<State>);
  static constinit inline thread_local State state_{};
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
