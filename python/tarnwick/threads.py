"""The learner's own NumPy passes on threads.

NumPy's sorting, searching, gathering and ufuncs release the interpreter
lock, so a pass that treats each row (or each column) on its own can run in
pieces on a thread pool and give the same bits as one pass over everything.
"""

import os
from concurrent.futures import ThreadPoolExecutor

# Rows per piece of a pass over the rows: a piece hides the hand-off to a
# thread, and a softmax round's classes of one piece stay in cache.
CHUNK_ROWS = 32_768


def worker_count():
    """Threads for the learner's NumPy passes: the worker pool's count,
    RAYON_NUM_THREADS, else the processors this process may use. Results do
    not depend on it."""
    given = os.environ.get("RAYON_NUM_THREADS", "")
    if given.isdigit() and int(given) > 0:
        return int(given)
    return len(os.sched_getaffinity(0))


def over_row_chunks(fn, n_rows):
    """Calls fn(start, stop) on pieces of [0, n_rows) that together cover it
    once, on several threads when there are several workers and pieces."""
    starts = range(0, n_rows, CHUNK_ROWS)
    workers = min(worker_count(), len(starts))
    if workers <= 1:
        fn(0, n_rows)
        return
    with ThreadPoolExecutor(workers) as pool:
        list(pool.map(lambda start: fn(start, min(start + CHUNK_ROWS, n_rows)), starts))


def over_shares(fn, n_items, most):
    """Calls fn(share, start, stop) on contiguous shares of range(n_items), a
    share per thread: as many shares as workers, but at most most."""
    shares = max(1, min(worker_count(), n_items, most))
    bounds = [n_items * i // shares for i in range(shares + 1)]
    if shares == 1:
        fn(0, 0, n_items)
        return
    with ThreadPoolExecutor(shares) as pool:
        list(pool.map(fn, range(shares), bounds[:-1], bounds[1:]))
