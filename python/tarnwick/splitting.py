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

Where hessians shrink as predictions grow certain (classification), each
child of a split must hold a hessian of at least MIN_CHILD_HESSIAN: rows that
the model already all but decides have next to no curvature left, and
Newton steps on them chase noise with large leaf values. find_best_split
guards the children's row counts only. When its best split breaks the floor,
the search runs again on counts rewritten per numeric feature so that
exactly the thresholds that keep both guards pass the count guard (the
thresholds that do form one run, as both sums grow along the bins), and a
categorical split below the floor takes its feature out of the search.

A categorical feature with missing values in training is searched with its
missing bin as one more category (the empty bin after it stands as its
missing bin), so that the missing values take the side that their gradients
call for, as any category does. A left set without them becomes its
complement, which takes them left in bin space: the same partition, with the
children named the other way round.

Under monotonic constraints (monotonic.py) a node also has a range for its
values; a split of a constrained feature must keep the feature's sign
between its children, and bounds their ranges.
"""

import math
from dataclasses import dataclass
from typing import NamedTuple

import numpy as np
import tarnwick_native as tn

from .monotonic import admissible_mid, constrained_best


@dataclass(frozen=True)
class SplitParams:
    min_samples_leaf: int
    l2: float
    cat_smooth: float
    min_data_per_group: int
    max_cat_threshold: int
    # The share of the features that each node's search draws (all at 1.0),
    # and the seed of the draws.
    max_features: float = 1.0
    seed: int = 0
    # Per feature -1, 0 or +1 (int8): the sign of the change that its
    # values must bring; None without constraints.
    monotonic: np.ndarray | None = None


class Split(NamedTuple):
    """A node's split in bin space. Rows go left when their bin is <= bin_
    (numeric), when it is one of codes (categorical, or a split that sends
    missing values right), or when it is the missing bin. missing_right
    marks a split that sends missing values right: its codes are the bins
    above bin_, and on raw values its children swap. feature is the
    model's feature, column its row of the binned matrix and of the
    histograms (Bins.columns). A tuple: one is made per node, and a frozen
    dataclass takes three times as long."""

    gain: float
    feature: int
    bin_: int
    codes: np.ndarray | None
    missing_right: bool
    n_left: int
    n_right: int
    missing_bin: int
    column: int
    # With a monotonic constraint on the feature: the bound between the
    # children's values.
    mid: float = 0.0


MIN_CHILD_HESSIAN = 1e-3


def child_hessian_floor(loss):
    """The least hessian of a split's children under loss: none where every
    row's hessian is its weight."""
    return 0.0 if loss.unit_hessian else MIN_CHILD_HESSIAN


class SplitFinder:
    """Split search over the histograms of one training run's bins; with
    min_child_hessian, the least hessian of a split's children. The
    histograms' features are the binned matrix's (Bins.columns); features
    drawn, allowed or constrained are the model's."""

    def __init__(self, bins, params, min_child_hessian=0.0):
        self.bins, self.params = bins, params
        self.min_child_hessian = min_child_hessian
        # The current tree's least hessian of a row (0: not known).
        self.row_hessian = 0.0
        n_features = bins.n_bins.size
        self.columns = np.arange(n_features) if bins.columns is None else bins.columns
        # Per histogram feature: its bins, whether it is categorical and
        # whether it had missing values.
        self.n_bins = bins.n_bins[self.columns]
        self.categorical = bins.categorical[self.columns]
        self.missing = missing = bins.missing[self.columns]
        # The missing-right search: the features it covers see their missing
        # bin as a regular one; the other features have no bins to split.
        self.missing_right = missing & ~self.categorical & (self.n_bins >= 1)
        self.missing_right_n_bins = np.where(self.missing_right, self.n_bins + 1, 0)
        self.no_categories = np.zeros(self.n_bins.size, dtype=bool)
        self.searches_missing_right = bool(self.missing_right.any())
        self.missing_category = missing & self.categorical
        self.n_bins_searched = self.n_bins + self.missing_category
        self.n_drawn = max(1, math.ceil(params.max_features * n_features))
        self.draws_features = params.max_features < 1.0
        self.iteration = 0
        self._draws = None
        self.monotonic = params.monotonic
        # Per histogram feature, whether it is constrained.
        self.constrained = None
        if self.monotonic is not None:
            self.constrained = self.monotonic[self.columns] != 0

    def sign(self, feature):
        """The monotonic constraint of feature: -1, 0 or +1."""
        return 0 if self.monotonic is None else int(self.monotonic[feature])

    def start_round(self, iteration):
        """Before the trees of round iteration (from 0)."""
        self.iteration = iteration

    def start_tree(self, rows, k):
        """Before tree k of a round on rows: children of at least the floor
        over the least hessian of a row hold the floor, unchecked. The
        features that each node searches are drawn from a stream of the
        seed, the round and the tree alone, so that the tree is the same
        whichever process grows it."""
        self.row_hessian = rows.least_hessian(k) if self.min_child_hessian else 0.0
        if self.draws_features:
            self._draws = np.random.default_rng([self.params.seed, self.iteration, k])

    def _search(self, hist, n_bins, categorical):
        """find_best_split over features of n_bins regular bins, within the
        hessian floor."""
        found = self._kernel(hist, n_bins, categorical)
        floor = self.min_child_hessian
        if (
            not floor
            or found is None
            or self.row_hessian * min(found[3], found[4]) >= floor
            or self._holds_floor(hist, n_bins, found)
        ):
            return found
        counts, n_bins = self._guarded_counts(hist, n_bins, categorical)
        guarded = hist.copy()
        guarded[..., 2] = counts
        found = self._kernel(guarded, n_bins, categorical)
        while found is not None and not self._holds_floor(hist, n_bins, found):
            n_bins[found[0]] = 0
            found = self._kernel(guarded, n_bins, categorical)
        return found

    def _holds_floor(self, hist, n_bins, found):
        f, b, _, _, _, cats = found
        hess = hist[f, :, 1]
        h_left = (hess[: b + 1] if cats is None else hess[cats]).sum() + hess[n_bins[f]]
        floor = self.min_child_hessian
        return h_left >= floor and hist[0, :, 1].sum() - h_left >= floor

    def _guarded_counts(self, hist, n_bins, categorical):
        """Row counts and bin counts under which the count guard of a
        numeric threshold passes exactly where both guards do: per feature,
        the rows left of the first such threshold move into its bin, those
        right of the last into the bin after it, and the missing bin's into
        the first (they are left of every threshold). A feature without such
        a threshold gets no bins and keeps its counts: every feature's
        counts still add up to the node's."""
        m, floor = self.params.min_samples_leaf, self.min_child_hessian
        n_features, width = hist.shape[:2]
        counts = hist[..., 2].copy()
        n_bins = n_bins.copy()
        numeric = np.flatnonzero(~categorical[:n_features] & (n_bins[:n_features] >= 2))
        if numeric.size == 0:
            return counts, n_bins
        n = n_bins[numeric]
        c_left = counts[numeric].cumsum(axis=1)
        c_left += hist[numeric, n, 2][:, None]
        h_left = hist[numeric, :, 1].cumsum(axis=1)
        h_left += hist[numeric, n, 1][:, None]
        c_total, h_total = hist[0, :, 2].sum(), hist[0, :, 1].sum()
        # Both left sums grow along the bins, so each guard holds on a run of
        # thresholds from the first or up to the last: counting is enough.
        first = np.maximum(
            np.count_nonzero(c_left < m, axis=1), np.count_nonzero(h_left < floor, axis=1)
        )
        last = np.minimum(
            np.count_nonzero(c_total - c_left >= m, axis=1),
            np.count_nonzero(h_total - h_left >= floor, axis=1),
        )
        last = np.minimum(last - 1, n - 2)
        some = first <= last
        t = np.arange(width)
        c_left = np.where(t < first[:, None], 0.0, np.where(t > last[:, None], c_total, c_left))
        guarded = counts[numeric]
        guarded[:, 0] = c_left[:, 0]
        np.subtract(c_left[:, 1:], c_left[:, :-1], out=guarded[:, 1:])
        counts[numeric[some]] = guarded[some]
        n_bins[numeric[~some]] = 0
        return counts, n_bins

    def _kernel(self, hist, n_bins, categorical):
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

    def __call__(self, hist, lower=-np.inf, upper=np.inf, allowed=None):
        """The best Split of a node with histogram hist, or None; [lower,
        upper] is the node's value range under monotonic constraints, and
        allowed (bool per feature, None: all) the features that interaction
        constraints leave it."""
        searched, missing_right = self.n_bins_searched, self.missing_right_n_bins
        drawn = self._drawn(allowed)
        if drawn is not None:
            drawn = drawn[self.columns]
            # A feature without bins is one that the search passes over.
            searched = np.where(drawn, searched, 0)
            missing_right = np.where(drawn, missing_right, 0)
        best = self._best(hist, searched, missing_right)
        if self.constrained is None or best is None or not self.constrained[best.column]:
            return best
        # The best split of all, if its feature is constrained, is the best
        # of that feature's that keep the constraint whenever it keeps it.
        mid = admissible_mid(hist, best, self.sign(best.feature), self.params.l2, lower, upper)
        if mid is not None:
            return best._replace(mid=mid)
        free = ~self.constrained
        best = self._best(hist, np.where(free, searched, 0), np.where(free, missing_right, 0))
        return self._constrained(hist, best, drawn, lower, upper)

    def _drawn(self, allowed):
        """The features of the model that a node searches (bool), or None
        for all: its share of those allowed, drawn."""
        if not self.draws_features and allowed is None:
            return None
        drawn = np.zeros(self.bins.n_bins.size, dtype=bool)
        if allowed is None:
            if self.n_drawn >= drawn.size:
                return None
            drawn[self._draws.permutation(drawn.size)[: self.n_drawn]] = True
            return drawn
        pool = np.flatnonzero(allowed)
        count = max(1, math.ceil(self.params.max_features * pool.size))
        if not self.draws_features or count >= pool.size:
            return allowed
        drawn[pool[self._draws.permutation(pool.size)[:count]]] = True
        return drawn

    def _best(self, hist, searched, missing_right):
        """The best Split over the features of searched (regular bins plus
        a missing category) and, sending missing values right, of
        missing_right (their bins plus the missing bin)."""
        n_bins = self.n_bins
        best = None
        found = self._search(hist, searched, self.categorical)
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
                gain,
                int(self.columns[f]),
                n - 1 if missing_alone else b,
                codes,
                missing_alone,
                n_left,
                n_right,
                n,
                f,
            )
        if self.searches_missing_right:
            found = self._search(hist, missing_right, self.no_categories)
            if found is not None and (best is None or found[2] > best.gain):
                f, split_bin, gain, n_lower, n_upper, _ = found
                n = int(n_bins[f])
                codes = np.arange(split_bin + 1, n, dtype=np.int64)
                feature = int(self.columns[f])
                best = Split(gain, feature, split_bin, codes, True, n_upper, n_lower, n, f)
        return best

    def _constrained(self, hist, best, drawn, lower, upper):
        """best, or a split of a constrained feature that gains more."""
        features = np.flatnonzero(self.constrained if drawn is None else self.constrained & drawn)
        if features.size == 0:
            return best
        with np.errstate(divide="ignore", invalid="ignore", over="ignore"):
            found = constrained_best(
                hist,
                features,
                self.monotonic[self.columns[features]],
                self.n_bins[features].astype(np.int64),
                self.missing[features],
                self.params,
                self.min_child_hessian,
                lower,
                upper,
            )
        if found is None or (best is not None and found[0] <= best.gain):
            return best
        gain, f, t, missing_upper, n_lower, n_upper, mid = found
        n, feature = int(self.n_bins[f]), int(self.columns[f])
        if missing_upper:
            codes = np.arange(t + 1, n, dtype=np.int64)
            return Split(gain, feature, t, codes, True, n_upper, n_lower, n, f, mid)
        return Split(gain, feature, t, None, False, n_lower, n_upper, n, f, mid)
