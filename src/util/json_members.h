// The top-level members of one JSON document, found in one validating pass (json_scan.h) without
// building the document: what a reader of a few fields of a row needs. The pass decides exactly as
// parse_json_document does whether the text is a document; of repeated member names the last
// counts, as in the tree. A member's value is given as its kind and its text as written, for the
// caller to convert (json_number_parts, append_json_string_content, or parse_json_document of an
// array's or object's text, which then parses).
//
// Views into the text, which must outlive the index. Texts of 4 GiB or more, and objects with a
// member name of 64 KiB or more, are not indexed (indexed() false); their readers parse a tree
// instead. One thread uses an index.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

#include "util/json_scan.h"

namespace quenlordb::util {

class JsonMembers {
 public:
  struct Value {
    JsonKind kind;
    std::string_view text;
  };

  JsonMembers() = default;
  explicit JsonMembers(std::string_view text) { scan(text); }

  // Reads text (replacing what an earlier scan found).
  void scan(std::string_view text);
  // The text scanned, now read at another place that holds the same bytes: the index reads it
  // there from now on.
  void rebase(std::string_view text) { text_ = text; }
  // Back to the state before any scan.
  void clear() {
    state_ = State::Unscanned;
    count_ = 0;
    spill_.clear();
  }

  // Whether scan has been called.
  bool scanned() const { return state_ != State::Unscanned; }
  bool indexed() const { return state_ != State::TooLarge; }
  // The text is a document under the system's JSON rules.
  bool is_document() const { return state_ == State::Object || state_ == State::OtherValue; }
  bool is_object() const { return state_ == State::Object; }

  // The value of the last member whose name, escapes resolved, is exactly name; none when there is
  // none or the document is not an object.
  std::optional<Value> find(std::string_view name) const;

  // Every member of an object in the order written, repeated names included (none for a text that
  // is not an object): its name as written between the quotes, escapes not resolved
  // (name_escaped tells whether it holds one), and its value.
  struct Entry {
    std::string_view name;
    bool name_escaped;
    Value value;
  };
  std::size_t size() const { return state_ == State::Object ? count_ : 0; }
  Entry entry(std::size_t i) const {
    const Member& m = members()[i];
    return Entry{text_.substr(m.key_offset, m.key_length), m.key_escaped,
                 Value{m.kind, text_.substr(m.value_offset, m.value_length)}};
  }

 private:
  enum class State : std::uint8_t { Unscanned, Invalid, Object, OtherValue, TooLarge };
  struct Member {
    std::uint32_t key_offset;  // the name's text between its quotes
    std::uint32_t value_offset;
    std::uint32_t value_length;
    std::uint16_t key_length;
    JsonKind kind;
    bool key_escaped;
  };
  static constexpr std::size_t kInline = 8;

  // The quick way for the common text: an object in plain text (no escape, no control character, no
  // byte from 0x80 up) of at most 1 KiB with blanks only as white space. True when it read the
  // text (as the scanner would); false leaves the members to the scanner.
  bool scan_plain(std::string_view text);
  Member& next_slot();
  const Member* members() const { return spill_.empty() ? inline_.data() : spill_.data(); }

  std::string_view text_;
  std::uint32_t count_ = 0;
  State state_ = State::Unscanned;
  std::array<Member, kInline> inline_;
  std::vector<Member> spill_;  // all members, once there are more than kInline
};

}  // namespace quenlordb::util
