"""Learning a forest from Dask collections whose rows stay on the workers.

The rows are computed (or found) on the workers, one piece per partition,
and never gathered: the client holds only the plan and the trees. Each
worker grows a share of the trees proportional to the rows it holds, from
those rows alone (each tree's bootstrap sample drawn from them), the trees
numbered in the whole forest and seeded per tree as in a local fit. Small
summaries agree the classes, the level names of categorical features and
the training medians before learning; the out-of-bag score and curve are
worked out where the rows are, by sending the trees to them and adding up
per-worker counts.

A share's task names its partitions: if its worker is lost, Dask runs it on
another worker with the same partitions (recomputed from their graph when
they were lost too), and it grows the same trees. Which partitions make a
share depends on where the scheduler put them; ``distributed_plan_`` of the
fitted estimator records it.
"""
import numpy as np
from dask.sizeof import sizeof
from sklearn.base import clone

import PySylvor_wrap as _wrap

from ._forest import ForestClassifier, _BaseForest, _threads, join_subforests, seed_of
from ._trees import SylvorTree


# Dask sizes what a worker holds and sends with `sizeof`, which takes an
# object it does not know for a few dozen bytes (and sizes a dict or list of
# more than ten items from ten drawn at random): a share of trees would then
# count for almost nothing in the workers' memory accounting, the
# scheduler's placement of tasks and the transfer counters. Trees and
# forests count every array they hold.
def _every_item_size(value):
    if isinstance(value, (list, tuple)):
        return sum(_every_item_size(v) for v in value)
    if isinstance(value, dict):
        return sum(_every_item_size(v) for v in value.values())
    return sizeof(value)


@sizeof.register(SylvorTree)
def _tree_size(tree):
    return _every_item_size(tree.__getstate__())


@sizeof.register(_BaseForest)
def _forest_size(forest):
    return _every_item_size(vars(forest))


def is_collection(value):
    """Whether value is a Dask collection (array, DataFrame, Series)."""
    return value is not None and hasattr(value, "__dask_graph__")


def fit_partitioned(client, estimator, X, y, sample_weight=None, shuffle=False):
    """See sylvor.distributed.fit_forest, for Dask collections."""
    _check_supported(estimator, X)
    seed = seed_of(estimator.random_state)
    frame = _as_frame(X, y, sample_weight)
    if shuffle:
        frame = client.persist(_shuffled(frame, seed))
    pieces = _computed_parts(client, frame)
    summaries = client.gather(client.map(_piece_summary, pieces, categorical_features=estimator.categorical_features,
                                         classify=isinstance(estimator, ForestClassifier), pure=False))
    agreed = {"classes": _agreed_classes(estimator, summaries), "levels": _agreed_levels(summaries),
              "names": frame.feature_names,
              "medians": _agreed_medians(client, pieces) if estimator.missing_values == "median" else None}
    plan = _plan(client, pieces, summaries, estimator.n_estimators)
    template = clone(estimator).set_params(oob_score=False, compute_permutation_importances=False,
                                           warm_start=False)
    fits = [client.submit(_fit_share, template, agreed, share["n_trees"], share["first_tree"], seed,
                          share["threads"], *[pieces[i] for i in share["partitions"]], workers=[share["worker"]],
                          allow_other_workers=True, pure=False)
            for share in plan if share["n_trees"] > 0]
    subforests = client.gather(fits)
    joined = join_subforests(template, subforests)
    joined.set_params(oob_score=estimator.oob_score,
                      compute_permutation_importances=estimator.compute_permutation_importances)
    joined.distributed_plan_ = [{k: v for k, v in share.items() if k != "threads"} for share in plan]
    if estimator.oob_score or estimator.compute_permutation_importances:
        _set_out_of_bag_estimates(client, joined, fits, plan, pieces, seed)
    return joined


def _check_supported(estimator, X):
    if hasattr(estimator, "_validate_params"):  # scikit-learn's checks, before any work is sent out
        estimator._validate_params()
    if estimator.warm_start:
        raise ValueError("warm_start grows a fitted forest on the rows of its first fit; a fit from Dask "
                         "collections learns a new forest each time")
    if getattr(estimator, "keep_leaf_samples", False):
        raise ValueError("keep_leaf_samples numbers the training rows of one array; a fit from Dask collections "
                         "leaves them on the workers: fit from numpy arrays for quantiles")


class _Frame:
    """The rows of a fit: Dask arrays of X, y and the weights chunked alike
    by rows (when X came as an array, until a shuffle), or one Dask
    DataFrame of the features (columns named x0, x1, ... when they came as
    an array), then y and the weights in the columns "__y" and "__w"."""

    def __init__(self, table, feature_names, has_weights, arrays=None):
        self._table = table
        self.arrays = arrays  # (X, y, weights or None), or None
        self.feature_names = feature_names  # None when X was an array
        self.has_weights = has_weights

    @property
    def table(self):
        if self._table is None:
            import dask.dataframe as dd
            X, y, weights = self.arrays
            table = dd.from_dask_array(X, columns=[f"x{j}" for j in range(X.shape[1])])
            table = _with_column(table, y, "__y", "y", X.chunks[0])
            self._table = table if weights is None else _with_column(table, weights, "__w", "sample_weight",
                                                                      X.chunks[0])
        return self._table

    @property
    def feature_columns(self):
        return [c for c in self.table.columns if c not in ("__y", "__w", "__key")]


def _as_frame(X, y, weights):
    import dask.array as da
    if isinstance(X, da.Array):
        if X.ndim != 2:
            raise ValueError(f"X must be two-dimensional, not of shape {X.shape}")
        if any(np.isnan(c) for c in X.chunks[0]):
            X = X.compute_chunk_sizes()
        lengths = X.chunks[0]
        arrays = (X.rechunk({1: -1}), _rows_array(y, lengths, "y"),
                  None if weights is None else _rows_array(weights, lengths, "sample_weight"))
        return _Frame(None, None, weights is not None, arrays)
    if not hasattr(X, "dtypes"):
        raise ValueError("X must be a Dask array or DataFrame when y or sample_weight is a Dask collection")
    names = list(X.columns)
    if any(str(c).startswith("__") for c in names):
        raise ValueError(f"X's column names must not start with '__': {names}")
    table = _with_column(X, y, "__y", "y", None)
    if weights is not None:
        table = _with_column(table, weights, "__w", "sample_weight", None)
    return _Frame(table, names, weights is not None)


def _rows_array(values, lengths, name):
    """values (one per row: a Dask array or Series, or a numpy array) as a
    Dask array chunked by `lengths`."""
    import dask.array as da
    if hasattr(values, "to_dask_array"):
        if hasattr(values, "columns"):
            if len(values.columns) != 1:
                raise ValueError(f"{name} must be one column (one output), not {len(values.columns)}")
            values = values[values.columns[0]]
        values = values.to_dask_array(lengths=True)
    elif not isinstance(values, da.Array):
        values = np.asarray(values)
    if values.ndim == 2 and values.shape[1] == 1:
        values = values[:, 0]
    if values.ndim != 1:
        raise ValueError(f"{name} must be one-dimensional (one output), not of shape {values.shape}")
    if isinstance(values, da.Array) and any(np.isnan(c) for c in values.chunks[0]):
        values = values.compute_chunk_sizes()
    if values.shape[0] != sum(lengths):
        raise ValueError(f"{name} has {values.shape[0]} rows, but X has {sum(lengths)}")
    if not isinstance(values, da.Array):
        values = da.from_array(values, chunks=(tuple(lengths),))
    return values.rechunk((tuple(lengths),))


def _with_column(table, values, column, name, lengths):
    """table with `values` (one per row: a Dask Series or array of the same
    partitions, or a numpy array) as `column`; `lengths`, the partitions'
    rows, are counted when not given."""
    import dask.dataframe as dd
    if not hasattr(values, "divisions"):  # a Dask or numpy array
        if lengths is None:
            lengths = tuple(table.map_partitions(len).compute().tolist())
        values = dd.from_dask_array(_rows_array(values, lengths, name))
    if hasattr(values, "columns"):
        if len(values.columns) != 1:
            raise ValueError(f"{name} must be one column (one output), not {len(values.columns)}")
        values = values[values.columns[0]]
    if values.npartitions != table.npartitions:
        raise ValueError(f"{name} must be partitioned as X: it has {values.npartitions} partitions, X "
                         f"{table.npartitions}")
    return table.map_partitions(_joined_column, values, column, align_dataframes=False)


def _joined_column(piece, values, column):
    if len(values) != len(piece):
        raise ValueError(f"a partition of X has {len(piece)} rows, but its partition of {column.strip('_')} "
                         f"has {len(values)}")
    return piece.assign(**{column: np.asarray(values)})


def _random_keys(frame, seed, partition_info=None):
    import pandas
    number = partition_info["number"] if partition_info else 0
    return pandas.Series(np.random.default_rng([seed, number]).integers(0, 2**62, len(frame)), index=frame.index)


def _shuffled(frame, seed):
    """The rows redistributed at random across as many partitions, with
    Dask's own shuffle (the keys drawn from the seed and the partition)."""
    table = frame.table.assign(__key=frame.table.map_partitions(_random_keys, seed, meta=("__key", "i8")))
    table = table.shuffle("__key", npartitions=table.npartitions, shuffle="tasks")
    return _Frame(table.drop(columns="__key"), frame.feature_names, frame.has_weights)


def _piece(table, feature_columns, keep_frame, has_weights):
    """A partition's rows: its features (a DataFrame when X was one, else
    an array), labels and weights."""
    features = table[feature_columns]
    X = features if keep_frame else features.to_numpy()
    return X, table["__y"].to_numpy(), table["__w"].to_numpy() if has_weights else None


def _array_piece(X, y, weights):
    return X, y, weights


def _computed_parts(client, frame):
    """One future per partition, holding its rows, computed on the workers
    (array blocks as they are, without a copy)."""
    import dask
    from distributed import wait
    if frame.arrays is not None:
        X, y, weights = frame.arrays
        blocks_w = [None] * X.numblocks[0] if weights is None else weights.to_delayed().ravel()
        delayed_pieces = [dask.delayed(_array_piece, pure=True)(bx, by, bw)
                  for bx, by, bw in zip(X.to_delayed().ravel(), y.to_delayed().ravel(), blocks_w)]
    else:
        delayed_piece = dask.delayed(_piece, pure=True)
        delayed_pieces = [delayed_piece(frame_piece, frame.feature_columns, frame.feature_names is not None, frame.has_weights)
                  for frame_piece in frame.table.to_delayed()]
    pieces = client.compute(delayed_pieces)
    wait(pieces)
    return pieces


def _piece_summary(piece, categorical_features, classify):
    """What a partition tells the others: its rows, classes and, for the
    categorical features, the level names it holds."""
    from . import _categorical
    X, y, _ = piece
    levels = None
    if categorical_features is not None and _categorical.is_dataframe(X):
        cells = _categorical.columns_of(X)
        mask = _categorical.categorical_mask(cells, categorical_features, list(X.columns))
        if mask is not None:
            levels = {int(j): _categorical.level_names(cells[j]) for j in np.flatnonzero(mask)}
    classes = np.unique(y) if classify else None
    return {"rows": len(y), "classes": classes, "levels": levels, "features": X.shape[1]}


def _agreed_classes(estimator, summaries):
    if not isinstance(estimator, ForestClassifier):
        return None
    found = [s["classes"] if s["classes"] is not None else np.array([]) for s in summaries if s["rows"]]
    return np.unique(np.concatenate(found)) if found else None


def _agreed_levels(summaries):
    """The categorical features (a mask) and the sorted level names of each
    over every partition, or None when no feature is categorical."""
    from . import _categorical
    found = [s["levels"] for s in summaries if s["levels"]]
    if not found:
        return None
    mask = np.zeros(summaries[0]["features"], dtype=bool)
    mask[list(found[0])] = True
    categories = [None] * len(mask)
    for j in found[0]:
        categories[j] = _categorical.level_names(np.concatenate([levels[j] for levels in found]))
        if not len(categories[j]):
            raise ValueError(f"categorical feature {j} has no level: every cell of it is missing")
    return mask, categories


# The training medians (the upper median of each column's present values,
# as a local fit takes them) are found without gathering the columns: each
# round, every partition sends a few of its values strictly inside each
# column's open interval (its local quantiles), the client counts with every
# partition the values below and up to each of them, and either one of them
# is the median or the median lies between two neighbours, an interval
# holding at most 1/64 of the values left. Once an interval holds few
# values, they are gathered and the median picked from them.
_PIVOTS_PER_PIECE = 64
_GATHERED = 4096


def _column_values(X, j):
    column = np.asarray(X[:, j] if isinstance(X, np.ndarray) else X.iloc[:, j].to_numpy(), dtype=np.float64)
    return column[~np.isnan(column)]


def _inside(values, low, high):
    return values[(values > low) & (values < high)]


def _local_pivots(piece, intervals, per_piece):
    """Per column still open, a few of this partition's values strictly
    inside its interval: its quantiles there."""
    X = piece[0]
    pivots = {}
    for j, (low, high) in intervals.items():
        inside = np.sort(_inside(_column_values(X, j), low, high))
        if len(inside):
            pivots[j] = inside[np.linspace(0, len(inside) - 1, min(per_piece, len(inside))).astype(int)]
    return pivots


def _pivot_counts(piece, pivots, intervals):
    """Per column: this partition's values at most its interval's low end,
    below and up to each pivot, and below its high end."""
    X = piece[0]
    counts = {}
    for j, candidates in pivots.items():
        values = np.sort(_column_values(X, j))
        low, high = intervals[j]
        counts[j] = (int(np.searchsorted(values, low, side="right")), np.searchsorted(values, candidates, side="left"),
                     np.searchsorted(values, candidates, side="right"), int(np.searchsorted(values, high, side="left")))
    return counts


def _values_inside(piece, intervals):
    return {j: _inside(_column_values(piece[0], j), low, high) for j, (low, high) in intervals.items()}


def _agreed_medians(client, pieces, per_piece=_PIVOTS_PER_PIECE, gathered=_GATHERED):
    """The upper median of every column's present values over every
    partition (0 for a column without any), as float64; per_piece pivots
    from each partition per round, and intervals of at most `gathered`
    values gathered."""
    present = np.sum(client.gather(client.map(_present_counts, pieces, pure=False)), axis=0)
    medians = np.zeros(len(present))
    rank = {j: int(present[j] // 2) for j in range(len(present)) if present[j]}  # of the median, from 0
    intervals = {j: (-np.inf, np.inf) for j in rank}
    while intervals:
        found = client.gather(client.map(_local_pivots, pieces, intervals=intervals, per_piece=per_piece, pure=False))
        pivots = {j: np.unique(np.concatenate([f[j] for f in found if j in f])) for j in intervals}
        counts = client.gather(client.map(_pivot_counts, pieces, pivots=pivots, intervals=intervals, pure=False))
        still, gather = {}, {}
        for j, candidates in pivots.items():
            at_low, below, upto, below_high = (sum(c[j][i] for c in counts) for i in range(4))
            hit = np.flatnonzero((below <= rank[j]) & (rank[j] < upto))
            if len(hit):
                medians[j] = candidates[hit[0]]
                continue
            k = int(np.searchsorted(upto, rank[j], side="right"))  # the median lies between pivots k - 1 and k
            low = candidates[k - 1] if k > 0 else intervals[j][0]
            high = candidates[k] if k < len(candidates) else intervals[j][1]
            start = upto[k - 1] if k > 0 else at_low  # the values at most low
            end = below[k] if k < len(candidates) else below_high  # the values below high
            if end - start <= gathered:
                gather[j] = (rank[j] - start, (low, high))
            else:
                still[j] = (low, high)
        intervals = still
        if gather:
            inside_values = client.gather(client.map(_values_inside, pieces, intervals={j: g[1] for j, g in gather.items()},
                                              pure=False))
            for j, (within, _) in gather.items():
                medians[j] = np.sort(np.concatenate([values[j] for values in inside_values]))[within]
    return medians


def _present_counts(piece):
    X = piece[0]
    return np.array([len(_column_values(X, j)) for j in range(X.shape[1])])


def _tree_shares(n_trees, rows):
    """Trees per worker in proportion to its rows: the whole numbers, then
    one more tree for the largest remainders (the earlier worker first)."""
    total = sum(rows)
    exact = [n_trees * r / total for r in rows]
    shares = [int(e) for e in exact]
    order = sorted(range(len(rows)), key=lambda k: (-(exact[k] - shares[k]), k))
    for k in order[:n_trees - sum(shares)]:
        shares[k] += 1
    return shares


def _plan(client, pieces, summaries, n_trees):
    """Per worker holding rows: its partitions, rows, threads and trees."""
    where = client.who_has(pieces)
    workers = client.scheduler_info()["workers"]
    held = {}
    for number, piece in enumerate(pieces):
        if summaries[number]["rows"]:
            held.setdefault(where[piece.key][0], []).append(number)
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


def _joined_rows(pieces):
    """The rows of a worker's partitions: the features in one column-major
    array (the learner's layout), or one DataFrame when they hold
    categorical features, after checking that the worker can hold them."""
    rows = sum(len(y) for _, y, _ in pieces)
    blocks = [X for X, _, _ in pieces]
    features = blocks[0].shape[1]
    y = np.concatenate([y for _, y, _ in pieces])
    weights = None if pieces[0][2] is None else np.concatenate([w for _, _, w in pieces])
    frames = hasattr(blocks[0], "dtypes")
    if frames and not all(np.issubdtype(dtype, np.number) for dtype in blocks[0].dtypes):
        import pandas
        _check_room(sum(int(b.memory_usage(deep=False).sum()) for b in blocks), rows, features)
        return pandas.concat(blocks), y, weights
    kinds = [b.dtypes.to_numpy() if frames else [b.dtype] for b in blocks]
    dtype = np.result_type(*[d for k in kinds for d in k])
    dtype = dtype if dtype in (np.float32, np.float64) else np.float64
    _check_room(rows * features * np.dtype(dtype).itemsize, rows, features)
    X = np.empty((rows, features), dtype=dtype, order="F")
    at = 0
    for block in blocks:
        X[at:at + len(block)] = block.to_numpy() if frames else block
        at += len(block)
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


def _fit_share(template, agreed, n_trees, first_tree, seed, n_jobs, *pieces):
    """A worker's share of the trees, grown from its partitions' rows with
    the classes and levels agreed over every partition."""
    X, y, weights = _joined_rows(pieces)
    share = clone(template).set_params(n_estimators=n_trees, random_state=seed, n_jobs=n_jobs)
    if agreed["classes"] is not None:
        share._agreed_classes = agreed["classes"]
    if agreed["levels"] is not None:
        share._agreed_levels = agreed["levels"]
    if agreed["medians"] is not None:
        share._agreed_medians = agreed["medians"]
    share = share._fit_subforest(X, y, weights, first_tree)
    for name in ("_agreed_classes", "_agreed_levels", "_agreed_medians"):
        share.__dict__.pop(name, None)
    if agreed["names"] is not None and not hasattr(share, "feature_names_in_"):
        share.feature_names_in_ = np.asarray(agreed["names"], dtype=object)  # learned from their array
    return share


def _tree_losses(predicted, truth, classification):
    return float((predicted != truth).sum()) if classification else float(((truth - predicted) ** 2).sum())


def _permuted_losses(forest, X, truth, classification, threads, key):
    """A tree's loss on its out-of-bag rows X (a copy of them) with each
    feature's values shuffled among them in turn."""
    losses = np.zeros(X.shape[1])
    for f in range(X.shape[1]):
        kept = X[:, f].copy()
        X[:, f] = kept[np.random.default_rng(key + [f]).permutation(len(kept))]
        losses[f] = _tree_losses(forest.predict(X, threads), truth, classification)
        X[:, f] = kept
    return losses


def _out_of_bag_start(grower, n_jobs, permutation_key, *pieces):
    """A worker's rows made ready for the out-of-bag walk (as `grower`, a
    fitted share, learns them), with empty per-row tallies. The rows stay
    in this state, on this worker, for the whole walk."""
    X, y, weights = _joined_rows(pieces)
    X, learned_y, num_classes, weights = grower._training_arrays(X, y, weights)
    classification = isinstance(grower, ForestClassifier)
    n = len(learned_y)
    return {"X": X, "y": learned_y, "num_classes": num_classes, "weights": weights, "n_jobs": n_jobs,
            "classification": classification, "permutation_key": permutation_key,
            "votes": np.zeros((n, num_classes), dtype=np.int64) if classification else np.zeros(n),
            "trees": np.zeros(n, dtype=np.int64), "seen": [], "errors": [], "tree_rows": [], "tree_loss": [],
            "permuted": []}


def _out_of_bag_step(state, share, is_own):
    """The state after the trees of one share, in forest order: per tree,
    the rows with an out-of-bag tree so far and their misclassifications (or
    squared errors). A row is out of bag for every tree of another share and
    for the trees of its own share whose samples missed it. With a
    permutation key, also each tree's loss on its out-of-bag rows here, as
    it is and with each feature shuffled among them. The tallies are copied
    (a task run again must find its input as it was); the rows are shared."""
    state = dict(state, votes=state["votes"].copy(), trees=state["trees"].copy(),
                 **{k: list(state[k]) for k in ("seen", "errors", "tree_rows", "tree_loss", "permuted")})
    X, truth, votes, trees = state["X"], state["y"], state["votes"], state["trees"]
    classification, threads, key = state["classification"], _threads(state["n_jobs"]), state["permutation_key"]
    for t, tree in enumerate(share.estimators_):
        forest = tree._as_forest()
        predicted = forest.predict(X, threads)
        out = np.ones(len(truth), dtype=bool) if not is_own else share._out_of_bag_record(
            X, truth, state["num_classes"], state["weights"], state["n_jobs"], tree=t)["oob_trees"] > 0
        if key is not None:
            state["tree_rows"].append(int(out.sum()))
            state["tree_loss"].append(_tree_losses(predicted[out], truth[out], classification))
            state["permuted"].append(_permuted_losses(forest, np.asarray(X[out], order="F"), truth[out],
                                                      classification, threads, key + [len(state["tree_rows"])]))
        trees += out
        if classification:
            votes[np.flatnonzero(out), predicted[out]] += 1
        else:
            votes[out] += predicted[out]
        some = trees > 0
        state["seen"].append(int(some.sum()))
        if classification:
            state["errors"].append(int((np.argmax(votes[some], axis=1) != truth[some]).sum()))
        else:
            state["errors"].append(float(((truth[some] - votes[some] / trees[some]) ** 2).sum()))
    return state


def _out_of_bag_totals(state):
    """What the client needs of a worker's finished walk (not the rows)."""
    truth, some = state["y"], state["trees"] > 0
    regression = not state["classification"]
    return {"seen": np.array(state["seen"]), "errors": np.array(state["errors"]), "rows": len(truth),
            "tree_rows": np.array(state["tree_rows"]), "tree_loss": np.array(state["tree_loss"]),
            "permuted": np.array(state["permuted"]),
            "sum": float(truth[some].sum()) if regression else 0.0,
            "sum_squares": float((truth[some] ** 2).sum()) if regression else 0.0}


def _set_out_of_bag_estimates(client, joined, fits, plan, pieces, seed):
    """The out-of-bag estimates the estimator asks for, from per-worker
    counts: oob_score_ and oob_curve_ (the out-of-bag error rate, or mean
    squared error, of the first 1, 2, ... trees), and the permutation
    importances (each feature shuffled among a tree's out-of-bag rows of one
    worker at a time, so that no row moves). Each worker walks the shares in
    forest order, one task per share, so that it holds one share's trees at
    a time besides its own rows; the shares stay on the workers that grew
    them (`fits`, their futures) and travel worker to worker."""
    permutation = bool(joined.compute_permutation_importances)
    totals, k = [], 0
    for share in plan:
        own = None
        if share["n_trees"] > 0:
            own, k = k, k + 1
        place = {"workers": [share["worker"]], "allow_other_workers": True, "pure": False}
        key = [seed, share["partitions"][0]] if permutation else None
        state = client.submit(_out_of_bag_start, fits[own if own is not None else 0], share["threads"], key,
                              *[pieces[i] for i in share["partitions"]], **place)
        for number, fit in enumerate(fits):
            state = client.submit(_out_of_bag_step, state, fit, number == own, **place)
        totals.append(client.submit(_out_of_bag_totals, state, **place))
    totals = client.gather(totals)
    if permutation:
        rows = np.sum([t["tree_rows"] for t in totals], axis=0)
        increase = (np.sum([t["permuted"] for t in totals], axis=0) -
                    np.sum([t["tree_loss"] for t in totals], axis=0)[:, None])
        having = rows > 0
        joined.permutation_importances_ = (increase[having] / rows[having, None]).mean(axis=0) if having.any() \
            else np.zeros(joined.n_features_in_)
    if joined.oob_score:
        _set_out_of_bag_score(joined, totals)


def _set_out_of_bag_score(joined, totals):
    import warnings
    seen = np.sum([t["seen"] for t in totals], axis=0)
    errors = np.sum([t["errors"] for t in totals], axis=0)
    with np.errstate(invalid="ignore", divide="ignore"):
        joined.oob_curve_ = np.where(seen > 0, errors / seen, np.nan)
    rows = sum(t["rows"] for t in totals)
    if seen[-1] < rows:
        warnings.warn(f"{rows - seen[-1]} of {rows} instances are in the sample of every tree and have no "
                      "out-of-bag prediction; they are left out of oob_score_ (more trees leave fewer out)",
                      UserWarning)
    if not seen[-1]:
        joined.oob_score_ = float("nan")
    elif isinstance(joined, ForestClassifier):
        joined.oob_score_ = float(seen[-1] - errors[-1]) / seen[-1]
    else:
        total, squares = sum(t["sum"] for t in totals), sum(t["sum_squares"] for t in totals)
        joined.oob_score_ = 1.0 - errors[-1] / (squares - total * total / seen[-1])
