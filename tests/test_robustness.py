"""Fits that end when interrupted, weight files that cannot block, sizes checked before allocating."""

import _thread
import os
import signal
import subprocess
import sys
import threading
import time

import numpy as np
import pytest

from movarin import Circuit

F = np.logspace(-1, 5, 40)
Z = Circuit("R0-(R1,C1)").with_values([10.0, 100.0, 1e-5]).impedance(F)
START = Circuit("R0-(R1,C1)").with_values([1.0, 1.0, 1e-3])
# A spectrum long enough that every evaluation takes milliseconds, with noise so that no local
# search converges exactly.
F_LONG = np.logspace(-1, 5, 200_000)
Z_LONG = (Circuit("R0-(R1,CPE1)").with_values([10.0, 100.0, 1e-5, 0.8]).impedance(F_LONG)
          * (1 + 0.01 * np.random.default_rng(0).standard_normal(F_LONG.size)))
# Each of these runs for minutes at least.
ENDLESS = {
    "levenberg_marquardt": dict(max_iterations=2**32 - 1, ftol=0.0, xtol=0.0),
    "particle_swarm": dict(num_particles=10_000, generations=10**9),
    "differential_evolution": dict(de_evaluations=10**12),
    "nelder_mead": dict(nelder_mead_iterations=10**12),
    "simulated_annealing": dict(sa_iterations=10**12),
    "basin_hopping": dict(basin_hopping_hops=2**32 - 1),
}
LONG_SPECTRUM = {"levenberg_marquardt", "nelder_mead"}


def seconds_to_interrupt(call, interrupt, delay=0.3):
    """How long `call()` goes on after `interrupt()` runs on a timer thread; it must raise."""
    timer = threading.Timer(delay, interrupt)
    start = time.perf_counter()
    timer.start()
    try:
        with pytest.raises(KeyboardInterrupt):
            call()
    finally:
        timer.cancel()
        timer.join()
    return time.perf_counter() - start - delay


@pytest.mark.parametrize("method", ENDLESS)
def test_every_method_stops_on_interrupt_and_the_next_fit_is_unchanged(method):
    small = dict(method="particle_swarm", seed=4, num_particles=20, generations=20)
    before = START.fit(F, Z, **small).params
    f, z = (F_LONG, Z_LONG) if method in LONG_SPECTRUM else (F, Z)
    circuit = Circuit("R0-(R1,CPE1)").with_values([1.0, 1.0, 1e-3, 0.5]) if f is F_LONG else START

    def fit():
        circuit.fit(f, z, method=method, seed=1, **ENDLESS[method])

    assert seconds_to_interrupt(fit, _thread.interrupt_main) < 1.0
    assert START.fit(F, Z, **small).params == before


def test_sigint_stops_a_fit():
    def fit():
        START.fit(F, Z, method="simulated_annealing", sa_iterations=10**12)

    assert seconds_to_interrupt(fit, lambda: os.kill(os.getpid(), signal.SIGINT)) < 1.0


def test_the_interpreter_exits_cleanly_while_a_daemon_thread_fits():
    # A thread that asks for the interpreter lock while the interpreter shuts down is ended by it,
    # so a fit outside the main thread must not take the lock back before it is done.
    script = """if True:
        import threading, time
        import numpy as np
        from movarin import Circuit
        f = np.logspace(-1, 5, 40)
        z = Circuit("R0-(R1,C1)").with_values([10.0, 100.0, 1e-5]).impedance(f)
        fit = lambda: Circuit("R0-(R1,C1)").fit(f, z, method="simulated_annealing",
                                                 sa_iterations=10**12, guess_init=False)
        threading.Thread(target=fit, daemon=True).start()
        time.sleep(0.3)
    """
    finished = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True,
                              timeout=60)
    assert finished.returncode == 0, finished.stderr


@pytest.mark.parametrize("kind", ["fifo", "device", "directory", "too large"])
def test_weight_paths_other_than_small_regular_files_are_refused_at_once(tmp_path, kind):
    path = {"fifo": tmp_path / "pipe.ovrel", "device": "/dev/zero", "directory": tmp_path,
            "too large": tmp_path / "large.ovrel"}[kind]
    if kind == "fifo":
        os.mkfifo(path)
    if kind == "too large":
        with open(path, "wb") as file:
            file.truncate(4 * 2**20 + 1)
    # A reader stuck on the FIFO would be freed by this late writer, and be seen as slow.
    writer = threading.Timer(3.0, lambda: os.close(os.open(path, os.O_WRONLY)))
    writer.daemon = True
    if kind == "fifo":
        writer.start()
    try:
        for call in (lambda: START.guess(F, Z, weights=str(path)),
                     lambda: START.fit(F, Z, weights=str(path))):
            start = time.perf_counter()
            with pytest.raises(ValueError, match=f'^reading weights: "{path}": '):
                call()
            assert time.perf_counter() - start < 1.0
    finally:
        writer.cancel()


@pytest.mark.parametrize("settings, error, text", [
    (dict(method="particle_swarm", num_particles=0), ValueError,
     r"^num_particles must be at least 1, got 0$"),
    (dict(method="differential_evolution", de_evaluations=0), ValueError,
     r"^de_evaluations must be at least 1, got 0$"),
    (dict(method="particle_swarm", num_particles=2**62), ValueError,
     r"^num_particles must be at most \d+, got 4611686018427387904$"),
    (dict(method="particle_swarm", num_particles=2**39), MemoryError,
     r"^not enough memory for a swarm of 549755813888 particles \(\d+ bytes\)$"),
    (dict(method="particle_swarm", num_particles=2**64), OverflowError, "int too big"),
])
def test_sizes_are_refused_before_allocating(settings, error, text):
    with pytest.raises(error, match=text):
        START.fit(F, Z, **settings)
