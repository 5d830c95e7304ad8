"""Adversarial input: every method of RustLshIndex, and of PlovikSearch on
both backends, called in random order with random valid and invalid
arguments. Each call's outcome is worked out from the arguments alone, in the
order the call frame checks them (argument list, conversion of each argument,
what the engine refuses from the sizes alone, then array layout); the
reference must refuse every refused call alike, and after every call the
index must still equal the reference."""

import re
from collections import namedtuple

import numpy as np
from hypothesis import settings
from hypothesis import strategies as st
from hypothesis.stateful import RuleBasedStateMachine, initialize, invariant, rule

from plovik import PanicException, PlovikSearch, RustLshIndex
from plovik.lsh import PythonLshIndex
from index_helpers import misaligned, strided

LAYOUT_MESSAGE = "The given array is not contiguous or is misaligned."
COUNTED = ("queries", "cands", "pairs", "relaxed")
I64_MAX = 2**63 - 1
# The largest element count of an 8-byte result NumPy (and a C++ vector) can
# describe: sizes in bytes are signed machine words.
MAX_RESULT_CELLS = I64_MAX // 8
SPECIAL_VALUES = np.array([np.nan, -np.nan, np.inf, -np.inf, -0.0, 1.0, -1.5, 7.25, 1e300, -1e-300,
                           2.0**62, -(2.0**63)])

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
ARRAY_FORMS = ["c", "fortran", "subclass", "readonly", "strided", "reversed", "misaligned", "dtype",
               "bigendian", "foreign", "ndim"]


def array_arg(draw, x, form):
    layouts = {"c": x.copy, "fortran": lambda: np.asfortranarray(x),
               "subclass": lambda: x.copy().view(SubArray), "strided": lambda: strided(x),
               "readonly": lambda: np.frombuffer(x.tobytes(), x.dtype).reshape(x.shape),
               "reversed": lambda: x[::-1], "misaligned": lambda: misaligned(x)}
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


# Integer parameters: b is a signed 64-bit integer, the rest (k, l, probes,
# block, n_static) unsigned machine words.
INT_FORMS = ["valid", "index_like", "bool", "index_like", "negative", "too_big", "wrong_type", "exploding"]
OUT_OF_RANGE = {("negative", True): [-(2**63) - 1], ("negative", False): [-1, -(2**63), -(2**70)],
                ("too_big", True): [2**63, 2**64], ("too_big", False): [2**64, 2**100]}


def int_arg(draw, valid, form, signed=False):
    if form in ("negative", "too_big"):
        return Arg(draw(st.sampled_from(OUT_OF_RANGE[form, signed])), error=OverflowError)
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
    valid = {"float": (r, r), "int": (i, float(i)),
             "float_like": (FloatLike(r), r), "index_like": (IndexLike(i), float(i))}
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
    for name, arg in params:
        if arg.bad_layout:
            return Expect(TypeError, param=name, match=re.escape(LAYOUT_MESSAGE) + "$")
    return None


# Ways of getting the argument list wrong. They are checked before anything
# else, whatever the arguments are.
CALL_FORMS = ["positional", "keyword", "missing", "extra", "unknown", "duplicate"]


def call_args(names, required, args, form):
    """(args, kwargs, error pattern or None) passing `args` (None: left out) in the given form."""
    present = [(n, a.value) for n, a in zip(names, args) if a is not None]
    values, i = [v for _, v in present], required - 1
    return {"positional": (values, {}, None), "keyword": ([], dict(present), None),
            "missing": (values[:i], dict(present[i + 1:]), rf"missing required argument '{names[i]}'"),
            "extra": (values + [None] * (len(names) - len(present) + 1), {}, "positional argument"),
            "unknown": (values, {"bogus": 1}, "unexpected keyword argument 'bogus'"),
            "duplicate": (values, dict(present[:1]), rf"multiple values for argument '{names[0]}'")}[form]


class Plan:
    """Which arguments (and argument list) of a call are valid: all, all but one, or each at random."""

    def __init__(self, draw, slots):
        self.draw = draw
        self.mode = draw(st.sampled_from(["clean", "one", "any"]))
        self.broken = draw(st.sampled_from(slots + ["call"])) if self.mode == "one" else None

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
    for g, w in zip(got, want):
        assert type(g) is np.ndarray and g.flags.c_contiguous and g.shape == w.shape and g.dtype == w.dtype
        assert g.tobytes() == w.tobytes()


def compare(native, ref, q, ex=None):
    """Sizes, tables and the answers to the batch q of two indexes agree."""
    sizes = [(ix.n_points, ix.n_static, ix.n_candidates) for ix in (native, ref)]
    assert sizes[0] == sizes[1] and all(type(v) is int for v in sizes[0])
    same_arrays(native.tables(), ref.tables())
    same_arrays(native.query_knn(q, 3, ex), ref.query_knn(q, 3, ex))
    same_arrays(native.query_radius(q, 0.4, ex), ref.query_radius(q, 0.4, ex))


class Adversary(RuleBasedStateMachine):
    """One index and its reference; only the calls that must succeed reach the reference."""

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
        if built:  # else the first calls meet an index never built
            points = self.rng.random((30, d))
            for ix in (self.native, self.ref):
                ix.build(points, 20)
            self.d = d

    def coords(self, rows, cols, special):
        x = self.rng.random((rows, cols))
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
        shapes = {"build": [(n, max(d, self.min_width))] * 4 + [(n, w) for w in (0, 1, 2, 3, 6)],
                  "update": [(c, d)] * 4 + [(1, c * d), (c * d, 1), (max(c - 1, 0), d), (c + 1, d), (c, d + 1),
                                            (0, d), (0, 0)],
                  "promote": [(n % 13, w) for w in [d] * 4 + [0, d + 1, max(d - 1, 0)]]}[method]
        rows, cols = draw(st.sampled_from(shapes))
        args = [array_arg(draw, self.coords(rows, cols, draw(st.booleans())), plan.form(names[0], ARRAY_FORMS))]
        n_static = int_arg(draw, draw(st.sampled_from([0, n // 2, n, n + 1])), plan.form("n_static", INT_FORMS))
        args += [n_static] if method == "build" else []

        def refused():  # what the engine refuses from the sizes, in the order it checks
            count, n_static = rows * cols, args[-1].values
            refusals = [
                (method == "build" and cols < self.min_width, ValueError,
                 rf"s must hold coordinate indices in \[0, d\) for d = {cols}"),
                (method == "build" and n_static > n, ValueError,
                 rf"n_static \({n_static}\) exceeds the number of points \({n}\)"),
                (method != "build" and d == 0 and (count or method == "promote"), ValueError,
                 "the index has not been built"),
                (method == "update" and count != c * d, PanicException, rf"update expects {c * d} values, got {count}"),
                (method == "promote" and cols != d, ValueError,
                 rf"new_candidates have {cols} columns but the index has d = {d}")]
            return next((Expect(kind, match=f"^{msg}$") for hit, kind, msg in refusals if hit), None)

        expect = arg_failure(zip(names, args), refused) or OK
        if self.call(plan, method, names, len(names), args, expect)[1]:
            getattr(self.ref, method)(*[arg.values for arg in args])
            self.d = cols if method == "build" else d

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

        expect = arg_failure(zip(names, args), refused)
        if expect is None and method == "query_knn" and m and second.values >= 2**40:
            expect = Expect(MemoryError)  # far beyond memory: the allocation fails
        result, ok = self.call(plan, method, names, 2, args, expect or OK)
        if ok:
            assert [a.dtype for a in result] == [np.int64] * (len(result) - 1) + [np.float64]
            assert all(a.flags.c_contiguous and a.flags.writeable and a.base is not None for a in result)
            same_arrays(result, getattr(self.ref, method)(queries.values, second.values, ex))

    @rule(name=st.sampled_from(["tables", "stats", "reset_stats", "n_points", "n_static", "n_candidates"]))
    def misuse(self, name):
        """Argument-free methods given one, read-only properties assigned or deleted (reads: the invariant)."""
        if name.startswith("n_"):
            action = [lambda: setattr(self.native, name, 5), lambda: delattr(self.native, name)][self.rng.integers(2)]
            run(name, action, Expect(AttributeError))
        else:
            run(name, lambda: getattr(self.native, name)(1), Expect(TypeError, match=rf"{name}\(\) takes no arguments"))

    @rule()
    def reset_stats(self):
        assert run("reset_stats", self.native.reset_stats, OK) is None
        self.ref.reset_stats()
        assert all(v == 0 for key, v in self.native.stats().items() if key != "block")

    @rule(data=st.data())
    def construct(self, data):
        """A new object: empty; its first build refuses what the engine cannot use, or matches the reference."""
        draw = data.draw
        names = ["b", "k", "l", "probes", "s", "u", "block"]
        plan = Plan(draw, names)
        d = draw(st.integers(1, 4))
        K, L = draw(st.sampled_from([(2, 2), (1, 3), (3, 1), (0, 2), (2, 0), (0, 0), (1, 1)]))
        b = draw(st.sampled_from([1, 2, 3, 5, 2**31, 0, -3, -(2**63)] + ([2**63 - 1] if K == 1 else [])))
        s = self.rng.integers(0, d, (L, K))
        if s.size and draw(st.booleans()):  # a coordinate the points will not have
            s.flat[self.rng.integers(s.size)] = draw(st.sampled_from([d, -1, I64_MAX]))
        if not draw(st.sampled_from([True] * 4 + [False])):
            s = self.rng.integers(0, d, draw(st.sampled_from([(L, K + 1), (L + 1, K), (K + 1, L)])))
        u_wide = not draw(st.sampled_from([True] * 6 + [False]))
        u = self.coords(s.shape[0], s.shape[1] + u_wide, not u_wide and draw(st.booleans()))
        args = [int_arg(draw, b, plan.form("b", INT_FORMS), signed=True)]
        args += [int_arg(draw, v, plan.form(n, INT_FORMS)) for n, v in
                 [("k", K), ("l", L), ("probes", draw(st.sampled_from([0, 1, 2, 5, 2**63, 2**64 - 1])))]]
        args += [array_arg(draw, s, plan.form("s", ARRAY_FORMS)), array_arg(draw, u, plan.form("u", ARRAY_FORMS))]
        args.append(int_arg(draw, draw(st.sampled_from([0, 1, 2, 1024, 2**64 - 1])), plan.form("block", INT_FORMS))
                    if plan.wants("block") else None)
        values = {name: arg.values for name, arg in zip(names, args) if arg is not None}

        def shape_check():
            if {values["s"].shape, values["u"].shape} != {(values["l"], values["k"])}:
                return Expect(ValueError, match=r"^S and U must have shape \(L, K\)$")

        expect = arg_failure(zip(names, args), shape_check) or OK
        pos, kw, wrong = call_args(names, 6, args, plan.form("call", CALL_FORMS))
        if wrong is not None:
            expect = Expect(TypeError, match=rf"RustLshIndex\(\).*{wrong}")
        index = run("RustLshIndex", lambda: RustLshIndex(*pos, **kw), expect)
        if index is None:
            run("PythonLshIndex", lambda: PythonLshIndex(*pos, **kw), Expect(TypeError) if wrong else expect)
            return
        assert (index.n_points, index.n_static, index.n_candidates) == (0, 0, 0)
        assert all(t.shape == (values["l"], 0) for t in index.tables().values())
        assert index.stats()["block"] == values.get("block", 1024)
        b, k, l = values["b"], values["k"], values["l"]
        n = draw(st.integers(0, 20))
        n_static = draw(st.sampled_from([0, n, n + 1]))
        points = self.coords(n, d, draw(st.booleans()))
        problem = ("b must be at least 1" if b < 1 else "k must be at least 1" if k == 0
                   else "l must be at least 1" if l == 0
                   else rf"s must hold coordinate indices in \[0, d\) for d = {d}"
                   if not ((values["s"] >= 0) & (values["s"] < d)).all()
                   else r"b\*\*k must not exceed 2\*\*63 - 1" if b**k > I64_MAX
                   else rf"n_static \({n_static}\) exceeds the number of points \({n}\)" if n_static > n
                   else None)
        ref = PythonLshIndex(**values)
        expect = Expect(ValueError, match=f"^{problem}$") if problem else OK
        for ix in (index, ref):
            run("build", lambda: ix.build(points, n_static), expect)
        if problem:
            assert index.n_points == ref.n_points == 0
            return
        compare(index, ref, self.coords(draw(st.sampled_from([5, 70])), d, True))  # 70: blocked unless block is 1

    @invariant()
    def equals_reference(self):
        q = self.rng.random((4, self.d or self.min_width))
        compare(self.native, self.ref, q, self.rng.integers(-1, max(self.ref.n_points, 1), 4))
        got, want = self.native.stats(), self.ref.stats()
        assert list(got) == list(want) and got["block"] == want["block"]
        assert all(type(v) is int and v >= 0 for v in got.values())
        assert {c: got[c] for c in COUNTED} == {c: want[c] for c in COUNTED}


TestAdversary = Adversary.TestCase
TestAdversary.settings = settings(stateful_step_count=60)


# --------------------------------------------------------------- front door
#
# PlovikSearch validates what the raw class takes as it comes. Its
# arguments are drawn as (value, tag): valid, or invalid by type or by
# value; a call whose arguments are all valid must succeed, any other must
# fail with the TypeError or ValueError of one of its faults before anything
# changes. The native and the reference backend are driven side by side and
# must agree on every outcome: the same exception and message, or the same
# results and tables.

VALID, BAD_TYPE, BAD_VALUE = "valid", TypeError, ValueError
FRONT_POINT_FORMS = ["c", "layout", "cast", "list", "outside", "nonfinite", "wide", "ndim", "dtype", "foreign",
                     "masked"]


def front_points(draw, rng, rows, d, form):
    """(value, tag): an array-like of (rows, d) coordinates."""
    x = rng.random((rows, d))
    nonfinite = x.copy()
    if x.size:  # NaN or inf at one place
        nonfinite.flat[rng.integers(x.size)] = draw(st.sampled_from([np.nan, np.inf, -np.inf]))
    forms = {"c": ([x], VALID), "layout": ([np.asfortranarray(x), strided(x)], VALID),
             "cast": ([x.astype(np.float32), (x * 3).astype(np.int64), (x * 3).astype(np.uint8)], VALID),
             # a list of no rows has lost its width: it reads as shape (0,)
             "list": ([x.tolist()], VALID if rows else BAD_VALUE),
             "outside": ([x * 7 - 3], VALID),  # wraps onto the torus
             "nonfinite": ([nonfinite], BAD_VALUE if x.size else VALID),  # an empty array holds none
             "wide": ([rng.random((rows, d + 1))], BAD_VALUE), "ndim": ([x.ravel(), x[None], 0.5], BAD_VALUE),
             "dtype": ([x.astype(complex), x > 0.5, x.astype(object)], BAD_TYPE),
             "foreign": (["points", [[0.5] * d, [0.5] * (d + 1)]], BAD_TYPE),
             # masked arrays are refused, whatever their mask: it would be ignored
             "masked": ([np.ma.masked_array(x, mask=x > 0.5), np.ma.masked_array(x)], BAD_TYPE)}
    options, tag = forms[form]
    return draw(st.sampled_from(options)), tag


FRONT_COUNT_FORMS = ["valid", "index_like", "below", "bool", "float"]


def front_count(value, low, form):
    """(value, tag): an integer setting (k, n_static) of at least `low`."""
    return {"valid": (value, VALID), "index_like": (IndexLike(value), VALID), "below": (low - 1, BAD_VALUE),
            "bool": (True, BAD_TYPE), "float": (float(value), BAD_TYPE)}[form]


FRONT_RADII = {VALID: [0.3, 1, np.float32(0.25), 0.0], BAD_VALUE: [-0.1, np.nan, np.inf],
               BAD_TYPE: [True, "0.3", None, 0.3j, FloatLike(0.3)]}
FRONT_EXCLUDE_FORMS = ["none", "c", "list", "uint", "short", "long", "below", "beyond", "float", "str", "bool",
                       "masked"]


def front_exclude(rng, m, n_points, form):
    """(value, tag): exclude_ids for m queries."""
    ids = rng.integers(-1, max(n_points, 1), m) if n_points else np.full(m, -1)
    if form in ("short", "long", "below", "beyond"):
        value = {"short": ids[:-1], "long": np.r_[ids, 0], "below": np.r_[ids[:-1], -2],
                 "beyond": np.r_[ids[:-1], n_points]}[form]
        return value, VALID if value.shape == (m,) and ((value >= -1) & (value < n_points)).all() else BAD_VALUE
    return {"none": (None, VALID), "c": (ids, VALID), "list": (ids.tolist(), VALID),
            "uint": (np.maximum(ids, 0).astype(np.uint32) if n_points else ids, VALID),
            # floats are refused, unless there are none (as in an empty list)
            "float": (ids.astype(np.float64), BAD_TYPE if m else VALID),
            "str": ("ids", BAD_TYPE), "bool": (ids > 0, BAD_TYPE), "masked": (np.ma.masked_array(ids), BAD_TYPE)}[form]


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
        kw = dict(tables=tables, components=components, cells=cells, probes=probes, block=block, seed=seed,
                  tune=False)
        self.pair = [PlovikSearch(d, backend=b, **kw) for b in ("native", "reference")]

    def points(self, draw, rows):
        return front_points(draw, self.rng, rows, self.d, draw(st.sampled_from(FRONT_POINT_FORMS)))

    def both(self, method, tagged, extra_tags=()):
        """Both objects must agree, the outcome fit the tags, and a failure change nothing."""
        tags = [tag for _, tag in tagged if tag is not VALID] + list(extra_tags)
        before = [search.tables() for search in self.pair]
        results = [outcome(lambda s=search: getattr(s, method)(*[v for v, _ in tagged])) for search in self.pair]
        (kind, got), (kind_ref, want) = results
        assert kind == kind_ref, (method, results)
        if method != "build" and self.pair[0].raw is None:
            assert kind is ValueError and "before build()" in got, (method, got)
        else:
            assert kind in (tags or ["ok"]), (method, tags, kind, got)
        if kind != "ok":
            assert got == want, (method, got, want)
            for search, old in zip(self.pair, before):
                same_arrays(search.tables(), old)
        elif isinstance(got, tuple):
            same_arrays(got, want)

    @rule(data=st.data())
    def build(self, data):
        n = data.draw(st.integers(0, 40))
        n_static = front_count(data.draw(st.sampled_from([0, n // 2, n])), 0, data.draw(st.sampled_from(FRONT_COUNT_FORMS)))
        self.both("build", [self.points(data.draw, n), data.draw(st.sampled_from([n_static, (None, VALID)]))])

    @rule(data=st.data())
    def update(self, data):
        c = self.pair[0].n_candidates
        rows = data.draw(st.sampled_from([c] * 3 + [c + 1, max(c - 1, 0)]))
        self.both("update", [self.points(data.draw, rows)], [BAD_VALUE] if rows != c else [])

    @rule(data=st.data())
    def promote(self, data):  # None: an empty batch
        batch = self.points(data.draw, data.draw(st.integers(0, 10)))
        self.both("promote", [data.draw(st.sampled_from([batch, (None, VALID)]))])

    @rule(data=st.data(), method=st.sampled_from(["query_knn", "query_radius"]))
    def query(self, data, method):
        draw = data.draw
        m = draw(st.sampled_from([0, 1, 3, 70]))
        k = draw(st.sampled_from([1, 4, 50, 2**40, 2**60, 2**64, 2**70]))
        radius_tag = draw(st.sampled_from(list(FRONT_RADII)))
        second = (front_count(k, 1, draw(st.sampled_from(FRONT_COUNT_FORMS))) if method == "query_knn"
                  else (draw(st.sampled_from(FRONT_RADII[radius_tag])), radius_tag))
        exclude = front_exclude(self.rng, m, self.pair[0].n_points, draw(st.sampled_from(FRONT_EXCLUDE_FORMS)))
        tagged = [self.points(draw, m), second, exclude]
        # A valid k whose results exceed any array or this machine's memory
        # is refused with the other checks of shapes, before the arrays are
        # scanned.
        too_large = method == "query_knn" and second[1] is VALID and (k >= 2**60 or (m and k >= 2**40))
        self.both(method, tagged, [ValueError] if too_large else [])

    @rule()
    def reset_stats(self):
        assert [search.reset_stats() for search in self.pair] == [None, None]

    @invariant()
    def backends_agree(self):
        native, ref = self.pair
        assert (len(native), native.n_static, native.n_candidates) == (len(ref), ref.n_static, ref.n_candidates)
        same_arrays(native.tables(), ref.tables())
        got, want = native.stats(), ref.stats()
        assert {c: got[c] for c in COUNTED} == {c: want[c] for c in COUNTED}


TestFrontDoor = FrontDoor.TestCase
TestFrontDoor.settings = settings(stateful_step_count=40)
