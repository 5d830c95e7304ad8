#!/usr/bin/env python3
"""Mutation testing of the Python package with cosmic-ray: a seeded sample of
the mutants of the code where a wrong answer would hide (the tuning, the
derived results, the validation of a saved search when it is loaded, the
merges of the sharded search, the scikit-learn transformer), each run
against the tests of its module.

    scripts/python-mutation.py [--sample N] [--seed S] [--timeout S]

The package is copied into build/mutation/python with the installed
extension beside it and mutated there; the tests import it through
PYTHONPATH, so the working tree is never changed. One cosmic-ray session per
module; mutants outside the functions named below are skipped, and so are
those inside annotations (the modules postpone their evaluation, so such a
mutant cannot change anything); of the rest a sample of N (default 300),
drawn with the seed, is run. With --resume, the sessions of a run that
was stopped go on where they stopped (same sample, same staged package);
with --rerun-survivors, the mutants that survived are run again against
the tests as they are now (to score new tests on the same sample). Prints the
score and the surviving mutants (the full report: build/mutation/python-report.txt).
"""

import argparse
import ast
import os
import random
import shutil
import subprocess
import sys
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
WORK = ROOT / "build" / "mutation"
PACKAGE = WORK / "python"

# module: (functions whose mutants are kept, or None for the whole module; the tests run)
REGIONS = {
    # the slowest tuning tests (recall reached on clustered data, growth)
    # are left out: the others reach the same code
    "tuning": (None, ["tests/test_tuning.py", "-k", "not clustered and not growth"]),
    "results": (None, ["tests/test_outputs.py", "tests/test_search.py"]),
    "persist": (
        [
            "_bad",
            "_get",
            "_typed",
            "_read_manifest",
            "_settings",
            "_seed",
            "_tuning",
            "_index_scalars",
            "_npy_header_of",
            "_ArrayFile",
            "_read_arrays",
            "_load",
        ],
        ["tests/test_persist.py"],
    ),
    "distributed": (
        ["_pieces", "_blocks", "_add_range", "merge_knn", "merge_radius"],
        ["tests/test_distributed.py", "-k", "epochs_match or tuned_parameters or relaxed or merges or blocks"],
    ),
    "sklearn": (None, ["tests/test_sklearn.py"]),
}


def stage(python):
    """The package's sources and the installed extension, in PACKAGE/plovik."""
    installed = subprocess.run(
        [python, "-c", "import plovik._native as n; print(n.__file__)"],
        check=True,
        capture_output=True,
        text=True,
        cwd="/",
    ).stdout.strip()
    pkg = PACKAGE / "plovik"
    shutil.rmtree(pkg, ignore_errors=True)
    pkg.mkdir(parents=True)
    for f in (ROOT / "python" / "plovik").iterdir():
        if f.is_file():
            shutil.copy2(f, pkg / f.name)
    shutil.copy2(installed, pkg / Path(installed).name)


def line_ranges(path, names):
    """The lines of the named top-level functions and classes."""
    tree = ast.parse(path.read_text())
    return [
        (node.lineno, node.end_lineno)
        for node in tree.body
        if isinstance(node, (ast.FunctionDef, ast.ClassDef)) and node.name in names
    ]


def annotation_spans(path):
    """(start, end) positions, as (line, column), of every annotation in the file."""
    spans = []
    for node in ast.walk(ast.parse(path.read_text())):
        parts = []
        if isinstance(node, (ast.FunctionDef, ast.AsyncFunctionDef)):
            parts.append(node.returns)
            a = node.args
            parts += [x.annotation for x in [*a.posonlyargs, *a.args, *a.kwonlyargs, a.vararg, a.kwarg] if x]
        elif isinstance(node, ast.AnnAssign):
            parts.append(node.annotation)
        spans += [((p.lineno, p.col_offset), (p.end_lineno, p.end_col_offset)) for p in parts if p is not None]
    return spans


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--sample", type=int, default=300)
    ap.add_argument("--seed", type=int, default=1)
    ap.add_argument("--timeout", type=float, default=180.0, help="seconds per mutant")
    ap.add_argument("--modules", nargs="*", default=list(REGIONS))
    ap.add_argument("--python", default=str(ROOT / ".venv" / "bin" / "python"))
    ap.add_argument("--report", action="store_true", help="only report the sessions of the last run")
    ap.add_argument("--resume", action="store_true", help="go on with the sessions of a stopped run")
    ap.add_argument("--rerun-survivors", action="store_true", help="run the surviving mutants again")
    args = ap.parse_args()
    python = os.path.abspath(args.python)
    from cosmic_ray.work_db import WorkDB, use_db
    from cosmic_ray.work_item import WorkerOutcome, WorkResult

    if args.report:
        return report(args, {m: WORK / f"python-{m}.sqlite" for m in args.modules})
    env = {**os.environ, "PYTHONPATH": str(PACKAGE), "CI": "true", "PYTHONDONTWRITEBYTECODE": "1"}
    bindir = str(Path(python).parent)
    env["PATH"] = bindir + os.pathsep + env.get("PATH", "")
    if args.resume or args.rerun_survivors:
        sessions = {m: (WORK / f"python-{m}.toml", WORK / f"python-{m}.sqlite", None) for m in args.modules}
        if args.rerun_survivors:
            import sqlite3

            for _, session, _ in sessions.values():
                with sqlite3.connect(session) as db:  # a mutant without a result is pending again
                    db.execute("DELETE FROM work_results WHERE test_outcome = 'SURVIVED'")
        return execute(args, python, env, bindir, sessions)
    stage(python)
    sessions = {}
    for module in args.modules:
        names, tests = REGIONS[module]
        target = PACKAGE / "plovik" / f"{module}.py"
        config = WORK / f"python-{module}.toml"
        session = WORK / f"python-{module}.sqlite"
        session.unlink(missing_ok=True)
        command = " ".join(
            [
                python,
                "-m",
                "pytest",
                "-x",
                "-q",
                "-p",
                "no:cacheprovider",
                *[f'"{t}"' if " " in t else t for t in tests],
            ]
        )
        config.write_text(
            "[cosmic-ray]\n"
            f'module-path = "{target}"\n'
            f"timeout = {args.timeout}\n"
            "excluded-modules = []\n"
            f"test-command = '{command}'\n"
            "[cosmic-ray.distributor]\n"
            'name = "local"\n'
        )
        subprocess.run([bindir + "/cosmic-ray", "init", str(config), str(session)], check=True, env=env, cwd=ROOT)
        sessions[module] = (
            config,
            session,
            None if names is None else line_ranges(target, names),
            annotation_spans(target),
        )

    # Keep the mutants inside the chosen functions, then a seeded sample of them.
    skipped = WorkResult(worker_outcome=WorkerOutcome.SKIPPED)
    candidates = []
    for module, (_, session, ranges, spans) in sessions.items():
        with use_db(str(session), WorkDB.Mode.open) as db:
            for item in db.pending_work_items:
                pos = tuple(item.mutations[0].start_pos)
                line = pos[0]
                if any(a <= pos < b for a, b in spans):
                    continue
                if ranges is None or any(a <= line <= b for a, b in ranges):
                    mutation = item.mutations[0]  # job ids are random: sampled in the order of the code
                    candidates.append(
                        ((module, mutation.start_pos, mutation.operator_name, mutation.occurrence), item.job_id)
                    )
    rng = random.Random(args.seed)
    chosen = {(key[0], job) for key, job in rng.sample(sorted(candidates), min(args.sample, len(candidates)))}
    per_module = {}
    for module, (_, session, _, _) in sessions.items():
        with use_db(str(session), WorkDB.Mode.open) as db:
            # one transaction for all the skipped mutants of a session
            db.set_multiple_results(
                [item.job_id for item in db.pending_work_items if (module, item.job_id) not in chosen], skipped
            )
        per_module[module] = sum(m == module for m, _ in chosen)
    print(
        f"{len(candidates)} mutants in the chosen code; running {len(chosen)}: "
        + ", ".join(f"{m} {c}" for m, c in per_module.items()),
        flush=True,
    )

    return execute(args, python, env, bindir, sessions)


def execute(args, python, env, bindir, sessions):
    """Run the pending mutants of each session, then report."""
    for module, (config, session, *_) in sessions.items():
        # Unmutated, the tests must pass, or every mutant would count as killed.
        tests = REGIONS[module][1]
        if (
            subprocess.run(
                [python, "-m", "pytest", "-x", "-q", "-p", "no:cacheprovider", *tests],
                env=env,
                cwd=ROOT,
                stdout=subprocess.DEVNULL,
            ).returncode
            != 0
        ):
            sys.exit(f"the tests of {module} fail without a mutant")
        subprocess.run([bindir + "/cosmic-ray", "exec", str(config), str(session)], check=True, env=env, cwd=ROOT)

    return report(args, {m: session for m, (_, session, *_) in sessions.items()})


def report(args, sessions):
    """The score: killed (a test failed, or the tests timed out) over all run."""
    from cosmic_ray.work_db import WorkDB, use_db
    from cosmic_ray.work_item import TestOutcome, WorkerOutcome

    lines, counts = [], {"killed": 0, "survived": 0, "incompetent": 0}
    for module, session in sessions.items():
        if not session.exists():
            continue
        with use_db(str(session), WorkDB.Mode.open) as db:
            for item, result in db.completed_work_items:
                if result.worker_outcome == WorkerOutcome.SKIPPED:
                    continue
                mutation = item.mutations[0]
                where = f"{module}.py:{mutation.start_pos[0]} {mutation.operator_name} #{mutation.occurrence}"
                if result.worker_outcome == WorkerOutcome.ABNORMAL or result.test_outcome == TestOutcome.KILLED:
                    counts["killed"] += 1
                    outcome = "killed"
                elif result.test_outcome == TestOutcome.INCOMPETENT:
                    counts["incompetent"] += 1
                    outcome = "incompetent"
                else:
                    counts["survived"] += 1
                    outcome = "survived"
                diff = [
                    d for d in (result.diff or "").splitlines()[2:] if d[:1] in "-+" and d[:3] not in ("---", "+++")
                ]
                lines.append("\n".join([f"{outcome:12} {where}", *("    " + d for d in diff)]))
    valid = counts["killed"] + counts["survived"]
    summary = (
        f"python mutation score: {counts['killed']}/{valid} killed "
        f"({100 * counts['killed'] / max(valid, 1):.0f}%), {counts['incompetent']} incompetent "
        f"(the mutant does not import or run), seed {args.seed}"
    )
    report = WORK / "python-report.txt"
    report.write_text("\n".join([summary, *sorted(lines)]) + "\n")
    print(summary)
    print("\n".join(line for line in sorted(lines) if line.startswith("survived")))
    return 0


if __name__ == "__main__":
    sys.exit(main())
