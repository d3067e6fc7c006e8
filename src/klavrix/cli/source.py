"""Reading Python source (files, notebooks, standard input) and cutting it into units.

A unit is a function or method, or the module-level code of a file. A function's source is what
`inspect.getsource` would give for it: whole lines from its first decorator to its last line.
The module-level code is every line outside functions, classes, imports and the module
docstring; a file has that unit only when some code is left there. Each unit also carries its
code without prose (prose.py), cut from the file's stripped text by the same lines.

Segments are sliced out of the text by line offsets computed once per file, and only statements
are walked (functions and loops are statements), never expressions, which keeps the walk far
cheaper than the parse.
"""

from __future__ import annotations

import ast
import bisect
import io
import itertools
import json
import os
import re
import stat
import tokenize
import warnings
from dataclasses import dataclass
from typing import BinaryIO, Callable

from klavrix.cli import output, prose

MODULE_UNIT = "<module>"


class SourceError(Exception):
    """A file that cannot be analysed; the message is one line, without the path."""


class SourceSkipped(SourceError):
    """A file left out on purpose (too large); the message says why."""


@dataclass(frozen=True, slots=True)
class UnitSource:
    qualname: str  # Class.method, outer.inner, or <module>
    name: str  # the function's own name (<module> for module-level code)
    line: int  # the line of `def`, after the decorators; the first line of module-level code
    source: str  # as written
    code: str  # the source without comments, docstrings and string contents
    for_loops: int  # for statements inside, nested functions included (as in the source text)
    while_loops: int
    cell: int | None = None  # in a notebook: the cell (counting every cell from 1); `line` is within it


@dataclass(frozen=True, slots=True)
class Parsed:
    units: list[UnitSource]
    warnings: list[str]  # "line 12: SyntaxWarning: invalid escape sequence '\d'", in order


# ---------------------------------------------------------------------------------------------
# Reading

_NONBLOCK = getattr(os, "O_NONBLOCK", 0)


def read_bytes(path: str, max_bytes: int | None = None) -> bytes:
    """The file's bytes; SourceSkipped when it is larger than `max_bytes` (None: no limit)."""
    try:
        # Non-blocking, so that a FIFO named *.py cannot stall the run; it is refused below.
        with open(os.open(path, os.O_RDONLY | _NONBLOCK), "rb") as file:
            info = os.fstat(file.fileno())
            if not stat.S_ISREG(info.st_mode):
                raise SourceError("not a regular file")
            _check_size(info.st_size, max_bytes)
            return file.read()
    except OSError as error:
        raise SourceError(f"cannot read: {os_message(error)}") from None


def read_stream(stream: BinaryIO, max_bytes: int | None = None) -> bytes:
    """Everything a stream (standard input) holds, up to the size limit."""
    try:
        data = stream.read() if max_bytes is None else stream.read(max_bytes + 1)
    except OSError as error:
        raise SourceError(f"cannot read: {os_message(error)}") from None
    if max_bytes is not None and len(data) > max_bytes:
        raise SourceSkipped(f"skipped: more than {output.human_bytes(max_bytes)} (--max-file-size)")
    return data


def _check_size(size: int, max_bytes: int | None) -> None:
    if max_bytes is not None and size > max_bytes:
        raise SourceSkipped(f"skipped: {output.human_bytes(size)} is over the {output.human_bytes(max_bytes)} "
                            "limit (--max-file-size)")


def os_message(error: OSError) -> str:
    text = error.strerror or str(error)
    return text[:1].lower() + text[1:]


def decode_source(data: bytes) -> str:
    """The text of Python source bytes, decoded as the interpreter would (coding cookie, BOM,
    UTF-8 by default), with its line ends made "\\n"."""
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


def read_source(path: str, max_bytes: int | None = None) -> str:
    return decode_source(read_bytes(path, max_bytes))


# Maps a line of a notebook's joined code cells to (cell number, line within the cell).
Placer = Callable[[int], tuple[int, int]]


def parse(text: str, place: Placer | None = None) -> tuple[ast.Module, list[str]]:
    """The module's syntax tree and the warnings the parser raised ("line 3: SyntaxWarning:
    ...", or "cell 2 line 1: ..." with a notebook's `place`), which are kept rather than
    printed: the caller knows the file they belong to."""
    try:
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            tree = ast.parse(text)
    except SyntaxError as error:
        where = ""
        if error.lineno and place is not None:
            cell, line = place(error.lineno)
            where = f" in cell {cell} at line {line}"
        elif error.lineno:
            where = f" at line {error.lineno}"
        raise SourceError(f"syntax error{where}: {error.msg}") from None
    except (RecursionError, MemoryError):
        raise SourceError("too deeply nested to parse") from None

    def located(line: int) -> str:
        return f"line {line}" if place is None else "cell {} line {}".format(*place(line))

    return tree, [f"{located(w.lineno)}: {w.category.__name__}: {w.message}" for w in caught]


# ---------------------------------------------------------------------------------------------
# Files, notebooks and standard input as units

def python_units(text: str, place: Placer | None = None) -> Parsed:
    tree, caught = parse(text, place)
    return Parsed(units(text, tree), caught)


def read_units(path: str, max_bytes: int | None = None) -> Parsed:
    """The units of a .py file, or of a notebook's code cells when the name ends in .ipynb."""
    data = read_bytes(path, max_bytes)
    if path.endswith(".ipynb"):
        return notebook_units(data)
    return python_units(decode_source(data))


# IPython lines that are not Python: magics (%time f(), %%bash), shell escapes (!ls, x = !ls) and
# help requests (np.sum?, ??obj). A Python line never starts so ("% value" and "!= 0" go on an
# expression and are left alone).
_IPYTHON_LINE = re.compile(r"\s*(?:[\w.]+\s*=\s*)?(?:%%?[A-Za-z_]|![^=])|\s*\?{0,2}[\w.]+\?{1,2}\s*$|\s*\?{1,2}[\w.]+\s*$")


def notebook_units(data: bytes) -> Parsed:
    """The units of a notebook: its code cells in order as one module, IPython magics, shell
    lines and help requests left out (as blank lines); each unit is placed by cell number and
    the line within the cell."""
    try:
        document = json.loads(data)
        cells = document["cells"]
        sources = [(number, cell.get("source", "")) for number, cell in enumerate(cells, start=1)
                   if cell.get("cell_type") == "code"]
        sources = [(number, "".join(text) if isinstance(text, list) else text) for number, text in sources]
        if not all(isinstance(text, str) for _, text in sources):
            raise TypeError
    except (ValueError, KeyError, TypeError, AttributeError):
        raise SourceError("not a notebook: expected the JSON of a format 4 notebook") from None
    lines: list[str] = []
    starts: list[int] = []  # the module line where each code cell begins
    numbers: list[int] = []
    for number, text in sources:
        if text.lstrip().startswith("%%"):  # a cell magic: the whole cell is another language
            continue
        starts.append(len(lines) + 1)
        numbers.append(number)
        lines.extend("" if _IPYTHON_LINE.match(line) else line for line in text.replace("\r\n", "\n").split("\n"))
    text = "\n".join(lines) + "\n"

    def place(line: int) -> tuple[int, int]:
        """(cell number, line within the cell) of a line of the joined module."""
        index = bisect.bisect_right(starts, line) - 1
        return numbers[index], line - starts[index] + 1

    parsed = python_units(text, place)
    placed = []
    for unit in parsed.units:
        cell, line = place(unit.line)
        placed.append(UnitSource(unit.qualname, unit.name, line, unit.source, unit.code, unit.for_loops,
                                 unit.while_loops, cell))
    return Parsed(placed, parsed.warnings)


def fragment_unit(text: str, qualname: str) -> UnitSource:
    """One unit given as text: a function's source as `inspect.getsource` gives it (an indented
    method parses inside an `if` block), or any other code. Loops and docstrings are found in the
    parsed text; a text that does not parse has no loops counted and keeps its docstrings as
    empty literals."""
    first = next((line for line in text.split("\n") if line.strip()), "")
    shift = 1 if first[:1].isspace() else 0
    docstrings: dict[int, int] = {}
    loops = [0, 0]
    try:
        tree, _ = parse("if True:\n" + text if shift else text)
    except SourceError:
        tree = None
    if tree is not None:
        found = [_docstring(tree.body)]
        for node in ast.walk(tree):
            kind = type(node)
            if kind in _DEFINITIONS:
                found.append(_docstring(node.body))
            elif kind in _FOR_LOOPS or kind is ast.While:
                loops[kind is ast.While] += 1
        shifted = [ast.Expr(d.value, lineno=d.lineno - shift, col_offset=d.col_offset, end_lineno=d.end_lineno - shift,
                            end_col_offset=d.end_col_offset) for d in found if d is not None]
        docstrings = _spans(text, _line_offsets(text), shifted)
    return UnitSource(qualname, qualname.rsplit(".", 1)[-1], 1, text, prose.strip_prose(text, docstrings), *loops)


# ---------------------------------------------------------------------------------------------
# Units of a module

_FUNCTIONS = (ast.FunctionDef, ast.AsyncFunctionDef)
_DEFINITIONS = (ast.FunctionDef, ast.AsyncFunctionDef, ast.ClassDef)
_IMPORTS = (ast.Import, ast.ImportFrom)
_FOR_LOOPS = (ast.For, ast.AsyncFor)
# Other compound statements and the fields that hold their nested statement lists; simple
# statements (most of them) hold none.
_BLOCKS = {ast.If: ("body", "orelse"), ast.With: ("body",),
           ast.AsyncWith: ("body",), ast.Try: ("body", "orelse", "finalbody"),
           ast.TryStar: ("body", "orelse", "finalbody")}


def _line_offsets(text: str) -> list[int]:
    """offsets[i]: where line i + 1 starts; one more entry (the length + 1) for the end."""
    return list(itertools.accumulate([len(line) + 1 for line in text.split("\n")], initial=0))


def _docstring(body: list[ast.stmt]) -> ast.Expr | None:
    if body and type(first := body[0]) is ast.Expr and type(value := first.value) is ast.Constant \
            and type(value.value) is str:
        return first
    return None


def units(text: str, tree: ast.Module) -> list[UnitSource]:
    """Every function and method of the module in source order, then its module-level code if it
    has any."""
    offsets = _line_offsets(text)
    found: list[tuple[ast.AST, str, list[int]]] = []  # node, qualname, [for loops, while loops]
    docstrings = []
    # Lines that are not module-level code: definitions (decorators included), imports and the
    # module docstring, as (first, last) line ranges.
    not_module = []
    module_loops = [0, 0]
    if (docstring := _docstring(tree.body)) is not None:
        docstrings.append(docstring)
        not_module.append((docstring.lineno, docstring.end_lineno))
    # Statement lists still to visit, each with its qualname prefix, the loop counts that its
    # loops raise (of the functions it lies in, or of the module-level code) and whether it is
    # module-level code; an explicit stack, so nesting depth costs no recursion.
    stack: list[tuple[list[ast.stmt], str, tuple[list[int], ...], bool]] = [
        (tree.body, "", (module_loops,), True)]
    while stack:
        body, prefix, owners, module_level = stack.pop()
        for node in body:
            kind = type(node)
            if kind in _DEFINITIONS:
                inside = owners
                if module_level:
                    first = min([node.lineno, *(d.lineno for d in node.decorator_list)])
                    not_module.append((first, node.end_lineno))
                    inside = ()  # the module-level code does not count the loops of definitions
                if (docstring := _docstring(node.body)) is not None:
                    docstrings.append(docstring)
                if kind is ast.ClassDef:
                    stack.append((node.body, prefix + node.name + ".", inside, False))
                else:
                    qualname = prefix + node.name
                    loops = [0, 0]
                    found.append((node, qualname, loops))
                    stack.append((node.body, qualname + ".", (*inside, loops), False))
            elif kind in _IMPORTS:
                if module_level:
                    not_module.append((node.lineno, node.end_lineno))
            elif kind in _FOR_LOOPS or kind is ast.While:
                for loops in owners:
                    loops[1 if kind is ast.While else 0] += 1
                stack.append((node.body, prefix, owners, module_level))
                stack.append((node.orelse, prefix, owners, module_level))
            elif kind is ast.Match:
                stack.extend((case.body, prefix, owners, module_level) for case in node.cases)
            elif kind in _BLOCKS:
                stack.extend((getattr(node, field), prefix, owners, module_level) for field in _BLOCKS[kind])
                stack.extend((handler.body, prefix, owners, module_level)
                             for handler in getattr(node, "handlers", ()))
    found.sort(key=lambda entry: entry[0].lineno)

    code = prose.strip_prose(text, _spans(text, offsets, docstrings))
    code_offsets = _line_offsets(code)
    result = []
    for node, qualname, (for_loops, while_loops) in found:
        first = min([node.lineno, *(d.lineno for d in node.decorator_list)])
        last = node.end_lineno
        result.append(UnitSource(qualname, node.name, node.lineno, text[offsets[first - 1]:offsets[last] - 1],
                                 code[code_offsets[first - 1]:code_offsets[last] - 1], for_loops, while_loops))
    module = _module_unit(text, offsets, code, code_offsets, not_module, module_loops)
    if module is not None:
        result.append(module)
    return result


def _spans(text: str, offsets: list[int], docstrings: list[ast.Expr]) -> dict[int, int]:
    """{start: end} text offsets of the docstrings (the parser counts columns in UTF-8 bytes)."""
    def offset(line: int, column: int) -> int:
        start = offsets[line - 1]
        line_text = text[start:offsets[line] - 1]
        if not line_text.isascii():
            column = len(line_text.encode()[:column].decode(errors="ignore"))
        return start + column

    return {offset(d.lineno, d.col_offset): offset(d.end_lineno, d.end_col_offset) for d in docstrings}


def _module_unit(text: str, offsets: list[int], code: str, code_offsets: list[int],
                 not_module: list[tuple[int, int]], loops: list[int]) -> UnitSource | None:
    line_count = len(offsets) - 1
    outside = bytearray(line_count + 2)  # 1 for the lines that are not module-level code
    for first, last in not_module:
        outside[first:last + 1] = b"\1" * (last + 1 - first)
    lines = [n for n in range(1, line_count + 1) if not outside[n]]
    first = next((n for n in lines if not code[code_offsets[n - 1]:code_offsets[n] - 1].isspace()
                  and code_offsets[n] - code_offsets[n - 1] > 1), None)
    if first is None:  # only blank lines, comments and prose
        return None
    lines = [n for n in lines if n >= first]
    source = "\n".join(text[offsets[n - 1]:offsets[n] - 1] for n in lines)
    stripped = "\n".join(code[code_offsets[n - 1]:code_offsets[n] - 1] for n in lines)
    return UnitSource(MODULE_UNIT, MODULE_UNIT, first, source, stripped, *loops)
