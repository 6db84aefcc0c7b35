"""Fixed parameters and a caller's bounds: held exactly, respected by every method, refused by name."""

import math

import numpy as np
import pandas as pd
import pytest

import movarin
from movarin_tools import fit, fit_many, statistics, summary

FREQUENCIES = np.logspace(5, -2, 60)
TWO_ARCS = "R0-p(R1,CPE1)-p(R2,CPE2)"
TRUTH = {"R0.r": 5.0, "R1.r": 40.0, "CPE1.q": 1e-5, "CPE1.alpha": 0.85,
         "R2.r": 120.0, "CPE2.q": 1e-3, "CPE2.alpha": 0.75}
METHODS = ["levenberg_marquardt", "particle_swarm", "nelder_mead", "differential_evolution",
           "simulated_annealing", "basin_hopping"]
QUICK = {"seed": 4, "num_particles": 30, "generations": 60, "de_evaluations": 2000,
         "sa_iterations": 800, "basin_hopping_hops": 3, "nelder_mead_iterations": 800}


def spectrum(noise: float = 0.0) -> np.ndarray:
    z = movarin.Circuit(TWO_ARCS).with_named_values(TRUTH).impedance(FREQUENCIES)
    rng = np.random.default_rng(7)
    return z * (1 + noise * (rng.standard_normal(z.size) + 1j * rng.standard_normal(z.size)))


def test_the_second_arc_alone_is_fitted_with_the_first_held():
    first_arc = {name: TRUTH[name] for name in ("R0.r", "R1.r", "CPE1.q", "CPE1.alpha")}
    z = spectrum(noise=0.005)
    result = fit(TWO_ARCS, FREQUENCIES, z, fixed=first_arc)
    for name, value in first_arc.items():
        assert result.params[name] == value  # bit for bit
    assert result.params["R2.r"] == pytest.approx(120.0, rel=0.02)
    assert result.params["CPE2.alpha"] == pytest.approx(0.75, rel=0.02)
    table = summary(result, FREQUENCIES, z, fixed=first_arc)
    assert table["fixed"].tolist() == [True] * 4 + [False] * 3
    assert table.loc[list(first_arc), "stderr"].isna().all()
    assert table.loc[["R2.r", "CPE2.q", "CPE2.alpha"], "stderr"].notna().all()
    figures = statistics(result, FREQUENCIES, z, fixed=first_arc)
    assert (figures["n_parameters"], figures["dof"]) == (3, 2 * 60 - 3)


@pytest.mark.parametrize("method", METHODS)
def test_every_method_holds_fixed_values_and_stays_inside_the_bounds(method):
    z = spectrum()
    bounds = {"CPE1.alpha": (0.7, 0.8), "R2.r": (50.0, None)}
    start = {**TRUTH, "CPE1.alpha": 0.75, "R1.r": 60.0}
    result = fit(TWO_ARCS, FREQUENCIES, z, start=start, fixed=["R0.r"], bounds=bounds,
                 method=method, **QUICK)
    assert result.params["R0.r"] == 5.0
    assert 0.7 <= result.params["CPE1.alpha"] <= 0.8
    assert result.params["R2.r"] >= 50.0
    if result.stderr is not None:
        assert math.isnan(result.stderr["R0.r"])


def test_bounds_that_exclude_the_optimum_end_on_the_bound():
    z = movarin.Circuit("rq").with_values([5.0, 40.0, 1e-5, 0.85]).impedance(FREQUENCIES)
    bounds = {"CPE1.alpha": (0.6, 0.8)}
    result = fit("rq", FREQUENCIES, z, bounds=bounds)
    assert result.params["CPE1.alpha"] == 0.8
    table = summary(result, FREQUENCIES, z, bounds=bounds)
    assert table.loc["CPE1.alpha", "at_bound"]
    assert table.loc["CPE1.alpha", "upper"] == 0.8
    assert not table["at_bound"].drop("CPE1.alpha").any()


@pytest.mark.parametrize("options, refusal", [
    ({"fixed": {"R9.r": 1.0}}, "fixed: unknown parameter 'R9.r'"),
    ({"bounds": {"R9.r": (1.0, 2.0)}}, "bounds: unknown parameter 'R9.r'"),
    ({"fixed": {"R1.r": math.nan}}, "fixed['R1.r'] must be finite"),
    ({"fixed": ["R1.r"]}, "pass start= too"),
    ({"bounds": {"R1.r": (1.0,)}}, "bounds['R1.r'] must be a pair"),
    ({"bounds": {"R1.r": (200.0, 100.0)}}, "R1.r: the lower bound 200 is not below"),
    ({"bounds": {"R1.r": (-math.inf, 100.0)}}, "R1.r: the lower bound -inf is not finite"),
    ({"bounds": {"R1.r": (-5.0, 100.0)}}, "R1.r: [-5, 100] reaches outside the parameter's range"),
    ({"bounds": {"CPE1.alpha": (0.5, 1.2)}}, "CPE1.alpha: [0.5, 1.2] reaches outside"),
    ({"bounds": {"R1.r": (100.0, 200.0)}, "start": TRUTH},
     "the start value 40 of R1.r lies outside its bounds [100, 200]"),
    ({"fixed": {"CPE2.alpha": 1.5}}, "the fixed value 1.5 of CPE2.alpha lies outside its bounds"),
    ({"fixed": TRUTH}, "every parameter is fixed"),
])
def test_refusals_name_the_parameter(options, refusal):
    with pytest.raises(ValueError, match=refusal.replace("[", r"\[").replace("(", r"\(")):
        fit(TWO_ARCS, FREQUENCIES, spectrum(), **options)


def test_fit_many_applies_them_to_every_spectrum():
    spectra = {"a": (FREQUENCIES, spectrum()), "b": (FREQUENCIES, spectrum(noise=0.01))}
    table = fit_many(TWO_ARCS, spectra, workers=1, fixed={"R0.r": 5.0},
                     bounds={"CPE2.alpha": (0.5, 0.9)}, hops=0)
    assert (table["R0.r"] == 5.0).all()
    assert table["R0.r_stderr"].isna().all()
    assert table["error"].isna().all()
    other = fit_many(pd.Series(["rc", TWO_ARCS], index=["a", "b"]), spectra, workers=1,
                     fixed={"R2.r": 120.0}, hops=0)
    assert "unknown parameter 'R2.r'" in other.loc["a", "error"]
    assert other.loc["b", "R2.r"] == 120.0
