"""Shared by the kernel benchmarks: each thread count runs in its own process,
since the worker pool reads RAYON_NUM_THREADS once, when it is created."""

import json
import os
import subprocess
import sys

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


def run_at_thread_count(module, threads, *args):
    """Runs `python -m module --threads N args...` from the repository root
    with RAYON_NUM_THREADS=N and returns the JSON value it prints."""
    env = dict(os.environ, RAYON_NUM_THREADS=str(threads))
    env.pop("RAYON_RS_NUM_CPUS", None)
    out = subprocess.run(
        [sys.executable, "-m", module, "--threads", str(threads), *map(str, args)],
        env=env,
        check=True,
        capture_output=True,
        text=True,
        cwd=ROOT,
    ).stdout
    return json.loads(out)


def timed_runs(fn, repeat):
    """Seconds of each of `repeat` calls of fn, after one warm-up call."""
    import time

    fn()
    times = []
    for _ in range(repeat):
        start = time.perf_counter()
        fn()
        times.append(time.perf_counter() - start)
    return times
