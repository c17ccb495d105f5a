// Options and usage texts of the sylvor program.
//
// RandomForestOptions is the record of every command-line option, filled once
// from the parsed command line and then only read by the drivers. The option
// table (names, defaults, help texts, order) is declared here in one place;
// its listing is printed by Boost.Program_options. Single-threaded.
#ifndef SYLVOR_CLI_CONFIG_HPP
#define SYLVOR_CLI_CONFIG_HPP

#include <boost/program_options.hpp>
#include <optional>
#include <ostream>
#include <string>

namespace Sylvor {

struct RandomForestOptions {
  int num_trees = 0;
  int min_instances_per_node = 0;
  int min_leaf_size = 2;
  int max_leaf_nodes = 0;
  int fte_per_split = 0;
  int max_depth = 0;
  std::string in_file;
  std::string desc_file;
  std::string rng_file;
  std::string log_file;
  std::string model_file;
  std::string model_format;
  std::string predictions_file;
  std::string selection_file;
  std::string feature_importances_file;
  bool print_string_labels = false;
  std::string conf_matrix_file;
  std::string criteria;
  std::string feature_type;
  int num_threads = 0;
  int seed = 0;
  bool oob = false;
  std::string permutation_importances_file;
  bool quiet = false;
  bool header = false;  // the data's first row names the columns
  bool keep_leaf_samples = false;  // learn-regress: write MODEL.leaves
  std::string quantiles;           // test-regress: "Q1,Q2,..." (none when empty)
  std::string oob_curve_file;
  int tree = 0;     // info --dot: the tree drawn
  bool dot = false;
  std::string out;  // info: the output file, or standard output
  std::string seeding = "per-thread";
  std::string missing_values;  // "median", "split" or "" (not given: median, or split with categorical columns)

  // Adds the option table; the command word decides the defaults of
  // --min-instances-per-node (5 for learn-regress, else 1) and --criteria
  // (variance for learn-regress, else gainratio). Every command takes
  // every option; info's usage lists only its own (--model-file,
  // --desc-file, --max-depth, --tree, --dot, --out).
  static void register_options(boost::program_options::options_description& description,
                               const std::string& command);

  // Reads the options the command lists (each has a default) into the
  // record; the others keep their defaults here.
  void populate_from_options(const boost::program_options::variables_map& vm);
};

// The general usage text.
void usage(std::ostream& out);

// The usage text of one command, with the option listing.
void usage(std::ostream& out, const std::string& command,
           const boost::program_options::options_description& description);

// Parses the arguments from the command word on (argv[0] is the command word)
// into `vm`. Returns the exit status when the program must end here: 0 after
// printing the command's usage for --help; 1 after an error line naming an
// unknown option (followed by the command's usage on standard error) or a
// word that is no option. Other parsing errors are thrown as
// boost::program_options::error.
std::optional<int> parse_options(boost::program_options::variables_map& vm,
                                 const boost::program_options::options_description& description,
                                 int argc, char** argv);

}  // namespace Sylvor

#endif
