// Learns a forest from the bundled iris example with the installed Sylvor
// library and prints the share of held-out flowers it classifies right.
//
//   iris_forest EXAMPLES_DIR
#include <cstdio>
#include <string>
#include <vector>

#include "Sylvor/dataset/dataset.hpp"
#include "Sylvor/io/dataset_io.hpp"
#include "Sylvor/learn/forest.hpp"
#include "Sylvor/predict/predictor.hpp"

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: iris_forest EXAMPLES_DIR\n");
    return 2;
  }
  const std::string dir = argv[1];
  try {
    const Sylvor::DataSetDescription description = Sylvor::read_sylvor_description(dir + "/iris.bdf");
    Sylvor::MemoryDataSet<float, int> train, test;
    Sylvor::read_data_subset(train, dir + "/iris.csv", "csv", description,
                             Sylvor::read_selection(dir + "/iris-train.txt"));
    Sylvor::read_data_subset(test, dir + "/iris.csv", "csv", description,
                             Sylvor::read_selection(dir + "/iris-test.txt"));

    Sylvor::ForestSettings settings;
    settings.num_trees = 50;
    settings.criterion = Sylvor::CriterionKind::Gini;
    // Per-tree seeding: the same forest for every thread count.
    Sylvor::ForestGenerators generators = Sylvor::ForestGenerators::per_tree(42);
    const auto learned = Sylvor::with_classification_task(settings.criterion, [&](const auto& task) {
      return Sylvor::learn_forest(train, settings, task, generators);
    });

    Sylvor::BaseForestClassifier classifier(test.get_num_classes());
    classifier.use_forest(learned.trees);
    std::vector<int> predicted;
    classifier.predict(test, predicted);
    std::size_t right = 0;
    for (std::size_t i = 0; i < predicted.size(); ++i) right += predicted[i] == test.get_label(i);
    std::printf("trees %zu, test rows %zu, classified right %zu\n", learned.trees.size(), predicted.size(), right);
    return right * 10 >= predicted.size() * 9 ? 0 : 1;
  } catch (const Sylvor::Exception& e) {  // DataIOException derives from it
    std::fprintf(stderr, "error: %s\n", e.get_message().c_str());
  } catch (const std::string& message) {  // a data row the reader refused
    std::fprintf(stderr, "error: %s\n", message.c_str());
  } catch (const std::exception& e) {
    std::fprintf(stderr, "error: %s\n", e.what());
  }
  return 1;
}
