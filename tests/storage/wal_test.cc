#include "storage/wal.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <zlib.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdint>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "ledger/internal_key.h"
#include "support/fault_hook.h"
#include "support/temp_dir.h"
#include "util/coding.h"
#include "util/file.h"

namespace quenlordb::storage {
namespace {

using ledger::FactWrite;
using util::FaultPhase;
using util::FileOp;

constexpr std::uint64_t kMax = UINT64_MAX;

FactWrite rec(std::string_view user_key, std::uint64_t ts, std::string_view doc,
              std::optional<std::uint64_t> write_tag = std::nullopt) {
  return FactWrite{std::nullopt, write_tag, ledger::encode_internal_key(user_key, ts),
                   ledger::FactValue{0, kMax, std::string(doc)}.encode()};
}

std::string from_hex(std::string_view hex) {
  std::string out;
  for (std::size_t i = 0; i + 1 < hex.size(); i += 2) out.push_back(static_cast<char>(std::stoi(std::string(hex.substr(i, 2)), nullptr, 16)));
  return out;
}

// A frame built by hand from its layout, independent of the encoder under test.
std::string raw_frame(std::uint32_t magic, std::string_view body, std::optional<std::uint32_t> len = std::nullopt) {
  std::string out;
  util::put_u32_le(out, magic);
  util::put_u32_le(out, len.value_or(static_cast<std::uint32_t>(body.size())));
  util::put_u32_le(out, static_cast<std::uint32_t>(::crc32(0L, reinterpret_cast<const Bytef*>(body.data()),
                                                           static_cast<uInt>(body.size()))));
  out.append(body);
  return out;
}

// A batch body: the count as given, then one length-prefixed payload per record.
std::string raw_batch_body(std::uint32_t count, const std::vector<FactWrite>& records) {
  std::string body;
  util::put_u32_le(body, count);
  for (const FactWrite& r : records) {
    util::put_u32_le(body, static_cast<std::uint32_t>(r.payload_size()));
    r.append_payload(body);
  }
  return body;
}

std::string single(const FactWrite& r) { return raw_frame(kWalFrameMagic, r.encode_payload()); }

void write_bytes(const std::string& path, std::string_view bytes) {
  util::File f = util::File::open(path, O_WRONLY | O_CREAT | O_TRUNC).value();
  ASSERT_TRUE(f.write_all(bytes));
}

std::string file_bytes(const std::string& path) { return util::read_file(path).value(); }

// Faults injected through the file layer, which a test changes as it goes, and the counts of calls
// made. Declared before the ScopedFaultHook(faults.rules()) that applies them.
struct Faults {
  std::atomic<int> data_syncs{0};       // successful data syncs
  std::atomic<int> write_calls{0};      // write(2) calls asked for
  std::atomic<int> fail_write_at{0};    // the write call (1-based) that fails with ENOSPC; 0: none
  std::atomic<std::size_t> short_write{0};  // when set, each write call writes at most this many bytes
  std::atomic<bool> fail_data_sync{false};
  std::atomic<bool> fail_truncate{false};

  std::vector<testing::FaultRule> rules() {
    return {
        {{FileOp::Write, FaultPhase::Before, ""},
         [this](std::size_t* len) {
           if (++write_calls == fail_write_at) return ENOSPC;
           if (const std::size_t s = short_write; s != 0) *len = std::min(*len, s);
           return 0;
         }},
        {{FileOp::DataSync, FaultPhase::Before, ""}, [this](std::size_t*) { return fail_data_sync ? EIO : 0; }},
        {{FileOp::DataSync, FaultPhase::After, ""},
         [this](std::size_t*) {
           ++data_syncs;
           return 0;
         }},
        {{FileOp::Truncate, FaultPhase::Before, ""}, [this](std::size_t*) { return fail_truncate ? EIO : 0; }},
    };
  }
};

class WalTest : public ::testing::Test {
 protected:
  Wal open_wal(std::uint64_t every_n = 128) { return Wal::open(path_, every_n).value(); }
  WalReplay replay() { return replay_wal(path_).value(); }

  testing::TempDir dir_;
  std::string path_ = dir_.file("shard-0.wal");
};

TEST_F(WalTest, GoldenFramesFromAppendAndFromTheSharedEncoder) {
  const std::string payload_kv = "0b6b00000000000000000100120000000000000000ffffffffffffffff0176";
  struct Case {
    const char* name;
    std::vector<FactWrite> records;
    std::string hex;
  };
  const Case cases[] = {
      {"single without tag", {rec("k", 1, "v")}, "4c41575120000000a251eeec" + payload_kv + "00"},
      {"single with write tag", {rec("k", 1, "v", 1)}, "4c415751210000000c9107af" + payload_kv + "0201"},
      {"two-record batch",
       {rec("a", 1, ""), rec("b", 2, "x", 1)},
       "434257514c000000ff1a4c61020000001f000000"
       "0b6100000000000000000100110000000000000000ffffffffffffffff0000"
       "210000000b6200000000000000000200120000000000000000ffffffffffffffff01780201"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string golden = from_hex(c.hex);
    std::string encoded;
    if (c.records.size() == 1) {
      const FactWrite& r = c.records[0];
      encoded = encode_wal_frame(r.key, r.value, r.write_tag).value();
    } else {
      ASSERT_TRUE(append_wal_batch_frame(encoded, c.records));
    }
    EXPECT_EQ(encoded, golden);

    // append (or append_batch, which for one record must write the same single frame) writes
    // exactly these bytes, and they replay to the records.
    for (int via_batch = 0; via_batch < 2; ++via_batch) {
      if (c.records.size() > 1 && via_batch == 0) continue;
      {
        Wal wal = open_wal();
        ASSERT_TRUE(wal.truncate());
        ASSERT_TRUE(via_batch ? wal.append_batch(c.records) : wal.append(c.records[0]));
      }
      EXPECT_EQ(file_bytes(path_), golden) << "via_batch " << via_batch;
      const WalReplay r = replay();
      EXPECT_EQ(r.records, c.records);
      EXPECT_EQ(r.intact_end, golden.size());
      EXPECT_FALSE(r.stopped_early);
    }
  }
}

TEST_F(WalTest, ReplayStopsAtDamagedTailAndCutBackKeepsLaterAppendsReachable) {
  const FactWrite a = rec("a", 1, "A"), b = rec("b", 2, "B", 1), c = rec("c", 3, "C");
  const FactWrite d = rec("d", 4, "D"), e = rec("e", 5, "E"), f = rec("f", 6, "F");
  const std::string good = single(a) + raw_frame(kWalBatchMagic, raw_batch_body(2, {b, c}));
  const std::vector<FactWrite> good_records = {a, b, c};
  const std::string next = single(d);
  std::string flipped = next;
  flipped[kWalHeaderBytes + 3] ^= 0x01;
  std::string overrun_body = raw_batch_body(2, {e, f});  // second entry's length runs past the body
  util::store_u32_le(overrun_body.data() + 4 + 4 + e.payload_size(), static_cast<std::uint32_t>(f.payload_size() + 1));

  struct Case {
    const char* name;
    std::string bytes;
    std::vector<FactWrite> records;
    std::uint64_t intact_end;
    bool stopped_early;
  };
  const Case cases[] = {
      {"empty file", "", {}, 0, false},
      {"intact frames only", good, good_records, good.size(), false},
      {"cut 5 bytes into a header", good + next.substr(0, 5), good_records, good.size(), true},
      {"cut inside a payload", good + next.substr(0, next.size() - 3), good_records, good.size(), true},
      {"one flipped payload byte", good + flipped + single(e), good_records, good.size(), true},
      {"length one over the limit", good + raw_frame(kWalFrameMagic, next.substr(12), kWalMaxBodyBytes + 1),
       good_records, good.size(), true},
      {"batch body under 4 bytes", good + raw_frame(kWalBatchMagic, "xy") + next, good_records, good.size(), true},
      {"batch count larger than its entries", good + raw_frame(kWalBatchMagic, raw_batch_body(3, {e, f})) + next,
       {a, b, c, e, f, d}, 0, false},
      {"batch entry running past the body", good + raw_frame(kWalBatchMagic, overrun_body) + next,
       {a, b, c, e, d}, 0, false},
  };
  const FactWrite later = rec("z", 9, "after reopen");
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    write_bytes(path_, c.bytes);
    const std::uint64_t intact_end = c.stopped_early ? c.intact_end : c.bytes.size();
    const WalReplay r = replay();
    EXPECT_EQ(r.records, c.records);
    EXPECT_EQ(r.intact_end, intact_end);
    EXPECT_EQ(r.stopped_early, c.stopped_early);
    EXPECT_EQ(file_bytes(path_), c.bytes) << "replay changed the file";

    // What the shard open does: cut a damaged tail off, then append; the new record is reachable.
    {
      Wal wal = open_wal();
      if (r.stopped_early) {
        ASSERT_TRUE(wal.cut_back(r.intact_end));
      }
      ASSERT_TRUE(wal.append(later));
    }
    std::vector<FactWrite> expected = c.records;
    expected.push_back(later);
    const WalReplay again = replay();
    EXPECT_EQ(again.records, expected);
    EXPECT_FALSE(again.stopped_early);
  }
}

TEST_F(WalTest, ReplayFailures) {
  const std::string good = single(rec("a", 1, "A"));
  struct Case {
    const char* name;
    std::string bytes;
    const char* error;
  };
  const Case cases[] = {
      {"zero magic after a good frame", good + std::string(12, '\0') + "junk", "wal magic mismatch"},
      {"single frame with an empty payload", good + from_hex("4c4157510000000000000000"), "invalid varint"},
      {"batch entry that does not decode", raw_frame(kWalBatchMagic, from_hex("01000000" "02000000" "05ff")),
       "invalid varint"},
  };
  for (const Case& c : cases) {
    write_bytes(path_, c.bytes);
    auto r = replay_wal(path_);
    ASSERT_FALSE(r) << c.name;
    EXPECT_EQ(r.error().to_string(), c.error) << c.name;
  }
  EXPECT_EQ(replay_wal(dir_.file("missing.wal")).error().os_error(), ENOENT);
  EXPECT_EQ(Wal::open(dir_.file("no-dir/shard-0.wal"), 1).error().os_error(), ENOENT);
}

// A record of exactly `payload` payload bytes.
FactWrite sized_record(std::string_view user_key, std::size_t payload) {
  FactWrite r{std::nullopt, std::nullopt, ledger::encode_internal_key(user_key, 1), {}};
  r.value.assign(payload - r.key.size() - 3, 'x');
  while (r.payload_size() > payload) r.value.pop_back();
  EXPECT_EQ(r.payload_size(), payload);
  return r;
}

TEST_F(WalTest, FramesUpToTheReplayLimitAreWrittenAndReadLargerOnesRefused) {
  const FactWrite small = rec("s", 1, "small");
  // A batch body is the count, then 4 length bytes before each payload.
  const std::size_t batch_overhead = kWalBatchCountBytes + 2 * kWalBatchEntryLengthBytes + small.payload_size();
  struct Case {
    const char* name;
    std::vector<FactWrite> records;
    bool accepted;
  };
  const Case cases[] = {
      {"single record of exactly the limit", {sized_record("k", kWalMaxBodyBytes)}, true},
      {"single record one over", {sized_record("k", kWalMaxBodyBytes + 1)}, false},
      {"batch body of exactly the limit", {small, sized_record("k", kWalMaxBodyBytes - batch_overhead)}, true},
      {"batch body one over", {small, sized_record("k", kWalMaxBodyBytes - batch_overhead + 1)}, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    {
      Wal wal = open_wal();
      ASSERT_TRUE(wal.truncate());
      ASSERT_TRUE(wal.append(small));
      const std::uint64_t before = util::file_size_if_exists(path_).value().value();
      auto r = wal.append_batch(c.records);
      ASSERT_EQ(r.has_value(), c.accepted);
      if (!c.accepted) {
        EXPECT_TRUE(r.error().to_string().starts_with("io error: record too large for the log (")) << r.error().to_string();
        EXPECT_TRUE(r.error().to_string().ends_with(" bytes; at most 67108864)")) << r.error().to_string();
        EXPECT_EQ(r.error().os_error(), EFBIG);
        EXPECT_EQ(util::file_size_if_exists(path_).value().value(), before);
        EXPECT_EQ(wal.pending(), 1u);
      }
    }
    std::vector<FactWrite> expected = {small};
    if (c.accepted) expected.insert(expected.end(), c.records.begin(), c.records.end());
    const WalReplay r = replay();
    EXPECT_FALSE(r.stopped_early);
    EXPECT_TRUE(r.records == expected) << r.records.size() << " records";
  }
}

TEST_F(WalTest, ReplaysALogSpanningManyReads) {
  // Frames of uneven sizes over several megabytes, so that headers and bodies straddle the
  // boundaries of replay's reads.
  std::vector<FactWrite> records;
  {
    Wal wal = open_wal();
    for (int i = 0; i < 4000; ++i) {
      records.push_back(rec("key" + std::to_string(i), i, std::string(100 + (i * 37) % 1500, 'a' + i % 26)));
      ASSERT_TRUE(wal.append(records.back()));
    }
  }
  const WalReplay r = replay();
  EXPECT_FALSE(r.stopped_early);
  EXPECT_EQ(r.intact_end, util::file_size_if_exists(path_).value().value());
  EXPECT_TRUE(r.records == records) << r.records.size() << " records";
}

TEST_F(WalTest, SyncCounting) {
  Faults faults;
  testing::ScopedFaultHook hook(faults.rules());
  const FactWrite r = rec("k", 1, "v");
  const std::vector<FactWrite> five(5, r);
  std::size_t written = 0;
  {
    Wal wal = open_wal(2);
    ASSERT_TRUE(wal.append(r));
    EXPECT_EQ(wal.pending(), 1u);
    EXPECT_EQ(faults.data_syncs, 0);
    ASSERT_TRUE(wal.append(r));
    EXPECT_EQ(wal.pending(), 0u);
    EXPECT_EQ(faults.data_syncs, 1);
    ASSERT_TRUE(wal.append_batch(five));
    EXPECT_EQ(wal.pending(), 0u);
    EXPECT_EQ(faults.data_syncs, 2);
    const int writes = faults.write_calls;
    ASSERT_TRUE(wal.append_batch({}));
    EXPECT_EQ(faults.write_calls, writes);
    written = 7;

    // A failed sync keeps the frame and the count, so the next append syncs again.
    ASSERT_TRUE(wal.append(r));
    faults.fail_data_sync = true;
    auto failed = wal.append(r);
    ASSERT_FALSE(failed);
    EXPECT_EQ(failed.error().os_error(), EIO);
    EXPECT_EQ(wal.pending(), 2u);
    faults.fail_data_sync = false;
    ASSERT_TRUE(wal.append(r));
    EXPECT_EQ(wal.pending(), 0u);
    written += 3;

    // A failed write counts nothing; sync() resets the count.
    faults.fail_write_at = faults.write_calls + 1;
    ASSERT_FALSE(wal.append(r));
    EXPECT_EQ(wal.pending(), 0u);
    ASSERT_TRUE(wal.append(r));
    EXPECT_EQ(wal.pending(), 1u);
    ASSERT_TRUE(wal.sync());
    EXPECT_EQ(wal.pending(), 0u);
    ASSERT_TRUE(wal.append(r));
    written += 2;
    faults.data_syncs = 0;
  }
  EXPECT_EQ(faults.data_syncs, 1) << "destruction syncs";
  EXPECT_EQ(replay().records.size(), written);
}

TEST_F(WalTest, TruncateEmptiesTheLogAndTheNextFrameLandsAtOffsetZero) {
  Wal wal = open_wal(2);
  ASSERT_TRUE(wal.append(rec("a", 1, "A")));
  ASSERT_TRUE(wal.append_batch(std::vector{rec("b", 2, "B"), rec("c", 3, "C")}));
  util::File other = open_wal_file(path_).value();
  ASSERT_TRUE(append_wal_frames(other, *wal.shared_lock(), encode_wal_frame("x", "other writer", 1).value()));
  ASSERT_TRUE(wal.append(rec("d", 4, "D")));
  ASSERT_EQ(wal.pending(), 1u);

  ASSERT_TRUE(wal.truncate());
  EXPECT_EQ(wal.pending(), 0u);
  EXPECT_EQ(file_bytes(path_), "");
  const FactWrite e = rec("e", 5, "E");
  ASSERT_TRUE(wal.append(e));
  EXPECT_EQ(file_bytes(path_), single(e));
}

TEST_F(WalTest, FailedAppendIsCutBackBeforeAnythingElseIsWritten) {
  Faults faults;
  testing::ScopedFaultHook hook(faults.rules());
  const FactWrite a = rec("a", 1, "A"), b = rec("b", 2, "B"), c = rec("c", 3, "C");
  Wal wal = open_wal();
  ASSERT_TRUE(wal.append(a));

  // The frame's first write call writes 5 bytes, the retry fails: the 5 bytes are cut off again.
  faults.short_write = 5;
  faults.fail_write_at = faults.write_calls + 2;
  auto failed = wal.append(b);
  ASSERT_FALSE(failed);
  EXPECT_EQ(failed.error().to_string(), "io error: No space left on device (os error 28)");
  EXPECT_EQ(file_bytes(path_), single(a));
  faults.short_write = 0;
  ASSERT_TRUE(wal.append(c));
  EXPECT_EQ(replay().records, (std::vector{a, c}));

  // When the cut itself fails, the torn bytes stay until the next append on the same lock, from
  // any writer, cuts them first; while the cut keeps failing, nothing is appended behind them.
  const std::string intact = file_bytes(path_);
  faults.short_write = 5;
  faults.fail_write_at = faults.write_calls + 2;
  faults.fail_truncate = true;
  ASSERT_FALSE(wal.append(b));
  EXPECT_EQ(file_bytes(path_).size(), intact.size() + 5);
  faults.short_write = 0;
  ASSERT_FALSE(wal.append(b));
  EXPECT_EQ(file_bytes(path_).size(), intact.size() + 5);
  faults.fail_truncate = false;
  util::File other = open_wal_file(path_).value();
  const FactWrite d = rec("d", 4, "D", 1);
  ASSERT_TRUE(append_wal_frames(other, *wal.shared_lock(), encode_wal_frame(d.key, d.value, d.write_tag).value()));
  const WalReplay r = replay();
  EXPECT_EQ(r.records, (std::vector{a, c, d}));
  EXPECT_FALSE(r.stopped_early);
}

// Whatever changed the file last (either writer, a truncation, a cut-back), a failed append of
// either writer cuts the file back to exactly its length just before that append.
TEST_F(WalTest, FailedAppendAfterAnyChangeCutsBackToTheLengthJustBefore) {
  Faults faults;
  testing::ScopedFaultHook hook(faults.rules());
  Wal wal = open_wal();
  util::File other = open_wal_file(path_).value();
  auto other_append = [&](const FactWrite& r) {
    return append_wal_frames(other, *wal.shared_lock(), encode_wal_frame(r.key, r.value, r.write_tag).value());
  };
  std::uint64_t first_frame_end = 0;
  const std::vector<std::pair<const char*, std::function<void()>>> changes = {
      {"append", [&] { ASSERT_TRUE(wal.append(rec("a", 1, "A"))); }},
      {"other writer", [&] { ASSERT_TRUE(other_append(rec("b", 2, "B", 1))); }},
      {"truncate", [&] { ASSERT_TRUE(wal.truncate()); }},
      {"batch", [&] { ASSERT_TRUE(wal.append_batch(std::vector{rec("c", 3, "C"), rec("d", 4, "D")})); }},
      {"cut back",
       [&] {
         first_frame_end = file_bytes(path_).size();
         ASSERT_TRUE(wal.append(rec("e", 5, "E")));
         ASSERT_TRUE(wal.cut_back(first_frame_end));
       }},
  };
  for (const auto& [name, change] : changes) {
    for (bool by_other : {false, true}) {
      change();
      const std::string before = file_bytes(path_);
      faults.short_write = 5;
      faults.fail_write_at = faults.write_calls + 2;
      const FactWrite torn = rec("torn", 9, "never whole");
      EXPECT_FALSE(by_other ? other_append(torn) : wal.append(torn)) << name;
      faults.short_write = 0;
      EXPECT_EQ(file_bytes(path_), before) << name << (by_other ? ", failed by the other writer" : "");
    }
  }
  EXPECT_EQ(file_bytes(path_).size(), first_frame_end);
}

TEST_F(WalTest, TwoWritersSharingTheLockWriteOnlyWholeFrames) {
  Faults faults;
  testing::ScopedFaultHook hook(faults.rules());
  faults.short_write = 7;  // every frame takes several write calls, which would interleave unlocked
  Wal wal = open_wal(64);
  util::File other = open_wal_file(path_).value();
  constexpr int kRounds = 150;
  auto key_of = [](char writer, int i) { return std::string(1, writer) + std::to_string(i); };

  std::thread shard_thread([&] {
    for (int i = 0; i < kRounds; ++i) {
      const FactWrite r = rec(key_of('s', 2 * i), 1, "shard thread record");
      ASSERT_TRUE(wal.append(r));
      ASSERT_TRUE(wal.append_batch(std::vector{rec(key_of('s', 2 * i + 1), 1, "batched"), r}));
    }
  });
  std::thread group_commit([&] {
    for (int i = 0; i < kRounds; ++i) {
      std::string frames;  // several queued frames written in one go
      for (int j = 0; j < 3; ++j) frames += encode_wal_frame(ledger::encode_internal_key(key_of('g', 3 * i + j), 2),
                                                             "group commit record", 1).value();
      ASSERT_TRUE(append_wal_frames(other, *wal.shared_lock(), frames));
    }
  });
  shard_thread.join();
  group_commit.join();

  const WalReplay r = replay();
  EXPECT_FALSE(r.stopped_early);
  ASSERT_EQ(r.records.size(), static_cast<std::size_t>(kRounds * 3 * 2));
  int next_s = 0, next_g = 0;
  for (const FactWrite& w : r.records) {
    const std::string user_key(ledger::decode_internal_key(w.key).value().user_key);
    if (user_key[0] == 'g') {
      EXPECT_EQ(user_key, key_of('g', next_g++));
      EXPECT_EQ(w.write_tag, 1u);
    } else if (user_key == key_of('s', next_s)) {
      ++next_s;
    } else {
      EXPECT_EQ(user_key, key_of('s', next_s - 2)) << "the repeated record of a batch";
    }
  }
  EXPECT_EQ(next_g, kRounds * 3);
  EXPECT_EQ(next_s, kRounds * 2);
}

// The reserve: claims come out of it; appends without a claim take from it once the disk is full,
// and fail before writing anything when it holds too little; a cut allocates again for the claims.
TEST_F(WalTest, ReserveBacksClaimsAndAppendsWithoutClaimsKeepItWhole) {
  util::File file = open_wal_file(path_).value();
  auto shared_lock = std::make_shared<WalLock>();
  WalLock& lock = *shared_lock;
  EXPECT_FALSE(lock.claim(1));  // nothing is claimable before the reserve is activated
  ASSERT_TRUE(top_up_wal_reserve(file, lock, 4096));
  EXPECT_TRUE(lock.reserving.load());
  EXPECT_EQ(lock.claimable.load(), 4096u);
  EXPECT_FALSE(lock.claim(5000));
  ASSERT_TRUE(lock.claim(1000));
  EXPECT_EQ(lock.claimable.load(), 3096u);
  EXPECT_EQ(lock.claimed.load(), 1000u);

  // Written, the claimed frames end their claims.
  ASSERT_TRUE(append_wal_frames(file, lock, std::string(1000, 'c'), 1000));
  EXPECT_EQ(lock.claimed.load(), 0u);
  ASSERT_TRUE(lock.claim(500));
  {
    // The disk is full: an append without a claim takes what the reserve could still hand out.
    testing::ScopedFaultHook full({testing::FaultRule::fail_every({FileOp::Allocate, FaultPhase::Before, ".wal"}, ENOSPC)});
    ASSERT_TRUE(append_wal_frames(file, lock, std::string(100, 'u')));
    EXPECT_LE(lock.claimable.load(), 2496u);
    auto refused = append_wal_frames(file, lock, std::string(4000, 'u'));
    ASSERT_FALSE(refused);
    EXPECT_EQ(refused.error().os_error(), ENOSPC);
    EXPECT_EQ(file.size().value(), 1100u);  // nothing of it was written
    EXPECT_EQ(lock.claimed.load(), 500u);   // the claim is untouched
  }
  // A cut frees the space past it; what is claimed and claimable is allocated again.
  Wal wal = Wal::open(path_, 128, shared_lock).value();
  ASSERT_TRUE(wal.truncate());
  EXPECT_EQ(lock.allocated_end, lock.claimed.load() + lock.claimable.load());
  EXPECT_EQ(lock.claimed.load(), 500u);
}

}  // namespace
}  // namespace quenlordb::storage
