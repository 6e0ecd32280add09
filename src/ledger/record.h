// The stored value of a version (FactValue) and the write-ahead-log record (FactWrite).
//
// Encoded FactValue:                      FactWrite payload:
//   offset  width   content                 varint klen, key (internal key)
//   0       8       valid_from, u64 BE      varint vlen, value (encoded FactValue)
//   8       8       valid_to, u64 BE        flags: bit 0 reserved_tag present, bit 1 write_tag present
//   16      varint  doc length              varint reserved_tag (if bit 0)
//   16+v    m       doc                     varint write_tag (if bit 1)
//
// A version is visible at valid time t when valid_from <= t < valid_to; a read without a valid
// time sees every version.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "error.h"

namespace quenlordb::ledger {

// Bytes of the two validity bounds in front of the document.
inline constexpr std::size_t kFactValueBoundsBytes = 16;

inline bool valid_at_time(std::uint64_t valid_from, std::uint64_t valid_to, std::optional<std::uint64_t> valid_at) {
  return !valid_at || (valid_from <= *valid_at && *valid_at < valid_to);
}

// Bytes the encoded value of a document of doc_len bytes takes.
std::size_t fact_value_size(std::size_t doc_len);
// Appends the encoded value.
void append_fact_value(std::string& out, std::uint64_t valid_from, std::uint64_t valid_to, std::string_view doc);

struct FactValue {
  std::uint64_t valid_from = 0;
  std::uint64_t valid_to = 0;
  std::string doc;

  std::string encode() const;
  friend bool operator==(const FactValue&, const FactValue&) = default;
};

// A stored value read in place; doc points into the stored bytes.
struct FactValueView {
  std::uint64_t valid_from;
  std::uint64_t valid_to;
  std::string_view doc;

  bool visible_at(std::optional<std::uint64_t> valid_at) const { return valid_at_time(valid_from, valid_to, valid_at); }
};

// The reading rule every reader applies (after checking the version's timestamp against its
// snapshot): fewer than 16 bytes is SstableFormat "fact value too short"; the document is the
// length-prefixed bytes at offset 16 (InvalidVarint when its length is bad); trailing bytes are ignored.
Result<FactValueView> read_fact_value(std::string_view stored);

struct FactWrite {
  std::optional<std::uint64_t> reserved_tag;
  std::optional<std::uint64_t> write_tag;
  std::string key;    // internal key
  std::string value;  // encoded FactValue

  std::size_t payload_size() const;
  void append_payload(std::string& out) const;
  std::string encode_payload() const;
  static Result<FactWrite> decode_payload(std::string_view payload);

  friend bool operator==(const FactWrite&, const FactWrite&) = default;
};

// Payload encoding from views, for writers that do not hold a FactWrite.
std::size_t fact_write_payload_size(std::size_t key_len, std::size_t value_len, std::optional<std::uint64_t> reserved_tag,
                                    std::optional<std::uint64_t> write_tag);
void append_fact_write_payload(std::string& out, std::string_view key, std::string_view value,
                               std::optional<std::uint64_t> reserved_tag, std::optional<std::uint64_t> write_tag);

}  // namespace quenlordb::ledger
