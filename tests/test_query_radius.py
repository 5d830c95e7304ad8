"""Radius queries of the native index, worked examples: the single-precision
cutoff, empty rows, exclusion and the buckets the probes reach. Random
indexes are covered with the k-nearest rows in test_query_knn.py."""

import numpy as np

from plovik import RustLshIndex
from query_helpers import F32, torus_l1


def test_cutoff_is_inclusive_and_rounded_to_single_precision():
    native = RustLshIndex(1, 1, 1, 0, np.zeros((1, 1), np.int64), np.zeros((1, 1)))
    pts = np.array([[0.1], [0.2], [0.3], [0.4]])
    native.build(pts, 4)
    q = np.array([[0.0]])
    d32 = torus_l1(q[0], pts)
    at = float(d32[1])
    below = np.nextafter(at, 0.0)  # rounds up to the same single value
    assert F32(below) == d32[1]
    for radius in (at, below, np.nextafter(at, 1.0)):  # the last rounds down to d32[1]: nothing more
        assert native.query_radius(q, radius)[1].tolist() == [0, 1]
    # the single value just below d32[1] excludes point 1
    just_below = float(np.nextafter(d32[1], F32(0)))
    assert native.query_radius(q, just_below)[1].tolist() == [0]
    # radius 0 returns exactly the points at distance 0, wrapped: 1.25 ~ 0.25
    native.build(np.array([[0.25], [1.25], [0.5], [-0.75]]), 2)
    indptr, ids, dists = native.query_radius(np.array([[0.25], [0.75]]), 0.0)
    assert indptr.tolist() == [0, 3, 3] and ids.tolist() == [0, 1, 3] and dists.tolist() == [0.0] * 3


def test_empty_rows_exclusion_and_no_counters():
    native = RustLshIndex(1, 2, 3, 2, np.zeros((3, 2), np.int64), np.zeros((3, 2)))
    pts = np.array([[0.05]] * 10)
    pts[[3, 7, 9], 0] = [0.25, 0.75, 0.25]
    native.build(pts, 5)
    q = np.full((3, 1), 0.5)
    indptr, ids, dists = native.query_radius(q, 0.25, exclude_ids=np.array([7, 3, -1, 5]))
    assert indptr.tolist() == [0, 2, 4, 7] and ids.tolist() == [3, 9, 7, 9, 3, 7, 9] and dists.tolist() == [0.25] * 7
    for radius in (-1.0, float("nan"), float("-inf")):
        assert native.query_radius(q, radius)[0].tolist() == [0, 0, 0, 0]
    indptr, ids, dists = native.query_radius(q[:0], 1.0)
    assert indptr.tolist() == [0] and ids.shape == dists.shape == (0,)
    assert native.query_radius(q, float("inf"))[0].tolist() == [0, 10, 20, 30]
    assert set(native.stats().values()) == {0, 1024}


def test_probes_follow_the_margins():
    # One point at the centre of each of the 64 cells of one table (K = 3,
    # b = 4); an infinite radius returns exactly the points of the probed
    # buckets.
    s = np.array([[0, 1, 2]], np.int64)
    cells = np.array([[(c % 4 + 0.5) / 4, (c // 4 % 4 + 0.5) / 4, (c // 16 + 0.5) / 4] for c in range(64)])

    def probed(probes, q):
        ix = RustLshIndex(4, 3, 1, probes, s, np.zeros((1, 3)))
        ix.build(cells, 32)
        return sorted(ix.query_radius(np.array([q]), np.inf)[1].tolist())

    # codes (2, 0, 3), fractions (0.9, 0.3, 0.5): base 50, component 0 up
    # (51), component 1 down wrapping to cell 3 (62), component 2 up from the
    # last cell wrapping to cell 0 (2)
    q = [2.9 / 4, 0.3 / 4, 3.5 / 4]
    assert probed(0, q) == [50] and probed(2, q) == [50, 51, 62]
    assert probed(3, q) == probed(9, q) == [2, 50, 51, 62]
    # equal margins: the lowest component flips first, a fraction of 0.5 upward
    centre = [1.5 / 4, 1.5 / 4, 1.5 / 4]  # key 21, every fraction 0.5
    assert probed(1, centre) == [21, 22] and probed(2, centre) == [21, 22, 25]
    walls = [0.25, 0.5, 0.75]  # key 1 + 8 + 48, every fraction 0.0: downward
    assert probed(2, walls) == [53, 56, 57]
