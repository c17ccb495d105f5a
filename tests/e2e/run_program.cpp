#include "e2e/run_program.hpp"

#include <errno.h>
#include <fcntl.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

#include <gtest/gtest.h>

extern char** environ;

namespace SylvorTest {

std::string slurp(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

std::string make_temp_directory() {
  std::string pattern = ::testing::TempDir() + "sylvor_e2e_XXXXXX";
  if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  return pattern;
}

namespace {

// Spawns the program with standard input closed, standard output to
// `out_path` and standard error to `err_path`; returns its process number.
pid_t spawn_sylvor(const std::vector<std::string>& args, const std::string& directory, const std::string& out_path,
                   const std::string& err_path) {
  std::vector<std::string> words{SYLVOR_PROGRAM};
  words.insert(words.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (auto& w : words) argv.push_back(w.data());
  argv.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  posix_spawn_file_actions_addopen(&actions, 2, err_path.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0644);
  if (!directory.empty()) posix_spawn_file_actions_addchdir_np(&actions, directory.c_str());

  pid_t pid = 0;
  const int spawned = posix_spawn(&pid, SYLVOR_PROGRAM, &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (spawned != 0) throw std::runtime_error("could not start " SYLVOR_PROGRAM);
  return pid;
}

int exit_status(pid_t pid) {
  int wait_status = 0;
  waitpid(pid, &wait_status, 0);
  return WIFEXITED(wait_status) ? WEXITSTATUS(wait_status) : -1;
}

}  // namespace

namespace {

// The files of a child's standard output and error, removed afterwards.
struct Transcript {
  std::string scratch = make_temp_directory();
  std::string out_path = scratch + "/stdout";
  std::string err_path = scratch + "/stderr";

  // Waits for the child and collects its status and streams.
  ProgramResult collect(pid_t pid) const {
    ProgramResult result;
    result.status = exit_status(pid);
    result.out = slurp(out_path);
    result.err = slurp(err_path);
    return result;
  }
  ~Transcript() {
    unlink(out_path.c_str());
    unlink(err_path.c_str());
    rmdir(scratch.c_str());
  }
};

}  // namespace

ProgramResult run_sylvor(const std::vector<std::string>& args, const std::string& directory) {
  const Transcript transcript;
  return transcript.collect(spawn_sylvor(args, directory, transcript.out_path, transcript.err_path));
}

ProgramResult run_sylvor_signalled(const std::vector<std::string>& args, int signal_number, const std::string& marker,
                                   double& seconds) {
  const Transcript transcript;
  const pid_t pid = spawn_sylvor(args, "", transcript.out_path, transcript.err_path);
  const auto start = std::chrono::steady_clock::now();
  while (slurp(transcript.out_path).find(marker) == std::string::npos) {
    if (std::chrono::steady_clock::now() - start > std::chrono::seconds(60)) {
      kill(pid, SIGKILL);
      exit_status(pid);
      throw std::runtime_error("the program never printed: " + marker);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  const auto signalled = std::chrono::steady_clock::now();
  kill(pid, signal_number);
  const ProgramResult result = transcript.collect(pid);
  seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - signalled).count();
  return result;
}

ProgramResult run_sylvor_on_terminal(const std::vector<std::string>& args) {
  const int master = posix_openpt(O_RDWR | O_NOCTTY);
  if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) {
    throw std::runtime_error("could not open a pseudo-terminal");
  }
  const std::string terminal = ptsname(master);
  const std::string scratch = make_temp_directory();
  const std::string out_path = scratch + "/stdout";
  const pid_t pid = spawn_sylvor(args, "", out_path, terminal);
  // Everything the terminal receives, until the program's side is closed.
  ProgramResult result;
  char buffer[4096];
  for (;;) {
    const ssize_t n = read(master, buffer, sizeof buffer);
    if (n > 0) {
      result.err.append(buffer, static_cast<std::size_t>(n));
    } else if (n < 0 && errno == EINTR) {
      continue;
    } else {
      break;  // EIO once no process holds the terminal open
    }
  }
  close(master);
  result.status = exit_status(pid);
  result.out = slurp(out_path);
  unlink(out_path.c_str());
  rmdir(scratch.c_str());
  return result;
}

std::vector<std::string> lines_of(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

}  // namespace SylvorTest
