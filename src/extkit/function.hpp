// Callables for module functions and methods. CPython's builtin methods cannot carry
// __annotations__, so every Python-callable operation here is a small function object of its
// own: vectorcall entry, binding through a Signature, __name__ / __qualname__ / __module__ /
// __doc__ / __annotations__ (strings, as written) / __text_signature__, pickled by reference.
//
// Two types: "native_function" for module functions (never binds), and "native_method", a
// method descriptor: it binds to instances like a Python function, and with
// Py_TPFLAGS_METHOD_DESCRIPTOR `obj.name(...)` calls it without creating a bound method.
// A method of a native class checks that `self` is an instance of that class before the body
// casts it.
#pragma once

#include <new>

#include "extkit/args.hpp"
#include "extkit/convert.hpp"

namespace extkit {

// Body of a callable: `self` is null for module functions. Returns a new reference or throws.
using Impl = Ref (*)(PyObject* self, const Args& args);

struct FunctionObject {
  PyObject_HEAD
  vectorcallfunc vectorcall;
  Impl impl;
  Signature signature;
  bool is_method;
  PyTypeObject* owner;    // native class whose instances `self` must be; null for any object
  PyObject* name;         // str
  PyObject* qualname;     // str
  PyObject* module;       // str or None
  PyObject* doc;          // str or None
  PyObject* annotations;  // dict
};

namespace detail {

inline FunctionObject* as_function(PyObject* object) { return reinterpret_cast<FunctionObject*>(object); }

inline PyObject* function_vectorcall(PyObject* callable, PyObject* const* args, size_t nargsf,
                                     PyObject* kwnames) {
  FunctionObject* function = as_function(callable);
  Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
  PyObject* self = nullptr;
  if (function->is_method) {
    if (nargs < 1) {
      PyErr_Format(PyExc_TypeError, "unbound method %U() needs an argument", function->qualname);
      return nullptr;
    }
    self = args[0];
    if (function->owner != nullptr && !PyObject_TypeCheck(self, function->owner)) {
      PyErr_Format(PyExc_TypeError, "descriptor '%U' for '%.100s' objects doesn't apply to a '%.100s' object",
                   function->name, function->owner->tp_name, Py_TYPE(self)->tp_name);
      return nullptr;
    }
    ++args;
    --nargs;
  }
  return guarded([&] {
    ArgBuffer buffer;
    const Args bound = bind(function->signature, args, nargs, kwnames, buffer);
    return function->impl(self, bound).release();
  });
}

inline PyObject* method_get(PyObject* self, PyObject* instance, PyObject*) {
  FunctionObject* function = as_function(self);
  if (instance == nullptr || (instance == Py_None && function->owner == nullptr)) return Py_NewRef(self);
  if (function->owner != nullptr && !PyObject_TypeCheck(instance, function->owner)) {
    PyErr_Format(PyExc_TypeError, "descriptor '%U' for '%.100s' objects doesn't apply to a '%.100s' object",
                 function->name, function->owner->tp_name, Py_TYPE(instance)->tp_name);
    return nullptr;
  }
  return PyMethod_New(self, instance);
}

inline int function_traverse(PyObject* self, visitproc visit, void* arg) {
  FunctionObject* function = as_function(self);
  Py_VISIT(Py_TYPE(self));
  Py_VISIT(function->owner);
  Py_VISIT(function->annotations);
  Py_VISIT(function->module);
  return 0;
}

inline int function_clear(PyObject* self) {
  FunctionObject* function = as_function(self);
  Py_CLEAR(function->owner);
  Py_CLEAR(function->name);
  Py_CLEAR(function->qualname);
  Py_CLEAR(function->module);
  Py_CLEAR(function->doc);
  Py_CLEAR(function->annotations);
  return 0;
}

inline void function_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  PyObject_GC_UnTrack(self);
  function_clear(self);
  type->tp_free(self);
  Py_DECREF(type);
}

inline PyObject* function_repr(PyObject* self) {
  return PyUnicode_FromFormat("<function %U at %p>", as_function(self)->qualname, self);
}

// Pickled by reference, like Python functions: the module plus the qualified name.
inline PyObject* function_reduce(PyObject* self, PyObject*) { return Py_NewRef(as_function(self)->qualname); }

inline PyObject* text_signature(PyObject* self, void*) {
  return guarded([&] {
    const FunctionObject* function = as_function(self);
    const Signature& sig = function->signature;
    Ref text = py_str(function->is_method ? "($self, /" : "(");
    for (int i = 0; i < sig.count(); ++i) {
      const Param& param = sig.param(i);
      const char* separator = (i == 0 && !function->is_method) ? "" : ", ";
      Ref piece = param.default_text != nullptr
                      ? checked(PyUnicode_FromFormat("%s%s=%s", separator, param.name, param.default_text))
                      : checked(PyUnicode_FromFormat("%s%s", separator, param.name));
      text = checked(PyUnicode_Concat(text.get(), piece.get()));
    }
    Ref close = py_str(")");
    return PyUnicode_Concat(text.get(), close.get());
  });
}

inline PyObject* objclass(PyObject* self, void*) {
  PyObject* owner = reinterpret_cast<PyObject*>(as_function(self)->owner);
  if (owner == nullptr) {
    PyErr_SetString(PyExc_AttributeError, "__objclass__");
    return nullptr;
  }
  return Py_NewRef(owner);
}

#define EXTKIT_FUNCTION_FIELD(field)                                                        \
  [](PyObject* self, void*) -> PyObject* { return Py_NewRef(as_function(self)->field); }

inline PyGetSetDef function_getset[] = {
    {"__name__", EXTKIT_FUNCTION_FIELD(name), nullptr, nullptr, nullptr},
    {"__qualname__", EXTKIT_FUNCTION_FIELD(qualname), nullptr, nullptr, nullptr},
    {"__module__", EXTKIT_FUNCTION_FIELD(module), nullptr, nullptr, nullptr},
    {"__doc__", EXTKIT_FUNCTION_FIELD(doc), nullptr, nullptr, nullptr},
    {"__annotations__", EXTKIT_FUNCTION_FIELD(annotations), nullptr, nullptr, nullptr},
    {"__text_signature__", text_signature, nullptr, nullptr, nullptr},
    {"__objclass__", objclass, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

#undef EXTKIT_FUNCTION_FIELD

inline PyMethodDef function_methods[] = {
    {"__reduce__", function_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

inline PyMemberDef function_members[] = {
    {"__vectorcalloffset__", Py_T_PYSSIZET, offsetof(FunctionObject, vectorcall), Py_READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

// One type of each kind per extension module, created on first use.
inline PyTypeObject* callable_type(bool method) {
  static PyTypeObject* types[2] = {nullptr, nullptr};
  PyTypeObject*& type = types[method ? 1 : 0];
  if (type != nullptr) return type;

  // The function type's slots are the method type's without the leading __get__.
  static PyType_Slot method_slots[] = {
      {Py_tp_descr_get, reinterpret_cast<void*>(method_get)},
      {Py_tp_dealloc, reinterpret_cast<void*>(function_dealloc)},
      {Py_tp_traverse, reinterpret_cast<void*>(function_traverse)},
      {Py_tp_clear, reinterpret_cast<void*>(function_clear)},
      {Py_tp_repr, reinterpret_cast<void*>(function_repr)},
      {Py_tp_call, reinterpret_cast<void*>(PyVectorcall_Call)},
      {Py_tp_getset, function_getset},
      {Py_tp_methods, function_methods},
      {Py_tp_members, function_members},
      {0, nullptr},
  };
  PyType_Slot* function_slots = method_slots + 1;
  constexpr unsigned long common_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL |
                                         Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION;
  static PyType_Spec function_spec = {"native_function", sizeof(FunctionObject), 0,
                                      static_cast<unsigned int>(common_flags), function_slots};
  static PyType_Spec method_spec = {"native_method", sizeof(FunctionObject), 0,
                                    static_cast<unsigned int>(common_flags | Py_TPFLAGS_METHOD_DESCRIPTOR),
                                    method_slots};
  type = reinterpret_cast<PyTypeObject*>(checked(PyType_FromSpec(method ? &method_spec : &function_spec)).release());
  return type;
}

}  // namespace detail

// What a callable is: its Python name, body, parameters, return annotation and docstring.
struct FunctionSpec {
  const char* name;
  Impl impl;
  std::initializer_list<Param> params = {};
  const char* returns = nullptr;
  const char* doc = nullptr;
};

// Where the callable lives: its qualified name, module name, whether it binds, and the native
// class that `self` must belong to (null: any object, as for methods of plain Python classes).
struct FunctionPlace {
  PyObject* qualname;
  PyObject* module;
  bool is_method;
  PyTypeObject* owner;
};

inline Ref make_function(const FunctionSpec& spec, const FunctionPlace& place) {
  PyTypeObject* type = detail::callable_type(place.is_method);
  Ref object = checked(type->tp_alloc(type, 0));
  FunctionObject* function = detail::as_function(object.get());
  function->vectorcall = detail::function_vectorcall;
  function->impl = spec.impl;
  new (&function->signature) Signature(spec.name, spec.params, spec.returns);
  function->is_method = place.is_method;
  function->owner = reinterpret_cast<PyTypeObject*>(Py_XNewRef(reinterpret_cast<PyObject*>(place.owner)));
  function->name = checked(PyUnicode_FromString(spec.name)).release();
  function->qualname = Py_NewRef(place.qualname);
  function->module = Py_NewRef(place.module != nullptr ? place.module : Py_None);
  function->doc = spec.doc != nullptr ? checked(PyUnicode_FromString(spec.doc)).release() : Py_NewRef(Py_None);

  Ref annotations = checked(PyDict_New());
  for (const Param& param : spec.params) {
    if (param.annotation == nullptr) continue;
    check(PyDict_SetItemString(annotations.get(), param.name, py_str(param.annotation).get()));
  }
  if (spec.returns != nullptr) check(PyDict_SetItemString(annotations.get(), "return", py_str(spec.returns).get()));
  function->annotations = annotations.release();
  return object;
}

// A function of `module` (bound later under spec.name by the caller).
inline Ref make_module_function(PyObject* module, const FunctionSpec& spec) {
  Ref module_name = checked(PyModule_GetNameObject(module));
  Ref qualname = py_str(spec.name);
  return make_function(spec, {qualname.get(), module_name.get(), false, nullptr});
}

}  // namespace extkit
