// A shard's level set: its table files arranged in levels 0 to max_levels - 1, and the compaction
// that merges a whole level into the next one. Level 0 keeps files in the order they were added
// (flushes append); levels 1 and deeper are sorted by min_key after every compaction into them.
// Files of one level may overlap in key range; readers consult every file.
//
// The level set has no lock of its own: the shard guards it with a reader-writer lock, and the shard
// thread is its only writer. Lookups and scans hold it shared; add_l0_file and install_compaction
// run under the exclusive lock. A compaction step is planned under the shared lock and its outputs
// are built without the lock, from the plan's own references to the input files, so that readers
// wait only for the outputs to be put in place. Readers are shared, so a caller may keep one past
// the lock.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "config.h"
#include "error.h"
#include "hasher.h"
#include "storage/manifest.h"
#include "storage/sstable_reader.h"
#include "util/function_ref.h"

namespace quenlordb::storage {

// The compaction settings of a level set.
struct LevelOptions {
  std::uint64_t max_levels = 7;
  std::uint64_t level_base_bytes = 10485760;
  std::uint64_t level_ratio = 10;
  std::uint64_t target_file_bytes = 67108864;

  static LevelOptions from_config(const Config& config);
};

// What the level set records about a file, and what the manifest stores of it.
struct LevelFileInfo {
  std::string file_name;  // last path component; empty when it is not valid UTF-8
  std::string min_key;    // user key of the file's first entry
  std::string max_key;    // user key of the file's last entry
  std::uint64_t file_size = 0;

  friend bool operator==(const LevelFileInfo&, const LevelFileInfo&) = default;
};

struct LevelFile : LevelFileInfo {
  std::shared_ptr<const SsTableReader> reader;
};

struct KeyRange {
  std::string min_key;
  std::string max_key;

  friend bool operator==(const KeyRange&, const KeyRange&) = default;
};

// The user keys of the file's first and last entries; both empty for a file without blocks or when
// the first block cannot be read, and an empty key in place of one that does not decode. Never fails.
KeyRange extract_key_range(const SsTableReader& reader);

// A step merges level `source` into level `target` = source + 1.
struct CompactionStep {
  std::size_t source;
  std::size_t target;

  friend bool operator==(const CompactionStep&, const CompactionStep&) = default;
};

struct CompactionOutcome {
  std::uint64_t removed_files = 0;  // files that were in the source level
  std::uint64_t created_files = 0;
  // The input files, no longer in the level set but still on disk: the caller deletes them only once
  // a manifest that names the outputs instead has been saved.
  std::vector<std::string> obsolete_paths;
};

// Draws the next table-file id from the database-wide counter; no id may be handed out twice.
// build_compaction calls it while it holds no lock of the level set.
using FileIdSource = util::FunctionRef<std::uint64_t()>;

// A compaction step as planned against the level set: the inputs, held by their own references, so
// that building the outputs needs no lock, and the target level as it was.
struct CompactionPlan {
  CompactionStep step;
  std::string dir;
  LevelOptions options;
  std::vector<LevelFile> source;  // the whole source level, in level order
  std::vector<LevelFile> target;  // the target level, in level order
  std::vector<bool> selected;     // whether target[i] meets the source's user-key range (an input)
};

// The written, synced and opened outputs of a planned step, ready to be put in place.
struct BuiltCompaction {
  // What the target level becomes: its files outside the source's range and the outputs, ordered by
  // min_key. After install_compaction: the levels it replaced, to be released after the lock.
  std::vector<LevelFile> target;
  std::vector<LevelFile> source;  // empty; after install_compaction, the replaced source level
  CompactionOutcome outcome;
};

// Merges the plan's inputs into new files "l{target}-{id}.sst" in the plan's dir, of about
// target_file_bytes each. When an internal key occurs more than once, the source level wins over
// the target and an earlier file over a later one. Each output draws one id. Outputs are synced,
// and so is dir, and opened. On error (or an exception) the outputs written so far are removed
// again; drawn ids stay consumed. Touches neither the level set nor the input files.
Result<BuiltCompaction> build_compaction(const CompactionPlan& plan, std::uint64_t block_bytes,
                                         std::uint64_t bits_per_key, const Hasher& hasher, FileIdSource next_file_id);

class LevelManager {
 public:
  // An empty level set of options.max_levels levels (at least 2).
  LevelManager(std::string dir, LevelOptions options);
  // Every reader, in the given order, in level 0.
  static LevelManager from_sstables(std::string dir, std::vector<std::shared_ptr<const SsTableReader>> readers,
                                    LevelOptions options);
  // List i of level_files fills level i (lists from max_levels on are ignored; an entry's own level
  // field is not consulted). An entry whose file does not exist is skipped; one that does not open
  // fails the call. Names, keys and sizes are taken from the entries, not recomputed.
  static Result<LevelManager> from_manifest_levels(std::string dir,
                                                   const std::vector<std::vector<ManifestLevelFile>>& level_files,
                                                   LevelOptions options);

  LevelManager(LevelManager&&) noexcept = default;
  LevelManager& operator=(LevelManager&&) noexcept = default;
  LevelManager(const LevelManager&) = delete;
  LevelManager& operator=(const LevelManager&) = delete;

  // Appends the file to the end of level 0.
  void add_l0_file(std::shared_ptr<const SsTableReader> reader);

  // (0, 1) when level 0 holds more than l0_threshold files; otherwise the first level i from 1 to
  // max_levels - 2 whose file sizes add up to more than its budget gives (i, i + 1).
  std::optional<CompactionStep> needs_compaction(std::uint64_t l0_threshold) const;

  // A compaction step in three parts, so that the level-set lock is held exclusively only while
  // the outputs are put in place: plan_compaction (lock held shared), build_compaction (no lock),
  // install_compaction (lock held exclusively). Nothing else may change the level set between the
  // plan and the install.
  //
  // The inputs of the step: every file of the source level, and the files of the target level whose
  // [min_key, max_key] meets the user-key range of the source's entries (which it reads).
  Result<CompactionPlan> plan_compaction(CompactionStep step) const;
  // Puts the built outputs in place of the plan's inputs: the source level empties, the target level
  // becomes built.target. Allocates nothing and returns no error (it panics when the two levels are
  // no longer as planned). The replaced levels move into `built`. Input files are not deleted (see
  // CompactionOutcome).
  void install_compaction(const CompactionPlan& plan, BuiltCompaction& built);
  // The three parts at once, for a level set no reader shares. On error the level set is unchanged.
  Result<CompactionOutcome> execute_compaction(CompactionStep step, std::uint64_t block_bytes,
                                               std::uint64_t bits_per_key, const Hasher& hasher,
                                               FileIdSource next_file_id);

  // The file_name of every file, level 0 first, each level in its order.
  std::vector<std::string> file_names() const;
  // The level lists as the manifest stores them: one list per level, every entry with its level.
  std::vector<std::vector<ManifestLevelFile>> manifest_levels() const;

  // level_base_bytes * level_ratio^(level - 1) for level >= 1, saturating at 2^64 - 1.
  std::uint64_t level_budget(std::size_t level) const;

  const std::string& dir() const { return dir_; }
  const LevelOptions& options() const { return options_; }
  // levels()[i] is level i.
  const std::vector<std::vector<LevelFile>>& levels() const { return levels_; }

 private:
  std::string dir_;
  LevelOptions options_;
  std::vector<std::vector<LevelFile>> levels_;
};

inline constexpr std::string_view kTableFileSuffix = ".sst";

// "l{level}-{id}.sst"
std::string table_file_name(std::size_t level, std::uint64_t id);
// The id of a name table_file_name gives, or nothing for any other name (also for an id beyond 64
// bits).
std::optional<std::uint64_t> table_file_id(std::string_view name);

}  // namespace quenlordb::storage
