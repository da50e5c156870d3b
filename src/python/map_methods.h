// The methods of the map classes: construction class methods, the
// single-key operations, copy, the capacity property and repr.
#pragma once

#include <algorithm>
#include <cstdint>
#include <limits>
#include <string>

#include "../common/growth.h"
#include "args.h"
#include "update.h"

namespace velomap::py {

// "Class.method" for binding messages. Each call site keeps the result in a
// function-local static, so the string lives for the process.
template <class Scheme>
const char* qualified(const char* method) {
  return (new std::string(std::string(Scheme::name) + "." + method))->c_str();
}

inline std::uint32_t saturate_u32(std::size_t n) noexcept {
  return static_cast<std::uint32_t>(
      std::min<std::size_t>(n, std::numeric_limits<std::uint32_t>::max()));
}

template <class Scheme>
struct MapMethods {
  using Type = MapType<Scheme>;
  using State = MapState<Scheme>;
  using Entry = typename Scheme::Table::Entry;
  static auto* obj(PyObject* o) noexcept { return Type::obj(o); }

  // A new state holding copies of every entry of `source` (same key objects
  // with their stored hashes, same values), for `capacity`: built straight
  // at the capacity that inserting the entries one by one would grow it to.
  static State copy_state(const typename Scheme::Table& source, std::uint32_t capacity) {
    const std::size_t grown =
        capacity_for_inserting(capacity, source.len(), Scheme::default_reserve_fraction);
    State out = Type::make_state(saturate_u32(grown));
    out.map.grow_ahead(source.len());  // a no-op unless the capacity saturated
    copy_entries(out.map, source);
    return out;
  }

  // ---- class methods ------------------------------------------------------
  static PyObject* with_options(PyObject* cls, PyObject* const* args, Py_ssize_t n,
                                PyObject* kw) noexcept {
    return guarded<PyObject*>(nullptr, [&] {
      static const Signature sig{qualified<Scheme>("with_options"), Scheme::option_params};
      const auto a = bind<3>(sig, args, n, kw);
      State state{Scheme::table_with_options(a), 0};
      return Type::wrap(reinterpret_cast<PyTypeObject*>(cls), std::move(state));
    });
  }

  static PyObject* fromkeys(PyObject* cls, PyObject* const* args, Py_ssize_t n,
                            PyObject* kw) noexcept {
    return guarded<PyObject*>(nullptr, [&] {
      static constexpr Param params[] = {{"iterable", true}, {"value"}};
      static const Signature sig{qualified<Scheme>("fromkeys"), params};
      const auto a = bind<2>(sig, args, n, kw);
      PyObject* value = a[1] ? a[1] : Py_None;
      const std::size_t hint = size_hint(a[0]).value_or(0);
      State state = Type::make_state(saturate_u32(hint));
      // The elements of an exact set or dict are distinct; while they hash
      // without running Python code, nothing can disturb the walk, so they
      // are placed without lookups.
      bool distinct = PyAnySet_CheckExact(a[0]) || PyDict_CheckExact(a[0]);
      Ref it = Ref::checked(PyObject_GetIter(a[0]));
      typename Update<Scheme>::Inserter inserter(state, distinct);
      while (Ref k = Ref::steal(PyIter_Next(it.get()))) {
        distinct = distinct && hashes_silently(k.get());
        inserter.put(HashedAny::take(k.get()), Ref::incref(value), distinct);
      }
      inserter.finish();
      if (PyErr_Occurred()) throw PyErrorSet{};
      return Type::wrap(reinterpret_cast<PyTypeObject*>(cls), std::move(state));
    });
  }

  static PyObject* class_getitem(PyObject* cls, PyObject* const* args, Py_ssize_t n,
                                 PyObject* kw) noexcept {
    return guarded<PyObject*>(nullptr, [&] {
      static constexpr Param params[] = {{"item", true}};
      static const Signature sig{qualified<Scheme>("__class_getitem__"), params};
      const auto a = bind<1>(sig, args, n, kw);
      Ref name = Ref::checked(PyUnicode_FromString("types"));
      Ref types = Ref::checked(PyImport_Import(name.get()));
      Ref alias = Ref::checked(PyObject_GetAttrString(types.get(), "GenericAlias"));
      return PyObject_CallFunctionObjArgs(alias.get(), cls, a[0], nullptr);
    });
  }

  // ---- reads ----------------------------------------------------------------
  VELOMAP_FLATTEN static PyObject* get(PyObject* self, PyObject* const* args, Py_ssize_t n,
                                       PyObject* kw) noexcept {
    return guarded<PyObject*>(nullptr, [&] {
      static constexpr Param params[] = {{"key", true}, {"default"}};
      static const Signature sig{qualified<Scheme>("get"), params};
      const auto a = bind<2>(sig, args, n, kw);
      SharedBorrow b = SharedBorrow::or_raise(obj(self)->borrow);
      const KeyRef k = KeyRef::borrow(a[0]);
      if (const Ref* v = obj(self)->state.map.get(k)) return v->new_ref();
      PyObject* fallback = a.opt(1) ? a.opt(1) : Py_None;
      Py_INCREF(fallback);
      return fallback;
    });
  }

  static PyObject* get_capacity(PyObject* self, void*) noexcept {
    return guarded<PyObject*>(nullptr, [&] {
      SharedBorrow b = SharedBorrow::or_raise(obj(self)->borrow);
      return PyLong_FromSize_t(obj(self)->state.map.capacity());
    });
  }

  static PyObject* repr(PyObject* self) noexcept {
    return guarded<PyObject*>(nullptr, [&] {
      SharedBorrow b = SharedBorrow::or_raise(obj(self)->borrow);
      const auto& map = obj(self)->state.map;
      const std::string text = std::string(Scheme::name) + "(len=" + std::to_string(map.len()) +
                               ", capacity=" + std::to_string(map.capacity()) + ")";
      return PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
    });
  }

  static PyObject* copy(PyObject* self, PyObject*) noexcept {
    return guarded<PyObject*>(nullptr, [&] {
      SharedBorrow b = SharedBorrow::or_raise(obj(self)->borrow);
      const auto& map = obj(self)->state.map;
      return Type::wrap(Type::type, copy_state(map, saturate_u32(map.len())));
    });
  }

  // ---- changes --------------------------------------------------------------
  VELOMAP_FLATTEN static PyObject* pop(PyObject* self, PyObject* const* args, Py_ssize_t n,
                                       PyObject* kw) noexcept {
    return guarded<PyObject*>(nullptr, [&] {
      static constexpr Param params[] = {{"key", true}, {"default"}};
      static const Signature sig{qualified<Scheme>("pop"), params};
      const auto a = bind<2>(sig, args, n, kw);
      auto* o = obj(self);
      ExclusiveBorrow b = ExclusiveBorrow::or_raise(o->borrow);
      const KeyRef k = KeyRef::borrow(a[0]);
      if (std::optional<Ref> removed = o->state.map.remove(k)) {
        o->state.bump();
        return removed->release();
      }
      // A None default counts as no default.
      if (PyObject* fallback = a.opt(1)) {
        Py_INCREF(fallback);
        return fallback;
      }
      raise_key_error(a[0]);
    });
  }

  static PyObject* popitem(PyObject* self, PyObject*) noexcept {
    return guarded<PyObject*>(nullptr, [&] {
      auto* o = obj(self);
      ExclusiveBorrow b = ExclusiveBorrow::or_raise(o->borrow);
      if (o->state.map.len() == 0) {
        Ref msg = Ref::checked(PyUnicode_FromString("popitem(): map is empty"));
        PyErr_SetObject(PyExc_KeyError, msg.get());
        throw PyErrorSet{};
      }
      std::optional<Entry> first;
      {
        auto drain = o->state.map.extract_if();
        first = drain.next();
      }  // ending the drain may purge tombstones
      if (!first) fail("len > 0");
      o->state.bump();
      Ref tuple = Ref::checked(PyTuple_New(2));
      PyTuple_SetItem(tuple.get(), 0, first->key.release());
      PyTuple_SetItem(tuple.get(), 1, first->value.release());
      return tuple.release();
    });
  }

  VELOMAP_FLATTEN static PyObject* setdefault(PyObject* self, PyObject* const* args, Py_ssize_t n,
                                              PyObject* kw) noexcept {
    return guarded<PyObject*>(nullptr, [&] {
      static constexpr Param params[] = {{"key", true}, {"default"}};
      static const Signature sig{qualified<Scheme>("setdefault"), params};
      const auto a = bind<2>(sig, args, n, kw);
      auto* o = obj(self);
      ExclusiveBorrow b = ExclusiveBorrow::or_raise(o->borrow);
      PyObject* value = a.opt(1) ? a.opt(1) : Py_None;
      // One hash and one lookup: a present entry is never replaced.
      auto [stored, placed] = o->state.map.try_emplace(HashedAny::take(a[0]), Ref::incref(value));
      if (placed) o->state.bump();
      return stored->new_ref();
    });
  }

  static PyObject* clear(PyObject* self, PyObject*) noexcept {
    return guarded<PyObject*>(nullptr, [&] {
      auto* o = obj(self);
      ExclusiveBorrow b = ExclusiveBorrow::or_raise(o->borrow);
      o->state.map.clear();
      o->state.bump();
      Py_RETURN_NONE;
    });
  }

  static PyObject* update(PyObject* self, PyObject* args, PyObject* kwds) noexcept {
    return guarded<PyObject*>(nullptr, [&] {
      static constexpr Param params[] = {{"other"}};
      static const Signature sig{qualified<Scheme>("update"), params, true};
      const auto a = bind<1>(sig, args, kwds);
      auto* o = obj(self);
      ExclusiveBorrow b = ExclusiveBorrow::or_raise(o->borrow);
      Update<Scheme>::run(o->state, a.opt(0), a.kwargs.get());
      Py_RETURN_NONE;
    });
  }
};

}  // namespace velomap::py
