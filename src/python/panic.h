// PanicException and the translation of C++ failures at the Python boundary.
//
// Every slot and method is a thin noexcept wrapper around `guarded`, so no
// C++ exception ever reaches CPython:
//   PyErrorSet       → the error already set is returned (NULL / -1)
//   InternalFailure  → a diagnostic with message and source location on
//                      stderr, then PanicException(message)
//   std::bad_alloc   → MemoryError (the table was left unchanged)
#pragma once

#include <new>

#include "../common/error.h"
#include "ref.h"

namespace velomap::py {

// The PanicException class (a BaseException), created on first use.
PyObject* panic_type() noexcept;

// Raise PanicException for an internal failure, after the diagnostic.
void raise_panic(const InternalFailure& failure) noexcept;

// Called where a Python error raised by code the module called is about to be
// discarded: an ordinary exception (an Exception) is cleared; a
// PanicException is reported (a notice and its traceback on stderr) and
// resumed as an InternalFailure with the same text; any other BaseException
// (KeyboardInterrupt, SystemExit, ...) stays set and ends the operation
// (PyErrorSet). Only Exceptions are ever swallowed.
void discard_error_unless_panic();

// `left == right` by Python equality (PyObject_RichCompare, then its truth
// value). An ordinary exception counts as false and is discarded; others
// end the operation as above.
bool equal_or_false(PyObject* left, PyObject* right);

template <class R, class F>
R guarded(R on_error, F&& body) noexcept {
  try {
    return body();
  } catch (const PyErrorSet&) {
  } catch (const InternalFailure& failure) {
    raise_panic(failure);
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (...) {
    PyErr_SetString(PyExc_SystemError, "velomap: unexpected C++ exception");
  }
  return on_error;
}

}  // namespace velomap::py
