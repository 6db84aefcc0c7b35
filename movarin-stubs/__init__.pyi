"""Fast equivalent-circuit fitting of electrochemical impedance spectra.

A circuit is written as a string such as ``"R0-(R1,C1)"`` or built from element objects with
`Series` and `Parallel`. `Circuit.fit` fits its parameters to a measured spectrum and returns a
`FitResult`; `Circuit.impedance` evaluates the circuit.

Every method that takes a measured spectrum accepts either two sequences (frequencies in hertz,
complex impedances in ohm) or one dataframe-like object (pandas, polars or a dict of columns)
whose columns carry the names "Frequency / Hz" with "Real Impedance / ohm" and
"Imaginary Impedance / ohm" (or "Absolute Impedance / ohm" and "Phase / deg"), or their
snake-case keys, with ``impedances`` left as None.
"""

from collections.abc import Iterator, Mapping, Sequence
from typing import (
    Any,
    ClassVar,
    Literal,
    Protocol,
    SupportsComplex,
    SupportsFloat,
    TypeAlias,
    final,
    overload,
)

import numpy as np
import numpy.typing as npt
from typing_extensions import Self, deprecated, disjoint_base

__all__ = [
    "Element",
    "Circuit",
    "FitResult",
    "Series",
    "Parallel",
    "R",
    "C",
    "L",
    "La",
    "Cpe",
    "W",
    "Wo",
    "Ws",
    "G",
    "Gs",
    "K",
    "Zarc",
    "Tlmq",
    "T",
]

class _RealColumn(Protocol):
    """A sized, iterable column of real numbers: a list, a NumPy array, a pandas or polars
    series."""

    def __len__(self) -> int: ...
    def __iter__(self) -> Iterator[SupportsFloat]: ...

class _ComplexColumn(Protocol):
    """A sized, iterable column of complex numbers."""

    def __len__(self) -> int: ...
    def __iter__(self) -> Iterator[SupportsComplex | SupportsFloat]: ...

class _ColumnLookup(Protocol):
    """A table whose columns are looked up by name, as ``frame["Frequency / Hz"]``."""

    def __getitem__(self, key: str, /) -> Any: ...

_Reals: TypeAlias = (
    Sequence[float] | npt.NDArray[np.floating[Any]] | npt.NDArray[np.integer[Any]] | _RealColumn
)
_Complexes: TypeAlias = Sequence[complex] | npt.NDArray[np.number[Any]] | _ComplexColumn
_Frame: TypeAlias = Mapping[str, Any] | _ColumnLookup

# Residual weighting: each point divided by its measured modulus, or left as it is.
_Weight: TypeAlias = Literal["modulus", "unit"]
# The fitting methods `Circuit.fit` accepts.
_Method: TypeAlias = Literal[
    "levenberg_marquardt",
    "particle_swarm",
    "differential_evolution",
    "nelder_mead",
    "simulated_annealing",
    "basin_hopping",
]

@disjoint_base
class Element:
    """A single circuit element.

    These are Python subclasses taking its fields as arguments.
    They are combined with `Series()` and `Parallel()`.
    """

    R: ClassVar[type[_R]]
    C: ClassVar[type[_C]]
    L: ClassVar[type[_L]]
    La: ClassVar[type[_La]]
    Cpe: ClassVar[type[_Cpe]]
    W: ClassVar[type[_W]]
    Wo: ClassVar[type[_Wo]]
    Ws: ClassVar[type[_Ws]]
    G: ClassVar[type[_G]]
    Gs: ClassVar[type[_Gs]]
    K: ClassVar[type[_K]]
    Zarc: ClassVar[type[_Zarc]]
    Tlmq: ClassVar[type[_Tlmq]]
    T: ClassVar[type[_T]]

@final
class R(Element):
    """Resistor: ``r`` [ohm]."""

    __match_args__ = ("r",)
    def __new__(cls, r: float) -> Self: ...
    @property
    def r(self) -> float: ...

@final
class C(Element):
    """Capacitor: ``c`` [F]."""

    __match_args__ = ("c",)
    def __new__(cls, c: float) -> Self: ...
    @property
    def c(self) -> float: ...

@final
class L(Element):
    """Inductor: ``l`` [H]."""

    __match_args__ = ("l",)
    def __new__(cls, l: float) -> Self: ...  # noqa: E741
    @property
    def l(self) -> float: ...  # noqa: E743

@final
class La(Element):
    """Modified inductor: ``l`` [H*s], ``alpha`` [-]."""

    __match_args__ = ("l", "alpha")
    def __new__(cls, l: float, alpha: float) -> Self: ...  # noqa: E741
    @property
    def l(self) -> float: ...  # noqa: E743
    @property
    def alpha(self) -> float: ...

@final
class Cpe(Element):
    """Constant-phase element (circuit code ``CPE``): ``q`` [ohm^-1*s^alpha], ``alpha`` [-]."""

    __match_args__ = ("q", "alpha")
    def __new__(cls, q: float, alpha: float) -> Self: ...
    @property
    def q(self) -> float: ...
    @property
    def alpha(self) -> float: ...

@final
class W(Element):
    """Semi-infinite Warburg element: ``aw`` [ohm*s^-0.5]."""

    __match_args__ = ("aw",)
    def __new__(cls, aw: float) -> Self: ...
    @property
    def aw(self) -> float: ...

@final
class Wo(Element):
    """Finite-length Warburg element, open (reflective) boundary: ``z0`` [ohm], ``tau`` [s]."""

    __match_args__ = ("z0", "tau")
    def __new__(cls, z0: float, tau: float) -> Self: ...
    @property
    def z0(self) -> float: ...
    @property
    def tau(self) -> float: ...

@final
class Ws(Element):
    """Finite-length Warburg element, short (transmissive) boundary: ``z0`` [ohm], ``tau`` [s]."""

    __match_args__ = ("z0", "tau")
    def __new__(cls, z0: float, tau: float) -> Self: ...
    @property
    def z0(self) -> float: ...
    @property
    def tau(self) -> float: ...

@final
class G(Element):
    """Gerischer element: ``rg`` [ohm], ``tg`` [s]."""

    __match_args__ = ("rg", "tg")
    def __new__(cls, rg: float, tg: float) -> Self: ...
    @property
    def rg(self) -> float: ...
    @property
    def tg(self) -> float: ...

@final
class Gs(Element):
    """Finite-length Gerischer element: ``rg`` [ohm], ``tg`` [s], ``phi`` [-]."""

    __match_args__ = ("rg", "tg", "phi")
    def __new__(cls, rg: float, tg: float, phi: float) -> Self: ...
    @property
    def rg(self) -> float: ...
    @property
    def tg(self) -> float: ...
    @property
    def phi(self) -> float: ...

@final
class K(Element):
    """A resistor in parallel with a capacitor, written with its time constant: ``r`` [ohm],
    ``tau_k`` [s]."""

    __match_args__ = ("r", "tau_k")
    def __new__(cls, r: float, tau_k: float) -> Self: ...
    @property
    def r(self) -> float: ...
    @property
    def tau_k(self) -> float: ...

@final
class Zarc(Element):
    """A resistor in parallel with a constant-phase element, written with its time constant:
    ``r`` [ohm], ``tau_k`` [s], ``gamma`` [-]."""

    __match_args__ = ("r", "tau_k", "gamma")
    def __new__(cls, r: float, tau_k: float, gamma: float) -> Self: ...
    @property
    def r(self) -> float: ...
    @property
    def tau_k(self) -> float: ...
    @property
    def gamma(self) -> float: ...

@final
class Tlmq(Element):
    """Transmission line of a porous electrode with constant-phase interfaces (circuit code
    ``TLMQ``): ``r_ion`` [ohm], ``qs`` [F*s^(gamma-1)], ``gamma`` [-]."""

    __match_args__ = ("r_ion", "qs", "gamma")
    def __new__(cls, r_ion: float, qs: float, gamma: float) -> Self: ...
    @property
    def r_ion(self) -> float: ...
    @property
    def qs(self) -> float: ...
    @property
    def gamma(self) -> float: ...

@final
class T(Element):
    """Transmission-line element: ``a`` [ohm*m^2], ``b`` [ohm*m^2], ``k_tau`` [-], ``tau`` [s]."""

    __match_args__ = ("a", "b", "k_tau", "tau")
    def __new__(cls, a: float, b: float, k_tau: float, tau: float) -> Self: ...
    @property
    def a(self) -> float: ...
    @property
    def b(self) -> float: ...
    @property
    def k_tau(self) -> float: ...
    @property
    def tau(self) -> float: ...

# Element's class attributes name the element classes above.
_R: TypeAlias = R
_C: TypeAlias = C
_L: TypeAlias = L
_La: TypeAlias = La
_Cpe: TypeAlias = Cpe
_W: TypeAlias = W
_Wo: TypeAlias = Wo
_Ws: TypeAlias = Ws
_G: TypeAlias = G
_Gs: TypeAlias = Gs
_K: TypeAlias = K
_Zarc: TypeAlias = Zarc
_Tlmq: TypeAlias = Tlmq
_T: TypeAlias = T

@final
class Circuit:
    """An equivalent circuit with its parameter values.

    ``Circuit(s)`` parses a circuit string such as ``"R0-(R1,C1)"`` (``-`` joins elements in
    series, ``(a,b)`` or ``p(a,b)`` puts branches in parallel, every element carries a numeric
    label) or one of the names listed by `Circuit.ml_circuits`. Raises ValueError for a string
    that cannot be parsed.
    """

    def __new__(cls, s: str) -> Self: ...
    def param_names(self) -> list[str]:
        """Parameter names, in the same order `with_values()` consumes and
        `with_named_values()` expects as keys."""

    def with_values(self, values: _Reals) -> Circuit:
        """Rebuild this circuit with a new flat parameter vector, assigned
        positionally in `param_names()` order."""

    def with_named_values(self, values: dict[str, float]) -> Circuit:
        """Rebuild this circuit with parameter values looked up by name (see
        `param_names()`). Every name must be present and no unknown names
        may be supplied."""

    def impedance(self, frequencies: _Reals | _Frame) -> npt.NDArray[np.complex128]:
        """Complex impedance [ohm] at each frequency [Hz], as a complex128 array.

        `frequencies` is a sequence of frequencies or a dataframe whose frequency column is
        used."""

    @overload
    def residuals(
        self,
        params: _Reals,
        frequencies: _Frame,
        impedances: None = None,
        weight: _Weight = "modulus",
    ) -> list[float]:
        """Weighted residual vector (interleaved `[re0, im0, re1, im1, ...]`) for an
        arbitrary parameter vector -- the same building block `fit()` uses
        internally for Levenberg-Marquardt, exposed so an external optimizer (e.g.
        `scipy.optimize.least_squares`) can drive this circuit's math directly."""

    @overload
    def residuals(
        self,
        params: _Reals,
        frequencies: _Reals,
        impedances: _Complexes,
        weight: _Weight = "modulus",
    ) -> list[float]: ...
    @overload
    def jacobian(
        self,
        params: _Reals,
        frequencies: _Frame,
        impedances: None = None,
        weight: _Weight = "modulus",
    ) -> list[list[float]]:
        """Central-difference Jacobian of `residuals()` at `params`, shape `(2 *
        len(frequencies), len(params))` -- rows are residuals, columns are
        parameters, matching what `scipy.optimize.least_squares(jac=...)` expects."""

    @overload
    def jacobian(
        self,
        params: _Reals,
        frequencies: _Reals,
        impedances: _Complexes,
        weight: _Weight = "modulus",
    ) -> list[list[float]]: ...
    def param_values(self) -> list[float]:
        """Current parameter values, in `param_names()` order."""

    def param_bounds(self) -> list[tuple[float, float]]:
        """Default physical-validity `(lo, hi)` bounds per parameter, in
        `param_names()` order. `hi` is `inf` for open-bound parameters."""

    def param_units(self) -> list[str]:
        """Physical units per parameter"""

    @overload
    def guess(
        self, frequencies: _Frame, impedances: None = None, weights: str | None = None
    ) -> list[float]:
        """Machine-learning guess of starting parameters for this circuit's
        topology, in `param_names()` order.

        Series and parallel elements may be written with any order and labels:
        `(R1,C2)-R3` uses the same model as `R0-(R1,C1)`. `K` and `Zarc` reach
        the models trained on the pairs they abbreviate, so `R0-Zarc1` uses the
        `R0-(R1,CPE1)` model and gets its guess back as `r`, `tau_k`, `gamma`.

        `weights` loads a `.ovrel` file from disk instead of looking for a
        bundled model.

        Raises if no model has been trained for this topology, or if `weights`
        was trained for a different one."""

    @overload
    def guess(
        self, frequencies: _Reals, impedances: _Complexes, weights: str | None = None
    ) -> list[float]: ...
    @staticmethod
    def ml_circuits() -> list[str]:
        """Names accepted by the constructor that have trained initial-parameter
        models, and so get a guessed starting point from `fit()` by default."""

    @overload
    @deprecated("`weights` is the path of a weight file; the residual weighting is `weight=`")
    def fit(
        self,
        frequencies: _Reals | _Frame,
        impedances: _Complexes | None = None,
        guess_init: bool | np.bool_ | None = None,
        *,
        weights: _Weight,
        weight: _Weight = "modulus",
        method: _Method = "levenberg_marquardt",
        max_iterations: int = 200,
        ftol: float = 1e-8,
        xtol: float = 1e-8,
        num_particles: int = 200,
        generations: int = 1000,
        nelder_mead_iterations: int = 2000,
        de_evaluations: int = 20000,
        sa_iterations: int = 5000,
        sa_initial_temperature: float = 2.0,
        basin_hopping_hops: int = 20,
        basin_hopping_step_size: float = 1.0,
        basin_hopping_temperature: float = 1.0,
        seed: int | None = None,
    ) -> FitResult:
        """A misuse, reported as deprecated: `weights` is the path of a `.ovrel` weight file for
        the guess, while "modulus" and "unit" are residual weightings, which `weight` takes."""

    @overload
    def fit(
        self,
        frequencies: _Frame,
        impedances: None = None,
        guess_init: bool | np.bool_ | None = None,
        weights: str | None = None,
        weight: _Weight = "modulus",
        method: _Method = "levenberg_marquardt",
        max_iterations: int = 200,
        ftol: float = 1e-8,
        xtol: float = 1e-8,
        num_particles: int = 200,
        generations: int = 1000,
        nelder_mead_iterations: int = 2000,
        de_evaluations: int = 20000,
        sa_iterations: int = 5000,
        sa_initial_temperature: float = 2.0,
        basin_hopping_hops: int = 20,
        basin_hopping_step_size: float = 1.0,
        basin_hopping_temperature: float = 1.0,
        seed: int | None = None,
    ) -> FitResult:
        """Fit this circuit's parameters to a measured spectrum.

        Accepts two sequences of frequencies and impedances, or a single battery
        data format dataframe (`impedances` left as None).

        `guess_init` unset means start from a machine-learning guess whenever the
        circuit is not explicitly given starting parameters. If no model has been
        trained for the topology it warns and starts from placeholder values.

        `True` always guesses, and raises rather than warns when it cannot.
        `False` never guesses."""

    @overload
    def fit(
        self,
        frequencies: _Reals,
        impedances: _Complexes,
        guess_init: bool | np.bool_ | None = None,
        weights: str | None = None,
        weight: _Weight = "modulus",
        method: _Method = "levenberg_marquardt",
        max_iterations: int = 200,
        ftol: float = 1e-8,
        xtol: float = 1e-8,
        num_particles: int = 200,
        generations: int = 1000,
        nelder_mead_iterations: int = 2000,
        de_evaluations: int = 20000,
        sa_iterations: int = 5000,
        sa_initial_temperature: float = 2.0,
        basin_hopping_hops: int = 20,
        basin_hopping_step_size: float = 1.0,
        basin_hopping_temperature: float = 1.0,
        seed: int | None = None,
    ) -> FitResult: ...
    def _fit(
        self,
        frequencies: _Reals | _Frame,
        impedances: _Complexes | None = None,
        guess_init: bool | np.bool_ | None = None,
        weights: str | None = None,
        weight: _Weight = "modulus",
        method: _Method = "levenberg_marquardt",
        max_iterations: int = 200,
        ftol: float = 1e-8,
        xtol: float = 1e-8,
        num_particles: int = 200,
        generations: int = 1000,
        nelder_mead_iterations: int = 2000,
        de_evaluations: int = 20000,
        sa_iterations: int = 5000,
        sa_initial_temperature: float = 2.0,
        basin_hopping_hops: int = 20,
        basin_hopping_step_size: float = 1.0,
        basin_hopping_temperature: float = 1.0,
        seed: int | None = None,
        fixed: Sequence[bool | np.bool_] | None = None,
        bounds: Sequence[tuple[float, float] | Sequence[float]] | None = None,
    ) -> FitResult:
        """`fit` with some parameters held (`fixed`, one flag per parameter) and others kept inside
        the caller's bounds (`bounds`, one (lo, hi) pair per parameter); movarin_tools' entry."""

@final
class FitResult:
    """The outcome of `Circuit.fit`; made only by the fit."""

    @property
    def circuit(self) -> Circuit:
        """The circuit with the fitted parameter values."""

    @property
    def params(self) -> dict[str, float]:
        """Fitted value per parameter name, in `Circuit.param_names()` order."""

    @property
    def stderr(self) -> dict[str, float] | None:
        """Standard error per parameter name from the weighted Jacobian at the fitted point;
        None when it cannot be computed (no more points than parameters, or a singular
        normal matrix)."""

    @property
    def success(self) -> bool:
        """True only when the reported point came from a converged local run at that point (or a
        converged re-run with exponents pinned at a bound), with a finite cost and chi-square.

        A global method's own point counts only when plausible: strictly inside the bounds and,
        for open-ended parameters, within six decades of the start. When every run ended above
        the best scored starting candidate, that cheaper point is reported with success False."""

    @property
    def iterations(self) -> int:
        """Work behind the reported point: residual evaluations summed over the local runs, or
        the global search's own iterations when its point is the one reported."""

    @property
    def impedance_evals(self) -> int:
        """Impedance evaluations of the circuit that the fit counted."""

    @property
    def cost(self) -> float:
        """Half the sum of squared weighted residuals at the fitted point."""

    @property
    def chi_square(self) -> float:
        """Sum of squared weighted residuals at the fitted point (twice `cost`)."""

def Series(parts: Sequence[Element | Circuit]) -> Circuit:
    """Connect elements and circuits end to end."""

def Parallel(parts: Sequence[Element | Circuit]) -> Circuit:
    """Connect elements and circuits as parallel branches."""
