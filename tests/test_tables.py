"""Hash tables of the native index against the NumPy reference."""

import textwrap

import numpy as np
import pytest
from hypothesis import given
from hypothesis import strategies as st

from index_helpers import assert_tables_equal, both, random_params, outputs_under_thread_counts


@st.composite
def scenarios(draw):
    d = draw(st.integers(1, 6))
    L = draw(st.integers(1, 4))
    K = draw(st.integers(1, 5))
    # b^K from 1 to well past the directory limit (2^23 entries over L tables).
    b = draw(st.sampled_from([1, 2, 3, 4, 7, 16, 300, 2**12]))
    n = draw(st.integers(0, 60))
    seed = draw(st.integers(0, 2**32 - 1))
    rng = np.random.default_rng(seed)
    pts = rng.random((n, d))
    kind = draw(st.sampled_from(["uniform", "duplicates", "wide", "special"]))
    if kind == "duplicates" and n:
        pts = pts[rng.integers(0, max(1, n // 4), size=n)]
    elif kind == "wide":
        pts = (pts - 0.5) * draw(st.sampled_from([3.0, 1e3, 1e12]))
    elif kind == "special" and n:
        mask = rng.random(pts.shape) < 0.2
        pts[mask] = rng.choice([np.nan, 0.0, 1.0, -1e-20, 0.999999999, np.inf], size=mask.sum())
    n_static = draw(st.sampled_from([0, n // 2, n]))
    return random_params(rng, d, L, K, b), pts, n_static


@given(scenarios())
def test_tables_match_reference(scenario):
    params, pts, n_static = scenario
    native, reference = both(params)
    native.build(pts, n_static)
    reference.build(pts, n_static)
    assert_tables_equal(native, reference)
    assert (native.n_points, native.n_static, native.n_candidates) == (
        reference.n_points, reference.n_static, reference.n_candidates)


@pytest.mark.parametrize("L,K,b", [(1, 22, 2), (1, 23, 2), (2, 22, 2), (32, 6, 8), (32, 17, 2)])
def test_directory_size_boundaries(L, K, b):
    # Around the directory size limit the lookups switch to binary search;
    # the tables themselves must not notice.
    rng = np.random.default_rng(L * 100 + K)
    params = random_params(rng, d=5, L=L, K=K, b=b)
    native, reference = both(params)
    pts = rng.random((300, 5))
    native.build(pts, 200)
    reference.build(pts, 200)
    assert_tables_equal(native, reference)


def test_sorted_runs_and_ids():
    rng = np.random.default_rng(11)
    native, _ = both(random_params(rng, d=2, L=3, K=2, b=2))
    pts = rng.random((500, 2)).round(1)  # many equal keys
    native.build(pts, 300)
    t = native.tables()
    for keys, ids, base in ((t["static_keys"], t["static_ids"], 0),
                            (t["cand_sorted_keys"], t["cand_sorted_ids"], 300)):
        order = np.lexsort((ids, keys), axis=1)
        assert np.array_equal(np.take_along_axis(ids, order, axis=1), ids)
        assert np.array_equal(np.sort(ids, axis=1), np.tile(np.arange(base, base + ids.shape[1]),
                                                                (3, 1)))
    # cand_keys column i belongs to id 300 + i.
    for tbl in range(3):
        pos = t["cand_sorted_ids"][tbl] - 300
        assert np.array_equal(t["cand_keys"][tbl][pos], t["cand_sorted_keys"][tbl])


@pytest.mark.parametrize("b, K, dense", [(4, 5, True), (2**12, 3, False)])
def test_nbytes_counts_what_the_tables_hold(b, K, dense):
    # Four-byte ids per point and table, single-precision coordinates of
    # every point and double of the candidates, and the directories: dense
    # ones of b**K + 1 entries per table and tier, or the occupied buckets'
    # keys and starts. (Sizes below the 2 MiB arrays counted in whole pages.)
    rng = np.random.default_rng(b)
    L, d = 3, 4
    native, reference = both(random_params(rng, d=d, L=L, K=K, b=b))
    assert native.nbytes == 0 and list(native.nbytes_by_part) == list(reference.nbytes_by_part)
    native.build(rng.random((5000, d)), 4000)
    parts = native.nbytes_by_part
    assert parts["ids"] == 4 * L * 5000
    assert parts["coordinates"] == 4 * 5000 * d + 8 * 1000 * d
    t = native.tables()
    occupied = sum(len(np.unique(row)) for key in ("static_keys", "cand_sorted_keys") for row in t[key])
    assert parts["directories"] == (2 * 4 * L * (b**K + 1) if dense else 12 * occupied + 4 * 2 * L + 8 * 2 * (L + 1))
    assert parts["reuse"] == 0 and native.nbytes == sum(parts.values())
    native.promote(rng.random((300, d)))
    assert native.nbytes_by_part["ids"] == 4 * L * 5300
    # Retired points leave the tables, which keep their room until the next
    # promote writes them anew; the bits take a word per 64 ids up to the highest.
    native.retire(np.arange(0, 5300, 5))
    bits = 8 * (5295 // 64 + 1)
    assert native.nbytes_by_part["ids"] == 4 * L * 5300 + bits
    native.promote(rng.random((100, d)))
    assert native.nbytes_by_part["ids"] == 4 * L * (5300 - 1060 + 100) + bits


TABLE_DIGEST = textwrap.dedent("""
    import hashlib, numpy as np
    from plovik import RustLshIndex
    rng = np.random.default_rng(3)
    L, K, d = 8, 5, 6
    ix = RustLshIndex(3, K, L, 2, rng.integers(0, d, (L, K)), rng.random((L, K)))
    ix.build(rng.random((20000, d)), 15000)
    h = hashlib.sha256()
    for v in ix.tables().values():
        h.update(v.tobytes())
    print(h.hexdigest())
""")


@pytest.mark.threads
def test_tables_independent_of_thread_count():
    assert len(outputs_under_thread_counts(TABLE_DIGEST)) == 1
