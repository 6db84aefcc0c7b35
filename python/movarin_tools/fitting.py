"""A fit that needs no starting values: the best of several starts, then a short basin hopping.

A local fit lands in the basin it starts in, and no single start is right for every spectrum: the
stored network's guess is usually best for its topologies, the data-scaled start of
:func:`movarin_tools.initial_guess` covers every circuit, and a circuit's placeholder values are
what ``Circuit.fit`` itself would use without a network. Running all of them costs a few local fits;
a few basin-hopping hops from the best result then recover most of the remaining cases where every
start settled in a side minimum.
"""

from __future__ import annotations

import math
from collections.abc import Mapping, Sequence
from typing import Any

import movarin
from movarin_tools._constraints import BoundsSpec, Constraints, Fixed, resolve
from movarin_tools._spectrum import as_arrays
from movarin_tools.start import initial_guess

LOCAL_METHOD = "levenberg_marquardt"
DEFAULT_HOPS = 2  # basin-hopping hops after the starts; chosen with bench/bench_measured.py
HOPPING_SEED = 1  # fixed, so that a fit is reproducible unless the caller passes a seed
EQUAL_COST = 1e-9  # relative cost difference under which two fits count as equally good


def _start_values(model: movarin.Circuit,
                  start: Sequence[float] | Mapping[str, float]) -> list[float]:
    names = model.param_names()
    if isinstance(start, Mapping):
        unknown = sorted(set(start) - set(names))
        missing = [name for name in names if name not in start]
        if unknown or missing:
            raise ValueError(f"start: unknown parameters {unknown}, missing parameters {missing}; "
                             f"expected {names}")
        return [float(start[name]) for name in names]
    values = [float(value) for value in start]
    if len(values) != len(names):
        raise ValueError(f"start: expected {len(names)} values ({', '.join(names)}), "
                         f"got {len(values)}")
    return values


def _cost(result: movarin.FitResult) -> float:
    return result.cost if math.isfinite(result.cost) else math.inf


def best_result(results: Sequence[movarin.FitResult]) -> movarin.FitResult:
    """The lowest-cost result; among equally costly ones, one that reports success."""
    lowest = min(_cost(result) for result in results)
    tied = [result for result in results
            if _cost(result) <= lowest + EQUAL_COST * abs(lowest) or _cost(result) == lowest]
    return min(tied, key=lambda result: (not result.success, _cost(result)))


def _fit_from(model: movarin.Circuit, f: Any, z: Any, constraints: Constraints,
              fit_kwargs: dict[str, Any], guess_init: bool = False) -> movarin.FitResult:
    """``Circuit.fit`` from the model's values, through the constrained entry when needed."""
    if constraints.any:
        return model._fit(f, z, guess_init=guess_init, **constraints.fit_keywords(), **fit_kwargs)
    return model.fit(f, z, guess_init=guess_init, **fit_kwargs)


def _network_fit(model: movarin.Circuit, f: Any, z: Any, constraints: Constraints,
                 fit_kwargs: dict[str, Any]) -> movarin.FitResult | None:
    """A fit from the network's guess, or None when no network serves the topology."""
    try:
        return _fit_from(model, f, z, constraints, fit_kwargs, guess_init=True)
    except ValueError:
        if "weights" in fit_kwargs:  # a weight file the caller chose must not fail silently
            raise
        return None


def _multi_start(circuit: str, model: movarin.Circuit, f: Any, z: Any, constraints: Constraints,
                 fit_kwargs: dict[str, Any]) -> list[movarin.FitResult]:
    results = []
    placeholders = model.with_values(constraints.start_from(model.param_values()))
    network = _network_fit(placeholders, f, z, constraints, fit_kwargs)
    if network is not None:
        results.append(network)
    for start in (initial_guess(circuit, f, z), model.param_values()):
        results.append(_fit_from(model.with_values(constraints.start_from(start)), f, z,
                                 constraints, fit_kwargs))
    return results


def _hop(model: movarin.Circuit, best: movarin.FitResult, f: Any, z: Any, hops: int,
         constraints: Constraints, fit_kwargs: dict[str, Any]) -> movarin.FitResult:
    options = {**fit_kwargs, "method": "basin_hopping", "basin_hopping_hops": hops}
    options.setdefault("seed", HOPPING_SEED)
    start = model.with_values([best.params[name] for name in model.param_names()])
    return _fit_from(start, f, z, constraints, options)


def fit(circuit: str, frequencies: Any, impedances: Any = None, *,
        start: Sequence[float] | Mapping[str, float] | None = None, fixed: Fixed | None = None,
        bounds: BoundsSpec | None = None, hops: int = DEFAULT_HOPS,
        **fit_kwargs: Any) -> movarin.FitResult:
    """Fit ``circuit`` to a spectrum, from several starts when none is given.

    Parameters
    ----------
    circuit
        A circuit string or the name of a named circuit.
    frequencies
        Frequencies in hertz, or a battery data format dataframe when ``impedances`` is ``None``.
    impedances
        Complex impedances in ohm, one per frequency.
    start
        Starting values, a list in ``param_names()`` order or a dict by parameter name. Given, the
        fit runs once from there with ``fit_kwargs``.
    fixed
        Parameters held during the fit: a dict name -> value (held at that value, which also
        replaces its start), or parameter names (held at their value in ``start``, which is then
        required). They keep their value exactly, their ``stderr`` is NaN, and they take no
        degree of freedom (pass the same ``fixed`` to :func:`summary` and :func:`statistics`).
    bounds
        A dict name -> (lo, hi) replacing those parameters' own bounds for this fit; either end
        may be ``None`` to keep the parameter's own. The bounds must lie inside the parameter's
        own range (no negative resistance, no exponent above 1; a lower bound of 0 stands for a
        positive parameter's floor, e.g. 1e-12 ohm), lo must be finite and below hi,
        and ``start`` and fixed values must lie inside. Generated starts are moved inside; every
        method searches and reports inside these bounds.
    hops
        Without ``start``: basin-hopping hops run from the best of the starts when the local method
        is used (the default). ``0`` stops after the starts; more hops cost more time and find
        the global minimum more often.
    **fit_kwargs
        Keywords of ``movarin.Circuit.fit`` (``method``, ``weight``, ``max_iterations``, ...),
        used by every fit; ``guess_init`` is not accepted, the starts are chosen here.

    Returns
    -------
    movarin.FitResult
        Without ``start``: the result of lowest cost over the stored network's start (when one
        serves the topology), :func:`movarin_tools.initial_guess`'s start and the circuit's
        placeholder values, and the basin hopping from the best of them; at equal cost one that
        reports success. It never costs more than ``Circuit(circuit).fit(...)`` with the same
        keywords, and no placeholder warning is issued.

    Raises
    ------
    ValueError
        If the circuit, the spectrum, ``start``, ``fixed``, ``bounds`` or a keyword is invalid;
        the message names the parameter.
    TypeError
        If ``guess_init`` is passed.
    """
    if "guess_init" in fit_kwargs:
        raise TypeError("fit() chooses the starts itself; pass start= to fit from given values")
    if hops < 0:
        raise ValueError(f"hops must be 0 or more, got {hops}")
    f, z = as_arrays(frequencies, impedances)
    model = movarin.Circuit(circuit)
    constraints = resolve(model, fixed, bounds, start_given=start is not None)
    if start is not None:
        values = _start_values(model, start)
        values = [constraints.fixed_values.get(name, value)
                  for name, value in zip(constraints.names, values)]
        return _fit_from(model.with_values(values), f, z, constraints, fit_kwargs)
    best = best_result(_multi_start(circuit, model, f, z, constraints, fit_kwargs))
    if hops and fit_kwargs.get("method", LOCAL_METHOD) == LOCAL_METHOD:
        best = best_result([best, _hop(model, best, f, z, hops, constraints, fit_kwargs)])
    return best
