"""Fits of one large spectrum (10^6 points by default), stage by stage, against a baseline build.

Every stage is timed in a fresh process per build, one build after the other, REPEATS times; the
medians are printed with the ratio baseline / this build. Stages, for each circuit:

- impedance   `circuit.impedance(f)` at the true values
- residuals   `circuit.residuals(true values, f, z)`: one residual vector, conversions included
- jacobian    `circuit.jacobian(true values, f, z)`
- guess       `Circuit(text).guess(f, z)`: the machine-learning start
- fit         `Circuit(text).fit(f, z)`: the default fit, guess included

The spectrum: log-spaced from 10 mHz to 100 kHz, the circuit's impedance at fixed values with 1%
complex Gaussian noise (fixed seed). Run from the repository with the module to measure first on
the path, e.g.

    PYTHONPATH=build/mod:python .venv/bin/python bench/bench_large_fit.py \
        --baseline /path/to/baseline/build/mod
"""

import argparse
import json
import os
import statistics
import subprocess
import sys
import time

import numpy as np

CASES = (
    ("R0-p(R1,C1)", [10.0, 50.0, 1e-5]),
    ("R0-p(R1-W1,CPE1)", [10.0, 50.0, 20.0, 1e-4, 0.85]),
    ("R0-p(R1,CPE1)-p(R2,CPE2)", [5.0, 20.0, 1e-5, 0.9, 40.0, 5e-4, 0.8]),
)
STAGES = ("impedance", "residuals", "jacobian", "guess", "fit")
NOISE = 0.01


def spectrum(movarin, text, values, points):
    rng = np.random.default_rng(20261209)
    frequencies = np.logspace(-2, 5, points)
    z = movarin.Circuit(text).with_values(values).impedance(frequencies)
    noise = rng.standard_normal(points) + 1j * rng.standard_normal(points)
    return frequencies, z + NOISE * np.abs(z) * noise


def seconds(call):
    start = time.perf_counter()
    result = call()
    return time.perf_counter() - start, result


def measure(points):
    """One round of every stage of every case, in this process: {case: {stage: seconds}}."""
    import movarin

    timings = {}
    for text, values in CASES:
        f, z = spectrum(movarin, text, values, points)
        circuit = movarin.Circuit(text).with_values(values)
        stage = {}
        stage["impedance"], _ = seconds(lambda: circuit.impedance(f))
        stage["residuals"], _ = seconds(lambda: circuit.residuals(values, f, z))
        stage["jacobian"], _ = seconds(lambda: circuit.jacobian(values, f, z))
        stage["guess"], _ = seconds(lambda: movarin.Circuit(text).guess(f, z))
        stage["fit"], result = seconds(lambda: movarin.Circuit(text).fit(f, z))
        stage["evaluations"] = result.impedance_evals
        stage["cost"] = result.cost
        timings[text] = stage
    return timings


def run_child(path, points):
    environment = dict(os.environ)
    if path is not None:
        environment["PYTHONPATH"] = os.pathsep.join([path, environment.get("PYTHONPATH", "")])
    output = subprocess.run(
        [sys.executable, __file__, "--child", "--points", str(points)],
        env=environment,
        check=True,
        capture_output=True,
        text=True,
    ).stdout
    return json.loads(output.splitlines()[-1])


def medians(rounds):
    return {
        text: {key: statistics.median(r[text][key] for r in rounds) for key in rounds[0][text]}
        for text in rounds[0]
    }


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--points", type=int, default=1_000_000)
    parser.add_argument("--repeats", type=int, default=3)
    parser.add_argument("--baseline", help="directory holding the baseline build of movarin")
    parser.add_argument("--child", action="store_true", help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.child:
        print(json.dumps(measure(args.points)))
        return

    builds = {"this": None}
    if args.baseline:
        builds["baseline"] = args.baseline
    rounds = {name: [] for name in builds}
    for _ in range(args.repeats):
        for name, path in builds.items():
            rounds[name].append(run_child(path, args.points))
    results = {name: medians(r) for name, r in rounds.items()}

    print(f"{args.points} points, median of {args.repeats} rounds, seconds")
    header = f"{'circuit':<26} {'stage':<10} {'this':>9}"
    if args.baseline:
        header += f" {'baseline':>9} {'base/this':>9}"
    print(header)
    print("-" * len(header))
    for text, _ in CASES:
        for stage in STAGES:
            line = f"{text:<26} {stage:<10} {results['this'][text][stage]:>9.3f}"
            if args.baseline:
                base = results["baseline"][text][stage]
                line += f" {base:>9.3f} {base / results['this'][text][stage]:>9.2f}"
            print(line)
        evaluations = f"evaluations {results['this'][text]['evaluations']:.0f}"
        costs = f"cost {results['this'][text]['cost']:.6g}"
        if args.baseline:
            evaluations += f" (baseline {results['baseline'][text]['evaluations']:.0f})"
            costs += f" (baseline {results['baseline'][text]['cost']:.6g})"
        print(f"{text:<26} {evaluations}, {costs}")


if __name__ == "__main__":
    main()
