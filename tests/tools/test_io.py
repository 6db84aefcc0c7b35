import re
import warnings

import numpy as np
import pandas as pd
import pytest

from movarin_tools.io import read, write_csv

COLUMNS = ["Frequency / Hz", "Real Impedance / ohm", "Imaginary Impedance / ohm"]

# file, detected format, points, first and last rows as written (BioLogic's -Im(Z) negated)
MEASURED = [
    ("exampleData.csv", "table", 66,
     (3.162299999999999833e-03, 4.949989776405060160e-02, -2.043869854441892481e-02),
     (1e4, 1.577148266048593317e-02, 1.015747456493823649e-02)),
    ("exampleDataGamry.DTA", "gamry", 72, (200015.6, 825.8584, -1367.239),
     (0.0158898, 17007.49, -6635.557)),
    ("exampleDataAutolab.txt", "autolab", 41, (1e4, 0.013785863964281, 0.007191946305823),
     (0.1, 0.0345697771923854, -0.00390292888845954)),
    ("exampleDataBioLogic.mpt", "biologic", 43, (1000.3201, 65.470886, -0.38998979),
     (0.01689554, 110.97003, -2.3458567)),
    ("exampleDataCHInstruments.txt", "chi", 73, (99610.0, 98.91, -2.748), (0.1, 5685.0, -15860.0)),
    ("exampleDataParstat.txt", "parstat", 31, (1e4, -0.00049816280376104, 0.0175143479976367),
     (10.0, 0.0270946491457229, -0.00399791080333837)),
    ("exampleDataVersaStudio.par", "versastudio", 61, (1e5, 55.31571, 4.575431),
     (0.02154435, 1516.313, -122.8279)),
    ("exampleDataZPlot.z", "zplot", 21, (3e5, 147.77, -11.335), (3000.0, 613.68, -137.13)),
]


@pytest.mark.parametrize("name, kind, points, first, last", MEASURED)
def test_measured_files(measured_dir, name, kind, points, first, last):
    path = measured_dir / name
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        frame = read(path)
        forced = read(str(path), format=kind)
    # Only the Parstat file has rows that are not impedance points: its DC hold at 0 Hz.
    dropped = (
        "dropped 781 row(s) that are not impedance points: 781 with zero or negative frequency"
    )
    expected = [f"{path}: {dropped}"] * 2 if kind == "parstat" else []
    assert [str(w.message) for w in caught] == expected
    assert all(w.filename == __file__ for w in caught)
    pd.testing.assert_frame_equal(forced, frame)
    assert list(frame.columns) == COLUMNS and (frame.dtypes == np.float64).all()
    assert frame.attrs == {"source": path, "format": kind}
    assert len(frame) == points
    assert tuple(frame.iloc[0]) == first and tuple(frame.iloc[-1]) == last
    # Every spectrum ends in a capacitive arc: its lowest-frequency quarter is below the axis.
    lowest = frame.nsmallest(points // 4, "Frequency / Hz")
    assert (lowest["Imaginary Impedance / ohm"] < 0).all()


@pytest.mark.parametrize("content, expected", [
    pytest.param(b"freq,zre,zim\r\n1,2,-3\r\n4,5,-6\r\n", [[1, 2, -3], [4, 5, -6]], id="crlf"),
    pytest.param(b"1\t2\t-3\r4\t5\t-6\r", [[1, 2, -3], [4, 5, -6]], id="bare-cr-headerless"),
    pytest.param("\ufeffFrequency (Hz),Z' (Ohm),Z'' (Ohm)\n1,2,-3\n".encode(), [[1, 2, -3]],
                 id="utf8-bom"),
    pytest.param("freq/Hz\tRe(Z)/Ohm\t-Im(Z)/Ohm\tCs/\u00b5F\n1,5\t2\t3\t4\n".encode("latin-1"),
                 [[1.5, 2, -3]], id="latin1-biologic-export-decimal-comma"),
    pytest.param(b"Frequency / Hz;Z' / Ohm;-Z'' / Ohm\n1000,5;1,25;0,5\n10;2;1E-1\n",
                 [[1000.5, 1.25, -0.5], [10, 2, -0.1]], id="decimal-comma-semicolons"),
    pytest.param(b'  " Freq  ( kHz ) " ,  Z real [mOhm] ,   Z imag / Ohm   \n'
                 b"\n Hz, Ohm, Ohm\n2, 5, -7\n",
                 [[2000, 0.005, -7]], id="spacing-quotes-units-row-prefixes"),
    pytest.param(b"Frequency (Hz)    |Z| (Ohm)    Phase (deg)\n2    4    -90\n",
                 [[2, 4 * np.cos(-np.pi / 2), -4]], id="modulus-phase-space-aligned"),
    pytest.param(b"frequency_hertz,absolute_impedance_ohm,phase_rad\n2,4,0\n", [[2, 4, 0]],
                 id="snake-case-modulus-phase-radians"),
    pytest.param(b"# f zre zim\n1 2 -3\n", [[1, 2, -3]], id="commented-header"),
    pytest.param("Freq/Hz\tZ'/\u03a9\tZ''/k\u03a9\n1\t2\t-3\n".encode("utf-16"), [[1, 2, -3000]],
                 id="utf16-ohm-signs"),
])
def test_table_variants(tmp_path, content, expected):
    path = tmp_path / "spectrum.txt"
    path.write_bytes(content)
    frame = read(path)
    # The EC-Lab export is recognised by its column names; everything else is a plain table.
    assert frame.attrs["format"] == ("biologic" if b"Re(Z)/Ohm" in content else "table")
    np.testing.assert_array_equal(frame.to_numpy(), np.array(expected, dtype=float))


@pytest.mark.parametrize("name, content, message", [
    ("short.mpt", b"EC-Lab ASCII FILE\nNb header lines : 61\n\n", "announces 61 lines.*truncated"),
    ("cut.csv", b"1,2,-3\n4,5,-6\n7,8\n", r", line 3: 2 field\(s\).*truncated"),
    ("empty.csv", ",".join(COLUMNS).encode() + b"\n", "no data rows"),
    ("dc.txt", b"f\tzre\tzim\n0\t1\t0\n0\t1\t0\n", r"no usable row .*2 with zero or negative"),
    ("junk.mpr", bytes(range(256)) * 4, "binary content"),
    ("bad.csv", b"freq,zre,zim\n1,2,-3\n4,5.0.1,-6\n", r", line 3: malformed number '5\.0\.1'"),
    ("words.txt", b"Some notes about a cell\nand nothing else\n", r"line 1: not a recognised"),
    ("nothing.DTA", b"EXPLAIN\nTAG\tCV\n", "no ZCURVE table"),
    ("blank.txt", b"\xef\xbb\xbf\r\n \r\n", "empty file"),
])
def test_unreadable_files_name_the_file(tmp_path, name, content, message):
    path = tmp_path / name
    path.write_bytes(content)
    with pytest.raises(ValueError, match=re.escape(str(path)) + ".*" + message):
        read(path)


@pytest.mark.parametrize("name", [entry[0] for entry in MEASURED])
def test_cut_measured_files_give_a_frame_or_a_value_error(tmp_path, measured_dir, name):
    content = (measured_dir / name).read_bytes()
    path = tmp_path / name
    for end in np.linspace(0, len(content), 25, dtype=int)[1:-1]:
        path.write_bytes(content[:end])
        try:
            with warnings.catch_warnings():
                warnings.simplefilter("ignore")
                frame = read(path)
        except ValueError as error:
            assert str(error).startswith(str(path))
        else:
            assert len(frame) > 0 and (frame.dtypes == np.float64).all()


def test_forced_format_and_unknown_format(measured_dir):
    with pytest.raises(ValueError, match="exampleData.csv: no ZCURVE table"):
        read(measured_dir / "exampleData.csv", format="gamry")
    with pytest.raises(ValueError, match="unknown format 'excel'"):
        read(measured_dir / "exampleData.csv", format="excel")


def test_write_csv_round_trips_bit_for_bit(tmp_path, measured_dir):
    rng = np.random.default_rng(7)
    values = rng.standard_normal((50, 3)) * 10.0 ** rng.integers(-300, 300, (50, 3))
    values[:, 0] = np.abs(values[:, 0])
    values[:3, 1:] = [[-0.0, 5e-324], [np.nextafter(1.0, 2.0), 1 / 3], [1e308, -2.2e-308]]
    frame = pd.DataFrame(values, columns=COLUMNS)
    path = tmp_path / "spectrum.csv"
    write_csv(frame, path)
    back = read(str(path))
    assert back.attrs["format"] == "table"
    assert np.array_equal(back.to_numpy().view(np.int64), values.view(np.int64))

    measured = read(measured_dir / "exampleDataGamry.DTA")
    write_csv(measured.assign(extra=1.0), path)
    pd.testing.assert_frame_equal(read(path), measured)
    with pytest.raises(ValueError, match="no column.*'Imaginary Impedance / ohm'"):
        write_csv(measured.drop(columns=COLUMNS[2]), path)
