#include "cli/config.hpp"

#include <iostream>

namespace po = boost::program_options;

namespace Sylvor {

namespace {

// The options of the first versions, in the order scripts read them from the
// listing.
void register_original_options(po::options_description& description, bool regression) {
  const int default_min_instances = regression ? 5 : 1;
  description.add_options()
      ("help", "")
      ("num-trees", po::value<int>()->default_value(30),
       "Number of trees in forest to grow")
      ("min-instances-per-node", po::value<int>()->default_value(default_min_instances),
       "Minimum number of instances per tree node.")
      ("max-leaf-nodes", po::value<int>()->default_value(0),
       "Maximum number of leaf nodes in a tree.")
      ("fte-per-split", po::value<int>()->default_value(0),
       "The number of features to randomly select when learning each tree. 0 means use all. "
       "Very useful for a large number M of weak features. sqrt(M)+1 is suggested in "
       "Calloway, et al, 2001.")
      ("max-depth", po::value<int>()->default_value(0),
       "The maximum depth of a decision tree; use zero for no maximum.")
      ("in-file", po::value<std::string>()->default_value(""),
       "The input data file (CSV) that holds the instances.")
      ("desc-file", po::value<std::string>()->default_value(""),
       "The input data description file (BDF).")
      ("rng-file", po::value<std::string>()->default_value(""),
       "The random number seed file.")
      ("model-file", po::value<std::string>()->default_value(""),
       "The file to store learned trees.")
      ("log-file", po::value<std::string>()->default_value(""),
       "The log file to store activities during operation.")
      ("model-format", po::value<std::string>()->default_value("vectortxt"),
       "The format to store learned trees  (valid values are 'lisp', 'vectortxt').")
      ("predictions-file", po::value<std::string>()->default_value(""),
       "The file to store predicted labels.")
      ("feature-importances-file", po::value<std::string>()->default_value(""),
       "The file to store feature importances (one per feature).")
      ("selection-file", po::value<std::string>()->default_value(""),
       "A whitespace delimited file of instance indexes to select for training or testing. "
       "All others are discarded from memory. Use this option to train and test with the "
       "same data file. All instances are used if unspecified.")
      ("print-string-labels", po::value<bool>()->default_value(false),
       "Print string labels instead of numeric ones.")
      ("conf-matrix-file", po::value<std::string>()->default_value(""),
       "The file to store the confusion matrix.")
      ("feature-type", po::value<std::string>()->default_value("float"),
       "The data type for the features (e.g. float, double, int, short.)")
      ("criteria", po::value<std::string>()->default_value(regression ? "variance" : "gainratio"),
       regression ? "The splitting criterion: 'variance', the only one for regression."
                  : "The splitting criteria ('gainratio', 'gini', or 'infogain').")
      ("nthreads", po::value<int>()->default_value(0),
       "The number of threads to use (valid only for sylvor-openmp).")
      ("seed", po::value<int>()->default_value(0),
       "The random seed to generate the pool of XorShift random number generators; uses "
       "glibc().");
}

// The options added since: listed after the original ones, which keep
// their order.
void register_newer_options(po::options_description& description) {
  description.add_options()
      ("min-leaf-size", po::value<int>()->default_value(2),
       "The fewest instances a split may leave in either child. 1 lets leaves of one instance form, "
       "which is usually more accurate; 2 keeps the trees of earlier versions.")
      ("oob", po::bool_switch(),
       "Estimate the error of the learned forest on the out-of-bag instances of its trees.")
      ("permutation-importances-file", po::value<std::string>()->default_value(""),
       "The file to store permutation importances (one per feature): the out-of-bag loss "
       "increase when a feature's values are shuffled, averaged over the trees.")
      ("seeding", po::value<std::string>()->default_value("per-thread"),
       "How the trees draw their random numbers: 'per-thread' (each thread's generator, tree after tree: "
       "the forest depends on --nthreads) or 'per-tree' (each tree's generator derived from the seed and the "
       "tree number: the same forest for every thread count).")
      ("oob-curve-file", po::value<std::string>()->default_value(""),
       "The file to store the out-of-bag error (or mean squared error) of the first 1, 2, ... trees, "
       "as CSV lines 'trees,error'.")
      ("tree", po::value<int>()->default_value(0),
       "info: the tree (numbered from 0) that --dot draws.")
      ("dot", po::bool_switch(),
       "info: write the tree chosen by --tree as a Graphviz DOT graph instead of the summary; nodes deeper "
       "than --max-depth (when positive) are elided, --desc-file names the features and classes.")
      ("out", po::value<std::string>()->default_value(""),
       "info: the file to write to (standard output when not given).")
      ("quiet", po::bool_switch(),
       "Show no progress line on standard error (it is shown only on a terminal).")
      ("missing-values", po::value<std::string>()->default_value("", "median"),
       "How learning treats missing values ('?' or '*'): 'median' fills them with the training column's "
       "upper median, recorded beside the model (MODEL.medians) for testing to fill with; 'split' leaves "
       "them in the data, and each split learns the side they go to, recorded in the model (a split whose "
       "node had none sends them to its larger child); testing then needs no medians. A description with "
       "categorical columns learns them in the splits: split, unless given.");
}

}  // namespace

void RandomForestOptions::register_options(po::options_description& description,
                                           const std::string& command) {
  register_original_options(description, command == "learn-regress");
  register_newer_options(description);
}

void RandomForestOptions::populate_from_options(const po::variables_map& vm) {
  num_trees = vm["num-trees"].as<int>();
  min_instances_per_node = vm["min-instances-per-node"].as<int>();
  min_leaf_size = vm.count("min-leaf-size") != 0 ? vm["min-leaf-size"].as<int>() : 2;
  max_leaf_nodes = vm["max-leaf-nodes"].as<int>();
  fte_per_split = vm["fte-per-split"].as<int>();
  max_depth = vm["max-depth"].as<int>();
  in_file = vm["in-file"].as<std::string>();
  desc_file = vm["desc-file"].as<std::string>();
  rng_file = vm["rng-file"].as<std::string>();
  model_file = vm["model-file"].as<std::string>();
  log_file = vm["log-file"].as<std::string>();
  model_format = vm["model-format"].as<std::string>();
  predictions_file = vm["predictions-file"].as<std::string>();
  print_string_labels = vm["print-string-labels"].as<bool>();
  selection_file = vm["selection-file"].as<std::string>();
  conf_matrix_file = vm["conf-matrix-file"].as<std::string>();
  criteria = vm["criteria"].as<std::string>();
  feature_type = vm["feature-type"].as<std::string>();
  num_threads = vm["nthreads"].as<int>();
  seed = vm["seed"].as<int>();
  feature_importances_file = vm["feature-importances-file"].as<std::string>();
  oob = vm.count("oob") != 0 && vm["oob"].as<bool>();
  permutation_importances_file =
      vm.count("permutation-importances-file") != 0 ? vm["permutation-importances-file"].as<std::string>() : "";
  quiet = vm.count("quiet") != 0 && vm["quiet"].as<bool>();
  oob_curve_file = vm.count("oob-curve-file") != 0 ? vm["oob-curve-file"].as<std::string>() : "";
  tree = vm.count("tree") != 0 ? vm["tree"].as<int>() : 0;
  dot = vm.count("dot") != 0 && vm["dot"].as<bool>();
  out = vm.count("out") != 0 ? vm["out"].as<std::string>() : "";
  seeding = vm.count("seeding") != 0 ? vm["seeding"].as<std::string>() : "per-thread";
  missing_values = vm.count("missing-values") != 0 ? vm["missing-values"].as<std::string>() : "";
}

namespace {

void usage_header(std::ostream& out) {
  out << "Sylvor Version 1.1" << std::endl;
  out << "Random forests of decision trees for tabular data: learn from CSV, test, predict."
      << std::endl;
  out << std::endl;
  out << "Commands:" << std::endl;
}

}  // namespace

void usage(std::ostream& out) {
  usage_header(out);
  out << "   sylvor learn-classify [options or --help]" << std::endl;
  out << "   sylvor learn-regress [options or --help]" << std::endl;
  out << "   sylvor test-classify [options or --help]" << std::endl;
  out << "   sylvor test-regress [options or --help]" << std::endl;
  out << std::endl;
}

void usage(std::ostream& out, const std::string& command,
           const po::options_description& description) {
  usage_header(out);
  out << "   sylvor " << command << " [options]" << std::endl;
  out << description << std::endl;
}

std::optional<int> parse_options(po::variables_map& vm,
                                 const po::options_description& description, int argc,
                                 char** argv) {
  const std::string command = argv[0];
  const po::parsed_options parsed =
      po::command_line_parser(argc, argv).options(description).allow_unregistered().run();
  for (const po::option& option : parsed.options) {
    const std::string word = option.original_tokens.empty() ? option.string_key : option.original_tokens[0];
    if (option.position_key >= 0) {
      std::cerr << "sylvor " << command << " error: unexpected word '" << word
                << "' (every option starts with --)" << std::endl;
      return 1;
    }
    if (option.unregistered) {
      std::cerr << "sylvor " << command << " error: unknown option " << word << std::endl;
      usage(std::cerr, command, description);
      return 1;
    }
  }
  po::store(parsed, vm);
  po::notify(vm);
  if (vm.count("help")) {
    usage(std::cout, command, description);
    return 0;
  }
  return std::nullopt;
}

}  // namespace Sylvor
