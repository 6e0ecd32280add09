#include "storage/levels.h"

#include <fcntl.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <map>
#include <set>

#include "ledger/internal_key.h"
#include "ledger/record.h"
#include "storage/block_cache.h"
#include "storage/sstable_reader.h"
#include "storage/sstable_writer.h"
#include "support/fault_hook.h"
#include "support/temp_dir.h"
#include "util/file.h"

namespace quenlordb::storage {
namespace {

using testing::FaultRule;
using testing::ScopedFaultHook;
using testing::TempDir;
using ledger::VisibleVersion;

const FnvMixHasher kHasher{};
constexpr std::uint64_t kBlockBytes = 512;
constexpr std::uint64_t kBitsPerKey = 10;

struct Version {
  std::string key;
  std::uint64_t ts;
  std::uint64_t valid_from = 0;
  std::uint64_t valid_to = UINT64_MAX;
  std::string doc = "d";
};

using Entries = std::vector<std::pair<std::string, std::string>>;

Entries entries_of(const std::vector<Version>& versions) {
  Entries out;
  for (const Version& v : versions) {
    out.emplace_back(ledger::encode_internal_key(v.key, v.ts), ledger::FactValue{v.valid_from, v.valid_to, v.doc}.encode());
  }
  std::sort(out.begin(), out.end());
  return out;
}

// Writes a table file holding the versions, in dir, and returns its reader.
std::shared_ptr<const SsTableReader> write_table(const std::string& dir, const std::string& name,
                                                 const std::vector<Version>& versions) {
  const std::string path = util::join_path(dir, name);
  EXPECT_TRUE(build_sstable(path, entries_of(versions), kBlockBytes, kBitsPerKey, kHasher));
  return std::make_shared<const SsTableReader>(SsTableReader::open(path).value());
}

ManifestLevelFile manifest_entry(const std::string& name, std::uint64_t file_size, std::string min_key = "a",
                                 std::string max_key = "z") {
  return ManifestLevelFile{name, 0, std::move(min_key), std::move(max_key), file_size};
}

std::vector<std::string> names_of(const std::vector<LevelFile>& files) {
  std::vector<std::string> out;
  for (const LevelFile& f : files) out.push_back(f.file_name);
  return out;
}

// A counter standing in for the manifest's next_file_id.
struct IdCounter {
  std::uint64_t next;
  std::uint64_t operator()() { return next++; }
};

TEST(LevelsTest, NeedsCompaction) {
  TempDir dir;
  write_table(dir.path(), "t.sst", {{"k", 1}});
  constexpr std::uint64_t kMax = UINT64_MAX;
  struct Case {
    const char* name;
    LevelOptions options;
    std::vector<std::vector<std::uint64_t>> sizes;  // per level, the file sizes recorded in the manifest
    std::optional<CompactionStep> expected;
  };
  const LevelOptions defaults;
  const std::vector<std::uint64_t> nine(9, 1), eight(8, 1);
  const Case cases[] = {
      {"nine L0 files", defaults, {nine}, CompactionStep{0, 1}},
      {"eight L0 files look deeper", defaults, {eight, {10485761}}, CompactionStep{1, 2}},
      {"eight L0 files, nothing deeper", defaults, {eight}, std::nullopt},
      {"L1 at its budget", defaults, {{}, {10485760}}, std::nullopt},
      {"L1 over its budget, summed", defaults, {{}, {5242880, 5242881}}, CompactionStep{1, 2}},
      {"L2 budget is ten times L1", defaults, {{}, {10485760}, {104857601}}, CompactionStep{2, 3}},
      {"L0 before deeper levels", defaults, {nine, {kMax}}, CompactionStep{0, 1}},
      {"last level is never a source", defaults, {{}, {}, {}, {}, {}, {}, {kMax}}, std::nullopt},
      {"two levels: only L0 compacts", {2, 1, 10, 100}, {eight, {kMax}}, std::nullopt},
      {"two levels: L0", {2, 1, 10, 100}, {nine, {kMax}}, CompactionStep{0, 1}},
      {"budgets saturate instead of wrapping", {4, 1ULL << 63, 4, 100}, {{}, {}, {kMax, 5}}, std::nullopt},
      {"ratio 0 leaves L1 at the base", {4, 100, 0, 100}, {{}, {100}, {1}}, CompactionStep{2, 3}},
  };
  for (const Case& c : cases) {
    std::vector<std::vector<ManifestLevelFile>> lists;
    for (const auto& level : c.sizes) {
      auto& list = lists.emplace_back();
      for (std::uint64_t size : level) list.push_back(manifest_entry("t.sst", size));
    }
    LevelManager levels = LevelManager::from_manifest_levels(dir.path(), lists, c.options).value();
    EXPECT_EQ(levels.needs_compaction(8), c.expected) << c.name;
  }
  LevelManager wide = LevelManager::from_manifest_levels(dir.path(), {}, {70, 1ULL << 40, 1ULL << 20, 1}).value();
  EXPECT_EQ(wide.level_budget(1), 1ULL << 40);
  EXPECT_EQ(wide.level_budget(2), 1ULL << 60);
  EXPECT_EQ(wide.level_budget(3), UINT64_MAX);
  EXPECT_EQ(wide.level_budget(69), UINT64_MAX);
}

TEST(LevelsTest, FromManifestLevels) {
  TempDir dir;
  write_table(dir.path(), "l0-1.sst", {{"b", 1}});
  write_table(dir.path(), "l1-2.sst", {{"c", 2}});
  write_table(dir.path(), "l8-3.sst", {{"d", 3}});
  std::vector<std::vector<ManifestLevelFile>> lists(9);
  lists[0] = {manifest_entry("l0-1.sst", 11, "x", "y"), manifest_entry("missing.sst", 5)};
  lists[1] = {ManifestLevelFile{"l1-2.sst", 5, "p", "q", 22}};  // its level field says 5: the list decides
  lists[8] = {manifest_entry("l8-3.sst", 33)};                  // beyond max_levels 7: ignored
  LevelManager levels = LevelManager::from_manifest_levels(dir.path(), lists, LevelOptions{}).value();
  ASSERT_EQ(levels.levels().size(), 7u);
  EXPECT_EQ(levels.file_names(), (std::vector<std::string>{"l0-1.sst", "l1-2.sst"}));
  const LevelFile& l0 = levels.levels()[0].at(0);
  EXPECT_EQ(static_cast<const LevelFileInfo&>(l0), (LevelFileInfo{"l0-1.sst", "x", "y", 11}));  // copied, not recomputed
  EXPECT_EQ(l0.reader->path(), dir.file("l0-1.sst"));
  EXPECT_EQ(levels.manifest_levels()[1], (std::vector<ManifestLevelFile>{{"l1-2.sst", 1, "p", "q", 22}}));

  // A listed file that exists but is no table file fails the whole call with the reader's error.
  {
    util::File f = util::File::open(dir.file("junk.sst"), O_CREAT | O_WRONLY).value();
    ASSERT_TRUE(f.write_all("not a table"));
  }
  lists[0].push_back(manifest_entry("junk.sst", 1));
  auto bad = LevelManager::from_manifest_levels(dir.path(), lists, LevelOptions{});
  ASSERT_FALSE(bad);
  EXPECT_EQ(bad.error().kind(), ErrorKind::SstableFormat);
}

TEST(LevelsTest, FilesJoinLevelZeroWithTheirKeyRangeAndSize) {
  TempDir dir;
  auto empty = write_table(dir.path(), "l0-1.sst", {});
  auto keyed = write_table(dir.path(), "l0-2.sst", {{"m", 3}, {"a", 9}, {"z", 1}, {"a", 2}});
  EXPECT_EQ(extract_key_range(*empty), KeyRange{});
  EXPECT_EQ(extract_key_range(*keyed), (KeyRange{"a", "z"}));

  LevelManager levels = LevelManager::from_sstables(dir.path(), {keyed, empty}, LevelOptions{});
  const auto& l0 = levels.levels()[0];
  ASSERT_EQ(l0.size(), 2u);
  EXPECT_EQ(static_cast<const LevelFileInfo&>(l0[0]),
            (LevelFileInfo{"l0-2.sst", "a", "z", std::filesystem::file_size(dir.file("l0-2.sst"))}));
  EXPECT_EQ(l0[1].file_name, "l0-1.sst");
  levels.add_l0_file(write_table(dir.path(), "l0-3.sst", {{"q", 4}}));
  EXPECT_EQ(levels.file_names(), (std::vector<std::string>{"l0-2.sst", "l0-1.sst", "l0-3.sst"}));
}

// Entries of every file of a level, file by file.
Entries level_entries(const LevelManager& levels, std::size_t level) {
  Entries out;
  for (const LevelFile& f : levels.levels()[level]) {
    Entries file = f.reader->iter_all_entries().value();
    out.insert(out.end(), file.begin(), file.end());
  }
  return out;
}

TEST(LevelsTest, CompactionNamesCutsAndKeepsInputsOnDisk) {
  TempDir dir;
  // Entries of key 1 + internal key 10 + value 23 bytes: 50 counted bytes each with the overhead of 16.
  std::vector<Version> versions;
  for (char c = 'a'; c < 'f'; ++c) versions.push_back({std::string(1, c), 1, 0, 1, "012345"});
  ASSERT_EQ(entries_of(versions)[0].first.size() + entries_of(versions)[0].second.size(), 34u);
  LevelManager levels = LevelManager::from_sstables(
      dir.path(), {write_table(dir.path(), "l0-1.sst", versions)}, LevelOptions{7, 1, 10, 100});
  IdCounter ids{7};
  CompactionOutcome outcome = levels.execute_compaction({0, 1}, kBlockBytes, kBitsPerKey, kHasher, ids).value();
  EXPECT_EQ(outcome.removed_files, 1u);
  EXPECT_EQ(outcome.created_files, 3u);
  EXPECT_EQ(ids.next, 10u);
  EXPECT_EQ(levels.file_names(), (std::vector<std::string>{"l1-7.sst", "l1-8.sst", "l1-9.sst"}));
  std::vector<std::size_t> counts;
  for (const LevelFile& f : levels.levels()[1]) counts.push_back(f.reader->iter_all_entries().value().size());
  EXPECT_EQ(counts, (std::vector<std::size_t>{2, 2, 1}));  // 50, 100 cuts; the last entry ends the last file
  EXPECT_EQ(levels.levels()[1][1].min_key, "c");
  EXPECT_EQ(levels.levels()[1][1].max_key, "d");
  EXPECT_EQ(level_entries(levels, 1), entries_of(versions));

  // The input is handed back, not deleted.
  EXPECT_EQ(outcome.obsolete_paths, std::vector<std::string>{dir.file("l0-1.sst")});
  EXPECT_TRUE(std::filesystem::exists(dir.file("l0-1.sst")));
}

TEST(LevelsTest, RepeatedInternalKeysKeepTheSourceAndEarlierFileCopy) {
  TempDir dir;
  std::vector<std::vector<ManifestLevelFile>> lists(2);
  write_table(dir.path(), "l1-1.sst", {{"k", 5, 0, 9, "from L1"}, {"k", 6, 0, 9, "L1 only"}});
  lists[1].push_back({"l1-1.sst", 1, "k", "k", 100});
  LevelManager levels = LevelManager::from_manifest_levels(dir.path(), lists, LevelOptions{}).value();
  levels.add_l0_file(write_table(dir.path(), "l0-2.sst", {{"k", 5, 0, 9, "first L0"}, {"k", 7, 0, 9, "first 7"}}));
  levels.add_l0_file(write_table(dir.path(), "l0-3.sst", {{"k", 5, 0, 9, "second L0"}, {"k", 7, 0, 9, "second 7"}}));
  IdCounter ids{10};
  ASSERT_TRUE(levels.execute_compaction({0, 1}, kBlockBytes, kBitsPerKey, kHasher, ids));
  EXPECT_EQ(level_entries(levels, 1),
            entries_of({{"k", 5, 0, 9, "first L0"}, {"k", 6, 0, 9, "L1 only"}, {"k", 7, 0, 9, "first 7"}}));
}

TEST(LevelsTest, CompactionSelectsOverlappingTargetFiles) {
  TempDir dir;
  std::vector<std::vector<ManifestLevelFile>> lists(3);
  auto add_l1 = [&](const std::string& name, const std::vector<Version>& versions) {
    auto reader = write_table(dir.path(), name, versions);
    KeyRange range = extract_key_range(*reader);
    lists[1].push_back({name, 1, range.min_key, range.max_key, 100});
  };
  add_l1("l1-1.sst", {{"0", 1}, {"a", 1}});  // max_key equals the smallest source key: merged
  add_l1("l1-2.sst", {{"d", 1}, {"f", 1}});  // inside the gap between the two source files: merged
  add_l1("l1-3.sst", {{"z", 1}});            // equals the largest source key: merged
  add_l1("l1-4.sst", {{"z\x01", 1}});        // min_key above the largest source key: stays
  add_l1("l1-5.sst", {{"", 1}});             // max_key below the smallest source key: stays
  write_table(dir.path(), "l2-6.sst", {{"e", 1}});
  lists[2].push_back({"l2-6.sst", 2, "e", "e", 100});
  LevelManager levels = LevelManager::from_manifest_levels(dir.path(), lists, LevelOptions{}).value();
  levels.add_l0_file(write_table(dir.path(), "l0-7.sst", {{"m", 2}, {"z", 2}}));
  levels.add_l0_file(write_table(dir.path(), "l0-8.sst", {{"a", 2}, {"c", 2}}));

  IdCounter ids{9};
  CompactionOutcome outcome = levels.execute_compaction({0, 1}, kBlockBytes, kBitsPerKey, kHasher, ids).value();
  EXPECT_EQ(outcome.removed_files, 2u);
  EXPECT_EQ(outcome.created_files, 1u);
  std::set<std::string> obsolete(outcome.obsolete_paths.begin(), outcome.obsolete_paths.end());
  EXPECT_EQ(obsolete, (std::set<std::string>{dir.file("l0-7.sst"), dir.file("l0-8.sst"), dir.file("l1-1.sst"),
                                             dir.file("l1-2.sst"), dir.file("l1-3.sst")}));
  EXPECT_TRUE(levels.levels()[0].empty());
  EXPECT_EQ(names_of(levels.levels()[1]), (std::vector<std::string>{"l1-5.sst", "l1-9.sst", "l1-4.sst"}));
  EXPECT_EQ(names_of(levels.levels()[2]), std::vector<std::string>{"l2-6.sst"});
  EXPECT_EQ(level_entries(levels, 1),
            entries_of({{"", 1}, {"0", 1}, {"a", 1}, {"a", 2}, {"c", 2}, {"d", 1}, {"f", 1}, {"m", 2},
                        {"z", 1}, {"z", 2}, {"z\x01", 1}}));
}

TEST(LevelsTest, EmptySourceLevelIsStillEmptied) {
  TempDir dir;
  LevelManager levels = LevelManager::from_sstables(dir.path(), {write_table(dir.path(), "l0-1.sst", {})}, LevelOptions{});
  IdCounter ids{1};
  CompactionOutcome outcome = levels.execute_compaction({0, 1}, kBlockBytes, kBitsPerKey, kHasher, ids).value();
  EXPECT_EQ(outcome.removed_files, 1u);
  EXPECT_EQ(outcome.created_files, 0u);
  EXPECT_EQ(ids.next, 1u);
  EXPECT_TRUE(levels.file_names().empty());
}

// ---- the answer of every read survives compaction ----

using Answer = std::optional<VisibleVersion>;

// The read path's rule: the visible version with the highest commit timestamp over all files.
Answer read(const LevelManager& levels, std::string_view key, std::uint64_t as_of, std::optional<std::uint64_t> valid_at,
            BlockCache& cache, const IndexCache& index_cache) {
  Answer best;
  for (const auto& level : levels.levels()) {
    for (const LevelFile& f : level) {
      TableLookup found = f.reader->get_visible(key, as_of, valid_at, kHasher, cache, index_cache).value();
      if (found.found && (!best || found.found->commit_ts > best->commit_ts)) best = found.found;
    }
  }
  return best;
}

TEST(LevelsTest, EveryReadGivesTheSameAnswerAfterCompactingDown) {
  TempDir dir;
  const std::vector<std::string> keys = {"", "a", std::string("a\0", 2), std::string("a\0b", 3), "ab", "b", "zz"};
  // Versions spread over files; some internal keys occur in several files with the same value, as a
  // replayed log writes them again.
  std::vector<std::vector<Version>> files(6);
  std::uint64_t ts = 1;
  std::uint32_t seed = 12345;
  auto rnd = [&](std::uint32_t n) {
    seed = seed * 1103515245 + 12345;
    return (seed >> 16) % n;
  };
  std::vector<Version> all;
  for (int round = 0; round < 40; ++round) {
    for (const std::string& key : keys) {
      if (rnd(3) == 0) continue;
      const std::uint64_t from = rnd(20);
      const std::uint64_t to = rnd(4) == 0 ? UINT64_MAX : from + rnd(15);  // includes empty intervals
      Version v{key, ts++, from, to, "doc-" + std::to_string(ts) + std::string(rnd(40), 'x')};
      files[rnd(files.size())].push_back(v);
      if (rnd(5) == 0) files[rnd(files.size())].push_back(v);
      all.push_back(v);
    }
  }
  for (auto& f : files) {
    std::sort(f.begin(), f.end(), [](const Version& a, const Version& b) { return a.ts < b.ts; });
    f.erase(std::unique(f.begin(), f.end(), [](const Version& a, const Version& b) { return a.ts == b.ts; }), f.end());
  }

  LevelManager levels(dir.path(), LevelOptions{4, 1, 10, 700});
  IdCounter ids{100};
  for (std::size_t i = 0; i < 3; ++i) levels.add_l0_file(write_table(dir.path(), "l0-" + std::to_string(i) + ".sst", files[i]));

  BlockCache cache(1 << 20);
  IndexCache index_cache(16);
  std::vector<std::optional<std::uint64_t>> valid_times = {std::nullopt};
  for (std::uint64_t t = 0; t <= 36; ++t) valid_times.push_back(t);
  auto snapshot = [&] {
    std::vector<Answer> answers;
    for (const std::string& key : keys)
      for (std::uint64_t as_of = 0; as_of <= ts; as_of += 3)
        for (auto valid_at : valid_times) answers.push_back(read(levels, key, as_of, valid_at, cache, index_cache));
    return answers;
  };
  // Fill L1 from the first three files, then merge three more L0 files into it, then push it to L2.
  ASSERT_TRUE(levels.execute_compaction({0, 1}, kBlockBytes, kBitsPerKey, kHasher, ids));
  for (std::size_t i = 3; i < files.size(); ++i) levels.add_l0_file(write_table(dir.path(), "l0-" + std::to_string(i) + ".sst", files[i]));
  const std::vector<Answer> before = snapshot();
  std::size_t found = std::count_if(before.begin(), before.end(), [](const Answer& a) { return a.has_value(); });
  ASSERT_GT(found, before.size() / 4);  // the fixture reads plenty of versions
  ASSERT_LT(found, before.size());

  ASSERT_TRUE(levels.execute_compaction({0, 1}, kBlockBytes, kBitsPerKey, kHasher, ids));
  EXPECT_GT(levels.levels()[1].size(), 2u);
  EXPECT_EQ(snapshot(), before);
  ASSERT_TRUE(levels.execute_compaction({1, 2}, kBlockBytes, kBitsPerKey, kHasher, ids));
  EXPECT_TRUE(levels.levels()[1].empty());
  EXPECT_EQ(snapshot(), before);

  const auto& l2 = levels.levels()[2];
  EXPECT_TRUE(std::is_sorted(l2.begin(), l2.end(), [](const LevelFile& a, const LevelFile& b) { return a.min_key < b.min_key; }));
  // Every version once (files of a level are ordered by their first user key, not by internal key).
  Entries merged = level_entries(levels, 2);
  std::sort(merged.begin(), merged.end());
  EXPECT_EQ(merged, entries_of(all));

  // The level set rebuilt from what the manifest stores reads the same.
  LevelManager reopened = LevelManager::from_manifest_levels(dir.path(), levels.manifest_levels(), levels.options()).value();
  EXPECT_EQ(reopened.manifest_levels(), levels.manifest_levels());
  std::swap(levels, reopened);
  EXPECT_EQ(snapshot(), before);
}

// ---- failures leave the level set as it was ----

TEST(LevelsTest, FailedCompactionChangesNothingAndRemovesItsOutputs) {
  struct Case {
    util::FileOp op;
    const char* marker;  // the fault hits paths containing this
  };
  const Case cases[] = {
      {util::FileOp::Open, "l1-3.sst"},   // the second output cannot be created
      {util::FileOp::Write, "l1-3.sst"},
      {util::FileOp::DataSync, "l1-2.sst"},
      {util::FileOp::SyncDir, ""},
      {util::FileOp::Map, "l1-3.sst"},    // reopening an output fails
  };
  for (const Case& c : cases) {
    TempDir dir;
    std::vector<Version> versions;
    for (int i = 0; i < 40; ++i) versions.push_back({"key" + std::to_string(i), 1});
    LevelManager levels = LevelManager::from_sstables(dir.path(), {write_table(dir.path(), "l0-1.sst", versions)},
                                                      LevelOptions{7, 1, 10, 400});
    IdCounter ids{2};
    Result<CompactionOutcome> r = fail(QuenlorError::not_found());
    {
      ScopedFaultHook hook({FaultRule::fail_every({c.op, util::FaultPhase::Before, c.marker}, ENOSPC)});
      r = levels.execute_compaction({0, 1}, kBlockBytes, kBitsPerKey, kHasher, ids);
    }
    ASSERT_FALSE(r) << util::file_op_name(c.op);
    EXPECT_EQ(r.error().kind(), ErrorKind::Io);
    EXPECT_EQ(levels.file_names(), std::vector<std::string>{"l0-1.sst"}) << util::file_op_name(c.op);
    EXPECT_GT(ids.next, 2u);  // drawn ids stay consumed
    std::vector<std::string> on_disk;
    for (const auto& e : std::filesystem::directory_iterator(dir.path())) on_disk.push_back(e.path().filename());
    EXPECT_EQ(on_disk, std::vector<std::string>{"l0-1.sst"}) << util::file_op_name(c.op);
    // The same step succeeds afterwards.
    ASSERT_TRUE(levels.execute_compaction({0, 1}, kBlockBytes, kBitsPerKey, kHasher, ids));
    EXPECT_EQ(level_entries(levels, 1), entries_of(versions));
  }
}

TEST(LevelsTest, TableFileIdsReadBackFromTheirNames) {
  EXPECT_EQ(table_file_id(table_file_name(0, 7)), 7u);
  EXPECT_EQ(table_file_id(table_file_name(12, 30)), 30u);
  EXPECT_EQ(table_file_id("l0-18446744073709551615.sst"), UINT64_MAX);
  for (const char* other : {"l0-18446744073709551616.sst", "l0-.sst", "l-1.sst", "x0-1.sst", "l0-1.sst.tmp", "l0-1x.sst",
                            "shard-0.wal", ""}) {
    EXPECT_EQ(table_file_id(other), std::nullopt) << other;
  }
}

// An output whose name is taken fails the step; the file that was there is left as it was.
TEST(LevelsTest, CompactionNeverWritesOverAnExistingFile) {
  TempDir dir;
  std::vector<Version> versions;
  for (int i = 0; i < 40; ++i) versions.push_back({"key" + std::to_string(i), 1});
  LevelManager levels = LevelManager::from_sstables(dir.path(), {write_table(dir.path(), "l0-1.sst", versions)},
                                                    LevelOptions{7, 1, 10, 400});
  write_table(dir.path(), "l1-3.sst", {{"other", 1}});
  const std::string taken = util::read_file(dir.file("l1-3.sst")).value();
  IdCounter ids{2};
  auto r = levels.execute_compaction({0, 1}, kBlockBytes, kBitsPerKey, kHasher, ids);
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error().os_error(), EEXIST);
  EXPECT_EQ(levels.file_names(), std::vector<std::string>{"l0-1.sst"});
  EXPECT_EQ(util::read_file(dir.file("l1-3.sst")).value(), taken);
  EXPECT_FALSE(std::filesystem::exists(dir.file("l1-2.sst")));  // the step's own output is removed
}

TEST(LevelsTest, DamagedInputFailsTheStep) {
  TempDir dir;
  std::vector<Version> versions;
  for (int i = 0; i < 40; ++i) versions.push_back({"key" + std::to_string(i), 1});
  auto l1 = write_table(dir.path(), "l1-1.sst", versions);
  ASSERT_GT(l1->index().size(), 2u);
  std::vector<std::vector<ManifestLevelFile>> lists(2);
  lists[1].push_back({"l1-1.sst", 1, "key0", "key9", 100});
  LevelManager levels = LevelManager::from_manifest_levels(dir.path(), lists, LevelOptions{7, 1, 10, 300}).value();
  levels.add_l0_file(write_table(dir.path(), "l0-2.sst", {{"key0", 2}}));
  // Damage the last block of the target file (the mapping shows the change): outputs are written
  // before the merge reaches it.
  {
    const IndexEntry& last = l1->index().back();
    util::File f = util::File::open(dir.file("l1-1.sst"), O_WRONLY).value();
    ASSERT_TRUE(f.seek(last.offset + 4));
    ASSERT_TRUE(f.write_all(std::string(4, '\xff')));
  }
  IdCounter ids{3};
  auto r = levels.execute_compaction({0, 1}, kBlockBytes, kBitsPerKey, kHasher, ids);
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error().kind(), ErrorKind::SstableFormat);
  EXPECT_GT(ids.next, 3u);
  EXPECT_EQ(levels.file_names(), (std::vector<std::string>{"l0-2.sst", "l1-1.sst"}));
  std::set<std::string> on_disk;
  for (const auto& e : std::filesystem::directory_iterator(dir.path())) on_disk.insert(e.path().filename());
  EXPECT_EQ(on_disk, (std::set<std::string>{"l0-2.sst", "l1-1.sst"}));
}

}  // namespace
}  // namespace quenlordb::storage
