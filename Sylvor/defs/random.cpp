#include "Sylvor/defs/random.hpp"

#include <fcntl.h>
#include <omp.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>

#include "Sylvor/defs/exception.hpp"

namespace Sylvor {

std::ostream& operator<<(std::ostream& out, const XorShiftState& state) {
  return out << "{x=" << state.x << " y=" << state.y << " z=" << state.z << " w=" << state.w
             << "}";
}

std::ostream& operator<<(std::ostream& out, const XorShiftRNG& rng) {
  return out << rng.get_state();
}

namespace {

std::int64_t absolute_value(std::int64_t v) { return (v < 0 && v != INT64_MIN) ? -v : v; }

// Closes a POSIX file descriptor on every way out of a scope.
class FileDescriptor {
public:
  explicit FileDescriptor(int fd) : fd(fd) {}
  FileDescriptor(const FileDescriptor&) = delete;
  FileDescriptor& operator=(const FileDescriptor&) = delete;
  ~FileDescriptor() {
    if (fd >= 0) ::close(fd);
  }
  int get() const { return fd; }

private:
  int fd;
};

// A file of nothing but zero words (such as /dev/zero) would otherwise be read
// for ever; this many zero words in a row for one state word is an error.
constexpr long max_zero_words_in_a_row = 65536;

std::atomic<XorShiftRNGPool*> process_pool{nullptr};

}  // namespace

void XorShiftRNGPool::init_using_rand(int seed, int size) {
  std::srand(static_cast<unsigned>(seed));
  rngs.clear();
  rngs.resize(static_cast<std::size_t>(std::max(size, 0)));
  for (auto& slot : rngs) {
    std::int64_t words[4];
    for (std::int64_t& word : words) {
      int value;
      do {
        value = std::rand();
      } while (value == 0);
      word = absolute_value(static_cast<std::int64_t>(value));
    }
    slot = std::make_unique<XorShiftRNG>(XorShiftState{words[0], words[1], words[2], words[3]});
  }
}

void XorShiftRNGPool::init(const std::string& file, int size) {
  std::string path = file;
  if (file.empty()) path = "/dev/urandom";
  rngs.clear();
  rngs.resize(static_cast<std::size_t>(std::max(size, 0)));

  // A failed open shows up as a failed read below.
  const FileDescriptor fd(::open(path.c_str(), O_RDONLY));
  const std::string failure = "unable to read from random number file " + file;
  std::uint64_t bytes_read = 0;
  for (auto& slot : rngs) {
    std::int64_t words[4];
    for (std::int64_t& word : words) {
      long zero_words = 0;
      for (;;) {
        const ssize_t got = ::read(fd.get(), &word, sizeof word);
        if (got != static_cast<ssize_t>(sizeof word)) {
          if (fd.get() < 0 || got < 0) throw Exception(failure);
          // The file ended: say how much it held and how much is needed.
          bytes_read += static_cast<std::uint64_t>(got);
          throw Exception(failure + ": it ends after " + std::to_string(bytes_read) + " bytes, but " +
                          std::to_string(size) + " generators need at least " +
                          std::to_string(32 * static_cast<std::uint64_t>(size)) +
                          " (four non-zero 8-byte words each)");
        }
        bytes_read += sizeof word;
        if (word != 0) break;
        if (++zero_words >= max_zero_words_in_a_row) {
          throw Exception(failure + " (it holds only zero words)");
        }
      }
      word = absolute_value(word);
    }
    slot = std::make_unique<XorShiftRNG>(XorShiftState{words[0], words[1], words[2], words[3]});
  }
}

XorShiftRNGPool* get_pool(const std::string& file, int size, int seed, bool reinit) {
  XorShiftRNGPool* pool = process_pool.load(std::memory_order_acquire);
  if (pool != nullptr && !reinit) return pool;
  const bool is_new = pool == nullptr;
  if (is_new) {
    pool = new XorShiftRNGPool();  // lives until the process ends
  } else {
    pool->clear();
  }
  // A new pool is published only once it is filled (or has failed to fill),
  // so that threads that find it never see it half built.
  try {
    if (seed != 0) {
      pool->init_using_rand(seed, size);
    } else {
      pool->init(file, size);
    }
  } catch (...) {
    if (is_new) process_pool.store(pool, std::memory_order_release);
    throw;
  }
  if (is_new) process_pool.store(pool, std::memory_order_release);
  return pool;
}

namespace {

std::uint64_t splitmix64(std::uint64_t& state) {
  state += 0x9e3779b97f4a7c15ULL;
  std::uint64_t z = state;
  z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
  z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
  return z ^ (z >> 31);
}

}  // namespace

XorShiftRNG derived_rng(std::uint64_t key, std::uint64_t a, std::uint64_t b) {
  std::uint64_t state = key;
  std::uint64_t mixed = splitmix64(state);
  state = mixed ^ a;
  mixed = splitmix64(state);
  state = mixed ^ b;
  XorShiftState words;
  words.x = static_cast<std::int64_t>(splitmix64(state));
  words.y = static_cast<std::int64_t>(splitmix64(state));
  words.z = static_cast<std::int64_t>(splitmix64(state));
  words.w = static_cast<std::int64_t>(splitmix64(state));
  if (words.x == 0 && words.y == 0 && words.z == 0 && words.w == 0) words.w = 1;
  return XorShiftRNG(words);
}

std::uint64_t state_key(const XorShiftState& state) {
  std::uint64_t digest = 0;
  for (const std::int64_t word : {state.x, state.y, state.z, state.w}) {
    std::uint64_t mixing = digest ^ static_cast<std::uint64_t>(word);
    digest = splitmix64(mixing);
  }
  return digest;
}

int default_pool_size() { return std::max(32, omp_get_max_threads()); }

void init_pool(const std::string& file, int seed) {
  get_pool(file, default_pool_size(), seed, true);
}

}  // namespace Sylvor
