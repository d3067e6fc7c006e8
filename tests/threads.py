"""Thread helpers shared by the test modules."""

import threading


def run_threads(count, target):
    """target(i) in `count` threads at once, i = 0 .. count-1; returns when all have finished."""
    threads = [threading.Thread(target=target, args=(i,)) for i in range(count)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()


def call_in_thread(fn, timeout=10):
    """fn() in a daemon thread: its result, or its exception re-raised; a hang fails the test."""
    outcome = {}

    def target():
        try:
            outcome["result"] = fn()
        except BaseException as error:
            outcome["error"] = error

    worker = threading.Thread(target=target, daemon=True)
    worker.start()
    worker.join(timeout)
    assert not worker.is_alive(), "call hangs"
    if "error" in outcome:
        raise outcome["error"]
    return outcome.get("result")
