"""The learner's own NumPy passes on threads.

NumPy's sorting, searching, gathering and ufuncs release the interpreter
lock, so a pass that treats each row (or each column) on its own can run in
pieces on a thread pool and give the same bits as one pass over everything.
"""

import os
import threading
from concurrent.futures import ThreadPoolExecutor

# Rows per piece of a pass over the rows: a piece hides the hand-off to a
# thread, and a softmax round's classes of one piece stay in cache.
CHUNK_ROWS = 32_768
# Values below which a pass over the rows stays on the calling thread:
# softmax gradients of 10 x 50,000 rows took as long in pieces as in one
# pass, of 10 x 200,000 rows half as long at 2 threads.
THREADED_VALUES = 1 << 20
# Values below which a pass over a matrix in pieces (binning, reordering the
# binned rows) stays on the calling thread, where handing each piece to a
# thread costs more than its work: binning 1,347 x 64 values took 33 ms on 2
# threads against 13 on one, 426 x 30 values 12 against 4; 20,000 x 12 took
# 14 against 18.
THREADED_MATRIX_VALUES = 1 << 17

_pool = None  # (workers, executor), made on first use
_pool_lock = threading.Lock()


def worker_count():
    """Threads for the learner's NumPy passes: the worker pool's count,
    RAYON_NUM_THREADS, else the processors this process may use. Results do
    not depend on it."""
    given = os.environ.get("RAYON_NUM_THREADS", "")
    if given.isdigit() and int(given) > 0:
        return int(given)
    return len(os.sched_getaffinity(0))


def _executor():
    """A pool of worker_count() threads kept for the process: starting
    threads for every pass would cost more than a small pass. A new count
    gets a new pool."""
    global _pool
    workers = worker_count()
    with _pool_lock:
        if _pool is None or _pool[0] != workers:
            if _pool is not None:
                _pool[1].shutdown(wait=False)
            _pool = (workers, ThreadPoolExecutor(workers, "tarnwick"))
        return _pool[1]


def _forget_pool():
    """A forked child has none of its parent's threads (nor its lock's holder)."""
    global _pool, _pool_lock
    _pool, _pool_lock = None, threading.Lock()


os.register_at_fork(after_in_child=_forget_pool)


def map_all(fn, items, values=None):
    """[fn(item) for item in items], run on the learner's threads; on the
    calling thread for a pass over a matrix of fewer than
    THREADED_MATRIX_VALUES values (values, if given)."""
    if values is not None and values < THREADED_MATRIX_VALUES:
        return [fn(item) for item in items]
    return list(_executor().map(fn, items))


def over_row_chunks(fn, n_rows, values_per_row=1):
    """Calls fn(start, stop) on pieces of [0, n_rows) that together cover it
    once, when the pass covers at least THREADED_VALUES values: on several
    threads when there are several workers, else one after the other (a
    piece's values stay in cache from one step of the pass to the next:
    softmax gradients of 10 x 200,000 rows took 17.5 ms in pieces against
    22.7 in one pass on one thread). A smaller pass is one call."""
    if n_rows * values_per_row < THREADED_VALUES:
        fn(0, n_rows)
        return
    pieces = [(start, min(start + CHUNK_ROWS, n_rows)) for start in range(0, n_rows, CHUNK_ROWS)]
    if min(worker_count(), len(pieces)) <= 1:
        for start, stop in pieces:
            fn(start, stop)
    else:
        map_all(lambda piece: fn(*piece), pieces)


def over_shares(fn, n_items, most, values=None):
    """Calls fn(share, start, stop) on contiguous shares of range(n_items), a
    share per thread: as many shares as workers, but at most most; one share
    for a pass over a matrix of fewer than THREADED_MATRIX_VALUES values
    (values, if given)."""
    shares = max(1, min(worker_count(), n_items, most))
    if values is not None and values < THREADED_MATRIX_VALUES:
        shares = 1
    bounds = [n_items * i // shares for i in range(shares + 1)]
    if shares == 1:
        fn(0, 0, n_items)
        return
    map_all(lambda share: fn(share, bounds[share], bounds[share + 1]), range(shares))
