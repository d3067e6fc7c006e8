"""jobscore: the analyzer's scoring rules against the plain-Python rules (reference/jobscore_rules), on worked
values, generated text and every function of the standard library."""

import ast
import math
import pathlib
import struct
import sysconfig
import threading
import tracemalloc
import warnings
from fractions import Fraction

import pytest
from hypothesis import given, settings, strategies as st

from reference import jobscore_rules as ref
from klavrix.plugins.analyzer import jobscore

TEXT_FUNCTIONS = ("score_indicators", "score_framework_patterns")
ALL_ENTRIES = sorted(set(
    ref.CPU_INDICATORS + ref.MEMORY_INDICATORS + ref.PARALLEL_INDICATORS + ref.GPU_OPERATION_INDICATORS
    + ref.LARGE_DATA_INDICATORS + ref.EMBARRASSING_INDICATORS + ref.SEQUENTIAL_INDICATORS
    + ref.NUMPY_KEYWORDS + ref.PANDAS_KEYWORDS + ref.SKLEARN_KEYWORDS))


def bits(x):
    """A float's identity: equal bits, so -0.0 differs from 0.0; every NaN is the same (which
    operand's payload an operation on two NaNs keeps is the compiler's choice)."""
    return b"nan" if math.isnan(x) else struct.pack("<d", x)


def same_floats(a, b):
    assert type(a) is type(b)
    if isinstance(a, tuple):
        assert len(a) == len(b) and all(bits(x) == bits(y) for x, y in zip(a, b)), (a, b)
    else:
        assert bits(a) == bits(b), (a, b)


# ---------------------------------------------------------------------------------------------
# Worked values

def test_quick_framework_score():
    assert jobscore.quick_framework_score("import numpy as np", "numpy") == 0.1
    assert jobscore.quick_framework_score("x = NumPy.Array(np.zeros(3))", "numpy") == 0.30000000000000004
    assert jobscore.quick_framework_score("numpy " * 10, "numpy") == 1.0
    assert jobscore.quick_framework_score("numpy " * 25, "numpy") == 1.0
    assert jobscore.quick_framework_score("arrays ndarray_x", "numpy") == 0.0  # word-bounded
    assert jobscore.quick_framework_score("df.groupby('a').merge(b)", "pandas") == 0.2
    assert jobscore.quick_framework_score("model.fit(X); model.predict(X)", "sklearn") == 0.2
    for framework in ("NumPy", "torch", "", None):
        assert jobscore.quick_framework_score("numpy numpy", framework) == 0.0
    assert jobscore.quick_framework_score(None, "unknown") == 0.0  # the framework is looked up first


def test_score_indicators():
    assert jobscore.score_indicators("", "matmul_worker") == (0, 0, 0, 1, 0, 0, 0)
    assert jobscore.score_indicators("", None) == (0,) * 7
    assert jobscore.score_indicators("for " * 10, "") == (1, 0, 0, 0, 0, 0, 0)
    assert jobscore.score_indicators("print(format(x))", "") == (1, 0, 0, 0, 0, 0, 0)  # "format" holds "for"
    # The name only feeds the GPU-operation and embarrassingly-parallel tables, and an entry in
    # both the source and the name counts once.
    assert jobscore.score_indicators("x.sum()", "sum_map_for_global_pool") == (1, 0, 0, 1, 0, 1, 0)
    everything = " ".join(ALL_ENTRIES).upper()
    assert jobscore.score_indicators(everything, "") == (15, 10, 11, 36, 13, 8, 8)
    # Entries inside entries: each found where the longer one ends, and a match that fails
    # part-way ("matmat") restarts inside itself.
    assert jobscore.score_indicators("ifft", "") == (1, 0, 0, 2, 0, 0, 0)  # fft, ifft
    assert jobscore.score_indicators("tensordot", "") == (1, 0, 0, 2, 0, 0, 0)  # dot, tensordot
    assert jobscore.score_indicators("chunk_workload", "") == (0, 0, 1, 0, 0, 2, 0)
    assert jobscore.score_indicators("PROCESSPOOLEXECUTOR", "") == (0, 0, 2, 0, 0, 0, 0)  # and pool
    assert jobscore.score_indicators("matmatmul", "") == (1, 0, 0, 1, 0, 0, 0)
    counts = jobscore.score_indicators("GLOBAL lock; Mutex.ordered()", "f")
    assert counts == (0, 0, 0, 0, 0, 0, 4)
    assert all(type(c) is int for c in counts)


def test_normalize_scores():
    assert jobscore.normalize_scores(30, -2, 11, 18, 13) == (1.0, 0.0, 1.0, 0.5, 1.0)
    # Multiplications by the rounded reciprocals, not divisions.
    assert jobscore.normalize_scores(7, 3, 5, 7, 7) == (
        7 * 0.06666666666666667, 3 * 0.1, 5 * 0.09090909090909091, 7 * 0.027777777777777776,
        7 * 0.07692307692307693)
    assert jobscore.normalize_scores(0, 0, 5, 7, 11)[2:] != (5 / 11, 7 / 36, 11 / 13)
    assert jobscore.normalize_scores(2**31 - 1, -(2**31), 0, 0, 0) == (1.0, 0.0, 0.0, 0.0, 0.0)


def test_score_framework_patterns():
    assert jobscore.score_framework_patterns(" ".join(ref.NUMPY_KEYWORDS)) == (1.0, 1 * 0.05555555555555555, 0.0)
    numpy, pandas, sklearn = jobscore.score_framework_patterns("df.TRANSFORM(f)")
    assert (pandas, sklearn) == (0.05555555555555555, 0.05555555555555555)  # counts for both
    assert numpy == 0.0
    assert jobscore.score_framework_patterns("np.sum(a) + np.mean(a)") == (3 * 0.04, 0.0, 0.0)
    assert jobscore.score_framework_patterns("") == (0.0, 0.0, 0.0)


def zero_inputs(**changes):
    args = dict(cpu_intensity=0.0, memory_intensity=0.0, parallelization_potential=0.0, gpu_suitability=0.0,
                gpu_operation_score=0.0, numpy_score=0.0, pandas_score=0.0, sklearn_score=0.0,
                sequential_count=0, embarrassing_count=0, cpu_threshold=0.5, memory_threshold=0.5,
                gpu_threshold=0.5, numpy_threshold=0.5, pandas_threshold=0.5, sklearn_threshold=0.5,
                gpu_available=False)
    args.update(changes)
    return args


GPU = dict(gpu_available=True, gpu_suitability=0.9)


@pytest.mark.parametrize("changes, code", [
    ({}, 0),
    (dict(sequential_count=3), 4),
    (dict(sequential_count=2), 0),
    (dict(memory_intensity=0.51), 2),
    (dict(memory_intensity=0.5), 0),  # equal to the threshold
    (dict(cpu_intensity=0.51, memory_intensity=0.9, sequential_count=5), 1),
    (dict(cpu_intensity=0.5), 0),
    (dict(embarrassing_count=1, cpu_intensity=0.9), 3),
    (dict(parallelization_potential=0.61), 3),
    (dict(parallelization_potential=0.6), 0),
    (dict(GPU, embarrassing_count=4), 5),  # GPU before parallel
    (dict(GPU, gpu_operation_score=0.71, cpu_intensity=0.61), 6),
    (dict(GPU, gpu_operation_score=0.7, cpu_intensity=0.61, memory_intensity=0.51), 7),
    (dict(GPU, gpu_operation_score=0.71, cpu_intensity=0.6), 5),
    (dict(GPU, gpu_suitability=0.5), 0),  # equal to the GPU threshold
    (dict(gpu_suitability=0.9, embarrassing_count=1), 3),  # no GPU: never 5, 6 or 7
    (dict(GPU, numpy_score=0.51), 8),  # frameworks before GPU
    (dict(GPU, numpy_score=0.51, pandas_score=0.51), 10),
    (dict(GPU, numpy_score=0.51, pandas_score=0.51, sklearn_score=0.51), 12),
    (dict(sklearn_score=0.5, pandas_score=0.5, numpy_score=0.5), 0),
])
def test_decision_table(changes, code):
    args = zero_inputs(**changes)
    assert jobscore.determine_workload_pattern(**args) == code
    assert jobscore.determine_workload_pattern(*args.values()) == code
    assert ref.determine_workload_pattern(**args) == code


def test_gpu_suitability():
    suitability = jobscore.calculate_gpu_suitability
    assert suitability(1.0, 1.0, 1.0, True, "8.6") == 1.0
    assert suitability(0.5, 0.5, 0.0, True, "7.5") == 0.55
    assert suitability(0.5, 0.5, 0.0, True, "not a number") == 0.5
    assert suitability(1.0, 1.0, 1.0, False, "8.6") == 0.0
    assert suitability(0.5, 0.5, 0.0, True, "5.2") == 0.8 * 0.5
    assert suitability(0.5, 0.5, 0.0, True, "6") == 0.5
    assert suitability(0.0, 0.0, 5.0, True, None) == 0.3  # the CPU term adds at most 0.3
    assert suitability(0.0, 0.0, -5.0, True, "") == 0.0


@pytest.mark.parametrize("capability, multiplier", [
    ("8.6", 1.2), ("9", 1.2), ("2147483647.0", 1.2), (" 8 .0", 1.2), ("\u0668.0", 1.2), ("1_0.0", 1.2),
    ("7.0.1", 1.1), ("6.x", 1.0), ("5.2", 0.8), ("0", 0.8), ("-7.5", 0.8), ("-2147483648", 0.8),
    (".5", 1.0), ("x.5", 1.0), ("8,6", 1.0), ("9" * 5000, 1.0),  # int() refuses (the last: too many digits)
    ("", 1.0), (None, 1.0),
])
def test_capability_multiplier(capability, multiplier):
    expected = min(multiplier * 0.5, 1.0)
    assert jobscore.calculate_gpu_suitability(0.5, 0.5, 0.0, True, capability) == expected
    assert ref.calculate_gpu_suitability(0.5, 0.5, 0.0, True, capability) == expected


@pytest.mark.parametrize("capability", ["2147483648.1", "-2147483649", "99999999999999999999"])
def test_capability_out_of_int_range_raises(capability):
    with pytest.raises(OverflowError, match="^value too large to convert to int$"):
        jobscore.calculate_gpu_suitability(0.5, 0.5, 0.0, True, capability)
    assert jobscore.calculate_gpu_suitability(0.5, 0.5, 0.0, False, capability) == 0.0  # never parsed


def test_speedup_parallelization_and_threshold():
    speedup = jobscore.estimate_gpu_speedup
    assert speedup(0.9, 1.0, True) == 22.5
    assert speedup(0.8, 0.0, True) == 8.0
    assert speedup(0.61, 0.0, True) == 8.0 and speedup(0.6, 0.0, True) == 4.0 and speedup(0.3, 0.0, True) == 2.0
    assert speedup(0.0, 1.0, True) == 1.0 and speedup(-0.0, 1.0, True) == 1.0
    assert speedup(0.2, 0.0, True) == 2.0
    assert speedup(0.9, 1.0, False) == 1.0
    assert speedup(0.9, 100.0, True) == 765.0  # not clamped

    potential = jobscore.calculate_parallelization_potential
    assert potential(0.5, 1.0, 1.0, 0.5) == 0.8
    assert potential(0.0, 100.0, 0.0, 0.0) == 0.7
    assert potential(0.8, 0.0, 100.0, 0.0) == 0.30000000000000004
    assert potential(0.2, -5.0, -5.0, 0.0) == 0.2
    assert potential(5.0, 0.0, 0.0, 0.0) == 1.0 and potential(-5.0, 0.0, 0.0, 0.0) == 0.0

    update = jobscore.update_adaptive_threshold
    assert update(0.5, 0.9, 0.05, 0.1, 0.9) == 0.55
    assert update(0.5, 0.8, 0.05, 0.1, 0.9) == 0.5
    assert update(0.5, 0.4, 0.05, 0.1, 0.9) == 0.5
    assert update(0.5, 0.3, 0.05, 0.1, 0.9) == 0.45
    assert update(0.12, 0.1, 0.05, 0.1, 0.9) == 0.1
    assert update(0.88, 0.95, 0.05, 0.1, 0.9) == 0.9
    # The lower bound first, against the unclamped value: with min above max, max wins from min up.
    assert update(0.5, 0.5, 0.05, 0.7, 0.3) == 0.7
    assert update(0.8, 0.5, 0.05, 0.7, 0.3) == 0.3


floats = st.floats() | st.sampled_from([0.0, -0.0, 0.3, 0.4, 0.5, 0.6, 0.7, 0.8, 1.0])


@settings(max_examples=300)
@given(st.tuples(*[floats] * 5), st.booleans(),
       st.none() | st.sampled_from(["8.6", "7.5", "6", "5.2", "x", "", "10.0", "-1"]))
def test_numeric_rules_match_the_python_rules(values, flag, capability):
    a, b, c, d, e = values
    same_floats(jobscore.calculate_gpu_suitability(a, b, c, flag, capability),
                ref.calculate_gpu_suitability(a, b, c, flag, capability))
    same_floats(jobscore.estimate_gpu_speedup(a, b, flag), ref.estimate_gpu_speedup(a, b, flag))
    same_floats(jobscore.calculate_parallelization_potential(a, b, c, d),
                ref.calculate_parallelization_potential(a, b, c, d))
    same_floats(jobscore.update_adaptive_threshold(a, b, c, d, e), ref.update_adaptive_threshold(a, b, c, d, e))


@given(st.tuples(*[floats] * 8), st.integers(-5, 5), st.integers(-5, 5), st.tuples(*[floats] * 6),
       st.booleans(), st.tuples(*[st.integers(-(2**31), 2**31 - 1)] * 5))
def test_decision_and_normalisation_match_the_python_rules(scores, sequential, embarrassing, thresholds, flag,
                                                             counts):
    args = (*scores, sequential, embarrassing, *thresholds, flag)
    assert jobscore.determine_workload_pattern(*args) == ref.determine_workload_pattern(*args)
    same_floats(jobscore.normalize_scores(*counts), ref.normalize_scores(*counts))


# ---------------------------------------------------------------------------------------------
# Text: lower-casing as str.lower, presence as `in`

# Pieces that stress the matcher and the lower-casing: every entry in several cases, every part
# of an entry (joined, they make entries that overlap, nest and restart inside one another),
# entries cut by a code point outside ASCII, and characters whose lower case is special
# (İ -> i + U+0307, the Kelvin sign -> k, final sigma, ẞ), NUL, lone surrogates and the last code point.
SPECIAL = ["\u0130", "\u212a", "\u03a3", "\u1e9e", "\u00df", "\x00", "\ud800", "\udfff", "\U0010ffff",
           "\U0001f600", "\u00e9", "\u0307", "K", "I", "\u0131", "\ufb00", " ", "\n", "_", ".", "*", "@"]
ENTRY_PARTS = sorted({e[i:j] for e in ALL_ENTRIES for i in range(len(e)) for j in range(i + 1, len(e) + 1)})
PIECES = (ENTRY_PARTS + [e.upper() for e in ALL_ENTRIES] + [e.title() for e in ALL_ENTRIES]
          + [e[: len(e) // 2] + "\u0130" + e[len(e) // 2:] for e in ALL_ENTRIES if len(e) > 1]
          + ["fft".replace("f", "\u212a"), "\u212aernel", "\u0130nd", "lin\u0130alg"] + SPECIAL)
texts = st.lists(st.sampled_from(PIECES) | st.characters(), max_size=40).map("".join)


def check_text(code, name):
    assert jobscore.score_indicators(code, name) == ref.score_indicators(code, name)
    assert jobscore.score_framework_patterns(code) == ref.score_framework_patterns(code)
    for framework in ref.FRAMEWORK_PATTERNS:
        assert jobscore.quick_framework_score(code, framework) == ref.quick_framework_score(code, framework)


@settings(max_examples=400)
@given(texts, st.none() | texts)
def test_text_scores_match_the_python_rules(code, name):
    check_text(code, name)


def test_special_lower_casings():
    # The Kelvin sign lowers to k and İ to i + U+0307, so both can complete an entry; the
    # combining dot then breaks the one that would continue after the i.
    assert jobscore.score_indicators("ran\u212aing", "")[0] == 0
    assert jobscore.score_indicators("\u212aERNEL", "") == ref.score_indicators("\u212aERNEL", "")
    assert jobscore.score_indicators("MAT\u0130", "")[3] == 0
    assert jobscore.score_indicators("L\u0130NALG", "") == (0, 0, 0, 0, 0, 0, 0)
    assert jobscore.score_indicators("\u0130F\u212a", "") == ref.score_indicators("\u0130F\u212a", "")
    assert jobscore.score_indicators("BATCH\u212a", "") == ref.score_indicators("BATCH\u212a", "")
    # ẞ lowers to ß, not to "ss".
    assert jobscore.score_indicators("\u1e9eUM", "")[0] == 0 and jobscore.score_indicators("SUM", "")[0] == 1
    check_text("\u212aa\u212a\u212a \u0130\u0130 \u03a3\u03a3 \u1e9e", "\u212aMAP")


def test_unusual_and_huge_texts():
    every_plane = "".join(chr(c) for c in range(0, 0x110000, 61)) + "sum"
    check_text(every_plane, every_plane)
    check_text("\x00for\x00\ud800while\udfff", "\x00")
    big_ascii = "def f(data):\n    return [x * 2 for x in data]  # apply\n" * 60_000  # ~3 MB
    check_text(big_ascii, "f")
    big_wide = ("\u03c3 = np.fft(\u00e9l\u00e9ment) \U0001f600 GROUPBY\n" * 100_000)  # ~3 MB, four-byte kind
    check_text(big_wide, "\u212amap")


# The differential test reads real code: the standard library's functions, from its small files
# (most of its modules and tests) and from every mid-sized file holding non-ASCII text, where the
# special lower casings live. Parsing all of it would cost ten times as much for the same kinds
# of text.
SMALL_FILE = 12_000  # bytes
NON_ASCII_FILE = 48_000
FUNCTION_DEFS = (ast.FunctionDef, ast.AsyncFunctionDef)


@pytest.fixture(scope="module")
def stdlib_functions():
    """(source, name) of every function and method in the chosen standard-library files."""
    root = pathlib.Path(sysconfig.get_paths()["stdlib"])
    found = []
    for path in sorted(root.rglob("*.py")):
        size = path.stat().st_size
        if "site-packages" in path.parts or size > max(SMALL_FILE, NON_ASCII_FILE):
            continue
        try:
            text = path.read_text(encoding="utf-8")
            if size > SMALL_FILE and (size > NON_ASCII_FILE or text.isascii()):
                continue
            with warnings.catch_warnings():
                warnings.simplefilter("ignore", SyntaxWarning)  # invalid escapes in old sources
                tree = ast.parse(text)
        except (SyntaxError, UnicodeDecodeError, ValueError):
            continue  # the test suite's deliberately broken files
        lines = text.splitlines(keepends=True)
        found.extend((segment(lines, node), node.name) for node in function_defs(tree.body))
    return found


def function_defs(body):
    """The function definitions in a list of statements, nested ones included. A def is always a
    statement, so only statement lists are walked, not the expressions (most of the tree)."""
    for node in body:
        if isinstance(node, FUNCTION_DEFS):
            yield node
        for field in ("body", "orelse", "finalbody", "handlers", "cases"):
            inner = getattr(node, field, None)
            if isinstance(inner, list):
                yield from function_defs(inner)


def segment(lines, node):
    """The source text of `node` (its offsets count UTF-8 bytes)."""
    first, last = node.lineno - 1, node.end_lineno - 1
    if first == last:
        return lines[first].encode()[node.col_offset:node.end_col_offset].decode()
    head = lines[first].encode()[node.col_offset:].decode()
    tail = lines[last].encode()[:node.end_col_offset].decode()
    return head + "".join(lines[first + 1:last]) + tail


def test_stdlib_functions_score_as_the_python_rules(stdlib_functions):
    assert len(stdlib_functions) > 8_000
    assert sum(not source.isascii() for source, _ in stdlib_functions) > 100
    native = [(jobscore.score_indicators(source, name), jobscore.score_framework_patterns(source))
              for source, name in stdlib_functions]
    python = [(ref.score_indicators(source, name), ref.score_framework_patterns(source))
              for source, name in stdlib_functions]
    wrong = [name for (_, name), mine, theirs in zip(stdlib_functions, native, python) if mine != theirs]
    assert wrong == []
    # The pattern table is the interpreter's own re; a sample shows it is the same table.
    for source, _ in stdlib_functions[::25]:
        for framework in ref.FRAMEWORK_PATTERNS:
            assert jobscore.quick_framework_score(source, framework) == ref.quick_framework_score(source, framework)


def test_threads_score_as_one(stdlib_functions):
    sample = stdlib_functions[::100] + [(s, n) for s, n in stdlib_functions if not s.isascii()][:50]
    expected = [(jobscore.score_indicators(s, n), jobscore.score_framework_patterns(s),
                 jobscore.quick_framework_score(s, "numpy")) for s, n in sample]
    results = [None] * 8
    start = threading.Barrier(len(results))

    def work(slot):
        start.wait()
        got = []
        for _ in range(3):
            got = [(jobscore.score_indicators(s, n), jobscore.score_framework_patterns(s),
                    jobscore.quick_framework_score(s, "numpy")) for s, n in sample]
        results[slot] = got

    threads = [threading.Thread(target=work, args=(i,)) for i in range(len(results))]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert all(result == expected for result in results)


def test_lowered_copies_are_released():
    code = "\u0130\u212a " * 200 + "for sum"
    for _ in range(100):
        jobscore.score_indicators(code, code)
    tracemalloc.start()
    before = tracemalloc.get_traced_memory()[0]
    for _ in range(5000):
        jobscore.score_indicators(code, code)
        jobscore.score_framework_patterns(code)
    grown = tracemalloc.get_traced_memory()[0] - before
    tracemalloc.stop()
    assert grown < 50_000


# ---------------------------------------------------------------------------------------------
# Arguments

def test_counts_and_keywords():
    with pytest.raises(TypeError, match=r"^score_indicators\(\) takes exactly 2 positional arguments \(1 given\)$"):
        jobscore.score_indicators("x")
    with pytest.raises(TypeError, match=r"^score_framework_patterns\(\) takes exactly 1 positional argument \(0"):
        jobscore.score_framework_patterns()
    with pytest.raises(TypeError, match=r"takes exactly 17 positional arguments \(16 given\)"):
        jobscore.determine_workload_pattern(*[0] * 16)
    with pytest.raises(TypeError, match=r"takes exactly 17 positional arguments \(18 given\)"):
        jobscore.determine_workload_pattern(*[0] * 18)
    with pytest.raises(TypeError, match=r"takes exactly 5 positional arguments \(4 given\)"):
        jobscore.update_adaptive_threshold(0.5, 0.5, 0.1, 0.1, learning_rate=0.2)
    with pytest.raises(TypeError, match=r"^score_indicators\(\) got an unexpected keyword argument 'name'$"):
        jobscore.score_indicators("x", "f", name="g")
    with pytest.raises(TypeError, match=r"^normalize_scores\(\) got multiple values for keyword argument 'cpu_score'"):
        jobscore.normalize_scores(1, 2, 3, 4, 5, cpu_score=1)
    assert jobscore.score_indicators(function_name="sum", code="") == (0, 0, 0, 1, 0, 0, 0)
    assert jobscore.determine_workload_pattern(**zero_inputs(sequential_count=3)) == 4
    assert jobscore.calculate_gpu_suitability.__text_signature__ == (
        "(gpu_operation_score, gpu_data_size_score, cpu_intensity, gpu_available, compute_capability)")
    assert jobscore.calculate_gpu_suitability.__annotations__ == {
        "gpu_operation_score": "float", "gpu_data_size_score": "float", "cpu_intensity": "float",
        "gpu_available": "bool", "compute_capability": "str", "return": "float"}
    assert jobscore.normalize_scores.__annotations__["cpu_score"] == "int"


class Text(str):
    pass


@pytest.mark.parametrize("call, parameter, given", [
    (lambda v: jobscore.score_indicators(v, "f"), "code", "bytes"),
    (lambda v: jobscore.score_indicators("x", v), "function_name", "bytes"),
    (lambda v: jobscore.score_framework_patterns(v), "code", "bytes"),
    (lambda v: jobscore.quick_framework_score(v, "numpy"), "code", "bytes"),
    (lambda v: jobscore.quick_framework_score("x", v), "framework", "bytes"),
    (lambda v: jobscore.calculate_gpu_suitability(0.5, 0.5, 0.5, True, v), "compute_capability", "bytes"),
])
def test_str_arguments(call, parameter, given):
    message = rf"^Argument '{parameter}' has incorrect type \(expected str, got {given}\)$"
    with pytest.raises(TypeError, match=message):
        call(b"numpy")
    with pytest.raises(TypeError, match=rf"^Argument '{parameter}' has incorrect type \(expected str, got Text\)$"):
        call(Text("numpy"))


def test_none_code_raises_type_error():
    for call in (lambda: jobscore.score_indicators(None, "f"), lambda: jobscore.score_framework_patterns(None),
                 lambda: jobscore.quick_framework_score(None, "pandas")):
        with pytest.raises(TypeError):
            call()
    with pytest.raises(TypeError, match="expected string or bytes-like object"):
        jobscore.quick_framework_score(None, "numpy")


class Floaty:
    def __float__(self):
        return 0.9


class Indexy:
    def __index__(self):
        return 1


class Inty:
    def __int__(self):
        return 3


class BadBool:
    def __bool__(self):
        raise ZeroDivisionError("no truth")


def test_number_arguments():
    speedup = jobscore.estimate_gpu_speedup
    assert speedup(Floaty(), Fraction(1), 1) == 22.5
    assert speedup(Indexy(), 0, "yes") == 15.0
    assert speedup(0.9, 1.0, []) == 1.0
    with pytest.raises(TypeError, match="must be real number, not str"):
        speedup("0.9", 1.0, True)
    with pytest.raises(ZeroDivisionError):
        speedup(0.9, 1.0, BadBool())
    assert jobscore.normalize_scores(3.9, Inty(), True, Fraction(7, 2), 0) == ref.normalize_scores(3, 3, 1, 3, 0)
    with pytest.raises(TypeError, match="^an integer is required$"):
        jobscore.normalize_scores("3", 0, 0, 0, 0)
    with pytest.raises(OverflowError, match="^value too large to convert to int$"):
        jobscore.normalize_scores(0, 0, 0, 0, 2**31)
    with pytest.raises(OverflowError, match="^value too large to convert to int$"):
        jobscore.determine_workload_pattern(**zero_inputs(embarrassing_count=-(2**31) - 1))


# ---------------------------------------------------------------------------------------------
# Module frame

def test_module_attributes():
    assert not hasattr(jobscore, "_FRAMEWORK_PATTERNS")
    assert jobscore.re.__name__ == "re" and jobscore.logging.__name__ == "logging"
    assert jobscore.logger.name == "klavrix.plugins.analyzer.jobscore"


def test_load_logs_one_info_line(python):
    out = python("""
        import logging, sys
        logging.basicConfig(level=logging.INFO, stream=sys.stdout, format="%(name)s %(levelname)s %(message)s")
        import klavrix.plugins.analyzer.jobscore
    """)
    assert out == "klavrix.plugins.analyzer.jobscore INFO Klavrix Jobscore Cython module loaded - IP protected\n"


def test_failing_import_fails_the_load(python):
    out = python("""
        import sys
        sys.modules["re"] = None
        try:
            import klavrix.plugins.analyzer.jobscore
        except ImportError as error:
            print("ImportError")
    """)
    assert out == "ImportError\n"
