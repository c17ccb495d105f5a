#include "Sylvor/defs/output_file.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>

#include "Sylvor/defs/exception.hpp"

namespace Sylvor {

namespace {

std::atomic<unsigned long> temporary_count{0};

// The path a symbolic link leads to, or the path itself.
std::string resolved(const std::string& path) {
  struct stat link_info;
  if (::lstat(path.c_str(), &link_info) != 0 || !S_ISLNK(link_info.st_mode)) return path;
  char buffer[PATH_MAX];
  return ::realpath(path.c_str(), buffer) != nullptr ? std::string(buffer) : path;
}

// "DIR/.BASE.tmp.PID.N" beside `path`.
std::string temporary_name(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  const std::string folder = slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
  const std::string base = slash == std::string::npos ? path : path.substr(slash + 1);
  return folder + "." + base + ".tmp." + std::to_string(::getpid()) + "." +
         std::to_string(temporary_count.fetch_add(1));
}

}  // namespace

OutputFile::OutputFile(const std::string& target, const std::string& what)
    : name(target), path(resolved(target)), what(what) {
  struct stat info;
  direct = ::stat(path.c_str(), &info) == 0 && !S_ISREG(info.st_mode);
  if (direct) {
    written = path;
  } else {
    // Created exclusively, so that no other file is ever truncated, with
    // the permissions a new file gets (0666 less the umask).
    int fd = -1;
    for (int attempt = 0; attempt < 100 && fd < 0; ++attempt) {
      written = temporary_name(path);
      fd = ::open(written.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
      if (fd < 0 && errno != EEXIST) break;
    }
    if (fd < 0) {
      written.clear();
      fail();
    }
    ::close(fd);
  }
  out.open(written, std::ios::out | std::ios::trunc);
  if (!out) fail();
}

OutputFile::~OutputFile() {
  if (done || direct || written.empty()) return;
  out.close();
  std::remove(written.c_str());
}

void OutputFile::flush() {
  out.flush();
  if (out.fail()) fail();
}

void OutputFile::commit() {
  out.flush();
  out.close();
  if (out.fail()) fail();
  if (!direct && std::rename(written.c_str(), path.c_str()) != 0) fail();
  done = true;
}

void OutputFile::fail() {
  if (!direct && !written.empty()) {
    out.close();
    std::remove(written.c_str());
  }
  done = true;
  throw Exception("could not write " + what + " file: `" + name + "'");
}

}  // namespace Sylvor
