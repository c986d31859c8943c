"""The training rows that one worker holds, as a Dask actor.

One WorkerShards per worker (not per partition): it bins the partitions
that this worker holds into one Shard each, keeps them for the whole fit,
and runs the client's requests on all of them, so that one message per
worker and request carries the results of all its partitions. Shards are
never merged: each keeps its partition's rows, and the client adds their
results in partition order, which is what makes the model independent of
where the partitions live.
"""

from distributed import get_worker

from .. import binning, embedding
from ..shard import Shard
from . import channel
from .wire import pack

# The Shard methods whose results are histograms (or None).
HISTOGRAMS = frozenset({"start_tree", "split"})
# The Shard methods that the client may call, and only those.
REQUESTS = frozenset(
    {
        "init_sums",
        "set_scores",
        "compute_gradients",
        "start_tree",
        "split",
        "end_tree",
        "leaf_sums",
        "add_leaf_outputs",
        "loss_sums",
        "end_round",
    }
)


class WorkerShards:
    """The Shards of the partitions parts (Partition objects, in partition
    order) that live on this worker."""

    def __init__(self, parts, bins, emb, loss):
        self.shards = []
        for part in parts:
            z = embedding.transform(emb, part.x, None)
            binned = binning.bin_rows(bins, part.x)
            self.shards.append(Shard(binned, part.y, part.weight, z, loss, bins.n_bins_max))

    def run(self, requests):
        """Runs requests, a list of (method, args, wanted), on every Shard in
        turn; returns, for each wanted request, the list of its results per
        Shard (histograms packed for the wire)."""
        out = []
        for method, args, wanted in requests:
            if method not in REQUESTS:
                raise ValueError(f"unknown request {method!r}")
            results = [getattr(shard, method)(*args) for shard in self.shards]
            if wanted:
                if method in HISTOGRAMS:
                    results = [
                        None if h is None else pack(h, shard.n_rows, shard.counts_hessian)
                        for shard, h in zip(self.shards, results)
                    ]
                out.append(results)
        return out

    def open_channel(self):
        """Serves run on a channel of its own; (host, port, token) to reach it."""
        return channel.serve(self.run, get_worker().address)
