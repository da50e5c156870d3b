#include "hashed_any.h"

#include "panic.h"

namespace velomap::py {

bool KeyRef::slow_equals(const KeyRef& probe) const {
  PyObject* left = obj();
  PyObject* right = probe.obj();
  if (exact_str() && probe.exact_str()) {
    // str's own equality (length, kind, then the code units), which never
    // fails for two str objects and, unlike reading their UTF-8 form, leaves
    // nothing cached inside the strings.
    PyObject* result = PyUnicode_RichCompare(left, right, Py_EQ);
    if (result != nullptr) {
      const bool equal = result == Py_True;
      Py_DECREF(result);
      return equal;
    }
    discard_error_unless_panic();
  }
  return equal_or_false(left, right);
}

}  // namespace velomap::py
