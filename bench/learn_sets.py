"""Learning speed and accuracy on generated and real data sets: the sylvor
program against scikit-learn and, when R's ranger is installed, ranger.

usage: python3 bench/learn_sets.py SYLVOR DIR [--trees N] [--only NAME,...] [--peers sklearn,ranger] [--runs R]
                                  [--before OTHER_SYLVOR] [--large]

Each set is written once under DIR as CSV with a description and 70/30
train/test selection files (the same split for every learner). Every
learner grows N trees (default 100) on 2 threads with the same features per
split, bootstrap samples of the whole training set (0.632 of it and nodes of
more than 5 instances for regression, the program's defaults); the table
gives learn seconds (the median of R runs, default 1; data loading not
included) and test accuracy (classification) or MSE (regression). With
--before, another build of the program gets a column of its own, its runs
taking turns with the first build's, so that both see the same machine.
Letter recognition and Satellite come from R's mlbench package
(Debian r-cran-mlbench), digits from scikit-learn. With --large, two
make_classification sets of 1,000,000 and 10,000,000 rows (20 trees, sqrt
features; about 0.2 and 2 GB of CSV) are run instead, by the program alone
unless peers are named, and a second table gives the program's read rate,
learn time and peak resident memory. Used by
scripts/bench-learn-sets only; never by the build or the tests.
"""
import argparse
import os
import re
import shutil
import statistics
import subprocess
import time

import numpy as np


def classification(n, features, classes=2, informative=10, seed=0):
    from sklearn.datasets import make_classification
    X, y = make_classification(n_samples=n, n_features=features, n_informative=informative, n_classes=classes,
                               random_state=seed)
    return X, y


def regression(n, features, seed=0):
    from sklearn.datasets import make_regression
    return make_regression(n_samples=n, n_features=features, n_informative=10, noise=10.0, random_state=seed)


def from_mlbench(name, label):
    """A data set of R's mlbench package as (X, class numbers)."""
    script = (f"library(mlbench); data({name}); d <- {name}; y <- as.integer(d${label}) - 1L; "
              f"d${label} <- NULL; write.table(cbind(as.matrix(d), y), stdout(), sep=',', row.names=FALSE, "
              f"col.names=FALSE)")
    try:
        text = subprocess.run(["Rscript", "-e", script], check=True, capture_output=True, text=True).stdout
    except (OSError, subprocess.CalledProcessError):
        raise OSError("needs R's mlbench package (apt-get install r-cran-mlbench)") from None
    table = np.loadtxt(text.splitlines(), delimiter=",")
    return table[:, :-1], table[:, -1].astype(int)


def digits():
    from sklearn.datasets import load_digits
    data = load_digits()
    return data.data, data.target


# name: (maker, regression, features per split as a function of the feature count, trees or None for --trees)
SETS = {
    "make_classification 10,000 x 20": (lambda: classification(10000, 20), False, "all", None),
    "make_classification 100,000 x 50, 4 classes": (lambda: classification(100000, 50, classes=4), False, "sqrt", None),
    "make_regression 100,000 x 20": (lambda: regression(100000, 20), True, "all", None),
    "Satellite 6,435 x 36": (lambda: from_mlbench("Satellite", "classes"), False, "all", None),
    "Letter recognition 20,000 x 16": (lambda: from_mlbench("LetterRecognition", "lettr"), False, "all", None),
    "Letter recognition 20,000 x 16 (sqrt)": (lambda: from_mlbench("LetterRecognition", "lettr"), False, "sqrt", None),
    "digits 1,797 x 64": (digits, False, "all", None),
}

LARGE_SETS = {
    "make_classification 1,000,000 x 20": (lambda: classification(1000000, 20), False, "sqrt", 20),
    "make_classification 10,000,000 x 20": (lambda: classification(10000000, 20), False, "sqrt", 20),
}


def features_per_split(kind, nf):
    return nf if kind == "all" else int(np.sqrt(nf))


def slug(name):
    return re.sub(r"[^a-z0-9]+", "_", name.lower()).strip("_")


def prepare(directory, name, maker, regression):
    """Writes the set (once) and returns its base path, a function giving the
    arrays (made again only for a peer) and the train and test rows."""
    base = os.path.join(directory, slug(name.replace(" (sqrt)", "")))
    if not os.path.exists(base + ".csv"):
        X, y = maker()
        n, nf = X.shape
        order = np.random.default_rng(0).permutation(n)
        train, test = np.sort(order[:int(0.7 * n)]), np.sort(order[int(0.7 * n):])
        integral = np.all(X == np.round(X))
        # Large sets keep 6 significant digits, as real measurements would.
        number = "%d" if integral and not regression else "%.6g" if n > 100000 else "%.17g"
        with open(base + ".csv.partial", "w") as out:
            for first in range(0, n, 100000):
                np.savetxt(out, np.column_stack([X[first:first + 100000], y[first:first + 100000]]), delimiter=",",
                           fmt=[number] * nf + ["%.17g" if regression else "%d"])
        with open(base + ".bdf", "w") as out:
            out.write(f"num-features {nf}\nclass-column {nf}\n")
            if regression:
                out.write("label-type regression\n")
            else:
                out.write("number-labels\n" + "".join(f"label {c} c{c}\n" for c in range(int(y.max()) + 1)))
        np.savetxt(base + ".train", train, fmt="%d")
        np.savetxt(base + ".test", test, fmt="%d")
        os.replace(base + ".csv.partial", base + ".csv")
    train = np.loadtxt(base + ".train", dtype=np.int64)
    test = np.loadtxt(base + ".test", dtype=np.int64)
    return base, maker, train, test


def run_sylvor(program, base, regression, fte, trees):
    """Learn seconds, test score, read MB/s and peak resident MB of one learn."""
    files = ["--in-file", base + ".csv", "--desc-file", base + ".bdf", "--model-file", base + ".model",
             "--nthreads", "2"]
    learn = ["/usr/bin/time", "-f", "peak-kb %M", program, "learn-regress" if regression else "learn-classify",
             *files, "--selection-file", base + ".train", "--num-trees", str(trees), "--seed", "1",
             "--fte-per-split", str(fte), "--quiet", "--criteria", "variance" if regression else "gini"]
    start = time.perf_counter()
    done = subprocess.run(learn, check=True, capture_output=True, text=True)
    wall = time.perf_counter() - start
    out = done.stdout
    seconds = float(re.search(r"Total time to learn: ([0-9.e+-]+)", out).group(1))
    writing = float(re.search(r"Total time to write model: ([0-9.e+-]+)", out).group(1))
    peak_mb = int(re.search(r"peak-kb (\d+)", done.stderr).group(1)) / 1024
    read_rate = os.path.getsize(base + ".csv") / 1e6 / max(wall - seconds - writing, 1e-9)
    test = [program, "test-regress" if regression else "test-classify", *files, "--selection-file", base + ".test",
            "--quiet"]
    out = subprocess.run(test, check=True, capture_output=True, text=True).stdout
    score = re.search(r"(Mean Squared Error \(regression\)|Classification Rate): ([0-9.e+-]+)", out).group(2)
    return seconds, float(score), read_rate, peak_mb


def run_sklearn(X, y, train, test, regression, fte, trees):
    from sklearn.ensemble import RandomForestClassifier, RandomForestRegressor
    if regression:
        forest = RandomForestRegressor(n_estimators=trees, max_features=fte, min_samples_split=6, max_samples=0.632,
                                       n_jobs=2, random_state=1)
    else:
        forest = RandomForestClassifier(n_estimators=trees, max_features=fte, n_jobs=2, random_state=1)
    start = time.perf_counter()
    forest.fit(X[train], y[train])
    seconds = time.perf_counter() - start
    predicted = forest.predict(X[test])
    score = np.mean((predicted - y[test]) ** 2) if regression else np.mean(predicted == y[test])
    return seconds, float(score)


def run_ranger(base, regression, fte, trees):
    script = f"""
suppressMessages(library(ranger))
d <- read.csv("{base}.csv", header=FALSE)
names(d)[ncol(d)] <- "y"
train <- scan("{base}.train", quiet=TRUE) + 1
test <- scan("{base}.test", quiet=TRUE) + 1
{"" if regression else "d$y <- factor(d$y)"}
t <- system.time(f <- ranger(y ~ ., data=d[train, ], num.trees={trees}, mtry={fte}, num.threads=2, seed=1,
                            replace=TRUE, sample.fraction={0.632 if regression else 1},
                            min.node.size={5 if regression else 1}, verbose=FALSE))
p <- predict(f, d[test, ], num.threads=2)$predictions
score <- {"mean((p - d$y[test])^2)" if regression else "mean(p == d$y[test])"}
cat(t[["elapsed"]], score, "\\n")
"""
    out = subprocess.run(["Rscript", "-e", script], check=True, capture_output=True, text=True).stdout
    seconds, score = out.strip().splitlines()[-1].split()
    return float(seconds), float(score)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("sylvor")
    parser.add_argument("directory")
    parser.add_argument("--trees", type=int, default=100)
    parser.add_argument("--only", default="")
    parser.add_argument("--peers", default=None)
    parser.add_argument("--runs", type=int, default=1)
    parser.add_argument("--before", default="")
    parser.add_argument("--large", action="store_true")
    args = parser.parse_args()
    os.makedirs(args.directory, exist_ok=True)
    peers = [p for p in (args.peers if args.peers is not None else "" if args.large else "sklearn,ranger").split(",")
             if p]
    if "ranger" in peers and (shutil.which("Rscript") is None or subprocess.run(
            ["Rscript", "-e", "library(ranger)"], capture_output=True).returncode != 0):
        peers.remove("ranger")
    builds = [args.sylvor] + ([args.before] if args.before else [])
    print("| data (rows x features) | features per split | Sylvor | " + ("Sylvor before | " if args.before else "") +
          "".join({"sklearn": "scikit-learn | ", "ranger": "ranger | "}[p] for p in peers))
    print("|---|---|---|" + "---|" * (len(peers) + len(builds) - 1))
    resources = []
    for name, (maker, regression, kind, set_trees) in (LARGE_SETS if args.large else SETS).items():
        if args.only and not any(word in name for word in args.only.split(",")):
            continue
        try:
            base, make_arrays, train, test = prepare(args.directory, name, maker, regression)
        except (OSError, subprocess.CalledProcessError, ImportError) as error:
            print(f"| {name} | skipped: {error} |", flush=True)
            continue
        nf = int(open(base + ".bdf").readline().split()[1])
        fte = features_per_split(kind, nf)
        trees = set_trees or args.trees
        cells = []
        build_runs = [[] for _ in builds]
        for _ in range(args.runs):
            for k, build in enumerate(builds):
                build_runs[k].append(run_sylvor(build, base, regression, fte, trees))
        for runs in build_runs:
            cells.append(f"{statistics.median(r[0] for r in runs):.2f} ({runs[0][1]:.4g})")
        resources.append((name, [(statistics.median(r[2] for r in runs), statistics.median(r[0] for r in runs),
                                   max(r[3] for r in runs), runs[0][1]) for runs in build_runs]))
        X, y = make_arrays() if "sklearn" in peers else (None, None)
        for learner in peers:
            runs = []
            for _ in range(args.runs):
                if learner == "sklearn":
                    runs.append(run_sklearn(X, y, train, test, regression, fte, trees))
                else:
                    runs.append(run_ranger(base, regression, fte, trees))
            seconds = statistics.median(r[0] for r in runs)
            cells.append(f"{seconds:.2f} ({runs[0][1]:.4g})")
        print(f"| {name}{'' if set_trees is None else f', {trees} trees'} | {kind} ({fte}) | " + " | ".join(cells)
              + " |", flush=True)
    if args.large:
        print("\n| data | build | read MB/s | learn s | peak resident MB | accuracy |\n|---|---|---|---|---|---|")
        for name, per_build in resources:
            for label, (rate, seconds, peak, score) in zip(["Sylvor", "Sylvor before"], per_build):
                print(f"| {name} | {label} | {rate:.0f} | {seconds:.1f} | {peak:.0f} | {score:.4f} |")


if __name__ == "__main__":
    main()
