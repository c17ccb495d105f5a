"""Categorical features in the module: learning from level numbers, the
forest's level names and level sets, and every way a forest is kept."""
import pickle

import numpy as np
import pytest

import PySylvor_wrap as P

NAMES = ["amber", "blue", "green", "red", "white", "yellow"]


def colour_data(n=1500, seed=0, missing=0.05):
    """Feature 0: a colour level (some missing), feature 1: a number; the
    class is whether the colour is one of {blue, red, white}, flipped for
    large numbers."""
    rng = np.random.default_rng(seed)
    colour = rng.integers(0, len(NAMES), n).astype(float)
    number = rng.normal(size=n)
    y = (np.isin(colour, [1, 3, 4]) ^ (number > 1.5)).astype(np.int32)
    colour[rng.random(n) < missing] = np.nan
    return np.stack([colour, number]), y


def learned(x, y, trees=8, **keywords):
    forest, _ = P.learn(x, y, num_trees=trees, seed=3, as_forest=True, missing_values="split",
                        feature_levels=[NAMES, None], **keywords)
    return forest


def test_a_split_sends_a_set_of_levels_and_learning_finds_the_rule():
    x, y = colour_data()
    forest = learned(x, y)
    present = ~np.isnan(x[0])
    assert (forest.predict(x.T)[present] == y[present]).mean() > 0.97
    assert forest.feature_levels == [NAMES]  # kept up to the last categorical feature
    roots = [sets[0] for sets in forest.level_sets()]
    # Every root cuts the colours into {blue, red, white} and the rest.
    for root in roots:
        assert root is not None
        assert set(root.tolist()) in ({1, 3, 4}, {0, 2, 5})


@pytest.mark.parametrize("keep", [
    lambda f: pickle.loads(pickle.dumps(f)),
    lambda f: P.Forest.from_model_text(f.model_text("vectortxt"), 2),
    lambda f: P.Forest.from_model_text(f.model_text("lisp"), 2),
    lambda f: P.Forest.from_arrays(f.tree_arrays(), 2, None, f.missing_sides(), f.level_sets(), f.feature_levels),
    lambda f: P.Forest.joined([f]),
], ids=["pickle", "vectortxt", "lisp", "arrays", "joined"])
def test_every_way_of_keeping_a_forest_keeps_its_levels(keep):
    x, y = colour_data()
    forest = learned(x, y)
    kept = keep(forest)
    assert kept.feature_levels == forest.feature_levels
    for sets, kept_sets in zip(forest.level_sets(), kept.level_sets()):
        assert [None if s is None else s.tolist() for s in sets] == \
            [None if s is None else s.tolist() for s in kept_sets]
    assert all(np.array_equal(a, b) for a, b in zip(forest.missing_sides(), kept.missing_sides()))
    unseen = x.copy()
    unseen[0, :50] = np.nan
    assert np.array_equal(kept.predict_proba(unseen.T), forest.predict_proba(unseen.T))


def test_model_text_names_the_levels_and_the_dot_drawing_shows_them():
    x, y = colour_data()
    forest = learned(x, y, trees=1)
    text = forest.model_text().decode()
    assert text.startswith("sylvor-model 2\nlevels 0 amber blue green red white yellow\n")
    dot = forest.tree_dot(0, ["colour", "number"], ["no", "yes"], 0)
    assert "colour ∈ {blue, red, white}" in dot or "colour ∈ {amber, green, yellow}" in dot


@pytest.mark.parametrize("levels, message", [
    ([["b", "a"], None], "not in ascending order without repeats ('b', 'a')"),
    ([["a", "a"], None], "not in ascending order without repeats ('a', 'a')"),
    ([[], None], "feature 0 has no level names"),
    ([NAMES, None, NAMES], "feature_levels names 3 features, but X has 2"),
    ([["a", "b"], None], "feature 0 is categorical with 2 levels, but instance 0 holds"),
])
def test_bad_level_names_and_level_numbers_are_refused_before_learning(levels, message):
    x, y = colour_data(missing=0)
    x[0, 0] = 3
    with pytest.raises(ValueError) as error:
        P.learn(x, y, num_trees=2, seed=1, as_forest=True, missing_values="split", feature_levels=levels)
    assert message in str(error.value)


@pytest.mark.parametrize("name", ["New York", "a,b", "", "x" * 255])
def test_any_names_learn_but_model_text_refuses_names_it_cannot_hold(name):
    x, y = colour_data()
    names = sorted(NAMES[:5] + [name])
    forest, _ = P.learn(x, y, num_trees=2, seed=1, as_forest=True, missing_values="split",
                        feature_levels=[names, None])
    assert forest.feature_levels == [names]
    assert pickle.loads(pickle.dumps(forest)).feature_levels == [names]
    for format in ("vectortxt", "lisp"):
        with pytest.raises(RuntimeError, match="cannot be written in a model file"):
            forest.model_text(format)


@pytest.mark.parametrize("value", [2.5, -1.0, 6.0, np.inf])
def test_values_that_are_no_level_number_are_refused(value):
    x, y = colour_data(missing=0)
    x[0, 7] = value
    with pytest.raises(ValueError, match="instance 7 holds .*no level number \\(0 .. 5\\) nor missing"):
        learned(x, y)


@pytest.mark.parametrize("keywords, message", [
    (dict(missing_values="median", as_forest=True), "need missing_values='split'"),
    (dict(missing_values="split", as_forest=False), "needs as_forest=True"),
])
def test_categorical_features_need_learned_missing_sides_and_a_forest(keywords, message):
    x, y = colour_data()
    with pytest.raises(ValueError, match=message):
        P.learn(x, y, num_trees=2, seed=1, feature_levels=[NAMES, None], **keywords)


def test_forests_of_other_levels_are_not_joined_and_level_sets_must_fit():
    x, y = colour_data()
    forest = learned(x, y, trees=2)
    numeric, _ = P.learn(x, y, num_trees=2, seed=1, as_forest=True, missing_values="split")
    with pytest.raises(ValueError, match="different categorical features or level names"):
        forest.extended(numeric)
    # Level sets without the names of the levels they send are refused.
    with pytest.raises(ValueError, match="left that the model's levels lines do not name"):
        P.Forest.from_arrays(forest.tree_arrays(), 2, None, forest.missing_sides(), forest.level_sets(), None)
    with pytest.raises(ValueError, match="one item per tree"):
        P.Forest.from_arrays(forest.tree_arrays(), 2, None, forest.missing_sides(), [None], forest.feature_levels)


def test_out_of_bag_records_of_a_categorical_forest_match_learning():
    x, y = colour_data()
    forest, _, extras = P.learn(x, y, num_trees=6, seed=5, as_forest=True, missing_values="split",
                                feature_levels=[NAMES, None], oob=True)
    again = P.out_of_bag(x, y, forest, seed=5, missing_values="split", feature_levels=[NAMES, None])
    assert np.array_equal(again["oob_votes"], extras["oob_votes"])
