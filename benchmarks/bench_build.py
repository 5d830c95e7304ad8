"""Build time of the native index against the NumPy reference and an exact
k-d tree on the shared scenario; medians of several runs in one process."""

import argparse

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
from plovik.lsh import PythonLshIndex


def main():
    ap = argparse.ArgumentParser(description=__doc__)
    ap.add_argument("--repeats", type=int, default=5)
    ap.add_argument("--reference-repeats", type=int, default=1)
    args = ap.parse_args()

    pts, p = points(), params()
    native = RustLshIndex(**p)
    t_first = median_seconds(lambda: native.build(pts, N_STATIC), 1)
    # Rebuilding one index reuses the arrays the previous build replaced;
    # a new index each time starts from fresh memory.
    t_native = median_seconds(lambda: native.build(pts, N_STATIC), args.repeats)
    native = None  # its arrays go before the new-index builds

    fresh = []

    def build_new():
        fresh.append(RustLshIndex(**p))
        fresh[-1].build(pts, N_STATIC)

    def drop_previous():
        fresh.clear()  # outside the timed call

    t_new = median_seconds(build_new, args.repeats, between=drop_previous)
    reference = PythonLshIndex(**p)
    t_reference = median_seconds(lambda: reference.build(pts, N_STATIC), args.reference_repeats)
    try:
        from scipy.spatial import cKDTree

        t_tree = median_seconds(lambda: cKDTree(pts, boxsize=1.0), args.repeats)
    except ImportError:
        t_tree = float("nan")

    print(f"scenario: n={N:,} ({N_STATIC:,} static), d={D}, b={B}, K={K}, L={L}, probes={PROBES}")
    print(f"machine: {machine()}")
    print(f"native build      {t_native:8.3f} s   (rebuilding one index; its first build {t_first:.3f} s)")
    print(f"native, new index {t_new:8.3f} s   (a new index for every build)")
    print(f"reference build   {t_reference:8.3f} s   ({t_reference / t_native:6.1f}x native)")
    print(f"cKDTree build     {t_tree:8.3f} s   ({t_tree / t_native:6.1f}x native)")


if __name__ == "__main__":
    main()
