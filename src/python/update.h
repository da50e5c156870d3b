// The bulk update routine behind update(), |=, the constructor's contents and
// both directions of |.
//
// The source is read the cheapest way that applies, in this order:
//   1. a map of either class: its entries with their stored hashes (no
//      Python hashing, no key comparison for an empty target), under a
//      shared borrow whose refusal is a panic (this is how m.update(m) fails
//      without touching m);
//   2. a dict or dict subclass: straight from its storage (PyDict_Next),
//      ignoring overridden keys/__iter__/__getitem__;
//   3. anything with a `keys` attribute: other[k] for k in other.keys();
//   4. any iterable of 2-element sequences.
// Room is reserved once up front whenever the length is known. The version is
// bumped once per call that took at least one pair, whether it succeeded or
// not; entries inserted before an error stay (no rollback).
#pragma once

#include <algorithm>
#include <cstdint>
#include <optional>

#include "map_object.h"

namespace velomap::py {

// Whether hashing `k` runs no Python code (exact str and int keys), so that
// a walk over a container that hashes it cannot be disturbed by it.
inline bool hashes_silently(PyObject* k) noexcept {
  return Py_TYPE(k) == &PyUnicode_Type || Py_TYPE(k) == &PyLong_Type;
}

// Most entries an untrusted len() may make a map reserve room for.
inline constexpr std::size_t kUntrustedSizeCap = 4096;
// A trusted length beyond any capacity a map can be asked for reserves
// nothing: growth handles whatever really arrives.
inline constexpr std::size_t kMaxReservedSize = UINT32_MAX;

// collections.deque, whose len() is exact; looked up when the module is
// executed (null when that failed: deques are then only hints).
inline PyTypeObject* deque_type = nullptr;

inline void find_deque_type() noexcept {
  if (deque_type != nullptr) return;
  if (Ref collections = Ref::steal(PyImport_ImportModule("collections"))) {
    PyObject* deque = PyObject_GetAttrString(collections.get(), "deque");
    if (deque != nullptr && PyType_Check(deque)) {
      deque_type = reinterpret_cast<PyTypeObject*>(deque);  // kept for the process
      return;
    }
    Py_XDECREF(deque);
  }
  PyErr_Clear();
}

// Whether len() of an object of exact type `t` is its true element count,
// computed without running Python code: range, the dict views, deque, and
// velomap's own maps and views.
inline bool length_is_exact(PyTypeObject* t) noexcept {
  if (t == &PyRange_Type || t == &PyDictKeys_Type || t == &PyDictValues_Type ||
      t == &PyDictItems_Type || t == deque_type)
    return true;
  const auto& own = own_types();
  return std::find(own.begin(), own.end(), t) != own.end();
}

// How many elements `o` holds, for sizing a map before filling it. Exact
// for the built-in containers (their storage size, whatever a subclass's
// __len__ says) and the types of length_is_exact; from anything else len()
// is only a hint, capped at kUntrustedSizeCap, and growth does the rest.
// Nothing when len() raises an ordinary exception (discarded), or for a
// trusted length past kMaxReservedSize.
inline std::optional<std::size_t> size_hint(PyObject* o) {
  Py_ssize_t n;
  if (PyDict_Check(o)) {
    n = PyDict_Size(o);
  } else if (PyList_Check(o)) {
    n = PyList_Size(o);
  } else if (PyTuple_Check(o)) {
    n = PyTuple_Size(o);
  } else if (PyAnySet_Check(o)) {
    n = PySet_Size(o);
  } else {
    n = PyObject_Size(o);
    if (n < 0) {
      discard_error_unless_panic();
      return std::nullopt;
    }
    if (!length_is_exact(Py_TYPE(o)))
      return std::min(static_cast<std::size_t>(n), kUntrustedSizeCap);
  }
  if (static_cast<std::size_t>(n) > kMaxReservedSize) return std::nullopt;
  return static_cast<std::size_t>(n);
}

template <class Scheme>
struct Update {
  using Type = MapType<Scheme>;
  using State = MapState<Scheme>;
  using Entry = typename Scheme::Table::Entry;

  // Insert a stored-key wrapper and a value; the replaced value is released.
  static void put(State& target, HashedAny key, Ref value) {
    target.map.insert(std::move(key), std::move(value));
  }

  // Inserts into `target` keys that are distinct from every key stored and
  // from each other for as long as the caller says so: those are placed in
  // bulk without lookups (UniqueInserts), while no Python code can run;
  // the first key not known distinct ends that (writing what is pending)
  // and it and every later key is inserted with a lookup. finish(), or the
  // destructor, writes what is pending: before `target` moves or is read.
  class Inserter {
   public:
    Inserter(State& target, bool distinct) : target_(target) {
      if (distinct) bulk_.emplace(target.map);
    }
    void put(HashedAny key, Ref value, bool distinct) {
      if (distinct && bulk_) {
        bulk_->insert(std::move(key), std::move(value));
      } else {
        bulk_.reset();
        Update::put(target_, std::move(key), std::move(value));
      }
    }
    void finish() noexcept { bulk_.reset(); }

   private:
    State& target_;
    std::optional<typename Scheme::Table::template UniqueInserts<HashedAny, Ref>> bulk_;
  };

  // Copy every entry of a map of either class, reusing stored hashes. Its
  // keys are distinct and nothing here runs Python code, so an empty target
  // takes them without lookups.
  template <class SourceScheme>
  static void copy_map(State& target, PyObject* other, bool& took) {
    auto* src = MapType<SourceScheme>::obj(other);
    SharedBorrow b = SharedBorrow::or_panic(src->borrow);
    const auto& source = src->state.map;
    if (source.len() == 0) return;
    if (target.map.len() == 0) {
      // The source's keys are distinct, and so none is stored here yet.
      // Placement can throw only when a funnel map must grow for a key
      // without a place; entries placed by then stay.
      took = true;
      copy_entries(target.map, source);
      return;
    }
    target.map.reserve(source.len());
    for_each_prefetched(source, [&](const auto& e) {
      put(target, HashedAny::share(e.key), Ref::incref(e.value.get()));
      took = true;
    });
  }

  // Into an empty map, a dict's keys are known distinct, so they are placed
  // without a lookup for as long as no Python code has run: exact str and
  // int keys hash without any. The first other key ends that, since its
  // __hash__ could change the dict under the walk.
  VELOMAP_FLATTEN static void from_dict(State& target, PyObject* dict, bool& took) {
    const Py_ssize_t start_size = PyDict_Size(dict);
    target.map.reserve(static_cast<std::size_t>(start_size));
    Py_ssize_t pos = 0, seen = 0;
    PyObject *k, *v;
    bool distinct = target.map.len() == 0;
    Inserter inserter(target, distinct);
    while (true) {
      if (PyDict_Size(dict) != start_size) fail("dictionary changed size during iteration");
      if (!PyDict_Next(dict, &pos, &k, &v)) break;
      if (++seen > start_size) fail("dictionary keys changed during iteration");
      Ref key = Ref::incref(k);
      Ref value = Ref::incref(v);
      distinct = distinct && hashes_silently(k);
      inserter.put(HashedAny::take(key.get()), std::move(value), distinct);
      took = true;
    }
  }

  VELOMAP_FLATTEN static void from_keys(State& target, PyObject* other, bool& took) {
    if (auto n = size_hint(other)) target.map.reserve(*n);
    Ref keys = Ref::checked(PyObject_CallMethod(other, "keys", nullptr));
    Ref it = Ref::checked(PyObject_GetIter(keys.get()));
    while (Ref k = Ref::steal(PyIter_Next(it.get()))) {
      Ref value = Ref::checked(PyObject_GetItem(other, k.get()));
      put(target, HashedAny::take(k.get()), std::move(value));
      took = true;
    }
    if (PyErr_Occurred()) throw PyErrorSet{};
  }

  VELOMAP_FLATTEN static void from_pairs(State& target, PyObject* other, bool& took) {
    if (auto n = size_hint(other)) target.map.reserve(*n);
    Ref it = Ref::checked(PyObject_GetIter(other));
    static PyObject* const zero = PyLong_FromLong(0);
    static PyObject* const one = PyLong_FromLong(1);
    if (zero == nullptr || one == nullptr) throw PyErrorSet{};
    while (Ref e = Ref::steal(PyIter_Next(it.get()))) {
      const Py_ssize_t n = PyObject_Size(e.get());
      if (n < 0) discard_error_unless_panic();
      if (n != 2) raise(PyExc_ValueError, "update sequence elements must be 2-tuples");
      Ref key = Ref::checked(PyObject_GetItem(e.get(), zero));
      Ref value = Ref::checked(PyObject_GetItem(e.get(), one));
      put(target, HashedAny::take(key.get()), std::move(value));
      took = true;
    }
    if (PyErr_Occurred()) throw PyErrorSet{};
  }

  // Does `o` have a `keys` attribute? AttributeError means no; any other
  // error is raised.
  static bool has_keys(PyObject* o) {
    Ref attr = Ref::steal(PyObject_GetAttrString(o, "keys"));
    if (attr) return true;
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw PyErrorSet{};
    PyErr_Clear();
    return false;
  }

  // Phase 1 (other, may be null) and phase 2 (kwargs, may be null). The
  // version is bumped once at the end when anything was taken, also when the
  // call fails part way: the pairs taken before the error stay, and
  // iterators must not walk on over a changed table.
  static void run(State& target, PyObject* other, PyObject* kwargs) {
    bool took = false;
    try {
      if (other != nullptr) {
        if (Type::check(other)) {
          copy_map<Scheme>(target, other, took);
        } else if (MapType<typename Scheme::Other>::check(other)) {
          copy_map<typename Scheme::Other>(target, other, took);
        } else if (PyType_GetFlags(Py_TYPE(other)) & Py_TPFLAGS_DICT_SUBCLASS) {
          from_dict(target, other, took);
        } else if (has_keys(other)) {
          from_keys(target, other, took);
        } else {
          from_pairs(target, other, took);
        }
      }
      if (kwargs != nullptr) from_dict(target, kwargs, took);
    } catch (...) {
      if (took) target.bump();
      throw;
    }
    if (took) target.bump();
  }
};

}  // namespace velomap::py
