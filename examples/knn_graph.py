"""A k-nearest-neighbour graph for clustering.

Blobs of points on the 3-torus, one of them over the corner where the
coordinates wrap. The search gives each point's k nearest neighbours as a
sparse graph; the edges shorter than a threshold, made symmetric, fall into
connected components, one per blob. Without the wrap the corner blob would
fall apart into pieces. Needs SciPy (`pip install 'plovik[sparse]'`).

    python examples/knn_graph.py --n 30000
"""

import argparse

import numpy as np
from scipy.sparse.csgraph import connected_components

from plovik import PlovikSearch


def main(argv=None):
    ap = argparse.ArgumentParser(description="A k-nearest-neighbour graph for clustering.")
    ap.add_argument("--n", type=int, default=30_000, help="points")
    ap.add_argument("--k", type=int, default=10, help="neighbours per point")
    args = ap.parse_args(argv)

    rng = np.random.default_rng(0)
    centres = np.array([[0.0, 0.0, 0.0], [0.5, 0.5, 0.5], [0.2, 0.7, 0.4], [0.8, 0.2, 0.6]])
    label = rng.integers(0, len(centres), args.n)
    X = (centres[label] + rng.normal(0, 0.03, (args.n, 3))) % 1.0  # the first blob sits on a corner

    search = PlovikSearch(3, k=args.k, seed=0)
    search.build(X)
    # Row i: the distances to the k nearest other points, as a CSR matrix of shape (n, n).
    graph = search.query_knn(X, args.k, exclude_ids=np.arange(args.n), sparse=True)
    graph = graph.maximum(graph.T)  # symmetric: an edge found from either end
    graph.data[graph.data > 0.1] = 0  # cut the long edges
    graph.eliminate_zeros()
    _, assigned = connected_components(graph, directed=False)
    sizes = np.bincount(assigned)
    big = np.flatnonzero(sizes >= 0.01 * args.n)
    print(
        f"{args.n:,} points, {args.k}-NN graph with {graph.nnz:,} edges: "
        f"{len(big)} clusters of 1% of the points or more (sizes {sorted(sizes[big].tolist())})"
    )
    # every blob is one cluster: each cluster holds one blob's points
    agree = sum(np.bincount(label[assigned == c]).max() for c in big) / sizes[big].sum()
    print(f"points in a cluster whose blob is the cluster's majority: {agree:.3f}")


if __name__ == "__main__":
    main()
