"""Plain-text tables, sizes and a progress bar for a terminal's stderr.

Tables are aligned columns of plain text: they stay readable when piped into a file, and writing
tens of thousands of rows costs next to nothing.
"""

from __future__ import annotations

import sys
import time
from typing import Sequence, TextIO


def table(headers: Sequence[str], rows: Sequence[Sequence[object]], right: Sequence[int] = (),
          indent: str = "  ") -> str:
    """Columns aligned under their headers; the columns whose index is in `right` are right-aligned
    (numbers). The last column is not padded."""
    cells = [[str(cell) for cell in row] for row in rows]
    widths = [max([len(header), *(len(row[i]) for row in cells)]) for i, header in enumerate(headers)]
    last = len(headers) - 1

    def line(row: Sequence[str]) -> str:
        parts = []
        for i, cell in enumerate(row):
            if i in right:
                parts.append(cell.rjust(widths[i]))
            elif i == last:
                parts.append(cell)
            else:
                parts.append(cell.ljust(widths[i]))
        return (indent + "  ".join(parts)).rstrip()

    return "\n".join([line(headers), *(line(row) for row in cells)]) + "\n"


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
        return f"{count:,} bytes"
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
