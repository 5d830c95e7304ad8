"""Nearest-neighbour search on the unit torus under the toroidal L1 distance.

`PlovikSearch` is the class to use: it draws the hash parameters, chooses
their sizes from the data and validates every argument. `RustLshIndex` is the
compiled index underneath; `plovik.lsh.PythonLshIndex` is its NumPy
reference, which builds byte-identical hash tables. Both raw classes raise
`PanicException` (derived from `BaseException`, not `Exception`) when a
call breaks an internal precondition, such as `update` with the wrong
number of values. `thread_limit` bounds the worker threads of the calls
made inside it; `plovik.sklearn` (an optional extra) holds the scikit-learn
transformer.
"""

from plovik._native import PanicException, RustLshIndex
from plovik.exact import ExactScan, exact_knn, exact_radius, torus_distance
from plovik.monitor import ObservedRecall
from plovik.search import HashParameters, PlovikSearch, RecallEstimate
from plovik.threads import thread_count, thread_limit
from plovik.tuning import RecallWarning, Tuning

__all__ = [
    "ExactScan",
    "HashParameters",
    "ObservedRecall",
    "PanicException",
    "PlovikSearch",
    "RecallEstimate",
    "RecallWarning",
    "RustLshIndex",
    "Tuning",
    "exact_knn",
    "exact_radius",
    "thread_count",
    "thread_limit",
    "torus_distance",
]


def _installed_version() -> str:
    """The version pyproject.toml gives, as the installed package's metadata holds it."""
    from importlib.metadata import PackageNotFoundError, version

    try:
        return version("plovik")
    except PackageNotFoundError:  # imported from a source tree that was never installed
        return "0+unknown"


__version__ = _installed_version()
