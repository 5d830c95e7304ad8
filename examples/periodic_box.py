"""Neighbours in a periodic box.

Particles in a cubic box of side L with periodic boundaries: every pair
closer than a cutoff under the minimum-image Euclidean distance, found with
the toroidal L1 index built with `boxsize=L`, so coordinates, radii and
distances stay in the box's units. The Euclidean distance is at most the L1
distance and at least it divided by sqrt(d), so every pair within the
Euclidean cutoff rc lies within L1 distance sqrt(d) * rc: the index finds
those candidate pairs, and the Euclidean distance of each decides.

    python examples/periodic_box.py --n 200000
"""

import argparse
import math

import numpy as np

from plovik import PlovikSearch, exact_radius


def minimum_image(a, b, box):
    """Euclidean distance between rows of a and b in a periodic box of side `box`."""
    delta = np.abs(a - b) % box
    delta = np.minimum(delta, box - delta)
    return np.sqrt((delta * delta).sum(axis=-1))


def main(argv=None):
    ap = argparse.ArgumentParser(description="Neighbours in a periodic box.")
    ap.add_argument("--n", type=int, default=200_000, help="particles")
    ap.add_argument("--box", type=float, default=50.0, help="side of the cubic box")
    ap.add_argument(
        "--cutoff", type=float, default=None, help="Euclidean cutoff (default: about 12 neighbours per particle)"
    )
    args = ap.parse_args(argv)

    d, box = 3, args.box
    rng = np.random.default_rng(0)
    particles = rng.random((args.n, d)) * box  # positions in [0, box)^3
    density = args.n / box**d
    rc = args.cutoff or (12 / (4 / 3 * math.pi * density)) ** (1 / 3)
    r_l1 = math.sqrt(d) * rc  # the L1 radius that covers rc, in box units

    search = PlovikSearch(d, boxsize=box, seed=0)
    search.build(particles, radius=r_l1)  # tuned for radius queries of r_l1 too
    pairs, _ = search.pairs(r_l1)
    i, j = pairs[:, 0], pairs[:, 1]
    keep = minimum_image(particles[i], particles[j], box) <= rc
    pairs = pairs[keep]
    print(
        f"{args.n:,} particles, box {box:g}, cutoff {rc:.3f}: "
        f"{len(pairs):,} pairs ({2 * len(pairs) / args.n:.1f} neighbours per particle)"
    )

    # How many of the true pairs of a few particles were found: the exact scan gives them.
    sample = rng.choice(args.n, size=min(200, args.n), replace=False)
    indptr, ids, _ = exact_radius(particles, particles[sample], r_l1, exclude_ids=sample, boxsize=box)
    found = set(map(tuple, pairs.tolist()))
    true = hits = 0
    for row, p in enumerate(sample):
        near = ids[indptr[row] : indptr[row + 1]]
        near = near[minimum_image(particles[near], particles[p], box) <= rc]
        true += len(near)
        hits += sum((min(p, q), max(p, q)) in found for q in near.tolist())
    print(f"recall of the pairs of {len(sample)} particles against the exact scan: {hits / max(true, 1):.3f}")


if __name__ == "__main__":
    main()
