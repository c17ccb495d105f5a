"""What a saved estimator keeps beside its model file, in PATH.meta (JSON).

The model file holds the trees in the program's form: class numbers at the
leaves, features by position. The metadata keep what that form cannot hold:
the class labels with their dtype (ints stay ints, bools bools, strings with
spaces as they were), the feature names and count, the estimator's
parameters and its importances. They record the SHA-256 digest of the model
file they belong to, so that metadata left beside another model are
recognised and ignored.
"""
import hashlib
import json
import numbers
import warnings

import numpy as np

FORMAT = 1


def file_digest(path):
    digest = hashlib.sha256()
    with open(path, "rb") as model:
        for block in iter(lambda: model.read(1 << 20), b""):
            digest.update(block)
    return digest.hexdigest()


def _plain(value):
    """A JSON value for a parameter, or raises TypeError."""
    if value is None or isinstance(value, (bool, str)):
        return value
    if isinstance(value, (bool, np.bool_)):
        return bool(value)
    if isinstance(value, numbers.Integral):
        return int(value)
    if isinstance(value, numbers.Real):
        return float(value)
    if isinstance(value, dict):
        return {"pairs": [[_plain(k), _plain(v)] for k, v in value.items()]}
    raise TypeError(f"{value!r} cannot be written")


def _from_plain(value):
    if isinstance(value, dict) and set(value) == {"pairs"}:
        return {k: v for k, v in value["pairs"]}
    return value


def encode_labels(classes):
    """The classes as {"dtype", "values"}; ValueError for labels that JSON
    cannot carry exactly."""
    classes = np.asarray(classes)
    values = classes.tolist()
    for v in values:
        if not isinstance(v, (bool, int, float, str)):
            raise ValueError(f"the class label {v!r} of type {type(v).__name__} cannot be saved: labels must be "
                             "numbers, booleans or strings")
    return {"dtype": classes.dtype.str if classes.dtype != object else "object", "values": values}


def decode_labels(record):
    dtype = record["dtype"]
    return np.array(record["values"], dtype=object if dtype == "object" else np.dtype(dtype))


def metadata_of(estimator, model_path):
    """The metadata record of a fitted estimator saved as model_path."""
    params = {}
    for name, value in estimator.get_params(deep=False).items():
        try:
            params[name] = _plain(value)
        except TypeError:
            params[name] = None  # a RandomState, say: the saved forest no longer needs it
    record = {
        "format": FORMAT,
        "estimator": type(estimator).__name__,
        "model_sha256": file_digest(model_path),
        "n_features_in": int(estimator.n_features_in_),
        "params": params,
    }
    names = getattr(estimator, "feature_names_in_", None)
    if names is not None:
        record["feature_names_in"] = [str(n) for n in names]
    if hasattr(estimator, "classes_"):
        record["classes"] = encode_labels(estimator.classes_)
    for name in ("feature_importances_", "permutation_importances_"):
        value = getattr(estimator, name, None)
        if value is not None:
            record[name] = [float(v) for v in value]
    for name in ("oob_score_",):
        if hasattr(estimator, name):
            record[name] = float(getattr(estimator, name))
    return record


def to_text(record):
    return json.dumps(record, indent=1, allow_nan=True) + "\n"


def read(path, model_path):
    """The metadata of model_path from `path`: None when there are none, or
    (with a warning) when they belong to another model file."""
    try:
        with open(path) as source:
            text = source.read()
    except FileNotFoundError:
        return None
    try:
        record = json.loads(text)
    except ValueError as error:
        raise ValueError(f"{path}: not a metadata file of a saved estimator ({error})") from None
    found = record.get("format") if isinstance(record, dict) else None
    if found != FORMAT:
        raise ValueError(f"{path}: not a metadata file of a saved estimator (format {found!r}, expected {FORMAT})")
    if record.get("model_sha256") != file_digest(model_path):
        warnings.warn(f"{path} was written for another model than {model_path!r} and is ignored", UserWarning)
        return None
    record["params"] = {k: _from_plain(v) for k, v in record.get("params", {}).items()}
    return record
