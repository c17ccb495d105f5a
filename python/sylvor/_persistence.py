"""Saving the estimators as sylvor model files and loading them back.

A saved model is the model file the program reads (lisp or vectortxt) and
its companions beside it: PATH.medians (the training medians), PATH.meta
(what the model file cannot hold: the class labels and their type, the
feature names and count, the feature type learned on, the parameters and
the importances) and, for a classifier, PATH.bdf (a description of data
files for the program). Every companion names the bytes of the model it
was written with, and a reader checks it against the model bytes it
parsed, so a model and a companion of two different saves never pair.
"""
import hashlib
import os
import re
import warnings

import numpy as np

import PySylvor_wrap as _wrap

from . import _metadata


def save_model(estimator, path, format):
    """Writes a fitted estimator's model file and companions at `path`;
    every file is written whole before any is put in place, the model last."""
    if format not in ("lisp", "vectortxt"):
        raise ValueError(f"format must be 'lisp' or 'vectortxt', got {format!r}")
    # Everything that can be checked is checked before anything is written.
    _check_level_names(estimator)
    description = _description_of(estimator)
    if hasattr(estimator, "classes_"):
        _metadata.encode_labels(estimator.classes_)
    folder = os.path.dirname(os.path.abspath(path))
    if not os.path.isdir(folder):
        raise FileNotFoundError(f"cannot write {path!r}: the folder {folder!r} does not exist")
    if os.path.isdir(path):
        raise IsADirectoryError(f"cannot write {path!r}: it is a folder")
    medians = getattr(estimator, "feature_medians_", None)
    if medians is not None:
        medians = np.ascontiguousarray(medians, dtype=np.float64)
    text = estimator._forest.model_text(format)
    digest = hashlib.sha256(text).hexdigest()
    companions = []
    if description is not None:
        companions.append((".bdf", (_metadata.model_digest_comment(digest) + description).encode()))
    companions.append((".meta", _metadata.to_text(_metadata.metadata_of(estimator, digest)).encode()))
    _wrap.write_model_text(path, text, medians, companions)


# What a level name in a model file cannot hold.
_LEVEL_NAME_BREAKS = re.compile(r"[ \t\n\r\v\f,]")


def _check_level_names(estimator):
    """ValueError, naming the feature and the level, unless every level
    name of the categorical features is one word of 1 to 254 bytes without
    white space or commas, as a model file holds them."""
    categories = getattr(estimator, "categories_", None) or []
    names = getattr(estimator, "feature_names_in_", None)
    for j, levels in enumerate(categories):
        for level in levels if levels is not None else []:
            if not level or len(str(level).encode()) > 254 or _LEVEL_NAME_BREAKS.search(str(level)):
                feature = repr(str(names[j])) if names is not None else str(j)
                raise ValueError(f"level {str(level)!r} of categorical feature {feature} cannot be written in a "
                                 "model file, where a level name is one word of 1 to 254 bytes without white "
                                 "space or commas: rename the levels (pickling keeps any name)")


def _description_of(estimator):
    """A classifier's description text (features, the categorical ones
    named, then the class column with one label line per class); None for a
    regressor."""
    if not hasattr(estimator, "classes_"):
        return None
    names = _description_names([str(c) for c in estimator.classes_])
    n = estimator.n_features_in_
    mask = getattr(estimator, "is_categorical_", None)
    categorical = "".join(f"categorical {j}\n" for j in np.flatnonzero(mask)) if mask is not None else ""
    return (f"num-features {n}\nclass-column {n}\n" + categorical +
            "".join(f"label {i} {name}\n" for i, name in enumerate(names)))


def load_classifier(cls, path, classes, desc_file, feature_dtype, params):
    """A fitted `cls` (a classifier) from the model file at `path`; see
    ForestClassifier.load_model."""
    if desc_file is not None and not os.path.exists(desc_file):
        raise FileNotFoundError(f"the description file {desc_file!r} does not exist")
    model, meta, trees, digest = _loaded(cls, path, params, feature_dtype)
    n_features, labels, labeling = _read_description(desc_file if desc_file is not None else path + ".bdf",
                                                     path, digest, explicit=desc_file is not None)
    saved = _metadata.decode_labels(meta["classes"]) if meta is not None else None
    if classes is not None:
        classes = np.asarray(classes)
        if saved is not None and not np.array_equal(classes, saved):
            raise ValueError(f"the classes given, {list(classes)}, are not those the model was saved with, "
                             f"{list(saved)}")
    elif saved is not None:
        classes = saved
    if labeling == "plus-one-minus-one":
        classes, trees = _plus_minus_classes(trees, classes, labels)
    else:
        classes = _numbered_classes(trees, classes, labels)
    model.classes_ = classes
    model.n_classes_ = len(classes)
    _set_feature_count(model, meta["n_features_in"] if meta is not None else n_features, trees)
    _set_loaded_forest(model, trees, len(classes))
    return model


def _leaf_values(trees):
    return np.concatenate([t[4][t[0] < 0] for t in trees])


def _plus_minus_classes(trees, classes, labels):
    """The classes of a model of plus-one-minus-one labels and its trees
    with the program's -1 and +1 mapped to the classes 0 and 1."""
    leaves = _leaf_values(trees)
    if not np.isin(leaves, (-1.0, 1.0)).all():
        odd = leaves[~np.isin(leaves, (-1.0, 1.0))][0]
        raise ValueError(f"the model's leaves vote for {odd:g}, but a model of plus-one-minus-one labels "
                         "votes for -1 and +1 only")
    if classes is None:
        classes = np.asarray([labels.get(-1, "-1"), labels.get(1, "+1")])
    if len(classes) != 2:
        raise ValueError(f"a model of plus-one-minus-one labels has 2 classes (-1 and +1), but "
                         f"{len(classes)} were given")
    return classes, [_with_leaves_mapped(t, lambda v: (v + 1.0) / 2.0) for t in trees]


def _numbered_classes(trees, classes, labels):
    """The classes of a model whose leaves hold class numbers 0, 1, ...:
    those given, else the description's names (numbers without one)."""
    leaves = _leaf_values(trees)
    whole = (leaves == np.trunc(leaves)) & (leaves >= 0)
    if not whole.all():
        odd = leaves[~whole][0]
        hint = ("; a model of plus-one-minus-one labels needs its description (desc_file, or PATH.bdf "
                "beside the model)" if odd == -1 else "")
        raise ValueError(f"the model's leaves vote for {odd:g}, which is not a class number "
                         f"(0, 1, ...){hint}")
    needed = int(leaves.max()) + 1
    if classes is None:
        count = max(list(labels) + [needed - 1, 0]) + 1
        classes = np.asarray([labels.get(i, i) for i in range(count)])
    if needed > len(classes):
        raise ValueError(f"the model's leaves hold class numbers up to {needed - 1}, so it needs at least "
                         f"{needed} classes, but {len(classes)} were given")
    return classes


def load_regressor(cls, path, n_features, feature_dtype, params):
    """A fitted `cls` (a regressor) from the model file at `path`; see
    ForestRegressor.load_model."""
    model, meta, trees, _ = _loaded(cls, path, params, feature_dtype)
    _set_feature_count(model, n_features if n_features is not None
                       else meta["n_features_in"] if meta is not None else None, trees)
    _set_loaded_forest(model, trees, 0)
    return model


def _set_loaded_forest(model, trees, num_classes):
    """Makes the forest of the parsed trees the model's, with the missing
    sides, level sets and level names read with them."""
    levels = model.__dict__.pop("_feature_levels")
    model._set_forest(_wrap.Forest.from_arrays(trees, num_classes, None, model.__dict__.pop("_missing_sides"),
                                               model.__dict__.pop("_level_sets"), levels))
    if levels is None:
        model.is_categorical_ = model.categories_ = None
        return
    if len(levels) > model.n_features_in_:
        raise ValueError(f"the model names levels of feature {len(levels) - 1}, but it has "
                         f"{model.n_features_in_} features")
    model.categories_ = [None if names is None else np.asarray(names, dtype=object) for names in levels]
    model.categories_ += [None] * (model.n_features_in_ - len(levels))
    model.is_categorical_ = np.array([names is not None for names in model.categories_], dtype=bool)


def _read_model_bytes(path):
    """The bytes of a model file, refused when it is missing, not a
    regular file, or empty."""
    if not os.path.exists(path):
        raise FileNotFoundError(f"the model file {path!r} does not exist")
    if not os.path.isfile(path):
        raise ValueError(f"the model file {path!r} is not a regular file")
    if os.path.getsize(path) == 0:
        raise ValueError(f"the model file {path!r} is empty")
    with open(path, "rb") as source:
        return source.read()


def _loaded(cls, path, params, feature_dtype):
    """A model of the parameters saved beside `path`, updated by those
    given, with what the companions hold; its metadata (or None); the trees
    of `path` as arrays, for the caller to make its forest of; and the
    digest of the model bytes read."""
    # The model's bytes are read once: the trees are parsed from them and
    # every companion is checked against them (the file may be replaced
    # meanwhile).
    text = _read_model_bytes(path)
    try:
        # Read as a regressor's, whose leaves are not checked against classes.
        parsed = _wrap.Forest.from_model_text(text, 0)
    except (RuntimeError, ValueError) as error:
        raise ValueError(f"model file {path!r}: {error}") from None
    trees = [np.array(tree) for tree in parsed.tree_arrays()]
    digest = hashlib.sha256(text).hexdigest()
    meta = _metadata.read(path + ".meta", path, digest, lambda message: warnings.warn(message, UserWarning))
    if meta is not None and meta.get("estimator") != cls.__name__:
        raise ValueError(f"{path!r} was saved from a {meta.get('estimator')}: load it with "
                         f"{meta.get('estimator')}.load_model")
    saved = dict(meta["params"]) if meta is not None else {}
    valid = cls().get_params(deep=False)
    saved = {k: v for k, v in saved.items() if k in valid}
    saved.update(params)
    model = cls(**saved)
    model.n_outputs_ = 1
    if feature_dtype is None and meta is not None:
        feature_dtype = meta.get("feature_dtype")
    if feature_dtype is not None:
        model._feature_dtype = np.dtype(feature_dtype)
        if model._feature_dtype not in (np.float32, np.float64):
            raise ValueError(f"feature_dtype must be float32 or float64, not {feature_dtype!r}")
    model.feature_medians_ = _read_medians(path, text)
    # The parameter says how the forest learned.
    model.missing_values = parsed.missing_values
    model._missing_sides = parsed.missing_sides()
    model._level_sets = parsed.level_sets()
    model._feature_levels = parsed.feature_levels
    _set_recorded_attributes(model, meta)
    return model, meta, trees, digest


def _set_recorded_attributes(model, meta):
    """The feature names, importances and out-of-bag score PATH.meta holds."""
    if meta is not None:
        if "feature_names_in" in meta:
            model.feature_names_in_ = np.asarray(meta["feature_names_in"], dtype=object)
        for name in ("feature_importances_", "permutation_importances_"):
            if name in meta:
                setattr(model, name, np.asarray(meta[name], dtype=np.float64))
        if "oob_score_" in meta:
            model.oob_score_ = meta["oob_score_"]
    if getattr(model, "feature_importances_", None) is None:
        model.feature_importances_ = None


def _set_feature_count(model, given, trees):
    """Sets n_features_in_ of a loaded model (see _feature_count); the
    recorded medians must be one per feature, and the trees may test only
    those features."""
    model.n_features_in_ = _feature_count(given, model.feature_medians_, trees)
    medians = model.feature_medians_
    if medians is not None and len(medians) != model.n_features_in_:
        raise ValueError(f"the model's medians file holds {len(medians)} medians for {model.n_features_in_} "
                         "features")
    used = _features_used(trees)
    if used > model.n_features_in_:
        raise ValueError(f"the model's trees test feature {used - 1}, but it has {model.n_features_in_} "
                         "features")


def _with_leaves_mapped(tree, mapping):
    """A copy of a tree array whose leaf values are mapping(value)."""
    tree = tree.copy()
    leaves = tree[0] < 0
    tree[4][leaves] = mapping(tree[4][leaves])
    return tree


def _read_medians(path, model_text):
    """The medians recorded beside a model file whose bytes are model_text,
    or None (with a warning when the file beside it belongs to another
    model)."""
    try:
        state, medians = _wrap.read_medians(path, model_text)
    except RuntimeError as error:
        raise ValueError(str(error)) from None
    if state == "stale":
        warnings.warn(f"{path}.medians was written for another model than {path!r} and is ignored", UserWarning)
    return medians


def _read_description(path, model_path, model_sha256, explicit):
    """The number of features (None when not given), the class names by
    class number and the label type of a description file; (None, {},
    "discrete-zero-onward") when there is none. A description that names
    the model bytes it was written with (save_model writes such a line)
    must name those of model_path as they were read (their digest
    model_sha256): otherwise it is refused when it was given (`explicit`),
    and ignored with a warning when it was only found beside the model."""
    try:
        with open(path, "rb") as source:
            text = source.read()  # once: the file may be replaced meanwhile
    except FileNotFoundError:
        return None, {}, "discrete-zero-onward"
    named = _metadata.described_model(text)
    if named is not None and named != model_sha256:
        message = f"{path} was written for another model than {model_path!r}"
        if explicit:
            raise ValueError(message)
        warnings.warn(message + " and is ignored", UserWarning)
        return None, {}, "discrete-zero-onward"
    try:
        return _wrap.parse_description(text)
    except RuntimeError as error:
        raise ValueError(f"{path}: {error}") from None


def _description_names(names):
    """Class names for a description file: a name holding white space or '#'
    (or empty) gets '_' in their place, and a number after it when that name
    is taken; PATH.meta keeps the names themselves."""
    written, taken = [], set()
    for k, name in enumerate(names):
        safe = re.sub(r"[\s#]", "_", name) or f"class_{k}"
        if safe != name:
            while safe in taken or safe in names:
                safe = f"{safe}_{k}"
        taken.add(safe)
        written.append(safe)
    return written


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
