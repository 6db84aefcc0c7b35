"""Spectrum conversion: NumPy arrays copied whole against the item-by-item path.

A call of `residuals` with an unknown weight keyword converts `params`, the spectrum and the
keyword, in that order, and fails on the keyword before anything is evaluated; so timing that
call times the conversion of the spectrum alone. For comparison, the full `residuals` call of a
single resistor adds a cheap evaluation and the building of the 2n-float result list.

Run with the interpreter that has movarin installed:

    .venv/bin/python bench/bench_spectrum.py
"""

import timeit

import numpy as np
import pandas as pd
import polars as pl

import movarin

POINTS = 1_000_000
REPEATS = 7
TARGET_MS = 10.0

RESISTOR = movarin.Circuit("R0")


def convert_only(frequencies, impedances=None):
    try:
        RESISTOR.residuals([1.0], frequencies, impedances, weight="none")
    except ValueError as error:
        if "unknown weight scheme" not in str(error):
            raise
    else:
        raise AssertionError("the weight keyword was accepted")


def full_residuals(frequencies, impedances=None):
    RESISTOR.residuals([1.0], frequencies, impedances, weight="unit")


def best_ms(function, *arguments):
    timer = timeit.Timer(lambda: function(*arguments))
    return min(timer.repeat(repeat=REPEATS, number=1)) * 1e3


def inputs():
    """(name, whether the arrays are copied whole, arguments) per input form."""
    frequencies = np.logspace(-2, 6, POINTS)
    impedances = movarin.Circuit("R0-(R1,CPE1)").with_values([10.0, 50.0, 1e-4, 0.85]).impedance(
        frequencies)
    frame = {
        "Frequency / Hz": frequencies,
        "Real Impedance / ohm": impedances.real.copy(),
        "Imaginary Impedance / ohm": impedances.imag.copy(),
    }
    twice_f, twice_z = np.repeat(frequencies, 2), np.repeat(impedances, 2)
    return [
        ("float64 + complex128 arrays", True, (frequencies, impedances)),
        ("lists of float + complex", False, (frequencies.tolist(), impedances.tolist())),
        ("object-dtype arrays", False, (frequencies.astype(object), impedances.astype(object))),
        ("non-contiguous views", False, (twice_f[::2], twice_z[::2])),
        ("dict of float64 columns", True, (frame,)),
        ("pandas DataFrame", False, (pd.DataFrame(frame),)),
        ("polars DataFrame", False, (pl.DataFrame(frame),)),
    ]


def main():
    print(f"{POINTS:,} points, best of {REPEATS} runs; 'residuals' adds a resistor's evaluation and "
          "the 2n-float result list")
    header = f"{'input':<28} {'path':<8} {'conversion':>11} {'vs arrays':>10} {'residuals':>11}"
    print(header)
    print("-" * len(header))
    reference_ms = None
    for name, whole, arguments in inputs():
        conversion = best_ms(convert_only, *arguments)
        reference_ms = reference_ms or conversion
        path = "whole" if whole else "items"
        print(f"{name:<28} {path:<8} {conversion:>9.2f}ms {conversion / reference_ms:>9.1f}x "
              f"{best_ms(full_residuals, *arguments):>9.2f}ms")
    if reference_ms > TARGET_MS:
        raise SystemExit(f"converting NumPy arrays took {reference_ms:.2f} ms (> {TARGET_MS} ms)")


if __name__ == "__main__":
    main()
