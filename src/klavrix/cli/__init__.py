"""The `klavrix` command: analyze source, probe the host, plan GPU memory, profile a program, run the
benchmarks.

Each sub-command lives in its own module with its arguments and its `run(args) -> int`; the
native modules are imported only by the command that needs them.
"""

from __future__ import annotations

import argparse
import os
import sys

from klavrix import __version__

EXIT_OK = 0
EXIT_INPUT_FAILED = 1  # some input could not be analysed, or a needed part is missing
EXIT_USAGE = 2  # argparse's own status for a usage error


def build_parser() -> argparse.ArgumentParser:
    from klavrix.cli import analyze, bench, plan, probe, profile

    parser = argparse.ArgumentParser(
        prog="klavrix", description="The klavrix performance runtime's command line: classify workloads, "
                                    "probe the host, plan GPU memory, profile programs and run the "
                                    "benchmarks.")
    parser.add_argument("--version", action="version", version=f"klavrix {__version__}")
    commands = parser.add_subparsers(title="commands", metavar="COMMAND", required=True)
    for command in (analyze, probe, plan, profile, bench):
        command.register(commands)
    return parser


def main(argv: list[str] | None = None) -> int:
    """Runs one command; returns the exit status."""
    try:
        args = build_parser().parse_args(argv)
        return args.run(args)
    except SystemExit as exit:  # argparse: --help, --version, usage errors
        return exit.code if isinstance(exit.code, int) else EXIT_OK if exit.code is None else EXIT_INPUT_FAILED
    except KeyboardInterrupt:
        print("klavrix: interrupted", file=sys.stderr)
        return 128 + 2
    except BrokenPipeError:  # the reader of our output went away (| head)
        # Point stdout at nothing, so that the interpreter's final flush does not fail again.
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return EXIT_INPUT_FAILED
