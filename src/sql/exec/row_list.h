// The rows of a statement's result: byte strings in order, kept one after another in a few blocks
// of memory instead of one allocation per row, so that a result of many small rows (a column of
// keys, say) costs a few allocations to build and to free.
//
// Rows are appended whole and read as views, which stay valid while the list lives and is not
// cleared; moving the list keeps them valid (the blocks do not move), copying makes a list of its
// own. Not thread-safe.
#pragma once

#include <cstddef>
#include <initializer_list>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace quenlordb::sql::exec {

class RowList {
 public:
  using value_type = std::string_view;
  using const_iterator = std::vector<std::string_view>::const_iterator;
  using iterator = const_iterator;

  RowList() = default;
  RowList(std::initializer_list<std::string_view> rows);
  RowList(const RowList& other);
  RowList& operator=(const RowList& other);
  RowList(RowList&& other) noexcept { swap(other); }
  RowList& operator=(RowList&& other) noexcept {
    RowList(std::move(other)).swap(*this);
    return *this;
  }
  void swap(RowList& other) noexcept;

  std::size_t size() const { return rows_.size(); }
  bool empty() const { return rows_.empty(); }
  std::string_view operator[](std::size_t i) const { return rows_[i]; }
  std::string_view front() const { return rows_.front(); }
  std::string_view back() const { return rows_.back(); }
  const_iterator begin() const { return rows_.begin(); }
  const_iterator end() const { return rows_.end(); }

  // Room for the views of that many rows in all (their bytes take room as they come).
  void reserve(std::size_t rows) { rows_.reserve(rows); }
  // Appends a copy of row's bytes as the last row.
  void push_back(std::string_view row);
  void clear();

  // Each row as a string of its own.
  std::vector<std::string> strings() const;

  friend bool operator==(const RowList& a, const RowList& b);
  friend bool operator==(const RowList& a, const std::vector<std::string>& b);

 private:
  // Room for bytes more bytes of rows: in the current block, else in a new one (twice the size
  // of the last, up to kMaxBlockBytes, or the bytes alone when they are more).
  char* room(std::size_t bytes);

  static constexpr std::size_t kFirstBlockBytes = 256;
  static constexpr std::size_t kMaxBlockBytes = 64 * 1024;

  std::vector<std::string_view> rows_;
  std::vector<std::unique_ptr<char[]>> blocks_;
  std::size_t block_bytes_ = 0;  // of the last block that was not made for one row alone
  char* next_ = nullptr;         // free room in the current block
  std::size_t left_ = 0;
};

}  // namespace quenlordb::sql::exec
