"""A search sharded over a Dask cluster.

A `LocalCluster` of two worker processes stands in for a real cluster (see
the Dask guide for batch schedulers and Kubernetes): each worker holds one
shard of the index, queries fan out to every shard and the client merges
the rows by (distance, id). With the same settings and seed, the rows are
those of a `PlovikSearch` on one machine whenever no shard had to relax a
query. Needs `pip install 'plovik[distributed]'`.

    python examples/dask_cluster.py --n 200000
"""

import argparse

import numpy as np
from distributed import Client, LocalCluster

from plovik import PlovikSearch
from plovik.distributed import ShardedSearch


def main(argv=None):
    ap = argparse.ArgumentParser(description="A search sharded over a Dask cluster.")
    ap.add_argument("--n", type=int, default=200_000, help="points")
    ap.add_argument("--queries", type=int, default=10_000)
    args = ap.parse_args(argv)

    rng = np.random.default_rng(0)
    points = rng.random((args.n, 16))
    queries = rng.random((args.queries, 16))
    with (
        LocalCluster(n_workers=2, threads_per_worker=1, dashboard_address=":0") as cluster,
        Client(cluster) as client,
        ShardedSearch(16, client, seed=0) as search,
    ):  # one shard per worker
        search.build(points)  # tuned on the client, built on the workers
        idx, _dist = search.query_knn(queries, 10)
        search.promote(rng.random((args.n // 100, 16)))  # new ids, spread over the shards
        print(
            f"{search.shards} shards of {search.shard_sizes} points on {len(set(search.workers))} workers; "
            f"relaxed queries: {search.stats()['relaxed']}"
        )
    single = PlovikSearch(16, seed=0)
    single.build(points)
    same = np.mean(np.all(single.query_knn(queries, 10)[0] == idx, axis=1))
    print(f"rows equal to those of one PlovikSearch: {same:.1%}")


if __name__ == "__main__":
    main()
