"""Fitting many spectra at once, on local threads or on a Dask cluster, into one table.

A spectrum's fit becomes a record of plain Python values (floats, a bool, an int, strings) where it
is fitted, so nothing that crosses a thread or a process boundary is a ``movarin`` object, which
cannot be pickled. A spectrum that cannot be read or fitted gives a record with its error text
instead of raising: one bad file in ten thousand costs one row, not the batch.

Local threads run whole fits side by side. The compiled module releases the interpreter lock while
it fits, so they scale with cores as long as the Python around each fit stays small, and they pull
spectra one at a time from a shared counter, so a slow spectrum never holds back a chunk.
"""

from __future__ import annotations

import concurrent.futures
import inspect
import itertools
import math
import os
import sys
import threading
import time
from collections.abc import Callable, Iterable, Mapping, Sequence
from dataclasses import dataclass
from typing import Any, TypeAlias

import numpy as np
import pandas as pd

import movarin
from movarin_tools._spectrum import as_arrays
from movarin_tools.fitting import best_result
from movarin_tools.fitting import fit as fit_spectrum
from movarin_tools.io import read
from movarin_tools.stats import statistics

__all__ = ["fit_many"]

Record: TypeAlias = dict[str, Any]
CircuitChoice: TypeAlias = "str | Callable[[Any], str] | Sequence[str] | pd.Series[str]"
Start: TypeAlias = Sequence[float] | Mapping[str, float]

STATISTICS_COLUMNS = ("cost", "chi_square", "reduced_chi_square", "aic", "bic")
OUTCOME_COLUMNS = ("success", "iterations", "seconds", "error")
# A Dask task should carry enough work that the scheduler's few milliseconds per task vanish.
TASK_SECONDS = 0.2
# Spectra of the first task on a cluster; their fitting times size the chunks of the rest.
PROBE_SPECTRA = 8
# Without an explicit request, a bar appears only once a batch has run this long.
PROGRESS_DELAY_SECONDS = 1.0
PROGRESS_REFRESH_SECONDS = 0.1
# Keywords of movarin_tools.fit besides those of Circuit.fit; the starts are chosen here.
EXTRA_FIT_KEYWORDS = frozenset({"hops", "fixed", "bounds"})
REFUSED_FIT_KEYWORDS = frozenset({"self", "frequencies", "impedances", "guess_init"})


# --- one spectrum -------------------------------------------------------------------------------


@dataclass(frozen=True)
class Job:
    """One spectrum to fit: its source and circuit, or (circuit None) why it has none."""

    source: Any
    circuit: str | None
    error: str | None = None


@dataclass(frozen=True)
class FitOptions:
    """How every spectrum of a batch is fitted; plain values only, so that it pickles."""

    start: Start | None
    warm_start: bool
    fit_kwargs: dict[str, Any]


def _describe(error: BaseException) -> str:
    return f"{type(error).__name__}: {error}"


def _is_path(item: Any) -> bool:
    return isinstance(item, (str, os.PathLike))


def _spectrum(source: Any) -> tuple[np.ndarray, np.ndarray]:
    if _is_path(source):
        return as_arrays(read(source))
    if isinstance(source, tuple | list):
        if len(source) != 2:
            raise ValueError(f"expected a (frequencies, impedances) pair, got {len(source)} items")
        return as_arrays(source[0], source[1])
    return as_arrays(source)


def _values(result: movarin.FitResult) -> list[float]:
    return [float(result.params[name]) for name in result.circuit.param_names()]


def _fit(circuit: str, f: np.ndarray, z: np.ndarray, options: FitOptions,
         warm: list[float] | None) -> movarin.FitResult:
    if warm is None:
        return fit_spectrum(circuit, f, z, start=options.start, **options.fit_kwargs)
    warm_result = fit_spectrum(circuit, f, z, start=warm, **options.fit_kwargs)
    if warm_result.success:
        return warm_result
    # A series can jump (a cell replaced, a contact lost); the usual starts then serve better.
    default = fit_spectrum(circuit, f, z, start=options.start, **options.fit_kwargs)
    return best_result([warm_result, default])


def _record(result: movarin.FitResult, f: np.ndarray, z: np.ndarray,
            options: FitOptions) -> Record:
    kwargs = options.fit_kwargs
    figures = statistics(result, f, z, weight=kwargs.get("weight", "modulus"),
                         fixed=kwargs.get("fixed"), bounds=kwargs.get("bounds"))
    # The covariance is computed once, by statistics; summary would compute it again.
    stderr = np.sqrt(np.diag(figures["covariance"]))
    record: Record = {}
    for name, error in zip(result.circuit.param_names(), stderr):
        record[name] = float(result.params[name])
        record[f"{name}_stderr"] = float(error)
    for column in STATISTICS_COLUMNS:
        record[column] = float(figures[column])
    record["success"] = bool(result.success)
    record["iterations"] = int(result.iterations)
    return record


def fit_job(job: Job, options: FitOptions,
            warm: tuple[str, list[float]] | None) -> tuple[Record, tuple[str, list[float]] | None]:
    """Fit one spectrum into a record, never raising for a fault of the spectrum or its circuit.

    ``warm`` is the previous spectrum's circuit and fitted values (used for a ``warm_start`` when
    the circuit is the same); the second return value is this spectrum's, or None when its fit
    failed.
    """
    began = time.perf_counter()
    record: Record = {"circuit": job.circuit}
    next_warm = None
    if job.circuit is None:
        record["error"] = job.error
    else:
        try:
            f, z = _spectrum(job.source)
            start = warm[1] if options.warm_start and warm and warm[0] == job.circuit else None
            result = _fit(job.circuit, f, z, options, start)
            record.update(_record(result, f, z, options))
            if options.warm_start and result.success:
                next_warm = (job.circuit, _values(result))
        except Exception as error:  # noqa: BLE001 - every failure of a spectrum becomes its row
            record = {"circuit": job.circuit, "error": _describe(error)}
    record["seconds"] = time.perf_counter() - began
    return record, next_warm


def fit_jobs(jobs: Sequence[Job], options: FitOptions,
             on_record: Callable[[Record], None] | None = None) -> list[Record]:
    """Fit spectra one after another (a Dask task), each warm-started from the one before."""
    records = []
    warm = None
    for job in jobs:
        record, warm = fit_job(job, options, warm)
        records.append(record)
        if on_record is not None:
            on_record(record)
    return records


# --- the batch's inputs -------------------------------------------------------------------------


def _is_one_pair(items: list[Any]) -> bool:
    """Whether the items are the two columns of one spectrum rather than two spectra."""
    if len(items) != 2 or any(_is_path(item) for item in items):
        return False
    try:
        columns = [np.asarray(item) for item in items]
    except (TypeError, ValueError):
        return False
    return all(column.ndim == 1 and column.dtype.kind in "iufc" for column in columns)


def _named_spectra(spectra: Any, id_column: str | None) -> tuple[list[Any], list[Any], str]:
    """Names, sources and the index's name of the batch, in input order."""
    if id_column is not None:
        if not isinstance(spectra, pd.DataFrame):
            raise ValueError(f"id_column={id_column!r} needs one long-format pandas DataFrame "
                             f"of spectra, got {type(spectra).__name__}")
        if id_column not in spectra.columns:
            raise ValueError(f"id_column {id_column!r} is not a column of the frame; columns: "
                             f"{list(spectra.columns)}")
        # dropna=False: rows without an id are one more spectrum, not rows lost silently.
        groups = list(spectra.groupby(id_column, sort=False, dropna=False))
        return [name for name, _ in groups], [group for _, group in groups], id_column
    if isinstance(spectra, pd.DataFrame):
        raise ValueError("spectra is one DataFrame: pass id_column= naming the column that tells "
                         "its spectra apart, or a list of frames")
    if isinstance(spectra, Mapping):
        return list(spectra.keys()), list(spectra.values()), "spectrum"
    if isinstance(spectra, (str, os.PathLike)) or not isinstance(spectra, Iterable):
        raise ValueError(f"spectra must be an iterable of spectra, a mapping or a DataFrame, "
                         f"got {type(spectra).__name__}")
    sources = list(spectra)
    if _is_one_pair(sources):
        raise ValueError("spectra is one (frequencies, impedances) pair; pass a list of spectra, "
                         "e.g. [(frequencies, impedances)]")
    names = [os.fspath(item) if _is_path(item) else position
             for position, item in enumerate(sources)]
    return names, sources, "spectrum"


def _circuit_for_each(circuit: CircuitChoice,
                      names: list[Any]) -> list[tuple[str | None, str | None]]:
    """(circuit string, error) per spectrum."""
    if isinstance(circuit, str):
        return [(circuit, None)] * len(names)
    if callable(circuit):
        chosen: list[tuple[str | None, str | None]] = []
        for name in names:
            try:
                chosen.append((str(circuit(name)), None))
            except Exception as error:  # noqa: BLE001 - the spectrum gets the error as its row
                chosen.append((None, f"circuit({name!r}) raised {_describe(error)}"))
        return chosen
    if isinstance(circuit, pd.Series) and circuit.index.is_unique and set(names) <= set(
            circuit.index):
        column = list(circuit.loc[names])
    elif isinstance(circuit, pd.Series) and not circuit.index.equals(pd.RangeIndex(len(names))):
        missing = [name for name in names if name not in circuit.index][:5]
        raise ValueError(f"circuit: the Series is indexed by name but has no circuit for "
                         f"spectra {missing} (or its index repeats a name)")
    else:
        column = list(circuit)
        if len(column) != len(names):
            raise ValueError(f"circuit: {len(column)} circuit strings for {len(names)} spectra")
    return [(str(value), None) if isinstance(value, str) else
            (None, f"circuit is {value!r}, not a circuit string") for value in column]


def _check_fit_keywords(fit_kwargs: Mapping[str, Any]) -> None:
    accepted = set(inspect.signature(movarin.Circuit.fit).parameters) - REFUSED_FIT_KEYWORDS
    unknown = sorted(set(fit_kwargs) - accepted - EXTRA_FIT_KEYWORDS)
    if unknown:
        raise TypeError(f"fit_many() got unknown fit keywords {unknown}; accepted: "
                        f"{sorted(accepted | EXTRA_FIT_KEYWORDS)} and start=, warm_start=")


def usable_cpu_count() -> int:
    """The processors this process may run on (its affinity mask where the system has one)."""
    if hasattr(os, "sched_getaffinity"):
        return max(1, len(os.sched_getaffinity(0)))
    return max(1, os.cpu_count() or 1)


# --- progress -----------------------------------------------------------------------------------


class Progress:
    """A tqdm bar counting spectra and failures, or nothing.

    Parameters
    ----------
    choice
        ``None``: a bar on a terminal once the batch has run a second; ``True``/``False``: always /
        never; or a tqdm bar of the caller's, which is advanced and left open.
    total
        The number of spectra.
    """

    def __init__(self, choice: Any, total: int) -> None:
        self.failures = 0
        self._owned = choice is None or choice is True
        self._bar: Any = None if choice is None or isinstance(choice, bool) else choice
        on_terminal = sys.stderr is not None and sys.stderr.isatty()
        if choice is True or (choice is None and on_terminal):
            try:
                from tqdm.auto import tqdm
            except ImportError:
                if choice is True:
                    raise ImportError("progress=True needs tqdm: pip install tqdm") from None
                return
            delay = 0.0 if choice is True else PROGRESS_DELAY_SECONDS
            self._bar = tqdm(total=total, unit="spectrum", delay=delay)

    def advance(self, records: Iterable[Record]) -> None:
        count = 0
        failed_before = self.failures
        for record in records:
            count += 1
            self.failures += record.get("error") is not None
        if self._bar is None or count == 0:
            return
        if self.failures != failed_before:
            self._bar.set_postfix(failed=self.failures, refresh=False)
        self._bar.update(count)

    def close(self) -> None:
        if self._bar is not None and self._owned:
            self._bar.close()


# --- execution ----------------------------------------------------------------------------------


def _run_on_threads(jobs: list[Job], options: FitOptions, workers: int,
                    progress: Progress) -> list[Record]:
    records: list[Record | None] = [None] * len(jobs)
    next_index = itertools.count()  # next() on it is atomic, so threads share it without a lock
    stop = threading.Event()

    def work() -> None:
        while not stop.is_set():
            index = next(next_index)
            if index >= len(jobs):
                return
            records[index], _ = fit_job(jobs[index], options, None)

    reported = 0

    def report_finished() -> None:
        # The finished prefix is cheap to find and trails the truth by a spectrum per thread.
        nonlocal reported
        finished = reported
        while finished < len(records) and records[finished] is not None:
            finished += 1
        progress.advance(record for record in records[reported:finished] if record is not None)
        reported = finished

    with concurrent.futures.ThreadPoolExecutor(max_workers=workers,
                                               thread_name_prefix="fit_many") as pool:
        futures = [pool.submit(work) for _ in range(workers)]
        try:
            while concurrent.futures.wait(futures, timeout=PROGRESS_REFRESH_SECONDS).not_done:
                report_finished()
        except BaseException:
            stop.set()  # an interrupt: each thread finishes its spectrum and takes no other
            raise
        for future in futures:
            future.result()
    report_finished()
    return [record for record in records if record is not None]


def _task_records(future: Any, jobs: Sequence[Job]) -> list[Record]:
    """A finished task's records, or one error record per spectrum of a task that failed."""
    if future.status == "cancelled":
        text = "the task fitting this spectrum was cancelled"
    else:
        try:
            return list(future.result())
        except Exception as error:  # noqa: BLE001 - a lost worker costs its spectra, not the batch
            text = f"the task fitting this spectrum failed: {_describe(error)}"
    return [{"circuit": job.circuit, "error": text, "seconds": math.nan} for job in jobs]


def _chunks(jobs: list[Job], size: int) -> list[list[Job]]:
    return [jobs[begin:begin + size] for begin in range(0, len(jobs), size)]


def _chunk_size_from(records: list[Record]) -> int:
    seconds = sum(record["seconds"] for record in records) / max(1, len(records))
    return max(1, math.ceil(TASK_SECONDS / seconds)) if seconds > 0 else PROBE_SPECTRA


def _run_on_cluster(client: Any, jobs: list[Job], options: FitOptions, chunk_size: int | None,
                    progress: Progress) -> list[Record]:
    from distributed import as_completed  # the optional extra; needed only here

    def gather(chunks: list[list[Job]]) -> list[Record]:
        # pure=False: a random key, so the spectra are not hashed on the way out.
        futures = [client.submit(fit_jobs, chunk, options, pure=False) for chunk in chunks]
        chunk_of = {future.key: index for index, future in enumerate(futures)}
        done: list[list[Record]] = [[] for _ in chunks]
        try:
            for future in as_completed(futures):
                index = chunk_of[future.key]
                done[index] = _task_records(future, chunks[index])
                progress.advance(done[index])
        except BaseException:
            client.cancel(futures)
            raise
        return [record for records in done for record in records]

    if options.warm_start:
        return gather([jobs])  # a chain: each spectrum needs the fit of the one before
    if chunk_size is not None:
        return gather(_chunks(jobs, chunk_size))
    # The first few spectra, fitted where the rest will be, tell how many make a task.
    probe = gather([jobs[:PROBE_SPECTRA]])
    rest = jobs[PROBE_SPECTRA:]
    return probe + (gather(_chunks(rest, _chunk_size_from(probe))) if rest else [])


# --- the table ----------------------------------------------------------------------------------


def _parameter_names(circuits: Iterable[str | None]) -> list[str]:
    """The union of the circuits' parameters, in order of first appearance."""
    names: dict[str, None] = {}
    for circuit in dict.fromkeys(circuits):
        if circuit is None:
            continue
        try:
            names.update(dict.fromkeys(movarin.Circuit(circuit).param_names()))
        except ValueError:
            continue  # its spectra carry the parse error
    return list(names)


def _frame(records: list[Record], circuits: Iterable[str | None], names: list[Any],
           index_name: str) -> pd.DataFrame:
    parameters = _parameter_names(circuits)
    numeric = [*parameters, *(f"{name}_stderr" for name in parameters), *STATISTICS_COLUMNS]
    frame = pd.DataFrame.from_records(records, columns=["circuit", *numeric, *OUTCOME_COLUMNS])
    frame.index = pd.Index(names, name=index_name)
    frame[numeric] = frame[numeric].astype(np.float64)
    frame["success"] = frame["success"].eq(True)  # missing (a failed spectrum) is False
    frame["iterations"] = frame["iterations"].astype("Int64")
    frame["seconds"] = frame["seconds"].astype(np.float64)
    frame["error"] = frame["error"].astype(object).where(frame["error"].notna(), None)
    return frame


def fit_many(
    circuit: CircuitChoice,
    spectra: Any,
    *,
    workers: int | None = None,
    client: Any = None,
    chunk_size: int | None = None,
    progress: Any = None,
    id_column: str | None = None,
    start: Start | None = None,
    warm_start: bool = False,
    **fit_kwargs: Any,
) -> pd.DataFrame:
    """Fit a circuit to many spectra, on local threads or a Dask cluster, into one table.

    Parameters
    ----------
    circuit
        A circuit string (or named circuit) for every spectrum; a callable taking a spectrum's
        name and returning its circuit string; or a sequence of strings, one per spectrum in
        input order (a pandas Series whose index holds every spectrum's name is matched by name).
    spectra
        An iterable of spectra, each a ``(frequencies, impedances)`` pair, a battery data format
        dataframe or a file path (read with :func:`movarin_tools.read`, where the spectrum is
        fitted: on a cluster the workers must see the file); a mapping name -> spectrum; or one
        long-format DataFrame holding all spectra, told apart by ``id_column``.
    workers
        Local threads fitting side by side; default: the processors this process may use.
    client
        A ``dask.distributed.Client``: the spectra are fitted on its cluster, ``chunk_size`` per
        task. Needs the ``dask`` extra; dask is imported only then.
    chunk_size
        Spectra per cluster task. Default: enough for about 0.2 s of work per task, measured on
        the cluster with a first task of 8 spectra.
    progress
        ``None``: a tqdm bar on a terminal (stderr) once the batch has run a second; ``True`` or
        ``False``: always or never; or a tqdm bar to advance. It counts spectra and failures.
    id_column
        With one long-format DataFrame: the column of spectrum ids. Its rows are grouped by id in
        order of first appearance (rows without an id form one more spectrum).
    start
        Starting values for every spectrum (a list in ``param_names()`` order or a dict by name).
        Default: the starts of :func:`movarin_tools.fit`.
    warm_start
        Fit the spectra in input order, each starting from the previous spectrum's fitted values
        when that fit succeeded with the same circuit; a warm-started fit that fails is fitted
        again from the default starts, and the better of the two is kept. A chain runs on one
        thread (one task on a cluster), so ``workers`` brings no speed-up there.
    **fit_kwargs
        Keywords of :func:`movarin_tools.fit` (``hops``, ``fixed``, ``bounds``: the same for
        every spectrum; a spectrum whose circuit lacks a named parameter gets an error row) and
        of ``movarin.Circuit.fit``
        (``method``, ``weight``, ``max_iterations``, ...), used for every spectrum.

    Returns
    -------
    pandas.DataFrame
        One row per spectrum in input order, indexed by the spectrum's name (mapping key, file
        path, id) or else its position; index name ``id_column`` or ``"spectrum"``. Columns:
        ``circuit``; every parameter (the union over the circuits, in ``param_names()`` order of
        first appearance; NaN where a spectrum's circuit lacks it); ``<name>_stderr`` for each
        (the square root of the covariance diagonal of :func:`movarin_tools.statistics`);
        ``cost``, ``chi_square``, ``reduced_chi_square``, ``aic``, ``bic`` as
        :func:`movarin_tools.statistics` defines them; ``success``; ``iterations`` (nullable
        integer); ``seconds`` (time spent on the spectrum where it was fitted); ``error``: None,
        or the text of what went wrong with a spectrum that could not be read or fitted, whose
        values are then NaN, ``success`` False and ``iterations`` missing.

    Raises
    ------
    ValueError
        If ``spectra`` has none of the accepted shapes, ``id_column`` is not a column, a circuit
        sequence has the wrong length, or ``workers``/``chunk_size`` is not positive.
    TypeError
        If a keyword is neither one of ``movarin_tools.fit`` nor of ``movarin.Circuit.fit``.

    Notes
    -----
    Local threads and the compiled module's own worker pool (sized by ``MOVARIN_NUM_THREADS``,
    by default the processors this process may use) both use the cores. For many small fits,
    threads across fits scale better than threads inside one fit: set ``MOVARIN_NUM_THREADS=1``
    before importing movarin to keep every fit on its calling thread. ``fit_many`` sets nothing
    process-wide itself.
    """
    _check_fit_keywords(fit_kwargs)
    if workers is not None and client is not None:
        raise ValueError("workers= sets local threads; with client= the cluster's workers fit")
    if workers is not None and workers < 1:
        raise ValueError(f"workers must be 1 or more, got {workers}")
    if chunk_size is not None and chunk_size < 1:
        raise ValueError(f"chunk_size must be 1 or more, got {chunk_size}")
    names, sources, index_name = _named_spectra(spectra, id_column)
    jobs = [Job(source, chosen, error) for source, (chosen, error)
            in zip(sources, _circuit_for_each(circuit, names))]
    fixed = fit_kwargs.get("fixed")
    if fixed is not None and not isinstance(fixed, (Mapping, str)):
        fit_kwargs["fixed"] = list(fixed)  # read once per spectrum, so not a one-pass iterator
    options = FitOptions(start=start, warm_start=warm_start, fit_kwargs=dict(fit_kwargs))
    threads = min(workers or usable_cpu_count(), max(1, len(jobs)))
    bar = Progress(progress, len(jobs))
    try:
        if client is not None:
            records = _run_on_cluster(client, jobs, options, chunk_size, bar)
        elif warm_start or threads == 1:
            records = fit_jobs(jobs, options, on_record=lambda record: bar.advance((record,)))
        else:
            records = _run_on_threads(jobs, options, threads, bar)
    finally:
        bar.close()
    # A single circuit names the columns even when no spectrum is given.
    circuits = [circuit] if isinstance(circuit, str) else []
    return _frame(records, circuits + [job.circuit for job in jobs], names, index_name)
