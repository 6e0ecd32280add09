#include "storage/sstable_writer.h"

#include <gtest/gtest.h>
#include <lz4.h>
#include <sys/mman.h>

#include <cerrno>
#include <filesystem>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "ledger/internal_key.h"
#include "storage/bloom.h"
#include "support/fault_hook.h"
#include "support/temp_dir.h"
#include "util/coding.h"
#include "util/file.h"
#include "util/varint.h"

namespace quenlordb::storage {
namespace {

using namespace std::string_literals;
using Entry = std::pair<std::string, std::string>;

const FnvMixHasher kHasher;

// A table file taken apart without the reader: every block decompressed with plain LZ4.
struct ParsedTable {
  struct Block {
    std::uint64_t offset;
    std::uint32_t size;
    std::string last_key;
    std::vector<Entry> entries;
  };
  std::uint32_t block_bytes = 0;
  std::uint64_t index_offset = 0;
  std::vector<Block> blocks;
  BloomFilter bloom;
};

void parse_table(const std::string& file, ParsedTable& out) {
  ASSERT_GE(file.size(), 32u);
  EXPECT_EQ(file.substr(0, 8), "BTSQ\x02\0\0\0"s);
  out.block_bytes = util::load_u32_le(file.data() + 8);
  EXPECT_EQ(file.substr(file.size() - 4), "TFSQ");
  out.index_offset = util::load_u64_le(file.data() + file.size() - 20);
  const std::uint64_t bloom_offset = util::load_u64_le(file.data() + file.size() - 12);
  ASSERT_LT(out.index_offset, bloom_offset);
  ASSERT_LE(bloom_offset, file.size() - 20);

  const std::string index = file.substr(out.index_offset, bloom_offset - out.index_offset);
  const std::uint32_t count = util::load_u32_le(index.data());
  std::size_t pos = 4;
  for (std::uint32_t i = 0; i < count; ++i) {
    ParsedTable::Block b;
    b.last_key = util::decode_bytes(index, pos).value();
    ASSERT_LE(pos + 12, index.size());
    b.offset = util::load_u64_le(index.data() + pos);
    b.size = util::load_u32_le(index.data() + pos + 8);
    pos += 12;
    ASSERT_LE(b.offset + 4 + b.size, out.index_offset);
    EXPECT_EQ(util::load_u32_le(file.data() + b.offset), b.size);
    const char* stored = file.data() + b.offset + 4;
    const std::uint32_t raw_len = util::load_u32_le(stored);
    std::string raw(raw_len, '\0');
    const int n = LZ4_decompress_safe(stored + 4, raw.data(), static_cast<int>(b.size - 4), static_cast<int>(raw_len));
    ASSERT_EQ(n, static_cast<int>(raw_len)) << "block " << i;
    std::size_t p = 0;
    while (p < raw.size()) {
      const std::uint64_t k = util::get_varint(raw, p).value();
      const std::uint64_t v = util::get_varint(raw, p).value();
      ASSERT_LE(p + k + v, raw.size());
      b.entries.emplace_back(raw.substr(p, k), raw.substr(p + k, v));
      p += k + v;
    }
    out.blocks.push_back(std::move(b));
  }
  EXPECT_EQ(pos, index.size());
  std::optional<BloomFilter> bloom =
      BloomFilter::decode(std::string_view(file).substr(bloom_offset, file.size() - 20 - bloom_offset));
  ASSERT_TRUE(bloom);
  out.bloom = std::move(*bloom);
}

// An entry whose encoded length (two varints, key, value) is exactly `encoded` bytes.
Entry entry_of_size(int i, std::size_t encoded) {
  char user_key[8];
  std::snprintf(user_key, sizeof user_key, "k%04d", i);
  std::string key = ledger::encode_internal_key(user_key, 1);
  std::size_t value_len = encoded - 1 - key.size() - 1;
  if (value_len >= 128) --value_len;
  return {std::move(key), std::string(value_len, static_cast<char>('a' + i % 26))};
}

class SsTableWriterTest : public ::testing::Test {
 protected:
  ParsedTable build_and_parse(const std::vector<Entry>& entries, std::uint64_t block_bytes = 16384,
                              std::uint64_t bits_per_key = 10) {
    const std::string path = dir_.file("t.sst");
    std::filesystem::remove(path);
    auto built = build_sstable(path, entries, block_bytes, bits_per_key, kHasher);
    EXPECT_TRUE(built) << built.error().to_string();
    if (built) {
      EXPECT_EQ(built->path, path);
      EXPECT_EQ(built->entry_count, entries.size());
    }
    ParsedTable parsed;
    parse_table(util::read_file(path).value(), parsed);
    return parsed;
  }

  testing::TempDir dir_;
};

TEST_F(SsTableWriterTest, EmptyTableGoldenBytes) {
  const std::string path = dir_.file("empty.sst");
  ASSERT_TRUE(build_sstable(path, std::vector<Entry>{}, 16384, 10, kHasher));
  const std::string expected =
      "BTSQ" "\x02\0\0\0"s "\x00\x40\0\0"s   // header: magic, version 2, block_bytes 16384
      "\0\0\0\0"s                            // index: no blocks
      "\x40\0\0\0"s "\x07" "\x08\0\0\0"s     // bloom: 64 bits, 7 probes, 8 bitmap bytes
      + std::string(8, '\0') +
      "\x0c\0\0\0\0\0\0\0"s "\x10\0\0\0\0\0\0\0"s "TFSQ";  // footer: index at 12, bloom at 16
  EXPECT_EQ(util::read_file(path).value(), expected);
}

TEST_F(SsTableWriterTest, BlockCutRule) {
  struct Case {
    const char* name;
    std::vector<std::size_t> entry_sizes;
    std::vector<std::size_t> per_block;
  };
  const Case cases[] = {
      {"200-byte entries go two to a block", {200, 200, 200, 200, 200}, {2, 2, 1}},
      {"two 256-byte entries fill 512 exactly", {256, 256, 256, 256}, {2, 2}},
      {"a 600-byte entry sits alone", {600, 200, 200, 600}, {1, 2, 1}},
  };
  for (const Case& c : cases) {
    std::vector<Entry> entries;
    for (std::size_t i = 0; i < c.entry_sizes.size(); ++i) entries.push_back(entry_of_size(static_cast<int>(i), c.entry_sizes[i]));
    const ParsedTable t = build_and_parse(entries, 512);
    EXPECT_EQ(t.block_bytes, 512u);
    std::vector<std::size_t> per_block;
    std::vector<Entry> read_back;
    for (const auto& b : t.blocks) {
      per_block.push_back(b.entries.size());
      EXPECT_EQ(b.last_key, b.entries.back().first) << c.name;
      read_back.insert(read_back.end(), b.entries.begin(), b.entries.end());
    }
    EXPECT_EQ(per_block, c.per_block) << c.name;
    EXPECT_EQ(read_back, entries) << c.name;
  }
}

TEST_F(SsTableWriterTest, IndexOffsetsChainFromTheHeader) {
  std::vector<Entry> entries;
  for (int i = 0; i < 300; ++i) entries.push_back(entry_of_size(i, 90 + i % 50));
  const ParsedTable t = build_and_parse(entries, 1024);
  ASSERT_GT(t.blocks.size(), 10u);
  std::uint64_t expected = 12;
  for (const auto& b : t.blocks) {
    EXPECT_EQ(b.offset, expected);
    expected = b.offset + 4 + b.size;
  }
  EXPECT_EQ(t.index_offset, expected);
}

TEST_F(SsTableWriterTest, BloomHoldsOneUserKeyPerDecodableEntry) {
  std::vector<Entry> entries = {
      {"short"s, "v0"},  // not an internal key: written, left out of the bloom filter
      {ledger::encode_internal_key("dup", 1), "v1"},
      {ledger::encode_internal_key("dup", 2), "v2"},
      {ledger::encode_internal_key("dup", 3), "v3"},
  };
  const ParsedTable t = build_and_parse(entries, 16384, 30);
  EXPECT_EQ(t.bloom.num_bits(), 90u);  // three versions of one key, sized for three keys
  EXPECT_TRUE(t.bloom.may_contain("dup", kHasher));
  ASSERT_EQ(t.blocks.size(), 1u);
  EXPECT_EQ(t.blocks[0].entries, entries);
}

TEST_F(SsTableWriterTest, TakesMapsAndViews) {
  std::map<std::string, std::string, std::less<>> sorted = {{ledger::encode_internal_key("a", 1), "x"},
                                                            {ledger::encode_internal_key("b", 1), "y"}};
  ASSERT_TRUE(build_sstable(dir_.file("map.sst"), sorted, 512, 10, kHasher));
  std::vector<std::pair<std::string_view, std::string_view>> views(sorted.begin(), sorted.end());
  ASSERT_TRUE(build_sstable(dir_.file("views.sst"), views, 512, 10, kHasher));
  EXPECT_EQ(util::read_file(dir_.file("map.sst")).value(), util::read_file(dir_.file("views.sst")).value());
}

TEST_F(SsTableWriterTest, FileSystemFailuresAreIoErrors) {
  std::vector<Entry> entries;
  for (int i = 0; i < 50; ++i) entries.push_back(entry_of_size(i, 300));
  for (util::FileOp op : {util::FileOp::Open, util::FileOp::Write, util::FileOp::DataSync}) {
    std::filesystem::remove(dir_.file("t.sst"));
    testing::ScopedFaultHook hook({testing::FaultRule::fail_every({op, util::FaultPhase::Before, ""}, ENOSPC)});
    auto built = build_sstable(dir_.file("t.sst"), entries, 512, 10, kHasher);
    ASSERT_FALSE(built) << util::file_op_name(op);
    EXPECT_EQ(built.error().kind(), ErrorKind::Io);
    EXPECT_EQ(built.error().os_error(), ENOSPC);
  }

  auto missing_dir = build_sstable(dir_.file("no/such/dir.sst"), entries, 512, 10, kHasher);
  ASSERT_FALSE(missing_dir);
  EXPECT_EQ(missing_dir.error().os_error(), ENOENT);
}

// A table file is never written over: a reader may have it mapped, and the manifest may name it.
TEST_F(SsTableWriterTest, AnExistingFileIsNeverReplaced) {
  const std::string path = dir_.file("l0-1.sst");
  ASSERT_TRUE(build_sstable(path, std::vector<Entry>{entry_of_size(0, 100)}, 512, 10, kHasher));
  const std::string before = util::read_file(path).value();
  auto again = build_sstable(path, std::vector<Entry>{entry_of_size(1, 200)}, 512, 10, kHasher);
  ASSERT_FALSE(again);
  EXPECT_EQ(again.error().to_string(), "io error: File exists (os error 17)");
  EXPECT_EQ(util::read_file(path).value(), before);
}

// An entry that no block of the format can hold is refused before it is written. The value is an
// untouched anonymous mapping, so the test costs no memory.
TEST_F(SsTableWriterTest, RefusesAnEntryLargerThanTheFormatHolds) {
  const std::size_t huge = kMaxRawBlockBytes;
  void* mem = ::mmap(nullptr, huge, PROT_READ, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
  ASSERT_NE(mem, MAP_FAILED);
  auto builder = SsTableBuilder::create(dir_.file("t.sst"), 16384, 10, kHasher);
  ASSERT_TRUE(builder);
  ASSERT_TRUE(builder->add(ledger::encode_internal_key("a", 1), "small"));
  auto refused = builder->add(ledger::encode_internal_key("b", 1), std::string_view(static_cast<const char*>(mem), huge));
  ::munmap(mem, huge);
  ASSERT_FALSE(refused);
  EXPECT_EQ(refused.error().to_string(), "io error: File too large (os error 27)");
  EXPECT_EQ(builder->entry_count(), 1u);
}

}  // namespace
}  // namespace quenlordb::storage
