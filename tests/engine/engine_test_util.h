// Helpers shared by the engine tests: small configs and result unwrapping with clear failures.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "config.h"
#include "engine/database.h"

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

}  // namespace quenlordb::engine::testing
