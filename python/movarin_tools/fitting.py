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


def _network_fit(model: movarin.Circuit, f: Any, z: Any,
                 fit_kwargs: dict[str, Any]) -> movarin.FitResult | None:
    """``Circuit.fit`` from the network's guess, or None when no network serves the topology."""
    try:
        return model.fit(f, z, guess_init=True, **fit_kwargs)
    except ValueError:
        if "weights" in fit_kwargs:  # a weight file the caller chose must not fail silently
            raise
        return None


def _multi_start(circuit: str, model: movarin.Circuit, f: Any, z: Any,
                 fit_kwargs: dict[str, Any]) -> list[movarin.FitResult]:
    results = []
    network = _network_fit(model, f, z, fit_kwargs)
    if network is not None:
        results.append(network)
    for start in (initial_guess(circuit, f, z), model.param_values()):
        results.append(model.with_values(start).fit(f, z, guess_init=False, **fit_kwargs))
    return results


def _hop(model: movarin.Circuit, best: movarin.FitResult, f: Any, z: Any, hops: int,
         fit_kwargs: dict[str, Any]) -> movarin.FitResult:
    options = {**fit_kwargs, "method": "basin_hopping", "basin_hopping_hops": hops}
    options.setdefault("seed", HOPPING_SEED)
    start = model.with_values(list(best.params.values()))
    return start.fit(f, z, guess_init=False, **options)


def fit(circuit: str, frequencies: Any, impedances: Any = None, *,
        start: Sequence[float] | Mapping[str, float] | None = None, hops: int = DEFAULT_HOPS,
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
        If the circuit, the spectrum, ``start`` or a keyword is invalid.
    TypeError
        If ``guess_init`` is passed.
    """
    if "guess_init" in fit_kwargs:
        raise TypeError("fit() chooses the starts itself; pass start= to fit from given values")
    if hops < 0:
        raise ValueError(f"hops must be 0 or more, got {hops}")
    f, z = as_arrays(frequencies, impedances)
    model = movarin.Circuit(circuit)
    if start is not None:
        return model.with_values(_start_values(model, start)).fit(f, z, guess_init=False,
                                                                  **fit_kwargs)
    best = best_result(_multi_start(circuit, model, f, z, fit_kwargs))
    if hops and fit_kwargs.get("method", LOCAL_METHOD) == LOCAL_METHOD:
        best = best_result([best, _hop(model, best, f, z, hops, fit_kwargs)])
    return best
