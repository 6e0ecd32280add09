#include "sql/exec/row_list.h"

#include <algorithm>
#include <cstring>

namespace quenlordb::sql::exec {

RowList::RowList(std::initializer_list<std::string_view> rows) {
  rows_.reserve(rows.size());
  for (std::string_view row : rows) push_back(row);
}

RowList::RowList(const RowList& other) {
  rows_.reserve(other.size());
  for (std::string_view row : other) push_back(row);
}

RowList& RowList::operator=(const RowList& other) {
  if (this != &other) RowList(other).swap(*this);
  return *this;
}

void RowList::swap(RowList& other) noexcept {
  rows_.swap(other.rows_);
  blocks_.swap(other.blocks_);
  std::swap(block_bytes_, other.block_bytes_);
  std::swap(next_, other.next_);
  std::swap(left_, other.left_);
}

char* RowList::room(std::size_t bytes) {
  if (bytes <= left_) {
    char* at = next_;
    next_ += bytes;
    left_ -= bytes;
    return at;
  }
  const std::size_t grown = block_bytes_ == 0 ? kFirstBlockBytes : std::min(2 * block_bytes_, kMaxBlockBytes);
  std::unique_ptr<char[]> block = std::make_unique_for_overwrite<char[]>(std::max(bytes, grown));
  char* at = block.get();
  blocks_.push_back(std::move(block));  // on failure the block goes, and nothing changed
  if (bytes > grown) return at;         // a row of its own; the current block keeps its room
  block_bytes_ = grown;
  next_ = at + bytes;
  left_ = grown - bytes;
  return at;
}

void RowList::push_back(std::string_view row) {
  if (rows_.size() == rows_.capacity()) rows_.reserve(rows_.empty() ? 4 : 2 * rows_.size());
  char* at = room(row.size());
  if (!row.empty()) std::memcpy(at, row.data(), row.size());
  rows_.emplace_back(at, row.size());  // cannot throw: there is room
}

void RowList::clear() { RowList().swap(*this); }

std::vector<std::string> RowList::strings() const { return std::vector<std::string>(begin(), end()); }

bool operator==(const RowList& a, const RowList& b) { return std::ranges::equal(a, b); }

bool operator==(const RowList& a, const std::vector<std::string>& b) { return std::ranges::equal(a, b); }

}  // namespace quenlordb::sql::exec
