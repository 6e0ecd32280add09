#include "sql/exec/upkeep_stage.h"

namespace quenlordb::sql::exec {

facet::fts::PostingList* UpkeepStage::find_list(std::string_view key) {
  auto it = list_index_.find(key);
  return it == list_index_.end() ? nullptr : &lists_[it->second].list;
}

facet::fts::PostingList& UpkeepStage::add_list(std::string_view key, std::optional<std::string> stored) {
  StagedList& staged = lists_.emplace_back(key, std::move(stored));
  list_index_.emplace(staged.key, lists_.size() - 1);
  return staged.list;
}

facet::timeseries::Bucket* UpkeepStage::find_bucket(std::string_view key) {
  auto it = bucket_index_.find(key);
  return it == bucket_index_.end() ? nullptr : &buckets_[it->second].bucket;
}

facet::timeseries::Bucket& UpkeepStage::add_bucket(std::string_view key, facet::timeseries::Bucket bucket) {
  StagedBucket& staged = buckets_.emplace_back(StagedBucket{std::string(key), std::move(bucket)});
  bucket_index_.emplace(staged.key, buckets_.size() - 1);
  return staged.bucket;
}

std::string_view UpkeepStage::keep(std::string_view pk) { return kept_.emplace_back(pk); }

std::size_t UpkeepStage::write_count() const {
  std::size_t n = buckets_.size();
  for (const StagedList& staged : lists_) n += staged.list.changed() ? 1 : 0;
  return n;
}

Result<void> UpkeepStage::apply(util::FunctionRef<Result<void>(std::string_view key, std::string value)> put) const {
  for (const StagedList& staged : lists_) {
    // A list that already held every key added is not written again: the bytes would be the same.
    if (staged.list.changed()) TRY(put(staged.key, staged.list.encode()));
  }
  for (const StagedBucket& staged : buckets_) TRY(put(staged.key, facet::timeseries::Bucket::encode(staged.bucket)));
  return {};
}

}  // namespace quenlordb::sql::exec
