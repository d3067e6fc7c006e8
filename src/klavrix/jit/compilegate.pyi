from logging import Logger
from typing import ClassVar, Protocol, Self, TypedDict

from typing_extensions import CapsuleType, disjoint_base

class _Metrics(Protocol):
    # What the policy reads of a telemetry record; `last_compiled` is read when present.
    @property
    def call_count(self) -> int: ...
    @property
    def compile_count(self) -> int: ...
    @property
    def avg_speedup(self) -> float: ...

class _TelemetrySource(Protocol):
    def get_metrics(self, func_id: str | None, /) -> _Metrics: ...

class _PolicyStatistics(TypedDict):
    tracked_functions: int
    avg_threshold: float  # an int while no function is tracked
    min_threshold: int
    max_threshold: int

logger: Logger

@disjoint_base
class PolicyConfig:
    __native_api__: ClassVar[CapsuleType]
    initial_threshold: int
    min_threshold: int
    max_threshold: int
    learning_rate: float
    target_speedup: float
    def __new__(
        cls,
        initial_threshold: int = 100,
        min_threshold: int = 10,
        max_threshold: int = 10000,
        learning_rate: float = 0.1,
        target_speedup: float = 2.0,
    ) -> Self: ...

@disjoint_base
class FunctionMetrics:
    __native_api__: ClassVar[CapsuleType]
    call_count: int
    compile_count: int
    avg_speedup: float
    total_execution_time_ms: float
    last_compiled: float
    last_compile_time: float
    # last_compiled, when >= 0, wins over last_compile_time; both name the same stored field.
    def __new__(
        cls,
        call_count: int = 0,
        compile_count: int = 0,
        avg_speedup: float = 1.0,
        total_execution_time_ms: float = 0.0,
        last_compile_time: float = 0.0,
        last_compiled: float = -1.0,
    ) -> Self: ...

@disjoint_base
class Compilegate:
    __native_api__: ClassVar[CapsuleType]
    def __new__(cls, config: PolicyConfig | None = None) -> Self: ...
    @property
    def config(self) -> PolicyConfig: ...
    def get_threshold(self, func_id: str | None) -> int: ...
    def should_compile(self, func_id: str | None, telemetry_store: _TelemetrySource) -> bool: ...
    def update(self, func_id: str | None, telemetry_store: _TelemetrySource) -> None: ...
    def get_statistics(self) -> _PolicyStatistics: ...

def get_compilegate() -> Compilegate: ...
def reset_compilegate() -> None: ...
def create_function_metrics(
    call_count: int = 0,
    compile_count: int = 0,
    avg_speedup: float = 1.0,
    total_execution_time_ms: float = 0.0,
    last_compile_time: float = 0.0,
) -> FunctionMetrics: ...
def create_policy_config(
    initial_threshold: int = 100,
    min_threshold: int = 10,
    max_threshold: int = 10000,
    learning_rate: float = 0.1,
    target_speedup: float = 2.0,
) -> PolicyConfig: ...
