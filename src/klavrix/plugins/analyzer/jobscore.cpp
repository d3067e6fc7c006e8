// klavrix.plugins.analyzer.jobscore: the workload analyzer's scoring rules.
//
// Text scores look for keyword tables in the lower-cased source of a function. The tables are
// searched in one pass per text by automata built at compile time (jobscore/matcher.hpp), which
// read A-Z as a-z; the text is lower-cased as str.lower does it (extkit's LowerCasedText), so the
// results equal the plain rules on any text.
//
// quick_framework_score runs the compiled regular expressions of the module-private pattern
// table. Nothing is written after load, so any number of threads may call these functions.
#include <cstddef>
#include <string_view>

#include "extkit/extkit.hpp"
#include "klavrix/plugins/analyzer/jobscore/explain.hpp"
#include "klavrix/plugins/analyzer/jobscore/rules.hpp"

namespace {

using namespace extkit;
namespace rules = klavrix::jobscore;

// Framework name -> pattern compiled with re.IGNORECASE; built at load, read-only afterwards,
// reachable from no Python object.
PyObject* framework_patterns = nullptr;

// ---------------------------------------------------------------------------------------------
// Framework and workload pattern scoring

double quick_framework_score(PyObject*, PyObject* code, PyObject* framework) {
  if (framework == Py_None) return 0.0;
  PyObject* pattern = PyDict_GetItemWithError(framework_patterns, framework);  // borrowed
  if (pattern == nullptr) {
    check_pending();
    return 0.0;
  }
  Ref matches = call_method(pattern, "findall"_name, code);
  const Py_ssize_t count = PyObject_Length(matches.get());  // a list
  if (count < 0) throw PythonError{};
  return rules::quick_score(static_cast<std::size_t>(count));
}

Ref score_indicators(PyObject*, PyObject* code, PyObject* function_name) {
  rules::IndicatorSet in_source;
  rules::IndicatorSet in_name;
  LowerCasedText(code).visit(
      [&](auto* units, std::size_t length) { rules::find_indicators(units, length, in_source); });
  if (function_name != Py_None) {
    LowerCasedText(function_name).visit([&](auto* units, std::size_t length) {
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
  LowerCasedText(code).visit(
      [&](auto* units, std::size_t length) { rules::find_framework_keywords(units, length, found); });
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
    if (!PyErr_ExceptionMatches(PyExc_ValueError)) throw PythonError{};
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
// Explanations

// {table name: [(entry, offset in code.lower(), or -1 when it counts only through the function
// name), ...]} for the seven indicator tables and the three framework tables.
Ref keyword_matches(PyObject*, PyObject* code, PyObject* function_name) {
  const LowerCasedText text(code);
  rules::IndicatorSet in_text;
  rules::FrameworkSet frameworks;
  text.visit([&](auto* units, std::size_t length) {
    rules::find_indicators(units, length, in_text);
    rules::find_framework_keywords(units, length, frameworks);
  });
  rules::IndicatorSet in_name;
  if (function_name != Py_None) {
    LowerCasedText(function_name).visit([&](auto* units, std::size_t length) {
      rules::find_indicators(units, length, in_name);
    });
  }
  const rules::IndicatorSet in_name_only = in_name & rules::kSearchedInName;

  Ref result = checked(PyDict_New());
  text.visit([&](auto* units, std::size_t length) {
    auto add_table = [&](const char* table, const auto& range, const auto& entries, const auto& found,
                         const auto& found_in_name_only) {
      Ref matches = checked(PyList_New(0));
      rules::for_each_counted(range, entries, found, found_in_name_only, units, length,
                              [&](std::string_view entry, std::ptrdiff_t offset) {
                                Ref keyword = checked(PyUnicode_FromStringAndSize(
                                    entry.data(), static_cast<Py_ssize_t>(entry.size())));
                                check(PyList_Append(matches.get(), py_tuple(std::move(keyword), offset).get()));
                              });
      check(PyDict_SetItemString(result.get(), table, matches.get()));
    };
    for (std::size_t t = 0; t < rules::kIndicatorRanges.size(); ++t) {
      add_table(rules::kIndicatorTableNames[t], rules::kIndicatorRanges[t], rules::kIndicatorEntries, in_text,
                in_name_only);
    }
    for (std::size_t f = 0; f < rules::kFrameworkRanges.size(); ++f) {
      add_table(rules::kFrameworkTableNames[f], rules::kFrameworkRanges[f], rules::kFrameworkEntries, frameworks,
                rules::FrameworkSet{});
    }
  });
  return result;
}

// ---------------------------------------------------------------------------------------------
// Module

void build_framework_patterns(PyObject* module) {
  Ref re = bind_import(module, "re");
  Ref ignore_case = checked(PyObject_GetAttrString(re.get(), "IGNORECASE"));
  Ref patterns = checked(PyDict_New());
  for (const rules::FrameworkPattern& entry : rules::kFrameworkPatterns) {
    Ref source = py_str(entry.pattern);
    Ref compiled = call_method(re.get(), "compile"_name, source.get(), ignore_case.get());
    check(PyDict_SetItemString(patterns.get(), entry.framework, compiled.get()));
  }
  Py_XSETREF(framework_patterns, patterns.release());
}

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
  add_function(module, def<normalize_scores>("normalize_scores", param<Int<Int32>>("cpu_score"),
                                             param<Int<Int32>>("memory_score"), param<Int<Int32>>("parallel_score"),
                                             param<Int<Int32>>("gpu_op_score"), param<Int<Int32>>("large_data_score"))
                           .returns("tuple")
                           .doc("The raw indicator counts scaled by their table sizes (15, 10, 11, 36, 13) "
                                "and clamped to 0.0..1.0."));
  add_function(module, def<score_framework_patterns>("score_framework_patterns", param<Str>("code"))
                           .returns("tuple")
                           .doc("(numpy_score, pandas_score, sklearn_score): the share of each framework's "
                                "keywords present in the lower-cased code, at most 1.0."));
  add_function(module,
               def<determine_workload_pattern>(
                   "determine_workload_pattern", param<Float>("cpu_intensity"), param<Float>("memory_intensity"),
                   param<Float>("parallelization_potential"), param<Float>("gpu_suitability"),
                   param<Float>("gpu_operation_score"), param<Float>("numpy_score"), param<Float>("pandas_score"),
                   param<Float>("sklearn_score"), param<Int<Int32>>("sequential_count"),
                   param<Int<Int32>>("embarrassing_count"), param<Float>("cpu_threshold"),
                   param<Float>("memory_threshold"), param<Float>("gpu_threshold"), param<Float>("numpy_threshold"),
                   param<Float>("pandas_threshold"), param<Float>("sklearn_threshold"), param<Bool>("gpu_available"))
                   .returns("int")
                   .doc("The workload pattern code: scikit-learn (12), pandas (10) and NumPy (8) above "
                        "their thresholds first, then GPU (6, 7 or 5), parallel-friendly (3), "
                        "CPU-intensive (1), memory-intensive (2), sequential (4), else mixed (0)."));

  add_function(module,
               def<calculate_gpu_suitability>("calculate_gpu_suitability", param<Float>("gpu_operation_score"),
                                              param<Float>("gpu_data_size_score"), param<Float>("cpu_intensity"),
                                              param<Bool>("gpu_available"), param<Str>("compute_capability"))
                   .returns("float")
                   .doc("Overall GPU suitability in 0.0..1.0, weighted by the device's compute "
                        "capability (such as \"8.6\"; None or empty when it reports none)."));
  add_function(module, def<estimate_gpu_speedup>("estimate_gpu_speedup", param<Float>("gpu_operation_score"),
                                                 param<Float>("gpu_data_size_score"), param<Bool>("gpu_available"))
                           .returns("float")
                           .doc("Estimated GPU speed-up ratio; 1.0 means no speed-up."));
  add_function(module, def<calculate_parallelization_potential>(
                           "calculate_parallelization_potential", param<Float>("base_parallel_score"),
                           param<Float>("embarrassing_bonus"), param<Float>("sequential_penalty"),
                           param<Float>("loop_chunking_potential"))
                           .returns("float")
                           .doc("Parallelization potential in 0.0..1.0."));
  add_function(module, def<update_adaptive_threshold>("update_adaptive_threshold", param<Float>("current_threshold"),
                                                      param<Float>("success_rate"), param<Float>("learning_rate"),
                                                      param<Float>("min_threshold"), param<Float>("max_threshold"))
                           .returns("float")
                           .doc("The next detection threshold: raised by learning_rate while the success rate "
                                "is above 0.8, lowered below 0.4, then kept within min_threshold and "
                                "max_threshold."));

  log_loaded(module, "Klavrix Jobscore Cython module loaded - IP protected");

  // Private: the keyword matches behind the text scores, for the command's explanations.
  add_function(module, def<keyword_matches>("_keyword_matches", param<Str>("code"), param<Str>("function_name"))
                           .returns("dict")
                           .doc("{table: [(keyword, offset in code.lower(), or -1 when found only in the "
                                "function name), ...]} for the entries that score_indicators and "
                                "score_framework_patterns count."));
}

ModuleFrame frame("jobscore", "Workload classification from source text and metrics.", populate);

}  // namespace

PyMODINIT_FUNC PyInit_jobscore() { return frame.init(); }
