"""The estimators as a scikit-learn user expects them: parameters, weights,
warm starts, per-tree objects and decision paths, and saved models that come
back as they were."""
import os
import pickle
import tempfile
import warnings

import numpy as np
import pytest
from sklearn.datasets import load_iris, make_classification, make_regression

from sylvor import ForestClassifier, ForestRegressor


def iris():
    data = load_iris()
    return data.data, data.target_names[data.target]


def same_trees(a, b):
    return len(a.estimators_) == len(b.estimators_) and all(
        np.array_equal(s, t, equal_nan=True) for s, t in zip(a.estimators_, b.estimators_))


@pytest.mark.parametrize("estimator,data", [
    (ForestClassifier, lambda: iris()),
    (ForestRegressor, lambda: make_regression(n_samples=300, n_features=5, noise=5.0, random_state=1)),
])
def test_a_warm_start_learns_the_forest_of_one_fit(estimator, data):
    X, y = data()
    parameters = dict(random_state=11, oob_score=True, compute_permutation_importances=True, n_jobs=2)
    whole = estimator(n_estimators=30, **parameters).fit(X, y)
    grown = estimator(n_estimators=12, warm_start=True, **parameters).fit(X, y)
    grown.set_params(n_estimators=30).fit(X, y)
    assert same_trees(grown, whole)
    # Every estimate is worked out for the whole forest: those of one fit, bit for bit.
    assert grown.oob_score_ == whole.oob_score_
    assert np.array_equal(grown.oob_curve_, whole.oob_curve_)
    assert np.array_equal(grown.feature_importances_, whole.feature_importances_)
    assert np.array_equal(grown.permutation_importances_, whole.permutation_importances_)
    with pytest.warns(UserWarning, match="does not fit new trees"):
        grown.fit(X, y)
    assert same_trees(grown, whole)


def test_sample_weights_decide_the_draws():
    X, y = make_classification(n_samples=400, n_features=6, random_state=2)
    weights = np.where(np.arange(400) % 4 == 0, 0.0, 1.0)
    model = ForestClassifier(n_estimators=25, random_state=4, oob_score=True).fit(X, y, sample_weight=weights)
    # An instance of weight 0 is out of the bag of every tree.
    trees = model._oob_record["oob_trees"]
    assert np.all(trees[weights == 0] == 25)
    assert np.all(trees[weights > 0] < 25)
    plain = ForestClassifier(n_estimators=25, random_state=4).fit(X, y)
    assert same_trees(ForestClassifier(n_estimators=25, random_state=4).fit(X, y, sample_weight=np.full(400, 3.0)),
                      plain)


def test_class_weights_favour_the_weighted_classes():
    X, y = make_classification(n_samples=600, n_features=6, n_classes=3, n_informative=4, random_state=3)
    heavy = ForestClassifier(n_estimators=20, random_state=1, class_weight={0: 1000, 1: 0.0001, 2: 0.0001})
    assert np.mean(heavy.fit(X, y).predict(X) == 0) > 0.87
    imbalanced = np.concatenate([np.flatnonzero(y != 2), np.flatnonzero(y == 2)[:20]])
    Xi, yi = X[imbalanced], y[imbalanced]
    recall = {}
    for class_weight in (None, "balanced", "balanced_subsample"):
        model = ForestClassifier(n_estimators=40, random_state=2, min_samples_leaf=3, class_weight=class_weight)
        recall[class_weight] = np.mean(model.fit(Xi, yi).predict(X[y == 2]) == 2)
    assert recall["balanced"] > recall[None]
    assert recall["balanced"] == recall["balanced_subsample"]


def test_trees_have_scikit_learn_arrays_and_decision_paths_follow_them():
    X, y = iris()
    model = ForestClassifier(n_estimators=6, random_state=5, max_depth=4).fit(X, y)
    leaves = model.apply(X)
    indicator, offsets = model.decision_path(X)
    assert indicator.shape == (150, offsets[-1]) and len(offsets) == 7
    for k, estimator in enumerate(model.estimators_):
        tree = estimator.tree_
        assert tree.node_count == offsets[k + 1] - offsets[k]
        leaf = tree.children_left == -1
        assert np.all(tree.children_right[leaf] == -1) and np.all(tree.feature[leaf] == -2)
        assert np.all(tree.threshold[leaf] == -2.0) and np.all(tree.feature[~leaf] >= 0)
        assert 1 <= tree.max_depth <= 4 and tree.max_depth == estimator.get_depth()
        # The leaf's vote is the class predicted from it.
        votes = tree.value[leaves[:, k], 0, :]
        assert np.all(votes.sum(axis=1) == 1.0)
        path = indicator[:, offsets[k]:offsets[k + 1]].toarray()
        assert np.all(path[:, 0] == 1)
        assert np.all(path[np.arange(150), leaves[:, k]] == 1)
        # A path is the root, one child per level, down to the leaf.
        for i in range(0, 150, 17):
            nodes = np.flatnonzero(path[i])
            for parent, child in zip(nodes[:-1], nodes[1:]):
                assert child in (tree.children_left[parent], tree.children_right[parent])
    regressor = ForestRegressor(n_estimators=2, random_state=1).fit(X, np.arange(150.0))
    values = regressor.estimators_[0].tree_.value
    assert values.shape[1:] == (1, 1)
    assert np.all(np.isnan(values[regressor.estimators_[0].tree_.children_left >= 0]))


@pytest.mark.parametrize("min_samples_leaf,smallest", [(1, 1), (5, 5), (0.05, 8)])
def test_no_leaf_holds_fewer_than_min_samples_leaf(min_samples_leaf, smallest):
    X, y = make_classification(n_samples=150, n_features=5, flip_y=0.2, random_state=0)
    model = ForestClassifier(n_estimators=5, bootstrap=False, min_samples_leaf=min_samples_leaf, random_state=0)
    leaves = model.fit(X, y).apply(X)
    for k in range(5):
        assert np.bincount(leaves[:, k]).max() >= smallest
        assert np.min(np.bincount(leaves[:, k])[np.unique(leaves[:, k])]) >= smallest
    if min_samples_leaf == 1:
        assert model.score(X, y) == 1.0  # leaves of one instance fit every training point


@pytest.mark.parametrize("scale", [2.0 ** -40, 2.0 ** -10, 2.0 ** 30])
def test_regression_trees_do_not_depend_on_the_scale_of_the_targets(scale):
    # Scaling by a power of two changes no comparison of the split search,
    # so only a bound on the variance of a leaf could tell the scales apart.
    X, y = make_regression(n_samples=300, n_features=4, noise=1.0, random_state=3)
    reference = ForestRegressor(n_estimators=5, random_state=2).fit(X, y)
    scaled = ForestRegressor(n_estimators=5, random_state=2).fit(X, y * scale)
    for a, b in zip(reference.estimators_, scaled.estimators_):
        assert np.array_equal(a[:3], b[:3])  # the same structure and features
        leaves = a[0] < 0
        assert np.array_equal(a[4][leaves] * scale, b[4][leaves])


def test_three_points_are_separated_by_leaves_of_one():
    X, y = [[0.0], [1.0], [2.0]], [0, 1, 0]
    model = ForestClassifier(n_estimators=1, bootstrap=False, max_features=None, random_state=1).fit(X, y)
    assert model.score(X, y) == 1.0


def test_without_bootstrap_every_tree_sees_every_instance():
    # One feature and runs of seven instances per class: with every instance
    # and nothing to draw, every tree is the same.
    X = np.arange(70.0).reshape(-1, 1)
    y = (np.arange(70) // 7) % 2
    model = ForestClassifier(n_estimators=4, bootstrap=False, random_state=3).fit(X, y)
    assert model.score(X, y) == 1.0
    assert all(np.array_equal(t, model.estimators_[0], equal_nan=True) for t in model.estimators_)


@pytest.mark.parametrize("old,new", [(dict(min_instances_per_node=4), dict(min_samples_split=5)),
                                     (dict(bootstrap_fraction=0.5), dict(max_samples=0.5))])
def test_the_older_names_warn_and_learn_what_the_new_ones_learn(old, new):
    X, y = iris()
    with pytest.warns(FutureWarning, match="deprecated"):
        by_old = ForestClassifier(n_estimators=5, random_state=2, **old).fit(X, y)
    assert same_trees(by_old, ForestClassifier(n_estimators=5, random_state=2, **new).fit(X, y))


@pytest.mark.parametrize("labels", [
    np.array([3, 7, 11]), np.array([-1, 0, 1], dtype=np.int8), np.array(["Iris setosa", "Iris versicolor", "other"]),
    np.array([1.0, 2.0, 4.0]), np.array([False, True, True]),
], ids=["int", "int8", "spaces", "float", "bool"])
def test_saved_classifiers_come_back_as_they_were(labels):
    X, target = load_iris(return_X_y=True)
    y = labels[target]
    model = ForestClassifier(n_estimators=17, max_depth=5, random_state=6, oob_score=True).fit(X, y)
    with tempfile.TemporaryDirectory() as directory:
        path = os.path.join(directory, "model")
        model.save_model(path)
        loaded = ForestClassifier.load_model(path)
    assert loaded.classes_.dtype == model.classes_.dtype
    assert np.array_equal(loaded.classes_, model.classes_)
    assert np.array_equal(loaded.predict(X), model.predict(X))
    assert loaded.score(X, y) == model.score(X, y) > 0.9
    assert loaded.get_params() == model.get_params()
    assert np.array_equal(loaded.feature_importances_, model.feature_importances_)
    assert loaded.oob_score_ == model.oob_score_


def test_saved_models_keep_feature_names_counts_and_parameters():
    pandas = pytest.importorskip("pandas")
    X, y = make_regression(n_samples=200, n_features=6, n_informative=2, random_state=0)
    X[:, 4:] = 0.0  # the last features are never tested by a split
    frame = pandas.DataFrame(X, columns=[f"f {k}" for k in range(6)])
    model = ForestRegressor(n_estimators=9, min_samples_leaf=3, random_state=1, missing_values="median").fit(frame, y)
    with tempfile.TemporaryDirectory() as directory:
        path = os.path.join(directory, "model")
        model.save_model(path)
        os.unlink(path + ".medians")  # the feature count comes from PATH.meta
        loaded = ForestRegressor.load_model(path, n_jobs=1)
        assert list(loaded.feature_names_in_) == list(frame.columns)
        assert loaded.n_features_in_ == 6 and loaded.get_params()["min_samples_leaf"] == 3
        assert loaded.get_params()["n_jobs"] == 1
        assert np.array_equal(loaded.predict(frame), model.predict(frame))
        # Metadata beside another model are ignored, with a warning.
        other = ForestRegressor(n_estimators=3, random_state=2).fit(X, y)
        meta = open(path + ".meta").read()
        other.save_model(path)
        with open(path + ".meta", "w") as out:
            out.write(meta)
        with pytest.warns(UserWarning, match="written for another model"):
            stale = ForestRegressor.load_model(path, n_features=6)
        assert stale.get_params()["n_estimators"] == 100 and stale.feature_importances_ is None


def test_a_saved_model_loads_only_into_its_own_estimator():
    X, y = iris()
    with tempfile.TemporaryDirectory() as directory:
        path = os.path.join(directory, "model")
        ForestRegressor(n_estimators=3, random_state=1).fit(X, np.arange(150.0)).save_model(path)
        with pytest.raises(ValueError, match="saved from a ForestRegressor: load it with ForestRegressor.load_model"):
            ForestClassifier.load_model(path)


def test_pickles_keep_the_trees_and_read_older_pickles():
    X, y = iris()
    model = ForestClassifier(n_estimators=5, random_state=1).fit(X, y)
    again = pickle.loads(pickle.dumps(model))
    assert np.array_equal(again.predict_proba(X), model.predict_proba(X))
    assert np.array_equal(again.estimators_[2].tree_.children_left, model.estimators_[2].tree_.children_left)
    arrays = [np.array(t) for t in model.estimators_]
    importances = np.vstack([t.feature_importances_ for t in model.estimators_])
    # Forests pickled before the forest object held the arrays and each
    # tree's importances; before the trees became objects, the raw arrays.
    for older_state in ({"_trees": arrays, "_tree_importances": importances}, {"estimators_": arrays}):
        state = dict(model.__getstate__())
        del state["_forest"]
        state.update(older_state)
        older = ForestClassifier.__new__(ForestClassifier)
        older.__setstate__(state)
        assert np.array_equal(older.predict_proba(X), model.predict_proba(X))
        assert older.estimators_[0].tree_.node_count == model.estimators_[0].tree_.node_count
        if "_trees" in older_state:
            assert np.array_equal(older.estimators_[3].feature_importances_, importances[3])


def test_defaults_are_scikit_learns():
    from sklearn.ensemble import RandomForestClassifier, RandomForestRegressor
    for ours, theirs in ((ForestClassifier(), RandomForestClassifier()), (ForestRegressor(), RandomForestRegressor())):
        mine, reference = ours.get_params(), theirs.get_params()
        shared = set(mine) & set(reference)
        assert {"n_estimators", "criterion", "max_depth", "min_samples_split", "min_samples_leaf", "max_features",
                "max_leaf_nodes", "bootstrap", "oob_score", "n_jobs", "random_state", "verbose", "warm_start",
                "max_samples"} <= shared
        assert {name: mine[name] for name in shared} == {name: reference[name] for name in shared}
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        X, y = iris()
        ForestClassifier(n_estimators=3).fit(X, y)
