"""The trees of a softmax round grown on worker processes."""

import os
import subprocess

import numpy as np
import pytest
from tarnwick import TarnwickClassifier, TarnwickRegressor, booster, class_trees, losses
from tarnwick.binning import bin_rows, fit_bins
from tarnwick.booster import BoostParams, LeafParams
from tarnwick.grower import GrowParams
from tarnwick.shard import Shard
from tarnwick.splitting import SplitParams


def class_data(n, seed=0):
    rng = np.random.default_rng(seed)
    x = rng.standard_normal((n, 5))
    x[rng.random((n, 5)) < 0.05] = np.nan
    x[:, 4] = rng.integers(0, 9, n)
    z = rng.standard_normal((n, 2))
    score = np.nan_to_num(x[:, 0]) + np.isin(x[:, 4], [2, 5]) + z[:, 0] * (x[:, 4] > 4)
    classes = np.digitize(score + 0.3 * rng.standard_normal(n), [-0.5, 0.5, 1.5])
    return x, z, classes, rng.random(n)


@pytest.fixture
def started(monkeypatch):
    """Workers for every fit with several outputs, on 2 threads; the list of
    the worker processes started."""
    monkeypatch.setenv("RAYON_NUM_THREADS", "2")
    procs = []

    class Recorded(subprocess.Popen):
        def __init__(self, *args, **kwargs):
            super().__init__(*args, **kwargs)
            self.env_threads = kwargs["env"]["RAYON_NUM_THREADS"]
            procs.append(self)

    monkeypatch.setattr(class_trees.subprocess, "Popen", Recorded)
    monkeypatch.setattr(class_trees, "WORKER_MIN_WORK", 0)
    monkeypatch.setattr(class_trees, "WORKER_MIN_ROWS", 0)
    return procs


def saved(model, path):
    model.save(path)
    return path.read_bytes()


@pytest.mark.parametrize(
    "case",
    [
        dict(),
        dict(weighted=True),
        dict(linear=True),
        dict(weighted=True, linear=True, early_stopping=True, validation_fraction=0.2),
        dict(max_depth=3, max_leaf_nodes=None),
        dict(max_features=0.5, subsample=0.7),
        dict(unsplittable=True),
        dict(weighted=True, histogram_sums=True, subsample=0.8),
    ],
)
def test_workers_grow_the_models_of_one_process(started, monkeypatch, tmp_path, case):
    """Bit for bit, through the rounds after which the rows are reordered,
    with weights, categories, an embedding, early stopping, features that
    no split can use left out of the shared rows, and leaves solved from the
    histograms' sums (decided by the fitting process for its workers)."""
    case = dict(case)
    weighted, linear = case.pop("weighted", False), case.pop("linear", False)
    if case.pop("histogram_sums", False):
        monkeypatch.setattr(booster, "HISTOGRAM_SUMS_ROWS", 0)
    x, z, classes, weight = class_data(2500, seed=1)
    categorical = 4
    if case.pop("unsplittable", False):
        constant, rare = np.ones(len(x)), (np.arange(len(x)) < 7).astype(float)
        x = np.column_stack([x[:, :1], constant, rare, x[:, 1:]])
        categorical = 6
    params = dict(max_iter=10, categorical_features=[categorical], min_data_per_group=10)
    params.update(case)
    params.setdefault("early_stopping", False)

    def fit():
        model = TarnwickClassifier(**params, random_state=0)
        model.fit(x, classes, weight if weighted else None, z=z if linear else None)
        return saved(model, tmp_path / "model.npz"), model.predict_proba(x, z=z if linear else None)

    with_workers = fit()
    assert len(started) == 2 and all(p.returncode == 0 for p in started)
    monkeypatch.setattr(class_trees, "WORKER_MIN_WORK", 1 << 62)
    here = fit()
    assert len(started) == 2
    assert with_workers[0] == here[0]
    assert np.array_equal(with_workers[1], here[1])


def test_workers_start_only_where_they_pay(monkeypatch):
    x, _, classes, _ = class_data(40_000)

    def rows(n_out):
        loss = losses.Softmax(n_out) if n_out > 1 else losses.Logistic()
        return Shard(np.zeros((5, 40_000), np.uint16), classes, None, None, loss, 10)

    def wanted(threads, n_out, rounds=100):
        monkeypatch.setenv("RAYON_NUM_THREADS", str(threads))
        return class_trees.wanted(rows(n_out), rounds)

    monkeypatch.setattr(class_trees, "WORKER_MIN_WORK", 40_000 * 5 * 2 * 100)
    assert wanted(4, 2) == 2 and wanted(4, 2, rounds=99) == 0
    assert wanted(4, 1, rounds=10_000) == 0 and wanted(1, 5) == 0
    # A round in one process gains little from a second thread, so even a
    # last wave of one tree leaves workers ahead.
    assert [wanted(2, k) for k in (3, 4, 5, 6, 7, 10)] == [2] * 6
    assert [wanted(4, k) for k in (3, 4, 5, 10)] == [3, 4, 4, 4]
    assert wanted(16, 3) == 3
    # Where threads shorten a tree more, not where a round's last wave
    # leaves workers idle for long.
    monkeypatch.setattr(class_trees, "SERIAL_SHARE", 0.38)
    assert [wanted(2, k) for k in (3, 4, 5, 6, 7, 10)] == [0, 2, 0, 2, 2, 2]
    monkeypatch.setattr(class_trees, "SERIAL_SHARE", 0.6)
    monkeypatch.setattr(class_trees, "WORKER_MIN_ROWS", 40_001)
    assert wanted(4, 4) == 0


@pytest.mark.parametrize(("threads", "classes", "each"), [("2", 4, "1"), ("7", 3, "2")])
def test_workers_share_out_the_threads(started, monkeypatch, threads, classes, each):
    monkeypatch.setenv("RAYON_NUM_THREADS", threads)
    x, _, y, _ = class_data(1000)
    TarnwickClassifier(max_iter=2, early_stopping=False).fit(x, y % classes)
    assert len(started) == min(int(threads), classes)
    assert [p.env_threads for p in started] == [each] * len(started)


def test_a_regressor_starts_no_workers(started):
    x, _, classes, _ = class_data(500)
    TarnwickRegressor(max_iter=3, early_stopping=False).fit(x, classes.astype(float))
    TarnwickClassifier(max_iter=3, early_stopping=False).fit(x, classes > 1)
    assert started == []


def exiting_worker(monkeypatch):
    monkeypatch.setattr(class_trees.sys, "executable", "/bin/false")


def no_shared_memory(monkeypatch):
    def failing(*args):
        raise PermissionError(1, "memfd_create is not allowed here")

    monkeypatch.setattr(class_trees.os, "memfd_create", failing)


@pytest.mark.parametrize(
    ("breaking", "why"),
    [
        (exiting_worker, "a worker ended with exit code 1"),
        (no_shared_memory, "memfd_create is not allowed here"),
    ],
)
def test_workers_that_cannot_start_leave_the_fit_to_this_process(
    started, monkeypatch, tmp_path, breaking, why
):
    x, _, classes, _ = class_data(2000)

    def fit():
        model = TarnwickClassifier(max_iter=4, early_stopping=False)
        return saved(model.fit(x, classes), tmp_path / "model.npz")

    with monkeypatch.context() as broken:
        breaking(broken)
        with pytest.warns(RuntimeWarning, match=f"could not start .*{why}"):
            without_workers = fit()
    assert all(p.returncode is not None for p in started)
    monkeypatch.setattr(class_trees, "WORKER_MIN_WORK", 1 << 62)
    assert without_workers == fit()


def test_shared_memory_that_cannot_be_mapped_leaves_no_descriptor_open(started, monkeypatch):
    def failing(*args):
        raise OSError(12, "cannot map")

    x, _, classes, _ = class_data(2000)
    monkeypatch.setattr(class_trees.mmap, "mmap", failing)
    before = set(os.listdir("/proc/self/fd"))
    with pytest.warns(RuntimeWarning, match="could not start .*cannot map"):
        TarnwickClassifier(max_iter=2, early_stopping=False).fit(x, classes)
    assert set(os.listdir("/proc/self/fd")) <= before
    assert started == []


def test_a_worker_that_dies_ends_the_fit_with_an_error(started, monkeypatch):
    grow_round = class_trees.ClassWorkers.grow_round
    rounds = []

    def killing(self, iteration, *rest):
        rounds.append(iteration)
        if len(rounds) == 3:
            self._procs[0].kill()
            self._procs[0].wait()
        return grow_round(self, iteration, *rest)

    monkeypatch.setattr(class_trees.ClassWorkers, "grow_round", killing)
    x, _, classes, _ = class_data(2000)
    with pytest.raises(RuntimeError, match=r"worker process growing class \d's tree ended"):
        TarnwickClassifier(max_iter=10, early_stopping=False).fit(x, classes)
    assert len(rounds) == 3
    assert all(p.returncode is not None for p in started)


def test_an_interrupted_fit_kills_its_workers(started, monkeypatch):
    grow_round = class_trees.ClassWorkers.grow_round

    def interrupted(self, *args):
        grow_round(self, *args)
        raise KeyboardInterrupt

    monkeypatch.setattr(class_trees.ClassWorkers, "grow_round", interrupted)
    x, _, classes, _ = class_data(2000)
    with pytest.raises(KeyboardInterrupt):
        TarnwickClassifier(max_iter=10, early_stopping=False).fit(x, classes)
    assert len(started) == 2 and all(p.returncode is not None for p in started)


def test_a_failure_in_a_worker_comes_back_with_its_traceback(started):
    x, _, classes, _ = class_data(2000)
    bins = fit_bins(x, np.zeros(5, bool), 255, seed=0)
    loss = losses.Softmax(4)
    rows = Shard(bin_rows(bins, x), classes, None, None, loss, bins.n_bins_max)
    params = BoostParams(
        5,
        GrowParams(15, None, 20),
        SplitParams(20, 0.0, 10.0, 100, 32),
        LeafParams(0.0, 0.1, 0.0, 2),
    )
    with class_trees.class_workers(rows, bins, params) as workers:
        rows.set_scores(loss.init_score(rows.init_sums()))
        rows.compute_gradients()
        assert len(workers.grow_round(0, False)) == 4
        # A class the shard has no gradients for.
        workers.n_outputs = 5
        with pytest.raises(RuntimeError, match=r"(?s)class 4's tree failed.*IndexError"):
            workers.grow_round(1, False)
    assert [p.returncode for p in started] == [0, 0]
