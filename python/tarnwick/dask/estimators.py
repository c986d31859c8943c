"""DaskTarnwickRegressor and DaskTarnwickClassifier: the single-process
estimators, fitted on Dask collections.

They subclass the single-process estimators and take the same parameters
plus client, so the two never drift: validation of X_val, the boosting
rounds, early stopping and the fitted model are theirs. Only the training
rows differ: they stay on the workers, as DaskRows.

Early stopping on Dask: the training rows never come to the client, so
nothing is held out of them and validation_fraction is not used. With
X_val and y_val (which are small, and do come to the client) the fit stops
on their score, as in a single process. early_stopping=True without them
stops on the training loss, which the workers add up. 'auto' means: on when
X_val and y_val are given, off otherwise (the training loss keeps falling,
so stopping on it rarely pays for itself). A scoring other than 'loss'
needs X_val and y_val.
"""

import inspect
import time

import dask
import dask.array as da
import dask.dataframe as dd
import numpy as np
from distributed import Client
from sklearn.base import _fit_context
from sklearn.utils import check_random_state
from sklearn.utils.validation import check_is_fitted

from .. import model_file
from ..estimators import TarnwickClassifier, TarnwickRegressor
from ..losses import REGRESSION_LOSSES
from .loading import Loader, is_dask_collection

# The fitted attributes of a model (those that the model file holds).
FITTED = (
    "n_features_in_",
    "feature_names_in_",
    "n_iter_",
    "do_early_stopping_",
    "train_score_",
    "validation_score_",
    "classes_",
    "_categorical",
    "_categories",
    "_category_values",
    "_embedding",
    "_init_score",
    "_loss",
    "_trees",
)


def _init_with_client(local_cls):
    """An __init__ that takes local_cls's parameters (its signature, for
    scikit-learn's get_params) and client."""
    signature = inspect.signature(local_cls.__init__)

    def __init__(self, *, client=None, **params):
        local_cls.__init__(self, **params)
        self.client = client

    client = inspect.Parameter("client", inspect.Parameter.KEYWORD_ONLY, default=None)
    __init__.__signature__ = signature.replace(parameters=[*signature.parameters.values(), client])
    return __init__


def _predict_block(block, model, method):
    return getattr(model, method)(block)


class _DaskFit:
    """Fit, prediction and conversion shared by both Dask estimators."""

    _local_class = None

    @_fit_context(prefer_skip_nested_validation=True)
    def fit(self, X, y, sample_weight=None, *, X_val=None, y_val=None, sample_weight_val=None):
        """Fits on the Dask collections X, y (and sample_weight), partitioned
        alike by rows; X_val and y_val, when given, are the validation set of
        early stopping."""
        return self._fit_dask(X, y, sample_weight, X_val, y_val, sample_weight_val)

    def predict(self, X, z=None):
        if is_dask_collection(X):
            return self._blockwise(X, "predict", z)
        return super().predict(X, z)

    def predict_contributions(self, X):
        if is_dask_collection(X):
            return self._blockwise(X, "predict_contributions", None)
        return super().predict_contributions(X)

    def apply(self, X):
        if is_dask_collection(X):
            return self._blockwise(X, "apply", None)
        return super().apply(X)

    def _fit_dask(self, X, y, sample_weight, X_val, y_val, sample_weight_val):
        own = self._kind == "regression" and not callable(self.loss)
        if own and REGRESSION_LOSSES[self.loss].sets_leaf_values:
            raise ValueError(
                f"loss={self.loss!r} is not supported on Dask: each leaf's value is a quantile "
                "of its rows, which lie on many workers"
            )
        if self.warm_start and hasattr(self, "_trees"):
            raise ValueError(
                f"{type(self).__name__} does not add rounds to a fitted model (warm_start): "
                "continue on its local model (to_local()) with the rows in one process"
            )
        start = time.perf_counter()
        client = self.client if self.client is not None else Client.current()
        rng = check_random_state(self.random_state)
        seed = int(rng.randint(np.iinfo(np.int32).max))
        with client.as_current():
            rows, n_rows, bins = Loader(self, client).load(X, y, sample_weight, seed)
            n_workers = len(rows.workers)
            try:
                validation = self._dask_validation(client, X_val, y_val, sample_weight_val)
                self._boost(rows, n_rows, bins, validation, None, start, seed)
            finally:
                rows.close()
        # What the fit's round trips sent and received in all, for the
        # benchmark and the docs; not part of the model.
        self.traffic_ = {
            "partitions": rows.n_parts,
            "workers": n_workers,
            "round_trips": rows.round_trips,
            "bytes_sent": rows.bytes_sent,
            "bytes_received": rows.bytes_received,
        }
        return self

    def _dask_validation(self, client, X_val, y_val, sample_weight_val):
        """The validation set (gathered to the client) and the Dask meaning of
        early stopping."""
        X_val, y_val, sample_weight_val = (
            client.compute(v).result() if is_dask_collection(v) else v
            for v in (X_val, y_val, sample_weight_val)
        )
        # The row count only serves the single-process rule for 'auto', replaced here.
        validation = self._validation_input(0, X_val, y_val, sample_weight_val, None)
        self.do_early_stopping_ = self.early_stopping is True or (
            self.early_stopping == "auto" and validation is not None
        )
        if self.do_early_stopping_ and validation is None and self.scoring != "loss":
            raise ValueError(
                f"scoring={self.scoring!r} needs X_val and y_val on Dask: the training "
                "rows stay on the workers, and only the loss is summed there"
            )
        return validation

    # ------------------------------------------------------------ prediction

    def _blockwise(self, X, method, z):
        """method of the fitted model on every partition of the Dask
        collection X: a Dask array, computed where the partitions are."""
        if z is not None:
            raise ValueError("predictions on Dask collections take no z")
        local = self.to_local()
        tail = self._output_tail(method)
        dtype = self.classes_.dtype if method == "predict" and hasattr(self, "classes_") else float
        if method == "apply":
            dtype = np.int64
        if isinstance(X, da.Array):
            X = X.rechunk({1: -1})
            if not tail:
                return X.map_blocks(_predict_block, local, method, drop_axis=1, dtype=dtype)
            chunks = (X.chunks[0], *((size,) for size in tail))
            new_axis = list(range(2, len(tail) + 1))
            return X.map_blocks(
                _predict_block, local, method, chunks=chunks, new_axis=new_axis, dtype=dtype
            )
        if not isinstance(X, dd.DataFrame):
            raise TypeError(f"X must be a Dask Array or a Dask DataFrame, got {type(X).__name__}")
        model = dask.delayed(local, pure=True)
        shape = (np.nan, *tail)
        return da.concatenate(
            [
                da.from_delayed(dask.delayed(_predict_block)(part, model, method), shape, dtype)
                for part in X.to_delayed()
            ]
        )

    def _output_tail(self, method):
        """The shape of method's result for one row: () for one value."""
        classes = self.classes_.size if hasattr(self, "classes_") else 0
        if method == "predict_proba":
            return (classes,)
        if method == "decision_function" and classes > 2:
            return (classes,)
        if method == "predict_contributions":
            width = self.n_features_in_ + 1
            return (classes, width) if classes > 2 else (width,)
        if method == "apply":
            trees = self.n_trees_per_iteration_
            return (self.n_iter_, trees) if classes else (self.n_iter_,)
        return ()

    # ------------------------------------------------------------ the model

    def to_local(self):
        """The single-process estimator with this fitted model."""
        check_is_fitted(self)
        params = self.get_params(deep=False)
        del params["client"]
        local = self._local_class(**params)
        for name in FITTED:
            if hasattr(self, name):
                setattr(local, name, getattr(self, name))
        return local

    @classmethod
    def from_local(cls, local, client=None):
        """The Dask estimator with the fitted model of a single-process one."""
        check_is_fitted(local)
        model = cls(**local.get_params(deep=False), client=client)
        for name in FITTED:
            if hasattr(local, name):
                setattr(model, name, getattr(local, name))
        return model

    def save(self, path):
        """Writes the model file of the single-process estimator (to_local())."""
        self.to_local().save(path)

    def __getstate__(self):
        # A client is bound to its process and event loop.
        state = super().__getstate__()
        state["client"] = None
        return state

    def __sklearn_clone__(self):
        """A clone on the same client (a client cannot be copied)."""
        client = self.client
        self.client = None
        try:
            twin = super().__sklearn_clone__()
        finally:
            self.client = client
        twin.client = client
        return twin


class DaskTarnwickRegressor(_DaskFit, TarnwickRegressor):
    __doc__ = """TarnwickRegressor fitted on a Dask Array or DataFrame partitioned by rows.

    Same parameters, plus client: the distributed.Client to fit on (default:
    the current client). See tarnwick.dask for how the fit runs, and this
    module for early stopping. The model does not depend on the number of
    workers or threads; with one partition it is the single-process model.
"""

    __init__ = _init_with_client(TarnwickRegressor)
    _local_class = TarnwickRegressor
    _parameter_constraints: dict = {
        **TarnwickRegressor._parameter_constraints,
        "client": "no_validation",
    }


class DaskTarnwickClassifier(_DaskFit, TarnwickClassifier):
    __doc__ = """TarnwickClassifier fitted on a Dask Array or DataFrame partitioned by rows.

    Same parameters, plus client: the distributed.Client to fit on (default:
    the current client). See tarnwick.dask for how the fit runs, and this
    module for early stopping. The model does not depend on the number of
    workers or threads; with one partition it is the single-process model.
"""

    __init__ = _init_with_client(TarnwickClassifier)
    _local_class = TarnwickClassifier
    _parameter_constraints: dict = {
        **TarnwickClassifier._parameter_constraints,
        "client": "no_validation",
    }

    def predict_proba(self, X, z=None):
        if is_dask_collection(X):
            return self._blockwise(X, "predict_proba", z)
        return super().predict_proba(X, z)

    def decision_function(self, X, z=None):
        if is_dask_collection(X):
            return self._blockwise(X, "decision_function", z)
        return super().decision_function(X, z)


def load_model(path, client=None):
    """The Dask estimator of the model saved at path (by either kind of
    estimator's save)."""
    local = model_file.load_model(path)
    cls = DaskTarnwickClassifier if hasattr(local, "classes_") else DaskTarnwickRegressor
    return cls.from_local(local, client)
