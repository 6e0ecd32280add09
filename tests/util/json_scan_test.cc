#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "util/json_document.h"
#include "util/json_members.h"
#include "util/json_record.h"
#include "util/json_scan.h"

namespace quenlordb::util {
namespace {

// Builds a tree from the scanner's events with the document reader's rules (last repeated key
// wins), so that the events can be compared with parse_json_document value for value.
class EventTree {
 public:
  static constexpr bool kWantsValues = true;
  bool null() { return add(nlohmann::json(nullptr)); }
  bool boolean(bool v) { return add(nlohmann::json(v)); }
  bool number(std::string_view token) {
    const JsonNumber n = json_number_parts(token);
    switch (n.form) {
      case JsonNumber::Form::Integer: return add(nlohmann::json(n.integer));
      case JsonNumber::Form::Unsigned: return add(nlohmann::json(n.unsigned_));
      case JsonNumber::Form::Float: break;
    }
    return add(nlohmann::json(n.floating));
  }
  bool string(std::string_view s) { return add(nlohmann::json(std::string(s))); }
  bool key(std::string_view k) {
    key_ = k;
    return true;
  }
  bool start_object() { return open(nlohmann::json::object()); }
  bool start_array() { return open(nlohmann::json::array()); }
  bool end_object() { return close(); }
  bool end_array() { return close(); }

  nlohmann::json root;

 private:
  bool open(nlohmann::json container) {
    nlohmann::json* slot = place(std::move(container));
    stack_.push_back(slot);
    return true;
  }
  bool close() {
    stack_.pop_back();
    return true;
  }
  bool add(nlohmann::json v) {
    place(std::move(v));
    return true;
  }
  nlohmann::json* place(nlohmann::json v) {
    if (stack_.empty()) {
      root = std::move(v);
      return &root;
    }
    nlohmann::json& parent = *stack_.back();
    if (parent.is_array()) {
      parent.push_back(std::move(v));
      return &parent.back();
    }
    nlohmann::json& slot = parent[key_];
    slot = std::move(v);
    return &slot;
  }
  std::vector<nlohmann::json*> stack_;
  std::string key_;
};

std::string must_dump(const nlohmann::json& v) {
  Result<std::string> text = dump_json_compact(v);
  EXPECT_TRUE(text);
  return text ? *text : std::string();
}

// Equal values of equal types; doubles bit for bit (so -0.0 is not 0.0).
bool same(const nlohmann::json& a, const nlohmann::json& b) {
  if (a.type() != b.type()) return false;
  if (a.is_number_float()) {
    const double x = a.get<double>(), y = b.get<double>();
    return std::memcmp(&x, &y, sizeof x) == 0;
  }
  if (a.is_array()) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
      if (!same(a[i], b[i])) return false;
    }
    return true;
  }
  if (a.is_object()) {
    if (a.size() != b.size()) return false;
    for (auto it = a.begin(), jt = b.begin(); it != a.end(); ++it, ++jt) {
      if (it.key() != jt.key() || !same(it.value(), jt.value())) return false;
    }
    return true;
  }
  return a == b;
}

// The value a member's text stands for, read through the scanner's events.
nlohmann::json value_of(const JsonMembers::Value& v) {
  EventTree tree;
  EXPECT_TRUE(JsonScanner<EventTree>(v.text, tree).parse_document()) << v.text;
  return tree.root;
}

// Checks text against the tree reader: the same verdict, the same values through the events, and
// the same members through the index.
// Whether a tree holds a float, or a member name the writer escapes: its compact text is then not
// what json_text_is_canonical accepts.
bool writes_escaped_names_or_floats(const nlohmann::json& v) {
  if (v.is_number_float()) return true;
  if (v.is_array()) {
    for (const nlohmann::json& e : v) {
      if (writes_escaped_names_or_floats(e)) return true;
    }
  }
  if (v.is_object()) {
    for (auto it = v.begin(); it != v.end(); ++it) {
      for (const char c : it.key()) {
        if (static_cast<unsigned char>(c) < 0x20 || c == '"' || c == '\\') return true;
      }
      if (writes_escaped_names_or_floats(it.value())) return true;
    }
  }
  return false;
}

// A text the canonical check accepts is written back byte for byte; the compact text of a tree is
// accepted unless it holds a float or an escaped name.
void check_canonical(const std::string& text, const Result<nlohmann::json>& tree) {
  if (json_text_is_canonical(text)) {
    ASSERT_TRUE(tree);
    EXPECT_EQ(must_dump(*tree), text);
  }
  if (!tree) return;
  const std::string written = must_dump(*tree);
  if (!writes_escaped_names_or_floats(*tree)) {
    EXPECT_TRUE(json_text_is_canonical(written)) << written;
  }
  if (json_text_is_canonical(written)) {
    Result<nlohmann::json> again = parse_json_document(written);
    ASSERT_TRUE(again);
    EXPECT_EQ(must_dump(*again), written);
  }
}

void check_against_tree(const std::string& text) {
  SCOPED_TRACE(::testing::Message() << "text: " << ::testing::PrintToString(text));
  Result<nlohmann::json> tree = parse_json_document(text);
  check_canonical(text, tree);
  EXPECT_EQ(json_text_is_document(text), tree.has_value());
  EventTree events;
  const bool scanned = JsonScanner<EventTree>(text, events).parse_document();
  ASSERT_EQ(scanned, tree.has_value());
  JsonMembers index(text);
  EXPECT_EQ(index.is_document(), tree.has_value());
  if (!tree) {
    EXPECT_FALSE(index.find("a"));
    return;
  }
  EXPECT_TRUE(same(events.root, *tree)) << events.root.dump() << " vs " << tree->dump();
  EXPECT_EQ(index.is_object(), tree->is_object());
  if (!tree->is_object()) {
    EXPECT_FALSE(index.find("a"));
    return;
  }
  for (auto it = tree->begin(); it != tree->end(); ++it) {
    const std::optional<JsonMembers::Value> v = index.find(it.key());
    ASSERT_TRUE(v) << it.key();
    EXPECT_TRUE(same(value_of(*v), it.value())) << it.key() << ": " << v->text;
  }
  EXPECT_FALSE(index.find("no such member"));
}

std::string nest(std::size_t depth, const std::string& inner) {
  std::string out;
  for (std::size_t i = 0; i < depth; ++i) out += i % 2 ? "[" : "{\"k\":";
  out += inner;
  for (std::size_t i = depth; i-- > 0;) out += i % 2 ? "]" : "}";
  return out;
}

TEST(JsonScanTest, AgreesWithTheTreeReaderOnTrickyDocuments) {
  const std::vector<std::string> cases = {
      // Members: repeated names (the last counts, also when spelt with an escape), escaped names.
      R"({"a":1,"b":2,"a":3})", R"({"a":1,"\u0061":2})", R"({"\u0061":1,"a":2})", R"({"a\"b":1,"":2,"\\":3})",
      R"({"x":{"y":1,"y":2},"x":{"z":3}})", R"({"é":1,"\u00e9":2})", "{}", " { } ", "{\"a\":[]}",
      R"({"a" : { "b" : [ 1 , 2 , { "c" : null } ] } , "d":true,"e":false})",
      // Not objects.
      "[1,2,3]", "5", "\"s\"", "null", "true", "[]", "[{\"a\":1}]",
      // Numbers.
      "{\"n\":0}", "{\"n\":-0}", "{\"n\":-0.0}", "{\"n\":0.0}", "{\"n\":1e400}", "{\"n\":-1e400}", "{\"n\":1e-400}",
      "{\"n\":-1e-400}", "{\"n\":4.9e-324}", "{\"n\":2.4703282292062328e-324}", "{\"n\":2.4703282292062327e-324}",
      "{\"n\":1.7976931348623157e308}", "{\"n\":1.7976931348623158e308}", "{\"n\":1.7976931348623159e308}",
      "{\"n\":9223372036854775807}", "{\"n\":9223372036854775808}", "{\"n\":-9223372036854775808}",
      "{\"n\":-9223372036854775809}", "{\"n\":18446744073709551615}", "{\"n\":18446744073709551616}",
      "{\"n\":99999999999999999999}", "{\"n\":123456789012345678901234567890}", "{\"n\":9007199254740993}",
      "{\"n\":-9007199254740993}", "{\"n\":0.1}", "{\"n\":1E5}", "{\"n\":1e+5}", "{\"n\":1e-5}", "{\"n\":0e0}",
      "{\"n\":0.000001e-5}", "{\"n\":1" + std::string(308, '0') + "}", "{\"n\":1" + std::string(309, '0') + "}",
      "{\"n\":1" + std::string(400, '0') + "}", "{\"n\":0." + std::string(400, '0') + "1e400}",
      "{\"n\":1" + std::string(300, '0') + "e8}", "{\"n\":1" + std::string(300, '0') + "e9}", "{\"n\":1e99999999999999}",
      "{\"n\":1e-99999999999999}", "{\"n\":01}", "{\"n\":-}", "{\"n\":1.}", "{\"n\":.1}", "{\"n\":+1}", "{\"n\":1e}",
      "{\"n\":-01}", "{\"n\":1e+}", "{\"n\":0x10}", "{\"n\":NaN}", "{\"n\":Infinity}", "{\"n\":-Infinity}",
      // Strings.
      R"({"s":"\u00e9\ud83d\ude00\u0000\/\b\f\n\r\t\"\\"})", R"({"s":"\ud83d"})", R"({"s":"\ude00"})",
      R"({"s":"\ud83d\u0041"})", R"({"s":"\ud83dx"})", R"({"s":"\u12"})", R"({"s":"\u12g4"})", R"({"s":"\x"})",
      R"({"s":"\U0041"})", "{\"s\":\"a\x01\"}", "{\"s\":\"a\x7f\"}", "{\"s\":\"tab\there\"}", "{\"s\":\"\xff\"}",
      "{\"s\":\"\xc0\x80\"}", "{\"s\":\"\xc2\x80\"}", "{\"s\":\"\xed\xa0\x80\"}", "{\"s\":\"\xed\x9f\xbf\"}",
      "{\"s\":\"\xf4\x90\x80\x80\"}", "{\"s\":\"\xf4\x8f\xbf\xbf\"}", "{\"s\":\"\xe2\x82\"}", "{\"s\":\"\xe0\x9f\x80\"}",
      "{\"s\":\"\xf0\x8f\xbf\xbf\"}", "{\"s\":\"\xf5\x80\x80\x80\"}", "{\"s\":\"\xe2\x82\xac\"}", "{\"s\":\"abc",
      "{\"\xff\":1}", "{\"s\":\"\\",
      // Structure and white space.
      "\xEF\xBB\xBF{\"a\":1}", "\xEF\xBB\xBF", "\xEF\xBB{\"a\":1}", " \xEF\xBB\xBF{\"a\":1}", "\xEF\xBB\xBF \n{\"a\":1}",
      "", " ", "{", "}", "{\"a\"}", "{\"a\":}", "{\"a\":1,}", "{,\"a\":1}", "{\"a\":1 \"b\":2}", "{\"a\":1}}",
      "{\"a\":1} x", "{\"a\":1} {}", "[1,]", "[,1]", "{'a':1}", "{a:1}", "{\"a\":1}\f", "\t\r\n{\"a\":1}\t\r\n",
      "{\"a\":tru}", "{\"a\":truex}", "{\"a\":nul}", "{\"a\":True}", "{\"a\":1}/*c*/", "{\"a\":[1,[2,[3]]]}",
      // A NUL byte after the value ends the tree reader's input; anywhere else it is refused.
      std::string("{\"a\":1}\0", 8), std::string("{\"a\":1} \0x]", 10), std::string("[1\0]", 4),
      std::string("\0{}", 3), std::string("{\"a\":\0}", 7), std::string("{\"a\":\"\0\"}", 8),
      // Nesting around the limit of 127 containers.
      nest(127, "1"), nest(128, "1"), "{\"b\":2,\"a\":" + nest(126, "1") + "}", "{\"b\":2,\"a\":" + nest(127, "1") + "}",
      std::string(126, '[') + std::string(126, ']'), std::string(127, '[') + std::string(127, ']'),
      std::string(128, '[') + std::string(128, ']'), "{\"b\":2," + std::string(100000, '['),
  };
  for (const std::string& text : cases) check_against_tree(text);
}

// Random documents from a small grammar, and damaged copies of them: every verdict and value agrees.
TEST(JsonScanTest, AgreesWithTheTreeReaderOnGeneratedDocuments) {
  std::mt19937_64 rng(25);
  auto pick = [&](std::size_t n) { return static_cast<std::size_t>(rng() % n); };
  const std::vector<std::string> atoms = {
      "0", "-0", "1", "-1", "0.5", "-2.5e-3", "1e308", "1e309", "123456789012345678901", "-9223372036854775809",
      "true", "false", "null", "\"\"", "\"a\"", "\"\\u00e9\"", "\"\\ud83d\\ude00\"", "\"x\\ny\"", "\"\xc3\xa9\""};
  const std::vector<std::string> names = {"a", "b", "\\u0061", "", "é", "a\\\"", "k"};
  std::function<std::string(int)> value = [&](int depth) -> std::string {
    const std::size_t choice = depth > 4 ? 0 : pick(4);
    if (choice <= 1) return atoms[pick(atoms.size())];
    std::string out = choice == 2 ? "{" : "[";
    const std::size_t n = pick(5);
    for (std::size_t i = 0; i < n; ++i) {
      if (i) out += pick(8) ? "," : " , ";
      if (choice == 2) out += "\"" + names[pick(names.size())] + "\":";
      out += value(depth + 1);
    }
    return out + (choice == 2 ? "}" : "]");
  };
  const std::string damage = "{}[]\",:\\ 0e.-\x01\xff\xc3tn";
  for (int i = 0; i < 4000; ++i) {
    std::string text = pick(4) ? "{\"a\":" + value(0) + ",\"b\":" + value(0) + "}" : value(0);
    check_against_tree(text);
    for (int k = 0; k < 3 && !text.empty(); ++k) {
      std::string bad = text;
      const std::size_t at = pick(bad.size());
      switch (pick(3)) {
        case 0: bad[at] = damage[pick(damage.size())]; break;
        case 1: bad.erase(at, 1); break;
        default: bad.insert(at, 1, damage[pick(damage.size())]); break;
      }
      check_against_tree(bad);
    }
  }
}

// Objects of plain text are indexed from a mask of their quotes, built 16 bytes at a time, for texts
// up to 1 KiB: quotes, strings holding structure, and damage at every offset around the 16- and
// 64-byte steps and the size limit agree with the tree reader.
TEST(JsonScanTest, PlainObjectsAgreeAtEveryLength) {
  for (std::size_t n = 0; n <= 1040; ++n) {
    const std::string pad(n, 'x');
    const std::vector<std::string> texts = {
        "{\"a\":\"" + pad + "\",\"b\":1}",
        "{\"" + pad + "\":true,\"s\":\"},:{\\\"\"}",
        " { \"a\" : \"" + pad + "\" , \"b\" : [1,{\"c\":\"]\"}] , \"d\":null }  ",
        "{\"a\":\"" + pad + "\",\"b\":\"x}",
        "{\"a\":\"" + pad + "\",\"b\":-1.5e3}}",
        "{\"a\":\"" + pad + "\",\"b\":{\"c\":1}",
        "{\"a\":\"" + pad + "\"\t,\"b\":2}",
    };
    for (const std::string& text : texts) check_against_tree(text);
  }
}

TEST(JsonScanTest, CanonicalTextIsWhatTheWriterWrites) {
  struct Case {
    std::string text;
    bool canonical;
  };
  const std::vector<Case> cases = {
      {R"({"a":1,"b":[true,null,"x"],"c":{}})", true},
      {R"({"b":1,"a":2})", false},                      // members out of order
      {R"({"a":1,"a":2})", false},                      // a repeated name
      {R"({"a": 1})", false},                           // white space
      {R"({"a":1.5})", false},                          // floats are left to the tree
      {R"({"a":-0})", false},                           // the writer prints 0
      {R"({"a":-9223372036854775808,"b":18446744073709551615})", true},
      {R"({"a":18446744073709551616})", false},         // read as a float
      {R"({"a":"\u00e9"})", false},                     // written as the character itself
      {"{\"a\":\"\u00e9\"}", true},
      {R"({"a":"\n\t\"\\\u001f"})", true},
      {R"({"a":"\u000a"})", false},                     // written \n
      {R"({"a":"\u001F"})", false},                     // written in lower case
      {R"({"a":"\/"})", false},
      {R"({"a\n":1})", false},                          // a name with an escape
      {"\xEF\xBB\xBF{}", false},
      {std::string("{}\0", 3), false},
      {"{\"s\":\"\x7f\"}", true},
      {"{\"s\":\"\xff\"}", false},
      {std::string(127, '[') + std::string(127, ']'), true},
      {std::string(128, '[') + std::string(128, ']'), false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(json_text_is_canonical(c.text), c.canonical) << c.text;
    check_canonical(c.text, parse_json_document(c.text));
  }
}

TEST(JsonScanTest, NumbersReadAsTheTreeReaderTypesThem) {
  EXPECT_EQ(json_number_parts("-0").form, JsonNumber::Form::Integer);
  EXPECT_FALSE(std::signbit(json_number_value("-0")));
  EXPECT_TRUE(std::signbit(json_number_value("-0.0")));
  EXPECT_EQ(json_number_parts("18446744073709551615").form, JsonNumber::Form::Unsigned);
  EXPECT_EQ(json_number_parts("18446744073709551616").form, JsonNumber::Form::Float);
  EXPECT_EQ(json_number_parts("-9223372036854775808").integer, INT64_MIN);
  EXPECT_EQ(json_number_value("1e-400"), 0.0);
  EXPECT_EQ(json_number_value("9007199254740993"), 9007199254740992.0);
}

}  // namespace
}  // namespace quenlordb::util
