#include "facet/timeseries/bucket.h"

#include <array>

#include "util/json_record.h"
#include "util/json_text.h"

namespace quenlordb::facet::timeseries {

namespace {

using util::OrderedJson;
using util::RecordField;
using util::RecordShape;

constexpr std::array<RecordField, 2> kPointFields{{{"timestamp"}, {"value"}}};
constexpr RecordShape kPointShape{"struct DataPoint", kPointFields};

constexpr std::array<RecordField, 1> kBucketFields{{{"points"}}};
constexpr RecordShape kBucketShape{"struct Bucket", kBucketFields};

Result<Bucket> read_bucket(std::string_view bytes) {
  OrderedJson value = TRY(util::parse_json_record(bytes));
  Bucket out;
  TRY(util::read_record(value, kBucketShape, [&](std::size_t, const OrderedJson& points) -> Result<void> {
    out.points.clear();
    return util::read_json_array(points, [&](const OrderedJson& p) -> Result<void> {
      DataPoint point;
      TRY(util::read_record(p, kPointShape, [&](std::size_t i, const OrderedJson& f) -> Result<void> {
        if (i == 0) point.timestamp = TRY(util::read_json_uint<std::uint64_t>(f));
        else point.value = TRY(util::read_json_f64(f));
        return {};
      }));
      out.points.push_back(point);
      return {};
    });
  }));
  return out;
}

}  // namespace

std::string Bucket::encode(const Bucket& bucket) {
  std::string out = "{\"points\":[";
  for (std::size_t i = 0; i < bucket.points.size(); ++i) {
    if (i) out.push_back(',');
    out.append("{\"timestamp\":").append(std::to_string(bucket.points[i].timestamp)).append(",\"value\":");
    util::append_json_float(out, bucket.points[i].value);
    out.push_back('}');
  }
  out.append("]}");
  return out;
}

Result<Bucket> Bucket::decode(std::string_view bytes) {
  Result<Bucket> bucket = read_bucket(bytes);
  if (!bucket) return fail(QuenlorError::sql_execution(bucket.error().message()));
  return bucket;
}

}  // namespace quenlordb::facet::timeseries
