#include "sql/planner/plan_node.h"

#include <charconv>
#include <type_traits>

#include "util/float_digits.h"

namespace quenlordb::sql::planner {

namespace {

constexpr double kAggregateFactor = 1.1;

template <class... Fs>
struct Overloaded : Fs... {
  using Fs::operator()...;
};
template <class... Fs>
Overloaded(Fs...) -> Overloaded<Fs...>;  // clang 16 does not deduce aggregates' arguments

void append_indent(std::string& out, std::uint64_t depth) { out.append(depth * 2, ' '); }

void append_uint(std::string& out, std::uint64_t value) {
  char buf[20];
  const auto end = std::to_chars(buf, buf + sizeof buf, value).ptr;
  out.append(buf, end);
}

// The line's tail after a newline: the child's display one level deeper.
void append_child(std::string& out, const PlanChild& child, std::uint64_t depth) {
  out += '\n';
  child->append_display(out, depth + 1);
}

template <typename Join>
void append_join(std::string& out, std::string_view name, const Join& join, std::uint64_t depth) {
  out.append(name).append(" type=").append(join.join_type).append(" cost=");
  append_fixed(out, join.cost, 1);
  append_child(out, join.left, depth);
  append_child(out, join.right, depth);
}

}  // namespace

void append_fixed(std::string& out, double value, int digits) { util::append_fixed(out, value, digits); }

double PlanNode::cost() const {
  return std::visit(Overloaded{
                        [](const PointLookup& n) { return n.cost; },
                        [](const FullScan& n) { return n.cost; },
                        [](const HashJoin& n) { return n.cost; },
                        [](const NestedLoopJoin& n) { return n.cost; },
                        [](const Sort& n) { return n.cost; },
                        [](const Filter& n) { return n.child->cost(); },
                        [](const Limit& n) { return n.child->cost(); },
                        [](const Project& n) { return n.child->cost(); },
                        [](const Aggregate& n) { return n.child->cost() * kAggregateFactor; },
                    },
                    kind);
}

std::string PlanNode::display(std::uint64_t depth) const {
  std::string out;
  append_display(out, depth);
  return out;
}

void PlanNode::append_display(std::string& out, std::uint64_t depth) const {
  append_indent(out, depth);
  std::visit(Overloaded{
                 [&](const PointLookup& n) {
                   out.append("PointLookup table=").append(n.table).append(" pk=").append(n.pk).append(" cost=");
                   append_fixed(out, n.cost, 1);
                 },
                 [&](const FullScan& n) {
                   out.append("FullScan table=").append(n.table).append(" est_rows=");
                   append_uint(out, n.est_rows);
                   out.append(" cost=");
                   append_fixed(out, n.cost, 1);
                 },
                 [&](const Filter& n) {
                   out.append("Filter sel=");
                   append_fixed(out, n.sel, 2);
                   out.append(" pred=[").append(n.pred).append("]");
                   append_child(out, n.child, depth);
                 },
                 [&](const HashJoin& n) { append_join(out, "HashJoin", n, depth); },
                 [&](const NestedLoopJoin& n) { append_join(out, "NestedLoopJoin", n, depth); },
                 [&](const Aggregate& n) {
                   out.append("Aggregate groups=");
                   append_uint(out, n.groups);
                   out.append(" aggs=");
                   append_uint(out, n.aggs);
                   append_child(out, n.child, depth);
                 },
                 [&](const Sort& n) {
                   out.append("Sort keys=");
                   append_uint(out, n.keys);
                   out.append(" cost=");
                   append_fixed(out, n.cost, 1);
                   append_child(out, n.child, depth);
                 },
                 [&](const Limit& n) {
                   out.append("Limit n=");
                   append_uint(out, n.n);
                   append_child(out, n.child, depth);
                 },
                 [&](const Project& n) {
                   out.append("Project cols=");
                   append_uint(out, n.cols);
                   append_child(out, n.child, depth);
                 },
             },
             kind);
}

}  // namespace quenlordb::sql::planner
