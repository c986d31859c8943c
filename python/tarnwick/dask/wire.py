"""Histograms as they travel from the workers to the client, exactly.

A node's histogram is (n_features, n_bins_max, 3) float64: gradient sum,
hessian sum and row count per bin. Half of it need not travel, and leaving
it out changes no bit: counts are whole numbers, sent as uint32, and a
hessian that is counted (squared error's unit hessian) equals the count bit
for bit, so it is left out. A histogram whose counts do not fit in uint32
travels as it is.

Leaving out the empty bins too (they hold +0.0 three times) would shrink
the deep nodes' histograms further, but the masking costs more time on both
sides than the bytes it saves on one machine's loopback.
"""

from typing import NamedTuple

import numpy as np


class Packed(NamedTuple):
    shape: tuple
    grad: np.ndarray  # float64 per bin
    hess: np.ndarray | None  # float64 per bin; None: equal to the count
    count: np.ndarray  # uint32 per bin


def pack(hist):
    """The Packed form of hist, or hist itself where packing would not be exact."""
    cells = hist.reshape(-1, 3)
    count = cells[:, 2]
    whole = count.astype(np.uint32)
    if not np.array_equal(whole, count):
        return hist
    same = np.array_equal(cells[:, 1].view(np.uint64), count.view(np.uint64))
    hess = None if same else np.ascontiguousarray(cells[:, 1])
    return Packed(hist.shape, np.ascontiguousarray(cells[:, 0]), hess, whole)


def unpack(packed):
    """The histogram that pack was given, bit for bit."""
    if isinstance(packed, np.ndarray):
        return packed
    cells = np.empty((packed.grad.size, 3))
    cells[:, 0] = packed.grad
    cells[:, 2] = packed.count
    cells[:, 1] = cells[:, 2] if packed.hess is None else packed.hess
    return cells.reshape(packed.shape)
