// Argument binding for methods and constructors.
//
// One table-driven binder implements the text signatures of the map classes
// for both calling conventions (fast call with keyword names; tuple and dict)
// and produces CPython's TypeError texts:
//   "{f}() missing 1 required positional argument: '{name}'"
//   "{f}() got an unexpected keyword argument '{name}'"
//   "{f}() got multiple values for argument '{name}'"
//   "{f}() takes {n} positional arguments but {m} were given"
//   "{f}() takes from {min} to {max} positional arguments but {m} were given"
// where {f} is "Class.method".
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

#include "ref.h"

namespace velomap::py {

struct Param {
  const char* name;
  bool required = false;
  bool keyword_only = false;
};

struct Signature {
  const char* function;  // "ElasticHashMap.get"
  std::span<const Param> params;
  bool var_keywords = false;  // collects unknown keywords (**kwargs)
  // Derived counts of the positional parameters (all come before the
  // keyword-only ones; required ones come first).
  std::size_t required_positional = count(params, true);
  std::size_t max_positional = count(params, false);

  static constexpr std::size_t count(std::span<const Param> ps, bool required_only) {
    std::size_t n = 0;
    for (const Param& p : ps) {
      if (p.keyword_only) break;
      if (required_only && !p.required) break;
      ++n;
    }
    return n;
  }
};

// Bound values, borrowed from the caller (nullptr when not given), and the
// collected extra keywords (an owned dict, or empty when there were none).
template <std::size_t N>
struct Bound {
  std::array<PyObject*, N> values{};
  Ref kwargs;
  PyObject* operator[](std::size_t i) const noexcept { return values[i]; }
  // Not given, or given as None.
  PyObject* opt(std::size_t i) const noexcept { return values[i] == Py_None ? nullptr : values[i]; }
};

void bind_args(const Signature& sig, PyObject* const* args, std::size_t nargs, PyObject* kwnames,
               PyObject** out, Ref* kwargs);
void bind_args_tuple(const Signature& sig, PyObject* args, PyObject* kwds, PyObject** out,
                     Ref* kwargs);

template <std::size_t N>
Bound<N> bind(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  Bound<N> b;
  const auto n = static_cast<std::size_t>(nargs);
  // Positional arguments only, and enough of them: bound here, inline.
  if (kwnames == nullptr && n >= sig.required_positional && n <= sig.max_positional) {
    for (std::size_t i = 0; i < n; ++i) b.values[i] = args[i];
    return b;
  }
  bind_args(sig, args, n, kwnames, b.values.data(), &b.kwargs);
  return b;
}

template <std::size_t N>
Bound<N> bind(const Signature& sig, PyObject* args, PyObject* kwds) {
  Bound<N> b;
  bind_args_tuple(sig, args, kwds, b.values.data(), &b.kwargs);
  return b;
}

// Integer and float conversions of arguments. A TypeError becomes
// "argument '{name}': {reason}"; other conversion errors pass unchanged.
std::uint32_t to_u32(PyObject* value, const char* name);
double to_double(PyObject* value, const char* name);

// The same for optional parameters: nothing when not given or None.
inline std::optional<std::uint32_t> opt_u32(PyObject* value, const char* name) {
  if (value == nullptr || value == Py_None) return std::nullopt;
  return to_u32(value, name);
}
inline std::optional<double> opt_double(PyObject* value, const char* name) {
  if (value == nullptr || value == Py_None) return std::nullopt;
  return to_double(value, name);
}

}  // namespace velomap::py
