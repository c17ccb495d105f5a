#include "python/PySylvor/pool.hpp"

#include <mutex>

#include "Sylvor/defs/random.hpp"
#include "python/PySylvor/errors.hpp"

namespace PySylvor {

using namespace Sylvor;

namespace {

// The lock every use of the module's pool holds; `generation` counts the
// rebuilds.
struct PoolGuard {
  std::mutex mutex;
  unsigned long generation = 0;
};

PoolGuard& module_pool() {
  static PoolGuard guard;
  return guard;
}

}  // namespace

std::pair<ForestGenerators, unsigned long> lease_generators() {
  PoolGuard& guard = module_pool();
  const std::lock_guard<std::mutex> lock(guard.mutex);
  const XorShiftRNGPool& pool = *get_pool("", default_pool_size(), 0, false);
  return {ForestGenerators::per_thread(pool), guard.generation};
}

void return_generators(const ForestGenerators& generators, unsigned long generation) {
  PoolGuard& guard = module_pool();
  const std::lock_guard<std::mutex> lock(guard.mutex);
  if (guard.generation != generation) return;
  XorShiftRNGPool& pool = *get_pool("", default_pool_size(), 0, false);
  const std::vector<XorShiftRNG>& streams = generators.get_streams();
  for (std::size_t i = 0; i < streams.size() && i < pool.size(); ++i) *pool.get_generator(i) = streams[i];
}

double rebuild_pool(const std::string& file, int seed) {
  return guarded([&] {
    PoolGuard& guard = module_pool();
    const std::lock_guard<std::mutex> lock(guard.mutex);
    ++guard.generation;
    init_pool(file, seed);
    return 0.0;
  });
}

double init_pool_wrap(const std::string& name) { return rebuild_pool(name, 0); }

double set_seed_wrap(long seed) { return rebuild_pool("", static_cast<int>(seed)); }

}  // namespace PySylvor
