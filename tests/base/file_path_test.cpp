#include "base/file_path.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <system_error>

#include "tests/base/temp_dir.h"

namespace {

using base_test::TempDir;
using KALMO::FilePath;

TEST(FilePath, TextEdits) {
  struct Case {
    const char* in;
    const char* directory;  // setDirectory
    bool removed;           // removeFilename
    const char* afterRemove;
    bool popped;  // popupDirectory
    const char* afterPop;
  } const cases[] = {
      {"", "./", false, "", false, ""},
      {"abc", "abc/", false, "abc", false, "abc"},
      {"abc/", "abc/", false, "abc/", false, "abc/"},
      {"/", "/", false, "/", false, "/"},
      {"/abc", "/abc/", true, "/", false, "/abc"},
      {"/a/b/", "/a/b/", false, "/a/b/", true, "/a/"},
      {"/a/", "/a/", false, "/a/", true, "/"},
      {"./", "./", false, "./", false, "./"},
      {"a/b", "a/b/", true, "a/", false, "a/b"},
      {"x/y/z/", "x/y/z/", false, "x/y/z/", true, "x/y/"},
  };
  for (const Case& c : cases) {
    FilePath p;
    p.setDirectory(c.in);
    EXPECT_EQ(p.path, c.directory) << c.in;
    p.setFilePath(c.in);
    EXPECT_EQ(p.path, c.in);
    EXPECT_EQ(p.removeFilename(), c.removed) << c.in;
    EXPECT_EQ(p.path, c.afterRemove) << c.in;
    p.setFilePath(c.in);
    EXPECT_EQ(p.popupDirectory(), c.popped) << c.in;
    EXPECT_EQ(p.path, c.afterPop) << c.in;
    p.setFilePath(c.in);
    EXPECT_EQ(p.isDirectory(), std::string(c.in).empty() || std::string(c.in).back() == '/');
  }
}

TEST(FilePath, Separate) {
  const std::string s = "/a/b/c";
  EXPECT_EQ(FilePath::separate(s.begin(), s.end()), "/a/b/");
  EXPECT_EQ(FilePath::separate(s.begin(), s.begin() + 4), "/a/");
  EXPECT_EQ(FilePath::separate(s.begin() + 1, s.begin() + 3), "a/");
  EXPECT_EQ(FilePath::separate(s.begin() + 1, s.begin() + 2), "");
  EXPECT_EQ(FilePath::separate(s.begin(), s.begin()), "");
}

class FilePathFs : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(t.ok());
    t.mkdir("a/b/c");
    t.mkdir("a/rel");
    t.write("a/setting.inf", "x");
    t.write("a/b/file", "x");
    t.mkdir("a/conf");
    t.write("a/b/c/conf", "x");  // a file named like the directory above
  }
  TempDir t;
};

TEST_F(FilePathFs, AutoPathSearchesUpwards) {
  struct Case {
    std::string start;
    std::string name;
    bool found;
    std::string result;
  } const cases[] = {
      {t.file("a/b/c/"), "setting.inf", true, t.file("a/setting.inf")},
      {t.file("a/"), "setting.inf", true, t.file("a/setting.inf")},
      {t.file("a/b/c/"), "file", true, t.file("a/b/file")},
      {t.file("a/b/c/"), "conf", true, t.file("a/b/c/conf")},
      {t.file("a/b/c/"), "conf/", true, t.file("a/conf/")},  // directories only
      {t.file("a/b/c/"), "rel/", true, t.file("a/rel/")},
      {t.file("a/b/c/"), "rel", false, t.file("a/b/c/")},  // files only
      {t.file("a/b/c/"), "missing.inf", false, t.file("a/b/c/")},
      {t.file("a/b/c/"), "", true, t.file("a/b/c/")},  // the directory itself
      {t.file("a/b/file"), "file", false, t.file("a/b/file")},  // no directory path
  };
  for (const Case& c : cases) {
    FilePath p;
    p.setFilePath(c.start);
    EXPECT_EQ(p.AutoPath(c.name), c.found) << c.start << " + " << c.name;
    EXPECT_EQ(p.path, c.result) << c.start << " + " << c.name;
  }
}

TEST_F(FilePathFs, AutoPathFromTheWorkingDirectory) {
  char old[4096];
  ASSERT_NE(::getcwd(old, sizeof old), nullptr);
  ASSERT_EQ(::chdir(t.file("a").c_str()), 0);
  FilePath p;
  const bool found = p.AutoPath("setting.inf");
  const std::string got = p.path;
  FilePath q;
  const bool missing = q.AutoPath("nothing-here");
  ASSERT_EQ(::chdir(old), 0);
  EXPECT_TRUE(found);
  EXPECT_EQ(got, "setting.inf");
  EXPECT_FALSE(missing);
  EXPECT_EQ(q.path, "");
}

TEST_F(FilePathFs, IsValid) {
  const std::string rel = t.file("a/rel");
  const std::string file = t.file("a/b/file");
  struct Case {
    std::string path;
    bool member;         // isValid()
    bool asDirectory;    // isValid(path, true)
    bool asFile;         // isValid(path, false)
    bool exists;         // isValid(path)
  } const cases[] = {
      {rel + "/", true, true, false, true},
      {rel, false, true, false, true},
      {file, true, false, true, true},
      {file + "/", false, false, false, true},
      {t.file("none"), false, false, false, false},
      {t.file("none/"), false, false, false, false},
      {"/", true, true, false, true},
      {"", false, false, false, false},
  };
  for (const Case& c : cases) {
    FilePath p;
    p.setFilePath(c.path);
    EXPECT_EQ(p.isValid(), c.member) << c.path;
    EXPECT_EQ(FilePath::isValid(c.path, true), c.asDirectory) << c.path;
    EXPECT_EQ(FilePath::isValid(c.path, false), c.asFile) << c.path;
    EXPECT_EQ(FilePath::isValid(c.path), c.exists) << c.path;
  }
}

// The link target as the kernel gives it, read with room to spare.
std::string realExePath() {
  static char buf[8192];
  const ssize_t n = ::readlink("/proc/self/exe", buf, sizeof buf);
  return n > 0 ? std::string(buf, static_cast<size_t>(n)) : std::string();
}

// Wherever the binary runs from: the whole path, or nothing when the path
// does not fit the reading buffer. Never a cut-off path.
TEST(FilePath, MySelfPathIsTheRunningExecutable) {
  const std::string truth = realExePath();
  ASSERT_FALSE(truth.empty());
  FilePath p;
  p.path = "stale";
  p.setMySelfPath();
  EXPECT_EQ(p.path, FilePath::getMyPath());
  if (truth.size() >= 2049) {
    EXPECT_EQ(p.path, "") << truth.size();
    return;
  }
  ASSERT_EQ(p.path, truth);
  EXPECT_TRUE(FilePath::isValid(p.path, false));
  ASSERT_TRUE(p.removeFilename());
  EXPECT_TRUE(p.isValid());
}

// Runs the test above in a link of this binary placed at a path of exactly
// `length` characters.
int runSelfPathTestFrom(const TempDir& t, size_t length) {
  std::string dir = t.dir();
  const std::string name = "/tests_base";
  while (dir.size() + name.size() < length) {
    const size_t room = length - name.size() - dir.size();
    // The last component fills the rest; never leave a lone "/" over.
    size_t part = room - 1;
    if (room > 201) part = room == 202 ? 100 : 200;
    dir += "/" + std::string(part, 'd');
  }
  std::error_code ec;
  std::filesystem::create_directories(dir, ec);
  if (ec) return -1;
  const std::string exe = dir + name;
  if (exe.size() != length) return -2;
  if (::link(realExePath().c_str(), exe.c_str()) != 0) {
    std::filesystem::copy_file(realExePath(), exe, ec);
    if (ec) return -3;
    std::filesystem::permissions(exe, std::filesystem::perms::owner_all, ec);
  }
  const pid_t pid = ::fork();
  if (pid == 0) {
    const int null = ::open("/dev/null", O_WRONLY);
    if (null >= 0) {
      ::dup2(null, 1);
      ::dup2(null, 2);
    }
    char filter[] = "--gtest_filter=FilePath.MySelfPathIsTheRunningExecutable";
    char* argv[] = {const_cast<char*>(exe.c_str()), filter, nullptr};
    ::execv(exe.c_str(), argv);
    ::_exit(127);
  }
  if (pid < 0) return -4;
  int status = 0;
  if (::waitpid(pid, &status, 0) != pid) return -5;
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

TEST(FilePath, MySelfPathOfLongExecutablePaths) {
  for (size_t length : {size_t{2048}, size_t{2049}, size_t{3000}}) {
    TempDir t;
    ASSERT_TRUE(t.ok());
    EXPECT_EQ(runSelfPathTestFrom(t, length), 0) << "executable path of " << length << " characters";
  }
}

}  // namespace
