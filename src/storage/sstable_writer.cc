#include "storage/sstable_writer.h"

#include <fcntl.h>
#include <lz4.h>

#include <algorithm>
#include <cerrno>
#include <limits>

#include "ledger/internal_key.h"
#include "storage/bloom.h"
#include "util/coding.h"
#include "util/varint.h"

namespace quenlordb::storage {

static_assert(kMaxRawBlockBytes == LZ4_MAX_INPUT_SIZE);
static_assert(kBlockRawLengthBytes + LZ4_COMPRESSBOUND(kMaxRawBlockBytes) <= std::numeric_limits<std::uint32_t>::max());

namespace {

// Finished blocks collect here until this many bytes are pending, then go out in one write.
constexpr std::size_t kWriteBufferBytes = 64 * 1024;
// The block buffer is reserved up front for typical block sizes only.
constexpr std::size_t kMaxBlockReserve = 1 << 20;

}  // namespace

SsTableBuilder::SsTableBuilder(SsTableBuilder&&) noexcept = default;
SsTableBuilder& SsTableBuilder::operator=(SsTableBuilder&&) noexcept = default;
SsTableBuilder::~SsTableBuilder() = default;

Result<SsTableBuilder> SsTableBuilder::create(std::string path, std::uint64_t block_bytes, std::uint64_t bits_per_key,
                                              const Hasher& hasher) {
  SsTableBuilder b;
  b.file_ = TRY(util::File::open(path, O_WRONLY | O_CREAT | O_EXCL, 0666));
  b.block_bytes_ = std::min(block_bytes, kMaxRawBlockBytes);
  b.bits_per_key_ = bits_per_key;
  b.hasher_ = &hasher;
  b.lz4_state_ = std::make_unique<char[]>(static_cast<std::size_t>(LZ4_sizeofState()));
  b.block_.reserve(static_cast<std::size_t>(std::clamp<std::uint64_t>(block_bytes, 1024, kMaxBlockReserve)));
  b.out_.reserve(kWriteBufferBytes + LZ4_COMPRESSBOUND(kMaxBlockReserve) + 64);
  util::put_u32_le(b.out_, kTableMagic);
  util::put_u32_le(b.out_, kTableFormatVersion);
  // Informational only: a larger setting is recorded as the largest 32-bit value.
  util::put_u32_le(b.out_, static_cast<std::uint32_t>(std::min<std::uint64_t>(block_bytes, 0xFFFFFFFFu)));
  b.offset_ = kTableHeaderBytes;
  b.index_.assign(4, '\0');
  return b;
}

Result<void> SsTableBuilder::add(std::string_view key, std::string_view value) {
  const std::uint64_t encoded =
      util::varint_length(key.size()) + util::varint_length(value.size()) + key.size() + value.size();
  if (encoded > kMaxRawBlockBytes) return fail(QuenlorError::io(EFBIG));
  if (!block_.empty() && block_.size() + encoded > block_bytes_) TRY(finish_block());

  if (auto decoded = ledger::decode_internal_key_view(key)) key_hashes_.push_back(hasher_->hash64(decoded->user_key));
  util::put_varint(block_, key.size());
  util::put_varint(block_, value.size());
  last_key_pos_ = block_.size();
  last_key_len_ = key.size();
  block_.append(key);
  block_.append(value);
  ++entry_count_;
  return {};
}

Result<void> SsTableBuilder::finish_block() {
  if (block_count_ == std::numeric_limits<std::uint32_t>::max()) return fail(QuenlorError::io(EFBIG));
  const int raw = static_cast<int>(block_.size());  // at most kMaxRawBlockBytes, see add()
  const int bound = LZ4_compressBound(raw);
  const std::size_t at = out_.size();
  const std::size_t header = kBlockLengthBytes + kBlockRawLengthBytes;
  int compressed = 0;
  out_.resize_and_overwrite(at + header + static_cast<std::size_t>(bound), [&](char* p, std::size_t) {
    compressed = LZ4_compress_fast_extState(lz4_state_.get(), block_.data(), p + at + header, raw, bound, 1);
    if (compressed <= 0) return at;
    util::store_u32_le(p + at, static_cast<std::uint32_t>(kBlockRawLengthBytes + compressed));
    util::store_u32_le(p + at + kBlockLengthBytes, static_cast<std::uint32_t>(raw));
    return at + header + static_cast<std::size_t>(compressed);
  });
  // The destination holds LZ4_compressBound bytes, for which compression cannot fail.
  if (compressed <= 0) panic("LZ4 block compression failed");
  const auto stored = static_cast<std::uint32_t>(kBlockRawLengthBytes + compressed);

  util::put_varint(index_, last_key_len_);
  index_.append(block_, last_key_pos_, last_key_len_);
  util::put_u64_le(index_, offset_);
  util::put_u32_le(index_, stored);
  offset_ += kBlockLengthBytes + stored;
  ++block_count_;
  block_.clear();
  if (out_.size() >= kWriteBufferBytes) TRY(flush_output());
  return {};
}

Result<void> SsTableBuilder::flush_output() {
  TRY(file_.write_all(out_));
  out_.clear();
  return {};
}

Result<SsTableBuildResult> SsTableBuilder::finish() {
  if (!block_.empty()) TRY(finish_block());
  const std::uint64_t index_offset = offset_;
  util::store_u32_le(index_.data(), static_cast<std::uint32_t>(block_count_));
  const std::uint64_t bloom_offset = index_offset + index_.size();
  const std::string bloom = BloomFilter::new_for_key_hashes(key_hashes_, bits_per_key_, *hasher_).encode();

  out_.append(index_);
  out_.append(bloom);
  util::put_u64_le(out_, index_offset);
  util::put_u64_le(out_, bloom_offset);
  util::put_u32_le(out_, kTableFooterMagic);
  TRY(flush_output());
  TRY(file_.data_sync());
  std::string path = file_.path();
  TRY(file_.close());
  return SsTableBuildResult{std::move(path), entry_count_};
}

}  // namespace quenlordb::storage
