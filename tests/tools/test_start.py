"""Data-scaled starting values: inside the bounds for any circuit, and close on clean spectra."""

import math

import numpy as np
import pytest

import movarin
from movarin_tools.start import initial_guess

FREQUENCIES = np.logspace(5, -2, 50)
NESTED = [
    "R0-(CPE1,R1-(R2,CPE2))",
    "L0-R0-p(R1-(R2,C2)-W3,CPE1)-Wo4",
    "(R1,C1)",
    "R0-(Zarc1,K2)-Gs3",
    "R0-(R1-(R2-(R3,C3),C2),C1)-Ws4-La5",
    "TLMQ1-T2-G3-(C4,L5)",
    "R0-(R1,CPE1)-CPE2",
    "C1",
]


def true_values(circuit: movarin.Circuit, ohms: float, rng: np.random.Generator) -> list[float]:
    """Values a cell of about `ohms` could have, time constants inside the measured window."""
    values = []
    for (lo, hi), unit in zip(circuit.param_bounds(), circuit.param_units()):
        tau = 10.0 ** rng.uniform(-4.0, 1.0)
        r = ohms * 10.0 ** rng.uniform(-0.5, 0.5)
        by_unit = {"ohm": r, "ohm*m^2": r, "F": tau / r, "ohm^-1*s^alpha": tau**0.8 / r,
                   "F*s^(gamma-1)": tau**0.8 / r, "H": 1e-7 * r, "H*s": 1e-7 * r,
                   "ohm*s^-0.5": r / math.sqrt(tau), "s": tau}
        values.append(by_unit.get(unit, 0.8 if math.isfinite(hi) else 1.0))
    return values


@pytest.mark.parametrize("ohms", [1e-3, 1e6])
@pytest.mark.parametrize("text", movarin.Circuit.ml_circuits() + NESTED)
def test_inside_bounds_for_any_circuit_and_scale(text, ohms):
    rng = np.random.default_rng(7)
    circuit = movarin.Circuit(text)
    truth = circuit.with_values(true_values(circuit, ohms, rng))
    noisy = truth.impedance(FREQUENCIES) * (1 + 0.01 * rng.standard_normal(FREQUENCIES.size))
    for given in (text, truth):  # a string, and an object whose structure is hidden
        guess = initial_guess(given, FREQUENCIES, noisy)
        assert len(guess) == len(circuit.param_names())
        for value, (lo, hi) in zip(guess, circuit.param_bounds()):
            assert math.isfinite(value) and lo < value < hi, (text, guess)
    # Sized to the data: every resistance within a few decades of the cell's.
    resistances = [v for v, unit in zip(guess, circuit.param_units()) if unit == "ohm"]
    assert all(1e-4 * ohms < r < 1e4 * ohms for r in resistances), guess


def test_close_to_a_clean_spectrum_and_same_for_an_object():
    truth = [0.015, 0.02, 0.5, 0.85, 0.01, 20.0, 0.9]
    circuit = movarin.Circuit("R0-(R1,CPE1)-(R2,CPE2)").with_values(truth)
    z = circuit.impedance(FREQUENCIES)
    guess = initial_guess("two_rq", FREQUENCIES, z)
    assert guess[0] == pytest.approx(0.015, rel=0.05)
    assert guess[1] + guess[4] == pytest.approx(0.03, rel=0.1)
    built = movarin.Series([movarin.R(1.0), movarin.Parallel([movarin.R(1.0), movarin.Cpe(1e-3, 0.8)]),
                            movarin.Parallel([movarin.R(1.0), movarin.Cpe(1e-3, 0.8)])])
    assert initial_guess(built, FREQUENCIES, z) == guess


def test_inductive_tail_and_dataframe_input():
    pd = pytest.importorskip("pandas")
    z = movarin.Circuit("L0-R0-(R1,C1)").with_values([2e-7, 0.015, 0.02, 1.0]).impedance(FREQUENCIES)
    frame = pd.DataFrame({"Frequency / Hz": FREQUENCIES, "Real Impedance / ohm": z.real,
                          "Imaginary Impedance / ohm": z.imag})
    guess = initial_guess("rc_l", frame)
    assert guess[0] == pytest.approx(2e-7, rel=0.2)
    assert guess == initial_guess(movarin.Circuit("rc_l"), FREQUENCIES, z)


@pytest.mark.parametrize("impedances", [np.zeros(50), np.full(50, 5.0 + 0j), np.full(50, 3j),
                                        np.full(50, -1.0 - 1.0j)])
def test_degenerate_spectra_still_give_values_inside_bounds(impedances):
    circuit = movarin.Circuit("L0-R0-(R1-W1,CPE1)-Wo2")
    guess = initial_guess("L0-R0-(R1-W1,CPE1)-Wo2", FREQUENCIES, impedances)
    assert all(lo < v < hi for v, (lo, hi) in zip(guess, circuit.param_bounds()))


def test_errors_name_the_argument():
    with pytest.raises(ValueError, match="frequencies"):
        initial_guess("rc", [0.0, -1.0], [1.0, 2.0])
    with pytest.raises(ValueError):
        initial_guess("R0-(R1,C1", FREQUENCIES, np.ones(50))
