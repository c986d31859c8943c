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


def admissible_mid(hist, split, sign, l2, lower, upper):
    """The bound between the children of a numeric split of a feature of
    constraint sign in a node of value range [lower, upper], if their values
    keep the constraint; else None."""
    f, t, n = split.column, split.bin_, split.missing_bin
    g_low, h_low, _ = hist[f, : t + 1].sum(axis=0).tolist()
    if not split.missing_right:
        g_low, h_low = g_low + float(hist[f, n, 0]), h_low + float(hist[f, n, 1])
    g_total, h_total, _ = hist[0].sum(axis=0).tolist()
    h_up = h_total - h_low
    if not (h_low + l2 > 0 and h_up + l2 > 0):
        return None
    v_low = min(max(-g_low / (h_low + l2), lower), upper)
    v_up = min(max(-(g_total - g_low) / (h_up + l2), lower), upper)
    if sign * (v_up - v_low) >= 0:
        return 0.5 * (v_low + v_up)
    return None


def constrained_best(hist, features, signs, n_bins, missing, params, floor, lower, upper):
    """The best admissible threshold of the constrained features (histogram
    features, with their signs, regular bin counts and whether they had
    missing values in training) in a node of value range [lower, upper]:
    (gain, feature, bin,
    missing_upper, count_lower, count_upper, mid) or None. Bins 0..bin hold
    the lower values; with missing_upper the missing values go with the
    upper ones. As in the search of find_best_split and the one after it,
    every feature in the order given is searched with its missing values
    below, then with them above; the first of equal gains wins."""
    l2, m = params.l2, params.min_samples_leaf
    g_total, h_total, c_total = hist[0].sum(axis=0).tolist()
    parent = g_total * g_total / (h_total + l2)
    width = int(n_bins.max())
    if width < 1:
        return None
    # Channel-major: gradient, hessian and count sums of bins 0..t.
    cum = np.ascontiguousarray(np.moveaxis(hist[features, :width].cumsum(axis=1), 2, 0))
    position = np.arange(width)
    # Missing values with the lower bins (as find_best_split puts them) at
    # thresholds 0..n-2 of a feature of n bins, then, where the feature had
    # any, with the upper ones at 0..n-1 (the last sends them alone up).
    # The sums past the thresholds run into the missing bin; never read.
    sides = [(cum + hist[features, n_bins].T[:, :, None], position < (n_bins - 1)[:, None])]
    if missing.any():
        sides.append((cum, (position < n_bins[:, None]) & missing[:, None]))
    bounded = lower > -np.inf or upper < np.inf
    best, best_gain = None, GAIN_FLOOR
    for side, ((g_low, h_low, c_low), ok) in enumerate(sides):
        g_up, h_up, c_up = g_total - g_low, h_total - h_low, c_total - c_low
        v_low, v_up = -g_low / (h_low + l2), -g_up / (h_up + l2)
        gain = g_low * g_low / (h_low + l2) + g_up * g_up / (h_up + l2) - parent
        ok &= (c_low >= m) & (c_up >= m) & (gain > best_gain) & np.isfinite(gain)
        if floor:
            ok &= (h_low >= floor) & (h_up >= floor)
        if bounded:
            v_low, v_up = np.clip(v_low, lower, upper), np.clip(v_up, lower, upper)
        ok &= signs[:, None] * (v_up - v_low) >= 0
        if not ok.any():
            continue
        # Feature by feature in the order given; a later side must gain more.
        at = int(np.argmax(np.where(ok, gain, -np.inf)))
        j, t = divmod(at, width)
        best_gain = float(gain[j, t])
        mid = 0.5 * (v_low[j, t] + v_up[j, t])
        best = (
            best_gain,
            int(features[j]),
            t,
            bool(side),
            int(c_low[j, t]),
            int(c_up[j, t]),
            float(mid),
        )
    return best


def children_bounds(sign, mid, lower, upper, lower_child_left):
    """(left, right) value ranges of the children of a node of range
    [lower, upper] split on a feature of constraint sign (0: none) at mid;
    lower_child_left tells whether the left child holds the lower values."""
    if sign == 0:
        return (lower, upper), (lower, upper)
    low, high = ((lower, mid), (mid, upper)) if sign > 0 else ((mid, upper), (lower, mid))
    return (low, high) if lower_child_left else (high, low)
