"""PlovikSearch saved, loaded and pickled: round trips, refusals (ValueError, OSError for the file system) and
corrupted folders. (The raw classes' states: test_state.py.)"""

import copy
import dataclasses
import functools
import json
import os
import pickle
import shutil
import signal
import stat
import subprocess
import sys

import numpy as np
import pytest

from plovik import PlovikSearch, persist
from plovik.lsh import STATE_ARRAYS

BACKENDS = ["reference", "native"]
# files named as a save names its own, of a generation no save wrote
NAMES_LIKE_OURS = {"coords.0123456789abcdef.npy": b"x", "manifest.0123456789abcdef.tmp": b"{"}


# ------------------------------------------------------------ the search


def _search(backend, rng, d=4, tuned=False, n=600):
    if tuned:  # in a periodic box of side 2.5: the coordinates of the epochs lie in part of it
        s = PlovikSearch(d, seed=11, backend=backend, boxsize=2.5)
        s.build(rng.random((n, d)) * 2.5, n - 100, queries=rng.random((20, d)), sample=50)
    else:
        s = PlovikSearch(d, seed=11, backend=backend, tables=5, components=3, cells=4, probes=2)
        s.build(rng.random((n, d)), n - 100)
    return s


def _epochs(search, rng, d):
    search.update(rng.random((search.n_candidates, d)))
    search.retire([1, search.n_points - 1])
    search.promote(rng.random((30, d)))
    search.update(rng.random((search.n_candidates, d)))


def _same_search(a, b, d, stats=True):
    def facts(s):  # the sizes, the counters and the tuning report less their times, the settings
        untimed = stats and {k: v for k, v in s.stats().items() if not k.endswith("_ns")}
        sizes = (s.n_points, s.n_static, s.n_candidates, s.n_retired, s.n_live)
        return sizes, untimed, s.tuning and dataclasses.replace(s.tuning, seconds=0.0), s.seed, s.backend, s.boxsize

    assert facts(a) == facts(b)
    # an exact scan holds no table, hence no hash parameters
    assert (a.params is None) == bool(a.tuning and a.tuning.exact) and a.params == b.params
    for key, value in a.tables().items():
        assert value.tobytes() == b.tables()[key].tobytes(), key
    Q = np.random.default_rng(12).random((90, d))
    for rows in (lambda s: s.query_knn(Q, 5), lambda s: s.query_radius(Q, 0.2)):
        assert all(np.array_equal(x, y) for x, y in zip(rows(a), rows(b), strict=True))


class _EarlierPickle:
    """A search as earlier versions pickled it: by `plovik.persist.restore`."""

    def __init__(self, search):
        self.content = search.__reduce__()[1]

    def __reduce__(self):
        return persist.restore, self.content


def _round_trips(search, folder):
    # each snapshot is taken when it is compared (the counters move with every query)
    for how, kwargs in (("load", {}), ("mmap", {"mmap": True}), ("mmap verified", {"mmap": True, "verify": True})):
        search.save(folder)
        yield how, PlovikSearch.load(folder, **kwargs)
    yield "pickle", pickle.loads(pickle.dumps(search, protocol=pickle.HIGHEST_PROTOCOL))
    yield "older pickle", pickle.loads(pickle.dumps(_EarlierPickle(search)))
    yield "copy", copy.copy(search)
    yield "deepcopy", copy.deepcopy(search)


@pytest.mark.parametrize("backend", BACKENDS)
@pytest.mark.parametrize("tuned", [False, True])
def test_search_round_trips(backend, tuned, tmp_path):
    d = 4
    search = _search(backend, np.random.default_rng(13), d, tuned)
    _epochs(search, np.random.default_rng(14), d)
    for how, other in _round_trips(search, tmp_path / "saved"):
        _same_search(search, other, d)
        # both go on alike through further epochs, the copy on its own
        twin = copy.deepcopy(search)
        _epochs(other, np.random.default_rng(15), d)
        _epochs(twin, np.random.default_rng(15), d)
        _same_search(twin, other, d)
        if how == "load":  # the build's queries, sample and radius were kept
            other.retune()
            twin.retune()
            _same_search(twin, other, d)
    assert search.n_points == 600 + 30  # the original was never touched


def test_the_reference_and_dask_are_imported_only_when_asked_for(tmp_path):
    # the package answers, saves, loads and pickles without the NumPy reference, and never imports Dask
    code = f"""if True:
        import pickle, sys
        import numpy as np
        import plovik, plovik.bench, plovik.persist
        assert not any(m.startswith(("dask", "distributed")) for m in sys.modules)
        search = plovik.PlovikSearch(3, seed=1)
        search.build(np.random.default_rng(0).random((300, 3)))
        search.query_knn(np.full((4, 3), 0.5), 3, probes=2)
        pickle.loads(pickle.dumps(search)).save({str(tmp_path / "s")!r})
        plovik.PlovikSearch.load({str(tmp_path / "s")!r})
        assert "plovik.lsh" not in sys.modules
        assert plovik.PlovikSearch(3, backend="reference").backend == "reference"
        assert "plovik.lsh" in sys.modules
    """
    subprocess.run([sys.executable, "-c", code], check=True, timeout=120)


def test_unbuilt_and_generator_seeded_searches(tmp_path):
    unbuilt = PlovikSearch(3, seed=4, tables=7)
    for other in (pickle.loads(pickle.dumps(unbuilt)), copy.deepcopy(unbuilt)):
        assert other.n_points == 0 and other.params is None and other.tables()["static_ids"].shape == (7, 0)
    unbuilt.save(tmp_path / "u")
    back = PlovikSearch.load(tmp_path / "u")
    assert back.n_points == 0 and back.seed == 4
    X = np.random.default_rng(3).random((200, 3))
    back.build(X)
    unbuilt.build(X)
    _same_search(unbuilt, back, 3)
    for name in ("PCG64", "MT19937", "Philox"):
        gen = np.random.Generator(getattr(np.random, name)(5))
        s = PlovikSearch(3, seed=gen, tables=3, components=2, cells=5, probes=1, backend="reference")
        s.save(tmp_path / name)
        # a loaded search's generator goes on where it was saved, a copy's from a generator of its own
        others = [PlovikSearch.load(tmp_path / name), copy.deepcopy(s)]
        for x in (s, *others):
            x.build(X)
        assert all(x.params == s.params for x in others)


def test_save_is_atomic(tmp_path, monkeypatch):
    rng = np.random.default_rng(16)
    d = 4
    search = _search(BACKENDS[-1], rng, d)
    folder = tmp_path / "idx"
    search.save(folder)
    first = set(os.listdir(folder))
    mapped = PlovikSearch.load(folder, mmap=True)
    stale = persist._read_manifest(str(folder), True)
    search.update(rng.random((search.n_candidates, d)))
    search.save(folder)  # a second save replaces every array file
    second = set(os.listdir(folder))
    assert first & second == {"manifest.json", ".lock", persist.JOURNAL} and len(second) == len(first)
    # a load that read the first manifest, whose files the second save removed, follows the new one
    stale, read = iter([stale]), persist._read_manifest
    monkeypatch.setattr(persist, "_read_manifest", lambda path, verify: next(stale, None) or read(path, verify))
    _same_search(search, PlovikSearch.load(folder), d)
    monkeypatch.undo()
    _epochs(mapped, np.random.default_rng(17), d)  # the mapped search kept its pages
    # a save that fails before its commit leaves the previous one, and nothing of its own
    old = PlovikSearch.load(folder)

    def fail(*args):
        raise OSError("disk full")

    real = os.replace
    monkeypatch.setattr(os, "replace", lambda a, b: (fail if str(b).endswith("manifest.json") else real)(a, b))
    search.promote(rng.random((5, d)))
    with pytest.raises(OSError, match="disk full"):
        search.save(folder)
    monkeypatch.undo()
    assert set(os.listdir(folder)) == second
    _same_search(old, PlovikSearch.load(folder), d, stats=False)
    search.save(folder)
    _same_search(search, PlovikSearch.load(folder), d)


def _contents(folder):
    """Every entry of a folder: a regular file's bytes, else its kind."""
    kinds = {name: stat.S_IFMT(os.lstat(folder / name).st_mode) for name in os.listdir(folder)}
    return {name: (folder / name).read_bytes() if kind == stat.S_IFREG else kind for name, kind in kinds.items()}


def test_save_writes_only_into_folders_of_its_own(tmp_path):
    search = _search("reference", np.random.default_rng(24), 3)
    search.save(tmp_path / "saved")
    newer = json.loads((tmp_path / "saved" / "manifest.json").read_bytes())
    # the saved arrays are plain .npy files, as the manifest describes them
    state = search.raw._state()
    assert set(newer["arrays"]) == set(STATE_ARRAYS)
    for name, entry in newer["arrays"].items():
        arr = np.load(tmp_path / "saved" / entry["file"], allow_pickle=False, mmap_mode="r")
        assert arr.offset == persist.DATA_OFFSET  # small arrays: at one page
        assert arr.dtype.str == entry["dtype"] and arr.dtype.byteorder in "<|="
        assert np.array_equal(arr, state[name]), name
    newer["version"] = 2
    fifo, folder, journal = os.mkfifo, os.mkdir, (tmp_path / "saved" / persist.JOURNAL).read_bytes()
    refused = {  # what a folder holds -> the refusal's message
        "a file": ({"notes.txt": b"mine"}, "is not empty and holds no saved index .'notes.txt'."),
        "names like its own": (NAMES_LIKE_OURS, "holds no saved index"),
        "another program's manifest": ({"manifest.json": b'{"name": "my project"}'}, "format 'plovik-index'"),
        "a manifest of another version": ({"manifest.json": json.dumps(newer).encode()}, "version 2"),
        "a manifest that is a FIFO": ({"manifest.json": fifo}, "manifest.json is not a regular file"),
        "a manifest that is a folder": ({"manifest.json": folder}, "manifest.json is a folder"),
        "another journal": ({persist.JOURNAL: b"[]"}, "is not a save's journal"),
        "journal, other manifest": ({persist.JOURNAL: journal, "manifest.json": b"{}"}, "format 'plovik-index'"),
    }
    for what, (files, message) in refused.items():
        target = tmp_path / what
        target.mkdir()
        for name, data in files.items():  # bytes, or how to make what is there
            data(target / name) if callable(data) else (target / name).write_bytes(data)
        before = _contents(target)
        with pytest.raises(FileExistsError, match=message):
            search.save(target)
        assert _contents(target) == before, what  # not even a lock file was made
    # accepted: a new path, an empty folder, one left by a save killed before its journal
    (tmp_path / "empty").mkdir()
    (tmp_path / "locked").mkdir()
    (tmp_path / "locked" / ".lock").write_bytes(b"")
    (tmp_path / "locked" / (persist.JOURNAL + ".tmp")).write_bytes(b"{")
    for name in ("new", "empty", "locked"):
        search.save(tmp_path / name)
        _same_search(search, PlovikSearch.load(tmp_path / name), 3, stats=False)


def _save_killed_at(search, folder, step):
    """Saves in a forked child killed by SIGKILL just before its `step`-th flush or rename, or its first or second
    removal (the later ones of a cleanup are alike); whether the save finished before that step."""
    pid = os.fork()
    if pid == 0:  # pragma: no cover (the child)
        code = 1
        try:
            calls = {"steps": 0, "remove": 0}

            def counted(name, real, *args, **kwargs):
                calls["remove"] += name == "remove"
                if name != "remove" or calls["remove"] <= 2:
                    calls["steps"] += 1
                    if calls["steps"] == step:
                        os.kill(os.getpid(), signal.SIGKILL)
                # a killed process loses nothing the page cache holds: the flushes are only steps
                return None if name == "fsync" else real(*args, **kwargs)

            for name in ("fsync", "replace", "remove"):
                setattr(os, name, functools.partial(counted, name, getattr(os, name)))
            search.save(folder)
            code = 0
        finally:
            os._exit(code)
    _, status = os.waitpid(pid, 0)
    assert os.WIFSIGNALED(status) or os.WEXITSTATUS(status) == 0
    return os.WIFEXITED(status)


@pytest.mark.forks_after_threads
@pytest.mark.skipif(not hasattr(os, "fork"), reason="needs fork")
@pytest.mark.filterwarnings("ignore::DeprecationWarning")  # fork() with the pool's threads running
def test_saves_killed_at_every_step(tmp_path, monkeypatch):
    """A save killed before any of its flushes, renames and removals leaves the previous save loadable or its own,
    and the next save knows every file the killed one wrote as its own and removes it; other files stay."""
    monkeypatch.setattr(os, "fsync", lambda fd: None)  # no power is lost here
    rng = np.random.default_rng(23)
    d = 3
    old = PlovikSearch(d, seed=1, tables=3, components=2, cells=4, probes=1)
    old.build(rng.random((300, d)), 250)
    new = copy.deepcopy(old)
    new.promote(rng.random((20, d)))
    Q = rng.random((20, d))
    answers = {s.n_points: s.query_knn(Q, 4) for s in (old, new)}
    old.save(tmp_path / "old")
    foreign = {"notes.txt": b"mine", **NAMES_LIKE_OURS}
    for first in (True, False):
        for step in range(1, 200):
            folder = tmp_path / f"{first}-{step}"
            if first:
                folder.mkdir()
            else:
                shutil.copytree(tmp_path / "old", folder)
                for name, data in foreign.items():
                    (folder / name).write_bytes(data)
            finished = _save_killed_at(new, folder, step)
            try:
                loaded = PlovikSearch.load(folder)
            except ValueError:  # a first save killed before its commit
                assert first and not finished
            else:
                for x, y in zip(loaded.query_knn(Q, 4), answers[loaded.n_points], strict=True):
                    assert np.array_equal(x, y), step
            new.save(folder)
            generation = json.loads((folder / "manifest.json").read_bytes())["generation"]
            own = {"manifest.json", ".lock", persist.JOURNAL} | {f for f in os.listdir(folder) if generation in f}
            assert set(os.listdir(folder)) == own | (set() if first else set(foreign)), (first, step)
            assert first or all((folder / name).read_bytes() == data for name, data in foreign.items())
            shutil.rmtree(folder)
            if finished:
                break
        assert step > 15  # the child was killed at every step before


@pytest.mark.skipif(not os.path.exists("/proc/self/maps"), reason="reads the process's mappings")
@pytest.mark.parametrize("backend", BACKENDS)
def test_mapped_load_maps_the_large_arrays(backend, tmp_path):
    rng = np.random.default_rng(19)
    # the compiled index maps arrays of 2 MiB and more, and copies smaller ones
    search = _search(backend, rng, 4, n=140_000 if backend == "native" else 600)
    search.save(tmp_path / "m")
    names = json.loads((tmp_path / "m" / "manifest.json").read_text())["arrays"]

    def mapped_files():
        with open("/proc/self/maps") as f:
            return {os.path.basename(line.split()[-1]) for line in f if str(tmp_path) in line}

    if backend == "native":  # arrays of 2 MiB and more start at a huge-page boundary
        arr = np.load(tmp_path / "m" / names["coords"]["file"], mmap_mode="r", max_header_size=1 << 21)
        assert arr.offset == persist.HUGE_OFFSET and arr.shape == (140_000, 4)
        del arr
    full = PlovikSearch.load(tmp_path / "m")
    assert not mapped_files()  # a full load keeps no file open or mapped
    mapped = PlovikSearch.load(tmp_path / "m", mmap=True)
    # the reference keeps its ids as int64 arrays of its own: it maps the coordinates alone
    mapped_names = ("coords", "static_ids") if backend == "native" else ("coords",)
    assert mapped_files() == {names[name]["file"] for name in mapped_names}
    _same_search(full, mapped, 4, stats=False)
    mapped.promote(rng.random((7, 4)))  # a change copies what it changes; the files stay as saved
    mapped.update(rng.random((7, 4)))
    assert PlovikSearch.load(tmp_path / "m").raw._state()["coords"].tobytes() == search.raw._state()["coords"].tobytes()


# ------------------------------------------------------------ corruption


def _saved(tmp_path):
    rng = np.random.default_rng(20)
    d = 3
    search = PlovikSearch(d, seed=1, tables=3, components=2, cells=4, probes=1, backend=BACKENDS[-1])
    search.build(rng.random((300, d)), 250)
    search.retire([0, 260])
    folder = tmp_path / "s"
    search.save(folder)
    return search, folder, {f: (folder / f).read_bytes() for f in os.listdir(folder) if f != ".lock"}


def _with_crc(manifest):
    manifest["crc32c"] = persist._manifest_crc(manifest)
    return json.dumps(manifest).encode()


def _npy(arr, dtype=None):
    arr = np.asarray(arr, dtype or arr.dtype)
    return persist._npy_header(arr.dtype, arr.shape) + arr.tobytes()


def _header(data, old, new):
    """A .npy file with `old` replaced by `new` in its header (padded to the same length), its data bytes unchanged."""
    new = new.ljust(len(old)).encode()
    assert len(new) == len(old) and old.encode() in data[: persist.DATA_OFFSET]
    return data.replace(old.encode(), new, 1)


def test_load_refuses_bad_folders(tmp_path):
    """Each check of the manifest, the .npy headers and the kinds of the files refuses the fault it is for, with its
    message, read and mapped (the header faults keep the data bytes and their checksums intact, so only the header
    check catches them)."""
    search, folder, pristine = _saved(tmp_path)
    manifest = json.loads(pristine["manifest.json"])
    files = {name: entry["file"] for name, entry in manifest["arrays"].items()}
    coords, state = pristine[files["coords"]], search.raw._state()

    def edited(change, crc=True):
        m = json.loads(pristine["manifest.json"])
        change(m)
        return {"manifest.json": _with_crc(m) if crc else json.dumps(m).encode()}

    def at(*path, crc=True, **kw):  # the manifest with these fields set in the section at `path`
        return edited(lambda m: functools.reduce(dict.__getitem__, path, m).update(kw), crc)

    settings, index, entry = (functools.partial(at, *path) for path in (["settings"], ["index"], ["arrays", "coords"]))

    def npy_version(major):  # the .npy file of u with another major version, laid out as before
        return {u: pristine[u][:6] + bytes([major, 0]) + pristine[u][8:]}

    def crc32_folder(m):
        m["checksum"], m["crc32"] = "crc32", m.pop("crc32c")
        for e in m["arrays"].values():
            e["crc32"] = e.pop("crc32c")

    cf, ids, u, crc = files["coords"], files["static_ids"], files["u"], manifest["arrays"]["coords"]["crc32c"]
    coords_file = cf.replace(".", r"\.")
    seed = {"generator": "PCG64", "state": {"x": 1}}
    cases = {  # what -> (files changed, the refusal's message)
        "not JSON": ({"manifest.json": b"{"}, "manifest.json is not valid JSON .JSONDecodeError"),
        "not an object": ({"manifest.json": b"[1]"}, "manifest.json must hold an object"),
        "deep nesting": ({"manifest.json": b"[" * 100_000}, "is not valid JSON .RecursionError"),
        "wrong format": (at(format="other"), "is not of the format 'plovik-index'"),
        "version 2": (at(version=2), r"format version 2 is not supported \(this version reads 1"),
        "version as str": (at(version="1"), r"\['version'\] must be int, got str"),
        "manifest checksum": (settings(k=11, crc=False), "manifest.json fails its checksum"),
        # a folder of zlib CRC-32s, as the format's first drafts wrote: refused by name before any key or checksum
        "other checksum": (edited(crc32_folder, crc=False), r"checksum 'crc32' is not supported.*'crc32c'"),
        "extra key": (at(extra=1), "manifest.json must hold exactly the keys"),
        "generation": (at(generation="0123"), "the generation must be 16 hex digits"),
        "settings type": (settings(d="3"), r"settings\['d'\] must be int, got str"),
        "extra setting": (settings(extra=1), "settings must hold exactly"),
        # b is signed in the state (the engine refuses b < 1 with its own message)
        "negative cells": (index(b=-(1 << 63)), "state: b must be at least 1"),
        "cells above 64 bits": (index(b=1 << 64), r"index\['b'\] is out of range"),
        "settings range": (settings(recall=2.0), r"recall must lie in \(0, 1\], got 2.0"),
        "boxsize zero": (settings(boxsize=0.0), r"settings\['boxsize'\] must be finite and positive, got 0.0"),
        "boxsize type": (settings(boxsize="2"), r"settings\['boxsize'\] must be"),
        "threads 0": (settings(threads=0), "threads must be at least 1, got 0"),
        "seed": (at(seed=seed), "the seed generator's state is refused"),
        "tuning fields": (at(tuning={"cells": 3}), "tuning must hold exactly the fields"),
        "index d": (index(d=5), r"coords must have shape \(n_points, d\) = \(300, 5\)"),
        "n_points lies": (index(n_points=301), r"= \(301, 3\), not \(300, 3\)"),
        "n_static lies": (index(n_static=299), r"cand_coords must have shape"),
        # tables whose keys are not those of the hash settings (every array intact)
        "cells edited": (index(b=5), r"static tier's tables do not belong to the saved hash settings \(b = 5, k = 2\)"),
        "counter": (at("index", "stats", queries=-1), r"index\['stats'\] holds a counter out of"),
        "block": (index(block=7), r"the index \(d = 3, block = 7\) does not match"),
        "no array": (edited(lambda m: m["arrays"].pop("cand_ids")), r"arrays must be exactly \['cand_bucket_keys'"),
        "path in file name": (entry(file="../coords.npy"), "names the file '../coords.npy', not coords"),
        "dtype in manifest": (entry(dtype="<f8"), r"arrays\['coords'\] has dtype '<f8', not '<f4'"),
        "same-size dtype in manifest": (entry(dtype="<i4"), "has dtype '<i4', not '<f4'"),
        "big-endian in manifest": (entry(dtype=">f4"), "has dtype '>f4', not '<f4'"),
        "shape lies": (entry(shape=[301, 3]), r"has shape \(300, 3\), the manifest says \(301, 3\)"),
        "shape ndim": (entry(shape=[903]), "must have a shape of 2 non-negative integers, got .903."),
        "crc range": (entry(crc32c=-1), r"arrays\['coords'\] has a crc32c out of range"),
        "crc above 32 bits": (entry(crc32c=2**32 + 1), r"has a crc32c out of range"),
        "data checksum": (entry(crc32c=crc ^ 1), coords_file + r" fails its checksum \(crc32c [0-9a-f]{8}, saved"),
        # the .npy headers, field by field
        "same-size dtype file": ({cf: _header(coords, "'<f4'", "'<i4'")}, "holds dtype '<i4', not '<f4'"),
        "wider dtype file": ({cf: _npy(state["coords"], "<f8")}, "holds dtype '<f8', not '<f4'"),
        "big-endian file": ({cf: _header(coords, "'<f4'", "'>f4'")}, "holds dtype '>f4', not '<f4'"),
        "native-order file": ({cf: _header(coords, "'<f4'", "'=f4'")}, "holds dtype '=f4', not '<f4'"),
        "fortran file": ({cf: _header(coords, "False", "True")}, coords_file + " has no valid .npy header"),
        "object file": ({files["s"]: _header(pristine[files["s"]], "'<i8'", "'|O'")}, "has no valid .npy header"),
        "shape file": (
            {cf: _header(coords, "(300, 3), }", "(900,), }")},
            r"has shape \(900,\), the manifest says \(300, 3\)",
        ),
        "transposed file": ({cf: _header(coords, "(300, 3)", "(3, 300)")}, r"has shape \(3, 300\)"),
        "fewer rows file": ({cf: _npy(state["coords"][:-1])}, r"has shape \(299, 3\)"),
        "npy version 3": (npy_version(3), r"a .npy file of a version not read \(only 1.0 and 2.0\)"),
        "npy version 2 laid out as 1": (npy_version(2), "has a header of [0-9]+ bytes|has no valid .npy header"),
        "truncated": ({ids: pristine[ids][:-1]}, "holds 7083 bytes, not the 7084"),
        "trailing byte": ({ids: pristine[ids] + b"\0"}, "holds 7085 bytes"),
        "no magic": ({u: b"\0" * 5000}, "is not a .npy file"),
        "empty file": ({u: b""}, "is not a .npy file"),
        "pickle inside": ({u: pickle.dumps(state["u"])}, "is not a .npy file"),
    }
    for what, (changes, message) in cases.items():
        for file, data in changes.items():
            (folder / file).write_bytes(data)
        for mmap in (False, True):
            with pytest.raises(ValueError, match="^not a loadable saved index: .*" + message):
                PlovikSearch.load(folder, mmap=mmap, verify=True)
                pytest.fail(f"loaded: {what}")
        for file in changes:
            (folder / file).write_bytes(pristine[file])
    # a save made before boxsize existed has the unit period
    old = json.loads(pristine["manifest.json"])
    del old["settings"]["boxsize"]
    (folder / "manifest.json").write_bytes(_with_crc(old))
    assert PlovikSearch.load(folder, verify=True).boxsize is None
    # what a verified load alone refuses: an unverified one answers from the edited cells
    (folder / "manifest.json").write_bytes(cases["cells edited"][0]["manifest.json"])
    assert PlovikSearch.load(folder, verify=False).params.b == 5
    # a thread count above the pool's cap is taken as the cap
    (folder / "manifest.json").write_bytes(settings(threads=2**64)["manifest.json"])
    _same_search(search, PlovikSearch.load(folder), search.d, stats=False)
    # a file missing, or a folder, FIFO or device in its place: ValueError (the OS error as its cause), at once; a path
    # that does not exist: FileNotFoundError; a file it may not read: PermissionError
    kinds = {  # how the file is replaced -> (the refusal's message, its cause)
        "missing": (lambda path: None, "is missing|holds no manifest.json", FileNotFoundError),
        "a folder": (os.mkdir, "is a folder", None),
        "a FIFO": (os.mkfifo, "is not a regular file", None),
        "a device": (lambda path: os.symlink("/dev/zero", path), "is not a regular file", None),
    }

    previous = signal.signal(signal.SIGALRM, lambda *args: pytest.fail("a load blocked"))
    signal.alarm(60)  # a blocking open fails the test instead of hanging it
    try:
        for file in ("manifest.json", files["coords"], files["retired"]):
            for kind, (make, message, cause) in kinds.items():
                os.remove(folder / file)
                make(folder / file)
                for mmap in (False, True):
                    with pytest.raises(ValueError, match=message) as info:
                        PlovikSearch.load(folder, mmap=mmap)
                    assert cause is None or isinstance(info.value.__cause__, cause), (file, kind)
                if os.path.lexists(folder / file):
                    (os.rmdir if kind == "a folder" else os.remove)(folder / file)
                (folder / file).write_bytes(pristine[file])
    finally:
        signal.alarm(0)
        signal.signal(signal.SIGALRM, previous)
    _same_search(search, PlovikSearch.load(folder), search.d, stats=False)
    with pytest.raises(FileNotFoundError):
        PlovikSearch.load(tmp_path / "missing")
    with pytest.raises(ValueError, match="is a file, not a folder"):
        PlovikSearch.load(folder / "manifest.json")
    with pytest.raises(TypeError):
        PlovikSearch.load(folder, mmap="yes")
    if os.geteuid() != 0:  # root reads any file
        os.chmod(folder / files["coords"], 0)
        with pytest.raises(PermissionError):
            PlovikSearch.load(folder)


def test_verified_load_of_points_on_cell_boundaries(tmp_path):
    """The static tier's keys come from the double-precision input, its file keeps single precision: points just
    below a cell boundary, whose stored coordinates fall into the next cell, and inputs far outside [0, 1) load
    verified all the same."""
    rng = np.random.default_rng(25)
    d, cells = 3, 4
    search = PlovikSearch(d, seed=2, tables=4, components=3, cells=cells, probes=1, backend="reference")
    search.build(rng.random((50, d)))  # the same seed draws the same parameters at every build
    s, u = search.params.s, search.params.u
    X = rng.random((400, d))
    for col in range(d):  # each column on a boundary of one of the tables that hash it
        t, j = np.argwhere(s == col)[0]
        X[:, col] = (rng.integers(cells, size=400) / cells - u[t, j]) % 1.0 - 1e-12
    X[::7] += 2.0**20  # wraps onto the same points
    X[3::20] += 2.0**45  # and onto points with little left of their position: a few such keys may differ
    search.build(X, 350)
    state = search.raw._state()
    stored = PlovikSearch(d, seed=2, tables=4, components=3, cells=cells, probes=1, backend="reference")
    stored.build(state["coords"][:350].astype(np.float64))
    assert (stored.tables()["static_keys"] != search.tables()["static_keys"][:, :350]).any()  # the case bites
    search.save(tmp_path / "b")
    for mmap in (False, True):
        _same_search(search, PlovikSearch.load(tmp_path / "b", mmap=mmap, verify=True), d, stats=False)


def _mutate(rng, pristine):
    """One random corruption of one file: (file, bytes, whether a verified load must refuse or answer as before)."""
    names = sorted(pristine)
    file = names[int(rng.integers(len(names)))]
    data = bytearray(pristine[file])
    kind = int(rng.integers(5))
    if kind == 0 and data:  # truncation
        return file, bytes(data[: int(rng.integers(len(data)))]), True
    if kind == 1 and data:  # byte flips, often in the header
        top = len(data) if rng.random() < 0.5 else min(len(data), 200)
        for at in rng.integers(0, top, int(rng.integers(1, 4))):
            data[at] ^= int(rng.integers(1, 256))
        return file, bytes(data), True
    if kind == 2:  # trailing garbage
        return file, bytes(data) + rng.bytes(int(rng.integers(1, 9))), True
    # a manifest edited at a random leaf, its checksum kept stale (kind 3) or made right (kind 4)
    manifest = json.loads(pristine["manifest.json"])
    node, key = manifest, None
    while True:
        keys = list(node) if isinstance(node, dict) else list(range(len(node)))
        if not keys:
            break
        key = keys[int(rng.integers(len(keys)))]
        if not isinstance(node[key], (dict, list)) or rng.random() < 0.2:
            break
        node = node[key]
    values = [None, True, -1, 0, 1, 2**64, 2**31 - 1, 3, 299, 300, 1e308, float("nan"), -0.5]
    values += ["x", "<f4", [], {}, [2**40, 3], [0, 3]]
    if key is not None:
        if rng.random() < 0.15 and isinstance(node, dict):
            del node[key]
        else:
            node[key] = values[int(rng.integers(len(values)))]
    if kind == 4:
        return "manifest.json", _with_crc(manifest), False
    return "manifest.json", json.dumps(manifest).encode(), True


@pytest.mark.fuzz
@pytest.mark.filterwarnings("ignore::SyntaxWarning")
def test_corruption_fuzzer(tmp_path):
    """Mutated copies of a small saved index: each load refuses with ValueError / OSError or gives a search that
    works; a verified load of a corruption the checksums cover answers exactly as the original."""
    search, folder, pristine = _saved(tmp_path)
    rng = np.random.default_rng(21)
    Q = rng.random((8, search.d))
    expected = search.query_knn(Q, 4)
    refused = loaded = 0
    for case in range(100 if os.environ.get("PLOVIK_SANITIZER") else 600):
        file, data, covered = _mutate(rng, pristine)
        (folder / file).write_bytes(data)
        for mmap in (False, True):
            try:
                other = PlovikSearch.load(folder, mmap=mmap, verify=not mmap or covered)
            except (ValueError, OSError):
                refused += 1
                continue
            loaded += 1
            idx, dist = other.query_knn(Q, 4)
            if covered or (not mmap and data == pristine[file]):
                assert np.array_equal(idx, expected[0]) and np.array_equal(dist, expected[1]), (case, file)
            assert ((idx >= -1) & (idx < other.n_points)).all()
            if other.n_candidates < 10_000 and other.d == search.d:
                other.update(rng.random((other.n_candidates, other.d)))
                other.promote(rng.random((3, other.d)))
                other.query_knn(Q, 4)
        (folder / file).write_bytes(pristine[file])
    assert refused and loaded
