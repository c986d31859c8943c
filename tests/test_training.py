"""Training inside the learner: growth, leaf values, linear leaves, row order
and reproducibility, through the estimators and the parts they drive."""

import platform
import threading

import numpy as np
import pytest
import tarnwick_native as tn
from support import results_in_subprocess, same_bits
from tarnwick import (
    TarnwickClassifier,
    TarnwickRegressor,
    booster,
    estimators,
    heap,
    losses,
    threads,
)
from tarnwick import shard as shard_module
from tarnwick import trees as trees_module
from tarnwick.binning import Bins, bin_rows, fit_bins
from tarnwick.grower import GrowParams, children_sums, grow_tree
from tarnwick.leaves import constant_tables, linear_tables
from tarnwick.shard import Shard, reorder_due
from tarnwick.splitting import (
    MIN_CHILD_HESSIAN,
    Split,
    SplitFinder,
    SplitParams,
    child_hessian_floor,
)


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


def fitted(task, rounds, linear=False, seed=0, **params):
    x, z, y, classes = mixed_data(3000, seed)
    cls = TarnwickRegressor if task == "regression" else TarnwickClassifier
    target = {"regression": y, "binary": y > 0.5, "multiclass": classes}[task]
    model = cls(max_iter=rounds, early_stopping=False, categorical_features=[5], **params)
    return model.fit(x, target, z=z if linear else None), x, z if linear else None


@pytest.fixture
def train_scores(monkeypatch):
    """Records the training rows of every fit; the returned function gives
    the training scores (in the caller's row order) of the fit numbered i."""
    made = []

    class Recorded(Shard):
        def __init__(self, *args):
            super().__init__(*args, track_order=True)
            made.append(self)

    monkeypatch.setattr(estimators, "Shard", Recorded)
    return lambda i=-1: made[i].scores_in_block_order()


# ------------------------------------------------------ training = prediction


@pytest.mark.parametrize("task", ["regression", "binary", "multiclass"])
@pytest.mark.parametrize("linear", [False, True])
def test_prediction_on_training_rows_repeats_the_training_scores(task, linear, train_scores):
    """The flat trees on raw values route every training row to the leaf that
    the binned partition gave it, and the clamp leaves training rows alone."""
    model, x, z = fitted(task, 4, linear, max_leaf_nodes=15, min_data_per_group=10)
    assert same_bits(model._raw_predict(x, z), train_scores().reshape(-1, len(x)))


@pytest.mark.parametrize("task", ["regression", "multiclass"])
@pytest.mark.parametrize("linear", [False, True])
def test_prediction_in_blocks_of_rows_gives_the_same_bits(monkeypatch, task, linear, train_scores):
    """Every tree runs over one block of rows before the next block; the last
    block is a short one."""
    monkeypatch.setattr(trees_module, "BLOCK_VALUES", 1)
    monkeypatch.setattr(trees_module, "CHUNK_ROWS", 1)
    monkeypatch.setattr(trees_module, "MIN_BLOCK_ROWS", 37)
    model, x, z = fitted(task, 4, linear, max_leaf_nodes=15, min_data_per_group=10)
    assert trees_module.block_rows(x.shape[1]) == 37 and len(x) % 37
    assert same_bits(model._raw_predict(x, z), train_scores().reshape(-1, len(x)))


def test_steps_are_fitted_exactly():
    rng = np.random.default_rng(2)
    x = rng.integers(0, 40, (400, 2)) / 40.0
    y = 3.0 * (x[:, 0] > 0.5) - 2.0 * (x[:, 1] <= 0.25)
    model = TarnwickRegressor(
        max_iter=1, learning_rate=1.0, min_samples_leaf=1, max_leaf_nodes=4, early_stopping=False
    ).fit(x, y)
    assert np.allclose(model.predict(x), y)
    # Thresholds lie midway between neighbouring training values.
    edge = np.array([[0.5 + 0.0124, 0.25 + 0.0124], [0.5 + 0.0126, 0.25 + 0.0126]])
    assert np.allclose(model.predict(edge), [-2.0, 3.0])


@pytest.mark.parametrize("cut", [0.2, 0.8])
def test_values_missing_only_after_training_join_the_larger_child(cut):
    """A feature without missing values in training: NaN, and for a
    categorical feature a level never seen, goes with the child that took
    more training rows, on either side of the split."""
    rng = np.random.default_rng(13)
    x = np.column_stack([rng.random(2000), rng.integers(0, 4, 2000)]).astype(np.float64)
    y = np.where(x[:, 0] > cut, 1.0, -1.0)
    stump = dict(max_iter=1, learning_rate=1.0, max_leaf_nodes=2, early_stopping=False)
    model = TarnwickRegressor(**stump).fit(x, y)
    larger = 0.9 if cut < 0.5 else 0.1
    assert np.array_equal(
        model.predict(np.array([[np.nan, 0.0]])), model.predict(np.array([[larger, 0.0]]))
    )
    y = np.where(x[:, 1] == 0, -1.0, 1.0)
    model = TarnwickRegressor(categorical_features=[1], **stump).fit(x, y)
    assert np.allclose(model.predict(np.array([[0.5, 7.0], [0.5, np.nan], [0.5, 0.0]])), [1, 1, -1])


def test_missing_values_join_the_side_they_resemble():
    """Missing values go where the gain is larger: here with the high values,
    which the binned tree expresses with the upper bins as its left codes."""
    rng = np.random.default_rng(12)
    x = rng.integers(0, 20, (1000, 1)) / 20.0
    x[::5, 0] = np.nan
    y = np.where(np.isnan(x[:, 0]) | (x[:, 0] > 0.5), 2.0, 0.0)
    model = TarnwickRegressor(
        max_iter=1, learning_rate=1.0, max_leaf_nodes=2, early_stopping=False
    ).fit(x, y)
    assert not model._trees[0].missing_left[0]
    assert np.allclose(
        model.predict(np.array([[np.nan], [0.9], [0.5], [0.1]])), [2.0, 2.0, 0.0, 0.0]
    )


def test_missing_values_alone_can_go_right():
    """A split may send the missing values alone to one side: on a feature
    that is only present or missing, and on one whose values carry nothing
    beside their missingness, numeric or categorical. Every value, far past
    the training range included, then goes the other way (unseen categories
    go with the missing values)."""
    rng = np.random.default_rng(7)
    n = 2000
    missing = rng.random(n) < 0.3
    present = np.where(missing, np.nan, 1.0)
    spread = np.where(missing, np.nan, rng.standard_normal(n))
    y = np.where(missing, 3.0, -1.0)
    levels = np.where(missing, np.nan, rng.integers(0, 5, n))
    for column, categorical in ((present, False), (spread, False), (present, True), (levels, True)):
        x = column[:, None]
        bins = fit_bins(x, np.array([categorical]), 255, seed=0)
        # The histograms keep an empty bin after the missing bin.
        assert bins.n_bins_max == bins.n_bins[0] + 2
        model = TarnwickRegressor(
            max_iter=1,
            learning_rate=1.0,
            max_leaf_nodes=2,
            early_stopping=False,
            categorical_features=[0] if categorical else None,
        ).fit(x, y)
        tree = model._trees[0]
        assert not tree.missing_left[0] and tree.threshold[0] == np.inf
        values = [1.0] if categorical else [1.0, -50.0, 50.0, 1e308, -1e308]
        probe = np.array([np.nan, *values])[:, None]
        assert np.allclose(model.predict(probe), [3.0] + [-1.0] * len(values))


def guarded_reference(hist, n_bins, min_leaf, floor):
    """The best numeric split, missing bin left, whose children both hold at
    least min_leaf rows and floor hessian: every threshold in turn, with the
    sums added bin by bin as the kernel adds them."""
    totals = hist[0].cumsum(axis=0)[-1]
    parent = totals[0] * totals[0] / totals[1]
    best = None
    for f, n in enumerate(n_bins):
        g, h, c = hist[f, : n - 1].cumsum(axis=0).T
        g, h, c = hist[f, n, 0] + g, hist[f, n, 1] + h, hist[f, n, 2] + c
        for t in range(n - 1):
            right = totals - (g[t], h[t], c[t])
            if min(c[t], right[2]) < min_leaf or min(h[t], right[1]) < floor:
                continue
            gain = (g[t] * g[t] / h[t] + right[0] * right[0] / right[1]) - parent
            if np.isfinite(gain) and gain > (1e-12 if best is None else best[2]):
                best = (f, t, gain, int(c[t]), int(right[2]), None)
    return best


def test_split_search_keeps_a_hessian_floor_for_both_children():
    """Where hessians nearly vanish (rows the model already decides), a
    split's children each keep a hessian of at least the floor; the search
    finds the best such split, the same as trying every threshold."""
    rng = np.random.default_rng(11)
    bound = 0
    for _ in range(300):
        n_rows, n_features, width = rng.integers(20, 400), rng.integers(1, 5), 14
        n_bins = rng.integers(2, width - 1, n_features)
        # Rows whose predictions are all but certain carry almost no hessian.
        hess = rng.choice([0.2, 1e-4, 1e-6], n_rows)
        columns = [rng.normal(0, 1, n_rows) * hess**0.25, hess, np.ones(n_rows)]
        hist = np.zeros((n_features, width, 3))
        for f, n in enumerate(n_bins):
            # The lower bins and the missing bin hold rows of little hessian only.
            codes = np.where(
                hess > 0.1, rng.integers(n // 2, n, n_rows), rng.integers(0, n + 1, n_rows)
            )
            for channel, values in enumerate(columns):
                hist[f, :, channel] = np.bincount(codes, values, width)
        min_leaf = int(rng.integers(1, 12))
        bins = Bins([], [], [], n_bins, np.zeros(n_features, bool), np.zeros(n_features, bool))
        finder = SplitFinder(bins, SplitParams(min_leaf, 0.0, 10.0, 100, 32), MIN_CHILD_HESSIAN)
        found = finder._search(hist, n_bins, np.zeros(n_features, bool))
        expected = guarded_reference(hist, n_bins, min_leaf, MIN_CHILD_HESSIAN)
        unguarded = guarded_reference(hist, n_bins, min_leaf, 0.0)
        bound += expected != unguarded
        assert (found is None) == (expected is None)
        if found is not None:
            assert found[:2] == expected[:2] and found[3:] == expected[3:]
            assert same_bits(np.array(found[2]), np.array(expected[2]))
    assert bound >= 30


def test_category_subset_is_learnt_and_unseen_categories_go_with_missing_values():
    rng = np.random.default_rng(3)
    x = rng.integers(0, 10, (2000, 1)).astype(np.float64)
    x[::10] = np.nan
    y = np.where(np.isin(x[:, 0], [2, 5, 6]) | np.isnan(x[:, 0]), 4.0, 0.0)
    model = TarnwickRegressor(
        max_iter=1,
        learning_rate=1.0,
        categorical_features=[0],
        max_leaf_nodes=2,
        min_data_per_group=1,
        early_stopping=False,
    ).fit(x, y)
    assert model._trees[0].cat_offsets[1] > 0
    pred = model.predict(np.array([[2.0], [5.0], [6.0], [3.0], [np.nan], [42.0], [-1.0]]))
    assert np.allclose(pred, [4.0, 4.0, 4.0, 0.0, 4.0, 4.0, 4.0])


@pytest.mark.parametrize("missing", [False, True])
def test_levels_too_rare_for_a_categorical_split_share_a_bin_and_change_no_tree(
    monkeypatch, missing
):
    """Levels in fewer than min_data_per_group rows are never picked on their
    own, so sharing one bin, itself in fewer rows, leaves every tree as it
    was with a bin per level, bit for bit; only the histograms narrow."""
    rng = np.random.default_rng(12)
    n = 4000
    frequent = rng.integers(0, 12, n).astype(np.float64)
    # 40 levels of 2 rows each: 80 rows, fewer than min_data_per_group.
    frequent[:80] = 100 + np.arange(80) // 2
    if missing:
        frequent[80:400:4] = np.nan
    x = np.column_stack([rng.standard_normal((n, 2)), rng.permutation(frequent)])
    effect = rng.standard_normal(200)
    y = x[:, 0] + effect[np.nan_to_num(x[:, 2], nan=150).astype(int)] + rng.standard_normal(n)
    unseen = np.column_stack([rng.standard_normal((7, 2)), [100, 101, 139, 3, 500, np.nan, 7]])
    params = dict(
        max_iter=15, categorical_features=[2], min_data_per_group=100, early_stopping=False
    )
    widths = []
    real_fit_bins = estimators.binning.fit_bins

    def recorded(*args, **kwargs):
        bins = real_fit_bins(*args, **kwargs)
        widths.append(bins.n_bins[2])
        return bins

    monkeypatch.setattr(estimators.binning, "fit_bins", recorded)
    shared = TarnwickRegressor(**params).fit(x, y)

    def per_level(x, categorical, max_bins, seed, weight=None, min_rows=1):
        return recorded(x, categorical, max_bins, seed, weight)

    monkeypatch.setattr(estimators.binning, "fit_bins", per_level)
    own = TarnwickRegressor(**params).fit(x, y)
    assert widths == [13, 52]
    rows = np.vstack([x, unseen])
    assert same_bits(shared.predict(rows), own.predict(rows))
    assert any(t.cat_offsets[-1] > 0 for t in shared._trees)


@pytest.mark.parametrize("loss", ["squared_error", "quantile"])
def test_rows_left_out_of_a_round_have_no_pull_on_its_leaves(loss):
    """Each leaf of a round with half the rows drawn takes its value from
    the drawn rows alone (their mean residual, or their quantile), and holds
    at least min_samples_leaf of them: the histograms see drawn rows only."""
    rng = np.random.default_rng(6)
    x = rng.standard_normal((3000, 3))
    y = x[:, 0] + rng.standard_normal(3000)
    model = TarnwickRegressor(
        loss=loss,
        quantile=0.5,
        subsample=0.5,
        max_iter=1,
        learning_rate=1.0,
        early_stopping=False,
        random_state=3,
    ).fit(x, y)
    drawn = np.random.default_rng([model._seed, 0, 0]).random(3000) < 0.5
    (tree,) = model._trees
    leaves, out = tree.apply(x), model.predict(x)
    residual = y - model._init_score[0]
    assert tree.count[0] == drawn.sum()
    for leaf in np.unique(leaves):
        rows = (leaves == leaf) & drawn
        assert rows.sum() >= model.min_samples_leaf
        if loss == "squared_error":
            value = residual[rows].sum() / rows.sum()
        else:
            value = np.quantile(residual[rows], 0.5, method="inverted_cdf")
        np.testing.assert_allclose(out[leaves == leaf] - model._init_score[0], value, atol=1e-9)
    again = TarnwickRegressor(**model.get_params()).fit(x, y)
    assert same_bits(again.predict(x), out)
    other = TarnwickRegressor(**{**model.get_params(), "random_state": 4}).fit(x, y)
    assert not np.array_equal(other.predict(x), out)


def test_each_node_searches_the_features_it_draws():
    """With one feature of eight drawn per node, the roots split on the one
    feature that matters only as often as it is drawn; the draws follow
    random_state."""
    rng = np.random.default_rng(5)
    x = rng.standard_normal((2000, 8))
    y = np.where(x[:, 0] > 0, 3.0, -3.0) + 0.1 * rng.standard_normal(2000)

    def roots(**params):
        model = TarnwickRegressor(max_iter=40, early_stopping=False, **params).fit(x, y)
        return np.array([tree.feature[0] for tree in model._trees])

    assert (roots() == 0).all()
    drawn = roots(max_features=0.125, random_state=1)
    assert 0 < np.count_nonzero(drawn == 0) < 15
    assert len(set(drawn.tolist())) >= 6
    assert np.array_equal(drawn, roots(max_features=0.1, random_state=1))
    assert not np.array_equal(drawn, roots(max_features=0.125, random_state=2))


def test_tree_respects_leaf_limits():
    x, _, y, _ = mixed_data(4000)
    for leaves, depth, min_leaf in [(7, None, 100), (31, 3, 20), (None, 4, 5)]:
        model = TarnwickRegressor(
            max_iter=1,
            max_leaf_nodes=leaves,
            max_depth=depth,
            min_samples_leaf=min_leaf,
            early_stopping=False,
        ).fit(x, y)
        tree = model._trees[0]
        n_leaves = int((tree.leaf_id >= 0).sum())
        counts = np.bincount(tree.apply(x), minlength=n_leaves)
        assert n_leaves <= (leaves or np.inf) and (depth is None or n_leaves <= 2**depth)
        assert counts.min() >= min_leaf and counts.sum() == len(x)
    assert n_leaves > 8


# --------------------------------------------------------------- linear leaves


def test_linear_leaves_fit_piecewise_linear_targets():
    x, z, y, _ = mixed_data(6000, seed=4)
    train, test = slice(0, 4000), slice(4000, None)
    params = dict(max_iter=30, max_leaf_nodes=8, linear_l2=0.1, categorical_features=[5])
    params.update(min_data_per_group=10, early_stopping=False)
    const = TarnwickRegressor(**params).fit(x[train], y[train])
    linear = TarnwickRegressor(**params).fit(x[train], y[train], z=z[train])
    rmse_const = np.sqrt(np.mean((const.predict(x[test]) - y[test]) ** 2))
    rmse_linear = np.sqrt(np.mean((linear.predict(x[test], z=z[test]) - y[test]) ** 2))
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
    model = TarnwickRegressor(max_iter=3, early_stopping=False).fit(x, y, z=z)
    fill = model._embedding.center[1]
    filled, z_inf = z.copy(), z.copy()
    filled[::7, 1] = fill
    z_inf[::7, 1] = np.inf
    assert np.allclose(fill, np.nanmean(z[:, 1]))
    assert same_bits(model.predict(x, z=z), model.predict(x, z=filled))
    assert same_bits(model.predict(x, z=z), model.predict(x, z=z_inf))


@pytest.mark.parametrize("linear", [False, True])
def test_broadcast_unit_hessian_fits_the_same_bits_as_a_vector_of_ones(
    monkeypatch, linear, train_scores
):
    """Squared error hands its unit hessian over as one broadcast value,
    which the histograms and the leaf sums count instead of adding up."""
    x, z, y, _ = mixed_data(3000, seed=9)

    def fit():
        model = TarnwickRegressor(
            max_iter=4, max_leaf_nodes=12, categorical_features=[5], early_stopping=False
        )
        return model.fit(x, y, z=z if linear else None)

    broadcast = fit()
    monkeypatch.setattr(
        losses.SquaredError,
        "hessians",
        staticmethod(lambda weight, hess, shape: np.ones(shape)),
    )
    ones = fit()
    assert same_bits(train_scores(0), train_scores(1))
    for a, b in zip(broadcast._trees, ones._trees):
        for name in ("feature", "threshold", "bias", "weights"):
            assert same_bits(getattr(a, name), getattr(b, name)), name


@pytest.mark.parametrize(
    "name, n_classes",
    [("squared_error", 0), ("poisson", 0), ("gamma", 0), ("log_loss", 2), ("log_loss", 4)],
)
@pytest.mark.parametrize("weighted", [False, True])
@pytest.mark.parametrize("workers", ["1", "3"])
def test_gradients_written_in_pieces_on_threads_equal_one_pass(
    monkeypatch, name, n_classes, weighted, workers
):
    """A shard writes its gradients in pieces of rows, on a thread pool or one
    after the other; each row depends on that row alone, so the pieces give
    the bits of one pass."""
    monkeypatch.setenv("RAYON_NUM_THREADS", workers)
    monkeypatch.setattr(threads, "THREADED_VALUES", 0)
    monkeypatch.setattr(losses.SquaredError, "gradients_in_pieces", True)
    n = 3 * threads.CHUNK_ROWS + 5
    rng = np.random.default_rng(n_classes)
    regression = name in losses.REGRESSION_LOSSES
    loss = losses.make_loss("regression" if regression else "classification", n_classes, name)
    y = rng.gamma(2.0, size=n) if regression else rng.integers(0, n_classes, n)
    weight = rng.random(n) if weighted else None
    shard = Shard(np.zeros((1, n), np.uint16), y, weight, None, loss, 2)
    shard.raw[...] = rng.standard_normal(shard.raw.shape)
    shard.compute_gradients()
    grad = np.empty_like(shard.raw)
    hess = np.empty_like(shard.raw) if loss.needs_hess_buffer else None
    loss.gradients(shard.y, shard.raw, shard.weight, grad, hess)
    assert same_bits(shard.grad, grad)
    assert same_bits(
        np.asarray(shard.hess), np.asarray(loss.hessians(shard.weight, hess, grad.shape))
    )


@pytest.mark.parametrize("task", ["regression", "multiclass"])
def test_joined_and_leaf_by_leaf_sums_and_updates_give_the_same_bits(
    monkeypatch, task, train_scores
):
    """Small blocks join their leaves' rows for one leaf-sum call and one
    score update per tree; large ones go leaf by leaf."""
    monkeypatch.setattr(shard_module, "JOINED_LEAVES_ROWS", 0)
    by_leaf = fitted(task, 4)[0]
    monkeypatch.setattr(shard_module, "JOINED_LEAVES_ROWS", 1 << 30)
    joined = fitted(task, 4)[0]
    assert same_bits(train_scores(0), train_scores(1))
    for a, b in zip(by_leaf._trees, joined._trees):
        for name in ("feature", "threshold", "bias"):
            assert same_bits(getattr(a, name), getattr(b, name)), name


@pytest.mark.parametrize("task", ["regression", "binary", "multiclass"])
@pytest.mark.parametrize("linear", [False, True])
def test_a_root_partitioned_in_pieces_gives_the_same_bits(monkeypatch, task, linear, train_scores):
    """Large roots are partitioned in pieces of their row ids, into children
    sized from the root's histogram; pieces that end inside and at a
    category's rows, missing-right and categorical splits included."""
    whole = fitted(task, 4, linear)[0]
    monkeypatch.setattr(shard_module, "PIECEWISE_ROOT_ROWS", 1)
    monkeypatch.setattr(shard_module, "ROOT_PIECE_ROWS", 37)
    pieces = fitted(task, 4, linear)[0]
    assert same_bits(train_scores(0), train_scores(1))
    for a, b in zip(whole._trees, pieces._trees):
        for name in ("feature", "threshold", "bias", "weights"):
            assert same_bits(getattr(a, name), getattr(b, name)), name


def test_a_root_whose_counts_disagree_with_its_rows_is_an_error(monkeypatch):
    monkeypatch.setattr(shard_module, "PIECEWISE_ROOT_ROWS", 1)
    x, _, y, _ = mixed_data(500)
    rows, tree = grown_on(x, y, np.zeros(6, dtype=bool), max_leaves=2)
    split = tree.nodes[0].split
    rows.start_tree(0, True)
    rows._root_counts[split.feature] = 0.0
    with pytest.raises(RuntimeError, match="the root's partition does not match"):
        rows.split(0, split, 1, 2, None)


def test_freed_row_ids_are_handed_back_after_large_blocks_only(monkeypatch):
    if platform.libc_ver()[0] == "glibc":
        # A lookup that failed would silently keep the heap's pages.
        assert heap._TRIM is not None
    calls = []
    monkeypatch.setattr(heap, "_TRIM", calls.append)
    heap.release_freed(heap.TRIM_BYTES - 1)
    heap.release_freed(heap.TRIM_BYTES)
    assert calls == [0]


@pytest.mark.parametrize("task", ["regression", "binary", "multiclass"])
@pytest.mark.parametrize("drawn", [False, True])
def test_leaf_sums_from_the_histograms_are_those_of_the_rows(task, drawn):
    """On many rows a leaf's gradient and hessian sums come from the bins of
    a histogram (its own, or its parent's on the split feature) instead of a
    pass over its rows: the same sums up to rounding, through numeric splits
    that send missing values either way, categorical ones, weights and a
    round's draw of rows."""
    x, _, y, classes = mixed_data(6000, seed=3)
    x[:, 2] = np.where(np.isnan(x[:, 2]), 5.0, x[:, 2])
    x[np.random.default_rng(4).random(len(x)) < 0.1, 2] = np.nan
    target = {"regression": y, "binary": (y > 0.5).astype(np.int64), "multiclass": classes}[task]
    loss = {"regression": losses.SquaredError(), "binary": losses.Logistic()}.get(
        task, losses.Softmax(3)
    )
    bins = fit_bins(x, np.arange(6) == 5, 255, seed=0)
    weight = np.random.default_rng(5).random(len(x)) + 0.5
    rows = Shard(bin_rows(bins, x), target, weight, None, loss, bins.n_bins_max)
    rows.set_scores(loss.init_score(rows.init_sums()))
    rows.compute_gradients((0.7, 0, 0) if drawn else None)
    finder = SplitFinder(bins, SplitParams(20, 0.0, 10.0, 20, 32), child_hessian_floor(loss))
    finder.start_round(0)
    params = GrowParams(31, None, 20, histogram_sums=True)
    grown = [grow_tree(rows, k, len(x), finder, params) for k in range(loss.n_outputs)]
    splits = [n.split for tree in grown for n in tree.nodes if n.split is not None]
    assert any(s.codes is not None and not s.missing_right for s in splits)
    assert any(s.missing_right for s in splits) and any(s.codes is None for s in splits)
    for tree, (grad, hess) in zip(grown, rows.leaf_sums()):
        from_histograms = tree.leaf_sums()
        for got, want in zip(from_histograms, (grad, hess)):
            assert np.allclose(got, want, rtol=1e-10, atol=1e-10 * np.abs(want).sum())
    # A tree of one leaf has no histogram to take them from.
    rows.end_round(False)
    lone = grow_tree(rows, 0, len(x), finder, GrowParams(1, None, 20, histogram_sums=True))
    assert lone.leaf_sums() is None


def test_children_sums_are_those_of_the_partitioned_rows():
    """A child's sums from its parent's bins on the split feature, for a
    numeric split, one that sends missing values right, and a categorical
    one of a feature with a missing category."""
    x, _, _, _ = mixed_data(3000, seed=8)
    x[np.random.default_rng(9).random(len(x)) < 0.1, 5] = np.nan
    bins = fit_bins(x, np.arange(6) == 5, 255, seed=0)
    binned = bin_rows(bins, x)
    rng = np.random.default_rng(10)
    grad, hess = rng.standard_normal(len(x)), rng.random(len(x))
    rows = np.arange(len(x), dtype=np.int64)
    hist = tn.build_histograms(binned, rows, grad, hess, bins.n_bins_max)
    n_bins = bins.n_bins
    assert bins.missing[[0, 2, 5]].all()
    for feature, bin_, codes, missing_right in [
        (0, 7, None, False),
        (2, 7, np.arange(8, n_bins[2], dtype=np.int64), True),
        (5, -1, np.array([1, 4, 7], dtype=np.int64), False),
    ]:
        split = Split(1.0, feature, bin_, codes, missing_right, 0, 0, int(n_bins[feature]), feature)
        children = tn.partition_rows(binned, rows, feature, bin_, codes, split.missing_bin)
        want = [(grad[c].sum(), hess[c].sum()) for c in children]
        assert np.allclose(children_sums(hist, split), want, rtol=1e-12), feature


def test_leaves_of_zero_hessian_output_zero():
    """Without an L2 term a leaf whose rows all have zero hessian (saturated
    probabilities) has no Newton step: it outputs 0, not NaN or infinity."""
    bias, weights, _, _ = constant_tables(
        np.array([0.0, -1e-300, 3.0]), np.array([0.0, 0.0, 2.0]), 0.0, 0.5
    )
    assert bias.tolist() == [0.0, 0.0, -0.75] and weights.shape == (3, 0)


# ------------------------------------------------------------------ row order


def grown_on(x, y, categorical, max_leaves=20, min_samples_leaf=30):
    bins = fit_bins(x, categorical, 255, seed=0)
    loss = losses.SquaredError()
    rows = Shard(bin_rows(bins, x), y, None, None, loss, bins.n_bins_max)
    rows.set_scores(loss.init_score(rows.init_sums()))
    rows.compute_gradients()
    finder = SplitFinder(bins, SplitParams(min_samples_leaf, 0.0, 10.0, 100, 32))
    tree = grow_tree(rows, 0, len(y), finder, GrowParams(max_leaves, None, min_samples_leaf))
    return rows, tree


class SplittingAhead:
    """A Shard that splits the leaf the grower names ahead, as rows far away
    do: that leaf's split is then served from what was made ahead."""

    splits_ahead = 2

    def __init__(self, shard):
        self.shard, self.made, self.named, self.taken = shard, {}, 0, 0

    def __getattr__(self, name):
        return getattr(self.shard, name)

    def split(self, node, split, left, right, build, ahead=()):
        if node in self.made:
            self.taken += 1
            self.shard.take_ahead(node, left, right)
            hist = self.made.pop(node)
            return hist if build is not None else None
        hist = self.shard.split(node, split, left, right, build)
        if build is not None:
            for leaf in [a for a in ahead if a[0] not in self.made][: self.splits_ahead]:
                self.named += 1
                self.made[leaf[0]] = self.shard.split_ahead(*leaf)
        return hist


@pytest.mark.parametrize(
    "max_leaves, max_depth, least_named", [(20, None, 5), (31, 4, 1), (8, None, 2)]
)
def test_splitting_ahead_grows_the_same_tree(max_leaves, max_depth, least_named):
    x, _, y, _ = mixed_data(5000, seed=6)
    bins = fit_bins(x, np.arange(6) == 5, 255, seed=0)
    finder = SplitFinder(bins, SplitParams(30, 0.0, 10.0, 100, 32))
    params = GrowParams(max_leaves, max_depth, 30)
    grown = []
    for wrap in (lambda shard: shard, SplittingAhead):
        loss = losses.SquaredError()
        shard = Shard(bin_rows(bins, x), y, None, None, loss, bins.n_bins_max)
        shard.set_scores(loss.init_score(shard.init_sums()))
        shard.compute_gradients()
        rows = wrap(shard)
        tree = grow_tree(rows, 0, len(y), finder, params)
        grown.append((rows, tree, shard._trees[0][2]))
    (_, plain, plain_leaves), (ahead, tree, leaves) = grown

    def rules(tree):
        return [
            None if (r := n.split) is None else (r.feature, r.bin_, r.gain, str(r.codes))
            for n in tree.nodes
        ]

    assert rules(tree) == rules(plain)
    assert all(np.array_equal(a, b) for a, b in zip(leaves, plain_leaves))
    # Leaves were split ahead (not those whose children reach the depth
    # limit), and nearly every one made was used.
    assert ahead.named >= least_named
    assert ahead.taken >= ahead.named - 1


def test_depth_first_order_puts_every_node_in_one_stretch():
    x, _, y, _ = mixed_data(5000, seed=4)
    rows, tree = grown_on(x, y, np.arange(6) == 5)
    leaf_rows = rows._trees[0][2]
    order = np.concatenate([leaf_rows[leaf] for leaf in tree.depth_first_leaves()])
    assert np.array_equal(np.sort(order), np.arange(len(y)))
    position = np.empty_like(order)
    position[order] = np.arange(len(order))

    def subtree_rows(index):
        node = tree.nodes[index]
        if node.split is None:
            return leaf_rows[node.leaf]
        return np.concatenate([subtree_rows(node.left), subtree_rows(node.right)])

    for index, node in enumerate(tree.nodes):
        spots = np.sort(position[subtree_rows(index)])
        assert spots[-1] - spots[0] + 1 == spots.size, index
        # Within a leaf the rows keep their order.
        if node.split is None:
            assert np.all(np.diff(order[spots]) > 0)


def test_small_matrix_passes_stay_on_the_calling_thread(monkeypatch):
    """Binning and reordering a small matrix hand nothing to the thread pool,
    whose hand-off would cost more than the work; a large one uses it."""
    monkeypatch.setenv("RAYON_NUM_THREADS", "3")
    seen = set()

    def where(item):
        seen.add(threading.get_ident())
        return item

    limit = threads.THREADED_MATRIX_VALUES
    assert threads.map_all(where, range(8), limit - 1) == list(range(8))
    assert seen == {threading.get_ident()}
    threads.over_shares(lambda share, start, stop: where(share), 8, 3, limit - 1)
    assert seen == {threading.get_ident()}
    threads.map_all(where, range(8), limit)
    assert seen - {threading.get_ident()}


@pytest.mark.parametrize("workers", ["1", "3"])
def test_reordering_moves_every_array_together_and_back(monkeypatch, workers):
    """Threads move shares of the features through pieces of one buffer."""
    monkeypatch.setenv("RAYON_NUM_THREADS", workers)
    monkeypatch.setattr(threads, "THREADED_MATRIX_VALUES", 0)
    rng = np.random.default_rng(5)
    binned = rng.integers(0, 9, (5, 50)).astype(np.uint16)
    y, z, weight = rng.standard_normal(50), rng.standard_normal((50, 2)), rng.random(50)
    rows = Shard(binned.copy(), y, weight, z.copy(), losses.Softmax(2), 10, track_order=True)
    raw = rng.standard_normal((2, 50))
    rows.raw[:] = raw
    first, second = rng.permutation(50), rng.permutation(50)
    for positions in (first, second):
        rows._order_buffer()[:] = positions
        rows.reorder()
    caller = first[second]
    assert np.array_equal(rows.original, caller)
    for now, before in [(rows.binned, binned), (rows.raw, raw)]:
        assert np.array_equal(now, before[:, caller])
    assert np.array_equal(rows.y, y[caller]) and np.array_equal(rows.z, z[caller])
    assert np.array_equal(rows.weight, weight[caller])
    assert np.array_equal(rows.scores_in_block_order(), raw)


def test_reordering_runs_after_power_of_two_rounds():
    assert [r for r in range(40) if reorder_due(r)] == [0, 1, 3, 7, 15, 31]


@pytest.mark.parametrize("task", ["regression", "multiclass"])
def test_row_order_changes_the_rounding_not_the_fit(monkeypatch, task, train_scores):
    """Reordering changes the order in which histograms add their rows: the
    first round, grown before any reordering, is the same to the bit, and
    later rounds fit as well (a near tie between two splits may go the other
    way)."""
    x, z, y, classes = mixed_data(4000, seed=6)
    target = y if task == "regression" else classes
    cls = TarnwickRegressor if task == "regression" else TarnwickClassifier

    def fit():
        model = cls(
            max_iter=6,
            max_leaf_nodes=15,
            categorical_features=[5],
            min_data_per_group=10,
            early_stopping=False,
        )
        return model.fit(x, target, z=z)

    reordered = fit()
    monkeypatch.setattr(booster, "reorder_due", lambda iteration: False)
    kept = fit()
    n_first = 1 if task == "regression" else 3
    for a, b in zip(reordered._trees[:n_first], kept._trees[:n_first]):
        for name in ("feature", "threshold", "bias", "weights"):
            assert same_bits(getattr(a, name), getattr(b, name)), name
    assert not same_bits(train_scores(0), train_scores(1))
    loss = reordered._loss
    sums = [loss.loss_sums(target, train_scores(i), None) for i in (0, 1)]
    assert sums[0][0] == pytest.approx(sums[1][0], rel=0.02)


# ------------------------------------------------------------ reproducibility

FIT_ALL = """
import numpy as np
from tarnwick import TarnwickClassifier, TarnwickRegressor, booster, estimators
from tarnwick.model_file import model_arrays

shards = []
class Recorded(estimators.Shard):
    def __init__(self, *args):
        super().__init__(*args, track_order=True)
        shards.append(self)
estimators.Shard = Recorded

rng = np.random.default_rng(11)
n = 20_000
x = rng.standard_normal((n, 8))
x[rng.random((n, 8)) < 0.05] = np.nan
x[:, 7] = rng.integers(0, 12, n)
z = rng.standard_normal((n, 4))
y = 2.0 * np.nan_to_num(x[:, 0]) + z[:, 0] * (x[:, 1] > 0) + 0.3 * rng.standard_normal(n)
weight = rng.random(n)
result = {}
for label, model, target, emb, w in [
        ("regression", TarnwickRegressor(max_iter=3, categorical_features=[7]), y, z, None),
        ("weighted", TarnwickRegressor(max_iter=3, linear_features=[2, 3], subsample=0.5), y,
         None, weight),
        ("binary", TarnwickClassifier(max_iter=3, monotonic_cst=[1, -1] + [0] * 6), y > 0,
         None, weight),
        ("multiclass", TarnwickClassifier(max_iter=2), np.digitize(y, [-1.0, 1.0]), z, None),
        ("poisson", TarnwickRegressor(loss="poisson", max_iter=3, linear_features=[2],
                                      max_features=0.5),
         rng.poisson(np.exp(y / 3)), None, weight),
        ("sums: regression", TarnwickRegressor(max_iter=3, categorical_features=[7],
                                               subsample=0.7), y, None, weight),
        ("sums: multiclass", TarnwickClassifier(max_iter=2, categorical_features=[7]),
         np.digitize(y, [-1.0, 1.0]), None, None)]:
    model.set_params(early_stopping=True, random_state=0)
    # The leaves of these fits take their sums from the histograms.
    booster.HISTOGRAM_SUMS_ROWS = 10_000 if label.startswith("sums") else 1 << 17
    model.fit(x, target, w, z=emb)
    arrays = model_arrays(model)
    arrays["prediction"] = model._raw_predict(x, emb)
    arrays["train"] = shards[-1].scores_in_block_order()
    result[label] = arrays
"""


def test_one_and_two_threads_give_identical_models_and_predictions():
    """20,000 rows x 8 features and d = 4 take the parallel branch of every
    kernel that has one; early stopping splits off a validation set."""
    one = results_in_subprocess(FIT_ALL, threads=1)
    two = results_in_subprocess(FIT_ALL, threads=2)
    assert one.keys() == two.keys()
    for label in one:
        assert one[label].keys() == two[label].keys()
        for name in one[label]:
            assert same_bits(one[label][name], two[label][name]), (label, name)
