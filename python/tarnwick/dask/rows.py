"""The training rows of a Dask fit, as the boosting loop sees them.

DaskRows offers the interface of one Shard (booster.Boosting and
grower.grow_tree drive it unchanged) over the WorkerShards actors of a fit.
Every result is a sum over the partitions, added in partition order with
leaves.add_in_order, leaves.combine_leaf_sums and (root histograms, in
their packed form) wire.add_packed, or exactly (the histograms of the other
nodes, wire.add_exact, each worker sending the exact sum of its
partitions'), so that it does not depend on which worker holds which
partition; with one partition it is that partition's result unchanged, as
in a single-process fit.

Round trips. A request that returns nothing (scores, gradients, the last
split of a tree, leaf outputs, the end of a round) is held back and sent
with the next request that returns something, in the same message. So a
tree of L leaves costs at most L round trips: the root's histogram (with the
round's gradients), one per split that needs a child's histogram (the
partition and the smaller child's histogram travel together), and the leaf
sums. Each round trip is one message to every worker, answered with the
results of all that worker's partitions (histograms packed, wire.py; below
the root, one exact sum for all of them).

Splitting ahead. With each split that needs a round trip the grower names
the best leaves left in its queue, and the workers split the first two not
split yet (Shard.split_ahead): their rows are partitioned and their smaller
children's histograms come back in the same answer. When the grower gets to
such a leaf, its split costs no round trip (the children are numbered then,
with the next message). The best leaves left in the queue are nearly always
split later in a tree of many leaves, so most round trips go; one split
ahead but never made costs its passes, and changes nothing else.

The requests go from the client straight to the workers, over a channel
of their own (channel.py) on tcp:// clusters, else as Dask actor calls run
on the worker's event loop (through the scheduler for a client made with
direct_to_workers=False, which cannot reach the workers).

Faults. A request waits for its answers in slices of POLL_SECONDS; between
slices the client asks the scheduler whether the workers are still there.
A worker that is gone (its process died, or the scheduler dropped it after
missing heartbeats) ends the fit with WorkerLostError: its partitions'
binned rows and training scores existed only in that worker, so the fit
cannot go on. A broken connection to a worker ends it at once.
"""

import asyncio
import concurrent.futures
import pickle

import numpy as np
from distributed.protocol import to_serialize

from ..leaves import add_in_order, combine_leaf_sums
from . import channel
from .wire import add_exact, add_packed, exact_exponent

POLL_SECONDS = 1.0


class WorkerLostError(RuntimeError):
    """A worker that held training rows left the cluster during a fit."""


class WorkerRows:
    """One worker's actor (the future of its WorkerShards), the partitions it
    holds (indices, ascending) and the channel to it, if any."""

    def __init__(self, address, future, parts):
        self.address, self.future, self.parts = address, future, parts
        self.channel = None


def payload_bytes(obj):
    """Bytes of the arrays in a result (nested tuples and lists): about what
    Dask's calls carry; the channels count their bytes exactly."""
    if isinstance(obj, np.ndarray):
        return obj.nbytes
    if isinstance(obj, tuple | list):
        return sum(payload_bytes(o) for o in obj)
    return 8


class DaskRows:
    """The training rows of the partitions that the workers hold, n_parts
    partitions in all."""

    def __init__(self, client, workers, n_parts):
        self.client, self.workers, self.n_parts = client, workers, n_parts
        self._pending = []
        # The bound of the current tree's exact sums (None: in partition order).
        self._exponent = None
        # Per node split ahead on the workers, its smaller child's histogram.
        self._ahead = {}
        self.round_trips = 0
        self.bytes_sent = 0
        self.bytes_received = 0
        for worker in workers:
            if channel.usable(client, worker.address):
                worker.channel = channel.Channel(*self._on_loop(self._call(worker, "open_channel")))

    # ------------------------------------------------------------ messages

    def _defer(self, method, *args):
        self._pending.append((method, args, False))

    def _ask(self, method, *args):
        """The results of method on every partition, in partition order,
        after the requests held back."""
        return self._per_part([answer[0] for answer in self._ask_all([(method, args)])])

    def _per_part(self, answers):
        """The workers' results of one request (lists over their
        partitions), in partition order."""
        per_part = [None] * self.n_parts
        for worker, results in zip(self.workers, answers):
            for index, result in zip(worker.parts, results):
                per_part[index] = result
        return per_part

    def _ask_all(self, wanted):
        """Each worker's answers to the (method, args) of wanted, after the
        requests held back, in one round trip."""
        requests = [*self._pending, *((method, args, True) for method, args in wanted)]
        self._pending = []
        return self._exchange(requests)

    def _exchange(self, requests):
        """Sends requests to every worker at once; their answers."""
        self.round_trips += 1
        if all(worker.channel is not None for worker in self.workers):
            return self._exchange_on_channels(requests)
        self.bytes_sent += len(pickle.dumps(requests)) * len(self.workers)
        answers = self._on_loop(self._calls(requests))
        self.bytes_received += payload_bytes(answers)
        return answers

    def _exchange_on_channels(self, requests):
        message = channel.encode(requests)
        for worker in self.workers:
            try:
                self.bytes_sent += worker.channel.send(message)
            except OSError as exc:
                raise self._lost(worker) from exc
        answers = []
        for worker in self.workers:
            try:
                answer, size = worker.channel.receive(POLL_SECONDS, lambda w=worker: self._alive(w))
            except (EOFError, OSError) as exc:
                raise self._lost(worker) from exc
            answers.append(answer)
            self.bytes_received += size
        return answers

    def _on_loop(self, coroutine):
        """The result of coroutine, run on the client's event loop."""
        calls = asyncio.run_coroutine_threadsafe(coroutine, self.client.loop.asyncio_loop)
        while True:
            try:
                return calls.result(timeout=POLL_SECONDS)
            except concurrent.futures.TimeoutError:
                for worker in self.workers:
                    if not self._alive(worker):
                        calls.cancel()
                        raise self._lost(worker) from None

    async def _calls(self, requests):
        return await asyncio.gather(
            *(self._call(worker, "run", requests) for worker in self.workers)
        )

    async def _call(self, worker, function, *args):
        """WorkerShards.function(*args) on worker, on its event loop: a
        thread of its own would add two thread switches to every call."""
        message = dict(
            actor=worker.future.key,
            function=function,
            args=[to_serialize(a) for a in args],
            kwargs={"separate_thread": False},
        )
        try:
            if self.client.direct_to_workers is False:
                reply = await self.client.scheduler.proxy(
                    msg=dict(message, op="actor_execute"), worker=worker.address
                )
            else:
                reply = await self.client.rpc(worker.address).actor_execute(**message)
        except OSError as exc:
            raise self._lost(worker) from exc
        if reply["status"] != "OK":
            raise reply["exception"]
        return reply["result"]

    def _alive(self, worker):
        known = self.client.scheduler_info(n_workers=-1)["workers"]
        return worker.address in known and worker.future.status == "finished"

    def _lost(self, worker):
        return WorkerLostError(
            f"worker {worker.address} was lost during fit (it left the cluster or its "
            f"connection broke); it held the training state of partitions {worker.parts}, "
            "so the fit cannot go on. Fit again: the model does not depend on the number "
            "of workers."
        )

    def close(self):
        """Drops the actors (and with them the binned rows on the workers)."""
        for worker in self.workers:
            if worker.channel is not None:
                worker.channel.close()
            worker.future.release()
        self.workers = []

    # ------------------------------------------------------- a Shard's interface

    def init_sums(self):
        return add_in_order(self._ask("init_sums"))

    def set_scores(self, init_score):
        self._defer("set_scores", init_score)

    def compute_gradients(self, bag=None):
        self._defer("compute_gradients", bag)

    def least_hessian(self, k):
        """Not gathered from the workers: every split's children are
        checked against the hessian floor."""
        return 0.0

    def start_tree(self, k, build):
        if not build:
            self._defer("start_tree", k, False)
            return None
        hists, magnitudes = zip(*self._ask("start_tree", k, True))
        self._exponent = exact_exponent(magnitudes)
        self._defer("use_exponent", self._exponent)
        self._ahead = {}
        return add_packed(hists)

    # Leaves split ahead at most per round trip: a second one saves a
    # quarter of the round trips that one leaves; a third saves fewer, wastes
    # more passes on leaves never split, and was no faster.
    splits_ahead = 2

    def split(self, node, split, left, right, build, ahead=()):
        if node in self._ahead:
            hist = self._ahead.pop(node)
            self._defer("take_ahead", node, left, right)
            return hist if build is not None else None
        if build is None:
            self._defer("split", node, split, left, right, None)
            return None
        fresh = [a for a in ahead if a[0] not in self._ahead][: self.splits_ahead]
        answers = self._ask_all(
            [("split", (node, split, left, right, build))] + [("split_ahead", a) for a in fresh]
        )
        for i, (leaf, _, _) in enumerate(fresh, start=1):
            self._ahead[leaf] = self._histogram([answer[i] for answer in answers])
        return self._histogram([answer[0] for answer in answers])

    def _histogram(self, answers):
        """The node histogram of the workers' answers to one request."""
        if self._exponent is not None:
            return add_exact([h for answer in answers for h in answer], self._exponent)
        return add_packed(self._per_part(answers))

    def bin_counts(self):
        """Rows per feature and bin, summed over the partitions: whole
        numbers, the same in any order."""
        return add_in_order(self._ask("bin_counts"))

    def keep_columns(self, columns):
        self._defer("keep_columns", columns)

    def end_tree(self, tree):
        self._defer("end_tree", tree)

    def leaf_sums(self):
        per_part = self._ask("leaf_sums")
        return [combine_leaf_sums([p[k] for p in per_part]) for k in range(len(per_part[0]))]

    def add_leaf_outputs(self, tables):
        self._defer("add_leaf_outputs", tables)

    def loss_sums(self):
        return add_in_order(self._ask("loss_sums"))

    def end_round(self, reorder):
        self._defer("end_round", reorder)
