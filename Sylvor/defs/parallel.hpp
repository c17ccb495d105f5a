// Helpers for the OpenMP regions of learning and prediction: the contiguous
// block of work of each team member, and the capture of the first exception
// raised inside a team so that it can be rethrown on the calling thread
// (an exception must never leave an OpenMP region).
//
// TeamErrors is shared by the members of one team; capture() may be called
// from any of them at once.
#ifndef SYLVOR_DEFS_PARALLEL_HPP
#define SYLVOR_DEFS_PARALLEL_HPP

#include <algorithm>
#include <atomic>
#include <exception>
#include <utility>

namespace Sylvor {

// The items [begin, end) of member t of a team of `team` members for `total`
// items: contiguous blocks of ceil(total / team), the last ones possibly
// short or empty.
inline std::pair<long, long> block_range(long total, long team, long t) {
  const long block = total / team + (total % team != 0 ? 1 : 0);
  const long begin = std::min(t * block, total);
  return {begin, std::min(begin + block, total)};
}

class TeamErrors {
public:
  // Records the exception being handled, unless one was recorded already.
  void capture() {
#pragma omp critical(sylvor_team_errors)
    if (!first) first = std::current_exception();
    failed.store(true, std::memory_order_relaxed);
  }
  // True once a member has failed: the others may stop early.
  bool any() const { return failed.load(std::memory_order_relaxed); }
  // After the region: rethrows the first exception, if any.
  void rethrow() const {
    if (first) std::rethrow_exception(first);
  }

private:
  std::exception_ptr first;
  std::atomic<bool> failed{false};
};

}  // namespace Sylvor

#endif
