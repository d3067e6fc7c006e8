// Small operations on Python objects with the error discipline: attributes, comparison, `in`,
// dict items, imports and module globals.
#pragma once

#include "extkit/ref.hpp"

namespace extkit {

inline Ref attribute(PyObject* object, Name& name) { return checked(PyObject_GetAttr(object, name.get())); }
inline void set_attribute(PyObject* object, Name& name, PyObject* value) {
  if (PyObject_SetAttr(object, name.get(), value) < 0) throw PythonError{};
}

// getattr(object, name, <missing>): the attribute, or an empty Ref when reading it raised
// AttributeError (cleared). Any other error propagates.
inline Ref optional_attribute(PyObject* object, Name& name) {
  PyObject* value = PyObject_GetAttr(object, name.get());
  if (value == nullptr) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw PythonError{};
    PyErr_Clear();
  }
  return Ref::steal(value);
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

// dict[key] = value
inline void set_item(PyObject* dict, Name& key, PyObject* value) { check(PyDict_SetItem(dict, key.get(), value)); }
inline void set_item(PyObject* dict, Name& key, const Ref& value) { set_item(dict, key, value.get()); }

// `import name` (absolute), without binding it anywhere.
inline Ref import_module(const char* name) { return checked(PyImport_ImportModule(name)); }

[[noreturn]] inline void raise_undefined_name(const char* name) {
  raise_format(PyExc_NameError, "name '%s' is not defined", name);
}

// A global of `module`, looked up at the moment of the call (so callers and tests may replace it).
inline Ref module_global(PyObject* module, Name& name) {
  PyObject* value = PyDict_GetItemWithError(PyModule_GetDict(module), name.get());  // borrowed
  if (value == nullptr) {
    check_pending();
    raise_undefined_name(name.text());
  }
  return Ref::borrow(value);
}

}  // namespace extkit
