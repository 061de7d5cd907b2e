#pragma once
// A fresh directory under /tmp for one test, removed with everything in it.

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <system_error>

namespace base_test {

class TempDir {
 public:
  TempDir() {
    char tmpl[] = "/tmp/kalmo-test-XXXXXX";
    const char* made = ::mkdtemp(tmpl);
    if (made != nullptr) dir_ = made;
  }
  ~TempDir() {
    std::error_code ec;
    if (!dir_.empty()) std::filesystem::remove_all(dir_, ec);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  bool ok() const { return !dir_.empty(); }
  // The directory, without a final "/".
  const std::string& dir() const { return dir_; }
  std::string file(const std::string& name) const { return dir_ + "/" + name; }

  // Writes bytes into name and returns its path.
  std::string write(const std::string& name, const std::string& bytes) const {
    const std::string p = file(name);
    std::ofstream out(p, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    out.close();
    EXPECT_TRUE(out.good()) << p;
    return p;
  }

  std::string mkdir(const std::string& name) const {
    const std::string p = file(name);
    std::error_code ec;
    std::filesystem::create_directories(p, ec);
    EXPECT_FALSE(ec) << p;
    return p;
  }

  static std::string read(const std::string& p) {
    std::ifstream in(p, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }

 private:
  std::string dir_;
};

}  // namespace base_test
