"""Regression losses on the log scale (Poisson, gamma, Tweedie) beside
squared error and the logistic loss: derivatives, initial scores, target
checks and fits."""

import numpy as np
import pytest
from sklearn.ensemble import HistGradientBoostingRegressor
from sklearn.metrics import (
    mean_gamma_deviance,
    mean_pinball_loss,
    mean_poisson_deviance,
    mean_tweedie_deviance,
)
from sklearn.utils._param_validation import InvalidParameterError
from support import same_bits
from tarnwick import TarnwickClassifier, TarnwickRegressor, load_model
from tarnwick.losses import make_loss, weighted_quantile

LOSSES = [("regression", 0, "squared_error"), ("regression", 0, "poisson")]
LOSSES += [("regression", 0, "gamma"), ("classification", 2, "log_loss")]
LOSSES += [("regression", 0, "tweedie")]


def targets(name, n, rng):
    if name == "log_loss":
        return rng.integers(0, 2, n).astype(np.float64)
    if name == "poisson":
        return rng.poisson(2.0, n).astype(np.float64)
    if name == "tweedie":
        return compound_poisson_gamma(np.full(n, 1.5), rng)
    return rng.gamma(2.0, size=n)


def compound_poisson_gamma(mean, rng):
    """Sums of Poisson-many gamma draws: zero for many rows, a continuous
    amount for the others (Tweedie with variance power between 1 and 2)."""
    counts = rng.poisson(mean / 2.0)
    amounts = np.zeros(counts.size)
    some = counts > 0
    # A sum of c gamma(2) draws is one gamma(2 c) draw.
    amounts[some] = rng.gamma(2.0 * counts[some])
    return amounts


@pytest.mark.parametrize("kind, n_classes, name", LOSSES)
@pytest.mark.parametrize("weighted", [False, True])
def test_gradients_and_hessians_are_the_derivatives_of_the_loss(kind, n_classes, name, weighted):
    rng = np.random.default_rng(3)
    n = 50
    loss = make_loss(kind, n_classes, name, power=1.3)
    y, raw = targets(name, n, rng), rng.uniform(-1.5, 1.5, n)
    weight = rng.random(n) + 0.5 if weighted else None
    grad, hess = np.empty(n), np.empty(n)
    loss.gradients(y, raw, weight, grad, hess)
    hess = np.broadcast_to(loss.hessians(weight, hess, raw.shape), raw.shape)

    def row_losses(r):
        # Each row's weighted loss alone: the sum over one row at a time.
        return np.array(
            [
                loss.loss_sums(
                    y[i : i + 1], r[i : i + 1], None if weight is None else weight[i : i + 1]
                )[0]
                for i in range(n)
            ]
        )

    step = 1e-4
    up, mid, down = row_losses(raw + step), row_losses(raw), row_losses(raw - step)
    np.testing.assert_allclose(grad, (up - down) / (2 * step), rtol=1e-6, atol=1e-8)
    np.testing.assert_allclose(hess, (up - 2 * mid + down) / step**2, rtol=1e-4, atol=1e-6)


@pytest.mark.parametrize("kind, n_classes, name", LOSSES)
def test_the_initial_score_is_the_best_constant(kind, n_classes, name):
    rng = np.random.default_rng(4)
    n = 400
    loss = make_loss(kind, n_classes, name, power=1.7)
    y, weight = targets(name, n, rng), rng.random(n)
    # Sums of two blocks added in block order, as a fit on partitions adds them.
    sums = loss.init_sums(y[:150], weight[:150]) + loss.init_sums(y[150:], weight[150:])
    raw = np.full(n, loss.init_score(sums)[0])
    grad, hess = np.empty(n), np.empty(n)
    loss.gradients(y, raw, weight, grad, hess)
    assert abs(grad.sum()) < 1e-9 * np.abs(grad).sum()


@pytest.mark.parametrize(
    "name, y, match",
    [
        ("poisson", [0.0, 2.0, -1.0], "'poisson' needs targets >= 0"),
        ("gamma", [1.0, 0.0, 3.0], "'gamma' needs targets > 0"),
        ("poisson", [0.0, 0.0, 0.0], "'poisson' needs targets of a positive weighted mean"),
        ("tweedie", [0.0, 2.5, -0.5], "'tweedie' needs targets >= 0"),
        ("tweedie", [0.0, 0.0, 0.0], "'tweedie' needs targets of a positive weighted mean"),
    ],
)
def test_targets_outside_the_range_of_the_loss_are_refused(name, y, match):
    x = np.arange(60.0).reshape(-1, 1)
    y = np.tile(y, 20)
    with pytest.raises(ValueError, match=match):
        TarnwickRegressor(loss=name, max_iter=2).fit(x, y)
    if y.any():
        # The validation set of early stopping is held to the same range.
        with pytest.raises(ValueError, match=match):
            TarnwickRegressor(loss=name, max_iter=2).fit(x, np.ones(60), X_val=x, y_val=y)


def test_losses_are_checked_by_name():
    x, y = np.arange(40.0).reshape(-1, 1), np.arange(40.0)
    with pytest.raises(InvalidParameterError, match="loss"):
        TarnwickRegressor(loss="huber").fit(x, y)
    for power in (1.0, 2.0):
        with pytest.raises(InvalidParameterError, match="power"):
            TarnwickRegressor(loss="tweedie", power=power).fit(x, y)
    with pytest.raises(InvalidParameterError, match="loss"):
        TarnwickClassifier(loss="poisson").fit(x, y > 20)


def positive_data(name, n=12_000, seed=0):
    rng = np.random.default_rng(seed)
    x = rng.standard_normal((n, 6))
    mean = np.exp(0.6 * x[:, 0] - 0.4 * x[:, 1] ** 2 + 0.5 * np.sin(3 * x[:, 2]))
    if name == "tweedie":
        return x, compound_poisson_gamma(mean, rng)
    y = rng.poisson(mean).astype(np.float64) if name == "poisson" else rng.gamma(2.0, mean / 2)
    return x, y


@pytest.mark.parametrize(
    "name, deviance", [("poisson", mean_poisson_deviance), ("gamma", mean_gamma_deviance)]
)
def test_log_scale_losses_fit_as_well_as_scikit_learns(name, deviance):
    """The same Newton boosting on the same loss as HGB: held-out deviances
    agree closely, and every prediction is positive."""
    x, y = positive_data(name)
    train, test = slice(0, 8000), slice(8000, None)
    settings = dict(max_iter=60, early_stopping=False, random_state=0)
    ours = TarnwickRegressor(loss=name, **settings).fit(x[train], y[train])
    peer = HistGradientBoostingRegressor(loss=name, **settings).fit(x[train], y[train])
    predicted = ours.predict(x[test])
    assert predicted.min() > 0
    ours_dev = deviance(y[test], predicted)
    assert ours_dev <= 1.01 * deviance(y[test], peer.predict(x[test]))
    staged = list(ours.staged_predict(x[test]))
    assert same_bits(staged[-1], predicted)


def test_tweedie_fits_amounts_with_zeros():
    """On amounts that are zero for many rows and continuous for the
    others, the Tweedie loss of the data's variance power (4/3 for these
    compound Poisson-gamma draws) fits the mean about as the Poisson loss
    does (both fit the log of the mean), far better than a constant; the
    gamma loss cannot fit the zeros at all."""
    x, y = positive_data("tweedie")
    assert 0.2 < np.mean(y == 0) < 0.8
    train, test = slice(0, 8000), slice(8000, None)
    settings = dict(max_iter=60, early_stopping=False, random_state=0)
    tweedie = TarnwickRegressor(loss="tweedie", power=4 / 3, **settings).fit(x[train], y[train])
    poisson = TarnwickRegressor(loss="poisson", **settings).fit(x[train], y[train])
    constant = np.full(y[test].size, y[train].mean())

    def deviance(predicted):
        return mean_tweedie_deviance(y[test], predicted, power=4 / 3)

    ours = deviance(tweedie.predict(x[test]))
    assert ours < 1.02 * deviance(poisson.predict(x[test]))
    assert ours < 0.9 * deviance(constant)
    # The power is the loss's: another one fits another model.
    other = TarnwickRegressor(loss="tweedie", power=1.8, **settings).fit(x[train], y[train])
    assert not np.array_equal(other.predict(x[test]), tweedie.predict(x[test]))
    with pytest.raises(ValueError, match="'gamma' needs targets > 0"):
        TarnwickRegressor(loss="gamma", **settings).fit(x[train], y[train])


@pytest.mark.parametrize("name, power", [("poisson", 1.5), ("tweedie", 1.2)])
def test_a_saved_log_scale_model_predicts_the_same_bits(tmp_path, name, power):
    x, y = positive_data(name, 3000)
    model = TarnwickRegressor(loss=name, power=power, max_iter=5, linear_features=[0, 1])
    model.fit(x, y)
    path = tmp_path / "model.npz"
    model.save(path)
    loaded = load_model(path)
    assert (loaded.loss, loaded.power) == (name, power)
    assert same_bits(loaded.predict(x), model.predict(x))
    # Training on goes on with the same loss.
    assert loaded._new_loss().__dict__ == model._new_loss().__dict__


def heavy_tailed_data(n=12_000, seed=0):
    rng = np.random.default_rng(seed)
    x = rng.standard_normal((n, 5))
    scale = 1.0 + np.abs(x[:, 2])
    return x, 2.0 * x[:, 0] + np.sin(3 * x[:, 1]) + scale * rng.standard_t(3, n)


@pytest.mark.parametrize("loss, q", [("absolute_error", 0.5), ("quantile", 0.1), ("quantile", 0.9)])
def test_quantile_losses_predict_their_quantile(loss, q):
    """Held out, the share of targets below the prediction is the quantile,
    and the pinball loss is HGB's."""
    x, y = heavy_tailed_data()
    train, test = slice(0, 8000), slice(8000, None)
    settings = dict(max_iter=60, early_stopping=False, random_state=0, loss=loss)
    ours = TarnwickRegressor(quantile=q, **settings).fit(x[train], y[train])
    peer = HistGradientBoostingRegressor(quantile=q, **settings).fit(x[train], y[train])
    predicted = ours.predict(x[test])
    assert abs(np.mean(y[test] <= predicted) - q) < 0.03
    pinball = mean_pinball_loss(y[test], predicted, alpha=q)
    assert pinball <= 1.01 * mean_pinball_loss(y[test], peer.predict(x[test]), alpha=q)


def test_each_leaf_takes_the_quantile_of_its_rows():
    """One round at learning rate 1: every leaf outputs the quantile of its
    training targets (the initial score, their quantile, cancels out)."""
    x, y = heavy_tailed_data(3000)
    model = TarnwickRegressor(
        loss="quantile", quantile=0.7, max_iter=1, learning_rate=1.0, early_stopping=False
    ).fit(x, y)
    (tree,) = model._trees
    leaves = tree.apply(x)
    predicted = model.predict(x)
    assert np.unique(leaves).size > 10
    for leaf in np.unique(leaves):
        rows = leaves == leaf
        expected = np.quantile(y[rows], 0.7, method="inverted_cdf")
        np.testing.assert_allclose(predicted[rows], expected, rtol=0, atol=1e-12)


def test_weighted_quantiles_are_those_of_repeated_values():
    rng = np.random.default_rng(8)
    values, weight = rng.standard_normal(40), rng.integers(0, 4, 40).astype(np.float64)
    for q in (0.1, 0.5, 0.77):
        repeated = np.quantile(np.repeat(values, weight.astype(int)), q, method="inverted_cdf")
        assert weighted_quantile(values, weight, q) == repeated
    # A leaf whose rows all weigh nothing this round does not move.
    assert weighted_quantile(values, np.zeros(40), 0.5) == 0.0


def test_quantile_losses_need_their_quantile_and_constant_leaves():
    x, y = heavy_tailed_data(500)
    with pytest.raises(ValueError, match="needs quantile"):
        TarnwickRegressor(loss="quantile", max_iter=2).fit(x, y)
    with pytest.raises(ValueError, match="cannot be combined with linear leaves"):
        TarnwickRegressor(loss="absolute_error", linear_features=[0], max_iter=2).fit(x, y)


def squared_error_function(y, raw):
    """The squared error as a loss function: gradients and hessians."""
    return raw - y, np.ones_like(y)


def test_a_loss_function_fits_the_model_of_the_loss_it_computes():
    """Whole-number targets of (weighted) mean exactly 0 give squared error
    the function's initial score; from there the two fits are the same, bit
    for bit, weighted or not, with linear leaves too."""
    rng = np.random.default_rng(7)
    x = rng.standard_normal((3000, 4))
    y = np.round(4 * x[:, 0] + 2 * np.sin(2 * x[:, 1]) + rng.standard_normal(3000))
    weight = rng.integers(1, 4, 3000).astype(np.float64)
    weight[0] = 1.0
    for w in (None, weight):
        y[0] = 0.0
        y[0] = -(y if w is None else w * y).sum()
        for extra in (dict(), dict(linear_features=[2])):
            settings = dict(max_iter=8, random_state=0, **extra)
            built_in = TarnwickRegressor(**settings).fit(x, y, sample_weight=w)
            given = TarnwickRegressor(loss=squared_error_function, **settings).fit(x, y, w)
            assert built_in._init_score[0] == 0.0
            assert same_bits(given.predict(x), built_in.predict(x))


def test_a_loss_function_is_checked_and_has_no_loss_to_stop_on(tmp_path):
    import pickle

    rng = np.random.default_rng(8)
    x = rng.standard_normal((12_000, 3))
    y = x[:, 0] + 0.1 * rng.standard_normal(12_000)
    # 'auto' would stop early above 10,000 rows; there is no loss to score.
    model = TarnwickRegressor(loss=squared_error_function, max_iter=5).fit(x, y)
    assert not model.do_early_stopping_ and model.n_iter_ == 5
    with pytest.raises(ValueError, match="no loss to score"):
        TarnwickRegressor(loss=squared_error_function, early_stopping=True).fit(x, y)
    scored = TarnwickRegressor(
        loss=squared_error_function, scoring="r2", max_iter=200, n_iter_no_change=3, tol=0.5
    ).fit(x, y)
    assert scored.do_early_stopping_ and scored.n_iter_ < 200
    for wrong, match in (
        (lambda y, raw: (raw - y, np.ones(3)), "hessians of shape"),
        (lambda y, raw: ((raw - y)[:-1], np.ones_like(y)), "gradients of shape"),
        (lambda y, raw: (np.full_like(y, np.nan), np.ones_like(y)), "not finite"),
    ):
        with pytest.raises(ValueError, match=match):
            TarnwickRegressor(loss=wrong, max_iter=2).fit(x[:100], y[:100])
    with pytest.raises(ValueError, match="pickle the estimator"):
        model.save(tmp_path / "model.npz")
    assert same_bits(pickle.loads(pickle.dumps(model)).predict(x), model.predict(x))


def test_a_loss_function_cannot_write_into_the_fit():
    def overwriting(y, raw):
        raw -= y
        return raw, np.ones_like(y)

    x = np.arange(100.0).reshape(-1, 1)
    with pytest.raises(ValueError, match="read-only"):
        TarnwickRegressor(loss=overwriting, max_iter=2).fit(x, x[:, 0])


@pytest.mark.parametrize("linear_features", [None, [0, 2]])
def test_a_log_scale_step_is_bounded_and_a_sane_fit_never_reaches_the_bound(
    monkeypatch, linear_features
):
    """Rows whose gamma targets are 1e-9 of the rest: the Newton step of
    their leaves (about -1e9) is cut to the loss's bound (a linear leaf
    that could step further becomes constant), and the fit finds their
    scale over the rounds instead of overflowing into NaN. On data without
    such rows the bound changes no bit."""
    from tarnwick import losses

    rng = np.random.default_rng(0)
    x = rng.standard_normal((5000, 3))
    y = rng.gamma(2.0, np.exp(x[:, 0]))
    tiny = x[:, 1] > 1.5
    y[tiny] = 1e-9
    settings = dict(max_iter=100, early_stopping=False, linear_features=linear_features)
    predicted = TarnwickRegressor(loss="gamma", **settings).fit(x, y).predict(x)
    assert np.isfinite(predicted).all() and (predicted > 0).all()
    assert 1e-10 < np.median(predicted[tiny]) < 1e-8
    scale = np.exp(x[:, 0]) * 2.0
    assert np.median(np.abs(np.log(predicted[~tiny] / scale[~tiny]))) < 0.5

    for name in ("poisson", "gamma", "tweedie"):
        x, y = positive_data(name, 3000)
        settings = dict(loss=name, max_iter=30, learning_rate=0.5, early_stopping=False)
        settings.update(linear_features=linear_features)
        bounded = TarnwickRegressor(**settings).fit(x, y).predict(x)
        with monkeypatch.context() as unbounded:
            unbounded.setattr(losses._LogLink, "max_step", np.inf)
            free = TarnwickRegressor(**settings).fit(x, y).predict(x)
        assert same_bits(bounded, free), name


def test_constant_leaves_take_at_most_the_bounded_step():
    from tarnwick.leaves import constant_tables

    grad, hess = np.array([-1e9, 2.0, 5.0]), np.array([1.0, 4.0, 1e-9])
    bias = constant_tables(grad, hess, 0.0, 0.1, max_step=100.0)[0]
    assert same_bits(bias, np.array([10.0, -0.05, -10.0]))
    assert same_bits(constant_tables(grad, hess, 0.0, 0.1)[0][1:2], np.array([-0.05]))


@pytest.mark.parametrize("linear_features", [None, [1]])
def test_rows_the_model_gets_confidently_wrong_do_not_step_to_infinity(linear_features):
    """Separable classes at learning rate 1: rows of a class whose score has
    run far below the others have gradients near -1 and hessians of 1e-318;
    a tree that could not split them off stepped to infinity, and the
    probabilities became NaN. A leaf now steps with at least the splits'
    hessian floor. (At this rate the fit still overshoots, as HGB's and
    LightGBM's do; the probabilities are finite.)"""
    rng = np.random.default_rng(0)
    x = rng.standard_normal((12_000, 4))
    y = np.digitize(x[:, 0], [-1.0, 0.0, 0.5, 1.0])
    model = TarnwickClassifier(
        learning_rate=1.0, max_iter=20, early_stopping=False, linear_features=linear_features
    ).fit(x, y)
    proba = model.predict_proba(x)
    assert np.isfinite(proba).all() and np.isfinite(model.decision_function(x)).all()
    np.testing.assert_allclose(proba.sum(axis=1), 1.0)


def test_a_leaf_steps_with_at_least_the_hessian_floor():
    from tarnwick.leaves import constant_tables

    grad, hess = np.array([-519.0, 2.0, 0.0]), np.array([6.8e-318, 4.0, 0.0])
    bias = constant_tables(grad, hess, 0.0, 1.0, min_hessian=1e-3)[0]
    assert same_bits(bias, np.array([519_000.0, -0.5, 0.0]))
    assert np.isinf(constant_tables(grad, hess, 0.0, 1.0)[0][0])
