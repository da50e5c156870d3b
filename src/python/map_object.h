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

#include "borrow.h"
#include "hashed_any.h"
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
  PyObject_HEAD
  BorrowFlag borrow;
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
    auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(cls, Py_tp_alloc));
    PyObject* self = alloc(cls, 0);
    if (self == nullptr) throw PyErrorSet{};
    Obj* o = obj(self);
    ::new (&o->borrow) BorrowFlag();
    ::new (&o->state) State(std::move(state));
    return self;
  }

  static void dealloc(PyObject* self) noexcept {
    PyTypeObject* cls = Py_TYPE(self);
    obj(self)->state.~State();  // releases every key and value
    auto free_fn = reinterpret_cast<freefunc>(PyType_GetSlot(cls, Py_tp_free));
    free_fn(self);
    Py_DECREF(cls);
  }
};

// Raise KeyError with the key as its argument.
[[noreturn]] inline void raise_key_error(PyObject* key) {
  PyErr_SetObject(PyExc_KeyError, key);
  throw PyErrorSet{};
}

}  // namespace velomap::py
