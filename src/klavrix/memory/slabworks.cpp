// klavrix.memory.slabworks: the pooled allocator's slab header, size-class buckets and statistics.
//
// FastSlabHeaderOps wraps one plain SlabHeader (slabworks/slab_header.hpp): bitmap work and
// the CRC run natively and allocate nothing; only pack_header creates an object, its result.
// FastBucketAllocator keeps a dict of Python lists of free offsets, one list per bucket size,
// used as stacks; beside the dict it keeps the same lists ordered by size, so that a lookup
// neither hashes an int nor sorts the keys. FastStatsCollector is five native counters.
//
// Both lock-holding classes take their own lock for every Python method: a native lock private
// to the object (or what a replaced threading.Lock made). Nothing inside those sections runs
// Python code (the lists hold ints made here). The internal entry points (slabworks/api.hpp)
// take no lock.
#include <algorithm>
#include <cstdint>
#include <new>
#include <utility>
#include <vector>

#include "extkit/extkit.hpp"
#include "klavrix/memory/slabworks/api.hpp"
#include "klavrix/memory/slabworks/bitmap.hpp"
#include "klavrix/memory/slabworks/crc16.hpp"
#include "klavrix/memory/slabworks/sizing.hpp"
#include "klavrix/memory/slabworks/slab_header.hpp"

namespace {

using namespace extkit;
namespace sw = klavrix::slabworks;

// Filled once while the module loads, read-only afterwards (also without the interpreter lock).
sw::Crc16Table crc16_table;

void _init_crc16_table() { crc16_table.fill(); }

// =============================================================================================
// FastSlabHeaderOps

struct SlabHeaderObject {
  PyObject_HEAD
  sw::SlabHeader header;
};

sw::SlabHeader& header_of(PyObject* self) { return cast<SlabHeaderObject>(self).header; }

const Params header_init{"__cinit__", param<Int32>("size_class_index"), param<Int32>("objects_per_slab")};

PyObject* header_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return guarded([&] {
    auto [size_class_index, objects_per_slab] = header_init.bind(args, kwargs);
    Ref self = allocate(type);
    new (&header_of(self.get())) sw::SlabHeader(sw::SlabHeader::fresh(size_class_index, objects_per_slab));
    return self.release();
  });
}

Ref pack_header(PyObject* self) {
  Ref packed = checked(PyBytes_FromStringAndSize(nullptr, sw::kHeaderSize));
  sw::SlabHeader& header = header_of(self);
  header.checksum = header.compute_checksum(crc16_table);
  header.encode(reinterpret_cast<uint8_t*>(PyBytes_AS_STRING(packed.get())));
  return packed;
}

void log_corruption(uint16_t stored, uint16_t computed) {
  Ref message = checked(PyUnicode_FromFormat("Header corruption detected: stored=%04x, computed=%04x",
                                             static_cast<unsigned>(stored), static_cast<unsigned>(computed)));
  Ref logger = module_global(ModuleFrame::module(), "logger"_name);
  call_method(logger.get(), "warning"_name, message.get());
}

void unpack_header(PyObject* self, PyObject* data) {
  if (data == Py_None) raise_none_has_no_len();
  const Py_ssize_t length = PyBytes_GET_SIZE(data);
  if (length != static_cast<Py_ssize_t>(sw::kHeaderSize)) {
    raise_format(PyExc_ValueError, "Header must be exactly %zd bytes, got %zd",
                 static_cast<Py_ssize_t>(sw::kHeaderSize), length);
  }
  sw::SlabHeader& header = header_of(self);
  const uint16_t stored = header.decode(reinterpret_cast<const uint8_t*>(PyBytes_AS_STRING(data)));
  const uint16_t computed = header.compute_checksum(crc16_table);
  if (computed != stored) {
    header.flags |= sw::kFlagCorrupt;
    log_corruption(stored, computed);
  }
}

bool py_is_object_free(PyObject* self, int object_index) { return header_of(self).is_object_free(object_index); }
int py_find_free_object(PyObject* self) { return header_of(self).find_free_object(); }
void py_allocate_object_at(PyObject* self, int object_index) { header_of(self).allocate_object(object_index); }
void py_deallocate_object_at(PyObject* self, int object_index) { header_of(self).deallocate_object(object_index); }

const sw::FastSlabHeaderOpsApi header_api = {
    [](PyObject* header, int32_t index) { return header_of(header).is_object_free(index); },
    [](PyObject* header, int32_t index) { header_of(header).allocate_object(index); },
    [](PyObject* header, int32_t index) { header_of(header).deallocate_object(index); },
    [](PyObject* header) { return header_of(header).find_free_object(); },
    [](PyObject* header) { return header_of(header).compute_checksum(crc16_table); },
};

const ClassSpec header_spec = {
    .name = "klavrix.memory.slabworks.FastSlabHeaderOps", .basicsize = sizeof(SlabHeaderObject),
    .doc = "FastSlabHeaderOps(size_class_index, objects_per_slab)\n--\n\n"
           "The header of one slab: size class (its low 8 bits are kept), flags "
           "(0x10 objects handed out, 0x80 corruption seen), a wrapping 32-bit "
           "modification count and a 64-bit free-object bitmap, which starts with "
           "the first objects_per_slab objects free (all 64 from 64 on).\n\n"
           "Object indices outside 0..63, negative ones included, name no object: "
           "they are never free, and allocating or freeing one changes no bit but "
           "still updates the flags and the count.\n\n"
           "Binary form: 16 bytes, struct format \"<BBLHQ\" (size class, flags, "
           "count, CRC-16/MODBUS of bytes 0-5, bitmap).",
    .construct = header_new, .dealloc = free_instance,
};

void create_header_class(PyObject* module) {
  PyTypeObject* type = make_class(module, header_spec, {&header_api, sw::kFastSlabHeaderOpsApiName});
  add_method(type, def<pack_header>("pack_header")
                       .doc("Store the CRC of bytes 0-5 as the checksum and return the 16-byte header."));
  add_method(type, def<unpack_header>("unpack_header", param<BytesOrNone>("data"))
                       .doc("Load a 16-byte header made by pack_header. A CRC that does not match bytes "
                            "0-5 sets flag 0x80 and logs a warning; the loaded values are kept. A wrong "
                            "length raises ValueError and changes nothing."));
  add_method(type, def<py_is_object_free>("py_is_object_free", param<Int32>("object_index"))
                       .doc("True when object_index is in 0..63 and its bit is set (the object is free)."));
  add_method(type, def<py_find_free_object>("py_find_free_object")
                       .doc("Index of the lowest free object; -1 when the slab is full."));
  add_method(type, def<py_allocate_object_at>("py_allocate_object_at", param<Int32>("object_index"))
                       .doc("Mark the object in use (no check that it was free), set flag 0x10 and count "
                            "the change. An index outside 0..63 changes no bit."));
  add_method(type, def<py_deallocate_object_at>("py_deallocate_object_at", param<Int32>("object_index"))
                       .doc("Mark the object free (no check that it was in use) and count the change; "
                            "flag 0x10 is cleared when every object of the slab is free again. An index "
                            "outside 0..63 changes no bit."));
  add_class(module, type);
}

// =============================================================================================
// FastBucketAllocator

struct Bucket {
  int32_t size;
  PyObject* offsets;  // list of free offsets, newest last; owned by the `buckets` dict
};

// `buckets` (size -> list) owns the lists; `by_size` is the same lists in ascending size.
struct BucketTable {
  Ref buckets;
  std::vector<Bucket> by_size;
};

BucketTable new_bucket_table(const sw::BucketLayout& layout) {
  BucketTable table{checked(PyDict_New()), {}};
  table.by_size.reserve(static_cast<size_t>(layout.count()));
  layout.for_each([&](int32_t size) {
    Ref key = py_int(size);
    Ref offsets = checked(PyList_New(0));
    check(PyDict_SetItem(table.buckets.get(), key.get(), offsets.get()));
    table.by_size.push_back({size, offsets.get()});
  });
  return table;
}

struct BucketAllocatorObject {
  PyObject_HEAD
  sw::BucketLayout layout;  // bucket_size_step, small_block_max, medium_block_max
  BucketTable table;
  PrivateLock lock;
};

const char* const kAllocatorReentry = "FastBucketAllocator is in use by this thread already (re-entrant call)";

BucketAllocatorObject& allocator_of(PyObject* self) { return cast<BucketAllocatorObject>(self); }

const Params allocator_init{"__cinit__", param<Int32>("bucket_size_step", 8), param<Int32>("small_block_max", 256),
                            param<Int32>("medium_block_max", 4096)};

sw::BucketLayout checked_layout(int step, int small_block_max, int medium_block_max) {
  if (step <= 0) raise_format(PyExc_ValueError, "bucket_size_step must be positive, got %d", step);
  const sw::BucketLayout layout{step, small_block_max, medium_block_max};
  if (layout.count() > sw::kMaxBuckets) {
    raise_format(PyExc_ValueError, "bucket sizes up to %d in steps of %d would need %lld buckets (at most %lld)",
                 std::max(small_block_max, medium_block_max), step, static_cast<long long>(layout.count()),
                 static_cast<long long>(sw::kMaxBuckets));
  }
  return layout;
}

// The class and its own _init_buckets method, to tell whether a subclass replaces it.
PyTypeObject* allocator_type = nullptr;
PyObject* native_init_buckets = nullptr;

void _init_buckets(PyObject* self);

PyObject* allocator_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return guarded([&] {
    auto [step, small_block_max, medium_block_max] = allocator_init.bind(args, kwargs);
    const sw::BucketLayout layout = checked_layout(step, small_block_max, medium_block_max);
    Ref lock = private_lock_object(ModuleFrame::module());
    BucketTable empty{checked(PyDict_New()), {}};
    Ref self = allocate(type);
    BucketAllocatorObject& allocator = allocator_of(self.get());
    allocator.layout = layout;
    new (&allocator.table) BucketTable(std::move(empty));
    new (&allocator.lock) PrivateLock(std::move(lock));
    // The object is complete: the buckets come from _init_buckets(), a subclass's own if it has one.
    if (Ref method = override_of(self.get(), allocator_type, "_init_buckets"_name, native_init_buckets)) {
      call(method.get());
    } else {
      _init_buckets(self.get());
    }
    return self.release();
  });
}

void allocator_dealloc(PyObject* self) {
  BucketAllocatorObject& allocator = allocator_of(self);
  allocator.table.~BucketTable();
  allocator.lock.~PrivateLock();
  free_instance(self);
}

// The bucket of exactly `size`, or null.
Bucket* bucket_of_size(BucketAllocatorObject& allocator, int32_t size) {
  // The table is empty until _init_buckets has run, or when a subclass's version did not.
  std::vector<Bucket>& by_size = allocator.table.by_size;
  const int64_t index = allocator.layout.index_of(size);
  return index < 0 || static_cast<uint64_t>(index) >= by_size.size() ? nullptr : &by_size[static_cast<size_t>(index)];
}

bool is_empty(const Bucket& bucket) { return PyList_GET_SIZE(bucket.offsets) == 0; }

// The offsets are exact ints made here.
int32_t newest_offset(const Bucket& bucket) {
  return static_cast<int32_t>(PyLong_AsLong(PyList_GET_ITEM(bucket.offsets, PyList_GET_SIZE(bucket.offsets) - 1)));
}

// Pops the newest offset of a non-empty bucket. The list is ours alone, so it just gets shorter
// (as list.pop() makes it, without giving memory back).
Ref take_newest(Bucket& bucket) {
  const Py_ssize_t last = PyList_GET_SIZE(bucket.offsets) - 1;
  Ref offset = Ref::steal(PyList_GET_ITEM(bucket.offsets, last));
  Py_SET_SIZE(reinterpret_cast<PyVarObject*>(bucket.offsets), last);
  return offset;
}

void _init_buckets(PyObject* self) {
  BucketAllocatorObject& allocator = allocator_of(self);
  BucketTable fresh = new_bucket_table(allocator.layout);
  PrivateLock::Hold hold(allocator.lock, kAllocatorReentry);
  std::swap(allocator.table, fresh);  // the old lists go when `fresh` does
}

bool add_to_bucket(PyObject* self, WithArgument<Int32>::type offset, int size) {
  BucketAllocatorObject& allocator = allocator_of(self);
  const int32_t bucket_size = allocator.layout.bucket_for(size);
  if (bucket_size <= 0 || bucket_size != size) return false;
  // An exact int is filed as it came; anything else that converted becomes one.
  Ref value = PyLong_CheckExact(offset.argument) ? Ref::borrow(offset.argument) : py_int(offset.value);
  PrivateLock::Hold hold(allocator.lock, kAllocatorReentry);
  Bucket* bucket = bucket_of_size(allocator, bucket_size);
  if (bucket == nullptr) return false;
  check(PyList_Append(bucket->offsets, value.get()));
  return true;
}

Ref remove_from_bucket(PyObject* self, int size) {
  BucketAllocatorObject& allocator = allocator_of(self);
  const int32_t bucket_size = allocator.layout.bucket_for(size);
  if (bucket_size <= 0) return none();
  PrivateLock::Hold hold(allocator.lock, kAllocatorReentry);
  Bucket* bucket = bucket_of_size(allocator, bucket_size);
  if (bucket == nullptr || is_empty(*bucket)) return none();
  return take_newest(*bucket);
}

// The exact class first, then every larger bucket in ascending order; in each, only the newest
// offset is tested, and it stays unless `size` bytes fit at its next `alignment` boundary.
Ref find_best_fit_bucket(PyObject* self, int size, int alignment) {
  BucketAllocatorObject& allocator = allocator_of(self);
  const int32_t bucket_size = allocator.layout.bucket_for(size);
  PrivateLock::Hold hold(allocator.lock, kAllocatorReentry);
  auto fits = [&](const Bucket& bucket) {
    return !is_empty(bucket) && sw::fits_aligned(newest_offset(bucket), bucket.size, size, alignment);
  };
  if (Bucket* exact = bucket_of_size(allocator, bucket_size); exact != nullptr && fits(*exact)) {
    return take_newest(*exact);
  }
  std::vector<Bucket>& by_size = allocator.table.by_size;
  auto larger = std::upper_bound(by_size.begin(), by_size.end(), bucket_size,
                                 [](int32_t wanted, const Bucket& bucket) { return wanted < bucket.size; });
  for (; larger != by_size.end(); ++larger) {
    if (fits(*larger)) return take_newest(*larger);
  }
  return none();
}

const sw::FastBucketAllocatorApi allocator_api = {
    [](PyObject* allocator, int32_t size) { return allocator_of(allocator).layout.bucket_for(size); },
};

const ClassSpec allocator_spec = {
    .name = "klavrix.memory.slabworks.FastBucketAllocator", .basicsize = sizeof(BucketAllocatorObject),
    .doc = "FastBucketAllocator(bucket_size_step=8, small_block_max=256, "
           "medium_block_max=4096)\n--\n\n"
           "Free offsets filed by size class: one stack per bucket size, the "
           "multiples of bucket_size_step up to small_block_max, then "
           "small_block_max plus multiples of the step up to medium_block_max "
           "(8, 16, ..., 4096 with the defaults). Sizes round up to a multiple of "
           "the step; above both maxima there is no bucket.\n\n"
           "bucket_size_step must be positive, and a layout of more than 1048576 "
           "buckets raises ValueError. Arithmetic is 32-bit and wraps. Methods "
           "serialise on the allocator's lock.",
    .construct = allocator_new, .dealloc = allocator_dealloc,
};

void create_allocator_class(PyObject* module) {
  PyTypeObject* type = make_class(module, allocator_spec, {&allocator_api, sw::kFastBucketAllocatorApiName});
  allocator_type = type;
  native_init_buckets =
      add_method(type, def<_init_buckets>("_init_buckets").doc("Give every bucket size a new, empty stack."));
  add_method(type, def<add_to_bucket>("add_to_bucket", param<WithArgument<Int32>>("offset"), param<Int32>("size"))
                       .doc("Push offset onto the stack of bucket size; False (nothing filed) unless size "
                            "is itself a bucket size."));
  add_method(type, def<remove_from_bucket>("remove_from_bucket", param<Int32>("size"))
                       .doc("Pop the newest offset of the bucket that size rounds up to, or None."));
  add_method(type, def<find_best_fit_bucket>("find_best_fit_bucket", param<Int32>("size"), param<Int32>("alignment"))
                       .doc("Take out and return a free offset whose bucket holds size bytes at the next "
                            "alignment boundary (ending exactly at the bucket end fits): the size's own "
                            "bucket first, then larger ones in ascending order, testing only the newest "
                            "offset of each. None when none fits."));
  add_class(module, type);
}

// =============================================================================================
// FastStatsCollector

struct AllocationCounters {
  uint64_t total_allocations = 0;
  uint64_t total_deallocations = 0;
  uint64_t bucketed_allocations = 0;
  uint64_t fallback_allocations = 0;
  uint64_t alignment_padding_bytes = 0;  // running sum modulo 2**64: negative paddings subtract

  void record_allocation(int32_t padding, bool is_bucketed) {
    ++total_allocations;
    alignment_padding_bytes += static_cast<uint64_t>(int64_t{padding});
    ++(is_bucketed ? bucketed_allocations : fallback_allocations);
  }
  void record_deallocation() { ++total_deallocations; }
};

struct StatsCollectorObject {
  PyObject_HEAD
  AllocationCounters counters;
  PrivateLock lock;
};

const char* const kCollectorReentry = "FastStatsCollector is in use by this thread already (re-entrant call)";

StatsCollectorObject& collector_of(PyObject* self) { return cast<StatsCollectorObject>(self); }

const Params collector_init{"__cinit__"};

PyObject* collector_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return guarded([&] {
    collector_init.bind(args, kwargs);
    Ref lock = private_lock_object(ModuleFrame::module());
    Ref self = allocate(type);
    new (&collector_of(self.get()).counters) AllocationCounters();
    new (&collector_of(self.get()).lock) PrivateLock(std::move(lock));
    return self.release();
  });
}

void collector_dealloc(PyObject* self) {
  collector_of(self).lock.~PrivateLock();
  free_instance(self);
}

void py_record_allocation(PyObject* self, int /*size: not used*/, int padding, bool is_bucketed) {
  PrivateLock::Hold hold(collector_of(self).lock, kCollectorReentry);
  collector_of(self).counters.record_allocation(padding, is_bucketed);
}

void py_record_deallocation(PyObject* self) {
  PrivateLock::Hold hold(collector_of(self).lock, kCollectorReentry);
  collector_of(self).counters.record_deallocation();
}

void reset_stats(PyObject* self) {
  PrivateLock::Hold hold(collector_of(self).lock, kCollectorReentry);
  collector_of(self).counters = AllocationCounters();
}

// The percentage as f"{ratio:.1f}%".
Ref percentage_text(double ratio) { return py_fixed(ratio, 1, "%"); }

Ref get_stats(PyObject* self) {
  AllocationCounters counters;
  {
    PrivateLock::Hold hold(collector_of(self).lock, kCollectorReentry);
    counters = collector_of(self).counters;
  }
  const double ratio = counters.total_allocations > 0 ? static_cast<double>(counters.bucketed_allocations) /
                                                            static_cast<double>(counters.total_allocations) * 100
                                                      : 0.0;
  Ref stats = checked(_PyDict_NewPresized(6));
  set_item(stats.get(), "total_allocations"_name, py_uint(counters.total_allocations));
  set_item(stats.get(), "total_deallocations"_name, py_uint(counters.total_deallocations));
  set_item(stats.get(), "bucketed_allocations"_name, py_uint(counters.bucketed_allocations));
  set_item(stats.get(), "fallback_allocations"_name, py_uint(counters.fallback_allocations));
  set_item(stats.get(), "bucketed_allocation_ratio"_name, percentage_text(ratio));
  set_item(stats.get(), "alignment_padding_bytes"_name, py_uint(counters.alignment_padding_bytes));
  return stats;
}

const sw::FastStatsCollectorApi collector_api = {
    [](PyObject* collector, int32_t, int32_t padding, bool is_bucketed) {
      collector_of(collector).counters.record_allocation(padding, is_bucketed);
    },
    [](PyObject* collector) { collector_of(collector).counters.record_deallocation(); },
};

const ClassSpec collector_spec = {
    .name = "klavrix.memory.slabworks.FastStatsCollector", .basicsize = sizeof(StatsCollectorObject),
    .doc = "FastStatsCollector()\n--\n\n"
           "Allocation counters (64-bit, wrapping) guarded by a threading.Lock: "
           "allocations, deallocations, bucketed and fallback allocations, and the "
           "running sum of alignment padding.",
    .construct = collector_new, .dealloc = collector_dealloc,
};

void create_collector_class(PyObject* module) {
  PyTypeObject* type = make_class(module, collector_spec, {&collector_api, sw::kFastStatsCollectorApiName});
  add_method(type, def<py_record_allocation>("py_record_allocation", param<Int32>("size"), param<Int32>("padding"),
                                             param<Truth>("is_bucketed"))
                       .doc("Count one allocation, bucketed or fallback, and add its padding (size is not "
                            "used)."));
  add_method(type, def<py_record_deallocation>("py_record_deallocation").doc("Count one deallocation."));
  add_method(type, def<get_stats>("get_stats")
                       .doc("The counters and bucketed_allocation_ratio, the bucketed share of all "
                            "allocations as text such as \"75.0%\"."));
  add_method(type, def<reset_stats>("reset_stats").doc("Set every counter to 0."));
  add_class(module, type);
}

// =============================================================================================
// Module functions

int fast_align_size(PyObject*, int size, int alignment) {
  if (!sw::is_power_of_two(alignment)) raise(PyExc_ValueError, "Alignment must be a power of 2");
  return sw::align_up(size, alignment);
}

int fast_get_bucket_size(PyObject*, int size, int step) {
  if (step <= 0) raise_format(PyExc_ValueError, "step must be positive, got %d", step);
  return sw::round_up_to_step(size, step);
}

bool is_operation(PyObject* operation, const char* name) {
  return operation != Py_None && PyUnicode_CompareWithASCIIString(operation, name) == 0;
}

Ref fast_bitmap_operations(PyObject*, uint64_t bitmap, int index, PyObject* operation) {
  if (is_operation(operation, "is_set")) return py_bool(sw::bit_is_set(bitmap, index));
  if (is_operation(operation, "set")) return py_uint(sw::with_bit_set(bitmap, index));
  if (is_operation(operation, "clear")) return py_uint(sw::with_bit_cleared(bitmap, index));
  if (is_operation(operation, "find_first")) return py_int(sw::lowest_set_bit(bitmap));
  raise_format(PyExc_ValueError, "Unknown operation: %S", operation);
}

bool fast_can_fit_aligned(PyObject*, int block_offset, int block_size, int alloc_size, int alignment) {
  return sw::fits_aligned(block_offset, block_size, alloc_size, alignment);
}

void add_functions(PyObject* module) {
  add_function(module, def<fast_align_size>("fast_align_size", param<Int32>("size"), param<Int32>("alignment"))
                           .doc("size rounded up to a multiple of alignment, a power of 2 (32-bit, wrapping)."));
  add_function(module, def<fast_get_bucket_size>("fast_get_bucket_size", param<Int32>("size"), param<Int32>("step", 8))
                           .doc("size rounded up to a multiple of step, which must be positive (32-bit, "
                                "wrapping; the division truncates toward zero)."));
  add_function(module, def<fast_bitmap_operations>("fast_bitmap_operations", param<UInt64>("bitmap"),
                                                   param<Int32>("index"), param<Str>("operation"))
                           .doc("operation on a 64-bit bitmap: \"is_set\" (bool), \"set\" and \"clear\" (the "
                                "new bitmap), \"find_first\" (lowest set bit, -1 for 0; index ignored). An "
                                "index outside 0..63 names no bit."));
  add_function(module, def<fast_can_fit_aligned>("fast_can_fit_aligned", param<Int32>("block_offset"),
                                                 param<Int32>("block_size"), param<Int32>("alloc_size"),
                                                 param<Int32>("alignment"))
                           .doc("Whether alloc_size bytes at the next alignment boundary after block_offset "
                                "end within the block (ending exactly at its end fits). alignment is not "
                                "checked."));
}

// =============================================================================================
// Module

void populate(PyObject* module) {
  Ref logging = bind_import(module, "logging");
  bind_import(module, "threading");
  Ref logger = bind_logger(module, logging.get());
  create_header_class(module);
  create_allocator_class(module);
  create_collector_class(module);
  add_functions(module);
  _init_crc16_table();
  log_info(logger.get(), "Klavrix Slabworks Cython module loaded - targeting 1.8-3\u00d7 performance improvement");
}

ModuleFrame frame("slabworks",
                  "Slab headers with a CRC-16 and an object bitmap, size-class buckets of free offsets, and "
                  "allocation statistics.",
                  populate);

}  // namespace

PyMODINIT_FUNC PyInit_slabworks() { return frame.init(); }
