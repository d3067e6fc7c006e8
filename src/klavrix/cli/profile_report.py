"""The profile report: tables that fit the terminal, one JSON document, or a self-contained HTML page
(inline styles and an inline SVG bar chart, no script, nothing fetched)."""

from __future__ import annotations

import os
from dataclasses import dataclass

from klavrix.cli import output
from klavrix.cli.hotspots import FunctionFacts, Host

DEFAULT_WIDTH = 120  # when the report does not go to a terminal


@dataclass
class Run:
    program: list[str]  # the program's sys.argv
    exit_status: int
    wall_s: float
    overhead_s: float  # estimated time the recording added
    events: int
    threads: int
    host: Host
    host_record: dict  # the record of `klavrix probe --json`
    functions: list[FunctionFacts]  # every recorded function, by inclusive time
    shown: list[FunctionFacts]  # the hot ones, with their decisions
    include_folded: bool

    @property
    def left_out(self) -> int:
        return 0 if self.include_folded else sum(f.folded for f in self.functions)

    @property
    def calls(self) -> int:
        return sum(f.calls for f in self.functions)


def seconds(value: float) -> str:
    for limit, scale, unit in ((1.0, 1.0, "s"), (1e-3, 1e3, "ms"), (1e-6, 1e6, "µs")):
        if value >= limit:
            return f"{value * scale:.1f} {unit}" if unit != "s" else f"{value:.2f} s"
    return f"{value * 1e9:.0f} ns"


def where(function: FunctionFacts, short: bool = False) -> str:
    """file:line, the file relative to the working directory when it lies below it, or only its
    name when `short`."""
    path = function.file
    if short:
        path = os.path.basename(path)
    elif not path.startswith("<"):
        relative = os.path.relpath(path)
        path = relative if not relative.startswith("..") else path
    return f"{path}:{function.line}"


def jit_text(function: FunctionFacts) -> str:
    if function.compiled_at is not None:
        return f"compiled at call {function.compiled_at:,}"
    return f"not hot ({function.calls:,} of {function.compile_threshold:,} calls)"


def head_lines(run: Run) -> list[tuple[str, str]]:
    host = run.host
    share = f" ({100 * run.overhead_s / run.wall_s:.1f}%)" if run.wall_s > 0 else ""
    left_out = f"; {run.left_out:,} of the standard library and klavrix left out (--all)" if run.left_out else ""
    return [
        ("wall time", f"{seconds(run.wall_s)}, profiling overhead about {seconds(run.overhead_s)}{share}"),
        ("host", f"{output.plural(host.physical_cores, 'physical core')}, {output.plural(host.numa_nodes, 'NUMA node')}, "
                 f"GPU {host.gpu}, worker pool {host.pool_size}"),
        ("recorded", f"{output.plural(run.calls, 'call')} of {output.plural(len(run.functions), 'function')} in "
                     f"{output.plural(run.threads, 'thread')}{left_out}"),
    ]


def text(run: Run, explain: bool, width: int = DEFAULT_WIDTH) -> str:
    command = " ".join(run.program)
    parts = [f"klavrix profile: {command} (exit status {run.exit_status})\n", output.key_values(head_lines(run))]
    if not run.shown:
        parts.append("\nNo function of the program ran.\n")
        return "".join(parts)

    parts.append(f"\nWhere the time goes (top {len(run.shown)} by inclusive time)\n")
    rows = []
    for rank, f in enumerate(run.shown, 1):
        spread = f" ± {seconds(f.std_s)}" if f.calls > 1 else ""
        rows.append((str(rank), f"{100 * f.share:.1f}%", seconds(f.inclusive_s), seconds(f.self_s), f"{f.calls:,}",
                     seconds(f.mean_s) + spread, f"{f.name}  {where(f, short=True)}"))
    parts.append(output.table(("#", "share", "inclusive", "self", "calls", "per call", "function"), rows,
                              right=(0, 1, 2, 3, 4), width=width, wrap_last=True))

    parts.append("\nWhat the runtime would decide\n")
    rows = []
    for rank, f in enumerate(run.shown, 1):
        advice = f.suggestion or ""
        if explain and f.evidence:
            advice += f" [{f.pattern}: {f.evidence}]"
        rows.append((str(rank), f.pattern or "-", jit_text(f), advice))
    parts.append(output.table(("#", "pattern", "JIT", "suggestion"), rows, right=(0,), width=width, wrap_last=True))
    return "".join(parts)


def document(run: Run) -> dict:
    host = run.host
    return {
        "program": run.program,
        "exit_status": run.exit_status,
        "times": {"wall_s": run.wall_s, "overhead_s": run.overhead_s, "events": run.events},
        "host": {"physical_cores": host.physical_cores, "numa_nodes": host.numa_nodes, "gpu": host.gpu,
                 "pool_size": host.pool_size, **run.host_record},
        "recorded": {"calls": run.calls, "functions": len(run.functions), "threads": run.threads,
                     "left_out": run.left_out},
        "functions": [{"rank": rank, **f.as_dict()} for rank, f in enumerate(run.shown, 1)],
    }


def json_text(run: Run) -> str:
    import json

    return json.dumps(document(run)) + "\n"


# ---------------------------------------------------------------------------------------------
# HTML

PATTERN_COLOURS = {
    "MIXED": "#9e9e9e", "CPU_INTENSIVE": "#d62728", "MEMORY_INTENSIVE": "#8c564b", "PARALLEL_FRIENDLY": "#2ca02c",
    "SEQUENTIAL": "#7f7f7f", "GPU_SUITABLE": "#9467bd", "GPU_COMPUTE_INTENSIVE": "#6a3d9a",
    "GPU_MEMORY_BOUND": "#c5b0d5", "NUMPY_VECTORIZED": "#1f77b4", "NUMPY_LINALG": "#aec7e8",
    "PANDAS_DATAFRAME": "#ff7f0e", "PANDAS_GROUPBY": "#ffbb78", "SKLEARN_TRAINING": "#17becf",
    "SKLEARN_INFERENCE": "#9edae5",
}
UNCLASSIFIED_COLOUR = "#d9d9d9"

_STYLE = """
body { font: 14px/1.4 system-ui, sans-serif; margin: 1.5em; color: #222; }
h1 { font-size: 1.3em; margin: 0 0 .3em; }
dl.head { display: grid; grid-template-columns: max-content auto; gap: .1em 1em; margin: 0 0 1em; }
dl.head dt { font-weight: 600; }
dl.head dd { margin: 0; }
.layout { display: flex; flex-wrap: wrap; gap: 2em; align-items: flex-start; }
table { border-collapse: collapse; }
th, td { padding: .25em .6em; border-bottom: 1px solid #ddd; text-align: left; vertical-align: top; }
td.num { text-align: right; font-variant-numeric: tabular-nums; }
.legend span { display: inline-block; margin-right: 1em; white-space: nowrap; }
.swatch { display: inline-block; width: .9em; height: .9em; margin-right: .3em; vertical-align: -.1em; }
"""


def html(run: Run) -> str:
    import html

    e = html.escape
    bar_height, gap, label_width, bar_width = 18, 6, 260, 320
    height = max(len(run.shown), 1) * (bar_height + gap)
    largest = max([f.share for f in run.shown] + [1e-12])
    bars = []
    for index, f in enumerate(run.shown):
        y = index * (bar_height + gap)
        colour = PATTERN_COLOURS.get(f.pattern or "", UNCLASSIFIED_COLOUR)
        length = max(1.0, bar_width * f.share / largest)
        label = f.name if len(f.name) <= 36 else f.name[:35] + "…"
        bars.append(
            f'<g><title>{e(f.name)}: {100 * f.share:.1f}% ({e(f.pattern or "not classified")})</title>'
            f'<text x="{label_width - 6}" y="{y + bar_height - 5}" text-anchor="end">{e(label)}</text>'
            f'<rect x="{label_width}" y="{y}" width="{length:.1f}" height="{bar_height}" fill="{colour}"/>'
            f'<text x="{label_width + length + 4:.1f}" y="{y + bar_height - 5}">{100 * f.share:.1f}%</text></g>')
    chart = (f'<svg xmlns="http://www.w3.org/2000/svg" width="{label_width + bar_width + 60}" height="{height}" '
             f'role="img" aria-label="time share per function" font-size="12">{"".join(bars)}</svg>')
    patterns = sorted({f.pattern for f in run.shown if f.pattern})
    legend = "".join(f'<span><i class="swatch" style="background:{PATTERN_COLOURS.get(p, UNCLASSIFIED_COLOUR)}">'
                     f'</i>{e(p)}</span>' for p in patterns)
    rows = "".join(
        f"<tr><td class=num>{rank}</td><td>{e(f.name)}<br><small>{e(where(f))}</small></td>"
        f"<td class=num>{100 * f.share:.1f}%</td><td class=num>{e(seconds(f.inclusive_s))}</td>"
        f"<td class=num>{e(seconds(f.self_s))}</td><td class=num>{f.calls:,}</td>"
        f"<td class=num>{e(seconds(f.mean_s))}</td><td>{e(f.pattern or '-')}"
        f"{'<br><small>' + e(f.evidence) + '</small>' if f.evidence else ''}</td>"
        f"<td>{e(jit_text(f))}</td><td>{e(f.suggestion or '')}</td></tr>"
        for rank, f in enumerate(run.shown, 1))
    head = "".join(f"<dt>{e(label)}</dt><dd>{e(value)}</dd>" for label, value in head_lines(run))
    command = " ".join(run.program)
    return (
        "<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\">"
        f"<title>klavrix profile: {e(command)}</title><style>{_STYLE}</style></head><body>"
        f"<h1>klavrix profile: {e(command)}</h1>"
        f"<dl class=head><dt>exit status</dt><dd>{run.exit_status}</dd>{head}</dl>"
        f"<div class=layout><figure>{chart}<figcaption class=legend>{legend}</figcaption></figure>"
        "<table><thead><tr><th>#</th><th>function</th><th>share</th><th>inclusive</th><th>self</th><th>calls</th>"
        "<th>per call</th><th>pattern</th><th>JIT</th><th>suggestion</th></tr></thead>"
        f"<tbody>{rows}</tbody></table></div></body></html>\n")
