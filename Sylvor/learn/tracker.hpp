// The best-candidate tracker of the split search, and NodeResult, the
// candidate split it tracks.
//
// A Tracker keeps the highest- and lowest-scoring candidates offered. Its
// plain form keeps the first of equal scores; its tie-breaking form chooses
// uniformly among candidates that tie exactly for the highest score
// (reservoir choice, one generator draw per tie) without storing them.
// Plain values, used by one thread.
#ifndef SYLVOR_LEARN_TRACKER_HPP
#define SYLVOR_LEARN_TRACKER_HPP

#include <functional>
#include <limits>
#include <type_traits>

#include "Sylvor/defs/exception.hpp"
#include "Sylvor/defs/random.hpp"

namespace Sylvor {

// The default threshold of a candidate on a feature of type F: the smallest
// positive normal value of a floating type, the lowest value of an integer type.
template <class F>
constexpr F default_threshold() {
  if constexpr (std::is_floating_point<F>::value) {
    return std::numeric_limits<F>::min();
  } else {
    return std::numeric_limits<F>::lowest();
  }
}

template <class F>
struct NodeResult {
  int feature_index = -1;
  F threshold = default_threshold<F>();
  double best_improvement = 0.0;
  bool missing_left = false;  // the cut sends the node's missing values left
  bool missing_seen = false;  // the node holds missing values of the feature

  NodeResult() = default;
  NodeResult(int feature_index, F threshold, double best_improvement)
      : feature_index(feature_index), threshold(threshold), best_improvement(best_improvement) {}
};

// True with probability 1/ties, consuming one draw: the reservoir rule that
// makes each of `ties` equal candidates the final choice equally often.
inline bool reservoir_replaces(int ties, XorShiftRNG& rng) {
  return 1.0 / ties > static_cast<double>(rng.next_int(1000000)) / 1e6;
}

template <class T, class Compare = std::less<double>>
class Tracker {
public:
  // Deterministic: among equal scores the first one stays.
  void try_candidate(double value, const T& candidate) {
    if (start_or_track_minimum(value, candidate)) return;
    if (less(maximum_value, value)) {
      maximum_value = value;
      maximizer = candidate;
    }
  }

  // As try_candidate, but an exact tie for the maximum draws from `rng` and
  // replaces the maximizer with probability 1 / (number tied).
  void try_candidate_break_ties(double value, const T& candidate, XorShiftRNG& rng) {
    if (start_or_track_minimum(value, candidate)) return;
    if (less(maximum_value, value)) {
      maximum_value = value;
      maximizer = candidate;
      nties = 1;
    } else if (value == maximum_value) {
      ++nties;
      if (reservoir_replaces(nties, rng)) maximizer = candidate;
    }
  }

  bool is_initialized() const { return initialized; }
  double get_maximum() const { return maximum_value; }
  double get_minimum() const { return minimum_value; }
  int get_num_ties() const { return nties; }

  // Throw EmptyTrackerException when no candidate was offered.
  const T& get_maximizer() const {
    if (!initialized) throw EmptyTrackerException();
    return maximizer;
  }

  // Used by the split search to report a feature's final score and the
  // improvement of its best cut.
  void set_maximum(double value) { maximum_value = value; }
  T& get_maximizer_for_update() { return maximizer; }

private:
  // The first candidate starts the tracker (true); later ones update the
  // minimum (false), leaving the maximum to the caller.
  bool start_or_track_minimum(double value, const T& candidate) {
    if (!initialized) {
      initialized = true;
      minimum_value = maximum_value = value;
      maximizer = candidate;
      nties = 1;
      return true;
    }
    if (less(value, minimum_value)) minimum_value = value;
    return false;
  }

  bool initialized = false;
  double minimum_value = 0.0;
  double maximum_value = 0.0;
  T maximizer{};
  int nties = 0;
  Compare less{};
};

}  // namespace Sylvor

#endif
