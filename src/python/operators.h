// The operators of the map classes: ==, != and ordering; m | x, x | m; m |= x.
//
// Both == and | read their map operand under a shared borrow; a refusal makes
// the operator return NotImplemented. Equality never raises on account of a
// failing comparison inside (an exception means "not equal"), except that a
// PanicException is never swallowed.
#pragma once

#include "../common/saturate.h"
#include "map_methods.h"
#include "update.h"

namespace velomap::py {

template <class Scheme>
struct MapOperators {
  using Type = MapType<Scheme>;
  using State = MapState<Scheme>;
  using Entry = typename Scheme::Table::Entry;
  using Methods = MapMethods<Scheme>;

  // Compare every entry of `m` with the value `lookup(key)` gives (a new
  // reference, or null for "missing": then the maps differ).
  template <class Lookup>
  static bool all_values_match(const typename Scheme::Table& m, Lookup&& lookup) {
    bool equal = true;
    auto it = m.iter();
    while (const Entry* e = it.next()) {
      Ref other = lookup(*e);
      if (!other || !equal_or_false(e->value.get(), other.get())) {
        equal = false;
        break;
      }
    }
    return equal;
  }

  // m == x, for the branches: same class, dict, mapping with keys, anything.
  static bool equals(const typename Scheme::Table& m, PyObject* x) {
    if (Type::check(x)) {
      auto* other = Type::obj(x);
      SharedBorrow b = SharedBorrow::or_panic(other->borrow);
      const auto& om = other->state.map;
      if (om.len() != m.len()) return false;
      return all_values_match(m, [&](const Entry& e) {
        const Ref* w = om.get(e.key);
        return w ? Ref::incref(w->get()) : Ref();
      });
    }
    const auto missing = [](PyObject* got) {
      if (got == nullptr) discard_error_unless_panic();
      return Ref::steal(got);
    };
    if (PyType_GetFlags(Py_TYPE(x)) & Py_TPFLAGS_DICT_SUBCLASS) {
      if (static_cast<std::size_t>(PyDict_Size(x)) != m.len()) return false;
      return all_values_match(m, [&](const Entry& e) {
        PyObject* w = PyDict_GetItemWithError(x, e.key.obj());
        if (w == nullptr && PyErr_Occurred()) discard_error_unless_panic();
        return Ref::incref(w);
      });
    }
    Ref keys = missing(PyObject_GetAttrString(x, "keys"));
    if (!keys) return false;
    const Py_ssize_t n = PyObject_Size(x);
    if (n < 0) {
      discard_error_unless_panic();
      return false;
    }
    if (static_cast<std::size_t>(n) != m.len()) return false;
    return all_values_match(
        m, [&](const Entry& e) { return missing(PyObject_GetItem(x, e.key.obj())); });
  }

  static PyObject* richcompare(PyObject* self, PyObject* x, int op) noexcept {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
      switch (op) {
        case Py_EQ: {
          SharedBorrow b(Type::obj(self)->borrow);
          if (!b.held()) Py_RETURN_NOTIMPLEMENTED;
          return PyBool_FromLong(equals(Type::obj(self)->state.map, x));
        }
        case Py_NE: {
          Ref eq = Ref::checked(PyObject_RichCompare(self, x, Py_EQ));
          const int truth = PyObject_IsTrue(eq.get());
          check(truth);
          return PyBool_FromLong(!truth);
        }
        case Py_LT:
        case Py_LE:
        case Py_GT:
        case Py_GE:
          Py_RETURN_NOTIMPLEMENTED;
        default:
          fail("invalid compareop");
      }
    });
  }

  // The size x promises (size_hint), 0 when it has none.
  static std::size_t len_or_zero(PyObject* x) { return size_hint(x).value_or(0); }

  // m | x and x | m. A new map of m's class; for keys in both, the right
  // operand's value wins and the left operand's key object stays.
  static PyObject* nb_or(PyObject* left, PyObject* right) noexcept {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
      if (Type::check(left)) {
        SharedBorrow b(Type::obj(left)->borrow);
        if (b.held()) {
          const auto& m = Type::obj(left)->state.map;
          const std::size_t capacity = sat_add(m.len(), len_or_zero(right));
          State state = Methods::copy_state(m, saturate_u32(capacity));
          Update<Scheme>::run(state, right, nullptr);
          return Type::wrap(Type::type, std::move(state));
        }
      }
      if (!Type::check(right)) Py_RETURN_NOTIMPLEMENTED;
      SharedBorrow b(Type::obj(right)->borrow);
      if (!b.held()) Py_RETURN_NOTIMPLEMENTED;
      const auto& m = Type::obj(right)->state.map;
      const std::size_t capacity = sat_add(m.len(), len_or_zero(left));
      State state = Type::make_state(saturate_u32(capacity));
      Update<Scheme>::run(state, left, nullptr);
      for_each_prefetched(m, [&](const Entry& e) {
        state.map.insert(HashedAny::share(e.key), Ref::incref(e.value.get()));
      });
      return Type::wrap(Type::type, std::move(state));
    });
  }

  // m |= x: the update routine with x as the source (None is a real source
  // here, and fails as a non-iterable).
  static PyObject* nb_inplace_or(PyObject* self, PyObject* x) noexcept {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
      if (!Type::check(self)) Py_RETURN_NOTIMPLEMENTED;
      ExclusiveBorrow b(Type::obj(self)->borrow);
      if (!b.held()) Py_RETURN_NOTIMPLEMENTED;
      Update<Scheme>::run(Type::obj(self)->state, x, nullptr);
      Py_INCREF(self);
      return self;
    });
  }
};

}  // namespace velomap::py
