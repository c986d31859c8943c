"""Gradient-boosted trees with optional embedded-linear leaves: the estimators.

    model = TarnwickRegressor(n_rounds=100, max_leaves=31).fit(x, y)
    model.predict(x_new)
    model = TarnwickClassifier().fit(x, y, z=embedding)   # linear leaves on z
    model.predict_proba(x_new, z=embedding_new)

x is a float matrix (n_rows, n_features) with NaN for missing values;
categorical features hold their category values as floats. Passing z
(n_rows, d) to fit makes every leaf an embedded-linear leaf over z; predict
then needs z too. Non-finite entries of z are replaced by the training mean
of their column.
"""

import sys
import time
from dataclasses import dataclass

import numpy as np

from .binning import MAX_BINS, bin_matrix, fit_bins
from .grower import GrowParams, SplitFinder, grow_tree
from .leaves import round_tables, tree_tables
from .losses import Logistic, Softmax, SquaredError
from .row_order import RowOrder, depth_first_rows, reorder_due
from .trees import flatten


@dataclass(frozen=True)
class LeafParams:
    l2: float
    learning_rate: float
    linear_l2: float
    linear_min_rows: int


class Booster:
    """Shared fitting and prediction; see TarnwickRegressor and TarnwickClassifier."""

    def __init__(
        self,
        n_rounds=100,
        learning_rate=0.1,
        max_leaves=31,
        max_depth=None,
        max_bins=MAX_BINS,
        min_samples_leaf=20,
        l2=1.0,
        categorical=None,
        cat_smooth=10.0,
        min_data_per_group=100,
        max_cat_threshold=32,
        linear_l2=1.0,
        linear_min_rows=None,
        verbose=0,
        seed=0,
    ):
        self.n_rounds = n_rounds
        self.learning_rate = learning_rate
        self.max_leaves = max_leaves
        self.max_depth = max_depth
        self.max_bins = max_bins
        self.min_samples_leaf = min_samples_leaf
        self.l2 = l2
        self.categorical = categorical
        self.cat_smooth = cat_smooth
        self.min_data_per_group = min_data_per_group
        self.max_cat_threshold = max_cat_threshold
        self.linear_l2 = linear_l2
        self.linear_min_rows = linear_min_rows
        self.verbose = verbose
        self.seed = seed

    PARAM_NAMES = (
        "n_rounds",
        "learning_rate",
        "max_leaves",
        "max_depth",
        "max_bins",
        "min_samples_leaf",
        "l2",
        "categorical",
        "cat_smooth",
        "min_data_per_group",
        "max_cat_threshold",
        "linear_l2",
        "linear_min_rows",
        "verbose",
        "seed",
    )

    def get_params(self):
        return {name: getattr(self, name) for name in self.PARAM_NAMES}

    def _categorical_mask(self, n_features):
        mask = np.zeros(n_features, dtype=bool)
        if self.categorical is not None:
            given = np.asarray(self.categorical)
            if given.dtype == bool:
                if given.shape != (n_features,):
                    raise ValueError("categorical mask must have one entry per feature")
                mask[:] = given
            else:
                mask[given.astype(np.int64)] = True
        return mask

    def _embedding(self, z, n_rows):
        """z as float64 C-contiguous with non-finite entries filled, or None."""
        if z is None:
            if self.z_fill_ is not None:
                raise ValueError("this model has embedded-linear leaves: pass z")
            return None
        if self.z_fill_ is None:
            raise ValueError("this model has constant leaves: z is not used")
        z = np.array(z, dtype=np.float64, order="C", ndmin=2)
        if z.shape != (n_rows, self.z_fill_.size):
            raise ValueError(f"z must have shape ({n_rows}, {self.z_fill_.size}), got {z.shape}")
        bad = ~np.isfinite(z)
        if bad.any():
            z[bad] = np.broadcast_to(self.z_fill_, z.shape)[bad]
        return z

    def _fit(self, x, y, z, loss, callback):
        x = _features(x)
        n_rows, n_features = x.shape
        if y.shape != (n_rows,):
            raise ValueError(f"y must have shape ({n_rows},), got {y.shape}")
        self.n_features_ = n_features
        self.z_fill_ = None
        if z is not None:
            z = np.asarray(z, dtype=np.float64)
            if z.ndim != 2 or z.shape[0] != n_rows:
                raise ValueError(f"z must have shape ({n_rows}, d), got {z.shape}")
            finite = np.isfinite(z)
            counts = finite.sum(axis=0)
            sums = np.where(finite, z, 0.0).sum(axis=0)
            self.z_fill_ = np.divide(sums, counts, out=np.zeros(z.shape[1]), where=counts > 0)
            z = self._embedding(z, n_rows)

        columns = np.ascontiguousarray(x.T)
        bins = fit_bins(columns, self._categorical_mask(n_features), self.max_bins, self.seed)
        binned = bin_matrix(bins, columns)
        del columns

        d = 0 if z is None else z.shape[1]
        grow = GrowParams(
            self.max_leaves,
            self.max_depth,
            self.min_samples_leaf,
            self.l2,
            self.cat_smooth,
            self.min_data_per_group,
            self.max_cat_threshold,
        )
        leaf = LeafParams(
            self.l2,
            self.learning_rate,
            self.linear_l2,
            self.linear_min_rows if self.linear_min_rows is not None else 2 * (d + 1),
        )
        finder = SplitFinder(bins, grow)
        self.loss_ = loss
        self.init_score_ = loss.init_score(y)
        n_out = loss.n_outputs
        raw = np.empty((n_out, n_rows))
        raw[:] = self.init_score_[:, None]
        if n_out == 1:
            raw = raw[0]
        hess = np.zeros_like(raw)
        rows = RowOrder(binned, y, raw, z)
        del binned, y, raw, z
        root_rows = np.arange(n_rows, dtype=np.int64)
        self.trees_ = []
        start = time.perf_counter()
        report_every = max(1, self.n_rounds // 10)
        for round_ in range(self.n_rounds):
            grad, hess = loss.gradients(rows.y, rows.raw, hess)
            if n_out == 1:
                grown = [grow_tree(rows.binned, bins, grad, hess, root_rows, grow, finder)]
                results = [
                    tree_tables(
                        grown[0].leaf_rows, n_rows, grad, hess, rows.z, leaf, loss.constant_hessian
                    )
                ]
            else:
                grown = [
                    grow_tree(rows.binned, bins, grad[k], hess[k], root_rows, grow, finder)
                    for k in range(n_out)
                ]
                results = round_tables(
                    [g.leaf_rows for g in grown], n_rows, grad, hess, rows.z, leaf
                )
            scores = rows.raw.reshape(n_out, n_rows)
            for k, (tables, update) in enumerate(results):
                scores[k] += update
                self.trees_.append(flatten(grown[k], bins, tables))
            if self.verbose and ((round_ + 1) % report_every == 0 or round_ + 1 == self.n_rounds):
                print(
                    f"  round {round_ + 1}/{self.n_rounds}: train loss "
                    f"{loss.loss(rows.y, rows.raw):.6g}, {time.perf_counter() - start:.1f} s",
                    file=sys.stderr,
                    flush=True,
                )
            if reorder_due(round_) and round_ + 1 < self.n_rounds:
                rows.reorder(depth_first_rows(grown[0]))
            if callback is not None:
                callback(round_)
        self.train_raw_ = rows.in_caller_order(rows.raw)
        return self

    def decision_function(self, x, z=None):
        """Raw scores: (n_rows,), or (n_rows, K) for more than two classes."""
        x = _features(x)
        if x.shape[1] != self.n_features_:
            raise ValueError(f"x has {x.shape[1]} features, the model {self.n_features_}")
        z = self._embedding(z, x.shape[0])
        n_out = self.init_score_.size
        raw = np.empty((n_out, x.shape[0]))
        raw[:] = self.init_score_[:, None]
        for t, tree in enumerate(self.trees_):
            raw[t % n_out] += tree.predict(x, z)
        return raw[0] if n_out == 1 else raw.T

    def save(self, path):
        from .model_io import save_model

        save_model(self, path)


def _features(x):
    x = np.asarray(x, dtype=np.float64)
    if x.ndim != 2:
        raise ValueError(f"x must be 2-D, got {x.ndim}-D")
    return np.ascontiguousarray(x)


class TarnwickRegressor(Booster):
    """Squared-error regression."""

    def fit(self, x, y, z=None, callback=None):
        """callback, if given, is called with the round index after every round."""
        return self._fit(x, np.asarray(y, dtype=np.float64), z, SquaredError(), callback)

    def predict(self, x, z=None):
        return self.decision_function(x, z)


class TarnwickClassifier(Booster):
    """Binary logistic loss for two classes, softmax (one tree per class per
    round) for more."""

    def fit(self, x, y, z=None, callback=None):
        """callback, if given, is called with the round index after every round."""
        self.classes_, y_index = np.unique(np.asarray(y), return_inverse=True)
        n_classes = self.classes_.size
        if n_classes < 2:
            raise ValueError("y must hold at least two classes")
        if n_classes == 2:
            return self._fit(x, y_index.astype(np.float64), z, Logistic(), callback)
        return self._fit(x, y_index.astype(np.int64), z, Softmax(n_classes), callback)

    def predict_proba(self, x, z=None):
        raw = self.decision_function(x, z)
        return Logistic.transform(raw) if raw.ndim == 1 else Softmax.transform(raw.T)

    def predict(self, x, z=None):
        return self.classes_[np.argmax(self.predict_proba(x, z), axis=1)]
