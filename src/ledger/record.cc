#include "ledger/record.h"

#include "util/coding.h"
#include "util/varint.h"

namespace quenlordb::ledger {

namespace {
constexpr unsigned char kFlagReservedTag = 0x01;
constexpr unsigned char kFlagWriteTag = 0x02;
}  // namespace

std::size_t fact_value_size(std::size_t doc_len) {
  return kFactValueBoundsBytes + util::varint_length(doc_len) + doc_len;
}

void append_fact_value(std::string& out, std::uint64_t valid_from, std::uint64_t valid_to, std::string_view doc) {
  out.reserve(out.size() + fact_value_size(doc.size()));
  util::put_u64_be(out, valid_from);
  util::put_u64_be(out, valid_to);
  util::put_bytes(out, doc);
}

std::string FactValue::encode() const {
  std::string out;
  append_fact_value(out, valid_from, valid_to, doc);
  return out;
}

Result<FactValueView> read_fact_value(std::string_view stored) {
  if (stored.size() < kFactValueBoundsBytes) return fail(QuenlorError::sstable_format("fact value too short"));
  std::size_t pos = kFactValueBoundsBytes;
  std::string_view doc = TRY(util::decode_bytes_view(stored, pos));
  return FactValueView{util::load_u64_be(stored.data()), util::load_u64_be(stored.data() + 8), doc};
}

std::size_t fact_write_payload_size(std::size_t key_len, std::size_t value_len, std::optional<std::uint64_t> reserved_tag,
                                    std::optional<std::uint64_t> write_tag) {
  std::size_t n = util::varint_length(key_len) + key_len + util::varint_length(value_len) + value_len + 1;
  if (reserved_tag) n += util::varint_length(*reserved_tag);
  if (write_tag) n += util::varint_length(*write_tag);
  return n;
}

void append_fact_write_payload(std::string& out, std::string_view key, std::string_view value,
                               std::optional<std::uint64_t> reserved_tag, std::optional<std::uint64_t> write_tag) {
  util::put_bytes(out, key);
  util::put_bytes(out, value);
  unsigned char flags = 0;
  if (reserved_tag) flags |= kFlagReservedTag;
  if (write_tag) flags |= kFlagWriteTag;
  out.push_back(static_cast<char>(flags));
  if (reserved_tag) util::put_varint(out, *reserved_tag);
  if (write_tag) util::put_varint(out, *write_tag);
}

std::size_t FactWrite::payload_size() const { return fact_write_payload_size(key.size(), value.size(), reserved_tag, write_tag); }

void FactWrite::append_payload(std::string& out) const {
  append_fact_write_payload(out, key, value, reserved_tag, write_tag);
}

std::string FactWrite::encode_payload() const {
  std::string out;
  out.reserve(payload_size());
  append_payload(out);
  return out;
}

Result<FactWrite> FactWrite::decode_payload(std::string_view payload) {
  FactWrite w;
  std::size_t pos = 0;
  w.key = TRY(util::decode_bytes(payload, pos));
  w.value = TRY(util::decode_bytes(payload, pos));
  if (pos >= payload.size()) return w;
  const auto flags = static_cast<unsigned char>(payload[pos++]);
  if (flags & kFlagReservedTag) w.reserved_tag = TRY(util::get_varint(payload, pos));
  if (flags & kFlagWriteTag) w.write_tag = TRY(util::get_varint(payload, pos));
  return w;
}

}  // namespace quenlordb::ledger
