// Owned references. A Ref owns one strong reference and releases it when it goes out of
// scope, so no error path has to remember a Py_DECREF. Borrowed references stay plain
// PyObject* and are never released by the code that holds them.
//
//   Ref a = checked(PyLong_FromLong(1));   // new reference from the C API; throws if NULL
//   Ref b = Ref::borrow(item);             // take a new reference to a borrowed object
//   return a;                              // entry points release() it to CPython
#pragma once

#include <cstddef>
#include <utility>

#include "extkit/error.hpp"

namespace extkit {

class Ref {
 public:
  Ref() noexcept = default;
  Ref(std::nullptr_t) noexcept {}
  Ref(const Ref&) = delete;
  Ref& operator=(const Ref&) = delete;
  Ref(Ref&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
  Ref& operator=(Ref&& other) noexcept {
    PyObject* old = std::exchange(object_, std::exchange(other.object_, nullptr));
    Py_XDECREF(old);
    return *this;
  }
  ~Ref() { Py_XDECREF(object_); }

  // Takes over a reference the caller owns (may be null).
  static Ref steal(PyObject* object) noexcept {
    Ref ref;
    ref.object_ = object;
    return ref;
  }
  // Adds a reference to a borrowed object (may be null).
  static Ref borrow(PyObject* object) noexcept {
    Py_XINCREF(object);
    return steal(object);
  }

  PyObject* get() const noexcept { return object_; }
  explicit operator bool() const noexcept { return object_ != nullptr; }
  // Hands the reference to the caller.
  [[nodiscard]] PyObject* release() noexcept { return std::exchange(object_, nullptr); }
  Ref copy() const noexcept { return borrow(object_); }
  void reset() noexcept { Py_CLEAR(object_); }

 private:
  PyObject* object_ = nullptr;
};

// Wraps a new reference returned by a C API call; NULL means a Python error is set.
inline Ref checked(PyObject* new_reference) {
  if (new_reference == nullptr) throw PythonError{};
  return Ref::steal(new_reference);
}

inline Ref none() { return Ref::borrow(Py_None); }

// An interned str created at first use; declare one per name at namespace scope. Used with the
// interpreter lock held, so the lazy creation needs no further synchronisation.
class Name {
 public:
  constexpr explicit Name(const char* text) : text_(text) {}
  PyObject* get() {
    if (object_ == nullptr) {
      object_ = PyUnicode_InternFromString(text_);
      if (object_ == nullptr) throw PythonError{};
    }
    return object_;
  }
  const char* text() const { return text_; }

 private:
  const char* text_;
  PyObject* object_ = nullptr;  // immortal for the life of the process
};

// Small object operations with the error discipline: getattr, setattr, comparison, `in`.
inline Ref attribute(PyObject* object, Name& name) { return checked(PyObject_GetAttr(object, name.get())); }
inline void set_attribute(PyObject* object, Name& name, PyObject* value) {
  if (PyObject_SetAttr(object, name.get(), value) < 0) throw PythonError{};
}
// `left <op> right` as a truth value (op: Py_LT, Py_EQ, ...).
inline bool compare(PyObject* left, PyObject* right, int op) {
  const int result = PyObject_RichCompareBool(left, right, op);
  if (result < 0) throw PythonError{};
  return result != 0;
}
inline bool contains(PyObject* container, PyObject* item) {
  const int result = PySequence_Contains(container, item);
  if (result < 0) throw PythonError{};
  return result != 0;
}

// getattr(object, name, <missing>): the attribute, or an empty Ref when reading it raised
// AttributeError (cleared). Any other error propagates.
inline Ref optional_attribute(PyObject* object, PyObject* name) {
  PyObject* value = PyObject_GetAttr(object, name);
  if (value == nullptr) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw PythonError{};
    PyErr_Clear();
  }
  return Ref::steal(value);
}

}  // namespace extkit
