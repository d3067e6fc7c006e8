// klavrix.gpu.offload: how an array operation is placed on the GPU (directly, in chunks along
// the first axis, or on the CPU), the chunk shapes, out-of-memory classification and headroom.
//
// Pure functions over plain values: the rules live in offload/plan.hpp and offload/oom.hpp,
// this file converts the arguments and builds the results. The only module state, the two
// operation sets, is built at load and never changed, so every function may run in any number
// of threads at once.
#include <cstdint>
#include <span>
#include <string_view>

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

// Strategy constants are module attributes, read at each call so that a rebinding shows.
Name gpu_direct_name{"GPU_DIRECT"};
Name gpu_chunked_name{"GPU_CHUNKED"};
Name cpu_fallback_name{"CPU_FALLBACK"};

Name no_memory_reason{"No GPU memory available"};
Name fits_reason{"Allocation fits in GPU memory"};
Name not_chunkable_reason{"Operation not chunkable, falling back to CPU"};

Name lower_name{"lower"};
Name keyword_names[plan::kKeywordCount] = {
    Name{plan::kKeywordText[0]}, Name{plan::kKeywordText[1]}, Name{plan::kKeywordText[2]},
    Name{plan::kKeywordText[3]}, Name{plan::kKeywordText[4]}, Name{plan::kKeywordText[5]},
    Name{plan::kKeywordText[6]}, Name{plan::kKeywordText[7]},
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
  Name& strategy_name = decision.strategy == plan::Strategy::gpu_direct    ? gpu_direct_name
                        : decision.strategy == plan::Strategy::gpu_chunked ? gpu_chunked_name
                                                                           : cpu_fallback_name;
  Ref strategy = module_global(module, strategy_name);
  Ref reason;
  switch (decision.reason) {
    case plan::Reason::no_memory:
      reason = Ref::borrow(no_memory_reason.get());
      break;
    case plan::Reason::fits:
      reason = Ref::borrow(fits_reason.get());
      break;
    case plan::Reason::chunked:
      reason = checked(PyUnicode_FromFormat("Chunking into %llu GPU passes",
                                            static_cast<unsigned long long>(decision.passes)));
      break;
    case plan::Reason::not_chunkable:
      reason = Ref::borrow(not_chunkable_reason.get());
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

// A text as the out-of-memory rules search it: ASCII text is searched in place with ASCII case
// folding (what str.lower does to it); any other text is lowered by str.lower first.
class LoweredText {
 public:
  explicit LoweredText(PyObject* text) {
    if (text == Py_None) {
      raise(PyExc_TypeError, "descriptor 'lower' for 'str' objects doesn't apply to a 'NoneType' object");
    }
    if (PyUnicode_IS_ASCII(text)) {
      ascii_ = {static_cast<const char*>(PyUnicode_DATA(text)), static_cast<size_t>(PyUnicode_GET_LENGTH(text))};
    } else {
      lowered_ = checked(PyObject_CallMethodNoArgs(text, lower_name.get()));
    }
  }

  bool contains(plan::Keyword keyword) const {
    if (!lowered_) return plan::contains_folded(ascii_, plan::kKeywordText[keyword]);
    const Py_ssize_t at = PyUnicode_Find(lowered_.get(), keyword_names[keyword].get(), 0, PY_SSIZE_T_MAX, 1);
    if (at == -2) throw PythonError{};
    return at >= 0;
  }

 private:
  std::string_view ascii_;
  Ref lowered_;
};

bool is_oom_error(PyObject*, PyObject* error_message, PyObject* error_type) {
  const LoweredText message(error_message);
  const LoweredText type(error_type);
  return plan::is_oom_error([&](plan::Keyword k) { return message.contains(k); },
                            [&](plan::Keyword k) { return type.contains(k); });
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
  add_function(module, def<estimate_allocation_bytes>("estimate_allocation_bytes", param<TupleOrNone>("shape"),
                                                      param<Int32>("element_size").annotated("int"),
                                                      param<Double>("overhead_factor", 1.0).annotated("float"))
                           .returns("int")
                           .doc("Estimate the bytes an array of this shape needs, saturating at 2**63 - 1.\n\n"
                                "A dimension <= 0 gives 0; only an overhead factor above 1.0 scales the "
                                "estimate."));
  add_function(module, def<calculate_safe_limit>("calculate_safe_limit",
                                                 param<UInt64>("available_bytes").annotated("int"),
                                                 param<Double>("headroom_ratio").annotated("float"))
                           .returns("int")
                           .doc("Bytes that may be used out of available_bytes, keeping headroom_ratio "
                                "(clamped to [0.0, 0.99]) free."));
  add_function(module,
               def<decide_allocation_strategy>("decide_allocation_strategy",
                                               param<UInt64>("requested_bytes").annotated("int"),
                                               param<UInt64>("available_bytes").annotated("int"),
                                               param<Double>("headroom_ratio").annotated("float"),
                                               param<Truth>("is_chunkable").annotated("bool"))
                   .returns("tuple")
                   .doc("Decide how to place an allocation: (strategy, chunk_bytes, num_passes, reason).\n\n"
                        "strategy is GPU_DIRECT, GPU_CHUNKED or CPU_FALLBACK as bound in this module."));
  add_function(module, def<compute_chunk_shapes>("compute_chunk_shapes", param<TupleOrNone>("shape"),
                                                 param<Int32>("element_size").annotated("int"),
                                                 param<UInt64>("max_chunk_bytes").annotated("int"))
                           .returns("list")
                           .doc("Cut shape along its first axis into chunks of at most max_chunk_bytes.\n\n"
                                "A row wider than the limit makes one-row chunks; rows of no bytes "
                                "(a zero trailing dimension) give the whole first axis as one chunk."));
  add_function(module, def<calculate_optimal_chunks>("calculate_optimal_chunks",
                                                     param<UInt64>("total_bytes").annotated("int"),
                                                     param<UInt64>("available_bytes").annotated("int"),
                                                     param<Double>("headroom_ratio").annotated("float"),
                                                     param<Int32>("min_chunks", 1).annotated("int"),
                                                     param<Int32>("max_chunks", 1000).annotated("int"))
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
  add_function(module, def<score_gpu_suitability>("score_gpu_suitability",
                                                  param<UInt64>("data_size_bytes").annotated("int"),
                                                  param<Str>("operation_type"),
                                                  param<UInt64>("available_gpu_memory").annotated("int"),
                                                  param<Double>("headroom_ratio").annotated("float"))
                           .returns("float")
                           .doc("Memory-based GPU suitability in [0.0, 0.9]: how well the data fits the "
                                "safe limit, weighted by the kind of operation."));
  add_function(module, def<calculate_memory_pressure>("calculate_memory_pressure",
                                                      param<UInt64>("used_bytes").annotated("int"),
                                                      param<UInt64>("total_bytes").annotated("int"))
                           .returns("float")
                           .doc("Fraction of the device memory in use, in [0.0, 1.0] (1.0 for no memory)."));
  add_function(module, def<recommend_headroom>("recommend_headroom",
                                               param<Double>("current_pressure").annotated("float"),
                                               param<Double>("base_headroom", 0.5).annotated("float"))
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
  Ref logger = bind_logger(module);
  log_info(logger.get(), "Klavrix Offload Cython module loaded - IP protected");
}

ModuleFrame frame("offload", "GPU memory planning: allocation strategy, chunk shapes, out-of-memory "
                             "classification and headroom.",
                  populate);

}  // namespace

PyMODINIT_FUNC PyInit_offload() { return frame.init(); }
