#!/usr/bin/env python3
"""Mutation testing of the engine: applies each mutation of a catalogue
(comparison operators, constants and off-by-ones in the hashing, probing,
top-k, radius and write paths of src/index) to a copy of the sources, one at
a time, rebuilds the extension incrementally in a build directory of its
own, and runs the C++ engine tests and a short selection of the Python
tests against it. A mutant is killed when a test fails (or the build or the
run crashes, or times out), and survives when everything passes.

    scripts/engine-mutation.py [--only NAME ...] [--new TEST ...] [--timeout S]

With --new, a mutant that the other tests let pass is run once more with
only those tests: the report then gives the score without them and with
them. Run by `make mutation` under nice; the working tree is never changed.
The catalogue is ordered by file, so each mutant recompiles the files that
include the one it changes and little else.
"""

import argparse
import os
import shutil
import subprocess
import sys
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
WORK = ROOT / "build" / "mutation"
SRC_COPY = WORK / "tree"  # the sources, mutated in place one file at a time
BUILD = WORK / "cmake"
PACKAGE = WORK / "pkg"  # plovik's Python files and the mutated extension

# The selection of Python tests: the comparisons with the reference and
# brute force that reach every engine path, without the slow cluster,
# memory and stress files and the slowest tests of these (about a minute
# when nothing fails).
TESTS = [
    "tests/test_tables.py",
    "tests/test_query_knn.py",
    "tests/test_query_radius.py",
    "tests/test_query_batched.py",
    "tests/test_query_behaviour.py",
    "tests/test_epochs.py",
    "tests/test_retire.py",
    "--deselect=tests/test_query_batched.py::test_a_large_k_cuts_blocks_smaller_and_keeps_the_rows",
    "--deselect=tests/test_epochs.py::test_tables_and_epochs_independent_of_thread_count",
    "--deselect=tests/test_epochs.py::test_out_of_memory_leaves_the_index_as_it_was",
    "--deselect=tests/test_query_behaviour.py::test_rows_and_counters_independent_of_thread_count",
]

# (name, file under src/index, text, replacement): the text must occur once.
# Grouped by file, so that a file is rebuilt once per mutant and restored once.
CATALOGUE = [
    # ties and edges of the hash first: probing, top-k admission on both paths, sorting, -0.0
    (
        "margin tie rule",
        "hash/probes.hpp",
        "rank += static_cast<std::size_t>(margins[c] <= m);",
        "rank += static_cast<std::size_t>(margins[c] < m);",
    ),
    ("centre flips down", "hash/probes.hpp", "fracs[j] >= 0.5 ? codes[j] + 1", "fracs[j] > 0.5 ? codes[j] + 1"),
    (
        "margin to the far wall",
        "hash/probes.hpp",
        "margins[j] = std::min(fracs[j], 1.0 - fracs[j]);",
        "margins[j] = std::max(fracs[j], 1.0 - fracs[j]);",
    ),
    ("wrap of cell 0", "hash/probes.hpp", "if (w < 0) w += b;", "if (w <= 0) w += b;"),
    (
        "later equal margin first",
        "hash/probes.hpp",
        "rank += static_cast<std::size_t>(margins[c] < m);",
        "rank += static_cast<std::size_t>(margins[c] <= m);",
    ),
    (
        "one flip too many",
        "hash/probes.hpp",
        "return std::min(ix.k, probes.value_or(ix.probes));",
        "return std::min(ix.k + 1, probes.value_or(ix.probes));",
    ),
    (
        "tie to the larger id",
        "query/topk.hpp",
        "(bits_a == bits_b && id_a < id_b)",
        "(bits_a == bits_b && id_a > id_b)",
    ),
    ("equal distance first", "query/topk.hpp", "return bits_a < bits_b ||", "return bits_a <= bits_b ||"),
    (
        "sift up inverted",
        "query/topk.hpp",
        "if (!before(heap[parent], e)) break;",
        "if (before(heap[parent], e)) break;",
    ),
    (
        "sift down right child",
        "query/topk.hpp",
        "if (right < k && before(worst, heap[right])) {",
        "if (right < k && before(heap[right], worst)) {",
    ),
    (
        "no duplicate scan",
        "query/topk.hpp",
        "    for (std::size_t i = 0; i < len; ++i)\n      if (heap[i].id == id) return;\n",
        "",
    ),
    (
        "admission by distance only",
        "query/topk.hpp",
        "if (!before(bits, id, heap[0].bits, heap[0].id)) return;",
        "if (bits >= heap[0].bits) return;",
    ),
    (
        "per-query admission tie",
        "query/refine.cpp",
        "if (len == k && !before(bits, id, heap[0].bits, heap[0].id)) continue;",
        "if (len == k && bits >= heap[0].bits) continue;",
    ),
    ("per-query exclusion", "query/refine.cpp", "if (id == excluded) continue;", "(void)excluded;"),
    (
        "blocked admission tie",
        "batched/query_block.cpp",
        "(bits == worst_bits && id < worst_id)",
        "(bits == worst_bits && id > worst_id)",
    ),
    (
        "blocked group skip on ties",
        "batched/query_block.cpp",
        "if ((bits[0] > w) & (bits[1] > w) & (bits[2] > w) & (bits[3] > w)) continue;",
        "if ((bits[0] >= w) & (bits[1] >= w) & (bits[2] >= w) & (bits[3] >= w)) continue;",
    ),
    ("blocked exclusion", "batched/query_block.cpp", "if (id == excluded) return;", "(void)excluded;"),
    (
        "blocked groups of three",
        "batched/query_block.cpp",
        "for (; i + 4 <= n; i += 4) {",
        "for (; i + 4 < n; i += 4) {",
    ),
    (
        "comparison sort by key only",
        "tiers/sort_tier.cpp",
        "std::sort(scratch.pairs.begin(), scratch.pairs.end());",
        (
            "std::sort(scratch.pairs.begin(), scratch.pairs.end(),\n"
            "            [](const auto& a, const auto& b) { return a.first < b.first; });"
        ),
    ),
    (
        "-0.0 kept",
        "write/build.cpp",
        "in_unit &= static_cast<int>(!std::signbit(in[i])) & (in[i] < 1.0);",
        "in_unit &= static_cast<int>(in[i] >= 0.0) & (in[i] < 1.0);",
    ),
    # hashing
    ("cap one too high", "hash/keys.hpp", "return code > b - 1 ? b - 1 : code;", "return code > b ? b : code;"),
    ("floor of an integer", "hash/keys.hpp", "return t > x ? t - 1.0 : t;", "return t >= x ? t - 1.0 : t;"),
    ("NaN code", "hash/keys.hpp", "    code = 0;\n  else if", "    code = 1;\n  else if"),
    ("fraction clamp", "hash/keys.cpp", "if (frac > 1.0) frac = 1.0;", "if (frac > 0.5) frac = 0.5;"),
    (
        "query digit order",
        "hash/keys.cpp",
        "key += static_cast<uint64_t>(code) * ix.radix[j];",
        "key += static_cast<uint64_t>(code) * ix.radix[K - 1 - j];",
    ),
    (
        "stored digit order",
        "hash/keys.cpp",
        "key += static_cast<uint64_t>(cell_code(y, ix.b)) * ix.radix[j];",
        "key += static_cast<uint64_t>(cell_code(y, ix.b)) * ix.radix[ix.k - 1 - j];",
    ),
    (
        "vectorised cap",
        "hash/keys_vectorised.cpp",
        "_mm256_set1_pd(static_cast<double>(b - 1))",
        "_mm256_set1_pd(static_cast<double>(b))",
    ),
    (
        "vectorised range test",
        "hash/keys_vectorised.cpp",
        "ok &= (values[i] >= 0.0) & (values[i] < 1.0);",
        "ok &= (values[i] >= 0.0) & (values[i] <= 1.5);",
    ),
    # bucket ranges, gathering, relaxation and the path choice
    (
        "lower bound, last step",
        "tiers/ranges.cpp",
        "if (out[i].end == 1 && b < buckets && keys[b] < key) ++b;",
        "if (out[i].end == 1 && b < buckets && keys[b] <= key) ++b;",
    ),
    (
        "lower bound, halving",
        "tiers/ranges.cpp",
        "pos[i] += keys[pos[i] + half - 1] < static_cast<int64_t>(probes[i].key) ? half : 0;",
        "pos[i] += keys[pos[i] + half - 1] <= static_cast<int64_t>(probes[i].key) ? half : 0;",
    ),
    ("no dedup mark", "query/gather.cpp", "      mark[id] = epoch;\n      out[at++] = id;", "      out[at++] = id;"),
    (
        "directory bucket end",
        "query/gather.cpp",
        "ranges[i] = {at[0], at[1]};",
        "ranges[i] = {at[0], at[1] - (at[1] > at[0])};",
    ),
    (
        "relax level threshold",
        "query/relax.cpp",
        "if (total / 4 >= neighbours) return span;",
        "if (total / 4 > neighbours) return span;",
    ),
    (
        "relax from level 2",
        "query/relax.cpp",
        "for (std::size_t j = 1; j < ix.k; ++j) {",
        "for (std::size_t j = 2; j < ix.k; ++j) {",
    ),
    ("relax without candidates", "query/relax.cpp", "total += c.end - c.start;", "(void)c;"),
    ("relax level enough", "query/relax.cpp", "if (top.len >= need) return;", "if (top.len > need) return;"),
    (
        "need ignores exclusion",
        "knn/knn.cpp",
        "if (q.exclude) available = available > 0 ? available - 1 : 0;",
        "(void)available;",
    ),
    ("blocked path from 65", "knn/knn.cpp", "if (q.m >= 64 && ix.block != 1) {", "if (q.m > 64 && ix.block != 1) {"),
    ("relax when exactly enough", "knn/per_query.cpp", "if (top.len < need) {", "if (top.len <= need) {"),
    # distances and radius
    ("distance term", "query/distance.hpp", "return _mm_min_ps(a, om);", "return _mm_max_ps(a, om);"),
    ("scalar term at a half", "query/distance.hpp", "  return a < om ? a : om;\n}", "  return a <= om ? a : om;\n}"),
    ("radius cutoff exclusive", "query/radius.cpp", "if (dist <= cutoff)", "if (dist < cutoff)"),
    ("radius exclusion", "query/radius.cpp", "if (static_cast<int64_t>(id) == excluded) continue;", "(void)excluded;"),
    (
        "radius prefix sums",
        "query/radius.cpp",
        "for (std::size_t i = 0; i < m; ++i) r.indptr[i + 1] += r.indptr[i];",
        "for (std::size_t i = 0; i + 1 < m; ++i) r.indptr[i + 1] += r.indptr[i];",
    ),
    # writes: sorting, directories, merges, refresh, promotion
    (
        "counting sort starts",
        "tiers/sort_tier.hpp",
        "for (std::size_t c = 0; c < S; ++c) counts[c + 1] += counts[c];",
        "for (std::size_t c = 0; c + 1 < S; ++c) counts[c + 1] += counts[c];",
    ),
    (
        "directory cursor",
        "tiers/directory.cpp",
        "while (p < n && run[p] < static_cast<int64_t>(c)) ++p;",
        "while (p < n && run[p] <= static_cast<int64_t>(c)) ++p;",
    ),
    (
        "directory size rule",
        "tiers/directory.cpp",
        "if (bytes > (uint64_t{1} << 26)) return 0;",
        "if (bytes > (uint64_t{1} << 27)) return 0;",
    ),
    (
        "listed buckets split",
        "tiers/directory.cpp",
        "if (j == 0 || run[j] != run[j - 1]) {",
        "if (j == 0 || run[j] > run[j - 1] + 1) {",
    ),
    (
        "merge takes b first on ties",
        "tiers/merge.hpp",
        "const bool take_a = i < ab.nb && (j == bb.nb || ab.keys[i] <= bb.keys[j]);",
        "const bool take_a = i < ab.nb && (j == bb.nb || ab.keys[i] < bb.keys[j]);",
    ),
    (
        "directory merge order",
        "tiers/merge.hpp",
        "    copy_ids(a, a0, a1, out + o);\n    copy_ids(b, b0, b1, out + o + (a1 - a0));",
        "    copy_ids(b, b0, b1, out + o);\n    copy_ids(a, a0, a1, out + o + (b1 - b0));",
    ),
    (
        "refresh: kept before moved",
        "write/refresh_table.cpp",
        "for (; a < m && moved[a].first <= key; ++a) put(r, o, moved[a].first, moved[a].second);",
        "for (; a < m && moved[a].first < key; ++a) put(r, o, moved[a].first, moved[a].second);",
    ),
    (
        "refresh splice order",
        "write/refresh_table.cpp",
        "    if (a < m && (g == m || at <= gone[g])) {",
        "    if (a < m && (g == m || at < gone[g])) {",
    ),
    ("promote: static count", "write/promote.cpp", "  ix.n_static = N;", "  ix.n_static = N - (N > 0);"),
]

# Faults on the edges of the hash and in the tie rules: with --new, these are
# run against the new tests even when the others kill them, to show that
# the new tests catch each kind on their own.
EDGE_KINDS = {
    "cap one too high",
    "margin tie rule",
    "centre flips down",
    "running best from 0.5",
    "tie to the larger id",
    "admission by distance only",
    "per-query admission tie",
    "blocked admission tie",
    "blocked group skip on ties",
    "comparison sort by key only",
    "-0.0 kept",
}


def run(cmd, timeout, env=None, cwd=ROOT):
    """(passed, seconds, timed out, what failed: the first FAILED line of pytest, or the command)."""
    start = time.monotonic()
    try:
        done = subprocess.run(cmd, cwd=cwd, env=env, timeout=timeout, capture_output=True, text=True, errors="replace")
    except subprocess.TimeoutExpired:
        return False, time.monotonic() - start, True, "timeout"
    failed = [
        line.split(" - ")[0].removeprefix("FAILED ") for line in done.stdout.splitlines() if line.startswith("FAILED ")
    ]
    what = failed[0] if failed else Path(cmd[0]).name if cmd[0] != sys.executable else "crash"
    return done.returncode == 0, time.monotonic() - start, False, what


def build(python):
    """Configures once, then rebuilds what changed; True when it built.
    CMake and Ninja come from the interpreter's environment (the mutation extras)."""
    env = {**os.environ, "PATH": f"{Path(python).parent}{os.pathsep}{os.environ.get('PATH', '')}"}
    if not (BUILD / "build.ninja").exists():
        BUILD.mkdir(parents=True, exist_ok=True)
        subprocess.run(
            [
                "cmake",
                "-S",
                str(SRC_COPY),
                "-B",
                str(BUILD),
                "-G",
                "Ninja",
                "-DCMAKE_BUILD_TYPE=Release",
                f"-DPython_EXECUTABLE={python}",
                f"-DPLOVIK_ENGINE_TESTS_DIR={BUILD}",
            ],
            check=True,
            stdout=subprocess.DEVNULL,
            env=env,
        )
    ok, *_ = run(["cmake", "--build", str(BUILD), "--target", "_native", "engine_tests", "--", "-j2"], 3600, env)
    if ok:
        (PACKAGE / "plovik").mkdir(parents=True, exist_ok=True)
        for so in (PACKAGE / "plovik").glob("_native*.so"):
            so.unlink()
        for so in BUILD.glob("_native*.so"):
            shutil.copy2(so, PACKAGE / "plovik" / so.name)
    return ok


def prepare():
    """A copy of the sources the build reads, and the package the tests import."""
    SRC_COPY.mkdir(parents=True, exist_ok=True)
    for item in ("src", "tests/cpp", "CMakeLists.txt"):
        src, dst = ROOT / item, SRC_COPY / item
        if src.is_dir():
            # copy only what differs, so that a rebuild stays incremental; a
            # file that differs (a run stopped with a mutant in it) gets the
            # time of now, so that what was built from it is rebuilt
            for f in src.rglob("*"):
                if f.is_file():
                    out = dst / f.relative_to(src)
                    if not out.exists() or out.read_bytes() != f.read_bytes():
                        out.parent.mkdir(parents=True, exist_ok=True)
                        shutil.copyfile(f, out)
        elif item == "CMakeLists.txt":
            # -O1 compiles two to three times faster than -O3; without
            # fused or reassociated arithmetic (the flags stay) the results
            # are the same bits, and the unmutated build is checked first.
            text = src.read_text().replace("-O3 -ffp-contract=off", "-O1 -ffp-contract=off")
            if not dst.exists() or dst.read_text() != text:
                dst.write_text(text)
        elif not dst.exists() or dst.read_bytes() != src.read_bytes():
            shutil.copyfile(src, dst)
    pkg = PACKAGE / "plovik"
    pkg.mkdir(parents=True, exist_ok=True)
    for f in (ROOT / "python" / "plovik").iterdir():
        if f.is_file() and f.suffix in (".py", ".pyi", ".typed"):
            shutil.copy2(f, pkg / f.name)


def test(env, python, tests, timeout, engine_tests=True):
    """(passed, seconds, timed out, what failed) of the engine tests and the selection."""
    ok, secs, slow, what = run([str(BUILD / "engine_tests")], timeout) if engine_tests else (True, 0.0, False, "")
    if not ok:
        return ok, secs, slow, what
    ok2, secs2, slow2, what = run(
        [python, "-m", "pytest", "-x", "-q", "-p", "no:cacheprovider", *tests], max(timeout - secs, 1), env
    )
    return ok2, secs + secs2, slow2, what


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--only", nargs="*", help="names of the mutations to run (default: all)")
    ap.add_argument("--skip", nargs="*", default=[], help="names of mutations not to run")
    ap.add_argument("--new", nargs="*", default=[], help="test node ids scored separately (before / after)")
    ap.add_argument("--timeout", type=float, default=600, help="seconds per mutant's tests")
    ap.add_argument("--python", default=str(ROOT / ".venv" / "bin" / "python"))
    args = ap.parse_args()
    python = os.path.abspath(args.python)
    prepare()
    env = {**os.environ, "PYTHONPATH": str(PACKAGE), "CI": "true", "PYTHONDONTWRITEBYTECODE": "1"}
    chosen = [m for m in CATALOGUE if (not args.only or m[0] in args.only) and m[0] not in args.skip]
    names = [m[0] for m in CATALOGUE]
    assert len(set(names)) == len(names), "mutation names must be unique"
    for name, rel, old, _new in chosen:
        count = (ROOT / "src" / "index" / rel).read_text().count(old)
        assert count == 1, f"{name}: the text occurs {count} times in {rel}"

    # The unmutated build must pass, or every mutant would count as killed.
    print(f"baseline build and tests ({len(chosen)} mutants to follow)", flush=True)
    if not build(python):
        sys.exit("the unmutated sources do not build")
    old_tests = [*TESTS] + [f"--deselect={t}" for t in args.new]
    ok, secs, _, what = test(env, python, old_tests, args.timeout)
    if not ok:
        sys.exit(f"the unmutated build fails the selection ({what})")
    print(f"baseline passes in {secs:.0f} s", flush=True)

    results = []
    mutated = None  # the copy's file still holding the previous mutant
    for name, rel, old, new in chosen:
        path = SRC_COPY / "src" / "index" / rel
        original = (ROOT / "src" / "index" / rel).read_text()
        if mutated is not None and mutated != path:
            # restored only now, so that consecutive mutants of one file rebuild it once each
            mutated.write_text((ROOT / mutated.relative_to(SRC_COPY)).read_text())
        path.write_text(original.replace(old, new))
        mutated = path
        start = time.monotonic()
        what = ""
        if not build(python):
            outcome = "killed (build)"
        else:
            ok, secs, slow, what = test(env, python, old_tests, args.timeout)
            outcome = "killed" if not ok else "survived"
            if slow:
                outcome = "killed (timeout)"
            if ok and args.new:
                ok_new, _, _, what = test(env, python, args.new, args.timeout, engine_tests=False)
                outcome = "survived" if ok_new else "killed by new tests only"
            elif args.new and name in EDGE_KINDS:
                ok_new, _, _, new_what = test(env, python, args.new, args.timeout, engine_tests=False)
                what += f"; new tests: {'passed' if ok_new else new_what}"
        results.append((name, rel, outcome))
        by = f" by {what}" if outcome.startswith("killed") else ""
        print(f"{outcome:26} {name} ({rel}){by} {time.monotonic() - start:.0f} s", flush=True)
    if mutated is not None:
        mutated.write_text((ROOT / mutated.relative_to(SRC_COPY)).read_text())
        build(python)  # leaves the copy's build unmutated

    killed = sum(o.startswith("killed") for _, _, o in results)
    new_only = sum(o == "killed by new tests only" for _, _, o in results)
    total = len(results)
    print(f"\nengine mutation score: {killed}/{total} killed ({100 * killed / max(total, 1):.0f}%)")
    if args.new:
        print(f"without the new tests: {killed - new_only}/{total} ({100 * (killed - new_only) / max(total, 1):.0f}%)")
    for name, rel, outcome in results:
        if outcome == "survived":
            print(f"  survived: {name} ({rel})")
    return 0


if __name__ == "__main__":
    sys.exit(main())
