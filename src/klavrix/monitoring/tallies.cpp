// klavrix.monitoring.tallies: running statistics over a fixed number of numeric counters.
//
// A CounterAggregator owns one array of plain records; update touches one record and allocates
// nothing, statistics are derived on request. Nothing
// here takes a lock or releases the interpreter lock: holding it is what makes concurrent
// updates from Python threads safe.
#include <cmath>
#include <cstdint>
#include <limits>
#include <utility>

#include "extkit/extkit.hpp"
#include "klavrix/monitoring/tallies/api.hpp"

namespace {

using namespace extkit;
using klavrix::tallies::CounterAggregatorApi;

// The variance comes from Welford's update over the values minus the counter's first value.
// The direct formula (sum of squares / n - mean^2) cancels every digit when the spread is tiny
// beside the magnitude, as with nanosecond latencies and timestamps. Shifting by a value of the
// data bounds the shifted mean by sqrt(n) standard deviations, which keeps Welford's update
// accurate even where the mean itself is rounded. `sum` stays the plain sum: the mean is
// sum / count.
struct CounterRecord {
  uint64_t count;
  double sum;
  double shift;         // the first value since the record was empty
  double shifted_mean;  // mean of (value - shift)
  double squared_deviations;  // sum of (value - mean)^2
  double min;
  double max;
};

constexpr double kInfinity = std::numeric_limits<double>::infinity();
constexpr CounterRecord kEmptyRecord = {0, 0.0, 0.0, 0.0, 0.0, kInfinity, -kInfinity};

struct CounterAggregatorObject {
  PyObject_HEAD
  int num_counters;
  CounterRecord* records;  // num_counters records, owned
};

CounterAggregatorObject& aggregator(PyObject* self) { return cast<CounterAggregatorObject>(self); }

PyTypeObject* aggregator_type = nullptr;

// The class's own method objects, to tell a Python override apart from them.
struct {
  PyObject* update = nullptr;
  PyObject* get_stats = nullptr;
  PyObject* reset = nullptr;
  PyObject* reset_all = nullptr;
  PyObject* get_all_stats = nullptr;
} native;

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
  if (r.count == 1) r.shift = value;
  // Welford's update; an infinite or NaN value makes the deviations NaN for good.
  const double shifted = value - r.shift;
  const double delta = shifted - r.shifted_mean;
  r.shifted_mean += delta / static_cast<double>(r.count);
  r.squared_deviations += delta * (shifted - r.shifted_mean);
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
    variance = r.squared_deviations / n;  // the population variance
    if (variance < 0.0) variance = 0.0;   // rounding in the update; the true variance never is
    std_dev = std::pow(variance, 0.5);  // float ** 0.5 as the interpreter computes it
  }
  Ref stats = checked(_PyDict_NewPresized(6));  // sized once: six keys would otherwise trigger a resize
  set_item(stats.get(), "count"_name, py_uint(r.count));
  set_item(stats.get(), "mean"_name, py_float(mean));
  set_item(stats.get(), "variance"_name, py_float(variance));
  set_item(stats.get(), "std"_name, py_float(std_dev));
  set_item(stats.get(), "min"_name, py_float(r.min));
  set_item(stats.get(), "max"_name, py_float(r.max));
  return stats;
}

Ref counter_stats(PyObject* self, int counter_id) { return stats_dict(record(self, counter_id)); }

void reset_record(PyObject* self, int counter_id) { record(self, counter_id) = kEmptyRecord; }

void reset_all_records(PyObject* self) {
  const int count = aggregator(self).num_counters;
  for (int i = 0; i < count; ++i) aggregator(self).records[i] = kEmptyRecord;
}

// ---------------------------------------------------------------------------------------------
// Dispatch: the Python override when a subclass defines one, else the native body.

void dispatch_update(PyObject* self, int counter_id, double value) {
  if (Ref method = override_of(self, aggregator_type, "update"_name, native.update)) {
    call(method.get(), py_int(counter_id).get(), py_float(value).get());
    return;
  }
  update_record(self, counter_id, value);
}

Ref dispatch_get_stats(PyObject* self, int counter_id) {
  if (Ref method = override_of(self, aggregator_type, "get_stats"_name, native.get_stats)) {
    return check_result_type(call(method.get(), py_int(counter_id).get()), &PyDict_Type);
  }
  return counter_stats(self, counter_id);
}

void dispatch_reset(PyObject* self, int counter_id) {
  if (Ref method = override_of(self, aggregator_type, "reset"_name, native.reset)) {
    call(method.get(), py_int(counter_id).get());
    return;
  }
  reset_record(self, counter_id);
}

void dispatch_reset_all(PyObject* self) {
  if (Ref method = override_of(self, aggregator_type, "reset_all"_name, native.reset_all)) {
    call(method.get());
    return;
  }
  reset_all_records(self);
}

Ref all_stats(PyObject* self) {
  Ref result = checked(PyList_New(0));
  for (int id = 0; id < aggregator(self).num_counters; ++id) {
    if (aggregator(self).records[id].count == 0) continue;
    Ref stats = dispatch_get_stats(self, id);
    check(PyList_Append(result.get(), py_tuple(id, std::move(stats)).get()));
  }
  return result;
}

Ref dispatch_get_all_stats(PyObject* self) {
  if (Ref method = override_of(self, aggregator_type, "get_all_stats"_name, native.get_all_stats)) {
    return check_result_type(call(method.get()), &PyList_Type);
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
// The class

Ref new_aggregator(PyTypeObject* type, int num_counters) {
  // A negative count, taken as an unsigned size, asks for more than can ever be allocated.
  auto* records = static_cast<CounterRecord*>(PyMem_Calloc(static_cast<size_t>(num_counters), sizeof(CounterRecord)));
  if (records == nullptr) raise(PyExc_MemoryError, "Failed to allocate counter storage");
  for (int i = 0; i < num_counters; ++i) records[i] = kEmptyRecord;
  Ref self = Ref::steal(type->tp_alloc(type, 0));
  if (!self) {
    PyMem_Free(records);
    throw PythonError{};
  }
  aggregator(self.get()).num_counters = num_counters;
  aggregator(self.get()).records = records;
  return self;
}

const Params aggregator_init{"__cinit__", param<Int32>("num_counters", 1000)};

PyObject* aggregator_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return guarded([&] {
    auto [num_counters] = aggregator_init.bind(args, kwargs);
    return new_aggregator(type, num_counters).release();
  });
}

void aggregator_dealloc(PyObject* self) {
  PyMem_Free(aggregator(self).records);
  free_instance(self);
}

const ClassSpec aggregator_spec = {
    .name = "klavrix.monitoring.tallies.CounterAggregator", .basicsize = sizeof(CounterAggregatorObject),
    .doc = "CounterAggregator(num_counters=1000)\n--\n\n"
           "Running statistics (count, mean, variance, min, max) for a fixed number "
           "of counters numbered from 0, kept in one native array.\n\n"
           "The mean is sum / count. The variance is the population variance, "
           "kept by Welford's update over the values minus each counter's first "
           "value: the textbook formula (mean of squares minus squared mean) loses "
           "every digit when the spread is tiny beside the magnitude, as with "
           "nanosecond latencies, while the shifted update keeps about 15 digits "
           "at the cost of one division per update. An infinite or NaN value makes "
           "the variance NaN until the counter is reset.\n\n"
           "No per-update Python lock in the hot path: every method runs with the "
           "interpreter lock held, which is what makes concurrent updates safe.",
    .construct = aggregator_new, .dealloc = aggregator_dealloc,
};

// The same object as CounterAggregator(num_counters): the class has no __init__ of its own.
Ref create_aggregator(PyObject*, int num_counters) { return new_aggregator(aggregator_type, num_counters); }

void populate(PyObject* module) {
  PyTypeObject* type =
      make_class(module, aggregator_spec, {&aggregator_api, klavrix::tallies::kCounterAggregatorApiName});
  aggregator_type = type;
  // Python already picked the override when it calls these, so they run the native bodies.
  native.update = add_method(type, def<update_record>("update", param<Int32>("counter_id"), param<Double>("value"))
                                       .doc("Update counter with new value.\n\n"
                                            "Thread-safe for Python callers: it runs entirely with the interpreter "
                                            "lock held, without a Python lock."));
  native.get_stats = add_method(type, def<counter_stats>("get_stats", param<Int32>("counter_id"))
                                          .returns("dict")
                                          .doc("Get statistics for a counter.\n\n"
                                               "Returns dict with count, mean, variance, min, max."));
  native.reset =
      add_method(type, def<reset_record>("reset", param<Int32>("counter_id")).doc("Reset a specific counter."));
  native.reset_all = add_method(type, def<reset_all_records>("reset_all").doc("Reset all counters."));
  native.get_all_stats =
      add_method(type, def<all_stats>("get_all_stats").returns("list").doc("Get statistics for all counters."));
  add_class(module, type);

  add_function(module, def<create_aggregator>("create_aggregator", param<Int32>("num_counters", 1000))
                           .returns("CounterAggregator")
                           .doc("Create a new CounterAggregator instance."));
}

ModuleFrame frame("tallies", "Running statistics over fixed-size arrays of numeric counters.", populate);

}  // namespace

PyMODINIT_FUNC PyInit_tallies() { return frame.init(); }
