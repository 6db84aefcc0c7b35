"""The start-free fit: never worse than Circuit.fit, silent, and exact about given starts."""

import warnings
from types import SimpleNamespace

import numpy as np
import pytest

import movarin
from movarin_tools.fitting import best_result, fit

FREQUENCIES = np.logspace(5, -2, 50)
SPECTRA = {  # circuit -> true values; named ones start from the network, the others do not
    "rc": [10.0, 100.0, 1e-5],
    "two_rq_l": [2e-7, 0.015, 0.005, 0.1, 0.85, 0.012, 3.0, 0.85],
    "sei_randles": [100.0, 400.0, 5e-7, 0.85, 2e4, 4000.0, 1e-3, 0.8],
    "R0-(CPE1,R1-(R2,CPE2))": [60.0, 1e-6, 0.8, 17.0, 1500.0, 3e-4, 0.9],
    "L0-R0-(R1,CPE1)-(R2-W2,CPE2)": [2e-7, 0.015, 0.005, 0.1, 0.85, 0.012, 0.003, 3.0, 0.85],
    "R0-(R1,CPE1)-CPE2": [100.0, 500.0, 5e-6, 0.85, 1e-4, 0.9],
}


def noisy_spectrum(text: str, seed: int = 3) -> np.ndarray:
    rng = np.random.default_rng(seed)
    z = movarin.Circuit(text).with_values(SPECTRA[text]).impedance(FREQUENCIES)
    return z * (1 + 0.02 * (rng.standard_normal(z.size) + 1j * rng.standard_normal(z.size)))


@pytest.mark.parametrize("text", SPECTRA)
@pytest.mark.parametrize("options", [{}, {"weight": "unit", "hops": 0}])
def test_never_costlier_than_circuit_fit_and_silent(text, options):
    z = noisy_spectrum(text)
    module_options = {k: v for k, v in options.items() if k != "hops"}
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")  # the placeholder warning of un-named circuits
        reference = movarin.Circuit(text).fit(FREQUENCIES, z, **module_options)
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        result = fit(text, FREQUENCIES, z, **options)
    assert result.cost <= reference.cost * (1 + 1e-12)
    assert list(result.params) == movarin.Circuit(text).param_names()
    if not options:  # and it finds the minimum the true values lead to, nested circuits included
        from_truth = movarin.Circuit(text).with_values(SPECTRA[text]).fit(FREQUENCIES, z,
                                                                          guess_init=False)
        assert result.cost <= from_truth.cost * 1.01


def test_given_start_is_the_module_fit_from_there():
    z = noisy_spectrum("R0-(R1,CPE1)-CPE2")
    circuit = movarin.Circuit("R0-(R1,CPE1)-CPE2")
    start = [90.0, 400.0, 1e-5, 0.8, 2e-4, 0.8]
    expected = circuit.with_values(start).fit(FREQUENCIES, z, max_iterations=3)
    by_list = fit("R0-(R1,CPE1)-CPE2", FREQUENCIES, z, start=start, max_iterations=3)
    by_name = fit("R0-(R1,CPE1)-CPE2", FREQUENCIES, z, max_iterations=3,
                  start=dict(zip(circuit.param_names(), start)))
    assert by_list.params == by_name.params == expected.params


def test_bad_starts_and_keywords_are_refused():
    z = noisy_spectrum("rc")
    with pytest.raises(ValueError, match="expected 3 values"):
        fit("rc", FREQUENCIES, z, start=[1.0, 2.0])
    with pytest.raises(ValueError, match=r"unknown parameters \['R9.r'\]"):
        fit("rc", FREQUENCIES, z, start={"R0.r": 1.0, "R1.r": 1.0, "R9.r": 1.0})
    with pytest.raises(TypeError, match="start="):
        fit("rc", FREQUENCIES, z, guess_init=False)
    with pytest.raises(ValueError, match="hops"):
        fit("rc", FREQUENCIES, z, hops=-1)
    with pytest.raises(ValueError):
        fit("rc", FREQUENCIES, z, method="no_such_method")


def test_best_result_prefers_success_at_equal_cost_only():
    failed = SimpleNamespace(cost=1.0, success=False)
    succeeded = SimpleNamespace(cost=1.0 * (1 + 1e-12), success=True)
    cheaper_failure = SimpleNamespace(cost=0.5, success=False)
    broken = SimpleNamespace(cost=float("nan"), success=True)
    assert best_result([failed, succeeded, broken]) is succeeded
    assert best_result([succeeded, cheaper_failure, broken]) is cheaper_failure
