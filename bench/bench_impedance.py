"""Circuit impedance: movarin against a vectorised NumPy evaluation of the same formulas.

Run with the interpreter that has movarin installed:

    .venv/bin/python bench/bench_impedance.py [--baseline DIR]

With --baseline, the movarin timings of the build in DIR (put first on the path of a child
process) are taken in the same run, case by case right after this build's, and their ratio is
printed too.
"""

import argparse
import json
import os
import subprocess
import sys
import timeit

import numpy as np

import movarin

TWO_PI = 6.283185307179586
SIZES = (50, 1000, 100_000)
REPEATS = 7
TOLERANCE = 1e-12


def cpe(omega, q, alpha):
    # 1/(q (j w)^alpha) = w^-alpha e^(-j pi alpha / 2) / q: one real power, one constant phase.
    phase = np.cos(0.5 * np.pi * alpha) - 1j * np.sin(0.5 * np.pi * alpha)
    return omega ** -alpha * (phase / q)


def warburg(omega, aw):
    return aw * (1 - 1j) / np.sqrt(omega)


def warburg_open(omega, z0, tau):
    u = np.sqrt(omega * (0.5 * tau)) * (1 + 1j)  # sqrt(j w tau)
    return z0 / (u * np.tanh(u))


def parallel(*branches):
    return 1 / sum(1 / z for z in branches)


def randles_numpy(f, r0, r1, aw1, q1, alpha1):
    omega = TWO_PI * f
    return r0 + parallel(r1 + warburg(omega, aw1), cpe(omega, q1, alpha1))


def sei_randles_wo_numpy(f, r0, r1, q1, alpha1, r2, z0, tau, q2, alpha2):
    omega = TWO_PI * f
    return (
        r0
        + parallel(r1, cpe(omega, q1, alpha1))
        + parallel(r2 + warburg_open(omega, z0, tau), cpe(omega, q2, alpha2))
    )


CASES = (
    ("R0-(R1-W1,CPE1)", randles_numpy, [10.0, 50.0, 20.0, 1e-4, 0.85]),
    (
        "R0-(R1,CPE1)-(R2-Wo2,CPE2)",
        sei_randles_wo_numpy,
        [5.0, 20.0, 1e-5, 0.9, 40.0, 30.0, 5.0, 5e-4, 0.8],
    ),
)


def seconds_per_call(function):
    """Best of REPEATS timings, each long enough (autorange) to be stable for small sizes."""
    timer = timeit.Timer(function)
    number, _ = timer.autorange()
    return min(timer.repeat(repeat=REPEATS, number=number)) / number


def movarin_seconds(text, values, size):
    circuit = movarin.Circuit(text).with_values(values)
    frequencies = np.logspace(-2, 6, size)
    return seconds_per_call(lambda: circuit.impedance(frequencies))


class Baseline:
    """A child process with the baseline build first on its path, timing one case per request."""

    def __init__(self, path):
        environment = dict(os.environ)
        environment["PYTHONPATH"] = os.pathsep.join([path, environment.get("PYTHONPATH", "")])
        self.process = subprocess.Popen(
            [sys.executable, __file__, "--serve"],
            env=environment,
            stdin=subprocess.PIPE,
            stdout=subprocess.PIPE,
            text=True,
        )

    def seconds(self, case_index, size):
        self.process.stdin.write(json.dumps([case_index, size]) + "\n")
        self.process.stdin.flush()
        return float(self.process.stdout.readline())

    def close(self):
        self.process.stdin.close()
        self.process.wait()


def serve():
    for line in sys.stdin:
        case_index, size = json.loads(line)
        text, _, values = CASES[case_index]
        print(movarin_seconds(text, values, size), flush=True)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--baseline", help="directory holding the baseline build of movarin")
    parser.add_argument("--serve", action="store_true", help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.serve:
        serve()
        return
    baseline = Baseline(args.baseline) if args.baseline else None

    print(f"best of {REPEATS} timings per call; np/mv = NumPy time / movarin time")
    header = (
        f"{'circuit':<28} {'points':>7} {'movarin':>11} {'numpy':>11} {'np/mv':>7}"
        f" {'max rel diff':>13}"
    )
    if baseline:
        header += f" {'baseline':>11} {'base/mv':>7}"
    print(header)
    print("-" * len(header))
    worst = 0.0
    for case_index, (text, numpy_impedance, values) in enumerate(CASES):
        circuit = movarin.Circuit(text).with_values(values)
        for size in SIZES:
            frequencies = np.logspace(-2, 6, size)
            z_movarin = circuit.impedance(frequencies)
            z_numpy = numpy_impedance(frequencies, *values)
            difference = np.max(np.abs(z_movarin - z_numpy) / np.abs(z_numpy))
            worst = max(worst, difference)
            t_movarin = movarin_seconds(text, values, size)
            t_numpy = seconds_per_call(lambda: numpy_impedance(frequencies, *values))
            line = (
                f"{text:<28} {size:>7} {t_movarin * 1e6:>9.1f}us {t_numpy * 1e6:>9.1f}us "
                f"{t_numpy / t_movarin:>7.2f} {difference:>13.2e}"
            )
            if baseline:
                t_baseline = baseline.seconds(case_index, size)
                line += f" {t_baseline * 1e6:>9.1f}us {t_baseline / t_movarin:>7.2f}"
            print(line, flush=True)
    if baseline:
        baseline.close()
    if worst > TOLERANCE:
        raise SystemExit(f"movarin and NumPy differ by {worst:.2e} (> {TOLERANCE:.0e})")


if __name__ == "__main__":
    main()
