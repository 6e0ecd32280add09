// A shard run on a thread of its own, as the facade would run it, for tests that talk to one shard
// through its commands and read handle.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "engine/shard_runtime.h"
#include "engine_test_util.h"
#include "hasher.h"
#include "storage/manifest.h"

namespace quenlordb::engine::testing {

inline constexpr std::uint64_t kForever = ~0ULL;

// One shard (number 0) of a one-shard database, run on a thread of its own as the facade would.
class Shard {
 public:
  Shard(const std::string& root, Config config) : root_(root), config_(config) {
    config_.shard_count = 1;
    config_.group_commit_enabled = false;
    storage::Manifest m = must(storage::Manifest::load_or_create(root_, 1));
    manifest_ = std::make_shared<SharedManifest>(std::move(m));
    opened_ = ShardRuntime::open(root_, manifest_->manifest().state().shards[0], config_, manifest_, build_hasher(),
                                 std::make_shared<storage::BlockCache>(1 << 20),
                                 std::make_shared<storage::IndexCache>(16), 0);
    if (!opened_) return;
    wal_path_ = opened_->runtime->wal_path();
    handle_ = opened_->handle;
    auto [tx, rx] = util::make_channel<ShardCommand>();
    tx_ = std::move(tx);
    thread_ = std::thread([rt = std::move(opened_->runtime), rx = std::move(rx)]() mutable {
      ShardRuntime::run(std::move(rt), std::move(rx));
    });
  }
  ~Shard() { shutdown(); }

  bool ok() const { return opened_.has_value(); }
  const QuenlorError& open_error() const { return opened_.error(); }

  Result<std::uint64_t> put(std::string key, std::string doc, std::uint64_t from = 0, std::uint64_t to = kForever) {
    auto [reply, rx] = util::make_bounded_channel<Result<std::uint64_t>>(1);
    send(ShardCommand::Put{std::nullopt, std::move(reply), std::move(key), std::move(doc), from, to});
    return TRY(rx.recv_or_closed());
  }
  Result<std::vector<std::uint64_t>> put_batch(std::vector<WriteBatchItem> items) {
    auto [reply, rx] = util::make_bounded_channel<Result<std::vector<std::uint64_t>>>(1);
    send(ShardCommand::PutBatch{std::move(reply), std::move(items)});
    return TRY(rx.recv_or_closed());
  }
  ShardStats stats() {
    auto [reply, rx] = util::make_bounded_channel<ShardStats>(1);
    send(ShardCommand::Stats{std::move(reply)});
    return must(rx.recv_or_closed());
  }
  template <typename C>
  void send(C cmd) {
    if (tx_) (void)tx_->send(ShardCommand{std::move(cmd)});
  }
  std::optional<std::string> get(const std::string& key, std::optional<std::uint64_t> as_of = std::nullopt) {
    return must(handle_->get(key, as_of, std::nullopt)).value;
  }
  ShardReadHandle& handle() { return *handle_; }
  const std::string& wal_path() const { return wal_path_; }
  SharedManifest& manifest() { return *manifest_; }

  void shutdown() {
    if (thread_.joinable()) {
      send(ShardCommand::Shutdown{});
      thread_.join();
    }
  }

 private:
  std::string root_;
  Config config_;
  std::shared_ptr<SharedManifest> manifest_;
  Result<ShardRuntime::Opened> opened_ = fail(QuenlorError::not_found());
  std::optional<ShardReadHandle> handle_;
  std::string wal_path_;
  std::optional<util::Sender<ShardCommand>> tx_;
  std::thread thread_;
};

// Rewrites the saved manifest through its own API.
template <typename Edit>
inline void edit_manifest(const std::string& root, Edit edit) {
  storage::Manifest m = must(storage::Manifest::load_or_create(root, 1));
  edit(m.state());
  must(m.save());
}

inline std::uint64_t file_length(const std::string& path) { return std::filesystem::file_size(path); }

}  // namespace quenlordb::engine::testing
