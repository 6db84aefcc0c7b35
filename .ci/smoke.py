"""Smoke checks of an installed movarin: the import, every public name, an impedance evaluation
against its closed form, a default fit and a guess. Needs only movarin and NumPy, so it also runs
against a wheel installed without the test extras. Run it from outside the source tree.
"""

import math
import sys
from collections.abc import Callable

import numpy as np

import movarin

PUBLIC_NAMES = [
    "Element", "Circuit", "FitResult", "Series", "Parallel",
    "R", "C", "L", "La", "Cpe", "W", "Wo", "Ws", "G", "Gs", "K", "Zarc", "Tlmq", "T",
]
ELEMENT_ARGUMENTS = {
    "R": (10.0,), "C": (1e-5,), "L": (1e-6,), "La": (1e-6, 0.9), "Cpe": (1e-5, 0.9), "W": (5.0,),
    "Wo": (5.0, 1.0), "Ws": (5.0, 1.0), "G": (5.0, 1.0), "Gs": (5.0, 1.0, 0.5), "K": (10.0, 1e-3),
    "Zarc": (10.0, 1e-3, 0.9), "Tlmq": (10.0, 1e-3, 0.9), "T": (1.0, 1.0, 1.0, 1.0),
}
VALUES = {"R0.r": 10.0, "R1.r": 100.0, "C1.c": 1e-5}
FREQUENCIES = np.logspace(-2, 5, 50)


def randles(frequencies: np.ndarray) -> np.ndarray:
    omega = 2 * np.pi * frequencies
    return VALUES["R0.r"] + VALUES["R1.r"] / (1 + 1j * omega * VALUES["R1.r"] * VALUES["C1.c"])


def public_names() -> None:
    assert sorted(movarin.__all__) == sorted(PUBLIC_NAMES), movarin.__all__
    for name in PUBLIC_NAMES:
        assert getattr(movarin, name) is not None, name
    for name, arguments in ELEMENT_ARGUMENTS.items():
        element = getattr(movarin, name)(*arguments)
        assert isinstance(element, movarin.Element), name
        assert getattr(movarin.Element, name) is getattr(movarin, name), name


def impedance() -> None:
    circuit = movarin.Circuit("R0-(R1,C1)").with_named_values(VALUES)
    z = circuit.impedance(FREQUENCIES)
    assert z.dtype == np.complex128 and z.shape == FREQUENCIES.shape
    np.testing.assert_allclose(z, randles(FREQUENCIES), rtol=1e-12)
    built = movarin.Series([movarin.R(10.0), movarin.Parallel([movarin.R(100.0), movarin.C(1e-5)])])
    np.testing.assert_allclose(built.impedance(FREQUENCIES), z, rtol=1e-12)


def default_fit() -> None:
    start = movarin.Circuit("R0-(R1,C1)").with_values([5.0, 50.0, 3e-5])
    result = start.fit(FREQUENCIES, randles(FREQUENCIES))
    assert isinstance(result, movarin.FitResult)
    assert result.success, result
    for name, value in VALUES.items():
        assert math.isclose(result.params[name], value, rel_tol=1e-6), (name, result.params)


def guess() -> None:
    circuit = movarin.Circuit("R0-(R1,C1)")
    assert "rc" in movarin.Circuit.ml_circuits()
    guessed = circuit.guess(FREQUENCIES, randles(FREQUENCIES))
    assert len(guessed) == 3 and all(math.isfinite(v) and v > 0 for v in guessed), guessed
    # A network's start is rough, but it is on the right scale for the resistances.
    assert 1.0 < guessed[0] < 100.0 and 10.0 < guessed[1] < 1000.0, guessed


CHECKS: list[Callable[[], None]] = [public_names, impedance, default_fit, guess]


def main() -> int:
    python = sys.version.split()[0]
    print(f"movarin from {movarin.__file__}, NumPy {np.__version__}, Python {python}")
    failed = 0
    for check in CHECKS:
        try:
            check()
            print(f"  {check.__name__}: ok")
        except Exception as error:  # every check runs, each failure is shown
            failed += 1
            print(f"  {check.__name__}: FAILED {type(error).__name__}: {error}")
    print(f"smoke: {len(CHECKS) - failed} passed, {failed} failed")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
