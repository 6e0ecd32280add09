// The write-ahead log of one shard: a plain sequence of frames (no file header, no trailer), each
// holding whole FactWrite records, appended before a write is acknowledged and replayed at open.
//
// The log has two writers: the shard thread's `Wal` and the group-commit thread, which appends
// frames built by the same encoder through its own handle on the same file. Both must append
// through `append_wal_frames` with the one `WalLock` of that file (the shard runtime takes it from
// `Wal::shared_lock()` and hands it to the group-commit thread), so frames never interleave and a
// failed append is cut off before anything else is written behind it.
//
// Frame layout (all integers little-endian; the CRC-32 is zlib's, over the bytes after the header):
//
//   single record (magic "QWAL", u32 0x5157414C, bytes on disk 4C 41 57 51)
//   offset  width  content
//   0       4      magic
//   4       4      payload length L
//   8       4      CRC-32 of the payload
//   12      L      one FactWrite payload (ledger/record.h)
//
//   batch (magic "QWBC", u32 0x51574243, bytes on disk 43 42 57 51)
//   offset  width  content
//   0       4      magic
//   4       4      body length L
//   8       4      CRC-32 of the body
//   12      4      entry count N
//   16      ...    N entries: u32 payload length P, then P bytes of FactWrite payload
//
// L never exceeds kWalMaxBodyBytes: replay treats a larger length as the end of the log, so the
// encoders refuse such frames instead of writing something that could never be read, with Io
// (EFBIG) "record too large for the log ({L} bytes; at most 67108864)".
//
// Replay, frame by frame from offset 0: a header cut short, a length over the limit, a body cut
// short, a CRC mismatch or a batch body under 4 bytes ends the replay without error (the rest of
// the file is not examined); an unknown magic fails with WalMagicMismatch; a payload that does not
// decode fails with its decoding error. Inside a batch, an entry whose length field or bytes run
// past the body abandons the rest of that frame only; bytes after the N-th entry are ignored.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "error.h"
#include "ledger/record.h"
#include "util/file.h"

namespace quenlordb::storage {

inline constexpr std::uint32_t kWalFrameMagic = 0x5157414C;  // "QWAL": one record
inline constexpr std::uint32_t kWalBatchMagic = 0x51574243;  // "QWBC": a batch of records
inline constexpr std::size_t kWalHeaderBytes = 12;           // magic, length, CRC
inline constexpr std::size_t kWalBatchCountBytes = 4;        // N at the start of a batch body
inline constexpr std::size_t kWalBatchEntryLengthBytes = 4;  // P before each batch entry
// The largest payload or batch body a frame may carry (64 MiB, inclusive).
inline constexpr std::uint32_t kWalMaxBodyBytes = 0x4000000;

// ---- frame encoder (shared by the Wal and the group-commit thread) ----

// Appends one single-record frame to out, built in place: the header is reserved, the payload
// encoded right behind it and the header filled in. A payload over kWalMaxBodyBytes fails (Io,
// "record too large for the log ...") and leaves out unchanged.
Result<void> append_wal_frame(std::string& out, std::string_view key, std::string_view value,
                              std::optional<std::uint64_t> reserved_tag, std::optional<std::uint64_t> write_tag);

// One single-record frame without reserved_tag in a buffer of its own, allocated once at its exact
// size: the bytes Wal::append writes for the same record.
Result<std::string> encode_wal_frame(std::string_view key, std::string_view value, std::optional<std::uint64_t> write_tag);

// Appends one batch frame of the records, in order. A body over kWalMaxBodyBytes fails (Io,
// "record too large for the log ...", counting the whole body) and leaves out unchanged. Any
// count encodes; the Wal uses it for two or more records.
Result<void> append_wal_batch_frame(std::string& out, std::span<const ledger::FactWrite> records);

// ---- appending to a log file ----

// The lock of one log file, shared by every writer of that file (hold it through a shared_ptr).
// Whoever appends to or cuts the file holds `mutex` for the whole operation.
//
// It also keeps the log's reserve: disk space allocated past the file's end (without changing its
// size, so the log format is untouched) for frames that are acknowledged before they are written.
// A writer claims reserved space for such a frame before acknowledging it; the group-commit thread
// writes the frame into that space later, so a full disk cannot make it fail. Claimed and still
// claimable space always lie inside the allocation:
//   allocated_end >= file length + claimed + claimable
// Appends of frames without a claim keep this by taking space from `claimable` or allocating more,
// and fail with ENOSPC when neither is possible; cutting the file frees the space past the cut,
// so every cut allocates again for what is claimed and claimable. Until the reserve is activated
// (and on a file system that cannot allocate ahead) nothing can be claimed.
struct WalLock {
  std::mutex mutex;
  // Guarded by mutex. The length the file must be cut back to before anything else is appended:
  // set when a failed append could not remove its partial frame.
  std::optional<std::uint64_t> cut_back_to;
  // Guarded by mutex. The file's length after the last append, cut or truncation made under this
  // lock; none while unknown (at first, and after a failure left it uncertain), when the next
  // append asks the file. Every change to the file goes through this lock, so it stays exact.
  std::optional<std::uint64_t> length;

  // Set (under mutex) once space past the end could be allocated; never cleared.
  std::atomic<bool> reserving{false};
  // Set once the file system refused to allocate ahead (EOPNOTSUPP); never cleared. Nothing is
  // then ever claimable, and a writer that acknowledges frames before writing them must rely on
  // the log's earlier writes having succeeded.
  std::atomic<bool> unsupported{false};
  // Guarded by mutex, meaningful while reserving: space is allocated up to this offset.
  std::uint64_t allocated_end = 0;
  // Reserved bytes that may still be claimed.
  std::atomic<std::uint64_t> claimable{0};
  // Claimed bytes of frames not yet written.
  std::atomic<std::uint64_t> claimed{0};

  // Claims bytes of the reserve for a frame that will be written later; false (nothing claimed)
  // when the reserve holds less. Any thread, without the mutex.
  bool claim(std::uint64_t bytes);
  // Ends the claims of frames that have been written (by the writer that wrote them).
  void release(std::uint64_t bytes) { claimed.fetch_sub(bytes, std::memory_order_acq_rel); }
};

// Tops the log's reserve up to `target` claimable bytes when it holds less than half of that,
// allocating past the end of the file; the first call activates the reserve. Fails with the
// allocation's error (EOPNOTSUPP: the file system cannot allocate ahead; ENOSPC: the disk is full)
// and then leaves the reserve as it was.
Result<void> top_up_wal_reserve(util::File& file, WalLock& lock, std::uint64_t target);

// Opens (creating it with mode 0666 before the umask) a log file for reading and appending
// (O_APPEND). Every handle given to append_wal_frames must be opened this way.
Result<util::File> open_wal_file(const std::string& path);

// Appends `frames` (one or more whole frames, e.g. several queued frames concatenated) at the end
// of file as one unit while holding lock.mutex, retrying short writes. `claimed_bytes` of them hold
// claims on the reserve (they are ended on success); the rest must not eat into the reserve and
// fail with ENOSPC, before anything is written, when it cannot make room for them. On a failed
// write the file is cut back to its length before the call and the write error is returned; if
// that cut fails too, the cut is left to the next append on this lock, which makes it first (and
// fails if it cannot). Does not sync.
Result<void> append_wal_frames(util::File& file, WalLock& lock, std::string_view frames, std::uint64_t claimed_bytes = 0);

// ---- replay ----

struct WalReplay {
  std::vector<ledger::FactWrite> records;  // in log order
  // File offset just past the last intact frame (a batch frame abandoned part-way counts as intact).
  std::uint64_t intact_end = 0;
  // True when replay stopped at a cut-off or damaged frame, so bytes from intact_end on were not
  // replayed; false when it read the file to its end. Records appended behind such bytes would be
  // out of the next replay's reach: cut the log back to intact_end (Wal::cut_back) before appending.
  bool stopped_early = false;
};

// Replays the log at path through a read-only handle of its own; never changes the file. A missing
// file is an Io error (ENOENT).
Result<WalReplay> replay_wal(const std::string& path);

// ---- the shard thread's log ----

// Owns the shard thread's append handle and counts the records appended since the last successful
// data sync. Owned and called by one thread (the shard thread); it shares only its WalLock. Nothing
// is buffered between calls: every append reaches the file before it returns. Destruction
// data-syncs the file and ignores an error. Move-constructible only.
class Wal {
 public:
  // Opens the log (see open_wal_file); nothing is read or synced. `lock` is the file's WalLock when
  // another writer already has one; by default the Wal makes a new one.
  static Result<Wal> open(std::string path, std::uint64_t fsync_every_n_records,
                          std::shared_ptr<WalLock> lock = nullptr);

  Wal(Wal&&) noexcept = default;
  Wal& operator=(Wal&&) = delete;
  Wal(const Wal&) = delete;
  Wal& operator=(const Wal&) = delete;
  ~Wal();

  // Writes one single-record frame, then counts it; once the count reaches fsync_every_n_records
  // the file is data-synced and the count reset. A failed write leaves the file as it was and the
  // count unchanged; a failed sync is returned with the frame written and the count kept, so the
  // next append syncs again. A record over the limit fails with "record too large for the log
  // ..." before anything is written.
  Result<void> append(const ledger::FactWrite& record);
  // No records: nothing is written. One record: exactly append. More: one batch frame, counted as
  // that many records, under the same sync rule.
  Result<void> append_batch(std::span<const ledger::FactWrite> records);

  // Data-syncs the file; on success the count of unsynced records becomes 0.
  Result<void> sync();
  // Empties the file (frames of every writer included) and data-syncs it; on success the count
  // becomes 0. Takes the lock, so it never lands inside another writer's append.
  Result<void> truncate();
  // Cuts the file back to `length` and data-syncs it: used at shard open, before any append, with
  // WalReplay::intact_end when the replay stopped early. Never extends the file: a length at or past
  // its end leaves it unchanged.
  Result<void> cut_back(std::uint64_t length);

  // replay_wal of this log's path (its own read-only handle; the append handle is not touched).
  Result<WalReplay> replay() const { return replay_wal(path_); }

  const std::string& path() const { return path_; }
  std::uint64_t pending() const { return pending_; }
  // The lock every other writer of this file must use with append_wal_frames.
  const std::shared_ptr<WalLock>& shared_lock() const { return lock_; }

 private:
  Wal(std::string path, std::uint64_t fsync_every_n_records, util::File file, std::shared_ptr<WalLock> lock);
  // Writes frame_ and applies the sync rule for `records` records.
  Result<void> write_frame(std::uint64_t records);

  std::string path_;
  std::uint64_t fsync_every_n_records_;
  std::uint64_t pending_ = 0;
  util::File file_;
  std::shared_ptr<WalLock> lock_;
  std::string frame_;  // scratch buffer of the frame being written; empty between calls
};

}  // namespace quenlordb::storage
