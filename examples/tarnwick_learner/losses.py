"""Losses: initial score, gradients and hessians, and the link to predictions.

Raw scores are float64, shape (n_rows,) for one output and (K, n_rows),
class-major, for softmax, so that each class's gradient row is contiguous.
"""

import numpy as np


class SquaredError:
    name = "squared_error"
    n_outputs = 1
    # Every row's hessian, so a leaf's hessian sum is its row count.
    constant_hessian = 1.0

    @staticmethod
    def init_score(y):
        return np.array([y.mean()])

    @staticmethod
    def gradients(y, raw, hess_out):
        """Gradient of 0.5 (raw - y)^2. The hessian is 1 for every row, handed
        out as one broadcast value: the histograms then count it instead of
        adding it up (the same bits), and hess_out is not needed."""
        return raw - y, np.broadcast_to(1.0, raw.shape)

    @staticmethod
    def loss(y, raw):
        return float(np.mean((raw - y) ** 2))

    @staticmethod
    def transform(raw):
        return raw


def sigmoid(raw):
    with np.errstate(over="ignore"):
        return 1.0 / (1.0 + np.exp(-raw))


class Logistic:
    name = "logistic"
    n_outputs = 1
    constant_hessian = None

    @staticmethod
    def init_score(y):
        p = np.clip(y.mean(), 1e-12, 1 - 1e-12)
        return np.array([np.log(p / (1 - p))])

    @staticmethod
    def gradients(y, raw, hess_out):
        p = sigmoid(raw)
        np.multiply(p, 1.0 - p, out=hess_out)
        return p - y, hess_out

    @staticmethod
    def loss(y, raw):
        # log(1 + exp(raw)) - y raw, without overflow for large |raw|.
        return float(np.mean(np.logaddexp(0.0, raw) - y * raw))

    @staticmethod
    def transform(raw):
        p = sigmoid(raw)
        return np.stack([1.0 - p, p], axis=1)


def softmax(raw):
    """Class probabilities (K, n) of class-major raw scores."""
    e = np.exp(raw - raw.max(axis=0))
    return e / e.sum(axis=0)


class Softmax:
    name = "softmax"
    constant_hessian = None

    def __init__(self, n_classes):
        self.n_outputs = n_classes

    def init_score(self, y):
        prior = np.bincount(y, minlength=self.n_outputs) / y.size
        return np.log(np.clip(prior, 1e-12, None))

    def gradients(self, y, raw, hess_out):
        """y holds class indices; raw and the results are (K, n)."""
        p = softmax(raw)
        np.multiply(p, 1.0 - p, out=hess_out)
        p[y, np.arange(y.size)] -= 1.0
        return p, hess_out

    @staticmethod
    def loss(y, raw):
        shifted = raw - raw.max(axis=0)
        log_norm = np.log(np.exp(shifted).sum(axis=0))
        return float(np.mean(log_norm - shifted[y, np.arange(y.size)]))

    @staticmethod
    def transform(raw):
        return softmax(raw).T
