"""Parameter table and fit statistics, checked against NumPy straight from the Jacobian."""

import math
from types import SimpleNamespace

import numpy as np
import pandas as pd
import pytest

import movarin
from movarin_tools import statistics, summary

FREQUENCIES = np.logspace(-2, 5, 40)
CIRCUIT = "R0-p(R1,Cpe1)"
SCALARS = ("n_points", "n_parameters", "dof", "cost", "chi_square", "reduced_chi_square", "aic",
           "bic")


def noisy_spectrum(circuit, values, frequencies=FREQUENCIES):
    z = np.asarray(movarin.Circuit(circuit).with_values(values).impedance(frequencies))
    return z * (1 + 0.002 * np.random.default_rng(0).standard_normal(len(z)))


def fitted(circuit, z, weight, frequencies=FREQUENCIES):
    start = movarin.Circuit(circuit)
    start = start.with_values([10, 100, 1e-5, 0.9][: len(start.param_names())])
    return start.fit(frequencies, z, guess_init=False, weight=weight)


def numpy_covariance(result, z, weight, free):
    params = list(result.params.values())
    r = np.asarray(result.circuit.residuals(params, FREQUENCIES, z, weight=weight))
    jacobian = np.asarray(result.circuit.jacobian(params, FREQUENCIES, z, weight=weight))[:, free]
    return r, (r @ r) / (len(r) - len(params)) * np.linalg.inv(jacobian.T @ jacobian)


@pytest.mark.parametrize("weight", ["modulus", "unit"])
def test_statistics_match_numpy_from_the_jacobian(weight):
    z = noisy_spectrum(CIRCUIT, [10, 100, 1e-5, 0.85])
    result = fitted(CIRCUIT, z, weight)
    stats = statistics(result, FREQUENCIES, z, weight=weight)
    r, covariance = numpy_covariance(result, z, weight, slice(None))
    chi_square, n = r @ r, 80

    assert (stats["n_points"], stats["n_parameters"], stats["dof"]) == (40, 4, 76)
    assert stats["chi_square"] == pytest.approx(chi_square, rel=1e-12)
    assert stats["cost"] == pytest.approx(result.cost, rel=1e-12)
    assert stats["reduced_chi_square"] == pytest.approx(chi_square / 76, rel=1e-12)
    assert stats["aic"] == pytest.approx(n * math.log(chi_square / n) + 8, rel=1e-12)
    assert stats["bic"] == pytest.approx(n * math.log(chi_square / n) + 4 * math.log(n), rel=1e-12)
    assert all(type(stats[key]) in (int, float) for key in SCALARS)
    np.testing.assert_allclose(stats["covariance"], covariance, rtol=1e-6)
    deviations = np.sqrt(np.diag(covariance))
    correlation = covariance / np.outer(deviations, deviations)
    np.testing.assert_allclose(stats["correlation"], correlation, rtol=1e-6)
    np.testing.assert_allclose(deviations, list(result.stderr.values()), rtol=1e-6)

    frame = pd.DataFrame({"Frequency / Hz": FREQUENCIES, "Real Impedance / ohm": z.real,
                          "Imaginary Impedance / ohm": z.imag})
    table = summary(result, frame, weight=weight)
    assert list(table.index) == result.circuit.param_names()
    np.testing.assert_allclose(table["stderr"], deviations, rtol=1e-6)
    np.testing.assert_allclose(table["relative_stderr"], deviations / table["value"], rtol=1e-6)
    assert not table["at_bound"].any()


def test_statistics_warn_when_the_weight_scheme_is_not_the_fits():
    z = noisy_spectrum(CIRCUIT, [10, 100, 1e-5, 0.85])
    with pytest.warns(RuntimeWarning, match="weight scheme"):
        statistics(fitted(CIRCUIT, z, "modulus"), FREQUENCIES, z, weight="unit")


# Data whose exponent lies beyond 1: every fit stops on the bound.
@pytest.mark.parametrize("weight", ["modulus", "unit"])
def test_a_parameter_at_its_bound_has_no_stderr_and_leaves_the_covariance(weight):
    z = noisy_spectrum(CIRCUIT, [10, 100, 1e-5, 1.05])
    result = fitted(CIRCUIT, z, weight)
    table = summary(result, FREQUENCIES, z, weight=weight)
    stats = statistics(result, FREQUENCIES, z, weight=weight)

    assert list(table.index[table["at_bound"]]) == ["Cpe1.alpha"]
    assert table.loc["Cpe1.alpha", ["stderr", "relative_stderr"]].isna().all()
    free = ~table["at_bound"].to_numpy()
    _, covariance = numpy_covariance(result, z, weight, free)
    pinned_entries = np.concatenate([stats["covariance"][~free], stats["covariance"].T[~free]])
    assert np.isnan(pinned_entries).all()
    np.testing.assert_allclose(stats["covariance"][np.ix_(free, free)], covariance, rtol=1e-6)
    np.testing.assert_allclose(table["stderr"][free], np.sqrt(np.diag(covariance)), rtol=1e-6)


# 1e-7 away is on the bound, 1e-5 away is not: relative to the lower bound of an open-ended
# parameter, relative to the box width of a bounded one.
@pytest.mark.parametrize("r0, alpha, pinned", [(1e-12 * (1 + 1e-7), 1 - 1e-5, ["R0.r"]),
                                               (1e-12 * (1 + 1e-5), 1 - 1e-7, ["Cpe1.alpha"])])
def test_at_bound_tolerances(r0, alpha, pinned):
    z = noisy_spectrum(CIRCUIT, [10, 100, 1e-5, 0.85])
    circuit = movarin.Circuit(CIRCUIT).with_values([r0, 100, 1e-5, alpha])
    r = np.asarray(circuit.residuals(circuit.param_values(), FREQUENCIES, z))
    result = SimpleNamespace(circuit=circuit, cost=0.5 * r @ r,
                             params=dict(zip(circuit.param_names(), circuit.param_values())))
    table = summary(result, FREQUENCIES, z)
    assert list(table.index[table["at_bound"]]) == pinned
    assert list(table.index[table["stderr"].isna()]) == pinned


# Two points for four parameters (no degrees of freedom, the fit gives no stderr), and two
# resistors in series whose split the data cannot tell.
@pytest.mark.parametrize("circuit, frequencies",
                         [(CIRCUIT, FREQUENCIES[::20]), ("R0-R1", FREQUENCIES)])
def test_an_undetermined_fit_gives_nan_rather_than_an_error(circuit, frequencies):
    # A plain resistance: the two resistors share it and both stay far from their lower bound,
    # where central differences would no longer give them equal columns.
    z = noisy_spectrum("R0", [150.0], frequencies)
    result = fitted(circuit, z, "modulus", frequencies)
    stats = statistics(result, frequencies, z)
    assert np.isnan(stats["covariance"]).all() and np.isnan(stats["correlation"]).all()
    assert summary(result, frequencies, z)["stderr"].isna().all()
    if stats["dof"] <= 0:
        assert result.stderr is None and math.isnan(stats["reduced_chi_square"])
