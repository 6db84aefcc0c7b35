"""Synthetic training spectra for the initial-guess networks.

Independent log-uniform parameter draws would put most arcs outside the
measured window, so each spectrum first draws a frequency grid and then
places its time constants relative to that grid. Spectra are evaluated with
the module's own `impedance`, and features/targets come from reference.py,
exactly as the module computes them at inference.
"""

import math
from dataclasses import dataclass

import movarin
import numpy as np

import reference

N_GRID = 64
TWO_PI = reference.TWO_PI

# Topology of each stored model: series inductor, number of arcs, CPE or ideal
# capacitor, and the diffusion element in series with the last arc's resistor.
STRUCTURE = {
    "rc": (False, 1, False, None),
    "rc_l": (True, 1, False, None),
    "rq": (False, 1, True, None),
    "rq_l": (True, 1, True, None),
    "two_rc": (False, 2, False, None),
    "two_rc_l": (True, 2, False, None),
    "two_rq": (False, 2, True, None),
    "two_rq_l": (True, 2, True, None),
    "randles": (False, 1, True, "W"),
    "sei_randles": (False, 2, True, "W"),
    "sei_randles_wo": (False, 2, True, "Wo"),
}

# (log10 f_max, log10 f_min, points) of common instrument sweeps; the third is
# 10 points per decade except for the 50-point sweep used in the examples.
INSTRUMENT_GRIDS = [
    (6, -2, 81), (5, -1, 61), (5, -2, 71), (4, -1, 51), (6, -1, 71), (5, -3, 41), (5, -1, 50), (4, -2, 61),
]

# ScalingRow (a, b, c) per parameter kind; q's exponent index is filled in per circuit.
SCALING = {
    "r": (1.0, 0.0, 0.0), "z0": (1.0, 0.0, 0.0), "c": (-1.0, -1.0, 0.0), "l": (1.0, -1.0, 0.0),
    "aw": (1.0, 0.5, 0.0), "tau": (0.0, -1.0, 0.0), "q": (-1.0, 0.0, -1.0), "alpha": (0.0, 0.0, 0.0),
}


def scaling_table(param_names):
    """(P, 4) scaling rows and the (P,) log flags for a flat parameter list."""
    rows, log_flags = [], []
    for name in param_names:
        element, kind = name.split(".")
        k = param_names.index(element + ".alpha") if kind == "q" else -1
        rows.append([*SCALING[kind], k])
        log_flags.append(0.0 if kind == "alpha" else 1.0)
    return np.array(rows, dtype=np.float64), np.array(log_flags, dtype=np.float64)


def raw_targets(params, scaling, log_flags, scales):
    """Targets that map_outputs turns back into `params` (before normalisation)."""
    log_z, log_w = math.log10(scales[0]), math.log10(scales[1])
    targets = np.empty(len(params))
    for j, (a, b, c, k) in enumerate(scaling):
        if not log_flags[j]:
            targets[j] = params[j]
            continue
        exponent = c * params[int(k)] if k >= 0 else 0.0
        targets[j] = math.log10(params[j]) - a * log_z - (b + exponent) * log_w
    return targets


# ---------------------------------------------------------------- frequency grids


def draw_grid(rng):
    """Measurement frequencies in the order an instrument would report them."""
    if rng.random() < 0.1:
        hi, lo, n = INSTRUMENT_GRIDS[rng.integers(len(INSTRUMENT_GRIDS))]
        f = np.logspace(hi, lo, n)
    else:
        log_fmax = rng.uniform(2.0, 6.3)
        span = rng.uniform(1.0, 2.5) if rng.random() < 0.1 else rng.uniform(2.5, 8.0)
        log_fmin = max(log_fmax - span, -4.0)
        n = int(np.clip(round(rng.uniform(5, 15) * (log_fmax - log_fmin)) + 1, 8, 200))
        f = np.logspace(log_fmax, log_fmin, n)
    if rng.random() < 0.3:  # instruments drop points that fail their quality checks
        keep = rng.random(len(f)) >= rng.uniform(0.0, 0.15)
        keep[[0, -1]] = True
        f = f[keep]
    return f if rng.random() < 0.5 else f[::-1].copy()


# ---------------------------------------------------------------- parameters


def log_uniform(rng, lo, hi):
    return 10.0 ** rng.uniform(math.log10(lo), math.log10(hi))


def arc_values(rng, label, resistance, log_fc, cpe):
    """Values of one (R, C) or (R, CPE) pair relaxing at 10**log_fc Hz."""
    tau = 1.0 / (TWO_PI * 10.0**log_fc)
    values = {f"R{label}.r": resistance}
    if cpe:
        alpha = rng.uniform(0.5, 1.0)
        values[f"CPE{label}.q"] = tau**alpha / resistance
        values[f"CPE{label}.alpha"] = alpha
    else:
        values[f"C{label}.c"] = tau / resistance
    return values


@dataclass
class Draw:
    values: dict  # parameter name -> value
    log_times: list  # log10 characteristic frequencies that must be inside the window to be identifiable


def draw_parameters(name, rng, log_fmin, log_fmax, r1_range=(1e-2, 1e5)):
    inductor, arcs, cpe, diffusion = STRUCTURE[name]
    r1 = log_uniform(rng, *r1_range)
    resistances = [r1, r1 * log_uniform(rng, 10**-1.5, 10**1.5)][:arcs]
    # The two arcs are exchangeable, so the label is fixed by rule: arc 1 is the faster one.
    log_fcs = sorted(rng.uniform(log_fmin - 0.75, log_fmax + 0.75, size=arcs), reverse=True)
    values = {"R0.r": r1 * log_uniform(rng, 1e-3, 10.0)}
    for i, (r, log_fc) in enumerate(zip(resistances, log_fcs), start=1):
        values.update(arc_values(rng, i, r, log_fc, cpe))
    log_times = list(log_fcs)

    last = arcs
    if diffusion == "W":
        log_fw = rng.uniform(log_fmin - 1.0, log_fcs[-1] + 0.5)
        values[f"W{last}.aw"] = resistances[-1] * math.sqrt(TWO_PI * 10.0**log_fw / 2.0)
    elif diffusion == "Wo":
        log_fd = rng.uniform(log_fmin - 1.0, log_fcs[-1] + 0.5)
        values[f"Wo{last}.z0"] = resistances[-1] * log_uniform(rng, 0.1, 10.0)
        values[f"Wo{last}.tau"] = 1.0 / (TWO_PI * 10.0**log_fd)
        log_times.append(log_fd)
    if inductor:
        values["L0.l"] = 0.0  # place_inductance sets it once the rest of the circuit is known
    return Draw(values, log_times)


def place_inductance(circuit, draw, rng, f_max):
    """Series inductance whose reactance at f_max is rho times |Z| of the rest."""
    names = circuit.param_names()
    rest = abs(circuit.with_values([draw.values[n] for n in names]).impedance(np.array([f_max]))[0])
    w_max = TWO_PI * f_max
    draw.values["L0.l"] = log_uniform(rng, 1e-2, 10.0) * rest / w_max


# ---------------------------------------------------------------- spectra


def add_noise(z, rng, sigma):
    return z + sigma * np.abs(z) * (rng.standard_normal(len(z)) + 1j * rng.standard_normal(len(z)))


@dataclass(frozen=True)
class NoiseModel:
    """Relative noise: a fraction of clean spectra, the rest with sigma ~ LU(low, high).

    Weighted towards 0.1-3% noise: with most spectra nearly clean, the networks
    learned to follow the points rather than average them, and did worse on
    spectra at 1% noise (rc capacitance 1.7% median error against 1.2%).
    """

    noiseless: float = 0.1
    low: float = 5e-4
    high: float = 3e-2

    def draw_sigma(self, rng):
        return 0.0 if rng.random() < self.noiseless else log_uniform(rng, self.low, self.high)


@dataclass(frozen=True)
class MeasuredMix:
    """What instruments add to a spectrum, applied to a share of the spectra.

    Measured spectra carry what the plain recipe never shows: cable inductance
    turning the top points inductive, junk points at the top frequencies, sweeps
    that stop before the high-frequency intercept or inside the slowest arc,
    outliers and noise up to 5%, milliohm cells and megaohm coatings. The targets stay the circuit's parameters, so the
    network learns to look past what the circuit does not model; for a circuit
    with a series inductor the cable inductance is part of that inductor.

    `fraction` is the share of spectra that get this treatment; each of them then
    draws every effect independently with the probability given.
    """

    fraction: float = 0.0
    inductive: float = 0.6  # cable inductance making the top 1-10 points inductive
    junk: float = 0.1  # 1-5 points scattered by 20-100% at the top frequencies
    cut_high: float = 0.15  # sweep ends below the fastest time constant: no high-frequency intercept
    cut_low: float = 0.15  # sweep ends inside the slowest arc
    wide_range: float = 0.3  # R1 ~ LU(1e-4, 1e7): milliohm cells (q up to ~1e3) to megaohm coatings
    wide_r1: tuple = (1e-4, 1e7)
    noise_low: float = 1e-3
    noise_high: float = 5e-2
    outliers: float = 0.2  # 1-3 points off by 10-30% anywhere in the sweep

    def applies(self, rng):
        # No draw at all when off, so the plain synthetic stream stays what it was.
        return self.fraction > 0.0 and rng.random() < self.fraction


MIN_POINTS = 8


def cut_window(f, log_times, rng, mix):
    """Drop the top of the sweep below the fastest time constant and/or the bottom inside the slowest."""
    keep = np.ones(len(f), dtype=bool)
    log_f = np.log10(f)
    if rng.random() < mix.cut_high:
        keep &= log_f <= max(log_times) - rng.uniform(-0.3, 0.6)
    if rng.random() < mix.cut_low:
        keep &= log_f >= min(log_times) + rng.uniform(-0.3, 0.6)
    kept = f[keep]
    # A cut that leaves too little to fit is not a sweep anyone would record.
    if len(kept) < MIN_POINTS or math.log10(kept.max() / kept.min()) < 1.0:
        return f
    return kept


def cable_inductance(f, z, rng):
    """Series inductance that turns the top 1-10 points inductive (positive imaginary part)."""
    order = np.argsort(f)[::-1]
    omega = TWO_PI * f[order]
    # Inductance at which each point's imaginary part crosses zero, fastest first.
    crossing = np.maximum(-z.imag[order], 0.0) / omega
    count = min(int(rng.integers(1, 11)), len(f) - MIN_POINTS)
    if count < 1:
        return 0.0
    low = max(np.max(crossing[:count]), 1e-300)
    high = crossing[count] if crossing[count] > low * 1.0001 else 2.0 * low
    return log_uniform(rng, low * 1.0001, high)


def scatter_points(z, index, rng, low, high):
    size = np.array([log_uniform(rng, low, high) for _ in index])
    z[index] += size * np.abs(z[index]) * (rng.standard_normal(len(index)) + 1j * rng.standard_normal(len(index)))


def measured_spectrum(name, circuit, rng, mix):
    """(f, z, parameters, inside-window flag) of one spectrum as an instrument would report it."""
    f = draw_grid(rng)
    log_fmin, log_fmax = math.log10(f.min()), math.log10(f.max())
    r1_range = mix.wide_r1 if rng.random() < mix.wide_range else (1e-2, 1e5)
    draw = draw_parameters(name, rng, log_fmin, log_fmax, r1_range)
    if "L0.l" in draw.values:
        place_inductance(circuit, draw, rng, f.max())
    f = cut_window(f, draw.log_times, rng, mix)
    names = circuit.param_names()
    z = circuit.with_values([draw.values[n] for n in names]).impedance(f)
    if rng.random() < mix.inductive:
        cable = cable_inductance(f, z, rng)
        z = z + 1j * TWO_PI * f * cable
        if "L0.l" in draw.values:
            draw.values["L0.l"] += cable
    z = add_noise(z, rng, log_uniform(rng, mix.noise_low, mix.noise_high))
    if rng.random() < mix.outliers:
        scatter_points(z, rng.choice(len(f), size=rng.integers(1, 4), replace=False), rng, 0.1, 0.3)
    if rng.random() < mix.junk:
        top = np.argsort(f)[::-1][: rng.integers(1, 6)]
        scatter_points(z, top, rng, 0.2, 1.0)
    params = np.array([draw.values[n] for n in names])
    log_fmin, log_fmax = math.log10(f.min()), math.log10(f.max())
    inside = all(log_fmin + 0.5 <= t <= log_fmax - 0.5 for t in draw.log_times)
    return f, z, params, inside


def draw_spectrum(name, circuit, rng, sigma=None, noise=NoiseModel(), measured=MeasuredMix()):
    """(f, noisy z, parameters in flat order, inside-window flag).

    A fixed sigma overrides `noise`; `measured` turns a share of the spectra into
    measured-like ones (off by default).
    """
    if measured.applies(rng):
        return measured_spectrum(name, circuit, rng, measured)
    f = draw_grid(rng)
    log_fmin, log_fmax = math.log10(f.min()), math.log10(f.max())
    draw = draw_parameters(name, rng, log_fmin, log_fmax)
    if "L0.l" in draw.values:
        place_inductance(circuit, draw, rng, f.max())
    params = np.array([draw.values[n] for n in circuit.param_names()])
    z = circuit.with_values(params.tolist()).impedance(f)
    z = add_noise(z, rng, noise.draw_sigma(rng) if sigma is None else sigma)
    inside = all(log_fmin + 0.5 <= t <= log_fmax - 0.5 for t in draw.log_times)
    return f, z, params, inside


@dataclass
class Dataset:
    features: np.ndarray  # (N, 3, N_GRID) float32
    extras: np.ndarray  # (N, 2) float32
    targets: np.ndarray  # (N, P) float64, before normalisation
    params: np.ndarray  # (N, P) true values
    inside: np.ndarray  # (N,) bool
    spectra: list  # (f, z) pairs, kept only when asked for


def build_dataset(name, count, seed, sigma=None, noise=NoiseModel(), measured=MeasuredMix(), keep_spectra=False):
    rng = np.random.default_rng(seed)
    circuit = movarin.Circuit(name)
    scaling, log_flags = scaling_table(circuit.param_names())
    features = np.empty((count, 3, N_GRID), dtype=np.float32)
    extras = np.empty((count, 2), dtype=np.float32)
    targets = np.empty((count, len(log_flags)))
    params = np.empty_like(targets)
    inside = np.empty(count, dtype=bool)
    spectra = []
    i = 0
    while i < count:
        f, z, p, ins = draw_spectrum(name, circuit, rng, sigma, noise, measured)
        scales = reference.estimate_scales(f, z)
        x, e = reference.featurise(N_GRID, f, z, scales)
        t = raw_targets(p, scaling, log_flags, scales)
        if not (np.all(np.isfinite(x)) and np.all(np.isfinite(t))):
            continue  # overflowed draws teach nothing; draw again
        features[i], extras[i], targets[i], params[i], inside[i] = x, e, t, p, ins
        if keep_spectra:
            spectra.append((f, z))
        i += 1
    return Dataset(features, extras, targets, params, inside, spectra)
