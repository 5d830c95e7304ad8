"""Epoch operations of the native index on the shared scenario: a full build,
an update moving about 10% of the candidates by a small step, an update
moving all of them, and a promotion of 200,000 new rows; medians of several
runs in one process, with the ratios to the build."""

import argparse

import numpy as np
from common import B, K, L, N, N_STATIC, PROBES, SEED, D, machine, median_seconds, params, points

from plovik import RustLshIndex

STEP = 0.01  # half-width of the uniform step of a moving candidate
MOVING = 0.10  # share of candidates that move in the partial update
NEW_ROWS = 200_000


def timed_after(setup, fn, repeats):
    """Median time of fn(), each run preceded by an untimed setup()."""
    times = []
    for _ in range(repeats):
        setup()
        times.append(median_seconds(fn, 1))
    return float(np.median(times))


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
    t_build = median_seconds(lambda: ix.build(pts, N_STATIC), args.repeats)

    def fresh():
        ix.build(pts, N_STATIC)

    # Each update starts from the tier the build made, so every run re-places
    # the same entries.
    t_partial = timed_after(fresh, lambda: ix.update(partial), args.repeats)
    t_full = timed_after(fresh, lambda: ix.update(full), args.repeats)
    t_promote = timed_after(fresh, lambda: ix.promote(batch), args.repeats)

    share = float(moving.mean())
    print(f"scenario: n={N:,} ({N_STATIC:,} static), d={D}, b={B}, K={K}, L={L}, probes={PROBES}")
    print(f"machine: {machine()}")
    print(f"build (all {N:,} points)      {t_build:8.3f} s")
    print(f"update, {share:.0%} move by <= {STEP}  {t_partial:8.3f} s   "
          f"({t_partial / t_build:.3f} of build, target <= 0.2)")
    print(f"update, all move by <= {STEP}  {t_full:8.3f} s   ({t_full / t_build:.3f} of build)")
    print(f"promote, {NEW_ROWS:,} new rows     {t_promote:8.3f} s   "
          f"({t_promote / t_build:.3f} of build, target <= 0.5)")


if __name__ == "__main__":
    main()
