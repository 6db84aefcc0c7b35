"""Many spectra: movarin_tools.fit_many on local threads and on a Dask cluster, against a bare loop.

10,000 spectra (by default) are generated, a third each of rc, randles and two_rq, with parameters
drawn log-uniformly (exponents uniformly) from fixed ranges with a fixed seed, 40 log-spaced points
from 0.1 Hz to 100 kHz and 1% complex Gaussian noise, Z + 0.01 |Z| (e1 + j e2).

Every spectrum gets the same fit on both sides of each comparison: a local fit from a fixed,
order-of-magnitude start per circuit (START below), followed by movarin_tools.statistics:

- bare loop       `Circuit(c).with_values(START[c]).fit(f, z, guess_init=False)` then
                  `statistics(result, f, z)`, for each spectrum, on the calling thread;
- fit_many        `fit_many(c, spectra_of_c, start=START[c], workers=n)` for each of the three
                  circuits (one start cannot serve three circuits), the three calls timed together,
                  table assembly included;
- Dask            the same calls with `client=` a LocalCluster of 2 worker processes with one thread
                  each (chunks sized by fit_many), after one warm-up call that imports the package
                  on the workers; cluster start-up is not timed.

The compiled module's worker pool is sized once per process, so the local runs are made in child
processes: once with the default pool (as many threads as the processors this process may use,
Jacobian columns of one fit spread over them) and once with MOVARIN_NUM_THREADS=1 (every fit on
its calling thread). The cluster's workers run with MOVARIN_NUM_THREADS=1.

Each figure is the best of `--repeats` runs (3), the local runs taking turns. "overhead" is
fit_many on one thread against the bare loop on the same spectra; "efficiency" is fits/s on n
threads over n x fits/s on one.

The last rows fit `--default-start-spectra` of the spectra (300, a third per circuit) once with
movarin_tools.fit's default starts (several starts and two basin-hopping hops per spectrum), all
three circuits in one call with a column of circuit strings: what a batch costs without starts.

Needs dask[distributed]. Run on an otherwise idle machine:

    python bench/bench_batch.py [--spectra 10000] [--repeats 3]
"""

from __future__ import annotations

import argparse
import functools
import json
import logging
import os
import subprocess
import sys
import time
from collections.abc import Callable
from typing import Any

import numpy as np
import numpy.typing as npt

FREQUENCIES = np.logspace(-1, 5, 40)
NOISE = 0.01
SEED = 20261209
START = {
    "rc": [10.0, 100.0, 1e-5],
    "randles": [10.0, 100.0, 10.0, 1e-5, 0.85],
    "two_rq": [10.0, 100.0, 1e-6, 0.85, 100.0, 1e-3, 0.85],
}


def log_uniform(rng: np.random.Generator, lo: float, hi: float) -> float:
    return float(np.exp(rng.uniform(np.log(lo), np.log(hi))))


def rc_parameters(rng: np.random.Generator) -> list[float]:
    r0, r1 = log_uniform(rng, 1, 100), log_uniform(rng, 10, 1000)
    return [r0, r1, log_uniform(rng, 1e-4, 1) / r1]


def randles_parameters(rng: np.random.Generator) -> list[float]:
    r0, r1 = log_uniform(rng, 1, 100), log_uniform(rng, 10, 1000)
    tau1, alpha = log_uniform(rng, 1e-5, 1e-2), rng.uniform(0.75, 0.95)
    return [r0, r1, r1 * log_uniform(rng, 0.05, 0.5), tau1**alpha / r1, alpha]


def two_rq_parameters(rng: np.random.Generator) -> list[float]:
    r0, r1, r2 = log_uniform(rng, 1, 100), log_uniform(rng, 10, 1000), log_uniform(rng, 10, 1000)
    tau1, tau2 = log_uniform(rng, 1e-5, 1e-3), log_uniform(rng, 1e-2, 1)
    alpha1, alpha2 = rng.uniform(0.75, 0.95), rng.uniform(0.75, 0.95)
    return [r0, r1, tau1**alpha1 / r1, alpha1, r2, tau2**alpha2 / r2, alpha2]


DRAWS = {"rc": rc_parameters, "randles": randles_parameters, "two_rq": two_rq_parameters}
Spectrum = tuple[npt.NDArray[np.float64], npt.NDArray[np.complex128]]
Groups = dict[str, list[Spectrum]]


def generate(count: int) -> Groups:
    """count spectra, a third per circuit, grouped by circuit."""
    import movarin

    rng = np.random.default_rng(SEED)
    groups: Groups = {name: [] for name in DRAWS}
    for index in range(count):
        name = list(DRAWS)[index % len(DRAWS)]
        z = movarin.Circuit(name).with_values(DRAWS[name](rng)).impedance(FREQUENCIES)
        noise = NOISE * np.abs(z) * (rng.standard_normal(len(z)) + 1j * rng.standard_normal(len(z)))
        groups[name].append((FREQUENCIES, z + noise))
    return groups


def seconds_of(run: Callable[[], object]) -> float:
    began = time.perf_counter()
    run()
    return time.perf_counter() - began


def best_of_interleaved(repeats: int, runs: dict[str, Callable[[], object]]) -> dict[str, float]:
    """The best time of each run, the runs taking turns so that a drifting load hits all alike."""
    best = {name: float("inf") for name in runs}
    for _ in range(repeats):
        for name, run in runs.items():
            best[name] = min(best[name], seconds_of(run))
    return best


def bare_loop(groups: Groups) -> None:
    import movarin
    from movarin_tools import statistics

    for name, spectra in groups.items():
        for f, z in spectra:
            result = movarin.Circuit(name).with_values(START[name]).fit(f, z, guess_init=False)
            statistics(result, f, z)


def fit_many_all(groups: Groups, **options: Any) -> int:
    from movarin_tools import fit_many

    failures = 0
    for name, spectra in groups.items():
        table = fit_many(name, spectra, start=START[name], progress=False, **options)
        failures += int(table["error"].notna().sum())
    return failures


def measure_locally(count: int, repeats: int, default_start_spectra: int) -> dict[str, float]:
    """Child process: the local figures under this process's pool setting."""
    from movarin_tools.batch import usable_cpu_count

    from movarin_tools import fit_many

    groups = generate(count)
    fit_many_all(groups, workers=1)  # warm-up: imports, the first pool start
    runs: dict[str, Callable[[], object]] = {"bare": lambda: bare_loop(groups)}
    for threads in range(1, usable_cpu_count() + 1):
        runs[f"threads {threads}"] = functools.partial(fit_many_all, groups, workers=threads)
    figures = best_of_interleaved(repeats, runs)
    figures["failures"] = fit_many_all(groups, workers=1)

    # The default starts of movarin_tools.fit, all circuits in one call, on fewer spectra.
    few = default_start_spectra
    circuits = [name for name, spectra in groups.items() for _ in spectra[:few // len(groups)]]
    mixed = [spectrum for spectra in groups.values() for spectrum in spectra[:few // len(groups)]]
    for threads in range(1, usable_cpu_count() + 1):
        figures[f"default starts, threads {threads}"] = seconds_of(
            lambda: fit_many(circuits, mixed, workers=threads, progress=False))
    figures["default starts, spectra"] = len(mixed)
    return figures


def measure_cluster(count: int, repeats: int) -> float:
    from distributed import Client, LocalCluster

    groups = generate(count)
    with LocalCluster(n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None,
                      silence_logs=logging.CRITICAL, env={"MOVARIN_NUM_THREADS": "1"}) as cluster, \
            Client(cluster) as client:
        fit_many_all({name: spectra[:20] for name, spectra in groups.items()}, client=client)
        return min(seconds_of(lambda: fit_many_all(groups, client=client))
                   for _ in range(repeats))


def local_figures(arguments: argparse.Namespace, pool_threads: str | None) -> dict[str, float]:
    env = {key: value for key, value in os.environ.items() if key != "MOVARIN_NUM_THREADS"}
    if pool_threads is not None:
        env["MOVARIN_NUM_THREADS"] = pool_threads
    done = subprocess.run(
        [sys.executable, __file__, "--child", "--spectra", str(arguments.spectra), "--repeats",
         str(arguments.repeats), "--default-start-spectra", str(arguments.default_start_spectra)],
        env=env, capture_output=True, text=True, check=True)
    figures: dict[str, float] = json.loads(done.stdout.strip().splitlines()[-1])
    return figures


def report(arguments: argparse.Namespace) -> None:
    from movarin_tools.batch import usable_cpu_count

    count, repeats = arguments.spectra, arguments.repeats
    cpus = usable_cpu_count()
    print(f"{count} spectra (rc, randles, two_rq), best of {repeats}; {cpus} usable processors "
          f"({os.cpu_count()} logical); load average {os.getloadavg()[0]:.2f} at the start")
    runs = {"default pool": local_figures(arguments, None),
            "MOVARIN_NUM_THREADS=1": local_figures(arguments, "1")}
    cluster_seconds = measure_cluster(count, repeats)

    print(f"\n| run | pool | threads | fits/s | efficiency |\n|---|---|---|---|---|")
    for pool, figures in runs.items():
        print(f"| bare loop | {pool} | 1 | {count / figures['bare']:,.0f} | |")
        one = figures["threads 1"]
        for threads in range(1, cpus + 1):
            seconds = figures[f"threads {threads}"]
            efficiency = one / (threads * seconds)
            print(f"| fit_many | {pool} | {threads} | {count / seconds:,.0f} | {efficiency:.0%} |")
    print(f"| fit_many, LocalCluster 2 x 1 | MOVARIN_NUM_THREADS=1 | 2 | "
          f"{count / cluster_seconds:,.0f} | |")
    for pool, figures in runs.items():
        few = figures["default starts, spectra"]
        one = figures["default starts, threads 1"]
        for threads in range(1, cpus + 1):
            seconds = figures[f"default starts, threads {threads}"]
            print(f"| fit_many, default starts, {few:.0f} spectra | {pool} | {threads} | "
                  f"{few / seconds:,.1f} | {one / (threads * seconds):.0%} |")
    print()
    for pool, figures in runs.items():
        overhead = figures["threads 1"] / figures["bare"] - 1
        print(f"fit_many overhead on one thread against the bare loop ({pool}): {overhead:+.1%} "
              f"({(figures['threads 1'] - figures['bare']) / count * 1e6:+.1f} us per spectrum); "
              f"failed spectra: {figures['failures']}")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--spectra", type=int, default=10_000)
    parser.add_argument("--repeats", type=int, default=3)
    parser.add_argument("--default-start-spectra", type=int, default=300,
                        help="spectra fitted with movarin_tools.fit's default starts (once)")
    parser.add_argument("--child", action="store_true", help=argparse.SUPPRESS)
    arguments = parser.parse_args()
    if arguments.child:
        print(json.dumps(measure_locally(arguments.spectra, arguments.repeats,
                                         arguments.default_start_spectra)))
    else:
        report(arguments)


if __name__ == "__main__":
    main()
