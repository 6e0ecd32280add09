#include "sql/eval/equality_index.h"

#include <bit>
#include <cmath>
#include <cstring>
#include <functional>
#include <optional>

#include "sql/eval/number_text.h"

namespace quenlordb::sql::eval {

namespace {

// std::hash<double> gives 0 and -0 one hash and == finds them equal, but one key for both keeps
// the lists whole.
double number_key(double x) { return x == 0 ? 0.0 : x; }

std::uint64_t number_bits(double x) { return std::bit_cast<std::uint64_t>(number_key(x)); }

// A 64-bit mix of a number's bits (the finaliser of MurmurHash3), so that neighbouring numbers
// spread over the table.
std::uint64_t number_hash(std::uint64_t bits) {
  bits ^= bits >> 33;
  bits *= 0xff51afd7ed558ccdULL;
  bits ^= bits >> 33;
  bits *= 0xc4ceb9fe1a85ec53ULL;
  return bits ^ (bits >> 33);
}

std::uint64_t text_hash(std::string_view text) { return std::hash<std::string_view>{}(text); }

// The number a text reads as, when it reads as one that can equal anything.
std::optional<double> text_number(const std::string& text) {
  const std::optional<double> x = parse_decimal_float(text);
  if (!x || std::isnan(*x)) return std::nullopt;
  return x;
}

}  // namespace

void EqualityIndex::reserve(std::size_t positions, std::size_t texts, std::size_t numbers) {
  next_.reserve(positions);
  texts_.reserve(texts);
  numbers_.reserve(numbers);
}

void EqualityIndex::append(Chain& chain, std::vector<Position>& next, Position pos) {
  if (next.size() <= pos) next.resize(static_cast<std::size_t>(pos) + 1, kNoPosition);
  if (chain.head == kNoPosition) chain.head = pos;
  else next[chain.tail] = pos;
  chain.tail = pos;
}

std::string_view EqualityIndex::text_of(const TextSlot& slot) const {
  if (slot.length <= sizeof slot.key) return {slot.key, slot.length};
  std::uint64_t offset;
  std::memcpy(&offset, slot.key, sizeof offset);
  return {text_bytes_.data() + offset, slot.length};
}

bool EqualityIndex::same_text(const TextSlot& slot, std::string_view text) const {
  return slot.length == text.size() && text_of(slot) == text;
}

void EqualityIndex::add_number(Table<NumberSlot>& table, double x, std::vector<Position>& next, Position pos) {
  const std::uint64_t bits = number_bits(x);
  NumberSlot& s = table.slot(
      number_hash(bits), [&](const NumberSlot& at) { return at.bits == bits; },
      [](const NumberSlot& at) { return number_hash(at.bits); });
  if (s.chain.head == kNoPosition) {
    s.bits = bits;
    table.added();
  }
  append(s.chain, next, pos);
}

const EqualityIndex::Chain* EqualityIndex::find_number(const Table<NumberSlot>& table, double x) const {
  const std::uint64_t bits = number_bits(x);
  return table.find(number_hash(bits), [&](const NumberSlot& at) { return at.bits == bits; });
}

void EqualityIndex::add(const SqlValue& value, Position pos) {
  switch (value.kind()) {
    case SqlValue::Kind::Null:
      return append(null_, next_, pos);
    case SqlValue::Kind::Bool:
      return append(value.bool_value() ? true_ : false_, next_, pos);
    case SqlValue::Kind::Number:
      if (std::isnan(value.number_value())) return;
      return add_number(numbers_, value.number_value(), next_, pos);
    case SqlValue::Kind::Text: {
      const std::string& text = value.text_value();
      TextSlot& s = texts_.slot(
          text_hash(text), [&](const TextSlot& at) { return same_text(at, text); },
          [&](const TextSlot& at) { return text_hash(text_of(at)); });
      if (s.chain.head == kNoPosition) {
        s.length = text.size();
        if (text.size() <= sizeof s.key) {
          std::memcpy(s.key, text.data(), text.size());
        } else {
          const std::uint64_t offset = text_bytes_.size();
          std::memcpy(s.key, &offset, sizeof offset);
          text_bytes_.append(text);
        }
        texts_.added();
      }
      append(s.chain, next_, pos);
      if (const std::optional<double> x = text_number(text)) add_number(numeric_texts_, *x, next_numeric_, pos);
      return;
    }
  }
}

EqualityIndex::Lists EqualityIndex::lists_of(const SqlValue& probe) const {
  Lists lists;
  switch (probe.kind()) {
    case SqlValue::Kind::Null:
      lists.first = &null_;
      break;
    case SqlValue::Kind::Bool:
      lists.first = probe.bool_value() ? &true_ : &false_;
      break;
    case SqlValue::Kind::Number: {
      const double x = probe.number_value();
      if (std::isnan(x)) break;
      lists.first = find_number(numbers_, x);
      lists.second = find_number(numeric_texts_, x);
      lists.second_next = &next_numeric_;
      break;
    }
    case SqlValue::Kind::Text: {
      const std::string& text = probe.text_value();
      lists.first = texts_.find(text_hash(text), [&](const TextSlot& at) { return same_text(at, text); });
      if (numbers_.empty()) break;
      if (const std::optional<double> x = text_number(text)) {
        lists.second = find_number(numbers_, *x);
        lists.second_next = &next_;
      }
      break;
    }
  }
  return lists;
}

void EqualityIndex::find_equal(const SqlValue& probe, std::vector<Position>& out) const {
  out.clear();
  const Lists lists = lists_of(probe);
  Position a = lists.first ? lists.first->head : kNoPosition;
  Position b = lists.second ? lists.second->head : kNoPosition;
  while (a != kNoPosition || b != kNoPosition) {
    if (b == kNoPosition || (a != kNoPosition && a < b)) {
      out.push_back(a);
      a = next_[a];
    } else {
      out.push_back(b);
      b = (*lists.second_next)[b];
    }
  }
}

bool EqualityIndex::contains(const SqlValue& probe) const {
  const Lists lists = lists_of(probe);
  return (lists.first && lists.first->head != kNoPosition) || (lists.second && lists.second->head != kNoPosition);
}

}  // namespace quenlordb::sql::eval
