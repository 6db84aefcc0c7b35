"""Fixed parameters and a caller's bounds, read from the forms ``fit`` accepts.

``fixed`` is a dict name -> value, or names held at their start value; ``bounds`` is a dict
name -> (lo, hi) where either end may be ``None`` for the parameter's own bound. Unknown names and
malformed entries are refused here; whether the numbers make a usable box (finite lower bound,
lo < hi, inside the parameter's own range, start and fixed values inside) is checked by the
compiled fit, whose messages name the parameter.
"""

from __future__ import annotations

import math
import numbers
from collections.abc import Iterable, Mapping, Sequence
from dataclasses import dataclass
from typing import Any, TypeAlias

import movarin

Fixed: TypeAlias = Mapping[str, float] | Iterable[str]
BoundsSpec: TypeAlias = Mapping[str, "tuple[float | None, float | None] | Sequence[float | None]"]


@dataclass(frozen=True)
class Constraints:
    """One circuit's fixed parameters and bounds, in ``param_names()`` order."""

    names: list[str]
    fixed_mask: list[bool]
    fixed_values: dict[str, float]  # only those given with a value
    bounds: list[tuple[float, float]] | None  # None: the parameters' own bounds

    @property
    def any(self) -> bool:
        return any(self.fixed_mask) or self.bounds is not None

    def fit_keywords(self) -> dict[str, Any]:
        """The constraint keywords of the compiled fit's private entry."""
        return {"fixed": self.fixed_mask if any(self.fixed_mask) else None,
                "bounds": self.bounds}

    def start_from(self, values: Sequence[float]) -> list[float]:
        """A generated start made admissible: fixed values set, the others inside their bounds."""
        start = [float(value) for value in values]
        for j, name in enumerate(self.names):
            if name in self.fixed_values:
                start[j] = self.fixed_values[name]
            elif not self.fixed_mask[j] and self.bounds is not None:
                lo, hi = self.bounds[j]
                start[j] = min(max(start[j], lo), hi)
        return start


def _check_names(argument: str, given: Iterable[str], names: list[str]) -> None:
    unknown = [name for name in given if name not in names]
    if unknown:
        raise ValueError(f"{argument}: unknown parameter {unknown[0]!r}; the circuit's "
                         f"parameters are {names}")


def _real(argument: str, value: Any) -> float:
    if isinstance(value, bool) or not isinstance(value, numbers.Real):
        raise ValueError(f"{argument} must be a real number, got {value!r}")
    return float(value)


def _fixed(fixed: Fixed | None, names: list[str],
           start_given: bool) -> tuple[list[bool], dict[str, float]]:
    if fixed is None:
        return [False] * len(names), {}
    if isinstance(fixed, Mapping):
        _check_names("fixed", fixed, names)
        values = {name: _real(f"fixed[{name!r}]", value) for name, value in fixed.items()}
        for name, value in values.items():
            if not math.isfinite(value):
                raise ValueError(f"fixed[{name!r}] must be finite, got {value}")
        return [name in values for name in names], values
    held = [fixed] if isinstance(fixed, str) else list(fixed)
    if not all(isinstance(name, str) for name in held):
        raise ValueError(f"fixed must be a dict name -> value or parameter names, got {fixed!r}")
    _check_names("fixed", held, names)
    if held and not start_given:
        raise ValueError("fixed: names alone hold parameters at their start value; pass start= "
                         "too, or give fixed as a dict name -> value")
    return [name in held for name in names], {}


def _bound_pair(name: str, pair: Any, own: tuple[float, float]) -> tuple[float, float]:
    if isinstance(pair, (str, bytes)) or not isinstance(pair, Sequence) or len(pair) != 2:
        raise ValueError(f"bounds[{name!r}] must be a pair (lo, hi), got {pair!r}")
    lo, hi = (own[k] if end is None else _real(f"bounds[{name!r}]", end)
              for k, end in enumerate(pair))
    # As the compiled fit reads it: zero stands for a positive parameter's floor (1e-12 ohm).
    if own[0] > 0.0 and 0.0 <= lo < own[0]:
        lo = own[0]
    return lo, hi


def _bounds(bounds: BoundsSpec | None, circuit: movarin.Circuit,
            names: list[str]) -> list[tuple[float, float]] | None:
    if bounds is None:
        return None
    if not isinstance(bounds, Mapping):
        raise ValueError(f"bounds must be a dict name -> (lo, hi), got {type(bounds).__name__}")
    _check_names("bounds", bounds, names)
    own = [(float(lo), float(hi)) for lo, hi in circuit.param_bounds()]
    return [_bound_pair(name, bounds[name], own[j]) if name in bounds else own[j]
            for j, name in enumerate(names)]


def resolve(circuit: movarin.Circuit, fixed: Fixed | None, bounds: BoundsSpec | None, *,
            start_given: bool) -> Constraints:
    """Read ``fixed`` and ``bounds`` for ``circuit``; ValueError naming the argument if malformed."""
    names = list(circuit.param_names())
    mask, values = _fixed(fixed, names, start_given)
    return Constraints(names, mask, values, _bounds(bounds, circuit, names))
