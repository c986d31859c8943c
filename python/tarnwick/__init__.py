"""Gradient-boosted trees with embedded-linear leaves, as scikit-learn estimators.

    from tarnwick import TarnwickRegressor, TarnwickClassifier, load_model

    model = TarnwickRegressor().fit(X, y)
    model.predict(X_new)
    model.save("model.npz"); load_model("model.npz")

The inner loops are the seven functions of the compiled module tarnwick_native.
"""

from importlib import import_module
from importlib.metadata import version as _version

__version__ = _version("tarnwick")
__all__ = ["TarnwickClassifier", "TarnwickRegressor", "__version__", "load_model"]

# Imported on first use: the estimators bring scikit-learn, which a worker
# process of a fit (class_trees) does without.
_LAZY = {
    "TarnwickClassifier": "estimators",
    "TarnwickRegressor": "estimators",
    "load_model": "model_file",
}


def __getattr__(name):
    if name not in _LAZY:
        raise AttributeError(f"module 'tarnwick' has no attribute {name!r}")
    value = getattr(import_module(f".{_LAZY[name]}", __name__), name)
    globals()[name] = value
    return value


def __dir__():
    return sorted({*globals(), *_LAZY})
