// Out-of-bag estimates: every instance is predicted by the trees whose
// bootstrap sample left it out (majority vote with the smallest label
// winning ties, or the running mean in tree order for regression), and the
// predictions are scored against the labels. Instances that every tree
// sampled are left out and counted.
//
// Permutation importances: for each tree and feature, how much the tree's
// loss on its out-of-bag instances (error rate, or mean squared error)
// grows when that feature's values are shuffled among those instances,
// averaged over the trees that have out-of-bag instances. The shuffles draw
// from generators derived from a key and the tree and feature numbers, never
// from the learning pool, so the result depends on the forest, the data and
// the key only (not on the thread count).
//
// Everything here reads the data and trees only; the work is spread over
// the OpenMP team and the sums are taken in instance or tree order.
#ifndef SYLVOR_LEARN_OUT_OF_BAG_HPP
#define SYLVOR_LEARN_OUT_OF_BAG_HPP

#include <omp.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <type_traits>
#include <utility>
#include <vector>

#include "Sylvor/defs/exception.hpp"
#include "Sylvor/defs/parallel.hpp"
#include "Sylvor/defs/random.hpp"
#include "Sylvor/learn/forest_classifier.hpp"
#include "Sylvor/learn/tree.hpp"

namespace Sylvor {

struct OutOfBagEstimate {
  double error = 0.0;          // classification error rate, or mean squared error
  std::size_t evaluated = 0;   // instances with at least one out-of-bag tree
  std::size_t without = 0;     // instances that every tree sampled
};

// The key of the permutation shuffles: a digest of the calling thread's
// generator. Taken once the pool is seeded and before learning draws
// anything, it follows the seed (or seed file) alone.
inline std::uint64_t permutation_key() { return state_key(get_rng()->get_state()); }

namespace detail {

// The loss of one prediction: its squared error for regression labels, else
// 0 when it is the label and 1 when it is not.
template <class L, class P>
double prediction_loss(P predicted, L label) {
  if constexpr (std::is_floating_point<L>::value) {
    const double residual = static_cast<double>(predicted) - static_cast<double>(label);
    return residual * residual;
  } else {
    return predicted == label ? 0.0 : 1.0;
  }
}

// The in-bag record must hold one mask of every instance per tree.
template <class L>
void check_in_bag(const std::vector<Node<L>*>& forest, const std::vector<std::vector<bool>>& in_bag,
                  std::size_t num_instances) {
  bool fits = in_bag.size() == forest.size();
  for (std::size_t k = 0; fits && k < in_bag.size(); ++k) fits = in_bag[k].size() == num_instances;
  if (!fits) throw Exception("the in-bag record does not match the forest and the data");
}

}  // namespace detail

// Calls done(i, trees, counts, mean) for every instance i: `trees` is its
// number of out-of-bag trees, `counts` their votes per class slot (label + 1;
// classification only) and `mean` the running mean of their leaves in tree
// order (regression only). The instances are split in contiguous blocks over
// the team, so `done` is called concurrently for distinct instances.
template <class DataSet, class Done>
void for_each_out_of_bag_vote(const DataSet& data, const std::vector<Node<typename DataSet::label_type>*>& forest,
                              const std::vector<std::vector<bool>>& in_bag, Done done) {
  typedef typename DataSet::label_type L;
  constexpr bool regression = std::is_floating_point<L>::value;
  const long ni = static_cast<long>(data.get_num_instances());
  const std::size_t slots = data.get_num_classes() + 2;
  detail::check_in_bag(forest, in_bag, data.get_num_instances());
  TeamErrors errors;
#pragma omp parallel
  {
    try {
      std::vector<int> counts(slots);
      const auto [begin, end] = block_range(ni, omp_get_num_threads(), omp_get_thread_num());
      for (long i = begin; i < end && !errors.any(); ++i) {
        const std::size_t at = static_cast<std::size_t>(i);
        double mean = 0.0;
        int trees = 0;
        std::fill(counts.begin(), counts.end(), 0);
        for (std::size_t k = 0; k < forest.size(); ++k) {
          if (in_bag[k][at]) continue;
          const L leaf = forest[k]->predict(data, at);
          ++trees;
          if constexpr (regression) {
            mean += (static_cast<double>(leaf) - mean) / trees;
          } else {
            const long slot = static_cast<long>(leaf) + 1;
            if (slot >= 0 && static_cast<std::size_t>(slot) < slots) ++counts[static_cast<std::size_t>(slot)];
          }
        }
        done(at, trees, counts, mean);
      }
    } catch (...) {
      errors.capture();
    }
  }
  errors.rethrow();
}


template <class DataSet>
OutOfBagEstimate out_of_bag_estimate(const DataSet& data,
                                     const std::vector<Node<typename DataSet::label_type>*>& forest,
                                     const std::vector<std::vector<bool>>& in_bag) {
  typedef typename DataSet::label_type L;
  constexpr bool regression = std::is_floating_point<L>::value;
  // Each instance's loss, or -1 without out-of-bag trees; summed in order.
  std::vector<double> loss(data.get_num_instances(), -1.0);
  for_each_out_of_bag_vote(data, forest, in_bag,
                           [&](std::size_t i, int trees, const std::vector<int>& counts, double mean) {
                             if (trees == 0) return;
                             if constexpr (regression) {
                               loss[i] = detail::prediction_loss(mean, data.get_label(i));
                             } else {
                               loss[i] = detail::prediction_loss(detail::vote_winner(counts),
                                                                 static_cast<int>(data.get_label(i)));
                             }
                           });
  OutOfBagEstimate estimate;
  double sum = 0.0;
  for (const double value : loss) {
    if (value < 0.0) continue;
    sum += value;
    ++estimate.evaluated;
  }
  estimate.without = loss.size() - estimate.evaluated;
  estimate.error = sum / static_cast<double>(estimate.evaluated);
  return estimate;
}

namespace detail {

// One tree laid out in preorder for permutation importance: the left child
// of inner node v is v + 1, and the subtree of v is the nodes [v, end).
// Instances reaching a leaf inside [v, end) are exactly those whose path
// passes through v. Rebuilt per tree into reused storage.
template <class L>
class PreorderTree {
public:
  struct FlatNode {
    double threshold;
    int feature;  // -1 for a leaf
    int right;
    int end;
    L label;
  };

  void build(const Node<L>* root) {
    nodes.clear();
    pending.clear();
    pending.push_back({root, -1});
    while (!pending.empty()) {
      const auto [node, parent] = pending.back();
      pending.pop_back();
      const int at = static_cast<int>(nodes.size());
      // A right child is visited after the left subtree: tell the parent.
      if (parent >= 0) nodes[static_cast<std::size_t>(parent)].right = at;
      nodes.push_back({node->get_threshold(), node->is_leaf() ? -1 : node->get_feature_index(), -1, 0,
                       node->get_label()});
      if (!node->is_leaf()) {
        pending.push_back({node->get_right(), at});
        pending.push_back({node->get_left(), -1});
      }
    }
    // Subtree ends, children before parents (reverse preorder).
    for (std::size_t v = nodes.size(); v-- > 0;) {
      FlatNode& node = nodes[v];
      node.end = node.feature < 0 ? static_cast<int>(v) + 1 : nodes[static_cast<std::size_t>(node.right)].end;
    }
  }

  // The leaf reached from node `from`, with value_of(feature) giving the
  // instance's values.
  template <class ValueOf>
  int leaf_from(int from, ValueOf value_of) const {
    int v = from;
    while (nodes[static_cast<std::size_t>(v)].feature >= 0) {
      const FlatNode& node = nodes[static_cast<std::size_t>(v)];
      v = node.threshold > value_of(static_cast<std::size_t>(node.feature)) ? v + 1 : node.right;
    }
    return v;
  }

  std::vector<FlatNode> nodes;

private:
  std::vector<std::pair<const Node<L>*, int>> pending;
};

}  // namespace detail

// The permutation importance of every feature (see the top of this file),
// with the shuffles drawn from derived_rng(key, tree, feature): the
// out-of-bag instances of a tree in increasing order, instance j of them
// taking the feature's value of instance source[j] after a Fisher-Yates
// shuffle of that list. A feature that a tree never tests cannot change
// its predictions and adds 0 for that tree. All zeros when no tree has an
// out-of-bag instance.
//
// Only the instances whose path meets a node testing the feature can change
// leaf, and they are walked again from the first such node only: each tree
// is laid out in preorder, its out-of-bag instances sorted by leaf, and the
// instances below a node are those whose leaf lies in its subtree's range.
template <class DataSet>
std::vector<double> permutation_importances(const DataSet& data,
                                            const std::vector<Node<typename DataSet::label_type>*>& forest,
                                            const std::vector<std::vector<bool>>& in_bag, std::uint64_t key) {
  typedef typename DataSet::label_type L;
  typedef typename DataSet::feature_type F;
  const std::size_t nf = data.get_num_features();
  const std::size_t ni = data.get_num_instances();
  const long num_trees = static_cast<long>(forest.size());
  // Per tree: the loss increase of each feature, and whether it has
  // out-of-bag instances at all.
  std::vector<double> increases(forest.size() * nf, 0.0);
  std::vector<char> evaluated(forest.size(), 0);
  detail::check_in_bag(forest, in_bag, ni);
  if (!forest.empty()) detail::check_feature_indices(forest, nf);
  const auto columns = column_pointers(data);
  const auto loss_of = [&](L predicted, std::size_t i) { return detail::prediction_loss(predicted, data.get_label(i)); };
  TeamErrors errors;
#pragma omp parallel
  {
    try {
      detail::PreorderTree<L> tree;
      std::vector<std::size_t> out_of_bag, source;
      std::vector<double> base_loss;                    // per out-of-bag position
      std::vector<std::pair<int, std::size_t>> by_leaf;  // (leaf, out-of-bag position), sorted
      std::vector<char> tested(nf);
      out_of_bag.reserve(ni);
      source.reserve(ni);
      base_loss.reserve(ni);
      by_leaf.reserve(ni);
#pragma omp for schedule(dynamic, 1)
      for (long k = 0; k < num_trees; ++k) {
        if (errors.any()) continue;
        const Node<L>* root = forest[static_cast<std::size_t>(k)];
        const std::vector<bool>& bag = in_bag[static_cast<std::size_t>(k)];
        out_of_bag.clear();
        for (std::size_t i = 0; i < ni; ++i) {
          if (!bag[i]) out_of_bag.push_back(i);
        }
        if (out_of_bag.empty() || root == nullptr) continue;
        evaluated[static_cast<std::size_t>(k)] = 1;
        tree.build(root);
        const auto& nodes = tree.nodes;

        std::fill(tested.begin(), tested.end(), 0);
        for (const auto& node : nodes) {
          if (node.feature >= 0) tested[static_cast<std::size_t>(node.feature)] = 1;
        }
        base_loss.resize(out_of_bag.size());
        by_leaf.resize(out_of_bag.size());
        for (std::size_t j = 0; j < out_of_bag.size(); ++j) {
          const std::size_t i = out_of_bag[j];
          const int leaf = tree.leaf_from(0, [&](std::size_t feature) { return static_cast<double>(columns[feature][i]); });
          base_loss[j] = loss_of(nodes[static_cast<std::size_t>(leaf)].label, i);
          by_leaf[j] = {leaf, j};
        }
        std::sort(by_leaf.begin(), by_leaf.end());

        for (std::size_t f = 0; f < nf; ++f) {
          if (!tested[f]) continue;
          XorShiftRNG rng = derived_rng(key, static_cast<std::uint64_t>(k), f);
          source.assign(out_of_bag.begin(), out_of_bag.end());
          for (std::size_t j = source.size() - 1; j > 0; --j) {
            const std::size_t r = static_cast<std::size_t>(rng.next_int(static_cast<std::int64_t>(j) + 1));
            std::swap(source[j], source[r]);
          }
          const F* permuted_column = columns[f];
          double increase = 0.0;
          // The topmost nodes testing f, in preorder: their subtrees are
          // disjoint and hold every path that meets f.
          auto first = by_leaf.begin();
          for (int v = 0; v < static_cast<int>(nodes.size());) {
            const auto& node = nodes[static_cast<std::size_t>(v)];
            if (node.feature != static_cast<int>(f)) {
              ++v;
              continue;
            }
            first = std::lower_bound(first, by_leaf.end(), std::make_pair(v, std::size_t{0}));
            for (; first != by_leaf.end() && first->first < node.end; ++first) {
              const std::size_t j = first->second, i = out_of_bag[j];
              const std::size_t from = source[j];
              const int leaf = tree.leaf_from(v, [&](std::size_t feature) {
                return static_cast<double>(feature == f ? permuted_column[from] : columns[feature][i]);
              });
              increase += loss_of(nodes[static_cast<std::size_t>(leaf)].label, i) - base_loss[j];
            }
            v = node.end;
          }
          increases[static_cast<std::size_t>(k) * nf + f] = increase / static_cast<double>(out_of_bag.size());
        }
      }
    } catch (...) {
      errors.capture();
    }
  }
  errors.rethrow();

  std::vector<double> importances(nf, 0.0);
  std::size_t trees = 0;
  for (std::size_t k = 0; k < forest.size(); ++k) {
    if (!evaluated[k]) continue;
    ++trees;
    for (std::size_t f = 0; f < nf; ++f) importances[f] += increases[k * nf + f];
  }
  if (trees > 0) {
    for (double& value : importances) value /= static_cast<double>(trees);
  }
  return importances;
}

}  // namespace Sylvor

#endif
