"""Nearest-neighbour search on the unit torus under the toroidal L1 distance.

`PlovikSearch` is the class to use: it draws the hash parameters, chooses
their sizes from the data and validates every argument. `RustLshIndex` is the
compiled index underneath; `plovik.lsh.PythonLshIndex` is its NumPy
reference, which builds byte-identical hash tables.
"""

from plovik._native import RustLshIndex
from plovik.search import HashParameters, PlovikSearch

__all__ = ["HashParameters", "PlovikSearch", "RustLshIndex"]
__version__ = "0.1.0"
