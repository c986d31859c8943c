"""A reference gradient-boosted tree learner on tarnwick_native's kernels."""

from .booster import TarnwickClassifier, TarnwickRegressor
from .model_io import load_model

__all__ = ["TarnwickClassifier", "TarnwickRegressor", "load_model"]
