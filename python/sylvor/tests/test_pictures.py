"""Trees as Graphviz DOT text, the out-of-bag curve, and the plots."""
import re
import shutil
import subprocess

import numpy as np
import pytest
from sklearn.datasets import load_iris, make_regression

import sylvor
from sylvor import ForestClassifier, ForestRegressor, export_graphviz


def iris_model(**parameters):
    data = load_iris(as_frame=True)
    model = ForestClassifier(n_estimators=30, random_state=3, oob_score=True, **parameters)
    return model.fit(data.data, data.target_names[data.target]), data


def drawn_nodes(dot):
    """The nodes of DOT text (edges may carry labels too)."""
    return len(re.findall(r"^\d+ \[label=", dot, re.M))


@pytest.mark.parametrize("max_depth,elided", [(None, False), (0, True), (2, True)])
def test_dot_names_features_and_classes_and_renders(max_depth, elided):
    model, data = iris_model()
    dot = export_graphviz(model, tree=4, max_depth=max_depth)
    assert dot.startswith("digraph Tree {") and dot.rstrip().endswith("}")
    assert ("(...)" in dot) == elided
    assert any(name in dot for name in data.data.columns)
    assert any(f'"{name}"' in dot for name in model.classes_) or max_depth == 0
    if shutil.which("dot") is None:
        pytest.skip("Graphviz's dot is not installed")
    svg = subprocess.run(["dot", "-Tsvg"], input=dot, capture_output=True, text=True, check=True).stdout
    assert "<svg" in svg and svg.count("<g id=\"node") == drawn_nodes(dot)


def test_dot_takes_given_names_and_refuses_unknown_trees():
    X, y = make_regression(n_samples=100, n_features=3, random_state=0)
    model = ForestRegressor(n_estimators=2, random_state=1).fit(X, y)
    dot = export_graphviz(model, tree=1, feature_names=["a", "b", "c"], max_depth=1)
    assert any(f'"{name} < ' in dot for name in "abc")
    with pytest.raises(ValueError, match="from 0 to 1"):
        export_graphviz(model, tree=2)


def test_the_out_of_bag_curve_ends_at_the_out_of_bag_score():
    model, _ = iris_model()
    assert model.oob_curve_.shape == (30,)
    assert model.oob_curve_[-1] == pytest.approx(1.0 - model.oob_score_, abs=1e-15)
    X, y = make_regression(n_samples=300, n_features=4, noise=3.0, random_state=2)
    regressor = ForestRegressor(n_estimators=20, random_state=5, oob_score=True).fit(X, y)
    mse = np.mean((regressor.oob_prediction_ - y) ** 2)
    assert regressor.oob_curve_[-1] == pytest.approx(mse, rel=1e-12)
    assert regressor.oob_curve_[0] > regressor.oob_curve_[-1]
    # Grown in two steps, the forest has the curve of one fit.
    warm = ForestRegressor(n_estimators=10, random_state=5, oob_score=True, warm_start=True).fit(X, y)
    warm.set_params(n_estimators=20).fit(X, y)
    assert np.array_equal(warm.oob_curve_, regressor.oob_curve_)


@pytest.fixture
def pyplot():
    matplotlib = pytest.importorskip("matplotlib")
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    yield plt
    plt.close("all")


@pytest.mark.parametrize("kind,top,bars", [("impurity", 20, 4), ("impurity", 2, 2), ("permutation", 3, 3)])
def test_importance_bars_are_labelled_largest_on_top(pyplot, kind, top, bars):
    model, data = iris_model(compute_permutation_importances=True)
    ax = sylvor.plot.importances(model, kind=kind, top=top)
    widths = [patch.get_width() for patch in ax.patches]
    assert len(widths) == bars and widths == sorted(widths)
    labels = [label.get_text() for label in ax.get_yticklabels()]
    values = model.feature_importances_ if kind == "impurity" else model.permutation_importances_
    assert labels[-1] == data.data.columns[int(np.argmax(values))]
    # Impurity importances carry the spread over the trees as error bars.
    assert (len(ax.collections) > 0) == (kind == "impurity")


def test_the_curve_and_the_tree_are_drawn_on_the_axes_given(pyplot):
    model, _ = iris_model()
    figure, (left, right) = pyplot.subplots(1, 2)
    assert sylvor.plot.oob_curve(model, ax=left) is left
    x, y = left.lines[0].get_data()
    assert list(x) == list(range(1, 31)) and np.array_equal(y, model.oob_curve_)
    assert sylvor.plot.tree(model, tree=0, max_depth=1, ax=right) is right
    texts = [t.get_text() for t in right.texts]
    dot = export_graphviz(model, tree=0, max_depth=1)
    # The nodes of the DOT text are drawn; DOT marks each elided subtree,
    # the drawing each split node whose subtrees are left out.
    marks = dot.count("(...)")
    edges = [t for t in texts if t.split(", ")[0] in ("yes", "no", "missing")]
    assert len([t for t in texts if t not in edges and t != "(...)"]) == drawn_nodes(dot) - marks
    assert texts.count("(...)") * 2 == marks
    # The root's edges are drawn (below it the subtrees are left out), one
    # marked as the way of missing values.
    assert sorted(t.split(", ")[0] for t in edges) == ["no", "yes"]
    assert sum("missing" in t for t in edges) == 1


def test_plots_say_what_is_missing(pyplot):
    model, _ = iris_model()
    with pytest.raises(ValueError, match="compute_permutation_importances=True"):
        sylvor.plot.importances(model, kind="permutation")
    with pytest.raises(ValueError, match="oob_score=True"):
        sylvor.plot.oob_curve(ForestClassifier(n_estimators=3).fit(*load_iris(return_X_y=True)))


@pytest.mark.parametrize("kind", ["conformal", "scaled", "quantiles"])
def test_intervals_are_drawn_sorted_by_mean_with_the_targets_outside_marked(pyplot, kind):
    from sklearn.datasets import make_friedman1
    X, y = make_friedman1(600, noise=1.0, random_state=0)
    model = sylvor.ForestRegressor(n_estimators=20, random_state=1, keep_leaf_samples=True).fit(X[:400], y[:400])
    ax = sylvor.plot.intervals(model, X[400:], y[400:], alpha=0.2, kind=kind)
    bounds = model.predict_quantiles(X[400:], [0.1, 0.9]) if kind == "quantiles" else \
        model.predict_interval(X[400:], alpha=0.2, scaled=kind == "scaled")
    outside = (y[400:] < bounds[:, 0]) | (y[400:] > bounds[:, 1])
    inside_dots, outside_dots = ax.collections[1], ax.collections[2]
    assert len(outside_dots.get_offsets()) == outside.sum() and len(inside_dots.get_offsets()) == (~outside).sum()
    mean = ax.lines[0].get_data()[1]
    assert np.all(np.diff(mean) >= 0)
    assert f"coverage {np.mean(~outside):.3f}" in ax.get_title()
    with pytest.raises(ValueError, match="kind"):
        sylvor.plot.intervals(model, X[400:], y[400:], kind="bands")
