// The copy and pickle protocols and __sizeof__ of the map classes.
//
// Pickling reduces a map to its own class's with_options, called with the
// map's options and capacity, plus an iterator over its items, which the
// unpickler stores with m[k] = v. Nothing is added to the module, every
// pickle protocol works, and a tampered stream can only make with_options
// or an item assignment raise: the half-built map is then dropped.
// Deep copies are built the same way, through copy.deepcopy with the memo,
// the new map entered in the memo before its entries are copied, so a map
// that contains itself copies into one that contains itself.
#pragma once

#include "map_object.h"
#include "schemes.h"

namespace velomap::py {

template <class Scheme>
struct MapCopying {
  using Type = MapType<Scheme>;
  using State = MapState<Scheme>;
  using Entry = typename Scheme::Table::Entry;

  // (cls.with_options, (capacity, options...), None, None, iter(m.items()))
  static PyObject* reduce(PyObject* self, PyObject*) noexcept {
    return guarded<PyObject*>(nullptr, [&] {
      Ref args;
      {
        SharedBorrow b = SharedBorrow::or_raise(Type::obj(self)->borrow);
        args = Scheme::option_args(Type::obj(self)->state.map);
      }
      Ref factory = Ref::checked(
          PyObject_GetAttrString(reinterpret_cast<PyObject*>(Type::type), "with_options"));
      Ref items = Ref::checked(PyObject_CallMethod(self, "items", nullptr));
      Ref it = Ref::checked(PyObject_GetIter(items.get()));
      return Ref::checked(PyTuple_Pack(5, factory.get(), args.get(), Py_None, Py_None, it.get()))
          .release();
    });
  }

  static PyObject* deepcopy(PyObject* self, PyObject* memo) noexcept {
    return guarded<PyObject*>(nullptr, [&] {
      // The entries are listed under a shared borrow, with no Python code
      // run; copying them runs Python code and so comes after.
      Ref pairs;
      Ref result;
      {
        SharedBorrow b = SharedBorrow::or_raise(Type::obj(self)->borrow);
        const auto& map = Type::obj(self)->state.map;
        pairs = Ref::checked(PyList_New(static_cast<Py_ssize_t>(map.len())));
        Py_ssize_t i = 0;
        map.for_each([&](const Entry& e) {
          PyList_SetItem(pairs.get(), i++,
                         Ref::checked(PyTuple_Pack(2, e.key.obj(), e.value.get())).release());
        });
        result = Ref::steal(Type::wrap(Type::type, State{Scheme::table_like(map), 0}));
      }
      Ref own_memo;
      if (memo == Py_None) {
        own_memo = Ref::checked(PyDict_New());
        memo = own_memo.get();
      }
      Ref id = Ref::checked(PyLong_FromVoidPtr(self));
      if (PyObject_SetItem(memo, id.get(), result.get()) < 0) throw PyErrorSet{};
      Ref copy_module = Ref::checked(PyImport_ImportModule("copy"));
      Ref deep = Ref::checked(PyObject_GetAttrString(copy_module.get(), "deepcopy"));
      for (Py_ssize_t i = 0; i < PyList_Size(pairs.get()); ++i) {
        PyObject* pair = PyList_GetItem(pairs.get(), i);
        Ref key = Ref::checked(
            PyObject_CallFunctionObjArgs(deep.get(), PyTuple_GetItem(pair, 0), memo, nullptr));
        Ref value = Ref::checked(
            PyObject_CallFunctionObjArgs(deep.get(), PyTuple_GetItem(pair, 1), memo, nullptr));
        if (PyObject_SetItem(result.get(), key.get(), value.get()) < 0) throw PyErrorSet{};
      }
      return result.release();
    });
  }

  // The object and the memory its tables own; not the keys and values.
  static PyObject* sizeof_(PyObject* self, PyObject*) noexcept {
    return guarded<PyObject*>(nullptr, [&] {
      SharedBorrow b = SharedBorrow::or_raise(Type::obj(self)->borrow);
      return PyLong_FromSize_t(sizeof(typename Type::Obj) +
                               Type::obj(self)->state.map.memory_bytes());
    });
  }
};

}  // namespace velomap::py
