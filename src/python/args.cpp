#include "args.h"

#include <cstdint>
#include <string>

namespace velomap::py {
namespace {

[[noreturn]] void type_error(const Signature& sig, const std::string& rest) {
  const std::string text = std::string(sig.function) + "() " + rest;
  raise(PyExc_TypeError, text.c_str());
}

std::size_t positional_count(const Signature& sig) {
  std::size_t n = 0;
  for (const Param& p : sig.params) n += p.keyword_only ? 0 : 1;
  return n;
}

void check_positional(const Signature& sig, std::size_t given) {
  const std::size_t max = positional_count(sig);
  if (given <= max) return;
  std::size_t required = 0;
  for (std::size_t i = 0; i < max; ++i) required += sig.params[i].required ? 1u : 0u;
  const std::string were = given == 1 ? "was" : "were";
  if (required == max) {
    type_error(sig, "takes " + std::to_string(max) + " positional arguments but " +
                        std::to_string(given) + " " + were + " given");
  }
  type_error(sig, "takes from " + std::to_string(required) + " to " + std::to_string(max) +
                      " positional arguments but " + std::to_string(given) + " " + were + " given");
}

// Place one keyword argument, or collect it into **kwargs.
void bind_keyword(const Signature& sig, PyObject* name, PyObject* value, PyObject** out,
                  Ref* kwargs) {
  for (std::size_t i = 0; i < sig.params.size(); ++i) {
    if (PyUnicode_CompareWithASCIIString(name, sig.params[i].name) != 0) continue;
    if (out[i] != nullptr)
      type_error(sig, std::string("got multiple values for argument '") + sig.params[i].name + "'");
    out[i] = value;
    return;
  }
  if (!sig.var_keywords) {
    const char* utf8 = PyUnicode_AsUTF8AndSize(name, nullptr);
    if (utf8 == nullptr) throw PyErrorSet{};
    type_error(sig, std::string("got an unexpected keyword argument '") + utf8 + "'");
  }
  if (!*kwargs) *kwargs = Ref::checked(PyDict_New());
  check(PyDict_SetItem(kwargs->get(), name, value));
}

void check_required(const Signature& sig, PyObject** out) {
  for (std::size_t i = 0; i < sig.params.size(); ++i) {
    if (sig.params[i].required && out[i] == nullptr)
      type_error(
          sig, std::string("missing 1 required positional argument: '") + sig.params[i].name + "'");
  }
}

}  // namespace

void bind_args(const Signature& sig, PyObject* const* args, std::size_t nargs, PyObject* kwnames,
               PyObject** out, Ref* kwargs) {
  check_positional(sig, nargs);
  for (std::size_t i = 0; i < nargs; ++i) out[i] = args[i];
  if (kwnames != nullptr) {
    const Py_ssize_t nk = PyTuple_Size(kwnames);
    for (Py_ssize_t k = 0; k < nk; ++k)
      bind_keyword(sig, PyTuple_GetItem(kwnames, k), args[nargs + static_cast<std::size_t>(k)], out,
                   kwargs);
  }
  check_required(sig, out);
}

void bind_args_tuple(const Signature& sig, PyObject* args, PyObject* kwds, PyObject** out,
                     Ref* kwargs) {
  const Py_ssize_t n = args ? PyTuple_Size(args) : 0;
  check_positional(sig, static_cast<std::size_t>(n));
  for (Py_ssize_t i = 0; i < n; ++i) out[i] = PyTuple_GetItem(args, i);
  if (kwds != nullptr) {
    Py_ssize_t pos = 0;
    PyObject *name, *value;
    while (PyDict_Next(kwds, &pos, &name, &value)) bind_keyword(sig, name, value, out, kwargs);
  }
  check_required(sig, out);
}

namespace {

// Re-raise a pending TypeError as "argument '{name}': {reason}".
[[noreturn]] void rethrow_conversion(const char* name) {
  if (!PyErr_ExceptionMatches(PyExc_TypeError)) throw PyErrorSet{};
  PyObject *type, *value, *tb;
  PyErr_Fetch(&type, &value, &tb);
  PyErr_NormalizeException(&type, &value, &tb);
  Ref t = Ref::steal(type), v = Ref::steal(value), trace = Ref::steal(tb);
  Ref reason = Ref::checked(PyObject_Str(v.get()));
  PyErr_Format(PyExc_TypeError, "argument '%s': %U", name, reason.get());
  throw PyErrorSet{};
}

}  // namespace

std::uint32_t to_u32(PyObject* value, const char* name) {
  Ref index = Ref::steal(PyNumber_Index(value));
  if (!index) rethrow_conversion(name);
  unsigned long long v = 0;
  if constexpr (sizeof(unsigned long) == 8) {
    v = PyLong_AsUnsignedLong(index.get());
  } else {
    v = PyLong_AsUnsignedLongLong(index.get());
  }
  if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) rethrow_conversion(name);
  if (v > UINT32_MAX) raise(PyExc_OverflowError, "out of range integral type conversion attempted");
  return static_cast<std::uint32_t>(v);
}

double to_double(PyObject* value, const char* name) {
  const double d = PyFloat_AsDouble(value);
  if (d == -1.0 && PyErr_Occurred()) rethrow_conversion(name);
  return d;
}

}  // namespace velomap::py
