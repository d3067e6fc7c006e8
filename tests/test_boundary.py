"""The boundary rules every module shares, exercised through klavrix.memory.interlock."""

import copy
import ctypes
import decimal
import fractions
import gc
import inspect
import pickle
import sys
import weakref

import pytest

from klavrix.memory import interlock
from klavrix.memory.interlock import (
    AtomicCounter,
    AtomicCounterWrapper,
    AtomicPointer,
    LockFreeStack,
    LockFreeStatistics,
    PerformanceTimer,
)

NATIVE_CLASSES = [AtomicCounter, AtomicPointer, LockFreeStack, LockFreeStatistics, PerformanceTimer]
REDUCE_MESSAGE = "no default __reduce__ due to non-trivial __cinit__"


class IntLike:
    def __init__(self, value):
        self.value = value

    def __int__(self):
        return self.value


class IndexOnly:
    def __index__(self):
        return 3


class IntSubclass(int):
    pass


# ---------------------------------------------------------------------------------------------
# Arity and keywords


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda c: c.fetch_and_add(), "fetch_and_add() takes exactly 1 positional argument (0 given)"),
        (lambda c: c.compare_and_swap(1), "compare_and_swap() takes exactly 2 positional arguments (1 given)"),
        (lambda c: c.increment(1, 2), "increment() takes at most 1 positional argument (2 given)"),
        (lambda c: c.load(1), "load() takes exactly 0 positional arguments (1 given)"),
        (lambda c: AtomicCounter(1, 2), "__cinit__() takes at most 1 positional argument (2 given)"),
        # a required argument missing among keywords counts the parameters before it
        (lambda c: c.compare_and_swap(expected=1), "compare_and_swap() takes exactly 2 positional arguments (1 given)"),
        (lambda c: c.compare_and_swap(new_value=1), "compare_and_swap() takes exactly 2 positional arguments (0 given)"),
        # ... and is reported before an unknown keyword
        (lambda c: c.compare_and_swap(1, bogus=2), "compare_and_swap() takes exactly 2 positional arguments (1 given)"),
        (lambda c: c.increment(step=1), "increment() got an unexpected keyword argument 'step'"),
        (lambda c: c.load(x=1), "load() got an unexpected keyword argument 'x'"),
        (lambda c: AtomicCounter(value=1), "__cinit__() got an unexpected keyword argument 'value'"),
        (lambda c: c.compare_and_swap(1, 2, expected=3), "compare_and_swap() got multiple values for keyword argument 'expected'"),
        (lambda c: AtomicCounter(1, initial_value=2), "__cinit__() got multiple values for keyword argument 'initial_value'"),
        (lambda c: AtomicCounterWrapper(1, 2), "__init__() takes at most 1 positional argument (2 given)"),
        (lambda c: LockFreeStatistics().py_record_allocation(1), "record_allocation() takes at least 2 positional arguments (1 given)"),
        (lambda c: LockFreeStatistics().record_allocation(1, True, 0, 0, 0), "record_allocation() takes at most 4 positional arguments (5 given)"),
    ],
)
def test_arity_and_keyword_errors(call, message):
    counter = AtomicCounter(7)
    with pytest.raises(TypeError) as info:
        call(counter)
    assert str(info.value) == message
    assert counter.load() == 7


def test_keywords_bind_by_name_in_any_order():
    counter = AtomicCounter(initial_value=4)
    assert counter.compare_and_swap(new_value=9, expected=4) is True
    assert counter.increment(delta=2) == 11
    assert counter.fetch_and_add(delta=1) == 11
    counter.store(value=3)
    assert counter.load() == 3


def test_non_string_keyword_is_refused():
    # The call syntax rejects such dicts before a callable sees them; the C API does not.
    call = ctypes.pythonapi.PyObject_Call
    call.restype = ctypes.py_object
    call.argtypes = [ctypes.py_object, ctypes.py_object, ctypes.py_object]
    with pytest.raises(TypeError, match=r"^__cinit__\(\) keywords must be strings$"):
        call(AtomicCounter, (), {1: 2})


# ---------------------------------------------------------------------------------------------
# Native integer rule


@pytest.mark.parametrize(
    "value, stored",
    [
        (5, 5),
        (True, 1),
        (IntSubclass(-4), -4),
        (2.9, 2),
        (-2.9, -2),
        (IntLike(12), 12),
        (fractions.Fraction(7, 2), 3),
        (decimal.Decimal("-8.5"), -8),
        (2**63 - 1, 2**63 - 1),
        (-(2**63), -(2**63)),
    ],
)
def test_integer_rule_accepts_ints_and_int_convertibles(value, stored):
    counter = AtomicCounter()
    counter.store(value)
    assert counter.load() == stored
    assert AtomicCounter(value).load() == stored


@pytest.mark.parametrize(
    "value, error, message",
    [
        ("5", TypeError, "an integer is required"),
        (None, TypeError, "an integer is required"),
        (IndexOnly(), TypeError, "an integer is required"),
        (1j, TypeError, "an integer is required"),
        (IntLike("7"), TypeError, "__int__ returned non-int (type str)"),
        (IntLike(2.5), TypeError, "__int__ returned non-int (type float)"),
        (2**63, OverflowError, None),
        (-(2**63) - 1, OverflowError, None),
        (IntLike(2**64), OverflowError, None),
        (float("inf"), OverflowError, None),
        (float("nan"), ValueError, None),
    ],
)
def test_integer_rule_rejections_leave_counter_unchanged(value, error, message):
    counter = AtomicCounter(3)
    for operation in (counter.store, counter.increment, counter.decrement, counter.fetch_and_add):
        with pytest.raises(error) as info:
            operation(value)
        if message is not None:
            assert str(info.value) == message
    with pytest.raises(error):
        counter.compare_and_swap(3, value)
    with pytest.raises(error):
        counter.compare_and_swap(value, 3)
    assert counter.load() == 3


def test_int_subclass_returned_by_int_is_accepted_with_deprecation_warning():
    with pytest.warns(DeprecationWarning, match="__int__ returned non-int"):
        assert AtomicCounter(IntLike(IntSubclass(6))).load() == 6


# ---------------------------------------------------------------------------------------------
# Annotated-int rule and result coercion (the plain Python wrapper)


@pytest.mark.parametrize(
    "value, loaded",
    [(3, 3), (2.5, 2), (True, 1), (fractions.Fraction(9, 2), 4), (decimal.Decimal("7.9"), 7), (IndexOnly(), 3)],
)
def test_annotated_int_converts_numbers(value, loaded):
    assert AtomicCounterWrapper(value).load() == loaded


@pytest.mark.parametrize(
    "call, parameter, given",
    [
        (lambda: AtomicCounterWrapper("3"), "initial_value", "str"),
        (lambda: AtomicCounterWrapper(None), "initial_value", "NoneType"),
        (lambda: AtomicCounterWrapper().store([1]), "value", "list"),
        (lambda: AtomicCounterWrapper().increment(b"1"), "delta", "bytes"),
        (lambda: AtomicCounterWrapper().compare_and_swap(0, "1"), "new_value", "str"),
    ],
)
def test_annotated_int_rejects_non_numbers(call, parameter, given):
    with pytest.raises(TypeError) as info:
        call()
    assert str(info.value) == f"Argument '{parameter}' has incorrect type (expected int, got {given})"


class FakeCounter:
    """Stands in for the wrapped counter; returns a chosen result from every method."""

    def __init__(self, result):
        self.result = result
        self.calls = []

    def __getattr__(self, name):
        def method(*args):
            self.calls.append((name, args))
            return self.result

        return method


@pytest.mark.parametrize("result, coerced", [(5, 5), (None, None), (7.9, 7), (True, 1), (decimal.Decimal(4), 4)])
def test_wrapper_coerces_int_results(result, coerced):
    wrapper = AtomicCounterWrapper()
    wrapper._counter = FakeCounter(result)
    for value in (wrapper.load(), wrapper.increment(), wrapper.decrement(), wrapper.fetch_and_add(1)):
        assert value == coerced and type(value) is type(coerced)
    assert wrapper.store(1) is None


def test_wrapper_rejects_non_numeric_results_and_passes_cas_unchanged():
    wrapper = AtomicCounterWrapper()
    wrapper._counter = FakeCounter("x")
    with pytest.raises(TypeError, match=r"^Expected int, got str$"):
        wrapper.increment()
    assert wrapper.compare_and_swap(1, 2) == "x"
    assert wrapper._counter.calls == [("py_increment", (1,)), ("py_compare_and_swap", (1, 2))]


# ---------------------------------------------------------------------------------------------
# Method objects, aliases, classes


def test_py_aliases_are_the_same_method_objects():
    for name in ("load", "store", "increment", "decrement", "compare_and_swap", "fetch_and_add"):
        alias = getattr(AtomicCounter, "py_" + name)
        assert alias is getattr(AtomicCounter, name)
        assert alias.__name__ == name


def test_method_metadata():
    increment = AtomicCounter.increment
    assert increment.__qualname__ == "AtomicCounter.increment"
    assert increment.__module__ == "klavrix.memory.interlock"
    assert increment.__doc__ == "Atomically increment and return new value."
    assert increment.__annotations__ == {"return": "int"}
    assert AtomicCounter.store.__annotations__ == {}
    assert str(inspect.signature(increment)) == "(self, /, delta=1) -> int"
    assert str(inspect.signature(AtomicCounter(1).compare_and_swap)) == "(expected, new_value) -> bool"
    assert str(inspect.signature(AtomicCounter)) == "(initial_value=0)"
    assert AtomicCounterWrapper.__init__.__annotations__ == {"initial_value": "int"}


def test_methods_pickle_by_reference():
    assert pickle.loads(pickle.dumps(AtomicCounter.increment)) is AtomicCounter.increment
    assert pickle.loads(pickle.dumps(AtomicCounterWrapper.load)) is AtomicCounterWrapper.load


def test_methods_check_their_instance():
    with pytest.raises(TypeError, match="doesn't apply to a 'int' object"):
        AtomicCounter.load(5)
    with pytest.raises(TypeError, match="needs an argument"):
        AtomicCounter.load()
    assert AtomicCounter.increment(AtomicCounter(1), 2) == 3
    bound = AtomicCounter(10).decrement
    assert bound() == 9 and bound(4) == 5


def test_native_classes_are_immutable_but_subclassable():
    with pytest.raises(TypeError):
        AtomicCounter.load = None

    class Sub(AtomicCounter):
        pass

    sub = Sub(1)
    sub.note = "extra"
    assert sub.increment() == 2 and sub.note == "extra"


# ---------------------------------------------------------------------------------------------
# Pickling refused


@pytest.mark.parametrize("cls", NATIVE_CLASSES)
def test_native_objects_refuse_pickle_and_copy(cls):
    obj = cls()
    for attempt in (pickle.dumps, copy.copy, copy.deepcopy, lambda o: o.__reduce__(), lambda o: o.__setstate__({})):
        with pytest.raises(TypeError) as info:
            attempt(obj)
        assert str(info.value) == REDUCE_MESSAGE


def test_wrapper_refuses_pickle_through_its_counter():
    wrapper = AtomicCounterWrapper(2)
    for attempt in (pickle.dumps, copy.deepcopy):
        with pytest.raises(TypeError, match=REDUCE_MESSAGE):
            attempt(wrapper)


# ---------------------------------------------------------------------------------------------
# Module frame (each check in a fresh interpreter)


def test_module_names_and_load_line(python):
    out = python(
        """
        import logging
        records = []
        class Keep(logging.Handler):
            def emit(self, record):
                records.append(record)
        root = logging.getLogger()
        root.addHandler(Keep())
        root.setLevel(logging.DEBUG)
        import klavrix.memory.interlock as m
        names = [n for n in vars(m) if not n.startswith("__")]
        print(names)
        print([(r.name, r.levelname, r.getMessage()) for r in records if r.name.startswith("klavrix")])
        print(m.logger is logging.getLogger("klavrix.memory.interlock"), m.CYTHON_ATOMICS_AVAILABLE)
        """
    )
    names, records, last = out.splitlines()
    assert names == str([
        "threading", "time", "Optional", "TypeVar", "Generic", "AtomicCounter", "AtomicPointer",
        "LockFreeStack", "LockFreeStatistics", "PerformanceTimer", "AtomicCounterWrapper",
        "logging", "logger", "CYTHON_ATOMICS_AVAILABLE",
    ])
    assert records == str([
        ("klavrix.memory.interlock", "INFO", "Klavrix Cython Interlock loaded - C11 atomics active (10-20\u00d7 speedup)")
    ])
    assert last == "True True"


def test_reinitialisation(python):
    out = python(
        """
        import ctypes, types
        import klavrix.memory.interlock as m
        init = ctypes.PyDLL(m.__file__).PyInit_interlock
        init.restype = ctypes.c_void_p
        definition = ctypes.c_void_p(init())
        exec_def = ctypes.pythonapi.PyModule_ExecDef
        exec_def.argtypes = [ctypes.py_object, ctypes.c_void_p]
        exec_def.restype = ctypes.c_int
        print(exec_def(m, definition))  # the same module object: nothing happens
        try:
            exec_def(types.ModuleType("klavrix.memory.interlock"), definition)
        except RuntimeError as error:
            print(error)
        import importlib
        print(importlib.reload(m) is m, m.AtomicCounter(2).increment())
        """
    )
    assert out.splitlines() == [
        "0",
        "Module 'interlock' has already been imported. Re-initialisation is not supported.",
        "True 3",
    ]


@pytest.mark.skipif(sys.version_info >= (3, 13), reason="_xxsubinterpreters is a CPython 3.12 module")
def test_second_interpreter_is_refused(python):
    out = python(
        """
        import _xxsubinterpreters as interpreters
        import klavrix.memory.interlock
        interp = interpreters.create(isolated=False)
        script = '''
        try:
            import klavrix.memory.interlock
        except ImportError as error:
            print(error)
        '''
        interpreters.run_string(interp, script)
        """
    )
    assert out.strip() == "Interpreter change detected - this module can only be loaded into one interpreter per process."


# ---------------------------------------------------------------------------------------------
# Typed declarations: one body under two parameter lists


def test_statistics_record_forms_keep_their_declarations():
    current, earlier = LockFreeStatistics.record_allocation, LockFreeStatistics.py_record_allocation
    assert current.__text_signature__ == "($self, /, size, is_bucketed=True, padding=0, time_ns=0)"
    assert current.__annotations__ == {
        "size": "int", "is_bucketed": "bool", "padding": "int", "time_ns": "int", "return": "None"
    }
    assert earlier.__text_signature__ == "($self, /, size, is_bucketed, padding=0, time_ns=0)"
    assert earlier.__annotations__ == {}
    assert LockFreeStatistics.record_deallocation.__annotations__ == {"size": "int", "time_ns": "int", "return": "None"}


@pytest.mark.parametrize(
    "size, current, earlier",
    [
        (2.9, 2, 2),
        (fractions.Fraction(9, 2), 4, 4),
        (IntLike(6), 6, 6),
        # the annotated-int rule takes __index__, the native integer rule does not
        (IndexOnly(), 3, TypeError("an integer is required")),
        ("5", TypeError("Argument 'size' has incorrect type (expected int, got str)"), TypeError("an integer is required")),
        (2**63, OverflowError(), OverflowError()),
    ],
)
def test_statistics_record_forms_convert_by_their_own_rules(size, current, earlier):
    for record, expected in ((lambda s: s.record_allocation(size), current),
                             (lambda s: s.py_record_allocation(size, True), earlier)):
        stats = LockFreeStatistics()
        if isinstance(expected, int):
            record(stats)
            assert stats.bytes_allocated.load() == expected
            continue
        with pytest.raises(type(expected)) as info:
            record(stats)
        if str(expected):
            assert str(info.value) == str(expected)
        assert set(stats.get_snapshot().values()) == {0}


# ---------------------------------------------------------------------------------------------
# Cyclic garbage through native objects


def test_statistics_cycle_through_a_counter_subclass_is_collected():
    finalised = []

    class OwnedCounter(AtomicCounter):
        def __del__(self):
            finalised.append(True)

    stats = LockFreeStatistics()
    counter = OwnedCounter()
    counter.owner = stats  # statistics -> counter -> its __dict__ -> statistics
    stats.total_allocations = counter
    dead = weakref.ref(counter)
    del stats, counter
    gc.collect()
    assert dead() is None and finalised == [True]


def test_cleared_statistics_report_missing_counters():
    # What the collector's clear leaves behind: the counters are gone, nothing else breaks.
    get_slot = ctypes.pythonapi.PyType_GetSlot
    get_slot.restype = ctypes.c_void_p
    get_slot.argtypes = [ctypes.py_object, ctypes.c_int]
    py_tp_clear = 51
    clear = ctypes.PYFUNCTYPE(ctypes.c_int, ctypes.py_object)(get_slot(LockFreeStatistics, py_tp_clear))
    stats = LockFreeStatistics()
    assert clear(stats) == 0
    for attempt in (lambda: stats.total_allocations, lambda: stats.record_allocation(1), stats.get_snapshot,
                    stats.reset):
        with pytest.raises(AttributeError) as info:
            attempt()
        assert str(info.value) == "'LockFreeStatistics' object has no attribute 'total_allocations'"
    stats.total_allocations = AtomicCounter(5)
    assert stats.total_allocations.load() == 5
