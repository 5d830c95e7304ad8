"""Hash tables of the native index against the NumPy reference: on the edges
of the hash, around the directory size limit, their sort order and what
nbytes counts. (Tables after random builds and epochs: test_adversarial.py;
under thread counts: test_epochs.py.)"""

import numpy as np
import pytest

from index_helpers import EDGE_OFFSETS, assert_tables_equal, both, edge_values, random_params
from query_helpers import built


@pytest.mark.parametrize("L,K,b", [(1, 22, 2), (1, 23, 2), (2, 22, 2), (32, 6, 8), (32, 17, 2)])
def test_directory_size_boundaries(L, K, b):
    # around the directory size limit the lookups switch to binary search; the tables must not notice
    rng = np.random.default_rng(L * 100 + K)
    assert_tables_equal(*built(random_params(rng, d=5, L=L, K=K, b=b), rng.random((300, 5)), 200))


@pytest.mark.parametrize("b", [1, 2, 3, 4, 5])
@pytest.mark.parametrize("inside", [False, True])
def test_tables_on_the_edges_of_the_hash(b, inside):
    # Every pair of edge values in two coordinates, with offsets putting them on walls and centres,
    # just below a wall and a tiny step below zero (only the cap keeps the code below b); in [0, 1)
    # alone, and with values beyond it that wrap, which the same four-row kernel hashes.
    values = edge_values()
    if inside:
        values = values[(values >= 0) & (values < 1)]
    pts = np.array(np.meshgrid(values, values)).reshape(2, -1).T
    L, K = len(EDGE_OFFSETS), 3
    s = np.array([[t % 2, 1 - t % 2, t % 2] for t in range(L)], np.int64)
    u = np.array([[off, EDGE_OFFSETS[(t + 1) % L], 0.0] for t, off in enumerate(EDGE_OFFSETS)])
    native, reference = both(dict(b=b, k=K, l=L, probes=2, s=s, u=u))
    for ix in (native, reference):
        ix.build(pts, len(pts) // 2)
    assert_tables_equal(native, reference)
    assert native.points().tobytes() == reference.points().tobytes()  # -0.0 stored as 0.0
    # (key, id) ascending in every run; cand_keys column i belongs to id n_static + i
    t, n_static = native.tables(), len(pts) // 2
    for keys, ids in ((t["static_keys"], t["static_ids"]), (t["cand_sorted_keys"], t["cand_sorted_ids"])):
        order = np.lexsort((ids, keys), axis=1)
        assert np.array_equal(np.take_along_axis(ids, order, axis=1), ids)
    assert np.array_equal(
        np.take_along_axis(t["cand_keys"], t["cand_sorted_ids"] - n_static, axis=1), t["cand_sorted_keys"]
    )
    # the candidates moved onto the edges of the other coordinate
    for ix in (native, reference):
        ix.update(pts[len(pts) // 2 :, ::-1].copy())
    assert_tables_equal(native, reference)


# dense while (b**K + 1) * L * 8 bytes is at most 2**26: 141**3 is just past it
@pytest.mark.parametrize("b, K, dense", [(4, 5, True), (141, 3, False), (2**12, 3, False)])
def test_nbytes_counts_what_the_tables_hold(b, K, dense):
    # Four-byte ids per point and table, single-precision coordinates and double of the candidates,
    # and dense directories of b**K + 1 entries per table and tier, or the occupied buckets' keys and starts.
    rng = np.random.default_rng(b)
    L, d = 3, 4
    native, reference = both(random_params(rng, d=d, L=L, K=K, b=b))
    assert native.nbytes == 0 and list(native.nbytes_by_part) == list(reference.nbytes_by_part)
    native.build(rng.random((5000, d)), 4000)
    parts = native.nbytes_by_part
    assert parts["ids"] == 4 * L * 5000 and parts["coordinates"] == 4 * 5000 * d + 8 * 1000 * d
    t = native.tables()
    occupied = sum(len(np.unique(row)) for key in ("static_keys", "cand_sorted_keys") for row in t[key])
    assert parts["directories"] == (2 * 4 * L * (b**K + 1) if dense else 12 * occupied + 4 * 2 * L + 8 * 2 * (L + 1))
    assert parts["reuse"] == 0 and native.nbytes == sum(parts.values())
    native.promote(rng.random((300, d)))
    assert native.nbytes_by_part["ids"] == 4 * L * 5300
    # retired points keep their room until the next promote; the bits take a word per 64 ids
    native.retire(np.arange(0, 5300, 5))
    bits = 8 * (5295 // 64 + 1)
    assert native.nbytes_by_part["ids"] == 4 * L * 5300 + bits
    native.promote(rng.random((100, d)))
    assert native.nbytes_by_part["ids"] == 4 * L * (5300 - 1060 + 100) + bits


def test_an_update_moving_few_entries_splices_them_in():
    # 100 candidates one to a cell of 1,000, one retired (the run is refreshed entry by entry); an
    # update moving a few (spliced into the kept ones) puts one just below its old cell (it enters
    # where it leaves), one to a cell held, one past every key and one before every key
    x = (np.arange(100) * 10 + 5.5) / 1000
    params = dict(b=1000, k=1, l=1, probes=0, s=np.zeros((1, 1), np.int64), u=np.zeros((1, 1)))
    native, reference = both(params)
    moved = x.copy()
    moved[50], moved[20], moved[99], moved[0] = 0.4985, x[30], 0.9995, 0.0005
    for ix in (native, reference):
        ix.build(x[:, None], 0)
        ix.retire(np.array([77]))
        ix.update(moved[:, None])
    assert_tables_equal(native, reference)
    order = np.argsort(np.floor(moved * 1000), kind="stable")
    assert native.tables()["cand_sorted_ids"][0].tolist() == order[order != 77].tolist()
