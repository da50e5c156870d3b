// Snapshot iterators with the mutation guard.
//
// An iterator copies what it will hand out (keys, values or new (key, value)
// tuples) when it is made, under the map's shared borrow, and records the
// map's version. Each step first compares the map's current version with the
// recorded one: after any change of the map, every older iterator raises
// RuntimeError "dictionary changed size during iteration", at this and every
// later step, even once exhausted. The walk that fills the snapshot calls no
// method of any key or value.
#pragma once

#include <cstdint>
#include <vector>

#include "../common/layout.h"
#include "map_object.h"

namespace velomap::py {

enum class Kind { Keys, Values, Items };

// The element of one entry for a kind: the key object, the value object, or
// a new (key, value) tuple.
template <Kind K, class Entry>
Ref element_of(const Entry& e) {
  if constexpr (K == Kind::Keys) {
    return Ref::incref(e.key.obj());
  } else if constexpr (K == Kind::Values) {
    return Ref::incref(e.value.get());
  } else {
    Ref pair = Ref::checked(PyTuple_New(2));
    Py_INCREF(e.key.obj());
    PyTuple_SetItem(pair.get(), 0, e.key.obj());
    Py_INCREF(e.value.get());
    PyTuple_SetItem(pair.get(), 1, e.value.get());
    return pair;
  }
}

template <class Scheme, Kind K>
struct IterObject {
  PyObject_HEAD
  BorrowFlag borrow;
  Ref map_obj;
  std::vector<Ref> snapshot;
  std::uint64_t seen_version;
  std::size_t position;
};

template <class Scheme, Kind K>
struct IterClass {
  using Obj = IterObject<Scheme, K>;
  using Map = MapType<Scheme>;
  using Entry = typename Scheme::Table::Entry;

  static inline PyTypeObject* type = nullptr;

  static const char* qualified_name() {
    if constexpr (K == Kind::Keys) return Scheme::key_iter_qualified;
    else if constexpr (K == Kind::Values) return Scheme::value_iter_qualified;
    else return Scheme::item_iter_qualified;
  }

  // Make an iterator of this kind over `map` (a map object of the scheme).
  static PyObject* make(PyObject* map) {
    auto* mo = Map::obj(map);
    std::vector<Ref> snapshot;
    std::uint64_t version;
    {
      SharedBorrow b = SharedBorrow::or_panic(mo->borrow);
      snapshot.reserve(mo->state.map.len());
      for_each_prefetched(mo->state.map,
                          [&](const Entry& e) { snapshot.push_back(element_of<K>(e)); });
      version = mo->state.version;
    }
    Obj* o = alloc_instance<Obj>(type);
    ::new (&o->borrow) BorrowFlag();
    ::new (&o->map_obj) Ref(Ref::incref(map));
    ::new (&o->snapshot) std::vector<Ref>(std::move(snapshot));
    o->seen_version = version;
    o->position = 0;
    return reinterpret_cast<PyObject*>(o);
  }

  // The map first, then every element in order.
  static void release_all(Ref& map, std::vector<Ref>& snap) noexcept {
    release_now(map);
    for (std::size_t i = 0; i < snap.size(); ++i) {
      if (i + kPrefetchAhead < snap.size()) prefetch_object(snap[i + kPrefetchAhead].get());
      release_now(snap[i]);
    }
  }

  static void destroy_fields(PyObject* self) noexcept {
    auto* o = reinterpret_cast<Obj*>(self);
    release_all(o->map_obj, o->snapshot);
    o->map_obj.~Ref();
    o->snapshot.~vector<Ref>();
  }
  static void dealloc(PyObject* self) noexcept { dealloc_object<&destroy_fields>(self); }

  static int traverse(PyObject* self, visitproc visit, void* arg) noexcept {
    auto* o = reinterpret_cast<Obj*>(self);
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(o->map_obj.get());
    for (const Ref& r : o->snapshot) Py_VISIT(r.get());
    return 0;
  }

  // Breaking a cycle: the iterator lets go of its map and its elements
  // (taken out first, so finalisers see it already exhausted).
  static int clear(PyObject* self) noexcept {
    auto* o = reinterpret_cast<Obj*>(self);
    Ref map = std::move(o->map_obj);
    std::vector<Ref> snap = std::move(o->snapshot);
    o->snapshot.clear();
    o->position = 0;
    release_all(map, snap);
    return 0;
  }

  static PyObject* iter(PyObject* self) noexcept {
    return guarded<PyObject*>(nullptr, [&] {
      SharedBorrow b = SharedBorrow::or_raise(reinterpret_cast<Obj*>(self)->borrow);
      Py_INCREF(self);
      return self;
    });
  }

  static PyObject* next(PyObject* self) noexcept {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
      auto* o = reinterpret_cast<Obj*>(self);
      ExclusiveBorrow b = ExclusiveBorrow::or_raise(o->borrow);
      if (!o->map_obj) return nullptr;  // let go of by the collector
      std::uint64_t version;
      {
        auto* mo = Map::obj(o->map_obj.get());
        SharedBorrow mb = SharedBorrow::or_panic(mo->borrow);
        version = mo->state.version;
      }
      if (version != o->seen_version)
        raise(PyExc_RuntimeError, "dictionary changed size during iteration");
      const std::size_t n = o->snapshot.size();
      if (o->position == n) return nullptr;  // exhausted
      // One step per Python loop turn: a shorter distance covers the latency.
      constexpr std::size_t kStepAhead = 12;
      if (o->position + kStepAhead < n) prefetch_object(o->snapshot[o->position + kStepAhead].get());
      return o->snapshot[o->position++].new_ref();
    });
  }

  static PyTypeObject* create_type() {
    static PyType_Slot slots[] = {
        {Py_tp_dealloc, reinterpret_cast<void*>(&dealloc)},
        {Py_tp_traverse, reinterpret_cast<void*>(&traverse)},
        {Py_tp_clear, reinterpret_cast<void*>(&clear)},
        {Py_tp_iter, reinterpret_cast<void*>(&iter)},
        {Py_tp_iternext, reinterpret_cast<void*>(&next)},
        {0, nullptr},
    };
    static PyType_Spec spec = {qualified_name(), static_cast<int>(sizeof(Obj)), 0,
                               Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION | Py_TPFLAGS_HAVE_GC,
                               slots};
    if (type == nullptr) {
      type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&spec));
      if (type == nullptr) throw PyErrorSet{};
    }
    return type;
  }
};

}  // namespace velomap::py
