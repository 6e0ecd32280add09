// The parsed statement and expression trees that the parser produces and the planner, evaluator
// and executor read. They are plain values: every child is owned by its parent, nothing is shared
// and nothing points back, so a copy is a deep copy, == compares whole trees field by field, and
// destroying a tree frees all of it. Names keep the case in which they were written.
//
// Expr and Statement are owning handles of one heap node each (a variant of the node structs
// nested in them); a moved-from handle is empty and may only be destroyed or assigned to. The
// small sum types (TableRef, SelectItem, TemporalClause) hold their variant inline. Every type
// offers node() for std::visit and get_if<T>() / is<T>() for a single alternative.
//
// Building by hand: a node converts to its handle implicitly (Expr e = Expr::Column{"a"}), but a
// one-field node braced around a node of its own type is a copy, not a nesting: write
// Expr::Not{Expr(Expr::Not{x})} and Statement::Explain{Statement(Statement::Explain{s})}.
//
// The walkers (copy, ==, destruction, debug text) recurse once per level; trees the parser builds
// are at most Parser::kMaxDepth levels deep, which they handle on a default thread stack.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <variant>
#include <vector>

namespace quenlordb::sql::parser {

class Parser;

template <typename T, typename Variant>
struct is_variant_alternative : std::false_type {};
template <typename T, typename... Ts>
struct is_variant_alternative<T, std::variant<Ts...>> : std::bool_constant<(std::is_same_v<T, Ts> || ...)> {};
template <typename T, typename Variant>
inline constexpr bool is_variant_alternative_v = is_variant_alternative<std::remove_cvref_t<T>, Variant>::value;

enum class BinOperator : std::uint8_t { Eq, NotEq, Lt, Gt, LtEq, GtEq, And, Or, Like, ILike, Add, Sub, Mul, Div, Mod };
enum class JoinType : std::uint8_t { Inner, Left, Right, Cross };
enum class OrderDirection : std::uint8_t { Asc, Desc };
enum class SetOpType : std::uint8_t { Union, UnionAll, Intersect, Except };
enum class CopyFormat : std::uint8_t { Csv, Json, Ndjson, Parquet };

// The declared type of a table column. Converts to and from its Kind, so it switches and compares
// like an enum: `t == SqlType::Text`.
class SqlType {
 public:
  enum Kind : std::uint8_t { Integer, Real, Text, Boolean, Blob, Json };

  constexpr SqlType(Kind kind) : kind_(kind) {}
  constexpr operator Kind() const { return kind_; }

  // The type named by a column-type word, upper-cased with full Unicode case mapping and matched
  // exactly: INT INTEGER BIGINT, REAL FLOAT DOUBLE, TEXT STRING VARCHAR, BOOL BOOLEAN, BLOB BYTES,
  // JSON. Any other word gives none.
  static std::optional<SqlType> from_str_name(std::string_view word);

 private:
  Kind kind_;
};

// ---------------------------------------------------------------------------------------------
// What every sum type of the trees offers over the variant it keeps: node() for std::visit,
// get_if<T>() and is<T>() for a single alternative, and == comparing the variants. Derived names
// its variant type Node and gives this base (a friend) variant(), a pointer to the variant that is
// null only for a moved-from handle; two such handles compare equal, and neither equals a full one.

template <typename Derived>
class SumNode {
 public:
  const auto& node() const { return *variant_of(self()); }
  auto& node() { return *variant_of(self()); }
  template <typename T>
  const T* get_if() const {
    const auto* v = variant_of(self());
    return v ? std::get_if<T>(v) : nullptr;
  }
  template <typename T>
  T* get_if() {
    auto* v = variant_of(self());
    return v ? std::get_if<T>(v) : nullptr;
  }
  template <typename T>
  bool is() const { return get_if<T>() != nullptr; }

  friend bool operator==(const Derived& a, const Derived& b) {
    const auto* x = variant_of(a);
    const auto* y = variant_of(b);
    if (!x || !y) return x == y;
    return *x == *y;
  }

 private:
  const Derived& self() const { return static_cast<const Derived&>(*this); }
  Derived& self() { return static_cast<Derived&>(*this); }
  static auto* variant_of(const Derived& d) { return d.variant(); }
  static auto* variant_of(Derived& d) { return d.variant(); }
};

// ---------------------------------------------------------------------------------------------
// The owning handle of one heap node, which Expr and Statement are. Box holds the node (a struct
// whose one member `node` is the variant) and is complete only after the node structs, so each
// handle declares its constructors, assignments and destructor and defines them in ast.cc. A copy
// is a deep copy and == compares the nodes; a moved-from handle is empty, and copies and comparisons
// tolerate it.

template <typename Box>
class TreeHandle : public SumNode<TreeHandle<Box>> {
 public:
  // True only for a moved-from handle.
  bool empty() const { return box_ == nullptr; }

 protected:
  TreeHandle() = default;  // empty
  template <typename T>
  explicit TreeHandle(std::in_place_t, T&& node) : box_(std::make_unique<Box>(Box{std::forward<T>(node)})) {}
  TreeHandle(const TreeHandle& other) : box_(other.box_ ? std::make_unique<Box>(*other.box_) : nullptr) {}
  TreeHandle(TreeHandle&& other) noexcept = default;
  TreeHandle& operator=(const TreeHandle& other) {
    if (this != &other) box_ = other.box_ ? std::make_unique<Box>(*other.box_) : nullptr;
    return *this;
  }
  TreeHandle& operator=(TreeHandle&& other) noexcept = default;
  ~TreeHandle() = default;

 private:
  friend class SumNode<TreeHandle>;
  const auto* variant() const { return box_ ? &box_->node : nullptr; }
  auto* variant() { return box_ ? &box_->node : nullptr; }

  std::unique_ptr<Box> box_;
};

struct ExprBox;
struct StatementBox;

// Where the evaluator keeps what it derives from a node once for all the rows it evaluates the
// node for (the lookup table of an IN list). No part of the tree's value: a copy starts empty, as
// does a node assigned to, and every slot equals every other. Several threads may evaluate one tree
// at once (a scan filters rows on threads of its own): the first value set stays, and a thread that
// set another one gets the first back. A tree is not copied, assigned or changed while it is evaluated.
class DerivedSlot {
 public:
  DerivedSlot() = default;
  DerivedSlot(const DerivedSlot&) {}
  DerivedSlot(DerivedSlot&& other) noexcept { take(other); }
  DerivedSlot& operator=(const DerivedSlot&) {
    clear();
    return *this;
  }
  DerivedSlot& operator=(DerivedSlot&& other) noexcept {
    if (this != &other) take(other);
    return *this;
  }
  ~DerivedSlot() = default;
  friend bool operator==(const DerivedSlot&, const DerivedSlot&) { return true; }

  // What was stored, as the T it was stored as; null before.
  template <typename T>
  const T* get() const {
    return static_cast<const T*>(value_.load(std::memory_order_acquire));
  }
  // Stores value unless a value is stored already; returns the stored one.
  template <typename T>
  const T& set(std::shared_ptr<const T> value) const {
    std::lock_guard lock(mu_);
    if (const T* stored = get<T>()) return *stored;
    owner_ = std::move(value);
    value_.store(owner_.get(), std::memory_order_release);
    return *get<T>();
  }

 private:
  void clear() {
    value_.store(nullptr, std::memory_order_relaxed);
    owner_.reset();
  }
  void take(DerivedSlot& other) {
    owner_ = std::move(other.owner_);
    value_.store(other.value_.exchange(nullptr, std::memory_order_relaxed), std::memory_order_relaxed);
  }

  mutable std::mutex mu_;                      // serialises set
  mutable std::shared_ptr<const void> owner_;  // written once, under mu_
  mutable std::atomic<const void*> value_{nullptr};
};

// ---------------------------------------------------------------------------------------------
// Expressions

class Expr : public TreeHandle<ExprBox> {
 public:
  struct Column;          // a name as written (also a parameter word such as $1)
  struct FieldAccess;     // column.path[0].path[1]...
  struct StringLit;
  struct NumberLit;
  struct BoolLit;
  struct Null;
  struct BinOp;           // binary operators, comparisons, LIKE, ILIKE, AND, OR, unary minus (0 - x)
  struct Not;
  struct Function;        // a call without OVER; MATCH is named "MATCH"
  struct Star;            // * as an operand
  struct IsNull;
  struct Between;
  struct InList;
  struct WindowFunction;  // a call followed by OVER (...)
  struct Case;
  struct Cast;
  using Node = std::variant<Column, FieldAccess, StringLit, NumberLit, BoolLit, Null, BinOp, Not, Function, Star,
                            IsNull, Between, InList, WindowFunction, Case, Cast>;

  // A Null expression.
  Expr();
  template <typename T>
    requires is_variant_alternative_v<T, Node>
  Expr(T&& node);  // NOLINT: every node converts to an Expr
  Expr(const Expr& other);
  Expr(Expr&& other) noexcept = default;
  Expr& operator=(const Expr& other);
  Expr& operator=(Expr&& other) noexcept;
  ~Expr();

 private:
  // The parser creates empty handles as places for children it is about to parse; it never lets
  // one escape.
  friend class Parser;
  struct Empty {};
  explicit Expr(Empty);
};

struct Expr::Column {
  std::string name;
  friend bool operator==(const Column&, const Column&) = default;
};
struct Expr::FieldAccess {
  std::string column;
  std::vector<std::string> path;  // at least one
  friend bool operator==(const FieldAccess&, const FieldAccess&) = default;
};
struct Expr::StringLit {
  std::string value;
  friend bool operator==(const StringLit&, const StringLit&) = default;
};
struct Expr::NumberLit {
  explicit NumberLit(double v) : value(v) {}
  NumberLit(double v, std::string written) : value(v), text(std::move(written)) {}

  double value;
  // The literal as written (digits, then an optional fraction), which the double may only
  // approximate; empty for a number not written in the text (the 0 of a unary minus). Not part of
  // the tree's value: two literals of one value are equal.
  std::string text;
  friend bool operator==(const NumberLit& a, const NumberLit& b) { return a.value == b.value; }
};
struct Expr::BoolLit {
  bool value;
  friend bool operator==(const BoolLit&, const BoolLit&) = default;
};
struct Expr::Null {
  friend bool operator==(const Null&, const Null&) = default;
};
struct Expr::BinOp {
  Expr left;
  BinOperator op;
  Expr right;
  friend bool operator==(const BinOp&, const BinOp&) = default;
};
struct Expr::Not {
  Expr expr;
  friend bool operator==(const Not&, const Not&) = default;
};
struct Expr::Function {
  std::string name;
  std::vector<Expr> args;
  friend bool operator==(const Function&, const Function&) = default;
};
struct Expr::Star {
  friend bool operator==(const Star&, const Star&) = default;
};
struct Expr::IsNull {
  Expr expr;
  bool negated;
  friend bool operator==(const IsNull&, const IsNull&) = default;
};
struct Expr::Between {
  Expr expr;
  Expr low;
  Expr high;
  bool negated;
  friend bool operator==(const Between&, const Between&) = default;
};
struct Expr::InList {
  Expr expr;
  std::vector<Expr> list;  // at least one
  bool negated;
  DerivedSlot derived{};   // the evaluator's lookup of a list of constants
  friend bool operator==(const InList&, const InList&) = default;
};
struct Expr::WindowFunction {
  std::string name;
  std::vector<Expr> args;
  std::vector<Expr> partition_by;
  std::vector<std::pair<Expr, OrderDirection>> order_by;
  friend bool operator==(const WindowFunction&, const WindowFunction&) = default;
};
struct Expr::Case {
  std::optional<Expr> operand;
  std::vector<std::pair<Expr, Expr>> when_clauses;  // (condition or compared value, result)
  std::optional<Expr> else_clause;
  friend bool operator==(const Case&, const Case&) = default;
};
struct Expr::Cast {
  Expr expr;
  std::string target_type;  // the type word in upper case, not checked
  friend bool operator==(const Cast&, const Cast&) = default;
};

struct ExprBox {
  Expr::Node node;
};

template <typename T>
  requires is_variant_alternative_v<T, Expr::Node>
Expr::Expr(T&& node) : TreeHandle(std::in_place, std::forward<T>(node)) {}

inline Expr::Expr(Empty) {}

// ---------------------------------------------------------------------------------------------
// Statements

class Statement : public TreeHandle<StatementBox> {
 public:
  struct Begin;
  struct Commit;
  struct Rollback;
  struct CreateTable;
  struct CreateView;
  struct CreateIndex;
  struct CreateFulltextIndex;
  struct DropFulltextIndex;
  struct CreateTimeseriesTable;
  struct AlterTableAddColumn;
  struct Insert;
  struct InsertTyped;
  struct Update;
  struct Delete;
  struct Select;
  struct CopyTo;
  struct CopyFrom;
  struct ShowTables;
  struct Describe;
  struct DropTable;
  struct DropView;
  struct DropIndex;
  struct SetOp;
  struct InsertReturning;
  struct CreateTableAs;
  struct Explain;
  struct ExplainAnalyze;
  struct ExplainAi;
  struct Analyze;
  using Node = std::variant<Begin, Commit, Rollback, CreateTable, CreateView, CreateIndex, CreateFulltextIndex,
                            DropFulltextIndex, CreateTimeseriesTable, AlterTableAddColumn, Insert, InsertTyped, Update,
                            Delete, Select, CopyTo, CopyFrom, ShowTables, Describe, DropTable, DropView, DropIndex,
                            SetOp, InsertReturning, CreateTableAs, Explain, ExplainAnalyze, ExplainAi, Analyze>;

  template <typename T>
    requires is_variant_alternative_v<T, Node>
  Statement(T&& node);  // NOLINT: every node converts to a Statement
  Statement(const Statement& other);
  Statement(Statement&& other) noexcept = default;
  Statement& operator=(const Statement& other);
  Statement& operator=(Statement&& other) noexcept;
  ~Statement();
};

// One column of CREATE TABLE or CREATE TIMESERIES TABLE.
struct ColumnDef {
  std::string name;
  SqlType type_name;
  bool primary_key = false;
  bool not_null = false;
  friend bool operator==(const ColumnDef&, const ColumnDef&) = default;
};

// The source named after FROM. Default: Named with an empty name.
class TableRef : public SumNode<TableRef> {
 public:
  struct Named {
    std::string name;
    friend bool operator==(const Named&, const Named&) = default;
  };
  struct Subquery {
    Statement query;  // a Select
    std::string alias;
    friend bool operator==(const Subquery&, const Subquery&) = default;
  };
  struct TableFunction {
    std::string name;
    std::vector<Expr> args;
    std::optional<std::string> alias;
    friend bool operator==(const TableFunction&, const TableFunction&) = default;
  };
  using Node = std::variant<Named, Subquery, TableFunction>;

  TableRef() = default;
  template <typename T>
    requires is_variant_alternative_v<T, Node>
  TableRef(T&& node) : node_(std::forward<T>(node)) {}  // NOLINT

 private:
  friend class SumNode<TableRef>;
  const Node* variant() const { return &node_; }
  Node* variant() { return &node_; }

  Node node_;
};

// The one join a SELECT may have. The parser never fills right_alias.
struct JoinSpec {
  JoinType join_type = JoinType::Inner;
  std::string right_table;
  std::optional<std::string> right_alias;
  std::optional<Expr> on_clause;
  friend bool operator==(const JoinSpec&, const JoinSpec&) = default;
};

// One entry of a SELECT or RETURNING list: the bare * or an expression with an optional alias.
// Default: AllColumns.
class SelectItem : public SumNode<SelectItem> {
 public:
  struct AllColumns {
    friend bool operator==(const AllColumns&, const AllColumns&) = default;
  };
  struct Expr {
    parser::Expr expr;
    std::optional<std::string> alias;
    friend bool operator==(const Expr&, const Expr&) = default;
  };
  using Node = std::variant<AllColumns, Expr>;

  SelectItem() = default;
  template <typename T>
    requires is_variant_alternative_v<T, Node>
  SelectItem(T&& node) : node_(std::forward<T>(node)) {}  // NOLINT

 private:
  friend class SumNode<SelectItem>;
  const Node* variant() const { return &node_; }
  Node* variant() { return &node_; }

  Node node_;
};

// One entry of WITH.
struct CteClause {
  std::string name;
  Statement query;  // a Select
  friend bool operator==(const CteClause&, const CteClause&) = default;
};

// One FOR clause of a SELECT. Default: SystemTimeAll.
class TemporalClause : public SumNode<TemporalClause> {
 public:
  struct SystemTimeAsOf {
    std::uint64_t ts;
    friend bool operator==(const SystemTimeAsOf&, const SystemTimeAsOf&) = default;
  };
  struct SystemTimeFromTo {
    std::uint64_t from;
    std::uint64_t to;
    friend bool operator==(const SystemTimeFromTo&, const SystemTimeFromTo&) = default;
  };
  struct SystemTimeBetween {
    std::uint64_t low;
    std::uint64_t high;
    friend bool operator==(const SystemTimeBetween&, const SystemTimeBetween&) = default;
  };
  struct SystemTimeAll {
    friend bool operator==(const SystemTimeAll&, const SystemTimeAll&) = default;
  };
  struct ApplicationTimeAsOf {
    std::uint64_t ts;
    friend bool operator==(const ApplicationTimeAsOf&, const ApplicationTimeAsOf&) = default;
  };
  struct ApplicationTimeFromTo {
    std::uint64_t from;
    std::uint64_t to;
    friend bool operator==(const ApplicationTimeFromTo&, const ApplicationTimeFromTo&) = default;
  };
  struct ApplicationTimeBetween {
    std::uint64_t low;
    std::uint64_t high;
    friend bool operator==(const ApplicationTimeBetween&, const ApplicationTimeBetween&) = default;
  };
  using Node = std::variant<SystemTimeAsOf, SystemTimeFromTo, SystemTimeBetween, SystemTimeAll, ApplicationTimeAsOf,
                            ApplicationTimeFromTo, ApplicationTimeBetween>;

  TemporalClause() : node_(SystemTimeAll{}) {}
  template <typename T>
    requires is_variant_alternative_v<T, Node>
  TemporalClause(T&& node) : node_(std::forward<T>(node)) {}  // NOLINT

 private:
  friend class SumNode<TemporalClause>;
  const Node* variant() const { return &node_; }
  Node* variant() { return &node_; }

  Node node_;
};

struct Statement::Begin {
  friend bool operator==(const Begin&, const Begin&) = default;
};
struct Statement::Commit {
  friend bool operator==(const Commit&, const Commit&) = default;
};
struct Statement::Rollback {
  friend bool operator==(const Rollback&, const Rollback&) = default;
};
struct Statement::CreateTable {
  std::string table;
  std::vector<ColumnDef> columns;
  friend bool operator==(const CreateTable&, const CreateTable&) = default;
};
struct Statement::CreateView {
  std::string view;
  std::string source;  // the one table the view reads
  std::string pk;      // the primary-key value the view selects
  std::optional<std::uint64_t> as_of;
  std::optional<std::uint64_t> valid_at;
  friend bool operator==(const CreateView&, const CreateView&) = default;
};
struct Statement::CreateIndex {
  std::string index;
  std::string table;
  std::string column;
  friend bool operator==(const CreateIndex&, const CreateIndex&) = default;
};
struct Statement::CreateFulltextIndex {
  std::string index;
  std::string table;
  std::vector<std::string> columns;
  friend bool operator==(const CreateFulltextIndex&, const CreateFulltextIndex&) = default;
};
struct Statement::DropFulltextIndex {
  std::string index;
  std::string table;
  friend bool operator==(const DropFulltextIndex&, const DropFulltextIndex&) = default;
};
struct Statement::CreateTimeseriesTable {
  std::string table;
  std::vector<ColumnDef> columns;
  std::string bucket_interval = "1h";
  friend bool operator==(const CreateTimeseriesTable&, const CreateTimeseriesTable&) = default;
};
struct Statement::AlterTableAddColumn {
  std::string table;
  std::string column;
  std::string column_type;  // the type word as written, not checked
  friend bool operator==(const AlterTableAddColumn&, const AlterTableAddColumn&) = default;
};
struct Statement::Insert {
  std::string table;
  std::string pk;
  std::string doc;
  friend bool operator==(const Insert&, const Insert&) = default;
};
struct Statement::InsertTyped {
  std::string table;
  std::vector<std::string> columns;
  std::vector<Expr> values;
  friend bool operator==(const InsertTyped&, const InsertTyped&) = default;
};
struct Statement::Update {
  std::string table;
  Expr set_doc;  // Null unless the first assignment is to doc
  std::vector<std::pair<std::string, Expr>> set_assignments;
  std::optional<Expr> filter;
  std::optional<std::uint64_t> as_of;
  std::optional<std::uint64_t> valid_at;
  friend bool operator==(const Update&, const Update&) = default;
};
struct Statement::Delete {
  std::string table;
  std::optional<Expr> filter;
  std::optional<std::uint64_t> as_of;
  std::optional<std::uint64_t> valid_at;
  friend bool operator==(const Delete&, const Delete&) = default;
};
struct Statement::Select {
  std::vector<CteClause> ctes;
  TableRef from;
  std::vector<SelectItem> items;
  std::optional<JoinSpec> join;
  std::optional<Expr> filter;
  std::optional<std::uint64_t> as_of;
  std::optional<std::uint64_t> valid_at;
  std::vector<TemporalClause> temporal;
  std::optional<std::vector<Expr>> group_by;
  std::optional<Expr> having;
  std::optional<std::vector<std::pair<Expr, OrderDirection>>> order_by;
  std::optional<std::uint64_t> limit;
  friend bool operator==(const Select&, const Select&) = default;
};
struct Statement::CopyTo {
  std::string table;
  std::string path;
  CopyFormat format = CopyFormat::Csv;
  friend bool operator==(const CopyTo&, const CopyTo&) = default;
};
struct Statement::CopyFrom {
  std::string table;
  std::string path;
  CopyFormat format = CopyFormat::Csv;
  friend bool operator==(const CopyFrom&, const CopyFrom&) = default;
};
struct Statement::ShowTables {
  friend bool operator==(const ShowTables&, const ShowTables&) = default;
};
struct Statement::Describe {
  std::string table;
  friend bool operator==(const Describe&, const Describe&) = default;
};
struct Statement::DropTable {
  std::string table;
  friend bool operator==(const DropTable&, const DropTable&) = default;
};
struct Statement::DropView {
  std::string view;
  friend bool operator==(const DropView&, const DropView&) = default;
};
struct Statement::DropIndex {
  std::string index;
  std::string table;
  friend bool operator==(const DropIndex&, const DropIndex&) = default;
};
struct Statement::SetOp {
  SetOpType op;
  Statement left;   // any statement
  Statement right;  // a Select or another SetOp
  friend bool operator==(const SetOp&, const SetOp&) = default;
};
struct Statement::InsertReturning {
  std::string table;
  std::vector<std::string> columns;
  std::vector<Expr> values;
  std::vector<SelectItem> returning;
  friend bool operator==(const InsertReturning&, const InsertReturning&) = default;
};
struct Statement::CreateTableAs {
  std::string table;
  Statement query;  // a Select
  friend bool operator==(const CreateTableAs&, const CreateTableAs&) = default;
};
struct Statement::Explain {
  Statement statement;
  friend bool operator==(const Explain&, const Explain&) = default;
};
struct Statement::ExplainAnalyze {
  Statement statement;
  friend bool operator==(const ExplainAnalyze&, const ExplainAnalyze&) = default;
};
struct Statement::ExplainAi {
  std::string key;
  friend bool operator==(const ExplainAi&, const ExplainAi&) = default;
};
struct Statement::Analyze {
  std::string table;
  friend bool operator==(const Analyze&, const Analyze&) = default;
};

struct StatementBox {
  Statement::Node node;
};

template <typename T>
  requires is_variant_alternative_v<T, Statement::Node>
Statement::Statement(T&& node) : TreeHandle(std::in_place, std::forward<T>(node)) {}

}  // namespace quenlordb::sql::parser
