"""Saving, loading and pickling a `PlovikSearch`.

`PlovikSearch.save(path)` writes a folder; `PlovikSearch.load(path)` reads it
back into a search that answers exactly as the saved one did and goes on
through further epochs. Pickle, `copy.copy` and `copy.deepcopy` carry the
same content in memory.

Format "plovik-index", version 1 (little-endian throughout)::

    path/
      manifest.json              the commit point: what the index is, which files hold it
      <array>.<generation>.npy   one NumPy .npy file (format 1.0) per array
      .lock                      taken while a save writes into the folder
      .plovik-saves              the journal: {"format": "plovik-index", "generations": [...]},
                                 the generations whose files a save may have written

`manifest.json` holds "format" ("plovik-index"), "version" (1), "checksum"
("crc32c": the CRC-32C, Castagnoli, of each array's data bytes, computed by
`plovik._native.crc32c`), "crc32c" (that of the manifest itself: of its
JSON with this key left out, keys sorted, no spaces), "generation" (16 hex digits naming the array files of this save),
"settings" (the arguments of
`PlovikSearch(...)`: d, recall, k, tables, components, cells, probes,
block, tune, exact, threads, boxsize, monitor, adapt, metric; a save
without "boxsize" has the unit period, null; "boxsize" is a number or a
list of one side per axis; a save without "metric" measures toroidal L1,
"l1"), "backend", "seed" ({"int": n} or
{"generator": name, "state": ...}, the bit generator's state), "tuning"
(the fields of `Tuning`, or null; a save made before its field "grid"
loads as the exact scan's report), "build" (the sample and radius given to
`build`; the queries are the array "build_queries"), "warned", "index"
(null before `build`; else the index's scalars "state_version", b, k, l,
probes, block, d, n_points, n_static and its query counters "stats") and
"arrays": per array its "file", "dtype" (a little-endian NumPy type string),
"shape" and "crc32c". The arrays are those of the raw index's state (see
`plovik._native.STATE_ARRAYS`): the hash parameters "s" and "u", the
coordinates "coords" (float32, every point) and "cand_coords" (float64, the
candidates as last given), per tier ("static", "cand") its ids per table in
key order and its bucket directory, and the retired ids as a bit set. Each
`.npy` header is padded so that the data starts at byte 4096, or for the
coordinates and the static ids when they take 2 MiB or more at byte
2,097,152 (a .npy 2.0 header: `np.load` reads it given
`max_header_size=2**21`): the arrays can be mapped straight from the file,
the large ones in huge pages where the file system's page cache allows.

A search that answers by the exact scan holds no hash table: its "index" is
{"storage": "exact", "d", "n_points", "n_static"} and its arrays are
"coords" (float32, every point wrapped as the raw index stores it) and
"retired" alone; its "tuning" must be an exact report (the scan's, or the
grid's when "grid" is true: the search then answers through a grid of
these points, made again at the first query). A save of such a
search made before it held no table (a raw index of one table) loads into
the table-less form.

A save is atomic: the arrays go to files of a fresh generation, each
flushed to disk, then a new manifest is written beside the old one, flushed,
and renamed over it (`os.replace`, the commit point; the folder is flushed
after it); only then are the files of the previous generation removed. A
crash at any point leaves the old or the new index loadable. Files are
never changed once written, so a process that mapped an earlier save keeps
its pages when the folder is saved again.

A save removes only files it can prove are its own: the names a
generation writes, for the generations named by the folder's manifest or
its journal (written, flushed, before a generation's first file, so the
files of a save killed before its commit are known too; a later save
removes them). It writes into a new or empty folder, or one holding a
manifest or journal of this format; any other folder, or one whose
`manifest.json` is not a saved index's, raises FileExistsError, and
nothing in it is touched. Other files in a saved folder are left alone.

A load trusts nothing in the folder: it opens regular files only (without
blocking, so a FIFO cannot hang it), every manifest field is checked for
type and range, each `.npy` header (magic, version, dtype, byte order,
shape, layout) is checked against the manifest before any data is read,
file sizes must match exactly, the checksums are compared when verifying,
and the raw index checks every invariant it relies on (`_from_state`); a
verified load also recomputes the keys of a sample of each tier's entries
from the stored points (`_check_key_sample`), or, for a search without
tables whose points it maps, checks that they lie in [0, 1] as a full load
does (`check_wrapped`). Nothing is ever unpickled
from a file. A bad folder raises ValueError: a saved folder missing a file
the manifest names (the OS error as its cause), or holding a folder, FIFO
or device in its place, included; a path that does not exist raises
FileNotFoundError, and the file system's own failures (permissions, I/O)
OSError.

Mapped files. Every load maps the array files while it runs (the raw
index copies what it does not keep mapped, once, from the page cache), and
`mmap=True` keeps the coordinates and static ids mapped for the search's
life. The mappings are private, so a program writing into a file in
place changes what the search reads (wrong neighbours at worst: ids are
bounds-checked where read), but a file truncated by another program while
it is mapped ends the process with SIGBUS at the next read of a page past
its new end. `save` never truncates or rewrites a file; nothing here guards
against another program doing so.
"""

from __future__ import annotations

import contextlib
import copy
import dataclasses
import json
import math
import mmap as _mmap
import os
import re
import secrets
import stat
import struct
import sys
import types
import typing
from collections.abc import Callable, Iterator
from concurrent.futures import ThreadPoolExecutor
from dataclasses import dataclass
from typing import Any

import numpy as np

from plovik import _native
from plovik._native import QUERY_COUNTERS, STATE_ARRAYS, STATE_INTS
from plovik.exact import check_wrapped
from plovik.hashing import cell_codes
from plovik.tuning import Tuning

__all__ = ["FORMAT", "VERSION", "SearchState", "load", "save"]

#: Name and version of the folder format.
FORMAT = "plovik-index"
VERSION = 1
MANIFEST = "manifest.json"
#: The lock file, and the save's record of the generations whose files it
#: may have written into the folder (see `save`).
LOCK = ".lock"
JOURNAL = ".plovik-saves"
_JOURNAL_TMP = JOURNAL + ".tmp"
#: Where each array's data starts in its .npy file (a page boundary).
DATA_OFFSET = 4096
#: Where the data of a mapped array of at least this many bytes starts: a
#: huge-page boundary, so that the page cache can map the file in 2 MiB pages
#: (the index's own arrays use them too; 4 KiB pages slow the queries).
HUGE_OFFSET = 1 << 21
#: Arrays mapped by a load with mmap=True (the large ones that only grow).
MAPPED = ("coords", "static_ids")
#: The manifest's "index" and the arrays of a search that holds no table.
EXACT_SCALARS = ("storage", "d", "n_points", "n_static")
EXACT_ARRAYS = {name: STATE_ARRAYS[name] for name in ("coords", "retired")}
#: Arrays of a saved search besides the index's state.
SEARCH_ARRAYS = {"build_queries": (np.float64, 2)}
#: PlovikSearch(...) arguments saved (`PlovikSearch.settings()`), with the JSON type of each.
SETTINGS = {
    "d": int,
    "recall": float,
    "k": int,
    "tables": int | None,
    "components": int | None,
    "cells": int | None,
    "probes": int | None,
    "block": int,
    "tune": bool,
    "exact": bool | str,
    "threads": int | None,
    "boxsize": float | list | None,
    "monitor": bool,
    "adapt": bool,
    "metric": str,
}
#: Settings that saves made before them lack, with the value such a save means.
_LATER_SETTINGS = {"boxsize": None, "monitor": True, "adapt": True, "metric": "l1"}
_MANIFEST_KEYS = {
    "format",
    "version",
    "checksum",
    "crc32c",
    "generation",
    "settings",
    "backend",
    "seed",
    "tuning",
    "build",
    "warned",
    "index",
    "arrays",
}
_ARRAY_KEYS = {"file", "dtype", "shape", "crc32c"}
_GENERATION = re.compile(r"[0-9a-f]{16}\Z")
_BIT_GENERATORS = ("PCG64", "PCG64DXSM", "MT19937", "Philox", "SFC64")
_MAX_MANIFEST = 1 << 26  # bytes: a manifest is a few kilobytes, the weights included
_CHUNK = 1 << 24  # bytes written at a time
_U64 = (1 << 64) - 1


# ------------------------------------------------------------- the content
#
# Pickling, copying and saving carry the same content: a `SearchState`, the
# search's settings and state beside the raw index's state dict.
# `PlovikSearch.state()` takes it (under the search's lock, as copies) and
# `PlovikSearch.from_state` makes a search of it; a pickle holds it as a
# dict (`SearchState.content`).


@dataclass(frozen=True)
class SearchState:
    """What a `PlovikSearch` is made of, besides its lock and what it
    rebuilds on demand (the exact scan, the recall monitor's tallies)."""

    #: The `PlovikSearch(...)` keyword arguments besides seed and backend (`SETTINGS`).
    settings: dict[str, Any]
    #: The seed: an int, or a `numpy.random.Generator`.
    seed: Any
    #: "native" or "reference".
    backend: str
    tuning: Tuning | None
    #: The last build's "queries" (an array or None), "sample" and "radius".
    build: dict[str, Any]
    #: Whether the growth warning was given since the last tuning.
    warned: bool
    #: The raw index's class (None when the search holds none).
    index_class: type | None
    #: The index's state dict (the raw class's `_state()`, or an exact
    #: scan's points); None before the first build.
    index: dict[str, Any] | None

    def content(self) -> dict[str, Any]:
        """The fields as a dict, as a pickle holds them."""
        return {f.name: getattr(self, f.name) for f in dataclasses.fields(self)}

    def copied(self) -> SearchState:
        """The state with the build's queries and a Generator seed copied,
        so that a search made of it shares nothing with the original."""
        queries = self.build["queries"]
        return dataclasses.replace(
            self,
            build={**self.build, "queries": None if queries is None else queries.copy()},
            seed=copy.deepcopy(self.seed) if isinstance(self.seed, np.random.Generator) else self.seed,
        )


def restore(content: dict[str, Any]) -> Any:
    """Unpickles a search pickled by an earlier version, whose pickles name
    this function (`plovik.search.restore` is the target now). Unpickling
    imports this module through the package, which has imported
    `plovik.search` by then: it is looked up rather than imported, so that
    this module depends on no module of the search."""
    return sys.modules["plovik.search"].restore(content)


# ------------------------------------------------------------------ saving


def _npy_header(dtype: np.dtype, shape: tuple[int, ...], offset: int = DATA_OFFSET) -> bytes:
    """A .npy header whose padding puts the data at `offset` (format 1.0, or
    2.0 when the header outgrows 1.0's 16-bit length)."""
    text = f"{{'descr': {dtype.str!r}, 'fortran_order': False, 'shape': {tuple(shape)!r}, }}"
    if offset <= DATA_OFFSET:
        length = offset - 10
        start = np.lib.format.magic(1, 0) + struct.pack("<H", length)
    else:
        length = offset - 12
        start = np.lib.format.magic(2, 0) + struct.pack("<I", length)
    return start + (text.ljust(length - 1) + "\n").encode("latin1")


#: The checksum of the format: its name in the manifest, and the function.
CHECKSUM = "crc32c"
_checksum = _native.crc32c  # lets go of the interpreter lock on large buffers


def _write_array(path: str, arr: np.ndarray, pool: ThreadPoolExecutor, offset: int) -> dict[str, Any]:
    """Writes one array to a new file (not yet flushed to disk); returns its
    manifest entry. The checksum is taken on another thread meanwhile (both
    it and the file's writes let go of the interpreter lock)."""
    arr = np.ascontiguousarray(arr, dtype=arr.dtype.newbyteorder("<"))
    data = memoryview(arr.reshape(-1).view(np.uint8))
    crc = pool.submit(_checksum, data)
    with open(path, "xb") as f:
        f.write(_npy_header(arr.dtype, arr.shape, offset))
        for at in range(0, len(data), _CHUNK):
            f.write(data[at : at + _CHUNK])
    return {"file": os.path.basename(path), "dtype": arr.dtype.str, "shape": list(arr.shape), CHECKSUM: crc.result()}


def _fsync_file(path: str) -> None:
    with open(path, "rb") as f:
        os.fsync(f.fileno())


def _manifest_crc(manifest: dict[str, Any]) -> int:
    body = {key: value for key, value in manifest.items() if key != CHECKSUM}
    return _checksum(json.dumps(body, sort_keys=True, separators=(",", ":")).encode("utf-8"))


def _fsync_dir(folder: str) -> None:
    fd = os.open(folder, os.O_RDONLY | getattr(os, "O_DIRECTORY", 0))
    try:
        os.fsync(fd)
    finally:
        os.close(fd)


@contextlib.contextmanager
def _folder_lock(folder: str) -> Iterator[None]:
    """Holds an exclusive lock on the folder's .lock file: one save at a time."""
    fd = os.open(os.path.join(folder, LOCK), os.O_RDWR | os.O_CREAT, 0o644)
    try:
        try:
            import fcntl
        except ImportError:  # no advisory locks: saves must not overlap
            pass
        else:
            fcntl.flock(fd, fcntl.LOCK_EX)
        yield
    finally:
        os.close(fd)


def _jsonable_seed(seed: Any) -> dict[str, Any]:
    if isinstance(seed, np.random.Generator):
        state = seed.bit_generator.state
        name = state.get("bit_generator")
        if name not in _BIT_GENERATORS:
            raise ValueError(f"a search seeded by a {name} generator cannot be saved")
        return {"generator": name, "state": _jsonable(state)}
    return {"int": int(seed)}


def _jsonable(value: Any) -> Any:
    if isinstance(value, dict):
        return {str(k): _jsonable(v) for k, v in value.items()}
    if isinstance(value, (list, tuple)):
        return [_jsonable(v) for v in value]
    if isinstance(value, np.ndarray):
        return value.tolist()
    if isinstance(value, np.generic):
        return value.item()
    return value


def save(content: SearchState, path: str | os.PathLike[str]) -> None:
    """Writes a search's state into the folder `path` (made if missing), atomically."""
    folder = os.fspath(path)
    state = content.index
    arrays: dict[str, np.ndarray] = {}
    index = None
    if state is not None and state.get("storage") == "exact":
        arrays.update({name: state[name] for name in EXACT_ARRAYS})
        index = {name: state[name] for name in EXACT_SCALARS}
    elif state is not None:
        arrays.update({name: state[name] for name in STATE_ARRAYS})
        index = {
            "state_version": state["version"],
            **{name: state[name] for name in STATE_INTS},
            "stats": {name: int(state["stats"][name]) for name in QUERY_COUNTERS},
        }
    build = content.build
    if build["queries"] is not None:
        arrays["build_queries"] = np.asarray(build["queries"], np.float64)
    tuning = content.tuning
    manifest: dict[str, Any] = {
        "format": FORMAT,
        "version": VERSION,
        "checksum": CHECKSUM,
        CHECKSUM: 0,
        "generation": None,
        "settings": content.settings,
        "backend": content.backend,
        "seed": _jsonable_seed(content.seed),
        "tuning": None if tuning is None else _jsonable(dataclasses.asdict(tuning)),
        "build": {"sample": build["sample"], "radius": build["radius"]},
        "warned": bool(content.warned),
        "index": index,
        "arrays": {},
    }
    os.makedirs(folder, exist_ok=True)
    _own_generations(folder)  # a folder not its own is refused before the lock file is made in it
    with _folder_lock(folder):
        earlier = _own_generations(folder)  # again, now that no other save runs
        generation = secrets.token_hex(8)
        manifest["generation"] = generation
        # the journal names the generation before any of its files exists, so
        # that the files of a save killed before its commit are known as its own
        _write_journal(folder, earlier | {generation})
        written: list[str] = []
        committed = False
        try:
            # every file is written before any is flushed, so that the disk
            # writes back the first ones while the later ones are written
            with ThreadPoolExecutor(1) as pool:
                for name, arr in arrays.items():
                    file = os.path.join(folder, f"{name}.{generation}.npy")
                    written.append(file)
                    huge = name in MAPPED and arr.nbytes >= HUGE_OFFSET
                    manifest["arrays"][name] = _write_array(file, arr, pool, HUGE_OFFSET if huge else DATA_OFFSET)
            for file in written:
                _fsync_file(file)
            tmp = os.path.join(folder, f"manifest.{generation}.tmp")
            written.append(tmp)
            manifest[CHECKSUM] = _manifest_crc(manifest)
            with open(tmp, "x", encoding="utf-8") as f:
                json.dump(manifest, f, indent=1)
                f.flush()
                os.fsync(f.fileno())
            os.replace(tmp, os.path.join(folder, MANIFEST))
            committed = True
        finally:
            if not committed:  # the old manifest still holds: drop what this save wrote
                for file in written:
                    with contextlib.suppress(OSError):
                        os.remove(file)
        _fsync_dir(folder)
        left = set()  # earlier generations (and leftovers of interrupted saves) not yet removed
        for old in earlier - {generation}:
            for file in _generation_files(old):
                try:
                    os.remove(os.path.join(folder, file))
                except FileNotFoundError:
                    pass
                except OSError:
                    left.add(old)
        with contextlib.suppress(OSError):  # the journal still names them all: the next save retries
            _write_journal(folder, left | {generation})


def _generation_files(generation: str) -> list[str]:
    """The names a save of `generation` may write besides the folder's fixed ones."""
    return [f"{name}.{generation}.npy" for name in (*STATE_ARRAYS, *SEARCH_ARRAYS)] + [f"manifest.{generation}.tmp"]


def _write_journal(folder: str, generations: set[str]) -> None:
    """Replaces the journal, flushed to disk with the folder."""
    tmp = os.path.join(folder, _JOURNAL_TMP)
    with contextlib.suppress(FileNotFoundError):
        os.remove(tmp)  # a leftover of a killed save (opened with "x": never a FIFO or a link)
    with open(tmp, "x", encoding="utf-8") as f:
        json.dump({"format": FORMAT, "generations": sorted(generations)}, f)
        f.flush()
        os.fsync(f.fileno())
    os.replace(tmp, os.path.join(folder, JOURNAL))
    _fsync_dir(folder)


def _read_journal(folder: str) -> set[str]:
    with _open_regular(os.path.join(folder, JOURNAL)) as f:
        raw = f.read(_MAX_MANIFEST + 1)
    try:
        journal = json.loads(raw.decode("utf-8"))
    except (ValueError, RecursionError):
        journal = None
    generations = journal.get("generations") if isinstance(journal, dict) else None
    if (
        not isinstance(journal, dict)
        or set(journal) != {"format", "generations"}
        or journal["format"] != FORMAT
        or not isinstance(generations, list)
        or not all(isinstance(g, str) and _GENERATION.match(g) for g in generations)
    ):
        raise _bad(f"{JOURNAL} is not a save's journal")
    return set(generations)


def _own_generations(folder: str) -> set[str]:
    """The generations whose files a save into `folder` may remove: its
    manifest's and those its journal names. A folder that holds anything
    besides the lock and a journal's leftover temporary file must hold a
    manifest or journal of this format, and no other manifest: else
    FileExistsError, and nothing in it is touched."""
    names = set(os.listdir(folder)) - {LOCK, _JOURNAL_TMP}
    generations: set[str] = set()
    for name, read in ((JOURNAL, _read_journal), (MANIFEST, lambda f: {_manifest_head(f)["generation"]})):
        if name in names:
            try:
                generations |= read(folder)
            except ValueError as e:
                why = str(e).removeprefix(str(_bad("")))
                raise FileExistsError(
                    f"{folder!r} holds a {name} that PlovikSearch.save did not write ({why}); "
                    "it saves only into a new or empty folder, or one it saved into"
                ) from e
    if names and not names & {JOURNAL, MANIFEST}:
        found = ", ".join(repr(n) for n in sorted(names)[:3]) + (", ..." if len(names) > 3 else "")
        raise FileExistsError(
            f"{folder!r} is not empty and holds no saved index ({found}); PlovikSearch.save "
            "saves only into a new or empty folder, or one it saved into"
        )
    return generations


# ------------------------------------------------------------------ loading


def _bad(what: str) -> ValueError:
    return ValueError(f"not a loadable saved index: {what}")


def _get(obj: Any, key: str, kind: Any, where: str) -> Any:
    """obj[key] of the JSON type `kind` (int, float, bool, str, dict, list, None, or a union)."""
    if not isinstance(obj, dict) or key not in obj:
        raise _bad(f"{where} has no {key!r}")
    return _typed(obj[key], kind, f"{where}[{key!r}]")


def _typed(value: Any, kind: Any, where: str) -> Any:
    kinds = getattr(kind, "__args__", (kind,))
    for k in kinds:
        if k is type(None) or k is None:
            if value is None:
                return value
        elif k is float:
            if isinstance(value, (int, float)) and not isinstance(value, bool):
                return float(value)
        elif k is int:
            if isinstance(value, int) and not isinstance(value, bool):
                return value
        elif isinstance(value, k):
            return value
    raise _bad(
        f"{where} must be {' or '.join(getattr(k, '__name__', 'null') for k in kinds)}, got {type(value).__name__}"
    )


def _open_regular(path: str) -> Any:
    """`path` opened for reading, if it is a regular file (ValueError for a
    folder, FIFO, device or socket). The open does not block: a FIFO with no
    writer would otherwise hang it, and a device is refused before it is read."""
    nonblocking = getattr(os, "O_NONBLOCK", 0)
    fd = os.open(path, os.O_RDONLY | nonblocking | getattr(os, "O_NOCTTY", 0))
    try:
        mode = os.fstat(fd).st_mode
        if not stat.S_ISREG(mode):
            kind = "a folder" if stat.S_ISDIR(mode) else "not a regular file"
            raise _bad(f"{os.path.basename(path)} is {kind}")
        if nonblocking:
            os.set_blocking(fd, True)
        return os.fdopen(fd, "rb")
    except BaseException:
        os.close(fd)
        raise


def _manifest_head(folder: str) -> dict[str, Any]:
    """The folder's manifest as far as saves tell their own: a JSON object of
    this format and version with a generation (what `save` checks before it
    writes into a folder, whatever other fields a version adds)."""
    if not stat.S_ISDIR(os.stat(folder).st_mode):  # FileNotFoundError for a path that does not exist
        raise _bad(f"{folder!r} is a file, not a folder written by PlovikSearch.save")
    try:
        f = _open_regular(os.path.join(folder, MANIFEST))
    except FileNotFoundError as e:
        raise _bad(f"{folder!r} holds no {MANIFEST}") from e
    with f:
        raw = f.read(_MAX_MANIFEST + 1)
    if len(raw) > _MAX_MANIFEST:
        raise _bad(f"{MANIFEST} is larger than {_MAX_MANIFEST} bytes")
    try:
        manifest = json.loads(raw.decode("utf-8"))
    except (ValueError, RecursionError) as e:  # UnicodeDecodeError and JSONDecodeError are ValueErrors
        raise _bad(f"{MANIFEST} is not valid JSON ({type(e).__name__}: {e})") from None
    if not isinstance(manifest, dict):
        raise _bad(f"{MANIFEST} must hold an object")
    if manifest.get("format") != FORMAT:
        raise _bad(f"{MANIFEST} is not of the format {FORMAT!r}")
    version = _get(manifest, "version", int, MANIFEST)
    if version != VERSION:
        raise _bad(f"format version {version} is not supported (this version reads {VERSION})")
    if not _GENERATION.match(_get(manifest, "generation", str, MANIFEST)):
        raise _bad("the generation must be 16 hex digits")
    return manifest


def _read_manifest(folder: str, verify: bool) -> dict[str, Any]:
    manifest = _manifest_head(folder)
    checksum = _get(manifest, "checksum", str, MANIFEST)
    if checksum != CHECKSUM:
        raise _bad(f"the checksum {checksum!r} is not supported (this version reads {CHECKSUM!r} only)")
    if set(manifest) != _MANIFEST_KEYS:
        raise _bad(f"{MANIFEST} must hold exactly the keys {sorted(_MANIFEST_KEYS)}")
    crc = _get(manifest, CHECKSUM, int, MANIFEST)
    if verify and crc != _manifest_crc(manifest):
        raise _bad(f"{MANIFEST} fails its checksum")
    return manifest


def _settings(manifest: dict[str, Any]) -> dict[str, Any]:
    settings = _get(manifest, "settings", dict, MANIFEST)
    settings = {**{name: value for name, value in _LATER_SETTINGS.items() if name not in settings}, **settings}
    if set(settings) != set(SETTINGS):
        raise _bad(f"settings must hold exactly {sorted(SETTINGS)}")
    out = {name: _get(settings, name, kind, "settings") for name, kind in SETTINGS.items()}
    box = out["boxsize"]
    sides = box if isinstance(box, list) else [] if box is None else [box]
    if isinstance(box, list) and not (
        box and all(isinstance(v, (int, float)) and not isinstance(v, bool) for v in box)
    ):
        raise _bad(f"settings['boxsize'] must be a number or a list of numbers, got {box}")
    if not all(math.isfinite(v) and v > 0 for v in sides):
        raise _bad(f"settings['boxsize'] must be finite and positive, got {box}")
    if isinstance(box, list):
        out["boxsize"] = tuple(float(v) for v in box)
    if out["metric"] not in ("l1", "euclidean"):
        raise _bad(f'settings[\'metric\'] must be "l1" or "euclidean", got {out["metric"]!r}')
    return out


def _seed(manifest: dict[str, Any]) -> int | np.random.Generator:
    seed = _get(manifest, "seed", dict, MANIFEST)
    if set(seed) == {"int"}:
        value = _get(seed, "int", int, "seed")
        if value < 0:
            raise _bad("the seed must not be negative")
        return int(value)
    if set(seed) != {"generator", "state"} or seed["generator"] not in _BIT_GENERATORS:
        raise _bad(f"seed must be {{'int': n}} or {{'generator': one of {_BIT_GENERATORS}, 'state': ...}}")
    state = _get(seed, "state", dict, "seed")
    if seed["generator"] == "MT19937":
        inner = _get(state, "state", dict, "seed state")
        key = _get(inner, "key", list, "seed state")
        if len(key) != 624 or not all(isinstance(v, int) and 0 <= v < 1 << 32 for v in key):
            raise _bad("an MT19937 seed's key must be 624 32-bit integers")
        state = {**state, "state": {**inner, "key": np.array(key, np.uint32)}}
    bit_generator = getattr(np.random, seed["generator"])()
    try:
        bit_generator.state = state
    except (TypeError, ValueError, KeyError, OverflowError) as e:
        raise _bad(f"the seed generator's state is refused ({e})") from None
    return np.random.Generator(bit_generator)


#: Fields of `Tuning` that saves made before them lack: such a save loads
#: with their defaults (`grid` False: an exact report is the exact scan's).
_TUNING_ADDED = ("grid",)


def _tuning(manifest: dict[str, Any]) -> Tuning | None:
    report = manifest["tuning"]
    if report is None:
        return None
    report = _typed(report, dict, "tuning")
    names = [f.name for f in dataclasses.fields(Tuning)]
    if set(report) != set(names) and set(report) != set(names) - set(_TUNING_ADDED):
        raise _bad(f"tuning must hold exactly the fields {sorted(names)}")
    kinds = typing.get_type_hints(Tuning)
    return Tuning(**{name: _field(report[name], kinds[name], f"tuning[{name!r}]") for name in names if name in report})


def _field(value: Any, kind: Any, where: str) -> Any:
    """A JSON value as a field of the type `kind`: null for an optional one;
    a tuple of floats from a list (of the tuple's length, unless it is
    `tuple[float, ...]`); otherwise a value of that JSON type."""
    options = typing.get_args(kind) if isinstance(kind, types.UnionType) else (kind,)
    if type(None) in options:
        if value is None:
            return None
        (kind,) = (option for option in options if option is not type(None))
    if typing.get_origin(kind) is tuple:
        items = typing.get_args(kind)
        value = _typed(value, list, where)
        if items[-1] is not Ellipsis and len(value) != len(items):
            raise _bad(f"{where} must hold {len(items)} numbers")
        return tuple(_typed(v, float, where) for v in value)
    return _typed(value, kind, where)


def _index_scalars(manifest: dict[str, Any]) -> dict[str, Any] | None:
    index = manifest["index"]
    if index is None:
        return None
    index = _typed(index, dict, "index")
    if "storage" in index:
        if set(index) != set(EXACT_SCALARS) or index["storage"] != "exact":
            raise _bad(f'index must hold exactly {list(EXACT_SCALARS)}, with storage "exact"')
        out = {"storage": "exact", **{name: _get(index, name, int, "index") for name in EXACT_SCALARS[1:]}}
        if not all(0 <= out[name] <= _U64 for name in EXACT_SCALARS[1:]):
            raise _bad("index holds a size out of range")
        return out
    names = ("state_version", *STATE_INTS, "stats")
    if set(index) != set(names):
        raise _bad(f"index must hold exactly {list(names)}")
    out = {name: _get(index, name, int, "index") for name in ("state_version", *STATE_INTS)}
    for name, value in out.items():
        if not (-(1 << 63) if name == "b" else 0) <= value <= _U64:
            raise _bad(f"index[{name!r}] is out of range: {value}")
    stats = _get(index, "stats", dict, "index")
    if set(stats) != set(QUERY_COUNTERS):
        raise _bad(f"index['stats'] must hold exactly the counters {list(QUERY_COUNTERS)}")
    out["stats"] = {name: _get(stats, name, int, "index['stats']") for name in QUERY_COUNTERS}
    if not all(0 <= v <= _U64 for v in out["stats"].values()):
        raise _bad("index['stats'] holds a counter out of range")
    return out


# The header NumPy writes (and `_npy_header`): a dict of exactly these keys
# in this order, then spaces and a newline. Parsed by this pattern instead
# of NumPy's reader, which evaluates the text as a Python literal.
_NPY_HEADER = re.compile(
    r"\{'descr': '([<>|=][a-zA-Z][0-9]*)', 'fortran_order': False, 'shape': \(([0-9]+,|[0-9]+(?:, [0-9]+)+|)\), \}"
    r" *\n\Z"
)


def _npy_header_of(f: Any, file: str) -> tuple[int, tuple[int, ...], str]:
    """(data offset, shape, dtype string) of an open .npy file of version 1.0 or 2.0."""
    start = f.read(12)
    if len(start) < 10 or start[:6] != b"\x93NUMPY":
        raise _bad(f"{file} is not a .npy file")
    if start[6:8] == b"\x01\x00":
        length, at = struct.unpack("<H", start[8:10])[0], 10
    elif start[6:8] == b"\x02\x00" and len(start) == 12:
        length, at = struct.unpack("<I", start[8:12])[0], 12
    else:
        raise _bad(f"{file} is a .npy file of a version not read (only 1.0 and 2.0)")
    if length > HUGE_OFFSET:
        raise _bad(f"{file} has a header of {length} bytes")
    f.seek(at)
    text = f.read(length)
    match = _NPY_HEADER.match(text.decode("latin1")) if len(text) == length else None
    if match is None:
        raise _bad(f"{file} has no valid .npy header (a C-ordered array of known dtype and shape)")
    shape = tuple(int(v) for v in match.group(2).replace(",", " ").split())
    return at + length, shape, match.group(1)


class _ArrayFile:
    """One array's .npy file, opened and its header checked against the manifest."""

    def __init__(self, folder: str, name: str, entry: Any, dtype: Any, ndim: int, generation: str) -> None:
        where = f"arrays[{name!r}]"
        entry = _typed(entry, dict, where)
        if set(entry) != _ARRAY_KEYS:
            raise _bad(f"{where} must hold exactly {sorted(_ARRAY_KEYS)}")
        file = _get(entry, "file", str, where)
        if file != f"{name}.{generation}.npy":
            raise _bad(f"{where} names the file {file!r}, not {name}.{generation}.npy")
        self.dtype = np.dtype(dtype).newbyteorder("<")
        if _get(entry, "dtype", str, where) != self.dtype.str:
            raise _bad(f"{where} has dtype {entry['dtype']!r}, not {self.dtype.str!r}")
        shape = _get(entry, "shape", list, where)
        if len(shape) != ndim or not all(isinstance(v, int) and not isinstance(v, bool) and v >= 0 for v in shape):
            raise _bad(f"{where} must have a shape of {ndim} non-negative integers, got {shape}")
        self.shape = tuple(shape)
        self.crc = _get(entry, CHECKSUM, int, where)
        if not 0 <= self.crc < 1 << 32:
            raise _bad(f"{where} has a {CHECKSUM} out of range")
        self.name, self.path = name, os.path.join(folder, file)
        self.nbytes = math.prod(self.shape) * self.dtype.itemsize
        self.file = _open_regular(self.path)  # closed by close(), after the load
        try:
            self.offset, shape, got = _npy_header_of(self.file, file)
            size = os.fstat(self.file.fileno()).st_size
            if got != self.dtype.str:
                raise _bad(f"{file} holds dtype {got!r}, not {self.dtype.str!r}")
            if shape != self.shape:
                raise _bad(f"{file} has shape {shape}, the manifest says {self.shape}")
            if size != self.offset + self.nbytes:
                raise _bad(f"{file} holds {size} bytes, not the {self.offset + self.nbytes} of its header and data")
        except BaseException:
            self.file.close()
            raise

    def close(self) -> None:
        self.file.close()

    def read(self, verify: bool) -> np.ndarray:
        arr = np.empty(self.shape, self.dtype)
        view = memoryview(arr.reshape(-1).view(np.uint8))
        self.file.seek(self.offset)
        at = 0
        while at < self.nbytes:
            got = self.file.readinto(view[at:])
            if not got:
                raise _bad(f"{os.path.basename(self.path)} ended early (changed while read)")
            at += got
        if verify:
            self.check(view)
        return arr.astype(arr.dtype.newbyteorder("="), copy=False)

    def map(self, verify: bool) -> np.ndarray:
        if self.nbytes == 0 or sys.byteorder != "little":
            return self.read(verify)
        arr = np.memmap(self.file, self.dtype, "r", self.offset, self.shape)
        if verify:
            self.check(memoryview(arr.reshape(-1).view(np.uint8)))
        return arr

    def check(self, data: memoryview) -> None:
        crc = _checksum(data)
        if crc != self.crc:
            raise _bad(f"{os.path.basename(self.path)} fails its checksum ({CHECKSUM} {crc:08x}, saved {self.crc:08x})")


def load(
    path: str | os.PathLike[str],
    assemble: Callable[[SearchState, dict[str, Any] | None], Any],
    mmap: bool = False,
    verify: bool | None = None,
    backend: str | None = None,
) -> Any:
    """Reads a search saved by `save`; see `PlovikSearch.load`. `assemble(state,
    files)` makes the search (`PlovikSearch.from_state`), `files` naming the
    files to map into the index (or None)."""
    folder = os.fspath(path)
    if not isinstance(mmap, bool) or not (verify is None or isinstance(verify, bool)):
        raise TypeError("mmap and verify must be bools (verify may be None)")
    verify = not mmap if verify is None else verify
    for attempt in range(3):
        manifest = _read_manifest(folder, verify)
        try:
            return _load(folder, manifest, assemble, mmap, verify, backend)
        except FileNotFoundError as e:
            # a save that committed after the manifest was read removes the
            # files it named: read the new manifest
            if attempt == 2 or _read_manifest(folder, False)["generation"] == manifest["generation"]:
                raise _bad(f"{os.path.basename(e.filename or '')} is missing") from e
    raise AssertionError("unreachable")


def _load(
    folder: str,
    manifest: dict[str, Any],
    assemble: Callable[[SearchState, dict[str, Any] | None], Any],
    mmap: bool,
    verify: bool,
    backend: str | None,
) -> Any:
    settings = _settings(manifest)
    saved_backend = _get(manifest, "backend", str, MANIFEST)
    if saved_backend not in ("native", "reference"):
        raise _bad(f"backend {saved_backend!r} is unknown")
    seed = _seed(manifest)
    tuning = _tuning(manifest)
    build = _get(manifest, "build", dict, MANIFEST)
    if set(build) != {"sample", "radius"}:
        raise _bad("build must hold exactly 'sample' and 'radius'")
    sample = _get(build, "sample", int | None, "build")
    radius = _get(build, "radius", float | None, "build")
    warned = _get(manifest, "warned", bool, MANIFEST)
    scalars = _index_scalars(manifest)
    entries = _get(manifest, "arrays", dict, MANIFEST)
    exact = scalars is not None and scalars.get("storage") == "exact"
    expected = {
        **(EXACT_ARRAYS if exact else STATE_ARRAYS if scalars is not None else {}),
        **({"build_queries": SEARCH_ARRAYS["build_queries"]} if "build_queries" in entries else {}),
    }
    if set(entries) != set(expected):
        raise _bad(f"arrays must be exactly {sorted(expected)}")
    generation = manifest["generation"]
    with contextlib.ExitStack() as files_open:
        opened = {}
        for name, (dtype, ndim) in expected.items():
            opened[name] = _ArrayFile(folder, name, entries[name], dtype, ndim, generation)
            files_open.callback(opened[name].close)
        state, files, queries = _read_arrays(opened, scalars, mmap, verify)

    content = SearchState(
        settings=settings,
        seed=seed,
        backend=backend or saved_backend,
        tuning=tuning,
        build={"queries": queries, "sample": sample, "radius": radius},
        warned=warned,
        index_class=None,
        index=state,
    )
    try:
        search = assemble(content, files)
    except (TypeError, ValueError) as e:  # a setting the checks above let through, a state refused
        raise _bad(str(e)) from e
    if verify and state is not None and not exact:
        _check_key_sample(state)
    elif verify and state is not None and files:
        # a mapped store's points, read for their checksums: their values checked too, as a full load checks them
        try:
            check_wrapped(state["coords"])
        except ValueError as e:
            raise _bad(str(e)) from e
    return search


#: Table entries per tier whose keys a verified load recomputes.
KEY_SAMPLE = 4096
#: How far a static point's input may lie from its stored single-precision
#: coordinate, in the hash's arithmetic (rounding to float32, 2**-25, plus
#: the double-precision sum of an input of up to about 2**32 and its offset).
_STATIC_SLACK = 2.0**-20


def _check_key_sample(state: dict[str, Any]) -> None:
    """Refuses tables that do not belong to their hash settings.

    The keys of up to `KEY_SAMPLE` entries per tier, spread over its tables,
    are recomputed from the stored points: an edited `b` (its checksum made
    right) leaves every array intact but the tables answering for other
    cells. The candidates are stored as given, so their keys must match
    exactly. The static tier keeps its points wrapped in single precision
    while their keys came from the double-precision input, so each of a
    key's cells may be any that a coordinate within `_STATIC_SLACK` of the
    stored one falls into; as an input far outside [0, 1) (beyond about
    10**12) keeps little of its position, one in eight of those entries
    may disagree before the tier is refused.
    """
    if state["d"] == 0:
        return
    b, K, L = state["b"], state["k"], state["l"]
    s, u = state["s"].reshape(L, K), state["u"].reshape(L, K)
    for tier, coords, slack, allowed in (
        ("static", state["coords"], _STATIC_SLACK, 1 / 8),
        ("cand", state["cand_coords"], 0.0, 0.0),
    ):
        ids = state[tier + "_ids"]
        if ids.size == 0:
            continue
        count = min(ids.size, KEY_SAMPLE)
        picks = np.arange(count, dtype=np.int64) * ids.size // count  # ascending, spread over every table
        t, p = np.divmod(picks, ids.shape[1])
        first = state[tier + "_first_bucket"].astype(np.int64)
        starts, bucket_keys = state[tier + "_bucket_starts"], state[tier + "_bucket_keys"]
        keys = np.empty(picks.size, np.int64)
        bounds = np.searchsorted(t, np.arange(L + 1))
        for table in range(L):
            at = slice(bounds[table], bounds[table + 1])
            run = starts[first[table] + table : first[table + 1] + table + 1]
            keys[at] = bucket_keys[first[table] + np.searchsorted(run, p[at].astype(run.dtype), "right") - 1]
        points = np.asarray(coords[ids[t, p].astype(np.int64)], np.float64)
        wrong = np.zeros(picks.size, bool)
        radix = 1
        for j in range(K):
            x = points[np.arange(picks.size), s[t, j]]
            low, high = (cell_codes(x + shift + u[t, j], b) for shift in (-slack, slack))
            digit = keys // radix % b
            wrong |= (digit - low) % b > (high - low) % b
            radix *= b
        if np.count_nonzero(wrong) > allowed * picks.size:
            raise _bad(
                f"the {tier} tier's tables do not belong to the saved hash settings (b = {b}, k = {K}): "
                f"{np.count_nonzero(wrong)} of {picks.size} keys recomputed from the points differ"
            )


def _read_arrays(
    opened: dict[str, _ArrayFile], scalars: dict[str, Any] | None, mmap: bool, verify: bool
) -> tuple[dict[str, Any] | None, dict[str, tuple[str, int]] | None, np.ndarray | None]:
    """The index's state (None before build), the files mapped into it, the build's queries."""
    state = files = None
    if scalars is not None and scalars.get("storage") == "exact":
        # The points mapped (mmap: for the search's life, copied when changed) or read.
        state = {
            **scalars,
            "coords": opened["coords"].map(verify) if mmap else opened["coords"].read(verify),
            "retired": opened["retired"].read(verify),
        }
        files = {"coords": (opened["coords"].path, opened["coords"].offset)} if mmap else None
    elif scalars is not None:
        state = {"version": scalars["state_version"], **{n: scalars[n] for n in STATE_INTS}, "stats": scalars["stats"]}
        for name in STATE_ARRAYS:
            a = opened[name]
            # Every array is mapped for the load: the raw index keeps the
            # mappings of the `files` it is given and copies the rest once,
            # straight from the page cache (reading each into a buffer first
            # would copy it twice).
            state[name] = a.map(verify)
            mapped = mmap and name in MAPPED and isinstance(state[name], np.memmap)
            if mapped and a.offset % _mmap.ALLOCATIONGRANULARITY == 0:
                files = {**(files or {}), name: (a.path, a.offset)}
    queries = opened["build_queries"].read(verify) if "build_queries" in opened else None
    return state, files, queries
