// libFuzzer target of the SQL front end. Every input is offered to split_sql_statements, each piece
// it yields and the whole input to parse_sql. Whatever the bytes, each call must end in a value or
// in a QuenlorError of the SqlParse kind; a tree that parses must render its debug text, copy into
// an equal tree with the same text, and be destroyed, so that every tree walker sees every shape
// the parser builds. Anything else aborts, which libFuzzer reports as a crash.

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "sql/parser/debug_text.h"
#include "sql/parser/parser.h"
#include "sql/parser/splitter.h"
#include "sql/parser/text.h"
#include "util/unicode.h"

namespace {

using quenlordb::ErrorKind;
using quenlordb::QuenlorError;
using namespace quenlordb::sql::parser;

[[noreturn]] void fault(const char* what, std::string_view detail) {
  std::fprintf(stderr, "parse_sql_fuzz: %s: %.*s\n", what, static_cast<int>(detail.size()), detail.data());
  std::abort();
}

void require_parse_error(const QuenlorError& error) {
  if (error.kind() != ErrorKind::SqlParse) fault("error of another kind than SqlParse", error.to_string());
  if (error.message().empty()) fault("parse error without a message", error.to_string());
}

void check_statement(std::string_view sql) {
  auto parsed = parse_sql(sql);
  if (!parsed) {
    require_parse_error(parsed.error());
    return;
  }
  const std::string text = debug_text(*parsed);
  if (text.empty()) fault("empty debug text", sql);
  const Statement copy = *parsed;
  if (!(copy == *parsed)) fault("copy differs from its original", text);
  if (debug_text(copy) != text) fault("copy renders differently", text);
}

void check_script(std::string_view script) {
  auto pieces = split_sql_statements(script);
  if (!pieces) {
    require_parse_error(pieces.error());
    return;
  }
  if (pieces->empty()) fault("no pieces and no error", script);
  for (const std::string_view piece : *pieces) {
    if (piece.empty() || quenlordb::util::trim_white_space(piece).size() != piece.size()) fault("piece not trimmed", piece);
    check_statement(piece);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  check_script(input);
  check_statement(input);
  return 0;
}
