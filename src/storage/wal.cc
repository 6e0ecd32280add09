#include "storage/wal.h"

#include <fcntl.h>
#include <zlib.h>

#include <algorithm>
#include <cerrno>
#include <utility>

#include "util/coding.h"

namespace quenlordb::storage {

namespace {

// Scratch capacity the Wal keeps between appends; a larger buffer (from a big record) is released.
constexpr std::size_t kKeptScratchBytes = 1 << 20;
// Bytes replay asks the file for at a time.
constexpr std::size_t kReplayChunkBytes = 1 << 20;

std::uint32_t crc32_of(const char* data, std::size_t len) {
  // len <= kWalMaxBodyBytes, so it fits zlib's uInt.
  return static_cast<std::uint32_t>(::crc32(0L, reinterpret_cast<const Bytef*>(data), static_cast<uInt>(len)));
}

// Fills the header reserved at out[start] for the body that follows it up to the end of out.
void finish_header(std::string& out, std::size_t start, std::uint32_t magic) {
  char* header = out.data() + start;
  const std::size_t body_len = out.size() - start - kWalHeaderBytes;
  util::store_u32_le(header, magic);
  util::store_u32_le(header + 4, static_cast<std::uint32_t>(body_len));
  util::store_u32_le(header + 8, crc32_of(header + kWalHeaderBytes, body_len));
}

// Reads a file front to back in large chunks, keeping the bytes not yet consumed.
class ChunkReader {
 public:
  explicit ChunkReader(util::File& file) : file_(file) {}

  // Makes at least n unconsumed bytes available; false when the file ends first.
  Result<bool> fill(std::size_t n) {
    if (available() >= n) return true;
    buf_.erase(0, pos_);
    pos_ = 0;
    while (buf_.size() < n && !eof_) {
      const std::size_t old = buf_.size();
      const std::size_t want = std::max(n - old, kReplayChunkBytes);
      buf_.resize(old + want);
      const std::size_t got = TRY(file_.read(buf_.data() + old, want));
      buf_.resize(old + got);
      if (got == 0) eof_ = true;
    }
    return buf_.size() >= n;
  }

  std::size_t available() const { return buf_.size() - pos_; }
  const char* data() const { return buf_.data() + pos_; }
  void consume(std::size_t n) { pos_ += n; }

 private:
  util::File& file_;
  std::string buf_;
  std::size_t pos_ = 0;
  bool eof_ = false;
};

// Appends the records of one batch body; returns early (abandoning the frame) at an entry that runs
// past the body.
Result<void> replay_batch(std::string_view body, std::vector<ledger::FactWrite>& out) {
  const std::uint32_t count = util::load_u32_le(body.data());
  std::size_t pos = kWalBatchCountBytes;
  for (std::uint32_t i = 0; i < count; ++i) {
    if (body.size() - pos < kWalBatchEntryLengthBytes) return {};
    const std::uint32_t len = util::load_u32_le(body.data() + pos);
    pos += kWalBatchEntryLengthBytes;
    if (len > body.size() - pos) return {};
    out.push_back(TRY(ledger::FactWrite::decode_payload(body.substr(pos, len))));
    pos += len;
  }
  return {};
}

}  // namespace

// ---- encoder ----

namespace {

QuenlorError record_too_large(std::uint64_t bytes) {
  return QuenlorError::io_limit(EFBIG, "record too large for the log (" + std::to_string(bytes) + " bytes; at most " +
                                           std::to_string(kWalMaxBodyBytes) + ")");
}

}  // namespace

Result<void> append_wal_frame(std::string& out, std::string_view key, std::string_view value,
                              std::optional<std::uint64_t> reserved_tag, std::optional<std::uint64_t> write_tag) {
  const std::size_t payload = ledger::fact_write_payload_size(key.size(), value.size(), reserved_tag, write_tag);
  if (payload > kWalMaxBodyBytes) return fail(record_too_large(payload));
  const std::size_t start = out.size();
  out.reserve(start + kWalHeaderBytes + payload);
  out.append(kWalHeaderBytes, '\0');
  ledger::append_fact_write_payload(out, key, value, reserved_tag, write_tag);
  finish_header(out, start, kWalFrameMagic);
  return {};
}

Result<std::string> encode_wal_frame(std::string_view key, std::string_view value, std::optional<std::uint64_t> write_tag) {
  std::string out;
  TRY(append_wal_frame(out, key, value, std::nullopt, write_tag));
  return out;
}

Result<void> append_wal_batch_frame(std::string& out, std::span<const ledger::FactWrite> records) {
  std::uint64_t body = kWalBatchCountBytes;
  for (const ledger::FactWrite& r : records) {
    body += kWalBatchEntryLengthBytes + r.payload_size();
    if (body > kWalMaxBodyBytes) return fail(record_too_large(body));
  }
  const std::size_t start = out.size();
  out.reserve(start + kWalHeaderBytes + body);
  out.append(kWalHeaderBytes, '\0');
  util::put_u32_le(out, static_cast<std::uint32_t>(records.size()));
  for (const ledger::FactWrite& r : records) {
    util::put_u32_le(out, static_cast<std::uint32_t>(r.payload_size()));
    r.append_payload(out);
  }
  finish_header(out, start, kWalBatchMagic);
  return {};
}

// ---- the reserve ----

namespace {

// Space allocated at a time for appends without a claim once the reserve holds too little for
// them, so that a run of such appends does not allocate once each.
constexpr std::uint64_t kUnclaimedAllocationBytes = 64 * 1024;

// What is claimed and claimable together. A claim adds to `claimed` before it takes from
// `claimable`, so reading `claimable` first never comes out short (at worst a claim in flight is
// counted twice).
std::uint64_t protected_bytes(const WalLock& lock) {
  const std::uint64_t claimable = lock.claimable.load(std::memory_order_acquire);
  return claimable + lock.claimed.load(std::memory_order_acquire);
}

// Takes bytes from what may still be claimed; false when fewer are left.
bool take_claimable(WalLock& lock, std::uint64_t bytes) {
  std::uint64_t left = lock.claimable.load(std::memory_order_acquire);
  while (left >= bytes) {
    if (lock.claimable.compare_exchange_weak(left, left - bytes, std::memory_order_acq_rel)) return true;
  }
  return false;
}

// Room for `bytes` of unclaimed frames at `end` that leaves the reserve whole. Caller holds mutex.
Result<void> make_unclaimed_room(util::File& file, WalLock& lock, std::uint64_t end, std::uint64_t bytes) {
  if (!lock.reserving.load(std::memory_order_relaxed)) return {};
  const std::uint64_t reserved = protected_bytes(lock);
  if (reserved == 0) return {};  // nothing lies past the end that this write could take
  const std::uint64_t required = end + bytes + reserved;
  const std::uint64_t at = std::max(lock.allocated_end, end);
  if (at >= required) return {};
  const std::uint64_t missing = required - at;
  for (const std::uint64_t chunk : {std::max(missing, kUnclaimedAllocationBytes), missing}) {
    if (file.allocate_keeping_size(at, chunk)) {
      lock.allocated_end = at + chunk;
      return {};
    }
  }
  // The disk is full: what the reserve could still hand out makes the room, or the write fails.
  if (take_claimable(lock, missing)) return {};
  return fail(QuenlorError::io(ENOSPC));
}

// The file was just cut to `end`, which frees the space past it: allocate again for what is
// claimed and claimable. When that fails, nothing more can be claimed, and the claimed frames are
// covered if at all possible (their writes are retried on failure). Caller holds mutex.
void restore_reserve_after_cut(util::File& file, WalLock& lock, std::uint64_t end) {
  if (!lock.reserving.load(std::memory_order_relaxed)) return;
  lock.allocated_end = end;
  const std::uint64_t wanted = protected_bytes(lock);
  if (wanted == 0) return;
  if (file.allocate_keeping_size(end, wanted)) {
    lock.allocated_end = end + wanted;
    return;
  }
  lock.claimable.store(0, std::memory_order_release);
  const std::uint64_t claimed = lock.claimed.load(std::memory_order_acquire);
  if (claimed > 0 && file.allocate_keeping_size(end, claimed)) lock.allocated_end = end + claimed;
}

Result<void> cut_file(util::File& file, WalLock& lock, std::uint64_t length) {
  TRY(file.truncate(length));
  lock.length = length;
  restore_reserve_after_cut(file, lock, length);
  return {};
}

}  // namespace

bool WalLock::claim(std::uint64_t bytes) {
  if (!reserving.load(std::memory_order_acquire)) return false;
  claimed.fetch_add(bytes, std::memory_order_acq_rel);
  if (take_claimable(*this, bytes)) return true;
  claimed.fetch_sub(bytes, std::memory_order_acq_rel);
  return false;
}

Result<void> top_up_wal_reserve(util::File& file, WalLock& lock, std::uint64_t target) {
  if (lock.reserving.load(std::memory_order_acquire) && lock.claimable.load(std::memory_order_acquire) >= target / 2)
    return {};
  std::lock_guard guard(lock.mutex);
  if (lock.unsupported.load(std::memory_order_relaxed)) return fail(QuenlorError::io(EOPNOTSUPP));
  const std::uint64_t claimable = lock.claimable.load(std::memory_order_acquire);
  const bool active = lock.reserving.load(std::memory_order_relaxed);
  if (active && claimable >= target / 2) return {};
  const std::uint64_t end = lock.length ? *lock.length : TRY(file.size());
  const std::uint64_t at = active ? std::max(lock.allocated_end, end) : end;
  const std::uint64_t added = target - std::min(claimable, target);
  if (auto allocated = file.allocate_keeping_size(at, added); !allocated) {
    // Only the first allocation tells whether the file system can allocate ahead.
    if (!active && allocated.error().os_error() == EOPNOTSUPP) lock.unsupported.store(true, std::memory_order_release);
    return allocated;
  }
  lock.allocated_end = at + added;
  lock.claimable.fetch_add(added, std::memory_order_acq_rel);
  lock.reserving.store(true, std::memory_order_release);
  return {};
}

// ---- appending ----

Result<util::File> open_wal_file(const std::string& path) {
  return util::File::open(path, O_RDWR | O_APPEND | O_CREAT, 0666);
}

Result<void> append_wal_frames(util::File& file, WalLock& lock, std::string_view frames, std::uint64_t claimed_bytes) {
  std::lock_guard guard(lock.mutex);
  if (lock.cut_back_to) {
    TRY(cut_file(file, lock, *lock.cut_back_to));
    lock.cut_back_to.reset();
  }
  const std::uint64_t before = lock.length ? *lock.length : TRY(file.size());
  TRY(make_unclaimed_room(file, lock, before, frames.size() - std::min<std::uint64_t>(claimed_bytes, frames.size())));
  lock.length.reset();
  auto written = file.write_all(frames);
  if (!written) {
    if (!cut_file(file, lock, before)) lock.cut_back_to = before;
    return written;
  }
  lock.length = before + frames.size();
  if (claimed_bytes > 0) lock.release(claimed_bytes);
  return {};
}

// ---- replay ----

Result<WalReplay> replay_wal(const std::string& path) {
  util::File file = TRY(util::File::open(path, O_RDONLY));
  ChunkReader reader(file);
  WalReplay replay;
  while (true) {
    if (!TRY(reader.fill(kWalHeaderBytes))) {
      replay.stopped_early = reader.available() > 0;
      return replay;
    }
    const char* header = reader.data();
    const std::uint32_t magic = util::load_u32_le(header);
    const std::uint32_t len = util::load_u32_le(header + 4);
    const std::uint32_t crc = util::load_u32_le(header + 8);
    if (magic != kWalFrameMagic && magic != kWalBatchMagic) return fail(QuenlorError::wal_magic_mismatch());
    replay.stopped_early = true;  // until this frame proves intact
    if (len > kWalMaxBodyBytes) return replay;
    if (!TRY(reader.fill(kWalHeaderBytes + len))) return replay;
    const std::string_view body(reader.data() + kWalHeaderBytes, len);
    if (crc32_of(body.data(), body.size()) != crc) return replay;
    if (magic == kWalFrameMagic) {
      replay.records.push_back(TRY(ledger::FactWrite::decode_payload(body)));
    } else {
      if (body.size() < kWalBatchCountBytes) return replay;
      TRY(replay_batch(body, replay.records));
    }
    replay.stopped_early = false;
    reader.consume(kWalHeaderBytes + len);
    replay.intact_end += kWalHeaderBytes + len;
  }
}

// ---- Wal ----

Wal::Wal(std::string path, std::uint64_t fsync_every_n_records, util::File file, std::shared_ptr<WalLock> lock)
    : path_(std::move(path)),
      fsync_every_n_records_(fsync_every_n_records),
      file_(std::move(file)),
      lock_(std::move(lock)) {}

Result<Wal> Wal::open(std::string path, std::uint64_t fsync_every_n_records, std::shared_ptr<WalLock> lock) {
  util::File file = TRY(open_wal_file(path));
  if (!lock) lock = std::make_shared<WalLock>();
  return Wal(std::move(path), fsync_every_n_records, std::move(file), std::move(lock));
}

Wal::~Wal() {
  if (file_.is_open()) (void)file_.data_sync();
}

Result<void> Wal::append(const ledger::FactWrite& record) {
  TRY(append_wal_frame(frame_, record.key, record.value, record.reserved_tag, record.write_tag));
  return write_frame(1);
}

Result<void> Wal::append_batch(std::span<const ledger::FactWrite> records) {
  if (records.empty()) return {};
  if (records.size() == 1) return append(records.front());
  TRY(append_wal_batch_frame(frame_, records));
  return write_frame(records.size());
}

Result<void> Wal::write_frame(std::uint64_t records) {
  auto written = append_wal_frames(file_, *lock_, frame_);
  frame_.clear();
  if (frame_.capacity() > kKeptScratchBytes) std::string().swap(frame_);
  TRY(std::move(written));
  pending_ += records;
  if (pending_ >= fsync_every_n_records_) TRY(sync());
  return {};
}

Result<void> Wal::sync() {
  TRY(file_.data_sync());
  pending_ = 0;
  return {};
}

Result<void> Wal::truncate() {
  {
    std::lock_guard guard(lock_->mutex);
    lock_->length.reset();
    TRY(cut_file(file_, *lock_, 0));
    lock_->cut_back_to.reset();
    TRY(file_.seek(0));
  }
  return sync();
}

Result<void> Wal::cut_back(std::uint64_t length) {
  {
    std::lock_guard guard(lock_->mutex);
    if (length >= TRY(file_.size())) return {};
    lock_->length.reset();
    TRY(cut_file(file_, *lock_, length));
    if (lock_->cut_back_to && *lock_->cut_back_to >= length) lock_->cut_back_to.reset();
  }
  return file_.data_sync();
}

}  // namespace quenlordb::storage
