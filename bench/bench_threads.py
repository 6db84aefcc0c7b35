"""Default fits from several Python threads: fits per second of each build on 1 and n threads.

For each circuit, 300 parameter sets are drawn log-uniformly from bench_fit.py's ranges with a
fixed seed (50 log-spaced points, 0.1 Hz - 100 kHz, 1% complex Gaussian noise). A run submits
every spectrum's default fit, `Circuit(text).fit(f, z)` (the machine-learning start, then
Levenberg-Marquardt), to a ThreadPoolExecutor of the given size and reports fits per second. Each
build runs in a child process of its own (its directory first on sys.path), the builds taking
turns; each figure is the median of `--repeats` runs (5). "scaling" is fits/s on n threads over
fits/s on 1, "ratio" the build's fits/s over the first build's at the same thread count.

On a shared machine the figures depend on what else runs, so each fitting thread's time is split
too, from Linux's per-thread schedstat: "queued" is the share spent ready but waiting for a
processor (other processes, or the module's own workers), "blocked" the share spent asleep (waiting
for the interpreter lock, or for the module's workers), "cpu us/fit" the processor time the
fitting threads spent per fit. A thread that is seldom blocked scales with the processors it is
given: the lock is not what holds it back. With the module's default worker pool part of each
Jacobian runs on its workers, whose time is not counted; with MOVARIN_NUM_THREADS=1 in the
environment every fit runs on its calling thread.

    python bench/bench_threads.py BASELINE_DIR [OTHER_DIR ...] [--threads 2] [--repeats 5]
"""

from __future__ import annotations

import argparse
import json
import os
import statistics
import subprocess
import sys

CIRCUITS = ["R0-p(R1,C1)", "R0-p(R1-W1,CPE1)", "R0-p(R1,CPE1)-p(R2,CPE2)"]


def child(threads: int, spectra_per_circuit: int) -> None:
    import threading
    import time
    from concurrent.futures import ThreadPoolExecutor

    import numpy as np

    import movarin

    rng = np.random.default_rng(7)
    frequencies = np.logspace(-1, 5, 50)

    def log_uniform(lo, hi):
        return float(np.exp(rng.uniform(np.log(lo), np.log(hi))))

    # The ranges of bench_fit.py: arcs inside the window, the Warburg term a fraction of R1.
    def rc():
        r0, r1, tau1 = log_uniform(1, 100), log_uniform(10, 1000), log_uniform(1e-4, 1)
        return [r0, r1, tau1 / r1]

    def randles():
        r0, r1 = log_uniform(1, 100), log_uniform(10, 1000)
        tau1, alpha = log_uniform(1e-5, 1e-2), rng.uniform(0.75, 0.95)
        return [r0, r1, r1 * log_uniform(0.05, 0.5), tau1**alpha / r1, alpha]

    def two_rq():
        r0, r1, r2 = log_uniform(1, 100), log_uniform(10, 1000), log_uniform(10, 1000)
        tau1, tau2 = log_uniform(1e-5, 1e-3), log_uniform(1e-2, 1)
        alpha1, alpha2 = rng.uniform(0.75, 0.95), rng.uniform(0.75, 0.95)
        return [r0, r1, tau1**alpha1 / r1, alpha1, r2, tau2**alpha2 / r2, alpha2]

    draws = dict(zip(CIRCUITS, [rc, randles, two_rq]))

    def noisy(text):
        z = movarin.Circuit(text).with_values(draws[text]()).impedance(frequencies)
        noise = rng.standard_normal(len(z)) + 1j * rng.standard_normal(len(z))
        return z + 0.01 * np.abs(z) * noise

    figures = {}
    for text in CIRCUITS:
        spectra = [noisy(text) for _ in range(spectra_per_circuit)]
        circuit = movarin.Circuit(text)

        def one(z, circuit=circuit):
            return circuit.fit(frequencies, z)

        barrier = threading.Barrier(threads)

        def warm_up(z):
            one(z)
            barrier.wait()  # so that every thread of the pool takes one
            return threading.get_native_id()

        with ThreadPoolExecutor(threads) as pool:
            workers = list(pool.map(warm_up, spectra[:threads]))  # models decoded, threads started
            before = [schedule(worker) for worker in workers]
            start = time.perf_counter()
            list(pool.map(one, spectra))
            wall = time.perf_counter() - start
            after = [schedule(worker) for worker in workers]
        running = sum(a[0] - b[0] for a, b in zip(after, before)) / 1e9
        queued = sum(a[1] - b[1] for a, b in zip(after, before)) / 1e9
        figures[text] = (len(spectra) / wall, queued / (threads * wall),
                         1 - (running + queued) / (threads * wall), 1e6 * running / len(spectra))
    print(json.dumps(figures))


def schedule(thread_id: int) -> tuple[int, int]:
    """Nanoseconds the thread has run and waited on a run queue (Linux schedstat)."""
    with open(f"/proc/self/task/{thread_id}/schedstat") as stat:
        running, queued, _ = stat.read().split()
    return int(running), int(queued)


def run(build: str, threads: int, spectra: int) -> dict[str, list[float]]:
    """Per circuit: fits/s, queued share, blocked share, processor microseconds per fit."""
    environment = dict(os.environ, PYTHONPATH=build + os.pathsep + os.environ.get("PYTHONPATH", ""))
    command = [sys.executable, __file__, "--child", str(threads), "--spectra", str(spectra)]
    out = subprocess.run(command, env=environment, check=True, capture_output=True, text=True)
    return json.loads(out.stdout)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("builds", nargs="*")
    parser.add_argument("--threads", type=int, default=2)
    parser.add_argument("--repeats", type=int, default=5)
    parser.add_argument("--spectra", type=int, default=300)
    parser.add_argument("--child", type=int)
    arguments = parser.parse_args()
    if arguments.child:
        child(arguments.child, arguments.spectra)
        return
    counts = [1, arguments.threads]
    samples = {(b, n): [] for b in arguments.builds for n in counts}
    for _ in range(arguments.repeats):
        for build in arguments.builds:
            for n in counts:
                samples[(build, n)].append(run(build, n, arguments.spectra))
    median = {key: {c: [statistics.median(s[c][i] for s in runs) for i in range(4)]
                    for c in CIRCUITS} for key, runs in samples.items()}
    first = arguments.builds[0]
    print(f"{'circuit':<26} {'build':<24} {'threads':>7} {'fits/s':>7} {'scaling':>7} "
          f"{'ratio':>6} {'queued':>6} {'blocked':>7} {'cpu us/fit':>10}")
    for text in CIRCUITS:
        for build in arguments.builds:
            for n in counts:
                rate, queued, blocked, cpu = median[(build, n)][text]
                print(f"{text:<26} {build[-24:]:<24} {n:>7} {rate:>7.0f} "
                      f"{rate / median[(build, 1)][text][0]:>7.2f} "
                      f"{rate / median[(first, n)][text][0]:>6.2f} {queued:>6.0%} "
                      f"{blocked:>7.0%} {cpu:>10.0f}")


if __name__ == "__main__":
    main()
