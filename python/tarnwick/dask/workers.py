"""The training rows that one worker holds, as a Dask actor.

One WorkerShards per worker (not per partition): it bins the partitions
that this worker holds into one Shard each, keeps them for the whole fit,
and runs the client's requests on all of them, so that one message per
worker and request carries the results of all its partitions. Shards are
never merged: each keeps its partition's rows. The client adds their
results in partition order, except the histograms of a tree's nodes below
the root: once the client has sent the tree's bound (use_exponent), a
worker of several partitions adds them exactly (wire.py) and sends one.
Both make the model independent of where the partitions live.
"""

from distributed import get_worker

from .. import binning, embedding
from ..shard import Shard
from . import channel
from .wire import exact_parts, pack

# The Shard methods that the client may call, and only those.
REQUESTS = frozenset(
    {
        "bin_counts",
        "keep_columns",
        "init_sums",
        "set_scores",
        "compute_gradients",
        "start_tree",
        "split",
        "split_ahead",
        "take_ahead",
        "end_tree",
        "leaf_sums",
        "add_leaf_outputs",
        "loss_sums",
        "end_round",
    }
)


class WorkerShards:
    """The Shards of the partitions parts (Partition objects, in partition
    order) that live on this worker; numbers are the partitions' numbers in
    the fit, which seed the rows they draw."""

    def __init__(self, parts, bins, emb, loss, numbers):
        self.shards = []
        for part, number in zip(parts, numbers):
            z = embedding.transform(emb, part.x, None)
            binned = binning.bin_rows(bins, part.x)
            shard = Shard(binned, part.y, part.weight, z, loss, bins.n_bins_max)
            shard.stream = number
            self.shards.append(shard)
        # The bound of the exact sums of the current tree, if the client sent one.
        self.exponent = None

    def run(self, requests):
        """Runs requests, a list of (method, args, wanted), on every Shard in
        turn; returns, for each wanted request, its results: per Shard, or
        one exact sum of the split histograms of all (histograms packed for
        the wire; a root's with its Shard's gradient magnitude)."""
        out = []
        for method, args, wanted in requests:
            if method == "use_exponent":
                (self.exponent,) = args
                continue
            if method not in REQUESTS:
                raise ValueError(f"unknown request {method!r}")
            if method == "start_tree":
                self.exponent = None
            results = [getattr(shard, method)(*args) for shard in self.shards]
            if not wanted:
                continue
            if method == "start_tree":
                results = [
                    (self._packed(shard, h), shard.gradient_magnitude(args[0]))
                    for shard, h in zip(self.shards, results)
                ]
            elif method in ("split", "split_ahead"):
                results = self._split_histograms(results)
            out.append(results)
        return out

    def _split_histograms(self, hists):
        if self.exponent is None or len(self.shards) == 1:
            return [self._packed(shard, h) for shard, h in zip(self.shards, hists)]
        pairs = [(h, shard.counts_hessian) for shard, h in zip(self.shards, hists)]
        return [exact_parts(pairs, self.exponent)]

    @staticmethod
    def _packed(shard, hist):
        return None if hist is None else pack(hist, shard.n_rows, shard.counts_hessian)

    def open_channel(self):
        """Serves run on a channel of its own; (host, port, token) to reach it."""
        return channel.serve(self.run, get_worker().address)
