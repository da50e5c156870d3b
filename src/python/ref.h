// Owning references to Python objects, and the error model of the binding.
//
// Ref owns one strong reference: it steals on construction (Ref::steal) or
// takes a new one (Ref::incref), releases it in its destructor and hands it
// over with release(). Borrowed pointers stay raw PyObject* and short-lived.
//
// A Python exception that is already set travels through C++ code as
// PyErrorSet; every entry point turns it back into the usual NULL / -1.
#pragma once

#define PY_SSIZE_T_CLEAN
#ifndef Py_LIMITED_API
#define Py_LIMITED_API 0x030A0000
#endif
#include <Python.h>

#include <utility>

#include "../common/moves.h"

namespace velomap::py {

// Thrown when a Python exception has been set and the operation must end.
struct PyErrorSet {};

class Ref {
 public:
  Ref() noexcept = default;
  static Ref steal(PyObject* o) noexcept { return Ref(o); }
  static Ref incref(PyObject* o) noexcept {
    Py_XINCREF(o);
    return Ref(o);
  }
  // Steal a result that is NULL exactly when a Python error is set.
  static Ref checked(PyObject* o) {
    if (o == nullptr) throw PyErrorSet{};
    return Ref(o);
  }

  Ref(Ref&& o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
  Ref& operator=(Ref&& o) noexcept {
    if (this != &o) {
      PyObject* old = std::exchange(p_, std::exchange(o.p_, nullptr));
      Py_XDECREF(old);
    }
    return *this;
  }
  Ref(const Ref&) = delete;
  Ref& operator=(const Ref&) = delete;
  ~Ref() { Py_XDECREF(p_); }

  PyObject* get() const noexcept { return p_; }
  PyObject* release() noexcept { return std::exchange(p_, nullptr); }
  PyObject* new_ref() const noexcept {
    Py_XINCREF(p_);
    return p_;
  }
  explicit operator bool() const noexcept { return p_ != nullptr; }
  // Ask the cache for the object's reference count (walks, bulk releases).
  void prefetch() const noexcept { prefetch_for_write(p_); }

 private:
  explicit Ref(PyObject* o) noexcept : p_(o) {}
  PyObject* p_ = nullptr;
};

inline void check(int status) {
  if (status < 0) throw PyErrorSet{};
}

[[noreturn]] inline void raise(PyObject* type, const char* message) {
  PyErr_SetString(type, message);
  throw PyErrorSet{};
}

// A new instance of a heap type, from its tp_alloc (zero-filled); the caller
// constructs the C++ fields in place.
template <class Obj>
Obj* alloc_instance(PyTypeObject* type) {
  auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
  PyObject* self = alloc(type, 0);
  if (self == nullptr) throw PyErrorSet{};
  return reinterpret_cast<Obj*>(self);
}

// Free an instance whose C++ fields are already destroyed, and release the
// reference it held on its heap type.
inline void free_instance(PyObject* self) noexcept {
  PyTypeObject* type = Py_TYPE(self);
  reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free))(self);
  Py_DECREF(type);
}

}  // namespace velomap::py

// A Ref owns one reference and nothing that points back at it, so rebuilds
// may move one by copying its bytes.
template <>
inline constexpr bool velomap::kBitwiseRelocatable<velomap::py::Ref> = true;
