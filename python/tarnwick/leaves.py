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


def constant_tables(
    grad_sum, hess_sum, l2, learning_rate, bounds=None, max_step=np.inf, min_hessian=0.0
):
    """(bias, weights, z_min, z_max) of constant leaves (embedding width 0),
    each value at most max_step either way (the loss's bound on a step) and
    clipped to its (lower, upper) bounds if given. A leaf without hessian
    (all its rows weighted zero) outputs zero; one with less than
    min_hessian steps as if it had min_hessian. Without hess_sum, grad_sum
    holds the leaves' values (a loss that sets them)."""
    value = grad_sum if hess_sum is None else _newton_step(grad_sum, hess_sum, l2, min_hessian)
    if max_step < np.inf:
        value = np.clip(value, -max_step, max_step)
    if bounds is not None:
        value = np.clip(value, *bounds)
    bias = value * learning_rate
    empty = np.zeros((bias.size, 0))
    return bias, empty, empty, empty


def _newton_step(grad_sum, hess_sum, l2, min_hessian=0.0):
    """-G / (H + l2), with H + l2 at least min_hessian: rows that the model
    gets confidently wrong have gradients near 1 and hessians near 0, and a
    leaf of them alone (a tree whose root could not split) would step to
    infinity. The splits' own floor keeps every other leaf above it."""
    denominator = hess_sum + l2
    with np.errstate(divide="ignore", invalid="ignore"):
        return np.where(denominator > 0, -grad_sum / np.maximum(denominator, min_hessian), 0.0)


def linear_tables(
    stats, counts, l2, ridge, min_rows, learning_rate, max_step=np.inf, min_hessian=0.0
):
    """(bias, weights, z_min, z_max) of the leaves whose statistics are stats
    (every leaf a linear slot, slot k = leaf k). Leaves with fewer than
    min_rows rows, without rows, with less hessian than min_hessian, whose
    system has no finite solution, or whose step could exceed max_step over
    the embedding's range in the leaf keep a constant output (at most
    max_step either way) with zero weights."""
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
    linear &= hess_sum + l2 >= min_hessian
    constant = _newton_step(grad_sum, hess_sum, l2, min_hessian)
    if max_step < np.inf:
        # The largest output of the leaf's model over the box its rows span.
        # A leaf without rows has infinite guards (NaN here): it is constant.
        with np.errstate(invalid="ignore"):
            span = np.maximum(np.abs(z_min), np.abs(z_max))
            reach = np.abs(theta[:, 0]) + (np.abs(theta[:, 1:]) * span).sum(axis=1)
        linear &= reach <= max_step
        constant = np.clip(constant, -max_step, max_step)
    bias = np.where(linear, theta[:, 0], constant) * learning_rate
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


def add_in_order(arrays):
    """The sum of arrays added left to right, starting from the first (a sum
    started from zero would turn a -0.0 into +0.0)."""
    total = arrays[0]
    for a in arrays[1:]:
        total = total + a
    return total


def combine_leaf_sums(parts):
    """The leaf sums of one tree over several blocks of rows, in block order:
    (grad_sum, hess_sum) for constant leaves; for linear leaves the
    statistics tuple, whose guards take the smallest and largest values, and
    the row counts."""
    first = parts[0]
    if len(parts) == 1:
        return first
    if not isinstance(first[0], tuple):
        return tuple(add_in_order([p[i] for p in parts]) for i in range(2))
    stats = [p[0] for p in parts]
    added = tuple(add_in_order([s[i] for s in stats]) for i in range(5))
    z_min = np.minimum.reduce([s[5] for s in stats])
    z_max = np.maximum.reduce([s[6] for s in stats])
    return (*added, z_min, z_max), add_in_order([p[1] for p in parts])


def leaf_tables(sums, params, bounds=None):
    """(bias, weights, z_min, z_max) of one tree from its combined leaf sums;
    constant leaves are clipped to their bounds under monotonic constraints."""
    if not isinstance(sums[0], tuple):
        return constant_tables(
            *sums, params.l2, params.learning_rate, bounds, params.max_step, params.min_hessian
        )
    stats, counts = sums
    return linear_tables(
        stats,
        counts,
        params.l2,
        params.linear_l2,
        params.linear_min_rows,
        params.learning_rate,
        params.max_step,
        params.min_hessian,
    )
