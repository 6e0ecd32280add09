#include "storage/lz4_block.h"

#include <algorithm>
#include <climits>
#include <cstring>
#include <string>

#include "util/coding.h"

namespace quenlordb::storage {

namespace {

// LZ4 expands a compressed stream at most 255-fold; a larger recorded raw length is damage, refused
// before anything is allocated for it.
constexpr std::uint64_t kMaxLz4Expansion = 255;
// The size fields of a stored block (from the table-file layout).
constexpr std::size_t kRawLengthBytes = 4;

QuenlorError lz4_error(const std::string& what) {
  return QuenlorError::sstable_format("LZ4 decompress error: " + what);
}

constexpr std::size_t kMinMatch = 4;
// A sequence other than the last ends its literals this far before the end of the output and of
// the input; a match ends this far before the end of the output.
constexpr std::size_t kLiteralsOutputMargin = 12;
constexpr std::size_t kLiteralsInputMargin = 8;
constexpr std::size_t kMatchOutputMargin = 5;
// A length field of 15 continues in the bytes after it; those must leave this much input behind.
constexpr std::size_t kLiteralLengthInputMargin = 15;
constexpr std::size_t kMatchLengthInputMargin = 4;
// How far ahead of the sequence being decoded the input is fetched.
constexpr std::uintptr_t kInputLookahead = 256;

}  // namespace

Result<std::uint32_t> lz4_raw_length(std::string_view stored) {
  if (stored.size() < kRawLengthBytes)
    return fail(lz4_error("stored block of " + std::to_string(stored.size()) + " bytes has no raw length"));
  const std::uint32_t raw_len = util::load_u32_le(stored.data());
  const std::size_t compressed = stored.size() - kRawLengthBytes;
  if (compressed > INT_MAX || raw_len > INT_MAX) return fail(lz4_error("block exceeds the decompressor's size limit"));
  if (raw_len > kMaxLz4Expansion * compressed)
    return fail(lz4_error("raw length " + std::to_string(raw_len) + " is more than " + std::to_string(compressed) +
                          " compressed bytes can hold"));
  return raw_len;
}

QuenlorError lz4_malformed(std::uint32_t raw_len) {
  return lz4_error("malformed block, or more than its raw length of " + std::to_string(raw_len) + " bytes");
}

Result<void> Lz4BlockDecoder::decode_until(std::size_t want) {
  if (finished_) return {};
  const auto* const base = reinterpret_cast<const unsigned char*>(in_.data());
  const unsigned char* ip = base + ip_;
  const unsigned char* const iend = base + in_.size();
  char* const ostart = out_;
  char* op = out_ + op_;
  char* const oend = out_ + capacity_;
  char* const target = out_ + std::min(want, capacity_);
  auto malformed = [this] { return fail(lz4_malformed(static_cast<std::uint32_t>(capacity_))); };
  if (capacity_ == 0) {
    // Nothing to produce: the reference decoder takes only the stream of one zero token.
    if (in_.size() != 1 || base[0] != 0) return malformed();
    finished_ = true;
    ip_ = 1;
    return {};
  }
  while (op < target) {
    // The stream is mostly read from a mapped file, out of the processor's caches and often from
    // pages whose address translation is not at hand either. Asking for the bytes a few sequences
    // ahead starts both early, also across a page boundary, where the processor stops fetching
    // ahead on its own. The address may lie past the input: a prefetch never faults.
    __builtin_prefetch(reinterpret_cast<const void*>(reinterpret_cast<std::uintptr_t>(ip) + kInputLookahead));
    if (ip == iend) return malformed();  // the stream ended without its literals-only sequence
    // The common sequence, far from both ends: at most 14 literals and a match of at most 18 bytes,
    // whose bounds the distances to the ends already keep (see the checks below), all copied in
    // fixed-size pieces. A match that starts too near to copy in 8-byte pieces takes the long way.
    if (iend - ip >= 32 && oend - op >= 64 && (*ip & 0xF0) != 0xF0 && (*ip & 0x0F) != 0x0F) {
      const unsigned token = *ip;
      const std::size_t literals = token >> 4;
      const std::size_t offset = ip[1 + literals] | (static_cast<std::size_t>(ip[2 + literals]) << 8);
      if (offset >= 8 && offset <= static_cast<std::size_t>(op + literals - ostart)) {
        std::memcpy(op, ip + 1, 16);
        op += literals;
        ip += 3 + literals;
        const char* match = op - offset;
        std::memcpy(op, match, 8);
        std::memcpy(op + 8, match + 8, 8);
        std::memcpy(op + 16, match + 16, 2);
        op += (token & 15) + kMinMatch;
        continue;
      }
    }
    const unsigned token = *ip++;
    std::size_t literals = token >> 4;
    if (literals == 15) {
      if (static_cast<std::size_t>(iend - ip) <= kLiteralLengthInputMargin) return malformed();
      unsigned more;
      do {
        more = *ip++;
        literals += more;
        if (static_cast<std::size_t>(iend - ip) < kLiteralLengthInputMargin) return malformed();
      } while (more == 255);
    }
    const std::size_t in_left = static_cast<std::size_t>(iend - ip);
    const std::size_t out_left = static_cast<std::size_t>(oend - op);
    if (literals + kLiteralsOutputMargin > out_left || literals + kLiteralsInputMargin > in_left) {
      // Only the last sequence comes this close to an end: literals up to the end of the input.
      if (literals != in_left || literals > out_left) return malformed();
      std::memcpy(op, ip, literals);
      op += literals;
      ip += literals;
      finished_ = true;
      break;
    }
    if (literals <= 16 && in_left >= 16) {
      std::memcpy(op, ip, 16);  // the output's slack takes the excess
    } else {
      std::memcpy(op, ip, literals);
    }
    op += literals;
    ip += literals;
    const std::size_t offset = ip[0] | (static_cast<std::size_t>(ip[1]) << 8);
    ip += 2;
    std::size_t length = token & 15;
    if (length == 15) {
      unsigned more;
      do {
        more = *ip++;
        length += more;
        if (static_cast<std::size_t>(iend - ip) < kMatchLengthInputMargin) return malformed();
      } while (more == 255);
    }
    length += kMinMatch;
    if (offset == 0 || offset > static_cast<std::size_t>(op - ostart)) return malformed();
    if (length + kMatchOutputMargin > static_cast<std::size_t>(oend - op)) return malformed();
    char* const end = op + length;
    const char* match = op - offset;
    // Chunks never read bytes the same copy has still to write; the last chunk runs into the slack.
    if (offset >= 16) {
      do {
        std::memcpy(op, match, 16);
        op += 16;
        match += 16;
      } while (op < end);
    } else if (offset >= 8) {
      do {
        std::memcpy(op, match, 8);
        op += 8;
        match += 8;
      } while (op < end);
    } else if (offset == 1) {
      std::memset(op, *match, length);
    } else {
      // A period of 2 to 7: the first 4 bytes one at a time, the next 4 from where the period has
      // already written them, then 8-byte chunks from a multiple of the period at least 8 back.
      static constexpr unsigned kAhead[8] = {0, 1, 2, 1, 0, 4, 4, 4};
      static constexpr int kBack[8] = {0, 0, 0, -1, -4, 1, 2, 3};
      op[0] = match[0];
      op[1] = match[1];
      op[2] = match[2];
      op[3] = match[3];
      match += kAhead[offset];
      std::memcpy(op + 4, match, 4);
      match -= kBack[offset];
      for (op += 8; op < end; op += 8, match += 8) std::memcpy(op, match, 8);
    }
    op = end;
  }
  ip_ = static_cast<std::size_t>(ip - base);
  op_ = static_cast<std::size_t>(op - ostart);
  return {};
}

}  // namespace quenlordb::storage
