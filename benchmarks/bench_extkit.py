"""The boundary layer's own call cost: a typed method against the same body as a plain METH_FASTCALL
method (the floor for a native method), and a Python method doing the same work."""

from __future__ import annotations

import time
import types

from harness import report, section, with_attribute

try:
    from klavrix.testing import extkit_probe
except ImportError:  # built by the make targets only
    extkit_probe = None

OPS = 200_000


class PyBox:
    def __init__(self) -> None:
        self.total = 0

    def add(self, amount: int, times: int = 1) -> int:
        self.total += amount * times
        return self.total


def main() -> None:
    if extkit_probe is None:
        print("extkit: klavrix.testing.extkit_probe not built; skipped")
        return
    section("extkit: call cost of a two-argument method")
    box, plain, python = extkit_probe.Box(), extkit_probe.Box(), PyBox()

    def typed():
        for _ in range(OPS):
            box.add(1, 1)

    def fastcall():
        for _ in range(OPS):
            plain.add_fastcall(1, 1)

    def pure():
        for _ in range(OPS):
            python.add(1, 1)

    def typed_keywords():
        for _ in range(OPS):
            box.add(amount=1, times=1)

    report("obj.add(1, 1)", {"typed method": typed, "plain METH_FASTCALL method": fastcall,
                             "Python method": pure}, OPS)
    report("obj.add(amount=1, times=1)", {"typed method": typed_keywords}, OPS)

    # A module's clock read natively while its `time.time` is the builtin: a watched dictionary
    # says so without lookups; behind a plain object the two lookups are made on every call.
    section("extkit: time.time() through a module's global, natively")

    def clock():
        for _ in range(OPS):
            extkit_probe.wall_clock()

    looked_up = with_attribute(extkit_probe, "time", types.SimpleNamespace(time=time.time), clock)
    report("wall_clock()", {"rebinding seen by a dict watcher": clock, "looked up on every call": looked_up,
                            "time.time() from Python": lambda: [time.time() for _ in range(OPS)]}, OPS)
