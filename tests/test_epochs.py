"""Epochs: update and promote of the native index against the NumPy reference,
their tie orders, refused calls, failure safety and thread counts."""

import os
import subprocess
import sys

import numpy as np
import pytest
from hypothesis import settings
from hypothesis import strategies as st
from hypothesis.stateful import RuleBasedStateMachine, initialize, invariant, rule

from plovik import RustLshIndex
from index_helpers import assert_tables_equal, both, random_params, outputs_under_thread_counts


def assert_same(native, reference):
    assert_tables_equal(native, reference)
    assert (native.n_points, native.n_static, native.n_candidates) == (
        reference.n_points, reference.n_static, reference.n_candidates)
    points = native.points()
    assert points.dtype == np.float32 and points.tobytes() == reference.points().tobytes()


class Epochs(RuleBasedStateMachine):
    """Builds, updates and promotions in any order. Small b and K make keys
    collide within and across the tiers, in a dense bucket directory; the
    wide key spaces have none, their tiers list their occupied buckets:
    nearly all distinct (4096**3) or few and shared (2**24)."""

    @initialize(d=st.integers(1, 4), L=st.integers(1, 3), K=st.integers(1, 3),
                b=st.sampled_from([1, 2, 3, 5]), wide=st.sampled_from([None, (4096, 3), (2, 24)]),
                seed=st.integers(0, 2**32 - 1))
    def start(self, d, L, K, b, wide, seed):
        if wide is not None:
            b, K = wide
        self.rng, self.d = np.random.default_rng(seed), d
        self.pair = both(random_params(self.rng, d, L, K, b))
        self.rebuild(20, 0.5)

    @rule(n=st.integers(0, 30), share=st.sampled_from([0.0, 0.5, 1.0]))
    def rebuild(self, n, share):
        pts = self.rng.random((n, self.d))
        for ix in self.pair:
            ix.build(pts, int(n * share))
        self.cand = self.prev = pts[int(n * share):]

    @rule(kind=st.sampled_from(["same", "some", "all", "back", "wide"]))
    def update(self, kind):
        shape, rng = self.cand.shape, self.rng
        new = {
            "same": lambda: self.cand.copy(),
            # some coordinates of a third of the rows: the rest stay as they are
            "some": lambda: self.cand + rng.uniform(-0.3, 0.3, shape) * (
                (rng.random(shape) < 0.3) & (rng.random((shape[0], 1)) < 0.3)),
            "all": lambda: rng.random(shape),
            "back": lambda: self.prev,  # away and back: re-placed both times
            "wide": lambda: (rng.random(shape) - 0.5) * 1e3,  # keys hash the raw values, the f32 copies wrap them
        }[kind]()
        for ix in self.pair:
            ix.update(new)
        self.prev, self.cand = self.cand, new

    @rule(m=st.integers(0, 12))
    def promote(self, m):
        rows = self.rng.random((m, self.d))
        for ix in self.pair:
            ix.promote(rows)
        self.cand = self.prev = rows

    @rule(m=st.sampled_from([0, 3, 70]), k=st.integers(0, 6), exclude=st.booleans(),
          radius=st.sampled_from([0.0, 0.3, 1.5]))
    def query(self, m, k, exclude, radius):
        # Queries between epochs read the merged tiers, their directories and
        # the refreshed single-precision coordinates.
        q = self.rng.random((m, self.d))
        ex = self.rng.integers(-1, max(self.pair[0].n_points, 1), m) if exclude else None
        native, reference = (ix.query_knn(q, k, ex) + ix.query_radius(q, radius, ex) for ix in self.pair)
        for got, want in zip(native, reference, strict=True):
            np.testing.assert_array_equal(got, want)

    @invariant()
    def same_tables(self):
        assert_same(*self.pair)


TestEpochs = Epochs.TestCase
TestEpochs.settings = settings(stateful_step_count=20)


@pytest.mark.parametrize("b, K", [(2, 2), (4, 3), (16, 2)])
@pytest.mark.parametrize("share, step", [(0.02, 0.1), (1.0, 0.002)])
def test_few_moves_among_many(b, K, share, step):
    # Few moved entries are spliced in between blocks of kept entries; long
    # runs of equal keys (b = 2) make the refresh walk the whole table. A
    # small step of every row rehashes them all and still moves few entries.
    rng = np.random.default_rng(b * 10 + K)
    pair = both(random_params(rng, d=3, L=4, K=K, b=b))
    pts = rng.random((3000, 3))
    steps = [pts[1000:].copy() for _ in range(3)]
    for new in steps[1:]:
        rows = rng.random(2000) < share
        new[rows] = (new[rows] + rng.uniform(-step, step, (rows.sum(), 3))) % 1
    for ix in pair:
        ix.build(pts, 1000)
    q = rng.random((50, 3))
    for new in steps[1:] + steps[:1]:  # the last step goes back to the start
        for ix in pair:
            ix.update(new)
        assert_same(*pair)
        # The rows measure the stored coordinates of moved and unmoved points.
        for got, want in zip(*(ix.query_knn(q, 20) for ix in pair)):
            np.testing.assert_array_equal(got, want)


def test_argument_layouts():
    # Values are read in logical row-major order, whatever the memory layout;
    # update checks only their count. Empty arrays pass whatever their strides.
    rng = np.random.default_rng(6)
    params, pts, new = random_params(rng, d=3, L=3, K=2, b=4), rng.random((50, 3)), rng.random((20, 3))
    ixs = [RustLshIndex(**params) for _ in range(3)]
    ixs[0].build(np.zeros((0, 6))[:, ::2], 0)
    for ix, coords, rows in zip(ixs, (new, np.asfortranarray(new), new.reshape(3, 20)),
                                (new, np.asfortranarray(new), new)):
        ix.build(pts if ix is ixs[0] else np.asfortranarray(pts), 30)
        ix.update(coords)
        ix.promote(rows)
    assert_tables_equal(ixs[0], ixs[1])
    assert_tables_equal(ixs[0], ixs[2])


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

EPOCH_DIGEST = SETUP + """
h = hashlib.sha256()
for name, args in steps:
    getattr(ix, name)(args)
for v in ix.tables().values():
    h.update(v.tobytes())
print(h.hexdigest())
"""


@pytest.mark.threads
def test_epochs_independent_of_thread_count():
    assert len(outputs_under_thread_counts(EPOCH_DIGEST)) == 1


# Under a shrinking address-space limit an epoch fails at a different
# allocation each time; every failure must leave the index as it was.
OUT_OF_MEMORY = SETUP + """
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


@pytest.mark.address_space_limit
def test_out_of_memory_leaves_the_index_as_it_was():
    # A fixed mmap threshold maps every large buffer afresh, so that the
    # limit bites; by default freed memory would be reused from the heap.
    env = {**os.environ, "MALLOC_MMAP_THRESHOLD_": "65536"}
    out = subprocess.run([sys.executable, "-c", OUT_OF_MEMORY], env=env, check=True,
                         capture_output=True, text=True)
    failures = dict(line.split() for line in out.stdout.splitlines())
    assert int(failures["update"]) > 2 and int(failures["promote"]) > 2
