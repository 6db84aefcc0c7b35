"""Fit records: exact JSON round trips, non-finite numbers, and records that do not fit."""

import json
import math
from types import SimpleNamespace

import numpy as np
import pytest

import movarin
from movarin_tools import from_dict, load_json, save_json, to_dict

FREQUENCIES = np.logspace(-2, 5, 40)
CIRCUIT = "R0-p(R1,Cpe1)"


@pytest.fixture(scope="module")
def rc_fit():
    """A fit whose exponent stops on its upper bound, the data's lying beyond it."""
    beyond = movarin.Circuit(CIRCUIT).with_values([10, 100, 1e-5, 1.05])
    z = np.asarray(beyond.impedance(FREQUENCIES))
    z = z * (1 + 0.002 * np.random.default_rng(0).standard_normal(len(z)))
    start = movarin.Circuit(CIRCUIT).with_values([10, 100, 1e-5, 0.9])
    return start.fit(FREQUENCIES, z, guess_init=False), z


def test_round_trip_through_json_is_exact(rc_fit, tmp_path):
    result, z = rc_fit
    names = result.circuit.param_names()
    fitted_values = [result.params[name] for name in names]
    for record in (to_dict(result, CIRCUIT), to_dict(result, CIRCUIT, FREQUENCIES, z)):
        back = json.loads(json.dumps(record, allow_nan=False))
        assert back == record
        assert list(back["params"]) == names and list(back["stderr"]) == names
        assert back["stderr"]["Cpe1.alpha"] is None and back["stderr"]["R1.r"] > 0
        assert from_dict(back).param_values() == fitted_values
    assert "dof" not in to_dict(result, CIRCUIT)
    assert (record["n_points"], record["dof"], record["weight"]) == (40, 76, "modulus")

    save_json(result, CIRCUIT, tmp_path / "fit.json", FREQUENCIES, z)
    assert load_json(tmp_path / "fit.json").param_values() == fitted_values


def test_non_finite_numbers_are_stored_as_json_and_read_back():
    circuit = movarin.Circuit(CIRCUIT).with_values([10.0, 100.0, 1e-5, 0.85])
    params = dict(zip(circuit.param_names(), circuit.param_values()))
    perfect = SimpleNamespace(circuit=circuit, params=params, stderr=None, cost=0.0,
                              chi_square=0.0, success=True, iterations=0)
    record = to_dict(perfect, CIRCUIT, FREQUENCIES, circuit.impedance(FREQUENCIES))
    assert record["aic"] == "-Infinity" and record["bic"] == "-Infinity"
    assert set(to_dict(perfect, CIRCUIT)["stderr"].values()) == {None}
    json.dumps(record, allow_nan=False)

    params = {"R0.r": None, "R1.r": "Infinity", "Cpe1.q": 1e-5, "Cpe1.alpha": 0.5}
    stored = {"circuit": CIRCUIT, "params": params}
    values = from_dict(json.loads(json.dumps(stored))).param_values()
    assert math.isnan(values[0]) and values[1:] == [math.inf, 1e-5, 0.5]


# Same parameter names, other topology; and a circuit missing the fitted exponent.
@pytest.mark.parametrize("circuit", ["p(R0,R1)-Cpe1", "R0-p(R1,C1)"])
def test_a_circuit_string_that_does_not_rebuild_the_fit_is_refused(rc_fit, circuit):
    with pytest.raises(ValueError, match="circuit"):
        to_dict(rc_fit[0], circuit)


@pytest.mark.parametrize(
    "content, message",
    [
        ("{", "not JSON"),
        ('{"circuit": "R0-R1", "params": {"R0.r": 1.0}}', "R1.r"),
        ('{"circuit": "R0-R1", "params": {"R0.r": 1.0, "R1.r": "1"}}', r"params\['R1.r'\] must"),
        ('{"params": {}}', "'circuit' must be a circuit string"),
    ],
)
def test_a_broken_file_is_refused_with_its_name(tmp_path, content, message):
    path = tmp_path / "broken.json"
    path.write_text(content, encoding="utf-8")
    with pytest.raises(ValueError, match=message) as raised:
        load_json(path)
    assert "broken.json" in str(raised.value)
