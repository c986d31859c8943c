"""Time per tree of the Dask learner beside the single-process learner and
lightgbm.dask, and the bytes it sends per tree.

    python -m benchmarks.bench_dask [--rows 1000000] [--partitions 8] [--rounds 21] [--turns 5]

Data: the demo's generated regression set (rows x 32 features, 255 bins, 31
leaves, learning rate 0.1, the settings of examples/peers.py), cut into
--partitions partitions of a Dask array spread evenly over a LocalCluster
of 2 worker processes x 1 thread, each with a native pool of 1 thread.
Learners:

- tarnwick.dask.DaskTarnwickRegressor on that cluster;
- lightgbm.dask.DaskLGBMRegressor on the same cluster and partitions, 1
  thread per worker;
- TarnwickRegressor in a process of its own with a pool of 2 threads (the
  pool is sized once per process).

The learners take turns, A B C A B C ..., --turns times. Each fit runs
--rounds rounds and every round is timed (our rounds on the client, which
drives them; LightGBM's on its first worker, by a callback there); a turn's
time per tree is its median round, which leaves out loading and binning.
The report gives, per learner, the median over turns with the spread (the
smallest and largest turn), the load average before and after the run, the
bytes our fit sent and received and its round trips per tree, and the two
ratios against their targets: Dask / single process at most 1.25, Dask /
lightgbm.dask at most 1.0.
"""

import argparse
import json
import os
import subprocess
import sys
import time
import uuid

import numpy as np

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
DASK = "tarnwick.dask, 2 workers x 1 thread"
LOCAL = "tarnwick, 1 process x 2 threads"
LGBM = "lightgbm.dask, 2 workers x 1 thread"
TARGETS = ((DASK, LOCAL, 1.25), (DASK, LGBM, 1.0))

# Round stamps of LightGBM's training on this worker process.
STAMPS = []


def stamp_round(env):
    """A LightGBM callback: stamps the end of a round on the worker."""
    STAMPS.append(time.perf_counter())


def take_stamps():
    out = list(STAMPS)
    STAMPS.clear()
    return out


def single_process(args):
    """Times the single-process learner in this process; prints JSON."""
    from examples.datasets import generated
    from examples.peers import Settings, make_ours, timed_fit

    ds = generated(args.rows, seed=0)
    model = make_ours("regression", Settings(rounds=args.rounds))
    _, rounds = timed_fit(model, ds.x, ds.y, 2)
    print(json.dumps({"per_tree": float(np.median(rounds))}))


def run_single_process(args):
    env = dict(os.environ, RAYON_NUM_THREADS="2", OMP_NUM_THREADS="2")
    env.pop("RAYON_RS_NUM_CPUS", None)
    cmd = [sys.executable, "-m", "benchmarks.bench_dask", "--single"]
    cmd += ["--rows", str(args.rows), "--rounds", str(args.rounds)]
    out = subprocess.run(cmd, env=env, cwd=ROOT, check=True, capture_output=True, text=True)
    return json.loads(out.stdout)["per_tree"], None


def fit_dask(client, X, Y, s):
    from tarnwick.dask import DaskTarnwickRegressor

    from examples.peers import timed_fit

    model = DaskTarnwickRegressor(
        client=client,
        max_iter=s.rounds,
        learning_rate=s.learning_rate,
        max_leaf_nodes=s.leaves,
        max_bins=s.bins,
        min_samples_leaf=s.min_samples_leaf,
        l2_regularization=s.l2,
        early_stopping=False,
        random_state=0,
    )
    _, rounds = timed_fit(model, X, Y)
    t = model.traffic_
    trees = model.n_iter_
    per_tree = (t["bytes_sent"] / trees, t["bytes_received"] / trees, t["round_trips"] / trees)
    return float(np.median(rounds)), per_tree


def fit_lightgbm(client, X, Y, s):
    import lightgbm

    model = lightgbm.DaskLGBMRegressor(
        client=client,
        n_estimators=s.rounds,
        learning_rate=s.learning_rate,
        num_leaves=s.leaves,
        max_depth=-1,
        max_bin=s.bins,
        min_child_samples=s.min_samples_leaf,
        min_child_weight=1e-3,
        reg_lambda=s.l2,
        n_jobs=1,
        verbose=-1,
        deterministic=True,
        tree_learner="data",
    )
    # By reference to this module (not __main__), so that the workers
    # import it and keep their stamps where take_stamps finds them.
    from benchmarks import bench_dask

    client.run(bench_dask.take_stamps)
    model.fit(X, Y, callbacks=[bench_dask.stamp_round])
    stamps = [v for v in client.run(bench_dask.take_stamps).values() if v]
    return float(np.median(np.diff(stamps[0]))), None


def placed(client, a, n_parts):
    """a as a Dask array of n_parts partitions, partition i held by worker
    i mod n_workers: both workers get the same share of rows (the
    scheduler's own placement can leave one with three times the other's)."""
    import dask.array as da

    workers = sorted(client.scheduler_info(n_workers=-1)["workers"])
    name = f"bench-{uuid.uuid4().hex}"
    chunk = -(-a.shape[0] // n_parts)
    futures = [
        client.submit(
            np.array,
            a[i * chunk : (i + 1) * chunk],
            key=(name, i, *(0,) * (a.ndim - 1)),
            workers=[workers[i % len(workers)]],
        )
        for i in range(n_parts)
    ]
    sizes = tuple(min(chunk, a.shape[0] - i * chunk) for i in range(n_parts))
    return da.Array(
        {f.key: f for f in futures}, name, (sizes, *((n,) for n in a.shape[1:])), a.dtype
    )


def compare(args):
    import dask
    from distributed import Client, LocalCluster

    from examples.datasets import generated
    from examples.peers import Settings

    load_before = os.getloadavg()
    s = Settings(rounds=args.rounds)
    ds = generated(args.rows, seed=0)
    with (
        dask.config.set({"distributed.scheduler.work-stealing": False}),
        LocalCluster(
            n_workers=2,
            threads_per_worker=1,
            processes=True,
            dashboard_address=None,
            env={"RAYON_NUM_THREADS": "1", "OMP_NUM_THREADS": "1"},
        ) as cluster,
        Client(cluster) as client,
    ):
        X, Y = (placed(client, a, args.partitions) for a in (ds.x, ds.y))
        runs = {
            DASK: lambda: fit_dask(client, X, Y, s),
            LGBM: lambda: fit_lightgbm(client, X, Y, s),
            LOCAL: lambda: run_single_process(args),
        }
        times = {name: [] for name in runs}
        traffic = []
        for turn in range(args.turns):
            for name, run in runs.items():
                per_tree, sent = run()
                times[name].append(per_tree)
                if sent is not None:
                    traffic.append(sent)
                print(
                    f"  turn {turn + 1}: {name}: {per_tree * 1e3:.1f} ms per tree",
                    file=sys.stderr,
                    flush=True,
                )
    report(args, times, traffic, load_before, os.getloadavg())


def report(args, times, traffic, load_before, load_after):
    print(
        f"\ntime per tree, {args.rows:,} rows x 32 features in {args.partitions} partitions, "
        f"255 bins, 31 leaves, {args.rounds} rounds, {args.turns} interleaved turns"
    )
    print(
        "load average (1, 5, 15 min): before "
        + ", ".join(f"{v:.2f}" for v in load_before)
        + "; after "
        + ", ".join(f"{v:.2f}" for v in load_after)
    )
    print(f"  {'learner':<38}{'median ms':>10}   spread (ms)")
    for name, values in times.items():
        v = np.array(values) * 1e3
        print(f"  {name:<38}{np.median(v):>10.1f}   {v.min():.1f} - {v.max():.1f}")
    sent, received, trips = np.median(traffic, axis=0)
    print(
        f"\nper tree, {DASK}: {sent / 1e3:,.0f} kB sent by the client, "
        f"{received / 1e6:,.2f} MB received from the workers, {trips:.1f} round trips"
    )
    print("\nratios (medians), against their targets")
    for a, b, target in TARGETS:
        ratio = np.median(times[a]) / np.median(times[b])
        verdict = "met" if ratio <= target else "missed"
        print(f"  {a} / {b}: {ratio:.2f} (target <= {target:.2f}: {verdict})")


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--rows", type=int, default=1_000_000)
    parser.add_argument("--partitions", type=int, default=8)
    parser.add_argument("--rounds", type=int, default=21)
    parser.add_argument("--turns", type=int, default=5)
    parser.add_argument("--single", action="store_true", help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.rounds < 3:
        parser.error("--rounds must be at least 3")
    if args.single:
        single_process(args)
    else:
        compare(args)


if __name__ == "__main__":
    main()
