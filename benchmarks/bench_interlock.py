"""AtomicCounter against an int guarded by threading.Lock and against cereggii.AtomicInt64."""

from __future__ import annotations

import threading

from harness import report, section

from klavrix.memory.interlock import AtomicCounter

try:
    from cereggii import AtomicInt64
except ImportError:  # the bench extra is not installed
    AtomicInt64 = None

OPS = 200_000


class LockedInt:
    """The pure-Python equivalent: an int behind a threading.Lock."""

    def __init__(self, value: int = 0) -> None:
        self.value = value
        self.lock = threading.Lock()

    def increment(self, delta: int = 1) -> int:
        with self.lock:
            self.value += delta
            return self.value

    def load(self) -> int:
        with self.lock:
            return self.value

    def compare_and_swap(self, expected: int, new_value: int) -> bool:
        with self.lock:
            if self.value == expected:
                self.value = new_value
                return True
            return False


def single_thread_cases() -> None:
    native, locked = AtomicCounter(), LockedInt()
    peer = AtomicInt64(0) if AtomicInt64 else None

    def loop(method):
        def run():
            for _ in range(OPS):
                method()
        return run

    def peer_case(candidates, name, fn):
        if peer is not None:
            candidates[name] = fn

    cases = {"native": loop(native.increment), "lock-guarded int": loop(locked.increment)}
    peer_case(cases, "cereggii.AtomicInt64", loop(lambda: peer.increment_and_get(1)))
    report("increment(), one thread", cases, OPS)

    cases = {"native": loop(native.load), "lock-guarded int": loop(locked.load)}
    peer_case(cases, "cereggii.AtomicInt64", loop(peer.get if peer else None))
    report("load(), one thread", cases, OPS)

    def cas_loop(counter_cas):
        def run():
            for i in range(OPS):
                counter_cas(0, 0)
        return run

    native.store(0)
    locked.value = 0
    cases = {"native": cas_loop(native.compare_and_swap), "lock-guarded int": cas_loop(locked.compare_and_swap)}
    if peer is not None:
        peer.set(0)
        peer_case(cases, "cereggii.AtomicInt64", cas_loop(peer.compare_and_set))
    report("compare_and_swap(), one thread", cases, OPS)


def contended_cases(threads: int) -> None:
    ops_per_thread = OPS // threads

    def contended(make_increment):
        def run():
            increment = make_increment()
            workers = [
                threading.Thread(target=lambda: [increment() for _ in range(ops_per_thread)]) for _ in range(threads)
            ]
            for worker in workers:
                worker.start()
            for worker in workers:
                worker.join()
        return run

    native, locked = AtomicCounter(), LockedInt()
    cases = {
        "native": contended(lambda: native.increment),
        "lock-guarded int": contended(lambda: locked.increment),
    }
    if AtomicInt64 is not None:
        peer = AtomicInt64(0)
        cases["cereggii.AtomicInt64"] = contended(lambda: (lambda: peer.increment_and_get(1)))
    report(f"increment(), {threads} threads contended", cases, ops_per_thread * threads, rounds=5)


def main() -> None:
    section("interlock: AtomicCounter")
    single_thread_cases()
    for threads in (2, 4):
        contended_cases(threads)
