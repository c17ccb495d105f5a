"""Learning and prediction across machines with Dask's distributed scheduler.

The trees of a forest are independent, so a forest is learned as
sub-forests, one task per worker (each with the worker's threads), and
joined. The training data travel to every worker once (broadcast); each
task learns its contiguous share of the trees, numbered as in the whole
forest, from the seed of random_state. Each tree draws from a generator
derived from the seed and its number alone, so the joined forest is the
forest a local fit with the same random_state learns, whatever the workers
and their threads.
"""
import numpy as np
from sklearn.base import clone

from ._forest import ForestClassifier, join_subforests, seed_of
from ._partitioned import fit_partitioned, is_collection


def _fit_subforest(estimator, X, y, n_trees, first_tree, seed, n_jobs, sample_weight=None, estimates=True):
    sub = clone(estimator).set_params(n_estimators=n_trees, random_state=seed, n_jobs=n_jobs, warm_start=False)
    if not estimates:  # worked out for the joined forest instead
        sub.set_params(oob_score=False, compute_permutation_importances=False)
    return sub._fit_subforest(X, y, sample_weight, first_tree)


def plan_tasks(n_estimators, threads_per_worker):
    """Trees per task: contiguous shares of n_estimators, one task per worker."""
    tasks = len(threads_per_worker)
    base, extra = divmod(n_estimators, tasks)
    return [base + (1 if k < extra else 0) for k in range(tasks)]


def fit_forest(client, estimator, X, y, sample_weight=None, shuffle=False):
    """Fits `estimator` (an unfitted ForestClassifier or ForestRegressor) on
    the workers of a dask.distributed `client` and returns it fitted.

    numpy arrays (or anything the estimator's fit takes) are scattered once
    to every worker, and the forest is the one a local fit(X, y,
    sample_weight) learns, tree for tree.

    Dask collections (X a Dask array partitioned by rows or a Dask
    DataFrame, whose categorical columns have their levels agreed across
    the partitions; y and sample_weight Dask arrays or Series of X's
    partitions, or numpy arrays)
    stay where they are computed: each worker grows a share of the trees
    proportional to the rows it holds, each tree's sample drawn from those
    rows, and only trees and small counts travel (see sylvor._partitioned).
    With shuffle=True the rows are first redistributed at random across the
    partitions with Dask's shuffle, for data whose partitions are ordered
    (by date, by class). The fitted estimator's distributed_plan_ lists each
    worker's partitions, rows and trees; oob_score_, oob_curve_ and the
    permutation importances (each feature shuffled among a tree's
    out-of-bag rows on one worker at a time) are worked out where the rows
    are (oob_decision_function_ and oob_prediction_, one value per row, are
    not made)."""
    if any(is_collection(value) for value in (X, y, sample_weight)):
        return fit_partitioned(client, estimator, X, y, sample_weight, shuffle)
    if shuffle:
        raise ValueError("shuffle=True redistributes the partitions of Dask collections; numpy inputs are "
                         "sent whole to every worker")
    if hasattr(estimator, "_validate_params"):  # scikit-learn's checks, before any work is sent out
        estimator._validate_params()
    workers = sorted(client.scheduler_info()["workers"].items())
    if not workers:
        raise ValueError("the Dask client has no workers")
    threads = [info.get("nthreads", 1) for _, info in workers]
    shares = plan_tasks(estimator.n_estimators, threads)
    seed = seed_of(estimator.random_state)
    template = clone(estimator)  # parameters only, never a fitted forest
    X_remote = client.scatter(X, broadcast=True)
    y_remote = client.scatter(y, broadcast=True)
    weights_remote = None if sample_weight is None else client.scatter(sample_weight, broadcast=True)
    futures = []
    first_tree = 0
    for (address, _), n_trees, n_jobs in zip(workers, shares, threads):
        if n_trees == 0:
            continue
        futures.append(client.submit(_fit_subforest, template, X_remote, y_remote, n_trees, first_tree, seed, n_jobs,
                                     weights_remote, False, workers=[address], allow_other_workers=True,
                                     pure=False))
        first_tree += n_trees
    subforests = client.gather(futures)
    return join_forests(estimator, subforests, y, X, sample_weight)


def join_forests(estimator, subforests, y=None, X=None, sample_weight=None):
    """One fitted estimator holding the trees of fitted `subforests`, in order.

    The importances are worked out from every tree's own, as one fit of all
    the trees gives them. With oob_score or permutation importances and the
    training data X, y (and sample_weight) of the fit, the out-of-bag
    estimates are worked out again for the whole forest, its trees' samples
    drawn again: those of one fit, the out-of-bag curve included. With y
    alone, the sub-forests' out-of-bag votes (or predictions) are joined
    and the importances are the tree-weighted means of theirs (no curve)."""
    return join_subforests(estimator, subforests, X, y, sample_weight)


def _predict_block(block, model, proba):
    if len(block) == 0:
        return np.zeros((0, len(model.classes_))) if proba else np.zeros(0)
    return model.predict_proba(block) if proba else model.predict(block)


def predict(client, model, X, proba=False):
    """Predictions (or, with proba, class-vote fractions) for a Dask array
    or DataFrame partitioned by rows; the fitted forest is sent to the
    workers once and every partition is predicted where it lives."""
    model_remote = client.scatter(model, broadcast=True)
    if hasattr(X, "to_dask_array"):  # a Dask DataFrame: its partitions become blocks in place
        X = X.to_dask_array(lengths=True)
    if proba:
        return X.map_blocks(_predict_block, model_remote, True, dtype=np.float64,
                            chunks=(X.chunks[0], (len(model.classes_),)))
    dtype = model.classes_.dtype if isinstance(model, ForestClassifier) else np.float64
    return X.map_blocks(_predict_block, model_remote, False, dtype=dtype, drop_axis=1)


def predict_proba(client, model, X):
    """Class-vote fractions for a Dask array or DataFrame (see predict)."""
    return predict(client, model, X, proba=True)
