"""Float64 NumPy implementation of the initial-guess inference.

Independent of the C++ code: spectrum scales, featurisation, the residual
convolution network and the output mapping, evaluated from a parsed weight
file (see ovrel.py). The trainer featurises with these same functions, so the
network sees exactly the inputs it will see at inference.
Import it by path: `sys.path.insert(0, "training")`.
"""

import math

import numpy as np

from ovrel import OvrelError

TWO_PI = 6.283185307179586
HALF_PI = 1.5707963267948966
GELU_C = 0.7978845608028654
GROUP_NORM_EPS = 1e-5


# ---------------------------------------------------------------- scales


def _total_order_key(values):
    """int64 keys that sort float64 values in IEEE total order (-NaN < -inf < -0 < +0 < NaN)."""
    bits = np.ascontiguousarray(values, dtype=np.float64).view(np.int64)
    return np.where(bits < 0, bits ^ np.int64(0x7FFFFFFFFFFFFFFF), bits)


def estimate_scales(f, z):
    """(Zs, ws): log-centroid of the capacitive part of the spectrum."""
    f = np.asarray(f, dtype=np.float64)
    z = np.asarray(z, dtype=np.complex128)
    modulus = np.hypot(z.real, z.imag)
    usable = ~((f <= 0) | (modulus <= 0))
    with np.errstate(divide="ignore", invalid="ignore"):
        ratio = -z.imag[usable] / modulus[usable]
        weight = np.where(ratio > 0, ratio, 0.0)  # NaN ratio gives 0
        total = weight.sum()
        if total >= 1e-9:
            omega_scale = math.exp((weight * np.log(TWO_PI * f[usable])).sum() / total)
            z_scale = math.exp((weight * np.log(modulus[usable])).sum() / total)
            return z_scale, omega_scale
        # No capacitive content: geometric mean frequency and upper median modulus.
        omega_scale = math.exp(np.log(TWO_PI * f).mean())
    z_scale = float(modulus[np.argsort(_total_order_key(modulus), kind="stable")][len(modulus) // 2])
    return z_scale, omega_scale


# ---------------------------------------------------------------- features


def continuous_phase(z):
    """atan2 phase with jumps of 2*pi removed, point by point."""
    raw = np.arctan2(z.imag, z.real).tolist()
    phase = raw[:1]
    for a in raw[1:]:
        d = a - phase[-1]
        m = d - TWO_PI * math.floor((d + math.pi) / TWO_PI)
        if m == -math.pi and a > phase[-1]:
            m = math.pi
        phase.append(phase[-1] + m)
    return np.array(phase)


def interpolate(u, x, values):
    """Piecewise-linear, held constant beyond both ends."""
    j = np.clip(np.searchsorted(x, u, side="right") - 1, 0, len(x) - 2)  # last x_j <= u
    x0, x1, v0, v1 = x[j], x[j + 1], values[j], values[j + 1]
    with np.errstate(divide="ignore", invalid="ignore"):
        inside = np.where(x0 == x1, v0, v0 + (v1 - v0) * ((u - x0) / (x1 - x0)))
    return np.where(u <= x[0], values[0], np.where(u >= x[-1], values[-1], inside))


def featurise(n_grid, f, z, scales):
    """(3 x n_grid input, 2 extras) for a spectrum: log-modulus, phase, position."""
    f = np.asarray(f, dtype=np.float64)
    z = np.asarray(z, dtype=np.complex128)
    order = np.argsort(_total_order_key(f), kind="stable")
    f, z = f[order], z[order]
    with np.errstate(divide="ignore", invalid="ignore"):
        x = np.log10(f)
        y = np.log10(np.hypot(z.real, z.imag))
    phase = continuous_phase(z)

    span = x[-1] - x[0]
    step = span / (n_grid - 1) if n_grid > 1 else 0.0
    u = x[0] + np.arange(n_grid) * step

    z_scale, omega_scale = scales
    features = np.empty((3, n_grid))
    features[0] = interpolate(u, x, y) - math.log10(z_scale)
    features[1] = interpolate(u, x, phase) / HALF_PI
    features[2] = (u - math.log10(omega_scale / TWO_PI)) * 0.25
    extras = np.array([span * 0.125, math.log10(len(f)) * 0.5])
    return features, extras


# ---------------------------------------------------------------- network


def gelu(v):
    return 0.5 * v * (1.0 + np.tanh(GELU_C * (v + 0.044715 * v**3)))


def conv1d(model, layer, x, dilation):
    """Zero-padded dilated convolution keeping the length; zero weights are skipped."""
    weight = model.tensor(f"w.{layer}.weight").array()
    bias = model.tensor(f"w.{layer}.bias").values
    n_out, n_in, length = weight.shape[0], x.shape[0], x.shape[1]
    pad = dilation * (model.kernel - 1) // 2
    out = np.repeat(bias[:n_out, None], length, axis=1).astype(np.float64)
    for k in range(model.kernel):
        shift = k * dilation - pad
        lo, hi = max(0, -shift), min(length, length - shift)  # output positions with input inside
        if lo >= hi:
            continue
        w = weight[:, :n_in, k]
        terms = w[:, :, None] * x[None, :, lo + shift : hi + shift]
        terms[np.broadcast_to(w[:, :, None] == 0, terms.shape)] = 0.0
        out[:, lo:hi] += terms.sum(axis=1)
    return out


def group_norm(model, layer, x):
    """Per-group normalisation with population variance; trailing channels untouched."""
    weight = model.tensor(f"w.{layer}.weight").values
    bias = model.tensor(f"w.{layer}.bias").values
    per_group = x.shape[0] // model.groups
    out = x.copy()
    for j in range(model.groups):
        chans = slice(j * per_group, (j + 1) * per_group)
        block = x[chans]
        mean = block.sum() / block.size
        variance = ((block - mean) ** 2).sum() / block.size
        inv = 1.0 / math.sqrt(variance + GROUP_NORM_EPS)
        out[chans] = (block - mean) * inv * weight[chans, None] + bias[chans, None]
    return out


def linear(model, layer, v):
    weight = model.tensor(f"w.{layer}.weight").array()
    bias = model.tensor(f"w.{layer}.bias").values
    if len(v) != weight.shape[1]:
        raise OvrelError(f"tensor {layer} has {len(v)} elements, expected {weight.shape[1]}")
    return bias[: weight.shape[0]] + weight @ v


def run_network(model, features, extras):
    x = conv1d(model, "stem", features, 1)
    for i, dilation in enumerate(model.dilations):
        h = gelu(group_norm(model, f"blocks.{i}.norm1", conv1d(model, f"blocks.{i}.conv1", x, dilation)))
        h = group_norm(model, f"blocks.{i}.norm2", conv1d(model, f"blocks.{i}.conv2", h, dilation))
        x = gelu(x + h)
    pooled = np.concatenate([x.mean(axis=1), np.fmax.reduce(x, axis=1, initial=-np.inf), extras])
    hidden = gelu(linear(model, "head.0", pooled))
    hidden = gelu(linear(model, "head.2", hidden))
    return linear(model, "head.4", hidden)


# ---------------------------------------------------------------- outputs


def map_outputs(model, outputs, scales):
    """Undo the target normalisation and restore physical units."""
    count = len(model.param_names)
    v = outputs[:count] * model.target_std[:count] + model.target_mean[:count]
    log = model.log_params[:count]
    v = np.where(log, 10.0**v, v)
    clamped = np.minimum(np.maximum(v, model.alpha_min), model.alpha_max)
    v = np.where(log | np.isnan(v), v, clamped)
    z_scale, omega_scale = scales
    values = np.empty(count)
    for j, row in enumerate(model.scaling[:count]):
        exponent = row.c * v[row.k] if row.k >= 0 else 0.0
        values[j] = z_scale**row.a * v[j] * omega_scale ** (row.b + exponent)
    return values


def predict_parameters(model, f, z):
    n = min(len(f), len(z))
    if n < 2:
        raise OvrelError(f"need at least 2 frequency points to guess, got {n}")
    f = np.asarray(f, dtype=np.float64)[:n]
    z = np.asarray(z, dtype=np.complex128)[:n]
    scales = estimate_scales(f, z)
    features, extras = featurise(model.n_grid, f, z, scales)
    return map_outputs(model, run_network(model, features, extras), scales)
