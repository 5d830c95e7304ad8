"""The rules of the hash parameters: how many cells and components a number of
points gets, how the hashed coordinates and offsets are drawn, the key space
the index can hold, and the cells a coordinate falls into.

A table's key of a point is a number in [0, b**K): each of its K components
cuts one offset coordinate into b cells. The index stores keys as signed
64-bit integers, so b**K must be at most 2**63 - 1 (`KEY_SPACE_LIMIT`, the
engine's limit; the tuning and `PlovikSearch` check it alike).
"""

from __future__ import annotations

import math
from dataclasses import dataclass
from typing import Any

import numpy as np
import numpy.typing as npt

__all__ = [
    "DEFAULT_BLOCK",
    "DEFAULT_PROBES",
    "DEFAULT_TABLES",
    "KEY_SPACE_LIMIT",
    "KEY_SPACE_TOO_LARGE",
    "TARGET_OCCUPANCY",
    "HashParameters",
    "cell_codes",
    "choose_cells_and_components",
    "draw_hash_parameters",
    "key_space_fits",
    "nearest_cells",
]

#: Points per bucket that the automatic choice of cells and components aims at.
TARGET_OCCUPANCY = 16
#: Hash tables of the fixed rule (`tune=False`) when `tables` is not given.
DEFAULT_TABLES = 32
#: Extra neighbouring buckets probed per table by the fixed rule when `probes` is not given.
DEFAULT_PROBES = 7
#: Upper bound on the queries answered together by the batched k-nearest path
#: of a `PlovikSearch` (the raw classes' own default is 1024).
DEFAULT_BLOCK = 65536
#: The largest key space b**K: keys are signed 64-bit integers.
KEY_SPACE_LIMIT = (1 << 63) - 1
#: The message of settings beyond it, `.format(cells, components)`.
KEY_SPACE_TOO_LARGE = "cells**components = {}**{} exceeds 2**63 - 1"

_TWO63 = 9223372036854775808.0


@dataclass(frozen=True, eq=False, repr=False)
class HashParameters:
    """Everything a raw index is constructed from.

    `s[t, j]` is the coordinate hashed by component `j` of table `t`, `u[t, j]`
    the offset added to it before it is wrapped onto the unit circle and cut
    into `b` cells. `as_kwargs()` gives the keyword arguments of
    `RustLshIndex(...)` and `PythonLshIndex(...)`.
    """

    b: int
    k: int
    l: int
    probes: int
    s: npt.NDArray[np.int64]
    u: npt.NDArray[np.float64]
    block: int = DEFAULT_BLOCK

    def __post_init__(self) -> None:
        # Read-only copies: the caller's arrays may change later, and the
        # hash below is taken from the values.
        for name in ("s", "u"):
            arr = np.array(getattr(self, name))
            arr.setflags(write=False)
            object.__setattr__(self, name, arr)

    def _scalars(self) -> tuple[int, int, int, int, int]:
        return (self.b, self.k, self.l, self.probes, self.block)

    def __eq__(self, other: object) -> bool:
        """Equal when every setting and every entry of `s` and `u` are."""
        if not isinstance(other, HashParameters):
            return NotImplemented
        return (
            self._scalars() == other._scalars() and np.array_equal(self.s, other.s) and np.array_equal(self.u, other.u)
        )

    def __hash__(self) -> int:
        # Of the values as the index takes them, so that parameters equal by
        # value (say s as int32 and as int64, or u holding -0.0 and 0.0) hash alike.
        s = np.asarray(self.s, np.int64)
        u = np.asarray(self.u, np.float64) + 0.0
        return hash((self._scalars(), s.shape, s.tobytes(), u.shape, u.tobytes()))

    def __repr__(self) -> str:
        # The arrays are l * k entries each: their shape is enough to read.
        return (
            f"HashParameters(b={self.b}, k={self.k}, l={self.l}, probes={self.probes}, block={self.block}, "
            f"s=<{self.s.dtype} array {self.s.shape}>, u=<{self.u.dtype} array {self.u.shape}>)"
        )

    def as_kwargs(self) -> dict[str, Any]:
        """Keyword arguments for either raw index class (fresh array copies)."""
        return dict(
            b=self.b, k=self.k, l=self.l, probes=self.probes, s=self.s.copy(), u=self.u.copy(), block=self.block
        )


def key_space_fits(b: int, k: int) -> bool:
    """Whether the b**k keys of a table fit the index: b**k <= `KEY_SPACE_LIMIT`."""
    # k * log2(b) beyond 64 cannot fit: refused without raising b to a huge power.
    return b <= 1 or (k * math.log2(b) <= 64 and b**k <= KEY_SPACE_LIMIT)


def nearest_cells(buckets: float, k: int) -> int:
    """The integer b >= 2 whose b**k is nearest to `buckets` in ratio, within the key range."""
    low = max(2, math.floor(float(buckets ** (1.0 / k))))
    target = math.log(buckets)
    b = low if target - k * math.log(low) <= k * math.log(low + 1) - target else low + 1
    while b > 2 and not key_space_fits(b, k):
        b -= 1
    return b


def choose_cells_and_components(
    n: int,
    d: int,
    *,
    cells: int | None = None,
    components: int | None = None,
    occupancy: float = TARGET_OCCUPANCY,
) -> tuple[int, int]:
    """Cells per coordinate `b` and hashed components per table `K` for n points.

    The rule aims at `occupancy` points per bucket, that is b**K near
    B = n / occupancy (at least 2 buckets):

    - neither given: b = 3 and K = round(log3(B)), at least 1, which puts
      occupancy / sqrt(3) to occupancy * sqrt(3) points in a bucket on average
      (9 to 28 for the default 16). When that K would exceed d (small d, many
      points), K = d so that every table hashes distinct coordinates, and b is
      the integer whose b**d is nearest to B. Examples: n = 1,000,000 gives
      b = 3, K = 10 (17 points per bucket) for d >= 10, and b = 16, K = 4 for d = 4.
    - only `cells` given: K = round(log_b(B)), at least 1 (1 when b = 1).
    - only `components` given: the integer b >= 2 whose b**K is nearest to B.
    - both given: returned unchanged.

    Small buckets searched through many probes find the true neighbours with
    fewer candidates than large buckets and few probes (three cells per
    coordinate did best among two to four in the measurements behind this
    rule); more tables or probes raise the recall further.
    """
    buckets = max(n / occupancy, 2.0)
    if cells is not None and components is not None:
        return cells, components
    if cells is not None:
        if cells == 1:
            return 1, 1
        k = max(1, round(math.log(buckets) / math.log(cells)))
        while k > 1 and not key_space_fits(cells, k):
            k -= 1
        return cells, k
    if components is not None:
        return nearest_cells(buckets, components), components
    k = max(1, round(math.log(buckets) / math.log(3)))
    if k <= d:
        return 3, k
    return max(3, nearest_cells(buckets, d)), d


def draw_hash_parameters(
    rng: np.random.Generator, d: int, tables: int, components: int
) -> tuple[npt.NDArray[np.int64], npt.NDArray[np.float64]]:
    """Draw the hashed coordinates `s` and the offsets `u`, both of shape (tables, components).

    Row t of `s` is the first `components` entries of a sequence of fresh random
    permutations of range(d): the coordinates of a table are distinct when
    components <= d, and otherwise every coordinate is used as evenly as
    possible. `u` is uniform in [0, 1). Tables are drawn one after the other
    (row t of `s`, then row t of `u`), so the first tables of a larger draw
    from the same seed are those of a smaller one.
    """
    reps = -(-components // d)
    s = np.empty((tables, components), np.int64)
    u = np.empty((tables, components), np.float64)
    for t in range(tables):
        s[t] = np.concatenate([rng.permutation(d) for _ in range(reps)])[:components]
        u[t] = rng.random(components)
    return s, u


def cell_codes(y: npt.NDArray[np.float64], b: int) -> npt.NDArray[np.int64]:
    """The cells of offset coordinates `y` in the hash's own arithmetic: y
    wrapped onto [0, 1), times b, truncated (saturating at the 64-bit
    limits, NaN giving 0), then at most b - 1."""
    y = y - np.floor(y)
    y *= float(b)
    bad = ~(np.abs(y) < _TWO63)
    if bad.any():
        code = np.where(bad, 0.0, y).astype(np.int64)
        code[y >= _TWO63] = KEY_SPACE_LIMIT
        code[y < -_TWO63] = -KEY_SPACE_LIMIT - 1
    else:
        code = y.astype(np.int64)
    return np.minimum(code, b - 1, out=code)
