"""Monotonic constraints: the split search over constrained features and
the value bounds that keep a tree monotonic.

A node's value range [lower, upper] starts unbounded at the root. A split
on a feature constrained to increase (sign +1) gives both children their
Newton values clipped to the node's range, accepts the split only if the
child of the lower values gets the smaller value, and bounds that child
above and the other below by the mean of the two values (sign -1 the other
way round); a split on another feature hands the node's range to both
children. Every leaf value is clipped to its range, so wherever two rows
differ in a constrained feature alone, the first node that separates them
sends the lower value to a subtree whose values all lie on the right side
of the other's.

find_best_split cannot refuse a threshold for its children's values, so the
constrained features are searched here, over the same histogram, with the
same gain, guards and floor; the kernel searches the others. Missing values
of a constrained feature go with the lower or with the upper values,
whichever gains more, as in find_best_split and the search that sends
them right.
"""

import numpy as np

# find_best_split's floor: a split must gain more than this.
GAIN_FLOOR = 1e-12


def constrained_best(hist, features, signs, n_bins, missing, params, floor, lower, upper):
    """The best admissible threshold of the constrained features (their
    signs, regular bin counts and whether they had missing values in
    training) in a node of value range [lower, upper]: (gain, feature, bin,
    missing_upper, count_lower, count_upper, mid) or None. Bins 0..bin hold
    the lower values; with missing_upper the missing values go with the
    upper ones. The features are searched in the order given, missing
    values below before above; the first of equal gains wins."""
    l2, m = params.l2, params.min_samples_leaf
    g_total, h_total, c_total = hist[0].sum(axis=0)
    parent = g_total * g_total / (h_total + l2)
    width = int(n_bins.max())
    if width < 1:
        return None
    cum = hist[features, :width].cumsum(axis=1)
    # Thresholds of a feature of n bins: 0..n-2 with the missing values
    # below, 0..n-1 with them above (the last one sends them alone up).
    # The cumulative sums past them run into its missing bin and are never
    # read.
    position = np.arange(width)
    thresholds = np.stack([position < (n_bins - 1)[:, None], position < n_bins[:, None]])
    # Missing values with the lower bins (as find_best_split puts them),
    # then with the upper ones where the feature had any.
    at_missing = hist[features, n_bins][:, None, :]
    low = np.stack([cum + at_missing, cum])
    g_low, h_low, c_low = low[..., 0], low[..., 1], low[..., 2]
    g_up, h_up, c_up = g_total - g_low, h_total - h_low, c_total - c_low
    gain = g_low * g_low / (h_low + l2) + g_up * g_up / (h_up + l2) - parent
    v_low = np.clip(-g_low / (h_low + l2), lower, upper)
    v_up = np.clip(-g_up / (h_up + l2), lower, upper)
    ok = thresholds & np.stack([np.ones_like(missing), missing])[:, :, None]
    ok &= (c_low >= m) & (c_up >= m) & np.isfinite(gain) & (gain > GAIN_FLOOR)
    ok &= signs[:, None] * (v_up - v_low) >= 0
    if floor:
        ok &= (h_low >= floor) & (h_up >= floor)
    if not ok.any():
        return None
    # Feature by feature, missing values with the lower bins first.
    order = np.where(ok, gain, -np.inf).transpose(1, 0, 2)
    j, side, t = np.unravel_index(int(np.argmax(order)), order.shape)
    mid = 0.5 * (v_low[side, j, t] + v_up[side, j, t])
    return (
        float(gain[side, j, t]),
        int(features[j]),
        int(t),
        bool(side),
        int(c_low[side, j, t]),
        int(c_up[side, j, t]),
        float(mid),
    )


def children_bounds(sign, mid, lower, upper, lower_child_left):
    """(left, right) value ranges of the children of a node of range
    [lower, upper] split on a feature of constraint sign (0: none) at mid;
    lower_child_left tells whether the left child holds the lower values."""
    if sign == 0:
        return (lower, upper), (lower, upper)
    low, high = ((lower, mid), (mid, upper)) if sign > 0 else ((mid, upper), (lower, mid))
    return (low, high) if lower_child_left else (high, low)
