"""Feature contributions (TreeSHAP) against Shapley values found by brute
force from their definition, and their sum, the raw score."""

import itertools
import math

import numpy as np
import pytest
from support import same_bits
from tarnwick import TarnwickClassifier, TarnwickRegressor, load_model


def expected_output(tree, row, known, node=0):
    """The tree's output on row when only the features in known are: known
    features are followed, the others averaged over both children by the
    training rows that reached them."""
    if tree.leaf_id[node] >= 0:
        return tree.bias[tree.leaf_id[node]]
    f = tree.feature[node]
    left, right = tree.left[node], tree.right[node]
    if f in known:
        v = row[f]
        lo, hi = tree.cat_offsets[node], tree.cat_offsets[node + 1]
        if np.isnan(v):
            go_left = tree.missing_left[node]
        elif lo < hi:
            go_left = v in tree.cat_values[lo:hi]
        else:
            go_left = v <= tree.threshold[node]
        return expected_output(tree, row, known, left if go_left else right)
    both = tree.count[left] * expected_output(tree, row, known, left)
    both += tree.count[right] * expected_output(tree, row, known, right)
    return both / tree.count[node]


def shapley_values(trees, row):
    """Per feature, the Shapley value of the trees' summed expected output,
    over every subset of the other features."""
    n = row.size
    phi = np.zeros(n)
    for tree in trees:
        for j in range(n):
            others = [k for k in range(n) if k != j]
            for size in range(n):
                weight = math.factorial(size) * math.factorial(n - 1 - size) / math.factorial(n)
                for known in itertools.combinations(others, size):
                    gain = expected_output(tree, row, {*known, j})
                    phi[j] += weight * (gain - expected_output(tree, row, set(known)))
    return phi


def mixed_rows(n, seed=0):
    """Five features with missing values, the last a category of 0-7."""
    rng = np.random.default_rng(seed)
    x = rng.standard_normal((n, 5))
    x[:, 4] = rng.integers(0, 8, n)
    x[rng.random((n, 5)) < 0.1] = np.nan
    a, b, c = (np.nan_to_num(x[:, i]) for i in range(3))
    y = 2.0 * a + np.sin(b) * c + 3.0 * np.isin(x[:, 4], [1, 3, 6]) + 0.1 * rng.standard_normal(n)
    return x, y


@pytest.mark.parametrize("task", ["regression", "binary", "multiclass"])
def test_contributions_are_the_shapley_values_and_add_up_to_the_raw_score(task):
    x, y = mixed_rows(1500)
    params = dict(max_iter=6, max_leaf_nodes=8, early_stopping=False, categorical_features=[4])
    if task == "regression":
        model = TarnwickRegressor(**params).fit(x, y)
    else:
        labels = y > 0.5 if task == "binary" else np.digitize(y, [-1.0, 0.5, 2.0])
        model = TarnwickClassifier(min_data_per_group=10, **params).fit(x, labels)
    phi = model.predict_contributions(x)
    raw = model._raw_predict(x)
    k = raw.shape[0]
    assert phi.shape == ((len(x), 6) if k == 1 else (len(x), k, 6))
    np.testing.assert_allclose(phi.sum(axis=-1), raw[0] if k == 1 else raw.T, atol=1e-12)
    per_class = phi[:, None, :] if k == 1 else phi
    for r in range(8):
        for c in range(k):
            trees = model._trees[c::k]
            np.testing.assert_allclose(per_class[r, c, :5], shapley_values(trees, x[r]), atol=1e-12)
    # The expected value: the initial score plus each tree's average leaf
    # over the training rows.
    means = [
        sum(expected_output(tree, x[0], set()) for tree in model._trees[c::k]) for c in range(k)
    ]
    expected = model._init_score + np.array(means)
    np.testing.assert_allclose(per_class[0, :, 5], expected, atol=1e-12)


def test_saved_models_keep_the_counts_that_contributions_need(tmp_path):
    x, y = mixed_rows(800)
    model = TarnwickRegressor(max_iter=4, early_stopping=False).fit(x, y)
    model.save(tmp_path / "model.npz")
    loaded = load_model(tmp_path / "model.npz")
    assert same_bits(loaded.predict_contributions(x), model.predict_contributions(x))
    # Every row's values are its own, whatever rows come with it.
    assert same_bits(model.predict_contributions(x[:37]), model.predict_contributions(x)[:37])
    # A file written before trees kept their node counts still predicts.
    with np.load(tmp_path / "model.npz") as data:
        arrays = {name: data[name] for name in data.files if name != "count"}
    np.savez(tmp_path / "older.npz", **arrays)
    older = load_model(tmp_path / "older.npz")
    assert same_bits(older.predict(x), model.predict(x))
    with pytest.raises(ValueError, match="without its trees' node counts"):
        older.predict_contributions(x)


def test_linear_leaves_have_no_contributions():
    x, y = mixed_rows(800)
    model = TarnwickRegressor(max_iter=2, linear_features=[0]).fit(x, y)
    with pytest.raises(ValueError, match="constant leaves"):
        model.predict_contributions(x)
