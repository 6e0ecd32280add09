// The plan tree that EXPLAIN prints: a small description of how a SELECT would be answered, with
// fixed cost estimates. It does not drive execution. Every child is owned by its parent, so a plan
// is a tree, movable and not copyable; plans are a few levels deep (one level per clause), so the
// walkers recurse freely.
//
// Costs follow fixed rules: scans, point lookups, joins and sorts carry their own cost; Filter,
// Limit and Project cost what their child costs; Aggregate costs its child's cost times 1.1.
//
// display(depth) renders a node and its subtree, one node per line, each line indented by two
// spaces per level of depth (children at depth + 1), with no newline after the last line. Names and
// the predicate text are inserted as they are; floats print with one digit after the point (two
// for a selectivity), rounded to the nearest with ties to even on the exact binary value, so
// 0.125 prints as 0.12.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <variant>

namespace quenlordb::sql::planner {

struct PlanNode;
using PlanChild = std::unique_ptr<PlanNode>;

// Every kind's fields are in the order its line prints them.
struct PointLookup {
  std::string table;
  std::string pk;
  double cost;
};
struct FullScan {
  std::string table;
  std::uint64_t est_rows;
  double cost;
};
struct Filter {
  std::string pred;  // the start of the predicate's debug text
  double sel;
  PlanChild child;
};
struct HashJoin {
  std::string join_type;  // INNER, LEFT, RIGHT or CROSS
  double cost;
  PlanChild left;
  PlanChild right;
};
struct NestedLoopJoin {
  std::string join_type;
  double cost;
  PlanChild left;
  PlanChild right;
};
struct Aggregate {
  std::uint64_t groups;
  std::uint64_t aggs;
  PlanChild child;
};
struct Sort {
  std::uint64_t keys;
  double cost;
  PlanChild child;
};
struct Limit {
  std::uint64_t n;
  PlanChild child;
};
struct Project {
  std::uint64_t cols;
  PlanChild child;
};

struct PlanNode {
  using Kind = std::variant<PointLookup, FullScan, Filter, HashJoin, NestedLoopJoin, Aggregate, Sort, Limit, Project>;

  Kind kind;

  double cost() const;
  std::string display(std::uint64_t depth) const;
  // display(depth) appended to out.
  void append_display(std::string& out, std::uint64_t depth) const;
};

// A child node owning `node`.
template <typename K>
PlanChild make_child(K&& node) {
  return std::make_unique<PlanNode>(PlanNode{std::forward<K>(node)});
}

// value printed with `digits` digits after the point (0 to 17), rounded to the nearest with ties to
// even on the exact binary value; NaN and the infinities print as nan, inf and -inf.
void append_fixed(std::string& out, double value, int digits);

}  // namespace quenlordb::sql::planner
