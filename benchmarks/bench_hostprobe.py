"""detect_capabilities, cold (a fresh interpreter: import and first call) and warm, against the
same record built in Python from os.sched_getaffinity and os.listdir, and with psutil."""

from __future__ import annotations

import statistics
import subprocess
import sys
import textwrap

from harness import report, section

from klavrix.native import hostprobe

try:
    import psutil
except ImportError:  # the bench extra is not installed
    psutil = None

OPS = 2_000
COLD_RUNS = 15

PYTHON_RECORD = '''
import os, sys, time

def node_count():
    path = "/sys/devices/system/node"
    if sys.platform != "linux" or not os.path.exists(path):
        return 1
    return len([e for e in os.listdir(path) if e.startswith("node") and e[4:].isdigit()]) or 1

def gpu_info():
    from klavrix.gpu.devicebook import GPUBackendKind, GPUDevicebook
    backends = GPUDevicebook.detect_available_backends()
    best = GPUDevicebook.get_best_available().info
    info = {"has_gpu": best.kind.value != "cpu", "gpu_count": 0, "gpu_memory_mb": 0,
            "cuda_available": GPUBackendKind.CUDA in backends, "rocm_available": GPUBackendKind.ROCm in backends,
            "oneapi_available": GPUBackendKind.oneAPI in backends, "active_backend": best.kind.value,
            "backend_version": best.version}
    if info["has_gpu"] and best.kind in backends:
        info["gpu_count"] = backends[best.kind].device_count
        info["gpu_memory_mb"] = int(backends[best.kind].memory_gb * 1024)
    return info

def python_version():
    v = sys.version_info
    try:
        import _xxsubinterpreters
        has = True
    except ImportError:
        has = False
    return f"{v.major}.{v.minor}.{v.micro}", has

def record(cores):
    start = time.perf_counter()
    caps = {"physical_cores": cores(), "numa_nodes": node_count(), **gpu_info()}
    caps["python_version"], caps["subinterpreter_support"] = python_version()
    caps.update(platform=sys.platform, detected_at=time.time(), detector="python")
    caps["detection_time_ms"] = (time.perf_counter() - start) * 1000
    return caps

def python_record():
    return record(lambda: max(len(os.sched_getaffinity(0)), 1))
'''

PSUTIL_RECORD = PYTHON_RECORD + '''
import psutil

def psutil_record():
    return record(lambda: len(psutil.Process().cpu_affinity()) or psutil.cpu_count() or 1)
'''

# Each child times its own import and first call, so interpreter start-up is left out.
COLD = {
    "native": "from klavrix.native import hostprobe\nhostprobe.detect_capabilities()",
    "pure-Python record": PYTHON_RECORD + "\npython_record()",
    "psutil record": PSUTIL_RECORD + "\npsutil_record()",
}


def cold_ms(body: str) -> float:
    script = "import time\n_start = time.perf_counter()\n" + textwrap.dedent(body) + \
             "\nprint((time.perf_counter() - _start) * 1000)\n"
    result = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, check=True)
    return float(result.stdout)


def cold_start() -> None:
    cases = {name: body for name, body in COLD.items() if psutil is not None or "psutil" not in name}
    samples: dict[str, list[float]] = {name: [] for name in cases}
    for _ in range(COLD_RUNS):  # interleaved, as the harness does
        for name, body in cases.items():
            samples[name].append(cold_ms(body))
    medians = {name: statistics.median(values) for name, values in samples.items()}
    base = medians["native"]
    print(f"detect_capabilities cold (import + first call, median of {COLD_RUNS} fresh interpreters)")
    for name, value in medians.items():
        suffix = "" if name == "native" else f"   {value / base:6.2f}x the time of native"
        print(f"    {name:<28} {value:10.3f} ms{suffix}")


def main() -> None:
    section("hostprobe: detect_capabilities")
    cold_start()

    namespace: dict = {}
    exec(PSUTIL_RECORD if psutil is not None else PYTHON_RECORD, namespace)
    native = hostprobe.detect_capabilities

    def repeat(fn):
        def run():
            for _ in range(OPS):
                fn()
        return run

    cases = {"native": repeat(native), "pure-Python record": repeat(namespace["python_record"])}
    if psutil is not None:
        cases["psutil record"] = repeat(namespace["psutil_record"])
    report("detect_capabilities warm", cases, OPS)
