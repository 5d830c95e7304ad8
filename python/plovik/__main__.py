"""Command line entry point: ``python -m plovik demo``."""

import argparse
import sys
import time

import numpy as np

from plovik import RustLshIndex


def demo(args):
    rng = np.random.default_rng(args.seed)
    d, L, K, b = args.dim, 8, 5, 4
    s = np.stack([rng.choice(d, size=K, replace=K > d) for _ in range(L)]).astype(np.int64)
    u = rng.random((L, K))
    index = RustLshIndex(b, K, L, 2, s, u)
    points = rng.random((args.n, d))
    n_static = args.n * 4 // 5
    t = time.perf_counter()
    index.build(points, n_static)
    elapsed = time.perf_counter() - t
    print(f"built {index.n_points:,} points in [0, 1)^{d} in {elapsed:.3f} s: "
          f"{index.n_static:,} static, {index.n_candidates:,} candidates")
    tables = index.tables()
    for name, table in tables.items():
        print(f"{name:17s} shape {table.shape}, table 0 starts {table[0, :6].tolist()}")


def main(argv=None):
    parser = argparse.ArgumentParser(prog="python -m plovik")
    sub = parser.add_subparsers(dest="command", required=True)
    p = sub.add_parser("demo", help="build an index and show its tables")
    p.add_argument("--n", type=int, default=200_000)
    p.add_argument("--dim", type=int, default=16)
    p.add_argument("--seed", type=int, default=0)
    args = parser.parse_args(argv)
    if args.command == "demo":
        demo(args)
    return 0


if __name__ == "__main__":
    sys.exit(main())
