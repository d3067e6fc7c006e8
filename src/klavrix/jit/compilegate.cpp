// klavrix.jit.compilegate: when to hand a Python function to the JIT compiler.
//
// PolicyConfig and FunctionMetrics are value classes with typed native fields. Compilegate
// keeps one learned call-count threshold per function and adapts it from the speed-ups that
// the runtime's telemetry store reports. Each Compilegate method holds the instance's lock while
// it reads the thresholds and the store, so that one decision works on one consistent snapshot.
// That lock is private (a NativeLock, unless the module's threading.Lock has been replaced):
// a thread that waits for it lets the interpreter lock go, and a store that calls back into the
// same policy gets RuntimeError instead of hanging. Nothing else here releases the interpreter
// lock. The wall clock is read natively while the module's time.time is the builtin.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <memory>
#include <new>
#include <utility>

#include "extkit/extkit.hpp"
#include "klavrix/jit/compilegate/api.hpp"

namespace {

using namespace extkit;
using klavrix::compilegate::CompilegateApi;
using klavrix::compilegate::FunctionMetricsApi;
using klavrix::compilegate::PolicyConfigApi;

static_assert(sizeof(int) == sizeof(int32_t), "PolicyConfig's C int fields are the policy's int32 thresholds");

PyTypeObject* policy_config_type = nullptr;
PyTypeObject* function_metrics_type = nullptr;
PyTypeObject* compilegate_type = nullptr;
// The builtins get_statistics() uses, as they were when the module loaded.
struct {
  PyObject* sum = nullptr;
  PyObject* min = nullptr;
  PyObject* max = nullptr;
} builtins;
PyObject* global_policy = nullptr;  // the shared Compilegate; null while there is none

const char* const kReentry = "Compilegate is in use by this thread already (re-entrant call)";

// time.time(), through the module's `time` global: read natively while that is the builtin.
StandardFunction time_time{"time", "time"};

double wall_clock() {
  if (Ref replaced = time_time.replacement(ModuleFrame::module())) return to_double(call(replaced.get()).get());
  return wall_clock_now_seconds();
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

// The defaults of PolicyConfig, also those of a foreign configuration's missing attributes.
constexpr int kInitialThreshold = 100;
constexpr int kMinThreshold = 10;
constexpr int kMaxThreshold = 10000;
constexpr double kLearningRate = 0.1;
constexpr double kTargetSpeedup = 2.0;

const Params policy_config_params{"__cinit__",
                                  param<Int32>("initial_threshold", kInitialThreshold),
                                  param<Int32>("min_threshold", kMinThreshold),
                                  param<Int32>("max_threshold", kMaxThreshold),
                                  param<Double>("learning_rate", kLearningRate),
                                  param<Double>("target_speedup", kTargetSpeedup)};

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
    // Every conversion error comes before any validation message.
    const auto [initial, min, max, learning_rate, target_speedup] = policy_config_params.bind(args, kwargs);
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

// Setters convert like the constructor and deliberately do not re-validate.
PyGetSetDef policy_config_getset[] = {
    field_property<&PolicyConfigObject::initial_threshold>("initial_threshold"),
    field_property<&PolicyConfigObject::min_threshold>("min_threshold"),
    field_property<&PolicyConfigObject::max_threshold>("max_threshold"),
    field_property<&PolicyConfigObject::learning_rate>("learning_rate"),
    field_property<&PolicyConfigObject::target_speedup>("target_speedup"),
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

const ClassSpec policy_config_spec = {
    .name = "klavrix.jit.compilegate.PolicyConfig", .basicsize = sizeof(PolicyConfigObject),
    .doc = "PolicyConfig(initial_threshold=100, min_threshold=10, max_threshold=10000, "
           "learning_rate=0.1, target_speedup=2.0)\n--\n\n"
           "Tuning parameters of the adaptive compilation policy, validated once at "
           "creation: 0 < min_threshold < max_threshold, min_threshold <= "
           "initial_threshold <= max_threshold, 0 < learning_rate <= 1, "
           "target_speedup > 0. The property setters do not re-check them.",
    .construct = policy_config_new, .dealloc = free_instance, .properties = policy_config_getset,
};

void create_policy_config_class(PyObject* module) {
  policy_config_type =
      make_class(module, policy_config_spec, {&policy_config_api, klavrix::compilegate::kPolicyConfigApiName});
  add_class(module, policy_config_type);
}

// PolicyConfig(initial_threshold=..., ..., target_speedup=...): validated by the constructor.
Ref new_policy_config(PyObject* initial, PyObject* min, PyObject* max, PyObject* learning_rate,
                      PyObject* target_speedup) {
  return call_with_keywords(as_object(policy_config_type), {},
                            {{"initial_threshold"_name, initial},
                             {"min_threshold"_name, min},
                             {"max_threshold"_name, max},
                             {"learning_rate"_name, learning_rate},
                             {"target_speedup"_name, target_speedup}});
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

const Params function_metrics_params{"__cinit__",
                                     param<UInt64>("call_count", 0),
                                     param<UInt32>("compile_count", 0),
                                     param<Double>("avg_speedup", 1.0),
                                     param<Double>("total_execution_time_ms", 0.0),
                                     param<Double>("last_compile_time", 0.0),
                                     param<Double>("last_compiled", -1.0)};

PyObject* function_metrics_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return guarded([&] {
    const auto [call_count, compile_count, avg_speedup, total_ms, last_compile_time, last_compiled] =
        function_metrics_params.bind(args, kwargs);
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
    field_property<&FunctionMetricsObject::call_count>("call_count"),
    field_property<&FunctionMetricsObject::compile_count>("compile_count"),
    field_property<&FunctionMetricsObject::avg_speedup>("avg_speedup"),
    field_property<&FunctionMetricsObject::total_execution_time_ms>("total_execution_time_ms"),
    field_property<&FunctionMetricsObject::last_compiled>(
        "last_compiled", "Timestamp of last compilation (matches TelemetryStore interface)."),
    field_property<&FunctionMetricsObject::last_compiled>("last_compile_time",
                                                          "Alias for last_compiled for backward compatibility."),
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

const ClassSpec function_metrics_spec = {
    .name = "klavrix.jit.compilegate.FunctionMetrics", .basicsize = sizeof(FunctionMetricsObject),
    .doc = "FunctionMetrics(call_count=0, compile_count=0, avg_speedup=1.0, "
           "total_execution_time_ms=0.0, last_compile_time=0.0, last_compiled=-1.0)\n--\n\n"
           "Call and compile counters of one function, shaped like the telemetry "
           "store's metrics record. last_compiled is the wall-clock time of the last "
           "compilation (0.0: never); a negative last_compiled argument means "
           "'take last_compile_time'.",
    .construct = function_metrics_new, .dealloc = free_instance, .properties = function_metrics_getset,
};

void create_function_metrics_class(PyObject* module) {
  function_metrics_type =
      make_class(module, function_metrics_spec, {&function_metrics_api, klavrix::compilegate::kFunctionMetricsApiName});
  add_class(module, function_metrics_type);
}

// =============================================================================================
// Compilegate

struct CompilegateObject {
  PyObject_HEAD
  PyObject* config;      // a PolicyConfig (or subclass instance); never null while the object lives
  PyObject* thresholds;  // dict: func_id (str or None) -> int
  PrivateLock lock;      // guards thresholds and the reads from the store
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
// `stored_int` tells whether the entry is an exact int (whose value is the result).
int32_t threshold_of(CompilegateObject& gate, PyObject* func_id, bool* stored_int = nullptr) {
  Ref stored = Ref::borrow(PyDict_GetItemWithError(gate.thresholds, func_id));
  if (stored) {
    const int32_t threshold = to_int32(stored.get());
    if (stored_int != nullptr) *stored_int = PyLong_CheckExact(stored.get());
    return threshold;
  }
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
  return call_method(telemetry_store, "get_metrics"_name, func_id);
}

// A FunctionMetrics of exactly that class is read field by field; anything else (a subclass
// may override the properties, a store may return its own record class) by attribute.
bool is_plain_metrics(PyObject* metrics) { return Py_IS_TYPE(metrics, function_metrics_type); }

uint64_t read_call_count(PyObject* metrics) {
  if (is_plain_metrics(metrics)) return metrics_of(metrics).call_count;
  return to_uint64(attribute(metrics, "call_count"_name).get());
}

uint32_t read_compile_count(PyObject* metrics) {
  if (is_plain_metrics(metrics)) return metrics_of(metrics).compile_count;
  return to_uint32(attribute(metrics, "compile_count"_name).get());
}

double read_avg_speedup(PyObject* metrics) {
  if (is_plain_metrics(metrics)) return metrics_of(metrics).avg_speedup;
  return to_double(attribute(metrics, "avg_speedup"_name).get());
}

// A record without last_compiled counts as compiled at time 0.0.
double read_last_compiled(PyObject* metrics) {
  if (is_plain_metrics(metrics)) return metrics_of(metrics).last_compiled;
  Ref value = optional_attribute(metrics, "last_compiled"_name);
  return value ? to_double(value.get()) : 0.0;
}

// `metrics.compile_count == 0` with Python's equality, before any conversion.
bool never_compiled(PyObject* metrics) {
  if (is_plain_metrics(metrics)) return metrics_of(metrics).compile_count == 0;
  Ref count = attribute(metrics, "compile_count"_name);
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
//
// Formatting the line (the speed-up with two decimals) costs several times update's own work,
// and with DEBUG off nobody reads it. When DEBUG is off, the standard Logger.debug does nothing
// but call self.isEnabledFor(DEBUG), which answers false. So while the module's logger has
// logging's own debug and isEnabledFor, isEnabledFor(DEBUG) is asked here instead, once, and
// the line is formatted and passed to logger.debug only when it answers true. Every other
// debug or isEnabledFor (replaced on the class, on the instance or by a subclass, before or
// after this module was loaded) is called as it is, and the logger's levels, its parents',
// logging.disable and getEffectiveLevel are consulted by isEnabledFor itself.

PyObject* logging_namespace = nullptr;  // vars(logging)

// The last function found to be logging's own Logger.<name>, with the code it had then.
struct StandardMethod {
  const char* qualname;
  PyObject* function = nullptr;
  PyObject* code = nullptr;
};
StandardMethod standard_debug{"Logger.debug"};
StandardMethod standard_is_enabled_for{"Logger.isEnabledFor"};

// Whether `bound` is `logger`'s own binding of a function that logging defines as
// Logger.<name>: a function of logging's namespace whose code has that qualified name.
bool is_standard_method(PyObject* bound, PyObject* logger, StandardMethod& standard) {
  if (!PyMethod_Check(bound) || PyMethod_GET_SELF(bound) != logger) return false;
  PyObject* function = PyMethod_GET_FUNCTION(bound);
  if (!PyFunction_Check(function) || PyFunction_GET_GLOBALS(function) != logging_namespace) return false;
  PyObject* code = PyFunction_GET_CODE(function);
  if (function == standard.function && code == standard.code) [[likely]] return true;
  Ref qualname = checked(PyObject_GetAttrString(code, "co_qualname"));
  if (!PyUnicode_Check(qualname.get()) || PyUnicode_CompareWithASCIIString(qualname.get(), standard.qualname) != 0) {
    return false;
  }
  Py_XSETREF(standard.function, Py_NewRef(function));
  Py_XSETREF(standard.code, Py_NewRef(code));
  return true;
}

// False only when `debug`, the logger's debug, is logging's own and would drop the line: the
// logger's own isEnabledFor(logging.DEBUG), called here, answered false.
bool debug_may_log(PyObject* logger, PyObject* debug) {
  if (!is_standard_method(debug, logger, standard_debug)) return true;
  Ref is_enabled_for = attribute(logger, "isEnabledFor"_name);
  if (!is_standard_method(is_enabled_for.get(), logger, standard_is_enabled_for)) return true;
  Ref level = Ref::borrow(PyDict_GetItemWithError(logging_namespace, "DEBUG"_name.get()));
  if (!level) {
    check_pending();
    return true;  // the standard debug() raises NameError itself
  }
  Ref enabled = call(is_enabled_for.get(), level.get());
  return check(PyObject_IsTrue(enabled.get())) != 0;
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
  Ref logger = module_global(ModuleFrame::module(), "logger"_name);
  Ref debug = attribute(logger.get(), "debug"_name);
  if (!debug_may_log(logger.get(), debug.get())) return;
  Ref id_text = checked(PyObject_Str(func_id));
  Ref speedup = two_decimals(avg_speedup);
  Ref message = checked(PyUnicode_FromFormat("Updated threshold for %U: %d -> %d (speedup: %Ux)", id_text.get(),
                                             old_threshold, new_threshold, speedup.get()));
  call(debug.get(), message.get());
}

// ---------------------------------------------------------------------------------------------
// Methods

Ref gate_get_threshold(PyObject* self, PyObject* func_id) {
  CompilegateObject& gate = gate_of(self);
  auto lookup = [&] {
    PyObject* stored = PyDict_GetItemWithError(gate.thresholds, func_id);  // borrowed
    if (stored != nullptr) return Ref::borrow(stored);
    check_pending();
    return config_attribute(gate.config, "initial_threshold"_name, policy(gate.config).initial_threshold);
  };
  PrivateLock::Hold hold(gate.lock, kReentry);
  return lookup();
}

bool gate_should_compile(PyObject* self, PyObject* func_id, PyObject* telemetry_store) {
  const double current_time = wall_clock();
  CompilegateObject& gate = gate_of(self);
  int32_t threshold;
  uint64_t call_count;
  uint32_t compile_count;
  double last_compiled;
  {
    Ref metrics;  // declared first so that it is released after the lock
    PrivateLock::Hold hold(gate.lock, kReentry);
    threshold = threshold_of(gate, func_id);
    metrics = get_metrics(telemetry_store, func_id);
    call_count = read_call_count(metrics.get());
    compile_count = read_compile_count(metrics.get());
    last_compiled = read_last_compiled(metrics.get());
  }
  // Compared as numbers: a negative threshold (set through the properties) is always reached.
  if (std::cmp_less(call_count, threshold)) return false;
  if (compile_count == 0) return true;
  return current_time - last_compiled >= gate.min_recompile_interval;  // NaN: false
}

void gate_update(PyObject* self, PyObject* func_id, PyObject* telemetry_store) {
  CompilegateObject& gate = gate_of(self);
  int32_t old_threshold;
  int32_t new_threshold;
  double avg_speedup;
  {
    Ref metrics;  // declared first so that it is released after the lock
    PrivateLock::Hold hold(gate.lock, kReentry);
    metrics = get_metrics(telemetry_store, func_id);
    if (never_compiled(metrics.get())) return;
    bool stored_int = false;
    old_threshold = threshold_of(gate, func_id, &stored_int);
    const uint32_t compile_count = read_compile_count(metrics.get());
    avg_speedup = read_avg_speedup(metrics.get());
    new_threshold = adapted_threshold(policy(gate.config), old_threshold, compile_count, avg_speedup);
    // An equal int already stored reads the same as a new one. Only a plain FunctionMetrics
    // guarantees that no Python code ran since the entry was read.
    if (!(stored_int && new_threshold == old_threshold && is_plain_metrics(metrics.get()))) {
      Ref stored = py_int(new_threshold);
      check(PyDict_SetItem(gate.thresholds, func_id, stored.get()));
    }
  }
  log_threshold_change(func_id, old_threshold, new_threshold, avg_speedup);
}

Ref gate_get_statistics(PyObject* self) {
  CompilegateObject& gate = gate_of(self);
  Ref statistics = checked(PyDict_New());
  PrivateLock::Hold hold(gate.lock, kReentry);
  PyObject* stats = statistics.get();
  const PolicyConfigObject& config = policy(gate.config);
  if (PyDict_GET_SIZE(gate.thresholds) == 0) {
    set_item(stats, "tracked_functions"_name, py_int(0));
    set_item(stats, "avg_threshold"_name,
             config_attribute(gate.config, "initial_threshold"_name, config.initial_threshold));
    set_item(stats, "min_threshold"_name, config_attribute(gate.config, "min_threshold"_name, config.min_threshold));
    set_item(stats, "max_threshold"_name, config_attribute(gate.config, "max_threshold"_name, config.max_threshold));
    return statistics;
  }
  Ref values = checked(PyDict_Values(gate.thresholds));
  Ref count = py_int(PyList_GET_SIZE(values.get()));
  Ref total = call(builtins.sum, values.get());
  set_item(stats, "tracked_functions"_name, count);
  set_item(stats, "avg_threshold"_name, checked(PyNumber_TrueDivide(total.get(), count.get())));
  set_item(stats, "min_threshold"_name, call(builtins.min, values.get()));
  set_item(stats, "max_threshold"_name, call(builtins.max, values.get()));
  return statistics;
}

PyObject* gate_config(PyObject* self, void*) { return Py_NewRef(gate_of(self).config); }

PyGetSetDef compilegate_getset[] = {
    {"config", gate_config, nullptr, "Get policy configuration.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// ---------------------------------------------------------------------------------------------
// Construction

const Params compilegate_params{"__cinit__", param<Object>("config", none_default)};

// config.<name>, or `fallback` when it has no such attribute.
Ref attribute_or(PyObject* config, Name& name, Ref fallback) {
  Ref value = optional_attribute(config, name);
  return value ? std::move(value) : std::move(fallback);
}

// None: the defaults. A PolicyConfig: that very object. Anything else: a configuration object
// of another layer, read attribute by attribute with the defaults for missing ones, and
// validated by PolicyConfig.
Ref policy_config_for(PyObject* config) {
  if (config == Py_None) return call(as_object(policy_config_type));
  if (PyObject_TypeCheck(config, policy_config_type)) return Ref::borrow(config);
  Ref initial = attribute_or(config, "initial_threshold"_name, py_int(kInitialThreshold));
  Ref min = attribute_or(config, "min_threshold"_name, py_int(kMinThreshold));
  Ref max = attribute_or(config, "max_threshold"_name, py_int(kMaxThreshold));
  Ref learning_rate = attribute_or(config, "learning_rate"_name, py_float(kLearningRate));
  Ref target_speedup = attribute_or(config, "target_speedup"_name, py_float(kTargetSpeedup));
  return new_policy_config(initial.get(), min.get(), max.get(), learning_rate.get(), target_speedup.get());
}

PyObject* compilegate_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return guarded([&] {
    auto [config_argument] = compilegate_params.bind(args, kwargs);
    Ref config = policy_config_for(config_argument);
    Ref thresholds = checked(PyDict_New());
    Ref lock = private_lock_object(ModuleFrame::module());
    Ref self = allocate(type);
    CompilegateObject& gate = gate_of(self.get());
    gate.config = config.release();
    gate.thresholds = thresholds.release();
    new (&gate.lock) PrivateLock(std::move(lock));
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
  Py_VISIT(gate_of(self).lock.object());
  return 0;
}

void compilegate_release(PyObject* self) {
  CompilegateObject& gate = gate_of(self);
  Py_CLEAR(gate.config);
  Py_CLEAR(gate.thresholds);
  gate.lock.~PrivateLock();
}

const ClassSpec compilegate_spec = {
    .name = "klavrix.jit.compilegate.Compilegate", .basicsize = sizeof(CompilegateObject),
    .doc = "Compilegate(config=None)\n--\n\n"
           "Adaptive JIT compilation policy: a per-function call-count threshold, "
           "lowered after compilations that beat the target speed-up and raised after "
           "the others, within the bounds of a PolicyConfig. config may be None (the "
           "defaults), a PolicyConfig (kept as it is) or any object whose attributes "
           "of the same names are read, with the defaults for missing ones.",
    .construct = compilegate_new, .dealloc = gc_dealloc<compilegate_release>, .properties = compilegate_getset,
    .traverse = compilegate_traverse,
};

void create_compilegate_class(PyObject* module) {
  compilegate_type =
      make_class(module, compilegate_spec, {&compilegate_api, klavrix::compilegate::kCompilegateApiName});
  add_method(compilegate_type,
             def<gate_get_threshold>("get_threshold", param<Str>("func_id"))
                 .returns("int")
                 .doc("Get compilation threshold for function (one dict lookup under the lock; target: under "
                      "100 ns)."));
  add_method(compilegate_type,
             def<gate_should_compile>("should_compile", param<Str>("func_id"), param<Object>("telemetry_store"))
                 .returns("bool")
                 .doc("Whether the function should be compiled now: its call count has reached its threshold, "
                      "and it was never compiled or its last compilation is at least 600 seconds old "
                      "(threshold check plus metrics lookup; target: under 1 us)."));
  add_method(compilegate_type,
             def<gate_update>("update", param<Str>("func_id"), param<Object>("telemetry_store"))
                 .returns("None")
                 .doc("Adapt the function's threshold from its measured average speed-up after a compilation "
                      "(target: under 1 us)."));
  add_method(compilegate_type,
             def<gate_get_statistics>("get_statistics")
                 .returns("Dict")
                 .doc("Number of tracked functions and the mean, smallest and largest learned threshold."));
  add_class(module, compilegate_type);
}

// =============================================================================================
// Module functions

// The shared policy is guarded by the module's `_policy_lock`, which may have been replaced by any
// context manager: it is held exactly as a `with` block holds it, and when its __exit__
// suppresses an error the function goes on after the block, as the Python code would.

Ref get_compilegate(PyObject* module) {
  Ref policy = none();  // the result when the block's error is suppressed before it is set
  Ref lock = module_global(module, "_policy_lock"_name);
  with_context(lock.get(), [&] {
    if (global_policy == nullptr) global_policy = call(as_object(compilegate_type)).release();
    policy = Ref::borrow(global_policy);
  });
  return policy;
}

void reset_compilegate(PyObject* module) {
  Ref dropped;  // released after the lock: dropping the last reference may run finalisers
  Ref lock = module_global(module, "_policy_lock"_name);
  with_context(lock.get(), [&] { dropped = Ref::steal(std::exchange(global_policy, nullptr)); });
}

// The factories: `int` parameters take int() of other numbers, and the class validates.

Ref create_function_metrics(PyObject*, Ref call_count, Ref compile_count, double avg_speedup,
                            double total_execution_time_ms, double last_compile_time) {
  Ref speedup = py_float(avg_speedup);
  Ref total = py_float(total_execution_time_ms);
  Ref compiled_at = py_float(last_compile_time);
  return call_with_keywords(as_object(function_metrics_type), {},
                            {{"call_count"_name, call_count.get()},
                             {"compile_count"_name, compile_count.get()},
                             {"avg_speedup"_name, speedup.get()},
                             {"total_execution_time_ms"_name, total.get()},
                             {"last_compile_time"_name, compiled_at.get()}});
}

Ref create_policy_config(PyObject*, Ref initial_threshold, Ref min_threshold, Ref max_threshold, double learning_rate,
                         double target_speedup) {
  Ref rate = py_float(learning_rate);
  Ref target = py_float(target_speedup);
  return new_policy_config(initial_threshold.get(), min_threshold.get(), max_threshold.get(), rate.get(), target.get());
}

// =============================================================================================
// Module

// A builtin as it is when the module loads.
PyObject* builtin(const char* name) {
  PyObject* value = PyDict_GetItemString(PyEval_GetBuiltins(), name);  // borrowed
  if (value == nullptr) raise_undefined_name(name);
  return Py_NewRef(value);
}

void populate(PyObject* module) {
  time_time.capture(bind_import(module, "time").get());
  Ref logging = bind_import(module, "logging");
  bind_import(module, "threading");
  bind_from(module, "typing", {"Dict", "Optional"});
  Ref logger = bind_logger(module, logging.get());
  Py_XSETREF(logging_namespace, Py_NewRef(PyModule_GetDict(logging.get())));
  Py_XSETREF(builtins.sum, builtin("sum"));
  Py_XSETREF(builtins.min, builtin("min"));
  Py_XSETREF(builtins.max, builtin("max"));

  create_policy_config_class(module);
  create_function_metrics_class(module);
  create_compilegate_class(module);

  bind(module, "_policy_lock", new_threading_lock().get());
  add_function(module, def<get_compilegate>("get_compilegate")
                           .returns("Compilegate")
                           .doc("Get the shared adaptive compilation policy, created on first use."));
  add_function(module, def<reset_compilegate>("reset_compilegate")
                           .returns("None")
                           .doc("Drop the shared policy; the next get_compilegate() creates a fresh one."));
  add_function(module, def<create_function_metrics>(
                           "create_function_metrics", param<AnnotatedInt>("call_count", 0),
                           param<AnnotatedInt>("compile_count", 0), param<Float>("avg_speedup", 1.0),
                           param<Float>("total_execution_time_ms", 0.0), param<Float>("last_compile_time", 0.0))
                           .returns("FunctionMetrics")
                           .doc("Create a FunctionMetrics record (its last_compiled is last_compile_time)."));
  add_function(module, def<create_policy_config>(
                           "create_policy_config", param<AnnotatedInt>("initial_threshold", kInitialThreshold),
                           param<AnnotatedInt>("min_threshold", kMinThreshold),
                           param<AnnotatedInt>("max_threshold", kMaxThreshold),
                           param<Float>("learning_rate", kLearningRate), param<Float>("target_speedup", kTargetSpeedup))
                           .returns("PolicyConfig")
                           .doc("Create a validated PolicyConfig."));

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
