"""Gradient-boosted trees with embedded-linear leaves, as scikit-learn estimators.

    from tarnwick import TarnwickRegressor, TarnwickClassifier, load_model

    model = TarnwickRegressor().fit(X, y)
    model.predict(X_new)
    model.save("model.npz"); load_model("model.npz")

The inner loops are the seven functions of the compiled module tarnwick_native.
"""

from importlib import import_module

__all__ = ["TarnwickClassifier", "TarnwickRegressor", "__version__", "load_model"]

# Imported on first use: the estimators bring scikit-learn, which a worker
# process of a fit (class_trees) does without, and the version is read from
# the installed package's metadata, which takes longer to import than the
# rest of the package.
_LAZY = {
    "TarnwickClassifier": "estimators",
    "TarnwickRegressor": "estimators",
    "load_model": "model_file",
}


def __getattr__(name):
    if name == "__version__":
        from importlib.metadata import version

        value = version("tarnwick")
    elif name in _LAZY:
        value = getattr(import_module(f".{_LAZY[name]}", __name__), name)
    else:
        raise AttributeError(f"module 'tarnwick' has no attribute {name!r}")
    globals()[name] = value
    return value


def __dir__():
    return sorted({*globals(), *_LAZY})
