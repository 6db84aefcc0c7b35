"""Fit a battery's cycling series with warm starts and plot its resistances against cycle number.

The series is generated: a cell with an electrolyte resistance R0 and two arcs, a surface film
(R1, CPE1, near 1 kHz) and charge transfer (R2, CPE2, near 1 Hz), whose resistances grow with
ageing, measured every cycle from 10 mHz to 10 kHz with 1% noise. One measurement (cycle 60) lost
its contact halfway and holds NaN.

`fit_many(..., warm_start=True)` fits the cycles in order, each from the previous cycle's fitted
values: neighbouring cycles differ little, so each fit starts next to its answer. The broken cycle
becomes a row with its error text, and the cycle after it starts afresh from the default starts.

Two arcs in series can be listed in either order, and a fresh start may list them the other way
round than the chain before it; the arcs are therefore named by frequency after the fit (arc 1 the
faster), as one would for any circuit with interchangeable parts.

The plot is saved as examples/batch_cycling.png when matplotlib is installed
(`pip install ".[plot]"`).
"""

from pathlib import Path

import numpy as np
import pandas as pd

import movarin
from movarin_tools import fit_many

PNG = Path(__file__).resolve().parent / "batch_cycling.png"
CIRCUIT = "R0-p(R1,CPE1)-p(R2,CPE2)"
CYCLES = 150
BROKEN_CYCLE = 60
FREQUENCIES = np.logspace(-2, 4, 50)
NOISE = 0.01


def true_parameters(cycle: int) -> dict[str, float]:
    """The ageing cell: the film grows linearly, charge transfer slows down faster and faster."""
    r1 = 0.010 * (1 + 0.004 * cycle)
    r2 = 0.015 * np.exp(0.006 * cycle)
    alpha1, alpha2 = 0.9, 0.85
    # CPE magnitudes that keep each arc's peak in place: q = tau^alpha / R.
    return {"R0.r": 0.020 * (1 + 0.001 * cycle), "R1.r": r1, "CPE1.q": 1.6e-4**alpha1 / r1,
            "CPE1.alpha": alpha1, "R2.r": r2, "CPE2.q": 0.16**alpha2 / r2, "CPE2.alpha": alpha2}


def measured_series() -> dict[int, tuple[np.ndarray, np.ndarray]]:
    rng = np.random.default_rng(7)
    model = movarin.Circuit(CIRCUIT)
    series = {}
    for cycle in range(1, CYCLES + 1):
        z = model.with_named_values(true_parameters(cycle)).impedance(FREQUENCIES)
        z = z + NOISE * np.abs(z) * (rng.standard_normal(len(z)) + 1j * rng.standard_normal(len(z)))
        if cycle == BROKEN_CYCLE:
            z[len(z) // 2:] = np.nan
        series[cycle] = (FREQUENCIES, z)
    return series


def arcs_by_frequency(table: pd.DataFrame) -> pd.DataFrame:
    """The table with each row's two arcs swapped where arc 1 is the slower one."""
    def time_constant(arc: str) -> pd.Series:
        return (table[f"R{arc}.r"] * table[f"CPE{arc}.q"]) ** (1 / table[f"CPE{arc}.alpha"])

    swapped = time_constant("1") > time_constant("2")
    first = [column for column in table.columns if column.startswith(("R1.", "CPE1."))]
    second = [column.replace("R1.", "R2.").replace("CPE1.", "CPE2.") for column in first]
    ordered = table.copy()
    ordered.loc[swapped, first] = table.loc[swapped, second].to_numpy()
    ordered.loc[swapped, second] = table.loc[swapped, first].to_numpy()
    return ordered


def save_plot(table: pd.DataFrame, truth: pd.DataFrame) -> None:
    try:
        import matplotlib
    except ImportError:
        print("\nmatplotlib is not installed: no plot (pip install \".[plot]\")")
        return
    matplotlib.use("Agg")  # a file, no window
    import matplotlib.pyplot as plt

    figure, ax = plt.subplots(figsize=(7, 4.5))
    for name, label in [("R0.r", "R0 electrolyte"), ("R1.r", "R1 film"),
                        ("R2.r", "R2 charge transfer")]:
        true_label = "true values" if name == "R0.r" else None
        points = ax.errorbar(table.index, table[name] * 1e3, yerr=table[f"{name}_stderr"] * 1e3,
                             fmt="o", markersize=2.5, elinewidth=0.8, label=f"{label}, fitted")
        ax.plot(truth.index, truth[name] * 1e3, color=points[0].get_color(), linewidth=1,
                linestyle="--", label=true_label)
    ax.axvline(BROKEN_CYCLE, color="grey", linewidth=0.6, linestyle=":")
    ax.set_xlabel("cycle")
    ax.set_ylabel("resistance / mohm")
    ax.set_title(f"{CIRCUIT}, warm-started fits")
    ax.legend(fontsize="small")
    figure.savefig(PNG, dpi=120, bbox_inches="tight")
    print(f"\nplot saved as {PNG}")


def main() -> None:
    series = measured_series()
    table = arcs_by_frequency(fit_many(CIRCUIT, series, warm_start=True))
    table.index.name = "cycle"
    truth = pd.DataFrame([true_parameters(cycle) for cycle in series], index=table.index)

    failed = table[table["error"].notna()]
    print(f"{len(table)} cycles fitted in {table['seconds'].sum():.2f} s; "
          f"{len(failed)} failed: {dict(failed['error'].str.slice(0, 60))}")
    resistances = ["R0.r", "R1.r", "R2.r"]
    print("\nfitted resistances (mohm) every 25 cycles:")
    print((table.loc[::25, resistances] * 1e3).round(3).to_string())
    deviation = ((table[resistances] - truth[resistances]) / truth[resistances]).abs()
    print("\nlargest relative deviation from the truth over the good cycles:")
    print(deviation.max().map("{:.1%}".format).to_string())
    save_plot(table, truth)


if __name__ == "__main__":
    main()
