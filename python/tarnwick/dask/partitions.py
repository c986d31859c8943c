"""What the workers do with one partition before boosting: checks, encoding,
weights, and the small per-partition sums that the client merges.

Each function here runs as a Dask task on the worker that holds the
partition, and its result stays there (a Partition) or is small (counts,
summaries, column sums). The checks are the single-process estimators'
own, applied partition by partition, so bad input gets the same errors.
"""

from dataclasses import dataclass

import numpy as np
from sklearn.utils.multiclass import check_classification_targets
from sklearn.utils.validation import (
    _check_sample_weight,
    check_array,
    check_consistent_length,
    column_or_1d,
)

from .. import binning, inputs
from ..losses import check_targets


@dataclass
class Partition:
    """The checked rows of one partition: x float64 (n_rows, n_features),
    C-contiguous; y the targets (raw labels until the classes are known,
    then encoded as the single-process classifier encodes them); weight
    float64 or None."""

    x: np.ndarray
    y: np.ndarray
    weight: np.ndarray | None

    @property
    def n_rows(self):
        return self.x.shape[0]


@dataclass(frozen=True)
class InputRules:
    """What every partition needs to check and encode its rows."""

    estimator: str  # the estimator's name, for check_array's messages
    kind: str  # "regression" or "classification"
    loss: str  # the estimator's loss
    categorical: np.ndarray  # bool (n_features,)
    categories: list | None  # per feature: the training categories of an encoded column


def frame_levels(frame, columns):
    """Per listed column of a DataFrame partition, the category values it
    holds: its dtype's categories, or its distinct non-missing values."""
    out = {}
    for f in columns:
        column = frame.iloc[:, f]
        if inputs._is_category(column):
            out[f] = column.cat.categories
        else:
            out[f] = column.dropna().unique()
    return out


def prepare(x, y, weight, rules):
    """The checked Partition of one partition's X, y and sample weights."""
    x, _ = inputs.encode_categories(x, rules.categorical, rules.categories)
    # Empty partitions pass here; the client refuses an empty training set.
    x = check_array(
        x,
        dtype=np.float64,
        order="C",
        ensure_all_finite=False,
        accept_sparse=False,
        ensure_min_samples=0,
        estimator=rules.estimator,
    )
    y = column_or_1d(np.asarray(y), warn=False)
    if rules.kind == "regression":
        y = check_array(y, ensure_2d=False, dtype=np.float64, input_name="y", ensure_min_samples=0)
        check_targets(rules.loss, y)
    elif y.size:
        check_classification_targets(y)
    check_consistent_length(x, y)
    if weight is not None:
        weight = _check_sample_weight(
            np.asarray(weight),
            x,
            dtype=np.float64,
            ensure_non_negative=True,
            allow_all_zero_weights=True,
        )
    return Partition(x, y, weight)


def label_counts(part):
    """The distinct labels of a partition and their row counts."""
    return np.unique(part.y, return_counts=True)


def finish(part, classes, class_table):
    """The Partition with its labels encoded against the training classes
    (classification), its rows scaled by the class weights (class_table,
    per class, or None), and without its rows of weight zero."""
    y, weight = part.y, part.weight
    if classes is not None:
        encoded = np.searchsorted(classes, y).astype(np.int64)
        if class_table is not None:
            per_row = np.take(class_table, encoded)
            weight = per_row if weight is None else weight * per_row
        y = encoded.astype(np.float64) if classes.size == 2 else encoded
    if weight is not None and not np.isfinite(weight).all():
        raise ValueError("sample_weight must be finite")
    x = part.x
    if weight is not None and not weight.all():
        keep = weight > 0
        x, y, weight = x[keep], y[keep], weight[keep]
    return Partition(x, y, weight)


def size(part):
    return part.n_rows


def summary(part, index, categorical, n_total, seed):
    """The binning summaries of partition number index (among the non-empty
    ones), its numeric features over its share of the sampled rows."""
    sample = binning.sample_positions(part.n_rows, n_total, seed, index)
    return binning.summarize(part.x, categorical, sample, part.weight)


def column_sums(part, columns):
    """The sums of the finite values of the listed columns, and their counts."""
    block = part.x[:, columns]
    finite = np.isfinite(block)
    return np.where(finite, block, 0.0).sum(axis=0), finite.sum(axis=0)


def deviation_sums(part, columns, mean):
    """The sums of the squared deviations from mean of the listed columns'
    finite values."""
    block = part.x[:, columns]
    finite = np.isfinite(block)
    deviation = np.where(finite, block - mean, 0.0)
    return np.where(finite, deviation * deviation, 0.0).sum(axis=0)
