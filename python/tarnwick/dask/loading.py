"""From Dask collections to the training rows of a fit, on the workers.

Every step runs as tasks on the worker that holds each partition (pinned
there), and only small results come back: label counts, row counts,
binning summaries, column sums, bin counts. In order:

1. prepare: each partition's X, y and weights checked and encoded.
2. label counts (classification): the classes and the class weights.
3. finish: labels encoded, class weights applied, rows of weight zero
   dropped; then the row count of each partition. Partitions left empty
   take no further part: an empty partition changes nothing.
4. binning summaries of each partition, merged in partition order, and the
   bins; the embedding's column means and deviations (linear_features)
   from per-partition sums added in partition order.
5. one WorkerShards actor per worker, created on that worker from the
   partitions it holds, which bins them and keeps them for the fit.
6. the partitions' bin counts, added up: features that no split can use
   (unsplittable.py) leave every partition's binned rows.

The partitions are numbered in the order of the collection (the empty ones
left out); every merge follows that order, never the workers', so the
model is the same wherever the partitions live.
"""

import dataclasses

import dask
import dask.array as da
import dask.dataframe as dd
import numpy as np
import pandas as pd
from sklearn.utils.class_weight import compute_class_weight
from sklearn.utils.validation import _get_feature_names

from .. import binning, inputs
from ..embedding import Embedding
from ..leaves import add_in_order
from ..unsplittable import usable_columns
from . import partitions
from .rows import DaskRows, WorkerLostError, WorkerRows
from .workers import WorkerShards


def is_dask_collection(obj):
    return isinstance(obj, da.Array | dd.DataFrame | dd.Series)


def blocks(X, y, sample_weight):
    """The delayed blocks of X, y and the weights (None when not given),
    partition by partition, and X's meta (a pandas DataFrame, or None)."""
    if isinstance(X, dd.DataFrame):
        meta, x_parts = X._meta, list(X.to_delayed())
        rows = None
    elif isinstance(X, da.Array):
        if X.ndim != 2:
            raise ValueError(f"Expected a 2D Dask array, got an array of {X.ndim} dimension(s)")
        X = X.rechunk({1: -1})
        meta, x_parts = None, list(X.to_delayed()[:, 0])
        rows = X.chunks[0]
    else:
        raise TypeError(
            f"X must be a Dask Array or a Dask DataFrame, got {type(X).__name__}; "
            "fit TarnwickRegressor or TarnwickClassifier on data in memory"
        )
    y_parts = _aligned(y, rows, len(x_parts), "y")
    w_parts = None
    if sample_weight is not None:
        w_parts = _aligned(sample_weight, rows, len(x_parts), "sample_weight")
    else:
        w_parts = [None] * len(x_parts)
    return x_parts, y_parts, w_parts, meta


def _aligned(v, rows, n_parts, name):
    """The delayed blocks of a Dask y or weights, one per partition of X."""
    if not is_dask_collection(v):
        raise TypeError(f"{name} must be a Dask collection like X, got {type(v).__name__}")
    if isinstance(v, da.Array):
        if v.ndim == 2 and v.shape[1] == 1:
            v = v[:, 0]
        if v.ndim != 1:
            raise ValueError(f"{name} must be one-dimensional, got shape {v.shape}")
        if rows is not None and not np.isnan(v.shape[0]) and not any(np.isnan(rows)):
            if v.shape[0] != sum(rows):
                raise ValueError(
                    "Found input variables with inconsistent numbers of samples: "
                    f"[{int(sum(rows))}, {v.shape[0]}]"
                )
            v = v.rechunk((rows,))
        parts = list(v.to_delayed())
    else:
        parts = list(v.to_delayed())
    if len(parts) != n_parts:
        raise ValueError(
            f"{name} must be partitioned as X by rows: X has {n_parts} partitions, "
            f"{name} has {len(parts)}"
        )
    return parts


def categories(client, est, x_parts, meta, mask):
    """The training categories of the encoded columns of a DataFrame X, as
    the single-process estimator learns them: a known category dtype's
    categories; otherwise (unknown categories, or strings) the distinct
    values of all partitions, sorted."""
    if meta is None or not mask.any():
        return None
    out = [None] * meta.shape[1]
    wanted = []
    for f in np.flatnonzero(mask):
        column = meta.iloc[:, f]
        if inputs._is_category(column):
            if "__UNKNOWN_CATEGORIES__" not in column.cat.categories:
                out[f] = column.cat.categories
                continue
        elif pd.api.types.is_numeric_dtype(column):
            continue
        wanted.append(f)
    if wanted:
        levels = client.gather(
            client.compute(
                [dask.delayed(partitions.frame_levels)(x, wanted) for x in x_parts],
                sync=False,
            )
        )
        for f in wanted:
            found = [pd.Index(part[f]) for part in levels]
            out[f] = found[0].append(found[1:]).unique().sort_values()
    return out


class Loader:
    """Loads the training rows of one fit of est onto the workers of client."""

    def __init__(self, est, client):
        self.est, self.client = est, client

    def on_holders(self, fn, futures, *args, numbered=False):
        """fn(future's value, *args) as tasks on the workers that hold the
        futures' values, which so never move; numbered passes each future's
        position first among args."""
        who = self.client.who_has(futures)
        return [
            self.client.submit(
                fn,
                f,
                *((index, *args) if numbered else args),
                workers=list(who[f.key])[:1],
                allow_other_workers=False,
                pure=False,
            )
            for index, f in enumerate(futures)
        ]

    def gather(self, fn, futures, *args):
        return self.client.gather(self.on_holders(fn, futures, *args))

    def load(self, X, y, sample_weight, seed):
        """The DaskRows of the fit, its row count and its bins; sets est's
        input attributes (feature names and count, categorical mask and
        categories, classes, embedding, loss). A worker lost meanwhile ends
        it with WorkerLostError."""
        before = set(self.client.scheduler_info(n_workers=-1)["workers"])
        try:
            return self._load(X, y, sample_weight, seed)
        except Exception as exc:
            gone = before - set(self.client.scheduler_info(n_workers=-1)["workers"])
            if gone:
                raise WorkerLostError(
                    f"worker(s) {sorted(gone)} left the cluster while the training rows "
                    "were loading. Fit again: the model does not depend on the number "
                    "of workers."
                ) from exc
            raise

    def _load(self, X, y, sample_weight, seed):
        est, client = self.est, self.client
        x_parts, y_parts, w_parts, meta = blocks(X, y, sample_weight)
        n_features = meta.shape[1] if meta is not None else X.shape[1]
        names = _get_feature_names(meta) if meta is not None else None
        est.n_features_in_ = n_features
        if names is not None:
            est.feature_names_in_ = names
        elif hasattr(est, "feature_names_in_"):
            del est.feature_names_in_
        frame_names = None if meta is None else _string_names(meta)
        source = meta if meta is not None else X
        est._categorical = inputs.categorical_mask(
            est.categorical_features, source, n_features, frame_names
        )
        if meta is not None:
            inputs.reject_text_columns(meta, est._categorical)
        est._categories = categories(client, est, x_parts, meta, est._categorical)

        rules = partitions.InputRules(
            type(est).__name__, est._kind, est.loss, est._categorical, est._categories
        )
        prepared = client.compute(
            [
                dask.delayed(partitions.prepare, pure=False)(x, yp, w, rules)
                for x, yp, w in zip(x_parts, y_parts, w_parts)
            ],
            sync=False,
        )
        # The first bad partition's error, as the single-process estimator raises it.
        if sum(self.gather(partitions.size, prepared)) == 0:
            raise ValueError(
                f"Found array with 0 sample(s) (shape=(0, {n_features})) while a "
                f"minimum of 1 is required by {type(est).__name__}."
            )
        classes, table = self.classes(prepared)
        finished = self.on_holders(partitions.finish, prepared, classes, table)
        del prepared
        sizes = self.gather(partitions.size, finished)
        kept = [f for f, n in zip(finished, sizes) if n > 0]
        sizes = [n for n in sizes if n > 0]
        if not kept:
            raise ValueError("every sample has weight zero: there is nothing to fit")
        n_total = sum(sizes)

        summaries = self.client.gather(
            self.on_holders(
                partitions.summary, kept, est._categorical, n_total, seed, numbered=True
            )
        )
        bins = binning.bins_from_summaries(
            binning.merge_summaries(summaries),
            est._categorical,
            est.max_bins,
            est.min_data_per_group,
        )
        est._embedding = self.embedding(kept, n_features)
        est._loss = est._new_loss()
        rows = self.actors(kept, bins)
        columns = usable_columns(rows.bin_counts(), est.min_samples_leaf)
        if columns is not None:
            rows.keep_columns(columns)
            bins = dataclasses.replace(bins, columns=columns)
        return rows, n_total, bins

    def classes(self, prepared):
        """classes_ (set on a classifier) and the per-class weights, or None."""
        est = self.est
        if est._kind != "classification":
            return None, None
        counts = self.gather(partitions.label_counts, prepared)
        classes = np.unique(np.concatenate([labels for labels, _ in counts]))
        if classes.size < 2:
            raise ValueError(
                f"{type(est).__name__} needs samples of at least 2 classes, "
                f"but the data holds only one class: {classes[:1].tolist()[0]!r}"
            )
        est.classes_ = classes
        if est.class_weight is None:
            return classes, None
        if isinstance(est.class_weight, dict):
            return classes, compute_class_weight(est.class_weight, classes=classes, y=classes)
        per_class = np.zeros(classes.size)
        for labels, n in counts:
            per_class[np.searchsorted(classes, labels)] += n
        # "balanced": n_samples / (n_classes * rows of the class), as scikit-learn.
        return classes, per_class.sum() / (classes.size * per_class)

    def embedding(self, kept, n_features):
        """The embedding of linear_features, from sums over the partitions in
        partition order (a single partition: its own values), or None."""
        est = self.est
        if est.linear_features is None:
            return None
        columns = Embedding.linear_columns(est, n_features)
        sums = self.gather(partitions.column_sums, kept, columns)
        total = add_in_order([s for s, _ in sums])
        counts = add_in_order([c for _, c in sums])
        mean = _means(total, counts)
        squares = add_in_order(self.gather(partitions.deviation_sums, kept, columns, mean))
        sd = np.sqrt(_means(squares, counts))
        return Embedding(columns, mean, np.where(sd > 0, sd, 1.0))

    def actors(self, kept, bins):
        """One WorkerShards per worker that holds partitions, partitions in order."""
        client, est = self.client, self.est
        who = client.who_has(kept)
        by_worker = {}
        for index, f in enumerate(kept):
            by_worker.setdefault(list(who[f.key])[0], []).append(index)
        workers = []
        for address, parts in by_worker.items():
            future = client.submit(
                WorkerShards,
                [kept[i] for i in parts],
                bins,
                est._embedding,
                est._loss,
                parts,
                actor=True,
                workers=[address],
                allow_other_workers=False,
                pure=False,
            )
            workers.append(WorkerRows(address, future, parts))
        for worker in workers:
            # Waits for the actor (its proxy, not its data): errors surface here.
            worker.future.result()
        return DaskRows(client, workers, len(kept))


def _means(sums, counts):
    return np.divide(sums, counts, out=np.zeros(sums.size), where=counts > 0)


def _string_names(meta):
    names = list(meta.columns)
    return np.asarray(names, dtype=object) if all(isinstance(n, str) for n in names) else None
