// Unpacking an object into exactly N items, as the statement `a, b = entry` does in compiled
// modules: exact tuples and lists by their size, any other object through its iterator, which
// is asked for one item more than N to prove it is exhausted. Messages:
//   "too many values to unpack (expected %zd)"
//   "need more than %zd value%.1s to unpack"   (the number of items actually found)
// An object that is not iterable keeps the interpreter's TypeError ("'int' object is not
// iterable"); an iterator that raises passes its exception through.
//
//   auto [timestamp, value] = extkit::unpack<2>(entry);   // owned references
#pragma once

#include <array>
#include <cstddef>

#include "extkit/ref.hpp"

namespace extkit {

[[noreturn]] inline void raise_too_many_values(Py_ssize_t expected) {
  raise_format(PyExc_ValueError, "too many values to unpack (expected %zd)", expected);
}

[[noreturn]] inline void raise_need_more_values(Py_ssize_t found) {
  raise_format(PyExc_ValueError, "need more than %zd value%.1s to unpack", found, found == 1 ? "" : "s");
}

namespace detail {

// The next item of `iterator`, or an empty Ref once it is exhausted (StopIteration cleared).
inline Ref next_item(PyObject* iterator) {
  PyObject* item = Py_TYPE(iterator)->tp_iternext(iterator);
  if (item == nullptr && PyErr_Occurred()) {
    if (!PyErr_ExceptionMatches(PyExc_StopIteration)) throw PythonError{};
    PyErr_Clear();
  }
  return Ref::steal(item);
}

}  // namespace detail

// The N items of `object`, owned: the caller may run Python code (a conversion) on one item
// while the others stay alive, whatever that code does to the container.
template <std::size_t N>
std::array<Ref, N> unpack(PyObject* object) {
  constexpr Py_ssize_t expected = static_cast<Py_ssize_t>(N);
  std::array<Ref, N> items;
  if (PyTuple_CheckExact(object) || PyList_CheckExact(object)) {
    const Py_ssize_t size = Py_SIZE(object);
    if (size > expected) raise_too_many_values(expected);
    if (size < expected) raise_need_more_values(size);
    PyObject** source = PySequence_Fast_ITEMS(object);
    for (std::size_t i = 0; i < N; ++i) items[i] = Ref::borrow(source[i]);
    return items;
  }
  Ref iterator = checked(PyObject_GetIter(object));
  for (std::size_t i = 0; i < N; ++i) {
    items[i] = detail::next_item(iterator.get());
    if (!items[i]) raise_need_more_values(static_cast<Py_ssize_t>(i));
  }
  if (detail::next_item(iterator.get())) raise_too_many_values(expected);
  return items;
}

}  // namespace extkit
