#include "Sylvor/defs/random.hpp"

#include <gtest/gtest.h>
#include <omp.h>

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <set>
#include <sstream>
#include <vector>

#include "Sylvor/defs/exception.hpp"

namespace Sylvor {
namespace {

// Expected draws worked out with exact 64-bit arithmetic outside this code.
TEST(XorShiftRNG, StepsMatchHandComputedDraws) {
  XorShiftRNG rng(XorShiftState{1, 2, 3, 4});
  EXPECT_EQ(rng.next_int(), 403701764);
  EXPECT_EQ(rng.next_int(), 944783361);
  EXPECT_EQ(rng.next_int(), 54183933026304258);
  EXPECT_EQ(rng.get_state(), (XorShiftState{4, 403701764, 944783361, 54183933026304258}));
}

TEST(XorShiftRNG, RightShiftCopiesTheSignBit) {
  // y = -1024: an arithmetic shift gives -1, so t = -1024 ^ -1 = 1023; a
  // logical shift would give a huge value.
  XorShiftRNG rng(XorShiftState{0, -1024, 0, 0});
  EXPECT_EQ(rng.next_int(), 1023);
}

TEST(XorShiftRNG, LeftShiftDiscardsBitsShiftedOut) {
  const std::int64_t x = (std::int64_t{1} << 44) | 1;  // bit 44 leaves the word
  XorShiftRNG rng(XorShiftState{x, 0, 0, 0});
  EXPECT_EQ(rng.next_int(), 17592187092993);
}

TEST(XorShiftRNG, BoundedDrawsUseTheAbsoluteValue) {
  // The fourth draw of this state is -8799390811596242314.
  XorShiftRNG rng(XorShiftState{-5, 123456789, -987654321, 42});
  EXPECT_EQ(rng.next_int(1000), 106);
  EXPECT_EQ(rng.next_int(1000), 715);
  EXPECT_EQ(rng.next_int(1000), 682);
  EXPECT_EQ(rng.next_int(1000), 314);
}

TEST(XorShiftRNG, MostNegativeDrawStillGivesAnIndexInRange) {
  // x = -2^63 with the other words zero draws exactly -2^63 (x << 20 vanishes),
  // whose absolute value does not exist.
  XorShiftRNG rng(XorShiftState{INT64_MIN, 0, 0, 0});
  const std::int64_t r = rng.next_int(7);
  EXPECT_GE(r, 0);
  EXPECT_LT(r, 7);
}

TEST(XorShiftState, TextForm) {
  std::ostringstream out;
  out << XorShiftRNG(XorShiftState{1, -2, 3, -4});
  EXPECT_EQ(out.str(), "{x=1 y=-2 z=3 w=-4}");
}

std::vector<XorShiftState> states_of(const XorShiftRNGPool& pool) {
  std::vector<XorShiftState> states;
  for (std::size_t i = 0; i < pool.size(); ++i) states.push_back(pool.get_generator(i)->get_state());
  return states;
}

TEST(PoolFromSeed, UsesTheNonZeroRandResultsInOrder) {
  XorShiftRNGPool pool;
  pool.init_using_rand(1, 2);
  // The GNU C library's first rand() results after srand(1).
  EXPECT_EQ(pool.get_generator(0)->get_state(),
            (XorShiftState{1804289383, 846930886, 1681692777, 1714636915}));
  EXPECT_EQ(pool.get_generator(1)->get_state().x, 1957747793);
}

TEST(PoolFromSeed, SameSeedGivesIdenticalPools) {
  XorShiftRNGPool first, second, other;
  first.init_using_rand(1, 32);
  second.init_using_rand(1, 32);
  other.init_using_rand(-1, 32);  // negative seeds are ordinary seeds
  EXPECT_EQ(states_of(first), states_of(second));
  EXPECT_NE(states_of(first), states_of(other));
}

TEST(PoolFromSeed, LargerPoolKeepsTheFirstSlots) {
  XorShiftRNGPool small, large;
  small.init_using_rand(7, 32);
  large.init_using_rand(7, 64);
  auto large_states = states_of(large);
  large_states.resize(32);
  EXPECT_EQ(states_of(small), large_states);
}

class SeedFile {
public:
  explicit SeedFile(const std::vector<std::int64_t>& words)
      : path(::testing::TempDir() + "sylvor_seed_" + std::to_string(counter++)) {
    std::ofstream out(path, std::ios::binary);
    out.write(reinterpret_cast<const char*>(words.data()),
              static_cast<std::streamsize>(words.size() * sizeof(std::int64_t)));
  }
  ~SeedFile() { std::remove(path.c_str()); }
  const std::string path;

private:
  static inline int counter = 0;
};

std::vector<std::int64_t> counting_words(std::size_t n) {
  std::vector<std::int64_t> words;
  for (std::size_t i = 0; i < n; ++i) words.push_back(static_cast<std::int64_t>(i) + 1);
  return words;
}

TEST(PoolFromFile, FullFileFillsEverySlotInFileOrder) {
  const SeedFile file(counting_words(128));  // exactly 1024 bytes
  XorShiftRNGPool pool;
  pool.init(file.path, 32);
  EXPECT_EQ(pool.get_generator(0)->get_state(), (XorShiftState{1, 2, 3, 4}));
  EXPECT_EQ(pool.get_generator(31)->get_state(), (XorShiftState{125, 126, 127, 128}));
}

TEST(PoolFromFile, ShortFileFailsOnTheLastWordNamingTheFile) {
  const SeedFile file(counting_words(127));  // 1016 bytes
  XorShiftRNGPool pool;
  try {
    pool.init(file.path, 32);
    FAIL() << "no error for a short seed file";
  } catch (const Exception& e) {
    EXPECT_EQ(e.get_message(), "unable to read from random number file " + file.path +
                                   ": it ends after 1016 bytes, but 32 generators need at least 1024 (four "
                                   "non-zero 8-byte words each)");
  }
  ASSERT_EQ(pool.size(), 32u);
  EXPECT_NE(pool.get_generator(30), nullptr);
  EXPECT_EQ(pool.get_generator(31), nullptr);
}

TEST(PoolFromFile, ZeroWordsAreSkippedAndNegativeWordsMadePositive) {
  const SeedFile file({0, -5, 0, 0, 6, INT64_MIN + 1, 8});
  XorShiftRNGPool pool;
  pool.init(file.path, 1);
  EXPECT_EQ(pool.get_generator(0)->get_state(), (XorShiftState{5, 6, INT64_MAX, 8}));
}

TEST(PoolFromFile, MissingFileFailsWithTheGivenName) {
  XorShiftRNGPool pool;
  try {
    pool.init("no/such/seed/file", 32);
    FAIL() << "no error for a missing seed file";
  } catch (const Exception& e) {
    EXPECT_EQ(e.get_message(), "unable to read from random number file no/such/seed/file");
  }
}

TEST(PoolFromFile, EndlessZerosFailInsteadOfHanging) {
  XorShiftRNGPool pool;
  EXPECT_THROW(pool.init("/dev/zero", 1), Exception);
}

TEST(PoolFromFile, DefaultDeviceGivesDistinctGenerators) {
  XorShiftRNGPool pool;
  pool.init("", 32);
  const auto states = states_of(pool);
  EXPECT_NE(states[0], states[1]);
  for (const auto& s : states) EXPECT_TRUE(s.x > 0 && s.y > 0 && s.z > 0 && s.w > 0);
}

TEST(ProcessPool, RebuildKeepsThePoolObjectAndReseeds) {
  XorShiftRNGPool* pool = get_pool("", 32, 3, true);
  const auto seeded = states_of(*pool);
  EXPECT_EQ(get_pool("ignored", 5, 99, false), pool);  // no reinit: untouched
  EXPECT_EQ(states_of(*pool), seeded);
  EXPECT_EQ(get_pool("", 32, 3, true), pool);
  EXPECT_EQ(states_of(*pool), seeded);
}

TEST(ProcessPool, InitPoolCoversTheTeamSize) {
  const int saved = omp_get_max_threads();
  omp_set_num_threads(40);
  init_pool("", 11);
  omp_set_num_threads(saved);
  const XorShiftRNGPool& pool = *get_pool("", 0, 0, false);
  ASSERT_EQ(pool.size(), 40u);
  std::set<XorShiftRNG*> distinct;
  for (std::size_t i = 0; i < pool.size(); ++i) distinct.insert(pool.get_generator(i));
  EXPECT_EQ(distinct.size(), 40u);

  // The first 32 slots are those of a 32-slot pool of the same seed.
  XorShiftRNGPool reference;
  reference.init_using_rand(11, 32);
  auto states = states_of(pool);
  states.resize(32);
  EXPECT_EQ(states, states_of(reference));
}

TEST(DerivedGenerators, EachStreamIsReproducibleAndItsOwn) {
  auto draws = [](std::uint64_t key, std::uint64_t a, std::uint64_t b) {
    XorShiftRNG rng = derived_rng(key, a, b);
    std::vector<std::int64_t> values;
    for (int i = 0; i < 4; ++i) values.push_back(rng.next_int());
    return values;
  };
  EXPECT_EQ(draws(7, 3, 2), draws(7, 3, 2));
  // Key, tree and feature each select another stream, and the two stream
  // numbers are not interchangeable.
  const auto reference = draws(7, 3, 2);
  for (const auto& other : {draws(8, 3, 2), draws(7, 4, 2), draws(7, 3, 1), draws(7, 2, 3)}) {
    EXPECT_NE(other, reference);
  }
  // Zero everywhere still gives a generator that moves.
  XorShiftRNG zero = derived_rng(0, 0, 0);
  EXPECT_NE(zero.get_state(), XorShiftState{});
  EXPECT_NE(zero.next_int(), 0);
}

TEST(DerivedGenerators, StateKeyFollowsTheSeeding) {
  XorShiftRNGPool a, b, c;
  a.init_using_rand(11, 2);
  b.init_using_rand(11, 2);
  c.init_using_rand(12, 2);
  EXPECT_EQ(state_key(a.get_generator(0)->get_state()), state_key(b.get_generator(0)->get_state()));
  EXPECT_NE(state_key(a.get_generator(0)->get_state()), state_key(c.get_generator(0)->get_state()));
  EXPECT_NE(state_key(XorShiftState{1, 2, 3, 4}), state_key(XorShiftState{4, 3, 2, 1}));
}

}  // namespace
}  // namespace Sylvor
