"""Draws the package's pictures of a forest learned on the bundled iris
example: python3 scripts/pictures.py EXAMPLES_DIR OUT_DIR."""
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
        ax = draw()
        ax.figure.tight_layout()
        ax.figure.savefig(os.path.join(out, name + ".svg"), metadata={"Date": None})
        plt.close(ax.figure)


if __name__ == "__main__":
    main(sys.argv[1], sys.argv[2])
