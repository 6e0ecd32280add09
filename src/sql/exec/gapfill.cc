// apply_gapfill: the fill rows of a time_bucket_gapfill query, declared in grouped_select.h.
#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

#include "sql/exec/grouped_select.h"
#include "sql/exec/order.h"
#include "sql/exec/projection.h"
#include "sql/parser/analysis.h"
#include "sql/parser/text.h"
#include "util/json_document.h"

namespace quenlordb::sql::exec {

using eval::VisibleRow;
using parser::Expr;
using parser::SelectItem;

namespace {

constexpr std::uint64_t kMaxFillRows = 1000000;

std::string item_name(const SelectItem::Expr& e) { return e.alias ? *e.alias : aggregate_display_name(e.expr); }

// A bucket number as the walk counts it: truncated, negative and NaN as 0, saturated at the top.
std::uint64_t bucket_index(double x) {
  if (!(x > 0)) return 0;
  if (x >= 18446744073709551616.0) return std::numeric_limits<std::uint64_t>::max();
  return static_cast<std::uint64_t>(x);
}

struct Parsed {
  std::optional<nlohmann::json> object;  // the document when it is a JSON object
  std::optional<double> bucket;
};

}  // namespace

Result<std::vector<VisibleRow>> apply_gapfill(std::vector<VisibleRow> rows, std::uint64_t step,
                                              const std::vector<SelectItem>& items, std::vector<std::size_t>* sources) {
  std::optional<std::string> bucket_col;
  std::vector<std::string> null_cols;  // aggregate, locf and interpolate columns
  std::vector<std::string> locf_cols;  // locf columns with an argument
  for (const SelectItem& item : items) {
    const SelectItem::Expr* e = item.get_if<SelectItem::Expr>();
    const Expr::Function* f = e ? e->expr.get_if<Expr::Function>() : nullptr;
    if (!f) continue;
    if (!bucket_col && parser::eq_ignore_ascii_case(f->name, "time_bucket_gapfill")) bucket_col = item_name(*e);
    const bool locf = parser::eq_ignore_ascii_case(f->name, "locf");
    if (locf || parser::eq_ignore_ascii_case(f->name, "interpolate") || parser::is_aggregate_function(f->name)) {
      null_cols.push_back(item_name(*e));
    }
    if (locf && !f->args.empty()) locf_cols.push_back(item_name(*e));
  }
  if (sources) {
    sources->resize(rows.size());
    for (std::size_t i = 0; i < rows.size(); ++i) (*sources)[i] = i;
  }
  if (rows.empty() || !bucket_col) return rows;
  if (step == 0) return fail(QuenlorError::sql_execution("invalid gapfill interval"));

  std::vector<Parsed> parsed(rows.size());
  std::unordered_set<std::uint64_t> present;
  std::optional<std::uint64_t> lo;
  std::optional<std::uint64_t> hi;
  for (std::size_t i = 0; i < rows.size(); ++i) {
    Result<nlohmann::json> doc = util::parse_json_document(rows[i].doc);
    if (!doc || !doc->is_object()) continue;
    auto it = doc->find(*bucket_col);
    if (it != doc->end() && it->is_number()) {
      const double x = it->get<double>();
      const std::uint64_t b = bucket_index(x);
      parsed[i].bucket = x;
      present.insert(b);
      if (!lo || b < *lo) lo = b;
      if (!hi || b > *hi) hi = b;
    }
    parsed[i].object = std::move(*doc);
  }
  if (!lo) return rows;

  // Refuse at once what the walk could not finish.
  const std::uint64_t positions = (*hi - *lo) / step;  // one less than the walk's positions
  if (positions >= kMaxFillRows + present.size()) {
    return fail(QuenlorError::sql_execution("gapfill would produce more than 1000000 rows"));
  }
  std::uint64_t filled = 0;
  for (std::uint64_t t = *lo; t <= *hi;) {
    if (!present.contains(t)) {
      if (++filled > kMaxFillRows) {
        return fail(QuenlorError::sql_execution("gapfill would produce more than 1000000 rows"));
      }
      nlohmann::json obj = nlohmann::json::object();
      for (const std::string& c : null_cols) obj[c] = nullptr;
      obj[*bucket_col] = t;
      rows.push_back(VisibleRow{"", write_json(obj)});
      parsed.push_back(Parsed{std::move(obj), static_cast<double>(t)});
      if (sources) sources->push_back(kFillRow);
    }
    if (t > std::numeric_limits<std::uint64_t>::max() - step) {
      if (t == *hi) break;
      return fail(QuenlorError::sql_execution("invalid gapfill interval"));
    }
    t += step;
  }

  // Rows without a bucket first, in their order; then by bucket, stably.
  std::vector<std::size_t> order = sort_permutation(rows.size(), [&](std::size_t a, std::size_t b) {
    if (!parsed[b].bucket) return false;
    if (!parsed[a].bucket) return true;
    return *parsed[a].bucket < *parsed[b].bucket;
  });
  rows = apply_permutation(std::move(rows), order);
  parsed = apply_permutation(std::move(parsed), order);
  if (sources) *sources = apply_permutation(std::move(*sources), order);

  if (locf_cols.empty()) return rows;
  std::unordered_map<std::string, nlohmann::json> last;
  for (std::size_t i = 0; i < rows.size(); ++i) {
    if (!parsed[i].object) continue;
    nlohmann::json& obj = *parsed[i].object;
    for (const std::string& c : locf_cols) {
      auto it = obj.find(c);
      if (it != obj.end() && !it->is_null()) {
        last[c] = *it;
      } else if (auto held = last.find(c); held != last.end()) {
        obj[c] = held->second;
      }
    }
    rows[i].doc = write_json(obj);
  }
  return rows;
}

}  // namespace quenlordb::sql::exec
