"""Seeding, concurrency and interruption of the sylvor estimators: the forest
follows random_state alone, fits from several Python threads at once give
what they give alone, and Ctrl-C stops a fit."""
import os
import signal
import subprocess
import sys
import tempfile
import textwrap
import threading

import numpy as np
import pytest
from sklearn.datasets import make_classification, make_regression

import PySylvor_wrap as P
from sylvor import ForestClassifier, ForestRegressor


def same_trees(a, b):
    return len(a.estimators_) == len(b.estimators_) and all(
        np.array_equal(s, t, equal_nan=True) for s, t in zip(a.estimators_, b.estimators_))


@pytest.mark.filterwarnings("ignore:.*no out-of-bag prediction")
@pytest.mark.parametrize("make", [
    lambda n_jobs: ForestClassifier(n_estimators=12, max_features="sqrt", random_state=3, n_jobs=n_jobs,
                                    oob_score=True, compute_permutation_importances=True),
    lambda n_jobs: ForestRegressor(n_estimators=10, random_state=4, n_jobs=n_jobs)])
def test_random_state_alone_decides_the_forest(make):
    X, y = make_classification(n_samples=400, n_features=8, random_state=0)
    if isinstance(make(1), ForestRegressor):
        X, y = make_regression(n_samples=400, n_features=8, random_state=0)
    one = make(1).fit(X, y)
    for n_jobs in (2, 3, 8):
        other = make(n_jobs).fit(X, y)
        assert same_trees(one, other), n_jobs
        assert np.array_equal(one.feature_importances_, other.feature_importances_)
        if isinstance(one, ForestClassifier):
            assert one.oob_score_ == other.oob_score_
            assert np.array_equal(one.permutation_importances_, other.permutation_importances_)
    assert not same_trees(one, make(1).set_params(random_state=5).fit(X, y))


@pytest.mark.parametrize("program_options,parameters", [([], dict(min_samples_leaf=2)),
                                                        (["--min-leaf-size", "1"], {})])
def test_the_program_learns_the_same_trees_from_the_same_seed(program_options, parameters):
    program = os.environ.get("SYLVOR_PROGRAM")
    examples = os.environ.get("SYLVOR_EXAMPLES_DIR")
    if not program or not examples:
        pytest.skip("the sylvor program is not known")
    rows = [line.strip().split(",") for line in open(os.path.join(examples, "iris.csv")) if line.strip()]
    X = np.array([[float(v) for v in row[:4]] for row in rows], dtype=np.float32)
    y = np.array([row[4] for row in rows])
    with tempfile.TemporaryDirectory() as directory:
        model = os.path.join(directory, "model")
        subprocess.run([program, "learn", "--in-file", os.path.join(examples, "iris.csv"), "--desc-file",
                        os.path.join(examples, "iris.bdf"), "--model-file", model, "--seed", "77",
                        "--seeding", "per-tree", "--criteria", "gini", "--fte-per-split", "2", "--num-trees", "9",
                        "--nthreads", "3"] + program_options, check=True, capture_output=True)
        from_program = P.read_model(model)
    fitted = ForestClassifier(n_estimators=9, max_features=2, random_state=77, n_jobs=2, **parameters).fit(X, y)
    assert len(from_program) == len(fitted.estimators_) == 9
    for a, b in zip(from_program, fitted.estimators_):
        assert np.array_equal(a[:3], b[:3])
        inner = b[0] >= 0
        assert np.array_equal(a[3][inner], b[3][inner])  # model files keep every digit
        assert np.array_equal(a[4][~inner], b[4][~inner])


def test_concurrent_fits_predictions_and_seeding_calls_give_what_they_give_alone():
    X, y = make_classification(n_samples=2000, n_features=8, random_state=1)
    Xr, yr = make_regression(n_samples=1000, n_features=6, random_state=2)
    alone = {seed: ForestClassifier(n_estimators=10, random_state=seed, n_jobs=2).fit(X, y) for seed in range(1, 5)}
    alone_regression = ForestRegressor(n_estimators=6, random_state=9, n_jobs=2).fit(Xr, yr)
    expected = {seed: model.predict_proba(X) for seed, model in alone.items()}
    failures = []

    def fits(seed):
        try:
            for _ in range(20):
                model = ForestClassifier(n_estimators=10, random_state=seed, n_jobs=2).fit(X, y)
                if not same_trees(model, alone[seed]) or not np.array_equal(model.predict_proba(X), expected[seed]):
                    failures.append(seed)
                if not same_trees(ForestRegressor(n_estimators=6, random_state=9, n_jobs=1).fit(Xr, yr),
                                  alone_regression):
                    failures.append("regression")
        except Exception as error:  # noqa: BLE001 - any failure fails the test
            failures.append(repr(error))

    stop = threading.Event()

    def seeding_and_module_learning():
        x, labels = X.T.copy(), (y > 0).astype(np.int32)
        while not stop.is_set():
            P.set_seed(5)
            P.learn_di_gini(x[:, :300], labels[:300], 2, 3, 1.0, 0, 0, 2, 0)

    threads = [threading.Thread(target=fits, args=(seed,)) for seed in range(1, 5)]
    seeder = threading.Thread(target=seeding_and_module_learning)
    seeder.start()
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    stop.set()
    seeder.join()
    assert failures == []


def test_module_learning_continues_its_streams_after_one_seeding_call():
    x = np.random.default_rng(0).random((3, 200))
    labels = (x[0] > 0.5).astype(np.int32)
    P.set_seed(8)
    first, _ = P.learn_di_gini(x, labels, 2, 3, 1.0, 1, 0, 2, 0)
    second, _ = P.learn_di_gini(x, labels, 2, 3, 1.0, 1, 0, 2, 0)
    P.set_seed(8)
    again, _ = P.learn_di_gini(x, labels, 2, 3, 1.0, 1, 0, 2, 0)
    assert all(np.array_equal(a, b, equal_nan=True) for a, b in zip(first, again))
    assert not all(np.array_equal(a, b, equal_nan=True) for a, b in zip(first, second))


def test_ctrl_c_stops_a_fit_and_leaves_the_interpreter_usable():
    script = textwrap.dedent("""
        import os, signal, threading, time
        import numpy as np
        from sylvor import ForestClassifier
        rng = np.random.default_rng(0)
        X = rng.random((20000, 20))
        y = (X[:, 0] + rng.random(20000) > 1.0).astype(int)
        model = ForestClassifier(n_estimators=100000, n_jobs=2, random_state=1)
        sent = []
        def interrupt():
            time.sleep(1.0)
            sent.append(time.monotonic())
            os.kill(os.getpid(), signal.SIGINT)
        threading.Thread(target=interrupt).start()
        try:
            model.fit(X, y)
            print("fit ended")
        except KeyboardInterrupt:
            print("interrupted after %.2f s" % (time.monotonic() - sent[0]))
        print("fitted" if hasattr(model, "estimators_") else "unfitted")
        small = ForestClassifier(n_estimators=3, random_state=1).fit(X[:200], y[:200])
        print("usable", small.score(X[:200], y[:200]) > 0.5)
    """)
    result = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=120,
                            env=dict(os.environ))
    lines = result.stdout.split("\n")
    assert lines[0].startswith("interrupted after "), result.stdout + result.stderr
    assert float(lines[0].split()[2]) < 1.0
    assert lines[1:3] == ["unfitted", "usable True"]
