"""build_histograms and apply_tree next to NumPy and scikit-learn.

Run from the repository root, in an environment with the package and
scikit-learn installed (.venv of scripts/test.sh, or .venv-demo):
    .venv/bin/python -m benchmarks.bench_histograms_trees [--rows N] [--repeat R]
Each thread count runs in its own interpreter (the pool reads
RAYON_NUM_THREADS once; scikit-learn gets the same count as its n_threads
argument and through threadpoolctl). Within it, all sides run side by side on
the same data; every figure is the median of several repeats, and the ratios
are what to compare.

Histograms: 32 features of random codes below 255, feature-major uint16 for
us, Fortran-ordered uint8 with float32 gradients for scikit-learn's
HistogramBuilder; all rows (the root) and a 10 % node of sorted row ids.
NumPy: np.bincount per feature and channel.

Trees: one 31-leaf tree of HistGradientBoostingRegressor(max_iter=1) trained
on the same 32 raw features (2 % NaN), turned into our flat arrays; ours
against its TreePredictor and a vectorised level-by-level NumPy descent.
"""

import argparse
import json

import numpy as np

from benchmarks.harness import run_at_thread_count, timed_runs

N_FEATURES = 32
N_BINS = 255
N_LEAVES = 31
THREADS = (1, 2)


def median_seconds(fn, repeat):
    return float(np.median(timed_runs(fn, repeat)))


def numpy_histograms(binned, rows, grad, hess, n_bins, all_rows):
    out = np.empty((binned.shape[0], n_bins, 3))
    g, h = (grad, hess) if all_rows else (grad[rows], hess[rows])
    for f in range(binned.shape[0]):
        codes = binned[f] if all_rows else binned[f, rows]
        out[f, :, 0] = np.bincount(codes, g, n_bins)
        out[f, :, 1] = np.bincount(codes, h, n_bins)
        out[f, :, 2] = np.bincount(codes, None, n_bins)
    return out


def flat_tree(nodes):
    """scikit-learn's predictor nodes as our per-node arrays (leaves numbered
    in node order)."""
    leaf_id = np.full(len(nodes), -1, np.int32)
    leaves = np.flatnonzero(nodes["is_leaf"])
    leaf_id[leaves] = np.arange(len(leaves))
    return dict(
        feature=nodes["feature_idx"].astype(np.int32),
        threshold=nodes["num_threshold"].astype(np.float64),
        left=nodes["left"].astype(np.int32),
        right=nodes["right"].astype(np.int32),
        leaf_id=leaf_id,
        missing_left=nodes["missing_go_to_left"].astype(bool),
        cat_offsets=np.zeros(len(nodes) + 1, np.int64),
        cat_values=np.zeros(0),
    ), leaves


def numpy_apply(x, tree, max_depth):
    """Every unfinished row one level down per step."""
    node = np.zeros(len(x), np.int64)
    feature, threshold = tree["feature"], tree["threshold"]
    left, right, leaf_id = tree["left"], tree["right"], tree["leaf_id"]
    missing_left = tree["missing_left"]
    active = np.arange(len(x))
    for _ in range(max_depth):
        active = active[leaf_id[node[active]] < 0]
        if len(active) == 0:
            break
        at = node[active]
        v = x[active, feature[at]]
        go_left = np.where(np.isnan(v), missing_left[at], v <= threshold[at])
        node[active] = np.where(go_left, left[at], right[at])
    return leaf_id[node].astype(np.int64)


def bench_histograms(tn, histogram, rng, n_rows, threads, repeat):
    binned = rng.integers(0, N_BINS, size=(N_FEATURES, n_rows), dtype=np.uint16)
    g32 = rng.standard_normal(n_rows).astype(np.float32)
    h32 = rng.uniform(0.1, 1.0, n_rows).astype(np.float32)
    grad, hess = g32.astype(np.float64), h32.astype(np.float64)
    builder = histogram.HistogramBuilder(
        np.asfortranarray(binned.T.astype(np.uint8)), N_BINS, g32, h32, False, threads
    )
    report = []
    nodes = [
        ("all rows", np.arange(n_rows, dtype=np.int64)),
        ("10 % node", np.sort(rng.choice(n_rows, n_rows // 10, replace=False))),
    ]
    for name, rows in nodes:
        rows = rows.astype(np.int64)
        ids = rows.astype(np.uint32)
        all_rows = len(rows) == n_rows
        ours = tn.build_histograms(binned, rows, grad, hess, N_BINS)
        # scikit-learn adds each bin's values in row order too: same bits.
        theirs = np.asarray(builder.compute_histograms_brute(ids))
        assert np.array_equal(ours[:, :, 0], theirs["sum_gradients"])
        assert np.array_equal(ours[:, :, 2], theirs["count"])
        assert np.allclose(ours, numpy_histograms(binned, rows, grad, hess, N_BINS, all_rows))
        t_ours = median_seconds(
            lambda: tn.build_histograms(binned, rows, grad, hess, N_BINS), repeat
        )
        t_numpy = median_seconds(
            lambda: numpy_histograms(binned, rows, grad, hess, N_BINS, all_rows),
            max(3, repeat // 3),
        )
        t_sklearn = median_seconds(lambda: builder.compute_histograms_brute(ids), repeat)
        pairs = len(rows) * N_FEATURES
        report.append(
            ("build_histograms " + name, t_ours / pairs, t_numpy / pairs, t_sklearn / pairs)
        )
    return report


def bench_apply_tree(tn, rng, n_rows, threads, repeat):
    from sklearn.ensemble import HistGradientBoostingRegressor

    x = rng.standard_normal((n_rows, N_FEATURES))
    x[rng.random(x.shape) < 0.02] = np.nan
    clean = np.nan_to_num(x)
    y = (
        np.sin(3 * clean[:, :8]).sum(1)
        + clean[:, 8] * clean[:, 9]
        + 0.1 * rng.standard_normal(n_rows)
    )
    model = HistGradientBoostingRegressor(
        max_iter=1, max_leaf_nodes=N_LEAVES, early_stopping=False
    ).fit(x, y)
    predictor = model._predictors[0][0]
    tree, leaves = flat_tree(predictor.nodes)
    assert len(leaves) == N_LEAVES
    max_depth = int(predictor.nodes["depth"].max())
    known = np.zeros((0, 8), np.uint32)
    f_idx_map = np.zeros(N_FEATURES, np.uint32)

    ours = tn.apply_tree(x, **tree)
    assert np.array_equal(
        predictor.nodes["value"][leaves][ours], predictor.predict(x, known, f_idx_map, threads)
    )
    assert np.array_equal(ours, numpy_apply(x, tree, max_depth + 1))
    t_ours = median_seconds(lambda: tn.apply_tree(x, **tree), repeat)
    t_numpy = median_seconds(lambda: numpy_apply(x, tree, max_depth + 1), max(3, repeat // 3))
    t_sklearn = median_seconds(lambda: predictor.predict(x, known, f_idx_map, threads), repeat)
    name = f"apply_tree (31 leaves, depth {max_depth})"
    return [(name, t_ours / n_rows, t_numpy / n_rows, t_sklearn / n_rows)]


def run_here(n_rows, threads, repeat):
    """All measurements at one thread count; returns rows of the report."""
    import tarnwick_native as tn
    from sklearn.ensemble._hist_gradient_boosting import histogram
    from threadpoolctl import threadpool_limits

    rng = np.random.default_rng(0)
    with threadpool_limits(limits=threads):
        return bench_histograms(tn, histogram, rng, n_rows, threads, repeat) + bench_apply_tree(
            tn, rng, n_rows, threads, repeat
        )


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--rows", type=int, default=1_000_000)
    parser.add_argument("--repeat", type=int, default=9)
    parser.add_argument("--threads", type=int, help=argparse.SUPPRESS)
    args = parser.parse_args()

    if args.threads is not None:
        print(json.dumps(run_here(args.rows, args.threads, args.repeat)))
        return

    import sklearn

    print(
        f"{args.rows:,} rows x {N_FEATURES} features, {N_BINS} bins; NumPy {np.__version__}, "
        f"scikit-learn {sklearn.__version__}; ns per row-feature (histograms), per row (trees)"
    )
    print(
        f"{'function':40} {'thr':>3} {'ours':>8} {'NumPy':>8} {'sklearn':>8} "
        f"{'vs NumPy':>9} {'vs sklearn':>11}"
    )
    for threads in THREADS:
        results = run_at_thread_count(
            "benchmarks.bench_histograms_trees",
            threads,
            "--rows",
            args.rows,
            "--repeat",
            args.repeat,
        )
        for name, ours, numpy_, sklearn_ in results:
            print(
                f"{name:40} {threads:>3} {ours * 1e9:>8.2f} {numpy_ * 1e9:>8.2f} "
                f"{sklearn_ * 1e9:>8.2f} {numpy_ / ours:>8.1f}x {sklearn_ / ours:>10.2f}x"
            )


if __name__ == "__main__":
    main()
