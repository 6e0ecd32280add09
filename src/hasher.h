// The database's one 64-bit key hasher: it picks the shard of a key (hash64 % shard_count) and feeds
// the bloom filter of every table file. Implementations hold no mutable state, so one instance is
// shared by reference counting and called from any number of threads without locking.
#pragma once

#include <cstdint>
#include <memory>
#include <string_view>

namespace quenlordb {

class Hasher {
 public:
  virtual ~Hasher() = default;
  virtual std::uint64_t hash64(std::string_view bytes) const = 0;
  // Names the hash function, e.g. "fnv64-mix".
  virtual std::string_view name() const = 0;
};

// FNV-1a 64-bit in which, after each byte's multiplication, the state is XORed with itself shifted
// right by 32 bits. The values are part of the stored formats (bloom blocks) and of key routing.
class FnvMixHasher final : public Hasher {
 public:
  static constexpr std::uint64_t kOffsetBasis = 0xcbf29ce484222325ULL;
  static constexpr std::uint64_t kPrime = 0x100000001b3ULL;

  static std::uint64_t hash(std::string_view bytes) {
    std::uint64_t h = kOffsetBasis;
    for (char c : bytes) {
      h ^= static_cast<unsigned char>(c);
      h *= kPrime;
      h ^= h >> 32;
    }
    return h;
  }

  std::uint64_t hash64(std::string_view bytes) const override { return hash(bytes); }
  std::string_view name() const override { return "fnv64-mix"; }
};

// The shared hasher of one open database.
std::shared_ptr<const Hasher> build_hasher();

}  // namespace quenlordb
