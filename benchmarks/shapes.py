"""The data shapes of the learner benchmark.

generated   the demo's regression data, 1,000,000 x 32 (examples/datasets.py)
ties        300,000 x 14 regression: eleven integer-valued features with
            many ties (a heavy head of small counts and a long tail) and three
            categorical features of 16, 100 and 1,000 levels
wide        100,000 x 200 regression
multiclass  200,000 x 32, 10 classes

Every generator is a function of (n_rows, seed): the training rows are seed
0, the held-out rows another seed, so the held-out metric is taken on a
separate draw. Embedded-linear leaves use 8 columns of each (DataSet.embedding).
"""

from dataclasses import dataclass

import numpy as np

from examples.datasets import DataSet, generated

LINEAR_WIDTH = 8
CATEGORY_LEVELS = (16, 100, 1000)
N_CLASSES = 10


@dataclass(frozen=True)
class Shape:
    key: str
    rows: int
    features: int
    task: str  # "regression" or "multiclass"
    summary: str
    make: object  # (n_rows, seed) -> DataSet

    @property
    def trees_per_round(self):
        return N_CLASSES if self.task == "multiclass" else 1

    def title(self, rows):
        return f"{self.key}: {self.summary}, {rows:,} x {self.features}"


def ties(n_rows, seed=0):
    """Integer counts with heavy heads and long tails, some with most rows on
    zero, and three categorical features whose level frequencies fall off
    as 1/rank (the level codes shuffled against the frequencies)."""
    rng = np.random.default_rng(seed)
    effects = np.random.default_rng(1_000)  # the same level effects in every draw
    x = np.empty((n_rows, 14))
    for f, sigma in enumerate((0.8, 1.2, 1.8, 2.5)):
        x[:, f] = np.floor(rng.lognormal(0.3, sigma, n_rows))
    for f, p in zip((4, 5, 6), (0.3, 0.08, 0.02)):
        x[:, f] = rng.geometric(p, n_rows) - 1
    x[:, 7] = rng.negative_binomial(0.5, 0.05, n_rows)
    x[:, 8] = rng.negative_binomial(2.0, 0.2, n_rows)
    x[:, 9] = np.minimum(rng.zipf(1.6, n_rows), 1_000_000)
    x[:, 10] = np.where(rng.random(n_rows) < 0.6, 0, rng.integers(1, 5_000, n_rows))
    level_effect = []
    for f, levels in zip((11, 12, 13), CATEGORY_LEVELS):
        share = 1.0 / np.arange(1, levels + 1)
        codes = effects.permutation(levels)
        x[:, f] = codes[rng.choice(levels, n_rows, p=share / share.sum())]
        level_effect.append(effects.normal(0.0, 1.0 / np.log10(levels), levels))
    log = np.log1p(x[:, :11])
    y = (
        np.sin(log[:, 0] * 1.5)
        + 0.6 * log[:, 1]
        - 0.4 * np.minimum(log[:, 2], 4.0) * (x[:, 4] > 2)
        + np.where(x[:, 3] > 40, 1.0, 0.0)
        + 0.05 * x[:, 5] * np.where(level_effect[0][x[:, 11].astype(np.int64)] > 0, 1.0, -0.5)
        + 0.3 * np.sqrt(log[:, 6] * log[:, 7])
        - 0.5 * (x[:, 9] == 1)
        + 0.3 * (x[:, 10] > 0) * np.cos(log[:, 8])
        + sum(e[x[:, f].astype(np.int64)] for f, e in zip((11, 12, 13), level_effect))
    )
    y += 0.5 * rng.standard_normal(n_rows)
    categorical = np.zeros(14, dtype=bool)
    categorical[11:] = True
    return DataSet(
        f"ties {n_rows:,} x 14", "regression", x, y, np.arange(LINEAR_WIDTH), categorical
    )


def wide(n_rows, seed=0):
    """200 Gaussian features in correlated pairs; the target is linear in
    columns 0-7, has smooth, step and interaction effects in 8-39, and a
    small linear share of every other column."""
    rng = np.random.default_rng(seed)
    slopes = np.random.default_rng(2_000).normal(0.0, 0.05, 160)
    x = rng.standard_normal((n_rows, 200))
    x[:, 100:] += 0.5 * x[:, :100]
    y = x[:, :LINEAR_WIDTH] @ np.linspace(1.0, -0.6, LINEAR_WIDTH)
    y += np.sin(x[:, 8:16]).sum(axis=1)
    y += (x[:, 16:24] > 0.5).sum(axis=1) * 0.4
    y += x[:, 24] * x[:, 25] + 0.5 * x[:, 26] * np.tanh(x[:, 27]) + 0.3 * x[:, 28:40].sum(axis=1)
    y += x[:, 40:] @ slopes
    y += 0.5 * rng.standard_normal(n_rows)
    return DataSet(f"wide {n_rows:,} x 200", "regression", x, y, np.arange(LINEAR_WIDTH))


def multiclass(n_rows, seed=0):
    """32 Gaussian features (four rounded to integers); each class's logit is
    linear in columns 0-7 plus class-dependent smooth, step and interaction
    effects; labels are drawn from the softmax of the logits."""
    rng = np.random.default_rng(seed)
    coef = np.random.default_rng(3_000).normal(0.0, 0.6, (LINEAR_WIDTH, N_CLASSES))
    x = rng.standard_normal((n_rows, 32))
    x[:, 28:] = np.round(x[:, 28:] * 2.0)
    k = np.arange(N_CLASSES)
    logits = x[:, :LINEAR_WIDTH] @ coef
    logits += np.sin(x[:, 8:9] + k)
    logits += (x[:, 9:10] > (k - 4.5) / 3.0) * 0.8
    logits += (x[:, 10:11] * x[:, 11:12]) * np.where(k % 2 == 0, 0.5, -0.5)
    logits += np.abs(x[:, 12:13] - (k - 4.5) / 3.0) * -0.7
    logits += x[:, 28:29] * (k % 3 - 1) * 0.3
    p = np.exp(logits - logits.max(axis=1, keepdims=True))
    p /= p.sum(axis=1, keepdims=True)
    u = rng.random((n_rows, 1))
    y = np.minimum((np.cumsum(p, axis=1) < u).sum(axis=1), N_CLASSES - 1)
    return DataSet(f"multiclass {n_rows:,} x 32", "multiclass", x, y, np.arange(LINEAR_WIDTH))


SHAPES = {
    s.key: s
    for s in (
        Shape("generated", 1_000_000, 32, "regression", "generated regression", generated),
        Shape(
            "ties",
            300_000,
            14,
            "regression",
            "regression, tied integers, categoricals of 16/100/1,000 levels",
            ties,
        ),
        Shape("wide", 100_000, 200, "regression", "regression", wide),
        Shape("multiclass", 200_000, 32, "multiclass", "10-class classification", multiclass),
    )
}
