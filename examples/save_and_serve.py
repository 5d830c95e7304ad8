"""Save an index once, serve queries from several processes.

One process builds and saves the search; each server process loads the
folder with `mmap=True`, so the coordinates and the static tier are mapped
from the files and their pages shared between the processes, not copied.
Every server answers its share of the queries with the rows the built
search gives.

    python examples/save_and_serve.py --n 200000 --servers 2
"""

import argparse
import multiprocessing
import tempfile
from concurrent.futures import ProcessPoolExecutor
from pathlib import Path

import numpy as np

from plovik import PlovikSearch

_served = None  # the search of a server process


def _load(path):
    global _served
    _served = PlovikSearch.load(path, mmap=True)


def _answer(queries):
    return _served.query_knn(queries, 10)


def main(argv=None):
    ap = argparse.ArgumentParser(description="Save an index, serve queries from several processes.")
    ap.add_argument("--n", type=int, default=200_000, help="points")
    ap.add_argument("--queries", type=int, default=10_000)
    ap.add_argument("--servers", type=int, default=2, help="server processes")
    args = ap.parse_args(argv)

    rng = np.random.default_rng(0)
    search = PlovikSearch(16, seed=0)
    search.build(rng.random((args.n, 16)))
    queries = rng.random((args.queries, 16))

    with tempfile.TemporaryDirectory() as tmp:
        path = Path(tmp) / "archive.plovik"
        search.save(path)  # a folder: manifest.json and one .npy file per array
        print(
            f"saved {search.n_points:,} points: "
            f"{sum(f.stat().st_size for f in path.iterdir()) / 1e6:.1f} MB in {path.name}/"
        )
        # Processes are spawned, not forked: a fork copies a process whose worker pool already runs.
        spawn = multiprocessing.get_context("spawn")
        with ProcessPoolExecutor(args.servers, mp_context=spawn, initializer=_load, initargs=(path,)) as pool:
            parts = list(pool.map(_answer, np.array_split(queries, args.servers)))
    idx = np.vstack([p[0] for p in parts])
    dist = np.vstack([p[1] for p in parts])
    same_idx, same_dist = search.query_knn(queries, 10)
    assert np.array_equal(idx, same_idx) and np.array_equal(dist, same_dist)
    print(
        f"{args.servers} server processes answered {args.queries:,} queries: "
        f"the same rows as the search that saved the folder"
    )


if __name__ == "__main__":
    main()
