"""The raw indexes' states: round trips through _state/_from_state, pickle and copy answer alike and keep working (both
classes); states cross between the classes; forged states are refused with ValueError naming the problem; arrays mapped
from a file answer alike and leave it as it was, and a corrupted one answers without crashing (under sanitizers too)."""

import copy
import pickle

import numpy as np
import pytest

import plovik._native as native
from index_helpers import assert_tables_equal, random_params
from plovik import RustLshIndex, lsh, persist
from plovik.lsh import PythonLshIndex
from query_helpers import assert_rows_equal

MAP_FROM = 1 << 21  # arrays from this many bytes on are mapped, smaller ones copied
D = 16
STAGES = ("unbuilt", "built", "updated", "promoted", "retired")


def epochs(ix, rng, stage):
    """Brings a freshly built index to `stage` (each stage includes the ones before)."""
    n_cand, d = ix.n_candidates, ix.points().shape[1]
    for step in STAGES[2 : STAGES.index(stage) + 1]:
        if step == "updated":
            ix.update(rng.random((n_cand, d)))
        elif step == "promoted":
            ix.promote(rng.random((n_cand // 2 + 1, d)))
        else:
            ix.retire(rng.choice(ix.n_points, ix.n_points // 7, replace=False))


def make(b, K, L=4, n=1500, n_static=1000, d=6, block=1024, seed=0, stage="retired", cls=RustLshIndex):
    rng = np.random.default_rng(seed)
    ix = cls(**random_params(rng, d=d, L=L, K=K, b=b, block=block))
    if stage == "unbuilt":
        return ix, rng
    ix.build(rng.random((n, d)), n_static)
    epochs(ix, rng, stage)
    ix.query_knn(rng.random((7, d)), 3)  # counters that are not zero
    return ix, rng


def snapshot(ix, Q):
    """Everything the two indexes must agree on."""
    out = {
        "tables": {k: v.tobytes() for k, v in ix.tables().items()},
        "sizes": (ix.n_points, ix.n_static, ix.n_candidates, ix.n_retired),
        "stats": {k: v for k, v in ix.stats().items() if not k.endswith("_ns")},  # times measured differ, counts not
        "points": ix.points().tobytes(),
    }
    if ix.n_points:
        out["knn"] = [a.tobytes() for a in ix.query_knn(Q, 10)]
        if isinstance(ix, RustLshIndex):
            out["probes0"] = [a.tobytes() for a in native._query_knn(ix, Q, 12, None, 0)]
        out["radius"] = [a.tobytes() for a in ix.query_radius(Q, 0.9)]
    return out


def same(a, b, Q):
    """The two indexes answer alike now; queries add the same to both counters."""
    assert snapshot(a, Q) == snapshot(b, Q)


def assert_same_state(a, b):
    """Two states hold the same values, arrays of the same dtypes (the counters aside from the block setting, which
    the state holds as its own int)."""
    assert a.keys() == b.keys()
    for key, value in a.items():
        if key == "stats":
            assert {k: v for k, v in value.items() if k != "block"} == {k: v for k, v in b[key].items() if k != "block"}
        elif isinstance(value, np.ndarray):
            assert value.dtype == b[key].dtype and np.array_equal(value, b[key]), key
        else:
            assert value == b[key], key


def out_of_band(ix):
    """Protocol 5 with the arrays' buffers passed beside the pickle."""
    buffers = []
    blob = pickle.dumps(ix, protocol=5, buffer_callback=buffers.append)
    assert ix.n_points == 0 or len(blob) < 2000 < sum(memoryview(b).nbytes for b in buffers)
    return pickle.loads(blob, buffers=buffers)


COPIES = [lambda ix: type(ix)._from_state(ix._state()), copy.copy, copy.deepcopy, out_of_band] + [
    lambda ix, p=p: pickle.loads(pickle.dumps(ix, protocol=p)) for p in range(2, pickle.HIGHEST_PROTOCOL + 1)
]


# The reference keeps no directories of its own: one of each kind of stage suffices there.
@pytest.mark.parametrize(
    "b,K,stage,cls",
    [(b, K, stage, RustLshIndex) for b, K in ((4, 3), (5, 11)) for stage in STAGES]
    + [(4, 3, stage, PythonLshIndex) for stage in ("unbuilt", "retired")],
)
def test_round_trips_answer_alike_and_keep_working(b, K, stage, cls):
    ix, rng = make(b, K, stage=stage, cls=cls)
    Q = rng.random((40, 6))
    state = ix._state()
    for make_copy in COPIES:
        c = make_copy(ix)
        assert type(c) is cls and c is not ix and c.stats() == ix.stats()
        # buffers kept for reuse, and gaps a retire leaves in the tables until the next promote, are the original's
        mine, theirs = ix.nbytes_by_part, c.nbytes_by_part
        assert {**theirs, "reuse": 0, "ids": 0} == {**mine, "reuse": 0, "ids": 0}
        assert theirs["ids"] <= mine["ids"]
        same(ix, c, Q)
        # both go on alike: an epoch on each, from the same rows
        for x in (ix, c):
            step = np.random.default_rng(5)
            if x.n_points == 0:
                x.build(step.random((40, 6)), 25)
            x.update(step.random((x.n_candidates, 6)))
            x.promote(step.random((30, 6)))
            x.retire(np.array([0, x.n_points - 1]))
        same(ix, c, Q)
        ix = c  # the copy is the next original
    # the state was a copy: the index changed since, the state did not
    assert_same_state(cls._from_state(state)._state(), state)


def test_state_layout():
    ix, _ = make(4, 3, stage="promoted")
    st = ix._state()
    L, n, ns = 4, ix.n_points, ix.n_static
    assert st["version"] == 1 and (st["d"], st["n_points"], st["n_static"]) == (6, n, ns)
    names = ("s", "u", "coords", "cand_coords", "static_ids", "cand_ids", "static_first_bucket", "retired")
    shapes = [(L * 3,), (L * 3,), (n, 6), (n - ns, 6), (L, ns), (L, n - ns), (L + 1,), (0,)]
    got = [(st[key].dtype.str, st[key].shape) for key in names]
    assert got == list(zip(["<i8", "<f8", "<f4", "<f8", "<u4", "<u4", "<u8", "<u8"], shapes, strict=True))
    assert st["stats"] == ix.stats()
    for tier in ("static", "cand"):  # that the buckets give back tables(): test_states_cross_between_backends
        assert st[f"{tier}_bucket_starts"].shape == (len(st[f"{tier}_bucket_keys"]) + L,)
    # the engine's lists, which the package reads, equal the reference's copies; both classes' states hold just those
    assert native.QUERY_COUNTERS == lsh.QUERY_COUNTERS and native.STATE_INTS == lsh.STATE_INTS
    assert native.STATE_VERSION == lsh.STATE_VERSION == st["version"]
    assert list(native.STATE_ARRAYS.items()) == [(k, (np.dtype(t), nd)) for k, (t, nd) in lsh.STATE_ARRAYS.items()]
    assert native.MAX_THREADS == lsh._MAX_THREADS
    for state in (st, make(4, 3, stage="promoted", cls=PythonLshIndex)[0]._state()):
        assert set(state) == {"version", "stats", *native.STATE_INTS, *native.STATE_ARRAYS}
        assert all(type(state[k]) is int for k in native.STATE_INTS)
        for key, (dtype, ndim) in native.STATE_ARRAYS.items():
            assert state[key].dtype == dtype and state[key].ndim == ndim, key
        assert [name for name in state["stats"] if name != "block"] == list(native.QUERY_COUNTERS)


@pytest.mark.parametrize("b,K", [(4, 3), (5, 11)], ids=["dense directory", "bucket lists"])
@pytest.mark.parametrize("stage", ["built", "retired"])
def test_states_cross_between_backends(b, K, stage):
    ix, rng = make(b, K, n=400, n_static=300, stage=stage)
    ref = PythonLshIndex._from_state(ix._state())  # the reference reads the buckets into per-entry keys
    assert_tables_equal(ix, ref)
    r = ref._state()
    assert_same_state(ix._state(), r)
    back = RustLshIndex._from_state(r)
    Q = rng.random((20, 6))
    assert_tables_equal(back, ix)
    assert_rows_equal(back.query_knn(Q, 5), ref.query_knn(Q, 5))
    # a retired point has no entry in the tiers: the reference takes such a state and goes on through epochs alike
    rows, new = rng.random((ix.n_candidates, 6)), rng.random((10, 6))
    for x in (ix, ref):
        x.update(rows)
        x.promote(new)
    assert_tables_equal(ix, ref)
    assert_rows_equal(ix.query_knn(Q, 5), ref.query_knn(Q, 5))
    # unbuilt indexes, both ways
    p = random_params(rng, d=6, L=4, K=K, b=b)
    assert RustLshIndex._from_state(PythonLshIndex(**p)._state()).n_points == 0
    assert PythonLshIndex._from_state(RustLshIndex(**p)._state()).n_points == 0


# ---- forged states ----------------------------------------------------------


def changed(a, index, value):
    """A copy of `a` with `a[index] = value`."""
    a = a.copy()
    a[index] = value
    return a


def put(key, value):
    return lambda st: st.__setitem__(key, value(st) if callable(value) else value)


def cast(key, dtype):
    return put(key, lambda st: st[key].astype(dtype))


def poke(key, index, value):
    return put(key, lambda st: changed(st[key], index, value))


def swap(key, i=0, j=1):
    return put(key, lambda st: changed(st[key], [i, j], st[key][[j, i]]))


FORGERIES = {
    "missing key": (lambda st: st.pop("static_ids"), "missing 'static_ids'"),
    "version 2": (put("version", 2), "version"),
    "bool as int": (put("k", True), "'k' must be an int"),
    "negative size": (put("n_static", -1), "'n_static' is out of range"),
    "huge int": (put("n_points", 2**70), "'n_points' is out of range"),
    "ids int64": (cast("static_ids", np.int64), "static_ids' must have dtype uint32"),
    "ids big-endian": (cast("cand_ids", ">u4"), "native byte order"),
    "coords float64": (cast("coords", np.float64), "dtype float32"),
    "ids 1-d": (put("static_ids", lambda st: st["static_ids"].ravel()), "2 dimensions"),
    "ids a list": (put("static_ids", lambda st: st["static_ids"].tolist()), "numpy.ndarray"),
    "ids one table short": (put("static_ids", lambda st: st["static_ids"][:-1]), "rows"),
    "ids one entry short": (put("static_ids", lambda st: st["static_ids"][:, :-1]), "entries per table"),
    "n_points lies": (put("n_points", lambda st: st["n_points"] + 1), "shape"),
    "n_static above n_points": (put("n_static", lambda st: st["n_points"] + 1), "exceeds n_points"),
    "tier of 2**32": (lambda st: st.update(n_points=2**33, n_static=2**32), "fewer than 2\\*\\*32"),
    "unbuilt with points": (put("d", 0), "unbuilt"),
    "s shorter": (put("s", lambda st: st["s"][:-1]), "L \\* K"),
    "s outside d": (poke("s", 0, 6), "coordinate indices"),
    "b**k too large": (lambda st: st.update(b=2**40), "b\\*\\*k"),
    "id out of range": (poke("static_ids", (1, 5), 10**6), "static_ids holds 1000000"),
    "candidate id out of range": (poke("cand_ids", (0, 0), 500), "cand_ids holds 500"),
    "repeated id": (lambda st: poke("static_ids", (2, 0), st["static_ids"][2, 1])(st), "repeats"),
    "keys unsorted": (swap("static_bucket_keys"), "ascend"),
    "key outside the key space": (poke("cand_bucket_keys", -1, 4**3), "outside \\[0, b\\*\\*k\\)"),
    "negative key": (poke("static_bucket_keys", 0, -1), "outside"),
    "starts not from 0": (poke("static_bucket_starts", 0, 1), "start at 0"),
    "starts not ending at m": (poke("static_bucket_starts", -1, 501), "end at the entries"),
    "starts decreasing": (swap("cand_bucket_starts", 1, 2), "increase strictly"),
    "first_bucket not from 0": (poke("static_first_bucket", 0, 1), "first_bucket"),
    "first_bucket decreasing": (swap("static_first_bucket"), "first_bucket"),
    "first_bucket beyond": (poke("cand_first_bucket", -1, 10**9), "first_bucket"),
    "first_bucket wrong length": (put("static_first_bucket", lambda st: st["static_first_bucket"][:-1]), "L \\+ 1"),
    "more buckets than entries": (put("cand_bucket_keys", np.arange(10**6, dtype=np.int64)), "more than"),
    "coordinate nan": (poke("coords", (3, 2), np.nan), "coords must be finite"),
    "candidate row inf": (poke("cand_coords", (0, 0), np.inf), "cand_coords must be finite"),
    "retired beyond n_points": (
        put("retired", lambda st: ~np.zeros((st["n_points"] + 63) // 64, np.uint64)),
        "retired",
    ),
    "retired too long": (put("retired", np.zeros(10**5, np.uint64)), "words"),
    "stats missing a counter": (lambda st: st["stats"].pop("pairs"), "lacks 'pairs'"),
    "stats negative": (lambda st: st["stats"].update(queries=-1), "out of range"),
    "stats not a dict": (put("stats", [1, 2]), "'stats' must be a dict"),
    "float as int": (put("b", 4.0), "'b' must be an int"),
    "cand_coords one row short": (put("cand_coords", lambda st: st["cand_coords"][:-1]), "shape"),
    # tiers that list their occupied buckets (b = 5, k = 11)
    "bucket lists: key outside the key space": (poke("static_bucket_keys", 0, 5**11), "outside"),
    "bucket lists: keys unsorted": (swap("cand_bucket_keys"), "ascend"),
}


@pytest.mark.parametrize("name", FORGERIES)
def test_forged_states_are_refused(name):
    ix, _ = make(*((5, 11) if name.startswith("bucket lists") else (4, 3)), n=600, n_static=500, stage="built")
    forge, message = FORGERIES[name]
    st = ix._state()
    st["stats"] = dict(st["stats"])
    forge(st)
    restore = pickle.loads(pickle.dumps(native._restore_index, protocol=2))
    for from_state in (RustLshIndex._from_state, restore):
        with pytest.raises(ValueError, match=message):
            from_state(st)
    with pytest.raises(ValueError):  # the reference words its refusals its own way
        PythonLshIndex._from_state(st)


# ---- arrays mapped from a file ------------------------------------------------


def mapped_state(ix, folder, change=None):
    """ix's state with coords and static_ids in .npy files of their own whose data start on a page (each changed by
    `change` first), as memmaps, and the files mapping."""
    st, files = ix._state(), {}
    for name in ("coords", "static_ids"):
        arr = st[name].copy()
        if change is not None:
            change(name, arr)
        path = folder / f"{name}.npy"
        path.write_bytes(persist._npy_header(arr.dtype, arr.shape, 4096) + arr.tobytes())
        files[name], st[name] = (str(path), 4096), np.load(path, mmap_mode="r")
        assert st[name].offset == 4096 and st[name].tobytes() == arr.tobytes()
    return st, files


def maps_of(folder):
    """How many mappings of the process each of the two files has."""
    with open("/proc/self/maps") as f:
        lines = f.readlines()
    return tuple(sum(str(folder / f"{name}.npy") in line for line in lines) for name in ("coords", "static_ids"))


def big_index(b=4, K=4, block=1024, stage="built"):
    # both mapped arrays above MAP_FROM: 40,000 x 16 floats, 16 x 36,000 ids
    ix, rng = make(b, K, L=16, n=40_000, n_static=36_000, d=D, block=block, stage=stage)
    assert ix.points().nbytes >= MAP_FROM and ix._state()["static_ids"].nbytes >= MAP_FROM
    return ix, rng


def test_mapped_load_checks_its_files_answers_alike_and_keeps_them(tmp_path):
    ix, rng = big_index(stage="retired")
    st, files = mapped_state(ix, tmp_path)
    on_disk = {name: np.load(path).copy() for name, (path, _) in files.items()}
    before = maps_of(tmp_path)
    path, offset = files["coords"]
    for state, bad, error, message in [  # odd arguments, then files that cannot be mapped
        ([], None, ValueError, "state must be a dict"),
        (st, [], ValueError, "files must be a dict"),
        (st, {"cand_ids": ("x", 0)}, ValueError, "may only name"),
        (st, {"coords": "x"}, ValueError, "pair"),
        (st, {"coords": ("x", -1)}, ValueError, "offset"),
        (st, {"coords": (path, offset + 8)}, ValueError, "page size"),
        (st, {"coords": (path, offset + 4096)}, ValueError, "too short"),
        (st, {"coords": (str(tmp_path / "none.npy"), offset)}, FileNotFoundError, "none.npy"),
        (st, {"coords": (str(tmp_path), 0)}, OSError, "regular file"),
    ]:
        with pytest.raises(error, match=message):
            RustLshIndex._from_state(state, bad)
    # the other invariants are checked for a mapped state too
    repeated = {**st, "cand_ids": changed(st["cand_ids"], (0, 0), st["cand_ids"][0, 1])}
    with pytest.raises(ValueError, match="repeats"):
        RustLshIndex._from_state(repeated, files)
    del repeated, state  # they hold numpy's maps of the files too
    # nothing of the refused loads stays mapped
    assert maps_of(tmp_path) == before
    assert RustLshIndex._from_state(st, None).n_points == ix.n_points  # no files: the arrays copied
    mapped = RustLshIndex._from_state(st, files)
    assert all(maps_of(tmp_path))
    Q = rng.random((60, D))
    same(ix, mapped, Q)
    step = np.random.default_rng(9)
    for _ in range(2):
        rows, new = step.random((ix.n_candidates, D)), step.random((3000, D))
        for x in (ix, mapped):
            x.update(rows)
            x.retire(np.arange(0, x.n_points, 97))
        same(ix, mapped, Q)
        for x in (ix, mapped):
            x.promote(new)
        same(ix, mapped, Q)
    # copy-on-write: the files are as they were written
    for name, (path, _) in files.items():
        assert np.array_equal(np.load(path), on_disk[name])
    same(ix, pickle.loads(pickle.dumps(mapped)), Q)  # a mapped index pickles like any other
    del st  # numpy's own maps of the files
    # promote copied both arrays (the file's mappings freed then); a fresh mapped load is freed by a rebuild
    assert maps_of(tmp_path) == (0, 0)
    st, files = mapped_state(ix, tmp_path)
    mapped = RustLshIndex._from_state(st, files)
    del st
    assert all(maps_of(tmp_path))
    mapped.build(ix.points().astype(np.float64), 100)
    assert maps_of(tmp_path) == (0, 0)


@pytest.mark.parametrize("block", [1, 1024], ids=["per-query", "batched"])
@pytest.mark.parametrize("b,K", [(4, 4), (5, 11)], ids=["dense directory", "bucket lists"])
def test_corrupted_mapped_file_answers_without_crashing(tmp_path, block, b, K):
    ix, rng = big_index(b, K, block)
    n_static = ix.n_static
    spoil = np.random.default_rng(3)

    def change(name, arr):  # ids past every tier and random ones; coordinates not finite and far outside the torus
        flat, at = arr.reshape(-1), spoil.choice(arr.size, 4000, replace=False)
        if name == "static_ids":
            flat[at] = np.r_[np.full(1000, 2**32 - 1, np.uint64), spoil.integers(0, 2**32, 3000, dtype=np.uint64)]
        else:
            flat[at] = np.repeat([np.nan, np.inf, -np.inf, 1e30], 1000)

    st, files = mapped_state(ix, tmp_path, change)
    mapped = RustLshIndex._from_state(st, files)
    Q = rng.random((150, D))

    def ask():
        idx, _ = mapped.query_knn(Q, 10)
        assert ((idx >= -1) & (idx < mapped.n_points)).all()
        idx, _ = native._query_knn(mapped, Q, 60, None, 0)  # few probes: relaxed searches
        assert (idx < mapped.n_points).all()
        indptr, ids, _ = mapped.query_radius(Q, 1.5)
        assert ids.size == indptr[-1] and ((ids >= 0) & (ids < mapped.n_points)).all()

    ask()
    mapped.update(rng.random((mapped.n_candidates, D)))
    mapped.promote(rng.random((2000, D)))
    # retiring drops entries from the mapped tables: it reads them first and refuses corrupt ones, changing nothing
    tables = mapped.tables()
    with pytest.raises(ValueError, match="corrupt"):
        mapped.retire(np.arange(0, n_static, 5))
    assert mapped.n_retired == 0 and all(np.array_equal(v, tables[k]) for k, v in mapped.tables().items())
    ask()
    assert mapped.tables()["static_ids"].shape == (16, mapped.n_static)
    with pytest.raises(ValueError):  # what it holds now is no valid state
        RustLshIndex._from_state(mapped._state())
