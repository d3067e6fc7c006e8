"""Settings of `klavrix analyze` kept in the [tool.klavrix] table of a project's pyproject.toml.

The nearest pyproject.toml at or above the first path is read; options given on the command line
override what it sets. Keys, with the command-line option each stands for:

    [tool.klavrix]
    format = "table"                  # --format
    fail-on = ["SEQUENTIAL"]          # --fail-on
    select = ["NUMPY_VECTORIZED"]     # --select
    exclude = ["tests/", "docs/"]     # --exclude (relative to the pyproject.toml's directory)
    max-file-size = "5MB"             # --max-file-size (a size, or a number of bytes)
    explain = true                    # --explain
    raw-source = false                # --raw-source
    default-excludes = true           # false: --no-default-excludes

    [tool.klavrix.thresholds]
    cpu = 0.15                        # --cpu-threshold; also memory, gpu, numpy, pandas, sklearn
"""

from __future__ import annotations

import argparse
import math
import os
import tomllib
from dataclasses import dataclass, field

from klavrix.cli import units
from klavrix.cli.analysis import THRESHOLD_HELP, pattern_name

FORMATS = ("table", "json", "csv", "sarif", "github")


class ConfigError(Exception):
    """A pyproject.toml that cannot be used; the message names the file and the key."""


@dataclass(frozen=True, slots=True)
class Config:
    path: str | None = None  # the pyproject.toml read, if any
    values: dict[str, object] = field(default_factory=dict)  # by the option's dest name (fail_on)
    thresholds: dict[str, float] = field(default_factory=dict)

    @property
    def directory(self) -> str | None:
        return None if self.path is None else os.path.dirname(self.path)


def find_pyproject(start: str) -> str | None:
    """The nearest pyproject.toml in the directory of `start` (itself, if a directory) or above."""
    directory = os.path.abspath(start)
    if not os.path.isdir(directory):
        directory = os.path.dirname(directory)
    while True:
        candidate = os.path.join(directory, "pyproject.toml")
        if os.path.isfile(candidate):
            return candidate
        parent = os.path.dirname(directory)
        if parent == directory:
            return None
        directory = parent


def _strings(value: object, key: str) -> list[str]:
    if not isinstance(value, list) or not all(isinstance(item, str) for item in value):
        raise ConfigError(f"'{key}' must be a list of strings")
    return value


def _patterns(value: object, key: str) -> list[str]:
    try:
        return [pattern_name(item) for item in _strings(value, key)]
    except argparse.ArgumentTypeError as error:
        raise ConfigError(f"'{key}': {error}") from None


def _flag(value: object, key: str) -> bool:
    if not isinstance(value, bool):
        raise ConfigError(f"'{key}' must be true or false")
    return value


def _format(value: object, key: str) -> str:
    if value not in FORMATS:
        raise ConfigError(f"'{key}' must be one of {', '.join(FORMATS)}")
    return value


def _size(value: object, key: str) -> int:
    if isinstance(value, bool) or not isinstance(value, (int, str)):
        raise ConfigError(f"'{key}' must be a size such as \"5MB\" or a number of bytes")
    try:
        return units.size(str(value))
    except argparse.ArgumentTypeError as error:
        raise ConfigError(f"'{key}': {error}") from None


# Key -> (the option's dest name, reader).
_KEYS = {
    "format": ("format", _format),
    "fail-on": ("fail_on", _patterns),
    "select": ("select", _patterns),
    "exclude": ("exclude", _strings),
    "max-file-size": ("max_file_size", _size),
    "explain": ("explain", _flag),
    "raw-source": ("raw_source", _flag),
    "default-excludes": ("default_excludes", _flag),
}


def load(first_path: str) -> Config:
    """The [tool.klavrix] settings that apply to a run whose first path is `first_path` ("-":
    the current directory); an empty Config when there are none."""
    path = find_pyproject("." if first_path == "-" else first_path)
    if path is None:
        return Config()
    try:
        with open(path, "rb") as file:
            document = tomllib.load(file)
    except (OSError, tomllib.TOMLDecodeError, UnicodeDecodeError) as error:
        message = error.strerror if isinstance(error, OSError) and error.strerror else str(error)
        raise ConfigError(f"{path}: cannot read: {message}") from None
    table = document.get("tool", {}).get("klavrix")
    if table is None:
        return Config(path)
    try:
        if not isinstance(table, dict):
            raise ConfigError("[tool.klavrix] must be a table")
        values: dict[str, object] = {}
        thresholds: dict[str, float] = {}
        for key, value in table.items():
            if key == "thresholds":
                thresholds = _thresholds(value)
            elif key in _KEYS:
                dest, read = _KEYS[key]
                values[dest] = read(value, key)
            else:
                raise ConfigError(f"unknown key '{key}' (known: {', '.join([*_KEYS, 'thresholds'])})")
    except ConfigError as error:
        raise ConfigError(f"{path}: [tool.klavrix] {error}") from None
    return Config(path, values, thresholds)


def _thresholds(table: object) -> dict[str, float]:
    if not isinstance(table, dict):
        raise ConfigError("'thresholds' must be a table")
    result = {}
    for name, value in table.items():
        if name not in THRESHOLD_HELP:
            raise ConfigError(f"unknown threshold '{name}' (known: {', '.join(THRESHOLD_HELP)})")
        if isinstance(value, bool) or not isinstance(value, (int, float)) or not math.isfinite(value):
            raise ConfigError(f"threshold '{name}' must be a number such as 0.25")
        result[name] = float(value)
    return result
