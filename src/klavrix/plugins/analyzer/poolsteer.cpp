// klavrix.plugins.analyzer.poolsteer: the orchestrator's rules for switching the executor pool.
//
// Detectors over recorded history (performance degradation and trend, workload change, the
// dominant pattern) and the decisions built on them (whether adapting pays off, when to skip,
// memory pressure, fragmentation, urgency, pool scoring, resource prediction). Pure functions
// over plain values: nothing is written after load, so any number of threads may call them.
//
// History walks hold each entry while converting its items: a conversion may run Python code
// (__float__, __iter__) that changes the list, so its length is read again at every step.
#include <algorithm>
#include <array>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "extkit/extkit.hpp"
#include "klavrix/plugins/analyzer/poolsteer/rules.hpp"

namespace {

using namespace extkit;
namespace rules = klavrix::poolsteer;

// Results shared by every call with nothing to report; created at load, kept for the process.
PyObject* no_workload_change = nullptr;  // (False, 0.0, 0.0, 0.0)
PyObject* no_prediction = nullptr;       // (0, 0, 0.0)

// The metrics of a pattern-history entry, in the order of the change result.
const std::array<Name*, 3> metric_keys = {&"parallelization_potential"_name, &"cpu_intensity"_name,
                                          &"memory_intensity"_name};

// ---------------------------------------------------------------------------------------------
// Histories

// len() of a list argument that may be None.
Py_ssize_t length_of(PyObject* list) {
  if (list == Py_None) raise_none_has_no_len();
  return PyList_GET_SIZE(list);
}

// visit(entry) for every entry of `list` in order, each held for the duration of its visit.
template <class Visit>
void for_each_entry(PyObject* list, Visit visit) {
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list); ++i) {
    Ref entry = Ref::borrow(PyList_GET_ITEM(list, i));
    visit(entry.get());
  }
}

struct Point {
  double timestamp;
  double value;
};

// A history entry: exactly two items, the timestamp converted to float before the value.
Point history_point(PyObject* entry) {
  auto [timestamp, value] = unpack<2>(entry);
  const double time = to_double(timestamp.get());
  return {time, to_double(value.get())};
}

// ---------------------------------------------------------------------------------------------
// Detectors

bool detect_performance_degradation(PyObject*, PyObject* history, double baseline, double threshold,
                                    double window_start) {
  // Too short a history or no baseline: nothing to compare, and the entries are not looked at.
  if (history == Py_None || PyList_GET_SIZE(history) < 5 || baseline <= 0.0) return false;
  double sum = 0.0;
  Py_ssize_t recent = 0;
  for_each_entry(history, [&](PyObject* entry) {
    const Point point = history_point(entry);
    if (point.timestamp >= window_start) {
      sum += point.value;
      ++recent;
    }
  });
  if (recent < 5) return false;
  const double average = sum / static_cast<double>(recent);
  return (baseline - average) / baseline > threshold;
}

double calculate_performance_trend(PyObject*, PyObject* history, double window_start) {
  if (history == Py_None || PyList_GET_SIZE(history) < 3) return 0.0;
  rules::TrendAccumulator trend;
  for_each_entry(history, [&](PyObject* entry) {
    const Point point = history_point(entry);
    if (point.timestamp >= window_start) trend.add(point.timestamp, point.value);
  });
  return trend.count() < 3 ? 0.0 : trend.trend();
}

// `sum + value` as the interpreter adds a float and a stored number, back as a float.
double add_number(double sum, PyObject* value) {
  if (PyFloat_CheckExact(value)) return sum + PyFloat_AS_DOUBLE(value);
  if (PyLong_CheckExact(value)) {
    const double number = PyLong_AsDouble(value);  // OverflowError beyond the float range, as float + int
    if (number == -1.0 && PyErr_Occurred()) throw PythonError{};
    return sum + number;
  }
  Ref total = checked(PyNumber_Add(py_float(sum).get(), value));
  return to_double(total.get());
}

// Adds the three metrics of one pattern-history dict onto `sums`.
void add_metrics(PyObject* entry, double (&sums)[3]) {
  for (std::size_t i = 0; i < metric_keys.size(); ++i) {
    PyObject* key = metric_keys[i]->get();
    Ref value = Ref::borrow(PyDict_GetItemWithError(entry, key));
    if (!value) {  // removed since it was checked, by code an earlier addition ran
      check_pending();
      PyErr_SetObject(PyExc_KeyError, key);
      throw PythonError{};
    }
    sums[i] = add_number(sums[i], value.get());
  }
}

Ref detect_workload_characteristics_change(PyObject*, PyObject* history, double change_threshold) {
  const Py_ssize_t n = length_of(history);
  if (n < 6) return Ref::borrow(no_workload_change);

  // The last six entries, oldest first, held before any check can run Python code (a key's
  // __eq__ inside a dict lookup) that changes the list.
  std::array<Ref, 6> window;
  for (std::size_t i = 0; i < window.size(); ++i) {
    window[i] = Ref::borrow(PyList_GET_ITEM(history, n - 6 + static_cast<Py_ssize_t>(i)));
  }
  for (const Ref& entry : window) {
    if (entry.get() == Py_None) raise(PyExc_TypeError, "'NoneType' object is not iterable");
    if (!PyDict_CheckExact(entry.get())) raise_expected("dict", entry.get());
    for (Name* key : metric_keys) {
      if (check(PyDict_Contains(entry.get(), key->get())) == 0) return Ref::borrow(no_workload_change);
    }
  }

  double recent[3] = {0.0, 0.0, 0.0};
  double older[3] = {0.0, 0.0, 0.0};
  for (std::size_t i = 3; i < 6; ++i) add_metrics(window[i].get(), recent);
  for (std::size_t i = 0; i < 3; ++i) add_metrics(window[i].get(), older);

  double changes[3];
  bool changed = false;
  for (std::size_t i = 0; i < 3; ++i) {
    // The difference of the two three-entry means: a multiplication by the double nearest 1/3.
    changes[i] = std::fabs((recent[i] - older[i]) * 0.3333333333333333);
    if (changes[i] > change_threshold) changed = true;
  }
  return py_tuple(changed, changes[0], changes[1], changes[2]);
}

// A pattern name: exactly str, or None.
void check_pattern(PyObject* name) {
  if (name != Py_None && !PyUnicode_CheckExact(name)) raise_expected("str", name);
}

// Names of str or None compare without running Python code.
bool same_name(PyObject* a, PyObject* b) {
  if (a == b) return true;
  if (a == Py_None || b == Py_None) return false;
  return PyUnicode_Compare(a, b) == 0;
}

struct NameCount {
  PyObject* name;
  Py_ssize_t count;
};

// The most frequent of the names, in a table of `capacity` (a power of two, at least twice their
// number) slots, each 0 or 1 + an index into `counts`; ties go to the name seen first. A str's
// hash is cached and, like the comparison of two str, runs no Python code, so the names stay
// borrowed.
PyObject* most_frequent(PyObject* const* names, std::size_t size, NameCount* counts, std::size_t* slots,
                        std::size_t capacity) {
  std::fill(slots, slots + capacity, std::size_t{0});
  std::size_t distinct = 0;
  for (std::size_t i = 0; i < size; ++i) {
    PyObject* name = names[i];
    check_pattern(name);
    std::size_t slot = (name == Py_None ? 0 : static_cast<std::size_t>(PyObject_Hash(name))) & (capacity - 1);
    while (slots[slot] != 0 && !same_name(counts[slots[slot] - 1].name, name)) slot = (slot + 1) & (capacity - 1);
    if (slots[slot] == 0) {
      counts[distinct++] = {name, 0};
      slots[slot] = distinct;
    }
    ++counts[slots[slot] - 1].count;
  }
  PyObject* best = "mixed"_name.get();
  Py_ssize_t best_count = 0;
  for (std::size_t i = 0; i < distinct; ++i) {
    if (counts[i].count > best_count) {
      best = counts[i].name;
      best_count = counts[i].count;
    }
  }
  return best;
}

// The most frequent name among the last window_size entries; a later name wins only with a
// strictly higher count. A usual short window is counted in tables on the stack.
Ref detect_dominant_pattern(PyObject*, PyObject* patterns, int window_size) {
  const Py_ssize_t n = length_of(patterns);
  // A window of 0 or less starts at the end and holds nothing.
  const Py_ssize_t start = std::max<Py_ssize_t>(0, n - window_size);
  if (start >= n) return Ref::borrow("mixed"_name.get());
  PyObject* const* names = &PyList_GET_ITEM(patterns, start);
  const std::size_t size = static_cast<std::size_t>(n - start);
  constexpr std::size_t kOnStack = 32;
  if (size <= kOnStack) {
    NameCount counts[kOnStack];
    std::size_t slots[2 * kOnStack];
    std::size_t capacity = 8;
    while (capacity < 2 * size) capacity *= 2;
    return Ref::borrow(most_frequent(names, size, counts, slots, capacity));
  }
  std::size_t capacity = 2 * kOnStack;
  while (capacity < 2 * size) capacity *= 2;
  std::vector<NameCount> counts(size);
  std::vector<std::size_t> slots(capacity);
  return Ref::borrow(most_frequent(names, size, counts.data(), slots.data(), capacity));
}

// ---------------------------------------------------------------------------------------------
// Decisions

bool is_adaptation_beneficial(PyObject*, PyObject* current_pool, PyObject* recommended_pool, double score,
                              double confidence, double performance_estimate, int trigger_code,
                              double min_improvement_ratio, double min_confidence) {
  if (same_name(current_pool, recommended_pool)) return false;
  if (confidence < min_confidence) return false;
  double required = 0.5;  // no trigger: the estimate and the ratio play no part
  if (trigger_code != 0) required = performance_estimate > 0.0 ? min_improvement_ratio * performance_estimate : 0.6;
  return score > required;
}

bool should_skip_adaptation(PyObject*, double last_adaptation_time, double current_time, double min_interval) {
  return current_time - last_adaptation_time < min_interval;
}

bool detect_memory_pressure(PyObject*, double current_usage, double peak_usage, double pressure_threshold) {
  if (peak_usage <= 0.0 || current_usage < 0.0) return false;
  return current_usage / peak_usage > pressure_threshold;
}

bool detect_fragmentation_threshold(PyObject*, double fragmentation_ratio, double threshold) {
  return !(fragmentation_ratio < 0.0 || fragmentation_ratio <= threshold);
}

double calculate_adaptation_urgency(PyObject*, double performance_degradation, double memory_pressure,
                                    double fragmentation_ratio, bool workload_changed) {
  return rules::adaptation_urgency(performance_degradation, memory_pressure, fragmentation_ratio, workload_changed);
}

double score_pool_recommendation(PyObject*, double workload_fit, double memory_fit, double thread_count_fit,
                                 double historical_success_rate) {
  return rules::pool_score(workload_fit, memory_fit, thread_count_fit, historical_success_rate);
}

// The timestamp of an entry read before the walk: its first item, whatever follows it. The time
// span decides whether the history is walked at all; only the walk requires exactly two items.
double leading_timestamp(PyObject* entry) {
  Ref first;
  if (PyTuple_CheckExact(entry) || PyList_CheckExact(entry)) {
    if (Py_SIZE(entry) > 0) first = Ref::borrow(PySequence_Fast_ITEMS(entry)[0]);
  } else {
    Ref iterator = checked(PyObject_GetIter(entry));
    first = Ref::steal(PyIter_Next(iterator.get()));
    check_pending();
  }
  if (!first) raise_need_more_values(0);
  return to_double(first.get());
}

Ref predict_resource_requirements(PyObject*, PyObject* history, double horizon) {
  const Py_ssize_t n = length_of(history);
  if (n < 10) return Ref::borrow(no_prediction);
  Ref first_entry = Ref::borrow(PyList_GET_ITEM(history, 0));
  Ref last_entry = Ref::borrow(PyList_GET_ITEM(history, n - 1));
  const double first = leading_timestamp(first_entry.get());
  const double span = leading_timestamp(last_entry.get()) - first;
  if (!(span > 0.0)) return Ref::borrow(no_prediction);

  double total_bytes = 0.0;
  for_each_entry(history, [&](PyObject* entry) { total_bytes += history_point(entry).value; });
  const rules::Prediction prediction =
      rules::predict_requirements(horizon, static_cast<std::size_t>(n), span, total_bytes);
  return py_tuple(prediction.allocations, prediction.bytes, prediction.confidence);
}

// ---------------------------------------------------------------------------------------------
// Module

void populate(PyObject* module) {
  add_function(module, def<detect_performance_degradation>("detect_performance_degradation",
                                                           param<ListOrNone>("performance_history"),
                                                           param<Float>("baseline_performance"),
                                                           param<Float>("threshold"), param<Float>("window_start_time"))
                           .returns("bool")
                           .doc("Whether the mean of the values recorded since window_start_time has fallen "
                                "below baseline_performance by more than the fraction threshold.\n\n"
                                "performance_history is a list of (timestamp, value) pairs; at least five "
                                "entries in the window are needed, else the answer is False."));
  add_function(module,
               def<calculate_performance_trend>("calculate_performance_trend", param<ListOrNone>("performance_history"),
                                                param<Float>("window_start_time"))
                   .returns("float")
                   .doc("Least-squares slope of the (timestamp, value) pairs recorded since "
                        "window_start_time, divided by their mean value and clamped to -1.0..1.0.\n\n"
                        "Positive when performance rises. 0.0 with fewer than three pairs in the "
                        "window, equal timestamps or a zero mean."));
  add_function(module, def<detect_workload_characteristics_change>("detect_workload_characteristics_change",
                                                                   param<ListOrNone>("pattern_history"),
                                                                   param<Float>("change_threshold", 0.3))
                           .returns("tuple")
                           .doc("Compare the means of the last three pattern dicts with the three before them.\n\n"
                                "Returns (changed, parallelization change, CPU change, memory change); changed "
                                "is True when any change exceeds change_threshold. Fewer than six entries, or "
                                "a missing metric among the last six, give (False, 0.0, 0.0, 0.0)."));
  add_function(module, def<detect_dominant_pattern>("detect_dominant_pattern", param<ListOrNone>("patterns"),
                                                    param<Int<Int32>>("window_size", 5))
                           .returns("str")
                           .doc("The most frequent pattern name among the last window_size entries; a tie "
                                "goes to the name that occurs first in the window. \"mixed\" for an empty "
                                "window."));
  add_function(module, def<is_adaptation_beneficial>(
                           "is_adaptation_beneficial", param<Str>("current_pool"), param<Str>("recommended_pool"),
                           param<Float>("recommendation_score"), param<Float>("recommendation_confidence"),
                           param<Float>("current_performance_estimate"), param<Int<Int32>>("trigger_code"),
                           param<Float>("min_improvement_ratio", 1.1), param<Float>("min_confidence", 0.6))
                           .returns("bool")
                           .doc("Whether switching to recommended_pool pays off: another pool, confident "
                                "enough, and a score above the required one (min_improvement_ratio times the "
                                "current estimate for a triggered adaptation, 0.6 without an estimate, 0.5 "
                                "without a trigger)."));
  add_function(module, def<should_skip_adaptation>("should_skip_adaptation", param<Float>("last_adaptation_time"),
                                                   param<Float>("current_time"), param<Float>("min_interval"))
                           .returns("bool")
                           .doc("True while less than min_interval has passed since the last adaptation."));
  add_function(module, def<detect_memory_pressure>("detect_memory_pressure", param<Float>("current_usage"),
                                                   param<Float>("peak_usage"), param<Float>("pressure_threshold", 0.8))
                           .returns("bool")
                           .doc("Whether current_usage / peak_usage exceeds pressure_threshold (False "
                                "without a positive peak or with a negative usage)."));
  add_function(
      module, def<detect_fragmentation_threshold>("detect_fragmentation_threshold", param<Float>("fragmentation_ratio"),
                                                  param<Float>("threshold", 0.3))
                  .returns("bool")
                  .doc("Whether a non-negative fragmentation_ratio exceeds threshold."));
  add_function(
      module, def<calculate_adaptation_urgency>("calculate_adaptation_urgency", param<Float>("performance_degradation"),
                                                param<Float>("memory_pressure"), param<Float>("fragmentation_ratio"),
                                                param<Bool>("workload_changed"))
                  .returns("float")
                  .doc("Urgency of an adaptation, 0.0 to 1.0: 0.4 x degradation + 0.3 x memory "
                       "pressure + 0.15 x fragmentation (each counted when positive, capped at 1.0) "
                       "+ 0.15 for a workload change."));
  add_function(module, def<score_pool_recommendation>("score_pool_recommendation", param<Float>("workload_fit"),
                                                      param<Float>("memory_fit"), param<Float>("thread_count_fit"),
                                                      param<Float>("historical_success_rate"))
                           .returns("float")
                           .doc("Fit of a candidate pool, 0.0 to 1.0: 0.35 x workload + 0.3 x memory + 0.2 "
                                "x thread count + 0.15 x past success, each input clamped to 0.0..1.0."));
  add_function(module, def<predict_resource_requirements>("predict_resource_requirements",
                                                          param<ListOrNone>("allocation_history"),
                                                          param<Float>("prediction_horizon_seconds"))
                           .returns("tuple")
                           .doc("Extrapolate the allocation rate of a list of (timestamp, size in bytes) "
                                "entries over prediction_horizon_seconds.\n\n"
                                "Returns (predicted allocations, predicted bytes, confidence); the counts "
                                "truncate toward zero and saturate at the signed 32-bit range (an undefined "
                                "extrapolation, NaN, predicts 0). Fewer than ten entries or no time span give "
                                "(0, 0, 0.0)."));

  if (no_workload_change == nullptr) no_workload_change = py_tuple(false, 0.0, 0.0, 0.0).release();
  if (no_prediction == nullptr) no_prediction = py_tuple(0, 0, 0.0).release();
  log_loaded(module, "Klavrix Poolsteer Cython module loaded - IP protected");
}

ModuleFrame frame("poolsteer", "Change detection and executor-pool adaptation decisions.", populate);

}  // namespace

PyMODINIT_FUNC PyInit_poolsteer() { return frame.init(); }
