"""Helpers shared by the test modules."""

import os
import pathlib
import pickle
import shutil
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


def expect_fault(panic_type, message, name, *args, **kwargs):
    """The module's function `name` and its reference both fail with `message`."""
    import pytest
    import reference
    import tarnwick_native as tn

    with pytest.raises(panic_type) as info:
        getattr(tn, name)(*args, **kwargs)
    assert str(info.value) == message
    with pytest.raises(reference.Fault) as info:
        getattr(reference, name)(*args, **kwargs)
    assert message in info.value.messages, info.value.messages


REPO = pathlib.Path(__file__).resolve().parent.parent
NATIVE = REPO / "tests" / "native"


def compile_cpp(program, sources, flags=()):
    """Builds a native test program from C++ sources (paths relative to the
    repository, or absolute) with the module's floating-point rules and every
    warning an error; skips the test when g++ is missing."""
    import sysconfig

    import pytest

    if shutil.which("g++") is None:
        pytest.skip("g++ is not available")
    cmd = [
        "g++",
        "-std=c++20",
        "-ffp-contract=off",
        "-pthread",
        "-Wall",
        "-Wextra",
        "-Werror",
        "-Wno-psabi",
        f"-I{REPO / 'src'}",
        f"-I{sysconfig.get_paths()['include']}",
        *flags,
        "-o",
        str(program),
        *(str(REPO / s) for s in sources),
    ]
    proc = subprocess.run(cmd, capture_output=True, text=True)
    assert proc.returncode == 0, proc.stderr
    return program


def run_native(tmp_path, main, sources=(), flags=("-O3",)):
    """Compiles the test program tests/native/<main> together with the named
    sources, runs it, and returns its standard output, stripped."""
    program = compile_cpp(tmp_path / pathlib.Path(main).stem, [NATIVE / main, *sources], flags)
    run = subprocess.run([str(program)], capture_output=True, text=True, timeout=300)
    assert run.returncode == 0, run.stdout + run.stderr
    return run.stdout.strip()
