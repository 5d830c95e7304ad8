"""The Python face of RustLshIndex: module, class, argument conversion,
errors and the per-object access rule."""

import inspect
import re
import threading
import weakref

import numpy as np
import pytest

import plovik
import plovik._native as native
from index_helpers import equal_rows, misaligned, random_params, strided
from plovik import PanicException, RustLshIndex
from plovik.lsh import PythonLshIndex
from raw_texts import BORROWED, DOCSTRINGS, LAYOUT, MUTABLY_BORROWED, PROPERTY_DOCS, SHAPE


def small_index(**overrides):
    params = random_params(np.random.default_rng(1), d=3, L=2, K=2, b=4)
    return RustLshIndex(**{**params, **overrides})


def test_module_signatures_and_docstrings():
    assert native.__all__ == ["RustLshIndex", "PanicException", "exact_knn", "exact_radius", "crc32c"]
    assert native.crc32c.__text_signature__ == "(data, value=0)"
    assert native.RustLshIndex is RustLshIndex
    assert native.exact_knn.__text_signature__ == "(points, queries, k, exclude_ids=None)"
    assert native.exact_radius.__text_signature__ == "(points, queries, radius, exclude_ids=None)"
    # PanicException, caught by name from either module, is the reference's too
    assert native.PanicException is plovik.PanicException is plovik.lsh.PanicException
    assert native.PanicException.__bases__ == (BaseException,) and native.PanicException.__module__ == "plovik._native"
    assert RustLshIndex.__module__ == "plovik._native"
    assert str(inspect.signature(RustLshIndex.query_knn)) == "(self, /, queries, k, exclude_ids=None)"


def _stored_docstring(name):
    """The docstring as stored: the text signature's line, "--", then __doc__."""
    obj = RustLshIndex if name == "RustLshIndex" else getattr(RustLshIndex, name)
    return f"{name}{obj.__text_signature__}\n--\n\n{obj.__doc__}"


def _raised(call):
    with pytest.raises(BaseException) as info:
        call()
    return type(info.value), str(info.value)


class _Hook:
    """An integer whose conversion first calls `call`: it runs while the
    method that converts it holds its access to the index."""

    def __init__(self, call):
        self.call = call

    def __index__(self):
        self.call()
        return 1


def _built():
    ix = small_index()
    ix.build(np.random.default_rng(4).random((30, 3)), 20)
    return ix


def _layout(call):
    return lambda: _raised(call), (TypeError, LAYOUT)


_X = np.random.default_rng(5).random((6, 3))
RAW_TEXTS = {
    **{f"docstring {name}": (lambda name=name: _stored_docstring(name), text) for name, text in DOCSTRINGS.items()},
    **{
        f"property {name}": (lambda name=name: getattr(RustLshIndex, name).__doc__, text)
        for name, text in PROPERTY_DOCS.items()
    },
    # the reference's methods and properties say the same (without the text signature)
    **{
        f"reference {name}": (
            lambda name=name: inspect.getdoc(getattr(PythonLshIndex, name)),
            text.split("\n--\n\n", 1)[-1],
        )
        for name, text in {**DOCSTRINGS, **PROPERTY_DOCS}.items()
        if name != "RustLshIndex"
    },
    "shape": (lambda: _raised(lambda: small_index(k=3)), (ValueError, SHAPE)),
    # (the methods' layout refusals, word for word: REFUSALS below)
    "layout s": _layout(lambda: small_index(s=misaligned(np.zeros((2, 2), np.int64)))),
    "layout exact_knn": _layout(lambda: native.exact_knn(strided(_X), _X, 1)),
    "layout exact_radius": _layout(lambda: native.exact_radius(_X, misaligned(_X), 0.1)),
    "borrowed": (
        lambda: _raised(lambda: (ix := _built()).query_knn(_X, _Hook(lambda: ix.build(_X, 0)))),
        (RuntimeError, BORROWED),
    ),
    "mutably borrowed": (
        lambda: _raised(lambda: (ix := _built()).build(_X, _Hook(lambda: ix.n_points))),
        (RuntimeError, MUTABLY_BORROWED),
    ),
}


@pytest.mark.parametrize("text, want", RAW_TEXTS.values(), ids=RAW_TEXTS.keys())
def test_raw_class_texts(text, want):
    # The raw class's docstrings, text signatures and messages are word for
    # word those its callers match; a rewording must fail here.
    assert text() == want


def test_class_shape_and_construction():
    ix = small_index()
    for call, error in [
        (lambda: type("Sub", (RustLshIndex,), {}), TypeError),  # not subclassable
        (lambda: setattr(ix, "n_points", 3), AttributeError),  # read-only property
        (lambda: setattr(ix, "anything", 1), AttributeError),  # no other attributes
        (lambda: weakref.ref(ix), TypeError),
    ]:
        with pytest.raises(error):
            call()
    assert not hasattr(ix, "__dict__")
    assert RustLshIndex.__repr__ is object.__repr__
    p = random_params(np.random.default_rng(0), d=4, L=3, K=2, b=5)
    positional = RustLshIndex(p["b"], p["k"], p["l"], p["probes"], p["s"], p["u"], 1024)
    for obj in (RustLshIndex(**p), positional):
        obj.retire(np.zeros(0, np.int64))  # no id to retire: taken before a build too
        assert (obj.n_points, obj.n_static, obj.n_candidates, obj.n_retired) == (0, 0, 0, 0)
        tables = obj.tables()
        assert list(tables) == ["static_keys", "static_ids", "cand_keys", "cand_sorted_keys", "cand_sorted_ids"]
        assert all(t.shape == (3, 0) and t.dtype == np.int64 for t in tables.values())
        assert obj.stats() == dict(
            gather_ns=0, refine_ns=0, relax_ns=0, queries=0, cands=0, pairs=0, relaxed=0, block=1024
        )
    # the argument list is checked first (the methods': test_adversarial.py)
    for args, kw, message in [
        (list(p.values())[:5], {}, r"missing required argument 'u' \(pos 6\)"),
        (list(p.values()), {"bogus": 1}, "unexpected keyword argument 'bogus'"),
        (list(p.values()), {"b": 4}, "multiple values for argument 'b'"),
        ([*p.values(), None], {}, "takes from 6 to 7 positional arguments but 8 were given"),
    ]:
        with pytest.raises(TypeError, match=r"^RustLshIndex\(\) .*" + message):
            RustLshIndex(*args, **kw)
    # block 0 or the largest word, and any number of probes, are taken as
    # given; b**k up to 2**63 - 1 fits, and every key lies in [0, b**k)
    for b, k, probes, block in [(2**31, 2, 5, 0), (2**63 - 1, 1, 2**64 - 1, 2**64 - 1)]:
        ix = RustLshIndex(b, k, 2, probes, np.tile(np.arange(k), (2, 1)), np.zeros((2, k)), block)
        ix.build(PTS, 20)
        assert ix.stats()["block"] == block and ix.n_points == 30
        keys = ix.tables()["static_keys"]
        assert (keys >= 0).all() and (keys < b**k).all() and (np.diff(keys, axis=1) >= 0).all()


# ------------------------------------------------------------ refused calls
#
# Every call either raw class refuses, on both alike, checked in the same
# order (conversions, then sizes, then layout, before anything is copied),
# the objects left unchanged and usable. Here one of each message and the
# orders that decide between messages (every form, drawn: test_adversarial.py).

P = random_params(np.random.default_rng(3), d=3, L=2, K=2, b=4)
PTS = np.random.default_rng(4).random((30, 3))  # built with n_static = 20: 10 candidates
Q = np.zeros((2, 3))


def new(cls, **kw):
    return cls(**{**P, **kw})


def whole(call, text, error=ValueError):
    """The call refused with exactly this message."""
    return call, error, "^" + re.escape(text) + "$"


def arg(name, message=""):
    """A TypeError naming the argument."""
    return TypeError, rf"^argument '{name}': {message}"


EXACT_LAYOUT = "^" + re.escape(LAYOUT) + "$"  # the one refusal that names no argument


TOO_MANY = 2**32  # rows in a tier
TALL = equal_rows(TOO_MANY, 3)
SHORT = np.zeros(1, np.int64)  # an exclude_ids of one entry, for two queries


def ctor(**kw):
    """The constructor with these parameters changed."""
    return lambda c, ix, fresh: new(c, **kw)


def built_with(**kw):
    """A build of PTS by an index with these parameters changed."""
    return lambda c, ix, fresh: new(c, **kw).build(PTS, 0)


def on_ix(method, *args, unbuilt=False):
    """A call of the built index (30 points, 10 of them candidates), or of one never built."""
    return lambda c, ix, fresh: getattr(fresh if unbuilt else ix, method)(*args)


REFUSALS = {
    # the constructor: conversions in parameter order, then the shapes, then the layout
    "b float": (ctor(b=4.0), *arg("b")),
    "k str": (ctor(k="2"), *arg("k")),
    "s int32": (ctor(s=P["s"].astype(np.int32)), *arg("s", "expected dtype int64")),
    "s list": (ctor(s=P["s"].tolist()), *arg("s", "expected a 2-dimensional numpy")),
    "u float32": (ctor(u=P["u"].astype(np.float32)), *arg("u")),
    "u big-endian": (ctor(u=P["u"].astype(">f8")), *arg("u")),
    "u 1-D": (ctor(u=P["u"].ravel()), *arg("u", "expected a 2-dimensional array")),
    "block float": (ctor(block=1.5), *arg("block")),
    "b too big": (ctor(b=2**63), OverflowError, ""),
    "b too small": (ctor(b=-(2**63) - 1), OverflowError, ""),
    "k beyond a word": (ctor(k=2**64), OverflowError, ""),
    "l negative": (ctor(l=-1), OverflowError, ""),
    "probes negative": (ctor(probes=-1), OverflowError, ""),
    "block too big": (ctor(block=2**64), OverflowError, ""),
    "u wider than s": (ctor(u=np.zeros((2, 3))), ValueError, "^" + re.escape(SHAPE) + "$"),
    "k disagrees": (ctor(k=3), ValueError, "S and U"),
    "s and u transposed": (ctor(l=3, k=2, s=np.zeros((2, 3), np.int64), u=np.zeros((2, 3))), ValueError, "S and U"),
    "u strided": (ctor(u=strided(P["u"])), TypeError, EXACT_LAYOUT),
    "u strided, wrong shape": (ctor(u=strided(np.zeros((2, 3)))), ValueError, "S and U"),
    # build: the parameters a build cannot use, then the sizes, then the layout
    "points float32": (on_ix("build", PTS.astype(np.float32), 0), *arg("points", "expected dtype")),
    "b zero": (built_with(b=0), ValueError, "^b must be at least 1$"),
    "b negative": (built_with(b=-3), ValueError, "^b must be at least 1$"),
    "k zero": (built_with(k=0, s=np.zeros((2, 0), np.int64), u=np.zeros((2, 0))), ValueError, "^k must be at least 1$"),
    "l zero": (built_with(l=0, s=np.zeros((0, 2), np.int64), u=np.zeros((0, 2))), ValueError, "^l must be at least 1$"),
    "s beyond d": whole(built_with(s=np.array([[0, 3], [1, 2]])), "s must hold coordinate indices in [0, d) for d = 3"),
    "s negative": (built_with(s=np.array([[0, -1], [1, 2]])), ValueError, "s must hold"),
    "points too narrow": (on_ix("build", np.ascontiguousarray(PTS[:, :1]), 0), ValueError, "s must hold"),
    "b**k too big": whole(built_with(b=2**32, s=np.zeros((2, 2), np.int64)), "b**k must not exceed 2**63 - 1"),
    "n_static beyond n": whole(on_ix("build", PTS, 31), "n_static (31) exceeds the number of points (30)"),
    "points strided": (on_ix("build", strided(PTS), 0), TypeError, EXACT_LAYOUT),
    "points misaligned": (on_ix("build", misaligned(PTS), 0), TypeError, EXACT_LAYOUT),
    "points strided, n_static beyond n": (on_ix("build", strided(PTS), 31), ValueError, "exceeds"),
    "static tier of 2**32": whole(on_ix("build", TALL, TOO_MANY), "a tier must hold fewer than 2**32 points"),
    "candidate tier of 2**32": (on_ix("build", equal_rows(TOO_MANY + 5, 3), 5), ValueError, "a tier must"),
    # queries: conversions, then the width, a short exclude_ids and the result size, then the layout
    "exclude_ids float": (on_ix("query_knn", Q, 1, np.zeros(2)), *arg("exclude_ids", "expected dtype")),
    "radius str": (on_ix("query_radius", Q, "0.1"), *arg("radius", "must be real number")),
    "queries too wide": whole(
        on_ix("query_knn", np.zeros((2, 4)), 1), "queries have 4 columns but the index has d = 3"
    ),
    "no columns": (on_ix("query_radius", np.zeros((0, 0)), 0.1), ValueError, "queries have 0 columns"),
    "strided, too wide": (on_ix("query_knn", strided(np.zeros((2, 4))), 1), ValueError, "4 columns"),
    "exclude_ids short": whole(
        on_ix("query_knn", Q, 1, SHORT), "exclude_ids holds 1 entries but there are 2 queries", PanicException
    ),
    "exclude_ids short, blocked": (on_ix("query_knn", np.zeros((70, 3)), 1, np.arange(69)), PanicException, "holds 69"),
    "exclude_ids empty, k 0": (on_ix("query_knn", Q, 0, np.zeros(0, np.int64)), PanicException, "holds 0 entries"),
    "exclude_ids short, radius": (on_ix("query_radius", Q, 0.1, SHORT), PanicException, "holds 1 entries"),
    "exclude_ids short, unbuilt": (on_ix("query_knn", Q, 1, SHORT, unbuilt=True), PanicException, "holds 1 entries"),
    "exclude_ids short, strided queries": (on_ix("query_radius", strided(Q), 0.1, SHORT), PanicException, "holds 1"),
    "exclude_ids short, k beyond any array": (on_ix("query_knn", Q, 2**63, SHORT), PanicException, "holds 1 entries"),
    "k beyond any array": (on_ix("query_knn", Q, 2**62), MemoryError, ""),
    "k beyond any array, no queries": (on_ix("query_knn", Q[:0], 2**63), MemoryError, ""),
    "k beyond any array, strided queries": (on_ix("query_knn", strided(Q), 2**62), MemoryError, ""),
    "queries strided": (on_ix("query_knn", strided(Q), 1), TypeError, EXACT_LAYOUT),
    "queries misaligned": (on_ix("query_radius", misaligned(Q), 0.1), TypeError, EXACT_LAYOUT),
    "exclude_ids strided": (on_ix("query_knn", Q, 1, np.arange(4)[::2]), TypeError, EXACT_LAYOUT),
    # every argument is converted before any array's layout is read
    "queries strided, k negative": (on_ix("query_knn", strided(Q), -1), OverflowError, ""),
    # retire: conversion, the layout, then the range its values must lie in (none before a build)
    "ids float": (on_ix("retire", np.array([2.0])), *arg("ids", "expected dtype int64, got float64")),
    "ids int32": (on_ix("retire", np.array([1], np.int32)), *arg("ids", "expected dtype int64, got int32")),
    "ids 2-D": (on_ix("retire", np.array([[1]])), *arg("ids", "expected a 1-dimensional array")),
    "ids list": (on_ix("retire", [1]), *arg("ids", "expected a 1-dimensional numpy.ndarray")),
    "ids strided, beyond n": (on_ix("retire", np.array([30, 0, 2, 0])[::2]), TypeError, EXACT_LAYOUT),
    "ids beyond n": whole(on_ix("retire", np.array([1, 30])), "ids must lie in [0, 30) to be retired, got 30"),
    "ids negative": (on_ix("retire", np.array([-1])), ValueError, r"\[0, 30\) to be retired, got -1$"),
    "retire unbuilt": (on_ix("retire", np.array([0]), unbuilt=True), ValueError, r"\[0, 0\) to be retired, got 0$"),
    # update and promote: conversion, then the sizes (an unbuilt index first), then the layout
    "coords int64": (on_ix("update", np.zeros((10, 3), np.int64)), *arg("coords", "expected dtype")),
    "update unbuilt": (on_ix("update", np.zeros((1, 3)), unbuilt=True), ValueError, "^the index has not been built$"),
    "promote unbuilt": (on_ix("promote", np.zeros((0, 3)), unbuilt=True), ValueError, "^the index has not been built$"),
    "update count": (on_ix("update", np.zeros((9, 3))), PanicException, "^update expects 30 values, got 27$"),
    "update count, strided": (on_ix("update", strided(np.zeros((9, 3)))), PanicException, "got 27$"),
    "update count of 2**32 rows": (on_ix("update", TALL), PanicException, rf"got {3 * TOO_MANY}$"),
    "promote width": whole(on_ix("promote", np.zeros((4, 2))), "new_candidates have 2 columns but the index has d = 3"),
    "promote no rows, width": (on_ix("promote", np.zeros((0, 4))), ValueError, "have 4 columns"),
    "promote strided, width": (on_ix("promote", strided(np.zeros((4, 2)))), ValueError, "2 columns"),
    "promote 2**32 rows": (on_ix("promote", TALL), ValueError, "a tier must hold fewer"),
    "coords strided": (on_ix("update", strided(np.zeros((10, 3)))), TypeError, EXACT_LAYOUT),
    "new_candidates misaligned": (on_ix("promote", misaligned(np.zeros((4, 3)))), TypeError, EXACT_LAYOUT),
}


def state(ix):
    return ix.n_points, ix.n_static, {key: t.tobytes() for key, t in ix.tables().items()}, ix.stats()


@pytest.mark.parametrize("call, error, match", REFUSALS.values(), ids=REFUSALS.keys())
def test_both_backends_refuse_alike(call, error, match):
    messages = []
    for cls in (RustLshIndex, PythonLshIndex):
        ix, fresh = new(cls), new(cls)
        ix.build(PTS, 20)
        before = [state(ix), state(fresh)]
        with pytest.raises(BaseException) as info:  # PanicException derives from BaseException
            call(cls, ix, fresh)
        assert type(info.value) is error, (cls.__name__, info.value)
        assert re.search(match, str(info.value)), (cls.__name__, str(info.value))
        if error is TypeError and match.startswith("^argument"):
            assert isinstance(info.value.__cause__, TypeError)
        messages.append(str(info.value))
        assert [state(ix), state(fresh)] == before, cls.__name__
        ix.update(PTS[20:] / 2)  # still usable; a longer exclude_ids is fine
        assert ix.query_knn(Q, 2, np.arange(5))[0].shape == (2, 2)
    # The reference words the out-of-memory case; elsewhere the messages are the same
    assert messages[0] == messages[1] or error is MemoryError


@pytest.mark.threads
def test_access_rule_with_threads():
    rng = np.random.default_rng(6)
    ix = RustLshIndex(**random_params(rng, d=8, L=16, K=6, b=4))
    pts = rng.random((400_000, 8))
    seen = {"shared": None, "exclusive": None}
    for _ in range(20):
        started = threading.Event()
        worker = threading.Thread(target=lambda started=started: (started.set(), ix.build(pts, 300_000)))
        worker.start()
        started.wait()
        while worker.is_alive():
            for kind, call in (("shared", lambda: ix.n_points), ("exclusive", lambda: ix.build(pts[:10], 0))):
                try:
                    call()
                except RuntimeError as e:
                    seen[kind] = str(e)
        worker.join()
        if all(seen.values()):
            break
    assert seen == {"shared": MUTABLY_BORROWED, "exclusive": BORROWED}
    assert ix.n_points in (10, 400_000)
    ix.build(pts[:100], 50)  # usable afterwards
    assert ix.n_points == 100
