"""The typed interface: the .pyi stubs beside the native modules match what the modules define.

mypy's stubtest compares every class, method, property, function and constant (names, parameter
kinds, defaults, constant values) with the built modules; the dict results that the stubs spell
out key by key are compared with real results; and a small program typed against the stubs
must pass mypy, so they are found through py.typed and are not silently Any.
"""

import ast
import importlib
import importlib.machinery
import importlib.util
import pkgutil
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest

try:
    import mypy.api
except ImportError:
    pytest.skip("mypy is not installed (it comes with the test extra): the .pyi stubs are not checked",
                allow_module_level=True)

import klavrix

SOURCE_PACKAGE = Path(__file__).resolve().parents[1] / "src" / "klavrix"
ALLOWLIST = Path(__file__).with_name("stubtest_allowlist.txt")
INSTALLED_PACKAGE = Path(klavrix.__file__).parent


def native_modules():
    """Dotted names of the built extension modules of the package, test helpers left out."""
    names = []
    for info in pkgutil.walk_packages(klavrix.__path__, "klavrix."):
        if info.ispkg or info.name.startswith("klavrix.testing."):
            continue
        origin = importlib.util.find_spec(info.name).origin
        if origin.endswith(tuple(importlib.machinery.EXTENSION_SUFFIXES)):
            names.append(info.name)
    return sorted(names)


def stub_path(module_name):
    return INSTALLED_PACKAGE.joinpath(*module_name.split(".")[1:]).with_suffix(".pyi")


MODULES = native_modules()


def test_every_native_module_has_a_stub_and_the_package_is_marked_typed():
    assert MODULES, "no native module of klavrix is built"
    assert [name for name in MODULES if not stub_path(name).is_file()] == []
    assert (INSTALLED_PACKAGE / "py.typed").is_file()


def test_installed_stubs_are_those_of_the_source_tree():
    # A stale install, or a wheel that left the stubs out, would make the other tests check
    # something else than what is in the tree.
    for source in SOURCE_PACKAGE.rglob("*.pyi"):
        relative = source.relative_to(SOURCE_PACKAGE)
        if ".".join(("klavrix", *relative.with_suffix("").parts)) not in MODULES:
            continue  # that module is not part of this build
        installed = INSTALLED_PACKAGE / relative
        assert installed.is_file(), f"{installed} is missing from the installed package"
        assert installed.read_text() == source.read_text(), f"{installed} is out of date: reinstall"


def allowlist_for(modules):
    """The allowlist's entries that concern the modules checked now (a partial build leaves
    the others unused, which stubtest would report)."""
    entries = []
    for line in ALLOWLIST.read_text().splitlines():
        entry = line.split("#", 1)[0].strip()
        plain = entry.replace("\\", "")  # klavrix\.memory\.interlock\.X -> klavrix.memory.interlock.X
        if entry and any(plain == name or plain.startswith(name + ".") for name in modules):
            entries.append(entry)
    return entries


def test_stubs_match_the_built_modules(tmp_path):
    allowlist = tmp_path / "allowlist.txt"
    allowlist.write_text("".join(entry + "\n" for entry in allowlist_for(MODULES)))
    # One process for all modules: stubtest's start-up is most of its time. The neutral working
    # directory keeps mypy from reading this tree's sources or configuration.
    result = subprocess.run(
        [sys.executable, "-m", "mypy.stubtest", *MODULES, "--allowlist", str(allowlist)],
        capture_output=True, text=True, timeout=600, cwd=tmp_path,
    )
    assert result.returncode == 0, result.stdout + result.stderr


# ---------------------------------------------------------------------------------------------
# Dict results whose keys the stubs list (stubtest does not look at return types)

def typed_dict_fields(module_name, class_name):
    """(key, annotation text) of a TypedDict in the module's stub, in order: those of its bases
    in the stub first, in the order they are listed, as a TypedDict joins them."""
    classes = {node.name: node for node in ast.parse(stub_path(module_name).read_text()).body
               if isinstance(node, ast.ClassDef)}
    if class_name not in classes:
        raise AssertionError(f"{class_name} not in the stub of {module_name}")
    node = classes[class_name]
    inherited = [field for base in node.bases if isinstance(base, ast.Name) and base.id in classes
                 for field in typed_dict_fields(module_name, base.id)]
    return inherited + [(item.target.id, ast.unparse(item.annotation))
                        for item in node.body if isinstance(item, ast.AnnAssign)]


VALUE_TYPES = {"int": int, "float": (int, float), "bool": bool, "str": str}


def assert_matches(result, module_name, class_name):
    fields = typed_dict_fields(module_name, class_name)
    expected = [key for key, annotation in fields
                if not annotation.startswith("NotRequired[") or key in result]
    assert list(result) == expected
    for key, annotation in fields:
        if key in result:
            annotation = annotation.removeprefix("NotRequired[").removesuffix("]")
            assert isinstance(result[key], VALUE_TYPES[annotation]), (key, result[key])


def snapshot():
    from klavrix.memory.interlock import LockFreeStatistics

    return LockFreeStatistics().get_snapshot()


def tree_stats(reset_circuit_breaker):
    from klavrix.memory.blockfit import FastRedBlackTree

    tree = FastRedBlackTree()
    if reset_circuit_breaker:
        tree.reset_circuit_breaker()
    return tree.get_stats()


def allocator_stats():
    from klavrix.memory.slabworks import FastStatsCollector

    return FastStatsCollector().get_stats()


def policy_statistics():
    from klavrix.jit.compilegate import Compilegate

    return Compilegate().get_statistics()


def host_probe(function_name):
    from klavrix.native import hostprobe

    return getattr(hostprobe, function_name)()


def counter_stats(with_value):
    from klavrix.monitoring.tallies import CounterAggregator

    aggregator = CounterAggregator(2)
    if with_value:
        aggregator.update(1, 2.5)
        return aggregator.get_all_stats()[0][1]
    return aggregator.get_stats(0)


# (module, TypedDict of its stub, a real result)
DICT_RESULTS = [
    ("klavrix.memory.interlock", "_Snapshot", snapshot),
    ("klavrix.memory.blockfit", "_TreeStats", lambda: tree_stats(reset_circuit_breaker=False)),
    ("klavrix.memory.blockfit", "_TreeStats", lambda: tree_stats(reset_circuit_breaker=True)),
    ("klavrix.memory.slabworks", "_AllocatorStats", allocator_stats),
    ("klavrix.jit.compilegate", "_PolicyStatistics", policy_statistics),
    ("klavrix.native.hostprobe", "_GPUInfo", lambda: host_probe("detect_gpu_backends")),
    ("klavrix.native.hostprobe", "_Capabilities", lambda: host_probe("detect_capabilities")),
    ("klavrix.monitoring.tallies", "_CounterStats", lambda: counter_stats(with_value=False)),
    ("klavrix.monitoring.tallies", "_CounterStats", lambda: counter_stats(with_value=True)),
]


@pytest.mark.parametrize("module_name, class_name, result", DICT_RESULTS)
def test_dict_results_have_the_keys_and_types_of_the_stubs(module_name, class_name, result):
    if module_name not in MODULES:
        pytest.skip(f"{module_name} is not part of this build")
    assert_matches(result(), module_name, class_name)


def test_hostprobe_fallback_form_has_the_keys_of_the_stub(monkeypatch):
    if "klavrix.native.hostprobe" not in MODULES:
        pytest.skip("klavrix.native.hostprobe is not part of this build")
    from klavrix.native import hostprobe

    def broken():
        raise RuntimeError("probe failed")

    monkeypatch.setattr(hostprobe, "detect_numa_nodes", broken)
    result = hostprobe.detect_capabilities()
    assert result["error"] == "probe failed"
    assert_matches(result, "klavrix.native.hostprobe", "_Capabilities")


# ---------------------------------------------------------------------------------------------
# The stubs as a type checker sees them

USAGE = """
    from klavrix.jit.compilegate import Compilegate, create_policy_config
    from klavrix.jit.telemetry import TelemetryStore
    from klavrix.memory.blockfit import FastRedBlackTree
    from klavrix.memory.blockrec import Blockrec
    from klavrix.memory.interlock import AtomicCounter
    from klavrix.memory.slabworks import fast_bitmap_operations
    from klavrix.monitoring.tallies import create_aggregator

    counter = AtomicCounter(5)
    assert counter.py_increment() == counter.increment(2)

    tree = FastRedBlackTree(sample_rate=10)
    tree.insert(64, Blockrec(0, 64))
    size, block = tree.remove_ge(32)
    if block is not None:
        taken: int = block.offset + tree.get_stats()["node_count"]

    store = TelemetryStore()
    gate = Compilegate(create_policy_config(initial_threshold=50))
    if gate.should_compile("f", store):
        gate.update("f", store)
    threshold: float = gate.get_statistics()["avg_threshold"] + gate.config.learning_rate

    is_set: bool = fast_bitmap_operations(0b10, 1, "is_set")
    mean: float = create_aggregator(4).get_stats(0)["mean"]

    counter.increment("1")  # the one error this program must get
"""


def test_a_program_typed_against_the_stubs_checks(tmp_path):
    program = tmp_path / "usage.py"
    program.write_text(textwrap.dedent(USAGE))
    wrong_line = textwrap.dedent(USAGE).splitlines().index('counter.increment("1")  # the one error this program must get') + 1
    stdout, stderr, _ = mypy.api.run(
        ["--strict", "--no-incremental", "--cache-dir", str(tmp_path / "cache"), "--config-file", "",
         "--python-executable", sys.executable, str(program)])
    errors = [line for line in stdout.splitlines() if ": error:" in line]
    assert len(errors) == 1 and f"usage.py:{wrong_line}:" in errors[0] and "[arg-type]" in errors[0], stdout + stderr
