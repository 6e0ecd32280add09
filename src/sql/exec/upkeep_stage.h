// The posting lists and time-series buckets that a session's row writes add to, gathered in memory
// so that each is read once and written once: per transaction (COMMIT writes them before the staged
// rows), and outside a transaction per run of row-writing statements (written before the script's
// next statement of another kind, before an error is returned, and at the end of the script, each
// time before the rows the session deferred behind them).
//
// Each list and bucket is held decoded under its key, loaded by the caller on first use: a list
// with its keys and membership (facet::fts::PostingList), a bucket with its points in insertion
// order. Lists and buckets keep their addresses while the stage lives; the primary keys the lists
// view are copied into the stage by keep. Memory grows with the rows added and the lists loaded.
// One thread uses a stage.
#pragma once

#include <cstddef>
#include <deque>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>

#include "error.h"
#include "facet/fts/postings.h"
#include "facet/timeseries/bucket.h"
#include "util/function_ref.h"

namespace quenlordb::sql::exec {

class UpkeepStage {
 public:
  UpkeepStage() = default;
  UpkeepStage(const UpkeepStage&) = delete;
  UpkeepStage& operator=(const UpkeepStage&) = delete;

  // The list staged under key, or null.
  facet::fts::PostingList* find_list(std::string_view key);
  // Stages the list under key (not staged yet) from the value stored there.
  facet::fts::PostingList& add_list(std::string_view key, std::optional<std::string> stored);

  // True the first time it is asked of key, false after: a list not staged yet may be tested in
  // place once, and is staged when it is met again, so that a list costs at most two reads.
  bool first_probe(std::string_view key) { return probed_.emplace(key).second; }

  facet::timeseries::Bucket* find_bucket(std::string_view key);
  facet::timeseries::Bucket& add_bucket(std::string_view key, facet::timeseries::Bucket bucket);

  // A copy of pk that lives as long as the stage, for the lists to view.
  std::string_view keep(std::string_view pk);

  bool empty() const { return lists_.empty() && buckets_.empty(); }
  // Whether a list is staged: rows written meanwhile wait for it (buckets hold no row back).
  bool has_lists() const { return !lists_.empty(); }
  // The writes apply makes: each changed list and each bucket.
  std::size_t write_count() const;
  // Hands put each write, the lists then the buckets, each in the order first staged; the first
  // error ends the walk and is the result.
  Result<void> apply(util::FunctionRef<Result<void>(std::string_view key, std::string value)> put) const;

 private:
  // Each staged key, viewed in its element, to the element's position.
  using KeyIndex = std::unordered_map<std::string_view, std::size_t>;

  struct StagedList {
    StagedList(std::string_view k, std::optional<std::string> stored) : key(k), list(std::move(stored)) {}
    std::string key;
    facet::fts::PostingList list;
  };
  struct StagedBucket {
    std::string key;
    facet::timeseries::Bucket bucket;
  };

  // deques: elements never move, so the lists' views of their own storage and of kept_ hold.
  std::deque<StagedList> lists_;
  KeyIndex list_index_;
  std::deque<StagedBucket> buckets_;
  KeyIndex bucket_index_;
  std::deque<std::string> kept_;
  std::unordered_set<std::string> probed_;
};

}  // namespace quenlordb::sql::exec
