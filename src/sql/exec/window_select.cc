#include "sql/exec/window_select.h"

#include <cmath>
#include <cstddef>
#include <limits>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

#include "sql/eval/sql_value.h"
#include "sql/exec/order.h"
#include "sql/exec/projection.h"
#include "util/unicode.h"
#include "util/utf8.h"

namespace quenlordb::sql::exec {

namespace {

using eval::EvalContext;
using eval::SqlValue;
using parser::Expr;
using parser::SelectItem;

// Key lists encoded so that distinct lists never collide: each text is prefixed by its length.
std::string encode_key(const std::vector<SqlValue>& values) {
  std::string out;
  for (const SqlValue& v : values) {
    const std::string text = eval::to_sort_string(v);
    out += std::to_string(text.size());
    out += ':';
    out += text;
  }
  return out;
}

Result<std::string> key_of(EvalContext& ctx, const std::vector<Expr>& exprs) {
  std::vector<SqlValue> values;
  for (const Expr& e : exprs) values.push_back(TRY(ctx.eval(e)));
  return encode_key(values);
}

Result<std::size_t> lag_offset(const std::vector<Expr>& args) {
  if (args.size() < 2) return 1;
  const auto* n = args[1].get_if<Expr::NumberLit>();
  if (!n || !(n->value >= 0) || n->value != std::floor(n->value)) {
    return fail(QuenlorError::sql_execution("window function offset must be a non-negative integer"));
  }
  // An offset past every partition reads the default everywhere.
  if (n->value >= 18446744073709551616.0) return std::numeric_limits<std::size_t>::max();
  return static_cast<std::size_t>(n->value);
}

}  // namespace

Result<SqlResult> execute_window_select(std::vector<eval::VisibleRow> rows, const parser::Statement::Select& select,
                                        const RowTables& tables) {
  const std::size_t n = rows.size();
  std::vector<EvalContext> ctxs;
  ctxs.reserve(n);
  for (std::size_t i = 0; i < n; ++i) ctxs.emplace_back(rows[i], tables.of(i));

  std::map<std::size_t, std::vector<SqlValue>> results;  // by item index
  for (std::size_t item = 0; item < select.items.size(); ++item) {
    const auto* e = select.items[item].get_if<SelectItem::Expr>();
    const auto* w = e ? e->expr.get_if<Expr::WindowFunction>() : nullptr;
    if (!w) continue;
    const std::string name = util::to_upper_full(w->name);
    if (name != "ROW_NUMBER" && name != "RANK" && name != "DENSE_RANK" && name != "LAG" && name != "LEAD") {
      return fail(QuenlorError::sql_execution("unsupported window function: " + name));
    }
    std::vector<Expr> order_exprs;
    for (const auto& [expr, dir] : w->order_by) order_exprs.push_back(expr);
    std::map<std::string, std::vector<std::size_t>> partitions;
    std::vector<std::string> order_keys(n);
    for (std::size_t i = 0; i < n; ++i) partitions[TRY(key_of(ctxs[i], w->partition_by))].push_back(i);
    for (std::size_t i = 0; i < n; ++i) order_keys[i] = TRY(key_of(ctxs[i], order_exprs));

    std::size_t offset = 1;
    if (name == "LAG" || name == "LEAD") offset = TRY(lag_offset(w->args));
    std::vector<SqlValue> out(n, SqlValue::null());
    for (auto& [key, positions] : partitions) {
      if (!w->order_by.empty()) {
        std::vector<std::vector<SqlValue>> keys;
        for (std::size_t p : positions) keys.push_back(eval_order_keys(ctxs[p], w->order_by));
        positions = apply_permutation(std::move(positions), sort_by_keys(keys, w->order_by));
      }
      double rank = 0;
      for (std::size_t j = 0; j < positions.size(); ++j) {
        const std::size_t p = positions[j];
        const bool peer = j > 0 && order_keys[p] == order_keys[positions[j - 1]];
        if (name == "ROW_NUMBER") {
          out[p] = SqlValue::number(static_cast<double>(j + 1));
        } else if (name == "RANK") {
          if (!peer) rank = static_cast<double>(j + 1);
          out[p] = SqlValue::number(rank);
        } else if (name == "DENSE_RANK") {
          if (!peer) rank += 1;
          out[p] = SqlValue::number(rank);
        } else if (!w->args.empty()) {
          const bool lag = name == "LAG";
          const bool inside = lag ? j >= offset : offset < positions.size() - j;
          if (!inside) {
            // The default, read at the row itself (a constant is the same on every row).
            out[p] = w->args.size() >= 3 ? TRY(ctxs[p].eval(w->args[2])) : SqlValue::null();
          } else {
            out[p] = TRY(ctxs[positions[lag ? j - offset : j + offset]].eval(w->args[0]));
          }
        }
      }
    }
    results[item] = std::move(out);
  }

  // The query's ORDER BY: an entry naming a window item's alias sorts by that window value.
  std::vector<std::size_t> order(n);
  for (std::size_t i = 0; i < n; ++i) order[i] = i;
  if (select.order_by && !select.order_by->empty()) {
    std::vector<std::vector<SqlValue>> keys(n);
    for (std::size_t i = 0; i < n; ++i) {
      for (const auto& [expr, dir] : *select.order_by) {
        const auto* col = expr.get_if<Expr::Column>();
        std::optional<SqlValue> window;
        if (col) {
          for (const auto& [item, values] : results) {
            const auto& alias = select.items[item].get_if<SelectItem::Expr>()->alias;
            if (alias && *alias == col->name) window = values[i];
          }
        }
        if (window) {
          keys[i].push_back(*window);
        } else {
          Result<SqlValue> v = ctxs[i].eval(expr);
          keys[i].push_back(v ? *v : SqlValue::null());
        }
      }
    }
    order = sort_by_keys(keys, *select.order_by);
  }
  if (select.limit && *select.limit < order.size()) order.resize(static_cast<std::size_t>(*select.limit));

  SqlResult::Rows out;
  for (std::size_t i : order) {
    nlohmann::json obj = nlohmann::json::object();
    for (std::size_t item = 0; item < select.items.size(); ++item) {
      const SelectItem& it = select.items[item];
      if (it.is<SelectItem::AllColumns>()) {
        obj["pk"] = util::decode_utf8_lossy(ctxs[i].pk());
        obj["doc"] = decode_row_json(ctxs[i].doc());
        continue;
      }
      const SelectItem::Expr& e = *it.get_if<SelectItem::Expr>();
      auto found = results.find(item);
      if (found != results.end()) set_item_member(e, found->second[i], obj);
      else TRY(project_expr_item(ctxs[i], e, obj));
    }
    out.rows.push_back(write_json(obj));
  }
  return SqlResult{std::move(out)};
}

}  // namespace quenlordb::sql::exec
