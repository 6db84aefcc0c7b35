import io
import sys

import numpy as np
import pytest

matplotlib = pytest.importorskip("matplotlib")
matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402

import movarin  # noqa: E402
from movarin_tools.plot import plot_bode, plot_nyquist, plot_residuals  # noqa: E402

TRUE = movarin.Circuit("R0-p(R1,C1)").with_values([10.0, 100.0, 1e-5])
FREQUENCIES = np.logspace(4, -1, 21)
IMPEDANCES = TRUE.impedance(FREQUENCIES)


@pytest.fixture(autouse=True)
def close_figures():
    yield
    plt.close("all")


@pytest.fixture(scope="module")
def result():
    start = movarin.Circuit("R0-p(R1,C1)").with_values([5.0, 50.0, 3e-5])
    return start.fit(FREQUENCIES, IMPEDANCES, guess_init=False)


def rendered_png(figure) -> np.ndarray:
    buffer = io.BytesIO()
    figure.savefig(buffer, format="png")
    assert buffer.tell() > 1000
    buffer.seek(0)
    return plt.imread(buffer)


def test_every_plot_renders_a_drawn_image(result):
    frame = {"Frequency / Hz": FREQUENCIES, "Real Impedance / ohm": IMPEDANCES.real,
             "Imaginary Impedance / ohm": IMPEDANCES.imag}
    figure, grid = plt.subplots(2, 2)
    assert plot_nyquist(frame, result=result, ax=grid[0, 0]) is grid[0, 0]
    assert plot_bode(FREQUENCIES, IMPEDANCES, result, ax=(grid[0, 1], grid[1, 1])) == (
        grid[0, 1], grid[1, 1])
    assert plot_residuals(result, frame, ax=grid[1, 0]) is grid[1, 0]
    pixels = rendered_png(figure)
    # Not a blank canvas: markers, lines and text put many distinct colours on it.
    assert len(np.unique(pixels.reshape(-1, pixels.shape[-1]), axis=0)) > 50


def test_nyquist_draws_points_and_a_dense_fit_line_with_minus_imaginary_up(result):
    ax = plot_nyquist(FREQUENCIES, IMPEDANCES, result)
    measured, fitted = ax.get_lines()
    np.testing.assert_allclose(measured.get_ydata(), -IMPEDANCES.imag)
    assert measured.get_linestyle() == "None" and measured.get_marker() == "o"
    assert len(fitted.get_xdata()) > 5 * len(FREQUENCIES)
    # The arc of a parallel RC is capacitive: drawn above the real axis, peaking at R1 / 2.
    assert np.max(fitted.get_ydata()) == pytest.approx(50.0, rel=1e-3)
    assert ax.get_aspect() == 1.0
    assert "Ω" in ax.get_xlabel() and "Ω" in ax.get_ylabel()


def test_bode_spans_the_data_with_log_frequency_and_creates_two_stacked_axes(result):
    modulus_ax, phase_ax = plot_bode(FREQUENCIES, IMPEDANCES, result)
    assert modulus_ax.figure is phase_ax.figure
    assert modulus_ax.get_xscale() == phase_ax.get_xscale() == "log"
    fit_frequencies = modulus_ax.get_lines()[1].get_xdata()
    assert fit_frequencies.min() == pytest.approx(FREQUENCIES.min())
    assert fit_frequencies.max() == pytest.approx(FREQUENCIES.max())
    assert np.all(phase_ax.get_lines()[0].get_ydata() > 0)
    assert "Hz" in phase_ax.get_xlabel() and "Ω" in modulus_ax.get_ylabel()
    assert modulus_ax.get_xlabel() == ""  # stacked: the shared label sits under the phase
    with pytest.raises(ValueError, match="pair of axes"):
        plot_bode(FREQUENCIES, IMPEDANCES, ax=modulus_ax)


def test_residuals_are_percent_of_the_measured_modulus():
    shifted = IMPEDANCES + 0.01 * np.abs(IMPEDANCES)
    real_line, imaginary_line = plot_residuals(TRUE, FREQUENCIES, shifted).get_lines()[1:]
    np.testing.assert_allclose(real_line.get_ydata(), 100 * 0.01 / np.abs(shifted / IMPEDANCES))
    np.testing.assert_allclose(imaginary_line.get_ydata(), 0.0, atol=1e-9)


def test_missing_matplotlib_raises_an_import_error_with_the_install_hint(monkeypatch):
    monkeypatch.setitem(sys.modules, "matplotlib", None)
    monkeypatch.setitem(sys.modules, "matplotlib.pyplot", None)
    for draw in (lambda: plot_nyquist(FREQUENCIES, IMPEDANCES),
                 lambda: plot_bode(FREQUENCIES, IMPEDANCES),
                 lambda: plot_residuals(TRUE, FREQUENCIES, IMPEDANCES)):
        with pytest.raises(ImportError, match=r"pip install .*movarin\[plot\]"):
            draw()
