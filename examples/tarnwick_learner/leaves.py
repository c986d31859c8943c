"""Leaf tables of grown trees: constant leaves and embedded-linear leaves.

A leaf's output is a Newton step on the loss over its rows. A constant leaf
is -G / (H + l2). An embedded-linear leaf is bias + w . z with (bias, w) the
solution of the regularised normal equations

    [ H + l2    hz^T            ] [bias]     [ G  ]
    [ hz        gram + ridge*I  ] [ w  ] = - [ gz ]

built from the statistics that leaf_linear_stats returns. Outputs are scaled
by the learning rate. Each leaf's z_min/z_max guard is the range of z over its
training rows, so the clamp at prediction leaves training rows unchanged.
"""

import numpy as np
import tarnwick_native as tn


def leaf_layout(leaf_rows, n_rows):
    """order, offsets and each row's leaf for the rows grouped by leaf."""
    counts = np.fromiter((len(r) for r in leaf_rows), dtype=np.int64, count=len(leaf_rows))
    offsets = np.zeros(len(leaf_rows) + 1, dtype=np.int64)
    np.cumsum(counts, out=offsets[1:])
    order = np.concatenate(leaf_rows)
    leaf_of_row = np.empty(n_rows, dtype=np.int64)
    leaf_of_row[order] = np.repeat(np.arange(len(leaf_rows), dtype=np.int64), counts)
    return order, offsets, leaf_of_row


def constant_tables(grad_sum, hess_sum, l2, learning_rate):
    """(bias, weights, z_min, z_max) of constant leaves (embedding width 0)."""
    bias = -grad_sum / (hess_sum + l2) * learning_rate
    empty = np.zeros((bias.size, 0))
    return bias, empty, empty, empty


def linear_tables(stats, counts, l2, ridge, min_rows, learning_rate):
    """(bias, weights, z_min, z_max) of the leaves whose statistics are stats
    (every leaf a linear slot, slot k = leaf k). Leaves with fewer than
    min_rows rows, without rows, or whose system has no finite solution keep
    a constant output with zero weights."""
    grad_sum, hess_sum, hz, gram, gz, z_min, z_max = stats
    n_leaves, d = hz.shape
    system = np.empty((n_leaves, d + 1, d + 1))
    system[:, 0, 0] = hess_sum + l2
    system[:, 0, 1:] = hz
    system[:, 1:, 0] = hz
    system[:, 1:, 1:] = gram
    system[:, np.arange(1, d + 1), np.arange(1, d + 1)] += ridge
    rhs = -np.concatenate([grad_sum[:, None], gz], axis=1)
    theta = solve_each(system, rhs)

    seen = np.isfinite(z_min).all(axis=1) & np.isfinite(z_max).all(axis=1)
    linear = (counts >= min_rows) & seen & np.isfinite(theta).all(axis=1)
    bias = np.where(linear, theta[:, 0], -grad_sum / (hess_sum + l2)) * learning_rate
    weights = np.where(linear[:, None], theta[:, 1:], 0.0) * learning_rate
    # A leaf without rows has +inf/-inf guards that the clamp rejects; its
    # weights are zero, so any finite range will do.
    z_min = np.where(seen[:, None], z_min, 0.0)
    z_max = np.where(seen[:, None], z_max, 0.0)
    return bias, weights, z_min, z_max


def solve_each(system, rhs):
    """Solution of every system[k] x = rhs[k]; NaN rows for singular ones."""
    try:
        return np.linalg.solve(system, rhs[:, :, None])[:, :, 0]
    except np.linalg.LinAlgError:
        out = np.full(rhs.shape, np.nan)
        for k in range(len(rhs)):
            try:
                out[k] = np.linalg.solve(system[k], rhs[k])
            except np.linalg.LinAlgError:
                pass
        return out


def tree_tables(leaf_rows, n_rows, grad, hess, z, params, constant_hessian=None):
    """Leaf tables of one tree and each training row's leaf output.

    grad, hess: float64 (n_rows,); z: the (n_rows, d) embedding or None;
    constant_hessian: every row's hessian when the loss has a constant one."""
    n_leaves = len(leaf_rows)
    if z is None:
        # Constant leaves need only the leaf totals: one pass over the rows in
        # row order, no leaf-order copy; the narrowest index type writes least.
        leaf_of_row = np.empty(n_rows, dtype=np.min_scalar_type(max(n_leaves - 1, 0)))
        for leaf, rows in enumerate(leaf_rows):
            leaf_of_row[rows] = leaf
        if constant_hessian is None:
            hess_sum = np.bincount(leaf_of_row, hess, n_leaves)
        else:
            # The same bits as adding the equal hessians up one by one.
            counts = np.fromiter(map(len, leaf_rows), dtype=np.float64, count=n_leaves)
            hess_sum = counts * constant_hessian
        tables = constant_tables(
            np.bincount(leaf_of_row, grad, n_leaves), hess_sum, params.l2, params.learning_rate
        )
        # np.take: NumPy's fancy indexing is about twice as slow for this gather.
        return tables, np.take(tables[0], leaf_of_row)
    order, offsets, leaf_of_row = leaf_layout(leaf_rows, n_rows)
    stats = tn.leaf_linear_stats(z, grad, hess, order, offsets, np.arange(n_leaves, dtype=np.int64))
    tables = linear_tables(
        stats,
        np.diff(offsets),
        params.l2,
        params.linear_l2,
        params.linear_min_rows,
        params.learning_rate,
    )
    return tables, tn.predict_linear(leaf_of_row, z, *tables, False)


def round_tables(class_leaf_rows, n_rows, grad, hess, z, params):
    """Leaf tables of the K class trees of one multiclass round, with their
    statistics pooled into one call, and each class's training outputs.

    grad, hess: float64 (K, n_rows), class-major; z: (n_rows, d) or None."""
    if z is None:
        return [
            tree_tables(rows, n_rows, grad[k], hess[k], None, params)
            for k, rows in enumerate(class_leaf_rows)
        ]
    layouts = [leaf_layout(rows, n_rows) for rows in class_leaf_rows]
    order = np.concatenate([lay[0] for lay in layouts])
    counts = np.concatenate([np.diff(lay[1]) for lay in layouts])
    offsets = np.zeros(counts.size + 1, dtype=np.int64)
    np.cumsum(counts, out=offsets[1:])
    leaf_class = np.repeat(
        np.arange(len(layouts), dtype=np.int64), [len(rows) for rows in class_leaf_rows]
    )
    stats = tn.leaf_linear_stats_mc(
        z,
        np.ascontiguousarray(grad.T),
        np.ascontiguousarray(hess.T),
        order,
        offsets,
        np.arange(counts.size, dtype=np.int64),
        leaf_class,
    )
    tables = linear_tables(
        stats, counts, params.l2, params.linear_l2, params.linear_min_rows, params.learning_rate
    )
    out, start = [], 0
    for k, (_, _, leaf_of_row) in enumerate(layouts):
        stop = start + len(class_leaf_rows[k])
        mine = tuple(t[start:stop] for t in tables)
        out.append((mine, tn.predict_linear(leaf_of_row, z, *mine, False)))
        start = stop
    return out
