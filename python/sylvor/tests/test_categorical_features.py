"""Categorical features in the estimators: which columns are categorical,
level names collected in fitting and matched by name in prediction, and
the trees, pictures, pickles and saved models of such forests."""
import os
import pickle
import subprocess
import tempfile

import numpy as np
import pandas as pd
import pytest

from sylvor import ForestClassifier, ForestRegressor, export_graphviz, plot

COLOURS = [f"c{k:02d}" for k in range(30)]
WARM = {"c03", "c07", "c11", "c12", "c19", "c23", "c24", "c28"}  # the levels of class "warm"


def colour_table(n=1500, seed=0, missing=0.0):
    """A colour among 30 levels, a noise number and a city; the class is
    whether the colour is warm."""
    rng = np.random.default_rng(seed)
    colour = rng.choice(COLOURS, n)
    table = pd.DataFrame({"colour": colour, "noise": rng.normal(size=n),
                          "city": rng.choice(["Lyon", "Oslo", "Riga"], n)})
    y = np.where(np.isin(colour, sorted(WARM)), "warm", "cold")
    if missing:
        table.loc[rng.random(n) < missing, "colour"] = None
    return table, y


def stump(**params):
    """One split on every feature, all rows: the best split of the data."""
    return ForestClassifier(n_estimators=1, max_depth=1, max_features=None, bootstrap=False, random_state=0,
                            **params)


def test_one_split_sends_the_set_of_levels_where_a_numeric_coding_cannot():
    table, y = colour_table()
    native = stump().fit(table, y)
    assert native.score(table, y) == 1.0
    root = native.estimators_[0].tree_
    assert root.is_categorical[0] and np.isnan(root.threshold[0])
    sent = {native.categories_[0][level] for level in root.left_levels[0]}
    assert sent in (WARM, set(COLOURS) - WARM)
    # The same colours as numbers 0 .. 29: one cut cannot gather the warm ones.
    numbers = table.assign(colour=table["colour"].map({c: k for k, c in enumerate(COLOURS)}),
                           city=table["city"].map({"Lyon": 0, "Oslo": 1, "Riga": 2}))
    assert stump().fit(numbers, y).score(numbers, y) < 0.85


@pytest.mark.parametrize("given", [
    "from_dtype", [0, 2], ["colour", "city"], [True, False, True], np.array([True, False, True]), [-3, -1],
], ids=["from_dtype", "indices", "names", "mask", "numpy-mask", "negative-indices"])
def test_every_way_of_naming_the_categorical_columns(given):
    table, y = colour_table(300)
    model = ForestClassifier(n_estimators=3, random_state=1, categorical_features=given).fit(table, y)
    assert model.is_categorical_.tolist() == [True, False, True]
    assert list(model.categories_[0]) == sorted(set(table["colour"]))
    assert list(model.categories_[2]) == ["Lyon", "Oslo", "Riga"]
    assert model.categories_[1] is None


@pytest.mark.parametrize("dtype", ["object", "category", "string"])
def test_from_dtype_takes_object_category_and_string_columns_and_matches_by_name(dtype):
    table, y = colour_table(600)
    typed = table.astype({"colour": dtype, "city": dtype})
    model = ForestClassifier(n_estimators=5, random_state=2).fit(typed, y)
    assert model.is_categorical_.tolist() == [True, False, True]
    # Rows coded in another category order are matched by name, not by code.
    reordered = table.copy()
    reordered["colour"] = pd.Categorical(table["colour"], categories=COLOURS[::-1])
    assert np.array_equal(model.predict_proba(reordered), model.predict_proba(table))


def test_an_unseen_level_is_a_missing_value():
    table, y = colour_table(800, missing=0.1)
    model = ForestClassifier(n_estimators=10, random_state=3).fit(table, y)
    unseen, missing = table.head(20).copy(), table.head(20).copy()
    unseen["colour"] = "violet"
    missing["colour"] = None
    assert np.array_equal(model.predict_proba(unseen), model.predict_proba(missing))
    missing["colour"] = np.nan
    assert np.array_equal(model.predict_proba(unseen), model.predict_proba(missing))


def test_numpy_object_arrays_and_numeric_categorical_columns():
    table, y = colour_table(400)
    rows = table.to_numpy(dtype=object)
    model = ForestClassifier(n_estimators=5, random_state=4).fit(rows, y)
    assert model.is_categorical_.tolist() == [True, False, True]
    frame = ForestClassifier(n_estimators=5, random_state=4).fit(table, y)
    assert np.array_equal(model.predict_proba(rows), frame.predict_proba(table))
    # Integer codes named categorical are levels by their text.
    codes = pd.DataFrame({"colour": table["colour"].str[1:].astype(int), "noise": table["noise"]})
    coded = ForestRegressor(n_estimators=3, random_state=4, categorical_features=[0]).fit(codes, y == "warm")
    assert list(coded.categories_[0]) == sorted({str(v) for v in codes["colour"]})
    assert np.array_equal(coded.predict(codes.astype({"colour": str})), coded.predict(codes))


@pytest.mark.parametrize("params, message", [
    (dict(categorical_features=[3]), "names column 3, but X has 3 features"),
    (dict(categorical_features=["colour", "shape"]), "names feature 'shape', which X does not have"),
    (dict(categorical_features=[True, False]), "one entry per feature \\(3\\), not 2"),
    (dict(categorical_features=[1.5]), "column indices, feature names or booleans"),
    (dict(categorical_features="auto"), "must be 'from_dtype'"),
    (dict(missing_values="median"), "categorical features need missing_values='split'"),
    (dict(categorical_features=None), "could not convert string to float"),
])
def test_bad_categorical_settings_are_refused_before_learning(params, message):
    table, y = colour_table(200)
    with pytest.raises(ValueError, match=message):
        ForestClassifier(n_estimators=2, **params).fit(table, y)


def test_a_column_without_any_level_is_refused_and_a_failed_fit_changes_nothing():
    table, y = colour_table(200)
    model = ForestClassifier(n_estimators=2, random_state=0).fit(table, y)
    before = model.predict_proba(table)
    empty = table.assign(city=pd.Series([None] * len(table), dtype=object))
    with pytest.raises(ValueError, match="categorical feature 'city' has no level: every cell of it is missing"):
        model.fit(empty, y)
    assert model.categories_[2] is not None and np.array_equal(model.predict_proba(table), before)


def test_numbers_only_tables_fit_as_before():
    rng = np.random.default_rng(5)
    X = rng.normal(size=(300, 4))
    y = X[:, 0] > 0
    model = ForestClassifier(n_estimators=5, random_state=5).fit(X, y)
    assert model.is_categorical_ is None and model.categories_ is None
    assert np.array_equal(model.predict_proba(X),
                          ForestClassifier(n_estimators=5, random_state=5, categorical_features=None)
                          .fit(X, y).predict_proba(X))


def test_pickles_and_warm_starts_keep_the_levels():
    table, y = colour_table(600, missing=0.05)
    model = ForestClassifier(n_estimators=4, random_state=6, warm_start=True).fit(table, y)
    kept = pickle.loads(pickle.dumps(model))
    assert np.array_equal(kept.predict_proba(table), model.predict_proba(table))
    for tree, kept_tree in zip(model.estimators_, kept.estimators_):
        assert [None if s is None else s.tolist() for s in tree.tree_.left_levels] == \
            [None if s is None else s.tolist() for s in kept_tree.tree_.left_levels]
    model.set_params(n_estimators=8).fit(table, y)
    whole = ForestClassifier(n_estimators=8, random_state=6).fit(table, y)
    assert np.array_equal(model.predict_proba(table), whole.predict_proba(table))


def test_pictures_name_the_levels():
    table, y = colour_table()
    model = stump().fit(table, y)
    sent = sorted(model.categories_[0][model.estimators_[0].tree_.left_levels[0]])
    assert f"colour ∈ {{{', '.join(sent[:12])}{', ...' if len(sent) > 12 else ''}}}" in export_graphviz(model, 0)
    import matplotlib
    matplotlib.use("Agg")
    ax = plot.tree(model, 0)
    texts = [t.get_text() for t in ax.texts]
    assert any(t.startswith("colour ∈ {" + ", ".join(sent[:6])) for t in texts)


def test_saved_models_load_back_and_the_program_codes_its_rows_by_name():
    table, y = colour_table(800, missing=0.05)
    table = table.drop(columns="city")
    model = ForestClassifier(n_estimators=6, random_state=7).fit(table, y)
    with tempfile.TemporaryDirectory() as directory:
        path = os.path.join(directory, "model")
        model.save_model(path)
        loaded = ForestClassifier.load_model(path)
        assert loaded.is_categorical_.tolist() == [True, False]
        assert np.array_equal(loaded.predict_proba(table), model.predict_proba(table))
        program = os.environ.get("SYLVOR_PROGRAM")
        if not program:
            return
        rows = table.head(100).copy()
        rows.loc[:4, "colour"] = "violet"  # unseen: missing, for the program as for the package
        data = os.path.join(directory, "rows.csv")
        with open(data, "w") as out:
            for colour, noise, label in zip(rows["colour"], rows["noise"], y[:100]):
                out.write(f"{'?' if colour is None else colour},{noise!r},{label}\n")
        predictions = os.path.join(directory, "predictions")
        subprocess.run([program, "test-classify", "--in-file", data, "--desc-file", path + ".bdf", "--model-file",
                        path, "--feature-type", "double", "--predictions-file", predictions,
                        "--print-string-labels", "1"], check=True, capture_output=True)
        with open(predictions) as given:
            assert given.read().split() == list(model.predict(rows))


def test_save_refuses_level_names_a_model_file_cannot_hold_and_writes_nothing():
    table, y = colour_table(200)
    table["city"] = table["city"].replace("Riga", "New York")
    model = ForestClassifier(n_estimators=2, random_state=8).fit(table, y)
    with tempfile.TemporaryDirectory() as directory:
        path = os.path.join(directory, "model")
        with pytest.raises(ValueError, match="level 'New York' of categorical feature 'city' cannot be written"):
            model.save_model(path)
        assert os.listdir(directory) == []
