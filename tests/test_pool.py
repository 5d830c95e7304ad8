"""The shared worker pool seen from Python: its size (and the reference's
model of it) and its laziness. (Several interpreter threads at once:
test_memory.py, test_stress.py; a fork: test_lifecycle.py.)"""

import os
import subprocess
import sys
import textwrap

import pytest

from plovik import RustLshIndex

# Runs in the parent and in each child: a build, a per-query and a batched
# query_knn and a query_radius, reduced to one digest of every output array.
WORKLOAD = textwrap.dedent("""
    def workload(RustLshIndex):
        import hashlib, numpy as np
        rng = np.random.default_rng(0)
        s, u = rng.integers(0, 3, (2, 2)), rng.random((2, 2))
        pts, q = rng.random((5000, 3)), rng.random((100, 3))
        arrays = []
        for block in (1, 1024):  # per query, then blocks of ceil(100 / T)
            ix = RustLshIndex(4, 2, 2, 1, s, u, block=block)
            ix.build(pts, 2500)
            arrays += [*ix.tables().values(), *ix.query_knn(q, 5, exclude_ids=np.arange(100))]
        arrays += ix.query_radius(q, 0.05)
        return hashlib.sha256(b"".join(a.tobytes() for a in arrays)).hexdigest()
""")

# (workload imports nothing until it runs)
COUNT_THREADS = WORKLOAD + textwrap.dedent("""
    import os, numpy as np
    def threads():
        return len(os.listdir("/proc/self/task"))
    before = threads()
    from plovik import RustLshIndex
    imported = threads()
    digest = workload(RustLshIndex)
    from plovik.lsh import pool_thread_count  # the reference cuts its blocks for the same count
    print(imported - before, threads() - imported, digest, pool_thread_count())
""")

CPUS = os.cpu_count() or 1
MOST = min(4 * CPUS, 1024)  # larger counts are clamped to it


@pytest.mark.skipif(not os.path.isdir("/proc/self/task"), reason="needs /proc")
@pytest.mark.parametrize(
    "env,workers",
    [
        ({"RAYON_NUM_THREADS": "3"}, 3),
        ({"RAYON_NUM_THREADS": "1", "RAYON_RS_NUM_CPUS": "5"}, 1),
        ({"RAYON_NUM_THREADS": "0"}, CPUS),
        ({"RAYON_NUM_THREADS": "abc", "RAYON_RS_NUM_CPUS": "4"}, min(4, MOST)),
        ({"RAYON_NUM_THREADS": "-2", "RAYON_RS_NUM_CPUS": "0"}, CPUS),
        ({"RAYON_RS_NUM_CPUS": "2"}, min(2, MOST)),
        # beyond the maximum; multiples of 2**61 once wrapped 8 * T to 0
        *(({"RAYON_NUM_THREADS": str(t)}, MOST) for t in (1_000_000, 2**61, 2**62, 3 * 2**61, 2**64 - 1)),
        # too large for 64 bits: not a count, like any other invalid text
        ({"RAYON_NUM_THREADS": str(2**64)}, CPUS),
        ({"RAYON_NUM_THREADS": "9" * 40, "RAYON_RS_NUM_CPUS": str(2**61)}, MOST),
        ({"RAYON_NUM_THREADS": "1e3", "RAYON_RS_NUM_CPUS": str(2**70)}, CPUS),
    ],
)
def test_pool_size_laziness_and_results(env, workers):
    clean = {k: v for k, v in os.environ.items() if not k.startswith("RAYON")}
    # OpenBLAS and friends start their own threads at import; keep them out.
    clean.update(OMP_NUM_THREADS="1", OPENBLAS_NUM_THREADS="1", MKL_NUM_THREADS="1")
    run = dict(env={**clean, **env}, check=True, capture_output=True, text=True, timeout=120)
    out = subprocess.run([sys.executable, "-c", COUNT_THREADS], **run)
    at_import, after_work, digest, reference_count = out.stdout.split()
    assert int(at_import) == 0  # nothing starts at import
    assert int(after_work) == workers - 1  # the calling thread is the remaining worker
    assert int(reference_count) == workers
    namespace = {}
    exec(WORKLOAD, namespace)
    assert digest == namespace["workload"](RustLshIndex)  # same rows whatever T
