"""Quantile regression forests and prediction intervals against ranger's
quantreg forests on the same rows with the same number of trees.

usage: /usr/bin/python3 bench/quantile_sets.py DIR [--trees 100] [--only NAME,...] [--memory ROWS]

For each set (diabetes from examples/, BostonHousing exported once from
Debian's r-cran-mlbench into DIR, make_friedman1 with 10,000 rows and
make_regression with 100,000 rows), one random 70/30 split, N trees, 2
threads, nodes of fewer than 5 rows not split and sqrt features per split
(ranger's regression defaults, which Sylvor is given too):
- Sylvor's 90 % quantile interval [q0.05, q0.95], its conformal interval
  (predict_interval, alpha=0.1) and the scaled conformal interval: the
  share of held-out targets inside (coverage) and the mean width;
- ranger(quantreg = TRUE): its [q0.05, q0.95] interval, the same figures;
- the time to predict 3 quantiles (0.05, 0.5, 0.95) for 10,000 rows (the
  held-out rows repeated), each library timed on its own side, the best of
  three calls.
With --memory ROWS, the bytes of the leaf records of 100 trees learned on
ROWS rows of make_regression (and of the trees' node arrays beside them).
Needs python3-sklearn, r-cran-mlbench and r-cran-ranger. Never run by the
build or the tests.
"""
import argparse
import os
import subprocess
import tempfile
import time

import numpy as np

from sylvor import ForestRegressor, interval_coverage

HERE = os.path.dirname(os.path.abspath(__file__))


def boston(folder):
    path = os.path.join(folder, "BostonHousing.csv")
    if not os.path.exists(path):
        script = ("library(mlbench); data(BostonHousing); d <- BostonHousing; d$chas <- as.numeric(d$chas) - 1; "
                  f"write.csv(d, '{path}.tmp', row.names = FALSE)")
        subprocess.run(["Rscript", "-e", script], check=True, capture_output=True)
        os.replace(path + ".tmp", path)
    table = np.genfromtxt(path, delimiter=",", skip_header=1)
    return table[:, :-1], table[:, -1]


def data_sets(folder):
    from sklearn.datasets import make_friedman1, make_regression
    diabetes = np.loadtxt(os.path.join(HERE, "..", "examples", "diabetes.csv"), delimiter=",")
    yield "diabetes", diabetes[:, :-1], diabetes[:, -1]
    yield "BostonHousing", *boston(folder)
    yield "friedman1 (10,000)", *make_friedman1(10_000, noise=1.0, random_state=0)
    yield "make_regression (100,000)", *make_regression(100_000, n_features=10, n_informative=5, noise=20.0,
                                                          random_state=0)


RANGER = r"""
suppressMessages(library(ranger))
args <- commandArgs(trailingOnly = TRUE)
train <- read.csv(args[1]); test <- read.csv(args[2]); many <- read.csv(args[3])
trees <- as.integer(args[4])
seconds <- system.time(m <- ranger(y ~ ., data = train, num.trees = trees, num.threads = 2, quantreg = TRUE,
                                   seed = 1))[["elapsed"]]
q <- predict(m, test, type = "quantiles", quantiles = c(0.05, 0.95), num.threads = 2)$predictions
write.csv(q, args[5], row.names = FALSE)
predict_seconds <- min(sapply(1:3, function(i) system.time(predict(m, many, type = "quantiles",
                                                                  quantiles = c(0.05, 0.5, 0.95),
                                                                  num.threads = 2))[["elapsed"]]))
cat(seconds, predict_seconds, "\n")
"""


def frame_csv(path, X, y=None):
    columns = [f"x{j}" for j in range(X.shape[1])]
    table = X if y is None else np.column_stack([X, y])
    header = ",".join(columns + ([] if y is None else ["y"]))
    np.savetxt(path, table, delimiter=",", header=header, comments="", fmt="%.17g")


def ranger_side(folder, X_train, y_train, X_test, many, trees):
    paths = [os.path.join(folder, name) for name in ("train.csv", "test.csv", "many.csv", "quantiles.csv")]
    frame_csv(paths[0], X_train, y_train)
    frame_csv(paths[1], X_test)
    frame_csv(paths[2], many)
    out = subprocess.run(["Rscript", "-e", RANGER, paths[0], paths[1], paths[2], str(trees), paths[3]],
                         check=True, capture_output=True, text=True).stdout.split()
    intervals = np.genfromtxt(paths[3], delimiter=",", skip_header=1)
    return intervals, float(out[0]), float(out[1])


def one_set(name, X, y, trees, folder):
    order = np.random.default_rng(0).permutation(len(y))
    cut = int(round(0.7 * len(y)))
    train, test = order[:cut], order[cut:]
    many = X[test][np.arange(10_000) % len(test)]
    start = time.perf_counter()
    model = ForestRegressor(n_estimators=trees, max_features="sqrt", min_samples_split=5, n_jobs=2, random_state=1,
                            keep_leaf_samples=True).fit(X[train], y[train])
    fit = time.perf_counter() - start
    ours_predict = float("inf")
    for _ in range(3):
        start = time.perf_counter()
        model.predict_quantiles(many, [0.05, 0.5, 0.95])
        ours_predict = min(ours_predict, time.perf_counter() - start)
    rows = {
        "Sylvor quantiles": interval_coverage(y[test], model.predict_quantiles(X[test], [0.05, 0.95])),
        "Sylvor conformal": interval_coverage(y[test], model.predict_interval(X[test], alpha=0.1)),
        "Sylvor scaled conformal": interval_coverage(y[test], model.predict_interval(X[test], 0.1, scaled=True)),
    }
    intervals, ranger_fit, ranger_predict = ranger_side(folder, X[train], y[train], X[test], many, trees)
    rows["ranger quantreg"] = interval_coverage(y[test], intervals)
    for method, (coverage, width) in rows.items():
        print(f"| {name} | {method} | {coverage:.3f} | {width:.4g} |", flush=True)
    print(f"| {name} | fit s: Sylvor {fit:.2f}, ranger {ranger_fit:.2f}; 3 quantiles of 10,000 rows s: "
          f"Sylvor {ours_predict:.3f}, ranger {ranger_predict:.3f} ({ranger_predict / ours_predict:.0f}x) | | |",
          flush=True)


def leaf_record_memory(rows):
    from sklearn.datasets import make_regression
    X, y = make_regression(rows, n_features=10, n_informative=5, noise=20.0, random_state=0)
    start = time.perf_counter()
    model = ForestRegressor(n_estimators=100, max_features="sqrt", min_samples_split=5, n_jobs=2, random_state=1,
                            keep_leaf_samples=True).fit(X, y)
    seconds = time.perf_counter() - start
    targets, records = model._forest.leaf_samples()
    record_bytes = targets.nbytes + sum(offsets.nbytes + draws.nbytes for offsets, draws in records)
    nodes = sum(tree.arrays.nbytes for tree in model.estimators_)
    print(f"{rows} rows, 100 trees (fit {seconds:.1f} s): leaf records {record_bytes / 1e6:.1f} MB "
          f"({record_bytes / rows / 100:.2f} bytes per row per tree), node arrays {nodes / 1e6:.1f} MB")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("folder")
    parser.add_argument("--trees", type=int, default=100)
    parser.add_argument("--only", default="")
    parser.add_argument("--memory", type=int, default=0)
    arguments = parser.parse_args()
    os.makedirs(arguments.folder, exist_ok=True)
    if arguments.memory:
        leaf_record_memory(arguments.memory)
        return
    print(f"{arguments.trees} trees, 2 threads, 90 % intervals on 30 % held-out rows")
    print("| data | interval | coverage | mean width |")
    print("|---|---|---|---|")
    wanted = [w for w in arguments.only.split(",") if w]
    with tempfile.TemporaryDirectory() as scratch:
        for name, X, y in data_sets(arguments.folder):
            if not wanted or any(w in name for w in wanted):
                one_set(name, X, y, arguments.trees, scratch)


if __name__ == "__main__":
    main()
