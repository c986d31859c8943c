"""Data-parallel training on Dask, with models that do not depend on the cluster.

    from distributed import Client
    from tarnwick.dask import DaskTarnwickRegressor

    client = Client("tcp://scheduler:8786")  # or Client(LocalCluster(...))
    model = DaskTarnwickRegressor(max_iter=200).fit(X, y)  # Dask Array or DataFrame
    model.predict(X_new)  # a Dask array, computed where the partitions are
    model.to_local()  # the equivalent TarnwickRegressor

How a fit runs. Each partition of X is checked, binned and kept on the worker
that holds it, in one Shard per partition, inside one actor per worker
(WorkerShards); nothing of the training rows moves after that. Bin edges come
from per-partition summaries merged in partition order. The client runs the
boosting loop of the single-process estimators: per node it asks every
worker for the histogram of the node's rows in its partitions (the smaller
child's only; the larger one is the parent's minus it), adds them up, finds
the split, and sends the rule back with the next request, so that a tree of
L leaves costs at most L round trips (fewer, as the workers split the best
leaves left ahead: rows.py). Gradients, scores and linear-leaf statistics
are computed on the workers; their per-partition sums are added in
partition order.

Determinism. Every native function is bit-reproducible, and every sum over
partitions is either added in partition order or exact (the histograms
below a tree's root, which each worker adds up for its partitions: see
wire.py), so the model file is the same for any number of workers and
threads per worker, given the data and its partitioning; with one partition
it is the single-process model's.

Faults. A worker lost during fit ends it with WorkerLostError (see rows.py
for how soon); bad input gets the single-process estimators' errors.
"""

from .estimators import DaskTarnwickClassifier, DaskTarnwickRegressor, load_model
from .rows import WorkerLostError

__all__ = ["DaskTarnwickClassifier", "DaskTarnwickRegressor", "WorkerLostError", "load_model"]
