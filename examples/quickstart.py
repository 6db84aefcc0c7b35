"""Read a measured spectrum, fit an equivalent circuit, print its parameters and plot the fit.

The spectrum is that of a lithium-ion cell (examples/data/measured/exampleData.csv, MIT-licensed
example data of impedance.py, see the LICENSE file beside it). Plots are saved as
examples/quickstart_nyquist.png and examples/quickstart_bode.png when matplotlib is installed
(`pip install ".[plot]"`).
"""

from pathlib import Path

import pandas as pd

import movarin
from movarin_tools import fit, plot_bode, plot_nyquist, plot_residuals, read, statistics, summary

HERE = Path(__file__).resolve().parent
DATA = HERE / "data" / "measured" / "exampleData.csv"
NYQUIST_PNG = HERE / "quickstart_nyquist.png"
BODE_PNG = HERE / "quickstart_bode.png"

# An inductance for the cable (the cell turns inductive above about 1 kHz), the electrolyte
# resistance, a surface-film arc, and charge transfer with diffusion behind it.
CIRCUIT = "L0-R0-p(R1,CPE1)-p(R2-W2,CPE2)"


def save_plots(frame: pd.DataFrame, result: movarin.FitResult) -> None:
    try:
        import matplotlib
    except ImportError:
        print("\nmatplotlib is not installed: no plots (pip install \".[plot]\")")
        return
    matplotlib.use("Agg")  # files only, no window
    import matplotlib.pyplot as plt

    nyquist_figure, ax = plt.subplots()
    plot_nyquist(frame, result=result, ax=ax)
    ax.set_title(f"{DATA.name}: {CIRCUIT}")
    nyquist_figure.savefig(NYQUIST_PNG, dpi=120, bbox_inches="tight")

    # Modulus, phase and the fit's residuals, stacked on one frequency axis.
    figure, (modulus_ax, phase_ax, residual_ax) = plt.subplots(3, 1, sharex=True, figsize=(6, 8))
    plot_bode(frame, result=result, ax=(modulus_ax, phase_ax))
    plot_residuals(result, frame, ax=residual_ax)
    phase_ax.set_xlabel("")  # the residuals below carry the frequency axis
    figure.tight_layout()
    figure.savefig(BODE_PNG, dpi=120)
    plt.close("all")
    print(f"\nplots saved to {NYQUIST_PNG} and {BODE_PNG}")


def main() -> None:
    frame = read(DATA)  # the format (here a plain three-column table) is recognised by content
    print(f"{DATA.name}: {len(frame)} points from {frame['Frequency / Hz'].min():.3g} Hz "
          f"to {frame['Frequency / Hz'].max():.3g} Hz, read as {frame.attrs['format']!r}")

    # No starting values needed: fit() tries several, scaled to the data, and keeps the best.
    result = fit(CIRCUIT, frame)
    print(f"\n{result}\n")
    print(summary(result, frame).to_string(float_format="{:.4g}".format))
    figures = statistics(result, frame)
    print(f"\nreduced chi-square {figures['reduced_chi_square']:.3g}, "
          f"{figures['n_points']} points, {figures['n_parameters']} parameters")
    save_plots(frame, result)


if __name__ == "__main__":
    main()
