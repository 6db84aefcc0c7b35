"""Workflow around the compiled ``movarin`` fitter: instrument files, starting values, statistics,
validity tests, plots and a command line.

Everything here is built on ``movarin``'s public API; ``movarin`` never imports this package.
"""

# Public names, one import line per module (keep this block sorted by module).
from movarin_tools.batch import fit_many
from movarin_tools.fitting import fit
from movarin_tools.io import read, write_csv
from movarin_tools.kk import KKResult, kramers_kronig
from movarin_tools.plot import plot_bode, plot_nyquist, plot_residuals
from movarin_tools.serialize import from_dict, load_json, save_json, to_dict
from movarin_tools.start import initial_guess
from movarin_tools.stats import statistics, summary

# Type checkers take only the names listed here as this package's public ones; add yours too.
__all__ = [
    "KKResult",
    "fit",
    "fit_many",
    "from_dict",
    "initial_guess",
    "kramers_kronig",
    "load_json",
    "plot_bode",
    "plot_nyquist",
    "plot_residuals",
    "read",
    "save_json",
    "statistics",
    "summary",
    "to_dict",
    "write_csv",
]
