#include "cli/interrupt.hpp"

#include <csignal>

namespace Sylvor {

namespace {

std::atomic<bool> requested{false};
std::atomic<int> received{0};

static_assert(std::atomic<bool>::is_always_lock_free && std::atomic<int>::is_always_lock_free,
              "the signal handler may only touch lock-free atomics");

extern "C" void on_stop_signal(int signal_number) {
  received.store(signal_number, std::memory_order_relaxed);
  requested.store(true, std::memory_order_relaxed);
}

}  // namespace

void catch_stop_signals() {
  struct sigaction action {};
  action.sa_handler = on_stop_signal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
}

const std::atomic<bool>& stop_requested() { return requested; }

int stop_signal() { return received.load(std::memory_order_relaxed); }

}  // namespace Sylvor
