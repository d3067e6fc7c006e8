// klavrix.memory.blockfit: the best-fit index of free memory blocks.
//
// FastRedBlackTree keeps one red-black tree node per distinct block size (the tree itself is in
// blockfit/rbtree.hpp); further blocks of a size hang off its node in a chain. Writers
// serialise on the tree's lock and move a sequence counter (odd while inside); readers take no
// lock and keep a result only if the counter did not move while they searched.
//
// Bookkeeping nothing in Python can see stays native: the running counters (a dict only when
// get_stats hands one out), the two locks (NativeLock unless the module's threading.Lock has
// been replaced), the sampling counters while they are the native AtomicCounter (called through
// its entry-point table), and the record timestamps while time.perf_counter_ns is the builtin.
//
// Reader safety. Every change to the nodes is made with the interpreter lock held, and readers
// search while holding it too, so a reader can never meet a node that is being relinked or
// freed. The sequence check still rejects results taken while a writer sits inside its critical
// section with the interpreter lock let go (remove_ge's search, a block's __eq__, a Python
// callback), and the reader then backs off and retries as the protocol says.
//
// Block references and re-entrancy. Dropping a block reference can run arbitrary Python code
// (its __del__). Writers therefore finish their change, leave the critical section (sequence
// even, lock released) and only then drop the references they took out, so that code may use
// the tree freely. Code that runs inside a critical section (a block's __eq__ during delete)
// and calls a writer of the same tree on the same thread gets a RuntimeError instead of a
// deadlock on the non-reentrant lock; a reader called there sees the write in progress and
// returns its empty result after its retries. Writers of other threads wait for the lock with
// the interpreter lock released.
//
// Garbage collection. The tree owns its block references, so it visits them (and clears them
// when it is part of an unreachable cycle). The collector only ever runs with the interpreter
// lock held, at a point where a writer has either not begun relinking or has finished; records
// taken out of the tree but not yet released are not visited, which only keeps their blocks
// alive a little longer.
#include <cstdint>
#include <new>
#include <optional>
#include <utility>

#include "extkit/extkit.hpp"
#include "klavrix/memory/blockfit/api.hpp"
#include "klavrix/memory/blockfit/rbtree.hpp"
#include "klavrix/memory/interlock/api.hpp"

namespace {

using namespace extkit;
using klavrix::blockfit::FastRedBlackTreeApi;
using klavrix::blockfit::RBNode;
using klavrix::blockfit::Tree;
using klavrix::interlock::AtomicCounterApi;

constexpr int MAX_RETRIES = 100;
constexpr double kBackOffSeconds = 0.0001;
constexpr uint32_t kDefaultSampleRate = 100;

const char* const kWriterReentry = "FastRedBlackTree is being modified by this thread already (re-entrant call)";
const char* const kStatsReentry = "FastRedBlackTree statistics are in use by this thread already (re-entrant call)";

// time.perf_counter_ns, read natively while the module's `time.perf_counter_ns` is the builtin.
StandardFunction perf_counter_ns{"time", "perf_counter_ns"};

// time.perf_counter_ns() as a record's timestamp, converted to uint64 like the call's result.
uint64_t timestamp_now() {
  if (Ref replaced = perf_counter_ns.replacement(ModuleFrame::module())) {
    return to_uint64(call(replaced.get()).get());
  }
  const int64_t now = perf_counter_now_ns();
  if (now < 0) return to_uint64(py_int(now).get());  // the conversion's own OverflowError
  return static_cast<uint64_t>(now);
}

// ---------------------------------------------------------------------------------------------
// Sampling counters

// The native AtomicCounter class and its entry points; null when the module bound as
// `..memory.interlock` at load does not provide them.
PyTypeObject* native_counter_type = nullptr;
const AtomicCounterApi* native_counter_api = nullptr;

// Finds the native class: the class imported at load when it publishes the entry-point table.
void find_native_counter(PyObject* counter_class) {
  native_counter_api = published_api<AtomicCounterApi>(counter_class, klavrix::interlock::kAtomicCounterApiName);
  if (native_counter_api == nullptr) return;
  native_counter_type = reinterpret_cast<PyTypeObject*>(Py_NewRef(counter_class));  // kept for the process
}

bool is_native_counter(PyObject* counter) { return Py_IS_TYPE(counter, native_counter_type); }

// counter.<name>() for a counter field of the tree that is not the native class. The call holds
// its own reference to the counter: a counter's methods may let the interpreter lock go, and
// clear() may replace the field meanwhile.
Ref call_counter(PyObject* counter, Name& name) {
  Ref held = Ref::borrow(counter);
  return call_method(held.get(), name);
}

// counter.increment(), its result as int64.
int64_t increment_op_counter(PyObject* counter) {
  if (is_native_counter(counter)) return native_counter_api->_c_increment(counter, nullptr);
  return to_int64(call_counter(counter, "increment"_name).get());
}

// counter.increment(), its result unused.
void increment_sample_counter(PyObject* counter) {
  if (is_native_counter(counter)) {
    native_counter_api->_c_increment(counter, nullptr);
  } else {
    call_counter(counter, "increment"_name);
  }
}

// counter.load()
Ref load_counter(PyObject* counter) {
  if (is_native_counter(counter)) return py_int(native_counter_api->_c_load(counter));
  return call_counter(counter, "load"_name);
}

// time.sleep(seconds), through the module's `time` global at the moment of the call.
void sleep_for(double seconds) {
  Ref time_module = module_global(ModuleFrame::module(), "time"_name);
  Ref argument = py_float(seconds);
  call_method(time_module.get(), "sleep"_name, argument.get());
}

Ref new_counter() {
  Ref counter_class = module_global(ModuleFrame::module(), "AtomicCounter"_name);
  Ref zero = py_int(0);
  return call(counter_class.get(), zero.get());
}

// =============================================================================================
// The object

// The running counters, reported by get_stats under these keys in this order (bucket_hits and
// tree_hits are always 0). Every change is made with the interpreter lock held, so plain fields
// serve.
struct Stats {
  uint64_t total_blocks = 0;  // kept modulo 2^64 and reported as signed
  uint64_t total_insertions = 0;
  uint64_t total_deletions = 0;
  uint64_t total_searches = 0;
  uint64_t operation_count = 0;
  bool has_circuit_breaker_trips = false;  // the key reset_circuit_breaker adds, after operation_count

  void count_insert() {
    ++total_blocks;
    ++total_insertions;
    ++operation_count;
  }
  void count_removal() {
    --total_blocks;
    ++total_deletions;
  }
};

struct TreeObject {
  PyObject_HEAD
  Tree tree;
  uint64_t node_count;
  PrivateLock tree_lock;     // writers
  uint64_t seq;              // even: stable; odd: a writer is inside
  uint32_t sample_rate;
  PyObject* op_counter;      // AtomicCounter, or null
  PyObject* sample_counter;  // AtomicCounter, or null
  bool use_atomic;
  PrivateLock stats_lock;    // get_stats / reset_circuit_breaker
  Stats stats;
};

TreeObject& tree_of(PyObject* self) { return cast<TreeObject>(self); }

// ---------------------------------------------------------------------------------------------
// Records

// Frees a record that no longer holds its block reference.
void free_record(RBNode* record) { PyMem_Free(record); }

// A new record that is not linked yet: freed, with its block reference, unless link() takes it.
struct NewRecord {
  RBNode* record = nullptr;
  ~NewRecord() {
    if (record != nullptr) {
      Py_DECREF(record->block);
      free_record(record);
    }
  }
  RBNode* link() { return std::exchange(record, nullptr); }
};

RBNode* allocate_node(uint64_t size, PyObject* block, NewRecord& holder) {
  auto* record = static_cast<RBNode*>(PyMem_Malloc(sizeof(RBNode)));
  if (record == nullptr) raise(PyExc_MemoryError, "Failed to allocate RB node");
  *record = RBNode{nullptr, nullptr, nullptr, klavrix::blockfit::kRed, size, Py_NewRef(block), nullptr, 0};
  holder.record = record;
  record->timestamp = timestamp_now();
  return record;
}

// Frees every record of a detached tree and releases every block reference, chain records
// before their node, subtrees before their parent. The Python code that releasing a block may
// run cannot reach these records. An exception pending on entry is kept; an error left by a
// release is reported as unraisable under `context`.
void release_detached(RBNode* top, const char* context) {
  PyObject* pending = PyErr_GetRaisedException();
  klavrix::blockfit::free_subtree(top, [](RBNode* record) {
    PyObject* block = record->block;
    free_record(record);
    Py_DECREF(block);
  });
  if (PyErr_Occurred()) {
    PyObject* where = PyUnicode_FromString(context);
    PyErr_WriteUnraisable(where);
    Py_XDECREF(where);
  }
  PyErr_SetRaisedException(pending);
}

// A tree taken out of its object, released when this goes out of scope.
struct DetachedTree {
  RBNode* root = nullptr;
  ~DetachedTree() { release_detached(root, "klavrix.memory.blockfit.FastRedBlackTree.clear"); }
};

// ---------------------------------------------------------------------------------------------
// Critical sections

// Holds tree_lock for the enclosing scope; with `moves_seq`, the sequence counter is odd inside
// and even again when the scope is left, also by an exception.
class TreeLockSection {
 public:
  TreeLockSection(TreeObject& tree, bool moves_seq)
      : tree_(tree), hold_(tree.tree_lock, kWriterReentry), moves_seq_(moves_seq) {
    if (moves_seq_) ++tree.seq;
  }
  TreeLockSection(const TreeLockSection&) = delete;
  TreeLockSection& operator=(const TreeLockSection&) = delete;
  ~TreeLockSection() {
    if (moves_seq_) ++tree_.seq;
  }

 private:
  TreeObject& tree_;
  PrivateLock::Hold hold_;
  bool moves_seq_;
};

// Runs `attempt(seen)` against a stable sequence value, up to MAX_RETRIES times; a result is
// kept only if the sequence did not move meanwhile, and then counts as one search. An attempt
// returns nullopt to ask for a retry. After the last attempt the reader gives `empty()`.
template <class Attempt, class Empty>
Ref validated_read(TreeObject& tree, Attempt attempt, Empty empty) {
  for (int tries = 0; tries < MAX_RETRIES; ++tries) {
    const uint64_t seen = tree.seq;
    if ((seen & 1) != 0) {
      sleep_for(kBackOffSeconds);
      continue;
    }
    std::optional<Ref> result = attempt(seen);
    if (result && tree.seq == seen) {
      ++tree.stats.total_searches;
      return std::move(*result);
    }
  }
  return empty();
}

// ---------------------------------------------------------------------------------------------
// Sizes: annotated int (the converter), then the negative check, then unsigned 64 bits.

bool is_negative(const Ref& integer) {
  auto* number = reinterpret_cast<PyLongObject*>(integer.get());
  if (PyUnstable_Long_IsCompact(number)) return PyUnstable_Long_CompactValue(number) < 0;
  return _PyLong_Sign(integer.get()) < 0;
}

// The size itself; a negative one raises ValueError.
Ref sanitized(Ref size) {
  if (is_negative(size)) raise_format(PyExc_ValueError, "Invalid size: %S", size.get());
  return size;
}

// The size as uint64; nullopt when it is negative (the caller gives its empty result).
std::optional<uint64_t> size_or_nothing(const Ref& size) {
  if (is_negative(size)) return std::nullopt;
  return to_uint64(size.get());
}

// =============================================================================================
// Writers

bool tree_insert(PyObject* self, Ref size_argument, PyObject* block) {
  TreeObject& tree = tree_of(self);
  const uint64_t size = to_uint64(sanitized(std::move(size_argument)).get());

  bool sampled = false;
  if (tree.use_atomic) {
    const int64_t count = increment_op_counter(tree.op_counter);
    sampled = tree.sample_rate != 0 && count % static_cast<int64_t>(tree.sample_rate) == 0;
  }

  TreeLockSection section(tree, true);
  // Stays valid through the allocation: only this section can change the tree meanwhile.
  const Tree::Position position = tree.tree.locate(size);
  NewRecord fresh;
  RBNode* record = allocate_node(size, block, fresh);

  fresh.link();
  if (RBNode* existing = position.node; existing != nullptr) {
    record->next = existing->next;
    existing->next = record;
  } else {
    tree.tree.insert_at(record, position.parent);
  }
  ++tree.node_count;
  tree.stats.count_insert();

  if (sampled) increment_sample_counter(tree.sample_counter);
  return true;
}

// Python's `stored == block` (no identity shortcut), the stored block on the left.
bool blocks_equal(PyObject* stored, PyObject* block) {
  Ref result = checked(PyObject_RichCompare(stored, block, Py_EQ));
  return to_bool(result.get());
}

// The chain's first record moves into its tree node; returns the record, now detached, with
// the block the node held (the caller takes both over).
RBNode* promote_chain(RBNode* node) {
  RBNode* first = node->next;
  std::swap(node->block, first->block);
  std::swap(node->timestamp, first->timestamp);
  node->next = first->next;
  return first;
}

// Takes the block of tree node `node` out of the index: the chain's first record moves into the
// node, or, without a chain, the node leaves the tree. Returns the detached record, which still
// holds the reference to the block taken out.
RBNode* take_out_node_block(Tree& tree, RBNode* node) {
  if (node->next != nullptr) return promote_chain(node);
  tree.delete_node(node);
  return node;
}

bool tree_delete(PyObject* self, Ref size_argument, PyObject* block) {
  TreeObject& tree = tree_of(self);
  const std::optional<uint64_t> size = size_or_nothing(size_argument);
  if (!size) return false;

  Ref released;  // dropped once the section is left
  TreeLockSection section(tree, true);
  RBNode* node = tree.tree.find_node(*size);
  if (node == nullptr) return false;

  RBNode* removed = nullptr;
  if (blocks_equal(node->block, block)) {
    removed = take_out_node_block(tree.tree, node);
  } else {
    for (RBNode* prev = node; prev->next != nullptr; prev = prev->next) {
      if (!blocks_equal(prev->next->block, block)) continue;
      removed = prev->next;
      prev->next = removed->next;
      break;
    }
    if (removed == nullptr) return false;
  }
  --tree.node_count;
  tree.stats.count_removal();
  released = Ref::steal(removed->block);
  free_record(removed);
  return true;
}

Ref none_pair() { return py_tuple(Py_None, Py_None); }

Ref tree_remove_ge(PyObject* self, Ref size_argument) {
  TreeObject& tree = tree_of(self);
  const std::optional<uint64_t> size = size_or_nothing(size_argument);
  if (!size) return none_pair();

  TreeLockSection section(tree, true);
  // Other readers may search meanwhile; writers wait on tree_lock.
  RBNode* node = without_gil([&] { return tree.tree.find_best_fit_node(*size); });
  if (node == nullptr) return none_pair();

  Ref result = py_tuple(py_uint(node->size), node->block);
  RBNode* removed = take_out_node_block(tree.tree, node);
  --tree.node_count;
  tree.stats.count_removal();
  // The tuple holds its own reference to the block, so releasing the record's cannot run code.
  Py_DECREF(removed->block);
  free_record(removed);
  return result;
}

void tree_clear(PyObject* self) {
  TreeObject& tree = tree_of(self);
  DetachedTree detached;  // taken apart after the section is left
  Ref old_op_counter, old_sample_counter;
  TreeLockSection section(tree, true);
  detached.root = std::exchange(tree.tree.root, nullptr);
  tree.node_count = 0;
  tree.stats = Stats();
  if (tree.use_atomic) {
    old_op_counter = Ref::steal(std::exchange(tree.op_counter, new_counter().release()));
    old_sample_counter = Ref::steal(std::exchange(tree.sample_counter, new_counter().release()));
  }
}

// =============================================================================================
// Readers

// `alignment` is converted like `size` and not used.
Ref tree_find_best_fit(PyObject* self, Ref size_argument, Ref) {
  TreeObject& tree = tree_of(self);
  const std::optional<uint64_t> size = size_or_nothing(size_argument);
  if (!size) return none();
  return validated_read(
      tree,
      [&](uint64_t) -> std::optional<Ref> {
        RBNode* node = tree.tree.find_best_fit_node(*size);
        return node != nullptr ? Ref::borrow(node->block) : none();
      },
      none);
}

Ref empty_list() { return checked(PyList_New(0)); }

Ref tree_find_all_exact(PyObject* self, Ref size_argument) {
  TreeObject& tree = tree_of(self);
  const std::optional<uint64_t> size = size_or_nothing(size_argument);
  if (!size) return empty_list();
  return validated_read(
      tree,
      [&](uint64_t seen) -> std::optional<Ref> {
        RBNode* node = tree.tree.find_node(*size);
        Ref blocks = checked(PyList_New(static_cast<Py_ssize_t>(klavrix::blockfit::blocks_at(node))));
        // Allocating may start a garbage collection, whose finalisers can run any Python code, a
        // writer of this tree included. Every writer moves the sequence before it changes a
        // record, so an unmoved sequence means that `node` and its chain are still as found.
        if (tree.seq != seen) return std::nullopt;
        Py_ssize_t index = 0;
        for (RBNode* record = node; record != nullptr; record = record->next) {
          PyList_SET_ITEM(blocks.get(), index++, Py_NewRef(record->block));
        }
        return blocks;
      },
      empty_list);
}

uint64_t tree_size(PyObject* self) { return tree_of(self).node_count; }

Ref tree_sanitize_size(PyObject*, Ref size) { return sanitized(std::move(size)); }

// =============================================================================================
// Statistics, distribution, reset

Ref tree_get_stats(PyObject* self) {
  TreeObject& tree = tree_of(self);
  PrivateLock::Hold hold(tree.stats_lock, kStatsReentry);
  // One snapshot of the counters, taken before anything can run code that changes them.
  const Stats stats = tree.stats;
  const uint64_t node_count = tree.node_count;
  const uint64_t height = klavrix::blockfit::compute_height(tree.tree.root);
  // `sampled_operations` is never one of the counters: without the atomic counters it is 0.
  Ref sampled = tree.use_atomic ? load_counter(tree.sample_counter) : py_int(0);

  Ref snapshot = checked(PyDict_New());
  PyObject* dict = snapshot.get();
  set_item(dict, "total_blocks"_name, py_int(static_cast<int64_t>(stats.total_blocks)));
  set_item(dict, "total_insertions"_name, py_uint(stats.total_insertions));
  set_item(dict, "total_deletions"_name, py_uint(stats.total_deletions));
  set_item(dict, "total_searches"_name, py_uint(stats.total_searches));
  set_item(dict, "bucket_hits"_name, py_int(0));
  set_item(dict, "tree_hits"_name, py_int(0));
  set_item(dict, "operation_count"_name, py_uint(stats.operation_count));
  if (stats.has_circuit_breaker_trips) set_item(dict, "circuit_breaker_trips"_name, py_int(0));
  set_item(dict, "node_count"_name, py_uint(node_count));
  set_item(dict, "height"_name, py_uint(height));
  set_item(dict, "sampled_operations"_name, sampled);
  set_item(dict, "is_valid"_name, Ref::borrow(Py_True));
  return snapshot;
}

Ref tree_get_statistics(PyObject*) { return checked(PyDict_New()); }

// size -> blocks at that size, in pre-order from `top`. The tree must not change meanwhile, and
// the caller excludes writers: get_size_distribution holds tree_lock, so a writer that code run
// by an allocation here calls (a finaliser) waits for it, or on this thread is refused.
void collect_distribution(RBNode* top, PyObject* distribution) {
  bool failed = false;
  klavrix::blockfit::walk_preorder(top, [&](RBNode* node, size_t) {
    if (failed) return;
    PyObject* key = PyLong_FromUnsignedLongLong(node->size);
    PyObject* count = key != nullptr ? PyLong_FromUnsignedLongLong(klavrix::blockfit::blocks_at(node)) : nullptr;
    failed = count == nullptr || PyDict_SetItem(distribution, key, count) < 0;
    Py_XDECREF(key);
    Py_XDECREF(count);
  });
  if (failed) throw PythonError{};
}

Ref tree_get_size_distribution(PyObject* self) {
  TreeObject& tree = tree_of(self);
  Ref distribution = checked(PyDict_New());
  TreeLockSection section(tree, false);
  collect_distribution(tree.tree.root, distribution.get());
  return distribution;
}

void tree_reset_circuit_breaker(PyObject* self) {
  TreeObject& tree = tree_of(self);
  PrivateLock::Hold hold(tree.stats_lock, kStatsReentry);
  tree.stats.has_circuit_breaker_trips = true;
  tree.stats.operation_count = 0;
}

PyObject* tree_repr(PyObject* self) {
  return PyUnicode_FromFormat("FastRedBlackTree(blocks=%llu, native=True)",
                              static_cast<unsigned long long>(tree_of(self).node_count));
}

Py_ssize_t tree_length(PyObject* self) {
  const uint64_t count = tree_of(self).node_count;
  if (count > static_cast<uint64_t>(PY_SSIZE_T_MAX)) {
    PyErr_SetString(PyExc_OverflowError, "cannot fit 'int' into an index-sized integer");
    return -1;
  }
  return static_cast<Py_ssize_t>(count);
}

int tree_bool(PyObject* self) { return tree_of(self).node_count > 0 ? 1 : 0; }

// =============================================================================================
// Lifecycle

const Params tree_init_params{"__cinit__", param<UInt32>("sample_rate", kDefaultSampleRate)};

PyObject* tree_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return guarded([&] {
    auto [sample_rate] = tree_init_params.bind(args, kwargs);
    PyObject* module = ModuleFrame::module();
    Ref tree_lock = private_lock_object(module);
    Ref stats_lock = private_lock_object(module);
    Ref op_counter, sample_counter;
    Ref counter_class = module_global(module, "AtomicCounter"_name);
    if (to_bool(module_global(module, "ATOMIC_AVAILABLE"_name).get()) && to_bool(counter_class.get())) {
      op_counter = new_counter();
      sample_counter = new_counter();
    }

    Ref self = allocate(type);
    // Nothing below can fail: tree_dealloc may rely on every member being constructed.
    TreeObject& tree = tree_of(self.get());
    new (&tree.tree) Tree();
    new (&tree.tree_lock) PrivateLock(std::move(tree_lock));
    new (&tree.stats_lock) PrivateLock(std::move(stats_lock));
    new (&tree.stats) Stats();
    tree.sample_rate = sample_rate;
    tree.use_atomic = op_counter && sample_counter;
    tree.op_counter = op_counter.release();
    tree.sample_counter = sample_counter.release();
    return self.release();
  });
}

// Every stored block (tree nodes and chains), then the Python-level fields.
int tree_traverse(PyObject* self, visitproc visit, void* arg) {
  TreeObject& tree = tree_of(self);
  int status = 0;
  klavrix::blockfit::walk_preorder(tree.tree.root, [&](RBNode* node, size_t) {
    for (RBNode* record = node; record != nullptr && status == 0; record = record->next) {
      status = visit(record->block, arg);
    }
  });
  if (status != 0) return status;
  Py_VISIT(Py_TYPE(self));
  Py_VISIT(tree.tree_lock.object());
  Py_VISIT(tree.op_counter);
  Py_VISIT(tree.sample_counter);
  Py_VISIT(tree.stats_lock.object());
  return 0;
}

// Empties the tree, releasing every block; errors are reported as unraisable under `context`.
void release_blocks(TreeObject& tree, const char* context) {
  RBNode* root = std::exchange(tree.tree.root, nullptr);
  tree.node_count = 0;
  release_detached(root, context);
}

void drop_counters(TreeObject& tree) {
  tree.use_atomic = false;
  Py_CLEAR(tree.op_counter);
  Py_CLEAR(tree.sample_counter);
}

// Breaks cycles through the blocks and the counters (locks hold nothing): the tree is left empty
// and atomic sampling stops, and every method keeps working on what is left.
int tree_clear_references(PyObject* self) {
  TreeObject& tree = tree_of(self);
  release_blocks(tree, "klavrix.memory.blockfit.FastRedBlackTree (reference cycle)");
  drop_counters(tree);
  return 0;
}

// Trees can be filed as blocks of trees.
void tree_release(PyObject* self) {
  TreeObject& tree = tree_of(self);
  PyObject* pending = PyErr_GetRaisedException();
  release_blocks(tree, "klavrix.memory.blockfit.FastRedBlackTree.__dealloc__");
  drop_counters(tree);
  tree.tree_lock.~PrivateLock();
  tree.stats_lock.~PrivateLock();
  PyErr_SetRaisedException(pending);
}

const PyType_Slot tree_other_slots[] = {
    {Py_tp_repr, reinterpret_cast<void*>(tree_repr)},
    {Py_sq_length, reinterpret_cast<void*>(tree_length)},
    {Py_nb_bool, reinterpret_cast<void*>(tree_bool)},
    {0, nullptr},
};
const ClassSpec tree_spec = {
    .name = "klavrix.memory.blockfit.FastRedBlackTree", .basicsize = sizeof(TreeObject),
    .doc = "FastRedBlackTree(sample_rate=100)\n--\n\n"
           "Best-fit index of free memory blocks: a red-black tree keyed by block "
           "size, one node per distinct size, further blocks of a size chained "
           "behind its node. Lookups take no lock and are validated by a sequence "
           "counter; writers serialise on a lock of the tree. With AtomicCounter "
           "available, one insert in sample_rate is counted as sampled.",
    .construct = tree_new, .dealloc = gc_dealloc<tree_release>, .traverse = tree_traverse,
    .clear = tree_clear_references, .other_slots = tree_other_slots,
};

// =============================================================================================
// Internal entry points

TreeObject& api_tree(PyObject* tree) { return tree_of(tree); }

void api_recursive_free(PyObject*, RBNode* node) {
  release_detached(node, "klavrix.memory.blockfit.FastRedBlackTree._recursive_free");
}

RBNode* api_allocate_node(PyObject*, uint64_t size, PyObject* block) {
  try {
    NewRecord holder;
    allocate_node(size, block, holder);
    return holder.link();
  } catch (...) {
    set_error_from_current_exception();
    return nullptr;
  }
}

bool api_should_sample(PyObject* tree) { return api_tree(tree).sample_rate == 1; }

int api_record_sample(PyObject* tree) {
  return guarded_status([&] {
    if (api_tree(tree).use_atomic) increment_sample_counter(api_tree(tree).sample_counter);
  });
}

void api_rotate_left(PyObject* tree, RBNode* x) { api_tree(tree).tree.rotate_left(x); }
void api_rotate_right(PyObject* tree, RBNode* x) { api_tree(tree).tree.rotate_right(x); }
void api_fixup_insert(PyObject* tree, RBNode* z) { api_tree(tree).tree.fixup_insert(z); }
RBNode* api_find_node(PyObject* tree, uint64_t size) { return api_tree(tree).tree.find_node(size); }
RBNode* api_find_best_fit_node(PyObject* tree, uint64_t size) {
  return api_tree(tree).tree.find_best_fit_node(size);
}
RBNode* api_minimum(PyObject*, RBNode* node) { return Tree::minimum(node); }
void api_transplant(PyObject* tree, RBNode* u, RBNode* v) { api_tree(tree).tree.transplant(u, v); }

void api_delete_node(PyObject* tree, RBNode* z) {
  api_tree(tree).tree.delete_node(z);
  PyObject* block = z->block;
  free_record(z);
  Py_DECREF(block);
}

void api_fixup_delete(PyObject* tree, RBNode* x) { api_tree(tree).tree.fixup_delete(x); }
uint64_t api_compute_height(PyObject*, RBNode* node) { return klavrix::blockfit::compute_height(node); }

int api_collect_dist_recursive(PyObject*, RBNode* node, PyObject* dist) {
  return guarded_status([&] { collect_distribution(node, dist); });
}

PyObject* api_collect_distribution(PyObject* tree) {
  return guarded([&] {
    Ref distribution = checked(PyDict_New());
    collect_distribution(api_tree(tree).tree.root, distribution.get());
    return distribution.release();
  });
}

const FastRedBlackTreeApi tree_api = {
    api_recursive_free, api_allocate_node, api_should_sample,   api_record_sample,      api_rotate_left,
    api_rotate_right,   api_fixup_insert,  api_find_node,       api_find_best_fit_node, api_minimum,
    api_transplant,     api_delete_node,   api_fixup_delete,    api_compute_height,     api_collect_distribution,
    api_collect_dist_recursive,
};

// =============================================================================================
// Module

void create_tree_type(PyObject* module) {
  PyTypeObject* type = make_class(module, tree_spec, {&tree_api, klavrix::blockfit::kFastRedBlackTreeApiName});
  add_static_method(type, def<tree_sanitize_size>("_sanitize_size", param<AnnotatedInt>("size"))
                              .returns("int")
                              .doc("Return size; a negative size raises ValueError."));
  add_method(type, def<tree_insert>("insert", param<AnnotatedInt>("size"), param<Object>("block").annotated("Blockrec"))
                       .returns("bool")
                       .doc("File block under size. Returns True."));
  add_method(type, def<tree_find_best_fit>("find_best_fit", param<AnnotatedInt>("size"),
                                           param<AnnotatedInt>("alignment", 1))
                       .returns("Optional[Blockrec]")
                       .doc("The block of the smallest size that is at least size, or None; the block stays "
                            "filed. alignment does not affect the search."));
  add_method(type, def<tree_find_all_exact>("find_all_exact", param<AnnotatedInt>("size"))
                       .returns("List[Blockrec]")
                       .doc("All blocks filed under exactly size: the first one filed, then the others newest "
                            "first."));
  add_method(type, def<tree_delete>("delete", param<AnnotatedInt>("size"), param<Object>("block").annotated("Blockrec"))
                       .returns("bool")
                       .doc("Withdraw the first block filed under size that compares equal to block; False when "
                            "none does."));
  add_method(type, def<tree_remove_ge>("remove_ge", param<AnnotatedInt>("size"))
                       .returns("Tuple[Optional[int], Optional[Blockrec]]")
                       .doc("Take out the best-fit block for size: (actual_size, block), or (None, None)."));
  add_method(type, def<tree_size>("size").returns("int").doc("Number of blocks filed."));
  add_method(type, def<tree_get_stats>("get_stats")
                       .returns("Dict[str, Any]")
                       .doc("Snapshot of the running counters with node_count, height and sampled_operations."));
  add_method(type, def<tree_get_statistics>("get_statistics")
                       .returns("Dict[int, List[float]]")
                       .doc("Per-size statistics (none are kept: always an empty dict)."));
  add_method(type, def<tree_get_size_distribution>("get_size_distribution")
                       .returns("Dict[int, int]")
                       .doc("Blocks per size, keys in tree pre-order."));
  add_method(type, def<tree_clear>("clear").returns("None").doc("Withdraw every block and reset the counters."));
  add_method(type, def<tree_reset_circuit_breaker>("reset_circuit_breaker")
                       .returns("None")
                       .doc("Set circuit_breaker_trips and operation_count to 0."));
  add_class(module, type);
}

void populate(PyObject* module) {
  bind_import(module, "threading");
  perf_counter_ns.capture(bind_import(module, "time").get());
  bind_from(module, "typing", {"Any", "Dict", "List", "Optional", "Tuple"});
  bind(module, "Blockrec", import_relative(module, "blockrec", "Blockrec", 1).get());
  try {
    Ref counter_class = import_relative(module, "memory.interlock", "AtomicCounter", 2);
    bind(module, "AtomicCounter", counter_class.get());
    bind(module, "ATOMIC_AVAILABLE", Py_True);
    find_native_counter(counter_class.get());
  } catch (const PythonError&) {
    if (!PyErr_ExceptionMatches(PyExc_ImportError)) throw;
    PyErr_Clear();
    bind(module, "ATOMIC_AVAILABLE", Py_False);
    bind(module, "AtomicCounter", Py_None);
  }
  create_tree_type(module);
}

ModuleFrame frame("blockfit",
                  "Best-fit index of free memory blocks: FastRedBlackTree, a red-black tree keyed by block "
                  "size with optimistic lock-free lookups.",
                  populate);

}  // namespace

PyMODINIT_FUNC PyInit_blockfit() { return frame.init(); }
