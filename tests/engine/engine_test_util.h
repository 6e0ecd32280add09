// Helpers shared by the engine tests: small configs and result unwrapping with clear failures.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <string>

#include "config.h"
#include "engine/database.h"
#include "storage/sstable_reader.h"

namespace quenlordb::engine::testing {

// A config for tests: one shard unless asked, group commit as asked.
inline Config test_config(std::uint64_t shards = 1, bool group_commit = false) {
  Config c;
  c.shard_count = shards;
  c.group_commit_enabled = group_commit;
  return c;
}

template <typename T>
T must(Result<T> r, const char* what = "operation") {
  if (!r) {
    ADD_FAILURE() << what << " failed: " << r.error().to_string();
    throw std::runtime_error(r.error().to_string());
  }
  return std::move(*r);
}

inline void must(Result<void> r, const char* what = "operation") {
  if (!r) {
    ADD_FAILURE() << what << " failed: " << r.error().to_string();
    throw std::runtime_error(r.error().to_string());
  }
}

inline std::unique_ptr<Database> open_db(const std::string& path, const Config& config) {
  return must(Database::open(path, config), "open");
}

// Damages the largest table file of a shard directory: a block in the middle of it claims a raw
// length no block has, so that reading it fails with an LZ4 decompress error.
inline void damage_middle_block(const std::string& shard_dir) {
  std::string victim;
  for (const auto& entry : std::filesystem::directory_iterator(shard_dir)) {
    if (entry.path().extension() == ".sst" &&
        (victim.empty() || entry.file_size() > std::filesystem::file_size(victim)))
      victim = entry.path().string();
  }
  ASSERT_FALSE(victim.empty());
  const storage::SsTableReader reader = must(storage::SsTableReader::open(victim));
  ASSERT_GT(reader.index().size(), 4u);
  const storage::IndexEntry& e = reader.index()[reader.index().size() / 2];
  std::fstream file(victim, std::ios::in | std::ios::out | std::ios::binary);
  file.seekp(static_cast<std::streamoff>(e.offset + 4));
  file.write("\xff\xff\xff\xff", 4);
}

}  // namespace quenlordb::engine::testing
