"""The boosting loop, apart from any estimator.

One Boosting drives the training rows (a Shard, or the partitions of a
distributed fit) round by round: gradients, one tree per output grown from
node histograms, the leaf values solved from the leaves' sums, and the
training scores updated. It returns each round's trees on raw values; what
to do with them (validation, early stopping) is the caller's.
"""

from dataclasses import dataclass

import numpy as np

from .grower import GrowParams, grow_tree
from .leaves import leaf_tables
from .shard import reorder_due
from .splitting import SplitFinder, SplitParams, child_hessian_floor
from .trees import flatten

# From this many training rows on, constant leaves take their gradient and
# hessian sums from the node histograms that the split search read, as the
# peers do, not from a pass over each leaf's rows: on 2 threads the pass took
# 3.0 ms a round on 1,000,000 x 32 rows and the sums from the histograms
# 0.5, on 150,000 rows 0.43 against 0.24; on 70,000 rows both 0.28.
HISTOGRAM_SUMS_ROWS = 1 << 17


def sums_from_histograms(n_rows, linear, loss):
    """Whether trees on n_rows training rows take their leaves' sums from the
    node histograms: constant leaves (not linear) whose values the loss
    solves from sums, on enough rows."""
    return not linear and not loss.sets_leaf_values and n_rows >= HISTOGRAM_SUMS_ROWS


def round_leaf_sums(rows, grown):
    """The leaf sums of the round's trees grown: from the histograms where
    a tree has them (GrowParams.histogram_sums), else from the rows."""
    sums = [tree.leaf_sums() for tree in grown]
    if any(s is None for s in sums):
        from_rows = rows.leaf_sums()
        sums = [r if s is None else s for s, r in zip(sums, from_rows)]
    return sums


@dataclass(frozen=True)
class LeafParams:
    l2: float
    learning_rate: float
    linear_l2: float
    linear_min_rows: int
    # The loss's bound on a leaf's Newton step, either way.
    max_step: float = np.inf
    # The least hessian a leaf steps with (the splits' floor).
    min_hessian: float = 0.0


@dataclass(frozen=True)
class BoostParams:
    max_iter: int
    grow: GrowParams
    split: SplitParams
    leaf: LeafParams
    # The share of the rows that each round draws (all at 1.0).
    subsample: float = 1.0


class Boosting:
    """Rounds of boosting on training rows with n_rows rows in all; with
    class_workers (class_trees.ClassWorkers over a Shard), a round's trees
    grow on worker processes."""

    def __init__(self, rows, n_rows, loss, bins, params, class_workers=None):
        self.rows, self.n_rows, self.loss, self.bins = rows, n_rows, loss, bins
        self.params, self.class_workers = params, class_workers
        self.finder = SplitFinder(bins, params.split, child_hessian_floor(loss))

    def start(self):
        """Sets every row's score to the initial score, which it returns."""
        init = self.loss.init_score(self.rows.init_sums())
        self.rows.set_scores(init)
        return init

    def round(self, iteration, train_loss=False):
        """Grows the trees of one round; returns them, and with train_loss
        the training loss sums after the round (else None)."""
        rows, p = self.rows, self.params
        reorder = reorder_due(iteration) and iteration + 1 < p.max_iter
        bag = None if p.subsample >= 1.0 else (p.subsample, p.split.seed, iteration)
        rows.compute_gradients(bag)
        if self.class_workers is not None:
            trees = self.class_workers.grow_round(iteration, reorder, bag)
            sums = rows.loss_sums() if train_loss else None
            if reorder:
                rows.reorder()
            return trees, sums
        self.finder.start_round(iteration)
        grown = [
            grow_tree(rows, k, self.n_rows, self.finder, p.grow) for k in range(self.loss.n_outputs)
        ]
        leaf_sums = round_leaf_sums(rows, grown)
        tables = [leaf_tables(s, p.leaf, g.leaf_bounds()) for s, g in zip(leaf_sums, grown)]
        rows.add_leaf_outputs(tables)
        sums = rows.loss_sums() if train_loss else None
        rows.end_round(reorder)
        return [flatten(g, self.bins, t) for g, t in zip(grown, tables)], sums


def grow_class_tree(shard, k, finder, bins, params):
    """Grows tree k of a round alone on a Shard that holds the round's
    gradients, and adds its leaf outputs to the scores of class k, which no
    other tree of the round touches: the same tree and scores, bit for bit,
    as growing the round's trees together."""
    grown = grow_tree(shard, k, shard.n_rows, finder, params.grow)
    (sums,) = round_leaf_sums(shard, [grown])
    table = leaf_tables(sums, params.leaf, grown.leaf_bounds())
    shard.add_leaf_outputs([table])
    return flatten(grown, bins, table)
