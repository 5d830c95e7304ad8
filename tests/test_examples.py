"""The scripts of examples/ run end to end at a small size, each in its own
interpreter; their own checks, as printed, must hold at that size too."""

import re
import subprocess
import sys
from pathlib import Path

import pytest

EXAMPLES = Path(__file__).resolve().parent.parent / "examples"


def _figure(pattern, out):
    return float(re.search(pattern, out).group(1))


# script: arguments of a small run, the check of what it prints
RUNS = {
    "novelty_epochs.py": (
        "--n 2000 --d 8 --epochs 3",
        lambda out: "epoch 3: novelty mean" in out and _figure(r"recall@10 now ([0-9.]+)", out) >= 0.85,
    ),
    "periodic_box.py": ("--n 3000 --box 10", lambda out: _figure(r"exact scan: ([0-9.]+)", out) == 1.0),
    "knn_graph.py": (
        "--n 3000",
        lambda out: (
            re.search(r"\b4 clusters of 1% of the points or more", out) and _figure(r"majority: ([0-9.]+)", out) >= 0.99
        ),
    ),
    "save_and_serve.py": (
        "--n 3000 --queries 500 --servers 2",
        lambda out: "the same rows as the search that saved the folder" in out,
    ),
    "dask_cluster.py": (
        "--n 3000 --queries 300",
        lambda out: _figure(r"relaxed queries: (\d+)", out) > 0 or _figure(r"PlovikSearch: ([0-9.]+)%", out) == 100.0,
    ),
}
NEEDS = {"knn_graph.py": "scipy", "dask_cluster.py": "distributed"}  # the module a script needs


def test_every_example_is_run():
    assert sorted(p.name for p in EXAMPLES.glob("*.py")) == sorted(RUNS)


@pytest.mark.parametrize(
    "script",
    [pytest.param(name, marks=[pytest.mark.distributed] if NEEDS.get(name) == "distributed" else []) for name in RUNS],
)
def test_example_runs(script):
    args, check = RUNS[script]
    if script in NEEDS:
        pytest.importorskip(NEEDS[script])
    done = subprocess.run(
        [sys.executable, str(EXAMPLES / script), *args.split()], capture_output=True, text=True, timeout=300
    )
    assert done.returncode == 0, done.stderr
    assert check(done.stdout), done.stdout
