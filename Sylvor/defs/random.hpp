// Random number generation for learning: small xorshift generators, pools
// of them (one per thread of a team), and the process-wide pool that the
// Python module seeds and leases copies of.
//
// A generator is nothing but four signed 64-bit words; every draw performs one
// xorshift step on them. A pool owns its generators, one per slot, and the
// thread numbered i draws only from slot i, so no generator is ever shared and
// no draw takes a lock. A pool is built (seeded from an integer through the
// C library's srand/rand, or from the 8-byte words of a file) on one thread
// before any parallel region; afterwards it is only read.
// A pool built by init_pool has at least 32 slots and at least as many as the
// OpenMP team size in force; the first 32 slots depend only on the seed (or
// the first non-zero words of the file), whatever the pool's size.
#ifndef SYLVOR_DEFS_RANDOM_HPP
#define SYLVOR_DEFS_RANDOM_HPP

#include <cstddef>
#include <cstdint>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

namespace Sylvor {

struct XorShiftState {
  std::int64_t x = 0;
  std::int64_t y = 0;
  std::int64_t z = 0;
  std::int64_t w = 0;
};

inline bool operator==(const XorShiftState& a, const XorShiftState& b) {
  return a.x == b.x && a.y == b.y && a.z == b.z && a.w == b.w;
}
inline bool operator!=(const XorShiftState& a, const XorShiftState& b) { return !(a == b); }

// "{x=.. y=.. z=.. w=..}" in plain signed decimal.
std::ostream& operator<<(std::ostream& out, const XorShiftState& state);

class XorShiftRNG {
public:
  explicit XorShiftRNG(const XorShiftState& state) : state(state) {}

  // One step; the draw is the new w.
  std::int64_t next_int() {
    const std::int64_t x = state.x, y = state.y, z = state.z, w = state.w;
    // Left shifts are done on the unsigned pattern (discarding the bits
    // shifted out); right shifts stay on the signed value and are arithmetic.
    const std::int64_t t = x ^ y ^ z ^ w ^ shift_left(x, 20) ^ (y >> 11) ^
                           shift_left(z, 27) ^ (w >> 6);
    state.x = y;
    state.y = z;
    state.z = w;
    state.w = t;
    return t;
  }

  // One step; the absolute value of the draw modulo n (n > 0), in [0, n).
  std::int64_t next_int(std::int64_t n) {
    const std::int64_t t = next_int();
    // The absolute value of -2^63 does not exist and stays negative; its
    // remainder is then moved into range so that callers may index with it.
    const std::int64_t r = (t < 0 && t != INT64_MIN) ? -t : t;
    const std::int64_t m = r % n;
    return m < 0 ? m + n : m;
  }

  // k / 1000000 for an integer 0 <= k < 1000000.

  const XorShiftState& get_state() const { return state; }

private:
  static std::int64_t shift_left(std::int64_t v, int bits) {
    return static_cast<std::int64_t>(static_cast<std::uint64_t>(v) << bits);
  }

  XorShiftState state;
};

std::ostream& operator<<(std::ostream& out, const XorShiftRNG& rng);

// A generator of its own for the stream (a, b) under `key`, independent of
// the pool: its four words are successive splitmix64 outputs of a state
// mixed from key, a and b (never all zero). Work that must not disturb the
// learning draws (permutations for importances, say) takes its generators
// from here.
XorShiftRNG derived_rng(std::uint64_t key, std::uint64_t a, std::uint64_t b);

// A 64-bit digest of a generator's state, to key derived generators on how
// the pool was seeded (the same seed or seed file gives the same key).
std::uint64_t state_key(const XorShiftState& state);

class XorShiftRNGPool {
public:
  XorShiftRNGPool() = default;
  XorShiftRNGPool(const XorShiftRNGPool&) = delete;
  XorShiftRNGPool& operator=(const XorShiftRNGPool&) = delete;

  // Deletes every generator and empties the pool.
  void clear() { rngs.clear(); }

  // The generator of slot i, or null where the slot was never filled.
  XorShiftRNG* get_generator(std::size_t i) const { return rngs[i].get(); }
  std::size_t size() const { return rngs.size(); }

  // Seeds `size` generators from srand(seed) and the non-zero results of rand().
  void init_using_rand(int seed, int size);

  // Fills `size` generators from the non-zero 8-byte words of a file, stored
  // as their absolute values: "/dev/urandom" when `file` is empty. A file
  // that cannot be read throws Exception("unable to read from random number
  // file " + file); one that ends too soon says, after a colon, how many
  // bytes it held and how many the generators need. A failure leaves the
  // slots not yet filled null.
  void init(const std::string& file, int size);

private:
  std::vector<std::unique_ptr<XorShiftRNG>> rngs;
};

// The process-wide pool, built on first use. With `reinit` the existing pool
// is rebuilt in place; without it an existing pool is returned untouched. A
// non-zero seed seeds through srand/rand, a zero seed reads from `file`.
// Single-threaded: call before any parallel region.
XorShiftRNGPool* get_pool(const std::string& file, int size, int seed, bool reinit);

// The largest team the library accepts: beyond it thread creation (and the
// generator pool) would be sized by a typo rather than by a machine.
constexpr int max_threads = 4096;

// The number of slots init_pool builds: 32, or the OpenMP team size in force
// when that is larger.
int default_pool_size();

// Rebuilds the process-wide pool with default_pool_size() slots.
void init_pool(const std::string& file, int seed);

}  // namespace Sylvor

#endif
