"""klavrix profile: the program runs as python runs it (argv, __main__, sys.path[0], output, exit
status) also when it misbehaves; the report (JSON, HTML) covers what ran; the JIT decision is the
compilation policy replayed."""

import html.parser
import json
import pathlib
import subprocess
import sys
import textwrap

import pytest

from klavrix.cli import hotspots
from klavrix.cli.profile import TOOL_ID
from klavrix.cli.profile_report import PATTERN_COLOURS, UNCLASSIFIED_COLOUR
from klavrix.jit.compilegate import Compilegate, PolicyConfig

EXAMPLE = pathlib.Path(__file__).resolve().parent.parent / "examples" / "primes_and_checksums.py"


def python(*argv, cwd):
    return subprocess.run([sys.executable, *map(str, argv)], capture_output=True, text=True, cwd=cwd, timeout=120)


def profiled(tmp_path, *argv, cwd=None):
    """(the run, the JSON report or None) of klavrix profile --json -o report.json ARGV."""
    report = tmp_path / "report.json"
    report.unlink(missing_ok=True)
    run = python("-m", "klavrix", "profile", "--json", "-o", report, *argv, cwd=cwd or tmp_path)
    return run, json.loads(report.read_text()) if report.exists() else None


def write(tmp_path, name, code):
    path = tmp_path / name
    path.write_text(textwrap.dedent(code))
    return path


SHOW = """
    import os, sys
    print(sys.argv, __name__, __file__, sys.path[0], __spec__ and __spec__.name, __package__)
    print(sys.modules["__main__"].__dict__ is globals(), "__loader__" in globals())
    print("to stderr", file=sys.stderr)
    sys.exit(3)
"""


def test_a_script_module_and_code_run_as_python_runs_them(tmp_path):
    (tmp_path / "pkg").mkdir()
    script = write(tmp_path, "pkg/show.py", SHOW)
    for argv in ([script.relative_to(tmp_path), "a", "--top", "b"], ["-m", "pkg.show", "x"],
                 ["-c", textwrap.dedent(SHOW).replace("__file__, ", ""), "y"]):
        plain = python(*argv, cwd=tmp_path)
        run, report = profiled(tmp_path, *argv)
        assert (run.returncode, run.stdout, run.stderr) == (plain.returncode, plain.stdout, plain.stderr) == (
            3, plain.stdout, "to stderr\n")
        assert report["exit_status"] == 3 and report["program"][-1] == str(argv[-1])


@pytest.mark.parametrize("code, status", [
    ("def f():\n    raise ValueError('boom')\nf()\n", 1),
    ("raise KeyboardInterrupt\n", 130),
    ("import sys\nsys.exit('bye')\n", 1),
    ("import os, sys\nprint('unflushed', flush=True)\nos._exit(7)\n", 7),
])
def test_exit_statuses_and_tracebacks_are_the_programs(tmp_path, code, status):
    script = write(tmp_path, "prog.py", code)
    plain = python(script, cwd=tmp_path)
    run, report = profiled(tmp_path, script)
    assert run.returncode == status and report["exit_status"] == status
    if status != 130:  # python itself ends by the signal there
        assert (run.returncode, run.stdout, run.stderr) == (plain.returncode, plain.stdout, plain.stderr)
    else:
        assert run.stderr == plain.stderr
    assert report["recorded"]["functions"] >= 1


def test_usage_errors_are_one_line(tmp_path):
    for argv in (["missing.py"], ["-m", "no_such_module_here"], []):
        run = python("-m", "klavrix", "profile", *argv, cwd=tmp_path)
        assert run.returncode == 2 and run.stdout == "" and run.stderr.count("\n") == 1, run.stderr
        assert run.stderr.startswith("klavrix profile: error: ")


FAULTS = {
    "threads": """
        import threading
        def work(n):
            return sum(range(n))
        def boom():
            raise RuntimeError("in a thread")
        threads = [threading.Thread(target=lambda: [work(i) for i in range(300)]) for _ in range(3)]
        threads.append(threading.Thread(target=boom))
        for t in threads: t.start()
        for t in threads: t.join()
        print("done")
    """,
    "recursion limit": """
        import sys
        def deep(n):
            return deep(n + 1)
        try:
            deep(0)
        except RecursionError:
            print("recursion", sys.getrecursionlimit())
        def gen():
            yield from gen()
        try:
            next(gen())
        except RecursionError:
            print("generators too")
    """,
    "monitoring tools and profilers of its own": """
        import cProfile, pstats, io, sys
        M = sys.monitoring
        M.use_tool_id(M.COVERAGE_ID, "mine")
        seen = []
        M.register_callback(M.COVERAGE_ID, M.events.PY_START, lambda code, offset: seen.append(code.co_name))
        M.set_events(M.COVERAGE_ID, M.events.PY_START)
        def f():
            return 1
        profiler = cProfile.Profile()
        profiler.runcall(f)
        M.set_events(M.COVERAGE_ID, 0)
        M.free_tool_id(M.COVERAGE_ID)
        print(seen.count("f"), pstats.Stats(profiler).total_calls)
    """,
    "os._exit in a thread": """
        import os, threading
        def worker():
            print("worker", flush=True)
            os._exit(5)
        threading.Thread(target=worker).start()
        threading.Event().wait(60)
    """,
}


@pytest.mark.parametrize("name", FAULTS)
def test_a_misbehaving_program_runs_as_it_would_without_profiling(tmp_path, name):
    script = write(tmp_path, "prog.py", FAULTS[name])
    plain = python(script, cwd=tmp_path)
    run, report = profiled(tmp_path, "--all", "--top", "1000", script)
    assert (run.returncode, run.stdout) == (plain.returncode, plain.stdout)
    assert run.stderr == plain.stderr
    assert report["exit_status"] == plain.returncode
    if name == "threads":
        calls = {f["name"]: f["calls"] for f in report["functions"]}
        assert calls["work"] == 900 and report["recorded"]["threads"] >= 5


def test_the_tool_id_taken_or_profiled_by_another_tool(tmp_path):
    script = write(tmp_path, "prog.py", "import sys\nprint('ran')\nsys.exit(4)\n")
    taken = python("-c", f"import sys; sys.monitoring.use_tool_id({TOOL_ID}, 'other'); from klavrix.cli import main; "
                         f"sys.exit(main(['profile', {str(script)!r}]))", cwd=tmp_path)
    assert (taken.returncode, taken.stdout) == (4, "ran\n")
    assert taken.stderr == (f"klavrix profile: sys.monitoring tool id {TOOL_ID} is in use by 'other': "
                            "running the program without profiling\n")
    outer = python("-m", "cProfile", "-o", tmp_path / "outer.prof", "-m", "klavrix", "profile", "--json", "-o",
                   tmp_path / "inner.json", script, cwd=tmp_path)
    assert outer.stdout == "ran\n"  # cProfile itself exits 0 after SystemExit
    assert json.loads((tmp_path / "inner.json").read_text())["exit_status"] == 4


def test_the_jit_decision_replays_the_policy():
    gate = Compilegate(PolicyConfig())
    assert [hotspots.compiled_at("f", calls, 0.1, gate) for calls in (250, 100, 99, 0)] == [100, 100, None, None]
    gate = Compilegate(PolicyConfig(initial_threshold=10))
    assert hotspots.compiled_at("f", 1000, 0.1, gate) == 10


class Page(html.parser.HTMLParser):
    def __init__(self):
        super().__init__()
        self.tags, self.bars, self.rows, self.references = [], [], 0, []

    def handle_starttag(self, tag, attrs):
        attrs = dict(attrs)
        self.tags.append(tag)
        self.references += [attrs[key] for key in ("src", "href") if key in attrs]
        if tag == "rect":
            self.bars.append(attrs["fill"])
        if tag == "tr" and "tbody" in self.tags:
            self.rows += 1


def test_report_on_the_example_and_its_html_page(tmp_path):
    run, report = profiled(tmp_path, "--top", "8", "--html", tmp_path / "page.html", EXAMPLE, "20000")
    assert run.returncode == 0 and run.stdout == "2262 primes below 20,000; checksum 196844000\n"
    functions = {f["name"]: f for f in report["functions"]}
    assert list(functions)[:2] == ["<module>", "main"] and len(functions) == 7  # the program's functions
    assert functions["is_prime"]["calls"] == 20000 and functions["is_prime"]["pattern"] == "CPU_INTENSIVE"
    assert functions["is_prime"]["compiled_at"] == 100
    assert functions["is_prime"]["suggestion"] == "hot pure-Python code: JIT candidate"
    assert functions["checksum"]["suggestion"].startswith("5,000 independent calls, PARALLEL_FRIENDLY: a process pool")
    assert report["host"]["physical_cores"] >= 1 and report["times"]["wall_s"] > 0

    page = Page()
    page.feed((tmp_path / "page.html").read_text(encoding="utf-8"))
    assert "script" not in page.tags and page.references == []  # self-contained
    assert page.rows == 7 and page.bars == [PATTERN_COLOURS.get(f["pattern"], UNCLASSIFIED_COLOUR)
                                            for f in report["functions"]]
