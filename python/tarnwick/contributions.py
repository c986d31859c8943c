"""Each feature's share of a prediction: the Shapley values of the trees'
path-dependent expectations (TreeSHAP), which add up with the expected
value to the raw score.

A tree's expected output, given that only the features in S are known, is
found by following a row at nodes that split on a feature in S, and by
averaging both children, weighted by their training rows, at the others.
For the leaf at the end of a path whose distinct features are U, that
expectation is the leaf's value times, per feature k of U, o_k (1 if the
row goes the path's way at every node of k on it, else 0) if k is known,
else z_k (the share of the training rows that go that way). The Shapley
value of feature j in such a product is

    value * (o_j - z_j) * sum_s w(s) [t^s] prod_{k != j} (z_k + o_k t),
    w(s) = s! (d - 1 - s)! / d!,  d = |U|,

and the empty set's expectation, value * prod z_k, adds up to the tree's
expected value over the leaves. Each leaf is done for all rows at once:
the polynomial of every row is built once, and each factor of j divided
out of it.
"""

import math

import numpy as np


def goes_left(tree, node, x):
    """Whether each row of x goes to the left child of the split at node,
    by the routing of apply_tree: missing values one way, listed
    categories left, otherwise values up to the threshold left."""
    v = x[:, tree.feature[node]]
    lo, hi = tree.cat_offsets[node], tree.cat_offsets[node + 1]
    left = np.isin(v, tree.cat_values[lo:hi]) if lo < hi else v <= tree.threshold[node]
    return np.where(np.isnan(v), tree.missing_left[node], left)


def shapley_weights(d):
    """w(s) for s = 0 .. d - 1."""
    return np.array(
        [math.factorial(s) * math.factorial(d - 1 - s) / math.factorial(d) for s in range(d)]
    )


def add_leaf(out, value, path):
    """Adds one leaf's share to out (n_rows, n_features + 1); path maps each
    distinct feature on the way to it to (z, o)."""
    features = list(path)
    z = [path[f][0] for f in features]
    o = [path[f][1].astype(np.float64) for f in features]
    out[:, -1] += value * math.prod(z)
    d = len(features)
    if d == 0:
        return
    # Coefficients of prod (z_k + o_k t), one row of them per power of t.
    poly = np.zeros((d + 1, out.shape[0]))
    poly[0] = 1.0
    for k in range(d):
        poly[1 : k + 2] = z[k] * poly[1 : k + 2] + o[k] * poly[: k + 1]
        poly[0] *= z[k]
    w = shapley_weights(d)
    # Where o_j is 0 the factor of j is z_j, and dividing it out divides
    # the weighted sum of the coefficients by z_j.
    weighted_all = w[0] * poly[0]
    for s in range(1, d):
        weighted_all += w[s] * poly[s]
    for j, f in enumerate(features):
        # Where o_j is 1, the polynomial divided by (z_j + t), from its top
        # coefficient down, each quotient coefficient weighed as it comes.
        # Term by term, not by a matrix product, so that a row's value does
        # not depend on the rows beside it.
        q = poly[d]
        weighted = w[d - 1] * q
        for s in range(d - 1, 0, -1):
            q = poly[s] - z[j] * q
            weighted += w[s - 1] * q
        weighted = np.where(path[f][1], weighted, weighted_all / z[j])
        out[:, f] += value * (o[j] - z[j]) * weighted


def add_tree(out, tree, x):
    """Adds the Shapley values of one tree with constant leaves on the rows
    of x to out (n_rows, n_features + 1), its expected value to the last
    column."""
    stack = [(0, {})]
    while stack:
        node, path = stack.pop()
        leaf = tree.leaf_id[node]
        if leaf >= 0:
            add_leaf(out, tree.bias[leaf], path)
            continue
        feature, count = int(tree.feature[node]), tree.count[node]
        left = goes_left(tree, node, x)
        for child, way in ((tree.left[node], left), (tree.right[node], ~left)):
            z, o = path.get(feature, (1.0, True))
            stack.append((int(child), {**path, feature: (z * tree.count[child] / count, o & way)}))
