"""Distributed learning and prediction on a real Dask LocalCluster, and the
command-line recipe of joining sub-forest model files."""
import os
import subprocess
import tempfile
import threading
import time

import numpy as np
import pytest

distributed = pytest.importorskip("dask.distributed")
import dask.array as da  # noqa: E402
import dask.dataframe as dd  # noqa: E402
from sklearn.base import clone  # noqa: E402
from sklearn.datasets import load_iris, make_classification  # noqa: E402

from sylvor import ForestClassifier, ForestRegressor  # noqa: E402
from sylvor._forest import seed_of  # noqa: E402
from sylvor.distributed import _fit_subforest, fit_forest, join_forests, plan_tasks, predict, predict_proba  # noqa: E402


@pytest.fixture(scope="module")
def client():
    cluster = distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True, host="127.0.0.1",
                                       dashboard_address=None)
    client = distributed.Client(cluster)
    yield client
    client.close()
    cluster.close()


def local_subforests(estimator, X, y, threads):
    """The sub-forests learned here one by one, as fit_forest plans them."""
    subforests, first_tree = [], 0
    for n_trees, n_jobs in zip(plan_tasks(estimator.n_estimators, threads), threads):
        subforests.append(_fit_subforest(estimator, X, y, n_trees, first_tree, seed_of(estimator.random_state), n_jobs))
        first_tree += n_trees
    return subforests


def iris_for(estimator):
    """The iris data: the species for a classifier; for a regressor, twice
    the petal width from the other three measurements."""
    X, y = load_iris(return_X_y=True)
    if isinstance(estimator, ForestRegressor):
        return X[:, :3], X[:, 3] * 2.0
    return X, y


def same_forest(a, b):
    return len(a.estimators_) == len(b.estimators_) and all(
        np.array_equal(s, t, equal_nan=True) for s, t in zip(a.estimators_, b.estimators_))


@pytest.mark.parametrize("estimator", [ForestClassifier(n_estimators=9, random_state=5),
                                       ForestRegressor(n_estimators=8, random_state=6)])
def test_distributed_fit_is_the_join_of_its_subforests(client, estimator):
    X, y = iris_for(estimator)
    fitted = fit_forest(client, estimator, X, y)
    local = clone(estimator).set_params(n_jobs=2).fit(X, y)
    assert same_forest(fitted, local)
    assert np.allclose(fitted.feature_importances_, local.feature_importances_, rtol=1e-12)
    assert fitted.score(X, y) > 0.9


@pytest.mark.parametrize("estimator", [
    ForestClassifier(n_estimators=9, random_state=5, class_weight="balanced", max_samples=0.5, min_samples_leaf=2),
    ForestRegressor(n_estimators=8, random_state=6, max_features="sqrt", max_leaf_nodes=6)])
def test_distributed_fit_takes_weights_and_every_parameter(client, estimator):
    X, y = iris_for(estimator)
    weights = np.linspace(0.0, 2.0, len(y))
    fitted = fit_forest(client, estimator, X, y, sample_weight=weights)
    local = clone(estimator).set_params(n_jobs=2).fit(X, y, sample_weight=weights)
    assert same_forest(fitted, local)
    assert not same_forest(fitted, clone(estimator).fit(X, y))
    assert all(t.feature_importances_ is not None for t in fitted.estimators_)


@pytest.mark.parametrize("estimator", [
    ForestClassifier(n_estimators=9, random_state=5, oob_score=True, compute_permutation_importances=True),
    ForestRegressor(n_estimators=8, random_state=6, oob_score=True, compute_permutation_importances=True)])
@pytest.mark.filterwarnings("ignore:.*no out-of-bag prediction")  # the sub-forests' small forests miss some
def test_distributed_out_of_bag_estimates_join_the_votes_of_all_trees(client, estimator):
    X, y = iris_for(estimator)
    fitted = fit_forest(client, estimator, X, y)
    local = clone(estimator).set_params(n_jobs=1).fit(X, y)
    subforests = local_subforests(estimator, X, y, [1, 1])
    assert same_forest(fitted, local)
    trees = sum(sub._oob_record["oob_trees"] for sub in subforests)
    seen = trees > 0
    if isinstance(estimator, ForestClassifier):
        votes = sum(sub._oob_record["oob_votes"] for sub in subforests)
        assert np.allclose(fitted.oob_decision_function_[seen], votes[seen] / trees[seen, None])
        assert fitted.oob_score_ == np.mean(np.argmax(votes[seen], axis=1) == y[seen])
    else:
        means = sum(np.nan_to_num(sub.oob_prediction_) * sub._oob_record["oob_trees"] for sub in subforests)
        assert np.allclose(fitted.oob_prediction_[seen], means[seen] / trees[seen])
    # The subforests' trees are the local forest's, and with the training data
    # the estimates are worked out again for them all: the local ones.
    assert fitted.oob_score_ == local.oob_score_
    assert np.array_equal(fitted.oob_curve_, local.oob_curve_)
    assert np.array_equal(fitted.permutation_importances_, local.permutation_importances_)
    assert np.array_equal(fitted.feature_importances_, local.feature_importances_)
    # Joined from the votes alone: the same score to rounding, and no curve.
    from_votes = join_forests(estimator, subforests, y)
    assert from_votes.oob_score_ == pytest.approx(local.oob_score_, rel=1e-12)
    assert np.allclose(from_votes.permutation_importances_, local.permutation_importances_, rtol=1e-9, atol=1e-12)
    assert not hasattr(from_votes, "oob_curve_")
    with pytest.raises(ValueError, match="needs the training targets"):
        join_forests(estimator, subforests)


@pytest.mark.parametrize("params,name", [({"n_estimators": 0}, "n_estimators"), ({"max_depth": 2**40}, "max_depth")])
def test_distributed_fit_checks_the_parameters_before_any_work(client, params, name):
    X, y = load_iris(return_X_y=True)
    with pytest.raises(ValueError, match=f"The '{name}' parameter"):
        fit_forest(client, ForestClassifier(**params), X, y)


def test_distributed_predictions_equal_local_ones(client):
    X, y = make_classification(n_samples=600, n_features=6, n_informative=4, random_state=0)
    model = ForestClassifier(n_estimators=10, random_state=0, n_jobs=1).fit(X, y)
    array = da.from_array(X, chunks=(150, 6))
    assert np.array_equal(predict(client, model, array).compute(), model.predict(X))
    assert np.allclose(predict_proba(client, model, array).compute(), model.predict_proba(X))
    import pandas
    frame = dd.from_pandas(pandas.DataFrame(X), npartitions=3)
    assert np.array_equal(predict(client, model, frame).compute(), model.predict(X))


@pytest.mark.parametrize("chunk", [1, 37, 600])
def test_distributed_predictions_with_missing_values_do_not_depend_on_the_partitions(client, chunk):
    X, y = make_classification(n_samples=600, n_features=6, n_informative=4, random_state=2)
    X[np.random.default_rng(2).random(X.shape) < 0.3] = np.nan
    model = fit_forest(client, ForestClassifier(n_estimators=10, random_state=5), X, y)
    array = da.from_array(X, chunks=(chunk, 6))
    assert np.array_equal(predict(client, model, array).compute(), model.predict(X))


def test_killed_worker_still_gives_the_same_forest(client):
    X, y = make_classification(n_samples=20000, n_features=10, random_state=1)
    estimator = ForestClassifier(n_estimators=40, random_state=8)
    result = {}
    fitting = threading.Thread(target=lambda: result.setdefault("model", fit_forest(client, estimator, X, y)))
    fitting.start()
    time.sleep(1.0)
    victim = sorted(client.scheduler_info()["workers"])[0]
    try:
        client.run(os._exit, 1, workers=[victim])
    except Exception:
        pass  # the worker died before it could answer
    fitting.join(timeout=300)
    assert "model" in result
    assert same_forest(result["model"], clone(estimator).fit(X, y))


def test_joined_model_files_predict_as_the_vote_of_their_pieces():
    program, examples = os.environ.get("SYLVOR_PROGRAM"), os.environ.get("SYLVOR_EXAMPLES_DIR")
    if not program or not examples:
        pytest.skip("the sylvor program is not known")
    X, y = load_iris(return_X_y=True)
    with tempfile.TemporaryDirectory() as directory:
        subforests = []
        for seed in (1, 2):
            path = os.path.join(directory, f"sub{seed}.model")
            subprocess.run([program, "learn", "--in-file", os.path.join(examples, "iris.csv"), "--desc-file",
                            os.path.join(examples, "iris.bdf"), "--model-file", path, "--seed", str(seed),
                            "--num-trees", "7", "--fte-per-split", "2"], check=True, capture_output=True)
            subforests.append(path)
        joined = os.path.join(directory, "joined.model")
        with open(joined, "w") as out:
            for path in subforests:
                out.write(open(path).read())
        classes = [0, 1, 2]
        whole = ForestClassifier.load_model(joined, classes=classes)
        votes = sum(ForestClassifier.load_model(p, classes=classes).predict_proba(X) * 7 for p in subforests)
        assert len(whole.estimators_) == 14
        assert np.array_equal(whole.predict(X), np.argmax(np.round(votes), axis=1))
