"""Neighbours in a periodic box.

Particles in a box with periodic boundaries and one side per axis: every
pair closer than a cutoff under the minimum-image Euclidean distance, with
the displacement vector of each pair, as a molecular-dynamics code needs
them. `metric="euclidean"` with `boxsize=(Lx, Ly, Lz)` keeps coordinates,
radii and distances in the box's units; `exact="grid"` answers through a
grid of cells about as wide as the cutoff, so the list is exact (the same
as the exact scan's, bit for bit) and found in time linear in the pairs.

    python examples/periodic_box.py --n 200000
"""

import argparse
import math

import numpy as np

from plovik import PlovikSearch, exact_radius


def main(argv=None):
    ap = argparse.ArgumentParser(description="Neighbours in a periodic box.")
    ap.add_argument("--n", type=int, default=200_000, help="particles")
    ap.add_argument("--box", type=float, default=50.0, help="side of the box along x (y is 0.8 of it, z 1.5)")
    ap.add_argument(
        "--cutoff", type=float, default=None, help="Euclidean cutoff (default: about 12 neighbours per particle)"
    )
    args = ap.parse_args(argv)

    d = 3
    sides = (args.box, 0.8 * args.box, 1.5 * args.box)
    rng = np.random.default_rng(0)
    particles = rng.random((args.n, d)) * sides  # positions in the box
    density = args.n / math.prod(sides)
    rc = args.cutoff or (12 / (4 / 3 * math.pi * density)) ** (1 / 3)

    search = PlovikSearch(d, metric="euclidean", boxsize=sides, exact="grid")
    search.build(particles)
    pairs, dist, vectors = search.pairs(rc, vectors=True)  # each pair once, i < j
    print(
        f"{args.n:,} particles, box {' x '.join(f'{s:g}' for s in sides)}, cutoff {rc:.3f}: "
        f"{len(pairs):,} pairs ({2 * len(pairs) / args.n:.1f} neighbours per particle)"
    )
    length = np.sqrt((vectors**2).sum(axis=1))  # the vectors rebuild the distances
    print(f"largest difference of a vector's length from its distance: {np.abs(length - dist).max():.2e}")

    # The pairs of a few particles against the exact scan in the same metric and box.
    sample = rng.choice(args.n, size=min(200, args.n), replace=False)
    indptr, ids, _ = exact_radius(
        particles, particles[sample], rc, exclude_ids=sample, metric="euclidean", boxsize=sides
    )
    found = set(map(tuple, pairs.tolist()))
    true = hits = 0
    for row, p in enumerate(sample):
        near = ids[indptr[row] : indptr[row + 1]].tolist()
        true += len(near)
        hits += sum((min(p, q), max(p, q)) in found for q in near)
    print(f"pairs of {len(sample)} particles found, against the exact scan: {hits / max(true, 1):.3f}")


if __name__ == "__main__":
    main()
