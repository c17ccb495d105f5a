"""Quantile regression forests: the leaf samples a regressor keeps and the
conditional quantiles they give, against a weighted quantile worked out here
from the trees' leaves."""
import pickle
from fractions import Fraction

import numpy as np
import pytest

import PySylvor_wrap as wrap
from sylvor import ForestRegressor


def spread_data(n, seed=0, scale=1.0):
    """Targets whose noise grows with feature 0, rounded so that some repeat."""
    rng = np.random.default_rng(seed)
    X = rng.random((n, 4))
    y = np.round(3 * X[:, 1] + 4 * X[:, 0] * rng.standard_normal(n), 1) * scale
    return X, y


def weighted_quantile_here(model, X, q):
    """Per row, the smallest training target whose weight (1/n for each of
    the n draws of each tree's leaf, exact fractions), with the smaller
    targets', reaches q of the trees with draws, less 2^-40 a tree (so that
    q = 0.9, a binary fraction just above nine tenths, is reached by a
    weight of exactly nine tenths)."""
    targets, records = model._forest.leaf_samples()
    leaves = model.apply(X)
    answers = []
    for row in leaves:
        weight_of = {}
        trees = 0
        for (offsets, draws), leaf in zip(records, row):
            held = draws[offsets[leaf]:offsets[leaf + 1]]
            if len(held) == 0:
                continue
            trees += 1
            for i in held:
                weight_of[targets[i]] = weight_of.get(targets[i], Fraction(0)) + Fraction(1, len(held))
        reached, answer = Fraction(0), None
        for target in sorted(weight_of):
            reached += weight_of[target]
            if reached >= (Fraction(q) - Fraction(1, 2 ** 40)) * trees:
                answer = target
                break
        answers.append(max(weight_of) if answer is None else answer)
    return np.array(answers)


@pytest.mark.parametrize("params, scale, dtype", [
    ({}, 1.0, np.float64),
    ({"max_samples": 0.5, "min_samples_leaf": 3}, 1.0, np.float64),
    ({"bootstrap": False, "min_samples_leaf": 4}, 1.0, np.float32),
    ({"max_leaf_nodes": 30}, 1e9, np.float64),       # targets learned scaled by a power of two
    ({"missing_values": "median"}, 1e-7, np.float64),
])
def test_quantiles_are_the_forest_weighted_quantiles_of_the_training_targets(params, scale, dtype):
    X, y = spread_data(300, scale=scale)
    X = X.astype(dtype)
    X[::11, 2] = np.nan
    model = ForestRegressor(n_estimators=8, random_state=3, keep_leaf_samples=True, **params).fit(X, y)
    targets, records = model._forest.leaf_samples()
    assert np.array_equal(targets, y)  # in the targets' own units
    X_new, _ = spread_data(60, seed=1)
    X_new = X_new.astype(dtype)
    qs = [0.9, 0.0, 0.1, 0.5, 1.0, 1 / 3]
    with_missing = X_new.copy()
    with_missing[::7, 2] = np.nan  # rows that take the missing sides (or the medians)
    for rows in (X_new, with_missing):
        got = model.predict_quantiles(rows, qs)
        assert got.shape == (60, len(qs))
        for j, q in enumerate(qs):
            assert np.array_equal(got[:, j], weighted_quantile_here(model, rows, q)), q
        assert np.all(np.isin(got, y))  # no interpolation


def test_each_tree_keeps_its_draws_in_the_leaves_they_reach():
    X, y = spread_data(200)
    model = ForestRegressor(n_estimators=5, random_state=2, keep_leaf_samples=True, min_samples_leaf=2).fit(X, y)
    targets, records = model._forest.leaf_samples()
    leaves = model.apply(X)
    for t, (offsets, draws) in enumerate(records):
        assert len(draws) == len(X)  # a bootstrap of every row's count
        for leaf in np.flatnonzero(np.diff(offsets)):
            held = draws[offsets[leaf]:offsets[leaf + 1]]
            assert np.all(leaves[held, t] == leaf)
            assert np.all(np.diff(targets[held]) >= 0)
            # A leaf's value is the mean of its draws' targets.
            assert model.estimators_[t].arrays[4, leaf] == pytest.approx(targets[held].mean(), rel=1e-12)


def test_a_pickled_or_warm_started_forest_keeps_the_records_of_one_fit():
    X, y = spread_data(250)
    whole = ForestRegressor(n_estimators=12, random_state=4, keep_leaf_samples=True).fit(X, y)
    warm = ForestRegressor(n_estimators=5, random_state=4, keep_leaf_samples=True, warm_start=True).fit(X, y)
    warm.set_params(n_estimators=12).fit(X, y)
    copy = pickle.loads(pickle.dumps(whole))
    X_new, _ = spread_data(40, seed=5)
    expected = whole.predict_quantiles(X_new, [0.1, 0.5, 0.9])
    for other in (warm, copy):
        assert np.array_equal(other.predict_quantiles(X_new, [0.1, 0.5, 0.9]), expected)
    assert np.array_equal(whole.predict(X_new, quantiles=0.5), expected[:, 1])
    assert np.array_equal(whole.predict(X_new), ForestRegressor(n_estimators=12, random_state=4).fit(X, y)
                          .predict(X_new))  # keeping the records changes no tree


@pytest.mark.parametrize("call, message", [
    (lambda m, X: ForestRegressor(n_estimators=3).fit(*spread_data(50)).predict_quantiles(X), "keep_leaf_samples=True"),
    (lambda m, X: m.predict_quantiles(X, [0.5, 1.5]), "between 0 and 1"),
    (lambda m, X: m.predict_quantiles(X, [np.nan]), "between 0 and 1"),
    (lambda m, X: m.predict_quantiles(X, []), "no quantile"),
    (lambda m, X: m.set_params(n_estimators=6, warm_start=True, keep_leaf_samples=False).fit(*spread_data(50)),
     "keep_leaf_samples=True"),
])
def test_quantile_requests_that_cannot_be_answered_are_refused(call, message):
    model = ForestRegressor(n_estimators=3, random_state=1, keep_leaf_samples=True).fit(*spread_data(50))
    with pytest.raises(ValueError, match=message):
        call(model, spread_data(5)[0])


@pytest.mark.parametrize("change, message", [
    (lambda t, r: (t[:-1], r), "instance"),
    (lambda t, r: (t, r[:-1]), "hold 2 trees"),
    (lambda t, r: (t, [(o[:-1], d) for o, d in r]), "do not cover"),
    (lambda t, r: (t, [(o, d[::-1]) for o, d in r]), "target order"),
])
def test_a_forest_refuses_leaf_samples_that_do_not_fit_its_trees(change, message):
    X, y = spread_data(80)
    forest, _ = wrap.learn(np.asfortranarray(X.T), y, criterion="variance", num_trees=3, seed=1, as_forest=True,
                           keep_leaf_samples=True, min_instances_per_node=10)
    targets, records = forest.leaf_samples()
    with pytest.raises(ValueError, match=message):
        wrap.Forest.from_arrays(forest.tree_arrays(), 0, leaf_samples=change(targets, records))
    rebuilt = wrap.Forest.from_arrays(forest.tree_arrays(), 0, leaf_samples=(targets, records))
    assert np.array_equal(rebuilt.predict_quantiles(X, [0.3]), forest.predict_quantiles(X, [0.3]))


def test_only_regression_forests_learned_as_a_forest_keep_leaf_samples():
    X, y = spread_data(40)
    with pytest.raises(ValueError, match="regression forest learned with as_forest=True"):
        wrap.learn(np.asfortranarray(X.T), y, criterion="variance", keep_leaf_samples=True)
    with pytest.raises(ValueError, match="regression forest"):
        wrap.learn(np.asfortranarray(X.T), (y > 0).astype(np.int32), as_forest=True, keep_leaf_samples=True)


def test_ninety_percent_quantile_intervals_cover_about_ninety_percent_of_new_rows():
    X, y = spread_data(6000, seed=7)
    model = ForestRegressor(n_estimators=100, random_state=0, keep_leaf_samples=True, min_samples_leaf=5,
                            n_jobs=2).fit(X[:4000], y[:4000])
    low, high = model.predict_quantiles(X[4000:], [0.05, 0.95]).T
    covered = np.mean((y[4000:] >= low) & (y[4000:] <= high))
    assert 0.85 <= covered <= 0.95, covered
    # The intervals follow the noise: wide where feature 0 is large.
    width = high - low
    assert width[X[4000:, 0] > 0.8].mean() > 3 * width[X[4000:, 0] < 0.2].mean()


@pytest.mark.parametrize("scaled", [False, True])
def test_intervals_are_the_mean_plus_minus_a_rank_of_the_out_of_bag_residuals(scaled):
    from sylvor._intervals import spread_at
    X, y = spread_data(400, seed=3)
    model = ForestRegressor(n_estimators=30, random_state=6, keep_leaf_samples=True, oob_score=True).fit(X, y)
    seen = ~np.isnan(model.oob_prediction_)
    residuals = np.abs(y - model.oob_prediction_)[seen]
    if scaled:
        quartiles = model._forest.predict_quantiles(X, [0.25, 0.75], out_of_bag=True)[seen]
        spread = quartiles[:, 1] - quartiles[:, 0]
        floor = 0.01 * spread.mean()
        residuals = residuals / (spread + floor)
    rank = int(np.ceil(0.8 * (len(residuals) + 1)))
    half = np.sort(residuals)[rank - 1]
    X_new, _ = spread_data(50, seed=4)
    low, high = model.predict_interval(X_new, alpha=0.2, scaled=scaled).T
    mean = model.predict(X_new)
    expected = half * (spread_at(model, X_new) + floor) if scaled else half
    assert np.allclose(high - mean, expected, rtol=1e-12) and np.allclose(mean - low, expected, rtol=1e-12)
    assert np.array_equal(pickle.loads(pickle.dumps(model)).predict_interval(X_new, 0.2, scaled), np.c_[low, high])


@pytest.mark.parametrize("scaled", [False, True])
def test_ninety_percent_intervals_hold_about_ninety_percent_of_new_targets(scaled):
    from sylvor import interval_coverage
    X, y = spread_data(5000, seed=8)
    model = ForestRegressor(n_estimators=60, random_state=2, keep_leaf_samples=True, n_jobs=2).fit(X[:3000], y[:3000])
    coverage, width = interval_coverage(y[3000:], model.predict_interval(X[3000:], alpha=0.1, scaled=scaled))
    assert 0.87 <= coverage <= 0.94, coverage
    assert width < 0.5 * (y.max() - y.min())


def test_interval_requests_that_cannot_be_answered_are_refused_or_warned():
    X, y = spread_data(60)
    plain = ForestRegressor(n_estimators=3, random_state=1).fit(X, y)
    with pytest.raises(ValueError, match="keep_leaf_samples=True"):
        plain.predict_interval(X)
    model = ForestRegressor(n_estimators=10, random_state=1, keep_leaf_samples=True).fit(X, y)
    for alpha in (0.0, 1.0, -0.5, np.nan):
        with pytest.raises(ValueError, match="between 0 and 1"):
            model.predict_interval(X, alpha=alpha)
    with pytest.warns(UserWarning, match="too few"):
        assert np.all(np.isinf(model.predict_interval(X[:3], alpha=0.001)))
    from sylvor import interval_coverage
    with pytest.raises(ValueError, match="one \\(low, high\\) pair per target"):
        interval_coverage(y, model.predict_interval(X)[:-1])


def test_a_refit_without_leaf_samples_forgets_the_intervals_of_the_fit_before():
    X, y = spread_data(80)
    model = ForestRegressor(n_estimators=5, random_state=1, keep_leaf_samples=True).fit(X, y)
    model.set_params(keep_leaf_samples=False).fit(X, y)
    for ask in (model.predict_interval, model.predict_quantiles):
        with pytest.raises(ValueError, match="keep_leaf_samples=True"):
            ask(X)
