"""Epochs of the native index: few moves among many against the NumPy reference, failure safety
under an address-space limit, and results no thread count changes. (Random epochs: test_adversarial.py.)"""

import os
import subprocess
import sys

import numpy as np
import pytest

from index_helpers import assert_tables_equal, both, outputs_under_thread_counts, random_params
from query_helpers import assert_rows_equal


@pytest.mark.parametrize("b, K", [(2, 2), (4, 3), (16, 2)])
@pytest.mark.parametrize("share, step", [(0.02, 0.1), (1.0, 0.002)])
def test_few_moves_among_many(b, K, share, step):
    # Few moved entries are spliced in between kept ones; long runs of equal keys (b = 2) make the
    # refresh walk the whole table; a small step of every row rehashes all and moves few entries.
    rng = np.random.default_rng(b * 10 + K)
    pair = both(random_params(rng, d=3, L=4, K=K, b=b))
    pts = rng.random((3000, 3))
    pts[::97, 1] = -0.0  # stored as +0.0 by both, in build and update
    steps = [pts[1000:].copy() for _ in range(3)]
    for new in steps[1:]:
        rows = rng.random(2000) < share
        new[rows] = (new[rows] + rng.uniform(-step, step, (rows.sum(), 3))) % 1
        new[::89, 2] = -0.0
    for ix in pair:
        ix.build(pts, 1000)
    q = rng.random((50, 3))
    for new in steps[1:] + steps[:1]:  # the last step goes back to the start
        for ix in pair:
            ix.update(new)
        assert_tables_equal(*pair)
        sizes, points = [(ix.n_points, ix.n_static, ix.n_candidates) for ix in pair], [ix.points() for ix in pair]
        assert sizes[0] == sizes[1] and points[0].dtype == np.float32 and points[0].tobytes() == points[1].tobytes()
        # The rows measure the stored coordinates of moved and unmoved points.
        assert_rows_equal(*(ix.query_knn(q, 20) for ix in pair))


# Both scripts make the same index and the same epochs.
SETUP = """
import hashlib, resource, numpy as np
from plovik import RustLshIndex
from plovik.lsh import PythonLshIndex
rng = np.random.default_rng(3)
L, K, d = 6, 4, 4
params = dict(b=3, k=K, l=L, probes=2, s=rng.integers(0, d, (L, K)), u=rng.random((L, K)))
pts = rng.random((300_000, d))
steps = [("update", (pts[200_000:] + rng.uniform(-0.02, 0.02, (100_000, d))) % 1),
         ("update", rng.random((100_000, d))), ("promote", rng.random((70_000, d))),
         ("promote", np.zeros((0, d))), ("promote", rng.random((30_000, d))), ("update", rng.random((30_000, d)))]
ix = RustLshIndex(**params)
ix.build(pts, 200_000)
"""

# The tables of the build and each epoch; the rows and counters of both query paths (blocks of
# 1, 50, 1024 and one a worker), with and without retired points.
DIGEST = (
    SETUP
    + """
h = hashlib.sha256()
for name, args in [("build", None)] + steps:
    if args is not None:
        getattr(ix, name)(args)
    for v in ix.tables().values():
        h.update(v.tobytes())
rng = np.random.default_rng(17)
for d, block, retired in ((6, 1, 0), (8, 50, 0), (16, 1024, 0), (6, 0, 0), (8, 1024, 7500), (6, 1, 7500)):
    ix = RustLshIndex(5, 4, 6, 2, rng.integers(0, d, (6, 4)), rng.random((6, 4)), block=block)
    ix.build(rng.random((20000, d)), 15000)
    ix.retire(rng.choice(20000, retired, replace=False))
    q = rng.random((700, d))
    for a in ix.query_knn(q, 9, rng.integers(0, 20000, 700)) + ix.query_radius(q, 0.35):
        h.update(a.tobytes())
    h.update(repr([ix.stats()[c] for c in ("queries", "cands", "pairs", "relaxed")]).encode())
print(h.hexdigest())
"""
)


@pytest.mark.threads
def test_tables_rows_and_counters_independent_of_thread_count():
    assert len(outputs_under_thread_counts(DIGEST)) == 1


# Under a shrinking address-space limit an epoch fails at a different
# allocation each time; every failure must leave the index as it was.
OUT_OF_MEMORY = (
    SETUP
    + """
ref = PythonLshIndex(**params)
ref.build(pts, 200_000)

def state(x):
    return [v.tobytes() for v in x.tables().values()] + [x.n_points, x.n_static]

soft, hard = resource.getrlimit(resource.RLIMIT_AS)
for name, args in steps[1:3]:
    before, failed = state(ix), 0
    for margin in range(0, 1 << 27, 1 << 20):
        with open("/proc/self/statm") as f:  # the first field: the address space in use, in pages
            resource.setrlimit(resource.RLIMIT_AS, (int(f.read().split()[0]) * resource.getpagesize() + margin, hard))
        try:
            getattr(ix, name)(args)
            break
        except MemoryError:
            failed += 1
        finally:
            resource.setrlimit(resource.RLIMIT_AS, (soft, hard))
        assert state(ix) == before, (name, margin)
    getattr(ref, name)(args)
    assert state(ix) == state(ref), name
    print(name, failed)
"""
)


@pytest.mark.address_space_limit
def test_out_of_memory_leaves_the_index_as_it_was():
    # A fixed mmap threshold maps every large buffer afresh, so that the
    # limit bites; by default freed memory would be reused from the heap.
    env = {**os.environ, "MALLOC_MMAP_THRESHOLD_": "65536"}
    out = subprocess.run([sys.executable, "-c", OUT_OF_MEMORY], env=env, check=True, capture_output=True, text=True)
    failures = dict(line.split() for line in out.stdout.splitlines())
    assert int(failures["update"]) > 2 and int(failures["promote"]) > 2
