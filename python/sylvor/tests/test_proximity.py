"""Proximities: the share of trees in which two rows share a leaf, whole,
top k per row, and out of bag, against counts made here from the leaves
the forest's own apply gives."""
import numpy as np
import pytest
from scipy import sparse
from sklearn.datasets import load_iris, make_friedman1

from sylvor import ForestClassifier, ForestRegressor


def shared_leaves(leaves_x, leaves_y):
    return leaves_x[:, None, :] == leaves_y[None, :, :]


def fitted(kind):
    if kind == "classifier":
        X, y = load_iris(return_X_y=True)
        return ForestClassifier(n_estimators=30, random_state=2).fit(X, y), X, y
    X, y = make_friedman1(200, random_state=1)
    X[::9, 3] = np.nan  # missing values go where the splits learned
    return ForestRegressor(n_estimators=25, random_state=3, min_samples_leaf=3, keep_leaf_samples=True,
                           n_jobs=2).fit(X, y), X, y


@pytest.mark.parametrize("kind", ["classifier", "regressor"])
def test_proximities_are_the_share_of_trees_with_a_shared_leaf(kind):
    model, X, _ = fitted(kind)
    Y = X[::4] + 0.01
    for rows, others in ((X, None), (X[:40], Y)):
        got = model.proximity(rows, others)
        expected = shared_leaves(model.apply(rows), model.apply(rows if others is None else others)).mean(axis=2)
        assert got.shape == expected.shape and np.allclose(got, expected, rtol=0, atol=1e-15)
    assert np.all(np.diag(model.proximity(X)) == 1.0)


@pytest.mark.parametrize("kind", ["classifier", "regressor"])
@pytest.mark.parametrize("k", [1, 7])
def test_top_k_keeps_each_rows_largest_positive_proximities(kind, k):
    model, X, _ = fitted(kind)
    dense = model.proximity(X)
    top = model.proximity(X, top_k=k)
    assert sparse.isspmatrix_csr(top) and top.shape == dense.shape
    for i in range(len(X)):
        start, end = top.indptr[i], top.indptr[i + 1]
        columns, values = top.indices[start:end], top.data[start:end]
        order = sorted(np.flatnonzero(dense[i] > 0), key=lambda j: (-dense[i, j], j))[:k]
        assert list(columns) == order and np.array_equal(values, dense[i, order])


def test_out_of_bag_proximities_count_only_the_trees_that_missed_both_rows():
    model, X, y = fitted("regressor")
    _, records = model._forest.leaf_samples()  # each tree's draws: its in-bag rows
    in_bag = np.zeros((len(records), len(X)), dtype=bool)
    for t, (_, draws) in enumerate(records):
        in_bag[t, draws] = True
    out = ~in_bag.T  # rows x trees
    both = out[:, None, :] & out[None, :, :]
    shared = shared_leaves(model.apply(X), model.apply(X)) & both
    with np.errstate(invalid="ignore"):
        expected = np.where(both.sum(axis=2) > 0, shared.sum(axis=2) / both.sum(axis=2), 0.0)
    got = model.oob_proximity(X, y)
    assert np.allclose(got, expected, rtol=0, atol=1e-15)
    top = model.oob_proximity(X, y, top_k=3)
    for i in range(0, len(X), 17):
        row = top.getrow(i)
        assert np.allclose(np.sort(row.data)[::-1], np.sort(expected[i][expected[i] > 0])[::-1][:3])


@pytest.mark.parametrize("top_k", [0, -2, 1.5, True])
def test_a_top_k_that_is_no_count_is_refused(top_k):
    model, X, _ = fitted("classifier")
    with pytest.raises(ValueError, match="top_k"):
        model.proximity(X, top_k=top_k)
