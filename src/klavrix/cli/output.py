"""Plain-text tables, sizes, file names, colour and a progress bar for a terminal's stderr.

Tables are aligned columns of plain text: they stay readable when piped into a file, and writing
tens of thousands of rows costs next to nothing. On a terminal they are fitted to its width.
"""

from __future__ import annotations

import os
import sys
import textwrap
import time
from typing import Callable, Sequence, TextIO


def table(headers: Sequence[str], rows: Sequence[Sequence[object]], right: Sequence[int] = (),
          indent: str = "  ", width: int | None = None, shrink: Sequence[tuple[int, int]] = (),
          wrap_last: bool = False, paint: dict[int, Callable[[str], str]] | None = None) -> str:
    """Columns aligned under their headers; the columns whose index is in `right` are right-aligned
    (numbers). The last column is not padded.

    With a `width` to fit: each (column, minimum) step of `shrink` in turn shortens that
    column's cells in the middle, down to the minimum, while the lines are too long; with
    `wrap_last` the last column's text is then wrapped onto lines of its own under it. `paint`
    colours the cells of a column after they are laid out."""
    cells = [[str(cell) for cell in row] for row in rows]
    widths = [max([len(header), *(len(row[i]) for row in cells)]) for i, header in enumerate(headers)]
    last = len(headers) - 1
    if width is not None:
        def excess() -> int:
            before_last = len(indent) + sum(widths[:last]) + 2 * last
            return before_last + (min(widths[last], MIN_WRAPPED) if wrap_last else widths[last]) - width

        for column, minimum in shrink:
            if (too_long := excess()) > 0:
                widths[column] = max(widths[column] - too_long, len(headers[column]), minimum)
        for row in cells:
            for column, _ in shrink:
                row[column] = shorten_middle(row[column], widths[column])
        if wrap_last:
            widths[last] = max(width - (len(indent) + sum(widths[:last]) + 2 * last), MIN_WRAPPED)
            wrapped = []
            for row in cells:
                lines = textwrap.wrap(row[last], widths[last], break_on_hyphens=False) or [""]
                wrapped.append([*row[:last], lines[0]])
                wrapped.extend([*([""] * last), line] for line in lines[1:])
            cells = wrapped
    paint = paint or {}

    def line(row: Sequence[str], header: bool = False) -> str:
        parts = []
        for i, cell in enumerate(row):
            if i in right:
                text = cell.rjust(widths[i])
            elif i == last:
                text = cell
            else:
                text = cell.ljust(widths[i])
            parts.append(paint[i](text) if i in paint and not header and cell else text)
        return (indent + "  ".join(parts)).rstrip()

    return "\n".join([line(headers, header=True), *(line(row) for row in cells)]) + "\n"


MIN_WRAPPED = 20  # the narrowest a wrapped last column gets
ELLIPSIS = "..."


def shorten_middle(text: str, width: int) -> str:
    """`text` cut to `width` characters by taking out its middle, keeping more of the end (a
    method's own name, a file's name): "Rate...er.acquire"."""
    if len(text) <= width:
        return text
    keep = max(width - len(ELLIPSIS), 2)
    head = keep // 3 or 1
    return text[:head] + ELLIPSIS + text[len(text) - (keep - head):]


def terminal_width(stream: TextIO) -> int | None:
    """The width to fit lines to: the terminal's when `stream` is one (COLUMNS, when set, wins as
    it does for shutil.get_terminal_size), else none."""
    if not _is_terminal(stream):
        return None
    columns = os.environ.get("COLUMNS", "")
    if columns.isdigit() and int(columns) > 0:
        return int(columns)
    try:
        return os.get_terminal_size(stream.fileno()).columns
    except (AttributeError, ValueError, OSError):
        return 80  # shutil.get_terminal_size's fallback


def use_colour(stream: TextIO) -> bool:
    """Colour only on a terminal, and never when NO_COLOR is set to anything."""
    return _is_terminal(stream) and not os.environ.get("NO_COLOR") and os.environ.get("TERM") != "dumb"


def colour(code: str) -> Callable[[str], str]:
    """A painter with one SGR code ("1;36"), keeping the text's padding outside the colour."""
    def paint(text: str) -> str:
        core = text.rstrip(" ")
        stripped = core.lstrip(" ")
        lead = len(core) - len(stripped)
        return f"{core[:lead]}\x1b[{code}m{stripped}\x1b[0m{text[len(core):]}" if stripped else text
    return paint


def plural(count: int, noun: str, nouns: str | None = None) -> str:
    """"1 file", "2 files", "1,234 functions"."""
    return f"{count:,} {noun if count == 1 else nouns or noun + 's'}"


def display_path(path: str) -> str:
    """A file name as text that any output can hold: bytes that are not UTF-8 (a name the
    file system gave as undecodable bytes) appear as backslash escapes, such as caf\\xe9.py."""
    try:
        return os.fsencode(path).decode("utf-8", "backslashreplace")
    except UnicodeError:  # not a file system name at all
        return path.encode("utf-8", "backslashreplace").decode("utf-8")


def key_values(pairs: Sequence[tuple[str, object]], indent: str = "  ") -> str:
    """`key: value` lines with the values aligned."""
    width = max((len(key) for key, _ in pairs), default=0)
    return "".join(f"{indent}{key + ':':<{width + 1}} {value}\n" for key, value in pairs)


_BINARY_UNITS = ("B", "KiB", "MiB", "GiB", "TiB", "PiB", "EiB")


def human_bytes(count: int) -> str:
    """1536 -> "1.5 KiB"; exact byte counts below 1 KiB."""
    if count < 1024:
        return f"{count} B"
    value = float(count)
    for unit in _BINARY_UNITS[1:]:
        value /= 1024.0
        if value < 1024.0 or unit == _BINARY_UNITS[-1]:
            return f"{value:.1f} {unit}"
    raise AssertionError("unreachable")


def bytes_with_count(count: int) -> str:
    """"16.0 GiB (17,179,869,184 bytes)"."""
    if count < 1024:
        return plural(count, "byte")
    return f"{human_bytes(count)} ({count:,} bytes)"


class Progress:
    """A one-line progress bar redrawn on a terminal at most ten times a second; silent when the
    stream is not a terminal or the work is small."""

    WIDTH = 30

    def __init__(self, total: int, label: str, stream: TextIO | None = None, minimum: int = 20):
        self.stream = stream if stream is not None else sys.stderr
        self.total = total
        self.label = label
        self.done = 0
        self.enabled = total >= minimum and _is_terminal(self.stream)
        self.last_draw = 0.0

    def advance(self, steps: int = 1) -> None:
        self.done += steps
        if not self.enabled:
            return
        now = time.monotonic()
        if now - self.last_draw >= 0.1 or self.done == self.total:
            self.last_draw = now
            filled = self.WIDTH * self.done // self.total
            bar = "#" * filled + "-" * (self.WIDTH - filled)
            self.stream.write(f"\r[{bar}] {self.done}/{self.total} {self.label}")
            self.stream.flush()

    def clear(self) -> None:
        """Erase the bar, before other output goes to the terminal; the next step redraws it."""
        if self.enabled and self.last_draw:
            self.stream.write("\r\x1b[K")
            self.stream.flush()
            self.last_draw = 0.0

    close = clear


def _is_terminal(stream: TextIO) -> bool:
    try:
        return stream.isatty()
    except (AttributeError, ValueError):
        return False
