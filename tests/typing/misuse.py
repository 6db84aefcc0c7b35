"""Calls that fail at run time and that type checkers must refuse: every line marked
`# expected error` has to be reported by mypy --strict and by pyright, and nothing else may be.
check_misuse.py runs both and compares.
"""

import numpy as np

import movarin

circuit = movarin.Circuit("R0-(R1,C1)").with_values([10.0, 100.0, 1e-5])
f = np.logspace(-1, 5, 40)
Z = circuit.impedance(f)

circuit.fit(f, Z, max_iterations="200")  # expected error: an int, not a str
circuit.fit(f, Z, weights="modulus")  # expected error: the weighting is weight=, not weights=
circuit.fit(f, Z, weight="Modulus")  # expected error: "modulus" or "unit"
circuit.fit(f, Z, method="lm")  # expected error: not one of the six method names
circuit.fit(f, Z, weights=np.ones(40))  # expected error: a weight-file path, not per-point weights
circuit.fit(f, Z, guess_init=1)  # expected error: a flag, not an int
circuit.fit(f, Z, seed=1.5)  # expected error: an int seed
circuit.fit(f, Z, tolerance=1e-6)  # expected error: no such parameter
circuit.fit(f)  # expected error: a frequency array alone is not a dataframe
circuit.guess("R0-(R1,C1)", Z)  # expected error: the circuit is self, not an argument
movarin.R("10")  # expected error: a number
movarin.Series(movarin.R(1.0))  # expected error: a sequence of parts
circuit.fit(f, Z).success = True  # expected error: read-only
label: str = circuit.fit(f, Z).params  # expected error: a dict
values: list[complex] = circuit.impedance(f)  # expected error: an ndarray
first: str = circuit.param_bounds()[0][0]  # expected error: a float
