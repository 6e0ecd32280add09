// The narrow layer through which every storage file operation goes: an owned file descriptor with
// whole-buffer writes, reads, truncation and syncs; directory sync, rename, unlink, mkdir, stat and
// read-only mappings. Failures come back as QuenlorError::Io carrying the error number.
//
// Tests can install a fault hook that is consulted around each operation: before it runs (to fail it
// with an error number, or to shorten a write) and after it succeeded (for example to kill the
// process at a named point). Without a hook the cost is one relaxed atomic load per call.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "error.h"

namespace quenlordb::util {

enum class FileOp : std::uint8_t {
  Open,
  Write,
  Read,
  Truncate,
  DataSync,
  Sync,
  SyncDir,
  Rename,
  Unlink,
  Mkdir,
  Stat,
  Map,
  Allocate,
};

const char* file_op_name(FileOp op);

// Called before an operation with phase Before: return an error number to make it fail, or 0 to let it
// run. For Write, *len may be lowered to make the call write fewer bytes (a short write). Called with
// phase After once the operation succeeded (the return value is ignored). `path` is the file's path.
enum class FaultPhase : std::uint8_t { Before, After };
using FaultHook = int (*)(FileOp op, FaultPhase phase, const std::string& path, std::size_t* len);

// Installs (or, with nullptr, removes) the process-wide hook. For tests only.
void set_fault_hook(FaultHook hook);

// A file as the file system knows it, whatever names it has.
struct FileId {
  dev_t device = 0;
  ino_t inode = 0;

  friend bool operator==(const FileId&, const FileId&) = default;
};

// An owned, open file descriptor. Move-only; closes on destruction.
class File {
 public:
  File() = default;
  File(File&& other) noexcept;
  File& operator=(File&& other) noexcept;
  File(const File&) = delete;
  File& operator=(const File&) = delete;
  ~File();

  // open(2) with the given flags (O_CLOEXEC is added) and mode.
  static Result<File> open(const std::string& path, int flags, mode_t mode = 0644);

  bool is_open() const { return fd_ >= 0; }
  int fd() const { return fd_; }
  const std::string& path() const { return path_; }

  // Writes all of data, retrying after short writes and EINTR. On failure some prefix may have been
  // written; callers that must not leave a partial record cut the file back themselves.
  Result<void> write_all(std::string_view data);
  // Reads up to len bytes at the current offset; returns how many were read (0 at end of file).
  Result<std::size_t> read(char* buf, std::size_t len);
  // Reads from the current offset to the end of the file.
  Result<std::string> read_to_end();
  Result<std::uint64_t> size() const;
  Result<void> truncate(std::uint64_t length);
  Result<void> seek(std::uint64_t offset);
  Result<void> data_sync();
  Result<void> sync();
  // Allocates disk space for [offset, offset + len) without changing the file's size
  // (fallocate with FALLOC_FL_KEEP_SIZE), so that later writes there cannot run out of space. A
  // file system that cannot do this fails with EOPNOTSUPP.
  Result<void> allocate_keeping_size(std::uint64_t offset, std::uint64_t len);
  // Closes now and reports a failure of close(2) (the destructor ignores it).
  Result<void> close();
  // Hands the descriptor over to the caller, who closes it; this File is closed afterwards.
  int release() { return std::exchange(fd_, -1); }

  // The file's own absolute path, links resolved, as the kernel names the open descriptor (which
  // may differ from the path it was opened by).
  Result<std::string> real_path() const;
  // The device and inode of the open file.
  Result<FileId> id() const;

 private:
  File(int fd, std::string path) : fd_(fd), path_(std::move(path)) {}

  int fd_ = -1;
  std::string path_;
};

// A read-only mapping of a whole file. Move-only; unmaps on destruction. An empty file maps to an
// empty view (no mmap call is made for it).
class MappedFile {
 public:
  MappedFile() = default;
  MappedFile(MappedFile&& other) noexcept;
  MappedFile& operator=(MappedFile&& other) noexcept;
  MappedFile(const MappedFile&) = delete;
  MappedFile& operator=(const MappedFile&) = delete;
  ~MappedFile();

  static Result<MappedFile> open(const std::string& path);

  std::string_view data() const { return {static_cast<const char*>(addr_), size_}; }
  std::size_t size() const { return size_; }

 private:
  void* addr_ = nullptr;
  std::size_t size_ = 0;
};

// fsync(2) of a directory, so that entries created or renamed in it are durable.
Result<void> sync_dir(const std::string& dir);
Result<void> rename_file(const std::string& from, const std::string& to);
Result<void> remove_file(const std::string& path);
// Creates the directory and any missing parents (mkdir -p, mode 0777 before the umask); an existing
// directory is fine.
Result<void> create_dir_all(const std::string& path);
// The size of a regular file, or nothing when the path does not exist (ENOENT). Any other failure
// to stat it is an error.
Result<std::optional<std::uint64_t>> file_size_if_exists(const std::string& path);
// Reads the whole file.
Result<std::string> read_file(const std::string& path);

struct DirEntry {
  std::string name;
  bool is_dir = false;  // a directory, or a symbolic link to one
};
// The entries of a directory other than "." and "..", in no particular order. The hook sees it as
// an Open of the directory.
Result<std::vector<DirEntry>> list_dir(const std::string& dir);
// The canonical absolute path of an existing path: resolved against the working directory, every
// symbolic link, "." and ".." resolved (realpath(3)).
Result<std::string> canonical_path(const std::string& path);
// Whether path is dir or lies below it; both absolute and canonical, compared by components.
bool path_is_within(std::string_view path, std::string_view dir);
// Whether any entry of the directory tree under dir (dir itself included, symbolic links not
// followed) is the file id.
Result<bool> tree_holds_file(const std::string& dir, const FileId& id);

// Joins two path pieces with one '/'.
std::string join_path(std::string_view dir, std::string_view name);

}  // namespace quenlordb::util
