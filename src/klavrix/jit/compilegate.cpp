// klavrix.jit.compilegate: when to hand a Python function to the JIT compiler.
//
// PolicyConfig and FunctionMetrics are value classes with typed native fields. Compilegate
// keeps one learned call-count threshold per function and adapts it from the speed-ups that
// the runtime's telemetry store reports. Each Compilegate method holds the instance's
// threading.Lock while it reads the thresholds and the store, so that one decision works on one
// consistent snapshot. Nothing here releases the interpreter lock.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <memory>
#include <utility>

#include "extkit/extkit.hpp"
#include "klavrix/jit/compilegate/api.hpp"

namespace {

using namespace extkit;
using klavrix::compilegate::CompilegateApi;
using klavrix::compilegate::FunctionMetricsApi;
using klavrix::compilegate::PolicyConfigApi;

static_assert(sizeof(int) == sizeof(int32_t), "PolicyConfig's C int fields are the policy's int32 thresholds");

PyObject* the_module = nullptr;  // borrowed: the module frame keeps it for the life of the process
PyTypeObject* policy_config_type = nullptr;
PyTypeObject* function_metrics_type = nullptr;
PyTypeObject* compilegate_type = nullptr;
PyObject* logger_class = nullptr;  // logging.Logger
PyObject* debug_level = nullptr;   // logging.DEBUG
PyObject* builtin_sum = nullptr;
PyObject* builtin_min = nullptr;
PyObject* builtin_max = nullptr;
PyObject* global_policy = nullptr;  // the shared Compilegate; null while there is none

Name time_name{"time"};
Name logger_name{"logger"};
Name debug_name{"debug"};
Name level_cache_name{"_cache"};
Name policy_lock_name{"_policy_lock"};
Name get_metrics_name{"get_metrics"};
Name call_count_name{"call_count"};
Name compile_count_name{"compile_count"};
Name avg_speedup_name{"avg_speedup"};
Name last_compiled_name{"last_compiled"};
Name initial_threshold_name{"initial_threshold"};
Name min_threshold_name{"min_threshold"};
Name max_threshold_name{"max_threshold"};

// threading.Lock(), looked up through the module's `threading` global at each creation.
Ref new_lock() { return new_threading_lock(the_module); }

// time.time(), through the module's `time` global.
double wall_clock() {
  Ref time_module = module_global(the_module, time_name);
  Ref now = checked(PyObject_CallMethodNoArgs(time_module.get(), time_name.get()));
  return to_double(now.get());
}

// cls(**dict(zip(kwnames, values))) for the factories and the configuration adapter.
Ref call_with_keywords(PyTypeObject* cls, Ref* values, PyObject* kwnames) {
  PyObject* call[Signature::kMaxParams];
  const Py_ssize_t count = PyTuple_GET_SIZE(kwnames);
  for (Py_ssize_t i = 0; i < count; ++i) call[i] = values[i].get();
  return checked(PyObject_Vectorcall(as_object(cls), call, 0, kwnames));
}

Ref names_tuple(std::initializer_list<const char*> names) {
  Ref tuple = checked(PyTuple_New(static_cast<Py_ssize_t>(names.size())));
  Py_ssize_t i = 0;
  for (const char* name : names) PyTuple_SET_ITEM(tuple.get(), i++, checked(PyUnicode_InternFromString(name)).release());
  return tuple;
}

// =============================================================================================
// PolicyConfig

struct PolicyConfigObject {
  PyObject_HEAD
  int initial_threshold;
  int min_threshold;
  int max_threshold;
  double learning_rate;
  double target_speedup;
};

const PolicyConfigObject& policy(PyObject* config) { return cast<PolicyConfigObject>(config); }

int32_t get_initial_threshold_fast(PyObject* config) { return policy(config).initial_threshold; }
int32_t get_min_threshold_fast(PyObject* config) { return policy(config).min_threshold; }
int32_t get_max_threshold_fast(PyObject* config) { return policy(config).max_threshold; }
double get_learning_rate_fast(PyObject* config) { return policy(config).learning_rate; }
double get_target_speedup_fast(PyObject* config) { return policy(config).target_speedup; }

const PolicyConfigApi policy_config_api = {
    get_initial_threshold_fast, get_min_threshold_fast, get_max_threshold_fast,
    get_learning_rate_fast,     get_target_speedup_fast,
};

PyObject* policy_kwnames = nullptr;  // the five field names, for keyword calls of PolicyConfig

const Signature policy_config_signature{"__cinit__",
                                        {{"initial_threshold", "100"},
                                         {"min_threshold", "10"},
                                         {"max_threshold", "10000"},
                                         {"learning_rate", "0.1"},
                                         {"target_speedup", "2.0"}}};

// The message of the first invariant that the values break, or null. The negated comparisons
// make a NaN rate or target fail.
const char* policy_config_problem(int initial, int min, int max, double learning_rate, double target_speedup) {
  if (min <= 0) return "min_threshold must be positive";
  if (max <= min) return "max_threshold must be greater than min_threshold";
  if (!(learning_rate > 0.0 && learning_rate <= 1.0)) return "learning_rate must be in (0, 1]";
  if (!(target_speedup > 0.0)) return "target_speedup must be positive";
  if (!(min <= initial && initial <= max)) return "initial_threshold must be within bounds";
  return nullptr;
}

PyObject* policy_config_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return guarded([&] {
    ArgBuffer buffer;
    const Args bound = bind(policy_config_signature, args, kwargs, buffer);
    // Every conversion error comes before any validation message.
    const int initial = bound.has(0) ? to_int(bound[0]) : 100;
    const int min = bound.has(1) ? to_int(bound[1]) : 10;
    const int max = bound.has(2) ? to_int(bound[2]) : 10000;
    const double learning_rate = bound.has(3) ? to_double(bound[3]) : 0.1;
    const double target_speedup = bound.has(4) ? to_double(bound[4]) : 2.0;
    if (const char* problem = policy_config_problem(initial, min, max, learning_rate, target_speedup)) {
      raise(PyExc_ValueError, problem);
    }
    Ref self = allocate(type);
    PolicyConfigObject& config = cast<PolicyConfigObject>(self.get());
    config.initial_threshold = initial;
    config.min_threshold = min;
    config.max_threshold = max;
    config.learning_rate = learning_rate;
    config.target_speedup = target_speedup;
    return self.release();
  });
}

void value_dealloc(PyObject* self) { free_instance(self); }

// Setters convert like the constructor and deliberately do not re-validate.
PyGetSetDef policy_config_getset[] = {
    field_property<PolicyConfigObject, &PolicyConfigObject::initial_threshold, to_int>("initial_threshold"),
    field_property<PolicyConfigObject, &PolicyConfigObject::min_threshold, to_int>("min_threshold"),
    field_property<PolicyConfigObject, &PolicyConfigObject::max_threshold, to_int>("max_threshold"),
    field_property<PolicyConfigObject, &PolicyConfigObject::learning_rate, to_double>("learning_rate"),
    field_property<PolicyConfigObject, &PolicyConfigObject::target_speedup, to_double>("target_speedup"),
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot policy_config_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(policy_config_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(value_dealloc)},
    {Py_tp_getset, policy_config_getset},
    {Py_tp_doc, const_cast<char*>("PolicyConfig(initial_threshold=100, min_threshold=10, max_threshold=10000, "
                                  "learning_rate=0.1, target_speedup=2.0)\n--\n\n"
                                  "Tuning parameters of the adaptive compilation policy, validated once at "
                                  "creation: 0 < min_threshold < max_threshold, min_threshold <= "
                                  "initial_threshold <= max_threshold, 0 < learning_rate <= 1, "
                                  "target_speedup > 0. The property setters do not re-check them.")},
    {0, nullptr},
};
PyType_Spec policy_config_spec = {"klavrix.jit.compilegate.PolicyConfig", sizeof(PolicyConfigObject), 0,
                                  Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE, policy_config_slots};

void create_policy_config_class(PyObject* module) {
  PyTypeObject* type = make_type(module, policy_config_spec);
  policy_config_type = type;
  refuse_pickling(type);
  publish_api(type, &policy_config_api, klavrix::compilegate::kPolicyConfigApiName);
  bind(module, "PolicyConfig", as_object(type));
}

// =============================================================================================
// FunctionMetrics

struct FunctionMetricsObject {
  PyObject_HEAD
  uint64_t call_count;
  uint32_t compile_count;
  double avg_speedup;
  double total_execution_time_ms;
  double last_compiled;
};

const FunctionMetricsObject& metrics_of(PyObject* metrics) { return cast<FunctionMetricsObject>(metrics); }

uint64_t get_call_count_fast(PyObject* metrics) { return metrics_of(metrics).call_count; }
uint32_t get_compile_count_fast(PyObject* metrics) { return metrics_of(metrics).compile_count; }
double get_avg_speedup_fast(PyObject* metrics) { return metrics_of(metrics).avg_speedup; }
double get_last_compiled_fast(PyObject* metrics) { return metrics_of(metrics).last_compiled; }

const FunctionMetricsApi function_metrics_api = {
    get_call_count_fast, get_compile_count_fast, get_avg_speedup_fast, get_last_compiled_fast,
};

PyObject* metrics_kwnames = nullptr;  // the factory's five parameter names

const Signature function_metrics_signature{"__cinit__",
                                           {{"call_count", "0"},
                                            {"compile_count", "0"},
                                            {"avg_speedup", "1.0"},
                                            {"total_execution_time_ms", "0.0"},
                                            {"last_compile_time", "0.0"},
                                            {"last_compiled", "-1.0"}}};

PyObject* function_metrics_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return guarded([&] {
    ArgBuffer buffer;
    const Args bound = bind(function_metrics_signature, args, kwargs, buffer);
    const uint64_t call_count = bound.has(0) ? to_uint64(bound[0]) : 0;
    const uint32_t compile_count = bound.has(1) ? to_uint32(bound[1]) : 0;
    const double avg_speedup = bound.has(2) ? to_double(bound[2]) : 1.0;
    const double total_ms = bound.has(3) ? to_double(bound[3]) : 0.0;
    const double last_compile_time = bound.has(4) ? to_double(bound[4]) : 0.0;
    const double last_compiled = bound.has(5) ? to_double(bound[5]) : -1.0;
    Ref self = allocate(type);
    FunctionMetricsObject& metrics = cast<FunctionMetricsObject>(self.get());
    metrics.call_count = call_count;
    metrics.compile_count = compile_count;
    metrics.avg_speedup = avg_speedup;
    metrics.total_execution_time_ms = total_ms;
    // Either name may be passed; a non-negative last_compiled wins (the default -1.0 never does).
    metrics.last_compiled = last_compiled >= 0.0 ? last_compiled : last_compile_time;
    return self.release();
  });
}

PyGetSetDef function_metrics_getset[] = {
    field_property<FunctionMetricsObject, &FunctionMetricsObject::call_count, to_uint64>("call_count"),
    field_property<FunctionMetricsObject, &FunctionMetricsObject::compile_count, to_uint32>("compile_count"),
    field_property<FunctionMetricsObject, &FunctionMetricsObject::avg_speedup, to_double>("avg_speedup"),
    field_property<FunctionMetricsObject, &FunctionMetricsObject::total_execution_time_ms, to_double>(
        "total_execution_time_ms"),
    field_property<FunctionMetricsObject, &FunctionMetricsObject::last_compiled, to_double>(
        "last_compiled", "Timestamp of last compilation (matches TelemetryStore interface)."),
    field_property<FunctionMetricsObject, &FunctionMetricsObject::last_compiled, to_double>(
        "last_compile_time", "Alias for last_compiled for backward compatibility."),
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot function_metrics_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(function_metrics_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(value_dealloc)},
    {Py_tp_getset, function_metrics_getset},
    {Py_tp_doc, const_cast<char*>("FunctionMetrics(call_count=0, compile_count=0, avg_speedup=1.0, "
                                  "total_execution_time_ms=0.0, last_compile_time=0.0, last_compiled=-1.0)\n--\n\n"
                                  "Call and compile counters of one function, shaped like the telemetry "
                                  "store's metrics record. last_compiled is the wall-clock time of the last "
                                  "compilation (0.0: never); a negative last_compiled argument means "
                                  "'take last_compile_time'.")},
    {0, nullptr},
};
PyType_Spec function_metrics_spec = {"klavrix.jit.compilegate.FunctionMetrics", sizeof(FunctionMetricsObject), 0,
                                     Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE, function_metrics_slots};

void create_function_metrics_class(PyObject* module) {
  PyTypeObject* type = make_type(module, function_metrics_spec);
  function_metrics_type = type;
  refuse_pickling(type);
  publish_api(type, &function_metrics_api, klavrix::compilegate::kFunctionMetricsApiName);
  bind(module, "FunctionMetrics", as_object(type));
}

// =============================================================================================
// Compilegate

struct CompilegateObject {
  PyObject_HEAD
  PyObject* config;      // a PolicyConfig (or subclass instance); never null while the object lives
  PyObject* thresholds;  // dict: func_id (str or None) -> int
  PyObject* lock;        // threading.Lock guarding thresholds and the reads from the store
  double min_recompile_interval;
};

CompilegateObject& gate_of(PyObject* self) { return cast<CompilegateObject>(self); }

// ---------------------------------------------------------------------------------------------
// Reading the configuration and the metrics

// config.<name> as Python code sees it. For an exact PolicyConfig that is the field itself; a
// Python subclass may have replaced the property.
Ref config_attribute(PyObject* config, Name& name, int field) {
  if (Py_IS_TYPE(config, policy_config_type)) return py_int(field);
  return checked(PyObject_GetAttr(config, name.get()));
}

// The learned threshold of `func_id`, else the configured initial one. Caller holds the lock.
int32_t threshold_of(CompilegateObject& gate, PyObject* func_id) {
  Ref stored = Ref::borrow(PyDict_GetItemWithError(gate.thresholds, func_id));
  if (stored) return to_int32(stored.get());
  check_pending();
  return policy(gate.config).initial_threshold;
}

int32_t c_get_threshold_fast(PyObject* gate, PyObject* func_id) {
  int32_t threshold = -1;
  guarded_status([&] { threshold = threshold_of(gate_of(gate), func_id); });
  return threshold;
}

const CompilegateApi compilegate_api = {c_get_threshold_fast};

Ref get_metrics(PyObject* telemetry_store, PyObject* func_id) {
  PyObject* call[] = {telemetry_store, func_id};
  return checked(PyObject_VectorcallMethod(get_metrics_name.get(), call, 2, nullptr));
}

// A FunctionMetrics of exactly that class is read field by field; anything else (a subclass
// may override the properties, a store may return its own record class) by attribute.
bool is_plain_metrics(PyObject* metrics) { return Py_IS_TYPE(metrics, function_metrics_type); }

uint64_t read_call_count(PyObject* metrics) {
  if (is_plain_metrics(metrics)) return metrics_of(metrics).call_count;
  return to_uint64(checked(PyObject_GetAttr(metrics, call_count_name.get())).get());
}

uint32_t read_compile_count(PyObject* metrics) {
  if (is_plain_metrics(metrics)) return metrics_of(metrics).compile_count;
  return to_uint32(checked(PyObject_GetAttr(metrics, compile_count_name.get())).get());
}

double read_avg_speedup(PyObject* metrics) {
  if (is_plain_metrics(metrics)) return metrics_of(metrics).avg_speedup;
  return to_double(checked(PyObject_GetAttr(metrics, avg_speedup_name.get())).get());
}

// A record without last_compiled counts as compiled at time 0.0.
double read_last_compiled(PyObject* metrics) {
  if (is_plain_metrics(metrics)) return metrics_of(metrics).last_compiled;
  Ref value = optional_attribute(metrics, last_compiled_name.get());
  return value ? to_double(value.get()) : 0.0;
}

// `metrics.compile_count == 0` with Python's equality, before any conversion.
bool never_compiled(PyObject* metrics) {
  if (is_plain_metrics(metrics)) return metrics_of(metrics).compile_count == 0;
  Ref count = checked(PyObject_GetAttr(metrics, compile_count_name.get()));
  Ref zero = py_int(0);
  return check(PyObject_RichCompareBool(count.get(), zero.get(), Py_EQ)) == 1;
}

// ---------------------------------------------------------------------------------------------
// The adaptation rule

// The threshold after a compilation that achieved `avg_speedup` on average. Plain double
// arithmetic in the order written (the build forbids fused multiply-adds). The minimum test
// comes first and also catches NaN, so the final truncation only sees values inside
// [min_threshold, max_threshold], which lies in int32 range; when setters have inverted the
// bounds every value ends at one of the two bounds.
int32_t adapted_threshold(const PolicyConfigObject& config, int32_t current, uint32_t compile_count,
                          double avg_speedup) {
  const double target = config.target_speedup > 0.0 ? config.target_speedup : 1.0;
  const double ratio = avg_speedup / target;
  const double damping = std::min(0.1 * static_cast<double>(compile_count), 1.0);
  const double effective_rate = config.learning_rate - damping * config.learning_rate;
  const double threshold = current;
  const double step = ratio > 1.0 ? -threshold : threshold;  // a ratio of 1.0 or NaN raises it
  const double value = threshold + effective_rate * step;
  if (value < config.min_threshold || std::isnan(value)) return config.min_threshold;
  if (value > config.max_threshold) return config.max_threshold;
  return static_cast<int32_t>(value);
}

// ---------------------------------------------------------------------------------------------
// The DEBUG line of update()

// True when logger.debug() would certainly drop the line: a standard Logger whose level cache
// already holds False for DEBUG. logging clears that cache whenever any level changes, and the
// cached answer is what Logger.isEnabledFor returns. Anything else is left to logger.debug().
bool debug_known_off(PyObject* logger) {
  if (as_object(Py_TYPE(logger)) != logger_class) return false;
  Ref own_attributes = checked(PyObject_GenericGetDict(logger, nullptr));
  PyObject* attributes = own_attributes.get();
  // A debug() replaced on the instance is always called.
  if (PyDict_GetItemWithError(attributes, debug_name.get()) != nullptr) return false;
  check_pending();
  PyObject* cache = PyDict_GetItemWithError(attributes, level_cache_name.get());  // borrowed
  if (cache == nullptr || !PyDict_CheckExact(cache)) {
    check_pending();
    return false;
  }
  PyObject* enabled = PyDict_GetItemWithError(cache, debug_level);  // borrowed
  if (enabled == nullptr) check_pending();
  return enabled == Py_False;
}

struct PyMemFree {
  void operator()(char* text) const { PyMem_Free(text); }
};

// format(value, ".2f")
Ref two_decimals(double value) {
  std::unique_ptr<char, PyMemFree> text(PyOS_double_to_string(value, 'f', 2, 0, nullptr));
  if (!text) throw PythonError{};
  return py_str(text.get());
}

void log_threshold_change(PyObject* func_id, int32_t old_threshold, int32_t new_threshold, double avg_speedup) {
  Ref logger = module_global(the_module, logger_name);
  if (debug_known_off(logger.get())) return;
  Ref id_text = checked(PyObject_Str(func_id));
  Ref speedup = two_decimals(avg_speedup);
  Ref message = checked(PyUnicode_FromFormat("Updated threshold for %U: %d -> %d (speedup: %Ux)", id_text.get(),
                                             old_threshold, new_threshold, speedup.get()));
  checked(PyObject_CallMethodOneArg(logger.get(), debug_name.get(), message.get()));
}

// ---------------------------------------------------------------------------------------------
// Methods

Ref gate_get_threshold(PyObject* self, const Args& args) {
  PyObject* func_id = args[0];
  require_str_or_none(func_id, "func_id");
  CompilegateObject& gate = gate_of(self);
  auto lookup = [&] {
    PyObject* stored = PyDict_GetItemWithError(gate.thresholds, func_id);  // borrowed
    if (stored != nullptr) return Ref::borrow(stored);
    check_pending();
    return config_attribute(gate.config, initial_threshold_name, policy(gate.config).initial_threshold);
  };
  // With an exact PolicyConfig the lookup runs no Python code: `thresholds` is private and only
  // update() writes it, with exact str or None keys and int values. So while no other thread
  // holds the lock, running the lookup without it is as good as taking it (the interpreter lock
  // is held throughout). This relies on the interpreter lock; it would not hold without one.
  if (Py_IS_TYPE(gate.config, policy_config_type) && thread_lock_is_free(gate.lock)) return lookup();
  LockHold hold(gate.lock);
  return lookup();
}

Ref gate_should_compile(PyObject* self, const Args& args) {
  PyObject* func_id = args[0];
  require_str_or_none(func_id, "func_id");
  const double current_time = wall_clock();
  CompilegateObject& gate = gate_of(self);
  int32_t threshold;
  uint64_t call_count;
  uint32_t compile_count;
  double last_compiled;
  {
    Ref metrics;  // declared first so that it is released after the lock
    LockHold hold(gate.lock);
    threshold = threshold_of(gate, func_id);
    metrics = get_metrics(args[1], func_id);
    call_count = read_call_count(metrics.get());
    compile_count = read_compile_count(metrics.get());
    last_compiled = read_last_compiled(metrics.get());
  }
  // Compared as numbers: a negative threshold (set through the properties) is always reached.
  if (std::cmp_less(call_count, threshold)) return py_bool(false);
  if (compile_count == 0) return py_bool(true);
  return py_bool(current_time - last_compiled >= gate.min_recompile_interval);  // NaN: false
}

Ref gate_update(PyObject* self, const Args& args) {
  PyObject* func_id = args[0];
  require_str_or_none(func_id, "func_id");
  CompilegateObject& gate = gate_of(self);
  int32_t old_threshold;
  int32_t new_threshold;
  double avg_speedup;
  {
    Ref metrics;  // declared first so that it is released after the lock
    LockHold hold(gate.lock);
    metrics = get_metrics(args[1], func_id);
    if (never_compiled(metrics.get())) return none();
    old_threshold = threshold_of(gate, func_id);
    const uint32_t compile_count = read_compile_count(metrics.get());
    avg_speedup = read_avg_speedup(metrics.get());
    new_threshold = adapted_threshold(policy(gate.config), old_threshold, compile_count, avg_speedup);
    Ref stored = py_int(new_threshold);
    check(PyDict_SetItem(gate.thresholds, func_id, stored.get()));
  }
  log_threshold_change(func_id, old_threshold, new_threshold, avg_speedup);
  return none();
}

void set_key(PyObject* dict, const char* key, const Ref& value) { check(PyDict_SetItemString(dict, key, value.get())); }

Ref gate_get_statistics(PyObject* self, const Args&) {
  CompilegateObject& gate = gate_of(self);
  Ref statistics = checked(PyDict_New());
  LockHold hold(gate.lock);
  PyObject* stats = statistics.get();
  const PolicyConfigObject& config = policy(gate.config);
  if (PyDict_GET_SIZE(gate.thresholds) == 0) {
    set_key(stats, "tracked_functions", py_int(0));
    set_key(stats, "avg_threshold", config_attribute(gate.config, initial_threshold_name, config.initial_threshold));
    set_key(stats, "min_threshold", config_attribute(gate.config, min_threshold_name, config.min_threshold));
    set_key(stats, "max_threshold", config_attribute(gate.config, max_threshold_name, config.max_threshold));
    return statistics;
  }
  Ref values = checked(PyDict_Values(gate.thresholds));
  Ref count = py_int(PyList_GET_SIZE(values.get()));
  Ref total = checked(PyObject_CallOneArg(builtin_sum, values.get()));
  set_key(stats, "tracked_functions", count);
  set_key(stats, "avg_threshold", checked(PyNumber_TrueDivide(total.get(), count.get())));
  set_key(stats, "min_threshold", checked(PyObject_CallOneArg(builtin_min, values.get())));
  set_key(stats, "max_threshold", checked(PyObject_CallOneArg(builtin_max, values.get())));
  return statistics;
}

PyObject* gate_config(PyObject* self, void*) { return Py_NewRef(gate_of(self).config); }

PyGetSetDef compilegate_getset[] = {
    {"config", gate_config, nullptr, "Get policy configuration.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// ---------------------------------------------------------------------------------------------
// Construction

const Signature compilegate_signature{"__cinit__", {{"config", "None"}}};

// None: the defaults. A PolicyConfig: that very object. Anything else: a configuration object
// of another layer, read attribute by attribute with the defaults for missing ones, and
// validated by PolicyConfig.
Ref policy_config_for(PyObject* config) {
  if (config == Py_None) return checked(PyObject_CallNoArgs(as_object(policy_config_type)));
  if (PyObject_TypeCheck(config, policy_config_type)) return Ref::borrow(config);
  Ref defaults[] = {py_int(100), py_int(10), py_int(10000), py_float(0.1), py_float(2.0)};
  Ref values[5];
  for (Py_ssize_t i = 0; i < 5; ++i) {
    values[i] = optional_attribute(config, PyTuple_GET_ITEM(policy_kwnames, i));
    if (!values[i]) values[i] = std::move(defaults[i]);
  }
  return call_with_keywords(policy_config_type, values, policy_kwnames);
}

PyObject* compilegate_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return guarded([&] {
    ArgBuffer buffer;
    const Args bound = bind(compilegate_signature, args, kwargs, buffer);
    Ref config = policy_config_for(bound.get_or(0, Py_None));
    Ref thresholds = checked(PyDict_New());
    Ref lock = new_lock();
    Ref self = allocate(type);
    CompilegateObject& gate = gate_of(self.get());
    gate.config = config.release();
    gate.thresholds = thresholds.release();
    gate.lock = lock.release();
    gate.min_recompile_interval = 600.0;
    return self.release();
  });
}

// No tp_clear: the fields must stay valid while methods can run. A reference cycle through a
// policy always passes through a Python object's own dict or slots (a PolicyConfig or
// Compilegate subclass instance), which the collector clears.
int compilegate_traverse(PyObject* self, visitproc visit, void* arg) {
  Py_VISIT(Py_TYPE(self));
  Py_VISIT(gate_of(self).config);
  Py_VISIT(gate_of(self).thresholds);
  return 0;
}

void compilegate_dealloc(PyObject* self) {
  PyObject_GC_UnTrack(self);
  CompilegateObject& gate = gate_of(self);
  Py_CLEAR(gate.config);
  Py_CLEAR(gate.thresholds);
  Py_CLEAR(gate.lock);
  free_instance(self);
}

PyType_Slot compilegate_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(compilegate_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(compilegate_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(compilegate_traverse)},
    {Py_tp_getset, compilegate_getset},
    {Py_tp_doc, const_cast<char*>("Compilegate(config=None)\n--\n\n"
                                  "Adaptive JIT compilation policy: a per-function call-count threshold, "
                                  "lowered after compilations that beat the target speed-up and raised after "
                                  "the others, within the bounds of a PolicyConfig. config may be None (the "
                                  "defaults), a PolicyConfig (kept as it is) or any object whose attributes "
                                  "of the same names are read, with the defaults for missing ones.")},
    {0, nullptr},
};
PyType_Spec compilegate_spec = {"klavrix.jit.compilegate.Compilegate", sizeof(CompilegateObject), 0,
                                Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC, compilegate_slots};

void create_compilegate_class(PyObject* module) {
  PyTypeObject* type = make_type(module, compilegate_spec);
  compilegate_type = type;
  const std::initializer_list<Param> func_id_and_store = {{"func_id", nullptr, "str"}, {"telemetry_store"}};
  add_method(type, {"get_threshold", gate_get_threshold, {{"func_id", nullptr, "str"}}, "int",
                    "Get compilation threshold for function (one dict lookup under the lock; target: under "
                    "100 ns)."});
  add_method(type, {"should_compile", gate_should_compile, func_id_and_store, "bool",
                    "Whether the function should be compiled now: its call count has reached its threshold, "
                    "and it was never compiled or its last compilation is at least 600 seconds old "
                    "(threshold check plus metrics lookup; target: under 1 us)."});
  add_method(type, {"update", gate_update, func_id_and_store, "None",
                    "Adapt the function's threshold from its measured average speed-up after a compilation "
                    "(target: under 1 us)."});
  add_method(type, {"get_statistics", gate_get_statistics, {}, "Dict",
                    "Number of tracked functions and the mean, smallest and largest learned threshold."});
  refuse_pickling(type);
  publish_api(type, &compilegate_api, klavrix::compilegate::kCompilegateApiName);
  bind(module, "Compilegate", as_object(type));
}

// =============================================================================================
// Module functions

Ref get_compilegate(PyObject*, const Args&) {
  Ref lock = module_global(the_module, policy_lock_name);
  LockHold hold(lock.get());
  if (global_policy == nullptr) global_policy = checked(PyObject_CallNoArgs(as_object(compilegate_type))).release();
  return Ref::borrow(global_policy);
}

Ref reset_compilegate(PyObject*, const Args&) {
  Ref dropped;  // released after the lock: dropping the last reference may run finalisers
  Ref lock = module_global(the_module, policy_lock_name);
  LockHold hold(lock.get());
  dropped = Ref::steal(std::exchange(global_policy, nullptr));
  return none();
}

// An argument annotated `float`: converted to a double, or its default.
Ref float_argument(const Args& args, int index, double fallback) {
  return py_float(args.has(index) ? to_double(args[index]) : fallback);
}

Ref create_function_metrics(PyObject*, const Args& args) {
  Ref values[] = {int_argument(args, 0, "call_count", 0), int_argument(args, 1, "compile_count", 0),
                  float_argument(args, 2, 1.0), float_argument(args, 3, 0.0), float_argument(args, 4, 0.0)};
  return call_with_keywords(function_metrics_type, values, metrics_kwnames);
}

Ref create_policy_config(PyObject*, const Args& args) {
  Ref values[] = {int_argument(args, 0, "initial_threshold", 100), int_argument(args, 1, "min_threshold", 10),
                  int_argument(args, 2, "max_threshold", 10000), float_argument(args, 3, 0.1),
                  float_argument(args, 4, 2.0)};
  return call_with_keywords(policy_config_type, values, policy_kwnames);
}

void add_function(PyObject* module, const FunctionSpec& spec) {
  Ref function = make_module_function(module, spec);
  bind(module, spec.name, function.get());
}

// =============================================================================================
// Module

// A builtin as it is when the module loads.
PyObject* builtin(const char* name) {
  PyObject* value = PyDict_GetItemString(PyEval_GetBuiltins(), name);  // borrowed
  if (value == nullptr) raise_format(PyExc_NameError, "name '%s' is not defined", name);
  return Py_NewRef(value);
}

void populate(PyObject* module) {
  the_module = module;
  bind_import(module, "time");
  Ref logging = bind_import(module, "logging");
  bind_import(module, "threading");
  bind_from(module, "typing", {"Dict", "Optional"});
  Ref logger = bind_logger(module);
  Py_XSETREF(logger_class, checked(PyObject_GetAttrString(logging.get(), "Logger")).release());
  Py_XSETREF(debug_level, checked(PyObject_GetAttrString(logging.get(), "DEBUG")).release());
  Py_XSETREF(builtin_sum, builtin("sum"));
  Py_XSETREF(builtin_min, builtin("min"));
  Py_XSETREF(builtin_max, builtin("max"));
  Py_XSETREF(policy_kwnames,
             names_tuple({"initial_threshold", "min_threshold", "max_threshold", "learning_rate", "target_speedup"})
                 .release());
  Py_XSETREF(metrics_kwnames,
             names_tuple({"call_count", "compile_count", "avg_speedup", "total_execution_time_ms",
                          "last_compile_time"})
                 .release());

  create_policy_config_class(module);
  create_function_metrics_class(module);
  create_compilegate_class(module);

  bind(module, "_policy_lock", new_lock().get());
  add_function(module, {"get_compilegate", get_compilegate, {}, "Compilegate",
                        "Get the shared adaptive compilation policy, created on first use."});
  add_function(module, {"reset_compilegate", reset_compilegate, {}, "None",
                        "Drop the shared policy; the next get_compilegate() creates a fresh one."});
  add_function(module, {"create_function_metrics", create_function_metrics,
                        {{"call_count", "0", "int"},
                         {"compile_count", "0", "int"},
                         {"avg_speedup", "1.0", "float"},
                         {"total_execution_time_ms", "0.0", "float"},
                         {"last_compile_time", "0.0", "float"}},
                        "FunctionMetrics",
                        "Create a FunctionMetrics record (its last_compiled is last_compile_time)."});
  add_function(module, {"create_policy_config", create_policy_config,
                        {{"initial_threshold", "100", "int"},
                         {"min_threshold", "10", "int"},
                         {"max_threshold", "10000", "int"},
                         {"learning_rate", "0.1", "float"},
                         {"target_speedup", "2.0", "float"}},
                        "PolicyConfig", "Create a validated PolicyConfig."});

  log_info(logger.get(), "Klavrix Compilegate Cython module loaded - IP protected");
}

ModuleFrame frame("compilegate",
                  "Adaptive JIT compilation policy.\n\n"
                  "Compilegate decides per function when the JIT compiler should compile it and learns a "
                  "call-count threshold from the speed-ups of earlier compilations. PolicyConfig holds its "
                  "tuning parameters, FunctionMetrics the per-function counters of the telemetry store. "
                  "get_compilegate() returns the process-wide shared policy.",
                  populate);

}  // namespace

PyMODINIT_FUNC PyInit_compilegate() { return frame.init(); }
