"""hostprobe: detection on this host, and every fallback driven by fakes (registry, nvidia-smi,
NUMA directory, platform, ctypes, replaced detectors)."""

import builtins
import collections
import ctypes
import ctypes.wintypes
import enum
import importlib.util
import os
import subprocess
import sys
import time
import tracemalloc
import types

import pytest
from hypothesis import given, strategies as st

from klavrix.gpu import devicebook
from klavrix.native import hostprobe

# The private subinterpreter module the detector probes: _xxsubinterpreters on 3.12, renamed on 3.13.
SUBINTERPRETER_MODULE = next(
    (name for name in ("_xxsubinterpreters", "_interpreters") if importlib.util.find_spec(name)), None)
HAS_SUBINTERPRETERS = SUBINTERPRETER_MODULE is not None

NODE_DIR = "/sys/devices/system/node"
REGISTRY = "klavrix.gpu.devicebook"
DETECTORS = ["detect_physical_cores", "detect_numa_nodes", "detect_gpu_backends", "detect_python_version",
             "detect_capabilities"]
GPU_DEFAULTS = {"has_gpu": False, "gpu_count": 0, "gpu_memory_mb": 0, "cuda_available": False,
                "rocm_available": False, "oneapi_available": False, "active_backend": "cpu", "backend_version": ""}
SUCCESS_KEYS = ["physical_cores", "numa_nodes", *GPU_DEFAULTS, "python_version", "subinterpreter_support", "platform",
                "detected_at", "detector", "detection_time_ms"]
FALLBACK_KEYS = [*SUCCESS_KEYS[:-1], "error", "detection_time_ms"]
VersionInfo = collections.namedtuple("VersionInfo", "major minor micro releaselevel serial")


def exact(actual, expected):
    """Dict equality that also checks the key order and the value types."""
    assert list(actual.items()) == list(expected.items())
    assert [type(v) for v in actual.values()] == [type(v) for v in expected.values()]


# ---------------------------------------------------------------------------------------------
# This host

def test_this_host_has_no_gpu_and_its_own_cores_and_nodes():
    nodes = [e for e in os.listdir(NODE_DIR) if e.startswith("node") and e[4:].isdigit()]
    before = time.time()
    caps = hostprobe.detect_capabilities()
    assert list(caps) == SUCCESS_KEYS
    assert caps["physical_cores"] == len(os.sched_getaffinity(0))
    assert caps["numa_nodes"] == max(len(nodes), 1) >= 1
    assert {k: caps[k] for k in GPU_DEFAULTS} == GPU_DEFAULTS
    assert caps["python_version"] == "%d.%d.%d" % sys.version_info[:3]
    assert caps["subinterpreter_support"] is HAS_SUBINTERPRETERS is (sys.version_info >= (3, 12))
    assert (caps["platform"], caps["detector"]) == (sys.platform, "native")
    assert before <= caps["detected_at"] <= time.time()
    assert type(caps["detection_time_ms"]) is float and caps["detection_time_ms"] >= 0.0
    assert hostprobe.detect_python_version() == (caps["python_version"], HAS_SUBINTERPRETERS)


def test_cores_follow_the_affinity_mask(python):
    out = python("""
        import os
        from klavrix.native import hostprobe
        os.sched_setaffinity(0, {sorted(os.sched_getaffinity(0))[0]})
        print(hostprobe.detect_physical_cores())
    """)
    assert out.strip() == "1"


def test_module_imports_only_sys_os_time_and_the_rest_when_needed(python):
    out = python("""
        import sys
        from klavrix.native import hostprobe
        lazy = ("subprocess", "ctypes", "klavrix.gpu.devicebook", "_xxsubinterpreters", "_interpreters", "logging")
        print(sorted(m for m in lazy if m in sys.modules))
        hostprobe.detect_capabilities()
        print(sorted(m for m in lazy if m in sys.modules))
        print(hostprobe.sys is sys, hostprobe.os is sys.modules["os"], hostprobe.time is sys.modules["time"],
              hasattr(hostprobe, "logger"))
    """)
    imported = str(sorted(filter(None, [SUBINTERPRETER_MODULE, "klavrix.gpu.devicebook"])))
    assert out.splitlines() == ["[]", imported, "True True True False"]


@pytest.mark.parametrize("name", DETECTORS)
def test_detectors_take_no_arguments(name):
    detector = getattr(hostprobe, name)
    with pytest.raises(TypeError, match=rf"^{name}\(\) takes exactly 0 positional arguments \(1 given\)$"):
        detector(1)
    with pytest.raises(TypeError, match=rf"^{name}\(\) got an unexpected keyword argument 'verbose'$"):
        detector(verbose=True)


# ---------------------------------------------------------------------------------------------
# Cores

@pytest.mark.parametrize("affinity, cpu_count, expected", [
    (lambda pid: {0, 1, 2, 3}, lambda: 8, 4),       # 4 of 8 CPUs in the mask
    (lambda pid: set(), lambda: 8, 1),              # never below one
    (None, lambda: 6, 6),                           # no affinity call (macOS, Windows)
    (None, lambda: None, 1),
    (None, lambda: 3.9, 3),                         # int() of what cpu_count gives
    ("raise", lambda: 5, 5),                        # the fallback: cpu_count
    ("raise", lambda: None, 1),
    ("raise", lambda: 0, 1),
])
def test_physical_cores(monkeypatch, affinity, cpu_count, expected):
    if affinity is None:
        monkeypatch.delattr(os, "sched_getaffinity")
    elif affinity == "raise":
        monkeypatch.setattr(os, "sched_getaffinity", lambda pid: (_ for _ in ()).throw(OSError("denied")))
    else:
        monkeypatch.setattr(os, "sched_getaffinity", affinity)
    monkeypatch.setattr(os, "cpu_count", cpu_count)
    result = hostprobe.detect_physical_cores()
    assert (type(result), result) == (int, expected)


def test_physical_cores_answers_even_when_cpu_count_fails(monkeypatch):
    def broken():
        raise RuntimeError("no /proc")
    monkeypatch.setattr(os, "sched_getaffinity", lambda pid: 42)  # len() of an int fails
    monkeypatch.setattr(os, "cpu_count", broken)
    assert hostprobe.detect_physical_cores() == 1
    monkeypatch.setattr(os, "cpu_count", lambda: "many")
    assert hostprobe.detect_physical_cores() == 1


# ---------------------------------------------------------------------------------------------
# NUMA nodes

@pytest.fixture
def node_dir(monkeypatch, tmp_path):
    """Points the node directory at a fake one holding `entries` (None: no directory)."""
    real_listdir, real_exists = os.listdir, os.path.exists
    target = tmp_path / "node"

    def install(entries):
        if entries is not None:
            target.mkdir()
            for entry in entries:
                (target / entry).mkdir()
        monkeypatch.setattr(os, "listdir", lambda path=".": real_listdir(target if path == NODE_DIR else path))
        monkeypatch.setattr(os.path, "exists", lambda path: real_exists(target if path == NODE_DIR else path))
    return install


@pytest.mark.parametrize("entries, expected", [
    (["node0", "node1", "possible", "nodeX"], 2),
    (["node", "possible", "has_cpu", "nodeX", "node1a"], 1),
    (None, 1),
])
def test_numa_nodes_on_linux(node_dir, entries, expected):
    node_dir(entries)
    assert hostprobe.detect_numa_nodes() == expected


@given(st.lists(st.text(alphabet="node0123456789²٣x_ ", max_size=8), max_size=12))
def test_node_entries_count_as_str_isdigit_says(entries):
    expected = len([e for e in entries if e.startswith("node") and e[4:].isdigit()]) or 1
    with pytest.MonkeyPatch.context() as mp:
        mp.setattr(os.path, "exists", lambda path: True)
        mp.setattr(os, "listdir", lambda path: list(entries))
        assert hostprobe.detect_numa_nodes() == expected


class Entry(str):
    """A str subclass answers through its own methods."""

    def startswith(self, prefix):
        return True


@pytest.mark.parametrize("listing, expected", [
    (PermissionError("unreadable /sys"), 1),
    ([b"node0", b"node1"], 1),          # bytes.startswith("node") raises: the fallback
    (iter([Entry("xxxx7"), "node1"]), 2),
])
def test_numa_nodes_from_odd_listings(monkeypatch, listing, expected):
    def listdir(path):
        if isinstance(listing, Exception):
            raise listing
        return listing
    monkeypatch.setattr(os.path, "exists", lambda path: True)
    monkeypatch.setattr(os, "listdir", listdir)
    assert hostprobe.detect_numa_nodes() == expected


def test_macos_does_not_touch_the_file_system(monkeypatch):
    def forbidden(*args):
        raise AssertionError("file system touched")
    monkeypatch.setattr(sys, "platform", "darwin")
    monkeypatch.setattr(os, "listdir", forbidden)
    monkeypatch.setattr(os.path, "exists", forbidden)
    assert hostprobe.detect_numa_nodes() == 1


class FakeNodeQuery:
    """kernel32.GetNumaHighestNodeNumber, reporting `highest` through its pointer argument."""

    def __init__(self, highest, succeeds):
        self.highest, self.succeeds = highest, succeeds

    def __call__(self, reference):
        reference._obj.value = self.highest  # the c_ulong behind ctypes.byref()
        return self.succeeds


@pytest.mark.parametrize("highest, succeeds, expected", [(1, 1, 2), (0, 1, 1), (7, 0, 1), (3, True, 4)])
def test_numa_nodes_on_windows(monkeypatch, highest, succeeds, expected):
    loads = []

    def windll(name, **options):
        loads.append((name, options))
        return types.SimpleNamespace(GetNumaHighestNodeNumber=FakeNodeQuery(highest, succeeds))

    monkeypatch.setattr(sys, "platform", "win32")
    monkeypatch.setattr(ctypes, "WinDLL", windll, raising=False)
    assert hostprobe.detect_numa_nodes() == expected
    assert loads == [("kernel32", {"use_last_error": True})]


def test_windows_node_query_sets_its_ctypes_prototype(monkeypatch):
    seen = {}

    class Function:
        def __setattr__(self, name, value):
            seen[name] = value

        def __call__(self, reference):
            return 0

    monkeypatch.setattr(sys, "platform", "win32")
    monkeypatch.delattr(ctypes, "WinDLL", raising=False)  # as on this host: AttributeError, one node
    assert hostprobe.detect_numa_nodes() == 1
    monkeypatch.setattr(ctypes, "WinDLL", lambda name, **options: types.SimpleNamespace(
        GetNumaHighestNodeNumber=Function()), raising=False)
    assert hostprobe.detect_numa_nodes() == 1
    assert seen == {"restype": ctypes.wintypes.BOOL, "argtypes": [ctypes.POINTER(ctypes.c_ulong)]}


# ---------------------------------------------------------------------------------------------
# GPU back-ends: the registry

class Kind(enum.Enum):
    CUDA = "cuda"
    ROCm = "rocm"
    oneAPI = "oneapi"
    CPU = "cpu"


@pytest.fixture
def no_nvidia_smi(monkeypatch, tmp_path):
    """A PATH on which nvidia-smi cannot be found."""
    monkeypatch.setenv("PATH", str(tmp_path))


def install_registry(monkeypatch, backends, best_kind, version="12.2", fail_at=None):
    module = types.ModuleType(REGISTRY)

    class Devicebook:
        @classmethod
        def detect_available_backends(cls):
            if fail_at == "backends":
                raise RuntimeError("registry broken")
            return backends

        @classmethod
        def get_best_available(cls):
            if fail_at == "best":
                raise RuntimeError("registry broken")
            return types.SimpleNamespace(info=types.SimpleNamespace(kind=best_kind, version=version))

    module.GPUBackendKind = Kind
    module.GPUDevicebook = Devicebook
    monkeypatch.setitem(sys.modules, REGISTRY, module)


def backend(device_count, memory_gb):
    return types.SimpleNamespace(device_count=device_count, memory_gb=memory_gb)


def gpu(**changes):
    return {**GPU_DEFAULTS, **changes}


def test_registry_with_a_cuda_device(monkeypatch, no_nvidia_smi):
    install_registry(monkeypatch, {Kind.CUDA: backend(2, 7.5), Kind.oneAPI: backend(1, 0)}, Kind.CUDA)
    exact(hostprobe.detect_gpu_backends(), gpu(has_gpu=True, gpu_count=2, gpu_memory_mb=7680, cuda_available=True,
                                               oneapi_available=True, active_backend="cuda", backend_version="12.2"))


def test_registry_whose_best_is_the_cpu(monkeypatch, no_nvidia_smi):
    install_registry(monkeypatch, {Kind.ROCm: backend(4, 64.0)}, Kind.CPU, version="")
    exact(hostprobe.detect_gpu_backends(), gpu(rocm_available=True))


def test_best_backend_missing_from_the_mapping_leaves_counts_at_zero(monkeypatch, no_nvidia_smi):
    install_registry(monkeypatch, {}, Kind.ROCm, version="6.0")
    exact(hostprobe.detect_gpu_backends(), gpu(has_gpu=True, active_backend="rocm", backend_version="6.0"))


@pytest.mark.parametrize("memory_gb, expected", [(7.999, 8190), (3, 3072)])
def test_memory_is_truncated_to_whole_megabytes(monkeypatch, no_nvidia_smi, memory_gb, expected):
    install_registry(monkeypatch, {Kind.CUDA: backend(1, memory_gb)}, Kind.CUDA)
    assert hostprobe.detect_gpu_backends()["gpu_memory_mb"] == expected


def test_registry_failures_keep_what_was_set(monkeypatch, no_nvidia_smi):
    install_registry(monkeypatch, {Kind.CUDA: backend(1, 1.0)}, Kind.CUDA, fail_at="best")
    exact(hostprobe.detect_gpu_backends(), gpu(cuda_available=True))
    install_registry(monkeypatch, {Kind.CUDA: backend(1, 1.0)}, Kind.CUDA, fail_at="backends")
    exact(hostprobe.detect_gpu_backends(), gpu())


class OddKind:
    def __init__(self, value):
        self.value = value


@pytest.mark.parametrize("kind_value, version, device_count, memory_gb, expected", [
    (42, "1", 1, 1.0, gpu(cuda_available=True)),
    ("cuda", "1", "2", 1.0, gpu(cuda_available=True, has_gpu=True, active_backend="cuda", backend_version="1")),
    ("cuda", "1", 2, float("inf"), gpu(cuda_available=True, has_gpu=True, active_backend="cuda",
                                       backend_version="1", gpu_count=2)),
])
def test_registry_answers_of_the_wrong_type_are_not_reported(monkeypatch, no_nvidia_smi, kind_value, version,
                                                             device_count, memory_gb, expected):
    odd_kind = OddKind(kind_value)
    install_registry(monkeypatch, {Kind.CUDA: backend(1, 1.0), odd_kind: backend(device_count, memory_gb)},
                     odd_kind, version=version)
    exact(hostprobe.detect_gpu_backends(), expected)


def test_the_real_registry_on_a_faked_nvidia_host(monkeypatch, tmp_path, no_nvidia_smi):
    for bus in ("0000:01:00.0", "0000:41:00.0"):
        (tmp_path / "proc/driver/nvidia/gpus" / bus).mkdir(parents=True)
    (tmp_path / "proc/driver/nvidia/version").write_text("NVRM version: NVIDIA UNIX x86_64 Kernel Module  550.54.14\n")
    nvml = types.ModuleType("pynvml")
    nvml.nvmlInit = nvml.nvmlShutdown = lambda: None
    nvml.nvmlDeviceGetCount = lambda: 2
    nvml.nvmlDeviceGetHandleByIndex = lambda index: index
    nvml.nvmlDeviceGetMemoryInfo = lambda handle: types.SimpleNamespace(total=[8 << 30, 8 << 30][handle])
    monkeypatch.setitem(sys.modules, "pynvml", nvml)
    monkeypatch.setattr(devicebook, "PROC_ROOT", str(tmp_path / "proc"))
    devicebook.GPUDevicebook.refresh()
    try:
        exact(hostprobe.detect_gpu_backends(), gpu(has_gpu=True, gpu_count=2, gpu_memory_mb=16384,
                                                   cuda_available=True, active_backend="cuda",
                                                   backend_version="550.54.14"))
    finally:
        devicebook.GPUDevicebook.refresh()


# ---------------------------------------------------------------------------------------------
# GPU back-ends: nvidia-smi when the registry fails

@pytest.fixture
def nvidia_smi(monkeypatch, tmp_path):
    """Installs a fake nvidia-smi (a shell script body) on PATH, without the registry."""
    monkeypatch.setitem(sys.modules, REGISTRY, None)

    def install(body):
        tool = tmp_path / "nvidia-smi"
        tool.write_text("#!/bin/sh\n" + body + "\n")
        tool.chmod(0o755)
        monkeypatch.setenv("PATH", f"{tmp_path}{os.pathsep}{os.environ['PATH']}")
    return install


def test_nvidia_smi_names_are_counted_without_the_registry(nvidia_smi):
    nvidia_smi("printf 'NVIDIA A100-SXM4-40GB\\nNVIDIA A100-SXM4-40GB\\n\\n'")
    exact(hostprobe.detect_gpu_backends(), gpu(has_gpu=True, gpu_count=2))


@pytest.mark.parametrize("body", [
    "echo 'NVIDIA-SMI has failed'; exit 9",     # non-zero exit
    "exit 0",                                   # no output
    "exec sleep 60",                            # hangs: killed after half a second
])
def test_nvidia_smi_that_fails_reports_no_gpu(nvidia_smi, body):
    nvidia_smi(body)
    start = time.monotonic()
    exact(hostprobe.detect_gpu_backends(), gpu())
    assert time.monotonic() - start < 30  # far below the hang, far above the half-second bound


def test_nvidia_smi_garbage_bytes_are_ignored(nvidia_smi):
    nvidia_smi("printf '\\377\\376GPU 0\\n\\200\\n   \\n\\tGPU 1  \\n'")
    exact(hostprobe.detect_gpu_backends(), gpu(has_gpu=True, gpu_count=2))


def test_nvidia_smi_is_run_exactly_so(monkeypatch):
    calls = []

    def run(*args, **kwargs):
        calls.append((args, list(kwargs.items())))
        return types.SimpleNamespace(returncode=0, stdout=b"GPU\n")

    monkeypatch.setitem(sys.modules, REGISTRY, None)
    monkeypatch.setattr(subprocess, "run", run)
    assert hostprobe.detect_gpu_backends()["gpu_count"] == 1
    assert calls == [((["nvidia-smi", "--query-gpu=name", "--format=csv,noheader"],),
                      [("capture_output", True), ("timeout", 0.5), ("check", False)])]


# ---------------------------------------------------------------------------------------------
# Interpreter

def test_python_3_11_has_no_subinterpreters_and_imports_nothing(monkeypatch):
    imported = []
    real_import = builtins.__import__
    monkeypatch.setattr(hostprobe, "sys", types.SimpleNamespace(version_info=VersionInfo(3, 11, 4, "final", 0)))
    monkeypatch.setattr(builtins, "__import__", lambda name, *a, **k: imported.append(name) or real_import(name, *a, **k))
    assert hostprobe.detect_python_version() == ("3.11.4", False)
    assert imported == []


def test_missing_subinterpreter_module_reads_as_unsupported(monkeypatch):
    monkeypatch.setitem(sys.modules, "_xxsubinterpreters", None)
    monkeypatch.setitem(sys.modules, "_interpreters", None)
    assert hostprobe.detect_python_version() == ("%d.%d.%d" % sys.version_info[:3], False)


def test_other_import_failures_propagate(monkeypatch):
    real_import = builtins.__import__

    def failing_import(name, *args, **kwargs):
        if name == "_xxsubinterpreters":
            raise RuntimeError("interpreter state corrupt")
        return real_import(name, *args, **kwargs)

    monkeypatch.setattr(builtins, "__import__", failing_import)
    with pytest.raises(RuntimeError, match="interpreter state corrupt"):
        hostprobe.detect_python_version()
    caps = hostprobe.detect_capabilities()
    assert (caps["detector"], caps["error"]) == ("native_fallback", "interpreter state corrupt")


# ---------------------------------------------------------------------------------------------
# Capabilities

def expected_fallback(error):
    return {"physical_cores": os.cpu_count() or 1, "numa_nodes": 1, **GPU_DEFAULTS,
            "python_version": "%d.%d" % sys.version_info[:2], "subinterpreter_support": False,
            "platform": sys.platform, "detector": "native_fallback", "error": error}


def check_fallback(caps, error):
    assert list(caps) == FALLBACK_KEYS
    timing = {k: caps.pop(k) for k in ("detected_at", "detection_time_ms")}
    expected = expected_fallback(error)
    assert caps == {k: expected[k] for k in caps}
    assert [type(caps[k]) for k in caps] == [type(expected[k]) for k in caps]
    assert type(timing["detected_at"]) is float and timing["detection_time_ms"] >= 0.0


def test_a_raising_detector_gives_the_fallback(monkeypatch):
    def broken():
        raise OSError("GPU probe exploded")
    monkeypatch.setattr(hostprobe, "detect_gpu_backends", broken)
    check_fallback(hostprobe.detect_capabilities(), "GPU probe exploded")


@pytest.mark.parametrize("name, replacement, error", [
    ("detect_gpu_backends", lambda: {k: v for k, v in GPU_DEFAULTS.items() if k != "gpu_count"}, "'gpu_count'"),
    ("detect_python_version", lambda: ("3.12.1", True, "extra"), "too many values to unpack (expected 2)"),
    ("detect_python_version", lambda: ("3.12.1",), "need more than 1 value to unpack"),
    ("detect_python_version", lambda: iter(()), "need more than 0 values to unpack"),
    ("detect_python_version", lambda: 312, "'int' object is not iterable"),
])
def test_malformed_detector_answers_give_the_fallback(monkeypatch, name, replacement, error):
    monkeypatch.setattr(hostprobe, name, replacement)
    check_fallback(hostprobe.detect_capabilities(), error)


def test_detectors_are_looked_up_at_each_call(monkeypatch):
    answers = {"detect_physical_cores": "cores", "detect_numa_nodes": "nodes",
               "detect_gpu_backends": {k: k.upper() for k in GPU_DEFAULTS},
               "detect_python_version": (v for v in ["4.0.0", "maybe"])}
    for name, answer in answers.items():
        monkeypatch.setattr(hostprobe, name, lambda answer=answer: answer)
    caps = hostprobe.detect_capabilities()
    assert list(caps) == SUCCESS_KEYS
    assert [caps[k] for k in SUCCESS_KEYS[:12]] == ["cores", "nodes", *(k.upper() for k in GPU_DEFAULTS),
                                                    "4.0.0", "maybe"]


def test_fallback_counts_cpus_or_one(monkeypatch):
    monkeypatch.setattr(hostprobe, "detect_numa_nodes", lambda: 1 / 0)
    monkeypatch.setattr(os, "cpu_count", lambda: None)
    caps = hostprobe.detect_capabilities()
    assert (caps["physical_cores"], caps["error"]) == (1, "division by zero")


def test_errors_while_building_the_fallback_propagate_chained(monkeypatch):
    def broken():
        raise OSError("first")

    def clock_gone():
        raise RuntimeError("no clock")

    monkeypatch.setattr(hostprobe, "detect_numa_nodes", broken)
    monkeypatch.setattr(hostprobe, "time", types.SimpleNamespace(perf_counter=time.perf_counter, time=clock_gone))
    with pytest.raises(RuntimeError, match="no clock") as raised:
        hostprobe.detect_capabilities()
    assert isinstance(raised.value.__context__, OSError)
    assert sys.exc_info() == (None, None, None)


def test_base_exceptions_pass_through(monkeypatch):
    def interrupted(*args):
        raise KeyboardInterrupt
    monkeypatch.setattr(os, "sched_getaffinity", interrupted)
    with pytest.raises(KeyboardInterrupt):
        hostprobe.detect_physical_cores()
    monkeypatch.setattr(hostprobe, "detect_numa_nodes", interrupted)
    with pytest.raises(KeyboardInterrupt):
        hostprobe.detect_capabilities()


def test_repeated_detection_does_not_leak(monkeypatch):
    def grow(calls):
        for _ in range(50):
            hostprobe.detect_capabilities()
        tracemalloc.start()
        start = tracemalloc.get_traced_memory()[0]
        for _ in range(calls):
            hostprobe.detect_capabilities()
        growth = tracemalloc.get_traced_memory()[0] - start
        tracemalloc.stop()
        return growth

    assert grow(500) < 20_000
    monkeypatch.setattr(hostprobe, "detect_gpu_backends", lambda: {})
    assert grow(500) < 20_000
