"""Pure NumPy reference of the toroidal-L1 LSH index.

`PythonLshIndex` takes the same parameters and methods as the compiled
`plovik._native.RustLshIndex` and produces byte-identical hash tables and
identical query rows (ids, single-precision distances widened to float64,
and the deterministic counters). It is written for clarity and exactness,
vectorised with NumPy where that is natural, and is the yardstick the
compiled class is tested against.

It refuses the same calls with the same exception types, checked in the
same order as the compiled call frame: each argument is converted in
parameter order (never cast), then what the index refuses from the sizes
alone is checked, then the arrays are read (layout first) and copied.
"""

from __future__ import annotations

import contextlib
import heapq
import operator
import os
import re
import time
from collections.abc import Callable, Iterator
from typing import Any, SupportsFloat, SupportsIndex, SupportsInt, cast

import numpy as np
import numpy.typing as npt

from plovik._native import PanicException

__all__ = ["QUERY_COUNTERS", "PanicException", "PythonLshIndex", "pool_thread_count"]

#: The query counters of `stats()`, in order (both backends; the compiled one
#: lists them in src/index/counters.hpp). `stats()` adds the "block" setting.
QUERY_COUNTERS = ("gather_ns", "refine_ns", "relax_ns", "queries", "cands", "pairs", "relaxed")

_I64_MAX = (1 << 63) - 1
_U64_MASK = (1 << 64) - 1
_TWO63 = 9223372036854775808.0
_F32_ONE = np.float32(1.0)
_TILE = 128
# Raw (query, candidate) copies expanded at once; bounds the memory of a step.
_PAIR_BUDGET = 1 << 20
_DECIMAL = re.compile(r"[0-9]+\Z")
_MAX_THREADS = 1024  # the pool's absolute cap on workers


def pool_thread_count() -> int:
    """Worker count T of the shared pool, read from the environment now.

    RAYON_NUM_THREADS when it holds a positive decimal integer, the online
    processors when it holds 0; otherwise RAYON_RS_NUM_CPUS when it holds a
    positive decimal integer; otherwise the online processors (1 if unknown).
    A number above 2**64 - 1 is not a count. The result is clamped to
    four per online processor, at most 1024.
    """
    online = os.cpu_count() or 1
    most = min(4 * online, _MAX_THREADS)
    value = _count(os.environ.get("RAYON_NUM_THREADS"))
    if value is not None:
        return min(value if value > 0 else online, most)
    value = _count(os.environ.get("RAYON_RS_NUM_CPUS"))
    if value:
        return min(value, most)
    return min(online, most)


def _count(text: str | None) -> int | None:
    """The value of a run of ASCII digits that fits in 64 bits, else None."""
    if text is None or not _DECIMAL.match(text):
        return None
    digits = text.lstrip("0") or "0"
    # int() refuses very long strings; anything past 20 digits overflows anyway
    if len(digits) > 20 or int(digits) > _U64_MASK:
        return None
    return int(digits)


# ------------------------------------------------------- argument conversion
#
# What the compiled binding accepts, and nothing else: arrays are NumPy
# arrays of the stated dimensions and an equivalent dtype, integers fit
# their C type (signed 64-bit for b, an unsigned machine word otherwise),
# the radius converts to a float. A conversion's TypeError names the
# argument and has the original as its cause; an integer out of range raises
# OverflowError. An array that is not contiguous or misaligned raises the
# one TypeError that names no argument, after every argument is converted.

_LAYOUT_MESSAGE = "The given array is not contiguous or is misaligned."


@contextlib.contextmanager
def _argument(name: str) -> Iterator[None]:
    """Re-raises a TypeError as "argument 'name': ..." caused by it; other errors pass."""
    try:
        yield
    except TypeError as e:
        raise TypeError(f"argument '{name}': {e}") from e


def _to_array(value: object, name: str, ndim: int, dtype: type[np.generic]) -> np.ndarray:
    """`value` itself when it is an ndarray of `ndim` dimensions and a dtype equivalent to `dtype`."""
    with _argument(name):
        if not isinstance(value, np.ndarray):
            raise TypeError(f"expected a {ndim}-dimensional numpy.ndarray, got '{type(value).__name__}'")
        if value.ndim != ndim:
            raise TypeError(
                f"expected a {ndim}-dimensional array, got {value.ndim} dimension{'' if value.ndim == 1 else 's'}"
            )
        if not np.can_cast(value.dtype, dtype, casting="no"):
            raise TypeError(f"expected dtype {np.dtype(dtype).name}, got {value.dtype}")
    return value


def _read(arr: np.ndarray) -> np.ndarray:
    """A C-ordered copy of a converted array; refuses the layouts the compiled index cannot read
    (with a message that names no argument, as the compiled index words it)."""
    if arr.size and not ((arr.flags.c_contiguous or arr.flags.f_contiguous) and arr.flags.aligned):
        raise TypeError(_LAYOUT_MESSAGE)
    return np.array(arr, dtype=np.int64 if arr.dtype.kind == "i" else np.float64, order="C")


def _to_unsigned(value: object, name: str) -> int:
    with _argument(name):
        number = _index(value)
    if number < 0:
        raise OverflowError("can't convert negative value to size_t")
    if number > _U64_MASK:
        raise OverflowError("Python int too large to convert to C size_t")
    return number


def _to_signed(value: object, name: str) -> int:
    with _argument(name):
        number = _index(value)
    if not -(1 << 63) <= number <= _I64_MAX:
        raise OverflowError("int too big to convert")
    return number


def _index(value: object) -> int:
    """operator.index of anything: it raises TypeError itself for what has no __index__."""
    return int(operator.index(cast("SupportsIndex", value)))


def _to_float(value: object, name: str) -> float:
    """A float, from a float or anything with __float__ or __index__ (not a str)."""
    with _argument(name):
        kind = type(value)
        if not isinstance(value, float) and not (hasattr(kind, "__float__") or hasattr(kind, "__index__")):
            raise TypeError(f"must be real number, not {kind.__name__}")
        return float(cast("SupportsFloat | SupportsIndex", value))


def _wrap_f32(x: np.ndarray) -> np.ndarray:
    """Single-precision copy: x - floor(x) in double precision, then rounded."""
    with np.errstate(invalid="ignore"):
        return (x - np.floor(x)).astype(np.float32)


def _wrap64(v: int) -> int:
    v &= _U64_MASK
    return v - (1 << 64) if v > _I64_MAX else v


def _trunc_div(a: int, r: int) -> int:
    q = abs(a) // abs(r)
    return q if (a >= 0) == (r >= 0) else -q


def _cell_codes(y: np.ndarray, b: int) -> np.ndarray:
    """trunc(y) saturating at the int64 limits (NaN -> 0), then at most b - 1."""
    bad = ~(np.abs(y) < _TWO63)
    if bad.any():
        code = np.where(bad, 0.0, y).astype(np.int64)
        code[y >= _TWO63] = _I64_MAX
        code[y < -_TWO63] = -_I64_MAX - 1
    else:
        code = y.astype(np.int64)
    return np.minimum(code, b - 1, out=code)


def _expand(starts: np.ndarray, lens: np.ndarray) -> tuple[np.ndarray, np.ndarray, np.ndarray]:
    """Concatenated ranges [starts[i], starts[i] + lens[i]) and their entry index."""
    lens = lens.astype(np.int64, copy=False)
    total = int(lens.sum())
    entry = np.repeat(np.arange(lens.size, dtype=np.int64), lens)
    offs = np.cumsum(lens) - lens
    within = np.arange(total, dtype=np.int64) - offs[entry]
    return starts.astype(np.int64, copy=False)[entry] + within, entry, within


# Single-precision toroidal L1: per-coordinate terms and the fixed summation
# orders. M is an (N, D) float32 array of terms; columns are added as whole
# float32 vectors, so every addition is one IEEE float32 rounding.


#: A summation kernel: the (N, D) float32 terms to their N float32 sums.
_Kernel = Callable[[np.ndarray], np.ndarray]

#: A metric of the candidates other than the index's own: its name ("l1" or
#: "euclidean") and the axes' weights (None: every weight 1); None: toroidal L1.
_Metric = tuple[str, Any] | None


def _terms(qf: np.ndarray, pf: np.ndarray) -> np.ndarray:
    a = np.abs(qf - pf)
    om = _F32_ONE - a
    terms: np.ndarray = np.where(a < om, a, om)
    return terms


def _h(g0: np.ndarray, g1: np.ndarray, g2: np.ndarray, g3: np.ndarray) -> np.ndarray:
    total: np.ndarray = (g0 + g1) + (g2 + g3)
    return total


def _sum_general(M: np.ndarray) -> np.ndarray:
    n, D = M.shape
    s = np.zeros(n, np.float32)
    c = 0
    if D >= 16:
        acc = [[np.zeros(n, np.float32) for _ in range(4)] for _ in range(4)]
        while D - c >= 16:
            for a in range(4):
                for lane in range(4):
                    acc[a][lane] = acc[a][lane] + M[:, c + 4 * a + lane]
            c += 16
        S = [((acc[0][i] + acc[1][i]) + acc[2][i]) + acc[3][i] for i in range(4)]
        s = _h(*S)
    if D - c >= 4:
        B = [s] + [np.zeros(n, np.float32) for _ in range(3)]
        while D - c >= 4:
            for lane in range(4):
                B[lane] = B[lane] + M[:, c + lane]
            c += 4
        s = _h(*B)
    while c < D:
        s = M[:, c] + s
        c += 1
    return s


def _sum_d8_group(M: np.ndarray) -> np.ndarray:
    m = [M[:, c] for c in range(8)]
    total: np.ndarray = (((m[0] + m[1]) + (m[2] + m[3])) + ((m[4] + m[5]) + m[6])) + m[7]
    return total


def _sum_d16(M: np.ndarray) -> np.ndarray:
    m = [M[:, c] for c in range(16)]
    return _h(*[(m[i] + m[8 + i]) + (m[4 + i] + m[12 + i]) for i in range(4)])


def _sum_d24(M: np.ndarray) -> np.ndarray:
    m = [M[:, c] for c in range(24)]
    return _h(*[((m[i] + m[16 + i]) + m[8 + i]) + ((m[4 + i] + m[20 + i]) + m[12 + i]) for i in range(4)])


def _bits(dist_f32: np.ndarray) -> np.ndarray:
    return dist_f32.view(np.uint32)


def _widen(bits: npt.ArrayLike) -> np.ndarray:
    return np.asarray(bits, dtype=np.uint32).view(np.float32).astype(np.float64)


class PythonLshIndex:
    """Toroidal-L1 LSH index, NumPy reference.

    Same constructor, properties and methods as the compiled
    `plovik._native.RustLshIndex`; given the same parameters the hash tables
    are byte-identical and the query rows identical.

    Two tiers: a *static* tier hashed and key-sorted once, growing only by
    `promote`, and a *candidate* tier refreshed per epoch by `update`. The
    index is exact after every operation — the hash decides which points are
    compared, never how far apart they are.
    """

    threads: int | None = None  # overrides pool_thread_count() when set

    def __init__(self, b: int, k: int, l: int, probes: int, s: np.ndarray, u: np.ndarray, block: int = 1024) -> None:
        self._b = _to_signed(b, "b")
        self._k = _to_unsigned(k, "k")
        self._l = _to_unsigned(l, "l")
        self._probes = _to_unsigned(probes, "probes")
        s = _to_array(s, "s", 2, np.int64)
        u = _to_array(u, "u", 2, np.float64)
        self._block = _to_unsigned(block, "block")
        if s.shape != (self._l, self._k) or u.shape != s.shape:
            raise ValueError("S and U must have shape (L, K)")
        self._s = _read(s)
        self._u = _read(u)
        radix, r = [], 1
        for _ in range(self._k):
            radix.append(r)
            r = (r * (self._b & _U64_MASK)) & _U64_MASK
        self._radix = np.array(radix, dtype=np.uint64)
        self.threads = None
        self._built = False
        self._d = 0
        self._n_points = 0
        self._n_static = 0
        self._f64 = np.zeros((0, 0), np.float64)
        self._f32 = np.zeros((0, 0), np.float32)
        empty = np.zeros((self._l, 0), np.int64)
        self._static_keys = self._static_ids = empty
        self._cand_keys = self._cand_sorted_keys = self._cand_sorted_ids = empty
        self._counters = dict.fromkeys(QUERY_COUNTERS, 0)
        self._retired = np.zeros(0, bool)  # per id below its size; ids beyond are live
        self._n_retired = 0

    # ------------------------------------------------------------ properties

    @property
    def n_points(self) -> int:
        """Points in the index, both tiers."""
        return self._n_points

    @property
    def n_static(self) -> int:
        """Points in the static tier."""
        return self._n_static

    @property
    def n_candidates(self) -> int:
        """Points in the candidate tier."""
        return self._n_points - self._n_static

    @property
    def n_retired(self) -> int:
        """Points retired, both tiers (counted in n_points too)."""
        return self._n_retired

    def _live(self, ids: np.ndarray) -> np.ndarray:
        """Per id, whether it is not retired."""
        r = self._retired
        if not self._n_retired:
            return np.ones(ids.shape, bool)
        inside = ids < r.size
        live = np.ones(ids.shape, bool)
        live[inside] = ~r[ids[inside]]
        return live

    # -------------------------------------------------------------- hashing

    def _key_space(self) -> int:
        """b^K saturating at the signed 64-bit limit (K >= 1, b >= 1)."""
        return min(self._b**self._k, _I64_MAX) if self._b <= 1 or self._k < 64 else _I64_MAX

    def _table_codes(
        self, X: np.ndarray, t: int, want_fracs: bool
    ) -> tuple[np.ndarray | None, np.ndarray | None, np.ndarray]:
        """Codes, fractions and keys of the rows of X (f64, (n, d)) in table t."""
        n = X.shape[0]
        bf = float(self._b)
        key = np.zeros(n, np.uint64)
        codes = np.empty((n, self._k), np.int64) if want_fracs else None
        fracs = np.empty((n, self._k), np.float64) if want_fracs else None
        with np.errstate(invalid="ignore", over="ignore"):
            for j in range(self._k):
                x = X[:, self._s[t, j]] + self._u[t, j]
                w = x - np.floor(x)
                y = w * bf
                code = _cell_codes(y, self._b)
                if codes is not None and fracs is not None:  # want_fracs
                    f = y - code.astype(np.float64)
                    codes[:, j] = code
                    fracs[:, j] = np.where(f < 0.0, 0.0, np.where(f > 1.0, 1.0, f))
                key += code.view(np.uint64) * self._radix[j]
        return codes, fracs, key.view(np.int64)

    def _compute_keys(self, X: np.ndarray) -> np.ndarray:
        """Table-major keys (L, n) of the rows of X."""
        out = np.empty((self._l, X.shape[0]), np.int64)
        cols = np.ascontiguousarray(X.T)  # contiguous columns hash faster
        bf = float(self._b)
        with np.errstate(invalid="ignore", over="ignore"):
            for t in range(self._l):
                key = np.zeros(X.shape[0], np.uint64)
                for j in range(self._k):
                    y = cols[self._s[t, j]] + self._u[t, j]
                    y -= np.floor(y)
                    y *= bf
                    key += _cell_codes(y, self._b).view(np.uint64) * self._radix[j]
                out[t] = key.view(np.int64)
        return out

    def _sort_tier(self, keys: np.ndarray, base: int) -> tuple[np.ndarray, np.ndarray]:
        """Per table, (key, id) ascending."""
        n = keys.shape[1]
        if n and keys.min() >= 0 and keys.max() <= _I64_MAX // n - 1:
            # key * n + position orders exactly like (key, id) and sorts faster
            packed = keys * n + np.arange(n, dtype=np.int64)
            packed.sort(axis=1)
            sorted_keys = packed // n
            return sorted_keys, packed - sorted_keys * n + base
        order = np.argsort(keys, axis=1, kind="stable")
        return np.take_along_axis(keys, order, axis=1), order.astype(np.int64) + base

    def _probe_keys(self, Q: np.ndarray, probes: int | None = None) -> np.ndarray:
        """Probe keys (m, L, 1 + P): base bucket, then flips by increasing margin.
        P = min(K, probes), the index's probes unless the call gives its own."""
        m, P = Q.shape[0], min(self._k, self._probes if probes is None else probes)
        out = np.empty((m, self._l, 1 + P), np.int64)
        rows = np.arange(m)
        for t in range(self._l):
            codes, fracs, base = self._table_codes(Q, t, True)
            out[:, t, 0] = base
            if P == 0:
                continue
            assert codes is not None and fracs is not None  # want_fracs gives both
            with np.errstate(invalid="ignore"):
                marg = np.minimum(fracs, 1.0 - fracs)
            marg[np.isnan(marg)] = np.inf  # a NaN margin never wins the strict test
            for p in range(P):
                j = np.argmin(marg, axis=1)  # lowest index among equal margins
                j = np.where(marg[rows, j] < 2.0, j, 0)
                marg[rows, j] = 2.0
                c, f = codes[rows, j], fracs[rows, j]
                w = np.mod(np.where(f >= 0.5, c + 1, c - 1), self._b)
                delta = (w - c).view(np.uint64) * self._radix[j]
                out[:, t, 1 + p] = (base.view(np.uint64) + delta).view(np.int64)
        return out

    # ----------------------------------------------------------------- build

    def build(self, points: np.ndarray, n_static: int) -> None:
        """Hash and sort both tiers from scratch.

        Args:
            points: `(n, d)` float64 in `[0, 1)`; the first `n_static` rows
                are the static tier, the rest the candidate tier.
            n_static: Size of the static tier.
        """
        X = _to_array(points, "points", 2, np.float64)
        n_static = _to_unsigned(n_static, "n_static")
        n, d = X.shape
        self._validate_build(n, d, n_static)
        f64 = _read(X)
        f32 = _wrap_f32(f64)
        static_keys, static_ids = self._sort_tier(self._compute_keys(f64[:n_static]), 0)
        cand = self._candidate_tier(f64, n_static)
        self._built, self._d, self._n_points, self._n_static = True, d, n, n_static
        self._f64, self._f32 = f64, f32
        self._static_keys, self._static_ids = static_keys, static_ids
        self._cand_keys, self._cand_sorted_keys, self._cand_sorted_ids = cand
        self._retired, self._n_retired = np.zeros(0, bool), 0

    def _validate_build(self, n: int, d: int, n_static: int) -> None:
        """What build refuses from the parameters and sizes alone, in its order."""
        if self._b < 1:
            raise ValueError("b must be at least 1")
        if self._k == 0:
            raise ValueError("k must be at least 1")
        if self._l == 0:
            raise ValueError("l must be at least 1")
        if ((self._s < 0) | (self._s >= d)).any():
            raise ValueError(f"s must hold coordinate indices in [0, d) for d = {d}")
        if self._b > 1 and (self._k >= 64 or self._b**self._k > _I64_MAX):
            raise ValueError("b**k must not exceed 2**63 - 1")
        if n_static > n:
            raise ValueError(f"n_static ({n_static}) exceeds the number of points ({n})")
        if n_static >= 1 << 32 or n - n_static >= 1 << 32:
            raise ValueError("a tier must hold fewer than 2**32 points")

    def _candidate_tier(self, f64: np.ndarray, n_static: int) -> tuple[np.ndarray, np.ndarray, np.ndarray]:
        keys = self._compute_keys(f64[n_static:])
        return (keys, *self._sort_tier(keys, n_static))

    def tables(self) -> dict[str, np.ndarray]:
        """The raw hash tables, for cross-implementation comparison.

        Returns the sorted keys and ids of both tiers. These are what
        "byte-identical to the reference" is asserted on, so the layout is
        part of the contract rather than an implementation detail.
        """
        return {
            "static_keys": np.array(self._static_keys, dtype=np.int64, order="C"),
            "static_ids": np.array(self._static_ids, dtype=np.int64, order="C"),
            "cand_keys": np.array(self._cand_keys, dtype=np.int64, order="C"),
            "cand_sorted_keys": np.array(self._cand_sorted_keys, dtype=np.int64, order="C"),
            "cand_sorted_ids": np.array(self._cand_sorted_ids, dtype=np.int64, order="C"),
        }

    # ------------------------------------------------------------ gathering

    def _ranges(self, keys: np.ndarray) -> list[tuple[np.ndarray, np.ndarray]]:
        """Per probe, the flat start and length of its bucket in each tier."""
        out = []
        for sorted_keys in (self._static_keys, self._cand_sorted_keys):
            n = sorted_keys.shape[1]
            start = np.zeros(keys.shape, np.int64)
            length = np.zeros(keys.shape, np.int64)
            if n:
                for t in range(self._l):
                    lo = np.searchsorted(sorted_keys[t], keys[:, t], "left")
                    hi = np.searchsorted(sorted_keys[t], keys[:, t], "right")
                    start[:, t], length[:, t] = t * n + lo, hi - lo
            out.append((start, length))
        return out

    def _chunks(self, raw: np.ndarray) -> list[tuple[int, int]]:
        """Split query rows so that each chunk expands at most the pair budget."""
        bounds, a, acc = [], 0, 0
        for i, r in enumerate(raw.tolist()):
            if acc and acc + r > _PAIR_BUDGET:
                bounds.append((a, i))
                a, acc = i, 0
            acc += r
        if a < raw.size:
            bounds.append((a, raw.size))
        return bounds

    def _copies(
        self, ranges: list[tuple[np.ndarray, np.ndarray]], a: int, b: int, with_pos: bool = False
    ) -> list[np.ndarray]:
        """Every (query, id) copy of the probed buckets of queries a..b-1.

        Static buckets first, then candidate buckets; with_pos also gives each
        copy's position in its bucket (static bucket, then candidate bucket)
        and the bucket's full size.
        """
        (ss, sl), (cs, cl) = ranges
        per_q = self._l * ss.shape[2]
        parts: list[tuple[np.ndarray, ...]] = []
        for tier, (start, length), ids in ((0, (ss, sl), self._static_ids), (1, (cs, cl), self._cand_sorted_ids)):
            st, ln = start[a:b].ravel(), length[a:b].ravel()
            flat, entry, within = _expand(st, ln)
            q = entry // per_q
            got = ids.ravel()[flat]
            if with_pos:
                size = (sl[a:b] + cl[a:b]).ravel()[entry]
                pos = within + (sl[a:b].ravel()[entry] if tier else 0)
                parts.append((q, got, pos, size))
            else:
                parts.append((q, got))
        return [np.concatenate(col) for col in zip(*parts, strict=True)]

    def _distances(
        self, qf: np.ndarray, ids: np.ndarray, q: np.ndarray, kernel: _Kernel = _sum_general, metric: _Metric = None
    ) -> np.ndarray:
        if ids.size == 0:
            return np.zeros(0, np.uint32)
        terms = _terms(qf[q], self._f32[ids])
        if metric is None:
            return _bits(kernel(terms)).copy()
        # Each term times its axis's weight (rounded to single precision),
        # squared for L2; the sum in the general association, rooted for L2.
        name, weights = metric
        if weights is not None:
            terms = terms * np.asarray(weights, np.float64).astype(np.float32)
        if name == "euclidean":
            terms = terms * terms
        total = _sum_general(terms)
        return _bits(np.sqrt(total) if name == "euclidean" else total).copy()

    @staticmethod
    def _select(
        q: np.ndarray, ids: np.ndarray, bits: np.ndarray, k: int
    ) -> tuple[np.ndarray, np.ndarray, np.ndarray, np.ndarray]:
        """The k smallest (bits, id) per query: sorted rows and their ranks."""
        order = np.lexsort((ids, bits, q))
        q, ids, bits = q[order], ids[order], bits[order]
        first = np.ones(q.size, bool)
        first[1:] = q[1:] != q[:-1]
        start = np.maximum.accumulate(np.where(first, np.arange(q.size), 0)) if q.size else q
        rank = np.arange(q.size) - start
        keep = rank < k
        return q[keep], ids[keep], bits[keep], rank[keep]

    # --------------------------------------------------------------- queries

    @staticmethod
    def _to_exclude_ids(exclude_ids: object) -> np.ndarray | None:
        return None if exclude_ids is None else _to_array(exclude_ids, "exclude_ids", 1, np.int64)

    def _check_queries(self, Q: np.ndarray, ex: np.ndarray | None) -> None:
        """What every query refuses from the sizes alone: the width, then a short exclude_ids."""
        m = Q.shape[0]
        if self._built and Q.shape[1] != self._d:
            raise ValueError(f"queries have {Q.shape[1]} columns but the index has d = {self._d}")
        if ex is not None and ex.size < m:
            raise PanicException(f"exclude_ids holds {ex.size} entries but there are {m} queries")

    @staticmethod
    def _read_queries(Q: np.ndarray, ex: np.ndarray | None) -> tuple[np.ndarray, np.ndarray | None]:
        return _read(Q), None if ex is None else _read(ex)[: Q.shape[0]]

    def _add(self, name: str, value: SupportsInt) -> None:
        self._counters[name] = (self._counters[name] + int(value)) & _U64_MASK

    def query_knn(
        self, queries: np.ndarray, k: int, exclude_ids: np.ndarray | None = None
    ) -> tuple[np.ndarray, np.ndarray]:
        """Exact k nearest neighbours of each query under toroidal L1.

        The hash selects candidates; every returned distance is exact. Rows
        are ascending by `(distance, id)` and padded with `-1` / `inf` when
        fewer than `k` points exist.

        Args:
            queries: `(m, d)` float64 in `[0, 1)`.
            k: Neighbours per query.
            exclude_ids: Optional `(m,)` int64, one id excluded per query —
                the self-join.

        Returns:
            `(idx, dist)`, both `(m, k)`: int64 ids and float64 distances.
        """
        return self._query_knn(queries, k, exclude_ids)

    def _query_knn(
        self,
        queries: np.ndarray,
        k: int,
        exclude_ids: np.ndarray | None = None,
        probes: int | None = None,
        *,
        metric: _Metric = None,
    ) -> tuple[np.ndarray, np.ndarray]:
        """`query_knn` with `probes` flip probes per table for this call instead
        of the index's (at most K are used; None: the index's), and with
        `metric` ("l1" or "euclidean", axis weights or None) the candidates
        of the per-query path measured in that metric instead (as the
        native module's _query_knn_metric)."""
        Q = _to_array(queries, "queries", 2, np.float64)
        k = _to_unsigned(k, "k")
        ex = self._to_exclude_ids(exclude_ids)
        probes = None if probes is None else _to_unsigned(probes, "probes")
        self._check_queries(Q, ex)
        m = Q.shape[0]
        if max(m, 1) * max(k, 1) > _I64_MAX // 8:
            # no (m, k) array of eight-byte values can exist, even an empty one
            raise MemoryError(f"no result of shape ({m}, {k}) can be allocated")
        Q, ex = self._read_queries(Q, ex)
        idx = np.full((m, k), -1, np.int64)
        dist = np.full((m, k), np.inf, np.float64)
        if k == 0 or m == 0:
            return idx, dist
        live = self._n_points - self._n_retired
        a = live - 1 if ex is not None else live
        need = min(k, max(a, 0))
        exv = ex if ex is not None else np.full(m, -1, np.int64)
        if m >= 64 and self._block != 1 and metric is None:
            if self._built:
                T = self.threads if self.threads is not None else pool_thread_count()
                per = max(-(-m // max(T, 1)), 1)
                B = per if self._block == 0 else min(self._block, per)
                for q0 in range(0, m, B):
                    q1 = min(q0 + B, m)
                    self._knn_block(Q[q0:q1], exv[q0:q1], k, need, idx[q0:q1], dist[q0:q1], probes)
            self._add("queries", m)
        else:
            if self._built:
                self._knn_per_query(Q, exv, k, need, idx, dist, probes, metric)
            self._add("queries", m)
        return idx, dist

    def _write(
        self, idx: np.ndarray, dist: np.ndarray, q: np.ndarray, ids: np.ndarray, bits: np.ndarray, rank: np.ndarray
    ) -> None:
        idx[q, rank] = ids
        dist[q, rank] = _widen(bits)

    def _knn_per_query(
        self,
        Q: np.ndarray,
        ex: np.ndarray,
        k: int,
        need: int,
        idx: np.ndarray,
        dist: np.ndarray,
        probes: int | None = None,
        metric: _Metric = None,
    ) -> None:
        qf = _wrap_f32(Q)
        t0 = time.perf_counter_ns()
        keys = self._probe_keys(Q, probes)
        ranges = self._ranges(keys)
        raw = ranges[0][1].sum(axis=(1, 2)) + ranges[1][1].sum(axis=(1, 2))
        found = np.zeros(Q.shape[0], np.int64)
        n = max(self._n_points, 1)
        refine_ns = 0
        for a, b in self._chunks(raw):
            q, ids = self._copies(ranges, a, b)
            u = np.unique(q * n + ids)
            q, ids = u // n + a, u % n
            gathered = int(q.size)
            self._add("cands", gathered)
            self._add("pairs", gathered)
            t1 = time.perf_counter_ns()
            keep = (ids != ex[q]) & self._live(ids)
            q, ids = q[keep], ids[keep]
            found[a:b] = np.bincount(q - a, minlength=b - a)
            self._write(idx, dist, *self._select(q, ids, self._distances(qf, ids, q, metric=metric), k))
            refine_ns += time.perf_counter_ns() - t1
        self._add("gather_ns", time.perf_counter_ns() - t0 - refine_ns)
        self._add("refine_ns", refine_ns)
        self._add("relax_ns", self._relax_rows(Q, qf, ex, k, need, found, idx, dist, metric))

    def _relax_rows(
        self,
        Q: np.ndarray,
        qf: np.ndarray,
        ex: np.ndarray,
        k: int,
        need: int,
        found: np.ndarray,
        idx: np.ndarray,
        dist: np.ndarray,
        metric: _Metric = None,
    ) -> int:
        """Answer the rows that found fewer than need points by relaxation;
        returns the nanoseconds spent."""
        rows = np.flatnonzero(found < need).tolist()
        if not rows:
            return 0
        t0 = time.perf_counter_ns()
        for i in rows:
            ids, bits = self._relax_query(Q[i], qf[i], k, int(ex[i]), need, metric)
            idx[i] = -1
            dist[i] = np.inf
            idx[i, : ids.size] = ids
            dist[i, : ids.size] = _widen(bits)
            self._add("relaxed", 1)
        return time.perf_counter_ns() - t0

    def _range_ids(self, t: int, lo: int, span: int) -> list[np.ndarray]:
        """Ids of table t, static tier then candidate tier, with keys in [lo, lo + span)."""
        hi = _wrap64(lo + span)
        out = []
        for keys, ids in ((self._static_keys, self._static_ids), (self._cand_sorted_keys, self._cand_sorted_ids)):
            s = int(np.searchsorted(keys[t], lo, "left"))
            e = int(np.searchsorted(keys[t], hi, "left"))
            out.append(ids[t, s : max(s, e)])
        return out

    def _refine_one(
        self, qf: np.ndarray, ids: np.ndarray, k: int, ex: int, metric: _Metric = None
    ) -> tuple[np.ndarray, np.ndarray]:
        ids = np.unique(ids)
        ids = ids[(ids != ex) & self._live(ids)]
        bits = self._distances(qf[None, :], ids, np.zeros(ids.size, np.int64), metric=metric)
        order = np.lexsort((ids, bits))[:k]
        return ids[order], bits[order]

    def _relax_query(
        self, q: np.ndarray, qf: np.ndarray, k: int, ex: int, need: int, metric: _Metric = None
    ) -> tuple[np.ndarray, np.ndarray]:
        """Row of a query with too few candidates: coarser buckets, else every point."""
        base = [int(self._table_codes(q[None, :], t, False)[2][0]) for t in range(self._l)]
        level = None
        for j in range(1, self._k):
            r = int(self._radix[j])
            total = sum(v.size for t in range(self._l) for v in self._range_ids(t, _trunc_div(base[t], r) * r, r))
            if total >= 4 * k:
                level = r
                break
        if level is not None:
            parts = [v for t in range(self._l) for v in self._range_ids(t, _trunc_div(base[t], level) * level, level)]
            ids, bits = self._refine_one(qf, np.concatenate(parts), k, ex, metric)
            if ids.size >= need:
                return ids, bits
        R = self._key_space()
        parts = self._range_ids(0, _trunc_div(base[0], R) * R, R)
        return self._refine_one(qf, np.concatenate(parts), k, ex, metric)

    # ------------------------------------------------------- blocked queries

    def _knn_block(
        self,
        Q: np.ndarray,
        ex: np.ndarray,
        k: int,
        need: int,
        idx: np.ndarray,
        dist: np.ndarray,
        probes: int | None = None,
    ) -> None:
        """One block of the batched path: per-bucket tiles, batched kernels."""
        t0 = time.perf_counter_ns()
        d = self._d
        qf = _wrap_f32(Q)
        keys = self._probe_keys(Q, probes)
        ranges = self._ranges(keys)
        raw = ranges[0][1].sum(axis=(1, 2)) + ranges[1][1].sum(axis=(1, 2))
        self._add("pairs", raw.sum())
        kernel = {16: _sum_d16, 24: _sum_d24}.get(d, _sum_general)
        n = max(self._n_points, 1)
        found = np.zeros(Q.shape[0], np.int64)
        for a, b in self._chunks(raw):
            if d == 8:
                q, ids, bits, clash = self._block_d8(ranges, a, b, qf, ex)
            else:
                q, ids = self._copies(ranges, a, b)
                u = np.unique(q * n + ids)
                q, ids = u // n + a, u % n
                keep = (ids != ex[q]) & self._live(ids)
                q, ids = q[keep], ids[keep]
                bits, clash = self._distances(qf, ids, q, kernel), []
            found[a:b] = np.bincount(q - a, minlength=b - a)
            plain = ~np.isin(q, clash)
            self._write(idx, dist, *self._select(q[plain], ids[plain], bits[plain], k))
            for j in clash:
                row = self._replay_d8(keys[j], qf[j], int(ex[j]), k)
                idx[j, : len(row)] = [x for _, x in row]
                dist[j, : len(row)] = _widen([v for v, _ in row])
        self._add("refine_ns", time.perf_counter_ns() - t0)
        self._add("relax_ns", self._relax_rows(Q, qf, ex, k, need, found, idx, dist))

    def _block_d8(
        self, ranges: list[tuple[np.ndarray, np.ndarray]], a: int, b: int, qf: np.ndarray, ex: np.ndarray
    ) -> tuple[np.ndarray, np.ndarray, np.ndarray, list[int]]:
        """d = 8 copies: a row in a full group of four of its tile is summed
        with the unrolled association, a tail row with the lane one, so one id
        can reach a query with two values. Returns the distinct (query, id)
        pairs with the value of a copy, and the queries ("clashes") where an id
        came with two different values: their heaps are replayed offer by offer.
        """
        q, ids, pos, size = self._copies(ranges, a, b, with_pos=True)
        q = q + a
        tile_len = np.minimum(_TILE, size - (pos // _TILE) * _TILE)
        full = (pos % _TILE) < 4 * (tile_len // 4)
        keep = (ids != ex[q]) & self._live(ids)
        n = max(self._n_points, 1)
        u = np.unique(((q * n + ids) * 2 + full)[keep])
        pair, grp = u >> 1, (u & 1).astype(bool)
        q, ids = pair // n, pair % n
        bits = np.empty(u.size, np.uint32)
        bits[grp] = self._distances(qf, ids[grp], q[grp], _sum_d8_group)
        bits[~grp] = self._distances(qf, ids[~grp], q[~grp], _sum_general)
        same_next = np.r_[pair[1:] == pair[:-1], False]
        clash = np.unique(q[same_next & (bits != np.r_[bits[1:], bits[:1]])[: u.size]])
        first = np.r_[True, ~same_next[:-1]][: u.size]
        return q[first], ids[first], bits[first], clash.tolist()

    def _replay_d8(self, probe_keys: np.ndarray, qf: np.ndarray, ex: int, k: int) -> list[tuple[int, int]]:
        """Exact offer sequence of one query: tables, keys ascending, bucket order."""
        heap: list[tuple[int, int]] = []  # max-heap of (bits, id) via negation
        present: set[int] = set()
        for t in range(self._l):
            for key in sorted(set(probe_keys[t].tolist())):
                ids = np.concatenate(self._range_ids(t, key, 1))
                if ids.size == 0:
                    continue
                pos = np.arange(ids.size)
                tile_len = np.minimum(_TILE, ids.size - (pos // _TILE) * _TILE)
                full = (pos % _TILE) < 4 * (tile_len // 4)
                bits = np.where(
                    full,
                    self._distances(qf[None, :], ids, np.zeros(ids.size, np.int64), _sum_d8_group),
                    self._distances(qf[None, :], ids, np.zeros(ids.size, np.int64), _sum_general),
                )
                live = self._live(ids)
                for x, v, alive in zip(ids.tolist(), bits.tolist(), live.tolist(), strict=True):
                    if x == ex or not alive:
                        continue
                    if len(heap) < k:
                        if x not in present:
                            heapq.heappush(heap, (-v, -x))
                            present.add(x)
                    elif (v, x) < (-heap[0][0], -heap[0][1]) and x not in present:
                        _, old = heapq.heapreplace(heap, (-v, -x))
                        present.discard(-old)
                        present.add(x)
        return sorted((-v, -x) for v, x in heap)

    # ---------------------------------------------------------------- radius

    def query_radius(
        self, queries: np.ndarray, radius: float, exclude_ids: np.ndarray | None = None
    ) -> tuple[np.ndarray, np.ndarray, np.ndarray]:
        """Every point within `radius` of each query, exactly.

        Args:
            queries: `(m, d)` float64 in `[0, 1)`.
            radius: Toroidal-L1 cutoff.
            exclude_ids: Optional `(m,)` int64, one id excluded per query.

        Returns:
            `(indptr, ids, dists)` in CSR form: query `i` owns
            `ids[indptr[i]:indptr[i+1]]`.
        """
        return self._query_radius(queries, radius, exclude_ids)

    def _query_radius(
        self,
        queries: np.ndarray,
        radius: float,
        exclude_ids: np.ndarray | None = None,
        probes: int | None = None,
        *,
        metric: _Metric = None,
    ) -> tuple[np.ndarray, np.ndarray, np.ndarray]:
        """`query_radius` with `probes` flip probes per table for this call, and
        in `metric`, as for `_query_knn` (a rooted distance within the radius
        is a sum within the largest sum whose root is)."""
        Q = _to_array(queries, "queries", 2, np.float64)
        radius = _to_float(radius, "radius")
        ex = self._to_exclude_ids(exclude_ids)
        probes = None if probes is None else _to_unsigned(probes, "probes")
        self._check_queries(Q, ex)
        Q, ex = self._read_queries(Q, ex)
        with np.errstate(over="ignore"):
            r = np.array(radius, np.float64).astype(np.float32)
        m = Q.shape[0]
        counts = np.zeros(m, np.int64)
        out_ids: list[np.ndarray] = []
        out_bits: list[np.ndarray] = []
        if self._built and m:
            exv = ex if ex is not None else np.full(m, -1, np.int64)
            qf = _wrap_f32(Q)
            ranges = self._ranges(self._probe_keys(Q, probes))
            raw = ranges[0][1].sum(axis=(1, 2)) + ranges[1][1].sum(axis=(1, 2))
            n = max(self._n_points, 1)
            for a, b in self._chunks(raw):
                q, ids = self._copies(ranges, a, b)
                u = np.unique(q * n + ids)
                q, ids = u // n + a, u % n
                keep = (ids != exv[q]) & self._live(ids)
                q, ids = q[keep], ids[keep]
                bits = self._distances(qf, ids, q, metric=metric)
                hit = bits.view(np.float32) <= r  # inclusive; NaN never passes
                q, ids, bits = q[hit], ids[hit], bits[hit]
                order = np.lexsort((ids, bits, q))
                counts[a:b] = np.bincount(q - a, minlength=b - a)
                out_ids.append(ids[order])
                out_bits.append(bits[order])
        indptr = np.zeros(m + 1, np.int64)
        np.cumsum(counts, out=indptr[1:])
        ids = np.concatenate(out_ids) if out_ids else np.zeros(0, np.int64)
        bits = np.concatenate(out_bits) if out_bits else np.zeros(0, np.uint32)
        return indptr, ids.astype(np.int64), _widen(bits)

    # ----------------------------------------------------------------- epochs

    def update(self, coords: np.ndarray) -> None:
        """Selective refresh: re-place only entries whose key changed, by
        delete + merge (new-before-kept on equal keys)."""
        C = _to_array(coords, "coords", 2, np.float64)
        if not self._built and C.size:
            raise ValueError("the index has not been built")
        n_cand = self._n_points - self._n_static
        if C.size != n_cand * self._d:
            raise PanicException(f"update expects {n_cand * self._d} values, got {C.size}")
        C = _read(C)
        if not self._built:
            return
        rows = C.reshape(n_cand, self._d)
        f64 = self._f64.copy()
        f64[self._n_static :] = rows
        f32 = self._f32.copy()
        f32[self._n_static :] = _wrap_f32(rows)
        new_keys = self._compute_keys(rows)
        old_keys = self._cand_keys
        sorted_keys = self._cand_sorted_keys.copy()
        sorted_ids = self._cand_sorted_ids.copy()
        # a retired candidate has no entry: its row moves, its entries stay out
        entered = self._live(np.arange(self._n_static, self._n_points, dtype=np.int64))
        for t in range(self._l):
            changed = (new_keys[t] != old_keys[t]) & entered
            if not changed.any():
                continue
            moved_ids = np.flatnonzero(changed) + self._n_static
            moved_keys = new_keys[t][changed]
            order = np.argsort(moved_keys, kind="stable")  # ids ascend already
            moved_keys, moved_ids = moved_keys[order], moved_ids[order]
            kept = ~changed[sorted_ids[t] - self._n_static]
            kept_keys, kept_ids = sorted_keys[t][kept], sorted_ids[t][kept]
            # merge: a moved entry goes before kept entries of an equal key
            pos_moved = np.arange(moved_keys.size) + np.searchsorted(kept_keys, moved_keys, "left")
            pos_kept = np.arange(kept_keys.size) + np.searchsorted(moved_keys, kept_keys, "right")
            sorted_keys[t, pos_moved], sorted_ids[t, pos_moved] = moved_keys, moved_ids
            sorted_keys[t, pos_kept], sorted_ids[t, pos_kept] = kept_keys, kept_ids
        self._f64, self._f32 = f64, f32
        self._cand_keys, self._cand_sorted_keys, self._cand_sorted_ids = new_keys, sorted_keys, sorted_ids

    def promote(self, new_candidates: np.ndarray) -> None:
        """Merge candidates into the static tier (candidate-before-static on
        equal keys), then install the new batch."""
        X = _to_array(new_candidates, "new_candidates", 2, np.float64)
        if not self._built:
            raise ValueError("the index has not been built")
        if X.shape[1] != self._d:
            raise ValueError(f"new_candidates have {X.shape[1]} columns but the index has d = {self._d}")
        N, m = self._n_points, X.shape[0]
        if N >= 1 << 32 or m >= 1 << 32:
            raise ValueError("a tier must hold fewer than 2**32 points")
        X = _read(X)
        static_keys, static_ids = self._static_keys, self._static_ids
        if self._cand_sorted_ids.shape[1]:  # entries of the live points only
            merged = static_ids.shape[1] + self._cand_sorted_ids.shape[1]
            static_keys = np.empty((self._l, merged), np.int64)
            static_ids = np.empty((self._l, merged), np.int64)
            for t in range(self._l):
                sk, si = self._static_keys[t], self._static_ids[t]
                ck, ci = self._cand_sorted_keys[t], self._cand_sorted_ids[t]
                # merge: a candidate goes before static entries of an equal key
                pos_c = np.arange(ck.size) + np.searchsorted(sk, ck, "left")
                pos_s = np.arange(sk.size) + np.searchsorted(ck, sk, "right")
                static_keys[t, pos_c], static_ids[t, pos_c] = ck, ci
                static_keys[t, pos_s], static_ids[t, pos_s] = sk, si
        f64 = np.concatenate([self._f64, X]) if m else self._f64
        f32 = np.concatenate([self._f32, _wrap_f32(X)]) if m else self._f32
        cand = self._candidate_tier(f64, N)
        self._static_keys, self._static_ids = static_keys, static_ids
        self._n_static, self._n_points = N, N + m
        self._f64, self._f32 = f64, f32
        self._cand_keys, self._cand_sorted_keys, self._cand_sorted_ids = cand

    def retire(self, ids: np.ndarray) -> None:
        """Retire points: no query returns them again, from either tier.

        Their ids stay taken (never given to another point) and their entries
        leave every table of their tier (`tables()` lists the live entries;
        `cand_keys` keeps every candidate); `update` still moves a retired
        candidate and `promote` archives it, retired, both without entries.
        `build` starts with none retired. Retiring an id again changes
        nothing.

        Args:
            ids: `(m,)` int64, each in `[0, n_points)`; otherwise ValueError
                and nothing is retired.
        """
        ids = _read(_to_array(ids, "ids", 1, np.int64))
        bad = (ids < 0) | (ids >= self._n_points)
        if bad.any():
            raise ValueError(f"ids must lie in [0, {self._n_points}) to be retired, got {ids[np.argmax(bad)]}")
        if ids.size == 0:
            return
        retired = self._retired
        if retired.size <= ids.max():
            retired = np.concatenate([retired, np.zeros(int(ids.max()) + 1 - retired.size, bool)])
        else:
            retired = retired.copy()
        retired[ids] = True
        n_retired = int(retired.sum())
        if n_retired == self._n_retired:
            return
        self._retired, self._n_retired = retired, n_retired
        # drop the newly retired points' entries; each table keeps its order
        for keys, ids_name in (("_static_keys", "_static_ids"), ("_cand_sorted_keys", "_cand_sorted_ids")):
            held = getattr(self, ids_name)
            keep = self._live(held)
            live = int(keep[0].sum()) if self._l else 0
            setattr(self, keys, getattr(self, keys)[keep].reshape(self._l, live))
            setattr(self, ids_name, held[keep].reshape(self._l, live))

    # ------------------------------------------------------------ inspection

    @property
    def nbytes(self) -> int:
        """Bytes of the arrays the reference holds: the sum of `nbytes_by_part`."""
        return sum(self.nbytes_by_part.values())

    @property
    def nbytes_by_part(self) -> dict[str, int]:
        """The compiled index's parts, from this reference's arrays: its
        directories are its per-entry keys, and it keeps nothing for reuse."""
        return {
            "coordinates": self._f64.nbytes + self._f32.nbytes,
            "ids": self._static_ids.nbytes + self._cand_sorted_ids.nbytes + self._retired.nbytes,
            "directories": self._static_keys.nbytes + self._cand_keys.nbytes + self._cand_sorted_keys.nbytes,
            "reuse": 0,
        }

    def points(self) -> np.ndarray:
        """The `(n_points, d)` float32 coordinates distances are measured on."""
        return self._f32.reshape(self._n_points, self._d).copy()

    # ------------------------------------------------------------ statistics

    def stats(self) -> dict[str, int]:
        """Cumulative query-phase profile: CPU-ns summed across workers, plus
        gathered-candidate and relaxation counters. Reset with reset_stats()."""
        return {**self._counters, "block": self._block}

    def reset_stats(self) -> None:
        """Zero the counters read by `stats`."""
        for name in self._counters:
            self._counters[name] = 0

    # ----------------------------------------------------------------- state

    def _state(self) -> dict[str, Any]:
        """Everything the index holds, as plain arrays (copies) in the shared
        layout of both classes: see `STATE_VERSION` and `_check_state`."""
        n, ns, d = self._n_points, self._n_static, self._d
        state: dict[str, Any] = {
            "version": STATE_VERSION,
            "b": self._b,
            "k": self._k,
            "l": self._l,
            "probes": self._probes,
            "block": self._block,
            "d": d,
            "n_points": n,
            "n_static": ns,
            "s": self._s.ravel().copy(),
            "u": self._u.ravel().copy(),
            "coords": np.array(self._f32.reshape(n, d), np.float32, order="C"),
            "cand_coords": np.array(self._f64[ns:].reshape(n - ns, d), np.float64, order="C"),
        }
        for tier, keys, ids, base in (
            ("static", self._static_keys, self._static_ids, 0),
            ("cand", self._cand_sorted_keys, self._cand_sorted_ids, ns),
        ):
            state[tier + "_ids"] = (ids - base).astype(np.uint32).reshape(self._l, -1)
            state.update({tier + "_" + name: v for name, v in zip(_DIRECTORY, _directory(keys, self._l), strict=True)})
        words = -(-self._retired.size // 64)
        bits = np.zeros(words * 64, bool)
        bits[: self._retired.size] = self._retired
        state["retired"] = np.packbits(bits, bitorder="little").view("<u8").astype(np.uint64)
        state["stats"] = dict(self._counters)
        return state

    @classmethod
    def _from_state(cls, state: dict[str, Any], files: dict[str, Any] | None = None) -> PythonLshIndex:
        """An index from `_state()` of either class, checked first (ValueError).

        `files` is accepted for the compiled class's signature and ignored:
        the reference uses state["coords"] as given (a read-only memory map
        stays one) and converts the rest to its own layout.
        """
        v = _check_state(state)
        L, K = v["l"], v["k"]
        index = cls(v["b"], K, L, v["probes"], state["s"].reshape(L, K), state["u"].reshape(L, K), v["block"])
        n, ns, d = v["n_points"], v["n_static"], v["d"]
        index._built, index._d, index._n_points, index._n_static = d > 0, d, n, ns
        coords = state["coords"]
        # a mapped file stays mapped (read-only: every change copies first);
        # an array of the caller's is copied, so that changing it later
        # leaves the index alone
        mapped = files is not None and "coords" in files and isinstance(coords, np.memmap)
        index._f32 = coords if mapped else np.array(coords, np.float32, order="C")
        f64 = np.empty((n, d), np.float64)
        f64[:ns] = coords[:ns]
        f64[ns:] = state["cand_coords"]
        index._f64 = f64
        tiers: dict[str, tuple[np.ndarray, np.ndarray]] = {}
        for tier, base in (("static", 0), ("cand", ns)):
            ids = state[tier + "_ids"]
            if state[tier + "_first_bucket"].size == 0:  # an index never built, its tiers left out
                tiers[tier] = np.zeros((L, 0), np.int64), np.zeros((L, 0), np.int64)
                continue
            keys = np.empty(ids.shape, np.int64)
            starts, first = state[tier + "_bucket_starts"], state[tier + "_first_bucket"]
            for t in range(L):
                a, b = int(first[t]), int(first[t + 1])
                keys[t] = np.repeat(state[tier + "_bucket_keys"][a:b], np.diff(starts[a + t : b + t + 1]))
            tiers[tier] = keys, ids.astype(np.int64) + base
        index._static_keys, index._static_ids = tiers["static"]
        index._cand_sorted_keys, index._cand_sorted_ids = tiers["cand"]
        sorted_keys, sorted_ids = tiers["cand"]
        if sorted_ids.shape[1] == n - ns:
            cand_keys = np.empty_like(sorted_keys)
        else:  # a tier without some of its points: their keys from their rows
            cand_keys = index._compute_keys(f64[ns:]) if d else np.zeros((L, 0), np.int64)
        np.put_along_axis(cand_keys, sorted_ids - ns, sorted_keys, axis=1)
        index._cand_keys = cand_keys
        bits = np.unpackbits(state["retired"].astype("<u8").view(np.uint8), bitorder="little").astype(bool)
        top = int(np.flatnonzero(bits)[-1]) + 1 if bits.any() else 0
        index._retired, index._n_retired = bits[:top].copy(), int(bits.sum())
        index._counters = {name: state["stats"][name] for name in QUERY_COUNTERS}
        return index

    def __reduce__(self) -> tuple[Callable[[dict[str, Any]], PythonLshIndex], tuple[dict[str, Any]]]:
        return _python_index_from_state, (self._state(),)


# ----------------------------------------------------------------------- state
#
# The state both raw classes give and take (`_state`, `_from_state`, pickle):
# the scalar settings and sizes, the hash parameters, the coordinates, and
# per tier its tables as the compiled index holds them: per table the tier's
# ids in key order (less the tier's base) and a directory of its occupied
# buckets (their keys, where each starts in the table's run of ids, and
# which buckets belong to which table).

#: Version of the state dict (and of the saved index's tables).
STATE_VERSION = 1
#: The scalar entries of a state: signed for b, unsigned 64-bit for the rest.
STATE_INTS = ("b", "k", "l", "probes", "block", "d", "n_points", "n_static")
#: Per tier, its directory's arrays.
_DIRECTORY = ("bucket_keys", "bucket_starts", "first_bucket")
#: Every array of a state, with its dtype and dimensions.
STATE_ARRAYS = {
    "s": (np.int64, 1),
    "u": (np.float64, 1),
    "coords": (np.float32, 2),
    "cand_coords": (np.float64, 2),
    "static_ids": (np.uint32, 2),
    "static_bucket_keys": (np.int64, 1),
    "static_bucket_starts": (np.uint32, 1),
    "static_first_bucket": (np.uint64, 1),
    "cand_ids": (np.uint32, 2),
    "cand_bucket_keys": (np.int64, 1),
    "cand_bucket_starts": (np.uint32, 1),
    "cand_first_bucket": (np.uint64, 1),
    "retired": (np.uint64, 1),
}


def _directory(keys: np.ndarray, L: int) -> tuple[np.ndarray, np.ndarray, np.ndarray]:
    """Bucket keys, starts and first buckets of an (L, m) array of sorted keys."""
    m = keys.shape[1]
    new = np.ones(keys.shape, bool)
    new[:, 1:] = keys[:, 1:] != keys[:, :-1]
    if m == 0:
        new = np.zeros((L, 0), bool)
    first = np.zeros(L + 1, np.uint64)
    np.cumsum(new.sum(axis=1), out=first[1:])
    starts = np.insert(np.nonzero(new)[1].astype(np.uint32), first[1:].astype(np.int64), np.uint32(m))
    return keys[new].astype(np.int64), starts.astype(np.uint32), first


def _python_index_from_state(state: dict[str, Any]) -> PythonLshIndex:
    """Unpickles a `PythonLshIndex` (the target of its `__reduce__`)."""
    return PythonLshIndex._from_state(state)


def _state_int(state: dict[str, Any], name: str, low: int, high: int) -> int:
    value = state.get(name)
    if isinstance(value, (bool, np.bool_)) or not isinstance(value, (int, np.integer)):
        raise ValueError(f"state[{name!r}] must be an int, got {type(value).__name__}")
    value = int(value)
    if not low <= value <= high:
        raise ValueError(f"state[{name!r}] must lie in [{low}, {high}], got {value}")
    return value


def _check_state(state: object) -> dict[str, int]:
    """Checks a state dict before anything trusts it; returns its scalars.

    Types, dtypes and shapes, the sizes against each other, tiers below
    2**32 points, b**K within int64 for a built index, ids below the tier's
    size and distinct within each table, bucket keys ascending within each
    table and inside [0, b**K), starts ascending from 0 to the table's
    entries, first buckets ascending from 0 to the buckets, coordinates
    finite, retired bits only below n_points. Whether each table's keys are
    those its points hash to is not checked: a forged state may answer
    wrongly, never crash. Raises ValueError naming the first problem.
    """
    if not isinstance(state, dict):
        raise ValueError(f"a state must be a dict, got {type(state).__name__}")
    version = _state_int(state, "version", 0, _U64_MASK)
    if version != STATE_VERSION:
        raise ValueError(f"state version {version} is not supported (this version reads {STATE_VERSION})")
    v = {
        name: _state_int(state, name, -(1 << 63) if name == "b" else 0, _I64_MAX if name == "b" else _U64_MASK)
        for name in STATE_INTS
    }
    for name, (dtype, ndim) in STATE_ARRAYS.items():
        arr = state.get(name)
        if not isinstance(arr, np.ndarray):
            raise ValueError(f"state[{name!r}] must be a numpy array, got {type(arr).__name__}")
        if arr.dtype != np.dtype(dtype) or arr.ndim != ndim:
            raise ValueError(
                f"state[{name!r}] must be a {ndim}-D {np.dtype(dtype).name} array, got {arr.ndim}-D {arr.dtype}"
            )
    b, K, L, d, n, ns = v["b"], v["k"], v["l"], v["d"], v["n_points"], v["n_static"]
    if state["s"].shape != (L * K,) or state["u"].shape != (L * K,):
        raise ValueError(f"state['s'] and state['u'] must hold l * k = {L * K} values")
    if ns > n:
        raise ValueError(f"n_static ({ns}) exceeds n_points ({n})")
    if ns >= 1 << 32 or n - ns >= 1 << 32:
        raise ValueError("a tier must hold fewer than 2**32 points")
    if d == 0 and n:
        raise ValueError("an index of dimension 0 (never built) holds no points")
    if d:
        if b < 1 or K == 0 or L == 0:
            raise ValueError("a built index has b, k and l of at least 1")
        s = state["s"]
        if s.size and (int(s.min()) < 0 or int(s.max()) >= d):
            raise ValueError(f"state['s'] must hold coordinate indices in [0, d) for d = {d}")
        if b > 1 and (K >= 64 or b**K > _I64_MAX):
            raise ValueError("b**k must not exceed 2**63 - 1")
    for name, rows in (("coords", n), ("cand_coords", n - ns)):
        arr = state[name]
        if arr.shape != (rows, d):
            raise ValueError(f"state[{name!r}] must have shape ({rows}, {d}), got {arr.shape}")
        if arr.size and not (np.isfinite(arr.min()) and np.isfinite(arr.max())):
            raise ValueError(f"state[{name!r}] holds a value that is not finite")
    space = min(b**K, _I64_MAX) if b > 1 and K < 64 else (1 if b <= 1 else _I64_MAX)
    retired = state["retired"]
    if retired.size > -(-n // 64):
        raise ValueError(f"state['retired'] has {retired.size} words, more than {n} points need")
    bits = np.unpackbits(retired.astype("<u8").view(np.uint8), bitorder="little")
    if bits[n:].any():
        raise ValueError(f"state['retired'] marks an id at or beyond n_points ({n})")
    bits = np.concatenate([bits[:n], np.zeros(max(0, n - bits.size), np.uint8)]).astype(bool)
    for tier, base, size in (("static", 0, ns), ("cand", ns, n - ns)):
        _check_tier(state, tier, size, L, space, unbuilt=d == 0, retired=bits[base : base + size])
    stats = state.get("stats")
    if not isinstance(stats, dict) or not set(QUERY_COUNTERS) <= set(stats) <= {*QUERY_COUNTERS, "block"}:
        raise ValueError(f"state['stats'] must be a dict of the counters {', '.join(QUERY_COUNTERS)}")
    for name in QUERY_COUNTERS:
        _state_int(stats, name, 0, _U64_MASK)
    return v


def _check_tier(
    state: dict[str, Any], tier: str, size: int, L: int, space: int, unbuilt: bool, retired: np.ndarray
) -> None:
    """Each table of a built tier holds exactly its live points (`retired`:
    per point of the tier), once each; update and promote rely on it."""
    ids, keys = state[tier + "_ids"], state[tier + "_bucket_keys"]
    starts, first = state[tier + "_bucket_starts"], state[tier + "_first_bucket"]
    name = f"state[{tier + '_ids'!r}]"
    if unbuilt and ids.size == keys.size == starts.size == first.size == 0:
        return  # an index never built may leave its tiers out entirely
    if ids.shape[0] != L:
        raise ValueError(f"{name} must have one row per table ({L}), got shape {ids.shape}")
    m = ids.shape[1]
    live = size - int(np.count_nonzero(retired))
    if m != live and not (unbuilt and m == 0):
        raise ValueError(f"{name} holds {m} entries per table but the tier has {live} live points")
    if ids.size and int(ids.max()) >= size:
        raise ValueError(f"{name} holds an id at or beyond the tier's size ({size})")
    seen = np.zeros(size, bool)
    for t in range(L):
        seen[:] = False
        seen[ids[t]] = True
        if int(np.count_nonzero(seen)) != m:
            raise ValueError(f"{name} repeats an id within table {t}")
    if ids.size and retired[ids].any():
        raise ValueError(f"{name} holds a retired point")
    if first.shape != (L + 1,):
        raise ValueError(f"state[{tier + '_first_bucket'!r}] must have shape ({L + 1},), got {first.shape}")
    B = keys.size
    if int(first[0]) != 0 or int(first[-1]) != B or (np.diff(first.astype(np.int64)) < 0).any() or (first > B).any():
        raise ValueError(f"state[{tier + '_first_bucket'!r}] must rise from 0 to the {B} buckets")
    if starts.shape != (B + L,):
        raise ValueError(f"state[{tier + '_bucket_starts'!r}] must have shape ({B + L},), got {starts.shape}")
    for t in range(L):
        a, b = int(first[t]), int(first[t + 1])
        k, st = keys[a:b], starts[a + t : b + t + 1].astype(np.int64)
        if k.size and (int(k[0]) < 0 or int(k[-1]) >= space or (np.diff(k) <= 0).any()):
            raise ValueError(
                f"state[{tier + '_bucket_keys'!r}] must ascend strictly inside [0, {space}) within table {t}"
            )
        if int(st[0]) != 0 or int(st[-1]) != m or (np.diff(st) < 0).any():
            raise ValueError(f"state[{tier + '_bucket_starts'!r}] must rise from 0 to {m} within table {t}")
