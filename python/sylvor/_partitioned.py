"""Learning a forest from Dask collections whose rows stay on the workers.

The rows are computed (or found) on the workers, one piece per partition,
and never gathered: the client holds only the plan and the trees. Each
worker grows a share of the trees proportional to the rows it holds, from
those rows alone (each tree's bootstrap sample drawn from them), the trees
numbered in the whole forest and seeded per tree as in a local fit. Small
summaries agree the classes before learning; the out-of-bag score is
worked out where the rows are, by sending the trees to them and adding up
per-worker counts.

A share's task names its partitions: if its worker is lost, Dask runs it on
another worker with the same partitions (recomputed from their graph when
they were lost too), and it grows the same trees. Which partitions make a
share depends on where the scheduler put them; ``distributed_plan_`` of the
fitted estimator records it.
"""
import numpy as np
from sklearn.base import clone

import PySylvor_wrap as _wrap

from ._forest import ForestClassifier, _threads, join_subforests, seed_of


def is_collection(value):
    """Whether value is a Dask collection (array, DataFrame, Series)."""
    return value is not None and hasattr(value, "__dask_graph__")


def fit_partitioned(client, estimator, X, y, sample_weight=None, shuffle=False):
    """See sylvor.distributed.fit_forest, for Dask collections."""
    _check_supported(estimator, X)
    seed = seed_of(estimator.random_state)
    X, y, sample_weight = _row_blocks(X, y, sample_weight)
    if shuffle:
        X, y, sample_weight = _shuffled(client, X, y, sample_weight, seed)
    parts = _computed_parts(client, X, y, sample_weight)
    summaries = client.gather(client.map(_part_summary, parts, pure=False))
    classes = _agreed_classes(estimator, summaries)
    plan = _plan(client, parts, summaries, estimator.n_estimators)
    template = clone(estimator).set_params(oob_score=False, compute_permutation_importances=False,
                                           warm_start=False)
    fits = [client.submit(_fit_share, template, classes, share["n_trees"], share["first_tree"], seed,
                          share["threads"], *[parts[i] for i in share["partitions"]], workers=[share["worker"]],
                          allow_other_workers=True, pure=False)
            for share in plan if share["n_trees"] > 0]
    subforests = client.gather(fits)
    joined = join_subforests(template, subforests)
    joined.set_params(oob_score=estimator.oob_score,
                      compute_permutation_importances=estimator.compute_permutation_importances)
    joined.distributed_plan_ = [{k: v for k, v in share.items() if k != "threads"} for share in plan]
    if estimator.oob_score:
        _set_out_of_bag_score(client, joined, fits, plan, parts)
    return joined


def _check_supported(estimator, X):
    if hasattr(estimator, "_validate_params"):  # scikit-learn's checks, before any work is sent out
        estimator._validate_params()
    if estimator.missing_values != "split":
        raise ValueError("fitting from Dask collections learns where missing values go: use "
                         "missing_values='split' (the default); filling them with the training medians "
                         "would need every row of a column in one place")
    if estimator.compute_permutation_importances:
        raise ValueError("compute_permutation_importances shuffles a feature among each tree's out-of-bag "
                         "rows, which would move rows between the workers: fit from numpy arrays for them")
    if estimator.warm_start:
        raise ValueError("warm_start grows a fitted forest on the rows of its first fit; a fit from Dask "
                         "collections learns a new forest each time")
    dtypes = getattr(X, "dtypes", None)
    if dtypes is not None:
        text = [str(name) for name, dtype in dtypes.items() if not np.issubdtype(dtype, np.number)]
        if text:
            raise ValueError(f"fitting from Dask collections takes numeric columns; {text} are not: code them "
                             "as numbers on the workers first (for example with map_partitions)")


def _as_rows(value, chunks, name):
    """value as a one-dimensional Dask array chunked by `chunks`."""
    import dask.array as da
    if hasattr(value, "to_dask_array"):  # Series or one-column DataFrame
        value = value.to_dask_array(lengths=True)
    elif not isinstance(value, da.Array):
        value = da.from_array(np.asarray(value), chunks=(chunks,) + ((-1,) if np.ndim(value) == 2 else ()))
    if value.ndim == 2 and value.shape[1] == 1:
        value = value[:, 0]
    if value.ndim != 1:
        raise ValueError(f"{name} must be one-dimensional (one output), not of shape {value.shape}")
    if value.shape[0] != sum(chunks):
        raise ValueError(f"{name} has {value.shape[0]} rows, but X has {sum(chunks)}")
    return value.rechunk((chunks,))


def _row_blocks(X, y, sample_weight):
    """X (its columns in one chunk), y and the weights as Dask arrays
    chunked alike by rows."""
    import dask.array as da
    if hasattr(X, "to_dask_array"):
        X = X.to_dask_array(lengths=True)
    elif not isinstance(X, da.Array):
        raise ValueError("X must be a Dask array or DataFrame when y or sample_weight is a Dask collection")
    if X.ndim != 2:
        raise ValueError(f"X must be two-dimensional, not of shape {X.shape}")
    if any(np.isnan(c) for c in X.chunks[0]):
        X = X.compute_chunk_sizes()
    X = X.rechunk({1: -1})
    chunks = X.chunks[0]
    y = _as_rows(y, chunks, "y")
    weights = None if sample_weight is None else _as_rows(sample_weight, chunks, "sample_weight")
    return X, y, weights


def _random_keys(frame, seed, partition_info=None):
    number = partition_info["number"] if partition_info else 0
    return np.random.default_rng([seed, number]).integers(0, 2**62, len(frame))


def _shuffled(client, X, y, weights, seed):
    """The rows redistributed at random across as many partitions, with
    Dask's own shuffle (the keys drawn from the seed and the partition)."""
    import dask.dataframe as dd
    columns = [f"x{j}" for j in range(X.shape[1])]
    frame = dd.from_dask_array(X, columns=columns)
    frame["y"] = dd.from_dask_array(y)
    if weights is not None:
        frame["w"] = dd.from_dask_array(weights)
    frame["key"] = frame.map_partitions(_random_keys, seed, meta=("key", "i8"))
    frame = client.persist(frame.shuffle("key", npartitions=frame.npartitions, shuffle="tasks"))
    X = frame[columns].to_dask_array(lengths=True)
    return (X, frame["y"].to_dask_array(lengths=X.chunks[0]),
            None if weights is None else frame["w"].to_dask_array(lengths=X.chunks[0]))


def _part(X, y, weights):
    return X, y, weights


def _computed_parts(client, X, y, weights):
    """One future per partition, holding its (X, y, weights) rows, computed
    on the workers."""
    import dask
    blocks_x = X.to_delayed().ravel()
    blocks_y = y.to_delayed().ravel()
    blocks_w = [None] * len(blocks_x) if weights is None else weights.to_delayed().ravel()
    parts = client.compute([dask.delayed(_part, pure=True)(bx, by, bw)
                            for bx, by, bw in zip(blocks_x, blocks_y, blocks_w)])
    from distributed import wait
    wait(parts)
    return parts


def _part_summary(part):
    X, y, _ = part
    classes = np.unique(y) if y.dtype.kind not in "fc" else None
    return {"rows": len(y), "features": X.shape[1], "classes": classes, "dtype": X.dtype.str}


def _agreed_classes(estimator, summaries):
    if not isinstance(estimator, ForestClassifier):
        return None
    pieces = [s["classes"] if s["classes"] is not None else np.array([]) for s in summaries if s["rows"]]
    return np.unique(np.concatenate(pieces)) if pieces else None


def _tree_shares(n_trees, rows):
    """Trees per worker in proportion to its rows: the whole parts, then
    one more tree for the largest remainders (the earlier worker first)."""
    total = sum(rows)
    exact = [n_trees * r / total for r in rows]
    shares = [int(e) for e in exact]
    order = sorted(range(len(rows)), key=lambda k: (-(exact[k] - shares[k]), k))
    for k in order[:n_trees - sum(shares)]:
        shares[k] += 1
    return shares


def _plan(client, parts, summaries, n_trees):
    """Per worker holding rows: its partitions, rows, threads and trees."""
    where = client.who_has(parts)
    workers = client.scheduler_info()["workers"]
    held = {}
    for number, part in enumerate(parts):
        if summaries[number]["rows"]:
            held.setdefault(where[part.key][0], []).append(number)
    if not held:
        raise ValueError("the Dask collections hold no rows")
    addresses = sorted(held)
    rows = [sum(summaries[i]["rows"] for i in held[a]) for a in addresses]
    plan, first = [], 0
    for address, count, trees in zip(addresses, rows, _tree_shares(n_trees, rows)):
        plan.append({"worker": address, "partitions": held[address], "rows": count, "first_tree": first,
                     "n_trees": trees, "threads": workers.get(address, {}).get("nthreads", 1)})
        first += trees
    return plan


def _joined_rows(parts):
    """The rows of a worker's partitions in one column-major array (the
    learner's layout), after checking that the worker can hold them."""
    rows = sum(len(y) for _, y, _ in parts)
    features = parts[0][0].shape[1]
    dtype = np.result_type(*[X.dtype for X, _, _ in parts])
    dtype = dtype if dtype in (np.float32, np.float64) else np.float64
    _check_room(rows * features * np.dtype(dtype).itemsize, rows, features)
    X = np.empty((rows, features), dtype=dtype, order="F")
    at = 0
    for block, _, _ in parts:
        X[at:at + len(block)] = block
        at += len(block)
    y = np.concatenate([y for _, y, _ in parts])
    weights = None if parts[0][2] is None else np.concatenate([w for _, _, w in parts])
    return X, y, weights


def _check_room(needed, rows, features):
    """Refuses, naming the worker and the bytes, rows that would not fit
    under the worker's memory limit beside what it holds."""
    try:
        from distributed import get_worker
        worker = get_worker()
    except (ImportError, ValueError):
        return
    manager = getattr(worker, "memory_manager", None)
    limit = manager.memory_limit if manager is not None else getattr(worker, "memory_limit", None)
    if not limit:
        return
    import psutil
    used = psutil.Process().memory_info().rss
    if used + needed > limit:
        raise MemoryError(f"worker {worker.address} cannot hold its share of the rows: {rows} rows x {features} "
                          f"features need {needed} bytes, and it uses {used} of its memory limit of {limit} "
                          "bytes; give the workers more memory, or more workers")


def _fit_share(template, classes, n_trees, first_tree, seed, n_jobs, *parts):
    X, y, weights = _joined_rows(parts)
    share = clone(template).set_params(n_estimators=n_trees, random_state=seed, n_jobs=n_jobs)
    if classes is not None:
        share._agreed_classes = classes
    share = share._fit_subforest(X, y, weights, first_tree)
    share.__dict__.pop("_agreed_classes", None)
    return share


def _out_of_bag_counts(own, others, n_jobs, *parts):
    """For a worker's rows, the counts of the out-of-bag score: each row is
    voted on (or predicted) by its worker's own trees whose samples missed
    it (`own`, the worker's fitted share, or None) and by the trees of
    every other share (`others`, fitted shares)."""
    X, y, weights = _joined_rows(parts)
    X, learned_y, num_classes, weights = (own or others[0])._training_arrays(X, y, weights)
    classification = isinstance(others[0] if own is None else own, ForestClassifier)
    threads = _threads(n_jobs)
    if own is not None:
        record = own._out_of_bag_record(X, learned_y, num_classes, weights, n_jobs)
        trees = record["oob_trees"].astype(np.float64)
        votes = record["oob_votes"] if classification else \
            np.where(trees > 0, np.nan_to_num(record["oob_prediction"]) * trees, 0.0)
    else:
        trees = np.zeros(len(learned_y))
        votes = np.zeros((len(learned_y), num_classes)) if classification else np.zeros(len(learned_y))
    n_other = 0
    if others:
        other = _wrap.Forest.joined([share._forest for share in others])
        n_other = len(other)
        votes = votes + (other.predict_proba(X, threads) if classification else other.predict(X, threads)) * n_other
    seen = trees + n_other > 0
    counts = {"seen": int(seen.sum()), "unseen": int((~seen).sum())}
    truth = learned_y[seen]
    if classification:
        counts["correct"] = int((np.argmax(votes[seen], axis=1) == truth).sum())
    else:
        predicted = votes[seen] / (trees[seen] + n_other)
        counts.update(squared_error=float(((truth - predicted) ** 2).sum()), sum=float(truth.sum()),
                      sum_squares=float((truth ** 2).sum()))
    return counts


def _set_out_of_bag_score(client, joined, fits, plan, parts):
    """oob_score_ of the joined forest, from per-worker counts: a row is out
    of bag for every other share's trees and for its own worker's trees
    whose samples missed it. The shares stay on the workers that grew them
    (`fits`, their futures); only the other shares' trees travel."""
    import warnings
    sums, k = [], 0
    for share in plan:
        own = None
        if share["n_trees"] > 0:
            own, k = fits[k], k + 1
        others = [fit for fit in fits if fit is not own]
        sums.append(client.submit(_out_of_bag_counts, own, others, share["threads"],
                                  *[parts[i] for i in share["partitions"]], workers=[share["worker"]],
                                  allow_other_workers=True, pure=False))
    totals = client.gather(sums)
    seen = sum(t["seen"] for t in totals)
    unseen = sum(t["unseen"] for t in totals)
    if unseen:
        warnings.warn(f"{unseen} of {seen + unseen} instances are in the sample of every tree and have no "
                      "out-of-bag prediction; they are left out of oob_score_ (more trees leave fewer out)",
                      UserWarning)
    if not seen:
        joined.oob_score_ = float("nan")
    elif isinstance(joined, ForestClassifier):
        joined.oob_score_ = sum(t["correct"] for t in totals) / seen
    else:
        total, squares = sum(t["sum"] for t in totals), sum(t["sum_squares"] for t in totals)
        spread = squares - total * total / seen
        joined.oob_score_ = 1.0 - sum(t["squared_error"] for t in totals) / spread
