"""Nyquist, Bode and residual plots of a measured spectrum and its fitted circuit.

matplotlib is an optional dependency: it is imported inside each function, so the rest of the
package works without it. Each function draws on the axes it is given (or on a new figure) and
returns them, so plots can be combined into one figure and styled further by the caller.
"""

from __future__ import annotations

from typing import TYPE_CHECKING, Any

import numpy as np

from movarin_tools._spectrum import ComplexArray, FloatArray, as_arrays

if TYPE_CHECKING:
    from matplotlib.axes import Axes

INSTALL_HINT = 'plotting needs matplotlib: pip install "movarin[plot]" (or pip install matplotlib)'

# Points per decade of the grid the fitted line is drawn on: enough for a smooth arc whatever the
# spacing of the measured points.
LINE_POINTS_PER_DECADE = 50
LINE_MIN_POINTS = 200

MEASURED_STYLE: dict[str, Any] = {"marker": "o", "markersize": 4, "linestyle": "none"}
FIT_STYLE: dict[str, Any] = {"linestyle": "-", "linewidth": 1.5}


def _pyplot() -> Any:
    try:
        import matplotlib.pyplot as plt
    except ImportError as error:
        raise ImportError(INSTALL_HINT) from error
    return plt


def _model_impedance(result: Any, frequencies: FloatArray) -> tuple[FloatArray, ComplexArray]:
    """Evaluate the fitted circuit on a log-spaced grid spanning the measured frequencies."""
    circuit = getattr(result, "circuit", result)
    positive = frequencies[frequencies > 0]
    if positive.size == 0:
        raise ValueError("cannot draw the fit: the spectrum has no positive frequency")
    low, high = np.log10(positive.min()), np.log10(positive.max())
    count = max(LINE_MIN_POINTS, int(np.ceil((high - low) * LINE_POINTS_PER_DECADE)) + 1)
    grid = np.logspace(low, high, count)
    return grid, np.asarray(circuit.impedance(grid), dtype=np.complex128)


def _new_axes(ax: Axes | None) -> Axes:
    if ax is not None:
        return ax
    _, new = _pyplot().subplots(figsize=(5.5, 4.5))
    return new


def plot_nyquist(
    frequencies: Any, impedances: Any = None, result: Any = None, ax: Axes | None = None
) -> Axes:
    """Draw the spectrum in the complex plane, with -Im Z upwards and equal scales.

    Parameters
    ----------
    frequencies
        Frequencies in hertz, or a dataframe with the battery data format columns when
        ``impedances`` is ``None``.
    impedances
        Complex impedances in ohm, one per frequency.
    result
        A ``movarin.FitResult`` (or a ``movarin.Circuit`` with values) whose impedance is drawn
        as a line over the measured frequency range; ``None`` draws the measured points only.
    ax
        The matplotlib axes to draw on; ``None`` creates a new figure.

    Returns
    -------
    matplotlib.axes.Axes
        The axes drawn on.

    Raises
    ------
    ImportError
        If matplotlib is not installed.

    Examples
    --------
    >>> from movarin_tools import read, fit, plot_nyquist
    >>> frame = read("examples/data/measured/exampleDataZPlot.z")
    >>> ax = plot_nyquist(frame, result=fit("R0-p(R1,CPE1)", frame))
    >>> ax.figure.savefig("nyquist.png")
    """
    f, z = as_arrays(frequencies, impedances)
    axes = _new_axes(ax)
    axes.plot(z.real, -z.imag, label="measured", **MEASURED_STYLE)
    if result is not None:
        _, model = _model_impedance(result, f)
        axes.plot(model.real, -model.imag, label="fit", **FIT_STYLE)
    axes.set_xlabel("Z' / Ω")
    axes.set_ylabel("−Z'' / Ω")
    # "datalim" keeps the axes box as laid out and stretches the limits instead, so the plot
    # fits a grid of subplots.
    axes.set_aspect("equal", adjustable="datalim")
    axes.grid(True, alpha=0.3)
    axes.legend()
    return axes


def plot_bode(
    frequencies: Any,
    impedances: Any = None,
    result: Any = None,
    ax: tuple[Axes, Axes] | None = None,
) -> tuple[Axes, Axes]:
    """Draw the modulus and the phase of the spectrum against log frequency.

    Parameters
    ----------
    frequencies
        Frequencies in hertz, or a dataframe with the battery data format columns when
        ``impedances`` is ``None``.
    impedances
        Complex impedances in ohm, one per frequency.
    result
        A ``movarin.FitResult`` (or a ``movarin.Circuit`` with values) drawn as a line;
        ``None`` draws the measured points only.
    ax
        A pair of axes ``(modulus_axes, phase_axes)`` to draw on; ``None`` creates a figure with
        the two stacked, sharing the frequency axis.

    Returns
    -------
    tuple of matplotlib.axes.Axes
        ``(modulus_axes, phase_axes)``. The phase is drawn negated (capacitive phases upwards),
        as the Nyquist plot draws -Im Z.

    Raises
    ------
    ImportError
        If matplotlib is not installed.
    ValueError
        If ``ax`` is not a pair of axes.

    Examples
    --------
    >>> from movarin_tools import read, plot_bode
    >>> modulus_ax, phase_ax = plot_bode(read("examples/data/measured/exampleDataZPlot.z"))
    >>> modulus_ax.figure.savefig("bode.png")
    """
    f, z = as_arrays(frequencies, impedances)
    if ax is None:
        _, (modulus_ax, phase_ax) = _pyplot().subplots(2, 1, sharex=True, figsize=(5.5, 5.5))
    else:
        try:
            modulus_ax, phase_ax = ax
        except (TypeError, ValueError) as error:
            raise ValueError("ax must be a pair of axes: (modulus_axes, phase_axes)") from error
    modulus_ax.plot(f, np.abs(z), label="measured", **MEASURED_STYLE)
    phase_ax.plot(f, -np.angle(z, deg=True), label="measured", **MEASURED_STYLE)
    if result is not None:
        grid, model = _model_impedance(result, f)
        modulus_ax.plot(grid, np.abs(model), label="fit", **FIT_STYLE)
        phase_ax.plot(grid, -np.angle(model, deg=True), label="fit", **FIT_STYLE)
    modulus_ax.set_xscale("log")
    modulus_ax.set_yscale("log")
    phase_ax.set_xscale("log")
    modulus_ax.set_ylabel("|Z| / Ω")
    phase_ax.set_ylabel("−phase / °")
    phase_ax.set_xlabel("frequency / Hz")
    # Stacked axes share one frequency label under the lower; side by side, each needs its own.
    if not modulus_ax.get_shared_x_axes().joined(modulus_ax, phase_ax):
        modulus_ax.set_xlabel("frequency / Hz")
    for axes in (modulus_ax, phase_ax):
        axes.grid(True, which="both", alpha=0.3)
    modulus_ax.legend()
    return modulus_ax, phase_ax


def plot_residuals(
    result: Any, frequencies: Any, impedances: Any = None, ax: Axes | None = None
) -> Axes:
    """Draw the fit's residuals, relative to the measured modulus, against log frequency.

    The residual of a point is ``(Z_measured - Z_fit) / |Z_measured|``, in percent, for the real
    and the imaginary part: the quantity the default ``weight="modulus"`` fit minimises, so
    structure left in it (a wave instead of noise around zero) shows what the circuit misses.

    Parameters
    ----------
    result
        A ``movarin.FitResult`` (or a ``movarin.Circuit`` with values).
    frequencies
        Frequencies in hertz, or a dataframe with the battery data format columns when
        ``impedances`` is ``None``.
    impedances
        Complex impedances in ohm, one per frequency.
    ax
        The matplotlib axes to draw on; ``None`` creates a new figure.

    Returns
    -------
    matplotlib.axes.Axes
        The axes drawn on.

    Raises
    ------
    ImportError
        If matplotlib is not installed.

    Examples
    --------
    >>> from movarin_tools import read, fit, plot_residuals
    >>> frame = read("examples/data/measured/exampleDataZPlot.z")
    >>> ax = plot_residuals(fit("R0-p(R1,CPE1)", frame), frame)
    """
    f, z = as_arrays(frequencies, impedances)
    circuit = getattr(result, "circuit", result)
    model = np.asarray(circuit.impedance(f), dtype=np.complex128)
    # A zero measured modulus has no relative residual; leave the point out rather than divide.
    with np.errstate(divide="ignore", invalid="ignore"):
        relative = np.where(np.abs(z) > 0, (z - model) / np.abs(z), np.nan) * 100.0
    axes = _new_axes(ax)
    axes.axhline(0.0, color="0.5", linewidth=0.8)
    axes.plot(f, relative.real, marker="o", markersize=4, linewidth=0.8, label="Δ real")
    axes.plot(f, relative.imag, marker="s", markersize=4, linewidth=0.8, label="Δ imaginary")
    axes.set_xscale("log")
    axes.set_xlabel("frequency / Hz")
    axes.set_ylabel("residual / % of |Z|")
    axes.grid(True, which="both", alpha=0.3)
    axes.legend()
    return axes
