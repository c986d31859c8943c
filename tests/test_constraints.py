"""Constraints on what trees learn: monotonic constraints (the split search
against every threshold, and fitted models that never move against a
constrained feature) and interaction constraints (every branch splits on
the features of one group)."""

import numpy as np
import pandas as pd
import pytest
from support import same_bits
from tarnwick import TarnwickClassifier, TarnwickRegressor, load_model
from tarnwick.binning import Bins
from tarnwick.splitting import MIN_CHILD_HESSIAN, SplitFinder, SplitParams


def admissible_reference(hist, n_bins, missing, signs, min_leaf, floor, l2, lower, upper):
    """The largest gain of a numeric split over every threshold of every
    feature, missing values below and (where a feature had any) above,
    whose children hold min_leaf rows and floor hessian, and, on a
    constrained feature, whose children's values clipped to [lower, upper]
    keep its sign."""
    g_total, h_total, c_total = hist[0].sum(axis=0)
    parent = g_total * g_total / (h_total + l2)
    best = 0.0
    for f, n in enumerate(n_bins):
        for missing_up in (False, True) if missing[f] else (False,):
            for t in range(n if missing_up else n - 1):
                g, h, c = hist[f, : t + 1].sum(axis=0)
                if not missing_up:
                    g, h, c = g + hist[f, n, 0], h + hist[f, n, 1], c + hist[f, n, 2]
                g_up, h_up, c_up = g_total - g, h_total - h, c_total - c
                if min(c, c_up) < min_leaf or min(h, h_up) < floor:
                    continue
                v_low = np.clip(-g / (h + l2), lower, upper)
                v_up = np.clip(-g_up / (h_up + l2), lower, upper)
                if signs[f] * (v_up - v_low) < 0:
                    continue
                best = max(best, g * g / (h + l2) + g_up * g_up / (h_up + l2) - parent)
    return best


def test_the_search_finds_the_best_split_that_keeps_the_constraints():
    rng = np.random.default_rng(7)
    held_back = 0
    for trial in range(300):
        n_rows, n_features, width = rng.integers(40, 400), rng.integers(1, 5), 16
        n_bins = rng.integers(2, width - 2, n_features)
        missing = rng.random(n_features) < 0.5
        signs = rng.choice([-1, 0, 1], n_features).astype(np.int8)
        if not signs.any():
            signs[0] = 1
        classification = trial % 3 == 0
        hess = rng.choice([0.2, 1e-4], n_rows) if classification else np.ones(n_rows)
        grad = rng.normal(0, 1, n_rows) + rng.normal(0, 1)
        hist = np.zeros((n_features, width, 3))
        for f, n in enumerate(n_bins):
            codes = rng.integers(0, n + (1 if missing[f] else 0), n_rows)
            # A trend along the bins, up or down, that the constraint may forbid.
            trend = rng.normal(0, 1) * codes / n
            for channel, values in enumerate([(grad + trend) * hess, hess, np.ones(n_rows)]):
                hist[f, :, channel] = np.bincount(codes, values, width)
        # Every feature sees the same rows: the node totals agree.
        hist[1:] *= (hist[0].sum(axis=0) / hist[1:].sum(axis=1))[:, None, :]
        hist[1:, :, 2] = np.round(hist[1:, :, 2])
        min_leaf, l2 = int(rng.integers(1, 10)), float(rng.choice([0.0, 1.0]))
        lower, upper = sorted(rng.normal(0, 0.5, 2)) if trial % 2 else (-np.inf, np.inf)
        floor = MIN_CHILD_HESSIAN if classification else 0.0
        bins = Bins([], [], [], n_bins, np.zeros(n_features, bool), missing)
        params = SplitParams(min_leaf, l2, 10.0, 100, 32, monotonic=signs)
        found = SplitFinder(bins, params, floor)(hist, lower, upper)
        expected = admissible_reference(
            hist, n_bins, missing, signs, min_leaf, floor, l2, lower, upper
        )
        free = admissible_reference(
            hist, n_bins, missing, np.zeros_like(signs), min_leaf, floor, l2, lower, upper
        )
        held_back += expected < free
        if expected <= 1e-9:
            continue
        assert found is not None
        np.testing.assert_allclose(found.gain, expected, rtol=1e-9)
    assert held_back >= 50


def trend_data(n, seed=0):
    """Four features: y rises with feature 0 and falls with feature 1, each
    with a wave that an unconstrained fit follows; 5 % missing values."""
    rng = np.random.default_rng(seed)
    x = rng.standard_normal((n, 4))
    x[rng.random((n, 4)) < 0.05] = np.nan
    a, b, c = (np.nan_to_num(x[:, i]) for i in range(3))
    y = a + 0.8 * np.sin(4 * a) - b + 0.5 * np.sin(3 * b) + c * a
    return x, y + 0.5 * rng.standard_normal(n)


def steepest_fall(model, signs, seed=1):
    """The largest step against a constraint along a grid of each
    constrained feature, from rows with missing values among them."""
    rng = np.random.default_rng(seed)
    base = rng.standard_normal((200, 4))
    base[rng.random((200, 4)) < 0.1] = np.nan
    grid = np.linspace(-3.5, 3.5, 141)
    worst = 0.0
    for f in np.flatnonzero(signs):
        rows = np.repeat(base, grid.size, axis=0)
        rows[:, f] = np.tile(grid, len(base))
        out = model.predict_proba(rows)[:, 1] if hasattr(model, "classes_") else model.predict(rows)
        steps = np.diff(out.reshape(len(base), grid.size), axis=1) * signs[f]
        worst = min(worst, steps.min())
    return worst


@pytest.mark.parametrize("task", ["regression", "binary"])
def test_predictions_never_move_against_a_constraint(task):
    x, y = trend_data(8000)
    signs = np.array([1, -1, 0, 0])
    if task == "binary":
        model, y = TarnwickClassifier, y > 0
    else:
        model = TarnwickRegressor
    params = dict(max_iter=60, early_stopping=False, min_samples_leaf=10)
    free = model(**params).fit(x, y)
    held = model(monotonic_cst=signs, **params).fit(x, y)
    assert steepest_fall(free, signs) < -1e-3
    assert steepest_fall(held, signs) == 0.0
    assert held.score(x, y) > 0.9 * free.score(x, y)


def test_constraints_by_name_give_the_model_of_constraints_by_position(tmp_path):
    x, y = trend_data(3000)
    frame = pd.DataFrame(x, columns=["up", "down", "c", "d"])
    params = dict(max_iter=10, early_stopping=False, random_state=0)
    by_name = TarnwickRegressor(monotonic_cst={"up": 1, "down": -1}, **params).fit(frame, y)
    by_position = TarnwickRegressor(monotonic_cst=[1, -1, 0, 0], **params).fit(frame, y)
    assert same_bits(by_name.predict(frame), by_position.predict(frame))
    by_name.save(tmp_path / "model.npz")
    loaded = load_model(tmp_path / "model.npz")
    assert loaded.monotonic_cst == {"up": 1, "down": -1}
    assert same_bits(loaded.predict(frame), by_name.predict(frame))


@pytest.mark.parametrize(
    "case, match",
    [
        ("wrong length", "monotonic_cst has shape"),
        ("wrong value", "an array-like of -1, 0 or 1"),
        ("unknown name", "unexpected feature names"),
        ("categorical", "Categorical features cannot have monotonic constraints"),
        ("multiclass", "not supported for multiclass"),
        ("linear leaves", "cannot be combined with linear leaves"),
    ],
)
def test_constraints_that_cannot_hold_are_refused(case, match):
    x, y = trend_data(600)
    frame = pd.DataFrame(x, columns=["a", "b", "c", "d"])
    model, target, data = TarnwickRegressor(max_iter=2), y, x
    cst = {
        "wrong length": [1, 0, 0],
        "wrong value": [2, 0, 0, 0],
        "unknown name": {"e": 1},
        "categorical": [1, 0, 0, 0],
        "multiclass": [1, 0, 0, 0],
        "linear leaves": [1, 0, 0, 0],
    }[case]
    if case == "unknown name":
        data = frame
    elif case == "categorical":
        model.set_params(categorical_features=[0])
        data = np.nan_to_num(np.round(x))
    elif case == "multiclass":
        model, target = TarnwickClassifier(max_iter=2), np.digitize(y, [-1.0, 1.0])
    elif case == "linear leaves":
        model.set_params(linear_features=[2])
    with pytest.raises(ValueError, match=match):
        model.set_params(monotonic_cst=cst).fit(data, target)


def branch_features(tree):
    """The set of features split on along each root-to-leaf branch."""
    out, stack = [], [(0, frozenset())]
    while stack:
        node, seen = stack.pop()
        if tree.leaf_id[node] >= 0:
            out.append(seen)
            continue
        seen = seen | {int(tree.feature[node])}
        stack += [(int(tree.left[node]), seen), (int(tree.right[node]), seen)]
    return out


@pytest.mark.parametrize(
    "cst, groups",
    [
        ([[0, 1], [1, 2]], [{0, 1}, {1, 2}, {3, 4, 5}]),
        ("no_interactions", [{f} for f in range(6)]),
        ("pairwise", [{a, b} for a in range(6) for b in range(a + 1, 6)]),
    ],
)
@pytest.mark.parametrize("max_features", [1.0, 0.5])
def test_every_branch_splits_on_the_features_of_one_group(cst, groups, max_features):
    rng = np.random.default_rng(3)
    x = rng.standard_normal((4000, 6))
    x[rng.random((4000, 6)) < 0.05] = np.nan
    a, b, c, d = (np.nan_to_num(x[:, i]) for i in range(4))
    y = a * b + b * c * d + np.sin(3 * c) + 0.1 * rng.standard_normal(4000)
    params = dict(max_iter=15, early_stopping=False, max_features=max_features, random_state=0)
    free = TarnwickRegressor(**params).fit(x, y)
    held = TarnwickRegressor(interaction_cst=cst, **params).fit(x, y)

    def within_groups(model):
        return all(
            any(branch <= g for g in groups)
            for tree in model._trees
            for branch in branch_features(tree)
        )

    assert not within_groups(free)
    assert within_groups(held)
    # Within the groups, branches still combine features.
    if cst != "no_interactions":
        assert any(len(br) > 1 for t in held._trees for br in branch_features(t))


@pytest.mark.parametrize(
    "cst, match",
    [
        ([[0, 7]], r"integer indices in \[0, n_features - 1\] = \[0, 3\]"),
        ([0, 1], "must be a sequence of tuples or lists"),
    ],
)
def test_interaction_constraints_out_of_range_are_refused(cst, match):
    x, y = trend_data(300)
    with pytest.raises(ValueError, match=match):
        TarnwickRegressor(max_iter=2, interaction_cst=cst).fit(x, y)
