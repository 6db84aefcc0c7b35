"""Uses every public name of movarin the way the README does; type checkers must accept it as it is
(mypy --strict, pyright) and infer the types that the assert_type lines state.

Run as a program it also executes, so the stubs are checked against calls that really work.
"""

import types
from typing import Any

import numpy as np
import numpy.typing as npt
import pandas as pd
from typing_extensions import assert_type

import movarin
import movarin_tools
from movarin import (
    C,
    Circuit,
    Cpe,
    Element,
    FitResult,
    G,
    Gs,
    K,
    L,
    La,
    Parallel,
    R,
    Series,
    T,
    Tlmq,
    W,
    Wo,
    Ws,
    Zarc,
)


def every_element() -> list[Element]:
    return [
        R(10.0),
        C(1e-5),
        L(1e-6),
        La(1e-6, 0.9),
        Cpe(1e-5, 0.9),
        W(5.0),
        Wo(5.0, 1.0),
        Ws(5.0, 1.0),
        G(5.0, 1.0),
        Gs(5.0, 1.0, 0.5),
        K(10.0, 1e-3),
        Zarc(10.0, 1e-3, 0.9),
        Tlmq(10.0, 1e-3, 0.9),
        T(1.0, 1.0, 1.0, 1.0),
        Element.R(1.0),
    ]


def circuits() -> tuple[Circuit, Circuit]:
    typed = Circuit("R0-(R1,C1)").with_values([10.0, 100.0, 1e-5])
    built = Series([R(10.0), Parallel([R(100.0), C(1e-5)])])
    assert_type(typed.param_names(), list[str])
    assert_type(typed.param_values(), list[float])
    assert_type(typed.param_bounds(), list[tuple[float, float]])
    assert_type(typed.param_units(), list[str])
    assert_type(Circuit.ml_circuits(), list[str])
    # Built circuits number their elements per kind: R0, R1 and C0 here.
    named = built.with_named_values(dict(zip(built.param_names(), [10.0, 100.0, 1e-5])))
    return typed, named


def fit_both_forms(circuit: Circuit) -> list[FitResult]:
    frequencies = np.logspace(-1, 5, 40)
    impedances: npt.NDArray[np.complex128] = circuit.impedance(frequencies)
    frame: dict[str, Any] = {
        "Frequency / Hz": frequencies,
        "Real Impedance / ohm": impedances.real,
        "Imaginary Impedance / ohm": impedances.imag,
    }
    from_arrays = circuit.fit(frequencies, impedances, weight="unit", max_iterations=50, seed=1)
    from_lists = circuit.fit(list(frequencies), list(impedances), guess_init=False)
    from_frame = Circuit("rc").fit(frame, method="nelder_mead", nelder_mead_iterations=500)
    table = pd.DataFrame(frame)
    from_pandas = circuit.fit(table, guess_init=True)
    measured = table["Real Impedance / ohm"] + 1j * table["Imaginary Impedance / ohm"]
    from_columns = circuit.fit(table["Frequency / Hz"], measured)
    global_search = circuit.fit(
        frequencies,
        impedances,
        method="differential_evolution",
        de_evaluations=2000,
        ftol=1e-10,
        seed=7,
    )
    assert_type(circuit.residuals([10.0, 100.0, 1e-5], frequencies, impedances), list[float])
    assert_type(circuit.jacobian([10.0, 100.0, 1e-5], frame), list[list[float]])
    assert_type(Circuit("R0-(R1,C1)").guess(frequencies, impedances), list[float])
    assert_type(Circuit("rc").guess(frame), list[float])
    return [from_arrays, from_lists, from_frame, from_pandas, from_columns, global_search]


def report(result: FitResult) -> str:
    assert_type(result.params, dict[str, float])
    assert_type(result.stderr, dict[str, float] | None)
    assert_type(result.success, bool)
    assert_type(result.cost, float)
    assert_type(result.chi_square, float)
    assert_type(result.iterations, int)
    assert_type(result.impedance_evals, int)
    errors = result.stderr or {}
    lines = [f"{name} = {value:.4g} +- {errors.get(name, float('nan')):.2g}"
             for name, value in result.params.items()]
    return "\n".join([repr(result.circuit), *lines])


def main() -> None:
    assert len(every_element()) == 15
    typed, named = circuits()
    for result in fit_both_forms(typed):
        assert result.success, result
        report(result)
    assert named.param_values() == typed.param_values()
    public = sorted(name for name in dir(movarin) if not name.startswith("_"))
    assert sorted(movarin.__all__) == public
    # Type checkers export only what __all__ lists, so each public name must be in it.
    tools_names = {name for name, value in vars(movarin_tools).items()
                   if not name.startswith("_") and not isinstance(value, types.ModuleType)}
    assert tools_names == set(movarin_tools.__all__), tools_names ^ set(movarin_tools.__all__)


if __name__ == "__main__":
    main()
