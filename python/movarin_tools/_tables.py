"""Text tables of impedance spectra: fields, numbers, column names and the frame they become.

Every instrument reader reduces its file to a :class:`RawTable` (column names and the text fields
of each row, with line numbers); everything after that, from recognising the columns to dropping
rows that are not impedance points, is shared and lives here.
"""

from __future__ import annotations

import math
import re
from dataclasses import dataclass, field

import numpy as np
import pandas as pd

from movarin_tools._spectrum import FREQUENCY, IMAGINARY, REAL

COLUMNS = (FREQUENCY[0], REAL[0], IMAGINARY[0])


class FormatError(Exception):
    """A file that cannot be read; ``read`` adds the file name (and the line, when known)."""

    def __init__(self, message: str, line: int | None = None) -> None:
        super().__init__(message)
        self.message = message
        self.line = line


Row = tuple[int, list[str]]  # (1-based line number, text fields)


@dataclass
class RawTable:
    """Column names (``None``: frequency, Z', Z'' by position) and the rows as text fields."""

    names: list[str] | None
    rows: list[Row] = field(default_factory=list)


# --- fields and numbers -------------------------------------------------------------------------

_NUMBER = re.compile(r"[-+]?(?:\d+\.?\d*|\.\d+)(?:[eE][-+]?\d+)?|[-+]?(?:nan|inf(?:inity)?)", re.I)
_DECIMAL_COMMA = re.compile(r"[-+]?\d*,\d+(?:[eE][-+]?\d+)?")


def guess_delimiter(line: str) -> str | None:
    """The field separator of a table line; ``None`` means runs of whitespace."""
    for delimiter in ("\t", ";", ","):
        if delimiter in line:
            return delimiter
    return None


def _unquote(text: str) -> str:
    text = text.strip()
    if len(text) >= 2 and text[0] == text[-1] == '"':
        return text[1:-1].replace('""', '"').strip()
    return text


def split_fields(line: str, delimiter: str | None) -> list[str]:
    """Split a line into stripped, unquoted fields."""
    if delimiter is None:
        return [_unquote(part) for part in line.split()]
    return [_unquote(part) for part in line.split(delimiter)]


def parse_number(text: str) -> float:
    """Parse one numeric field; an empty field is a missing value (NaN).

    Accepts a decimal comma (``1,5E+003``): callers only reach here with a comma inside a field
    when commas do not separate the fields.

    Raises
    ------
    ValueError
        If ``text`` is not a number.
    """
    if text == "":
        return math.nan
    if "," in text and _DECIMAL_COMMA.fullmatch(text):
        text = text.replace(",", ".")
    # float() alone would also take "1_000" and surrounding blanks; the pattern keeps to numbers
    # as instruments write them. float() rounds correctly, which write_csv's round trip relies on.
    if not _NUMBER.fullmatch(text):
        raise ValueError(text)
    return float(text)


def is_number(text: str) -> bool:
    try:
        parse_number(text)
    except ValueError:
        return False
    return text != ""


# --- column names -------------------------------------------------------------------------------

_NAMES = {
    "frequency": ("freq", "frequency", "f"),
    "real": ("zre", "zreal", "z'", "re(z)", "rez", "realimpedance", "real", "realpart", "zr"),
    "imaginary": (
        "zim", "zimg", "zimag", "z''", "im(z)", "imz", "imaginaryimpedance", "imag", "imaginary",
        "imaginarypart", "zi",
    ),
    "modulus": (
        "|z|", "zmod", "mod(z)", "abs(z)", "modulus", "impedancemodulus", "absoluteimpedance", "z",
    ),
    "phase": (
        "phase", "phase(z)", "zphz", "zphase", "phz", "phi", "theta", "phaseangle", "arg(z)",
    ),
}
_BASE_TO_QUANTITY = {base: quantity for quantity, bases in _NAMES.items() for base in bases}
_BASES = "|".join(map(re.escape, sorted(_BASE_TO_QUANTITY, key=len, reverse=True)))
_COLUMN_NAME = re.compile(
    r"(?P<minus>[-\u2212\u2013])?"
    r"(?P<base>" + _BASES + r")\.?"
    r"(?:/(?P<slash>.+)|\((?P<paren>[^()]*)\)|\[(?P<bracket>[^\[\]]*)\])?",
    re.I,
)
# Primes as typed in other programs, all spelled with ASCII apostrophes before matching.
_PRIMES = str.maketrans({"\u2032": "'", "\u2019": "'", "`": "'", "\u2033": "''", '"': "''"})

_PREFIX_EXPONENT = {
    "": 0, "k": 3, "K": 3, "M": 6, "G": 9, "m": -3, "u": -6, "\u00b5": -6, "\u03bc": -6,
}
# The prefix is case-sensitive (m is milli, M mega); the unit itself is not.
_PREFIX = r"(?P<prefix>(?-i:[kKMGmu\u00b5\u03bc]?))"
_FREQUENCY_UNIT = re.compile(_PREFIX + r"(?:hz|hertz)", re.I)
_IMPEDANCE_UNIT = re.compile(_PREFIX + r"(?:ohms?|\u03a9|\u2126)", re.I)
_RADIAN_UNIT = re.compile(r"rad(?:ians?)?", re.I)


@dataclass(frozen=True)
class Column:
    """A recognised column: what it holds, whether its name carries a minus, its unit."""

    index: int
    quantity: str
    negated: bool
    unit: str

    def decimal_exponent(self) -> int:
        """Power of ten that turns the column's unit into hertz or ohm (0 when unknown)."""
        pattern = _FREQUENCY_UNIT if self.quantity == "frequency" else _IMPEDANCE_UNIT
        match = pattern.fullmatch(self.unit)
        return _PREFIX_EXPONENT[match["prefix"]] if match else 0


def classify(name: str, index: int) -> Column | None:
    """Recognise a column name such as ``Freq/Hz``, ``-Im(Z)/Ohm``, ``Z'' (kOhm)`` or
    ``real_impedance_ohm`` (in snake case the last word may be the unit)."""
    compact = re.sub(r"\s+", "", name.translate(_PRIMES))
    candidates = [compact.replace("_", "")]
    if "_" in compact:
        head, _, unit = compact.rpartition("_")
        candidates.append(f"{head.replace('_', '')}/{unit}")
    match = next(filter(None, map(_COLUMN_NAME.fullmatch, candidates)), None)
    if match is None:
        return None
    unit = match["slash"] or match["paren"] or match["bracket"] or ""
    quantity = _BASE_TO_QUANTITY[match["base"].lower()]
    return Column(index, quantity, match["minus"] is not None, unit)


def pick_columns(names: list[str]) -> list[Column] | None:
    """The frequency column and either the real and imaginary or the modulus and phase columns.

    The first column of each kind counts; ``None`` when the names do not describe a spectrum.
    """
    first: dict[str, Column] = {}
    for index, name in enumerate(names):
        column = classify(name, index)
        if column is not None and column.quantity not in first:
            first[column.quantity] = column
    if "frequency" not in first:
        return None
    for pair in (("real", "imaginary"), ("modulus", "phase")):
        if all(quantity in first for quantity in pair):
            return [first["frequency"], first[pair[0]], first[pair[1]]]
    return None


EXPECTED_COLUMNS = (
    "a header naming a frequency column (e.g. freq, Frequency / Hz) and real and imaginary "
    "columns (e.g. Zre/Z'/Re(Z) and Zim/Z''/-Im(Z)) or modulus and phase columns, "
    "or three numeric columns (frequency, Z', Z'')"
)


# --- from text fields to the frame --------------------------------------------------------------


def _scaled(values: np.ndarray, exponent: int) -> np.ndarray:
    # Dividing by 1000 rounds once, where multiplying by 0.001 would round twice.
    if exponent > 0:
        return values * 10.0**exponent
    if exponent < 0:
        return values / 10.0 ** (-exponent)
    return values


def _column_values(table: RawTable, columns: list[Column]) -> np.ndarray:
    """Parse the chosen columns of every row into a (rows, 3) float array."""
    needed = max(column.index for column in columns) + 1
    values = np.empty((len(table.rows), len(columns)))
    for row, (line, fields) in enumerate(table.rows):
        if len(fields) < needed:
            raise FormatError(
                f"{len(fields)} field(s) where the table has at least {needed}; "
                "is the file truncated?",
                line,
            )
        for position, column in enumerate(columns):
            try:
                values[row, position] = parse_number(fields[column.index])
            except ValueError:
                raise FormatError(f"malformed number {fields[column.index]!r}", line) from None
    return values


def to_frame(table: RawTable) -> tuple[pd.DataFrame, str | None]:
    """Build the battery data format frame; returns it with a note on dropped rows (or None).

    Raises
    ------
    FormatError
        If the columns are not recognised, a number is malformed or no usable row remains.
    """
    if table.names is None:
        columns = [Column(0, "frequency", False, ""), Column(1, "real", False, ""),
                   Column(2, "imaginary", False, "")]
    else:
        picked = pick_columns(table.names)
        if picked is None:
            shown = ", ".join(repr(name) for name in table.names if name)
            raise FormatError(f"columns not recognised ({shown}); expected {EXPECTED_COLUMNS}")
        columns = picked
    if not table.rows:
        raise FormatError("the table has no data rows")

    values = _column_values(table, columns)
    for position, column in enumerate(columns):
        if column.negated:
            values[:, position] = -values[:, position]
        if column.quantity != "phase":
            values[:, position] = _scaled(values[:, position], column.decimal_exponent())
    frequency, first, second = values.T
    if columns[1].quantity == "modulus":
        phase = second if _RADIAN_UNIT.fullmatch(columns[2].unit) else np.deg2rad(second)
        real, imaginary = first * np.cos(phase), first * np.sin(phase)
    else:
        real, imaginary = first, second

    finite = np.isfinite(frequency) & np.isfinite(real) & np.isfinite(imaginary)
    positive = finite & (frequency > 0)
    reasons = []
    if (~finite).any():
        reasons.append(f"{int((~finite).sum())} with a missing or non-finite value")
    if (finite & ~positive).any():
        reasons.append(f"{int((finite & ~positive).sum())} with zero or negative frequency")
    if not positive.any():
        raise FormatError(
            f"no usable row in the table ({len(table.rows)} rows: {', '.join(reasons)})"
        )

    kept = (frequency[positive], real[positive], imaginary[positive])
    frame = pd.DataFrame(dict(zip(COLUMNS, kept)))
    note = None
    if reasons:
        dropped = int((~positive).sum())
        note = f"dropped {dropped} row(s) that are not impedance points: {', '.join(reasons)}"
    return frame, note
