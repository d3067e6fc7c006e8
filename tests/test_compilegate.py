import copy
import ctypes
import gc
import logging
import math
import pickle
import subprocess
import sys
import threading
import time
import types

import pytest
from hypothesis import given, strategies as st

from klavrix.jit import compilegate as cg
from klavrix.jit.compilegate import (Compilegate, FunctionMetrics, PolicyConfig, create_function_metrics,
                                     create_policy_config, get_compilegate, reset_compilegate)
from klavrix.jit.telemetry import TelemetryStore
from threads import call_in_thread

INT32_MIN, INT32_MAX = -2**31, 2**31 - 1
NO_PICKLE = "no default __reduce__ due to non-trivial __cinit__"


class Store:
    """A telemetry store that hands out one fixed record."""

    def __init__(self, record):
        self.record = record

    def get_metrics(self, func_id):
        return self.record


def metrics(**fields):
    return types.SimpleNamespace(**fields)


def run_threads(count, target, timeout=None):
    workers = [threading.Thread(target=target, daemon=True) for _ in range(count)]
    for worker in workers:
        worker.start()
    for worker in workers:
        worker.join(timeout)
    return not any(worker.is_alive() for worker in workers)


def assert_unlocked(gate):
    assert run_threads(1, gate.get_statistics, timeout=5), "policy lock left held"


# --- PolicyConfig and FunctionMetrics ---------------------------------------------------------

@pytest.mark.parametrize("kwargs, message", [
    (dict(min_threshold=0), "min_threshold must be positive"),
    (dict(min_threshold=-1, learning_rate=5.0), "min_threshold must be positive"),
    (dict(min_threshold=10, max_threshold=10, initial_threshold=10), "max_threshold must be greater than min_threshold"),
    (dict(learning_rate=0.0), r"learning_rate must be in \(0, 1\]"),
    (dict(learning_rate=math.nan), r"learning_rate must be in \(0, 1\]"),
    (dict(target_speedup=math.nan), "target_speedup must be positive"),
    (dict(initial_threshold=5), "initial_threshold must be within bounds"),
])
def test_policy_config_validation_order(kwargs, message):
    for make in (PolicyConfig, create_policy_config):
        with pytest.raises(ValueError, match=f"^{message}$"):
            make(**kwargs)


def test_policy_config_values_and_conversions():
    config = PolicyConfig()
    assert (config.initial_threshold, config.min_threshold, config.max_threshold,
            config.learning_rate, config.target_speedup) == (100, 10, 10000, 0.1, 2.0)
    assert PolicyConfig(initial_threshold=100.9).initial_threshold == 100
    assert PolicyConfig(10, 10, 11, 1.0).initial_threshold == 10 and PolicyConfig(11, 10, 11).initial_threshold == 11
    with pytest.raises(OverflowError, match="^value too large to convert to int$"):  # before validation
        PolicyConfig(min_threshold=0, max_threshold=2**31)
    with pytest.raises(TypeError, match="^an integer is required$"):
        PolicyConfig(min_threshold="5")
    config.min_threshold = 0  # setters do not validate
    assert config.min_threshold == 0
    with pytest.raises(NotImplementedError, match="^__del__$"):
        del config.learning_rate
    assert not hasattr(config, "__dict__") and not hasattr(FunctionMetrics(), "__dict__")


def test_function_metrics_fields():
    assert FunctionMetrics(last_compile_time=7.0).last_compiled == 7.0
    assert FunctionMetrics(last_compiled=0.0, last_compile_time=7.0).last_compiled == 0.0
    assert FunctionMetrics(last_compiled=-0.5, last_compile_time=7.0).last_compiled == 7.0
    record = FunctionMetrics(2**64 - 1, 2**32 - 1)
    record.last_compile_time = 3.5
    assert record.last_compiled == 3.5
    for name, value, message in [("call_count", -1, "can't convert negative value to uint64_t"),
                                 ("compile_count", -1, "can't convert negative value to uint32_t"),
                                 ("compile_count", 2**32, "value too large to convert to uint32_t")]:
        with pytest.raises(OverflowError, match=f"^{message}$"):
            FunctionMetrics(**{name: value})
        with pytest.raises(OverflowError, match=f"^{message}$"):
            setattr(record, name, value)
    assert (record.call_count, record.compile_count) == (2**64 - 1, 2**32 - 1)  # failed sets change nothing
    made = create_function_metrics(call_count=2.7, last_compile_time=4.0)
    assert (made.call_count, made.last_compiled) == (2, 4.0)
    with pytest.raises(TypeError, match=r"^Argument 'call_count' has incorrect type \(expected int, got str\)$"):
        create_function_metrics(call_count="3")


@pytest.mark.parametrize("make", [PolicyConfig, FunctionMetrics, Compilegate])
def test_pickling_and_copying_refused(make):
    for attempt in (pickle.dumps, copy.copy, copy.deepcopy, lambda obj: obj.__setstate__({})):
        with pytest.raises(TypeError, match=f"^{NO_PICKLE}$"):
            attempt(make())


def test_native_api_tables():
    get_pointer = ctypes.pythonapi.PyCapsule_GetPointer
    get_pointer.restype, get_pointer.argtypes = ctypes.c_void_p, [ctypes.py_object, ctypes.c_char_p]

    def entries(cls, *result_types, args=1):
        name = f"{cls.__module__}.{cls.__name__}.__native_api__".encode()
        slots = (ctypes.c_void_p * len(result_types)).from_address(get_pointer(cls.__native_api__, name))
        return [ctypes.PYFUNCTYPE(rt, *[ctypes.py_object] * args)(slot) for rt, slot in zip(result_types, slots)]

    i32, f64 = ctypes.c_int32, ctypes.c_double
    config, record = PolicyConfig(50, 5, 500, 0.25, 3.0), FunctionMetrics(2**63, 7, 2.5, 9.0, last_compiled=11.0)
    assert [get(config) for get in entries(PolicyConfig, i32, i32, i32, f64, f64)] == [50, 5, 500, 0.25, 3.0]
    assert [get(record) for get in entries(FunctionMetrics, ctypes.c_uint64, ctypes.c_uint32, f64, f64)] == [
        2**63, 7, 2.5, 11.0]
    assert entries(Compilegate, i32, args=2)[0](Compilegate(config), None) == 50


# --- Compilegate ------------------------------------------------------------------------------

def test_construction_from_configs():
    config = PolicyConfig(50, 5, 500)
    sub = type("Sub", (PolicyConfig,), {})()
    assert Compilegate(config=config).config is config and Compilegate(sub).config is sub
    foreign = Compilegate(types.SimpleNamespace(min_threshold=5)).config
    assert type(foreign) is PolicyConfig
    assert (foreign.initial_threshold, foreign.min_threshold, foreign.max_threshold,
            foreign.learning_rate, foreign.target_speedup) == (100, 5, 10000, 0.1, 2.0)
    with pytest.raises(ValueError, match="^min_threshold must be positive$"):
        Compilegate(types.SimpleNamespace(min_threshold=0))
    gate = Compilegate()
    with pytest.raises(AttributeError):
        gate.config = config  # read-only; the other fields are not reachable at all
    assert not hasattr(gate, "thresholds") and not hasattr(gate, "_lock")
    assert gate.get_threshold("anything") == 100 and gate.get_threshold(None) == 100
    stats = gate.get_statistics()
    assert stats == {"tracked_functions": 0, "avg_threshold": 100, "min_threshold": 10, "max_threshold": 10000}
    assert all(type(value) is int for value in stats.values())


@pytest.mark.parametrize("current, compile_count, speedup, expected", [
    (100, 1, 3.0, 91), (100, 1, 1.0, 109), (100, 3, 2.0, 107), (100, 10, 3.0, 100), (100, 57, 0.5, 100),
    (10, 1, 3.0, 10), (50, 1, 10.0, 45), (100, 1, math.nan, 109), (9990, 1, 0.1, 10000),
])
def test_update_worked_values(current, compile_count, speedup, expected):
    gate = Compilegate(PolicyConfig(initial_threshold=current))
    gate.update("f", Store(FunctionMetrics(compile_count=compile_count, avg_speedup=speedup)))
    assert gate.get_threshold("f") == expected
    assert gate.get_threshold("other") == current


def update_model(current, compile_count, speedup, lr, target, low, high):
    ratio = speedup / (target if target > 0 else 1.0)
    rate = lr - min(0.1 * compile_count, 1.0) * lr
    value = current + rate * (-current if ratio > 1.0 else current)
    if value < low or math.isnan(value):
        return low
    return high if value > high else int(value)


int32 = st.integers(INT32_MIN, INT32_MAX)


@given(current=int32, compile_count=st.integers(1, 2**32 - 1), speedup=st.floats(), lr=st.floats(),
       target=st.floats(), low=int32, high=int32)
def test_update_matches_model_for_any_config(current, compile_count, speedup, lr, target, low, high):
    config = PolicyConfig()
    # Set through the unvalidated setters: inverted bounds, NaN and infinite rates included.
    config.initial_threshold, config.min_threshold, config.max_threshold = current, low, high
    config.learning_rate, config.target_speedup = lr, target
    gate = Compilegate(config)
    gate.update("f", Store(metrics(compile_count=compile_count, avg_speedup=speedup)))
    assert gate.get_threshold("f") == update_model(current, compile_count, speedup, lr, target, low, high)


def test_config_changes_apply_at_next_call():
    gate = Compilegate()
    gate.config.target_speedup = 0  # divides by 1.0 instead: 1.5 then beats the target
    gate.update("f", Store(FunctionMetrics(compile_count=1, avg_speedup=1.5)))
    assert gate.get_threshold("f") == 91
    gate.config.initial_threshold = 7
    assert gate.get_threshold("g") == 7 and gate.get_threshold("f") == 91
    gate.config.min_threshold, gate.config.max_threshold = 200, 50  # inverted: the minimum test comes first
    gate.update("f", Store(FunctionMetrics(compile_count=1, avg_speedup=3.0)))
    assert gate.get_threshold("f") == 200


def test_update_logging(caplog, monkeypatch):
    gate = Compilegate()
    gate.update("f", Store(FunctionMetrics(compile_count=1, avg_speedup=3.0)))  # DEBUG off: nothing
    caplog.set_level(logging.DEBUG, logger="klavrix.jit.compilegate")
    gate.update("f", Store(FunctionMetrics(compile_count=0, avg_speedup=3.0)))  # nothing to learn from
    gate.update("f", Store(metrics(compile_count=0.0)))  # compared with ==, never converted
    gate.update(None, Store(FunctionMetrics(compile_count=1, avg_speedup=1.0 / 3)))
    gate.update("100%s", Store(FunctionMetrics(compile_count=12, avg_speedup=-2.675)))  # unchanged, still logged
    assert [r.getMessage() for r in caplog.records if r.name == cg.__name__] == [
        "Updated threshold for None: 100 -> 109 (speedup: 0.33x)",
        "Updated threshold for 100%s: 100 -> 100 (speedup: -2.67x)"]  # -2.675 is stored as -2.67499...
    lines = []
    monkeypatch.setattr(cg, "logger", types.SimpleNamespace(debug=lines.append))
    gate.update("g", Store(FunctionMetrics(compile_count=1, avg_speedup=math.inf)))
    assert lines == ["Updated threshold for g: 100 -> 91 (speedup: infx)"]
    # A debug() replaced on the real logger is called even while DEBUG is off.
    monkeypatch.undo()
    real_logger, replaced = logging.getLogger(cg.__name__), []
    real_logger.setLevel(logging.WARNING)
    real_logger.isEnabledFor(logging.DEBUG)  # fills the level cache with False
    monkeypatch.setattr(real_logger, "debug", replaced.append, raising=False)
    gate.update("h", Store(FunctionMetrics(compile_count=1, avg_speedup=3.0)))
    assert replaced == ["Updated threshold for h: 100 -> 91 (speedup: 3.00x)"]
    real_logger.setLevel(logging.NOTSET)


@pytest.mark.parametrize("call_count, compile_count, age, expected", [
    (99, 0, None, False), (100, 0, None, True), (10**6, 0, 0.0, True),
    (99, 5, 10**6, False), (100, 5, 601.0, True), (100, 5, 500.0, False), (100, 5, -10**6, False),
    (2**64 - 1, 2**32 - 1, 0.0, False),
])
def test_should_compile_decision_order(call_count, compile_count, age, expected):
    last = 0.0 if age is None else time.time() - age
    record = FunctionMetrics(call_count=call_count, compile_count=compile_count, last_compiled=last)
    assert Compilegate().should_compile("f", Store(record)) is expected
    duck = metrics(call_count=call_count, compile_count=compile_count, last_compiled=last)
    assert Compilegate().should_compile("f", Store(duck)) is expected


def test_should_compile_record_variants(monkeypatch):
    gate = Compilegate()
    monkeypatch.setattr(cg, "time", types.SimpleNamespace(time=lambda: 1600.0))  # the module's clock
    assert gate.should_compile("f", Store(metrics(call_count=100, compile_count=1, last_compiled=1000.0))) is True
    assert gate.should_compile("f", Store(metrics(call_count=100, compile_count=1, last_compiled=1000.5))) is False
    assert gate.should_compile("f", Store(metrics(call_count=100, compile_count=1))) is True  # compiled at 0.0
    assert gate.should_compile("f", Store(metrics(call_count=100, compile_count=1, last_compiled=math.nan))) is False
    gate.config.initial_threshold = -5  # compared as numbers: any count reaches a negative threshold
    assert gate.should_compile("f", Store(FunctionMetrics())) is True


def test_func_id_must_be_str_or_none():
    gate = Compilegate()
    for call in (gate.get_threshold, lambda f: gate.should_compile(f, None), lambda f: gate.update(f, None)):
        with pytest.raises(TypeError, match=r"^Argument 'func_id' has incorrect type \(expected str, got int\)$"):
            call(42)
    gate.update(None, Store(FunctionMetrics(compile_count=1, avg_speedup=3.0)))
    assert gate.get_threshold(None) == 91 and gate.get_threshold("None") == 100


class FailingStore:
    def get_metrics(self, func_id):
        raise KeyError(func_id)


BOTH, DECIDE, LEARN = ("should_compile", "update"), ("should_compile",), ("update",)


@pytest.mark.parametrize("store, calls, error, message", [
    (FailingStore(), BOTH, KeyError, "'f'"),
    (object(), BOTH, AttributeError, "get_metrics"),
    (Store(metrics(compile_count=1)), DECIDE, AttributeError, "call_count"),
    (Store(metrics(compile_count=1)), LEARN, AttributeError, "avg_speedup"),
    (Store(metrics(call_count=-1, compile_count=1)), DECIDE, OverflowError,
     "^can't convert negative value to uint64_t$"),
    (Store(metrics(call_count=500, compile_count=-1, avg_speedup=2.0)), BOTH, OverflowError,
     "^can't convert negative value to uint32_t$"),
    (Store(metrics(call_count=500, compile_count=2**32, avg_speedup=2.0)), BOTH, OverflowError,
     "^value too large to convert to uint32_t$"),
    (Store(metrics(call_count=500, compile_count=1, last_compiled="x")), DECIDE, TypeError, "must be real number"),
])
def test_bad_stores_propagate_and_release_the_lock(store, calls, error, message):
    gate = Compilegate()
    for name in calls:
        with pytest.raises(error, match=message):
            getattr(gate, name)("f", store)
        assert_unlocked(gate)
    assert gate.get_statistics()["tracked_functions"] == 0


def test_records_are_released_after_the_lock():
    gate, seen = Compilegate(), []

    class Record(types.SimpleNamespace):
        def __del__(self):  # a finaliser that reads the policy must not find the lock held
            seen.append(gate.get_threshold("f"))

    store = types.SimpleNamespace(get_metrics=lambda f: Record(call_count=1, compile_count=1, avg_speedup=3.0))
    assert run_threads(1, lambda: (gate.should_compile("f", store), gate.update("f", store)), timeout=5)
    assert seen == [100, 91]


def test_get_threshold_waits_for_an_update_in_progress():
    gate, inside, finish, seen = Compilegate(), threading.Event(), threading.Event(), []

    def slow_metrics(func_id):
        inside.set()
        finish.wait(5)  # holds the policy lock, with the interpreter lock released
        return FunctionMetrics(call_count=1, compile_count=1, avg_speedup=3.0)

    updater = threading.Thread(target=gate.update, args=("f", types.SimpleNamespace(get_metrics=slow_metrics)))
    reader = threading.Thread(target=lambda: seen.append(gate.get_threshold("f")))
    updater.start()
    assert inside.wait(5)
    reader.start()
    reader.join(0.2)
    assert reader.is_alive() and seen == []  # blocked on the lock, not answering from a stale dict
    finish.set()
    updater.join(5)
    reader.join(5)
    assert seen == [91]


def test_out_of_range_stored_threshold():
    gate = Compilegate()
    (thresholds,) = [ref for ref in gc.get_referents(gate) if type(ref) is dict]
    thresholds["f"] = 2**31  # unreachable through update; planted to check the lookup
    for call in (gate.should_compile, gate.update):
        with pytest.raises(OverflowError, match="^value too large to convert to int32_t$"):
            call("f", Store(FunctionMetrics(compile_count=1)))
        assert_unlocked(gate)
    assert thresholds == {"f": 2**31}


def test_statistics_after_updates():
    gate = Compilegate()
    for func_id, speedup in (("a", 3.0), ("b", 1.0)):
        gate.update(func_id, Store(FunctionMetrics(compile_count=1, avg_speedup=speedup)))
    stats = gate.get_statistics()
    assert stats == {"tracked_functions": 2, "avg_threshold": 100.0, "min_threshold": 91, "max_threshold": 109}
    assert type(stats["avg_threshold"]) is float and gate.get_statistics() is not stats


# --- The shared policy ------------------------------------------------------------------------

def test_shared_policy_lifecycle(monkeypatch):
    reset_compilegate()
    first = get_compilegate()
    assert get_compilegate() is first and type(first) is Compilegate
    assert reset_compilegate() is None
    assert get_compilegate() is not first
    assert first.get_threshold("f") == 100  # still usable
    assert not hasattr(cg, "_global_policy")
    monkeypatch.delattr(cg, "_policy_lock")
    for call in (get_compilegate, reset_compilegate):
        with pytest.raises(NameError):
            call()


def test_concurrent_first_calls_create_one_policy(monkeypatch):
    created = []

    def slow_lock():  # yields the interpreter inside policy creation, inviting a race
        time.sleep(0)
        created.append(threading.Lock())
        return created[-1]

    monkeypatch.setattr(cg, "threading", types.SimpleNamespace(Lock=slow_lock))
    reset_compilegate()
    barrier, seen = threading.Barrier(8), []
    run_threads(8, lambda: (barrier.wait(), seen.append(get_compilegate())))
    assert len(created) == 1 and len({id(policy) for policy in seen}) == 1 and len(seen) == 8
    reset_compilegate()


# --- Load time and the full cycle -------------------------------------------------------------

def test_load_line_and_module_order():
    script = ("import logging; logging.basicConfig(level=logging.INFO, format='%(name)s|%(levelname)s|%(message)s')\n"
              "import klavrix.jit.compilegate as m\n"
              "print([k for k in vars(m) if not k.startswith('__')])")
    done = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, check=True)
    assert done.stderr.splitlines() == [
        "klavrix.jit.compilegate|INFO|Klavrix Compilegate Cython module loaded - IP protected"]
    assert done.stdout.strip() == str([
        "time", "logging", "threading", "Dict", "Optional", "logger", "PolicyConfig", "FunctionMetrics",
        "Compilegate", "_policy_lock", "get_compilegate", "reset_compilegate", "create_function_metrics",
        "create_policy_config"])


def test_end_to_end_cycle_with_telemetry_store():
    store, gate = TelemetryStore(), Compilegate()
    decisions = []
    for _ in range(100):
        store.record_call("f", 0.5)
        decisions.append(gate.should_compile("f", store))
    assert decisions == [False] * 99 + [True]
    store.record_compile("f", speedup=3.0)
    gate.update("f", store)
    assert gate.get_threshold("f") == 91
    assert gate.should_compile("f", store) is False  # compiled just now
    store.record_compile("f", speedup=1.0, timestamp=time.time() - 601)  # mean 2.0: ratio 1.0 raises it
    gate.update("f", store)
    assert gate.get_threshold("f") == 98  # 91 + 0.08 * 91 = 98.28
    assert gate.should_compile("f", store) is True
    record = store.get_metrics("f")
    assert (record.call_count, record.compile_count, record.avg_speedup, record.total_execution_time_ms) == (
        100, 2, 2.0, 50.0)


def test_telemetry_store_counts_exactly_across_threads():
    store = TelemetryStore()
    run_threads(4, lambda: [store.record_call("f") for _ in range(2000)])
    assert store.get_metrics("f").call_count == 8000
    assert store.get_metrics("unknown").compile_count == 0


# --- the DEBUG line with replaced logger methods ----------------------------------------------

class LibraryLogger(logging.Logger):
    """A logging library's logger class: its own debug()."""

    lines: list = []

    def debug(self, msg, *args, **kwargs):
        self.lines.append(msg)


@pytest.mark.parametrize("replace", ["class debug", "class isEnabledFor", "library logger"])
def test_update_runs_replaced_logger_methods_while_debug_is_off(replace, monkeypatch, caplog):
    lines = []
    logger = logging.getLogger(cg.__name__) if replace != "library logger" else LibraryLogger(cg.__name__)
    old_level = logger.level
    logger.setLevel(logging.WARNING)
    assert not logger.isEnabledFor(logging.DEBUG) and logger._cache == {logging.DEBUG: False}
    if replace == "class debug":
        monkeypatch.setattr(logging.Logger, "debug", lambda self, msg, *args, **kwargs: lines.append(msg))
    elif replace == "class isEnabledFor":  # the standard debug() then emits the record
        monkeypatch.setattr(logging.Logger, "isEnabledFor", lambda self, level: True)
    else:
        LibraryLogger.lines = lines
        monkeypatch.setattr(cg, "logger", logger)
    try:
        Compilegate().update("h", Store(FunctionMetrics(compile_count=1, avg_speedup=3.0)))
    finally:
        logger.setLevel(old_level)
    if replace == "class isEnabledFor":
        lines = [r.getMessage() for r in caplog.records if r.name == cg.__name__]
    assert lines == ["Updated threshold for h: 100 -> 91 (speedup: 3.00x)"]


LINE_F = "Updated threshold for f: 100 -> 91 (speedup: 3.00x)"


@pytest.mark.parametrize("replacement", [
    # A wrapper that records, then lets the standard debug() decide (which fills the level cache).
    "standard = logging.Logger.debug; "
    "logging.Logger.debug = lambda self, msg, *args, **kwargs: (lines.append(msg), standard(self, msg))",
    "logging.Logger.isEnabledFor = lambda self, level: True",
    "logging.Logger.getEffectiveLevel = lambda self: logging.DEBUG",
])
def test_debug_line_honours_logging_replaced_before_import(replacement, python):
    out = python(f"""
        import logging, types
        lines = []
        handler = logging.Handler()
        handler.emit = lambda record: lines.append(record.getMessage())
        logging.getLogger().addHandler(handler)  # the root logger stays at WARNING
        {replacement}
        from klavrix.jit import compilegate as cg
        store = types.SimpleNamespace(get_metrics=lambda f: cg.FunctionMetrics(compile_count=1, avg_speedup=3.0))
        for _ in range(3):
            cg.Compilegate().update("f", store)
        print([line for line in lines if line.startswith("Updated")])
    """)
    assert out.strip() == repr([LINE_F] * 3)


@pytest.mark.parametrize("change", ["parent's level", "logging.disable", "getEffectiveLevel", "isEnabledFor"])
def test_debug_line_follows_logging_changed_after_import(change, monkeypatch, caplog):
    logger, parent = logging.getLogger(cg.__name__), logging.getLogger("klavrix.jit")
    store = Store(FunctionMetrics(compile_count=1, avg_speedup=3.0))
    Compilegate().update("f", store)  # DEBUG off, as found
    if change == "parent's level":
        parent.setLevel(logging.DEBUG)
    elif change == "logging.disable":
        logger.setLevel(logging.DEBUG)
        logging.disable(logging.INFO)
    elif change == "getEffectiveLevel":
        monkeypatch.setattr(logging.Logger, "getEffectiveLevel", lambda self: logging.DEBUG)
        logger.setLevel(logging.NOTSET)  # clears the loggers' answers, which were read from the old one
    else:
        monkeypatch.setattr(logging.Logger, "isEnabledFor", lambda self, level: True)
    try:
        for _ in range(3):
            Compilegate().update("f", store)
        native = [r.getMessage() for r in caplog.records if r.name == cg.__name__]
        caplog.clear()
        for _ in range(3):
            logger.debug(LINE_F)
        reference = [r.getMessage() for r in caplog.records if r.name == cg.__name__]
    finally:
        logging.disable(logging.NOTSET)
        logger.setLevel(logging.NOTSET)
        parent.setLevel(logging.NOTSET)
    assert native == reference == ([] if change == "logging.disable" else [LINE_F] * 3)


# --- locks held around the store and the shared policy ----------------------------------------

def test_the_store_is_read_under_the_policy_lock_and_the_clock_outside(monkeypatch):
    made, seen = [], []

    def new_lock():
        made.append(threading.Lock())
        return made[-1]

    monkeypatch.setattr(cg, "threading", types.SimpleNamespace(Lock=new_lock))
    gate = Compilegate()
    (lock,) = made

    class CheckingStore:
        def get_metrics(self, func_id):
            seen.append(("store", lock.locked()))
            return FunctionMetrics(call_count=500, compile_count=1, avg_speedup=3.0)

    def clock():
        seen.append(("clock", lock.locked()))
        return 10**9

    monkeypatch.setattr(cg, "time", types.SimpleNamespace(time=clock))
    assert gate.should_compile("f", CheckingStore()) is True
    gate.update("f", CheckingStore())
    assert seen == [("clock", False), ("store", True), ("store", True)] and not lock.locked()


class RecordingManager:
    """A context manager standing in for _policy_lock; records what __exit__ receives."""

    def __init__(self, suppress=False, fail=False):
        self.calls, self.suppress, self.fail = [], suppress, fail

    def __enter__(self):
        self.calls.append("enter")
        return self

    def __exit__(self, *exc_info):
        self.calls.append(exc_info)
        if self.fail:
            raise RuntimeError("exit failed")
        return self.suppress


def failing_threading():
    def no_lock():
        raise OSError("no locks")

    return types.SimpleNamespace(Lock=no_lock)


@pytest.fixture
def fresh_shared_policy():
    reset_compilegate()
    yield
    cg._policy_lock = threading.Lock()
    reset_compilegate()


def test_policy_lock_is_held_like_a_with_block(monkeypatch, fresh_shared_policy):
    manager = RecordingManager()
    monkeypatch.setattr(cg, "_policy_lock", manager)
    policy = get_compilegate()
    assert type(policy) is Compilegate and get_compilegate() is policy and reset_compilegate() is None
    assert manager.calls == ["enter", (None,) * 3] * 3
    manager.calls.clear()
    monkeypatch.setattr(cg, "threading", failing_threading())  # Compilegate() fails inside the block
    with pytest.raises(OSError, match="^no locks$") as caught:
        get_compilegate()
    assert manager.calls[0] == "enter"
    exc_type, exc_value, traceback = manager.calls[1]
    assert exc_type is OSError and exc_value is caught.value
    frames = exc_value.__traceback__  # the traceback then, which has grown since
    while frames is not None and frames is not traceback:
        frames = frames.tb_next
    assert frames is traceback is not None


def test_policy_lock_exit_may_suppress_or_replace_the_error(monkeypatch, fresh_shared_policy):
    monkeypatch.setattr(cg, "threading", failing_threading())
    monkeypatch.setattr(cg, "_policy_lock", RecordingManager(suppress=True))
    assert get_compilegate() is None  # execution goes on after the block, as in Python
    monkeypatch.setattr(cg, "_policy_lock", RecordingManager(fail=True))
    with pytest.raises(RuntimeError, match="^exit failed$") as caught:
        get_compilegate()
    assert isinstance(caught.value.__context__, OSError)
    monkeypatch.setattr(cg, "threading", threading)
    monkeypatch.setattr(cg, "_policy_lock", RecordingManager(suppress=True))
    assert type(get_compilegate()) is Compilegate  # nothing raised: a truthy __exit__ changes nothing


def test_policy_lock_protocol_is_looked_up_on_the_type(monkeypatch, fresh_shared_policy):
    on_instance = types.SimpleNamespace(__enter__=lambda: None, __exit__=lambda *exc: None)
    monkeypatch.setattr(cg, "_policy_lock", on_instance)
    for call in (get_compilegate, reset_compilegate):
        with pytest.raises(TypeError, match="does not support the context manager protocol"):
            call()


# --- native locks and clock, and what replaces them ---------------------------------------------


class CallingCount:
    """A count whose conversion calls back into the policy."""

    def __init__(self, gate):
        self.gate = gate

    def __int__(self):
        self.gate.get_threshold("other")
        return 500


REENTRANT_STORES = {
    "get_metrics calls back": lambda gate: types.SimpleNamespace(
        get_metrics=lambda func_id: (gate.get_statistics(), FunctionMetrics(500, 1, 3.0))[1]),
    "a metrics value calls back": lambda gate: Store(metrics(
        call_count=CallingCount(gate), compile_count=CallingCount(gate), avg_speedup=3.0, last_compiled=0.0)),
}


@pytest.mark.parametrize("make_store", REENTRANT_STORES.values(), ids=REENTRANT_STORES)
@pytest.mark.parametrize("method", ["should_compile", "update"])
def test_a_store_calling_back_into_the_policy_raises_instead_of_hanging(method, make_store):
    gate = Compilegate()
    gate.update("g", Store(FunctionMetrics(compile_count=1, avg_speedup=3.0)))
    before = gate.get_statistics()
    with pytest.raises(RuntimeError, match=r"^Compilegate is in use by this thread already \(re-entrant call\)$"):
        call_in_thread(lambda: getattr(gate, method)("f", make_store(gate)))
    assert_unlocked(gate)
    assert gate.get_statistics() == before and gate.get_threshold("f") == 100


def test_a_replaced_time_time_is_called(monkeypatch):
    gate = Compilegate()
    compiled = Store(FunctionMetrics(call_count=100, compile_count=1, last_compiled=1000.0))
    assert gate.should_compile("f", compiled) is True  # the builtin clock, read natively
    for now, expected in ((1599.0, False), (1600.0, True)):
        monkeypatch.setattr(time, "time", lambda: now)
        assert gate.should_compile("f", compiled) is expected
    monkeypatch.setattr(time, "time", lambda: "soon")
    with pytest.raises(TypeError):
        gate.should_compile("f", compiled)
    monkeypatch.delattr(cg, "time")
    with pytest.raises(NameError):
        gate.should_compile("f", compiled)
    monkeypatch.undo()
    assert gate.should_compile("f", compiled) is True
    assert_unlocked(gate)


def test_the_debug_check_follows_every_change_of_the_logger(monkeypatch, caplog):
    logger, lines = logging.getLogger(cg.__name__), []
    gate, store = Compilegate(), Store(FunctionMetrics(compile_count=1, avg_speedup=3.0))
    logger.setLevel(logging.WARNING)
    try:
        for func_id in ("a", "a"):  # known to be dropped, twice: the second answer is the kept one
            gate.update(func_id, store)
        with monkeypatch.context() as patch:
            patch.setattr(logger, "debug", lambda msg: lines.append(("instance", msg)), raising=False)
            gate.update("b", store)
        gate.update("b", store)
        with monkeypatch.context() as patch:
            patch.setattr(logging.Logger, "debug", lambda self, msg, *args, **kwargs: lines.append(("class", msg)))
            gate.update("c", store)

        class Loud(logging.Logger):
            def debug(self, msg, *args, **kwargs):
                lines.append(("subclass", msg))

        logger.__class__ = Loud
        try:
            gate.update("d", store)
        finally:
            logger.__class__ = logging.Logger
        with monkeypatch.context() as patch:
            patch.setattr(cg, "logger", types.SimpleNamespace(debug=lambda msg: lines.append(("rebound", msg))))
            gate.update("e", store)
        gate.update("e", store)
        logger.setLevel(logging.DEBUG)
        gate.update("f", store)
    finally:
        logger.setLevel(logging.NOTSET)
    assert lines == [("instance", "Updated threshold for b: 100 -> 91 (speedup: 3.00x)"),
                     ("class", "Updated threshold for c: 100 -> 91 (speedup: 3.00x)"),
                     ("subclass", "Updated threshold for d: 100 -> 91 (speedup: 3.00x)"),
                     ("rebound", "Updated threshold for e: 100 -> 91 (speedup: 3.00x)")]
    assert [r.getMessage() for r in caplog.records if r.name == cg.__name__] == [
        "Updated threshold for f: 100 -> 91 (speedup: 3.00x)"]


def test_updates_wait_for_an_update_blocked_in_the_store():
    gate, inside, finish, results = Compilegate(), threading.Event(), threading.Event(), []

    def slow_metrics(func_id):
        inside.set()
        finish.wait(10)
        return FunctionMetrics(call_count=1, compile_count=1, avg_speedup=3.0)

    blocked = threading.Thread(target=gate.update, args=("slow", types.SimpleNamespace(get_metrics=slow_metrics)))
    blocked.start()
    assert inside.wait(10)
    stores = {f"f{i}": Store(FunctionMetrics(call_count=10**6, compile_count=1, avg_speedup=1.0)) for i in range(4)}

    def worker(func_id):
        for _ in range(50):
            gate.update(func_id, stores[func_id])
            results.append(gate.should_compile(func_id, stores[func_id]))

    workers = [threading.Thread(target=worker, args=(func_id,)) for func_id in stores]
    for w in workers:
        w.start()
    for w in workers:
        w.join(0.05)
    assert all(w.is_alive() for w in workers) and results == []  # waiting, while this thread runs
    finish.set()
    for w in [blocked, *workers]:
        w.join(30)
    assert not any(w.is_alive() for w in [blocked, *workers])
    expected = 100
    for _ in range(50):
        expected = min(10000, int(expected + 0.09 * expected))
    assert [gate.get_threshold(func_id) for func_id in stores] == [expected] * 4 and gate.get_threshold("slow") == 91
    assert results == [True] * 200
