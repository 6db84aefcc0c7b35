import json
import shutil
import subprocess
import sys

import numpy as np
import pandas as pd
import pytest

import movarin
from movarin_tools import cli
from movarin_tools.serialize import from_dict

CIRCUIT = "R0-p(R1,CPE1)"
PARAMETERS = ["R0.r", "R1.r", "CPE1.q", "CPE1.alpha"]
# Two instruments, one arc each.
FILES = ("exampleDataZPlot.z", "exampleDataBioLogic.mpt")


@pytest.fixture
def spectra(measured_dir):
    return [str(measured_dir / name) for name in FILES]


def starved_fit(circuit, frame, **kwargs):
    """A real fit from placeholder values with no budget to converge: it reports no success."""
    return movarin.Circuit(circuit).fit(frame, guess_init=False, max_iterations=1)


def test_fits_every_file_into_one_table_and_writes_the_outputs(spectra, tmp_path, capsys):
    status = cli.main([*spectra, "--circuit", CIRCUIT, "--plot", str(tmp_path / "plots"),
                       "--csv", str(tmp_path / "fits.csv"), "--json", str(tmp_path / "fits.json")])
    out, err = capsys.readouterr()
    assert status == 0, err
    header, *rows = out.splitlines()
    assert header.split()[:5] == ["file", *PARAMETERS]
    assert [row.split()[0] for row in rows] == spectra
    assert all(row.rstrip().endswith("yes") and "±" in row for row in rows)
    # Aligned: every parameter column ends where its header does.
    assert {len(row) for row in [header, *rows]} == {len(header)}

    table = pd.read_csv(tmp_path / "fits.csv")
    assert list(table["file"]) == spectra and table["success"].all()
    assert {f"{name} stderr" for name in PARAMETERS} <= set(table.columns)
    records = json.loads((tmp_path / "fits.json").read_text(encoding="utf-8"))
    assert [record["file"] for record in records] == spectra
    for record, (_, row) in zip(records, table.iterrows()):
        np.testing.assert_allclose(from_dict(record).param_values(),
                                   row[PARAMETERS].to_numpy(dtype=float), rtol=1e-12)
        assert record["reduced_chi_square"] == pytest.approx(row["reduced_chi_square"])
    pngs = sorted((tmp_path / "plots").iterdir())
    assert [png.name for png in pngs] == sorted(f"{name.split('.')[0]}.png" for name in FILES)
    assert all(png.read_bytes().startswith(b"\x89PNG") and png.stat().st_size > 20_000
               for png in pngs)


def test_bad_files_are_reported_and_the_others_still_fitted(spectra, measured_dir, tmp_path,
                                                            capsys):
    missing = str(tmp_path / "missing.csv")
    not_a_spectrum = str(measured_dir / "README.md")
    # Four residuals for four parameters: the fit would interpolate and call that a success.
    two_points = tmp_path / "two_points.csv"
    two_points.write_text("Frequency / Hz,Real Impedance / ohm,Imaginary Impedance / ohm\n"
                          "1000,10,-1\n100,12,-3\n", encoding="utf-8")
    status = cli.main([missing, spectra[0], not_a_spectrum, str(two_points), "--circuit", CIRCUIT])
    out, err = capsys.readouterr()
    assert status == 2
    assert [row.split()[0] for row in out.splitlines()[1:]] == [spectra[0]]
    assert missing in err and not_a_spectrum in err
    assert f"{two_points}: 2 point(s) give 4 residuals" in err
    assert all(line.startswith("movarin-fit: ") for line in err.splitlines())


def test_exit_status_ranks_bad_input_over_failed_fits(spectra, measured_dir, tmp_path,
                                                      monkeypatch, capsys):
    assert cli.main([spectra[0], "--circuit", "R0-p(R1,"]) == 2
    out, err = capsys.readouterr()
    assert out == "" and "--circuit" in err and "unexpected end of input" in err
    assert cli.main([spectra[0], "--circuit", CIRCUIT, "--csv", str(tmp_path / "no" / "x.csv")]) == 2
    assert "--csv" in capsys.readouterr().err
    assert cli.main([spectra[0], "--circuit", CIRCUIT, "--method", "newton"]) == 2

    monkeypatch.setattr(cli, "fit", starved_fit)
    assert cli.main([*spectra, "--circuit", CIRCUIT]) == 1
    assert capsys.readouterr().out.splitlines()[1].rstrip().endswith("no")
    assert cli.main([*spectra, str(measured_dir / "README.md"), "--circuit", CIRCUIT]) == 2


def test_plot_without_matplotlib_stops_before_fitting(spectra, tmp_path, monkeypatch, capsys):
    monkeypatch.setitem(sys.modules, "matplotlib", None)
    assert cli.main([*spectra, "--circuit", CIRCUIT, "--plot", str(tmp_path)]) == 2
    out, err = capsys.readouterr()
    assert out == "" and 'pip install "movarin[plot]"' in err


def test_help_explains_every_option_and_the_exit_statuses(capsys):
    assert cli.main(["--help"]) == 0
    text = capsys.readouterr().out
    for option in ("--circuit", "--method", "--weight", "--format", "--plot", "--csv", "--json",
                   "exit status", "basin_hopping"):
        assert option in text


def test_console_script_exit_status_and_streams(spectra):
    script = shutil.which("movarin-fit")
    # In a development checkout the package is not installed: run the module as the script would.
    command = [script] if script else [sys.executable, "-m", "movarin_tools.cli"]
    done = subprocess.run([*command, spectra[0], "no-such-file.z", "--circuit", CIRCUIT],
                          capture_output=True, text=True, timeout=120)
    assert done.returncode == 2
    assert done.stdout.splitlines()[1].startswith(spectra[0])
    assert "no-such-file.z" in done.stderr
