"""Helpers shared by the test modules."""

import os
import pickle
import subprocess
import sys
import textwrap


def run_python(code, threads=None, env=None, timeout=300):
    """Runs code in a fresh interpreter and returns the completed process.

    threads sets RAYON_NUM_THREADS for that process (the pool reads it once,
    when it is created, so each thread count needs its own process).
    """
    full_env = dict(os.environ)
    full_env.pop("RAYON_NUM_THREADS", None)
    full_env.pop("RAYON_RS_NUM_CPUS", None)
    if threads is not None:
        full_env["RAYON_NUM_THREADS"] = str(threads)
    full_env.update(env or {})
    return subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)],
        capture_output=True,
        env=full_env,
        timeout=timeout,
    )


def results_in_subprocess(code, threads=None, env=None):
    """Runs code that leaves its answer in a variable named `result`, and
    returns that value (unpickled) from a fresh interpreter."""
    script = textwrap.dedent(code) + (
        "\nimport pickle, sys\nsys.stdout.buffer.write(pickle.dumps(result))\n"
    )
    proc = run_python(script, threads=threads, env=env)
    if proc.returncode != 0:
        raise AssertionError(
            f"subprocess failed ({proc.returncode}):\n{proc.stderr.decode(errors='replace')}"
        )
    return pickle.loads(proc.stdout)


def same_bits(a, b):
    """Byte-for-byte equality of two arrays (NaN payloads and signed zeros included)."""
    import numpy as np

    a = np.ascontiguousarray(a)
    b = np.ascontiguousarray(b)
    return a.dtype == b.dtype and a.shape == b.shape and a.tobytes() == b.tobytes()
