"""The worker pool: its size rules (through a small native probe over fixture
control-group trees), the scheduler on its own (a native check program, also
under ThreadSanitizer), and the pool as the module's parallel branches use it:
same bytes for any thread count, faults in workers, threads started only when
needed, fork and concurrent Python threads."""

import math
import os
import subprocess
import threading
from pathlib import Path

import numpy as np
import pytest
import tarnwick_native as tn
from support import compile_cpp, results_in_subprocess, run_python, same_bits

FIXTURES = Path(__file__).resolve().parent / "fixtures" / "cgroup"
SIZE_SOURCES = ["src/parallel/pool_size.cpp", "src/parallel/cgroup_quota.cpp"]
POOL_SOURCES = SIZE_SOURCES + [
    "src/parallel/pool.cpp",
    "src/parallel/worker_thread.cpp",
    "src/frame/fault.cpp",
    "src/frame/text.cpp",
]
CPUS = len(os.sched_getaffinity(0))
POOL_FAILED = "The global thread pool has not been initialized.: "


# ------------------------------------------------------------ native programs


# Built for debugging: these programs check scheduling, not speed.
NATIVE_FLAGS = ("-O1", "-g")


@pytest.fixture(scope="session")
def size_probe(tmp_path_factory):
    # Only the pool-size sources: they must build without Python.
    out = tmp_path_factory.mktemp("native") / "pool_size_probe"
    return compile_cpp(out, ["tests/native/pool_size_probe.cpp", *SIZE_SOURCES], NATIVE_FLAGS)


@pytest.fixture(scope="session")
def pool_check(tmp_path_factory):
    out = tmp_path_factory.mktemp("native") / "pool_check"
    return compile_cpp(out, ["tests/native/pool_check.cpp", *POOL_SOURCES], NATIVE_FLAGS)


@pytest.fixture(scope="session")
def pool_check_tsan(tmp_path_factory):
    out = tmp_path_factory.mktemp("native") / "pool_check_tsan"
    try:
        return compile_cpp(
            out,
            ["tests/native/pool_check.cpp", *POOL_SOURCES],
            (*NATIVE_FLAGS, "-fsanitize=thread"),
        )
    except AssertionError as exc:
        if "tsan" in str(exc).lower():
            pytest.skip("ThreadSanitizer runtime is not available")
        raise


def clean_env(env):
    full = {k: v for k, v in os.environ.items() if not k.startswith("RAYON_")}
    full.update(env)
    return full


def probe(program, root, env=(), cpus=None):
    """(quota or None, pool size) as the probe reports them."""
    preexec = (lambda: os.sched_setaffinity(0, cpus)) if cpus is not None else None
    proc = subprocess.run(
        [str(program), str(root)],
        env=clean_env(dict(env)),
        capture_output=True,
        text=True,
        preexec_fn=preexec,
        timeout=60,
    )
    assert proc.returncode == 0, proc.stderr
    quota, size = proc.stdout.split()
    return (None if quota == "unlimited" else int(quota)), int(size)


def check(program, mode, threads, timeout=300):
    proc = subprocess.run(
        [str(program), mode],
        env=clean_env({"RAYON_NUM_THREADS": str(threads)}),
        capture_output=True,
        text=True,
        timeout=timeout,
    )
    assert proc.returncode == 0, proc.stdout + proc.stderr
    assert "ThreadSanitizer" not in proc.stderr, proc.stderr
    return proc.stdout


# ------------------------------------------------------------ pool size

QUOTAS = [
    ("v2_limit", 1),  # cpu.max 150000 100000: 1.5 CPUs, rounded down
    ("v2_max", None),  # "max" does not parse: no limit
    ("v2_parent", 3),  # the group says max, its parent 300000/100000
    ("v2_root_level", 2),  # the walk includes /sys/fs/cgroup itself
    ("v2_min_of_levels", 2),  # 5, 2 and 4 CPUs along the walk
    ("v2_no_controllers", None),  # no cgroup.controllers: the group is skipped
    ("v2_zero_period", None),
    ("v2_below_one", 1),  # half a CPU is clamped to one
    ("v2_unreadable", 2),  # the group's cpu.max cannot be read; the root's counts
    ("v2_first_line", 3),  # first line, first two fields, "+" allowed
    ("no_cgroup_file", None),  # no /proc/self/cgroup
    ("v1_cpu", 2),
    ("v1_cpu_cpuacct", 3),  # mounted as cpu,cpuacct
    ("v1_parent", 4),  # quota -1 sets no limit; the parent's counts
    ("v1_unlimited", None),
    ("v1_unreadable", 2),  # unreadable quota; the mount's " 200000 " is trimmed
    ("v1_mountinfo", 5),  # mount point found in /proc/self/mountinfo
    ("v1_mountinfo_bind", 2),  # bind mount of a subtree; the walk stops at the mount
    ("v1_mountinfo_other_subtree", None),  # the mounted subtree does not hold the group
    ("v1_missing_group", None),  # the group's directory exists under no mount
    ("v1_after_v2", 3),  # version 1 wins over version 2 ...
    ("v1_before_v2", 3),  # ... in either order
    ("cpuacct_is_not_cpu", 1),  # a cpuacct line is not the cpu controller
]


@pytest.mark.parametrize("case, quota", QUOTAS, ids=[q[0] for q in QUOTAS])
def test_cgroup_quota_bounds_the_default_size(size_probe, case, quota):
    assert probe(size_probe, FIXTURES / case) == (quota, min(CPUS, quota or CPUS))


@pytest.mark.parametrize(
    "case, expected", [("v2_max", 1), ("v1_cpu_cpuacct", 1), ("no_cgroup_file", 1)]
)
def test_affinity_mask_bounds_the_default_size(size_probe, case, expected):
    first_cpu = min(os.sched_getaffinity(0))
    assert probe(size_probe, FIXTURES / case, cpus={first_cpu})[1] == expected


D = "default"
ENVIRONMENTS = [
    ({"RAYON_NUM_THREADS": "4"}, 4),
    ({"RAYON_NUM_THREADS": "+4"}, 4),
    ({"RAYON_NUM_THREADS": "0004"}, 4),
    ({"RAYON_NUM_THREADS": "1"}, 1),
    ({"RAYON_NUM_THREADS": " 4"}, D),
    ({"RAYON_NUM_THREADS": " 4", "RAYON_RS_NUM_CPUS": "3"}, 3),
    ({"RAYON_NUM_THREADS": "4 ", "RAYON_RS_NUM_CPUS": "3"}, 3),
    ({"RAYON_NUM_THREADS": "", "RAYON_RS_NUM_CPUS": "3"}, 3),
    ({"RAYON_NUM_THREADS": "abc", "RAYON_RS_NUM_CPUS": "3"}, 3),
    ({"RAYON_NUM_THREADS": "-4", "RAYON_RS_NUM_CPUS": "3"}, 3),
    ({"RAYON_NUM_THREADS": "++4", "RAYON_RS_NUM_CPUS": "3"}, 3),
    ({"RAYON_NUM_THREADS": "+", "RAYON_RS_NUM_CPUS": "3"}, 3),
    ({"RAYON_NUM_THREADS": "0x10", "RAYON_RS_NUM_CPUS": "3"}, 3),
    ({"RAYON_NUM_THREADS": "\u0664", "RAYON_RS_NUM_CPUS": "3"}, 3),  # not an ASCII digit
    ({"RAYON_NUM_THREADS": b"4\xff", "RAYON_RS_NUM_CPUS": "3"}, 3),  # not Unicode
    ({"RAYON_NUM_THREADS": "18446744073709551616", "RAYON_RS_NUM_CPUS": "3"}, 3),  # > 64 bits
    ({"RAYON_NUM_THREADS": "0", "RAYON_RS_NUM_CPUS": "3"}, D),
    ({"RAYON_NUM_THREADS": "100000"}, 65535),
    ({"RAYON_NUM_THREADS": "65535"}, 65535),
    ({"RAYON_NUM_THREADS": "18446744073709551615"}, 65535),
    ({"RAYON_RS_NUM_CPUS": "3"}, 3),
    ({"RAYON_RS_NUM_CPUS": "+2"}, 2),
    ({"RAYON_RS_NUM_CPUS": "100000"}, 65535),
    ({"RAYON_RS_NUM_CPUS": "0"}, D),
    ({"RAYON_RS_NUM_CPUS": "x"}, D),
    ({}, D),
]


@pytest.mark.parametrize("env, expected", ENVIRONMENTS, ids=[repr(e[0]) for e in ENVIRONMENTS])
def test_environment_variables(size_probe, tmp_path, env, expected):
    # An empty root: no control group, so the default is the affinity count.
    assert probe(size_probe, tmp_path, env)[1] == (CPUS if expected == D else expected)


@pytest.mark.parametrize("env", [{"RAYON_NUM_THREADS": "0"}, {"RAYON_RS_NUM_CPUS": "0"}])
def test_default_size_reads_the_quota(size_probe, env):
    assert probe(size_probe, FIXTURES / "v2_limit", env)[1] == 1


# ------------------------------------------------------------ scheduler on its own


@pytest.mark.parametrize("threads", [1, 2, 3, 7])
def test_every_item_runs_once_in_pieces_the_rule_makes(pool_check, threads):
    # The program checks each loop of 0..200 items and a few large ones;
    # here the piece counts of the large loops are checked against the
    # division when nobody steals: 8 * 2^floor(log2 T) pieces, more where a
    # piece was stolen and divided again.
    out = check(pool_check, "cover", threads)
    pieces = {
        int(n): int(c)
        for _, n, c in (line.split() for line in out.splitlines() if line.startswith("pieces"))
    }
    assert f"threads {threads}" in out and len(pieces) == 4
    unstolen = 8 * 2 ** int(math.log2(threads))
    for count in pieces.values():
        assert count == unstolen if threads == 1 else count >= unstolen


def test_workers_are_detached_unnamed_with_2_mib_stacks(pool_check):
    assert check(pool_check, "workers", 3) == "workers ok\n"


@pytest.mark.parametrize("threads", [1, 3])
def test_fault_in_a_worker_waits_for_the_others_then_reaches_the_caller(pool_check, threads):
    assert check(pool_check, "fault", threads) == "fault ok\n"


def test_loop_started_inside_an_action_runs_in_place(pool_check):
    assert check(pool_check, "nested", 3) == "nested ok\n"


def test_forked_child_builds_its_own_pool(pool_check):
    assert check(pool_check, "fork", 3, timeout=120) == "fork ok\n"


def test_failed_creation_stays_failed(pool_check):
    # The program caps its address space so that only a few worker stacks fit.
    out = check(pool_check, "fail", 64)
    assert out.startswith(POOL_FAILED + "failed to start worker thread ")
    assert out.rstrip().endswith("of 64: Resource temporarily unavailable (os error 11)")


@pytest.mark.parametrize(
    "mode, threads", [("cover", 3), ("fault", 2), ("nested", 2), ("stress", 2), ("stress", 5)]
)
def test_no_data_race_under_thread_sanitizer(pool_check_tsan, mode, threads):
    check(pool_check_tsan, mode, threads, timeout=600)


# ------------------------------------------------------------ through the module


def predict_inputs(n, d=8, n_leaves=5, seed=0):
    rng = np.random.default_rng(seed)
    z = rng.standard_normal((n, d))
    lo = np.full((n_leaves, d), -1.0)
    return (
        rng.integers(0, n_leaves, n).astype(np.int64),
        z,
        rng.standard_normal(n_leaves),
        rng.standard_normal((n_leaves, d)),
        lo,
        -lo,
    )


def predict_in_serial_blocks(leaf_idx, z, *tables):
    """The same rows, a block at a time, each block small enough to stay serial."""
    rows = 65535 // z.shape[1]
    return np.concatenate(
        [
            tn.predict_linear(leaf_idx[i : i + rows], z[i : i + rows], *tables, True)
            for i in range(0, len(leaf_idx), rows)
        ]
    )


def histogram_inputs(n_features=8, n_rows=40000, n_sel=39993, n_bins=64, seed=1):
    rng = np.random.default_rng(seed)
    binned = rng.integers(0, n_bins, (n_features, n_rows)).astype(np.uint16)
    rows = rng.integers(0, n_rows, n_sel).astype(np.int64)
    return binned, rows, rng.standard_normal(n_rows), rng.random(n_rows), n_bins


def histograms_feature_by_feature(binned, rows, grad, hess, n_bins):
    """Each feature on its own: below the parallel threshold, so serial."""
    return np.concatenate(
        [
            tn.build_histograms(binned[f : f + 1], rows, grad, hess, n_bins)
            for f in range(binned.shape[0])
        ]
    )


PARALLEL_SCRIPT = f"""
import sys
sys.path.insert(0, {str(Path(__file__).resolve().parent)!r})
import tarnwick_native as tn
from test_pool import predict_inputs
result = [tn.predict_linear(*predict_inputs(n, d, seed=n), clip).tobytes()
          for n, d in ((9000, 8), (100003, 3), (70001, 16)) for clip in (False, True)]
"""

HISTOGRAM_SCRIPT = f"""
import sys
sys.path.insert(0, {str(Path(__file__).resolve().parent)!r})
import tarnwick_native as tn
from test_pool import histogram_inputs
result = [tn.build_histograms(*histogram_inputs(f, n, s, b, seed=f)).tobytes()
          for f, n, s, b in ((2, 65536, 65536, 255), (8, 40000, 39993, 64),
                             (33, 4096, 4096, 17), (131072, 2, 1, 3), (1, 200000, 140000, 9))]
"""


def test_parallel_branch_equals_serial_blocks():
    args = predict_inputs(200003)
    assert same_bits(tn.predict_linear(*args, True), predict_in_serial_blocks(*args))


@pytest.mark.parametrize(
    "script", [PARALLEL_SCRIPT, HISTOGRAM_SCRIPT], ids=["predict_linear", "build_histograms"]
)
def test_same_bytes_for_any_thread_count(script):
    runs = [results_in_subprocess(script, threads=t) for t in (1, 2, 3, 7)]
    assert runs[0] == runs[1] == runs[2] == runs[3]


def test_parallel_histograms_equal_feature_by_feature():
    args = histogram_inputs()
    assert same_bits(tn.build_histograms(*args), histograms_feature_by_feature(*args))


def test_fault_in_a_worker_ends_the_call_and_the_next_call_works(panic_type):
    leaf_idx, z, *tables = predict_inputs(20 * 8192)
    good = tn.predict_linear(leaf_idx, z, *tables, True)
    bad = leaf_idx.copy()
    bad[13 * 8192 + 5] = 99  # inside chunk 13 of 20
    # The same row on its own, on the serial branch, says what went wrong.
    with pytest.raises(panic_type) as serial:
        tn.predict_linear(bad[13 * 8192 + 5 :][:1], z[:1], *tables, True)
    for _ in range(20):
        with pytest.raises(panic_type) as info:
            tn.predict_linear(bad, z, *tables, True)
        assert str(info.value) == str(serial.value)
        assert same_bits(tn.predict_linear(leaf_idx, z, *tables, True), good)


def test_fault_in_a_histogram_worker_ends_the_call(panic_type):
    binned, rows, grad, hess, n_bins = histogram_inputs()
    good = tn.build_histograms(binned, rows, grad, hess, n_bins)
    bad = binned.copy()
    bad[5, rows[1000]] = n_bins  # a code past the bins, met by feature 5's pass
    with pytest.raises(panic_type) as serial:
        tn.build_histograms(bad[5:6], rows, grad, hess, n_bins)
    for _ in range(5):
        with pytest.raises(panic_type) as info:
            tn.build_histograms(bad, rows, grad, hess, n_bins)
        assert str(info.value) == str(serial.value)
        assert same_bits(tn.build_histograms(binned, rows, grad, hess, n_bins), good)


def test_worker_fault_diagnostic_comes_from_the_worker_once():
    proc = run_python(
        f"""
        import os, sys
        sys.path.insert(0, {str(Path(__file__).resolve().parent)!r})
        import tarnwick_native as tn
        from test_pool import predict_inputs
        leaf_idx, *rest = predict_inputs(10 * 8192)
        leaf_idx[7 * 8192] = 99
        try:
            tn.predict_linear(leaf_idx, *rest, True)
        except BaseException as exc:
            print(os.getpid(), type(exc).__name__)
        """,
        threads=2,
    )
    pid, name = proc.stdout.decode().split()
    assert name == "PanicException"
    lines = [ln for ln in proc.stderr.decode().splitlines() if "panicked at" in ln]
    assert len(lines) == 1, proc.stderr
    # "thread '<unnamed>' (TID) panicked at ...": the main thread's id is the pid.
    assert lines[0].startswith("thread '<unnamed>' (")
    assert int(lines[0].split("(")[1].split(")")[0]) != int(pid)


THREAD_COUNT_SCRIPT = f"""
import os, sys
sys.path.insert(0, {str(Path(__file__).resolve().parent)!r})
import numpy as np

def threads():
    return len(os.listdir("/proc/self/task"))

counts = {{"numpy": threads()}}
import tarnwick_native as tn
from test_pool import predict_inputs
counts["import"] = threads()
for n in (0, 1, 100, 8191):
    tn.predict_linear(*predict_inputs(n), True)
counts["serial"] = threads()
tn.predict_linear(*predict_inputs(9000), True)        # parallel branch, two chunks
counts["parallel"] = threads()
os.environ["RAYON_NUM_THREADS"] = "7"                 # read once, at creation
for n in (9000, 100000, 10):
    tn.predict_linear(*predict_inputs(n), False)
counts["later"] = threads()
result = counts
"""


def test_threads_start_on_the_first_parallel_branch_only():
    counts = results_in_subprocess(
        THREAD_COUNT_SCRIPT, threads=3, env={"OPENBLAS_NUM_THREADS": "1", "OMP_NUM_THREADS": "1"}
    )
    base = counts["numpy"]
    assert counts["import"] == counts["serial"] == base
    assert counts["parallel"] == counts["later"] == base + 3


def test_one_item_parallel_branch_creates_the_pool():
    counts = results_in_subprocess(
        """
        import os
        import numpy as np, tarnwick_native as tn
        before = len(os.listdir("/proc/self/task"))
        # 8192 rows of width 9: above the threshold, one chunk of 8192 rows
        args = (np.zeros(8192, np.int64), np.ones((8192, 9)), np.ones(1), np.ones((1, 9)),
                np.zeros((1, 9)), np.ones((1, 9)))
        assert (tn.predict_linear(*args, True) == 10.0).all()
        result = (before, len(os.listdir("/proc/self/task")))
        """,
        threads=2,
        env={"OPENBLAS_NUM_THREADS": "1", "OMP_NUM_THREADS": "1"},
    )
    assert counts[1] == counts[0] + 2


def test_idle_workers_fall_asleep_after_a_loop():
    # They keep searching for a moment after a loop, so that the next one
    # starts without a wake-up, then sleep: an idle process burns no processor.
    cpu_seconds = results_in_subprocess(
        """
        import time
        import numpy as np, tarnwick_native as tn
        rows = np.arange(50000, dtype=np.int64)
        tn.build_histograms(np.zeros((8, 50000), np.uint16), rows, np.ones(50000),
                            np.ones(50000), 4)
        time.sleep(0.2)
        start = time.process_time()
        time.sleep(0.5)
        result = time.process_time() - start
        """,
        threads=3,
    )
    assert cpu_seconds < 0.05


def test_forked_child_gets_the_same_bytes():
    # A child forked after the parent used the pool builds its own; a hang
    # here would mean it waited for the parent's workers.
    proc = run_python(
        f"""
        import os, sys, warnings
        sys.path.insert(0, {str(Path(__file__).resolve().parent)!r})
        warnings.simplefilter("ignore", DeprecationWarning)   # fork with threads running
        import tarnwick_native as tn
        from test_pool import predict_inputs
        args = predict_inputs(100003)
        expected = tn.predict_linear(*args, True).tobytes()
        for _ in range(3):
            read, write = os.pipe()
            pid = os.fork()
            if pid == 0:
                os.close(read)
                same = all(tn.predict_linear(*args, True).tobytes() == expected for _ in range(5))
                os.write(write, b"same" if same else b"different")
                os._exit(0)
            os.close(write)
            with os.fdopen(read, "rb") as f:
                answer = f.read()
            assert os.waitpid(pid, 0)[1] == 0
            assert answer == b"same", answer
            assert tn.predict_linear(*args, True).tobytes() == expected
        print("ok")
        """,
        threads=3,
        timeout=120,
    )
    assert proc.stdout.decode().strip() == "ok", proc.stderr.decode()


def test_many_python_threads_get_the_same_results():
    args = predict_inputs(100003, d=4, seed=5)
    expected = tn.predict_linear(*args, True)
    results, errors = [], []

    def work():
        try:
            for _ in range(5):
                results.append(tn.predict_linear(*args, True))
        except BaseException as exc:  # noqa: BLE001 - reported below
            errors.append(exc)

    workers = [threading.Thread(target=work) for _ in range(8)]
    for t in workers:
        t.start()
    for t in workers:
        t.join()
    assert not errors
    assert len(results) == 40 and all(same_bits(r, expected) for r in results)


def test_failed_pool_creation_raises_every_time():
    proc = run_python(
        f"""
        import resource, sys
        sys.path.insert(0, {str(Path(__file__).resolve().parent)!r})
        import tarnwick_native as tn
        from test_pool import predict_inputs
        big, small = predict_inputs(100000), predict_inputs(100)
        tn.predict_linear(*small, True)
        with open("/proc/self/status") as f:
            vm = next(int(line.split()[1]) for line in f if line.startswith("VmSize:")) * 1024
        # Room for a few worker stacks only.
        resource.setrlimit(resource.RLIMIT_AS, (vm + (24 << 20),) * 2)
        for _ in range(2):
            try:
                tn.predict_linear(*big, True)
            except BaseException as exc:
                print(type(exc).__name__, exc)
        print(len(tn.predict_linear(*small, True)))
        """,
        threads=64,
    )
    first, second, serial = proc.stdout.decode().splitlines()
    assert first.startswith("PanicException " + POOL_FAILED)
    assert "(os error 11)" in first
    assert second == first
    assert serial == "100"
