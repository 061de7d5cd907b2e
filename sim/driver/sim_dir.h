#pragma once
// A private directory for the stand-in driver's cards, removed with its
// contents at the end, so runs side by side never share a card.

#include <string>

namespace vsim {

class SimDirectory {
 public:
  SimDirectory();
  ~SimDirectory();
  SimDirectory(const SimDirectory&) = delete;
  SimDirectory& operator=(const SimDirectory&) = delete;

  bool ok() const { return !path_.empty(); }
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

}  // namespace vsim
