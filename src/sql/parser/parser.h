// The recursive-descent parser of one SQL statement: a cursor over the statement's tokens, the
// expectation operations every grammar rule uses (with their fixed messages), the depth budget
// that keeps hostile input from overflowing the stack, and the grammar rules themselves.
// parse_sql is the entry for one statement text. A Parser is used by one thread for one statement
// and keeps no state between statements; every failure is a QuenlorError of kind SqlParse.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "error.h"
#include "sql/parser/ast.h"
#include "sql/parser/lexer.h"
#include "sql/parser/text.h"

namespace quenlordb::sql::parser {

// Parses one statement text: tokenises it, drops one trailing ";", parses one statement, lets a
// trailing set operation attach to it, and fails with "unexpected trailing tokens" when tokens
// remain.
Result<Statement> parse_sql(std::string_view sql);
// The same for a text already known to be valid UTF-8 (a piece split_sql_statements gave).
Result<Statement> parse_valid_utf8_sql(std::string_view sql);
// The same through the token list and the grammar alone, for a caller that has tried the straight
// readers below (parse_row_insert, read_pk_select, read_pk_update), which give what the grammar
// gives. tokens is room for the statement's tokens, reused by a caller that parses many statements
// (its contents are replaced).
Result<Statement> parse_valid_utf8_sql_by_grammar(std::string_view sql, std::vector<Token>& tokens);

// INSERT INTO table (pk, doc) VALUES ('...', '...'), with at most one trailing ";", read straight
// from its text: the statement a bulk load sends again and again, here without a token list or a
// tree. The parts view sql (the literals as Quoted tokens: quoted_value gives their values), and
// are those of the Insert the grammar gives the text. Any other text, and this form with white
// space other than ASCII or a table name that is a parameter word, gives none.
struct RowInsert {
  std::string_view table;
  Token pk;
  Token doc;
};
std::optional<RowInsert> parse_row_insert(std::string_view sql);

// SELECT item FROM table WHERE pk = '...', with at most one trailing ";", the item doc, pk (any
// ASCII case) or *, read straight from its text: the point read a program sends again and again,
// here without a token list. Gives the Select the grammar gives the text; any other text, and
// this form with white space other than ASCII, gives none.
std::optional<Statement> parse_pk_select(std::string_view sql);

// The same form's parts, viewing sql: the item (doc or pk as written, or none for *), the table
// name, the word pk as written and the literal (quoted_value gives its value). select_of gives
// the Select that parse_pk_select gives the text.
struct PkSelect {
  std::optional<std::string_view> column;  // none: the item is *
  std::string_view table;
  std::string_view pk_column;
  Token pk;
};
std::optional<PkSelect> read_pk_select(std::string_view sql);
Statement select_of(const PkSelect& select);

// UPDATE table SET column = value[, column = value]... WHERE pk = '...', with at most one trailing
// ";", each value a quoted literal or a number of digits (with an optional fraction), read straight
// from its text: the point write a program sends again and again, here without a token list. Gives
// the Update the grammar gives the text; any other text, and this form with white space other than
// ASCII, gives none. read_pk_update gives the Update alone, for a caller that runs it at once.
std::optional<Statement::Update> read_pk_update(std::string_view sql);
std::optional<Statement> parse_pk_update(std::string_view sql);

class Parser {
 public:
  // The deepest tree a statement may build, counted in nested constructs and operator-chain
  // links. Past it the statement fails with kDepthMessage.
  static constexpr std::uint32_t kMaxDepth = 1000;
  static constexpr std::string_view kDepthMessage = "query is nested too deeply (maximum depth 1000)";

  // The tokens, and the statement text they view, must outlive the parser; the first form keeps
  // the list itself.
  explicit Parser(std::vector<Token> tokens) : owned_(std::move(tokens)), tokens_(owned_) {}
  explicit Parser(std::span<const Token> tokens) : tokens_(tokens) {}
  Parser(const Parser&) = delete;
  Parser& operator=(const Parser&) = delete;

  // ---- Cursor. A read past the end finds nothing, which matches no expectation.

  std::span<const Token> tokens() const { return tokens_; }
  // Index of the next token; equal to the token count at the end.
  std::size_t pos() const { return pos_; }
  // Moves the cursor back to an index returned by pos() (to give tokens back).
  void reset_pos(std::size_t pos) { pos_ = pos; }
  bool at_end() const { return pos_ >= tokens_.size(); }
  // The token `ahead` places after the cursor, or null past the end.
  const Token* peek(std::size_t ahead = 0) const {
    return pos_ + ahead < tokens_.size() ? &tokens_[pos_ + ahead] : nullptr;
  }
  void advance() { ++pos_; }

  // True when the token `ahead` places on is a Word equal to kw ignoring ASCII case. Never consumes.
  bool peek_kw(std::string_view kw, std::size_t ahead = 0) const {
    const Token* t = peek(ahead);
    return t != nullptr && t->kind == TokenKind::Word && eq_ignore_ascii_case(t->text, kw);
  }
  bool peek_symbol(char c, std::size_t ahead = 0) const {
    const Token* t = peek(ahead);
    return t != nullptr && t->is_symbol(c);
  }
  bool peek_word(std::size_t ahead = 0) const {
    const Token* t = peek(ahead);
    return t != nullptr && t->kind == TokenKind::Word;
  }
  // Consume the next token when peek_kw / peek_symbol holds; report whether it did.
  bool accept_kw(std::string_view kw);
  bool accept_symbol(char c);

  // Each consumes one token on success and leaves pos() unchanged on failure (except
  // expect_ident_eq, which consumes the word before comparing it).
  // kw as the grammar spells it; fails with "expected keyword {kw in upper case}".
  Result<void> expect_kw(std::string_view kw);
  // Any Word, keywords and $n included; fails with "expected identifier".
  Result<std::string> expect_ident();
  // A Word equal to expected ignoring ASCII case: "expected identifier" when not a word,
  // "expected identifier {expected}, got {word}" otherwise.
  Result<void> expect_ident_eq(std::string_view expected);
  // A Quoted token's text; fails with "expected string literal".
  Result<std::string> expect_string();
  // Fails with "expected symbol {c}".
  Result<void> expect_symbol(char c);
  // A NumberText that is an unsigned 64-bit decimal: "invalid number" for one that is not (1.5,
  // 18446744073709551616), "expected numeric literal" for any other token or none.
  Result<std::uint64_t> expect_number_u64();

  // ---- Depth budget. Every grammar rule that recurses, and every loop that stacks nodes on top of
  // what it parsed before, goes through one of these, so that both the parser's own recursion and
  // the depth of the tree it builds stay within kMaxDepth.

  // Entered around the parts of a construct that sit one level deeper than the construct: the
  // inside of parentheses, the operand of NOT or unary minus, function arguments, CASE and CAST
  // parts, a subquery, a CTE query, an explained statement, the right side of a set operation.
  // Leaving the scope of the guard leaves the level.
  class [[nodiscard]] DepthGuard {
   public:
    DepthGuard(DepthGuard&& other) noexcept : parser_(other.parser_) { other.parser_ = nullptr; }
    DepthGuard& operator=(DepthGuard&&) = delete;
    ~DepthGuard() {
      if (parser_ != nullptr) --parser_->depth_;
    }

   private:
    friend class Parser;
    explicit DepthGuard(Parser* parser) : parser_(parser) {}
    Parser* parser_;
  };
  // `auto level = TRY(parser.nest());` fails with kDepthMessage past kMaxDepth.
  Result<DepthGuard> nest();
  // Runs rule() one level deeper and returns its result:
  // `Statement query = TRY(parser.nested([&] { return parser.parse_select_or_cte(); }));`
  template <typename Rule>
  auto nested(Rule&& rule) -> decltype(rule()) {
    auto level = TRY(nest());
    return rule();
  }

  // Accounts for nodes built on top of an operand that was already parsed: the links of a
  // left-associative chain (a + b + c builds ((a + b) + c), as deep as the chain is long), or one
  // comparison, IS, IN, BETWEEN or LIKE over its left operand. Create it before parsing the first
  // operand; call grow() each time the tree parsed so far becomes the left child of a new node,
  // before parsing that node's other operands (they sit one level deeper).
  class OperatorChain {
   public:
    explicit OperatorChain(Parser& parser);
    OperatorChain(const OperatorChain&) = delete;
    OperatorChain& operator=(const OperatorChain&) = delete;
    ~OperatorChain();
    // Fails with kDepthMessage when the new node would exceed kMaxDepth.
    Result<void> grow();

   private:
    std::uint32_t height() const;

    Parser& parser_;
    std::uint32_t base_;         // depth at which the chain started
    std::uint32_t outer_peak_;   // the parser's peak before the chain
    std::uint32_t height_ = 0;   // height of the tree built so far, once grown
    bool grown_ = false;
  };

  // ---- Expressions, one rule per precedence level from the loosest. Each stops at the first
  // token it does not accept and leaves it to the caller.

  Result<Expr> parse_expr();             // OR
  Result<Expr> parse_and_expr();         // AND
  Result<Expr> parse_not_expr();         // prefix NOT
  Result<Expr> parse_comparison();       // at most one comparison, IS, IN, BETWEEN, LIKE, ILIKE
  Result<Expr> parse_addition();         // + -
  Result<Expr> parse_multiplication();   // * / %
  Result<Expr> parse_unary();            // prefix -
  Result<Expr> parse_primary();          // operands

  // ---- Statements. Each starts with the cursor on the statement's first word (unless said
  // otherwise), consumes exactly the tokens of its grammar and leaves the rest to its caller.

  // One statement, from its first word; "unsupported SQL statement" for anything else.
  Result<Statement> parse_statement();
  // left unchanged, or wrapped as the left side of a SetOp when UNION, INTERSECT or EXCEPT follows.
  // Set operations associate to the right: a UNION b EXCEPT c is a UNION (b EXCEPT c).
  Result<Statement> try_parse_set_op(Statement left);

  // A query: an optional WITH list, then SELECT ... . Always gives a Select.
  Result<Statement> parse_select_or_cte();
  // From the word SELECT to the end of the query, with the WITH entries already read.
  Result<Statement> parse_select_inner(std::vector<CteClause> ctes);
  // One SELECT or RETURNING item: * or an expression with an optional AS alias.
  Result<SelectItem> parse_select_item();
  // One FOR clause, with the cursor just after FOR.
  Result<TemporalClause> parse_temporal_for_clause();
  // Any number of AS OF n / VALID AT n clauses (of UPDATE and DELETE); the last of each wins.
  Result<void> parse_temporal_clauses(std::optional<std::uint64_t>& as_of, std::optional<std::uint64_t>& valid_at);

  Result<Statement> parse_insert();
  Result<Statement> parse_update();
  Result<Statement> parse_drop();
  Result<Statement> parse_copy();
  // The optional [WITH] [FORMAT] word after a COPY path, with the cursor after the path; Csv when
  // no format word is recognised. Never fails.
  CopyFormat parse_copy_format();
  Result<Statement> parse_show();
  Result<Statement> parse_describe();

  // CREATE TABLE, CREATE TABLE ... AS, CREATE TIMESERIES TABLE, CREATE VIEW, CREATE FULLTEXT INDEX
  // and CREATE INDEX.
  Result<Statement> parse_create();
  // With the cursor on the INDEX that follows CREATE.
  Result<Statement> parse_create_index_after_create();

 private:
  // The expression rules proper. Each writes its expression into `out` and returns true, or stores
  // the failure in error_ and returns false, so that no result objects sit on the recursion path
  // (see the note on stack use in expr_parser.cc). The public rules above wrap them.
  enum class ChainLevel : std::uint8_t { Or, And, Add, Mul };
  using Rule = bool (Parser::*)(Expr& out);
  Result<Expr> run_rule(Rule rule);
  static Expr hole();  // an empty place for a child about to be parsed
  bool set_error(QuenlorError error);
  bool want_symbol(char c);
  bool want_kw(std::string_view kw);
  bool enter_level();       // nest() without a result object: on success put a DepthGuard on the level
  QuenlorError take_error();
  bool grow(OperatorChain& chain);
  bool or_rule(Expr& out);
  bool and_rule(Expr& out);
  bool not_rule(Expr& out);
  bool comparison_rule(Expr& out);
  bool addition_rule(Expr& out);
  bool multiplication_rule(Expr& out);
  bool unary_rule(Expr& out);
  bool primary_rule(Expr& out);
  bool expr_list(std::vector<Expr>& out);  // expr {, expr}, appended
  bool chain_rule(Expr& out, ChainLevel level);
  static Rule chain_operand(ChainLevel level);  // the rule of the operands of a level
  std::optional<BinOperator> chain_operator(ChainLevel level) const;
  bool chain_tail(OperatorChain& chain, Expr& out, ChainLevel level);
  bool not_operand(Expr& out);
  bool may_continue_comparison() const;
  bool comparison_tail(OperatorChain& chain, Expr& out);
  bool is_null_tail(OperatorChain& chain, Expr& out);
  bool in_list_tail(OperatorChain& chain, Expr& out, bool negated);
  bool between_tail(OperatorChain& chain, Expr& out, bool negated);
  bool like_tail(OperatorChain& chain, Expr& out, bool negated);
  bool binary_comparison_tail(OperatorChain& chain, Expr& out);
  bool negation(Expr& out);
  bool parenthesized(Expr& out);
  bool operand(Expr& out);
  bool match_call(Expr& out);
  bool call(Expr& out);
  bool window(Expr& out);
  bool case_expr(Expr& out);
  bool cast(Expr& out);
  QuenlorError unexpected_token() const;

  std::vector<Token> owned_;
  std::span<const Token> tokens_;
  std::size_t pos_ = 0;
  std::uint32_t depth_ = 0;  // tree level of what is being parsed now
  std::uint32_t peak_ = 0;   // deepest level reached since the innermost open OperatorChain began
  std::optional<QuenlorError> error_;  // the failure of the expression rule that returned false
};

}  // namespace quenlordb::sql::parser
