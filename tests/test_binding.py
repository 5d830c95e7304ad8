"""The Python face of RustLshIndex: module, class, argument conversion,
errors and the per-object access rule."""

import inspect
import threading
import weakref

import numpy as np
import pytest

import plovik._native as native
from plovik import RustLshIndex

from util import random_params

EXPECTED_SIGNATURES = {
    "build": "($self, points, n_static)", "tables": "($self)", "stats": "($self)", "reset_stats": "($self)",
    "query_knn": "($self, queries, k, exclude_ids=None)", "query_radius": "($self, queries, radius, exclude_ids=None)",
    "update": "($self, coords)", "promote": "($self, new_candidates)",
}


def small_index(**overrides):
    params = random_params(np.random.default_rng(1), d=3, L=2, K=2, b=4)
    return RustLshIndex(**{**params, **overrides})


def same_tables(a, b):
    return list(a) == list(b) and all(np.array_equal(a[key], b[key]) for key in a)


def test_module_signatures_and_docstrings():
    assert native.__all__ == ["RustLshIndex"] and native.RustLshIndex is RustLshIndex
    assert RustLshIndex.__module__ == "plovik._native"
    assert RustLshIndex.__text_signature__ == "(b, k, l, probes, s, u, block=1024)"
    assert RustLshIndex.__doc__.startswith("Toroidal-L1 LSH index, compiled.")
    for name, sig in EXPECTED_SIGNATURES.items():
        method = getattr(RustLshIndex, name)
        assert method.__text_signature__ == sig, name
        assert not method.__doc__.startswith(name + "(")
    assert '"byte-identical to the reference"' in RustLshIndex.tables.__doc__
    assert str(inspect.signature(RustLshIndex.query_knn)) == "(self, /, queries, k, exclude_ids=None)"
    assert RustLshIndex.n_points.__doc__ == "Points in the index, both tiers."
    assert RustLshIndex.n_candidates.__doc__ == "Points in the candidate tier."


def test_class_shape():
    ix = small_index()
    for call, error in [(lambda: type("Sub", (RustLshIndex,), {}), TypeError),  # not subclassable
                        (lambda: setattr(ix, "n_points", 3), AttributeError),  # read-only property
                        (lambda: setattr(ix, "anything", 1), AttributeError),  # no other attributes
                        (lambda: weakref.ref(ix), TypeError)]:
        with pytest.raises(error):
            call()
    assert not hasattr(ix, "__dict__")
    assert RustLshIndex.__repr__ is object.__repr__


def test_construction():
    p = random_params(np.random.default_rng(0), d=4, L=3, K=2, b=5)
    positional = RustLshIndex(p["b"], p["k"], p["l"], p["probes"], p["s"], p["u"], 1024)
    for obj in (RustLshIndex(**p), positional):
        assert (obj.n_points, obj.n_static, obj.n_candidates) == (0, 0, 0)
        tables = obj.tables()
        assert list(tables) == ["static_keys", "static_ids", "cand_keys", "cand_sorted_keys", "cand_sorted_ids"]
        assert all(t.shape == (3, 0) and t.dtype == np.int64 for t in tables.values())
        assert obj.stats() == dict(gather_ns=0, refine_ns=0, relax_ns=0, queries=0, cands=0,
                                   pairs=0, relaxed=0, block=1024)
    # block 0 and more probes than components are taken as given
    assert small_index(block=0, probes=5).stats()["block"] == 0
    # u wider than s, s transposed, k disagreeing
    for s_shape, u_shape, l, k in [((2, 3), (2, 4), 2, 3), ((3, 2), (3, 2), 2, 3), ((2, 3), (2, 3), 2, 4)]:
        with pytest.raises(ValueError, match=r"^S and U must have shape \(L, K\)$"):
            RustLshIndex(4, k, l, 1, np.zeros(s_shape, np.int64), np.zeros(u_shape))


def test_conversions_are_strict():
    s, u = np.zeros((2, 2), np.int64), np.zeros((2, 2))
    ix, q = small_index(), np.zeros((1, 3))
    cases = [
        (lambda: RustLshIndex(4, 2, 2, 1, s.astype(np.int32), u), "s"),
        (lambda: RustLshIndex(4, 2, 2, 1, s, u.astype(np.float32)), "u"),
        (lambda: RustLshIndex(4.0, 2, 2, 1, s, u), "b"),
        (lambda: RustLshIndex(4, "2", 2, 1, s, u), "k"),
        (lambda: ix.build(np.zeros((3, 3), np.float32), 0), "points"),
        (lambda: ix.build(np.zeros(9), 0), "points"),
        (lambda: ix.build([[0.5, 0.5, 0.5]], 0), "points"),
        (lambda: ix.build(q, 0.0), "n_static"),
        (lambda: ix.query_radius(q, "x"), "radius"),
        (lambda: ix.query_knn(q, 1, np.zeros((1, 1), np.int64)), "exclude_ids"),
        (lambda: ix.query_knn(q, 1, np.zeros(1)), "exclude_ids"),
        (lambda: ix.update(np.zeros((1, 3), np.int64)), "coords"),
        (lambda: ix.promote(np.zeros(3)), "new_candidates"),
    ]
    for call, name in cases:
        with pytest.raises(TypeError, match=rf"^argument '{name}': ") as info:
            call()
        assert isinstance(info.value.__cause__, TypeError), name


def test_integer_overflow():
    s, u = np.zeros((1, 1), np.int64), np.zeros((1, 1))
    for args in [(4, 1, 1, -1), (2**63, 1, 1, 0), (4, 2**64, 1, 0), (4, -1, 1, 0)]:
        with pytest.raises(OverflowError):
            RustLshIndex(*args, s, u)
    with pytest.raises(OverflowError):
        small_index().build(np.zeros((1, 3)), -1)


def test_argument_matching():
    ix, pts = small_index(), np.zeros((2, 3))
    ix.build(points=pts, n_static=1)
    ix.build(pts, n_static=1)
    messages = [
        (lambda: ix.build(pts), r"RustLshIndex\.build\(\) missing required argument 'n_static'"),
        (lambda: ix.build(pts, 1, 2), r"RustLshIndex\.build\(\) takes 2 positional arguments"),
        (lambda: ix.build(pts, 1, other=2), r"unexpected keyword argument 'other'"),
        (lambda: ix.build(pts, 1, points=pts), r"multiple values for argument 'points'"),
        (lambda: ix.query_knn(pts, 1, None, 4), r"takes from 2 to 3 positional arguments"),
        (lambda: ix.tables(1), r"tables\(\) takes no arguments"),
        (lambda: RustLshIndex(4, 1, 1, 0, np.zeros((1, 1), np.int64)),
         r"RustLshIndex\(\) missing required argument 'u'"),
    ]
    for call, pattern in messages:
        with pytest.raises(TypeError, match=pattern):
            call()


def test_contiguity_and_layout():
    rng = np.random.default_rng(5)
    p = random_params(rng, d=3, L=2, K=2, b=4)
    with pytest.raises(TypeError, match=r"^The given array is not contiguous or is misaligned\.$"):
        RustLshIndex(**{**p, "u": np.zeros((2, 4))[:, ::2]})
    ix, pts = RustLshIndex(**p), rng.random((40, 3))
    # Empty arrays pass whatever their strides; Fortran order reads by index.
    ix.build(np.zeros((0, 6))[:, ::2], 0)
    assert ix.n_points == 0
    ix.build(pts, 10)
    c_tables = ix.tables()
    ix.build(np.asfortranarray(pts), 10)
    assert same_tables(c_tables, ix.tables())
    other = RustLshIndex(**{**p, "s": np.asfortranarray(p["s"]), "u": np.asfortranarray(p["u"])})
    other.build(pts, 10)
    assert same_tables(c_tables, other.tables())


def test_failed_calls_leave_object_usable():
    ix = small_index()
    pts = np.random.default_rng(2).random((30, 3))
    ix.build(pts, 20)
    before = ix.tables()
    for call, error, message in [(lambda: ix.build(pts, 31), ValueError, "exceeds the number of points"),
                                 (lambda: ix.build(np.ascontiguousarray(pts[:, :1]), 0), ValueError, "s must hold"),
                                 (lambda: ix.build("x", 0), TypeError, "argument 'points'"),
                                 (lambda: ix.build(pts[::2], 0), TypeError, "not contiguous")]:
        with pytest.raises(error, match=message):
            call()
        assert same_tables(before, ix.tables())
        assert (ix.n_points, ix.n_static) == (30, 20)
    ix.build(pts, 5)
    assert ix.n_static == 5


@pytest.mark.parametrize("params,n_static,message", [
    (dict(b=0), 0, "b must be at least 1"),
    (dict(b=-3), 0, "b must be at least 1"),
    (dict(k=0, s=np.zeros((2, 0), np.int64), u=np.zeros((2, 0))), 0, "k must be at least 1"),
    (dict(l=0, s=np.zeros((0, 2), np.int64), u=np.zeros((0, 2))), 0, "l must be at least 1"),
    (dict(s=np.array([[0, 3], [1, 2]], np.int64)), 0, r"s must hold .* d = 3"),
    (dict(s=np.array([[0, -1], [1, 2]], np.int64)), 0, r"s must hold .* d = 3"),
    (dict(b=2**32, k=2, s=np.zeros((2, 2), np.int64)), 0, r"b\*\*k must not exceed 2\*\*63 - 1"),
    (dict(), 5, r"n_static \(5\) exceeds the number of points \(4\)"),
])
def test_build_rejects_broken_preconditions(params, n_static, message):
    # the constructor takes all of these; build refuses them
    base = random_params(np.random.default_rng(3), d=3, L=2, K=2, b=4)
    ix = RustLshIndex(**{**base, **params})
    with pytest.raises(ValueError, match=message):
        ix.build(np.full((4, 3), 0.25), n_static)
    assert ix.n_points == 0 and ix.tables()["static_keys"].shape[1] == 0


def test_largest_key_space_is_accepted():
    # b^K = 2^62 fits; every key still lies in [0, b^K).
    ix = RustLshIndex(2**31, 2, 1, 0, np.array([[0, 1]], np.int64), np.zeros((1, 2)))
    ix.build(np.random.default_rng(4).random((50, 2)), 25)
    keys = ix.tables()["static_keys"]
    assert (keys >= 0).all() and (keys < 2**62).all() and (np.diff(keys, axis=1) >= 0).all()


@pytest.mark.threads
def test_access_rule_with_threads():
    rng = np.random.default_rng(6)
    ix = RustLshIndex(**random_params(rng, d=8, L=16, K=6, b=4))
    pts = rng.random((400_000, 8))
    seen = {"shared": None, "exclusive": None}
    for _ in range(20):
        started = threading.Event()
        worker = threading.Thread(target=lambda: (started.set(), ix.build(pts, 300_000)))
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
    assert seen == {"shared": "Already mutably borrowed", "exclusive": "Already borrowed"}
    assert ix.n_points in (10, 400_000)
    ix.build(pts[:100], 50)  # usable afterwards
    assert ix.n_points == 100
