"""Circuit.guess and Circuit.ml_circuits: stored models, user weight files and their errors."""

import os
import sys
from pathlib import Path

import numpy as np
import pytest

from movarin import Circuit

REPO = Path(__file__).resolve().parents[1]
sys.path.insert(0, str(REPO / "training"))
import data  # noqa: E402
import ovrel  # noqa: E402
import reference  # noqa: E402

MODEL_NAMES = ["rc", "rc_l", "rq", "rq_l", "two_rc", "two_rc_l", "two_rq", "two_rq_l", "randles",
               "sei_randles", "sei_randles_wo"]
MODEL_LIST = ", ".join(f"'{name}'" for name in MODEL_NAMES)
NO_MODEL = ("No training data on this circuit. Machine-learning based initial parameters "
            f"available for {MODEL_LIST}")
UNPARSABLE = "weight file has an unparsable value for "
FREQUENCIES = 10.0 ** (-1 + 6 * np.arange(50) / 49)


def spectrum(circuit, values, frequencies=FREQUENCIES):
    return frequencies, Circuit(circuit).with_values(values).impedance(frequencies)


def scaling_row(names, i):
    element, parameter = names[i].split(".")
    rows = {"c": [-1, -1, 0, -1], "l": [1, -1, 0, -1], "aw": [1, 0.5, 0, -1], "tau": [0, -1, 0, -1],
            "alpha": [0, 0, 0, -1]}
    if parameter == "q":
        return [-1, 0, -1, names.index(f"{element}.alpha")]
    return rows.get(parameter, [1, 0, 0, -1])


def random_weights(path, circuit, channels=8, n_grid=24, seed=0):
    """A weight file with random network weights in the trained files' layout."""
    rng = np.random.default_rng(seed)
    names = Circuit(circuit).param_names()
    p, c, k, h = len(names), channels, 5, 4 * channels
    dilations = [1, 2, 4, 8]
    header = [("circuit", circuit), ("param_names", ",".join(names)),
              ("estimator", "reactive_centroid"), ("n_grid", str(n_grid)),
              ("channels", str(c)), ("kernel", str(k)), ("groups", "4"),
              ("dilations", ",".join(map(str, dilations))), ("alpha_min", "0.05"),
              ("alpha_max", "1.0")]

    def weights(*shape):
        fan_in = int(np.prod(shape[1:])) if len(shape) > 1 else 16
        return rng.normal(0.0, 1.0 / np.sqrt(fan_in), shape)

    tensors = [("w.stem.weight", 1, weights(c, 3, k)), ("w.stem.bias", 1, weights(c))]
    for i in range(len(dilations)):
        for conv, norm in (("conv1", "norm1"), ("conv2", "norm2")):
            tensors += [(f"w.blocks.{i}.{conv}.weight", 1, weights(c, c, k)),
                        (f"w.blocks.{i}.{conv}.bias", 1, weights(c)),
                        (f"w.blocks.{i}.{norm}.weight", 1, 1.0 + 0.1 * weights(c)),
                        (f"w.blocks.{i}.{norm}.bias", 1, weights(c))]
    tensors += [("w.head.0.weight", 1, weights(h, 2 * c + 2)), ("w.head.0.bias", 1, weights(h)),
                ("w.head.2.weight", 2, weights(h, h)), ("w.head.2.bias", 0, weights(h)),
                ("w.head.4.weight", 1, weights(2 * p, h)), ("w.head.4.bias", 1, weights(2 * p))]
    exponent = np.array([name.endswith(".alpha") for name in names])
    tensors += [("target_mean", 0, np.where(exponent, 0.8, rng.normal(0, 1, p))),
                ("target_std", 0, np.where(exponent, 0.2, 0.5)),
                ("scaling", 0, np.array([scaling_row(names, i) for i in range(p)], dtype=float)),
                ("log_params", 0, (~exponent).astype(float))]
    ovrel.write_weight_file(path, header, tensors)
    return ovrel.read_weight_file(path)


@pytest.fixture
def rc_file(tmp_path):
    path = tmp_path / "rc.ovrel"
    return str(path), random_weights(path, "R0-(R1,C1)")


def test_ml_circuits_lists_the_registry():
    assert Circuit.ml_circuits() == MODEL_NAMES
    assert Circuit("R0").ml_circuits() == MODEL_NAMES
    assert Circuit.ml_circuits.__text_signature__ == "()"
    assert Circuit.guess.__text_signature__ == "($self, frequencies, impedances=None, weights=None)"
    assert Circuit.guess.__doc__.startswith("Machine-learning guess of starting parameters")
    assert Circuit.ml_circuits.__doc__.startswith("Names accepted by the constructor")


@pytest.mark.parametrize("circuit, model_circuit, values, order", [
    ("R0-(R1,C1)", "R0-(R1,C1)", [10, 100, 1e-5], [0, 1, 2]),
    ("(R1,C2)-R3", "R0-(R1,C1)", [100, 1e-5, 10], [1, 2, 0]),
    ("R0-(R1,CPE1)", "R0-(R1,CPE1)", [5, 50, 2e-4, 0.8], [0, 1, 2, 3]),
    ("(CPE1,W1-R1)-R0", "R0-(R1-W1,CPE1)", [1e-4, 0.9, 30, 20, 5], [3, 4, 2, 1, 0]),
    ("R0-(R1,CPE1)-(R2-Wo2,CPE2)", "R0-(R1,CPE1)-(R2-Wo2,CPE2)",
     [5, 20, 1e-5, 0.9, 40, 30, 2.0, 1e-3, 0.7], list(range(9))),
])
def test_user_file_matches_the_reference(tmp_path, circuit, model_circuit, values, order):
    path = tmp_path / "model.ovrel"
    model = random_weights(path, model_circuit, seed=len(values))
    f, z = spectrum(circuit, values)
    expected = reference.predict_parameters(model, f, z)[order]
    guessed = Circuit(circuit).guess(f, z, weights=str(path))
    assert isinstance(guessed, list) and len(guessed) == len(values)
    np.testing.assert_allclose(guessed, expected, rtol=1e-9)
    # A dataframe-like mapping of columns gives the same spectrum.
    frame = {"frequency_hertz": f, "Real Impedance / ohm": z.real,
             "imaginary_impedance_ohm": z.imag}
    assert Circuit(circuit).guess(frame, weights=str(path)) == guessed


def test_abbreviations_reach_the_pair_models(tmp_path, rc_file):
    rc_path, rc_model = rc_file
    f, z = spectrum("R0-K1", [10, 100, 1e-3])
    r0, r, c = reference.predict_parameters(rc_model, f, z)
    np.testing.assert_allclose(Circuit("R0-K1").guess(f, z, rc_path), [r0, r, r * c],
                               rtol=1e-9)

    rq_path = tmp_path / "rq.ovrel"
    rq_model = random_weights(rq_path, "R0-(R1,CPE1)", seed=5)
    f, z = spectrum("Zarc1-R0", [50, 1e-3, 0.8, 5])
    r0, r, q, alpha = reference.predict_parameters(rq_model, f, z)
    np.testing.assert_allclose(Circuit("Zarc1-R0").guess(f, z, weights=str(rq_path)),
                               [r, (r * q) ** (1 / alpha), alpha, r0], rtol=1e-9)


def test_a_weight_file_is_read_once_per_version_whatever_the_spelling(tmp_path, rc_file):
    path, _ = rc_file
    f, z = spectrum("R0-(R1,C1)", [10, 100, 1e-5])
    first = Circuit("R0-(R1,C1)").guess(f, z, weights=path)
    link = tmp_path / "link.ovrel"
    link.symlink_to(path)
    for spelling in (path.replace("/rc.ovrel", "/./rc.ovrel"), str(link),
                     os.path.relpath(path)):
        assert Circuit("R0-(R1,C1)").guess(f, z, weights=spelling) == first
    # An edited file is read again, and a removed one is gone.
    Path(path).write_bytes(b"not a weight file")
    with pytest.raises(ValueError, match=r"^not an ovrel weight file"):
        Circuit("R0-(R1,C1)").guess(f, z, weights=str(link))
    Path(path).unlink()
    with pytest.raises(ValueError, match=r"^reading weights: .*rc.ovrel\": No such file"):
        Circuit("R0-(R1,C1)").guess(f, z, weights=path)


def test_user_file_errors(tmp_path, rc_file):
    path, _ = rc_file
    f, z = spectrum("R0-(R1,C1)", [10, 100, 1e-5])
    with pytest.raises(ValueError) as error:
        Circuit("R0-(R1,CPE1)").guess(f, z, weights=path)
    assert str(error.value) == (f"{UNPARSABLE}{path} was trained for R0-(R1,C1), which is a "
                                "different circuit")
    with pytest.raises(ValueError) as error:
        Circuit("R0-(R1,C1)").guess(f[:1], z[:1], weights=path)
    assert str(error.value) == "need at least 2 frequency points to guess, got 1"

    broken = tmp_path / "broken.ovrel"
    broken.write_bytes(Path(path).read_bytes()[:-3])
    with pytest.raises(ValueError, match=r"^weight file is truncated$"):
        Circuit("R0-(R1,C1)").guess(f, z, weights=str(broken))
    # A file whose tables are short for its parameters is refused before inference reads them.
    model = ovrel.read_weight_file(path)
    header = list(model.header.items())
    tensors = [(name, 0, tensor.array()) for name, tensor in model.tensors.items()
               if name != "target_std"] + [("target_std", 0, np.ones(2))]
    short = tmp_path / "short.ovrel"
    ovrel.write_weight_file(short, header, tensors)
    with pytest.raises(ValueError, match=r"^tensor target_std has 2 elements, expected 3$"):
        Circuit("R0-(R1,C1)").guess(f, z, weights=str(short))


def test_stored_model_errors():
    f, z = spectrum("R0-(R1-W1,C1)", [10, 100, 1, 1e-5])
    for points in (1, 50):
        with pytest.raises(ValueError) as error:
            Circuit("R0-(R1-W1,C1)").guess(f[:points], z[:points])
        assert str(error.value) == NO_MODEL


def test_argument_conversion_order(rc_file):
    path, _ = rc_file
    f, z = spectrum("R0-(R1,C1)", [10, 100, 1e-5])
    with pytest.raises(TypeError) as error:
        Circuit("R0-(R1,C1)").guess("not frequencies", z, weights=3)
    assert str(error.value) == "argument 'weights': 'int' object cannot be converted to 'str'"
    with pytest.raises(TypeError, match="^Can't extract `str` to `Vec`$"):
        Circuit("R0-(R1,C1)").guess("not frequencies", z, weights=path)
    with pytest.raises(ValueError, match="^frequencies and impedances must have the same length$"):
        Circuit("R0-(R1,C1)").guess(f[:3], z, weights=path)
    with pytest.raises(TypeError):
        Circuit("R0-(R1,C1)").guess()


def stored_model(name):
    return ovrel.read_weight_file(REPO / "weights" / f"{name}.ovrel")


@pytest.mark.parametrize("name, truth", [
    ("rc", [10, 100, 1e-5]),
    ("rq", [5, 50, 2e-4, 0.8]),
    ("randles", [5, 30, 20, 1e-4, 0.85]),
])
def test_stored_models_land_near_the_truth(name, truth):
    f, z = spectrum(name, truth)  # the constructor takes the model names as circuit aliases
    # Trained models land near the truth of a clean synthetic spectrum.
    np.testing.assert_allclose(Circuit(name).guess(f, z), truth, rtol=0.25)
    with pytest.raises(ValueError, match="^need at least 2 frequency points to guess, got 1$"):
        Circuit(name).guess(f[:1], z[:1])


@pytest.mark.parametrize("name, circuit, size", [
    ("rc", "R0-(R1,C1)", 37039), ("rc_l", "L0-R0-(R1,C1)", 138455), ("rq", "R0-(R1,CPE1)", 138462),
    ("rq_l", "L0-R0-(R1,CPE1)", 139014), ("two_rc", "R0-(R1,C1)-(R2,C2)", 139009),
    ("two_rc_l", "L0-R0-(R1,C1)-(R2,C2)", 139561), ("two_rq", "R0-(R1,CPE1)-(R2,CPE2)", 140127),
    ("two_rq_l", "L0-R0-(R1,CPE1)-(R2,CPE2)", 140679), ("randles", "R0-(R1-W1,CPE1)", 139015),
    ("sei_randles", "R0-(R1,CPE1)-(R2-W2,CPE2)", 541576),
    ("sei_randles_wo", "R0-(R1,CPE1)-(R2-Wo2,CPE2)", 542642),
])
def test_stored_files_have_the_published_layout(name, circuit, size):
    path = REPO / "weights" / f"{name}.ovrel"
    assert path.stat().st_size == size
    model = stored_model(name)
    assert model.header["circuit"] == circuit
    assert model.header["param_names"] == ",".join(Circuit(circuit).param_names())


@pytest.mark.parametrize("name", MODEL_NAMES)
def test_stored_models_match_the_reference(name):
    """Golden vectors: noisy spectra on random grids, as the networks were trained on."""
    model = stored_model(name)
    rng = np.random.default_rng(sum(map(ord, name)))
    for _ in range(4):
        f, z, _, _ = data.draw_spectrum(name, Circuit(name), rng)
        np.testing.assert_allclose(Circuit(name).guess(f, z), reference.predict_parameters(model, f, z),
                                   rtol=1e-9)
