"""Gradient-boosted trees with embedded-linear leaves, as scikit-learn estimators.

    from tarnwick import TarnwickRegressor, TarnwickClassifier, load_model

    model = TarnwickRegressor().fit(X, y)
    model.predict(X_new)
    model.save("model.npz"); load_model("model.npz")

The inner loops are the seven functions of the compiled module tarnwick_native.
"""

from importlib.metadata import version as _version

from .estimators import TarnwickClassifier, TarnwickRegressor
from .model_file import load_model

__version__ = _version("tarnwick")
__all__ = ["TarnwickClassifier", "TarnwickRegressor", "__version__", "load_model"]
