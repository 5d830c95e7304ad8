"""The distance and recall helpers, and the two commands (`demo`, `bench`) run end
to end on tiny sizes. No timing is asserted."""

import importlib.metadata
import io
import json
import shlex
import subprocess
import sys

import numpy as np
import pytest

import plovik
from plovik.__main__ import main, parser
from plovik.bench import run_bench
from plovik.datasets import SHAPES
from plovik.demo import run_demo
from plovik.exact import recall_at_k, torus_l1


def test_torus_l1_wraps_both_ways_and_recall():
    assert torus_l1([0.05, 0.5], [0.95, 0.0]) == pytest.approx(0.1 + 0.5) and torus_l1([1.25], [0.25]) == 0.0
    assert torus_l1([-0.1], [0.1]) == pytest.approx(0.2)
    exact = np.array([[1, 2, 3], [4, 5, -1]])
    assert recall_at_k(exact, exact) == 1.0 and recall_at_k([[3, 9, 1], [-1, -1, -1]], exact) == pytest.approx(2 / 5)
    assert recall_at_k(np.zeros((0, 3)), np.zeros((0, 3))) == 1.0
    with pytest.raises(ValueError, match="found has 1 rows but exact has 2"):
        recall_at_k([[1, 2, 3]], exact)


TINY_DEMO = dict(archive=3000, population=300, d=6, k=5, epochs=3, seed=4, recall_sample=15)


def test_demo_runs_the_epochs_alike_on_both_backends():
    results = []
    for backend in ("native", "reference"):
        out = io.StringIO()
        result = run_demo(**TINY_DEMO, backend=backend, progress=False, out=out)
        # every epoch archived its population and installed the next one
        assert result.n_static == 3000 + 3 * 300 and result.n_points == 3000 + 4 * 300
        assert result.calls == {"build": 1, "update": 3, "query_knn": 3, "exact search (sample)": 3, "promote": 3}
        assert result.rows["query_knn"] == 900
        # the self-exclusion and the id bookkeeping hold, or recall would collapse
        assert result.recall_queries == 45 and result.recall >= 0.95
        assert len(result.density_per_epoch) == 3 and all(v > 0 for v in result.density_per_epoch)
        for line in ("epoch 3/3", "query_knn", "promote", "recall@5 against exact search"):
            assert line in out.getvalue()
        results.append((result.recall_per_epoch, result.density_per_epoch))
    assert results[0] == results[1]
    # no epochs: no recall
    result = run_demo(archive=10, population=5, d=2, epochs=0, progress=False, out=io.StringIO())
    assert result.n_points == 15 and result.recall_queries == 0


def test_demo_progress_bar_and_command_line(capsys):
    pytest.importorskip("tqdm")
    assert main(shlex.split("demo --archive 500 --population 80 --dim 3 --epochs 2 --k 4 --recall-sample 5")) == 0
    captured = capsys.readouterr()
    assert "epochs: 100%" in captured.out  # the tqdm bar, drawn on the report's stream
    assert "recall@4 against exact search" in captured.out


BAD_DEMO = "--population 0|--k -1|--backend gpu|--step -0.1|--step nan"
BAD_BENCH = "--n 10 --static 11|--tables 8,x|--tables 0,4|--scenario 4,7,32|--shapes cubes|--shapes periodic-liquid-d=3"


@pytest.mark.parametrize(
    "argv", [f"demo {a}" for a in BAD_DEMO.split("|")] + [f"bench {a}" for a in BAD_BENCH.split("|")] + ["nothing"]
)
def test_bad_options_exit_with_usage(argv, capsys):
    with pytest.raises(SystemExit) as exc:
        main(argv.split())
    assert exc.value.code == 2 and "usage: python -m plovik" in capsys.readouterr().err


def test_module_entry_point_and_version():
    argv = shlex.split("demo --archive 200 --population 20 --dim 2 --epochs 1 --no-progress")
    done = subprocess.run([sys.executable, "-m", "plovik", *argv], capture_output=True, text=True, timeout=120)
    assert done.returncode == 0, done.stderr
    assert "epoch 1/1" in done.stdout
    # one version, the installed metadata's, behind both spellings
    version = importlib.metadata.version("plovik")
    assert plovik.__version__ == version and version[0].isdigit()
    done = subprocess.run([sys.executable, "-m", "plovik", "--version"], capture_output=True, text=True, timeout=60)
    assert done.returncode == 0 and done.stdout.strip() == f"plovik {version}"


def test_bench_tiny_run_writes_json_markdown_and_plot(tmp_path):
    out = io.StringIO()
    shapes = ("clustered-tight-d16", "periodic liquid d=3")  # a key and the old spelling
    sizes = dict(n=3000, n_static=2400, d=8, scenario=(3, 4, 32, 4), queries=150, exact_queries=40, shape_n=1500)
    sweep = dict(reference_queries=70, shape_queries=60, shapes=shapes, tables=(2, 6), probes=(0, 3), repeats=1)
    results = run_bench(**sizes, **sweep, out_dir=tmp_path, out=out)
    saved = json.loads((tmp_path / "bench.json").read_text())
    assert saved == json.loads(json.dumps(results))
    assert saved["reference"]["rows_identical"] is True and saved["exact"]["queries"] == 40
    assert 0.9 <= saved["native"]["recall"] <= 1.0 and 0.0 <= saved["defaults"]["recall"] <= 1.0
    assert [s["name"] for s in saved["shapes"]] == ["clustered tight d=16", "periodic liquid d=3"]
    for shape in saved["shapes"]:
        assert {(r["tables"], r["probes"]) for r in shape["sweep"]} <= {(2, 0), (2, 3), (6, 0), (6, 3)}
        assert all(0.0 <= r["recall"] <= 1.0 and r["qps"] > 0 for r in shape["sweep"])
        assert shape["tuned"]["qps"] > 0 and shape["exact_scan"]["qps"] > 0
        assert shape["kd_tree"] is None or shape["kd_tree"]["qps"] > 0  # None without SciPy
        assert shape["tuned"]["plain_build_s"] > 0 and shape["tuned"]["every_point_s"] > 0
    markdown = (tmp_path / "bench.md").read_text()
    assert "| shape | tuning s | plain build s |" in markdown
    assert "| native, batched path |" in markdown and "| periodic liquid d=3 |" in markdown
    assert "b = 3, K = 4, L = 32, probes = 4" in markdown
    assert markdown in out.getvalue() and (tmp_path / "bench.png").read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"


def test_every_data_shape_is_reproducible_and_on_the_torus():
    keys = [shape.key for shape in SHAPES.values()]
    assert len(set(keys)) == len(SHAPES) and not any(set(" =") & set(key) for key in keys)
    given = parser().parse_args(["bench", "--shapes", "periodic-liquid-d3,uniform d=4"]).shapes
    assert given == ("periodic liquid d=3", "uniform d=4")
    for shape in SHAPES.values():
        a, b = (shape.points(np.random.default_rng(1), 500) for _ in range(2))
        q = shape.queries(np.random.default_rng(2), 50)
        assert a.shape == (500, shape.d) and q.shape == (50, shape.d) and np.array_equal(a, b)
        assert all(((x >= 0.0) & (x < 1.0)).all() for x in (a, q)), shape.name


@pytest.mark.parametrize("where", ["positional", "--out", "default"])
def test_bench_command_line_without_reference_and_plot(tmp_path, capsys, monkeypatch, where):
    argv = shlex.split(
        "bench --n 1500 --dim 4 --scenario 5,3,8,2 --queries 80 --exact-queries 20 --shapes none "
        "--repeats 1 --no-reference --no-plot"
    )
    monkeypatch.chdir(tmp_path)
    folder = tmp_path / ("plovik-bench" if where == "default" else "new/results")
    extra = {"positional": ["new/results"], "--out": ["--out", "new/results"], "default": []}[where]
    assert main([*argv, *extra]) == 0
    saved = json.loads((folder / "bench.json").read_text())
    assert "reference" not in saved and saved["shapes"] == []
    assert saved["scenario"]["n_static"] == 1200 and saved["scenario"]["cells"] == 5
    assert not (folder / "bench.png").exists()
    printed = capsys.readouterr().out
    assert "| exact: " in printed and printed.rstrip().endswith(f"results written to {folder}: bench.json, bench.md")


def test_bench_refuses_a_file_or_two_folders_as_output(tmp_path, capsys):
    (tmp_path / "taken").write_text("")
    for extra in ([str(tmp_path / "taken")], ["a", "--out", "b"]):
        with pytest.raises(SystemExit):
            main(["bench", "--n", "10", *extra])
    err = capsys.readouterr().err
    assert "exists and is not a folder" in err and "two output folders given" in err
