// Internal entry points of klavrix.jit.compilegate for other native code.
//
// Each table is published on its class as a capsule under `__native_api__`:
//   PyObject* capsule = PyObject_GetAttrString(PolicyConfig, "__native_api__");
//   auto* api = static_cast<const PolicyConfigApi*>(PyCapsule_GetPointer(capsule, kPolicyConfigApiName));
// The caller passes an instance of the table's class (subclasses included) and holds the
// interpreter lock.
#pragma once

#include <cstdint>

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace klavrix::compilegate {

inline constexpr const char* kPolicyConfigApiName = "klavrix.jit.compilegate.PolicyConfig.__native_api__";
inline constexpr const char* kFunctionMetricsApiName = "klavrix.jit.compilegate.FunctionMetrics.__native_api__";
inline constexpr const char* kCompilegateApiName = "klavrix.jit.compilegate.Compilegate.__native_api__";

// Plain field reads; they cannot fail.
struct PolicyConfigApi {
  int32_t (*get_initial_threshold_fast)(PyObject* config);
  int32_t (*get_min_threshold_fast)(PyObject* config);
  int32_t (*get_max_threshold_fast)(PyObject* config);
  double (*get_learning_rate_fast)(PyObject* config);
  double (*get_target_speedup_fast)(PyObject* config);
};

// Plain field reads; they cannot fail.
struct FunctionMetricsApi {
  uint64_t (*get_call_count_fast)(PyObject* metrics);
  uint32_t (*get_compile_count_fast)(PyObject* metrics);
  double (*get_avg_speedup_fast)(PyObject* metrics);
  double (*get_last_compiled_fast)(PyObject* metrics);
};

struct CompilegateApi {
  // The function's learned threshold, or the configuration's initial one. To be called with
  // the policy's lock held; `func_id` is a str or None. Returns -1 with a Python error set on
  // failure (check PyErr_Occurred(): -1 is also a valid threshold).
  int32_t (*_get_threshold_fast)(PyObject* gate, PyObject* func_id);
};

}  // namespace klavrix::compilegate
