#include "cli/commands.hpp"

#include <iostream>

#include "Sylvor/defs/exception.hpp"
#include "Sylvor/defs/random.hpp"
#include "cli/console.hpp"
#include "cli/failure.hpp"
#include "cli/info.hpp"
#include "cli/interrupt.hpp"
#include "cli/learn.hpp"
#include "cli/preflight.hpp"
#include "cli/test.hpp"

namespace po = boost::program_options;

namespace Sylvor {

namespace {

// Checks the options and files of a learn command, seeds its generator
// pool and lets SIGINT and SIGTERM stop the learning.
void prepare_learning(const RandomForestOptions& options, bool regression, XorShiftRNGPool& pool) {
  check_learning_options(options, regression);
  // Regression learning keeps no log, whatever --log-file says.
  check_files(options, regression ? CommandFiles::LearnNoLog : CommandFiles::Learn);
  seed_command_pool(options, pool);
  catch_stop_signals();
}

void report(const std::string& command, const std::string& message) {
  std::cerr << "sylvor " << command << " error: " << message << std::endl;
}

}  // namespace

void dispatch_command(const std::string& command, const RandomForestOptions& options) {
  const bool learn_word = command == "learn-float" || command == "learn-int" || command == "learn-uchar";
  const bool test_word = command == "test-float" || command == "test-int" || command == "test-uchar";
  if (command == "learn" || command == "learn-classify" || learn_word) {
    const FeatureType type = feature_type_from_name(learn_word ? command.substr(6) : options.feature_type);
    XorShiftRNGPool pool;
    prepare_learning(options, false, pool);
    cli_learn_classify(options, type, pool);
  } else if (command == "test" || command == "test-classify" || test_word) {
    const FeatureType type = feature_type_from_name(test_word ? command.substr(5) : options.feature_type);
    check_test_options(options, false);
    check_files(options, CommandFiles::Test);
    cli_test_classify(options, type);
  } else if (command == "learn-regress") {
    XorShiftRNGPool pool;
    prepare_learning(options, true, pool);
    cli_learn_regress(options, pool);
  } else if (command == "test-regress") {
    check_test_options(options, true);
    check_files(options, CommandFiles::Test);
    cli_test_regress(options);
  } else if (command == "info") {
    check_files(options, CommandFiles::Info);
    cli_info(options, std::cout);
  } else {
    throw std::string("Invalid command: ") + command;
  }
}

int run_sylvor(int argc, char** argv) {
  if (argc < 2) {
    usage(std::cerr);
    return 1;
  }
  const std::string command = argv[1];
  if (command == "--help") {
    usage(std::cout);
    return 0;
  }

  po::options_description description("Flags", po::options_description::m_default_line_length,
                                      po::options_description::m_default_line_length / 2);
  po::variables_map vm;
  RandomForestOptions options;
  try {
    RandomForestOptions::register_options(description, command);
    if (const auto status = parse_options(vm, description, argc - 1, argv + 1)) return *status;
    options.populate_from_options(vm);
  } catch (const po::error& e) {
    // A value that does not convert, a repeated option, a missing value or an
    // ambiguous prefix: the command line is wrong, as with an unknown option.
    report(command, e.what());
    return 1;
  }

  if (options.num_threads > max_threads) {
    report(command, "--nthreads must be at most " + std::to_string(max_threads) + ", not " +
                        std::to_string(options.num_threads));
    return 1;
  }
  // Every parallel region of the command is given this count (and the
  // generator pool is sized by it): nothing is set process-wide.
  if (options.num_threads > 0) std::cout << "Overriding default with " << options.num_threads << " threads" << std::endl;

  try {
    dispatch_command(command, options);
    // What the command printed must have reached standard output.
    check_standard_output();
  } catch (...) {
    const std::exception_ptr failure = std::current_exception();
    std::cerr << "sylvor " << command << " " << failure_text(failure) << std::endl;
    return failure_status(failure);
  }
  return 0;
}

}  // namespace Sylvor
