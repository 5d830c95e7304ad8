"""Epoch operations of the native index on the shared scenario: a full build,
an update moving about 10% of the candidates by a small step, an update
moving all of them, and a promotion of 200,000 new rows; medians of several
runs in one process, with the ratios to the build."""

import argparse
import statistics

import numpy as np
from common import (
    N_STATIC,
    PROBES,
    SEED,
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

STEP = 0.01  # half-width of the uniform step of a moving candidate
MOVING = 0.10  # share of candidates that move in the partial update
NEW_ROWS = 200_000


def paired(build, fn, repeats):
    """Medians of build() and of fn() run right after it, and of their ratio.

    Pairing each operation with the build before it keeps the ratio steady
    on a machine whose load changes between runs.
    """
    builds, ops = [], []
    for _ in range(repeats):
        builds.append(median_seconds(build, 1))
        ops.append(median_seconds(fn, 1))
    ratios = [o / b for o, b in zip(ops, builds, strict=True)]
    return statistics.median(builds), statistics.median(ops), statistics.median(ratios)


def main():
    ap = argparse.ArgumentParser(description=__doc__)
    ap.add_argument("--repeats", type=int, default=5)
    args = ap.parse_args()

    pts, p = points(), params()
    rng = np.random.default_rng(SEED + 2)
    cand = pts[N_STATIC:]
    n_cand = N - N_STATIC
    partial = cand.copy()
    moving = rng.random(n_cand) < MOVING
    partial[moving] += rng.uniform(-STEP, STEP, (int(moving.sum()), D))
    partial %= 1.0
    full = (cand + rng.uniform(-STEP, STEP, cand.shape)) % 1.0
    batch = np.random.default_rng(SEED + 3).random((NEW_ROWS, D))

    ix = RustLshIndex(**p)

    def build():
        ix.build(pts, N_STATIC)

    # Every operation starts from the tiers the build made.
    runs = {
        f"update, {moving.mean():.0%} move by <= {STEP}": paired(build, lambda: ix.update(partial), args.repeats),
        f"update, all move by <= {STEP}": paired(build, lambda: ix.update(full), args.repeats),
        f"promote, {NEW_ROWS:,} new rows": paired(build, lambda: ix.promote(batch), args.repeats),
    }
    t_build = statistics.median(b for b, _, _ in runs.values())

    print(f"scenario: n={N:,} ({N_STATIC:,} static), d={D}, b={B}, K={K}, L={L}, probes={PROBES}")
    print(f"machine: {machine()}")
    print(f"build, all {N:,} points      {t_build:8.3f} s")
    for (name, (_, t, ratio)), target in zip(runs.items(), (0.2, None, 0.5), strict=True):
        goal = f", target <= {target}" if target else ""
        print(f"{name:30s} {t:8.3f} s   ({ratio:.3f} of the build before it{goal})")


if __name__ == "__main__":
    main()
