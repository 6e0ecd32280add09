// The buckets of a time-series table: under "__ts/{table}/{column}/{bucket}" the points of one value
// column whose timestamps fall into one bucket, in insertion order. Points are appended only; the
// same timestamp may occur many times.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "error.h"

namespace quenlordb::facet::timeseries {

// {"timestamp":7200,"value":21.0}: the row's timestamp in whole seconds and the column's value.
struct DataPoint {
  std::uint64_t timestamp = 0;
  double value = 0;

  friend bool operator==(const DataPoint&, const DataPoint&) = default;
};

// {"points":[...]}.
struct Bucket {
  std::vector<DataPoint> points;

  // The compact JSON text, each value written as a float.
  static std::string encode(const Bucket& bucket);
  // Read by the typed-record rules (both DataPoint fields and `points` required, other members
  // skipped, a repeated field refused); failures are SqlExecution with the JSON reader's message.
  static Result<Bucket> decode(std::string_view bytes);

  friend bool operator==(const Bucket&, const Bucket&) = default;
};

}  // namespace quenlordb::facet::timeseries
