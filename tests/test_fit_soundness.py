"""What a fit reports must hold: no unscored point, no success flag on a point nobody converged at,
no fit through rows that cannot be measured."""

from pathlib import Path

import numpy as np
import pandas as pd
import pytest

from movarin import Circuit
from movarin_tools import read

FREQUENCIES = np.logspace(5, -1, 50)
RQ = Circuit("R0-p(R1,CPE1)")
# The fit with the exponent held at its upper bound 1, found by fitting the same data with a capacitor.
RC = Circuit("R0-p(R1,C1)")


def steeper_than_capacitive_arc():
    """An arc whose exponent would be 1.25: every free fit wants to leave the exponent's box."""
    omega = 2 * np.pi * FREQUENCIES
    arc = 50.0 / (1 + 50.0 * 2e-5 * (1j * omega) ** 1.25)
    noise = np.random.default_rng(3).standard_normal((FREQUENCIES.size, 2)) @ [1, 1j]
    return (5.0 + arc) * (1 + 0.002 * noise)


def cost(circuit, params, impedances):
    residuals = np.asarray(circuit.residuals(list(params), FREQUENCIES, impedances))
    return 0.5 * float(residuals @ residuals)


@pytest.mark.parametrize("start", [[5.0, 50.0, 2e-5, 0.9], [5.0, 50.0, 2e-5, 0.5], None])
def test_exponent_leaving_its_box_is_pinned_and_refitted(start):
    z = steeper_than_capacitive_arc()
    capacitor = RC.with_values([5.0, 50.0, 2e-5]).fit(FREQUENCIES, z)
    circuit = Circuit("rq") if start is None else RQ.with_values(start)
    result = circuit.fit(FREQUENCIES, z)
    params = list(result.params.values())
    assert params[3] == 1.0
    # Refitted with the exponent frozen: as good as the capacitor, and the cost is the one at the
    # reported point.
    assert result.cost == pytest.approx(capacitor.cost, rel=1e-9)
    assert result.cost == pytest.approx(cost(RQ, params, z), rel=1e-12)
    assert result.success


def test_fit_started_at_the_bounded_optimum_never_ends_above_it():
    z = steeper_than_capacitive_arc()
    optimum = list(RQ.with_values([5.0, 50.0, 2e-5, 0.9]).fit(FREQUENCIES, z).params.values())
    start_cost = cost(RQ, optimum, z)
    for max_iterations in (0, 200):
        result = RQ.with_values(optimum).fit(FREQUENCIES, z, max_iterations=max_iterations)
        assert result.cost <= start_cost * (1 + 1e-12)
        # One evaluation budget cannot converge anywhere, so nothing may be called a success.
        assert result.success == (max_iterations == 200)


def test_no_success_without_a_finite_chi_square():
    z = RC.with_values([10.0, 100.0, 1e-5]).impedance(FREQUENCIES) * 1e160
    result = RC.with_values([1e161, 1e162, 1e-165]).fit(FREQUENCIES, z, weight="unit")
    assert not np.isfinite(result.chi_square)
    assert not result.success


Z_GOOD = RC.with_values([10.0, 100.0, 1e-5]).impedance(FREQUENCIES)


def with_row(frequency=None, impedance=None, row=7):
    f, z = FREQUENCIES.copy(), Z_GOOD.copy()
    if frequency is not None:
        f[row] = frequency
    if impedance is not None:
        z[row] = impedance
    return f, z


@pytest.mark.parametrize("spectrum, text", [
    (with_row(frequency=np.nan), "row 7 cannot be fitted: frequency NaN is not a finite positive number"),
    (with_row(frequency=np.inf), "row 7 cannot be fitted: frequency inf is not a finite positive number"),
    (with_row(frequency=0.0), "row 7 cannot be fitted: frequency 0 is not a finite positive number"),
    (with_row(frequency=-2.0), "row 7 cannot be fitted: frequency -2 is not a finite positive number"),
    (with_row(impedance=complex(np.nan, 1.0)), "row 7 cannot be fitted: impedance NaN+1j is not finite"),
    (with_row(impedance=complex(3.0, -np.inf)), "row 7 cannot be fitted: impedance 3-infj is not finite"),
])
@pytest.mark.parametrize("call", ["fit", "guess"])
def test_unusable_rows_are_refused(spectrum, text, call):
    circuit = Circuit("rc")
    with pytest.raises(ValueError) as raised:
        getattr(circuit, call)(*spectrum)
    assert str(raised.value) == text
    # The building blocks still evaluate whatever they are given.
    circuit.residuals([10.0, 100.0, 1e-5], *spectrum)


def test_dataframe_rows_are_counted_in_the_frame():
    frame = pd.DataFrame({"Frequency / Hz": np.r_[0.0, FREQUENCIES],
                          "Real Impedance / ohm": np.r_[1.0, Z_GOOD.real],
                          "Imaginary Impedance / ohm": np.r_[0.0, Z_GOOD.imag]})
    frame.loc[5, "Imaginary Impedance / ohm"] = np.nan
    with pytest.raises(ValueError, match=r"^row 5 cannot be fitted: impedance"):
        Circuit("rc").fit(frame)


@pytest.mark.parametrize("method", ["nelder_mead", "differential_evolution", "simulated_annealing"])
def test_search_ending_beyond_a_bound_is_polished_inside_it(method):
    z = steeper_than_capacitive_arc()
    capacitor = RC.with_values([5.0, 50.0, 2e-5]).fit(FREQUENCIES, z)
    result = RQ.with_values([1.0, 1e3, 1e-6, 0.9]).fit(FREQUENCIES, z, method=method, seed=2)
    assert result.cost == pytest.approx(capacitor.cost, rel=1e-9)
    assert result.success


def test_runaway_search_is_no_success():
    # From this start the simplex walks R1 off to about 1e99 (the arc becomes a bare CPE), and the
    # local fit from there converges on that degenerate shape.
    frame = read(Path(__file__).resolve().parents[1] / "examples/data/measured/exampleDataZPlot.z")
    result = RQ.with_values([1.0, 1e3, 1e-6, 0.9]).fit(frame, method="nelder_mead")
    assert result.params["R1.r"] > 1e9
    assert not result.success
