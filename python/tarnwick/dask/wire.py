"""Histograms as they travel from the workers to the client, exactly.

A node's histogram is (n_features, n_bins_max, 3) float64: gradient sum,
hessian sum and row count per bin. Half of it need not travel, and leaving
it out changes no bit: counts are whole numbers, sent as uint32, and a
hessian that is counted (squared error's unweighted unit hessian) equals the
count bit for bit, so it is left out. The worker knows both from its rows,
so packing reads the histogram once and tests nothing. A histogram of a
partition with 2^32 rows or more travels as it is.

The client adds the partitions' histograms in their packed form, in
partition order: the gradients as floats, left to right; the counts as
integers, which is exact and so gives the bits of a float sum of whole
numbers below 2^53; the hessians as floats where any partition sent its
own. Only the total is laid out as a histogram.

Leaving out the empty bins too (they hold +0.0 three times) would shrink
the deep nodes' histograms further, but the masking costs more time on both
sides than the bytes it saves on one machine's loopback.
"""

from typing import NamedTuple

import numpy as np

from ..leaves import add_in_order

_LARGEST_COUNT = np.iinfo(np.uint32).max


class Packed(NamedTuple):
    shape: tuple
    grad: np.ndarray  # float64 per bin
    hess: np.ndarray | None  # float64 per bin; None: equal to the count
    count: np.ndarray  # uint32 per bin


def pack(hist, n_rows, counted):
    """The Packed form of hist, the histogram of some of n_rows rows, whose
    hessian sums are its counts if counted; hist itself where packing would
    not be exact."""
    if n_rows > _LARGEST_COUNT:
        return hist
    cells = hist.reshape(-1, 3)
    hess = None if counted else np.ascontiguousarray(cells[:, 1])
    return Packed(
        hist.shape, np.ascontiguousarray(cells[:, 0]), hess, cells[:, 2].astype(np.uint32)
    )


def unpack(packed):
    """The histogram that pack was given, bit for bit."""
    if isinstance(packed, np.ndarray):
        return packed
    cells = np.empty((packed.grad.size, 3))
    cells[:, 0] = packed.grad
    cells[:, 2] = packed.count
    cells[:, 1] = cells[:, 2] if packed.hess is None else packed.hess
    return cells.reshape(packed.shape)


def add_packed(parts):
    """The sum of the histograms parts (packed or not), added in their order:
    the bits of add_in_order over the unpacked histograms."""
    if len(parts) == 1 or any(isinstance(p, np.ndarray) for p in parts):
        return add_in_order([unpack(p) for p in parts])
    first = parts[0]
    grad = add_in_order([p.grad for p in parts])
    count = first.count.astype(np.int64)
    for p in parts[1:]:
        count += p.count
    cells = np.empty((first.grad.size, 3))
    cells[:, 0] = grad
    cells[:, 2] = count
    if all(p.hess is None for p in parts):
        cells[:, 1] = cells[:, 2]
    else:
        cells[:, 1] = add_in_order(
            [p.count.astype(np.float64) if p.hess is None else p.hess for p in parts]
        )
    return cells.reshape(first.shape)
