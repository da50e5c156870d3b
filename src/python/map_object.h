// The map object: a core table, a version counter and a borrow flag.
//
// One template serves both classes; a Scheme names the core table, the class
// names and the construction defaults (schemes.h). The version is advanced
// (`bump`) after every change of the table, so iterators made before can tell
// that they are stale.
#pragma once

#include <cstdint>
#include <new>
#include <optional>
#include <utility>
#include <vector>

#include "../common/portability.h"
#include "../common/walk.h"
#include "borrow.h"
#include "hashed_any.h"
#include "lifecycle.h"
#include "panic.h"
#include "ref.h"

namespace velomap::py {

// What a map object holds besides its header: the table and its version.
template <class Scheme>
struct MapState {
  typename Scheme::Table map;
  std::uint64_t version = 0;

  void bump() noexcept { ++version; }
};

template <class Scheme>
struct MapObject {
  PyObject_HEAD BorrowFlag borrow;
  MapState<Scheme> state;
};

template <class Scheme>
struct MapType {
  using Obj = MapObject<Scheme>;
  using State = MapState<Scheme>;
  using Table = typename Scheme::Table;

  static inline PyTypeObject* type = nullptr;  // created once, kept for the process

  static bool check(PyObject* o) noexcept { return type != nullptr && Py_TYPE(o) == type; }
  static Obj* obj(PyObject* o) noexcept { return reinterpret_cast<Obj*>(o); }

  // An empty state of the class defaults with `capacity`.
  static State make_state(std::uint32_t capacity) { return State{Scheme::make_table(capacity), 0}; }

  // A new object of class `cls` that takes over `state`.
  static PyObject* wrap(PyTypeObject* cls, State&& state) {
    Obj* o = alloc_instance<Obj>(cls);
    ::new (&o->borrow) BorrowFlag();
    ::new (&o->state) State(std::move(state));
    return reinterpret_cast<PyObject*>(o);
  }

  static void destroy_fields(PyObject* self) noexcept {
    obj(self)->state.~State();  // releases every key and value
  }
  static void dealloc(PyObject* self) noexcept { dealloc_object<&destroy_fields>(self); }

  // Every key and value the table holds.
  static int traverse(PyObject* self, visitproc visit, void* arg) noexcept {
    Py_VISIT(Py_TYPE(self));
    auto it = obj(self)->state.map.iter();
    while (const auto* e = it.next()) {
      Py_VISIT(e->key.obj());
      Py_VISIT(e->value.get());
    }
    return 0;
  }

  // Breaking a cycle: empty the map (iterators over it become stale). A map
  // in the middle of an operation is left alone; the collector frees it
  // through the other objects of its cycle.
  static int clear(PyObject* self) noexcept {
    auto* o = obj(self);
    ExclusiveBorrow b(o->borrow);
    if (!b.held()) return 0;
    o->state.map.clear();
    o->state.bump();
    return 0;
  }
};

// Call f(entry) for every entry of a core table in walk order. Entries come
// in table order, which is unrelated to where the key and value objects live
// in memory, and every reference count touched is a cache miss in a large
// map: those objects are asked for a few groups ahead. Small maps stay in
// cache and are walked without that.
inline constexpr std::size_t kPrefetchObjectsFrom = 4096;
inline constexpr auto kPrefetchEntryObjects = [](const auto& e) noexcept {
  e.key.prefetch();
  e.value.prefetch();
};
inline constexpr auto kNoPrefetch = [](const auto&) noexcept {};

// Call g with the prefetch that suits a walk over `len` entries.
template <class G>
void with_object_prefetch(std::size_t len, G&& g) {
  if (len < kPrefetchObjectsFrom) {
    g(kNoPrefetch);
  } else {
    g(kPrefetchEntryObjects);
  }
}

template <class Table, class F>
void for_each_prefetched(const Table& table, F&& f) {
  with_object_prefetch(table.len(), [&](auto ahead) { for_each_entry_ahead(table, f, ahead); });
}

// Store a copy of every entry of `source` (a core table of either scheme) in
// `target`, which holds none of its keys: the same key objects with their
// stored hashes (no Python code runs) and the same values, new references.
template <class Target, class Source>
void copy_entries(Target& target, const Source& source) {
  const auto copy = [](const auto& e) noexcept {
    return std::pair<HashedAny, Ref>(HashedAny::share(e.key), Ref::incref(e.value.get()));
  };
  with_object_prefetch(source.len(),
                       [&](auto ahead) { target.insert_copies(source, copy, ahead); });
}

// Raise KeyError with the key as its only argument (a tuple key too).
[[noreturn]] inline void raise_key_error(PyObject* key) {
  Ref args = Ref::checked(PyTuple_Pack(1, key));
  PyErr_SetObject(PyExc_KeyError, args.get());
  throw PyErrorSet{};
}

// velomap's own classes (maps, views), whose len() is exact; filled as the
// module registers them.
inline std::vector<PyTypeObject*>& own_types() {
  static std::vector<PyTypeObject*> types;
  return types;
}

}  // namespace velomap::py
