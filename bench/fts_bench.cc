// Full-text benchmark: building an index over a filled table, keeping it up on single-row
// INSERTs as the posting lists grow, and answering MATCH, all through Database::sql.
//
//   fts_bench [--dir DIR] [--rows N] [--inserts M] [--window W] [--queries Q]
//
// Fills a fresh database (default Config) with N rows (default 100000) of a document table, each
// {"body": "..."} of 10 words drawn uniformly (fixed seed) from a 200-word vocabulary, and times
// CREATE FULLTEXT INDEX over them. Then times M (default 10000) single-row INSERTs, one `sql` call
// each, reporting for every W (default 1000) the mean, median, 99th percentile and slowest insert
// and the mean length of the posting lists an insert then rewrites. Last, Q (default 50) queries
// of one vocabulary word each: `SELECT pk FROM docs WHERE MATCH(doc, 'word')`, `SELECT *` and
// count(*), and to show where a query's time goes, its parts alone: the posting-list lookup
// (match_query_pks), the point reads of the rows it names, and the check of their documents.
// One line per figure: `fts_bench what=... key=value ...`. The directory is removed at the end.
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "config.h"
#include "engine/database.h"
#include "facet/fts/postings.h"
#include "sql/exec/match_filter.h"
#include "sql/exec/select.h"
#include "sql/exec/session.h"
#include "sql/exec/sql_result.h"
#include "sql/parser/parser.h"

namespace {

using quenlordb::Config;
using quenlordb::engine::Database;
namespace exec = quenlordb::sql::exec;
namespace fts = quenlordb::facet::fts;

constexpr std::size_t kVocabulary = 200;
constexpr std::size_t kWordsPerRow = 10;

double now() { return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count(); }

[[noreturn]] void die(const quenlordb::QuenlorError& e) {
  std::fprintf(stderr, "fts_bench: %s\n", e.to_string().c_str());
  std::exit(1);
}

// 200 distinct four-letter words of two syllables; none ends in "s", so each is its own stem.
std::vector<std::string> vocabulary() {
  static constexpr std::string_view kSyllables[] = {"ba", "ke", "di", "fo", "gu", "ha", "ji", "ko",
                                                    "lu", "ma", "ne", "pi", "ro", "su", "ta"};
  std::vector<std::string> words;
  for (std::string_view a : kSyllables) {
    for (std::string_view b : kSyllables) {
      if (words.size() < kVocabulary) words.push_back(std::string(a) + std::string(b));
    }
  }
  return words;
}

class Corpus {
 public:
  Corpus() : words_(vocabulary()), rng_(20), pick_(0, kVocabulary - 1) {}
  const std::vector<std::string>& words() const { return words_; }

  // INSERT of row i with a fresh 10-word body.
  std::string insert(std::uint64_t i) {
    std::string sql = "INSERT INTO docs (pk, doc) VALUES ('r";
    sql += std::to_string(i);
    sql += "', '{\"body\":\"";
    for (std::size_t w = 0; w < kWordsPerRow; ++w) {
      if (w) sql.push_back(' ');
      sql += words_[pick_(rng_)];
    }
    sql += "\"}')";
    return sql;
  }

 private:
  std::vector<std::string> words_;
  std::mt19937_64 rng_;
  std::uniform_int_distribution<std::size_t> pick_;
};

exec::SqlResult run(Database& db, std::string_view sql) {
  auto r = db.sql(sql);
  if (!r) die(r.error());
  return std::move(*r);
}

std::size_t row_count(const exec::SqlResult& r) {
  const auto* rows = std::get_if<exec::SqlResult::Rows>(&r.value);
  return rows ? rows->rows.size() : 0;
}

// The mean length of the posting lists of the vocabulary, read back from the database.
double mean_list_length(Database& db, const std::vector<std::string>& words) {
  std::size_t total = 0;
  for (const std::string& word : words) {
    auto bytes = db.get(fts::posting_key("docs", word));
    if (!bytes) die(bytes.error());
    if (*bytes) total += fts::decode_posting_list(**bytes).value().size();
  }
  return static_cast<double>(total) / static_cast<double>(words.size());
}

}  // namespace

int main(int argc, char** argv) {
  std::string dir = (std::filesystem::temp_directory_path() / "quenlordb-fts-bench").string();
  std::uint64_t rows = 100'000;
  std::uint64_t inserts = 10'000;
  std::uint64_t window = 1'000;
  std::uint64_t queries = 50;
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i];
    auto number = [&] { return i + 1 < argc ? std::strtoull(argv[++i], nullptr, 10) : 0ULL; };
    if (arg == "--dir" && i + 1 < argc) dir = argv[++i];
    else if (arg == "--rows") rows = number();
    else if (arg == "--inserts") inserts = number();
    else if (arg == "--window") window = std::max<std::uint64_t>(1, number());
    else if (arg == "--queries") queries = number();
    else {
      std::fprintf(stderr, "usage: fts_bench [--dir DIR] [--rows N] [--inserts M] [--window W] [--queries Q]\n");
      return 2;
    }
  }
  std::filesystem::remove_all(dir);
  {
    auto opened = Database::open(dir, Config{});
    if (!opened) die(opened.error());
    Database& db = **opened;
    Corpus corpus;
    run(db, "CREATE TABLE docs (pk TEXT PRIMARY KEY)");

    // The rows before the index, a thousand INSERTs per call.
    double start = now();
    for (std::uint64_t i = 0; i < rows;) {
      std::string script;
      for (std::uint64_t end = std::min(rows, i + 1000); i < end; ++i) script += corpus.insert(i) + ";\n";
      run(db, script);
    }
    std::printf("fts_bench what=load rows=%llu seconds=%.3f\n", static_cast<unsigned long long>(rows), now() - start);
    std::fflush(stdout);

    start = now();
    const exec::SqlResult created = run(db, "CREATE FULLTEXT INDEX f ON docs (doc)");
    const double build = now() - start;
    const auto* affected = std::get_if<exec::SqlResult::Affected>(&created.value);
    std::printf("fts_bench what=create_index rows=%llu seconds=%.3f message=\"%s\"\n",
                static_cast<unsigned long long>(rows), build, affected ? affected->message.c_str() : "");
    std::printf("fts_bench what=lists terms=%zu mean_length=%.1f\n", kVocabulary,
                mean_list_length(db, corpus.words()));
    std::fflush(stdout);

    // Single-row INSERTs into the indexed table, one call each.
    double window_start = now();
    std::vector<double> times;
    for (std::uint64_t k = 1; k <= inserts; ++k) {
      const std::string sql = corpus.insert(rows + k - 1);
      const double t0 = now();
      run(db, sql);
      times.push_back(now() - t0);
      if (k % window == 0 || k == inserts) {
        const double seconds = now() - window_start;
        std::sort(times.begin(), times.end());
        const auto n = static_cast<double>(times.size());
        // Each row holds a term with probability 1 - (199/200)^10; the lists an insert reads are
        // as long as the rows so far times that.
        const double held = 1.0 - std::pow(1.0 - 1.0 / kVocabulary, static_cast<double>(kWordsPerRow));
        std::printf(
            "fts_bench what=insert_window inserts=%llu..%llu mean_ms=%.3f median_ms=%.3f p99_ms=%.3f max_ms=%.3f "
            "list_length~%.0f\n",
            static_cast<unsigned long long>(k - times.size() + 1), static_cast<unsigned long long>(k),
            1e3 * seconds / n, 1e3 * times[times.size() / 2], 1e3 * times[static_cast<std::size_t>(0.99 * n)],
            1e3 * times.back(), held * static_cast<double>(rows + k));
        std::fflush(stdout);
        window_start = now();
        times.clear();
      }
    }
    std::printf("fts_bench what=lists terms=%zu mean_length=%.1f\n", kVocabulary,
                mean_list_length(db, corpus.words()));
    std::uintmax_t bytes = 0;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(dir)) {
      if (entry.is_regular_file()) bytes += entry.file_size();
    }
    std::printf("fts_bench what=disk megabytes=%.1f\n", static_cast<double>(bytes) / 1e6);

    // MATCH of one vocabulary word, and the parts of its time.
    if (queries > 0) {
      const std::vector<std::string>& words = corpus.words();
      std::size_t matched = 0;
      auto timed = [&](const char* what, auto&& one) {
        matched = 0;
        const double t0 = now();
        for (std::uint64_t q = 0; q < queries; ++q) matched += one(words[(q * 37) % words.size()]);
        const double seconds = now() - t0;
        std::printf("fts_bench what=%s queries=%llu mean_ms=%.3f mean_rows=%.1f\n", what,
                    static_cast<unsigned long long>(queries), 1e3 * seconds / static_cast<double>(queries),
                    static_cast<double>(matched) / static_cast<double>(queries));
        std::fflush(stdout);
      };
      timed("match_lists_only", [&](const std::string& word) {
        auto pks = fts::match_query_pks(word, "docs", db);
        if (!pks) die(pks.error());
        return pks->size();
      });
      // The parts of a query: the lists, the rows they name read one by one, and the check of
      // each row's document against the query's terms.
      exec::SqlSession session;
      std::vector<std::vector<quenlordb::sql::eval::VisibleRow>> fetched(words.size());
      timed("match_read_rows", [&](const std::string& word) {
        auto pks = fts::match_query_pks(word, "docs", db);
        if (!pks) die(pks.error());
        std::vector<quenlordb::sql::eval::VisibleRow> rows;
        for (const std::string& pk : *pks) {
          auto one = exec::fetch_rows_for_table(db, session, "docs", pk, std::nullopt, std::nullopt);
          if (!one) die(one.error());
          for (auto& row : *one) rows.push_back(std::move(row));
        }
        const std::size_t n = rows.size();
        fetched[static_cast<std::size_t>(&word - words.data())] = std::move(rows);
        return n;
      });
      timed("match_recheck", [&](const std::string& word) {
        auto where = quenlordb::sql::parser::parse_sql("SELECT pk FROM docs WHERE MATCH(doc, '" + word + "')");
        if (!where) die(where.error());
        const auto& select = *where->get_if<quenlordb::sql::parser::Statement::Select>();
        auto kept = exec::keep_rows_holding_match_terms(db, "docs", *select.filter,
                                                        fetched[static_cast<std::size_t>(&word - words.data())]);
        if (!kept) die(kept.error());
        return kept->size();
      });
      timed("match_count", [&](const std::string& word) {
        const exec::SqlResult r = run(db, "SELECT count(*) FROM docs WHERE MATCH(doc, '" + word + "')");
        const auto* out = std::get_if<exec::SqlResult::Rows>(&r.value);
        return out && !out->rows.empty() ? std::strtoull(std::string(out->rows[0]).c_str(), nullptr, 10) : 0ULL;
      });
      timed("match_select_pk", [&](const std::string& word) {
        return row_count(run(db, "SELECT pk FROM docs WHERE MATCH(doc, '" + word + "')"));
      });
      timed("match_select_star", [&](const std::string& word) {
        return row_count(run(db, "SELECT * FROM docs WHERE MATCH(doc, '" + word + "')"));
      });
    }
  }
  std::filesystem::remove_all(dir);
  return 0;
}
