// Times forest learning on generated data and checks the accuracy of the
// result on held-out data.
//
//   sylvor_learn_forest_bench DIR [TREES] [INSTANCES] [classification]
//
// Generates (with a fixed seed) a classification set (4 classes, 5
// informative float features and 15 noise features) and a regression set of
// the same shape, INSTANCES training and INSTANCES/5 test instances each,
// writes them as raw little-endian arrays into DIR (X_*.f32 row-major,
// y_class_*.i32, y_reg_*.f64) for other tools to learn from, and the
// classification training set as classification.csv with its description
// classification.bdf for the sylvor program, learns TREES
// trees with every feature tried per split (gini for classification,
// variance for regression) on the OpenMP default thread count, and prints
// seconds per forest, trees per second and test accuracy / mean squared error.
// It then times predicting the INSTANCES training instances with the
// classification forest, and writing and reading it in both model formats.
#include <omp.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <random>
#include <string>
#include <vector>

#include "Sylvor/dataset/dataset.hpp"
#include "Sylvor/io/tree_io.hpp"
#include "Sylvor/learn/forest.hpp"
#include "Sylvor/predict/predictor.hpp"

namespace {

constexpr int num_features = 20;
constexpr int informative = 5;
constexpr int num_classes = 4;

struct Generated {
  std::vector<float> x;  // row-major
  std::vector<int> y_class;
  std::vector<double> y_reg;
};

Generated generate(std::size_t n, std::mt19937_64& gen) {
  std::normal_distribution<double> noise(0.0, 1.0);
  std::uniform_real_distribution<double> uniform(-2.0, 2.0);
  static const double centers[num_classes][informative] = {
      {1.0, 0.0, -0.5, 0.8, 0.0}, {-0.8, 0.9, 0.0, -0.4, 0.6},
      {0.0, -1.0, 0.9, 0.0, -0.7}, {0.6, 0.7, 0.8, -0.9, -0.5}};
  Generated g;
  for (std::size_t i = 0; i < n; ++i) {
    const int c = static_cast<int>(gen() % num_classes);
    double row[num_features];
    for (int f = 0; f < num_features; ++f) {
      row[f] = f < informative ? centers[c][f] * 1.5 + noise(gen) : uniform(gen);
      g.x.push_back(static_cast<float>(row[f]));
    }
    g.y_class.push_back(c);
    g.y_reg.push_back(std::sin(2.0 * row[0]) + row[1] * row[1] - std::fabs(row[2]) + 0.5 * row[3] +
                      0.3 * noise(gen));
  }
  return g;
}

template <class T>
void write(const std::string& path, const std::vector<T>& values) {
  std::ofstream out(path, std::ios::binary);
  out.write(reinterpret_cast<const char*>(values.data()), static_cast<std::streamsize>(values.size() * sizeof(T)));
}

// The classification set as a CSV file with class names, and its description.
void write_csv(const std::string& csv, const std::string& description, const Generated& g) {
  std::FILE* out = std::fopen(csv.c_str(), "w");
  if (out == nullptr) return;
  for (std::size_t i = 0; i < g.y_class.size(); ++i) {
    for (int f = 0; f < num_features; ++f) std::fprintf(out, "%.7g,", g.x[i * num_features + static_cast<std::size_t>(f)]);
    std::fprintf(out, "class%d\n", g.y_class[i]);
  }
  std::fclose(out);
  std::ofstream desc(description);
  desc << "num-features " << num_features << "\nclass-column " << num_features << "\n";
  for (int c = 0; c < num_classes; ++c) desc << "label " << c << " class" << c << "\n";
}

template <class L>
Sylvor::MemoryDataSet<float, L> as_data_set(const Generated& g, const std::vector<L>& labels, int nc,
                                            Sylvor::LabelingType type) {
  Sylvor::MemoryDataSet<float, L> data;
  data.set_num_features(num_features);
  data.set_labeling(nc, type);
  for (std::size_t i = 0; i < labels.size(); ++i) {
    data.add_instance(labels[i], g.x.begin() + static_cast<long>(i * num_features),
                      g.x.begin() + static_cast<long>((i + 1) * num_features));
  }
  return data;
}

double seconds_since(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::cerr << "usage: sylvor_learn_forest_bench DIR [TREES] [INSTANCES]\n";
    return 1;
  }
  const std::string dir = argv[1];
  const int trees = argc > 2 ? std::atoi(argv[2]) : 100;
  const std::size_t n = argc > 3 ? std::strtoul(argv[3], nullptr, 10) : 100000;
  const bool classification_only = argc > 4 && std::string(argv[4]) == "classification";
  std::mt19937_64 gen(20261208);
  const Generated train = generate(n, gen), test = generate(n / 5, gen);
  write(dir + "/X_train.f32", train.x);
  write(dir + "/X_test.f32", test.x);
  write(dir + "/y_class_train.i32", train.y_class);
  write(dir + "/y_class_test.i32", test.y_class);
  write(dir + "/y_reg_train.f64", train.y_reg);
  write(dir + "/y_reg_test.f64", test.y_reg);
  write_csv(dir + "/classification.csv", dir + "/classification.bdf", train);

  Sylvor::init_pool("", 1);
  const int threads = omp_get_max_threads();
  Sylvor::ForestSettings settings;
  settings.num_trees = trees;
  settings.feature_importances = true;
  {
    const auto data = as_data_set(train, train.y_class, num_classes, Sylvor::DiscreteZeroOnward);
    const auto holdout = as_data_set(test, test.y_class, num_classes, Sylvor::DiscreteZeroOnward);
    const auto start = std::chrono::steady_clock::now();
    Sylvor::ForestGenerators generators = Sylvor::ForestGenerators::per_thread(*Sylvor::get_pool("", Sylvor::default_pool_size(), 0, false));
    const auto learned =
        Sylvor::learn_forest(data, settings, Sylvor::ClassificationTask<Sylvor::TwoSplitGiniImpurity>(), generators);
    const Sylvor::Forest<int>& forest = learned.trees;
    const double seconds = seconds_since(start);
    Sylvor::BaseForestClassifier predictor(num_classes);
    predictor.use_forest(forest);
    std::vector<int> predicted;
    predictor.predict(holdout, predicted);
    std::size_t right = 0;
    for (std::size_t i = 0; i < predicted.size(); ++i) right += predicted[i] == holdout.get_label(i);
    std::printf("classification: %d trees, %zu x %d, %d threads: %.3f s per forest, %.1f trees/s, test accuracy %.4f\n",
                trees, n, num_features, threads, seconds, trees / seconds,
                static_cast<double>(right) / static_cast<double>(holdout.get_num_instances()));

    auto timed = [](auto&& work) {
      const auto begin = std::chrono::steady_clock::now();
      work();
      return seconds_since(begin);
    };
    const double predict_seconds = timed([&] { predictor.predict(data, predicted); });
    std::printf("prediction: %zu instances, %d trees, %d threads: %.3f s\n", data.get_num_instances(), trees,
                threads, predict_seconds);
    for (const char* format : {"vectortxt", "lisp"}) {
      const std::string file = dir + "/model." + format;
      const double write_seconds = timed([&] {
        if (std::string(format) == "lisp") {
          Sylvor::write_forest_as_lisp(file, forest);
        } else {
          Sylvor::write_forest_as_vectorized_txt(file, forest);
        }
      });
      Sylvor::Forest<int> back;
      const double read_seconds = timed([&] { Sylvor::read_forest(file, back); });
      std::ifstream sized(file, std::ios::ate);
      std::printf("model %s: %.1f MB, written in %.3f s, read in %.3f s (%zu trees)\n", format,
                  static_cast<double>(sized.tellg()) / 1e6, write_seconds, read_seconds, back.size());
    }
  }
  if (!classification_only) {
    const auto data = as_data_set(train, train.y_reg, 1, Sylvor::Regression);
    const auto holdout = as_data_set(test, test.y_reg, 1, Sylvor::Regression);
    const auto start = std::chrono::steady_clock::now();
    settings.limits.min_instances_per_node = 5;
    Sylvor::ForestGenerators generators = Sylvor::ForestGenerators::per_thread(*Sylvor::get_pool("", Sylvor::default_pool_size(), 0, false));
    const auto learned = Sylvor::learn_forest(data, settings, Sylvor::RegressionTask(), generators);
    const double seconds = seconds_since(start);
    Sylvor::BaseForestRegressor predictor;
    predictor.use_forest(learned.trees);
    std::vector<double> means;
    predictor.predict(holdout, means);
    double squared = 0.0;
    for (std::size_t i = 0; i < holdout.get_num_instances(); ++i) {
      squared += (means[i] - holdout.get_label(i)) * (means[i] - holdout.get_label(i));
    }
    std::printf("regression: %d trees, %zu x %d, %d threads: %.3f s per forest, %.1f trees/s, test MSE %.4f\n",
                trees, n, num_features, threads, seconds, trees / seconds,
                squared / static_cast<double>(holdout.get_num_instances()));
  }
  return 0;
}
