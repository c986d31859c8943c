"""The embedding z of embedded-linear leaves, and how it is made from input.

Either columns of X selected by ``linear_features``, standardised with the
mean and standard deviation of the training rows (a missing value becomes
the mean, 0), or a matrix the caller passes as ``z`` beside X, whose
non-finite entries become the training mean of their column. Without either,
the model has constant leaves.
"""

from dataclasses import dataclass

import numpy as np
from sklearn.utils.validation import check_array

from . import inputs


@dataclass
class Embedding:
    columns: np.ndarray | None  # int64: the columns of X, or None for a given z
    center: np.ndarray  # float64 (d,): subtracted (given z: the fill values)
    scale: np.ndarray  # float64 (d,): divided by (given z: ones)

    @property
    def width(self):
        return self.center.size

    @classmethod
    def fit(cls, est, x, z):
        """The embedding of a fit on the float matrix x, or None."""
        if est.linear_features is not None:
            if z is not None:
                raise ValueError("pass either linear_features or z, not both")
            columns = cls.linear_columns(est, x.shape[1])
            # One copy of the columns becomes, in place, their zero-filled
            # deviations and then their squares: the statistics of a large X
            # take about two copies of its embedding columns, not five.
            block = x[:, columns]
            finite = np.isfinite(block)
            counts = finite.sum(axis=0)
            mean = _column_means(block, finite, counts)
            block -= mean
            block[~finite] = 0.0
            np.multiply(block, block, out=block)
            sd = np.sqrt(_column_means(block, finite, counts))
            return cls(columns, mean, np.where(sd > 0, sd, 1.0))
        if z is None:
            return None
        z = _given(z, x.shape[0])
        finite = np.isfinite(z)
        mean = _column_means(z, finite, finite.sum(axis=0))
        return cls(None, mean, np.ones_like(mean))

    @staticmethod
    def linear_columns(est, n_features):
        """The columns of X that est's linear_features selects, checked."""
        mask = inputs.column_mask(
            est.linear_features,
            n_features,
            getattr(est, "feature_names_in_", None),
            "linear_features",
        )
        if not mask.any():
            raise ValueError("linear_features selects no column")
        if (mask & est._categorical).any():
            raise ValueError(
                "linear_features must select numeric features; categorical: "
                f"{np.flatnonzero(mask & est._categorical).tolist()}"
            )
        return np.flatnonzero(mask)

    def transform(self, x, z):
        """z of the rows of x, C-contiguous float64 with no missing entry."""
        if self.columns is None:
            if z is None:
                raise ValueError("this model has embedded-linear leaves on a given z: pass z")
            z = np.array(_given(z, x.shape[0], self.width), dtype=np.float64, order="C")
            bad = ~np.isfinite(z)
            if bad.any():
                z[bad] = np.broadcast_to(self.center, z.shape)[bad]
            return z
        if z is not None:
            raise ValueError("this model makes its embedding from linear_features: z is not used")
        out = np.ascontiguousarray(x[:, self.columns])
        out -= self.center
        out /= self.scale
        out[~np.isfinite(out)] = 0.0
        return out


def transform(embedding, x, z):
    """The embedding of the rows of x, or None for constant leaves."""
    if embedding is None:
        if z is not None:
            raise ValueError("this model has constant leaves: z is not used")
        return None
    return embedding.transform(x, z)


def _given(z, n_rows, width=None):
    z = check_array(z, dtype=np.float64, ensure_all_finite=False, input_name="z")
    if z.shape[0] != n_rows or (width is not None and z.shape[1] != width):
        d = "d" if width is None else width
        raise ValueError(f"z must have shape ({n_rows}, {d}), got {z.shape}")
    return z


def _column_means(block, finite, counts):
    sums = (block if finite.all() else np.where(finite, block, 0.0)).sum(axis=0)
    return np.divide(sums, counts, out=np.zeros(block.shape[1]), where=counts > 0)
