"""The ``movarin-fit`` command: fit one circuit to each of several spectrum files.

Each file is read, fitted and summarised on its own, so one unreadable file or one failed fit
does not stop the others; the exit status tells afterwards whether anything went wrong.
"""

from __future__ import annotations

import argparse
import json
import math
import sys
import warnings
from collections.abc import Callable, Sequence
from dataclasses import dataclass
from pathlib import Path
from typing import Any, TypeVar

import pandas as pd

import movarin
from movarin_tools.fitting import fit
from movarin_tools.io import FORMATS, read
from movarin_tools.plot import INSTALL_HINT, plot_bode, plot_nyquist, plot_residuals
from movarin_tools.serialize import to_dict
from movarin_tools.stats import statistics, summary

PROGRAM = "movarin-fit"

EXIT_OK = 0
EXIT_FIT_FAILED = 1
EXIT_BAD_INPUT = 2

METHODS = (
    "levenberg_marquardt",
    "particle_swarm",
    "differential_evolution",
    "nelder_mead",
    "simulated_annealing",
    "basin_hopping",
)
WEIGHTS = ("modulus", "unit")

# Statistics copied into the --csv table, after the parameters.
CSV_STATISTICS = ("n_points", "dof", "cost", "chi_square", "reduced_chi_square", "aic", "bic")

EPILOG = """\
output:
  A table on standard output with one row per fitted file: each parameter as
  "value ± standard error" ("at bound" when it ended on a bound of its range, where
  it has no standard error), the reduced chi-square and whether the fit succeeded.
  Problems with a file (unreadable, unknown format, fewer residuals than parameters)
  are reported on standard error and the remaining files are still processed.

exit status:
  0  every file was read and every fit succeeded
  1  every file was read, but some fit did not succeed
  2  bad input: an unreadable file, a bad circuit string or an output that could
     not be written (this wins over 1)

example:
  movarin-fit examples/data/measured/exampleDataZPlot.z --circuit "R0-p(R1,CPE1)" \\
      --plot plots --csv fits.csv --json fits.json
"""


class InputError(Exception):
    """A problem with one input file or output path, reported on standard error."""


@dataclass
class FileFit:
    """Everything the outputs need about one fitted file."""

    path: str
    frame: pd.DataFrame
    result: movarin.FitResult
    table: pd.DataFrame
    figures: dict[str, Any]


def build_parser() -> argparse.ArgumentParser:
    """The argument parser of ``movarin-fit`` (its ``--help`` text documents every option)."""
    parser = argparse.ArgumentParser(
        prog=PROGRAM,
        description="Fit an equivalent circuit to each impedance spectrum file and tabulate "
        "the fitted parameters.",
        epilog=EPILOG,
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    parser.add_argument(
        "files", nargs="+", metavar="FILE",
        help="spectrum files: instrument exports or CSV tables (format detected from the "
        "content, see --format)",
    )
    parser.add_argument(
        "--circuit", required=True,
        help='circuit string, e.g. "R0-p(R1,CPE1)": elements with numeric labels, "-" for '
        'series, "p(a,b)" or "(a,b)" for parallel',
    )
    parser.add_argument(
        "--method", choices=METHODS, default=METHODS[0], metavar="METHOD",
        help="optimiser, one of: " + ", ".join(METHODS) + ". The default runs local fits from "
        "several starts, then a few basin-hopping hops from the best (default: %(default)s)",
    )
    parser.add_argument(
        "--weight", choices=WEIGHTS, default=WEIGHTS[0], metavar="WEIGHT",
        help="residual weighting: modulus (each point divided by its measured modulus) or "
        "unit (no weighting) (default: %(default)s)",
    )
    parser.add_argument(
        "--format", choices=tuple(FORMATS), default=None, metavar="FORMAT",
        help="read every file as this format instead of detecting it, one of: "
        + ", ".join(FORMATS),
    )
    parser.add_argument(
        "--plot", metavar="DIR", type=Path,
        help="write a PNG per file into DIR (created if missing): Nyquist, Bode and residual "
        "plots of the data and the fit, named after the file (needs matplotlib)",
    )
    parser.add_argument(
        "--csv", metavar="OUT", type=Path,
        help="write a CSV table to OUT with one row per fitted file: success, iterations, each "
        "parameter and its standard error ('<name> stderr'), then "
        + ", ".join(CSV_STATISTICS),
    )
    parser.add_argument(
        "--json", metavar="OUT", type=Path,
        help="write a JSON list to OUT with one record per fitted file: the file name "
        '("file") and the fit record of movarin_tools.to_dict with its statistics; '
        "movarin_tools.from_dict rebuilds each fitted circuit",
    )
    return parser


def _error(message: str) -> None:
    print(f"{PROGRAM}: {message}", file=sys.stderr)


def _naming(path: str, message: str) -> str:
    """The message, led by the file name unless it already names the file."""
    return message if path in message else f"{path}: {message}"


T = TypeVar("T")


def _reporting_warnings(path: str, action: Callable[[], T]) -> T:
    """Run ``action``, reporting its warnings (dropped rows, placeholder starts) as
    ``movarin-fit: warning: FILE: ...`` lines instead of Python's source-line format."""
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        try:
            return action()
        finally:
            for warning in caught:
                _error(f"warning: {_naming(path, str(warning.message))}")


def _check_enough_points(points: int, parameters: int) -> None:
    # Each point gives two residuals (real and imaginary). With no more residuals than parameters
    # the fit interpolates: it "succeeds" with no reduced chi-square and no standard errors, an
    # outcome that must not be tabulated as a good fit.
    if 2 * points <= parameters:
        raise ValueError(
            f"{points} point(s) give {2 * points} residuals, not more than the circuit's "
            f"{parameters} parameters: too few points to fit"
        )


def fit_file(path: str, circuit: str, args: argparse.Namespace) -> FileFit:
    """Read, fit and summarise one file.

    Raises
    ------
    InputError
        If the file cannot be read or the fit refuses its spectrum.
    """

    def run() -> FileFit:
        frame = read(path, format=args.format)
        _check_enough_points(len(frame), len(movarin.Circuit(circuit).param_names()))
        result = fit(circuit, frame, method=args.method, weight=args.weight)
        table = summary(result, frame, weight=args.weight)
        figures = statistics(result, frame, weight=args.weight)
        return FileFit(path, frame, result, table, figures)

    try:
        return _reporting_warnings(path, run)
    except (OSError, ValueError) as error:
        raise InputError(_naming(path, str(error))) from error


def _value_and_error(value: float, stderr: float, at_bound: bool) -> str:
    if at_bound:
        return f"{value:.4g} (at bound)"
    if math.isnan(stderr):
        return f"{value:.4g} ± n/a"
    return f"{value:.4g} ± {stderr:.2g}"


def format_table(fits: Sequence[FileFit]) -> str:
    """The aligned text table printed for the fitted files (one header line, one row each)."""
    names = list(fits[0].table.index)
    header = ["file", *names, "reduced chi2", "success"]
    rows = [
        [
            item.path,
            *(_value_and_error(row.value, row.stderr, bool(row.at_bound))
              for row in item.table.itertuples()),
            f"{item.figures['reduced_chi_square']:.3g}",
            "yes" if item.result.success else "no",
        ]
        for item in fits
    ]
    widths = [max(len(line[column]) for line in [header, *rows]) for column in range(len(header))]

    def line(cells: list[str]) -> str:
        # The file name reads best left-aligned, numbers right-aligned.
        first = cells[0].ljust(widths[0])
        rest = (cell.rjust(width) for cell, width in zip(cells[1:], widths[1:]))
        return "  ".join([first, *rest]).rstrip()

    return "\n".join(line(cells) for cells in [header, *rows])


def csv_frame(fits: Sequence[FileFit]) -> pd.DataFrame:
    """One row per fitted file: success, iterations, parameters, standard errors, statistics."""
    records = []
    for item in fits:
        record: dict[str, Any] = {
            "file": item.path,
            "success": bool(item.result.success),
            "iterations": int(item.result.iterations),
        }
        for row in item.table.itertuples():
            record[row.Index] = row.value
            record[f"{row.Index} stderr"] = row.stderr
        record.update({key: item.figures[key] for key in CSV_STATISTICS})
        records.append(record)
    return pd.DataFrame.from_records(records)


def json_records(fits: Sequence[FileFit], circuit: str, weight: str) -> list[dict[str, Any]]:
    """The fit record of each file, with the file it came from under ``"file"``."""
    return [
        {"file": item.path, **to_dict(item.result, circuit, item.frame, weight=weight)}
        for item in fits
    ]


def _plot_name(path: str, taken: set[str]) -> str:
    """``<stem>.png``, numbered when two inputs share a stem (``a/x.csv`` and ``b/x.csv``)."""
    stem = Path(path).stem or "spectrum"
    name, number = f"{stem}.png", 2
    while name in taken:
        name, number = f"{stem}-{number}.png", number + 1
    taken.add(name)
    return name


def write_plots(fits: Sequence[FileFit], directory: Path, circuit: str) -> None:
    """One PNG per file: Nyquist and residuals on the left, Bode modulus and phase on the right."""
    # A bare Figure draws through the Agg canvas without pyplot, so no GUI backend is touched
    # and no figure stays registered after saving.
    from matplotlib.figure import Figure

    directory.mkdir(parents=True, exist_ok=True)
    taken: set[str] = set()
    for item in fits:
        figure = Figure(figsize=(11, 8), layout="constrained")
        grid = figure.subplots(2, 2)
        plot_nyquist(item.frame, result=item.result, ax=grid[0, 0])
        plot_residuals(item.result, item.frame, ax=grid[1, 0])
        plot_bode(item.frame, result=item.result, ax=(grid[0, 1], grid[1, 1]))
        outcome = "fit succeeded" if item.result.success else "fit did NOT succeed"
        figure.suptitle(f"{item.path}: {circuit}, {outcome}")
        figure.savefig(directory / _plot_name(item.path, taken), dpi=100)


def _write_outputs(fits: Sequence[FileFit], args: argparse.Namespace) -> bool:
    """Write the requested files; report each that fails. Returns whether all were written."""
    outputs: list[tuple[str, Path | None, Callable[[Path], None]]] = [
        ("--csv", args.csv, lambda out: csv_frame(fits).to_csv(out, index=False)),
        ("--json", args.json, lambda out: out.write_text(
            json.dumps(json_records(fits, args.circuit, args.weight), indent=2, allow_nan=False)
            + "\n", encoding="utf-8")),
        ("--plot", args.plot, lambda out: write_plots(fits, out, args.circuit)),
    ]
    written = True
    for option, target, write in outputs:
        if target is None:
            continue
        try:
            write(target)
        except OSError as error:
            _error(f"{option} {target}: {error.strerror or error}")
            written = False
    return written


def _check_circuit(text: str) -> str | None:
    try:
        movarin.Circuit(text)
    except ValueError as error:
        return f"--circuit {text!r}: {error}"
    return None


def _check_matplotlib() -> str | None:
    try:
        import matplotlib  # noqa: F401
    except ImportError:
        return f"--plot: {INSTALL_HINT}"
    return None


def main(argv: Sequence[str] | None = None) -> int:
    """Run ``movarin-fit`` with the given arguments (``sys.argv[1:]`` when ``None``).

    Returns
    -------
    int
        The exit status: 0 when every fit succeeded, 1 when some fit did not, 2 on bad input
        (an unreadable file, a bad circuit string, an output that could not be written).
        Invalid options give 2 as well, after ``argparse`` printed the usage; ``--help`` gives 0.
    """
    try:
        args = build_parser().parse_args(argv)
    except SystemExit as stop:  # argparse's way out after --help or a usage error
        return stop.code if isinstance(stop.code, int) else EXIT_BAD_INPUT
    # Problems that would spoil every file are reported before any fitting starts.
    problem = _check_circuit(args.circuit)
    if problem is None and args.plot is not None:
        problem = _check_matplotlib()
    if problem is not None:
        _error(problem)
        return EXIT_BAD_INPUT

    fits: list[FileFit] = []
    bad_input = False
    for path in args.files:
        try:
            fits.append(fit_file(path, args.circuit, args))
        except InputError as error:
            _error(str(error))
            bad_input = True
    if fits:
        print(format_table(fits))
        sys.stdout.flush()
        bad_input = not _write_outputs(fits, args) or bad_input
    if bad_input:
        return EXIT_BAD_INPUT
    return EXIT_OK if all(item.result.success for item in fits) else EXIT_FIT_FAILED


if __name__ == "__main__":
    sys.exit(main())
