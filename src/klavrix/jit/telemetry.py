"""The least telemetry store that the compilation policy's calling cycle needs.

The runtime records each call (`record_call`) and each compilation with its measured speed-up
(`record_compile`); the policy reads a snapshot through `get_metrics`. One lock guards the
records, so the store can be shared between threads.
"""

from __future__ import annotations

import threading
import time
from typing import Dict, Optional

from klavrix.jit.compilegate import FunctionMetrics


class TelemetryStore:
    """Per-function call and compilation counters, keyed by function identifier."""

    def __init__(self) -> None:
        self._lock = threading.Lock()
        self._records: Dict[Optional[str], FunctionMetrics] = {}

    def _record(self, func_id: Optional[str]) -> FunctionMetrics:
        record = self._records.get(func_id)
        if record is None:
            record = self._records[func_id] = FunctionMetrics()
        return record

    def record_call(self, func_id: Optional[str], execution_time_ms: float = 0.0) -> None:
        """Count one call of the function, taking execution_time_ms."""
        with self._lock:
            record = self._record(func_id)
            record.call_count += 1
            record.total_execution_time_ms += execution_time_ms

    def record_compile(self, func_id: Optional[str], speedup: float, timestamp: Optional[float] = None) -> None:
        """Count one compilation that achieved `speedup`; avg_speedup is the mean over all of them."""
        when = time.time() if timestamp is None else timestamp
        with self._lock:
            record = self._record(func_id)
            count = record.compile_count + 1
            record.avg_speedup = (record.avg_speedup * (count - 1) + speedup) / count  # the first is exact
            record.compile_count = count
            record.last_compiled = when

    def get_metrics(self, func_id: Optional[str]) -> FunctionMetrics:
        """A snapshot of the function's counters (all zero for an unknown function)."""
        with self._lock:
            record = self._records.get(func_id)
            if record is None:
                return FunctionMetrics()
            return FunctionMetrics(
                call_count=record.call_count,
                compile_count=record.compile_count,
                avg_speedup=record.avg_speedup,
                total_execution_time_ms=record.total_execution_time_ms,
                last_compile_time=record.last_compiled,
                last_compiled=record.last_compiled,
            )
