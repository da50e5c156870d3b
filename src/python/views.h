// Live views over a map's keys, values and (key, value) pairs.
//
// A view holds one strong reference to its map and nothing else; every
// operation reads the map as it is at that moment, under a shared borrow
// whose refusal is a panic. Keys and items views compare with any sized
// container (by length and membership of each element) and offer set
// operations that return new sets; values views only offer length,
// iteration, membership by a linear scan and repr.
#pragma once

#include <string>
#include <vector>

#include "iterators.h"

namespace velomap::py {

template <class Scheme, Kind K>
struct ViewObject {
  PyObject_HEAD BorrowFlag borrow;
  Ref map_obj;
};

// The UTF-8 text of repr(o); lone surrogates become U+FFFD.
inline std::string repr_text(PyObject* o) {
  Ref r = Ref::checked(PyObject_Repr(o));
  Py_ssize_t n = 0;
  if (const char* utf8 = PyUnicode_AsUTF8AndSize(r.get(), &n))
    return std::string(utf8, static_cast<std::size_t>(n));
  PyErr_Clear();
  Ref bytes = Ref::checked(PyUnicode_AsEncodedString(r.get(), "utf-8", "surrogatepass"));
  Ref clean = Ref::checked(
      PyUnicode_DecodeUTF8(PyBytes_AsString(bytes.get()), PyBytes_Size(bytes.get()), "replace"));
  const char* utf8 = PyUnicode_AsUTF8AndSize(clean.get(), &n);
  if (utf8 == nullptr) throw PyErrorSet{};
  return std::string(utf8, static_cast<std::size_t>(n));
}

template <class Scheme, Kind K>
struct ViewClass {
  using Obj = ViewObject<Scheme, K>;
  using Map = MapType<Scheme>;
  using Table = typename Scheme::Table;
  using Entry = typename Table::Entry;
  using Iter = IterClass<Scheme, K>;

  static inline PyTypeObject* type = nullptr;

  static bool is_view(PyObject* o) noexcept { return type != nullptr && Py_TYPE(o) == type; }
  static PyObject* map_of(PyObject* view) noexcept {
    return reinterpret_cast<Obj*>(view)->map_obj.get();
  }

  static const char* qualified_name() {
    return by_kind<K>(Scheme::keys_qualified, Scheme::values_qualified, Scheme::items_qualified);
  }
  static const char* doc() {
    return by_kind<K>(
        "Live view over keys (mirrors `dict.keys()`). Holds `Py<map>` so\n"
        "each op sees current state \u2014 no snapshot at view construction.",
        "Live view over values (mirrors `dict.values()`).",
        "Live view over `(key, value)` pairs (mirrors `dict.items()`).\n"
        "Set ops build fresh `(k, v)` `PyTuple`s.");
  }

  // The view frame: the view's shared borrow (never refused: nothing takes a
  // view exclusively), then the map's shared borrow, or a panic.
  struct Frame {
    SharedBorrow view;
    SharedBorrow map;
    const Table& table;
    explicit Frame(PyObject* self)
        : view(reinterpret_cast<Obj*>(self)->borrow),
          map(SharedBorrow::or_panic(Map::obj(map_of(self))->borrow)),
          table(Map::obj(map_of(self))->state.map) {}
  };

  static PyObject* make(PyObject* map) {
    Obj* o = alloc_instance<Obj>(type);
    ::new (&o->borrow) BorrowFlag();
    ::new (&o->map_obj) Ref(Ref::incref(map));
    return reinterpret_cast<PyObject*>(o);
  }

  static void destroy_fields(PyObject* self) noexcept {
    reinterpret_cast<Obj*>(self)->map_obj.~Ref();
  }
  static void dealloc(PyObject* self) noexcept { dealloc_object<&destroy_fields>(self); }

  // A view owns only its map, so every cycle through it passes through the
  // map, whose clear breaks it; the view needs no clear of its own.
  static int traverse(PyObject* self, visitproc visit, void* arg) noexcept {
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(map_of(self));
    return 0;
  }

  static Py_ssize_t length(PyObject* self) noexcept {
    return guarded<Py_ssize_t>(-1, [&] {
      Frame f(self);
      return static_cast<Py_ssize_t>(f.table.len());
    });
  }

  static PyObject* iter(PyObject* self) noexcept {
    return guarded<PyObject*>(nullptr, [&] {
      SharedBorrow b(reinterpret_cast<Obj*>(self)->borrow);
      return Iter::make(map_of(self));
    });
  }

  // ---- membership -------------------------------------------------------
  static int contains(PyObject* self, PyObject* x) noexcept {
    return guarded(-1, [&]() -> int {
      if constexpr (K == Kind::Keys) {
        Frame f(self);
        return f.table.contains_key(KeyRef::borrow(x)) ? 1 : 0;
      } else if constexpr (K == Kind::Items) {
        if (!PyTuple_Check(x) || PyTuple_Size(x) != 2) return 0;
        PyObject* value = PyTuple_GetItem(x, 1);
        Frame f(self);
        const Ref* stored = f.table.get(KeyRef::borrow(PyTuple_GetItem(x, 0)));
        if (stored == nullptr) return 0;
        return equal_or_false(Ref::incref(stored->get()).get(), value) ? 1 : 0;
      } else {
        Frame f(self);
        bool found = false;
        auto it = f.table.iter();
        while (const Entry* e = it.next()) {
          if (equal_or_false(e->value.get(), x)) {
            found = true;
            break;
          }
        }
        return found ? 1 : 0;
      }
    });
  }

  // ---- repr -------------------------------------------------------------
  static std::string element_text(const Entry& e) {
    if constexpr (K == Kind::Keys)
      return repr_text(e.key.obj());
    else if constexpr (K == Kind::Values)
      return repr_text(e.value.get());
    else
      return "(" + repr_text(e.key.obj()) + ", " + repr_text(e.value.get()) + ")";
  }

  static PyObject* repr(PyObject* self) noexcept {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
      const char* name = qualified_name() + sizeof("velomap.") - 1;
      // A view met again inside its own repr (through its map's content)
      // is shown as "...", as dict views do.
      const int seen = Py_ReprEnter(self);
      if (seen < 0) throw PyErrorSet{};
      if (seen > 0) return PyUnicode_FromString("...");
      struct Leave {
        PyObject* o;
        ~Leave() { Py_ReprLeave(o); }
      } leave{self};
      std::string text = std::string(name) + "([";
      {
        Frame f(self);
        auto it = f.table.iter();
        bool first = true;
        while (const Entry* e = it.next()) {
          if (!first) text += ", ";
          first = false;
          text += element_text(*e);
        }
      }
      text += "])";
      return PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
    });
  }

  // ---- comparison (keys and items) ---------------------------------------
  // v == x: same length and every element `in x`; any exception means false.
  static bool equals(PyObject* self, PyObject* x) {
    Frame f(self);
    const Py_ssize_t n = PyObject_Size(x);
    if (n < 0) {
      discard_error_unless_panic();
      return false;
    }
    if (static_cast<std::size_t>(n) != f.table.len()) return false;
    auto it = f.table.iter();
    while (const Entry* e = it.next()) {
      Ref el;
      try {
        el = element_of<K>(*e);
      } catch (const PyErrorSet&) {
        discard_error_unless_panic();
        return false;
      }
      const int in = PySequence_Contains(x, el.get());
      if (in < 0) discard_error_unless_panic();
      if (in != 1) return false;
    }
    return true;
  }

  static PyObject* richcompare(PyObject* self, PyObject* x, int op) noexcept {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
      if (!is_view(self)) Py_RETURN_NOTIMPLEMENTED;
      if (op == Py_EQ) return PyBool_FromLong(equals(self, x));
      if (op == Py_NE) {
        Ref eq = Ref::checked(PyObject_RichCompare(self, x, Py_EQ));
        const int truth = PyObject_IsTrue(eq.get());
        check(truth);
        return PyBool_FromLong(!truth);
      }
      Py_RETURN_NOTIMPLEMENTED;
    });
  }

  // ---- set operations (keys and items; ^ for keys only) -------------------
  enum class SetOp { Sub, And, Or, Xor };

  // Add `el` to `out` when `in x` is (or is not) what `want` says.
  static void add_if(PyObject* out, PyObject* x, PyObject* el, bool want) {
    const int in = PySequence_Contains(x, el);
    check(in);
    if ((in == 1) == want) check(PySet_Add(out, el));
  }

  static void add_all(PyObject* out, PyObject* x) {
    Ref it = Ref::checked(PyObject_GetIter(x));
    while (Ref y = Ref::steal(PyIter_Next(it.get()))) check(PySet_Add(out, y.get()));
    if (PyErr_Occurred()) throw PyErrorSet{};
  }

  template <SetOp Op>
  static PyObject* set_op(PyObject* left, PyObject* x) noexcept {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
      if (!is_view(left)) Py_RETURN_NOTIMPLEMENTED;
      Ref out = Ref::checked(PySet_New(nullptr));
      {
        Frame f(left);
        auto it = f.table.iter();
        while (const Entry* e = it.next()) {
          Ref el = element_of<K>(*e);
          if constexpr (Op == SetOp::Or)
            check(PySet_Add(out.get(), el.get()));
          else
            add_if(out.get(), x, el.get(), Op == SetOp::And);
        }
      }
      if constexpr (Op == SetOp::Or) add_all(out.get(), x);
      if constexpr (Op == SetOp::Xor) {
        Frame f(left);
        Ref it = Ref::checked(PyObject_GetIter(x));
        while (Ref y = Ref::steal(PyIter_Next(it.get()))) {
          if (!f.table.contains_key(KeyRef::borrow(y.get()))) check(PySet_Add(out.get(), y.get()));
        }
        if (PyErr_Occurred()) throw PyErrorSet{};
      }
      return out.release();
    });
  }

  // ---- the type -----------------------------------------------------------
  static PyTypeObject* create_type() {
    static std::vector<PyType_Slot> slots = [] {
      std::vector<PyType_Slot> s = {
          {Py_tp_doc, const_cast<char*>(doc())},
          {Py_tp_dealloc, reinterpret_cast<void*>(&dealloc)},
          {Py_tp_traverse, reinterpret_cast<void*>(&traverse)},
          {Py_tp_iter, reinterpret_cast<void*>(&iter)},
          {Py_mp_length, reinterpret_cast<void*>(&length)},
          {Py_sq_contains, reinterpret_cast<void*>(&contains)},
          {Py_tp_repr, reinterpret_cast<void*>(&repr)},
      };
      if constexpr (K != Kind::Values) {
        s.push_back({Py_tp_richcompare, reinterpret_cast<void*>(&richcompare)});
        s.push_back({Py_tp_hash, reinterpret_cast<void*>(&PyObject_HashNotImplemented)});
        s.push_back({Py_nb_subtract, reinterpret_cast<void*>(&set_op<SetOp::Sub>)});
        s.push_back({Py_nb_and, reinterpret_cast<void*>(&set_op<SetOp::And>)});
        s.push_back({Py_nb_or, reinterpret_cast<void*>(&set_op<SetOp::Or>)});
      }
      if constexpr (K == Kind::Keys)
        s.push_back({Py_nb_xor, reinterpret_cast<void*>(&set_op<SetOp::Xor>)});
      s.push_back({0, nullptr});
      return s;
    }();
    static PyType_Spec spec = {
        qualified_name(), static_cast<int>(sizeof(Obj)), 0,
        Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION | Py_TPFLAGS_HAVE_GC, slots.data()};
    if (type == nullptr) {
      type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&spec));
      if (type == nullptr) throw PyErrorSet{};
    }
    return type;
  }
};

}  // namespace velomap::py
