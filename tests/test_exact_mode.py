"""A search answering exactly (the scan, or a grid in three dimensions) holds no hash tables: its
answers against exact_knn / exact_radius through every change, save/load and pickle (older saves
too), its memory, growth that builds tables, the forced mode, refused calls leaving it as it was."""

import copy
import json
import pickle
import warnings

import numpy as np
import pytest

from plovik import PlovikSearch, datasets, exact_knn, exact_radius, persist
from plovik._native import crc32c
from plovik.grid import GridStore
from plovik.lsh import PythonLshIndex

D = 8


class Mirror:
    """The coordinates and retired ids a search should hold, and the exact answers over them."""

    def __init__(self, X, n_static, metric="l1", boxsize=None, retired=()):
        self.X, self.n_static, self.retired = np.array(X, np.float64), n_static, set(retired)
        self.box = {"metric": metric, "boxsize": boxsize}
        # radii a third as wide where distances are shorter (L2, weighted axes): not nearly every pair
        self.reach = 1.0 if (metric, boxsize) == ("l1", None) else 0.3

    def retire(self, search, ids):
        search.retire(ids)
        self.retired |= set(ids)

    def live(self):
        return np.array([i for i in range(len(self.X)) if i not in self.retired], np.int64)

    def check(self, search, rng, m=40, k=6):
        D = self.X.shape[1]
        assert (search.n_points, search.n_static, search.n_retired) == (len(self.X), self.n_static, len(self.retired))
        live = self.live()
        Q = np.vstack([rng.random((m - 5, D)) * 3 - 1, self.X[live[:5]]])  # some outside [0, 1), some on points
        own = np.r_[np.full(m - 5, -1), live[:5]]
        truth_i, truth_d = exact_knn(self.X[live], Q, k, **self.box)
        idx, dist = search.query_knn(Q, k)
        assert np.array_equal(idx, np.where(truth_i >= 0, live[np.maximum(truth_i, 0)], -1))
        assert np.array_equal(dist, truth_d)
        # one id and several ids per query excluded (a retired one excludes nothing more), a single point
        dead = np.resize(sorted(self.retired) or [-1], m)
        ex = np.c_[own, np.resize(np.r_[live[5:], np.full(5, -1)], m), dead]
        got_i, got_d = search.query_knn(Q, k, ex)
        for q in range(m):
            keep = ~np.isin(live, ex[q])
            ti, td = exact_knn(self.X[live[keep]], Q[q : q + 1], k, **self.box)
            want = np.where(ti[0] >= 0, live[keep][ti[0]], -1)
            assert np.array_equal(got_i[q], want) and np.array_equal(got_d[q], td[0])
        one = search.query_knn(Q[3], k, int(live[0]))
        assert np.array_equal(one[0], search.query_knn(Q[3:4], k, live[:1])[0][0])
        # radius: one and per-query radii, counts, sparse
        r, wide = np.linspace(0.3, 1.2, m) * self.reach, 1.2 * self.reach
        indptr, ids, _ = search.query_radius(Q, r)
        t_ptr, t_ids, t_d = exact_radius(self.X[live], Q, wide, **self.box)
        for q in range(m):
            t = t_d[t_ptr[q] : t_ptr[q + 1]] <= np.float32(r[q])
            assert np.array_equal(ids[indptr[q] : indptr[q + 1]], live[t_ids[t_ptr[q] : t_ptr[q + 1]][t]])
        assert np.array_equal(search.query_radius(Q, wide, count_only=True), np.diff(t_ptr))
        pairs, pd = search.pairs(wide / 2)
        b_ptr, b_ids, b_d = exact_radius(self.X[live], self.X[live], wide / 2, np.arange(live.size), **self.box)
        rows = np.repeat(np.arange(live.size), np.diff(b_ptr))
        upper = rows < b_ids
        order = np.lexsort((b_ids[upper], rows[upper]))
        assert np.array_equal(pairs, np.c_[live[rows[upper]], live[b_ids[upper]]][order])
        assert np.array_equal(pd, b_d[upper][order])
        return idx


def exact_search(rng, n=1500, n_static=1200, d=D, **kwargs):
    X = rng.random((n, d)) * 2 - 0.5
    # coordinates stored as 1.0 (rounded up from just below 1, or from a tiny negative one), static and
    # candidate: read back as themselves whenever the search lays its points out, grids or builds them again
    X[[7, n_static + 7], 0] = np.nextafter(1.0, 0.0)
    X[[8, n_static + 8], -1] = -(2.0**-60)
    search = PlovikSearch(d, seed=3, **kwargs)
    search.build(X, n_static)
    return search, Mirror(X, n_static, kwargs.get("metric", "l1"), kwargs.get("boxsize"))


def through_epochs(search, mirror, rng, retired):
    """Retire, update every candidate, promote a batch and retune, the rows checked after each."""
    d = mirror.X.shape[1]
    mirror.check(search, rng)
    mirror.retire(search, retired)
    mirror.check(search, rng)
    C = rng.random((search.n_candidates, d))
    search.update(C)
    mirror.X[mirror.n_static :] = C
    mirror.check(search, rng)
    new = rng.random((200, d))
    search.promote(new)
    mirror.X, mirror.n_static = np.vstack([mirror.X, new]), len(mirror.X)
    mirror.check(search, rng)
    search.retune()
    mirror.check(search, rng)


# Longest side 1: radii and distances unscaled, so Mirror.check's per-query radii compare as the search's.
METRICS = [("euclidean", None), ("euclidean", (1.0, 0.5, 0.75)), ("l1", (0.25, 1.0, 0.5))]


@pytest.mark.parametrize(
    "backend, d, metric, boxsize",
    [("native", D, "l1", None), ("reference", D, "l1", None), ("native", 3, "l1", None)]
    + [("native", 3, metric, boxsize) for metric, boxsize in METRICS],
)
def test_answers_as_the_exact_scan_through_every_change(backend, d, metric, boxsize):
    # in three dimensions the tuning chooses the grid, in eight the scan; L2 and unequal sides only the scan
    rng = np.random.default_rng(1)
    search, mirror = exact_search(rng, backend=backend, d=d, metric=metric, boxsize=boxsize)
    grid = d == 3 and (metric, boxsize) == ("l1", None)
    mode = "exact grid" if grid else "exact scan"
    assert search.tuning.exact and search.tuning.grid == grid and search.raw is None and search.params is None
    assert mode in repr(search) and "b=" not in repr(search) and "L=" not in str(search.tuning)
    assert "reuse" not in repr(search) and "ids 0" not in repr(search)  # the parts it holds nothing in are left out
    assert str(search.tuning).startswith(mode) and "tables=" not in repr(search.tuning)
    assert "exact=True" in repr(search.tuning) and f"grid={grid}" in repr(search.tuning)
    if (metric, boxsize) != ("l1", None):
        assert (search.metric, search.boxsize, search.settings()["exact"]) == (metric, boxsize, True)
        assert f"metric={metric!r}" in repr(search) if metric != "l1" else "boxsize=(0.25, 1.0, 0.5)" in repr(search)
    # the points as the raw index stores them, bit for bit
    hashed = PlovikSearch(d, seed=3, tables=1, components=2, cells=3, probes=0, backend=backend)
    hashed.build(mirror.X if boxsize is None else mirror.X / boxsize, mirror.n_static)
    assert search._index.points().tobytes() == hashed.raw.points().tobytes()
    # tiles of 8 points, in plain L1 a byte a coordinate in tiles of 16; a grid keeps no scan (cells come later)
    parts = search.nbytes_by_part
    codes = -(-1500 // 16) * 16 * 2 * -(-d // 2) if (metric, boxsize) == ("l1", None) else 0
    scan = 0 if grid else -(-1500 // 8) * 8 * d * 4 + codes
    assert parts == {"coordinates": 1500 * (d * 4 + 1), "ids": 0, "directories": 0, "reuse": 0, "exact scan": scan}
    assert search.nbytes == sum(parts.values()) < hashed.nbytes + parts["exact scan"]
    shapes = {k: v.shape for k, v in search.tables().items()}
    static, cand = ("static_keys", "static_ids"), ("cand_keys", "cand_sorted_keys", "cand_sorted_ids")
    assert shapes == dict.fromkeys(static, (0, 1200)) | dict.fromkeys(cand, (0, 300))
    mirror.retire(search, [1300])
    assert search.tables()["cand_sorted_ids"].shape == (0, 299) and search.tables()["cand_keys"].shape == (0, 300)
    through_epochs(search, mirror, rng, [0, 7, 1300, 1499])
    assert search.tuning.exact and search.tuning.grid == grid and search.raw is None
    # nearly every point retired: rows padded past the live ones
    gone = np.setdiff1d(np.arange(search.n_points), np.arange(0, search.n_points, 100))
    mirror.retire(search, gone.tolist())
    mirror.check(search, rng, k=30)
    assert search.estimate_recall().recall == 1.0 and search.observed_recall is None
    assert all(v == 0 for k, v in search.stats().items() if k != "block")


@pytest.mark.parametrize("exact", ["always", "grid"])
def test_a_coordinate_stored_as_one_is_measured_from_one_after_every_change(exact):
    """A coordinate rounded up to 1.0 on the way in is measured from 1.0, not from its wrap 0.0, when the
    search lays its points out or grids them again: among every answer, the exact search's rows after an
    update of the same coordinates, a pickle and a promote."""
    rng = np.random.default_rng(11)
    X = rng.random((100, 2))
    X[0] = [np.nextafter(1.0, 0.0), 0.5]
    X[95] = [0.25, -(2.0**-60)]
    Q = rng.random((500, 2))
    search = PlovikSearch(2, exact=exact, seed=3)
    search.build(X, 90)

    def rows_equal(s, points):
        for got, want in zip(s.query_knn(Q, len(points)), exact_knn(points, Q, len(points)), strict=True):
            assert np.array_equal(got, want)

    rows_equal(search, X)
    search.update(X[90:])
    rows_equal(search, X)
    rows_equal(pickle.loads(pickle.dumps(search)), X)
    more = rng.random((10, 2))
    search.promote(more)
    rows_equal(search, np.vstack([X, more]))


def test_crowded_points_in_the_scans_own_order_through_every_change():
    # from 4,096 clustered points the scan keeps a spatial order (4 bytes a point): the same rows, ties by id
    rng = np.random.default_rng(6)
    X = datasets.clustered(rng, 5000, D, clusters=12, sigma=0.02)
    X[1::50] = X[0]  # copies of one point, their ids spread
    search = PlovikSearch(D, seed=3)
    search.build(X, 4000)
    assert search.tuning.exact and search.nbytes_by_part["exact scan"] > 5000 * D * 5 + 4 * 5000
    through_epochs(search, Mirror(X, 4000), rng, [0, 7, 4001, 4999])


@pytest.mark.parametrize("d, metric, boxsize", [(D, "l1", None), (3, "l1", None), *((3, *m) for m in METRICS)])
def test_saved_loaded_mapped_and_pickled(tmp_path, d, metric, boxsize):
    rng = np.random.default_rng(2)
    search, mirror = exact_search(rng, d=d, metric=metric, boxsize=boxsize)
    grid = search.tuning.grid
    mirror.retire(search, [3, 1400])
    search.save(tmp_path / "s")
    manifest = json.loads((tmp_path / "s" / "manifest.json").read_text())
    assert manifest["index"] == {"storage": "exact", "d": d, "n_points": 1500, "n_static": 1200}
    assert sorted(manifest["arrays"]) == ["coords", "retired"] and manifest["tuning"]["grid"] == grid
    assert manifest["settings"]["metric"] == metric and manifest["settings"]["boxsize"] == (boxsize and list(boxsize))
    loaded = [PlovikSearch.load(tmp_path / "s", mmap=mmap) for mmap in (False, True)]
    copies = [*loaded, pickle.loads(pickle.dumps(search)), copy.deepcopy(search), copy.copy(search)]
    C, new = rng.random((300, d)), rng.random((50, d))
    for other in copies:
        assert other.raw is None and other.nbytes_by_part["ids"] == 0 and other.tuning == search.tuning
        assert isinstance(other._index, GridStore) == grid and (other.metric, other.boxsize) == (metric, boxsize)
        mirror.check(other, np.random.default_rng(9))
        other.update(C)  # a mapped search changes a copy of its points
        other.promote(new)
    mirror.X[1200:] = C
    mirror.X, mirror.n_static = np.vstack([mirror.X, new]), 1500
    for other in copies:
        mirror.check(other, np.random.default_rng(4))
    assert search.n_points == 1500  # the original untouched
    # refused: a table-less index without an exact report, an unknown metric; no metric field loads as L1
    for change, message in (
        (lambda m: m["tuning"].update(exact=False), "needs the report of an exact scan"),
        (lambda m: m["settings"].update(metric="cosine"), "settings\\['metric'\\] must be"),
    ):
        bad = copy.deepcopy(manifest)
        change(bad)
        (tmp_path / "s" / "manifest.json").write_text(json.dumps(bad | {"crc32c": 0}))
        with pytest.raises(ValueError, match=message):
            PlovikSearch.load(tmp_path / "s", verify=False)
    # points off [0, 1] (a NaN, 1.5) with their checksums made right: refused by every verified load, mapped too
    coords_file = tmp_path / "s" / manifest["arrays"]["coords"]["file"]
    pristine = coords_file.read_bytes()
    for bad in (np.nan, 1.5):
        data = bytearray(pristine)
        data[persist.DATA_OFFSET : persist.DATA_OFFSET + 4] = np.float32(bad).tobytes()
        coords_file.write_bytes(bytes(data))
        edited = copy.deepcopy(manifest)
        edited["arrays"]["coords"]["crc32c"] = crc32c(bytes(data[persist.DATA_OFFSET :]))
        edited["crc32c"] = persist._manifest_crc(edited)
        (tmp_path / "s" / "manifest.json").write_text(json.dumps(edited))
        for mmap in (False, True):
            with pytest.raises(ValueError, match=r"the points must be wrapped onto \[0, 1\]"):
                PlovikSearch.load(tmp_path / "s", mmap=mmap, verify=True)
    coords_file.write_bytes(pristine)
    if boxsize is None and metric != "l1":
        del manifest["settings"]["metric"]
        (tmp_path / "s" / "manifest.json").write_text(json.dumps(manifest | {"crc32c": 0}))
        old = PlovikSearch.load(tmp_path / "s", verify=False)
        assert old.metric == "l1"
        Mirror(old._points(), 1200, retired={3, 1400}).check(old, np.random.default_rng(1))


def test_saves_from_before_load_as_they_were(tmp_path):
    # a folder saved while an exact scan kept a raw index of one table loads without it
    old, old_mirror = exact_search(np.random.default_rng(2))
    old_mirror.retire(old, [3, 1400])
    raw = PythonLshIndex(**old.hash_parameters(1500).as_kwargs())
    raw.build(np.asarray(old._points()), 1200)
    raw.retire(np.array([3, 1400]))
    old._index = raw
    old.save(tmp_path / "old")
    assert "storage" not in json.loads((tmp_path / "old" / "manifest.json").read_text())["index"]
    back = PlovikSearch.load(tmp_path / "old")
    assert back.raw is None and back.nbytes_by_part["directories"] == 0
    old_mirror.check(back, np.random.default_rng(9))
    # reports from before the grid field: the exact scan's (grid points too), unless the settings ask for it
    for d, settings, grid in ((3, {}, False), (3, {"exact": "grid"}, True)):
        search, mirror = exact_search(np.random.default_rng(5), d=d, **settings)
        assert search.tuning.grid
        search.save(tmp_path / "before")
        manifest = json.loads((tmp_path / "before" / "manifest.json").read_text())
        del manifest["tuning"]["grid"]
        (tmp_path / "before" / "manifest.json").write_text(json.dumps(manifest))
        pickled = copy.copy(search.tuning)
        del pickled.__dict__["grid"]  # as a report pickled before the field
        search._tuning = pickled
        for back in (PlovikSearch.load(tmp_path / "before", verify=False), pickle.loads(pickle.dumps(search))):
            assert back.tuning.grid == grid and isinstance(back._index, GridStore) == grid
            assert ("exact grid" if grid else "exact scan") in str(back.tuning)
            mirror.check(back, np.random.default_rng(6))
    manifest["tuning"]["grid"] = 1  # not a bool
    (tmp_path / "before" / "manifest.json").write_text(json.dumps(manifest))
    with pytest.raises(ValueError, match="grid"):
        PlovikSearch.load(tmp_path / "before", verify=False)


@pytest.mark.parametrize("mode", ["hash", "grid"])
@pytest.mark.parametrize("metric, boxsize", METRICS)
def test_tables_and_grid_answer_in_the_metric_through_every_change(tmp_path, metric, boxsize, mode):
    """One-bucket tables (candidates measured in the metric) and the grid answer as the exact functions."""
    rng = np.random.default_rng(7)
    settings = {"cells": 1, "components": 1, "tables": 1, "probes": 0} if mode == "hash" else {"exact": "grid"}
    search, mirror = exact_search(rng, d=3, n=900, n_static=700, metric=metric, boxsize=boxsize, **settings)
    assert search.tuning is None if mode == "hash" else search.tuning.exact and search.tuning.grid
    assert (search.raw is not None) == (mode == "hash")
    through_epochs(search, mirror, rng, [0, 750])
    search.save(tmp_path / "s")
    for back in (PlovikSearch.load(tmp_path / "s"), pickle.loads(pickle.dumps(search))):
        assert (back.metric, back.boxsize) == (metric, boxsize) and (back.raw is not None) == (mode == "hash")
        mirror.check(back, np.random.default_rng(3))


def test_growth_past_the_sizes_builds_the_tables():
    rng = np.random.default_rng(5)
    X = rng.random((36_000, D))  # uniform: tight clusters are answered faster by the scan at this size
    X[7, 0] = np.nextafter(1.0, 0.0)  # stored as 1.0, and still so in the tables built from the stored points
    search = PlovikSearch(D, seed=1, threads=1)
    search.build(X[:3000], n_static=2000, sample=100)
    search.retire([5, 2500])
    search.promote(X[3000:6000])  # 6,000 points of 8 coordinates: still decided by the sizes
    assert search.raw is None and search.tuning.sample == 0
    search.promote(X[6000:33_000])
    t = search.tuning
    assert not t.exact and t.sample > 0 and search.raw is not None and search.params.l == t.tables
    assert (search.n_points, search.n_static, search.n_retired) == (33_000, 6000, 2)
    assert search.nbytes_by_part["ids"] > 0 and search.observed_recall.since == "promote"
    assert search.raw.points()[7, 0] == 1.0
    probe = np.array([0, 2499, 2999, 5999, 6000, 32_999])
    idx, dist = search.query_knn(X[probe], 1)
    assert idx[:, 0].tolist() == probe.tolist() and (dist == 0).all()
    assert not np.isin([5, 2500], search.query_radius(X[[5, 2500]], 0.01)[1]).any()
    assert search.estimate_recall(sample=100).interval[1] >= 0.95
    # forced: the scan whatever the sizes, and no tables on growth (exact=False: test_tuning.py)
    always = PlovikSearch(D, seed=1, exact="always")
    always.build(X[:3000])
    with warnings.catch_warnings(action="error"):  # no growth warning: there is nothing to re-tune
        always.promote(X[3000:])
    assert always.tuning.exact and always.raw is None
    always.retune()
    assert always.tuning.exact and always.raw is None and "as asked" in str(always.tuning)
    Q = rng.random((20, D))
    assert np.array_equal(always.query_knn(Q, 4)[0], exact_knn(X, Q, 4)[0])


def test_refused_calls_leave_it_as_it_was():
    rng = np.random.default_rng(7)
    search, mirror = exact_search(rng)
    before = (search.nbytes, repr(search), search.query_knn(mirror.X[:20], 5)[0])
    bad_rows = rng.random((300, D))
    bad_rows[10, 2] = np.nan
    for call, exc in (
        (lambda: search.update(rng.random((299, D))), ValueError),
        (lambda: search.update(bad_rows), ValueError),
        (lambda: search.promote(bad_rows), ValueError),
        (lambda: search.promote(rng.random((5, D + 1))), ValueError),
        (lambda: search.retire([1500]), ValueError),
        (lambda: search.retire([1.0]), TypeError),
        (lambda: search.query_knn(mirror.X[:2], 3, [0, 1500]), ValueError),
        (lambda: search.query_radius(mirror.X[:2], [0.1, -1.0]), ValueError),
    ):
        with pytest.raises(exc):
            call()
    after = (search.nbytes, repr(search), search.query_knn(mirror.X[:20], 5)[0])
    assert before[:2] == after[:2] and np.array_equal(before[2], after[2])
    mirror.check(search, rng)
