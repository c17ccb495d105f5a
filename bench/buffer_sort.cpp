// Micro-benchmarks of the split search's inner loops: the search of one
// node of a 100,000-instance bootstrap sample over one feature (buffering
// the feature, sorting it and scanning it), for float features (radix sort)
// and unsigned char features (counting sort); and the search of nodes of n
// instances over a feature of r distinct values and 4 classes, sorted or
// counted, the measurements behind counting_scan_pays.
#include <benchmark/benchmark.h>

#include <random>

#include "Sylvor/dataset/dataset.hpp"
#include "Sylvor/learn/sampling.hpp"
#include "Sylvor/learn/splitter.hpp"
#include "Sylvor/learn/task.hpp"

namespace {

constexpr std::size_t instances = 100000;

template <class F>
Sylvor::MemoryDataSet<F, int> make_data() {
  Sylvor::MemoryDataSet<F, int> data;
  data.set_num_features(1);
  data.set_labeling(3, Sylvor::DiscreteZeroOnward);
  std::mt19937 gen(7);
  std::uniform_int_distribution<int> value(0, 255);
  for (std::size_t i = 0; i < instances; ++i) {
    const double v = value(gen) + (std::is_floating_point<F>::value ? 0.25 * (i % 4) : 0.0);
    data.add_instance(static_cast<int>(gen() % 3), &v, &v + 1);
  }
  return data;
}

// Times the split search of the splitter's first n sample positions, every
// feature tried.
template <class DataSet>
void search_repeatedly(benchmark::State& state,
                       Sylvor::Splitter<Sylvor::ClassificationTask<Sylvor::TwoSplitGiniImpurity>, DataSet>& splitter,
                       std::size_t n, Sylvor::XorShiftRNG& rng) {
  const Sylvor::ClassificationTask<Sylvor::TwoSplitGiniImpurity> task;
  Sylvor::NominalLabelPriorAccumulator<int> node;
  task.summarize(splitter.node_labels(0, n), node);
  for (auto _ : state) {
    benchmark::DoNotOptimize(splitter.find_split(task, 0, n, node, 0, rng).threshold);
  }
  state.SetItemsProcessed(static_cast<long>(state.iterations() * n));
}

template <class F>
void SearchOneFeature(benchmark::State& state) {
  typedef Sylvor::ClassificationTask<Sylvor::TwoSplitGiniImpurity> Task;
  const auto data = make_data<F>();
  Sylvor::XorShiftRNG rng(Sylvor::XorShiftState{1, 2, 3, 4});
  Sylvor::Splitter<Task, Sylvor::MemoryDataSet<F, int>> splitter(data);
  Sylvor::draw_bootstrap_sample(splitter.get_sample(), 1.0, rng);
  search_repeatedly(state, splitter, instances, rng);
}

// A node of n instances (args 0) over one float feature of r distinct
// values (args 1) and 4 classes; args 2: 1 to count, 0 to sort.
void SearchRankedNode(benchmark::State& state) {
  typedef Sylvor::ClassificationTask<Sylvor::TwoSplitGiniImpurity> Task;
  typedef Sylvor::MemoryDataSet<float, int> Data;
  const std::size_t n = static_cast<std::size_t>(state.range(0));
  const int distinct = static_cast<int>(state.range(1));
  Data data;
  data.set_num_features(1);
  data.set_labeling(4, Sylvor::DiscreteZeroOnward);
  std::mt19937 gen(11);
  for (std::size_t i = 0; i < instances; ++i) {
    const double v = static_cast<double>(gen() % static_cast<unsigned>(distinct)) * 0.5;
    data.add_instance(static_cast<int>(gen() % 4), &v, &v + 1);
  }
  const Sylvor::ValueRanks<float> ranks(data, instances, 6, &Sylvor::NominalLabelPriorAccumulator<int>::slot_of);
  Sylvor::Splitter<Task, Data> splitter(data, &ranks);
  splitter.set_counting(state.range(2) != 0 ? Sylvor::NodeCounting::Always : Sylvor::NodeCounting::Never);
  Sylvor::XorShiftRNG rng(Sylvor::XorShiftState{1, 2, 3, 4});
  for (std::size_t i = 0; i < n; ++i) splitter.get_sample().add_index(gen() % instances);
  search_repeatedly(state, splitter, n, rng);
}

BENCHMARK(SearchRankedNode)->ArgsProduct({{16, 64, 256, 1024, 4096, 16384}, {4, 16, 64, 256, 1024, 4096, 16384}, {0, 1}});

BENCHMARK_TEMPLATE(SearchOneFeature, float);
BENCHMARK_TEMPLATE(SearchOneFeature, unsigned char);

}  // namespace
