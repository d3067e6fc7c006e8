// klavrix.plugins.analyzer.jobscore: the workload analyzer's scoring rules.
//
// Text scores look for keyword tables in the lower-cased source of a function. The tables are
// searched in one pass per text by automata built at compile time (jobscore/matcher.hpp). The
// lower-casing is str.lower itself: an all-ASCII text (the usual case) is scanned as it stands,
// since the automata read A-Z as a-z, which is all str.lower changes in ASCII; any other text
// is lower-cased by the interpreter (one new str, then one scan over its code points), so
// special casings such as 'İ' -> 'i̇' and the Kelvin sign -> 'k' come out exactly as in Python.
//
// quick_framework_score runs the compiled regular expressions of the module-private pattern
// table. Nothing is written after load, so any number of threads may call these functions.
#include <cstddef>

#include "extkit/extkit.hpp"
#include "klavrix/plugins/analyzer/jobscore/explain.hpp"
#include "klavrix/plugins/analyzer/jobscore/rules.hpp"

namespace {

using namespace extkit;
namespace rules = klavrix::jobscore;

// Framework name -> pattern compiled with re.IGNORECASE; built at load, read-only afterwards,
// reachable from no Python object.
PyObject* framework_patterns = nullptr;

Name lower_name{"lower"};
Name findall_name{"findall"};
Name compile_name{"compile"};

// ---------------------------------------------------------------------------------------------
// Lower-cased text

// visit(units, length) over the code units of a str, whatever its width.
template <class Visit>
void visit_units(PyObject* text, Visit&& visit) {
  const std::size_t length = static_cast<std::size_t>(PyUnicode_GET_LENGTH(text));
  switch (PyUnicode_KIND(text)) {
    case PyUnicode_1BYTE_KIND:
      visit(PyUnicode_1BYTE_DATA(text), length);
      break;
    case PyUnicode_2BYTE_KIND:
      visit(PyUnicode_2BYTE_DATA(text), length);
      break;
    default:
      visit(PyUnicode_4BYTE_DATA(text), length);
      break;
  }
}

// visit(units, length) over text.lower(), for the matchers (which fold ASCII letters themselves).
template <class Visit>
void visit_lowered(PyObject* text, Visit&& visit) {
  if (PyUnicode_IS_ASCII(text)) {
    visit(PyUnicode_1BYTE_DATA(text), static_cast<std::size_t>(PyUnicode_GET_LENGTH(text)));
    return;
  }
  Ref lowered = call_method(text, lower_name);
  visit_units(lowered.get(), visit);
}

// The source text of a scored function: a str (None cannot be lower-cased).
PyObject* source_text(PyObject* code) {
  if (code == Py_None) {
    raise(PyExc_TypeError, "descriptor 'lower' for 'str' objects doesn't apply to a 'NoneType' object");
  }
  return code;
}

// ---------------------------------------------------------------------------------------------
// Framework and workload pattern scoring

double quick_framework_score(PyObject*, PyObject* code, PyObject* framework) {
  if (framework == Py_None) return 0.0;
  PyObject* pattern = PyDict_GetItemWithError(framework_patterns, framework);  // borrowed
  if (pattern == nullptr) {
    check_pending();
    return 0.0;
  }
  Ref matches = call_method(pattern, findall_name, code);
  const Py_ssize_t count = PyObject_Length(matches.get());  // a list
  if (count < 0) throw PythonError{};
  return rules::quick_score(static_cast<std::size_t>(count));
}

Ref score_indicators(PyObject*, PyObject* code, PyObject* function_name) {
  rules::IndicatorSet in_source;
  rules::IndicatorSet in_name;
  visit_lowered(source_text(code), [&](auto* units, std::size_t length) {
    rules::find_indicators(units, length, in_source);
  });
  if (function_name != Py_None) {
    visit_lowered(function_name, [&](auto* units, std::size_t length) {
      rules::find_indicators(units, length, in_name);
    });
  }
  const auto counts = rules::count_indicators(in_source, in_name);
  return py_tuple(counts[rules::kCpu], counts[rules::kMemory], counts[rules::kParallel],
                  counts[rules::kGpuOperation], counts[rules::kLargeData], counts[rules::kEmbarrassing],
                  counts[rules::kSequential]);
}

Ref normalize_scores(PyObject*, int cpu_score, int memory_score, int parallel_score, int gpu_op_score,
                     int large_data_score) {
  return py_tuple(rules::normalize(cpu_score, rules::kCpuFactor), rules::normalize(memory_score, rules::kMemoryFactor),
                  rules::normalize(parallel_score, rules::kParallelFactor),
                  rules::normalize(gpu_op_score, rules::kGpuOperationFactor),
                  rules::normalize(large_data_score, rules::kLargeDataFactor));
}

Ref score_framework_patterns(PyObject*, PyObject* code) {
  rules::FrameworkSet found;
  visit_lowered(source_text(code), [&](auto* units, std::size_t length) {
    rules::find_framework_keywords(units, length, found);
  });
  const auto scores = rules::framework_scores(found);
  return py_tuple(scores[rules::kNumpy], scores[rules::kPandas], scores[rules::kSklearn]);
}

int determine_workload_pattern(PyObject*, double cpu_intensity, double memory_intensity,
                               double parallelization_potential, double gpu_suitability, double gpu_operation_score,
                               double numpy_score, double pandas_score, double sklearn_score, int sequential_count,
                               int embarrassing_count, double cpu_threshold, double memory_threshold,
                               double gpu_threshold, double numpy_threshold, double pandas_threshold,
                               double sklearn_threshold, bool gpu_available) {
  return static_cast<int>(rules::workload_pattern(
      {cpu_intensity, memory_intensity, parallelization_potential, gpu_suitability, gpu_operation_score, numpy_score,
       pandas_score, sklearn_score, sequential_count, embarrassing_count, cpu_threshold, memory_threshold,
       gpu_threshold, numpy_threshold, pandas_threshold, sklearn_threshold, gpu_available}));
}

// ---------------------------------------------------------------------------------------------
// GPU suitability, parallelization potential and the adaptive threshold

// The multiplier for a capability text such as "8.6": int() of the text before the first "."
// as a C int. A text that int() refuses counts as no capability; a major version beyond the C
// int range raises OverflowError.
double capability_multiplier(PyObject* capability) {
  if (capability == Py_None || PyUnicode_GET_LENGTH(capability) == 0) return 1.0;
  const Py_ssize_t dot = PyUnicode_FindChar(capability, '.', 0, PyUnicode_GET_LENGTH(capability), 1);
  if (dot == -2) throw PythonError{};
  Ref major_text = dot < 0 ? Ref::borrow(capability) : checked(PyUnicode_Substring(capability, 0, dot));
  Ref major = Ref::steal(PyLong_FromUnicodeObject(major_text.get(), 10));
  if (!major) {
    if (!PyErr_ExceptionMatches(PyExc_ValueError) && !PyErr_ExceptionMatches(PyExc_IndexError)) {
      throw PythonError{};
    }
    PyErr_Clear();
    return 1.0;
  }
  return rules::capability_multiplier(to_int(major.get()));
}

double calculate_gpu_suitability(PyObject*, double gpu_operation_score, double gpu_data_size_score,
                                 double cpu_intensity, bool gpu_available, PyObject* compute_capability) {
  if (!gpu_available) return 0.0;
  const double multiplier = capability_multiplier(compute_capability);
  return rules::gpu_suitability(gpu_operation_score, gpu_data_size_score, cpu_intensity, multiplier);
}

double estimate_gpu_speedup(PyObject*, double gpu_operation_score, double gpu_data_size_score, bool gpu_available) {
  return rules::gpu_speedup(gpu_operation_score, gpu_data_size_score, gpu_available);
}

double calculate_parallelization_potential(PyObject*, double base_parallel_score, double embarrassing_bonus,
                                           double sequential_penalty, double loop_chunking_potential) {
  return rules::parallelization_potential(base_parallel_score, embarrassing_bonus, sequential_penalty,
                                          loop_chunking_potential);
}

double update_adaptive_threshold(PyObject*, double current_threshold, double success_rate, double learning_rate,
                                 double min_threshold, double max_threshold) {
  return rules::adaptive_threshold(current_threshold, success_rate, learning_rate, min_threshold, max_threshold);
}

// ---------------------------------------------------------------------------------------------
// Module

void build_framework_patterns(PyObject* module) {
  Ref re = bind_import(module, "re");
  Ref ignore_case = checked(PyObject_GetAttrString(re.get(), "IGNORECASE"));
  Ref patterns = checked(PyDict_New());
  for (const rules::FrameworkPattern& entry : rules::kFrameworkPatterns) {
    Ref source = py_str(entry.pattern);
    Ref compiled = call_method(re.get(), compile_name, source.get(), ignore_case.get());
    check(PyDict_SetItemString(patterns.get(), entry.framework, compiled.get()));
  }
  Py_XSETREF(framework_patterns, patterns.release());
}

auto float_param(const char* name) { return param<Double>(name).annotated("float"); }
auto int_param(const char* name) { return param<Int32>(name).annotated("int"); }
auto bool_param(const char* name) { return param<Truth>(name).annotated("bool"); }

void populate(PyObject* module) {
  build_framework_patterns(module);

  add_function(module, def<quick_framework_score>("quick_framework_score", param<Str>("code"),
                                                  param<Str>("framework"))
                           .returns("float")
                           .doc("Fast score of code for one framework (\"numpy\", \"pandas\" or \"sklearn\"): "
                                "0.1 per match of its precompiled pattern, at most 1.0; 0.0 for any other "
                                "framework."));
  add_function(module, def<score_indicators>("score_indicators", param<Str>("code"), param<Str>("function_name"))
                           .returns("tuple")
                           .doc("Count the indicator keywords present in the lower-cased code.\n\n"
                                "Returns (cpu_score, memory_score, parallel_score, gpu_op_score, "
                                "large_data_score, embarrassing_score, sequential_score); each keyword counts "
                                "once. GPU-operation and embarrassingly-parallel keywords are also looked for "
                                "in the function name."));
  add_function(module, def<normalize_scores>("normalize_scores", int_param("cpu_score"), int_param("memory_score"),
                                             int_param("parallel_score"), int_param("gpu_op_score"),
                                             int_param("large_data_score"))
                           .returns("tuple")
                           .doc("The raw indicator counts scaled by their table sizes (15, 10, 11, 36, 13) "
                                "and clamped to 0.0..1.0."));
  add_function(module, def<score_framework_patterns>("score_framework_patterns", param<Str>("code"))
                           .returns("tuple")
                           .doc("(numpy_score, pandas_score, sklearn_score): the share of each framework's "
                                "keywords present in the lower-cased code, at most 1.0."));
  add_function(module,
               def<determine_workload_pattern>(
                   "determine_workload_pattern", float_param("cpu_intensity"), float_param("memory_intensity"),
                   float_param("parallelization_potential"), float_param("gpu_suitability"),
                   float_param("gpu_operation_score"), float_param("numpy_score"), float_param("pandas_score"),
                   float_param("sklearn_score"), int_param("sequential_count"), int_param("embarrassing_count"),
                   float_param("cpu_threshold"), float_param("memory_threshold"), float_param("gpu_threshold"),
                   float_param("numpy_threshold"), float_param("pandas_threshold"),
                   float_param("sklearn_threshold"), bool_param("gpu_available"))
                   .returns("int")
                   .doc("The workload pattern code: scikit-learn (12), pandas (10) and NumPy (8) above "
                        "their thresholds first, then GPU (6, 7 or 5), parallel-friendly (3), "
                        "CPU-intensive (1), memory-intensive (2), sequential (4), else mixed (0)."));

  add_function(module, def<calculate_gpu_suitability>(
                           "calculate_gpu_suitability", float_param("gpu_operation_score"),
                           float_param("gpu_data_size_score"), float_param("cpu_intensity"),
                           bool_param("gpu_available"), param<Str>("compute_capability"))
                           .returns("float")
                           .doc("Overall GPU suitability in 0.0..1.0, weighted by the device's compute "
                                "capability (such as \"8.6\"; None or empty when it reports none)."));
  add_function(module, def<estimate_gpu_speedup>("estimate_gpu_speedup", float_param("gpu_operation_score"),
                                                 float_param("gpu_data_size_score"), bool_param("gpu_available"))
                           .returns("float")
                           .doc("Estimated GPU speed-up ratio; 1.0 means no speed-up."));
  add_function(module, def<calculate_parallelization_potential>(
                           "calculate_parallelization_potential", float_param("base_parallel_score"),
                           float_param("embarrassing_bonus"), float_param("sequential_penalty"),
                           float_param("loop_chunking_potential"))
                           .returns("float")
                           .doc("Parallelization potential in 0.0..1.0."));
  add_function(module, def<update_adaptive_threshold>(
                           "update_adaptive_threshold", float_param("current_threshold"),
                           float_param("success_rate"), float_param("learning_rate"),
                           float_param("min_threshold"), float_param("max_threshold"))
                           .returns("float")
                           .doc("The next detection threshold: raised by learning_rate while the success rate "
                                "is above 0.8, lowered below 0.4, then kept within min_threshold and "
                                "max_threshold."));

  Ref logger = bind_logger(module);
  log_info(logger.get(), "Klavrix Jobscore Cython module loaded - IP protected");

  // Private: the keyword matches behind the text scores, for the command's explanations.
  add_function(module, def<rules::keyword_matches>("_keyword_matches", param<Str>("code"),
                                                   param<Str>("function_name"))
                           .returns("dict")
                           .doc("{table: [(keyword, offset in code.lower(), or -1 when found only in the "
                                "function name), ...]} for the entries that score_indicators and "
                                "score_framework_patterns count."));
}

ModuleFrame frame("jobscore", "Workload classification from source text and metrics.", populate);

}  // namespace

PyMODINIT_FUNC PyInit_jobscore() { return frame.init(); }
