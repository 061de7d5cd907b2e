#include "base/file_path.h"

#include <sys/stat.h>
#include <unistd.h>

namespace KALMO {

namespace {

// The text stat should see for a path that may end with "/": without that
// "/", or "/" itself when nothing would be left.
std::string withoutFinalSlash(const std::string& text) {
  if (text.size() > 1 && text.back() == '/') return text.substr(0, text.size() - 1);
  return text;
}

// 1 directory, 0 something else, -1 nothing there.
int kindOf(const std::string& text) {
  struct stat st {};
  if (::stat(text.c_str(), &st) != 0) return -1;
  return S_ISDIR(st.st_mode) ? 1 : 0;
}

std::string parentOf(const std::string& dir) {
  return FilePath::separate(dir.begin(), dir.end() - 1);
}

}  // namespace

void FilePath::setDirectory(const std::string& directory) {
  if (directory.empty()) {
    path = "./";
  } else if (directory.back() == '/') {
    path = directory;
  } else {
    path = directory + "/";
  }
}

std::string FilePath::separate(std::string::const_iterator begin,
                               std::string::const_iterator end) {
  for (auto it = end; it != begin;) {
    --it;
    if (*it == '/') return std::string(begin, it + 1);
  }
  return std::string();
}

bool FilePath::removeFilename() {
  if (path.empty() || path.back() == '/') return false;
  const size_t slash = path.rfind('/');
  if (slash == std::string::npos) return false;
  path.resize(slash + 1);
  return true;
}

bool FilePath::popupDirectory() {
  if (path.empty() || path.back() != '/') return false;
  std::string parent = parentOf(path);
  if (parent.empty()) return false;
  path = std::move(parent);
  return true;
}

bool FilePath::AutoPath(const std::string& name) {
  if (!path.empty() && path.back() != '/') return false;
  std::string dir = path;
  for (;;) {
    const std::string candidate = dir + name;
    const int wanted = !candidate.empty() && candidate.back() == '/' ? 1 : 0;
    if (!candidate.empty() && kindOf(withoutFinalSlash(candidate)) == wanted) {
      path = candidate;
      return true;
    }
    if (dir.empty() || dir.back() != '/') return false;
    dir = parentOf(dir);
    if (dir.empty()) return false;
  }
}

bool FilePath::isValid() const { return isValid(path, isDirectory()); }

bool FilePath::isValid(const std::string& text, bool directory) {
  if (text.empty()) return false;
  const int kind = kindOf(directory ? withoutFinalSlash(text) : text);
  return kind >= 0 && (kind == 1) == directory;
}

bool FilePath::isValid(const std::string& text) {
  if (text.empty()) return false;
  if (kindOf(text) >= 0) return true;
  return text.back() == '/' && kindOf(withoutFinalSlash(text)) >= 0;
}

void FilePath::setMySelfPath() { path = getMyPath(); }

std::string FilePath::getMyPath() {
  char buf[2049] = {};
  const ssize_t n = ::readlink("/proc/self/exe", buf, sizeof buf);
  // A full buffer may hold a cut-off path, whose directory would be wrong.
  if (n <= 0 || static_cast<size_t>(n) >= sizeof buf) return std::string();
  return std::string(buf, static_cast<size_t>(n));
}

}  // namespace KALMO
