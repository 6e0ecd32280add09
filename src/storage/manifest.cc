// MANIFEST.json, pretty-printed with two-space indentation and no newline after the final brace.
// Records are objects with their members in this order (readers also take an array of the values
// in the same order); byte strings are arrays of integers 0..255; an absent level_files is null.
//
//   ManifestState       { "version": u32, "next_file_id": u64, "shards": [ManifestShardState...] }
//   ManifestShardState  { "shard_id": u64, "wal_file": text, "l0_files": [text...],
//                         "level_files": null | [[ManifestLevelFile...]...],
//                         "commit_ts_high_watermark": u64 }
//   ManifestLevelFile   { "file_name": text, "level": u64, "min_key": bytes, "max_key": bytes,
//                         "file_size": u64 }
#include "storage/manifest.h"

#include <fcntl.h>

#include <array>
#include <charconv>
#include <limits>

#include "storage/levels.h"
#include "util/file.h"
#include "util/json_record.h"
#include "util/json_text.h"
#include "util/utf8.h"

namespace quenlordb::storage {

namespace {

using util::OrderedJson;
using util::RecordField;
using util::RecordShape;

constexpr std::array<RecordField, 5> kLevelFileFields{{
    {"file_name"}, {"level"}, {"min_key"}, {"max_key"}, {"file_size"}}};
constexpr std::array<RecordField, 5> kShardFields{{
    {"shard_id"}, {"wal_file"}, {"l0_files"}, {"level_files", false}, {"commit_ts_high_watermark"}}};
constexpr std::array<RecordField, 3> kStateFields{{{"version"}, {"next_file_id"}, {"shards"}}};

constexpr RecordShape kLevelFileShape{"struct ManifestLevelFile", kLevelFileFields};
constexpr RecordShape kShardShape{"struct ManifestShardState", kShardFields};
constexpr RecordShape kStateShape{"struct ManifestState", kStateFields};

// The pretty form, written straight into the text: no tree of JSON values is built, so a manifest
// listing long keys costs one growing string, and nothing allocates once the text is complete (a
// value tree's destructor allocates, where running out of memory would end the process).
class PrettyWriter {
 public:
  std::string take() { return std::move(out_); }

  // Starts an object or array; its members or elements follow, then end().
  void begin(char open) {
    out_.push_back(open);
    open_.push_back(Open{open == '{' ? '}' : ']', true});
  }
  void end() {
    const Open closing = open_.back();
    open_.pop_back();
    if (!closing.empty) newline(open_.size());
    out_.push_back(closing.close);
  }
  // The name of the next member of the object open.
  Result<void> member(std::string_view name) {
    next_item();
    TRY(string(name));
    out_.append(": ");
    return {};
  }
  // Before an element of the array open.
  void element() { next_item(); }

  Result<void> string(std::string_view text) {
    if (util::validate_utf8(text)) {
      util::append_json_string(out_, text);
      return {};
    }
    // The JSON library's verdict and message on text that is not UTF-8 (never written by the engine).
    out_.append(TRY(util::dump_json_compact(OrderedJson(std::string(text)))));
    return {};
  }
  void number(std::uint64_t n) {
    char digits[20];
    const auto written = std::to_chars(digits, digits + sizeof digits, n);
    out_.append(digits, written.ptr);
  }
  void null() { out_.append("null"); }
  void bytes(std::string_view bytes) {
    begin('[');
    for (char c : bytes) {
      element();
      number(static_cast<unsigned char>(c));
    }
    end();
  }

 private:
  struct Open {
    char close;
    bool empty;
  };

  void next_item() {
    Open& open = open_.back();
    if (!open.empty) out_.push_back(',');
    open.empty = false;
    newline(open_.size());
  }
  void newline(std::size_t depth) {
    out_.push_back('\n');
    out_.append(2 * depth, ' ');
  }

  std::string out_;
  std::vector<Open> open_;
};

Result<void> write_level_file(PrettyWriter& w, const ManifestLevelFile& f) {
  w.begin('{');
  TRY(w.member("file_name"));
  TRY(w.string(f.file_name));
  TRY(w.member("level"));
  w.number(f.level);
  TRY(w.member("min_key"));
  w.bytes(f.min_key);
  TRY(w.member("max_key"));
  w.bytes(f.max_key);
  TRY(w.member("file_size"));
  w.number(f.file_size);
  w.end();
  return {};
}

Result<void> write_shard(PrettyWriter& w, const ManifestShardState& s) {
  w.begin('{');
  TRY(w.member("shard_id"));
  w.number(s.shard_id);
  TRY(w.member("wal_file"));
  TRY(w.string(s.wal_file));
  TRY(w.member("l0_files"));
  w.begin('[');
  for (const std::string& name : s.l0_files) {
    w.element();
    TRY(w.string(name));
  }
  w.end();
  TRY(w.member("level_files"));
  if (s.level_files) {
    w.begin('[');
    for (const auto& level : *s.level_files) {
      w.element();
      w.begin('[');
      for (const ManifestLevelFile& f : level) {
        w.element();
        TRY(write_level_file(w, f));
      }
      w.end();
    }
    w.end();
  } else {
    w.null();
  }
  TRY(w.member("commit_ts_high_watermark"));
  w.number(s.commit_ts_high_watermark);
  w.end();
  return {};
}

Result<ManifestLevelFile> read_level_file(const OrderedJson& v) {
  ManifestLevelFile f;
  TRY(util::read_record(v, kLevelFileShape, [&](std::size_t i, const OrderedJson& field) -> Result<void> {
    switch (i) {
      case 0: f.file_name = TRY(util::read_json_string(field)); break;
      case 1: f.level = TRY(util::read_json_uint<std::uint64_t>(field)); break;
      case 2: f.min_key = TRY(util::read_json_bytes(field)); break;
      case 3: f.max_key = TRY(util::read_json_bytes(field)); break;
      case 4: f.file_size = TRY(util::read_json_uint<std::uint64_t>(field)); break;
    }
    return {};
  }));
  return f;
}

Result<std::vector<std::vector<ManifestLevelFile>>> read_levels(const OrderedJson& v) {
  std::vector<std::vector<ManifestLevelFile>> levels;
  TRY(util::read_json_array(v, [&](const OrderedJson& level) -> Result<void> {
    auto& files = levels.emplace_back();
    return util::read_json_array(level, [&](const OrderedJson& file) -> Result<void> {
      files.push_back(TRY(read_level_file(file)));
      return {};
    });
  }));
  return levels;
}

Result<ManifestShardState> read_shard(const OrderedJson& v) {
  ManifestShardState s;
  TRY(util::read_record(v, kShardShape, [&](std::size_t i, const OrderedJson& field) -> Result<void> {
    switch (i) {
      case 0: s.shard_id = TRY(util::read_json_uint<std::uint64_t>(field)); break;
      case 1: s.wal_file = TRY(util::read_json_string(field)); break;
      case 2:
        TRY(util::read_json_array(field, [&](const OrderedJson& name) -> Result<void> {
          s.l0_files.push_back(TRY(util::read_json_string(name)));
          return {};
        }));
        break;
      case 3:
        if (field.is_null()) {
          s.level_files.reset();
        } else {
          s.level_files = TRY(read_levels(field));
        }
        break;
      case 4: s.commit_ts_high_watermark = TRY(util::read_json_uint<std::uint64_t>(field)); break;
    }
    return {};
  }));
  return s;
}

Result<ManifestState> read_state(const OrderedJson& v) {
  ManifestState state;
  TRY(util::read_record(v, kStateShape, [&](std::size_t i, const OrderedJson& field) -> Result<void> {
    switch (i) {
      case 0: state.version = TRY(util::read_json_uint<std::uint32_t>(field)); break;
      case 1: state.next_file_id = TRY(util::read_json_uint<std::uint64_t>(field)); break;
      case 2:
        TRY(util::read_json_array(field, [&](const OrderedJson& shard) -> Result<void> {
          state.shards.push_back(TRY(read_shard(shard)));
          return {};
        }));
        break;
    }
    return {};
  }));
  return state;
}

// The directory holding path, or nothing when path has no directory component.
std::optional<std::string> parent_dir(const std::string& path) {
  std::size_t slash = path.rfind('/');
  if (slash == std::string::npos) return std::nullopt;
  if (slash == 0) return std::string("/");
  return path.substr(0, slash);
}

// A name that stays inside the directory it is joined to: not empty, not "." or "..", without '/'
// (and without NUL, which would cut the name short at the system call).
bool is_plain_file_name(std::string_view name) {
  return !name.empty() && name != "." && name != ".." && name.find('/') == std::string_view::npos &&
         name.find('\0') == std::string_view::npos;
}

Result<void> check_file_name(std::string_view name, const std::string& field) {
  if (is_plain_file_name(name)) return {};
  return fail(QuenlorError::manifest_format(field + " \"" + std::string(name) + "\" is not a plain file name"));
}

// Every file name of the manifest, so that no path built from them leaves the shard directory.
Result<void> check_file_names(const ManifestState& state) {
  for (std::size_t i = 0; i < state.shards.size(); ++i) {
    const ManifestShardState& shard = state.shards[i];
    const std::string at = "shards[" + std::to_string(i) + "].";
    TRY(check_file_name(shard.wal_file, at + "wal_file"));
    for (std::size_t j = 0; j < shard.l0_files.size(); ++j)
      TRY(check_file_name(shard.l0_files[j], at + "l0_files[" + std::to_string(j) + "]"));
    if (!shard.level_files) continue;
    for (std::size_t level = 0; level < shard.level_files->size(); ++level) {
      const auto& files = (*shard.level_files)[level];
      for (std::size_t j = 0; j < files.size(); ++j) {
        TRY(check_file_name(files[j].file_name, at + "level_files[" + std::to_string(level) + "][" +
                                                    std::to_string(j) + "].file_name"));
      }
    }
  }
  return {};
}

bool is_shard_dir_name(std::string_view name) {
  constexpr std::string_view kPrefix = "shard-";
  if (!name.starts_with(kPrefix) || name.size() == kPrefix.size()) return false;
  return name.substr(kPrefix.size()).find_first_not_of("0123456789") == std::string_view::npos;
}

// What the shard directories under root hold.
struct ShardDirFiles {
  std::string first_database_file;          // "shard-{n}/{name}" of a log or table file, if any
  std::optional<std::uint64_t> highest_id;  // of the table files present
};

Result<ShardDirFiles> scan_shard_dirs(const std::string& root) {
  ShardDirFiles found;
  for (const util::DirEntry& dir : TRY(util::list_dir(root))) {
    if (!dir.is_dir || !is_shard_dir_name(dir.name)) continue;
    for (const util::DirEntry& file : TRY(util::list_dir(util::join_path(root, dir.name)))) {
      if (file.is_dir) continue;
      const std::string_view name = file.name;
      if (!name.ends_with(kTableFileSuffix) && !name.ends_with(".wal")) continue;
      if (found.first_database_file.empty()) found.first_database_file = dir.name + "/" + file.name;
      if (auto id = table_file_id(name); id && (!found.highest_id || *id > *found.highest_id)) found.highest_id = id;
    }
  }
  return found;
}

// Raises next_file_id above `id`.
Result<void> reserve_ids_through(ManifestState& state, std::optional<std::uint64_t> id) {
  if (!id || *id < state.next_file_id) return {};
  if (*id == std::numeric_limits<std::uint64_t>::max())
    return fail(QuenlorError::manifest_format("table file id " + std::to_string(*id) + " leaves no ids for new files"));
  state.next_file_id = *id + 1;
  return {};
}

Result<void> reserve_named_ids(ManifestState& state) {
  for (const ManifestShardState& shard : state.shards) {
    for (const std::string& name : shard.l0_files) TRY(reserve_ids_through(state, table_file_id(name)));
    if (!shard.level_files) continue;
    for (const auto& files : *shard.level_files) {
      for (const ManifestLevelFile& file : files) TRY(reserve_ids_through(state, table_file_id(file.file_name)));
    }
  }
  return {};
}

}  // namespace

std::string shard_dir_name(std::uint64_t shard_id) { return "shard-" + std::to_string(shard_id); }

ManifestState ManifestState::default_for(std::uint64_t shard_count) {
  ManifestState state;
  state.shards.reserve(shard_count);
  for (std::uint64_t i = 0; i < shard_count; ++i) {
    ManifestShardState shard;
    shard.shard_id = i;
    shard.wal_file = shard_dir_name(i) + ".wal";
    state.shards.push_back(std::move(shard));
  }
  return state;
}

Result<std::string> encode_manifest_state(const ManifestState& state) {
  PrettyWriter w;
  w.begin('{');
  TRY(w.member("version"));
  w.number(state.version);
  TRY(w.member("next_file_id"));
  w.number(state.next_file_id);
  TRY(w.member("shards"));
  w.begin('[');
  for (const ManifestShardState& shard : state.shards) {
    w.element();
    TRY(write_shard(w, shard));
  }
  w.end();
  w.end();
  return w.take();
}

Result<ManifestState> decode_manifest_state(std::string_view text) {
  OrderedJson value = TRY(util::parse_json_record(text));
  return read_state(value);
}

Result<Manifest> Manifest::load_or_create(const std::string& root, std::uint64_t shard_count) {
  TRY(util::create_dir_all(root));
  std::string path = util::join_path(root, kManifestFileName);
  std::optional<std::uint64_t> existing = TRY(util::file_size_if_exists(path));
  const ShardDirFiles present = TRY(scan_shard_dirs(root));
  if (!existing) {
    if (!present.first_database_file.empty()) {
      return fail(QuenlorError::manifest_format("manifest is missing while database files exist: " +
                                                present.first_database_file));
    }
    Manifest manifest(std::move(path), ManifestState::default_for(shard_count));
    TRY(manifest.save());
    return manifest;
  }
  std::string text = TRY(util::read_file(path));
  ManifestState state = TRY(decode_manifest_state(text));
  TRY(check_file_names(state));
  TRY(reserve_named_ids(state));
  TRY(reserve_ids_through(state, present.highest_id));
  if (state.next_file_id == std::numeric_limits<std::uint64_t>::max())
    return fail(QuenlorError::manifest_format("next_file_id leaves no ids for new files"));
  return Manifest(std::move(path), std::move(state));
}

Result<void> Manifest::save() const {
  std::string text = TRY(encode_manifest_state(state_));
  std::optional<std::string> dir = parent_dir(path_);
  std::string tmp = dir ? util::join_path(*dir, kManifestTempFileName) : std::string(kManifestTempFileName);
  {
    util::File file = TRY(util::File::open(tmp, O_CREAT | O_WRONLY | O_TRUNC, 0666));
    TRY(file.write_all(text));
    TRY(file.data_sync());
    TRY(file.close());
  }
  TRY(util::rename_file(tmp, path_));
  if (dir) TRY(util::sync_dir(*dir));
  return {};
}

std::uint64_t Manifest::take_file_id() {
  if (state_.next_file_id == std::numeric_limits<std::uint64_t>::max()) panic("table file ids exhausted");
  return state_.next_file_id++;
}

}  // namespace quenlordb::storage
