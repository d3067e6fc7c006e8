// klavrix.testing.extkit_probe: the boundary layer's converters and binding, exposed one by one
// so that tests can reach each of them directly. Built only with -DKLAVRIX_TEST_PROBE=ON.
#include <cstdint>
#include <new>
#include <utility>

#include "extkit/extkit.hpp"

namespace {

using namespace extkit;

// Converters that only these tests use: 8-bit targets of the native integer rule, and an exact
// dict or None.
int8_t to_int8(PyObject* object) {
  return detail::via_integer(object, [](PyObject* n) { return detail::narrow_signed<int8_t>(n, "int8_t"); });
}
uint8_t to_uint8(PyObject* object) {
  return detail::via_integer(object, [](PyObject* n) { return detail::narrow_unsigned<uint8_t>(n, "uint8_t"); });
}
struct Int8 : detail::NativeConverter<int8_t, to_int8, detail::py_signed> {};
struct UInt8 : detail::NativeConverter<uint8_t, to_uint8, detail::py_unsigned> {};
struct DictOrNone : detail::ExactOrNone<&PyDict_Type, detail::dict_name> {};

// Each converter echoes what it produced, as Python sees it.
template <class Value>
Ref echo(PyObject*, Value value) {
  if constexpr (std::is_same_v<Value, PyObject*>) {
    return Ref::borrow(value);
  } else if constexpr (std::is_same_v<Value, Ref>) {
    return value;
  } else {
    return to_python(value);
  }
}

// Seventeen parameters of mixed kinds, the last ones defaulted; returns them as a tuple.
Ref seventeen(PyObject*, double a, double b, double c, double d, double e, double f, double g, double h, double i,
              double j, double k, int l, int m, double n, double o, Ref p, bool q) {
  return checked(Py_BuildValue("(dddddddddddiiddNO)", a, b, c, d, e, f, g, h, i, j, k, l, m, n, o, p.release(),
                               q ? Py_True : Py_False));
}

// Calls `body()` inside `with manager:`; True when it completed, False when __exit__ suppressed
// its exception.
bool run_with_context(PyObject*, PyObject* manager, PyObject* body) {
  return with_context(manager, [&] { call(body); });
}

// callable(positional, keyword=value)
Ref keyword_call(PyObject*, PyObject* callable, PyObject* positional, PyObject* value) {
  return call_with_keywords(callable, {positional}, {{"keyword"_name, value}});
}

Ref native_tuple(PyObject*, int64_t number, double real, bool flag, PyObject* object) {
  return py_tuple(number, real, flag, "text", object, Ref::borrow(object));
}

// A keyword-callable constructor form: (tuple, dict) binding as tp_new receives it.
const Params init_params{"__cinit__", param<Int64>("first"), param<Double>("second", 2.5), param<Str>("third", none_default)};

Ref bind_tuple_dict(PyObject*, PyObject* args, PyObject* kwargs) {
  if (args == Py_None) raise(PyExc_TypeError, "args must be a tuple");
  auto [first, second, third] = init_params.bind(args, kwargs == Py_None ? nullptr : kwargs);
  return py_tuple(first, second, third);
}

// A native class with one typed method, for the method entry points.
struct BoxObject {
  PyObject_HEAD
  int64_t total;
};

int64_t box_add(PyObject* self, int64_t amount, int64_t times) {
  BoxObject& box = cast<BoxObject>(self);
  box.total = wrapping_add(box.total, static_cast<int64_t>(static_cast<uint64_t>(amount) * static_cast<uint64_t>(times)));
  return box.total;
}

PyObject* box_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  static const Params box_params{"__cinit__"};
  return guarded([&] {
    box_params.bind(args, kwargs);
    return allocate(type).release();
  });
}

// The same body as a plain METH_FASTCALL method: the floor the benchmarks compare against.
PyObject* box_add_fastcall(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
  return guarded([&] {
    if (nargs != 2) raise_arity("add_fastcall", 2, 2, nargs);
    return py_int(box_add(self, to_int64(args[0]), to_int64(args[1]))).release();
  });
}

PyMethodDef box_methods[] = {
    {"add_fastcall", reinterpret_cast<PyCFunction>(reinterpret_cast<void*>(box_add_fastcall)), METH_FASTCALL,
     nullptr},
    {nullptr, nullptr, 0, nullptr},
};

const PyType_Slot box_other_slots[] = {
    {Py_tp_methods, box_methods},
    {0, nullptr},
};
const ClassSpec box_spec = {
    .name = "klavrix.testing.extkit_probe.Box", .basicsize = sizeof(BoxObject),
    .construct = box_new, .dealloc = free_instance, .other_slots = box_other_slots,
};

// A private lock, made through the module's `threading.Lock` like a native class makes one.
struct LockBoxObject {
  PyObject_HEAD
  PrivateLock lock;
};

PyObject* lock_box_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  static const Params lock_box_params{"__cinit__"};
  return guarded([&] {
    lock_box_params.bind(args, kwargs);
    Ref made = private_lock_object(ModuleFrame::module());
    Ref self = allocate(type);
    new (&cast<LockBoxObject>(self.get()).lock) PrivateLock(std::move(made));
    return self.release();
  });
}

void lock_box_dealloc(PyObject* self) {
  cast<LockBoxObject>(self).lock.~PrivateLock();
  free_instance(self);
}

// body() with the lock held.
Ref lock_box_hold(PyObject* self, PyObject* body) {
  PrivateLock::Hold hold(cast<LockBoxObject>(self).lock, "LockBox is held by this thread already (re-entrant call)");
  return call(body);
}

// The lock object a replaced threading.Lock made, or None for a native lock.
Ref lock_box_object(PyObject* self) {
  PyObject* object = cast<LockBoxObject>(self).lock.object();
  return Ref::borrow(object != nullptr ? object : Py_None);
}

const ClassSpec lock_box_spec = {
    .name = "klavrix.testing.extkit_probe.LockBox", .basicsize = sizeof(LockBoxObject),
    .construct = lock_box_new, .dealloc = lock_box_dealloc, .subclassable = false,
};

// time.time() through the module's `time` global: ("native", value) while that is the builtin,
// else ("called", what the replacement returned).
StandardFunction probe_time{"time", "time"};

Ref wall_clock(PyObject* module) {
  if (Ref replaced = probe_time.replacement(module)) return py_tuple("called", call(replaced.get()));
  return py_tuple("native", wall_clock_now_seconds());
}

// time.perf_counter_ns() likewise.
StandardFunction probe_perf_counter_ns{"time", "perf_counter_ns"};

Ref perf_counter_ns(PyObject* module) {
  if (Ref replaced = probe_perf_counter_ns.replacement(module)) return py_tuple("called", call(replaced.get()));
  return py_tuple("native", perf_counter_now_ns());
}

void populate(PyObject* module) {
  bind_import(module, "threading");
  Ref time_module = bind_import(module, "time");
  probe_time.capture(time_module.get());
  probe_perf_counter_ns.capture(time_module.get());
  PyTypeObject* lock_box = make_class(module, lock_box_spec);
  add_method(lock_box, def<lock_box_hold>("hold", param<Object>("body")));
  add_method(lock_box, def<lock_box_object>("lock_object"));
  add_class(module, lock_box);
  add_function(module, def<wall_clock>("wall_clock"));
  add_function(module, def<perf_counter_ns>("perf_counter_ns"));

  PyTypeObject* box = make_class(module, box_spec);
  add_method(box, def<box_add>("add", param<Int64>("amount"), param<Int64>("times", 1)).returns("int"));
  add_py_aliases(box, {"add"});
  add_class(module, box);

  add_function(module, def<echo<int8_t>>("int8", param<Int8>("value")));
  add_function(module, def<echo<uint8_t>>("uint8", param<UInt8>("value")));
  add_function(module, def<echo<int>>("int32", param<Int32>("value")));
  add_function(module, def<echo<uint32_t>>("uint32", param<UInt32>("value")));
  add_function(module, def<echo<int64_t>>("int64", param<Int64>("value")));
  add_function(module, def<echo<uint64_t>>("uint64", param<UInt64>("value")));
  add_function(module, def<echo<double>>("double", param<Double>("value")));
  add_function(module, def<echo<bool>>("truth", param<Truth>("value")));
  add_function(module, def<echo<Ref>>("annotated_int", param<AnnotatedInt>("value")));
  add_function(module, def<echo<int64_t>>("annotated_int64", param<AnnotatedInt64>("value")));
  add_function(module, def<echo<PyObject*>>("str_or_none", param<Str>("value")));
  add_function(module, def<echo<PyObject*>>("list_or_none", param<ListOrNone>("value")));
  add_function(module, def<echo<PyObject*>>("tuple_or_none", param<TupleOrNone>("value")));
  add_function(module, def<echo<PyObject*>>("dict_or_none", param<DictOrNone>("value")));
  add_function(module, def<echo<PyObject*>>("bytes_or_none", param<BytesOrNone>("value")));
  add_function(module, def<echo<PyObject*>>("object", param<Object>("value", none_default)));
  add_function(module, def<echo<int64_t>>("int64_default", param<Int64>("value", -7)));
  add_function(module, def<echo<double>>("double_default", param<Float>("value", 0.1)));
  add_function(module, def<echo<Ref>>("annotated_int_default", param<AnnotatedInt>("value", 1000)));
  add_function(module,
               def<seventeen>("seventeen", param<Double>("a"), param<Double>("b"), param<Double>("c"),
                              param<Double>("d"), param<Double>("e"), param<Double>("f"), param<Double>("g"),
                              param<Double>("h"), param<Double>("i"), param<Double>("j"), param<Double>("k"),
                              param<Int<Int32>>("l"), param<Int32>("m").annotated("int"), param<Double>("n", 0.5),
                              param<Double>("o", -1.0), param<AnnotatedInt>("p", 3), param<Bool>("q", true))
                   .returns("tuple")
                   .doc("Seventeen parameters, bound and converted in order."));
  add_function(module, def<run_with_context>("with_context", param<Object>("manager"), param<Object>("body")));
  add_function(module, def<keyword_call>("keyword_call", param<Object>("callable"), param<Object>("positional"),
                                         param<Object>("value")));
  add_function(module, def<native_tuple>("native_tuple", param<Int64>("number"), param<Double>("real"),
                                         param<Truth>("flag"), param<Object>("object")));
  add_function(module, def<bind_tuple_dict>("bind_tuple_dict", param<TupleOrNone>("args"), param<DictOrNone>("kwargs")));
  add_constant(module, "ANSWER", 42);
  add_constant(module, "RATIO", 0.25);
  add_constant(module, "LABEL", "probe");
}

ModuleFrame frame("extkit_probe", "Test-only access to the boundary layer's converters and binding.", populate);

}  // namespace

PyMODINIT_FUNC PyInit_extkit_probe() { return frame.init(); }
