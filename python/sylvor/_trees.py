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
                 level_sets=None):
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
        self._tree = None

    @property
    def tree_(self):
        if self._tree is None:
            self._tree = TreeArrays(self.arrays, self.n_features_in_, self.n_classes_, self.missing_sides,
                                    self.level_sets)
        return self._tree

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
                "level_sets": self.level_sets}

    def __setstate__(self, state):
        self.__dict__.update({"feature_importances_": None, "missing_sides": None, "level_sets": None, **state})
        self._tree = None

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
