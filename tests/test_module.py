"""The module itself: its attributes, initialisation and the classes' common traits."""

import inspect
import subprocess
import sys
import types

import pytest

import movarin
from movarin import Circuit, Element, FitResult, Parallel, Series

KIND_CODES = ["R", "C", "L", "La", "Cpe", "W", "Wo", "Ws", "G", "Gs", "K", "Zarc", "Tlmq", "T"]


def run_python(code):
    completed = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                               check=True)
    return completed.stdout.strip()


def test_public_names_in_order():
    assert movarin.__all__ == ["Element", "Circuit", "FitResult", "Series", "Parallel",
                               *KIND_CODES]
    assert [getattr(movarin, code) for code in KIND_CODES] == [
        getattr(Element, code) for code in KIND_CODES]
    assert not hasattr(movarin, "Element_R")
    assert movarin.__doc__ == ""


def test_importing_does_not_import_numpy():
    assert run_python("import sys, movarin; print('numpy' in sys.modules)") == "False"


def test_second_initialisation_returns_the_cached_module():
    code = (
        "import sys, movarin as first\n"
        "del sys.modules['movarin']\n"
        "import movarin as second\n"
        "print(first is second, first.Circuit is second.Circuit)\n"
    )
    assert run_python(code) == "True True"


@pytest.mark.parametrize("cls", [Element, Circuit, FitResult, *(getattr(Element, c) for c in KIND_CODES)])
def test_classes_belong_to_the_module_and_are_immutable(cls):
    assert cls.__module__ == "movarin"
    with pytest.raises(TypeError):
        cls.extra = 1


@pytest.mark.parametrize(
    "function, doc",
    [
        (Series, "Connect elements and circuits end to end."),
        (Parallel, "Connect elements and circuits as parallel branches."),
    ],
)
def test_module_functions(function, doc):
    assert function.__doc__ == doc
    assert function.__module__ == "movarin"
    assert str(inspect.signature(function)) == "(parts)"


@pytest.mark.parametrize(
    "method, signature, doc",
    [
        ("param_names", "($self)",
         "Parameter names, in the same order `with_values()` consumes and\n"
         "`with_named_values()` expects as keys."),
        ("with_values", "($self, values)",
         "Rebuild this circuit with a new flat parameter vector, assigned\n"
         "positionally in `param_names()` order."),
        ("with_named_values", "($self, values)",
         "Rebuild this circuit with parameter values looked up by name (see\n"
         "`param_names()`). Every name must be present and no unknown names\nmay be supplied."),
        ("impedance", "($self, frequencies)", None),
        ("param_values", "($self)", "Current parameter values, in `param_names()` order."),
        ("param_bounds", "($self)",
         "Default physical-validity `(lo, hi)` bounds per parameter, in\n"
         "`param_names()` order. `hi` is `inf` for open-bound parameters."),
        ("param_units", "($self)", "Physical units per parameter"),
    ],
)
def test_circuit_method_docstrings(method, signature, doc):
    assert Circuit.__text_signature__ == "(s)"
    function = getattr(Circuit, method)
    assert function.__text_signature__ == signature
    assert function.__doc__ == doc


def test_fit_result_class():
    with pytest.raises(TypeError, match="^No constructor defined for FitResult$"):
        FitResult()
    attributes = [name for name, value in vars(FitResult).items()
                  if isinstance(value, types.GetSetDescriptorType)]
    assert attributes == ["circuit", "params", "stderr", "success", "iterations",
                          "impedance_evals", "cost", "chi_square"]
    assert all(getattr(FitResult, name).__doc__ == "" for name in attributes)
    with pytest.raises(TypeError):

        class Mine(FitResult):
            pass


def _impedance_in_child(count):
    circuit = Circuit("R0-(R1,C1)").with_values([10.0, 100.0, 1e-5])
    return circuit.impedance([float(f) for f in range(1, count + 1)]).tolist()


def test_a_forked_child_gets_a_working_worker_pool():
    import multiprocessing

    count = 5000  # large enough to run on the worker pool
    in_parent = _impedance_in_child(count)  # starts the pool before the fork
    with multiprocessing.get_context("fork").Pool(1) as pool:
        in_child = pool.apply_async(_impedance_in_child, (count,)).get(timeout=60)
    assert in_child == in_parent
