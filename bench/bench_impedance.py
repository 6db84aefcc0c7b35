"""Circuit impedance: movarin against a vectorised NumPy evaluation of the same formulas.

Run with the interpreter that has movarin installed:

    .venv/bin/python bench/bench_impedance.py
"""

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


def main():
    print(f"best of {REPEATS} timings per call; np/mv = NumPy time / movarin time")
    header = (
        f"{'circuit':<28} {'points':>7} {'movarin':>11} {'numpy':>11} {'np/mv':>7}"
        f" {'max rel diff':>13}"
    )
    print(header)
    print("-" * len(header))
    worst = 0.0
    for text, numpy_impedance, values in CASES:
        circuit = movarin.Circuit(text).with_values(values)
        for size in SIZES:
            frequencies = np.logspace(-2, 6, size)
            z_movarin = circuit.impedance(frequencies)
            z_numpy = numpy_impedance(frequencies, *values)
            difference = np.max(np.abs(z_movarin - z_numpy) / np.abs(z_numpy))
            worst = max(worst, difference)
            t_movarin = seconds_per_call(lambda: circuit.impedance(frequencies))
            t_numpy = seconds_per_call(lambda: numpy_impedance(frequencies, *values))
            print(
                f"{text:<28} {size:>7} {t_movarin * 1e6:>9.1f}us {t_numpy * 1e6:>9.1f}us "
                f"{t_numpy / t_movarin:>7.2f} {difference:>13.2e}"
            )
    if worst > TOLERANCE:
        raise SystemExit(f"movarin and NumPy differ by {worst:.2e} (> {TOLERANCE:.0e})")


if __name__ == "__main__":
    main()
