// The one place where JSON text becomes a value under the system's JSON rules: exactly one value
// (white space only around it) and nesting at most kJsonMaxDepth containers deep. The builder is
// fed by nlohmann's SAX parser; the two readers on top of it differ only in repeated member names:
// a typed record keeps every occurrence (so that its reader can refuse a repeated field), a generic
// document keeps the last. A third pass only checks the rules without building anything. Internal
// to util: use parse_json_record, check_json_text or parse_json_document.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

#include "error.h"

namespace quenlordb::util {

// Containers may nest this deep; one level more is refused, with kJsonDepthMessage.
inline constexpr std::size_t kJsonMaxDepth = 127;
inline constexpr std::string_view kJsonDepthMessage = "recursion limit exceeded";

namespace json_tree_detail {

// nlohmann prefixes its messages with "[json.exception.<kind>.<id>] "; the rest is the message.
std::string parser_message(const char* what);

// The types nlohmann's SAX interface names in its event signatures (the same for both value types).
struct SaxTypes {
  using number_integer_t = nlohmann::json::number_integer_t;
  using number_unsigned_t = nlohmann::json::number_unsigned_t;
  using number_float_t = nlohmann::json::number_float_t;
  using string_t = nlohmann::json::string_t;
  using binary_t = nlohmann::json::binary_t;
};

enum class RepeatedKeys { KeepAll, KeepLast };

// Builds the value event by event. Containers are filled in place; a pointer to an open container
// stays valid because only the innermost open container ever grows (and map nodes never move).
template <typename Json, RepeatedKeys kRepeated>
class TreeBuilder : public SaxTypes {
 public:
  // max_depth: the nesting allowed, kJsonMaxDepth unless a reader allows a container around
  // documents (a file's array, a record's wrapper object) levels of its own.
  explicit TreeBuilder(std::size_t max_depth = kJsonMaxDepth) : max_depth_(max_depth) {}

  bool null() { return add(Json(nullptr)) != nullptr; }
  bool boolean(bool v) { return add(Json(v)) != nullptr; }
  bool number_integer(number_integer_t v) { return add(Json(v)) != nullptr; }
  bool number_unsigned(number_unsigned_t v) { return add(Json(v)) != nullptr; }
  bool number_float(number_float_t v, const string_t&) { return add(Json(v)) != nullptr; }
  bool string(string_t& v) { return add(Json(std::move(v))) != nullptr; }
  bool binary(binary_t& v) { return add(Json::binary(std::move(v))) != nullptr; }
  bool key(string_t& k) {
    key_ = std::move(k);
    return true;
  }
  bool start_object(std::size_t) { return open(Json::object()); }
  bool start_array(std::size_t) { return open(Json::array()); }
  bool end_object() {
    open_.pop_back();
    return true;
  }
  bool end_array() {
    open_.pop_back();
    return true;
  }
  bool parse_error(std::size_t, const std::string&, const nlohmann::detail::exception& ex) {
    error_ = parser_message(ex.what());
    return false;
  }

  // Parses text; on failure the SerdeJson error carries the parser's message or
  // "recursion limit exceeded".
  Result<Json> parse(std::string_view text) && {
    const bool ok = Json::sax_parse(text.begin(), text.end(), this, nlohmann::detail::input_format_t::json, true);
    if (!ok) return fail(QuenlorError::serde_json(error_.empty() ? "invalid JSON" : std::move(error_)));
    return std::move(root_);
  }

 private:
  bool open(Json container) {
    if (open_.size() >= max_depth_) {
      error_ = kJsonDepthMessage;
      return false;
    }
    Json* slot = add(std::move(container));
    open_.push_back(slot);
    return true;
  }

  Json* add(Json v) {
    if (open_.empty()) {
      root_ = std::move(v);
      return &root_;
    }
    Json& parent = *open_.back();
    if (parent.is_array()) {
      auto& elements = *parent.template get_ptr<typename Json::array_t*>();
      elements.push_back(std::move(v));
      return &elements.back();
    }
    auto& members = *parent.template get_ptr<typename Json::object_t*>();
    if constexpr (kRepeated == RepeatedKeys::KeepAll) {
      // Append through the ordered object's underlying vector: its own insert would drop a repeated name.
      using Members = std::vector<std::pair<const std::string, Json>>;
      Members& all = members;
      all.emplace_back(std::move(key_), std::move(v));
      return &all.back().second;
    } else {
      Json& slot = members[std::move(key_)];
      slot = std::move(v);
      return &slot;
    }
  }

  std::size_t max_depth_;
  Json root_;
  std::vector<Json*> open_;
  string_t key_;
  std::string error_;
};

// Accepts every event and only counts the depth of open containers.
class DepthCheck : public SaxTypes {
 public:
  bool null() { return true; }
  bool boolean(bool) { return true; }
  bool number_integer(number_integer_t) { return true; }
  bool number_unsigned(number_unsigned_t) { return true; }
  bool number_float(number_float_t, const string_t&) { return true; }
  bool string(string_t&) { return true; }
  bool binary(binary_t&) { return true; }
  bool key(string_t&) { return true; }
  bool start_object(std::size_t) { return open(); }
  bool start_array(std::size_t) { return open(); }
  bool end_object() { return close(); }
  bool end_array() { return close(); }
  bool parse_error(std::size_t, const std::string&, const nlohmann::detail::exception& ex) {
    error_ = parser_message(ex.what());
    return false;
  }

  Result<void> parse(std::string_view text) && {
    const bool ok =
        nlohmann::json::sax_parse(text.begin(), text.end(), this, nlohmann::detail::input_format_t::json, true);
    if (!ok) return fail(QuenlorError::serde_json(error_.empty() ? "invalid JSON" : std::move(error_)));
    return {};
  }

 private:
  bool open() {
    if (depth_ >= kJsonMaxDepth) {
      error_ = kJsonDepthMessage;
      return false;
    }
    ++depth_;
    return true;
  }
  bool close() {
    --depth_;
    return true;
  }

  std::size_t depth_ = 0;
  std::string error_;
};

}  // namespace json_tree_detail
}  // namespace quenlordb::util
