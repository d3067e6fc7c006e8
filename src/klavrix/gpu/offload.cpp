// klavrix.gpu.offload: how an array operation is placed on the GPU (directly, in chunks along
// the first axis, or on the CPU), the chunk shapes, out-of-memory classification and headroom.
//
// Pure functions over plain values: the rules live in offload/plan.hpp and offload/oom.hpp,
// this file converts the arguments and builds the results. The only module state, the two
// operation sets, is built at load and never changed, so every function may run in any number
// of threads at once.
#include <cstddef>
#include <cstdint>
#include <span>

#include "extkit/extkit.hpp"
#include "klavrix/gpu/offload/oom.hpp"
#include "klavrix/gpu/offload/plan.hpp"

namespace {

using namespace extkit;
namespace plan = klavrix::offload;

// The operation sets, owned for the life of the process (the module lives as long).
PyObject* chunkable_operations = nullptr;
PyObject* non_chunkable_operations = nullptr;

// Array constructors: their output can be produced one chunk at a time.
constexpr const char* kChunkableOperations[] = {
    "zeros", "ones", "empty", "full", "random.randn", "random.rand", "random.random", "random.standard_normal",
    "random.uniform", "arange", "linspace",
};
// Operations that need the whole array at once.
constexpr const char* kNonChunkableOperations[] = {
    "matmul", "dot", "fft", "ifft", "fft2", "ifft2", "svd", "eig", "eigvals", "solve", "inv", "sort", "argsort",
};

// The dimensions of a shape argument (a tuple, or None, which has no length).
std::span<PyObject* const> dimensions(PyObject* shape) {
  if (shape == Py_None) raise_none_has_no_len();
  return {&PyTuple_GET_ITEM(shape, 0), static_cast<size_t>(PyTuple_GET_SIZE(shape))};
}

// ---------------------------------------------------------------------------------------------
// Allocation planning

uint64_t estimate_allocation_bytes(PyObject*, PyObject* shape, int element_size, double overhead_factor) {
  plan::ElementCount elements;
  for (PyObject* dimension : dimensions(shape)) {
    if (!elements.multiply(to_int(dimension))) return static_cast<uint64_t>(elements.count());
  }
  return plan::allocation_bytes(elements.count(), element_size, overhead_factor);
}

uint64_t calculate_safe_limit(PyObject*, uint64_t available_bytes, double headroom_ratio) {
  return plan::safe_limit(available_bytes, headroom_ratio);
}

Ref decide_allocation_strategy(PyObject* module, uint64_t requested_bytes, uint64_t available_bytes,
                               double headroom_ratio, bool is_chunkable) {
  const plan::Decision decision =
      plan::decide_allocation(requested_bytes, available_bytes, headroom_ratio, is_chunkable);
  // The strategy constants are read from the module at each call, so that a rebinding shows.
  Name& strategy_name = decision.strategy == plan::Strategy::gpu_direct    ? "GPU_DIRECT"_name
                        : decision.strategy == plan::Strategy::gpu_chunked ? "GPU_CHUNKED"_name
                                                                           : "CPU_FALLBACK"_name;
  Ref strategy = module_global(module, strategy_name);
  Ref reason;
  switch (decision.reason) {
    case plan::Reason::no_memory:
      reason = Ref::borrow("No GPU memory available"_name.get());
      break;
    case plan::Reason::fits:
      reason = Ref::borrow("Allocation fits in GPU memory"_name.get());
      break;
    case plan::Reason::chunked:
      reason = checked(PyUnicode_FromFormat("Chunking into %llu GPU passes",
                                            static_cast<unsigned long long>(decision.passes)));
      break;
    case plan::Reason::not_chunkable:
      reason = Ref::borrow("Operation not chunkable, falling back to CPU"_name.get());
      break;
  }
  Ref chunk_bytes = py_uint(decision.chunk_bytes);
  Ref passes = py_uint(decision.passes);
  return checked(PyTuple_Pack(4, strategy.get(), chunk_bytes.get(), passes.get(), reason.get()));
}

// (rows,) followed by the caller's own trailing dimension objects.
Ref chunk_shape(std::span<PyObject* const> dims, int rows) {
  Ref shape = checked(PyTuple_New(static_cast<Py_ssize_t>(dims.size())));
  PyTuple_SET_ITEM(shape.get(), 0, py_int(rows).release());
  for (size_t i = 1; i < dims.size(); ++i) PyTuple_SET_ITEM(shape.get(), i, Py_NewRef(dims[i]));
  return shape;
}

// Full chunks share one (immutable) shape tuple; the list is allocated at its final size.
Ref compute_chunk_shapes(PyObject*, PyObject* shape, int element_size, uint64_t max_chunk_bytes) {
  if (element_size <= 0) raise(PyExc_ValueError, "element_size must be positive");
  if (max_chunk_bytes == 0) raise(PyExc_ValueError, "max_chunk_bytes must be positive");
  const auto dims = dimensions(shape);
  if (dims.empty()) {
    Ref chunks = checked(PyList_New(1));
    PyList_SET_ITEM(chunks.get(), 0, Py_NewRef(shape));
    return chunks;
  }

  plan::RowSize row(static_cast<uint64_t>(element_size));
  for (PyObject* dimension : dims.subspan(1)) row.multiply(to_uint64(dimension));
  const plan::ChunkLayout layout = plan::chunk_layout(to_int(dims[0]), plan::rows_per_chunk(row, max_chunk_bytes));

  Ref full = layout.full > 0 ? chunk_shape(dims, layout.rows) : Ref();
  Ref tail = layout.tail > 0 ? chunk_shape(dims, layout.tail) : Ref();
  Ref chunks = checked(PyList_New(layout.chunks()));
  for (int i = 0; i < layout.full; ++i) PyList_SET_ITEM(chunks.get(), i, Py_NewRef(full.get()));
  if (tail) PyList_SET_ITEM(chunks.get(), layout.full, tail.release());
  return chunks;
}

int calculate_optimal_chunks(PyObject*, uint64_t total_bytes, uint64_t available_bytes, double headroom_ratio,
                             int min_chunks, int max_chunks) {
  return plan::optimal_chunks(total_bytes, available_bytes, headroom_ratio, min_chunks, max_chunks);
}

// ---------------------------------------------------------------------------------------------
// Failure classification and scores

// Whether the lower-cased text holds the rules' keyword.
bool holds_keyword(const LowerCasedText& text, plan::Keyword keyword) {
  bool found = false;
  text.visit([&](auto* units, std::size_t length) {
    found = plan::contains_folded(units, length, plan::kKeywordText[keyword]);
  });
  return found;
}

bool is_oom_error(PyObject*, PyObject* error_message, PyObject* error_type) {
  const LowerCasedText message(error_message);
  const LowerCasedText type(error_type);
  return plan::is_oom_error([&](plan::Keyword k) { return holds_keyword(message, k); },
                            [&](plan::Keyword k) { return holds_keyword(type, k); });
}

bool in_set(PyObject* set, PyObject* operation) { return check(PySet_Contains(set, operation)) == 1; }

bool is_chunkable_operation(PyObject*, PyObject* operation) { return in_set(chunkable_operations, operation); }

double score_gpu_suitability(PyObject*, uint64_t data_size_bytes, PyObject* operation_type,
                             uint64_t available_gpu_memory, double headroom_ratio) {
  const plan::OperationKind kind = in_set(chunkable_operations, operation_type) ? plan::OperationKind::chunkable
                                   : in_set(non_chunkable_operations, operation_type)
                                       ? plan::OperationKind::non_chunkable
                                       : plan::OperationKind::other;
  return plan::gpu_suitability(data_size_bytes, kind, available_gpu_memory, headroom_ratio);
}

double calculate_memory_pressure(PyObject*, uint64_t used_bytes, uint64_t total_bytes) {
  return plan::memory_pressure(used_bytes, total_bytes);
}

double recommend_headroom(PyObject*, double current_pressure, double base_headroom) {
  return plan::recommend_headroom(current_pressure, base_headroom);
}

// ---------------------------------------------------------------------------------------------
// Module frame

// A frozenset of `names`, bound as module attribute `name` and kept in `held` (which releases
// the set of an earlier, failed load).
template <size_t N>
void add_operation_set(PyObject* module, const char* name, const char* const (&names)[N], PyObject*& held) {
  Ref set = checked(PyFrozenSet_New(nullptr));
  for (const char* operation : names) check(PySet_Add(set.get(), py_str(operation).get()));
  bind(module, name, set.get());
  Py_XSETREF(held, set.release());
}

void add_functions(PyObject* module) {
  add_function(module,
               def<estimate_allocation_bytes>("estimate_allocation_bytes", param<TupleOrNone>("shape"),
                                              param<Int<Int32>>("element_size"), param<Float>("overhead_factor", 1.0))
                   .returns("int")
                   .doc("Estimate the bytes an array of this shape needs, saturating at 2**63 - 1.\n\n"
                        "A dimension <= 0 gives 0; only an overhead factor above 1.0 scales the "
                        "estimate."));
  add_function(module, def<calculate_safe_limit>("calculate_safe_limit", param<Int<UInt64>>("available_bytes"),
                                                 param<Float>("headroom_ratio"))
                           .returns("int")
                           .doc("Bytes that may be used out of available_bytes, keeping headroom_ratio "
                                "(clamped to [0.0, 0.99]) free."));
  add_function(module,
               def<decide_allocation_strategy>("decide_allocation_strategy", param<Int<UInt64>>("requested_bytes"),
                                               param<Int<UInt64>>("available_bytes"), param<Float>("headroom_ratio"),
                                               param<Bool>("is_chunkable"))
                   .returns("tuple")
                   .doc("Decide how to place an allocation: (strategy, chunk_bytes, num_passes, reason).\n\n"
                        "strategy is GPU_DIRECT, GPU_CHUNKED or CPU_FALLBACK as bound in this module."));
  add_function(module,
               def<compute_chunk_shapes>("compute_chunk_shapes", param<TupleOrNone>("shape"),
                                         param<Int<Int32>>("element_size"), param<Int<UInt64>>("max_chunk_bytes"))
                   .returns("list")
                   .doc("Cut shape along its first axis into chunks of at most max_chunk_bytes.\n\n"
                        "A row wider than the limit makes one-row chunks; rows of no bytes "
                        "(a zero trailing dimension) give the whole first axis as one chunk."));
  add_function(module,
               def<calculate_optimal_chunks>("calculate_optimal_chunks", param<Int<UInt64>>("total_bytes"),
                                             param<Int<UInt64>>("available_bytes"), param<Float>("headroom_ratio"),
                                             param<Int<Int32>>("min_chunks", 1), param<Int<Int32>>("max_chunks", 1000))
                   .returns("int")
                   .doc("Number of chunks that keeps each chunk within the safe limit, bounded by "
                        "min_chunks and max_chunks (min_chunks wins)."));
  add_function(module, def<is_oom_error>("is_oom_error", param<Str>("error_message"), param<Str>("error_type"))
                           .returns("bool")
                           .doc("Whether an exception's message and type name say the device ran out of "
                                "memory."));
  add_function(module, def<is_chunkable_operation>("is_chunkable_operation", param<Str>("operation"))
                           .returns("bool")
                           .doc("Whether the operation's output can be produced one chunk at a time."));
  add_function(module, def<score_gpu_suitability>(
                           "score_gpu_suitability", param<Int<UInt64>>("data_size_bytes"), param<Str>("operation_type"),
                           param<Int<UInt64>>("available_gpu_memory"), param<Float>("headroom_ratio"))
                           .returns("float")
                           .doc("Memory-based GPU suitability in [0.0, 0.9]: how well the data fits the "
                                "safe limit, weighted by the kind of operation."));
  add_function(module, def<calculate_memory_pressure>("calculate_memory_pressure", param<Int<UInt64>>("used_bytes"),
                                                      param<Int<UInt64>>("total_bytes"))
                           .returns("float")
                           .doc("Fraction of the device memory in use, in [0.0, 1.0] (1.0 for no memory)."));
  add_function(module, def<recommend_headroom>("recommend_headroom", param<Float>("current_pressure"),
                                               param<Float>("base_headroom", 0.5))
                           .returns("float")
                           .doc("Headroom ratio to keep free under the given pressure, in [0.3, 0.8]."));
}

void populate(PyObject* module) {
  add_constant(module, "GPU_DIRECT", 0);
  add_constant(module, "GPU_CHUNKED", 1);
  add_constant(module, "CPU_FALLBACK", 2);
  add_operation_set(module, "_CHUNKABLE_OPERATIONS", kChunkableOperations, chunkable_operations);
  add_operation_set(module, "_NON_CHUNKABLE_OPERATIONS", kNonChunkableOperations, non_chunkable_operations);
  add_functions(module);
  log_loaded(module, "Klavrix Offload Cython module loaded - IP protected");
}

ModuleFrame frame("offload", "GPU memory planning: allocation strategy, chunk shapes, out-of-memory "
                             "classification and headroom.",
                  populate);

}  // namespace

PyMODINIT_FUNC PyInit_offload() { return frame.init(); }
