// The mapping protocol of the map classes: construction, len(m), m[k],
// m[k] = v, del m[k], k in m.
//
// Reads take a shared borrow, changes the exclusive one; a refusal raises
// RuntimeError. The single-key slots (here, get, pop and setdefault) and the
// update loops are flattened: their guarded body would otherwise be called
// out of line through a closure, and the insertion path through several
// more calls. Rebuilds stay out of line. Lookups borrow the caller's key
// reference; only stored keys take one.
#pragma once

#include "args.h"
#include "map_object.h"

namespace velomap::py {

template <class Scheme>
struct MapProtocol : MapType<Scheme> {
  using Base = MapType<Scheme>;
  using Base::obj;

  static Py_ssize_t length(PyObject* self) noexcept {
    return guarded<Py_ssize_t>(-1, [&] {
      SharedBorrow b = SharedBorrow::or_raise(obj(self)->borrow);
      return static_cast<Py_ssize_t>(obj(self)->state.map.len());
    });
  }

  VELOMAP_FLATTEN static int contains(PyObject* self, PyObject* key) noexcept {
    return guarded(-1, [&] {
      SharedBorrow b = SharedBorrow::or_raise(obj(self)->borrow);
      const KeyRef k = KeyRef::borrow(key);
      return obj(self)->state.map.contains_key(k) ? 1 : 0;
    });
  }

  VELOMAP_FLATTEN static PyObject* subscript(PyObject* self, PyObject* key) noexcept {
    return guarded<PyObject*>(nullptr, [&] {
      SharedBorrow b = SharedBorrow::or_raise(obj(self)->borrow);
      const KeyRef k = KeyRef::borrow(key);
      const Ref* value = obj(self)->state.map.get(k);
      if (value == nullptr) raise_key_error(key);
      return value->new_ref();
    });
  }

  VELOMAP_FLATTEN static int ass_subscript(PyObject* self, PyObject* key,
                                           PyObject* value) noexcept {
    return guarded(-1, [&] {
      auto* o = obj(self);
      ExclusiveBorrow b = ExclusiveBorrow::or_raise(o->borrow);
      if (value == nullptr) {
        const KeyRef k = KeyRef::borrow(key);
        std::optional<Ref> removed = o->state.map.remove(k);
        if (!removed) raise_key_error(key);
        o->state.bump();
        return 0;  // the removed value is released here, still under the borrow
      }
      std::optional<Ref> old = o->state.map.insert(HashedAny::take(key), Ref::incref(value));
      o->state.bump();
      return 0;
    });
  }
};

}  // namespace velomap::py
