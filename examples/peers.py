"""Our learner and its peers, configured with the same settings.

Each learner gets the same number of rounds, leaves, bins, learning rate, L2
term and minimum leaf size where it has one; everything else stays at its
defaults. Our learner has no minimum leaf hessian: LightGBM and XGBoost get
their smallest usable one, 1e-3 (LightGBM's default; 0 trips a check in
LightGBM). XGBoost has no minimum leaf row count.

Categorical features (a boolean mask over the columns of category codes):
ours and LightGBM share their categorical split settings (LightGBM's
defaults); XGBoost gets the same largest category subset per split;
HistGradientBoosting has no such settings.
"""

import contextlib
import importlib.util
import time
from dataclasses import dataclass

import numpy as np


@dataclass(frozen=True)
class Settings:
    rounds: int = 100
    learning_rate: float = 0.1
    leaves: int = 31
    bins: int = 255
    min_samples_leaf: int = 20
    l2: float = 1.0
    cat_smooth: float = 10.0
    min_data_per_group: int = 100
    max_cat_threshold: int = 32


PEERS = {"LightGBM": "lightgbm", "XGBoost": "xgboost", "scikit-learn HGB": "sklearn"}


def available(name):
    return importlib.util.find_spec(PEERS[name]) is not None


def make_ours(task, s, linear_features=None, categorical=None, **extra):
    """An unfitted tarnwick estimator with the settings s (early stopping off,
    as for the peers); linear_features makes its leaves embedded-linear."""
    import tarnwick

    cls = tarnwick.TarnwickRegressor if task == "regression" else tarnwick.TarnwickClassifier
    if categorical is not None:
        extra["categorical_features"] = categorical
    return cls(
        max_iter=s.rounds,
        learning_rate=s.learning_rate,
        max_leaf_nodes=s.leaves,
        max_bins=s.bins,
        min_samples_leaf=s.min_samples_leaf,
        l2_regularization=s.l2,
        early_stopping=False,
        random_state=0,
        cat_smooth=s.cat_smooth,
        min_data_per_group=s.min_data_per_group,
        max_cat_threshold=s.max_cat_threshold,
        linear_features=linear_features,
        **extra,
    )


def make_peer(name, task, s, threads=None, categorical=None):
    """An unfitted estimator of the named peer; threads None means the peer's
    default. LightGBM is told its categorical features at fit (fit_args)."""
    if name == "LightGBM":
        import lightgbm

        cls = lightgbm.LGBMRegressor if task == "regression" else lightgbm.LGBMClassifier
        return cls(
            n_estimators=s.rounds,
            learning_rate=s.learning_rate,
            num_leaves=s.leaves,
            max_depth=-1,
            max_bin=s.bins,
            min_child_samples=s.min_samples_leaf,
            min_child_weight=1e-3,
            reg_lambda=s.l2,
            cat_smooth=s.cat_smooth,
            min_data_per_group=s.min_data_per_group,
            max_cat_threshold=s.max_cat_threshold,
            n_jobs=threads,
            verbose=-1,
            deterministic=True,
        )
    if name == "XGBoost":
        import xgboost

        cls = xgboost.XGBRegressor if task == "regression" else xgboost.XGBClassifier
        extra = {}
        if categorical is not None and np.any(categorical):
            extra = dict(
                enable_categorical=True,
                feature_types=["c" if c else "q" for c in categorical],
                max_cat_threshold=s.max_cat_threshold,
            )
        return cls(
            n_estimators=s.rounds,
            learning_rate=s.learning_rate,
            tree_method="hist",
            grow_policy="lossguide",
            max_leaves=s.leaves,
            max_depth=0,
            max_bin=s.bins,
            min_child_weight=1e-3,
            reg_lambda=s.l2,
            n_jobs=threads,
            **extra,
        )
    if name == "scikit-learn HGB":
        from sklearn import ensemble

        cls = (
            ensemble.HistGradientBoostingRegressor
            if task == "regression"
            else ensemble.HistGradientBoostingClassifier
        )
        return cls(
            max_iter=s.rounds,
            learning_rate=s.learning_rate,
            max_leaf_nodes=s.leaves,
            max_bins=s.bins,
            min_samples_leaf=s.min_samples_leaf,
            l2_regularization=s.l2,
            early_stopping=False,
            # HGB chooses its bins from a random subsample of 200,000 rows:
            # a fixed seed makes its figures repeat.
            random_state=0,
            **({} if categorical is None else {"categorical_features": categorical}),
        )
    raise ValueError(f"unknown peer {name!r}")


def fit_args(name, categorical=None):
    """Keyword arguments of the named peer's fit beyond X and y."""
    if name == "LightGBM" and categorical is not None and np.any(categorical):
        return {"categorical_feature": np.flatnonzero(categorical).tolist()}
    return {}


def thread_limit(threads):
    """A context that caps OpenMP threads (scikit-learn's HGB reads no n_jobs)."""
    if threads is None:
        return contextlib.nullcontext()
    from threadpoolctl import threadpool_limits

    return threadpool_limits(limits=threads, user_api="openmp")


def timed_fit(model, x, y, threads=None, after_round=None, extra_fit_args=None):
    """Fits model (ours or a peer) and returns the fit seconds and the seconds
    of each boosting round but the first, from stamps at the end of every
    round: the end of our learner's rounds, LightGBM's callbacks, an XGBoost
    training callback, and for HistGradientBoosting (which has no callback)
    the start of each round's first tree. after_round, if given, runs at
    each stamp. extra_fit_args go to fit (see fit_args)."""
    stamps = []

    def stamp(*_):
        stamps.append(time.perf_counter())
        if after_round is not None:
            after_round()

    kind = type(model).__module__.split(".")[0]
    kwargs = dict(extra_fit_args or {})
    stamping = contextlib.nullcontext()
    if kind == "tarnwick":
        stamping = _stamped_rounds(stamp)
    elif kind == "lightgbm":
        kwargs["callbacks"] = [stamp]
    elif kind == "xgboost":
        import xgboost

        class Stamp(xgboost.callback.TrainingCallback):
            def after_iteration(self, model, epoch, evals_log):
                stamp()
                return False

        model.set_params(callbacks=[Stamp()])
    else:
        stamping = _stamped_hgb_grower(stamp)
    with thread_limit(threads), stamping:
        start = time.perf_counter()
        model.fit(x, y, **kwargs)
        seconds = time.perf_counter() - start
    if kind == "sklearn":
        # One grower per class and round: keep the first of each round.
        per_round = len(stamps) // model.n_iter_
        return seconds, np.diff(stamps[::per_round])
    return seconds, np.diff(stamps)


@contextlib.contextmanager
def _stamped_rounds(stamp):
    from tarnwick import booster

    original = booster.Boosting.round

    def stamped(self, *args, **kwargs):
        out = original(self, *args, **kwargs)
        stamp()
        return out

    booster.Boosting.round = stamped
    try:
        yield
    finally:
        booster.Boosting.round = original


@contextlib.contextmanager
def _stamped_hgb_grower(stamp):
    from sklearn.ensemble._hist_gradient_boosting import gradient_boosting

    original = gradient_boosting.TreeGrower

    class StampedGrower(original):
        def __init__(self, *args, **kwargs):
            stamp()
            super().__init__(*args, **kwargs)

    gradient_boosting.TreeGrower = StampedGrower
    try:
        yield
    finally:
        gradient_boosting.TreeGrower = original
