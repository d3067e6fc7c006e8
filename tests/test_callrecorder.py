"""The call recorder on worked examples. The clock is a list cell that the code under test
advances itself, so every time below is exact: calls, inclusive and self time through calls,
recursion, generators, exceptions and frames still open at the stop; then threads with the real
clock, and the recorder's own errors."""

import functools
import operator
import sys
import threading

import pytest

from klavrix.cli.profile import TOOL_ID
from klavrix.monitoring.callrecorder import CallRecorder


def record(program, *args):
    """{function name: (calls, inclusive ns, self ns, per-call stats in seconds)} of program(tick, *args)."""
    tick = [0]
    recorder = CallRecorder(clock=functools.partial(operator.getitem, tick, 0))
    recorder.start(TOOL_ID)
    try:
        program(tick, *args)
    finally:
        recorder.stop()
    return {code.co_name: (calls, inclusive, own, stats) for code, calls, inclusive, own, stats in recorder.functions()}


def times(result, name):
    calls, inclusive, own, stats = result[name]
    return calls, inclusive, own


def leaf(tick):
    tick[0] += 10


def branch(tick):
    tick[0] += 5
    leaf(tick)
    leaf(tick)


def down(tick, n):
    tick[0] += 1
    if n:
        down(tick, n - 1)


def numbers(tick):
    for i in range(3):
        tick[0] += 2
        yield i


def consume(tick):
    for _ in numbers(tick):
        tick[0] += 100
    first = numbers(tick)
    next(first)  # left suspended: its call ends when the recording stops
    tick[0] += 1000


def interleave(tick, count):
    generators = [numbers(tick) for _ in range(count)]
    for _ in range(3):
        for generator in generators:
            next(generator)
    for generator in reversed(generators):
        assert list(generator) == []


def fail(tick):
    tick[0] += 7
    raise ValueError


def catch(tick):
    try:
        fail(tick)
    except ValueError:
        tick[0] += 1


def test_calls_inclusive_and_self_time():
    result = record(branch)
    assert times(result, "branch") == (1, 25, 5)
    assert times(result, "leaf") == (2, 20, 20)
    stats = result["leaf"][3]
    assert stats["count"] == 2 and [stats["mean"], stats["min"], stats["max"]] == pytest.approx([10e-9] * 3)


def test_recursion_counts_inclusive_time_once():
    result = record(down, 3)
    assert times(result, "down") == (4, 4, 4)
    assert result["down"][3]["count"] == 4 and result["down"][3]["max"] == pytest.approx(4e-9)  # the outermost call


def test_a_suspended_generator_time_is_not_its_own():
    result = record(consume)
    # Two generators: three steps of 2 and one of 2 left suspended; the consumer's own 300 + 1000.
    assert times(result, "numbers") == (2, 8, 8)
    assert times(result, "consume") == (1, 1308, 1300)
    stats = result["numbers"][3]
    assert stats["count"] == 2 and [stats["min"], stats["max"]] == pytest.approx([2e-9, 6e-9])


def test_many_generators_suspended_at_once_each_keep_their_time():
    result = record(interleave, 500)
    stats = result["numbers"][3]
    assert times(result, "numbers") == (500, 3000, 3000)
    assert stats["count"] == 500 and [stats["min"], stats["max"]] == pytest.approx([6e-9, 6e-9])


def test_an_exception_ends_the_frames_it_leaves():
    result = record(catch)
    assert times(result, "fail") == (1, 7, 7)
    assert times(result, "catch") == (1, 8, 1)


def test_every_call_has_its_duration_and_the_totals_add_up():
    def program(tick):
        branch(tick)
        down(tick, 5)
        consume(tick)
        catch(tick)

    result = record(program)
    assert all(stats["count"] == calls for calls, _, _, stats in result.values())
    assert times(result, "program")[1] == sum(own for _, _, own, _ in result.values())


def work():
    return sum(range(10))


def test_threads_each_keep_their_stack_and_every_call_is_counted():
    recorder = CallRecorder()
    ready = threading.Event()
    go = threading.Event()

    def worker():
        ready.set()
        go.wait()
        for _ in range(200):
            work()

    early = threading.Thread(target=worker)  # running before the recording starts
    early.start()
    ready.wait()
    recorder.start(TOOL_ID)
    late = [threading.Thread(target=worker) for _ in range(3)]
    for thread in late:
        thread.start()
    go.set()
    for thread in [early, *late]:
        thread.join()
    recorder.stop()
    counts = {code.co_name: calls for code, calls, *_ in recorder.functions()}
    assert counts["work"] == 4 * 200
    assert recorder.threads >= 4 and not recorder.running


def test_recorder_errors():
    with pytest.raises(TypeError, match="clock must be callable"):
        CallRecorder(clock=3)
    recorder = CallRecorder()
    recorder.start(TOOL_ID)
    try:
        with pytest.raises(RuntimeError, match="already running"):
            recorder.start(TOOL_ID)
        with pytest.raises(ValueError):  # the tool id is taken
            CallRecorder().start(TOOL_ID)
    finally:
        recorder.stop()
    recorder.stop()  # stopping twice is harmless
    assert sys.monitoring.get_tool(TOOL_ID) is None


def test_a_failing_clock_drops_events_and_the_program_runs_on():
    def clock():
        raise RuntimeError("no time")

    recorder = CallRecorder(clock=clock)
    recorder.start(TOOL_ID)
    try:
        assert work() == 45
    finally:
        with pytest.raises(RuntimeError, match="no time"):  # reading the clock at the stop
            recorder.stop()
    assert not recorder.running and sys.monitoring.get_tool(TOOL_ID) is None
