#include "storage/sstable_reader.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <lz4.h>

#include <algorithm>
#include <atomic>
#include <functional>
#include <map>
#include <random>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "ledger/internal_key.h"
#include "ledger/record.h"
#include "storage/memtable.h"
#include "storage/sstable_writer.h"
#include "support/temp_dir.h"
#include "util/coding.h"
#include "util/file.h"
#include "util/varint.h"

namespace quenlordb::storage {
namespace {

using namespace std::string_literals;
using ledger::VisibleVersion;
using Entry = std::pair<std::string, std::string>;
using Entries = std::vector<Entry>;

constexpr std::uint64_t kMax = ~0ULL;
const FnvMixHasher kHasher;

Entry version(std::string_view user_key, std::uint64_t ts, std::string doc, std::uint64_t from = 0,
              std::uint64_t to = kMax) {
  return {ledger::encode_internal_key(user_key, ts), ledger::FactValue{from, to, std::move(doc)}.encode()};
}

// Sorts by internal key, as every writer must hand them over.
Entries sorted(Entries entries) {
  std::sort(entries.begin(), entries.end());
  return entries;
}

std::string raw_block_of(const Entries& entries) {
  std::string raw;
  for (const auto& [k, v] : entries) {
    util::put_varint(raw, k.size());
    util::put_varint(raw, v.size());
    raw += k + v;
  }
  return raw;
}

std::string lz4_stored(const std::string& raw) {
  std::string stored;
  util::put_u32_le(stored, static_cast<std::uint32_t>(raw.size()));
  std::string compressed(LZ4_compressBound(static_cast<int>(raw.size())), '\0');
  const int n = LZ4_compress_default(raw.data(), compressed.data(), static_cast<int>(raw.size()),
                                     static_cast<int>(compressed.size()));
  return stored + compressed.substr(0, n);
}

// A block as a hand-assembled file holds it: stored bytes and the index's last key.
struct HandBlock {
  std::string stored;
  std::string last_key;
};
struct Location {
  std::uint64_t offset;
  std::uint32_t size;
};

HandBlock hand_block(const Entries& entries, std::uint32_t version) {
  const std::string raw = raw_block_of(entries);
  return {version == 1 ? raw : lz4_stored(raw), entries.back().first};
}

// Header, blocks, index, a bloom filter of the given user keys and the footer; `relocate` may
// change where the index says the blocks are.
std::string assemble(std::uint32_t version, const std::vector<HandBlock>& blocks, const std::vector<std::string>& bloom_keys,
                     const std::function<void(std::vector<Location>&)>& relocate = {}) {
  std::string file;
  util::put_u32_le(file, kTableMagic);
  util::put_u32_le(file, version);
  util::put_u32_le(file, 512);
  std::vector<Location> locations;
  for (const HandBlock& b : blocks) {
    locations.push_back({file.size(), static_cast<std::uint32_t>(b.stored.size())});
    util::put_u32_le(file, static_cast<std::uint32_t>(b.stored.size()));
    file += b.stored;
  }
  if (relocate) relocate(locations);
  const std::uint64_t index_offset = file.size();
  util::put_u32_le(file, static_cast<std::uint32_t>(blocks.size()));
  for (std::size_t i = 0; i < blocks.size(); ++i) {
    util::put_bytes(file, blocks[i].last_key);
    util::put_u64_le(file, locations[i].offset);
    util::put_u32_le(file, locations[i].size);
  }
  const std::uint64_t bloom_offset = file.size();
  std::vector<std::string_view> keys(bloom_keys.begin(), bloom_keys.end());
  file += BloomFilter::new_for_keys(keys, 10, kHasher).encode();
  util::put_u64_le(file, index_offset);
  util::put_u64_le(file, bloom_offset);
  util::put_u32_le(file, kTableFooterMagic);
  return file;
}

void write_bytes(const std::string& path, std::string_view bytes) {
  util::File f = util::File::open(path, O_WRONLY | O_CREAT | O_TRUNC).value();
  ASSERT_TRUE(f.write_all(bytes));
}

std::optional<std::uint64_t> found_ts(const TableLookup& l) {
  return l.found ? std::optional(l.found->commit_ts) : std::nullopt;
}

class SsTableReaderTest : public ::testing::Test {
 protected:
  SsTableReader build(const Entries& entries, std::uint64_t block_bytes = 512, const std::string& name = "t.sst") {
    const std::string path = dir_.file(name);
    auto built = build_sstable(path, entries, block_bytes, 10, kHasher);
    EXPECT_TRUE(built) << built.error().to_string();
    return open_ok(path);
  }

  SsTableReader from_bytes(std::string_view bytes, const std::string& name = "hand.sst") {
    write_bytes(dir_.file(name), bytes);
    return open_ok(dir_.file(name));
  }

  SsTableReader open_ok(const std::string& path) {
    auto r = SsTableReader::open(path);
    if (!r) ADD_FAILURE() << r.error().to_string();
    return std::move(r).value();
  }

  Result<TableLookup> lookup(const SsTableReader& r, std::string_view key, std::uint64_t snapshot = kMax,
                             std::optional<std::uint64_t> valid_at = std::nullopt) {
    return r.get_visible(key, snapshot, valid_at, kHasher, cache_, index_cache_);
  }

  // A user key absent from the file that its bloom filter lets through.
  std::string bloom_passing_absent_key(const SsTableReader& r, const std::string& stem) {
    for (int i = 0; i < 100000; ++i) {
      std::string k = stem + std::to_string(i);
      if (r.bloom().may_contain(k, kHasher)) return k;
    }
    ADD_FAILURE() << "no key passes the bloom filter";
    return {};
  }

  testing::TempDir dir_;
  BlockCache cache_{1 << 20};
  IndexCache index_cache_{1024};
};

TEST_F(SsTableReaderTest, OpenChecksTheFrameInOrder) {
  const std::string empty = assemble(2, {}, {});
  ASSERT_EQ(empty.size(), 53u);
  auto with = [&](std::size_t at, std::string_view bytes) {
    std::string f = empty;
    f.replace(at, bytes.size(), bytes);
    return f;
  };
  auto u64 = [](std::uint64_t v) {
    std::string s;
    util::put_u64_le(s, v);
    return s;
  };
  // Header, then an index block of bytes [12, 12 + n), then a 17-byte empty bloom block.
  auto with_index = [&](std::string index) {
    std::string f = empty.substr(0, 12) + index + empty.substr(16, 17);
    return f + u64(12) + u64(12 + index.size()) + "TFSQ";
  };
  std::string one_of_two_entries = "\x02\0\0\0"s;
  util::put_bytes(one_of_two_entries, "k");
  one_of_two_entries += u64(12) + "\x05\0\0\0"s;
  struct Case {
    const char* name;
    std::string bytes;
    std::string error;
  };
  const Case cases[] = {
      {"empty file", "", "sstable format error: sstable too short"},
      {"31 bytes", empty.substr(0, 31), "sstable format error: sstable too short"},
      {"bad header magic", with(0, "XTSQ"), "sstable format error: sstable bad magic"},
      {"version 3", with(4, "\x03"), "sstable format error: unsupported SSTable version: 3"},
      {"version 0", with(4, "\x00"s), "sstable format error: unsupported SSTable version: 0"},
      {"bad footer magic", with(49, "TFSX"), "sstable format error: footer magic mismatch"},
      {"index offset equals bloom offset", with(33, u64(16)), "sstable format error: footer offsets out of range"},
      {"bloom offset inside the footer", with(41, u64(34)), "sstable format error: footer offsets out of range"},
      {"index offset far past the end", with(33, u64(kMax)), "sstable format error: footer offsets out of range"},
      {"index block of 3 bytes", with_index("\0\0\0"s), "sstable format error: index block too short"},
      {"index announcing 2 entries, holding 1", with_index(one_of_two_entries), "invalid varint"},
      {"index key past the block", with_index("\x01\0\0\0\x40k"s), "sstable format error: index entry out of range"},
      {"index entry without its size", with_index("\x01\0\0\0\x01k"s + u64(12)),
       "sstable format error: index entry out of range"},
      {"bloom block of 8 bytes", empty.substr(0, 16) + std::string(8, '\0') + u64(12) + u64(16) + "TFSQ",
       "sstable format error: invalid bloom block encoding"},
  };
  for (const Case& c : cases) {
    write_bytes(dir_.file("bad.sst"), c.bytes);
    auto r = SsTableReader::open(dir_.file("bad.sst"));
    ASSERT_FALSE(r) << c.name;
    EXPECT_EQ(r.error().to_string(), c.error) << c.name;
  }
  auto missing = SsTableReader::open(dir_.file("missing.sst"));
  ASSERT_FALSE(missing);
  EXPECT_EQ(missing.error().kind(), ErrorKind::Io);
}

TEST_F(SsTableReaderTest, EmptyTableFindsNothing) {
  const SsTableReader r = build({});
  EXPECT_TRUE(r.index().empty());
  EXPECT_EQ(r.version(), 2u);
  for (const char* key : {"", "a", "zzz"}) EXPECT_EQ(lookup(r, key).value(), TableLookup{}) << key;
  EXPECT_TRUE(r.iter_all_entries().value().empty());
}

TEST_F(SsTableReaderTest, SnapshotAndValidTimePickTheVersion) {
  const SsTableReader r = build(sorted({version("j", 1, "j1"), version("k", 3, "k3", 0, 100),
                                        version("k", 8, "k8", 50, kMax), version("l", 2, "l2")}));
  struct Case {
    std::uint64_t snapshot;
    std::optional<std::uint64_t> valid_at;
    std::optional<std::uint64_t> ts;
  };
  const Case cases[] = {
      {kMax, std::nullopt, 8}, {8, std::nullopt, 8}, {7, std::nullopt, 3}, {5, std::nullopt, 3},
      {2, std::nullopt, std::nullopt}, {kMax, 10, 3},  {kMax, 60, 8},       {kMax, 100, 8},
      {5, 60, 3},              {5, 100, std::nullopt},
  };
  for (const Case& c : cases) {
    const TableLookup l = lookup(r, "k", c.snapshot, c.valid_at).value();
    EXPECT_TRUE(l.bloom_hit);
    EXPECT_EQ(l.sstable_block, 0u);
    EXPECT_EQ(found_ts(l), c.ts) << "snapshot " << c.snapshot << " valid_at " << c.valid_at.value_or(kMax);
    if (l.found) {
      EXPECT_EQ(l.found->doc, "k" + std::to_string(l.found->commit_ts));
    }
  }
}

TEST_F(SsTableReaderTest, VersionsSpanningBlocksReturnTheNewest) {
  Entries entries = {version("a", 1, std::string(200, 'a'))};
  for (std::uint64_t ts = 1; ts <= 5; ++ts) entries.push_back(version("k", ts, std::string(200, 'k')));
  entries.push_back(version("m", 1, std::string(200, 'm')));
  const SsTableReader r = build(entries);
  ASSERT_EQ(r.index().size(), 4u);  // [a k1] [k2 k3] [k4 k5] [m]
  TableLookup l = lookup(r, "k").value();
  EXPECT_EQ(found_ts(l), 5u);
  EXPECT_EQ(l.sstable_block, 0u);  // the first block of the key's range, though it was not read
  // The walk goes back from the block holding "m" and stops at the one holding the newest version.
  EXPECT_EQ(cache_.block_count(), 2u);
  EXPECT_EQ(found_ts(lookup(r, "k", 3).value()), 3u);
  EXPECT_EQ(lookup(r, "m").value().sstable_block, 3u);
}

// A key rewritten many times: a lookup reads the blocks of its newest versions at or below the
// snapshot, back to the first that holds one valid at the requested time, and no older ones.
TEST_F(SsTableReaderTest, ManyVersionsCostOnlyTheBlocksOfTheNewest) {
  Entries entries = {version("a", 1, "a")};
  for (std::uint64_t ts = 1; ts <= 40; ++ts) {
    // Versions 31 to 40 are valid from 1000 on only.
    entries.push_back(version("k", ts, std::string(300, 'k') + std::to_string(ts), ts > 30 ? 1000 : 0, kMax));
  }
  entries.push_back(version("k\0z"s, 7, "longer"));
  entries.push_back(version("m", 1, "m"));
  const SsTableReader r = build(sorted(entries));
  ASSERT_GE(r.index().size(), 40u);  // one version of "k" a block
  struct Case {
    std::uint64_t snapshot;
    std::optional<std::uint64_t> valid_at;
    std::optional<std::uint64_t> ts;
    std::size_t most_blocks;
  };
  const Case cases[] = {
      {kMax, std::nullopt, 40, 2}, {25, std::nullopt, 25, 2}, {1, std::nullopt, 1, 2},
      {0, std::nullopt, std::nullopt, 2},  // below every version: only the first block of the range
      {kMax, 5, 30, 12},                   // ten versions not valid at 5 are passed over on the way back
      {kMax, 1000, 40, 2},
  };
  for (const Case& c : cases) {
    BlockCache cache(1 << 20);
    const TableLookup l = r.get_visible("k", c.snapshot, c.valid_at, kHasher, cache, index_cache_).value();
    EXPECT_EQ(found_ts(l), c.ts) << c.snapshot;
    if (l.found) {
      EXPECT_EQ(l.found->doc, std::string(300, 'k') + std::to_string(*c.ts));
    }
    EXPECT_EQ(l.sstable_block, 0u);
    EXPECT_LE(cache.block_count(), c.most_blocks) << c.snapshot;
  }
  EXPECT_EQ(lookup(r, "k\0z"s).value().found, (VisibleVersion{7, "longer"}));
}

TEST_F(SsTableReaderTest, KeysTheFileDoesNotHold) {
  const SsTableReader r = build(sorted({version("b", 1, "b"), version("d", 1, "d"), version("f", 1, "f")}));
  const std::string between = bloom_passing_absent_key(r, "c");
  const TableLookup in_range = lookup(r, between).value();
  EXPECT_TRUE(in_range.bloom_hit);
  EXPECT_EQ(in_range.sstable_block, 0u);
  EXPECT_FALSE(in_range.found);

  const std::string above = bloom_passing_absent_key(r, "z");
  EXPECT_EQ(lookup(r, above).value(), (TableLookup{true, std::nullopt, std::nullopt}));

  std::string ruled_out;
  for (int i = 0; ruled_out.empty(); ++i)
    if (!r.bloom().may_contain("e" + std::to_string(i), kHasher)) ruled_out = "e" + std::to_string(i);
  BlockCache untouched(1 << 20);
  EXPECT_EQ(r.get_visible(ruled_out, kMax, std::nullopt, kHasher, untouched, index_cache_).value(), TableLookup{});
  EXPECT_EQ(untouched.block_count(), 0u);
}

// "a\0" is a user key of its own whose internal key sorts between those of "a"; it must neither
// hide the versions of "a" nor be taken for one.
TEST_F(SsTableReaderTest, UserKeysHoldingZeroBytesDoNotEndTheLookupEarly) {
  const SsTableReader r = build(sorted({version("a", 3, "a3"), version("a", 5, "a5"), version("a\0"s, 1, "nul"),
                                        version("a\0b"s, 9, "nulb"), version("b", 1, "b")}));
  const auto all = r.iter_all_entries().value();
  ASSERT_EQ(all[0].first, ledger::encode_internal_key("a\0"s, 1));  // sorts before "a"@3
  EXPECT_EQ(lookup(r, "a").value().found, (VisibleVersion{5, "a5"}));
  EXPECT_EQ(lookup(r, "a", 4).value().found, (VisibleVersion{3, "a3"}));
  EXPECT_EQ(lookup(r, "a\0"s).value().found, (VisibleVersion{1, "nul"}));
  EXPECT_EQ(lookup(r, "a\0b"s).value().found, (VisibleVersion{9, "nulb"}));
}

// Lookups against the memtable's answers for the same versions: short keys, keys holding 0x00,
// keys sharing their first 8 bytes or being prefixes of others, several versions per key, keys
// the file does not hold; small blocks so that a key's versions often cross a block boundary, and
// blocks large enough to take marks (which later lookups start from), whose keys share prefixes
// longer than some of the keys looked up.
TEST_F(SsTableReaderTest, LookupsAgreeWithTheMemtableOverManyKeys) {
  for (const std::uint64_t block_bytes : {512, 4096}) {
    std::mt19937_64 rng(11);
    auto random_key = [&] {
      static const std::vector<std::string> stems = {"", "a", "a\0"s, "users/00", "users/0001", "\xff"s};
      std::string key = stems[rng() % stems.size()];
      const std::size_t extra = rng() % 6;
      for (std::size_t i = 0; i < extra; ++i) key.push_back("\0\x01a\xff"[rng() % 4]);
      return key;
    };
    Memtable model;
    std::map<std::string, std::string> versions;
    for (int i = 0; i < 3000; ++i) {
      const std::uint64_t from = rng() % 50;
      auto [key, value] = version(random_key(), 1 + rng() % 200, "doc" + std::to_string(i), from, from + rng() % 50);
      versions[key] = value;
      model.insert(key, value);
    }
    const SsTableReader r =
        build(Entries(versions.begin(), versions.end()), block_bytes, "t" + std::to_string(block_bytes));
    ASSERT_GT(r.index().size(), block_bytes == 512 ? 20u : 5u);
    for (int i = 0; i < 6000; ++i) {
      const std::string key = random_key();
      const std::uint64_t snapshot = rng() % 220;
      const std::optional<std::uint64_t> valid_at = i % 2 ? std::optional(rng() % 100) : std::nullopt;
      const TableLookup got = lookup(r, key, snapshot, valid_at).value();
      EXPECT_EQ(got.found, model.visible_get(key, snapshot, valid_at).value()) << ::testing::PrintToString(key);
      // The first block examined is the first whose last key is at or above key ‖ 0x00.
      std::optional<std::uint64_t> first_block;
      for (std::size_t b = 0; got.bloom_hit && b < r.index().size() && !first_block; ++b) {
        if (r.index()[b].last_key >= key + '\0') first_block = b;
      }
      EXPECT_EQ(got.sstable_block, first_block) << ::testing::PrintToString(key);
    }
    // Keys in ascending order (repeated too), each lookup starting from what the previous one
    // left (its first block, the block it read last): the same answers.
    std::vector<std::string> ascending;
    for (int i = 0; i < 2000; ++i) ascending.push_back(random_key());
    std::sort(ascending.begin(), ascending.end());
    ProbeHint hint;
    for (const std::string& key : ascending) {
      const std::uint64_t snapshot = rng() % 220;
      const TableLookup alone = lookup(r, key, snapshot).value();
      const TableProbe got =
          r.probe_visible(key, BloomProbe::of(key, kHasher), snapshot, std::nullopt, cache_, &hint).value();
      EXPECT_EQ(got.sstable_block, alone.sstable_block) << ::testing::PrintToString(key);
      std::optional<VisibleVersion> found;
      if (got.version) found = VisibleVersion{got.version->commit_ts, std::string(got.version->doc)};
      EXPECT_EQ(found, alone.found) << ::testing::PrintToString(key);
    }
  }
}

TEST_F(SsTableReaderTest, LookupUsesTheCachedBlock) {
  const SsTableReader r = build({version("k", 1, "on disk")});
  ASSERT_EQ(r.index().size(), 1u);
  cache_.insert(r.cache_id(), r.index()[0].offset,
                std::make_shared<DecodedBlock>(raw_block_of({version("k", 1, "from cache")})));
  EXPECT_EQ(lookup(r, "k").value().found->doc, "from cache");
  BlockCache none(0);
  EXPECT_EQ(r.get_visible("k", kMax, std::nullopt, kHasher, none, index_cache_).value().found->doc, "on disk");
}

// A point lookup decompresses a block only as far as it walks it and caches that part; a lookup
// further on decodes more of the same cached block, and a scan or a whole read of it still sees
// every entry.
TEST_F(SsTableReaderTest, LookupsDecompressBlocksOnlyAsFarAsTheyRead) {
  Entries entries;
  for (int i = 0; i < 200; ++i) entries.push_back(version("k" + std::to_string(1000 + i), 1, std::string(60, 'a' + i % 26)));
  const SsTableReader r = build(entries, 1 << 20);  // one block
  ASSERT_EQ(r.index().size(), 1u);
  const std::size_t whole = r.read_block_data(r.index()[0].offset, r.index()[0].size).value().size();

  EXPECT_EQ(lookup(r, "k1000").value().found->doc, std::string(60, 'a'));
  const CachedBlock cached = cache_.get(r.cache_id(), r.index()[0].offset);
  ASSERT_NE(cached, nullptr);
  EXPECT_FALSE(cached->whole());
  const std::size_t first_part = cached->bytes().size();
  EXPECT_LT(first_part, whole / 4);
  EXPECT_EQ(cache_.used_bytes(), whole);  // the budget counts the whole block

  EXPECT_EQ(lookup(r, "k1100").value().found->doc, std::string(60, 'a' + 100 % 26));
  EXPECT_GT(cached->bytes().size(), first_part);
  EXPECT_FALSE(cached->whole());
  EXPECT_EQ(lookup(r, "k1199").value().found->doc, std::string(60, 'a' + 199 % 26));
  EXPECT_FALSE(lookup(r, "k2000").value().found.has_value());
  EXPECT_TRUE(cached->whole());
  EXPECT_EQ(cached->bytes(), r.read_block_data(r.index()[0].offset, r.index()[0].size).value());
  EXPECT_EQ(r.iter_all_entries().value(), entries);

  // The walks noted marks, each at the first entry kMarkSpacing bytes or more past the one before
  // (the 200 entries are of one size); lookups that start at them find every key, and keys between
  // them miss.
  EXPECT_GE(cached->mark_count(), whole / (DecodedBlock::kMarkSpacing + whole / 200) - 1);
  for (int i = 0; i < 200; ++i) {
    const std::string key = "k" + std::to_string(1000 + i);
    EXPECT_EQ(lookup(r, key).value().found->doc, std::string(60, static_cast<char>('a' + i % 26))) << key;
    EXPECT_FALSE(lookup(r, key + "5").value().found.has_value()) << key;
  }
}

// Once the cache is full, a block missed for the first time is decoded into memory of the lookup's
// own and not cached, and one missed again is; a version found either way stays valid while it is
// held, through the lookups after it.
TEST_F(SsTableReaderTest, BlocksMissedOnceAreNotCachedOverOthers) {
  Entries entries;
  for (int i = 0; i < 400; ++i) entries.push_back(version("k" + std::to_string(1000 + i), 1, std::string(100, 'a' + i % 26)));
  const SsTableReader r = build(entries, 4096);
  ASSERT_GE(r.index().size(), 8u);
  const auto& index = r.index();
  BlockCache cache(r.read_block_data(index[0].offset, index[0].size).value().size() + 100);  // one block
  // The key and document of the first entry of block b > 0.
  auto first_of = [&](std::size_t b) {
    const std::size_t i = static_cast<std::size_t>(
        std::partition_point(entries.begin(), entries.end(), [&](const Entry& e) { return e.first <= index[b - 1].last_key; }) -
        entries.begin());
    return std::pair{"k" + std::to_string(1000 + i), std::string(100, static_cast<char>('a' + i % 26))};
  };
  auto probe = [&](const std::string& key) {
    return r.probe_visible(key, BloomProbe::of(key, kHasher), kMax, std::nullopt, cache).value();
  };
  auto cached = [&](std::size_t b) { return cache.get(r.cache_id(), index[b].offset) != nullptr; };

  EXPECT_EQ(probe("k1000").version->doc, std::string(100, 'a'));
  EXPECT_TRUE(cached(0));
  const auto [key3, doc3] = first_of(3);
  const auto [key5, doc5] = first_of(5);
  const TableProbe in3 = probe(key3);
  EXPECT_FALSE(cached(3));
  const TableProbe in5 = probe(key5);
  EXPECT_FALSE(cached(5));
  const TableProbe in3_again = probe(key3);
  EXPECT_EQ(in3.version->doc, doc3);
  EXPECT_EQ(in5.version->doc, doc5);
  EXPECT_EQ(in3_again.version->doc, doc3);
  EXPECT_TRUE(cached(3));
  EXPECT_FALSE(cached(0));
  for (const auto& [key, value] : entries) {
    const std::string user_key = key.substr(0, 5);
    EXPECT_EQ(r.get_visible(user_key, kMax, std::nullopt, kHasher, cache, index_cache_).value().found->doc,
              ledger::read_fact_value(value).value().doc)
        << user_key;
  }
}

// Lookups from several threads on one cache extend the same blocks at once and all read right.
TEST_F(SsTableReaderTest, ConcurrentLookupsShareTheBlocksTheyDecode) {
  Entries entries;
  for (int i = 0; i < 3000; ++i) entries.push_back(version("key" + std::to_string(100000 + i), 1, "doc" + std::to_string(i)));
  const SsTableReader r = build(entries, 16384);
  BlockCache cache(64 * 1024);  // a few blocks: evictions while others still read them
  std::vector<std::thread> threads;
  std::atomic<int> wrong{0};
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      std::mt19937_64 rng(t);
      for (int n = 0; n < 3000; ++n) {
        const int i = static_cast<int>(rng() % 3000);
        auto got = r.get_visible("key" + std::to_string(100000 + i), kMax, std::nullopt, kHasher, cache, index_cache_);
        if (!got || !got->found || got->found->doc != "doc" + std::to_string(i)) ++wrong;
      }
    });
  }
  for (std::thread& t : threads) t.join();
  EXPECT_EQ(wrong.load(), 0);
}

// Damage in the part of a block that a lookup does not reach goes unnoticed by it; a lookup that
// reaches it fails as a whole read does.
TEST_F(SsTableReaderTest, DamageBeyondWhatALookupReadsIsNotSeenByIt) {
  Entries entries;
  for (int i = 0; i < 100; ++i) entries.push_back(version("k" + std::to_string(1000 + i), 1, std::string(60, 'a' + i % 26)));
  const std::string raw = raw_block_of(entries);
  std::string stored = lz4_stored(raw);
  stored.resize(stored.size() - 20);  // the stream's end cut off
  const SsTableReader r = from_bytes(assemble(2, {HandBlock{stored, entries.back().first}}, {"k1000", "k1099"}));
  EXPECT_EQ(lookup(r, "k1000").value().found->doc, std::string(60, 'a'));
  auto last = lookup(r, "k1099");
  ASSERT_FALSE(last);
  EXPECT_EQ(last.error(), r.iter_all_entries().error());
}

TEST_F(SsTableReaderTest, UncompressedVersionOneReadsLikeItsTwin) {
  const std::vector<Entries> blocks = {{version("a", 1, "a1"), version("a", 2, "a2")},
                                       {version("b", 1, "b1")},
                                       {version("c", 4, "c4"), version("d", 1, "d1")}};
  std::vector<HandBlock> v1, v2;
  Entries all;
  for (const Entries& b : blocks) {
    v1.push_back(hand_block(b, 1));
    v2.push_back(hand_block(b, 2));
    all.insert(all.end(), b.begin(), b.end());
  }
  const std::vector<std::string> keys = {"a", "a", "b", "c", "d"};
  const SsTableReader r1 = from_bytes(assemble(1, v1, keys), "v1.sst");
  const SsTableReader r2 = from_bytes(assemble(2, v2, keys), "v2.sst");
  EXPECT_EQ(r1.version(), 1u);
  EXPECT_EQ(r1.iter_all_entries().value(), all);
  EXPECT_EQ(r2.iter_all_entries().value(), all);
  for (const char* key : {"a", "b", "c", "d", "e"}) {
    EXPECT_EQ(lookup(r1, key).value(), lookup(r2, key).value()) << key;
  }
  EXPECT_EQ(found_ts(lookup(r1, "a").value()), 2u);
}

TEST_F(SsTableReaderTest, DamagedBlocksAreErrors) {
  const std::string raw = raw_block_of({version("k", 1, std::string(100, 'x'))});
  std::string real = lz4_stored(raw);
  auto stored_with_raw_len = [&](std::uint32_t u) {
    std::string s = real;
    util::store_u32_le(s.data(), u);
    return s;
  };
  std::string truncated_value = raw;
  truncated_value.pop_back();
  struct Case {
    const char* name;
    std::uint32_t version;
    std::string stored;
    std::string error_prefix;
  };
  const Case cases[] = {
      {"stored bytes shorter than 4", 2, "\x01\0"s, "sstable format error: LZ4 decompress error: "},
      {"garbage stream", 2, "\x40\0\0\0\xff\xff\xff\xff\xff"s, "sstable format error: LZ4 decompress error: "},
      {"raw length below the real output", 2, stored_with_raw_len(static_cast<std::uint32_t>(raw.size() - 1)),
       "sstable format error: LZ4 decompress error: "},
      {"raw length beyond any expansion", 2, stored_with_raw_len(0x7FFFFFFF), "sstable format error: LZ4 decompress error: "},
      {"raw length beyond the decompressor", 2, stored_with_raw_len(0xFFFFFFFF),
       "sstable format error: LZ4 decompress error: "},
      {"entry past the block", 1, truncated_value, "sstable format error: entry out of bounds"},
      {"entry length cut short", 1, "\x80"s, "invalid varint"},
  };
  for (const Case& c : cases) {
    const std::string file = assemble(c.version, {HandBlock{c.stored, ledger::encode_internal_key("k", 1)}}, {"k"});
    const SsTableReader r = from_bytes(file, "damaged.sst");
    auto entries = r.iter_all_entries();
    ASSERT_FALSE(entries) << c.name;
    EXPECT_TRUE(entries.error().to_string().starts_with(c.error_prefix)) << c.name << ": " << entries.error().to_string();
    auto looked_up = lookup(r, "k");
    ASSERT_FALSE(looked_up) << c.name;
    EXPECT_EQ(looked_up.error(), entries.error()) << c.name;
    BlockCache none(0);  // every block is read uncached
    auto uncached = r.get_visible("k", kMax, std::nullopt, kHasher, none, index_cache_);
    ASSERT_FALSE(uncached) << c.name;
    EXPECT_EQ(uncached.error(), entries.error()) << c.name;
    if (c.version == 2) {
      EXPECT_FALSE(r.read_block_data(r.index()[0].offset, r.index()[0].size)) << c.name;
    }
  }
}

TEST_F(SsTableReaderTest, BlockOutsideTheFile) {
  const std::vector<HandBlock> blocks = {hand_block({version("a", 1, "a")}, 2), hand_block({version("b", 1, "b")}, 2),
                                         hand_block({version("b", 2, "b2")}, 2)};
  struct Case {
    const char* name;
    Location third;
  };
  const Case cases[] = {{"offset past the end", {1u << 20, 10}},
                        {"size past the end", {12, 0xFFFFFFF0u}},
                        {"offset near 2^64", {kMax - 2, 8}}};
  for (const Case& c : cases) {
    const SsTableReader r = from_bytes(assemble(2, blocks, {"a", "b"}, [&](std::vector<Location>& l) { l[2] = c.third; }));
    EXPECT_EQ(found_ts(lookup(r, "a").value()), 1u) << c.name;
    // The versions of "b" continue into the third block; the lookup keeps what the second held.
    EXPECT_EQ(found_ts(lookup(r, "b").value()), 1u) << c.name;
    auto all = r.iter_all_entries();
    ASSERT_FALSE(all) << c.name;
    EXPECT_EQ(all.error().to_string(), "sstable format error: index offset out of range") << c.name;
    EXPECT_FALSE(r.read_block_data(r.index()[2].offset, r.index()[2].size)) << c.name;
  }
}

TEST_F(SsTableReaderTest, EntryWalkStartsAtTheLowerBoundAndStopsOnRequest) {
  Entries entries;
  for (char c = 'a'; c <= 'z'; ++c) entries.push_back(version(std::string(1, c), 1, std::string(100, c)));
  const SsTableReader r = build(entries);
  ASSERT_GT(r.index().size(), 5u);

  for (BlockCache* cache : {static_cast<BlockCache*>(nullptr), &cache_}) {
    std::string seen;
    ASSERT_TRUE(r.for_each_entry("m", cache, [&](std::string_view key, std::string_view) -> Result<bool> {
      seen.push_back(key[0]);
      return seen.size() < 5;
    }));
    EXPECT_EQ(seen, "mnopq");
  }
  EXPECT_GT(cache_.block_count(), 0u);
  EXPECT_LT(cache_.block_count(), r.index().size());  // blocks before "m" and after "q" were not read

  auto failed = r.for_each_entry({}, nullptr, [](std::string_view, std::string_view) -> Result<bool> {
    return fail(QuenlorError::not_found());
  });
  ASSERT_FALSE(failed);
  EXPECT_EQ(failed.error().kind(), ErrorKind::NotFound);

  Entries walked;
  ASSERT_TRUE(r.for_each_entry({}, &cache_, [&](std::string_view k, std::string_view v) -> Result<bool> {
    walked.emplace_back(k, v);
    return true;
  }));
  EXPECT_EQ(walked, entries);
}

TEST_F(SsTableReaderTest, ConcurrentLookupsThroughASmallCache) {
  Entries entries;
  for (int i = 0; i < 200; ++i) {
    char key[8];
    std::snprintf(key, sizeof key, "k%03d", i);
    for (std::uint64_t ts = 1; ts <= 3; ++ts) entries.push_back(version(key, ts, std::string(key) + "@" + std::to_string(ts)));
  }
  const SsTableReader r = build(entries);
  BlockCache small(2048);  // a few blocks: constant eviction
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      for (int n = 0; n < 2000; ++n) {
        const int i = (n * 13 + t * 7) % 200;
        char key[8];
        std::snprintf(key, sizeof key, "k%03d", i);
        const std::uint64_t snapshot = 1 + n % 3;
        auto l = r.get_visible(key, snapshot, std::nullopt, kHasher, small, index_cache_);
        ASSERT_TRUE(l);
        ASSERT_TRUE(l->found);
        ASSERT_EQ(l->found->doc, std::string(key) + "@" + std::to_string(snapshot));
      }
    });
  }
  for (std::thread& t : threads) t.join();
}

// Damage at every byte and every truncation of a real file yields errors, never a crash or a read
// outside the mapping (the sanitizer build checks the latter).
TEST_F(SsTableReaderTest, DamagedFilesNeverReadOutOfBounds) {
  Entries entries = sorted({version("a", 1, "x"), version("a", 2, std::string(150, 'y')), version("a\0"s, 3, "z"),
                            version("b", 1, std::string(300, 'b')), version("c", 7, "c"), version("d", 1, "d", 5, 9)});
  const std::string path = dir_.file("good.sst");
  ASSERT_TRUE(build_sstable(path, entries, 512, 10, kHasher));
  const std::string good = util::read_file(path).value();
  ASSERT_GE(build(entries).index().size(), 2u);

  std::size_t opened = 0, failed = 0;
  auto exercise = [&](const std::string& bytes) {
    write_bytes(dir_.file("bad.sst"), bytes);
    auto r = SsTableReader::open(dir_.file("bad.sst"));
    if (!r) {
      ++failed;
      return;
    }
    ++opened;
    BlockCache cache(1 << 16);
    for (const char* key : {"a", "b", "c", "d", "e", ""}) {
      (void)r->get_visible(key, kMax, 6, kHasher, cache, index_cache_);
    }
    (void)r->iter_all_entries();
    (void)r->for_each_entry("b", &cache, [](std::string_view, std::string_view) -> Result<bool> { return true; });
    for (const IndexEntry& e : r->index()) (void)r->read_block_data(e.offset, e.size);
  };
  for (std::size_t i = 0; i < good.size(); ++i) {
    for (unsigned char flip : {0x01, 0x80, 0xFF}) {
      std::string bad = good;
      bad[i] = static_cast<char>(bad[i] ^ flip);
      exercise(bad);
    }
  }
  for (std::size_t len = 0; len < good.size(); ++len) exercise(good.substr(0, len));
  EXPECT_GT(opened, 0u);
  EXPECT_GT(failed, 0u);
}

}  // namespace
}  // namespace quenlordb::storage
