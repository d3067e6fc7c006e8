"""Finding Python files under the given paths and cutting each function's source out of its file.

A function's source is what `inspect.getsource` would give for it: whole lines from its first
decorator to its last line. The segments are sliced out of the text by line offsets computed once
per file, and only statements are walked (functions and loops are statements), never expressions,
which keeps the walk far cheaper than the parse.
"""

from __future__ import annotations

import ast
import fnmatch
import io
import os
import stat
import tokenize
import warnings
from dataclasses import dataclass
from typing import Sequence


class SourceError(Exception):
    """A file that cannot be analysed; the message is one line, without the path."""


@dataclass(frozen=True, slots=True)
class FunctionSource:
    qualname: str  # Class.method, outer.inner
    name: str  # the function's own name
    line: int  # the line of `def` (decorators come before it)
    source: str
    for_loops: int  # for statements inside, nested functions included (as in the source text)
    while_loops: int


@dataclass(frozen=True, slots=True)
class PathProblem:
    path: str
    message: str


def find_python_files(paths: list[str], exclude: Sequence[str] = ()) -> tuple[list[str], list[PathProblem], list[str]]:
    """(files to analyse, paths that failed, directories without any .py file) for the given paths.

    A path that names a file is taken whatever its suffix; directories are searched for *.py files
    in sorted order, skipping hidden directories and names matching an `exclude` pattern. Symbolic
    links to directories are not followed (so a link loop cannot trap the walk); a file reached
    twice (overlapping paths, links) is analysed once.
    """
    files: list[str] = []
    problems: list[PathProblem] = []
    empty: list[str] = []
    seen: set[str] = set()

    def take(path: str) -> None:
        key = os.path.realpath(path)
        if key not in seen:
            seen.add(key)
            files.append(path)

    def excluded(name: str) -> bool:
        return any(fnmatch.fnmatchcase(name, pattern) for pattern in exclude)

    for path in paths:
        try:
            info = os.stat(path)  # follows links: a link loop fails here
        except OSError as error:
            problems.append(PathProblem(path, _os_message(error)))
            continue
        if not stat.S_ISDIR(info.st_mode):
            take(path)
            continue
        before = len(files)

        def walk_error(error: OSError) -> None:
            problems.append(PathProblem(error.filename or path, _os_message(error)))

        for directory, subdirs, names in os.walk(path, onerror=walk_error):
            subdirs[:] = sorted(d for d in subdirs if not d.startswith(".") and not excluded(d))
            for name in sorted(names):
                if name.endswith(".py") and not excluded(name):
                    take(os.path.join(directory, name))
        if len(files) == before:
            empty.append(path)
    return files, problems, empty


def _os_message(error: OSError) -> str:
    text = error.strerror or str(error)
    return text[:1].lower() + text[1:]


_NONBLOCK = getattr(os, "O_NONBLOCK", 0)


def read_source(path: str) -> str:
    """The file's text, decoded as the interpreter would (coding cookie, BOM, UTF-8 by default),
    with its line ends made "\\n"."""
    try:
        # Non-blocking, so that a FIFO named *.py cannot stall the run; it is refused below.
        with open(os.open(path, os.O_RDONLY | _NONBLOCK), "rb") as file:
            if not stat.S_ISREG(os.fstat(file.fileno()).st_mode):
                raise SourceError("not a regular file")
            data = file.read()
    except OSError as error:
        raise SourceError(f"cannot read: {_os_message(error)}") from None
    if b"\0" in data:
        raise SourceError("not Python source: contains null bytes")
    try:
        encoding, _ = tokenize.detect_encoding(io.BytesIO(data).readline)
        cookie_problem = None
    except SyntaxError as error:  # an unknown coding cookie, or undecodable first lines
        encoding, cookie_problem = "utf-8", error.msg
    try:
        text = data.decode(encoding)
    except UnicodeDecodeError as error:
        raise SourceError(f"cannot decode as {error.encoding}: {error.reason} at byte {error.start}") from None
    if cookie_problem is not None:
        raise SourceError(f"cannot decode: {cookie_problem}")
    if text.startswith("\ufeff"):
        text = text[1:]
    if "\r" in text:
        text = text.replace("\r\n", "\n").replace("\r", "\n")
    return text


def parse(text: str) -> ast.Module:
    try:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")  # invalid escape sequences and the like
            return ast.parse(text)
    except SyntaxError as error:
        where = f" at line {error.lineno}" if error.lineno else ""
        raise SourceError(f"syntax error{where}: {error.msg}") from None
    except (RecursionError, MemoryError):
        raise SourceError("too deeply nested to parse") from None


_FUNCTIONS = (ast.FunctionDef, ast.AsyncFunctionDef)
_FOR_LOOPS = (ast.For, ast.AsyncFor)
# Other compound statements and the fields that hold their nested statement lists; simple
# statements (most of them) hold none.
_BLOCKS = {ast.If: ("body", "orelse"), ast.With: ("body",),
           ast.AsyncWith: ("body",), ast.Try: ("body", "orelse", "finalbody"),
           ast.TryStar: ("body", "orelse", "finalbody")}


def functions(text: str, tree: ast.Module) -> list[FunctionSource]:
    """Every function and method of the module, in source order, with its source text."""
    offsets = [0]  # offsets[i]: where line i + 1 starts
    position = text.find("\n")
    while position >= 0:
        offsets.append(position + 1)
        position = text.find("\n", position + 1)
    offsets.append(len(text) + 1)

    found: list[tuple[ast.AST, str, list[int]]] = []  # node, qualname, [for loops, while loops]
    # Statement lists still to visit, each with its qualname prefix and the functions it lies in
    # (whose loop counts its loops raise); an explicit stack, so nesting depth costs no recursion.
    stack: list[tuple[list[ast.stmt], str, tuple[list[int], ...]]] = [(tree.body, "", ())]
    while stack:
        body, prefix, owners = stack.pop()
        for node in body:
            kind = type(node)
            if kind in _FUNCTIONS:
                qualname = prefix + node.name
                loops = [0, 0]
                found.append((node, qualname, loops))
                stack.append((node.body, qualname + ".", (*owners, loops)))
            elif kind is ast.ClassDef:
                stack.append((node.body, prefix + node.name + ".", owners))
            elif kind in _FOR_LOOPS or kind is ast.While:
                for loops in owners:
                    loops[1 if kind is ast.While else 0] += 1
                stack.append((node.body, prefix, owners))
                stack.append((node.orelse, prefix, owners))
            elif kind is ast.Match:
                stack.extend((case.body, prefix, owners) for case in node.cases)
            elif kind in _BLOCKS:
                stack.extend((getattr(node, field), prefix, owners) for field in _BLOCKS[kind])
                stack.extend((handler.body, prefix, owners) for handler in getattr(node, "handlers", ()))
    found.sort(key=lambda entry: entry[0].lineno)

    result = []
    for node, qualname, (for_loops, while_loops) in found:
        first = min([node.lineno, *(d.lineno for d in node.decorator_list)])
        source = text[offsets[first - 1]:offsets[node.end_lineno] - 1]
        result.append(FunctionSource(qualname, node.name, node.lineno, source, for_loops, while_loops))
    return result
