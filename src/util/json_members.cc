#include "util/json_members.h"

#include <cstring>
#include <limits>
#include <string>

namespace quenlordb::util {

namespace {

JsonKind kind_at(unsigned char c) {
  switch (c) {
    case '{': return JsonKind::Object;
    case '[': return JsonKind::Array;
    case '"': return JsonKind::String;
    case 't': return JsonKind::True;
    case 'f': return JsonKind::False;
    case 'n': return JsonKind::Null;
    default: return JsonKind::Number;
  }
}

}  // namespace

JsonMembers::Member& JsonMembers::next_slot() {
  if (count_ < kInline) return inline_[count_++];
  if (spill_.empty()) spill_.assign(inline_.begin(), inline_.end());
  ++count_;
  return spill_.emplace_back();
}

void JsonMembers::scan(std::string_view text) {
  text_ = text;
  count_ = 0;
  spill_.clear();
  if (text.size() > std::numeric_limits<std::uint32_t>::max()) {
    state_ = State::TooLarge;
    return;
  }
  state_ = State::Invalid;
  JsonNoEvents events;
  JsonScanner<JsonNoEvents> s(text, events);
  s.skip_bom();
  s.skip_white_space();
  if (s.at_end()) return;
  if (s.peek() != '{') {
    if (!s.parse_value(0)) return;
    s.skip_white_space();
    if (s.at_document_end()) state_ = State::OtherValue;
    return;
  }
  bool closed = false;
  if (!s.open_container(0, '}', closed)) return;
  while (!closed) {
    if (s.at_end() || s.peek() != '"') return;
    const std::size_t key_offset = s.position() + 1;
    bool escaped = false;
    if (!s.parse_string(true, &escaped)) return;
    const std::size_t key_length = s.position() - 1 - key_offset;
    if (key_length > std::numeric_limits<std::uint16_t>::max()) {
      state_ = State::TooLarge;
      count_ = 0;
      spill_.clear();
      return;
    }
    s.skip_white_space();
    if (s.at_end() || s.peek() != ':') return;
    s.advance();
    s.skip_white_space();
    if (s.at_end()) return;
    const std::size_t value_offset = s.position();
    const JsonKind kind = kind_at(s.peek());
    if (!s.parse_value(1)) return;
    // Filled in place: a member built aside and copied in would be read back before its narrow
    // stores land.
    Member& m = next_slot();
    m.key_offset = static_cast<std::uint32_t>(key_offset);
    m.value_offset = static_cast<std::uint32_t>(value_offset);
    m.value_length = static_cast<std::uint32_t>(s.position() - value_offset);
    m.key_length = static_cast<std::uint16_t>(key_length);
    m.kind = kind;
    m.key_escaped = escaped;
    if (!s.after_item('}', closed)) return;
  }
  s.skip_white_space();
  if (s.at_document_end()) state_ = State::Object;
}

std::optional<JsonMembers::Value> JsonMembers::find(std::string_view name) const {
  if (state_ != State::Object) return std::nullopt;
  const Member* all = members();
  std::string unescaped;
  for (std::uint32_t i = count_; i-- > 0;) {
    const Member& m = all[i];
    if (!m.key_escaped) {
      if (text_.substr(m.key_offset, m.key_length) != name) continue;
    } else {
      unescaped.clear();
      append_json_string_content(unescaped, text_.substr(m.key_offset - 1, m.key_length + 2));
      if (unescaped != name) continue;
    }
    return Value{m.kind, text_.substr(m.value_offset, m.value_length)};
  }
  return std::nullopt;
}

}  // namespace quenlordb::util
