// Internal entry points of klavrix.memory.slabworks for other native code. Each table is
// published on its class as a capsule named "<module>.<Class>.__native_api__":
//   PyObject* capsule = PyObject_GetAttrString(FastSlabHeaderOps, "__native_api__");
//   auto* api = static_cast<const FastSlabHeaderOpsApi*>(PyCapsule_GetPointer(capsule, kFastSlabHeaderOpsApiName));
// No entry creates a Python object, takes a lock or needs the interpreter lock. The caller
// keeps a reference to the object for the duration of the call and serialises access to it.
#pragma once

#include <cstdint>

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace klavrix::slabworks {

inline constexpr const char* kFastSlabHeaderOpsApiName = "klavrix.memory.slabworks.FastSlabHeaderOps.__native_api__";
inline constexpr const char* kFastBucketAllocatorApiName =
    "klavrix.memory.slabworks.FastBucketAllocator.__native_api__";
inline constexpr const char* kFastStatsCollectorApiName = "klavrix.memory.slabworks.FastStatsCollector.__native_api__";

// Indices outside 0..63 name no object (see bitmap.hpp).
struct FastSlabHeaderOpsApi {
  bool (*is_object_free)(PyObject* header, int32_t index);
  void (*allocate_object)(PyObject* header, int32_t index);
  void (*deallocate_object)(PyObject* header, int32_t index);
  int32_t (*find_free_object)(PyObject* header);  // -1: slab full
  uint16_t (*compute_checksum)(PyObject* header);
};

struct FastBucketAllocatorApi {
  int32_t (*get_bucket_size_fast)(PyObject* allocator, int32_t size);  // -1: above medium_block_max
};

// Without the collector's lock: for callers that already serialise.
struct FastStatsCollectorApi {
  void (*record_allocation)(PyObject* collector, int32_t size, int32_t padding, bool is_bucketed);
  void (*record_deallocation)(PyObject* collector);
};

}  // namespace klavrix::slabworks
