"""The demo's data sets: scikit-learn's bundled ones and a generated one."""

from dataclasses import dataclass

import numpy as np

# Rows generated per block: the temporaries are a few MB whatever the size.
BLOCK_ROWS = 65_536


@dataclass
class DataSet:
    name: str
    task: str  # "regression", "binary" or "multiclass"
    x: np.ndarray
    y: np.ndarray
    embedding: np.ndarray | None  # columns of x that embedded-linear leaves use
    categorical: np.ndarray | None = None  # bool mask of the columns holding category codes


def bundled(name):
    """One of scikit-learn's offline data sets."""
    from sklearn import datasets

    if name == "breast cancer":
        x, y = datasets.load_breast_cancer(return_X_y=True)
        return DataSet(name, "binary", x, y, None)
    if name == "digits":
        x, y = datasets.load_digits(return_X_y=True)
        return DataSet(name, "multiclass", x.astype(np.float64), y, None)
    if name == "diabetes":
        x, y = datasets.load_diabetes(return_X_y=True)
        return DataSet(name, "regression", x, y, np.arange(x.shape[1]))
    raise ValueError(f"unknown data set {name!r}")


def generated(n_rows, seed=0):
    """A regression data set of n_rows x 32 features: smooth, step and
    interaction effects, a part that is linear in columns 0-7 with slopes that
    change across other features, 5 % missing values in columns 24-27, and
    Gaussian noise.

    Built in place, a block of rows at a time (the same draws as whole-matrix
    calls): the temporaries stay small, so that making the data never sets a
    peak of resident memory that a fit afterwards would be measured against."""
    rng = np.random.default_rng(seed)
    x = np.empty((n_rows, 32))
    y = np.empty(n_rows)
    blocks = [slice(start, start + BLOCK_ROWS) for start in range(0, n_rows, BLOCK_ROWS)]
    for b in blocks:
        rng.standard_normal(out=x[b])
        x[b, 16:24] += 0.5 * x[b, 0:8]
        x[b, 28:32] = np.round(x[b, 28:32] * 2.0)
        y[b] = _generated_target(x[b])
    for b in blocks:
        y[b] += 0.5 * rng.standard_normal(y[b].size)
    for b in blocks:
        missing = rng.random((y[b].size, 4)) < 0.05
        x[b, 24:28][missing] = np.nan
    return DataSet(f"generated {n_rows:,} x 32", "regression", x, y, np.arange(8))


def _generated_target(x):
    slope = np.where(x[:, 8] > 0.0, 1.5, 0.5)
    return (
        slope * x[:, 0]
        - x[:, 1]
        + 0.8 * x[:, 2] * (x[:, 9] > -0.5)
        + 0.5 * x[:, 3]
        - 0.7 * x[:, 4] * np.tanh(x[:, 10])
        + 0.3 * (x[:, 5] + x[:, 6] - x[:, 7])
        + np.sin(2.0 * x[:, 11])
        + 0.5 * x[:, 12] ** 2
        + x[:, 13] * x[:, 14]
        + np.where(x[:, 15] > 0.3, 1.0, -0.5)
        + 0.2 * x[:, 28] * x[:, 29]
        + 0.5 * np.cos(x[:, 24])
        + 0.3 * x[:, 25]
    )
