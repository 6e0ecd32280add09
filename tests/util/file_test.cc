#include "util/file.h"

#include <fcntl.h>
#include <gtest/gtest.h>

#include <cerrno>

#include "support/fault_hook.h"
#include "support/temp_dir.h"

namespace quenlordb::util {
namespace {

TEST(FileTest, WriteReadTruncateAndMap) {
  testing::TempDir dir;
  const std::string path = dir.file("f");
  {
    File f = File::open(path, O_CREAT | O_WRONLY | O_TRUNC).value();
    ASSERT_TRUE(f.write_all("hello world"));
    ASSERT_TRUE(f.truncate(5));
    ASSERT_TRUE(f.data_sync());
    EXPECT_EQ(f.size().value(), 5u);
  }
  EXPECT_EQ(read_file(path).value(), "hello");
  MappedFile m = MappedFile::open(path).value();
  EXPECT_EQ(m.data(), "hello");
  EXPECT_EQ(file_size_if_exists(path).value(), 5u);
  EXPECT_EQ(file_size_if_exists(dir.file("missing")).value(), std::nullopt);

  File::open(dir.file("empty"), O_CREAT | O_WRONLY).value();
  EXPECT_EQ(MappedFile::open(dir.file("empty")).value().size(), 0u);

  ASSERT_TRUE(rename_file(path, dir.file("g")));
  ASSERT_TRUE(sync_dir(dir.path()));
  ASSERT_TRUE(remove_file(dir.file("g")));
  EXPECT_EQ(remove_file(dir.file("g")).error().os_error(), ENOENT);
}

// A file is read whole whatever its size next to the room read_to_end starts with, also when it
// grew after the read began (read from an offset) or is not a regular file.
TEST(FileTest, ReadToEndReadsEveryByte) {
  testing::TempDir dir;
  for (std::size_t size : {std::size_t{0}, std::size_t{65535}, std::size_t{65536}, std::size_t{65537},
                           std::size_t{300001}}) {
    std::string text(size, 'x');
    for (std::size_t i = 0; i < size; ++i) text[i] = static_cast<char>('a' + i % 23);
    const std::string path = dir.file("f" + std::to_string(size));
    ASSERT_TRUE(File::open(path, O_CREAT | O_WRONLY | O_TRUNC).value().write_all(text));
    EXPECT_EQ(read_file(path).value(), text) << size;
    File f = File::open(path, O_RDONLY).value();
    ASSERT_TRUE(f.seek(size / 2));
    {
      File more = File::open(path, O_WRONLY | O_APPEND).value();
      ASSERT_TRUE(more.write_all(text));
    }
    EXPECT_EQ(f.read_to_end().value(), text.substr(size / 2) + text) << size;
  }
  EXPECT_EQ(read_file("/proc/self/stat").value().empty(), false);
}

TEST(FileTest, CreateDirAll) {
  testing::TempDir dir;
  ASSERT_TRUE(create_dir_all(dir.file("a/b/c")));
  ASSERT_TRUE(create_dir_all(dir.file("a/b/c")));
  File::open(dir.file("plain"), O_CREAT | O_WRONLY).value();
  EXPECT_EQ(create_dir_all(dir.file("plain")).error().os_error(), ENOTDIR);
  EXPECT_EQ(create_dir_all(dir.file("plain/sub")).error().os_error(), ENOTDIR);
}

TEST(FileTest, FaultHookShortensAndFailsWrites) {
  testing::TempDir dir;
  File f = File::open(dir.file("f"), O_CREAT | O_WRONLY).value();
  Result<void> r;
  {
    // The first write call writes half (3 bytes), the retry for the rest fails.
    testing::ScopedFaultHook hook(
        {{{FileOp::Write, FaultPhase::Before, ""}, 1, testing::FaultRule::Action::ShortThenFail, ENOSPC}});
    r = f.write_all("abcdef");
  }
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error().to_string(), "io error: No space left on device (os error 28)");
  EXPECT_EQ(read_file(dir.file("f")).value(), "abc");
}

}  // namespace
}  // namespace quenlordb::util
