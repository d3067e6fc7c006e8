"""The klavrix command: analyze over the bundled examples and over bad input, plan on the offload
rules' worked values, probe and its cgroup reader, bench's runner lookup, exit statuses."""

import ast
import json
import os
import pathlib
import re
import subprocess
import sys

import pytest

import jobscore_rules as rules
from klavrix.cli import analysis, limits, main, plan, source, units
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
# analyze: the bundled examples, function by function, with the default thresholds (CPU 0.15,
# memory 0.25, NumPy 0.1, pandas 0.1, scikit-learn 0.1) and no GPU. The first rule that holds
# decides: sklearn, pandas, numpy, (GPU), embarrassingly parallel or potential > 0.6, CPU, memory,
# 3+ sequential indicators, MIXED. Keywords are substrings of the lower-cased source (docstrings
# and the def line included), each counted once.
EXPECTED = {
    "numpy_kernels.py": [
        ("normalize_rows", 7, "NUMPY_VECTORIZED"),  # np. array matrix linalg: 4/25 = 0.16
        ("pairwise_distances", 14, "NUMPY_VECTORIZED"),  # np. broadcast sum: 0.12, before "broadcast"'s parallel rule
        ("ridge_regression", 20, "NUMPY_VECTORIZED"),  # np. dot matmul linalg; one sklearn keyword (regression) is not enough
        ("power_spectrum", 26, "NUMPY_VECTORIZED"),  # np. fft sum: 0.12
        ("standardize_columns", 34, "NUMPY_VECTORIZED"),  # np. mean std var
        ("stack_batches", 41, "NUMPY_VECTORIZED"),  # six NumPy keywords; pandas only concat(enate)
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
        ("box_blur", 34, "CPU_INTENSIVE"),  # for range compute
    ],
    "sequential.py": [
        ("parse_config", 9, "MIXED"),  # for, dict, split: one of each table
        ("summarize_log", 20, "MIXED"),  # for sum: 2/15 = 0.13, not above 0.15
        ("build_inverted_index", 35, "MEMORY_INTENSIVE"),  # list dict append: 0.3 > 0.25
        ("multiply_blocked", 44, "CPU_INTENSIVE"),  # for while range compute prod: 5/15
        ("register", 60, "MIXED"),  # global: one sequential indicator
        ("run_handlers", 68, "SEQUENTIAL"),  # global sequential dependencies
        ("next_state", 78, "MIXED"),
        ("slugify", 87, "MIXED"),  # join: one pandas keyword
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
        ("RateLimiter.acquire", 37, "SEQUENTIAL"),  # lock synchronized ordered
        ("crawl_in_batches", 46, "PARALLEL_FRIENDLY"),  # pool worker batch 3/11 + for loop 0.4 = 0.67
    ],
    "primes_and_checksums.py": [
        ("is_prime", 7, "CPU_INTENSIVE"),  # for range math: 3/15
        ("count_primes", 16, "CPU_INTENSIVE"),  # sum for range
        ("checksum", 20, "PARALLEL_FRIENDLY"),  # map
        ("main", 24, "CPU_INTENSIVE"),  # for range sum
    ],
}


def test_examples_get_the_patterns_of_the_rules(capsys):
    status, document, err = analyze_json(capsys, EXAMPLES)
    assert status == 0 and err == ""
    found = {pathlib.Path(f["path"]).name: [(fn["name"], fn["line"], fn["pattern"]) for fn in f["functions"]]
             for f in document["files"]}
    assert found == EXPECTED
    summary = document["summary"]
    assert summary["files"] == len(EXPECTED) and summary["failed"] == 0
    assert summary["functions"] == sum(map(len, EXPECTED.values())) == sum(summary["patterns"].values())
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
    status = main(["analyze", "--json", *gpu_args, str(EXAMPLES)])
    document = json.loads(capsys.readouterr().out)
    assert status == 0 and document["settings"]["gpu_available"] is gpu
    for file in document["files"]:
        expected = reference_functions(pathlib.Path(file["path"]))
        assert [(f["name"], f["line"]) for f in file["functions"]] == [(e[0], e[1]) for e in expected]
        for function, (qualname, _, code, fors, whiles) in zip(file["functions"], expected):
            assert function["scores"] == reference_scores(code, qualname.rsplit(".", 1)[-1], fors, whiles, gpu,
                                                          capability), qualname
            assert function["gpu_speedup"] == function["scores"]["gpu_speedup"]


def test_table_matches_json(capsys):
    _, document, _ = analyze_json(capsys, EXAMPLES)
    status, text, _ = run(capsys, "analyze", "--no-gpu", EXAMPLES)
    assert status == 0
    rows, path = [], None
    for line in text.splitlines():
        if line.startswith("Summary"):
            break
        if line and not line.startswith(" "):
            path = line
        elif line.strip() and not line.strip().startswith("function"):
            name, number, pattern, decided, speedup = re.split(r"\s{2,}", line.strip())
            rows.append((path, name, int(number), pattern, decided, speedup))
    assert rows == [(f["path"], fn["name"], fn["line"], fn["pattern"], fn["decided_by"], f"{fn['gpu_speedup']:.1f}x")
                    for f in document["files"] for fn in f["functions"]]
    summary = text[text.index("Summary"):].splitlines()
    assert summary[0] == f"Summary: {sum(map(len, EXPECTED.values()))} functions in {len(EXPECTED)} files"
    counts = {line.split()[0]: int(line.split()[1]) for line in summary[2:]}
    assert counts == {name: n for name, n in document["summary"]["patterns"].items() if n}


def test_thresholds_and_gpu_options_reach_the_decision(capsys):
    # multiply_blocked with a GPU: suitability 1.0 x (0.6 x 3/36 + min(0.3 x 5/15, 0.3)) = 0.15, above 0.1;
    # GPU operations 0.08 and memory 0.2 are below their cut-offs: GPU_SUITABLE, speed-up 2.0.
    _, document, _ = analyze_json(capsys, "--gpu", "--gpu-threshold", "0.1", EXAMPLES / "sequential.py")
    blocked = next(f for f in document["files"][0]["functions"] if f["name"] == "multiply_blocked")
    assert (blocked["pattern"], blocked["gpu_speedup"]) == ("GPU_SUITABLE", 2.0)
    assert blocked["decided_by"] == "gpu 0.15 > 0.10"
    assert document["settings"]["thresholds"]["gpu"] == 0.1
    # Above every NumPy score of the file, the NumPy functions fall through to the later rules.
    _, document, _ = analyze_json(capsys, "--numpy-threshold", "0.5", "--cpu-threshold", "0.1",
                                  EXAMPLES / "numpy_kernels.py")
    patterns = {f["name"]: f["pattern"] for f in document["files"][0]["functions"]}
    assert patterns["pairwise_distances"] == "PARALLEL_FRIENDLY"  # broadcast
    assert patterns["ridge_regression"] == "CPU_INTENSIVE"  # for dot matmul linalg: 4/15
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
    assert documents[0]["summary"]["files"] == 5 * len(EXPECTED)


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
    assert (status, err) == (0, f"klavrix analyze: {tmp_path}: no .py files\n")
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
    found = source.functions(read, source.parse(read))
    assert [(f.qualname, f.line, f.for_loops, f.while_loops) for f in found] == [
        ("déjà", 5, 0, 0), ("Outer.method", 9, 1, 1), ("Outer.method.inner", 10, 1, 0), ("Outer.in_if", 16, 0, 0)]
    assert found[0].source == "@functools.cache\n@staticmethod\ndef déjà(x):  # é\n    return x"
    assert found[2].source == "        def inner():\n            for i in y:\n                pass"
    assert found[3].source == "        def in_if(self): pass"


def test_directory_walk_skips_hidden_and_excluded(tmp_path):
    for name in ("a.py", "b.txt", ".hidden/c.py", "tests/test_d.py", "pkg/e.py", "pkg/f.py"):
        (tmp_path / name).parent.mkdir(exist_ok=True)
        (tmp_path / name).write_text("")
    files, problems, empty = source.find_python_files([str(tmp_path), str(tmp_path / "pkg" / "e.py")],
                                                      exclude=["tests"])
    assert [os.path.relpath(f, tmp_path) for f in files] == ["a.py", "pkg/e.py", "pkg/f.py"]  # e.py once
    assert (problems, empty) == ([], [])


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
    assert list(document["limits"]) == ["affinity_cpus", "cgroup_version", "cpu_quota", "memory_limit_bytes",
                                        "host_memory_bytes", "pool_size"]
    assert 1 <= document["limits"]["pool_size"] <= document["limits"]["affinity_cpus"]
    status, out, _ = run(capsys, "probe")
    assert status == 0 and "physical cores:" in out and "pool size:" in out


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
    ["analyze", "--compute-capability", "99999999999", "."], ["plan"], ["plan", "--shape", "1,x", "--available", "1G"], ["plan", "--shape", "4", "--available", "-3"],
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
