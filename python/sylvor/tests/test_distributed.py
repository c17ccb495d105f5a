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


def test_a_distributed_quantile_forest_answers_as_a_local_one(client):
    X, y = iris_for(ForestRegressor())
    estimator = ForestRegressor(n_estimators=8, random_state=3, keep_leaf_samples=True)
    local = clone(estimator).set_params(n_jobs=2).fit(X, y)
    fitted = fit_forest(client, estimator, X, y)
    assert np.array_equal(fitted.predict_quantiles(X, [0.1, 0.5, 0.9]), local.predict_quantiles(X, [0.1, 0.5, 0.9]))
    assert np.array_equal(fitted.predict_interval(X, scaled=True), local.predict_interval(X, scaled=True))
    # Joined without the training rows, the trees still give quantiles, but
    # the intervals would need every tree's out-of-bag residuals.
    joined = join_forests(estimator, local_subforests(estimator, X, y, [1, 1]), y)
    assert np.array_equal(joined.predict_quantiles(X, [0.1, 0.9]), local.predict_quantiles(X, [0.1, 0.9]))
    with pytest.raises(ValueError, match="join its subforests with the training rows"):
        joined.predict_interval(X)


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


def fit_while_a_worker_dies(client, fit):
    """The model `fit()` returns while the first worker is killed a second
    after the fit starts."""
    result = {}
    fitting = threading.Thread(target=lambda: result.setdefault("model", fit()))
    fitting.start()
    time.sleep(1.0)
    victim = sorted(client.scheduler_info()["workers"])[0]
    try:
        client.run(os._exit, 1, workers=[victim])
    except Exception:
        pass  # the worker died before it could answer
    fitting.join(timeout=300)
    assert "model" in result
    return result["model"]


def test_killed_worker_still_gives_the_same_forest(client):
    X, y = make_classification(n_samples=20000, n_features=10, random_state=1)
    estimator = ForestClassifier(n_estimators=40, random_state=8)
    model = fit_while_a_worker_dies(client, lambda: fit_forest(client, estimator, X, y))
    assert same_forest(model, clone(estimator).fit(X, y))


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


# ------------------------------------------- Dask collections: rows stay put

def partition_rows(chunk, numbers):
    """The row numbers of the given partitions of an array chunked by `chunk` rows."""
    return np.concatenate([np.arange(i * chunk, (i + 1) * chunk) for i in numbers])


def shares_grown_here(estimator, X, y, plan, chunk, oob=False):
    """Each worker's share of the trees, grown here from the rows of its
    partitions, with the classes of all the rows."""
    shares = []
    for share in plan:
        if share["n_trees"] == 0:
            continue
        rows = partition_rows(chunk, share["partitions"])
        sub = clone(estimator).set_params(n_estimators=share["n_trees"], random_state=seed_of(estimator.random_state),
                                          n_jobs=1, oob_score=oob)
        if isinstance(estimator, ForestClassifier):
            sub._agreed_classes = np.unique(y)
        shares.append(sub._fit_subforest(X[rows], y[rows], None, share["first_tree"]))
    return shares


@pytest.mark.parametrize("estimator", [ForestClassifier(n_estimators=11, random_state=5, max_samples=0.8),
                                       ForestRegressor(n_estimators=7, random_state=6, max_features="sqrt")])
def test_a_collection_fit_grows_each_workers_share_from_its_own_rows(client, estimator):
    X, y = iris_for(estimator)
    chunk = 15
    fitted = fit_forest(client, estimator, da.from_array(X, chunks=(chunk, X.shape[1])), da.from_array(y, chunks=chunk))
    plan = fitted.distributed_plan_
    assert sorted(np.concatenate([share["partitions"] for share in plan])) == list(range(len(y) // chunk))
    assert [share["rows"] for share in plan] == [chunk * len(share["partitions"]) for share in plan]
    assert sum(share["n_trees"] for share in plan) == estimator.n_estimators
    for share in plan:  # trees in proportion to the rows, to within one
        assert abs(share["n_trees"] - estimator.n_estimators * share["rows"] / len(y)) < 1
    local = join_forests(estimator, shares_grown_here(estimator, X, y, plan, chunk))
    assert same_forest(fitted, local)
    assert np.array_equal(fitted.feature_importances_, local.feature_importances_)
    assert fitted.n_features_in_ == X.shape[1]


@pytest.mark.parametrize("estimator", [ForestClassifier(n_estimators=12, random_state=3, oob_score=True),
                                       ForestRegressor(n_estimators=9, random_state=4, oob_score=True)])
@pytest.mark.filterwarnings("ignore:.*no out-of-bag prediction")
def test_a_collection_fits_out_of_bag_score_counts_other_workers_trees_and_its_own_missed_ones(client, estimator):
    X, y = iris_for(estimator)
    chunk = 25
    fitted = fit_forest(client, estimator, da.from_array(X, chunks=(chunk, X.shape[1])), da.from_array(y, chunks=chunk))
    shares = shares_grown_here(estimator, X, y, fitted.distributed_plan_, chunk, oob=True)
    total_trees = sum(len(share.estimators_) for share in shares)
    correct = seen_rows = 0
    errors, truths = [], []
    for share, planned in zip(shares, [s for s in fitted.distributed_plan_ if s["n_trees"]]):
        rows = partition_rows(chunk, planned["partitions"])
        own_trees = share._oob_record["oob_trees"]
        others = [other for other in shares if other is not share]
        n_other = total_trees - len(share.estimators_)
        if isinstance(estimator, ForestClassifier):
            votes = share._oob_record["oob_votes"] + sum(o.predict_proba(X[rows]) * len(o.estimators_) for o in others)
            seen = own_trees + n_other > 0
            correct += int((np.argmax(votes[seen], axis=1) == y[rows][seen]).sum())
        else:
            sums = np.nan_to_num(share.oob_prediction_) * own_trees + sum(
                o.predict(X[rows]) * len(o.estimators_) for o in others)
            seen = own_trees + n_other > 0
            errors.append(y[rows][seen] - sums[seen] / (own_trees[seen] + n_other))
            truths.append(y[rows][seen])
        seen_rows += int(seen.sum())
    if isinstance(estimator, ForestClassifier):
        assert fitted.oob_score_ == correct / seen_rows
    else:
        truth = np.concatenate(truths)
        expected = 1.0 - (np.concatenate(errors) ** 2).sum() / ((truth - truth.mean()) ** 2).sum()
        assert fitted.oob_score_ == pytest.approx(expected, rel=1e-9)
    assert not hasattr(fitted, "oob_decision_function_") and not hasattr(fitted, "oob_prediction_")
    # The curve's last point is the whole forest's out-of-bag error (or mean squared error).
    assert len(fitted.oob_curve_) == estimator.n_estimators
    if isinstance(estimator, ForestClassifier):
        assert fitted.oob_curve_[-1] == pytest.approx(1.0 - fitted.oob_score_, rel=1e-12)
    else:
        assert fitted.oob_curve_[-1] == pytest.approx((1.0 - fitted.oob_score_) * np.var(truth), rel=1e-9)


def test_a_dask_dataframe_and_series_fit_and_predict_where_they_live(client):
    import pandas
    X, y = make_classification(n_samples=800, n_features=6, n_informative=4, random_state=4)
    table = pandas.DataFrame(X, columns=[f"f{j}" for j in range(6)])
    frame = dd.from_pandas(table, npartitions=4)
    labels = dd.from_pandas(pandas.Series(np.array(["no", "yes"])[y]), npartitions=4)
    model = fit_forest(client, ForestClassifier(n_estimators=10, random_state=2), frame, labels)
    assert list(model.classes_) == ["no", "yes"]
    assert list(model.feature_names_in_) == list(table.columns)
    assert sum(share["rows"] for share in model.distributed_plan_) == 800
    assert np.array_equal(predict(client, model, frame).compute(), model.predict(table))
    assert model.score(table, np.array(["no", "yes"])[y]) > 0.9


def test_categorical_levels_are_agreed_across_the_partitions(client):
    import pandas
    rng = np.random.default_rng(8)
    colour = rng.choice(["red", "green", "blue"], 900).astype(object)
    colour[:300] = np.where(colour[:300] == "blue", "red", colour[:300])  # the first partition has no blue
    colour[-1] = "violet"  # one level in one row of the last partition
    size = rng.normal(size=900)
    y = ((colour == "blue") | (size > 1.0)).astype(int)
    table = pandas.DataFrame({"colour": colour, "size": size})
    model = fit_forest(client, ForestClassifier(n_estimators=12, random_state=3), dd.from_pandas(table, npartitions=3),
                       dd.from_pandas(pandas.Series(y), npartitions=3))
    assert list(model.categories_[0]) == ["blue", "green", "red", "violet"] and model.categories_[1] is None
    assert list(model.is_categorical_) == [True, False]
    assert model.score(table, y) > 0.95


def test_classes_missing_from_a_workers_rows_are_agreed_across_the_workers(client):
    X, y = make_classification(n_samples=600, n_features=5, n_informative=3, n_classes=3, random_state=6)
    order = np.argsort(y, kind="stable")  # partitions of one class each
    X, y = X[order], y[order]
    model = fit_forest(client, ForestClassifier(n_estimators=8, random_state=1), da.from_array(X, chunks=(50, 5)),
                       da.from_array(y, chunks=50))
    assert list(model.classes_) == [0, 1, 2]
    assert model.predict_proba(X).shape == (600, 3)


def test_a_shuffle_mixes_ordered_partitions_and_keeps_every_row(client):
    from sylvor._partitioned import _as_frame, _shuffled
    X = np.arange(400, dtype=np.float64).reshape(200, 2)
    y = np.repeat([0, 1, 2, 3], 50)  # each partition holds one class
    shuffled = _shuffled(_as_frame(da.from_array(X, chunks=(50, 2)), da.from_array(y, chunks=50), None), seed=7)
    blocks = shuffled.table.to_delayed()
    assert len(blocks) == 4
    blocks = [block.compute() for block in blocks]
    rows = np.concatenate([block[["x0", "x1"]].to_numpy() for block in blocks])
    labels = np.concatenate([block["__y"].to_numpy() for block in blocks])
    order = np.argsort(rows[:, 0])
    assert np.array_equal(rows[order], X) and np.array_equal(labels[order], y)  # the rows, each with its label
    assert all(block["__y"].nunique() > 1 for block in blocks)


def test_shuffle_is_for_collections_and_collections_refuse_what_needs_every_row(client):
    X, y = load_iris(return_X_y=True)
    with pytest.raises(ValueError, match="shuffle=True redistributes the partitions of Dask collections"):
        fit_forest(client, ForestClassifier(n_estimators=2), X, y, shuffle=True)
    array, labels = da.from_array(X, chunks=(50, 4)), da.from_array(y, chunks=50)
    for params, message in [({"warm_start": True}, "learns a new forest each time")]:
        with pytest.raises(ValueError, match=message):
            fit_forest(client, ForestClassifier(n_estimators=2, **params), array, labels)
    with pytest.raises(ValueError, match="y has 100 rows, but X has 150"):
        fit_forest(client, ForestClassifier(n_estimators=2), array, labels[:100])
    with pytest.raises(ValueError, match="y has 100 rows, but X has 150"):
        fit_forest(client, ForestClassifier(n_estimators=2), array, y[:100])


def test_a_killed_worker_during_a_collection_fit_leaves_the_planned_forest(client):
    X, y = make_classification(n_samples=20000, n_features=10, random_state=3)
    chunk = 2500
    estimator = ForestClassifier(n_estimators=40, random_state=9)
    model = fit_while_a_worker_dies(client, lambda: fit_forest(
        client, estimator, da.from_array(X, chunks=(chunk, 10)), da.from_array(y, chunks=chunk)))
    assert same_forest(model, join_forests(estimator, shares_grown_here(estimator, X, y, model.distributed_plan_,
                                                                          chunk)))


def test_a_worker_that_cannot_hold_its_share_says_so():
    import dask
    settings = {"distributed.worker.memory.target": False, "distributed.worker.memory.spill": False,
                "distributed.worker.memory.pause": False, "distributed.worker.memory.terminate": False}
    with dask.config.set(settings):
        cluster = distributed.LocalCluster(n_workers=1, threads_per_worker=1, processes=False,
                                           memory_limit="1MB", dashboard_address=None)
        try:
            with distributed.Client(cluster) as small:
                X, y = make_classification(n_samples=400, n_features=5, random_state=0)
                with pytest.raises(MemoryError, match=r"worker \S+ cannot hold its share of the rows: 400 rows x 5 "
                                                      r"features need 16000 bytes, and it uses \d+ of its memory "
                                                      r"limit of 1000000 bytes"):
                    fit_forest(small, ForestClassifier(n_estimators=2), da.from_array(X, chunks=(100, 5)),
                               da.from_array(y, chunks=100))
        finally:
            cluster.close()


@pytest.mark.parametrize("rows, dtype, rounds", [(1000, np.float64, {}), (300_000, np.float32, {}),
                                                 (3000, np.float64, {"per_piece": 2, "gathered": 3})])
def test_training_medians_over_the_partitions_are_those_of_all_rows(client, rows, dtype, rounds):
    import PySylvor_wrap
    from sylvor._partitioned import _agreed_medians, _as_frame, _computed_parts
    rng = np.random.default_rng(rows)
    X = np.column_stack([rng.normal(size=rows), rng.integers(0, 4, rows),  # a spread column, a column of ties
                         np.full(rows, np.nan), rng.exponential(size=rows)]).astype(dtype)
    X[rng.random(rows) < 0.2, 0] = np.nan
    X[: rows // 3, 3] = np.nan  # the first partitions hold no value of it
    pieces = _computed_parts(client, _as_frame(da.from_array(X, chunks=(rows // 6, 4)), np.zeros(rows), None))
    assert np.array_equal(_agreed_medians(client, pieces, **rounds), PySylvor_wrap.column_medians(X))


def test_a_collection_fit_with_medians_fills_every_share_with_those_of_all_rows(client):
    import PySylvor_wrap
    X, y = make_classification(n_samples=600, n_features=5, n_informative=3, random_state=2)
    X[np.random.default_rng(1).random(X.shape) < 0.2] = np.nan
    estimator = ForestClassifier(n_estimators=6, random_state=4, missing_values="median")
    fitted = fit_forest(client, estimator, da.from_array(X, chunks=(100, 5)), da.from_array(y, chunks=100))
    medians = PySylvor_wrap.column_medians(X)
    assert np.array_equal(fitted.feature_medians_, medians)
    shares = []
    for share in fitted.distributed_plan_:
        rows = partition_rows(100, share["partitions"])
        sub = clone(estimator).set_params(n_estimators=share["n_trees"], random_state=seed_of(4), n_jobs=1)
        sub._agreed_classes, sub._agreed_medians = np.unique(y), medians
        shares.append(sub._fit_subforest(X[rows], y[rows], None, share["first_tree"]))
    assert same_forest(fitted, join_forests(estimator, shares))


@pytest.mark.filterwarnings("ignore:.*no out-of-bag prediction")
def test_a_collection_fits_out_of_bag_curve_adds_the_trees_in_order(client):
    X, y = iris_for(ForestClassifier())
    chunk, estimator = 25, ForestClassifier(n_estimators=8, random_state=11, oob_score=True)
    fitted = fit_forest(client, estimator, da.from_array(X, chunks=(chunk, 4)), da.from_array(y, chunks=chunk))
    # Each tree grown here alone on its worker's rows, with the rows its sample missed.
    rows_of, flags, votes_of = {}, [], []
    for share in fitted.distributed_plan_:
        rows = partition_rows(chunk, share["partitions"])
        for t in range(share["n_trees"]):
            one = clone(estimator).set_params(n_estimators=1, random_state=seed_of(11), n_jobs=1)
            one._agreed_classes = np.unique(y)
            one = one._fit_subforest(X[rows], y[rows], None, share["first_tree"] + t)
            flag = np.ones(len(y), dtype=bool)
            flag[rows] = one._oob_record["oob_trees"] > 0
            flags.append(flag)
            votes_of.append(one.predict(X))
    votes, curve = np.zeros((len(y), 3)), []
    for flag, predicted in zip(flags, votes_of):
        votes[np.flatnonzero(flag), predicted[flag]] += 1
        seen = votes.sum(axis=1) > 0
        curve.append(np.mean(np.argmax(votes[seen], axis=1) != y[seen]) if seen.any() else np.nan)
    assert np.allclose(fitted.oob_curve_, curve, rtol=1e-12, equal_nan=True)


@pytest.mark.parametrize("kind", [ForestClassifier, ForestRegressor])
def test_a_collection_fits_permutation_importances_find_the_features_that_matter(client, kind):
    rng = np.random.default_rng(12)
    X = rng.random((3000, 4))
    signal = X[:, 0] + 0.5 * X[:, 1]  # features 2 and 3 are noise
    y = (signal > 0.75).astype(int) if kind is ForestClassifier else signal
    estimator = kind(n_estimators=10, random_state=2, compute_permutation_importances=True)
    fitted = fit_forest(client, estimator, da.from_array(X, chunks=(500, 4)), da.from_array(y, chunks=500))
    local = clone(estimator).fit(X, y).permutation_importances_
    importances = fitted.permutation_importances_
    assert importances[0] > importances[1] > 5 * np.abs(importances[2:]).max()
    # Shuffles within each worker's rows measure what shuffles among all rows do.
    assert np.allclose(importances, local, rtol=0.25, atol=0.1 * local.max())
    assert not hasattr(fitted, "oob_score_")


@pytest.mark.parametrize("estimator", [ForestClassifier(n_estimators=4, random_state=2),
                                       ForestRegressor(n_estimators=3, random_state=2, oob_score=True)])
def test_dask_counts_a_forest_by_the_trees_it_holds(estimator):
    """Dask's memory accounting, task placement and transfer counters size
    objects with dask.sizeof; a forest must count its node arrays, not the
    few dozen bytes of an unknown object."""
    from dask.sizeof import sizeof
    X, y = make_classification(n_samples=400, n_features=6, random_state=0)
    fitted = clone(estimator).fit(X, y)
    nodes = sum(tree.arrays.nbytes for tree in fitted.estimators_)
    assert nodes <= sizeof(fitted) <= 4 * nodes + 64 * len(X) * 8
    assert sizeof(fitted.estimators_[0]) >= fitted.estimators_[0].arrays.nbytes
