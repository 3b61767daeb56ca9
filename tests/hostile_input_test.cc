// Damaged and hostile files: every one ends in bounded time and memory with
// the exact picture or a clear message, never a crash or a hang.
#include <gtest/gtest.h>

#include <chrono>
#include <random>
#include <string>
#include <vector>

#include "container/container_header.h"
#include "decode.h"
#include "encoder/encoder.h"
#include "encoder/lzari_encoder.h"
#include "process.h"
#include "qzr_files.h"
#include "stream_builder.h"

namespace qzr {
namespace {

using test::Bytes;
using test::qzr_file;

std::vector<uint8_t> small_photo_file() {
  enc::Image image;
  image.width = 29;
  image.height = 19;
  for (int y = 0; y < image.height; ++y)
    for (int x = 0; x < image.width; ++x)
      image.rgb.insert(image.rgb.end(), {static_cast<uint8_t>(x * 4), static_cast<uint8_t>((x * y) & 0xFF),
                                         static_cast<uint8_t>(200 - 3 * y)});
  enc::EncodeOptions options;
  options.quality = 50;
  options.levels = 3;
  return enc::encode_image(image, options).value();
}

// The in-memory decode with the limits a library caller would set.
Expected<DecodedBmp> decode(const std::vector<uint8_t>& file) {
  DecodeLimits limits;
  limits.max_payload = 64 << 20;
  return decode_to_bmp(file, limits);
}

TEST(HostileInput, EveryPrefixEndsWithTheFormatsMessageOrAFailure) {
  const std::vector<uint8_t> file = small_photo_file();
  ASSERT_TRUE(decode(file).ok());
  std::printf("  %zu prefixes\n", file.size());
  for (size_t n = 0; n < file.size(); ++n) {
    const std::vector<uint8_t> prefix(file.begin(), file.begin() + static_cast<std::ptrdiff_t>(n));
    Expected<DecodedBmp> r = decode(prefix);
    if (n < 32) {
      ASSERT_FALSE(r.ok());
      EXPECT_EQ(r.failure().text, "error reading QZR header from file (memory) !\n");
    } else if (n < 36) {
      ASSERT_FALSE(r.ok());
      EXPECT_EQ(r.failure().text, "\nRead Error\n");
      EXPECT_EQ(r.failure().exit_status, 1);
    } else if (!r.ok()) {
      EXPECT_FALSE(r.failure().text.empty()) << n;
      EXPECT_EQ(r.failure().exit_status, -1) << n;
    }
  }
}

TEST(HostileInput, SingleByteCorruptionsNeverCrash) {
  const std::vector<uint8_t> file = small_photo_file();
  std::mt19937 rng(99);
  int failures = 0;
  for (int round = 0; round < 3000; ++round) {
    std::vector<uint8_t> bad = file;
    const size_t at = rng() % bad.size();
    bad[at] = static_cast<uint8_t>(bad[at] ^ (1 + rng() % 255));
    Expected<DecodedBmp> r = decode(bad);
    if (!r.ok()) {
      ++failures;
      EXPECT_FALSE(r.failure().text.empty());
    }
    if (at < 4) {
      EXPECT_EQ(r.failure().text, "Not quorlen wavelet image file!\n");
    }
  }
  EXPECT_GT(failures, 0);
}

// Hostile files run as the console program: each ends within seconds and
// within memory proportional to the image its header names.
TEST(HostileInput, HostileFilesEndInBoundedTimeAndMemory) {
  struct Case {
    std::string name;
    std::vector<uint8_t> file;
  };
  std::vector<Case> cases;
  {  // Huge dimensions, a 20-byte payload and a 4 GB length word.
    auto h = make_container_header(65535, 65535);
    std::vector<uint8_t> f(h.begin(), h.end());
    f.insert(f.end(), {0xFF, 0xFF, 0xFF, 0xFF, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16});
    cases.push_back({"4 GB length word", f});
  }
  {  // A plane stream asking for the largest plane the format can describe.
    Bytes b;
    b.text("$YSeg").append(test::plane_header(1, 32766, 32766, 1));
    cases.push_back({"largest plane for a small image", qzr_file(16, 16, b.b)});
  }
  {  // Two billion codes of a two-leaf tree, then the data ends.
    Bytes b;
    b.text("$YSeg").append(test::plane_header(1, 256, 256, 1));
    b.raw({0x80, 0, 1, 0x81, 0, 1, 0x82, 0, 1, 0x83, 0, 1, 0}).be32(2000000000);
    b.raw({0x00, 0x01, 0x05, 0x00, 0x01, 0x04, 0x80}).raw({0x55, 0x55});
    cases.push_back({"huge symbol count", qzr_file(256, 256, b.b)});
  }
  {  // A tree a million levels deep.
    Bytes b;
    b.text("$YSeg").append(test::plane_header(1, 256, 256, 1)).raw({0x80, 0, 1, 0}).be32(1000);
    for (int i = 0; i < 1000000; ++i) b.raw({0x00, 0x01, 0x01, 0x00});
    b.raw({0x01, 0x02, 0x00});
    cases.push_back({"deep tree", qzr_file(256, 256, b.b)});
  }
  {  // Hundreds of thousands of tiny groups refilling the whole plane.
    Bytes b;
    b.text("$YSeg").append(test::plane_header(1, 256, 256, 1));
    b.append(test::single_leaf_group({{0, 1}, {1, 1}, {2, 1}}, 1, test::run_code(30)));
    for (int i = 0; i < 300000; ++i) b.append(test::single_leaf_group({}, 1, test::run_code(30)));
    cases.push_back({"endless tiny groups", qzr_file(256, 256, b.b)});
  }
  for (const Case& c : cases) {
    test::ScratchDir dir;
    test::write_file(dir / "h.qzr", c.file);
    test::ProcessResult r = test::run_process(QZRDEC_PATH, {"h.qzr"}, dir.path, test::Stdin::kDevNull, 30000);
    EXPECT_FALSE(r.timed_out) << c.name;
    EXPECT_EQ(r.status, 255) << c.name << ": " << r.out;
    EXPECT_LT(r.seconds, 10.0) << c.name;
    EXPECT_LT(r.peak_kib, 200 * 1024) << c.name;
    std::printf("  %-32s %6.2f s %8ld KiB  %s", c.name.c_str(), r.seconds, r.peak_kib,
                r.out.substr(r.out.rfind("...") + 3).c_str());
  }
}

}  // namespace
}  // namespace qzr

namespace qzr {
namespace {

// The same decode on one thread and on several: the expansion, the reading
// of the planes as their bytes arrive and the synthesis beside it must give
// every file's picture, and every damaged file's first failure, exactly as
// the planes in turn do.
Expected<DecodedBmp> decode_on(const std::vector<uint8_t>& file, int threads) {
  DecodeLimits limits;
  limits.max_payload = 64 << 20;
  limits.threads = threads;
  return decode_to_bmp(file, limits);
}

void expect_same_on_threads(const std::vector<uint8_t>& file, const std::string& what) {
  const Expected<DecodedBmp> one = decode_on(file, 1);
  for (int threads : {2, 3}) {
    const Expected<DecodedBmp> many = decode_on(file, threads);
    ASSERT_EQ(one.ok(), many.ok()) << what << ", " << threads << " threads";
    if (one.ok()) {
      ASSERT_TRUE(one.value().bmp == many.value().bmp) << what << ", " << threads << " threads";
    } else {
      ASSERT_EQ(one.failure().text, many.failure().text) << what;
      ASSERT_EQ(one.failure().exit_status, many.failure().exit_status) << what;
      ASSERT_EQ(one.failure().kind, many.failure().kind) << what;
    }
  }
}

TEST(Threads, PicturesAndFailuresAreThoseOfOneThread) {
  for (const char* name : {"astronaut.qzr", "coffee.qzr"}) {
    const std::vector<uint8_t> file = test::read_file(std::string(QZR_SAMPLES_DIR) + "/" + name);
    ASSERT_FALSE(file.empty()) << name;
    expect_same_on_threads(file, name);
  }
  const std::vector<uint8_t> file = small_photo_file();
  for (size_t n = 32; n <= file.size(); n += 7)
    expect_same_on_threads({file.begin(), file.begin() + static_cast<std::ptrdiff_t>(n)},
                           "prefix of " + std::to_string(n));
  std::mt19937 random(20261209);
  for (int k = 0; k < 300; ++k) {
    std::vector<uint8_t> damaged = file;
    const size_t at = 36 + random() % (damaged.size() - 36);
    damaged[at] = static_cast<uint8_t>(damaged[at] ^ (1u << (random() % 8)));
    expect_same_on_threads(damaged, "flip at " + std::to_string(at));
  }
}

}  // namespace
}  // namespace qzr
