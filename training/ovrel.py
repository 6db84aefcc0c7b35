"""Reader and writer of `.ovrel` weight files, in plain Python and NumPy.

The reader follows the module's loader step by step (same order of checks,
same error texts), so the tests can use it as an independent reference.
Import it by path (no package-relative imports): `sys.path.insert(0, "training")`.
"""

import math
import re
import struct
from dataclasses import dataclass, field

import numpy as np

MAGIC = b"OVREL001"
ESTIMATORS = ("reactive_centroid",)

ENCODING_F32 = 0
ENCODING_F16 = 1
ENCODING_I8 = 2

_UNSIGNED = re.compile(r"\+?[0-9]+")
_REAL = re.compile(
    r"[+-]?(([0-9]+\.?[0-9]*|\.[0-9]+)([eE][+-]?[0-9]+)?|inf|infinity|nan)",
    re.IGNORECASE,
)


class OvrelError(ValueError):
    """A weight file that cannot be read; the message is the loader's text."""


@dataclass
class Tensor:
    dims: tuple
    values: np.ndarray  # float64, flat, row-major, at least one value

    def array(self):
        """Values shaped by dims (a zero dimension gives an empty array)."""
        count = math.prod(self.dims)
        return self.values[:count].reshape(self.dims)


@dataclass
class ScalingRow:
    a: float
    b: float
    c: float
    k: int  # index of the exponent that scales this parameter; negative: none


@dataclass
class WeightModel:
    circuit: str
    param_names: list
    dilations: list
    target_mean: np.ndarray
    target_std: np.ndarray
    log_params: np.ndarray  # bool
    scaling: list
    tensors: dict
    n_grid: int
    channels: int
    kernel: int
    groups: int
    alpha_min: float
    alpha_max: float
    header: dict = field(default_factory=dict)

    def tensor(self, name):
        if name not in self.tensors:
            raise OvrelError(f"weight file is missing {name}")
        return self.tensors[name]


# ---------------------------------------------------------------- decoding


def decode_half(words):
    """Widen binary16 words to float64 by the sign/exponent/mantissa rule."""
    words = np.asarray(words, dtype=np.uint16).astype(np.int64)
    sign = np.where(words & 0x8000, -1.0, 1.0)
    exponent = (words >> 10) & 0x1F
    mantissa = (words & 0x3FF).astype(np.float64)
    normal = np.ldexp(1.0 + mantissa / 1024.0, (exponent - 15).astype(np.int32))
    subnormal = np.ldexp(mantissa, -24)
    special = np.where(mantissa == 0, np.inf, np.nan)
    magnitude = np.where(exponent == 0, subnormal, np.where(exponent == 31, special, normal))
    return sign * magnitude


class _Cursor:
    """Reads forward through the bytes; any short read is a truncated file."""

    def __init__(self, data):
        self.data = bytes(data)
        self.pos = 0

    def take(self, count):
        if count > len(self.data) - self.pos:
            raise OvrelError("weight file is truncated")
        chunk = self.data[self.pos : self.pos + count]
        self.pos += count
        return chunk

    def u8(self):
        return self.take(1)[0]

    def u32(self):
        return struct.unpack("<I", self.take(4))[0]

    def text(self):
        raw = self.take(self.u32())
        try:
            return raw.decode("utf-8")
        except UnicodeDecodeError:
            raise OvrelError("weight file is truncated") from None


def _read_payload(cursor, encoding, count):
    if encoding == ENCODING_F32:
        return np.frombuffer(cursor.take(4 * count), dtype="<f4").astype(np.float64)
    if encoding == ENCODING_F16:
        return decode_half(np.frombuffer(cursor.take(2 * count), dtype="<u2"))
    if encoding == ENCODING_I8:
        scale = float(np.frombuffer(cursor.take(4), dtype="<f4")[0])
        quantised = np.frombuffer(cursor.take(count), dtype=np.int8).astype(np.float64)
        return quantised * scale
    raise OvrelError(f"weight file uses tensor encoding {encoding}, which this build does not know")


def _read_tensor(cursor):
    name = cursor.text()
    encoding = cursor.u8()
    rank = cursor.u8()
    dims = tuple(cursor.u32() for _ in range(rank))
    count = max(math.prod(dims), 1)  # a zero dimension still stores one value
    return name, Tensor(dims, _read_payload(cursor, encoding, count))


# ---------------------------------------------------------------- header values


def _header(header, key):
    if key not in header:
        raise OvrelError(f"weight file is missing {key}")
    return header[key]


def _unparsable(key):
    return OvrelError(f"weight file has an unparsable value for {key}")


def parse_unsigned(text, key):
    if not _UNSIGNED.fullmatch(text) or int(text) >= 2**64:
        raise _unparsable(key)
    return int(text)


def parse_real(text, key):
    if not _REAL.fullmatch(text):
        raise _unparsable(key)
    return float(text)


def _scaling_index(value):
    """Round half away from zero, saturate to int32; NaN means index 0."""
    if math.isnan(value):
        return 0
    if math.isinf(value):
        return 2**31 - 1 if value > 0 else -(2**31)
    rounded = math.floor(abs(value) + 0.5) * (1 if value >= 0 else -1)
    return max(-(2**31), min(2**31 - 1, rounded))


def _scaling_rows(values):
    return [
        ScalingRow(float(values[i]), float(values[i + 1]), float(values[i + 2]), _scaling_index(float(values[i + 3])))
        for i in range(0, len(values), 4)
    ]


def _tensor_values(tensors, name):
    if name not in tensors:
        raise OvrelError(f"weight file is missing {name}")
    return tensors[name].values


# ---------------------------------------------------------------- reading


def parse_weight_file(data):
    """Parse the bytes of a weight file into a WeightModel (raises OvrelError)."""
    if len(data) < 8:
        raise OvrelError("weight file is truncated")
    cursor = _Cursor(data)
    if cursor.take(8) != MAGIC:
        raise OvrelError("not an ovrel weight file (bad magic bytes)")

    header = {}
    for _ in range(cursor.u32()):
        key = cursor.text()
        header[key] = cursor.text()  # a repeated key: the later value wins
    tensors = {}
    for _ in range(cursor.u32()):
        name, tensor = _read_tensor(cursor)
        tensors[name] = tensor

    target_mean = _tensor_values(tensors, "target_mean")
    target_std = _tensor_values(tensors, "target_std")
    log_params = _tensor_values(tensors, "log_params") != 0  # NaN counts as true
    scaling = _tensor_values(tensors, "scaling")
    if len(scaling) != 4 * len(target_mean):
        raise OvrelError(f"tensor scaling has {len(scaling)} elements, expected {4 * len(target_mean)}")

    dilations = [parse_unsigned(piece.strip(), "dilations") for piece in _header(header, "dilations").split(",")]
    estimator = _header(header, "estimator")
    if estimator not in ESTIMATORS:
        raise OvrelError(
            f"weight file was normalised with the {estimator} scale estimator, which this build "
            f"does not implement (supported: {', '.join(ESTIMATORS)})"
        )
    circuit = _header(header, "circuit")
    param_names = _header(header, "param_names").split(",")
    sizes = {key: parse_unsigned(_header(header, key), key) for key in ("n_grid", "channels", "kernel", "groups")}
    limits = {key: parse_real(_header(header, key), key) for key in ("alpha_min", "alpha_max")}

    return WeightModel(
        circuit=circuit,
        param_names=param_names,
        dilations=dilations,
        target_mean=target_mean,
        target_std=target_std,
        log_params=log_params,
        scaling=_scaling_rows(scaling),
        tensors=tensors,
        header=header,
        **sizes,
        **limits,
    )


def read_weight_file(path):
    with open(path, "rb") as handle:
        return parse_weight_file(handle.read())


# ---------------------------------------------------------------- writing


def _text(value):
    raw = value.encode("utf-8")
    return struct.pack("<I", len(raw)) + raw


def _payload(encoding, array):
    flat = np.asarray(array, dtype=np.float64).reshape(-1)
    if flat.size == 0:
        flat = np.zeros(1)  # a zero dimension still stores one value
    if encoding == ENCODING_F32:
        return flat.astype("<f4").tobytes()
    if encoding == ENCODING_F16:
        return flat.astype("<f2").tobytes()
    if encoding == ENCODING_I8:
        peak = float(np.max(np.abs(flat)))
        scale = np.float32(peak / 127.0 if peak > 0 else 1.0)
        quantised = np.clip(np.round(flat / float(scale)), -127, 127).astype(np.int8)
        return scale.astype("<f4").tobytes() + quantised.tobytes()
    raise ValueError(f"cannot write tensor encoding {encoding}")


def encode_weight_file(header, tensors):
    """Serialise a weight file.

    header: sequence of (key, value) text pairs, written in the given order.
    tensors: sequence of (name, encoding, array) written in the given order.
    """
    parts = [MAGIC, struct.pack("<I", len(header))]
    for key, value in header:
        parts += [_text(key), _text(value)]
    parts.append(struct.pack("<I", len(tensors)))
    for name, encoding, array in tensors:
        shape = np.shape(array)
        parts += [_text(name), struct.pack("<BB", encoding, len(shape))]
        parts += [struct.pack("<I", dim) for dim in shape]
        parts.append(_payload(encoding, array))
    return b"".join(parts)


def write_weight_file(path, header, tensors):
    data = encode_weight_file(header, tensors)
    with open(path, "wb") as handle:
        handle.write(data)
    return len(data)
