"""Many Python threads calling the functions at once.

The interpreter lock serialises the calls, so every thread must get exactly
what a sequential call gives, bit for bit or the same exception and message,
with no deadlock: also while other threads' calls fault inside the pool's
workers, when the pool is first created under contention, with tracemalloc
hooking the allocator, and in a child forked after the pool exists. Each
scenario runs in a child interpreter with a time limit, so a deadlock fails a
test instead of hanging the run. scripts/tsan.sh runs this file under
ThreadSanitizer.
"""

import os
import subprocess

import pytest
from support import run_python

TESTS = os.path.dirname(os.path.abspath(__file__))
TIME_LIMIT = 120

PRELUDE = f"""
import os, struct, sys, threading
sys.path.insert(0, {TESTS!r})
import numpy as np
import tarnwick_native as tn
from test_leaks import CASES

def fingerprint(value):
    if isinstance(value, np.ndarray):
        return (value.dtype.str, value.shape, value.tobytes())
    if isinstance(value, (tuple, list)):
        return (type(value).__name__, tuple(fingerprint(v) for v in value))
    if isinstance(value, float):
        return struct.pack("<d", value)
    return value

def outcome(case):
    name, args, _ = CASES[case]
    try:
        return fingerprint(getattr(tn, name)(*args))
    except BaseException as exc:
        return (type(exc).__name__, str(exc))
"""


def run_child(code, threads):
    try:
        proc = run_python(PRELUDE + code, threads=threads, timeout=TIME_LIMIT)
    except subprocess.TimeoutExpired:
        pytest.fail(f"no answer within {TIME_LIMIT} s: a deadlock")
    assert proc.returncode == 0, proc.stderr.decode(errors="replace")[-4000:]
    return proc.stdout.decode().split()


CONCURRENT = """
sys.setswitchinterval(1e-5)
cases = [c for c in CASES if {select}]
n_threads, rounds = 8, {rounds}
seen = [[] for _ in range(n_threads)]
start = threading.Barrier(n_threads)

def caller(k):
    start.wait()
    for i in range(rounds):
        case = cases[(k * 5 + i) % len(cases)]
        seen[k].append((case, outcome(case)))

threads = [threading.Thread(target=caller, args=(k,), daemon=True) for k in range(n_threads)]
for t in threads:
    t.start()
for t in threads:
    t.join({limit})
if any(t.is_alive() for t in threads):
    print("deadlock")
    os._exit(3)
# The same calls one after another on this thread, after the threads are done
# (so the pool, if any, was created while they competed for it).
expected = {{case: outcome(case) for case in cases}}
wrong = sorted({{case for calls in seen for case, got in calls if got != expected[case]}})
print(len(cases), sum(map(len, seen)), *wrong)
"""

# Parallel-sized calls, and faults inside the pool's workers, of every
# function with a parallel branch; serial calls and serial faults in between.
PARALLEL = "'parallel' in c or 'worker' in c"
MIXED = "True"


@pytest.mark.parametrize("threads", [1, 2, 4])
def test_threads_calling_parallel_branches_agree_with_sequential_calls(threads):
    out = run_child(CONCURRENT.format(select=PARALLEL, rounds=12, limit=TIME_LIMIT - 30), threads)
    n_cases, n_calls = int(out[0]), int(out[1])
    assert n_cases >= 9 and n_calls == 8 * 12
    assert out[2:] == [], f"threads disagreed with sequential calls: {out[2:]}"


def test_threads_calling_every_path_agree_with_sequential_calls():
    out = run_child(CONCURRENT.format(select=MIXED, rounds=40, limit=TIME_LIMIT - 30), 2)
    assert int(out[1]) == 8 * 40
    assert out[2:] == [], f"threads disagreed with sequential calls: {out[2:]}"


def test_parallel_calls_finish_while_tracemalloc_hooks_the_allocator():
    # tracemalloc's hook on the raw allocator takes the interpreter lock; the
    # caller holds it while it waits for the pool, so a worker that allocated
    # through that domain would wait for ever.
    out = run_child(
        f"""
import tracemalloc
tracemalloc.start()
cases = [c for c in CASES if {PARALLEL}]
for case in cases:
    outcome(case)
print("done", len(cases))
""",
        2,
    )
    assert out[0] == "done"


def test_forked_child_gets_a_working_pool():
    out = run_child(
        f"""
cases = [c for c in CASES if {PARALLEL}]
before = {{case: outcome(case) for case in cases}}
pid = os.fork()
if pid == 0:
    same = all(outcome(case) == before[case] for case in cases)
    os._exit(0 if same else 1)
_, status = os.waitpid(pid, 0)
print("child", os.waitstatus_to_exitcode(status))
""",
        2,
    )
    assert out == ["child", "0"]
