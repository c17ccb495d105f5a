"""Tables as they come: categorical columns and missing cells, learned
natively by the package against the usual one-hot and median route and
against scikit-learn and ranger.

usage: python3 bench/table_sets.py DIR [--splits S] [--trees N] [--only NAME,...] [--large]

For each table (exported once from Debian's R packages into DIR as CSV),
S random 70/30 splits (default 5), N trees (default 100), 2 threads,
features per split the square root of their number (each learner's
default), and the mean test accuracy (with its standard deviation over the
splits) and the median fit seconds of:
- Sylvor native: ForestClassifier on the table as it is (text columns
  categorical, missing cells learned in the splits);
- Sylvor one-hot: a scikit-learn Pipeline filling numeric cells with the
  training median and text cells with the most frequent level, one-hot
  encoding the text columns, then ForestClassifier(missing_values="median");
- scikit-learn: RandomForestClassifier in the same Pipeline;
- ranger: ranger(respect.unordered.factors = "order") on the table with
  missing cells filled as above (ranger 0.14 takes none), timed inside R.
Then a generated set whose class is whether a value is missing, learned
with missing_values "split" and "median" (the Bayes rate is 1).
With --large, a 1,000,000-row set with a 1,000-level feature and 5 numbers
(10 trees, all features per split) is learned with that feature
categorical and as a number. Needs python3-sklearn, python3-pandas,
r-cran-modeldata, r-cran-mlbench, r-cran-palmerpenguins and r-cran-ranger.
Used by scripts/bench-tables only; never by the build or the tests.
"""
import argparse
import os
import statistics
import subprocess
import time

import numpy as np
import pandas as pd

from sylvor import ForestClassifier

# name: (R code making data frame d, target column)
TABLES = {
    "attrition": ("library(modeldata); data(attrition); d <- attrition", "Attrition"),
    "mlc_churn": ("library(modeldata); data(mlc_churn); d <- as.data.frame(mlc_churn)", "churn"),
    "penguins": ("library(palmerpenguins); d <- as.data.frame(palmerpenguins::penguins)", "species"),
    "HouseVotes84": ("library(mlbench); data(HouseVotes84); d <- HouseVotes84", "Class"),
}


def export(name, folder):
    """The table as a CSV under folder (written once): unordered factors as
    their level names, ordered factors as their ranks, NA as empty cells."""
    path = os.path.join(folder, name + ".csv")
    if not os.path.exists(path):
        code, _ = TABLES[name]
        script = (f"{code}; for (c in names(d)) if (is.ordered(d[[c]])) d[[c]] <- as.integer(d[[c]]); "
                  f"write.csv(d, '{path}.tmp', row.names = FALSE, na = '')")
        subprocess.run(["Rscript", "-e", script], check=True, capture_output=True)
        os.replace(path + ".tmp", path)
    return path


def splits(n, count):
    for seed in range(count):
        order = np.random.default_rng(seed).permutation(n)
        cut = int(round(0.7 * n))
        yield seed, np.sort(order[:cut]), np.sort(order[cut:])


def one_hot_pipeline(model, text_columns, number_columns):
    from sklearn.compose import ColumnTransformer
    from sklearn.impute import SimpleImputer
    from sklearn.pipeline import make_pipeline
    from sklearn.preprocessing import OneHotEncoder
    prepare = ColumnTransformer([
        ("numbers", SimpleImputer(strategy="median"), number_columns),
        ("levels", make_pipeline(SimpleImputer(strategy="most_frequent"), OneHotEncoder(handle_unknown="ignore")),
         text_columns)], sparse_threshold=0)
    return make_pipeline(prepare, model)


def python_learners(trees, seed, text_columns, number_columns):
    from sklearn.ensemble import RandomForestClassifier
    return {
        "Sylvor native": ForestClassifier(n_estimators=trees, n_jobs=2, random_state=seed + 1),
        "Sylvor one-hot": one_hot_pipeline(
            ForestClassifier(n_estimators=trees, n_jobs=2, random_state=seed + 1, missing_values="median",
                             categorical_features=None), text_columns, number_columns),
        "scikit-learn": one_hot_pipeline(
            RandomForestClassifier(n_estimators=trees, n_jobs=2, random_state=seed + 1), text_columns,
            number_columns),
    }


RANGER = r"""
suppressMessages(library(ranger))
args <- commandArgs(trailingOnly = TRUE)
d <- read.csv(args[1], stringsAsFactors = TRUE, na.strings = "")
target <- args[2]; trees <- as.integer(args[3])
tests <- read.csv(args[4], header = FALSE)
for (s in seq_len(nrow(tests))) {
  test <- as.logical(unlist(tests[s, ]))
  x <- d
  for (c in names(x)) {  # filled from the training rows: median, or the most frequent level
    train <- x[[c]][!test]
    fill <- if (is.factor(x[[c]])) names(which.max(table(train))) else median(train, na.rm = TRUE)
    x[[c]][is.na(x[[c]])] <- fill
  }
  f <- as.formula(paste0("`", target, "` ~ ."))
  seconds <- system.time(m <- ranger(f, data = x[!test, ], num.trees = trees, num.threads = 2,
                                     respect.unordered.factors = "order", seed = s))[["elapsed"]]
  accuracy <- mean(predict(m, x[test, ], num.threads = 2)$predictions == x[[target]][test])
  cat(accuracy, seconds, "\n")
}
"""


def ranger_runs(path, target, trees, test_masks, folder):
    masks = os.path.join(folder, "ranger-tests.csv")
    np.savetxt(masks, np.array(test_masks, dtype=int), fmt="%d", delimiter=",")
    try:
        out = subprocess.run(["Rscript", "-e", RANGER, path, target, str(trees), masks], check=True,
                             capture_output=True, text=True).stdout
    except (OSError, subprocess.CalledProcessError) as error:
        print(f"ranger failed: {getattr(error, 'stderr', error)}")
        return None
    return [tuple(float(v) for v in line.split()) for line in out.splitlines() if line.strip()]


def summary(runs):
    accuracy = [a for a, _ in runs]
    seconds = [s for _, s in runs]
    spread = statistics.stdev(accuracy) if len(accuracy) > 1 else 0.0
    return f"{statistics.mean(accuracy):.4f} ± {spread:.4f} ({statistics.median(seconds):.2f} s)"


def table_row(name, folder, trees, count):
    path = export(name, folder)
    target = TABLES[name][1]
    frame = pd.read_csv(path, keep_default_na=False, na_values=[""])
    y = frame.pop(target).astype(str).to_numpy()
    text_columns = [c for c in frame.columns if frame[c].dtype == object]
    number_columns = [c for c in frame.columns if c not in text_columns]
    runs, test_masks = {}, []
    for seed, train, test in splits(len(frame), count):
        mask = np.zeros(len(frame), dtype=bool)
        mask[test] = True
        test_masks.append(mask)
        for learner, model in python_learners(trees, seed, text_columns, number_columns).items():
            start = time.perf_counter()
            model.fit(frame.iloc[train], y[train])
            seconds = time.perf_counter() - start
            accuracy = float(np.mean(model.predict(frame.iloc[test]) == y[test]))
            runs.setdefault(learner, []).append((accuracy, seconds))
    ranger = ranger_runs(path, target, trees, test_masks, folder)
    if ranger:
        runs["ranger"] = ranger
    missing = int(frame.isna().to_numpy().sum())
    described = (f"{name} {len(frame):,} x {frame.shape[1]} ({len(text_columns)} categorical, {missing} missing "
                 f"cells)")
    return described, runs


def missingness_row(trees):
    """The class is whether feature 0 (a whole number 0 .. 9) is missing
    (a third of the rows); two noise features. Filled with the median, the
    missing values cannot be told from the present values equal to it.
    Every feature is tried at each split."""
    def data(n, seed):
        rng = np.random.default_rng(seed)
        X = rng.uniform(size=(n, 3))
        X[:, 0] = np.floor(10 * X[:, 0])
        absent = rng.uniform(size=n) < 1 / 3
        X[absent, 0] = np.nan
        return X, absent.astype(int)
    X, y = data(5000, 0)
    X_test, y_test = data(5000, 1)
    cells = []
    for way in ("split", "median"):
        model = ForestClassifier(n_estimators=trees, n_jobs=2, random_state=1, missing_values=way,
                                 max_features=None)
        cells.append(f"{np.mean(model.fit(X, y).predict(X_test) == y_test):.4f}")
    return cells


def large_rows():
    """1,000,000 rows: a 1,000-level feature whose levels carry the class
    through a hidden set, and 5 numbers; 10 trees, all features per split."""
    rng = np.random.default_rng(0)
    n = 1_000_000
    level = rng.integers(0, 1000, n)
    hidden = rng.permutation(1000) < 500
    numbers = rng.normal(size=(n, 5))
    y = (hidden[level] ^ (numbers[:, 0] > 1.0)).astype(int)
    flip = rng.uniform(size=n) < 0.1
    y[flip] = 1 - y[flip]
    X = np.column_stack([level.astype(float), numbers])
    cut = 800_000
    results = []
    for way, categorical in (("categorical", [0]), ("as a number", None)):
        model = ForestClassifier(n_estimators=10, n_jobs=2, random_state=1, max_features=None,
                                 categorical_features=categorical)
        start = time.perf_counter()
        model.fit(X[:cut], y[:cut])
        seconds = time.perf_counter() - start
        results.append((way, seconds, float(np.mean(model.predict(X[cut:]) == y[cut:]))))
    return results


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("folder")
    parser.add_argument("--splits", type=int, default=5)
    parser.add_argument("--trees", type=int, default=100)
    parser.add_argument("--only", default=",".join(TABLES))
    parser.add_argument("--large", action="store_true")
    options = parser.parse_args()
    os.makedirs(options.folder, exist_ok=True)
    learners = ["Sylvor native", "Sylvor one-hot", "scikit-learn", "ranger"]
    print(f"Test accuracy (mean ± sd over {options.splits} random 70/30 splits) and median fit seconds, "
          f"{options.trees} trees, 2 threads:\n")
    print("| data | " + " | ".join(learners) + " |")
    print("|---" * (len(learners) + 1) + "|")
    for name in options.only.split(","):
        described, runs = table_row(name, options.folder, options.trees, options.splits)
        print(f"| {described} | " + " | ".join(summary(runs[l]) if l in runs else "-" for l in learners) + " |",
              flush=True)
    split, median = missingness_row(options.trees)
    print(f"\nThe class is whether a value is missing (5,000 rows to learn, 5,000 to test): test accuracy "
          f"{split} with missing_values='split', {median} with 'median'.")
    if options.large:
        print()
        for way, seconds, accuracy in large_rows():
            print(f"1,000,000 rows, a 1,000-level feature {way}: fit {seconds:.2f} s on 800,000 rows, "
                  f"test accuracy {accuracy:.4f}")


if __name__ == "__main__":
    main()
