"""The Circuit class, Series/Parallel and the float-sequence rule for numeric arguments."""

import cmath
import math
import sys
from collections import OrderedDict
from types import MappingProxyType

import numpy as np
import pytest

from conftest import python_runs_during
from movarin import Circuit, Element, Parallel, Series

TWO_PI = 6.283185307179586

GRAMMAR_ERROR_R0_R1_Q1 = """\
unknown element code "Q" at position 7

  R0-(R1,Q1)
         ^

syntax:
  - every element needs a numeric label, e.g. "R0" and "C1", not "R" and "C"
  - connect elements in series with '-', e.g. "R0-C1"
  - connect elements in parallel with '(...)' or 'p(...)', e.g. "R0-(R1,C1)" or "R0-p(R1,C1)"

available elements (code, parameters, [units]):
  R     r [ohm]
  C     c [F]
  L     l [H]
  La    l [H*s], alpha [-]
  CPE   q [ohm^-1*s^alpha], alpha [-]
  W     aw [ohm*s^-0.5]
  Wo    z0 [ohm], tau [s]
  Ws    z0 [ohm], tau [s]
  G     rg [ohm], tg [s]
  Gs    rg [ohm], tg [s], phi [-]
  K     r [ohm], tau_k [s]
  Zarc  r [ohm], tau_k [s], gamma [-]
  TLMQ  r_ion [ohm], qs [F*s^(gamma-1)], gamma [-]
  T     a [ohm*m^2], b [ohm*m^2], k_tau [-], tau [s]"""


# --- Constructor ---------------------------------------------------------------------------------


def test_grammar_error_message_is_complete():
    with pytest.raises(ValueError) as raised:
        Circuit("R0-(R1,Q1)")
    assert str(raised.value) == GRAMMAR_ERROR_R0_R1_Q1


@pytest.mark.parametrize(
    "text, first_line",
    [
        ("R0-(R1,C1", "unexpected end of input"),
        (" R0-(R1,C1)", "unexpected character at position 0"),
        ("R0-Ω1", "unexpected character at position 3"),
        ("R1-R1", 'duplicate element label "R1"'),
    ],
)
def test_grammar_errors_raise_value_error(text, first_line):
    with pytest.raises(ValueError) as raised:
        Circuit(text)
    assert str(raised.value).split("\n")[0] == first_line


@pytest.mark.parametrize("text", ["rc", "RC", " rc ", "R0-(R1,C1)", "R0-p(R1,C1)"])
def test_builtin_names_and_strings_build_the_same_circuit(text):
    assert Circuit(s=text).param_names() == ["R0.r", "R1.r", "C1.c"]


@pytest.mark.parametrize("value, type_name", [(1, "int"), (b"R0", "bytes"), (None, "NoneType")])
def test_constructor_needs_a_str(value, type_name):
    with pytest.raises(TypeError, match=f"^argument 's': '{type_name}' object"):
        Circuit(value)


def test_circuit_cannot_be_subclassed():
    with pytest.raises(TypeError):

        class Mine(Circuit):
            pass


# --- Parameter listings and rebuilding -----------------------------------------------------------


def test_parameter_listings():
    circuit = Circuit("R0-(R1,CPE1)-Zarc2")
    assert circuit.param_names() == [
        "R0.r", "R1.r", "CPE1.q", "CPE1.alpha", "Zarc2.r", "Zarc2.tau_k", "Zarc2.gamma"]
    assert circuit.param_units() == ["ohm", "ohm", "ohm^-1*s^alpha", "-", "ohm", "s", "-"]
    assert circuit.param_values() == [1.0, 1.0, 0.001, 0.8, 1.0, 0.001, 0.8]
    open_bound, unit_bound = (1e-12, math.inf), (0.0, 1.0)
    assert circuit.param_bounds() == [open_bound] * 3 + [unit_bound] + [open_bound] * 2 + [unit_bound]
    assert all(type(pair) is tuple for pair in circuit.param_bounds())


@pytest.mark.parametrize("values", [[10, 100, 1e-6], (10, 100, 1e-6), np.array([10, 100, 1e-6])])
def test_with_values_returns_a_new_circuit(values):
    circuit = Circuit("R0-(R1,C1)")
    rebuilt = circuit.with_values(values=values)
    assert rebuilt is not circuit
    assert rebuilt.param_values() == [10.0, 100.0, 1e-6]
    assert circuit.param_values() == [1.0, 1.0, 0.001]


@pytest.mark.parametrize("count", [2, 4])
def test_with_values_count_mismatch(count):
    with pytest.raises(ValueError, match=f"^expected 3 values, got {count}$"):
        Circuit("R0-(R1,C1)").with_values([1.0] * count)


@pytest.mark.parametrize("mapping_type", [dict, OrderedDict])
def test_with_named_values_accepts_dicts(mapping_type):
    values = mapping_type([("C1.c", 3.0), ("R0.r", 1), ("R1.r", 2.0)])
    rebuilt = Circuit("R0-(R1,C1)").with_named_values(values)
    assert rebuilt.param_values() == [1.0, 2.0, 3.0]


def test_with_named_values_reports_unknown_and_missing_names():
    with pytest.raises(ValueError) as raised:
        Circuit("R0-(R1,C1)").with_named_values({"R0.x": 1.0})
    assert str(raised.value) == (
        'unknown parameter "R0.x" (did you mean "R0.r"?)\n'
        'missing parameter(s): ["R0.r", "R1.r", "C1.c"]\n'
        "\n"
        "valid parameters for this circuit:\n"
        "  R0.r  [ohm]  bounds (1e-12, inf)\n"
        "  R1.r  [ohm]  bounds (1e-12, inf)\n"
        "  C1.c  [F]  bounds (1e-12, inf)"
    )


class BrokenFloat:
    def __float__(self):
        raise ValueError("no value here")


class ShrinkingValue:
    """Removes every entry of the dict it sits in while being converted."""

    def __init__(self, owner):
        self.owner = owner

    def __float__(self):
        self.owner.clear()
        return 1.0


def test_with_named_values_survives_a_value_that_empties_the_dict():
    values = {}
    values["R0.r"] = ShrinkingValue(values)
    assert Circuit("R0").with_named_values(values).param_values() == [1.0]


NO_FREQUENCY_COLUMN = ('expected a sequence of frequencies, or a dataframe with a "Frequency / Hz" '
                       'or "frequency_hertz" column')


@pytest.mark.parametrize(
    "method, argument, exception, text",
    [
        ("with_values", "R0", TypeError, "argument 'values': Can't extract `str` to `Vec`"),
        ("with_values", 5, TypeError,
         "argument 'values': 'int' object cannot be converted to 'Sequence'"),
        ("with_values", {1.0}, TypeError,
         "argument 'values': 'set' object cannot be converted to 'Sequence'"),
        ("with_values", [1.0, "x"], TypeError, "argument 'values': must be real number, not str"),
        ("with_values", [BrokenFloat()], ValueError, "no value here"),
        ("with_named_values", MappingProxyType({"R0.r": 1.0}), TypeError,
         "argument 'values': 'mappingproxy' object cannot be converted to 'dict'"),
        ("with_named_values", {1: 1.0}, TypeError,
         "argument 'values': 'int' object cannot be converted to 'str'"),
        ("with_named_values", {"R0.r": "x"}, TypeError,
         "argument 'values': must be real number, not str"),
        # What cannot be read as frequencies is taken as a dataframe, and has no frequency column.
        ("impedance", "1", ValueError, NO_FREQUENCY_COLUMN),
        ("impedance", np.array(1.0), ValueError, NO_FREQUENCY_COLUMN),
        ("impedance", [1.0, "x"], ValueError, NO_FREQUENCY_COLUMN),
    ],
)
def test_argument_conversion_errors(method, argument, exception, text):
    with pytest.raises(exception) as raised:
        getattr(Circuit("R0"), method)(argument)
    assert type(raised.value) is exception
    assert str(raised.value) == text


# --- Representation -----------------------------------------------------------------------------


def test_repr_lists_parameters():
    circuit = Circuit("R0-R1-R2-R3-R4-CPE15").with_values(
        [1e6, 999999.5, 0.0001, 0.00009, 0, 100, 0.5])
    expected = (
        "Circuit (7 parameters)\n"
        "  R0.r        = 1e6        [ohm]  bounds (1e-12, inf)\n"
        "  R1.r        = 999999.5   [ohm]  bounds (1e-12, inf)\n"
        "  R2.r        = 0.0001     [ohm]  bounds (1e-12, inf)\n"
        "  R3.r        = 9e-5       [ohm]  bounds (1e-12, inf)\n"
        "  R4.r        = 0          [ohm]  bounds (1e-12, inf)\n"
        "  CPE15.q     = 100        [ohm^-1*s^alpha]  bounds (1e-12, inf)\n"
        "  CPE15.alpha = 0.5        [-]  bounds (0, 1)"
    )
    assert repr(circuit) == expected
    assert str(circuit) == expected


@pytest.mark.parametrize(
    "circuit, text",
    [
        (Circuit("R0"), "Circuit (1 parameter)\n  R0.r = 1          [ohm]  bounds (1e-12, inf)"),
        (Series([]), "Circuit (0 parameters)\n"),
    ],
)
def test_repr_counts(circuit, text):
    assert repr(circuit) == text


# --- Series and Parallel ------------------------------------------------------------------------


def test_series_flattens_circuits_and_names_unlabelled_elements():
    circuit = Series(parts=[Element.R(1), Parallel([Element.R(2), Element.C(1e-6)]),
                            Circuit("R0-CPE1")])
    assert circuit.param_names() == [
        "R0.r", "R1.r", "C0.c", "R0.r", "CPE1.q", "CPE1.alpha"]
    assert circuit.param_values() == [1.0, 2.0, 1e-6, 1.0, 0.001, 0.8]
    assert Series([Circuit("R0-C1")]).param_names() == ["R0.r", "C1.c"]


def test_parallel_branches():
    assert Parallel([Element.R(1), Element.R(1)]).impedance([1.0])[0] == 0.5
    branch = Circuit("R0-C1")
    assert Parallel(parts=(branch,)).impedance([3.0])[0] == pytest.approx(
        branch.impedance([3.0])[0], rel=1e-14)
    assert cmath.isnan(Parallel([]).impedance([1.0])[0])


@pytest.mark.parametrize("function", [Series, Parallel])
@pytest.mark.parametrize(
    "parts, text",
    [
        ("R0", "argument 'parts': Can't extract `str` to `Vec`"),
        (Element.R(1), "argument 'parts': 'Element_R' object cannot be converted to 'Sequence'"),
        ([Element.R(1), "R0"],
         "argument 'parts': 'str' object cannot be converted to 'Element' or 'Circuit'"),
        ([1.0], "argument 'parts': 'float' object cannot be converted to 'Element' or 'Circuit'"),
    ],
)
def test_part_errors(function, parts, text):
    with pytest.raises(TypeError) as raised:
        function(parts)
    assert str(raised.value) == text


# --- Nesting depth ------------------------------------------------------------------------------


def nested(depth):
    return Circuit("(" * depth + "R1" + ")" * depth)


def test_deepest_allowed_nesting_is_usable():
    deepest = nested(1000)
    assert deepest.impedance([1.0])[0] == 1.0
    assert Series([deepest, Element.C(1.0)]).param_names() == ["R1.r", "C0.c"]


@pytest.mark.parametrize("build", [lambda: Parallel([nested(1000)]),
                                   lambda: Parallel([Element.R(1), Series([nested(1000)])])])
def test_parallel_refuses_nesting_beyond_the_limit(build):
    with pytest.raises(ValueError, match="^circuit nesting deeper than 1000 parallel groups$"):
        build()


def test_repeated_parallel_stops_at_the_limit():
    circuit = Element.R(1.0)
    for _ in range(1000):
        circuit = Parallel([circuit])
    with pytest.raises(ValueError):
        Parallel([circuit])


def test_deep_circuit_string_is_refused():
    with pytest.raises(ValueError):
        Circuit("(" * 5000 + "R1" + ")" * 5000)


# --- Impedance ----------------------------------------------------------------------------------

FREQUENCIES = [0.01, 1.0, 159.2, 1e5]


def omega(f):
    return TWO_PI * f


@pytest.mark.parametrize(
    "circuit, formula",
    [
        (Series([Element.R(5.0)]), lambda w: 5.0),
        (Series([Element.C(1e-3)]), lambda w: 1 / (1j * w * 1e-3)),
        (Series([Element.L(2e-6)]), lambda w: 1j * w * 2e-6),
        (Series([Element.W(3.0)]), lambda w: 3.0 * (1 - 1j) / math.sqrt(w)),
        (Series([Element.K(2.0, 1e-3)]), lambda w: 2.0 / (1 + 1j * w * 1e-3)),
        (Series([Element.Cpe(1e-4, 0.8)]), lambda w: 1 / (1e-4 * (1j * w) ** 0.8)),
        (Series([Element.Zarc(4.0, 1e-3, 0.7)]), lambda w: 4.0 / (1 + (1j * w * 1e-3) ** 0.7)),
        (Circuit("R0-(R1,C1)").with_values([10, 100, 1e-5]),
         lambda w: 10 + 1 / (1 / 100 + 1j * w * 1e-5)),
    ],
)
def test_impedance_against_formulas(circuit, formula):
    values = circuit.impedance(FREQUENCIES)
    expected = np.array([formula(omega(f)) for f in FREQUENCIES], dtype=complex)
    np.testing.assert_allclose(values, expected, rtol=1e-12, atol=0)


def test_impedance_array():
    values = Circuit("R0-(R1,C1)").impedance(frequencies=np.array([1.0, 2.0, 3.0]))
    assert values.dtype == np.complex128 and values.shape == (3,)
    assert values.flags.writeable and values.flags.c_contiguous
    assert not values.flags.owndata  # the computed buffer was handed over, not copied
    values[0] = 0
    assert values[0] == 0
    empty = Circuit("R0").impedance([])
    assert empty.dtype == np.complex128 and empty.shape == (0,)


@pytest.mark.parametrize(
    "frequencies",
    [
        np.logspace(-2, 5, 12)[::2],
        np.logspace(-2, 5, 6, dtype=np.float32),
        list(np.logspace(-2, 5, 6)),
        tuple(float(f) for f in np.logspace(-2, 5, 6)),
    ],
)
def test_impedance_reads_any_float_sequence(frequencies):
    circuit = Circuit("R0-(R1,CPE1)")
    expected = np.array([circuit.impedance([float(f)])[0] for f in frequencies])
    np.testing.assert_array_equal(circuit.impedance(frequencies), expected)


class AnnouncedLength:
    """A sequence whose __len__ is not to be trusted; its items end at IndexError."""

    def __init__(self, length):
        self.length = length

    def __len__(self):
        if isinstance(self.length, Exception):
            raise self.length
        return self.length

    def __getitem__(self, index):
        if index >= 3:
            raise IndexError(index)
        return float(index + 1)


@pytest.mark.parametrize("length", [sys.maxsize, 2**40, 0, RuntimeError("no length")])
def test_length_is_only_a_hint(length):
    values = Circuit("R0").impedance(AnnouncedLength(length))
    assert values.shape == (3,)


@pytest.mark.parametrize("count", [999, 1000])
def test_parallel_evaluation_matches_single_points(count):
    circuit = Circuit("R0-(R1,CPE1)-(R2-W2,CPE2)-Wo3-Ws4-G5-Gs6-La7-T8-Tlmq9")
    frequencies = np.logspace(-3, 6, count)
    together = circuit.impedance(frequencies)
    alone = np.array([circuit.impedance([f])[0] for f in frequencies])
    np.testing.assert_array_equal(together, alone)


def test_impedance_releases_the_interpreter_lock():
    circuit = Circuit("R0-(R1,CPE1)-(R2-W2,CPE2)-Wo3-T4-Tlmq5")
    frequencies = np.logspace(-3, 6, 1_000_000)
    assert python_runs_during(lambda: circuit.impedance(frequencies))
