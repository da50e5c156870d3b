#include "hashed_any.h"

#include <cstring>

#include "panic.h"

namespace velomap::py {

bool KeyRef::slow_equals(const KeyRef& probe) const {
  PyObject* left = obj();
  PyObject* right = probe.obj();
  if (exact_str() && probe.exact_str()) {
    Py_ssize_t left_len = 0, right_len = 0;
    const char* a = PyUnicode_AsUTF8AndSize(left, &left_len);
    const char* b = a ? PyUnicode_AsUTF8AndSize(right, &right_len) : nullptr;
    if (b != nullptr) {
      return left_len == right_len && std::memcmp(a, b, static_cast<std::size_t>(left_len)) == 0;
    }
    PyErr_Clear();  // lone surrogates: let Python equality decide
  }
  return equal_or_false(left, right);
}

}  // namespace velomap::py
