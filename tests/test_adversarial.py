"""Adversarial input: every method of RustLshIndex called in random order
with random valid and invalid arguments. The outcome each call must have is
worked out here from the arguments alone, in the order the call frame
checks them (argument list, conversion of each argument, layout of each
array, then what the engine refuses); after every call the index must still
equal the reference built from the same successful calls. The front door,
PlovikSearch, gets the same treatment on both of its backends at once (at
the end of this file)."""

import operator
import re
from dataclasses import dataclass

import numpy as np
from hypothesis import settings
from hypothesis import strategies as st
from hypothesis.stateful import RuleBasedStateMachine, initialize, invariant, rule

from plovik import PlovikSearch, RustLshIndex
from plovik.lsh import PythonLshIndex

LAYOUT_MESSAGE = "The given array is not contiguous or is misaligned."
COUNTED = ("queries", "cands", "pairs", "relaxed")
I64_MAX = 2**63 - 1
# The largest element count of an 8-byte result NumPy (and a C++ vector) can
# describe: sizes in bytes are signed machine words.
MAX_RESULT_CELLS = I64_MAX // 8
SPECIAL_VALUES = np.array([np.nan, -np.nan, np.inf, -np.inf, -0.0, 1.0, -1.5, 7.25, 1e300, -1e-300,
                           2.0**62, -(2.0**63)])


class Boom(Exception):
    """Raised by argument objects whose conversion hook fails."""


class IndexLike:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


class FloatLike:
    def __init__(self, value):
        self.value = value

    def __float__(self):
        return self.value


class ExplodingIndex:
    def __index__(self):
        raise Boom("__index__")


class ExplodingFloat:
    def __float__(self):
        raise Boom("__float__")


class SubArray(np.ndarray):
    """Any ndarray subclass is accepted where an array is."""


@dataclass
class Expect:
    """The outcome of one call: `kind` is "ok", or the exception class; a
    conversion failure of a parameter (`param`) must carry the argument's
    name and, for TypeError, its cause; `match` is a pattern the message
    must contain."""

    kind: object = "ok"
    param: str | None = None
    match: str | None = None

    @property
    def ok(self):
        return self.kind == "ok"


OK = Expect()
PANIC = "PanicException"


def conversion(kind, param):
    return Expect(kind, param=param)


def layout_error():
    return Expect(TypeError, match=re.escape(LAYOUT_MESSAGE))


@dataclass
class Arg:
    """One argument as passed, what its conversion does, and for arrays the
    logical values (row-major) the engine should see and whether reading its
    data fails on layout."""

    value: object
    error: type | None = None
    values: np.ndarray | None = None
    bad_layout: bool = False


def is_readable(a):
    return a.size == 0 or ((a.flags.c_contiguous or a.flags.f_contiguous) and a.flags.aligned)


def misaligned(x):
    raw = bytearray(x.nbytes + 1)
    out = np.frombuffer(raw, dtype=x.dtype, offset=1, count=x.size).reshape(x.shape)
    out[...] = x
    return out


def strided(x, axis):
    shape = list(x.shape)
    shape[axis] *= 2
    base = np.zeros(shape, x.dtype)
    view = base[::2] if axis == 0 else base[:, ::2]
    view[...] = x
    return view


ARRAY_FORMS = ["c", "fortran", "subclass", "readonly", "rows_strided", "cols_strided",
                           "reversed", "misaligned", "float32", "int64", "bigendian", "object",
                           "complex", "list", "none", "scalar", "numpy_scalar", "flat", "3d", "0d",
                           "bytes"]
EXCLUDE_FORMS = ["c", "strided", "reversed", "misaligned", "int32", "uint64", "float64",
                             "bigendian", "2d", "list", "scalar", "0d"]


def array_arg(x, form):
    """A float64 2-D argument carrying the values of x in the given form."""
    if form == "c":
        return Arg(np.ascontiguousarray(x), values=x)
    if form == "fortran":
        return Arg(np.asfortranarray(x), values=x)
    if form == "subclass":
        return Arg(np.ascontiguousarray(x).view(SubArray), values=x)
    if form == "readonly":
        a = x.copy()
        a.flags.writeable = False
        return Arg(a, values=x)
    if form in ("rows_strided", "cols_strided", "reversed", "misaligned"):
        if form == "reversed":
            a = x[::-1]
            values = a
        else:
            a = misaligned(x) if form == "misaligned" else strided(x, 0 if form == "rows_strided" else 1)
            values = x
        return Arg(a, values=np.ascontiguousarray(values), bad_layout=not is_readable(a))
    wrong = {
        "float32": lambda: x.astype(np.float32),
        "int64": lambda: np.zeros(x.shape, np.int64),
        "bigendian": lambda: x.astype(">f8"),
        "object": lambda: x.astype(object),
        "complex": lambda: x.astype(np.complex128),
        "list": lambda: x.tolist(),
        "none": lambda: None,
        "scalar": lambda: 0.5,
        "numpy_scalar": lambda: np.float64(0.5),
        "flat": lambda: x.ravel(),
        "3d": lambda: x[None],
        "0d": lambda: np.array(0.5),
        "bytes": lambda: x.tobytes(),
    }[form]
    with np.errstate(all="ignore"):
        return Arg(wrong(), error=TypeError)


def exclude_arg(ids, form):
    """An exclude_ids argument holding ids (int64) in the given form."""
    if form == "c":
        return Arg(ids.copy(), values=ids)
    if form in ("strided", "reversed", "misaligned"):
        if form == "strided":
            a = np.zeros(2 * ids.size, np.int64)[::2]
            a[...] = ids
        elif form == "reversed":
            a = ids[::-1]
        else:
            a = misaligned(ids)
        return Arg(a, values=np.ascontiguousarray(a), bad_layout=not is_readable(a))
    wrong = {
        "int32": lambda: ids.astype(np.int32),
        "uint64": lambda: ids.astype(np.uint64),
        "float64": lambda: ids.astype(np.float64),
        "bigendian": lambda: ids.astype(">i8"),
        "2d": lambda: ids[None],
        "list": lambda: ids.tolist(),
        "scalar": lambda: 3,
        "0d": lambda: np.array(3),
    }[form]
    return Arg(wrong(), error=TypeError)


HASH_INDEX_FORMS = ["c", "fortran", "subclass", "rows_strided", "misaligned", "int32", "uint64",
                    "float64", "bigendian", "list", "flat", "3d", "none"]


def hash_index_arg(s, form):
    """The constructor's s (int64, 2-D) holding the values of s in the given form."""
    if form == "c":
        return Arg(s.copy(), values=s)
    if form == "fortran":
        return Arg(np.asfortranarray(s), values=s)
    if form == "subclass":
        return Arg(s.copy().view(SubArray), values=s)
    if form in ("rows_strided", "misaligned"):
        a = strided(s, 0) if form == "rows_strided" else misaligned(s)
        return Arg(a, values=s, bad_layout=not is_readable(a))
    wrong = {
        "int32": lambda: s.astype(np.int32),
        "uint64": lambda: s.astype(np.uint64),
        "float64": lambda: s.astype(np.float64),
        "bigendian": lambda: s.astype(">i8"),
        "list": lambda: s.tolist(),
        "flat": lambda: s.ravel(),
        "3d": lambda: s[None],
        "none": lambda: None,
    }[form]
    return Arg(wrong(), error=TypeError)


# The signed parameter b.
I64_FORMS = ["valid", "numpy32", "bool", "index_like", "too_big", "too_small", "float", "str", "none",
             "exploding"]


def i64_arg(valid, kind):
    if kind == "valid":
        return Arg(valid, values=valid)
    if kind == "numpy32":
        return Arg(np.int32(5), values=5)
    if kind == "bool":
        return Arg(True, values=1)
    if kind == "index_like":
        return Arg(IndexLike(valid), values=valid)
    if kind == "too_big":
        return Arg(2**63, error=OverflowError)
    if kind == "too_small":
        return Arg(-(2**63) - 1, error=OverflowError)
    if kind == "exploding":
        return Arg(ExplodingIndex(), error=Boom)
    return Arg({"float": 4.0, "str": "4", "none": None}[kind], error=TypeError)


# Unsigned machine-word parameters (k, l, probes, block, n_static): the
# value the engine gets, or the conversion error.
USIZE_FORMS = ["valid", "bool", "numpy", "index_like", "negative", "too_big", "float", "str", "none",
               "exploding", "numpy_float"]


def usize_arg(draw, valid, kind):
    if kind == "valid":
        return Arg(valid, values=valid)
    if kind == "bool":
        return Arg(bool(valid % 2), values=int(valid % 2))
    if kind == "numpy":
        signed = valid <= I64_MAX and draw(st.booleans())
        return Arg(np.int64(valid) if signed else np.uint64(valid), values=valid)
    if kind == "index_like":
        return Arg(IndexLike(valid), values=valid)
    if kind == "negative":
        return Arg(draw(st.sampled_from([-1, -(2**63), -(2**70)])), error=OverflowError)
    if kind == "too_big":
        return Arg(draw(st.sampled_from([2**64, 2**64 + 5, 2**100])), error=OverflowError)
    if kind == "exploding":
        return Arg(ExplodingIndex(), error=Boom)
    value = {"float": float(valid), "str": str(valid), "none": None,
             "numpy_float": np.float64(valid)}[kind]
    return Arg(value, error=TypeError)


RADIUS_FORMS = ["float", "int", "numpy32", "float_like", "index_like", "special", "huge_int", "str",
                "none", "complex", "exploding"]


def radius_arg(draw, kind):
    r = draw(st.sampled_from([0.0, 0.05, 0.3, 0.75, 2.0]))
    if kind == "float":
        return Arg(r, values=r)
    if kind == "int":
        v = draw(st.sampled_from([0, 1, 3, -2]))
        return Arg(v, values=float(v))
    if kind == "numpy32":
        return Arg(np.float32(r), values=float(np.float32(r)))
    if kind == "float_like":
        return Arg(FloatLike(r), values=r)
    if kind == "index_like":
        return Arg(IndexLike(2), values=2.0)
    if kind == "special":
        v = draw(st.sampled_from([np.nan, np.inf, -np.inf, -0.5, 1e300, 5e-324]))
        return Arg(v, values=v)
    if kind == "huge_int":
        return Arg(10**400, error=OverflowError)
    if kind == "exploding":
        return Arg(ExplodingFloat(), error=Boom)
    return Arg({"str": "0.5", "none": None, "complex": 0.5j}[kind], error=TypeError)


def first_failure(params):
    """The expected outcome of a call given its converted-in-order arguments:
    [(name, Arg)]. None when every argument converts and reads."""
    for name, arg in params:
        if arg is not None and arg.error is not None:
            return conversion(arg.error, name)
    return None


def first_layout_failure(params):
    for _, arg in params:
        if arg is not None and arg.bad_layout:
            return layout_error()
    return None


# Ways of getting the argument list wrong. They are checked before anything
# else, whatever the arguments are.
CALL_FORMS = ["positional", "keyword", "missing", "extra", "unknown", "duplicate"]


ABSENT = object()  # an optional argument left out (None is an argument like any other)


def passed(args):
    return [ABSENT if a is None else a.value for a in args]


def call_args(names, required, values, form):
    """(args, kwargs, error pattern or None) for passing `values` (one per
    name, ABSENT for an optional argument left out) in the given form."""
    present = [(n, v) for n, v in zip(names, values) if v is not ABSENT]
    if form == "positional":
        vals = [v for _, v in present]
        # An optional argument can only follow positionally when all before it are given.
        return vals, {}, None
    if form == "keyword":
        return [], dict(present), None
    if form == "missing" and required:
        i = required - 1
        args = [v for _, v in present[:i]]
        kwargs = {n: v for n, v in present[i + 1:]}
        return args, kwargs, rf"missing required argument '{names[i]}'"
    if form == "extra":
        args = [v for _, v in present] + [None] * (len(names) - len(present) + 1)
        return args, {}, r"positional argument"
    if form == "unknown":
        return [v for _, v in present], {"bogus": 1}, r"unexpected keyword argument 'bogus'"
    if form == "duplicate" and present:
        args = [v for _, v in present]
        return args, {present[0][0]: present[0][1]}, rf"multiple values for argument '{present[0][0]}'"
    return [v for _, v in present], {}, None


class Plan:
    """Which arguments of one call are passed in a valid form. A third of
    the calls pass all of them validly, a third break exactly one (an
    argument or the argument list), a third choose every form at random, so
    that several faults meet and the order of the checks shows."""

    def __init__(self, draw, slots):
        self.draw = draw
        self.mode = draw(st.sampled_from(["clean", "one", "any"]))
        self.broken = draw(st.sampled_from(slots)) if self.mode == "one" else None

    def form(self, slot, forms):
        """forms[0] is the plain valid form."""
        if self.mode == "clean" or (self.mode == "one" and slot != self.broken):
            return forms[0]
        return self.draw(st.sampled_from(forms[1:] if self.mode == "one" else forms))

    def wants(self, slot):
        """Whether an optional argument is passed."""
        return self.broken == slot or self.draw(st.booleans())


def is_panic(e):
    return type(e).__name__ == PANIC and type(e).__bases__ == (BaseException,)


def run(qualname, call, expect):
    """Calls and checks the outcome against `expect`; the result on success."""
    try:
        result = call()
    except BaseException as e:  # noqa: BLE001 - PanicException derives from BaseException
        assert not expect.ok, f"{qualname}: unexpected {type(e).__name__}: {e}"
        if expect.kind == PANIC:
            assert is_panic(e), f"{qualname}: expected PanicException, got {e!r}"
        else:
            assert type(e) is expect.kind, f"{qualname}: expected {expect.kind.__name__}, got {e!r}"
        if expect.param is not None and expect.kind is TypeError:
            assert str(e).startswith(f"argument '{expect.param}': "), (qualname, str(e))
            assert isinstance(e.__cause__, TypeError), qualname
        if expect.match is not None:
            assert re.search(expect.match, str(e)), (qualname, str(e), expect.match)
        return None
    assert expect.ok, f"{qualname}: expected {expect}, the call returned"
    return result


def assert_result_array(a, dtype):
    assert type(a) is np.ndarray and a.dtype == dtype
    assert a.flags.c_contiguous and a.flags.writeable and a.base is not None


def same_arrays(got, want):
    assert len(got) == len(want)
    for g, w in zip(got, want):
        assert g.shape == w.shape and g.dtype == w.dtype
        assert g.tobytes() == w.tobytes()


class Adversary(RuleBasedStateMachine):
    """One index and its reference, and a stream of calls with arguments of
    every kind; only the calls that must succeed reach the reference."""

    calls = 0  # calls made, over every run of the machine

    @initialize(d=st.integers(1, 5), L=st.integers(1, 3), K=st.integers(1, 3),
                b=st.sampled_from([1, 2, 3, 5, 16]), probes=st.integers(0, 4),
                block=st.sampled_from([0, 1, 2, 1024]), seed=st.integers(0, 2**32 - 1),
                built=st.booleans())
    def start(self, d, L, K, b, probes, block, seed, built):
        self.rng = np.random.default_rng(seed)
        s = self.rng.integers(0, d, (L, K))
        # Queries of any width are fine until the first build; a build may
        # choose any width that covers every hashed coordinate.
        self.min_width = int(s.max()) + 1
        params = dict(b=b, k=K, l=L, probes=probes, s=s, u=self.rng.random((L, K)), block=block)
        self.native, self.ref = RustLshIndex(**params), PythonLshIndex(**params)
        self.d = 0
        self.counters_known = True
        if built:  # else the first calls meet an index never built
            points = self.rng.random((30, d))
            for ix in (self.native, self.ref):
                ix.build(points, 20)
            self.d = d

    # -------------------------------------------------------------- helpers

    def coords(self, rows, cols, special):
        x = self.rng.random((rows, cols))
        if special and x.size:
            hit = self.rng.random(x.shape) < 0.25
            x[hit] = self.rng.choice(SPECIAL_VALUES, size=int(hit.sum()))
        return x

    def call(self, method, names, required, args, expect, form):
        """Calls native.method in the given form. An argument-list error
        overrides every other expectation."""
        pos, kw, wrong = call_args(names, required, passed(args),
                                   form)
        if wrong is not None:
            expect = Expect(TypeError, match=rf"RustLshIndex\.{method}\(\).*{wrong}")
        Adversary.calls += 1
        before = self.native.stats()
        result = run(method, lambda: getattr(self.native, method)(*pos, **kw), expect)
        if not expect.ok:
            if expect.kind == PANIC and method == "query_knn":
                # rows answered before the failing one may have been counted
                self.counters_known = False
            elif self.counters_known:
                assert self.native.stats() == before, method
        return result, expect.ok

    # ---------------------------------------------------------------- rules

    @rule(data=st.data())
    def build(self, data):
        draw = data.draw
        plan = Plan(draw, ["points", "n_static", "call"])
        n = draw(st.integers(0, 40))
        width = draw(st.sampled_from([max(self.d, self.min_width)] * 4 + [0, 1, 2, 3, 6]))
        points = array_arg(self.coords(n, width, draw(st.booleans())), plan.form("points", ARRAY_FORMS))
        n_static = usize_arg(draw, draw(st.sampled_from([0, n // 2, n, n + 1])),
                             plan.form("n_static", USIZE_FORMS))
        params = [("points", points), ("n_static", n_static)]
        expect = first_failure(params) or first_layout_failure(params)
        if expect is None:
            if width < self.min_width:
                expect = Expect(ValueError, match=rf"^s must hold coordinate indices in \[0, d\) for d = {width}$")
            elif n_static.values > n:
                expect = Expect(ValueError,
                                match=rf"^n_static \({n_static.values}\) exceeds the number of points \({n}\)$")
            else:
                expect = OK
        _, ok = self.call("build", ["points", "n_static"], 2, [points, n_static], expect,
                          plan.form("call", CALL_FORMS))
        if ok:
            self.ref.build(points.values, n_static.values)
            self.d = width

    @rule(data=st.data())
    def update(self, data):
        draw = data.draw
        plan = Plan(draw, ["coords", "call"])
        n_cand, d = self.native.n_candidates, self.d
        rows, cols = draw(st.sampled_from([(n_cand, d)] * 4 + [(1, n_cand * d), (n_cand * d, 1),
                                                               (max(n_cand - 1, 0), d), (n_cand + 1, d),
                                                               (n_cand, d + 1), (0, d), (0, 0)]))
        coords = array_arg(self.coords(rows, cols, draw(st.booleans())), plan.form("coords", ARRAY_FORMS))
        params = [("coords", coords)]
        expect = first_failure(params) or first_layout_failure(params)
        if expect is None:
            count = rows * cols
            if d == 0:
                expect = OK if count == 0 else Expect(ValueError, match="^the index has not been built$")
            elif count != n_cand * d:
                expect = Expect(PANIC, match=rf"^update expects {n_cand * d} values, got {count}$")
            else:
                expect = OK
        _, ok = self.call("update", ["coords"], 1, [coords], expect, plan.form("call", CALL_FORMS))
        if ok:
            self.ref.update(coords.values)

    @rule(data=st.data())
    def promote(self, data):
        draw = data.draw
        plan = Plan(draw, ["new_candidates", "call"])
        m = draw(st.integers(0, 12))
        width = draw(st.sampled_from([self.d] * 4 + [0, self.d + 1, max(self.d - 1, 0)]))
        rows = array_arg(self.coords(m, width, draw(st.booleans())), plan.form("new_candidates", ARRAY_FORMS))
        params = [("new_candidates", rows)]
        expect = first_failure(params) or first_layout_failure(params)
        if expect is None:
            if self.d == 0:
                expect = Expect(ValueError, match="^the index has not been built$")
            elif width != self.d:
                expect = Expect(ValueError,
                                match=rf"^new_candidates have {width} columns but the index has d = {self.d}$")
            else:
                expect = OK
        _, ok = self.call("promote", ["new_candidates"], 1, [rows], expect, plan.form("call", CALL_FORMS))
        if ok:
            self.ref.promote(rows.values)

    def query_args(self, draw, plan):
        m = draw(st.sampled_from([0, 1, 2, 5, 17, 64, 70]))
        width = draw(st.sampled_from([self.d or self.min_width] * 5 + [0, 1, 7]))
        queries = array_arg(self.coords(m, width, draw(st.booleans())), plan.form("queries", ARRAY_FORMS))
        # Left out, passed as None (the same), or an array.
        exclude = draw(st.sampled_from([None, Arg(None)]))
        if plan.wants("exclude_ids"):
            length = draw(st.sampled_from([m] * 4 + [max(m - 1, 0), 0, m + 3]))
            n = max(self.native.n_points, 1)
            ids = self.rng.integers(-2, n + 2, length)
            if length and draw(st.booleans()):
                ids[self.rng.integers(0, length)] = draw(st.sampled_from([I64_MAX, -(2**63), -1]))
            exclude = exclude_arg(ids, plan.form("exclude_ids", EXCLUDE_FORMS))
        return m, width, queries, exclude

    def engine_query_outcome(self, m, width, exclude):
        if self.d != 0 and width != self.d:
            return Expect(ValueError, match=rf"^queries have {width} columns but the index has d = {self.d}$")
        return None

    def short_exclude(self, m, exclude):
        if exclude is not None and exclude.values is not None and exclude.values.size < m:
            return Expect(PANIC,
                          match=rf"^exclude_ids holds {exclude.values.size} entries but there are {m} queries$")
        return None

    @rule(data=st.data())
    def query_knn(self, data):
        draw = data.draw
        plan = Plan(draw, ["queries", "k", "exclude_ids", "call"])
        m, width, queries, exclude = self.query_args(draw, plan)
        k_value = draw(st.sampled_from([0, 1, 3, 8, 50] * 3 + [2**40, 2**60 - 1, 2**60, 2**63, 2**64 - 1]))
        k_arg = usize_arg(draw, k_value, plan.form("k", USIZE_FORMS))
        params = [("queries", queries), ("k", k_arg), ("exclude_ids", exclude)]
        expect = first_failure(params) or first_layout_failure(params)
        if expect is None:
            k = k_arg.values
            expect = self.engine_query_outcome(m, width, exclude)
            if expect is None and (max(m, 1) * max(k, 1) > MAX_RESULT_CELLS or (m and k >= 2**40)):
                # far beyond this machine's memory, or beyond what an array can describe
                expect = Expect(MemoryError)
            expect = expect or self.short_exclude(m, exclude) or OK
        result, ok = self.call("query_knn", ["queries", "k", "exclude_ids"], 2, [queries, k_arg, exclude],
                               expect, plan.form("call", CALL_FORMS))
        if ok:
            for a, dtype in zip(result, (np.int64, np.float64)):
                assert_result_array(a, dtype)
            ex = None if exclude is None else exclude.values
            same_arrays(result, self.ref.query_knn(queries.values, k, ex))
            self.check_counters()

    @rule(data=st.data())
    def query_radius(self, data):
        draw = data.draw
        plan = Plan(draw, ["queries", "radius", "exclude_ids", "call"])
        m, width, queries, exclude = self.query_args(draw, plan)
        radius = radius_arg(draw, plan.form("radius", RADIUS_FORMS))
        params = [("queries", queries), ("radius", radius), ("exclude_ids", exclude)]
        expect = first_failure(params) or first_layout_failure(params)
        if expect is None:
            expect = self.engine_query_outcome(m, width, exclude) or self.short_exclude(m, exclude) or OK
        result, ok = self.call("query_radius", ["queries", "radius", "exclude_ids"], 2,
                               [queries, radius, exclude], expect, plan.form("call", CALL_FORMS))
        if ok:
            for a, dtype in zip(result, (np.int64, np.int64, np.float64)):
                assert_result_array(a, dtype)
            ex = None if exclude is None else exclude.values
            same_arrays(result, self.ref.query_radius(queries.values, radius.values, ex))

    @rule(name=st.sampled_from(["tables", "stats", "reset_stats", "n_points", "n_static", "n_candidates"]),
          misuse=st.booleans())
    def argument_free(self, name, misuse):
        """The methods without arguments (misused: given one) and the
        read-only properties (misused: assigned or deleted)."""
        Adversary.calls += 1
        if name.startswith("n_"):
            if misuse:
                action = setattr if self.rng.random() < 0.5 else lambda obj, attr, *_: delattr(obj, attr)
                run(name, lambda: action(self.native, name, 5), Expect(AttributeError))
            else:
                value = run(name, lambda: getattr(self.native, name), OK)
                assert type(value) is int and value == getattr(self.ref, name)
            return
        args = (1,) if misuse else ()
        expect = Expect(TypeError, match=rf"{name}\(\) takes no arguments") if misuse else OK
        result = run(name, lambda: getattr(self.native, name)(*args), expect)
        if misuse:
            return
        if name == "tables":
            want = self.ref.tables()
            assert list(result) == list(want)
            for key in want:
                assert type(result[key]) is np.ndarray and result[key].flags.c_contiguous
                same_arrays([result[key]], [want[key]])
        elif name == "stats":
            assert list(result) == list(self.ref.stats())
            assert all(type(v) is int and v >= 0 for v in result.values())
            assert result["block"] == self.ref.stats()["block"]
        else:
            assert result is None
            self.ref.reset_stats()
            self.counters_known = True
            assert all(v == 0 for key, v in self.native.stats().items() if key != "block")

    @rule(data=st.data())
    def construct(self, data):
        """A new object from fuzzed parameters; when one is made, it must
        be empty, and its first build must refuse exactly the parameters
        the engine cannot work with, or match the reference."""
        draw = data.draw
        names = ["b", "k", "l", "probes", "s", "u", "block"]
        plan = Plan(draw, names + ["call"])
        d = draw(st.integers(1, 4))
        K, L = draw(st.sampled_from([(2, 2), (1, 3), (3, 1), (0, 2), (2, 0), (0, 0), (1, 1)]))
        b = draw(st.sampled_from([1, 2, 3, 5, 2**31, 0, -3, -(2**63)] + ([2**63 - 1] if K == 1 else [])))
        s_values = self.rng.integers(0, d, (L, K))
        if s_values.size and draw(st.booleans()):  # a coordinate the points will not have
            s_values.flat[self.rng.integers(s_values.size)] = draw(st.sampled_from([d, -1, I64_MAX]))
        s_shape_ok = draw(st.sampled_from([True] * 4 + [False]))
        if not s_shape_ok:
            s_values = self.rng.integers(0, d, draw(st.sampled_from([(L, K + 1), (L + 1, K), (K + 1, L)])))
        u_values = self.coords(*s_values.shape, draw(st.booleans()))
        if draw(st.sampled_from([True] * 6 + [False])) is False:
            u_values = self.coords(s_values.shape[0], s_values.shape[1] + 1, False)
        args = [
            i64_arg(b, plan.form("b", I64_FORMS)),
            usize_arg(draw, K, plan.form("k", USIZE_FORMS)),
            usize_arg(draw, L, plan.form("l", USIZE_FORMS)),
            usize_arg(draw, draw(st.sampled_from([0, 1, 2, 5, 2**63, 2**64 - 1])),
                      plan.form("probes", USIZE_FORMS)),
            hash_index_arg(s_values, plan.form("s", HASH_INDEX_FORMS)),
            array_arg(u_values, plan.form("u", ARRAY_FORMS)),
            usize_arg(draw, draw(st.sampled_from([0, 1, 2, 1024, 2**64 - 1])),
                      plan.form("block", USIZE_FORMS))
            if plan.wants("block") else None,
        ]
        params = list(zip(names, args))
        expect = first_failure(params)
        if expect is None:
            k, l = args[1].values, args[2].values
            if args[4].values.shape != (l, k) or args[5].values.shape != args[4].values.shape:
                expect = Expect(ValueError, match=r"^S and U must have shape \(L, K\)$")
        expect = expect or first_layout_failure(params) or OK
        pos, kw, wrong = call_args(names, 6, passed(args),
                                   plan.form("call", CALL_FORMS))
        if wrong is not None:
            expect = Expect(TypeError, match=rf"RustLshIndex\(\).*{wrong}")
        Adversary.calls += 1
        index = run("RustLshIndex", lambda: RustLshIndex(*pos, **kw), expect)
        if index is None:
            return
        values = {name: arg.values for name, arg in params if arg is not None}
        assert (index.n_points, index.n_static, index.n_candidates) == (0, 0, 0)
        assert all(t.shape == (values["l"], 0) for t in index.tables().values())
        assert index.stats()["block"] == values.get("block", 1024)
        b, k, l = values["b"], values["k"], values["l"]
        n = draw(st.integers(0, 20))
        n_static = draw(st.sampled_from([0, n, n + 1]))
        points = self.coords(n, d, draw(st.booleans()))
        s_ok = ((values["s"] >= 0) & (values["s"] < d)).all()
        problem = ("b must be at least 1" if b < 1 else "k must be at least 1" if k == 0
                   else "l must be at least 1" if l == 0
                   else rf"s must hold coordinate indices in \[0, d\) for d = {d}" if not s_ok
                   else r"b\*\*k must not exceed 2\*\*63 - 1" if b**k > I64_MAX
                   else rf"n_static \({n_static}\) exceeds the number of points \({n}\)" if n_static > n
                   else None)
        Adversary.calls += 1
        run("build", lambda: index.build(points, n_static),
            Expect(ValueError, match=f"^{problem}$") if problem else OK)
        if problem:
            assert index.n_points == 0
            return
        ref = PythonLshIndex(**values)
        ref.build(points, n_static)
        same_arrays(list(index.tables().values()), list(ref.tables().values()))
        q = self.coords(draw(st.sampled_from([5, 70])), d, True)  # 70: the blocked path unless block is 1
        same_arrays(index.query_knn(q, 4), ref.query_knn(q, 4))
        same_arrays(index.query_radius(q, 0.5), ref.query_radius(q, 0.5))

    # ----------------------------------------------------------- invariants

    def check_counters(self):
        if self.counters_known:
            got, want = self.native.stats(), self.ref.stats()
            assert {c: got[c] for c in COUNTED} == {c: want[c] for c in COUNTED}

    @invariant()
    def equals_reference(self):
        native, ref = self.native, self.ref
        assert (native.n_points, native.n_static, native.n_candidates) == (
            ref.n_points, ref.n_static, ref.n_candidates)
        got, want = native.tables(), ref.tables()
        assert list(got) == list(want)
        same_arrays(list(got.values()), list(want.values()))
        # A valid batch still gets the reference's rows.
        q = self.rng.random((4, self.d or self.min_width))
        ex = self.rng.integers(-1, max(native.n_points, 1), 4)
        same_arrays(native.query_knn(q, 3, ex), ref.query_knn(q, 3, ex))
        same_arrays(native.query_radius(q, 0.4), ref.query_radius(q, 0.4))
        self.check_counters()


TestAdversary = Adversary.TestCase
TestAdversary.settings = settings(stateful_step_count=60)


# --------------------------------------------------------------- front door
#
# PlovikSearch validates what the raw class takes as it comes. Its
# arguments are tagged here as valid, or invalid by type or by value; a call
# whose arguments are all valid must succeed, any other must fail with
# TypeError or ValueError (whichever of its faults is found first) before
# anything changes. The native and the reference backend are driven side by
# side and must agree on every outcome: the same exception and message, or
# the same results and tables.

VALID, BAD_TYPE, BAD_VALUE, TOO_BIG = "valid", TypeError, ValueError, MemoryError


@dataclass
class Tagged:
    value: object
    tag: object = VALID


def front_points(rng, rows, d, form):
    """Array-likes of (rows, d) coordinates, each tagged."""
    x = rng.random((rows, d))
    valid = {
        "c": lambda: x,
        "fortran": lambda: np.asfortranarray(x),
        "strided": lambda: strided(x, 0),
        "float32": lambda: x.astype(np.float32),
        "ints": lambda: (x * 3).astype(np.int64),
        "uint8": lambda: (x * 3).astype(np.uint8),
        "bigendian": lambda: x.astype(">f8"),
        "list": lambda: x.tolist(),
        "tuple": lambda: tuple(map(tuple, x)),
        "outside": lambda: x * 7 - 3,  # wraps onto the torus
    }
    if form in valid:
        # a list of no rows has lost its width: it reads as shape (0,)
        return Tagged(valid[form](), BAD_VALUE if form in ("list", "tuple") and not rows else VALID)
    if form in ("nan", "inf"):
        if not x.size:  # nowhere to put one: a valid empty array
            return Tagged(x)
        x.flat[rng.integers(x.size)] = np.nan if form == "nan" else -np.inf
        return Tagged(x, BAD_VALUE)
    bad_value = {
        "wide": lambda: rng.random((rows, d + 1)),
        "flat": lambda: x.ravel(),
        "3d": lambda: x[None],
        "scalar": lambda: 0.5,
    }
    if form in bad_value:
        return Tagged(bad_value[form](), BAD_VALUE)
    bad_type = {
        "complex": lambda: x.astype(np.complex128),
        "bool": lambda: x > 0.5,
        "object": lambda: x.astype(object),
        "str": lambda: "points",
        "none": lambda: None,
        "ragged": lambda: [[0.5] * d, [0.5] * (d + 1)],
    }
    return Tagged(bad_type[form](), BAD_TYPE)


FRONT_POINT_FORMS = ["c", "fortran", "strided", "float32", "ints", "uint8", "bigendian", "list",
                     "tuple", "outside", "nan", "inf", "wide", "flat", "3d", "scalar", "complex",
                     "bool", "object", "str", "none", "ragged"]


def front_count(value, low, form):
    """An integer setting (k, n_static, tables ...) of at least `low`."""
    if form == "valid":
        return Tagged(value)
    if form == "numpy":
        return Tagged(np.int64(value) if value <= I64_MAX else np.uint64(value) if value < 2**64 else value)
    if form == "index_like":
        return Tagged(IndexLike(value))
    if form == "below":
        return Tagged(low - 1, BAD_VALUE)
    return Tagged({"bool": True, "float": float(value), "str": str(value), "none": None}[form], BAD_TYPE)


FRONT_COUNT_FORMS = ["valid", "numpy", "index_like", "below", "bool", "float", "str", "none"]


def front_radius(form):
    valid = {"float": 0.3, "int": 1, "numpy32": np.float32(0.25), "zero": 0.0}
    if form in valid:
        return Tagged(valid[form])
    if form in ("negative", "nan", "inf"):
        return Tagged({"negative": -0.1, "nan": np.nan, "inf": np.inf}[form], BAD_VALUE)
    return Tagged({"bool": True, "str": "0.3", "none": None, "complex": 0.3j,
                   "float_like": FloatLike(0.3)}[form], BAD_TYPE)


FRONT_RADIUS_FORMS = ["float", "int", "numpy32", "zero", "negative", "nan", "inf", "bool", "str",
                      "none", "complex", "float_like"]


def front_exclude(rng, m, n_points, form):
    ids = rng.integers(-1, max(n_points, 1), m) if n_points else np.full(m, -1)
    valid = {"none": lambda: None, "c": lambda: ids, "list": lambda: ids.tolist(),
             "uint": lambda: np.maximum(ids, 0).astype(np.uint32) if n_points else ids,
             "strided": lambda: strided(ids[:, None], 0)[:, 0]}
    if form in valid:
        return Tagged(valid[form]())
    if form in ("short", "long", "below", "beyond"):
        value = {"short": lambda: ids[:-1], "long": lambda: np.r_[ids, 0],
                 "below": lambda: np.r_[ids[:-1], -2],
                 "beyond": lambda: np.r_[ids[:-1], n_points]}[form]()
        fits = value.shape == (m,) and ((value >= -1) & (value < n_points)).all()
        return Tagged(value, VALID if fits else BAD_VALUE)
    if form == "float":  # floats are refused, unless there are none (as in an empty list)
        return Tagged(ids.astype(np.float64), BAD_TYPE if m else VALID)
    return Tagged({"str": "ids", "bool": ids > 0}[form], BAD_TYPE)


FRONT_EXCLUDE_FORMS = ["none", "c", "list", "uint", "strided", "short", "long", "below", "beyond",
                       "float", "str", "bool"]


def outcome(call):
    try:
        return "ok", call()
    except MemoryError:  # NumPy's own subclass and message where NumPy allocates
        return MemoryError, ""
    except (TypeError, ValueError) as e:
        return type(e), str(e)


class FrontDoor(RuleBasedStateMachine):
    """Two PlovikSearch objects, one per backend, given the same calls."""

    @initialize(d=st.integers(1, 4), tables=st.integers(1, 3),
                components=st.sampled_from([None, 1, 2, 3]), cells=st.sampled_from([None, 1, 2, 5]),
                probes=st.integers(0, 3), block=st.sampled_from([0, 1, 2, 1024]),
                seed=st.integers(0, 2**32 - 1))
    def start(self, d, tables, components, cells, probes, block, seed):
        self.rng = np.random.default_rng(seed)
        self.d = d
        settings_ = dict(tables=tables, components=components, cells=cells, probes=probes, block=block,
                         seed=seed)
        self.pair = [PlovikSearch(d, backend=b, **settings_) for b in ("native", "reference")]

    def both(self, method, args, tags, unbuilt_refusal=False):
        """Calls method on both objects; checks that they agree, that the
        outcome fits the tags, and that a failure changed nothing."""
        Adversary.calls += 1
        before = [search.tables() for search in self.pair]
        results = [outcome(lambda s=search: getattr(s, method)(*args)) for search in self.pair]
        (kind, got), (kind_ref, want) = results
        assert kind == kind_ref, (method, results)
        tags = [t for t in tags if t is not VALID]
        if unbuilt_refusal and self.pair[0].raw is None:
            assert kind is ValueError and "before build()" in got, (method, got)
        elif not tags:
            assert kind == "ok", (method, got)
        elif kind != "ok":
            assert kind in tags, (method, tags, kind, got)
        else:
            raise AssertionError(f"{method}: faults {tags} went unnoticed")
        if kind == "ok":
            if isinstance(got, tuple):
                same_arrays(got, want)
        else:
            assert got == want, (method, got, want)
            for search, old in zip(self.pair, before):
                same_arrays(list(search.tables().values()), list(old.values()))

    @rule(data=st.data())
    def build(self, data):
        draw = data.draw
        n = draw(st.integers(0, 40))
        points = front_points(self.rng, n, self.d, draw(st.sampled_from(FRONT_POINT_FORMS)))
        n_static = (Tagged(None) if draw(st.booleans()) else  # None: every row static
                    front_count(draw(st.sampled_from([0, n // 2, n])), 0,
                                draw(st.sampled_from([f for f in FRONT_COUNT_FORMS if f != "none"]))))
        self.both("build", (points.value, n_static.value), [points.tag, n_static.tag])

    @rule(data=st.data())
    def update(self, data):
        draw = data.draw
        n_cand = self.pair[0].n_candidates
        rows = draw(st.sampled_from([n_cand] * 3 + [n_cand + 1, max(n_cand - 1, 0)]))
        coords = front_points(self.rng, rows, self.d, draw(st.sampled_from(FRONT_POINT_FORMS)))
        tags = [coords.tag]
        if rows != n_cand:
            tags.append(BAD_VALUE)
        self.both("update", (coords.value,), tags, unbuilt_refusal=True)

    @rule(data=st.data())
    def promote(self, data):
        draw = data.draw
        forms = [f for f in FRONT_POINT_FORMS if f != "none"]
        batch = (Tagged(None) if draw(st.booleans()) else  # None: an empty batch
                 front_points(self.rng, draw(st.integers(0, 10)), self.d, draw(st.sampled_from(forms))))
        self.both("promote", (batch.value,), [batch.tag], unbuilt_refusal=True)

    @rule(data=st.data())
    def query_knn(self, data):
        draw = data.draw
        m = draw(st.sampled_from([0, 1, 3, 70]))
        queries = front_points(self.rng, m, self.d, draw(st.sampled_from(FRONT_POINT_FORMS)))
        k = front_count(draw(st.sampled_from([1, 4, 50, 2**40, 2**60, 2**64, 2**70])), 1,
                        draw(st.sampled_from(FRONT_COUNT_FORMS)))
        exclude = front_exclude(self.rng, m, self.pair[0].n_points, draw(st.sampled_from(FRONT_EXCLUDE_FORMS)))
        tags = [queries.tag, k.tag, exclude.tag]
        if all(t is VALID for t in tags):
            k_value = operator.index(k.value)
            if (m and k_value >= 2**40) or k_value >= 2**60:  # beyond memory, or beyond any array
                tags.append(TOO_BIG)
        self.both("query_knn", (queries.value, k.value, exclude.value), tags, unbuilt_refusal=True)

    @rule(data=st.data())
    def query_radius(self, data):
        draw = data.draw
        m = draw(st.sampled_from([0, 1, 3, 70]))
        queries = front_points(self.rng, m, self.d, draw(st.sampled_from(FRONT_POINT_FORMS)))
        radius = front_radius(draw(st.sampled_from(FRONT_RADIUS_FORMS)))
        exclude = front_exclude(self.rng, m, self.pair[0].n_points, draw(st.sampled_from(FRONT_EXCLUDE_FORMS)))
        self.both("query_radius", (queries.value, radius.value, exclude.value),
                  [queries.tag, radius.tag, exclude.tag], unbuilt_refusal=True)

    @rule(name=st.sampled_from(["tables", "stats", "reset_stats"]))
    def read(self, name):
        Adversary.calls += 1
        got, want = (getattr(search, name)() for search in self.pair)
        if name == "tables":
            same_arrays(list(got.values()), list(want.values()))
        elif name == "stats":
            assert {c: got[c] for c in COUNTED} == {c: want[c] for c in COUNTED}

    @invariant()
    def backends_agree(self):
        native, ref = self.pair
        assert (len(native), native.n_static, native.n_candidates) == (len(ref), ref.n_static, ref.n_candidates)
        same_arrays(list(native.tables().values()), list(ref.tables().values()))


TestFrontDoor = FrontDoor.TestCase
TestFrontDoor.settings = settings(stateful_step_count=40)
