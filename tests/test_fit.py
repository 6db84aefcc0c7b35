"""Circuit.fit from Python: argument rules, starting values, the warning, results and threads."""

import inspect
import re
import threading
import warnings
from fractions import Fraction
from pathlib import Path

import numpy as np
import pandas as pd
import pytest

from movarin import Circuit, FitResult, Series

FREQUENCIES = np.logspace(-1, 5, 40)
TRUE = [10.0, 100.0, 1e-5]
MEASURED = Circuit("R0-(R1,C1)").with_values(TRUE).impedance(FREQUENCIES)
FAR_START = Circuit("R0-(R1,C1)").with_values([1.0, 1.0, 1e-3])
UNMODELLED = "R0-(R1-W1,C1)"
METHODS = ["levenberg_marquardt", "particle_swarm", "nelder_mead", "differential_evolution",
           "simulated_annealing", "basin_hopping"]
NO_MODEL_WARNING = (
    "There is no ML model to guess initial parameters for this circuit. Supply your own with "
    "Circuit.with_named_values({...}) or Circuit.with_values([...]), or pass guess_init=False to "
    "silence this. Models available for 'rc', 'rc_l', 'rq', 'rq_l', 'two_rc', 'two_rc_l', "
    "'two_rq', 'two_rq_l', 'randles', 'sei_randles', 'sei_randles_wo'")
UNKNOWN_METHOD = ('unknown fit method "lm", expected one of "levenberg_marquardt", '
                  '"particle_swarm", "nelder_mead", "differential_evolution", '
                  '"simulated_annealing", "basin_hopping"')
RC_WEIGHTS = Path(__file__).resolve().parents[1] / "weights" / "rc.ovrel"


def assert_recovers(result, expected=TRUE):
    assert result.success
    np.testing.assert_allclose(list(result.params.values()), expected, rtol=1e-6)


def test_signature_and_docstring():
    parameters = inspect.signature(Circuit.fit).parameters
    assert list(parameters)[0] == "self" and len(parameters) == 20
    assert all(p.kind is p.POSITIONAL_OR_KEYWORD for p in list(parameters.values())[1:])
    assert [name for name, p in parameters.items() if p.default is p.empty] == [
        "self", "frequencies"]
    assert parameters["weight"].default == "modulus" and parameters["ftol"].default == 1e-8
    assert Circuit.fit.__doc__.startswith("Fit this circuit's parameters to a measured spectrum.")
    assert Circuit.fit.__doc__.endswith("`True` always guesses, and raises rather than warns "
                                        "when it cannot.\n`False` never guesses.")


def fingerprint(result):
    return ([float.hex(v) for v in result.params.values()], result.iterations,
            result.impedance_evals, float.hex(result.cost), result.success)


def test_signature_defaults_are_the_fit_defaults():
    # Every default the signature shows, passed explicitly, gives the very fit its omission gives,
    # under each method so that each method's own settings take part (seeded where random; the
    # differential evolution takes no seed, so its runs are not repeatable).
    defaults = {name: p.default for name, p in inspect.signature(Circuit.fit).parameters.items()
                if p.default is not p.empty}
    assert len(defaults) == 18 and defaults.pop("impedances") is None
    for method in [m for m in METHODS if m != "differential_evolution"]:
        chosen = {} if method == defaults["method"] else dict(method=method, seed=7)
        omitted = FAR_START.fit(FREQUENCIES, MEASURED, **chosen)
        given = FAR_START.fit(FREQUENCIES, MEASURED, **{**defaults, **chosen})
        assert fingerprint(given) == fingerprint(omitted), method


@pytest.mark.parametrize("keywords, name", [
    (dict(guess_init=1), "guess_init"),
    (dict(guess_init=0), "guess_init"),
    (dict(guess_init="yes"), "guess_init"),
    (dict(weights=1), "weights"),
    (dict(weight=None), "weight"),
    (dict(method=b"nelder_mead"), "method"),
    (dict(max_iterations=1.0), "max_iterations"),
    (dict(ftol="small"), "ftol"),
    (dict(num_particles="8"), "num_particles"),
    (dict(basin_hopping_step_size=None), "basin_hopping_step_size"),
    (dict(seed=1.0), "seed"),
    # The first failing conversion in signature order wins.
    (dict(seed=1.0, guess_init=1), "guess_init"),
    (dict(max_iterations=-1, weight=3), "weight"),
])
def test_type_errors_name_the_argument(keywords, name):
    with pytest.raises(TypeError) as raised:
        FAR_START.fit(FREQUENCIES, MEASURED, **keywords)
    assert str(raised.value).startswith(f"argument '{name}': ")
    cause = raised.value.__cause__
    assert type(cause) is TypeError and str(raised.value).endswith(str(cause))


@pytest.mark.parametrize("name", ["max_iterations", "num_particles", "de_evaluations",
                                  "basin_hopping_hops", "seed"])
@pytest.mark.parametrize("value", [-1, 2**64])
def test_integers_out_of_unsigned_range(name, value):
    with pytest.raises(OverflowError):
        FAR_START.fit(FREQUENCIES, MEASURED, **{name: value})


@pytest.mark.parametrize("name", ["max_iterations", "basin_hopping_hops"])
@pytest.mark.parametrize("value", [2**32, 2**64 - 1])
def test_unsigned_32_bit_parameters(name, value):
    with pytest.raises(OverflowError, match="^out of range integral type conversion attempted$"):
        FAR_START.fit(FREQUENCIES, MEASURED, **{name: value})
    assert_recovers(FAR_START.fit(FREQUENCIES, MEASURED, **{name: 2**32 - 1}))


class Index:
    def __index__(self):
        return 7


@pytest.mark.parametrize("keywords", [
    dict(seed=2**64 - 1), dict(seed=np.uint64(2**64 - 1)), dict(max_iterations=np.int16(300)),
    dict(num_particles=Index()), dict(guess_init=np.bool_(False)), dict(guess_init=True),
    dict(ftol=np.float32(1e-9), xtol=Fraction(1, 10**8), sa_initial_temperature=2),
    dict(weight="unit"), dict(method="simulated_annealing", sa_iterations=300, seed=2**64 - 1),
])
def test_accepted_values(keywords):
    assert_recovers(FAR_START.fit(FREQUENCIES, MEASURED, **keywords))


def test_dataframe_spectrum():
    frame = pd.DataFrame({"Frequency / Hz": FREQUENCIES, "Real Impedance / ohm": MEASURED.real,
                          "Imaginary Impedance / ohm": MEASURED.imag})
    assert_recovers(FAR_START.fit(frame, None, False))


def test_numpy_true_guesses():
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        with pytest.raises(ValueError, match="^No training data on this circuit"):
            Circuit(UNMODELLED).fit(FREQUENCIES, MEASURED, guess_init=np.bool_(True))


@pytest.mark.parametrize("circuit, arguments, keywords, exception, text", [
    (FAR_START, (FREQUENCIES, MEASURED), dict(weight="Modulus"), ValueError,
     'unknown weight scheme "Modulus", expected "modulus" or "unit"'),
    (FAR_START, ("1", MEASURED), dict(weight="Modulus"), TypeError,  # the spectrum comes first
     "Can't extract `str` to `Vec`"),
    (FAR_START, (FREQUENCIES, MEASURED), dict(method="lm"), ValueError, UNKNOWN_METHOD),
    (FAR_START, ([], []), dict(method="lm"), ValueError, UNKNOWN_METHOD),  # before input checks
    (FAR_START, ([], []), {}, ValueError, "frequencies and impedances must not be empty"),
    (Series([]), (FREQUENCIES, MEASURED), {}, ValueError,
     "circuit topology has no parameters to fit"),
])
def test_errors(circuit, arguments, keywords, exception, text):
    with pytest.raises(exception) as raised:
        circuit.fit(*arguments, guess_init=False, **keywords)
    assert type(raised.value) is exception and str(raised.value) == text


def test_warning_without_a_stored_model():
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        line = inspect.currentframe().f_lineno + 1
        result = Circuit(UNMODELLED).fit(FREQUENCIES, MEASURED)
    assert [(w.category, str(w.message)) for w in caught] == [(UserWarning, NO_MODEL_WARNING)]
    assert (caught[0].filename, caught[0].lineno) == (__file__, line)
    assert result.success and result.cost < 1e-20


def test_warning_comes_before_the_unknown_method():
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        with pytest.raises(ValueError, match="^unknown fit method"):
            Circuit(UNMODELLED).fit(FREQUENCIES, MEASURED, method="lm")
    assert [str(w.message) for w in caught] == [NO_MODEL_WARNING]


def test_warning_as_error_ends_the_call():
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        with pytest.raises(UserWarning, match="^There is no ML model"):
            Circuit(UNMODELLED).fit(FREQUENCIES, MEASURED)


@pytest.mark.parametrize("circuit", [Circuit(UNMODELLED), Circuit(UNMODELLED).with_values(
    [10.0, 100.0, 1e-3, 1e-5])])
@pytest.mark.parametrize("weights", [None, "/nonexistent/model.ovrel"])
def test_guess_init_false_never_guesses(circuit, weights):
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        result = circuit.fit(FREQUENCIES, MEASURED, guess_init=False, weights=weights)
    assert isinstance(result, FitResult)


def test_weights_file_is_used_even_with_explicit_values():
    explicit = Circuit(UNMODELLED).with_values([10.0, 100.0, 1e-3, 1e-5])
    with pytest.raises(ValueError, match="^reading weights: "):
        explicit.fit(FREQUENCIES, MEASURED, weights="/nonexistent/model.ovrel")
    if not RC_WEIGHTS.exists():
        pytest.skip("the stored rc weight file is not in this checkout")
    with pytest.raises(ValueError, match="which is a different circuit$"):
        explicit.fit(FREQUENCIES, MEASURED, weights=str(RC_WEIGHTS))
    assert_recovers(FAR_START.fit(FREQUENCIES, MEASURED, weights=str(RC_WEIGHTS)))


def test_refitting_the_result_does_not_guess():
    first = Circuit(UNMODELLED).fit(FREQUENCIES, MEASURED, guess_init=False)  # placeholders
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        again = first.circuit.fit(FREQUENCIES, MEASURED)
    assert again.params == pytest.approx(first.params, rel=1e-6, abs=1e-9)
    assert first.circuit.param_values() == list(first.params.values())


@pytest.mark.parametrize("text, expected", [
    ("R0-(R1,C1)", TRUE), ("(C5,R2)-R7", [TRUE[2], TRUE[1], TRUE[0]]),
    ("R0-K1", [TRUE[0], TRUE[1], TRUE[1] * TRUE[2]]),
])
def test_machine_learning_start(text, expected):
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        result = Circuit(text).fit(FREQUENCIES, MEASURED)
    assert_recovers(result, expected)
    placeholders = Circuit(text).fit(FREQUENCIES, MEASURED, guess_init=False)
    assert result.iterations < placeholders.iterations


@pytest.mark.parametrize("name, values", [
    ("randles", [10.0, 80.0, 30.0, 2e-5, 0.85]),
    ("two_rq", [10.0, 40.0, 1e-4, 0.9, 60.0, 1e-2, 0.8]),
])
def test_other_stored_models(name, values):
    measured = Circuit(name).with_values(values).impedance(FREQUENCIES)
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        result = Circuit(name).fit(FREQUENCIES, measured)
    assert result.success and result.cost < 1e-10


SMALL_SETTINGS = dict(num_particles=20, generations=50, nelder_mead_iterations=300,
                      de_evaluations=1000, sa_iterations=300, basin_hopping_hops=3, seed=11)


def test_every_method_recovers_an_rc_spectrum():
    outcomes = set()
    for method in METHODS:
        result = FAR_START.fit(FREQUENCIES, MEASURED, method=method, **SMALL_SETTINGS)
        assert_recovers(result)
        if method != "differential_evolution":  # the only one that does not take the seed
            again = FAR_START.fit(FREQUENCIES, MEASURED, method=method, **SMALL_SETTINGS)
            assert (again.params, again.impedance_evals) == (result.params, result.impedance_evals)
        outcomes.add((result.iterations, result.impedance_evals))
    assert len(outcomes) == len(METHODS)  # each keyword reached a different method


def test_result_attributes_and_repr():
    result = FAR_START.fit(FREQUENCIES, MEASURED)
    assert list(result.params) == list(result.stderr) == FAR_START.param_names()
    assert all(type(v) is float for v in [*result.params.values(), *result.stderr.values()])
    assert type(result.success) is bool and type(result.cost) is float
    assert type(result.iterations) is int and result.impedance_evals >= 9 + 1 + 2 * 3
    assert result.chi_square == 2 * result.cost
    assert result.circuit.param_values() == list(result.params.values())
    params = ", ".join(f'"{name}": {short_exponent(repr(value))}'
                       for name, value in result.params.items())
    assert repr(result) == (f"FitResult(success=true, iterations={result.iterations}, "
                            f"impedance_evals={result.impedance_evals}, chi_square="
                            f"{short_exponent(f'{result.chi_square:.6e}')}, params={{{params}}})")


def short_exponent(text):
    """1e-05 as 1e-5 and 2e+16 as 2e16, the way the module writes exponents."""
    return re.sub(r"e\+?(-?)0*(\d)", r"e\1\2", text)


@pytest.mark.parametrize("points, has_stderr", [(1, False), (2, True)])
def test_stderr_needs_more_residuals_than_parameters(points, has_stderr):
    result = FAR_START.fit(FREQUENCIES[:points], MEASURED[:points])
    assert (result.stderr is not None) == has_stderr and len(result.params) == 3


def test_threads_fitting_one_circuit_agree():
    circuit = Circuit("R0-(R1,C1)")
    expected = [circuit.fit(FREQUENCIES, MEASURED, method=m, seed=5, num_particles=20,
                            generations=30).params for m in METHODS[:2]]
    results, errors = [], []

    def fit_repeatedly():
        try:
            for _ in range(5):
                results.append([circuit.fit(FREQUENCIES, MEASURED, method=m, seed=5,
                                            num_particles=20, generations=30).params
                                for m in METHODS[:2]])
        except BaseException as error:  # noqa: BLE001 - reported by the main thread
            errors.append(error)

    threads = [threading.Thread(target=fit_repeatedly) for _ in range(4)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert not errors and results == [expected] * 20
    np.testing.assert_allclose(list(expected[0].values()), TRUE, rtol=1e-6)


def test_python_threads_run_during_a_fit():
    frequencies = np.logspace(-1, 5, 300)
    measured = Circuit("R0-(R1,C1)").with_values(TRUE).impedance(frequencies)
    count, stop = [0], threading.Event()

    def spin():
        while not stop.is_set():
            count[0] += 1

    spinner = threading.Thread(target=spin)
    spinner.start()
    try:
        while count[0] == 0:
            pass
        before = count[0]
        FAR_START.fit(frequencies, measured, method="basin_hopping", basin_hopping_hops=2000,
                      seed=2)
        during = count[0] - before
    finally:
        stop.set()
        spinner.join()
    # Holding the lock, the fit would leave the spinner at most one switch interval (~1e5 steps).
    assert during > 500_000
