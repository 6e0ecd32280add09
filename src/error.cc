#include "error.h"

#include <cerrno>
#include <cstring>

namespace quenlordb {

namespace {

// strerror_r comes in two flavours; overloads pick the one this C library declares.
[[maybe_unused]] const char* pick_strerror(int rc, const char* buf) { return rc == 0 ? buf : nullptr; }
[[maybe_unused]] const char* pick_strerror(const char* msg, const char*) { return msg; }

std::string describe_errno(int errnum) {
  char buf[256];
  buf[0] = '\0';
  const char* msg = pick_strerror(strerror_r(errnum, buf, sizeof buf), buf);
  std::string text = (msg != nullptr && *msg != '\0') ? msg : "Unknown error " + std::to_string(errnum);
  text += " (os error ";
  text += std::to_string(errnum);
  text += ')';
  return text;
}

}  // namespace

QuenlorError QuenlorError::io(int errnum) { return {ErrorKind::Io, describe_errno(errnum), errnum}; }

QuenlorError QuenlorError::last_os_error() { return io(errno); }

QuenlorError QuenlorError::io(int errnum, std::string_view context) {
  std::string text(context);
  text += ": ";
  text += describe_errno(errnum);
  return {ErrorKind::Io, std::move(text), errnum};
}

QuenlorError QuenlorError::utf8_invalid(std::size_t len, std::size_t index) {
  return {ErrorKind::Utf8,
          "invalid utf-8 sequence of " + std::to_string(len) + " bytes from index " + std::to_string(index)};
}

QuenlorError QuenlorError::utf8_incomplete(std::size_t index) {
  return {ErrorKind::Utf8, "incomplete utf-8 byte sequence from index " + std::to_string(index)};
}

std::string QuenlorError::to_string() const {
  auto with = [this](std::string_view prefix) {
    std::string out;
    out.reserve(prefix.size() + 2 + message_.size());
    out.append(prefix).append(": ").append(message_);
    return out;
  };
  switch (kind_) {
    case ErrorKind::Io: return with("io error");
    case ErrorKind::Utf8: return with("utf8 error");
    case ErrorKind::SerdeJson: return with("serde json error");
    case ErrorKind::IntConversion: return with("int conversion error");
    case ErrorKind::InvalidVarint: return "invalid varint";
    case ErrorKind::WalCrcMismatch: return "wal crc mismatch";
    case ErrorKind::WalMagicMismatch: return "wal magic mismatch";
    case ErrorKind::SstableFormat: return with("sstable format error");
    case ErrorKind::ManifestFormat: return with("manifest format error");
    case ErrorKind::ConfigInvalid: return with("config error");
    case ErrorKind::SqlParse: return with("sql parse error");
    case ErrorKind::SqlExecution: return with("sql execution error");
    case ErrorKind::NotFound: return "not found";
    case ErrorKind::ChannelClosed: return "channel closed";
    case ErrorKind::FeatureNotEnabled: return with("feature not enabled");
  }
  return "unknown error";
}

void panic(std::string message) { throw Panic(std::move(message)); }

}  // namespace quenlordb
