#include "storage/levels.h"

#include <algorithm>
#include <limits>
#include <utility>

#include "ledger/internal_key.h"
#include "storage/sstable_writer.h"
#include "util/file.h"
#include "util/utf8.h"

namespace quenlordb::storage {

namespace {

// Bytes the cut rule counts per entry beside its key and value.
constexpr std::uint64_t kEntryOverheadBytes = 16;

std::string user_key_or_empty(std::string_view internal_key) {
  auto decoded = ledger::decode_internal_key_view(internal_key);
  return decoded ? std::string(decoded->user_key) : std::string();
}

std::string last_component_as_text(const std::string& path) {
  std::size_t slash = path.rfind('/');
  std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
  if (!util::validate_utf8(name)) return {};
  return name;
}

LevelFile make_level_file(std::shared_ptr<const SsTableReader> reader) {
  LevelFile f;
  auto size = util::file_size_if_exists(reader->path());
  f.file_size = size && *size ? **size : 0;
  KeyRange range = extract_key_range(*reader);
  f.min_key = std::move(range.min_key);
  f.max_key = std::move(range.max_key);
  f.file_name = last_component_as_text(reader->path());
  f.reader = std::move(reader);
  return f;
}

std::uint64_t saturating_mul(std::uint64_t a, std::uint64_t b) {
  std::uint64_t out;
  if (__builtin_mul_overflow(a, b, &out)) return std::numeric_limits<std::uint64_t>::max();
  return out;
}

std::uint64_t saturating_add(std::uint64_t a, std::uint64_t b) {
  std::uint64_t out;
  if (__builtin_add_overflow(a, b, &out)) return std::numeric_limits<std::uint64_t>::max();
  return out;
}

// Walks one table file entry by entry, holding one raw block at a time.
class TableCursor {
 public:
  TableCursor(const SsTableReader& reader, std::size_t rank) : reader_(&reader), rank_(rank) {}

  // Moves to the next entry; false once the file is exhausted. The views of the previous entry end.
  Result<bool> advance() {
    while (next_entry_ == entries_.size()) {
      const auto& index = reader_->index();
      if (next_block_ == index.size()) return false;
      const IndexEntry& block = index[next_block_++];
      raw_ = TRY(reader_->read_block_data(block.offset, block.size));
      entries_.clear();
      next_entry_ = 0;
      TRY(walk_block_entries(raw_, [&](std::string_view key, std::string_view value) -> Result<bool> {
        entries_.emplace_back(key, value);
        return true;
      }));
    }
    key_ = entries_[next_entry_].first;
    value_ = entries_[next_entry_].second;
    ++next_entry_;
    return true;
  }

  std::string_view key() const { return key_; }
  std::string_view value() const { return value_; }
  std::size_t rank() const { return rank_; }

 private:
  const SsTableReader* reader_;
  std::size_t rank_;  // position among the inputs: earlier inputs win ties
  std::size_t next_block_ = 0;
  std::string raw_;
  std::vector<std::pair<std::string_view, std::string_view>> entries_;
  std::size_t next_entry_ = 0;
  std::string_view key_;
  std::string_view value_;
};

// Yields the entries of all inputs in ascending internal-key order, each internal key once: of equal
// keys the input with the lowest rank wins. That is what a stable sort of the concatenated inputs
// followed by dropping repeats gives, with one block per input in memory instead of everything.
class MergingIterator {
 public:
  explicit MergingIterator(const std::vector<const SsTableReader*>& inputs) {
    cursors_.reserve(inputs.size());
    for (std::size_t i = 0; i < inputs.size(); ++i) cursors_.emplace_back(*inputs[i], i);
  }

  // Positions every cursor on its first entry.
  Result<void> start() {
    for (TableCursor& c : cursors_) {
      if (TRY(c.advance())) heap_.push_back(&c);
    }
    std::make_heap(heap_.begin(), heap_.end(), after);
    return {};
  }

  // Calls emit(key, value) for each entry in merged order. The views are valid during the call only.
  template <typename Emit>
  Result<void> run(Emit&& emit) {
    bool any = false;
    while (!heap_.empty()) {
      std::pop_heap(heap_.begin(), heap_.end(), after);
      TableCursor* c = heap_.back();
      if (!any || c->key() != last_key_) {
        TRY(emit(c->key(), c->value()));
        last_key_.assign(c->key());
        any = true;
      }
      if (TRY(c->advance())) {
        std::push_heap(heap_.begin(), heap_.end(), after);
      } else {
        heap_.pop_back();
      }
    }
    return {};
  }

 private:
  // Heap order: the smallest (key, rank) on top.
  static bool after(const TableCursor* a, const TableCursor* b) {
    const int c = a->key().compare(b->key());
    return c != 0 ? c > 0 : a->rank() > b->rank();
  }

  std::vector<TableCursor> cursors_;
  std::vector<TableCursor*> heap_;
  std::string last_key_;
};

// The smallest and largest user key among the decodable keys of the files; none when there is none.
Result<std::optional<KeyRange>> user_key_range(const std::vector<LevelFile>& files) {
  std::optional<KeyRange> range;
  for (const LevelFile& f : files) {
    TRY(f.reader->for_each_entry({}, nullptr, [&](std::string_view key, std::string_view) -> Result<bool> {
      auto decoded = ledger::decode_internal_key_view(key);
      if (!decoded) return true;
      const std::string_view user_key = decoded->user_key;
      if (!range) {
        range.emplace(KeyRange{std::string(user_key), std::string(user_key)});
      } else if (user_key < range->min_key) {
        range->min_key.assign(user_key);
      } else if (user_key > range->max_key) {
        range->max_key.assign(user_key);
      }
      return true;
    }));
  }
  return range;
}

}  // namespace

LevelOptions LevelOptions::from_config(const Config& config) {
  return LevelOptions{config.compaction_max_levels, config.compaction_level_base_bytes, config.compaction_level_ratio,
                      config.compaction_target_file_bytes};
}

std::string table_file_name(std::size_t level, std::uint64_t id) {
  return "l" + std::to_string(level) + "-" + std::to_string(id) + std::string(kTableFileSuffix);
}

std::optional<std::uint64_t> table_file_id(std::string_view name) {
  // "l", digits, "-", digits, ".sst"
  auto digits = [&](std::size_t from) {
    std::size_t end = from;
    while (end < name.size() && name[end] >= '0' && name[end] <= '9') ++end;
    return end;
  };
  if (!name.starts_with('l')) return std::nullopt;
  const std::size_t dash = digits(1);
  if (dash == 1 || dash >= name.size() || name[dash] != '-') return std::nullopt;
  const std::size_t dot = digits(dash + 1);
  if (dot == dash + 1 || name.substr(dot) != kTableFileSuffix) return std::nullopt;
  std::uint64_t id = 0;
  for (std::size_t i = dash + 1; i < dot; ++i) {
    const std::uint64_t digit = static_cast<std::uint64_t>(name[i] - '0');
    if (id > (std::numeric_limits<std::uint64_t>::max() - digit) / 10) return std::nullopt;
    id = id * 10 + digit;
  }
  return id;
}

KeyRange extract_key_range(const SsTableReader& reader) {
  KeyRange range;
  if (reader.index().empty()) return range;
  // The first entry comes from the first block; the last key is the index's last key.
  bool seen = false;
  auto walked = reader.for_each_entry({}, nullptr, [&](std::string_view key, std::string_view) -> Result<bool> {
    range.min_key = user_key_or_empty(key);
    seen = true;
    return false;
  });
  if (!walked || !seen) return KeyRange{};
  range.max_key = user_key_or_empty(reader.index().back().last_key);
  return range;
}

LevelManager::LevelManager(std::string dir, LevelOptions options)
    : dir_(std::move(dir)), options_(options), levels_(options.max_levels) {
  if (options.max_levels < 2) panic("a level set needs at least 2 levels");
}

LevelManager LevelManager::from_sstables(std::string dir, std::vector<std::shared_ptr<const SsTableReader>> readers,
                                         LevelOptions options) {
  LevelManager levels(std::move(dir), options);
  for (auto& reader : readers) levels.add_l0_file(std::move(reader));
  return levels;
}

Result<LevelManager> LevelManager::from_manifest_levels(std::string dir,
                                                        const std::vector<std::vector<ManifestLevelFile>>& level_files,
                                                        LevelOptions options) {
  LevelManager levels(std::move(dir), options);
  const std::size_t lists = std::min<std::size_t>(level_files.size(), levels.levels_.size());
  for (std::size_t i = 0; i < lists; ++i) {
    for (const ManifestLevelFile& entry : level_files[i]) {
      std::string path = util::join_path(levels.dir_, entry.file_name);
      // Only a file that is not there is skipped: any other failure to look at it fails the open
      // rather than dropping a live file from the level set (and from the next manifest).
      if (!TRY(util::file_size_if_exists(path))) continue;
      SsTableReader reader = TRY(SsTableReader::open(std::move(path)));
      LevelFile f;
      f.file_name = entry.file_name;
      f.min_key = entry.min_key;
      f.max_key = entry.max_key;
      f.file_size = entry.file_size;
      f.reader = std::make_shared<const SsTableReader>(std::move(reader));
      levels.levels_[i].push_back(std::move(f));
    }
  }
  return levels;
}

void LevelManager::add_l0_file(std::shared_ptr<const SsTableReader> reader) {
  levels_[0].push_back(make_level_file(std::move(reader)));
}

std::uint64_t LevelManager::level_budget(std::size_t level) const {
  std::uint64_t budget = options_.level_base_bytes;
  for (std::size_t i = 1; i < level; ++i) budget = saturating_mul(budget, options_.level_ratio);
  return budget;
}

std::optional<CompactionStep> LevelManager::needs_compaction(std::uint64_t l0_threshold) const {
  if (levels_[0].size() > l0_threshold) return CompactionStep{0, 1};
  for (std::size_t i = 1; i + 1 < levels_.size(); ++i) {
    std::uint64_t total = 0;
    for (const LevelFile& f : levels_[i]) total = saturating_add(total, f.file_size);
    if (total > level_budget(i)) return CompactionStep{i, i + 1};
  }
  return std::nullopt;
}

Result<CompactionPlan> LevelManager::plan_compaction(CompactionStep step) const {
  if (step.target != step.source + 1 || step.target >= levels_.size()) panic("compaction step out of range");
  CompactionPlan plan{step, dir_, options_, levels_[step.source], levels_[step.target], {}};
  const std::optional<KeyRange> range = TRY(user_key_range(plan.source));
  plan.selected.assign(plan.target.size(), false);
  if (range) {
    for (std::size_t i = 0; i < plan.target.size(); ++i) {
      plan.selected[i] = plan.target[i].min_key <= range->max_key && plan.target[i].max_key >= range->min_key;
    }
  }
  return plan;
}

Result<BuiltCompaction> build_compaction(const CompactionPlan& plan, std::uint64_t block_bytes,
                                         std::uint64_t bits_per_key, const Hasher& hasher, FileIdSource next_file_id) {
  std::vector<const SsTableReader*> inputs;
  for (const LevelFile& f : plan.source) inputs.push_back(f.reader.get());
  for (std::size_t i = 0; i < plan.target.size(); ++i) {
    if (plan.selected[i]) inputs.push_back(plan.target[i].reader.get());
  }

  // Nothing names the outputs until they are installed: on any failure, the ones this step created
  // are removed again (never a file that was there before, which the create refuses).
  struct Written {
    std::vector<std::string> paths;
    bool keep = false;
    ~Written() {
      if (!keep) {
        for (const std::string& path : paths) (void)util::remove_file(path);
      }
    }
  } written;
  std::vector<LevelFile> outputs;
  {
    MergingIterator merge(inputs);
    TRY(merge.start());
    std::optional<SsTableBuilder> builder;
    std::uint64_t counted = 0;
    TRY(merge.run([&](std::string_view key, std::string_view value) -> Result<void> {
      if (!builder) {
        std::string path = util::join_path(plan.dir, table_file_name(plan.step.target, next_file_id()));
        written.paths.reserve(written.paths.size() + 1);
        builder.emplace(TRY(SsTableBuilder::create(path, block_bytes, bits_per_key, hasher)));
        written.paths.push_back(std::move(path));
      }
      TRY(builder->add(key, value));
      counted = saturating_add(counted, saturating_add(key.size() + value.size(), kEntryOverheadBytes));
      if (counted >= plan.options.target_file_bytes) {
        TRY(builder->finish());
        builder.reset();
        counted = 0;
      }
      return {};
    }));
    if (builder) TRY(builder->finish());
  }
  if (!written.paths.empty()) TRY(util::sync_dir(plan.dir));
  for (const std::string& path : written.paths) {
    SsTableReader reader = TRY(SsTableReader::open(path));
    outputs.push_back(make_level_file(std::make_shared<const SsTableReader>(std::move(reader))));
  }

  BuiltCompaction built;
  CompactionOutcome& outcome = built.outcome;
  outcome.removed_files = plan.source.size();
  outcome.created_files = outputs.size();
  for (const LevelFile& f : plan.source) outcome.obsolete_paths.push_back(f.reader->path());
  built.target.reserve(plan.target.size() + outputs.size());
  for (std::size_t i = 0; i < plan.target.size(); ++i) {
    if (plan.selected[i]) {
      outcome.obsolete_paths.push_back(plan.target[i].reader->path());
    } else {
      built.target.push_back(plan.target[i]);
    }
  }
  for (LevelFile& f : outputs) built.target.push_back(std::move(f));
  std::stable_sort(built.target.begin(), built.target.end(),
                   [](const LevelFile& a, const LevelFile& b) { return a.min_key < b.min_key; });
  written.keep = true;
  return built;
}

void LevelManager::install_compaction(const CompactionPlan& plan, BuiltCompaction& built) {
  auto same_files = [](const std::vector<LevelFile>& level, const std::vector<LevelFile>& planned) {
    return std::equal(level.begin(), level.end(), planned.begin(), planned.end(),
                      [](const LevelFile& a, const LevelFile& b) { return a.reader == b.reader; });
  };
  std::vector<LevelFile>& source = levels_[plan.step.source];
  std::vector<LevelFile>& target = levels_[plan.step.target];
  if (!same_files(source, plan.source) || !same_files(target, plan.target) || !built.source.empty())
    panic("level set changed while a compaction step was built");
  target.swap(built.target);
  source.swap(built.source);
}

Result<CompactionOutcome> LevelManager::execute_compaction(CompactionStep step, std::uint64_t block_bytes,
                                                           std::uint64_t bits_per_key, const Hasher& hasher,
                                                           FileIdSource next_file_id) {
  const CompactionPlan plan = TRY(plan_compaction(step));
  BuiltCompaction built = TRY(build_compaction(plan, block_bytes, bits_per_key, hasher, next_file_id));
  install_compaction(plan, built);
  return std::move(built.outcome);
}

std::vector<std::string> LevelManager::file_names() const {
  std::vector<std::string> names;
  for (const auto& level : levels_) {
    for (const LevelFile& f : level) names.push_back(f.file_name);
  }
  return names;
}

std::vector<std::vector<ManifestLevelFile>> LevelManager::manifest_levels() const {
  std::vector<std::vector<ManifestLevelFile>> out(levels_.size());
  for (std::size_t i = 0; i < levels_.size(); ++i) {
    out[i].reserve(levels_[i].size());
    for (const LevelFile& f : levels_[i]) out[i].push_back({f.file_name, i, f.min_key, f.max_key, f.file_size});
  }
  return out;
}

}  // namespace quenlordb::storage
