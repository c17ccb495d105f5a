"""Results that are right or refused, never silently wrong: fits that change
the estimator only when they succeed, predictions that do not depend on the
float type of the rows, models of the program with -1/+1 classes, saved
companions that always belong to their model, metadata read exactly,
regression targets of any scale, and bounds on hostile input."""
import hashlib
import json
import os
import subprocess
import sys
import tempfile
import threading
import time
import warnings

import numpy as np
import pytest
from sklearn.datasets import load_breast_cancer, load_iris, make_classification, make_regression
from sklearn.exceptions import NotFittedError
from sklearn.utils.validation import check_is_fitted

import PySylvor_wrap as P
from sylvor import ForestClassifier, ForestRegressor

PROGRAM = os.environ.get("SYLVOR_PROGRAM")
EXAMPLES = os.environ.get("SYLVOR_EXAMPLES_DIR")


def iris():
    data = load_iris()
    return data.data, data.target_names[data.target]


def state_of(estimator):
    """The estimator's attributes, by identity: an untouched estimator
    holds the very same objects."""
    return {name: id(value) for name, value in vars(estimator).items()}


# ------------------------------------------------------------ all or nothing

def fitted_on_iris(**params):
    X, y = iris()
    return ForestClassifier(n_estimators=8, random_state=1, **params).fit(X, y)


@pytest.mark.parametrize("make,refit", [
    (lambda: fitted_on_iris(), lambda m: m.fit(load_breast_cancer().data, np.zeros(569))),
    (lambda: fitted_on_iris(bootstrap=False),
     lambda m: m.fit(load_breast_cancer().data, load_breast_cancer().target, sample_weight=np.arange(569.0))),
    (lambda: fitted_on_iris(warm_start=True),
     lambda m: m.set_params(n_estimators=12).fit(iris()[0], np.where(iris()[1] == "setosa", "a", "b"))),
    (lambda: fitted_on_iris(warm_start=True), lambda m: m.set_params(n_estimators=4).fit(*iris())),
    (lambda: fitted_on_iris(), lambda m: m.set_params(max_depth=2**40).fit(*iris())),
])
def test_a_failed_refit_leaves_the_estimator_as_it_was(make, refit):
    model = make()
    X, _ = iris()
    before, predicted = state_of(model), model.predict_proba(X)
    with pytest.raises(ValueError):
        refit(model)
    model.set_params(**{k: v for k, v in make().get_params().items()})
    assert state_of(model) == before
    assert np.array_equal(model.predict_proba(X), predicted)


def interrupted_fit(model, X, y):
    """Fits, sending SIGINT (as Ctrl-C does) once learning is under way."""
    timer = threading.Timer(0.3, lambda: __import__("_thread").interrupt_main())
    timer.start()
    try:
        with pytest.raises(KeyboardInterrupt):
            model.fit(X, y)
            time.sleep(5)  # not reached when the fit is long enough to be interrupted
    finally:
        timer.cancel()


@pytest.mark.parametrize("fitted_first", [False, True])
def test_an_interrupted_fit_leaves_the_estimator_as_it_was(fitted_first):
    X, y = make_classification(20000, 30, n_informative=10, random_state=0)
    model = ForestClassifier(n_estimators=400, max_features=None, random_state=2, n_jobs=2)
    if fitted_first:
        model.set_params(n_estimators=3).fit(X[:300], y[:300]).set_params(n_estimators=400)
        predicted = model.predict(X[:50])
    before = state_of(model)
    interrupted_fit(model, X, y)
    assert state_of(model) == before
    if fitted_first:
        assert np.array_equal(model.predict(X[:50]), predicted)
    else:
        with pytest.raises(NotFittedError):
            check_is_fitted(model)


def test_a_fit_clears_what_an_earlier_fit_set_and_this_one_does_not():
    X, y = iris()
    model = ForestClassifier(n_estimators=10, random_state=1, oob_score=True).fit(X, y)
    assert hasattr(model, "oob_score_")
    model.set_params(oob_score=False).fit(X, y)
    assert not hasattr(model, "oob_score_") and not hasattr(model, "oob_decision_function_")


# ------------------------------------------------------------ float types

# Measurements of few digits: many float64 values lie next to a float32
# threshold.
@pytest.mark.parametrize("make", [
    lambda X, y: (y, ForestClassifier(n_estimators=30)),
    lambda X, y: (X[:, 0] * 3 + y, ForestRegressor(n_estimators=10)),
])
def test_rows_predict_alike_whatever_their_float_type(make):
    X, target = load_breast_cancer(return_X_y=True)
    y, model = make(X, target)
    model.set_params(random_state=3, n_jobs=2).fit(X.astype(np.float32), y)
    as_learned = model.predict(X.astype(np.float32))
    assert np.array_equal(model.predict(X), as_learned)
    assert np.array_equal(model.apply(X), model.apply(X.astype(np.float32)))
    with tempfile.TemporaryDirectory() as directory:
        path = os.path.join(directory, "model")
        model.save_model(path)
        assert np.array_equal(type(model).load_model(path).predict(X), as_learned)


def test_the_module_predicts_as_the_forest_learned_when_told_its_type():
    X, y = make_regression(3000, 8, noise=3, random_state=6)
    X32 = X.astype(np.float32)
    trees, _ = P.learn(X32.T, y, criterion="variance", num_classes=1, num_trees=8, seed=3, min_leaf_size=1)[:2]
    expected, told = np.zeros(len(X)), np.zeros(len(X))
    P.predict_regression(X32.T, trees, expected)
    P.predict_regression(X.T, trees, told, learned_dtype=np.float32)
    assert np.array_equal(told, expected)
    leaves, leaves32 = np.zeros((len(X), 8), np.int32), np.zeros((len(X), 8), np.int32)
    P.apply(X.T, trees, leaves, learned_dtype="float32")
    P.apply(X32.T, trees, leaves32)
    assert np.array_equal(leaves, leaves32)
    with pytest.raises(ValueError, match="learned_dtype must be float32 or float64"):
        P.apply(X.T, trees, leaves, learned_dtype=np.int32)


# ------------------------------------------------------------ classes of loaded models

def plus_minus_model(directory, fmt):
    """A model the program learns from iris as setosa (-1, 'small') or not
    (+1, 'large'), and the rows with the program's string predictions."""
    data = os.path.join(directory, "iris.csv")
    X, y = iris()
    with open(data, "w") as out:
        for row, name in zip(X, y):
            out.write(",".join(repr(float(v)) for v in row) + "," + ("-1" if name == "setosa" else "1") + "\n")
    with open(os.path.join(directory, "pm.bdf"), "w") as out:
        out.write("num-features 4\nclass-column 4\nnumber-labels\nlabel-type plus-one-minus-one\n"
                  "label -1 small\nlabel 1 large\n")
    model = os.path.join(directory, "pm.model")
    subprocess.run([PROGRAM, "learn", "--in-file", data, "--desc-file", os.path.join(directory, "pm.bdf"),
                    "--model-file", model, "--model-format", fmt, "--seed", "5", "--feature-type", "double",
                    "--num-trees", "9"], check=True, capture_output=True)
    predictions = os.path.join(directory, "p")
    subprocess.run([PROGRAM, "test", "--in-file", data, "--desc-file", os.path.join(directory, "pm.bdf"),
                    "--model-file", model, "--feature-type", "double", "--predictions-file", predictions,
                    "--print-string-labels", "1"], check=True, capture_output=True)
    return model, X, open(predictions).read().split()


@pytest.mark.skipif(not PROGRAM, reason="the sylvor program is not known")
@pytest.mark.parametrize("fmt", ["vectortxt", "lisp"])
def test_a_program_model_of_minus_one_and_plus_one_loads_with_its_two_classes(fmt):
    with tempfile.TemporaryDirectory() as directory:
        path, X, expected = plus_minus_model(directory, fmt)
        for kwargs in ({"classes": ["small", "large"]}, {}):
            model = ForestClassifier.load_model(path, desc_file=os.path.join(directory, "pm.bdf"),
                                                feature_dtype="float64", **kwargs)
            assert list(model.classes_) == ["small", "large"]
            assert list(model.predict(X)) == expected
            assert np.allclose(model.predict_proba(X).sum(axis=1), 1.0)
        with pytest.raises(ValueError, match="plus-one-minus-one labels needs its description"):
            ForestClassifier.load_model(path, classes=["small", "large"])


@pytest.mark.parametrize("leaf,classes,message", [
    (5.0, ["a", "b"], "leaves hold class numbers up to 5, so it needs at least 6 classes"),
    (1.5, None, "vote for 1.5, which is not a class number"),
    (-2.0, ["a", "b"], "vote for -2, which is not a class number"),
])
def test_every_leaf_of_a_loaded_model_must_vote_for_a_class(leaf, classes, message):
    with tempfile.TemporaryDirectory() as directory:
        path = os.path.join(directory, "model")
        tree = np.array([[1, -1, -1], [2, -1, -1], [0, -1, -1], [0.5, 0, 0], [-2, 0, leaf]])
        P.write_model(path, [tree], "vectortxt")
        with pytest.raises(ValueError, match=message):
            ForestClassifier.load_model(path, classes=classes)


def test_the_module_refuses_leaves_voting_beyond_its_classes():
    tree = np.array([[1, -1, -1], [2, -1, -1], [0, -1, -1], [0.5, 0, 0], [-2, 0, 2]])
    x = np.array([[0.0, 1.0]])
    with pytest.raises(RuntimeError, match="leaf voting for class 2, but the classes are 0 to 1"):
        P.test_di(x, [tree], 2, np.zeros(2, np.int32), 1)
    with pytest.raises(RuntimeError, match="leaf voting for class 2"):
        P.prob_dd(x, [tree], 2, np.zeros((2, 2)), 1)


# ------------------------------------------------------------ saved files

def save_loop(path, seed, labels, rounds):
    """Python source that fits a classifier and saves it `rounds` times."""
    return (f"import numpy as np\nfrom sklearn.datasets import load_iris\nfrom sylvor import ForestClassifier\n"
            f"X, y = load_iris(return_X_y=True)\nnames = np.array({labels!r})\n"
            f"m = ForestClassifier(n_estimators=25, random_state={seed}).fit(X, names[y])\n"
            f"for _ in range({rounds}):\n    m.save_model({path!r})\n")


def test_concurrent_saves_never_pair_one_forest_with_the_others_classes():
    X, y = load_iris(return_X_y=True)
    a = ForestClassifier(n_estimators=25, random_state=1).fit(X, np.array(["a0", "a1", "a2"])[y])
    b = ForestClassifier(n_estimators=25, random_state=2).fit(X, np.array(["b0", "b1", "b2"])[y])
    with tempfile.TemporaryDirectory() as directory:
        path = os.path.join(directory, "model")
        writers = [subprocess.Popen([sys.executable, "-c", save_loop(path, seed, labels, 40)], env=os.environ)
                   for seed, labels in ((1, ["a0", "a1", "a2"]), (2, ["b0", "b1", "b2"]))]
        loads = 0
        while any(w.poll() is None for w in writers) or loads == 0:
            try:
                with warnings.catch_warnings():
                    warnings.simplefilter("ignore")  # companions of the other write are ignored, with a warning
                    loaded = ForestClassifier.load_model(path)
            except (FileNotFoundError, ValueError):
                continue  # nothing saved yet, or a file replaced while it was read
            loads += 1
            for original in (a, b):
                if str(loaded.classes_[0]) in {str(c) for c in original.classes_}:
                    assert np.array_equal(loaded.predict_proba(X), original.predict_proba(X))
        assert [w.wait() for w in writers] == [0, 0]
        assert loads > 0


def resave(path, edit, keep_digest=False):
    """Rewrites PATH.meta with edit(record) applied; its content digest is
    worked out again unless keep_digest."""
    with open(path + ".meta") as source:
        record = json.load(source)
    edit(record)
    if not keep_digest:
        content = {k: v for k, v in record.items() if k != "content_sha256"}
        record["content_sha256"] = hashlib.sha256(json.dumps(content, sort_keys=True).encode()).hexdigest()
    with open(path + ".meta", "w") as out:
        json.dump(record, out)


def swap(record):
    values = record["classes"]["values"]
    values[0], values[1] = values[1], values[0]


@pytest.mark.parametrize("labels,edit,keep_digest,message", [
    (["cat", "dog", "eel"], swap, True, "were changed after they were written"),
    (["cat", "dog", "eel"], lambda r: r["classes"]["values"].append("fox"), True, "were changed"),
    (["cat", "dog", "eel"], swap, False, "not two or more distinct labels in sorted order"),
    (["cat", "dog", "eel"], lambda r: r["classes"]["values"].__setitem__(1, "cat"), False, "distinct labels"),
    (["cat", "dog", "eel"], lambda r: r["classes"].__setitem__("dtype", "<U1"), False, "do not read back exactly"),
    ([1, 2, 1000], lambda r: r["classes"].__setitem__("dtype", "|i1"), False, "do not read back exactly"),
    ([0, 1, 2], lambda r: r["classes"].__setitem__("dtype", "|b1"), False, "do not read back exactly"),
    (["cat", "dog", "eel"], lambda r: r.__setitem__("n_features_in", "4"), False, "n_features_in must be"),
    (["cat", "dog", "eel"], lambda r: r.__setitem__("feature_importances_", [0.5]), False, "must be 4 numbers"),
    (["cat", "dog", "eel"], lambda r: r.__setitem__("params", [[[[[]]]]] * 2 + ["x"]), False, "params must be"),
])
def test_metadata_are_read_exactly_or_refused(labels, edit, keep_digest, message):
    X, y = load_iris(return_X_y=True)
    model = ForestClassifier(n_estimators=5, random_state=1).fit(X, np.array(labels)[y])
    with tempfile.TemporaryDirectory() as directory:
        path = os.path.join(directory, "model")
        model.save_model(path)
        assert list(ForestClassifier.load_model(path).classes_) == list(model.classes_)
        resave(path, edit, keep_digest)
        with pytest.raises(ValueError, match=message):
            ForestClassifier.load_model(path)


def test_deeply_nested_metadata_are_a_value_error():
    X, y = iris()
    with tempfile.TemporaryDirectory() as directory:
        path = os.path.join(directory, "model")
        ForestClassifier(n_estimators=2, random_state=1).fit(X, y).save_model(path)
        with open(path + ".meta", "w") as out:
            out.write("[" * 100000 + "]" * 100000)
        with pytest.raises(ValueError, match="nested too deeply"):
            ForestClassifier.load_model(path)


def test_a_description_written_for_another_model_is_not_used():
    X, y = iris()
    with tempfile.TemporaryDirectory() as directory:
        path, other = os.path.join(directory, "model"), os.path.join(directory, "other")
        ForestClassifier(n_estimators=3, random_state=1).fit(X, y).save_model(path)
        ForestClassifier(n_estimators=4, random_state=2).fit(X, np.char.upper(y.astype(str))).save_model(other)
        os.replace(other + ".bdf", path + ".bdf")
        os.unlink(path + ".meta")
        with pytest.warns(UserWarning, match="model.bdf was written for another model"):
            assert list(ForestClassifier.load_model(path).classes_) == [0, 1, 2]
        with pytest.raises(ValueError, match="was written for another model"):
            ForestClassifier.load_model(path, desc_file=path + ".bdf")


def test_medians_must_be_one_per_feature():
    X, y = iris()
    with tempfile.TemporaryDirectory() as directory:
        path = os.path.join(directory, "model")
        ForestRegressor(n_estimators=3, random_state=1, missing_values="median").fit(X, X[:, 0]).save_model(path)
        with pytest.raises(ValueError, match="holds 4 medians for 5 features"):
            ForestRegressor.load_model(path, n_features=5)


@pytest.mark.parametrize("make,error,message", [
    (lambda d: os.path.join(d, "none"), FileNotFoundError, "does not exist"),
    (lambda d: d, ValueError, "is not a regular file"),
    (lambda d: open(os.path.join(d, "empty"), "w").close() or os.path.join(d, "empty"), ValueError, "is empty"),
    (lambda d: open(os.path.join(d, "blank"), "w").write("\n \n") and os.path.join(d, "blank"), ValueError,
     "holds no trees"),
])
def test_a_model_file_that_holds_no_model_is_refused(make, error, message):
    with tempfile.TemporaryDirectory() as directory:
        with pytest.raises(error, match=message):
            ForestRegressor.load_model(make(directory))
        with pytest.raises(error, match=message):
            ForestClassifier.load_model(make(directory))


# ------------------------------------------------------------ scales and bounds

@pytest.mark.parametrize("exponent", [512, -520])
def test_regression_targets_of_any_scale_grow_the_same_trees(exponent):
    X, y = make_regression(400, 6, noise=2, random_state=8)
    plain = ForestRegressor(n_estimators=6, random_state=3, oob_score=True).fit(X, y)
    scaled = ForestRegressor(n_estimators=6, random_state=3, oob_score=True).fit(X, np.ldexp(y, exponent))
    assert min(t.tree_.node_count for t in scaled.estimators_) > 100
    for a, b in zip(plain.estimators_, scaled.estimators_):
        a = np.array(a.arrays)
        leaves = a[0] < 0
        a[4][leaves] = np.ldexp(a[4][leaves], exponent)
        assert np.array_equal(a, b.arrays, equal_nan=True)
    assert np.array_equal(np.ldexp(plain.predict(X), exponent), scaled.predict(X))
    assert scaled.oob_score_ == plain.oob_score_


@pytest.mark.parametrize("name,value", [("max_depth", 2**40), ("n_estimators", 2**31), ("max_leaf_nodes", 2**33),
                                        ("min_samples_split", 2**35), ("min_samples_leaf", 2**31)])
def test_counts_beyond_the_extension_are_refused_before_learning(name, value):
    X, y = iris()
    with pytest.raises(ValueError, match=f"The '{name}' parameter"):
        ForestClassifier(**{name: value}).fit(X, y)
