"""Saving and loading fitted estimators as NumPy .npz files, without pickles.

The file holds a JSON header (format name and version, estimator class,
parameters, feature names, categories, fitted scalars) and plain arrays. The
trees' arrays are concatenated field by field; node_start, cat_start and
leaf_start (n_trees + 1 entries each) cut them back into trees. A reader
refuses a file of another format or of a newer version than it knows. The
nodes' training row counts (count) came later within version 1: a file
without them loads with counts of -1.
"""

import json

import numpy as np

from .embedding import Embedding
from .trees import LEAF_FIELDS, NODE_FIELDS, Tree

FORMAT = "tarnwick-model"
VERSION = 1


def _starts(sizes):
    starts = np.zeros(len(sizes) + 1, dtype=np.int64)
    np.cumsum(sizes, out=starts[1:])
    return starts


def _json_params(model):
    """The parameters that JSON can hold; the others (a callable scorer, a
    RandomState) are saved as None."""
    out = {}
    for name, value in model.get_params().items():
        if isinstance(value, np.ndarray):
            value = value.tolist()
        try:
            json.dumps(value)
        except TypeError:
            value = None
        out[name] = value
    return out


def _categories_json(categories):
    if categories is None:
        return None
    out = []
    for f, known in enumerate(categories):
        if known is None:
            out.append(None)
            continue
        values = known.tolist()
        try:
            json.dumps(values)
        except TypeError as exc:
            raise ValueError(
                f"the categories of feature {f} are neither strings nor numbers and cannot be saved"
            ) from exc
        out.append(values)
    return out


def model_arrays(model):
    """Every array of a fitted model, by name."""
    trees = model._trees
    emb = model._embedding
    meta = {
        "format": FORMAT,
        "version": VERSION,
        "estimator": type(model).__name__,
        "params": _json_params(model),
        "n_features_in": int(model.n_features_in_),
        "feature_names_in": (
            [str(n) for n in model.feature_names_in_]
            if hasattr(model, "feature_names_in_")
            else None
        ),
        "n_iter": int(model.n_iter_),
        "do_early_stopping": bool(model.do_early_stopping_),
        "categories": _categories_json(model._categories),
        "embedding": None if emb is None else ("given" if emb.columns is None else "columns"),
    }
    out = {
        "meta": np.array(json.dumps(meta)),
        "init_score": model._init_score,
        "categorical": model._categorical,
        "train_score": model.train_score_,
        "validation_score": model.validation_score_,
        "category_start": _starts([v.size for v in model._category_values]),
        "category_values": np.concatenate([np.empty(0), *model._category_values]),
    }
    if hasattr(model, "classes_"):
        classes = model.classes_
        out["classes"] = classes.astype(str) if classes.dtype == object else classes
    if emb is not None:
        out["embedding_center"], out["embedding_scale"] = emb.center, emb.scale
        if emb.columns is not None:
            out["embedding_columns"] = emb.columns
    out["node_start"] = _starts([t.feature.size for t in trees])
    out["cat_start"] = _starts([t.cat_values.size for t in trees])
    out["leaf_start"] = _starts([t.bias.size for t in trees])
    d = trees[0].weights.shape[1] if trees else 0
    for name in (*NODE_FIELDS, "cat_values", *LEAF_FIELDS):
        parts = [getattr(t, name) for t in trees]
        if parts:
            out[name] = np.concatenate(parts)
        else:
            out[name] = np.empty((0, d) if name in LEAF_FIELDS[1:] else 0)
    out["cat_offsets"] = (
        np.concatenate([t.cat_offsets for t in trees]) if trees else np.empty(0, dtype=np.int64)
    )
    return out


def save_model(model, path):
    np.savez(path, **model_arrays(model))


def load_model(path):
    """The fitted estimator saved at path (by its save method)."""
    from . import estimators

    with np.load(path, allow_pickle=False) as data:
        arrays = {name: data[name] for name in data.files}
    try:
        meta = json.loads(str(arrays["meta"]))
    except (KeyError, ValueError) as exc:
        raise ValueError(f"{path} is not a saved tarnwick model") from exc
    if not isinstance(meta, dict) or meta.get("format") != FORMAT:
        raise ValueError(f"{path} is not a saved tarnwick model")
    version = meta.get("version")
    if not isinstance(version, int) or not 1 <= version <= VERSION:
        raise ValueError(
            f"{path} is a tarnwick model of format version {version}, which this "
            f"tarnwick (format versions 1 to {VERSION}) cannot read"
        )
    cls = {
        "TarnwickRegressor": estimators.TarnwickRegressor,
        "TarnwickClassifier": estimators.TarnwickClassifier,
    }[meta["estimator"]]
    model = cls(**meta["params"])
    model.n_features_in_ = meta["n_features_in"]
    if meta["feature_names_in"] is not None:
        model.feature_names_in_ = np.asarray(meta["feature_names_in"], dtype=object)
    model.n_iter_ = meta["n_iter"]
    model.do_early_stopping_ = meta["do_early_stopping"]
    model.train_score_ = arrays["train_score"]
    model.validation_score_ = arrays["validation_score"]
    if "classes" in arrays:
        model.classes_ = arrays["classes"]
    model._categorical = arrays["categorical"]
    model._categories = _categories_from_json(meta["categories"])
    start, values = arrays["category_start"], arrays["category_values"]
    model._category_values = [values[a:b] for a, b in zip(start[:-1], start[1:])]
    model._embedding = None
    if meta["embedding"] is not None:
        model._embedding = Embedding(
            arrays.get("embedding_columns"),
            arrays["embedding_center"],
            arrays["embedding_scale"],
        )
    model._init_score = arrays["init_score"]
    model._loss = model._new_loss()
    node, cat, leaf = arrays["node_start"], arrays["cat_start"], arrays["leaf_start"]
    model._trees = []
    for t in range(node.size - 1):
        n0, n1 = node[t], node[t + 1]
        # cat_offsets holds n_nodes + 1 entries per tree.
        # Files written before trees kept their node counts have none.
        fields = {
            name: arrays[name][n0:n1] if name in arrays else np.full(n1 - n0, -1, np.int64)
            for name in NODE_FIELDS
        }
        fields["cat_offsets"] = arrays["cat_offsets"][n0 + t : n1 + t + 1]
        fields["cat_values"] = arrays["cat_values"][cat[t] : cat[t + 1]]
        for name in LEAF_FIELDS:
            fields[name] = arrays[name][leaf[t] : leaf[t + 1]]
        model._trees.append(Tree(**fields))
    return model


def _categories_from_json(categories):
    if categories is None:
        return None
    import pandas as pd

    return [None if values is None else pd.Index(values) for values in categories]
