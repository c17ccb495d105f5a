// Micro-benchmarks of the split search's inner loops: buffering one feature
// of a 100,000-instance bootstrap sample and sorting it, for float features
// (comparison sort) and unsigned char features (counting sort).
#include <benchmark/benchmark.h>

#include <random>

#include "Sylvor/dataset/dataset.hpp"
#include "Sylvor/dataset/index_dataset.hpp"

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
void BufferAndSortOneFeature(benchmark::State& state) {
  const auto data = make_data<F>();
  Sylvor::XorShiftRNG rng(Sylvor::XorShiftState{1, 2, 3, 4});
  auto sample = Sylvor::random_subset_iid(&data, 1.0, rng);
  Sylvor::RangeDataSet<decltype(sample)> range(&sample, 0, sample.get_num_instances());
  for (auto _ : state) {
    range.buffer_feature(0);
    range.sort_buffered_feature(0);
    benchmark::DoNotOptimize(range.buffer_begin()->first);
  }
  state.SetItemsProcessed(static_cast<long>(state.iterations() * instances));
}

BENCHMARK_TEMPLATE(BufferAndSortOneFeature, float);
BENCHMARK_TEMPLATE(BufferAndSortOneFeature, unsigned char);

}  // namespace
