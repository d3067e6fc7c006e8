// klavrix.monitoring.tallies: running statistics over a fixed number of numeric counters.
//
// A CounterAggregator owns one array of plain records (count, sum, sum of squares, min, max);
// update touches one record and allocates nothing, statistics are derived on request. Nothing
// here takes a lock or releases the interpreter lock: holding it is what makes concurrent
// updates from Python threads safe.
#include <cmath>
#include <cstdint>
#include <limits>

#include "extkit/extkit.hpp"
#include "klavrix/monitoring/tallies/api.hpp"

namespace {

using namespace extkit;
using klavrix::tallies::CounterAggregatorApi;

struct CounterRecord {
  uint64_t count;
  double sum;
  double sum_of_squares;
  double min;
  double max;
};

constexpr double kInfinity = std::numeric_limits<double>::infinity();
constexpr CounterRecord kEmptyRecord = {0, 0.0, 0.0, kInfinity, -kInfinity};

struct CounterAggregatorObject {
  PyObject_HEAD
  int num_counters;
  CounterRecord* records;  // num_counters records, owned
};

CounterAggregatorObject& aggregator(PyObject* self) { return cast<CounterAggregatorObject>(self); }

PyTypeObject* aggregator_type = nullptr;

// The class's own method objects, to tell a Python override apart from them.
PyObject* native_update = nullptr;
PyObject* native_get_stats = nullptr;
PyObject* native_reset = nullptr;
PyObject* native_reset_all = nullptr;
PyObject* native_get_all_stats = nullptr;

Name update_name{"update"};
Name get_stats_name{"get_stats"};
Name reset_name{"reset"};
Name reset_all_name{"reset_all"};
Name get_all_stats_name{"get_all_stats"};
Name count_key{"count"};
Name mean_key{"mean"};
Name variance_key{"variance"};
Name std_key{"std"};
Name min_key{"min"};
Name max_key{"max"};

CounterRecord& record(PyObject* self, int counter_id) {
  if (counter_id < 0 || counter_id >= aggregator(self).num_counters) {
    raise_format(PyExc_IndexError, "Counter ID %d out of range", counter_id);
  }
  return aggregator(self).records[counter_id];
}

// ---------------------------------------------------------------------------------------------
// Native bodies

void update_record(PyObject* self, int counter_id, double value) {
  CounterRecord& r = record(self, counter_id);
  r.count += 1;  // wraps after 2**64 updates
  r.sum += value;
  r.sum_of_squares += value * value;  // rounded product, then the sum (no contraction)
  // Negated comparisons: a NaN replaces both bounds, and the next value replaces the NaN.
  if (!(value >= r.min)) r.min = value;
  if (!(value <= r.max)) r.max = value;
}

Ref stats_dict(const CounterRecord& r) {
  double mean = 0.0;
  double variance = 0.0;
  double std_dev = 0.0;
  if (r.count != 0) {
    const double n = static_cast<double>(r.count);
    mean = r.sum / n;
    // Population variance by the direct formula, one rounding for the multiply-subtract.
    variance = std::fma(-mean, mean, r.sum_of_squares / n);
    // Rounding can push it below zero for many equal values; the true variance never is.
    if (variance < 0.0) variance = 0.0;
    std_dev = std::pow(variance, 0.5);  // float ** 0.5 as the interpreter computes it
  }
  Ref stats = checked(_PyDict_NewPresized(6));  // sized once: six keys would otherwise trigger a resize
  auto set = [&](Name& key, Ref value) { check(PyDict_SetItem(stats.get(), key.get(), value.get())); };
  set(count_key, py_uint(r.count));
  set(mean_key, py_float(mean));
  set(variance_key, py_float(variance));
  set(std_key, py_float(std_dev));
  set(min_key, py_float(r.min));
  set(max_key, py_float(r.max));
  return stats;
}

void reset_record(PyObject* self, int counter_id) { record(self, counter_id) = kEmptyRecord; }

void reset_all_records(PyObject* self) {
  const int count = aggregator(self).num_counters;
  for (int i = 0; i < count; ++i) aggregator(self).records[i] = kEmptyRecord;
}

// ---------------------------------------------------------------------------------------------
// Dispatch: the Python override when a subclass defines one, else the native body.

void dispatch_update(PyObject* self, int counter_id, double value) {
  Ref id = py_int(counter_id);
  Ref number = py_float(value);
  if (call_override(self, aggregator_type, update_name.get(), native_update, {id.get(), number.get()})) return;
  update_record(self, counter_id, value);
}

Ref dispatch_get_stats(PyObject* self, int counter_id) {
  Ref id = py_int(counter_id);
  if (Ref result = call_override(self, aggregator_type, get_stats_name.get(), native_get_stats, {id.get()})) {
    return check_result_type(std::move(result), &PyDict_Type);
  }
  return stats_dict(record(self, counter_id));
}

void dispatch_reset(PyObject* self, int counter_id) {
  Ref id = py_int(counter_id);
  if (call_override(self, aggregator_type, reset_name.get(), native_reset, {id.get()})) return;
  reset_record(self, counter_id);
}

void dispatch_reset_all(PyObject* self) {
  if (call_override(self, aggregator_type, reset_all_name.get(), native_reset_all, {})) return;
  reset_all_records(self);
}

Ref all_stats(PyObject* self) {
  Ref result = checked(PyList_New(0));
  for (int id = 0; id < aggregator(self).num_counters; ++id) {
    if (aggregator(self).records[id].count == 0) continue;
    Ref stats = dispatch_get_stats(self, id);
    Ref key = py_int(id);
    Ref pair = checked(PyTuple_Pack(2, key.get(), stats.get()));
    check(PyList_Append(result.get(), pair.get()));
  }
  return result;
}

Ref dispatch_get_all_stats(PyObject* self) {
  if (Ref result = call_override(self, aggregator_type, get_all_stats_name.get(), native_get_all_stats, {})) {
    return check_result_type(std::move(result), &PyList_Type);
  }
  return all_stats(self);
}

const CounterAggregatorApi aggregator_api = {
    [](PyObject* self, int counter_id, double value) {
      return guarded_status([&] { dispatch_update(self, counter_id, value); });
    },
    [](PyObject* self, int counter_id) { return guarded([&] { return dispatch_get_stats(self, counter_id).release(); }); },
    [](PyObject* self, int counter_id) { return guarded_status([&] { dispatch_reset(self, counter_id); }); },
    [](PyObject* self) { return guarded_status([&] { dispatch_reset_all(self); }); },
    [](PyObject* self) { return guarded([&] { return dispatch_get_all_stats(self).release(); }); },
};

// ---------------------------------------------------------------------------------------------
// Python methods: Python already picked the override, so these run the native bodies.

Ref aggregator_update(PyObject* self, const Args& args) {
  const int counter_id = to_int(args[0]);
  const double value = to_double(args[1]);
  update_record(self, counter_id, value);
  return none();
}

Ref aggregator_get_stats(PyObject* self, const Args& args) { return stats_dict(record(self, to_int(args[0]))); }

Ref aggregator_reset(PyObject* self, const Args& args) {
  reset_record(self, to_int(args[0]));
  return none();
}

Ref aggregator_reset_all(PyObject* self, const Args&) {
  reset_all_records(self);
  return none();
}

Ref aggregator_get_all_stats(PyObject* self, const Args&) { return all_stats(self); }

const Signature aggregator_init_signature{"__cinit__", {{"num_counters", "1000"}}};

PyObject* aggregator_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return guarded([&] {
    ArgBuffer buffer;
    const Args bound = bind(aggregator_init_signature, args, kwargs, buffer);
    const int num_counters = bound.has(0) ? to_int(bound[0]) : 1000;
    // A negative count, taken as an unsigned size, asks for more than can ever be allocated.
    auto* records =
        static_cast<CounterRecord*>(PyMem_Calloc(static_cast<size_t>(num_counters), sizeof(CounterRecord)));
    if (records == nullptr) raise(PyExc_MemoryError, "Failed to allocate counter storage");
    for (int i = 0; i < num_counters; ++i) records[i] = kEmptyRecord;
    Ref self = Ref::steal(type->tp_alloc(type, 0));
    if (!self) {
      PyMem_Free(records);
      throw PythonError{};
    }
    aggregator(self.get()).num_counters = num_counters;
    aggregator(self.get()).records = records;
    return self.release();
  });
}

void aggregator_dealloc(PyObject* self) {
  PyMem_Free(aggregator(self).records);
  free_instance(self);
}

PyType_Slot aggregator_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(aggregator_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(aggregator_dealloc)},
    {Py_tp_doc, const_cast<char*>("CounterAggregator(num_counters=1000)\n--\n\n"
                                  "Running statistics (count, mean, variance, min, max) for a fixed number "
                                  "of counters numbered from 0, kept in one native array.\n\n"
                                  "No per-update Python lock in the hot path: every method runs with the "
                                  "interpreter lock held, which is what makes concurrent updates safe.")},
    {0, nullptr},
};
PyType_Spec aggregator_spec = {"klavrix.monitoring.tallies.CounterAggregator", sizeof(CounterAggregatorObject), 0,
                               Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE, aggregator_slots};

Ref create_aggregator(PyObject*, const Args& args) {
  if (!args.has(0)) return checked(PyObject_CallNoArgs(as_object(aggregator_type)));
  return checked(PyObject_CallOneArg(as_object(aggregator_type), args[0]));
}

void populate(PyObject* module) {
  PyTypeObject* type = make_type(module, aggregator_spec);
  aggregator_type = type;
  native_update = add_method(type, {"update", aggregator_update, {{"counter_id"}, {"value"}}, nullptr,
                                    "Update counter with new value.\n\n"
                                    "Thread-safe for Python callers: it runs entirely with the interpreter "
                                    "lock held, without a Python lock."});
  native_get_stats = add_method(type, {"get_stats", aggregator_get_stats, {{"counter_id"}}, "dict",
                                       "Get statistics for a counter.\n\n"
                                       "Returns dict with count, mean, variance, min, max."});
  native_reset = add_method(type, {"reset", aggregator_reset, {{"counter_id"}}, nullptr, "Reset a specific counter."});
  native_reset_all = add_method(type, {"reset_all", aggregator_reset_all, {}, nullptr, "Reset all counters."});
  native_get_all_stats =
      add_method(type, {"get_all_stats", aggregator_get_all_stats, {}, "list", "Get statistics for all counters."});
  refuse_pickling(type);
  publish_api(type, &aggregator_api, klavrix::tallies::kCounterAggregatorApiName);
  bind(module, "CounterAggregator", as_object(type));

  Ref factory = make_module_function(module, {"create_aggregator", create_aggregator, {{"num_counters", "1000"}},
                                              "CounterAggregator", "Create a new CounterAggregator instance."});
  bind(module, "create_aggregator", factory.get());
}

ModuleFrame frame("tallies", "Running statistics over fixed-size arrays of numeric counters.", populate);

}  // namespace

PyMODINIT_FUNC PyInit_tallies() { return frame.init(); }
