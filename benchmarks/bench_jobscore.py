"""jobscore over real source text (functions of the standard library) against the plain-Python rules and
pyahocorasick's Aho-Corasick automaton."""

from __future__ import annotations

import ast
import pathlib
import statistics
import sys
import sysconfig
import time
import warnings

from harness import report, section
from reference import jobscore_rules as ref

from klavrix.plugins.analyzer import jobscore

try:
    import ahocorasick
except ImportError:  # the bench extra is not installed
    ahocorasick = None

INDICATOR_TABLES = (ref.CPU_INDICATORS, ref.MEMORY_INDICATORS, ref.PARALLEL_INDICATORS,
                    ref.GPU_OPERATION_INDICATORS, ref.LARGE_DATA_INDICATORS, ref.EMBARRASSING_INDICATORS,
                    ref.SEQUENTIAL_INDICATORS)
NAME_TABLES = (3, 5)  # also searched in the function's name
FRAMEWORK_TABLES = (ref.NUMPY_KEYWORDS, ref.PANDAS_KEYWORDS, ref.SKLEARN_KEYWORDS)


def stdlib_functions() -> list[tuple[str, str]]:
    """(source, name) of the functions in the top-level modules of the standard library."""
    root = pathlib.Path(sysconfig.get_paths()["stdlib"])
    found = []
    for path in sorted(root.glob("*.py")):
        text = path.read_text(encoding="utf-8")
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", SyntaxWarning)
            tree = ast.parse(text)
        for node in ast.walk(tree):
            if isinstance(node, (ast.FunctionDef, ast.AsyncFunctionDef)):
                found.append((ast.get_source_segment(text, node), node.name))
    return found


def automaton(tables):
    """pyahocorasick automaton: each word -> the tables that hold it."""
    words: dict[str, list[int]] = {}
    for index, table in enumerate(tables):
        for word in table:
            words.setdefault(word, []).append(index)
    machine = ahocorasick.Automaton()
    for word, owners in words.items():
        machine.add_word(word, (word, tuple(owners)))
    machine.make_automaton()
    return machine


def peer_scorers():
    indicators, frameworks = automaton(INDICATOR_TABLES), automaton(FRAMEWORK_TABLES)

    def found(machine, text):
        return {value for _, value in machine.iter(text)} if text else set()

    def score_indicators(code, function_name):
        counts = [0] * len(INDICATOR_TABLES)
        in_source = found(indicators, code.lower())
        in_name = found(indicators, function_name.lower() if function_name else "") - in_source
        for word, owners in in_source:
            for table in owners:
                counts[table] += 1
        for word, owners in in_name:
            for table in owners:
                if table in NAME_TABLES:
                    counts[table] += 1
        return tuple(counts)

    def score_framework_patterns(code):
        counts = [0, 0, 0]
        for word, owners in found(frameworks, code.lower()):
            for table in owners:
                counts[table] += 1
        return (min(counts[0] * 0.04, 1.0), min(counts[1] * 0.05555555555555555, 1.0),
                min(counts[2] * 0.05555555555555555, 1.0))

    return score_indicators, score_framework_patterns


def over(texts, score):
    def run():
        for code, name in texts:
            score(code, name)
    return run


def main() -> None:
    section("jobscore: text scoring over standard-library functions")
    functions = stdlib_functions()
    sample = functions[::4]
    lengths = sorted(len(code) for code, _ in sample)
    non_ascii = [f for f in functions if not f[0].isascii()]
    print(f"{len(sample)} functions, median {statistics.median(lengths):.0f} characters; "
          f"{len(non_ascii)} non-ASCII functions")

    peer = peer_scorers() if ahocorasick is not None else None
    if peer is not None:  # the peer must give the same answers to be worth timing
        assert all(peer[0](c, n) == jobscore.score_indicators(c, n) for c, n in sample)
        assert all(peer[1](c) == jobscore.score_framework_patterns(c) for c, _ in sample)

    cases = {"native": over(sample, jobscore.score_indicators), "pure-Python rules": over(sample, ref.score_indicators)}
    if peer is not None:
        cases["pyahocorasick"] = over(sample, peer[0])
    report("score_indicators(code, function_name)", cases, len(sample))

    cases = {"native": over(non_ascii, jobscore.score_indicators),
             "pure-Python rules": over(non_ascii, ref.score_indicators)}
    if peer is not None:
        cases["pyahocorasick"] = over(non_ascii, peer[0])
    report("score_indicators, non-ASCII functions only", cases, len(non_ascii))

    def frameworks(score):
        return lambda code, _: score(code)

    cases = {"native": over(sample, frameworks(jobscore.score_framework_patterns)),
             "pure-Python rules": over(sample, frameworks(ref.score_framework_patterns))}
    if peer is not None:
        cases["pyahocorasick"] = over(sample, frameworks(peer[1]))
    report("score_framework_patterns(code)", cases, len(sample))

    cases = {"native": over(sample, lambda code, _: jobscore.quick_framework_score(code, "numpy")),
             "pure-Python rules": over(sample, lambda code, _: ref.quick_framework_score(code, "numpy"))}
    report("quick_framework_score(code, 'numpy')", cases, len(sample))

    median_code = next(code for code, _ in sample if len(code) == lengths[len(lengths) // 2])
    for framework in ("numpy", "pandas", "sklearn"):
        calls = 2000
        start = time.perf_counter_ns()
        for _ in range(calls):
            jobscore.quick_framework_score(median_code, framework)
        elapsed = (time.perf_counter_ns() - start) / calls / 1000
        print(f"    quick_framework_score on the median function ({len(median_code)} chars), "
              f"{framework}: {elapsed:.1f} us")

    section("jobscore: numeric rules")
    args = (0.7, 0.6, 0.5, 0.8, 0.75, 0.2, 0.3, 0.1, 2, 0, 0.6, 0.5, 0.7, 0.5, 0.5, 0.5, True)
    calls = 100_000

    def repeat(fn, *call_args):
        def run():
            for _ in range(calls):
                fn(*call_args)
        return run

    report("determine_workload_pattern(17 arguments)",
           {"native": repeat(jobscore.determine_workload_pattern, *args),
            "pure-Python rules": repeat(ref.determine_workload_pattern, *args)}, calls)
    report("calculate_gpu_suitability(..., '8.6')",
           {"native": repeat(jobscore.calculate_gpu_suitability, 0.8, 0.5, 0.4, True, "8.6"),
            "pure-Python rules": repeat(ref.calculate_gpu_suitability, 0.8, 0.5, 0.4, True, "8.6")}, calls)
