// Evaluation benchmark: filter_rows over N in-memory rows (~110-byte JSON documents, the shape of
// engine_bench's) with predicates that exercise the per-row paths: the key alone (no document
// parse), one document member, a nested field, LIKE and ILIKE on a member, and a wide predicate.
//
//   eval_bench [N]
//
// Each result is one line: `eval predicate="..." n=... rows_s=... kept=...`.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "sql/eval/eval_context.h"
#include "sql/parser/parser.h"

namespace {

using quenlordb::sql::eval::VisibleRow;

std::string doc_of(unsigned long long i) {
  char b[200];
  std::snprintf(b, sizeof b,
                "{\"id\":%llu,\"name\":\"user-%llu\",\"status\":\"active\",\"score\":%llu,\"tags\":[\"a\",\"b\"],"
                "\"city\":\"Lisbon\",\"geo\":{\"lat\":38.7,\"lon\":-9.1}}",
                i, i, i % 1000);
  return b;
}

double now() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

}  // namespace

int main(int argc, char** argv) {
  const unsigned long long n = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 200000;
  std::vector<VisibleRow> rows;
  rows.reserve(n);
  for (unsigned long long i = 0; i < n; ++i) rows.push_back({"k" + std::to_string(i), doc_of(i)});

  const char* predicates[] = {
      "pk = 'k17'",
      "score < 100",
      "doc.geo.lat > 38",
      "name LIKE 'user-1%'",
      "city ILIKE '%BON'",
      "status = 'active' AND score BETWEEN 10 AND 500 AND name NOT LIKE '%7' OR id IN (1, 2, 3)",
  };
  for (const char* sql : predicates) {
    quenlordb::sql::parser::Parser p(quenlordb::sql::parser::tokenize(sql).value());
    const quenlordb::sql::parser::Expr predicate = p.parse_expr().value();
    std::vector<VisibleRow> input = rows;
    const double start = now();
    auto kept = quenlordb::sql::eval::filter_rows(std::move(input), predicate);
    const double elapsed = now() - start;
    if (!kept) {
      std::fprintf(stderr, "%s: %s\n", sql, kept.error().to_string().c_str());
      return 1;
    }
    std::printf("eval predicate=\"%s\" n=%llu rows_s=%.0f kept=%zu\n", sql, n, static_cast<double>(n) / elapsed,
                kept->size());
  }
  return 0;
}
