// The accumulators of the aggregates FIRST(value, timestamp) and LAST(value, timestamp): fed a
// group's rows in row order, they keep the value of the row with the smallest (FIRST) or largest
// (LAST) timestamp. Among equal timestamps the first row fed wins.
//
// A timestamp is read as Null: the row is ignored; Bool: 1 or 0; Number: itself; Text: by the
// decimal float syntax, the row ignored when it is not a number. A NaN timestamp never replaces a
// held one, and a held NaN is never replaced. Not thread-safe; one per aggregate per group.
#pragma once

#include <optional>

#include "sql/eval/sql_value.h"

namespace quenlordb::sql::eval {

namespace first_last_detail {

enum class Keep { Smallest, Largest };

template <Keep kKeep>
class Accumulator {
 public:
  void accumulate(const SqlValue& value, const SqlValue& timestamp) {
    const std::optional<double> ts = to_f64(timestamp);
    if (!ts) return;
    if (best_ && !(kKeep == Keep::Smallest ? *ts < *best_ : *ts > *best_)) return;
    best_ = *ts;
    value_ = value;
  }

  // The chosen row's value; Null when no row was accepted.
  SqlValue result() const { return value_; }

 private:
  std::optional<double> best_;
  SqlValue value_;
};

}  // namespace first_last_detail

using FirstAccumulator = first_last_detail::Accumulator<first_last_detail::Keep::Smallest>;
using LastAccumulator = first_last_detail::Accumulator<first_last_detail::Keep::Largest>;

}  // namespace quenlordb::sql::eval
