// Out-of-bag estimates: every instance is predicted by the trees whose
// bootstrap sample left it out (the task's votes: majority with the smallest
// label winning ties, or the running mean in tree order), and the
// predictions are scored against the labels with the task's loss. Instances
// that every tree sampled are left out and counted.
//
// Permutation importances: for each tree and feature, how much the tree's
// loss on its out-of-bag instances grows when that feature's values are
// shuffled among those instances, averaged over the trees that have
// out-of-bag instances. The shuffles draw from generators derived from a key
// and the tree and feature numbers, never from the learning pool, so the
// result depends on the forest, the data and the key only (not on the
// thread count).
//
// Everything here reads the data and trees only; the work is spread over
// a team of the requested size and the sums are taken in instance or tree
// order. The shuffle key comes from the learning's ForestGenerators.
#ifndef SYLVOR_LEARN_OUT_OF_BAG_HPP
#define SYLVOR_LEARN_OUT_OF_BAG_HPP

#include <omp.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

#include "Sylvor/defs/exception.hpp"
#include "Sylvor/defs/parallel.hpp"
#include "Sylvor/defs/random.hpp"
#include "Sylvor/learn/forest.hpp"
#include "Sylvor/model/tree.hpp"
#include "Sylvor/model/flat_forest.hpp"

namespace Sylvor {

struct OutOfBagEstimate {
  double error = 0.0;         // the task's mean loss: error rate, or mean squared error
  std::size_t evaluated = 0;  // instances with at least one out-of-bag tree
  std::size_t without = 0;    // instances that every tree sampled
};

namespace detail {

// The in-bag record must hold one mask of every instance per tree.
inline void check_in_bag(std::size_t num_trees, const InBagRecord& in_bag, std::size_t num_instances) {
  bool fits = in_bag.size() == num_trees;
  for (std::size_t k = 0; fits && k < in_bag.size(); ++k) fits = in_bag[k].size() == num_instances;
  if (!fits) throw Exception("the in-bag record does not match the forest and the data");
}

}  // namespace detail

// Calls done(i, trees, votes) for every instance i: `trees` is its number of
// out-of-bag trees and `votes` (the task's Votes, slot 0) their aggregated
// leaves. The instances are split in contiguous blocks over a team of
// team_size(threads), so `done` is called concurrently for distinct
// instances.
template <class Task, class DataSet, class Done>
void for_each_out_of_bag_vote(const Task&, const DataSet& data, const Forest<typename DataSet::label_type>& trees,
                              const InBagRecord& in_bag, int threads, Done done) {
  typedef typename Task::Votes Votes;
  detail::check_in_bag(trees.size(), in_bag, data.get_num_instances());
  const FlatForest<typename DataSet::label_type> forest(trees);
  forest.check(data.get_num_features());
  const auto columns = column_pointers(data);
  for_each_chunk(
      data.get_num_instances(), 1, threads, [&] { return Votes(data.get_num_classes(), 1); },
      [&](Votes& votes, std::size_t i, std::size_t) {
        votes.clear(1);
        int trees = 0;
        for (std::size_t k = 0; k < forest.size(); ++k) {
          if (in_bag[k][i]) continue;
          votes.add(0, forest.value(k, forest.leaf_of(k, columns.data(), i)));
          ++trees;
        }
        done(i, trees, static_cast<const Votes&>(votes));
      });
}

template <class Task, class DataSet>
OutOfBagEstimate out_of_bag_estimate(const Task& task, const DataSet& data,
                                     const Forest<typename DataSet::label_type>& forest, const InBagRecord& in_bag,
                                     int threads = 0) {
  // Each instance's loss, or -1 without out-of-bag trees; summed in order.
  std::vector<double> loss(data.get_num_instances(), -1.0);
  for_each_out_of_bag_vote(task, data, forest, in_bag, threads,
                           [&](std::size_t i, int trees, const typename Task::Votes& votes) {
                             if (trees > 0) loss[i] = task.loss(votes.result(0), data.get_label(i));
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

// The out-of-bag estimate of the forests of the first 1, 2, ..., T trees:
// entry t - 1 is what out_of_bag_estimate gives for the first t trees (an
// error of NaN while no instance has an out-of-bag tree), bit for bit: every
// instance's votes grow tree by tree in the same order, and each entry sums
// the losses in instance order. The trees are walked once per instance, on
// a team of team_size(threads), in blocks of instances whose losses after
// each tree are then added up in order on the calling thread. With `done`,
// done(i, trees, votes) is called for every instance with its final votes,
// as for_each_out_of_bag_vote calls it (concurrently for distinct
// instances), so one walk gives both.
struct NoVotesWanted {
  template <class Votes>
  void operator()(std::size_t, int, const Votes&) const {}
};

template <class Task, class DataSet, class Done = NoVotesWanted>
std::vector<OutOfBagEstimate> out_of_bag_curve(const Task& task, const DataSet& data,
                                               const Forest<typename DataSet::label_type>& trees,
                                               const InBagRecord& in_bag, int threads = 0, Done done = Done()) {
  typedef typename Task::Votes Votes;
  const std::size_t n = data.get_num_instances(), num_trees = trees.size();
  detail::check_in_bag(num_trees, in_bag, n);
  std::vector<OutOfBagEstimate> curve(num_trees);
  if (num_trees == 0) return curve;
  const FlatForest<typename DataSet::label_type> forest(trees);
  forest.check(data.get_num_features());
  const auto columns = column_pointers(data);
  std::vector<double> sum(num_trees, 0.0);
  // Per block: each instance's loss after each tree, -1 before its first
  // out-of-bag tree; about 32 MB at most.
  const std::size_t block = std::max<std::size_t>(1, (std::size_t(1) << 22) / num_trees);
  std::vector<double> losses(std::min(block, n) * num_trees);
  for (std::size_t begin = 0; begin < n; begin += block) {
    const std::size_t count = std::min(block, n - begin);
    for_each_chunk(
        count, 1, threads, [&] { return Votes(data.get_num_classes(), 1); },
        [&](Votes& votes, std::size_t j, std::size_t) {
          const std::size_t i = begin + j;
          double* row = losses.data() + j * num_trees;
          votes.clear(1);
          double loss = -1.0;
          int out_of_bag = 0;
          for (std::size_t k = 0; k < num_trees; ++k) {
            if (!in_bag[k][i]) {
              votes.add(0, forest.value(k, forest.leaf_of(k, columns.data(), i)));
              loss = task.loss(votes.result(0), data.get_label(i));
              ++out_of_bag;
            }
            row[k] = loss;
          }
          done(i, out_of_bag, static_cast<const Votes&>(votes));
        });
    for (std::size_t j = 0; j < count; ++j) {
      const double* row = losses.data() + j * num_trees;
      for (std::size_t k = 0; k < num_trees; ++k) {
        if (row[k] < 0.0) continue;
        sum[k] += row[k];
        ++curve[k].evaluated;
      }
    }
  }
  for (std::size_t k = 0; k < num_trees; ++k) {
    curve[k].without = n - curve[k].evaluated;
    curve[k].error = sum[k] / static_cast<double>(curve[k].evaluated);
  }
  return curve;
}

namespace detail {

// The preorder of a tree's nodes (node, left subtree, right subtree): the
// node at each rank, each node's rank, and the rank one past each subtree.
// Instances reaching a leaf whose rank lies in [rank(v), end(v)) are exactly
// those whose path passes through v. Rebuilt per tree into reused storage.
struct Preorder {
  std::vector<int> node_at;  // rank -> node
  std::vector<int> rank_of;  // node -> rank
  std::vector<int> end_at;   // rank -> one past the last rank of its subtree

  template <class L>
  void build(const Tree<L>& tree) {
    const std::size_t n = tree.size();
    node_at.clear();
    rank_of.assign(n, 0);
    end_at.assign(n, 0);
    pending.assign(1, 0);
    while (!pending.empty()) {
      const int v = pending.back();
      pending.pop_back();
      rank_of[static_cast<std::size_t>(v)] = static_cast<int>(node_at.size());
      node_at.push_back(v);
      if (!tree.is_leaf(static_cast<std::size_t>(v))) {
        pending.push_back(tree.right[static_cast<std::size_t>(v)]);
        pending.push_back(tree.left[static_cast<std::size_t>(v)]);
      }
    }
    // Subtree ends, children before parents (reverse preorder): a subtree
    // ends where its right child's subtree ends.
    for (std::size_t r = n; r-- > 0;) {
      const std::size_t v = static_cast<std::size_t>(node_at[r]);
      end_at[r] = tree.is_leaf(v) ? static_cast<int>(r) + 1
                                  : end_at[static_cast<std::size_t>(rank_of[static_cast<std::size_t>(tree.right[v])])];
    }
  }

private:
  std::vector<int> pending;
};

// The permutation work of one team member on one tree at a time: the
// tree's out-of-bag instances with their losses, sorted by the preorder rank
// of their leaves, and the loss increase of shuffling one feature.
template <class Task, class DataSet>
class PermutationWorker {
public:
  typedef typename DataSet::label_type L;
  typedef typename DataSet::feature_type F;

  PermutationWorker(const Task& task, const DataSet& data, const FlatForest<L>& forest,
                    const std::vector<const F*>& columns, std::uint64_t first_tree)
      : task(task), data(data), forest(forest), columns(columns), first_tree(first_tree),
        tested(data.get_num_features()) {}

  // Takes tree k with its in-bag mask; false when the tree has no out-of-bag
  // instance.
  bool take_tree(std::size_t k, const Tree<L>& tree, const std::vector<bool>& bag) {
    this->k = k;
    this->tree = &tree;
    out_of_bag.clear();
    for (std::size_t i = 0; i < data.get_num_instances(); ++i) {
      if (!bag[i]) out_of_bag.push_back(i);
    }
    if (out_of_bag.empty() || tree.empty()) return false;
    preorder.build(tree);
    std::fill(tested.begin(), tested.end(), 0);
    for (std::size_t v = 0; v < tree.size(); ++v) {
      if (!tree.is_leaf(v)) tested[static_cast<std::size_t>(tree.feature[v])] = 1;
    }
    base_loss.resize(out_of_bag.size());
    by_leaf.resize(out_of_bag.size());
    for (std::size_t j = 0; j < out_of_bag.size(); ++j) {
      const std::size_t i = out_of_bag[j];
      const std::size_t leaf = forest.leaf_of(k, columns.data(), i);
      base_loss[j] = task.loss(tree.value[leaf], data.get_label(i));
      by_leaf[j] = {preorder.rank_of[leaf], j};
    }
    std::sort(by_leaf.begin(), by_leaf.end());
    return true;
  }

  // The mean loss increase over the tree's out-of-bag instances when feature
  // f is shuffled among them with derived_rng(key, tree number, f); 0 for a
  // feature the tree never tests.
  double increase_of(std::size_t f, std::uint64_t key) {
    if (!tested[f]) return 0.0;
    XorShiftRNG rng = derived_rng(key, first_tree + static_cast<std::uint64_t>(k), f);
    source.assign(out_of_bag.begin(), out_of_bag.end());
    for (std::size_t j = source.size() - 1; j > 0; --j) {
      const std::size_t r = static_cast<std::size_t>(rng.next_int(static_cast<std::int64_t>(j) + 1));
      std::swap(source[j], source[r]);
    }
    double increase = 0.0;
    // The topmost nodes testing f, in preorder: their subtrees are disjoint
    // and hold every path that meets f.
    auto first = by_leaf.begin();
    for (std::size_t r = 0; r < tree->size();) {
      const std::size_t v = static_cast<std::size_t>(preorder.node_at[r]);
      if (tree->is_leaf(v) || tree->feature[v] != static_cast<int>(f)) {
        ++r;
        continue;
      }
      const int end = preorder.end_at[r];
      first = std::lower_bound(first, by_leaf.end(), std::make_pair(static_cast<int>(r), std::size_t{0}));
      for (; first != by_leaf.end() && first->first < end; ++first) increase += shuffled_loss_change(first->second, v, f);
      r = static_cast<std::size_t>(end);
    }
    return increase / static_cast<double>(out_of_bag.size());
  }

private:
  // How the loss of out-of-bag instance j changes when it takes the value of
  // f of its shuffled source, walked again from node v.
  double shuffled_loss_change(std::size_t j, std::size_t v, std::size_t f) const {
    const std::size_t i = out_of_bag[j], from = source[j];
    const F* permuted_column = columns[f];
    const std::size_t leaf =
        forest.leaf_from(k, v, [&](std::size_t feature) { return feature == f ? permuted_column[from] : columns[feature][i]; });
    return task.loss(tree->value[leaf], data.get_label(i)) - base_loss[j];
  }

  const Task& task;
  const DataSet& data;
  const FlatForest<L>& forest;
  const std::vector<const F*>& columns;
  const std::uint64_t first_tree;  // the number of tree 0 in a forest learned as subforests
  std::size_t k = 0;
  const Tree<L>* tree = nullptr;
  Preorder preorder;
  std::vector<std::size_t> out_of_bag, source;
  std::vector<double> base_loss;                    // per out-of-bag position
  std::vector<std::pair<int, std::size_t>> by_leaf;  // (leaf rank, out-of-bag position), sorted
  std::vector<char> tested;                         // per feature: tested by the tree
};

}  // namespace detail

// The permutation importance of every feature (see the top of this file),
// with the shuffles drawn from derived_rng(key, first_tree + tree, feature),
// on a team of team_size(threads): the
// out-of-bag instances of a tree in increasing order, instance j of them
// taking the feature's value of instance source[j] after a Fisher-Yates
// shuffle of that list. A feature that a tree never tests cannot change
// its predictions and adds 0 for that tree. All zeros when no tree has an
// out-of-bag instance.
//
// Only the instances whose path meets a node testing the feature can change
// leaf, and they are walked again from the first such node only: the
// topmost nodes testing the feature are taken in preorder, and the
// out-of-bag instances below each are those whose leaf's preorder rank lies
// in the node's subtree, a range of the instances sorted by leaf rank.
template <class Task, class DataSet>
std::vector<double> permutation_importances(const Task& task, const DataSet& data,
                                            const Forest<typename DataSet::label_type>& trees, const InBagRecord& in_bag,
                                            std::uint64_t key, std::uint64_t first_tree = 0, int threads = 0) {
  typedef typename DataSet::label_type L;
  const std::size_t nf = data.get_num_features();
  detail::check_in_bag(trees.size(), in_bag, data.get_num_instances());
  const FlatForest<L> forest(trees);
  forest.check(nf);
  const auto columns = column_pointers(data);
  // Per tree: the loss increase of each feature, and whether it has
  // out-of-bag instances at all.
  std::vector<double> increases(trees.size() * nf, 0.0);
  std::vector<char> evaluated(trees.size(), 0);
  const long num_trees = static_cast<long>(trees.size());
  TeamErrors errors;
#pragma omp parallel num_threads(team_size(threads))
  {
    try {
      detail::PermutationWorker<Task, DataSet> worker(task, data, forest, columns, first_tree);
#pragma omp for schedule(dynamic, 1)
      for (long t = 0; t < num_trees; ++t) {
        const std::size_t k = static_cast<std::size_t>(t);
        if (errors.any() || !worker.take_tree(k, trees[k], in_bag[k])) continue;
        evaluated[k] = 1;
        for (std::size_t f = 0; f < nf; ++f) increases[k * nf + f] = worker.increase_of(f, key);
      }
    } catch (...) {
      errors.capture();
    }
  }
  errors.rethrow();

  // The mean over the trees that have out-of-bag instances, in tree order.
  std::vector<double> importances(nf, 0.0);
  std::size_t counted = 0;
  for (std::size_t k = 0; k < trees.size(); ++k) {
    if (!evaluated[k]) continue;
    ++counted;
    for (std::size_t f = 0; f < nf; ++f) importances[f] += increases[k * nf + f];
  }
  if (counted > 0) {
    for (double& value : importances) value /= static_cast<double>(counted);
  }
  return importances;
}

}  // namespace Sylvor

#endif
