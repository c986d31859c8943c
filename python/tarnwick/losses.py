"""Losses: initial score, gradients and hessians, the loss value, and the link
to predictions.

Raw scores are float64, shape (n_rows,) for one output and (K, n_rows),
class-major, for softmax, so that each class's gradient row is contiguous.
Gradients and hessians are written into buffers of the raw scores' shape
that the caller keeps from round to round: a fresh array of a million rows
costs its page faults on every round. Each row's values depend on that row
alone, so the caller may write them in pieces of rows; ``hessians`` gives
what the histograms read as the hessians once every piece is written.
Sample weights w scale every row's gradient and hessian and its share of
the loss. The initial score and the loss value are computed from per-block
sums (``init_sums``, ``loss_sums``), added in block order by the caller, so
that a model trained on partitions of the rows gets the same values as one
trained on the rows in one block.
"""

import numpy as np


def _weighted_sum(values, weight):
    return values.sum() if weight is None else (values * weight).sum()


def _weight_total(n, weight):
    return float(n) if weight is None else weight.sum()


def _hess_buffer(weight, hess_out, shape):
    """The hessians as written into hess_out (weighted, if there are weights)."""
    return hess_out


def _mean_sums(y, weight):
    """[sum of w y, sum of w]: the weighted mean of y, in parts."""
    return np.array([_weighted_sum(y, weight), _weight_total(y.size, weight)])


class _RowHessians:
    """What the losses whose hessian changes from row to row share: their
    hessians in a buffer, written like the gradients in pieces of rows (a
    transcendental function per row is work enough to share between
    threads), one output whose initial score comes from the weighted mean of
    y, and leaf values that are Newton steps."""

    n_outputs = 1
    needs_hess_buffer = True
    unit_hessian = False
    gradients_in_pieces = True
    sets_leaf_values = False
    # No bound on a leaf's Newton step.
    max_step = np.inf
    init_sums = staticmethod(_mean_sums)
    hessians = staticmethod(_hess_buffer)


class SquaredError:
    name = "squared_error"
    n_outputs = 1
    needs_hess_buffer = False
    # Unweighted, every row's hessian is 1.0.
    unit_hessian = True
    # One subtraction per row is bound by memory: pieces on threads only add
    # their hand-offs (1M rows: 1.7 ms in one pass, 2.3 in pieces).
    gradients_in_pieces = False
    sets_leaf_values = False
    max_step = np.inf
    init_sums = staticmethod(_mean_sums)

    @staticmethod
    def valid_targets(y):
        return True

    @staticmethod
    def init_score(sums):
        return np.array([sums[0] / sums[1]])

    @staticmethod
    def gradients(y, raw, weight, grad_out, hess_out):
        """Writes the gradient of 0.5 (raw - y)^2; its hessian is no buffer's
        (hessians)."""
        np.subtract(raw, y, out=grad_out)
        if weight is not None:
            grad_out *= weight

    @staticmethod
    def hessians(weight, hess_out, shape):
        """Unweighted, the hessian is 1 for every row, handed out as one
        broadcast value: the histograms then count it instead of adding it
        up (the same bits); weighted, it is the weight."""
        return np.broadcast_to(1.0, shape) if weight is None else weight

    @staticmethod
    def loss_sums(y, raw, weight):
        """[sum of w 0.5 (raw - y)^2, sum of w]."""
        return np.array(
            [_weighted_sum(0.5 * (raw - y) ** 2, weight), _weight_total(y.size, weight)]
        )

    @staticmethod
    def transform(raw):
        return raw


class _LogLink(_RowHessians):
    """Regression on the log scale: the prediction is exp(raw), and the
    initial score is the log of the weighted mean of y.

    Far from a leaf's optimum the Newton step on the log scale overshoots by
    orders of magnitude: gamma's, for rows whose targets are 1e-9 of their
    prediction, is about -1e9 where the optimum is -21, and scores past
    about ±700 overflow exp and turn the next gradients into NaN. So a
    leaf's step is at most max_step either way: e^100 is beyond any ratio
    that one step of a fit on floats needs, and no step of a sane fit
    reaches it."""

    max_step = 100.0

    @classmethod
    def init_score(cls, sums):
        mean = sums[0] / sums[1]
        if not mean > 0:
            raise ValueError(f"loss={cls.name!r} needs targets of a positive weighted mean")
        return np.array([np.log(mean)])

    @staticmethod
    def transform(raw):
        return np.exp(raw)


class Poisson(_LogLink):
    """Half the Poisson deviance up to a constant: exp(raw) - y raw, for
    counts and other targets >= 0."""

    name = "poisson"
    target_rule = "targets >= 0"

    @staticmethod
    def valid_targets(y):
        return bool((y >= 0).all())

    @staticmethod
    def gradients(y, raw, weight, grad_out, hess_out):
        np.exp(raw, out=hess_out)
        np.subtract(hess_out, y, out=grad_out)
        if weight is not None:
            grad_out *= weight
            hess_out *= weight

    @staticmethod
    def loss_sums(y, raw, weight):
        rows = np.exp(raw) - y * raw
        return np.array([_weighted_sum(rows, weight), _weight_total(y.size, weight)])


class Gamma(_LogLink):
    """Half the gamma deviance up to a constant: raw + y exp(-raw), for
    targets > 0."""

    name = "gamma"
    target_rule = "targets > 0"

    @staticmethod
    def valid_targets(y):
        return bool((y > 0).all())

    @staticmethod
    def gradients(y, raw, weight, grad_out, hess_out):
        np.negative(raw, out=hess_out)
        np.exp(hess_out, out=hess_out)
        hess_out *= y
        np.subtract(1.0, hess_out, out=grad_out)
        if weight is not None:
            grad_out *= weight
            hess_out *= weight

    @staticmethod
    def loss_sums(y, raw, weight):
        rows = raw + y * np.exp(-raw)
        return np.array([_weighted_sum(rows, weight), _weight_total(y.size, weight)])


class Tweedie(_LogLink):
    """Half the Tweedie deviance of variance power p in (1, 2), up to a
    constant: exp((2 - p) raw) / (2 - p) - y exp((1 - p) raw) / (1 - p), for
    targets >= 0 with a point mass at zero and a continuous tail (claim
    amounts, rainfall). p near 1 is close to Poisson, near 2 to gamma."""

    name = "tweedie"
    target_rule = "targets >= 0"

    def __init__(self, power):
        self.power = power

    @staticmethod
    def valid_targets(y):
        return bool((y >= 0).all())

    def gradients(self, y, raw, weight, grad_out, hess_out):
        p = self.power
        upper = np.exp((2.0 - p) * raw)
        lower = np.exp((1.0 - p) * raw)
        lower *= y
        np.subtract(upper, lower, out=grad_out)
        np.multiply(upper, 2.0 - p, out=hess_out)
        hess_out -= (1.0 - p) * lower
        if weight is not None:
            grad_out *= weight
            hess_out *= weight

    def loss_sums(self, y, raw, weight):
        p = self.power
        rows = np.exp((2.0 - p) * raw) / (2.0 - p) - y * np.exp((1.0 - p) * raw) / (1.0 - p)
        return np.array([_weighted_sum(rows, weight), _weight_total(y.size, weight)])


class FunctionLoss(_RowHessians):
    """A loss given as a function f(y_true, raw) -> (grad, hess), the
    gradients and hessians of each row's loss at its raw score, as
    LightGBM's and XGBoost's scikit-learn estimators take one. Sample
    weights multiply them, as for every loss. The raw score starts at 0 and
    is what predict returns. The function sees the rows of a block at once,
    in an order of the learner's choosing (and on Dask one partition at a
    time): it must work row by row. It has no loss to score, so early
    stopping needs another scoring."""

    # The function is the caller's: called once per block, on this thread.
    gradients_in_pieces = False

    def __init__(self, function):
        self.function = function

    @staticmethod
    def init_score(sums):
        return np.zeros(1)

    def gradients(self, y, raw, weight, grad_out, hess_out):
        # Read-only views: the scores are the fit's own buffer.
        y, raw = y.view(), raw.view()
        y.flags.writeable = raw.flags.writeable = False
        grad, hess = self.function(y, raw)
        for name, values, out in (("gradients", grad, grad_out), ("hessians", hess, hess_out)):
            values = np.asarray(values, dtype=np.float64)
            if values.shape != y.shape:
                raise ValueError(
                    f"the loss function returned {name} of shape {values.shape} for "
                    f"{y.size} rows: it must return one per row"
                )
            if not np.isfinite(values).all():
                raise ValueError(f"the loss function returned {name} that are not finite")
            out[:] = values
            if weight is not None:
                out *= weight

    @staticmethod
    def loss_sums(y, raw, weight):
        raise ValueError(NO_LOSS_TO_SCORE)

    @staticmethod
    def transform(raw):
        return raw


NO_LOSS_TO_SCORE = (
    "a loss given as a function has no loss to score: early stopping needs scoring "
    "(a scikit-learn scorer name or callable), or set early_stopping=False"
)


def weighted_quantile(values, weight, q):
    """The q-quantile of values: the smallest value whose weights up to it
    (in order of value) reach q of the total, so that integer weights give
    the quantile of repeated values. Values without weight (a leaf whose
    rows a round left out) have none: 0."""
    if weight is None:
        return float(np.quantile(values, q, method="inverted_cdf"))
    order = np.argsort(values, kind="stable")
    reached = np.cumsum(weight[order])
    if not reached.size or reached[-1] <= 0:
        return 0.0
    at = int(np.searchsorted(reached, q * reached[-1]))
    return float(values[order[min(at, values.size - 1)]])


class Quantile:
    """The pinball loss of quantile alpha: trees split on its gradients with
    a unit hessian, and each leaf takes the alpha-quantile of its rows'
    residuals instead of a Newton step, as does the initial score of y."""

    name = "quantile"
    n_outputs = 1
    needs_hess_buffer = False
    unit_hessian = True
    gradients_in_pieces = False
    hessians = staticmethod(SquaredError.hessians)
    valid_targets = staticmethod(SquaredError.valid_targets)
    transform = staticmethod(SquaredError.transform)
    sets_leaf_values = True
    max_step = np.inf

    def __init__(self, alpha):
        self.alpha = alpha

    def init_sums(self, y, weight):
        """The quantile of y itself: a quantile does not add up over blocks."""
        return np.array([weighted_quantile(y, weight, self.alpha)])

    @staticmethod
    def init_score(sums):
        return sums

    def gradients(self, y, raw, weight, grad_out, hess_out):
        np.greater_equal(raw, y, out=grad_out, casting="unsafe")
        grad_out -= self.alpha
        if weight is not None:
            grad_out *= weight

    def leaf_values(self, y, raw, weight, leaf_rows):
        """Each leaf's quantile of y - raw over its rows."""
        return np.array(
            [
                weighted_quantile(
                    y[rows] - raw[rows], None if weight is None else weight[rows], self.alpha
                )
                for rows in leaf_rows
            ]
        )

    def loss_sums(self, y, raw, weight):
        residual = y - raw
        rows = np.maximum(self.alpha * residual, (self.alpha - 1.0) * residual)
        return np.array([_weighted_sum(rows, weight), _weight_total(y.size, weight)])


class AbsoluteError(Quantile):
    """The median: the quantile of alpha 0.5, whose gradient is the sign of
    raw - y."""

    name = "absolute_error"

    def __init__(self):
        super().__init__(0.5)

    def gradients(self, y, raw, weight, grad_out, hess_out):
        np.subtract(raw, y, out=grad_out)
        np.sign(grad_out, out=grad_out)
        if weight is not None:
            grad_out *= weight


REGRESSION_LOSSES = {
    "squared_error": SquaredError,
    "absolute_error": AbsoluteError,
    "quantile": Quantile,
    "poisson": Poisson,
    "gamma": Gamma,
    "tweedie": Tweedie,
}


def check_targets(loss, y):
    """Raises if a regression target lies outside loss's range (a loss
    given as a function takes any)."""
    if callable(loss):
        return
    cls = REGRESSION_LOSSES[loss]
    if not cls.valid_targets(y):
        raise ValueError(f"loss={loss!r} needs {cls.target_rule}")


def sigmoid(raw, out=None):
    """1 / (1 + exp(-raw)), into out if given."""
    p = np.negative(raw, out=out)
    with np.errstate(over="ignore"):
        np.exp(p, out=p)
    p += 1.0
    return np.reciprocal(p, out=p)


class Logistic(_RowHessians):
    name = "log_loss"

    @staticmethod
    def init_score(sums):
        p = np.clip(sums[0] / sums[1], 1e-12, 1 - 1e-12)
        return np.array([np.log(p / (1 - p))])

    @staticmethod
    def gradients(y, raw, weight, grad_out, hess_out):
        p = sigmoid(raw, out=grad_out)
        np.subtract(1.0, p, out=hess_out)
        hess_out *= p
        grad = np.subtract(p, y, out=p)
        if weight is not None:
            grad *= weight
            hess_out *= weight

    @staticmethod
    def loss_sums(y, raw, weight):
        # log(1 + exp(raw)) - y raw, without overflow for large |raw|.
        rows = np.logaddexp(0.0, raw) - y * raw
        return np.array([_weighted_sum(rows, weight), _weight_total(y.size, weight)])

    @staticmethod
    def transform(raw):
        p = sigmoid(raw)
        return np.stack([1.0 - p, p], axis=1)


def softmax(raw, out=None):
    """Class probabilities (K, n) of class-major raw scores, into out if given."""
    e = np.subtract(raw, raw.max(axis=0), out=out)
    np.exp(e, out=e)
    e /= e.sum(axis=0)
    return e


class Softmax(_RowHessians):
    name = "log_loss"

    def __init__(self, n_classes):
        self.n_outputs = n_classes

    def init_sums(self, y, weight):
        """Per class the sum of the weights of its rows, then the sum of all."""
        per_class = np.bincount(y, weight, minlength=self.n_outputs).astype(np.float64)
        return np.append(per_class, _weight_total(y.size, weight))

    def init_score(self, sums):
        prior = sums[:-1] / sums[-1]
        return np.log(np.clip(prior, 1e-12, None))

    def gradients(self, y, raw, weight, grad_out, hess_out):
        """y holds class indices; raw and the buffers are (K, n)."""
        p = softmax(raw, out=grad_out)
        np.subtract(1.0, p, out=hess_out)
        hess_out *= p
        p[y, np.arange(y.size)] -= 1.0
        if weight is not None:
            p *= weight
            hess_out *= weight

    @staticmethod
    def loss_sums(y, raw, weight):
        shifted = raw - raw.max(axis=0)
        log_norm = np.log(np.exp(shifted).sum(axis=0))
        rows = log_norm - shifted[y, np.arange(y.size)]
        return np.array([_weighted_sum(rows, weight), _weight_total(y.size, weight)])

    @staticmethod
    def transform(raw):
        return softmax(raw).T


def make_loss(kind, n_classes, loss, quantile=None, power=None):
    """The loss of a regressor (n_classes 0; loss names it, quantile is the
    one that loss 'quantile' fits and power the variance power of
    'tweedie') or a classifier."""
    if kind == "regression":
        if callable(loss):
            return FunctionLoss(loss)
        if loss == "quantile":
            return Quantile(quantile)
        if loss == "tweedie":
            return Tweedie(power)
        return REGRESSION_LOSSES[loss]()
    return Logistic() if n_classes == 2 else Softmax(n_classes)
