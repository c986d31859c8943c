"""The main job: train tarnwick on four data sets and compare it, on held-out
data, with a constant baseline, LightGBM, XGBoost and scikit-learn's
HistGradientBoosting trained with the same settings.

    python examples/demo.py            # full run, about 2 minutes on 2 cores
    python examples/demo.py --quick    # smaller generated data, fewer splits

Small data sets are split 75/25 several times (mean and standard deviation
over the splits); the generated data set trains on its rows and is scored on
a separate held-out draw. Fit time is the whole fit, binning included; time
per tree is the median boosting round divided by its trees.
"""

import argparse
import os
import sys

# The worker pool of the native passes is sized once, from RAYON_NUM_THREADS,
# when it starts: set it before tarnwick is first used (all processors by
# default, as the peers use).
os.environ.setdefault("RAYON_NUM_THREADS", str(len(os.sched_getaffinity(0))))

import numpy as np  # noqa: E402
import tarnwick  # noqa: E402
from datasets import DataSet, bundled, generated  # noqa: E402
from peers import PEERS, Settings, available, make_ours, make_peer, timed_fit  # noqa: E402

OURS = "tarnwick"
OURS_LINEAR = "tarnwick, linear leaves"
REFERENCE_PEER = "scikit-learn HGB"


def row_losses(task, y, out):
    """Per-row squared errors (regression) or log losses (classification)."""
    if task == "regression":
        return (out - y) ** 2
    return -np.log(np.clip(out[np.arange(y.size), y], 1e-15, 1.0))


def metric(task, losses):
    """RMSE for regression, mean log loss for classification."""
    return float(np.sqrt(losses.mean())) if task == "regression" else float(losses.mean())


def difference(task, ours, ref):
    """Mean metric difference ours - ref and its standard error: over the
    splits when there are several, else from the paired per-row losses."""
    diffs = np.array([metric(task, a) - metric(task, b) for a, b in zip(ours, ref)])
    if len(diffs) > 1:
        return diffs.mean(), diffs.std(ddof=1) / np.sqrt(len(diffs))
    paired = ours[0] - ref[0]
    se = paired.std(ddof=1) / np.sqrt(paired.size)
    if task == "regression":
        se /= 2.0 * metric(task, ref[0])  # d sqrt(m) = dm / (2 sqrt(m))
    return diffs[0], se


def constant_output(task, y_train, n_test):
    if task == "regression":
        return np.full(n_test, y_train.mean())
    prior = np.bincount(y_train) / y_train.size
    return np.tile(prior, (n_test, 1))


def fit_ours(task, s, linear, data, verbose):
    """Fits our learner; returns (held-out output, fit seconds, median round
    seconds). linear, if given, holds the settings of embedded-linear leaves
    (their columns, linear_features, among them)."""
    x_train, y_train, x_test = data
    model = make_ours(task, s, verbose=verbose, **(linear or {}))
    seconds, rounds = timed_fit(model, x_train, y_train)
    out = model.predict(x_test) if task == "regression" else model.predict_proba(x_test)
    return out, seconds, float(np.median(rounds))


def fit_peer(name, task, s, data):
    x_train, y_train, x_test = data
    model = make_peer(name, task, s)
    seconds, rounds = timed_fit(model, x_train, y_train)
    out = model.predict(x_test) if task == "regression" else model.predict_proba(x_test)
    return out, seconds, float(np.median(rounds))


def evaluate(ds, s, splits, linear, peers, verbose=0):
    """Per learner: list of (per-row losses, accuracy, fit seconds, seconds
    per tree) over the splits."""
    results = {}
    trees_per_round = int(ds.y.max()) + 1 if ds.task == "multiclass" else 1
    for x_train, y_train, x_test, y_test in splits:
        data = (x_train, y_train, x_test)
        runs = {"constant baseline": (constant_output(ds.task, y_train, y_test.size), None, None)}
        runs[OURS] = fit_ours(ds.task, s, None, data, verbose)
        if linear is not None and ds.embedding is not None:
            settings = {"linear_features": ds.embedding, **linear}
            runs[OURS_LINEAR] = fit_ours(ds.task, s, settings, data, verbose)
        for name in peers:
            runs[name] = fit_peer(name, ds.task, s, data)
        for name, (out, seconds, round_seconds) in runs.items():
            acc = None if ds.task == "regression" else float(np.mean(np.argmax(out, 1) == y_test))
            results.setdefault(name, []).append(
                (
                    row_losses(ds.task, y_test, out),
                    acc,
                    seconds,
                    None if seconds is None else round_seconds / trees_per_round,
                )
            )
    return results


def report(ds, s, results, n_splits):
    unit = "RMSE" if ds.task == "regression" else "log loss"
    print(
        f"\n{ds.name}: {ds.task}, {ds.x.shape[0]:,} rows x {ds.x.shape[1]} features; "
        f"{n_splits} split{'s' if n_splits > 1 else ''}; {s.rounds} rounds, "
        f"{s.leaves} leaves, {s.bins} bins, learning rate {s.learning_rate}, "
        f"l2 {s.l2}, min leaf {s.min_samples_leaf}"
    )
    head = f"  {'learner':<26}{'held-out ' + unit:>22}"
    if ds.task != "regression":
        head += f"{'accuracy':>10}"
    print(head + f"{'fit time':>11}{'time per tree':>16}")
    for name, runs in results.items():
        vals = np.array([metric(ds.task, r[0]) for r in runs])
        line = f"  {name:<26}{vals.mean():>13.4f} ± {vals.std():<6.4f}"
        if ds.task != "regression":
            line += f"{np.mean([r[1] for r in runs]):>10.4f}"
        if runs[0][2] is None:
            line += f"{'-':>11}{'-':>16}"
        else:
            line += f"{np.mean([r[2] for r in runs]):>9.2f} s"
            line += f"{np.mean([r[3] for r in runs]) * 1e3:>13.2f} ms"
        print(line)
    basis = "over the splits" if n_splits > 1 else "paired over held-out rows"
    pairs = [(OURS, REFERENCE_PEER), (OURS_LINEAR, OURS)]
    for a, b in pairs:
        if a in results and b in results:
            mean, se = difference(ds.task, [r[0] for r in results[a]], [r[0] for r in results[b]])
            print(f"  {a} - {b}: {mean:+.4f} {unit}, standard error {se:.4f} ({basis})")


def chart(sections, path):
    """Held-out metric (mean and standard deviation over the splits) and fit
    time of every learner on every data set, one column of panels per set."""
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    names = []
    for _, results in sections:
        names += [n for n in results if n != "constant baseline" and n not in names]
    colors = ["#1f5fa8" if n.startswith(OURS) else "#9a9a9a" for n in names]
    fig, axes = plt.subplots(2, len(sections), figsize=(4.4 * len(sections), 6.0), squeeze=False)
    for col, (ds, results) in enumerate(sections):
        unit = "RMSE" if ds.task == "regression" else "log loss"
        runs = [results.get(n, []) for n in names]
        means = np.array(
            [np.mean([metric(ds.task, r[0]) for r in rs]) if rs else np.nan for rs in runs]
        )
        spread = np.array(
            [np.std([metric(ds.task, r[0]) for r in rs]) if rs else 0.0 for rs in runs]
        )
        seconds = np.array([np.mean([r[2] for r in rs]) if rs else np.nan for rs in runs])
        top, bottom = axes[0, col], axes[1, col]
        top.barh(names, means, xerr=spread, color=colors, error_kw={"lw": 0.8, "capsize": 2})
        shown = means[np.isfinite(means)]
        top.set_xlim(shown.min() * 0.97, shown.max() * 1.02)
        top.set_title(ds.name.split(" (")[0], fontsize=10)
        top.set_xlabel(f"held-out {unit}, lower is better", fontsize=8)
        bottom.barh(names, seconds, color=colors)
        bottom.set_xlabel("fit time (s)", fontsize=8)
        for ax in (top, bottom):
            ax.tick_params(labelsize=8)
            ax.invert_yaxis()
    fig.suptitle(
        "tarnwick and its peers at the same settings (bars: mean over splits)", fontsize=11
    )
    fig.tight_layout()
    fig.savefig(path, dpi=100)
    print(f"\nchart written to {path}")


def random_splits(ds, n_splits):
    out = []
    for seed in range(n_splits):
        rng = np.random.default_rng(seed)
        perm = rng.permutation(ds.y.size)
        cut = ds.y.size * 3 // 4
        tr, te = perm[:cut], perm[cut:]
        out.append((ds.x[tr], ds.y[tr], ds.x[te], ds.y[te]))
    return out


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument(
        "--quick",
        action="store_true",
        help="100,000 generated rows, 2 splits of the small data sets",
    )
    parser.add_argument("--rows", type=int, help="generated training rows (default 1,000,000)")
    parser.add_argument(
        "--chart",
        default=os.path.join(os.path.dirname(os.path.abspath(__file__)), "demo_results.png"),
        help="where to write the results chart (PNG)",
    )
    args = parser.parse_args()
    n_rows = args.rows or (100_000 if args.quick else 1_000_000)
    n_splits = 2 if args.quick else 10
    peers = [name for name in PEERS if available(name)]
    missing = [name for name in PEERS if name not in peers]
    print(
        f"tarnwick {tarnwick.__version__} demo; worker threads: "
        f"{os.environ['RAYON_NUM_THREADS']}; peers: {', '.join(peers)}"
        + (f" (not installed: {', '.join(missing)})" if missing else "")
    )

    plans = [
        ("breast cancer", Settings(), None),
        ("digits", Settings(), None),
        ("diabetes", Settings(learning_rate=0.05, leaves=4), {"linear_l2": 1000.0}),
    ]
    sections = []
    for name, s, linear in plans:
        ds = bundled(name)
        results = evaluate(ds, s, random_splits(ds, n_splits), linear, peers)
        report(ds, s, results, n_splits)
        sections.append((ds, results))

    s = Settings()
    ds = generated(n_rows + n_rows // 5, seed=0)
    x_train, y_train = ds.x[:n_rows], ds.y[:n_rows]
    x_test, y_test = ds.x[n_rows:], ds.y[n_rows:]
    ds = DataSet(
        f"generated {n_rows:,} x 32 (+{y_test.size:,} held out)",
        ds.task,
        x_train,
        y_train,
        ds.embedding,
    )
    print(f"\ntraining on {ds.name}...", file=sys.stderr, flush=True)
    results = evaluate(
        ds, s, [(x_train, y_train, x_test, y_test)], {"linear_l2": 1.0}, peers, verbose=1
    )
    report(ds, s, results, 1)
    sections.append((ds, results))
    chart(sections, args.chart)


if __name__ == "__main__":
    main()
