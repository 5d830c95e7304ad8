"""The tuning's reports on a fixed set of shapes, for comparing two builds.

Tunes 24 shapes (uniform and clustered points, d = 3 to 32, n = 10**4 to
3 * 10**5; k = 1, 10 and 40; with `queries=`, `capacity=`, `radius=`,
`sample=`, other targets, and duplicated points) and writes every field of
each report but `seconds`, with digests of `s` and `u`, to a JSON file. A
change meant only to make the tuning faster leaves the file unchanged, on
any thread count:

    python benchmarks/tuning_reports.py before.json   # on the earlier build
    python benchmarks/tuning_reports.py after.json
    cmp before.json after.json

The tuning time of each shape is printed beside it (not written).
"""

import argparse
import dataclasses
import hashlib
import json
import warnings

import numpy as np

from plovik import datasets, tuning
from plovik.exact import ExactScan

# shape, n, d, k, extras
CASES = [
    ("uniform", 10_000, 3, 10, {}),
    ("uniform", 30_000, 8, 10, {}),
    ("clustered", 30_000, 8, 1, {}),
    ("uniform", 100_000, 8, 10, {}),
    ("clustered", 100_000, 8, 10, {}),
    ("uniform", 100_000, 16, 10, {}),
    ("clustered", 100_000, 16, 10, {}),
    ("uniform", 100_000, 32, 10, {}),
    ("clustered", 100_000, 32, 10, {}),
    ("uniform", 50_000, 12, 40, {}),
    ("clustered", 50_000, 20, 1, {}),
    ("uniform", 20_000, 24, 10, {"queries": True}),
    ("clustered", 60_000, 16, 10, {"queries": True}),
    ("uniform", 40_000, 8, 10, {"capacity": 200_000}),
    ("clustered", 40_000, 16, 10, {"capacity": 150_000}),
    ("uniform", 50_000, 6, 10, {"radius": 0.3}),
    ("clustered", 50_000, 10, 10, {"radius": 0.05}),
    ("uniform", 40_000, 8, 10, {"duplicates": True}),
    ("clustered", 40_000, 16, 40, {"duplicates": True}),
    ("uniform", 300_000, 16, 10, {}),
    ("clustered", 300_000, 8, 10, {}),
    ("uniform", 100_000, 5, 10, {"sample": 150}),
    ("clustered", 80_000, 32, 10, {"target": 0.99}),
    ("uniform", 100_000, 16, 1, {"target": 0.9}),
]


def points(shape, rng, n, d):
    if shape == "uniform":
        return rng.random((n, d))
    return datasets.clustered(rng, n, d, clusters=50, sigma=0.02)


def digest(a):
    return hashlib.sha256(np.ascontiguousarray(a).tobytes()).hexdigest()[:16]


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("out", help="the JSON file to write")
    args = ap.parse_args()
    rows = []
    for i, (shape, n, d, k, extra) in enumerate(CASES):
        rng = np.random.default_rng(100 + i)
        X = points(shape, rng, n, d)
        if extra.get("duplicates"):
            X[: n // 4] = X[n // 4 : n // 2]
        kw = {name: extra[name] for name in ("capacity", "radius", "sample") if name in extra}
        if extra.get("queries"):
            kw["queries"] = (points(shape, rng, 2000, d) + 0.003) % 1.0
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", tuning.RecallWarning)
            report, s, u = tuning.tune(
                X, target=extra.get("target", 0.95), k=k, seed=20261207 + i, scan=ExactScan(X), **kw
            )
        row = {f.name: getattr(report, f.name) for f in dataclasses.fields(report) if f.name != "seconds"}
        row.update(s=digest(s), u=digest(u), case=[shape, n, d, k, extra])
        rows.append(row)
        setting = "exact" if report.exact else report.settings()
        print(f"{i:2d} {shape} n={n} d={d} k={k} {extra}: {setting}, {report.seconds:.3f} s")
    with open(args.out, "w") as f:
        json.dump(rows, f, indent=1)


if __name__ == "__main__":
    main()
