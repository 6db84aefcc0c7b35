"""Starting values for any circuit, scaled to the measured spectrum alone.

The circuit's structure decides what each element is given: resistors in the top-level series share
the high-frequency intercept; every top-level parallel group (and every element that is an arc by
itself, such as ``Zarc`` or ``K``) is an arc that takes a share of the real-axis span and a
characteristic frequency, an apex of ``-Im(Z)`` when one is found, else a point spread over the
measured decades; inside an arc each element is sized so that its impedance at that frequency is
the arc's resistance (``C = 1 / (2 pi f R)``, ``q = 1 / (R (2 pi f)^alpha)``); Warburg coefficients
come from the low-frequency tail, inductances from the inductive points at the top frequencies.
"""

from __future__ import annotations

import itertools
import math
import re
from collections.abc import Iterator, Sequence
from dataclasses import dataclass, replace
from functools import lru_cache
from typing import Any, Union

import numpy as np
import scipy.signal

import movarin
from movarin_tools._spectrum import as_arrays

ALPHA = 0.85  # exponent given to CPE-like elements: a mildly depressed arc

# How an element behaves at zero frequency, which decides how a group shares its resistance.
RESISTIVE, OPEN, SHORT = "resistive", "open", "short"
DC_BEHAVIOUR = {
    "R": RESISTIVE, "Ws": RESISTIVE, "G": RESISTIVE, "Gs": RESISTIVE, "K": RESISTIVE,
    "Zarc": RESISTIVE, "T": RESISTIVE,
    "C": OPEN, "CPE": OPEN, "W": OPEN, "Wo": OPEN, "TLMQ": OPEN,
    "L": SHORT, "La": SHORT,
}
SPELLINGS = {"Cpe": "CPE", "Tlmq": "TLMQ"}

# Circuits given as objects hide their structure; it is found by matching the impedance of every
# arrangement of the elements in their order, which is cheap up to this many elements.
MAX_ELEMENTS_MATCHED = 7
PROBE_FREQUENCIES = np.array([0.0371, 1.93, 87.0, 4130.0])
MAX_ARCS_REORDERED = 4  # every assignment of places to arcs is tried up to this many arcs


@dataclass(frozen=True)
class Element:
    code: str  # one spelling per kind: "CPE", "TLMQ", never "Cpe"


@dataclass(frozen=True)
class Group:
    parallel: bool
    parts: tuple[Node, ...]


Node = Union[Element, Group]


# --- structure ----------------------------------------------------------------------------------


class _Reader:
    """Recursive reader of circuit strings that ``movarin.Circuit`` has already accepted."""

    def __init__(self, text: str) -> None:
        self.text, self.position = text, 0

    def circuit(self) -> Node:
        node = self.series()
        if self.position != len(self.text):
            raise ValueError(f"unexpected input at position {self.position}")
        return node

    def series(self) -> Node:
        parts = [self.term()]
        while self.at("-"):
            self.position += 1
            parts.append(self.term())
        return parts[0] if len(parts) == 1 else Group(False, tuple(parts))

    def term(self) -> Node:
        for opener in ("(", "p("):
            if self.text.startswith(opener, self.position):
                self.position += len(opener)
                return self.group()
        match = re.compile(r"([A-Za-z]+)\d+").match(self.text, self.position)
        if match is None:
            raise ValueError(f"expected an element at position {self.position}")
        self.position = match.end()
        return Element(SPELLINGS.get(match.group(1), match.group(1)))

    def group(self) -> Node:
        branches = [self.series()]
        while self.at(","):
            self.position += 1
            branches.append(self.series())
        if not self.at(")"):
            raise ValueError(f"expected ')' at position {self.position}")
        self.position += 1
        return branches[0] if len(branches) == 1 else Group(True, tuple(branches))

    def at(self, character: str) -> bool:
        return self.text.startswith(character, self.position)


@lru_cache(maxsize=256)
def _structure_of_text(text: str) -> Node | None:
    try:
        return _Reader(text).circuit()
    except ValueError:  # a named circuit: its elements are found like those of an object
        return _structure_of_object(movarin.Circuit(text))


def _element_codes(circuit: movarin.Circuit) -> list[str]:
    labels = [name.split(".", 1)[0] for name in circuit.param_names()]
    codes = [re.sub(r"\d+$", "", label) for label, _ in itertools.groupby(labels)]
    return [SPELLINGS.get(code, code) for code in codes]


@lru_cache(maxsize=64)
def _arrangements(codes: tuple[str, ...], parallel: bool) -> list[tuple[str, Node]]:
    """Every group of the given kind over the elements in this order, as (text, structure)."""
    found: list[tuple[str, Node]] = []
    for blocks in _compositions(len(codes)):
        if len(blocks) < 2:
            continue
        options = [_children(codes, start, stop, not parallel) for start, stop in blocks]
        for chosen in itertools.product(*options):
            joined = ("," if parallel else "-").join(text for text, _ in chosen)
            found.append((f"({joined})" if parallel else joined,
                          Group(parallel, tuple(node for _, node in chosen))))
    return found


def _children(codes: tuple[str, ...], start: int, stop: int,
              parallel: bool) -> list[tuple[str, Node]]:
    if stop - start == 1:
        return [(f"{codes[start]}{start}", Element(codes[start]))]
    # Labels must stay those of the full circuit, so sub-arrangements are built then relabelled.
    inner = _arrangements(codes[start:stop], parallel)
    return [(_shift_labels(text, start), node) for text, node in inner]


def _shift_labels(text: str, offset: int) -> str:
    return re.sub(r"(\d+)", lambda match: str(int(match.group(1)) + offset), text)


def _compositions(count: int) -> Iterator[list[tuple[int, int]]]:
    """Ways of cutting ``range(count)`` into consecutive non-empty blocks."""
    for cuts in itertools.product((False, True), repeat=count - 1):
        edges = [0] + [i + 1 for i, cut in enumerate(cuts) if cut] + [count]
        yield list(zip(edges[:-1], edges[1:]))


def _probe_values(circuit: movarin.Circuit) -> list[float]:
    generator = np.random.default_rng(20240611)
    values = []
    for lo, hi in circuit.param_bounds():
        if math.isfinite(hi):
            values.append(lo + (hi - lo) * generator.uniform(0.3, 0.9))
        else:
            values.append(10.0 ** generator.uniform(-1.0, 1.0))
    return values


def _structure_of_object(circuit: movarin.Circuit) -> Node | None:
    """The arrangement whose impedance is the circuit's at fixed values, or None past the limit."""
    codes = tuple(_element_codes(circuit))
    if len(codes) == 1:
        return Element(codes[0])
    if len(codes) > MAX_ELEMENTS_MATCHED:
        return None
    values = _probe_values(circuit)
    target = circuit.with_values(values).impedance(PROBE_FREQUENCIES)
    return _matching_arrangement(codes, tuple(values), target.tobytes())


@lru_cache(maxsize=256)
def _matching_arrangement(codes: tuple[str, ...], values: tuple[float, ...],
                          target_bytes: bytes) -> Node | None:
    target = np.frombuffer(target_bytes, dtype=np.complex128)
    for text, node in _arrangements(codes, False) + _arrangements(codes, True):
        try:
            candidate = movarin.Circuit(text).with_values(list(values))
        except ValueError:  # a parameter count differs: the codes were not read right
            return None
        if np.allclose(candidate.impedance(PROBE_FREQUENCIES), target, rtol=1e-9, atol=0.0):
            return node
    return None


def _structure(circuit: str | movarin.Circuit) -> Node | None:
    if isinstance(circuit, str):
        return _structure_of_text(circuit.strip())
    return _structure_of_object(circuit)


def _dc_behaviour(node: Node) -> str:
    if isinstance(node, Element):
        return DC_BEHAVIOUR.get(node.code, RESISTIVE)
    behaviours = {_dc_behaviour(part) for part in node.parts}
    # A series chain is broken by any open part; a parallel group is shorted by any short branch.
    decisive, other = (SHORT, OPEN) if node.parallel else (OPEN, SHORT)
    if decisive in behaviours:
        return decisive
    return RESISTIVE if RESISTIVE in behaviours else other


def _is_reactive(node: Node) -> bool:
    if isinstance(node, Element):
        return node.code != "R"
    return any(_is_reactive(part) for part in node.parts)


def _contains(node: Node, code: str) -> bool:
    if isinstance(node, Element):
        return node.code == code
    return any(_contains(part, code) for part in node.parts)


# --- what the spectrum says ---------------------------------------------------------------------


@dataclass(frozen=True)
class Features:
    omega_min: float
    omega_max: float
    scale: float  # typical modulus, the fallback size of everything
    r_inf: float  # high-frequency intercept on the real axis
    r_low: float  # real part at the lowest frequency
    low_reactance: float  # -Im(Z) at the lowest frequency, when capacitive
    tail_exponent: float  # alpha of a capacitive tail, -d log(-Im Z) / d log(omega) at the bottom
    inductance: float
    warburg: float  # aw of a semi-infinite diffusion tail
    apexes: tuple[tuple[float, float], ...]  # (omega, -Im) of arc tops, most prominent first


def _finite_sorted(frequencies: Any, impedances: Any) -> tuple[np.ndarray, np.ndarray]:
    f, z = as_arrays(frequencies, impedances)
    kept = np.isfinite(f) & (f > 0) & np.isfinite(z)
    if not np.any(kept):
        raise ValueError("frequencies: need at least one positive frequency with a finite impedance")
    order = np.argsort(f[kept])
    return 2.0 * np.pi * f[kept][order], z[kept][order]


def _high_frequency_intercept(z: np.ndarray, scale: float) -> float:
    capacitive = np.flatnonzero(z.imag <= 0)
    if capacitive.size == 0:
        value = float(np.min(z.real))
    else:
        top = capacitive[-1]
        value = float(z.real[top])
        if top + 1 < z.size:  # inductive points above: the real part where Im(Z) crosses zero
            share = -z.imag[top] / (z.imag[top + 1] - z.imag[top])
            value += float(share * (z.real[top + 1] - z.real[top]))
    return max(value, 1e-6 * scale)


def _warburg_coefficient(omega: np.ndarray, z: np.ndarray, scale: float) -> float:
    """aw from the slope of -Im(Z) against omega^-1/2 over the lowest quarter of the points."""
    tail = max(3, omega.size // 4)
    slope = 0.0
    if omega.size >= 3:
        slope = float(np.polyfit(omega[:tail] ** -0.5, -z.imag[:tail], 1)[0])
    if not (math.isfinite(slope) and slope > 0):
        slope = 0.5 * max(-z.imag[0], 0.1 * scale) * math.sqrt(omega[0])
    return slope


def _tail_exponent(omega: np.ndarray, z: np.ndarray) -> float:
    tail = max(3, omega.size // 4)
    reactance = -z.imag[:tail]
    if omega.size < 3 or np.any(reactance <= 0):
        return ALPHA
    slope = float(np.polyfit(np.log(omega[:tail]), np.log(reactance), 1)[0])
    return min(max(-slope, 0.3), 0.95) if math.isfinite(slope) else ALPHA


def _apexes(omega: np.ndarray, z: np.ndarray) -> tuple[tuple[float, float], ...]:
    height = -z.imag
    if height.size < 3 or np.max(height) <= 0:
        return ()
    peaks, properties = scipy.signal.find_peaks(height, prominence=0.02 * np.ptp(height))
    ranked = np.argsort(-properties["prominences"])
    return tuple((float(omega[peaks[i]]), float(height[peaks[i]])) for i in ranked
                 if height[peaks[i]] > 0)


def _features(omega: np.ndarray, z: np.ndarray) -> Features:
    scale = float(np.median(np.abs(z)))
    if not (math.isfinite(scale) and scale > 0):
        scale = 1.0
    top = z[-1]
    inductance = top.imag / omega[-1] if top.imag > 0 else 1e-3 * max(abs(top), scale) / omega[-1]
    return Features(
        omega_min=float(omega[0]),
        omega_max=float(omega[-1]),
        scale=scale,
        r_inf=_high_frequency_intercept(z, scale),
        r_low=float(z.real[0]),
        low_reactance=float(-z.imag[0]) if z.imag[0] < 0 else scale,
        tail_exponent=_tail_exponent(omega, z),
        inductance=float(inductance),
        warburg=_warburg_coefficient(omega, z, scale),
        apexes=_apexes(omega, z),
    )


# --- values -------------------------------------------------------------------------------------


def _element_values(code: str, size: float, omega: float, features: Features,
                    alpha: float = ALPHA) -> list[float]:
    """Values giving the element an impedance of about ``size`` ohm at ``omega`` rad/s."""
    tau = 1.0 / omega
    if code == "R":
        return [size]
    if code == "C":
        return [1.0 / (omega * size)]
    if code == "L":
        return [size / omega]
    if code == "La":
        return [size ** (1.0 / alpha) / omega, alpha]
    if code == "CPE":
        return [1.0 / (size * omega**alpha), alpha]
    if code == "W":
        return [features.warburg]
    if code in ("Wo", "Ws", "G", "K"):
        return [size, tau]
    if code == "Gs":
        return [size, tau, 1.0]
    if code == "Zarc":
        return [size, tau, ALPHA]
    if code == "TLMQ":
        return [size, 1.0 / (size * omega**ALPHA), ALPHA]
    if code == "T":
        return [size, size, 1.0, tau]
    raise ValueError(f"circuit: no starting rule for element code {code!r}")


def _is_arc(node: Node) -> bool:
    """A unit that takes its own arc: a parallel group with a reactive branch, Zarc or K."""
    if isinstance(node, Element):
        return node.code in ("Zarc", "K")
    return node.parallel and _is_reactive(node)


def _takes_own_arc(part: Node, group: Group) -> bool:
    """Arcs in a series chain take their own place; a branch of a parallel group shares its
    group's, since branches in parallel combine into one arc."""
    return not group.parallel and _is_arc(part)


class _Sizer:
    """Hands out values element by element, taking arcs' places in circuit order."""

    def __init__(self, features: Features, arcs: Sequence[tuple[float, float]]) -> None:
        self.features = features
        self.arcs = iter(arcs)  # (omega, resistance), highest frequency first

    def arc(self, node: Node) -> list[float]:
        omega, size = next(self.arcs)
        return self.sized(node, size, omega)

    def sized(self, node: Node, size: float, omega: float) -> list[float]:
        """Values for ``node`` so that it has resistance ``size`` with its corner at ``omega``."""
        if isinstance(node, Element):
            return _element_values(node.code, size, omega, self.features)
        plain = [part for part in node.parts if not _takes_own_arc(part, node)]
        carriers = sum(_dc_behaviour(part) == RESISTIVE for part in plain) or len(plain) or 1
        every_part_carries = carriers == len(plain)
        values: list[float] = []
        for part in node.parts:
            if _takes_own_arc(part, node):
                values += self.arc(part)
                continue
            carries = every_part_carries or _dc_behaviour(part) == RESISTIVE
            # Resistive branches in parallel add up to `size`, parts in series share it; the
            # others are sized to `size` at `omega`, where they set the arc's corner.
            share = (size * carriers if node.parallel else size / carriers) if carries else size
            values += self.sized(part, share, omega)
        return values


def _arc_placements(count: int, features: Features) -> list[tuple[float, float]]:
    """(omega, weight) per arc, highest frequency first: the apexes found, else spread points."""
    decades = math.log10(features.omega_max / features.omega_min)
    spread = [features.omega_max * 10.0 ** (-decades * (k + 0.5) / count) for k in range(count)]
    placements = [(omega, 1.0) for omega in spread]
    free = list(range(count))
    for omega, height in features.apexes[:count]:
        nearest = min(free, key=lambda k: abs(math.log(spread[k] / omega)))
        placements[nearest] = (omega, height)
        free.remove(nearest)
    if free:  # not every arc has its apex: the heights say nothing about the shares
        placements = [(omega, 1.0) for omega, _ in placements]
    return sorted(placements, reverse=True)


def _arc_layouts(parents: Sequence[int | None], features: Features,
                 total: float) -> list[list[tuple[float, float]]]:
    """Candidate (omega, resistance) per arc in circuit order.

    Which arc of the circuit makes which feature of the spectrum is not known: every assignment
    of the places (apexes or spread points) to the arcs is a candidate, with the resistance shared
    by apex height, equally, or mostly to one arc; an arc nested in another stays below it in
    frequency.
    """
    count = len(parents)
    if count == 0:
        return [[]]
    layouts: set[tuple[tuple[float, float], ...]] = set()
    spread = [(omega, 1.0) for omega, _ in _arc_placements(count, replace(features, apexes=()))]
    for placements in (_arc_placements(count, features), spread):
        weights = [weight for _, weight in placements]
        patterns = [weights, [1.0] * count]
        if count > 1:
            patterns += [[4.0 * count if k == main else 1.0 for k in range(count)]
                         for main in range(count)]
        for pattern in patterns:
            slots = [(omega, total * share / sum(pattern))
                     for (omega, _), share in zip(placements, pattern)]
            # In circuit order the places fall in frequency, which keeps nested arcs below
            # their parents; other orders are tried while there are few of them.
            orders = itertools.permutations(slots) if count <= MAX_ARCS_REORDERED else [slots]
            layouts.update(tuple(order) for order in orders
                           if all(parent is None or order[parent][0] > order[arc][0]
                                  for arc, parent in enumerate(parents)))
    return [list(layout) for layout in sorted(layouts, reverse=True)]


def _role(part: Node) -> str:
    """What a part of the main line is: a series resistance, an arc, an inductor or a blocker."""
    if not _is_reactive(part):
        return "series"
    if isinstance(part, Element) and part.code in ("L", "La"):
        return "inductor"
    if isinstance(part, Element) and part.code in ("C", "CPE", "W"):
        return "blocking"
    return "arc"


def _main_line(tree: Node) -> tuple[tuple[Node, ...], list[str]]:
    parts = tree.parts if isinstance(tree, Group) and not tree.parallel else (tree,)
    return parts, [_role(part) for part in parts]


def _arc_parents(tree: Node) -> list[int | None]:
    """Per arc, in the order the arcs take their places, the arc it is nested in (or None)."""
    parents: list[int | None] = []

    def visit(node: Node, parent: int | None) -> None:
        for part in node.parts if isinstance(node, Group) else ():
            if isinstance(node, Group) and _takes_own_arc(part, node):
                parents.append(parent)
                visit(part, len(parents) - 1)
            else:
                visit(part, parent)

    parts, roles = _main_line(tree)
    for part, role in zip(parts, roles):
        if role == "arc":
            parents.append(None)
            visit(part, len(parents) - 1)
        else:
            visit(part, None)
    return parents


def _arcs_total(tree: Node, features: Features) -> float:
    """The span left to the arcs: the low-frequency real part less the series resistance and
    less the real part a diffusion tail (at most half: the slope is a rough measure of aw) or a
    blocking CPE adds at the lowest frequency."""
    _, roles = _main_line(tree)
    visible_span = features.r_low - (features.r_inf if "series" in roles else 0.0)
    tail = 0.0
    if _contains(tree, "W"):
        tail += min(features.warburg / math.sqrt(features.omega_min), 0.5 * visible_span)
    if "blocking" in roles:
        tail += features.low_reactance / math.tan(0.5 * math.pi * features.tail_exponent)
    return max(visible_span - tail, 0.1 * visible_span, 0.05 * features.scale)


def _top_level_values(tree: Node, features: Features,
                      arcs: Sequence[tuple[float, float]]) -> list[float]:
    """Values for the whole circuit, its arcs given as (omega, resistance) in circuit order."""
    parts, roles = _main_line(tree)
    sizer = _Sizer(features, arcs)
    series_size = features.r_inf / max(roles.count("series"), 1)
    inductor_size = features.inductance * features.omega_max / max(roles.count("inductor"), 1)
    values: list[float] = []
    for part, role in zip(parts, roles):
        if role == "arc":
            values += sizer.arc(part)
        elif role == "series":
            values += sizer.sized(part, series_size, features.omega_max)
        elif role == "inductor":
            values += sizer.sized(part, inductor_size, features.omega_max)
        elif isinstance(part, Element):  # a C, CPE or W blocking the main line: the bottom points
            values += _element_values(part.code, features.low_reactance, features.omega_min,
                                      features, features.tail_exponent)
    return values


def _cost(model: movarin.Circuit, values: list[float], omega: np.ndarray, z: np.ndarray) -> float:
    residuals = np.asarray(model.residuals(values, omega / (2.0 * np.pi), z))
    cost = float(residuals @ residuals)
    return cost if math.isfinite(cost) else math.inf


def _inside(values: Sequence[float], bounds: Sequence[tuple[float, float]],
            fallbacks: Sequence[float]) -> list[float]:
    """Each value moved strictly inside its bounds; a non-finite one replaced by its fallback."""
    result = []
    for value, fallback, (lo, hi) in zip(values, fallbacks, bounds):
        if not math.isfinite(value):
            value = fallback
        if math.isfinite(hi):
            margin = 1e-3 * (hi - lo)
            value = min(max(value, lo + margin), hi - margin)
        else:
            value = max(value, lo + max(abs(lo) * 1e-3, 1e-300))
        result.append(float(value))
    return result


def initial_guess(circuit: str | movarin.Circuit, frequencies: Any,
                  impedances: Any = None) -> list[float]:
    """Starting values for ``circuit`` scaled to a measured spectrum.

    Parameters
    ----------
    circuit
        A circuit string (named circuits included) or a ``movarin.Circuit``. Objects hide their
        structure; up to seven elements it is recovered from the impedance, beyond that the
        elements are sized as if all stood in series.
    frequencies
        Frequencies in hertz, or a battery data format dataframe when ``impedances`` is ``None``.
    impedances
        Complex impedances in ohm, one per frequency.

    Returns
    -------
    list of float
        One value per parameter in ``param_names()`` order, finite and strictly inside
        ``param_bounds()``.

    Raises
    ------
    ValueError
        If the circuit string is invalid or no point has a positive frequency and a finite
        impedance.
    """
    model = movarin.Circuit(circuit) if isinstance(circuit, str) else circuit
    omega, z = _finite_sorted(frequencies, impedances)
    features = _features(omega, z)
    tree = _structure(circuit)
    if tree is None:
        tree = Group(False, tuple(Element(code) for code in _element_codes(model)))
    bounds = model.param_bounds()
    fallbacks = _fallbacks(bounds, features)
    candidates = []
    for arcs in _arc_layouts(_arc_parents(tree), features, _arcs_total(tree, features)):
        values = _top_level_values(tree, features, arcs)
        if len(values) != len(bounds):  # an element read wrongly: keep to the kind-free sizes
            values = [features.scale] * len(bounds)
        candidates.append(_inside(values, bounds, fallbacks))
    # The layouts differ only in which arc sits where; the spectrum itself decides.
    return min(candidates, key=lambda values: _cost(model, values, omega, z))


def _fallbacks(bounds: Sequence[tuple[float, float]], features: Features) -> list[float]:
    return [0.5 * (lo + hi) if math.isfinite(hi) else features.scale for lo, hi in bounds]
