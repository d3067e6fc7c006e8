"""What the runtime would decide for the functions where a profiled program spent its time.

From the call recorder's rows: each function's calls, inclusive and self time and per-call
statistics; for the hot ones (the top N by inclusive time) the workload pattern from the analyzer
chain, the call at which the compilation policy would first compile it, and one suggestion drawn
from those facts. Functions of the standard library and of klavrix itself are kept apart
(`folded`) so that the report can leave them out.
"""

from __future__ import annotations

import functools
import os
import sysconfig
from dataclasses import asdict, dataclass
from types import CodeType

import klavrix

# The program's own code, the interpreter's standard library, and klavrix itself.
PROGRAM, STANDARD_LIBRARY, KLAVRIX = "program", "standard library", "klavrix"

# How much of a function's time must be its own (not its callees') for it to count as the place
# where the work happens.
OWN_TIME_SHARE = 0.5

SUGGESTION_RULES = """\
Suggestions, the first rule that holds (the pattern comes from the analyzer chain, the compile call
from replaying the function's call count through a fresh compilation policy):
  GPU_* pattern                 -> offload to the GPU
  NUMPY_*, PANDAS_*, SKLEARN_*  -> time goes into library calls: batch or vectorise them; the JIT adds
                                   little
  PARALLEL_FRIENDLY, 2+ calls   -> N independent calls: a process pool of the host's pool size (with a
                                   pool of 1: run where more cores are free)
  compiled, own time >= 50%     -> hot pure-Python code: JIT candidate
  compiled, own time < 50%      -> hot, but its time is in its callees: look at them first
  not compiled, own time >= 50% -> few long calls: too few for the JIT, speed up its loops instead
  otherwise                     -> its time is in its callees
"""


@dataclass(frozen=True, slots=True)
class Host:
    physical_cores: int
    numa_nodes: int
    gpu: str  # "none", or what `klavrix probe` shows
    has_gpu: bool
    pool_size: int


@dataclass(slots=True)
class FunctionFacts:
    name: str  # the qualified name
    file: str
    line: int
    origin: str  # PROGRAM, STANDARD_LIBRARY or KLAVRIX
    calls: int
    inclusive_s: float
    self_s: float
    share: float  # inclusive time / wall time
    mean_s: float  # of the finished calls
    std_s: float
    min_s: float
    max_s: float
    # The decisions, for the hot functions only.
    pattern: str | None = None  # None: no source to classify (module bodies, lambdas, generated code)
    evidence: str | None = None
    compile_threshold: int | None = None
    compiled_at: int | None = None  # the call at which the policy first says compile; None: not hot
    suggestion: str | None = None

    @property
    def folded(self) -> bool:
        return self.origin != PROGRAM

    def as_dict(self) -> dict:
        return asdict(self)


# ---------------------------------------------------------------------------------------------
# Where a function comes from

def _directories() -> tuple[tuple[str, ...], tuple[str, ...], str]:
    paths = sysconfig.get_paths()
    standard = tuple({os.path.realpath(paths[key]) for key in ("stdlib", "platstdlib")})
    # Installed packages may live under the standard library's directory (site-packages).
    installed = tuple({os.path.realpath(paths[key]) for key in ("purelib", "platlib")})
    return standard, installed, os.path.realpath(os.path.dirname(klavrix.__file__))


@functools.lru_cache(maxsize=4096)
def origin(filename: str) -> str:
    if filename.startswith("<frozen "):
        return STANDARD_LIBRARY
    if filename.startswith("<"):  # "<string>", "<stdin>": the program's own
        return PROGRAM
    standard, installed, own = _directories()
    path = os.path.realpath(filename)

    def under(directories: tuple[str, ...]) -> bool:
        return any(path == d or path.startswith(d + os.sep) for d in directories)

    if under((own,)):
        return KLAVRIX
    if under(standard) and not under(installed):
        return STANDARD_LIBRARY
    return PROGRAM


# ---------------------------------------------------------------------------------------------
# The facts

def measured(rows: list[tuple], wall_s: float) -> list[FunctionFacts]:
    """Facts of every recorded function (rows of CallRecorder.functions()), by inclusive time."""
    facts = []
    for code, calls, inclusive_ns, self_ns, stats in rows:
        if calls == 0 and inclusive_ns == 0:
            continue
        code: CodeType
        finished = stats["count"] > 0
        std = stats["std"]
        facts.append(FunctionFacts(
            name=code.co_qualname, file=code.co_filename, line=code.co_firstlineno,
            origin=origin(code.co_filename), calls=calls, inclusive_s=inclusive_ns / 1e9, self_s=self_ns / 1e9,
            share=inclusive_ns / 1e9 / wall_s if wall_s > 0 else 0.0,
            mean_s=stats["mean"], std_s=std if isinstance(std, float) else 0.0,
            min_s=stats["min"] if finished else 0.0, max_s=stats["max"] if finished else 0.0))
    facts.sort(key=lambda f: f.inclusive_s, reverse=True)
    return facts


def hot(facts: list[FunctionFacts], top: int, include_folded: bool) -> list[FunctionFacts]:
    return [f for f in facts if include_folded or not f.folded][:top]


def decide(function: FunctionFacts, host: Host) -> None:
    """Fills in the decisions for one hot function."""
    from klavrix.jit.compilegate import Compilegate, PolicyConfig

    classified = _classify(function.file, function.name.replace(".<locals>", ""), function.line, host.has_gpu)
    if classified is not None:
        function.pattern, function.evidence = classified
    gate = Compilegate(PolicyConfig())
    function.compile_threshold = gate.get_threshold(function.name)
    function.compiled_at = compiled_at(function.name, function.calls, function.mean_s * 1e3, gate)
    function.suggestion = suggestion(function, host)


def _classify(path: str, qualname: str, line: int, gpu_available: bool) -> tuple[str, str] | None:
    """The workload pattern of the unit `qualname` (nested names joined by dots, without <locals>;
    <module> for module-level code) whose code starts at `line` of `path` (its first decorator,
    or `def`), and the evidence behind it: the rule that decided and the keywords it counted,
    from the analyzer chain over the unit's code without prose, as `klavrix analyze --explain`
    runs it with the default thresholds. None when there is no such unit: class bodies,
    lambdas, comprehensions, generated code."""
    from klavrix.cli import analysis  # after the program has run: not part of the start-up
    from klavrix.plugins.analyzer import jobscore

    candidates = [unit for unit in _units_in(path) if unit.qualname == qualname and unit.line >= line]
    if not candidates:
        return None
    unit = min(candidates, key=lambda candidate: candidate.line)
    settings = analysis.Settings(analysis.Thresholds(), gpu_available)
    result = analysis.score_unit(unit, settings, jobscore, analysis.Options(explain=True))
    decided = analysis.decided_by(result, settings.thresholds)
    keywords = analysis.evidence_text(result.evidence)
    return result.pattern_name, f"{decided}; {keywords}" if keywords else decided


@functools.lru_cache(maxsize=64)
def _units_in(path: str) -> list:
    from klavrix.cli import source

    try:
        return source.read_units(path).units
    except source.SourceError:
        return []


def compiled_at(func_id: str, calls: int, mean_ms: float, gate) -> int | None:
    """Replays `calls` calls through the compilation policy `gate` with the project's telemetry
    store: the call at which it first answers that the function should be compiled, or None."""
    from klavrix.jit.telemetry import TelemetryStore

    store = TelemetryStore()
    for call in range(1, calls + 1):
        store.record_call(func_id, mean_ms)
        if gate.should_compile(func_id, store):
            return call
    return None


_LIBRARIES = {"NUMPY": "NumPy", "PANDAS": "pandas", "SKLEARN": "scikit-learn"}


def suggestion(function: FunctionFacts, host: Host) -> str:
    """One plain-language suggestion from the function's facts (SUGGESTION_RULES)."""
    pattern = function.pattern or ""
    own = function.self_s >= OWN_TIME_SHARE * function.inclusive_s
    if pattern.startswith("GPU_"):
        return f"{pattern}: offload to the GPU ({host.gpu})"
    family = pattern.split("_", 1)[0]
    if family in _LIBRARIES:
        return f"time goes into {_LIBRARIES[family]} calls: batch or vectorise them; the JIT adds little"
    if pattern == "PARALLEL_FRIENDLY" and function.calls >= 2:
        if host.pool_size < 2:
            return f"{function.calls:,} independent calls, PARALLEL_FRIENDLY, but this host gives a pool of 1: " \
                   "run where more cores are free"
        return f"{function.calls:,} independent calls, PARALLEL_FRIENDLY: a process pool of {host.pool_size} " \
               "on this host"
    if function.compiled_at is not None:
        return "hot pure-Python code: JIT candidate" if own else \
            "hot, but its time is in its callees: look at them first"
    if own:
        return f"few long calls ({function.calls:,}): too few for the JIT, speed up its loops instead"
    return "its time is in its callees"


def host_record() -> tuple[Host, dict]:
    """The host as the report heads it, and the full record of `klavrix probe --json`."""
    from klavrix.cli import probe
    from klavrix.native import hostprobe

    record = hostprobe.detect_capabilities()
    limits = probe.pool_limits()
    host = Host(record["physical_cores"], record["numa_nodes"], probe.gpu_text(record), bool(record["has_gpu"]),
                limits["pool_size"])
    return host, {"capabilities": record, "limits": limits}
