// The module's generator pool: the library's process-wide pool, rebuilt by
// init_pool and set_seed and leased by learning calls with per-thread
// seeding (each call draws from a copy and puts it back afterwards, unless
// the pool was rebuilt meanwhile). Every use holds the pool's lock, so
// calls from several Python threads are safe.
#ifndef PYSYLVOR_POOL_HPP
#define PYSYLVOR_POOL_HPP

#include <string>
#include <utility>

#include "Sylvor/learn/seeding.hpp"

namespace PySylvor {

using namespace Sylvor;

// A copy of the pool's generators for one learning call (a pool from
// /dev/urandom is built when none exists yet), and the generation it was
// taken from.
std::pair<ForestGenerators, unsigned long> lease_generators();

// Puts the leased generators back as learning left them, so that the next
// learn continues their streams, unless the pool was rebuilt meanwhile.
void return_generators(const ForestGenerators& generators, unsigned long generation);

// Rebuilds the module's pool (under its lock: learning calls running now
// keep their own copies of the generators).
double rebuild_pool(const std::string& file, int seed);

// The module's init_pool (a file of random bytes) and set_seed entries.
double init_pool_wrap(const std::string& name);
double set_seed_wrap(long seed);

}  // namespace PySylvor

#endif
