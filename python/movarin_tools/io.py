"""Impedance spectra from instrument files, and the battery data format CSV.

Each instrument has one small reader that finds its table in the text and returns the column names
and rows; the table of :data:`FORMATS` says how to recognise each file. Turning the rows into the
frame (column recognition, signs, units, dropped rows) is shared, in ``_tables``.
"""

from __future__ import annotations

import os
import re
import warnings
from collections.abc import Callable
from dataclasses import dataclass
from pathlib import Path

import numpy as np
import pandas as pd

from movarin_tools._tables import (
    COLUMNS,
    EXPECTED_COLUMNS,
    FormatError,
    RawTable,
    Row,
    guess_delimiter,
    is_number,
    pick_columns,
    split_fields,
    to_frame,
)

__all__ = ["FORMATS", "read", "write_csv"]

Lines = list[str]


# --- text ---------------------------------------------------------------------------------------

# Control characters never found in a text export (tab, line feed, form feed, carriage return and
# the DOS end-of-file mark are allowed).
_BINARY = re.compile(r"[\x00-\x08\x0e-\x19\x1b-\x1f]")


def _decode(raw: bytes) -> str:
    """A file's text: UTF-16 with a byte-order mark, else UTF-8 (with or without), else latin-1."""
    if raw.startswith((b"\xff\xfe", b"\xfe\xff")):
        try:
            text = raw.decode("utf-16")
        except UnicodeDecodeError:
            raise FormatError("starts with a UTF-16 byte-order mark but is not UTF-16") from None
    else:
        try:
            text = raw.decode("utf-8-sig")
        except UnicodeDecodeError:
            # Older exports write the micro and ohm signs in latin-1; every byte is valid there.
            text = raw.decode("latin-1")
    if _BINARY.search(text):
        raise FormatError("binary content; expected a text export of an impedance spectrum")
    return text


def _lines(text: str) -> Lines:
    """Lines split at LF, CRLF or a bare CR, without a trailing empty line."""
    lines = re.split(r"\r\n|\r|\n", text)
    while lines and not lines[-1].strip():
        lines.pop()
    return lines


def _rows(lines: Lines, start: int, delimiter: str | None, stop: int | None = None) -> list[Row]:
    """Non-blank lines ``start`` up to ``stop`` (0-based) as (1-based line number, fields)."""
    end = len(lines) if stop is None else stop
    return [
        (number + 1, split_fields(lines[number], delimiter))
        for number in range(start, end)
        if lines[number].strip()
    ]


# --- instrument readers -------------------------------------------------------------------------


def _read_gamry(lines: Lines) -> RawTable:
    """The ``ZCURVE`` table: a names row, a units row, then rows that start with a tab."""
    tags = (i for i, line in enumerate(lines) if line.split("\t")[0].strip() == "ZCURVE")
    tag = next(tags, None)
    if tag is None or tag + 2 >= len(lines):
        raise FormatError("no ZCURVE table; expected a Gamry impedance file (EXPLAIN ... ZCURVE)")
    end = tag + 3
    while end < len(lines) and lines[end].startswith("\t"):
        end += 1
    return RawTable(split_fields(lines[tag + 1], "\t"), _rows(lines, tag + 3, "\t", end))


def _read_biologic(lines: Lines) -> RawTable:
    """EC-Lab ASCII (``Nb header lines : N``, the names on line N) or its tab-separated export."""
    names_line = 0
    if lines[0].startswith("EC-Lab ASCII FILE"):
        counts = [re.match(r"\s*Nb header lines\s*:\s*(\d+)", line) for line in lines[1:5]]
        count = next((match for match in counts if match), None)
        if count is None:
            raise FormatError("EC-Lab file without a 'Nb header lines : N' line")
        names_line = int(count[1]) - 1
        if names_line >= len(lines):
            raise FormatError(
                f"the header announces {names_line + 1} lines but the file has {len(lines)}; "
                "is it truncated?"
            )
    return RawTable(split_fields(lines[names_line], "\t"), _rows(lines, names_line + 1, "\t"))


def _read_autolab(lines: Lines) -> RawTable:
    """'Z60W Data File': quoted header lines, the point count, a quoted names line, comma rows."""
    counts = (i for i, line in enumerate(lines) if re.fullmatch(r"[0-9]+", line.strip()))
    count_line = next(counts, None)
    if count_line is None or count_line + 1 >= len(lines):
        raise FormatError("no point count and column names; expected a Z60W data file")
    # The names are padded with spaces and some contain one, as in "Freq (Hz)".
    names = re.split(r"\s{2,}", lines[count_line + 1].strip().strip('"').strip())
    rows = _rows(lines, count_line + 2, ",")
    announced = int(lines[count_line])
    if len(rows) < announced:
        raise FormatError(f"the header announces {announced} points but the file has {len(rows)}; "
                          "is it truncated?")
    return RawTable(names, rows)


def _read_zplot(lines: Lines) -> RawTable:
    """A 'Key: value' header whose line before ``End Comments`` names the tab-separated columns."""
    end = next((i for i, line in enumerate(lines) if line.strip() == "End Comments"), None)
    if end is None or end == 0:
        raise FormatError("no 'End Comments' line; expected a ZPlot file")
    return RawTable(split_fields(lines[end - 1], "\t"), _rows(lines, end + 1, "\t"))


def _read_chi(lines: Lines) -> RawTable:
    """A free-text header, then the first line naming the columns, then comma-separated rows."""
    for index, line in enumerate(lines):
        names = split_fields(line, ",")
        if pick_columns(names) is not None:
            return RawTable(names, _rows(lines, index + 1, ","))
    raise FormatError(
        "no column names line (Freq/Hz, Z'/ohm, Z\"/ohm); expected a CH Instruments file"
    )


def _read_versastudio(lines: Lines) -> RawTable:
    """The ``<SegmentN>`` blocks: a ``Definition=`` line naming the columns, then comma rows.

    Several segments are read in file order and must name the same columns.
    """
    table: RawTable | None = None
    index = 0
    while index < len(lines):
        if not re.fullmatch(r"<Segment\d+>", lines[index].strip()):
            index += 1
            continue
        ends = (i for i in range(index, len(lines)) if lines[i].strip().startswith("</Segment"))
        end = next(ends, len(lines))
        definitions = (i for i in range(index, end) if lines[i].startswith("Definition="))
        definition = next(definitions, None)
        if definition is None:
            raise FormatError("segment without a 'Definition=' line", index + 1)
        names = split_fields(lines[definition][len("Definition="):], ",")
        if table is None:
            table = RawTable(names)
        elif names != table.names:
            raise FormatError("segments name different columns", definition + 1)
        table.rows.extend(_rows(lines, definition + 1, ",", end))
        index = end + 1
    if table is None:
        raise FormatError("no <Segment> block; expected a VersaStudio .par file")
    return table


def _first_content_line(lines: Lines) -> int:
    """Index of the first non-blank line (``read`` has already refused files without one)."""
    return next((i for i, line in enumerate(lines) if line.strip()), 0)


def _read_parstat(lines: Lines) -> RawTable:
    """One tab-separated names line, then tab-separated rows."""
    first = _first_content_line(lines)
    return RawTable(split_fields(lines[first], "\t"), _rows(lines, first + 1, "\t"))


def _header_names(line: str) -> list[str] | None:
    """The names in ``line`` if they describe a spectrum (a ``#`` comment prefix is allowed)."""
    text = line.strip().lstrip("#").strip()
    delimiter = guess_delimiter(text)
    candidates = [split_fields(text, delimiter)]
    if delimiter is None:
        # Space-aligned headers may have names with one space inside ("Z' (Ohm)").
        candidates.insert(0, [name.strip('"') for name in re.split(r"\s{2,}", text)])
    return next((names for names in candidates if pick_columns(names) is not None), None)


def _locate_table(lines: Lines) -> tuple[int, list[str] | None] | None:
    """Where a generic table starts: (index of its header or first row, names or None).

    ``None`` when the first line that is neither blank nor a ``#`` comment is neither a header
    that names a spectrum nor a row of at least three numbers.
    """
    for index, line in enumerate(lines):
        if not line.strip():
            continue
        names = _header_names(line)
        if names is not None:
            return index, names
        if line.lstrip().startswith("#"):
            continue
        fields = split_fields(line, guess_delimiter(line))
        if len(fields) >= 3 and all(map(is_number, fields[:3])):
            return index, None
        return None
    return None


def _unlocated_table_error(lines: Lines) -> FormatError:
    """Why a file is no table: a bad first row, or text that is no header we know."""
    first = _first_content_line(lines)
    fields = split_fields(lines[first], guess_delimiter(lines[first]))
    if any(is_number(text) for text in fields):
        bad = next((text for text in fields if not is_number(text)), None)
        detail = f"malformed number {bad!r}" if bad is not None else f"{len(fields)} column(s)"
        return FormatError(f"{detail}; expected {EXPECTED_COLUMNS}", first + 1)
    return FormatError(
        f"not a recognised impedance file: neither an instrument export "
        f"({', '.join(name for name in FORMATS if name != 'table')}) "
        f"nor a table with {EXPECTED_COLUMNS}",
        first + 1,
    )


def _read_table(lines: Lines) -> RawTable:
    """Delimited text or CSV, with a header naming the columns or three numeric columns."""
    located = _locate_table(lines)
    if located is None:
        raise _unlocated_table_error(lines)
    start, names = located
    if names is None:
        return RawTable(None, _rows(lines, start, guess_delimiter(lines[start])))
    data = start + 1
    while data < len(lines) and not lines[data].strip():
        data += 1
    if data < len(lines) and not any(
        is_number(text) for text in split_fields(lines[data], guess_delimiter(lines[data]))
    ):
        data += 1  # a units row under the names
    if data >= len(lines):
        return RawTable(names, [])
    return RawTable(names, _rows(lines, data, guess_delimiter(lines[data])))


# --- the table of formats -----------------------------------------------------------------------


@dataclass(frozen=True)
class Format:
    """One readable kind of file: the text that identifies it, its usual extensions, its reader."""

    signature: re.Pattern[str] | None
    extensions: tuple[str, ...]
    reader: Callable[[Lines], RawTable]


def _signature(pattern: str) -> re.Pattern[str]:
    return re.compile(pattern, re.MULTILINE)


# Detection looks for the signatures in this order; the generic table has none and comes last.
FORMATS: dict[str, Format] = {
    "gamry": Format(_signature(r"\AEXPLAIN\s*$|^ZCURVE\t"), (".dta",), _read_gamry),
    "biologic": Format(
        _signature(r"\AEC-Lab ASCII FILE|\Afreq/Hz\t.*Re\(Z\)/Ohm"), (".mpt",), _read_biologic
    ),
    "autolab": Format(_signature(r"\A.*Z60W Data File"), (), _read_autolab),
    "zplot": Format(_signature(r"\AZPLOT"), (".z",), _read_zplot),
    "chi": Format(_signature(r"^Instrument Model:\s*CHI"), (), _read_chi),
    "versastudio": Format(_signature(r"^<Segment\d+>\s*$"), (".par",), _read_versastudio),
    "parstat": Format(
        _signature(r"\A.*\bFrequency \(Hz\)\tZre \(ohms\)\tZim \(ohms\)"), (), _read_parstat
    ),
    "table": Format(None, (".csv",), _read_table),
}


def _detect(lines: Lines, path: str) -> str:
    """The format by content, else by extension, else the generic table (whose errors explain)."""
    text = "\n".join(lines)
    for name, kind in FORMATS.items():
        if kind.signature is not None and kind.signature.search(text):
            return name
    if _locate_table(lines) is not None:
        return "table"
    extension = os.path.splitext(path)[1].lower()
    return next((name for name, kind in FORMATS.items() if extension in kind.extensions), "table")


# --- public API ---------------------------------------------------------------------------------


def read(path: str | os.PathLike[str], format: str | None = None) -> pd.DataFrame:
    """Read an impedance spectrum from an instrument file or a delimited table.

    Parameters
    ----------
    path
        The file. Encodings: UTF-8 with or without a byte-order mark, latin-1, UTF-16 with a
        byte-order mark; line endings LF, CRLF or CR.
    format
        One of ``FORMATS`` (``"gamry"``, ``"biologic"``, ``"autolab"``, ``"zplot"``, ``"chi"``,
        ``"versastudio"``, ``"parstat"``, ``"table"``); ``None`` detects it from the content,
        then from the extension.

    Returns
    -------
    pandas.DataFrame
        float64 columns "Frequency / Hz", "Real Impedance / ohm", "Imaginary Impedance / ohm"
        (capacitive points have a negative imaginary part), rows in file order;
        ``attrs["source"]`` is ``path`` as given and ``attrs["format"]`` the format read.

    Raises
    ------
    ValueError
        If the file is not one of the formats, has no usable row, or holds a malformed number
        (the message names the file, and the line where there is one).

    Warns
    -----
    UserWarning
        Once, when rows that are not impedance points (missing or non-finite values, frequency
        zero or negative) were dropped.
    """
    if format is not None and format not in FORMATS:
        raise ValueError(f"unknown format {format!r}; expected one of {', '.join(FORMATS)}")
    name = os.fspath(path)
    raw = Path(name).read_bytes()
    try:
        lines = _lines(_decode(raw))
        if not lines:
            raise FormatError(f"empty file; expected an instrument export or {EXPECTED_COLUMNS}")
        chosen = format or _detect(lines, name)
        frame, note = to_frame(FORMATS[chosen].reader(lines))
    except FormatError as error:
        where = f"{name}, line {error.line}" if error.line is not None else name
        raise ValueError(f"{where}: {error.message}") from None
    if note is not None:
        warnings.warn(f"{name}: {note}", UserWarning, stacklevel=2)
    frame.attrs["source"] = path
    frame.attrs["format"] = chosen
    return frame


def write_csv(frame: pd.DataFrame, path: str | os.PathLike[str]) -> None:
    """Write a spectrum as a battery data format CSV that :func:`read` reads back exactly.

    Parameters
    ----------
    frame
        A frame with the columns "Frequency / Hz", "Real Impedance / ohm" and
        "Imaginary Impedance / ohm"; other columns are not written. Rows are written as they
        are, so rows that are not impedance points come back only as :func:`read`'s warning.
    path
        The file to write (UTF-8, LF line endings).

    Raises
    ------
    ValueError
        If a column is missing or not numeric.
    """
    missing = [column for column in COLUMNS if column not in frame.columns]
    if missing:
        raise ValueError(f"write_csv: frame has no column(s) {', '.join(map(repr, missing))}")
    try:
        values = frame[list(COLUMNS)].to_numpy(dtype=np.float64)
    except (TypeError, ValueError) as error:
        raise ValueError(f"write_csv: the columns {', '.join(COLUMNS)} must be numeric") from error
    # repr is the shortest text that parses back to the same float, bit for bit.
    lines = [",".join(COLUMNS)] + [",".join(repr(float(value)) for value in row) for row in values]
    Path(os.fspath(path)).write_text("\n".join(lines) + "\n", encoding="utf-8")
