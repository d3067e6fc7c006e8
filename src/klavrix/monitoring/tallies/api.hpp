// Internal entry points of klavrix.monitoring.tallies.CounterAggregator, in slot order, for other
// native code. Published on the class as a capsule:
//   PyObject* capsule = PyObject_GetAttrString(CounterAggregator, "__native_api__");
//   auto* api = static_cast<const CounterAggregatorApi*>(PyCapsule_GetPointer(capsule, kCounterAggregatorApiName));
// Each entry needs the interpreter lock and, like the Python-level call, uses a Python
// subclass's override of the method when there is one.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace klavrix::tallies {

inline constexpr const char* kCounterAggregatorApiName = "klavrix.monitoring.tallies.CounterAggregator.__native_api__";

struct CounterAggregatorApi {
  int (*update)(PyObject* aggregator, int counter_id, double value);  // 0, or -1 with an exception set
  PyObject* (*get_stats)(PyObject* aggregator, int counter_id);       // new reference, or NULL
  int (*reset)(PyObject* aggregator, int counter_id);                 // 0, or -1 with an exception set
  int (*reset_all)(PyObject* aggregator);                             // 0, or -1 with an exception set
  PyObject* (*get_all_stats)(PyObject* aggregator);                   // new reference, or NULL
};

}  // namespace klavrix::tallies
