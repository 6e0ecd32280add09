#include "storage/lz4_block.h"

#include <gtest/gtest.h>
#include <lz4.h>

#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <vector>

namespace quenlordb::storage {
namespace {

std::string compress(const std::string& raw) {
  std::string out(static_cast<std::size_t>(LZ4_compressBound(static_cast<int>(raw.size()))), '\0');
  const int n = LZ4_compress_default(raw.data(), out.data(), static_cast<int>(raw.size()), static_cast<int>(out.size()));
  out.resize(static_cast<std::size_t>(n));
  return out;
}

// Inputs that LZ4 compresses in every way: runs with periods 1 to 20 (matches that overlap what
// they copy), text with repeats far apart, literal runs of every length class, incompressible bytes.
std::vector<std::string> samples() {
  std::mt19937_64 rng(3);
  std::vector<std::string> out = {"", "a", "abcd", std::string(300, 'x')};
  for (std::size_t period = 1; period <= 20; ++period) {
    std::string s;
    for (std::size_t i = 0; i < 700; ++i) s.push_back(static_cast<char>('a' + i % period));
    out.push_back("head-" + s + "-tail" + std::string(40, 'z'));
  }
  std::string json;
  for (int i = 0; i < 400; ++i)
    json += "{\"id\":" + std::to_string(i) + ",\"name\":\"user-" + std::to_string(i * 7919 % 1000) +
            "\",\"status\":\"active\",\"tags\":[\"a\",\"b\"]}";
  out.push_back(json);
  std::string random(5000, '\0');
  for (char& c : random) c = static_cast<char>(rng());
  out.push_back(random);
  std::string mixed;
  for (int i = 0; i < 60; ++i) mixed += random.substr(rng() % 4000, rng() % 300) + json.substr(rng() % 10000, rng() % 500);
  out.push_back(mixed);
  return out;
}

// An output buffer of exactly capacity plus the slack, so that the sanitizer sees any write past it.
std::unique_ptr<char[]> output(std::size_t capacity) { return std::make_unique<char[]>(capacity + Lz4BlockDecoder::kSlack); }

// Valid streams decode to the original bytes whatever steps the decoding takes, each step ending
// on a sequence at or past what it asked for, and a decoder made from a stopped one goes on.
TEST(Lz4BlockTest, DecodesValidStreamsInAnySteps) {
  for (const std::string& raw : samples()) {
    const std::string stream = compress(raw);
    for (const std::size_t step : {std::size_t{1}, std::size_t{7}, std::size_t{100}, std::size_t{1024}, raw.size() + 1}) {
      SCOPED_TRACE("raw " + std::to_string(raw.size()) + " step " + std::to_string(step));
      auto out = output(raw.size());
      std::size_t consumed = 0;
      std::size_t produced = 0;
      bool finished = false;
      while (!finished) {
        // A new decoder for each step, as a cached block goes on from where the last one stopped.
        Lz4BlockDecoder d(stream, consumed, out.get(), produced, raw.size());
        const std::size_t want = produced + step;
        ASSERT_TRUE(d.decode_until(want));
        ASSERT_TRUE(d.finished() || d.produced() >= std::min(want, raw.size()));
        ASSERT_EQ(std::string_view(out.get(), d.produced()), std::string_view(raw).substr(0, d.produced()));
        consumed = d.consumed();
        produced = d.produced();
        finished = d.finished();
      }
      EXPECT_EQ(produced, raw.size());
      EXPECT_EQ(consumed, stream.size());
    }
  }
}

// Damaged streams (bytes changed, cut, appended, and random garbage) never make the decoder read or
// write out of bounds, and whatever it accepts the reference decoder accepts with the same bytes.
TEST(Lz4BlockTest, IsNeverMoreLenientThanTheReferenceDecoder) {
  std::mt19937_64 rng(9);
  std::vector<std::string> streams;
  std::vector<std::size_t> capacities;
  for (const std::string& raw : samples()) {
    const std::string stream = compress(raw);
    for (int i = 0; i < 150; ++i) {
      std::string damaged = stream;
      switch (rng() % 4) {
        case 0:
          if (!damaged.empty()) damaged[rng() % damaged.size()] = static_cast<char>(rng());
          break;
        case 1:
          damaged.resize(rng() % (damaged.size() + 1));
          break;
        case 2:
          damaged.push_back(static_cast<char>(rng()));
          break;
        default:
          for (int j = 0; j < 3 && !damaged.empty(); ++j) damaged[rng() % damaged.size()] ^= static_cast<char>(1 << (rng() % 8));
      }
      streams.push_back(damaged);
      // The recorded raw length, right or a little off.
      const std::size_t off = rng() % 3;
      capacities.push_back(off == 0 ? raw.size() : off == 1 ? raw.size() + rng() % 20 : raw.size() - std::min(raw.size(), rng() % 20));
    }
  }
  for (int i = 0; i < 2000; ++i) {
    std::string garbage(rng() % 64, '\0');
    for (char& c : garbage) c = static_cast<char>(rng());
    streams.push_back(garbage);
    capacities.push_back(rng() % 200);
  }
  int accepted = 0;
  for (std::size_t i = 0; i < streams.size(); ++i) {
    const std::size_t capacity = capacities[i];
    // The input in a buffer of its exact size, so that the sanitizer sees any read past it.
    auto in = std::make_unique<char[]>(streams[i].size() + 1);
    std::memcpy(in.get(), streams[i].data(), streams[i].size());
    const std::string_view stream(in.get(), streams[i].size());
    auto ours = output(capacity);
    Lz4BlockDecoder d(stream, 0, ours.get(), 0, capacity);
    const Result<void> r = d.decode_until(capacity + 1);
    if (!r) {
      EXPECT_TRUE(r.error().to_string().starts_with("sstable format error: LZ4 decompress error: ")) << i;
      continue;
    }
    // Decoding to the end, the stream is finished or the output is full.
    if (!d.finished()) continue;
    ++accepted;
    std::vector<char> reference(capacity + 1);
    const int n = LZ4_decompress_safe(stream.data(), reference.data(), static_cast<int>(stream.size()),
                                      static_cast<int>(capacity));
    ASSERT_EQ(n, static_cast<int>(d.produced())) << "stream " << i;
    ASSERT_EQ(std::memcmp(reference.data(), ours.get(), d.produced()), 0) << "stream " << i;
  }
  EXPECT_GT(accepted, 100);
}

// An offset of 0 (which the reference decoder lets through), one reaching before the output's start
// and sequences too near an end are refused; a zero raw length takes only the one-token stream.
TEST(Lz4BlockTest, RefusesWhatTheFormatForbids) {
  struct Case {
    const char* name;
    std::string stream;
    std::size_t capacity;
    bool ok;
  };
  using namespace std::string_literals;
  const std::string twelve = "abcdefghijkl";
  const Case cases[] = {
      {"literals only", "\xc0"s + twelve, 12, true},
      {"empty output, one zero token", "\x00"s, 0, true},
      {"empty output, anything else", "\x10" "a"s, 0, false},
      {"empty stream", "", 10, false},
      {"offset 0", "\x10" "a\x00\x00"s + "\x50" "bcdef"s, 30, false},
      {"offset before the start", "\x10" "a\x02\x00"s + "\x50" "bcdef"s, 30, false},
      {"a sequence too near the output's end", "\x10" "a\x01\x00"s + "\x50" "bcdef"s, 10, false},
      {"a valid match", "\x10" "a\x01\x00"s + "\x50" "bcdef"s, 30, true},
      {"literals past the output", "\xc0"s + twelve, 11, false},
  };
  for (const Case& c : cases) {
    auto out = output(c.capacity);
    Lz4BlockDecoder d(c.stream, 0, out.get(), 0, c.capacity);
    const bool ok = d.decode_until(c.capacity + 1).has_value() && d.finished();
    EXPECT_EQ(ok, c.ok) << c.name;
    std::vector<char> reference(c.capacity + 1);
    const int n = LZ4_decompress_safe(c.stream.data(), reference.data(), static_cast<int>(c.stream.size()),
                                      static_cast<int>(c.capacity));
    if (c.name != std::string("offset 0")) {
      EXPECT_EQ(n >= 0, c.ok) << c.name << ": reference decoder";
    }
  }
}

}  // namespace
}  // namespace quenlordb::storage
