"""Compilegate against a pure-Python implementation of the same policy, on the same store.

Two stores hand out one fixed FunctionMetrics record: a Python class whose get_metrics is a
Python method, and a trivial one whose get_metrics is a dict's own lookup. Both policies pay the
same get_metrics call, which is listed alone as the floor of should_compile and update. update()
also runs with its DEBUG line always formatted, to show what skipping it while DEBUG is off saves.
"""

from __future__ import annotations

import logging
import threading
import time
import types
from dataclasses import dataclass
from itertools import repeat

from harness import report, section, with_attribute

from klavrix.jit import compilegate
from klavrix.jit.compilegate import Compilegate, FunctionMetrics

OPS = 100_000
logger = logging.getLogger("bench.compilegate")


@dataclass
class PyConfig:
    initial_threshold: int = 100
    min_threshold: int = 10
    max_threshold: int = 10000
    learning_rate: float = 0.1
    target_speedup: float = 2.0


class PyPolicy:
    """The same policy in plain Python: one dict, one threading.Lock."""

    def __init__(self) -> None:
        self.config = PyConfig()
        self.thresholds: dict = {}
        self._lock = threading.Lock()
        self.min_recompile_interval = 600.0

    def get_threshold(self, func_id):
        with self._lock:
            return self.thresholds.get(func_id, self.config.initial_threshold)

    def should_compile(self, func_id, store):
        now = time.time()
        with self._lock:
            threshold = self.thresholds.get(func_id, self.config.initial_threshold)
            metrics = store.get_metrics(func_id)
            call_count, compile_count = metrics.call_count, metrics.compile_count
            last_compiled = getattr(metrics, "last_compiled", 0.0)
        if call_count < threshold:
            return False
        if compile_count == 0:
            return True
        return now - last_compiled >= self.min_recompile_interval

    def update(self, func_id, store):
        config = self.config
        with self._lock:
            metrics = store.get_metrics(func_id)
            if metrics.compile_count == 0:
                return
            current = self.thresholds.get(func_id, config.initial_threshold)
            target = config.target_speedup if config.target_speedup > 0 else 1.0
            ratio = metrics.avg_speedup / target
            rate = config.learning_rate - min(0.1 * metrics.compile_count, 1.0) * config.learning_rate
            value = current + rate * (-current if ratio > 1.0 else current)
            if value < config.min_threshold or value != value:
                new = config.min_threshold
            elif value > config.max_threshold:
                new = config.max_threshold
            else:
                new = int(value)
            self.thresholds[func_id] = new
        if logger.isEnabledFor(logging.DEBUG):
            logger.debug(f"Updated threshold for {func_id}: {current} -> {new} (speedup: {metrics.avg_speedup:.2f}x)")


class FixedStore:
    def __init__(self, record) -> None:
        self.record = record

    def get_metrics(self, func_id):
        return self.record


class TrivialStore:
    """get_metrics is the bound __getitem__ of a dict: a store call with no Python frame."""

    def __init__(self, records: dict) -> None:
        self.get_metrics = records.__getitem__


def loop(call, *args):
    """OPS direct calls of call(*args), without argument unpacking in the loop (and, as timeit
    does, without making an int per iteration)."""
    if len(args) == 1:
        (first,) = args

        def run():
            for _ in repeat(None, OPS):
                call(first)
    else:
        first, second = args

        def run():
            for _ in repeat(None, OPS):
                call(first, second)
    return run


def main() -> None:
    section("compilegate: Compilegate")
    native, python = Compilegate(), PyPolicy()
    # Compiled 3 times at 3x, 20 minutes ago: should_compile runs every test; update keeps moving
    # the threshold until it rests on the minimum, and still does all the arithmetic there.
    record = FunctionMetrics(call_count=5000, compile_count=3, avg_speedup=3.0, last_compiled=time.time() - 1200.0)
    stores = {"Python store": FixedStore(record), "trivial store": TrivialStore({"tracked": record})}
    native.update("tracked", stores["Python store"])
    python.update("tracked", stores["Python store"])
    plain_logger = types.SimpleNamespace(debug=compilegate.logger.debug)

    for func_id in ("tracked", "untracked"):
        report(f"get_threshold(), {func_id} function", {
            "native": loop(native.get_threshold, func_id),
            "pure Python": loop(python.get_threshold, func_id),
        }, OPS)
    for kind, store in stores.items():
        report(f"should_compile(), compiled function (every test runs), {kind}", {
            "native": loop(native.should_compile, "tracked", store),
            "pure Python": loop(python.should_compile, "tracked", store),
            "store.get_metrics() alone": loop(store.get_metrics, "tracked"),
        }, OPS)
        report(f"update(), DEBUG off, {kind}", {
            "native": loop(native.update, "tracked", store),
            # The module's logger behind a plain object: update() formats its DEBUG line and the
            # standard Logger.debug drops it (what the native check saves).
            "native, line always formatted": with_attribute(compilegate, "logger", plain_logger,
                                                            loop(native.update, "tracked", store)),
            "pure Python": loop(python.update, "tracked", store),
            "store.get_metrics() alone": loop(store.get_metrics, "tracked"),
        }, OPS)
