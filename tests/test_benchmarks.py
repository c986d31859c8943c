"""The learner benchmark (benchmarks/bench_learner.py) runs end to end on tiny
shapes with the peers that are installed, and writes well-formed results.
Nothing here looks at how fast anything is."""

import importlib.util
import json
import math
import os
import subprocess
import sys

import pytest

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
SHAPES = ("generated", "ties", "wide", "multiclass")
OURS = ("tarnwick", "tarnwick, linear leaves (d=8)")
PEERS = {"LightGBM": "lightgbm", "XGBoost": "xgboost", "scikit-learn HGB": "sklearn"}
INSTALLED = [name for name, module in PEERS.items() if importlib.util.find_spec(module)]
TURNS = 3


def run_benchmark(*args):
    """Runs the benchmark module with args; its stdout, after checking that it succeeded."""
    proc = subprocess.run(
        [sys.executable, "-m", "benchmarks.bench_learner", *args],
        cwd=ROOT,
        capture_output=True,
        text=True,
    )
    assert proc.returncode == 0, proc.stderr[-3000:]
    return proc.stdout


def bench(tmp_path, *args):
    """Runs the benchmark with args; returns its JSON results and its stdout."""
    out = tmp_path / "results.json"
    stdout = run_benchmark(
        "--quick",
        "--threads",
        "1",
        "--rounds",
        "3",
        "--json",
        str(out),
        "--chart",
        str(tmp_path / "chart.png"),
        *args,
    )
    return json.loads(out.read_text()), stdout


def positive(value):
    return isinstance(value, float) and math.isfinite(value) and value > 0


@pytest.fixture(scope="module")
def timing(tmp_path_factory):
    tmp_path = tmp_path_factory.mktemp("timing")
    doc, stdout = bench(tmp_path, "--rows", "1000", "--turns", str(TURNS))
    return doc, stdout, tmp_path


def test_timing_covers_every_shape_and_learner(timing):
    doc, _, _ = timing
    assert doc["kind"] == "timing"
    assert doc["command"].startswith("python -m benchmarks.bench_learner --quick")
    assert [r["shape"] for r in doc["results"]] == list(SHAPES)
    for r in doc["results"]:
        assert r["threads"] == 1 and r["rows"] == 1000 and r["held_out_rows"] == 500
        assert list(r["learners"]) == list(OURS) + INSTALLED
        assert len(r["load_start"]) == len(r["load_end"]) == 3
        for name, learner in r["learners"].items():
            stat = learner["per_tree"]
            assert len(learner["turn_medians"]) == TURNS, name
            assert stat["min"] <= stat["median"] <= stat["max"], name
            assert stat["min"] == min(learner["turn_medians"]), name
            assert all(positive(t) for t in learner["turn_medians"]), name
            assert positive(learner["metric"]), name
        for name in OURS:
            parts = r["learners"][name]["breakdown"]["parts"]
            assert "build_histograms" in parts and "Python (the rest)" in parts
            assert all(math.isfinite(v) for v in parts.values())
            assert positive(r["learners"][name]["binning_seconds"]["median"])
        if "LightGBM" in INSTALLED:
            assert positive(r["lightgbm_dataset_seconds"]["median"])
        else:
            assert r["lightgbm_dataset_seconds"] is None


def test_timing_tells_what_hgb_gets_as_numeric(timing):
    doc, _, _ = timing
    notes = {r["shape"]: r["notes"] for r in doc["results"]}
    assert notes["generated"] == notes["wide"] == notes["multiclass"] == []
    assert len(notes["ties"]) == 1 and "feature 13" in notes["ties"][0]


def test_timing_prints_tables_and_report_repeats_them(timing):
    doc, stdout, tmp_path = timing
    for heading in ("### Time per tree, ours / peer", "### One-off binning", "### Where tarnwick"):
        assert heading in stdout
    for r in doc["results"]:
        assert r["title"] in stdout
    again = run_benchmark(
        "--report", str(tmp_path / "results.json"), "--chart", str(tmp_path / "again.png")
    )
    assert again.split("\nchart written")[0] == stdout.split("\nchart written")[0]
    if importlib.util.find_spec("matplotlib"):
        assert (tmp_path / "chart.png").stat().st_size > 0
        assert (tmp_path / "again.png").stat().st_size > 0
    # Without --chart a report draws nothing (the committed chart stays).
    plain = run_benchmark("--report", str(tmp_path / "results.json"))
    assert "chart written" not in plain


def test_memory_reports_growth_per_learner(tmp_path):
    doc, stdout = bench(tmp_path, "--memory", "--memory-rows", "2000")
    assert doc["kind"] == "memory"
    assert [r["learner"] for r in doc["results"]] == list(OURS) + INSTALLED
    for r in doc["results"]:
        assert r["rows"] == 2000 and r["threads"] == 1
        assert r["data_mb"] == pytest.approx(2000 * 33 * 8 / 1e6)
        assert positive(r["resident_before_mb"]) and r["growth_mb"] >= 0
        assert isinstance(r["fit_set_peak"], bool)
    assert "2,000 rows: MB" in stdout
