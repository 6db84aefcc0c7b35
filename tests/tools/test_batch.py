"""fit_many: rows in input order under the spectra's names, failures kept as rows, the same table
from one thread, several threads and a process cluster, warm-start chains, and the compiled pool's
size under an affinity mask and MOVARIN_NUM_THREADS."""

import io
import os
import subprocess
import sys
import textwrap

import numpy as np
import pandas as pd
import pytest

import movarin
from movarin_tools import fit, fit_many, statistics, summary, write_csv

CIRCUIT = "R0-p(R1,C1)"
START = [1.0, 1.0, 1e-3]
FREQUENCIES = np.logspace(-1, 5, 30)


def spectrum(r1: float, seed: int = 0) -> tuple[np.ndarray, np.ndarray]:
    z = movarin.Circuit(CIRCUIT).with_values([0.1, r1, 1e-3]).impedance(FREQUENCIES)
    noise = 1 + 0.01 * np.random.default_rng(seed).standard_normal(len(z))
    return FREQUENCIES, z * noise


def frame_of(f: np.ndarray, z: np.ndarray) -> pd.DataFrame:
    return pd.DataFrame({"Frequency / Hz": f, "Real Impedance / ohm": z.real,
                         "Imaginary Impedance / ohm": z.imag})


def without_timing(frame: pd.DataFrame) -> pd.DataFrame:
    return frame.drop(columns="seconds")


def test_rows_follow_the_input_and_carry_its_names(tmp_path):
    series = [spectrum(r1, seed) for seed, r1 in enumerate([0.5, 2.0, 8.0])]
    by_position = fit_many(CIRCUIT, series, start=START, workers=2)
    assert list(by_position.index) == [0, 1, 2]
    np.testing.assert_allclose(by_position["R1.r"], [0.5, 2.0, 8.0], rtol=0.05)
    expected = fit(CIRCUIT, *series[1], start=START)
    assert by_position.loc[1, "C1.c"] == expected.params["C1.c"]
    table = summary(expected, *series[1])
    np.testing.assert_array_equal(by_position.loc[1, ["R0.r_stderr", "R1.r_stderr", "C1.c_stderr"]],
                                  table["stderr"])
    assert by_position.loc[1, "bic"] == statistics(expected, *series[1])["bic"]
    assert list(by_position.columns) == [
        "circuit", "R0.r", "R1.r", "C1.c", "R0.r_stderr", "R1.r_stderr", "C1.c_stderr", "cost",
        "chi_square", "reduced_chi_square", "aic", "bic", "success", "iterations", "seconds",
        "error"]

    by_key = fit_many(CIRCUIT, {"late": series[2], "early": series[0]}, start=START)
    assert list(by_key.index) == ["late", "early"]
    assert by_key.loc["late", "R1.r"] == by_position.loc[2, "R1.r"]

    paths = []
    for name, (f, z) in zip(["b.csv", "a.csv"], series):
        write_csv(frame_of(f, z), tmp_path / name)
        paths.append(str(tmp_path / name))
    by_path = fit_many(CIRCUIT, paths, start=START, workers=1)
    assert list(by_path.index) == paths
    assert by_path["R1.r"].iloc[0] == pytest.approx(by_position.loc[0, "R1.r"], rel=1e-9)

    long = pd.concat([frame_of(*series[i]).assign(cell=cell)
                      for i, cell in [(2, "z"), (0, "x"), (1, "y")]])
    by_id = fit_many(CIRCUIT, long, id_column="cell", start=START)
    assert list(by_id.index) == ["z", "x", "y"] and by_id.index.name == "cell"
    assert by_id.loc["z", "R1.r"] == by_position.loc[2, "R1.r"]

    with pytest.raises(ValueError, match="one .frequencies, impedances. pair"):
        fit_many(CIRCUIT, series[0])

    mixed = fit_many(lambda name: "R0-C1" if name == "rc" else CIRCUIT,
                     {"rc": series[0], "randles": series[1]}, hops=0)
    assert list(mixed.columns[1:5]) == ["R0.r", "C1.c", "R1.r", "R0.r_stderr"]
    assert np.isnan(mixed.loc["rc", "R1.r"]) and not np.isnan(mixed.loc["randles", "R1.r"])


def test_failures_become_rows_and_the_batch_goes_on(tmp_path):
    unreadable = tmp_path / "broken.txt"
    unreadable.write_text("this is no impedance export\n")
    f, z = spectrum(1.0)
    with_nan = z.copy()
    with_nan[4] = np.nan
    spectra = {"good": (f, z), "unreadable": str(unreadable), "nan": (f, with_nan),
               "unknown circuit": (f, z), "also good": (f, z)}
    circuits = pd.Series({name: CIRCUIT for name in spectra} | {"unknown circuit": "R0-Q1"})
    table = fit_many(circuits, spectra, start=START, workers=2)

    failed = ["unreadable", "nan", "unknown circuit"]
    assert table.loc[failed, "error"].str.contains("broken.txt|NaN|unknown element").all()
    assert table.loc[failed, ["R0.r", "R1.r_stderr", "cost", "aic"]].isna().all().all()
    assert not table.loc[failed, "success"].any()
    assert table.loc[["good", "also good"], "error"].isna().all()
    assert table.loc[["good", "also good"], "success"].all()


@pytest.mark.parametrize("workers", [1, 3])
def test_progress_counts_spectra_and_failures(workers):
    tqdm = pytest.importorskip("tqdm")
    spectra = [spectrum(1.0), "missing.csv", spectrum(2.0), (FREQUENCIES,)]
    with tqdm.tqdm(total=len(spectra), file=io.StringIO()) as bar:
        fit_many(CIRCUIT, spectra, start=START, workers=workers, progress=bar)
        assert bar.n == len(spectra)
        assert bar.postfix == "failed=2"


def cannot_be_rebuilt():
    raise RuntimeError("this spectrum cannot be unpickled")


class RebuiltNowhere:
    """A spectrum whose task fails on the worker, before any fit."""

    def __reduce__(self):
        return cannot_be_rebuilt, ()


def test_one_thread_many_threads_and_a_process_cluster_agree():
    distributed = pytest.importorskip("distributed")
    series = [spectrum(0.2 + 0.3 * i, seed=i) for i in range(20)]
    series[5] = (FREQUENCIES, np.full(len(FREQUENCIES), np.nan + 0j))
    one = fit_many(CIRCUIT, series, workers=1, hops=0)
    assert one["error"].notna().sum() == 1
    pd.testing.assert_frame_equal(without_timing(one),
                                  without_timing(fit_many(CIRCUIT, series, workers=3, hops=0)))
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                  dashboard_address=None) as cluster, \
            distributed.Client(cluster) as client:
        on_cluster = fit_many(CIRCUIT, series, client=client, hops=0)
        in_chunks = fit_many(CIRCUIT, series, client=client, chunk_size=3, hops=0)
        lost_task = fit_many(CIRCUIT, [series[0], RebuiltNowhere()], client=client,
                             chunk_size=1, hops=0)
    assert lost_task["error"].iloc[0] is None
    assert "task" in lost_task["error"].iloc[1] and not lost_task["success"].iloc[1]
    pd.testing.assert_frame_equal(without_timing(one), without_timing(on_cluster))
    pd.testing.assert_frame_equal(without_timing(one), without_timing(in_chunks))


def test_warm_start_chains_fits_and_restarts_after_a_failure():
    series = {f"cycle {i}": spectrum(0.5 * 1.1 ** i, seed=i) for i in range(5)}
    series["cycle 2"] = (FREQUENCIES, np.full(len(FREQUENCIES), np.nan + 0j))
    table = fit_many(CIRCUIT, series, warm_start=True, hops=0, workers=2)
    names = list(series)
    fitted = table[["R0.r", "R1.r", "C1.c"]]

    assert table.loc["cycle 0", "R1.r"] == fit(CIRCUIT, *series["cycle 0"], hops=0).params["R1.r"]
    warm = fit(CIRCUIT, *series["cycle 1"], start=list(fitted.loc["cycle 0"]))
    assert table.loc["cycle 1", "R1.r"] == warm.params["R1.r"]
    assert table.loc["cycle 2", "error"] is not None
    # After a failed fit the next spectrum starts afresh, then the chain resumes.
    assert table.loc["cycle 3", "R1.r"] == fit(CIRCUIT, *series["cycle 3"], hops=0).params["R1.r"]
    warm = fit(CIRCUIT, *series[names[4]], start=list(fitted.loc["cycle 3"]))
    assert table.loc["cycle 4", "R1.r"] == warm.params["R1.r"]


POOL_PROBE = textwrap.dedent("""
    import os, sys
    if sys.argv[1] != "all":
        os.sched_setaffinity(0, {int(sys.argv[1])})
    import numpy as np
    import movarin
    def threads():
        return len(os.listdir("/proc/self/task"))
    before = threads()
    circuit = movarin.Circuit("R0-p(R1,CPE1)-W2")
    f = np.logspace(-2, 5, 2000)  # enough points for the pool to serve the evaluation
    z = circuit.with_values([0.1, 1.0, 1e-3, 0.9, 0.5]).impedance(f)
    circuit.fit(f, z, guess_init=False)
    print(threads() - before)
""")


@pytest.mark.skipif(not hasattr(os, "sched_setaffinity"), reason="needs processor affinity")
def test_compiled_pool_honours_the_affinity_mask_and_the_variable():
    def pool_workers(affinity: str, variable: str | None) -> int:
        env = {key: value for key, value in os.environ.items() if key != "MOVARIN_NUM_THREADS"}
        if variable is not None:
            env["MOVARIN_NUM_THREADS"] = variable
        done = subprocess.run([sys.executable, "-c", POOL_PROBE, affinity], env=env,
                              capture_output=True, text=True, timeout=60, check=True)
        return int(done.stdout)

    allowed = sorted(os.sched_getaffinity(0))
    assert pool_workers("all", None) == len(allowed) - 1
    assert pool_workers(str(allowed[-1]), None) == 0
    assert pool_workers("all", "3") == 2
    assert pool_workers(str(allowed[-1]), "2") == 1  # the variable wins over the mask
    assert pool_workers("all", "1") == 0
    assert pool_workers("all", "many") == len(allowed) - 1
