#include "sql/parser/debug_text.h"

#include <unicode/uchar.h>

#include <charconv>
#include <cmath>
#include <cstdint>

#include "util/float_digits.h"
#include "util/utf8.h"

namespace quenlordb::sql::parser {

namespace {

// Every value writer, declared before the templates below so that they see each other. The tree
// walkers recurse through put(Expr) and put(Statement); each level keeps only a few pointers on the
// stack and appends to the one output buffer.
void put(std::string& out, const std::string& text);
void put(std::string& out, bool value);
void put(std::string& out, std::uint64_t value);
void put(std::string& out, double value);
void put(std::string& out, BinOperator op) { out += debug_name(op); }
void put(std::string& out, SqlType type) { out += debug_name(type); }
void put(std::string& out, JoinType type) { out += debug_name(type); }
void put(std::string& out, OrderDirection direction) { out += debug_name(direction); }
void put(std::string& out, SetOpType op) { out += debug_name(op); }
void put(std::string& out, CopyFormat format) { out += debug_name(format); }
void put(std::string& out, const Expr& expr) { append_debug_text(out, expr); }
void put(std::string& out, const Statement& stmt) { append_debug_text(out, stmt); }
void put(std::string& out, const TableRef& ref) { append_debug_text(out, ref); }
void put(std::string& out, const ColumnDef& column) { append_debug_text(out, column); }
void put(std::string& out, const JoinSpec& join) { append_debug_text(out, join); }
void put(std::string& out, const SelectItem& item) { append_debug_text(out, item); }
void put(std::string& out, const CteClause& cte) { append_debug_text(out, cte); }
void put(std::string& out, const TemporalClause& clause) { append_debug_text(out, clause); }
template <typename T>
void put(std::string& out, const std::optional<T>& value);
template <typename T>
void put(std::string& out, const std::vector<T>& list);
template <typename A, typename B>
void put(std::string& out, const std::pair<A, B>& pair);

template <typename T>
void put(std::string& out, const std::optional<T>& value) {
  if (!value) {
    out += "None";
    return;
  }
  out += "Some(";
  put(out, *value);
  out += ')';
}

template <typename T>
void put(std::string& out, const std::vector<T>& list) {
  out += '[';
  for (std::size_t i = 0; i < list.size(); ++i) {
    if (i > 0) out += ", ";
    put(out, list[i]);
  }
  out += ']';
}

template <typename A, typename B>
void put(std::string& out, const std::pair<A, B>& pair) {
  out += '(';
  put(out, pair.first);
  out += ", ";
  put(out, pair.second);
  out += ')';
}

// Name { a: x, b: y }
class Fields {
 public:
  Fields(std::string& out, std::string_view name) : out_(out) {
    out_.append(name);
    out_.append(" { ");
  }
  template <typename T>
  Fields& operator()(std::string_view field, const T& value) {
    if (!first_) out_.append(", ");
    first_ = false;
    out_.append(field);
    out_.append(": ");
    put(out_, value);
    return *this;
  }
  void end() { out_.append(" }"); }

 private:
  std::string& out_;
  bool first_ = true;
};

// Name(x, y)
template <typename... T>
void put_tuple(std::string& out, std::string_view name, const T&... values) {
  out.append(name);
  out += '(';
  bool first = true;
  ((out.append(first ? "" : ", "), first = false, put(out, values)), ...);
  out += ')';
}

void put_unicode_escape(std::string& out, char32_t c) {
  char buf[16];
  const auto result = std::to_chars(buf, buf + sizeof buf, static_cast<std::uint32_t>(c), 16);
  out.append("\\u{");
  out.append(buf, result.ptr);
  out += '}';
}

// Beyond ASCII: not printable (control, format, surrogate, private use, unassigned, line and
// paragraph separators, spaces) or a combining mark.
bool needs_escape(char32_t c) {
  switch (u_charType(static_cast<UChar32>(c))) {
    case U_CONTROL_CHAR:
    case U_FORMAT_CHAR:
    case U_SURROGATE:
    case U_PRIVATE_USE_CHAR:
    case U_UNASSIGNED:
    case U_LINE_SEPARATOR:
    case U_PARAGRAPH_SEPARATOR:
    case U_SPACE_SEPARATOR:
      return true;
    default:
      return u_hasBinaryProperty(static_cast<UChar32>(c), UCHAR_GRAPHEME_EXTEND);
  }
}

void put(std::string& out, const std::string& text) {
  out += '"';
  std::size_t i = 0;
  while (i < text.size()) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    if (c < 0x80) {
      switch (c) {
        case '"': out.append("\\\""); break;
        case '\\': out.append("\\\\"); break;
        case '\n': out.append("\\n"); break;
        case '\r': out.append("\\r"); break;
        case '\t': out.append("\\t"); break;
        case '\0': out.append("\\0"); break;
        default:
          if (c < 0x20 || c == 0x7F) {
            put_unicode_escape(out, c);
          } else {
            out += static_cast<char>(c);
          }
      }
      ++i;
      continue;
    }
    const util::Utf8Step step = util::decode_utf8_at(text, i);
    if (!step.valid) {
      out.append("\xEF\xBF\xBD");  // bytes that are not UTF-8 show as U+FFFD
    } else if (needs_escape(step.value)) {
      put_unicode_escape(out, step.value);
    } else {
      out.append(text, i, step.length);
    }
    i += step.length;
  }
  out += '"';
}

void put(std::string& out, bool value) { out.append(value ? "true" : "false"); }

void put(std::string& out, std::uint64_t value) {
  char buf[24];
  const auto result = std::to_chars(buf, buf + sizeof buf, value);
  out.append(buf, result.ptr);
}

void put(std::string& out, double value) {
  const std::optional<double> magnitude = util::append_sign_or_special(out, value);
  if (!magnitude) return;
  value = *magnitude;
  if (value == 0) {
    out.append("0.0");
    return;
  }
  const util::DecimalDigits shortest = util::shortest_decimal_digits(value);
  const std::size_t n = shortest.count;
  const int exponent = shortest.exponent;
  const std::string_view d = shortest.view();
  if (value >= 1e-4 && value < 1e16) {
    if (!util::append_positional_digits(out, shortest)) out.append(".0");
    return;
  }
  out += d[0];
  if (n > 1) {
    out += '.';
    out.append(d.substr(1));
  }
  out += 'e';
  char exp_buf[8];
  const auto exp_result = std::to_chars(exp_buf, exp_buf + sizeof exp_buf, exponent);
  out.append(exp_buf, exp_result.ptr);
}

// One writer per node type; the handles dispatch to them with std::visit.

void put_node(std::string& out, const Expr::Column& n) { put_tuple(out, "Column", n.name); }
void put_node(std::string& out, const Expr::FieldAccess& n) {
  Fields(out, "FieldAccess")("column", n.column)("path", n.path).end();
}
void put_node(std::string& out, const Expr::StringLit& n) { put_tuple(out, "StringLit", n.value); }
void put_node(std::string& out, const Expr::NumberLit& n) { put_tuple(out, "NumberLit", n.value); }
void put_node(std::string& out, const Expr::BoolLit& n) { put_tuple(out, "BoolLit", n.value); }
void put_node(std::string& out, const Expr::Null&) { out.append("Null"); }
void put_node(std::string& out, const Expr::BinOp& n) {
  Fields(out, "BinOp")("left", n.left)("op", n.op)("right", n.right).end();
}
void put_node(std::string& out, const Expr::Not& n) { put_tuple(out, "Not", n.expr); }
void put_node(std::string& out, const Expr::Function& n) { Fields(out, "Function")("name", n.name)("args", n.args).end(); }
void put_node(std::string& out, const Expr::Star&) { out.append("Star"); }
void put_node(std::string& out, const Expr::IsNull& n) {
  Fields(out, "IsNull")("expr", n.expr)("negated", n.negated).end();
}
void put_node(std::string& out, const Expr::Between& n) {
  Fields(out, "Between")("expr", n.expr)("low", n.low)("high", n.high)("negated", n.negated).end();
}
void put_node(std::string& out, const Expr::InList& n) {
  Fields(out, "InList")("expr", n.expr)("list", n.list)("negated", n.negated).end();
}
void put_node(std::string& out, const Expr::WindowFunction& n) {
  Fields(out, "WindowFunction")("name", n.name)("args", n.args)("partition_by", n.partition_by)("order_by", n.order_by)
      .end();
}
void put_node(std::string& out, const Expr::Case& n) {
  Fields(out, "Case")("operand", n.operand)("when_clauses", n.when_clauses)("else_clause", n.else_clause).end();
}
void put_node(std::string& out, const Expr::Cast& n) {
  Fields(out, "Cast")("expr", n.expr)("target_type", n.target_type).end();
}

void put_node(std::string& out, const Statement::Begin&) { out.append("Begin"); }
void put_node(std::string& out, const Statement::Commit&) { out.append("Commit"); }
void put_node(std::string& out, const Statement::Rollback&) { out.append("Rollback"); }
void put_node(std::string& out, const Statement::CreateTable& n) {
  Fields(out, "CreateTable")("table", n.table)("columns", n.columns).end();
}
void put_node(std::string& out, const Statement::CreateView& n) {
  Fields(out, "CreateView")("view", n.view)("source", n.source)("pk", n.pk)("as_of", n.as_of)("valid_at", n.valid_at)
      .end();
}
void put_node(std::string& out, const Statement::CreateIndex& n) {
  Fields(out, "CreateIndex")("index", n.index)("table", n.table)("column", n.column).end();
}
void put_node(std::string& out, const Statement::CreateFulltextIndex& n) {
  Fields(out, "CreateFulltextIndex")("index", n.index)("table", n.table)("columns", n.columns).end();
}
void put_node(std::string& out, const Statement::DropFulltextIndex& n) {
  Fields(out, "DropFulltextIndex")("index", n.index)("table", n.table).end();
}
void put_node(std::string& out, const Statement::CreateTimeseriesTable& n) {
  Fields(out, "CreateTimeseriesTable")("table", n.table)("columns", n.columns)("bucket_interval", n.bucket_interval)
      .end();
}
void put_node(std::string& out, const Statement::AlterTableAddColumn& n) {
  Fields(out, "AlterTableAddColumn")("table", n.table)("column", n.column)("column_type", n.column_type).end();
}
void put_node(std::string& out, const Statement::Insert& n) {
  Fields(out, "Insert")("table", n.table)("pk", n.pk)("doc", n.doc).end();
}
void put_node(std::string& out, const Statement::InsertTyped& n) {
  Fields(out, "InsertTyped")("table", n.table)("columns", n.columns)("values", n.values).end();
}
void put_node(std::string& out, const Statement::Update& n) {
  Fields(out, "Update")("table", n.table)("set_doc", n.set_doc)("set_assignments", n.set_assignments)(
      "filter", n.filter)("as_of", n.as_of)("valid_at", n.valid_at)
      .end();
}
void put_node(std::string& out, const Statement::Delete& n) {
  Fields(out, "Delete")("table", n.table)("filter", n.filter)("as_of", n.as_of)("valid_at", n.valid_at).end();
}
void put_node(std::string& out, const Statement::Select& n) {
  Fields(out, "Select")("ctes", n.ctes)("from", n.from)("items", n.items)("join", n.join)("filter", n.filter)(
      "as_of", n.as_of)("valid_at", n.valid_at)("temporal", n.temporal)("group_by", n.group_by)("having", n.having)(
      "order_by", n.order_by)("limit", n.limit)
      .end();
}
void put_node(std::string& out, const Statement::CopyTo& n) {
  Fields(out, "CopyTo")("table", n.table)("path", n.path)("format", n.format).end();
}
void put_node(std::string& out, const Statement::CopyFrom& n) {
  Fields(out, "CopyFrom")("table", n.table)("path", n.path)("format", n.format).end();
}
void put_node(std::string& out, const Statement::ShowTables&) { out.append("ShowTables"); }
void put_node(std::string& out, const Statement::Describe& n) { Fields(out, "Describe")("table", n.table).end(); }
void put_node(std::string& out, const Statement::DropTable& n) { Fields(out, "DropTable")("table", n.table).end(); }
void put_node(std::string& out, const Statement::DropView& n) { Fields(out, "DropView")("view", n.view).end(); }
void put_node(std::string& out, const Statement::DropIndex& n) {
  Fields(out, "DropIndex")("index", n.index)("table", n.table).end();
}
void put_node(std::string& out, const Statement::SetOp& n) {
  Fields(out, "SetOp")("op", n.op)("left", n.left)("right", n.right).end();
}
void put_node(std::string& out, const Statement::InsertReturning& n) {
  Fields(out, "InsertReturning")("table", n.table)("columns", n.columns)("values", n.values)("returning", n.returning)
      .end();
}
void put_node(std::string& out, const Statement::CreateTableAs& n) {
  Fields(out, "CreateTableAs")("table", n.table)("query", n.query).end();
}
void put_node(std::string& out, const Statement::Explain& n) { put_tuple(out, "Explain", n.statement); }
void put_node(std::string& out, const Statement::ExplainAnalyze& n) { put_tuple(out, "ExplainAnalyze", n.statement); }
void put_node(std::string& out, const Statement::ExplainAi& n) { Fields(out, "ExplainAi")("key", n.key).end(); }
void put_node(std::string& out, const Statement::Analyze& n) { Fields(out, "Analyze")("table", n.table).end(); }

void put_node(std::string& out, const TableRef::Named& n) { put_tuple(out, "Named", n.name); }
void put_node(std::string& out, const TableRef::Subquery& n) {
  Fields(out, "Subquery")("query", n.query)("alias", n.alias).end();
}
void put_node(std::string& out, const TableRef::TableFunction& n) {
  Fields(out, "TableFunction")("name", n.name)("args", n.args)("alias", n.alias).end();
}

void put_node(std::string& out, const SelectItem::AllColumns&) { out.append("AllColumns"); }
void put_node(std::string& out, const SelectItem::Expr& n) {
  Fields(out, "Expr")("expr", n.expr)("alias", n.alias).end();
}

void put_node(std::string& out, const TemporalClause::SystemTimeAsOf& n) { put_tuple(out, "SystemTimeAsOf", n.ts); }
void put_node(std::string& out, const TemporalClause::SystemTimeFromTo& n) {
  put_tuple(out, "SystemTimeFromTo", n.from, n.to);
}
void put_node(std::string& out, const TemporalClause::SystemTimeBetween& n) {
  put_tuple(out, "SystemTimeBetween", n.low, n.high);
}
void put_node(std::string& out, const TemporalClause::SystemTimeAll&) { out.append("SystemTimeAll"); }
void put_node(std::string& out, const TemporalClause::ApplicationTimeAsOf& n) {
  put_tuple(out, "ApplicationTimeAsOf", n.ts);
}
void put_node(std::string& out, const TemporalClause::ApplicationTimeFromTo& n) {
  put_tuple(out, "ApplicationTimeFromTo", n.from, n.to);
}
void put_node(std::string& out, const TemporalClause::ApplicationTimeBetween& n) {
  put_tuple(out, "ApplicationTimeBetween", n.low, n.high);
}

template <typename Variant>
void put_variant(std::string& out, const Variant& node) {
  std::visit([&out](const auto& n) { put_node(out, n); }, node);
}

}  // namespace

std::string_view debug_name(BinOperator op) {
  switch (op) {
    case BinOperator::Eq: return "Eq";
    case BinOperator::NotEq: return "NotEq";
    case BinOperator::Lt: return "Lt";
    case BinOperator::Gt: return "Gt";
    case BinOperator::LtEq: return "LtEq";
    case BinOperator::GtEq: return "GtEq";
    case BinOperator::And: return "And";
    case BinOperator::Or: return "Or";
    case BinOperator::Like: return "Like";
    case BinOperator::ILike: return "ILike";
    case BinOperator::Add: return "Add";
    case BinOperator::Sub: return "Sub";
    case BinOperator::Mul: return "Mul";
    case BinOperator::Div: return "Div";
    case BinOperator::Mod: return "Mod";
  }
  return "?";
}

std::string_view debug_name(SqlType type) {
  switch (type) {
    case SqlType::Integer: return "Integer";
    case SqlType::Real: return "Real";
    case SqlType::Text: return "Text";
    case SqlType::Boolean: return "Boolean";
    case SqlType::Blob: return "Blob";
    case SqlType::Json: return "Json";
  }
  return "?";
}

std::string_view debug_name(JoinType type) {
  switch (type) {
    case JoinType::Inner: return "Inner";
    case JoinType::Left: return "Left";
    case JoinType::Right: return "Right";
    case JoinType::Cross: return "Cross";
  }
  return "?";
}

std::string_view debug_name(OrderDirection direction) {
  return direction == OrderDirection::Desc ? "Desc" : "Asc";
}

std::string_view debug_name(SetOpType op) {
  switch (op) {
    case SetOpType::Union: return "Union";
    case SetOpType::UnionAll: return "UnionAll";
    case SetOpType::Intersect: return "Intersect";
    case SetOpType::Except: return "Except";
  }
  return "?";
}

std::string_view debug_name(CopyFormat format) {
  switch (format) {
    case CopyFormat::Csv: return "Csv";
    case CopyFormat::Json: return "Json";
    case CopyFormat::Ndjson: return "Ndjson";
    case CopyFormat::Parquet: return "Parquet";
  }
  return "?";
}

void append_debug_text(std::string& out, const Statement& stmt) {
  if (!stmt.empty()) put_variant(out, stmt.node());
}

void append_debug_text(std::string& out, const Expr& expr) {
  if (!expr.empty()) put_variant(out, expr.node());
}

void append_debug_text(std::string& out, const TableRef& ref) { put_variant(out, ref.node()); }

void append_debug_text(std::string& out, const ColumnDef& column) {
  Fields(out, "ColumnDef")("name", column.name)("type_name", column.type_name)("primary_key", column.primary_key)(
      "not_null", column.not_null)
      .end();
}

void append_debug_text(std::string& out, const JoinSpec& join) {
  Fields(out, "JoinSpec")("join_type", join.join_type)("right_table", join.right_table)(
      "right_alias", join.right_alias)("on_clause", join.on_clause)
      .end();
}

void append_debug_text(std::string& out, const SelectItem& item) { put_variant(out, item.node()); }

void append_debug_text(std::string& out, const CteClause& cte) {
  Fields(out, "CteClause")("name", cte.name)("query", cte.query).end();
}

void append_debug_text(std::string& out, const TemporalClause& clause) { put_variant(out, clause.node()); }

}  // namespace quenlordb::sql::parser
