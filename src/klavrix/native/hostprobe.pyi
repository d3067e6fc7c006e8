from typing import NotRequired, TypedDict

class _GPUInfo(TypedDict):
    has_gpu: bool
    gpu_count: int
    gpu_memory_mb: int
    cuda_available: bool
    rocm_available: bool
    oneapi_available: bool
    active_backend: str  # "cuda", "rocm", "oneapi" or "cpu"
    backend_version: str

class _CoresAndNodes(TypedDict):
    physical_cores: int
    numa_nodes: int

# The capability record: cores and nodes, the GPU information, then the interpreter and platform.
class _Capabilities(_CoresAndNodes, _GPUInfo):
    python_version: str
    subinterpreter_support: bool
    platform: str
    detected_at: float
    detector: str  # "native", or "native_fallback" when detection failed
    error: NotRequired[str]  # only in the fallback form
    detection_time_ms: float

def detect_physical_cores() -> int: ...
def detect_numa_nodes() -> int: ...
def detect_gpu_backends() -> _GPUInfo: ...
def detect_python_version() -> tuple[str, bool]: ...
def detect_capabilities() -> _Capabilities: ...
