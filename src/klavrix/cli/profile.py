"""`klavrix profile`: run a program as `python` would, record every Python call, and report where the
time went and what the runtime would decide for each hot function.

The program runs in this interpreter, as `python SCRIPT ARGS`, `python -m MODULE ARGS` or
`python -c CODE ARGS` would run it: a fresh `__main__` module, `sys.argv`, `sys.path[0]`. Its
standard output and error are its own; the report goes to standard error or to `-o FILE` after it
ends, also when it ends by an exception, Ctrl-C or `os._exit`. The exit status is the program's.
"""

from __future__ import annotations

import argparse
import builtins
import importlib.machinery
import io
import operator
import os
import runpy
import sys
import time
import types
from dataclasses import dataclass, field
from typing import Callable, TextIO

from klavrix.cli import COMMANDS, EXIT_USAGE, hotspots, output, profile_report, units

# sys.monitoring tool ids 3 and 4 have no assigned role; debuggers (0), coverage tools (1),
# profilers such as cProfile (2) and optimizers (5) keep theirs, inside or around the program.
TOOL_ID = 4
EXIT_INTERRUPTED = 128 + 2
CALIBRATION_CALLS = 5_000

DESCRIPTION = """\
Run a Python program in this interpreter, as `python SCRIPT ARGS`, `python -m MODULE ARGS` or
`python -c CODE ARGS` would, and record every call of every Python function in every thread
(exact call counts, inclusive and self time, per-call mean and spread) through native
sys.monitoring callbacks. Then report, for the functions with the most inclusive time: the time
share, the workload pattern the analyzer gives the function's source, the call at which the JIT's
compilation policy (default configuration) would compile it, and one suggestion. The head gives
the wall time, the estimated profiling overhead and the host's cores, NUMA nodes, GPU and worker
pool size. Functions of the standard library and of klavrix are recorded but left out unless --all.

The program's output passes through; the report goes to standard error, or to -o FILE. Exit
status: the program's own (1 after an uncaught exception, 130 after Ctrl-C); 2 when the script or
module cannot be found.
"""


def register(subparsers) -> None:
    parser = subparsers.add_parser(
        "profile", help=COMMANDS["profile"],
        description=DESCRIPTION, epilog=hotspots.SUGGESTION_RULES,
        formatter_class=argparse.RawDescriptionHelpFormatter,
        usage="klavrix profile [options] (SCRIPT | -m MODULE | -c CODE) [ARGS...]")
    parser.add_argument("--top", type=units.positive_int, default=15, metavar="N",
                        help="functions to decide for, by inclusive time (default: %(default)s)")
    parser.add_argument("--all", action="store_true",
                        help="include functions of the standard library and of klavrix")
    parser.add_argument("--explain", action="store_true", help="show the evidence behind each workload pattern")
    parser.add_argument("--json", action="store_true", help="write one JSON document instead of tables")
    parser.add_argument("--html", metavar="FILE", help="also write a self-contained HTML page")
    parser.add_argument("-o", "--output", metavar="FILE", help="write the report to FILE instead of standard error")
    which = parser.add_mutually_exclusive_group()
    which.add_argument("-m", dest="module", nargs=argparse.REMAINDER, metavar="MODULE ARGS",
                       help="run a library module as a script, as python -m does")
    which.add_argument("-c", dest="code", nargs=argparse.REMAINDER, metavar="CODE ARGS",
                       help="run the program passed as a string, as python -c does")
    parser.add_argument("program", nargs=argparse.REMAINDER, metavar="SCRIPT ARGS", help="the script and its arguments")
    parser.set_defaults(run=run, parser=parser)


class UsageError(Exception):
    """The program cannot be started; the message is one line."""


# ---------------------------------------------------------------------------------------------
# The program

@dataclass
class Program:
    argv: list[str]  # as the program sees sys.argv
    path0: str  # sys.path[0]
    execute: Callable[[types.ModuleType], None]  # runs it in the given __main__ module
    main_attributes: dict = field(default_factory=dict)

    @classmethod
    def from_args(cls, args: argparse.Namespace) -> Program:
        if args.module is not None:
            if not args.module:
                raise UsageError("argument -m: expected a module name")
            return cls.module(args.module[0], args.module[1:])
        if args.code is not None:
            if not args.code:
                raise UsageError("argument -c: expected the program's code")
            return cls.code(args.code[0], args.code[1:])
        if not args.program:
            raise UsageError("a script, -m MODULE or -c CODE is required")
        return cls.script(args.program[0], args.program[1:])

    @classmethod
    def script(cls, path: str, args: list[str]) -> Program:
        try:
            with io.open_code(path) as file:
                text = file.read()
        except OSError as error:
            raise UsageError(f"can't open file {os.path.abspath(path)!r}: [Errno {error.errno}] {error.strerror}")
        filename = os.path.abspath(path)

        def execute(main: types.ModuleType) -> None:
            exec(compile(text, filename, "exec"), main.__dict__)

        return cls([path, *args], os.path.dirname(os.path.realpath(path)), execute, {
            "__file__": filename, "__cached__": None,
            "__loader__": importlib.machinery.SourceFileLoader("__main__", filename)})

    @classmethod
    def module(cls, name: str, args: list[str]) -> Program:
        path0 = os.getcwd()
        saved = sys.path[0] if sys.path else None
        sys.path[:1] = [path0]  # where python -m looks first
        try:
            runpy._get_module_details(name)  # the lookup python -m makes, with its messages
        except ImportError as error:
            raise UsageError(str(error)) from None
        finally:
            if saved is not None:
                sys.path[0] = saved

        def execute(main: types.ModuleType) -> None:
            runpy._run_module_as_main(name)  # runs in sys.modules["__main__"], as python -m

        return cls(["-m", *args], path0, execute)

    @classmethod
    def code(cls, text: str, args: list[str]) -> Program:
        def execute(main: types.ModuleType) -> None:
            exec(compile(text, "<string>", "exec"), main.__dict__)

        return cls(["-c", *args], "", execute, {"__loader__": importlib.machinery.BuiltinImporter})


def _exit_status(code: object) -> int:
    """What python makes of SystemExit(code): None is 0, an int itself, anything else is
    printed and gives 1."""
    if code is None:
        return 0
    if isinstance(code, int):
        return code
    try:
        print(code, file=sys.stderr)
    except Exception:
        pass
    return 1


def _print_uncaught(error: BaseException) -> None:
    """The traceback as python prints it for an uncaught exception, without this module's frames."""
    traceback = error.__traceback__
    while traceback is not None and traceback.tb_frame.f_globals is globals():
        traceback = traceback.tb_next
    error.with_traceback(traceback)  # what the hook prints
    try:
        sys.excepthook(type(error), error, traceback)
    except Exception:
        sys.__excepthook__(type(error), error, traceback)


def _join_threads() -> None:
    """What the interpreter does before it exits: wait for the program's non-daemon threads."""
    threading = sys.modules.get("threading")
    shutdown = getattr(threading, "_shutdown", None)
    if shutdown is not None:
        shutdown()


def execute(program: Program) -> int:
    """Runs the program as __main__ and waits for its threads; returns its exit status."""
    main = types.ModuleType("__main__")
    main.__dict__.update({"__builtins__": builtins, **program.main_attributes})
    saved_main, saved_argv = sys.modules.get("__main__"), sys.argv
    saved_path0 = sys.path[0] if sys.path else None
    sys.modules["__main__"], sys.argv = main, list(program.argv)
    sys.path[:1] = [program.path0]
    try:
        try:
            program.execute(main)
            status = 0
        except SystemExit as exit:
            status = _exit_status(exit.code)
        except KeyboardInterrupt as error:
            _print_uncaught(error)
            status = EXIT_INTERRUPTED
        except BaseException as error:
            _print_uncaught(error)
            status = 1
        try:
            _join_threads()
        except KeyboardInterrupt:
            status = EXIT_INTERRUPTED
        return status
    finally:
        sys.argv = saved_argv
        if saved_path0 is not None:
            sys.path[0] = saved_path0
        if saved_main is not None:
            sys.modules["__main__"] = saved_main


# ---------------------------------------------------------------------------------------------
# Recording

def calibrate(tool_id: int) -> float:
    """Seconds that recording adds to one event: an empty function called with and without the
    recorder, best of three (two events per call)."""
    from klavrix.monitoring.callrecorder import CallRecorder

    def nothing():
        pass

    def calls():
        for _ in range(CALIBRATION_CALLS):
            nothing()

    plain = recorded = float("inf")
    for _ in range(3):
        start = time.perf_counter()
        calls()
        plain = min(plain, time.perf_counter() - start)
        recorder = CallRecorder()
        recorder.start(tool_id)
        try:
            start = time.perf_counter()
            calls()
            recorded = min(recorded, time.perf_counter() - start)
        finally:
            recorder.stop()
    return max(0.0, recorded - plain) / (2 * CALIBRATION_CALLS)


class Session:
    """One profiled run: the recorder, and what the report needs when the program ends, however
    it ends (os._exit included)."""

    def __init__(self, args: argparse.Namespace, program: Program, stream: TextIO):
        from klavrix.monitoring.callrecorder import CallRecorder

        self.args = args
        self.program = program
        self.stream = stream
        self.pid = os.getpid()
        self.host, self.host_record = hotspots.host_record()
        self.event_cost = calibrate(TOOL_ID)
        self.recorder = CallRecorder()
        self.started = 0.0
        self.reported = False

    def run(self) -> int:
        real_exit = os._exit

        def exit_with_report(status, /):
            status = operator.index(status)  # os._exit's own TypeError first
            if os.getpid() == self.pid:
                self.finish(status)
            real_exit(status)

        os._exit = exit_with_report
        _active.append(self)
        self.started = time.perf_counter()
        self.recorder.start(TOOL_ID)
        try:
            status = execute(self.program)
        finally:
            _active.remove(self)
            os._exit = real_exit
        self.finish(status)
        return status

    def finish(self, status: int) -> None:
        """Stops recording and writes the report (once)."""
        self.recorder.stop()
        if self.reported:
            return
        self.reported = True
        wall = time.perf_counter() - self.started
        facts = hotspots.measured(self.recorder.functions(), wall)
        shown = hotspots.hot(facts, self.args.top, self.args.all)
        for function in shown:
            hotspots.decide(function, self.host)
        run = profile_report.Run(program=self.program.argv, exit_status=status, wall_s=wall,
                         overhead_s=self.recorder.events * self.event_cost, events=self.recorder.events,
                         threads=self.recorder.threads, host=self.host, host_record=self.host_record,
                         functions=facts, shown=shown, include_folded=self.args.all)
        if self.args.html:
            with open(self.args.html, "w", encoding="utf-8") as page:
                page.write(profile_report.html(run))
        text = profile_report.json_text(run) if self.args.json else profile_report.text(run, self.args.explain,
                                                                     output.terminal_width(self.stream) or profile_report.DEFAULT_WIDTH)
        if self.args.output:
            with open(self.args.output, "w", encoding="utf-8") as file:
                file.write(text)
        else:
            self.stream.write(text)
            self.stream.flush()


# Sessions running now; a forked child stops their recording (it runs unprofiled).
_active: list[Session] = []


def _stop_in_child() -> None:
    for session in _active:
        session.recorder.stop()
    _active.clear()


os.register_at_fork(after_in_child=_stop_in_child)


def run(args: argparse.Namespace) -> int:
    stream = sys.stderr
    try:
        program = Program.from_args(args)
    except UsageError as error:
        print(f"klavrix profile: error: {error}", file=stream)
        return EXIT_USAGE
    # The program may change directory: files named here are taken from where the command started.
    for name in ("output", "html"):
        if getattr(args, name):
            setattr(args, name, os.path.abspath(getattr(args, name)))
    try:
        session = Session(args, program, stream)
    except ValueError:  # the tool id is taken
        holder = sys.monitoring.get_tool(TOOL_ID)
        print(f"klavrix profile: sys.monitoring tool id {TOOL_ID} is in use by {holder!r}: "
              "running the program without profiling", file=stream)
        return execute(program)
    return session.run()
