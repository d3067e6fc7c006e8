"""Reading sizes, shapes, data types and fractions from the command line.

Each reader raises `argparse.ArgumentTypeError` with a one-line message, which argparse reports
as a usage error.
"""

from __future__ import annotations

import argparse
import math
import re

U64_MAX = (1 << 64) - 1
I32_MAX = (1 << 31) - 1

# Suffixes, case-insensitive: decimal kB/MB/GB/..., binary KiB/MiB/GiB/... and the bare letters
# K/M/G/T/P, which count in powers of 1024 as most system tools do.
_SIZE_UNITS = {"": 1, "b": 1}
for _power, _letter in enumerate("kmgtpe", start=1):
    _SIZE_UNITS[_letter + "b"] = 1000**_power
    _SIZE_UNITS[_letter + "ib"] = 1024**_power
    _SIZE_UNITS[_letter] = 1024**_power
_SIZE = re.compile(r"\s*([0-9]+(?:\.[0-9]*)?|\.[0-9]+)\s*([a-zA-Z]*)\s*")

ELEMENT_SIZES = {
    "bool": 1, "int8": 1, "uint8": 1,
    "int16": 2, "uint16": 2, "float16": 2, "bfloat16": 2,
    "int32": 4, "uint32": 4, "float32": 4,
    "int64": 8, "uint64": 8, "float64": 8, "complex64": 8,
    "complex128": 16,
}
DTYPE_ALIASES = {"half": "float16", "single": "float32", "float": "float64", "double": "float64",
                 "int": "int64", "complex": "complex128"}


def size(text: str) -> int:
    """A byte count such as 16GiB, 1.5 GB, 512M or 4096 (fractions of a byte are dropped)."""
    match = _SIZE.fullmatch(text)
    unit = match.group(2).lower() if match else None
    if match is None or unit not in _SIZE_UNITS:
        raise argparse.ArgumentTypeError(
            f"invalid size {text!r}: expected a number with an optional unit such as 512MiB, 16GiB or 2GB")
    from fractions import Fraction  # exact for decimal sizes such as 1.5GiB

    count = math.floor(Fraction(match.group(1)) * _SIZE_UNITS[unit])
    if count > U64_MAX:
        raise argparse.ArgumentTypeError(f"invalid size {text!r}: more than 2^64 - 1 bytes")
    return count


def shape(text: str) -> tuple[int, ...]:
    """An array shape such as 100000,1024 (or 100000x1024): positive whole numbers."""
    parts = [part.strip() for part in re.split(r"[,x×]", text.strip().strip("()[]"))]
    if parts and parts[-1] == "" and len(parts) > 1:  # "1000," as Python writes a 1-D shape
        parts.pop()
    dimensions = []
    for part in parts:
        if not part.isdecimal() or not part.isascii():
            raise argparse.ArgumentTypeError(
                f"invalid shape {text!r}: {part!r} is not a positive whole number" if part else
                f"invalid shape {text!r}: expected dimensions separated by commas, such as 100000,1024")
        value = int(part)
        if not 0 < value <= I32_MAX:
            raise argparse.ArgumentTypeError(
                f"invalid shape {text!r}: each dimension must lie between 1 and {I32_MAX}")
        dimensions.append(value)
    return tuple(dimensions)


def dtype(text: str) -> str:
    """A NumPy-style data type name; its element size is ELEMENT_SIZES[name]."""
    name = DTYPE_ALIASES.get(text.lower(), text.lower())
    if name not in ELEMENT_SIZES:
        raise argparse.ArgumentTypeError(
            f"unknown dtype {text!r}: choose from {', '.join(ELEMENT_SIZES)}")
    return name


def _number(text: str) -> float:
    """float(text), or NaN for a text that is no number (which every range check refuses)."""
    try:
        return float(text)
    except ValueError:
        return math.nan


def fraction_below_one(text: str) -> float:
    """A ratio in [0, 1), such as a headroom of 0.2."""
    value = _number(text)
    if not 0.0 <= value < 1.0:
        raise argparse.ArgumentTypeError(f"invalid ratio {text!r}: expected a number from 0 up to (not including) 1")
    return value


def score(text: str) -> float:
    """A score threshold: a finite number (scores lie in 0..1)."""
    value = _number(text)
    if not math.isfinite(value):
        raise argparse.ArgumentTypeError(f"invalid threshold {text!r}: expected a number such as 0.25")
    return value


_CAPABILITY = re.compile(r"([0-9]{1,4})(?:\.[0-9]{1,4})?")


def compute_capability(text: str) -> str:
    """A GPU compute capability such as 8.6 (major.minor, or the major version alone)."""
    if _CAPABILITY.fullmatch(text) is None:
        raise argparse.ArgumentTypeError(f"invalid compute capability {text!r}: expected a version such as 8.6")
    return text


def positive_int(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        value = 0
    if value < 1:
        raise argparse.ArgumentTypeError(f"invalid count {text!r}: expected a whole number of at least 1")
    return value
