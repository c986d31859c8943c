"""The Dask estimators on LocalClusters of worker processes: the model file
is the same for any number of workers and native threads, and with one
partition it is the single-process model; predictions on Dask collections;
bad input; a worker killed during a fit."""

import os
import pickle
import signal
import threading
import time

import numpy as np
import pandas as pd
import pytest
from support import same_bits

pytest.importorskip("distributed")

import dask  # noqa: E402
import dask.array as da  # noqa: E402
import dask.dataframe as dd  # noqa: E402
from distributed import Client, LocalCluster  # noqa: E402
from tarnwick import TarnwickClassifier, TarnwickRegressor, booster, load_model  # noqa: E402
from tarnwick.dask import (  # noqa: E402
    DaskTarnwickClassifier,
    DaskTarnwickRegressor,
    WorkerLostError,
)
from tarnwick.dask import load_model as load_dask_model  # noqa: E402
from tarnwick.model_file import model_arrays  # noqa: E402

# Uneven partitions, so that no two partitions are alike.
SIZES = (300, 450, 150, 300)
PARAMS = dict(
    max_iter=6, max_leaf_nodes=8, min_samples_leaf=10, random_state=0, early_stopping=False
)


def start_cluster(n_workers, pool_threads):
    # Without work stealing, a task runs where its data are: partition i
    # stays on the worker it was scattered to, which the tests count on.
    with dask.config.set({"distributed.scheduler.work-stealing": False}):
        return LocalCluster(
            n_workers=n_workers,
            threads_per_worker=1,
            processes=True,
            dashboard_address=None,
            env={"RAYON_NUM_THREADS": str(pool_threads)},
        )


@pytest.fixture(scope="module")
def client():
    """Three workers of one thread, each with a native pool of one thread."""
    with start_cluster(3, 1) as cluster, Client(cluster, set_as_default=False) as c:
        yield c


@pytest.fixture(scope="module")
def client_two_threads():
    """Two workers of one thread, each with a native pool of two threads."""
    with start_cluster(2, 2) as cluster, Client(cluster, set_as_default=False) as c:
        yield c


def workers_of(client):
    return sorted(client.scheduler_info(n_workers=-1)["workers"])


def cuts(n, sizes):
    """Row slices of partitions in the proportions sizes, n rows in all."""
    bounds = np.round(np.cumsum((0, *sizes)) * n / sum(sizes)).astype(int)
    return [slice(a, b) for a, b in zip(bounds[:-1], bounds[1:])]


def placed(client, n_workers, pieces):
    """The pieces (arrays or frames), piece i scattered to worker i mod n_workers."""
    workers = workers_of(client)[:n_workers]
    return [
        client.scatter(p, workers=[workers[i % n_workers]], hash=False)
        for i, p in enumerate(pieces)
    ]


def dask_array(client, n_workers, a, sizes=SIZES):
    pieces = [a[s] for s in cuts(len(a), sizes)]
    futures = placed(client, n_workers, pieces)
    return da.concatenate([da.from_delayed(f, p.shape, p.dtype) for f, p in zip(futures, pieces)])


def dask_frame(client, n_workers, frame, sizes=SIZES):
    pieces = [frame.iloc[s] for s in cuts(len(frame), sizes)]
    return dd.from_delayed(placed(client, n_workers, pieces), meta=frame.iloc[:0])


def dask_series(client, n_workers, values, sizes=SIZES):
    return dask_frame(client, n_workers, pd.Series(values, name="v").to_frame(), sizes)["v"]


def model_bytes(model):
    """Every array of the fitted model's file, as (dtype, shape, bytes)."""
    local = model.to_local() if hasattr(model, "to_local") else model
    return {
        name: (a.dtype.str, a.shape, a.tobytes())
        for name, a in ((n, np.asarray(v)) for n, v in model_arrays(local).items())
    }


def regression_data(n=1200, seed=0):
    rng = np.random.default_rng(seed)
    x = rng.standard_normal((n, 5))
    x[rng.random((n, 5)) < 0.05] = np.nan
    y = 2.0 * np.nan_to_num(x[:, 0]) + np.sin(np.nan_to_num(x[:, 1]) * 2)
    # A few infinities, values past every finite one.
    x[rng.random((n, 5)) < 0.01] *= np.inf
    return x, y + 0.3 * rng.standard_normal(n)


def task_data(task):
    """(estimator class, x, y) of a task."""
    x, y = regression_data()
    if task == "regression":
        return DaskTarnwickRegressor, x, y
    if task == "binary":
        return DaskTarnwickClassifier, x, np.where(y > 0, "yes", "no")
    if task == "counts":
        return DaskTarnwickRegressor, x, np.random.default_rng(1).poisson(np.exp(y / 3))
    if task == "positive":
        return DaskTarnwickRegressor, x, np.exp(y / 3)
    return DaskTarnwickClassifier, x, np.digitize(y, [-1.0, 0.5, 2.0])


def frame_data(n=1200, seed=0):
    """A DataFrame with a string category column, an integer category column
    and two numeric ones; a target that depends on all; sample weights with
    zeros among them."""
    rng = np.random.default_rng(seed)
    colour = rng.choice(["red", "green", "blue", "grey"], n)
    size = rng.integers(0, 6, n)
    frame = pd.DataFrame(
        {
            "width": rng.standard_normal(n),
            "colour": pd.Categorical(colour),
            "size": pd.Categorical(size),
            "height": rng.standard_normal(n),
        }
    )
    y = (
        np.where(colour == "red", 3.0, 0.0)
        + np.where(np.isin(size, [1, 4]), -2.0, 0.0)
        + frame["width"].to_numpy()
        + 0.1 * rng.standard_normal(n)
    )
    frame.loc[rng.random(n) < 0.05, "colour"] = np.nan
    weight = rng.choice([0.0, 0.5, 1.0, 2.0], n)
    return frame, y, weight


FRAME_PARAMS = dict(PARAMS, min_data_per_group=5, linear_features=["width"])


# ------------------------------------------------------------ determinism


@pytest.mark.parametrize("task", ["regression", "binary", "multiclass"])
@pytest.mark.parametrize("leaves", ["constant", "linear", "drawn rows", "histogram sums"])
def test_model_is_the_same_for_any_number_of_workers_and_threads(
    client, client_two_threads, monkeypatch, task, leaves
):
    cls, x, y = task_data(task)
    params = dict(PARAMS, linear_features=[0, 2] if leaves == "linear" else None)
    if leaves == "drawn rows":
        params.update(subsample=0.6, max_features=0.8)
    if leaves == "histogram sums":
        # The client solves the leaves from the histograms' sums alone.
        monkeypatch.setattr(booster, "HISTOGRAM_SUMS_ROWS", 0)
    models = []
    for c, n_workers in ((client, 1), (client, 2), (client, 3), (client_two_threads, 2)):
        model = cls(client=c, **params).fit(
            dask_array(c, n_workers, x), dask_array(c, n_workers, y)
        )
        assert (model.traffic_["partitions"], model.traffic_["workers"]) == (4, n_workers)
        models.append(model_bytes(model))
    assert all(m == models[0] for m in models[1:])


def test_frames_with_categories_and_weights_give_the_same_model_on_any_workers(
    client, client_two_threads
):
    frame, y, weight = frame_data()
    models = []
    for c, n_workers in ((client, 1), (client, 3), (client_two_threads, 2)):
        model = DaskTarnwickRegressor(client=c, **FRAME_PARAMS).fit(
            dask_frame(c, n_workers, frame),
            dask_series(c, n_workers, y),
            sample_weight=dask_series(c, n_workers, weight),
        )
        models.append(model_bytes(model))
    assert all(m == models[0] for m in models[1:])
    assert model.is_categorical_.tolist() == [False, True, True, False]


def test_leaves_split_ahead_save_round_trips(client):
    x, y = regression_data()
    params = dict(PARAMS, max_leaf_nodes=15, max_iter=4)
    model = DaskTarnwickRegressor(client=client, **params).fit(
        dask_array(client, 2, x), dask_array(client, 2, y)
    )
    splits = sum(tree.leaf_id.size - np.count_nonzero(tree.leaf_id >= 0) for tree in model._trees)
    # One round trip per split with a histogram, plus a root and leaf sums
    # per tree, would be more than the splits.
    assert model.traffic_["round_trips"] < 0.8 * splits


def test_an_empty_partition_changes_nothing(client):
    x, y = regression_data()
    with_empty = (300, 0, 450, 150, 300)
    models = [
        model_bytes(
            DaskTarnwickRegressor(client=client, **PARAMS).fit(
                dask_array(client, 2, x, sizes), dask_array(client, 2, y, sizes)
            )
        )
        for sizes in (SIZES, with_empty)
    ]
    assert models[0] == models[1]


def test_the_model_follows_the_partitions_not_the_workers(client):
    # The same rows cut differently give another model: each partition's
    # sums are taken over its own rows, so the promise is about workers.
    x, y = regression_data()
    models = [
        model_bytes(
            DaskTarnwickRegressor(client=client, **PARAMS).fit(
                dask_array(client, 3, x, sizes), dask_array(client, 3, y, sizes)
            )
        )
        for sizes in (SIZES, (600, 600))
    ]
    assert models[0] != models[1]


ONE_PARTITION_CASES = {
    "regression": ("regression", {}),
    "binary": ("binary", {}),
    "multiclass": ("multiclass", {}),
    "linear regression": ("regression", {"linear_features": [0, 2]}),
    "linear binary": ("binary", {"linear_features": [1]}),
    "linear multiclass": ("multiclass", {"linear_features": [0, 2]}),
    "poisson": ("counts", {"loss": "poisson"}),
    "tweedie": ("counts", {"loss": "tweedie", "power": 1.2}),
    # A lambda travels to the workers by value.
    "loss function": ("regression", {"loss": lambda y, raw: (raw - y, np.ones_like(y))}),
    "features drawn per node": ("multiclass", {"max_features": 0.6}),
    "monotonic": ("binary", {"monotonic_cst": [1, -1, 0, 0, 0]}),
    "drawn rows": ("multiclass", {"subsample": 0.5}),
    "drawn rows, linear": ("regression", {"subsample": 0.7, "linear_features": [0]}),
    "interactions": ("regression", {"interaction_cst": [[0, 1], [1, 2]], "max_features": 0.7}),
    "linear gamma": ("positive", {"loss": "gamma", "linear_features": [0]}),
    "balanced classes": ("multiclass", {"class_weight": "balanced"}),
    "class weights": ("binary", {"class_weight": {"yes": 3.0, "no": 0.5}}),
    "stopping on the training loss": (
        "regression",
        {
            "early_stopping": True,
            "validation_fraction": None,
            "n_iter_no_change": 2,
            "tol": 0.05,
            "max_iter": 40,
        },
    ),
}


def one_partition_fits(client, case):
    """The single-process model of ONE_PARTITION_CASES[case] and the Dask
    model of the same rows in one partition."""
    task, extra = ONE_PARTITION_CASES[case]
    cls, x, y = task_data(task)
    params = dict(PARAMS, **extra)
    local = cls._local_class(**params).fit(x, y)
    model = cls(client=client, **params).fit(
        dask_array(client, 1, x, (1,)), dask_array(client, 1, y, (1,))
    )
    return local, model


@pytest.mark.parametrize("case", list(ONE_PARTITION_CASES))
def test_one_partition_gives_the_single_process_model(client, case):
    local, model = one_partition_fits(client, case)
    assert model_bytes(model) == model_bytes(local)


@pytest.mark.parametrize("case", ["regression", "binary", "multiclass", "drawn rows"])
def test_one_partition_gives_the_single_process_model_with_histogram_sums(
    client, monkeypatch, case
):
    monkeypatch.setattr(booster, "HISTOGRAM_SUMS_ROWS", 0)
    local, model = one_partition_fits(client, case)
    assert model_bytes(model) == model_bytes(local)
    # No round trip for the leaves' sums: a tree's rules and leaf values
    # travel with the requests that follow it.
    monkeypatch.setattr(booster, "HISTOGRAM_SUMS_ROWS", 1 << 62)
    _, from_rows = one_partition_fits(client, case)
    assert model.traffic_["round_trips"] < from_rows.traffic_["round_trips"]


def test_features_that_no_split_can_use_leave_every_partition(client, monkeypatch):
    """A constant column and one with values on 30 rows (20 at least are
    needed on each side): the second may split, though no partition alone
    holds 20 of its rows; the model is the same on any workers, and with
    one partition the single-process one."""
    from tarnwick.dask import loading

    x, y = regression_data()
    rare = np.zeros(len(y))
    rare[np.linspace(0, len(y) - 1, 30).astype(int)] = 1.0
    x = np.column_stack([x[:, :1], np.full(len(y), 4.0), rare, x[:, 1:]])
    y = y + 3.0 * rare
    original, kept = loading.usable_columns, []

    def recorded(counts, min_samples_leaf):
        kept.append(original(counts, min_samples_leaf))
        return kept[-1]

    monkeypatch.setattr(loading, "usable_columns", recorded)
    models = [
        model_bytes(
            DaskTarnwickRegressor(client=client, **PARAMS).fit(
                dask_array(client, n_workers, x), dask_array(client, n_workers, y)
            )
        )
        for n_workers in (1, 2, 3)
    ]
    assert all(m == models[0] for m in models[1:])
    assert [k.tolist() for k in kept] == [[0, 2, 3, 4, 5, 6]] * 3
    one = DaskTarnwickRegressor(client=client, **PARAMS).fit(
        dask_array(client, 1, x, (1,)), dask_array(client, 1, y, (1,))
    )
    assert model_bytes(one) == model_bytes(TarnwickRegressor(**PARAMS).fit(x, y))
    trees = one.to_local()._trees
    assert any(2 in t.feature[t.leaf_id < 0] for t in trees)


def test_one_partition_of_a_frame_with_categories_and_weights_gives_the_single_process_model(
    client,
):
    frame, y, weight = frame_data()
    local = TarnwickRegressor(**FRAME_PARAMS).fit(frame, y, sample_weight=weight)
    model = DaskTarnwickRegressor(client=client, **FRAME_PARAMS).fit(
        dask_frame(client, 1, frame, (1,)),
        dask_series(client, 1, y, (1,)),
        sample_weight=dask_series(client, 1, weight, (1,)),
    )
    assert model_bytes(model) == model_bytes(local)


def test_categories_not_known_to_dask_are_learned_from_every_partition(client):
    frame, y, _ = frame_data()
    frame = frame.assign(colour=frame["colour"].astype(object))
    params = dict(FRAME_PARAMS, categorical_features=["colour", "size"])
    local = TarnwickRegressor(**params).fit(frame, y)
    unknown = dask_frame(client, 1, frame, (1,))
    model = DaskTarnwickRegressor(client=client, **params).fit(
        unknown, dask_series(client, 1, y, (1,))
    )
    assert model_bytes(model) == model_bytes(local)


def test_early_stopping_on_a_given_validation_set_is_the_single_process_one(client):
    x, y = regression_data()
    x_val, y_val = regression_data(300, seed=1)
    params = dict(PARAMS, early_stopping="auto", n_iter_no_change=2, tol=0.05, max_iter=40)
    local = TarnwickRegressor(**params).fit(x, y, X_val=x_val, y_val=y_val)
    model = DaskTarnwickRegressor(client=client, **params).fit(
        dask_array(client, 1, x, (1,)),
        dask_array(client, 1, y, (1,)),
        X_val=da.from_array(x_val, chunks=100),
        y_val=y_val,
    )
    assert model.n_iter_ < 40
    assert model_bytes(model) == model_bytes(local)


def test_auto_early_stopping_on_dask_needs_a_validation_set(client):
    x, y = regression_data(12_000)
    model = DaskTarnwickRegressor(client=client, max_iter=3, max_leaf_nodes=4).fit(
        dask_array(client, 2, x), dask_array(client, 2, y)
    )
    assert not model.do_early_stopping_ and model.n_iter_ == 3
    with pytest.raises(ValueError, match="needs X_val and y_val on Dask"):
        DaskTarnwickRegressor(client=client, early_stopping=True, scoring="r2").fit(
            dask_array(client, 2, x), dask_array(client, 2, y)
        )


def test_every_way_to_reach_the_workers_gives_the_same_model(client):
    # tcp:// workers get a channel of their own; through the scheduler
    # (direct_to_workers=False) and in-process workers, Dask's actor calls.
    x, y = regression_data()
    models = []
    with Client(client.cluster, set_as_default=False, direct_to_workers=False) as proxied:
        for c in (client, proxied):
            model = DaskTarnwickRegressor(client=c, **PARAMS).fit(
                dask_array(c, 3, x), dask_array(c, 3, y)
            )
            models.append(model_bytes(model))
    with (
        LocalCluster(n_workers=2, processes=False, dashboard_address=None) as cluster,
        Client(cluster, set_as_default=False) as in_process,
    ):
        assert workers_of(in_process)[0].startswith("inproc://")
        model = DaskTarnwickRegressor(client=in_process, **PARAMS).fit(
            dask_array(in_process, 2, x), dask_array(in_process, 2, y)
        )
        models.append(model_bytes(model))
    assert models[1] == models[0] and models[2] == models[0]


def test_the_current_client_is_used_when_none_is_given(client):
    x, y = regression_data()
    with client.as_current():
        model = DaskTarnwickRegressor(**PARAMS).fit(
            dask_array(client, 2, x), dask_array(client, 2, y)
        )
    given = DaskTarnwickRegressor(client=client, **PARAMS).fit(
        dask_array(client, 3, x), dask_array(client, 3, y)
    )
    assert model_bytes(model) == model_bytes(given)


def test_training_rows_stay_on_their_workers(client):
    x, y = regression_data()
    X, Y = dask_array(client, 3, x), dask_array(client, 3, y)

    def fetched(dask_worker):
        return dask_worker.state.transfer_incoming_count_total

    before = client.run(fetched)
    DaskTarnwickRegressor(client=client, **PARAMS).fit(X, Y)
    assert client.run(fetched) == before


# ------------------------------------------------------------ the fitted model


def test_predictions_on_dask_collections_are_the_local_models(client):
    cls, x, y = task_data("multiclass")
    X = dask_array(client, 3, x)
    model = cls(client=client, **PARAMS).fit(X, dask_array(client, 3, y))
    local = model.to_local()
    assert type(local) is TarnwickClassifier
    methods = ("predict", "predict_proba", "decision_function", "predict_contributions", "apply")
    for method in methods:
        out = getattr(model, method)(X)
        assert isinstance(out, da.Array)
        assert same_bits(client.compute(out).result(), getattr(local, method)(x))
        assert same_bits(getattr(model, method)(x), getattr(local, method)(x))

    frame, y, weight = frame_data()
    F = dask_frame(client, 2, frame)
    model = DaskTarnwickRegressor(client=client, **FRAME_PARAMS).fit(
        F, dask_series(client, 2, y), sample_weight=dask_series(client, 2, weight)
    )
    out = model.predict(F)
    assert isinstance(out, da.Array)
    assert same_bits(client.compute(out).result(), model.to_local().predict(frame))
    out = model.apply(F)
    assert out.dtype == np.int64
    assert np.array_equal(client.compute(out).result(), model.to_local().apply(frame))
    constant = model.set_params(linear_features=None).fit(F, dask_series(client, 2, y))
    out = constant.predict_contributions(F)
    assert isinstance(out, da.Array)
    local = constant.to_local().predict_contributions(frame)
    assert same_bits(client.compute(out).result(), local)


def test_the_model_file_is_the_single_process_estimators(client, tmp_path):
    cls, x, y = task_data("binary")
    model = cls(client=client, **PARAMS).fit(dask_array(client, 2, x), dask_array(client, 2, y))
    model.save(tmp_path / "dask.npz")
    model.to_local().save(tmp_path / "local.npz")
    assert (tmp_path / "dask.npz").read_bytes() == (tmp_path / "local.npz").read_bytes()
    assert model_bytes(load_model(tmp_path / "dask.npz")) == model_bytes(model)
    loaded = load_dask_model(tmp_path / "dask.npz", client=client)
    assert type(loaded) is DaskTarnwickClassifier
    assert model_bytes(loaded) == model_bytes(model)
    X = da.from_array(x, chunks=500)
    assert same_bits(client.compute(loaded.predict(X)).result(), model.to_local().predict(x))


def test_clones_share_the_client_and_pickles_drop_it(client):
    from sklearn.base import clone

    x, y = regression_data(300)
    model = DaskTarnwickRegressor(client=client, **PARAMS)
    twin = clone(model)
    assert twin.client is client and twin.get_params() == model.get_params()
    model.fit(dask_array(client, 2, x), dask_array(client, 2, y))
    restored = pickle.loads(pickle.dumps(model))
    assert restored.client is None
    assert same_bits(restored.predict(x), model.predict(x))


# ------------------------------------------------------------ bad input


@pytest.mark.parametrize(
    "case, error, match",
    [
        ("nan in y", ValueError, "NaN"),
        ("inf in y", ValueError, "infinity"),
        ("no rows", ValueError, "0 sample"),
        ("complex x", ValueError, "[Cc]omplex"),
        ("one class", ValueError, "2 classes"),
        ("negative weight", ValueError, "[Nn]egative"),
        ("all weights zero", ValueError, "weight zero"),
        ("categorical linear feature", ValueError, "numeric features"),
        ("negative count", ValueError, "'poisson' needs targets >= 0"),
        ("no counts", ValueError, "'poisson' needs targets of a positive weighted mean"),
    ],
)
def test_bad_training_input_gets_the_single_process_errors(client, case, error, match):
    x, y = regression_data(200)
    params = dict(PARAMS)
    weight = None
    local_cls, cls = TarnwickRegressor, DaskTarnwickRegressor
    if case == "nan in y":
        y[150] = np.nan
    elif case == "inf in y":
        y[170] = np.inf
    elif case == "no rows":
        x, y = x[:0], y[:0]
    elif case == "complex x":
        x = x + 1j
    elif case == "one class":
        local_cls, cls, y = TarnwickClassifier, DaskTarnwickClassifier, np.zeros(len(y))
    elif case == "negative weight":
        weight = np.ones(len(y))
        weight[120] = -1.0
    elif case == "all weights zero":
        weight = np.zeros(len(y))
    elif case == "categorical linear feature":
        params.update(categorical_features=[1], linear_features=[0, 1])
    elif case in ("negative count", "no counts"):
        params.update(loss="poisson")
        y = np.zeros(len(y))
        y[190] = -1.0 if case == "negative count" else 0.0
    with pytest.raises(error, match=match):
        local_cls(**params).fit(x, y, sample_weight=weight)
    sizes = (1,) if case == "no rows" else SIZES
    X, Y = dask_array(client, 2, x, sizes), dask_array(client, 2, y, sizes)
    W = None if weight is None else dask_array(client, 2, weight, sizes)
    with pytest.raises(error, match=match):
        cls(client=client, **params).fit(X, Y, sample_weight=W)


def test_unlisted_string_columns_are_named_as_in_one_process(client):
    x, y = regression_data(200)
    df = pd.DataFrame(x).rename(columns=str).assign(colour=np.where(y > 0, "red", "blue"))
    with pytest.raises(ValueError, match=r"strings that are not categorical.*'colour'"):
        TarnwickRegressor(**PARAMS).fit(df, y)
    with pytest.raises(ValueError, match=r"strings that are not categorical.*'colour'"):
        DaskTarnwickRegressor(client=client, **PARAMS).fit(
            dask_frame(client, 2, df), dask_series(client, 2, y)
        )


def test_inputs_that_are_not_dask_collections_are_refused(client):
    x, y = regression_data(200)
    with pytest.raises(TypeError, match="Dask Array or a Dask DataFrame"):
        DaskTarnwickRegressor(client=client).fit(x, y)
    with pytest.raises(ValueError, match="partitioned as X"):
        DaskTarnwickRegressor(client=client).fit(
            dask_frame(client, 2, pd.DataFrame(x)), dask_series(client, 2, y, (1, 1))
        )


def test_what_needs_the_rows_in_one_process_is_refused_on_dask(client):
    x, y = regression_data(200)
    X, Y = dask_array(client, 2, x), dask_array(client, 2, y)
    model = DaskTarnwickRegressor(client=client, warm_start=True, **PARAMS).fit(X, Y)
    with pytest.raises(ValueError, match="does not add rounds to a fitted model"):
        model.set_params(max_iter=10).fit(X, Y)
    for loss in ("absolute_error", "quantile"):
        with pytest.raises(ValueError, match=f"loss='{loss}' is not supported on Dask"):
            DaskTarnwickRegressor(client=client, loss=loss, quantile=0.2).fit(X, Y)


# ------------------------------------------------------------ faults


def test_a_worker_killed_during_fit_ends_it_with_a_clear_error():
    x, y = regression_data()
    with start_cluster(2, 1) as cluster, Client(cluster, set_as_default=False) as c:
        X, Y = dask_array(c, 2, x), dask_array(c, 2, y)
        victim = workers_of(c)[1]
        pid = c.run(os.getpid, workers=[victim])[victim]

        def training():
            return any(t.name == "tarnwick-shards" for t in threading.enumerate())

        def kill_once_training():
            while not all(c.run(training).values()):
                time.sleep(0.05)
            os.kill(pid, signal.SIGKILL)

        outcome = {}

        def fit():
            model = DaskTarnwickRegressor(client=c, **dict(PARAMS, max_iter=1_000_000))
            try:
                model.fit(X, Y)
            except BaseException as exc:  # noqa: BLE001 - handed to the test's thread
                outcome["error"] = exc

        killer = threading.Thread(target=kill_once_training, daemon=True)
        fitter = threading.Thread(target=fit, daemon=True)
        fitter.start()
        killer.start()
        # A guard against a hang, not a measure of speed.
        fitter.join(timeout=300)
        assert not fitter.is_alive(), "the fit hung after a worker was killed"
        assert isinstance(outcome.get("error"), WorkerLostError), outcome
        assert victim in str(outcome["error"])
