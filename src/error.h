// The one error type of the engine, the SQL layers and the insight runtime, the Result<T> that every
// fallible operation returns, the TRY() helper that passes an error upward, and the panic raised
// for violated internal invariants.
#pragma once

#include <cstddef>
#include <cstdint>
#include <exception>
#include <expected>
#include <string>
#include <string_view>
#include <utility>

namespace quenlordb {

// The fifteen kinds, in their fixed order.
enum class ErrorKind : std::uint8_t {
  Io,
  Utf8,
  SerdeJson,
  IntConversion,
  InvalidVarint,
  WalCrcMismatch,
  WalMagicMismatch,
  SstableFormat,
  ManifestFormat,
  ConfigInvalid,
  SqlParse,
  SqlExecution,
  NotFound,
  ChannelClosed,
  FeatureNotEnabled,
};

// A value that owns what it carries. Kinds with a payload keep it as text (for Io also the error
// number); the display text is built only when asked for.
class QuenlorError {
 public:
  // Io from an error number: the payload is the system's description and " (os error N)".
  static QuenlorError io(int errnum);
  // Io from the current errno.
  static QuenlorError last_os_error();
  // Io whose text says what failed before the system's description: "{context}: {description} (os error N)".
  static QuenlorError io(int errnum, std::string_view context);
  // Io for a limit the engine itself keeps: text says what was refused, in place of the system's
  // description; the error number names the class of failure for callers that test it.
  static QuenlorError io_limit(int errnum, std::string text) { return {ErrorKind::Io, std::move(text), errnum}; }
  // "invalid utf-8 sequence of {len} bytes from index {index}"
  static QuenlorError utf8_invalid(std::size_t len, std::size_t index);
  // "incomplete utf-8 byte sequence from index {index}"
  static QuenlorError utf8_incomplete(std::size_t index);
  static QuenlorError serde_json(std::string message) { return {ErrorKind::SerdeJson, std::move(message)}; }
  static QuenlorError int_conversion() { return {ErrorKind::IntConversion, "out of range integral type conversion attempted"}; }
  static QuenlorError invalid_varint() { return {ErrorKind::InvalidVarint, {}}; }
  static QuenlorError wal_crc_mismatch() { return {ErrorKind::WalCrcMismatch, {}}; }
  static QuenlorError wal_magic_mismatch() { return {ErrorKind::WalMagicMismatch, {}}; }
  static QuenlorError sstable_format(std::string message) { return {ErrorKind::SstableFormat, std::move(message)}; }
  static QuenlorError manifest_format(std::string message) { return {ErrorKind::ManifestFormat, std::move(message)}; }
  static QuenlorError config_invalid(std::string message) { return {ErrorKind::ConfigInvalid, std::move(message)}; }
  static QuenlorError sql_parse(std::string message) { return {ErrorKind::SqlParse, std::move(message)}; }
  static QuenlorError sql_execution(std::string message) { return {ErrorKind::SqlExecution, std::move(message)}; }
  static QuenlorError not_found() { return {ErrorKind::NotFound, {}}; }
  static QuenlorError channel_closed() { return {ErrorKind::ChannelClosed, {}}; }
  static QuenlorError feature_not_enabled(std::string message) { return {ErrorKind::FeatureNotEnabled, std::move(message)}; }

  ErrorKind kind() const { return kind_; }
  // The error number of an Io error, 0 for every other kind.
  int os_error() const { return os_error_; }
  // The carried text (empty for the kinds that carry nothing).
  const std::string& message() const { return message_; }
  // The display text, e.g. "config error: shard_count must be > 0" or "channel closed".
  std::string to_string() const;

  friend bool operator==(const QuenlorError&, const QuenlorError&) = default;

 private:
  QuenlorError(ErrorKind kind, std::string message, int os_error = 0)
      : kind_(kind), os_error_(os_error), message_(std::move(message)) {}

  ErrorKind kind_;
  int os_error_;
  std::string message_;
};

template <typename T>
using Result = std::expected<T, QuenlorError>;

inline std::unexpected<QuenlorError> fail(QuenlorError e) { return std::unexpected(std::move(e)); }

// A violated internal invariant. Thrown, never returned; thread tops and the Python binding catch it.
class Panic : public std::exception {
 public:
  explicit Panic(std::string message) : message_(std::move(message)) {}
  const char* what() const noexcept override { return message_.c_str(); }

 private:
  std::string message_;
};

[[noreturn]] void panic(std::string message);

}  // namespace quenlordb

// Evaluates a Result-returning expression; on error returns the error from the enclosing function,
// otherwise yields the value (nothing for Result<void>). The enclosing function must return a Result.
// Do not use it inside a braced initializer after members already built (`T{std::move(a), TRY(f())}`):
// clang does not destroy those members when the statement expression returns. Bind it to a local
// first.
#define TRY(expr)                                                     \
  ({                                                                  \
    auto&& try_result_ = (expr);                                      \
    if (!try_result_.has_value()) [[unlikely]]                        \
      return ::std::unexpected(::std::move(try_result_).error());     \
    ::std::move(try_result_).value();                                 \
  })
