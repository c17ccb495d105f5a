"""The scikit-learn estimators over the PySylvor_wrap extension."""
import math
import numbers
import os
import re
import tempfile
import warnings

import numpy as np
from sklearn.base import BaseEstimator, ClassifierMixin, RegressorMixin
from sklearn.metrics import r2_score
from sklearn.utils import check_random_state
from sklearn.utils.multiclass import check_classification_targets
from sklearn.utils.validation import check_is_fitted

import PySylvor_wrap as _wrap

_FLOATS = [np.float64, np.float32]


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
    if not isinstance(n_jobs, (int, np.integer)) or isinstance(n_jobs, (bool, np.bool_)) or n_jobs == 0:
        raise ValueError(f"n_jobs must be None or a non-zero integer, got {n_jobs!r}")
    return int(n_jobs) if n_jobs > 0 else max(1, cores + 1 + int(n_jobs))


class _BaseForest(BaseEstimator):
    _criteria = ()
    _criterion_aliases = {}
    _auto_max_features = None

    def __init__(self, n_estimators, criterion, max_features, max_depth, min_instances_per_node,
                 bootstrap_fraction, n_jobs, random_state, oob_score, compute_permutation_importances, verbose):
        self.n_estimators = n_estimators
        self.criterion = criterion
        self.max_features = max_features
        self.max_depth = max_depth
        self.min_instances_per_node = min_instances_per_node
        self.bootstrap_fraction = bootstrap_fraction
        self.n_jobs = n_jobs
        self.random_state = random_state
        self.oob_score = oob_score
        self.compute_permutation_importances = compute_permutation_importances
        self.verbose = verbose

    def _more_tags(self):
        return {"allow_nan": True}

    # ---------------------------------------------------------------- fitting
    def _features_per_split(self, n_features):
        m = self.max_features
        if isinstance(m, str) and m == "auto":
            # Older scikit-learn's default: sqrt for classifiers, all for regressors.
            m = self._auto_max_features
        if m is None:
            return 0
        if isinstance(m, str):
            if m == "sqrt":
                return max(1, int(math.sqrt(n_features)))
            if m == "log2":
                return max(1, int(math.log2(n_features)))
            raise ValueError(f"max_features must be None, an int, a float, 'sqrt' or 'log2', got {m!r}")
        if isinstance(m, (bool, np.bool_)):
            raise ValueError(f"max_features must be None, an int, a float, 'sqrt' or 'log2', got {m!r}")
        if isinstance(m, (int, np.integer)):
            if m < 1:
                raise ValueError(f"max_features must be at least 1, got {m}")
            return min(int(m), n_features)
        if isinstance(m, (float, np.floating)):
            if not 0.0 < m <= 1.0:
                raise ValueError(f"max_features as a fraction must lie in (0, 1], got {m}")
            return max(1, int(m * n_features))
        raise ValueError(f"max_features must be None, an int, a float, 'sqrt' or 'log2', got {m!r}")

    def _learn(self, X, y, num_classes):
        if not isinstance(self.n_estimators, (int, np.integer)) or self.n_estimators < 1:
            raise ValueError(f"n_estimators must be a positive integer, got {self.n_estimators!r}")
        criterion = self._criterion_aliases.get(self.criterion, self.criterion) \
            if isinstance(self.criterion, str) else self.criterion
        if criterion not in self._criteria:
            accepted = list(self._criteria) + list(self._criterion_aliases)
            raise ValueError(f"criterion must be one of {', '.join(accepted)}, got {self.criterion!r}")
        if self.max_depth is not None and (not isinstance(self.max_depth, (int, np.integer)) or self.max_depth < 1):
            raise ValueError(f"max_depth must be None or a positive integer, got {self.max_depth!r}")
        if not isinstance(self.min_instances_per_node, (int, np.integer)) or self.min_instances_per_node < 1:
            raise ValueError(f"min_instances_per_node must be a positive integer, got {self.min_instances_per_node!r}")
        if not self.bootstrap_fraction > 0:
            raise ValueError(f"bootstrap_fraction must be positive, got {self.bootstrap_fraction!r}")
        n_samples = X.shape[0]
        if n_samples > 1 and not float(self.bootstrap_fraction) * n_samples >= 1.0:
            raise ValueError(f"bootstrap_fraction={self.bootstrap_fraction!r} of {n_samples} samples gives empty "
                             f"bootstrap samples; it must be at least 1/{n_samples}")
        for name in ("oob_score", "compute_permutation_importances"):
            if not isinstance(getattr(self, name), (bool, np.bool_)):
                raise ValueError(f"{name} must be True or False, got {getattr(self, name)!r}")
        if not isinstance(self.verbose, (int, np.integer)) or self.verbose < 0:
            raise ValueError(f"verbose must be a non-negative integer, got {self.verbose!r}")
        self.feature_medians_ = _column_medians(X)
        X = _fill_missing(X, self.feature_medians_)
        result = _wrap.learn(
            X.T, y, criterion=criterion, num_classes=num_classes, num_trees=int(self.n_estimators),
            sample_prop=float(self.bootstrap_fraction), fte_per_split=self._features_per_split(X.shape[1]),
            max_depth=0 if self.max_depth is None else int(self.max_depth),
            min_instances_per_node=int(self.min_instances_per_node), num_threads=_threads(self.n_jobs),
            compute_importances=True, oob=bool(self.oob_score),
            permutation_importances=bool(self.compute_permutation_importances), verbose=int(self.verbose),
            seed=seed_of(self.random_state), first_tree=int(getattr(self, "_first_tree", 0)))
        self.estimators_ = result[0]
        self.feature_importances_ = result[1]
        extras = result[2] if len(result) > 2 else {}
        if self.compute_permutation_importances:
            self.permutation_importances_ = extras["permutation_importances"]
        if self.oob_score:
            self._set_oob(extras, y)

    def _set_oob(self, extras, y):
        """Sets the out-of-bag attributes from the extension's out-of-bag
        record ("oob_trees" with "oob_votes" or "oob_prediction")."""
        trees = extras["oob_trees"]
        self._oob_record = extras  # kept for joining sub-forests
        missing = int((trees == 0).sum())
        if missing:
            warnings.warn(f"{missing} of {len(trees)} instances are in the sample of every tree and have no "
                          "out-of-bag prediction; they are left out of oob_score_ (more trees leave fewer out)",
                          UserWarning)
        self._score_oob(extras, y, trees > 0)

    def _check_input(self, X):
        """X validated, its missing values filled with the training medians."""
        check_is_fitted(self, "estimators_")
        X = self._validate_data(X, reset=False, dtype=_FLOATS, force_all_finite="allow-nan")
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
        leaves = np.zeros((X.shape[0], len(self.estimators_)), np.int32)
        _wrap.apply(X.T, self.estimators_, leaves, _threads(self.n_jobs))
        return leaves

    # ------------------------------------------------------------ persistence
    def save_model(self, path, format="vectortxt"):
        """Writes the forest as a model file of the sylvor program ("lisp" or
        "vectortxt") and the training medians as PATH.medians, which fill
        missing values when the program tests the model or load_model reads
        it back. A classifier also writes PATH.bdf, a description of
        data files laid out as the features followed by the class name, with
        one label line per class of classes_."""
        check_is_fitted(self, "estimators_")
        if format not in ("lisp", "vectortxt"):
            raise ValueError(f"format must be 'lisp' or 'vectortxt', got {format!r}")
        # Everything that can be checked is checked before anything is written.
        description = self._description()
        folder = os.path.dirname(os.path.abspath(path))
        if not os.path.isdir(folder):
            raise FileNotFoundError(f"cannot write {path!r}: the folder {folder!r} does not exist")
        if os.path.isdir(path):
            raise IsADirectoryError(f"cannot write {path!r}: it is a folder")
        # Each file is written to a temporary file beside it and renamed into
        # place, so a failure leaves the earlier files as they were.
        medians = getattr(self, "feature_medians_", None)
        if medians is not None:
            medians = np.ascontiguousarray(medians, dtype=np.float64)
        _wrap.write_model(path, self.estimators_, format, medians)
        if description is not None:
            _write_whole(path + ".bdf", description)

    def _description(self):
        return None


def _column_medians(X):
    """The upper median of each column's non-NaN values (0 for a column
    without any), as float64: the values the extension fills in."""
    medians = np.zeros(X.shape[1], np.float64)
    for f in range(X.shape[1]):
        column = X[:, f]
        present = column[~np.isnan(column)]
        if len(present):
            medians[f] = np.partition(present, len(present) // 2)[len(present) // 2]
    return medians


def _fill_missing(X, medians):
    """X with each NaN replaced by its column's median (X itself when it has
    none), in X's dtype."""
    missing = np.isnan(X)
    if not missing.any():
        return X
    return np.where(missing, np.asarray(medians, dtype=X.dtype)[None, :], X)


def _read_medians(path):
    """The medians recorded beside a model file, or None (with a warning
    when the file beside it belongs to another model)."""
    state, medians = _wrap.read_medians(path)
    if state == "stale":
        warnings.warn(f"{path}.medians was written for another model than {path!r} and is ignored", UserWarning)
    return medians


def _write_whole(path, text):
    """Writes `text` to a temporary file beside `path` and renames it into
    place; on failure the temporary file is removed and `path` untouched."""
    folder, name = os.path.split(os.path.abspath(path))
    handle, temporary = tempfile.mkstemp(prefix=f".{name}.tmp.", dir=folder)
    try:
        with os.fdopen(handle, "w") as out:
            out.write(text)
            out.flush()
        os.chmod(temporary, 0o666 & ~_umask())
        os.replace(temporary, path)
    except BaseException:
        os.unlink(temporary)
        raise


def _umask():
    """The process's file-creation mask, read without changing it (setting it
    to read it back would race with files other threads create)."""
    try:
        with open("/proc/self/status") as status:
            for line in status:
                if line.startswith("Umask:"):
                    return int(line.split()[1], 8)
    except OSError:
        pass
    return 0o022


def _read_description(path):
    """The number of features (None when not given) and the class names by
    class number of a description file; (None, {}) when there is none."""
    if not os.path.exists(path):
        return None, {}
    return _wrap.read_description(path)


class ForestClassifier(ClassifierMixin, _BaseForest):
    """A random forest classifier.

    Parameters
    ----------
    n_estimators : int, default=30
        Number of trees.
    criterion : {"gini", "infogain", "gainratio"}, default="gini"
        Split criterion; scikit-learn's "entropy" and "log_loss" are
        information gain, "gain_ratio" is gain ratio.
    max_features : None, int, float, "sqrt", "log2" or "auto", default=None
        Features tried per split: all (None), a number, a fraction of them,
        or the square root or log2 of their number; "auto", as in older
        scikit-learn, is "sqrt" for the classifier and all for the
        regressor.
    max_depth : int or None, default=None
        Maximum depth of a tree; None for no limit.
    min_instances_per_node : int, default=1
        A node with at most this many instances becomes a leaf.
    bootstrap_fraction : float, default=1.0
        Size of each tree's bootstrap sample as a fraction of the data.
    n_jobs : int or None, default=None
        Threads; None or -1 use every core, -2 all but one, and so on, as
        in joblib. The forest does not depend on them.
    random_state : int, RandomState or None, default=None
        Decides the forest: each tree draws from a generator derived from the
        seed and its number alone, so a fit is reproducible whatever n_jobs.
        An int from 1 to 2**31 - 1 is the seed itself: the sylvor program
        learns the same trees with ``--seed N --seeding per-tree``.
    oob_score : bool, default=False
        Estimate the accuracy on the out-of-bag instances: each instance is
        predicted by the trees whose bootstrap sample left it out.
    compute_permutation_importances : bool, default=False
        For each tree and feature, the out-of-bag accuracy lost when the
        feature's values are shuffled among the tree's out-of-bag instances,
        averaged over the trees. The shuffles draw from generators of their
        own, so the forest is the same with or without them.
    verbose : int, default=0
        1 shows a progress line (trees grown, elapsed, time left) on
        sys.stderr while the forest grows.

    Attributes beyond scikit-learn's usual ones: ``oob_score_`` and
    ``oob_decision_function_`` (share of the out-of-bag votes per class; NaN
    rows for instances without out-of-bag trees) with oob_score, and
    ``permutation_importances_`` with compute_permutation_importances.
    None of them changes the forest learned.

    Missing values (NaN) in X are replaced by the median of their feature
    over the training rows (``feature_medians_``), at fit and at prediction,
    so a row's prediction depends on that row alone. save_model writes the
    medians beside the model (PATH.medians), where the program's test
    commands and load_model find them.
    """
    _criteria = ("gini", "infogain", "gainratio")
    # scikit-learn's names: both of its entropy criteria are information gain.
    _criterion_aliases = {"entropy": "infogain", "log_loss": "infogain", "gain_ratio": "gainratio"}
    _auto_max_features = "sqrt"

    def __init__(self, n_estimators=30, criterion="gini", max_features=None, max_depth=None,
                 min_instances_per_node=1, bootstrap_fraction=1.0, n_jobs=None, random_state=None,
                 oob_score=False, compute_permutation_importances=False, verbose=0):
        super().__init__(n_estimators, criterion, max_features, max_depth, min_instances_per_node,
                         bootstrap_fraction, n_jobs, random_state, oob_score, compute_permutation_importances,
                         verbose)

    def fit(self, X, y):
        X, y = self._validate_data(X, y, dtype=_FLOATS, force_all_finite="allow-nan")
        check_classification_targets(y)
        self.classes_, encoded = np.unique(y, return_inverse=True)
        if len(self.classes_) < 2:
            raise ValueError("ForestClassifier needs samples of at least 2 classes in the data, but the data "
                             f"contain only one class: {self.classes_[0]!r}")
        self.n_classes_ = len(self.classes_)
        self.n_outputs_ = 1
        self._learn(X, encoded.astype(np.int32), len(self.classes_))
        return self

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
        probabilities = np.zeros((X.shape[0], len(self.classes_)), np.float64)
        prob = _wrap.prob_dd if X.dtype == np.float64 else _wrap.prob_sd
        prob(X.T, self.estimators_, len(self.classes_), probabilities, _threads(self.n_jobs))
        return probabilities

    def predict_log_proba(self, X):
        """The natural logarithm of predict_proba (minus infinity for a class
        no tree votes for)."""
        with np.errstate(divide="ignore"):
            return np.log(self.predict_proba(X))

    def predict(self, X):
        """The majority class of the trees (the first of classes_ among ties)."""
        X = self._check_input(X)
        labels = np.zeros(X.shape[0], np.int32)
        test = _wrap.test_di if X.dtype == np.float64 else _wrap.test_si
        test(X.T, self.estimators_, len(self.classes_), labels, _threads(self.n_jobs))
        return self.classes_[labels]

    def _description(self):
        names = [str(c) for c in self.classes_]
        for name in names:
            if not name or re.search(r"[\s#]", name):
                raise ValueError(f"class name {name!r} cannot be written into a description file "
                                 "(it is empty or holds white space or '#')")
        n = self.n_features_in_
        return (f"num-features {n}\nclass-column {n}\n" +
                "".join(f"label {i} {name}\n" for i, name in enumerate(names)))

    @classmethod
    def load_model(cls, path, classes=None, **params):
        """A classifier with the forest of a sylvor model file. The classes
        come from `classes` or from the label lines of PATH.bdf (class
        numbers when there is neither)."""
        model = cls(**params)
        model.estimators_ = _wrap.read_model(path)
        n_features, labels = _read_description(path + ".bdf")
        leaves = np.concatenate([t[4][t[0] < 0] for t in model.estimators_]) if model.estimators_ else []
        if classes is None:
            count = max(list(labels) + [int(v) for v in leaves] + [0]) + 1
            classes = [labels.get(i, i) for i in range(count)]
        elif len(leaves) and int(np.max(leaves)) >= len(classes):
            raise ValueError(f"the model's leaves hold class numbers up to {int(np.max(leaves))}, so it needs at "
                             f"least {int(np.max(leaves)) + 1} classes, but {len(classes)} were given")
        model.classes_ = np.asarray(classes)
        model.n_classes_ = len(model.classes_)
        model.n_outputs_ = 1
        model.feature_medians_ = _read_medians(path)
        model.n_features_in_ = _feature_count(n_features, model.feature_medians_, model.estimators_)
        model.feature_importances_ = None
        return model


class ForestRegressor(RegressorMixin, _BaseForest):
    """A random forest regressor (the mean of the trees' leaves).

    Parameters are those of ForestClassifier, but for criterion
    ("variance", the only one, also named "squared_error"), min_instances_per_node (default 5) and
    bootstrap_fraction (default 0.632), the defaults of the sylvor program's
    learn-regress. As for the classifier, random_state alone decides the
    forest, whatever n_jobs.

    With oob_score, ``oob_prediction_`` holds the mean of each instance's
    out-of-bag trees (NaN without any) and ``oob_score_`` their R^2; the
    permutation importances are increases of the out-of-bag mean squared
    error.
    """
    _criteria = ("variance",)
    _criterion_aliases = {"squared_error": "variance"}

    def __init__(self, n_estimators=30, criterion="variance", max_features=None, max_depth=None,
                 min_instances_per_node=5, bootstrap_fraction=0.632, n_jobs=None, random_state=None,
                 oob_score=False, compute_permutation_importances=False, verbose=0):
        super().__init__(n_estimators, criterion, max_features, max_depth, min_instances_per_node,
                         bootstrap_fraction, n_jobs, random_state, oob_score, compute_permutation_importances,
                         verbose)

    def fit(self, X, y):
        X, y = self._validate_data(X, y, dtype=_FLOATS, force_all_finite="allow-nan", y_numeric=True)
        self.n_outputs_ = 1
        self._learn(X, np.ascontiguousarray(y, dtype=np.float64), 1)
        return self

    def _score_oob(self, record, y, seen):
        self.oob_prediction_ = record["oob_prediction"]
        self.oob_score_ = float(r2_score(y[seen], self.oob_prediction_[seen])) if seen.sum() > 1 else float("nan")

    def predict(self, X):
        X = self._check_input(X)
        values = np.zeros(X.shape[0], np.float64)
        _wrap.predict_regression(X.T, self.estimators_, values, _threads(self.n_jobs))
        return values

    @classmethod
    def load_model(cls, path, n_features=None, **params):
        """A regressor with the forest of a sylvor model file."""
        model = cls(**params)
        model.estimators_ = _wrap.read_model(path)
        model.n_outputs_ = 1
        model.feature_medians_ = _read_medians(path)
        model.n_features_in_ = _feature_count(n_features, model.feature_medians_, model.estimators_)
        model.feature_importances_ = None
        return model


def _feature_count(given, medians, trees):
    """The number of features of a loaded model: as given (a description's
    num-features), else one per recorded median, else one more than the
    largest feature index the trees test."""
    if given is not None:
        return given
    if medians is not None:
        return len(medians)
    return _features_used(trees)


def _features_used(trees):
    """One more than the largest feature index the trees test."""
    used = [int(t[2][t[0] >= 0].max()) for t in trees if (t[0] >= 0).any()]
    return max(used) + 1 if used else 1
