// The map class template: one PyType_Spec per scheme, assembled from the
// protocol slots, the methods and the operators.
#pragma once

#include <array>
#include <string>

#include "args.h"
#include "map_protocol.h"
#include "update.h"

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
      static const std::string fn = std::string(Scheme::name) + ".__new__";
      static constexpr Param params[] = {{"other"}, {"capacity", false, true}};
      static const Signature sig{fn.c_str(), params, true};
      const auto a = bind<2>(sig, args, kwds);
      const std::uint32_t capacity = a[1] ? to_u32(a[1], "capacity") : 0;
      State state = Type::make_state(capacity);
      if (a.opt(0) != nullptr || a.kwargs) Update<Scheme>::run(state, a.opt(0), a.kwargs.get());
      return Type::wrap(cls, std::move(state));
    });
  }

  // ---- the type ---------------------------------------------------------
  static PyTypeObject* create_type() {
    static PyType_Slot slots[] = {
        {Py_tp_doc, const_cast<char*>(Scheme::doc)},
        {Py_tp_new, reinterpret_cast<void*>(&MapClass::tp_new)},
        {Py_tp_dealloc, reinterpret_cast<void*>(&Type::dealloc)},
        {Py_tp_hash, reinterpret_cast<void*>(&PyObject_HashNotImplemented)},
        {Py_mp_length, reinterpret_cast<void*>(&Base::length)},
        {Py_sq_contains, reinterpret_cast<void*>(&Base::contains)},
        {Py_mp_subscript, reinterpret_cast<void*>(&Base::subscript)},
        {Py_mp_ass_subscript, reinterpret_cast<void*>(&Base::ass_subscript)},
        {0, nullptr},
    };
    static PyType_Spec spec = {
        Scheme::qualified_name,
        static_cast<int>(sizeof(typename Type::Obj)),
        0,
        Py_TPFLAGS_DEFAULT,
        slots,
    };
    if (Type::type == nullptr) {
      Type::type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&spec));
      if (Type::type == nullptr) throw PyErrorSet{};
    }
    return Type::type;
  }
};

}  // namespace velomap::py
