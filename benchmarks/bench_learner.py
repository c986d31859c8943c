"""tarnwick against LightGBM, XGBoost (hist) and scikit-learn's
HistGradientBoosting (HGB): time per tree, held-out metric, one-off binning
time and the memory a fit takes.

How to run, from the repository root, in the demo environment (it has every
peer and matplotlib; `scripts/demo.sh --quick` creates it; a peer that is not
installed is left out):

    .venv-demo/bin/python -m benchmarks.bench_learner            # every shape, 1 and 2 threads
    .venv-demo/bin/python -m benchmarks.bench_learner --quick    # a smoke run of a few minutes
    .venv-demo/bin/python -m benchmarks.bench_learner --shapes generated,ties --threads 2
    .venv-demo/bin/python -m benchmarks.bench_learner --memory   # fit memory, 1M and 4M rows
    .venv-demo/bin/python -m benchmarks.bench_learner --report benchmarks/bench_learner.json

On the 2-core development machine, shared and busy, the committed results
took 14 minutes (benchmarks/bench_learner.json) and 4 minutes (--memory
--rounds 10; benchmarks/bench_learner_memory.json); --quick (a tenth of the
rows, 11 rounds) takes about 5. Both kinds of run print Markdown tables and
write their raw results as JSON (--json); a timing run draws its chart,
benchmarks/time_per_tree.png (--chart elsewhere). --report prints the
tables of a saved file again, and with --chart redraws its chart there.

Shapes (--shapes; benchmarks/shapes.py): the demo's generated regression,
1,000,000 x 32; a 300,000 x 14 regression on tied integer features with
categorical features of 16, 100 and 1,000 levels; a 100,000 x 200
regression; a 10-class classification, 200,000 x 32. --rows N gives every
shape N rows. The learners: ours with constant leaves and with
embedded-linear leaves over 8 columns (linear_features), and the peers, all
with 31 leaves, 255 bins, learning rate 0.1, min leaf 20, L2 1
(examples/peers.py). HGB takes at most 255 categories per feature: it gets
the 1,000-level feature as numeric codes (the output says so).

Timing. Each shape and thread count runs in its own process, with
RAYON_NUM_THREADS, OMP_NUM_THREADS and OPENBLAS_NUM_THREADS set before
anything is imported (the worker pool reads RAYON_NUM_THREADS once) and the
peers' n_jobs set to the same count. In it, the learners take turns (A B C A
B C ..., --turns: 5, 3 with --quick, at least 3), each fitting --rounds
rounds (default 21), of which all but one are timed (examples/peers.py,
timed_fit). A turn's figure is its median round (per tree: a 10-class round
grows 10 trees); the figure reported is the median of the turns' figures,
with their spread (min-max), never the best turn. The load average of the
machine is taken at the start and end of every process. Beside it: the
held-out metric (RMSE or log loss on a separate draw of the same shape), the
whole fit's seconds, our one-off binning (the learner's binning functions,
clocked inside the fit) against LightGBM's Dataset construction with the
same max_bin, taken in every turn after LightGBM's fit, and where our median
round goes: each kernel, the NumPy steps, and the Python around them.

Memory (--memory): the generated shape at 1,000,000 and 4,000,000 rows
(--memory-rows), each learner in a fresh process at the largest --threads
count: after a small warm-up fit (lazy imports, the worker pool) and
building the data in place (examples/datasets.py), the growth of peak
resident memory during fit, ru_maxrss after fit minus the resident size
just before it, in MB and as a ratio to LightGBM's.
"""

import argparse
import datetime
import gc
import json
import os
import platform
import subprocess
import sys
import tempfile
import time

import numpy as np

from benchmarks.shapes import N_CLASSES, SHAPES

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
JSON_TIMING = os.path.join(ROOT, "benchmarks", "bench_learner.json")
JSON_MEMORY = os.path.join(ROOT, "benchmarks", "bench_learner_memory.json")
CHART = os.path.join(ROOT, "benchmarks", "time_per_tree.png")

OURS = "tarnwick"
OURS_LINEAR = "tarnwick, linear leaves (d=8)"
LIGHTGBM, XGBOOST, HGB = "LightGBM", "XGBoost", "scikit-learn HGB"
PEER_NAMES = (LIGHTGBM, XGBOOST, HGB)
LEARNERS = (OURS, OURS_LINEAR) + PEER_NAMES

KERNELS = (
    "build_histograms",
    "find_best_split",
    "partition_rows",
    "leaf_linear_stats",
    "leaf_linear_stats_mc",
    "predict_linear",
)
BINNING = "binning"
PYTHON = "Python (the rest)"
QUICK_SCALE = 10
MEMORY_ROWS = (1_000_000, 4_000_000)


class Clock:
    """Seconds and calls per named step of our learner, each step's own time
    (the steps timed inside it are subtracted), with a snapshot at the end of
    every boosting round."""

    def __init__(self):
        self.seconds, self.calls = {}, {}
        self.rounds = []
        self._inner = []

    def wrap(self, name, fn):
        def timed(*args, **kwargs):
            self._inner.append(0.0)
            start = time.perf_counter()
            try:
                return fn(*args, **kwargs)
            finally:
                elapsed = time.perf_counter() - start
                own = elapsed - self._inner.pop()
                if self._inner:
                    self._inner[-1] += elapsed
                self.seconds[name] = self.seconds.get(name, 0.0) + own
                self.calls[name] = self.calls.get(name, 0) + 1

        return timed

    def snapshot(self):
        self.rounds.append((dict(self.seconds), dict(self.calls)))


def instrument(clock):
    """Routes our learner's kernel calls, NumPy steps and binning through the
    clock. Returns the names of the steps of a round."""
    import tarnwick_native as tn
    from tarnwick import binning, booster, class_trees, grower, shard, splitting

    for name in KERNELS:
        setattr(tn, name, clock.wrap(name, getattr(tn, name)))
    for name in ("fit_bins", "bin_rows"):
        setattr(binning, name, clock.wrap(BINNING, getattr(binning, name)))
    # The whole step on the calling thread: its pieces run on the learner's
    # threads, which the clock (one stack of nested steps) must not see.
    gradients = "gradients (NumPy)"
    shard.Shard.compute_gradients = clock.wrap(gradients, shard.Shard.compute_gradients)
    # A softmax round on worker processes is one wait here: the kernels run
    # in the workers, out of the clock's sight.
    reordering = "row reordering (NumPy)"
    steps = [
        ("histogram subtraction (NumPy)", grower, "larger_child_histogram"),
        ("split search around the kernel", splitting.SplitFinder, "__call__"),
        ("leaf sums (NumPy)", shard.Shard, "leaf_sums"),
        ("leaf values (NumPy)", booster, "leaf_tables"),
        ("per-row outputs (NumPy)", shard.Shard, "add_leaf_outputs"),
        ("flat trees", booster, "flatten"),
        (reordering, shard.Shard, "end_round"),
        (reordering, shard.Shard, "reorder"),
        ("trees on worker processes", class_trees.ClassWorkers, "grow_round"),
    ]
    for name, owner, attr in steps:
        setattr(owner, attr, clock.wrap(name, getattr(owner, attr)))
    names = dict.fromkeys(name for name, _, _ in steps)
    return KERNELS + (gradients,) + tuple(names)


def breakdown(rounds, snapshots, steps, trees_per_round):
    """Seconds per tree of each step in the median round (rounds[k] runs from
    snapshot k to k + 1); what the steps leave is Python."""
    k = int(np.argsort(rounds)[len(rounds) // 2])
    (before, calls_before), (after, calls_after) = snapshots[k], snapshots[k + 1]
    parts = {}
    for name in steps:
        sec = after.get(name, 0.0) - before.get(name, 0.0)
        if sec > 0:
            parts[name] = sec / trees_per_round
    parts[PYTHON] = float(rounds[k]) / trees_per_round - sum(parts.values())
    splits = calls_after.get("partition_rows", 0) - calls_before.get("partition_rows", 0)
    return {"parts": parts, "splits_per_tree": splits / trees_per_round}


def process_threads():
    return int(os.environ["RAYON_NUM_THREADS"])


def held_out_rows(rows):
    return max(1, min(rows // 2, 200_000))


def categorical_masks(data, s):
    """Each learner's categorical mask (None: no categorical features), and
    notes for the output. HGB takes a feature as categorical only up to
    max_bins levels; one with more it gets as numeric codes."""
    if data.categorical is None or not data.categorical.any():
        return dict.fromkeys(LEARNERS), []
    masks = dict.fromkeys(LEARNERS, data.categorical)
    hgb = data.categorical.copy()
    notes = []
    for f in np.flatnonzero(data.categorical):
        levels = np.unique(data.x[:, f][~np.isnan(data.x[:, f])]).size
        if levels > s.bins:
            hgb[f] = False
            notes.append(
                f"{HGB}: feature {f} ({levels:,} levels) as numeric codes "
                f"(HGB takes at most {s.bins} categories)"
            )
    masks[HGB] = hgb
    return masks, notes


def make_learner(name, task, s, threads, data, categorical):
    """An unfitted learner and the extra arguments of its fit."""
    from examples.peers import fit_args, make_ours, make_peer

    if name == OURS:
        return make_ours(task, s, categorical=categorical), {}
    if name == OURS_LINEAR:
        return make_ours(task, s, linear_features=data.embedding, categorical=categorical), {}
    return make_peer(name, task, s, threads, categorical), fit_args(name, categorical)


def held_out_metric(model, test, task):
    if task == "regression":
        return float(np.sqrt(np.mean((model.predict(test.x) - test.y) ** 2)))
    from sklearn.metrics import log_loss

    return float(log_loss(test.y, model.predict_proba(test.x), labels=np.arange(N_CLASSES)))


def lightgbm_dataset_seconds(data, s, threads, categorical):
    """Seconds of LightGBM's binning: its Dataset, built as its fit builds it."""
    import lightgbm

    params = {
        "max_bin": s.bins,
        "min_data_in_leaf": s.min_samples_leaf,
        "num_threads": threads,
        "verbose": -1,
    }
    cats = "auto" if categorical is None else np.flatnonzero(categorical).tolist()
    start = time.perf_counter()
    lightgbm.Dataset(data.x, data.y, params=params, categorical_feature=cats).construct()
    return time.perf_counter() - start


def median_and_spread(values):
    return {
        "median": float(np.median(values)),
        "min": float(min(values)),
        "max": float(max(values)),
    }


def time_shape(args):
    """The timing worker: every learner on one shape at this process's
    thread count, in turns. Writes its JSON result to args.out."""
    from examples.peers import Settings, available, timed_fit

    shape = SHAPES[args.worker]
    threads = process_threads()
    load_start = os.getloadavg()
    s = Settings(rounds=args.rounds)
    train = shape.make(args.rows, 0)
    test = shape.make(held_out_rows(args.rows), 1)
    masks, notes = categorical_masks(train, s)
    clock = Clock()
    steps = instrument(clock)
    learners = [n for n in LEARNERS if n in (OURS, OURS_LINEAR) or available(n)]
    runs = {n: {"medians": [], "means": [], "fit_seconds": []} for n in learners}
    lightgbm_dataset = []
    for turn in range(args.turns):
        for name in learners:
            ours = name in (OURS, OURS_LINEAR)
            model, extra = make_learner(name, shape.task, s, threads, train, masks[name])
            clock.rounds.clear()
            binning_before = clock.seconds.get(BINNING, 0.0)
            seconds, rounds = timed_fit(
                model,
                train.x,
                train.y,
                threads,
                after_round=clock.snapshot if ours else None,
                extra_fit_args=extra,
            )
            per_tree = rounds / shape.trees_per_round
            run = runs[name]
            run["medians"].append(float(np.median(per_tree)))
            run["means"].append(float(np.mean(per_tree)))
            run["fit_seconds"].append(seconds)
            if ours:
                run.setdefault("binning_seconds", []).append(
                    clock.seconds[BINNING] - binning_before
                )
                run.setdefault("breakdowns", []).append(
                    breakdown(rounds, clock.rounds, steps, shape.trees_per_round)
                )
            if turn == 0:
                run["metric"] = held_out_metric(model, test, shape.task)
            del model
            if name == LIGHTGBM:
                lightgbm_dataset.append(lightgbm_dataset_seconds(train, s, threads, masks[name]))
            print(
                f"  {shape.key}, {threads} thread(s), turn {turn + 1}/{args.turns}: "
                f"{name}: {run['medians'][-1] * 1e3:.1f} ms per tree, fit {seconds:.1f} s",
                file=sys.stderr,
                flush=True,
            )
            gc.collect()
    learners_out = {}
    for name, run in runs.items():
        out = {
            "per_tree": median_and_spread(run["medians"]),
            "turn_medians": run["medians"],
            "turn_means": run["means"],
            "fit_seconds": run["fit_seconds"],
            "metric": run["metric"],
        }
        if "binning_seconds" in run:
            out["binning_seconds"] = median_and_spread(run["binning_seconds"])
            # The breakdown of the median turn.
            middle = int(np.argsort(run["medians"])[len(run["medians"]) // 2])
            out["breakdown"] = run["breakdowns"][middle]
        learners_out[name] = out
    result = {
        "shape": shape.key,
        "title": shape.title(args.rows),
        "task": shape.task,
        "metric_name": "RMSE" if shape.task == "regression" else "log loss",
        "rows": args.rows,
        "held_out_rows": held_out_rows(args.rows),
        "features": shape.features,
        "trees_per_round": shape.trees_per_round,
        "threads": threads,
        "rounds": args.rounds,
        "turns": args.turns,
        "notes": notes,
        "learners": learners_out,
        "lightgbm_dataset_seconds": (
            median_and_spread(lightgbm_dataset) if lightgbm_dataset else None
        ),
        "load_start": load_start,
        "load_end": os.getloadavg(),
    }
    with open(args.out, "w") as f:
        json.dump(result, f)


def resident_bytes():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def peak_resident_bytes():
    import resource

    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024


def memory_fit(args):
    """The memory worker: one learner's fit on the generated shape. Writes
    its JSON result to args.out."""
    from examples.datasets import generated
    from examples.peers import Settings

    name = args.memory_worker
    threads = process_threads()
    s = Settings(rounds=args.rounds)
    clock = Clock()
    if name in (OURS, OURS_LINEAR):
        instrument(clock)
    warm = generated(2_000, seed=1)
    model, extra = make_learner(name, "regression", Settings(rounds=2), threads, warm, None)
    model.fit(warm.x, warm.y, **extra)
    data = generated(args.rows, seed=0)
    model, extra = make_learner(name, "regression", s, threads, data, None)
    del warm
    gc.collect()
    before, peak_before = resident_bytes(), peak_resident_bytes()
    start = time.perf_counter()
    model.fit(data.x, data.y, **extra)
    seconds = time.perf_counter() - start
    peak = peak_resident_bytes()
    result = {
        "learner": name,
        "rows": args.rows,
        "threads": threads,
        "rounds": args.rounds,
        "data_mb": (data.x.nbytes + data.y.nbytes) / 1e6,
        "resident_before_mb": before / 1e6,
        # The kernel's resident counters lag by a few pages: a fit that adds
        # nothing could otherwise show a small negative growth.
        "growth_mb": max(peak - before, 0) / 1e6,
        # Whether the fit raised the peak; if not, growth is an upper bound.
        "fit_set_peak": peak > peak_before,
        "fit_seconds": seconds,
        "load": os.getloadavg(),
    }
    if name in (OURS, OURS_LINEAR):
        result["binning_seconds"] = clock.seconds[BINNING]
    if name == LIGHTGBM:
        del model
        result["binning_seconds"] = lightgbm_dataset_seconds(data, s, threads, None)
    with open(args.out, "w") as f:
        json.dump(result, f)


def run_worker(threads, worker_args):
    """Runs this module with worker_args in a fresh process at a thread
    count; returns the JSON it writes."""
    env = dict(
        os.environ,
        RAYON_NUM_THREADS=str(threads),
        OMP_NUM_THREADS=str(threads),
        OPENBLAS_NUM_THREADS=str(threads),
    )
    env.pop("RAYON_RS_NUM_CPUS", None)
    with tempfile.TemporaryDirectory() as tmp:
        out = os.path.join(tmp, "result.json")
        cmd = [sys.executable, "-m", "benchmarks.bench_learner", *worker_args, "--out", out]
        subprocess.run(cmd, env=env, check=True, cwd=ROOT)
        with open(out) as f:
            return json.load(f)


def environment():
    from importlib import metadata

    versions = {}
    for package in ("tarnwick", "numpy", "scikit-learn", "lightgbm", "xgboost"):
        try:
            versions[package] = metadata.version(package)
        except metadata.PackageNotFoundError:
            versions[package] = None
    cpu = platform.processor()
    try:
        with open("/proc/cpuinfo") as f:
            cpu = next(line.split(":", 1)[1].strip() for line in f if line.startswith("model name"))
    except (OSError, StopIteration):
        pass
    commit = subprocess.run(
        ["git", "describe", "--always", "--dirty"], cwd=ROOT, capture_output=True, text=True
    ).stdout.strip()
    return {
        "versions": versions,
        "commit": commit or None,
        "cpu": cpu,
        "cpus": os.cpu_count(),
        "python": sys.version,
    }


def command_line():
    return " ".join(["python -m benchmarks.bench_learner", *sys.argv[1:]])


def run_timing(args):
    started = datetime.datetime.now().isoformat(timespec="seconds")
    load_start = os.getloadavg()
    results = []
    for key in args.shapes:
        rows = args.rows or SHAPES[key].rows // (QUICK_SCALE if args.quick else 1)
        for threads in args.threads:
            print(f"{key}, {rows:,} rows, {threads} thread(s) ...", file=sys.stderr, flush=True)
            worker = ["--worker", key, "--rows", str(rows)]
            worker += ["--rounds", str(args.rounds), "--turns", str(args.turns)]
            results.append(run_worker(threads, worker))
    return run_record("timing", started, load_start, results)


def run_memory(args):
    from examples.peers import available

    started = datetime.datetime.now().isoformat(timespec="seconds")
    load_start = os.getloadavg()
    threads = max(args.threads)
    learners = [n for n in LEARNERS if n in (OURS, OURS_LINEAR) or available(n)]
    results = []
    for rows in args.memory_rows:
        for name in learners:
            print(f"memory: {name}, {rows:,} rows ...", file=sys.stderr, flush=True)
            worker = ["--memory-worker", name, "--rows", str(rows), "--rounds", str(args.rounds)]
            results.append(run_worker(threads, worker))
    return run_record("memory", started, load_start, results)


def run_record(kind, started, load_start, results):
    """What a run writes: its results with the command, the start time, the
    load average at the start and now, and the environment."""
    return {
        "kind": kind,
        "command": command_line(),
        "started": started,
        "load_start": load_start,
        "load_end": os.getloadavg(),
        "environment": environment(),
        "results": results,
    }


# ---------------------------------------------------------------- output


def ms(sec):
    v = sec * 1e3
    return f"{v:.3g}" if v < 100 else f"{v:.0f}"


def with_spread(stat, fmt):
    return f"{fmt(stat['median'])} ({fmt(stat['min'])}-{fmt(stat['max'])})"


def load_1min(triple):
    return f"{triple[0]:.2f}"


def thread_label(threads):
    return f"{threads} thread{'s' if threads > 1 else ''}"


def table(header, rows):
    lines = ["| " + " | ".join(header) + " |", "|" + "---|" * len(header)]
    lines += ["| " + " | ".join(str(c) for c in row) + " |" for row in rows]
    return "\n".join(lines)


def by_shape(results):
    shapes = {}
    for r in results:
        shapes.setdefault(r["shape"], []).append(r)
    return shapes


def report_run(doc):
    """The lines that say how and where a run was made."""
    env = doc["environment"]
    print(f"\n`{doc['command']}`, started {doc['started']} on {env['cpu']}, {env['cpus']} CPUs")
    print(", ".join(f"{k} {v}" for k, v in env["versions"].items() if v), end="")
    print(f" (checkout {env['commit']})" if env.get("commit") else "")
    print(
        f"load average (1 min): {load_1min(doc['load_start'])} at the start, "
        f"{load_1min(doc['load_end'])} at the end"
    )


def report_timing(doc):
    report_run(doc)
    shapes = by_shape(doc["results"])
    for runs in shapes.values():
        first = runs[0]
        print(
            f"\n### {first['title']}\n\n{first['rounds']} rounds ({first['rounds'] - 1} timed), "
            f"{first['turns']} turns; held-out {first['metric_name']} on "
            f"{first['held_out_rows']:,} rows; time per tree: median of the turns' median rounds "
            "(min-max of the turns)"
            + (", 10 trees per round" if first["trees_per_round"] > 1 else "")
        )
        print(
            "load average (1 min) at start / end: "
            + ", ".join(
                f"{thread_label(r['threads'])} {load_1min(r['load_start'])} / "
                f"{load_1min(r['load_end'])}"
                for r in runs
            )
        )
        for note in first["notes"]:
            print(f"note: {note}")
        header = ["learner"]
        header += [f"ms per tree, {thread_label(r['threads'])}" for r in runs]
        header += [f"{first['metric_name']}, {thread_label(r['threads'])}" for r in runs]
        header += [f"fit s, {thread_label(r['threads'])}" for r in runs]
        rows = []
        for name in first["learners"]:
            row = [name]
            row += [with_spread(r["learners"][name]["per_tree"], ms) for r in runs]
            row += [f"{r['learners'][name]['metric']:.4f}" for r in runs]
            row += [f"{np.median(r['learners'][name]['fit_seconds']):.1f}" for r in runs]
            rows.append(row)
        print("\n" + table(header, rows))

    print("\n### Time per tree, ours / peer (below 1: ours is faster)\n")
    header, rows = ["shape", "threads"], []
    peers = [p for p in PEER_NAMES if any(p in r["learners"] for r in doc["results"])]
    for ours in (OURS, OURS_LINEAR):
        mine = "linear" if ours == OURS_LINEAR else OURS
        header += [f"{mine} / {p.removeprefix('scikit-learn ')}" for p in peers]
    for r in doc["results"]:
        row = [r["shape"], r["threads"]]
        for ours in (OURS, OURS_LINEAR):
            mine = r["learners"][ours]["per_tree"]["median"]
            for p in peers:
                theirs = r["learners"].get(p)
                row.append(f"{mine / theirs['per_tree']['median']:.2f}" if theirs else "")
        rows.append(row)
    print(table(header, rows))

    print("\n### One-off binning, seconds (median over turns, min-max)\n")
    rows = []
    for r in doc["results"]:
        mine = r["learners"][OURS]["binning_seconds"]
        theirs = r["lightgbm_dataset_seconds"]
        rows.append(
            [
                r["shape"],
                r["threads"],
                with_spread(mine, lambda v: f"{v:.2f}"),
                with_spread(theirs, lambda v: f"{v:.2f}") if theirs else "",
                f"{mine['median'] / theirs['median']:.2f}" if theirs else "",
            ]
        )
    print(
        table(
            ["shape", "threads", "ours (binning in fit)", "LightGBM Dataset.construct", "ratio"],
            rows,
        )
    )

    for ours in (OURS, OURS_LINEAR):
        print(f"\n### Where {ours}'s median round goes, ms per tree (share of the tree)\n")
        runs = doc["results"]
        parts = [r["learners"][ours]["breakdown"]["parts"] for r in runs]
        totals = [sum(p.values()) for p in parts]
        steps = sorted(
            {k for p in parts for k in p}, key=lambda k: -sum(p.get(k, 0) for p in parts)
        )
        rows = [
            [step]
            + [
                f"{p[step] * 1e3:.2f} ({p[step] / t:.0%})" if step in p else ""
                for p, t in zip(parts, totals)
            ]
            for step in steps
        ]
        rows.append(["total"] + [f"{t * 1e3:.2f}" for t in totals])
        splits = [r["learners"][ours]["breakdown"]["splits_per_tree"] for r in runs]
        rows.append(["splits per tree"] + [f"{n:.0f}" for n in splits])
        rows.append(
            [f"{PYTHON} per split, us"]
            + [f"{p[PYTHON] / max(n, 1) * 1e6:.0f}" for p, n in zip(parts, splits)]
        )
        print(table(["step"] + [f"{r['shape']}, {r['threads']} thr" for r in runs], rows))


def report_memory(doc):
    report_run(doc)
    results = doc["results"]
    first = results[0]
    print(
        f"\n### Peak resident memory growth during fit, generated x 32 (float64), "
        f"{first['rounds']} rounds, {thread_label(first['threads'])}; MB and ratio to LightGBM\n"
    )
    sizes = list(dict.fromkeys(r["rows"] for r in results))
    learners = list(dict.fromkeys(r["learner"] for r in results))
    cell = {(r["learner"], r["rows"]): r for r in results}
    header = ["learner"]
    for n in sizes:
        header += [f"{n:,} rows: MB", "/ LightGBM", "fit s", "binning s"]
    rows = []
    for name in learners:
        row = [name]
        for n in sizes:
            r = cell[(name, n)]
            lgb = cell.get((LIGHTGBM, n))
            mark = "" if r["fit_set_peak"] else " (peak before fit)"
            row += [
                f"{r['growth_mb']:,.0f}{mark}",
                f"{r['growth_mb'] / lgb['growth_mb']:.2f}" if lgb else "",
                f"{r['fit_seconds']:.1f}",
                f"{r['binning_seconds']:.2f}" if "binning_seconds" in r else "",
            ]
        rows.append(row)
    print(table(header, rows))
    print(
        "\nbinning s: ours, its binning inside the fit; LightGBM, Dataset.construct "
        "after the fit. Data: "
        + ", ".join(f"{n:,} rows {cell[(learners[0], n)]['data_mb']:,.0f} MB" for n in sizes)
    )


def chart(doc, path):
    try:
        import matplotlib
    except ImportError:
        print("matplotlib is not installed: no chart", file=sys.stderr)
        return
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    shapes = by_shape(doc["results"])
    cols = 2 if len(shapes) > 1 else 1
    rows = (len(shapes) + cols - 1) // cols
    fig, axes = plt.subplots(rows, cols, figsize=(6.5 * cols, 4.2 * rows), squeeze=False)
    for ax, runs in zip(axes.flat, shapes.values()):
        learners = list(runs[0]["learners"])
        pos = np.arange(len(learners))
        width = 0.8 / len(runs)
        # A turn disturbed by other load can take many times the median: the
        # axis ends above the medians, and a longer bar of the spread ends in
        # an arrow with its value.
        top = 1.8 * max(r["learners"][n]["per_tree"]["median"] for r in runs for n in learners)
        for i, r in enumerate(runs):
            at = pos + (i - (len(runs) - 1) / 2) * width
            stats = [r["learners"][n]["per_tree"] for n in learners]
            mid = np.array([st["median"] for st in stats])
            low = np.array([st["min"] for st in stats])
            high = np.array([st["max"] for st in stats])
            bars = ax.bar(
                at,
                mid * 1e3,
                width,
                yerr=[(mid - low) * 1e3, (np.minimum(high, top) - mid) * 1e3],
                capsize=3,
                label=thread_label(r["threads"]),
            )
            ax.bar_label(
                bars, labels=[ms(v) for v in mid], fontsize=7, label_type="center", color="white"
            )
            for x, h in zip(at, high):
                if h > top:
                    ax.annotate(
                        ms(h),
                        (x, top * 1e3),
                        xytext=(0, -16),
                        textcoords="offset points",
                        ha="center",
                        fontsize=6,
                        bbox={"boxstyle": "square,pad=0.1", "fc": "white", "ec": "none"},
                        arrowprops={"arrowstyle": "->", "lw": 0.8},
                    )
        ax.set_ylim(0, top * 1e3)
        ax.set_xticks(pos, [n.replace(", ", ",\n").replace(" HGB", "\nHGB") for n in learners])
        ax.tick_params(axis="x", labelsize=7)
        ax.set_ylabel("ms per tree")
        ax.set_title(runs[0]["title"], fontsize=9)
        ax.legend(fontsize=8, loc="upper left")
    for ax in list(axes.flat)[len(shapes) :]:
        ax.set_visible(False)
    fig.suptitle(
        "Time per tree: median of the turns' median rounds, bars min-max of the turns "
        "(31 leaves, 255 bins)",
        fontsize=10,
    )
    fig.tight_layout()
    fig.savefig(path, dpi=110)
    plt.close(fig)
    print(f"\nchart written to {path}")


def parse_list(text, kind=int):
    return [kind(v.replace("_", "")) if kind is int else v for v in text.split(",") if v]


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--quick", action="store_true", help="a smoke run of a few minutes")
    parser.add_argument("--shapes", default=",".join(SHAPES), help="comma-separated shapes")
    parser.add_argument("--threads", default="1,2", help="thread counts, each in its own process")
    parser.add_argument("--rows", type=int, help="rows of every shape (default: each its own)")
    parser.add_argument("--rounds", type=int, help="boosting rounds per fit (default 21)")
    parser.add_argument(
        "--turns", type=int, help="turns of every learner (>= 3; default 5, --quick 3)"
    )
    parser.add_argument("--memory", action="store_true", help="fit memory instead of time")
    parser.add_argument("--memory-rows", help="row counts of the memory run (default 1M,4M)")
    parser.add_argument("--json", help="where to write the raw results")
    parser.add_argument(
        "--chart", help=f"where to draw the chart (a run: default {CHART}; --report: only if given)"
    )
    parser.add_argument("--report", metavar="JSON", help="print the tables of saved results")
    parser.add_argument("--worker", choices=list(SHAPES), help=argparse.SUPPRESS)
    parser.add_argument("--memory-worker", choices=LEARNERS, help=argparse.SUPPRESS)
    parser.add_argument("--out", help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.rounds is None:
        args.rounds = 11 if args.quick else 21
    if args.turns is None:
        # Five turns: on this shared machine a learner's turns spread over
        # 10-40 %, and a median of three moved with one slow turn.
        args.turns = 3 if args.quick else 5
    if args.rounds < 3:
        parser.error("--rounds must be at least 3")
    if args.turns < 3:
        parser.error("--turns must be at least 3")
    if args.worker:
        time_shape(args)
        return
    if args.memory_worker:
        memory_fit(args)
        return
    if args.report:
        with open(args.report) as f:
            doc = json.load(f)
        if doc["kind"] == "timing":
            report_timing(doc)
            # A report redraws the chart only where asked: by default it
            # would overwrite the chart of the committed run.
            if args.chart:
                chart(doc, args.chart)
        else:
            report_memory(doc)
        return
    args.threads = parse_list(args.threads)
    args.shapes = parse_list(args.shapes, str)
    unknown = [k for k in args.shapes if k not in SHAPES]
    if unknown:
        parser.error(f"unknown shapes {unknown}; known: {', '.join(SHAPES)}")
    if args.memory:
        if args.memory_rows:
            args.memory_rows = parse_list(args.memory_rows)
        else:
            args.memory_rows = [n // (QUICK_SCALE if args.quick else 1) for n in MEMORY_ROWS]
        doc = run_memory(args)
        path = args.json or JSON_MEMORY
    else:
        doc = run_timing(args)
        path = args.json or JSON_TIMING
    with open(path, "w") as f:
        json.dump(doc, f, indent=1)
    print(f"raw results written to {path}", file=sys.stderr)
    if args.memory:
        report_memory(doc)
    else:
        report_timing(doc)
        chart(doc, args.chart or CHART)


if __name__ == "__main__":
    main()
