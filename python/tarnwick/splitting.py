"""The best split of a node from its histogram.

find_best_split always sends the missing bin left. For numeric features that
had missing values in training, a second search over the same histogram
finds the splits that send them right: it reads each such feature's missing
bin as one more regular bin after the others, followed by the empty bin that
the histograms keep for it (Bins.n_bins_max), so that a threshold sends the
lower bins left and the upper bins and the missing values right; the last
threshold sends the missing values alone right. Such a split wins only with
a strictly larger gain. It is routed over bins with the categorical rule of
partition_rows (its left codes are the upper bins, with the missing bin) and
stored as a numeric node with missing values going right.

A categorical feature with missing values in training is searched with its
missing bin as one more category (the empty bin after it stands as its
missing bin), so that the missing values take the side that their gradients
call for, as any category does. A left set without them becomes its
complement, which takes them left in bin space: the same partition, with the
children named the other way round.
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
    (numeric), when it is one of codes (categorical, or a split that sends
    missing values right), or when it is the missing bin. missing_right
    marks a split that sends missing values right: its codes are the bins
    above bin_, and on raw values its children swap. A tuple: one is made
    per node, and a frozen dataclass takes three times as long."""

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
        # The missing-right search: the features it covers see their missing
        # bin as a regular one; the other features have no bins to split.
        self.missing_right = bins.missing & ~bins.categorical & (bins.n_bins >= 1)
        self.missing_right_n_bins = np.where(self.missing_right, bins.n_bins + 1, 0)
        self.no_categories = np.zeros(bins.n_bins.size, dtype=bool)
        self.searches_missing_right = bool(self.missing_right.any())
        self.missing_category = bins.missing & bins.categorical
        self.n_bins_searched = bins.n_bins + self.missing_category

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
        found = self._search(hist, self.n_bins_searched, self.bins.categorical)
        if found is not None:
            f, b, gain, n_left, n_right, cats = found
            n = int(n_bins[f])
            codes = None if cats is None else np.array(cats, dtype=np.int64)
            missing_alone = False
            if codes is not None and self.missing_category[f]:
                if codes[-1] == n:
                    codes = codes[:-1]
                else:
                    codes = np.setdiff1d(np.arange(n, dtype=np.int64), codes)
                    n_left, n_right = n_right, n_left
                missing_alone = codes.size == 0
            # The missing values alone against every category: stored as a
            # split that sends missing values right, at an infinite threshold.
            best = Split(
                gain, f, n - 1 if missing_alone else b, codes, missing_alone, n_left, n_right, n
            )
        if self.searches_missing_right:
            found = self._search(hist, self.missing_right_n_bins, self.no_categories)
            if found is not None and (best is None or found[2] > best.gain):
                f, split_bin, gain, n_lower, n_upper, _ = found
                n = int(n_bins[f])
                codes = np.arange(split_bin + 1, n, dtype=np.int64)
                best = Split(gain, f, split_bin, codes, True, n_upper, n_lower, n)
        return best
