import numpy as np
import pytest

import movarin
from movarin_tools.io import read
from movarin_tools.kk import kramers_kronig

FREQUENCIES = np.geomspace(1e5, 1e-2, 71)


def spectrum(circuit: str, values: list[float], seed: int = 0) -> np.ndarray:
    """The circuit's impedance with 0.1% complex noise relative to |Z|."""
    z = np.asarray(movarin.Circuit(circuit).with_values(values).impedance(FREQUENCIES))
    rng = np.random.default_rng(seed)
    noise = rng.standard_normal(z.size) + 1j * rng.standard_normal(z.size)
    return z + 1e-3 * np.abs(z) * noise / np.sqrt(2)


@pytest.mark.parametrize(
    "circuit, values",
    [
        ("R0-p(R1,C1)", [10.0, 100.0, 1e-5]),  # one sharp arc: the hardest shape for an RC grid
        ("R0-p(R1,CPE1)-W1", [10.0, 100.0, 1e-4, 0.85, 50.0]),  # diffusion tail
        ("L0-R0-p(R1,C1)-p(R2,CPE2)", [1e-6, 10.0, 50.0, 1e-5, 100.0, 1e-3, 0.8]),  # inductive top
        ("R0-p(R1,C1)-p(R2,L2)", [10.0, 100.0, 1e-5, 20.0, 0.1]),  # inductive loop
        ("R0-p(R1,C1)-C2", [10.0, 100.0, 0.5, 100.0]),  # arc peaking below the lowest frequency
    ],
)
def test_spectra_of_circuits_pass_and_residuals_match_the_model(circuit, values):
    z = spectrum(circuit, values)
    result = kramers_kronig(FREQUENCIES, z)
    assert result.valid, (result.residuals_real, result.residuals_imag)
    residuals = result.residuals_real + 1j * result.residuals_imag
    np.testing.assert_allclose(residuals, (z - result.impedances) / np.abs(z), atol=1e-12)
    assert result.num_rc <= len(FREQUENCIES)


def test_drifting_low_frequency_tail_fails_where_it_drifts():
    circuit, values = "R0-p(R1,CPE1)-W1", [10.0, 100.0, 1e-4, 0.85, 50.0]
    # One period per point, swept downwards: the impedance grows with the elapsed time, up to twice
    # its value at the last point, so mostly the lowest decade drifts.
    elapsed = np.cumsum(1.0 / FREQUENCIES)
    drifted = spectrum(circuit, values) * (1.0 + elapsed / elapsed[-1])
    result = kramers_kronig(FREQUENCIES, drifted)
    worst = np.maximum(np.abs(result.residuals_real), np.abs(result.residuals_imag))
    assert not result.valid and worst.max() > 0.02
    assert FREQUENCIES[worst.argmax()] < 0.1
    assert kramers_kronig(FREQUENCIES, drifted, tolerance=0.1).valid


def test_one_bad_imaginary_part_fails_at_its_point():
    z = spectrum("R0-p(R1,CPE1)-W1", [10.0, 100.0, 1e-4, 0.85, 50.0])
    z[30] += 0.05j * abs(z[30])
    result = kramers_kronig(FREQUENCIES, z)
    assert not result.valid
    assert np.argmax(np.abs(result.residuals_imag)) == 30
    assert np.abs(result.residuals_real).max() < 0.01


@pytest.mark.filterwarnings("ignore:.*dropped")
def test_measured_files(measured_dir):
    # Failing: Parstat's junk points at the top frequencies (up to 10%), Gamry's drifting tail below
    # 16 Hz (8%), BioLogic between 2 and 600 Hz (7%), CH Instruments between 0.1 and 100 Hz (3%).
    passing = {"exampleData.csv", "exampleDataAutolab.txt", "exampleDataVersaStudio.par",
               "exampleDataZPlot.z"}
    verdicts = {path.name: kramers_kronig(read(path)).valid
                for path in sorted(measured_dir.glob("exampleData*"))}
    assert len(verdicts) == 8
    assert {name for name, valid in verdicts.items() if valid} == passing


@pytest.mark.parametrize(
    "frequencies, impedances, tolerance, argument",
    [
        ([1.0, 2.0], [1.0, 1.0], 0.01, "frequencies"),
        ([1.0, np.nan, 3.0], [1.0, 1.0, 1.0], 0.01, "frequencies"),
        ([1.0, 0.0, 3.0], [1.0, 1.0, 1.0], 0.01, "frequencies"),
        ([1.0, 2.0, 3.0], [1.0, np.inf, 1.0], 0.01, "impedances"),
        ([1.0, 2.0, 3.0], [1.0, 0.0, 1.0], 0.01, "impedances"),
        ([1.0, 2.0, 3.0], [1.0, 1.0, 1.0], 0.0, "tolerance"),
    ],
)
def test_bad_input_is_refused_naming_the_argument(frequencies, impedances, tolerance, argument):
    with pytest.raises(ValueError, match=argument):
        kramers_kronig(frequencies, impedances, tolerance=tolerance)
