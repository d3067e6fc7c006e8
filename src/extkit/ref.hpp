// Owned references. A Ref owns one strong reference and releases it when it goes out of
// scope, so no error path has to remember a Py_DECREF. Borrowed references stay plain
// PyObject* and are never released by the code that holds them.
//
//   Ref a = checked(PyLong_FromLong(1));   // new reference from the C API; throws if NULL
//   Ref b = Ref::borrow(item);             // take a new reference to a borrowed object
//   return a;                              // entry points release() it to CPython
#pragma once

#include <algorithm>
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

// "text"_name: the Name of a text written where it is used, one per text in this library,
// interned at its first use.
//
//   Ref platform = attribute(sys, "platform"_name);
template <std::size_t N>
struct NameText {
  char text[N];
  constexpr NameText(const char (&source)[N]) { std::copy_n(source, N, text); }
};

template <NameText Text>
Name& operator""_name() {
  static Name name{Text.text};
  return name;
}

}  // namespace extkit
