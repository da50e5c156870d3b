// Iterators with the mutation guard.
//
// An iterator holds its map and a position in the map's walk order, and
// records the map's version and capacity when it is made. Each step first
// compares them with the map's current ones: after any change of the map,
// every older iterator raises RuntimeError "dictionary changed size during
// iteration", at this and every later step, even once exhausted. Otherwise
// it hands out the next entry's key, value or a new (key, value) tuple. A
// step reads the table under a shared borrow of the map, so it refuses (as
// views do) while the map is in the middle of a change; it calls no method
// of any key or value.
#pragma once

#include <cstdint>

#include "../common/walk.h"
#include "map_object.h"

namespace velomap::py {

enum class Kind { Keys, Values, Items };

// The one of three values that belongs to kind K (names, texts).
template <Kind K, class T>
constexpr T by_kind(T keys, T values, T items) noexcept {
  if constexpr (K == Kind::Keys) {
    return keys;
  } else if constexpr (K == Kind::Values) {
    return values;
  } else {
    return items;
  }
}

// The element of one entry for a kind: the key object, the value object, or
// a new (key, value) tuple.
template <Kind K, class Entry>
Ref element_of(const Entry& e) {
  if constexpr (K == Kind::Keys) {
    return Ref::incref(e.key.obj());
  } else if constexpr (K == Kind::Values) {
    return Ref::incref(e.value.get());
  } else {
    // One call, which adds a reference to each (two PyTuple_SetItem calls,
    // each checking the tuple and releasing the slot's old item, cost a
    // third of an items step).
    return Ref::checked(PyTuple_Pack(2, e.key.obj(), e.value.get()));
  }
}

template <class Scheme, Kind K>
struct IterObject {
  PyObject_HEAD BorrowFlag borrow;
  Ref map_obj;
  std::uint64_t seen_version;
  std::size_t seen_capacity;
  WalkPosition position;
};

template <class Scheme, Kind K>
struct IterClass {
  using Obj = IterObject<Scheme, K>;
  using Map = MapType<Scheme>;
  using Table = typename Scheme::Table;

  static inline PyTypeObject* type = nullptr;

  static const char* qualified_name() {
    return by_kind<K>(Scheme::key_iter_qualified, Scheme::value_iter_qualified,
                      Scheme::item_iter_qualified);
  }

  // Make an iterator of this kind over `map` (a map object of the scheme).
  static PyObject* make(PyObject* map) {
    auto* mo = Map::obj(map);
    std::uint64_t version;
    std::size_t capacity;
    SlotRef first;
    {
      SharedBorrow b = SharedBorrow::or_panic(mo->borrow);
      version = mo->state.version;
      capacity = mo->state.map.capacity();
      first = mo->state.map.first_full_bound();
    }
    Obj* o = alloc_instance<Obj>(type);
    ::new (&o->borrow) BorrowFlag();
    ::new (&o->map_obj) Ref(Ref::incref(map));
    o->seen_version = version;
    o->seen_capacity = capacity;
    ::new (&o->position) WalkPosition(first);
    return reinterpret_cast<PyObject*>(o);
  }

  static void destroy_fields(PyObject* self) noexcept {
    reinterpret_cast<Obj*>(self)->map_obj.~Ref();
  }
  static void dealloc(PyObject* self) noexcept { dealloc_object<&destroy_fields>(self); }

  static int traverse(PyObject* self, visitproc visit, void* arg) noexcept {
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(reinterpret_cast<Obj*>(self)->map_obj.get());
    return 0;
  }

  // Breaking a cycle: the iterator lets go of its map (and is exhausted).
  static int clear(PyObject* self) noexcept {
    Ref map = std::move(reinterpret_cast<Obj*>(self)->map_obj);
    return 0;
  }

  static PyObject* iter(PyObject* self) noexcept {
    return guarded<PyObject*>(nullptr, [&] {
      SharedBorrow b = SharedBorrow::or_raise(reinterpret_cast<Obj*>(self)->borrow);
      Py_INCREF(self);
      return self;
    });
  }

  // Entries come in table order, unrelated to where their objects live, and
  // in a large map every reference count touched would otherwise be a cache
  // miss. When a step loads a group, the entries kEntriesAhead slots on and
  // the objects of the group kObjectsAhead slots on (whose entries were
  // asked for earlier) are asked into the cache.
  static constexpr std::size_t kEntriesAhead = 4 * kGroupWidth;
  static constexpr std::size_t kObjectsAhead = 2 * kGroupWidth;

  template <class T>
  static void prefetch_ahead(const T& t, std::size_t base) noexcept {
    if (base + kEntriesAhead < t.slot_count()) {
      const auto* first = reinterpret_cast<const char*>(&t.entry(base + kEntriesAhead));
      for (std::size_t b = 0; b < kGroupWidth * sizeof(t.entry(0)); b += 64)
        prefetch_for_read(first + b);
    }
    if (base + kObjectsAhead < t.slot_count()) {
      for (unsigned bit : t.group_at_slot(base + kObjectsAhead).match_full()) {
        const auto& e = t.entry(base + kObjectsAhead + bit);
        if constexpr (K != Kind::Values) e.key.prefetch();
        if constexpr (K != Kind::Keys) e.value.prefetch();
      }
    }
  }

  static PyObject* next(PyObject* self) noexcept {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
      auto* o = reinterpret_cast<Obj*>(self);
      ExclusiveBorrow b = ExclusiveBorrow::or_raise(o->borrow);
      if (!o->map_obj) return nullptr;  // let go of by the collector
      auto* mo = Map::obj(o->map_obj.get());
      // The table is read under a shared borrow: a step never sees a map
      // that is being changed.
      SharedBorrow mb = SharedBorrow::or_panic(mo->borrow);
      // A rebuild at another capacity that failed part way (reserving room
      // for an update that then took nothing, a growth before an insertion
      // that ran out of memory) leaves the version as it was, but moved
      // every entry: the position means nothing any more.
      const Table& map = mo->state.map;
      if (mo->state.version != o->seen_version || map.capacity() != o->seen_capacity)
        raise(PyExc_RuntimeError, "dictionary changed size during iteration");
      SlotRef at;
      const bool large = map.capacity() >= kPrefetchObjectsFrom;
      const auto loaded = [large](const auto& t, std::size_t base) noexcept {
        if (large) prefetch_ahead(t, base);
      };
      if (!o->position.next(map, at, loaded)) return nullptr;  // exhausted
      return element_of<K>(map.table_at(at.part).entry(at.slot)).release();
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
    static PyType_Spec spec = {
        qualified_name(), static_cast<int>(sizeof(Obj)), 0,
        Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION | Py_TPFLAGS_HAVE_GC, slots};
    if (type == nullptr) {
      type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&spec));
      if (type == nullptr) throw PyErrorSet{};
    }
    return type;
  }
};

}  // namespace velomap::py
