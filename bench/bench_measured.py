"""Fits of the measured instrument spectra: movarin against impedance.py, scored on the same data.

The eight spectra in examples/data/measured/ (real instrument exports, MIT-licensed example data of
the peer impedance.py; see the README and LICENSE-impedance.py there) are read with
`movarin_tools.read`. Each file gets the circuits a user would try on it (CASES below): the named
circuits that fit the shape of its Nyquist plot (arcs, a diffusion tail, inductive points at the top
frequencies) and a few circuits written out by hand. Every case carries the start a user would type
after looking at the plot: the high-frequency intercept, arc diameters, C = 1 / (2 pi f R) at an
arc's apex frequency, alpha 0.8-0.9, a Warburg coefficient from the low-frequency tail, all
rounded as a person would.

Fitters (FITTERS, one entry each):

- movarin, default          named circuit: `Circuit(name).fit(f, z)`, which starts from the
                            network guess; written-out circuit:
                            `Circuit(text).with_values(start).fit(f, z)`;
- movarin, basin hopping    the same call with `method="basin_hopping", seed=1`;
- impedance.py              `CustomCircuit(text, initial_guess=start).fit(f, z,
                            weight_by_modulus=True)` from the typed start;
- movarin_tools.fit         the multi-start fit without a start (when the package has it).

Every result is scored with movarin's cost on the same data, 1/2 sum r^2 with modulus weights, and
the reference of a case is the lowest cost any fitter found. Per row: the cost ratio to the
reference, the fitter's success flag, whether the result costs more than the start it began from,
and the time of a fit. The peer has no success flag; it raises when its solver does not converge,
so a returned peer fit counts as a reported success. A fitter that raises scores infinity.

A fit reporting success while its cost is more than 1% above the reference, or above its own start,
is counted as a false success in the summary.

Needs impedance.py: `.venv/bin/pip install impedance`. Run from the repository root:

    PYTHONPATH=python .venv/bin/python bench/bench_measured.py
"""

from __future__ import annotations

import math
import statistics
import time
import warnings
from dataclasses import dataclass
from pathlib import Path
from typing import Callable

import numpy as np
from impedance.models.circuits import CustomCircuit

import movarin
import movarin_tools

try:
    from movarin_tools.fitting import fit as start_free_fit
except ImportError:  # an older movarin_tools: the table has one fitter fewer
    start_free_fit = None

MEASURED = Path(__file__).resolve().parent.parent / "examples" / "data" / "measured"
TOLERANCE = 0.01  # "at the reference": within 1% of the lowest cost found
PEER_AGREEMENT = 1e-9  # largest relative difference allowed between the two models at the start
MOVARIN_REPEATS = 3  # movarin fits are timed as the median of a few runs; the peer runs once

# The element strings of the named circuits, so the peer can be given the same model; checked
# against movarin's own parameter names and impedance before use.
NAMED = {
    "rc": "R0-(R1,C1)",
    "rc_l": "L0-R0-(R1,C1)",
    "rq": "R0-(R1,CPE1)",
    "rq_l": "L0-R0-(R1,CPE1)",
    "two_rc": "R0-(R1,C1)-(R2,C2)",
    "two_rc_l": "L0-R0-(R1,C1)-(R2,C2)",
    "two_rq": "R0-(R1,CPE1)-(R2,CPE2)",
    "two_rq_l": "L0-R0-(R1,CPE1)-(R2,CPE2)",
    "randles": "R0-(R1-W1,CPE1)",
    "sei_randles": "R0-(R1,CPE1)-(R2-W2,CPE2)",
    "sei_randles_wo": "R0-(R1,CPE1)-(R2-Wo2,CPE2)",
}

# file -> (highest frequency kept or None, [(circuit, typed start in param_names() order), ...]).
# Parameter order follows the circuit string left to right: R r, C c, L l, CPE q alpha, W aw,
# Wo z0 tau.
CASES: dict[str, tuple[float | None, list[tuple[str, list[float]]]]] = {
    # Lithium-ion cell, milliohms: inductive above 1.4 kHz (+0.010 ohm at 10 kHz: L ~ 2e-7),
    # intercept 0.015, a depressed arc to 0.033 with a shoulder near 300 Hz and its apex near 5 Hz,
    # then a diffusion tail (0.016 ohm more at 3 mHz: aw ~ 0.003).
    "exampleData.csv": (None, [
        ("rc_l", [2e-7, 0.015, 0.018, 2.0]),
        ("rq_l", [2e-7, 0.015, 0.018, 2.0, 0.85]),
        ("two_rc_l", [2e-7, 0.015, 0.005, 0.1, 0.012, 3.0]),
        ("two_rq_l", [2e-7, 0.015, 0.005, 0.1, 0.85, 0.012, 3.0, 0.85]),
        ("L0-R0-(R1,CPE1)-W2", [2e-7, 0.015, 0.018, 2.0, 0.85, 0.003]),
        ("L0-R0-(R1,CPE1)-(R2-W2,CPE2)", [2e-7, 0.015, 0.005, 0.1, 0.85, 0.012, 0.003, 3.0, 0.85]),
    ]),
    # Coated or porous electrode: an arc from ~100 ohm to ~4 kohm with its apex near 80 kHz, then a
    # shallow low-frequency branch (about 30 degrees) still rising at 16 mHz.
    "exampleDataGamry.DTA": (None, [
        ("rc", [100.0, 4000.0, 5e-10]),
        ("rq", [100.0, 4000.0, 5e-10, 0.85]),
        ("two_rq", [100.0, 4000.0, 5e-10, 0.85, 20000.0, 1e-3, 0.8]),
        ("randles", [100.0, 4000.0, 4000.0, 5e-10, 0.85]),
        ("sei_randles", [100.0, 4000.0, 5e-10, 0.85, 20000.0, 4000.0, 1e-3, 0.8]),
        # Finite diffusion: the branch has not turned over at 16 mHz, so tau > 10 s.
        ("sei_randles_wo", [100.0, 4000.0, 5e-10, 0.85, 1000.0, 20000.0, 100.0, 1e-3, 0.8]),
        ("R0-(CPE1,R1-(R2,CPE2))", [100.0, 5e-10, 0.85, 4000.0, 20000.0, 1e-3, 0.8]),
        ("R0-(R1,CPE1)-CPE2", [100.0, 4000.0, 5e-10, 0.85, 1e-3, 0.5]),
    ]),
    # Lithium-ion cell like the CSV one: inductive above 2 kHz (L ~ 1e-7), intercept 0.014, arcs to
    # 0.032 (shoulder near 300 Hz, apex near 7 Hz), a short tail.
    "exampleDataAutolab.txt": (None, [
        ("rc_l", [1e-7, 0.014, 0.019, 1.0]),
        ("rq_l", [1e-7, 0.014, 0.019, 1.0, 0.85]),
        ("two_rc_l", [1e-7, 0.014, 0.006, 0.1, 0.013, 2.0]),
        ("two_rq_l", [1e-7, 0.014, 0.006, 0.1, 0.85, 0.013, 2.0, 0.85]),
        ("L0-R0-(R1,CPE1)-W2", [1e-7, 0.014, 0.019, 1.0, 0.85, 0.002]),
        ("L0-R0-(R1,CPE1)-(R2,CPE2)-W3", [1e-7, 0.014, 0.006, 0.1, 0.85, 0.013, 2.0, 0.85, 0.002]),
    ]),
    # One depressed arc from 64 to 111 ohm, apex near 0.3 Hz; noisy above 10 Hz.
    "exampleDataBioLogic.mpt": (None, [
        ("rc", [64.0, 47.0, 0.01]),
        ("rq", [64.0, 47.0, 0.01, 0.85]),
        ("two_rc", [64.0, 5.0, 3e-3, 42.0, 0.01]),
        ("two_rq", [64.0, 5.0, 3e-3, 0.85, 42.0, 0.01, 0.85]),
        ("R0-(R1,CPE1)-W2", [64.0, 47.0, 0.01, 0.85, 1.0]),
    ]),
    # Intercept 100 ohm, a small arc merging into a 45-degree stretch (10-50 Hz), then a steep
    # capacitive branch (-16 kohm at 0.1 Hz: C ~ 1e-4).
    "exampleDataCHInstruments.txt": (None, [
        ("rq", [100.0, 500.0, 5e-6, 0.85]),
        ("two_rc", [100.0, 500.0, 5e-6, 1e5, 1e-4]),
        ("two_rq", [100.0, 500.0, 5e-6, 0.85, 1e5, 1e-4, 0.9]),
        ("randles", [100.0, 500.0, 5000.0, 5e-6, 0.85]),
        ("sei_randles", [100.0, 500.0, 5e-6, 0.85, 1e5, 5000.0, 1e-4, 0.9]),
        ("R0-(R1,CPE1)-CPE2", [100.0, 500.0, 5e-6, 0.85, 1e-4, 0.9]),
        ("R0-(R1-W1,CPE1)-CPE2", [100.0, 500.0, 5000.0, 5e-6, 0.85, 1e-4, 0.9]),
    ]),
    # Milliohm cell, 10 Hz - 10 kHz. The points above 3 kHz are junk (one has Z' < 0) and a user
    # drops them; what stays: inductive above 1 kHz (L ~ 1e-7), intercept 0.0165, an arc still open
    # at 10 Hz (0.027 ohm, apex near 10 Hz).
    "exampleDataParstat.txt": (3000.0, [
        ("rq", [0.0165, 0.015, 1.0, 0.85]),
        ("rc_l", [1e-7, 0.0165, 0.015, 1.0]),
        ("rq_l", [1e-7, 0.0165, 0.015, 1.0, 0.85]),
        ("two_rq_l", [1e-7, 0.0165, 0.005, 0.1, 0.85, 0.01, 2.0, 0.85]),
        ("L0-R0-(R1,CPE1)-W2", [1e-7, 0.0165, 0.015, 1.0, 0.85, 0.002]),
    ]),
    # Inductive at 100 kHz (+4.6 ohm: L ~ 1e-5), intercept ~60 ohm, a flat arc of ~17 ohm near
    # 10 kHz, then a big arc of ~1500 ohm with its apex at 0.4 Hz.
    "exampleDataVersaStudio.par": (None, [
        ("rq", [60.0, 1500.0, 3e-4, 0.9]),
        ("rq_l", [1e-5, 60.0, 1500.0, 3e-4, 0.9]),
        ("two_rc", [60.0, 17.0, 1e-6, 1500.0, 3e-4]),
        ("two_rq", [60.0, 17.0, 1e-6, 0.8, 1500.0, 3e-4, 0.9]),
        ("two_rq_l", [1e-5, 60.0, 17.0, 1e-6, 0.8, 1500.0, 3e-4, 0.9]),
        ("R0-(CPE1,R1-(R2,CPE2))", [60.0, 1e-6, 0.8, 17.0, 1500.0, 3e-4, 0.9]),
    ]),
    # One arc, 3 kHz - 300 kHz: intercept 145 ohm, diameter ~500 ohm, apex near 9.5 kHz.
    "exampleDataZPlot.z": (None, [
        ("rc", [145.0, 500.0, 3e-8]),
        ("rq", [145.0, 500.0, 3e-8, 0.9]),
        ("two_rq", [145.0, 250.0, 3e-8, 0.9, 250.0, 1e-7, 0.9]),
        ("R0-(R1,CPE1)-W2", [145.0, 500.0, 3e-8, 0.9, 1000.0]),
    ]),
}


@dataclass
class Case:
    file: str
    circuit: str  # a named circuit or an element string
    start: list[float]  # the typed start
    frequencies: np.ndarray
    impedances: np.ndarray

    @property
    def named(self) -> bool:
        return self.circuit in NAMED

    @property
    def elements(self) -> str:
        return NAMED.get(self.circuit, self.circuit)


Fit = Callable[[Case], tuple[list[float], bool]]  # a case -> (fitted params, success flag)


@dataclass
class Fitter:
    label: str
    fit: Fit
    start: Callable[[Case], list[float] | None]  # where the fit begins; None when start-free
    repeats: int  # timed runs; the reported time is their median
    applies: Callable[[Case], bool] = lambda case: True


@dataclass
class Outcome:
    params: list[float] | None  # None when the fitter raised
    success: bool
    seconds: float


def cost(case: Case, params: list[float] | None) -> float:
    if params is None or not np.all(np.isfinite(params)):
        return math.inf
    circuit = movarin.Circuit(case.circuit)
    r = np.asarray(circuit.residuals(params, case.frequencies, case.impedances))
    value = 0.5 * float(r @ r)
    return value if math.isfinite(value) else math.inf


def typed_start(case: Case) -> list[float]:
    return case.start


def movarin_start(case: Case) -> list[float]:
    """The start of movarin's default call: the network guess for a named circuit (what
    `Circuit(name).fit` begins from), the typed values for a written-out one."""
    if case.named:
        return list(movarin.Circuit(case.circuit).guess(case.frequencies, case.impedances))
    return case.start


def movarin_call(case: Case, **options) -> tuple[list[float], bool]:
    circuit = movarin.Circuit(case.circuit)
    if not case.named:
        circuit = circuit.with_values(case.start)
    result = circuit.fit(case.frequencies, case.impedances, **options)
    return list(result.params.values()), bool(result.success)


def movarin_default(case: Case) -> tuple[list[float], bool]:
    return movarin_call(case)


def movarin_basin_hopping(case: Case) -> tuple[list[float], bool]:
    return movarin_call(case, method="basin_hopping", seed=1)


def peer_text(elements: str) -> str:
    # The peer writes a parallel block as p(...); element letters and labels are the same.
    return elements.replace("(", "p(")


def peer_model(case: Case) -> CustomCircuit:
    return CustomCircuit(peer_text(case.elements), initial_guess=list(case.start))


def peer_agrees(case: Case) -> bool:
    """Whether the peer's model of the case is movarin's: same parameter order and conventions."""
    try:
        peer = peer_model(case).predict(case.frequencies, use_initial=True)
    except Exception:  # noqa: BLE001 - a circuit the peer cannot build is left out
        return False
    ours = movarin.Circuit(case.circuit).with_values(case.start).impedance(case.frequencies)
    return bool(np.max(np.abs(peer - ours) / np.abs(ours)) <= PEER_AGREEMENT)


def peer_fit(case: Case) -> tuple[list[float], bool]:
    model = peer_model(case)
    model.fit(case.frequencies, case.impedances, weight_by_modulus=True)
    return list(model.parameters_), True


def tools_fit(case: Case) -> tuple[list[float], bool]:
    result = start_free_fit(case.circuit, case.frequencies, case.impedances)
    return list(result.params.values()), bool(result.success)


def no_start(case: Case) -> None:
    return None


FITTERS = [
    Fitter("movarin, default", movarin_default, movarin_start, MOVARIN_REPEATS),
    Fitter("movarin, basin hopping", movarin_basin_hopping, movarin_start, MOVARIN_REPEATS),
    Fitter("impedance.py", peer_fit, typed_start, 1, peer_agrees),
]
if start_free_fit is not None:
    FITTERS.append(Fitter("movarin_tools.fit", tools_fit, no_start, MOVARIN_REPEATS))


def run(fitter: Fitter, case: Case) -> Outcome:
    times = []
    for _ in range(fitter.repeats):
        started = time.perf_counter()
        try:
            params, success = fitter.fit(case)
        except Exception:  # noqa: BLE001 - a fitter that raises has failed this case
            params, success = None, False
        times.append(time.perf_counter() - started)
    return Outcome(params, success, statistics.median(times))


def load_cases() -> list[Case]:
    cases = []
    for file, (highest, circuits) in CASES.items():
        frame = movarin_tools.read(MEASURED / file)
        if highest is not None:
            frame = frame[frame["Frequency / Hz"] <= highest]
        f = frame["Frequency / Hz"].to_numpy()
        real = frame["Real Impedance / ohm"].to_numpy()
        z = real + 1j * frame["Imaginary Impedance / ohm"].to_numpy()
        for circuit, start in circuits:
            cases.append(Case(file, circuit, start, f, z))
    return cases


def check_cases(cases: list[Case]) -> None:
    """The table's own consistency: start lengths, and the named circuits' element strings."""
    for case in cases:
        circuit = movarin.Circuit(case.circuit)
        names = circuit.param_names()
        if len(case.start) != len(names):
            raise ValueError(f"{case.file} {case.circuit}: start has {len(case.start)} values, "
                             f"the circuit {len(names)}")
        if case.named:
            written = movarin.Circuit(case.elements)
            same = written.with_values(case.start).impedance(case.frequencies)
            if written.param_names() != names or not np.allclose(
                    same, circuit.with_values(case.start).impedance(case.frequencies), rtol=1e-12):
                raise ValueError(f"NAMED[{case.circuit!r}] is not movarin's {case.circuit}")


@dataclass
class Row:
    case: Case
    fitter: str
    cost: float
    ratio: float  # cost / the case's reference
    success: bool
    above_start: bool | None  # None for a start-free fitter
    seconds: float

    @property
    def at_reference(self) -> bool:
        return self.ratio <= 1 + TOLERANCE

    @property
    def false_success(self) -> bool:
        return self.success and (not self.at_reference or self.above_start is True)


def score(case: Case, left_out: list[str]) -> list[Row]:
    """Every applicable fitter on one case, scored against the lowest cost any of them found."""
    scored = []
    for fitter in FITTERS:
        if not fitter.applies(case):
            left_out.append(f"{fitter.label}: {case.file} {case.circuit} (its model differs)")
            continue
        outcome = run(fitter, case)
        value = cost(case, outcome.params)
        start = fitter.start(case)
        above = None if start is None else value > cost(case, start)
        scored.append((fitter.label, value, outcome.success, above, outcome.seconds))
    reference = min(value for _, value, *_ in scored)
    rows = []
    for label, value, success, above, seconds in scored:
        ratio = value / reference if reference > 0 else (1.0 if value == 0 else math.inf)
        rows.append(Row(case, label, value, ratio, success, above, seconds))
    return rows


def print_rows(rows: list[Row]) -> None:
    header = (f"{'file':<29} {'circuit':<30} {'fitter':<23} {'cost':>10} {'/ ref':>9} "
              f"{'success':>7} {'> start':>7} {'ms':>9}")
    print(header)
    print("-" * len(header))
    previous = None
    for row in rows:
        if previous is not None and row.case is not previous:
            print()
        previous = row.case
        above = "-" if row.above_start is None else ("yes" if row.above_start else "no")
        ratio = f"{row.ratio:9.4f}" if math.isfinite(row.ratio) else f"{'error':>9}"
        flag = "  false success" if row.false_success else ""
        print(f"{row.case.file:<29} {row.case.circuit:<30} {row.fitter:<23} {row.cost:10.3e} "
              f"{ratio} {str(row.success):>7} {above:>7} {row.seconds * 1e3:9.2f}{flag}")


def print_summary(rows: list[Row]) -> None:
    print("\nSummary per fitter: cases within 1% of the reference (named circuits, all), false "
          "successes (success=True with the cost >1% above the reference or above its start), "
          "median time of a fit")
    for fitter in FITTERS:
        mine = [row for row in rows if row.fitter == fitter.label]
        if not mine:
            continue
        within = [row for row in mine if row.at_reference]
        named = sum(row.case.named for row in within), sum(row.case.named for row in mine)
        print(f"  {fitter.label:<23} within 1%: named {named[0]}/{named[1]}, "
              f"all {len(within)}/{len(mine)};  "
              f"false successes {sum(row.false_success for row in mine)};  "
              f"median {statistics.median(row.seconds for row in mine) * 1e3:.1f} ms")


def main() -> None:
    warnings.simplefilter("ignore")  # the reader's dropped-row notes, the peer's chatter
    began = time.perf_counter()
    cases = load_cases()
    check_cases(cases)
    rows: list[Row] = []
    left_out: list[str] = []
    for case in cases:
        rows.extend(score(case, left_out))
    print_rows(rows)
    print_summary(rows)
    print(f"\n{len(cases)} cases ({sum(case.named for case in cases)} with named circuits) "
          f"in {len(CASES)} files")
    for note in left_out:
        print(f"  left out: {note}")
    print(f"bench time {time.perf_counter() - began:.0f} s")


if __name__ == "__main__":
    main()
