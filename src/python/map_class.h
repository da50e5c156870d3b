// The map class template: one PyType_Spec per scheme, assembled from the
// protocol slots, the methods and the operators.
#pragma once

#include "args.h"
#include "copying.h"
#include "map_methods.h"
#include "map_protocol.h"
#include "operators.h"
#include "update.h"
#include "views.h"

namespace velomap::py {

template <class Scheme>
struct MapClass : MapProtocol<Scheme> {
  using Base = MapProtocol<Scheme>;
  using Type = MapType<Scheme>;
  using State = MapState<Scheme>;

  // ---- construction -----------------------------------------------------
  // (other=None, *, capacity=0, **kwargs)
  static PyObject* tp_new(PyTypeObject* cls, PyObject* args, PyObject* kwds) noexcept {
    return guarded<PyObject*>(nullptr, [&] {
      static constexpr Param params[] = {{"other"}, {"capacity", false, true}};
      static const Signature sig{qualified<Scheme>("__new__"), params, true};
      const auto a = bind<2>(sig, args, kwds);
      const std::uint32_t capacity = a[1] ? to_u32(a[1], "capacity") : 0;  // None is refused
      State state = Type::make_state(capacity);
      if (a.opt(0) != nullptr || a.kwargs) Update<Scheme>::run(state, a.opt(0), a.kwargs.get());
      return Type::wrap(cls, std::move(state));
    });
  }

  // ---- iteration and views ----------------------------------------------
  static PyObject* iter(PyObject* self) noexcept {
    return guarded<PyObject*>(nullptr, [&] { return IterClass<Scheme, Kind::Keys>::make(self); });
  }

  template <Kind K>
  static PyObject* view(PyObject* self, PyObject*) noexcept {
    return guarded<PyObject*>(nullptr, [&] { return ViewClass<Scheme, K>::make(self); });
  }

  // The companion classes, in registration order: keys, values and items
  // views, then key, value and item iterators.
  template <class Register>
  static void create_companion_types(Register&& reg) {
    reg(ViewClass<Scheme, Kind::Keys>::create_type());
    reg(ViewClass<Scheme, Kind::Values>::create_type());
    reg(ViewClass<Scheme, Kind::Items>::create_type());
    reg(IterClass<Scheme, Kind::Keys>::create_type());
    reg(IterClass<Scheme, Kind::Values>::create_type());
    reg(IterClass<Scheme, Kind::Items>::create_type());
  }

  // ---- the type ---------------------------------------------------------
  static PyTypeObject* create_type() {
    using M = MapMethods<Scheme>;
    using Op = MapOperators<Scheme>;
    using C = MapCopying<Scheme>;
    constexpr int fast = METH_FASTCALL | METH_KEYWORDS;
    static PyMethodDef methods[] = {
        {"with_options", method(&M::with_options), fast | METH_CLASS, Scheme::with_options_doc},
        {"fromkeys", method(&M::fromkeys), fast | METH_CLASS,
         "fromkeys($cls, iterable, value=None)\n--\n\n"},
        {"__class_getitem__", method(&M::class_getitem), fast | METH_CLASS,
         "__class_getitem__($cls, item)\n--\n\nRuntime support for `Cls[K, V]` syntax via "
         "`types.GenericAlias`\n\u2014 parity with the `Generic[K, V]` typing stub."},
        {"get", method(&M::get), fast, "get($self, key, default=None)\n--\n\n"},
        {"clear", method(&M::clear), METH_NOARGS, "clear($self)\n--\n\n"},
        {"keys", method(&MapClass::view<Kind::Keys>), METH_NOARGS, "keys($self)\n--\n\n"},
        {"values", method(&MapClass::view<Kind::Values>), METH_NOARGS, "values($self)\n--\n\n"},
        {"items", method(&MapClass::view<Kind::Items>), METH_NOARGS, "items($self)\n--\n\n"},
        {"update", method(&M::update), METH_VARARGS | METH_KEYWORDS,
         "update($self, other=None, **kwargs)\n--\n\n"
         "Mirror of `dict.update`. Branches in priority order: same-type,\n"
         "`PyDict`, mapping with `keys()`, then `(k, v)` iterable. Reserves\n"
         "up front when length is known. `bump()` only on actual inserts \u2014\n"
         "empty `update()` keeps iterators valid."},
        {"pop", method(&M::pop), fast, "pop($self, key, default=None)\n--\n\n"},
        {"popitem", method(&M::popitem), METH_NOARGS, "popitem($self)\n--\n\n"},
        {"setdefault", method(&M::setdefault), fast,
         "setdefault($self, key, default=None)\n--\n\n"},
        {"copy", method(&M::copy), METH_NOARGS, "copy($self)\n--\n\n"},
        {"__copy__", method(&M::copy), METH_NOARGS, "__copy__($self)\n--\n\n"},
        {"__deepcopy__", method(&C::deepcopy), METH_O, "__deepcopy__($self, memo, /)\n--\n\n"},
        {"__reduce__", method(&C::reduce), METH_NOARGS, "__reduce__($self)\n--\n\n"},
        {"__sizeof__", method(&C::sizeof_), METH_NOARGS, "__sizeof__($self)\n--\n\n"},
        {nullptr, nullptr, 0, nullptr},
    };
    static PyGetSetDef getset[] = {
        {"capacity", &M::get_capacity, nullptr, "", nullptr},
        {nullptr, nullptr, nullptr, nullptr, nullptr},
    };
    static PyType_Slot slots[] = {
        {Py_tp_doc, const_cast<char*>(Scheme::doc)},
        {Py_tp_new, reinterpret_cast<void*>(&MapClass::tp_new)},
        {Py_tp_dealloc, reinterpret_cast<void*>(&Type::dealloc)},
        {Py_tp_traverse, reinterpret_cast<void*>(&Type::traverse)},
        {Py_tp_clear, reinterpret_cast<void*>(&Type::clear)},
        {Py_tp_hash, reinterpret_cast<void*>(&PyObject_HashNotImplemented)},
        {Py_tp_repr, reinterpret_cast<void*>(&M::repr)},
        {Py_tp_richcompare, reinterpret_cast<void*>(&Op::richcompare)},
        {Py_tp_iter, reinterpret_cast<void*>(&MapClass::iter)},
        {Py_tp_methods, methods},
        {Py_tp_getset, getset},
        {Py_mp_length, reinterpret_cast<void*>(&Base::length)},
        {Py_sq_contains, reinterpret_cast<void*>(&Base::contains)},
        {Py_mp_subscript, reinterpret_cast<void*>(&Base::subscript)},
        {Py_mp_ass_subscript, reinterpret_cast<void*>(&Base::ass_subscript)},
        {Py_nb_or, reinterpret_cast<void*>(&Op::nb_or)},
        {Py_nb_inplace_or, reinterpret_cast<void*>(&Op::nb_inplace_or)},
        {0, nullptr},
    };
    static PyType_Spec spec = {
        Scheme::qualified_name,
        static_cast<int>(sizeof(typename Type::Obj)),
        0,
        Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC,
        slots,
    };
    if (Type::type == nullptr) {
      Type::type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&spec));
      if (Type::type == nullptr) throw PyErrorSet{};
    }
    return Type::type;
  }

 private:
  template <class F>
  static PyCFunction method(F f) noexcept {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f));
  }
};

}  // namespace velomap::py
