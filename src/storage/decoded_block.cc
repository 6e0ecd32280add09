#include "storage/decoded_block.h"

#include <algorithm>
#include <utility>

#include "storage/lz4_block.h"

namespace quenlordb::storage {

namespace {

constexpr std::size_t kRawLengthBytes = 4;  // the U field in front of a version-2 block's stream

}  // namespace

DecodedBlock::DecodedBlock(std::string bytes)
    : owned_(std::move(bytes)),
      data_(owned_.data()),
      capacity_(owned_.size()),
      decoded_(owned_.size()),
      whole_(true),
      marks_(new std::atomic<std::uint64_t>[2 * (capacity_ / kMarkSpacing)]),
      mark_room_(capacity_ / kMarkSpacing) {}

DecodedBlock::DecodedBlock(Empty, std::size_t capacity)
    : buffer_(new char[capacity + Lz4BlockDecoder::kSlack]),
      data_(buffer_.get()),
      capacity_(capacity),
      decoded_(0),
      whole_(false),
      marks_(new std::atomic<std::uint64_t>[2 * (capacity / kMarkSpacing)]),
      mark_room_(capacity / kMarkSpacing),
      room_(capacity) {}

void DecodedBlock::note_mark(std::size_t i, Mark m) {
  if (i >= mark_room_ || marks_noted_.load(std::memory_order_acquire) != i) return;
  marks_[2 * i].store(m.offset, std::memory_order_relaxed);
  marks_[2 * i + 1].store(m.key_prefix, std::memory_order_relaxed);
  std::size_t expected = i;
  marks_noted_.compare_exchange_strong(expected, i + 1, std::memory_order_release, std::memory_order_relaxed);
}

Result<std::shared_ptr<DecodedBlock>> DecodedBlock::compressed(std::string_view stored) {
  const std::uint32_t raw_len = TRY(lz4_raw_length(stored));
  return std::make_shared<DecodedBlock>(Empty{}, raw_len);
}

Result<bool> DecodedBlock::renew(std::string_view stored) {
  const std::uint32_t raw_len = TRY(lz4_raw_length(stored));
  if (buffer_ == nullptr || raw_len > room_) return false;
  capacity_ = raw_len;
  decoded_.store(0, std::memory_order_relaxed);
  whole_.store(false, std::memory_order_relaxed);
  consumed_ = 0;
  mark_room_ = raw_len / kMarkSpacing;  // no more than the marks made room for: room_ >= raw_len
  marks_noted_.store(0, std::memory_order_relaxed);
  return true;
}

DecodedBlock::Extension::Extension(DecodedBlock& block, std::string_view stored)
    : block_(&block), lock_(block.decoding_) {
  // What the last holder published is read under the mutex it released.
  if (!block.whole_.load(std::memory_order_relaxed)) {
    decoder_.emplace(stored.substr(kRawLengthBytes), block.consumed_, block.buffer_.get(),
                     block.decoded_.load(std::memory_order_relaxed), block.capacity_);
  }
}

Result<void> DecodedBlock::Extension::decode_until(std::size_t want) {
  if (!decoder_ || decoder_->produced() >= want) return {};
  TRY(decoder_->decode_until(want));
  DecodedBlock& b = *block_;
  b.consumed_ = decoder_->consumed();
  b.decoded_.store(decoder_->produced(), std::memory_order_release);
  if (decoder_->finished()) {
    b.whole_.store(true, std::memory_order_release);
    decoder_.reset();
  }
  return {};
}

Result<void> DecodedBlock::decode_until(std::string_view stored, std::size_t want) {
  if (whole() || decoded_.load(std::memory_order_acquire) >= want) return {};
  return extend(stored).decode_until(want);
}

}  // namespace quenlordb::storage
