"""The klavrix command: analyze over the bundled examples and over bad input, plan on the offload
rules' worked values, probe and its cgroup reader, bench's runner lookup, exit statuses."""

import ast
import csv
import io
import json
import os
import pathlib
import re
import subprocess
import sys
import tokenize

import pytest

from reference import jobscore_rules as rules

from klavrix.cli import analysis, discover, limits, main, output, plan, prose, source, units
from klavrix.native import hostprobe

ROOT = pathlib.Path(__file__).resolve().parent.parent
EXAMPLES = ROOT / "examples"


def run(capsys, *argv):
    """(exit status, stdout, stderr) of one in-process run."""
    status = main([str(arg) for arg in argv])
    out, err = capsys.readouterr()
    return status, out, err


def analyze_json(capsys, *argv):
    status, out, err = run(capsys, "analyze", "--json", "--no-gpu", *argv)
    return status, json.loads(out), err


# ---------------------------------------------------------------------------------------------
# analyze: the bundled examples, unit by unit, with the default thresholds (CPU 0.15, memory 0.25,
# NumPy 0.1, pandas 0.1, scikit-learn 0.1) and no GPU. The first rule that holds decides: sklearn,
# pandas, numpy, (GPU), embarrassingly parallel or potential > 0.6, CPU, memory, 3+ sequential
# indicators, MIXED. Keywords are substrings of the lower-cased code (the def line included,
# docstrings, comments and string contents not), each counted once.
EXPECTED = {
    "monte_carlo.py": [
        ("<module>", 8, "NUMPY_VECTORIZED"),  # np. sum mean std min: 5/25, all outside functions
    ],
    "numpy_kernels.py": [
        ("normalize_rows", 7, "NUMPY_VECTORIZED"),  # np. matrix linalg: 3/25 = 0.12
        ("pairwise_distances", 14, "MIXED"),  # np. sum: 0.08; "broadcasting" was only in the docstring
        ("ridge_regression", 20, "NUMPY_VECTORIZED"),  # np. dot matmul linalg
        ("power_spectrum", 26, "NUMPY_VECTORIZED"),  # np. fft sum
        ("standardize_columns", 34, "NUMPY_VECTORIZED"),  # np. mean std
        ("stack_batches", 41, "NUMPY_VECTORIZED"),  # np. min reshape stack(_batches)
    ],
    "order_regions.ipynb": [  # (cell, line in the cell); the magics and the shell line are left out
        ("revenue_by_region", (4, 1), "PANDAS_DATAFRAME"),  # groupby agg merge join
        ("<module>", (2, 4), "PANDAS_DATAFRAME"),  # pd. groupby, over cells 2 and 6
    ],
    "pandas_reports.py": [
        ("load_orders", 6, "PANDAS_DATAFRAME"),  # pd. sort_values: 2/18 = 0.11
        ("monthly_revenue", 13, "PANDAS_DATAFRAME"),  # pd. dataframe resample
        ("revenue_by_region", 19, "PANDAS_DATAFRAME"),  # groupby agg merge join
        ("product_pivot", 25, "PANDAS_DATAFRAME"),  # pd. agg(func) pivot
        ("rolling_average_basket", 31, "PANDAS_DATAFRAME"),  # pd. series groupby rolling
    ],
    "process_pool.py": [
        ("count_primes", 8, "CPU_INTENSIVE"),  # for range math: 3/15 = 0.2; one for loop gives potential 0.4 only
        ("count_primes_parallel", 17, "PARALLEL_FRIENDLY"),  # "map" is embarrassingly parallel
        ("_count_primes_between", 24, "MIXED"),  # no indicator at all
        ("blur_tiles", 28, "PARALLEL_FRIENDLY"),  # starmap
        ("box_blur", 34, "MIXED"),  # for range: 2/15; "compute" was only in the docstring
    ],
    "sequential.py": [
        ("parse_config", 9, "MIXED"),  # for, dict, split: one of each table
        ("summarize_log", 20, "MIXED"),  # for, sum(marize): 2/15 = 0.13, not above 0.15
        ("build_inverted_index", 35, "MEMORY_INTENSIVE"),  # list dict append: 0.3 > 0.25
        ("multiply_blocked", 44, "MIXED"),  # for range: 2/15
        ("register", 60, "MIXED"),  # global: one sequential indicator
        ("run_handlers", 68, "MIXED"),  # global; "dependencies" and "sequentially" were docstring words
        ("next_state", 78, "MIXED"),
        ("slugify", 87, "MIXED"),  # join: one pandas keyword
        ("migrate_schema", 96, "SEQUENTIAL"),  # global ordered dependencies
        ("<module>", 5, "MIXED"),  # the registry and the compiled pattern
    ],
    "sklearn_models.py": [
        ("build_pipeline", 10, "MIXED"),  # pipeline alone: 1/18
        ("train_churn_model", 18, "SKLEARN_TRAINING"),  # fit predict score gridsearchcv train_test_split ...
        ("score_customers", 28, "SKLEARN_TRAINING"),  # predict score: 2/18 = 0.11
        ("feature_importances", 34, "MIXED"),  # "for" (in "forest") only
    ],
    "threaded_io.py": [
        ("fetch", 9, "MIXED"),
        ("fetch_all", 15, "PARALLEL_FRIENDLY"),  # pool worker threadpoolexecutor 3/11 + for loop 0.4 = 0.67
        ("RateLimiter.__init__", 32, "MIXED"),  # threading, lock: one of each
        ("RateLimiter.acquire", 37, "MIXED"),  # lock; "synchronized" and "ordered" were docstring words
        ("crawl_in_batches", 46, "MIXED"),  # worker batch 2/11 + for loop 0.4 = 0.58
    ],
    "primes_and_checksums.py": [
        ("is_prime", 7, "CPU_INTENSIVE"),  # for range math: 3/15
        ("count_primes", 16, "CPU_INTENSIVE"),  # sum for range
        ("checksum", 20, "PARALLEL_FRIENDLY"),  # map
        ("main", 24, "CPU_INTENSIVE"),  # for range sum
        ("<module>", 31, "MIXED"),  # the __main__ guard
    ],
}


def test_examples_get_the_patterns_of_the_rules(capsys):
    status, document, err = analyze_json(capsys, EXAMPLES)
    assert status == 0 and err == ""
    found = {pathlib.Path(f["path"]).name: [(fn["name"], fn["line"] if fn["cell"] is None else (fn["cell"], fn["line"]),
                                             fn["pattern"]) for fn in f["functions"]]
             for f in document["files"]}
    assert found == EXPECTED
    summary = document["summary"]
    module_units = sum(name == "<module>" for units in EXPECTED.values() for name, _, _ in units)
    assert summary["files"] == len(EXPECTED) and summary["failed"] == 0 and summary["module_units"] == module_units
    units = sum(map(len, EXPECTED.values()))
    assert summary["functions"] + summary["module_units"] == units == sum(summary["patterns"].values())
    assert list(summary["patterns"]) == list(analysis.PATTERN_NAMES)


def reference_scores(code, name, for_loops, while_loops, gpu, capability=None):
    """The whole chain in plain Python, for one function."""
    cpu, memory, parallel, gpu_ops, large, embarrassing, sequential = rules.score_indicators(code, name)
    cpu_i, memory_i, parallel_s, gpu_ops_s, large_s = rules.normalize_scores(cpu, memory, parallel, gpu_ops, large)
    numpy_s, pandas_s, sklearn_s = rules.score_framework_patterns(code)
    chunking = for_loops / (for_loops + while_loops) if for_loops + while_loops else 0.0
    return {
        "cpu_intensity": cpu_i, "memory_intensity": memory_i, "parallel_score": parallel_s,
        "gpu_operation_score": gpu_ops_s, "gpu_data_size_score": large_s,
        "numpy_score": numpy_s, "pandas_score": pandas_s, "sklearn_score": sklearn_s,
        "gpu_suitability": rules.calculate_gpu_suitability(gpu_ops_s, large_s, cpu_i, gpu, capability),
        "gpu_speedup": rules.estimate_gpu_speedup(gpu_ops_s, large_s, gpu),
        "loop_chunking_potential": chunking,
        "parallelization_potential": rules.calculate_parallelization_potential(
            parallel_s, embarrassing, sequential, chunking),
        "sequential_count": sequential, "embarrassing_count": embarrassing,
    }


def reference_functions(path):
    """(qualname, line, source, for loops, while loops) of each function, found with ast.walk."""
    text = path.read_text(encoding="utf-8")
    lines = text.split("\n")
    tree = ast.parse(text)
    parents = {child: node for node in ast.walk(tree) for child in ast.iter_child_nodes(node)}
    found = []
    for node in ast.walk(tree):
        if isinstance(node, (ast.FunctionDef, ast.AsyncFunctionDef)):
            names, up = [node.name], parents.get(node)
            while up is not None:
                if isinstance(up, (ast.FunctionDef, ast.AsyncFunctionDef, ast.ClassDef)):
                    names.insert(0, up.name)
                up = parents.get(up)
            first = min([node.lineno] + [d.lineno for d in node.decorator_list])
            code = "\n".join(lines[first - 1:node.end_lineno])
            kinds = [type(n) for n in ast.walk(node)]
            found.append((".".join(names), node.lineno, code, kinds.count(ast.For) + kinds.count(ast.AsyncFor),
                          kinds.count(ast.While)))
    return sorted(found, key=lambda f: f[1])


@pytest.mark.parametrize("gpu_args, gpu, capability", [(["--no-gpu"], False, None),
                                                       (["--gpu", "--compute-capability", "7.5"], True, "7.5")])
def test_json_scores_are_the_chain_of_the_plain_rules(capsys, gpu_args, gpu, capability):
    # --raw-source scores each function's source as written, as the runtime does.
    status = main(["analyze", "--json", "--raw-source", *gpu_args, *map(str, EXAMPLES.glob("*.py"))])
    document = json.loads(capsys.readouterr().out)
    assert status == 0 and document["settings"]["gpu_available"] is gpu
    for file in document["files"]:
        expected = reference_functions(pathlib.Path(file["path"]))
        functions = [f for f in file["functions"] if f["name"] != "<module>"]
        assert [(f["name"], f["line"]) for f in functions] == [(e[0], e[1]) for e in expected]
        for function, (qualname, _, code, fors, whiles) in zip(functions, expected):
            assert function["scores"] == reference_scores(code, qualname.rsplit(".", 1)[-1], fors, whiles, gpu,
                                                          capability), qualname
            assert function["gpu_speedup"] == function["scores"]["gpu_speedup"]


def test_table_matches_json(capsys):
    _, document, _ = analyze_json(capsys, "--explain", EXAMPLES)
    status, text, _ = run(capsys, "analyze", "--no-gpu", "--explain", EXAMPLES)
    assert status == 0
    rows, path = [], None
    for line in text.splitlines():
        if line.startswith("Summary"):
            break
        if line and not line.startswith(" "):
            path = line
        elif line.strip() and not line.strip().startswith("function"):
            name, where, pattern, decided, evidence = re.split(r"\s{2,}", line.strip())
            rows.append((path, name, where, pattern, decided, evidence))
    assert rows == [(f["path"], fn["name"], str(fn["line"]) if fn["cell"] is None else f"cell {fn['cell']}",
                     fn["pattern"], fn["decided_by"],
                     analysis.evidence_text([analysis.Evidence(**e) for e in fn["evidence"]]) or "-")
                    for f in document["files"] for fn in f["functions"]]
    summary = text[text.index("Summary"):].splitlines()
    functions, module_units = document["summary"]["functions"], document["summary"]["module_units"]
    assert summary[0] == f"Summary: {functions} functions and {module_units} module-level units in {len(EXPECTED)} files"
    counts = {line.split()[0]: int(line.split()[1]) for line in summary[2:]}
    assert counts == {name: n for name, n in document["summary"]["patterns"].items() if n}


def test_thresholds_and_gpu_options_reach_the_decision(capsys):
    # multiply_blocked with a GPU: suitability 1.0 x (0.6 x 3/36 + min(0.3 x 2/15, 0.3)) = 0.09, above 0.05;
    # GPU operations (multiply * +) 0.08 and memory 0 are below their cut-offs: GPU_SUITABLE, speed-up 2.0.
    _, document, _ = analyze_json(capsys, "--gpu", "--gpu-threshold", "0.05", EXAMPLES / "sequential.py")
    blocked = next(f for f in document["files"][0]["functions"] if f["name"] == "multiply_blocked")
    assert (blocked["pattern"], blocked["gpu_speedup"]) == ("GPU_SUITABLE", 2.0)
    assert blocked["decided_by"] == "gpu 0.09 > 0.05"
    assert document["settings"]["thresholds"]["gpu"] == 0.05
    # Above every NumPy score of the file, the NumPy functions fall through to the later rules.
    _, document, _ = analyze_json(capsys, "--numpy-threshold", "0.5", "--cpu-threshold", "0.1",
                                  EXAMPLES / "numpy_kernels.py")
    patterns = {f["name"]: f["pattern"] for f in document["files"][0]["functions"]}
    assert patterns["ridge_regression"] == "CPU_INTENSIVE"  # dot matmul linalg: 3/15
    assert patterns["stack_batches"] == "MIXED"  # for: 1/15; one for loop gives potential 0.4 + ...
    assert patterns["standardize_columns"] == "MIXED"


def test_workers_give_the_same_document(capsys, tmp_path):
    for copy in range(5):
        for example in EXAMPLES.glob("*.py"):
            (tmp_path / f"{copy}_{example.name}").write_bytes(example.read_bytes())
    (tmp_path / "broken.py").write_text("def f(:\n")
    documents = []
    for jobs in ("1", "2"):
        status, document, err = analyze_json(capsys, "--jobs", jobs, tmp_path)
        assert status == 1 and err.count("\n") == 1
        documents.append(document)
    assert documents[0] == documents[1]
    assert documents[0]["summary"]["files"] == 5 * len(list(EXAMPLES.glob("*.py")))


# ---------------------------------------------------------------------------------------------
# analyze: bad input is one line on stderr each, and the run goes on

def test_bad_files_are_reported_and_skipped(capsys, tmp_path):
    (tmp_path / "good.py").write_text("def ok():\n    return 1\n")
    (tmp_path / "syntax.py").write_text("def broken(:\n    pass\n")
    (tmp_path / "binary.py").write_bytes(bytes(range(256)))
    (tmp_path / "latin.py").write_bytes(b"name = '\xe9t\xe9'\n")  # not UTF-8, no coding cookie
    (tmp_path / "cookie.py").write_bytes(b"# -*- coding: latin-1 -*-\ndef f():\n    return '\xe9'\n")
    (tmp_path / "dangling.py").symlink_to(tmp_path / "nowhere.py")
    (tmp_path / "loop.py").symlink_to(tmp_path / "loop.py")
    (tmp_path / "sub").mkdir()
    (tmp_path / "sub" / "back").symlink_to(tmp_path, target_is_directory=True)  # not followed
    os.mkfifo(tmp_path / "fifo.py")
    status, document, err = analyze_json(capsys, tmp_path, tmp_path / "missing")
    assert status == 1
    errors = {pathlib.Path(e["path"]).name: e["error"] for e in document["errors"]}
    assert errors == {
        "missing": "no such file or directory",
        "binary.py": "not Python source: contains null bytes",
        "dangling.py": "cannot read: no such file or directory",
        "fifo.py": "not a regular file",
        "latin.py": "cannot decode as utf-8: invalid continuation byte at byte 8",
        "loop.py": "cannot read: too many levels of symbolic links",
        "syntax.py": "syntax error at line 1: invalid syntax",
    }
    lines = err.splitlines()
    assert len(lines) == len(errors) and "Traceback" not in err
    assert all(line.startswith("klavrix analyze: ") for line in lines)
    assert [pathlib.Path(f["path"]).name for f in document["files"]] == ["cookie.py", "good.py"]
    assert document["summary"] == {**document["summary"], "files": 2, "functions": 2, "failed": 7}


def test_unreadable_file(capsys, tmp_path, monkeypatch):
    secret = tmp_path / "secret.py"
    secret.write_text("def f():\n    pass\n")
    secret.chmod(0)
    if os.geteuid() == 0:  # root reads any file: refuse this one as the kernel would refuse others
        real_open = os.open

        def refusing_open(path, *args, **kwargs):
            if os.fspath(path) == str(secret):
                raise PermissionError(13, "Permission denied", path)
            return real_open(path, *args, **kwargs)

        monkeypatch.setattr(os, "open", refusing_open)
    status, _, err = run(capsys, "analyze", "--no-gpu", secret)
    assert status == 1 and err == f"klavrix analyze: {secret}: cannot read: permission denied\n"


def test_empty_directory_and_missing_path(capsys, tmp_path):
    status, out, err = run(capsys, "analyze", "--no-gpu", tmp_path)
    assert (status, err) == (0, f"klavrix analyze: {tmp_path}: no .py or .ipynb files\n")
    assert out == "Summary: 0 functions in 0 files\n"
    status, out, err = run(capsys, "analyze", "--no-gpu", tmp_path / "nope")
    assert status == 1 and err == f"klavrix analyze: {tmp_path / 'nope'}: no such file or directory\n"
    assert out == "Summary: 0 functions in 0 files (1 failed)\n"


def test_function_segments(tmp_path):
    text = ("import functools\r\n\r\n"
            "@functools.cache\r\n@staticmethod\r\ndef déjà(x):  # é\r\n    return x\r\n\r\n"
            "class Outer:\r\n    async def method(self):\r\n        def inner():\r\n            for i in y:\r\n"
            "                pass\r\n        while True:\r\n            break\r\n"
            "    if True:\r\n        def in_if(self): pass\r\n")
    path = tmp_path / "m.py"
    path.write_bytes(b"\xef\xbb\xbf" + text.encode())  # with a byte-order mark
    read = source.read_source(str(path))
    assert read == text.replace("\r\n", "\n")
    found = source.units(read, source.parse(read)[0])  # only imports outside the definitions: no <module>
    assert [(f.qualname, f.line, f.for_loops, f.while_loops) for f in found] == [
        ("déjà", 5, 0, 0), ("Outer.method", 9, 1, 1), ("Outer.method.inner", 10, 1, 0), ("Outer.in_if", 16, 0, 0)]
    assert found[0].source == "@functools.cache\n@staticmethod\ndef déjà(x):  # é\n    return x"
    assert found[0].code == "@functools.cache\n@staticmethod\ndef déjà(x):  \n    return x"
    assert found[2].source == "        def inner():\n            for i in y:\n                pass"
    assert found[3].source == "        def in_if(self): pass"


def test_directory_walk_skips_hidden_and_excluded(tmp_path):
    for name in ("a.py", "b.txt", ".hidden/c.py", "tests/test_d.py", "pkg/e.py", "pkg/f.py"):
        (tmp_path / name).parent.mkdir(exist_ok=True)
        (tmp_path / name).write_text("")
    found = discover.find_source_files([str(tmp_path), str(tmp_path / "pkg" / "e.py")], exclude=["tests"])
    assert [os.path.relpath(f, tmp_path) for f in found.files] == ["a.py", "pkg/e.py", "pkg/f.py"]  # e.py once
    assert (found.problems, found.empty, found.unmatched_excludes) == ([], [], [])


# ---------------------------------------------------------------------------------------------
# analyze: code decides, and says why

PROSE_ONLY = '''\
def send(self, request, semaphore):
    """Apply the numpy array pipeline: matmul, linalg, dot, sum, mean, fit, predict, groupby."""
    # numpy np.dot matrix vectorize broadcast dataframe pandas sklearn transform
    log.info("allocate a buffer for %s", f"{request!r:>{width}} ndarray lock mutex ordered")
    return self.queue.put(request) + 1
'''
CODE_ONLY = '''\
def solve(a, b):
    return np.linalg.solve(a, b).sum(axis=0).mean()
'''


def test_prose_never_moves_a_score(capsys, tmp_path):
    settings = analysis.Settings(analysis.Thresholds(), gpu_available=False)
    plain = analysis.classify_source(PROSE_ONLY, "Adapter.send", settings)
    # Only code is left: "semaphore" holds "map", the one embarrassingly parallel word in it.
    assert (plain.pattern_name, plain.qualname, plain.line) == ("PARALLEL_FRIENDLY", "Adapter.send", 1)
    assert plain.scores.numpy_score == plain.scores.pandas_score == plain.scores.sklearn_score == 0.0
    assert [e.text() for e in plain.evidence] == ["map (in semaphore)"]
    raw = analysis.classify_source(PROSE_ONLY, "Adapter.send", settings, raw_source=True)
    assert raw.pattern_name == "SKLEARN_TRAINING" and raw.scores.numpy_score > 0.3
    numpy = analysis.classify_source("    " + CODE_ONLY.replace("\n", "\n    "), "Solver.solve", settings)  # a method
    assert numpy.pattern_name == "NUMPY_VECTORIZED"
    assert analysis.evidence_text(numpy.evidence) == "numpy: np. (in np.linalg), linalg, sum, mean"
    # The command: the same on a file, --explain in the table and in JSON, --raw-source for comparison.
    (tmp_path / "m.py").write_text(PROSE_ONLY + "\n\n" + CODE_ONLY)
    status, document, _ = analyze_json(capsys, "--explain", tmp_path)
    functions = document["files"][0]["functions"]
    assert [(f["name"], f["pattern"]) for f in functions] == [("send", "PARALLEL_FRIENDLY"), ("solve", "NUMPY_VECTORIZED")]
    assert functions[0]["evidence"] == [{"table": "embarrassing", "keyword": "map", "found_in": "semaphore",
                                         "in_name": False}]
    _, document, _ = analyze_json(capsys, "--raw-source", tmp_path)
    assert document["files"][0]["functions"][0]["pattern"] == "SKLEARN_TRAINING"
    status, text, _ = run(capsys, "analyze", "--no-gpu", "--explain", tmp_path)
    assert "numpy: np. (in np.linalg), linalg, sum, mean" in text and "embarrassing: map (in semaphore)" in text


@pytest.mark.parametrize("text", [
    PROSE_ONLY,
    'x = f"{a[\'k\']!r:>{w}} {{no}} {b=} {c:{d}.{e}f}"  # c\ny = rf\'\\{z}\', b"\\x00", u"""two\nlines""" "a""b"\n',
    'z = F"""\n{ (lambda q: q)(1) }  # note\n{x:\n}""" + f"\\N{BULLET} {v}" + f\'{"in" + f"{deep}"}\'\n',
    'class C:\n    r"""Doc."""\n    def m(self): "doc"; return 1\n',
    *(path.read_text() for path in sorted(EXAMPLES.glob("*.py"))),
])
def test_stripped_code_keeps_every_code_token(text):
    # The reference: the tokenizer's own names, numbers and operators, f-string fields included.
    def code_tokens(code):
        tokens = [t for t in tokenize.generate_tokens(io.StringIO(code).readline)
                  if t.type in (tokenize.NAME, tokenize.NUMBER, tokenize.OP)]
        return [t.string for i, t in enumerate(tokens) if not (i and tokens[i - 1].string == "!")  # !r
                and t.string not in ("!", ":", "{", "}")]  # a format specifier is text: its ":" and braces move

    stripped = prose.strip_prose(text)
    assert stripped.count("\n") == text.count("\n") and code_tokens(stripped) == code_tokens(text)
    strings = [t.string for t in tokenize.generate_tokens(io.StringIO(stripped).readline)
               if t.type in (tokenize.STRING, tokenize.FSTRING_MIDDLE, tokenize.COMMENT)]
    assert all(s.lstrip("rbuRBU").strip("\"\'\\\n") == "" for s in strings), strings
    ast.parse(stripped)


def test_keyword_matches_are_the_entries_the_scores_count():
    from klavrix.plugins.analyzer import jobscore

    tables = {"cpu": rules.CPU_INDICATORS, "memory": rules.MEMORY_INDICATORS, "parallel": rules.PARALLEL_INDICATORS,
              "gpu_operation": rules.GPU_OPERATION_INDICATORS, "large_data": rules.LARGE_DATA_INDICATORS,
              "embarrassing": rules.EMBARRASSING_INDICATORS, "sequential": rules.SEQUENTIAL_INDICATORS,
              "numpy": rules.NUMPY_KEYWORDS, "pandas": rules.PANDAS_KEYWORDS, "sklearn": rules.SKLEARN_KEYWORDS}
    for code, name in [(CODE_ONLY, "matmul_worker"), ("İ FORMAT(x) ** Np.Sum", None), ("", "chunk_map"),
                       (PROSE_ONLY, "send")]:
        found = jobscore._keyword_matches(code, name)
        lowered, lowered_name = code.lower(), (name or "").lower()
        assert list(found) == list(tables)
        for table, entries in tables.items():
            in_name = table in ("gpu_operation", "embarrassing")
            assert found[table] == [(e, lowered.find(e)) for e in entries
                                    if e in lowered or (in_name and e in lowered_name)], (code, table)
        counts = jobscore.score_indicators(code, name) + tuple(
            round(score / factor) for score, factor in zip(jobscore.score_framework_patterns(code), (0.04, 1 / 18, 1 / 18)))
        assert counts[:5] + counts[5:7] + counts[7:] == tuple(
            len(found[t]) for t in ("cpu", "memory", "parallel", "gpu_operation", "large_data", "embarrassing",
                                    "sequential", "numpy", "pandas", "sklearn"))


def test_module_level_code_notebooks_and_standard_input(capsys, tmp_path, monkeypatch):
    text = ('"""Doc: numpy numpy."""\nimport numpy as np\nfrom os import (\n    path,\n)\n\n@deco\ndef f():\n    for i in x:\n'
            '        pass\n\nclass C:\n    for j in y:\n        pass\n\nif __name__ == "__main__":\n    import sys\n'
            '    def g(): pass\n    while np.sum(z):  # np.dot\n        run()\n')
    units = source.python_units(text).units
    module = units[-1]
    assert [(u.qualname, u.line) for u in units] == [("f", 8), ("g", 18), ("<module>", 16)]
    assert (module.for_loops, module.while_loops) == (0, 1)  # the loops of f and C are theirs
    assert module.code == 'if __name__ == "":\n    while np.sum(z):  \n        run()\n'
    assert source.python_units("import os\n\ndef f():\n    pass\n# end\n").units[-1].qualname == "f"  # none
    # A notebook: code cells joined, IPython lines left out, units placed by cell and line.
    cells = [("markdown", "# np.sum"), ("code", "%time x = 1\nimport numpy as np"), ("code", "!pip install x\ny = !ls"),
             ("code", "%%bash\necho np.dot"), ("code", "def f(a):\n    return np.dot(a, a)\nf?\nz = np.sum(y)"),
             ("code", 'message = ("%s"\n           % z)  # Python, not magic?')]
    notebook = {"cells": [{"cell_type": kind, "source": text} for kind, text in cells], "nbformat": 4}
    (tmp_path / "n.ipynb").write_text(json.dumps(notebook))
    (tmp_path / "bad.ipynb").write_text(json.dumps({"cells": [{"cell_type": "code", "source": ["x = 1\n", "def (:"]}]}))
    (tmp_path / "text.ipynb").write_text("not json")
    status, document, err = analyze_json(capsys, tmp_path)
    assert status == 1 and [[(f["name"], f["cell"], f["line"]) for f in file["functions"]] for file in document["files"]] \
        == [[("f", 5, 1), ("<module>", 5, 4)]]
    assert {e["error"] for e in document["errors"]} == {
        "syntax error in cell 1 at line 2: invalid syntax", "not a notebook: expected the JSON of a format 4 notebook"}
    # Standard input, as one Python file named -.
    monkeypatch.setattr(sys, "stdin", io.TextIOWrapper(io.BytesIO(CODE_ONLY.encode())))
    status, document, _ = analyze_json(capsys, "-")
    assert status == 0 and [(f["path"], [u["pattern"] for u in f["functions"]]) for f in document["files"]] == [
        ("-", ["NUMPY_VECTORIZED"])]


def test_files_a_person_means(capsys, tmp_path):
    tree = ["app/main.py", "app/notes.ipynb", "venv/pyvenv.cfg", "venv/lib/site.py", "env/lib/site-packages/x.py",
            "build/gen.py", "dist/d.py", "node_modules/n.py", "__pycache__/c.py", ".tox/t.py", ".hidden/h.py",
            "app/generated/g.py", "test/test_a.py", "app/keep.py", "big.py", "vendor/v.py", "vendor/sub/w.py"]
    for name in tree:
        (tmp_path / name).parent.mkdir(parents=True, exist_ok=True)
        (tmp_path / name).write_text("{}" if name.endswith(".ipynb") else "x = 1\n")
    (tmp_path / "big.py").write_text("x = 1\n" * 2000)  # 12,000 bytes
    (tmp_path / ".git").mkdir()
    (tmp_path / ".gitignore").write_text("vendor/\n*.ipynb\n")
    (tmp_path / "app" / ".gitignore").write_text("generated/\n")

    def found(*paths, **options):
        result = discover.find_source_files([str(tmp_path / p) for p in paths], **options)
        return sorted(os.path.relpath(f, tmp_path) for f in result.files), result.unmatched_excludes

    assert found(".") == (["app/keep.py", "app/main.py", "big.py", "test/test_a.py"], [])
    assert found(".", exclude=["test/", "*/test/*", "keep.py"]) == (["app/main.py", "big.py"], ["*/test/*"])
    assert found(".", default_excludes=False, gitignore=False)[0] == sorted(
        name for name in tree if name.endswith((".py", ".ipynb")))
    # A directory that a rule ignores, or one below it, is analysed when named; rules below still apply.
    (tmp_path / "vendor" / "sub" / ".gitignore").write_text("w.py\n")
    assert found("vendor") == (["vendor/v.py"], [])
    assert found("vendor/sub/w.py", "app/generated") == (["app/generated/g.py", "vendor/sub/w.py"], [])
    # The command: the size limit and an exclude that matches nothing are one line each.
    status, document, err = analyze_json(capsys, "--max-file-size", "10kB", "--exclude", "*/test/*", tmp_path)
    assert status == 0 and [pathlib.Path(f["path"]).name for f in document["files"]] == ["keep.py", "main.py", "test_a.py"]
    assert document["skipped"] == [{"path": str(tmp_path / "big.py"),
                                    "reason": "skipped: 11.7 KiB is over the 9.8 KiB limit (--max-file-size)"}]
    assert err.splitlines() == [
        "klavrix analyze: warning: --exclude '*/test/*' matched nothing (patterns are gitignore-style, relative to "
        "the named directory: test/ matches every directory named test)",
        f"klavrix analyze: {tmp_path / 'big.py'}: skipped: 11.7 KiB is over the 9.8 KiB limit (--max-file-size)"]


def write_project(tmp_path, settings):
    tmp_path.mkdir(exist_ok=True)
    (tmp_path / "pyproject.toml").write_text(f"[project]\nname = 'x'\n\n[tool.klavrix]\n{settings}")
    (tmp_path / "src").mkdir()
    (tmp_path / "src" / "a.py").write_text(CODE_ONLY + "\n\ndef plain():\n    return 1\n")
    (tmp_path / "src" / "gen.py").write_text(CODE_ONLY)


def test_formats_filters_and_fail_on(capsys, tmp_path, monkeypatch):
    write_project(tmp_path, 'format = "sarif"\nfail-on = ["numpy_vectorized"]\nexclude = ["src/gen.py"]\n'
                            '[tool.klavrix.thresholds]\nnumpy = 0.05\n')
    monkeypatch.chdir(tmp_path)
    status, out, err = run(capsys, "analyze", "--no-gpu", "src")
    sarif = json.loads(out)
    assert (status, err, sarif["version"]) == (3, "", "2.1.0")
    [result] = sarif["runs"][0]["results"]  # one per unit that is not MIXED; gen.py excluded by the project
    assert result["ruleId"] == "NUMPY_VECTORIZED" and result["message"]["text"].startswith("solve: NUMPY_VECTORIZED (numpy 0.16 > 0.05)")
    assert result["locations"][0]["physicalLocation"] == {"artifactLocation": {"uri": "src/a.py"}, "region": {"startLine": 1}}
    rules_ = sarif["runs"][0]["tool"]["driver"]["rules"]
    assert rules_[result["ruleIndex"]]["id"] == "NUMPY_VECTORIZED" and "MIXED" not in [r["id"] for r in rules_]
    # Options override the project: a format, a threshold, an exclude list.
    status, out, _ = run(capsys, "analyze", "--no-gpu", "--format", "github", "--numpy-threshold", "0.5",
                         "--exclude", "nothing.py", "src")
    assert status == 0 and out == ""  # nothing above 0.5: no annotation, nothing to fail on
    status, out, _ = run(capsys, "analyze", "--no-gpu", "--format", "github", "--exclude", "a.py", "src")
    assert (status, out) == (3, "::notice file=src/gen.py,line=1,title=NUMPY_VECTORIZED::solve: NUMPY_VECTORIZED "
                                "(numpy 0.16 > 0.05)\n")
    status, out, _ = run(capsys, "analyze", "--no-gpu", "--format", "csv", "--select", "MIXED", "src")
    assert [row[:5] for row in csv.reader(io.StringIO(out))] == [["path", "name", "line", "cell", "pattern"],
                                                                 ["src/a.py", "plain", "5", "", "MIXED"]]
    status, out, _ = run(capsys, "analyze", "--no-gpu", "--format", "table", "--sort", "numpy", "--top", "1",
                         "--fail-on", "SEQUENTIAL", "src", "missing.py")
    assert status == 1  # an input failed: that comes before --fail-on
    assert out.splitlines()[:2] == ["  location    function  pattern           decided by",
                                    "  src/a.py:1  solve     NUMPY_VECTORIZED  numpy 0.16 > 0.05"]
    write_project(tmp_path / "bad", "colour = true\n")
    status, _, err = run(capsys, "analyze", tmp_path / "bad" / "src")
    assert status == 2 and err.splitlines()[-1] == (f"klavrix analyze: error: {tmp_path / 'bad' / 'pyproject.toml'}: "
                                                     "[tool.klavrix] unknown key 'colour' (known: format, fail-on, select, "
                                                     "exclude, max-file-size, explain, raw-source, default-excludes, "
                                                     "thresholds)")


def test_tables_fit_the_terminal():
    rows = [("RateLimiter.acquire_slot_for_caller", "37", "MIXED", "pool, worker (in workers), threadpoolexecutor")]
    text = output.table(("function", "line", "pattern", "evidence"), rows, right=(1,), width=56, shrink=[(0, 16)],
                        wrap_last=True)
    assert text == ("  function           line  pattern  evidence\n"
                    "  Rate...for_caller    37  MIXED    pool, worker (in\n"
                    "                                    workers),\n"
                    "                                    threadpoolexecutor\n")
    assert max(map(len, text.splitlines())) <= 56
    assert (output.plural(1, "file"), output.plural(1234, "function"), output.bytes_with_count(1)) == (
        "1 file", "1,234 functions", "1 byte")

    class Terminal(io.StringIO):
        def isatty(self):
            return True

    os.environ.pop("NO_COLOR", None)
    assert output.use_colour(Terminal()) and not output.use_colour(io.StringIO())
    os.environ["NO_COLOR"] = "1"
    try:
        assert not output.use_colour(Terminal())
    finally:
        del os.environ["NO_COLOR"]


# ---------------------------------------------------------------------------------------------
# plan: the worked values of the offload rules

def plan_json(capsys, *argv):
    status, out, err = run(capsys, "plan", "--json", *argv)
    assert (status, err) == (0, "")
    return json.loads(out)


def test_plan_chunked_direct_and_fallback(capsys):
    # 2000 bytes on 1000 available at headroom 0.1: safe limit 900, 3 passes of at most 900 bytes.
    result = plan_json(capsys, "--shape", "2000", "--dtype", "int8", "--available", "1000", "--headroom", "0.1")
    assert {k: result[k] for k in ("bytes_needed", "safe_limit_bytes", "strategy", "chunk_bytes", "passes",
                                   "reason", "chunkable")} == {
        "bytes_needed": 2000, "safe_limit_bytes": 900, "strategy": "GPU_CHUNKED", "chunk_bytes": 900, "passes": 3,
        "reason": "Chunking into 3 GPU passes", "chunkable": True}
    assert result["chunks"] == {"count": 3, "first": [900], "last": [200], "listed": [[900], [900], [200]]}
    assert (result["memory_pressure"], result["recommended_headroom"]) == (1.0, 0.8)
    result = plan_json(capsys, "--shape", "2000", "--dtype", "int8", "--available", "1000", "--headroom", "0.1",
                       "--op", "matmul")
    assert (result["strategy"], result["reason"], result["chunks"]) == (
        "CPU_FALLBACK", "Operation not chunkable, falling back to CPU", None)
    result = plan_json(capsys, "--shape", "900", "--dtype", "uint8", "--available", "1000", "--headroom", "0.1")
    assert (result["strategy"], result["passes"], result["chunks"]["listed"]) == ("GPU_DIRECT", 1, [[900]])
    result = plan_json(capsys, "--shape", "100", "--available", "0")
    assert (result["strategy"], result["reason"]) == ("CPU_FALLBACK", "No GPU memory available")


def test_plan_chunk_shapes_and_suitability(capsys):
    # (10, 4) float64 = 320 bytes; 80 available at headroom 0.2 leaves 64: five chunks of (2, 4).
    result = plan_json(capsys, "--shape", "10,4", "--dtype", "float64", "--available", "80")
    assert result["chunks"]["listed"] == [[2, 4]] * 5 and result["passes"] == 5
    # Suitability: 800 bytes of zeros on 1000 at ratio 0 is 0.9; 2000 bytes of matmul 0.35.
    assert plan_json(capsys, "--shape", "800", "--dtype", "int8", "--available", "1000", "--headroom", "0",
                     "--op", "zeros")["gpu_suitability"] == 0.9
    assert plan_json(capsys, "--shape", "2000", "--dtype", "int8", "--available", "1000", "--headroom", "0",
                     "--op", "matmul")["gpu_suitability"] == 0.35


def test_plan_summarises_many_chunks(capsys, monkeypatch):
    from klavrix.gpu import offload

    for rows in (1000, 1003):
        built = plan.chunk_summary((rows, 3), 2, 60, offload)
        monkeypatch.setattr(plan, "BUILT_CHUNKS", 0)  # counted, not built
        counted = plan.chunk_summary((rows, 3), 2, 60, offload)
        monkeypatch.undo()
        assert {**built, "listed": None} == counted
    status, out, _ = run(capsys, "plan", "--shape", "10000000,1", "--dtype", "int8", "--available", "10",
                         "--headroom", "0")
    assert status == 0 and "  chunks:               1,000,000 chunks of (10, 1)\n" in out


def test_plan_never_contradicts_itself(capsys):
    # 120 bytes under a 32-byte safe limit: 4 passes by bytes, but whole 12-byte rows make 5 chunks.
    result = plan_json(capsys, "--shape", "10,3", "--available", "40B")
    assert (result["strategy"], result["passes"], result["chunks"]["count"], result["reason"]) == (
        "GPU_CHUNKED", 5, 5, "Chunking into 5 GPU passes")
    # One 8,000-byte row under a 2,000-byte limit cannot be chunked; the ratio 4000 is shown beside the score 1.
    result = plan_json(capsys, "--shape", "1000,1000", "--dtype", "float64", "--available", "2000B", "--headroom", "0")
    assert {k: result[k] for k in ("strategy", "reason", "passes", "chunks", "optimal_chunks", "memory_pressure",
                                   "memory_ratio")} == {
        "strategy": "CPU_FALLBACK", "passes": 1, "chunks": None, "optimal_chunks": None, "memory_pressure": 1.0,
        "memory_ratio": 4000.0,
        "reason": "One row along the first axis (8,000 bytes) does not fit in the safe limit (2,000 bytes), "
                  "falling back to CPU"}
    assert plan_json(capsys, "--shape", "1000", "--available", "1B")["optimal_chunks"] is None  # CPU_FALLBACK
    status, out, _ = run(capsys, "plan", "--shape", "2147483647,2147483647,4", "--dtype", "complex128",
                         "--available", "1GiB", "--headroom", "0.999")
    assert status == 0
    assert "  bytes needed:         more than 8.0 EiB (9,223,372,036,854,775,807 bytes): the count stops at 2^63 - 1\n" in out
    assert "at headroom 0.99 (0.999 given; at most 0.99 is applied)\n" in out
    assert "  memory pressure:      1.00 (bytes needed / available = 8,589,934,592.00, counted as at most 1)\n" in out
    # --op: the names the rules know, and only those.
    from klavrix.gpu import offload

    assert all(plan.known_operation(op, offload) for op in plan.OPERATIONS)
    assert [offload.is_chunkable_operation(op) for op in plan.OPERATIONS] == [True] * 11 + [False] * 13
    status, _, err = run(capsys, "plan", "--shape", "4", "--available", "1G", "--op", "add")
    assert status == 2 and err.splitlines()[-1] == (f"klavrix plan: error: unknown operation 'add' for --op: choose "
                                                    f"from {', '.join(plan.OPERATIONS)}")


def test_plan_available_defaults_to_the_detected_gpu(capsys, monkeypatch):
    gpu = dict(hostprobe.detect_gpu_backends(), has_gpu=True, gpu_memory_mb=1024)
    monkeypatch.setattr(hostprobe, "detect_gpu_backends", lambda: gpu)
    assert plan_json(capsys, "--shape", "10")["available_bytes"] == 1 << 30
    monkeypatch.setattr(hostprobe, "detect_gpu_backends", lambda: dict(gpu, has_gpu=False))
    status, _, err = run(capsys, "plan", "--shape", "10")
    assert status == 2 and err.splitlines()[-1] == (
        "klavrix plan: error: --available is required: no GPU with a known memory size was detected")


@pytest.mark.parametrize("text, expected", [
    ("16GiB", 16 << 30), ("1.5GB", 1_500_000_000), ("512M", 512 << 20), ("4096", 4096), ("0.5 kib", 512),
    ("2 kB", 2000), ("1.7B", 1), ("18446744073709551615", 2**64 - 1), ("16EiB", None), ("-1", None),
    ("1e9", None), ("GiB", None), ("12XB", None), ("", None), ("nan", None), ("1,5GB", None)])
def test_sizes(text, expected):
    if expected is None:
        with pytest.raises(Exception, match="invalid size"):
            units.size(text)
    else:
        assert units.size(text) == expected


@pytest.mark.parametrize("text, expected", [
    ("100000,1024", (100000, 1024)), ("100000x1024", (100000, 1024)), ("(3,)", (3,)), ("7", (7,)),
    ("0,3", None), ("-1", None), ("3,,4", None), ("", None), ("a", None), ("2147483648", None), ("٣", None)])
def test_shapes(text, expected):
    if expected is None:
        with pytest.raises(Exception, match="invalid shape"):
            units.shape(text)
    else:
        assert units.shape(text) == expected


# ---------------------------------------------------------------------------------------------
# probe and the cgroup reader

def test_probe_json(capsys):
    status, out, err = run(capsys, "probe", "--json")
    document = json.loads(out)
    assert (status, err, list(document)) == (0, "", ["capabilities", "limits"])
    assert list(document["capabilities"]) == list(hostprobe.detect_capabilities())
    assert list(document["limits"]) == ["affinity_cpus", "host_logical_cpus", "host_physical_cores", "cgroup_version",
                                        "cpu_quota", "memory_limit_bytes", "host_memory_bytes", "pool_size"]
    assert 1 <= document["limits"]["pool_size"] <= document["limits"]["affinity_cpus"]
    status, out, _ = run(capsys, "probe")
    assert status == 0 and "cores (affinity mask):" in out and "host cores:" in out and "pool size:" in out


def test_probe_names_the_affinity_mask_beside_the_host(tmp_path):
    # Two packages of two cores with two threads each: 8 CPUs, 4 physical cores.
    for cpu in range(8):
        topology = tmp_path / f"sys/devices/system/cpu/cpu{cpu}/topology"
        topology.mkdir(parents=True)
        (topology / "physical_package_id").write_text(f"{cpu // 4}\n")
        (topology / "core_id").write_text(f"{cpu % 2}\n")
    (tmp_path / "sys/devices/system/cpu/cpufreq").mkdir()
    assert limits.host_physical_cores(str(tmp_path)) == 4
    assert limits.host_physical_cores(str(tmp_path / "nowhere")) is None
    cpus = sorted(os.sched_getaffinity(0))
    result = subprocess.run([sys.executable, "-m", "klavrix", "probe"], capture_output=True, text=True,
                            preexec_fn=lambda: os.sched_setaffinity(0, cpus[:1]))  # as under taskset -c
    assert "  cores (affinity mask): 1\n" in result.stdout
    assert f"logical CPU{'s' if os.cpu_count() > 1 else ''}\n" in result.stdout


def fake_host(root, mountinfo, cgroup, files):
    (root / "proc/self").mkdir(parents=True)
    (root / "proc/self/mountinfo").write_text(mountinfo)
    (root / "proc/self/cgroup").write_text(cgroup)
    for name, text in files.items():
        (root / name).parent.mkdir(parents=True, exist_ok=True)
        (root / name).write_text(text)
    return limits.read_cgroup_limits(str(root))


V1_MOUNTS = ("32 31 0:29 / /sys/fs/cgroup/cpu,cpuacct rw - cgroup cgroup rw,cpu,cpuacct\n"
             "35 31 0:32 / /sys/fs/cgroup/memory rw - cgroup cgroup rw,memory\n"
             "41 31 0:38 / /sys/fs/cgroup/unified rw - cgroup2 cgroup2 rw\n")


def test_cgroup_v1_tightest_ancestor_wins(tmp_path):
    found = fake_host(tmp_path, V1_MOUNTS, "4:memory:/jobs/a\n3:cpu,cpuacct:/jobs/a\n0::/\n", {
        "sys/fs/cgroup/cpu,cpuacct/jobs/a/cpu.cfs_quota_us": "-1\n",
        "sys/fs/cgroup/cpu,cpuacct/jobs/a/cpu.cfs_period_us": "100000\n",
        "sys/fs/cgroup/cpu,cpuacct/jobs/cpu.cfs_quota_us": "150000\n",
        "sys/fs/cgroup/cpu,cpuacct/jobs/cpu.cfs_period_us": "100000\n",
        "sys/fs/cgroup/memory/jobs/a/memory.limit_in_bytes": "4294967296\n",
        "sys/fs/cgroup/memory/jobs/memory.limit_in_bytes": "9223372036854771712\n",  # unlimited
    })
    assert found == limits.CgroupLimits(1, 1.5, 4 << 30)
    assert limits.pool_size(4, found) == 2


def test_cgroup_v2_and_container_paths(tmp_path):
    mounts = "29 23 0:26 / /sys/fs/cgroup rw - cgroup2 cgroup2 rw,nsdelegate\n"
    found = fake_host(tmp_path / "a", mounts, "0::/app/web\n", {
        "sys/fs/cgroup/app/web/cpu.max": "max 100000\n", "sys/fs/cgroup/app/cpu.max": "50000 100000\n",
        "sys/fs/cgroup/app/web/memory.max": "max\n", "sys/fs/cgroup/app/memory.max": "1073741824\n"})
    assert found == limits.CgroupLimits(2, 0.5, 1 << 30) and limits.pool_size(8, found) == 1
    # A container mounts its own cgroup at the mount point but may see the host's path for it.
    found = fake_host(tmp_path / "b", mounts.replace(" / /sys", " /docker/abc /sys"), "0::/kubepods/xyz\n",
                      {"sys/fs/cgroup/cpu.max": "300000 100000\n", "sys/fs/cgroup/memory.max": "garbage\n"})
    assert found == limits.CgroupLimits(2, 3.0, None) and limits.pool_size(2, found) == 2
    assert limits.read_cgroup_limits(str(tmp_path / "no-proc")) == limits.CgroupLimits(None, None, None)


# ---------------------------------------------------------------------------------------------
# bench, exit statuses and the command as a process

def test_bench_runs_the_checkout_runner(capsys, tmp_path):
    (tmp_path / "benchmarks").mkdir()
    (tmp_path / "benchmarks" / "harness.py").write_text("")
    (tmp_path / "benchmarks" / "run.py").write_text(
        "import os, sys\n"
        "print(os.environ.get('KLAVRIX_BENCH_ROUNDS'), sys.argv[1:], flush=True)\n"
        "sys.exit(len(sys.argv) - 1)\n")
    result = subprocess.run([sys.executable, "-m", "klavrix", "bench", "--quick", "--source", tmp_path, "a", "b"],
                            capture_output=True, text=True)
    assert (result.returncode, result.stdout) == (2, "3 ['a', 'b']\n")
    status, _, err = run(capsys, "bench", "--source", tmp_path / "elsewhere")
    assert status == 1 and "no benchmarks found" in err


@pytest.mark.parametrize("argv", [
    [], ["frobnicate"], ["analyze"], ["analyze", "--jobs", "0", "."], ["analyze", "--cpu-threshold", "nan", "."],
    ["analyze", "--compute-capability", "99999999999", "."], ["analyze", "--select", "FAST", "."],
    ["analyze", "--format", "xml", "."], ["analyze", "-", "-"], ["plan"], ["plan", "--shape", "1,x", "--available", "1G"], ["plan", "--shape", "4", "--available", "-3"],
    ["plan", "--shape", "4", "--available", "1G", "--headroom", "1"], ["plan", "--shape", "4", "--dtype", "f5"],
    ["probe", "extra"]])
def test_usage_errors_exit_2(capsys, argv):
    status, out, err = run(capsys, *argv)
    assert status == 2 and out == "" and "Traceback" not in err
    assert re.search(r"^klavrix[a-z ]*: error: ", err, re.MULTILINE)


@pytest.mark.parametrize("command", ["analyze", "probe", "plan", "bench"])
def test_help(capsys, command):
    status, out, _ = run(capsys, command, "--help")
    assert status == 0 and out.startswith(f"usage: klavrix {command}")


def test_python_dash_m(tmp_path):
    (tmp_path / "bad.py").write_bytes(b"\xff\xfe")
    result = subprocess.run([sys.executable, "-m", "klavrix", "analyze", "--json", "--no-gpu", EXAMPLES / "sequential.py",
                             tmp_path / "bad.py"], capture_output=True, text=True)
    assert result.returncode == 1 and "Traceback" not in result.stderr
    assert len(json.loads(result.stdout)["files"][0]["functions"]) == len(EXPECTED["sequential.py"])
    result = subprocess.run([sys.executable, "-m", "klavrix", "plan", "--shape", "10", "--available", "12QB"],
                            capture_output=True, text=True)
    assert result.returncode == 2 and result.stderr.splitlines()[-1].startswith("klavrix plan: error: argument")


def test_output_that_cannot_be_written_is_one_line(tmp_path):
    command = [sys.executable, "-m", "klavrix"]
    for argv in (["analyze", "--no-gpu", EXAMPLES], ["probe"]):
        with open(os.devnull if not os.path.exists("/dev/full") else "/dev/full", "w") as full:
            result = subprocess.run([*command, *argv], stdout=full, stderr=subprocess.PIPE, text=True)
        assert (result.returncode, result.stderr) == (1, "klavrix: cannot write the output: No space left on device\n")
    # A reader that goes away (| head): a quiet end, with the status a shell gives a tool SIGPIPE ended.
    (tmp_path / "many.py").write_text("".join(f"def f{i}(x):\n    return x\n" for i in range(3000)))
    process = subprocess.Popen([*command, "analyze", "--no-gpu", "--format", "csv", tmp_path],
                               stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    process.stdout.read(100)
    process.stdout.close()
    assert (process.wait(), process.stderr.read()) == (141, b"")


def test_file_names_and_parser_warnings_reach_any_output(tmp_path):
    undecodable = os.fsdecode(b"caf\xe9.py")  # not UTF-8
    (tmp_path / undecodable).write_text("def f(x):\n    return x.map(1)\n")
    (tmp_path / "café.py").write_text('def g():\n    return "\\d"\n')  # an invalid escape: a SyntaxWarning
    env = {**os.environ, "PYTHONIOENCODING": "ascii"}

    def klavrix(*argv):
        result = subprocess.run([sys.executable, "-m", "klavrix", "analyze", "--no-gpu", *argv, tmp_path],
                                capture_output=True, env=env)
        assert result.returncode == 0 and b"Traceback" not in result.stderr
        return result.stdout.decode("ascii"), result.stderr.decode("ascii")

    out, err = klavrix()
    assert f"{tmp_path}/caf\\xe9.py\n" in out and err == ""
    assert out.endswith("Parser warnings: 1 in 1 file (--warnings shows them)\n")
    _, err = klavrix("--warnings")
    assert err == f"klavrix analyze: {tmp_path}/caf\\xe9.py: line 2: SyntaxWarning: invalid escape sequence '\\d'\n"
    document = json.loads(klavrix("--json")[0])
    assert [pathlib.Path(f["path"]).name for f in document["files"]] == ["café.py", "caf\\xe9.py"]
    assert document["files"][0]["warnings"] == ["line 2: SyntaxWarning: invalid escape sequence '\\d'"]
    sarif = json.loads(klavrix("--format", "sarif")[0])
    [result] = sarif["runs"][0]["results"]
    assert result["locations"][0]["physicalLocation"]["artifactLocation"]["uri"] == f"file://{tmp_path}/caf%E9.py"
