// Native classes: creation from a spec, methods, py_ aliases, pickling refusal, the table of
// internal entry points, properties and methods that Python subclasses may override.
#pragma once

#include "extkit/function.hpp"

namespace extkit {

// ---------------------------------------------------------------------------------------------
// Classes

// Creates a native class bound to `module` (tp_name "package.module.Name"). Native classes are
// immutable: methods are added by add_method() below and attributes cannot be set from Python.
inline PyTypeObject* make_type(PyObject* module, PyType_Spec& spec) {
  spec.flags |= Py_TPFLAGS_IMMUTABLETYPE;
  return reinterpret_cast<PyTypeObject*>(checked(PyType_FromModuleAndSpec(module, &spec, nullptr)).release());
}

inline PyObject* as_object(PyTypeObject* type) { return reinterpret_cast<PyObject*>(type); }

// Stores `value` in the class namespace (native classes refuse setattr from Python).
inline void set_class_attribute(PyTypeObject* type, const char* name, PyObject* value) {
  check(PyDict_SetItemString(type->tp_dict, name, value));
  PyType_Modified(type);
}

inline PyObject* class_attribute(PyTypeObject* type, const char* name) {
  PyObject* value = PyDict_GetItemString(type->tp_dict, name);  // borrowed
  if (value == nullptr) raise_format(PyExc_AttributeError, "%s has no attribute '%s'", type->tp_name, name);
  return value;
}

namespace detail {
inline Ref class_qualname(PyObject* type, const char* name) {
  Ref type_qualname = checked(PyObject_GetAttrString(type, "__qualname__"));
  return checked(PyUnicode_FromFormat("%U.%s", type_qualname.get(), name));
}
}  // namespace detail

// A method of a native class; `self` is checked to be an instance of `type`.
inline PyObject* add_method(PyTypeObject* type, Callable&& callable) {
  const char* name = callable.name;
  Ref qualname = detail::class_qualname(as_object(type), name);
  Ref module = checked(PyObject_GetAttrString(as_object(type), "__module__"));
  Ref method = make_function(std::move(callable), {qualname.get(), module.get(), true, type});
  set_class_attribute(type, name, method.get());
  return method.get();  // borrowed from the class namespace
}

// A static method: stored as staticmethod(function), callable on the class or an instance.
inline void add_static_method(PyTypeObject* type, Callable&& callable) {
  const char* name = callable.name;
  Ref qualname = detail::class_qualname(as_object(type), name);
  Ref module = checked(PyObject_GetAttrString(as_object(type), "__module__"));
  Ref function = make_function(std::move(callable), {qualname.get(), module.get(), false, nullptr});
  Ref wrapper = checked(PyStaticMethod_New(function.get()));
  set_class_attribute(type, name, wrapper.get());
}

// Binds `alias` to the very same method object as `name`.
inline void add_alias(PyTypeObject* type, const char* alias, const char* name) {
  set_class_attribute(type, alias, class_attribute(type, name));
}

// py_<name> for each name: the Python-callable forms under their second name.
inline void add_py_aliases(PyTypeObject* type, std::initializer_list<const char*> names) {
  for (const char* name : names) {
    Ref alias = checked(PyUnicode_FromFormat("py_%s", name));
    set_class_attribute(type, PyUnicode_AsUTF8(alias.get()), class_attribute(type, name));
  }
}

// A method for a plain Python class under construction (its namespace dict `ns`); `self` may be
// any object, as with a function defined in a class body.
inline void add_plain_method(PyObject* ns, PyObject* module_name, const char* class_name, Callable&& callable) {
  const char* name = callable.name;
  Ref qualname = checked(PyUnicode_FromFormat("%s.%s", class_name, name));
  Ref method = make_function(std::move(callable), {qualname.get(), module_name, true, nullptr});
  check(PyDict_SetItemString(ns, name, method.get()));
}

// ---------------------------------------------------------------------------------------------
// Pickling refusal: native objects hold state that cannot be rebuilt from a reduce tuple.

namespace detail {
[[noreturn]] inline void refuse_reduce() {
  raise(PyExc_TypeError, "no default __reduce__ due to non-trivial __cinit__");
}
inline Ref refuse_reduce_call(PyObject*) { refuse_reduce(); }
inline Ref refuse_setstate_call(PyObject*, PyObject*) { refuse_reduce(); }
}  // namespace detail

inline void refuse_pickling(PyTypeObject* type) {
  add_method(type, def<detail::refuse_reduce_call>("__reduce__"));
  add_method(type, def<detail::refuse_setstate_call>("__setstate__", param<Object>("state")));
}

// ---------------------------------------------------------------------------------------------
// Internal entry points for native callers: a table of function pointers published on the class
// as a capsule under `__native_api__`, named "<module>.<Class>.__native_api__".

inline void publish_api(PyTypeObject* type, const void* table, const char* capsule_name) {
  Ref capsule = checked(PyCapsule_New(const_cast<void*>(table), capsule_name, nullptr));
  set_class_attribute(type, "__native_api__", capsule.get());
}

// ---------------------------------------------------------------------------------------------
// The usual native class: created in `module`, pickling refused, its table of native entry
// points published when it has one; add_class() binds it in the module under `short_name`
// (after the caller has added its methods, so that the module shows it complete).

struct NativeApi {
  const void* table = nullptr;
  const char* capsule_name = nullptr;
};

inline PyTypeObject* make_class(PyObject* module, PyType_Spec& spec, NativeApi api = {}) {
  PyTypeObject* type = make_type(module, spec);
  refuse_pickling(type);
  if (api.table != nullptr) publish_api(type, api.table, api.capsule_name);
  return type;
}

inline void add_class(PyObject* module, PyTypeObject* type) {
  check(PyModule_AddObjectRef(module, _PyType_Name(type), as_object(type)));
}

// ---------------------------------------------------------------------------------------------
// Instances

template <class Object>
Object& cast(PyObject* self) {
  return *reinterpret_cast<Object*>(self);
}

// A new, zero-filled instance of `type` (a native class or a Python subclass of one).
inline Ref allocate(PyTypeObject* type) { return checked(type->tp_alloc(type, 0)); }

// The last step of tp_dealloc for instances of heap classes and their subclasses.
inline void free_instance(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  type->tp_free(self);
  Py_DECREF(type);
}

// ---------------------------------------------------------------------------------------------
// Properties: converted on assignment, never deletable.

namespace detail {
inline int refuse_delete() {
  PyErr_SetString(PyExc_NotImplementedError, "__del__");
  return -1;
}
}  // namespace detail

// Getter from `Ref get(PyObject* self)`.
template <auto Get>
PyObject* property_get(PyObject* self, void*) {
  return guarded([&] { return Get(self).release(); });
}

// Setter from `void set(PyObject* self, PyObject* value)`; deletion raises NotImplementedError.
template <auto Set>
int property_set(PyObject* self, PyObject* value, void*) {
  if (value == nullptr) return detail::refuse_delete();
  return guarded_status([&] { Set(self, value); });
}

// A read/write property over a native field `Member` of `Object`, assigned through `Convert`.
template <class Object, auto Member, auto Convert>
PyGetSetDef field_property(const char* name, const char* doc = nullptr) {
  constexpr auto get = [](PyObject* self, void*) -> PyObject* {
    return guarded([&] { return to_python(cast<Object>(self).*Member).release(); });
  };
  constexpr auto set = [](PyObject* self, PyObject* value, void*) -> int {
    if (value == nullptr) return detail::refuse_delete();
    return guarded_status([&] { cast<Object>(self).*Member = Convert(value); });
  };
  return {name, get, set, doc, nullptr};
}

// ---------------------------------------------------------------------------------------------
// Methods that Python subclasses may override, also when native code calls them.

// Returns the result of self.<name>(*args) when `self`'s class, or `self` itself, replaces
// `native_method` (the method object of the native class); an empty Ref when it does not, and
// the caller then runs the native body.
inline Ref call_override(PyObject* self, PyTypeObject* native_type, PyObject* name, PyObject* native_method,
                         std::initializer_list<PyObject*> args) {
  if (Py_IS_TYPE(self, native_type)) return Ref();
  Ref attribute = checked(PyObject_GetAttr(self, name));
  PyObject* found = attribute.get();
  if (PyMethod_Check(found) && PyMethod_GET_FUNCTION(found) == native_method && PyMethod_GET_SELF(found) == self) {
    return Ref();
  }
  return checked(PyObject_Vectorcall(found, args.begin(), args.size(), nullptr));
}

}  // namespace extkit
