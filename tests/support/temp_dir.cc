#include "support/temp_dir.h"

#include <stdlib.h>

#include <filesystem>
#include <stdexcept>

namespace quenlordb::testing {

TempDir::TempDir() {
  std::string templ = (std::filesystem::temp_directory_path() / "quenlordb-test-XXXXXX").string();
  if (::mkdtemp(templ.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  path_ = templ;
}

TempDir::~TempDir() {
  std::error_code ec;
  std::filesystem::remove_all(path_, ec);
}

}  // namespace quenlordb::testing
