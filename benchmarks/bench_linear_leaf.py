"""leaf_linear_stats, leaf_linear_stats_mc and predict_linear next to NumPy.

Run from the repository root, in an environment with the package installed
(.venv of scripts/test.sh, or .venv-demo):
    .venv/bin/python -m benchmarks.bench_linear_leaf [--rows N] [--repeat R]
Each thread count runs in its own interpreter: the pool reads
RAYON_NUM_THREADS once, and NumPy's BLAS is limited to the same count with
threadpoolctl. Within it, both sides run side by side on the same data; every
figure is a median of several repeats, and the ratios are what to compare.

The data: a million rows in 31 leaves of uneven size, grouped by leaf with
each leaf's rows ascending (the layout a tree grower leaves), every leaf
linear; for prediction, every row in a random one of the 31 leaves.
"""

import argparse
import json
import os

import numpy as np

from benchmarks.harness import run_at_thread_count, timed_runs

N_LEAVES = 31
WIDTHS = (8, 16, 32)
THREADS = (1, 2)


def median_seconds(fn, repeat):
    return float(np.median(timed_runs(fn, repeat)))


def leaf_layout(rng, n_rows, n_leaves):
    """order, offsets, linear of a grown tree: leaves of uneven size, each
    leaf's rows ascending."""
    share = rng.dirichlet(np.full(n_leaves, 2.0))
    leaf_of = rng.choice(n_leaves, size=n_rows, p=share)
    order = np.argsort(leaf_of, kind="stable").astype(np.int64)
    offsets = np.concatenate([[0], np.cumsum(np.bincount(leaf_of, minlength=n_leaves))])
    return order, offsets.astype(np.int64), np.arange(n_leaves, dtype=np.int64)


def numpy_stats(z, grad, hess, order, offsets, linear, leaf_class=None):
    """The seven statistics the straightforward NumPy way, leaf by leaf;
    with leaf_class, grad and hess are (n_rows, n_classes) and leaf l reads
    column leaf_class[l]."""
    d = z.shape[1]
    n_leaves = len(offsets) - 1
    if leaf_class is None:
        grad, hess, leaf_class = grad[:, None], hess[:, None], np.zeros(n_leaves, np.int64)
    totals_g, totals_h = np.empty(n_leaves), np.empty(n_leaves)
    hz, gz = np.empty((len(linear), d)), np.empty((len(linear), d))
    lo, hi = np.empty((len(linear), d)), np.empty((len(linear), d))
    gram = np.empty((len(linear), d, d))
    for l in range(n_leaves):
        rows = order[offsets[l] : offsets[l + 1]]
        c = leaf_class[l]
        totals_g[l], totals_h[l] = grad[rows, c].sum(), hess[rows, c].sum()
    for k, l in enumerate(linear):
        rows = order[offsets[l] : offsets[l + 1]]
        c = leaf_class[l]
        zr, g, h = z[rows], grad[rows, c], hess[rows, c]
        weighted = h[:, None] * zr
        gram[k] = zr.T @ weighted
        hz[k] = weighted.sum(0)
        gz[k] = g @ zr
        lo[k], hi[k] = np.fmin.reduce(zr, 0), np.fmax.reduce(zr, 0)
    return totals_g, totals_h, hz, gram, gz, lo, hi


def numpy_predict(leaf_idx, z, bias, weights, z_min, z_max, clip):
    if clip:
        z = np.clip(z, z_min[leaf_idx], z_max[leaf_idx])
    return bias[leaf_idx] + (z * weights[leaf_idx]).sum(1)


def close(ours, theirs):
    return all(np.allclose(a, b, rtol=1e-9, atol=1e-9) for a, b in zip(ours, theirs))


def run_here(n_rows, threads, repeat):
    """All measurements at one thread count; returns rows of the report."""
    import tarnwick_native as tn
    from threadpoolctl import threadpool_limits

    rng = np.random.default_rng(0)
    report = []
    with threadpool_limits(limits=threads):
        for d in WIDTHS:
            z = rng.standard_normal((n_rows, d))
            grad = rng.standard_normal(n_rows)
            hess = rng.uniform(0.1, 1.0, n_rows)
            layout = leaf_layout(rng, n_rows, N_LEAVES)
            args = (z, grad, hess) + layout
            assert close(tn.leaf_linear_stats(*args), numpy_stats(*args))
            ours = median_seconds(lambda: tn.leaf_linear_stats(*args), repeat)
            theirs = median_seconds(lambda: numpy_stats(*args), max(3, repeat // 2))
            report.append(("leaf_linear_stats", d, ours, theirs))

            leaf_idx = rng.integers(0, N_LEAVES, n_rows)
            bias = rng.standard_normal(N_LEAVES)
            weights = rng.standard_normal((N_LEAVES, d))
            z_min, z_max = np.full((N_LEAVES, d), -1.5), np.full((N_LEAVES, d), 1.5)
            for clip in (False, True):
                p = (leaf_idx, z, bias, weights, z_min, z_max, clip)
                assert np.allclose(tn.predict_linear(*p), numpy_predict(*p), rtol=1e-12)
                ours = median_seconds(lambda: tn.predict_linear(*p), repeat)
                theirs = median_seconds(lambda: numpy_predict(*p), repeat)
                report.append(
                    ("predict_linear clip" if clip else "predict_linear", d, ours, theirs)
                )

        # A three-class round: each class tree holds every row, pooled.
        d, n_classes = 16, 3
        z = rng.standard_normal((n_rows, d))
        grad = rng.standard_normal((n_rows, n_classes))
        hess = rng.uniform(0.1, 1.0, (n_rows, n_classes))
        trees = [leaf_layout(rng, n_rows, N_LEAVES) for _ in range(n_classes)]
        order = np.concatenate([t[0] for t in trees])
        offsets = np.concatenate([[0]] + [t[1][1:] + c * n_rows for c, t in enumerate(trees)])
        linear = np.arange(n_classes * N_LEAVES, dtype=np.int64)
        leaf_class = np.repeat(np.arange(n_classes), N_LEAVES).astype(np.int64)
        args = (z, grad, hess, order, offsets, linear, leaf_class)
        assert close(tn.leaf_linear_stats_mc(*args), numpy_stats(*args))
        ours = median_seconds(lambda: tn.leaf_linear_stats_mc(*args), repeat)
        theirs = median_seconds(lambda: numpy_stats(*args), max(3, repeat // 2))
        report.append(("leaf_linear_stats_mc (3 classes)", d, ours, theirs))
    return report


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--rows", type=int, default=1_000_000)
    parser.add_argument("--repeat", type=int, default=7)
    parser.add_argument("--threads", type=int, help=argparse.SUPPRESS)
    args = parser.parse_args()

    if args.threads is not None:
        print(json.dumps(run_here(args.rows, args.threads, args.repeat)))
        return

    from threadpoolctl import threadpool_info

    blas = [
        (i["internal_api"], i.get("architecture"))
        for i in threadpool_info()
        if i["user_api"] == "blas"
    ]
    print(
        f"{args.rows:,} rows, {N_LEAVES} leaves; NumPy {np.__version__}, BLAS {blas}; "
        f"OPENBLAS_CORETYPE={os.environ.get('OPENBLAS_CORETYPE', '(unset)')}"
    )
    print(
        f"{'function':34} {'d':>3} {'thr':>3} {'ours ns/row':>12} {'NumPy ns/row':>13} {'ratio':>7}"
    )
    for threads in THREADS:
        results = run_at_thread_count(
            "benchmarks.bench_linear_leaf", threads, "--rows", args.rows, "--repeat", args.repeat
        )
        for name, d, ours, theirs in results:
            rows = args.rows * (3 if "mc" in name else 1)
            print(
                f"{name:34} {d:>3} {threads:>3} {ours / rows * 1e9:>12.1f} "
                f"{theirs / rows * 1e9:>13.1f} {theirs / ours:>6.1f}x"
            )


if __name__ == "__main__":
    main()
