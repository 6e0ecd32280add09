#include "sql/parser/parser.h"

#include <algorithm>
#include <array>
#include <charconv>

#include "sql/parser/text.h"

namespace quenlordb::sql::parser {

namespace {

// The class of each byte, looked up once per byte of a statement read from its text.
enum ByteClass : unsigned char { kOther = 0, kWordStart = 1, kWordByte = 2, kWhiteSpace = 4 };
constexpr std::array<unsigned char, 256> kByteClass = [] {
  std::array<unsigned char, 256> table{};
  for (int c = 0; c < 256; ++c) {
    const bool start = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_';
    if (start) table[c] |= kWordStart;
    if (start || (c >= '0' && c <= '9') || c == '-') table[c] |= kWordByte;
    if (c == ' ' || (c >= 0x09 && c <= 0x0D)) table[c] |= kWhiteSpace;
  }
  return table;
}();
bool is_word_start(char c) { return kByteClass[static_cast<unsigned char>(c)] & kWordStart; }
bool is_word_byte(char c) { return kByteClass[static_cast<unsigned char>(c)] & kWordByte; }
bool is_ascii_white_space(char c) { return kByteClass[static_cast<unsigned char>(c)] & kWhiteSpace; }
bool is_digit(char c) { return c >= '0' && c <= '9'; }

}  // namespace

namespace {

// Reads the words, symbols and quoted literals of a statement of a fixed form from its text, each
// after ASCII white space, as the tokeniser would read them there.
class TextReader {
 public:
  explicit TextReader(std::string_view sql) : sql_(sql) {}

  std::string_view word() {
    skip_white_space();
    const std::size_t start = i_;
    if (i_ < sql_.size() && is_word_start(sql_[i_])) {
      while (++i_ < sql_.size() && is_word_byte(sql_[i_])) {
      }
    }
    return sql_.substr(start, i_ - start);
  }
  bool keyword(std::string_view kw) { return eq_ignore_ascii_case(word(), kw); }
  bool symbol(char c) {
    skip_white_space();
    if (i_ >= sql_.size() || sql_[i_] != c) return false;
    ++i_;
    return true;
  }
  bool literal(Token& out) {
    skip_white_space();
    if (i_ >= sql_.size() || sql_[i_] != '\'') return false;
    const QuotedEnd end = find_quoted_end(sql_, i_ + 1);
    if (end.end >= sql_.size()) return false;
    out.kind = TokenKind::Quoted;
    out.escaped = end.escaped;
    out.text = sql_.substr(i_ + 1, end.end - i_ - 1);
    i_ = end.end + 1;
    return true;
  }
  // Digits with an optional fraction, as the tokeniser reads a number there.
  bool number(std::string_view& out) {
    skip_white_space();
    const std::size_t start = i_;
    while (i_ < sql_.size() && is_digit(sql_[i_])) ++i_;
    if (i_ == start) return false;
    if (i_ + 1 < sql_.size() && sql_[i_] == '.' && is_digit(sql_[i_ + 1])) {
      ++i_;
      while (i_ < sql_.size() && is_digit(sql_[i_])) ++i_;
    }
    out = sql_.substr(start, i_ - start);
    return true;
  }
  // A quoted literal or a number, as the expression the grammar makes of it.
  bool constant(Expr& out) {
    Token quoted;
    if (literal(quoted)) {
      out = Expr::StringLit{quoted_value(quoted)};
      return true;
    }
    std::string_view digits;
    if (!number(digits)) return false;
    out = Expr::NumberLit{number_value(digits)};
    return true;
  }
  // At most one ";", then nothing but white space.
  bool at_statement_end() {
    symbol(';');
    skip_white_space();
    return i_ == sql_.size();
  }

 private:
  void skip_white_space() {
    while (i_ < sql_.size() && is_ascii_white_space(sql_[i_])) ++i_;
  }

  std::string_view sql_;
  std::size_t i_ = 0;
};

}  // namespace

std::optional<RowInsert> parse_row_insert(std::string_view sql) {
  TextReader r(sql);
  if (!r.keyword("INSERT") || !r.keyword("INTO")) return std::nullopt;
  RowInsert row{r.word(), Token{}, Token{}};
  if (row.table.empty() || !r.symbol('(') || !r.keyword("pk") || !r.symbol(',') || !r.keyword("doc") ||
      !r.symbol(')') || !r.keyword("VALUES") || !r.symbol('(') || !r.literal(row.pk) || !r.symbol(',') ||
      !r.literal(row.doc) || !r.symbol(')')) {
    return std::nullopt;
  }
  // The tokens are exactly those of this form, so this is the Insert the grammar reads.
  if (!r.at_statement_end()) return std::nullopt;
  return row;
}

std::optional<PkSelect> read_pk_select(std::string_view sql) {
  TextReader r(sql);
  if (!r.keyword("SELECT")) return std::nullopt;
  PkSelect out;
  if (!r.symbol('*')) {
    const std::string_view column = r.word();
    if (!eq_ignore_ascii_case(column, "doc") && !eq_ignore_ascii_case(column, "pk")) return std::nullopt;
    out.column = column;
  }
  if (!r.keyword("FROM")) return std::nullopt;
  out.table = r.word();
  const std::string_view where = r.word();
  if (out.table.empty() || !eq_ignore_ascii_case(where, "WHERE")) return std::nullopt;
  out.pk_column = r.word();
  if (!eq_ignore_ascii_case(out.pk_column, "pk") || !r.symbol('=') || !r.literal(out.pk) || !r.at_statement_end()) {
    return std::nullopt;
  }
  return out;
}

Statement select_of(const PkSelect& text) {
  SelectItem item;
  if (text.column) item = SelectItem::Expr{Expr::Column{std::string(*text.column)}, std::nullopt};
  Statement::Select select;
  select.from = TableRef::Named{std::string(text.table)};
  select.items.push_back(std::move(item));
  select.filter = Expr::BinOp{Expr::Column{std::string(text.pk_column)}, BinOperator::Eq,
                              Expr::StringLit{quoted_value(text.pk)}};
  return Statement(std::move(select));
}

std::optional<Statement> parse_pk_select(std::string_view sql) {
  const std::optional<PkSelect> text = read_pk_select(sql);
  if (!text) return std::nullopt;
  return select_of(*text);
}

std::optional<Statement::Update> read_pk_update(std::string_view sql) {
  TextReader r(sql);
  if (!r.keyword("UPDATE")) return std::nullopt;
  Statement::Update update;
  update.table = r.word();
  if (update.table.empty() || !r.keyword("SET")) return std::nullopt;
  bool first = true;
  do {
    const std::string_view column = r.word();
    Expr value;
    if (column.empty() || !r.symbol('=') || !r.constant(value)) return std::nullopt;
    // Only a first assignment to doc replaces the document.
    if (first && eq_ignore_ascii_case(column, "doc")) {
      update.set_doc = std::move(value);
    } else {
      update.set_assignments.emplace_back(std::string(column), std::move(value));
    }
    first = false;
  } while (r.symbol(','));
  if (!r.keyword("WHERE")) return std::nullopt;
  const std::string_view pk_column = r.word();
  Token pk;
  if (!eq_ignore_ascii_case(pk_column, "pk") || !r.symbol('=') || !r.literal(pk) || !r.at_statement_end()) {
    return std::nullopt;
  }
  update.filter =
      Expr::BinOp{Expr::Column{std::string(pk_column)}, BinOperator::Eq, Expr::StringLit{quoted_value(pk)}};
  return update;
}

std::optional<Statement> parse_pk_update(std::string_view sql) {
  std::optional<Statement::Update> update = read_pk_update(sql);
  if (!update) return std::nullopt;
  return Statement(std::move(*update));
}

namespace {

Statement insert_of(const RowInsert& row) {
  return Statement::Insert{std::string(row.table), quoted_value(row.pk), quoted_value(row.doc)};
}

Result<Statement> parse_tokens(std::span<const Token> tokens) {
  if (!tokens.empty() && tokens.back().is_symbol(';')) tokens = tokens.first(tokens.size() - 1);
  Parser parser(tokens);
  Statement stmt = TRY(parser.parse_statement());
  stmt = TRY(parser.try_parse_set_op(std::move(stmt)));
  if (!parser.at_end()) return fail(QuenlorError::sql_parse("unexpected trailing tokens"));
  return stmt;
}

}  // namespace

Result<Statement> parse_sql(std::string_view sql) {
  TRY(check_utf8(sql));
  return parse_valid_utf8_sql(sql);
}

Result<Statement> parse_valid_utf8_sql(std::string_view sql) {
  if (const std::optional<RowInsert> row = parse_row_insert(sql)) return insert_of(*row);
  if (std::optional<Statement> select = parse_pk_select(sql)) return std::move(*select);
  if (std::optional<Statement> update = parse_pk_update(sql)) return std::move(*update);
  return parse_tokens(TRY(tokenize_valid_utf8(sql)));
}

Result<Statement> parse_valid_utf8_sql_by_grammar(std::string_view sql, std::vector<Token>& tokens) {
  TRY(tokenize_valid_utf8(sql, tokens));
  return parse_tokens(tokens);
}

bool Parser::accept_kw(std::string_view kw) {
  if (!peek_kw(kw)) return false;
  ++pos_;
  return true;
}

bool Parser::accept_symbol(char c) {
  if (!peek_symbol(c)) return false;
  ++pos_;
  return true;
}

Result<void> Parser::expect_kw(std::string_view kw) {
  if (accept_kw(kw)) return {};
  std::string message = "expected keyword ";
  message.append(kw);
  for (std::size_t i = message.size() - kw.size(); i < message.size(); ++i) {
    if (message[i] >= 'a' && message[i] <= 'z') message[i] = static_cast<char>(message[i] - 32);
  }
  return fail(QuenlorError::sql_parse(std::move(message)));
}

Result<std::string> Parser::expect_ident() {
  if (!peek_word()) return fail(QuenlorError::sql_parse("expected identifier"));
  return std::string(tokens_[pos_++].text);
}

Result<void> Parser::expect_ident_eq(std::string_view expected) {
  const std::string word = TRY(expect_ident());
  if (eq_ignore_ascii_case(word, expected)) return {};
  std::string message = "expected identifier ";
  message.append(expected).append(", got ").append(word);
  return fail(QuenlorError::sql_parse(std::move(message)));
}

Result<std::string> Parser::expect_string() {
  const Token* t = peek();
  if (t == nullptr || t->kind != TokenKind::Quoted) return fail(QuenlorError::sql_parse("expected string literal"));
  return quoted_value(tokens_[pos_++]);
}

Result<void> Parser::expect_symbol(char c) {
  if (accept_symbol(c)) return {};
  std::string message = "expected symbol ";
  message += c;
  return fail(QuenlorError::sql_parse(std::move(message)));
}

Result<std::uint64_t> Parser::expect_number_u64() {
  const Token* t = peek();
  if (t == nullptr || t->kind != TokenKind::NumberText) {
    return fail(QuenlorError::sql_parse("expected numeric literal"));
  }
  std::uint64_t value = 0;
  const char* end = t->text.data() + t->text.size();
  const auto [ptr, ec] = std::from_chars(t->text.data(), end, value);
  if (ec != std::errc() || ptr != end) return fail(QuenlorError::sql_parse("invalid number"));
  ++pos_;
  return value;
}

Result<Parser::DepthGuard> Parser::nest() {
  if (!enter_level()) return fail(take_error());
  return DepthGuard(this);
}

bool Parser::enter_level() {
  if (depth_ >= kMaxDepth) {
    error_ = QuenlorError::sql_parse(std::string(kDepthMessage));
    return false;
  }
  ++depth_;
  peak_ = std::max(peak_, depth_);
  return true;
}

QuenlorError Parser::take_error() {
  if (!error_) panic("sql parser: a rule failed without an error");
  QuenlorError error = std::move(*error_);
  error_.reset();
  return error;
}

// The chain tracks the height of the tree it has built: the first operand's height is how far
// the peak rose above the chain's base while it was parsed; each later operand is parsed one
// level deeper (under the new node) and its height is measured from there.

Parser::OperatorChain::OperatorChain(Parser& parser)
    : parser_(parser), base_(parser.depth_), outer_peak_(parser.peak_) {
  parser_.peak_ = parser_.depth_;
}

std::uint32_t Parser::OperatorChain::height() const {
  if (!grown_) return parser_.peak_ - base_;
  return 1 + std::max(height_, parser_.peak_ - (base_ + 1));
}

Result<void> Parser::OperatorChain::grow() {
  const std::uint32_t h = height();
  if (base_ + h + 1 > kMaxDepth) return fail(QuenlorError::sql_parse(std::string(kDepthMessage)));
  height_ = h;
  grown_ = true;
  parser_.depth_ = base_ + 1;
  parser_.peak_ = base_ + 1;
  return {};
}

Parser::OperatorChain::~OperatorChain() {
  const std::uint32_t h = height();
  parser_.depth_ = base_;
  parser_.peak_ = std::max(outer_peak_, base_ + h);
}

}  // namespace quenlordb::sql::parser
