"""Measured spectra from Python objects: two sequences, or a dataframe with named columns."""

import math

import numpy as np
import pandas as pd
import polars as pl
import pytest

from movarin import Circuit

F = '"Frequency / Hz" or "frequency_hertz"'
RE = '"Real Impedance / ohm" or "real_impedance_ohm"'
IM = '"Imaginary Impedance / ohm" or "imaginary_impedance_ohm"'
ABS = '"Absolute Impedance / ohm" or "absolute_impedance_ohm"'
PHASE = '"Phase / deg" or "phase_degree"'
NO_F = f"expected a dataframe with a {F} column, or frequencies and impedances as two arguments"
NO_Z = f"no impedance columns: expected {RE} together with {IM}, or {ABS} together with {PHASE}"
NO_POINTS = f"no measured points: every row of the {F} column is zero or negative"
FRAMES = [dict, pd.DataFrame, pl.DataFrame]


def measured(frequencies, impedances=None):
    """The converted impedances: with unit weights a zero resistor's residuals are -Z."""
    r = np.array(Circuit("R0").residuals([0.0], frequencies, impedances, weight="unit"))
    z = np.empty(len(r) // 2, dtype=complex)
    z.real, z.imag = -r[0::2], -r[1::2]
    return z


@pytest.mark.parametrize("impedances", [[1 + 2j, -3.5], np.array([1 + 2j, -3.5]), (1, 2.0)])
def test_impedance_sequences(impedances):
    # Zero and negative frequencies are kept in the two-sequence form.
    np.testing.assert_array_equal(measured([0.0, -1.0], impedances), np.array(impedances, complex))


def frame(f, re, im):
    return {"frequency_hertz": f, "real_impedance_ohm": re, "imaginary_impedance_ohm": im}


@pytest.mark.parametrize("frequencies, impedances, exception, text", [
    ("1", [1.0], TypeError, "Can't extract `str` to `Vec`"),
    (5, [1.0], TypeError, "'int' object cannot be converted to 'Sequence'"),
    ([1.0, "x"], "z", TypeError, "must be real number, not str"),  # impedances not examined
    ([1.0], "z", TypeError, "Can't extract `str` to `Vec`"),
    ([1.0], [None], TypeError, "must be real number, not NoneType"),
    ([1.0, 2.0], [1j], ValueError, "frequencies and impedances must have the same length"),
    ([1.0, 2.0], None, ValueError, NO_F),
    ("1", None, ValueError, NO_F),
    ({"Frequency / Hz": ["a"]}, None, ValueError, 'column "Frequency / Hz" is not numeric'),
    ({"frequency_hertz": 3.0}, None, ValueError, 'column "frequency_hertz" is not numeric'),
    ({"frequency_hertz": [1.0], "real_impedance_ohm": [1.0], "phase_degree": [1.0]}, None,
     ValueError, NO_Z),
    (frame([1.0, 2.0], [1.0], [1.0, 2.0]), None, ValueError,
     "real and imaginary impedance columns must have the same length"),
    ({"frequency_hertz": [1.0], "absolute_impedance_ohm": [1.0], "phase_degree": []}, None,
     ValueError, "absolute impedance and phase columns must have the same length"),
    (frame([1.0, 2.0, 3.0], [1.0, 2.0], [1.0, 2.0]), None, ValueError,
     f"frequency column has 3 rows but {RE} and {IM} have 2"),
    ({"frequency_hertz": [1.0], "absolute_impedance_ohm": [], "phase_degree": []}, None,
     ValueError, f"frequency column has 1 rows but {ABS} and {PHASE} have 0"),
    (frame([0.0, -1.0, math.nan], [1.0] * 3, [1.0] * 3), None, ValueError, NO_POINTS),
    (frame([], [], []), None, ValueError, NO_POINTS),
])
@pytest.mark.parametrize("method", ["residuals", "jacobian"])
def test_conversion_errors(method, frequencies, impedances, exception, text):
    with pytest.raises(exception) as raised:
        getattr(Circuit("R0"), method)([1.0], frequencies, impedances)
    assert type(raised.value) is exception and str(raised.value) == text


@pytest.mark.parametrize("make_frame", FRAMES)
def test_frames(make_frame):
    rows = make_frame({"Frequency / Hz": [0.0, 10.0, -1.0, math.nan, 100.0],
                       "real_impedance_ohm": [1.0, 2.0, 3.0, 4.0, 5.0],
                       "Imaginary Impedance / ohm": [-1.0, -2.0, -3.0, -4.0, -5.0]})
    np.testing.assert_array_equal(measured(rows), [2 - 2j, 5 - 5j])
    # The frequencies stay with their rows: a capacitor's reactance shows them.
    reactance = np.array(Circuit("C0").residuals([1.0], rows, weight="unit")[1::2]) - [2.0, 5.0]
    np.testing.assert_allclose(reactance, -1 / (6.283185307179586 * np.array([10.0, 100.0])),
                               rtol=1e-12)

    polar = make_frame({"frequency_hertz": [1.0, 2.0], "Absolute Impedance / ohm": [10.0, 2.0],
                        "phase_degree": [-90.0, 45.0]})
    z = measured(polar)
    assert z[0].real == 10.0 * math.cos(-90.0 * 0.017453292519943295) and 0 < z[0].real < 1e-15
    assert z[0].imag == -10.0
    assert z[1] == 2.0 * complex(math.cos(math.pi / 4), math.sin(math.pi / 4))

    # Every column is read before one is chosen, and real and imaginary parts come first.
    both = {"Frequency / Hz": [1.0], "Real Impedance / ohm": [3.0],
            "Imaginary Impedance / ohm": [4.0], "absolute_impedance_ohm": [1.0]}
    assert measured(make_frame({**both, "Phase / deg": [0.0]})).tolist() == [3 + 4j]
    with pytest.raises(ValueError, match='^column "Phase / deg" is not numeric$'):
        measured(make_frame({**both, "Phase / deg": ["n/a"]}))

    # impedance() reads the whole frequency column, dropping nothing.
    circuit = Circuit("L0").with_values([1.0])
    np.testing.assert_array_equal(circuit.impedance(make_frame({"frequency_hertz": [2.0, -1.0]})),
                                  circuit.impedance([2.0, -1.0]))


# --- Whole-array copies against item-by-item reading --------------------------------------------

SPECIAL = [1.0, -0.0, 0.0, math.inf, -math.inf, math.nan, 5e-324, -2.5e300]
COMPLEX = [complex(a, b) for a, b in zip(SPECIAL, reversed(SPECIAL))]


class ItemOverride(np.ndarray):
    """An array whose items, read one by one, are not the elements of its buffer."""

    def __getitem__(self, index):
        item = super().__getitem__(index)
        return item + 1 if np.ndim(item) == 0 else item


@pytest.mark.filterwarnings("ignore:Warning. converting a masked element:UserWarning")
@pytest.mark.filterwarnings("ignore::numpy.exceptions.ComplexWarning")
@pytest.mark.parametrize("array", [
    np.array(SPECIAL), np.array(SPECIAL * 2)[::2], np.array(SPECIAL, dtype=">f8"),
    np.array(SPECIAL[:-1], dtype=np.float32), np.array([1, -2, 2**53 + 1]),
    np.array(SPECIAL, dtype=object), np.ma.array(SPECIAL, mask=[0, 1] * 4),
    np.array(SPECIAL).view(ItemOverride), np.array(COMPLEX), np.array(COMPLEX * 2)[::2],
    np.array(COMPLEX, dtype=">c16"), np.ones((2, 2)), np.array([1j, "x"], dtype=object),
])
def test_arrays_read_like_their_items(array):
    def outcome(read, values):
        try:
            with np.errstate(invalid="ignore"):
                return np.asarray(read(values)).view(np.uint64).tolist()
        except (TypeError, ValueError) as error:
            return [type(error), str(error)]

    zeros, ones = np.zeros(len(array)), np.ones(len(array))
    # W0 keeps a frequency's sign of zero: 1/sqrt(-0.0) is -inf.
    warburg = Circuit("W0").with_values([1.0])
    for read in (lambda f: warburg.residuals([1.0], f, zeros, weight="unit"),
                 lambda z: measured(ones, z)):
        assert outcome(read, array) == outcome(read, list(array))
