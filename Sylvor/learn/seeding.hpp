// The generators of one forest learning call, owned by its caller and passed
// down to every draw (bootstrap samples, feature sampling, ties), and the key
// of the permutation shuffles.
//
// Two seedings:
// - per thread: thread t of the team draws from generator t, tree after tree
//   of its contiguous block, so the forest depends on the thread count;
// - per tree: tree k draws from a generator derived from a key and k alone,
//   so the forest is the same for every thread count, and a forest learned
//   as subforests (trees numbered from an offset) is the one learned whole.
//
// A ForestGenerators is a plain value. Learning reads it from every thread
// and, with per-thread seeding, leaves each generator where its thread left
// it (stream_of), so that a caller may continue the streams; a copy may be
// handed to each of several concurrent learning calls.
#ifndef SYLVOR_LEARN_SEEDING_HPP
#define SYLVOR_LEARN_SEEDING_HPP

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "Sylvor/defs/random.hpp"

namespace Sylvor {

enum class Seeding { PerThread, PerTree };

// "per-thread" or "per-tree"; nothing for another name.
std::optional<Seeding> seeding_from_name(const std::string& name);

class ForestGenerators {
public:
  // Per thread, from the generators of a pool (copied, slot by slot).
  static ForestGenerators per_thread(const XorShiftRNGPool& pool);
  static ForestGenerators per_thread(std::vector<XorShiftRNG> generators);
  // Per tree, from a key (a seed, or a digest of seed words); the trees of
  // this call are numbered from first_tree (a subforest of a larger forest).
  static ForestGenerators per_tree(std::uint64_t key, std::uint64_t first_tree = 0);

  Seeding get_seeding() const { return seeding; }

  // The generator that thread t starts from (per thread); throws Exception
  // when there is none for t.
  XorShiftRNG& stream_of(int thread);
  const std::vector<XorShiftRNG>& get_streams() const { return streams; }

  // The generator of tree k of this call (per tree): derived from the key and
  // the tree's number first_tree + k.
  XorShiftRNG tree_generator(std::uint64_t tree) const { return derived_rng(key, first + tree, 0); }
  // The number of the call's tree 0 (0 but for a forest learned as subforests).
  std::uint64_t first_tree() const { return first; }

  // The key of the permutation shuffles: a digest of generator 0 as it was
  // made (per thread), or one derived from the key (per tree); either way it
  // follows the seeding alone, and learning does not change it.
  std::uint64_t shuffle_key() const { return shuffles; }

private:
  explicit ForestGenerators(Seeding seeding) : seeding(seeding) {}

  Seeding seeding;
  std::vector<XorShiftRNG> streams;  // per thread
  std::uint64_t key = 0;             // per tree
  std::uint64_t first = 0;           // per tree
  std::uint64_t shuffles = 0;
};

}  // namespace Sylvor

#endif
