// Throughput of the text analysis (tokenize, stem, highlight) and of evaluating scalar functions
// over many rows. Prints measurements; not run by ctest.
#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "facet/fts/analysis.h"
#include "sql/eval/eval_context.h"
#include "sql/parser/parser.h"

namespace {

using Clock = std::chrono::steady_clock;

double seconds_since(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

std::string sample_text(std::size_t bytes) {
  static const char* const kWords[] = {"The",   "running", "Straße", "nation's", "quickly", "किताबें",
                                       "boxes", "42",      "a-b",    "Ünïcode",  "fast,",   "movement"};
  std::string text;
  for (std::size_t i = 0; text.size() < bytes; ++i) {
    text += kWords[(i * 7 + i / 3) % (sizeof kWords / sizeof kWords[0])];
    text += i % 11 == 0 ? "  " : " ";
  }
  return text;
}

}  // namespace

int main() {
  using namespace quenlordb;
  const std::string text = sample_text(8 << 20);

  auto start = Clock::now();
  std::size_t tokens = 0;
  for (const std::string& token : facet::fts::tokenize(text)) tokens += facet::fts::stem(token).size() > 0;
  double s = seconds_since(start);
  std::printf("tokenize+stem: %zu tokens, %.1f MB/s\n", tokens, text.size() / s / 1e6);

  start = Clock::now();
  const std::string marked = facet::fts::highlight_text(text, "running boxes Straße");
  s = seconds_since(start);
  std::printf("highlight_text: %zu bytes out, %.1f MB/s\n", marked.size(), text.size() / s / 1e6);

  const char* const kExpressions[] = {
      "UPPER(s)", "SUBSTRING(s, 3, 5)", "ROUND(n * 1.5, 2)", "COALESCE(missing, n)",
      "DATE_TRUNC('day', t)", "LPAD(s, 20, '*')", "REPLACE(s, 'a', 'xy')",
  };
  const std::string doc = R"({"s": "quenlordb straße", "n": 12.345, "t": 1709251200})";
  constexpr int kRows = 200000;
  for (const char* sql : kExpressions) {
    sql::parser::Parser p(sql::parser::tokenize(sql).value());
    const sql::parser::Expr expr = p.parse_expr().value();
    start = Clock::now();
    std::size_t ok = 0;
    for (int i = 0; i < kRows; ++i) {
      sql::eval::EvalContext ctx("k", doc);
      ok += ctx.eval(expr).has_value();
    }
    s = seconds_since(start);
    std::printf("%-24s %8.0f ns/row (document parse included)\n", sql, s / kRows * 1e9);
  }
  return 0;
}
