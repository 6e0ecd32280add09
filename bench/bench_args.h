// Command-line arguments shared by the benchmarks that take a scratch directory and a row count:
// `[--dir PATH] [N]`. The directory defaults to one named after the benchmark under the system's
// temporary directory; the caller clears and makes it.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <string_view>

struct DirAndCount {
  std::string dir;
  std::uint64_t n;
};

inline DirAndCount parse_dir_and_count(int argc, char** argv, std::string_view name, std::uint64_t default_n) {
  DirAndCount out{(std::filesystem::temp_directory_path() / std::string(name)).string(), default_n};
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i];
    if (arg == "--dir" && i + 1 < argc) {
      out.dir = argv[++i];
    } else {
      out.n = std::strtoull(argv[i], nullptr, 10);
    }
  }
  return out;
}
