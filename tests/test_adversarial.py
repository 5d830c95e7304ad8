"""Every method of a built or unbuilt RustLshIndex called in random order with
random valid and invalid arguments (the constructor's refusals: test_binding).
Each outcome is worked out from the arguments, in the order the call frame
checks them (argument list, conversions, sizes, layout); the reference refuses
alike, and after every call the index equals the reference. Valid epochs in any
order check the tier merges and their tie orders in both kinds of directory."""

import re
from collections import namedtuple

import numpy as np
from hypothesis import settings
from hypothesis import strategies as st
from hypothesis.stateful import RuleBasedStateMachine, initialize, invariant, rule

from index_helpers import misaligned, strided
from plovik import PanicException, RustLshIndex
from plovik.lsh import PythonLshIndex
from raw_texts import LAYOUT

COUNTED = ("queries", "cands", "pairs", "relaxed")
I64_MAX = 2**63 - 1
# The largest element count of an 8-byte result NumPy (and a C++ vector) can
# describe: sizes in bytes are signed machine words.
MAX_RESULT_CELLS = I64_MAX // 8
SPECIAL_VALUES = np.array(
    [np.nan, -np.nan, np.inf, -np.inf, -0.0, 1.0, -1.5, 7.25, 1e300, -1e-300, 2.0**62, -(2.0**63)]
)

# The outcome of one call: "ok", or the exception class. A
# conversion failure of parameter `param` must name it and, for TypeError,
# carry the original as its cause; the message must match `match`.
Expect = namedtuple("Expect", "kind param match", defaults=("ok", None, None))
OK = Expect()
# One argument as passed, the error its conversion raises, or else the value
# the engine gets (row-major for arrays) and whether reading it fails on layout.
Arg = namedtuple("Arg", "value error values bad_layout", defaults=(None, None, False))


class Boom(Exception):
    """Raised by a conversion hook whose value is Boom."""


class IndexLike:
    """Converts through __index__ alone."""

    def __init__(self, value):
        self.value = value

    def __index__(self):
        if self.value is Boom:
            raise Boom("conversion hook")
        return self.value


class FloatLike(IndexLike):
    """Adds __float__, which conversion to a float prefers."""

    __float__ = IndexLike.__index__


class SubArray(np.ndarray):
    """Any ndarray subclass is accepted where an array is."""


# Every array parameter (float64 or int64, 1-D or 2-D) takes every form: the
# layouts the engine must read (or refuse to read), then those conversion
# refuses: another dtype, byte order, not an ndarray, other dimensions.
ARRAY_FORMS = ["c", "fortran", "subclass", "readonly", "strided", "reversed", "misaligned"]
ARRAY_FORMS += ["dtype", "bigendian", "foreign", "ndim"]


def array_arg(draw, x, form):
    layouts = {
        "c": x.copy,
        "fortran": lambda: np.asfortranarray(x),
        "subclass": lambda: x.copy().view(SubArray),
        "strided": lambda: strided(x),
        "readonly": lambda: np.frombuffer(x.tobytes(), x.dtype).reshape(x.shape),
        "reversed": lambda: x[::-1],
        "misaligned": lambda: misaligned(x),
    }
    if form in layouts:
        a = layouts[form]()
        readable = a.size == 0 or ((a.flags.c_contiguous or a.flags.f_contiguous) and a.flags.aligned)
        return Arg(a, values=np.ascontiguousarray(a), bad_layout=not readable)
    with np.errstate(all="ignore"):
        if form == "dtype":
            other = np.int64 if x.dtype == np.float64 else np.float64
            wrong = x.astype(draw(st.sampled_from([np.float32, np.int32, np.uint64, np.complex128, object, other])))
        elif form == "bigendian":
            wrong = x.astype(x.dtype.newbyteorder(">"))
        elif form == "foreign":
            wrong = draw(st.sampled_from([x.tolist(), 3, x.tobytes()]))  # None leaves exclude_ids out
        else:
            wrong = draw(st.sampled_from([x[None], np.zeros((), x.dtype), x.ravel() if x.ndim == 2 else x[:, None]]))
    return Arg(wrong, error=TypeError)


# Integer parameters (k, n_static) are unsigned machine words.
INT_FORMS = ["valid", "index_like", "bool", "index_like", "negative", "too_big", "wrong_type", "exploding"]
OUT_OF_RANGE = {"negative": [-1, -(2**63), -(2**70)], "too_big": [2**64, 2**100]}


def int_arg(draw, valid, form):
    if form in ("negative", "too_big"):
        return Arg(draw(st.sampled_from(OUT_OF_RANGE[form])), error=OverflowError)
    if form == "wrong_type":
        return Arg(draw(st.sampled_from([float(valid), str(valid), None, np.float64(valid)])), error=TypeError)
    if form == "exploding":
        return Arg(IndexLike(Boom), error=Boom)
    if form == "bool":
        return Arg(bool(valid % 2), values=valid % 2)
    return Arg(valid if form == "valid" else IndexLike(valid), values=valid)


RADIUS_FORMS = ["float", "int", "float_like", "index_like", "huge_int", "wrong_type", "exploding"]


def radius_arg(draw, form):
    r = draw(st.sampled_from([0.0, 0.05, 0.3, 0.75, 2.0, np.nan, np.inf, -np.inf, -0.5, 1e300, 5e-324]))
    i = draw(st.sampled_from([0, 1, 3, -2]))
    valid = {
        "float": (r, r),
        "int": (i, float(i)),
        "float_like": (FloatLike(r), r),
        "index_like": (IndexLike(i), float(i)),
    }
    if form in valid:
        return Arg(valid[form][0], values=valid[form][1])
    if form == "wrong_type":
        return Arg(draw(st.sampled_from(["0.5", None, 0.5j])), error=TypeError)
    return Arg(10**400, error=OverflowError) if form == "huge_int" else Arg(FloatLike(Boom), error=Boom)


def arg_failure(params, after_conversion=lambda: None):
    """The outcome of converting [(name, Arg or None)], then `after_conversion`, then reading arrays."""
    params = [(name, arg) for name, arg in params if arg is not None]
    for name, arg in params:
        if arg.error is not None:
            return Expect(arg.error, param=name)
    if (expect := after_conversion()) is not None:
        return expect
    if any(arg.bad_layout for _, arg in params):  # the message names no argument
        return Expect(TypeError, match="^" + re.escape(LAYOUT) + "$")
    return None


# Ways of getting the argument list wrong. They are checked before anything
# else, whatever the arguments are.
CALL_FORMS = ["positional", "keyword", "missing", "extra", "unknown", "duplicate"]


def call_args(names, required, args, form):
    """(args, kwargs, error pattern or None) passing `args` (None: left out) in the given form."""
    present = [(n, a.value) for n, a in zip(names, args, strict=True) if a is not None]
    values, i = [v for _, v in present], required - 1
    return {
        "positional": (values, {}, None),
        "keyword": ([], dict(present), None),
        "missing": (values[:i], dict(present[i + 1 :]), rf"missing required argument '{names[i]}'"),
        "extra": (values + [None] * (len(names) - len(present) + 1), {}, "positional argument"),
        "unknown": (values, {"bogus": 1}, "unexpected keyword argument 'bogus'"),
        "duplicate": (values, dict(present[:1]), rf"multiple values for argument '{names[0]}'"),
    }[form]


class Plan:
    """Which arguments (and argument list) of a call are valid: all, all but one, or each at random."""

    def __init__(self, draw, slots):
        self.draw = draw
        self.mode = draw(st.sampled_from(["clean", "one", "any"]))
        self.broken = draw(st.sampled_from([*slots, "call"])) if self.mode == "one" else None

    def form(self, slot, forms):  # forms[0] is the plain valid form
        if self.mode == "clean" or (self.mode == "one" and slot != self.broken):
            return forms[0]
        return self.draw(st.sampled_from(forms[1:] if self.mode == "one" else forms))

    def wants(self, slot):
        return self.broken == slot or self.draw(st.booleans())


def run(qualname, call, expect):
    """Calls and checks the outcome against `expect` (for the reference, None:
    only the type of an argument-list error); the result on success."""
    try:
        result = call()
    except BaseException as e:  # noqa: BLE001 - PanicException derives from BaseException
        # (NumPy raises a subclass of MemoryError where it allocates)
        assert type(e) is expect.kind or expect.kind is MemoryError is type(e).__base__, f"{qualname}: {expect}, {e!r}"
        if expect.match is None and expect.param is None:
            return None
        if expect.param is not None and expect.kind is TypeError:
            assert str(e).startswith(f"argument '{expect.param}': "), (qualname, str(e))
            assert isinstance(e.__cause__, TypeError), qualname
        assert expect.match is None or re.search(expect.match, str(e)), (qualname, str(e), expect.match)
        return None
    assert expect.kind == "ok", f"{qualname}: expected {expect}, the call returned"
    return result


def same_arrays(got, want):
    """Equal sequences of arrays, or equal dicts of them (same keys in the same order)."""
    if isinstance(got, dict):
        assert list(got) == list(want)
        got, want = list(got.values()), list(want.values())
    assert len(got) == len(want)
    for g, w in zip(got, want, strict=True):
        assert type(g) is np.ndarray and g.flags.c_contiguous and g.shape == w.shape and g.dtype == w.dtype
        assert g.tobytes() == w.tobytes()


class Adversary(RuleBasedStateMachine):
    """One index and its reference; only the calls that must succeed reach the reference."""

    # Small b and K make keys collide within and across the tiers, in a dense
    # bucket directory; the wide key spaces have none, their tiers list their
    # occupied buckets: nearly all distinct (4096**3, 300**4) or few and shared (2**24).
    @initialize(
        d=st.integers(1, 5),
        L=st.integers(1, 3),
        K=st.integers(1, 3),
        b=st.sampled_from([1, 2, 3, 5, 16]),
        wide=st.sampled_from([None, None, (4096, 3), (2, 24), (300, 4)]),
        probes=st.integers(0, 4),
        block=st.sampled_from([0, 1, 2, 1024]),
        seed=st.integers(0, 2**32 - 1),
        built=st.booleans(),
    )
    def start(self, d, L, K, b, wide, probes, block, seed, built):
        b, K = wide or (b, K)
        self.rng = np.random.default_rng(seed)
        s = self.rng.integers(0, d, (L, K))
        # Queries of any width are fine until the first build; a build may
        # choose any width that covers every hashed coordinate.
        self.min_width = int(s.max()) + 1
        params = dict(b=b, k=K, l=L, probes=probes, s=s, u=self.rng.random((L, K)), block=block)
        self.native, self.ref = RustLshIndex(**params), PythonLshIndex(**params)
        self.d, self.cand = 0, np.zeros((0, 0))
        if built:  # else the first calls meet an index never built
            points = self.rng.random((30, d))
            for ix in (self.native, self.ref):
                ix.build(points, 20)
            self.d, self.cand = d, points[20:]
        self.prev = self.cand

    def coords(self, rows, cols, special, kind="random"):
        """Random rows (a quarter of the values special, if asked), rows drawn
        from a quarter of them (duplicate points), or for an update of every
        candidate: the same rows, some coordinates of a third of the rows
        moved, the previous rows back again (re-placed both times), or values
        far off the torus (keys hash the raw values, the float32 copies wrap them)."""
        shape, rng, cand = (rows, cols), self.rng, self.cand
        x = {
            "random": lambda: rng.random(shape),
            "same": cand.copy,
            "back": self.prev.copy,
            "some": lambda: (
                cand + rng.uniform(-0.3, 0.3, shape) * ((rng.random(shape) < 0.3) & (rng.random((rows, 1)) < 0.3))
            ),
            "wide": lambda: (rng.random(shape) - 0.5) * 1e3,
            "dup": lambda: rng.random(shape)[rng.integers(0, max(1, rows // 4), rows)],
        }[kind]()
        if special and x.size:
            hit = self.rng.random(x.shape) < 0.25
            x[hit] = self.rng.choice(SPECIAL_VALUES, size=int(hit.sum()))
        return x

    def call(self, plan, method, names, required, args, expect):
        """native.method(*args); an argument-list error overrides any other
        expectation. A refused call must be refused alike by the reference,
        and change the counters of neither."""
        pos, kw, wrong = call_args(names, required, args, plan.form("call", CALL_FORMS))
        if wrong is not None:
            expect = Expect(TypeError, match=rf"RustLshIndex\.{method}\(\).*{wrong}")
        before = self.native.stats(), self.ref.stats()
        result = run(method, lambda: getattr(self.native, method)(*pos, **kw), expect)
        if expect.kind != "ok":
            run(method, lambda: getattr(self.ref, method)(*pos, **kw), Expect(TypeError) if wrong else expect)
            assert (self.native.stats(), self.ref.stats()) == before, method
        return result, expect.kind == "ok"

    @rule(data=st.data(), method=st.sampled_from(["build", "update", "promote"]))
    def epoch(self, data, method):
        """A coordinate array (and for build n_static) of fitting or unfitting shape."""
        draw, d, c = data.draw, self.d, self.native.n_candidates
        names = [{"build": "points", "update": "coords", "promote": "new_candidates"}[method]]
        names += ["n_static"] if method == "build" else []
        plan = Plan(draw, names)
        n = draw(st.integers(0, 40))
        shapes = {
            "build": [(n, max(d, self.min_width))] * 4 + [(n, w) for w in (0, 1, 2, 3, 6)],
            "update": [(c, d)] * 4
            + [(1, c * d), (c * d, 1), (max(c - 1, 0), d), (c + 1, d), (c, d + 1), (0, d), (0, 0)],
            "promote": [(n % 13, w) for w in [d] * 4 + [0, d + 1, max(d - 1, 0)]],
        }[method]
        rows, cols = draw(st.sampled_from(shapes))
        kind = draw(st.sampled_from(["random", "random", "dup"]))
        if method == "update" and (rows, cols) == self.cand.shape == self.prev.shape:
            kind = draw(st.sampled_from(["random", "same", "some", "back", "wide"]))
        x = self.coords(rows, cols, draw(st.booleans()), kind)
        args = [array_arg(draw, x, plan.form(names[0], ARRAY_FORMS))]
        n_static = int_arg(draw, draw(st.sampled_from([0, n // 2, n, n + 1])), plan.form("n_static", INT_FORMS))
        args += [n_static] if method == "build" else []

        def refused():  # what the engine refuses from the sizes, in the order it checks
            count, n_static = rows * cols, args[-1].values
            if method == "build" and cols < self.min_width:
                return Expect(ValueError, match=rf"^s must hold coordinate indices in \[0, d\) for d = {cols}$")
            if method == "build" and n_static > n:
                return Expect(ValueError, match=rf"^n_static \({n_static}\) exceeds the number of points \({n}\)$")
            if method != "build" and d == 0 and (count or method == "promote"):
                return Expect(ValueError, match="^the index has not been built$")
            if method == "update" and count != c * d:
                return Expect(PanicException, match=rf"^update expects {c * d} values, got {count}$")
            if method == "promote" and cols != d:
                return Expect(ValueError, match=rf"^new_candidates have {cols} columns but the index has d = {d}$")
            return None

        expect = arg_failure(zip(names, args, strict=True), refused) or OK
        if self.call(plan, method, names, len(names), args, expect)[1]:
            getattr(self.ref, method)(*[arg.values for arg in args])
            self.d = cols if method == "build" else d
            rows = args[0].values.reshape(-1, self.d) if self.d else np.zeros((0, 0))
            if method == "update":
                self.prev, self.cand = self.cand, rows
            else:
                self.cand = self.prev = rows[args[1].values :] if method == "build" else rows

    @rule(data=st.data(), method=st.sampled_from(["query_knn", "query_radius"]))
    def query(self, data, method):
        draw = data.draw
        names = ["queries", "k" if method == "query_knn" else "radius", "exclude_ids"]
        plan = Plan(draw, names)
        m = draw(st.sampled_from([0, 1, 2, 5, 17, 64, 70]))
        width = draw(st.sampled_from([self.d or self.min_width] * 5 + [0, 1, 7]))
        queries = array_arg(draw, self.coords(m, width, draw(st.booleans())), plan.form("queries", ARRAY_FORMS))
        if method == "query_knn":
            k = draw(st.sampled_from([0, 1, 3, 8, 50] * 3 + [2**40, 2**60 - 1, 2**60, 2**63, 2**64 - 1]))
            second = int_arg(draw, k, plan.form("k", INT_FORMS))
        else:
            second = radius_arg(draw, plan.form("radius", RADIUS_FORMS))
        exclude = draw(st.sampled_from([None, Arg(None)]))  # left out, or passed as None (the same)
        if plan.wants("exclude_ids"):
            length = draw(st.sampled_from([m] * 4 + [max(m - 1, 0), 0, m + 3]))
            pool = np.r_[np.arange(-2, max(self.native.n_points, 1) + 2), I64_MAX, -(2**63)]
            ids = self.rng.choice(pool, length)
            exclude = array_arg(draw, ids, plan.form("exclude_ids", ARRAY_FORMS))
        args = [queries, second, exclude]
        ex = None if exclude is None else exclude.values

        def refused():  # the width, a short exclude_ids, a result no array can describe
            if self.d and width != self.d:
                return Expect(ValueError, match=rf"^queries have {width} columns but the index has d = {self.d}$")
            if ex is not None and ex.size < m:
                return Expect(PanicException, match=rf"^exclude_ids holds {ex.size} entries but there are {m} queries$")
            if method == "query_knn" and max(m, 1) * max(second.values, 1) > MAX_RESULT_CELLS:
                return Expect(MemoryError)
            return None

        expect = arg_failure(zip(names, args, strict=True), refused)
        if expect is None and method == "query_knn" and m and second.values >= 2**40:
            expect = Expect(MemoryError)  # far beyond memory: the allocation fails
        result, ok = self.call(plan, method, names, 2, args, expect or OK)
        if ok:
            assert [a.dtype for a in result] == [np.int64] * (len(result) - 1) + [np.float64]
            assert all(a.flags.c_contiguous and a.flags.writeable and a.base is not None for a in result)
            same_arrays(result, getattr(self.ref, method)(queries.values, second.values, ex))

    @rule()
    def reset_stats(self):
        assert run("reset_stats", self.native.reset_stats, OK) is None
        self.ref.reset_stats()
        assert all(v == 0 for key, v in self.native.stats().items() if key != "block")

    @invariant()
    def equals_reference(self):
        """Sizes, points, tables, the answers to a batch, and the counters."""
        native, ref = self.native, self.ref
        sizes = [(ix.n_points, ix.n_static, ix.n_candidates) for ix in (native, ref)]
        assert sizes[0] == sizes[1] and all(type(v) is int for v in sizes[0])
        same_arrays(native.tables(), ref.tables())
        # equal values (NaN where NaN), and zeros of the same sign: -0.0 is stored as 0.0
        pn, pr = native.points(), ref.points()
        np.testing.assert_array_equal(pn, pr)
        assert not np.signbit(pn[pn == 0]).any() and not np.signbit(pr[pr == 0]).any()
        q = self.rng.random((4, self.d or self.min_width))
        ex = self.rng.integers(-1, max(ref.n_points, 1), 4)
        same_arrays(native.query_knn(q, 3, ex), ref.query_knn(q, 3, ex))
        same_arrays(native.query_radius(q, 0.4, ex), ref.query_radius(q, 0.4, ex))
        got, want = native.stats(), ref.stats()
        assert list(got) == list(want) and got["block"] == want["block"]
        assert all(type(v) is int and v >= 0 for v in got.values())
        assert {c: got[c] for c in COUNTED} == {c: want[c] for c in COUNTED}


TestAdversary = Adversary.TestCase
TestAdversary.settings = settings(stateful_step_count=60)
