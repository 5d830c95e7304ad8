"""Save and load of a PlovikSearch on the shared scenario (n = 1,000,000,
d = 16, the scenario's hash): save seconds and MB/s, a verified load (every
array's CRC-32C compared) and a load without checksums against a build, a
mapped load, queries/s of the saved search against the mapped one once its
pages are resident, and the checksum's own speed beside zlib's CRC-32.

Build, save and the loads take turns, each kept at its best of the runs
(wall and CPU seconds of this process). The folder is written under --dir
(default: the current directory), so the disk is that of the working
directory; the page cache holds the files after the first save, so loads
read memory, not the disk.
"""

import argparse
import os
import shutil
import statistics
import sys
import tempfile
import time
import zlib

import numpy as np
from common import KNN, N_STATIC, PROBES, SEED, B, D, K, L, machine, points, queries

from plovik import PlovikSearch, _native


def has_sse42():
    """Whether this processor has SSE4.2 (Linux's processor flags), and so
    _native.crc32c takes the crc32 instruction."""
    try:
        with open("/proc/cpuinfo") as f:
            return any(line.startswith("flags") and " sse4_2" in line for line in f)
    except OSError:
        return None


def timed(fn):
    w, c = time.perf_counter(), time.process_time()
    out = fn()
    return out, time.perf_counter() - w, time.process_time() - c


def folder_bytes(path):
    return sum(os.path.getsize(os.path.join(path, f)) for f in os.listdir(path))


def qps(search, Q, repeats):
    best = min(timed(lambda: search.query_knn(Q, KNN))[1] for _ in range(repeats))
    return Q.shape[0] / best


def cpu_qps(search, Q):
    """Queries per CPU second on one thread."""
    best = min(timed(lambda: search.query_knn(Q, KNN, threads=1))[2] for _ in range(2))
    return Q.shape[0] / best


def main():
    ap = argparse.ArgumentParser(description=__doc__)
    ap.add_argument("--repeats", type=int, default=3)
    ap.add_argument("--queries", type=int, default=10_000)
    ap.add_argument("--dir", default=".")
    ap.add_argument("--backend", default="native")
    args = ap.parse_args()

    pts = points()
    settings = dict(tables=L, components=K, cells=B, probes=PROBES, seed=SEED, backend=args.backend)
    work = tempfile.mkdtemp(prefix="plovik-persist-", dir=args.dir)
    path = os.path.join(work, "index")
    times = {name: [] for name in ("build", "save", "load verified", "load unverified", "load mmap")}
    cpu = {name: [] for name in times}
    try:
        search = None
        for _ in range(args.repeats):
            search = None  # the previous one is freed outside the timed call
            fresh = PlovikSearch(D, **settings)
            _, w, c = timed(lambda fresh=fresh: fresh.build(pts, N_STATIC))
            times["build"].append(w), cpu["build"].append(c)
            search = fresh
            _, w, c = timed(lambda search=search: search.save(path))
            times["save"].append(w), cpu["save"].append(c)
            for name, kwargs in (
                ("load verified", {}),
                ("load unverified", {"verify": False}),
                ("load mmap", {"mmap": True}),
            ):
                loaded, w, c = timed(lambda kwargs=kwargs: PlovikSearch.load(path, **kwargs))
                times[name].append(w), cpu[name].append(c)
                del loaded
        size = folder_bytes(path)
        # the disk's own speed: as many bytes written to one file and flushed
        blob = np.random.default_rng(1).bytes(size)
        raw_path = os.path.join(work, "raw")
        disk = []
        for _ in range(args.repeats):

            def write():
                with open(raw_path, "wb") as f:
                    f.write(blob)
                    f.flush()
                    os.fsync(f.fileno())

            disk.append(timed(write)[1])
            os.remove(raw_path)
        blob = None  # frees the memory; write() is not called again
        crc_data = np.random.default_rng(0).bytes(256 << 20)
        crc_s = min(timed(lambda: _native.crc32c(crc_data))[1] for _ in range(args.repeats))
        zlib_s = min(timed(lambda: zlib.crc32(crc_data))[1] for _ in range(args.repeats))
        crc_data = None  # frees the memory

        Q = queries(args.queries)
        mapped = PlovikSearch.load(path, mmap=True)
        # all threads, and one thread (CPU time moves less with the load)
        before, after, before_1, after_1 = [], [], [], []
        mapped.query_knn(Q, KNN)  # brings the mapped pages in
        search.query_knn(Q, KNN)
        for _ in range(args.repeats):
            before.append(qps(search, Q, 2))
            after.append(qps(mapped, Q, 2))
            before_1.append(cpu_qps(search, Q[:2000]))
            after_1.append(cpu_qps(mapped, Q[:2000]))
        same = all(
            np.array_equal(a, b)
            for a, b in zip(search.query_knn(Q[:500], KNN), mapped.query_knn(Q[:500], KNN), strict=True)
        )
        backend = mapped.backend
        del mapped
        # the same points all static: what a mapped load reads is then the hash
        # parameters and the bucket directories alone
        search.promote()
        search.save(path)
        static_mmap = min(timed(lambda: PlovikSearch.load(path, mmap=True))[1] for _ in range(args.repeats))
    finally:
        shutil.rmtree(work, ignore_errors=True)

    best = {name: min(v) for name, v in times.items()}
    best_cpu = {name: min(v) for name, v in cpu.items()}
    print(
        f"machine: {machine()}; backend {backend}; {args.repeats} turns, best of each; folder under "
        f"{os.path.abspath(args.dir)}"
    )
    print(
        f"scenario: n = {len(pts):,}, d = {D}, {N_STATIC:,} static, b = {B}, K = {K}, L = {L}, probes = {PROBES}; "
        f"saved folder {size / 1e6:,.1f} MB"
    )
    crc_path = {True: "crc32 instruction", False: "tables", None: "path unknown"}[has_sse42()]
    print(
        f"the checksum alone (256 MiB, best of {args.repeats}): crc32c {256 * 1.048576 / crc_s:,.0f} MB/s "
        f"({crc_path}); zlib.crc32 {256 * 1.048576 / zlib_s:,.0f} MB/s"
    )
    print(f"{'':18}{'wall s':>9}{'cpu s':>9}{'vs build':>10}")
    for name in times:
        ratio = best["build"] / best[name]
        print(f"{name:18}{best[name]:9.3f}{best_cpu[name]:9.3f}{ratio:9.1f}x")
    print(
        f"save: {size / 1e6 / best['save']:,.0f} MB/s (wall, fsync included; median "
        f"{statistics.median(times['save']):.3f} s); one file of as many bytes written and flushed: "
        f"{size / 1e6 / min(disk):,.0f} MB/s"
    )
    print(
        f"load mmap: {best['load mmap'] * 1e3:.1f} ms ({N_STATIC:,} static); all {len(pts):,} static: "
        f"{static_mmap * 1e3:.1f} ms"
    )
    print(
        f"queries/s, k = {KNN}, {args.queries:,} queries, all threads: saved search {max(before):,.0f}, "
        f"mapped load {max(after):,.0f} ({max(after) / max(before) - 1:+.1%}); rows equal: {same}"
    )
    print(
        f"queries per CPU second, one thread: saved search {max(before_1):,.0f}, mapped load {max(after_1):,.0f} "
        f"({max(after_1) / max(before_1) - 1:+.1%})"
    )
    return 0


if __name__ == "__main__":
    sys.exit(main())
