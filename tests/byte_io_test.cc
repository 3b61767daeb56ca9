#include "common/byte_io.h"

#include "common/growing_bytes.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <vector>

namespace qzr {
namespace {

std::vector<uint8_t> pattern(size_t n, uint8_t seed) {
  std::vector<uint8_t> b(n);
  for (size_t i = 0; i < n; ++i) b[i] = static_cast<uint8_t>(seed + i * 13);
  return b;
}

// Writes below, at and above the buffer's size, with and without bytes
// already buffered: the sink gets them all, in order.
TEST(ByteWriter, BlocksPastTheBufferKeepTheOrder) {
  const size_t buffer = 64;
  const size_t sizes[] = {1, 63, 64, 200, 3, 64, 0, 65, 10, 500, 64};
  std::vector<uint8_t> expected;
  auto write_all = [&](ByteWriter& w) {
    expected.clear();
    uint8_t seed = 0;
    for (size_t n : sizes) {
      const std::vector<uint8_t> b = pattern(n, seed++);
      w.write(b.data(), b.size());
      expected.insert(expected.end(), b.begin(), b.end());
      w.put(seed);
      expected.push_back(seed);
    }
    w.flush();
  };

  std::vector<uint8_t> memory;
  ByteWriter m = memory_writer(memory, buffer);
  write_all(m);
  EXPECT_EQ(memory, expected);

  std::FILE* f = std::tmpfile();
  ASSERT_NE(f, nullptr);
  GrowingBytes growing(1 << 12);
  ByteWriter w = file_writer(f, buffer);
  w.growing = &growing;
  write_all(w);
  EXPECT_FALSE(w.failed);
  growing.close();
  ASSERT_EQ(growing.wait_beyond(0), expected.size());
  EXPECT_EQ(std::vector<uint8_t>(growing.data(), growing.data() + expected.size()), expected);
  std::rewind(f);
  std::vector<uint8_t> in_file(expected.size() + 1);
  EXPECT_EQ(std::fread(in_file.data(), 1, in_file.size(), f), expected.size());
  in_file.resize(expected.size());
  EXPECT_EQ(in_file, expected);
  std::fclose(f);
}

// A file that takes no bytes: the failure shows whichever way the bytes
// went, and the memory beside it still gets them all.
TEST(ByteWriter, AShortWriteMarksTheWriterFailed) {
  for (size_t n : {size_t{10}, size_t{100}}) {
    std::FILE* f = std::tmpfile();
    ASSERT_NE(f, nullptr);
    std::FILE* read_only = std::freopen(nullptr, "rb", f);
    if (read_only == nullptr) GTEST_SKIP() << "no reopening of a temporary file here";
    GrowingBytes growing(1 << 10);
    ByteWriter w = file_writer(read_only, 64);
    w.growing = &growing;
    const std::vector<uint8_t> b = pattern(n, 1);
    w.write(b.data(), b.size());
    w.write(b.data(), b.size());
    w.flush();
    EXPECT_TRUE(w.failed) << n;
    growing.close();
    EXPECT_EQ(growing.wait_beyond(0), 2 * n);
    std::fclose(read_only);
  }
}

}  // namespace
}  // namespace qzr
