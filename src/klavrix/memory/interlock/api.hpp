// Internal entry points of klavrix.memory.interlock.AtomicCounter for other native code.
//
// The table is published on the class as a capsule:
//   PyObject* capsule = PyObject_GetAttrString(AtomicCounter, "__native_api__");
//   auto* api = static_cast<const AtomicCounterApi*>(PyCapsule_GetPointer(capsule, kAtomicCounterApiName));
// Every entry may be called without the interpreter lock and creates no Python object; the
// caller keeps a reference to the counter for the duration of the call.
#pragma once

#include <cstdint>

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace klavrix::interlock {

inline constexpr const char* kAtomicCounterApiName = "klavrix.memory.interlock.AtomicCounter.__native_api__";

struct AtomicCounterApi {
  int64_t (*_c_load)(PyObject* counter);
  void (*_c_store)(PyObject* counter, int64_t value);
  int64_t (*_c_increment)(PyObject* counter, const int64_t* delta);  // delta null: step 1; returns new value
  int64_t (*_c_decrement)(PyObject* counter, const int64_t* delta);  // delta null: step 1; returns new value
  bool (*_c_compare_and_swap)(PyObject* counter, int64_t expected, int64_t new_value);
  int64_t (*_c_fetch_and_add)(PyObject* counter, int64_t delta);      // returns the old value
};

}  // namespace klavrix::interlock
