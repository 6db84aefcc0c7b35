"""Read every measured spectrum in examples/data/measured, test it and fit it, one plot per file.

The eight files are exports of different instruments' software (the README beside them describes
each format), MIT-licensed example data of impedance.py: see LICENSE-impedance.py beside them.
For each file this prints the Kramers-Kronig test's verdict and the fit's reduced chi-square, and
saves a plot (Nyquist with the fit, the fit's residuals, the Kramers-Kronig residuals) to
examples/output/<file>.png when matplotlib is installed (`pip install ".[plot]"`).

Usage: python examples/measured_spectra.py [OUTPUT_DIR]
"""

import sys
import warnings
from pathlib import Path

import numpy as np
import pandas as pd

import movarin
from movarin_tools import (KKResult, fit, kramers_kronig, plot_nyquist, plot_residuals, read,
                           statistics)

HERE = Path(__file__).resolve().parent
DATA = HERE / "data" / "measured"

# One circuit per file, chosen from the shape of its Nyquist plot: an inductance where the top
# frequencies turn inductive, one parallel group per arc, a Warburg element for a diffusion tail.
CIRCUITS = {
    "exampleData.csv": "L0-R0-p(R1,CPE1)-p(R2-W2,CPE2)",
    "exampleDataAutolab.txt": "L0-R0-p(R1,CPE1)-p(R2,CPE2)",
    "exampleDataBioLogic.mpt": "R0-p(R1,CPE1)",
    "exampleDataCHInstruments.txt": "R0-p(R1,CPE1)",
    "exampleDataGamry.DTA": "R0-p(R1,CPE1)-p(R2,CPE2)",
    "exampleDataParstat.txt": "L0-R0-p(R1,CPE1)",
    "exampleDataVersaStudio.par": "R0-p(R1,CPE1)",
    "exampleDataZPlot.z": "R0-p(R1,CPE1)",
}


def spectrum_files() -> list[Path]:
    """Every file of the data directory except its README and licence."""
    return sorted(
        path for path in DATA.iterdir()
        if path.is_file() and path.suffix != ".md" and not path.name.startswith("LICENSE")
    )


def save_plot(path: Path, frame: pd.DataFrame, result: movarin.FitResult, kk: KKResult,
              circuit: str, output: Path) -> Path:
    import matplotlib.pyplot as plt

    figure, (nyquist_ax, fit_ax, kk_ax) = plt.subplots(1, 3, figsize=(16, 4.5))
    plot_nyquist(frame, result=result, ax=nyquist_ax)
    nyquist_ax.set_title(circuit)
    plot_residuals(result, frame, ax=fit_ax)
    fit_ax.set_title("fit residuals")
    frequencies = frame["Frequency / Hz"]
    kk_ax.plot(frequencies, 100 * kk.residuals_real, "o-", ms=4, lw=0.8, label="Δ real")
    kk_ax.plot(frequencies, 100 * kk.residuals_imag, "s-", ms=4, lw=0.8, label="Δ imaginary")
    kk_ax.axhline(0.0, color="0.5", lw=0.8)
    kk_ax.set(xscale="log", xlabel="frequency / Hz", ylabel="residual / % of |Z|",
              title=f"Kramers-Kronig test ({kk.num_rc} RC): {'valid' if kk.valid else 'NOT valid'}")
    kk_ax.grid(True, which="both", alpha=0.3)
    kk_ax.legend()
    figure.suptitle(path.name)
    # Fixed margins: an automatic layout would draw every figure twice.
    figure.subplots_adjust(left=0.06, right=0.98, bottom=0.12, top=0.85, wspace=0.25)
    target = output / f"{path.name}.png"
    figure.savefig(target, dpi=90)
    plt.close(figure)
    return target


def main() -> None:
    output = Path(sys.argv[1]) if len(sys.argv) > 1 else HERE / "output"
    try:
        import matplotlib

        matplotlib.use("Agg")  # files only, no window
        output.mkdir(parents=True, exist_ok=True)
        plotting = True
    except ImportError:
        print('matplotlib is not installed: no plots (pip install ".[plot]")\n')
        plotting = False

    print(f"{'file':<30} {'format':<12} {'points':>6} {'KK valid':>9} {'KK max %':>9} "
          f"{'circuit':<32} {'fit':>4} {'red. chi2':>10}")
    for path in spectrum_files():
        with warnings.catch_warnings():
            # Some exports carry rows that are not impedance points (a DC hold at frequency 0);
            # read() drops them and says so, which is expected here.
            warnings.simplefilter("ignore", UserWarning)
            frame = read(path)
        kk = kramers_kronig(frame)
        worst = 100 * np.max(np.abs(np.concatenate([kk.residuals_real, kk.residuals_imag])))
        circuit = CIRCUITS[path.name]
        result = fit(circuit, frame)
        reduced = statistics(result, frame)["reduced_chi_square"]
        print(f"{path.name:<30} {frame.attrs['format']:<12} {len(frame):>6} "
              f"{'yes' if kk.valid else 'no':>9} {worst:>9.2g} {circuit:<32} "
              f"{'ok' if result.success else 'FAIL':>4} {reduced:>10.3g}")
        if plotting:
            save_plot(path, frame, result, kk, circuit, output)
    if plotting:
        print(f"\nplots saved in {output}")


if __name__ == "__main__":
    main()
