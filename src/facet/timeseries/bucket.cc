#include "facet/timeseries/bucket.h"

#include <array>
#include <charconv>
#include <cmath>

#include "util/json_record.h"
#include "util/json_scan.h"
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

// Reads a bucket in the form encode writes, with any JSON number as a value: no white space, no
// other member, the fields in order. False for anything else, which the record reader then reads
// (it gives the same points for every text read here).
class PlainBucketReader {
 public:
  explicit PlainBucketReader(std::string_view text) : text_(text) {}

  bool read(std::vector<DataPoint>& points) {
    if (!take("{\"points\":[")) return false;
    if (take("]}")) return at_end();
    for (;;) {
      DataPoint point;
      if (!take("{\"timestamp\":") || !timestamp(point.timestamp) || !take(",\"value\":") || !value(point.value) ||
          !take("}")) {
        return false;
      }
      points.push_back(point);
      if (take(",")) continue;
      return take("]}") && at_end();
    }
  }

 private:
  bool take(std::string_view literal) {
    if (!text_.substr(pos_).starts_with(literal)) return false;
    pos_ += literal.size();
    return true;
  }
  bool at_end() const { return pos_ == text_.size(); }
  bool digit() const { return pos_ < text_.size() && text_[pos_] >= '0' && text_[pos_] <= '9'; }
  void digits() {
    while (digit()) ++pos_;
  }

  // An unsigned integer as JSON writes it (no leading zero) that fits 64 bits.
  bool timestamp(std::uint64_t& out) {
    const std::size_t start = pos_;
    if (!digit()) return false;
    if (text_[pos_] == '0') ++pos_;
    else digits();
    const char* first = text_.data() + start;
    const char* last = text_.data() + pos_;
    const auto [end, ec] = std::from_chars(first, last, out);
    return ec == std::errc() && end == last;
  }

  // A JSON number token of a finite value, read as the record reader reads it.
  bool value(double& out) {
    const std::size_t start = pos_;
    if (pos_ < text_.size() && text_[pos_] == '-') ++pos_;
    if (!digit()) return false;
    if (text_[pos_] == '0') ++pos_;
    else digits();
    if (pos_ < text_.size() && text_[pos_] == '.') {
      ++pos_;
      if (!digit()) return false;
      digits();
    }
    if (pos_ < text_.size() && (text_[pos_] == 'e' || text_[pos_] == 'E')) {
      ++pos_;
      if (pos_ < text_.size() && (text_[pos_] == '+' || text_[pos_] == '-')) ++pos_;
      if (!digit()) return false;
      digits();
    }
    out = util::json_number_value(text_.substr(start, pos_ - start));
    return std::isfinite(out);
  }

  std::string_view text_;
  std::size_t pos_ = 0;
};

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
  Bucket plain;
  if (PlainBucketReader(bytes).read(plain.points)) return plain;
  Result<Bucket> bucket = read_bucket(bytes);
  if (!bucket) return fail(QuenlorError::sql_execution(bucket.error().message()));
  return bucket;
}

}  // namespace quenlordb::facet::timeseries
