"""Latency and throughput of prediction with the sylvor estimators: one row
(and 10, 100 and 10,000 rows) given to predict_proba many times by a
100-tree forest fitted on a 10,000 x 20 classification set, with n_jobs=1
and with the default (every core), next to scikit-learn's
RandomForestClassifier when it is installed. Prints the median
milliseconds per call.

usage: python3 bench/predict_latency.py [REPEATS]
"""
import statistics
import sys
import time

import numpy as np
from sklearn.datasets import make_classification

from sylvor import ForestClassifier


def median_ms(predict, X, repeats):
    times = []
    for _ in range(repeats):
        start = time.perf_counter()
        predict(X)
        times.append((time.perf_counter() - start) * 1000.0)
    return statistics.median(times)


def main():
    repeats = int(sys.argv[1]) if len(sys.argv) > 1 else 300
    X, y = make_classification(n_samples=10000, n_features=20, n_informative=8, random_state=0)
    models = {
        "sylvor n_jobs=1": ForestClassifier(n_estimators=100, max_features="sqrt", random_state=0, n_jobs=1),
        "sylvor default": ForestClassifier(n_estimators=100, max_features="sqrt", random_state=0),
    }
    try:
        from sklearn.ensemble import RandomForestClassifier
        models["scikit-learn default"] = RandomForestClassifier(n_estimators=100, random_state=0)
    except ImportError:
        pass
    for name, model in models.items():
        model.fit(X, y)
        figures = ", ".join(f"{rows} rows {median_ms(model.predict_proba, X[:rows], count):.3f} ms"
                            for rows, count in ((1, repeats), (10, repeats), (100, repeats),
                                                (10000, max(5, repeats // 10))))
        print(f"{name}: {figures}")


if __name__ == "__main__":
    main()
