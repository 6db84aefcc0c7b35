"""Helpers shared by the Python tests."""

import threading
import time


def python_runs_during(call):
    """Whether a pure-Python thread makes progress in the middle half of `call()`.

    A call that keeps the interpreter lock starves the thread for its whole duration.
    """
    ticks = []
    stop = threading.Event()

    def count():
        while not stop.is_set():
            ticks.append(time.perf_counter())

    counter = threading.Thread(target=count)
    counter.start()
    try:
        start = time.perf_counter()
        call()
        end = time.perf_counter()
    finally:
        stop.set()
        counter.join()
    quarter = 0.25 * (end - start)
    return any(start + quarter < tick < end - quarter for tick in ticks)
