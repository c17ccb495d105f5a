// Long work that Ctrl-C can stop: the work runs on a thread of its own
// while the calling thread, which holds the interpreter lock, waits in
// short slices without it and checks for signals between them; and the
// progress line's writes to sys.stderr from its display thread.
#ifndef PYSYLVOR_INTERRUPTION_HPP
#define PYSYLVOR_INTERRUPTION_HPP

#include <pybind11/pybind11.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <exception>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "Sylvor/defs/progress.hpp"

namespace PySylvor {

namespace py = pybind11;
using namespace Sylvor;

// Runs work(control) on a thread of its own while the calling thread, which
// holds the interpreter lock, waits for it in short slices without the lock
// and checks for signals between them. A pending signal (Ctrl-C) asks the
// work to stop, waits for it and raises the signal's exception
// (KeyboardInterrupt); the work's own exception is rethrown here.
template <class Result, class Work>
Result run_interruptibly(Work work, ProgressCounter* progress) {
  std::atomic<bool> stop{false};
  WorkControl control;
  control.progress = progress;
  control.stop = &stop;
  std::optional<Result> result;
  std::exception_ptr failure;
  std::mutex mutex;
  std::condition_variable finished;
  bool done = false;
  std::thread worker([&] {
    try {
      result.emplace(work(control));
    } catch (...) {
      failure = std::current_exception();
    }
    const std::lock_guard<std::mutex> lock(mutex);
    done = true;
    finished.notify_all();
  });
  for (bool over = false; !over;) {
    {
      py::gil_scoped_release unlocked;
      std::unique_lock<std::mutex> lock(mutex);
      over = finished.wait_for(lock, std::chrono::milliseconds(50), [&] { return done; });
    }
    if (!over && PyErr_CheckSignals() != 0) {
      stop = true;
      {
        py::gil_scoped_release unlocked;
        worker.join();
      }
      throw py::error_already_set();
    }
  }
  worker.join();
  if (failure) std::rethrow_exception(failure);
  return std::move(*result);
}

// Writes progress text to sys.stderr, from the display thread: the
// interpreter lock is taken for the write (the learning thread has released
// it). A stream that fails ends the display (the learning goes on).
void write_to_python_stderr(const std::string& text);

}  // namespace PySylvor

#endif
