#include "cli/config.hpp"

#include <iostream>
#include <type_traits>

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

// The options of info that the other commands list too (after
// --oob-curve-file), where they have always been.
void register_info_drawing_options(po::options_description& description) {
  description.add_options()
      ("tree", po::value<int>()->default_value(0),
       "info: the tree (numbered from 0) that --dot draws.")
      ("dot", po::bool_switch(),
       "info: write the tree chosen by --tree as a Graphviz DOT graph instead of the summary; nodes deeper "
       "than --max-depth (when positive) are elided, --desc-file names the features and classes.")
      ("out", po::value<std::string>()->default_value(""),
       "info: the file to write to (standard output when not given).");
}

// The options that matter to info, which reads a model and learns and tests
// nothing: what its usage lists (it accepts the others, as it always has).
void register_info_options(po::options_description& description) {
  description.add_options()
      ("help", "")
      ("model-file", po::value<std::string>()->default_value(""),
       "The model file to summarise or draw.")
      ("desc-file", po::value<std::string>()->default_value(""),
       "The data description file (BDF) that names the features and classes.")
      ("max-depth", po::value<int>()->default_value(0),
       "--dot: nodes deeper than this (when positive) are elided.");
  register_info_drawing_options(description);
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
       "as CSV lines 'trees,error'.");
  register_info_drawing_options(description);
  description.add_options()
      ("quiet", po::bool_switch(),
       "Show no progress line on standard error (it is shown only on a terminal).")
      ("missing-values", po::value<std::string>()->default_value("", "median"),
       "How learning treats missing values ('?' or '*'): 'median' fills them with the training column's "
       "upper median, recorded beside the model (MODEL.medians) for testing to fill with; 'split' leaves "
       "them in the data, and each split learns the side they go to, recorded in the model (a split whose "
       "node had none sends them to its larger child); testing then needs no medians. A description with "
       "categorical columns learns them in the splits: split, unless given.")
      ("header", po::bool_switch(),
       "The data file's first row names the columns (as 'header' in the description does): it is not read "
       "as data, and features the description does not name take their names from it.")
      ("keep-leaf-samples", po::bool_switch(),
       "learn-regress: keep, beside the model (MODEL.leaves), the training instances each leaf holds (as "
       "drawn) and the training targets, for test-regress --quantiles: 4 bytes per draw and per node of each "
       "tree in memory, about twice that as text.")
      ("quantiles", po::value<std::string>()->default_value(""),
       "test-regress: the conditional quantiles to predict, numbers in [0, 1] separated by commas (a model "
       "learned with --keep-leaf-samples). Each row's line of predictions then holds its mean followed by "
       "these quantiles: the smallest training targets whose forest weight (1/n for each of the n draws of "
       "each tree's leaf), with the smaller targets', reaches each quantile.");
}

}  // namespace

void RandomForestOptions::register_options(po::options_description& description,
                                           const std::string& command) {
  register_original_options(description, command == "learn-regress");
  register_newer_options(description);
}

void RandomForestOptions::populate_from_options(const po::variables_map& vm) {
  // A command lists only its own options (info fewer than the others): the
  // others keep the record's defaults.
  const auto read = [&vm](const char* name, auto& into) {
    if (vm.count(name) != 0) into = vm[name].as<std::decay_t<decltype(into)>>();
  };
  read("num-trees", num_trees);
  read("min-instances-per-node", min_instances_per_node);
  read("min-leaf-size", min_leaf_size);
  read("max-leaf-nodes", max_leaf_nodes);
  read("fte-per-split", fte_per_split);
  read("max-depth", max_depth);
  read("in-file", in_file);
  read("desc-file", desc_file);
  read("rng-file", rng_file);
  read("model-file", model_file);
  read("log-file", log_file);
  read("model-format", model_format);
  read("predictions-file", predictions_file);
  read("print-string-labels", print_string_labels);
  read("selection-file", selection_file);
  read("conf-matrix-file", conf_matrix_file);
  read("criteria", criteria);
  read("feature-type", feature_type);
  read("nthreads", num_threads);
  read("seed", seed);
  read("feature-importances-file", feature_importances_file);
  read("oob", oob);
  read("permutation-importances-file", permutation_importances_file);
  read("quiet", quiet);
  read("oob-curve-file", oob_curve_file);
  read("tree", tree);
  read("dot", dot);
  read("out", out);
  read("seeding", seeding);
  read("missing-values", missing_values);
  read("header", header);
  read("keep-leaf-samples", keep_leaf_samples);
  read("quantiles", quantiles);
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
  if (command == "info") {
    po::options_description own("Flags", po::options_description::m_default_line_length,
                                po::options_description::m_default_line_length / 2);
    register_info_options(own);
    out << own << std::endl;
    return;
  }
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
