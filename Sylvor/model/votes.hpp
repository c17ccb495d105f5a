// How the leaves of the trees combine into one prediction per instance, for
// a block of instances at a time: ClassVotes counts the class labels (the
// label with the most votes wins, the smallest among ties), RunningMean keeps
// the running mean of the leaf values in the order they are added.
//
// An aggregator is scratch of the one thread that fills it; it allocates
// when it is made and, with many classes, the few times an instance's
// touched labels outgrow their room, never otherwise while it adds.
#ifndef SYLVOR_MODEL_VOTES_HPP
#define SYLVOR_MODEL_VOTES_HPP

#include <algorithm>
#include <cstddef>
#include <string>
#include <vector>

#include "Sylvor/defs/exception.hpp"

namespace Sylvor {

// The label with the most votes, from counts indexed by label + 1; the
// smallest label wins ties, and -2 stands for no vote at all.
inline int vote_winner(const int* counts, std::size_t slots) {
  int best_label = -2, best_count = 0;
  for (std::size_t j = 0; j < slots; ++j) {
    if (counts[j] > best_count) {
      best_label = static_cast<int>(j) - 1;
      best_count = counts[j];
    }
  }
  return best_label;
}

class ClassVotes {
public:
  typedef int result_type;

  // Counts for `block` instances of the labels -1 .. num_classes. With many
  // classes the counts an instance touched are remembered and its winner is
  // kept as the votes come, so clearing and choosing cost the votes cast,
  // not the classes.
  ClassVotes(std::size_t num_classes, std::size_t block)
      : slots(num_classes + 2), table(block * (num_classes + 2), 0), sparse(slots > max_scanned_slots) {
    if (sparse) {
      leaders.assign(block, Leader());
      touched_count.assign(block, 0);
      touched.assign(block * touched_capacity, 0);
    }
  }

  std::size_t num_slots() const { return slots; }

  // Zeroes the counts of instances 0 .. n - 1.
  void clear(std::size_t n) {
    if (!sparse) {
      std::fill(table.begin(), table.begin() + static_cast<std::ptrdiff_t>(n * slots), 0);
      return;
    }
    for (std::size_t j = 0; j < n; ++j) {
      for (std::size_t k = 0; k < touched_count[j]; ++k) table[j * slots + touched[j * touched_capacity + k]] = 0;
      touched_count[j] = 0;
      leaders[j] = Leader();
    }
  }

  // One vote of instance j for `label`; a label outside -1 .. number of
  // classes is an error.
  template <class Label>
  void add(std::size_t j, Label label) {
    const long slot = static_cast<long>(label) + 1;
    if (slot < 0 || static_cast<std::size_t>(slot) >= slots) {
      throw Exception("the forest votes for label " + std::to_string(static_cast<long>(label)) +
                      " but the data have " + std::to_string(slots - 2) + " classes (labels -1 to " +
                      std::to_string(slots - 2) + "): was the model learned with more classes?");
    }
    const int count = ++table[j * slots + static_cast<std::size_t>(slot)];
    if (sparse) note(j, static_cast<std::size_t>(slot), count);
  }

  // Instance j's votes, indexed by label + 1.
  const int* counts(std::size_t j) const { return table.data() + j * slots; }

  int result(std::size_t j) const {
    if (!sparse) return vote_winner(counts(j), slots);
    return leaders[j].count > 0 ? static_cast<int>(leaders[j].slot) - 1 : -2;
  }

private:
  // Up to this many labels the winner is found by scanning the counts.
  static constexpr std::size_t max_scanned_slots = 256;

  struct Leader {
    std::size_t slot = 0;
    int count = 0;
  };

  // Remembers a slot's first vote, and keeps the leader as vote_winner
  // would choose it: the most votes, the smallest label among ties.
  void note(std::size_t j, std::size_t slot, int count) {
    if (count == 1) {
      if (touched_count[j] == touched_capacity) widen_touched();
      touched[j * touched_capacity + touched_count[j]++] = slot;
    }
    Leader& leader = leaders[j];
    if (count > leader.count || (count == leader.count && slot < leader.slot)) leader = Leader{slot, count};
  }

  // Doubles the room for the touched slots of each instance (at most a
  // few times: an instance touches at most one slot per tree).
  void widen_touched() {
    const std::size_t block = touched_count.size(), wider = 2 * touched_capacity;
    std::vector<std::size_t> moved(block * wider, 0);
    for (std::size_t j = 0; j < block; ++j) {
      std::copy_n(touched.begin() + static_cast<std::ptrdiff_t>(j * touched_capacity), touched_count[j],
                  moved.begin() + static_cast<std::ptrdiff_t>(j * wider));
    }
    touched.swap(moved);
    touched_capacity = wider;
  }

  std::size_t slots;
  std::vector<int> table;  // instance j's count of label c at j * slots + c + 1
  bool sparse;
  std::vector<Leader> leaders;             // per instance, with many classes
  std::vector<std::size_t> touched_count;  // per instance, the slots it touched so far
  std::vector<std::size_t> touched;        // instance j's touched slots from j * touched_capacity
  std::size_t touched_capacity = 16;
};

class RunningMean {
public:
  typedef double result_type;

  RunningMean(std::size_t /*num_classes*/, std::size_t block) : means(block, 0.0), counts(block, 0) {}

  void clear(std::size_t n) {
    std::fill(means.begin(), means.begin() + static_cast<std::ptrdiff_t>(n), 0.0);
    std::fill(counts.begin(), counts.begin() + static_cast<std::ptrdiff_t>(n), 0);
  }

  // Instance j's mean after one more value: mean + (value - mean) / count.
  template <class Value>
  void add(std::size_t j, Value value) {
    ++counts[j];
    means[j] += (static_cast<double>(value) - means[j]) / counts[j];
  }

  double result(std::size_t j) const { return means[j]; }

private:
  std::vector<double> means;
  std::vector<int> counts;
};

}  // namespace Sylvor

#endif
