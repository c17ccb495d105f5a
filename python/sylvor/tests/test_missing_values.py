"""Missing values learned in the splits: the estimators, their saved
models, pickles and trees, and the extension's Forest."""
import os
import pickle
import tempfile

import numpy as np
import pytest

import PySylvor_wrap as P
from sylvor import ForestClassifier, ForestRegressor


def missingness_is_the_class(n, seed):
    """Rows whose class is whether feature 0 is missing (a third of them);
    features 1 and 2 are noise."""
    rng = np.random.RandomState(seed)
    X = rng.uniform(size=(n, 3))
    absent = rng.uniform(size=n) < 1 / 3
    X[absent, 0] = np.nan
    return X, absent.astype(int)


@pytest.mark.parametrize("model", [
    ForestClassifier(n_estimators=20, max_depth=1, max_features=None, random_state=1),
    ForestRegressor(n_estimators=20, max_depth=1, random_state=1),
], ids=["classifier", "regressor"])
def test_split_learns_what_missingness_says_and_medians_cannot(model):
    # One split each: filled with the median, the missing values lie among
    # the present ones, where no single cut sets them apart.
    X, y = missingness_is_the_class(600, 0)
    X_test, y_test = missingness_is_the_class(300, 1)
    split = model.fit(X, y).predict(X_test)
    median = model.set_params(missing_values="median").fit(X, y).predict(X_test)
    assert np.mean(np.round(split) == y_test) == 1.0
    assert np.mean(np.round(median) == y_test) < 0.9


def test_complete_data_give_the_trees_and_predictions_of_medians():
    rng = np.random.RandomState(3)
    X = rng.normal(size=(300, 4))
    y = (X[:, 0] + X[:, 1] > 0).astype(int)
    split = ForestClassifier(n_estimators=10, random_state=4).fit(X, y)
    median = ForestClassifier(n_estimators=10, random_state=4, missing_values="median").fit(X, y)
    for a, b in zip(split.estimators_, median.estimators_):
        assert np.array_equal(a.arrays, b.arrays, equal_nan=True)
    assert np.array_equal(split.predict_proba(X), median.predict_proba(X))
    assert split.feature_medians_ is None and median.feature_medians_ is not None
    # Only split nodes send missing values anywhere; with medians, none does.
    tree = split.estimators_[0].tree_
    assert tree.missing_go_to_left[tree.children_left >= 0].any()
    assert not tree.missing_go_to_left[tree.children_left < 0].any()
    assert not median.estimators_[0].tree_.missing_go_to_left.any()


def nodes_reached(tree, X):
    """How many rows of X reach each node of a tree_ (a missing value takes
    its node's missing side)."""
    reached = np.zeros(tree.node_count, dtype=int)
    for row in X:
        k = 0
        while True:
            reached[k] += 1
            if tree.children_left[k] < 0:
                break
            x = row[tree.feature[k]]
            left = tree.missing_go_to_left[k] == 1 if np.isnan(x) else x < tree.threshold[k]
            k = tree.children_left[k] if left else tree.children_right[k]
    return reached


def test_the_side_of_a_split_that_saw_no_missing_value_is_its_larger_child():
    rng = np.random.RandomState(5)
    X = rng.normal(size=(400, 3))
    y = X[:, 0] * 2 + rng.normal(size=400)
    model = ForestRegressor(n_estimators=1, bootstrap=False, max_depth=4, random_state=2).fit(X, y)
    tree = model.estimators_[0].tree_
    reached = nodes_reached(tree, X)
    for k in np.flatnonzero(tree.children_left >= 0):
        larger_left = reached[tree.children_left[k]] > reached[tree.children_right[k]]
        assert tree.missing_go_to_left[k] == larger_left
    # apply follows the same sides for rows with missing values.
    X_missing = X.copy()
    X_missing[::3, 0] = np.nan
    leaves = model.apply(X_missing)[:, 0]
    walked = [np.flatnonzero(nodes_reached(tree, row[None, :]) & (tree.children_left < 0))[0] for row in X_missing]
    assert np.array_equal(leaves, walked)


@pytest.mark.parametrize("fmt", ["vectortxt", "lisp"])
def test_saved_models_keep_the_sides_and_need_no_medians(fmt):
    X, y = missingness_is_the_class(300, 2)
    model = ForestClassifier(n_estimators=8, random_state=3).fit(X, y)
    with tempfile.TemporaryDirectory() as directory:
        path = os.path.join(directory, "model")
        model.save_model(path, format=fmt)
        assert not os.path.exists(path + ".medians")
        assert open(path, "rb").read().startswith(b"sylvor-model 2\n")
        loaded = ForestClassifier.load_model(path)
        assert loaded.missing_values == "split"
        assert np.array_equal(loaded.predict_proba(X), model.predict_proba(X))
        for a, b in zip(loaded.estimators_, model.estimators_):
            assert np.array_equal(a.tree_.missing_go_to_left, b.tree_.missing_go_to_left)
        # A model learned with medians loads as one.
        ForestClassifier(n_estimators=3, random_state=3, missing_values="median").fit(X, y).save_model(path)
        assert ForestClassifier.load_model(path).missing_values == "median"


def test_pickles_keep_the_sides():
    X, y = missingness_is_the_class(300, 4)
    model = ForestRegressor(n_estimators=6, random_state=5).fit(X, y)
    back = pickle.loads(pickle.dumps(model))
    assert np.array_equal(back.predict(X), model.predict(X))
    assert np.array_equal(back.estimators_[2].tree_.missing_go_to_left, model.estimators_[2].tree_.missing_go_to_left)
    forest = pickle.loads(pickle.dumps(model._forest))
    assert forest.missing_values == "split"
    assert all(np.array_equal(a, b) for a, b in zip(forest.missing_sides(), model._forest.missing_sides()))


def test_a_warm_start_keeps_the_way_the_forest_learned():
    X, y = missingness_is_the_class(200, 6)
    model = ForestClassifier(n_estimators=4, warm_start=True, random_state=1).fit(X, y)
    with pytest.raises(ValueError, match="missing_values='split', not 'median'"):
        model.set_params(n_estimators=8, missing_values="median").fit(X, y)
    assert len(model.estimators_) == 4
    grown = model.set_params(missing_values="split").fit(X, y)
    assert len(grown.estimators_) == 8 and grown._forest.missing_values == "split"


def test_an_unknown_way_is_refused():
    X, y = missingness_is_the_class(50, 7)
    with pytest.raises(ValueError, match="missing_values"):
        ForestClassifier(n_estimators=2, missing_values="mean").fit(X, y)


class TestTheExtension:
    def learned(self, **keywords):
        X, y = missingness_is_the_class(300, 8)
        forest, _ = P.learn(X.T.copy(), y.astype(np.int32), num_trees=5, seed=3, missing_values="split",
                            as_forest=True, **keywords)
        return forest, X, y

    def test_a_forest_predicts_missing_values_by_their_sides(self):
        forest, X, y = self.learned()
        assert forest.missing_values == "split"
        assert np.array_equal(forest.predict(X), y)
        sides = forest.missing_sides()
        arrays = forest.tree_arrays()
        assert len(sides) == len(arrays) and all(len(s) == a.shape[1] for s, a in zip(sides, arrays))
        again = P.Forest.from_arrays(arrays, 2, None, sides)
        assert np.array_equal(again.predict(X), y)
        # The arrays alone are a forest that fills missing values first.
        assert P.Forest.from_arrays(arrays, 2).missing_values == "median"

    @pytest.mark.parametrize("call,message", [
        (lambda f: P.Forest.joined([f, P.Forest.from_arrays(f.tree_arrays(), 2)]), "cannot mix"),
        (lambda f: P.Forest.from_arrays(f.tree_arrays(), 2, None, f.missing_sides()[:1]), "one array per tree"),
        (lambda f: P.Forest.from_arrays(f.tree_arrays()[:1], 2, None, [np.full(f.tree_arrays()[0].shape[1], 2.0)]),
         "must be 1 \\(left\\) or 0 \\(right\\)"),
        (lambda f: P.parse_model(f.model_text("vectortxt")), "Forest.from_model_text"),
    ])
    def test_what_would_lose_or_garble_the_sides_is_refused(self, call, message):
        forest, _, _ = self.learned()
        with pytest.raises((ValueError, RuntimeError), match=message):
            call(forest)

    def test_tree_arrays_alone_cannot_be_learned_with_sides(self):
        X, y = missingness_is_the_class(30, 9)
        with pytest.raises(ValueError, match="needs as_forest=True"):
            P.learn(X.T.copy(), y.astype(np.int32), num_trees=2, seed=1, missing_values="split")
        with pytest.raises(ValueError, match="'median' or 'split', not 'zero'"):
            P.learn(X.T.copy(), y.astype(np.int32), num_trees=2, seed=1, missing_values="zero", as_forest=True)

    def test_model_text_round_trips_the_sides(self):
        forest, X, _ = self.learned()
        for fmt in ("vectortxt", "lisp"):
            text = forest.model_text(fmt)
            back = P.Forest.from_model_text(text, 2)
            assert back.missing_values == "split" and back.model_text(fmt) == text
            assert np.array_equal(back.predict_proba(X), forest.predict_proba(X))
