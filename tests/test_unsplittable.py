"""Features that no split can use are left out of the histograms, and the
models stay those of the whole matrix, bit for bit."""

import numpy as np
import pytest
from tarnwick import TarnwickClassifier, TarnwickRegressor, estimators, unsplittable
from tarnwick.binning import bin_rows, fit_bins


def binned_of(x, categorical=None):
    categorical = np.zeros(x.shape[1], dtype=bool) if categorical is None else categorical
    bins = fit_bins(x, categorical, 255, 0)
    return bin_rows(bins, x), bins


def test_a_feature_is_usable_when_some_split_leaves_enough_rows_outside_its_fullest_bin():
    n, m = 200, 20
    x = np.zeros((n, 6))
    x[:, 0] = 1.0  # constant, but feature 0
    x[: m - 1, 1] = np.arange(1, m)  # m - 1 rows outside the fullest bin
    x[:m, 2] = np.arange(1, m + 1)  # m rows outside it
    x[:, 3] = np.nan  # missing on all but m - 1 rows
    x[: m - 1, 3] = 1.0
    x[: n // 2, 4] = np.nan  # half missing, half one value: missing alone against it
    x[:, 5] = np.arange(n)
    binned, bins = binned_of(x)
    counts = unsplittable.bin_counts(binned, bins.n_bins_max)
    assert unsplittable.usable_columns(counts, m).tolist() == [0, 2, 4, 5]


def test_nothing_is_dropped_from_a_matrix_whose_features_all_split():
    x = np.random.default_rng(0).standard_normal((300, 4))
    binned, bins = binned_of(x)
    assert unsplittable.drop_unsplittable(binned, bins, 20) == (binned, bins)


def test_dropped_features_leave_the_others_rows_and_name_them():
    rng = np.random.default_rng(1)
    x = rng.standard_normal((500, 5))
    x[:, 1] = 3.0
    x[:, 3] = np.where(np.arange(500) < 5, 1.0, 0.0)
    binned, bins = binned_of(x)
    whole = binned.copy()
    kept, kept_bins = unsplittable.drop_unsplittable(binned, bins, 20)
    assert kept_bins.columns.tolist() == [0, 2, 4]
    assert kept.flags.c_contiguous and np.array_equal(kept, whole[[0, 2, 4]])
    assert bins.columns is None


def awkward_data(n=3000, seed=0):
    """Informative features between ones that no split can use: constant,
    rare, missing on nearly every row, and a categorical of one common level
    and rare others; missing values in an informative feature."""
    rng = np.random.default_rng(seed)
    x = rng.standard_normal((n, 9))
    x[:, 1] = 7.0
    x[:, 2] = np.where(rng.random(n) < 0.004, 1.0, 0.0)
    x[rng.random(n) < 0.996, 4] = np.nan
    x[:, 6] = np.where(rng.random(n) < 0.005, rng.integers(1, 4, n), 0)
    x[rng.random(n) < 0.1, 7] = np.nan
    y = (
        x[:, 0]
        + 2 * np.sin(x[:, 3])
        + np.nan_to_num(x[:, 7]) * x[:, 5]
        + 0.3 * rng.standard_normal(n)
    )
    return x, y


FITS = [
    dict(),
    dict(categorical_features=[6], max_features=0.6, subsample=0.8),
    dict(monotonic_cst=[0, 0, 0, 1, 0, -1, 0, 0, 0]),
    dict(interaction_cst=[[0, 3], [5, 7, 8]]),
    dict(linear_features=[0, 3]),
    dict(kind="binary", class_weight="balanced"),
    dict(kind="multiclass", max_leaf_nodes=None, max_depth=4),
]


@pytest.mark.parametrize("params", FITS)
def test_models_are_those_of_the_whole_matrix(params, monkeypatch, tmp_path):
    params = dict(params)
    kind = params.pop("kind", "regression")
    x, y = awkward_data()
    if kind != "regression":
        y = np.digitize(y, [0.0] if kind == "binary" else [-1.0, 0.0, 1.0])
    cls = TarnwickRegressor if kind == "regression" else TarnwickClassifier
    dropped = []

    def recorded(binned, bins, min_samples_leaf):
        out = unsplittable.drop_unsplittable(binned, bins, min_samples_leaf)
        dropped.append(out[1].columns)
        return out

    def saved(path):
        model = cls(max_iter=12, early_stopping=False, random_state=0, **params).fit(x, y)
        model.save(path)
        return np.load(path), model.predict(x)

    monkeypatch.setattr(estimators, "drop_unsplittable", recorded)
    left_out, predicted = saved(tmp_path / "left_out.npz")
    assert dropped[0].tolist() == [0, 3, 5, 7, 8]
    monkeypatch.setattr(estimators, "drop_unsplittable", lambda binned, bins, m: (binned, bins))
    whole, whole_predicted = saved(tmp_path / "whole.npz")
    assert sorted(left_out.files) == sorted(whole.files)
    for name in whole.files:
        assert np.array_equal(left_out[name], whole[name]), name
    assert np.array_equal(predicted, whole_predicted)
