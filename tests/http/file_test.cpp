#include "http/file.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <vector>
#include <unistd.h>

namespace velmora::http {
namespace {

TEST(FileTest, OpenReadWriteSeek) {
  try {
    File::openReading("/nonexistent/velmora/file");
    FAIL() << "a missing file must fail";
  } catch (const FileError& error) {
    EXPECT_EQ(error.errorNumber(), ENOENT);
  }

  char path[] = "/tmp/velmora-file-test-XXXXXX";
  ::close(mkstemp(path));
  File out = File::openWriting(path);
  const std::vector<uint8_t> bytes = {'a', 'b', 'c', 'd'};
  out.write(bytes);
  out.write({});  // nothing, no failure
  out.close();

  File in = File::openReading(path);
  std::vector<uint8_t> buffer(3, 'x');
  EXPECT_EQ(in.read(std::span<uint8_t>()), 0u);
  EXPECT_EQ(in.read(buffer), 3u);
  EXPECT_EQ(in.read(buffer), 1u);  // end of file: the rest of the buffer is unchanged
  EXPECT_EQ(buffer, (std::vector<uint8_t>{'d', 'b', 'c'}));
  EXPECT_EQ(in.read(buffer), 0u);
  EXPECT_TRUE(in.seek(1));
  EXPECT_FALSE(in.seek(-1));
  EXPECT_EQ(in.read(buffer), 3u);
  EXPECT_EQ(buffer, (std::vector<uint8_t>{'b', 'c', 'd'}));
  in.close();

  // A write-only stream cannot be read: the failure carries errno.
  File writeOnly = File::openWithMode(path, "ab");
  EXPECT_THROW(writeOnly.read(buffer), FileError);
  writeOnly.close();
  std::remove(path);
}

}  // namespace
}  // namespace velmora::http
