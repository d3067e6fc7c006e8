"""The host's GPU back-ends (CUDA, ROCm, oneAPI), read from the kernel's own driver files.

Host capability detection asks this module at start-up, inside a cold-start budget of 5 ms, so
detection spawns no process and imports nothing beyond `os`, which the interpreter has already
loaded. Hostprobe itself does not load `logging`, so `enum` is not loaded yet at that point: with
GPUBackendKind an `enum.Enum`, a cold detect_capabilities() took 6 ms instead of 3.4 ms here.

- CUDA: one directory per NVIDIA GPU under /proc/driver/nvidia/gpus, the driver version from
  /proc/driver/nvidia/version, and device memory from NVML (the `nvidia-ml-py` package, the `gpu`
  extra) when it is installed and a device is present;
- ROCm: the GPU nodes of the KFD topology under /sys/class/kfd (nodes with a non-zero gpu_id),
  their memory from the frame-buffer banks the topology lists;
- oneAPI: DRM cards whose PCI vendor id is Intel's (0x8086) under /sys/class/drm.

A host without GPUs, or without these files (macOS, Windows, a container without /sys), has no
GPU back-end, and the CPU kind is the best one available. The answer is computed once per process;
`GPUDevicebook.refresh()` forgets it.
"""

import os

TYPE_CHECKING = False  # the annotations need no import at run time (see the start-up budget above)
if TYPE_CHECKING:
    from collections.abc import Iterable
    from typing import ClassVar

__all__ = ["GPUBackend", "GPUBackendInfo", "GPUBackendKind", "GPUDevicebook", "scan_backends"]

# Where the kernel's files are; tests point these at fake trees.
PROC_ROOT: str = "/proc"
SYS_ROOT: str = "/sys"

GIB: int = 1 << 30
INTEL_PCI_VENDOR: str = "0x8086"
# KFD heap types of device memory: public and private frame buffer (0 is system memory).
FRAME_BUFFER_HEAPS: tuple[int, ...] = (1, 2)


class GPUBackendKind:
    """The kinds of compute back-end: CUDA, ROCm, oneAPI and CPU (no GPU).

    An enumeration: each member is a singleton with a `name` and a `value` (the back-end name,
    "cuda", "rocm", "oneapi" or "cpu"); `GPUBackendKind("rocm")` is the member of that value, and
    members pickle and copy as themselves.
    """

    __slots__ = ("name", "value")
    _by_value: "ClassVar[dict[str, GPUBackendKind]]" = {}
    name: str
    value: str
    # Bound by _define below.
    CUDA: "ClassVar[GPUBackendKind]"
    ROCm: "ClassVar[GPUBackendKind]"
    oneAPI: "ClassVar[GPUBackendKind]"
    CPU: "ClassVar[GPUBackendKind]"

    def __new__(cls, value: str) -> "GPUBackendKind":
        try:
            return cls._by_value[value]
        except (KeyError, TypeError):
            raise ValueError(f"{value!r} is not a valid {cls.__name__}") from None

    @classmethod
    def _define(cls, name: str, value: str) -> None:
        member = object.__new__(cls)
        object.__setattr__(member, "name", name)
        object.__setattr__(member, "value", value)
        cls._by_value[value] = member
        setattr(cls, name, member)

    @classmethod
    def members(cls) -> "tuple[GPUBackendKind, ...]":
        """All members, in order of preference (the CPU kind last)."""
        return tuple(cls._by_value.values())

    def __setattr__(self, name: str, value: object) -> None:
        raise AttributeError(f"cannot change {self!r}")

    def __delattr__(self, name: str) -> None:
        raise AttributeError(f"cannot change {self!r}")

    def __reduce__(self) -> "tuple[type[GPUBackendKind], tuple[str]]":
        return type(self), (self.value,)

    def __repr__(self) -> str:
        return f"<{type(self).__name__}.{self.name}: {self.value!r}>"


GPUBackendKind._define("CUDA", "cuda")
GPUBackendKind._define("ROCm", "rocm")
GPUBackendKind._define("oneAPI", "oneapi")
GPUBackendKind._define("CPU", "cpu")


class GPUBackendInfo:
    """What one back-end offers: its kind, how many devices, their memory and the driver version.

    `memory_gb` is the memory of all the back-end's devices together, in GiB (0.0 when unknown);
    `device_memory_gb` lists it per device where it is known.
    """

    __slots__ = ("kind", "device_count", "memory_gb", "version", "device_memory_gb")

    def __init__(self, kind: GPUBackendKind, device_count: int = 0, memory_gb: float = 0.0, version: str = "",
                 device_memory_gb: "Iterable[float]" = ()) -> None:
        self.kind = kind
        self.device_count = device_count
        self.memory_gb = memory_gb
        self.version = version
        self.device_memory_gb = tuple(device_memory_gb)

    def _fields(self) -> tuple[GPUBackendKind, int, float, str, tuple[float, ...]]:
        return (self.kind, self.device_count, self.memory_gb, self.version, self.device_memory_gb)

    def __eq__(self, other: object) -> bool:
        if not isinstance(other, GPUBackendInfo):
            return NotImplemented
        return self._fields() == other._fields()

    __hash__ = None  # type: ignore[assignment]  # records are mutable, hence unhashable

    def __repr__(self) -> str:
        return (f"GPUBackendInfo(kind={self.kind!r}, device_count={self.device_count!r}, "
                f"memory_gb={self.memory_gb!r}, version={self.version!r}, "
                f"device_memory_gb={self.device_memory_gb!r})")


class GPUBackend:
    """A back-end the runtime can run on; `info` describes it."""

    __slots__ = ("info",)

    def __init__(self, info: GPUBackendInfo) -> None:
        self.info = info

    def __repr__(self) -> str:
        return f"GPUBackend({self.info!r})"


CPU_BACKEND_INFO = GPUBackendInfo(GPUBackendKind.CPU)


# ---------------------------------------------------------------------------------------------
# Reading the kernel's files. Every reader answers "nothing there" for a missing or unreadable
# file, so a host without GPUs costs a few failed lookups.

def _listdir(path: str) -> list[str]:
    try:
        return sorted(os.listdir(path))
    except OSError:
        return []


def _read(path: str) -> str:
    """The file's text (undecodable bytes replaced), or "" when it cannot be read."""
    try:
        with open(path, "rb") as file:
            return file.read().decode("utf-8", "replace")
    except OSError:
        return ""


def _properties(text: str) -> dict[str, int]:
    """A KFD properties file ("name value" lines) as a dict of ints; other lines are skipped."""
    values: dict[str, int] = {}
    for line in text.splitlines():
        parts = line.split()
        if len(parts) == 2:
            try:
                values[parts[0]] = int(parts[1])
            except ValueError:
                pass
    return values


def _numbered(entries: list[str], prefix: str) -> list[str]:
    """The entries named `prefix` followed by a number (card0, not card0-DP-1 or renderD128)."""
    return [entry for entry in entries if entry.startswith(prefix) and entry[len(prefix):].isdigit()]


# ---------------------------------------------------------------------------------------------
# NVIDIA

def _nvidia_driver_version(proc_root: str) -> str:
    """The version on the driver's banner line, e.g. 535.104.05; "" when there is none."""
    banner = _read(os.path.join(proc_root, "driver", "nvidia", "version")).split("\n", 1)[0]
    for token in banner.split():
        if "." in token and token.replace(".", "").isdigit():
            return token
    return ""


def _nvml_device_memory() -> tuple[float, ...]:
    """Memory of each NVIDIA device in GiB, from NVML; () without the binding or when it fails."""
    try:
        import pynvml  # type: ignore[import-not-found, import-untyped, unused-ignore]
    except Exception:  # not installed, or broken
        return ()
    try:
        pynvml.nvmlInit()
    except Exception:  # no driver library, or a driver/library mismatch
        return ()
    try:
        sizes: list[float] = []
        for index in range(pynvml.nvmlDeviceGetCount()):
            handle = pynvml.nvmlDeviceGetHandleByIndex(index)
            sizes.append(pynvml.nvmlDeviceGetMemoryInfo(handle).total / GIB)
        return tuple(sizes)
    except Exception:
        return ()
    finally:
        try:
            pynvml.nvmlShutdown()
        except Exception:
            pass


def _probe_cuda(proc_root: str, sys_root: str) -> GPUBackendInfo | None:
    gpus = _listdir(os.path.join(proc_root, "driver", "nvidia", "gpus"))
    if not gpus:
        return None
    device_memory = _nvml_device_memory()
    if len(device_memory) != len(gpus):  # NVML sees other devices than the kernel: not these
        device_memory = ()
    return GPUBackendInfo(GPUBackendKind.CUDA, len(gpus), float(sum(device_memory)),
                          _nvidia_driver_version(proc_root), device_memory)


# ---------------------------------------------------------------------------------------------
# AMD

def _probe_rocm(proc_root: str, sys_root: str) -> GPUBackendInfo | None:
    nodes_dir = os.path.join(sys_root, "class", "kfd", "kfd", "topology", "nodes")
    device_memory: list[float] = []
    for node in _numbered(_listdir(nodes_dir), ""):
        node_dir = os.path.join(nodes_dir, node)
        if _read(os.path.join(node_dir, "gpu_id")).strip() in ("", "0"):
            continue  # a CPU node
        banks_dir = os.path.join(node_dir, "mem_banks")
        size = 0
        for bank in _listdir(banks_dir):
            bank_properties = _properties(_read(os.path.join(banks_dir, bank, "properties")))
            if bank_properties.get("heap_type") in FRAME_BUFFER_HEAPS:
                size += bank_properties.get("size_in_bytes", 0)
        device_memory.append(size / GIB)
    if not device_memory:
        return None
    version = _read(os.path.join(sys_root, "module", "amdgpu", "version")).strip()
    return GPUBackendInfo(GPUBackendKind.ROCm, len(device_memory), float(sum(device_memory)), version,
                          device_memory)


# ---------------------------------------------------------------------------------------------
# Intel

def _probe_oneapi(proc_root: str, sys_root: str) -> GPUBackendInfo | None:
    drm_dir = os.path.join(sys_root, "class", "drm")
    count = 0
    for card in _numbered(_listdir(drm_dir), "card"):
        if _read(os.path.join(drm_dir, card, "device", "vendor")).strip().lower() == INTEL_PCI_VENDOR:
            count += 1
    if count == 0:
        return None
    return GPUBackendInfo(GPUBackendKind.oneAPI, count)


_PROBES = ((GPUBackendKind.CUDA, _probe_cuda), (GPUBackendKind.ROCm, _probe_rocm),
           (GPUBackendKind.oneAPI, _probe_oneapi))


def scan_backends(proc_root: str | None = None, sys_root: str | None = None) -> dict[GPUBackendKind, GPUBackendInfo]:
    """The GPU back-ends found on the host now, by kind, in order of preference; not cached."""
    proc_root = PROC_ROOT if proc_root is None else proc_root
    sys_root = SYS_ROOT if sys_root is None else sys_root
    backends: dict[GPUBackendKind, GPUBackendInfo] = {}
    for kind, probe in _PROBES:
        try:
            info = probe(proc_root, sys_root)
        except (OSError, ValueError):  # a driver file that changed shape: that back-end is not usable
            info = None
        if info is not None:
            backends[kind] = info
    return backends


class GPUDevicebook:
    """The registry of the host's GPU back-ends, detected once per process."""

    _backends: dict[GPUBackendKind, GPUBackendInfo] | None = None
    _best: GPUBackend | None = None

    @classmethod
    def detect_available_backends(cls) -> dict[GPUBackendKind, GPUBackendInfo]:
        """The usable GPU back-ends as a new dict: GPUBackendKind -> GPUBackendInfo."""
        if cls._backends is None:
            cls._backends = scan_backends()
        return dict(cls._backends)

    @classmethod
    def get_best_available(cls) -> GPUBackend:
        """The preferred back-end (CUDA, then ROCm, then oneAPI); the CPU one without a GPU."""
        if cls._best is None:
            backends = cls.detect_available_backends()
            info = next(iter(backends.values()), CPU_BACKEND_INFO)
            cls._best = GPUBackend(info)
        return cls._best

    @classmethod
    def refresh(cls) -> None:
        """Forgets the cached answer; the next call detects again."""
        cls._backends = None
        cls._best = None
