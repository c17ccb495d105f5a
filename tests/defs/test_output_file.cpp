#include "Sylvor/defs/output_file.hpp"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>

#include "Sylvor/defs/exception.hpp"

namespace Sylvor {
namespace {

std::string slurp(const std::string& path) {
  std::ifstream in(path);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

class OutputFileTest : public ::testing::Test {
protected:
  void SetUp() override {
    folder = ::testing::TempDir() + "sylvor_output_" + std::to_string(::getpid());
    ::mkdir(folder.c_str(), 0755);
    path = folder + "/result.txt";
    std::ofstream(path) << "old\n";
  }
  void TearDown() override {
    std::remove(path.c_str());
    ::rmdir(folder.c_str());
  }
  // The names in the folder.
  int entries() const {
    std::unique_ptr<std::FILE, int (*)(std::FILE*)> listing(popen(("ls -A " + folder).c_str(), "r"), pclose);
    int count = 0;
    char line[512];
    while (std::fgets(line, sizeof line, listing.get()) != nullptr) ++count;
    return count;
  }
  std::string folder, path;
};

TEST_F(OutputFileTest, TheTargetChangesOnlyAtTheCommit) {
  OutputFile file(path, "result");
  file.stream() << "new\n";
  EXPECT_EQ(slurp(path), "old\n");
  EXPECT_EQ(entries(), 2);  // the target and the temporary file
  file.commit();
  EXPECT_EQ(slurp(path), "new\n");
  EXPECT_EQ(entries(), 1);
}

TEST_F(OutputFileTest, WithoutACommitTheTargetStaysAndTheTemporaryFileGoes) {
  {
    OutputFile file(path, "result");
    file.stream() << "half of it";
  }
  EXPECT_EQ(slurp(path), "old\n");
  EXPECT_EQ(entries(), 1);
}

TEST_F(OutputFileTest, ANewFileGetsTheUsualPermissions) {
  const std::string fresh = folder + "/fresh.txt";
  OutputFile file(fresh, "result");
  file.commit();
  struct stat info;
  ASSERT_EQ(::stat(fresh.c_str(), &info), 0);
  const mode_t mask = ::umask(0);
  ::umask(mask);
  EXPECT_EQ(info.st_mode & 0777, 0666 & ~mask);
  std::remove(fresh.c_str());
}

TEST_F(OutputFileTest, ASymbolicLinkIsFollowed) {
  const std::string link = folder + "/link.txt";
  ASSERT_EQ(::symlink(path.c_str(), link.c_str()), 0);
  OutputFile file(link, "result");
  file.stream() << "through the link\n";
  file.commit();
  EXPECT_EQ(slurp(path), "through the link\n");
  struct stat info;
  ASSERT_EQ(::lstat(link.c_str(), &info), 0);
  EXPECT_TRUE(S_ISLNK(info.st_mode));
  std::remove(link.c_str());
}

TEST_F(OutputFileTest, FailuresNameTheFileAndLeaveNothingBehind) {
  try {
    OutputFile file(folder + "/missing/result.txt", "result");
    FAIL();
  } catch (const Exception& e) {
    EXPECT_EQ(e.get_message(), "could not write result file: `" + folder + "/missing/result.txt'");
  }
  // A device is written directly (never replaced): a full one fails at the commit.
  OutputFile full("/dev/full", "result");
  full.stream() << std::string(100000, 'x');
  EXPECT_THROW(full.commit(), Exception);
  struct stat info;
  ASSERT_EQ(::stat("/dev/full", &info), 0);
  EXPECT_TRUE(S_ISCHR(info.st_mode));
  EXPECT_EQ(entries(), 1);
}

}  // namespace
}  // namespace Sylvor
