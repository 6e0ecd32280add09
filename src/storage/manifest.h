// The manifest: MANIFEST.json in the database root describes every shard (its log file, its table
// files level by level, the highest commit timestamp it handed out) and holds the database-wide
// counter from which table-file ids are drawn.
//
// One Manifest lives per open database. It has no lock of its own: the owner keeps it behind one
// mutex for all shards, draws file ids and saves while holding that mutex, so saves never overlap.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "error.h"

namespace quenlordb::storage {

inline constexpr std::string_view kManifestFileName = "MANIFEST.json";
inline constexpr std::string_view kManifestTempFileName = "MANIFEST.json.tmp";

// "shard-{n}": the directory of shard n under the database root.
std::string shard_dir_name(std::uint64_t shard_id);

struct ManifestLevelFile {
  std::string file_name;
  std::uint64_t level = 0;
  std::string min_key;
  std::string max_key;
  std::uint64_t file_size = 0;

  friend bool operator==(const ManifestLevelFile&, const ManifestLevelFile&) = default;
};

struct ManifestShardState {
  std::uint64_t shard_id = 0;
  std::string wal_file;
  // Names of all table files of the shard, level 0 first.
  std::vector<std::string> l0_files;
  // List i holds level i; absent in a new manifest.
  std::optional<std::vector<std::vector<ManifestLevelFile>>> level_files;
  std::uint64_t commit_ts_high_watermark = 0;

  friend bool operator==(const ManifestShardState&, const ManifestShardState&) = default;
};

struct ManifestState {
  std::uint32_t version = 1;
  // The id the next table file gets.
  std::uint64_t next_file_id = 1;
  std::vector<ManifestShardState> shards;

  // The state of a new database with shard_count shards.
  static ManifestState default_for(std::uint64_t shard_count);

  friend bool operator==(const ManifestState&, const ManifestState&) = default;
};

// The pretty-printed file text (two-space indentation, no final newline).
Result<std::string> encode_manifest_state(const ManifestState& state);
// Parses the file text; every failure is SerdeJson.
Result<ManifestState> decode_manifest_state(std::string_view text);

class Manifest {
 public:
  // Creates root (and its parents), then loads root/MANIFEST.json, or, when it does not exist, saves
  // and returns the state of a new database. Any other failure to look at the file is an Io error:
  // an existing manifest is never replaced because it could not be inspected.
  //
  // The database touches only files inside its directory, and never takes the place of one it
  // cannot account for:
  // - a manifest file name (wal_file, a table file) that is not a plain name of an entry in its
  //   shard directory fails the load with ManifestFormat naming the field;
  // - a missing manifest beside shard directories that hold log or table files fails with
  //   ManifestFormat instead of starting a new database over them;
  // - next_file_id is raised above the id of every table file the manifest names or a shard
  //   directory holds, so that no new table file takes the name of an existing one.
  static Result<Manifest> load_or_create(const std::string& root, std::uint64_t shard_count);

  // Replaces the file atomically: writes and data-syncs MANIFEST.json.tmp, renames it over
  // MANIFEST.json, fsyncs the directory. A failure before the rename leaves the old file in place;
  // the in-memory state is never rolled back.
  Result<void> save() const;

  // Hands out the next table-file id and advances the counter. Panics when the counter is spent
  // (wrapping would hand out the ids of live files again).
  std::uint64_t take_file_id();

  const std::string& path() const { return path_; }
  ManifestState& state() { return state_; }
  const ManifestState& state() const { return state_; }

 private:
  Manifest(std::string path, ManifestState state) : path_(std::move(path)), state_(std::move(state)) {}

  std::string path_;
  ManifestState state_;
};

}  // namespace quenlordb::storage
