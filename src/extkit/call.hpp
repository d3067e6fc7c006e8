// Calls from native code into Python, and result tuples built from native values.
//
//   Ref r = call(callable, a, b);                         // callable(a, b); a, b are PyObject*
//   Ref r = call_method(logger, info_name, message);      // logger.info(message)
//   Ref r = call_with_keywords(run, {command}, {{capture_output_name, Py_True}, {timeout_name, timeout}});
//   return py_tuple(changed, 0.25, Ref::borrow(name));    // (True, 0.25, name)
//
// Arguments are borrowed for the duration of the call; results are new references, and a
// Python error raised by the callee throws PythonError.
#pragma once

#include <algorithm>
#include <initializer_list>
#include <memory>
#include <type_traits>
#include <utility>

#include "extkit/convert.hpp"
#include "extkit/ref.hpp"

namespace extkit {

template <class... Args>
Ref call(PyObject* callable, Args... args) {
  static_assert((std::is_convertible_v<Args, PyObject*> && ...), "call() takes PyObject* arguments");
  PyObject* stack[] = {nullptr, args...};  // slot 0 is free for the callee (PY_VECTORCALL_ARGUMENTS_OFFSET)
  return checked(PyObject_Vectorcall(callable, stack + 1, sizeof...(Args) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

// object.<name>(args...), without creating a bound method.
template <class... Args>
Ref call_method(PyObject* object, Name& name, Args... args) {
  static_assert((std::is_convertible_v<Args, PyObject*> && ...), "call_method() takes PyObject* arguments");
  PyObject* stack[] = {object, args...};
  return checked(PyObject_VectorcallMethod(name.get(), stack, (1 + sizeof...(Args)) | PY_VECTORCALL_ARGUMENTS_OFFSET,
                                           nullptr));
}

struct Keyword {
  Name& name;
  PyObject* value;  // borrowed
};

// callable(*positional, **keywords) with the keyword names interned once (Name). The names
// tuple is built per call (keyword calls serve cold paths: a subprocess, a class); the
// argument array lives on the stack up to eight arguments.
inline Ref call_with_keywords(PyObject* callable, std::initializer_list<PyObject*> positional,
                              std::initializer_list<Keyword> keywords) {
  constexpr std::size_t kInline = 8;
  const std::size_t total = positional.size() + keywords.size();
  PyObject* inline_stack[kInline];
  std::unique_ptr<PyObject*[]> heap_stack;
  PyObject** stack = inline_stack;
  if (total > kInline) {
    heap_stack = std::make_unique<PyObject*[]>(total);
    stack = heap_stack.get();
  }
  std::copy(positional.begin(), positional.end(), stack);
  Ref names = checked(PyTuple_New(static_cast<Py_ssize_t>(keywords.size())));
  std::size_t index = 0;
  for (const Keyword& keyword : keywords) {
    PyTuple_SET_ITEM(names.get(), static_cast<Py_ssize_t>(index), Py_NewRef(keyword.name.get()));
    stack[positional.size() + index++] = keyword.value;
  }
  return checked(PyObject_Vectorcall(callable, stack, positional.size(), names.get()));
}

// ---------------------------------------------------------------------------------------------
// Result tuples

namespace detail {
inline Ref tuple_item(Ref&& value) { return std::move(value); }
inline Ref tuple_item(PyObject* value) { return Ref::borrow(value); }
inline Ref tuple_item(const char* text) { return py_str(text); }
template <class Value>
  requires std::is_arithmetic_v<Value>
Ref tuple_item(Value value) {
  return to_python(value);
}
}  // namespace detail

// A new tuple of the given items: Refs (taken over), PyObject* (borrowed), C strings, or native
// numbers and bools (converted).
template <class... Items>
Ref py_tuple(Items&&... items) {
  Ref converted[] = {detail::tuple_item(std::forward<Items>(items))...};
  Ref tuple = checked(PyTuple_New(sizeof...(Items)));
  for (std::size_t i = 0; i < sizeof...(Items); ++i) {
    PyTuple_SET_ITEM(tuple.get(), static_cast<Py_ssize_t>(i), converted[i].release());
  }
  return tuple;
}

}  // namespace extkit
