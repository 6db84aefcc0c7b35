"""Impedances of this build against a baseline build: the largest relative difference per element
kind and circuit over random parameters and frequencies.

Each build evaluates the same cases in a process of its own (the baseline's directory first on the
path of a child process). Per case, SETS parameter sets are drawn with a fixed seed: parameters
named alpha or gamma uniformly in (0, 1), every other one log-uniformly in [1e-6, 1e3], and every
tenth set negated whole (the powers of negative coefficients at negative frequencies); the
frequencies are FREQUENCIES log-uniform points in [1e-4, 1e7] Hz plus the special values 0, -1,
-0, inf and NaN, at which the two builds must agree exactly (NaN where NaN). Run:

    PYTHONPATH=build/mod:python .venv/bin/python bench/compare_impedance.py /path/to/baseline
"""

import io
import os
import subprocess
import sys

import numpy as np

KINDS = ("R", "C", "L", "La", "CPE", "W", "Wo", "Ws", "G", "Gs", "K", "Zarc", "TLMQ", "T")
CIRCUITS = (
    "R0-p(R1,C1)",
    "R0-p(R1-W1,CPE1)",
    "R0-p(R1,CPE1)-p(R2,CPE2)",
    "R0-p(R1,CPE1)-p(R2-Wo2,CPE2)",
    "L0-R0-p(R1,Zarc1)-p(La1,Tlmq1)-p(Gs1,T1)",
)
SETS = 200
FREQUENCIES = 400
SPECIAL = np.array([0.0, -1.0, -0.0, np.inf, np.nan])
LIMIT = 1e-13


def cases():
    return [f"{kind}0" for kind in KINDS] + list(CIRCUITS)


def draw(movarin, text, rng, negative):
    names = movarin.Circuit(text).param_names()
    values = []
    for name in names:
        if name.endswith((".alpha", ".gamma")):
            values.append(rng.uniform(0.0, 1.0))
        else:
            values.append(float(np.exp(rng.uniform(np.log(1e-6), np.log(1e3)))))
    return [-v for v in values] if negative else values


def evaluate():
    """Every case's impedances, stacked, as this process's build computes them."""
    import movarin

    rng = np.random.default_rng(20261209)
    results = {}
    for text in cases():
        rows = []
        for index in range(SETS):
            values = draw(movarin, text, rng, negative=index % 10 == 9)
            f = np.concatenate([np.exp(rng.uniform(np.log(1e-4), np.log(1e7), FREQUENCIES)),
                                SPECIAL])
            rows.append(movarin.Circuit(text).with_values(values).impedance(f))
        results[text] = np.array(rows)
    return results


def main():
    if sys.argv[1:] == ["--child"]:
        buffer = io.BytesIO()
        np.savez(buffer, **evaluate())
        sys.stdout.buffer.write(buffer.getvalue())
        return
    environment = dict(os.environ)
    environment["PYTHONPATH"] = os.pathsep.join([sys.argv[1], environment.get("PYTHONPATH", "")])
    output = subprocess.run([sys.executable, __file__, "--child"], env=environment, check=True,
                            capture_output=True).stdout
    baseline = np.load(io.BytesIO(output))
    this = evaluate()
    worst = 0.0
    print(f"{'case':<42} {'max rel diff':>13}  special frequencies")
    for text in cases():
        a, b = this[text], baseline[text]
        regular, special = slice(0, FREQUENCIES), slice(FREQUENCIES, None)
        with np.errstate(invalid="ignore", divide="ignore"):
            relative = np.abs(a[:, regular] - b[:, regular]) / np.abs(b[:, regular])
        finite = np.isfinite(b[:, regular])
        same_nonfinite = np.array_equal(a[:, regular][~finite], b[:, regular][~finite],
                                        equal_nan=True)
        difference = float(np.max(relative[finite], initial=0.0))
        exact = np.array_equal(a[:, special], b[:, special], equal_nan=True) and same_nonfinite
        worst = max(worst, difference if exact else np.inf)
        print(f"{text:<42} {difference:>13.2e}  {'same' if exact else 'DIFFERENT'}")
    print(f"largest relative difference {worst:.2e} (limit {LIMIT:.0e})")
    if not worst <= LIMIT:
        raise SystemExit(1)


if __name__ == "__main__":
    main()
