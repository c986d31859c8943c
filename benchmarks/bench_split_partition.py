"""find_best_split and partition_rows next to scikit-learn's Splitter and NumPy.

Run from the repository root, in an environment with the package and
scikit-learn installed (.venv of scripts/test.sh, or .venv-demo):
    .venv/bin/python -m benchmarks.bench_split_partition
The machine is noisy; every figure is a median of several repeats, measured
side by side in one process, and the ratios are what to compare.
"""

import timeit

import numpy as np
import tarnwick_native as tn

try:
    from sklearn.ensemble._hist_gradient_boosting.common import HISTOGRAM_DTYPE
    from sklearn.ensemble._hist_gradient_boosting.splitting import SplitInfo, Splitter
except ImportError:
    Splitter = None


def median_seconds(fn, number, repeat=9):
    return float(np.median(timeit.repeat(fn, number=number, repeat=repeat))) / number


def node_histogram(rng, n_features, n_bins):
    hist = np.empty((n_features, n_bins, 3))
    hist[:, :, 0] = rng.normal(size=(n_features, n_bins))
    hist[:, :, 1] = rng.uniform(0.5, 1.5, size=(n_features, n_bins))
    hist[:, :, 2] = rng.integers(1, 400, size=(n_features, n_bins))
    # Every feature sums to the same rows, as a real node histogram does.
    hist[1:] = hist[0]
    for f in range(1, n_features):
        hist[f, :-1] = rng.permutation(hist[0, :-1])
    return hist


def sklearn_splitter(X_binned, n_bins, n_categorical=0):
    n_features = X_binned.shape[1]
    categorical = np.zeros(n_features, np.uint8)
    categorical[:n_categorical] = 1
    return Splitter(
        X_binned=X_binned,
        n_bins_non_missing=np.full(n_features, n_bins - 1, np.uint32),
        missing_values_bin_idx=n_bins - 1,
        has_missing_values=np.zeros(n_features, np.uint8),
        is_categorical=categorical,
        monotonic_cst=np.zeros(n_features, np.int8),
        l2_regularization=1.0,
        min_samples_leaf=20,
    )


def bench_split(rng):
    n_features, n_bins = 32, 256
    hist = node_histogram(rng, n_features, n_bins)
    n_bins_per_feature = np.full(n_features, n_bins - 1, np.int64)
    for n_categorical in (0, 4):
        mask = np.zeros(n_features, bool)
        mask[:n_categorical] = True
        ours = median_seconds(
            lambda: tn.find_best_split(hist, n_bins_per_feature, 20, 1.0, mask, 10.0, 100, 32),
            number=2000,
        )
        line = f"find_best_split 32 x 256, {n_categorical} categorical: {ours * 1e6:7.2f} us"
        if Splitter is not None:
            splitter = sklearn_splitter(
                np.zeros((1, n_features), np.uint8, order="F"), n_bins, n_categorical
            )
            sk_hist = np.zeros((n_features, n_bins), HISTOGRAM_DTYPE)
            sk_hist["sum_gradients"] = hist[:, :, 0]
            sk_hist["sum_hessians"] = hist[:, :, 1]
            sk_hist["count"] = hist[:, :, 2]
            n_samples = int(hist[0, :, 2].sum())
            g, h = float(hist[0, :, 0].sum()), float(hist[0, :, 1].sum())
            theirs = median_seconds(
                lambda: splitter.find_node_split(n_samples, sk_hist, g, h, 0.0), number=2000
            )
            line += f"   sklearn find_node_split {theirs * 1e6:7.2f} us   ratio {ours / theirs:.2f}"
        print(line)


def bench_partition(rng):
    n_rows, n_features, n_bins = 1_000_000, 32, 256
    binned = rng.integers(0, n_bins, size=(n_features, n_rows), dtype=np.uint16)
    feature, threshold, missing = 7, 120, n_bins - 1
    categories = np.arange(0, n_bins - 1, 3, dtype=np.int64)
    for label, rows in (
        ("all rows", np.arange(n_rows, dtype=np.int64)),
        ("10% sorted", np.sort(rng.choice(n_rows, n_rows // 10, replace=False))),
        ("10% shuffled", rng.choice(n_rows, n_rows // 10, replace=False)),
    ):
        n = len(rows)
        numeric = median_seconds(
            lambda: tn.partition_rows(binned, rows, feature, threshold, None, missing), number=5
        )
        categorical = median_seconds(
            lambda: tn.partition_rows(binned, rows, feature, 0, categories, missing), number=5
        )

        def numpy_partition():
            codes = binned[feature, rows]
            go_left = (codes == missing) | (codes <= threshold)
            return rows[go_left], rows[~go_left]

        reference = median_seconds(numpy_partition, number=5)
        print(
            f"partition_rows {label:12s}: numeric {numeric / n * 1e9:5.2f} ns/row, "
            f"categorical {categorical / n * 1e9:5.2f} ns/row, "
            f"NumPy mask {reference / n * 1e9:5.2f} ns/row "
            f"(ratio {numeric / reference:.2f})"
        )

    if Splitter is not None:
        X_binned = np.asfortranarray(binned[:, :].T.astype(np.uint8))
        splitter = sklearn_splitter(X_binned, n_bins)
        info = SplitInfo(
            1.0, feature, threshold, True, 0.0, 0.0, 0.0, 0.0, 0, 0, 0.0, 0.0, False, None
        )
        theirs = median_seconds(lambda: splitter.split_indices(info, splitter.partition), number=5)
        rows = np.arange(n_rows, dtype=np.int64)
        ours = median_seconds(
            lambda: tn.partition_rows(binned, rows, feature, threshold, None, missing), number=5
        )
        print(
            f"partition_rows all rows {ours / n_rows * 1e9:5.2f} ns/row   sklearn split_indices "
            f"{theirs / n_rows * 1e9:5.2f} ns/row   ratio {ours / theirs:.2f}"
        )


if __name__ == "__main__":
    generator = np.random.default_rng(0)
    bench_split(generator)
    bench_partition(generator)
