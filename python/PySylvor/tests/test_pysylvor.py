"""Tests of the PySylvor_wrap module on numpy arrays."""
import os
import subprocess
import tempfile
import threading
import time

import numpy as np
import pytest

import PySylvor_wrap as P


def two_class_data(n=200, features=3, seed=0):
    rng = np.random.default_rng(seed)
    x = rng.random((features, n))
    y = (x[0] + 0.3 * x[1] > 0.65).astype(np.int32)
    return x, y


@pytest.fixture(autouse=True)
def seeded():
    P.set_seed(1)


def test_learn_returns_tree_arrays_and_no_importances():
    x, y = two_class_data()
    trees, importances = P.learn_di_gini(x, y, 2, 4, 1.0, 0, 0, 2, 0)
    assert importances is None
    assert len(trees) == 4
    for tree in trees:
        assert tree.dtype == np.float64 and tree.ndim == 2 and tree.shape[0] == 5
        assert tree.flags.c_contiguous


def test_importances_are_per_feature_and_sum_to_one():
    x, y = two_class_data()
    _, importances = P.learn_di_gini(x, y, 2, 5, 1.0, 0, 0, 2, 1)
    assert importances.dtype == np.float64 and importances.shape == (3,)
    assert importances.sum() == pytest.approx(1.0)
    assert importances[0] > importances[2]


@pytest.mark.parametrize("learn,dtype,test", [
    (P.learn_ii_gini, np.int32, P.test_ii), (P.learn_si_infogain, np.float32, P.test_si),
    (P.learn_bi_gainratio, np.uint8, P.test_bi), (P.learn_di_infogain, np.float64, P.test_di)])
def test_every_feature_type_learns_and_predicts(learn, dtype, test):
    x, y = two_class_data()
    x = (x * 100).astype(dtype)
    trees, _ = learn(x, y, 2, 10, 1.0, 0, 0, 2, 0)
    out = np.full(x.shape[1], -7, np.int32)
    assert test(x, trees, 2, out, 2) == 0.0
    assert (out == y).mean() > 0.95


@pytest.mark.parametrize("learn,dtype", [
    (P.learn_dd_variance, np.float64), (P.learn_ss_variance, np.float32), (P.learn_bd_variance, np.float64)])
def test_floating_labels_hold_class_numbers(learn, dtype):
    x, y = two_class_data()
    if learn is P.learn_bd_variance:
        x = (x * 100).astype(np.uint8)
    elif dtype == np.float32:
        x = x.astype(np.float32)
    trees, _ = learn(x, y.astype(dtype), 2, 5, 1.0, 0, 0, 1, 0)
    leaves = np.concatenate([t[4][t[0] < 0] for t in trees])
    assert set(np.unique(leaves)) <= {0.0, 1.0}


def test_label_count_mismatch_learns_nothing():
    x, y = two_class_data()
    with pytest.raises(RuntimeError, match="^the number of labels must be the same as the number of rows "
                                           r"\(instances\) in the instance matrix$"):
        P.learn_di_gini(x, y[:-1], 2, 3, 1.0, 0, 0, 1, 0)


def test_instances_by_features_is_named_in_the_label_count_error():
    x, y = two_class_data()
    with pytest.raises(RuntimeError, match=r"^the number of labels must be the same as the number of rows "
                                           r"\(instances\) in the instance matrix \(X has one row per label: X is "
                                           r"laid out features x instances, so pass X.T"):
        P.learn_di_gini(np.ascontiguousarray(x.T), y, 2, 3, 1.0, 0, 0, 1, 0)


FAMILY = {
    "learn": ["X", "Y", "num_classes", "num_trees", "sampling_prop", "fte_per_split", "max_depth", "num_threads",
              "compute_feature_importances"],
    "test": ["X", "forest", "num_classes", "out", "num_threads"],
    "prob": ["X", "forest", "num_classes", "out", "num_threads"],
    "init_pool": ["name"],
    "set_seed": ["seed"],
}
ENTRIES = ([f"learn_{x}i_{c}" for c in ("infogain", "gini", "gainratio") for x in "idsb"]
           + [f"learn_{x}{y}_variance" for y in "ds" for x in "idsb"]
           + [f"test_{x}i" for x in "idsb"] + [f"prob_{x}{p}" for x in "dsib" for p in "ds"]
           + ["init_pool", "set_seed"])


@pytest.mark.parametrize("name", ENTRIES)
def test_every_entry_names_its_arguments_and_says_what_it_does(name):
    entry = getattr(P, name)
    signature, _, text = entry.__doc__.partition("\n\n")
    names = FAMILY[name.split("_")[0] if name.split("_")[0] in FAMILY else name]
    assert signature.startswith(name + "(" + ", ".join(names[:1]))
    assert [param.split(":")[0].strip() for param in signature[len(name) + 1:signature.index(")")].split(",")] == names
    assert len(text) > 40


def test_module_docstring_gives_the_layout_of_x():
    assert "features x instances" in P.__doc__


def test_keywords_give_what_positions_give():
    x, y = two_class_data()
    P.set_seed(3)
    by_position, _ = P.learn_di_gini(x, y, 2, 3, 1.0, 0, 0, 1, 0)
    P.set_seed(seed=3)
    by_name, _ = P.learn_di_gini(x, y, num_classes=2, num_trees=3, sampling_prop=1.0, fte_per_split=0, max_depth=0,
                                 num_threads=1, compute_feature_importances=0)
    assert all(np.array_equal(a, b, equal_nan=True) for a, b in zip(by_position, by_name))
    out = np.zeros(x.shape[1], dtype=np.int32)
    P.test_di(X=x, forest=by_name, num_classes=2, out=out, num_threads=1)
    assert (out == y).mean() > 0.9


@pytest.mark.parametrize("labels,message", [
    ([0, 2, 1], "invalid class label 2. Labels must be >= 0 and < num_classes; num_classes=2."),
    ([0, -1, 1], "invalid class label -1. Labels must be >= 0 and < num_classes; num_classes=2.")])
def test_labels_outside_the_classes(labels, message):
    x = np.ones((2, 3))
    with pytest.raises(RuntimeError) as error:
        P.learn_di_gini(x, np.array(labels, np.int32), 2, 3, 1.0, 0, 0, 1, 0)
    assert str(error.value) == message


def test_double_labels_are_truncated_before_the_check():
    x = np.array([[0.0, 1.0, 2.0, 3.0]])
    P.learn_dd_variance(x, np.array([-0.5, 0.0, 1.0, 1.9]), 2, 2, 1.0, 0, 0, 1, 0)
    with pytest.raises(RuntimeError, match="invalid class label -1"):
        P.learn_dd_variance(x, np.array([-1.5, 0.0, 1.0, 1.0]), 2, 2, 1.0, 0, 0, 1, 0)


def test_probabilities_are_vote_fractions():
    x, y = two_class_data()
    trees, _ = P.learn_di_gini(x, y, 3, 8, 1.0, 0, 0, 2, 0)
    for dtype, prob in [(np.float64, P.prob_dd), (np.float32, P.prob_ds)]:
        out = np.full((x.shape[1], 3), -1.0, dtype)
        assert prob(x, trees, 3, out, 2) == 0.0
        assert np.allclose(out.sum(axis=1), 1.0)
        assert np.all(out[:, 2] == 0.0)
        assert set(np.unique(out * 8)) <= set(range(9))


def test_empty_forests_cannot_predict():
    x, _ = two_class_data()
    out = np.zeros(x.shape[1], np.int32)
    for forest in ([], [np.zeros((5, 0))], ()):
        with pytest.raises(RuntimeError) as error:
            P.test_di(x, forest, 2, out, 1)
        assert str(error.value) == "error: forest is empty: cannot predict\n"


def one_split_tree():
    # Root tests feature 0 at 0.5: left leaf 0, right leaf 1.
    return np.array([[1, -1, -1], [2, -1, -1], [0, -1, -1], [0.5, np.nan, np.nan], [-2, 0, 1]], np.float64)


def predict(forest, x=np.array([[0.2, 0.7]])):
    out = np.zeros(x.shape[1], np.int32)
    P.test_di(x, forest, 2, out, 1)
    return list(out)


@pytest.mark.parametrize("forest", [
    [one_split_tree()],
    (one_split_tree(),),
    [np.asfortranarray(one_split_tree()).astype(np.float32)],
    [one_split_tree().T.copy().T.astype(np.float32)],
    [np.vstack([one_split_tree(), np.full((1, 3), 99.0)])],
    [np.hstack([one_split_tree(), np.zeros((5, 2))])[:, :3]],
    [one_split_tree()[:, ::1], "a string item is skipped", None, [[1, 2]]],
    "(left (label 0) right (label 1) threshold 0.5 findex 0)",
    b"(left (label 0) right (label 1) threshold 0.5 findex 0)\n(left (label 0) right (label 1) threshold 0.5 findex 0)",
])
def test_forest_arguments(forest):
    assert predict(forest) == [0, 1]


def test_strided_float32_tree_array():
    wide = np.zeros((5, 6), np.float32)
    wide[:, ::2] = one_split_tree()
    assert predict([wide[:, ::2]]) == [0, 1]


@pytest.mark.parametrize("forest,message", [
    ([one_split_tree().astype(np.float16)], "only float32/float64 supported for numpy arrays that encode decision trees"),
    ([np.nan_to_num(one_split_tree()).astype(np.int32)], "only float32/float64 supported for numpy arrays that encode decision trees"),
    ([np.zeros(5)], "decision tree array must have at least 5 rows"),
    ([np.array(1.0)], "forest[i]: only 1D or 2D arrays supported."),
    (42, "forest must be a string or a sequence of float32/float64 arrays"),
    ("(label 1", "unbalanced parentheses"),
    ("(colour 1)", "error: unexpected token: colour\n"),
    ([np.array([[1, -1, -1], [7, -1, -1], [0, -1, -1], [0.5, 0, 0], [0, 0, 1]], np.float64)],
     "error: invalid tree: node 0 has child 7 but the tree has 3 nodes\n"),
])
def test_bad_forests(forest, message):
    with pytest.raises(RuntimeError) as error:
        predict(forest)
    assert str(error.value) == message


def test_single_leaf_tree_array():
    x = np.array([[1.0, 2.0, 3.0]])
    trees, _ = P.learn_di_gini(x, np.array([1, 1, 1], np.int32), 2, 1, 1.0, 0, 0, 1, 0)
    assert trees[0].shape == (5, 1)
    assert trees[0][0, 0] == -1 and trees[0][1, 0] == -1 and trees[0][4, 0] == 1
    assert trees[0][2, 0] == -1 and np.isnan(trees[0][3, 0])


@pytest.mark.parametrize("call,error,text", [
    (lambda x, y: P.learn_di_gini(x.astype(np.float32), y, 2, 1, 1.0, 0, 0, 1, 0), TypeError, "X must have dtype float64"),
    (lambda x, y: P.learn_di_gini(list(x), y, 2, 1, 1.0, 0, 0, 1, 0), TypeError, "X must be a numpy array"),
    (lambda x, y: P.learn_di_gini(x[0], y, 2, 1, 1.0, 0, 0, 1, 0), ValueError, "X must be 2-dimensional"),
    (lambda x, y: P.learn_di_gini(x, y.astype(np.int64), 2, 1, 1.0, 0, 0, 1, 0), TypeError, "Y must have dtype int32"),
    (lambda x, y: P.learn_di_gini(x, y, 0, 1, 1.0, 0, 0, 1, 0), ValueError, "num_classes must be at least 1"),
    (lambda x, y: P.learn_di_gini(x, y, 2, -1, 1.0, 0, 0, 1, 0), ValueError, "num_trees must not be negative"),
    (lambda x, y: P.learn_di_gini(x, y, 2, 1, 1.0, 0, 0, 100000, 0), ValueError, "num_threads must be at most 4096"),
    (lambda x, y: P.test_di(x, [one_split_tree()], 2, np.zeros(3, np.int32), 1), ValueError, "label output must have one entry per instance"),
    (lambda x, y: P.test_di(x, [one_split_tree()], 2, np.zeros(x.shape[1], np.int64), 1), TypeError, "label output must have dtype int32"),
    (lambda x, y: P.prob_dd(x, [one_split_tree()], 3, np.zeros((x.shape[1], 2)), 1), ValueError, "at least num_classes"),
    (lambda x, y: P.prob_dd(x, [one_split_tree()], 2, np.zeros((x.shape[1], 2), np.float32), 1), TypeError, "probability output must have dtype float64"),
])
def test_arguments_are_checked(call, error, text):
    x, y = two_class_data()
    with pytest.raises(error, match=text):
        call(x, y)


def test_wrong_argument_count_is_the_interpreters_error():
    with pytest.raises(TypeError):
        P.test_di(np.zeros((1, 1)))


def test_init_pool_with_an_unreadable_file():
    with pytest.raises(RuntimeError) as error:
        P.init_pool("/no/such/seed/file")
    assert str(error.value) == "error: unable to read from random number file /no/such/seed/file\n"
    with tempfile.NamedTemporaryFile() as seed_file:
        seed_file.write(np.arange(1, 200, dtype=np.int64).tobytes())
        seed_file.flush()
        assert P.init_pool(seed_file.name) == 0.0


def test_same_seed_and_threads_give_identical_arrays():
    x, y = two_class_data(500)
    results = []
    for _ in range(2):
        P.set_seed(77)
        trees, importances = P.learn_di_gainratio(x, y, 2, 6, 0.8, 2, 0, 2, 1)
        results.append((trees, importances))
    for a, b in zip(results[0][0], results[1][0]):
        assert np.array_equal(a, b, equal_nan=True)


def read_vectortxt(path):
    trees = []
    lines = open(path).read().split("\n")
    k = 0
    while k < len(lines) and lines[k].startswith("vtxt"):
        rows = [np.array(lines[k + r].split(), dtype=np.float64) for r in range(1, 6)]
        trees.append(np.vstack(rows))
        k += 6
    return trees


def test_program_and_module_learn_the_same_trees():
    program = os.environ.get("SYLVOR_PROGRAM")
    if not program:
        pytest.skip("the sylvor program is not known")
    rng = np.random.default_rng(5)
    x = rng.random((4, 300)).astype(np.float32)
    y = ((x[0] > 0.5).astype(np.int32) + (x[1] > 0.7).astype(np.int32)).astype(np.int32)
    with tempfile.TemporaryDirectory() as directory:
        data = os.path.join(directory, "data.csv")
        with open(data, "w") as out:
            for i in range(x.shape[1]):
                out.write(",".join("%.9g" % v for v in x[:, i]) + ",c%d\n" % y[i])
        description = os.path.join(directory, "data.bdf")
        with open(description, "w") as out:
            out.write("num-features 4\nclass-column 4\nlabel 0 c0\nlabel 1 c1\nlabel 2 c2\n")
        model = os.path.join(directory, "model")
        subprocess.run([program, "learn", "--in-file", data, "--desc-file", description, "--model-file", model,
                        "--seed", "12", "--nthreads", "2", "--num-trees", "5", "--criteria", "gini",
                        "--fte-per-split", "2"], check=True, capture_output=True)
        from_program = read_vectortxt(model)
    P.set_seed(12)
    from_module, _ = P.learn_si_gini(x, y, 3, 5, 1.0, 2, 0, 2, 0)
    assert len(from_program) == len(from_module) == 5
    for a, b in zip(from_program, from_module):
        assert np.array_equal(a[[0, 1, 2, 4]], b[[0, 1, 2, 4]])
        inner = b[0] >= 0
        assert np.allclose(a[3][inner], b[3][inner], rtol=1e-5)


@pytest.mark.parametrize("fmt", ["vectortxt", "lisp"])
def test_model_files_written_by_the_module_read_back(fmt):
    x, y = two_class_data(300)
    P.set_seed(3)
    trees, _ = P.learn_di_gini(x, y, 2, 4, 1.0, 0, 0, 2, 0)
    with tempfile.TemporaryDirectory() as directory:
        path = os.path.join(directory, "model")
        assert P.write_model(path, trees, fmt) == 0.0
        back = P.read_model(path)
        assert P.read_medians(path) == ("absent", None)
        medians = np.array([0.1, -1234567.89, 2.0 / 3.0])
        P.write_model(path, trees, fmt, medians=medians)
        state, recorded = P.read_medians(path)
        assert state == "recorded" and np.array_equal(recorded, medians)
        P.write_model(path, trees[:2], fmt)  # another model, the medians left beside it
        assert P.read_medians(path) == ("stale", None)
        with pytest.raises(ValueError, match="medians must be finite"):
            P.write_model(path, trees, fmt, medians=np.array([np.nan]))
    assert len(back) == len(trees)
    for a, b in zip(trees, back):
        assert np.array_equal(a[:3], b[:3])
        inner = a[0] >= 0
        assert np.array_equal(a[4][~inner], b[4][~inner])  # lisp keeps no label of an inner node
        assert np.array_equal(a[3][inner], b[3][inner])  # thresholds read back exactly


def test_write_model_refuses_an_unknown_format():
    with pytest.raises(ValueError, match="format must be 'lisp' or 'vectortxt'"):
        P.write_model(os.path.join(tempfile.gettempdir(), "never-written"), [], "xml")


def test_read_description_gives_the_features_and_class_names():
    examples = os.environ.get("SYLVOR_EXAMPLES_DIR")
    if not examples:
        pytest.skip("the examples are not known")
    assert P.read_description(os.path.join(examples, "iris.bdf")) == (4, {0: "setosa", 1: "versicolor",
                                                                          2: "virginica"}, "discrete-zero-onward")
    with tempfile.NamedTemporaryFile("w", suffix=".bdf") as bare:
        bare.write("class-column 0\n")
        bare.flush()
        assert P.read_description(bare.name) == (None, {}, "discrete-zero-onward")
        bare.write("label-type plus-one-minus-one\nlabel -1 neg\nlabel 1 pos\n")
        bare.flush()
        assert P.read_description(bare.name) == (None, {-1: "neg", 1: "pos"}, "plus-one-minus-one")
        bare.write("colour blue\n")
        bare.flush()
        with pytest.raises(RuntimeError):
            P.read_description(bare.name)


def test_learning_lets_other_python_threads_run():
    x, y = two_class_data(20000, 10)
    ticks = []
    done = threading.Event()

    def count():
        while not done.is_set():
            ticks.append(1)
            time.sleep(0.001)

    counter = threading.Thread(target=count)
    counter.start()
    time.sleep(0.01)
    before = len(ticks)
    P.learn_di_gini(x, y, 2, 40, 1.0, 0, 0, 1, 0)
    during = len(ticks) - before
    done.set()
    counter.join()
    assert during > 5


@pytest.mark.parametrize("criterion,y_of", [
    ("gini", lambda y: y),
    ("variance", lambda y: y.astype(np.float64) * 10.0),
])
def test_out_of_bag_extras_leave_the_trees_unchanged(criterion, y_of):
    x, y = two_class_data(400, 4)
    y = y_of(y)
    options = dict(criterion=criterion, num_classes=2, num_trees=12, sample_prop=0.7, num_threads=2)
    P.set_seed(9)
    plain = P.learn(x, y, **options)
    P.set_seed(9)
    trees, importances, extras = P.learn(x, y, oob=True, permutation_importances=True, **options)
    assert len(plain) == 2
    for a, b in zip(plain[0], trees):
        assert np.array_equal(a, b, equal_nan=True)
    counts = extras["oob_trees"]
    assert counts.shape == (400,) and counts.dtype == np.int32
    assert 0 < counts.mean() < 12
    if criterion == "gini":
        votes = extras["oob_votes"]
        assert votes.shape == (400, 2)
        assert np.array_equal(votes.sum(axis=1), counts)
        seen = counts > 0
        assert (np.argmax(votes[seen], axis=1) == y[seen]).mean() > 0.85
    else:
        prediction = extras["oob_prediction"]
        assert np.isnan(prediction[counts == 0]).all()
        assert np.abs(prediction[counts > 0] - y[counts > 0]).mean() < 2.5
    # Feature 0 decides most, feature 1 a little; 2 and 3 are noise.
    ranked = np.argsort(-extras["permutation_importances"])
    assert list(ranked[:2]) == [0, 1]


@pytest.mark.parametrize("criterion, y_of", [("gini", lambda y: y), ("variance", lambda y: y.astype(np.float64))])
@pytest.mark.parametrize("budget", [1, 3, 10])
def test_a_leaf_budget_bounds_every_tree(criterion, y_of, budget):
    x, y = two_class_data(300)
    y[::5] = 1 - y[::5]  # noise, so that every tree could use more leaves
    trees, importances = P.learn(x, y_of(y), criterion=criterion, num_trees=5, max_leaf_nodes=budget,
                                 compute_importances=True, seed=4)
    for tree in trees:
        assert (tree[2] == -1).sum() == budget  # leaves test no feature
    assert importances.sum() == pytest.approx(0.0 if budget == 1 else 1.0)


def test_a_negative_leaf_budget_is_refused():
    x, y = two_class_data(20)
    with pytest.raises(ValueError, match="max_leaf_nodes must not be negative"):
        P.learn(x, y, max_leaf_nodes=-1)


@pytest.mark.parametrize("value", [-0.1, float("nan")])
def test_a_negative_or_unknown_impurity_decrease_is_refused(value):
    x, y = two_class_data(20)
    with pytest.raises(ValueError, match="min_impurity_decrease must be a number of at least 0"):
        P.learn(x, y, min_impurity_decrease=value)


def test_an_impurity_decrease_beyond_the_roots_leaves_one_leaf_per_tree():
    x, y = two_class_data(200)
    grown, _ = P.learn(x, y, num_trees=3, seed=2, min_impurity_decrease=0.0)
    stopped, _ = P.learn(x, y, num_trees=3, seed=2, min_impurity_decrease=0.51)  # two classes: Gini is at most 0.5
    assert all(tree.shape[1] > 1 for tree in grown)
    assert all(tree.shape[1] == 1 for tree in stopped)


def test_only_the_asked_extras_are_returned():
    x, y = two_class_data(100)
    _, _, extras = P.learn(x, y, num_trees=3, permutation_importances=True)
    assert set(extras) == {"permutation_importances"}
    _, _, extras = P.learn(x, y, num_trees=3, oob=True)
    assert set(extras) == {"oob_trees", "oob_votes", "oob_curve"}
    _, importances, extras = P.learn(x, y, num_trees=3, seed=4, tree_importances=True)
    assert set(extras) == {"tree_importances"}
    assert extras["tree_importances"].shape == (3, x.shape[0])
    assert np.allclose(extras["tree_importances"].mean(axis=0), importances, rtol=1e-12, atol=0)


class Stream:
    """A stand-in for sys.stderr that records each write."""

    def __init__(self):
        self.writes = []

    def write(self, text):
        self.writes.append(text)

    def flush(self):
        pass


@pytest.mark.parametrize("verbose", [0, 1])
def test_verbose_draws_and_clears_a_progress_line_on_sys_stderr(monkeypatch, verbose):
    x, y = two_class_data(20000, 10)
    stream = Stream()
    monkeypatch.setattr("sys.stderr", stream)
    P.learn(x, y, num_trees=40, num_threads=1, verbose=verbose)
    if verbose == 0:
        assert stream.writes == []
        return
    assert len(stream.writes) >= 2
    assert all(w.startswith("\rLearning: ") and "/40 trees, " in w for w in stream.writes[:-1])
    assert stream.writes[-1].replace(" ", "") == "\r\r"


@pytest.mark.filterwarnings("ignore::pytest.PytestUnraisableExceptionWarning")
def test_a_failing_stderr_does_not_stop_learning(monkeypatch):
    class Broken(Stream):
        def write(self, text):
            raise OSError("closed")

    x, y = two_class_data(20000, 10)
    monkeypatch.setattr("sys.stderr", Broken())
    trees, _ = P.learn(x, y, num_trees=40, num_threads=1, verbose=1)
    assert len(trees) == 40


@pytest.mark.parametrize("call,message", [
    (lambda d: P.learn(np.zeros((1, 4)), np.zeros(4, np.int32), sample_weight=np.ones(3)),
     "there are 3 draw weights for 4 instances"),
    (lambda d: P.apply(np.zeros((1, 2)), "(colour 1)", np.zeros((2, 1), np.int32)), "unexpected token: colour"),
    (lambda d: P.read_model(os.path.join(d, "missing.model")), None),
    (lambda d: P.write_model(os.path.join(d, "m"), [], "xml"), None),
])
def test_the_general_entries_give_plain_messages(call, message):
    with tempfile.TemporaryDirectory() as directory:
        with pytest.raises((RuntimeError, ValueError)) as error:
            call(directory)
    text = str(error.value)
    assert not text.startswith("error") and not text.endswith("\n") and text
    if message is not None:
        assert text == message


def test_model_text_is_written_with_its_companions_and_parsed_back():
    x, y = two_class_data(200)
    trees = P.learn(x, y, num_trees=3, seed=4)[0]
    text = P.model_text(trees, "lisp")
    with tempfile.TemporaryDirectory() as directory:
        path = os.path.join(directory, "model")
        P.write_model_text(path, text, np.array([0.5, 2.0, 3.0]), [(".meta", b"meta of these bytes")])
        assert open(path, "rb").read() == text
        assert open(path + ".meta", "rb").read() == b"meta of these bytes"
        for a, b in zip(P.read_model(path), P.parse_model(text)):
            assert np.array_equal(a[:3], b[:3]) and np.array_equal(a[4], b[4])
        # The medians belong to the bytes written, whatever the file holds later.
        assert P.read_medians(path, text)[0] == "recorded"
        assert P.read_medians(path, P.model_text(trees[:1], "lisp")) == ("stale", None)
        with pytest.raises(ValueError, match="suffix must be a dot and a name"):
            P.write_model_text(path, text, None, [("/x", b"")])


@pytest.mark.parametrize("content,message", [
    (None, "is not a regular file"), (b"", "is empty"), (b"\n  \n", "holds no trees"),
    (b"vtxt 5 1\n-1\n-1\n-1\n0\n2.5xyz", "not a valid value of label")])
def test_read_model_refuses_files_that_hold_no_model(content, message):
    with tempfile.TemporaryDirectory() as directory:
        path = directory
        if content is not None:
            path = os.path.join(directory, "model")
            with open(path, "wb") as out:
                out.write(content)
        with pytest.raises(RuntimeError, match=message):
            P.read_model(path)
        if content:
            with pytest.raises(RuntimeError):
                P.parse_model(content)


@pytest.mark.parametrize("call,message", [
    (lambda x, y: P.learn(x, y, num_tres=3), "learn\\(\\) got an unexpected keyword argument 'num_tres'"),
    (lambda x, y: P.learn(x, y, sample_prop="half"), "sample_prop cannot be str"),
    (lambda x, y: P.out_of_bag(x, y, [], num_classes=2), "out_of_bag\\(\\) needs the keyword argument 'seed'"),
    (lambda x, y: P.out_of_bag(x, y, [], seed=1, num_trees=3),
     "out_of_bag\\(\\) got an unexpected keyword argument 'num_trees'"),
])
def test_the_general_entries_take_their_keywords_only(call, message):
    x, y = two_class_data(50)
    with pytest.raises(TypeError, match=message):
        call(x, y)


def learned_forest(regression=False, trees=6):
    x, y = two_class_data(400, features=4, seed=2)
    if regression:
        return x, y.astype(np.float64) + x[0], P.learn(x, y.astype(np.float64) + x[0], criterion="variance",
                                                       num_classes=1, num_trees=trees, seed=7, as_forest=True,
                                                       tree_importances=True)
    return x, y, P.learn(x, y, num_trees=trees, seed=7, as_forest=True, tree_importances=True)


@pytest.mark.parametrize("regression", [False, True])
def test_a_forest_answers_as_the_entries_over_its_tree_arrays(regression):
    x, y, (forest, importances, extras) = learned_forest(regression)
    arrays = forest.tree_arrays()
    rows = np.ascontiguousarray(x.T)
    assert len(forest) == len(arrays) == 6
    assert not arrays[0].flags.writeable and forest.tree_arrays()[0] is arrays[0]
    leaves = np.zeros((rows.shape[0], 6), np.int32)
    P.apply(x, arrays, leaves)
    assert np.array_equal(forest.apply(rows), leaves)
    if regression:
        means = np.zeros(rows.shape[0])
        P.predict_regression(x, arrays, means)
        assert np.array_equal(forest.predict(rows), means)
    else:
        labels, shares = np.zeros(rows.shape[0], np.int32), np.zeros((rows.shape[0], 2))
        P.test_di(x, arrays, 2, labels, 1)
        P.prob_dd(x, arrays, 2, shares, 1)
        assert np.array_equal(forest.predict(rows), labels)
        assert np.array_equal(forest.predict_proba(rows), shares)
    # The forest's importances are those learning gave, bit for bit.
    assert np.array_equal(forest.feature_importances(), importances)
    assert np.array_equal(forest.tree_importances(), extras["tree_importances"])
    indptr, indices, offsets = forest.decision_path(rows[:5])
    assert len(indptr) == 6 and offsets[-1] == sum(a.shape[1] for a in arrays)
    for i in range(5):
        path = indices[indptr[i]:indptr[i + 1]]
        assert list(path) == sorted(path)
        for t in range(6):
            assert offsets[t] + leaves[i, t] in path


@pytest.mark.parametrize("regression", [False, True])
def test_a_forest_pickles_joins_and_reads_back_exactly(regression):
    import pickle
    x, _, (forest, _, _) = learned_forest(regression)
    rows = np.ascontiguousarray(x.T)
    again = pickle.loads(pickle.dumps(forest))
    assert np.array_equal(again.predict(rows), forest.predict(rows))
    assert np.array_equal(again.feature_importances(), forest.feature_importances())
    for text in (forest.model_text("vectortxt"), forest.model_text("lisp")):
        read = P.Forest.from_model_text(text, forest.num_classes)
        assert np.array_equal(read.predict(rows), forest.predict(rows))
    _, _, (more, _, _) = learned_forest(regression, trees=3)
    joined = forest.extended(more)
    assert len(joined) == 9
    assert np.array_equal(joined.apply(rows), np.hstack([forest.apply(rows), more.apply(rows)]))
    assert joined.tree_importances().shape == (9, 4)
    other_task = learned_forest(not regression)[2][0]
    with pytest.raises(ValueError, match="cannot take the trees"):
        forest.extended(other_task)


def test_a_forest_refuses_leaves_beyond_its_classes_and_rows_of_another_type():
    x, y, (forest, _, _) = learned_forest()
    with pytest.raises(RuntimeError, match="leaf voting for class 1, but the classes are 0 to 0"):
        P.Forest.from_arrays(forest.tree_arrays(), 1)
    with pytest.raises(TypeError, match="float64 or float32"):
        forest.predict(np.ascontiguousarray(x.T).astype(np.int32))
    with pytest.raises(RuntimeError, match="tests feature 3 but the data have 2 features"):
        forest.predict(np.zeros((2, 2)))
