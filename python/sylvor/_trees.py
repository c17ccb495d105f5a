"""The trees of a fitted forest as light objects.

A tree is held as the extension gives it: a (5, nodes) float64 array of the
left child, right child, feature, threshold and value of each node, numbered
breadth first, leaves having -1 as children, and for a tree that learned
where missing values go, each node's missing side (uint8, 1 for left), and for
a tree splitting categorical features, each node's set of levels sent left. ``SylvorTree`` wraps one such
array without copying it; ``tree_`` presents it with scikit-learn's names and
conventions. Both are read-only views, safe to share between threads.
"""
import numpy as np

# scikit-learn's markers: the children of a leaf, and its feature and threshold.
TREE_LEAF = -1
TREE_UNDEFINED = -2


class TreeArrays:
    """One tree in scikit-learn's ``tree_`` form.

    children_left, children_right : int64, TREE_LEAF (-1) at leaves.
    feature : int64, TREE_UNDEFINED (-2) at leaves.
    threshold : float64, -2.0 at leaves; an instance goes left when its
        value is below the threshold (scikit-learn: at most the threshold).
    missing_go_to_left : uint8, 1 at the split nodes that send missing
        values (NaN) left; all 0 for a forest that fills them with medians.
    is_categorical : bool, True at the split nodes testing the levels of a
        categorical feature, whose threshold is then NaN.
    left_levels : per node, None or the level numbers (uint32, ascending)
        that a node testing levels sends left (the estimator's
        ``categories_[feature][level]`` names them); every other level, and
        a level not seen in fitting, goes right unless it is missing.
    value : float64, (node_count, 1, n_classes) for a classifier, holding
        at each leaf 1.0 for the class it votes for and 0 elsewhere (the
        trees keep one class per leaf, not counts); (node_count, 1, 1) for a
        regressor, the mean at each leaf. Split nodes hold zeros, and NaN
        for a regressor: their summaries are not kept.
    node_count, max_depth, n_outputs, n_classes, n_features, n_leaves.
    """

    def __init__(self, arrays, n_features, n_classes, missing_sides=None, level_sets=None):
        left = arrays[0].astype(np.int64)
        leaf = left < 0
        self.node_count = arrays.shape[1]
        self.children_left = np.where(leaf, TREE_LEAF, left)
        self.children_right = np.where(leaf, TREE_LEAF, arrays[1].astype(np.int64))
        self.feature = np.where(leaf, TREE_UNDEFINED, arrays[2].astype(np.int64))
        self.threshold = np.where(leaf, float(TREE_UNDEFINED), arrays[3])
        sides = missing_sides if missing_sides is not None else np.zeros(self.node_count)
        self.missing_go_to_left = np.where(leaf, 0, sides).astype(np.uint8)
        self.left_levels = list(level_sets) if level_sets is not None else [None] * self.node_count
        self.is_categorical = np.array([s is not None for s in self.left_levels], dtype=bool)
        self.threshold = np.where(self.is_categorical, np.nan, self.threshold)
        self.n_outputs = 1
        self.n_features = n_features
        if n_classes is None:
            self.n_classes = np.array([1], dtype=np.intp)
            self.value = np.where(leaf, arrays[4], np.nan).reshape(self.node_count, 1, 1)
        else:
            self.n_classes = np.array([n_classes], dtype=np.intp)
            self.value = np.zeros((self.node_count, 1, n_classes))
            leaves = np.flatnonzero(leaf)
            classes = arrays[4][leaves].astype(np.int64)
            valid = (classes >= 0) & (classes < n_classes)
            self.value[leaves[valid], 0, classes[valid]] = 1.0
        self.n_leaves = int(leaf.sum())
        depth = node_depths(arrays)
        self.max_depth = int(depth.max()) if len(depth) else 0


class SylvorTree:
    """One tree of a fitted sylvor forest.

    ``tree_`` gives its arrays in scikit-learn's form (see TreeArrays), built
    when first asked. The tree also behaves as its raw (5, nodes) array
    (``np.asarray(tree)``, ``tree[0]``), the form the extension and the
    model files use."""

    def __init__(self, arrays, n_features, n_classes=None, feature_importances=None, missing_sides=None,
                 level_sets=None, feature_levels=None, prepare=None):
        self.arrays = arrays
        # Per node, 1 where missing values go left (None: the forest fills
        # them with medians).
        self.missing_sides = missing_sides
        # Per node, None or the levels it sends left (None: no node tests levels).
        self.level_sets = level_sets
        self.n_features_in_ = n_features
        self.n_classes_ = n_classes
        # The tree's own normalised impurity decreases (None for a loaded model).
        self.feature_importances_ = feature_importances
        # Per feature, None or a categorical feature's level names.
        self.feature_levels = feature_levels
        # The forest's own checks of the rows to predict (None for a tree
        # unpickled alone: rows of numbers as the tree learned them).
        self._prepare = prepare
        self._tree = None
        self._alone = None

    @property
    def tree_(self):
        if self._tree is None:
            self._tree = TreeArrays(self.arrays, self.n_features_in_, self.n_classes_, self.missing_sides,
                                    self.level_sets)
        return self._tree

    def _as_forest(self):
        """The tree as a forest of its own in the extension, made once."""
        if self._alone is None:
            from PySylvor_wrap import Forest
            self._alone = Forest.from_arrays(
                [self.arrays], 0 if self.n_classes_ is None else int(self.n_classes_), None,
                None if self.missing_sides is None else [self.missing_sides],
                None if self.level_sets is None else [self.level_sets], self.feature_levels)
        return self._alone

    def _rows(self, X):
        if self._prepare is not None:
            return self._prepare(X)
        X = np.asarray(X, dtype=np.float64)
        if X.ndim != 2 or X.shape[1] != self.n_features_in_:
            raise ValueError(f"X has shape {X.shape}, but the tree learned from {self.n_features_in_} features")
        return X

    def predict(self, X):
        """What the tree answers for each row of X (rows as the forest takes
        them): as a tree of a scikit-learn forest does, the number of the
        class in the forest's classes_ (float64) for a classifier, the leaf's
        mean for a regressor."""
        predicted = self._as_forest().predict(self._rows(X), 1)
        return predicted.astype(np.float64)

    def predict_proba(self, X):
        """Per row, 1.0 for the class the tree votes for (in the order of the
        forest's classes_), 0 for the others."""
        if self.n_classes_ is None:
            raise AttributeError("a regression tree has no predict_proba")
        return self._as_forest().predict_proba(self._rows(X), 1)

    def apply(self, X):
        """The number of the leaf each row reaches (breadth first, as in tree_)."""
        return self._as_forest().apply(self._rows(X), 1)[:, 0].astype(np.int64)

    def get_depth(self):
        return self.tree_.max_depth

    def get_n_leaves(self):
        return self.tree_.n_leaves

    def __array__(self, dtype=None):
        return self.arrays if dtype is None else self.arrays.astype(dtype)

    def __getitem__(self, key):
        return self.arrays[key]

    def __len__(self):
        return len(self.arrays)

    def __getstate__(self):
        return {"arrays": self.arrays, "n_features_in_": self.n_features_in_, "n_classes_": self.n_classes_,
                "feature_importances_": self.feature_importances_, "missing_sides": self.missing_sides,
                "level_sets": self.level_sets, "feature_levels": self.feature_levels}

    def __setstate__(self, state):
        self.__dict__.update({"feature_importances_": None, "missing_sides": None, "level_sets": None,
                              "feature_levels": None, **state})
        self._tree = None
        self._alone = None
        self._prepare = None

    def __repr__(self):
        return f"SylvorTree(nodes={self.arrays.shape[1]})"


def node_depths(arrays):
    """The depth of each node (0 at the root), one level a step."""
    depth = np.zeros(arrays.shape[1], dtype=np.int64)
    left, right = arrays[0], arrays[1]
    level = np.array([0], dtype=np.int64) if arrays.shape[1] else np.zeros(0, np.int64)
    d = 0
    while len(level):
        depth[level] = d
        split = level[left[level] >= 0]
        level = np.concatenate([left[split], right[split]]).astype(np.int64)
        d += 1
    return depth
