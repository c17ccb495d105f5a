"""The scikit-learn estimators over the PySylvor_wrap extension."""
import math
import numbers
import os
import warnings

import numpy as np
from sklearn.base import BaseEstimator, ClassifierMixin, RegressorMixin, clone
from sklearn.metrics import r2_score
from sklearn.utils import check_random_state
from sklearn.utils.multiclass import check_classification_targets
from sklearn.utils.validation import check_is_fitted

import PySylvor_wrap as _wrap

from scipy import sparse

from . import _categorical, _intervals, _persistence
from ._trees import SylvorTree

try:  # scikit-learn's parameter validation (1.2 on)
    from sklearn.utils._param_validation import Interval, StrOptions
except ImportError:
    Interval = StrOptions = None

_FLOATS = [np.float64, np.float32]

# The largest value of the integer parameters the extension takes (its C int).
_INT_MAX = 2**31 - 1

# What a fit sets besides the attributes whose names end with "_": fit works
# on a copy of the estimator and puts its whole state in place at the end.
_FITTED_PRIVATE = frozenset({"_forest", "_seed", "_oob_record", "_feature_dtype", "_conformal_scores"})


def _is_fitted_state(name):
    return (name.endswith("_") and not name.startswith("_")) or name in _FITTED_PRIVATE


def seed_of(random_state):
    """The seed of the per-tree generators for a random_state: an int from
    1 to 2**31 - 1 is the seed itself (the program's --seed with --seeding
    per-tree learns the same trees from it); anything else (None, 0, a
    RandomState) gives a seed drawn from numpy's generator."""
    if isinstance(random_state, numbers.Integral) and not isinstance(random_state, (bool, np.bool_)) \
            and 1 <= random_state <= 2**31 - 1:
        return int(random_state)
    return int(check_random_state(random_state).randint(1, 2**31 - 1))


def _threads(n_jobs):
    """OpenMP threads for n_jobs, counted as joblib counts them: None or -1
    use every core, -2 all but one, and so on (at least one)."""
    cores = os.cpu_count() or 1
    if n_jobs is None:
        return cores
    if not isinstance(n_jobs, numbers.Integral) or isinstance(n_jobs, (bool, np.bool_)) or n_jobs == 0:
        raise ValueError(f"n_jobs must be None or a non-zero integer, got {n_jobs!r}")
    return int(n_jobs) if n_jobs > 0 else max(1, cores + 1 + int(n_jobs))


def _constraints(criteria):
    """scikit-learn's constraints on the forest parameters, with sylvor's
    criteria and extra parameters (an empty dict without scikit-learn's
    parameter validation)."""
    if StrOptions is None:
        return {}
    # Counts go to the extension as C ints: larger ones are refused here.
    return {
        "n_estimators": [Interval(numbers.Integral, 1, _INT_MAX, closed="both")],
        "criterion": [StrOptions(set(criteria))],
        "max_depth": [Interval(numbers.Integral, 1, _INT_MAX, closed="both"), None],
        "min_samples_split": [Interval(numbers.Integral, 2, _INT_MAX, closed="both"),
                              Interval(numbers.Real, 0.0, 1.0, closed="right")],
        "min_samples_leaf": [Interval(numbers.Integral, 1, _INT_MAX, closed="both"),
                             Interval(numbers.Real, 0.0, 1.0, closed="neither")],
        "max_features": [Interval(numbers.Integral, 1, None, closed="left"),
                         Interval(numbers.Real, 0.0, 1.0, closed="right"), StrOptions({"sqrt", "log2", "auto"}), None],
        "max_leaf_nodes": [Interval(numbers.Integral, 2, _INT_MAX, closed="both"), None],
        "bootstrap": ["boolean"],
        "oob_score": ["boolean"],
        "n_jobs": [numbers.Integral, None],
        "random_state": ["random_state"],
        "verbose": ["verbose"],
        "warm_start": ["boolean"],
        "max_samples": [None, Interval(numbers.Real, 0.0, 1.0, closed="right"),
                        Interval(numbers.Integral, 1, None, closed="left")],
        "compute_permutation_importances": ["boolean"],
        "min_instances_per_node": [Interval(numbers.Integral, 0, _INT_MAX, closed="both"), None],
        "bootstrap_fraction": [Interval(numbers.Real, 0.0, None, closed="neither"), None],
        "missing_values": [StrOptions({"split", "median"})],
        "categorical_features": [StrOptions({"from_dtype"}), "array-like", None],
        "min_weight_fraction_leaf": [Interval(numbers.Real, 0.0, 0.5, closed="both")],
        "min_impurity_decrease": [Interval(numbers.Real, 0.0, None, closed="left")],
        "ccp_alpha": [Interval(numbers.Real, 0.0, None, closed="left")],
    }


class _BaseForest(BaseEstimator):
    _criteria = ()
    _criterion_aliases = {}
    _auto_max_features = None
    _parameter_constraints = {}

    def __init__(self, n_estimators, criterion, max_depth, min_samples_split, min_samples_leaf, max_features,
                 max_leaf_nodes, bootstrap, oob_score, n_jobs, random_state, verbose, warm_start, max_samples,
                 compute_permutation_importances, min_instances_per_node, bootstrap_fraction, missing_values,
                 categorical_features, min_weight_fraction_leaf=0.0, min_impurity_decrease=0.0, ccp_alpha=0.0):
        # The parameters both estimators share; each names them, with its
        # defaults, in its own signature (what get_params reads).
        self.n_estimators = n_estimators
        self.criterion = criterion
        self.max_depth = max_depth
        self.min_samples_split = min_samples_split
        self.min_samples_leaf = min_samples_leaf
        self.max_features = max_features
        self.max_leaf_nodes = max_leaf_nodes
        self.bootstrap = bootstrap
        self.oob_score = oob_score
        self.n_jobs = n_jobs
        self.random_state = random_state
        self.verbose = verbose
        self.warm_start = warm_start
        self.max_samples = max_samples
        self.compute_permutation_importances = compute_permutation_importances
        self.min_instances_per_node = min_instances_per_node
        self.bootstrap_fraction = bootstrap_fraction
        self.missing_values = missing_values
        self.categorical_features = categorical_features
        self.min_weight_fraction_leaf = min_weight_fraction_leaf
        self.min_impurity_decrease = min_impurity_decrease
        self.ccp_alpha = ccp_alpha

    def _more_tags(self):
        return {
            "allow_nan": True,
            "_xfail_checks": {
                "check_sample_weights_invariance":
                    "weights act on the bootstrap draws: an instance of weight zero is never drawn, but the "
                    "sample keeps its size, so the trees differ from those grown without the instance",
            },
        }

    def __setstate__(self, state):
        # Earlier pickles held the trees as arrays: in "_trees" (with each
        # tree's importances in "_tree_importances"), or, before the trees
        # became objects, in "estimators_".
        trees = state.pop("_trees", None)
        if trees is None and "_forest" not in state and state.get("estimators_") is not None \
                and all(isinstance(t, np.ndarray) for t in state["estimators_"]):
            trees = list(state["estimators_"])
        tree_importances = state.pop("_tree_importances", None)
        # Pickles from before missing values were learned in the splits
        # filled them with medians.
        state.setdefault("missing_values", "median")
        state.setdefault("categorical_features", None)
        for name in ("min_weight_fraction_leaf", "min_impurity_decrease", "ccp_alpha"):
            state.setdefault(name, 0.0)
        self.__dict__.update(state)
        if trees is not None:
            classes = len(self.classes_) if hasattr(self, "classes_") else 0
            self._forest = _wrap.Forest.from_arrays(list(trees), classes, tree_importances)
        if "_forest" in self.__dict__:
            self._set_forest(self._forest)

    # ---------------------------------------------------------------- fitting
    def fit(self, X, y, sample_weight=None):
        """Fits the forest to X (n_samples x n_features; NaN for a missing
        value) and y; sample_weight, when given, weighs the bootstrap draws.
        A fit changes the estimator only when it succeeds: it works on a
        copy (holding, for a warm start, the fitted forest) and puts the
        copy's whole state in place at the end, so a fit that fails or is
        interrupted (Ctrl-C) leaves the estimator as it was."""
        staged = self._staged_for_fit()
        staged._fit(X, y, sample_weight)
        self.__dict__ = staged.__dict__  # one step: every fitted attribute at once
        return self

    def _staged_for_fit(self):
        """A copy of the estimator for fit to work on: its parameters, and
        its fitted state only when a warm start grows its forest."""
        staged = object.__new__(type(self))
        warm = self.warm_start and "_forest" in self.__dict__
        staged.__dict__.update((name, value) for name, value in self.__dict__.items()
                               if warm or not _is_fitted_state(name))
        return staged

    def _rows_of(self, X, fitting):
        """X as learning and prediction take it: a scipy sparse matrix made
        dense, categorical cells coded (see _categorical_coded)."""
        if sparse.issparse(X):
            X = _dense_of_sparse(X)
        return self._categorical_coded(X, fitting)

    def _categorical_coded(self, X, fitting):
        """X with the cells of its categorical features replaced by their
        level numbers (NaN for a missing cell or an unseen level). Fitting
        decides which features are categorical (is_categorical_, None when
        none is) and collects their sorted level names (categories_)."""
        cells = None
        agreed = getattr(self, "_agreed_levels", None)
        if fitting and agreed is not None:  # a share of a forest learned apart: the levels of all the shares
            self.is_categorical_, self.categories_ = agreed
        elif fitting:
            cells = _categorical.columns_of(X) if self.categorical_features is not None else None
            mask = _categorical.categorical_mask(cells, self.categorical_features, getattr(X, "columns", None))
            categories = None
            if mask is not None:
                if self.missing_values == "median":
                    raise ValueError("categorical features need missing_values='split': the levels of a split "
                                     "are learned with the missing values kept aside")
                columns = list(getattr(X, "columns", range(len(mask))))
                categories = [_categorical.level_names(cells[j]) if m else None for j, m in enumerate(mask)]
                for j, names in enumerate(categories):
                    if names is not None and not len(names):
                        raise ValueError(f"categorical feature {columns[j]!r} has no level: every cell of it "
                                         "is missing")
            self.is_categorical_ = mask
            self.categories_ = categories
        return _categorical.coded(X, getattr(self, "is_categorical_", None), getattr(self, "categories_", None),
                                  cells)

    def _feature_levels(self):
        """The level names per feature as the extension takes them, or None."""
        categories = getattr(self, "categories_", None)
        if categories is None:
            return None
        return [None if names is None else [str(name) for name in names] for names in categories]

    def _features_per_split(self, n_features):
        m = self.max_features
        if isinstance(m, str) and m == "auto":
            # Older scikit-learn's meaning: sqrt for classifiers, all for regressors.
            m = self._auto_max_features
        if m is None:
            return 0
        if isinstance(m, str):
            return max(1, int(math.sqrt(n_features) if m == "sqrt" else math.log2(n_features)))
        if isinstance(m, numbers.Integral):
            return min(int(m), n_features)
        return max(1, int(m * n_features))

    def _check_params(self, n_samples):
        """Everything the constraints do not say, checked before learning."""
        if hasattr(self, "_validate_params"):
            self._validate_params()
        criterion = self._criterion_aliases.get(self.criterion, self.criterion)
        if criterion not in self._criteria:
            accepted = list(self._criteria) + list(self._criterion_aliases)
            raise ValueError(f"criterion must be one of {', '.join(accepted)}, got {self.criterion!r}")
        _threads(self.n_jobs)
        if not self.bootstrap and self.oob_score:
            raise ValueError("Out of bag estimation only available if bootstrap=True")
        if not self.bootstrap and self.compute_permutation_importances:
            raise ValueError("permutation importances are measured on the out-of-bag instances, which need "
                             "bootstrap=True")
        if not self.bootstrap and self.max_samples is not None:
            raise ValueError("`max_sample` cannot be set if `bootstrap=False`. Either switch to `bootstrap=True` "
                             "or set `max_sample=None`.")
        if self.bootstrap_fraction is not None and self.max_samples is not None:
            raise ValueError("give max_samples or the older bootstrap_fraction, not both")
        for old, new in (("min_instances_per_node", "min_samples_split=N + 1"),
                         ("bootstrap_fraction", "max_samples")):
            if getattr(self, old) is not None:
                warnings.warn(f"{old} is deprecated; use {new}", FutureWarning)
        if self.ccp_alpha != 0.0:
            raise ValueError(f"ccp_alpha={self.ccp_alpha!r}: sylvor does not prune its trees by minimal "
                             "cost-complexity; keep ccp_alpha=0.0 and limit the trees while they grow with "
                             "min_impurity_decrease, max_leaf_nodes, max_depth or min_samples_leaf")
        if isinstance(self.max_samples, numbers.Integral) and self.max_samples > n_samples:
            raise ValueError(f"`max_samples` must be <= n_samples={n_samples} but got value {self.max_samples}")
        if self.bootstrap_fraction is not None and n_samples > 1 and \
                not float(self.bootstrap_fraction) * n_samples >= 1.0:
            raise ValueError(f"bootstrap_fraction={self.bootstrap_fraction!r} of {n_samples} samples gives empty "
                             f"bootstrap samples; it must be at least 1/{n_samples}")
        return criterion

    def _growth_settings(self, n_samples, n_features):
        """The extension's learning keywords for these parameters."""
        split, leaf = self.min_samples_split, self.min_samples_leaf
        # Integers are counts (min_samples_split=1 counts as the fraction 1.0,
        # as in scikit-learn), other numbers fractions of the samples.
        if not (isinstance(split, numbers.Integral) and split >= 2):
            split = max(2, math.ceil(split * n_samples))
        if not isinstance(leaf, numbers.Integral):
            leaf = max(1, math.ceil(leaf * n_samples))
        # A node of fewer than min_samples_split instances is a leaf.
        min_node = int(split) - 1 if self.min_instances_per_node is None else int(self.min_instances_per_node)
        settings = dict(
            fte_per_split=self._features_per_split(n_features),
            max_depth=0 if self.max_depth is None else int(self.max_depth),
            min_instances_per_node=min_node, min_leaf_size=int(leaf),
            max_leaf_nodes=0 if self.max_leaf_nodes is None else int(self.max_leaf_nodes),
            bootstrap=bool(self.bootstrap), sample_prop=1.0, sample_size=0,
            min_impurity_decrease=float(self.min_impurity_decrease))
        if self.bootstrap_fraction is not None:
            settings["sample_prop"] = float(self.bootstrap_fraction)
        elif isinstance(self.max_samples, numbers.Integral):
            settings["sample_size"] = int(self.max_samples)
        elif self.max_samples is not None:
            settings["sample_size"] = max(int(round(n_samples * self.max_samples)), 1)
        if self.min_weight_fraction_leaf > 0:
            # The sample weights act on the draws, so a tree's sample is
            # already weighted: a leaf's weight is the count of its sample's
            # instances, and the whole weight the sample's size.
            drawn = settings["sample_size"] or (max(1, int(settings["sample_prop"] * n_samples))
                                                if self.bootstrap else n_samples)
            settings["min_leaf_size"] = max(settings["min_leaf_size"],
                                            math.ceil(self.min_weight_fraction_leaf * drawn))
        return settings

    def _draw_weights(self, y, sample_weight):
        """The weights of the bootstrap draws (None for equal ones): the
        sample weights times the class weights."""
        weights = None
        if sample_weight is not None:
            from sklearn.utils.validation import _check_sample_weight
            weights = _check_sample_weight(sample_weight, np.empty((len(y), 0)), dtype=np.float64)
            if not np.all(np.isfinite(weights)) or (weights < 0).any():
                raise ValueError("sample_weight must be finite and non-negative")
        class_weight = getattr(self, "class_weight", None)
        if class_weight is not None:
            from sklearn.utils.class_weight import compute_sample_weight
            # The draws are made by weight, so balancing every sample and
            # balancing the whole set are the same.
            kind = "balanced" if class_weight == "balanced_subsample" else class_weight
            by_class = compute_sample_weight(kind, y)
            weights = by_class if weights is None else weights * by_class
        if weights is None:
            return None
        if not weights.sum() > 0:
            raise ValueError("the sample weights (times the class weights) must not all be zero")
        if not self.bootstrap and np.any(weights != weights[0]):
            raise ValueError("sample_weight and class_weight act on the bootstrap draws, so they need "
                             "bootstrap=True")
        return np.ascontiguousarray(weights, dtype=np.float64)

    def _fit_forest(self, X, y, learned_y, num_classes, sample_weight):
        """Learns the forest (or, with warm_start, the trees it lacks)."""
        criterion = self._check_params(X.shape[0])
        weights = self._draw_weights(y, sample_weight)
        previous = self._forest if self.warm_start and hasattr(self, "_forest") else None
        if previous is not None and self.n_estimators < len(previous):
            raise ValueError(f"n_estimators={self.n_estimators} must be larger or equal to "
                             f"len(estimators_)={len(previous)} when warm_start==True")
        if previous is not None and self.n_estimators == len(previous):
            warnings.warn("Warm-start fitting without increasing n_estimators does not fit new trees.", UserWarning)
            return
        if previous is None:
            self._seed = seed_of(self.random_state)
            self._feature_dtype = X.dtype
            agreed = getattr(self, "_agreed_medians", None)  # a share of a forest learned apart: all rows' medians
            self.feature_medians_ = None if self.missing_values != "median" else \
                agreed if agreed is not None else _wrap.column_medians(X)
        elif previous.missing_values != self.missing_values:
            raise ValueError(f"a warm start grows the forest as it was learned, with "
                             f"missing_values={previous.missing_values!r}, not {self.missing_values!r}")
        X = _fill_missing(X.astype(self._feature_dtype, copy=False), self.feature_medians_)
        first = len(previous) if previous is not None else 0
        # Regression targets are learned scaled by a power of two, exactly,
        # so that their variances neither overflow nor underflow.
        exponent = _target_exponent(learned_y) if num_classes == 1 else 0
        scaled_y = np.ldexp(learned_y, -exponent) if exponent else learned_y
        growth = self._growth_settings(X.shape[0], X.shape[1])
        # Variance decreases of targets scaled by 2^-e are scaled by 2^-2e.
        growth["min_impurity_decrease"] = math.ldexp(growth["min_impurity_decrease"], -2 * exponent)
        result = _wrap.learn(
            X.T, scaled_y, criterion=criterion, num_classes=num_classes, num_trees=int(self.n_estimators) - first,
            as_forest=True, leaf_exponent=exponent,
            num_threads=_threads(self.n_jobs), compute_importances=True,
            # A warm start works the estimates out for the whole forest afterwards.
            oob=(bool(self.oob_score) or self._keeps_leaf_samples()) and previous is None,
            permutation_importances=bool(self.compute_permutation_importances) and previous is None,
            verbose=int(self.verbose),
            seed=self._seed, first_tree=int(getattr(self, "_first_tree", 0)) + first, sample_weight=weights,
            tree_importances=True, leaf_variance=_leaf_variance(scaled_y), missing_values=self.missing_values,
            feature_levels=self._feature_levels(), keep_leaf_samples=bool(getattr(self, "keep_leaf_samples", False)),
            **growth)
        forest = result[0]
        extras = _extras_scaled(result[2], exponent)  # always there: the trees' own importances are asked for
        if previous is None:
            self._set_forest(forest)
            self.feature_importances_ = result[1]
            if self.compute_permutation_importances:
                self.permutation_importances_ = extras["permutation_importances"]
            if self.oob_score:
                self._set_oob(extras, learned_y)
            if self._keeps_leaf_samples():
                self._conformal_scores = _intervals.conformal_scores(
                    self._forest, X, learned_y, extras["oob_prediction"], _threads(self.n_jobs))
        else:
            # The trees grown now follow the others; the importances and the
            # out-of-bag estimates are worked out again for all of them, so
            # they are those of one fit.
            self._set_forest(previous.extended(forest))
            self._set_whole_forest_estimates(X, learned_y, num_classes, weights)

    def _training_arrays(self, X, y, sample_weight):
        """What learning took from fit's X, y and sample_weight: X with the
        training medians filled in (when the forest learned from them), the
        learned labels, the class count and the draw weights."""
        X = self._rows_of(X, fitting=False)
        X, y = self._validate_data(X, y, dtype=_FLOATS, force_all_finite="allow-nan", reset=False,
                                   y_numeric=not hasattr(self, "classes_"))
        X = _fill_missing(self._as_learned(X), self.feature_medians_)
        if hasattr(self, "classes_"):
            learned_y, num_classes = np.searchsorted(self.classes_, y).astype(np.int32), len(self.classes_)
        else:
            learned_y, num_classes = np.ascontiguousarray(y, dtype=np.float64), 1
        return X, learned_y, num_classes, self._draw_weights(y, sample_weight)

    def _keeps_leaf_samples(self):
        return bool(getattr(self, "keep_leaf_samples", False))

    def _set_whole_forest_estimates(self, X, learned_y, num_classes, weights):
        self.feature_importances_ = self._forest.feature_importances()
        if not (self.oob_score or self.compute_permutation_importances or self._keeps_leaf_samples()):
            return
        record = self._out_of_bag_record(X, learned_y, num_classes, weights, self.n_jobs,
                                         bool(self.compute_permutation_importances))
        if self.compute_permutation_importances:
            self.permutation_importances_ = record["permutation_importances"]
        if self.oob_score:
            self._set_oob(record, learned_y)
        if self._keeps_leaf_samples():
            self._conformal_scores = _intervals.conformal_scores(self._forest, X, learned_y, record["oob_prediction"],
                                                                 _threads(self.n_jobs))

    def _out_of_bag_record(self, X, learned_y, num_classes, weights, n_jobs, permutation=False, tree=None):
        """The out-of-bag record of the forest (or of its tree number `tree`
        alone) on its training arrays (see _training_arrays), each tree's
        sample drawn again from its own generator."""
        growth = self._growth_settings(X.shape[0], X.shape[1])
        first = int(getattr(self, "_first_tree", 0)) + (tree or 0)
        forest = self._forest if tree is None else self.estimators_[tree]._as_forest()
        return _wrap.out_of_bag(
            X.T, learned_y, forest, criterion=self._criterion_aliases.get(self.criterion, self.criterion),
            num_classes=num_classes, seed=self._seed, first_tree=first,
            sample_prop=growth["sample_prop"], sample_size=growth["sample_size"], bootstrap=growth["bootstrap"],
            sample_weight=weights, permutation_importances=permutation,
            missing_values=self._forest.missing_values, feature_levels=self._feature_levels(),
            num_threads=_threads(n_jobs))

    def _set_forest(self, forest):
        """Makes `forest` (the extension's Forest) the estimator's, with
        estimators_ viewing its trees."""
        self._forest = forest
        n_classes = len(self.classes_) if hasattr(self, "classes_") else None
        per_tree = self._forest.tree_importances()
        arrays = self._forest.tree_arrays()
        sides = self._forest.missing_sides()
        level_sets = self._forest.level_sets()
        levels = self._forest.feature_levels
        self.estimators_ = [SylvorTree(a, self.n_features_in_, n_classes, None if per_tree is None else per_tree[k],
                                       None if sides is None else sides[k],
                                       None if level_sets is None else level_sets[k], levels, self._check_input)
                            for k, a in enumerate(arrays)]

    def _set_oob(self, extras, y):
        """Sets the out-of-bag attributes from the extension's out-of-bag
        record ("oob_trees" with "oob_votes" or "oob_prediction")."""
        trees = extras["oob_trees"]
        self._oob_record = {k: v for k, v in extras.items()
                            if k in ("oob_trees", "oob_votes", "oob_prediction", "oob_curve")}
        # Votes joined from sub-forests (join_forests without X) make no
        # curve: that needs each tree's out-of-bag instances.
        if "oob_curve" in extras:
            self.oob_curve_ = extras["oob_curve"]
        elif hasattr(self, "oob_curve_"):
            del self.oob_curve_
        missing = int((trees == 0).sum())
        if missing:
            warnings.warn(f"{missing} of {len(trees)} instances are in the sample of every tree and have no "
                          "out-of-bag prediction; they are left out of oob_score_ (more trees leave fewer out)",
                          UserWarning)
        self._score_oob(self._oob_record, y, trees > 0)

    def _as_learned(self, X):
        """X in the floating type the forest learned on, so that a value
        meets a threshold as in learning (a float64 value next to a float32
        threshold may fall on its other side)."""
        dtype = getattr(self, "_feature_dtype", None)
        return X if dtype is None or X.dtype == dtype else X.astype(dtype)

    def _check_input(self, X):
        """X validated, in the type the forest learned on, its missing
        values filled with the training medians unless the forest learned
        where they go."""
        check_is_fitted(self, "estimators_")
        X = self._rows_of(X, fitting=False)
        X = self._as_learned(self._validate_data(X, reset=False, dtype=_FLOATS, force_all_finite="allow-nan"))
        if self._forest.missing_values == "split":
            return X
        medians = getattr(self, "feature_medians_", None)
        if medians is not None:
            return _fill_missing(X, medians)
        if np.isnan(X).any():
            warnings.warn("the model has no recorded training medians (it was loaded without PATH.medians); "
                          "missing values are filled with the medians of the rows being predicted, so a row's "
                          "prediction depends on the rows that come with it", UserWarning)
        return X

    def apply(self, X):
        """The breadth-first number of the leaf that each instance reaches in each tree."""
        X = self._check_input(X)
        return self._forest.apply(X, _threads(self.n_jobs))

    def proximity(self, X, Y=None, top_k=None):
        """Proximities of the rows of X to those of Y (X itself when None):
        the share of the trees in which both reach the same leaf (Breiman),
        for finding outliers, neighbours and filling missing values. An
        array of n_X x n_Y, or with top_k, a scipy.sparse CSR matrix of the
        same shape holding each row's top_k largest positive proximities
        (for data too large for the whole matrix)."""
        X = self._check_input(X)
        Y = None if Y is None else self._check_input(Y)
        return self._proximity_result(self._forest.proximity(X, Y, self._top_k(top_k), None, _threads(self.n_jobs)),
                                      len(X), len(X) if Y is None else len(Y))

    def oob_proximity(self, X, y, sample_weight=None, top_k=None):
        """Out-of-bag proximities of the training rows X, y (and the
        sample_weight of the fit, whose draws they redo): a pair counts only
        the trees whose samples missed both rows, and its proximity is the
        share of those trees in which they share a leaf (0 without any).
        Shaped as proximity(X) gives them."""
        check_is_fitted(self)
        X_learned, learned_y, num_classes, weights = self._training_arrays(X, y, sample_weight)
        growth = self._growth_settings(X_learned.shape[0], X_learned.shape[1])
        masks = _wrap.out_of_bag(
            X_learned.T, learned_y, self._forest, criterion=self._criterion_aliases.get(self.criterion, self.criterion),
            num_classes=num_classes, seed=self._seed, first_tree=int(getattr(self, "_first_tree", 0)),
            sample_prop=growth["sample_prop"], sample_size=growth["sample_size"], bootstrap=growth["bootstrap"],
            sample_weight=weights, missing_values=self._forest.missing_values, feature_levels=self._feature_levels(),
            num_threads=_threads(self.n_jobs), in_bag_masks=True)["in_bag"]
        n = len(learned_y)
        return self._proximity_result(
            self._forest.proximity(X_learned, None, self._top_k(top_k), masks, _threads(self.n_jobs)), n, n)

    @staticmethod
    def _top_k(top_k):
        if top_k is None:
            return 0
        if isinstance(top_k, (bool, np.bool_)) or not isinstance(top_k, numbers.Integral) or top_k < 1:
            raise ValueError(f"top_k is the number of proximities kept per row, a whole number of at least 1, "
                             f"not {top_k!r}")
        return int(top_k)

    @staticmethod
    def _proximity_result(result, rows, columns):
        if isinstance(result, np.ndarray):
            return result
        indptr, indices, values = result
        return sparse.csr_matrix((values, indices, indptr), shape=(rows, columns))

    def decision_path(self, X):
        """The nodes each instance passes, as scikit-learn gives them: a
        sparse (instances x nodes of every tree) indicator matrix in CSR
        form, and the offsets of each tree's nodes in its columns."""
        indptr, indices, offsets = self._forest.decision_path(self._check_input(X))
        indicator = sparse.csr_matrix((np.ones(len(indices), dtype=np.int64), indices, indptr),
                                      shape=(len(indptr) - 1, offsets[-1]))
        return indicator, offsets

    # ------------------------------------------------------------ persistence
    def save_model(self, path, format="vectortxt"):
        """Writes the forest as a model file of the sylvor program ("lisp" or
        "vectortxt"); the training medians as PATH.medians, which fill
        missing values when the program tests the model or load_model reads
        it back; and PATH.meta, which keeps for load_model what the model
        file cannot hold: the class labels and their type, the feature names
        and count, the type of the features learned on, the parameters and
        the importances. A classifier also writes PATH.bdf, a description of
        data files laid out as the features followed by the class name, one
        label line per class.

        Every file is written whole before any is put in place, the model
        last, and each companion names the model bytes it belongs to: a
        failure leaves the earlier files as they were, and of two saves to
        one path at once a reader never pairs the model of one with the
        classes or medians of the other."""
        check_is_fitted(self, "estimators_")
        _persistence.save_model(self, path, format)

    # ------------------------------------------- learning on several machines
    def _fit_subforest(self, X, y, sample_weight, first_tree):
        """Fits the estimator's n_estimators trees as the trees first_tree,
        first_tree + 1, ... of a larger forest seeded by random_state: each
        tree is the one a fit of the whole forest grows under its number."""
        self._first_tree = first_tree
        return self.fit(X, y, sample_weight=sample_weight)


def join_subforests(estimator, subforests, X=None, y=None, sample_weight=None):
    """One fitted estimator of `estimator`'s parameters holding the trees of
    fitted `subforests` (each fitted with _fit_subforest), in order. See
    sylvor.distributed.join_forests for the estimates it works out."""
    joined = clone(estimator)
    first = subforests[0]
    for name, value in vars(first).items():
        if name.endswith("_") and not name.startswith("_"):
            setattr(joined, name, value)
    joined._seed = first._seed
    joined._feature_dtype = getattr(first, "_feature_dtype", None)
    joined._first_tree = getattr(first, "_first_tree", 0)
    joined._set_forest(_wrap.Forest.joined([subforest._forest for subforest in subforests]))
    joined.n_estimators = len(joined._forest)
    if X is not None and y is not None:
        X, learned_y, num_classes, weights = joined._training_arrays(X, y, sample_weight)
        joined._set_whole_forest_estimates(X, learned_y, num_classes, weights)
        return joined
    # The mean of every tree's importances, as one fit of all the trees gives it.
    joined.feature_importances_ = joined._forest.feature_importances()
    if getattr(estimator, "compute_permutation_importances", False):
        counts = np.array([len(subforest._forest) for subforest in subforests], dtype=np.float64)
        joined.permutation_importances_ = _tree_weighted_mean(subforests, "permutation_importances_", counts)
    if getattr(estimator, "oob_score", False):
        if y is None:
            raise ValueError("joining out-of-bag estimates needs the training targets y")
        record = _joined_oob([subforest._oob_record for subforest in subforests])
        y = np.asarray(y)
        joined._set_oob(record, np.searchsorted(joined.classes_, y) if hasattr(joined, "classes_")
                        else np.asarray(y, dtype=np.float64))
    return joined


def _tree_weighted_mean(subforests, name, counts):
    values = np.array([getattr(subforest, name) for subforest in subforests])
    return (values * counts[:, None]).sum(axis=0) / counts.sum()


def _check_one_output(y, one_per_output):
    """Refuses a y of several columns (outputs), naming what learns them."""
    shape = getattr(y, "shape", None)
    if shape is None:
        try:
            shape = np.asarray(y).shape
        except ValueError:  # ragged: left for validation to name
            return
    if len(shape) == 2 and shape[1] > 1:
        raise ValueError(f"y has {shape[1]} columns (outputs), but a sylvor forest learns one: learn one forest "
                         f"per output, for example with sklearn.multioutput.{one_per_output}, or pass a "
                         "one-dimensional y")


def _dense_of_sparse(X):
    """A scipy sparse matrix as a dense column-major array (the layout the
    learner reads, so nothing is copied again), its entries put in place
    through the columns' compressed indices: no dense temporary beyond the
    result. Float32 and float64 entries keep their type; others become
    float64."""
    if X.ndim != 2:
        raise ValueError(f"X must be two-dimensional, not of shape {X.shape}")
    columns = X.tocsc()
    if not columns.has_canonical_format:  # duplicate entries add up; the caller's matrix stays as it is
        columns = columns.copy()
        columns.sum_duplicates()
    dtype = columns.dtype if columns.dtype in (np.float32, np.float64) else np.float64
    dense = np.zeros(columns.shape, dtype=dtype, order="F")
    rows, n_features = columns.shape
    starts = np.repeat(np.arange(n_features, dtype=np.int64) * rows, np.diff(columns.indptr))
    dense.reshape(-1, order="F")[starts + columns.indices] = columns.data
    return dense


def _fill_missing(X, medians):
    """X with each NaN replaced by its column's median (X itself when it has
    none, or without medians), in X's dtype."""
    if medians is None:
        return X
    missing = np.isnan(X)
    if not missing.any():
        return X
    return np.where(missing, np.asarray(medians, dtype=X.dtype)[None, :], X)


def _target_exponent(y):
    """The power of two that brings the largest finite |target| into
    [0.5, 1): the targets divided by 2**exponent are learned, exactly, in
    place of the targets themselves (0 without a finite non-zero target)."""
    finite = np.abs(y[np.isfinite(y)])
    largest = float(finite.max()) if len(finite) else 0.0
    return int(np.frexp(largest)[1]) if largest > 0 else 0


def _extras_scaled(extras, exponent):
    """The extension's extras of targets learned divided by 2**exponent, in
    the targets' own units: predictions times 2**exponent, mean squared
    errors (the curve, the permutation importances) times 4**exponent."""
    if not exponent:
        return extras
    extras = dict(extras)
    for name, power in (("oob_prediction", 1), ("oob_curve", 2), ("permutation_importances", 2)):
        if name in extras:
            extras[name] = np.ldexp(extras[name], power * exponent)
    return extras


def _leaf_variance(y):
    """The variance below which a regression node is a leaf: machine
    epsilon relative to the variance of all the targets, so that the trees
    do not depend on the scale of the targets."""
    bound = np.finfo(np.float64).eps * float(np.var(y, dtype=np.float64))
    return bound if bound > 0 else float(np.finfo(np.float64).tiny)


def _joined_oob(records):
    """One out-of-bag record from those of forests whose trees are joined:
    votes and tree counts added, mean predictions weighted by their trees."""
    trees = np.sum([r["oob_trees"] for r in records], axis=0).astype(np.int32)
    if "oob_votes" in records[0]:
        return {"oob_trees": trees, "oob_votes": np.sum([r["oob_votes"] for r in records], axis=0)}
    total = np.sum([np.where(r["oob_trees"] > 0, r["oob_prediction"], 0.0) * r["oob_trees"] for r in records],
                   axis=0)
    with np.errstate(invalid="ignore", divide="ignore"):
        prediction = np.where(trees > 0, total / trees, np.nan)
    return {"oob_trees": trees, "oob_prediction": prediction}


_COMMON_PARAMETERS = """
    max_depth : int or None, default=None
        Maximum depth of a tree; None for no limit.
    min_samples_split : int or float, default=2
        A node of fewer instances (or, as a fraction, of fewer than
        ceil(min_samples_split * n_samples)) is a leaf.
    min_samples_leaf : int or float, default=1
        The fewest instances a split may leave in either child (a fraction:
        ceil(min_samples_leaf * n_samples)). Only such splits are scored.
    min_weight_fraction_leaf : float, default=0.0
        The smallest share of a tree's sample that a split may leave in
        either child. Sample weights act on the draws, so the sample is
        already weighted: this is min_samples_leaf of that share of the
        sample's size (the larger of the two counts).
    min_impurity_decrease : float, default=0.0
        A node splits only when N_t / N * (impurity - N_t_L / N_t *
        left_impurity - N_t_R / N_t * right_impurity) is at least this, N
        being the size of the tree's sample and N_t of the node's. The
        impurity is the Gini impurity for every classification criterion
        (scikit-learn's "entropy" measures it in entropy) and the variance
        of the targets for regression.
    ccp_alpha : 0.0
        Minimal cost-complexity pruning is not done: any other value is
        refused when fitting; limit the trees while they grow instead.
    max_leaf_nodes : int or None, default=None
        With a number, each tree grows best first (the split that decreases
        the weighted impurity most next) up to that many leaves.
    bootstrap : bool, default=True
        Whether each tree grows on a bootstrap sample (drawn with
        replacement); False grows every tree on the whole training set.
    oob_score : bool, default=False
        Estimate the score on the out-of-bag instances: each instance is
        predicted by the trees whose bootstrap sample left it out.
    n_jobs : int or None, default=None
        Threads; None or -1 use every core, -2 all but one, and so on, as
        in joblib. The forest does not depend on them.
    random_state : int, RandomState or None, default=None
        Decides the forest: each tree draws from a generator derived from the
        seed and its number alone, so a fit is reproducible whatever n_jobs.
        An int from 1 to 2**31 - 1 is the seed itself: the sylvor program
        learns the same trees with ``--seed N --seeding per-tree``.
    verbose : int, default=0
        1 shows a progress line (trees grown, elapsed, time left) on
        sys.stderr while the forest grows.
    warm_start : bool, default=False
        A fit of a fitted forest with more n_estimators adds the trees it
        lacks; each tree draws from the generator of its number, so the
        forest is the one a single fit of all the trees learns, with the same
        importances and out-of-bag estimates.
    max_samples : int, float or None, default=None
        The size of each bootstrap sample: the number of training instances
        (None), a number, or a fraction of it.
    compute_permutation_importances : bool, default=False
        For each tree and feature, the out-of-bag score lost when the
        feature's values are shuffled among the tree's out-of-bag instances,
        averaged over the trees. The shuffles draw from generators of their
        own, so the forest is the same with or without them.
    min_instances_per_node, bootstrap_fraction : deprecated
        The earlier names: a node of at most min_instances_per_node
        instances is a leaf (min_samples_split=N + 1), and bootstrap samples
        hold bootstrap_fraction times the instances (max_samples).

    ``fit`` takes ``sample_weight``: the weights act on the bootstrap draws,
    an instance being drawn with probability proportional to its weight (as
    ranger's case weights), not on the impurity. The splits stay counts of
    instances, exact and fast; an instance of weight 0 never reaches a tree.
    Weights therefore need bootstrap=True (equal weights change nothing).

    missing_values : {"split", "median"}, default="split"
        What becomes of missing values (NaN) in X. "split": each split
        learns the side they go to, trying them on either side of every
        cut (and the cut of present against missing values); a split whose
        node had none sends them to its larger child. "median": they are
        replaced by the median of their feature over the training rows
        (``feature_medians_``, None with "split"), at fit and at prediction.
        Either way a row's prediction depends on that row alone.
    categorical_features : "from_dtype", list of int or str, bool mask or None, default="from_dtype"
        Which features are categorical: their cells are level names (any
        value, by its text). "from_dtype": the pandas columns of dtype
        category, object or string (and the columns of a numpy object
        array holding text); or column indices, feature names, or a mask of
        n_features booleans; None: none. A split of a categorical feature
        sends a set of its levels left (the levels ordered by their class
        share or mean target at the node, then cut like a number). Fitting
        keeps each one's sorted level names (``categories_``, with
        ``is_categorical_``); rows to predict are matched by name, and a
        level not seen in fitting is a missing value. Categorical features
        need missing_values="split"; save_model needs level names without
        white space or commas.

    ``estimators_`` holds one SylvorTree per tree, with scikit-learn's
    ``tree_`` arrays; ``decision_path`` and ``apply`` give the nodes and
    leaves each instance reaches. save_model writes the model file of the
    sylvor program with the medians (PATH.medians) and what the model file
    cannot hold (PATH.meta); load_model reads them back.
"""


class ForestClassifier(ClassifierMixin, _BaseForest):
    __doc__ = """A random forest classifier.

    Parameters
    ----------
    n_estimators : int, default=100
        Number of trees.
    criterion : {"gini", "entropy", "log_loss", "gain_ratio"}, default="gini"
        Split criterion; "entropy" and "log_loss" are both information gain
        (also named "infogain"), "gain_ratio" (or "gainratio") is sylvor's
        own.
    max_features : {"sqrt", "log2"}, int, float or None, default="sqrt"
        Features tried per split: the square root or log2 of their number,
        a number, a fraction of them, or all (None); "auto", as in older
        scikit-learn, is "sqrt".
    class_weight : "balanced", "balanced_subsample", dict or None, default=None
        Weights of the classes, multiplying the sample weights: a dict of
        class label to weight, or "balanced" for weights inversely
        proportional to the class frequencies. Since the weights act on the
        draws, "balanced_subsample" is "balanced".
""" + _COMMON_PARAMETERS + """
    Attributes beyond scikit-learn's usual ones: ``oob_score_`` and
    ``oob_decision_function_`` (share of the out-of-bag votes per class; NaN
    rows for instances without out-of-bag trees) with oob_score, and
    ``permutation_importances_`` with compute_permutation_importances.
    None of them changes the forest learned.
    """
    _criteria = ("gini", "infogain", "gainratio")
    # scikit-learn's names: both of its entropy criteria are information gain.
    _criterion_aliases = {"entropy": "infogain", "log_loss": "infogain", "gain_ratio": "gainratio"}
    _auto_max_features = "sqrt"
    _parameter_constraints = dict(_constraints(_criteria + tuple(_criterion_aliases)),
                                  class_weight=[StrOptions({"balanced", "balanced_subsample"}), dict, None]
                                  if StrOptions is not None else [])

    def __init__(self, n_estimators=100, *, criterion="gini", max_depth=None, min_samples_split=2,
                 min_samples_leaf=1, max_features="sqrt", max_leaf_nodes=None, bootstrap=True, oob_score=False,
                 n_jobs=None, random_state=None, verbose=0, warm_start=False, class_weight=None, max_samples=None,
                 compute_permutation_importances=False, min_instances_per_node=None, bootstrap_fraction=None,
                 missing_values="split", categorical_features="from_dtype", min_weight_fraction_leaf=0.0,
                 min_impurity_decrease=0.0, ccp_alpha=0.0):
        super().__init__(n_estimators, criterion, max_depth, min_samples_split, min_samples_leaf, max_features,
                         max_leaf_nodes, bootstrap, oob_score, n_jobs, random_state, verbose, warm_start, max_samples,
                         compute_permutation_importances, min_instances_per_node, bootstrap_fraction,
                         missing_values, categorical_features, min_weight_fraction_leaf, min_impurity_decrease,
                         ccp_alpha)
        self.class_weight = class_weight

    def _fit(self, X, y, sample_weight):
        warm = self.warm_start and hasattr(self, "_forest")
        _check_one_output(y, "MultiOutputClassifier(ForestClassifier())")
        X = self._rows_of(X, fitting=not warm)
        X, y = self._validate_data(X, y, dtype=_FLOATS, force_all_finite="allow-nan", reset=not warm)
        check_classification_targets(y)
        classes, encoded = np.unique(y, return_inverse=True)
        agreed = getattr(self, "_agreed_classes", None)
        if agreed is not None:  # a share of a forest learned apart: the classes of all the shares
            unknown = np.setdiff1d(classes, agreed)
            if len(unknown):
                raise ValueError(f"y holds classes {list(unknown)} that are not among {list(agreed)}")
            classes, encoded = agreed, np.searchsorted(agreed, y)
        if warm and not np.array_equal(classes, self.classes_):
            raise ValueError(f"a warm start must see the classes of the first fit, {list(self.classes_)}, "
                             f"not {list(classes)}")
        if len(classes) < 2:
            raise ValueError("ForestClassifier needs samples of at least 2 classes in the data, but the data "
                             f"contain only one class: {classes[0]!r}")
        self.classes_ = classes
        self.n_classes_ = len(classes)
        self.n_outputs_ = 1
        self._fit_forest(X, y, encoded.astype(np.int32), len(classes), sample_weight)

    def _score_oob(self, record, encoded, seen):
        votes, trees = record["oob_votes"], record["oob_trees"]
        with np.errstate(invalid="ignore", divide="ignore"):
            self.oob_decision_function_ = votes / trees[:, None]
        # The class with the most votes, the first of classes_ among ties.
        correct = np.argmax(votes[seen], axis=1) == encoded[seen]
        self.oob_score_ = float(correct.mean()) if seen.any() else float("nan")

    def predict_proba(self, X):
        """Share of the trees voting for each class, columns in classes_ order."""
        X = self._check_input(X)
        return self._forest.predict_proba(X, _threads(self.n_jobs))

    def predict_log_proba(self, X):
        """The natural logarithm of predict_proba (minus infinity for a class
        no tree votes for)."""
        with np.errstate(divide="ignore"):
            return np.log(self.predict_proba(X))

    def predict(self, X):
        """The majority class of the trees (the first of classes_ among ties)."""
        X = self._check_input(X)
        return self.classes_[self._forest.predict(X, _threads(self.n_jobs))]

    @classmethod
    def load_model(cls, path, classes=None, desc_file=None, feature_dtype=None, **params):
        """A classifier with the forest of a sylvor model file. The classes
        come from `classes`, from PATH.meta (written by save_model: the
        labels with their type), or from the label lines of the description
        `desc_file` (by default PATH.bdf; class numbers when there is none
        of them); given classes must be those of PATH.meta. Every leaf must
        vote for one of the classes: a class number 0, 1, ... below their
        count or, for a description of plus-one-minus-one labels, -1 (the
        first class) or +1 (the second). Rows are predicted as feature_dtype
        (float32 or float64): by default the type recorded in PATH.meta;
        without it, rows are taken as they come (a model the program learned
        with its default --feature-type float predicts exactly as the
        program's test with feature_dtype="float32"). The parameters are
        those saved, updated by `params`."""
        return _persistence.load_classifier(cls, path, classes, desc_file, feature_dtype, params)



class ForestRegressor(RegressorMixin, _BaseForest):
    __doc__ = """A random forest regressor (the mean of the trees' leaves).

    Parameters
    ----------
    n_estimators : int, default=100
        Number of trees.
    criterion : {"squared_error", "variance"}, default="squared_error"
        Split criterion: the decrease of the size-weighted variance.
    max_features : {"sqrt", "log2"}, int, float or None, default=1.0
        Features tried per split (see ForestClassifier); 1.0 and None are
        all of them, as is "auto".
""" + _COMMON_PARAMETERS + """
    keep_leaf_samples : bool, default=False
        Keep, per tree, the training instances each leaf holds (as drawn)
        and the training targets: a quantile regression forest, whose
        ``predict_quantiles`` gives conditional quantiles and
        ``predict_interval`` intervals. 4 bytes per draw and per node of
        each tree (726 MB for 100 trees on 1,000,000 rows).

    With oob_score, ``oob_prediction_`` holds the mean of each instance's
    out-of-bag trees (NaN without any) and ``oob_score_`` their R^2; the
    permutation importances are increases of the out-of-bag mean squared
    error.
    """
    _criteria = ("variance",)
    _criterion_aliases = {"squared_error": "variance"}
    keep_leaf_samples = False  # what regressors pickled before the parameter existed kept
    _parameter_constraints = _constraints(_criteria + tuple(_criterion_aliases))

    def __init__(self, n_estimators=100, *, criterion="squared_error", max_depth=None, min_samples_split=2,
                 min_samples_leaf=1, max_features=1.0, max_leaf_nodes=None, bootstrap=True, oob_score=False,
                 n_jobs=None, random_state=None, verbose=0, warm_start=False, max_samples=None,
                 compute_permutation_importances=False, min_instances_per_node=None, bootstrap_fraction=None,
                 missing_values="split", categorical_features="from_dtype", min_weight_fraction_leaf=0.0,
                 min_impurity_decrease=0.0, ccp_alpha=0.0, keep_leaf_samples=False):
        super().__init__(n_estimators, criterion, max_depth, min_samples_split, min_samples_leaf, max_features,
                         max_leaf_nodes, bootstrap, oob_score, n_jobs, random_state, verbose, warm_start, max_samples,
                         compute_permutation_importances, min_instances_per_node, bootstrap_fraction,
                         missing_values, categorical_features, min_weight_fraction_leaf, min_impurity_decrease,
                         ccp_alpha)
        self.keep_leaf_samples = keep_leaf_samples

    def _fit(self, X, y, sample_weight):
        warm = self.warm_start and hasattr(self, "_forest")
        if warm and bool(self.keep_leaf_samples) != self._forest.has_leaf_samples:
            raise ValueError(f"a warm start grows the forest as it was learned, with "
                             f"keep_leaf_samples={self._forest.has_leaf_samples}, not {bool(self.keep_leaf_samples)}")
        _check_one_output(y, "MultiOutputRegressor(ForestRegressor())")
        X = self._rows_of(X, fitting=not warm)
        X, y = self._validate_data(X, y, dtype=_FLOATS, force_all_finite="allow-nan", y_numeric=True,
                                   reset=not warm)
        self.n_outputs_ = 1
        y = np.ascontiguousarray(y, dtype=np.float64)
        self._fit_forest(X, y, y, 1, sample_weight)

    def _score_oob(self, record, y, seen):
        self.oob_prediction_ = record["oob_prediction"]
        # R^2 does not change when both sides are scaled by a power of two:
        # scaled, its squares neither overflow nor underflow.
        exponent = _target_exponent(y)
        self.oob_score_ = float(r2_score(np.ldexp(y[seen], -exponent),
                                         np.ldexp(self.oob_prediction_[seen], -exponent))) \
            if seen.sum() > 1 else float("nan")

    def predict(self, X, quantiles=None):
        """The mean of the trees' leaves at each row of X; with `quantiles`
        (a number in [0, 1], or several), the conditional quantiles of
        predict_quantiles instead: one per row for a number, one column per
        quantile for several."""
        if quantiles is not None:
            result = self.predict_quantiles(X, np.atleast_1d(quantiles))
            return result[:, 0] if np.ndim(quantiles) == 0 else result
        X = self._check_input(X)
        return self._forest.predict(X, _threads(self.n_jobs))

    def predict_quantiles(self, X, quantiles=(0.05, 0.5, 0.95)):
        """Per row of X and quantile q (in [0, 1]), the conditional
        q-quantile of the target (a forest fitted with
        keep_leaf_samples=True). Each tree gives weight 1/n to each of the n
        training draws in the leaf the row reaches; the q-quantile is the
        smallest training target whose weight, with that of the smaller
        targets, reaches q of the whole (no interpolation: always a training
        target, q=0 the smallest with weight, q=1 the largest).
        Returns an array of n_samples x len(quantiles)."""
        check_is_fitted(self)
        quantiles = np.asarray(quantiles, dtype=np.float64).ravel()
        if not self._forest.has_leaf_samples:
            raise ValueError("this forest was fitted without its leaf samples; fit it with keep_leaf_samples=True "
                             "for quantiles")
        X = self._check_input(X)
        return self._forest.predict_quantiles(X, quantiles.tolist(), _threads(self.n_jobs))

    def predict_interval(self, X, alpha=0.1, scaled=False):
        """Per row of X, an interval (low, high) that holds the target with
        probability at least 1 - alpha when new rows are like the training
        rows (a forest fitted with keep_leaf_samples=True): the forest's
        mean plus and minus a half width calibrated on the training rows'
        out-of-bag residuals (conformal prediction, no held-out split). With
        scaled=True the residuals are taken relative to each row's spread
        (the interquartile range of its quantiles), so the intervals are
        wide where the forest is unsure and narrow where it is not.
        Returns an array of n_samples x 2."""
        check_is_fitted(self)
        if not hasattr(self, "_conformal_scores"):
            if self._forest.has_leaf_samples:
                # Joined from subforests without the training rows: each
                # subforest's residuals miss the other subforests' trees.
                raise ValueError("this forest's intervals need the out-of-bag residuals of all its trees: join its "
                                 "subforests with the training rows (sylvor.distributed.join_forests(estimator, "
                                 "subforests, y, X))")
            raise ValueError("this forest was fitted without its leaf samples; fit it with keep_leaf_samples=True "
                             "for intervals")
        scores = self._conformal_scores
        half = _intervals.interval_half_width(scores["scaled" if scaled else "absolute"], alpha)
        center = self.predict(X)
        if scaled:
            half = half * (_intervals.spread_at(self, X) + scores["floor"])
        return np.column_stack([center - half, center + half])

    @classmethod
    def load_model(cls, path, n_features=None, feature_dtype=None, **params):
        """A regressor with the forest of a sylvor model file; the number of
        features comes from n_features, PATH.meta or PATH.medians. Rows are
        predicted as feature_dtype (float32 or float64): by default the type
        recorded in PATH.meta; without it, rows are taken as they come."""
        return _persistence.load_regressor(cls, path, n_features, feature_dtype, params)


