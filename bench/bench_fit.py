"""Fits of synthetic spectra: movarin against impedance.py and SciPy, measured in one run.

For each circuit, 100 parameter sets are drawn log-uniformly (alpha uniformly) from the ranges in
CASES, with fixed random seeds. Each set gives a noiseless spectrum (50 log-spaced points,
0.1 Hz - 100 kHz) and a noisy twin: every point gets 1% complex Gaussian noise,
Z + 0.01 |Z| (e1 + j e2) with e1, e2 standard normal. Every fitter fits both spectra, so each row
below is 200 fits:

- movarin, default       `Circuit(text).fit(f, z)`: the machine-learning start from the stored
                         model for the circuit;
- movarin, user start    `Circuit(text).with_values(start).fit(f, z, guess_init=False)`;
- impedance.py           `CustomCircuit(peer_text, initial_guess=start).fit(f, z,
                         weight_by_modulus=True)`: the same objective as movarin's default
                         "modulus" weight;
- SciPy least_squares    `least_squares(circuit.residuals, start, jac=circuit.jacobian,
                         bounds=param_bounds())` with its default trust-region method and
                         tolerances, so it minimises exactly movarin's residuals (computed by
                         movarin) and differs only in the solver.

`start` is the order-of-magnitude guess a user would type, one fixed vector per circuit (below).
A second, harder set per circuit draws from wider ranges (arcs anywhere in the window, closer
arcs, exponents down to 0.6) and keeps only spectra whose parameters are all identifiable: the
Cramer-Rao standard deviation of every parameter at 1% noise, sqrt(0.01^2 (J^T J)^-1)_jj with J
the modulus-weighted Jacobian at the truth, is at most 2.5% of its value. There a converged fit
can recover each parameter, so a failure is the fitter's.

A fit succeeds when, on the noiseless spectrum, every parameter is within 5% of the truth (for
two_rq with the two arcs in either order), or, on the noisy twin, its cost 1/2 sum r^2 (modulus
weights) is at most the cost of the true parameters (plus 1e-9 relative, for rounding). A fitter
that raises counts as a failure.

A last table splits movarin's default fit of the noisy spectra into its stages, each timed on
its own through the public API: the network's guess (`Circuit.guess`), the local fit from it
(`fit(..., guess_init=False)` from the guessed values, less the statistics), and the statistics
(one residual vector and one Jacobian at the result, what the fit computes for cost and standard
errors); and it gives default fits per second from 1 and 2 Python threads over the same spectra.

Needs impedance.py (and with it SciPy): `.venv/bin/pip install impedance`. Run:

    .venv/bin/python bench/bench_fit.py
"""

import statistics
import time
import warnings
from concurrent.futures import ThreadPoolExecutor

import numpy as np
from impedance.models.circuits import CustomCircuit
from scipy.optimize import least_squares

import movarin

FREQUENCIES = np.logspace(-1, 5, 50)
SETS = 100
NOISE = 0.01
PARAMETER_TOLERANCE = 0.05
CRAMER_RAO_LIMIT = 0.025
COST_SLACK = 1e-9
THROUGHPUT_ROUNDS = 20


def log_uniform(rng, lo, hi):
    return float(np.exp(rng.uniform(np.log(lo), np.log(hi))))


def rc_parameters(rng):
    # Arc at 1 / (2 pi tau1): 0.16 Hz - 1.6 kHz.
    r0, r1 = log_uniform(rng, 1, 100), log_uniform(rng, 10, 1000)
    tau1 = log_uniform(rng, 1e-4, 1)
    return [r0, r1, tau1 / r1]


def randles_parameters(rng):
    # Arc at 16 Hz - 16 kHz; the Warburg term at 0.1 Hz is 0.1 to 1 times R1.
    r0, r1 = log_uniform(rng, 1, 100), log_uniform(rng, 10, 1000)
    tau1, alpha = log_uniform(rng, 1e-5, 1e-2), rng.uniform(0.75, 0.95)
    aw = r1 * log_uniform(rng, 0.05, 0.5)
    return [r0, r1, aw, tau1**alpha / r1, alpha]


def two_rq_parameters(rng):
    # Two separated arcs: 160 Hz - 16 kHz and 0.16 Hz - 16 Hz.
    r0, r1, r2 = log_uniform(rng, 1, 100), log_uniform(rng, 10, 1000), log_uniform(rng, 10, 1000)
    tau1, tau2 = log_uniform(rng, 1e-5, 1e-3), log_uniform(rng, 1e-2, 1)
    alpha1, alpha2 = rng.uniform(0.75, 0.95), rng.uniform(0.75, 0.95)
    return [r0, r1, tau1**alpha1 / r1, alpha1, r2, tau2**alpha2 / r2, alpha2]


def wide_rc_parameters(rng):
    # Arc anywhere from 0.1 Hz to 100 kHz, series resistance 1/100 to 10 times the arc.
    r1 = log_uniform(rng, 1, 1e4)
    r0 = r1 * log_uniform(rng, 1e-2, 10)
    tau1 = log_uniform(rng, 1.6e-6, 1.6)
    return [r0, r1, tau1 / r1]


def wide_randles_parameters(rng):
    r1 = log_uniform(rng, 1, 1e4)
    r0 = r1 * log_uniform(rng, 1e-2, 10)
    tau1, alpha = log_uniform(rng, 1.6e-6, 1.6e-1), rng.uniform(0.6, 1.0)
    aw = r1 * log_uniform(rng, 0.01, 2)
    return [r0, r1, aw, tau1**alpha / r1, alpha]


def wide_two_rq_parameters(rng):
    # Arcs one to four decades apart, anywhere in the window.
    r1 = log_uniform(rng, 1, 1e4)
    r0, r2 = r1 * log_uniform(rng, 1e-2, 10), r1 * log_uniform(rng, 0.1, 10)
    tau1 = log_uniform(rng, 1.6e-6, 1.6e-2)
    tau2 = tau1 * log_uniform(rng, 10, 1e4)
    alpha1, alpha2 = rng.uniform(0.6, 1.0), rng.uniform(0.6, 1.0)
    return [r0, r1, tau1**alpha1 / r1, alpha1, r2, tau2**alpha2 / r2, alpha2]


def cramer_rao_deviation(circuit, truth):
    """The largest relative standard deviation a converged fit reaches at the benchmark noise."""
    z = circuit.with_values(truth).impedance(FREQUENCIES)
    jacobian = np.asarray(circuit.jacobian(truth, FREQUENCIES, z))
    try:
        covariance = NOISE**2 * np.linalg.inv(jacobian.T @ jacobian)
    except np.linalg.LinAlgError:
        return np.inf
    return float(np.max(np.sqrt(np.abs(np.diag(covariance))) / np.abs(truth)))


def identifiable(text, draw):
    """A draw whose every parameter is within CRAMER_RAO_LIMIT, redrawn until one is."""
    circuit = movarin.Circuit(text)

    def redraw(rng):
        while True:
            truth = draw(rng)
            if cramer_rao_deviation(circuit, truth) <= CRAMER_RAO_LIMIT:
                return truth

    return redraw


def as_given(truth):
    return [truth]


def either_arc_first(truth):
    # The two (R, CPE) pairs are interchangeable: both orders give the same spectrum.
    r0, r1, q1, alpha1, r2, q2, alpha2 = truth
    return [truth, [r0, r2, q2, alpha2, r1, q1, alpha1]]


# name, movarin circuit, impedance.py circuit, parameter draw, the start a user would type, the
# parameter vectors equivalent to a truth
CASES = [
    ("rc", "R0-(R1,C1)", "R0-p(R1,C1)", rc_parameters, [10.0, 100.0, 1e-4], as_given),
    ("randles", "R0-(R1-W1,CPE1)", "R0-p(R1-W1,CPE1)", randles_parameters,
     [10.0, 100.0, 10.0, 1e-5, 0.9], as_given),
    ("two_rq", "R0-(R1,CPE1)-(R2,CPE2)", "R0-p(R1,CPE1)-p(R2,CPE2)", two_rq_parameters,
     [10.0, 100.0, 1e-5, 0.9, 100.0, 1e-3, 0.9], either_arc_first),
]


HARD_CASES = [
    (name, text, peer_text, wide, start, equivalents)
    for (name, text, peer_text, _, start, equivalents), wide in zip(
        CASES, [wide_rc_parameters, wide_randles_parameters, wide_two_rq_parameters])
]


def spectra(text, draw, seed):
    """(truth, frequencies, impedances, noisy) per parameter set."""
    rng = np.random.default_rng(seed)
    circuit = movarin.Circuit(text)
    for _ in range(SETS):
        truth = draw(rng)
        z = circuit.with_values(truth).impedance(FREQUENCIES)
        noise = NOISE * np.abs(z) * (rng.standard_normal(z.size) + 1j * rng.standard_normal(z.size))
        yield truth, z, False
        yield truth, z + noise, True


def cost(circuit, params, z):
    r = np.asarray(circuit.residuals(params, FREQUENCIES, z))
    return 0.5 * float(r @ r)


def succeeded(circuit, truth, equivalents, fitted, z, noisy):
    if fitted is None or not np.all(np.isfinite(fitted)):
        return False
    if noisy:
        return cost(circuit, fitted, z) <= cost(circuit, truth, z) * (1 + COST_SLACK)
    return any(np.all(np.abs(np.asarray(fitted) / np.asarray(same) - 1) <= PARAMETER_TOLERANCE)
               for same in equivalents(truth))


def fitters(text, peer_text, start):
    parsed = movarin.Circuit(text)
    started = parsed.with_values(start)
    lo, hi = zip(*parsed.param_bounds())

    def movarin_default(z):
        return list(parsed.fit(FREQUENCIES, z).params.values())

    def movarin_user_start(z):
        return list(started.fit(FREQUENCIES, z, guess_init=False).params.values())

    def peer(z):
        model = CustomCircuit(peer_text, initial_guess=list(start))
        return list(model.fit(FREQUENCIES, z, weight_by_modulus=True).parameters_)

    def scipy(z):
        solution = least_squares(lambda p: parsed.residuals(p, FREQUENCIES, z), start,
                                 jac=lambda p: parsed.jacobian(p, FREQUENCIES, z), bounds=(lo, hi))
        return list(solution.x)

    return {"movarin, default": movarin_default, "movarin, user start": movarin_user_start,
            "impedance.py": peer, "SciPy least_squares": scipy}


def run(fits, circuit, equivalents, cases):
    """Per fitter: median seconds per fit and the success counts on noiseless and noisy spectra.

    Each fitter goes through all spectra back to back, as a user's loop over measured files does.
    Taking turns on each spectrum would charge every movarin fit with waking the worker threads
    and refilling the caches after a 20-120 ms peer fit (about 0.05-0.1 ms a fit here); run the
    benchmark on an otherwise idle machine instead."""
    rows = {}
    for label, fit in fits.items():
        fit(cases[0][1])  # warm-up: one-time preparation and imports are not a fit's cost
        times, successes = [], [0, 0]
        for truth, z, is_noisy in cases:
            started = time.perf_counter()
            try:
                fitted = fit(z)
            except Exception:  # noqa: BLE001 - a fitter that raises has failed this spectrum
                fitted = None
            times.append(time.perf_counter() - started)
            successes[is_noisy] += succeeded(circuit, truth, equivalents, fitted, z, is_noisy)
        rows[label] = (statistics.median(times), *successes)
    return rows


def report(label, text, peer_text, draw, start, equivalents, seed):
    circuit = movarin.Circuit(text)
    cases = list(spectra(text, draw, seed))
    fits = fitters(text, peer_text, start)
    rows = run(fits, circuit, equivalents, cases)
    for fitter, (median, clean, noisy) in rows.items():
        rate = 100 * (clean + noisy) / len(cases)
        peer_ratio = rows["impedance.py"][0] / median
        scipy_ratio = rows["SciPy least_squares"][0] / median
        print(f"{label:<14} {fitter:<21} {median * 1e3:10.3f} {rate:7.1f}% "
              f"{f'{clean}/{noisy}':>12} {peer_ratio:19.1f}x {scipy_ratio:12.1f}x")
    print()


def median_seconds(call, items):
    times = []
    for item in items:
        started = time.perf_counter()
        call(item)
        times.append(time.perf_counter() - started)
    return statistics.median(times)


def fits_per_second(parsed, spectra_z, threads):
    def fit_all(zs):
        for z in zs:
            parsed.fit(FREQUENCIES, z)

    # Enough fits (about a second's work) that starting the threads does not count.
    repeated = spectra_z * THROUGHPUT_ROUNDS
    shares = [repeated[k::threads] for k in range(threads)]
    started = time.perf_counter()
    with ThreadPoolExecutor(threads) as pool:
        list(pool.map(fit_all, shares))
    return len(repeated) / (time.perf_counter() - started)


def report_stages(label, text, draw, seed):
    parsed = movarin.Circuit(text)
    noisy = [z for _, z, is_noisy in spectra(text, draw, seed) if is_noisy]
    parsed.fit(FREQUENCIES, noisy[0])  # warm-up
    guesses = [parsed.guess(FREQUENCIES, z) for z in noisy]
    results = [parsed.with_values(g).fit(FREQUENCIES, z, guess_init=False)
               for g, z in zip(guesses, noisy)]
    whole = median_seconds(lambda z: parsed.fit(FREQUENCIES, z), noisy)
    guess = median_seconds(lambda z: parsed.guess(FREQUENCIES, z), noisy)
    local_and_statistics = median_seconds(
        lambda k: parsed.with_values(guesses[k]).fit(FREQUENCIES, noisy[k], guess_init=False),
        range(len(noisy)))

    def statistics_of(k):
        params = list(results[k].params.values())
        parsed.residuals(params, FREQUENCIES, noisy[k])
        parsed.jacobian(params, FREQUENCIES, noisy[k])

    stats = median_seconds(statistics_of, range(len(noisy)))
    local = local_and_statistics - stats
    one, two = (fits_per_second(parsed, noisy, threads) for threads in (1, 2))
    print(f"{label:<10} {whole * 1e3:9.3f} {guess * 1e3:9.3f} {local * 1e3:9.3f} "
          f"{stats * 1e3:11.3f} {guess / whole:8.0%} {one:10.0f} {two:10.0f} {two / one:8.2f}x")


def main():
    warnings.simplefilter("ignore")  # the peer's and SciPy's convergence chatter
    print(f"{SETS} parameter sets x (noiseless + 1% noise) per circuit, {FREQUENCIES.size} points "
          f"0.1 Hz - 100 kHz\n")
    header = (f"{'circuit':<14} {'fitter':<21} {'median ms':>10} {'success':>8} "
              f"{'clean/noisy':>12} {'impedance.py / this':>20} {'SciPy / this':>13}")
    print(header)
    print("-" * len(header))
    for seed, (name, text, peer_text, draw, start, equivalents) in enumerate(CASES, start=1):
        report(name, text, peer_text, draw, start, equivalents, seed)
    print(f"Harder sets: wider ranges, every parameter's Cramer-Rao deviation at most "
          f"{CRAMER_RAO_LIMIT:.1%}\n")
    for seed, (name, text, peer_text, draw, start, equivalents) in enumerate(HARD_CASES, start=11):
        report(f"{name} (hard)", text, peer_text, identifiable(text, draw), start, equivalents, seed)
    print("movarin's default fit of the noisy spectra, by stage (medians, ms), and default fits "
          "per second from 1 and 2 Python threads\n")
    header = (f"{'circuit':<10} {'whole fit':>9} {'guess':>9} {'local fit':>9} "
              f"{'statistics':>11} {'guess %':>8} {'1 thread':>10} {'2 threads':>10} "
              f"{'2 / 1':>9}")
    print(header)
    print("-" * len(header))
    for seed, (name, text, _, draw, _, _) in enumerate(CASES, start=1):
        report_stages(name, text, draw, seed)


if __name__ == "__main__":
    main()
