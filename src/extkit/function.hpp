// Callables for module functions and methods. CPython's builtin methods cannot carry
// __annotations__, so every Python-callable operation here is a small function object of its
// own: a vectorcall entry generated per callable by def<> (params.hpp binds and converts),
// __name__ / __qualname__ / __module__ /
// __doc__ / __annotations__ (strings, as written) / __text_signature__, pickled by reference.
//
// Two types: "native_function" for module functions (never binds), and "native_method", a
// method descriptor: it binds to instances like a Python function, and with
// Py_TPFLAGS_METHOD_DESCRIPTOR `obj.name(...)` calls it without creating a bound method.
// A method of a native class checks that `self` is an instance of that class before the body
// casts it.
#pragma once

#include <algorithm>
#include <iterator>
#include <memory>
#include <new>
#include <type_traits>
#include <utility>

#include "extkit/call.hpp"
#include "extkit/convert.hpp"
#include "extkit/object.hpp"
#include "extkit/params.hpp"

namespace extkit {

struct FunctionObject {
  PyObject_HEAD
  vectorcallfunc vectorcall;
  const ParamList* params;  // owned: names, defaults and converters of the parameters
  bool is_method;
  PyTypeObject* owner;    // native class whose instances `self` must be; null for any object
  PyObject* self;         // what a module function's body gets as `self` (its module), or null
  PyObject* text_signature;  // str
  PyObject* name;         // str
  PyObject* qualname;     // str
  PyObject* module;       // str or None
  PyObject* doc;          // str or None
  PyObject* annotations;  // dict
  PyObject* signature;    // inspect.Signature, made at its first request; null until then
};

namespace detail {

inline FunctionObject* as_function(PyObject* object) { return reinterpret_cast<FunctionObject*>(object); }

// A method's `self` is its first argument, which must be an instance of the owner class (when
// there is one); on success `args`/`nargs` are moved past it.
inline bool take_self(FunctionObject* function, PyObject* const*& args, Py_ssize_t& nargs, PyObject*& self) {
  if (nargs < 1) {
    PyErr_Format(PyExc_TypeError, "unbound method %U() needs an argument", function->qualname);
    return false;
  }
  self = args[0];
  if (function->owner != nullptr && !PyObject_TypeCheck(self, function->owner)) {
    PyErr_Format(PyExc_TypeError, "descriptor '%U' for '%.100s' objects doesn't apply to a '%.100s' object",
                 function->name, function->owner->tp_name, Py_TYPE(self)->tp_name);
    return false;
  }
  ++args;
  --nargs;
  return true;
}

// A body's result as a new reference: a Ref as it is, void as None, a native value converted.
template <class Result>
PyObject* result_object(Result&& result) {
  if constexpr (std::is_same_v<std::decay_t<Result>, Ref>) {
    return result.release();
  } else {
    return to_python(result).release();
  }
}

// Body(self, values...) as a new reference (None for a void body).
template <auto Body, class Values, std::size_t... I>
PyObject* invoke_body(PyObject* self, Values&& values, std::index_sequence<I...>) {
  using Result = decltype(Body(self, std::get<I>(std::move(values))...));
  if constexpr (std::is_void_v<Result>) {
    Body(self, std::get<I>(std::move(values))...);
    Py_RETURN_NONE;
  } else {
    return result_object(Body(self, std::get<I>(std::move(values))...));
  }
}

template <class... Converters>
const Params<Converters...>& typed_params(FunctionObject* function) {
  return static_cast<const Params<Converters...>&>(*function->params);
}

// Every call that is not a complete positional call on an exact instance: keywords, defaults,
// subclass instances, a wrong `self`. Kept out of line so the fast path stays small.
template <auto Body, bool IsMethod, class... Converters>
[[gnu::noinline]] PyObject* general_entry(PyObject* callable, PyObject* const* args, size_t nargsf,
                                          PyObject* kwnames) {
  FunctionObject* function = as_function(callable);
  Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
  PyObject* self;
  if constexpr (IsMethod) {
    if (!take_self(function, args, nargs, self)) return nullptr;
  } else {
    self = function->self;
  }
  try {
    return invoke_body<Body>(self, typed_params<Converters...>(function).bind(args, nargs, kwnames),
                             std::index_sequence_for<Converters...>{});
  } catch (...) {
    set_error_from_current_exception();
    return nullptr;
  }
}

// The entry point of a typed callable. A complete positional call (on an exact instance of the
// owner class, for a method) converts straight from the caller's array; the rest binds first.
template <auto Body, bool IsMethod, class... Converters>
PyObject* typed_vectorcall(PyObject* callable, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
  constexpr Py_ssize_t kCount = sizeof...(Converters);
  FunctionObject* function = as_function(callable);
  const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
  if constexpr (IsMethod) {
    // A method of a plain Python class has no owner: Py_IS_TYPE never matches null.
    if (kwnames == nullptr && nargs == kCount + 1 && Py_IS_TYPE(args[0], function->owner)) [[likely]] {
      try {
        return invoke_body<Body>(args[0], typed_params<Converters...>(function).convert_positional(args + 1),
                                 std::index_sequence_for<Converters...>{});
      } catch (...) {
        set_error_from_current_exception();
        return nullptr;
      }
    }
  } else {
    if (kwnames == nullptr && nargs == kCount) [[likely]] {
      try {
        return invoke_body<Body>(function->self, typed_params<Converters...>(function).convert_positional(args),
                                 std::index_sequence_for<Converters...>{});
      } catch (...) {
        set_error_from_current_exception();
        return nullptr;
      }
    }
  }
  return general_entry<Body, IsMethod, Converters...>(callable, args, nargsf, kwnames);
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

inline PyObject* function_get(PyObject* self, PyObject*, PyObject*) { return Py_NewRef(self); }

inline int function_traverse(PyObject* self, visitproc visit, void* arg) {
  FunctionObject* function = as_function(self);
  Py_VISIT(Py_TYPE(self));
  Py_VISIT(function->owner);
  Py_VISIT(function->self);
  Py_VISIT(function->annotations);
  Py_VISIT(function->module);
  Py_VISIT(function->signature);
  return 0;
}

inline int function_clear(PyObject* self) {
  FunctionObject* function = as_function(self);
  Py_CLEAR(function->owner);
  Py_CLEAR(function->self);
  Py_CLEAR(function->text_signature);
  Py_CLEAR(function->name);
  Py_CLEAR(function->qualname);
  Py_CLEAR(function->module);
  Py_CLEAR(function->doc);
  Py_CLEAR(function->annotations);
  Py_CLEAR(function->signature);
  return 0;
}

inline void function_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  PyObject_GC_UnTrack(self);
  function_clear(self);
  delete as_function(self)->params;
  type->tp_free(self);
  Py_DECREF(type);
}

inline PyObject* function_repr(PyObject* self) {
  return PyUnicode_FromFormat("<function %U at %p>", as_function(self)->qualname, self);
}

// Pickled by reference, like Python functions: the module plus the qualified name.
inline PyObject* function_reduce(PyObject* self, PyObject*) { return Py_NewRef(as_function(self)->qualname); }

inline PyObject* objclass(PyObject* self, void*) {
  PyObject* owner = reinterpret_cast<PyObject*>(as_function(self)->owner);
  if (owner == nullptr) {
    PyErr_SetString(PyExc_AttributeError, "__objclass__");
    return nullptr;
  }
  return Py_NewRef(owner);
}

// What the annotation `text` names, evaluated in the callable's module (`globals`): "int" gives
// int, "Optional[object]" typing.Optional[object]; where that fails, the text itself.
inline Ref evaluated_annotation(PyObject* text, PyObject* globals) {
  const char* source = PyUnicode_AsUTF8(text);
  if (source == nullptr) throw PythonError{};
  PyObject* value = PyRun_String(source, Py_eval_input, globals, globals);
  if (value == nullptr) {
    if (!PyErr_ExceptionMatches(PyExc_Exception)) throw PythonError{};
    PyErr_Clear();
    return Ref::borrow(text);
  }
  return Ref::steal(value);
}

// inspect.Signature of the callable, from its declaration: the parameters in order with their
// defaults and annotations, and the return annotation. A method's `self` comes first: positional
// only for a native class, as in its text signature, an ordinary parameter for a plain class.
inline Ref make_signature(FunctionObject* function) {
  Ref inspect = import_module("inspect");
  Ref parameter_class = attribute(inspect.get(), "Parameter"_name);
  Ref empty = attribute(parameter_class.get(), "empty"_name);
  // A copy of the module's namespace: evaluating in a dict gives it __builtins__.
  Ref module = Ref::steal(PyImport_GetModule(function->module));
  check_pending();
  Ref globals = module && PyModule_Check(module.get()) ? checked(PyDict_Copy(PyModule_GetDict(module.get())))
                                                       : checked(PyDict_New());
  auto annotation_of = [&](PyObject* name) {
    PyObject* text = PyDict_GetItemWithError(function->annotations, name);  // borrowed
    if (text == nullptr) {
      check_pending();
      return empty.copy();
    }
    return evaluated_annotation(text, globals.get());
  };
  auto add_parameter = [&](PyObject* parameters, PyObject* name, Name& kind, PyObject* fallback) {
    Ref kind_value = attribute(parameter_class.get(), kind);
    Ref annotation = annotation_of(name);
    Ref parameter = call_with_keywords(parameter_class.get(), {name, kind_value.get()},
                                       {{"default"_name, fallback}, {"annotation"_name, annotation.get()}});
    check(PyList_Append(parameters, parameter.get()));
  };

  Ref parameters = checked(PyList_New(0));
  if (function->is_method) {
    Name& kind = function->owner != nullptr ? "POSITIONAL_ONLY"_name : "POSITIONAL_OR_KEYWORD"_name;
    add_parameter(parameters.get(), "self"_name.get(), kind, empty.get());
  }
  const ParamList& params = *function->params;
  params.intern();
  for (int i = 0; i < params.count(); ++i) {
    const ParamInfo& info = params.info(i);
    Ref fallback = info.has_default ? params.default_object(i) : empty.copy();
    add_parameter(parameters.get(), info.interned, "POSITIONAL_OR_KEYWORD"_name, fallback.get());
  }
  Ref returns = annotation_of("return"_name.get());
  return call_with_keywords(attribute(inspect.get(), "Signature"_name).get(), {parameters.get()},
                            {{"return_annotation"_name, returns.get()}});
}

inline PyObject* function_signature(PyObject* self, void*) {
  FunctionObject* function = as_function(self);
  if (function->signature == nullptr) {
    PyObject* made = guarded([&] { return make_signature(function).release(); });
    if (made == nullptr) return nullptr;
    Py_XSETREF(function->signature, made);  // evaluating an annotation may have made one already
  }
  return Py_NewRef(function->signature);
}

#define EXTKIT_FUNCTION_FIELD(field)                                                        \
  [](PyObject* self, void*) -> PyObject* { return Py_NewRef(as_function(self)->field); }

inline PyGetSetDef function_getset[] = {
    {"__name__", EXTKIT_FUNCTION_FIELD(name), nullptr, nullptr, nullptr},
    {"__qualname__", EXTKIT_FUNCTION_FIELD(qualname), nullptr, nullptr, nullptr},
    {"__module__", EXTKIT_FUNCTION_FIELD(module), nullptr, nullptr, nullptr},
    {"__doc__", EXTKIT_FUNCTION_FIELD(doc), nullptr, nullptr, nullptr},
    {"__annotations__", EXTKIT_FUNCTION_FIELD(annotations), nullptr, nullptr, nullptr},
    {"__text_signature__", EXTKIT_FUNCTION_FIELD(text_signature), nullptr, nullptr, nullptr},
    {"__objclass__", objclass, nullptr, nullptr, nullptr},
    {"__signature__", function_signature, nullptr, nullptr, nullptr},
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

  // The two types differ in __get__ only: a method binds to instances, a function does not (as
  // with builtin functions; having __get__ at all lets inspect read __text_signature__).
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
  static PyType_Slot function_slots[std::size(method_slots)];
  std::copy(std::begin(method_slots), std::end(method_slots), function_slots);
  function_slots[0] = {Py_tp_descr_get, reinterpret_cast<void*>(function_get)};
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

// A typed callable, made by def<Body>(name, param<...>(...)...): its parameter list and entry
// points, with the return annotation and docstring set by chaining:
//   def<body>("name", param<Double>("x")).returns("float").doc("...")
struct Callable {
  const char* name;
  std::unique_ptr<ParamList> params;
  vectorcallfunc method_entry;    // binds `self` from the first argument
  vectorcallfunc function_entry;  // passes the function's own `self` (its module)
  const char* return_annotation = nullptr;
  const char* docstring = nullptr;

  Callable&& returns(const char* annotation) && {
    return_annotation = annotation;
    return std::move(*this);
  }
  Callable&& doc(const char* text) && {
    docstring = text;
    return std::move(*this);
  }
};

// `Body` is `R body(PyObject* self, typename Converters::type...)`; R is Ref, void or a native
// value with a to_python() overload.
template <auto Body, class... Converters>
Callable def(const char* name, TypedParam<Converters>... params) {
  return Callable{name, std::make_unique<Params<Converters...>>(name, params...),
                  &detail::typed_vectorcall<Body, true, Converters...>,
                  &detail::typed_vectorcall<Body, false, Converters...>};
}

// Where the callable lives: its qualified name, module name, whether it binds, the native class
// that `self` must belong to (null: any object, as for methods of plain Python classes), and
// for module functions the module their body receives as `self`.
struct FunctionPlace {
  PyObject* qualname;
  PyObject* module;
  bool is_method;
  PyTypeObject* owner;
  PyObject* self = nullptr;
};

namespace detail {

// A function object with everything but its body and parameters.
inline Ref new_function_object(const char* name, const char* doc, const FunctionPlace& place) {
  PyTypeObject* type = callable_type(place.is_method);
  Ref object = checked(type->tp_alloc(type, 0));
  FunctionObject* function = as_function(object.get());
  function->is_method = place.is_method;
  function->owner = reinterpret_cast<PyTypeObject*>(Py_XNewRef(reinterpret_cast<PyObject*>(place.owner)));
  function->self = Py_XNewRef(place.self);
  function->name = checked(PyUnicode_FromString(name)).release();
  function->qualname = Py_NewRef(place.qualname);
  function->module = Py_NewRef(place.module != nullptr ? place.module : Py_None);
  function->doc = doc != nullptr ? checked(PyUnicode_FromString(doc)).release() : Py_NewRef(Py_None);
  return object;
}

inline void add_annotation(PyObject* annotations, const char* name, const char* annotation) {
  if (annotation != nullptr) check(PyDict_SetItemString(annotations, name, py_str(annotation).get()));
}

}  // namespace detail

inline Ref make_function(Callable&& callable, const FunctionPlace& place) {
  Ref object = detail::new_function_object(callable.name, callable.docstring, place);
  FunctionObject* function = detail::as_function(object.get());
  const ParamList& params = *callable.params;
  params.intern();
  function->params = callable.params.release();
  function->vectorcall = place.is_method ? callable.method_entry : callable.function_entry;
  const ParamList::Self self = !place.is_method         ? ParamList::Self::none
                               : place.owner != nullptr ? ParamList::Self::positional_only
                                                        : ParamList::Self::ordinary;
  function->text_signature = params.text_signature(self).release();
  Ref annotations = checked(PyDict_New());
  for (int i = 0; i < params.count(); ++i) {
    detail::add_annotation(annotations.get(), params.info(i).name, params.info(i).annotation);
  }
  detail::add_annotation(annotations.get(), "return", callable.return_annotation);
  function->annotations = annotations.release();
  return object;
}

// A function of `module`, bound in it under its name; its body receives the module as
// `self`. Returns the function (borrowed from the module).
inline PyObject* add_function(PyObject* module, Callable&& callable) {
  const char* name = callable.name;
  Ref module_name = checked(PyModule_GetNameObject(module));
  Ref qualname = py_str(name);
  Ref function = make_function(std::move(callable), {qualname.get(), module_name.get(), false, nullptr, module});
  check(PyModule_AddObjectRef(module, name, function.get()));
  return function.get();
}

}  // namespace extkit
