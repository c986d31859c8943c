"""End-to-end tests of the reference learner in examples/tarnwick_learner."""

import os
import sys

import numpy as np
import pytest
from support import results_in_subprocess, same_bits

EXAMPLES = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "examples")
sys.path.insert(0, EXAMPLES)

import tarnwick_native as tn  # noqa: E402
from tarnwick_learner import (  # noqa: E402
    TarnwickClassifier,
    TarnwickRegressor,
    booster,  # noqa: E402
    load_model,
)
from tarnwick_learner.binning import bin_matrix, fit_bins  # noqa: E402
from tarnwick_learner.booster import LeafParams  # noqa: E402
from tarnwick_learner.grower import GrowParams, SplitFinder, grow_tree  # noqa: E402
from tarnwick_learner.leaves import linear_tables, tree_tables  # noqa: E402
from tarnwick_learner.model_io import model_arrays  # noqa: E402
from tarnwick_learner.row_order import RowOrder, depth_first_rows, reorder_due  # noqa: E402


def mixed_data(n, seed=0):
    """Numeric columns with NaN, a categorical column (0-11), an embedding z,
    a regression target y that depends on z, and a three-class target that
    depends on x alone."""
    rng = np.random.default_rng(seed)
    x = rng.standard_normal((n, 6))
    x[rng.random((n, 6)) < 0.05] = np.nan
    x[:, 5] = rng.integers(0, 12, n)
    z = rng.standard_normal((n, 3))
    side = np.nan_to_num(x[:, 1]) > 0
    plain = 2.0 * np.nan_to_num(x[:, 0]) + np.isin(x[:, 5], [1, 4, 7]) * 1.5 + side
    y = plain + z[:, 0] * np.where(side, 2.0, -1.0) + 0.1 * rng.standard_normal(n)
    classes = np.digitize(plain, [-0.5, 1.0])
    return x, z, y, classes


# ---------------------------------------------------------------- binning


def test_bin_codes_agree_with_raw_thresholds():
    rng = np.random.default_rng(1)
    cols = rng.standard_normal((3, 5000)) * [[1.0], [1e-3], [1e6]]
    cols[:, ::17] = np.nan
    bins = fit_bins(cols, np.zeros(3, dtype=bool), max_bins=64)
    binned = bin_matrix(bins, cols)
    assert binned.dtype == np.uint16 and binned.shape == cols.shape
    assert binned.flags.c_contiguous
    assert bins.n_bins_max > binned.max()
    for f in range(3):
        edges, codes, col = bins.edges[f], binned[f].astype(np.int64), cols[f]
        assert bins.n_bins[f] <= 64 and np.all(np.diff(edges) > 0)
        missing = np.isnan(col)
        assert np.all(codes[missing] == bins.n_bins[f])
        v, c = col[~missing], codes[~missing]
        upper = np.append(edges, np.inf)[c]
        lower = np.insert(edges, 0, -np.inf)[c]
        assert np.all((lower < v) & (v <= upper))


def test_few_distinct_values_get_a_bin_each():
    col = np.array([[3.0, 1.0, 2.0, 3.0, np.nan, 1.0]])
    bins = fit_bins(col, np.zeros(1, dtype=bool))
    assert bins.n_bins[0] == 3
    assert bin_matrix(bins, col)[0].tolist() == [2, 0, 1, 2, 3, 0]


def test_rare_categories_share_the_last_bin():
    col = np.concatenate([np.repeat([5.0, 9.0, 2.0], [50, 40, 30]), [7.0, 8.0, np.nan]])[None]
    bins = fit_bins(col, np.ones(1, dtype=bool), max_bins=3)
    assert bins.n_bins[0] == 3
    assert bin_matrix(bins, col)[0].tolist() == [0] * 50 + [1] * 40 + [2] * 30 + [2, 2, 3]
    assert bins.category_values(0, [2]).tolist() == [2.0, 7.0, 8.0]


# ------------------------------------------------------ training = prediction


@pytest.mark.parametrize("task", ["regression", "binary", "multiclass"])
@pytest.mark.parametrize("linear", [False, True])
def test_prediction_on_training_rows_repeats_the_training_scores(task, linear):
    """The flat trees on raw values route every training row to the leaf that
    the binned partition gave it, and the clamp leaves training rows alone."""
    x, z, y, classes = mixed_data(3000)
    model = TarnwickRegressor if task == "regression" else TarnwickClassifier
    target = {"regression": y, "binary": y > 0.5, "multiclass": classes}[task]
    fitted = model(n_rounds=4, max_leaves=15, categorical=[5], min_data_per_group=10)
    fitted.fit(x, target, z=z if linear else None)
    raw = fitted.decision_function(x, z if linear else None)
    train = fitted.train_raw_ if task != "multiclass" else fitted.train_raw_.T
    assert same_bits(raw, train)


def test_steps_are_fitted_exactly():
    rng = np.random.default_rng(2)
    x = rng.integers(0, 40, (400, 2)) / 40.0
    y = 3.0 * (x[:, 0] > 0.5) - 2.0 * (x[:, 1] <= 0.25)
    model = TarnwickRegressor(
        n_rounds=1, learning_rate=1.0, l2=0.0, min_samples_leaf=1, max_leaves=4
    ).fit(x, y)
    assert np.allclose(model.predict(x), y)
    # Thresholds lie midway between neighbouring training values.
    edge = np.array([[0.5 + 0.0124, 0.25 + 0.0124], [0.5 + 0.0126, 0.25 + 0.0126]])
    assert np.allclose(model.predict(edge), [-2.0, 3.0])


def test_missing_values_join_the_side_they_resemble():
    """Missing values go where the gain is larger: here with the high values,
    which the binned tree can only express as a mirrored split."""
    rng = np.random.default_rng(12)
    x = rng.integers(0, 20, (1000, 1)) / 20.0
    x[::5, 0] = np.nan
    y = np.where(np.isnan(x[:, 0]) | (x[:, 0] > 0.5), 2.0, 0.0)
    model = TarnwickRegressor(n_rounds=1, learning_rate=1.0, l2=0.0, max_leaves=2).fit(x, y)
    tree = model.trees_[0]
    assert not tree.missing_left[0]
    assert np.allclose(
        model.predict(np.array([[np.nan], [0.9], [0.5], [0.1]])), [2.0, 2.0, 0.0, 0.0]
    )


def test_category_subset_is_learnt_and_unseen_categories_go_right():
    rng = np.random.default_rng(3)
    x = rng.integers(0, 10, (2000, 1)).astype(np.float64)
    y = np.isin(x[:, 0], [2, 5, 6]) * 4.0
    model = TarnwickRegressor(
        n_rounds=1, learning_rate=1.0, l2=0.0, categorical=[0], max_leaves=2, min_data_per_group=1
    ).fit(x, y)
    tree = model.trees_[0]
    assert tree.cat_offsets[1] > 0
    pred = model.predict(np.array([[2.0], [5.0], [6.0], [3.0], [42.0]]))
    assert np.allclose(pred[:4], [4.0, 4.0, 4.0, 0.0])
    assert pred[4] == pred[3] or pred[4] == pred[0]


def test_tree_respects_leaf_limits():
    x, _, y, _ = mixed_data(4000)
    for leaves, depth, min_leaf in [(7, None, 100), (31, 3, 20)]:
        model = TarnwickRegressor(
            n_rounds=1, max_leaves=leaves, max_depth=depth, min_samples_leaf=min_leaf
        ).fit(x, y)
        tree = model.trees_[0]
        counts = np.bincount(tree.apply(x), minlength=tree.bias.size)
        assert tree.bias.size <= leaves if depth is None else tree.bias.size <= 2**depth
        assert counts.min() >= min_leaf and counts.sum() == len(x)


# --------------------------------------------------------------- linear leaves


def test_linear_leaves_fit_piecewise_linear_targets():
    x, z, y, _ = mixed_data(6000, seed=4)
    train, test = slice(0, 4000), slice(4000, None)
    kwargs = dict(n_rounds=30, max_leaves=8, linear_l2=0.1, categorical=[5], min_data_per_group=10)
    const = TarnwickRegressor(**kwargs).fit(x[train], y[train])
    linear = TarnwickRegressor(**kwargs).fit(x[train], y[train], z=z[train])
    rmse_const = np.sqrt(np.mean((const.predict(x[test]) - y[test]) ** 2))
    rmse_linear = np.sqrt(np.mean((linear.predict(x[test], z[test]) - y[test]) ** 2))
    assert rmse_linear < 0.5 * rmse_const


def test_leaves_without_rows_or_enough_rows_are_constant_and_clampable():
    d = 2
    stats = (
        np.array([-4.0, 3.0, 0.0]),
        np.array([2.0, 1.0, 0.0]),
        np.array([[1.0, 2.0], [0.5, 0.5], [0.0, 0.0]]),
        np.array([np.eye(d) * 3.0, np.eye(d), np.zeros((d, d))]),
        np.array([[1.0, -1.0], [0.1, 0.2], [0.0, 0.0]]),
        np.array([[-1.0, -2.0], [0.0, 0.0], [np.inf, np.inf]]),
        np.array([[1.0, 2.0], [1.0, 1.0], [-np.inf, -np.inf]]),
    )
    counts = np.array([50, 3, 0])
    bias, weights, z_min, z_max = linear_tables(
        stats, counts, l2=1.0, ridge=1.0, min_rows=6, learning_rate=0.5
    )
    assert np.all(weights[0] != 0.0)
    assert np.all(weights[1:] == 0.0)
    assert bias[1] == -3.0 / 2.0 * 0.5 and bias[2] == 0.0
    assert np.all(np.isfinite(z_min)) and np.all(z_min <= z_max)
    out = tn.predict_linear(
        np.array([0, 1, 2]), np.full((3, d), 7.0), bias, weights, z_min, z_max, True
    )
    assert np.all(np.isfinite(out)) and out[1] == bias[1] and out[2] == bias[2]


def test_non_finite_embedding_values_take_the_training_mean():
    x, z, y, _ = mixed_data(2000, seed=5)
    z[::7, 1] = np.nan
    model = TarnwickRegressor(n_rounds=3).fit(x, y, z=z)
    filled = z.copy()
    filled[::7, 1] = model.z_fill_[1]
    z_inf = z.copy()
    z_inf[::7, 1] = np.inf
    assert np.allclose(model.z_fill_[1], np.nanmean(z[:, 1]))
    assert same_bits(model.predict(x, z), model.predict(x, filled))
    assert same_bits(model.predict(x, z), model.predict(x, z_inf))


def test_constant_hessian_leaves_match_the_summed_ones():
    rng = np.random.default_rng(7)
    grad, hess = rng.standard_normal(3000), np.full(3000, 1.0)
    leaf = rng.integers(0, 9, 3000)
    leaf_rows = [np.flatnonzero(leaf == k) for k in range(10)]  # leaf 9 has no rows
    params = LeafParams(l2=0.5, learning_rate=0.3, linear_l2=1.0, linear_min_rows=2)
    summed = tree_tables(leaf_rows, 3000, grad, hess, None, params)
    counted = tree_tables(leaf_rows, 3000, grad, hess, None, params, constant_hessian=1.0)
    for a, b in zip(summed[0] + (summed[1],), counted[0] + (counted[1],)):
        assert same_bits(a, b)


@pytest.mark.parametrize("linear", [False, True])
def test_broadcast_unit_hessian_fits_the_same_bits_as_a_vector_of_ones(monkeypatch, linear):
    x, z, y, _ = mixed_data(3000, seed=9)

    def fit():
        return TarnwickRegressor(n_rounds=4, max_leaves=12, categorical=[5]).fit(
            x, y, z=z if linear else None
        )

    broadcast = fit()
    monkeypatch.setattr(
        booster.SquaredError,
        "gradients",
        staticmethod(lambda y, raw, hess_out: (raw - y, np.ones_like(raw))),
    )
    ones = fit()
    assert same_bits(broadcast.train_raw_, ones.train_raw_)
    for a, b in zip(broadcast.trees_, ones.trees_):
        for name in ("feature", "threshold", "bias", "weights"):
            assert same_bits(getattr(a, name), getattr(b, name)), name


# ------------------------------------------------------------ model interface


def test_classifier_probabilities_and_labels():
    x, _, _, classes = mixed_data(3000, seed=6)
    labels = np.array(["low", "mid", "high"])[classes]
    model = TarnwickClassifier(n_rounds=10).fit(x, labels)
    proba = model.predict_proba(x)
    assert proba.shape == (3000, 3) and np.allclose(proba.sum(axis=1), 1.0)
    assert list(model.classes_) == ["high", "low", "mid"]
    assert np.mean(model.predict(x) == labels) > 0.8


def test_training_loss_falls_well_below_the_constant_baseline():
    x, _, _, classes = mixed_data(3000, seed=7)
    y = classes + 0.1 * np.nan_to_num(x[:, 2])
    model = TarnwickRegressor(n_rounds=20).fit(x, y)
    assert np.mean((model.predict(x) - y) ** 2) < 0.2 * np.var(y)


@pytest.mark.parametrize("task", ["regression", "multiclass"])
def test_saved_model_predicts_the_same_bits(tmp_path, task):
    x, z, y, classes = mixed_data(2000, seed=8)
    model = (
        TarnwickRegressor(n_rounds=3, categorical=[5], min_data_per_group=10)
        if task == "regression"
        else TarnwickClassifier(n_rounds=2)
    )
    model.fit(x, y if task == "regression" else classes, z=z)
    path = tmp_path / "model.npz"
    model.save(path)
    loaded = load_model(path)
    assert type(loaded) is type(model)
    assert same_bits(loaded.decision_function(x, z), model.decision_function(x, z))
    for name, array in model_arrays(model).items():
        assert same_bits(model_arrays(loaded)[name], array), name


def test_callback_runs_after_every_round():
    x, _, _, classes = mixed_data(500, seed=10)
    seen = []
    model = TarnwickClassifier(n_rounds=3).fit(x, classes, callback=seen.append)
    assert seen == [0, 1, 2] and len(model.trees_) == 9


def test_bad_calls_are_refused():
    x, z, y, _ = mixed_data(500, seed=9)
    linear = TarnwickRegressor(n_rounds=1).fit(x, y, z=z)
    with pytest.raises(ValueError, match="pass z"):
        linear.predict(x)
    with pytest.raises(ValueError, match="features"):
        linear.predict(x[:, :3], z)
    with pytest.raises(ValueError, match="z must have shape"):
        linear.predict(x, z[:, :2])
    with pytest.raises(ValueError, match="not used"):
        TarnwickRegressor(n_rounds=1).fit(x, y).predict(x, z)
    with pytest.raises(ValueError, match="two classes"):
        TarnwickClassifier().fit(x, np.zeros(len(x)))


# ------------------------------------------------------------------ row order


def test_depth_first_order_puts_every_node_in_one_stretch():
    x, _, y, _ = mixed_data(5000, seed=4)
    columns = np.ascontiguousarray(x.T)
    categorical = np.arange(6) == 5
    bins = fit_bins(columns, categorical)
    params = GrowParams(max_leaves=20, min_samples_leaf=30)
    grown = grow_tree(
        bin_matrix(bins, columns),
        bins,
        -y,
        np.ones_like(y),
        np.arange(len(y), dtype=np.int64),
        params,
        SplitFinder(bins, params),
    )
    order = depth_first_rows(grown)
    assert np.array_equal(np.sort(order), np.arange(len(y)))
    position = np.empty_like(order)
    position[order] = np.arange(len(order))

    def subtree_rows(node):
        if grown.split_feature[node] < 0:
            return grown.leaf_rows[grown.leaf_of_node[node]]
        return np.concatenate([subtree_rows(grown.left[node]), subtree_rows(grown.right[node])])

    for node in range(len(grown.split_feature)):
        spots = np.sort(position[subtree_rows(node)])
        assert spots[-1] - spots[0] + 1 == spots.size, node
        # Within a leaf the rows keep their order.
        if grown.split_feature[node] < 0:
            assert np.all(np.diff(order[spots]) > 0)


def test_reordering_moves_every_array_together_and_back():
    rng = np.random.default_rng(5)
    binned = rng.integers(0, 9, (3, 50)).astype(np.uint16)
    y, z = rng.standard_normal(50), rng.standard_normal((50, 2))
    raw = rng.standard_normal((2, 50))
    rows = RowOrder(binned.copy(), y, raw, z)
    first, second = rng.permutation(50), rng.permutation(50)
    rows.reorder(first)
    rows.reorder(second)
    caller = first[second]
    assert np.array_equal(rows.original, caller)
    for now, before in [(rows.binned, binned), (rows.raw, raw)]:
        assert np.array_equal(now, before[:, caller])
    assert np.array_equal(rows.y, y[caller]) and np.array_equal(rows.z, z[caller])
    assert np.array_equal(rows.in_caller_order(rows.raw), raw)


def test_reordering_runs_after_power_of_two_rounds():
    assert [r for r in range(40) if reorder_due(r)] == [0, 1, 3, 7, 15, 31]


@pytest.mark.parametrize("task", ["regression", "multiclass"])
def test_row_order_changes_the_rounding_not_the_fit(monkeypatch, task):
    """Reordering changes the order in which histograms add their rows: the
    first round, grown before any reordering, is the same to the bit, and
    later rounds fit as well (a near tie between two splits may go the other
    way)."""
    x, z, y, classes = mixed_data(4000, seed=6)
    model, target, loss = {
        "regression": (TarnwickRegressor, y, lambda raw: np.mean((raw - y) ** 2)),
        "multiclass": (
            TarnwickClassifier,
            classes,
            lambda raw: (
                -np.mean(np.log(booster.Softmax.transform(raw)[np.arange(len(classes)), classes]))
            ),
        ),
    }[task]

    def fit():
        return model(n_rounds=6, max_leaves=15, categorical=[5], min_data_per_group=10).fit(
            x, target, z=z
        )

    reordered = fit()
    monkeypatch.setattr(booster, "reorder_due", lambda round_: False)
    kept = fit()
    n_first = 1 if task == "regression" else 3
    for a, b in zip(reordered.trees_[:n_first], kept.trees_[:n_first]):
        for name in ("feature", "threshold", "bias", "weights"):
            assert same_bits(getattr(a, name), getattr(b, name)), name
    assert loss(reordered.train_raw_) == pytest.approx(loss(kept.train_raw_), rel=0.02)


# ------------------------------------------------------------ reproducibility

FIT_ALL = """
import sys
sys.path.insert(0, {examples!r})
import numpy as np
from tarnwick_learner import TarnwickClassifier, TarnwickRegressor
from tarnwick_learner.model_io import model_arrays

rng = np.random.default_rng(11)
n = 20_000
x = rng.standard_normal((n, 8))
x[rng.random((n, 8)) < 0.05] = np.nan
x[:, 7] = rng.integers(0, 12, n)
z = rng.standard_normal((n, 4))
y = 2.0 * np.nan_to_num(x[:, 0]) + z[:, 0] * (x[:, 1] > 0) + 0.3 * rng.standard_normal(n)
result = {{}}
for label, model, target, emb in [
        ("regression", TarnwickRegressor(n_rounds=3, categorical=[7]), y, z),
        ("binary", TarnwickClassifier(n_rounds=3), y > 0, None),
        ("multiclass", TarnwickClassifier(n_rounds=2), np.digitize(y, [-1.0, 1.0]), z)]:
    model.fit(x, target, z=emb)
    arrays = model_arrays(model)
    arrays["prediction"] = model.decision_function(x, emb)
    arrays["train"] = model.train_raw_
    result[label] = arrays
"""


def test_one_and_two_threads_give_identical_models_and_predictions():
    """20,000 rows x 8 features and d = 4 take the parallel branch of every
    kernel that has one."""
    code = FIT_ALL.format(examples=EXAMPLES)
    one = results_in_subprocess(code, threads=1)
    two = results_in_subprocess(code, threads=2)
    assert one.keys() == two.keys()
    for label in one:
        assert one[label].keys() == two[label].keys()
        for name in one[label]:
            assert same_bits(one[label][name], two[label][name]), (label, name)
