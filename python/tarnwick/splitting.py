"""The best split of a node from its histogram.

find_best_split always sends the missing bin left. For numeric features that
had missing values in training, the search also runs on a mirrored copy of
their histograms (regular bins in reverse order, the missing bin in place): a
split there sends the upper bins and the missing bin left, which is the split
with missing values going right. The mirrored split wins only with a strictly
larger gain. It is routed over bins with the categorical rule of
partition_rows (its left codes are the upper bins) and stored as a numeric
node with missing values going right.
"""

from dataclasses import dataclass
from typing import NamedTuple

import numpy as np
import tarnwick_native as tn


@dataclass(frozen=True)
class SplitParams:
    min_samples_leaf: int
    l2: float
    cat_smooth: float
    min_data_per_group: int
    max_cat_threshold: int


class Split(NamedTuple):
    """A node's split in bin space. Rows go left when their bin is <= bin_
    (numeric), when it is one of codes (categorical or mirrored), or when it
    is the missing bin. missing_right marks a mirrored split. A tuple: one is
    made per node, and a frozen dataclass takes three times as long."""

    gain: float
    feature: int
    bin_: int
    codes: np.ndarray | None
    missing_right: bool
    n_left: int
    n_right: int
    missing_bin: int


class SplitFinder:
    """Split search over the histograms of one training run's bins."""

    def __init__(self, bins, params):
        self.bins, self.params = bins, params
        self.mirrored = np.flatnonzero(bins.missing & ~bins.categorical & (bins.n_bins >= 2))
        n_bins_max = bins.n_bins_max
        # Positions in the flat histogram of each mirrored feature's values,
        # bin by bin: one flat gather is the cheapest copy per node.
        self.mirror_flat = np.empty((self.mirrored.size, n_bins_max, 3), dtype=np.int64)
        for k, f in enumerate(self.mirrored):
            n = bins.n_bins[f]
            order = np.concatenate([np.arange(n - 1, -1, -1), np.arange(n, n_bins_max)])
            self.mirror_flat[k] = (f * n_bins_max + order)[:, None] * 3 + np.arange(3)
        self.mirror_n_bins = np.ascontiguousarray(bins.n_bins[self.mirrored])
        self.mirror_mask = np.zeros(self.mirrored.size, dtype=bool)

    def _search(self, hist, n_bins, categorical):
        p = self.params
        return tn.find_best_split(
            hist,
            n_bins,
            p.min_samples_leaf,
            p.l2,
            categorical,
            p.cat_smooth,
            p.min_data_per_group,
            p.max_cat_threshold,
        )

    def __call__(self, hist):
        """The best Split of a node with histogram hist, or None."""
        n_bins = self.bins.n_bins
        best = None
        found = self._search(hist, n_bins, self.bins.categorical)
        if found is not None:
            f, b, gain, n_left, n_right, cats = found
            codes = None if cats is None else np.array(cats, dtype=np.int64)
            best = Split(gain, f, b, codes, False, n_left, n_right, int(n_bins[f]))
        if self.mirrored.size:
            mirror = hist.ravel().take(self.mirror_flat)
            found = self._search(mirror, self.mirror_n_bins, self.mirror_mask)
            if found is not None and (best is None or found[2] > best.gain):
                f = int(self.mirrored[found[0]])
                n = int(n_bins[f])
                # Mirrored bins 0..t are the original bins n-1-t..n-1.
                split_bin = n - 2 - found[1]
                codes = np.arange(split_bin + 1, n, dtype=np.int64)
                best = Split(found[2], f, split_bin, codes, True, found[3], found[4], n)
        return best
