"""Times a distributed fit (2 worker processes of 1 thread each on a local
Dask cluster) against a local fit with 2 threads, on the learning
benchmark's 100,000 x 20 classification set, and the data sent to each
worker.

usage: python3 bench/dask_fit.py DIR [TREES]
"""
import sys
import time

import numpy as np
from dask.distributed import Client, LocalCluster

from sylvor import ForestClassifier
from sylvor.distributed import fit_forest


def main():
    directory = sys.argv[1]
    trees = int(sys.argv[2]) if len(sys.argv) > 2 else 200
    x = np.fromfile(f"{directory}/X_train.f32", dtype=np.float32).reshape(-1, 20)
    y = np.fromfile(f"{directory}/y_class_train.i32", dtype=np.int32)
    estimator = ForestClassifier(n_estimators=trees, criterion="gini", random_state=1)

    start = time.perf_counter()
    estimator.set_params(n_jobs=2).fit(x, y)
    local = time.perf_counter() - start

    cluster = LocalCluster(n_workers=2, threads_per_worker=1, processes=True, host="127.0.0.1",
                           dashboard_address=None)
    client = Client(cluster)
    start = time.perf_counter()
    fit_forest(client, estimator.set_params(n_jobs=None), x, y)
    remote = time.perf_counter() - start
    print(f"local fit, 2 threads: {local:.2f} s; distributed fit, 2 workers x 1 thread: {remote:.2f} s")
    # fit_forest broadcasts X and y once to every worker; the tasks carry only
    # their keys and an unfitted estimator.
    print(f"sent once to each worker: X {x.nbytes} bytes + y {y.nbytes} bytes")
    client.close()
    cluster.close()


if __name__ == "__main__":
    main()
