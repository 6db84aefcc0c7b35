"""Linear Kramers-Kronig test: is a spectrum the response of a linear, causal, stable system?

The spectrum is fitted, by linear least squares, with a model that obeys the Kramers-Kronig
relations by construction: a series resistance, a series inductance, a series capacitance and a
chain of RC elements ``R_k / (1 + j omega tau_k)`` at fixed time constants. Only the resistances
``R_k``, the inductance and the inverse capacitance are unknown, so the fit is one linear solve. A
spectrum that this model cannot follow to within the tolerance, point by point, violates the
relations: the system drifted during the sweep, responded non-linearly, or the instrument added
artefacts.

How many RC elements to use
---------------------------
The time constants are spaced evenly on a log scale from ``1 / (10 omega_max)`` to
``10 / omega_min``, a decade beyond the measured range on both sides, so that arcs peaking just
outside the range are still followed. The count ``M`` follows the under-/over-fitting criterion of
the published linear test,

    mu = 1 - sum(|R_k| for R_k < 0) / sum(R_k for R_k > 0),

which stays near one while the elements describe the spectrum and falls once they start to follow
its noise with alternating signs. ``M`` grows one by one and the first ``M`` with ``mu < 0.85`` is
used. ``M`` starts at four elements per decade of the time-constant range (``4 * decades + 1``) and
never exceeds the number of points; if ``mu`` stays at or above 0.85 up to that bound, the bound is
used.

The start is a floor because a coarser grid cannot put its time constants on the relaxations of the
spectrum and borrows negative resistances to make up for it. That is under-fitting, but ``mu``
cannot tell it from over-fitting: counting from one element, it stops after three for a single RC
arc, whose spectrum the three-element fit misses by tens of percent. Four per decade follows a
single arc anywhere in the range to better than 0.1%, and on measured spectra ``mu`` is usually
already below 0.85 there, so the floor is the count in practice and the criterion only adds elements
to clean, smooth spectra. Spectra sampled more sparsely than about five points per decade run into
the bound of one element per point and may fail for lack of elements.
"""

from __future__ import annotations

import math
import numbers
from dataclasses import dataclass
from typing import Any

import numpy as np
import scipy.linalg

from movarin_tools._spectrum import ComplexArray, FloatArray, as_arrays

MU_THRESHOLD = 0.85
RC_PER_DECADE = 4
EXTENSION = 10.0
MIN_POINTS = 3
# Columns ahead of the RC elements in the design matrix: resistance, inductance, 1/capacitance.
SERIES_TERMS = 3


@dataclass(frozen=True, eq=False)
class KKResult:
    """Outcome of :func:`kramers_kronig`.

    Attributes
    ----------
    valid : bool
        Whether every real and imaginary residual lies within the tolerance.
    mu : float
        The under-/over-fitting measure of the fit used: one minus the sum of the negative RC
        resistances over the sum of the positive ones (``-inf`` if none is positive).
    num_rc : int
        Number of RC elements in the fit used.
    residuals_real, residuals_imag : numpy.ndarray
        ``(Z - Z_test) / |Z|`` per point, real and imaginary part, in input order (read-only).
    impedances : numpy.ndarray
        The test's own model of the spectrum at the measured frequencies (complex, read-only).
    """

    valid: bool
    mu: float
    num_rc: int
    residuals_real: FloatArray
    residuals_imag: FloatArray
    impedances: ComplexArray


def kramers_kronig(
    frequencies: Any, impedances: Any = None, *, tolerance: float = 0.01
) -> KKResult:
    """Test a spectrum against the Kramers-Kronig relations with the linear RC-chain fit.

    Parameters
    ----------
    frequencies
        Frequencies in hertz, or a dataframe with the battery data format columns when
        ``impedances`` is ``None``.
    impedances
        Complex impedances in ohm, one per frequency.
    tolerance
        Largest accepted residual, relative to ``|Z|``, for the real and the imaginary part alike.

    Returns
    -------
    KKResult
        Validity, ``mu``, the number of RC elements, the residuals and the test's model.

    Raises
    ------
    ValueError
        If there are fewer than three points, a frequency is not finite and positive, an impedance
        is not finite or zero, or the tolerance is not a positive number.

    Notes
    -----
    The number of RC elements is chosen as described in this module's documentation.
    """
    f, z = as_arrays(frequencies, impedances)
    _check(f, z, tolerance)
    omega = 2.0 * np.pi * f
    tau_min = 1.0 / (EXTENSION * omega.max())
    tau_max = EXTENSION / omega.min()
    n_rc = _first_rc_count(tau_min, tau_max, len(f))
    while True:
        time_constants = np.geomspace(tau_min, tau_max, n_rc)
        design = _design_matrix(omega, time_constants)
        coefficients = _weighted_solve(design, z)
        mu = _mu(coefficients[SERIES_TERMS:])
        if mu < MU_THRESHOLD or n_rc >= len(f):
            break
        n_rc += 1
    model = design @ coefficients
    relative = (z - model) / np.abs(z)
    residuals_real, residuals_imag = _read_only(relative.real), _read_only(relative.imag)
    worst = max(np.abs(residuals_real).max(), np.abs(residuals_imag).max())
    valid = bool(worst <= tolerance)
    return KKResult(valid, mu, n_rc, residuals_real, residuals_imag, _read_only(model))


def _check(f: FloatArray, z: ComplexArray, tolerance: float) -> None:
    if len(f) < MIN_POINTS:
        raise ValueError(f"frequencies: the test needs at least {MIN_POINTS} points, got {len(f)}")
    bad = np.flatnonzero(~np.isfinite(f) | (f <= 0))
    if bad.size:
        raise ValueError(
            f"frequencies: point {bad[0]} is {f[bad[0]]}; "
            "every frequency must be finite and positive"
        )
    bad = np.flatnonzero(~np.isfinite(z) | (z == 0))
    if bad.size:
        raise ValueError(
            f"impedances: point {bad[0]} is {z[bad[0]]}; "
            "every impedance must be finite and non-zero"
        )
    if not (isinstance(tolerance, numbers.Real) and math.isfinite(tolerance) and tolerance > 0):
        raise ValueError(f"tolerance must be a positive number, got {tolerance!r}")


def _first_rc_count(tau_min: float, tau_max: float, n_points: int) -> int:
    decades = math.log10(tau_max / tau_min)
    return min(n_points, math.ceil(RC_PER_DECADE * decades) + 1)


def _design_matrix(omega: FloatArray, time_constants: FloatArray) -> ComplexArray:
    """Columns: series R, series L, series 1/C, then one RC element per time constant."""
    jw = 1j * omega
    series = np.column_stack([np.ones_like(jw), jw, 1.0 / jw])
    return np.hstack([series, 1.0 / (1.0 + np.outer(jw, time_constants))])


def _weighted_solve(design: ComplexArray, z: ComplexArray) -> FloatArray:
    """Real coefficients fitting real and imaginary parts jointly, each point weighted by 1/|Z|."""
    weight = 1.0 / np.abs(z)
    weighted = design * weight[:, None]
    a = np.vstack([weighted.real, weighted.imag])
    b = np.concatenate([z.real * weight, z.imag * weight])
    # The columns span many orders of magnitude (omega and 1/omega); unit columns keep the
    # solver's rank decision about shape, not about units.
    scale = np.linalg.norm(a, axis=0)
    # A pivoted QR (gelsy) solves these small, well-posed systems about twice as fast as the SVD.
    solution, *_ = scipy.linalg.lstsq(a / scale, b, lapack_driver="gelsy", check_finite=False)
    return solution / scale


def _mu(resistances: FloatArray) -> float:
    positive = resistances[resistances > 0].sum()
    negative = -resistances[resistances < 0].sum()
    if negative == 0:
        return 1.0
    if positive == 0:
        return -math.inf
    return float(1.0 - negative / positive)


def _read_only(values: np.ndarray) -> np.ndarray:
    values = np.ascontiguousarray(values)
    values.flags.writeable = False
    return values
