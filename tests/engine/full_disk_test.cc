// A disk that fills up under a database: on a small tmpfs, every put that returned a timestamp is
// readable after a close and a reopen, with the disk still full and after space was freed. Needs
// the right to mount (root); skipped otherwise.
#include <gtest/gtest.h>
#include <sys/mount.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <utility>
#include <vector>

#include "engine/database.h"
#include "engine_test_util.h"
#include "support/temp_dir.h"

namespace quenlordb::engine {
namespace {

using quenlordb::testing::TempDir;
using testing::must;
using testing::open_db;
using testing::test_config;

constexpr std::uint64_t kForever = ~0ULL;

// A tmpfs of `bytes` mounted on a fresh directory for the life of the object.
class SmallDisk {
 public:
  explicit SmallDisk(std::size_t bytes) {
    path_ = dir_.file("disk");
    std::filesystem::create_directory(path_);
    const std::string options = "size=" + std::to_string(bytes);
    if (::mount("tmpfs", path_.c_str(), "tmpfs", 0, options.c_str()) == 0) {
      mounted_ = true;
    } else {
      why_ = std::strerror(errno);
    }
  }
  ~SmallDisk() {
    if (mounted_) ::umount2(path_.c_str(), MNT_DETACH);
  }
  SmallDisk(const SmallDisk&) = delete;
  SmallDisk& operator=(const SmallDisk&) = delete;

  bool mounted() const { return mounted_; }
  const std::string& why() const { return why_; }
  std::string file(const std::string& name) const { return path_ + "/" + name; }

 private:
  TempDir dir_;
  std::string path_;
  bool mounted_ = false;
  std::string why_;
};

// Fills the disk with a file of whole 64 KiB chunks until a write fails.
void fill(const std::string& path) {
  std::ofstream out(path, std::ios::binary);
  const std::string chunk(64 << 10, 'f');
  while (out.write(chunk.data(), static_cast<std::streamsize>(chunk.size())) && out.flush()) {
  }
}

TEST(FullDiskTest, EveryAcknowledgedPutSurvivesACloseOnAFullDisk) {
  for (bool group_commit : {true, false}) {
    SCOPED_TRACE(group_commit ? "group commit" : "shard threads");
    SmallDisk disk(8 << 20);
    if (!disk.mounted()) GTEST_SKIP() << "cannot mount a tmpfs: " << disk.why();
    const std::string root = disk.file("db");
    Config c = test_config(2, group_commit);
    std::vector<std::pair<std::string, std::uint64_t>> acked;
    int failed = 0;
    {
      auto db = open_db(root, c);
      // Leave about 1 MiB for the logs: a filler takes the rest, then is cut back.
      fill(disk.file("filler"));
      std::filesystem::resize_file(disk.file("filler"), std::filesystem::file_size(disk.file("filler")) - (1 << 20));
      for (int i = 0; i < 4000 && failed < 200; ++i) {
        const std::string key = "k" + std::to_string(i);
        auto ts = db->put(key, std::string(1000, static_cast<char>('a' + i % 26)), 0, kForever);
        if (ts) {
          acked.emplace_back(key, *ts);
        } else {
          ++failed;
        }
      }
    }
    ASSERT_GT(failed, 0) << "the disk never filled up";
    ASSERT_GT(acked.size(), 100u);
    auto check = [&](const char* when) {
      auto db = open_db(root, c);
      for (const auto& [key, ts] : acked) {
        const std::string digit = key.substr(1);
        EXPECT_EQ(must(db->get(key, ts)), std::string(1000, static_cast<char>('a' + std::stoi(digit) % 26)))
            << key << " " << when;
      }
    };
    check("with the disk still full");
    std::filesystem::remove(disk.file("filler"));
    check("after space was freed");
    auto db = open_db(root, c);
    must(db->put("more", "x", 0, kForever));
  }
}

}  // namespace
}  // namespace quenlordb::engine
