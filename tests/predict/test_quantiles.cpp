#include "Sylvor/predict/quantiles.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <map>
#include <utility>
#include <vector>

#include "Sylvor/learn/forest.hpp"
#include "Sylvor/learn/sampling.hpp"
#include "tests/learn/data.hpp"

namespace Sylvor {
namespace {

// Regression with a noise that grows with feature 0, some values missing in
// feature 1, and repeated targets (rounded to tenths).
MemoryDataSet<double, double> spread_data(int n, bool with_missing) {
  MemoryDataSet<double, double> data;
  data.set_num_features(3);
  data.set_labeling(1, Regression);
  XorShiftRNG gen(XorShiftState{2, 7, 1, 8});
  for (int i = 0; i < n; ++i) {
    double row[] = {Testing::unit_draw(gen), Testing::unit_draw(gen), Testing::unit_draw(gen)};
    const double target = std::round(10.0 * (3.0 * row[1] + row[0] * (Testing::unit_draw(gen) - 0.5) * 8.0)) / 10.0;
    if (with_missing && i % 7 == 3) row[1] = std::nan("");
    data.add_instance(target, row, row + 3);
  }
  return data;
}

struct Growth {
  const char* name;
  bool bootstrap;
  int max_leaf_nodes;
  bool missing_learned;
  int min_leaf;
};

ForestSettings settings_of(const Growth& growth) {
  ForestSettings settings = Testing::settings(7, 2, 1.0, growth.min_leaf);
  settings.bootstrap = growth.bootstrap;
  settings.limits.max_leaf_nodes = growth.max_leaf_nodes;
  settings.limits.learn_missing_sides = growth.missing_learned;
  settings.leaf_samples = true;
  return settings;
}

LearnedForest<double> learned(const MemoryDataSet<double, double>& data, const ForestSettings& settings,
                              int threads = 1) {
  ForestSettings with_threads = settings;
  with_threads.num_threads = threads;
  ForestGenerators generators = ForestGenerators::per_tree(11);
  return learn_forest(data, with_threads, RegressionTask(), generators);
}

// Bootstrap samples and whole data, breadth and best first, missing values
// sent where the splits learned.
const auto growths = ::testing::Values(Growth{"Bootstrap", true, 0, false, 1}, Growth{"WholeData", false, 0, false, 5},
                                       Growth{"BestFirst", true, 12, false, 1},
                                       Growth{"MissingSides", true, 0, true, 3});

std::string growth_name(const ::testing::TestParamInfo<Growth>& info) { return info.param.name; }

class LeafRecords : public ::testing::TestWithParam<Growth> {};

// Each tree's record holds its sample's draws exactly (drawn again from the
// tree's generator), each in the leaf the tree sends it to, and the mean of
// a leaf's targets is the value growth gave the leaf.
TEST_P(LeafRecords, HoldEachTreesSampleInTheLeavesGrowthMade) {
  const auto data = spread_data(300, GetParam().missing_learned);
  const ForestSettings settings = settings_of(GetParam());
  const auto forest = learned(data, settings);
  ASSERT_EQ(forest.leaf_samples.trees.size(), forest.trees.size());
  EXPECT_NO_THROW(check_leaf_samples(forest.leaf_samples, forest.trees));
  EXPECT_EQ(forest.leaf_samples.targets, data.labels);
  const std::vector<double> cumulative = cumulative_draw_weights(settings, data.get_num_instances());
  for (std::size_t t = 0; t < forest.trees.size(); ++t) {
    const Tree<double>& tree = forest.trees[t];
    const TreeLeafSamples& record = forest.leaf_samples.trees[t];
    IndexedDataSet<MemoryDataSet<double, double>> sample(&data);
    XorShiftRNG stream = ForestGenerators::per_tree(11).tree_generator(t);
    draw_tree_sample(sample, settings, cumulative, stream);
    std::vector<std::uint32_t> drawn(sample.indices.begin(), sample.indices.end()), recorded = record.instances;
    std::sort(drawn.begin(), drawn.end());
    std::sort(recorded.begin(), recorded.end());
    EXPECT_EQ(recorded, drawn) << "tree " << t;
    for (std::size_t k = 0; k < tree.size(); ++k) {
      if (record.begin(k) == record.end(k)) continue;
      double sum = 0.0;
      for (std::uint32_t p = record.begin(k); p < record.end(k); ++p) {
        EXPECT_EQ(tree.leaf_of(data, record.instances[p]), k);
        sum += data.labels[record.instances[p]];
      }
      EXPECT_NEAR(tree.value[k], sum / (record.end(k) - record.begin(k)), 1e-9) << "tree " << t << " leaf " << k;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Growths, LeafRecords, growths, growth_name);

// The q-quantile at a row from its leaves' draws, weighed 1/n each, with
// exact fractions: the smallest target whose cumulative weight reaches q.
// Out of bag: only the trees whose samples do not hold instance i (NaN
// when every one does).
double brute_force_quantile(const LearnedForest<double>& forest, const MemoryDataSet<double, double>& data,
                            std::size_t i, double q, bool out_of_bag = false) {
  std::map<double, double> weight_of_target;
  double trees = 0.0;
  for (std::size_t t = 0; t < forest.trees.size(); ++t) {
    const std::size_t leaf = forest.trees[t].leaf_of(data, i);
    const TreeLeafSamples& record = forest.leaf_samples.trees[t];
    if (out_of_bag && std::count(record.instances.begin(), record.instances.end(), i) > 0) continue;
    const double n = record.end(leaf) - record.begin(leaf);
    if (n == 0) continue;
    trees += 1.0;
    for (std::uint32_t p = record.begin(leaf); p < record.end(leaf); ++p) {
      weight_of_target[forest.leaf_samples.targets[record.instances[p]]] += 1.0 / n;
    }
  }
  if (weight_of_target.empty()) return std::nan("");
  double reached = 0.0;
  for (const auto& [target, weight] : weight_of_target) {
    reached += weight;
    if (reached >= q * trees - 1e-9) return target;
  }
  return weight_of_target.rbegin()->first;
}

class Quantiles : public ::testing::TestWithParam<Growth> {};

TEST_P(Quantiles, AreTheSmallestTargetsWhoseForestWeightReachesQ) {
  const auto data = spread_data(400, GetParam().missing_learned);
  const auto forest = learned(data, settings_of(GetParam()));
  const FlatForest<double> flat(forest.trees);
  const std::vector<double> qs{0.9, 0.0, 0.05, 0.5, 1.0, 0.37, 0.5};
  std::vector<double> one_thread(data.get_num_instances() * qs.size(), -1.0), two = one_thread;
  predict_quantiles(flat, forest.leaf_samples, rank_targets(forest.leaf_samples.targets), data, qs, 1,
                    [&](std::size_t i, std::size_t j, double v) { one_thread[i * qs.size() + j] = v; });
  predict_quantiles(flat, forest.leaf_samples, rank_targets(forest.leaf_samples.targets), data, qs, 2,
                    [&](std::size_t i, std::size_t j, double v) { two[i * qs.size() + j] = v; });
  EXPECT_EQ(one_thread, two);
  for (std::size_t i = 0; i < data.get_num_instances(); i += 3) {
    for (std::size_t j = 0; j < qs.size(); ++j) {
      ASSERT_EQ(one_thread[i * qs.size() + j], brute_force_quantile(forest, data, i, qs[j]))
          << "row " << i << " quantile " << qs[j];
    }
    EXPECT_LE(one_thread[i * qs.size() + 2], one_thread[i * qs.size() + 3]);
  }
}

// On the training rows, out of bag: each row's quantiles come from the trees
// whose samples missed it (none without bootstrap: NaN).
TEST_P(Quantiles, OutOfBagLeaveOutTheTreesThatDrewTheRow) {
  const auto data = spread_data(200, GetParam().missing_learned);
  const auto forest = learned(data, settings_of(GetParam()));
  const FlatForest<double> flat(forest.trees);
  const std::vector<double> qs{0.25, 0.75};
  const auto in_bag = in_bag_of(forest.leaf_samples);
  std::vector<double> got(data.get_num_instances() * qs.size());
  predict_quantiles(
      flat, forest.leaf_samples, rank_targets(forest.leaf_samples.targets), data, qs, 2, [&](std::size_t i, std::size_t j, double v) { got[i * 2 + j] = v; },
      &in_bag);
  std::size_t answered = 0;
  for (std::size_t i = 0; i < data.get_num_instances(); ++i) {
    for (std::size_t j = 0; j < qs.size(); ++j) {
      const double expected = brute_force_quantile(forest, data, i, qs[j], true);
      ASSERT_TRUE(got[i * 2 + j] == expected || (std::isnan(expected) && std::isnan(got[i * 2 + j])))
          << "row " << i << ": " << got[i * 2 + j] << " against " << expected;
    }
    answered += !std::isnan(got[i * 2]);
  }
  EXPECT_EQ(answered > 0, GetParam().bootstrap);
  const auto fewer = spread_data(50, false);
  EXPECT_THROW(predict_quantiles(flat, forest.leaf_samples, rank_targets(forest.leaf_samples.targets), fewer, qs, 1, [](std::size_t, std::size_t, double) {},
                                 &in_bag),
               Exception);
}

INSTANTIATE_TEST_SUITE_P(Growths, Quantiles, growths, growth_name);

// Leaves of one draw each, ten trees: the weights are whole numbers, so the
// median of an even count is the lower middle target, exactly.
TEST(QuantileTies, ExactWeightsReachQAtTheLowerMiddleTarget) {
  const auto data = Testing::one_feature_data<double>({1, 2, 3, 4}, {10.0, 20.0, 30.0, 40.0}, 0);
  LearnedForest<double> forest;
  forest.leaf_samples.targets = {10.0, 20.0, 30.0, 40.0};
  for (std::uint32_t t = 0; t < 4; ++t) {
    Tree<double> stump;
    stump.add_node();
    stump.value[0] = forest.leaf_samples.targets[t];
    forest.trees.push_back(stump);
    forest.leaf_samples.trees.push_back(TreeLeafSamples{{0, 1}, {t}});
  }
  const FlatForest<double> flat(forest.trees);
  std::vector<double> got(3);
  predict_quantiles(flat, forest.leaf_samples, rank_targets(forest.leaf_samples.targets), data, {0.5, 0.25, 0.75}, 1,
                    [&](std::size_t i, std::size_t j, double v) { if (i == 0) got[j] = v; });
  EXPECT_EQ(got, (std::vector<double>{20.0, 10.0, 30.0}));
}

TEST(QuantileChecks, RefuseQuantilesOutsideZeroToOne) {
  for (const double q : {-0.1, 1.5, std::nan("")}) {
    EXPECT_THROW(check_quantiles({0.5, q}), Exception) << q;
  }
  EXPECT_THROW(check_quantiles({}), Exception);
  EXPECT_NO_THROW(check_quantiles({0.0, 1.0}));
}

// Records from outside that break an invariant are refused, naming it.
TEST(LeafRecordChecks, RefuseRecordsThatBreakTheirInvariants) {
  const auto data = spread_data(60, false);
  const auto forest = learned(data, settings_of(Growth{"", true, 0, false, 1}));
  const auto refused = [&](auto change, const std::string& named) {
    LeafSamples samples = forest.leaf_samples;
    change(samples);
    try {
      check_leaf_samples(samples, forest.trees);
      ADD_FAILURE() << "accepted: " << named;
    } catch (const Exception& e) {
      EXPECT_NE(e.get_message().find(named), std::string::npos) << e.get_message();
    }
  };
  refused([](LeafSamples& s) { s.trees.pop_back(); }, "hold 6 trees");
  refused([](LeafSamples& s) { s.trees[0].offsets.pop_back(); }, "do not cover");
  refused([](LeafSamples& s) { s.trees[1].instances[0] = 60; }, "instance 60 has no target");
  std::size_t first_leaf = 0;
  while (!forest.trees[3].is_leaf(first_leaf)) ++first_leaf;
  refused([&](LeafSamples& s) {
    // A leaf's range past the draws, before the offsets come back down.
    s.trees[3].offsets[first_leaf + 1] = static_cast<std::uint32_t>(s.trees[3].instances.size() + 5);
  }, "their offsets decrease at node " + std::to_string(first_leaf + 1));
  refused([](LeafSamples& s) { s.targets[3] = std::nan(""); }, "NaN");
  refused([&](LeafSamples& s) {
    // Move a root's draws onto it (an inner node).
    TreeLeafSamples& r = s.trees[2];
    for (std::size_t k = 1; k < r.offsets.size() - 1; ++k) r.offsets[k] = r.offsets.back();
  }, "inner node 0 holds draws");
  refused([&](LeafSamples& s) {
    TreeLeafSamples& r = s.trees[0];
    for (std::size_t k = 0; k + 1 < r.offsets.size(); ++k) {
      if (r.end(k) - r.begin(k) >= 2 && s.targets[r.instances[r.begin(k)]] != s.targets[r.instances[r.end(k) - 1]]) {
        std::swap(r.instances[r.begin(k)], r.instances[r.end(k) - 1]);
        return;
      }
    }
  }, "not in target order");
}

TEST(LeafRecordChecks, RefuseMoreInstancesThan32BitsNumber) {
  EXPECT_NO_THROW(check_leaf_sample_size(max_leaf_sample_instances, max_leaf_sample_instances));
  EXPECT_THROW(check_leaf_sample_size(max_leaf_sample_instances + 1, 10), Exception);
  EXPECT_THROW(check_leaf_sample_size(10, max_leaf_sample_instances + 1), Exception);
}

}  // namespace
}  // namespace Sylvor
