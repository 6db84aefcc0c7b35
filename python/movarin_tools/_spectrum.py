"""One reading of the ``(frequencies, impedances=None)`` pair that every function here accepts.

The two forms are those of ``movarin.Circuit.fit``: two sequences, or one dataframe (pandas, polars
or a dict of columns) with the battery data format columns and ``impedances`` left as ``None``.
"""

from __future__ import annotations

from typing import Any

import numpy as np
import numpy.typing as npt

FloatArray = npt.NDArray[np.float64]
ComplexArray = npt.NDArray[np.complex128]

FREQUENCY = ("Frequency / Hz", "frequency_hertz")
REAL = ("Real Impedance / ohm", "real_impedance_ohm")
IMAGINARY = ("Imaginary Impedance / ohm", "imaginary_impedance_ohm")
MODULUS = ("Absolute Impedance / ohm", "absolute_impedance_ohm")
PHASE = ("Phase / deg", "phase_degree")


def _column(frame: Any, names: tuple[str, str]) -> FloatArray | None:
    for name in names:
        try:
            values = frame[name]
        except (KeyError, IndexError, TypeError, ValueError, LookupError):
            continue
        try:
            return np.asarray(values, dtype=np.float64).reshape(-1)
        except (TypeError, ValueError) as error:
            raise ValueError(f"column {name!r} is not numeric") from error
    return None


def _from_frame(frame: Any) -> tuple[FloatArray, ComplexArray]:
    frequencies = _column(frame, FREQUENCY)
    if frequencies is None:
        raise ValueError(
            f"expected a dataframe with a {FREQUENCY[0]!r} column, "
            "or frequencies and impedances as two arguments"
        )
    real, imaginary = _column(frame, REAL), _column(frame, IMAGINARY)
    if real is not None and imaginary is not None:
        impedances = real + 1j * imaginary
    else:
        modulus, phase = _column(frame, MODULUS), _column(frame, PHASE)
        if modulus is None or phase is None:
            raise ValueError(
                f"no impedance columns: expected {REAL[0]!r} together with {IMAGINARY[0]!r}, "
                f"or {MODULUS[0]!r} together with {PHASE[0]!r}"
            )
        impedances = modulus * np.exp(1j * np.deg2rad(phase))
    if len(impedances) != len(frequencies):
        raise ValueError(
            f"frequency column has {len(frequencies)} rows but the impedance columns "
            f"have {len(impedances)}"
        )
    # The module drops dataframe rows whose frequency is not positive; do the same so that
    # statistics and plots see the points the fit saw.
    kept = frequencies > 0
    return frequencies[kept], impedances[kept].astype(np.complex128)


def as_arrays(frequencies: Any, impedances: Any = None) -> tuple[FloatArray, ComplexArray]:
    """Return the spectrum as a float64 frequency array and a complex128 impedance array.

    Parameters
    ----------
    frequencies
        Frequencies in hertz, or a dataframe with the battery data format columns when
        ``impedances`` is ``None``.
    impedances
        Complex impedances in ohm, one per frequency.

    Returns
    -------
    tuple of numpy.ndarray
        Frequencies (float64) and impedances (complex128), equally long, in input order.

    Raises
    ------
    ValueError
        If a column is missing or not numeric, or the two sequences differ in length.
    """
    if impedances is None:
        return _from_frame(frequencies)
    f = np.asarray(frequencies, dtype=np.float64).reshape(-1)
    z = np.asarray(impedances, dtype=np.complex128).reshape(-1)
    if len(f) != len(z):
        raise ValueError("frequencies and impedances must have the same length")
    return f, z
