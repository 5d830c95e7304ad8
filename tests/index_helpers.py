"""Helpers shared by the tests: random hash parameters and index pairs."""

import os
import subprocess
import sys
from functools import partial

import numpy as np

from plovik import RustLshIndex
from plovik.lsh import PythonLshIndex


def random_params(rng, d, L, K, b, probes=2, block=1024):
    """Hash parameters as a caller would draw them: s in [0, d), u in [0, 1)."""
    s = rng.integers(0, d, size=(L, K), dtype=np.int64)
    u = rng.random((L, K))
    return dict(b=b, k=K, l=L, probes=probes, s=s, u=u, block=block)


def both(params):
    """The native index and the reference built from the same parameters."""
    return RustLshIndex(**params), PythonLshIndex(**params)


def strided(x):
    """The values of x in a view that steps over every other element."""
    return np.repeat(x, 2, axis=-1)[..., ::2]


def equal_rows(n, d, value=0.0):
    """n rows of d equal values in 8 * d bytes: huge inputs without the memory."""
    return np.lib.stride_tricks.as_strided(np.full(d, value), shape=(n, d), strides=(0, 8))


def misaligned(x):
    """A copy of x one byte into its buffer."""
    out = np.frombuffer(bytearray(x.nbytes + 1), dtype=x.dtype, offset=1, count=x.size).reshape(x.shape)
    out[...] = x
    return out


def assert_tables_equal(native, reference):
    a, b = native.tables(), reference.tables()
    assert list(a) == list(b)
    for key in a:
        assert a[key].dtype == np.int64 and a[key].flags.c_contiguous
        assert a[key].shape == b[key].shape and a[key].tobytes() == b[key].tobytes(), key


def outputs_under_thread_counts(script, counts=("1", "2", "7")):
    """The distinct stdouts of `script` run in a fresh interpreter with each
    worker pool size: one element when results do not depend on it."""
    run = partial(subprocess.run, [sys.executable, "-c", script], check=True, capture_output=True, text=True)
    return {run(env={**os.environ, "RAYON_NUM_THREADS": n}, timeout=300).stdout.strip() for n in counts}


# Offsets u whose sums with EDGES land exactly on the edges of the hash.
EDGE_OFFSETS = (0.0, 0.25, 0.5, 0.1, 0.3)


def edge_values(offsets=EDGE_OFFSETS):
    """Coordinates on the edges of the hash for b of 1 to 5 and these offsets:
    cell walls and centres (margins tie), -0.0, values just below a wall, values
    beyond [0, 1) that wrap onto a wall, and values whose sum with an offset is a
    tiny negative number (only the cap at b - 1 keeps the code in range)."""
    walls = [c / b for b in (2, 3, 4, 5) for c in range(b)] + [(c + 0.5) / 4 for c in range(4)]
    near = [np.nextafter(1.0, 0.0), np.nextafter(0.5, 0.0), np.nextafter(0.25, 1.0), 1.0, 1.25, -0.75, 2.0]
    tiny = [-1e-20, -(2.0**-54), -5e-324]
    shifted = [v for u in offsets if u for v in (-u, np.nextafter(-u, -1.0), 0.5 - u)]
    # np.unique would take -0.0 for 0.0
    return np.r_[np.unique(np.array(walls + near + tiny + shifted, np.float64)), -0.0]
