#include "driver/io.h"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace verdane::driver {
namespace {

namespace fs = std::filesystem;

class WriteFileTest : public testing::Test {
 protected:
  void SetUp() override {
    std::string tmpl = (fs::temp_directory_path() / "verdane-io-XXXXXX").string();
    ASSERT_NE(::mkdtemp(tmpl.data()), nullptr);
    dir_ = tmpl;
  }
  void TearDown() override {
    ::chmod(dir_.c_str(), 0755);
    fs::remove_all(dir_);
  }

  static std::string read(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    std::ostringstream ss;
    ss << in.rdbuf();
    return ss.str();
  }
  std::size_t entries() const {
    return static_cast<std::size_t>(
        std::distance(fs::directory_iterator(dir_), fs::directory_iterator()));
  }

  fs::path dir_;
};

TEST_F(WriteFileTest, CreatesAndReplacesRegularFiles) {
  const fs::path target = dir_ / "out.bin";
  ASSERT_TRUE(write_file(target, "first").ok());
  EXPECT_EQ(read(target), "first");
  ASSERT_TRUE(write_file(target, "second, longer").ok());
  EXPECT_EQ(read(target), "second, longer");
  ASSERT_TRUE(write_file(target, "").ok());
  EXPECT_EQ(read(target), "");
  EXPECT_EQ(entries(), 1u);  // no temporary file left behind
}

TEST_F(WriteFileTest, KeepsModeOfReplacedFile) {
  const fs::path target = dir_ / "out.bin";
  ASSERT_TRUE(write_file(target, "a").ok());
  ASSERT_EQ(::chmod(target.c_str(), 0640), 0);
  ASSERT_TRUE(write_file(target, "b").ok());
  struct stat st {};
  ASSERT_EQ(::stat(target.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0640u);
}

TEST_F(WriteFileTest, WritesThroughSymlinkAndKeepsIt) {
  const fs::path real = dir_ / "real.bin";
  const fs::path link = dir_ / "link.bin";
  ASSERT_TRUE(write_file(real, "old").ok());
  fs::create_symlink(real, link);
  ASSERT_TRUE(write_file(link, "new").ok());
  EXPECT_TRUE(fs::is_symlink(link));
  EXPECT_EQ(read(real), "new");
}

TEST_F(WriteFileTest, MissingDirectoryReportsOsError) {
  const auto result = write_file(dir_ / "missing" / "x.bin", "data");
  ASSERT_FALSE(result.ok());
  EXPECT_EQ(result.error(), "No such file or directory (os error 2)");
}

TEST_F(WriteFileTest, FailedWriteLeavesOldFileIntact) {
  const fs::path target = dir_ / "out.bin";
  ASSERT_TRUE(write_file(target, "previous good bytecode").ok());
  // A file size limit makes the write fail part-way, as a full disk would.
  const pid_t pid = ::fork();
  if (pid == 0) {
    std::signal(SIGXFSZ, SIG_IGN);
    struct rlimit limit {
      8, 8
    };
    ::setrlimit(RLIMIT_FSIZE, &limit);
    const auto result = write_file(target, std::string(4096, 'x'));
    _exit(!result.ok() && result.error() == "File too large (os error 27)" ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
  EXPECT_EQ(read(target), "previous good bytecode");
  EXPECT_EQ(entries(), 1u);
}

TEST_F(WriteFileTest, NonRegularFilesAreWrittenInPlace) {
  // /dev/full accepts opening and fails every write: the in-place path must
  // report that, not replace the device with a regular file.
  const auto result = write_file("/dev/full", "data");
  ASSERT_FALSE(result.ok());
  EXPECT_EQ(result.error(), "No space left on device (os error 28)");
  struct stat st {};
  ASSERT_EQ(::stat("/dev/full", &st), 0);
  EXPECT_TRUE(S_ISCHR(st.st_mode));
  ASSERT_TRUE(write_file("/dev/null", "data").ok());
}

TEST_F(WriteFileTest, FifoIsWrittenInPlace) {
  const fs::path fifo = dir_ / "pipe";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  const pid_t pid = ::fork();
  if (pid == 0) {
    std::ifstream in(fifo, std::ios::binary);
    std::ostringstream ss;
    ss << in.rdbuf();
    _exit(ss.str() == "through the pipe" ? 0 : 1);
  }
  ASSERT_TRUE(write_file(fifo, "through the pipe").ok());
  int status = 0;
  ASSERT_EQ(::waitpid(pid, &status, 0), pid);
  EXPECT_EQ(WEXITSTATUS(status), 0);
  EXPECT_TRUE(fs::is_fifo(fifo));
}

TEST(ReadFile, TextMustBeUtf8) {
  std::string tmpl = (fs::temp_directory_path() / "verdane-read-XXXXXX").string();
  const int fd = ::mkstemp(tmpl.data());
  ASSERT_GE(fd, 0);
  ASSERT_EQ(::write(fd, "a\xff", 2), 2);
  ::close(fd);
  EXPECT_TRUE(read_file_bytes(tmpl).ok());
  const auto text = read_file_text(tmpl);
  ASSERT_FALSE(text.ok());
  EXPECT_EQ(text.error(), "stream did not contain valid UTF-8");
  fs::remove(tmpl);
}

// Text of `n` bytes that shows where a misplaced or lost block would be.
std::string numbered_text(std::size_t n) {
  std::string text;
  text.reserve(n + 16);
  for (std::size_t line = 0; text.size() < n; ++line) text += std::to_string(line) + "\n";
  text.resize(n);
  return text;
}

// Sizes around the first read block (64 KiB) and the huge-page blocks (2 MiB).
class ReadSourceTest : public testing::TestWithParam<std::size_t> {
 protected:
  void SetUp() override {
    std::string tmpl = (fs::temp_directory_path() / "verdane-src-XXXXXX").string();
    ASSERT_NE(::mkdtemp(tmpl.data()), nullptr);
    dir_ = tmpl;
  }
  void TearDown() override { fs::remove_all(dir_); }

  fs::path dir_;
};

TEST_P(ReadSourceTest, RegularFileReadsWhole) {
  const std::string text = numbered_text(GetParam());
  const fs::path path = dir_ / "t.policy";
  std::ofstream(path, std::ios::binary) << text;
  const auto read = read_source_text(path);
  ASSERT_TRUE(read.ok()) << read.error();
  EXPECT_TRUE(read->view() == text);
}

// A pipe has no size up front, so the text grows through several blocks.
TEST_P(ReadSourceTest, PipeReadsWhole) {
  const std::string text = numbered_text(GetParam());
  const fs::path fifo = dir_ / "fifo";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  const pid_t pid = ::fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    std::ofstream out(fifo, std::ios::binary);
    out << text;
    out.close();  // _exit skips the destructor that would flush
    _exit(out.good() ? 0 : 1);
  }
  const auto read = read_source_text(fifo);
  int status = 0;
  ASSERT_EQ(::waitpid(pid, &status, 0), pid);
  EXPECT_EQ(WEXITSTATUS(status), 0);
  ASSERT_TRUE(read.ok()) << read.error();
  EXPECT_TRUE(read->view() == text);
}

INSTANTIATE_TEST_SUITE_P(Sizes, ReadSourceTest,
                         testing::Values(0, 1, (64 << 10) - 1, 64 << 10, (64 << 10) + 1,
                                         (2 << 20) - 1, 2 << 20, (5 << 20) + 3));

TEST(ReadSource, FailsLikeReadFileText) {
  std::string tmpl = (fs::temp_directory_path() / "verdane-src-XXXXXX").string();
  ASSERT_NE(::mkdtemp(tmpl.data()), nullptr);
  const fs::path dir = tmpl;
  const fs::path bad = dir / "bad.policy";
  std::ofstream(bad, std::ios::binary) << numbered_text(3 << 20) << "\xff";
  for (const fs::path& path : {dir / "missing", dir, bad}) {
    const auto expected = read_file_text(path);
    ASSERT_FALSE(expected.ok()) << path;
    const auto read = read_source_text(path);
    ASSERT_FALSE(read.ok()) << path;
    EXPECT_EQ(read.error(), expected.error());
  }
  fs::remove_all(dir);
}

}  // namespace
}  // namespace verdane::driver
