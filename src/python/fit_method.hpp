#pragma once
// Circuit.fit(): from Python arguments through the starting values and the fit driver to a
// FitResult. An entry of Circuit's method table.

#include <Python.h>

namespace movarin::python {

PyObject* fit_method(PyObject* self, PyObject* args, PyObject* kwargs);

inline constexpr const char* kFitDoc =
    "fit($self, frequencies, impedances=None, guess_init=None, weights=None, "
    "weight=\"modulus\", method=\"levenberg_marquardt\", max_iterations=200, ftol=1e-8, "
    "xtol=1e-8, num_particles=200, generations=1000, nelder_mead_iterations=2000, "
    "de_evaluations=20000, sa_iterations=5000, sa_initial_temperature=2.0, "
    "basin_hopping_hops=20, basin_hopping_step_size=1.0, basin_hopping_temperature=1.0, "
    "seed=None)\n--\n\n"
    "Fit this circuit's parameters to a measured spectrum.\n\n"
    "Accepts two sequences of frequencies and impedances, or a single battery\n"
    "data format dataframe (`impedances` left as None).\n\n"
    "`guess_init` unset means start from a machine-learning guess whenever the\n"
    "circuit is not explicitly given starting parameters. If no model has been\n"
    "trained for the topology it warns and starts from placeholder values.\n\n"
    "`True` always guesses, and raises rather than warns when it cannot.\n"
    "`False` never guesses.";

}  // namespace movarin::python
