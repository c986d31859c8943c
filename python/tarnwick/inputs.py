"""From what a user passes to the float matrix the learner reads.

Every feature becomes a float64 column with NaN for a missing value. A
categorical feature holds category values: in a pandas DataFrame, a column of
category dtype (or of strings, when listed as categorical) is replaced by the
position of each row's category among the training categories, so strings,
numbers and dates work alike. At prediction a category never seen in training
becomes NaN and goes where missing values go.
"""

import numpy as np
from scipy import sparse
from sklearn.utils.validation import validate_data


def is_frame(x):
    return hasattr(x, "columns") and hasattr(x, "dtypes") and hasattr(x, "iloc")


def _is_category(column):
    import pandas as pd

    return isinstance(column.dtype, pd.CategoricalDtype)


def categorical_mask(setting, x, n_features, feature_names):
    """The boolean mask of the categorical features of training input x
    given categorical_features: "from_dtype" (category columns of a
    DataFrame), None, a boolean mask, indices or feature names."""
    mask = np.zeros(n_features, dtype=bool)
    if setting is None:
        return mask
    if isinstance(setting, str):
        if setting != "from_dtype":
            raise ValueError(f"categorical_features must be 'from_dtype', got {setting!r}")
        if is_frame(x):
            mask[:] = [_is_category(x.iloc[:, f]) for f in range(n_features)]
        return mask
    return column_mask(setting, n_features, feature_names, "categorical_features")


# What pandas infers for a column holding strings, alone or among numbers.
_TEXT_KINDS = ("string", "bytes", "mixed", "mixed-integer")


def reject_text_columns(x, mask):
    """Raises a ValueError naming the columns of strings in DataFrame x that
    are not categorical features (mask), which no float conversion reads."""
    import pandas as pd

    def holds_text(column):
        if _is_category(column) or pd.api.types.is_numeric_dtype(column):
            return False
        return pd.api.types.infer_dtype(column, skipna=True) in _TEXT_KINDS

    text = [str(x.columns[f]) for f in np.flatnonzero(~mask) if holds_text(x.iloc[:, f])]
    if text:
        raise ValueError(
            f"X has columns of strings that are not categorical features: {text}; "
            "give them the category dtype (X[name].astype('category')) or list them "
            "in categorical_features"
        )


def column_mask(setting, n_features, feature_names, what):
    """The boolean mask of the columns that setting (a boolean mask, indices or
    feature names) selects."""
    given = np.asarray(setting)
    mask = np.zeros(n_features, dtype=bool)
    if given.size == 0:
        return mask
    if given.dtype.kind == "b":
        if given.shape != (n_features,):
            raise ValueError(
                f"{what} given as a boolean mask must have {n_features} entries, "
                f"got shape {given.shape}"
            )
        return given.copy()
    if given.dtype.kind in "iu":
        if given.ndim != 1 or given.min() < 0 or given.max() >= n_features:
            raise ValueError(
                f"{what} given as indices must lie in [0, {n_features - 1}], got {given.tolist()}"
            )
        mask[given] = True
        return mask
    if given.dtype.kind in "UO":
        if feature_names is None:
            raise ValueError(f"{what} is given by feature names but X has no feature names")
        names = list(feature_names)
        unknown = [str(n) for n in given.ravel() if n not in names]
        if unknown:
            raise ValueError(f"{what} names unknown features: {unknown}")
        mask[[names.index(n) for n in given.ravel()]] = True
        return mask
    raise ValueError(f"{what} must be a boolean mask, indices or feature names")


def encode_categories(x, mask, categories):
    """x with its categorical columns of a DataFrame replaced by category
    positions; categories[f] lists the training categories of an encoded
    column f (learned here when categories is None). Returns the new x and
    the categories."""
    if not is_frame(x) or not mask.any():
        return x, categories
    import pandas as pd

    learn = categories is None
    if learn:
        categories = [None] * x.shape[1]
    columns = {}
    for f in np.flatnonzero(mask):
        column = x.iloc[:, f]
        if learn:
            if not (_is_category(column) or not pd.api.types.is_numeric_dtype(column)):
                continue
            known = column.cat.categories if _is_category(column) else None
            if known is None:
                known = pd.Index(column.dropna().unique()).sort_values()
            categories[f] = known
        if categories[f] is None:
            continue
        codes = categories[f].get_indexer(column.to_numpy(dtype=object)).astype(np.float64)
        # Missing values and categories not seen in training (-1) alike.
        codes[codes < 0] = np.nan
        columns[x.columns[f]] = codes
    if not columns:
        return x, categories
    out = x.copy(deep=False)
    for name, codes in columns.items():
        out[name] = codes
    return out, categories


def validated_matrix(estimator, x, reset):
    """x as float64 (n_rows, n_features), C-contiguous, checked by
    scikit-learn's validation (feature count and names); NaN is missing, and
    infinities are values beyond every finite one. A sparse matrix is made
    dense: the entries it leaves out are zeros, not missing values, as
    LightGBM and XGBoost read them."""
    x = validate_data(
        estimator,
        x,
        reset=reset,
        dtype=np.float64,
        order="C",
        ensure_all_finite=False,
        accept_sparse=True,
    )
    return x.toarray(order="C") if sparse.issparse(x) else x


def unseen_as_missing(x, mask, category_values):
    """x with every category value of a categorical feature that training
    did not see replaced by NaN (a copy, when there is one)."""
    copied = False
    for f in np.flatnonzero(mask):
        col = x[:, f]
        unseen = ~np.isin(col, category_values[f]) & ~np.isnan(col)
        if unseen.any():
            if not copied:
                x, copied = x.copy(), True
            x[unseen, f] = np.nan
    return x
