// Entry point of the sylvor program: `sylvor <command> [options]`.
#include "cli/commands.hpp"

int main(int argc, char** argv) { return Sylvor::run_sylvor(argc, argv); }
