// Positions by value under the dialect's `=`: the values of a list (an IN list's items, one join
// side's operands) looked up by a probe value, each probe finding exactly the positions whose value
// cmp_partial finds Equal to it, in ascending order.
//
// That equality is not transitive (the number 1 equals the texts '1' and '1.0', which differ from
// each other), so a value is not hashed by one key: Null meets Null; a Bool the same Bool; a number
// meets equal numbers (-0 as 0; NaN meets nothing) and the texts that read as that number; a text
// meets the same bytes and, when it reads as a number, the numbers equal to it. A text that reads
// as a number is listed twice, under its bytes and under its number; the two lists a probe reads
// never share a position.
//
// Positions are added in ascending order and stay below kNoPosition. The index owns copies of the
// texts it holds; it is built by one thread and may then be read by any.
#pragma once

#include <cstdint>
#include <cstddef>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "sql/eval/sql_value.h"

namespace quenlordb::sql::eval {

class EqualityIndex {
 public:
  using Position = std::uint32_t;
  static constexpr Position kNoPosition = UINT32_MAX;

  // Adds the value at pos, which must be greater than every position added before.
  void add(const SqlValue& value, Position pos);

  // Replaces out with every position whose value equals probe, ascending.
  void find_equal(const SqlValue& probe, std::vector<Position>& out) const;
  // Whether any position's value equals probe.
  bool contains(const SqlValue& probe) const;

 private:
  // The positions of one list, first to last, linked through next_ or next_numeric_.
  struct Chain {
    Position head = kNoPosition;
    Position tail = kNoPosition;
  };
  // Lists by key in one array, probed linearly from the key's hash (the array at most half full).
  // A number's key is its bits; a text's is its bytes, in the slot when they fit, else at an
  // offset in text_bytes_.
  struct Slot {
    Chain chain;  // empty in a free slot
    std::uint64_t length = 0;
    char key[16] = {};
  };
  static_assert(sizeof(Slot) == 32);
  class Table {
   public:
    bool empty() const { return size_ == 0; }
    // The slot of the key that same(slot) recognises, or the free slot where it would go; hash_of
    // gives the hash of a slot's key when the array grows.
    template <typename Same, typename HashOf>
    Slot& slot(std::uint64_t hash, Same same, HashOf hash_of) {
      if (2 * (size_ + 1) > slots_.size()) grow(hash_of);
      return const_cast<Slot&>(std::as_const(*this).probe(hash, same));
    }
    template <typename Same>
    const Chain* find(std::uint64_t hash, Same same) const {
      if (size_ == 0) return nullptr;
      const Slot& s = probe(hash, same);
      return s.chain.head == kNoPosition ? nullptr : &s.chain;
    }
    // Call after filling in a slot that slot() gave free.
    void added() { ++size_; }

   private:
    template <typename Same>
    const Slot& probe(std::uint64_t hash, Same same) const {
      const std::size_t mask = slots_.size() - 1;
      for (std::size_t i = hash & mask;; i = (i + 1) & mask) {
        const Slot& s = slots_[i];
        if (s.chain.head == kNoPosition || same(s)) return s;
      }
    }
    template <typename HashOf>
    void grow(HashOf hash_of) {
      std::vector<Slot> old = std::exchange(slots_, std::vector<Slot>(slots_.empty() ? 16 : 2 * slots_.size()));
      const std::size_t mask = slots_.size() - 1;
      for (const Slot& s : old) {
        if (s.chain.head == kNoPosition) continue;
        std::size_t i = hash_of(s) & mask;
        while (slots_[i].chain.head != kNoPosition) i = (i + 1) & mask;
        slots_[i] = s;
      }
    }

    std::vector<Slot> slots_;
    std::size_t size_ = 0;
  };

  // The lists a probe reads, and through which links: at most two, disjoint.
  struct Lists {
    const Chain* first = nullptr;
    const Chain* second = nullptr;
    const std::vector<Position>* second_next = nullptr;
  };
  Lists lists_of(const SqlValue& probe) const;
  void append(Chain& chain, std::vector<Position>& next, Position pos);
  void add_number(Table& table, double x, std::vector<Position>& next, Position pos);
  const Chain* find_number(const Table& table, double x) const;
  static std::uint64_t slot_bits(const Slot& slot);
  std::string_view text_of(const Slot& slot) const;
  bool same_text(const Slot& slot, std::string_view text) const;

  Chain null_;
  Chain false_;
  Chain true_;
  Table numbers_;        // Number values, -0 as 0, NaN left out
  Table numeric_texts_;  // Text values that read as a number (not NaN), by it
  Table texts_;          // Text values, by their bytes
  std::string text_bytes_;              // the texts of texts_, one after the other
  std::vector<Position> next_;          // the next position in the list of the value's kind
  std::vector<Position> next_numeric_;  // the next position in the list of numeric_texts_
};

}  // namespace quenlordb::sql::eval
