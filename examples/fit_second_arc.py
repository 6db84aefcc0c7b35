"""Fit the second arc of a two-arc spectrum with the first arc held at values fitted beforehand.

The lithium-ion cell of examples/data/measured/exampleData.csv (MIT-licensed example data of
impedance.py, see the LICENSE file beside it) shows a surface-film arc at high frequencies and a
charge-transfer arc with diffusion below it. The first arc is fitted alone on the points above
100 Hz; the full circuit is then fitted with the cable inductance, the electrolyte resistance and
the first arc fixed at those values, and the charge-transfer exponent kept between 0.6 and 1.
With the first arc as the high frequencies alone see it, the second arc ends capacitive: its
exponent reaches 1, which the table flags as at_bound.
"""

from pathlib import Path

from movarin_tools import fit, read, statistics, summary

DATA = Path(__file__).resolve().parent / "data" / "measured" / "exampleData.csv"
FIRST_ARC = "L0-R0-p(R1,CPE1)"
FULL = "L0-R0-p(R1,CPE1)-p(R2-W2,CPE2)"
HIGH_FREQUENCIES = 100.0  # Hz: above it the first arc alone describes the cell


def main() -> None:
    frame = read(DATA)
    high = frame[frame["Frequency / Hz"] > HIGH_FREQUENCIES]
    first = fit(FIRST_ARC, high)
    print(f"First arc on {len(high)} points above {HIGH_FREQUENCIES:g} Hz:")
    for name, value in first.params.items():
        print(f"  {name:12s} {value:.4g}")

    fixed = dict(first.params)  # the same names in the full circuit
    bounds = {"CPE2.alpha": (0.6, 1.0)}
    second = fit(FULL, frame, fixed=fixed, bounds=bounds)
    print(f"\nSecond arc with the first held (success: {second.success}):")
    table = summary(second, frame, fixed=fixed, bounds=bounds)
    print(table[["value", "stderr", "fixed", "at_bound"]].to_string(float_format="%.4g"))
    figures = statistics(second, frame, fixed=fixed, bounds=bounds)
    print(f"\n{figures['n_parameters']} parameters fitted, reduced chi-square "
          f"{figures['reduced_chi_square']:.3g}")


if __name__ == "__main__":
    main()
