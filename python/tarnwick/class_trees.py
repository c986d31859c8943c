"""The trees of a softmax round, grown on worker processes.

The K trees of a round depend only on the gradients computed at its start:
tree k reads the gradients of class k and adds its leaf outputs to the
scores of class k alone. The kernels hold the interpreter lock, so one
process grows one tree at a time, and much of a tree (partitions, small
nodes' histograms, the split search, the grower's Python) runs on one core.
On several cores the trees of a round go instead to worker processes, a
class to whichever worker is free: as many as there are threads, at most one
per class, the threads shared out among them. The workers and the fitting
process share the shard's binned matrix, embedding, scores and gradients in
one block of shared memory: nothing of the rows is copied per round, and a
tree and its score update are the ones the fitting process would have made,
bit for bit. The fitting process computes the gradients, reorders the rows
and checks the scores between rounds, while the workers wait.
"""

import contextlib
import mmap
import os
import signal
import socket
import subprocess
import sys
import traceback
import warnings
from multiprocessing.connection import Connection, wait

import numpy as np

from .booster import grow_class_tree
from .shard import Shard
from .splitting import SplitFinder, child_hessian_floor
from .threads import worker_count

# A fit starts workers from WORKER_MIN_ROWS rows and WORKER_MIN_WORK
# row-features x classes x rounds. A worker takes about 0.25 s to start; on
# 2 threads the trees of 10 classes on 20,000 x 32 rows grew as fast on
# workers as in one process (4.4-4.9 against 4.5-5.5 ms per tree), on
# 200,000 rows a fifth faster (18.8-19.2 against 22.3-24.2).
WORKER_MIN_ROWS = 32_768
WORKER_MIN_WORK = 1 << 28

# Seconds a worker gets to end after it is told to, before it is killed;
# to map the shard after it starts (about 0.25 s), before the fit goes on
# without workers.
WORKER_EXIT_SECONDS = 5.0
WORKER_START_SECONDS = 60.0

# The share of a tree's time that more threads do not shorten. On 2 threads
# a softmax round in one process took 1.08-1.15 times less time than on 1
# with 10 features, 1.25-1.54 with 32 (50,000-200,000 rows, 3-10 classes):
# partitions, split searches and the histograms of small nodes run on one
# thread. Their middle, 1.25, is a share of 0.6. A worker's tree took 1.05-1.15
# times as long as one grown in the fitting process on one thread. So on 2
# threads 3 classes or more gain: a round on workers took 0.62-0.92 of the
# time in one process on those shapes, and 1.0-1.03 with 3 classes on 200,000
# rows; whole fits of 100 rounds of 5 classes on 50,000 x 20 rows took 1.67
# against 2.06 s, on 200,000 x 32 rows 7.08 against 7.50 s.
SERIAL_SHARE = 0.6
WORKER_TREE_COST = 1.15

_ALIGN = 64


class SharedArrays:
    """Arrays laid out one after the other in one shared-memory file; a
    process that has the file's descriptor and the layout maps the same
    arrays."""

    def __init__(self, fd, layout):
        self.fd, self.layout = fd, layout
        self._map = mmap.mmap(fd, _file_size(layout))
        self.arrays, offset = [], 0
        for shape, dtype in layout:
            self.arrays.append(np.ndarray(shape, dtype, buffer=self._map, offset=offset))
            offset += _padded(shape, dtype)

    @classmethod
    def create(cls, layout):
        fd = os.memfd_create("tarnwick-shard", os.MFD_CLOEXEC)
        try:
            os.ftruncate(fd, _file_size(layout))
            return cls(fd, layout)
        except BaseException:
            os.close(fd)
            raise

    def close_file(self):
        """Closes the descriptor; the arrays stay mapped."""
        if self.fd >= 0:
            os.close(self.fd)
            self.fd = -1


def _file_size(layout):
    return max(_ALIGN, sum(_padded(shape, dtype) for shape, dtype in layout))


def _padded(shape, dtype):
    size = int(np.prod(shape, dtype=np.int64)) * np.dtype(dtype).itemsize
    return -(-size // _ALIGN) * _ALIGN


def wanted(rows, max_iter):
    """The number of class workers worth starting for a fit on rows (a Shard,
    or the partitions of a distributed fit): 0 unless the loss has several
    outputs, there are several worker threads, the fit is large enough and
    the classes keep the workers busy; never more than the classes."""
    # A frozen application's executable is the application, not Python.
    startable = sys.executable and not getattr(sys, "frozen", False)
    if not isinstance(rows, Shard) or not hasattr(os, "memfd_create") or not startable:
        return 0
    n_out = rows.loss.n_outputs
    work = rows.n_rows * rows.binned.shape[0] * n_out * max_iter
    if n_out < 2 or rows.n_rows < WORKER_MIN_ROWS or work < WORKER_MIN_WORK:
        return 0
    threads = worker_count()
    workers = min(threads, n_out)
    if workers < 2:
        return 0
    # A round on workers takes its waves of trees, each tree on a worker's
    # share of the threads; in one process, its classes' trees one after the
    # other on all of them.
    waves = -(-n_out // workers)
    on_workers = waves * WORKER_TREE_COST / _speed_up(threads // workers)
    return workers if on_workers < n_out / _speed_up(threads) else 0


def _speed_up(threads):
    """How much faster a tree grows on threads than on one, by Amdahl's law
    with SERIAL_SHARE of a tree serial."""
    return 1.0 / (SERIAL_SHARE + (1.0 - SERIAL_SHARE) / threads)


class WorkersUnavailable(RuntimeError):
    """Class workers could not start."""


@contextlib.contextmanager
def class_workers(rows, bins, params):
    """ClassWorkers for a fit on rows, or None where they are not worth it
    (see wanted) or cannot start (a warning says why: the fit goes on in
    this process); the workers end with the block."""
    count = wanted(rows, params.max_iter)
    workers = None
    if count > 0:
        try:
            workers = ClassWorkers(rows, bins, params, count)
        except (OSError, WorkersUnavailable) as exc:
            warnings.warn(
                f"tarnwick grows this fit's trees in one process: its worker "
                f"processes could not start ({exc})",
                RuntimeWarning,
                stacklevel=4,
            )
    if workers is None:
        yield None
        return
    try:
        yield workers
    except BaseException:
        workers.close(at_once=True)
        raise
    workers.close()


class ClassWorkers:
    """Worker processes that grow the trees of a round on a shard, which
    they share with this process: the shard's binned matrix, embedding and
    per-row buffers move into shared memory when the workers start."""

    def __init__(self, shard, bins, params, count):
        self.n_outputs = shard.loss.n_outputs
        shared = _share(shard)
        self._procs, self._conns = [], []
        try:
            # The fit's threads, shared out: on more cores than classes a
            # worker's histograms run on several.
            threads = max(1, worker_count() // count)
            for _ in range(count):
                self._start(shared.fd, threads)
            setup = (shared.layout, shard.loss, bins, params, shard.n_bins_max)
            for conn in self._conns:
                try:
                    conn.send(setup)
                except OSError:
                    raise self._not_started(conn) from None
            for conn in self._conns:
                self._ready(conn)
        except BaseException:
            self.close(at_once=True)
            raise
        finally:
            shared.close_file()

    def _start(self, fd, threads):
        ours, theirs = socket.socketpair()
        env = dict(os.environ, PYTHONPATH=os.pathsep.join(_import_path()))
        env["RAYON_NUM_THREADS"] = str(threads)
        # The learner's few solves are small: BLAS threads would only wait.
        env.update(OMP_NUM_THREADS="1", OPENBLAS_NUM_THREADS="1")
        command = "from tarnwick.class_trees import serve; serve()"
        try:
            proc = subprocess.Popen(
                [sys.executable, "-c", command, str(theirs.fileno()), str(fd)],
                pass_fds=(theirs.fileno(), fd),
                env=env,
                stdin=subprocess.DEVNULL,
            )
        except BaseException:
            ours.close()
            raise
        finally:
            theirs.close()
        self._procs.append(proc)
        self._conns.append(Connection(ours.detach()))

    def _ready(self, conn):
        """Waits for a worker to report that it has mapped the shard."""
        try:
            if not conn.poll(WORKER_START_SECONDS):
                raise WorkersUnavailable(f"no worker was ready in {WORKER_START_SECONDS:g} s")
            kind, value = conn.recv()
        except (EOFError, OSError):
            raise self._not_started(conn) from None
        if kind == "error":
            raise WorkersUnavailable(f"a worker failed to start:\n{value}")

    def _not_started(self, conn):
        return WorkersUnavailable(f"a worker ended with exit code {self._exit_code(conn)}")

    def _exit_code(self, conn):
        """The exit code of the worker at the other end of conn, once it ends."""
        return self._procs[self._conns.index(conn)].wait()

    def grow_round(self, iteration, write_order, bag=None):
        """Round iteration's trees, class by class, grown on the workers from the
        gradients in the shard's buffers, their leaf outputs added to the
        scores; with write_order the worker of class 0 also writes its
        tree's row order for the shard's reorder; bag is the round's draw of
        rows (Shard.draw_rows)."""
        trees = [None] * self.n_outputs
        pending = iter(range(self.n_outputs))
        busy = {}

        def hand_out(conn):
            k = next(pending, None)
            if k is not None:
                try:
                    conn.send((iteration, k, write_order and k == 0, bag))
                except OSError:
                    raise self._ended(conn, k) from None
                busy[conn] = k

        for conn in self._conns:
            hand_out(conn)
        while busy:
            for conn in wait(list(busy)):
                k = busy.pop(conn)
                trees[k] = self._reply(conn, k)
                hand_out(conn)
        return trees

    def _reply(self, conn, k):
        try:
            kind, value = conn.recv()
        except (EOFError, OSError):
            raise self._ended(conn, k) from None
        if kind == "error":
            raise RuntimeError(f"growing class {k}'s tree failed in a worker process:\n{value}")
        return value

    def _ended(self, conn, k):
        return RuntimeError(
            f"the worker process growing class {k}'s tree ended (exit code {self._exit_code(conn)})"
        )

    def close(self, at_once=False):
        """Tells the workers to end, and kills those that do not in time;
        at_once (a fit that failed or was interrupted) kills them, whatever
        tree they are growing."""
        for conn in self._conns:
            with contextlib.suppress(OSError):
                conn.send(None)
            conn.close()
        for proc in self._procs:
            try:
                proc.wait(0 if at_once else WORKER_EXIT_SECONDS)
            except subprocess.TimeoutExpired:
                proc.kill()
                proc.wait()
        self._procs, self._conns = [], []


def _share(shard):
    """Moves the shard's binned matrix, embedding and per-row buffers into
    one block of shared memory; returns the block, its arrays in the order
    binned, raw, grad, hess, z (those that exist)."""
    raw, grad, hess = shard.raw, shard._grad, shard._hess
    own = [a for a in (shard.binned, raw, grad, hess, shard.z) if a is not None]
    shared = SharedArrays.create([(a.shape, a.dtype.str) for a in own])
    for mine, theirs in zip(own, shared.arrays):
        theirs[...] = mine
    moved = iter(shared.arrays)
    shard.binned, shard.raw, shard._grad = next(moved), next(moved), next(moved)
    shard._hess = next(moved) if hess is not None else None
    shard.z = next(moved) if shard.z is not None else None
    return shared


def _import_path():
    """This process's import path, for a worker to import the same tarnwick."""
    return [os.path.abspath(entry or os.curdir) for entry in sys.path]


class _ClassGrower:
    """A worker's side: the shared shard, and what growing a tree needs."""

    def __init__(self, fd, layout, loss, bins, params, n_bins_max):
        self.arrays = SharedArrays(fd, layout)
        arrays = iter(self.arrays.arrays)
        binned = next(arrays)
        buffers = next(arrays), next(arrays), next(arrays) if loss.needs_hess_buffer else None
        z = next(arrays, None)
        # The targets stay with the fitting process: a worker's shard never
        # computes gradients or reorders.
        self.shard = Shard(binned, np.empty(0), None, z, loss, n_bins_max, buffers=buffers)
        self.bins, self.params = bins, params
        self.finder = SplitFinder(bins, params.split, child_hessian_floor(loss))

    def grow(self, iteration, k, write_order, bag):
        shard = self.shard
        shard.draw_rows(bag)
        shard.take_gradients()
        self.finder.start_round(iteration)
        tree = grow_class_tree(shard, k, self.finder, self.bins, self.params)
        if write_order:
            shard.write_order()
        shard.end_round(False)
        return tree


def serve():
    """A worker's loop: the setup, then a class per request until told to
    end or the fitting process goes."""
    # The fitting process ends its workers; an interrupt from the terminal
    # goes to it (and to the whole process group).
    signal.signal(signal.SIGINT, signal.SIG_IGN)
    conn, fd = Connection(int(sys.argv[1])), int(sys.argv[2])
    try:
        setup = conn.recv()
        try:
            grower = _ClassGrower(fd, *setup)
        except Exception as exc:
            conn.send(("error", "".join(traceback.format_exception(exc))))
            return
        os.close(fd)
        conn.send(("ready", None))
        while (request := conn.recv()) is not None:
            try:
                reply = ("tree", grower.grow(*request))
            except Exception as exc:
                reply = ("error", "".join(traceback.format_exception(exc)))
            conn.send(reply)
    except (EOFError, OSError):
        pass
