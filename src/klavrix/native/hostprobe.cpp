// klavrix.native.hostprobe: what the host offers the runtime. Usable CPU cores, NUMA nodes, GPU
// back-ends, the interpreter version and whether sub-interpreters are available.
//
// The detectors work through Python modules: `sys`, `os` and `time` are bound at load and looked
// up in this module's namespace at every call; `subprocess`, `ctypes`, `_xxsubinterpreters` (3.13:
// `_interpreters`) and the device registry are imported on the paths that need them, at every such call. Every
// platform decision is taken from `sys.platform` at run time, so one build serves Linux, macOS
// and Windows. Each detector catches Exception and answers with its fallback; nothing is cached
// and nothing is logged.
#include "extkit/extkit.hpp"

namespace {

using namespace extkit;

// Module globals
Name sys_name{"sys"};
Name os_name{"os"};
Name time_name{"time"};
Name detect_physical_cores_name{"detect_physical_cores"};
Name detect_numa_nodes_name{"detect_numa_nodes"};
Name detect_gpu_backends_name{"detect_gpu_backends"};
Name detect_python_version_name{"detect_python_version"};

// Attributes and methods of the modules and objects the detectors ask
Name platform_name{"platform"};
Name version_info_name{"version_info"};
Name major_name{"major"};
Name minor_name{"minor"};
Name micro_name{"micro"};
Name sched_getaffinity_name{"sched_getaffinity"};
Name cpu_count_name{"cpu_count"};
Name path_name{"path"};
Name exists_name{"exists"};
Name listdir_name{"listdir"};
Name startswith_name{"startswith"};
Name isdigit_name{"isdigit"};
Name perf_counter_name{"perf_counter"};
Name WinDLL_name{"WinDLL"};
Name use_last_error_name{"use_last_error"};
Name GetNumaHighestNodeNumber_name{"GetNumaHighestNodeNumber"};
Name restype_name{"restype"};
Name argtypes_name{"argtypes"};
Name BOOL_name{"BOOL"};
Name POINTER_name{"POINTER"};
Name c_ulong_name{"c_ulong"};
Name byref_name{"byref"};
Name value_name{"value"};
Name CUDA_name{"CUDA"};
Name ROCm_name{"ROCm"};
Name oneAPI_name{"oneAPI"};
Name detect_available_backends_name{"detect_available_backends"};
Name get_best_available_name{"get_best_available"};
Name info_name{"info"};
Name kind_name{"kind"};
Name version_name{"version"};
Name device_count_name{"device_count"};
Name memory_gb_name{"memory_gb"};
Name run_name{"run"};
Name capture_output_name{"capture_output"};
Name timeout_name{"timeout"};
Name check_name{"check"};
Name returncode_name{"returncode"};
Name stdout_name{"stdout"};
Name decode_name{"decode"};
Name errors_name{"errors"};
Name strip_name{"strip"};
Name split_name{"split"};

// Text constants
Name linux_text{"linux"};
Name win32_text{"win32"};
Name cpu_text{"cpu"};
Name empty_text{""};
Name node_prefix{"node"};
Name node_directory{"/sys/devices/system/node"};
Name kernel32_text{"kernel32"};
Name utf8_text{"utf-8"};
Name ignore_text{"ignore"};
Name newline_text{"\n"};
Name native_text{"native"};
Name native_fallback_text{"native_fallback"};

// Keys of the GPU information and capabilities dicts
Name physical_cores_key{"physical_cores"};
Name numa_nodes_key{"numa_nodes"};
Name has_gpu_key{"has_gpu"};
Name gpu_count_key{"gpu_count"};
Name gpu_memory_mb_key{"gpu_memory_mb"};
Name cuda_available_key{"cuda_available"};
Name rocm_available_key{"rocm_available"};
Name oneapi_available_key{"oneapi_available"};
Name active_backend_key{"active_backend"};
Name backend_version_key{"backend_version"};
Name python_version_key{"python_version"};
Name subinterpreter_support_key{"subinterpreter_support"};
Name platform_key{"platform"};
Name detected_at_key{"detected_at"};
Name detector_key{"detector"};
Name error_key{"error"};
Name detection_time_ms_key{"detection_time_ms"};

Name* const gpu_keys[] = {&has_gpu_key,        &gpu_count_key,      &gpu_memory_mb_key,
                          &cuda_available_key, &rocm_available_key, &oneapi_available_key,
                          &active_backend_key, &backend_version_key};

// ---------------------------------------------------------------------------------------------
// Small steps

Ref import(const char* name) { return checked(PyImport_ImportModule(name)); }

void set_item(PyObject* dict, Name& key, PyObject* value) { check(PyDict_SetItem(dict, key.get(), value)); }
void set_item(PyObject* dict, Name& key, const Ref& value) { set_item(dict, key, value.get()); }

// max(count, 1) for an int
Ref at_least_one(Ref count) {
  Ref one = py_int(1);
  return compare(one.get(), count.get(), Py_GT) ? std::move(one) : std::move(count);
}

// os.cpu_count() or 1
Ref cpu_count_or_one(PyObject* os) {
  Ref count = checked(PyObject_CallMethodNoArgs(os, cpu_count_name.get()));
  return to_bool(count.get()) ? std::move(count) : py_int(1);
}

// The text the registry reports where a str belongs; anything else is not a usable answer.
Ref require_str(Ref value, const char* what) {
  if (!PyUnicode_Check(value.get())) {
    raise_format(PyExc_TypeError, "GPU registry returned %.200s for the %s, expected str", type_name(value.get()), what);
  }
  return value;
}

Ref elapsed_ms(PyObject* time, double start_time) {
  const double now = to_double(checked(PyObject_CallMethodNoArgs(time, perf_counter_name.get())).get());
  return py_float((now - start_time) * 1000.0);
}

// ---------------------------------------------------------------------------------------------
// Cores

Ref detect_physical_cores(PyObject* module) {
  return except_exception(
      [&] {
        Ref os = module_global(module, os_name);
        Ref count;
        if (Ref affinity = optional_attribute(os.get(), sched_getaffinity_name.get())) {
          Ref zero = py_int(0);
          Ref cpus = call(affinity.get(), zero.get());
          const Py_ssize_t size = PyObject_Size(cpus.get());
          if (size < 0) throw PythonError{};
          count = py_int(size);
        } else {
          count = checked(PyNumber_Long(cpu_count_or_one(os.get()).get()));
        }
        return at_least_one(std::move(count));
      },
      [&](PyObject*) {
        // The fallback must answer as well: a cpu_count that fails or reports nonsense still
        // leaves the process one core.
        return except_exception(
            [&] {
              Ref os = module_global(module, os_name);
              return at_least_one(checked(PyNumber_Long(cpu_count_or_one(os.get()).get())));
            },
            [](PyObject*) { return py_int(1); });
      });
}

// ---------------------------------------------------------------------------------------------
// NUMA nodes

// An entry of the node directory that names a node: "node" followed by at least one digit, as
// str.isdigit counts digits.
bool names_node(PyObject* entry) {
  if (PyUnicode_CheckExact(entry)) {
    const Py_ssize_t length = PyUnicode_GET_LENGTH(entry);
    if (length <= 4 || PyUnicode_Tailmatch(entry, node_prefix.get(), 0, 4, -1) != 1) return false;
    const int kind = PyUnicode_KIND(entry);
    const void* data = PyUnicode_DATA(entry);
    for (Py_ssize_t i = 4; i < length; ++i) {
      if (!Py_UNICODE_ISDIGIT(PyUnicode_READ(kind, data, i))) return false;
    }
    return true;
  }
  // Anything else answers through its own methods: entry.startswith("node") and entry[4:].isdigit()
  if (!to_bool(call_method(entry, startswith_name, node_prefix.get()).get())) return false;
  Ref four = py_int(4);
  Ref tail = checked(PySlice_New(four.get(), nullptr, nullptr));
  Ref rest = checked(PyObject_GetItem(entry, tail.get()));
  return to_bool(call_method(rest.get(), isdigit_name).get());
}

Py_ssize_t count_linux_nodes(PyObject* os) {
  Ref path = attribute(os, path_name);
  if (!to_bool(call_method(path.get(), exists_name, node_directory.get()).get())) return 1;
  Ref entries = call_method(os, listdir_name, node_directory.get());
  Ref iterator = checked(PyObject_GetIter(entries.get()));
  Py_ssize_t nodes = 0;
  while (Ref entry = Ref::steal(PyIter_Next(iterator.get()))) {
    if (names_node(entry.get())) ++nodes;
  }
  check_pending();
  return nodes > 0 ? nodes : 1;
}

// kernel32.GetNumaHighestNodeNumber through ctypes: the highest node number plus one.
Ref count_windows_nodes() {
  return except_exception(
      [&] {
        Ref ctypes = import("ctypes");
        Ref wintypes = import("ctypes.wintypes");
        Ref windll = attribute(ctypes.get(), WinDLL_name);
        Ref kernel32 = call_with_keywords(windll.get(), {kernel32_text.get()}, {{use_last_error_name, Py_True}});
        Ref highest_node_number = attribute(kernel32.get(), GetNumaHighestNodeNumber_name);
        set_attribute(highest_node_number.get(), restype_name, attribute(wintypes.get(), BOOL_name).get());
        Ref c_ulong = attribute(ctypes.get(), c_ulong_name);
        Ref pointer = call(attribute(ctypes.get(), POINTER_name).get(), c_ulong.get());
        Ref argtypes = checked(PyList_New(1));
        PyList_SET_ITEM(argtypes.get(), 0, pointer.release());
        set_attribute(highest_node_number.get(), argtypes_name, argtypes.get());
        Ref highest_node = call(c_ulong.get());
        Ref reference = call(attribute(ctypes.get(), byref_name).get(), highest_node.get());
        Ref succeeded = call(highest_node_number.get(), reference.get());
        if (!to_bool(succeeded.get())) return py_int(1);
        Ref highest = attribute(highest_node.get(), value_name);
        Ref one = py_int(1);
        return checked(PyNumber_Add(highest.get(), one.get()));
      },
      [](PyObject*) { return py_int(1); });
}

Ref detect_numa_nodes(PyObject* module) {
  return except_exception(
      [&] {
        Ref sys = module_global(module, sys_name);
        Ref platform = attribute(sys.get(), platform_name);
        if (compare(platform.get(), linux_text.get(), Py_EQ)) {
          Ref os = module_global(module, os_name);
          return py_int(count_linux_nodes(os.get()));
        }
        if (compare(platform.get(), win32_text.get(), Py_EQ)) return count_windows_nodes();
        return py_int(1);  // macOS and the rest: one node, without touching the file system
      },
      [](PyObject*) { return py_int(1); });
}

// ---------------------------------------------------------------------------------------------
// GPU back-ends

void set_gpu_defaults(PyObject* dict) {
  Ref zero = py_int(0);
  set_item(dict, has_gpu_key, Py_False);
  set_item(dict, gpu_count_key, zero);
  set_item(dict, gpu_memory_mb_key, zero);
  set_item(dict, cuda_available_key, Py_False);
  set_item(dict, rocm_available_key, Py_False);
  set_item(dict, oneapi_available_key, Py_False);
  set_item(dict, active_backend_key, cpu_text.get());
  set_item(dict, backend_version_key, empty_text.get());
}

// Fills `gpu` from the device registry, key by key; what is set stays set if a later step fails.
void read_registry(PyObject* module, PyObject* gpu) {
  Ref kinds = import_relative(module, "klavrix.gpu.devicebook", "GPUBackendKind", 0);
  Ref devicebook = import_relative(module, "klavrix.gpu.devicebook", "GPUDevicebook", 0);
  Ref backends = call_method(devicebook.get(), detect_available_backends_name);
  const struct {
    Name& key;
    Name& member;
  } flags[] = {{cuda_available_key, CUDA_name}, {rocm_available_key, ROCm_name}, {oneapi_available_key, oneAPI_name}};
  for (const auto& flag : flags) {
    Ref kind = attribute(kinds.get(), flag.member);
    set_item(gpu, flag.key, py_bool(contains(backends.get(), kind.get())));
  }

  Ref best = call_method(devicebook.get(), get_best_available_name);
  Ref best_info = attribute(best.get(), info_name);
  Ref kind = attribute(best_info.get(), kind_name);
  Ref active = require_str(attribute(kind.get(), value_name), "back-end kind");
  set_item(gpu, active_backend_key, active);
  set_item(gpu, backend_version_key, require_str(attribute(best_info.get(), version_name), "back-end version"));
  const bool has_gpu = compare(active.get(), cpu_text.get(), Py_NE);
  set_item(gpu, has_gpu_key, py_bool(has_gpu));
  if (!has_gpu || !contains(backends.get(), kind.get())) return;

  Ref backend = checked(PyObject_GetItem(backends.get(), kind.get()));
  set_item(gpu, gpu_count_key, py_int(to_int64(attribute(backend.get(), device_count_name).get())));
  const double memory_gb = to_double(attribute(backend.get(), memory_gb_name).get());
  set_item(gpu, gpu_memory_mb_key, checked(PyLong_FromDouble(memory_gb * 1024.0)));  // truncated, as int()
}

// nvidia-smi, bounded to half a second: one line per GPU.
void count_with_nvidia_smi(PyObject* gpu) {
  Ref subprocess = import("subprocess");
  Ref run = attribute(subprocess.get(), run_name);
  Ref command = checked(Py_BuildValue("[sss]", "nvidia-smi", "--query-gpu=name", "--format=csv,noheader"));
  Ref timeout = py_float(0.5);
  Ref result = call_with_keywords(run.get(), {command.get()},
                                  {{capture_output_name, Py_True}, {timeout_name, timeout.get()}, {check_name, Py_False}});
  Ref zero = py_int(0);
  if (!compare(attribute(result.get(), returncode_name).get(), zero.get(), Py_EQ)) return;
  Ref output = attribute(result.get(), stdout_name);
  if (!to_bool(output.get())) return;
  set_item(gpu, has_gpu_key, Py_True);

  Ref decode = attribute(output.get(), decode_name);
  Ref text = call_with_keywords(decode.get(), {utf8_text.get()}, {{errors_name, ignore_text.get()}});
  Ref lines = call_method(call_method(text.get(), strip_name).get(), split_name, newline_text.get());
  Ref iterator = checked(PyObject_GetIter(lines.get()));
  Py_ssize_t names = 0;
  while (Ref line = Ref::steal(PyIter_Next(iterator.get()))) {
    if (to_bool(call_method(line.get(), strip_name).get())) ++names;
  }
  check_pending();
  set_item(gpu, gpu_count_key, py_int(names));
}

Ref detect_gpu_backends(PyObject* module) {
  Ref gpu = checked(_PyDict_NewPresized(8));
  set_gpu_defaults(gpu.get());
  except_exception([&] { read_registry(module, gpu.get()); },
                   [&](PyObject*) {
                     except_exception([&] { count_with_nvidia_smi(gpu.get()); }, [](PyObject*) {});
                   });
  return gpu;
}

// ---------------------------------------------------------------------------------------------
// Interpreter

Ref detect_python_version(PyObject* module) {
  Ref sys = module_global(module, sys_name);
  Ref version_info = attribute(sys.get(), version_info_name);
  Ref major = attribute(version_info.get(), major_name);
  Ref minor = attribute(version_info.get(), minor_name);
  Ref micro = attribute(version_info.get(), micro_name);
  Ref version = checked(PyUnicode_FromFormat("%S.%S.%S", major.get(), minor.get(), micro.get()));

  bool has_subinterpreters = false;
  Ref first_with_them = checked(Py_BuildValue("(ii)", 3, 12));
  if (compare(version_info.get(), first_with_them.get(), Py_GE)) {
    // The private module was renamed in 3.13.
    for (const char* name : {"_xxsubinterpreters", "_interpreters"}) {
      if (Ref imported = Ref::steal(PyImport_ImportModule(name))) {
        has_subinterpreters = true;
        break;
      }
      if (!PyErr_ExceptionMatches(PyExc_ImportError)) throw PythonError{};
      PyErr_Clear();
    }
  }
  return checked(PyTuple_Pack(2, version.get(), has_subinterpreters ? Py_True : Py_False));
}

// ---------------------------------------------------------------------------------------------
// Capabilities

Ref fallback_capabilities(PyObject* module, PyObject* error, double start_time) {
  Ref os = module_global(module, os_name);
  Ref sys = module_global(module, sys_name);
  Ref time = module_global(module, time_name);
  Ref capabilities = checked(_PyDict_NewPresized(17));
  PyObject* dict = capabilities.get();
  set_item(dict, physical_cores_key, cpu_count_or_one(os.get()));
  set_item(dict, numa_nodes_key, py_int(1));
  set_gpu_defaults(dict);
  Ref version_info = attribute(sys.get(), version_info_name);
  Ref major = attribute(version_info.get(), major_name);
  Ref minor = attribute(version_info.get(), minor_name);
  set_item(dict, python_version_key, checked(PyUnicode_FromFormat("%S.%S", major.get(), minor.get())));
  set_item(dict, subinterpreter_support_key, Py_False);
  set_item(dict, platform_key, attribute(sys.get(), platform_name));
  set_item(dict, detected_at_key, checked(PyObject_CallMethodNoArgs(time.get(), time_name.get())));
  set_item(dict, detector_key, native_fallback_text.get());
  set_item(dict, error_key, checked(PyObject_Str(error)));
  set_item(dict, detection_time_ms_key, elapsed_ms(time.get(), start_time));
  return capabilities;
}

Ref detect_capabilities(PyObject* module) {
  Ref capabilities = checked(PyDict_New());
  Ref time = module_global(module, time_name);
  const double start_time = to_double(checked(PyObject_CallMethodNoArgs(time.get(), perf_counter_name.get())).get());
  return except_exception(
      [&] {
        PyObject* dict = capabilities.get();
        auto run_detector = [&](Name& name) { return call(module_global(module, name).get()); };
        set_item(dict, physical_cores_key, run_detector(detect_physical_cores_name));
        set_item(dict, numa_nodes_key, run_detector(detect_numa_nodes_name));
        Ref gpu = run_detector(detect_gpu_backends_name);
        for (Name* key : gpu_keys) set_item(dict, *key, checked(PyObject_GetItem(gpu.get(), key->get())));
        auto [version, has_subinterpreters] = unpack<2>(run_detector(detect_python_version_name).get());
        set_item(dict, python_version_key, version);
        set_item(dict, subinterpreter_support_key, has_subinterpreters);
        Ref sys = module_global(module, sys_name);
        set_item(dict, platform_key, attribute(sys.get(), platform_name));
        Ref clock = module_global(module, time_name);
        set_item(dict, detected_at_key, checked(PyObject_CallMethodNoArgs(clock.get(), time_name.get())));
        set_item(dict, detector_key, native_text.get());
        set_item(dict, detection_time_ms_key, elapsed_ms(clock.get(), start_time));
        return std::move(capabilities);
      },
      [&](PyObject* error) { return fallback_capabilities(module, error, start_time); });
}

// ---------------------------------------------------------------------------------------------
// Module

void populate(PyObject* module) {
  bind_import(module, "sys");
  bind_import(module, "os");
  bind_import(module, "time");
  add_function(module, def<detect_physical_cores>("detect_physical_cores")
                           .returns("int")
                           .doc("Number of CPU cores this process may use (its affinity mask where the host has one), "
                                "at least 1."));
  add_function(module, def<detect_numa_nodes>("detect_numa_nodes")
                           .returns("int")
                           .doc("Number of NUMA nodes of the host, at least 1."));
  add_function(module, def<detect_gpu_backends>("detect_gpu_backends")
                           .returns("dict")
                           .doc("GPU back-ends of the host: availability of CUDA, ROCm and oneAPI, the active "
                                "back-end, its version, device count and memory in MB."));
  add_function(module, def<detect_python_version>("detect_python_version")
                           .returns("tuple")
                           .doc("(version string, whether sub-interpreters are available)."));
  add_function(module, def<detect_capabilities>("detect_capabilities")
                           .returns("dict")
                           .doc("All host capabilities in one dict, with when and how long detection took."));
}

ModuleFrame frame("hostprobe", "Detection of the host's cores, NUMA nodes, GPU back-ends and interpreter features.",
                  populate);

}  // namespace

PyMODINIT_FUNC PyInit_hostprobe() { return frame.init(); }
