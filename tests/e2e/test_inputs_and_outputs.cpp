// What the commands refuse before they work and what they leave behind when
// they fail: models that are no models, outputs that would overwrite
// inputs, standard output that cannot be written, models voting for classes
// the description does not have, companions paired with their own model
// under concurrent writers, and inputs whose size would cost quadratic work.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "e2e/run_program.hpp"

namespace SylvorTest {
namespace {

const std::string examples = SYLVOR_EXAMPLES_DIR;

// Runs a shell command line; returns the program's exit status.
int run_shell(const std::string& command) {
  const int status = std::system(("bash -c '" + command + "'").c_str());
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

class Files : public ::testing::Test {
protected:
  std::string dir = make_temp_directory();
  std::string in(const std::string& name) const { return dir + "/" + name; }

  std::vector<std::string> iris(const std::string& command) const {
    return {command, "--in-file", examples + "/iris.csv", "--desc-file", examples + "/iris.bdf", "--quiet"};
  }
  // Learns a small iris model at in(name) with its medians beside it.
  void learn_iris(const std::string& name, int seed = 1) const {
    auto args = iris("learn");
    args.insert(args.end(), {"--model-file", in(name), "--num-trees", "3", "--seed", std::to_string(seed)});
    const auto r = run_sylvor(args);
    ASSERT_EQ(r.status, 0) << r.err;
  }
};

// ------------------------------------------------------- models that are none

struct NotAModel {
  std::string name;
  std::string command;
  std::string model;    // a path under the test folder
  std::string message;  // after "sylvor COMMAND error: ", MODEL standing for the path
};

class RefusedModel : public Files, public ::testing::WithParamInterface<NotAModel> {};

// Refused before the data are read: nothing is printed, not even the
// read time, and an empty data file changes nothing.
TEST_P(RefusedModel, BeforeTheDataAreRead) {
  const NotAModel& c = GetParam();
  std::ofstream(in("empty")) << "";
  ::mkdir(in("folder").c_str(), 0755);
  std::ofstream(in("no-rows.csv")) << "";
  const std::string model = in(c.model);
  const auto r = run_sylvor({c.command, "--in-file", in("no-rows.csv"), "--desc-file", examples + "/iris.bdf",
                             "--model-file", model});
  EXPECT_EQ(r.status, 2);
  EXPECT_EQ(r.out, "");
  std::string message = c.message;
  message.replace(message.find("MODEL"), 5, model);
  EXPECT_EQ(r.err, "sylvor " + c.command + " error: " + message + "\n");
}

INSTANTIATE_TEST_SUITE_P(
    Models, RefusedModel,
    ::testing::Values(NotAModel{"MissingForTest", "test", "none", "could not open model file: `MODEL'"},
                      NotAModel{"EmptyForTest", "test-classify", "empty", "model file `MODEL' is empty"},
                      NotAModel{"FolderForTest", "test-regress", "folder", "model file `MODEL' is not a regular file"},
                      NotAModel{"MissingForInfo", "info", "none", "could not open model file: `MODEL'"},
                      NotAModel{"EmptyForInfo", "info", "empty", "model file `MODEL' is empty"},
                      NotAModel{"FolderForInfo", "info", "folder", "model file `MODEL' is not a regular file"}),
    [](const ::testing::TestParamInfo<NotAModel>& info) { return info.param.name; });

TEST_F(Files, AModelWithoutTreesIsRefusedByTheTest) {
  std::ofstream(in("blank")) << "\n   \n";
  const auto r = run_sylvor({"test", "--in-file", examples + "/iris.csv", "--desc-file", examples + "/iris.bdf",
                             "--model-file", in("blank")});
  EXPECT_EQ(r.status, 2);
  EXPECT_EQ(r.err, "sylvor test error: model file `" + in("blank") + "' holds no trees\n");
  EXPECT_EQ(r.out.find("Classification Rate"), std::string::npos);
}

// ------------------------------------------- leaves voting for other classes

struct ForeignLeaf {
  std::string name;
  std::string description;  // a description of iris.csv
  std::string model;        // lisp
  std::string message;      // after "...does not fit the description `DESC': "
};

class ForeignClass : public Files, public ::testing::WithParamInterface<ForeignLeaf> {};

// Refused when the model is read, labelled data or not: no prediction of
// a class that does not exist is ever printed or written.
TEST_P(ForeignClass, IsRefusedWhenTheModelIsRead) {
  const ForeignLeaf& c = GetParam();
  std::ofstream(in("d.bdf")) << c.description;
  std::ofstream(in("m")) << c.model;
  std::ofstream(in("p")) << "earlier predictions";
  std::ofstream(in("log")) << "an earlier run's log\n";
  const auto r = run_sylvor({"test", "--in-file", examples + "/iris.csv", "--desc-file", in("d.bdf"),
                             "--model-file", in("m"), "--predictions-file", in("p"), "--log-file", in("log")});
  EXPECT_EQ(r.status, 2);
  const std::string error = "error: model file `" + in("m") + "' does not fit the description `" + in("d.bdf") +
                            "': " + c.message;
  EXPECT_EQ(r.err, "sylvor test " + error + "\n");
  EXPECT_EQ(slurp(in("p")), "earlier predictions");
  // The log is this run's: its lines up to the failure, then the error.
  const auto log = lines_of(slurp(in("log")));
  ASSERT_EQ(log.size(), 2u) << slurp(in("log"));
  EXPECT_EQ(log[0].rfind("dataset-read-time ", 0), 0u);
  EXPECT_EQ(log[1], error);
}

const char* const iris_description = "num-features 4\nclass-column 4\nlabel 0 setosa\nlabel 1 versicolor\n"
                                     "label 2 virginica\n";
// The label column ignored: rows without labels.
const char* const unlabelled_description = "num-features 4\nignore 4\nlabel 0 setosa\nlabel 1 versicolor\n"
                                           "label 2 virginica\n";
const char* const plus_minus_description = "num-features 4\nignore 4\nlabel-type plus-one-minus-one\n"
                                           "label -1 small\nlabel 1 large\n";

INSTANTIATE_TEST_SUITE_P(
    Leaves, ForeignClass,
    ::testing::Values(
        ForeignLeaf{"OneBeyondTheClasses", iris_description, "(label 3)",
                    "tree 0 has a leaf voting for class 3, but the classes are 0 to 2"},
        ForeignLeaf{"MinusOneOfZeroOnwardClasses", iris_description,
                    "(label 0)\n(left (label 1) right (label -1) findex 2 threshold 2.5)",
                    "tree 1 has a leaf voting for class -1, but the classes are 0 to 2"},
        ForeignLeaf{"UnlabelledRows", unlabelled_description, "(label 3)",
                    "tree 0 has a leaf voting for class 3, but the classes are 0 to 2"},
        ForeignLeaf{"ZeroOfPlusMinusClasses", plus_minus_description, "(left (label 1) right (label 0) findex 0 "
                    "threshold 5)", "tree 0 has a leaf voting for class 0, but the classes are -1 and +1"}),
    [](const ::testing::TestParamInfo<ForeignLeaf>& info) { return info.param.name; });

// ------------------------------------------------ outputs over inputs (info)

struct InfoOverwrite {
  std::string name;
  std::vector<std::string> args;  // after info; M is the model, D the description
  std::string victim;             // the input that must stay: M, M.medians or D
  std::string what;               // the input's role in the message
};

class InfoOutput : public Files, public ::testing::WithParamInterface<InfoOverwrite> {};

TEST_P(InfoOutput, NeverOverwritesAnInput) {
  learn_iris("M");
  std::ofstream(in("D")) << iris_description;
  const InfoOverwrite& c = GetParam();
  std::vector<std::string> args{"info"};
  for (const std::string& a : c.args) args.push_back(a == "M" || a == "D" || a == "M.medians" ? in(a) : a);
  const std::string before = slurp(in(c.victim));
  const auto r = run_sylvor(args);
  EXPECT_EQ(r.status, 2);
  EXPECT_EQ(r.err, "sylvor info error: the output file `" + in(c.victim) + "' is also the " + c.what +
                       " file: an output must not overwrite an input or another output\n");
  EXPECT_EQ(slurp(in(c.victim)), before);
}

INSTANTIATE_TEST_SUITE_P(
    Info, InfoOutput,
    ::testing::Values(InfoOverwrite{"OutIsTheModel", {"--model-file", "M", "--dot", "--out", "M"}, "M", "model"},
                      InfoOverwrite{"OutIsTheMedians", {"--model-file", "M", "--out", "M.medians"}, "M.medians",
                                    "medians"},
                      InfoOverwrite{"OutIsTheDescription", {"--model-file", "M", "--desc-file", "D", "--out", "D"},
                                    "D", "description"}),
    [](const ::testing::TestParamInfo<InfoOverwrite>& info) { return info.param.name; });

// -------------------------------------------------- standard output that fails

struct FullOutput {
  std::string name;
  std::string command;  // a shell command line; MODEL, DIR, SYLVOR and EXAMPLES are replaced
};

class FullStandardOutput : public Files, public ::testing::WithParamInterface<FullOutput> {};

// Whatever a command prints to a full standard output is an error (status
// 2), and the files it would have written keep their earlier contents.
TEST_P(FullStandardOutput, IsAnErrorThatLeavesEarlierFiles) {
  learn_iris("model");
  std::ofstream(in("predictions")) << "earlier predictions";
  std::ofstream(in("matrix")) << "earlier matrix";
  std::string command = GetParam().command;
  for (const auto& [word, value] : std::vector<std::pair<std::string, std::string>>{
           {"SYLVOR", SYLVOR_PROGRAM}, {"EXAMPLES", examples}, {"MODEL", in("model")}, {"DIR", dir}}) {
    for (auto at = command.find(word); at != std::string::npos; at = command.find(word, at + value.size())) {
      command.replace(at, word.size(), value);
    }
  }
  EXPECT_EQ(run_shell(command + " > /dev/full 2> " + in("err")), 2);
  EXPECT_EQ(slurp(in("err")).rfind("sylvor ", 0), 0u) << slurp(in("err"));
  EXPECT_NE(slurp(in("err")).find("standard output"), std::string::npos) << slurp(in("err"));
  EXPECT_EQ(slurp(in("predictions")), "earlier predictions");
  EXPECT_EQ(slurp(in("matrix")), "earlier matrix");
}

INSTANTIATE_TEST_SUITE_P(
    Commands, FullStandardOutput,
    ::testing::Values(
        FullOutput{"InfoSummary", "SYLVOR info --model-file MODEL"},
        FullOutput{"InfoDot", "SYLVOR info --model-file MODEL --dot"},
        FullOutput{"TestScores", "SYLVOR test --in-file EXAMPLES/iris.csv --desc-file EXAMPLES/iris.bdf "
                                 "--model-file MODEL --predictions-file DIR/predictions --conf-matrix-file DIR/matrix"},
        FullOutput{"TestStringLabels", "SYLVOR test --in-file EXAMPLES/iris.csv --desc-file EXAMPLES/iris.bdf "
                                       "--model-file MODEL --predictions-file DIR/predictions --print-string-labels 1 "
                                       "--conf-matrix-file DIR/matrix"}),
    [](const ::testing::TestParamInfo<FullOutput>& info) { return info.param.name; });

// ---------------------------------------------- companions of concurrent learns

// Two learns of different rows write one model path at once, over and
// over. Whatever the interleaving, the medians beside the model are the
// ones learned with it or are recognised as another write's: never another
// learn's medians under a valid fingerprint.
TEST_F(Files, ConcurrentLearnsNeverPairAModelWithTheOtherMedians) {
  std::ofstream(in("a.txt")) << "0 1 2 3 4 5 6 7 8 9 50 51 52 53 54 100 101 102 103 104";
  std::ofstream(in("b.txt")) << "40 41 42 43 44 90 91 92 93 94 140 141 142 143 144 145 146 147 148 149";
  auto learn = [&](const std::string& rows, const std::string& model) {
    auto args = iris("learn");
    args.insert(args.end(), {"--selection-file", in(rows), "--model-file", model, "--num-trees", "40", "--seed", "3"});
    return run_sylvor(args);
  };
  ASSERT_EQ(learn("a.txt", in("a.model")).status, 0);
  ASSERT_EQ(learn("b.txt", in("b.model")).status, 0);
  const std::string a_model = slurp(in("a.model")), b_model = slurp(in("b.model"));
  const std::string a_medians = slurp(in("a.model.medians")), b_medians = slurp(in("b.model.medians"));
  ASSERT_NE(a_model, b_model);
  ASSERT_NE(a_medians.substr(a_medians.rfind("medians")), b_medians.substr(b_medians.rfind("medians")));
  // A companion names its model only through the fingerprint: the same
  // text whatever the model's path.
  for (int round = 0; round < 12; ++round) {
    std::thread other([&] { EXPECT_EQ(learn("b.txt", in("shared")).status, 0); });
    EXPECT_EQ(learn("a.txt", in("shared")).status, 0);
    other.join();
    const std::string model = slurp(in("shared")), medians = slurp(in("shared.medians"));
    ASSERT_TRUE(model == a_model || model == b_model) << "round " << round;
    const std::string& own = model == a_model ? a_medians : b_medians;
    const std::string& foreign = model == a_model ? b_medians : a_medians;
    // The other learn's companion may stand beside the model only as stale:
    // its fingerprint is of the other model's bytes.
    if (medians != own) {
      EXPECT_EQ(medians, foreign) << "round " << round;
    }
    std::remove(in("shared").c_str());
    std::remove(in("shared.medians").c_str());
  }
}

// ------------------------------------------------------------- bounded work

// A tree testing feature 2,000,000,000 is drawn naming that feature alone.
TEST_F(Files, ADrawingNamesOnlyTheFeaturesItShows) {
  std::ofstream(in("m")) << "(left (label 0) right (label 2) findex 2000000000 threshold 0.5)";
  const auto r = run_sylvor({"info", "--model-file", in("m"), "--desc-file", examples + "/iris.bdf", "--dot"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.out.find("feature 2000000000 < 0.5"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("virginica"), std::string::npos) << r.out;
}

// 20,000 classes, one row of each: the test is scored without a matrix of
// 400,000,000 cells, which is neither stored nor printed.
TEST_F(Files, ManyClassesAreScoredWithoutTheSquareOfTheClasses) {
  const int classes = 20000;
  {
    std::ofstream description(in("many.bdf"));
    description << "num-features 1\nclass-column 1\n";
    std::ofstream data(in("many.csv"));
    for (int c = 0; c < classes; ++c) {
      description << "label " << c << " c" << c << "\n";
      data << c << ",c" << c << "\n";
    }
  }
  // Class 7 below 7.5, else class 8: two rows right.
  std::ofstream(in("m")) << "(left (label 7) right (label 8) findex 0 threshold 7.5)";
  const std::vector<std::string> args{"test", "--in-file", in("many.csv"), "--desc-file", in("many.bdf"),
                                      "--model-file", in("m"), "--predictions-file", in("p")};
  const auto r = run_sylvor(args);
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.out.find("Classification Rate: " + std::to_string(2.0 / classes).substr(0, 6)), std::string::npos)
      << r.out.substr(0, 2000);
  EXPECT_NE(r.out.find("(not printed: 20000 classes, more than 1000)"), std::string::npos);
  EXPECT_LT(r.out.size(), 2000u);

  auto with_matrix = args;
  with_matrix.insert(with_matrix.end(), {"--conf-matrix-file", in("matrix")});
  const auto refused = run_sylvor(with_matrix);
  EXPECT_EQ(refused.status, 2);
  EXPECT_EQ(refused.err, "sylvor test error: --conf-matrix-file: the description declares 20000 classes, but a "
                         "confusion matrix is written for at most 1000\n");
  EXPECT_EQ(refused.out, "");
}

// ------------------------------------------- names taken from the data file

// Iris with a header row of names, described without a class name.
class NamesFromData : public Files {
protected:
  void SetUp() override {
    std::ofstream data(in("iris.csv"));
    data << "sepal_length,sepal_width,petal_length,petal_width,species\n" << slurp(examples + "/iris.csv");
    std::ofstream(in("iris.bdf")) << "num-features 4\nclass-column 4\nheader\n";
  }
  ProgramResult run(const std::string& command, const std::string& description, std::vector<std::string> more) const {
    std::vector<std::string> args{command, "--in-file", in("iris.csv"), "--desc-file", in(description),
                                  "--model-file", in("m"), "--quiet"};
    args.insert(args.end(), more.begin(), more.end());
    return run_sylvor(args);
  }
};

TEST_F(NamesFromData, ClassAndFeatureNamesGoBesideTheModelAndTestingUsesThem) {
  const auto learned = run("learn", "iris.bdf", {"--seed", "1", "--num-trees", "5"});
  ASSERT_EQ(learned.status, 0) << learned.err;
  EXPECT_EQ(slurp(in("m.bdf")),
            "header\nnum-features 4\nclass-column 4\nlabel 0 setosa\nlabel 1 versicolor\nlabel 2 virginica\n"
            "feature-name 0 sepal_length\nfeature-name 1 sepal_width\nfeature-name 2 petal_length\n"
            "feature-name 3 petal_width\n");
  // The same forest as one learned from a description that names the
  // classes in that order, on the file without its header.
  auto named = iris("learn");
  named.insert(named.end(), {"--model-file", in("named"), "--seed", "1", "--num-trees", "5"});
  ASSERT_EQ(run_sylvor(named).status, 0);
  EXPECT_EQ(slurp(in("m")), slurp(in("named")));

  const auto tested = run("test", "iris.bdf", {"--predictions-file", in("p"), "--print-string-labels", "true"});
  ASSERT_EQ(tested.status, 0) << tested.err;
  std::istringstream words(slurp(in("p")));
  std::vector<std::string> predicted;
  for (std::string word; words >> word;) predicted.push_back(word);
  ASSERT_EQ(predicted.size(), 150u);
  EXPECT_EQ(predicted.front(), "setosa");
  EXPECT_EQ(predicted.back(), "virginica");
  // The written description serves as the description too.
  EXPECT_EQ(run("test", "m.bdf", {"--predictions-file", in("p2"), "--print-string-labels", "true"}).status, 0);
  EXPECT_EQ(slurp(in("p2")), slurp(in("p")));
}

TEST_F(NamesFromData, AClassTheModelNeverLearnedIsNamedWithItsRow) {
  ASSERT_EQ(run("learn", "iris.bdf", {"--seed", "1", "--num-trees", "2"}).status, 0);
  std::ofstream(in("iris.csv")) << "a,b,c,d,e\n1,2,3,4,setosa\n1,2,3,4,daisy\n";
  const auto r = run("test", "iris.bdf", {"--predictions-file", in("p")});
  EXPECT_EQ(r.status, 2);
  EXPECT_EQ(r.err, "sylvor test error: row 1: label 'daisy' is not a class of the description (its classes are "
                   "setosa, versicolor, virginica)\n");
}

TEST_F(NamesFromData, TestingWithoutTheModelsDescriptionSaysWhereItLooked) {
  ASSERT_EQ(run("learn", "iris.bdf", {"--seed", "1", "--num-trees", "2"}).status, 0);
  std::remove(in("m.bdf").c_str());
  const auto r = run("test", "iris.bdf", {"--predictions-file", in("p")});
  EXPECT_EQ(r.status, 2);
  EXPECT_EQ(r.err, "sylvor test error: the description `" + in("iris.bdf") +
                       "' names no class, and the class names learned with the model cannot be read from `" +
                       in("m.bdf") + "' (written beside the model when learning took them from the data)\n");
  EXPECT_EQ(slurp(in("p")), "");
}

struct RefusedNames {
  std::string name;
  std::string data;           // rows after the header
  std::string model;          // the model file's name
  std::string error_ending;   // of the learn command's message
};

class NamesFromDataRefused : public NamesFromData, public ::testing::WithParamInterface<RefusedNames> {};

TEST_P(NamesFromDataRefused, BeforeLearningAndWithoutWritingAnything) {
  std::ofstream(in("iris.csv")) << "a,b,c,d,class\n" << GetParam().data;
  const auto r = run_sylvor({"learn", "--in-file", in("iris.csv"), "--desc-file", in("iris.bdf"), "--model-file",
                             in(GetParam().model), "--quiet", "--seed", "1"});
  EXPECT_EQ(r.status, 2);
  EXPECT_NE(r.err.find(GetParam().error_ending), std::string::npos) << r.err;
  EXPECT_EQ(r.out.find("Training"), std::string::npos);
  EXPECT_EQ(slurp(in("m")), "");
  EXPECT_EQ(slurp(in("iris.bdf")), "num-features 4\nclass-column 4\nheader\n");
}

INSTANTIATE_TEST_SUITE_P(
    Names, NamesFromDataRefused,
    ::testing::Values(
        RefusedNames{"ClassNameOfTwoWords", "1,2,3,4,\"Iris setosa\"\n", "m",
                     "class name 'Iris setosa' cannot be kept in the model's description, whose class names are "
                     "single words without '#'\n"},
        RefusedNames{"MissingClassName", "1,2,3,4,a\n1,2,3,4,?\n", "m", "row 1: the label is missing ('?')\n"},
        RefusedNames{"ModelDescriptionIsTheDescription", "1,2,3,4,a\n", "iris",
                     "' would overwrite the description file: give the model another name\n"}),
    [](const auto& info) { return info.param.name; });

TEST_F(Files, IntegerFeaturesWarnOncePerColumnThatLosesDecimals) {
  std::ofstream(in("d.csv")) << "1,2.5,a\n2,3,b\n3,4.75,a\n";
  std::ofstream(in("d.bdf")) << "num-features 2\nclass-column 2\nlabel 0 a\nlabel 1 b\n";
  const auto r = run_sylvor({"learn-int", "--in-file", in("d.csv"), "--desc-file", in("d.bdf"), "--model-file",
                             in("m"), "--seed", "1", "--num-trees", "2", "--quiet"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.err, "sylvor warning: data file `" + in("d.csv") +
                       "': column 1 has decimals, which the feature type int drops: '2.5' in row 0 is read as 2 (the "
                       "first such value of the column; use --feature-type float or double to keep them)\n");
  const auto as_float = run_sylvor({"learn", "--in-file", in("d.csv"), "--desc-file", in("d.bdf"), "--model-file",
                                    in("m2"), "--seed", "1", "--num-trees", "2", "--quiet"});
  EXPECT_EQ(as_float.err, "");
}

// ------------------------------------------------------ leaf samples, quantiles

class Quantiles : public Files {
protected:
  std::vector<std::string> diabetes(const std::string& command, const std::string& selection) const {
    return {command, "--in-file", examples + "/diabetes.csv", "--desc-file", examples + "/diabetes.bdf",
            "--selection-file", examples + "/" + selection, "--model-file", in("d.model"), "--quiet"};
  }
  ProgramResult learn(std::vector<std::string> more = {}) const {
    auto args = diabetes("learn-regress", "diabetes-train.txt");
    args.insert(args.end(), {"--num-trees", "20", "--seed", "3", "--seeding", "per-tree"});
    args.insert(args.end(), more.begin(), more.end());
    return run_sylvor(args);
  }
  ProgramResult test(std::vector<std::string> more) const {
    auto args = diabetes("test-regress", "diabetes-test.txt");
    args.insert(args.end(), more.begin(), more.end());
    return run_sylvor(args);
  }
};

std::vector<double> numbers_of(const std::string& line) {
  std::istringstream words(line);
  std::vector<double> values;
  for (double v; words >> v;) values.push_back(v);
  return values;
}

// The model is the one learned without the samples; each row's line holds
// the mean the plain test predicts, then ascending quantiles that are
// training targets.
TEST_F(Quantiles, EachRowGetsItsMeanAndQuantilesFromTheLeafSamplesBesideTheModel) {
  ASSERT_EQ(learn().status, 0);
  const std::string plain_model = slurp(in("d.model"));
  const auto kept = learn({"--keep-leaf-samples"});
  ASSERT_EQ(kept.status, 0) << kept.err;
  EXPECT_NE(kept.out.find("Writing the leaf samples to " + in("d.model.leaves")), std::string::npos);
  EXPECT_EQ(slurp(in("d.model")), plain_model);
  ASSERT_EQ(test({"--predictions-file", in("means")}).status, 0);
  const auto r = test({"--quantiles", "0.9,0.1,0.5", "--predictions-file", in("q")});
  ASSERT_EQ(r.status, 0) << r.err;
  const std::vector<double> means = numbers_of(slurp(in("means")));
  const std::vector<std::string> rows = lines_of(slurp(in("q")));
  ASSERT_EQ(rows.size(), means.size());
  const std::string leaves = slurp(in("d.model.leaves"));
  const std::vector<double> targets =
      numbers_of(leaves.substr(leaves.find("targets ") + 8, leaves.find("trees ") - leaves.find("targets ") - 8));
  for (std::size_t i = 0; i < rows.size(); ++i) {
    const std::vector<double> row = numbers_of(rows[i]);
    ASSERT_EQ(row.size(), 4u) << rows[i];
    EXPECT_EQ(row[0], means[i]);
    EXPECT_LE(row[2], row[3]);
    EXPECT_LE(row[3], row[1]);
    for (std::size_t j = 1; j < 4; ++j) {
      EXPECT_NE(std::find(targets.begin() + 1, targets.end(), row[j]), targets.end()) << rows[i];
    }
  }
}

struct RefusedQuantiles {
  std::string name;
  std::vector<std::string> learn;  // extra learn options
  std::vector<std::string> test;   // test-regress options
  int status;
  std::string message;
};

class QuantilesRefused : public Quantiles, public ::testing::WithParamInterface<RefusedQuantiles> {};

// Refused with a message naming what is missing or wrong, and no predictions
// file written.
TEST_P(QuantilesRefused, WithAClearMessageAndNoPredictions) {
  const RefusedQuantiles& c = GetParam();
  ASSERT_EQ(learn(c.learn).status, 0);
  if (c.name == "StaleLeaves") {
    // Learned again, without the samples: the companion stays, of another model.
    ASSERT_EQ(learn({"--min-leaf-size", "3"}).status, 0);
  }
  if (c.name == "DamagedLeaves") {
    const std::string text = slurp(in("d.model.leaves"));
    std::ofstream(in("d.model.leaves")) << text.substr(0, text.size() / 2);
  }
  std::vector<std::string> args = c.test;
  args.insert(args.end(), {"--predictions-file", in("q")});
  const auto r = test(args);
  EXPECT_EQ(r.status, c.status) << r.err;
  EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
  struct stat info;
  EXPECT_NE(::stat(in("q").c_str(), &info), 0);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, QuantilesRefused,
    ::testing::Values(
        RefusedQuantiles{"NoLeaves", {}, {"--quantiles", "0.5"}, 2, "d.model.leaves'): learn it with --keep-leaf-samples"},
        RefusedQuantiles{"StaleLeaves", {"--keep-leaf-samples"}, {"--quantiles", "0.5"}, 2, "written for other contents"},
        RefusedQuantiles{"DamagedLeaves", {"--keep-leaf-samples"}, {"--quantiles", "0.5"}, 2, "leaf samples file `"},
        RefusedQuantiles{"OutOfRange", {"--keep-leaf-samples"}, {"--quantiles", "0.5,1.5"}, 1,
                         "--quantiles: '1.5' is not a number between 0 and 1"},
        RefusedQuantiles{"NotANumber", {"--keep-leaf-samples"}, {"--quantiles", "0.5,,0.9"}, 1,
                         "--quantiles: '' is not a number"}),
    [](const auto& info) { return info.param.name; });

TEST_F(Quantiles, ClassificationCommandsRefuseTheRegressionOptions) {
  auto learn_args = iris("learn");
  learn_args.insert(learn_args.end(), {"--model-file", in("i.model"), "--keep-leaf-samples"});
  const auto learned = run_sylvor(learn_args);
  EXPECT_EQ(learned.status, 1);
  EXPECT_NE(learned.err.find("--keep-leaf-samples keeps the leaf samples of regression forests"), std::string::npos);
  learn_iris("i.model");
  auto test_args = iris("test");
  test_args.insert(test_args.end(), {"--model-file", in("i.model"), "--quantiles", "0.5"});
  const auto tested = run_sylvor(test_args);
  EXPECT_EQ(tested.status, 1);
  EXPECT_NE(tested.err.find("--quantiles predicts quantiles of regression forests"), std::string::npos);
}

}  // namespace
}  // namespace SylvorTest
