"""Parameter table and goodness-of-fit figures of a fitted circuit.

Both functions re-evaluate the weighted residuals and their Jacobian at the fitted values with
``movarin.Circuit.residuals`` and ``movarin.Circuit.jacobian``, so they need the spectrum and the
weight scheme the fit used.

A parameter counts as *at a bound* when it lies within ``1e-6`` of its box width from a finite
bound, or, for an open-ended parameter (upper bound ``inf``), within a relative ``1e-6`` of its
lower bound. Such a parameter is not a free estimate: its standard error is NaN and its column is
left out of the Jacobian from which the covariance of the others is computed.
"""

from __future__ import annotations

import math
import warnings
from typing import Any

import numpy as np
import numpy.typing as npt
import pandas as pd

import movarin
from movarin_tools._constraints import BoundsSpec, Fixed, resolve
from movarin_tools._spectrum import as_arrays

FloatArray = npt.NDArray[np.float64]
BoolArray = npt.NDArray[np.bool_]

BOUND_TOLERANCE = 1e-6
# Central differences are accurate to about eps^(2/3) relative at best, and so is JᵀJ; once its
# condition number reaches the reciprocal, the inverse has no correct digit left.
LARGEST_CONDITION = np.finfo(np.float64).eps ** (-2.0 / 3.0)
# The cost the fit reported and the one recomputed here differ only by summation order when both
# come from the same spectrum and weights.
COST_AGREEMENT = 1e-6


def _fitted_values(result: movarin.FitResult) -> tuple[list[str], FloatArray]:
    names = list(result.circuit.param_names())
    return names, np.array([result.params[name] for name in names], dtype=np.float64)


def _constraints(circuit: movarin.Circuit, fixed: Fixed | None,
                 bounds: BoundsSpec | None) -> tuple[BoolArray, FloatArray, FloatArray]:
    """The fixed mask and the lower and upper bounds the fit worked with."""
    constraints = resolve(circuit, fixed, bounds, start_given=True)
    pairs = constraints.bounds if constraints.bounds is not None else circuit.param_bounds()
    box = np.array(pairs, dtype=np.float64).reshape(-1, 2)
    return np.array(constraints.fixed_mask, dtype=bool), box[:, 0], box[:, 1]


def at_bound_mask(values: FloatArray, lower: FloatArray, upper: FloatArray) -> BoolArray:
    """Flag the parameters that sit on one of their bounds.

    Parameters
    ----------
    values, lower, upper
        Parameter values and their bounds; ``upper`` is ``inf`` for open-ended parameters.

    Returns
    -------
    numpy.ndarray of bool
        True where a value is within ``1e-6`` of the box width from a finite bound, or within a
        relative ``1e-6`` of an open-ended parameter's lower bound.
    """
    open_ended = np.isinf(upper)
    with np.errstate(invalid="ignore"):
        margin = BOUND_TOLERANCE * np.where(open_ended, np.abs(lower), upper - lower)
        near_lower = np.abs(values - lower) <= margin
        near_upper = ~open_ended & (np.abs(upper - values) <= margin)
    return near_lower | near_upper


def _inverse_normal_matrix(jacobian: FloatArray, free: BoolArray) -> FloatArray:
    """The inverse of JᵀJ over the free columns, NaN elsewhere; all NaN if singular.

    Singular means singular to the precision of a finite-difference Jacobian, so parameters the
    data cannot tell apart (two resistors in series) get NaN rather than noise.
    """
    k = jacobian.shape[1]
    inverse = np.full((k, k), np.nan)
    reduced = jacobian[:, free]
    if reduced.shape[1] == 0 or not np.all(np.isfinite(reduced)):
        return inverse
    # Parameters span many decades (ohms next to microfarads); scaling the columns to unit norm
    # keeps the inversion accurate and makes the singularity test independent of units.
    norms = np.linalg.norm(reduced, axis=0)
    if np.any(norms == 0.0):
        return inverse
    normal = (reduced / norms).T @ (reduced / norms)
    if not np.linalg.cond(normal) < LARGEST_CONDITION:
        return inverse
    try:
        inverse_of_scaled = np.linalg.inv(normal)
    except np.linalg.LinAlgError:
        return inverse
    inverse[np.ix_(free, free)] = inverse_of_scaled / np.outer(norms, norms)
    return inverse


def _correlation(inverse: FloatArray) -> FloatArray:
    # From the unscaled inverse, so that a perfect fit (chi-square 0) keeps its correlations.
    deviations = np.sqrt(np.diag(inverse))
    with np.errstate(invalid="ignore", divide="ignore"):
        correlation = inverse / np.outer(deviations, deviations)
    diagonal = np.isfinite(np.diag(correlation))
    correlation[np.diag_indices_from(correlation)] = np.where(diagonal, 1.0, np.nan)
    return correlation


def _log_or_minus_infinity(x: float) -> float:
    # A perfect fit (synthetic data) has chi-square 0, whose information criteria are -inf.
    return math.log(x) if x > 0.0 else (-math.inf if x == 0.0 else math.nan)


def _warn_if_cost_disagrees(result: movarin.FitResult, cost: float) -> None:
    reported = float(result.cost)
    if math.isfinite(reported) and math.isfinite(cost) and not math.isclose(
        cost, reported, rel_tol=COST_AGREEMENT, abs_tol=0.0
    ):
        warnings.warn(
            f"the residuals at the fitted values give cost {cost:.6g} but the fit reported "
            f"{reported:.6g}: pass the spectrum and the weight scheme the fit used",
            RuntimeWarning,
            stacklevel=3,
        )


def statistics(
    result: movarin.FitResult,
    frequencies: Any,
    impedances: Any = None,
    *,
    weight: str = "modulus",
    fixed: Fixed | None = None,
    bounds: BoundsSpec | None = None,
) -> dict[str, Any]:
    """Goodness of fit and parameter covariance of a fit result.

    Parameters
    ----------
    result
        The fit result; ``result.circuit`` gives parameter order and bounds.
    frequencies, impedances
        The fitted spectrum: two sequences, or one battery data format dataframe with
        ``impedances`` left as ``None``.
    weight
        The weight scheme the fit used (``"modulus"`` or ``"unit"``, as in
        ``movarin.Circuit.fit``). A cost that disagrees with ``result.cost`` issues a
        ``RuntimeWarning``, as it means another spectrum or weight scheme.
    fixed, bounds
        The ``fixed`` and ``bounds`` the fit was given (:func:`movarin_tools.fit`): fixed
        parameters are no estimates (NaN rows and columns, not counted in ``n_parameters``), and
        a parameter is at a bound by its given bounds.

    Returns
    -------
    dict
        ``n_points``, ``n_parameters`` (those not fixed), ``dof`` (2 x points - parameters), ``cost`` (half the
        sum of squared weighted residuals), ``chi_square`` (their sum), ``reduced_chi_square``
        (chi_square / dof, NaN when dof <= 0), ``aic`` and ``bic`` (with N = 2 x points and k
        parameters: N ln(chi_square/N) + 2k and N ln(chi_square/N) + k ln N), all plain Python
        numbers; ``covariance`` and ``correlation``, k x k NumPy arrays in ``param_names()``
        order. The covariance is reduced chi-square times the inverse of JᵀJ, J the weighted
        Jacobian at the fitted values; rows and columns of parameters at a bound are NaN, and
        the rest come from J without those columns. dof <= 0, or a JᵀJ singular to the
        precision of the finite-difference Jacobian (condition number of the column-scaled
        matrix above eps^(-2/3), about 3e10), gives NaN.

    Raises
    ------
    ValueError
        If the spectrum is empty or malformed, or ``weight`` is not a weight scheme.
    """
    frequencies, impedances = as_arrays(frequencies, impedances)
    if len(frequencies) == 0:
        raise ValueError("frequencies and impedances must not be empty")
    circuit = result.circuit
    _, values = _fitted_values(result)
    held, lower, upper = _constraints(circuit, fixed, bounds)
    residuals = np.asarray(circuit.residuals(list(values), frequencies, impedances, weight=weight))
    jacobian = np.asarray(
        circuit.jacobian(list(values), frequencies, impedances, weight=weight), dtype=np.float64
    ).reshape(len(residuals), len(values))

    n_points = len(frequencies)
    n_residuals = 2 * n_points
    k = int(np.count_nonzero(~held))
    dof = n_residuals - k
    chi_square = float(residuals @ residuals)
    cost = 0.5 * chi_square
    _warn_if_cost_disagrees(result, cost)
    reduced_chi_square = chi_square / dof if dof > 0 else math.nan
    log_likelihood_term = n_residuals * _log_or_minus_infinity(chi_square / n_residuals)
    inverse = _inverse_normal_matrix(jacobian, ~held & ~at_bound_mask(values, lower, upper))
    return {
        "n_points": n_points,
        "n_parameters": k,
        "dof": dof,
        "cost": cost,
        "chi_square": chi_square,
        "reduced_chi_square": reduced_chi_square,
        "aic": log_likelihood_term + 2 * k,
        "bic": log_likelihood_term + k * math.log(n_residuals),
        "covariance": reduced_chi_square * inverse,
        "correlation": _correlation(inverse) if dof > 0 else np.full_like(inverse, np.nan),
    }


def summary(
    result: movarin.FitResult,
    frequencies: Any,
    impedances: Any = None,
    *,
    weight: str = "modulus",
    fixed: Fixed | None = None,
    bounds: BoundsSpec | None = None,
) -> pd.DataFrame:
    """Table of fitted parameters with their standard errors and bounds.

    Parameters
    ----------
    result
        The fit result.
    frequencies, impedances
        The fitted spectrum, as for :func:`statistics`.
    weight
        The weight scheme the fit used (``"modulus"`` or ``"unit"``).
    fixed, bounds
        The ``fixed`` and ``bounds`` the fit was given, as for :func:`statistics`.

    Returns
    -------
    pandas.DataFrame
        Indexed by parameter name in ``param_names()`` order, with columns ``value``,
        ``stderr`` (square root of the covariance diagonal of :func:`statistics`: equal to
        ``result.stderr`` when no parameter is at a bound, NaN for a parameter at a bound or
        when the covariance is undetermined), ``relative_stderr`` (stderr / abs(value)),
        ``lower``, ``upper`` (the bounds the fit worked in), ``at_bound`` (a free parameter on
        one of them) and ``fixed``.
    """
    names, values = _fitted_values(result)
    held, lower, upper = _constraints(result.circuit, fixed, bounds)
    covariance = statistics(result, frequencies, impedances, weight=weight, fixed=fixed,
                            bounds=bounds)["covariance"]
    stderr = np.sqrt(np.diag(covariance))
    with np.errstate(divide="ignore", invalid="ignore"):
        relative_stderr = stderr / np.abs(values)
    return pd.DataFrame(
        {
            "value": values,
            "stderr": stderr,
            "relative_stderr": relative_stderr,
            "lower": lower,
            "upper": upper,
            "at_bound": ~held & at_bound_mask(values, lower, upper),
            "fixed": held,
        },
        index=pd.Index(names, name="parameter"),
    )
