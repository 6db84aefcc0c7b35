"""Build a circuit, then fit two circuits to a measured spectrum of a lithium-ion cell.

Needs pandas to read the data file; draws examples/quickstart_nyquist.png when matplotlib is
installed (`pip install ".[examples,plot]"`).
"""

import sys
from pathlib import Path

import numpy as np

import movarin

HERE = Path(__file__).resolve().parent
DATA = HERE / "data" / "lithium_ion_cell.csv"
PLOT = HERE / "quickstart_nyquist.png"

FREQUENCY = "Frequency / Hz"
REAL = "Real Impedance / ohm"
IMAGINARY = "Imaginary Impedance / ohm"


def build_circuits() -> None:
    # A Randles circuit from a string: elements carry labels and, until given, placeholder values.
    randles = movarin.Circuit("R0-(R1-W1,CPE1)").with_named_values(
        {"R0.r": 12.0, "R1.r": 85.0, "W1.aw": 40.0, "CPE1.q": 2.2e-5, "CPE1.alpha": 0.87}
    )
    # The same circuit from element objects.
    built = movarin.Series(
        [movarin.R(12.0), movarin.Parallel([movarin.Series([movarin.R(85.0), movarin.W(40.0)]),
                                            movarin.Cpe(2.2e-5, 0.87)])]
    )
    print(randles)
    print(built)
    frequencies = np.logspace(5, -2, 8)
    assert np.array_equal(randles.impedance(frequencies), built.impedance(frequencies))


def read_spectrum():
    try:
        import pandas as pd
    except ImportError:
        sys.exit("This example reads its data with pandas: pip install \".[examples]\"")
    frame = pd.read_csv(DATA)
    # The cell turns inductive above about 1 kHz; this circuit has no inductor, so those points
    # are left out.
    return frame[frame[IMAGINARY] < 0]


def print_result(result) -> None:
    print(f"\n{result}")
    print(f"\n{'parameter':<10} {'value':>12} {'std. error':>12}")
    for name, value in result.params.items():
        error = result.stderr[name] if result.stderr else float("nan")
        print(f"{name:<10} {value:12.4g} {error:12.2g}")


def fit_with_a_stored_model(frame):
    # Two arcs (surface film, charge transfer) and a diffusion tail: one of the topologies with a
    # trained network, so no starting values are needed: the network reads them off the spectrum.
    circuit = movarin.Circuit("R0-(R1,CPE1)-(R2-W2,CPE2)")
    guessed = zip(circuit.param_names(), circuit.guess(frame))
    print("\nmachine-learning start: " + ", ".join(f"{name} {value:.4g}" for name, value in guessed))
    result = circuit.fit(frame)  # the dataframe's battery-format columns carry the spectrum
    print_result(result)
    return result


def fit_from_typed_values(frame):
    # No stored model serves this topology, so the fit starts from values read off the plot:
    # the high-frequency intercept, two arcs of a few milliohm, and a slow diffusion tail.
    circuit = movarin.Circuit("R0-(R1,C1)-(R2-Wo1,C2)")
    start = circuit.with_named_values(
        {"R0.r": 0.01, "R1.r": 0.005, "C1.c": 0.1, "R2.r": 0.005, "Wo1.z0": 0.05,
         "Wo1.tau": 100.0, "C2.c": 1.0}
    )
    result = start.fit(frame)
    print_result(result)
    return result


def draw_nyquist(frame, fits) -> None:
    try:
        import matplotlib

        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
    except ImportError:
        return
    frequencies = np.logspace(np.log10(frame[FREQUENCY].min()), np.log10(frame[FREQUENCY].max()),
                              300)
    figure, axes = plt.subplots(figsize=(6, 4.5))
    axes.plot(frame[REAL] * 1e3, -frame[IMAGINARY] * 1e3, "o", ms=4, label="measured")
    for label, fitted in fits.items():
        model = fitted.impedance(frequencies)
        axes.plot(model.real * 1e3, -model.imag * 1e3, "-", label=f"fit {label}")
    axes.set_xlabel("Re Z / mΩ")
    axes.set_ylabel("−Im Z / mΩ")
    axes.set_aspect("equal", adjustable="datalim")
    axes.grid(alpha=0.3)
    axes.legend()
    figure.tight_layout()
    figure.savefig(PLOT, dpi=120)
    print(f"\nNyquist plot saved to {PLOT}")


def main() -> None:
    build_circuits()
    frame = read_spectrum()
    stored = fit_with_a_stored_model(frame)
    typed = fit_from_typed_values(frame)
    draw_nyquist(frame, {"R0-(R1,CPE1)-(R2-W2,CPE2)": stored.circuit,
                         "R0-(R1,C1)-(R2-Wo1,C2)": typed.circuit})


if __name__ == "__main__":
    main()
