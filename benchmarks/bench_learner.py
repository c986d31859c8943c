"""Time per tree of tarnwick and its peers, at 1 and 2 threads.

    python -m benchmarks.bench_learner [--rows 1000000] [--rounds 21] [--repeat 2]
                                       [--threads 1,2] [--chart PATH]

Data: the demo's generated regression set (n rows x 32 features, 255 bins,
31 leaves, learning rate 0.1). Each learner is fitted with R rounds, and every
round is timed (see examples/peers.py, timed_fit). Time per tree is the
median round, the fastest of --repeat turns: it leaves out the one-off
binning and is the least disturbed by other load on the machine. The mean
round is shown beside it: ours includes the row reorderings of the rounds
after which they run (1, 2, 4, 8, ...), which the median leaves out. Each thread
count runs in its own process (the worker pool reads RAYON_NUM_THREADS once),
with OMP_NUM_THREADS and the peers' n_jobs set to the same count. Our
learner's median round is broken down into its kernels, its NumPy steps and
the Python that drives them.

Writes the chart benchmarks/time_per_tree.png (or --chart PATH).
"""

import argparse
import json
import os
import subprocess
import sys
import time

import numpy as np

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))

OURS = "tarnwick"
OURS_LINEAR = "tarnwick, linear leaves (d=8)"
PEER_NAMES = ("LightGBM", "XGBoost", "scikit-learn HGB")
KERNELS = (
    "build_histograms",
    "find_best_split",
    "partition_rows",
    "leaf_linear_stats",
    "predict_linear",
)
STEPS = (
    "gradients (NumPy)",
    "histogram subtraction (NumPy)",
    "leaf values, per-row outputs (NumPy)",
)
PYTHON = "Python, score update, flat trees"


class Clock:
    """Accumulated seconds and calls per named step of our learner, with a
    snapshot at the end of every boosting round."""

    def __init__(self):
        self.seconds, self.calls = {}, {}
        self.rounds = []

    def wrap(self, name, fn):
        def timed(*args, **kwargs):
            start = time.perf_counter()
            try:
                return fn(*args, **kwargs)
            finally:
                self.seconds[name] = self.seconds.get(name, 0.0) + time.perf_counter() - start
                self.calls[name] = self.calls.get(name, 0) + 1

        return timed

    def snapshot(self):
        self.rounds.append((dict(self.seconds), dict(self.calls)))


def instrument(clock):
    """Routes our learner's kernel calls and NumPy steps through the clock."""
    import tarnwick_native as tn
    from tarnwick import grower, losses, shard

    for name in KERNELS:
        setattr(tn, name, clock.wrap(name, getattr(tn, name)))
    grower.larger_child_histogram = clock.wrap(STEPS[1], grower.larger_child_histogram)
    shard.Shard.leaf_sums = clock.wrap(STEPS[2], shard.Shard.leaf_sums)
    losses.SquaredError.gradients = staticmethod(
        clock.wrap(STEPS[0], losses.SquaredError.gradients)
    )


def worker(args):
    """Measures every learner at the thread count of this process; prints JSON."""
    from examples.datasets import generated
    from examples.peers import Settings, available, make_ours, make_peer, timed_fit

    threads = int(os.environ["RAYON_NUM_THREADS"])
    ds = generated(args.rows, seed=0)
    clock = Clock()
    instrument(clock)
    s = Settings(rounds=args.rounds)
    learners = [OURS, OURS_LINEAR] + [p for p in PEER_NAMES if available(p)]
    result = {"threads": threads, "per_tree": {}, "mean": {}, "setup": {}}
    # The learners take turns, repeat times; each keeps its fastest median
    # round, the least disturbed by other load on the machine.
    for _ in range(args.repeat):
        for name in learners:
            if name in (OURS, OURS_LINEAR):
                linear = ds.embedding if name == OURS_LINEAR else None
                model = make_ours("regression", s, linear_features=linear)
            else:
                model = make_peer(name, "regression", s, threads)
            clock.rounds.clear()
            seconds, rounds = timed_fit(
                model,
                ds.x,
                ds.y,
                threads,
                after_round=clock.snapshot,
            )
            per_tree = float(np.median(rounds))
            print(
                f"  [{threads} thread{'s' if threads > 1 else ''}] {name}: "
                f"{per_tree * 1e3:.1f} ms per tree",
                file=sys.stderr,
                flush=True,
            )
            if per_tree >= result["per_tree"].get(name, np.inf):
                continue
            result["per_tree"][name] = per_tree
            result["mean"][name] = float(np.mean(rounds))
            result["setup"][name] = seconds - args.rounds * result["mean"][name]
            if name == OURS:
                result["breakdown"] = breakdown(rounds, clock.rounds)
    print(json.dumps(result))


def breakdown(rounds, snapshots):
    """Seconds of each kernel and step in the median round (rounds[k] runs
    from snapshot k to k + 1); the rest is Python."""
    k = int(np.argsort(rounds)[len(rounds) // 2])
    (before, calls_before), (after, calls_after) = snapshots[k], snapshots[k + 1]
    parts = {name: after.get(name, 0.0) - before.get(name, 0.0) for name in KERNELS + STEPS}
    # The leaf-table step calls kernels itself: count them once, as kernels.
    parts[STEPS[2]] -= parts["leaf_linear_stats"] + parts["predict_linear"]
    parts = {name: sec for name, sec in parts.items() if sec > 0}
    parts[PYTHON] = float(rounds[k]) - sum(parts.values())
    splits = calls_after.get("partition_rows", 0) - calls_before.get("partition_rows", 0)
    return {"parts": parts, "splits_per_tree": splits}


def run_workers(args):
    results = []
    for threads in args.threads:
        env = dict(
            os.environ,
            RAYON_NUM_THREADS=str(threads),
            OMP_NUM_THREADS=str(threads),
            OPENBLAS_NUM_THREADS=str(threads),
        )
        env.pop("RAYON_RS_NUM_CPUS", None)
        cmd = [
            sys.executable,
            "-m",
            "benchmarks.bench_learner",
            "--worker",
            "--rows",
            str(args.rows),
            "--rounds",
            str(args.rounds),
            "--repeat",
            str(args.repeat),
        ]
        proc = subprocess.run(cmd, env=env, stdout=subprocess.PIPE, check=True, cwd=ROOT)
        results.append(json.loads(proc.stdout))
    return results


def report(results, rows):
    learners = list(results[0]["per_tree"])
    print(
        f"\ntime per tree, {rows:,} rows x 32 features, 255 bins, 31 leaves (ms):"
        " median round (mean round)"
    )
    print(
        f"  {'learner':<32}"
        + "".join(f"{r['threads']:>14} thr" for r in results)
        + "    one-off set-up (binning) at 1st count"
    )
    for name in learners:
        print(
            f"  {name:<32}"
            + "".join(
                f"{r['per_tree'][name] * 1e3:>10.1f} ({r['mean'][name] * 1e3:5.1f})"
                for r in results
            )
            + f"{results[0]['setup'][name]:>12.2f} s"
        )
    print("\nratios, ours / peer (below 1: ours is faster)")
    for peer in learners[2:]:
        print(
            f"  {OURS} / {peer:<24}"
            + "".join(f"{r['per_tree'][OURS] / r['per_tree'][peer]:>12.2f}" for r in results)
        )
    for r in results:
        b = r["breakdown"]
        total = r["per_tree"][OURS]
        print(
            f"\nwhere {OURS}'s time per tree goes, {r['threads']} thread(s): "
            f"{total * 1e3:.1f} ms, {b['splits_per_tree']:.0f} splits"
        )
        for name, sec in b["parts"].items():
            print(f"  {name:<40}{sec * 1e3:>8.2f} ms {sec / total:>6.1%}")
        python = b["parts"][PYTHON]
        print(f"  {PYTHON} per split: {python / b['splits_per_tree'] * 1e6:.0f} us")


def chart(results, rows, path):
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    learners = list(results[0]["per_tree"])
    fig, (left, right) = plt.subplots(1, 2, figsize=(12, 4.8), gridspec_kw={"width_ratios": [3, 2]})
    width = 0.8 / len(results)
    pos = np.arange(len(learners))
    for i, r in enumerate(results):
        vals = [r["per_tree"][name] * 1e3 for name in learners]
        bars = left.bar(
            pos + (i - (len(results) - 1) / 2) * width,
            vals,
            width,
            label=f"{r['threads']} thread{'s' if r['threads'] > 1 else ''}",
        )
        left.bar_label(bars, fmt="%.0f", fontsize=8)
    left.set_xticks(pos, [name.replace(", ", ",\n") for name in learners], fontsize=8)
    left.set_ylabel("ms per tree")
    left.set_title(f"Time per tree, generated {rows:,} x 32, 255 bins, 31 leaves", fontsize=10)
    left.legend()
    names = list(dict.fromkeys(k for r in results for k in r["breakdown"]["parts"]))
    bottom = np.zeros(len(results))
    for name in names:
        vals = np.array([r["breakdown"]["parts"].get(name, 0.0) * 1e3 for r in results])
        right.bar(
            [f"{r['threads']} thread(s)" for r in results], vals, 0.5, bottom=bottom, label=name
        )
        bottom += vals
    right.set_ylabel("ms per tree")
    right.set_ylim(0, bottom.max() * 1.6)
    right.set_title(f"Where {OURS}'s time goes (median round)", fontsize=10)
    right.legend(fontsize=7, loc="upper right")
    fig.tight_layout()
    fig.savefig(path, dpi=110)
    print(f"\nchart written to {path}")


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--rows", type=int, default=1_000_000)
    parser.add_argument("--rounds", type=int, default=21)
    parser.add_argument(
        "--repeat",
        type=int,
        default=2,
        help="turns of every learner; the fastest median round counts",
    )
    parser.add_argument("--threads", default="1,2")
    parser.add_argument("--chart", default=os.path.join(ROOT, "benchmarks", "time_per_tree.png"))
    parser.add_argument("--worker", action="store_true", help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.rounds < 2:
        parser.error("--rounds must be at least 2")
    if args.worker:
        worker(args)
        return
    args.threads = [int(t) for t in args.threads.split(",")]
    results = run_workers(args)
    report(results, args.rows)
    chart(results, args.rows, args.chart)


if __name__ == "__main__":
    main()
