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

Exact sums. A worker that holds several partitions adds their histograms
itself and sends one, so that what the client receives per node grows with
the workers, not the partitions. For the total not to depend on which
worker holds which partitions, those sums are exact: each partition's
float is split into a high part on a grid of 2^(E-40) and a low part on a
grid of 2^(E-80), where 2^E bounds every cell of the tree in every
partition (twice the largest partition's sum of absolute gradients or
hessians). Sums of such parts are whole multiples of their grid that fit in
53 bits for up to MAX_EXACT_PARTS partitions, so every float addition of
them is exact, in any grouping and order. The total is the high sum plus
the low sum, rounded once. What falls below the low grid (a cell under
2^-80 of the bound) is dropped before anything is added, the same way on
every cluster.
"""

import math
from typing import NamedTuple

import numpy as np

from ..leaves import add_in_order

_LARGEST_COUNT = np.iinfo(np.uint32).max

# The high and low parts' grids, in bits below the bound 2^E.
_HIGH_GRID = 40
_LOW_GRID = 80
# Parts of up to 2^40 + 1 steps (high) or 2^39 (low): 4,096 partitions
# keep every sum below 2^53 steps.
MAX_EXACT_PARTS = 4096
# Bounds whose parts' rounding constants 1.5 * 2^(E+12) and 1.5 * 2^(E-28)
# are finite normal floats, with a low grid above the smallest subnormal.
_LOWEST_EXPONENT = -994
_HIGHEST_EXPONENT = 1011


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


class Exact(NamedTuple):
    """The exact sum of some partitions' histograms, in parts (exact_parts)."""

    shape: tuple
    grad_high: np.ndarray
    grad_low: np.ndarray
    hess_high: np.ndarray | None  # None: every partition's hessians are its counts
    hess_low: np.ndarray | None
    count: np.ndarray  # uint32 per bin, or int64 past its range


def exact_exponent(magnitudes):
    """E of the exact sums of a tree whose partitions have these magnitudes
    (each the larger of its sum of absolute gradients and of hessians), or
    None where they cannot be exact: one partition (whose histogram is the
    sum), too many partitions, or a bound outside the floats' range."""
    if len(magnitudes) < 2 or len(magnitudes) > MAX_EXACT_PARTS:
        return None
    if not all(map(math.isfinite, magnitudes)):
        return None
    largest = max(magnitudes)
    if largest == 0.0:
        return 0
    # largest < 2^e; a cell may exceed its partition's float sum by rounding,
    # never by a factor of 2.
    exponent = math.frexp(largest)[1] + 1
    return exponent if _LOWEST_EXPONENT <= exponent <= _HIGHEST_EXPONENT else None


def _split(values, exponent):
    """The high and low parts of values, whose magnitudes are at most 2^exponent."""
    # Adding 1.5 * 2^m rounds a smaller number to a multiple of 2^(m-52);
    # taking it away again is exact. One contiguous copy of the (strided)
    # cells first: the steps after it run faster on it.
    low = np.array(values, dtype=np.float64)
    shift = math.ldexp(1.5, exponent - _HIGH_GRID + 52)
    high = low + shift
    high -= shift
    shift = math.ldexp(1.5, exponent - _LOW_GRID + 52)
    low -= high
    low += shift
    low -= shift
    return high, low


def _add_parts(values, exponent):
    """The high and low sums of the parts of each array of values."""
    high, low = _split(values[0], exponent)
    for v in values[1:]:
        h, lo = _split(v, exponent)
        high += h
        low += lo
    return high, low


def exact_parts(hists, exponent):
    """The Exact sum of hists (histograms, counted as hessians where
    counted says so) for the bound 2^exponent."""
    hists, counted = zip(*hists)
    cells = [h.reshape(-1, 3) for h in hists]
    grad = _add_parts([c[:, 0] for c in cells], exponent)
    hess = (None, None)
    if not all(counted):
        hess = _add_parts([c[:, 1] for c in cells], exponent)
    count = cells[0][:, 2].copy()
    for c in cells[1:]:
        count += c[:, 2]
    # Counts below 2^53 add up exactly as floats.
    count = count.astype(np.uint32 if count.max(initial=0) <= _LARGEST_COUNT else np.int64)
    return Exact(hists[0].shape, *grad, *hess, count)


def add_exact(items, exponent):
    """The histogram of the sum of items, each a partition's histogram
    (packed or not) or an Exact sum of partitions, for the bound
    2^exponent: the same bits however the partitions were grouped."""
    sums = [
        item
        if isinstance(item, Exact)
        else exact_parts([(unpack(item), isinstance(item, Packed) and item.hess is None)], exponent)
        for item in items
    ]
    first = sums[0]
    grad_high, grad_low = first.grad_high.copy(), first.grad_low.copy()
    count = first.count.astype(np.int64)
    for s in sums[1:]:
        grad_high += s.grad_high
        grad_low += s.grad_low
        count += s.count
    cells = np.empty((count.size, 3))
    cells[:, 0] = grad_high + grad_low
    cells[:, 2] = count
    if all(s.hess_high is None for s in sums):
        cells[:, 1] = cells[:, 2]
    else:
        hess_high, hess_low = np.zeros(count.size), np.zeros(count.size)
        for s in sums:
            # A counted hessian is its count, which the bound covers too.
            high, low = (
                _split(s.count.astype(np.float64), exponent)
                if s.hess_high is None
                else (s.hess_high, s.hess_low)
            )
            hess_high += high
            hess_low += low
        cells[:, 1] = hess_high + hess_low
    return cells.reshape(first.shape)
