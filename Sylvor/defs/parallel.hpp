// Helpers for the OpenMP regions of learning and prediction: the contiguous
// block of work of each team member, the capture of the first exception
// raised inside a team so that it can be rethrown on the calling thread
// (an exception must never leave an OpenMP region), and the chunked loop of
// a team over a range of items.
//
// TeamErrors is shared by the members of one team; capture() may be called
// from any of them at once. for_each_chunk gives every member scratch of its
// own, so its body shares nothing but what the caller captures.
#ifndef SYLVOR_DEFS_PARALLEL_HPP
#define SYLVOR_DEFS_PARALLEL_HPP

#include <omp.h>

#include <algorithm>
#include <atomic>
#include <cstddef>
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

// The size of a team asked for `requested` threads: that many, or the
// OpenMP default (omp_get_max_threads) when 0 or less. Every region of the
// library takes its size from here, never from a process-wide setting that
// it would change.
inline int team_size(int requested) { return requested > 0 ? requested : omp_get_max_threads(); }

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

// Calls body(scratch, first, count) for consecutive chunks of at most
// `chunk` items of [0, total): the items are split in contiguous blocks over
// a team of team_size(threads) members (block_range), and each member walks
// its block chunk by chunk with the scratch that make_scratch() gave it. A
// failing member stops the others at their next chunk; its exception is
// rethrown on the caller. Work of one chunk or less runs on the calling
// thread alone (a team would cost more than it saves).
template <class MakeScratch, class Body>
void for_each_chunk(std::size_t total, std::size_t chunk, int threads, MakeScratch make_scratch, Body body) {
  if (total == 0) return;
  if (total <= chunk) {
    auto scratch = make_scratch();
    body(scratch, std::size_t{0}, total);
    return;
  }
  TeamErrors errors;
#pragma omp parallel num_threads(team_size(threads))
  {
    try {
      auto scratch = make_scratch();
      const auto [begin, end] = block_range(static_cast<long>(total), omp_get_num_threads(), omp_get_thread_num());
      for (long first = begin; first < end && !errors.any(); first += static_cast<long>(chunk)) {
        const long count = std::min(end - first, static_cast<long>(chunk));
        body(scratch, static_cast<std::size_t>(first), static_cast<std::size_t>(count));
      }
    } catch (...) {
      errors.capture();
    }
  }
  errors.rethrow();
}

}  // namespace Sylvor

#endif
