// klavrix.native.hostprobe: what the host offers the runtime. Usable CPU cores, NUMA nodes, GPU
// back-ends, the interpreter version and whether sub-interpreters are available.
//
// The detectors work through Python modules: `sys`, `os` and `time` are bound at load and looked
// up in this module's namespace at every call; `subprocess`, `ctypes`, `_xxsubinterpreters` (3.13:
// `_interpreters`) and the device registry are imported on the paths that need them, at every such call. Every
// platform decision is taken from `sys.platform` at run time (Linux, macOS and Windows each have
// their path). Each detector catches Exception and answers with its fallback; nothing is cached
// and nothing is logged.
#include "extkit/extkit.hpp"

namespace {

using namespace extkit;

// The keys of the GPU information dict, in order.
Name* const gpu_keys[] = {&"has_gpu"_name,        &"gpu_count"_name,      &"gpu_memory_mb"_name,
                          &"cuda_available"_name, &"rocm_available"_name, &"oneapi_available"_name,
                          &"active_backend"_name, &"backend_version"_name};

// ---------------------------------------------------------------------------------------------
// Small steps

// max(count, 1) for an int
Ref at_least_one(Ref count) {
  Ref one = py_int(1);
  return compare(one.get(), count.get(), Py_GT) ? std::move(one) : std::move(count);
}

// os.cpu_count() or 1
Ref cpu_count_or_one(PyObject* os) {
  Ref count = checked(PyObject_CallMethodNoArgs(os, "cpu_count"_name.get()));
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
  const double now = to_double(checked(PyObject_CallMethodNoArgs(time, "perf_counter"_name.get())).get());
  return py_float((now - start_time) * 1000.0);
}

// ---------------------------------------------------------------------------------------------
// Cores

Ref detect_physical_cores(PyObject* module) {
  return except_exception(
      [&] {
        Ref os = module_global(module, "os"_name);
        Ref count;
        if (Ref affinity = optional_attribute(os.get(), "sched_getaffinity"_name)) {
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
              Ref os = module_global(module, "os"_name);
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
    if (length <= 4 || PyUnicode_Tailmatch(entry, "node"_name.get(), 0, 4, -1) != 1) return false;
    const int kind = PyUnicode_KIND(entry);
    const void* data = PyUnicode_DATA(entry);
    for (Py_ssize_t i = 4; i < length; ++i) {
      if (!Py_UNICODE_ISDIGIT(PyUnicode_READ(kind, data, i))) return false;
    }
    return true;
  }
  // Anything else answers through its own methods: entry.startswith("node") and entry[4:].isdigit()
  if (!to_bool(call_method(entry, "startswith"_name, "node"_name.get()).get())) return false;
  Ref four = py_int(4);
  Ref tail = checked(PySlice_New(four.get(), nullptr, nullptr));
  Ref rest = checked(PyObject_GetItem(entry, tail.get()));
  return to_bool(call_method(rest.get(), "isdigit"_name).get());
}

Py_ssize_t count_linux_nodes(PyObject* os) {
  Ref path = attribute(os, "path"_name);
  if (!to_bool(call_method(path.get(), "exists"_name, "/sys/devices/system/node"_name.get()).get())) return 1;
  Ref entries = call_method(os, "listdir"_name, "/sys/devices/system/node"_name.get());
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
        Ref ctypes = import_module("ctypes");
        Ref wintypes = import_module("ctypes.wintypes");
        Ref windll = attribute(ctypes.get(), "WinDLL"_name);
        Ref kernel32 = call_with_keywords(windll.get(), {"kernel32"_name.get()}, {{"use_last_error"_name, Py_True}});
        Ref highest_node_number = attribute(kernel32.get(), "GetNumaHighestNodeNumber"_name);
        set_attribute(highest_node_number.get(), "restype"_name, attribute(wintypes.get(), "BOOL"_name).get());
        Ref c_ulong = attribute(ctypes.get(), "c_ulong"_name);
        Ref pointer = call(attribute(ctypes.get(), "POINTER"_name).get(), c_ulong.get());
        Ref argtypes = checked(PyList_New(1));
        PyList_SET_ITEM(argtypes.get(), 0, pointer.release());
        set_attribute(highest_node_number.get(), "argtypes"_name, argtypes.get());
        Ref highest_node = call(c_ulong.get());
        Ref reference = call(attribute(ctypes.get(), "byref"_name).get(), highest_node.get());
        Ref succeeded = call(highest_node_number.get(), reference.get());
        if (!to_bool(succeeded.get())) return py_int(1);
        Ref highest = attribute(highest_node.get(), "value"_name);
        Ref one = py_int(1);
        return checked(PyNumber_Add(highest.get(), one.get()));
      },
      [](PyObject*) { return py_int(1); });
}

Ref detect_numa_nodes(PyObject* module) {
  return except_exception(
      [&] {
        Ref sys = module_global(module, "sys"_name);
        Ref platform = attribute(sys.get(), "platform"_name);
        if (compare(platform.get(), "linux"_name.get(), Py_EQ)) {
          Ref os = module_global(module, "os"_name);
          return py_int(count_linux_nodes(os.get()));
        }
        if (compare(platform.get(), "win32"_name.get(), Py_EQ)) return count_windows_nodes();
        return py_int(1);  // macOS and the rest: one node, without touching the file system
      },
      [](PyObject*) { return py_int(1); });
}

// ---------------------------------------------------------------------------------------------
// GPU back-ends

void set_gpu_defaults(PyObject* dict) {
  Ref zero = py_int(0);
  set_item(dict, "has_gpu"_name, Py_False);
  set_item(dict, "gpu_count"_name, zero);
  set_item(dict, "gpu_memory_mb"_name, zero);
  set_item(dict, "cuda_available"_name, Py_False);
  set_item(dict, "rocm_available"_name, Py_False);
  set_item(dict, "oneapi_available"_name, Py_False);
  set_item(dict, "active_backend"_name, "cpu"_name.get());
  set_item(dict, "backend_version"_name, ""_name.get());
}

// Fills `gpu` from the device registry, key by key; what is set stays set if a later step fails.
void read_registry(PyObject* module, PyObject* gpu) {
  Ref kinds = import_relative(module, "klavrix.gpu.devicebook", "GPUBackendKind", 0);
  Ref devicebook = import_relative(module, "klavrix.gpu.devicebook", "GPUDevicebook", 0);
  Ref backends = call_method(devicebook.get(), "detect_available_backends"_name);
  const struct {
    Name& key;
    Name& member;
  } flags[] = {{"cuda_available"_name, "CUDA"_name},
               {"rocm_available"_name, "ROCm"_name},
               {"oneapi_available"_name, "oneAPI"_name}};
  for (const auto& flag : flags) {
    Ref kind = attribute(kinds.get(), flag.member);
    set_item(gpu, flag.key, py_bool(contains(backends.get(), kind.get())));
  }

  Ref best = call_method(devicebook.get(), "get_best_available"_name);
  Ref best_info = attribute(best.get(), "info"_name);
  Ref kind = attribute(best_info.get(), "kind"_name);
  Ref active = require_str(attribute(kind.get(), "value"_name), "back-end kind");
  set_item(gpu, "active_backend"_name, active);
  set_item(gpu, "backend_version"_name, require_str(attribute(best_info.get(), "version"_name), "back-end version"));
  const bool has_gpu = compare(active.get(), "cpu"_name.get(), Py_NE);
  set_item(gpu, "has_gpu"_name, py_bool(has_gpu));
  if (!has_gpu || !contains(backends.get(), kind.get())) return;

  Ref backend = checked(PyObject_GetItem(backends.get(), kind.get()));
  set_item(gpu, "gpu_count"_name, py_int(to_int64(attribute(backend.get(), "device_count"_name).get())));
  const double memory_gb = to_double(attribute(backend.get(), "memory_gb"_name).get());
  set_item(gpu, "gpu_memory_mb"_name, checked(PyLong_FromDouble(memory_gb * 1024.0)));  // truncated, as int()
}

// nvidia-smi, bounded to half a second: one line per GPU.
void count_with_nvidia_smi(PyObject* gpu) {
  Ref subprocess = import_module("subprocess");
  Ref run = attribute(subprocess.get(), "run"_name);
  Ref command = checked(Py_BuildValue("[sss]", "nvidia-smi", "--query-gpu=name", "--format=csv,noheader"));
  Ref timeout = py_float(0.5);
  Ref result =
      call_with_keywords(run.get(), {command.get()},
                         {{"capture_output"_name, Py_True}, {"timeout"_name, timeout.get()}, {"check"_name, Py_False}});
  Ref zero = py_int(0);
  if (!compare(attribute(result.get(), "returncode"_name).get(), zero.get(), Py_EQ)) return;
  Ref output = attribute(result.get(), "stdout"_name);
  if (!to_bool(output.get())) return;
  set_item(gpu, "has_gpu"_name, Py_True);

  Ref decode = attribute(output.get(), "decode"_name);
  Ref text = call_with_keywords(decode.get(), {"utf-8"_name.get()}, {{"errors"_name, "ignore"_name.get()}});
  Ref lines = call_method(call_method(text.get(), "strip"_name).get(), "split"_name, "\n"_name.get());
  Ref iterator = checked(PyObject_GetIter(lines.get()));
  Py_ssize_t names = 0;
  while (Ref line = Ref::steal(PyIter_Next(iterator.get()))) {
    if (to_bool(call_method(line.get(), "strip"_name).get())) ++names;
  }
  check_pending();
  set_item(gpu, "gpu_count"_name, py_int(names));
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
  Ref sys = module_global(module, "sys"_name);
  Ref version_info = attribute(sys.get(), "version_info"_name);
  Ref major = attribute(version_info.get(), "major"_name);
  Ref minor = attribute(version_info.get(), "minor"_name);
  Ref micro = attribute(version_info.get(), "micro"_name);
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
  Ref os = module_global(module, "os"_name);
  Ref sys = module_global(module, "sys"_name);
  Ref time = module_global(module, "time"_name);
  Ref capabilities = checked(_PyDict_NewPresized(17));
  PyObject* dict = capabilities.get();
  set_item(dict, "physical_cores"_name, cpu_count_or_one(os.get()));
  set_item(dict, "numa_nodes"_name, py_int(1));
  set_gpu_defaults(dict);
  Ref version_info = attribute(sys.get(), "version_info"_name);
  Ref major = attribute(version_info.get(), "major"_name);
  Ref minor = attribute(version_info.get(), "minor"_name);
  set_item(dict, "python_version"_name, checked(PyUnicode_FromFormat("%S.%S", major.get(), minor.get())));
  set_item(dict, "subinterpreter_support"_name, Py_False);
  set_item(dict, "platform"_name, attribute(sys.get(), "platform"_name));
  set_item(dict, "detected_at"_name, checked(PyObject_CallMethodNoArgs(time.get(), "time"_name.get())));
  set_item(dict, "detector"_name, "native_fallback"_name.get());
  set_item(dict, "error"_name, checked(PyObject_Str(error)));
  set_item(dict, "detection_time_ms"_name, elapsed_ms(time.get(), start_time));
  return capabilities;
}

Ref detect_capabilities(PyObject* module) {
  Ref capabilities = checked(PyDict_New());
  Ref time = module_global(module, "time"_name);
  const double start_time = to_double(checked(PyObject_CallMethodNoArgs(time.get(), "perf_counter"_name.get())).get());
  return except_exception(
      [&] {
        PyObject* dict = capabilities.get();
        auto run_detector = [&](Name& name) { return call(module_global(module, name).get()); };
        set_item(dict, "physical_cores"_name, run_detector("detect_physical_cores"_name));
        set_item(dict, "numa_nodes"_name, run_detector("detect_numa_nodes"_name));
        Ref gpu = run_detector("detect_gpu_backends"_name);
        for (Name* key : gpu_keys) set_item(dict, *key, checked(PyObject_GetItem(gpu.get(), key->get())));
        auto [version, has_subinterpreters] = unpack<2>(run_detector("detect_python_version"_name).get());
        set_item(dict, "python_version"_name, version);
        set_item(dict, "subinterpreter_support"_name, has_subinterpreters);
        Ref sys = module_global(module, "sys"_name);
        set_item(dict, "platform"_name, attribute(sys.get(), "platform"_name));
        Ref clock = module_global(module, "time"_name);
        set_item(dict, "detected_at"_name, checked(PyObject_CallMethodNoArgs(clock.get(), "time"_name.get())));
        set_item(dict, "detector"_name, "native"_name.get());
        set_item(dict, "detection_time_ms"_name, elapsed_ms(clock.get(), start_time));
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
