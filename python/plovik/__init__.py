"""Nearest-neighbour search on the unit torus under the toroidal L1 distance.

`RustLshIndex` is the compiled index; `plovik.lsh.PythonLshIndex` is its
NumPy reference, which builds byte-identical hash tables.
"""

from plovik._native import RustLshIndex

__all__ = ["RustLshIndex"]
__version__ = "0.1.0"
