"""The period of the coordinates, checked alike by every high-level entry point.

Points lie on the torus [0, L)^d. By default L = 1 and coordinates are
fractions of the period; `boxsize=L` gives coordinates in [0, L) instead (a
periodic box of side L, as in a simulation), including integer lattice
sites. The index itself works on the unit torus: coordinates are divided by
L on the way in (`to_unit`, in float64), radii too (`radius_to_unit`,
before the index rounds them to single precision), and distances are
multiplied by L on the way out (`distances_from_unit`). Ids, rows and
recall are those of the scaled problem.

A box with unequal sides, `boxsize=(L1, ..., Ld)` (`check_box`; the exact
scan, the hash tables' candidates and the grid), divides each axis by its
own side. Radii are then
divided by the longest side Lmax and distances multiplied by it
(`box_scale`), and the engine weighs each axis's term by its side / Lmax,
rounded to single precision (`box_weights`): a term on the unit torus times
that weight is the term in units of Lmax. Equal sides give weights of
exactly 1, which change no bit, so `boxsize=(L, ..., L)` answers as
`boxsize=L` bit for bit; `box_weights` then gives None.

Integer coordinates without `boxsize=` are refused (`check_coordinate_dtype`):
on the unit torus every integer is a whole number of periods, so all the
points would wrap onto the origin and every distance would be 0.

`PlovikSearch`, `exact_knn`, `exact_radius`, `ExactScan`,
`TorusNeighborsTransformer` and `ShardedSearch` use these functions.
"""

from __future__ import annotations

import math
import numbers
import sys

import numpy as np
import numpy.typing as npt

__all__ = [
    "METRICS",
    "Box",
    "box_scale",
    "box_weights",
    "check_box",
    "check_boxsize",
    "check_coordinate_dtype",
    "check_metric",
    "distances_from_unit",
    "radius_to_unit",
    "to_unit",
]

#: The period of every axis: None (1), one side L, or one side per axis.
Box = float | tuple[float, ...] | None

#: The metrics of the exact scan: toroidal L1 and toroidal L2.
METRICS = ("l1", "euclidean")


def check_metric(metric: object) -> str:
    """The metric's name, "l1" or "euclidean"."""
    if not isinstance(metric, str):
        raise TypeError(f'metric must be "l1" or "euclidean", got {type(metric).__name__}')
    if metric not in METRICS:
        raise ValueError(f'metric must be "l1" or "euclidean", got {metric!r}')
    return metric


def check_boxsize(boxsize: object) -> float | None:
    """The period L as a float (finite and positive), or None for the unit torus."""
    if boxsize is None:
        return None
    if isinstance(boxsize, (bool, np.bool_)) or not isinstance(boxsize, numbers.Real):
        raise TypeError(f"boxsize must be a real number or None, got {type(boxsize).__name__}")
    try:
        value = float(boxsize)
    except OverflowError:  # an integer beyond the float range
        raise ValueError("boxsize must be finite and positive, got a value beyond the float range") from None
    if not (math.isfinite(value) and value > 0.0):
        raise ValueError(f"boxsize must be finite and positive, got {value}")
    return value


def check_box(boxsize: object, d: int | None = None) -> Box:
    """`check_boxsize`, or d sides (a sequence of finite positive numbers,
    one per axis) as a tuple of floats."""
    if isinstance(boxsize, np.ndarray) and boxsize.ndim == 0:  # a 0-d array: its number
        boxsize = boxsize.item()
    if boxsize is None or isinstance(boxsize, (numbers.Real, bool, np.bool_, str)):
        return check_boxsize(boxsize)
    try:
        sides = np.asarray(boxsize, dtype=np.float64)
    except (TypeError, ValueError):
        raise TypeError(f"boxsize must be a real number, a sequence of d sides or None, got {boxsize!r}") from None
    if sides.ndim != 1 or sides.size == 0:
        raise ValueError(f"boxsize must be a number or a sequence of one side per axis, got shape {sides.shape}")
    if d is not None and sides.size != d:
        raise ValueError(f"boxsize has {sides.size} sides but the points have d = {d}: give one side per axis")
    if not (np.all(np.isfinite(sides)) and np.all(sides > 0.0)):
        raise ValueError(f"the sides of boxsize must be finite and positive, got {sides.tolist()}")
    return tuple(float(v) for v in sides)


def box_scale(boxsize: Box) -> float | None:
    """The factor of radii and distances: L, the longest side Lmax, or None."""
    if boxsize is None or isinstance(boxsize, float):
        return boxsize
    return max(boxsize)


def box_weights(boxsize: Box) -> npt.NDArray[np.float64] | None:
    """The engine's axis weights side / Lmax (rounded by it to single
    precision), or None when every weight is 1 (no sides, or equal ones)."""
    if boxsize is None or isinstance(boxsize, float):
        return None
    weights = np.asarray(boxsize, np.float64) / max(boxsize)
    return None if bool(np.all(weights.astype(np.float32) == 1.0)) else weights


def check_coordinate_dtype(dtype: np.dtype, name: str, boxsize: Box) -> None:
    """Refuse integer coordinates on the unit torus (boxsize None)."""
    if dtype.kind in "iu" and boxsize is None:
        raise ValueError(
            f"{name} holds integers (dtype {dtype}), but coordinates must be fractions of the period: "
            "on the unit torus every integer wraps to 0 and all the points would coincide. "
            "Give coordinates in [0, 1), or pass boxsize=L for coordinates in [0, L) "
            "(integer lattice sites included)"
        )


def to_unit(X: npt.NDArray[np.float64], boxsize: Box, name: str) -> npt.NDArray[np.float64]:
    """Finite float64 coordinates divided by the period (per axis by its
    side; X itself on the unit torus); a value whose quotient leaves the
    float range is refused."""
    if boxsize is None:
        return X
    with np.errstate(over="ignore"):
        out: npt.NDArray[np.float64] = X / (boxsize if isinstance(boxsize, float) else np.asarray(boxsize))
    if out.size and not (math.isfinite(np.min(out)) and math.isfinite(np.max(out))):
        where = tuple(int(i) for i in np.argwhere(~np.isfinite(out))[0])
        raise ValueError(
            f"{name} / boxsize must be finite: {name}{list(where)} = {X[where]} "
            f"divided by boxsize = {boxsize} leaves the float range"
        )
    return out


def radius_to_unit(radius: float | npt.NDArray[np.float64], boxsize: Box) -> float | npt.NDArray[np.float64]:
    """A finite, non-negative radius (or array of them) divided by the period
    (the longest side, `box_scale`).

    A quotient beyond the float range becomes the largest float: still
    larger than every distance on the torus.
    """
    boxsize = box_scale(boxsize)
    if boxsize is None:
        return radius
    if isinstance(radius, np.ndarray):
        with np.errstate(over="ignore"):
            return np.minimum(radius / boxsize, sys.float_info.max)
    return min(radius / boxsize, sys.float_info.max)


def distances_from_unit(dist: npt.NDArray[np.float64], boxsize: Box) -> npt.NDArray[np.float64]:
    """Distances on the unit torus in the caller's units: times the period
    (the longest side, `box_scale`)."""
    boxsize = box_scale(boxsize)
    if boxsize is None:
        return dist
    out: npt.NDArray[np.float64] = dist * boxsize
    return out
