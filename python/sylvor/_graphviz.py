"""Trees of a fitted forest as Graphviz DOT text."""
import numpy as np
from sklearn.utils.validation import check_is_fitted

import PySylvor_wrap as _wrap


def export_graphviz(estimator, tree=0, feature_names=None, class_names=None, max_depth=None):
    """The Graphviz DOT text of tree number `tree` of a fitted
    ForestClassifier or ForestRegressor.

    Split nodes show the feature's name and threshold (the instances below
    it go left, along the edge marked "yes"); leaves show the class name or
    the value; in a forest that learned where missing values go, the edge
    they take is labelled "missing"; a split of a categorical feature names
    the levels it sends left ("colour ∈ {amber, red}"). feature_names default to the
    estimator's feature_names_in_
    (else "feature K"), class_names to its classes_. With max_depth, the
    nodes deeper than it are drawn as one "(...)" node per elided subtree.
    Render with ``dot -Tsvg tree.dot -o tree.svg`` (Debian's graphviz)."""
    check_is_fitted(estimator, "estimators_")
    trees = [t.arrays for t in estimator.estimators_]
    if not isinstance(tree, (int, np.integer)) or isinstance(tree, bool) or not 0 <= tree < len(trees):
        raise ValueError(f"tree must be a tree number from 0 to {len(trees) - 1}, got {tree!r}")
    if max_depth is not None and (not isinstance(max_depth, (int, np.integer)) or max_depth < 0):
        raise ValueError(f"max_depth must be None or a non-negative integer, got {max_depth!r}")
    if feature_names is None:
        feature_names = getattr(estimator, "feature_names_in_", None)
    if class_names is None:
        class_names = getattr(estimator, "classes_", None)
    features = [str(name) for name in feature_names] if feature_names is not None else []
    classes = [str(name) for name in class_names] if class_names is not None else []
    return estimator._forest.tree_dot(int(tree), features, classes, -1 if max_depth is None else int(max_depth))
