// Micro-benchmarks of the split search's inner loops: the search of one
// node of a 100,000-instance bootstrap sample over one feature (buffering
// the feature, sorting it and scanning it), for float features (radix sort)
// and unsigned char features (counting sort).
#include <benchmark/benchmark.h>

#include <random>

#include "Sylvor/dataset/dataset.hpp"
#include "Sylvor/dataset/index_dataset.hpp"
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

template <class F>
void SearchOneFeature(benchmark::State& state) {
  typedef Sylvor::ClassificationTask<Sylvor::TwoSplitGiniImpurity> Task;
  const auto data = make_data<F>();
  Sylvor::XorShiftRNG rng(Sylvor::XorShiftState{1, 2, 3, 4});
  Sylvor::Splitter<Task, Sylvor::MemoryDataSet<F, int>> splitter(data);
  Sylvor::draw_bootstrap_sample(splitter.get_sample(), 1.0, rng);
  const Task task;
  Sylvor::NominalLabelPriorAccumulator<int> node;
  task.summarize(splitter.range(0, instances), node);
  for (auto _ : state) {
    benchmark::DoNotOptimize(splitter.find_split(task, 0, instances, node, 0, rng).threshold);
  }
  state.SetItemsProcessed(static_cast<long>(state.iterations() * instances));
}

BENCHMARK_TEMPLATE(SearchOneFeature, float);
BENCHMARK_TEMPLATE(SearchOneFeature, unsigned char);

}  // namespace
