"""Circuit.residuals and Circuit.jacobian against an independent NumPy computation."""

import inspect

import numpy as np
import pytest

from conftest import python_runs_during
from movarin import Circuit

STEP_SCALE = np.cbrt(2.220446049250313e-16)
PARAMS = [12.0, 85.0, 3e-5]
FREQUENCIES = np.logspace(-2, 5, 9)
MEASURED = (10 + 90 / (1 + 2.3j * FREQUENCIES * 1e-3)) * (1 + 0.01 * np.sin(FREQUENCIES))


def randles(params, f):
    """R0-(R1,C1): R0 + R1 / (1 + j w R1 C1)."""
    r0, r1, c1 = params[:3]
    return r0 + r1 / (1 + 1j * 6.283185307179586 * f * r1 * c1)


def resistor(params, f):
    return np.full(len(f), complex(params[0], 0.0))


def residuals_numpy(params, weight, model=randles):
    scale = np.maximum(np.hypot(MEASURED.real, MEASURED.imag), 1e-30) if weight == "modulus" else 1
    z = model(params, FREQUENCIES)
    r = np.empty(2 * len(z))
    r[0::2], r[1::2] = (z.real - MEASURED.real) / scale, (z.imag - MEASURED.imag) / scale
    return r


def jacobian_numpy(params, weight, model=randles):
    columns = []
    for j, value in enumerate(params):
        step = STEP_SCALE * max(abs(value), 1e-8)
        plus, minus = list(params), list(params)
        plus[j], minus[j] = value + step, value - step
        difference = residuals_numpy(plus, weight, model) - residuals_numpy(minus, weight, model)
        columns.append(difference / (2 * step))
    return np.column_stack(columns)


@pytest.mark.parametrize("weight", ["modulus", "unit"])
def test_against_numpy(weight):
    circuit = Circuit("R0-(R1,C1)").with_values([1.0, 2.0, 3.0])  # params win over stored values
    r = circuit.residuals(PARAMS, FREQUENCIES, MEASURED, weight=weight)
    assert all(type(x) is float for x in r)
    np.testing.assert_allclose(r, residuals_numpy(PARAMS, weight), rtol=1e-12, atol=1e-15)

    # Values beyond the circuit's parameters are not read, but get their (zero) columns.
    jacobian = np.array(circuit.jacobian(PARAMS + [4.0], FREQUENCIES, MEASURED, weight=weight))
    assert jacobian.shape == (2 * len(FREQUENCIES), 4) and not jacobian[:, 3].any()
    expected = jacobian_numpy(PARAMS, weight)
    tolerance = 1e-9 * abs(expected).max()
    np.testing.assert_allclose(jacobian[:, :3], expected, rtol=1e-7, atol=tolerance)

    # A resistor's residuals round alike here and there, so p +- h shows the step exactly; at zero
    # the step is c * 1e-8, not zero.
    for value in (0.0, -2.5):
        jacobian = Circuit("R0").jacobian([value], FREQUENCIES, MEASURED, weight=weight)
        assert jacobian == jacobian_numpy([value], weight, resistor).tolist()


def test_weights():
    circuit = Circuit("R0")
    assert circuit.residuals([1.0], [1.0, 2.0], [0j, 4 + 3j]) == [1 / 1e-30, 0.0, -0.6, -0.6]
    assert circuit.residuals([1.0], [1.0], [4 + 3j], weight="unit") == [-3.0, -3.0]
    assert circuit.residuals([1.0], [], []) == circuit.jacobian([1.0], [], []) == []


UNKNOWN = 'unknown weight scheme {}, expected "modulus" or "unit"'


@pytest.mark.parametrize("arguments, exception, text", [
    (("x", "bad", None, 1), TypeError, "argument 'params': Can't extract `str` to `Vec`"),
    (([1.0, "x"], "bad"), TypeError, "argument 'params': must be real number, not str"),
    ((PARAMS, "bad", None, 1), TypeError,
     "argument 'weight': 'int' object cannot be converted to 'str'"),
    (([1.0], "bad", [1j], "Modulus"), TypeError, "Can't extract `str` to `Vec`"),
    (([1.0], [1.0], [1j], "Modulus"), ValueError, UNKNOWN.format('"Modulus"')),
    ((PARAMS, [1.0], [1j], 'say "unit"\n'), ValueError, UNKNOWN.format(r'"say \"unit\"\n"')),
    (([1.0, 2.0], [1.0], [1j]), ValueError, "expected at least 3 values, got 2"),
    (([], [], []), ValueError, "expected at least 3 values, got 0"),
])
@pytest.mark.parametrize("method", ["residuals", "jacobian"])
def test_argument_errors(method, arguments, exception, text):
    with pytest.raises(exception) as raised:
        getattr(Circuit("R0-(R1,C1)"), method)(*arguments)
    assert type(raised.value) is exception and str(raised.value) == text


@pytest.mark.parametrize("method, points", [("residuals", 1_000_000), ("jacobian", 20_000)])
def test_signature_and_lock_release(method, points):
    circuit = Circuit("R0-(R1,CPE1)-(R2-W2,CPE2)-Wo3-T4-Tlmq5")
    call = getattr(circuit, method)
    signature = "(params, frequencies, impedances=None, weight='modulus')"
    assert str(inspect.signature(call)) == signature
    frequencies = np.logspace(-3, 6, points)
    arguments = dict(params=circuit.param_values(), frequencies=frequencies,
                     impedances=circuit.impedance(frequencies), weight="unit")
    assert python_runs_during(lambda: call(**arguments))
