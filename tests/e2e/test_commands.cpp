// The learn and test commands through the built program, on the bundled
// examples: console transcripts, model, prediction, importance, matrix and
// log files, reproducibility, and the error paths.
#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <sys/wait.h>
#include <fstream>
#include <iterator>
#include <regex>
#include <sstream>

#include "e2e/run_program.hpp"

namespace SylvorTest {
namespace {

const std::string examples = SYLVOR_EXAMPLES_DIR;

bool exists(const std::string& path) { return std::ifstream(path).good(); }

// Replaces the seconds of the timing lines by <t>.
std::string without_times(const std::string& text) {
  static const std::regex seconds("(Total time to [a-z ]+:? )[-+.e0-9]+");
  return std::regex_replace(text, seconds, "$1<t>");
}

class Commands : public ::testing::Test {
protected:
  std::string dir = make_temp_directory();
  std::string in(const std::string& name) const { return dir + "/" + name; }

  std::vector<std::string> iris(const std::string& command, const std::string& selection) const {
    return {command, "--in-file", examples + "/iris.csv", "--desc-file", examples + "/iris.bdf",
            "--selection-file", examples + "/iris-" + selection + ".txt"};
  }
  std::vector<std::string> diabetes(const std::string& command, const std::string& selection) const {
    return {command, "--in-file", examples + "/diabetes.csv", "--desc-file", examples + "/diabetes.bdf",
            "--selection-file", examples + "/diabetes-" + selection + ".txt"};
  }
  static std::vector<std::string> with(std::vector<std::string> args, const std::vector<std::string>& more) {
    args.insert(args.end(), more.begin(), more.end());
    return args;
  }
};

class LearnAndTest : public Commands, public ::testing::WithParamInterface<std::string> {};

TEST_P(LearnAndTest, IrisTranscriptsFilesAndRate) {
  const std::string format = GetParam();
  const std::string word = format == "lisp" ? "LISP" : "vtxt";
  const auto learn = run_sylvor(with(iris("learn-classify", "train"),
                                     {"--model-file", in("model"), "--model-format", format, "--seed", "5",
                                      "--feature-importances-file", in("importances"), "--log-file", in("learn.log")}));
  ASSERT_EQ(learn.status, 0) << learn.err;
  EXPECT_EQ(learn.err, "");
  EXPECT_EQ(without_times(learn.out),
            "\n"
            "Total time to read dataset: <t>\n"
            "Training forest on 100 instances\n"
            "\n"
            "Total time to learn: <t>\n"
            "Writing forest in " + word + " format to " + in("model") + "\n"
            "Total time to write model: <t>\n"
            "Writing feature importances to " + in("importances") + "\n");
  const auto log_lines = lines_of(slurp(in("learn.log")));
  ASSERT_EQ(log_lines.size(), 3u);
  EXPECT_EQ(log_lines[0].rfind("dataset-read-time ", 0), 0u);
  EXPECT_EQ(log_lines[1].rfind("learn-time ", 0), 0u);
  EXPECT_EQ(log_lines[2].rfind("forest-write-time ", 0), 0u);
  const std::string importances = slurp(in("importances"));
  EXPECT_EQ(std::count(importances.begin(), importances.end(), ' '), 4);
  EXPECT_EQ(importances.back(), ' ');

  const auto test = run_sylvor(with(iris("test-classify", "test"),
                                    {"--model-file", in("model"), "--predictions-file", in("predictions"),
                                     "--conf-matrix-file", in("matrix"), "--log-file", in("test.log")}));
  ASSERT_EQ(test.status, 0) << test.err;
  const auto lines = lines_of(without_times(test.out));
  ASSERT_GE(lines.size(), 20u);
  const std::vector<std::string> head{"",
                                      "Total time to read dataset: <t>",
                                      "Reading forest from " + in("model"),
                                      "Total time to read forest <t>",
                                      "Predicting using forest of 30 trees on 50 instances",
                                      "",
                                      "Total time to predict: <t>",
                                      "",
                                      "Confusion Matrix (cumulative):",
                                      "",
                                      "          \tsetosa    \tversicolor\tvirginica \t"};
  EXPECT_EQ(std::vector<std::string>(lines.begin(), lines.begin() + 11), head);
  EXPECT_EQ(lines[14], "");
  EXPECT_EQ(lines[15], "");
  EXPECT_EQ(lines[16], "Confusion Matrix (percentage):");
  EXPECT_EQ(lines[17], "");
  ASSERT_EQ(lines[18].rfind("Classification Rate: ", 0), 0u);
  EXPECT_GE(std::stod(lines[18].substr(21)), 0.9);
  EXPECT_EQ(lines.size(), 23u);  // the percentage matrix ends the transcript
  // The matrix file holds the raw-count matrix and nothing else.
  std::string raw;
  for (int k = 10; k < 14; ++k) raw += lines[static_cast<std::size_t>(k)] + "\n";
  EXPECT_EQ(slurp(in("matrix")), raw);
  const std::string predictions = slurp(in("predictions"));
  EXPECT_EQ(std::count(predictions.begin(), predictions.end(), ' '), 50);
  const auto test_log = lines_of(slurp(in("test.log")));
  ASSERT_EQ(test_log.size(), 4u);
  EXPECT_EQ(test_log[0].rfind("dataset-read-time ", 0), 0u);
  EXPECT_EQ(test_log[1].rfind("forest-read-time ", 0), 0u);
  EXPECT_EQ(test_log[2].rfind("prediction-time ", 0), 0u);
  EXPECT_EQ(test_log[3], "classification-rate " + lines[18].substr(21));
}

INSTANTIATE_TEST_SUITE_P(Formats, LearnAndTest, ::testing::Values("vectortxt", "lisp"));

TEST_F(Commands, SameSeedAndThreadsGiveTheSameModelAndFormatsPredictAlike) {
  for (const char* name : {"a", "b"}) {
    const auto r = run_sylvor(with(iris("learn", "train"), {"--model-file", in(name), "--seed", "42", "--nthreads",
                                                            "2", "--fte-per-split", "2"}));
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out.rfind("Overriding default with 2 threads\n", 0), 0u);
  }
  EXPECT_EQ(slurp(in("a")), slurp(in("b")));
  const auto lisp = run_sylvor(with(iris("learn", "train"), {"--model-file", in("c"), "--seed", "42", "--nthreads",
                                                             "2", "--fte-per-split", "2", "--model-format", "lisp"}));
  ASSERT_EQ(lisp.status, 0) << lisp.err;
  for (const char* name : {"a", "c"}) {
    const auto r = run_sylvor(with(iris("test", "test"), {"--model-file", in(name), "--predictions-file",
                                                           in(std::string(name) + ".predictions")}));
    ASSERT_EQ(r.status, 0) << r.err;
  }
  EXPECT_EQ(slurp(in("a.predictions")), slurp(in("c.predictions")));
}

TEST_F(Commands, PredictionsOnStandardOutputEndBeforeTheMatrixHeading) {
  ASSERT_EQ(run_sylvor(with(iris("learn", "train"), {"--model-file", in("m"), "--seed", "3"})).status, 0);
  const auto r = run_sylvor(with(iris("test", "test"), {"--model-file", in("m")}));
  ASSERT_EQ(r.status, 0) << r.err;
  const auto lines = lines_of(r.out);
  ASSERT_GT(lines.size(), 9u);
  EXPECT_EQ(std::count(lines[7].begin(), lines[7].end(), ' '), 50);
  EXPECT_EQ(lines[8], "Confusion Matrix (cumulative):");
}

TEST_F(Commands, StringLabelsPrintNamesAndNoScores) {
  ASSERT_EQ(run_sylvor(with(iris("learn", "train"), {"--model-file", in("m"), "--seed", "3"})).status, 0);
  const auto r = run_sylvor(with(iris("test", "test"), {"--model-file", in("m"), "--print-string-labels", "true",
                                                        "--log-file", in("log"), "--conf-matrix-file", in("matrix")}));
  ASSERT_EQ(r.status, 0) << r.err;
  // The matrix file asked for is still written, with every test row.
  const auto matrix = lines_of(slurp(in("matrix")));
  ASSERT_EQ(matrix.size(), 4u);
  EXPECT_EQ(matrix[1].rfind("setosa", 0), 0u);
  EXPECT_EQ(r.out.find("Confusion Matrix"), std::string::npos);
  EXPECT_EQ(r.out.find("Classification Rate"), std::string::npos);
  EXPECT_NE(r.out.find("setosa setosa "), std::string::npos);
  const auto log = lines_of(slurp(in("log")));
  ASSERT_EQ(log.size(), 3u);
  EXPECT_EQ(log[2].rfind("prediction-time ", 0), 0u);
}

TEST_F(Commands, RegressionLearnAndTest) {
  const auto learn = run_sylvor(with(diabetes("learn-regress", "train"),
                                     {"--model-file", in("m"), "--criteria", "variance", "--seed", "9",
                                      "--log-file", in("learn.log")}));
  ASSERT_EQ(learn.status, 0) << learn.err;
  EXPECT_EQ(without_times(learn.out),
            "\nTotal time to read dataset: <t>\nTraining forest on 331 instances\n\nTotal time to learn: <t>\n"
            "Writing forest in vtxt format to " + in("m") + "\nTotal time to write model: <t>\n");
  EXPECT_FALSE(exists(in("learn.log")));  // regression learning keeps no log

  const auto test = run_sylvor(with(diabetes("test-regress", "test"),
                                    {"--model-file", in("m"), "--predictions-file", in("p"), "--log-file", in("log"),
                                     "--conf-matrix-file", in("matrix")}));
  ASSERT_EQ(test.status, 0) << test.err;
  const auto lines = lines_of(without_times(test.out));
  ASSERT_EQ(lines.size(), 9u);
  EXPECT_EQ(lines[4], "Predicting using forest of 30 trees on 111 instances");
  ASSERT_EQ(lines[8].rfind("Mean Squared Error (regression): ", 0), 0u);
  // The target's variance is about 5900; a forest does far better.
  EXPECT_LT(std::stod(lines[8].substr(33)), 4500.0);
  EXPECT_FALSE(exists(in("matrix")));
  const auto log = lines_of(slurp(in("log")));
  ASSERT_EQ(log.size(), 4u);
  EXPECT_EQ(log[3].rfind("mse ", 0), 0u);

  const auto texts = run_sylvor(with(diabetes("test-regress", "test"),
                                     {"--model-file", in("m"), "--predictions-file", in("q"),
                                      "--print-string-labels", "1"}));
  ASSERT_EQ(texts.status, 0);
  EXPECT_EQ(slurp(in("q")), slurp(in("p")));
  EXPECT_EQ(texts.out.find("Mean Squared Error"), std::string::npos);
}

struct FailingRun {
  std::string name;
  std::vector<std::string> extra;  // after the iris learn arguments
  std::string command;
  std::string last_out_line;        // the last line printed before the failure
  std::string err;
};

class FailingCommands : public Commands, public ::testing::WithParamInterface<FailingRun> {};

TEST_P(FailingCommands, StopWithTheirErrorLine) {
  const FailingRun& c = GetParam();
  std::vector<std::string> args = c.command == "learn-regress" ? diabetes(c.command, "train") : iris(c.command, "train");
  auto with_dir = [this](std::string text) {
    for (auto at = text.find("DIR"); at != std::string::npos; at = text.find("DIR", at + dir.size())) {
      text.replace(at, 3, dir);
    }
    return text;
  };
  for (const auto& e : c.extra) args.push_back(with_dir(e));
  const auto r = run_sylvor(args);
  EXPECT_EQ(r.status, 2);
  const auto lines = lines_of(without_times(r.out));
  EXPECT_EQ(lines.empty() ? std::string() : lines.back(), with_dir(c.last_out_line));
  EXPECT_EQ(r.err, with_dir(c.err));
}

INSTANTIATE_TEST_SUITE_P(
    Errors, FailingCommands,
    ::testing::Values(

        // Outputs are checked before anything is read or learned.
        FailingRun{"ModelFolderMissing", {"--model-file", "/no/such/dir/model"}, "learn-classify", "",
                   "sylvor learn-classify error: cannot write the model file `/no/such/dir/model': the folder "
                   "`/no/such/dir' does not exist\n"},
        FailingRun{"ImportancesFileIsAFolder", {"--model-file", "DIR/m", "--feature-importances-file", "DIR"},
                   "learn", "", "sylvor learn error: cannot write the feature importances file `DIR': it is a folder\n"},
        FailingRun{"LogFolderMissing", {"--model-file", "DIR/m", "--log-file", "/no/such/dir/log"}, "learn", "",
                   "sylvor learn error: cannot write the log file `/no/such/dir/log': the folder `/no/such/dir' "
                   "does not exist\n"},
        FailingRun{"LogIsTheDataFile", {"--model-file", "DIR/m", "--log-file", SYLVOR_EXAMPLES_DIR "/iris.csv"},
                   "learn", "",
                   "sylvor learn error: the log file `" SYLVOR_EXAMPLES_DIR "/iris.csv' is also the data file: an "
                   "output must not overwrite an input or another output\n"},
        FailingRun{"ImportancesAreTheModel", {"--model-file", "DIR/m", "--feature-importances-file", "DIR/./m"},
                   "learn", "",
                   "sylvor learn error: the feature importances file `DIR/./m' is also the model file: an output "
                   "must not overwrite an input or another output\n"},
        FailingRun{"PredictionsAreTheModel", {"--model-file", SYLVOR_EXAMPLES_DIR "/iris.bdf",
                                              "--predictions-file", SYLVOR_EXAMPLES_DIR "/iris.bdf"}, "test", "",
                   "sylvor test error: the predictions file `" SYLVOR_EXAMPLES_DIR "/iris.bdf' is also the "
                   "description file: an output must not overwrite an input or another output\n"},
        FailingRun{"PredictionsAreTheModelsMedians", {"--model-file", "DIR/m", "--predictions-file", "DIR/m.medians"},
                   "test", "",
                   "sylvor test error: the predictions file `DIR/m.medians' is also the medians file: an output "
                   "must not overwrite an input or another output\n"},
        FailingRun{"ImportancesAreTheModelsMedians",
                   {"--model-file", "DIR/m", "--feature-importances-file", "DIR/m.medians"}, "learn", "",
                   "sylvor learn error: the medians file `DIR/m.medians' is also the feature importances file: an "
                   "output must not overwrite an input or another output\n"}),
    [](const ::testing::TestParamInfo<FailingRun>& info) { return info.param.name; });

TEST_F(Commands, MissingSelectionFileFailsBeforeTheDataFile) {
  std::ofstream(in("model")) << "(label 0)\n";
  const auto r = run_sylvor(
      {"test", "--selection-file", in("none"), "--in-file", in("no-data.csv"), "--model-file", in("model")});
  EXPECT_EQ(r.status, 2);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err, "sylvor test error: could not open selection file: `" + in("none") + "'\n");
}

TEST_F(Commands, InputErrorsNameTheirPlace) {
  std::ofstream(in("bad.bdf")) << "# pets\nnum-features 4\nlable 0 cat\n";
  const auto description = run_sylvor(
      {"learn", "--desc-file", in("bad.bdf"), "--in-file", examples + "/iris.csv", "--model-file", in("m")});
  EXPECT_EQ(description.status, 2);
  EXPECT_EQ(description.err, "sylvor learn error (line 3): invalid command: lable\n");

  std::ofstream(in("bad.csv")) << "1,2,3,4,setosa\n1,2,x,4,setosa\n";
  const auto data =
      run_sylvor({"learn", "--desc-file", examples + "/iris.bdf", "--in-file", in("bad.csv"), "--model-file", in("m")});
  EXPECT_EQ(data.status, 2);
  EXPECT_EQ(data.err, "sylvor learn error: row 1 col_no 2: could not convert 'x' to a double.\n");

  const auto missing = run_sylvor(
      {"learn", "--desc-file", examples + "/iris.bdf", "--in-file", in("none.csv"), "--model-file", in("m")});
  EXPECT_EQ(missing.err, "sylvor learn error: could not open data file: `" + in("none.csv") + "'\n");

  const auto model = run_sylvor(with(iris("test", "test"), {"--model-file", in("no-model")}));
  EXPECT_EQ(model.status, 2);
  EXPECT_EQ(model.err, "sylvor test error: could not open model file: `" + in("no-model") + "'\n");
}

TEST_F(Commands, EveryFeatureTypeLearnsAndTests) {
  // Iris measurements in tenths of a centimetre fit every feature type.
  std::ofstream out(in("iris10.csv"));
  std::istringstream rows(slurp(examples + "/iris.csv"));
  for (std::string row; std::getline(rows, row);) {
    std::istringstream cells(row);
    std::string cell;
    for (int k = 0; k < 4; ++k) {
      std::getline(cells, cell, ',');
      out << static_cast<int>(std::stod(cell) * 10 + 0.5) << ',';
    }
    std::getline(cells, cell);
    out << cell << '\n';
  }
  out.close();
  for (const std::string type : {"double", "int", "short", "uchar", "float"}) {
    auto args = [&](const std::string& command, const std::string& selection) {
      return std::vector<std::string>{command, "--in-file", in("iris10.csv"), "--desc-file", examples + "/iris.bdf",
                                      "--selection-file", examples + "/iris-" + selection + ".txt",
                                      "--feature-type", type, "--model-file", in(type), "--seed", "2"};
    };
    ASSERT_EQ(run_sylvor(args("learn", "train")).status, 0) << type;
    const auto r = run_sylvor(args("test", "test"));
    ASSERT_EQ(r.status, 0) << type << r.err;
    const auto at = r.out.find("Classification Rate: ");
    ASSERT_NE(at, std::string::npos);
    EXPECT_GE(std::stod(r.out.substr(at + 21)), 0.9) << type;
  }
}

}  // namespace
}  // namespace SylvorTest

namespace SylvorTest {
namespace {

TEST_F(Commands, InfoSummarisesAModelInEitherFormat) {
  const std::string lisp =
      "(\n   left \n   (\n      label 7\n   )\n   right \n   (\n      label 1\n   )\n"
      "   threshold 0.5\n   findex 2\n)\n\n";
  const std::string vtxt = "vtxt 5 3 \n1 -1 -1\n2 -1 -1\n2 -1 -1\n0.5 0 0\n0 7 1\n";
  std::ofstream(in("m.lisp")) << lisp << lisp;
  std::ofstream(in("m.vtxt")) << vtxt << vtxt;
  std::ofstream(in("names.bdf")) << "label 0 no\nlabel 1 yes\n";
  for (const char* name : {"m.lisp", "m.vtxt"}) {
    const auto r = run_sylvor({"info", "--model-file", in(name), "--desc-file", in("names.bdf")});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out,
              "Model: " + in(name) + "\n"
              "Trees: 2\n"
              "Nodes: total 6, per tree min 3 / median 3 / max 3\n"
              "Leaves: total 4, per tree min 2 / median 2 / max 2\n"
              "Depth: min 1 / median 1 / max 1\n"
              "Feature splits (feature: splits):\n"
              "  2: 2\n"
              "Leaf labels (label: leaves):\n"
              "  yes (1): 2\n"
              "  7: 2\n");
  }
  const auto missing = run_sylvor({"info", "--model-file", in("none")});
  EXPECT_EQ(missing.status, 2);
  EXPECT_EQ(missing.err, "sylvor info error: could not open model file: `" + in("none") + "'\n");
  std::ofstream(in("bad")) << "vtxt 5 2\n1 -1\n";
  const auto bad = run_sylvor({"info", "--model-file", in("bad")});
  EXPECT_EQ(bad.status, 2);
  EXPECT_EQ(bad.err, "sylvor info error: model file `" + in("bad") +
                         "': truncated vectortxt block: 2 values of right expected, 0 found\n");
}

}  // namespace
}  // namespace SylvorTest

namespace SylvorTest {
namespace {

TEST_F(Commands, OneRowRegressionPredictsItsTarget) {
  std::ofstream(in("one.csv")) << "1.5,2,151.5\n";
  std::ofstream(in("one.bdf")) << "num-features 2\nclass-column 2\nlabel-type regression\n";
  const std::vector<std::string> files{"--in-file", in("one.csv"), "--desc-file", in("one.bdf"),
                                       "--model-file", in("model")};
  ASSERT_EQ(run_sylvor(with(with({"learn-regress"}, files), {"--criteria", "variance", "--seed", "2"})).status, 0);
  const auto test = run_sylvor(with(with({"test-regress"}, files), {"--predictions-file", in("predictions")}));
  ASSERT_EQ(test.status, 0) << test.err;
  EXPECT_EQ(slurp(in("predictions")), "151.5 ");
}

TEST_F(Commands, MissingValuesTakeTheTrainingMediansWhateverTheBatch) {
  // Iris with the first cell of every tenth row missing.
  std::ifstream iris_rows(examples + "/iris.csv");
  std::ofstream train(in("train.csv"));
  std::string line;
  for (int row = 0; std::getline(iris_rows, line); ++row) {
    train << (row % 10 == 3 ? "?" + line.substr(line.find(',')) : line) << "\n";
  }
  train.close();
  const std::vector<std::string> description{"--desc-file", examples + "/iris.bdf"};
  auto learn = [&](const std::string& model, const std::string& seed) {
    return run_sylvor(with(with({"learn-classify", "--in-file", in("train.csv"), "--model-file", model, "--seed", seed},
                                description),
                           {"--num-trees", "20"}));
  };
  ASSERT_EQ(learn(in("model"), "4").status, 0);
  ASSERT_TRUE(exists(in("model.medians")));
  // A flower without its petal measures, alone and among virginica ones:
  // the medians of either batch would decide its class.
  const std::string flower = "5.0,3.4,?,?,setosa\n";
  std::ofstream(in("alone.csv")) << flower;
  std::ofstream batch(in("batch.csv"));
  batch << flower;
  for (int k = 0; k < 5; ++k) batch << "6.9,3.1,5.4,2.1,virginica\n";
  batch.close();
  auto first_prediction = [&](const std::string& data) {
    const auto r = run_sylvor(with(with({"test-classify", "--in-file", in(data), "--model-file", in("model"),
                                         "--predictions-file", in("predictions")},
                                        description),
                                   {}));
    EXPECT_EQ(r.status, 0) << r.err;
    return std::make_pair(slurp(in("predictions")).substr(0, 2), r.err);
  };
  const auto alone = first_prediction("alone.csv");
  const auto among = first_prediction("batch.csv");
  EXPECT_EQ(alone.first, among.first);
  EXPECT_EQ(alone.second + among.second, "");

  // Without the model's medians: those of the batch, said in one line.
  const std::string warning_end = "; missing values are filled with the medians of the rows being tested\n";
  std::rename(in("model.medians").c_str(), in("kept.medians").c_str());
  EXPECT_EQ(first_prediction("batch.csv").second, "sylvor warning: no medians are recorded for the model (no file `" +
                                                      in("model.medians") + "')" + warning_end);
  // Medians beside a model they were not written for are not used either.
  std::rename(in("kept.medians").c_str(), in("model.medians").c_str());
  ASSERT_EQ(learn(in("other"), "5").status, 0);
  std::rename(in("other").c_str(), in("model").c_str());
  EXPECT_EQ(first_prediction("batch.csv").second, "sylvor warning: `" + in("model.medians") +
                                                      "' was written for another model than `" + in("model") + "'" +
                                                      warning_end);
}

TEST_F(Commands, LeafBudgetLimitsEveryTreeAndStillTests) {
  const auto learn = run_sylvor(with(diabetes("learn-regress", "train"),
                                     {"--model-file", in("model"), "--seed", "3", "--max-leaf-nodes", "4",
                                      "--criteria", "variance", "--min-instances-per-node", "1"}));
  ASSERT_EQ(learn.status, 0) << learn.err;
  const auto info = run_sylvor({"info", "--model-file", in("model")});
  ASSERT_EQ(info.status, 0) << info.err;
  EXPECT_NE(info.out.find("Leaves: total 120, per tree min 4 / median 4 / max 4\n"), std::string::npos) << info.out;
  const auto test = run_sylvor(with(diabetes("test-regress", "test"), {"--model-file", in("model")}));
  ASSERT_EQ(test.status, 0) << test.err;
}

TEST_F(Commands, OutOfBagOptionsLeaveTheModelUnchanged) {
  for (const char* threads : {"1", "2"}) {
    for (const char* seed : {"1", "7"}) {
      const auto plain = run_sylvor(with(iris("learn", "train"), {"--model-file", in("plain"), "--seed", seed,
                                                                   "--nthreads", threads}));
      const auto oob = run_sylvor(with(iris("learn", "train"), {"--model-file", in("oob"), "--seed", seed,
                                                                 "--nthreads", threads, "--oob", "--log-file",
                                                                 in("log")}));
      const auto permuted = run_sylvor(with(iris("learn", "train"),
                                            {"--model-file", in("permuted"), "--seed", seed, "--nthreads", threads,
                                             "--permutation-importances-file", in("importances")}));
      ASSERT_EQ(oob.status, 0) << oob.err;
      ASSERT_EQ(permuted.status, 0) << permuted.err;
      EXPECT_EQ(slurp(in("plain")), slurp(in("oob")));
      EXPECT_EQ(slurp(in("plain")), slurp(in("permuted")));
      const auto lines = lines_of(without_times(oob.out));
      const auto at = std::find(lines.begin(), lines.end(), "Total time to learn: <t>");
      ASSERT_NE(at, lines.end());
      EXPECT_TRUE(std::regex_match(*(at + 1), std::regex(R"(Out-of-bag error: [0-9.e-]+ \(\d+ instances without out-of-bag trees\))")))
          << *(at + 1);
      const auto log = lines_of(slurp(in("log")));
      ASSERT_EQ(log.size(), 4u);
      EXPECT_EQ(log[2].rfind("oob-error ", 0), 0u);

      // One value per feature; the petal measurements (features 2 and 3)
      // decide the species, the sepal ones hardly matter.
      std::istringstream values(slurp(in("importances")));
      std::vector<double> importances{std::istream_iterator<double>(values), std::istream_iterator<double>()};
      ASSERT_EQ(importances.size(), 4u);
      EXPECT_LT(std::max(importances[0], importances[1]), std::min(importances[2], importances[3]));
      EXPECT_NE(permuted.out.find("Writing permutation importances to " + in("importances")), std::string::npos);
    }
  }
}

TEST_F(Commands, RegressionPermutationImportancesLeaveTheModelUnchanged) {
  for (const char* threads : {"1", "2"}) {
    const auto plain = run_sylvor(with(diabetes("learn-regress", "train"),
                                       {"--model-file", in("plain"), "--seed", "3", "--nthreads", threads, "--criteria", "variance"}));
    const auto permuted = run_sylvor(with(diabetes("learn-regress", "train"),
                                          {"--model-file", in("permuted"), "--seed", "3", "--nthreads", threads, "--criteria", "variance",
                                           "--permutation-importances-file", in("importances"), "--oob"}));
    ASSERT_EQ(permuted.status, 0) << permuted.err;
    EXPECT_EQ(slurp(in("plain")), slurp(in("permuted")));
    EXPECT_NE(permuted.out.find("Out-of-bag mean squared error: "), std::string::npos);
    std::istringstream values(slurp(in("importances")));
    std::vector<double> importances{std::istream_iterator<double>(values), std::istream_iterator<double>()};
    EXPECT_EQ(importances.size(), 10u);
  }
}

TEST_F(Commands, AnUnwritablePermutationImportancesFileFails) {
  const auto result = run_sylvor(with(iris("learn", "train"), {"--model-file", in("model"),
                                                                "--permutation-importances-file",
                                                                in("missing/importances")}));
  EXPECT_EQ(result.status, 2);
  EXPECT_NE(result.err.find("permutation importances"), std::string::npos) << result.err;
}

// A learn run long enough (about a second) for the progress line to be drawn.
class Progress : public Commands {
protected:
  void SetUp() override {
    std::ofstream csv(in("data.csv"));
    unsigned state = 12345;
    for (int i = 0; i < 12000; ++i) {
      double sum = 0.0;
      for (int f = 0; f < 10; ++f) {
        state = state * 1103515245u + 12345u;
        const double value = static_cast<double>((state >> 8) % 10000) / 10000.0;
        sum += f < 3 ? value : 0.0;
        csv << value << ",";
      }
      csv << (sum > 1.5 ? "yes" : "no") << "\n";
    }
    std::ofstream(in("data.bdf")) << "num-features 10\nclass-column 10\nlabel 0 no\nlabel 1 yes\n";
  }
  std::vector<std::string> learn(const std::vector<std::string>& more, const std::string& model = "") const {
    return with({"learn", "--in-file", in("data.csv"), "--desc-file", in("data.bdf"), "--model-file",
                 model.empty() ? in("model") : model, "--num-trees", "40", "--nthreads", "1", "--seed", "5"},
                more);
  }
};

TEST_F(Progress, DrawnOnATerminalClearedAtTheEndAndNeverInTranscripts) {
  const auto terminal = run_sylvor_on_terminal(learn({}));
  ASSERT_EQ(terminal.status, 0) << terminal.err;
  const std::string model = slurp(in("model"));
  EXPECT_EQ(terminal.err.rfind("\rLearning: ", 0), 0u) << terminal.err;
  EXPECT_TRUE(std::regex_search(terminal.err, std::regex(R"(\rLearning: \d+/40 trees, \d+:\d\d elapsed, (\d+:\d\d|\?) left)")));
  // The last thing on the terminal blanks the line and returns to its start.
  EXPECT_TRUE(std::regex_search(terminal.err, std::regex("\r +\r$"))) << terminal.err;

  // With standard error in a file, nothing is written there and the
  // transcript and model are those of the terminal run.
  const auto file = run_sylvor(learn({}));
  ASSERT_EQ(file.status, 0) << file.err;
  EXPECT_EQ(file.err, "");
  EXPECT_EQ(without_times(file.out), without_times(terminal.out));
  EXPECT_EQ(slurp(in("model")), model);

  const auto quiet = run_sylvor_on_terminal(learn({"--quiet"}));
  ASSERT_EQ(quiet.status, 0);
  EXPECT_EQ(quiet.err, "");
  EXPECT_EQ(slurp(in("model")), model);
}

TEST_F(Progress, ErrorsStillReachATerminalAfterTheLineIsCleared) {
  // A device that takes no data: writable as far as the checks can tell,
  // it fails only when the forest is written, after learning.
  const auto result = run_sylvor_on_terminal(learn({}, "/dev/full"));
  EXPECT_EQ(result.status, 2);
  EXPECT_TRUE(std::regex_search(result.err, std::regex("\r +\rsylvor learn error: could not write model file: `/dev/full'")))
      << result.err;
}

}  // namespace
}  // namespace SylvorTest

namespace SylvorTest {
namespace {

TEST_F(Commands, PerTreeSeedingGivesTheSameModelForEveryThreadCount) {
  std::string first;
  for (const char* threads : {"1", "2", "3", "8"}) {
    const auto learn = run_sylvor(with(iris("learn", "train"),
                                       {"--model-file", in("model"), "--seed", "9", "--nthreads", threads,
                                        "--seeding", "per-tree", "--fte-per-split", "2", "--num-trees", "12"}));
    ASSERT_EQ(learn.status, 0) << learn.err;
    if (first.empty()) {
      first = slurp(in("model"));
    } else {
      EXPECT_EQ(slurp(in("model")), first) << threads << " threads";
    }
  }
  // Per-thread seeding (the default) depends on the thread count here.
  const auto one = run_sylvor(with(iris("learn", "train"), {"--model-file", in("one"), "--seed", "9", "--nthreads",
                                                             "1", "--fte-per-split", "2", "--num-trees", "12"}));
  const auto two = run_sylvor(with(iris("learn", "train"), {"--model-file", in("two"), "--seed", "9", "--nthreads",
                                                             "2", "--fte-per-split", "2", "--num-trees", "12"}));
  ASSERT_EQ(two.status, 0) << two.err;
  EXPECT_NE(slurp(in("one")), slurp(in("two")));
  const auto bad = run_sylvor(with(iris("learn", "train"), {"--model-file", in("bad"), "--seeding", "per-forest"}));
  EXPECT_EQ(bad.status, 1);
  EXPECT_EQ(bad.err,
            "sylvor learn error: unknown seeding 'per-forest' (valid seedings: 'per-thread' or 'per-tree')\n");
}

// A data set that takes a while to learn from: 20,000 rows of 10 features.
std::string long_learning_data(const std::string& dir) {
  std::FILE* out = std::fopen((dir + "/big.csv").c_str(), "w");
  unsigned state = 12345;
  for (int i = 0; i < 20000; ++i) {
    for (int f = 0; f < 10; ++f) {
      state = state * 1103515245u + 12345u;
      std::fprintf(out, "%u,", (state >> 8) % 10000);
    }
    std::fprintf(out, "%s\n", (state >> 4) % 2 ? "a" : "b");
  }
  std::fclose(out);
  std::FILE* desc = std::fopen((dir + "/big.bdf").c_str(), "w");
  std::fprintf(desc, "num-features 10\nclass-column 10\nlabel 0 a\nlabel 1 b\n");
  std::fclose(desc);
  return dir + "/big";
}

struct StopCase {
  int signal_number;
  int status;
};

class StopSignals : public Commands, public ::testing::WithParamInterface<StopCase> {};

TEST_P(StopSignals, StopLearningPromptlyAndLeaveEveryOutputButTheirLogUntouched) {
  const std::string data = long_learning_data(dir);
  for (const char* name : {"model", "importances", "log"}) std::ofstream(in(name)) << "earlier " << name << "\n";
  double seconds = 0.0;
  const auto result = run_sylvor_signalled(
      {"learn", "--in-file", data + ".csv", "--desc-file", data + ".bdf", "--num-trees", "5000", "--nthreads", "2",
       "--model-file", in("model"), "--feature-importances-file", in("importances"), "--log-file", in("log"),
       "--seed", "1"},
      GetParam().signal_number, "Training forest on", seconds);
  EXPECT_EQ(result.status, GetParam().status) << result.err;
  EXPECT_EQ(result.err, "sylvor learn error: interrupted\n");
  EXPECT_LT(seconds, 5.0);
  for (const char* name : {"model", "importances"}) {
    EXPECT_EQ(slurp(in(name)), std::string("earlier ") + name + "\n") << name;
  }
  // The log is this run's, up to the interruption.
  const auto log = lines_of(slurp(in("log")));
  ASSERT_EQ(log.size(), 2u) << slurp(in("log"));
  EXPECT_EQ(log[0].rfind("dataset-read-time ", 0), 0u);
  EXPECT_EQ(log[1], "error: interrupted");
  // No temporary file is left beside the outputs.
  int entries = 0;
  std::unique_ptr<std::FILE, int (*)(std::FILE*)> listing(popen(("ls -A " + dir).c_str(), "r"), pclose);
  char line[512];
  while (std::fgets(line, sizeof line, listing.get()) != nullptr) ++entries;
  EXPECT_EQ(entries, 5);  // big.csv, big.bdf, model, importances, log
}

INSTANTIATE_TEST_SUITE_P(Signals, StopSignals,
                         ::testing::Values(StopCase{SIGINT, 130}, StopCase{SIGTERM, 143}),
                         [](const ::testing::TestParamInfo<StopCase>& info) {
                           return info.param.signal_number == SIGINT ? "Interrupt" : "Terminate";
                         });

}  // namespace
}  // namespace SylvorTest

namespace SylvorTest {
namespace {

// A data set whose values and targets lose their meaning in six digits:
// feature 0 is 1700000000 + 10 i, the class changes at i = 60, and the
// target is 1234567.89 plus a small step per class.
class LargeMagnitudes : public Commands {
protected:
  void SetUp() override {
    std::ofstream csv(in("large.csv"));
    csv.precision(17);
    for (int i = 0; i < 120; ++i) csv << 1700000000.0 + 10.0 * i << "," << (i < 60 ? "low" : "high") << "\n";
    std::ofstream(in("large.bdf")) << "num-features 1\nclass-column 1\nlabel 0 low\nlabel 1 high\n";
    std::ofstream reg(in("target.csv"));
    reg.precision(17);
    for (int i = 0; i < 120; ++i) reg << i << "," << 1234567.89 + (i < 60 ? 0.0 : 0.01) << "\n";
    std::ofstream(in("target.bdf")) << "num-features 1\nclass-column 1\nlabel-type regression\n";
  }
};

TEST_F(LargeMagnitudes, AModelReadBackPredictsAsTheForestLearned) {
  for (const char* format : {"vectortxt", "lisp"}) {
    const auto learned = run_sylvor({"learn", "--in-file", in("large.csv"), "--desc-file", in("large.bdf"),
                                     "--model-file", in("model"), "--model-format", format, "--seed", "1",
                                     "--criteria", "gini", "--feature-type", "double", "--oob"});
    ASSERT_EQ(learned.status, 0) << learned.err;
    EXPECT_EQ(slurp(in("model")).find("e+09"), std::string::npos);  // thresholds keep every digit
    const auto tested = run_sylvor({"test", "--in-file", in("large.csv"), "--desc-file", in("large.bdf"),
                                    "--model-file", in("model"), "--feature-type", "double", "--predictions-file",
                                    in("predictions")});
    ASSERT_EQ(tested.status, 0) << tested.err;
    EXPECT_NE(tested.out.find("Classification Rate: 1\n"), std::string::npos) << format << "\n" << tested.out;
  }
  const auto learned = run_sylvor({"learn-regress", "--in-file", in("target.csv"), "--desc-file", in("target.bdf"),
                                   "--model-file", in("reg-model"), "--seed", "1", "--criteria", "variance"});
  ASSERT_EQ(learned.status, 0) << learned.err;
  const auto tested = run_sylvor({"test-regress", "--in-file", in("target.csv"), "--desc-file", in("target.bdf"),
                                  "--model-file", in("reg-model"), "--predictions-file", in("reg-predictions")});
  ASSERT_EQ(tested.status, 0) << tested.err;
  std::istringstream values(slurp(in("reg-predictions")));
  std::vector<double> predicted{std::istream_iterator<double>(values), std::istream_iterator<double>()};
  ASSERT_EQ(predicted.size(), 120u);
  EXPECT_EQ(predicted.front(), 1234567.89);
  EXPECT_EQ(predicted.back(), 1234567.89 + 0.01);
}

TEST_F(Commands, AFullDiskLeavesTheEarlierModelWhole) {
  std::ofstream(in("model")) << "the earlier model\n";
  // A limit of 1 kB on the files the program may write: the model is larger.
  const std::string command = "ulimit -f 1; trap '' XFSZ; exec " SYLVOR_PROGRAM " learn --in-file " + examples +
                              "/iris.csv --desc-file " + examples + "/iris.bdf --model-file " + in("model") +
                              " --num-trees 50 --seed 1 > " + in("out") + " 2> " + in("err");
  const int status = std::system(("bash -c \"" + command + "\"").c_str());
  EXPECT_NE(status, 0);
  EXPECT_EQ(slurp(in("model")), "the earlier model\n");
  EXPECT_EQ(slurp(in("err")), "sylvor learn error: could not write model file: `" + in("model") + "'\n");
  std::unique_ptr<std::FILE, int (*)(std::FILE*)> listing(popen(("ls -A " + dir).c_str(), "r"), pclose);
  char line[512];
  int entries = 0;
  while (std::fgets(line, sizeof line, listing.get()) != nullptr) ++entries;
  EXPECT_EQ(entries, 3);  // model, out, err: no temporary file left
}

TEST_F(Commands, PredictionsThatCannotReachStandardOutputAreAnError) {
  const auto learned = run_sylvor(with(iris("learn", "train"), {"--model-file", in("model"), "--seed", "1"}));
  ASSERT_EQ(learned.status, 0) << learned.err;
  for (const char* redirect : {"> /dev/full", ">&-"}) {
    const std::string command = SYLVOR_PROGRAM " test --in-file " + examples + "/iris.csv --desc-file " + examples +
                                "/iris.bdf --model-file " + in("model") + " " + redirect + " 2> " + in("err");
    const int status = std::system(("bash -c '" + command + "'").c_str());
    EXPECT_EQ(WEXITSTATUS(status), 2) << redirect;
    EXPECT_EQ(slurp(in("err")), "sylvor test error: could not write the predictions to standard output\n") << redirect;
  }
}

}  // namespace
}  // namespace SylvorTest

namespace SylvorTest {
namespace {

// Two-class data labelled -1 and +1, by name or by number: every row is
// learned from and counted in the evaluation.
TEST_F(Commands, PlusOneMinusOneLabelsAreLearnedAndEveryRowIsScored) {
  std::ofstream named(in("named.csv")), numbered(in("numbered.csv"));
  for (int i = 0; i < 90; ++i) {
    const bool positive = (i * 7) % 10 < 4;
    named << i % 10 + (positive ? 20 : 0) << "," << (positive ? "pos" : "neg") << "\n";
    numbered << i % 10 + (positive ? 20 : 0) << "," << (positive ? "+1" : "-1") << "\n";
  }
  named.close();
  numbered.close();
  std::ofstream(in("named.bdf")) << "num-features 1\nclass-column 1\nlabel-type plus-one-minus-one\n"
                                    "label -1 neg\nlabel +1 pos\n";
  std::ofstream(in("numbered.bdf")) << "num-features 1\nclass-column 1\nlabel-type plus-one-minus-one\nnumber-labels\n";
  for (const char* set : {"named", "numbered"}) {
    const std::vector<std::string> files{"--in-file", in(std::string(set) + ".csv"), "--desc-file",
                                         in(std::string(set) + ".bdf")};
    const auto learned = run_sylvor(with(with({"learn"}, files), {"--model-file", in("model"), "--seed", "2"}));
    ASSERT_EQ(learned.status, 0) << learned.err;
    const auto tested = run_sylvor(with(with({"test"}, files), {"--model-file", in("model"), "--predictions-file",
                                                                 in("predictions"), "--conf-matrix-file", in("matrix")}));
    ASSERT_EQ(tested.status, 0) << tested.err;
    EXPECT_EQ(slurp(in("matrix")), "\t-1\t+1\n-1\t54\t0\n+1\t0\t36\n") << set;
    EXPECT_NE(tested.out.find("Classification Rate: 1\n"), std::string::npos) << set;
  }
  std::ofstream(in("zero.bdf")) << "num-features 1\nclass-column 1\nlabel-type plus-one-minus-one\n"
                                   "label 0 neg\nlabel 1 pos\n";
  const auto refused = run_sylvor({"learn", "--in-file", in("named.csv"), "--desc-file", in("zero.bdf"),
                                   "--model-file", in("m")});
  EXPECT_EQ(refused.status, 2);
  EXPECT_EQ(refused.err, "sylvor learn error: the description numbers its classes 0, 1, but plus-one-minus-one "
                         "labels have the classes -1 and +1 only\n");
}

TEST_F(Commands, ClassesNumberedFromOneAreRefusedWhenTheDescriptionIsRead) {
  std::ofstream(in("from-one.bdf")) << "num-features 4\nclass-column 4\nlabel 1 setosa\nlabel 2 versicolor\n"
                                       "label 3 virginica\n";
  const auto r = run_sylvor({"learn", "--in-file", examples + "/iris.csv", "--desc-file", in("from-one.bdf"),
                             "--model-file", in("m")});
  EXPECT_EQ(r.status, 2);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err, "sylvor learn error: the description numbers its classes 1, 2, 3, but classes are numbered from "
                   "0 without gaps: 0, 1, ..., 2 ('label 0 NAME', 'label 1 NAME', ...)\n");
}

TEST_F(Commands, SelectionErrorsNameTheTokenOrRow) {
  for (const auto& [text, message] : std::vector<std::pair<std::string, std::string>>{
           {"0 1 2 x 3", "selection file `SEL': 'x' is not a row number (a non-negative integer, rows separated by "
                         "white space)"},
           {"5 3 1 3 140 141", "selection file `SEL' lists row 3 twice"},
           {"0 1 500", "the selection lists row 500 but the data have 150 rows (0 to 149)"}}) {
    std::ofstream(in("selection")) << text << "\n";
    const auto r = run_sylvor({"learn", "--in-file", examples + "/iris.csv", "--desc-file", examples + "/iris.bdf",
                               "--selection-file", in("selection"), "--model-file", in("m")});
    EXPECT_EQ(r.status, 2) << text;
    std::string expected = message;
    const auto at = expected.find("SEL");
    if (at != std::string::npos) expected.replace(at, 3, in("selection"));
    EXPECT_EQ(r.err, "sylvor learn error: " + expected + "\n") << text;
  }
}

}  // namespace
}  // namespace SylvorTest

namespace SylvorTest {
namespace {

// The out-of-bag curve: one line per tree count after a header, its last
// point the error the command prints, and the model the same as without it.
struct CurveRun {
  std::string name;
  bool regression;
};

class OutOfBagCurve : public Commands, public ::testing::WithParamInterface<CurveRun> {};

TEST_P(OutOfBagCurve, EndsAtThePrintedErrorAndLeavesTheModelUnchanged) {
  const bool regression = GetParam().regression;
  const std::vector<std::string> base =
      regression ? with(diabetes("learn-regress", "train"), {"--criteria", "variance"}) : iris("learn", "train");
  const auto plain = run_sylvor(with(base, {"--model-file", in("plain"), "--seed", "4", "--num-trees", "12"}));
  const auto curved = run_sylvor(with(base, {"--model-file", in("curved"), "--seed", "4", "--num-trees", "12",
                                             "--oob", "--oob-curve-file", in("curve.csv")}));
  ASSERT_EQ(plain.status, 0) << plain.err;
  ASSERT_EQ(curved.status, 0) << curved.err;
  EXPECT_EQ(slurp(in("plain")), slurp(in("curved")));
  const auto lines = lines_of(slurp(in("curve.csv")));
  ASSERT_EQ(lines.size(), 13u);
  EXPECT_EQ(lines[0], regression ? "trees,oob_mse" : "trees,oob_error");
  for (std::size_t k = 1; k < lines.size(); ++k) EXPECT_EQ(lines[k].rfind(std::to_string(k) + ",", 0), 0u);
  const std::string label = regression ? "Out-of-bag mean squared error: " : "Out-of-bag error: ";
  const auto at = curved.out.find(label);
  ASSERT_NE(at, std::string::npos) << curved.out;
  const std::string printed = curved.out.substr(at + label.size(), curved.out.find(' ', at + label.size()) -
                                                                       at - label.size());
  std::ostringstream last;
  last << std::stod(lines.back().substr(lines.back().find(',') + 1));
  EXPECT_EQ(last.str(), printed);
}

INSTANTIATE_TEST_SUITE_P(Tasks, OutOfBagCurve,
                         ::testing::Values(CurveRun{"classification", false}, CurveRun{"regression", true}),
                         [](const ::testing::TestParamInfo<CurveRun>& info) { return info.param.name; });

TEST_F(Commands, InfoDrawsATreeAsDot) {
  ASSERT_EQ(run_sylvor(with(iris("learn", "train"), {"--model-file", in("model"), "--seed", "2", "--num-trees",
                                                      "3"})).status, 0);
  const auto dot = run_sylvor({"info", "--model-file", in("model"), "--desc-file", examples + "/iris.bdf", "--dot",
                               "--tree", "2", "--max-depth", "1"});
  ASSERT_EQ(dot.status, 0) << dot.err;
  EXPECT_EQ(dot.out.rfind("digraph Tree {\n", 0), 0u) << dot.out;
  EXPECT_NE(dot.out.find("0 [label=\"petal_"), std::string::npos) << dot.out;
  EXPECT_NE(dot.out.find("(...)"), std::string::npos) << dot.out;
  const auto to_file = run_sylvor({"info", "--model-file", in("model"), "--desc-file", examples + "/iris.bdf",
                                   "--dot", "--tree", "2", "--max-depth", "1", "--out", in("tree.dot")});
  ASSERT_EQ(to_file.status, 0) << to_file.err;
  EXPECT_EQ(to_file.out, "");
  EXPECT_EQ(slurp(in("tree.dot")), dot.out);
  const auto beyond = run_sylvor({"info", "--model-file", in("model"), "--dot", "--tree", "3"});
  EXPECT_EQ(beyond.status, 2);
  EXPECT_EQ(beyond.err, "sylvor info error: the model has 3 trees: --tree must be from 0 to 2, not 3\n");
  std::ofstream(in("blank.model")) << "\n\n";
  const auto blank = run_sylvor({"info", "--model-file", in("blank.model"), "--dot"});
  EXPECT_EQ(blank.status, 2);
  EXPECT_EQ(blank.err, "sylvor info error: model file `" + in("blank.model") + "' holds no trees\n");
}

// Rows whose class is whether the first of two features is missing: a
// forest that learns where missing values go separates them; medians, which
// put them among the present values, cannot.
class MissingValuesInTheSplits : public Commands, public ::testing::WithParamInterface<std::string> {
protected:
  void write_rows(const std::string& name, int rows, int offset) const {
    std::ofstream out(in(name));
    for (int i = 0; i < rows; ++i) {
      const int k = i + offset;
      const bool absent = k % 3 == 0;
      out << (absent ? std::string("?") : std::to_string((k * 37) % 100)) << "," << (k * 53) % 100 << ","
          << (absent ? "gap" : "seen") << "\n";
    }
    std::ofstream(in("rows.bdf")) << "num-features 2\nclass-column 2\nlabel 0 seen\nlabel 1 gap\n";
  }
  std::vector<std::string> learn(const std::string& model, const std::string& way) const {
    return {"learn-classify", "--in-file", in("train.csv"), "--desc-file", in("rows.bdf"), "--model-file", model,
            "--model-format", GetParam(), "--seed", "3", "--num-trees", "5", "--max-depth", "1",
            "--missing-values", way};
  }
  double rate(const std::string& model) const {
    const auto r = run_sylvor({"test-classify", "--in-file", in("test.csv"), "--desc-file", in("rows.bdf"),
                               "--model-file", model});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    const std::size_t at = r.out.find("Classification Rate: ");
    return at == std::string::npos ? -1.0 : std::stod(r.out.substr(at + 21));
  }
};

TEST_P(MissingValuesInTheSplits, ReachTheRateMediansCannotWithoutAMediansFile) {
  write_rows("train.csv", 300, 0);
  write_rows("test.csv", 90, 1000);
  const auto split = run_sylvor(learn(in("split.model"), "split"));
  ASSERT_EQ(split.status, 0) << split.err;
  EXPECT_FALSE(exists(in("split.model.medians")));
  EXPECT_EQ(slurp(in("split.model")).rfind("sylvor-model 2\n", 0), 0u);
  ASSERT_EQ(run_sylvor(learn(in("median.model"), "median")).status, 0);
  EXPECT_TRUE(exists(in("median.model.medians")));
  EXPECT_EQ(slurp(in("median.model")).find("sylvor-model"), std::string::npos);
  EXPECT_EQ(rate(in("split.model")), 1.0);
  EXPECT_LT(rate(in("median.model")), 0.9);

  const auto info = run_sylvor({"info", "--model-file", in("split.model")});
  ASSERT_EQ(info.status, 0) << info.err;
  EXPECT_NE(info.out.find("Missing values: learned in the splits, sent left at "), std::string::npos) << info.out;
  const auto dot = run_sylvor({"info", "--model-file", in("split.model"), "--dot"});
  EXPECT_NE(dot.out.find("label=\"missing\""), std::string::npos) << dot.out;
}

INSTANTIATE_TEST_SUITE_P(Formats, MissingValuesInTheSplits, ::testing::Values("vectortxt", "lisp"));

TEST_F(Commands, AnUnknownWayWithMissingValuesStopsBeforeReading) {
  const auto r = run_sylvor(with(iris("learn-classify", "train"),
                                 {"--model-file", in("model"), "--missing-values", "mean"}));
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("--missing-values: unknown way 'mean' (valid ways: 'median' or 'split')"), std::string::npos)
      << r.err;
  EXPECT_FALSE(exists(in("model")));
}

TEST_F(Commands, AModelOfAnUnknownVersionIsRefusedNamingIt) {
  std::ofstream(in("model")) << "sylvor-model 7\nvtxt 6 1 \n-1\n-1\n-1\n0\n1\n0\n";
  const auto r = run_sylvor(with(iris("test-classify", "test"), {"--model-file", in("model")}));
  EXPECT_EQ(r.status, 2);
  EXPECT_NE(r.err.find("model format version 7 is unknown to this build, which reads versions 1 to 2"),
            std::string::npos)
      << r.err;
}

// Rows whose class is whether the colour (column 0, level names) is one of
// a set; column 1 is noise, column 2 the class.
class CategoricalColumns : public Commands {
protected:
  void write_rows(const std::string& name, int rows, int offset, const std::string& extra_colour = "") const {
    static const char* const colours[] = {"red", "amber", "green", "blue", "teal", "plum", "sand", "jade"};
    std::ofstream out(in(name));
    for (int i = 0; i < rows; ++i) {
      const int k = (i * 7 + offset) % 8;
      const bool warm = k == 0 || k == 1 || k == 6;
      const std::string colour = i % 10 == 9 ? (extra_colour.empty() ? "?" : extra_colour) : colours[k];
      out << colour << "," << (i * 37 + offset) % 100 << "," << (colour == "?" || colour == extra_colour ? "cool" : warm ? "warm" : "cool")
          << "\n";
    }
  }
  void write_description(const std::string& name, const std::string& extra) const {
    std::ofstream(in(name)) << "num-features 2\nclass-column 2\nlabel 0 cool\nlabel 1 warm\n" << extra;
  }
  std::vector<std::string> learn(const std::string& description, const std::vector<std::string>& more = {}) const {
    return with({"learn-classify", "--in-file", in("train.csv"), "--desc-file", in(description), "--model-file",
                 in("model"), "--seed", "4", "--num-trees", "10"},
                more);
  }
};

TEST_F(CategoricalColumns, AreSplitByTheirLevelsAndTestedByName) {
  write_rows("train.csv", 400, 0);
  write_rows("test.csv", 100, 3, "purple");  // a colour never seen: missing
  write_description("rows.bdf", "categorical 0\n");
  const auto learned = run_sylvor(learn("rows.bdf"));
  ASSERT_EQ(learned.status, 0) << learned.err;
  const std::string model = slurp(in("model"));
  EXPECT_EQ(model.rfind("sylvor-model 2\nlevels 0 amber blue green jade plum red sand teal\nvtxt 7 ", 0), 0u) << model;
  EXPECT_FALSE(exists(in("model.medians")));
  const auto tested = run_sylvor({"test-classify", "--in-file", in("test.csv"), "--desc-file", in("rows.bdf"),
                                  "--model-file", in("model")});
  ASSERT_EQ(tested.status, 0) << tested.err;
  EXPECT_NE(tested.out.find("Classification Rate: 1\n"), std::string::npos) << tested.out;
  const auto info = run_sylvor({"info", "--model-file", in("model")});
  EXPECT_NE(info.out.find("Categorical feature 0: 8 levels\n"), std::string::npos) << info.out;
  const auto dot = run_sylvor({"info", "--model-file", in("model"), "--desc-file", in("rows.bdf"), "--dot"});
  EXPECT_NE(dot.out.find("feature 0 \u2208 {"), std::string::npos) << dot.out;
  // Data described without the categorical column are refused.
  write_description("plain.bdf", "");
  const auto plain = run_sylvor({"test-classify", "--in-file", in("test.csv"), "--desc-file", in("plain.bdf"),
                                 "--model-file", in("model")});
  EXPECT_EQ(plain.status, 2);
}

struct CategoricalError {
  const char* description;  // after the common lines
  std::vector<std::string> options;
  const char* rows;         // the training file, or null for the generated one
  const char* message;
};

class CategoricalErrors : public CategoricalColumns, public ::testing::WithParamInterface<CategoricalError> {};

TEST_P(CategoricalErrors, StopBeforeLearningNamingTheirPlace) {
  const CategoricalError c = GetParam();
  if (c.rows != nullptr) {
    std::ofstream(in("train.csv")) << c.rows;
  } else {
    write_rows("train.csv", 50, 0);
  }
  write_description("bad.bdf", c.description);
  const auto r = run_sylvor(learn("bad.bdf", c.options));
  EXPECT_EQ(r.status, 2) << r.err;
  EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
  EXPECT_FALSE(exists(in("model")));
}

INSTANTIATE_TEST_SUITE_P(
    Inputs, CategoricalErrors,
    ::testing::Values(
        CategoricalError{"categorical 2\n", {}, nullptr, "makes column 2 categorical, but it holds the labels"},
        CategoricalError{"num-features 1\ncategorical 1\nignore 1\n", {}, nullptr, "but it is ignored"},
        CategoricalError{"categorical 5\n", {}, nullptr, "makes column 5 categorical, but row 0 has 3 columns"},
        CategoricalError{"categorical 0\n", {"--missing-values", "median"}, nullptr,
                         "--missing-values median: the description makes columns categorical"},
        CategoricalError{"categorical 0\n", {}, "?,1,warm\n?,2,cool\n", "categorical column 0 has no level"},
        CategoricalError{"categorical 0\n", {"--feature-type", "int"}, "red,1,warm\n?,2,cool\n",
                         "row 1 col_no 0: missing level '?' cannot be stored with the integer feature type"}));

}  // namespace
}  // namespace SylvorTest
