// Native classes: creation from a spec, methods, py_ aliases, pickling refusal, the table of
// internal entry points, properties and methods that Python subclasses may override.
#pragma once

#include <cstdint>
#include <type_traits>
#include <vector>

#include "extkit/function.hpp"
#include "extkit/object.hpp"

namespace extkit {

// ---------------------------------------------------------------------------------------------
// Classes

// What makes one native class; make_class() below builds it. Arrays given here (properties,
// other slots) live as long as the class: define them at namespace scope.
struct ClassSpec {
  const char* name;           // "klavrix.package.module.Class"
  int basicsize;              // sizeof the instance struct
  const char* doc = nullptr;  // "Class(arguments)\n--\n\n..." gives the class its text signature
  newfunc construct;
  destructor dealloc;
  PyGetSetDef* properties = nullptr;
  traverseproc traverse = nullptr;  // when set, instances take part in cyclic GC
  inquiry clear = nullptr;
  const PyType_Slot* other_slots = nullptr;  // any further slots, ending with {0, nullptr}
  bool subclassable = true;
};

// Creates a native class bound to `module`. Native classes are immutable: methods are added by
// add_method() below and attributes cannot be set from Python.
inline PyTypeObject* make_type(PyObject* module, const ClassSpec& spec) {
  std::vector<PyType_Slot> slots = {{Py_tp_new, reinterpret_cast<void*>(spec.construct)},
                                    {Py_tp_dealloc, reinterpret_cast<void*>(spec.dealloc)}};
  if (spec.doc != nullptr) slots.push_back({Py_tp_doc, const_cast<char*>(spec.doc)});  // copied into the class
  if (spec.properties != nullptr) slots.push_back({Py_tp_getset, spec.properties});
  if (spec.traverse != nullptr) slots.push_back({Py_tp_traverse, reinterpret_cast<void*>(spec.traverse)});
  if (spec.clear != nullptr) slots.push_back({Py_tp_clear, reinterpret_cast<void*>(spec.clear)});
  for (const PyType_Slot* slot = spec.other_slots; slot != nullptr && slot->slot != 0; ++slot) slots.push_back(*slot);
  slots.push_back({0, nullptr});
  unsigned int flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE;
  if (spec.subclassable) flags |= Py_TPFLAGS_BASETYPE;
  if (spec.traverse != nullptr) flags |= Py_TPFLAGS_HAVE_GC;
  PyType_Spec type_spec = {spec.name, spec.basicsize, 0, flags, slots.data()};
  return reinterpret_cast<PyTypeObject*>(checked(PyType_FromModuleAndSpec(module, &type_spec, nullptr)).release());
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

// py_<name> for each name: the Python-callable forms under their second name, bound to the very
// same method objects.
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

// The table that the class `type` itself publishes under `capsule_name`, or null when it
// publishes none (a subclass inherits the attribute, not the place where it is defined).
template <class Table>
const Table* published_api(PyObject* type, const char* capsule_name) {
  if (!PyType_Check(type)) return nullptr;
  Ref own_attributes = checked(PyType_GetDict(reinterpret_cast<PyTypeObject*>(type)));
  PyObject* capsule = PyDict_GetItemWithError(own_attributes.get(), "__native_api__"_name.get());  // borrowed
  if (capsule == nullptr) {
    check_pending();
    return nullptr;
  }
  if (!PyCapsule_IsValid(capsule, capsule_name)) return nullptr;
  return static_cast<const Table*>(PyCapsule_GetPointer(capsule, capsule_name));
}

// ---------------------------------------------------------------------------------------------
// The usual native class: created in `module`, pickling refused, its table of native entry
// points published when it has one; add_class() binds it in the module under `short_name`
// (after the caller has added its methods, so that the module shows it complete).

struct NativeApi {
  const void* table = nullptr;
  const char* capsule_name = nullptr;
};

inline PyTypeObject* make_class(PyObject* module, const ClassSpec& spec, NativeApi api = {}) {
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

// tp_dealloc of a class in cyclic GC: `Release` drops the instance's references and ends its
// native fields, within the trashcan, so that a long chain of such objects (each holding the
// next) is freed without deep recursion.
template <void (*Release)(PyObject*)>
void gc_dealloc(PyObject* self) {
  PyObject_GC_UnTrack(self);
  Py_TRASHCAN_BEGIN(self, gc_dealloc<Release>) Release(self);
  free_instance(self);
  Py_TRASHCAN_END
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

namespace detail {
template <auto Member>
struct FieldOf;
template <class Object, class Field, Field Object::*Member>
struct FieldOf<Member> {
  using object = Object;
  using field = Field;
};

// The conversion a field's type is assigned through.
template <class Field>
Field to_field(PyObject* value) {
  if constexpr (std::is_same_v<Field, double>) {
    return to_double(value);
  } else if constexpr (std::is_same_v<Field, uint64_t>) {
    return to_uint64(value);
  } else if constexpr (std::is_same_v<Field, uint32_t>) {
    return to_uint32(value);
  } else {
    static_assert(std::is_same_v<Field, int>, "a property field is an int, uint32_t, uint64_t or double");
    return to_int(value);
  }
}
}  // namespace detail

// A read/write property over the native field `Member` (&Object::field), assigned with the
// conversion of the field's type.
template <auto Member>
PyGetSetDef field_property(const char* name, const char* doc = nullptr) {
  using Object = typename detail::FieldOf<Member>::object;
  using Field = typename detail::FieldOf<Member>::field;
  constexpr auto get = [](PyObject* self, void*) -> PyObject* {
    return guarded([&] { return to_python(cast<Object>(self).*Member).release(); });
  };
  constexpr auto set = [](PyObject* self, PyObject* value, void*) -> int {
    if (value == nullptr) return detail::refuse_delete();
    return guarded_status([&] { cast<Object>(self).*Member = detail::to_field<Field>(value); });
  };
  return {name, get, set, doc, nullptr};
}

// ---------------------------------------------------------------------------------------------
// Methods that Python subclasses may override, also when native code calls them.

//   if (Ref method = override_of(self, type, "update"_name, native_update)) {
//     call(method.get(), arguments...);   // the subclass's Python method
//     return;
//   }
//   native_update_body(...);

// self.<name> when `self`'s class, or `self` itself, replaces `native_method` (the method object
// of the native class); an empty Ref when it does not, and the caller then runs the native body.
// An instance of the native class itself costs one type check.
inline Ref override_of(PyObject* self, PyTypeObject* native_type, Name& name, PyObject* native_method) {
  if (Py_IS_TYPE(self, native_type)) [[likely]]
    return Ref();
  Ref found = attribute(self, name);
  PyObject* method = found.get();
  if (PyMethod_Check(method) && PyMethod_GET_FUNCTION(method) == native_method && PyMethod_GET_SELF(method) == self) {
    return Ref();
  }
  return found;
}

}  // namespace extkit
