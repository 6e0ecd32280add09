#include "storage/manifest.h"

#include <fcntl.h>
#include <gtest/gtest.h>

#include <cerrno>
#include <filesystem>

#include "support/fault_hook.h"
#include "support/temp_dir.h"
#include "util/file.h"

namespace quenlordb::storage {
namespace {

using namespace std::string_literals;
using testing::FaultRule;
using testing::ScopedFaultHook;
using testing::TempDir;

constexpr std::string_view kFreshTwoShards = R"({
  "version": 1,
  "next_file_id": 1,
  "shards": [
    {
      "shard_id": 0,
      "wal_file": "shard-0.wal",
      "l0_files": [],
      "level_files": null,
      "commit_ts_high_watermark": 0
    },
    {
      "shard_id": 1,
      "wal_file": "shard-1.wal",
      "l0_files": [],
      "level_files": null,
      "commit_ts_high_watermark": 0
    }
  ]
})";

void write_text(const std::string& path, std::string_view text) {
  util::File f = util::File::open(path, O_CREAT | O_WRONLY | O_TRUNC).value();
  ASSERT_TRUE(f.write_all(text));
}

TEST(ManifestTest, FreshDirectoryGetsManifestAtOnce) {
  TempDir dir;
  const std::string root = dir.file("a/b/db");
  Manifest m = Manifest::load_or_create(root, 2).value();
  EXPECT_EQ(m.path(), root + "/MANIFEST.json");
  EXPECT_EQ(m.state(), ManifestState::default_for(2));
  EXPECT_EQ(util::read_file(m.path()).value(), kFreshTwoShards);

  // Saving the same state again gives the same bytes; a reload gives the same state.
  ASSERT_TRUE(m.save());
  EXPECT_EQ(util::read_file(m.path()).value(), kFreshTwoShards);
  EXPECT_EQ(Manifest::load_or_create(root, 5).value().state(), ManifestState::default_for(2));
  EXPECT_EQ(util::file_size_if_exists(root + "/MANIFEST.json.tmp").value(), std::nullopt);
}

TEST(ManifestTest, LayoutAfterFlushAndRoundTrip) {
  ManifestState state = ManifestState::default_for(1);
  state.next_file_id = 2;
  ManifestShardState& shard = state.shards[0];
  shard.l0_files = {"l0-1.sst"};
  shard.level_files.emplace(3);
  (*shard.level_files)[0].push_back({"l0-1.sst", 0, std::string("a\0", 2), "z", 4321});
  shard.commit_ts_high_watermark = 42;
  const std::string_view expected = R"({
  "version": 1,
  "next_file_id": 2,
  "shards": [
    {
      "shard_id": 0,
      "wal_file": "shard-0.wal",
      "l0_files": [
        "l0-1.sst"
      ],
      "level_files": [
        [
          {
            "file_name": "l0-1.sst",
            "level": 0,
            "min_key": [
              97,
              0
            ],
            "max_key": [
              122
            ],
            "file_size": 4321
          }
        ],
        [],
        []
      ],
      "commit_ts_high_watermark": 42
    }
  ]
})";
  EXPECT_EQ(encode_manifest_state(state).value(), expected);

  // Bytes of every value survive, and so do counters at their limits.
  state.version = 4294967295u;
  state.next_file_id = UINT64_MAX;
  (*shard.level_files)[2].push_back({"l2-9.sst", 2, std::string("\0\xff\x80", 3), "", UINT64_MAX});
  shard.commit_ts_high_watermark = UINT64_MAX;
  state.shards.push_back(ManifestState::default_for(2).shards[1]);
  std::string text = encode_manifest_state(state).value();
  EXPECT_EQ(decode_manifest_state(text).value(), state);
}

// Names are JSON strings as the JSON library writes them; a name that is not UTF-8 fails the save.
TEST(ManifestTest, NamesAreEscapedAndMustBeUtf8) {
  ManifestState state = ManifestState::default_for(1);
  state.shards[0].wal_file = "a\"b\\c\x01\n\x7f\xc3\xa9";
  const std::string text = encode_manifest_state(state).value();
  EXPECT_NE(text.find(R"("wal_file": "a\"b\\c\u0001\n)"
                      "\x7f\xc3\xa9\",\n"),
            std::string::npos)
      << text;
  EXPECT_EQ(decode_manifest_state(text).value(), state);

  state.shards[0].l0_files = {"ab\xff" "c"};
  Result<std::string> refused = encode_manifest_state(state);
  ASSERT_FALSE(refused);
  EXPECT_EQ(refused.error().to_string(), "serde json error: invalid UTF-8 byte at index 2: 0xFF");
}

TEST(ManifestTest, ParseRules) {
  // One valid manifest, then variants of it: text edits and whether they load.
  const std::string file = R"({"version":1,"next_file_id":5,"shards":[{"shard_id":0,"wal_file":"shard-0.wal",)"
                           R"("l0_files":["l1-3.sst"],"level_files":[[],[{"file_name":"l1-3.sst","level":1,)"
                           R"("min_key":[97],"max_key":[98],"file_size":10}]],"commit_ts_high_watermark":9}]})";
  ASSERT_TRUE(decode_manifest_state(file));
  auto edit = [&](std::string_view from, std::string_view to) {
    std::string text = file;
    std::size_t at = text.find(from);
    EXPECT_NE(at, std::string::npos) << from;
    return text.replace(at, from.size(), to);
  };
  struct Case {
    const char* name;
    std::string text;
    const char* error;  // nullptr: loads
  };
  const Case cases[] = {
      {"level_files missing", edit(R"("level_files":[[],[{"file_name":"l1-3.sst","level":1,"min_key":[97],)"
                                   R"("max_key":[98],"file_size":10}]],)",
                                   ""),
       nullptr},
      {"version 7", edit(R"("version":1)", R"("version":7)"), nullptr},
      {"extra members anywhere", edit(R"("level":1,)", R"("level":1,"x":{"y":[1]},"x":2,)"), nullptr},
      {"level file as array of 5", edit(R"({"file_name":"l1-3.sst","level":1,"min_key":[97],"max_key":[98],)"
                                        R"("file_size":10})",
                                        R"(["l1-3.sst",1,[97],[98],10])"),
       nullptr},
      {"level missing", edit(R"("level":1,)", ""), "missing field `level`"},
      {"next_file_id twice", edit(R"("next_file_id":5)", R"("next_file_id":5,"next_file_id":6)"),
       "duplicate field `next_file_id`"},
      {"level file as array of 4", edit(R"({"file_name":"l1-3.sst","level":1,"min_key":[97],"max_key":[98],)"
                                        R"("file_size":10})",
                                        R"(["l1-3.sst",1,[97],[98]])"),
       "invalid length 4, expected struct ManifestLevelFile with 5 elements"},
      {"shard as array of 4", R"({"version":1,"next_file_id":5,"shards":[[0,"shard-0.wal",["a"],null]]})",
       "invalid length 4, expected struct ManifestShardState with 5 elements"},
      {"state as array of 2", "[1,5]", "invalid length 2, expected struct ManifestState with 3 elements"},
      {"version 2^32", edit(R"("version":1)", R"("version":4294967296)"), "invalid value: integer `4294967296`"},
      {"key byte 256", edit("[97]", "[256]"), "invalid value: integer `256`, expected u8"},
      {"file name not text", edit(R"("wal_file":"shard-0.wal")", R"("wal_file":7)"), "invalid type: integer `7`"},
      {"not JSON", file.substr(0, file.size() - 1), "parse error"},
      {"trailing text", file + "}", "parse error"},
  };
  for (const Case& c : cases) {
    auto r = decode_manifest_state(c.text);
    if (c.error == nullptr) {
      EXPECT_TRUE(r) << c.name << ": " << r.error().to_string();
      continue;
    }
    ASSERT_FALSE(r) << c.name;
    EXPECT_EQ(r.error().kind(), ErrorKind::SerdeJson) << c.name;
    EXPECT_NE(r.error().message().find(c.error), std::string::npos) << c.name << ": " << r.error().message();
  }
}

TEST(ManifestTest, LoadKeepsValuesAndDropsUnknownMembersOnSave) {
  TempDir dir;
  write_text(dir.file("MANIFEST.json"),
             R"({"version":7,"extra":1,"next_file_id":5,"shards":[[3,"w",["a"],)"
             R"([[],[["a",9,[0,255],[],10]]],9]]})");
  write_text(dir.file("MANIFEST.json.tmp"), "stale, never read");
  Manifest m = Manifest::load_or_create(dir.path(), 1).value();
  const ManifestShardState& s = m.state().shards.at(0);
  EXPECT_EQ(m.state().version, 7u);
  EXPECT_EQ(m.state().next_file_id, 5u);
  EXPECT_EQ(s.shard_id, 3u);
  EXPECT_EQ(s.l0_files, std::vector<std::string>{"a"});
  ASSERT_TRUE(s.level_files.has_value());
  ASSERT_EQ(s.level_files->size(), 2u);
  EXPECT_EQ(s.level_files->at(1).at(0), (ManifestLevelFile{"a", 9, std::string("\0\xff", 2), "", 10}));
  EXPECT_EQ(s.commit_ts_high_watermark, 9u);

  ASSERT_TRUE(m.save());
  std::string saved = util::read_file(m.path()).value();
  EXPECT_EQ(saved.find("extra"), std::string::npos);
  EXPECT_EQ(decode_manifest_state(saved).value(), m.state());
  EXPECT_EQ(util::file_size_if_exists(dir.file("MANIFEST.json.tmp")).value(), std::nullopt);
}

TEST(ManifestTest, TakeFileIdAdvancesTheCounter) {
  TempDir dir;
  Manifest m = Manifest::load_or_create(dir.path(), 1).value();
  EXPECT_EQ(m.take_file_id(), 1u);
  EXPECT_EQ(m.take_file_id(), 2u);
  EXPECT_EQ(m.state().next_file_id, 3u);
  m.state().next_file_id = UINT64_MAX;
  EXPECT_THROW(m.take_file_id(), Panic);
}

// ---- faults ----

// Fails every call of op, before it runs, on a path containing path_part.
std::vector<FaultRule> fail_calls(util::FileOp op, std::string path_part, int err) {
  return {FaultRule::fail_every({op, util::FaultPhase::Before, std::move(path_part)}, err)};
}

TEST(ManifestTest, StatFailureOtherThanMissingNeverReplacesTheManifest) {
  TempDir dir;
  Manifest m = Manifest::load_or_create(dir.path(), 1).value();
  m.state().next_file_id = 77;
  ASSERT_TRUE(m.save());
  const std::string before = util::read_file(m.path()).value();
  {
    ScopedFaultHook hook(fail_calls(util::FileOp::Stat, "MANIFEST.json", EACCES));
    auto r = Manifest::load_or_create(dir.path(), 1);
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error().kind(), ErrorKind::Io);
    EXPECT_EQ(r.error().os_error(), EACCES);
  }
  EXPECT_EQ(util::read_file(m.path()).value(), before);
  EXPECT_EQ(Manifest::load_or_create(dir.path(), 1).value().state().next_file_id, 77u);
}

TEST(ManifestTest, LoadErrors) {
  TempDir dir;
  write_text(dir.file("MANIFEST.json"), "");
  auto empty = Manifest::load_or_create(dir.path(), 1);
  ASSERT_FALSE(empty);
  EXPECT_EQ(empty.error().kind(), ErrorKind::SerdeJson);
  EXPECT_TRUE(empty.error().to_string().starts_with("serde json error: "));
  EXPECT_EQ(util::read_file(dir.file("MANIFEST.json")).value(), "");

  write_text(dir.file("file"), "");
  EXPECT_EQ(Manifest::load_or_create(dir.file("file"), 1).error().kind(), ErrorKind::Io);
}

// ---- what the directory holds ----

void make_file(const TempDir& dir, const std::string& name) {
  std::filesystem::create_directories(std::filesystem::path(dir.file(name)).parent_path());
  write_text(dir.file(name), "");
}

TEST(ManifestTest, FileNamesMustStayInsideTheShardDirectory) {
  const std::string file = R"({"version":1,"next_file_id":5,"shards":[{"shard_id":0,"wal_file":"shard-0.wal",)"
                           R"("l0_files":["l1-3.sst"],"level_files":[[],[{"file_name":"l1-3.sst","level":1,)"
                           R"("min_key":[97],"max_key":[98],"file_size":10}]],"commit_ts_high_watermark":9}]})";
  auto edit = [&](std::string_view from, std::string_view to) {
    std::string text = file;
    return text.replace(text.find(from), from.size(), to);
  };
  struct Case {
    const char* name;
    std::string text;
    std::string error;  // empty: loads
  };
  const Case cases[] = {
      {"plain names", file, ""},
      {"names with dots inside", edit(R"("wal_file":"shard-0.wal")", R"("wal_file":"..wal..")"), ""},
      {"log of another database",
       edit(R"("wal_file":"shard-0.wal")", R"("wal_file":"../../other/shard-0/shard-0.wal")"),
       R"(manifest format error: shards[0].wal_file "../../other/shard-0/shard-0.wal" is not a plain file name)"},
      {"empty log name", edit(R"("wal_file":"shard-0.wal")", R"("wal_file":"")"),
       R"(manifest format error: shards[0].wal_file "" is not a plain file name)"},
      {"the directory itself", edit(R"("wal_file":"shard-0.wal")", R"("wal_file":".")"),
       R"(manifest format error: shards[0].wal_file "." is not a plain file name)"},
      {"absolute log path", edit(R"("wal_file":"shard-0.wal")", R"("wal_file":"/tmp/x.wal")"),
       R"(manifest format error: shards[0].wal_file "/tmp/x.wal" is not a plain file name)"},
      {"NUL inside a name", edit(R"("wal_file":"shard-0.wal")", R"("wal_file":"a\u0000b")"),
       "manifest format error: shards[0].wal_file \"a\0b\" is not a plain file name"s},
      {"table file of the parent", edit(R"("l0_files":["l1-3.sst"])", R"("l0_files":["l1-3.sst",".."])"),
       R"(manifest format error: shards[0].l0_files[1] ".." is not a plain file name)"},
      {"level file in a subdirectory", edit(R"("file_name":"l1-3.sst")", R"("file_name":"sub/l1-3.sst")"),
       R"(manifest format error: shards[0].level_files[1][0].file_name "sub/l1-3.sst" is not a plain file name)"},
  };
  for (const Case& c : cases) {
    TempDir dir;
    write_text(dir.file("MANIFEST.json"), c.text);
    auto r = Manifest::load_or_create(dir.path(), 1);
    if (c.error.empty()) {
      EXPECT_TRUE(r) << c.name << ": " << r.error().to_string();
      continue;
    }
    ASSERT_FALSE(r) << c.name;
    EXPECT_EQ(r.error().kind(), ErrorKind::ManifestFormat) << c.name;
    EXPECT_EQ(r.error().to_string(), c.error) << c.name;
  }
}

TEST(ManifestTest, MissingManifestBesideDatabaseFilesIsRefused) {
  struct Case {
    const char* name;
    std::vector<std::string> files;
    const char* error;  // nullptr: a new manifest is created
  };
  const Case cases[] = {
      {"empty directory", {}, nullptr},
      {"files that are not the database's", {"notes.txt", "shard-0/notes.txt", "shard-x/l0-1.sst", "old/shard-0.wal"},
       nullptr},
      {"a table file", {"shard-1/l0-4.sst"},
       "manifest format error: manifest is missing while database files exist: shard-1/l0-4.sst"},
      {"a log", {"shard-12/shard-12.wal"},
       "manifest format error: manifest is missing while database files exist: shard-12/shard-12.wal"},
  };
  for (const Case& c : cases) {
    TempDir dir;
    for (const std::string& f : c.files) make_file(dir, f);
    auto r = Manifest::load_or_create(dir.path(), 2);
    if (c.error == nullptr) {
      ASSERT_TRUE(r) << c.name << ": " << r.error().to_string();
      EXPECT_EQ(r->state(), ManifestState::default_for(2)) << c.name;
      continue;
    }
    ASSERT_FALSE(r) << c.name;
    EXPECT_EQ(r.error().kind(), ErrorKind::ManifestFormat) << c.name;
    EXPECT_EQ(r.error().to_string(), c.error) << c.name;
    EXPECT_FALSE(std::filesystem::exists(dir.file("MANIFEST.json"))) << c.name;
  }
}

TEST(ManifestTest, NextFileIdIsRaisedAboveEveryTableFile) {
  const std::string manifest = R"({"version":1,"next_file_id":NEXT,"shards":[)"
                               R"({"shard_id":0,"wal_file":"shard-0.wal","l0_files":["l0-4.sst"],"level_files":null,)"
                               R"("commit_ts_high_watermark":0},)"
                               R"({"shard_id":1,"wal_file":"shard-1.wal","l0_files":["l0-2.sst"],"level_files":[[],)"
                               R"([{"file_name":"l1-6.sst","level":1,"min_key":[],"max_key":[],"file_size":0}]],)"
                               R"("commit_ts_high_watermark":0}]})";
  auto with_next = [&](std::string_view next) {
    std::string text = manifest;
    return text.replace(text.find("NEXT"), 4, next);
  };
  struct Case {
    const char* name;
    const char* next;
    std::vector<std::string> files;
    std::uint64_t expected;  // 0: the load fails
  };
  const Case cases[] = {
      {"counter set back: above the named files", "1", {}, 7},
      {"above files present but not named", "1", {"shard-0/l0-3.sst", "shard-1/l2-9.sst", "shard-1/l9-x.sst"}, 10},
      {"a counter already above stays", "20", {"shard-1/l2-9.sst"}, 20},
      {"the last id leaves none", "1", {"shard-0/l0-18446744073709551615.sst"}, 0},
      {"a spent counter", "18446744073709551615", {}, 0},
  };
  for (const Case& c : cases) {
    TempDir dir;
    write_text(dir.file("MANIFEST.json"), with_next(c.next));
    for (const std::string& f : c.files) make_file(dir, f);
    auto r = Manifest::load_or_create(dir.path(), 2);
    if (c.expected == 0) {
      ASSERT_FALSE(r) << c.name;
      EXPECT_EQ(r.error().kind(), ErrorKind::ManifestFormat) << c.name;
      continue;
    }
    ASSERT_TRUE(r) << c.name << ": " << r.error().to_string();
    EXPECT_EQ(r->state().next_file_id, c.expected) << c.name;
  }
}

TEST(ManifestTest, SaveFaultsLeaveOldOrNewFileWhole) {
  struct Case {
    util::FileOp op;
    const char* suffix;
    bool new_in_place;
  };
  const Case cases[] = {
      {util::FileOp::Open, "MANIFEST.json.tmp", false},
      {util::FileOp::Write, "MANIFEST.json.tmp", false},
      {util::FileOp::DataSync, "MANIFEST.json.tmp", false},
      {util::FileOp::Rename, "MANIFEST.json", false},
      {util::FileOp::SyncDir, "", true},
  };
  for (const Case& c : cases) {
    TempDir dir;
    Manifest m = Manifest::load_or_create(dir.path(), 1).value();
    const std::string old_text = util::read_file(m.path()).value();
    m.state().next_file_id = 9;
    {
      ScopedFaultHook hook(fail_calls(c.op, c.suffix, EIO));
      auto r = m.save();
      ASSERT_FALSE(r) << util::file_op_name(c.op);
      EXPECT_EQ(r.error().kind(), ErrorKind::Io);
    }
    EXPECT_EQ(m.state().next_file_id, 9u);
    const std::string on_disk = util::read_file(m.path()).value();
    EXPECT_EQ(on_disk, c.new_in_place ? encode_manifest_state(m.state()).value() : old_text)
        << util::file_op_name(c.op);
    // The next save succeeds over whatever the failed one left behind.
    ASSERT_TRUE(m.save());
    EXPECT_EQ(Manifest::load_or_create(dir.path(), 1).value().state(), m.state());
  }
}

}  // namespace
}  // namespace quenlordb::storage
