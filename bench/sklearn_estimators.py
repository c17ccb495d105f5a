"""Compares the sylvor package with the raw PySylvor_wrap module (overhead of
the estimator layer) and with scikit-learn's RandomForestClassifier, on the
learning benchmark's 100,000 x 20 float32 classification set.

usage: python3 bench/sklearn_estimators.py DIR [TREES] [--no-sklearn]
(DIR holds the files written by sylvor_learn_forest_bench)
"""
import sys
import time

import numpy as np
from sklearn.ensemble import RandomForestClassifier

import PySylvor_wrap
from sylvor import ForestClassifier


def timed(work):
    start = time.perf_counter()
    result = work()
    return time.perf_counter() - start, result


def main():
    directory = sys.argv[1]
    trees = int(sys.argv[2]) if len(sys.argv) > 2 and sys.argv[2].isdigit() else 100
    x = np.fromfile(f"{directory}/X_train.f32", dtype=np.float32).reshape(-1, 20)
    y = np.fromfile(f"{directory}/y_class_train.i32", dtype=np.int32)
    x_test = np.fromfile(f"{directory}/X_test.f32", dtype=np.float32).reshape(-1, 20)
    y_test = np.fromfile(f"{directory}/y_class_test.i32", dtype=np.int32)

    PySylvor_wrap.set_seed(1)
    raw_fit, (forest, _) = timed(lambda: PySylvor_wrap.learn(
        x.T, y, criterion="gini", num_classes=4, num_trees=trees, num_threads=2, compute_importances=True))
    labels = np.zeros(len(x), np.int32)
    raw_predict, _ = timed(lambda: PySylvor_wrap.test_si(x.T, forest, 4, labels, 2))

    model = ForestClassifier(n_estimators=trees, criterion="gini", n_jobs=2, random_state=1)
    fit, _ = timed(lambda: model.fit(x, y))
    predict, _ = timed(lambda: model.predict(x))
    accuracy = float(np.mean(model.predict(x_test) == y_test))
    print(f"raw module: fit {raw_fit:.3f} s, predict {raw_predict:.3f} s")
    print(f"sylvor.ForestClassifier: fit {fit:.3f} s ({100 * (fit / raw_fit - 1):+.1f} %), "
          f"predict {predict:.3f} s ({100 * (predict / raw_predict - 1):+.1f} %), test accuracy {accuracy:.4f}")

    if "--no-sklearn" in sys.argv:
        return
    reference = RandomForestClassifier(n_estimators=trees, max_features=None, bootstrap=True, n_jobs=2,
                                       random_state=1)
    fit, _ = timed(lambda: reference.fit(x, y))
    predict, _ = timed(lambda: reference.predict(x))
    accuracy = float(np.mean(reference.predict(x_test) == y_test))
    print(f"sklearn.RandomForestClassifier: fit {fit:.3f} s, predict {predict:.3f} s, test accuracy {accuracy:.4f}")


if __name__ == "__main__":
    main()
