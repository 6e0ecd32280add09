#include "util/file.h"

#include <algorithm>

#include <dirent.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <string>
#include <utility>

namespace quenlordb::util {

namespace {

std::atomic<FaultHook> g_fault_hook{nullptr};

// Asks the hook whether the operation may run; returns the error number to fail it with, or 0.
int before(FileOp op, const std::string& path, std::size_t* len = nullptr) {
  FaultHook hook = g_fault_hook.load(std::memory_order_relaxed);
  if (hook == nullptr) [[likely]]
    return 0;
  return hook(op, FaultPhase::Before, path, len);
}

void after(FileOp op, const std::string& path) {
  FaultHook hook = g_fault_hook.load(std::memory_order_relaxed);
  if (hook != nullptr) [[unlikely]]
    hook(op, FaultPhase::After, path, nullptr);
}

// Runs a syscall-returning-int under the hook; maps -1 to an Io error from errno.
template <typename Fn>
Result<void> checked(FileOp op, const std::string& path, Fn&& fn) {
  if (int injected = before(op, path)) return fail(QuenlorError::io(injected));
  int rc;
  do {
    rc = fn();
  } while (rc < 0 && errno == EINTR);
  if (rc < 0) return fail(QuenlorError::last_os_error());
  after(op, path);
  return {};
}

}  // namespace

const char* file_op_name(FileOp op) {
  switch (op) {
    case FileOp::Open: return "open";
    case FileOp::Write: return "write";
    case FileOp::Read: return "read";
    case FileOp::Truncate: return "truncate";
    case FileOp::DataSync: return "data_sync";
    case FileOp::Sync: return "sync";
    case FileOp::SyncDir: return "sync_dir";
    case FileOp::Rename: return "rename";
    case FileOp::Unlink: return "unlink";
    case FileOp::Mkdir: return "mkdir";
    case FileOp::Stat: return "stat";
    case FileOp::Map: return "map";
    case FileOp::Allocate: return "allocate";
  }
  return "unknown";
}

void set_fault_hook(FaultHook hook) { g_fault_hook.store(hook, std::memory_order_seq_cst); }

// ---- File ----

File::File(File&& other) noexcept : fd_(std::exchange(other.fd_, -1)), path_(std::move(other.path_)) {}

File& File::operator=(File&& other) noexcept {
  if (this != &other) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = std::exchange(other.fd_, -1);
    path_ = std::move(other.path_);
  }
  return *this;
}

File::~File() {
  if (fd_ >= 0) ::close(fd_);
}

Result<File> File::open(const std::string& path, int flags, mode_t mode) {
  if (int injected = before(FileOp::Open, path)) return fail(QuenlorError::io(injected));
  int fd;
  do {
    fd = ::open(path.c_str(), flags | O_CLOEXEC, mode);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return fail(QuenlorError::last_os_error());
  after(FileOp::Open, path);
  return File(fd, path);
}

Result<void> File::write_all(std::string_view data) {
  while (!data.empty()) {
    std::size_t len = data.size();
    if (int injected = before(FileOp::Write, path_, &len)) return fail(QuenlorError::io(injected));
    if (len > data.size()) len = data.size();
    ssize_t n = ::write(fd_, data.data(), len);
    if (n < 0) {
      if (errno == EINTR) continue;
      return fail(QuenlorError::last_os_error());
    }
    if (n == 0) return fail(QuenlorError::io(EIO));
    data.remove_prefix(static_cast<std::size_t>(n));
  }
  after(FileOp::Write, path_);
  return {};
}

Result<std::size_t> File::read(char* buf, std::size_t len) {
  if (int injected = before(FileOp::Read, path_)) return fail(QuenlorError::io(injected));
  while (true) {
    ssize_t n = ::read(fd_, buf, len);
    if (n >= 0) return static_cast<std::size_t>(n);
    if (errno != EINTR) return fail(QuenlorError::last_os_error());
  }
}

Result<std::string> File::read_to_end() {
  // Read straight into the string, with room for what the file holds now and one byte more, so
  // that the read which finds the end needs no more; a file that grows meanwhile doubles the room.
  std::size_t room = 65536;
  struct stat st;
  if (::fstat(fd_, &st) == 0 && st.st_size > 0) room = std::max(room, static_cast<std::size_t>(st.st_size) + 1);
  std::string out(room, '\0');
  std::size_t used = 0;
  while (true) {
    if (used == out.size()) out.resize(out.size() * 2);
    const std::size_t n = TRY(read(out.data() + used, out.size() - used));
    if (n == 0) {
      out.resize(used);
      return out;
    }
    used += n;
  }
}

Result<std::uint64_t> File::size() const {
  if (int injected = before(FileOp::Stat, path_)) return fail(QuenlorError::io(injected));
  struct stat st;
  if (::fstat(fd_, &st) != 0) return fail(QuenlorError::last_os_error());
  return static_cast<std::uint64_t>(st.st_size);
}

Result<void> File::truncate(std::uint64_t length) {
  return checked(FileOp::Truncate, path_, [&] { return ::ftruncate(fd_, static_cast<off_t>(length)); });
}

Result<void> File::seek(std::uint64_t offset) {
  if (::lseek(fd_, static_cast<off_t>(offset), SEEK_SET) < 0) return fail(QuenlorError::last_os_error());
  return {};
}

Result<void> File::data_sync() {
  return checked(FileOp::DataSync, path_, [&] { return ::fdatasync(fd_); });
}

Result<void> File::sync() {
  return checked(FileOp::Sync, path_, [&] { return ::fsync(fd_); });
}

Result<void> File::allocate_keeping_size(std::uint64_t offset, std::uint64_t len) {
  return checked(FileOp::Allocate, path_, [&] {
    return ::fallocate(fd_, FALLOC_FL_KEEP_SIZE, static_cast<off_t>(offset), static_cast<off_t>(len));
  });
}

Result<std::string> File::real_path() const {
  const std::string link = "/proc/self/fd/" + std::to_string(fd_);
  std::string out(256, '\0');
  for (;;) {
    const ssize_t n = ::readlink(link.c_str(), out.data(), out.size());
    if (n < 0) return fail(QuenlorError::last_os_error());
    if (static_cast<std::size_t>(n) < out.size()) {
      out.resize(static_cast<std::size_t>(n));
      return out;
    }
    out.resize(out.size() * 2);  // possibly cut short: read again with more room
  }
}

Result<FileId> File::id() const {
  struct stat st;
  if (::fstat(fd_, &st) != 0) return fail(QuenlorError::last_os_error());
  return FileId{st.st_dev, st.st_ino};
}

Result<void> File::close() {
  if (fd_ < 0) return {};
  int fd = std::exchange(fd_, -1);
  if (::close(fd) != 0 && errno != EINTR) return fail(QuenlorError::last_os_error());
  return {};
}

// ---- MappedFile ----

MappedFile::MappedFile(MappedFile&& other) noexcept
    : addr_(std::exchange(other.addr_, nullptr)), size_(std::exchange(other.size_, 0)) {}

MappedFile& MappedFile::operator=(MappedFile&& other) noexcept {
  if (this != &other) {
    if (addr_ != nullptr) ::munmap(addr_, size_);
    addr_ = std::exchange(other.addr_, nullptr);
    size_ = std::exchange(other.size_, 0);
  }
  return *this;
}

MappedFile::~MappedFile() {
  if (addr_ != nullptr) ::munmap(addr_, size_);
}

Result<MappedFile> MappedFile::open(const std::string& path) {
  File file = TRY(File::open(path, O_RDONLY));
  std::uint64_t size = TRY(file.size());
  MappedFile mapped;
  if (size == 0) return mapped;
  if (size > SIZE_MAX) return fail(QuenlorError::io(EFBIG));
  if (int injected = before(FileOp::Map, path)) return fail(QuenlorError::io(injected));
  void* addr = ::mmap(nullptr, static_cast<std::size_t>(size), PROT_READ, MAP_SHARED, file.fd(), 0);
  if (addr == MAP_FAILED) return fail(QuenlorError::last_os_error());
  mapped.addr_ = addr;
  mapped.size_ = static_cast<std::size_t>(size);
  after(FileOp::Map, path);
  return mapped;
}

// ---- paths ----

Result<void> sync_dir(const std::string& dir) {
  if (int injected = before(FileOp::SyncDir, dir)) return fail(QuenlorError::io(injected));
  int fd;
  do {
    fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return fail(QuenlorError::last_os_error());
  int rc = ::fsync(fd);
  int saved = errno;
  ::close(fd);
  if (rc != 0) return fail(QuenlorError::io(saved));
  after(FileOp::SyncDir, dir);
  return {};
}

Result<void> rename_file(const std::string& from, const std::string& to) {
  return checked(FileOp::Rename, to, [&] { return ::rename(from.c_str(), to.c_str()); });
}

Result<void> remove_file(const std::string& path) {
  return checked(FileOp::Unlink, path, [&] { return ::unlink(path.c_str()); });
}

Result<void> create_dir_all(const std::string& path) {
  if (int injected = before(FileOp::Mkdir, path)) return fail(QuenlorError::io(injected));
  if (path.empty()) return fail(QuenlorError::io(ENOENT));
  std::string partial;
  partial.reserve(path.size());
  std::size_t i = 0;
  while (i <= path.size()) {
    std::size_t slash = path.find('/', i);
    if (slash == std::string::npos) slash = path.size();
    partial.assign(path, 0, slash);
    i = slash + 1;
    if (partial.empty() || partial.back() == '/') continue;
    if (::mkdir(partial.c_str(), 0777) != 0 && errno != EEXIST) return fail(QuenlorError::last_os_error());
  }
  struct stat st;
  if (::stat(path.c_str(), &st) != 0) return fail(QuenlorError::last_os_error());
  if (!S_ISDIR(st.st_mode)) return fail(QuenlorError::io(ENOTDIR));
  after(FileOp::Mkdir, path);
  return {};
}

Result<std::optional<std::uint64_t>> file_size_if_exists(const std::string& path) {
  if (int injected = before(FileOp::Stat, path)) return fail(QuenlorError::io(injected));
  struct stat st;
  if (::stat(path.c_str(), &st) != 0) {
    if (errno == ENOENT) return std::optional<std::uint64_t>{};
    return fail(QuenlorError::last_os_error());
  }
  return std::optional<std::uint64_t>{static_cast<std::uint64_t>(st.st_size)};
}

Result<std::string> read_file(const std::string& path) {
  File file = TRY(File::open(path, O_RDONLY));
  return file.read_to_end();
}

Result<std::vector<DirEntry>> list_dir(const std::string& dir) {
  if (int injected = before(FileOp::Open, dir)) return fail(QuenlorError::io(injected));
  DIR* handle = ::opendir(dir.c_str());
  if (handle == nullptr) return fail(QuenlorError::last_os_error());
  std::vector<DirEntry> entries;
  while (true) {
    errno = 0;
    const dirent* entry = ::readdir(handle);
    if (entry == nullptr) break;
    const std::string_view name = entry->d_name;
    if (name == "." || name == "..") continue;
    bool is_dir = entry->d_type == DT_DIR;
    if (entry->d_type == DT_UNKNOWN || entry->d_type == DT_LNK) {
      struct stat st;
      is_dir = ::fstatat(::dirfd(handle), entry->d_name, &st, 0) == 0 && S_ISDIR(st.st_mode);
    }
    entries.push_back({std::string(name), is_dir});
  }
  const int err = errno;
  ::closedir(handle);
  if (err != 0) return fail(QuenlorError::io(err));
  after(FileOp::Open, dir);
  return entries;
}

Result<std::string> canonical_path(const std::string& path) {
  char* resolved = ::realpath(path.c_str(), nullptr);
  if (resolved == nullptr) return fail(QuenlorError::last_os_error());
  std::string out(resolved);
  std::free(resolved);
  return out;
}

bool path_is_within(std::string_view path, std::string_view dir) {
  while (dir.size() > 1 && dir.back() == '/') dir.remove_suffix(1);
  if (!path.starts_with(dir)) return false;
  return path.size() == dir.size() || dir == "/" || path[dir.size()] == '/';
}

Result<bool> tree_holds_file(const std::string& dir, const FileId& id) {
  struct stat st;
  if (::lstat(dir.c_str(), &st) != 0) return fail(QuenlorError::last_os_error());
  if (FileId{st.st_dev, st.st_ino} == id) return true;
  if (!S_ISDIR(st.st_mode)) return false;
  DIR* handle = ::opendir(dir.c_str());
  if (handle == nullptr) return fail(QuenlorError::last_os_error());
  std::vector<std::string> subdirs;
  bool found = false;
  while (!found) {
    errno = 0;
    const dirent* entry = ::readdir(handle);
    if (entry == nullptr) break;
    const std::string_view name = entry->d_name;
    if (name == "." || name == "..") continue;
    if (::fstatat(::dirfd(handle), entry->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0) {
      if (errno == ENOENT) continue;  // removed since it was listed
      break;
    }
    if (FileId{st.st_dev, st.st_ino} == id) found = true;
    else if (S_ISDIR(st.st_mode)) subdirs.push_back(join_path(dir, name));
    errno = 0;
  }
  const int err = errno;
  ::closedir(handle);
  if (found) return true;
  if (err != 0) return fail(QuenlorError::io(err));
  for (const std::string& sub : subdirs) {
    if (TRY(tree_holds_file(sub, id))) return true;
  }
  return false;
}

std::string join_path(std::string_view dir, std::string_view name) {
  std::string out(dir);
  if (!out.empty() && out.back() != '/') out.push_back('/');
  out.append(name);
  return out;
}

}  // namespace quenlordb::util
