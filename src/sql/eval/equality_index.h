// Positions by value under the dialect's `=`: the values of a list (one join side's operands)
// looked up by a probe value, each probe finding exactly the positions whose value cmp_partial
// finds Equal to it, in ascending order. (An IN list of constants decides the same equality with
// sets of its values, in eval_context.cc: it needs no positions.)
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

#include <cstddef>
#include <cstdint>
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

  // Room for positions below `positions`, `texts` distinct texts and `numbers` distinct numbers
  // (at most), so that adding them allocates once; a caller that knows its values says so before
  // adding any.
  void reserve(std::size_t positions, std::size_t texts, std::size_t numbers);
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
  // A number's list under its bits.
  struct NumberSlot {
    Chain chain;  // empty in a free slot
    std::uint64_t bits = 0;
  };
  // A text's list under its bytes: in the slot when they fit, else at key's first 8 bytes as an
  // offset in text_bytes_.
  struct TextSlot {
    Chain chain;  // empty in a free slot
    std::uint64_t length = 0;
    char key[16] = {};
  };
  static_assert(sizeof(NumberSlot) == 16 && sizeof(TextSlot) == 32);

  // Lists by key in one array, probed linearly from the place the key's hash maps to (the hash's
  // high bits scaled to the array, so that it need not be a power of two), at most 3/4 full.
  template <typename Slot>
  class Table {
   public:
    bool empty() const { return size_ == 0; }
    void reserve(std::size_t keys) {
      if (size_ == 0 && keys > capacity()) slots_.assign(keys + (keys + 2) / 3 + 1, Slot{});
    }
    // The slot of the key that same(slot) recognises, or the free slot where it would go; hash_of
    // gives the hash of a slot's key when the array grows.
    template <typename Same, typename HashOf>
    Slot& slot(std::uint64_t hash, Same same, HashOf hash_of) {
      if (size_ + 1 > capacity()) grow(hash_of);
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
    std::size_t capacity() const { return slots_.size() * 3 / 4; }
    std::size_t home(std::uint64_t hash) const {
      return static_cast<std::size_t>((static_cast<unsigned __int128>(hash) * slots_.size()) >> 64);
    }
    template <typename Same>
    const Slot& probe(std::uint64_t hash, Same same) const {
      for (std::size_t i = home(hash);;) {
        const Slot& s = slots_[i];
        if (s.chain.head == kNoPosition || same(s)) return s;
        if (++i == slots_.size()) i = 0;
      }
    }
    template <typename HashOf>
    void grow(HashOf hash_of) {
      std::vector<Slot> old = std::exchange(slots_, std::vector<Slot>(slots_.empty() ? 16 : 2 * slots_.size()));
      for (const Slot& s : old) {
        if (s.chain.head == kNoPosition) continue;
        std::size_t i = home(hash_of(s));
        while (slots_[i].chain.head != kNoPosition) {
          if (++i == slots_.size()) i = 0;
        }
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
  void add_number(Table<NumberSlot>& table, double x, std::vector<Position>& next, Position pos);
  const Chain* find_number(const Table<NumberSlot>& table, double x) const;
  std::string_view text_of(const TextSlot& slot) const;
  bool same_text(const TextSlot& slot, std::string_view text) const;

  Chain null_;
  Chain false_;
  Chain true_;
  Table<NumberSlot> numbers_;        // Number values, -0 as 0, NaN left out
  Table<NumberSlot> numeric_texts_;  // Text values that read as a number (not NaN), by it
  Table<TextSlot> texts_;            // Text values, by their bytes
  std::string text_bytes_;              // the texts of texts_ too long for their slots
  std::vector<Position> next_;          // the next position in the list of the value's kind
  std::vector<Position> next_numeric_;  // the next position in the list of numeric_texts_
};

}  // namespace quenlordb::sql::eval
