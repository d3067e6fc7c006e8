// klavrix.memory.interlock: the memory layer's synchronisation primitives.
//
// AtomicCounter is the lock-free one: every operation converts its arguments, releases the
// interpreter lock, performs one sequentially consistent atomic instruction on a 64-bit value
// and takes the lock back. The other classes are small lock-based helpers built on
// threading.Lock and on AtomicCounter's native entry points.
#include <atomic>
#include <chrono>
#include <cstdint>
#include <new>

#include "extkit/extkit.hpp"
#include "klavrix/memory/interlock/api.hpp"

namespace {

using namespace extkit;
using klavrix::interlock::AtomicCounterApi;

PyObject* interlock_module = nullptr;  // kept by the module frame for the life of the process
PyTypeObject* atomic_counter_type = nullptr;

Ref new_lock() { return new_threading_lock(interlock_module); }

// =============================================================================================
// AtomicCounter

struct AtomicCounterObject {
  PyObject_HEAD
  std::atomic<int64_t> value;
};
static_assert(std::atomic<int64_t>::is_always_lock_free);

std::atomic<int64_t>& counter_value(PyObject* counter) { return cast<AtomicCounterObject>(counter).value; }

// The internal entry points. Signed atomic arithmetic wraps in two's complement; the new value
// is computed from the returned old one with the same wrap.
int64_t c_load(PyObject* counter) { return counter_value(counter).load(); }
void c_store(PyObject* counter, int64_t value) { counter_value(counter).store(value); }
int64_t c_fetch_and_add(PyObject* counter, int64_t delta) { return counter_value(counter).fetch_add(delta); }
int64_t add_and_get(PyObject* counter, int64_t delta) { return wrapping_add(c_fetch_and_add(counter, delta), delta); }
int64_t subtract_and_get(PyObject* counter, int64_t delta) {
  return wrapping_sub(counter_value(counter).fetch_sub(delta), delta);
}
int64_t c_increment(PyObject* counter, const int64_t* delta) { return add_and_get(counter, delta ? *delta : 1); }
int64_t c_decrement(PyObject* counter, const int64_t* delta) { return subtract_and_get(counter, delta ? *delta : 1); }
bool c_compare_and_swap(PyObject* counter, int64_t expected, int64_t new_value) {
  return counter_value(counter).compare_exchange_strong(expected, new_value);
}

const AtomicCounterApi atomic_counter_api = {
    c_load, c_store, c_increment, c_decrement, c_compare_and_swap, c_fetch_and_add,
};

// Python methods: convert first (the counter is untouched by a conversion error), then one
// atomic instruction without the interpreter lock.
Ref counter_load(PyObject* self, const Args&) {
  return py_int(without_gil([&] { return c_load(self); }));
}

Ref counter_store(PyObject* self, const Args& args) {
  const int64_t value = to_int64(args[0]);
  without_gil([&] { c_store(self, value); });
  return none();
}

Ref counter_increment(PyObject* self, const Args& args) {
  const int64_t delta = args.has(0) ? to_int64(args[0]) : 1;
  return py_int(without_gil([&] { return add_and_get(self, delta); }));
}

Ref counter_decrement(PyObject* self, const Args& args) {
  const int64_t delta = args.has(0) ? to_int64(args[0]) : 1;
  return py_int(without_gil([&] { return subtract_and_get(self, delta); }));
}

Ref counter_compare_and_swap(PyObject* self, const Args& args) {
  const int64_t expected = to_int64(args[0]);
  const int64_t new_value = to_int64(args[1]);
  return py_bool(without_gil([&] { return c_compare_and_swap(self, expected, new_value); }));
}

Ref counter_fetch_and_add(PyObject* self, const Args& args) {
  const int64_t delta = to_int64(args[0]);
  return py_int(without_gil([&] { return c_fetch_and_add(self, delta); }));
}

const Signature counter_init_signature{"__cinit__", {{"initial_value", "0"}}};

PyObject* counter_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return guarded([&] {
    ArgBuffer buffer;
    const Args bound = bind(counter_init_signature, args, kwargs, buffer);
    const int64_t initial = bound.has(0) ? to_int64(bound[0]) : 0;
    Ref self = allocate(type);
    new (&cast<AtomicCounterObject>(self.get()).value) std::atomic<int64_t>(initial);
    return self.release();
  });
}

void counter_dealloc(PyObject* self) { free_instance(self); }

// A new counter for native use in this module.
Ref make_counter(int64_t initial) {
  Ref initial_value = py_int(initial);
  return checked(PyObject_CallOneArg(as_object(atomic_counter_type), initial_value.get()));
}

PyType_Slot counter_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(counter_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(counter_dealloc)},
    {Py_tp_doc, const_cast<char*>("AtomicCounter(initial_value=0)\n--\n\n"
                                  "Lock-free signed 64-bit counter.\n\n"
                                  "Every operation is one sequentially consistent hardware atomic "
                                  "instruction, executed with the interpreter lock released; arithmetic "
                                  "wraps in two's complement. Design targets: increment under 30 ns "
                                  "(about 500 ns with a Python lock), load under 10 ns (about 100 ns in "
                                  "Python), compare-and-swap under 50 ns (about 500 ns with locks).")},
    {0, nullptr},
};
PyType_Spec counter_spec = {"klavrix.memory.interlock.AtomicCounter", sizeof(AtomicCounterObject), 0,
                            Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE, counter_slots};

void create_atomic_counter(PyObject* module) {
  PyTypeObject* type = make_type(module, counter_spec);
  atomic_counter_type = type;
  add_method(type, {"load", counter_load, {}, "int", "Atomically load value."});
  add_method(type, {"store", counter_store, {{"value"}}, nullptr, "Atomically store value."});
  add_method(type, {"increment", counter_increment, {{"delta", "1"}}, "int",
                    "Atomically increment and return new value."});
  add_method(type, {"decrement", counter_decrement, {{"delta", "1"}}, "int",
                    "Atomically decrement and return new value."});
  add_method(type, {"compare_and_swap", counter_compare_and_swap, {{"expected"}, {"new_value"}}, "bool",
                    "Atomically compare and swap."});
  add_method(type, {"fetch_and_add", counter_fetch_and_add, {{"delta"}}, "int", "Atomically fetch and add."});
  for (const char* name : {"load", "store", "increment", "decrement", "compare_and_swap", "fetch_and_add"}) {
    Ref alias = checked(PyUnicode_FromFormat("py_%s", name));
    add_alias(type, PyUnicode_AsUTF8(alias.get()), name);
  }
  refuse_pickling(type);
  publish_api(type, &atomic_counter_api, klavrix::interlock::kAtomicCounterApiName);
  bind(module, "AtomicCounter", as_object(type));
}

// =============================================================================================
// AtomicPointer: a guarded object reference with a version for ABA detection. Lock-based, since
// a lock-free pointer swap would need hazard pointers to be safe under reference counting.

struct AtomicPointerObject {
  PyObject_HEAD
  PyObject* value;  // owned; null stands for None
  uint64_t version;
  PyObject* lock;   // threading.Lock
};

AtomicPointerObject& pointer(PyObject* self) { return cast<AtomicPointerObject>(self); }

// Replaces the held value under the lock; the old reference is released after the lock is left.
void replace_pointer(AtomicPointerObject& self, PyObject* new_value, Ref& old_value) {
  old_value = Ref::steal(self.value);
  self.value = new_value == Py_None ? nullptr : Py_NewRef(new_value);
  ++self.version;
}

Ref pointer_load(PyObject* self, const Args&) {
  LockHold hold(pointer(self).lock);
  return Ref::borrow(pointer(self).value != nullptr ? pointer(self).value : Py_None);
}

Ref pointer_store(PyObject* self, const Args& args) {
  Ref old_value;
  {
    LockHold hold(pointer(self).lock);
    replace_pointer(pointer(self), args[0], old_value);
  }
  return none();
}

Ref pointer_compare_and_swap(PyObject* self, const Args& args) {
  Ref old_value;
  bool swapped = false;
  {
    LockHold hold(pointer(self).lock);
    PyObject* current = pointer(self).value != nullptr ? pointer(self).value : Py_None;
    if (current == args[0]) {
      replace_pointer(pointer(self), args[1], old_value);
      swapped = true;
    }
  }
  return py_bool(swapped);
}

Ref pointer_get_version(PyObject* self, const Args&) {
  LockHold hold(pointer(self).lock);
  return py_uint(pointer(self).version);
}

const Signature pointer_init_signature{"__cinit__", {{"initial_value", "None"}}};

PyObject* pointer_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return guarded([&] {
    ArgBuffer buffer;
    const Args bound = bind(pointer_init_signature, args, kwargs, buffer);
    Ref lock = new_lock();
    Ref self = allocate(type);
    PyObject* initial = bound.get_or(0, Py_None);
    pointer(self.get()).value = initial == Py_None ? nullptr : Py_NewRef(initial);
    pointer(self.get()).lock = lock.release();
    return self.release();
  });
}

int pointer_traverse(PyObject* self, visitproc visit, void* arg) {
  Py_VISIT(Py_TYPE(self));
  Py_VISIT(pointer(self).value);
  return 0;
}

int pointer_clear(PyObject* self) {
  Py_CLEAR(pointer(self).value);
  return 0;
}

void pointer_dealloc(PyObject* self) {
  PyObject_GC_UnTrack(self);
  Py_TRASHCAN_BEGIN(self, pointer_dealloc)  // long chains of pointers to pointers
  pointer_clear(self);
  Py_CLEAR(pointer(self).lock);
  free_instance(self);
  Py_TRASHCAN_END
}

PyType_Slot pointer_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(pointer_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(pointer_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(pointer_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(pointer_clear)},
    {Py_tp_doc, const_cast<char*>("AtomicPointer(initial_value=None)\n--\n\n"
                                  "Object reference guarded by a threading.Lock, with a version that "
                                  "every replacement raises (for ABA detection).")},
    {0, nullptr},
};
PyType_Spec pointer_spec = {"klavrix.memory.interlock.AtomicPointer", sizeof(AtomicPointerObject), 0,
                            Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC, pointer_slots};

void create_atomic_pointer(PyObject* module) {
  PyTypeObject* type = make_type(module, pointer_spec);
  add_method(type, {"load", pointer_load, {}, "Optional[object]",
                    "Return the current pointer value: a Python object, or None."});
  add_method(type, {"store", pointer_store, {{"value"}}, nullptr, "Store a new pointer value and raise the version."});
  add_method(type, {"compare_and_swap", pointer_compare_and_swap, {{"expected"}, {"new_value"}}, "bool",
                    "Replace the value with new_value if it is expected (by identity); True if the swap occurred."});
  add_method(type, {"get_version", pointer_get_version, {}, "int", "Get current version for ABA detection."});
  refuse_pickling(type);
  bind(module, "AtomicPointer", as_object(type));
}

// =============================================================================================
// LockFreeStack: push and pop serialised by a threading.Lock; the size is an atomic counter so
// that readers of size() never wait.

struct StackNode {
  PyObject* item;  // owned
  StackNode* next;
};

struct LockFreeStackObject {
  PyObject_HEAD
  StackNode* top;
  std::atomic<int64_t> size;
  PyObject* lock;  // threading.Lock
};

LockFreeStackObject& stack(PyObject* self) { return cast<LockFreeStackObject>(self); }

Ref stack_push(PyObject* self, const Args& args) {
  {
    LockHold hold(stack(self).lock);  // first: waiting for it may raise (a signal handler)
    auto* node = static_cast<StackNode*>(PyMem_Malloc(sizeof(StackNode)));
    if (node == nullptr) raise(PyExc_MemoryError, "Failed to allocate stack node");
    node->item = Py_NewRef(args[0]);
    node->next = stack(self).top;
    stack(self).top = node;
    stack(self).size.fetch_add(1);
  }
  return none();
}

Ref stack_pop(PyObject* self, const Args&) {
  StackNode* node;
  {
    LockHold hold(stack(self).lock);
    node = stack(self).top;
    if (node == nullptr) return none();
    stack(self).top = node->next;
    stack(self).size.fetch_sub(1);
  }
  Ref item = Ref::steal(node->item);
  PyMem_Free(node);
  return item;
}

Ref stack_is_empty(PyObject* self, const Args&) { return py_bool(stack(self).size.load() == 0); }

Ref stack_size(PyObject* self, const Args&) { return py_int(stack(self).size.load()); }

const Signature no_arguments_init_signature{"__cinit__", {}};

PyObject* stack_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return guarded([&] {
    ArgBuffer buffer;
    bind(no_arguments_init_signature, args, kwargs, buffer);
    Ref lock = new_lock();
    Ref self = allocate(type);
    new (&stack(self.get()).size) std::atomic<int64_t>(0);
    stack(self.get()).lock = lock.release();
    return self.release();
  });
}

int stack_traverse(PyObject* self, visitproc visit, void* arg) {
  Py_VISIT(Py_TYPE(self));
  for (StackNode* node = stack(self).top; node != nullptr; node = node->next) Py_VISIT(node->item);
  return 0;
}

// Detaches the whole chain first, so that code run by releasing an item sees an empty stack.
int stack_clear(PyObject* self) {
  StackNode* node = stack(self).top;
  stack(self).top = nullptr;
  stack(self).size.store(0);
  while (node != nullptr) {
    StackNode* next = node->next;
    Py_DECREF(node->item);
    PyMem_Free(node);
    node = next;
  }
  return 0;
}

void stack_dealloc(PyObject* self) {
  PyObject_GC_UnTrack(self);
  Py_TRASHCAN_BEGIN(self, stack_dealloc)  // stacks nested in stacks
  stack_clear(self);
  Py_CLEAR(stack(self).lock);
  free_instance(self);
  Py_TRASHCAN_END
}

PyType_Slot stack_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(stack_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(stack_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(stack_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(stack_clear)},
    {Py_tp_doc, const_cast<char*>("LockFreeStack()\n--\n\n"
                                  "Last-in first-out stack: push and pop are serialised by a "
                                  "threading.Lock, the size is a lock-free atomic counter.")},
    {0, nullptr},
};
PyType_Spec stack_spec = {"klavrix.memory.interlock.LockFreeStack", sizeof(LockFreeStackObject), 0,
                          Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC, stack_slots};

void create_lock_free_stack(PyObject* module) {
  PyTypeObject* type = make_type(module, stack_spec);
  add_method(type, {"push", stack_push, {{"item"}}, nullptr, "Push an item onto the stack."});
  add_method(type, {"pop", stack_pop, {}, "Optional[object]", "Pop the top item; None when the stack is empty."});
  add_method(type, {"is_empty", stack_is_empty, {}, "bool", "True when the stack holds no items."});
  add_method(type, {"size", stack_size, {}, "int", "Number of items (approximate while other threads push or pop)."});
  refuse_pickling(type);
  bind(module, "LockFreeStack", as_object(type));
}

// =============================================================================================
// LockFreeStatistics: allocation statistics in AtomicCounters (public attributes), updated
// lock-free; a threading.Lock makes snapshot and reset consistent with each other.

constexpr const char* statistic_names[] = {
    "total_allocations",    "total_deallocations",  "current_allocations",     "bytes_allocated",
    "bytes_reserved",       "peak_allocations",     "peak_bytes_allocated",    "bucketed_allocations",
    "fallback_allocations", "alignment_padding_bytes", "total_allocation_time_ns", "total_deallocation_time_ns",
};
constexpr int statistic_count = sizeof(statistic_names) / sizeof(statistic_names[0]);

enum Statistic : int {
  total_allocations,
  total_deallocations,
  current_allocations,
  bytes_allocated,
  bytes_reserved,
  peak_allocations,
  peak_bytes_allocated,
  bucketed_allocations,
  fallback_allocations,
  alignment_padding_bytes,
  total_allocation_time_ns,
  total_deallocation_time_ns,
};

struct LockFreeStatisticsObject {
  PyObject_HEAD
  PyObject* counters[statistic_count];  // AtomicCounter instances, owned
  PyObject* lock;                       // threading.Lock
};

LockFreeStatisticsObject& statistics(PyObject* self) { return cast<LockFreeStatisticsObject>(self); }
PyObject* counter_of(PyObject* self, Statistic which) { return statistics(self).counters[which]; }

void raise_peak(PyObject* peak_counter, int64_t value) {
  std::atomic<int64_t>& peak = counter_value(peak_counter);
  int64_t seen = peak.load();
  while (value > seen && !peak.compare_exchange_weak(seen, value)) {
  }
}

void update_peaks(PyObject* self, int64_t allocations, int64_t bytes) {
  raise_peak(counter_of(self, peak_allocations), allocations);
  raise_peak(counter_of(self, peak_bytes_allocated), bytes);
}

void record_allocation(PyObject* self, int64_t size, bool is_bucketed, int64_t padding, int64_t time_ns) {
  c_fetch_and_add(counter_of(self, total_allocations), 1);
  const int64_t allocations = add_and_get(counter_of(self, current_allocations), 1);
  const int64_t bytes = add_and_get(counter_of(self, bytes_allocated), size);
  c_fetch_and_add(counter_of(self, bytes_reserved), wrapping_add(size, padding));
  c_fetch_and_add(counter_of(self, is_bucketed ? bucketed_allocations : fallback_allocations), 1);
  c_fetch_and_add(counter_of(self, alignment_padding_bytes), padding);
  c_fetch_and_add(counter_of(self, total_allocation_time_ns), time_ns);
  update_peaks(self, allocations, bytes);
}

void record_deallocation(PyObject* self, int64_t size, int64_t time_ns) {
  c_fetch_and_add(counter_of(self, total_deallocations), 1);
  c_fetch_and_add(counter_of(self, current_allocations), -1);
  subtract_and_get(counter_of(self, bytes_allocated), size);
  c_fetch_and_add(counter_of(self, total_deallocation_time_ns), time_ns);
}

int64_t annotated_int64(PyObject* value, const char* parameter) {
  return to_int64(annotated_int(value, parameter).get());
}

Ref statistics_record_allocation(PyObject* self, const Args& args) {
  const int64_t size = annotated_int64(args[0], "size");
  const bool is_bucketed = args.has(1) ? to_bool(args[1]) : true;
  const int64_t padding = args.has(2) ? annotated_int64(args[2], "padding") : 0;
  const int64_t time_ns = args.has(3) ? annotated_int64(args[3], "time_ns") : 0;
  record_allocation(self, size, is_bucketed, padding, time_ns);
  return none();
}

Ref statistics_record_deallocation(PyObject* self, const Args& args) {
  const int64_t size = annotated_int64(args[0], "size");
  const int64_t time_ns = args.has(1) ? annotated_int64(args[1], "time_ns") : 0;
  record_deallocation(self, size, time_ns);
  return none();
}

// The earlier forms, still reachable as py_record_allocation / py_record_deallocation.
Ref statistics_record_allocation_v1(PyObject* self, const Args& args) {
  const int64_t size = to_int64(args[0]);
  const bool is_bucketed = to_bool(args[1]);
  const int64_t padding = args.has(2) ? to_int64(args[2]) : 0;
  const int64_t time_ns = args.has(3) ? to_int64(args[3]) : 0;
  record_allocation(self, size, is_bucketed, padding, time_ns);
  return none();
}

Ref statistics_record_deallocation_v1(PyObject* self, const Args& args) {
  const int64_t size = to_int64(args[0]);
  const int64_t time_ns = args.has(1) ? to_int64(args[1]) : 0;
  record_deallocation(self, size, time_ns);
  return none();
}

Ref statistics_update_peaks(PyObject* self, const Args& args) {
  const int64_t allocations = annotated_int64(args[0], "current_allocs");
  const int64_t bytes = annotated_int64(args[1], "current_bytes");
  update_peaks(self, allocations, bytes);
  return none();
}

Ref statistics_get_snapshot(PyObject* self, const Args&) {
  Ref snapshot = checked(PyDict_New());
  LockHold hold(statistics(self).lock);
  for (int i = 0; i < statistic_count; ++i) {
    Ref value = py_int(c_load(statistics(self).counters[i]));
    check(PyDict_SetItemString(snapshot.get(), statistic_names[i], value.get()));
  }
  return snapshot;
}

Ref statistics_reset(PyObject* self, const Args&) {
  LockHold hold(statistics(self).lock);
  for (PyObject* counter : statistics(self).counters) c_store(counter, 0);
  return none();
}

PyObject* statistics_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return guarded([&] {
    ArgBuffer buffer;
    bind(no_arguments_init_signature, args, kwargs, buffer);
    Ref lock = new_lock();
    Ref counters[statistic_count];
    for (Ref& counter : counters) counter = make_counter(0);
    Ref self = allocate(type);
    for (int i = 0; i < statistic_count; ++i) statistics(self.get()).counters[i] = counters[i].release();
    statistics(self.get()).lock = lock.release();
    return self.release();
  });
}

void statistics_dealloc(PyObject* self) {
  for (PyObject*& counter : statistics(self).counters) Py_CLEAR(counter);
  Py_CLEAR(statistics(self).lock);
  free_instance(self);
}

// Properties: each statistic's AtomicCounter; assignment takes another AtomicCounter.
PyObject* statistic_get(PyObject* self, void* closure) {
  return Py_NewRef(statistics(self).counters[reinterpret_cast<intptr_t>(closure)]);
}

int statistic_set(PyObject* self, PyObject* value, void* closure) {
  if (value == nullptr) {
    PyErr_SetString(PyExc_NotImplementedError, "__del__");
    return -1;
  }
  const intptr_t index = reinterpret_cast<intptr_t>(closure);
  if (!PyObject_TypeCheck(value, atomic_counter_type)) {
    PyErr_Format(PyExc_TypeError, "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)",
                 statistic_names[index], "AtomicCounter", type_name(value));
    return -1;
  }
  Py_SETREF(statistics(self).counters[index], Py_NewRef(value));
  return 0;
}

PyGetSetDef statistics_getset[statistic_count + 1] = {};

PyType_Slot statistics_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(statistics_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(statistics_dealloc)},
    {Py_tp_getset, statistics_getset},
    {Py_tp_doc, const_cast<char*>("LockFreeStatistics()\n--\n\n"
                                  "Allocation statistics kept in AtomicCounter attributes and updated "
                                  "lock-free; a minimal lock keeps get_snapshot() and reset() consistent.")},
    {0, nullptr},
};
PyType_Spec statistics_spec = {"klavrix.memory.interlock.LockFreeStatistics", sizeof(LockFreeStatisticsObject), 0,
                               Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE, statistics_slots};

void create_lock_free_statistics(PyObject* module) {
  for (intptr_t i = 0; i < statistic_count; ++i) {
    statistics_getset[i] = {statistic_names[i], statistic_get, statistic_set, nullptr, reinterpret_cast<void*>(i)};
  }
  PyTypeObject* type = make_type(module, statistics_spec);
  add_method(type, {"record_allocation", statistics_record_allocation_v1,
                    {{"size"}, {"is_bucketed"}, {"padding", "0"}, {"time_ns", "0"}}, nullptr,
                    "Record one allocation of size bytes."});
  add_method(type, {"record_deallocation", statistics_record_deallocation_v1, {{"size"}, {"time_ns", "0"}}, nullptr,
                    "Record one deallocation of size bytes."});
  add_alias(type, "py_record_allocation", "record_allocation");
  add_alias(type, "py_record_deallocation", "record_deallocation");
  add_method(type, {"record_allocation", statistics_record_allocation,
                    {{"size", nullptr, "int"}, {"is_bucketed", "True", "bool"}, {"padding", "0", "int"},
                     {"time_ns", "0", "int"}},
                    "None",
                    "Record one allocation: size bytes requested, padding bytes added for alignment, "
                    "served by a size-class bucket or by the fallback path, taking time_ns."});
  add_method(type, {"record_deallocation", statistics_record_deallocation,
                    {{"size", nullptr, "int"}, {"time_ns", "0", "int"}}, "None",
                    "Record one deallocation of size bytes, taking time_ns."});
  add_method(type, {"_update_peaks", statistics_update_peaks,
                    {{"current_allocs", nullptr, "int"}, {"current_bytes", nullptr, "int"}}, "None",
                    "Raise the peak counters to these values (compare-and-swap; never lowers them)."});
  add_method(type, {"get_snapshot", statistics_get_snapshot, {}, "dict", "All statistics as a dict of ints."});
  add_method(type, {"reset", statistics_reset, {}, nullptr, "Set all statistics to zero."});
  refuse_pickling(type);
  bind(module, "LockFreeStatistics", as_object(type));
}

// =============================================================================================
// PerformanceTimer: a monotonic stopwatch (the clock behind time.perf_counter_ns), started at
// construction and restarted by start().

struct PerformanceTimerObject {
  PyObject_HEAD
  int64_t start_ns;
};

int64_t monotonic_ns() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

int64_t elapsed(PyObject* self) { return monotonic_ns() - cast<PerformanceTimerObject>(self).start_ns; }

Ref timer_start(PyObject* self, const Args&) {
  cast<PerformanceTimerObject>(self).start_ns = monotonic_ns();
  return none();
}
Ref timer_elapsed_ns(PyObject* self, const Args&) { return py_int(elapsed(self)); }
Ref timer_elapsed_us(PyObject* self, const Args&) { return py_float(static_cast<double>(elapsed(self)) / 1e3); }
Ref timer_elapsed_ms(PyObject* self, const Args&) { return py_float(static_cast<double>(elapsed(self)) / 1e6); }

PyObject* timer_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return guarded([&] {
    ArgBuffer buffer;
    bind(no_arguments_init_signature, args, kwargs, buffer);
    Ref self = allocate(type);
    cast<PerformanceTimerObject>(self.get()).start_ns = monotonic_ns();
    return self.release();
  });
}

void timer_dealloc(PyObject* self) { free_instance(self); }

PyType_Slot timer_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(timer_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(timer_dealloc)},
    {Py_tp_doc, const_cast<char*>("PerformanceTimer()\n--\n\n"
                                  "Monotonic stopwatch with nanosecond resolution, started on creation.")},
    {0, nullptr},
};
PyType_Spec timer_spec = {"klavrix.memory.interlock.PerformanceTimer", sizeof(PerformanceTimerObject), 0,
                          Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE, timer_slots};

void create_performance_timer(PyObject* module) {
  PyTypeObject* type = make_type(module, timer_spec);
  add_method(type, {"start", timer_start, {}, nullptr, "Start timing."});
  add_method(type, {"elapsed_ns", timer_elapsed_ns, {}, "int", "Get elapsed time in nanoseconds."});
  add_method(type, {"elapsed_us", timer_elapsed_us, {}, "float", "Get elapsed time in microseconds."});
  add_method(type, {"elapsed_ms", timer_elapsed_ms, {}, "float", "Get elapsed time in milliseconds."});
  refuse_pickling(type);
  bind(module, "PerformanceTimer", as_object(type));
}

// =============================================================================================
// AtomicCounterWrapper: an ordinary Python class that forwards to self._counter, looking the
// py_ method up by name at each call.

Name counter_attribute{"_counter"};
Name py_load_name{"py_load"};
Name py_store_name{"py_store"};
Name py_increment_name{"py_increment"};
Name py_decrement_name{"py_decrement"};
Name py_compare_and_swap_name{"py_compare_and_swap"};
Name py_fetch_and_add_name{"py_fetch_and_add"};

Ref forward(PyObject* self, Name& method, std::initializer_list<PyObject*> args) {
  Ref counter = checked(PyObject_GetAttr(self, counter_attribute.get()));
  PyObject* call[3] = {counter.get(), nullptr, nullptr};
  size_t count = 1;
  for (PyObject* arg : args) call[count++] = arg;
  return checked(PyObject_VectorcallMethod(method.get(), call, count, nullptr));
}

Ref wrapper_init(PyObject* self, const Args& args) {
  Ref initial = int_argument(args, 0, "initial_value", 0);
  Ref counter = checked(PyObject_CallOneArg(as_object(atomic_counter_type), initial.get()));
  check(PyObject_SetAttr(self, counter_attribute.get(), counter.get()));
  return none();
}

Ref wrapper_load(PyObject* self, const Args&) { return coerce_int_result(forward(self, py_load_name, {})); }

Ref wrapper_store(PyObject* self, const Args& args) {
  Ref value = annotated_int(args[0], "value");
  forward(self, py_store_name, {value.get()});
  return none();
}

Ref wrapper_increment(PyObject* self, const Args& args) {
  Ref delta = int_argument(args, 0, "delta", 1);
  return coerce_int_result(forward(self, py_increment_name, {delta.get()}));
}

Ref wrapper_decrement(PyObject* self, const Args& args) {
  Ref delta = int_argument(args, 0, "delta", 1);
  return coerce_int_result(forward(self, py_decrement_name, {delta.get()}));
}

Ref wrapper_compare_and_swap(PyObject* self, const Args& args) {
  Ref expected = annotated_int(args[0], "expected");
  Ref new_value = annotated_int(args[1], "new_value");
  return forward(self, py_compare_and_swap_name, {expected.get(), new_value.get()});
}

Ref wrapper_fetch_and_add(PyObject* self, const Args& args) {
  Ref delta = annotated_int(args[0], "delta");
  return coerce_int_result(forward(self, py_fetch_and_add_name, {delta.get()}));
}

void create_atomic_counter_wrapper(PyObject* module) {
  constexpr const char* name = "AtomicCounterWrapper";
  Ref module_name = checked(PyModule_GetNameObject(module));
  Ref ns = checked(PyDict_New());
  check(PyDict_SetItemString(ns.get(), "__module__", module_name.get()));
  check(PyDict_SetItemString(ns.get(), "__qualname__", py_str(name).get()));
  check(PyDict_SetItemString(ns.get(), "__doc__",
                             py_str("Python wrapper for Cython AtomicCounter (backward compatibility).").get()));
  auto method = [&](const FunctionSpec& spec) { add_plain_method(ns.get(), module_name.get(), name, spec); };
  method({"__init__", wrapper_init, {{"initial_value", "0", "int"}}});
  method({"load", wrapper_load, {}, "int"});
  method({"store", wrapper_store, {{"value", nullptr, "int"}}});
  method({"increment", wrapper_increment, {{"delta", "1", "int"}}, "int"});
  method({"decrement", wrapper_decrement, {{"delta", "1", "int"}}, "int"});
  method({"compare_and_swap", wrapper_compare_and_swap, {{"expected", nullptr, "int"}, {"new_value", nullptr, "int"}},
          "bool"});
  method({"fetch_and_add", wrapper_fetch_and_add, {{"delta", nullptr, "int"}}, "int"});
  Ref bases = checked(PyTuple_Pack(1, as_object(&PyBaseObject_Type)));
  Ref cls = checked(PyObject_CallFunction(as_object(&PyType_Type), "sOO", name, bases.get(), ns.get()));
  bind(module, name, cls.get());
}

// =============================================================================================
// Module

void populate(PyObject* module) {
  interlock_module = module;
  bind_import(module, "threading");
  bind_import(module, "time");
  bind_from(module, "typing", {"Optional", "TypeVar", "Generic"});

  create_atomic_counter(module);
  create_atomic_pointer(module);
  create_lock_free_stack(module);
  create_lock_free_statistics(module);
  create_performance_timer(module);
  create_atomic_counter_wrapper(module);

  Ref logger = bind_logger(module);
  log_info(logger.get(), "Klavrix Cython Interlock loaded - C11 atomics active (10-20\xc3\x97 speedup)");
  bind(module, "CYTHON_ATOMICS_AVAILABLE", Py_True);
}

ModuleFrame frame("interlock",
                  "Synchronisation primitives of the memory layer.\n\n"
                  "AtomicCounter is genuinely lock-free: each operation is one hardware atomic instruction "
                  "on a 64-bit value, run with the interpreter lock released.\n"
                  "AtomicPointer is lock-based (a threading.Lock): lock-free pointer operations would need "
                  "hazard pointers to be safe under Python reference counting.\n"
                  "LockFreeStack is lock-based for push and pop, with a lock-free atomic size counter.\n"
                  "LockFreeStatistics uses lock-free counters, with a minimal lock for snapshot and reset "
                  "consistency.\n"
                  "PerformanceTimer is a monotonic nanosecond stopwatch.",
                  populate);

}  // namespace

PyMODINIT_FUNC PyInit_interlock() { return frame.init(); }
