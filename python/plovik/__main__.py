"""Command line: ``python -m plovik demo`` and ``python -m plovik bench``."""

from __future__ import annotations

import argparse
import sys
from pathlib import Path

from plovik.bench_shapes import SWEEP_PROBES, SWEEP_TABLES
from plovik.datasets import SHAPES, find_shape

#: Where ``python -m plovik bench`` writes when given no folder (relative to
#: the current directory).
DEFAULT_BENCH_OUT = "plovik-bench"


def _positive(text: str) -> int:
    value = int(text)
    if value < 1:
        raise argparse.ArgumentTypeError(f"must be at least 1, got {value}")
    return value


def _count(text: str) -> int:
    value = int(text)
    if value < 0:
        raise argparse.ArgumentTypeError(f"must be at least 0, got {value}")
    return value


def _non_negative(text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"expected a number, got {text!r}") from None
    if not value >= 0.0 or value == float("inf"):
        raise argparse.ArgumentTypeError(f"must be finite and at least 0, got {text}")
    return value


def _int_list(text: str) -> tuple[int, ...]:
    try:
        values = tuple(int(v) for v in text.split(","))
    except ValueError:
        raise argparse.ArgumentTypeError(f"expected comma-separated integers, got {text!r}") from None
    if any(v < 0 for v in values):
        raise argparse.ArgumentTypeError(f"expected non-negative integers, got {text!r}")
    return values


def _names(text: str) -> tuple[str, ...]:
    if text.strip().lower() == "none":
        return ()
    names = []
    for name in text.split(","):
        try:  # a key (periodic-liquid-d3) or the name with spaces (periodic liquid d=3)
            names.append(find_shape(name.strip()).name)
        except KeyError as exc:
            raise argparse.ArgumentTypeError(exc.args[0]) from None
    return tuple(names)


def parser() -> argparse.ArgumentParser:
    """The argument parser of ``python -m plovik``."""
    from plovik import __version__

    ap = argparse.ArgumentParser(prog="python -m plovik", description="Toroidal-L1 nearest-neighbour search.")
    ap.add_argument("--version", action="version", version=f"plovik {__version__}")
    sub = ap.add_subparsers(dest="command", required=True)

    demo = sub.add_parser(
        "demo",
        help="run an epoch workload with a progress bar, then report timings and recall",
        description="An archive and a moving population on the torus; each epoch every "
        "candidate's k nearest neighbours give it a density score.",
    )
    demo.add_argument("--archive", type=_count, default=100_000, help="initial static points (default 100,000)")
    demo.add_argument("--population", type=_positive, default=10_000, help="candidates per epoch (default 10,000)")
    demo.add_argument("--dim", type=_positive, default=16, help="dimension d (default 16)")
    demo.add_argument("--k", type=_positive, default=10, help="neighbours per candidate (default 10)")
    demo.add_argument("--epochs", type=_count, default=10, help="epochs (default 10)")
    demo.add_argument("--seed", type=_count, default=0, help="seed of data and hash (default 0)")
    demo.add_argument(
        "--step",
        type=_non_negative,
        default=0.05,
        help="standard deviation of a step or an offspring's offset, per coordinate (default 0.05)",
    )
    demo.add_argument(
        "--recall-sample", type=_count, default=20, help="queries per epoch checked against exact search (default 20)"
    )
    demo.add_argument("--backend", choices=("auto", "native", "reference"), default="auto")
    demo.add_argument("--no-progress", action="store_true", help="print one line per epoch instead of a bar")

    bench = sub.add_parser("bench", help="measure native, reference and exact search; write JSON, Markdown, PNG")
    bench.add_argument("--n", type=_positive, default=1_000_000, help="points (default 1,000,000)")
    bench.add_argument("--static", type=_count, default=None, help="static points (default 80%% of n)")
    bench.add_argument("--dim", type=_positive, default=16, help="dimension of the main scenario (default 16)")
    bench.add_argument(
        "--scenario",
        type=_int_list,
        default=(4, 7, 32, 4),
        help="cells,components,tables,probes of the main scenario (default 4,7,32,4)",
    )
    bench.add_argument("--queries", type=_positive, default=10_000, help="queries m (default 10,000)")
    bench.add_argument("--k", type=_positive, default=10)
    bench.add_argument(
        "--exact-queries", type=_positive, default=300, help="queries answered exactly for recall (default 300)"
    )
    bench.add_argument(
        "--reference-queries", type=_positive, default=200, help="queries answered by the NumPy reference (default 200)"
    )
    bench.add_argument("--shape-n", type=_positive, default=200_000, help="points of each data shape (default 200,000)")
    bench.add_argument(
        "--shape-queries", type=_positive, default=2_000, help="fresh queries of each data shape (default 2,000)"
    )
    bench.add_argument(
        "--shapes",
        type=_names,
        default=None,
        help="comma-separated data shapes to run, or 'none' (default all: "
        + ",".join(s.key for s in SHAPES.values())
        + ")",
    )
    bench.add_argument(
        "--tables",
        type=_int_list,
        default=SWEEP_TABLES,
        help="tables of each shape's sweep (default " + ",".join(map(str, SWEEP_TABLES)) + ")",
    )
    bench.add_argument(
        "--probes",
        type=_int_list,
        default=SWEEP_PROBES,
        help="probes of each shape's sweep (default " + ",".join(map(str, SWEEP_PROBES)) + ")",
    )
    bench.add_argument(
        "--repeats", type=_positive, default=5, help="runs per native timing; the fastest counts (default 5)"
    )
    bench.add_argument("--no-reference", action="store_true", help="skip the NumPy reference")
    bench.add_argument("--no-plot", action="store_true", help="skip the PNG plot")
    bench.add_argument("--seed", type=_count, default=20261206)
    bench.add_argument(
        "out",
        nargs="?",
        default=None,
        metavar="OUT",
        help=f"folder for bench.json, bench.md and bench.png, made if missing (default ./{DEFAULT_BENCH_OUT})",
    )
    bench.add_argument("--out", dest="out_option", default=None, metavar="OUT", help="the same as OUT")
    return ap


def main(argv: list[str] | None = None) -> int:
    """Run a command; returns the process exit status."""
    args = parser().parse_args(argv)
    if args.command == "demo":
        from plovik.demo import run_demo

        run_demo(
            archive=args.archive,
            population=args.population,
            d=args.dim,
            k=args.k,
            epochs=args.epochs,
            seed=args.seed,
            step=args.step,
            recall_sample=args.recall_sample,
            backend=args.backend,
            progress=not args.no_progress,
        )
    else:
        from plovik.bench import run_bench

        if args.static is not None and args.static > args.n:
            parser().error(f"--static ({args.static}) exceeds --n ({args.n})")
        if min(args.tables) < 1:
            parser().error("--tables must all be at least 1")
        if len(args.scenario) != 4 or min(args.scenario[:3]) < 1:
            parser().error("--scenario takes four integers: cells, components, tables (all >= 1) and probes")
        if args.out is not None and args.out_option is not None and args.out != args.out_option:
            parser().error(f"two output folders given: {args.out} and --out {args.out_option}")
        out_dir = Path(args.out or args.out_option or DEFAULT_BENCH_OUT)
        if out_dir.exists() and not out_dir.is_dir():
            parser().error(f"the output folder {out_dir} exists and is not a folder")
        run_bench(
            n=args.n,
            n_static=args.static,
            d=args.dim,
            scenario=args.scenario,
            queries=args.queries,
            k=args.k,
            exact_queries=args.exact_queries,
            reference_queries=args.reference_queries,
            shape_n=args.shape_n,
            shape_queries=args.shape_queries,
            shapes=args.shapes,
            tables=args.tables,
            probes=args.probes,
            repeats=args.repeats,
            reference=not args.no_reference,
            plot=not args.no_plot,
            seed=args.seed,
            out_dir=out_dir,
        )
    return 0


if __name__ == "__main__":
    sys.exit(main())
