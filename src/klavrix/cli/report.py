"""The output formats of `klavrix analyze`: tables, JSON, CSV, SARIF 2.1.0 and GitHub workflow
annotations.

A report is fed the analysed files in order (`add`) and closed with the run's totals (`finish`).
Tables in file order are written as the files come, so that a long run shows its progress; every
other form is written at the end. File names are written through output.display_path, so a name
that is not UTF-8 still gives valid text, JSON and SARIF.
"""

from __future__ import annotations

import collections
import csv
import json
import os
import sys
import urllib.parse
from dataclasses import dataclass, field
from typing import TextIO

from klavrix import __version__
from klavrix.cli import analysis, output, source
from klavrix.cli.analysis import FileResult, FunctionResult

SORT_KEYS = ("file", "name", "pattern", "speedup", "cpu", "memory", "parallel", "gpu", "numpy", "pandas", "sklearn")
_SCORE_OF_SORT_KEY = {"speedup": "gpu_speedup", "cpu": "cpu_intensity", "memory": "memory_intensity",
                      "parallel": "parallelization_potential", "gpu": "gpu_suitability", "numpy": "numpy_score",
                      "pandas": "pandas_score", "sklearn": "sklearn_score"}

PATTERN_DESCRIPTIONS = {
    "CPU_INTENSIVE": "CPU-bound code: loops and arithmetic",
    "MEMORY_INTENSIVE": "memory-bound code: large containers built and grown",
    "PARALLEL_FRIENDLY": "work that splits into independent parts",
    "SEQUENTIAL": "steps that depend on each other or on shared state",
    "GPU_SUITABLE": "array operations a GPU can take",
    "GPU_COMPUTE_INTENSIVE": "compute-heavy array operations for a GPU",
    "GPU_MEMORY_BOUND": "array operations for a GPU, bound by memory",
    "NUMPY_VECTORIZED": "NumPy array code",
    "NUMPY_LINALG": "NumPy linear algebra",
    "PANDAS_DATAFRAME": "pandas DataFrame code",
    "PANDAS_GROUPBY": "pandas group-by code",
    "SKLEARN_TRAINING": "scikit-learn model training",
    "SKLEARN_INFERENCE": "scikit-learn inference",
}
# Pattern colours on a terminal: frameworks, GPU, parallel, CPU and memory, sequential, mixed.
_COLOURS = {"SKLEARN_TRAINING": "36", "PANDAS_DATAFRAME": "36", "NUMPY_VECTORIZED": "36", "GPU_SUITABLE": "35",
            "GPU_COMPUTE_INTENSIVE": "35", "GPU_MEMORY_BOUND": "35", "PARALLEL_FRIENDLY": "32",
            "CPU_INTENSIVE": "33", "MEMORY_INTENSIVE": "33", "SEQUENTIAL": "31", "MIXED": "2"}


@dataclass(slots=True)
class Totals:
    """What the summary counts: every unit of every analysed file, whatever the report shows."""

    counts: collections.Counter = field(default_factory=collections.Counter)  # pattern name -> units
    functions: int = 0
    module_units: int = 0
    files: int = 0  # analysed
    failed: list[dict] = field(default_factory=list)  # {"path", "error"}
    skipped: list[dict] = field(default_factory=list)  # {"path", "reason"}
    warnings: int = 0
    files_with_warnings: int = 0

    def count(self, result: FileResult) -> None:
        self.files += 1
        for unit in result.functions:
            self.counts[unit.pattern_name] += 1
            if unit.qualname == source.MODULE_UNIT:
                self.module_units += 1
            else:
                self.functions += 1
        if result.warnings:
            self.warnings += len(result.warnings)
            self.files_with_warnings += 1

    def units_text(self) -> str:
        text = output.plural(self.functions, "function")
        if self.module_units:
            text += f" and {output.plural(self.module_units, 'module-level unit')}"
        return text


@dataclass(frozen=True, slots=True)
class View:
    """What the person asked to see."""

    settings: analysis.Settings
    explain: bool = False
    select: frozenset[str] = frozenset()  # pattern names; empty: all
    sort: str = "file"
    top: int | None = None
    summary_only: bool = False
    stream: TextIO | None = None  # None: sys.stdout at the time of writing

    @property
    def streams_tables(self) -> bool:
        return self.sort == "file" and self.top is None

    def shows(self, unit: FunctionResult) -> bool:
        return not self.select or unit.pattern_name in self.select


def order(view: View, results: list[FileResult]) -> list[tuple[FileResult, FunctionResult]]:
    """The units shown, as (file, unit) pairs in the asked order, cut to --top."""
    pairs = [(result, unit) for result in results for unit in result.functions if view.shows(unit)]
    if view.sort == "name":
        pairs.sort(key=lambda pair: pair[1].qualname)
    elif view.sort == "pattern":
        pairs.sort(key=lambda pair: pair[1].pattern_name)
    elif view.sort != "file":
        score = _SCORE_OF_SORT_KEY[view.sort]
        pairs.sort(key=lambda pair: -getattr(pair[1].scores, score))
    return pairs if view.top is None else pairs[:view.top]


def where(unit: FunctionResult) -> str:
    """The unit's line, or its cell in a notebook."""
    return str(unit.line) if unit.cell is None else f"cell {unit.cell}"


def evidence_json(unit: FunctionResult) -> list[dict]:
    return [{"table": e.table, "keyword": e.keyword, "found_in": e.found_in, "in_name": e.in_name}
            for e in unit.evidence]


class Report:
    def __init__(self, view: View):
        self.view = view
        self.stream = view.stream or sys.stdout
        self.results: list[FileResult] = []

    def add(self, result: FileResult) -> None:
        self.results.append(result)

    def finish(self, totals: Totals) -> None:
        raise NotImplementedError

    def write(self, text: str) -> None:
        self.stream.write(text)


# ---------------------------------------------------------------------------------------------
# Tables

class TableReport(Report):
    def __init__(self, view: View, progress: output.Progress):
        super().__init__(view)
        self.progress = progress
        self.tables = 0
        self.width = output.terminal_width(self.stream)
        self.colour = output.use_colour(self.stream)

    def _headers(self, first: str) -> list[str]:
        # Without a GPU every speed-up is 1.0 by the rules: the column would say nothing.
        return [first, "line", "pattern", "decided by", *(["GPU speed-up"] if self.view.settings.gpu_available else []),
                *(["evidence"] if self.view.explain else [])]

    def _row(self, unit: FunctionResult) -> list[str]:
        row = [unit.qualname, where(unit), unit.pattern_name, analysis.decided_by(unit, self.view.settings.thresholds)]
        if self.view.settings.gpu_available:
            row.append(f"{unit.scores.gpu_speedup:.1f}x")
        if self.view.explain:
            row.append(analysis.evidence_text(unit.evidence) or "-")
        return row

    def _table(self, headers: list[str], rows: list[list[str]]) -> str:
        pattern = headers.index("pattern")
        right = [i for i, header in enumerate(headers) if header in ("line", "GPU speed-up")]
        # Names give way first, down to a readable length, then the reasons, then names again.
        names = [i for i, header in enumerate(headers) if header in ("location", "function")]
        shrink = [*((i, 24) for i in names), (headers.index("decided by"), 20), *((i, 12) for i in names)]
        paint = {}
        if self.colour:
            paint[pattern] = lambda text: output.colour(_COLOURS.get(text.strip(), "0"))(text)
        return output.table(headers, rows, right=right, width=self.width, shrink=shrink,
                            wrap_last=self.view.explain, paint=paint)

    def _heading(self, text: str) -> str:
        return f"\x1b[1m{text}\x1b[0m" if self.colour else text

    def add(self, result: FileResult) -> None:
        if not self.view.streams_tables:
            super().add(result)
            return
        units = [unit for unit in result.functions if self.view.shows(unit)]
        if self.view.summary_only or not units:
            return
        self.progress.clear()
        path = output.display_path(result.path)
        self.write(("\n" if self.tables else "") + self._heading(path) + "\n")
        self.tables += 1
        self.write(self._table(self._headers("function"), [self._row(unit) for unit in units]))

    def finish(self, totals: Totals) -> None:
        if not self.view.streams_tables and not self.view.summary_only:
            pairs = order(self.view, self.results)
            if pairs:
                rows = []
                for result, unit in pairs:
                    row = self._row(unit)
                    location = f"{output.display_path(result.path)}:{row.pop(1)}"
                    rows.append([location, *row])
                headers = self._headers("function")
                headers.pop(1)
                self.write(self._table(["location", *headers], rows))
                self.tables += 1
        if self.tables:
            self.write("\n")
        self.write(summary_text(totals))


def summary_text(totals: Totals) -> str:
    trouble = []
    if totals.failed:
        trouble.append(f"{len(totals.failed):,} failed")
    if totals.skipped:
        trouble.append(f"{len(totals.skipped):,} skipped")
    lines = [f"Summary: {totals.units_text()} in {output.plural(totals.files, 'file')}"
             + (f" ({', '.join(trouble)})" if trouble else "") + "\n"]
    units = sum(totals.counts.values())
    if units:
        rows = [(name, f"{count:,}", f"{100 * count / units:.1f}%") for name, count in totals.counts.most_common()]
        lines.append(output.table(("pattern", "units", "share"), rows, right=(1, 2)))
    if totals.warnings:
        lines.append(f"Parser warnings: {totals.warnings:,} in {output.plural(totals.files_with_warnings, 'file')}"
                     " (--warnings shows them)\n")
    return "".join(lines)


# ---------------------------------------------------------------------------------------------
# JSON and CSV

def unit_json(unit: FunctionResult, view: View) -> dict:
    document = {
        "name": unit.qualname,
        "line": unit.line,
        "cell": unit.cell,
        "pattern": unit.pattern_name,
        "pattern_code": unit.pattern,
        "decided_by": analysis.decided_by(unit, view.settings.thresholds),
        "gpu_speedup": unit.scores.gpu_speedup,
        "scores": unit.scores._asdict(),
    }
    if view.explain:
        document["evidence"] = evidence_json(unit)
    return document


class JsonReport(Report):
    def finish(self, totals: Totals) -> None:
        shown: dict[int, list[FunctionResult]] = collections.defaultdict(list)
        for result, unit in order(self.view, self.results):
            shown[id(result)].append(unit)
        settings = self.view.settings
        document = {
            "settings": {
                "gpu_available": settings.gpu_available,
                "compute_capability": settings.compute_capability,
                "thresholds": {name: getattr(settings.thresholds, name) for name in analysis.THRESHOLD_HELP},
            },
            "files": [{"path": output.display_path(result.path),
                       "functions": [unit_json(unit, self.view) for unit in shown[id(result)]],
                       "warnings": list(result.warnings)}
                      for result in self.results],
            "errors": [{**failure, "path": output.display_path(failure["path"])} for failure in totals.failed],
            "skipped": [{**skip, "path": output.display_path(skip["path"])} for skip in totals.skipped],
            "summary": {
                "files": totals.files,
                "functions": totals.functions,
                "module_units": totals.module_units,
                "failed": len(totals.failed),
                "skipped": len(totals.skipped),
                "warnings": totals.warnings,
                "patterns": {name: totals.counts[name] for name in analysis.PATTERN_NAMES},
            },
        }
        self.write(json.dumps(document))
        self.write("\n")


class CsvReport(Report):
    def finish(self, totals: Totals) -> None:
        writer = csv.writer(self.stream, lineterminator="\n")
        writer.writerow(["path", "name", "line", "cell", "pattern", "decided_by", *analysis.Scores._fields,
                         *(["evidence"] if self.view.explain else [])])
        for result, unit in order(self.view, self.results):
            writer.writerow([output.display_path(result.path), unit.qualname, unit.line,
                             "" if unit.cell is None else unit.cell, unit.pattern_name,
                             analysis.decided_by(unit, self.view.settings.thresholds), *unit.scores,
                             *([analysis.evidence_text(unit.evidence)] if self.view.explain else [])])


# ---------------------------------------------------------------------------------------------
# SARIF and GitHub annotations (one result per unit that is not MIXED)

def file_uri(path: str) -> str:
    """A URI reference for a file name: relative names stay relative; bytes outside the
    unreserved set are percent-encoded, undecodable ones included."""
    data = os.fsencode(path)
    if os.sep != "/":
        data = data.replace(os.sep.encode(), b"/")
    quoted = urllib.parse.quote(data, safe="/")
    return "file://" + quoted if os.path.isabs(path) else quoted


def message(unit: FunctionResult, view: View) -> str:
    text = f"{unit.qualname}: {unit.pattern_name} ({analysis.decided_by(unit, view.settings.thresholds)})"
    if unit.evidence:
        text += f"; {analysis.evidence_text(unit.evidence)}"
    return text


class SarifReport(Report):
    RULES = [name for name in analysis.PATTERN_NAMES if name != "MIXED"]

    def finish(self, totals: Totals) -> None:
        results = []
        for result, unit in order(self.view, self.results):
            if unit.pattern_name == "MIXED":
                continue
            location: dict = {"physicalLocation": {"artifactLocation": {"uri": file_uri(result.path)}},
                              "logicalLocations": [{"fullyQualifiedName": unit.qualname,
                                                    "kind": "module" if unit.qualname == source.MODULE_UNIT else "function"}]}
            properties: dict = {"scores": unit.scores._asdict()}
            if unit.cell is None:
                location["physicalLocation"]["region"] = {"startLine": unit.line}
            else:
                properties.update(cell=unit.cell, line_in_cell=unit.line)
            if self.view.explain:
                properties["evidence"] = evidence_json(unit)
            results.append({"ruleId": unit.pattern_name, "ruleIndex": self.RULES.index(unit.pattern_name),
                            "level": "note", "message": {"text": message(unit, self.view)},
                            "locations": [location], "properties": properties})
        notifications = [{"level": "error", "message": {"text": failure["error"]},
                          "locations": [{"physicalLocation": {"artifactLocation": {"uri": file_uri(failure["path"])}}}]}
                         for failure in totals.failed]
        document = {
            "$schema": "https://json.schemastore.org/sarif-2.1.0.json",
            "version": "2.1.0",
            "runs": [{
                "tool": {"driver": {
                    "name": "klavrix", "version": __version__,
                    "rules": [{"id": name, "shortDescription": {"text": PATTERN_DESCRIPTIONS[name]},
                               "defaultConfiguration": {"level": "note"}} for name in self.RULES],
                }},
                "invocations": [{"executionSuccessful": not totals.failed,
                                 "toolExecutionNotifications": notifications}],
                "results": results,
            }],
        }
        self.write(json.dumps(document))
        self.write("\n")


def _escape_data(text: str) -> str:
    return text.replace("%", "%25").replace("\r", "%0D").replace("\n", "%0A")


def _escape_property(text: str) -> str:
    return _escape_data(text).replace(":", "%3A").replace(",", "%2C")


def annotation(kind: str, path: str, text: str, line: int | None = None, title: str | None = None) -> str:
    """One workflow command: ::notice file=...,line=...,title=...::text"""
    properties = [f"file={_escape_property(output.display_path(path))}"]
    if line is not None:
        properties.append(f"line={line}")
    if title is not None:
        properties.append(f"title={_escape_property(title)}")
    return f"::{kind} {','.join(properties)}::{_escape_data(text)}\n"


class GithubReport(Report):
    def finish(self, totals: Totals) -> None:
        for result, unit in order(self.view, self.results):
            if unit.pattern_name != "MIXED":
                text = message(unit, self.view)
                if unit.cell is not None:
                    text = f"cell {unit.cell}, line {unit.line}: {text}"
                self.write(annotation("notice", result.path, text, unit.line if unit.cell is None else None,
                                      unit.pattern_name))
        for failure in totals.failed:
            self.write(annotation("error", failure["path"], failure["error"]))


def make_report(form: str, view: View, progress: output.Progress) -> Report:
    if form == "table":
        return TableReport(view, progress)
    return {"json": JsonReport, "csv": CsvReport, "sarif": SarifReport, "github": GithubReport}[form](view)
