"""The period of the coordinates, checked alike by every high-level entry point.

Points lie on the torus [0, L)^d. By default L = 1 and coordinates are
fractions of the period; `boxsize=L` gives coordinates in [0, L) instead (a
periodic box of side L, as in a simulation), including integer lattice
sites. The index itself works on the unit torus: coordinates are divided by
L on the way in (`to_unit`, in float64), radii too (`radius_to_unit`,
before the index rounds them to single precision), and distances are
multiplied by L on the way out (`distances_from_unit`). Ids, rows and
recall are those of the scaled problem.

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

__all__ = ["check_boxsize", "check_coordinate_dtype", "distances_from_unit", "radius_to_unit", "to_unit"]


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


def check_coordinate_dtype(dtype: np.dtype, name: str, boxsize: float | None) -> None:
    """Refuse integer coordinates on the unit torus (boxsize None)."""
    if dtype.kind in "iu" and boxsize is None:
        raise ValueError(
            f"{name} holds integers (dtype {dtype}), but coordinates must be fractions of the period: "
            "on the unit torus every integer wraps to 0 and all the points would coincide. "
            "Give coordinates in [0, 1), or pass boxsize=L for coordinates in [0, L) "
            "(integer lattice sites included)"
        )


def to_unit(X: npt.NDArray[np.float64], boxsize: float | None, name: str) -> npt.NDArray[np.float64]:
    """Finite float64 coordinates divided by the period (X itself on the unit
    torus); a value whose quotient leaves the float range is refused."""
    if boxsize is None:
        return X
    with np.errstate(over="ignore"):
        out: npt.NDArray[np.float64] = X / boxsize
    if out.size and not (math.isfinite(np.min(out)) and math.isfinite(np.max(out))):
        where = tuple(int(i) for i in np.argwhere(~np.isfinite(out))[0])
        raise ValueError(
            f"{name} / boxsize must be finite: {name}{list(where)} = {X[where]} "
            f"divided by boxsize = {boxsize} leaves the float range"
        )
    return out


def radius_to_unit(radius: float | npt.NDArray[np.float64], boxsize: float | None) -> float | npt.NDArray[np.float64]:
    """A finite, non-negative radius (or array of them) divided by the period.

    A quotient beyond the float range becomes the largest float: still
    larger than every distance on the torus.
    """
    if boxsize is None:
        return radius
    if isinstance(radius, np.ndarray):
        with np.errstate(over="ignore"):
            return np.minimum(radius / boxsize, sys.float_info.max)
    return min(radius / boxsize, sys.float_info.max)


def distances_from_unit(dist: npt.NDArray[np.float64], boxsize: float | None) -> npt.NDArray[np.float64]:
    """Distances on the unit torus in the caller's units: times the period."""
    if boxsize is None:
        return dist
    out: npt.NDArray[np.float64] = dist * boxsize
    return out
