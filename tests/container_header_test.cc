#include "container/container_header.h"

#include <gtest/gtest.h>

#include <vector>

namespace qzr {
namespace {

Expected<QzrHeader> read(std::vector<uint8_t> bytes) {
  ByteReader in = memory_reader(bytes);
  return read_container_header(in, "pic.qzr");
}

TEST(ContainerHeader, PaddingRoundsUpToMultiplesOf256) {
  const std::pair<uint32_t, uint32_t> cases[] = {{0, 0},     {1, 256},   {255, 256}, {256, 256},
                                                 {257, 512}, {480, 512}, {640, 768}, {65535, 65536}};
  for (auto [d, padded] : cases) EXPECT_EQ(pad_dimension(d), padded) << d;
}

TEST(ContainerHeader, ReadsSizesAndLeavesStreamAtPayload) {
  auto b = make_container_header(640, 480);
  std::vector<uint8_t> bytes(b.begin(), b.end());
  bytes[4] = 0xAA;  // unexamined fields change nothing
  bytes[20] = 0x55;
  bytes.push_back(0x42);
  ByteReader in = memory_reader(bytes);
  Expected<QzrHeader> h = read_container_header(in, "x");
  ASSERT_TRUE(h.ok());
  EXPECT_EQ(bytes[8], 0x80);
  EXPECT_EQ(bytes[11], 0x01);
  EXPECT_EQ(h.value().width, 640);
  EXPECT_EQ(h.value().height, 480);
  EXPECT_EQ(h.value().padded_width, 768u);
  EXPECT_EQ(h.value().padded_height, 512u);
  EXPECT_EQ(format_size_line(h.value()), "Image width 640, height 480...");
  EXPECT_EQ(in.read_byte(), 0x42);
}

TEST(ContainerHeader, FailuresComeInTheFormatsOrder) {
  auto good = make_container_header(256, 512);
  std::vector<uint8_t> valid(good.begin(), good.end());

  // Too short beats a bad magic; the message names the file.
  for (size_t n : {size_t{0}, size_t{31}}) {
    std::vector<uint8_t> shorter(n, 'x');
    Expected<QzrHeader> r = read(shorter);
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.failure().text, "error reading QZR header from file pic.qzr !\n");
    EXPECT_EQ(r.failure().exit_status, -1);
  }
  // Magic in other case or order: no size line.
  for (const char* magic : {"VKQZ", "vkqz", "QZvk"}) {
    std::vector<uint8_t> bad = valid;
    std::copy(magic, magic + 4, bad.begin());
    Expected<QzrHeader> r = read(bad);
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.failure().text, "Not quorlen wavelet image file!\n");
  }
  // Wrong version: the size line comes first, then the message on a new line.
  std::vector<uint8_t> version = valid;
  version[31] = '2';
  Expected<QzrHeader> r = read(version);
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.failure().text,
            "Image width 256, height 512...\n"
            "This decompressor supported quorlen qzr images produced with codec v1.1!\n");
  EXPECT_TRUE(read(valid).ok());
}

}  // namespace
}  // namespace qzr
