"""Categorical features of the tables the estimators take.

A categorical feature's cells are level names: any value, taken by its text
(``str(value)``). Fitting collects the names of the training rows, sorted,
and the forest learns from their numbers; rows to predict are coded by the
same names, a name not seen in fitting (or a missing cell: None, NaN,
pandas' NA) being a missing value. Which features are categorical comes
from the categorical_features parameter:

- "from_dtype": the pandas columns of dtype category, object or string, and
  the columns of a numpy object array that hold text;
- a list of column indices or feature names, or a boolean mask;
- None: none.

Plain functions of their arguments, safe from any thread.
"""
import numbers

import numpy as np

try:
    import pandas as _pd
except ImportError:  # the estimators take numpy arrays without pandas
    _pd = None


def is_dataframe(X):
    return _pd is not None and isinstance(X, _pd.DataFrame)


def columns_of(X):
    """The columns of X (a DataFrame, or a 2-D array-like) by position."""
    if is_dataframe(X):
        return [X.iloc[:, j] for j in range(X.shape[1])]
    array = np.asarray(X, dtype=object if not hasattr(X, "dtype") else None)
    if array.ndim != 2:
        return None
    return [array[:, j] for j in range(array.shape[1])]


def _holds_text(column):
    if _pd is not None and isinstance(column, _pd.Series):
        dtype = column.dtype
        return isinstance(dtype, _pd.CategoricalDtype) or dtype == object or _pd.api.types.is_string_dtype(dtype)
    if column.dtype.kind in "US":
        return True
    return column.dtype == object and any(isinstance(v, (str, bytes)) for v in column)


def categorical_mask(columns, categorical_features, feature_names=None):
    """Which of the columns (as columns_of gives them) are categorical (a
    bool array), or None when none is; ValueError for an index, name or
    mask that does not fit them."""
    if categorical_features is None or columns is None:
        return None
    n = len(columns)
    if isinstance(categorical_features, str):
        if categorical_features != "from_dtype":
            raise ValueError(f"categorical_features must be 'from_dtype', a list of column indices or feature "
                             f"names, a boolean mask or None, not {categorical_features!r}")
        mask = np.array([_holds_text(column) for column in columns], dtype=bool)
        return mask if mask.any() else None
    given = list(categorical_features)
    if not given:
        return None
    if all(isinstance(g, (bool, np.bool_)) for g in given):
        if len(given) != n:
            raise ValueError(f"categorical_features as a mask must have one entry per feature ({n}), not "
                             f"{len(given)}")
        mask = np.array(given, dtype=bool)
        return mask if mask.any() else None
    mask = np.zeros(n, dtype=bool)
    names = list(feature_names) if feature_names is not None else None
    for g in given:
        if isinstance(g, numbers.Integral) and not isinstance(g, (bool, np.bool_)):
            if not -n <= g < n:
                raise ValueError(f"categorical_features names column {g}, but X has {n} features")
            mask[g] = True
        elif isinstance(g, str):
            if names is None or g not in names:
                raise ValueError(f"categorical_features names feature {g!r}, which X does not have" +
                                 ("" if names is not None else " (X has no feature names: give column indices)"))
            mask[names.index(g)] = True
        else:
            raise ValueError(f"categorical_features must hold column indices, feature names or booleans, not "
                             f"{g!r}")
    return mask


def _missing(values):
    if _pd is not None:
        return np.asarray(_pd.isna(values), dtype=bool)
    return np.array([v is None or (isinstance(v, float) and v != v) for v in values], dtype=bool)


def _texts(values):
    """The text of each value, as an object array of str (the values
    themselves when they are all str already)."""
    if _pd is not None and _pd.api.types.infer_dtype(values, skipna=False) == "string":
        return values
    return np.array([v.decode() if isinstance(v, bytes) else str(v) for v in values], dtype=object)


def level_names(column):
    """The sorted names of the levels a column's present cells hold."""
    values = np.asarray(column, dtype=object)
    present = values[~_missing(values)]
    if not len(present):
        return np.array([], dtype=object)
    texts = _texts(present)
    distinct = _pd.unique(texts) if _pd is not None else np.unique(texts)
    return np.array(sorted(distinct), dtype=object)


def level_numbers(column, names):
    """The level number of each cell of a column by the sorted `names`
    (float64), NaN for a missing cell or a name not among them."""
    values = np.asarray(column, dtype=object)
    codes = np.full(len(values), np.nan)
    present = ~_missing(values)
    if not present.any() or not len(names):
        return codes
    texts = _texts(values[present])
    if _pd is not None:  # by hashing: a level's number, -1 for a name not among them
        numbers_ = _pd.Categorical(texts, categories=names).codes.astype(np.float64)
        numbers_[numbers_ < 0] = np.nan
    else:
        at = np.minimum(np.searchsorted(names, texts), len(names) - 1)
        numbers_ = np.where(names[at] == texts, at, np.nan)
    codes[present] = numbers_
    return codes


def coded(X, mask, categories, columns=None):
    """X with each categorical column (mask) replaced by its level numbers
    by `categories` (per feature, its sorted names or None): a DataFrame
    stays one, with its column names; an array becomes a float64 array.
    `columns`, when given, are X's as columns_of gives them."""
    if mask is None:
        return X
    columns = columns_of(X) if columns is None else columns
    if columns is None or len(columns) != len(mask):
        return X  # validation reports the shape
    numbers_ = {j: level_numbers(columns[j], categories[j]) for j in np.flatnonzero(mask)}
    if is_dataframe(X):
        table = X.copy(deep=False)
        for j, codes in numbers_.items():
            if hasattr(table, "isetitem"):
                table.isetitem(j, codes)
            else:
                table[table.columns[j]] = codes
        return table
    array = np.empty((len(columns[0]) if columns else 0, len(columns)), dtype=np.float64)
    for j, column in enumerate(columns):
        if j in numbers_:
            array[:, j] = numbers_[j]
        else:
            try:
                array[:, j] = np.asarray(column, dtype=np.float64)
            except (TypeError, ValueError):
                raise ValueError(f"feature {j} holds values that are not numbers; name it in "
                                 f"categorical_features to take them as levels") from None
    return array
