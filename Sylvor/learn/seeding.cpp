#include "Sylvor/learn/seeding.hpp"

#include <limits>
#include <utility>

#include "Sylvor/defs/exception.hpp"

namespace Sylvor {

std::optional<Seeding> seeding_from_name(const std::string& name) {
  if (name == "per-thread") return Seeding::PerThread;
  if (name == "per-tree") return Seeding::PerTree;
  return std::nullopt;
}

ForestGenerators ForestGenerators::per_thread(const XorShiftRNGPool& pool) {
  std::vector<XorShiftRNG> generators;
  for (std::size_t i = 0; i < pool.size() && pool.get_generator(i) != nullptr; ++i) {
    generators.push_back(*pool.get_generator(i));
  }
  return per_thread(std::move(generators));
}

ForestGenerators ForestGenerators::per_thread(std::vector<XorShiftRNG> generators) {
  ForestGenerators result(Seeding::PerThread);
  result.streams = std::move(generators);
  if (!result.streams.empty()) result.shuffles = state_key(result.streams[0].get_state());
  return result;
}

ForestGenerators ForestGenerators::per_tree(std::uint64_t key, std::uint64_t first_tree) {
  ForestGenerators result(Seeding::PerTree);
  result.key = key;
  result.first = first_tree;
  result.shuffles = state_key(derived_rng(key, std::numeric_limits<std::uint64_t>::max(), 1).get_state());
  return result;
}

XorShiftRNG& ForestGenerators::stream_of(int thread) {
  if (thread < 0 || static_cast<std::size_t>(thread) >= streams.size()) {
    throw Exception("no random number generator for thread " + std::to_string(thread) +
                    ": the generator pool holds " + std::to_string(streams.size()) +
                    " generators; build it for the thread count in use");
  }
  return streams[static_cast<std::size_t>(thread)];
}

}  // namespace Sylvor
