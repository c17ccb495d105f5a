"""Pictures of fitted forests with matplotlib (an optional dependency,
imported only when a picture is asked for): the feature importances as a
bar chart, the out-of-bag error against the number of trees, a tree, and a
regressor's prediction intervals against the truth.
Each function draws on the Axes given, or on a new figure's, and returns
the Axes."""
import numpy as np
from sklearn.utils.validation import check_is_fitted

from ._trees import node_depths


def _axes(ax, size):
    if ax is not None:
        return ax
    try:
        import matplotlib.pyplot as plt
    except ImportError:
        raise ImportError("sylvor.plot needs matplotlib (apt-get install python3-matplotlib)") from None
    return plt.subplots(figsize=size)[1]


def _feature_names(estimator):
    names = getattr(estimator, "feature_names_in_", None)
    if names is not None:
        return [str(n) for n in names]
    return [f"feature {k}" for k in range(estimator.n_features_in_)]


def importances(estimator, kind="impurity", top=20, ax=None):
    """A horizontal bar chart of the `top` largest importances, the largest
    on top, labelled with the feature names. kind="impurity" draws
    feature_importances_ with the standard deviation over the trees as error
    bars (when the trees' own importances are known); kind="permutation"
    draws permutation_importances_ (fit with
    compute_permutation_importances=True)."""
    check_is_fitted(estimator, "estimators_")
    if kind == "impurity":
        values = estimator.feature_importances_
        per_tree = [t.feature_importances_ for t in estimator.estimators_]
        spread = np.std(per_tree, axis=0) if per_tree and all(p is not None for p in per_tree) else None
        label = "mean decrease in impurity"
    elif kind == "permutation":
        values = getattr(estimator, "permutation_importances_", None)
        spread = None
        label = "out-of-bag score lost when the feature is shuffled"
    else:
        raise ValueError(f"kind must be 'impurity' or 'permutation', got {kind!r}")
    if values is None:
        raise ValueError(f"the estimator has no {kind} importances (fit it with "
                         f"{'compute_permutation_importances=True' if kind == 'permutation' else 'sylvor'})")
    if not isinstance(top, (int, np.integer)) or top < 1:
        raise ValueError(f"top must be a positive integer, got {top!r}")
    values = np.asarray(values, dtype=np.float64)
    order = np.argsort(-values, kind="stable")[:top][::-1]
    names = _feature_names(estimator)
    ax = _axes(ax, (6, 0.8 + 0.3 * len(order)))
    ax.barh(np.arange(len(order)), values[order], xerr=None if spread is None else spread[order],
            color="#4c72b0", ecolor="#333333", capsize=2)
    ax.set_yticks(np.arange(len(order)))
    ax.set_yticklabels([names[k] for k in order])
    ax.set_xlabel(label)
    ax.set_title(f"Feature importances ({kind})")
    return ax


def oob_curve(estimator, ax=None):
    """The out-of-bag error rate (classifier) or mean squared error
    (regressor) of the first 1, 2, ... trees: oob_curve_ of a forest fit
    with oob_score=True."""
    check_is_fitted(estimator, "estimators_")
    curve = getattr(estimator, "oob_curve_", None)
    if curve is None:
        raise ValueError("the estimator has no out-of-bag curve: fit it with oob_score=True")
    ax = _axes(ax, (6, 3.5))
    ax.plot(np.arange(1, len(curve) + 1), curve, color="#4c72b0")
    ax.set_xlabel("trees")
    ax.set_ylabel("out-of-bag mean squared error" if not hasattr(estimator, "classes_") else "out-of-bag error")
    ax.set_title("Out-of-bag error against the number of trees")
    return ax


def _tree_layout(left, right, n_nodes, expanded):
    """The nodes drawn, in preorder (left subtree first), their horizontal
    places and the number of leaf places: the leaves and the nodes not
    expanded take places 0, 1, ... in that order, every expanded node the
    middle of its children's."""
    drawn, stack = [], [0]
    while stack:  # without recursion: trees may be deep
        k = stack.pop()
        drawn.append(k)
        if expanded(k):
            stack.extend((right[k], left[k]))
    x = np.zeros(n_nodes)
    slots = 0
    for k in drawn:
        if not expanded(k):
            x[k] = slots
            slots += 1
    for k in reversed(drawn):
        if expanded(k):
            x[k] = (x[left[k]] + x[right[k]]) / 2.0
    return drawn, x, slots


def _split_text(estimator, tree, k, names):
    """The test of split node k of a tree: "NAME < THRESHOLD", or
    "NAME ∈ {LEVEL, ...}" for a node sending a set of levels left."""
    arrays = estimator.estimators_[tree].arrays
    feature = int(arrays[2][k])
    level_sets = getattr(estimator.estimators_[tree], "level_sets", None)
    left_levels = level_sets[k] if level_sets is not None else None
    if left_levels is None:
        return f"{names[feature]} < {arrays[3][k]:.4g}"
    level_names = estimator.categories_[feature]
    shown = [str(level_names[level]) for level in left_levels[:6]]
    return f"{names[feature]} ∈ {{{', '.join(shown)}{', ...' if len(left_levels) > 6 else ''}}}"


def tree(estimator, tree=0, max_depth=3, ax=None):
    """Tree number `tree` drawn down to max_depth (None for all of it): each
    split node as a box with its feature and threshold (left, "yes": below
    it), each leaf with its class or value, and "(...)" below a split node
    at max_depth for the subtrees left out. In a forest that learned where
    missing values go, the edge they take is marked "missing"; a split of a
    categorical feature shows the levels it sends left ("colour ∈ {red,
    amber}", at most 6 named). Leaves are placed left to right
    in the order of the tree, every split node above the middle of its
    children."""
    check_is_fitted(estimator, "estimators_")
    if not isinstance(tree, (int, np.integer)) or not 0 <= tree < len(estimator.estimators_):
        raise ValueError(f"tree must be a tree number from 0 to {len(estimator.estimators_) - 1}, got {tree!r}")
    arrays = estimator.estimators_[tree].arrays
    sides = getattr(estimator.estimators_[tree], "missing_sides", None)
    left, right = arrays[0].astype(np.int64), arrays[1].astype(np.int64)
    depth = node_depths(arrays)
    limit = np.inf if max_depth is None else max_depth
    names = _feature_names(estimator)
    classes = getattr(estimator, "classes_", None)

    def expanded(k):
        return left[k] >= 0 and depth[k] < limit

    drawn, x, slots = _tree_layout(left, right, len(depth), expanded)
    levels = int(min(depth.max(), limit)) + (1 if any(left[k] >= 0 and not expanded(k) for k in drawn) else 0)
    ax = _axes(ax, (max(4.0, 2.4 * slots), 1.4 + 1.0 * levels))
    box = dict(boxstyle="round", facecolor="#eef2f8", edgecolor="#4c72b0")
    leaf_box = dict(boxstyle="round", facecolor="#f4f4f4", edgecolor="#777777")
    for k in drawn:
        y = -float(depth[k])
        if left[k] < 0:
            value = arrays[4][k]
            text = str(classes[int(value)]) if classes is not None else f"{value:.4g}"
            ax.text(x[k], y, text, ha="center", va="center", bbox=leaf_box, fontsize=9, zorder=2)
            continue
        ax.text(x[k], y, _split_text(estimator, tree, k, names), ha="center", va="center", bbox=box,
                fontsize=9, zorder=2)
        if expanded(k):
            missing_left = None if sides is None else sides[k] == 1
            for child, side, goes_left in ((left[k], "yes", True), (right[k], "no", False)):
                ax.plot([x[k], x[child]], [y, y - 1], color="#999999", zorder=1)
                words = [side] if k == 0 else []
                if missing_left is not None and missing_left == goes_left:
                    words.append("missing")
                if words:
                    ax.text((x[k] + x[child]) / 2, y - 0.5, ", ".join(words), ha="center", va="center",
                            fontsize=8)
        else:
            ax.plot([x[k], x[k]], [y, y - 1], color="#999999", zorder=1)
            ax.text(x[k], y - 1, "(...)", ha="center", va="center", fontsize=9, zorder=2)
    ax.set_xlim(-0.7, slots - 0.3)
    ax.set_ylim(-levels - 0.6, 0.6)
    ax.set_axis_off()
    ax.set_title(f"Tree {tree}")
    return ax


def intervals(estimator, X, y, alpha=0.1, kind="conformal", ax=None):
    """The prediction intervals of a regressor fitted with
    keep_leaf_samples=True against the true targets y of the rows X, rows
    sorted by their predicted mean: each interval a vertical band, the mean
    a line, the targets dots (red outside their interval). kind is
    "conformal" (predict_interval), "scaled" (predict_interval with
    scaled=True) or "quantiles" (the alpha/2 and 1 - alpha/2 quantiles).
    The title gives the coverage and the mean width."""
    from ._intervals import interval_coverage
    check_is_fitted(estimator, "estimators_")
    if kind not in ("conformal", "scaled", "quantiles"):
        raise ValueError(f"kind is 'conformal', 'scaled' or 'quantiles', not {kind!r}")
    y = np.asarray(y, dtype=np.float64).ravel()
    if kind == "quantiles":
        bounds = estimator.predict_quantiles(X, [alpha / 2, 1 - alpha / 2])
    else:
        bounds = estimator.predict_interval(X, alpha=alpha, scaled=kind == "scaled")
    mean = estimator.predict(X)
    order = np.argsort(mean, kind="stable")
    coverage, width = interval_coverage(y, bounds)
    ax = _axes(ax, (7, 4))
    place = np.arange(len(y))
    ax.fill_between(place, bounds[order, 0], bounds[order, 1], color="#4c72b0", alpha=0.25, step="mid",
                    label=f"{100 * (1 - alpha):g} % interval")
    ax.plot(place, mean[order], color="#4c72b0", linewidth=1, label="mean")
    outside = (y[order] < bounds[order, 0]) | (y[order] > bounds[order, 1])
    ax.scatter(place[~outside], y[order][~outside], s=6, color="#333333", label="target")
    ax.scatter(place[outside], y[order][outside], s=8, color="#c44e52", label="target outside")
    ax.set_xlabel("rows, by predicted mean")
    ax.set_ylabel("target")
    ax.set_title(f"{kind} intervals: coverage {coverage:.3f}, mean width {width:.4g}")
    ax.legend(loc="upper left", fontsize="small")
    return ax
