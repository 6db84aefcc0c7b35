"""Seeded random inputs for movarin's Python surface: circuit strings, with_named_values, spectra
of every accepted (and many refused) shapes, and the keywords of fit.

Every call must return or raise TypeError, ValueError, OverflowError, MemoryError or an exception
planted by the input itself, with a message a user can read: never empty, never a C++ library
text, a solver's internal name or "Potential bug". A fit still running after two seconds is
interrupted with _thread.interrupt_main(), which must end it.

    python tests/fuzz/fuzz_python.py --target spectrum --seconds 60
    python tests/fuzz/fuzz_python.py --target all --count 20000 --seed 7

The exit status is 1 after the first failure, which is printed with the seed and input number
that reproduce it (--seed S --skip N replays input N alone).
"""

from __future__ import annotations

import _thread
import argparse
import math
import random
import re
import sys
import threading
import time
import traceback
import warnings
from typing import Any, Callable

import numpy as np

from movarin import Circuit

ALLOWED = (TypeError, ValueError, OverflowError, MemoryError)
INTERNAL_TEXT = re.compile(
    r"Potential bug|unreachable|std::|\w::\w|max_size|basic_string|bad_alloc|what\(\)"
    r"|`[A-Z][A-Za-z]+`|internal failure|\bnullptr\b|Assertion")
# The documented refusal of a str where a sequence of numbers is expected.
KNOWN_REFUSAL_OF_STR = "Can't extract `str` to `Vec`"
GRAMMAR = ["R", "C", "L", "W", "Wo", "Ws", "CPE", "Q", "K", "Zarc", "G", "La", "T", "-", ",", "(",
           ")", "0", "1", "2", "9", "_", " ", "\t", "é", "∞", "\x00", "Ω", "p(", "[", "]"]
BUILTINS = ["rc", "rq_l", "two_rq", "randles", "sei_randles_wo", "R0-(R1,C1)",
            "R0-(R1-W1,CPE1)-L1", "(C1,(R2,La3))-Zarc4"]
FIT_KEYWORDS = ["guess_init", "weights", "weight", "method", "max_iterations", "ftol", "xtol",
                "num_particles", "generations", "nelder_mead_iterations", "de_evaluations",
                "sa_iterations", "sa_initial_temperature", "basin_hopping_hops",
                "basin_hopping_step_size", "basin_hopping_temperature", "seed"]
METHODS = ["levenberg_marquardt", "particle_swarm", "nelder_mead", "differential_evolution",
           "simulated_annealing", "basin_hopping", "LM", "", "particle_swarm\x00"]


class Planted(Exception):
    """Raised by the odd objects the fuzzer builds; it may pass through unchanged."""


class Odd:
    """An object whose protocols misbehave in one chosen way."""

    def __init__(self, rng: random.Random):
        self.way = rng.choice(["len", "iter", "float", "complex", "index", "getitem", "huge len"])
        self.items = [rng.random() for _ in range(rng.randrange(4))]

    def __len__(self) -> int:
        if self.way == "len":
            raise Planted("len")
        return 2**62 if self.way == "huge len" else len(self.items)

    def __iter__(self):
        if self.way == "iter":
            raise Planted("iter")
        return iter(self.items)

    def __getitem__(self, key):
        if self.way == "getitem":
            raise Planted("getitem")
        return self.items[key]

    def __float__(self) -> float:
        if self.way == "float":
            raise Planted("float")
        return 1.0

    def __complex__(self) -> complex:
        if self.way == "complex":
            raise Planted("complex")
        return 1 + 1j

    def __index__(self) -> int:
        if self.way == "index":
            raise Planted("index")
        return 3


def number(rng: random.Random) -> Any:
    return rng.choice([
        0, 1, -1, 2, 7, 2**31, 2**32 - 1, 2**32, 2**39, 2**62, 2**63, 2**64, -2**63, 10**30,
        0.0, -0.0, 1e-300, 5e-324, 1e308, math.inf, -math.inf, math.nan, 0.5, -3.5, 1e-12,
        True, False, None, "3", b"3", 1 + 2j, np.float32(2.5), np.int8(-3), np.uint64(2**63),
        np.float64("nan"), np.bool_(True), [1.0], Odd(rng), object(), 10 ** rng.uniform(-20, 20),
    ])


def circuit_text(rng: random.Random) -> str:
    if rng.random() < 0.3:
        text = list(rng.choice(BUILTINS))
        for _ in range(rng.randrange(3)):
            position = rng.randrange(len(text) + 1)
            text[position:position + rng.randrange(2)] = [rng.choice(GRAMMAR)]
        return "".join(text)
    return "".join(rng.choice(GRAMMAR) for _ in range(rng.randrange(1, 24)))


def valid_circuit(rng: random.Random) -> Circuit:
    return Circuit(rng.choice(BUILTINS))


def float_array(rng: random.Random, n: int) -> Any:
    values = 10 ** np.array([rng.uniform(-3, 6) for _ in range(n)])
    if rng.random() < 0.2 and n:
        values[rng.randrange(n)] = rng.choice([math.nan, math.inf, -1.0, 0.0, 1e308])
    return values


def frequencies_object(rng: random.Random, n: int) -> Any:
    values = float_array(rng, n)
    kind = rng.randrange(12)
    if kind == 0:
        return list(values)
    if kind == 1:
        return tuple(values)
    if kind == 2:
        return values.astype(rng.choice([np.float32, np.float16, np.int64, np.uint8, object,
                                          np.complex128, bool]))
    if kind == 3:
        return values.reshape(-1, 1) if n else np.zeros((0, 3))
    if kind == 4:
        return values[::2] if rng.random() < 0.5 else np.asarray(values, order="F")[::-1]
    if kind == 5:
        return (x for x in values)
    if kind == 6:
        return Odd(rng)
    if kind == 7:
        return rng.choice(["1,2,3", b"123", {1.0: 2.0}, 3.0, None, object(), range(1, n + 1),
                           np.float64(5.0), memoryview(values.tobytes())])
    if kind == 8:
        return [number(rng) for _ in range(n)]
    return values


def impedances_object(rng: random.Random, n: int) -> Any:
    z = float_array(rng, n) - 1j * float_array(rng, n)
    kind = rng.randrange(8)
    if kind == 0:
        return list(z)
    if kind == 1:
        return z.astype(np.complex64)
    if kind == 2:
        return z.real  # real numbers where complex ones are expected
    if kind == 3:
        return [number(rng) for _ in range(n)]
    if kind == 4:
        return Odd(rng)
    if kind == 5:
        return z[: max(0, n - rng.randrange(3))]
    return z


def dataframe(rng: random.Random, n: int) -> Any:
    names = ["Frequency / Hz", "frequency_hertz", "Real Impedance / ohm", "real_impedance_ohm",
             "Imaginary Impedance / ohm", "imaginary_impedance_ohm", "Absolute Impedance / ohm",
             "Phase / deg", "phase_degree", "other"]
    columns = {name: frequencies_object(rng, n) if rng.random() < 0.2 else float_array(rng, n)
               for name in rng.sample(names, rng.randrange(1, 5))}
    kind = rng.randrange(3)
    if kind == 0:
        return {name: list(np.ravel(np.asarray(v, dtype=object))) if isinstance(v, np.ndarray)
                else v for name, v in columns.items()}
    try:
        if kind == 1:
            import pandas as pd
            return pd.DataFrame({k: v for k, v in columns.items() if isinstance(v, np.ndarray)
                                 and v.ndim == 1 and len(v) == n})
        import polars as pl
        return pl.DataFrame({k: v for k, v in columns.items() if isinstance(v, np.ndarray)
                             and v.ndim == 1 and len(v) == n and v.dtype != object})
    except ImportError:
        return columns


# --- Targets: each draws one input and makes the calls it drives -----------------------------

def target_circuit(rng: random.Random) -> None:
    circuit = Circuit(circuit_text(rng))
    names = circuit.param_names()
    circuit.with_values([number(rng) if rng.random() < 0.1 else 1.0 for _ in names])
    str(circuit), repr(circuit)
    circuit.impedance([1.0, 1e3])


def target_named_values(rng: random.Random) -> None:
    circuit = valid_circuit(rng)
    names = circuit.param_names()
    values: Any = {}
    for _ in range(rng.randrange(len(names) + 3)):
        key: Any = rng.choice(names + ["R9", "", "r0", "R0 ", "é", "\x00"]) if names else "x"
        if rng.random() < 0.05:
            key = number(rng)
        values[key] = number(rng) if rng.random() < 0.3 else rng.uniform(0.1, 10)
    if rng.random() < 0.1:
        values = rng.choice([list(values.items()), None, Odd(rng), "R0=1"])
    circuit.with_named_values(values)


def target_spectrum(rng: random.Random) -> None:
    circuit = Circuit("R0-(R1,C1)").with_values([10.0, 100.0, 1e-5])
    n = rng.choice([0, 1, 2, 3, 5, 17])
    call = rng.randrange(5)
    if rng.random() < 0.3:
        args: tuple = (dataframe(rng, n),)
    else:
        args = (frequencies_object(rng, n), impedances_object(rng, n))
    if call == 0:
        circuit.impedance(args[0])
    elif call == 1:
        circuit.residuals([10.0, 100.0, 1e-5], *args)
    elif call == 2:
        circuit.jacobian([10.0, 100.0, 1e-5], *args)
    elif call == 3:
        circuit.guess(*args)
    else:
        circuit.fit(*args, method="levenberg_marquardt", guess_init=False)


def target_fit_keywords(rng: random.Random) -> None:
    circuit = valid_circuit(rng)
    f = np.logspace(-1, 5, rng.choice([1, 2, 10, 30]))
    z = Circuit("R0-(R1,C1)").with_values([10.0, 100.0, 1e-5]).impedance(f)
    keywords: dict[str, Any] = {"method": rng.choice(METHODS[:6])}
    for name in rng.sample(FIT_KEYWORDS, rng.randrange(1, 6)):
        if name == "method":
            keywords[name] = rng.choice(METHODS) if rng.random() < 0.8 else number(rng)
        elif name == "weight":
            keywords[name] = rng.choice(["modulus", "unit", "proportional", "MODULUS", "", 3])
        elif name == "weights":
            keywords[name] = rng.choice([None, "/dev/zero", "/", "/nonexistent", "", "\x00", 5])
        else:
            keywords[name] = number(rng) if rng.random() < 0.6 else rng.randrange(0, 40)
    circuit.fit(f, z, **keywords)


def bound_pair(rng: random.Random) -> Any:
    pick = rng.random()
    if pick < 0.6:
        return (number(rng), number(rng))
    if pick < 0.8:
        return [number(rng) for _ in range(rng.randrange(0, 4))]
    return rng.choice([None, "ab", 3.0, np.array([1.0, 2.0]), (1.0, "x"), [[1.0], [2.0]]])


def target_constraints(rng: random.Random) -> None:
    circuit = valid_circuit(rng)
    count = len(circuit.param_names()) + rng.choice([0, 0, 0, -1, 1])
    f = np.logspace(-1, 5, rng.choice([1, 10, 30]))
    z = Circuit("R0-(R1,C1)").with_values([10.0, 100.0, 1e-5]).impedance(f)
    flags = [rng.choice([True, False, np.bool_(True), None, 1, "yes"]) if rng.random() < 0.1
             else rng.random() < 0.4 for _ in range(max(count, 0))]
    fixed = rng.choice([None, flags, flags, "ab", 5])
    bounds = rng.choice([None, [bound_pair(rng) for _ in range(max(count, 0))], 7])
    keywords: dict[str, Any] = {"method": rng.choice(METHODS[:6]), "seed": 1,
                                "max_iterations": 20, "num_particles": 5, "generations": 5,
                                "de_evaluations": 50, "nelder_mead_iterations": 50,
                                "sa_iterations": 50, "basin_hopping_hops": 2}
    circuit._fit(f, z, guess_init=rng.choice([None, False]), fixed=fixed, bounds=bounds,
                 **keywords)


TARGETS: dict[str, Callable[[random.Random], None]] = {
    "circuit": target_circuit, "named_values": target_named_values,
    "spectrum": target_spectrum, "fit_keywords": target_fit_keywords,
    "constraints": target_constraints,
}


def problem_with(error: BaseException) -> str | None:
    """Why an exception a call raised is not acceptable, or None when it is."""
    if isinstance(error, Planted):
        return None
    if not isinstance(error, ALLOWED):
        return f"{type(error).__name__} is not an allowed exception"
    text = str(error)
    if not text.strip():
        return f"{type(error).__name__} with an empty message"
    if INTERNAL_TEXT.search(text.replace(KNOWN_REFUSAL_OF_STR, "")):
        return f"internal text in {type(error).__name__}: {text!r}"
    return None


class Watchdog:
    """Interrupts the main thread when one input runs longer than `seconds`."""

    def __init__(self, seconds: float):
        self.seconds = seconds
        self.fired = False
        self.timer: threading.Timer | None = None

    def __enter__(self) -> "Watchdog":
        self.fired = False
        self.timer = threading.Timer(self.seconds, self._fire)
        self.timer.start()
        return self

    def _fire(self) -> None:
        self.fired = True
        _thread.interrupt_main()

    def __exit__(self, *exc: object) -> None:
        assert self.timer is not None
        self.timer.cancel()
        self.timer.join()


def run(target: str, seed: int, count: int | None, seconds: float | None, skip: int) -> int:
    names = list(TARGETS) if target == "all" else [target]
    np.seterr(all="ignore")
    warnings.simplefilter("ignore")
    started = time.monotonic()
    done = interrupted = 0
    watchdog = Watchdog(2.0)
    index = skip
    while (count is None or done < count) and (seconds is None or
                                                time.monotonic() - started < seconds):
        rng = random.Random(f"{seed}:{index}")
        name = names[index % len(names)]
        try:
            try:
                with watchdog:
                    TARGETS[name](rng)
            except KeyboardInterrupt:
                if not watchdog.fired:
                    raise
                interrupted += 1
            except BaseException as error:  # noqa: BLE001 - every exception is judged
                problem = problem_with(error)
                if problem:
                    print(f"FAIL {name} --seed {seed} --skip {index}: {problem}")
                    traceback.print_exception(error)
                    return 1
        except KeyboardInterrupt:
            # The watchdog fired just after the call returned.
            if not watchdog.fired:
                raise
        done += 1
        index += 1
        if count is not None and skip and done == 1 and count == 1:
            break
    elapsed = time.monotonic() - started
    print(f"{target}: {done} inputs in {elapsed:.0f} s, {interrupted} long fits interrupted, "
          "no failure")
    return 0


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--target", choices=[*TARGETS, "all"], default="all")
    parser.add_argument("--seed", type=int, default=0)
    parser.add_argument("--count", type=int, help="inputs to run (default: no limit)")
    parser.add_argument("--seconds", type=float, help="time to run (default: 60 without --count)")
    parser.add_argument("--skip", type=int, default=0, help="number of the first input")
    args = parser.parse_args()
    seconds = args.seconds if args.seconds is not None or args.count else 60.0
    return run(args.target, args.seed, args.count, seconds, args.skip)


if __name__ == "__main__":
    sys.exit(main())
