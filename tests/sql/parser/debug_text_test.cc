#include "sql/parser/debug_text.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

namespace quenlordb::sql::parser {
namespace {

Expr col(std::string name) { return Expr::Column{std::move(name)}; }
Expr num(double v) { return Expr::NumberLit{v}; }
Expr str(std::string s) { return Expr::StringLit{std::move(s)}; }

Statement::Select select_star(std::string table) {
  Statement::Select s;
  s.from = TableRef::Named{std::move(table)};
  s.items = {SelectItem::AllColumns{}};
  return s;
}

TEST(DebugTextTest, EveryExprVariant) {
  struct Case {
    Expr expr;
    const char* text;
  };
  const Case cases[] = {
      {col("a"), R"(Column("a"))"},
      {col("$1"), R"(Column("$1"))"},
      {Expr::FieldAccess{"doc", {"a", "b"}}, R"(FieldAccess { column: "doc", path: ["a", "b"] })"},
      {str("x"), R"(StringLit("x"))"},
      {num(2), "NumberLit(2.0)"},
      {Expr::BoolLit{true}, "BoolLit(true)"},
      {Expr::BoolLit{false}, "BoolLit(false)"},
      {Expr::Null{}, "Null"},
      {Expr(), "Null"},
      {Expr::BinOp{col("a"), BinOperator::Eq, Expr::BinOp{num(0), BinOperator::Sub, num(2)}},
       R"(BinOp { left: Column("a"), op: Eq, right: BinOp { left: NumberLit(0.0), op: Sub, right: NumberLit(2.0) } })"},
      {Expr::Not{Expr::BoolLit{true}}, "Not(BoolLit(true))"},
      {Expr::Function{"COUNT", {Expr::Star{}}}, R"(Function { name: "COUNT", args: [Star] })"},
      {Expr::Function{"f", {}}, R"(Function { name: "f", args: [] })"},
      {Expr::Star{}, "Star"},
      {Expr::IsNull{col("a"), false}, R"(IsNull { expr: Column("a"), negated: false })"},
      {Expr::Between{col("a"), num(1), num(2), true},
       R"(Between { expr: Column("a"), low: NumberLit(1.0), high: NumberLit(2.0), negated: true })"},
      {Expr::InList{col("a"), {num(1), str("b")}, false},
       R"(InList { expr: Column("a"), list: [NumberLit(1.0), StringLit("b")], negated: false })"},
      {Expr::WindowFunction{"ROW_NUMBER", {}, {col("g")}, {{col("t"), OrderDirection::Desc}, {col("u"), OrderDirection::Asc}}},
       R"(WindowFunction { name: "ROW_NUMBER", args: [], partition_by: [Column("g")], )"
       R"(order_by: [(Column("t"), Desc), (Column("u"), Asc)] })"},
      {Expr::Case{std::nullopt, {{col("a"), num(1)}}, std::nullopt},
       R"(Case { operand: None, when_clauses: [(Column("a"), NumberLit(1.0))], else_clause: None })"},
      {Expr::Case{col("x"), {}, str("b")}, R"(Case { operand: Some(Column("x")), when_clauses: [], else_clause: Some(StringLit("b")) })"},
      {Expr::Cast{col("x"), "VARCHAR"}, R"(Cast { expr: Column("x"), target_type: "VARCHAR" })"},
  };
  for (const Case& tc : cases) EXPECT_EQ(debug_text(tc.expr), tc.text);
}

TEST(DebugTextTest, EveryStatementVariant) {
  Statement::Select full;
  full.ctes = {CteClause{"c", select_star("t")}};
  full.from = TableRef::TableFunction{"read_csv", {str("f.csv")}, "r"};
  full.items = {SelectItem::Expr{col("a"), "x"}, SelectItem::AllColumns{}};
  full.join = JoinSpec{JoinType::Left, "u", std::nullopt,
                       Expr::BinOp{Expr::FieldAccess{"t", {"pk"}}, BinOperator::Eq, Expr::FieldAccess{"u", {"pk"}}}};
  full.filter = Expr::BoolLit{true};
  full.as_of = 7;
  full.valid_at = 3;
  full.temporal = {TemporalClause::SystemTimeAll{}, TemporalClause::ApplicationTimeFromTo{1, 5}};
  full.group_by = std::vector<Expr>{col("g")};
  full.having = Expr::Null{};
  full.order_by = std::vector<std::pair<Expr, OrderDirection>>{{col("a"), OrderDirection::Desc}};
  full.limit = 5;

  Statement::Select from_subquery = select_star("t");
  from_subquery.from = TableRef::Subquery{select_star("u"), "s"};

  const std::vector<ColumnDef> columns = {{"id", SqlType::Integer, true, false}, {"v", SqlType::Real, false, true}};
  const char* columns_text =
      R"([ColumnDef { name: "id", type_name: Integer, primary_key: true, not_null: false }, )"
      R"(ColumnDef { name: "v", type_name: Real, primary_key: false, not_null: true }])";

  struct Case {
    Statement stmt;
    std::string text;
  };
  const Case cases[] = {
      {Statement::Begin{}, "Begin"},
      {Statement::Commit{}, "Commit"},
      {Statement::Rollback{}, "Rollback"},
      {Statement::CreateTable{"t", columns}, std::string(R"(CreateTable { table: "t", columns: )") + columns_text + " }"},
      {Statement::CreateView{"v", "t", "a", 7, std::nullopt},
       R"(CreateView { view: "v", source: "t", pk: "a", as_of: Some(7), valid_at: None })"},
      {Statement::CreateIndex{"i", "t", "a"}, R"(CreateIndex { index: "i", table: "t", column: "a" })"},
      {Statement::CreateFulltextIndex{"f", "t", {"title", "body"}},
       R"(CreateFulltextIndex { index: "f", table: "t", columns: ["title", "body"] })"},
      {Statement::DropFulltextIndex{"f", "t"}, R"(DropFulltextIndex { index: "f", table: "t" })"},
      {Statement::CreateTimeseriesTable{"m", columns, "5m"},
       std::string(R"(CreateTimeseriesTable { table: "m", columns: )") + columns_text + R"(, bucket_interval: "5m" })"},
      {Statement::AlterTableAddColumn{"t", "c", "NOPE"},
       R"(AlterTableAddColumn { table: "t", column: "c", column_type: "NOPE" })"},
      {Statement::Insert{"t", "a", "{}"}, R"(Insert { table: "t", pk: "a", doc: "{}" })"},
      {Statement::InsertTyped{"t", {"a", "b"}, {num(1), str("x")}},
       R"(InsertTyped { table: "t", columns: ["a", "b"], values: [NumberLit(1.0), StringLit("x")] })"},
      {Statement::Update{"t", Expr::Null{}, {{"a", num(1)}}, std::nullopt, std::nullopt, std::nullopt},
       R"(Update { table: "t", set_doc: Null, set_assignments: [("a", NumberLit(1.0))], filter: None, as_of: None, valid_at: None })"},
      {Statement::Delete{"t", Expr::BoolLit{false}, 5, 6},
       R"(Delete { table: "t", filter: Some(BoolLit(false)), as_of: Some(5), valid_at: Some(6) })"},
      {select_star("t"),
       R"(Select { ctes: [], from: Named("t"), items: [AllColumns], join: None, filter: None, as_of: None, )"
       R"(valid_at: None, temporal: [], group_by: None, having: None, order_by: None, limit: None })"},
      {full,
       R"(Select { ctes: [CteClause { name: "c", query: Select { ctes: [], from: Named("t"), items: [AllColumns], )"
       R"(join: None, filter: None, as_of: None, valid_at: None, temporal: [], group_by: None, having: None, )"
       R"(order_by: None, limit: None } }], from: TableFunction { name: "read_csv", args: [StringLit("f.csv")], )"
       R"(alias: Some("r") }, items: [Expr { expr: Column("a"), alias: Some("x") }, AllColumns], )"
       R"(join: Some(JoinSpec { join_type: Left, right_table: "u", right_alias: None, on_clause: Some(BinOp { )"
       R"(left: FieldAccess { column: "t", path: ["pk"] }, op: Eq, right: FieldAccess { column: "u", path: ["pk"] } }) }), )"
       R"(filter: Some(BoolLit(true)), as_of: Some(7), valid_at: Some(3), )"
       R"(temporal: [SystemTimeAll, ApplicationTimeFromTo(1, 5)], group_by: Some([Column("g")]), having: Some(Null), )"
       R"(order_by: Some([(Column("a"), Desc)]), limit: Some(5) })"},
      {from_subquery,
       R"(Select { ctes: [], from: Subquery { query: Select { ctes: [], from: Named("u"), items: [AllColumns], )"
       R"(join: None, filter: None, as_of: None, valid_at: None, temporal: [], group_by: None, having: None, )"
       R"(order_by: None, limit: None }, alias: "s" }, items: [AllColumns], join: None, filter: None, as_of: None, )"
       R"(valid_at: None, temporal: [], group_by: None, having: None, order_by: None, limit: None })"},
      {Statement::CopyTo{"t", "/tmp/a.json", CopyFormat::Json}, R"(CopyTo { table: "t", path: "/tmp/a.json", format: Json })"},
      {Statement::CopyFrom{"t", "/tmp/a", CopyFormat::Ndjson}, R"(CopyFrom { table: "t", path: "/tmp/a", format: Ndjson })"},
      {Statement::ShowTables{}, "ShowTables"},
      {Statement::Describe{"t"}, R"(Describe { table: "t" })"},
      {Statement::DropTable{"t"}, R"(DropTable { table: "t" })"},
      {Statement::DropView{"v"}, R"(DropView { view: "v" })"},
      {Statement::DropIndex{"i", "t"}, R"(DropIndex { index: "i", table: "t" })"},
      {Statement::SetOp{SetOpType::UnionAll, Statement::Begin{}, Statement::SetOp{SetOpType::Except, Statement::Commit{}, Statement::Rollback{}}},
       "SetOp { op: UnionAll, left: Begin, right: SetOp { op: Except, left: Commit, right: Rollback } }"},
      {Statement::InsertReturning{"t", {"a"}, {num(1)}, {SelectItem::AllColumns{}, SelectItem::Expr{col("a"), std::nullopt}}},
       R"(InsertReturning { table: "t", columns: ["a"], values: [NumberLit(1.0)], )"
       R"(returning: [AllColumns, Expr { expr: Column("a"), alias: None }] })"},
      {Statement::CreateTableAs{"t", Statement::ShowTables{}}, R"(CreateTableAs { table: "t", query: ShowTables })"},
      {Statement::Explain{Statement(Statement::Explain{Statement::Begin{}})}, "Explain(Explain(Begin))"},
      {Statement::ExplainAnalyze{Statement::DropView{"v"}}, R"(ExplainAnalyze(DropView { view: "v" }))"},
      {Statement::ExplainAi{"table/t/k"}, R"(ExplainAi { key: "table/t/k" })"},
      {Statement::Analyze{"t"}, R"(Analyze { table: "t" })"},
  };
  for (const Case& tc : cases) EXPECT_EQ(debug_text(tc.stmt), tc.text);
}

TEST(DebugTextTest, TemporalClausesAndEnumNames) {
  const std::pair<TemporalClause, const char*> clauses[] = {
      {TemporalClause::SystemTimeAsOf{1}, "SystemTimeAsOf(1)"},
      {TemporalClause::SystemTimeFromTo{9, 1}, "SystemTimeFromTo(9, 1)"},
      {TemporalClause::SystemTimeBetween{2, 18446744073709551615u}, "SystemTimeBetween(2, 18446744073709551615)"},
      {TemporalClause::SystemTimeAll{}, "SystemTimeAll"},
      {TemporalClause::ApplicationTimeAsOf{0}, "ApplicationTimeAsOf(0)"},
      {TemporalClause::ApplicationTimeFromTo{3, 4}, "ApplicationTimeFromTo(3, 4)"},
      {TemporalClause::ApplicationTimeBetween{5, 6}, "ApplicationTimeBetween(5, 6)"},
  };
  for (const auto& [clause, text] : clauses) EXPECT_EQ(debug_text(clause), text);

  std::string ops;
  for (int i = 0; i <= static_cast<int>(BinOperator::Mod); ++i) ops += std::string(debug_name(BinOperator(i))) + " ";
  EXPECT_EQ(ops, "Eq NotEq Lt Gt LtEq GtEq And Or Like ILike Add Sub Mul Div Mod ");
  EXPECT_EQ(debug_name(SqlType::Blob), "Blob");
  EXPECT_EQ(debug_name(SqlType::Json), "Json");
  EXPECT_EQ(debug_name(SqlType::Boolean), "Boolean");
  EXPECT_EQ(debug_name(SqlType::Text), "Text");
  EXPECT_EQ(debug_name(JoinType::Right), "Right");
  EXPECT_EQ(debug_name(JoinType::Cross), "Cross");
  EXPECT_EQ(debug_name(JoinType::Inner), "Inner");
  EXPECT_EQ(debug_name(SetOpType::Union), "Union");
  EXPECT_EQ(debug_name(SetOpType::Intersect), "Intersect");
  EXPECT_EQ(debug_name(CopyFormat::Csv), "Csv");
  EXPECT_EQ(debug_name(CopyFormat::Parquet), "Parquet");
}

TEST(DebugTextTest, Floats) {
  const double inf = std::numeric_limits<double>::infinity();
  const std::pair<double, const char*> cases[] = {
      {0.0, "0.0"},
      {-0.0, "-0.0"},
      {1.0, "1.0"},
      {10.0, "10.0"},
      {2.5, "2.5"},
      {0.5, "0.5"},
      {0.1, "0.1"},
      {123.456, "123.456"},
      {0.0001, "0.0001"},
      {0.00012, "0.00012"},
      {0.00001, "1e-5"},
      {0.000015, "1.5e-5"},
      {1e-7, "1e-7"},
      {9.999999999999999e-5, "9.999999999999999e-5"},
      {1000000000000000.0, "1000000000000000.0"},
      {9999999999999998.0, "9999999999999998.0"},
      {1e16, "1e16"},
      {123456789012345678.0, "1.2345678901234568e17"},
      {1.7976931348623157e308, "1.7976931348623157e308"},
      {5e-324, "5e-324"},
      {-2.5, "-2.5"},
      {-1e20, "-1e20"},
      {inf, "inf"},
      {-inf, "-inf"},
      {std::nan(""), "NaN"},
  };
  for (const auto& [value, text] : cases) EXPECT_EQ(debug_text(num(value)), std::string("NumberLit(") + text + ")") << text;
}

TEST(DebugTextTest, StringEscapes) {
  const std::pair<std::string, const char*> cases[] = {
      {"say \"hi\"", R"("say \"hi\"")"},
      {"it's", R"("it's")"},
      {"a\\b", R"("a\\b")"},
      {"\n\r\t", R"("\n\r\t")"},
      {std::string("a\0b", 3), R"("a\0b")"},
      {"\x01\x1f\x7f", R"("\u{1}\u{1f}\u{7f}")"},
      {"é ü ß 中文 😀 €", R"("é ü ß 中文 😀 €")"},        // letters and symbols of all scripts
      {"e\u0301", R"("e\u{301}")"},                        // combining mark (Grapheme_Extend)
      {"\u200d", R"("\u{200d}")"},                         // format character, also Grapheme_Extend
      {"\u00ad\u200b\ufeff", R"("\u{ad}\u{200b}\u{feff}")"},  // format characters
      {"\u0085", R"("\u{85}")"},                           // C1 control
      {"\u00a0\u3000", R"("\u{a0}\u{3000}")"},             // spaces other than U+0020
      {"\u2028\u2029", R"("\u{2028}\u{2029}")"},           // line and paragraph separators
      {"\ue000\U0010FFFD", R"("\u{e000}\u{10fffd}")"},     // private use
      {"\U000E0001x", R"("\u{e0001}x")"},                  // format (language tag)
      {"\u0378", R"("\u{378}")"},                          // unassigned
      {"«»¿¡", R"("«»¿¡")"},                               // punctuation beyond ASCII
      {"\xff", "\"\xEF\xBF\xBD\""},                        // not UTF-8
  };
  for (const auto& [text, rendered] : cases) EXPECT_EQ(debug_text(str(text)), std::string("StringLit(") + rendered + ")");
}

}  // namespace
}  // namespace quenlordb::sql::parser
