"""GPUDevicebook: back-end detection from fake kernel trees, NVML through a fake binding, caching."""

import copy
import pickle
import sys
import types

import pytest

from klavrix.gpu import devicebook
from klavrix.gpu.devicebook import GPUBackendInfo, GPUBackendKind, GPUDevicebook, scan_backends

GIB = 1 << 30


def write(path, text):
    path.parent.mkdir(parents=True, exist_ok=True)
    path.write_text(text)


def nvidia_tree(root, gpus=2):
    for index in range(gpus):
        write(root / "proc/driver/nvidia/gpus" / f"0000:0{index + 1}:00.0/information", "Model: Fake GPU\n")
    write(root / "proc/driver/nvidia/version",
          "NVRM version: NVIDIA UNIX x86_64 Kernel Module  535.104.05  Sat Aug 19 01:15:15 UTC 2023\n"
          "GCC version:  gcc version 12.2.0\n")


def rocm_tree(root):
    nodes = root / "sys/class/kfd/kfd/topology/nodes"
    write(nodes / "0/gpu_id", "0\n")  # the CPU node
    write(nodes / "0/mem_banks/0/properties", "heap_type 0\nsize_in_bytes 68719476736\n")
    write(nodes / "1/gpu_id", "53970\n")
    write(nodes / "1/mem_banks/0/properties", "heap_type 1\nsize_in_bytes 17179869184\nflags 0\ngarbage\n")
    write(nodes / "1/mem_banks/1/properties", "heap_type 0\nsize_in_bytes 1073741824\n")
    write(nodes / "2/gpu_id", "61234\n")
    write(nodes / "2/mem_banks/0/properties", "heap_type 2\nsize_in_bytes 8589934592\n")
    write(root / "sys/module/amdgpu/version", "6.3.6\n")


def intel_tree(root):
    drm = root / "sys/class/drm"
    write(drm / "card0/device/vendor", "0x8086\n")
    write(drm / "card0-DP-1/device/vendor", "0x8086\n")  # a connector, not a card
    write(drm / "renderD128/device/vendor", "0x8086\n")
    write(drm / "card1/device/vendor", "0x1002\n")  # an AMD display card
    write(drm / "card2/device/vendor", "0x8086\n")


def fake_nvml(totals, fail_init=False):
    calls = []
    module = types.ModuleType("pynvml")

    def init():
        calls.append("init")
        if fail_init:
            raise OSError("libnvidia-ml.so.1: cannot open shared object file")

    module.nvmlInit = init
    module.nvmlShutdown = lambda: calls.append("shutdown")
    module.nvmlDeviceGetCount = lambda: len(totals)
    module.nvmlDeviceGetHandleByIndex = lambda index: index
    module.nvmlDeviceGetMemoryInfo = lambda handle: types.SimpleNamespace(total=totals[handle])
    return module, calls


@pytest.fixture
def no_nvml(monkeypatch):
    monkeypatch.setitem(sys.modules, "pynvml", None)


def scan(root):
    return scan_backends(str(root / "proc"), str(root / "sys"))


def test_backend_kinds_behave_as_an_enumeration():
    assert [(kind.name, kind.value) for kind in GPUBackendKind.members()] == [
        ("CUDA", "cuda"), ("ROCm", "rocm"), ("oneAPI", "oneapi"), ("CPU", "cpu")]
    assert GPUBackendKind("rocm") is GPUBackendKind.ROCm
    assert pickle.loads(pickle.dumps(GPUBackendKind.CUDA)) is GPUBackendKind.CUDA
    assert copy.deepcopy(GPUBackendKind.CPU) is GPUBackendKind.CPU
    assert repr(GPUBackendKind.oneAPI) == "<GPUBackendKind.oneAPI: 'oneapi'>"
    for bad in ("metal", None, []):
        with pytest.raises(ValueError):
            GPUBackendKind(bad)
    with pytest.raises(AttributeError):
        GPUBackendKind.CUDA.value = "rocm"


def test_a_host_without_driver_files_has_no_gpu_backend(tmp_path):
    assert scan(tmp_path) == {}


def test_nvidia_devices_without_nvml_have_unknown_memory(tmp_path, no_nvml):
    nvidia_tree(tmp_path)
    assert scan(tmp_path) == {
        GPUBackendKind.CUDA: GPUBackendInfo(GPUBackendKind.CUDA, 2, 0.0, "535.104.05")}


def test_nvidia_memory_comes_from_nvml(tmp_path, monkeypatch):
    nvidia_tree(tmp_path)
    nvml, calls = fake_nvml([8 * GIB, 16 * GIB])
    monkeypatch.setitem(sys.modules, "pynvml", nvml)
    info = scan(tmp_path)[GPUBackendKind.CUDA]
    assert (info.device_count, info.memory_gb, info.device_memory_gb) == (2, 24.0, (8.0, 16.0))
    assert calls == ["init", "shutdown"]


@pytest.mark.parametrize("totals, fail_init", [([8 * GIB], False), ([8 * GIB, 8 * GIB], True)])
def test_nvml_that_disagrees_or_fails_leaves_memory_unknown(tmp_path, monkeypatch, totals, fail_init):
    nvidia_tree(tmp_path)
    nvml, _ = fake_nvml(totals, fail_init)
    monkeypatch.setitem(sys.modules, "pynvml", nvml)
    info = scan(tmp_path)[GPUBackendKind.CUDA]
    assert (info.device_count, info.memory_gb, info.device_memory_gb) == (2, 0.0, ())


def test_nvml_is_not_imported_without_an_nvidia_device(tmp_path, monkeypatch):
    rocm_tree(tmp_path)
    nvml, calls = fake_nvml([8 * GIB])
    monkeypatch.setitem(sys.modules, "pynvml", nvml)
    scan(tmp_path)
    assert calls == []


def test_rocm_counts_gpu_nodes_and_their_frame_buffer(tmp_path):
    rocm_tree(tmp_path)
    assert scan(tmp_path) == {
        GPUBackendKind.ROCm: GPUBackendInfo(GPUBackendKind.ROCm, 2, 24.0, "6.3.6", (16.0, 8.0))}


def test_intel_counts_drm_cards_with_intel_vendor_id(tmp_path):
    intel_tree(tmp_path)
    assert scan(tmp_path) == {GPUBackendKind.oneAPI: GPUBackendInfo(GPUBackendKind.oneAPI, 2)}


def test_unreadable_or_odd_files_are_skipped(tmp_path, no_nvml):
    write(tmp_path / "proc/driver/nvidia/version", "\xff garbage without a version\n")
    (tmp_path / "proc/driver/nvidia/gpus/0000:01:00.0").mkdir(parents=True)
    nodes = tmp_path / "sys/class/kfd/kfd/topology/nodes"
    write(nodes / "1/gpu_id", "7\n")
    (nodes / "1/mem_banks/0/properties").mkdir(parents=True)  # a directory where a file belongs
    write(tmp_path / "sys/class/drm/card0/device/vendor", "")
    backends = scan(tmp_path)
    assert backends == {
        GPUBackendKind.CUDA: GPUBackendInfo(GPUBackendKind.CUDA, 1, 0.0, ""),
        GPUBackendKind.ROCm: GPUBackendInfo(GPUBackendKind.ROCm, 1, 0.0, "", (0.0,)),
    }


@pytest.fixture
def fresh_registry(monkeypatch):
    """GPUDevicebook with its cache cleared before and after the test."""
    GPUDevicebook.refresh()
    yield
    GPUDevicebook.refresh()


def test_best_backend_prefers_cuda_then_rocm_then_oneapi(tmp_path, monkeypatch, no_nvml, fresh_registry):
    intel_tree(tmp_path)
    rocm_tree(tmp_path)
    monkeypatch.setattr(devicebook, "SYS_ROOT", str(tmp_path / "sys"))
    monkeypatch.setattr(devicebook, "PROC_ROOT", str(tmp_path / "proc"))
    assert list(GPUDevicebook.detect_available_backends()) == [GPUBackendKind.ROCm, GPUBackendKind.oneAPI]
    assert GPUDevicebook.get_best_available().info.kind is GPUBackendKind.ROCm
    nvidia_tree(tmp_path)
    assert GPUDevicebook.get_best_available().info.kind is GPUBackendKind.ROCm  # cached
    GPUDevicebook.refresh()
    best = GPUDevicebook.get_best_available().info
    assert (best.kind, best.version) == (GPUBackendKind.CUDA, "535.104.05")


def test_registry_scans_once_and_hands_out_copies(monkeypatch, fresh_registry):
    scans = []
    found = {GPUBackendKind.CUDA: GPUBackendInfo(GPUBackendKind.CUDA, 1, 4.0, "550.1")}
    monkeypatch.setattr(devicebook, "scan_backends", lambda: scans.append(1) or dict(found))
    first = GPUDevicebook.detect_available_backends()
    first.clear()
    assert GPUDevicebook.detect_available_backends() == found
    assert GPUDevicebook.get_best_available().info == found[GPUBackendKind.CUDA]
    assert len(scans) == 1


def test_this_host_has_only_the_cpu_backend(fresh_registry):
    assert GPUDevicebook.detect_available_backends() == {}
    best = GPUDevicebook.get_best_available().info
    assert (best.kind, best.kind.value, best.version, best.device_count) == (GPUBackendKind.CPU, "cpu", "", 0)


def test_import_and_detection_stay_cheap(python):
    out = python("""
        import sys
        before = set(sys.modules)
        from klavrix.gpu.devicebook import GPUDevicebook
        GPUDevicebook.detect_available_backends()
        GPUDevicebook.get_best_available()
        print(sorted(set(sys.modules) - before))
    """)
    assert out.strip() == "['klavrix', 'klavrix.gpu', 'klavrix.gpu.devicebook']"
