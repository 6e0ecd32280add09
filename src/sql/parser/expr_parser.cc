// The expression grammar, one rule per precedence level:
//   expr    := and {OR and}
//   and     := not {AND not}
//   not     := NOT not | cmp
//   cmp     := add [IS [NOT] NULL | [NOT] IN (expr, ...) | [NOT] BETWEEN add AND add
//                   | [NOT] LIKE add | [NOT] ILIKE add | (= | <> | != | < | > | <= | >=) add]
//   add     := mul {(+ | -) mul}
//   mul     := unary {(* | / | %) unary}      (a * followed by FROM ends the chain)
//   unary   := - primary | primary             (-x is 0 - x)
//   primary := number | 'text' | * | ( expr ) | TRUE | FALSE | NULL | MATCH ( expr, ... )
//            | CASE [expr] {WHEN expr THEN expr} [ELSE expr] END | CAST ( expr AS word )
//            | name . name {. name} | name ( [expr, ...] ) [OVER ( [PARTITION BY ...] [ORDER BY ...] )]
//            | name

#include "sql/parser/parser.h"
#include "sql/parser/text.h"
#include "util/unicode.h"

namespace quenlordb::sql::parser {

namespace {

// v.push_back(value), out of line: the growth code would otherwise enlarge a frame that sits on
// the recursion path.
template <typename T>
[[gnu::noinline]] T& append(std::vector<T>& v, T&& value) {
  v.push_back(std::move(value));
  return v.back();
}

std::optional<BinOperator> comparison_operator(const Token* t) {
  if (t == nullptr) return std::nullopt;
  switch (t->kind) {
    case TokenKind::NotEqualOp: return BinOperator::NotEq;
    case TokenKind::LessEqualOp: return BinOperator::LtEq;
    case TokenKind::GreaterEqualOp: return BinOperator::GtEq;
    case TokenKind::Symbol:
      if (t->symbol == '=') return BinOperator::Eq;
      if (t->symbol == '<') return BinOperator::Lt;
      if (t->symbol == '>') return BinOperator::Gt;
      return std::nullopt;
    default:
      return std::nullopt;
  }
}

}  // namespace

QuenlorError Parser::unexpected_token() const {
  return QuenlorError::sql_parse("unexpected token in expression at position " + std::to_string(pos_));
}

// Stack use. Every level of a nesting puts the frames of several rules on the stack, and sanitizers
// give every local and temporary a slot of its own. So the rules on such a path hold almost
// nothing: they return a bool and write into a place their caller owns (a node's child, allocated
// before the child is parsed), failures wait in error_, and everything that builds temporaries
// (messages, cursor results) happens in out-of-line helpers that have returned before the next
// level begins.

Result<Expr> Parser::run_rule(Rule rule) {
  Expr out{Expr::Empty{}};
  if (!(this->*rule)(out)) return fail(take_error());
  return out;
}

Result<Expr> Parser::parse_expr() { return run_rule(&Parser::or_rule); }
Result<Expr> Parser::parse_and_expr() { return run_rule(&Parser::and_rule); }
Result<Expr> Parser::parse_not_expr() { return run_rule(&Parser::not_rule); }
Result<Expr> Parser::parse_comparison() { return run_rule(&Parser::comparison_rule); }
Result<Expr> Parser::parse_addition() { return run_rule(&Parser::addition_rule); }
Result<Expr> Parser::parse_multiplication() { return run_rule(&Parser::multiplication_rule); }
Result<Expr> Parser::parse_unary() { return run_rule(&Parser::unary_rule); }
Result<Expr> Parser::parse_primary() { return run_rule(&Parser::primary_rule); }

[[gnu::noinline, gnu::cold]] bool Parser::set_error(QuenlorError error) {
  error_ = std::move(error);
  return false;
}

[[gnu::noinline]] bool Parser::want_symbol(char c) {
  Result<void> r = expect_symbol(c);
  return r ? true : set_error(std::move(r).error());
}

[[gnu::noinline]] bool Parser::want_kw(std::string_view kw) {
  Result<void> r = expect_kw(kw);
  return r ? true : set_error(std::move(r).error());
}

[[gnu::noinline]] bool Parser::grow(OperatorChain& chain) {
  Result<void> r = chain.grow();
  return r ? true : set_error(std::move(r).error());
}

// A child place in a node under construction; the rule that parses the child fills it.
Expr Parser::hole() { return Expr{Expr::Empty{}}; }

[[gnu::noinline]] bool Parser::expr_list(std::vector<Expr>& out) {
  do {
    if (!or_rule(append(out, hole()))) return false;
  } while (accept_symbol(','));
  return true;
}

bool Parser::or_rule(Expr& out) { return chain_rule(out, ChainLevel::Or); }
bool Parser::and_rule(Expr& out) { return chain_rule(out, ChainLevel::And); }
bool Parser::addition_rule(Expr& out) { return chain_rule(out, ChainLevel::Add); }
bool Parser::multiplication_rule(Expr& out) { return chain_rule(out, ChainLevel::Mul); }

Parser::Rule Parser::chain_operand(ChainLevel level) {
  switch (level) {
    case ChainLevel::Or: return &Parser::and_rule;
    case ChainLevel::And: return &Parser::not_rule;
    case ChainLevel::Add: return &Parser::multiplication_rule;
    case ChainLevel::Mul: break;
  }
  return &Parser::unary_rule;
}

// One level of left-associative operators: an operand of the next tighter level, then the links.
bool Parser::chain_rule(Expr& out, ChainLevel level) {
  OperatorChain chain(*this);
  if (!(this->*chain_operand(level))(out)) return false;
  return !chain_operator(level) || chain_tail(chain, out, level);
}

std::optional<BinOperator> Parser::chain_operator(ChainLevel level) const {
  switch (level) {
    case ChainLevel::Or:
      if (peek_kw("OR")) return BinOperator::Or;
      break;
    case ChainLevel::And:
      if (peek_kw("AND")) return BinOperator::And;
      break;
    case ChainLevel::Add:
      if (peek_symbol('+')) return BinOperator::Add;
      if (peek_symbol('-')) return BinOperator::Sub;
      break;
    case ChainLevel::Mul:
      if (peek_symbol('*') && !peek_kw("FROM", 1)) return BinOperator::Mul;  // SELECT a * FROM t
      if (peek_symbol('/')) return BinOperator::Div;
      if (peek_symbol('%')) return BinOperator::Mod;
      break;
  }
  return std::nullopt;
}

// The operators after the first operand of a chain, each link left-associative: out, holding the
// tree so far, becomes the left child of each new link.
[[gnu::noinline]] bool Parser::chain_tail(OperatorChain& chain, Expr& out, ChainLevel level) {
  const Rule operand = chain_operand(level);
  while (const std::optional<BinOperator> op = chain_operator(level)) {
    ++pos_;
    if (!grow(chain)) return false;
    out = Expr::BinOp{std::move(out), *op, hole()};
    if (!(this->*operand)(out.get_if<Expr::BinOp>()->right)) return false;
  }
  return true;
}

bool Parser::not_rule(Expr& out) {
  if (!accept_kw("NOT")) return comparison_rule(out);
  return not_operand(out);
}

[[gnu::noinline]] bool Parser::not_operand(Expr& out) {
  if (!enter_level()) return false;
  const DepthGuard level(this);
  out = Expr::Not{hole()};
  return not_rule(out.get_if<Expr::Not>()->expr);
}

bool Parser::comparison_rule(Expr& out) {
  OperatorChain chain(*this);
  if (!addition_rule(out)) return false;
  return !may_continue_comparison() || comparison_tail(chain, out);
}

bool Parser::may_continue_comparison() const {
  return peek_kw("NOT") || peek_kw("IS") || peek_kw("IN") || peek_kw("LIKE") || peek_kw("ILIKE") ||
         peek_kw("BETWEEN") || comparison_operator(peek()).has_value();
}

// At most one comparison form over the left operand in out.
[[gnu::noinline]] bool Parser::comparison_tail(OperatorChain& chain, Expr& out) {
  bool negated = false;
  if (peek_kw("NOT")) {
    if (!peek_kw("IN", 1) && !peek_kw("BETWEEN", 1) && !peek_kw("LIKE", 1) && !peek_kw("ILIKE", 1)) {
      return true;  // the NOT belongs to someone else
    }
    ++pos_;
    negated = true;
  }
  if (peek_kw("IS")) return is_null_tail(chain, out);
  if (peek_kw("IN")) return in_list_tail(chain, out, negated);
  if (peek_kw("LIKE") || peek_kw("ILIKE")) return like_tail(chain, out, negated);
  if (peek_kw("BETWEEN")) return between_tail(chain, out, negated);
  return binary_comparison_tail(chain, out);
}

// At IS: [NOT] NULL.
[[gnu::noinline]] bool Parser::is_null_tail(OperatorChain& chain, Expr& out) {
  ++pos_;
  const bool negated = accept_kw("NOT");
  if (!want_kw("NULL") || !grow(chain)) return false;
  out = Expr::IsNull{std::move(out), negated};
  return true;
}

// At IN: ( expr {, expr} ).
[[gnu::noinline]] bool Parser::in_list_tail(OperatorChain& chain, Expr& out, bool negated) {
  ++pos_;
  if (!want_symbol('(') || !grow(chain)) return false;
  out = Expr::InList{std::move(out), {}, negated};
  return expr_list(out.get_if<Expr::InList>()->list) && want_symbol(')');
}

// At BETWEEN: add AND add.
[[gnu::noinline]] bool Parser::between_tail(OperatorChain& chain, Expr& out, bool negated) {
  ++pos_;
  if (!grow(chain)) return false;
  out = Expr::Between{std::move(out), hole(), hole(), negated};
  auto* between = out.get_if<Expr::Between>();
  return addition_rule(between->low) && want_kw("AND") && addition_rule(between->high);
}

// At LIKE or ILIKE: the pattern. NOT LIKE is a Not above the LIKE.
[[gnu::noinline]] bool Parser::like_tail(OperatorChain& chain, Expr& out, bool negated) {
  const BinOperator op = peek_kw("LIKE") ? BinOperator::Like : BinOperator::ILike;
  ++pos_;
  if (!grow(chain)) return false;
  if (!negated) {
    out = Expr::BinOp{std::move(out), op, hole()};
    return addition_rule(out.get_if<Expr::BinOp>()->right);
  }
  if (!grow(chain) || !enter_level()) return false;
  const DepthGuard level(this);
  out = Expr::Not{Expr::BinOp{std::move(out), op, hole()}};
  return addition_rule(out.get_if<Expr::Not>()->expr.get_if<Expr::BinOp>()->right);
}

// At = < > <> != <= >=, or at a token that is none of them: then out stays as it is.
[[gnu::noinline]] bool Parser::binary_comparison_tail(OperatorChain& chain, Expr& out) {
  const std::optional<BinOperator> op = comparison_operator(peek());
  if (!op) return true;
  ++pos_;
  if (!grow(chain)) return false;
  out = Expr::BinOp{std::move(out), *op, hole()};
  return addition_rule(out.get_if<Expr::BinOp>()->right);
}

bool Parser::unary_rule(Expr& out) {
  if (!accept_symbol('-')) return primary_rule(out);
  return negation(out);
}

// After a unary minus: 0 - operand, the operand a primary.
[[gnu::noinline]] bool Parser::negation(Expr& out) {
  if (!enter_level()) return false;
  const DepthGuard level(this);
  out = Expr::BinOp{Expr::NumberLit{0.0}, BinOperator::Sub, hole()};
  return primary_rule(out.get_if<Expr::BinOp>()->right);
}

// Dispatches on the operand's first token: the constructs that nest each have their own helper,
// everything else is operand(). MATCH, FALSE, TRUE, NULL, CASE and CAST are never names.
bool Parser::primary_rule(Expr& out) {
  if (peek_symbol('(')) return parenthesized(out);
  if (peek_word()) {
    if (peek_kw("MATCH")) return match_call(out);
    if (peek_kw("CASE")) return case_expr(out);
    if (peek_kw("CAST")) return cast(out);
    if (peek_symbol('(', 1) && !peek_kw("FALSE") && !peek_kw("TRUE") && !peek_kw("NULL")) return call(out);
  }
  return operand(out);
}

// At (: the inner expression itself; no node records the parentheses.
[[gnu::noinline]] bool Parser::parenthesized(Expr& out) {
  ++pos_;
  if (!enter_level()) return false;
  const DepthGuard level(this);
  return or_rule(out) && want_symbol(')');
}

// Literals, *, names and field paths.
[[gnu::noinline]] bool Parser::operand(Expr& out) {
  const Token* t = peek();
  if (t == nullptr) return set_error(unexpected_token());
  switch (t->kind) {
    case TokenKind::NumberText:
      out = Expr::NumberLit{number_value(t->text), std::string(t->text)};
      ++pos_;
      return true;
    case TokenKind::Quoted:
      out = Expr::StringLit{quoted_value(*t)};
      ++pos_;
      return true;
    case TokenKind::Symbol:
      if (t->symbol != '*') return set_error(unexpected_token());
      out = Expr::Star{};
      ++pos_;
      return true;
    case TokenKind::Word:
      break;
    default:
      return set_error(unexpected_token());
  }
  ++pos_;
  if (eq_ignore_ascii_case(t->text, "FALSE") || eq_ignore_ascii_case(t->text, "TRUE")) {
    out = Expr::BoolLit{eq_ignore_ascii_case(t->text, "TRUE")};
    return true;
  }
  if (eq_ignore_ascii_case(t->text, "NULL")) {
    out = Expr::Null{};
    return true;
  }
  if (!peek_symbol('.')) {
    out = Expr::Column{std::string(t->text)};
    return true;
  }
  std::vector<std::string> path;
  while (accept_symbol('.')) {
    Result<std::string> part = expect_ident();
    if (!part) return set_error(std::move(part).error());
    path.push_back(std::move(*part));
  }
  out = Expr::FieldAccess{std::string(t->text), std::move(path)};
  return true;
}

// At MATCH: ( expr {, expr} ), named MATCH whatever the case written.
[[gnu::noinline]] bool Parser::match_call(Expr& out) {
  ++pos_;
  if (!want_symbol('(') || !enter_level()) return false;
  const DepthGuard level(this);
  out = Expr::Function{"MATCH", {}};
  return expr_list(out.get_if<Expr::Function>()->args) && want_symbol(')');
}

// At a function name followed by (: the arguments, then an optional OVER clause.
[[gnu::noinline]] bool Parser::call(Expr& out) {
  out = Expr::Function{std::string(tokens_[pos_].text), {}};
  pos_ += 2;
  if (!enter_level()) return false;
  const DepthGuard level(this);
  if (!peek_symbol(')') && !expr_list(out.get_if<Expr::Function>()->args)) return false;
  if (!want_symbol(')')) return false;
  return !accept_kw("OVER") || window(out);
}

// After OVER, with out the call: ( [PARTITION BY expr, ...] [ORDER BY expr [ASC | DESC], ...] ).
[[gnu::noinline]] bool Parser::window(Expr& out) {
  if (!want_symbol('(')) return false;
  auto* call = out.get_if<Expr::Function>();
  out = Expr::WindowFunction{std::move(call->name), std::move(call->args), {}, {}};
  auto* window = out.get_if<Expr::WindowFunction>();
  if (accept_kw("PARTITION") && !(want_kw("BY") && expr_list(window->partition_by))) return false;
  if (accept_kw("ORDER")) {
    if (!want_kw("BY")) return false;
    do {
      auto& entry = append(window->order_by, std::pair<Expr, OrderDirection>(hole(), OrderDirection::Asc));
      if (!or_rule(entry.first)) return false;
      if (accept_kw("DESC")) {
        entry.second = OrderDirection::Desc;
      } else {
        accept_kw("ASC");
      }
    } while (accept_symbol(','));
  }
  return want_symbol(')');
}

// At CASE. An operand stands before the first WHEN unless WHEN or END follows at once, so that
// CASE END is an empty CASE.
[[gnu::noinline]] bool Parser::case_expr(Expr& out) {
  ++pos_;
  if (!enter_level()) return false;
  const DepthGuard level(this);
  out = Expr::Case{};
  auto* c = out.get_if<Expr::Case>();
  if (!peek_kw("WHEN") && !peek_kw("END")) {
    c->operand.emplace(hole());
    if (!or_rule(*c->operand)) return false;
  }
  while (accept_kw("WHEN")) {
    auto& clause = append(c->when_clauses, std::pair<Expr, Expr>(hole(), hole()));
    if (!or_rule(clause.first) || !want_kw("THEN") || !or_rule(clause.second)) return false;
  }
  if (accept_kw("ELSE")) {
    c->else_clause.emplace(hole());
    if (!or_rule(*c->else_clause)) return false;
  }
  return want_kw("END");
}

// At CAST: ( expr AS word ), the type word upper-cased and not checked.
[[gnu::noinline]] bool Parser::cast(Expr& out) {
  ++pos_;
  if (!want_symbol('(') || !enter_level()) return false;
  const DepthGuard level(this);
  out = Expr::Cast{hole(), {}};
  auto* cast = out.get_if<Expr::Cast>();
  if (!or_rule(cast->expr) || !want_kw("AS")) return false;
  Result<std::string> type_word = expect_ident();
  if (!type_word) return set_error(std::move(type_word).error());
  cast->target_type = util::to_upper_full(*type_word);
  return want_symbol(')');
}

}  // namespace quenlordb::sql::parser
