"""scikit-learn estimators: TarnwickRegressor and TarnwickClassifier.

Parameters, input validation, the train/validation split, early stopping and
prediction; the boosting itself is booster.Boosting over one Shard of the
training rows.
"""

import itertools
import sys
import time
from contextlib import contextmanager
from numbers import Integral, Real

import numpy as np
from sklearn.base import BaseEstimator, ClassifierMixin, RegressorMixin, _fit_context
from sklearn.metrics import check_scoring
from sklearn.model_selection import train_test_split
from sklearn.utils import check_random_state, compute_sample_weight
from sklearn.utils._param_validation import Interval, RealNotInt, StrOptions
from sklearn.utils.multiclass import check_classification_targets
from sklearn.utils.validation import (
    _check_monotonic_cst,
    _check_sample_weight,
    check_array,
    check_consistent_length,
    check_is_fitted,
    column_or_1d,
)

from . import binning, contributions, embedding, inputs
from .booster import Boosting, BoostParams, LeafParams, sums_from_histograms
from .class_trees import class_workers
from .embedding import Embedding
from .grower import GrowParams
from .losses import NO_LOSS_TO_SCORE, REGRESSION_LOSSES, check_targets, make_loss
from .shard import Shard
from .splitting import SplitParams, child_hessian_floor
from .trees import add_outputs
from .unsplittable import drop_unsplittable

THREADS_NOTE = """
    The native passes run on a pool of worker threads that is created on the
    first parallel pass and sized once, from the environment variable
    RAYON_NUM_THREADS (else RAYON_RS_NUM_CPUS, else the processors the
    process may use): set it before the first fit or predict of the process.
    Models are bitwise the same for any number of threads.
"""

# Rows of the training set on which a scorer other than 'loss' computes the
# training score.
SCORER_TRAIN_ROWS = 10_000


class _TarnwickBase(BaseEstimator):
    """Parameters, fit and raw prediction shared by both estimators."""

    _parameter_constraints: dict = {
        "loss": [StrOptions(set(REGRESSION_LOSSES))],
        "learning_rate": [Interval(Real, 0, None, closed="neither")],
        "max_iter": [Interval(Integral, 1, None, closed="left")],
        "max_leaf_nodes": [Interval(Integral, 2, None, closed="left"), None],
        "max_depth": [Interval(Integral, 1, None, closed="left"), None],
        "min_samples_leaf": [Interval(Integral, 1, None, closed="left")],
        "l2_regularization": [Interval(Real, 0, None, closed="left")],
        "max_features": [Interval(RealNotInt, 0, 1, closed="right")],
        "subsample": [Interval(Real, 0, 1, closed="right")],
        "monotonic_cst": ["array-like", dict, None],
        "warm_start": ["boolean"],
        "interaction_cst": [
            list,
            tuple,
            StrOptions({"pairwise", "no_interactions"}),
            None,
        ],
        "max_bins": [Interval(Integral, 2, binning.MAX_BINS, closed="both")],
        "categorical_features": ["array-like", StrOptions({"from_dtype"}), None],
        "early_stopping": [StrOptions({"auto"}), "boolean"],
        "scoring": [str, callable, None],
        "validation_fraction": [
            Interval(RealNotInt, 0, 1, closed="neither"),
            Interval(Integral, 1, None, closed="left"),
            None,
        ],
        "n_iter_no_change": [Interval(Integral, 1, None, closed="left")],
        "tol": [Interval(Real, 0, None, closed="left")],
        "verbose": ["verbose"],
        "random_state": ["random_state"],
        "cat_smooth": [Interval(Real, 0, None, closed="left")],
        "min_data_per_group": [Interval(Integral, 1, None, closed="left")],
        "max_cat_threshold": [Interval(Integral, 1, None, closed="left")],
        "linear_features": ["array-like", None],
        "linear_l2": [Interval(Real, 0, None, closed="left")],
        "linear_min_rows": [Interval(Integral, 1, None, closed="left"), None],
    }

    def __init__(
        self,
        *,
        loss="squared_error",
        learning_rate=0.1,
        max_iter=100,
        max_leaf_nodes=31,
        max_depth=None,
        min_samples_leaf=20,
        l2_regularization=0.0,
        max_features=1.0,
        subsample=1.0,
        max_bins=255,
        monotonic_cst=None,
        interaction_cst=None,
        warm_start=False,
        categorical_features="from_dtype",
        early_stopping="auto",
        scoring="loss",
        validation_fraction=0.1,
        n_iter_no_change=10,
        tol=1e-7,
        verbose=0,
        random_state=None,
        cat_smooth=10.0,
        min_data_per_group=100,
        max_cat_threshold=32,
        linear_features=None,
        linear_l2=1.0,
        linear_min_rows=None,
    ):
        self.loss = loss
        self.learning_rate = learning_rate
        self.max_iter = max_iter
        self.max_leaf_nodes = max_leaf_nodes
        self.max_depth = max_depth
        self.min_samples_leaf = min_samples_leaf
        self.l2_regularization = l2_regularization
        self.max_features = max_features
        self.subsample = subsample
        self.monotonic_cst = monotonic_cst
        self.interaction_cst = interaction_cst
        self.warm_start = warm_start
        self.max_bins = max_bins
        self.categorical_features = categorical_features
        self.early_stopping = early_stopping
        self.scoring = scoring
        self.validation_fraction = validation_fraction
        self.n_iter_no_change = n_iter_no_change
        self.tol = tol
        self.verbose = verbose
        self.random_state = random_state
        self.cat_smooth = cat_smooth
        self.min_data_per_group = min_data_per_group
        self.max_cat_threshold = max_cat_threshold
        self.linear_features = linear_features
        self.linear_l2 = linear_l2
        self.linear_min_rows = linear_min_rows

    def __sklearn_tags__(self):
        tags = super().__sklearn_tags__()
        tags.input_tags.allow_nan = True
        tags.input_tags.categorical = True
        tags.input_tags.sparse = True
        return tags

    # ------------------------------------------------------------ input

    def _features(self, X, reset):
        """The float matrix of X; at fit (reset) also the categorical mask
        and the categories of encoded DataFrame columns."""
        if reset:
            names = _frame_names(X)
            mask = None
            if inputs.is_frame(X):
                mask = inputs.categorical_mask(self.categorical_features, X, X.shape[1], names)
                inputs.reject_text_columns(X, mask)
                X, self._categories = inputs.encode_categories(X, mask, None)
            else:
                self._categories = None
            x = inputs.validated_matrix(self, X, reset=True)
            if mask is None:
                mask = inputs.categorical_mask(self.categorical_features, X, x.shape[1], None)
            self._categorical = mask
            return x
        X, _ = inputs.encode_categories(X, self._categorical, self._categories)
        return inputs.validated_matrix(self, X, reset=False)

    def _check_weights(self, sample_weight, x, y):
        weight = None
        if sample_weight is not None:
            weight = _check_sample_weight(
                sample_weight,
                x,
                dtype=np.float64,
                ensure_non_negative=True,
                allow_all_zero_weights=True,
            )
        weight = self._class_weights(y, weight)
        if weight is not None and not np.isfinite(weight).all():
            raise ValueError("sample_weight must be finite")
        return weight

    def _class_weights(self, y, weight):
        return weight

    # ------------------------------------------------------------ fit

    def _fit(self, X, y, sample_weight, X_val, y_val, sample_weight_val, z, z_val):
        start = time.perf_counter()
        resume = self._resumes()
        x, y, weight, z, seed = self._training_input(X, y, sample_weight, z, resume)
        validation = self._validation_input(x.shape[0], X_val, y_val, sample_weight_val, z_val)
        if self.do_early_stopping_ and validation is None and self.validation_fraction is not None:
            (x, y, weight, z), validation = self._split_validation(x, y, weight, z, seed)
        if resume and self.n_iter_ == self.max_iter:
            return self
        bins = binning.fit_bins(
            x, self._categorical, self.max_bins, seed, weight, self.min_data_per_group
        )
        self._loss = self._new_loss()
        # The scores of the trees so far, taken before the shard reorders z.
        scores = self._raw_of(self._seen(x), z, self._trees) if resume else None
        binned, bins = drop_unsplittable(binning.bin_rows(bins, x), bins, self.min_samples_leaf)
        shard = Shard(binned, y, weight, z, self._loss, bins.n_bins_max)
        sample = None
        if self.do_early_stopping_ and self.scoring != "loss":
            sample = _scorer_sample(x, y, weight, z, seed)
        self._boost(shard, x.shape[0], bins, validation, sample, start, seed, scores)
        return self

    def _new_loss(self):
        """The loss object of this estimator's parameters and classes."""
        quantile = None
        if self.loss == "quantile":
            if self.quantile is None:
                raise ValueError("loss='quantile' needs quantile, the quantile to fit, in (0, 1)")
            quantile = float(self.quantile)
        # Only a regressor fits loss='tweedie', and has power.
        power = float(self.power) if self.loss == "tweedie" else None
        return make_loss(self._kind, self._n_classes, self.loss, quantile, power)

    def _resumes(self):
        """Whether this fit adds rounds to the fitted model (warm_start)."""
        if not self.warm_start or not hasattr(self, "_trees"):
            return False
        if self.max_iter < self.n_iter_:
            raise ValueError(
                f"max_iter={self.max_iter} must be larger than or equal to "
                f"n_iter_={self.n_iter_} when warm_start==True"
            )
        return True

    def _training_input(self, X, y, sample_weight, z, resume=False):
        """The checked training rows (x, y, weight, z) without the rows of
        weight zero, and the seed of the fit's random choices; fits the
        feature names, categories and embedding, unless the fit resumes
        (they are the fitted model's, and so is the seed)."""
        x = self._features(X, reset=not resume)
        y = self._targets(column_or_1d(y, warn=True), reset=not resume)
        check_consistent_length(x, y)
        weight = self._check_weights(sample_weight, x, y)
        x, y, weight, z = _without_zero_weights(x, y, weight, z)
        if x.shape[0] == 0:
            raise ValueError("every sample has weight zero: there is nothing to fit")
        if not (resume and hasattr(self, "_seed")):
            rng = check_random_state(self.random_state)
            self._seed = int(rng.randint(np.iinfo(np.int32).max))
        if not resume:
            self._embedding = Embedding.fit(self, x, z)
        return x, y, weight, embedding.transform(self._embedding, x, z), self._seed

    def _validation_input(self, n_rows, X_val, y_val, sample_weight_val, z_val):
        """Decides on early stopping (do_early_stopping_); the checked
        validation set (x, y, weight, z) when one is given, else None."""
        given = X_val is not None or y_val is not None
        if given:
            if X_val is None or y_val is None:
                raise ValueError("X_val and y_val must be passed together")
            if self.early_stopping is False:
                raise ValueError(
                    "X_val and y_val are passed to fit while early_stopping is False; "
                    "set early_stopping to 'auto' or True to use them"
                )
        # A loss given as a function has no loss to score: 'auto' leaves
        # early stopping off unless another scoring is given.
        scoreless = callable(self.loss) and self.scoring == "loss"
        if scoreless and (self.early_stopping is True or given):
            raise ValueError(NO_LOSS_TO_SCORE)
        self.do_early_stopping_ = self.early_stopping is True or (
            self.early_stopping == "auto" and (n_rows > 10_000 or given) and not scoreless
        )
        if not given:
            return None
        x = self._features(X_val, reset=False)
        y = self._targets(column_or_1d(y_val, warn=True), reset=False)
        check_consistent_length(x, y)
        weight = None
        if sample_weight_val is not None:
            weight = _check_sample_weight(
                sample_weight_val, x, dtype=np.float64, ensure_non_negative=True
            )
        return x, y, weight, embedding.transform(self._embedding, x, z_val)

    def _boost(self, rows, n_rows, bins, validation, sample, start, seed, scores=None):
        """The boosting rounds on training rows with n_rows rows in all (one
        Shard, or the partitions of a distributed fit), with early stopping
        on the validation set (x, y, weight, z) or on the training rows (the
        loss, or a scorer on the sample of them); sets the fitted model.
        seed starts the streams of the features that nodes draw. scores,
        if given, are the training rows' raw scores of the fitted model,
        whose rounds the fit continues."""
        self._category_values = [v if v is not None else np.empty(0) for v in bins.cat_values]
        width = 0 if self._embedding is None else self._embedding.width
        params = self._boost_params(width, seed, n_rows)
        with class_workers(rows, bins, params) as workers:
            boosting = Boosting(rows, n_rows, self._loss, bins, params, workers)
            first = 0
            if scores is None:
                self._init_score = boosting.start()
                self._trees = []
            else:
                rows.start_from(scores)
                first = self.n_iter_
            monitor = _Monitor(self, rows, validation, sample, first)
            monitor.record([])
            for iteration in range(first, self.max_iter):
                trees, loss_sums = boosting.round(iteration, train_loss=monitor.wants_train_loss)
                self._trees.extend(trees)
                monitor.record(trees, loss_sums)
                if self.verbose > 1 or (
                    self.verbose and (iteration + 1) % max(1, self.max_iter // 10) == 0
                ):
                    _report(self, iteration, trees, monitor, start)
                if monitor.should_stop():
                    break
        best = monitor.best_iteration()
        del self._trees[best * self._loss.n_outputs :]
        self.n_iter_ = best
        kept = best - first + 1
        self.train_score_ = np.asarray(monitor.earlier_train + monitor.train_scores[:kept])
        self.validation_score_ = np.asarray(
            monitor.earlier_validation + monitor.validation_scores[:kept]
        )
        if self.verbose:
            print(
                f"Fit {len(self._trees)} trees in {time.perf_counter() - start:.3f} s",
                file=sys.stderr,
            )

    def _boost_params(self, d, seed, n_rows):
        if d and self._loss.sets_leaf_values:
            raise ValueError(
                f"loss={self.loss!r} gives each leaf a quantile of its rows, not a linear model: "
                "it cannot be combined with linear leaves"
            )
        min_rows = self.linear_min_rows if self.linear_min_rows is not None else 2 * (d + 1)
        return BoostParams(
            self.max_iter,
            GrowParams(
                self.max_leaf_nodes,
                self.max_depth,
                self.min_samples_leaf,
                self._interaction_groups(),
                sums_from_histograms(n_rows, d > 0, self._loss),
            ),
            SplitParams(
                self.min_samples_leaf,
                float(self.l2_regularization),
                float(self.cat_smooth),
                self.min_data_per_group,
                self.max_cat_threshold,
                float(self.max_features),
                seed,
                self._monotonic_signs(d),
            ),
            LeafParams(
                float(self.l2_regularization),
                float(self.learning_rate),
                float(self.linear_l2),
                min_rows,
                self._loss.max_step,
                child_hessian_floor(self._loss),
            ),
            float(self.subsample),
        )

    def _interaction_groups(self):
        """The interaction constraints as a bool (n_groups, n_features)
        matrix, the features left out of every listed group forming one more
        group; None without constraints."""
        if self.interaction_cst is None:
            return None
        n = self.n_features_in_
        if self.interaction_cst == "no_interactions":
            listed = [[f] for f in range(n)]
        elif self.interaction_cst == "pairwise":
            listed = list(itertools.combinations(range(n), 2))
        else:
            listed = self.interaction_cst
        groups = []
        for group in listed:
            try:
                members = set(group)
            except TypeError:
                raise ValueError(
                    "Interaction constraints must be a sequence of tuples or lists, got: "
                    f"{self.interaction_cst!r}."
                ) from None
            if not all(isinstance(f, Integral) and 0 <= f < n for f in members):
                raise ValueError(
                    "Interaction constraints must consist of integer indices in "
                    f"[0, n_features - 1] = [0, {n - 1}], specifying the position of "
                    f"features, got invalid indices: {group!r}"
                )
            groups.append(sorted(members))
        rest = sorted(set(range(n)).difference(*groups))
        if rest:
            groups.append(rest)
        matrix = np.zeros((len(groups), n), dtype=bool)
        for g, members in enumerate(groups):
            matrix[g, members] = True
        return matrix

    def _monotonic_signs(self, d):
        """The checked constraints (int8 per feature), or None without any;
        d is the width of the embedding of linear leaves."""
        if self.monotonic_cst is None:
            return None
        signs = _check_monotonic_cst(self, self.monotonic_cst).astype(np.int8)
        if not signs.any():
            return None
        if (signs[self._categorical] != 0).any():
            raise ValueError("Categorical features cannot have monotonic constraints.")
        if self._n_classes > 2:
            raise ValueError(
                "monotonic constraints are not supported for multiclass classification."
            )
        if d:
            raise ValueError("monotonic constraints cannot be combined with linear leaves")
        return signs

    def _split_validation(self, x, y, weight, z, seed):
        stratify = y if self._kind == "classification" else None
        parts = [a for a in (x, y, weight, z) if a is not None]
        pieces = train_test_split(
            *parts, test_size=self.validation_fraction, stratify=stratify, random_state=seed
        )
        train, val = pieces[0::2], pieces[1::2]

        def unpack(arrays):
            arrays = list(arrays)
            out = [arrays.pop(0), arrays.pop(0)]
            out.append(arrays.pop(0) if weight is not None else None)
            out.append(np.ascontiguousarray(arrays.pop(0)) if z is not None else None)
            return out

        train, val = unpack(train), unpack(val)
        train[0] = np.ascontiguousarray(train[0])
        val[0] = np.ascontiguousarray(val[0])
        return tuple(train), tuple(val)

    # ------------------------------------------------------------ predict

    @property
    def n_trees_per_iteration_(self):
        check_is_fitted(self)
        return self._loss.n_outputs

    @property
    def is_categorical_(self):
        check_is_fitted(self)
        return self._categorical.copy() if self._categorical.any() else None

    @property
    def feature_importances_(self):
        """Total gain of the splits on each feature, normalised to sum to 1."""
        check_is_fitted(self)
        total = np.zeros(self.n_features_in_)
        for tree in self._trees:
            internal = tree.leaf_id < 0
            np.add.at(total, tree.feature[internal], tree.gain[internal])
        s = total.sum()
        return total / s if s > 0 else total

    def _raw_predict(self, X, z=None, n_trees=None):
        """Raw scores (K, n_rows) of the first n_trees trees (all by default)."""
        override = getattr(self, "_raw_override", None)
        if override is not None and X is override[0]:
            return override[1]
        check_is_fitted(self)
        x = self._seen(self._features(X, reset=False))
        z = embedding.transform(self._embedding, x, z)
        return self._raw_of(x, z, self._trees if n_trees is None else self._trees[:n_trees])

    def _seen(self, x):
        """x with the categories that training never saw as missing values."""
        return inputs.unseen_as_missing(x, self._categorical, self._category_values)

    def _raw_of(self, x, z, trees):
        """Raw scores (K, n_rows) of trees on the checked rows x (and z)."""
        raw = np.empty((self._init_score.size, x.shape[0]))
        raw[:] = self._init_score[:, None]
        add_outputs(raw, trees, x, z)
        return raw

    def apply(self, X):
        """The leaf that each row reaches in each tree, numbered from 0 in
        every tree (the order of the model file's leaf tables): (n_rows,
        n_iter_) for a regressor, (n_rows, n_iter_, n_trees_per_iteration_)
        for a classifier, as scikit-learn's GradientBoosting gives them (one
        tree per round for two classes)."""
        check_is_fitted(self)
        x = self._seen(self._features(X, reset=False))
        k = self._init_score.size
        leaves = np.empty((x.shape[0], len(self._trees)), dtype=np.int64)
        for t, tree in enumerate(self._trees):
            leaves[:, t] = tree.apply(x)
        leaves = leaves.reshape(x.shape[0], -1, k)
        return leaves if self._kind == "classification" else leaves[:, :, 0]

    def predict_contributions(self, X):
        """Each feature's share of every row's raw score (decision_function
        for a classifier): the Shapley values of the trees' expected outputs
        as the rows' features are revealed (TreeSHAP, weighted by the rows
        that reached each node in training). An array (n_rows, n_features +
        1) whose last column is the expected raw score and whose rows add up
        to the raw scores; (n_rows, n_classes, n_features + 1) for more
        than two classes. Models with linear leaves have none."""
        check_is_fitted(self)
        if self._embedding is not None:
            raise ValueError("contributions are given for constant leaves; this model's are linear")
        if any((tree.count < 0).any() for tree in self._trees):
            raise ValueError(
                "this model was saved without its trees' node counts, which contributions "
                "need: fit it again"
            )
        x = self._seen(self._features(X, reset=False))
        k = self._init_score.size
        out = np.zeros((k, x.shape[0], x.shape[1] + 1))
        out[:, :, -1] = self._init_score[:, None]
        for t, tree in enumerate(self._trees):
            contributions.add_tree(out[t % k], tree, x)
        return out[0] if k == 1 else out.transpose(1, 0, 2)

    def _staged_raw(self, X, z):
        check_is_fitted(self)
        x = self._seen(self._features(X, reset=False))
        z = embedding.transform(self._embedding, x, z)
        k = self._init_score.size
        raw = np.empty((k, x.shape[0]))
        raw[:] = self._init_score[:, None]
        for t, tree in enumerate(self._trees):
            raw[t % k] += tree.predict(x, z)
            if t % k == k - 1:
                yield raw.copy()

    def save(self, path):
        """Writes the fitted model to path as a NumPy .npz file (no pickles);
        tarnwick.load_model reads it back."""
        from .model_file import save_model

        check_is_fitted(self)
        if callable(self.loss):
            raise ValueError(
                "a model whose loss is a function cannot be written as a model file, which "
                "holds no code: pickle the estimator instead"
            )
        save_model(self, path)


def _frame_names(X):
    if not inputs.is_frame(X):
        return None
    names = list(X.columns)
    return np.asarray(names, dtype=object) if all(isinstance(n, str) for n in names) else None


def _without_zero_weights(x, y, weight, z):
    """The rows with a positive weight: a row of weight zero has no pull on
    the model, and leaving it out keeps it out of the bins and the counts too."""
    if weight is None or weight.all():
        return x, y, weight, z
    keep = weight > 0
    return x[keep], y[keep], weight[keep], None if z is None else z[keep]


def _scorer_sample(x, y, weight, z, seed):
    """At most SCORER_TRAIN_ROWS training rows (x, y, weight, z) on which a
    scorer computes the training score."""
    rows = slice(None)
    if x.shape[0] > SCORER_TRAIN_ROWS:
        rows = np.random.default_rng(seed).choice(x.shape[0], SCORER_TRAIN_ROWS, replace=False)
    return (
        x[rows],
        y[rows],
        None if weight is None else weight[rows],
        None if z is None else z[rows],
    )


class _Monitor:
    """Training and validation scores after every round, and the early
    stopping rule: stop when none of the last n_iter_no_change scores beats
    the one before them by more than tol. Scores are the negative loss
    (scoring 'loss') or the scorer's value; higher is better. The training
    score of a scorer is taken on a sample of the training rows. A fit that
    resumes after round first starts from the fitted model's scores, and
    keeps its earlier ones if they go with its rounds."""

    def __init__(self, est, rows, validation, sample, first=0):
        self.est, self.rows, self.first = est, rows, first
        self.on = est.do_early_stopping_
        self.use_loss = est.scoring == "loss"
        self.train_scores, self.validation_scores = [], []
        self.earlier_train, self.earlier_validation = [], []
        if first and len(est.train_score_) == first + 1:
            self.earlier_train = est.train_score_[:first].tolist()
            if len(est.validation_score_) == first + 1:
                self.earlier_validation = est.validation_score_[:first].tolist()
        self.validation, self.sample = validation, sample
        self.wants_train_loss = self.on and self.use_loss
        if not self.on:
            return
        if validation is not None:
            self.val_raw = est._raw_of(validation[0], validation[3], est._trees)
        if not self.use_loss:
            self.scorer = check_scoring(est, est.scoring)
            self.sample_raw = est._raw_of(sample[0], sample[3], est._trees)

    def record(self, trees, loss_sums=None):
        if not self.on:
            return
        est = self.est
        if self.validation is not None:
            x_val, _, _, z_val = self.validation
            add_outputs(self.val_raw, trees, x_val, z_val)
        if self.use_loss:
            if loss_sums is None:
                loss_sums = self.rows.loss_sums()
            self.train_scores.append(-loss_sums[0] / loss_sums[1])
            if self.validation is not None:
                _, y_val, w_val, _ = self.validation
                sums = est._loss.loss_sums(y_val, _flat(self.val_raw), w_val)
                self.validation_scores.append(-sums[0] / sums[1])
            return
        x_s, _, _, z_s = self.sample
        add_outputs(self.sample_raw, trees, x_s, z_s)
        self.train_scores.append(self._score(self.sample, self.sample_raw))
        if self.validation is not None:
            self.validation_scores.append(self._score(self.validation, self.val_raw))

    def _score(self, rows, raw):
        x, y, weight, _ = rows
        labels = self.est._labels(y)
        with _raw_override(self.est, x, raw):
            if weight is None:
                return float(self.scorer(self.est, x, labels))
            return float(self.scorer(self.est, x, labels, sample_weight=weight))

    def _scores(self):
        return self.validation_scores if self.validation is not None else self.train_scores

    def should_stop(self):
        if not self.on:
            return False
        scores = self._scores()
        reference = self.est.n_iter_no_change + 1
        if len(scores) < reference:
            return False
        return not any(s > scores[-reference] + self.est.tol for s in scores[-reference + 1 :])

    def best_iteration(self):
        """Rounds to keep: all without early stopping, else up to the best score."""
        if not self.on:
            return len(self.est._trees) // self.est._loss.n_outputs
        return self.first + int(np.argmax(self._scores()))


@contextmanager
def _raw_override(est, x, raw):
    """Makes prediction on x return raw (a scorer's calls during fit)."""
    est._raw_override = (x, raw)
    try:
        yield
    finally:
        est._raw_override = None


def _flat(raw):
    return raw[0] if raw.shape[0] == 1 else raw


def _report(est, iteration, trees, monitor, start):
    leaves = sum(int((t.leaf_id >= 0).sum()) for t in trees)
    line = f"[{iteration + 1}/{est.max_iter}] {len(trees)} tree(s), {leaves} leaves"
    if monitor.train_scores:
        line += f", train score: {monitor.train_scores[-1]:.5f}"
    if monitor.validation_scores:
        line += f", val score: {monitor.validation_scores[-1]:.5f}"
    print(f"{line}, in {time.perf_counter() - start:.3f} s", file=sys.stderr)


class TarnwickRegressor(RegressorMixin, _TarnwickBase):
    __doc__ = (
        """Gradient-boosted trees for regression, with optional embedded-linear
    leaves.

    A drop-in for scikit-learn's HistGradientBoostingRegressor: the shared
    parameters have its names, meanings and defaults, and the fitted
    attributes are the same. The loss is 'squared_error' (the default),
    'absolute_error' or 'quantile' (of quantile), whose leaves take the
    quantile of their rows' residuals, 'poisson' (targets >= 0 of a positive
    mean), 'gamma' (targets > 0) or 'tweedie' (of variance power power, in
    (1, 2); targets >= 0 of a positive mean); the last three fit the log of
    the mean, and predict gives the mean. loss may also be a function
    f(y_true, raw) -> (grad, hess) of each row's gradient and hessian, as
    LightGBM and XGBoost take one: raw scores start at 0, predict gives
    them, and early stopping needs a scoring.
    Missing values (NaN) are supported; each split learns where they go.
    Categorical features (columns of category dtype in a DataFrame by
    default) get a bin per level: the first max_bins levels, and every
    later level seen at least three times; rarer levels share one bin, and
    a level never seen in training goes where missing values go.

    Parameters beyond HistGradientBoosting's:
    power: the variance power of loss='tweedie', in (1, 2) (LightGBM's
        tweedie_variance_power).
    subsample: the share of the rows that each round draws; only those
        enter its histograms (min_samples_leaf counts them) and leaf values.
    cat_smooth, min_data_per_group, max_cat_threshold: the categorical split
        search sorts the eligible levels (at least min_data_per_group rows)
        by gradient sum over hessian sum plus cat_smooth, and puts at most
        max_cat_threshold of them on one side.
    linear_features: columns of X (indices, names or a boolean mask) whose
        standardised values form the embedding z of embedded-linear leaves:
        every leaf then outputs bias + w . z, fitted by a ridge-regularised
        Newton step (linear_l2) on the leaf's rows; a leaf with fewer than
        linear_min_rows rows (default 2 (d + 1)) keeps a constant output.
        At prediction z is clamped to the range each leaf saw. Instead, an
        embedding that is not part of X can be passed as fit(..., z=...)
        and predict(..., z=...).

    Early stopping (on by default above 10,000 rows, or when X_val is
    given) keeps the trees up to the best validation score.
"""
        + THREADS_NOTE
    )

    _parameter_constraints: dict = {
        **_TarnwickBase._parameter_constraints,
        "loss": [StrOptions(set(REGRESSION_LOSSES)), callable],
        "quantile": [Interval(Real, 0, 1, closed="neither"), None],
        "power": [Interval(Real, 1, 2, closed="neither")],
    }
    _kind = "regression"
    _n_classes = 0

    def __init__(
        self,
        *,
        loss="squared_error",
        quantile=None,
        power=1.5,
        learning_rate=0.1,
        max_iter=100,
        max_leaf_nodes=31,
        max_depth=None,
        min_samples_leaf=20,
        l2_regularization=0.0,
        max_features=1.0,
        subsample=1.0,
        max_bins=255,
        monotonic_cst=None,
        interaction_cst=None,
        warm_start=False,
        categorical_features="from_dtype",
        early_stopping="auto",
        scoring="loss",
        validation_fraction=0.1,
        n_iter_no_change=10,
        tol=1e-7,
        verbose=0,
        random_state=None,
        cat_smooth=10.0,
        min_data_per_group=100,
        max_cat_threshold=32,
        linear_features=None,
        linear_l2=1.0,
        linear_min_rows=None,
    ):
        super().__init__(
            loss=loss,
            learning_rate=learning_rate,
            max_iter=max_iter,
            max_leaf_nodes=max_leaf_nodes,
            max_depth=max_depth,
            min_samples_leaf=min_samples_leaf,
            l2_regularization=l2_regularization,
            max_features=max_features,
            subsample=subsample,
            max_bins=max_bins,
            monotonic_cst=monotonic_cst,
            interaction_cst=interaction_cst,
            warm_start=warm_start,
            categorical_features=categorical_features,
            early_stopping=early_stopping,
            scoring=scoring,
            validation_fraction=validation_fraction,
            n_iter_no_change=n_iter_no_change,
            tol=tol,
            verbose=verbose,
            random_state=random_state,
            cat_smooth=cat_smooth,
            min_data_per_group=min_data_per_group,
            max_cat_threshold=max_cat_threshold,
            linear_features=linear_features,
            linear_l2=linear_l2,
            linear_min_rows=linear_min_rows,
        )
        self.quantile = quantile
        self.power = power

    @_fit_context(prefer_skip_nested_validation=True)
    def fit(
        self,
        X,
        y,
        sample_weight=None,
        *,
        X_val=None,
        y_val=None,
        sample_weight_val=None,
        z=None,
        z_val=None,
    ):
        """Fits the model; X_val and y_val, when given, are the validation
        set of early stopping; z (and z_val) an embedding for linear leaves."""
        return self._fit(X, y, sample_weight, X_val, y_val, sample_weight_val, z, z_val)

    def _targets(self, y, reset):
        y = check_array(y, ensure_2d=False, dtype=np.float64, input_name="y")
        check_targets(self.loss, y)
        return y

    def _labels(self, y):
        return y

    def predict(self, X, z=None):
        raw = self._raw_predict(X, z)
        return self._loss.transform(raw[0])

    def staged_predict(self, X, z=None):
        for raw in self._staged_raw(X, z):
            yield self._loss.transform(raw[0])


class TarnwickClassifier(ClassifierMixin, _TarnwickBase):
    __doc__ = (
        """Gradient-boosted trees for classification (log loss: logistic for two
    classes, softmax with one tree per class and round for more), with
    optional embedded-linear leaves.

    A drop-in for scikit-learn's HistGradientBoostingClassifier; see
    TarnwickRegressor for the shared behaviour and our own parameters.
    class_weight ("balanced" or a dict) scales the sample weights by class.
"""
        + THREADS_NOTE
        + """
    On Linux, a large enough fit of three or more classes grows the trees of
    each round on worker processes (at most one per thread and per class)
    that share the binned rows with the fit through shared memory; they give
    the same model to the bit, start with fit and end with it.
"""
    )

    _parameter_constraints: dict = {
        **_TarnwickBase._parameter_constraints,
        "loss": [StrOptions({"log_loss"})],
        "class_weight": [dict, StrOptions({"balanced"}), None],
    }
    _kind = "classification"

    def __init__(
        self,
        *,
        loss="log_loss",
        learning_rate=0.1,
        max_iter=100,
        max_leaf_nodes=31,
        max_depth=None,
        min_samples_leaf=20,
        l2_regularization=0.0,
        max_features=1.0,
        subsample=1.0,
        max_bins=255,
        monotonic_cst=None,
        interaction_cst=None,
        warm_start=False,
        categorical_features="from_dtype",
        early_stopping="auto",
        scoring="loss",
        validation_fraction=0.1,
        n_iter_no_change=10,
        tol=1e-7,
        verbose=0,
        random_state=None,
        class_weight=None,
        cat_smooth=10.0,
        min_data_per_group=100,
        max_cat_threshold=32,
        linear_features=None,
        linear_l2=1.0,
        linear_min_rows=None,
    ):
        super().__init__(
            loss=loss,
            learning_rate=learning_rate,
            max_iter=max_iter,
            max_leaf_nodes=max_leaf_nodes,
            max_depth=max_depth,
            min_samples_leaf=min_samples_leaf,
            l2_regularization=l2_regularization,
            max_features=max_features,
            subsample=subsample,
            max_bins=max_bins,
            monotonic_cst=monotonic_cst,
            interaction_cst=interaction_cst,
            warm_start=warm_start,
            categorical_features=categorical_features,
            early_stopping=early_stopping,
            scoring=scoring,
            validation_fraction=validation_fraction,
            n_iter_no_change=n_iter_no_change,
            tol=tol,
            verbose=verbose,
            random_state=random_state,
            cat_smooth=cat_smooth,
            min_data_per_group=min_data_per_group,
            max_cat_threshold=max_cat_threshold,
            linear_features=linear_features,
            linear_l2=linear_l2,
            linear_min_rows=linear_min_rows,
        )
        self.class_weight = class_weight

    @_fit_context(prefer_skip_nested_validation=True)
    def fit(
        self,
        X,
        y,
        sample_weight=None,
        *,
        X_val=None,
        y_val=None,
        sample_weight_val=None,
        z=None,
        z_val=None,
    ):
        """Fits the model; X_val and y_val, when given, are the validation
        set of early stopping; z (and z_val) an embedding for linear leaves."""
        return self._fit(X, y, sample_weight, X_val, y_val, sample_weight_val, z, z_val)

    @property
    def _n_classes(self):
        return self.classes_.size

    def _targets(self, y, reset):
        if reset:
            check_classification_targets(y)
            self.classes_, encoded = np.unique(y, return_inverse=True)
            if self.classes_.size < 2:
                raise ValueError(
                    f"{type(self).__name__} needs samples of at least 2 classes, "
                    f"but the data holds only one class: {self.classes_[:1].tolist()[0]!r}"
                )
        else:
            unknown = ~np.isin(y, self.classes_)
            if unknown.any():
                raise ValueError(
                    f"y_val holds classes not seen in training: {np.unique(y[unknown])}"
                )
            encoded = np.searchsorted(self.classes_, y)
        encoded = encoded.astype(np.int64)
        return encoded.astype(np.float64) if self.classes_.size == 2 else encoded

    def _labels(self, y):
        return self.classes_[y.astype(np.int64)]

    def _class_weights(self, y, weight):
        if self.class_weight is None:
            return weight
        per_row = compute_sample_weight(self.class_weight, self.classes_[y.astype(np.int64)])
        return per_row if weight is None else weight * per_row

    def decision_function(self, X, z=None):
        """Raw scores: (n_rows,) for two classes, (n_rows, n_classes) for more."""
        raw = self._raw_predict(X, z)
        return raw[0] if raw.shape[0] == 1 else raw.T

    def predict_proba(self, X, z=None):
        """Class probabilities, (n_rows, n_classes)."""
        raw = self._raw_predict(X, z)
        return self._loss.transform(_flat(raw))

    def predict(self, X, z=None):
        proba = self.predict_proba(X, z)
        return self.classes_[np.argmax(proba, axis=1)]

    def staged_decision_function(self, X, z=None):
        """decision_function after each round, as a generator."""
        for raw in self._staged_raw(X, z):
            yield raw[0] if raw.shape[0] == 1 else raw.T

    def staged_predict_proba(self, X, z=None):
        for raw in self._staged_raw(X, z):
            yield self._loss.transform(_flat(raw))

    def staged_predict(self, X, z=None):
        for proba in self.staged_predict_proba(X, z):
            yield self.classes_[np.argmax(proba, axis=1)]
