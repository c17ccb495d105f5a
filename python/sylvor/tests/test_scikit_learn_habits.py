"""The rest of scikit-learn's forest habits: growth limits by impurity
decrease and leaf weight, pruning refused, per-tree predictions, sparse
matrices and multi-output targets."""
import math
import pickle

import numpy as np
import pandas as pd
import pytest
from scipy import sparse
from sklearn.datasets import make_classification, make_regression
from sklearn.multioutput import MultiOutputRegressor
from sklearn.pipeline import make_pipeline
from sklearn.preprocessing import OneHotEncoder

from sylvor import ForestClassifier, ForestRegressor


def classes(n=400):
    return make_classification(n, 8, n_informative=4, random_state=3)


def targets(n=400, scale=1.0):
    X, y = make_regression(n, 6, n_informative=3, noise=5.0, random_state=4)
    return X, y * scale


def gini(labels):
    _, counts = np.unique(labels, return_counts=True)
    p = counts / counts.sum()
    return 1.0 - float((p * p).sum())


def variance(values):
    return float(np.var(values))


def split_decreases(model, X, y, impurity):
    """For every split node of every tree, grown on the whole training set
    once (bootstrap=False): N_t / N times the decrease of the impurity."""
    decreases = []
    paths, offsets = model.decision_path(X)
    paths = paths.tocsc()
    for k, tree in enumerate(model.estimators_):
        arrays = tree.tree_
        for node in np.flatnonzero(arrays.children_left >= 0):
            rows = lambda v: paths[:, offsets[k] + v].nonzero()[0]
            at, left, right = rows(node), rows(arrays.children_left[node]), rows(arrays.children_right[node])
            children = (len(left) * impurity(y[left]) + len(right) * impurity(y[right])) / len(at)
            decreases.append(len(at) / len(y) * (impurity(y[at]) - children))
    return np.array(decreases)


@pytest.mark.parametrize("make, kind, criterion, impurity, threshold", [
    (classes, ForestClassifier, "gini", gini, 0.01),
    (classes, ForestClassifier, "entropy", gini, 0.005),
    # Targets of a million times the size: the learner scales them by a
    # power of two, and must scale the threshold alike.
    (lambda: targets(scale=1e6), ForestRegressor, "squared_error", variance, 2e13),
])
def test_min_impurity_decrease_keeps_only_splits_that_decrease_enough(make, kind, criterion, impurity, threshold):
    X, y = make()
    grown = kind(n_estimators=5, criterion=criterion, bootstrap=False, max_features=2, random_state=1)
    unlimited = split_decreases(grown.fit(X, y), X, y, impurity)
    assert (unlimited < threshold).sum() > 10  # the limit has splits to stop
    limited = split_decreases(grown.set_params(min_impurity_decrease=threshold).fit(X, y), X, y, impurity)
    assert len(limited) > 0
    assert limited.min() >= threshold * (1 - 1e-9)


@pytest.mark.parametrize("kind, make", [(ForestClassifier, classes), (ForestRegressor, targets)])
@pytest.mark.parametrize("fraction", [0.05, 0.2])
def test_min_weight_fraction_leaf_leaves_that_share_of_the_sample_in_every_leaf(kind, make, fraction):
    X, y = make()
    model = kind(n_estimators=5, bootstrap=False, min_weight_fraction_leaf=fraction, random_state=2).fit(X, y)
    leaves = model.apply(X)
    smallest = min(np.unique(leaves[:, k], return_counts=True)[1].min() for k in range(leaves.shape[1]))
    assert smallest >= math.ceil(fraction * len(y))
    looser = kind(n_estimators=5, bootstrap=False, random_state=2).fit(X, y).apply(X)
    assert looser.max() > leaves.max()  # the limit made the trees smaller


@pytest.mark.parametrize("kind", [ForestClassifier, ForestRegressor])
def test_cost_complexity_pruning_is_refused_and_changes_nothing(kind):
    X, y = classes()
    model = kind(n_estimators=3, random_state=0).fit(X, y)
    before = model.predict(X)
    with pytest.raises(ValueError, match="does not prune its trees by minimal cost-complexity"):
        model.set_params(ccp_alpha=0.01).fit(X[:50], y[:50])
    assert np.array_equal(model.predict(X), before)
    assert kind(n_estimators=3, ccp_alpha=0.0).fit(X, y).n_features_in_ == X.shape[1]


def mixed_table(n=300):
    rng = np.random.default_rng(5)
    colour = rng.choice(["red", "green", "blue", "grey"], n)
    size = rng.normal(size=n)
    size[rng.random(n) < 0.1] = np.nan
    y = ((colour == "red") | (np.nan_to_num(size) > 0.5)).astype(int)
    return pd.DataFrame({"colour": colour, "size": size}), y


@pytest.mark.parametrize("make", [classes, mixed_table])
def test_each_tree_predicts_its_leaves_and_the_trees_make_the_forest(make):
    X, y = make()
    model = ForestClassifier(n_estimators=7, random_state=3).fit(X, y)
    leaves = model.apply(X)
    shares = np.zeros((len(y), len(model.classes_)))
    for k, tree in enumerate(model.estimators_):
        predicted = tree.predict(X)
        assert predicted.dtype == np.float64
        leaf_values = tree.tree_.value[leaves[:, k], 0, :]
        assert np.array_equal(predicted, leaf_values.argmax(axis=1))
        assert np.array_equal(tree.predict_proba(X), leaf_values)
        assert np.array_equal(tree.apply(X), leaves[:, k])
        shares += tree.predict_proba(X)
    assert np.allclose(shares / len(model.estimators_), model.predict_proba(X))


def test_regression_trees_predict_their_leaf_means_also_after_pickling():
    X, y = targets()
    X[::7, 2] = np.nan
    model = pickle.loads(pickle.dumps(ForestRegressor(n_estimators=6, random_state=4).fit(X, y)))
    leaves = model.apply(X)
    per_tree = np.column_stack([tree.predict(X) for tree in model.estimators_])
    for k, tree in enumerate(model.estimators_):
        assert np.array_equal(per_tree[:, k], tree.tree_.value[leaves[:, k], 0, 0])
    assert np.allclose(per_tree.mean(axis=1), model.predict(X))
    with pytest.raises(AttributeError):
        model.estimators_[0].predict_proba(X)


@pytest.mark.parametrize("layout", ["csr", "csc", "coo"])
@pytest.mark.parametrize("dtype", [np.float32, np.float64, np.int64])
def test_sparse_matrices_learn_and_predict_as_their_dense_arrays(layout, dtype):
    X, y = classes()
    X = np.where(np.abs(X) < 0.7, 0, np.round(X * 4)).astype(dtype)
    matrix = {"csr": sparse.csr_matrix, "csc": sparse.csc_matrix, "coo": sparse.coo_matrix}[layout](X)
    dense = ForestClassifier(n_estimators=10, random_state=6).fit(X, y)
    from_sparse = ForestClassifier(n_estimators=10, random_state=6).fit(matrix, y)
    assert np.array_equal(from_sparse.predict_proba(matrix), dense.predict_proba(X))
    assert np.array_equal(from_sparse.predict_proba(X), dense.predict_proba(X))


def test_sparse_duplicate_entries_add_up_and_the_callers_matrix_is_left_alone():
    # Column 0 holds row 1; column 1 holds row 0 twice (1 + 2) and row 2.
    values, rows, starts = np.array([5.0, 1.0, 2.0, -1.0]), np.array([1, 0, 0, 2]), np.array([0, 1, 4])
    matrix = sparse.csc_matrix((values, rows, starts), shape=(3, 2))
    assert not matrix.has_canonical_format
    kept = (matrix.data.copy(), matrix.indices.copy(), matrix.indptr.copy())
    from sylvor._forest import _dense_of_sparse
    dense = _dense_of_sparse(matrix)
    assert np.array_equal(dense, matrix.toarray())
    assert dense.flags.f_contiguous
    for now, before in zip((matrix.data, matrix.indices, matrix.indptr), kept):
        assert np.array_equal(now, before)


def test_a_one_hot_encoders_sparse_output_works_in_a_pipeline():
    X, y = mixed_table()
    table = X.assign(size=np.where(np.isnan(X["size"]), "none", np.where(X["size"] > 0.5, "big", "small")))
    pipeline = make_pipeline(OneHotEncoder(handle_unknown="ignore"), ForestClassifier(n_estimators=30, random_state=0))
    assert sparse.issparse(OneHotEncoder().fit_transform(table))
    assert pipeline.fit(table, y).score(table, y) > 0.95


@pytest.mark.parametrize("kind, make, wrapper", [
    (ForestRegressor, targets, "MultiOutputRegressor(ForestRegressor())"),
    (ForestClassifier, classes, "MultiOutputClassifier(ForestClassifier())"),
])
def test_several_outputs_are_refused_naming_what_learns_them(kind, make, wrapper):
    X, y = make()
    model = kind(n_estimators=3, random_state=0)
    with pytest.raises(ValueError, match=r"y has 2 columns .*sklearn\.multioutput\." + wrapper.replace("(", r"\(")
                       .replace(")", r"\)")):
        model.fit(X, np.column_stack([y, y]))
    assert not hasattr(model, "estimators_")
    assert kind(n_estimators=3, random_state=0).fit(X, y.reshape(-1, 1)).n_features_in_ == X.shape[1]


def test_the_named_alternative_learns_several_outputs():
    X, y = targets()
    both = MultiOutputRegressor(ForestRegressor(n_estimators=10, random_state=0)).fit(X, np.column_stack([y, -y]))
    predicted = both.predict(X)
    assert predicted.shape == (len(y), 2)
    assert np.allclose(predicted[:, 0], -predicted[:, 1])


def test_the_sylvor_command_runs_the_installed_program_with_its_arguments_and_status(tmp_path):
    import subprocess
    import sys
    stand_in = tmp_path / "sylvor"
    stand_in.write_text("#!/bin/sh\necho \"$@\" > \"$(dirname \"$0\")/arguments\"\nexit 3\n")
    stand_in.chmod(0o755)
    run = f"import sylvor._program as p; p.PROGRAM = {str(stand_in)!r}; p.main()"
    done = subprocess.run([sys.executable, "-c", run, "learn", "--in-file", "a b.csv"], capture_output=True)
    assert done.returncode == 3
    assert (tmp_path / "arguments").read_text() == "learn --in-file a b.csv\n"
    missing = f"import sys, sylvor._program as p; p.PROGRAM = {str(tmp_path / 'none')!r}; sys.exit(p.main())"
    done = subprocess.run([sys.executable, "-c", missing], capture_output=True, text=True)
    assert done.returncode == 127
    assert "the program was not installed with this package" in done.stderr
