"""Build time of the native index against the NumPy reference and an exact
k-d tree on the shared scenario; medians of several runs in one process.
Beside them, the build of the store a search that answers exactly keeps (its
points in single precision, no table) against the reference's NumPy copy of
the same values, and both builds of the same points given as coordinates in
[-0.5, 0.5) (each wrapped onto [0, 1) as it is stored)."""

import argparse
import statistics
import time

from common import (
    N_STATIC,
    PROBES,
    B,
    D,
    K,
    L,
    N,
    machine,
    median_seconds,
    params,
    points,
)

from plovik import RustLshIndex
from plovik.exact import ExactStore
from plovik.lsh import PythonLshIndex, _wrap_f32


def main():
    ap = argparse.ArgumentParser(description=__doc__)
    ap.add_argument("--repeats", type=int, default=5)
    ap.add_argument("--reference-repeats", type=int, default=1)
    args = ap.parse_args()

    pts, p = points(), params()
    native = RustLshIndex(**p)
    t_first = median_seconds(lambda: native.build(pts, N_STATIC), 1)
    # Rebuilding one index reuses the large arrays its previous build
    # replaced; a new index starts from fresh memory, which the kernel has to
    # clear. The two take turns; CPU seconds (all threads) are reported too,
    # as they move less with the machine's load than wall time.
    wall = {"rebuild": [], "new": []}
    cpu = {"rebuild": [], "new": []}
    fresh = []

    def timed(kind, fn):
        w, c = time.perf_counter(), time.process_time()
        fn()
        wall[kind].append(time.perf_counter() - w)
        cpu[kind].append(time.process_time() - c)

    for _ in range(args.repeats):
        timed("rebuild", lambda: native.build(pts, N_STATIC))
        fresh.append(RustLshIndex(**p))
        timed("new", lambda: fresh[-1].build(pts, N_STATIC))
        fresh.clear()  # outside the timed calls
    native = None
    t_native, t_new = (statistics.median(wall[kind]) for kind in ("rebuild", "new"))
    c_native, c_new = (statistics.median(cpu[kind]) for kind in ("rebuild", "new"))
    saved = statistics.median(1 - r / n for r, n in zip(cpu["rebuild"], cpu["new"], strict=True))
    reference = PythonLshIndex(**p)
    t_reference = median_seconds(lambda: reference.build(pts, N_STATIC), args.reference_repeats)
    store = ExactStore(D, 0)
    t_store = median_seconds(lambda: store.build(pts, N_STATIC), args.repeats)
    t_numpy_copy = median_seconds(lambda: _wrap_f32(pts), args.repeats)
    centred = pts - 0.5
    t_centred = median_seconds(lambda: RustLshIndex(**p).build(centred, N_STATIC), args.repeats)
    t_store_centred = median_seconds(lambda: store.build(centred, N_STATIC), args.repeats)
    try:
        from scipy.spatial import cKDTree

        t_tree = median_seconds(lambda: cKDTree(pts, boxsize=1.0), args.repeats)
    except ImportError:
        t_tree = float("nan")

    print(f"scenario: n={N:,} ({N_STATIC:,} static), d={D}, b={B}, K={K}, L={L}, probes={PROBES}")
    print(f"machine: {machine()}")
    print(
        f"native build      {t_native:8.3f} s   (rebuilding one index, {c_native:.3f} CPU s; "
        f"its first build {t_first:.3f} s)"
    )
    print(f"native, new index {t_new:8.3f} s   (a new index for every build, {c_new:.3f} CPU s)")
    print(f"reusing replaced arrays saves {saved:.0%} of a new index's CPU time (median of pairs)")
    print(f"reference build   {t_reference:8.3f} s   ({t_reference / t_native:6.1f}x native)")
    print(f"cKDTree build     {t_tree:8.3f} s   ({t_tree / t_native:6.1f}x native)")
    print(
        f"exact store build {t_store:8.3f} s   (no table; the reference's NumPy copy "
        f"{t_numpy_copy:.3f} s, {t_numpy_copy / t_store:.1f}x)"
    )
    print(
        f"points in [-0.5, 0.5): a new index {t_centred:.3f} s ({t_centred / t_new:.2f}x), "
        f"the exact store {t_store_centred:.3f} s ({t_store_centred / t_store:.2f}x)"
    )


if __name__ == "__main__":
    main()
