"""Tests of the scikit-learn estimators of the sylvor package."""
import os
import pickle
import subprocess
import tempfile

import numpy as np
import pytest
from sklearn.datasets import load_iris, make_classification, make_regression
from sklearn.model_selection import GridSearchCV, cross_val_score
from sklearn.pipeline import make_pipeline
from sklearn.preprocessing import StandardScaler
from sklearn.utils.estimator_checks import parametrize_with_checks

from sylvor import ForestClassifier, ForestRegressor


@parametrize_with_checks([ForestClassifier(n_jobs=2), ForestRegressor(n_jobs=2)])
def test_scikit_learn_estimator_checks(estimator, check):
    check(estimator)


def iris():
    data = load_iris()
    return data.data, data.target_names[data.target]


def test_string_classes_and_probability_columns():
    X, y = iris()
    model = ForestClassifier(n_estimators=20, random_state=0, n_jobs=2).fit(X, y)
    assert list(model.classes_) == ["setosa", "versicolor", "virginica"]
    probabilities = model.predict_proba(X)
    assert probabilities.shape == (150, 3)
    assert np.allclose(probabilities.sum(axis=1), 1.0)
    assert np.array_equal(model.classes_[probabilities.argmax(axis=1)], model.predict(X))
    assert model.score(X, y) > 0.95
    assert model.feature_importances_.shape == (4,)
    assert model.feature_importances_.sum() == pytest.approx(1.0)


def test_pipeline_cross_validation_and_grid_search():
    X, y = iris()
    pipeline = make_pipeline(StandardScaler(), ForestClassifier(n_estimators=15, random_state=1, n_jobs=2))
    assert cross_val_score(pipeline, X, y, cv=3).mean() > 0.9
    search = GridSearchCV(ForestClassifier(n_estimators=10, random_state=1, n_jobs=2),
                          {"max_features": [None, "sqrt", 0.5], "criterion": ["gini", "gainratio"]}, cv=3)
    search.fit(X, y)
    assert search.best_score_ > 0.9


def test_dataframes_keep_feature_names():
    pandas = pytest.importorskip("pandas")
    X, y = iris()
    frame = pandas.DataFrame(X, columns=["sl", "sw", "pl", "pw"])
    model = ForestClassifier(n_estimators=5, random_state=0, n_jobs=1).fit(frame, y)
    assert list(model.feature_names_in_) == ["sl", "sw", "pl", "pw"]
    assert (model.predict(frame) == y).mean() > 0.9


def test_missing_values_are_imputed():
    X, y = iris()
    X = X.copy()
    X[::7, 2] = np.nan
    model = ForestClassifier(n_estimators=10, random_state=0, n_jobs=1).fit(X, y)
    assert model.score(X, y) > 0.9


def test_random_state_gives_the_same_forest_for_the_same_threads():
    X, y = iris()
    a = ForestClassifier(n_estimators=8, max_features=2, random_state=42, n_jobs=2).fit(X, y)
    b = ForestClassifier(n_estimators=8, max_features=2, random_state=42, n_jobs=2).fit(X, y)
    for s, t in zip(a.estimators_, b.estimators_):
        assert np.array_equal(s, t, equal_nan=True)


@pytest.mark.parametrize("call,message", [
    (lambda X, y: ForestClassifier().fit(X, np.zeros(len(y))), "only one class"),
    (lambda X, y: ForestClassifier(n_estimators=-1).fit(X, y),
     "The 'n_estimators' parameter of ForestClassifier must be an int in the range"),
    (lambda X, y: ForestClassifier(criterion="variance").fit(X, y), "The 'criterion' parameter of ForestClassifier"),
    (lambda X, y: ForestClassifier(max_features="most").fit(X, y), "The 'max_features' parameter"),
    (lambda X, y: ForestClassifier(n_estimators=3).fit(np.where(X > 7, np.inf, X), y), "infinity"),
    (lambda X, y: ForestClassifier(n_estimators=3).fit(X, y).predict(X[:, :3]), "X has 3 features"),
    (lambda X, y: ForestClassifier(oob_score="yes").fit(X, y), "The 'oob_score' parameter"),
    (lambda X, y: ForestRegressor(verbose=-1).fit(X, y.argsort()), "The 'verbose' parameter"),
    (lambda X, y: ForestClassifier(bootstrap_fraction=0.001).fit(X, y), "of 150 samples gives empty bootstrap"),
    (lambda X, y: ForestClassifier(min_samples_leaf=0).fit(X, y), "The 'min_samples_leaf' parameter"),
    (lambda X, y: ForestClassifier(min_samples_split=0).fit(X, y), "The 'min_samples_split' parameter"),
    (lambda X, y: ForestClassifier(max_leaf_nodes=1).fit(X, y), "The 'max_leaf_nodes' parameter"),
    (lambda X, y: ForestClassifier(max_samples=151).fit(X, y), "must be <= n_samples=150 but got value 151"),
    (lambda X, y: ForestClassifier(bootstrap=False, oob_score=True).fit(X, y), "only available if bootstrap=True"),
    (lambda X, y: ForestClassifier(bootstrap=False, max_samples=0.5).fit(X, y), "cannot be set if `bootstrap=False`"),
    (lambda X, y: ForestClassifier(class_weight="even").fit(X, y), "The 'class_weight' parameter"),
    (lambda X, y: ForestClassifier(n_estimators=3).fit(X, y, sample_weight=-np.ones(150)), "non-negative"),
    (lambda X, y: ForestClassifier(n_estimators=3).fit(X, y, sample_weight=np.ones(149)), "149"),
    (lambda X, y: ForestClassifier(n_estimators=3).fit(X, y, sample_weight=np.zeros(150)), "must not all be zero"),
    (lambda X, y: ForestClassifier(n_estimators=3, bootstrap=False).fit(X, y, sample_weight=np.arange(150.0)),
     "need bootstrap=True"),
    (lambda X, y: ForestClassifier(n_estimators=3, warm_start=True).fit(X, y).set_params(n_estimators=2).fit(X, y),
     "n_estimators=2 must be larger or equal to len\\(estimators_\\)=3 when warm_start==True"),
])
def test_bad_input_gets_value_errors(call, message):
    X, y = iris()
    with pytest.raises(ValueError, match=message):
        call(X, y)


@pytest.mark.parametrize("fraction", [0.001, 0.632, 1.0])
def test_one_row_gives_leaves_of_its_target(fraction):
    model = ForestRegressor(n_estimators=3, max_samples=fraction, random_state=1).fit([[1.0, 2.0]], [151.5])
    assert model.predict([[1.0, 2.0], [9.0, -9.0]]).tolist() == [151.5, 151.5]


def test_regressor_fits_and_keeps_its_predictions_through_pickle():
    X, y = make_regression(n_samples=400, n_features=6, n_informative=3, noise=1.0, random_state=0)
    model = ForestRegressor(n_estimators=30, random_state=3, n_jobs=2).fit(X, y)
    assert model.score(X, y) > 0.85
    again = pickle.loads(pickle.dumps(model))
    assert np.array_equal(again.predict(X), model.predict(X))


def test_apply_gives_the_leaf_of_each_tree():
    X, y = iris()
    model = ForestClassifier(n_estimators=4, random_state=0, n_jobs=1).fit(X, y)
    leaves = model.apply(X)
    assert leaves.shape == (150, 4)
    for k, tree in enumerate(model.estimators_):
        assert np.all(tree[0][leaves[:, k]] == -1)  # every number is a leaf
        assert np.array_equal(model.classes_[tree[4][leaves[:, k]].astype(int)][:3], model.classes_[[0, 0, 0]])


@pytest.mark.parametrize("fmt", ["vectortxt", "lisp"])
def test_saved_models_load_back_and_the_program_tests_them(fmt):
    X, y = iris()
    model = ForestClassifier(n_estimators=10, random_state=0, n_jobs=2).fit(X, y)
    with tempfile.TemporaryDirectory() as directory:
        path = os.path.join(directory, "iris.model")
        model.save_model(path, format=fmt)
        loaded = ForestClassifier.load_model(path)
        assert list(loaded.classes_) == list(model.classes_)
        assert np.array_equal(loaded.predict(X), model.predict(X))
        program = os.environ.get("SYLVOR_PROGRAM")
        if program:
            data = os.path.join(directory, "iris.csv")
            with open(data, "w") as out:
                for row, name in zip(X, y):
                    out.write(",".join(repr(float(v)) for v in row) + "," + name + "\n")
            predictions = os.path.join(directory, "predictions")
            subprocess.run([program, "test-classify", "--in-file", data, "--desc-file", path + ".bdf",
                            "--model-file", path, "--feature-type", "double", "--predictions-file", predictions,
                            "--print-string-labels", "1"], check=True, capture_output=True)
            assert open(predictions).read().split() == list(model.predict(X))


def test_models_learned_by_the_program_load_into_python():
    program = os.environ.get("SYLVOR_PROGRAM")
    examples = os.environ.get("SYLVOR_EXAMPLES_DIR")
    if not program or not examples:
        pytest.skip("the sylvor program is not known")
    with tempfile.TemporaryDirectory() as directory:
        path = os.path.join(directory, "model")
        subprocess.run([program, "learn", "--in-file", os.path.join(examples, "iris.csv"), "--desc-file",
                        os.path.join(examples, "iris.bdf"), "--model-file", path, "--seed", "4",
                        "--model-format", "lisp"], check=True, capture_output=True)
        model = ForestClassifier.load_model(path, classes=["setosa", "versicolor", "virginica"])
        X, y = iris()
        assert model.score(X, y) > 0.95
        described = ForestClassifier.load_model(path, desc_file=os.path.join(examples, "iris.bdf"))
        assert described.n_features_in_ == 4
        assert list(described.classes_) == ["setosa", "versicolor", "virginica"]
        assert np.array_equal(described.predict(X), model.predict(X))
        with pytest.raises(FileNotFoundError, match="does not exist"):
            ForestClassifier.load_model(path, desc_file=os.path.join(directory, "none.bdf"))


@pytest.mark.parametrize("n_jobs", [1, 2])
@pytest.mark.parametrize("random_state", [0, 7])
def test_out_of_bag_options_leave_the_forest_unchanged(n_jobs, random_state):
    X, y = iris()
    plain = ForestClassifier(n_estimators=15, random_state=random_state, n_jobs=n_jobs).fit(X, y)
    extra = ForestClassifier(n_estimators=15, random_state=random_state, n_jobs=n_jobs, oob_score=True,
                             compute_permutation_importances=True).fit(X, y)
    for a, b in zip(plain.estimators_, extra.estimators_):
        assert np.array_equal(a, b, equal_nan=True)
    assert not hasattr(plain, "oob_score_") and not hasattr(plain, "permutation_importances_")


def test_classifier_out_of_bag_score_and_decision_function():
    X, y = iris()
    model = ForestClassifier(n_estimators=60, random_state=1, n_jobs=2, oob_score=True).fit(X, y)
    decision = model.oob_decision_function_
    assert decision.shape == (150, 3)
    assert np.allclose(decision.sum(axis=1), 1.0)
    # The score is the accuracy of the out-of-bag vote (first class on ties).
    assert model.oob_score_ == np.mean(model.classes_[np.argmax(decision, axis=1)] == y)
    assert 0.9 < model.oob_score_ < 1.0


def test_regressor_out_of_bag_prediction_and_score():
    X, y = make_regression(n_samples=400, n_features=6, n_informative=3, noise=1.0, random_state=0)
    model = ForestRegressor(n_estimators=40, random_state=3, n_jobs=2, oob_score=True).fit(X, y)
    seen = ~np.isnan(model.oob_prediction_)
    assert seen.all()
    r2 = 1 - ((y - model.oob_prediction_) ** 2).sum() / ((y - y.mean()) ** 2).sum()
    assert model.oob_score_ == pytest.approx(r2)
    assert 0.6 < model.oob_score_ < model.score(X, y)


def test_instances_without_out_of_bag_trees_are_left_out_with_a_warning():
    X, y = iris()
    with pytest.warns(UserWarning, match="no out-of-bag prediction"):
        model = ForestClassifier(n_estimators=1, random_state=0, n_jobs=1, oob_score=True).fit(X, y)
    missing = np.isnan(model.oob_decision_function_).all(axis=1)
    assert 0 < missing.sum() < 150
    seen = ~missing
    assert model.oob_score_ == np.mean(model.predict(X[seen]) == y[seen])


@pytest.mark.parametrize("make,estimator", [
    (lambda: make_classification(n_samples=600, n_features=8, n_informative=2, n_redundant=0, shuffle=False,
                                 random_state=0),
     ForestClassifier(n_estimators=30, random_state=0, n_jobs=2, compute_permutation_importances=True)),
    (lambda: make_regression(n_samples=600, n_features=8, n_informative=2, noise=1.0, shuffle=False,
                             random_state=0),
     ForestRegressor(n_estimators=30, random_state=0, n_jobs=2, compute_permutation_importances=True)),
])
def test_permutation_importances_rank_the_informative_features_first(make, estimator):
    X, y = make()
    model = estimator.fit(X, y)
    importances = model.permutation_importances_
    assert importances.shape == (8,)
    # Unshuffled, the informative features are the first two.
    assert set(np.argsort(-importances)[:2]) == {0, 1}
    assert importances[2:].max() < 0.2 * importances[:2].min()


def test_verbose_shows_progress_on_stderr_only_when_asked(capsys):
    rng = np.random.default_rng(0)
    X = rng.random((20000, 10))
    y = (X[:, 0] + 0.5 * rng.random(20000) > 0.75).astype(int)  # noisy: deep trees
    ForestClassifier(n_estimators=30, n_jobs=1, random_state=0).fit(X, y)
    assert capsys.readouterr().err == ""
    ForestClassifier(n_estimators=30, n_jobs=1, random_state=0, verbose=1).fit(X, y)
    err = capsys.readouterr().err
    assert err.startswith("\rLearning: ") and "/30 trees" in err
    assert err.endswith("\r") and err.rstrip("\r").split("\r")[-1].strip() == ""


@pytest.mark.parametrize("fmt", ["vectortxt", "lisp"])
def test_saved_models_predict_exactly_as_fitted_ones_on_large_and_long_numbers(fmt):
    rng = np.random.default_rng(3)
    X = np.column_stack([1700000000.0 + 10.0 * np.arange(400), rng.random(400) / 3.0])
    y = np.where(X[:, 0] < 1700002000.0, "low", "high")
    target = 1234567.89 + 0.01 * (X[:, 0] > 1700002000.0) + X[:, 1] / 7.0
    classifier = ForestClassifier(n_estimators=20, random_state=1).fit(X, y)
    regressor = ForestRegressor(n_estimators=20, random_state=1).fit(X, target)
    with tempfile.TemporaryDirectory() as directory:
        path = os.path.join(directory, "model")
        classifier.save_model(path, format=fmt)
        assert np.array_equal(ForestClassifier.load_model(path).predict_proba(X), classifier.predict_proba(X))
        regressor.save_model(path, format=fmt)
        assert np.array_equal(ForestRegressor.load_model(path, n_features=2).predict(X), regressor.predict(X))


def test_save_model_checks_everything_before_it_writes_anything():
    X, y = iris()
    model = ForestClassifier(n_estimators=3, random_state=1).fit(X, y)
    with tempfile.TemporaryDirectory() as directory:
        path = os.path.join(directory, "model")
        with open(path, "w") as out:
            out.write("earlier model")
        with pytest.raises(ValueError, match="format must be"):
            model.save_model(path, format="xml")
        unsavable = ForestClassifier(n_estimators=3, random_state=1).fit(X, y)
        unsavable.classes_ = np.empty(3, dtype=object)
        unsavable.classes_[:] = [(1, 2), 3, 4]
        with pytest.raises(ValueError, match="cannot be saved"):
            unsavable.save_model(path)
        assert open(path).read() == "earlier model"
        assert sorted(os.listdir(directory)) == ["model"]
        with pytest.raises(FileNotFoundError):
            model.save_model(os.path.join(directory, "missing", "model"))


def with_missing_values(X, seed=5, share=0.15):
    X = X.copy()
    X[np.random.default_rng(seed).random(X.shape) < share] = np.nan
    return X


@pytest.mark.parametrize("make", [
    lambda X, y: ForestClassifier(n_estimators=15, random_state=2).fit(with_missing_values(X), y),
    lambda X, y: ForestRegressor(n_estimators=15, random_state=2).fit(with_missing_values(X), X[:, 2] * 10),
])
def test_a_row_with_missing_values_predicts_alike_alone_and_in_any_batch(make):
    X, y = iris()
    model = make(X, y)
    rows = with_missing_values(X, seed=8, share=0.4)
    whole = model.predict(rows)
    for i in range(0, len(rows), 7):
        assert model.predict(rows[i:i + 1])[0] == whole[i]
    # Batches whose own medians differ: the flowers of one class at a time.
    for name in np.unique(y):
        assert np.array_equal(model.predict(rows[y == name]), whole[y == name])


@pytest.mark.parametrize("fmt", ["vectortxt", "lisp"])
def test_saved_models_keep_their_medians_for_python_and_the_program(fmt):
    X, y = iris()
    model = ForestClassifier(n_estimators=10, random_state=3).fit(with_missing_values(X), y)
    rows = with_missing_values(X, seed=9, share=0.4)
    with tempfile.TemporaryDirectory() as directory:
        path = os.path.join(directory, "model")
        model.save_model(path, format=fmt)
        loaded = ForestClassifier.load_model(path)
        assert np.array_equal(loaded.feature_medians_, model.feature_medians_)
        assert loaded.n_features_in_ == 4
        assert np.array_equal(loaded.predict(rows[:1]), model.predict(rows[:1]))
        program = os.environ.get("SYLVOR_PROGRAM")
        if program:
            data = os.path.join(directory, "rows.csv")
            with open(data, "w") as out:
                for row, name in zip(rows, y):
                    out.write(",".join("?" if np.isnan(v) else repr(float(v)) for v in row) + "," + name + "\n")
            predictions = os.path.join(directory, "predictions")
            run = subprocess.run([program, "test-classify", "--in-file", data, "--desc-file", path + ".bdf",
                                  "--model-file", path, "--feature-type", "double", "--predictions-file",
                                  predictions, "--print-string-labels", "1"], check=True, capture_output=True,
                                 text=True)
            assert run.stderr == ""
            assert open(predictions).read().split() == list(model.predict(rows))


def test_a_model_without_its_medians_warns_when_values_are_missing():
    X, y = iris()
    model = ForestRegressor(n_estimators=5, random_state=3, missing_values="median").fit(X, X[:, 0])
    with tempfile.TemporaryDirectory() as directory:
        path = os.path.join(directory, "model")
        model.save_model(path)
        os.remove(path + ".medians")
        loaded = ForestRegressor.load_model(path, n_features=4)
        assert loaded.feature_medians_ is None
        assert np.array_equal(loaded.predict(X), model.predict(X))  # nothing missing: no warning
        with pytest.warns(UserWarning, match="no recorded training medians"):
            loaded.predict(with_missing_values(X))
        # Medians beside a model they were not written for are ignored.
        model.save_model(path)
        ForestRegressor(n_estimators=6, random_state=4, missing_values="median").fit(X, X[:, 0]).save_model(
            path + ".other")
        os.replace(path + ".other", path)
        with pytest.warns(UserWarning, match="was written for another model"):
            assert ForestRegressor.load_model(path, n_features=4).feature_medians_ is None


def test_log_probabilities_and_class_and_output_counts():
    X, y = iris()
    model = ForestClassifier(n_estimators=20, random_state=0, n_jobs=2).fit(X, y)
    assert (model.n_classes_, model.n_outputs_) == (3, 1)
    probabilities = model.predict_proba(X[:60])
    logs = model.predict_log_proba(X[:60])
    assert np.array_equal(np.isneginf(logs), probabilities == 0.0)
    assert np.allclose(np.exp(logs), probabilities)
    regressor = ForestRegressor(n_estimators=5, random_state=0).fit(X, np.arange(150.0))
    assert regressor.n_outputs_ == 1


@pytest.mark.parametrize("keep_metadata,classes,error", [
    (False, ["a", "b"], "needs at least 3 classes, but 2 were given"), (False, ["a", "b", "c"], None),
    (False, ["a", "b", "c", "d"], None), (True, ["a", "b", "c"], "are not those the model was saved with"),
    (True, ["setosa", "versicolor", "virginica"], None)])
def test_loaded_classes_must_cover_the_model_and_match_the_saved_ones(keep_metadata, classes, error):
    X, y = iris()
    model = ForestClassifier(n_estimators=10, random_state=0).fit(X, y)
    with tempfile.TemporaryDirectory() as directory:
        path = os.path.join(directory, "iris.model")
        model.save_model(path)
        if not keep_metadata:
            os.unlink(path + ".meta")  # as the program writes models
        if error:
            with pytest.raises(ValueError, match=error):
                ForestClassifier.load_model(path, classes=classes)
        else:
            loaded = ForestClassifier.load_model(path, classes=classes)
            assert loaded.n_classes_ == len(classes) and loaded.n_outputs_ == 1
            assert list(loaded.predict(X[:5])) == [classes[0]] * 5


@pytest.mark.parametrize("estimator,alias,name", [
    (ForestClassifier, "entropy", "infogain"), (ForestClassifier, "log_loss", "infogain"),
    (ForestClassifier, "gain_ratio", "gainratio"), (ForestRegressor, "squared_error", "variance")])
def test_scikit_learn_criterion_names_learn_the_same_forest(estimator, alias, name):
    X, y = iris()
    y = y if estimator is ForestClassifier else X[:, 0] * 2.0 + X[:, 3]
    X = X[:, 1:] if estimator is ForestRegressor else X
    by_alias = estimator(n_estimators=5, random_state=3, criterion=alias).fit(X, y)
    by_name = estimator(n_estimators=5, random_state=3, criterion=name).fit(X, y)
    assert by_alias.get_params()["criterion"] == alias
    assert all(np.array_equal(a, b, equal_nan=True) for a, b in zip(by_alias.estimators_, by_name.estimators_))


@pytest.mark.parametrize("n_jobs,threads", [(None, 4), (-1, 4), (-2, 3), (-4, 1), (-9, 1), (1, 1), (3, 3)])
def test_negative_n_jobs_count_back_from_the_cores(monkeypatch, n_jobs, threads):
    from sylvor import _forest
    monkeypatch.setattr(_forest.os, "cpu_count", lambda: 4)
    assert _forest._threads(n_jobs) == threads


@pytest.mark.parametrize("n_jobs", [0, 1.5, True, "2"])
def test_n_jobs_that_mean_nothing_are_refused(n_jobs):
    X, y = iris()
    with pytest.raises(ValueError, match="n_jobs"):
        ForestClassifier(n_estimators=2, n_jobs=n_jobs).fit(X, y)


@pytest.mark.parametrize("estimator,same_as", [(ForestClassifier, "sqrt"), (ForestRegressor, None)])
def test_auto_features_mean_what_they_meant_in_scikit_learn(estimator, same_as):
    X, _ = make_classification(n_samples=120, n_features=9, random_state=0)
    y = X[:, 0] > 0 if estimator is ForestClassifier else X[:, 0] + X[:, 1]
    auto = estimator(n_estimators=4, random_state=2, max_features="auto").fit(X, y)
    named = estimator(n_estimators=4, random_state=2, max_features=same_as).fit(X, y)
    assert all(np.array_equal(a, b, equal_nan=True) for a, b in zip(auto.estimators_, named.estimators_))
