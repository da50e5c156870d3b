#include "panic.h"

#include <string>

namespace velomap::py {

PyObject* panic_type() noexcept {
  static PyObject* type = PyErr_NewExceptionWithDoc(
      "velomap.PanicException",
      "Reports an internal failure of velomap (an exhausted or impossible state of a\n"
      "hash table). Like SystemExit, it derives from BaseException, not Exception,\n"
      "so a plain `except Exception` does not catch it.",
      PyExc_BaseException, nullptr);
  return type;
}

void raise_panic(const InternalFailure& failure) noexcept {
  PyObject* type = panic_type();
  if (type == nullptr) return;  // creating the class failed; that error stays set
  const auto& where = failure.where();
  PySys_FormatStderr("velomap: internal failure: %s (at %s:%u)\n", failure.what(), where.file,
                     where.line);
  PyErr_SetString(type, failure.what());
}

void discard_error_unless_panic() {
  PyObject* type = panic_type();
  if (type == nullptr || !PyErr_ExceptionMatches(type)) {
    if (!PyErr_ExceptionMatches(PyExc_Exception)) throw PyErrorSet{};
    PyErr_Clear();
    return;
  }
  PyObject *etype, *evalue, *etb;
  PyErr_Fetch(&etype, &evalue, &etb);
  PyErr_NormalizeException(&etype, &evalue, &etb);
  std::string text;
  if (evalue != nullptr) {
    if (PyObject* s = PyObject_Str(evalue)) {
      if (const char* utf8 = PyUnicode_AsUTF8AndSize(s, nullptr)) text = utf8;
      Py_DECREF(s);
    }
    PyErr_Clear();
  }
  PySys_FormatStderr("velomap: resuming an internal failure raised inside Python code: %s\n",
                     text.c_str());
  PyErr_Restore(etype, evalue, etb);
  PyErr_PrintEx(0);  // the traceback, on stderr; clears the error
  throw InternalFailure(text);
}

bool equal_or_false(PyObject* left, PyObject* right) {
  PyObject* result = PyObject_RichCompare(left, right, Py_EQ);
  if (result == nullptr) {
    discard_error_unless_panic();
    return false;
  }
  if (result == Py_True || result == Py_False) {
    Py_DECREF(result);
    return result == Py_True;
  }
  const int truth = PyObject_IsTrue(result);
  Py_DECREF(result);
  if (truth < 0) {
    discard_error_unless_panic();
    return false;
  }
  return truth != 0;
}

}  // namespace velomap::py
