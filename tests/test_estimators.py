"""The estimators as scikit-learn users meet them: conformance, input
checks, sample weights, early stopping, DataFrames and categories, linear
features, the model file."""

import json
import pickle
import warnings

import numpy as np
import pandas as pd
import pytest
import tarnwick
from sklearn.base import clone
from sklearn.exceptions import DataConversionWarning, NotFittedError
from sklearn.model_selection import GridSearchCV, cross_val_score
from sklearn.pipeline import make_pipeline
from sklearn.preprocessing import StandardScaler
from sklearn.utils.estimator_checks import parametrize_with_checks
from support import same_bits
from tarnwick import TarnwickClassifier, TarnwickRegressor, load_model


@parametrize_with_checks([TarnwickRegressor(), TarnwickClassifier()])
def test_scikit_learn_estimator_checks(estimator, check):
    check(estimator)


def regression_data(n=2000, seed=0):
    rng = np.random.default_rng(seed)
    x = rng.standard_normal((n, 5))
    x[rng.random((n, 5)) < 0.05] = np.nan
    y = 2.0 * np.nan_to_num(x[:, 0]) + np.sin(np.nan_to_num(x[:, 1]) * 2)
    return x, y + 0.3 * rng.standard_normal(n)


def frame_data(n=3000, seed=0):
    """A DataFrame with a string category column, an integer category
    column and two numeric columns, and a target that depends on all."""
    rng = np.random.default_rng(seed)
    colour = rng.choice(["red", "green", "blue", "grey"], n)
    size = rng.integers(0, 6, n)
    df = pd.DataFrame(
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
        + df["width"].to_numpy()
        + 0.1 * rng.standard_normal(n)
    )
    df.loc[rng.random(n) < 0.05, "colour"] = np.nan
    return df, y


# ---------------------------------------------------------- scikit-learn tools


def test_clone_pipeline_grid_search_cross_validation_and_pickle():
    x, y = regression_data()
    model = TarnwickRegressor(max_iter=20, random_state=0)
    assert clone(model).get_params() == model.get_params()
    pipe = make_pipeline(StandardScaler(), clone(model)).fit(x, y)
    assert pipe.score(x, y) > 0.8
    search = GridSearchCV(model, {"max_leaf_nodes": [4, 15]}, cv=3).fit(x, y)
    assert search.best_params_["max_leaf_nodes"] in (4, 15)
    scores = cross_val_score(TarnwickClassifier(max_iter=10), x, y > 0, cv=3)
    assert scores.shape == (3,) and scores.min() > 0.7
    fitted = model.fit(x, y)
    restored = pickle.loads(pickle.dumps(fitted))
    assert same_bits(restored.predict(x), fitted.predict(x))


def test_version_is_the_distribution_version():
    from importlib.metadata import version

    assert tarnwick.__version__ == version("tarnwick")


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
        ("both embeddings", ValueError, "not both"),
    ],
)
def test_bad_training_input_is_refused_clearly(case, error, match):
    x, y = regression_data(200)
    model = TarnwickRegressor(max_iter=2)
    kwargs = {}
    if case == "nan in y":
        y[3] = np.nan
    elif case == "inf in y":
        y[3] = np.inf
    elif case == "no rows":
        x, y = x[:0], y[:0]
    elif case == "complex x":
        x = x + 1j
    elif case == "one class":
        model, y = TarnwickClassifier(max_iter=2), np.zeros(len(y))
    elif case == "negative weight":
        kwargs["sample_weight"] = np.full(len(y), -1.0)
    elif case == "all weights zero":
        kwargs["sample_weight"] = np.zeros(len(y))
    elif case == "both embeddings":
        model.set_params(linear_features=[0])
        kwargs["z"] = np.ones((len(y), 2))
    with pytest.raises(error, match=match):
        model.fit(x, y, **kwargs)


@pytest.mark.parametrize("kind", ["csr_matrix", "csc_matrix", "coo_array", "frame"])
def test_sparse_input_is_the_dense_matrix_with_zeros_where_it_leaves_out_entries(kind):
    import scipy.sparse

    x, y = regression_data(400)
    x[np.abs(x) < 0.8] = 0.0
    x[5, 2] = np.nan
    dense = TarnwickRegressor(max_iter=5, random_state=0).fit(x, y)
    if kind == "frame":
        given = pd.DataFrame.sparse.from_spmatrix(scipy.sparse.csr_matrix(x))
        x = pd.DataFrame(x)
    else:
        given = getattr(scipy.sparse, kind)(x)
    model = TarnwickRegressor(max_iter=5, random_state=0).fit(given, y)
    assert same_bits(model.predict(given), dense.predict(x))
    assert same_bits(dense.predict(given), dense.predict(x))


def test_column_y_is_raveled_with_a_warning():
    x, y = regression_data(300)
    with pytest.warns(DataConversionWarning):
        column = TarnwickRegressor(max_iter=3, random_state=0).fit(x, y[:, None])
    flat = TarnwickRegressor(max_iter=3, random_state=0).fit(x, y)
    assert same_bits(column.predict(x), flat.predict(x))


def test_prediction_checks_its_input():
    x, y = regression_data(300)
    with pytest.raises(NotFittedError):
        TarnwickRegressor().predict(x)
    model = TarnwickRegressor(max_iter=2).fit(x, y)
    with pytest.raises(ValueError, match="features"):
        model.predict(x[:, :3])
    with pytest.raises(ValueError, match="constant leaves"):
        model.predict(x, z=np.ones((len(x), 2)))


def test_infinite_values_lie_beyond_every_finite_one():
    """Infinities are values at the ends of a feature's range, as in HGB and
    LightGBM: a split can set them apart, and they route like any value."""
    rng = np.random.default_rng(4)
    x = rng.normal(0, 1, (2000, 2))
    x[:300, 0], x[300:500, 0] = np.inf, -np.inf
    x[500:600, 0] = np.nan
    y = np.where(np.isposinf(x[:, 0]), 5.0, np.where(np.isneginf(x[:, 0]), -5.0, 0.0))
    model = TarnwickRegressor(
        max_iter=1, learning_rate=1.0, max_leaf_nodes=3, early_stopping=False
    ).fit(x, y)
    probe = np.array([[np.inf, 0.0], [-np.inf, 0.0], [0.5, 0.0], [-0.5, 0.0], [np.nan, 0.0]])
    assert np.allclose(model.predict(probe), [5.0, -5.0, 0.0, 0.0, 0.0])
    # Values past the largest finite one seen go with the infinities.
    assert np.allclose(model.predict(np.array([[1e300, 0.0], [-1e300, 0.0]])), [5.0, -5.0])


# --------------------------------------------------------------- weights


@pytest.mark.parametrize("linear", [False, True])
def test_fit_leaves_the_callers_arrays_unchanged(linear):
    """Training reorders its rows in place: on its own copies only."""
    x, y = regression_data(3000)
    weight = np.linspace(0.5, 2.0, 3000)
    z = np.random.default_rng(0).standard_normal((3000, 2)) if linear else None
    before = [a.copy() for a in (x, y, weight) + ((z,) if linear else ())]
    TarnwickRegressor(max_iter=5).fit(x, y, sample_weight=weight, z=z)
    labels = (y > 0).astype(np.float64)
    labels_before = labels.copy()
    TarnwickClassifier(max_iter=5).fit(x, labels, sample_weight=weight, z=z)
    after = [x, y, weight] + ([z] if linear else [])
    assert all(same_bits(a, b) for a, b in zip(before, after))
    assert same_bits(labels, labels_before)


def test_zero_weight_rows_have_no_pull():
    """Rows of weight zero change nothing: the model is that of the other
    rows alone, to the bit (they are not binned or counted either)."""
    x, y = regression_data(3000, seed=1)
    weight = np.where(np.arange(3000) % 3 == 0, 0.0, 1.0)
    y_noise = np.where(weight == 0, 1e6, y)
    params = dict(max_iter=10, early_stopping=False, random_state=0)
    weighted = TarnwickRegressor(**params).fit(x, y_noise, sample_weight=weight)
    alone = TarnwickRegressor(**params).fit(x[weight > 0], y[weight > 0])
    assert same_bits(weighted.predict(x), alone.predict(x))


@pytest.mark.parametrize(
    "model, loss",
    [
        (TarnwickRegressor, "squared_error"),
        (TarnwickRegressor, "quantile"),
        (TarnwickClassifier, "log_loss"),
    ],
)
def test_integer_weights_give_the_model_of_repeated_rows(model, loss):
    rng = np.random.default_rng(2)
    x = rng.integers(0, 50, (400, 3)).astype(np.float64)
    y = x[:, 0] * 0.1 + np.sin(x[:, 1]) + rng.standard_normal(400) * 0.1
    if model is TarnwickClassifier:
        y = np.digitize(y, [0.5, 2.0])
    weight = rng.integers(0, 4, 400)
    params = dict(max_iter=5, min_samples_leaf=1, early_stopping=False, max_leaf_nodes=8)
    params["loss"] = loss
    if loss == "quantile":
        params["quantile"] = 0.3
    weighted = model(**params).fit(x, y, sample_weight=weight)
    repeated = model(**params).fit(np.repeat(x, weight, axis=0), np.repeat(y, weight))
    out = "predict" if model is TarnwickRegressor else "predict_proba"
    np.testing.assert_allclose(getattr(weighted, out)(x), getattr(repeated, out)(x), rtol=1e-9)


def test_class_weight_scales_the_sample_weights():
    x, y = regression_data(1000)
    labels = np.where(y > 1.0, "rare", "common")
    balanced = TarnwickClassifier(max_iter=5, class_weight="balanced").fit(x, labels)
    n_rare = np.sum(labels == "rare")
    weight = np.where(labels == "rare", 1000 / (2 * n_rare), 1000 / (2 * (1000 - n_rare)))
    by_hand = TarnwickClassifier(max_iter=5).fit(x, labels, sample_weight=weight)
    np.testing.assert_allclose(balanced.predict_proba(x), by_hand.predict_proba(x), rtol=1e-12)


# ------------------------------------------------------------ early stopping


def noise_data(n):
    rng = np.random.default_rng(3)
    x = rng.standard_normal((n, 4))
    return x, x[:, 0] + 3.0 * rng.standard_normal(n)


def test_early_stopping_keeps_the_best_iteration():
    x, y = noise_data(12_000)
    model = TarnwickRegressor(max_iter=200, learning_rate=0.3, random_state=0).fit(x, y)
    assert model.do_early_stopping_ and model.n_iter_ < 200
    assert len(model._trees) == model.n_iter_
    assert model.validation_score_.size == model.train_score_.size == model.n_iter_ + 1
    assert model.validation_score_[-1] == model.validation_score_.max()
    # The initial score is the loss of the mean: half the variance, negated.
    assert model.train_score_[0] == pytest.approx(-0.5 * np.var(y[:10_800]), rel=0.05)


def test_small_data_trains_every_iteration_by_default():
    x, y = noise_data(2000)
    model = TarnwickRegressor(max_iter=30).fit(x, y)
    assert not model.do_early_stopping_ and model.n_iter_ == 30
    assert model.train_score_.size == 0 and model.validation_score_.size == 0


def test_a_given_validation_set_is_used_for_early_stopping():
    x, y = noise_data(3000)
    x_val, y_val = noise_data(1000)
    model = TarnwickRegressor(max_iter=300, learning_rate=0.5, random_state=0)
    model.fit(x, y, X_val=x_val, y_val=y_val)
    assert model.do_early_stopping_ and model.n_iter_ < 300
    expected = -0.5 * np.mean((model.predict(x_val) - y_val) ** 2)
    assert model.validation_score_[-1] == pytest.approx(expected, rel=1e-9)
    with pytest.raises(ValueError, match="early_stopping is False"):
        TarnwickRegressor(early_stopping=False).fit(x, y, X_val=x_val, y_val=y_val)
    with pytest.raises(ValueError, match="together"):
        TarnwickRegressor().fit(x, y, X_val=x_val)


def test_early_stopping_with_a_scorer_and_on_training_data():
    x, y = noise_data(3000)
    labels = y > 0
    model = TarnwickClassifier(
        max_iter=200, early_stopping=True, scoring="accuracy", random_state=0, n_iter_no_change=5
    ).fit(x, labels)
    assert model.n_iter_ < 200
    assert 0.5 < model.validation_score_.max() <= 1.0
    on_train = TarnwickRegressor(
        max_iter=15, early_stopping=True, validation_fraction=None, random_state=0
    ).fit(x, y)
    assert on_train.validation_score_.size == 0 and on_train.train_score_.size == 16
    assert np.all(np.diff(on_train.train_score_) > 0)


# ------------------------------------------------------- DataFrames, categories


def test_category_columns_are_categorical_by_default():
    df, y = frame_data()
    model = TarnwickRegressor(max_iter=30, min_data_per_group=10).fit(df, y)
    assert list(model.is_categorical_) == [False, True, True, False]
    assert list(model.feature_names_in_) == ["width", "colour", "size", "height"]
    assert np.sqrt(np.mean((model.predict(df) - y) ** 2)) < 0.5


def test_unseen_categories_go_where_missing_values_go():
    df, y = frame_data()
    model = TarnwickRegressor(max_iter=20, min_data_per_group=10).fit(df, y)
    probe = df.iloc[:50].copy()
    probe["colour"] = probe["colour"].cat.add_categories(["purple"])
    unseen, missing = probe.copy(), probe.copy()
    unseen["colour"] = "purple"
    missing["colour"] = np.nan
    assert same_bits(model.predict(unseen), model.predict(missing))
    # Category values count, not their order in the dtype.
    shuffled = probe.copy()
    shuffled["colour"] = shuffled["colour"].cat.reorder_categories(
        list(reversed(shuffled["colour"].cat.categories))
    )
    assert same_bits(model.predict(shuffled), model.predict(probe))
    as_strings = probe.astype({"colour": object})
    assert same_bits(model.predict(as_strings), model.predict(probe))


def test_listed_string_columns_are_categorical_and_numeric_ones_keep_values():
    df, y = frame_data()
    plain = df.astype({"colour": object, "size": np.int64})
    model = TarnwickRegressor(
        max_iter=20, categorical_features=["colour", "size"], min_data_per_group=10
    ).fit(plain, y)
    reference = TarnwickRegressor(max_iter=20, min_data_per_group=10).fit(df, y)
    assert list(model.is_categorical_) == [False, True, True, False]
    assert np.allclose(model.predict(plain), reference.predict(df))


def test_unlisted_string_columns_are_named_in_the_error():
    df, y = frame_data()
    for dtype in (object, "string"):
        text = df.astype({"colour": dtype})
        with pytest.raises(ValueError, match=r"strings that are not categorical.*'colour'"):
            TarnwickRegressor(max_iter=5).fit(text, y)
    # Numbers held in an object column still convert.
    numbers = df.astype({"height": object})
    model = TarnwickRegressor(max_iter=5).fit(numbers, y)
    assert same_bits(model.predict(numbers), TarnwickRegressor(max_iter=5).fit(df, y).predict(df))


def test_reordered_or_renamed_columns_are_refused():
    df, y = frame_data()
    model = TarnwickRegressor(max_iter=5).fit(df, y)
    with pytest.raises(ValueError, match="feature names"):
        model.predict(df[["colour", "width", "size", "height"]])
    with pytest.raises(ValueError, match="feature names"):
        model.predict(df.rename(columns={"width": "breadth"}))


def test_string_categories_without_a_frame_are_refused():
    with pytest.raises(ValueError, match="could not convert"):
        TarnwickRegressor().fit(np.array([["a"], ["b"]] * 20), np.arange(40.0))


# ------------------------------------------------------------ linear features


def test_linear_features_by_index_name_or_mask_give_one_model():
    df, _ = frame_data()
    y = df["height"].to_numpy() * np.where(df["colour"] == "red", 3.0, -1.0)
    fits = [
        TarnwickRegressor(max_iter=10, learning_rate=0.5, linear_features=columns).fit(df, y)
        for columns in ([3], ["height"], [False, False, False, True])
    ]
    for other in fits[1:]:
        assert same_bits(other.predict(df), fits[0].predict(df))
    constant = TarnwickRegressor(max_iter=10, learning_rate=0.5).fit(df, y)
    error = [np.mean((m.predict(df) - y) ** 2) for m in (fits[0], constant)]
    assert error[0] < 0.5 * error[1]
    with pytest.raises(ValueError, match="numeric features"):
        TarnwickRegressor(linear_features=["colour"]).fit(df, y)
    with pytest.raises(ValueError, match="not used"):
        fits[0].predict(df, z=np.ones((len(df), 1)))


def test_linear_features_are_standardised_inside():
    x, y = regression_data(1000)
    shifted = x.copy()
    shifted[:, 2] = shifted[:, 2] * 1000.0 + 5e4
    a = TarnwickRegressor(max_iter=5, linear_features=[2], random_state=0).fit(x, y)
    b = TarnwickRegressor(max_iter=5, linear_features=[2], random_state=0).fit(shifted, y)
    np.testing.assert_allclose(a.predict(x), b.predict(shifted), rtol=1e-8, atol=1e-8)


def test_feature_importances_sum_to_one_and_find_the_signal():
    x, y = regression_data(2000)
    model = TarnwickRegressor(max_iter=20).fit(x, y)
    importances = model.feature_importances_
    assert importances.sum() == pytest.approx(1.0)
    assert np.argmax(importances) == 0 and importances[2:].max() < 0.1


@pytest.mark.parametrize("task", ["regression", "binary", "multiclass", "linear"])
def test_warm_start_adds_the_rounds_of_one_longer_fit(task):
    """Rounds added to a fitted model are the rounds a longer fit grows: the
    same trees, up to the rounding that the rows' order brings."""
    df, y = frame_data(2500)
    x = df[["width", "height"]].to_numpy()
    cls, params = TarnwickRegressor, dict(random_state=0, max_features=0.5)
    if task == "binary":
        cls, y = TarnwickClassifier, y > 1
    elif task == "multiclass":
        cls, y = TarnwickClassifier, np.digitize(y, [0.0, 2.0])
    elif task == "linear":
        params["linear_features"] = [0]
    once = cls(max_iter=12, early_stopping=False, **params).fit(x, y)
    warm = cls(max_iter=5, early_stopping=False, warm_start=True, **params).fit(x, y)
    first_trees = list(warm._trees)
    warm.set_params(max_iter=12).fit(x, y)
    assert warm.n_iter_ == once.n_iter_ == 12
    assert all(a is b for a, b in zip(first_trees, warm._trees))
    out = "predict" if cls is TarnwickRegressor else "predict_proba"
    np.testing.assert_allclose(getattr(warm, out)(x), getattr(once, out)(x), rtol=0, atol=1e-9)
    # The same number of rounds adds nothing; fewer than fitted is an error.
    warm.fit(x, y)
    assert warm.n_iter_ == 12 and len(warm._trees) == len(once._trees)
    with pytest.raises(ValueError, match="max_iter=4 must be larger than or equal to n_iter_=12"):
        warm.set_params(max_iter=4).fit(x, y)
    warm.set_params(max_iter=3, warm_start=False).fit(x, y)
    assert warm.n_iter_ == 3


def test_warm_start_continues_the_early_stopping_scores():
    x, y = noise_data(4000)
    y = y + 2.0 * x[:, 0]
    params = dict(early_stopping=True, n_iter_no_change=100, random_state=0)
    once = TarnwickRegressor(max_iter=16, **params).fit(x, y)
    warm = TarnwickRegressor(max_iter=6, warm_start=True, **params).fit(x, y)
    warm.set_params(max_iter=16).fit(x, y)
    assert warm.n_iter_ == 16 and warm.validation_score_.shape == (17,)
    np.testing.assert_allclose(warm.train_score_, once.train_score_, rtol=1e-12)
    np.testing.assert_allclose(warm.validation_score_, once.validation_score_, rtol=1e-12)


@pytest.mark.parametrize("cuts", [None, [0.0], [0.0, 1.0]])
def test_apply_names_the_leaves_whose_values_make_the_scores(cuts):
    x, y = regression_data(500)
    x[::7, 1] = np.nan
    if cuts is None:
        model = tarnwick.TarnwickRegressor(max_iter=6).fit(x, y)
        scores = model.predict(x)[:, None]
    else:
        model = TarnwickClassifier(max_iter=6).fit(x, np.digitize(y, cuts))
        scores = model.decision_function(x).reshape(len(x), -1)
    leaves = model.apply(x)
    k = model.n_trees_per_iteration_
    assert leaves.shape == ((500, 6) if cuts is None else (500, 6, k))
    leaves = leaves.reshape(500, 6, k)
    for c in range(k):
        total = np.full(500, model._init_score[c])
        for i in range(6):
            tree = model._trees[i * k + c]
            total += tree.bias[leaves[:, i, c]]
        assert same_bits(total, scores[:, c])
    # The leaves that training rows reached are the leaves of every tree.
    assert all(
        np.unique(leaves[:, i, c]).size == model._trees[i * k + c].bias.size
        for i in range(6)
        for c in range(k)
    )


@pytest.mark.parametrize("cuts", [[0.0], [0.0, 1.0]])
def test_staged_predictions_end_at_the_model(cuts):
    x, y = regression_data(500)
    model = TarnwickClassifier(max_iter=7).fit(x, np.digitize(y, cuts))
    stages = list(model.staged_predict_proba(x))
    assert len(stages) == 7 and same_bits(stages[-1], model.predict_proba(x))
    assert np.array_equal(list(model.staged_predict(x))[-1], model.predict(x))
    scores = list(model.staged_decision_function(x))
    assert len(scores) == 7 and same_bits(scores[-1], model.decision_function(x))
    # Each round moves the scores.
    assert not np.array_equal(scores[0], scores[1])


# ------------------------------------------------------------ the model file


@pytest.mark.parametrize("kind", ["regression", "binary", "multiclass", "frame", "given z"])
def test_saved_model_predicts_the_same_bits(tmp_path, kind):
    df, y = frame_data(1500)
    x, z = df, None
    if kind == "regression":
        model = TarnwickRegressor(max_iter=4, linear_features=["width"])
        x = df[["width", "height"]].to_numpy()
        model.set_params(linear_features=[0])
    elif kind == "binary":
        model, y = TarnwickClassifier(max_iter=4), np.where(y > 1, "yes", "no")
    elif kind == "multiclass":
        model, y = TarnwickClassifier(max_iter=3), np.digitize(y, [0.0, 2.0])
    elif kind == "frame":
        model = TarnwickRegressor(max_iter=4, linear_features=["width", "height"])
    else:
        model = TarnwickRegressor(max_iter=4)
        x, z = df[["width", "height"]].to_numpy(), np.random.default_rng(0).random((1500, 2))
    model.set_params(scoring=lambda est, X, y: 0.0, random_state=np.random.RandomState(0))
    model.fit(x, y, z=z)
    path = tmp_path / "model.npz"
    model.save(path)
    loaded = load_model(path)
    assert type(loaded) is type(model)
    out = "predict" if isinstance(model, TarnwickRegressor) else "predict_proba"
    assert same_bits(getattr(loaded, out)(x, z=z), getattr(model, out)(x, z=z))
    assert np.array_equal(loaded.predict(x, z=z), model.predict(x, z=z))
    assert same_bits(loaded.feature_importances_, model.feature_importances_)
    params = loaded.get_params()
    assert params["scoring"] is None and params["random_state"] is None
    assert params["max_iter"] == model.max_iter


def test_model_files_of_another_format_or_a_newer_version_are_refused(tmp_path):
    x, y = regression_data(300)
    path = tmp_path / "model.npz"
    TarnwickRegressor(max_iter=2).fit(x, y).save(path)
    with np.load(path) as data:
        arrays = dict(data)
    meta = json.loads(str(arrays["meta"]))
    for change, match in [({"version": 2}, "version 2"), ({"format": "other"}, "not a saved")]:
        arrays["meta"] = np.array(json.dumps({**meta, **change}))
        np.savez(tmp_path / "changed.npz", **arrays)
        with pytest.raises(ValueError, match=match):
            load_model(tmp_path / "changed.npz")
    np.savez(tmp_path / "plain.npz", a=np.zeros(3))
    with pytest.raises(ValueError, match="not a saved"):
        load_model(tmp_path / "plain.npz")


def test_threads_are_documented_where_users_look():
    for cls in (TarnwickRegressor, TarnwickClassifier):
        assert "RAYON_NUM_THREADS" in cls.__doc__
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        TarnwickRegressor(max_iter=1).fit(*regression_data(100))
