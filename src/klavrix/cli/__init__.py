"""The `klavrix` command: analyze source, probe the host, plan GPU memory, profile a program, run the
benchmarks.

Each sub-command lives in its own module with its arguments and its `run(args) -> int`; the
native modules are imported only by the command that needs them.
"""

from __future__ import annotations

import argparse
import errno
import importlib
import os
import sys

from klavrix import __version__

EXIT_OK = 0
EXIT_INPUT_FAILED = 1  # some input could not be analysed, the output could not be written, or a part is missing
EXIT_USAGE = 2  # argparse's own status for a usage error
EXIT_FAIL_ON = 3  # analyze --fail-on: a unit got one of the named patterns
EXIT_BROKEN_PIPE = 128 + 13  # the reader went away, as a shell reports a tool that SIGPIPE ended

_WRITE_ERRORS = {errno.ENOSPC, errno.EDQUOT, errno.EFBIG, errno.EIO}


# The commands and their one-line help. A command's module (and all it imports) is loaded only when
# that command is asked for, so that `klavrix profile` starts about as quickly as the program it runs.
COMMANDS = {
    "analyze": "classify the functions of Python source files and notebooks",
    "probe": "show the host's capabilities and container limits",
    "plan": "plan GPU memory for an array",
    "profile": "run a program and show where its time goes and what the runtime would decide",
    "bench": "run the benchmark report (from a source checkout)",
}


def build_parser(argv: list[str] | None = None) -> argparse.ArgumentParser:
    """The parser for `argv`: every command listed, and the arguments of the one it names."""
    parser = argparse.ArgumentParser(
        prog="klavrix", description="The klavrix performance runtime's command line: classify workloads, "
                                    "probe the host, plan GPU memory, profile programs and run the "
                                    "benchmarks.")
    parser.add_argument("--version", action="version", version=f"klavrix {__version__}")
    commands = parser.add_subparsers(title="commands", metavar="COMMAND", required=True)
    arguments = sys.argv[1:] if argv is None else argv
    named = next((argument for argument in arguments if not argument.startswith("-")), None)
    for name, help in COMMANDS.items():
        if name == named:
            importlib.import_module(f"klavrix.cli.{name}").register(commands)
        else:
            commands.add_parser(name, help=help)
    return parser


def main(argv: list[str] | None = None) -> int:
    """Runs one command; returns the exit status. Whatever happens to the output, the result is a
    line on stderr and a status, never a traceback."""
    for stream in (sys.stdout, sys.stderr):
        # Text that the stream's encoding cannot hold (a file name on an ASCII terminal) is
        # written as backslash escapes rather than failing.
        if hasattr(stream, "reconfigure"):
            stream.reconfigure(errors="backslashreplace")
    try:
        args = build_parser(argv).parse_args(argv)
        status = args.run(args)
        sys.stdout.flush()
        return status
    except SystemExit as exit:  # argparse: --help, --version, usage errors
        return exit.code if isinstance(exit.code, int) else EXIT_OK if exit.code is None else EXIT_INPUT_FAILED
    except KeyboardInterrupt:
        print("klavrix: interrupted", file=sys.stderr)
        return 128 + 2
    except BrokenPipeError:  # the reader of our output went away (| head): end quietly
        _discard_stdout()
        return EXIT_BROKEN_PIPE
    except OSError as error:  # writing the output failed (a full disk), or the system refused a resource
        _discard_stdout()
        what = "cannot write the output" if error.errno in _WRITE_ERRORS else "error"
        print(f"klavrix: {what}: {error.strerror or error}", file=sys.stderr)
        return EXIT_INPUT_FAILED


def _discard_stdout() -> None:
    """Point stdout at nothing, so that the interpreter's final flush of what is still buffered
    does not fail a second time."""
    try:
        descriptor = sys.stdout.fileno()
    except (AttributeError, ValueError, OSError):  # not a file (a test's capture)
        return
    null = os.open(os.devnull, os.O_WRONLY)
    os.dup2(null, descriptor)
    os.close(null)
