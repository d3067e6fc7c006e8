// One error discipline for every module: code that finds a Python error set (or sets one)
// throws PythonError; each entry point that CPython calls wraps its body in guarded() or
// guarded_status(), which turn the C++ exception back into CPython's error return. No C++
// exception ever crosses into the interpreter.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <exception>
#include <new>

namespace extkit {

// "A Python exception is set": carries nothing, the exception itself lives in the thread state.
struct PythonError {};

[[noreturn]] inline void raise(PyObject* type, const char* message) {
  PyErr_SetString(type, message);
  throw PythonError{};
}

template <class... Values>
[[noreturn]] void raise_format(PyObject* type, const char* format, Values... values) {
  PyErr_Format(type, format, values...);
  throw PythonError{};
}

// For C API calls that return a negative status on error.
inline int check(int status) {
  if (status < 0) throw PythonError{};
  return status;
}

// Throws if a Python exception is pending (after code that reports errors only that way).
inline void check_pending() {
  if (PyErr_Occurred()) throw PythonError{};
}

// Sets the Python error that matches the C++ exception being handled.
inline void set_error_from_current_exception() noexcept {
  try {
    throw;
  } catch (const PythonError&) {
    // already set
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::exception& error) {
    PyErr_SetString(PyExc_SystemError, error.what());
  } catch (...) {
    PyErr_SetString(PyExc_SystemError, "unexpected C++ exception");
  }
}

// Entry point returning an object: the body returns a new reference or throws.
template <class Body>
PyObject* guarded(Body&& body) noexcept {
  try {
    return body();
  } catch (...) {
    set_error_from_current_exception();
    return nullptr;
  }
}

// Entry point returning a status: 0 on success, -1 with the error set.
template <class Body>
int guarded_status(Body&& body) noexcept {
  try {
    body();
    return 0;
  } catch (...) {
    set_error_from_current_exception();
    return -1;
  }
}

}  // namespace extkit
