"""What a saved estimator keeps beside its model file, in PATH.meta (JSON).

The model file holds the trees in the program's form: class numbers at the
leaves, features by position. The metadata keep what that form cannot hold:
the class labels with their dtype (ints stay ints, bools bools, strings with
spaces as they were), the feature names and count, the type of the features
learned on, the estimator's parameters and its importances.

They record the SHA-256 digest of the model bytes they were written with,
so that metadata beside another model are recognised and ignored, and the
SHA-256 digest of their own content, so that metadata changed since they
were written are refused. Every field is checked as it is read: a reader
takes only what it can read exactly.
"""
import hashlib
import json
import numbers

import numpy as np

FORMAT = 2
# Metadata written before the content digest; read with the same checks.
_READABLE_FORMATS = (1, 2)
# The dtypes of class labels that JSON carries exactly.
_LABEL_KINDS = "biuUfO"
_FEATURE_DTYPES = ("float32", "float64")
_ESTIMATORS = ("ForestClassifier", "ForestRegressor")


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


def _canonical(value):
    """JSON text that is the same for equal values, types included."""
    return json.dumps(value, sort_keys=True, allow_nan=True)


def decode_labels(record, where="the metadata"):
    """The class labels of an encoded record, exactly as they were encoded:
    a dtype that would change a value (a string dtype too short, an integer
    dtype too narrow, booleans read as integers) is refused."""
    if not isinstance(record, dict) or set(record) != {"dtype", "values"} or not isinstance(record["values"], list):
        raise ValueError(f"{where}: 'classes' must be {{'dtype': ..., 'values': [...]}}")
    dtype = record["dtype"]
    try:
        kind = object if dtype == "object" else np.dtype(dtype)
    except TypeError:
        raise ValueError(f"{where}: the class dtype {dtype!r} is not a dtype") from None
    if kind is not object and kind.kind not in _LABEL_KINDS:
        raise ValueError(f"{where}: the class dtype {dtype!r} is not one of labels")
    try:
        classes = np.array(record["values"], dtype=kind)
    except (TypeError, ValueError, OverflowError) as error:
        raise ValueError(f"{where}: the class labels do not fit the dtype {dtype!r} ({error})") from None
    if classes.ndim != 1 or _canonical(encode_labels(classes)) != _canonical(record):
        raise ValueError(f"{where}: the class labels {record['values']!r} do not read back exactly as the dtype "
                         f"{dtype!r}")
    return classes


def metadata_of(estimator, model_sha256):
    """The metadata record of a fitted estimator saved as a model file whose
    bytes have the digest model_sha256."""
    params = {}
    for name, value in estimator.get_params(deep=False).items():
        try:
            params[name] = _plain(value)
        except TypeError:
            params[name] = None  # a RandomState, say: the saved forest no longer needs it
    record = {
        "format": FORMAT,
        "estimator": type(estimator).__name__,
        "model_sha256": model_sha256,
        "n_features_in": int(estimator.n_features_in_),
        "params": params,
    }
    dtype = getattr(estimator, "_feature_dtype", None)
    if dtype is not None:
        record["feature_dtype"] = np.dtype(dtype).name
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
    record = dict(record)
    record["content_sha256"] = hashlib.sha256(_canonical(record).encode()).hexdigest()
    return json.dumps(record, indent=1, allow_nan=True) + "\n"


def _check(record, where):
    """Raises ValueError unless every field holds what save_model writes."""
    def fail(what):
        raise ValueError(f"{where}: {what}")

    def whole(value):
        return isinstance(value, int) and not isinstance(value, bool)

    if record.get("estimator") not in _ESTIMATORS:
        fail(f"unknown estimator {record.get('estimator')!r}")
    n = record.get("n_features_in")
    if not whole(n) or n < 1:
        fail(f"n_features_in must be a positive integer, not {n!r}")
    if not isinstance(record.get("params", {}), dict):
        fail("params must be a mapping")
    if "feature_dtype" in record and record["feature_dtype"] not in _FEATURE_DTYPES:
        fail(f"feature_dtype must be one of {_FEATURE_DTYPES}, not {record['feature_dtype']!r}")
    names = record.get("feature_names_in")
    if names is not None and (not isinstance(names, list) or len(names) != n
                              or not all(isinstance(v, str) for v in names)):
        fail(f"feature_names_in must be {n} names")
    for name in ("feature_importances_", "permutation_importances_"):
        values = record.get(name)
        if values is not None and (not isinstance(values, list) or len(values) != n or
                                   not all(isinstance(v, (int, float)) and not isinstance(v, bool) for v in values)):
            fail(f"{name} must be {n} numbers")
    score = record.get("oob_score_")
    if score is not None and (not isinstance(score, (int, float)) or isinstance(score, bool)):
        fail("oob_score_ must be a number")
    if "classes" in record:
        classes = decode_labels(record["classes"], where)
        try:
            ordered = len(classes) >= 2 and np.array_equal(np.unique(classes), classes)
        except TypeError:
            ordered = False
        if not ordered:
            fail(f"the classes {record['classes']['values']!r} are not two or more distinct labels in sorted "
                 "order, as a fit keeps them")
    elif record["estimator"] == "ForestClassifier":
        fail("a classifier's metadata lack its classes")


def read(path, model_path, model_sha256, warn):
    """The metadata of model_path (whose bytes, as the caller read them,
    have the digest model_sha256) from `path`: None when there are none, or
    (after warn(message)) when they belong to other model bytes. ValueError,
    naming the file, for metadata that cannot be read exactly."""
    try:
        with open(path, "rb") as source:
            text = source.read()
    except FileNotFoundError:
        return None
    try:
        record = json.loads(text)
    except (ValueError, RecursionError) as error:
        reason = "nested too deeply" if isinstance(error, RecursionError) else str(error)
        raise ValueError(f"{path}: not a metadata file of a saved estimator ({reason})") from None
    found = record.get("format") if isinstance(record, dict) else None
    if found not in _READABLE_FORMATS or isinstance(found, bool):
        raise ValueError(f"{path}: not a metadata file of a saved estimator (format {found!r}, expected {FORMAT})")
    if found >= 2:
        content = {k: v for k, v in record.items() if k != "content_sha256"}
        if record.get("content_sha256") != hashlib.sha256(_canonical(content).encode()).hexdigest():
            raise ValueError(f"{path}: the metadata were changed after they were written (their content digest "
                             "does not match)")
    if record.get("model_sha256") != model_sha256:
        warn(f"{path} was written for another model than {model_path!r} and is ignored")
        return None
    _check(record, path)
    record["params"] = {k: _from_plain(v) for k, v in record.get("params", {}).items()}
    return record


def model_digest_comment(model_sha256):
    """The comment line by which a description written beside a model names
    the model bytes it belongs to."""
    return f"# model-sha256 {model_sha256}\n"


def described_model(description):
    """The model digest that a description (its bytes) names in its comment
    line, or None when it names none (a description written by hand or the
    program)."""
    for line in description.split(b"\n"):
        if line.startswith(b"# model-sha256 "):
            return line[len(b"# model-sha256 "):].strip().decode("ascii", "replace")
    return None
