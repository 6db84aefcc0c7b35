"""Fit results as JSON-safe dicts and files, and the fitted circuit back from them.

Floats are written with ``repr``, so every value reads back bit for bit. JSON has no NaN or
infinity: NaN is written as ``null`` and the infinities as the strings ``"Infinity"`` and
``"-Infinity"``. :func:`from_dict` and :func:`load_json` turn them back into floats, and also
accept the bare ``NaN``/``Infinity`` tokens that Python's ``json`` module writes by default.
"""

from __future__ import annotations

import json
import math
from collections.abc import Mapping
from os import PathLike
from pathlib import Path
from typing import Any

import numpy as np

import movarin
from movarin_tools.stats import at_bound_mask, statistics

INFINITY = "Infinity"
MINUS_INFINITY = "-Infinity"
SCALAR_STATISTICS = ("n_points", "n_parameters", "dof", "reduced_chi_square", "aic", "bic")
# Frequencies at which a circuit string is compared with the fitted circuit: wide enough that
# every element of a realistic circuit shows in the impedance.
PROBE_FREQUENCIES = np.logspace(-4, 7, 23)


def _encode(x: float | int) -> float | int | str | None:
    if isinstance(x, int):
        return x
    if math.isnan(x):
        return None
    if math.isinf(x):
        return INFINITY if x > 0 else MINUS_INFINITY
    return float(x)


def _decode(x: Any, where: str) -> float:
    if x is None:
        return math.nan
    if x == INFINITY:
        return math.inf
    if x == MINUS_INFINITY:
        return -math.inf
    if isinstance(x, bool) or not isinstance(x, (int, float)):
        raise ValueError(
            f"{where} must be a number, null, {INFINITY!r} or {MINUS_INFINITY!r}, got {x!r}"
        )
    return float(x)


def _fitted_values(result: movarin.FitResult) -> tuple[list[str], list[float]]:
    names = list(result.circuit.param_names())
    return names, [float(result.params[name]) for name in names]


def _check_circuit_string(circuit: str, result: movarin.FitResult) -> None:
    """Refuse a circuit string that would not rebuild the fitted circuit."""
    if not isinstance(circuit, str):
        raise ValueError(f"circuit must be the circuit string, got {type(circuit).__name__}")
    parsed = movarin.Circuit(circuit)
    names, values = _fitted_values(result)
    if list(parsed.param_names()) != names:
        raise ValueError(
            f"circuit {circuit!r} has parameters {list(parsed.param_names())}, "
            f"but the result has {names}"
        )
    # Equal names do not imply equal topology: "R0-p(R1,C1)" and "p(R0,R1)-C1" share them.
    rebuilt = np.asarray(parsed.with_values(values).impedance(PROBE_FREQUENCIES))
    fitted = np.asarray(result.circuit.impedance(PROBE_FREQUENCIES))
    if not np.allclose(rebuilt, fitted, rtol=1e-12, atol=0.0, equal_nan=True):
        raise ValueError(f"circuit {circuit!r} is not the topology of the fitted circuit")


def _stderr_without_spectrum(result: movarin.FitResult) -> list[float]:
    names, values = _fitted_values(result)
    reported = result.stderr or {}
    bounds = np.array(result.circuit.param_bounds(), dtype=np.float64).reshape(-1, 2)
    pinned = at_bound_mask(np.array(values), bounds[:, 0], bounds[:, 1])
    return [
        math.nan if is_pinned else float(reported.get(name, math.nan))
        for name, is_pinned in zip(names, pinned)
    ]


def to_dict(
    result: movarin.FitResult,
    circuit: str,
    frequencies: Any = None,
    impedances: Any = None,
    *,
    weight: str = "modulus",
) -> dict[str, Any]:
    """A JSON-safe record of a fit result.

    Parameters
    ----------
    result
        The fit result.
    circuit
        The circuit string the result was fitted with; it must rebuild ``result.circuit``.
    frequencies, impedances
        The fitted spectrum (two sequences, or one battery data format dataframe), optional.
        When given, the scalar statistics of :func:`movarin_tools.statistics` are added.
    weight
        The weight scheme the fit used (``"modulus"`` or ``"unit"``); used only with the
        spectrum.

    Returns
    -------
    dict
        ``circuit`` (the string), ``params`` and ``stderr`` (name -> value in ``param_names()``
        order), ``cost``, ``chi_square``, ``success``, ``iterations``; with the spectrum also
        ``weight`` and ``n_points``, ``n_parameters``, ``dof``, ``reduced_chi_square``, ``aic``,
        ``bic``. ``stderr`` is NaN for a parameter at a bound; with the spectrum it is that of
        :func:`movarin_tools.summary`, otherwise ``result.stderr`` (NaN everywhere when the fit
        gave none). NaN is stored as ``None`` and the infinities as ``"Infinity"``/``"-Infinity"``.

    Raises
    ------
    ValueError
        If ``circuit`` does not parse or does not rebuild the fitted circuit.
    """
    _check_circuit_string(circuit, result)
    names, values = _fitted_values(result)
    figures = None if frequencies is None else statistics(
        result, frequencies, impedances, weight=weight
    )
    if figures is None:
        stderr = _stderr_without_spectrum(result)
    else:
        stderr = list(np.sqrt(np.diag(figures["covariance"])))
    record: dict[str, Any] = {
        "circuit": circuit,
        "params": {name: _encode(value) for name, value in zip(names, values)},
        "stderr": {name: _encode(float(error)) for name, error in zip(names, stderr)},
        "cost": _encode(float(result.cost)),
        "chi_square": _encode(float(result.chi_square)),
        "success": bool(result.success),
        "iterations": int(result.iterations),
    }
    if figures is not None:
        record["weight"] = weight
        record.update({key: _encode(figures[key]) for key in SCALAR_STATISTICS})
    return record


def from_dict(d: Mapping[str, Any]) -> movarin.Circuit:
    """Rebuild the fitted circuit from a record made by :func:`to_dict`.

    Parameters
    ----------
    d
        A mapping with at least ``circuit`` (the string) and ``params`` (name -> value, where
        ``None`` is NaN and ``"Infinity"``/``"-Infinity"`` are the infinities).

    Returns
    -------
    movarin.Circuit
        The circuit with the stored parameter values.

    Raises
    ------
    ValueError
        If a key is missing, a value is not a number, or the parameters do not fit the circuit.
    """
    if not isinstance(d, Mapping):
        raise ValueError(f"expected a mapping with 'circuit' and 'params', got {type(d).__name__}")
    text, params = d.get("circuit"), d.get("params")
    if not isinstance(text, str):
        raise ValueError(f"'circuit' must be a circuit string, got {text!r}")
    if not isinstance(params, Mapping):
        raise ValueError(f"'params' must map parameter names to values, got {params!r}")
    values = {name: _decode(value, f"params[{name!r}]") for name, value in params.items()}
    try:
        return movarin.Circuit(text).with_named_values(values)
    except ValueError as error:
        raise ValueError(f"'params' do not fit circuit {text!r}: {error}") from error


def save_json(
    result: movarin.FitResult,
    circuit: str,
    path: str | PathLike[str],
    frequencies: Any = None,
    impedances: Any = None,
    *,
    weight: str = "modulus",
) -> None:
    """Write :func:`to_dict` of a fit result to a JSON file (UTF-8, indented).

    Parameters are those of :func:`to_dict`, plus the ``path`` to write.
    """
    record = to_dict(result, circuit, frequencies, impedances, weight=weight)
    Path(path).write_text(json.dumps(record, indent=2, allow_nan=False) + "\n", encoding="utf-8")


def load_json(path: str | PathLike[str]) -> movarin.Circuit:
    """Read a file written by :func:`save_json` and rebuild the fitted circuit.

    Raises
    ------
    ValueError
        Naming the file, if it is not JSON or not a fit record.
    """
    path = Path(path)
    try:
        record = json.loads(path.read_text(encoding="utf-8"))
    except ValueError as error:  # json.JSONDecodeError and UnicodeDecodeError are ValueErrors
        raise ValueError(f"{path}: not JSON: {error}") from error
    try:
        return from_dict(record)
    except ValueError as error:
        raise ValueError(f"{path}: {error}") from error
