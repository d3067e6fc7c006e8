"""The boundary layer itself: each converter, typed binding of any width, calls and context managers.

Reached through klavrix.testing.extkit_probe, a test-only module that exposes the layer's pieces one
by one (built by the make targets)."""

import decimal
import fractions
import inspect
import sys
import textwrap

import pytest
from hypothesis import given, strategies as st
from threads import call_in_thread

probe = pytest.importorskip("klavrix.testing.extkit_probe")


class IntLike:
    def __init__(self, value):
        self.value = value

    def __int__(self):
        return self.value


class BadInt:
    def __int__(self):
        return "seven"


class RaisingInt:
    def __int__(self):
        raise ZeroDivisionError("from __int__")


class FloatLike:
    def __float__(self):
        return 2.5


class Falsy:
    def __bool__(self):
        return False


class RaisingBool:
    def __bool__(self):
        raise ValueError("no truth")


# ---------------------------------------------------------------------------------------------
# Native integers


INT_RANGES = [
    (probe.int8, -(2**7), 2**7 - 1, "int8_t"),
    (probe.uint8, 0, 2**8 - 1, "uint8_t"),
    (probe.int32, -(2**31), 2**31 - 1, "int"),
    (probe.uint32, 0, 2**32 - 1, "uint32_t"),
    (probe.int64, -(2**63), 2**63 - 1, None),
    (probe.uint64, 0, 2**64 - 1, "uint64_t"),
]


@pytest.mark.parametrize("convert, low, high, c_type", INT_RANGES)
def test_native_int_range_ends_and_messages(convert, low, high, c_type):
    assert convert(low) == low and convert(high) == high
    with pytest.raises(OverflowError) as above:
        convert(high + 1)
    with pytest.raises(OverflowError) as below:
        convert(low - 1)
    if c_type is None:
        return  # 64-bit targets keep the interpreter's own messages
    if low == 0:
        assert str(below.value) == f"can't convert negative value to {c_type}"
        if c_type != "uint64_t":
            assert str(above.value) == f"value too large to convert to {c_type}"
    else:
        assert str(above.value) == str(below.value) == f"value too large to convert to {c_type}"


@pytest.mark.parametrize("convert, low, high, c_type", INT_RANGES)
@given(data=st.data())
def test_native_int_accepts_every_value_in_range(convert, low, high, c_type, data):
    value = data.draw(st.integers(low, high))
    assert convert(value) == value
    assert convert(IntLike(value)) == value


@pytest.mark.parametrize("convert", [row[0] for row in INT_RANGES])
def test_native_int_rule_goes_through_int(convert):
    assert convert(7.9) == 7
    assert convert(True) == 1
    assert convert(fractions.Fraction(9, 2)) == 4
    assert convert(decimal.Decimal("5.5")) == 5
    with pytest.raises(TypeError, match="^an integer is required$"):
        convert("3")
    with pytest.raises(TypeError, match="^an integer is required$"):
        convert(None)
    with pytest.raises(TypeError, match=r"^__int__ returned non-int \(type str\)$"):
        convert(BadInt())
    with pytest.raises(ZeroDivisionError):
        convert(RaisingInt())


def test_native_int_rejects_index_only_objects():
    class IndexOnly:
        def __index__(self):
            return 3

    with pytest.raises(TypeError, match="^an integer is required$"):
        probe.int64(IndexOnly())


def test_native_int_of_a_huge_int_is_an_overflow_not_a_crash():
    for convert in (probe.int8, probe.int32, probe.int64, probe.uint64):
        with pytest.raises(OverflowError):
            convert(10**100)
        with pytest.raises(OverflowError):
            convert(-(10**100))


# ---------------------------------------------------------------------------------------------
# Floats, truth values, annotated types


def test_double_takes_what_float_takes():
    assert probe.double(3) == 3.0
    assert probe.double(FloatLike()) == 2.5
    assert probe.double(2**80) == float(2**80)
    assert str(probe.double(float("nan"))) == "nan"
    for bad in ("1.5", None, object()):
        with pytest.raises(TypeError):
            probe.double(bad)
    with pytest.raises(OverflowError):
        probe.double(10**400)


def test_truth_is_the_truth_value_of_anything():
    assert probe.truth([1]) is True
    assert probe.truth([]) is False
    assert probe.truth(Falsy()) is False
    assert probe.truth(None) is False
    with pytest.raises(ValueError, match="no truth"):
        probe.truth(RaisingBool())


def test_annotated_int_keeps_exact_ints_and_converts_other_numbers():
    big = 10**40
    assert probe.annotated_int(big) is big
    assert probe.annotated_int(7.9) == 7
    assert type(probe.annotated_int(True)) is int
    with pytest.raises(TypeError, match=r"^Argument 'value' has incorrect type \(expected int, got str\)$"):
        probe.annotated_int("3")
    with pytest.raises(TypeError, match=r"^Argument 'value' has incorrect type \(expected int, got NoneType\)$"):
        probe.annotated_int(None)


def test_annotated_int64_is_the_annotated_rule_then_the_range():
    assert probe.annotated_int64(7.9) == 7
    assert probe.annotated_int64(2**63 - 1) == 2**63 - 1
    with pytest.raises(OverflowError):
        probe.annotated_int64(2**63)
    with pytest.raises(TypeError, match=r"^Argument 'value' has incorrect type \(expected int, got str\)$"):
        probe.annotated_int64("3")
    assert probe.annotated_int64.__annotations__ == {"value": "int"}


@pytest.mark.parametrize(
    "convert, good, name",
    [
        (probe.str_or_none, "text", "str"),
        (probe.list_or_none, [1], "list"),
        (probe.tuple_or_none, (1,), "tuple"),
        (probe.dict_or_none, {1: 2}, "dict"),
        (probe.bytes_or_none, b"x", "bytes"),
    ],
)
def test_exact_type_or_none(convert, good, name):
    assert convert(good) is good
    assert convert(None) is None
    subclass = type("Sub", (type(good),), {})(good)
    for bad in (subclass, 1, object()):
        with pytest.raises(TypeError) as info:
            convert(bad)
        assert str(info.value) == f"Argument 'value' has incorrect type (expected {name}, got {type(bad).__name__})"


def test_object_passes_anything_through():
    sentinel = object()
    assert probe.object(sentinel) is sentinel
    assert probe.object() is None


# ---------------------------------------------------------------------------------------------
# Binding: any number of parameters, defaults written once, keywords


def test_seventeen_parameters_bind_positionally_and_by_keyword():
    head = [float(i) for i in range(11)]
    assert probe.seventeen(*head, 3, 4) == (*head, 3, 4, 0.5, -1.0, 3, True)
    names = "abcdefghijk"
    by_keyword = probe.seventeen(**dict(zip(names, head)), l=3, m=4, q=[], p=9.7, o=2, n=1)
    assert by_keyword == (*head, 3, 4, 1.0, 2.0, 9, False)
    assert probe.seventeen(*head, 3, 4, 0, 0, 0, 0) == (*head, 3, 4, 0.0, 0.0, 0, False)


def test_seventeen_parameters_signature_and_annotations():
    assert probe.seventeen.__text_signature__ == "(a, b, c, d, e, f, g, h, i, j, k, l, m, n=0.5, o=-1.0, p=3, q=True)"
    assert str(inspect.signature(probe.seventeen)) == (
        "(a, b, c, d, e, f, g, h, i, j, k, l: int, m: int, n=0.5, o=-1.0, p: int = 3, q: bool = True) -> tuple")
    assert probe.seventeen.__annotations__ == {"l": "int", "m": "int", "p": "int", "q": "bool", "return": "tuple"}
    assert probe.seventeen.__doc__ == "Seventeen parameters, bound and converted in order."
    assert probe.double_default.__text_signature__ == "(value=0.1)"
    assert probe.int64_default() == -7 and probe.double_default() == 0.1 and probe.annotated_int_default() == 1000


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda: probe.seventeen(1.0), "seventeen() takes at least 13 positional arguments (1 given)"),
        (lambda: probe.seventeen(*range(18)), "seventeen() takes at most 17 positional arguments (18 given)"),
        (lambda: probe.int8(), "int8() takes exactly 1 positional argument (0 given)"),
        (lambda: probe.int8(1, 2), "int8() takes exactly 1 positional argument (2 given)"),
        (lambda: probe.int8(value=1, other=2), "int8() got an unexpected keyword argument 'other'"),
        (lambda: probe.int8(1, value=1), "int8() got multiple values for keyword argument 'value'"),
        (lambda: probe.int8(**{"valu" + "e": 1, "x": 1}), "int8() got an unexpected keyword argument 'x'"),
        # a missing required argument comes before a keyword problem, counted by position
        (lambda: probe.seventeen(*range(11), m=1, zz=2), "seventeen() takes at least 13 positional arguments (11 given)"),
        (lambda: probe.seventeen(*range(12), m=1, zz=2), "seventeen() got an unexpected keyword argument 'zz'"),
    ],
)
def test_arity_and_keyword_messages(call, message):
    with pytest.raises(TypeError) as info:
        call()
    assert str(info.value) == message


def test_keywords_that_are_not_interned_still_match():
    name = "".join(["val", "ue"])
    assert name is not sys.intern("value")  # built at run time, so matched by value
    assert probe.int8(**{name: 5}) == 5


def test_non_string_keywords_are_refused():
    with pytest.raises(TypeError, match=r"^__cinit__\(\) keywords must be strings$"):
        probe.bind_tuple_dict((1,), {1: 2})


def test_arguments_convert_left_to_right_after_the_counts():
    seen = []

    class Loud:
        def __init__(self, tag):
            self.tag = tag

        def __float__(self):
            seen.append(self.tag)
            return 0.0

    probe.seventeen(*(Loud(i) for i in range(11)), 1, 2)
    assert seen == list(range(11))
    seen.clear()
    with pytest.raises(TypeError, match="an integer is required"):
        probe.seventeen(*(Loud(i) for i in range(11)), "bad", 2)
    assert seen == list(range(11))
    seen.clear()
    with pytest.raises(TypeError, match="positional"):
        probe.seventeen(*(Loud(i) for i in range(11)))
    assert seen == []


def test_tuple_and_dict_binding_of_constructors():
    assert probe.bind_tuple_dict((1,), None) == (1, 2.5, None)
    assert probe.bind_tuple_dict((), {"first": 2, "third": "x"}) == (2, 2.5, "x")
    assert probe.bind_tuple_dict((1, 3), {"third": "y"}) == (1, 3.0, "y")
    with pytest.raises(TypeError, match=r"^__cinit__\(\) got multiple values for keyword argument 'first'$"):
        probe.bind_tuple_dict((1,), {"first": 2})
    with pytest.raises(TypeError, match=r"^__cinit__\(\) takes at least 1 positional argument \(0 given\)$"):
        probe.bind_tuple_dict((), {"second": 2})


class BoxSubclass(probe.Box):
    pass


@pytest.mark.parametrize("make", [probe.Box, BoxSubclass])
def test_method_calls_take_every_path_alike(make):
    box = make()
    assert box.add(2) == 2  # a default: the general path
    assert box.add(3, 2) == 8  # complete positional: the direct path on exact instances
    assert box.add(amount=1, times=4) == 12
    assert probe.Box.add(box, 1, 1) == 13
    bound = box.add
    assert bound(1, 1) == 14
    assert box.py_add is not None and probe.Box.py_add is probe.Box.add
    with pytest.raises(TypeError, match=r"^add\(\) takes at least 1 positional argument \(0 given\)$"):
        box.add()
    with pytest.raises(TypeError, match="^an integer is required$"):
        box.add("1", 1)
    with pytest.raises(TypeError, match="^an integer is required$"):
        box.add(1, "1")
    assert box.add(0, 0) == 14  # nothing changed by the failed calls


def test_method_refuses_a_wrong_self_and_pickling():
    with pytest.raises(TypeError, match="descriptor 'add' for 'klavrix.testing.extkit_probe.Box' objects doesn't apply"):
        probe.Box.add(object(), 1, 1)
    with pytest.raises(TypeError, match="unbound method"):
        probe.Box.add()
    with pytest.raises(TypeError, match="^no default __reduce__ due to non-trivial __cinit__$"):
        probe.Box().__reduce__()
    assert probe.Box.add.__text_signature__ == "($self, /, amount, times=1)"
    assert probe.Box.add.__annotations__ == {"return": "int"}


def test_module_functions_behave_like_builtins_in_a_class_body():
    class Holder:
        convert = probe.int8

    assert Holder().convert(3) == 3
    assert Holder.convert(4) == 4


# ---------------------------------------------------------------------------------------------
# Helpers: constants, result tuples, keyword calls, context managers


def test_constants_and_result_tuples():
    assert (probe.ANSWER, probe.RATIO, probe.LABEL) == (42, 0.25, "probe")
    marker = object()
    result = probe.native_tuple(-3, 1.5, [], marker)
    assert result == (-3, 1.5, False, "text", marker, marker)
    assert result[4] is marker and result[5] is marker


def test_keyword_call():
    def target(positional, *, keyword):
        return positional, keyword

    assert probe.keyword_call(target, 1, 2) == (1, 2)
    with pytest.raises(TypeError):
        probe.keyword_call(lambda positional: None, 1, 2)


class Recorder:
    """A context manager that records its __exit__ arguments and may suppress."""

    def __init__(self, suppress=False):
        self.suppress = suppress
        self.events = []

    def __enter__(self):
        self.events.append("enter")
        return self

    def __exit__(self, kind, value, traceback):
        self.events.append(("exit", kind, value, traceback is not None))
        return self.suppress


def test_with_context_without_an_exception():
    manager = Recorder()
    assert probe.with_context(manager, lambda: None) is True
    assert manager.events == ["enter", ("exit", None, None, False)]


def test_with_context_passes_the_exception_to_exit_and_reraises():
    manager = Recorder()
    error = KeyError("inside")

    def body():
        raise error

    with pytest.raises(KeyError) as info:
        probe.with_context(manager, body)
    assert info.value is error
    assert manager.events == ["enter", ("exit", KeyError, error, True)]


def test_with_context_suppresses_when_exit_returns_true():
    manager = Recorder(suppress=1)

    def body():
        raise ValueError("swallowed")

    assert probe.with_context(manager, body) is False
    assert manager.events[-1][1] is ValueError


def test_with_context_looks_methods_up_on_the_type():
    manager = Recorder()
    manager.__enter__ = manager.__exit__ = None  # instance attributes are not consulted
    assert probe.with_context(manager, lambda: None) is True

    class NoExit:
        def __enter__(self):
            return self

    with pytest.raises(TypeError, match=r"does not support the context manager protocol \(missed __exit__ method\)"):
        probe.with_context(NoExit(), lambda: None)
    with pytest.raises(TypeError, match=r"'int' object does not support the context manager protocol$"):
        probe.with_context(1, lambda: None)


def test_with_context_error_in_exit_chains_the_body_error():
    class Breaks(Recorder):
        def __exit__(self, *args):
            raise RuntimeError("exit failed")

    def body():
        raise KeyError("body")

    with pytest.raises(RuntimeError) as info:
        probe.with_context(Breaks(), body)
    assert isinstance(info.value.__context__, KeyError)


# ---------------------------------------------------------------------------------------------
# Private locks


def test_private_lock_refuses_reentry_and_is_free_afterwards():
    box = probe.LockBox()
    assert box.lock_object() is None  # the standard threading.Lock: a native lock
    with pytest.raises(RuntimeError, match=r"^LockBox is held by this thread already \(re-entrant call\)$"):
        call_in_thread(lambda: box.hold(lambda: box.hold(lambda: None)))
    with pytest.raises(ZeroDivisionError):
        box.hold(lambda: 1 / 0)
    assert call_in_thread(lambda: box.hold(lambda: "free")) == "free"


def test_private_lock_waiters_let_the_interpreter_run_and_go_in_turn():
    import threading

    box, inside, finish, order = probe.LockBox(), threading.Event(), threading.Event(), []

    def holder():
        inside.set()
        finish.wait(10)  # holds the lock, the interpreter lock released
        order.append("holder")

    first = threading.Thread(target=box.hold, args=(holder,))
    first.start()
    assert inside.wait(10)
    waiters = [threading.Thread(target=box.hold, args=(lambda i=i: order.append(i),)) for i in range(3)]
    for waiter in waiters:
        waiter.start()
    for waiter in waiters:
        waiter.join(0.1)
    assert order == [] and all(waiter.is_alive() for waiter in waiters)  # blocked, and this thread runs
    finish.set()
    for worker in [first, *waiters]:
        worker.join(10)
    assert order[0] == "holder" and sorted(order[1:]) == [0, 1, 2]


def test_a_signal_ends_the_wait_for_a_private_lock():
    import signal
    import threading

    class Interrupted(Exception):
        pass

    def interrupt(signum, frame):
        raise Interrupted

    box, inside, finish = probe.LockBox(), threading.Event(), threading.Event()
    holder = threading.Thread(target=box.hold, args=(lambda: (inside.set(), finish.wait(10)),))
    holder.start()
    assert inside.wait(10)
    previous = signal.signal(signal.SIGALRM, interrupt)
    try:
        signal.setitimer(signal.ITIMER_REAL, 0.05)
        with pytest.raises(Interrupted):
            box.hold(lambda: pytest.fail("the lock was held by the other thread"))
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, previous)
        finish.set()
        holder.join(10)
    assert box.hold(lambda: "taken") == "taken"  # the interrupted waiter did not keep it


def test_private_lock_from_a_replaced_threading_lock(monkeypatch):
    import threading
    import types

    made = []

    def factory():
        made.append(threading.RLock())  # re-entrant, yet re-entry is still refused
        return made[-1]

    monkeypatch.setattr(probe, "threading", types.SimpleNamespace(Lock=factory))
    box = probe.LockBox()
    assert box.lock_object() is made[0]
    assert box.hold(lambda: made[0]._is_owned()) is True
    with pytest.raises(RuntimeError, match="re-entrant call"):
        box.hold(lambda: box.hold(lambda: None))
    assert not made[0]._is_owned()
    monkeypatch.setattr(probe, "threading", types.SimpleNamespace(Lock=lambda: 1 / 0))
    with pytest.raises(ZeroDivisionError):
        probe.LockBox()
    monkeypatch.delattr(probe, "threading")
    with pytest.raises(NameError):
        probe.LockBox()


# ---------------------------------------------------------------------------------------------
# Standard functions read natively while they are the builtins


def test_clocks_are_native_while_the_builtins_are_bound(monkeypatch):
    import time
    import types

    before = time.time()
    kind, now = probe.wall_clock()
    assert kind == "native" and before <= now <= time.time()
    start = time.perf_counter_ns()
    kind, ticks = probe.perf_counter_ns()
    assert kind == "native" and start <= ticks <= time.perf_counter_ns()
    # Replacing the function in the time module, or the module the global names, is seen at once.
    monkeypatch.setattr(time, "time", lambda: 12.5)
    assert probe.wall_clock() == ("called", 12.5)
    monkeypatch.undo()
    assert probe.wall_clock()[0] == "native"
    monkeypatch.setattr(probe, "time", types.SimpleNamespace(time=lambda: "any", perf_counter_ns=lambda: 7))
    assert probe.wall_clock() == ("called", "any") and probe.perf_counter_ns() == ("called", 7)
    monkeypatch.setattr(probe, "time", types.SimpleNamespace())
    with pytest.raises(AttributeError):
        probe.wall_clock()
    monkeypatch.delattr(probe, "time")
    with pytest.raises(NameError, match="name 'time' is not defined"):
        probe.wall_clock()
    monkeypatch.undo()
    assert probe.wall_clock()[0] == probe.perf_counter_ns()[0] == "native"


def test_a_module_getattr_supplies_a_missing_function(monkeypatch):
    import types

    fake = types.ModuleType("fake_time")
    fake.__getattr__ = lambda name: (lambda: f"{name} from __getattr__")
    monkeypatch.setattr(probe, "time", fake)
    assert probe.wall_clock() == ("called", "time from __getattr__")


# The interpreter has eight dictionary watchers for the whole process.
DICT_WATCHER_SLOTS = textwrap.dedent("""
    import _testcapi

    def take_free_watchers():
        taken = []
        try:
            while True:
                taken.append(_testcapi.add_dict_watcher(0))
        except Exception:
            return taken

    def free_watchers():
        taken = take_free_watchers()
        for watcher in taken:
            _testcapi.clear_dict_watcher(watcher)
        return len(taken)
""")


def test_all_modules_share_one_dict_watcher(python):
    out = python(DICT_WATCHER_SLOTS + textwrap.dedent("""
        before = free_watchers()
        import time, types
        from klavrix.jit.compilegate import Compilegate, FunctionMetrics
        from klavrix.memory.blockfit import FastRedBlackTree
        from klavrix.testing import extkit_probe
        FastRedBlackTree().insert(64, object())
        Compilegate().should_compile("f", types.SimpleNamespace(get_metrics=lambda f: FunctionMetrics()))
        extkit_probe.wall_clock()
        print(before - free_watchers())
    """))
    assert out.strip() == "1"


def test_without_a_free_dict_watcher_every_lookup_is_made(python):
    out = python(DICT_WATCHER_SLOTS + textwrap.dedent("""
        taken = take_free_watchers()
        import time
        from klavrix.testing import extkit_probe as probe
        print(probe.wall_clock()[0], probe.perf_counter_ns()[0])
        time.time = lambda: 12.5
        print(*probe.wall_clock())
        del time.time
        try:
            probe.wall_clock()
        except AttributeError:
            print("AttributeError")
    """))
    assert out.split() == ["native", "native", "called", "12.5", "AttributeError"]


def test_signatures_show_annotations_and_how_self_is_passed():
    from klavrix.memory.interlock import AtomicCounter, AtomicCounterWrapper
    from klavrix.native import hostprobe

    assert str(inspect.signature(AtomicCounter.load)) == "(self, /) -> int"
    assert str(inspect.signature(AtomicCounter(5).increment)) == "(delta=1) -> int"
    assert str(inspect.signature(hostprobe.detect_capabilities)) == "() -> dict"
    # A method of a plain Python class takes `self` as an ordinary parameter.
    assert str(inspect.signature(AtomicCounterWrapper.__init__)) == "(self, initial_value: int = 0)"
    assert str(inspect.signature(AtomicCounterWrapper(1).compare_and_swap)) == (
        "(expected: int, new_value: int) -> bool")
    assert AtomicCounterWrapper.load.__doc__ == "Atomically load value."
    # An annotation that names nothing the module knows stays text.
    assert inspect.signature(probe.Box.add).return_annotation is int
