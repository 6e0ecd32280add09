// The document a batch of point reads (Database::visit_get_many, ShardReadHandle::read_many) hands
// to its visitor, and the question it may ask first. The visitor may keep the document past its
// call by pinning the table-file block it lies in, so that the rows of a batch need not be copied.
#pragma once

#include <cstddef>
#include <memory>
#include <string_view>

#include "util/function_ref.h"

namespace quenlordb::engine {

// A document that a batch read (Database::visit_get_many) hands to its visitor. Its bytes are valid
// during the call. pin() keeps them valid for as long as the pointer it returns lives: it holds the
// table-file block the document lies in, pinned_bytes() of memory, which the block cache shares
// while it keeps the block. A document copied out of a memtable has no pin (null, 0 bytes): its
// bytes are lent for the call only, and a caller that keeps them copies them.
class BatchDoc {
 public:
  explicit BatchDoc(std::string_view doc, const std::shared_ptr<const void>* pin = nullptr,
                    std::size_t pinned_bytes = 0)
      : doc_(doc), pin_(pin), pinned_bytes_(pinned_bytes) {}

  std::string_view doc() const { return doc_; }
  std::shared_ptr<const void> pin() const { return pin_ != nullptr ? *pin_ : nullptr; }
  std::size_t pinned_bytes() const { return pin_ != nullptr ? pinned_bytes_ : 0; }
  // What pin() would hold, to tell documents of one block apart from others without taking a pin.
  const void* pinned() const { return pin_ != nullptr ? pin_->get() : nullptr; }

 private:
  std::string_view doc_;
  const std::shared_ptr<const void>* pin_;  // null, or the holder of the block doc_ lies in
  std::size_t pinned_bytes_;
};

// What Database::visit_get_many may ask before it visits a document: true to leave it out (its
// visit is not called). Asked on the threads that read the batch, several at once, once for each
// key that has a version; it must not fail or change anything the visitor reads, and needs at most
// the stack those threads have (kBatchReadStackBytes). A caller that tests each document so tests
// them on those threads, and only the documents it keeps are carried to the calling thread.
using BatchReadSkip = util::FunctionRef<bool(std::size_t i, std::string_view doc)>;

// The stack of each thread a batch read starts, small enough that the C library keeps the stacks of
// a batch's threads for the next batch.
inline constexpr std::size_t kBatchReadStackBytes = std::size_t{1} << 20;

}  // namespace quenlordb::engine
