#include "util/varint.h"

namespace quenlordb::util {

Result<std::uint64_t> get_varint(std::string_view data, std::size_t& pos) {
  std::uint64_t value = 0;
  unsigned shift = 0;
  while (true) {
    if (pos >= data.size()) return fail(QuenlorError::invalid_varint());
    const auto byte = static_cast<unsigned char>(data[pos++]);
    value |= static_cast<std::uint64_t>(byte & 0x7F) << shift;
    if ((byte & 0x80) == 0) return value;
    if (shift == 63) return fail(QuenlorError::invalid_varint());
    shift += 7;
  }
}

Result<std::string_view> decode_bytes_view(std::string_view data, std::size_t& pos) {
  const std::uint64_t len = TRY(get_varint(data, pos));
  if (len > data.size() - pos) return fail(QuenlorError::invalid_varint());
  std::string_view bytes = data.substr(pos, static_cast<std::size_t>(len));
  pos += static_cast<std::size_t>(len);
  return bytes;
}

Result<std::string> decode_bytes(std::string_view data, std::size_t& pos) {
  return std::string(TRY(decode_bytes_view(data, pos)));
}

}  // namespace quenlordb::util
