"""Draws the package's pictures of a forest learned on the bundled iris
example, and the prediction intervals of one learned on the bundled
diabetes example: python3 scripts/pictures.py EXAMPLES_DIR OUT_DIR."""
import os
import sys

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402
import numpy as np  # noqa: E402

import sylvor  # noqa: E402
import sylvor.plot  # noqa: E402


def iris(examples):
    names = [line.split()[2] for line in open(os.path.join(examples, "iris.bdf")) if line.startswith("feature-name")]
    rows = [line.strip().split(",") for line in open(os.path.join(examples, "iris.csv")) if line.strip()]
    X = np.array([[float(v) for v in row[:4]] for row in rows])
    y = np.array([row[4] for row in rows])
    import pandas
    return pandas.DataFrame(X, columns=names), y


def main(examples, out):
    plt.rcParams["svg.fonttype"] = "none"  # text stays text: small files
    X, y = iris(examples)
    model = sylvor.ForestClassifier(n_estimators=100, random_state=1, oob_score=True,
                                    compute_permutation_importances=True, n_jobs=2).fit(X, y)
    for name, draw in (("importances", lambda: sylvor.plot.importances(model)),
                       ("oob-curve", lambda: sylvor.plot.oob_curve(model)),
                       ("tree-matplotlib", lambda: sylvor.plot.tree(model, tree=0, max_depth=2))):
        save(draw(), out, name)
    save(diabetes_intervals(examples), out, "intervals")


def save(ax, out, name):
    ax.figure.tight_layout()
    ax.figure.savefig(os.path.join(out, name + ".svg"), metadata={"Date": None})
    plt.close(ax.figure)


def diabetes_intervals(examples):
    """The conformal 90 % intervals of the diabetes test rows."""
    table = np.loadtxt(os.path.join(examples, "diabetes.csv"), delimiter=",")
    train = np.loadtxt(os.path.join(examples, "diabetes-train.txt"), dtype=int)
    test = np.loadtxt(os.path.join(examples, "diabetes-test.txt"), dtype=int)
    X, y = table[:, :-1], table[:, -1]
    model = sylvor.ForestRegressor(n_estimators=100, random_state=1, keep_leaf_samples=True).fit(X[train], y[train])
    return sylvor.plot.intervals(model, X[test], y[test], alpha=0.1)


if __name__ == "__main__":
    main(sys.argv[1], sys.argv[2])
