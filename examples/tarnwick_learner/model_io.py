"""Saving and loading fitted models as NumPy .npz files (no pickles).

The trees' arrays are concatenated field by field; node_start, cat_start and
leaf_start (n_trees + 1 entries each) cut them back into trees.
"""

import json

import numpy as np

from .losses import Logistic, Softmax, SquaredError
from .trees import LEAF_FIELDS, NODE_FIELDS, Tree

FORMAT = "tarnwick-learner-1"


def _starts(sizes):
    starts = np.zeros(len(sizes) + 1, dtype=np.int64)
    np.cumsum(sizes, out=starts[1:])
    return starts


def model_arrays(model):
    """Every array of a fitted model, by name."""
    from .booster import TarnwickClassifier

    trees = model.trees_
    params = model.get_params()
    if params["categorical"] is not None:
        params["categorical"] = np.asarray(params["categorical"]).tolist()
    meta = {
        "format": FORMAT,
        "kind": type(model).__name__,
        "loss": model.loss_.name,
        "n_features": model.n_features_,
        "params": params,
    }
    out = {"meta": np.array(json.dumps(meta)), "init_score": model.init_score_}
    if isinstance(model, TarnwickClassifier):
        out["classes"] = model.classes_
    if model.z_fill_ is not None:
        out["z_fill"] = model.z_fill_
    out["node_start"] = _starts([t.feature.size for t in trees])
    out["cat_start"] = _starts([t.cat_values.size for t in trees])
    out["leaf_start"] = _starts([t.bias.size for t in trees])
    d = trees[0].weights.shape[1] if trees else 0
    for name in NODE_FIELDS + ("cat_values",) + LEAF_FIELDS:
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
    """The fitted estimator saved at path."""
    from .booster import TarnwickClassifier, TarnwickRegressor

    with np.load(path, allow_pickle=False) as data:
        arrays = {name: data[name] for name in data.files}
    meta = json.loads(str(arrays["meta"]))
    if meta.get("format") != FORMAT:
        raise ValueError(f"{path} is not a saved {FORMAT} model")
    kind = {"TarnwickRegressor": TarnwickRegressor, "TarnwickClassifier": TarnwickClassifier}
    model = kind[meta["kind"]](**meta["params"])
    model.n_features_ = meta["n_features"]
    model.init_score_ = arrays["init_score"]
    model.z_fill_ = arrays.get("z_fill")
    if "classes" in arrays:
        model.classes_ = arrays["classes"]
    model.loss_ = {"squared_error": SquaredError, "logistic": Logistic}.get(
        meta["loss"], lambda: Softmax(model.init_score_.size)
    )()
    node, cat, leaf = arrays["node_start"], arrays["cat_start"], arrays["leaf_start"]
    model.trees_ = []
    for t in range(node.size - 1):
        n0, n1 = node[t], node[t + 1]
        # cat_offsets holds n_nodes + 1 entries per tree.
        fields = {name: arrays[name][n0:n1] for name in NODE_FIELDS}
        fields["cat_offsets"] = arrays["cat_offsets"][n0 + t : n1 + t + 1]
        fields["cat_values"] = arrays["cat_values"][cat[t] : cat[t + 1]]
        for name in LEAF_FIELDS:
            fields[name] = arrays[name][leaf[t] : leaf[t + 1]]
        model.trees_.append(Tree(**fields))
    return model
