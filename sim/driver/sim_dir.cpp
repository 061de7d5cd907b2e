#include "sim/driver/sim_dir.h"

#include <stdlib.h>

#include <filesystem>
#include <system_error>

namespace vsim {

SimDirectory::SimDirectory() {
  for (const char* base : {"/dev/shm", "/tmp"}) {
    std::string tmpl = std::string(base) + "/vellora-sim-XXXXXX";
    if (::mkdtemp(tmpl.data()) != nullptr) {
      path_ = tmpl;
      return;
    }
  }
}

SimDirectory::~SimDirectory() {
  std::error_code ec;
  if (!path_.empty()) std::filesystem::remove_all(path_, ec);
}

}  // namespace vsim
