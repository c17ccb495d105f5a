"""Learns the benchmark's data with scikit-learn's random forests, for
comparison with sylvor_learn_forest_bench (which writes the data).

usage: python3 bench/sklearn_reference.py DIR TREES
Prints one line per task: seconds per forest and test accuracy / MSE.
Used by scripts/bench-learn only; never by the build or the tests.
"""
import sys
import time

import numpy as np
from sklearn.ensemble import RandomForestClassifier, RandomForestRegressor


def load(directory):
    x_train = np.fromfile(f"{directory}/X_train.f32", dtype=np.float32).reshape(-1, 20)
    x_test = np.fromfile(f"{directory}/X_test.f32", dtype=np.float32).reshape(-1, 20)
    return (x_train, x_test,
            np.fromfile(f"{directory}/y_class_train.i32", dtype=np.int32),
            np.fromfile(f"{directory}/y_class_test.i32", dtype=np.int32),
            np.fromfile(f"{directory}/y_reg_train.f64", dtype=np.float64),
            np.fromfile(f"{directory}/y_reg_test.f64", dtype=np.float64))


def main():
    directory, trees = sys.argv[1], int(sys.argv[2])
    x_train, x_test, yc_train, yc_test, yr_train, yr_test = load(directory)
    forest = RandomForestClassifier(n_estimators=trees, max_features=None, bootstrap=True,
                                    n_jobs=2, random_state=1)
    start = time.perf_counter()
    forest.fit(x_train, yc_train)
    seconds = time.perf_counter() - start
    accuracy = float(np.mean(forest.predict(x_test) == yc_test))
    print(f"sklearn classification: {seconds:.3f} s per forest, {trees / seconds:.1f} trees/s, "
          f"test accuracy {accuracy:.4f}")
    start = time.perf_counter()
    forest.predict(x_train)
    seconds = time.perf_counter() - start
    print(f"sklearn prediction: {len(x_train)} instances, {trees} trees, 2 jobs: {seconds:.3f} s")
    regressor = RandomForestRegressor(n_estimators=trees, max_features=None, bootstrap=True,
                                      min_samples_split=6, n_jobs=2, random_state=1)
    start = time.perf_counter()
    regressor.fit(x_train, yr_train)
    seconds = time.perf_counter() - start
    mse = float(np.mean((regressor.predict(x_test) - yr_test) ** 2))
    print(f"sklearn regression: {seconds:.3f} s per forest, {trees / seconds:.1f} trees/s, "
          f"test MSE {mse:.4f}")


if __name__ == "__main__":
    main()
