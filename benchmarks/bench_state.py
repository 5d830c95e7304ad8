"""The native index's state on the shared scenario: `_state()` (a copy of
everything the index holds), `_from_state(state)` (every invariant checked,
then copied in), `_from_state(state, files)` with coordinates and static ids
mapped from .npy files (not read at load), and pickle round trips, against
a fresh `build` of the same points. The contenders take turns; the fastest
of the runs (wall and CPU seconds of the process) is reported. Then the
batched k-nearest queries (one worker, CPU seconds) of the built index
against mapped loads whose data start 4 KiB and 2 MiB into their files:
only the latter lets the file's pages be mapped as huge pages."""

import argparse
import os
import pickle
import tempfile
import time

import numpy as np
from common import KNN, N_STATIC, N, machine, params, points, queries

from plovik import RustLshIndex
from plovik._native import _set_thread_limit


def write_npy(path, arr):
    """arr as a .npy file with its header padded to 4096 bytes (data on a page)."""
    header = repr(np.lib.format.header_data_from_array_1_0(arr)).encode("latin1")
    magic = np.lib.format.magic(1, 0)
    header += b" " * (4096 - len(magic) - 2 - len(header) - 1) + b"\n"
    with open(path, "wb") as f:
        f.write(magic + len(header).to_bytes(2, "little") + header)
        arr.tofile(f)
    return 4096


def write_raw(path, arr, offset):
    """arr's bytes in a file from `offset` on; a read-only memmap of them."""
    with open(path, "wb") as f:
        f.truncate(offset)
        f.seek(offset)
        arr.tofile(f)
    return np.memmap(path, arr.dtype, "r", offset=offset, shape=arr.shape)


def timed(fn):
    w, c = time.perf_counter(), time.process_time()
    out = fn()
    return out, time.perf_counter() - w, time.process_time() - c


def main():
    ap = argparse.ArgumentParser(description=__doc__)
    ap.add_argument("--repeats", type=int, default=5)
    ap.add_argument("--n", type=int, default=N)
    ap.add_argument("--queries", type=int, default=2000)
    args = ap.parse_args()
    n, n_static = args.n, args.n * N_STATIC // N
    pts, p = points(n), params()
    index = RustLshIndex(**p)
    index.build(pts, n_static)
    state = index._state()
    folder = tempfile.mkdtemp(prefix="plovik-state-")
    files = {}
    mapped_state = dict(state)
    for name in ("coords", "static_ids"):
        path = os.path.join(folder, name + ".npy")
        files[name] = (path, write_npy(path, np.ascontiguousarray(state[name])))
        mapped_state[name] = np.load(path, mmap_mode="r")

    runs = {
        "build (new index)": lambda: RustLshIndex(**p).build(pts, n_static),
        "_state()": index._state,
        "_from_state(state)": lambda: RustLshIndex._from_state(state),
        "_from_state(state, files): mapped": lambda: RustLshIndex._from_state(mapped_state, files),
        "pickle.dumps (protocol 5)": lambda: pickle.dumps(index, protocol=5),
    }
    blob = pickle.dumps(index, protocol=5)
    runs["pickle.loads"] = lambda: pickle.loads(blob)
    best = {name: (float("inf"), float("inf")) for name in runs}
    for _ in range(args.repeats):
        for name, fn in runs.items():
            out, wall, cpu = timed(fn)
            del out
            best[name] = (min(best[name][0], wall), min(best[name][1], cpu))
    mb = sum(v.nbytes for v in state.values() if isinstance(v, np.ndarray)) / 1e6
    print(
        f"{machine()}; n = {n:,}, d = {pts.shape[1]}, L = {p['l']}, K = {p['k']}, b = {p['b']}; "
        f"state {mb:,.0f} MB; fastest of {args.repeats} turns"
    )
    build = best["build (new index)"][0]
    print("| operation | wall s | CPU s | wall / build |\n|---|---:|---:|---:|")
    for name, (wall, cpu) in best.items():
        print(f"| {name} | {wall:.4f} | {cpu:.4f} | {wall / build:.3f} |")

    # Queries once the pages are resident, one worker, CPU seconds.
    huge_state, huge_files = dict(state), {}
    for name in ("coords", "static_ids"):
        path = os.path.join(folder, name + ".2m")
        huge_state[name] = write_raw(path, np.ascontiguousarray(state[name]), 1 << 21)
        huge_files[name] = (path, 1 << 21)
    del runs
    blob = None  # frees the pickle (rebound, not deleted: a lambda above names it)
    os.sync()  # no write-back of the files while the queries run
    contenders = {
        "built": index,
        "loaded (copied)": RustLshIndex._from_state(state),
        "mapped, data at 4 KiB": RustLshIndex._from_state(mapped_state, files),
        "mapped, data at 2 MiB": RustLshIndex._from_state(huge_state, huge_files),
    }
    Q = queries(args.queries)
    _set_thread_limit(1)
    for ix in contenders.values():
        ix.query_knn(Q, KNN)
    fastest = {name: float("inf") for name in contenders}
    for turn in range(args.repeats):
        for name, ix in list(contenders.items())[:: 1 if turn % 2 else -1]:
            fastest[name] = min(fastest[name], timed(lambda ix=ix: ix.query_knn(Q, KNN))[2])
    print(f"\n| batched k-nearest, {args.queries:,} queries, one worker | CPU s | / built |\n|---|---:|---:|")
    for name, cpu in fastest.items():
        print(f"| {name} | {cpu:.4f} | {cpu / fastest['built']:.3f} |")
    del contenders, huge_state
    mapped_state = None  # drops the mappings (rebound, not deleted: a lambda above names it)
    for path, _ in (*files.values(), *huge_files.values()):
        os.unlink(path)
    os.rmdir(folder)


if __name__ == "__main__":
    main()
