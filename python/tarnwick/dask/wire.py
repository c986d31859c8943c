"""Histograms as they travel from the workers to the client, exactly.

A node's histogram is (n_features, n_bins_max, 3) float64: gradient sum,
hessian sum and row count per bin. Much of it is redundant, and dropping
that changes no bit:
- a bin without rows holds +0.0 three times (sums start from +0.0), so only
  a bitmap of the filled bins is sent;
- counts are whole numbers, sent as uint32;
- a hessian that is counted (squared error's unit hessian) equals the count
  bit for bit, so it is left out.
That halves a dense histogram of squared error and shrinks the deep nodes'
sparse ones further. A histogram that breaks one of these rules (an empty
bin holding -0.0, a count past uint32) is sent as it is.
"""

from typing import NamedTuple

import numpy as np


class Packed(NamedTuple):
    shape: tuple
    filled: np.ndarray  # uint8: the bitmap of the bins with rows
    grad: np.ndarray  # float64, per filled bin
    hess: np.ndarray | None  # float64 per filled bin; None: equal to the count
    count: np.ndarray  # uint32 per filled bin


def pack(hist):
    """The Packed form of hist, or hist itself where packing would not be exact."""
    cells = hist.reshape(-1, 3)
    count = cells[:, 2]
    filled = count != 0
    if cells[~filled].view(np.uint64).any():
        return hist
    counts = count[filled]
    whole = counts.astype(np.uint32)
    if not np.array_equal(whole, counts):
        return hist
    hess = cells[filled, 1]
    same = np.array_equal(hess.view(np.uint64), counts.view(np.uint64))
    return Packed(hist.shape, np.packbits(filled), cells[filled, 0], None if same else hess, whole)


def unpack(packed):
    """The histogram that pack was given, bit for bit."""
    if isinstance(packed, np.ndarray):
        return packed
    n_cells = packed.shape[0] * packed.shape[1]
    filled = np.unpackbits(packed.filled, count=n_cells).astype(bool)
    count = packed.count.astype(np.float64)
    cells = np.zeros((n_cells, 3))
    cells[filled, 0] = packed.grad
    cells[filled, 1] = count if packed.hess is None else packed.hess
    cells[filled, 2] = count
    return cells.reshape(packed.shape)
