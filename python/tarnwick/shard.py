"""The training rows of one block, as the kernels read them.

A Shard holds a block's binned matrix, targets, weights, training scores and
embedding, and does every pass over its rows that a boosting round needs:
gradients, the histograms of the nodes the grower asks for, partitions, the
leaf sums, and the score updates. The grower and the booster see only node
histograms and leaf sums, so the same loop drives one in-process Shard or
the Shards of many partitions, whose sums it adds in partition order.

Row order. A node's histogram reads its rows' codes from the feature-major
binned matrix, one code per row and feature. When a node's rows are
scattered over the whole block, nearly every code lies in a cache line of
its own. The trees of one boosting run keep splitting on much the same
rules, so after rounds 1, 2, 4, 8, ... the Shard reorders its rows leaf by
leaf, in the depth-first order of the round's first tree, each leaf keeping
its rows' order: every node of that tree then lies in one stretch of the
matrix, and so do most nodes of the trees that follow. Reordering changes the
order in which a histogram adds its rows, so sums may differ in their last
bits from those of another order; for given data and settings the sequence
of orders is fixed, so training gives the same bits every time and for any
number of threads.
"""

import numpy as np
import tarnwick_native as tn

from . import unsplittable
from .heap import release_freed
from .threads import over_row_chunks, over_shares, worker_count


def reorder_due(iteration):
    """Whether to reorder after boosting round iteration (from 0): after
    rounds 1, 2, 4, 8, ... counted from 1, so that the cost stays small
    against the rounds it serves while the order follows the trees."""
    done = iteration + 1
    return done & (done - 1) == 0


# A root of at least this many rows is partitioned in pieces of its row ids,
# made one piece at a time, into children of the sizes that its histogram
# counts: its row ids and its children's would otherwise be held at once, the
# largest moment of a fit on many rows (64 MB at 4M rows). Each piece is
# copied once more, which costs more than the memory is worth on fewer rows.
PIECEWISE_ROOT_ROWS = 1 << 21
ROOT_PIECE_ROWS = 1 << 18

# A block of at most this many rows takes its constant leaves' sums and score
# updates in one call per tree, over the leaves' row ids joined once: one call
# per leaf costs more than that copy on small blocks, less on large ones.
JOINED_LEAVES_ROWS = 65_536


def joined_leaves(leaf_rows):
    """order and offsets of the rows grouped by leaf, each leaf in its order."""
    counts = np.fromiter(map(len, leaf_rows), dtype=np.int64, count=len(leaf_rows))
    offsets = np.zeros(len(leaf_rows) + 1, dtype=np.int64)
    np.cumsum(counts, out=offsets[1:])
    return np.concatenate(leaf_rows), offsets


def leaf_layout(leaf_rows, n_rows):
    """order, offsets and each row's leaf for the rows grouped by leaf."""
    order, offsets = joined_leaves(leaf_rows)
    leaf_of_row = np.empty(n_rows, dtype=np.int64)
    for leaf, rows in enumerate(leaf_rows):
        leaf_of_row[rows] = leaf
    return order, offsets, leaf_of_row


def add_by_leaf(scores, values, leaf_rows):
    """Adds each leaf's value to the scores of its rows. np.add.at adds in
    one pass where scores[rows] += value gathers, adds and scatters in three:
    it took 1.3 against 2.3 ms on 1,000,000 rows in 31 leaves (the three
    passes on two threads 1.9), 0.5 against 0.9 on 300,000. Each row gets
    the same one addition either way."""
    for rows, value in zip(leaf_rows, values):
        np.add.at(scores, rows, value)


class Shard:
    """The training rows of one block. binned is feature-major (n_features,
    n_rows); y is (n_rows,) (class indices for softmax); weight is (n_rows,)
    or None; z is (n_rows, d) or None. binned and z are handed over: the
    shard reorders them in place. With track_order it keeps, through every
    reordering, each row's number in the block (scores_in_block_order).
    buffers, if given, are its scores, gradients and hessians (raw, grad,
    hess), shaped as the shard would make them: arrays it shares with worker
    processes (class_trees)."""

    def __init__(self, binned, y, weight, z, loss, n_bins_max, track_order=False, buffers=None):
        # Rows are reordered in place: the shard owns its per-row vectors.
        self.binned, self.z = binned, z
        self.y = np.array(y)
        self.weight = None if weight is None else np.array(weight)
        self.loss, self.n_bins_max = loss, n_bins_max
        self.n_rows = binned.shape[1]
        if buffers is None:
            shape = (self.n_rows,) if loss.n_outputs == 1 else (loss.n_outputs, self.n_rows)
            hess = np.zeros(shape) if loss.needs_hess_buffer else None
            buffers = np.zeros(shape), np.zeros(shape), hess
        # Scores, gradients and hessians (None for a loss that needs no
        # buffer), kept from round to round: a fresh array costs its page
        # faults.
        self.raw, self._grad, self._hess = buffers
        self.grad = self.hess = None
        # original[i] is the block's row number of the row now at position i.
        self.original = None
        if track_order:
            self.original = np.arange(self.n_rows, dtype=np.min_scalar_type(-self.n_rows))
        # What leaf_linear_stats reads for leaf totals alone: no embedding.
        self._no_embedding = np.empty((self.n_rows, 0))
        self._no_slots = np.empty(0, dtype=np.int64)
        self._node_rows = {}
        # Nodes split ahead (split_ahead): their children's row ids.
        self._ahead = {}
        self._trees = []
        self._leaf_index = None
        self._joined = {}
        self._root_counts = None
        # The block's number among the blocks of a fit, which seeds the rows
        # it draws; and the round's draw, 1.0 for a drawn row and 0.0 for
        # another (None: every row), also as a mask.
        self.stream = 0
        self.sample = self._drawn = None

    @property
    def counts_hessian(self):
        """Whether its histograms' hessian sums are their row counts, bit for
        bit: an unweighted unit hessian is counted, not added up."""
        return self.weight is None and self.loss.unit_hessian and self.sample is None

    # ------------------------------------------------------------ a round

    def init_sums(self):
        return self.loss.init_sums(self.y, self.weight)

    def set_scores(self, init_score):
        self.raw.reshape(init_score.size, self.n_rows)[:] = init_score[:, None]

    def start_from(self, scores):
        """Sets the raw scores (K, n_rows), in the rows' order as handed over."""
        self.raw.reshape(scores.shape)[:] = scores

    def compute_gradients(self, bag=None):
        """This round's gradients and hessians; with bag, of the rows that
        draw_rows draws, the others' set to zero."""
        y, raw, weight, grad, hess = self.y, self.raw, self.weight, self._grad, self._hess

        def piece(start, stop):
            self.loss.gradients(
                y[start:stop],
                raw[..., start:stop],
                None if weight is None else weight[start:stop],
                grad[..., start:stop],
                None if hess is None else hess[..., start:stop],
            )

        if self.loss.gradients_in_pieces:
            over_row_chunks(piece, self.n_rows, raw.size // max(self.n_rows, 1))
        else:
            piece(0, self.n_rows)
        self.draw_rows(bag)
        if self.sample is not None:
            grad *= self.sample
            if hess is not None:
                hess *= self.sample
        self.take_gradients()

    def draw_rows(self, bag):
        """The rows of this round: with bag = (fraction, seed, iteration),
        each with that probability, from a stream of the seed, the round and
        the block; without, all. Only drawn rows enter the histograms."""
        self.sample = self._drawn = None
        if bag is not None:
            fraction, seed, iteration = bag
            draws = np.random.default_rng([seed, iteration, self.stream]).random(self.n_rows)
            self._drawn = draws < fraction
            self.sample = self._drawn.astype(np.float64)

    def take_gradients(self):
        """Takes this round's gradients from the shard's buffers, where
        compute_gradients (or another process sharing them) put them."""
        self.grad = self._grad
        if self.sample is not None and not self.loss.needs_hess_buffer:
            self.hess = self.row_weights()
            return
        self.hess = self.loss.hessians(self.weight, self._hess, self.raw.shape)

    def row_weights(self):
        """Each row's weight in this round's leaf values: its sample weight,
        zero if it was not drawn; None if all are 1."""
        if self.sample is None:
            return self.weight
        return self.sample if self.weight is None else self.weight * self.sample

    def _class_gradients(self, k):
        if self.grad.ndim == 1:
            return self.grad, self.hess
        return self.grad[k], self.hess[k]

    def gradient_magnitude(self, k):
        """The larger of the sums of absolute gradients and of hessians of
        class k: no cell of a histogram of its rows is larger."""
        grad, hess = self._class_gradients(k)
        hess_total = self.n_rows if self.counts_hessian else float(np.abs(hess).sum())
        return max(float(np.abs(grad).sum()), hess_total)

    def least_hessian(self, k):
        """The smallest hessian of a row of class k."""
        if self.counts_hessian:
            return 1.0
        _, hess = self._class_gradients(k)
        return float(hess.min(initial=np.inf))

    def start_tree(self, k, build):
        """Starts tree k of the round at the root; its histogram if build."""
        # The root's row ids live until its split: a tree's leaves hold every
        # row id again, so keeping them across trees would double that.
        root = np.arange(self.n_rows, dtype=np.int64)
        self._node_rows = {0: root}
        self._k = k
        if not build:
            return None
        hist = self._histogram(root)
        # The pieces are sized by the root's counts, which count only the
        # drawn rows of a round that draws.
        if self.n_rows >= PIECEWISE_ROOT_ROWS and self._drawn is None:
            # The grower subtracts in the histogram's buffer: the counts are
            # copied. None stands for every row in order.
            self._root_counts = hist[..., 2].copy()
            self._node_rows[0] = None
        return hist

    def bin_counts(self):
        """Rows per feature and bin of the block (unsplittable.py)."""
        return unsplittable.bin_counts(self.binned, self.n_bins_max)

    def keep_columns(self, columns):
        """Keeps the rows columns of the binned matrix alone, before the
        first round (unsplittable.py)."""
        self.binned = unsplittable.keep_columns(self.binned, columns)

    # Leaves split ahead at most per split: rows of one process answer at
    # once, so nothing gains from it.
    splits_ahead = 0

    def split(self, node, split, left, right, build, ahead=()):
        """Divides the rows of node between its children left and right by
        split; the histogram of the child numbered build, if any. ahead is
        for rows that split ahead (splits_ahead)."""
        rows = self._node_rows.pop(node)
        if rows is None:
            children = self._partition_root(split)
        else:
            children = self._partition(rows, split)
        n_freed = self.n_rows if rows is None else rows.size
        del rows
        self._node_rows[left], self._node_rows[right] = children
        release_freed(8 * n_freed)
        if build is None:
            return None
        return self._histogram(self._node_rows[build])

    def split_ahead(self, node, split, side):
        """Partitions the rows of node by split before the grower splits it
        (take_ahead numbers the children); the histogram of its child on
        side (0 left, 1 right)."""
        self._ahead[node] = children = self._partition(self._node_rows[node], split)
        return self._histogram(children[side])

    def take_ahead(self, node, left, right):
        """Splits node into the children that split_ahead made for it."""
        n_freed = self._node_rows.pop(node).size
        self._node_rows[left], self._node_rows[right] = self._ahead.pop(node)
        release_freed(8 * n_freed)

    def _partition(self, rows, split):
        return tn.partition_rows(
            self.binned, rows, split.column, split.bin_, split.codes, split.missing_bin
        )

    def _histogram(self, rows):
        """The histogram of the drawn ones among rows."""
        grad, hess = self._class_gradients(self._k)
        if self._drawn is not None:
            rows = rows[self._drawn[rows]]
        return tn.build_histograms(self.binned, rows, grad, hess, self.n_bins_max)

    def _partition_root(self, split):
        """The root's children by split, partitioned piece by piece."""
        counts = self._root_counts[split.column]
        goes_left = np.zeros(counts.size, dtype=bool)
        if split.codes is None:
            goes_left[: split.bin_ + 1] = True
        else:
            goes_left[split.codes] = True
        goes_left[split.missing_bin] = True
        n_left = int(counts[goes_left].sum())
        children = np.empty(n_left, np.int64), np.empty(self.n_rows - n_left, np.int64)
        filled = [0, 0]
        for start in range(0, self.n_rows, ROOT_PIECE_ROWS):
            piece = np.arange(start, min(start + ROOT_PIECE_ROWS, self.n_rows), dtype=np.int64)
            parts = tn.partition_rows(
                self.binned, piece, split.column, split.bin_, split.codes, split.missing_bin
            )
            for side, (child, part) in enumerate(zip(children, parts)):
                end = filled[side] + part.size
                if end > child.size:
                    break
                child[filled[side] : end] = part
                filled[side] = end
        if filled != [c.size for c in children]:
            raise RuntimeError("the root's partition does not match its histogram's counts")
        return children

    def end_tree(self, tree):
        self._trees.append((self._k, tree, [self._node_rows.pop(i) for i in tree.leaf_nodes]))
        # Nodes split ahead that stayed leaves.
        self._ahead = {}

    def leaf_sums(self):
        """Per tree of the round, the sums its leaf values are solved from:
        (grad_sum, hess_sum) per leaf for constant leaves; with an embedding,
        the leaf_linear_stats tuple and the leaves' row counts; (values,
        None) under a loss that sets the values itself."""
        if self.loss.sets_leaf_values:
            return [
                (self.loss.leaf_values(self.y, self.raw, self.row_weights(), rows), None)
                for _, _, rows in self._trees
            ]
        if self.z is None:
            return [self._constant_sums(k, rows) for k, _, rows in self._trees]
        layouts = [leaf_layout(rows, self.n_rows) for _, _, rows in self._trees]
        self._leaf_index = [index for _, _, index in layouts]
        # One call per tree reads its class's gradients where they lie; a
        # pooled multi-class call would first transpose them to (n_rows, K),
        # which costs more than the statistics (same bits either way).
        sums = []
        for (k, _, _), (order, offsets, _) in zip(self._trees, layouts):
            grad, hess = self._class_gradients(k)
            linear = np.arange(offsets.size - 1, dtype=np.int64)
            stats = tn.leaf_linear_stats(self.z, grad, hess, order, offsets, linear)
            sums.append((stats, np.diff(offsets)))
        return sums

    def _constant_sums(self, k, leaf_rows):
        """Each leaf's gradient and hessian sums, added in row order from
        +0.0 through leaf_linear_stats without an embedding: no per-row leaf
        index is built. A small block joins its leaves' rows for one call
        (kept for the score update); a large one calls leaf by leaf."""
        grad, hess = self._class_gradients(k)
        if self.n_rows <= JOINED_LEAVES_ROWS:
            order, offsets = joined_leaves(leaf_rows)
            self._joined[k] = order, np.diff(offsets)
            totals = tn.leaf_linear_stats(
                self._no_embedding, grad, hess, order, offsets, self._no_slots
            )
            return totals[0], totals[1]
        sums = np.empty((2, len(leaf_rows)))
        for leaf, rows in enumerate(leaf_rows):
            offsets = np.array([0, rows.size], dtype=np.int64)
            totals = tn.leaf_linear_stats(
                self._no_embedding, grad, hess, rows, offsets, self._no_slots
            )
            sums[0, leaf], sums[1, leaf] = totals[0][0], totals[1][0]
        return sums[0], sums[1]

    def add_leaf_outputs(self, tables):
        """Adds every tree's leaf outputs to its rows' scores; tables[i] is
        the round's tree i's (bias, weights, z_min, z_max)."""
        scores = self.raw.reshape(-1, self.n_rows)
        for i, ((k, _, leaf_rows), table) in enumerate(zip(self._trees, tables)):
            if k in self._joined:
                order, counts = self._joined[k]
                np.add.at(scores[k], order, np.repeat(table[0], counts))
            elif self.z is None:
                add_by_leaf(scores[k], table[0], leaf_rows)
            else:
                scores[k] += tn.predict_linear(self._leaf_index[i], self.z, *table, False)

    def loss_sums(self):
        return self.loss.loss_sums(self.y, self.raw, self.weight)

    def end_round(self, reorder):
        """Forgets the round's trees, after reordering the rows by the first."""
        if reorder:
            self.write_order()
        self._trees, self._leaf_index, self._joined = [], None, {}
        if reorder:
            self.reorder()

    # ------------------------------------------------------------ row order

    def _order_buffer(self):
        """Where the next row order goes: the spent gradient buffer, the
        first tree's class's part of it, so that the order is written before
        the leaves' rows go and a fresh array is not held beside them."""
        return self._grad.reshape(-1)[: self.n_rows].view(np.int64)

    def write_order(self):
        """Writes the row order of the round's first tree, leaf by leaf in
        depth-first order, each leaf keeping its rows' order."""
        _, tree, leaf_rows = self._trees[0]
        np.concatenate([leaf_rows[i] for i in tree.depth_first_leaves()], out=self._order_buffer())

    def reorder(self):
        """Puts the rows in the order write_order wrote, in place: the binned
        matrix, then the per-row vectors through a spent buffer (the
        hessians') or one of their size."""
        positions = self._order_buffer()
        self._reorder_binned(positions)
        spare = np.empty(self.n_rows) if self._hess is None else self._hess.reshape(-1)
        scratch = spare[: self.n_rows]
        vectors = [self.y, *self.raw.reshape(-1, self.n_rows)]
        for optional in (self.weight, self.original):
            if optional is not None:
                vectors.append(optional)
        for vector in vectors:
            # Every per-row vector has items of 8 bytes or fewer.
            out = scratch.view(vector.dtype)[: self.n_rows]
            np.take(vector, positions, out=out, mode="clip")
            vector[:] = out
        if self.z is not None:
            # Column by column: a reordered copy of z would be the largest
            # array of a fit with linear leaves.
            for column in self.z.T:
                np.take(column, positions, out=scratch, mode="clip")
                column[:] = scratch
        release_freed(8 * self.n_rows)

    def _reorder_binned(self, positions):
        """The binned matrix feature by feature (a second matrix would double
        the largest array), on threads that each take a share of the features
        and a feature's worth of room."""
        shares = max(1, min(worker_count(), self.binned.shape[0]))
        room = np.empty((shares, self.n_rows), dtype=self.binned.dtype)

        def move(share, start, stop):
            for codes in self.binned[start:stop]:
                # positions holds every row once, so no index needs the
                # bounds check of take's default mode, which writes through
                # a temporary copy.
                np.take(codes, positions, out=room[share], mode="clip")
                codes[:] = room[share]

        over_shares(move, self.binned.shape[0], shares, self.binned.size)

    def scores_in_block_order(self):
        """The training scores, (n_rows,) or (K, n_rows), in the block's row
        order; for a shard made with track_order."""
        if self.original is None:
            raise ValueError("this shard does not track its row order (track_order=False)")
        out = np.empty_like(self.raw)
        out[..., self.original] = self.raw
        return out
