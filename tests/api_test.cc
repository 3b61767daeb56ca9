// The public header: what a program that links the library sees.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

#include "decode.h"
#include "files.h"
#include "qzr/decode.h"
#include "qzr/qzr.h"

namespace {

namespace fs = std::filesystem;

using qzr::test::read_file;
using qzr::test::write_file;

qzr::Picture gradient(int width, int height) {
  qzr::Picture p{width, height, {}};
  for (int y = 0; y < height; ++y)
    for (int x = 0; x < width; ++x)
      p.rgb.insert(p.rgb.end(), {static_cast<uint8_t>(255 * x / width), static_cast<uint8_t>(255 * y / height),
                                 static_cast<uint8_t>(255 - 127 * (x + y) / (width + height))});
  return p;
}

// The decoded picture, turned back into a BMP, is the file qzrdec writes
// (the core's in-memory decode gives those bytes; the process tests tie
// them to the program).
TEST(PublicApi, SamplesDecodeToThePictureOfQzrdecsBmp) {
  for (const char* name : {"astronaut.qzr", "coffee.qzr"}) {
    const fs::path path = fs::path(QZR_SAMPLES_DIR) / name;
    const std::vector<uint8_t> file = read_file(path);
    qzr::Expected<qzr::DecodedBmp> core = qzr::decode_to_bmp(file);
    ASSERT_TRUE(core.ok()) << name;
    qzr::Result<qzr::Picture> from_buffer = qzr::decode_buffer(file);
    qzr::Result<qzr::Picture> from_file = qzr::decode_file(path.string());
    ASSERT_TRUE(from_buffer.ok() && from_file.ok()) << name;
    const qzr::Picture& p = from_buffer.value();
    EXPECT_EQ(p.width, core.value().header.width);
    EXPECT_EQ(p.height, core.value().header.height);
    ASSERT_EQ(p.rgb.size(), size_t{3} * p.width * p.height);
    EXPECT_EQ(from_file.value().rgb, p.rgb) << name;
    EXPECT_EQ(qzr::to_bmp(p), core.value().bmp) << name;

    // The C API's pixels are the same picture.
    qzr_info info;
    ASSERT_EQ(qzr_get_info(file.data(), file.size(), &info), QZR_OK);
    EXPECT_EQ(info.width, uint32_t(p.width));
    std::vector<uint8_t> rgb(p.rgb.size());
    ASSERT_EQ(qzr_decode_into(file.data(), file.size(), nullptr, rgb.data(), 3 * info.width, rgb.size()), QZR_OK);
    EXPECT_EQ(rgb, p.rgb) << name;
  }
}

// Rows top to bottom, R, G, B: what went into the encoder comes back the
// same way round (the colours only as exactly as the coding keeps them).
TEST(PublicApi, EncodeAndDecodeKeepTheOrientationAndColours) {
  qzr::Picture in = gradient(96, 64);
  qzr::EncodeOptions options;
  options.quality = 95;
  qzr::Result<qzr::EncodedFile> file = qzr::encode(in, options);
  ASSERT_TRUE(file.ok()) << file.failure().text;
  EXPECT_EQ(file.value().quality, 95);
  EXPECT_NEAR(file.value().bits_per_pixel, 8.0 * file.value().bytes.size() / (96 * 64), 1e-9);
  qzr::Result<qzr::Picture> out = qzr::decode_buffer(file.value().bytes);
  ASSERT_TRUE(out.ok()) << out.failure().text;
  ASSERT_EQ(out.value().width, 96);
  ASSERT_EQ(out.value().height, 64);
  auto at = [](const qzr::Picture& p, int x, int y, int c) { return int{p.rgb[size_t{3} * (y * p.width + x) + c]}; };
  for (auto [x, y] : {std::pair{2, 2}, {90, 3}, {4, 60}, {92, 61}, {48, 32}})
    for (int c = 0; c < 3; ++c)
      EXPECT_NEAR(at(out.value(), x, y, c), at(in, x, y, c), 12) << x << "," << y << " c" << c;

  qzr::EncodeOptions small;
  small.target_bpp = 1.0;
  qzr::Result<qzr::EncodedFile> aimed = qzr::encode(in, small);
  ASSERT_TRUE(aimed.ok());
  EXPECT_TRUE(aimed.value().target_reached);
  EXPECT_LE(aimed.value().bits_per_pixel, 1.0);
}

TEST(PublicApi, FailuresCarryQzrdecsTextAndStatus) {
  const auto stamp = std::chrono::steady_clock::now().time_since_epoch().count();
  const fs::path dir = fs::temp_directory_path() / ("qzr_api_" + std::to_string(stamp));
  fs::create_directories(dir);
  const std::string missing = (dir / "missing%s.qzr").string();
  qzr::Result<qzr::Picture> r = qzr::decode_file(missing);
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.failure().text, "error opening file " + missing + " !\n");
  EXPECT_EQ(r.failure().exit_status, -1);

  const fs::path short_file = dir / "short.qzr";
  write_file(short_file, {'v', 'k', 'Q', 'Z'});
  r = qzr::decode_file(short_file.string());
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.failure().text, "error reading QZR header from file " + short_file.string() + " !\n");

  std::vector<uint8_t> bad_magic = read_file(fs::path(QZR_SAMPLES_DIR) / "coffee.qzr");
  bad_magic[0] = 'V';
  r = qzr::decode_buffer(bad_magic);
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.failure().text, "Not quorlen wavelet image file!\n");

  const std::vector<uint8_t> no_length(bad_magic.begin(), bad_magic.begin() + 34);
  std::vector<uint8_t> header_only = no_length;
  header_only[0] = 'v';
  r = qzr::decode_buffer(header_only);
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.failure().text, "\nRead Error\n");
  EXPECT_EQ(r.failure().exit_status, 1);
  fs::remove_all(dir);
}

TEST(PublicApi, InconsistentPicturesAreRefused) {
  qzr::Picture wrong_size{4, 4, std::vector<uint8_t>(47)};
  EXPECT_TRUE(qzr::to_bmp(wrong_size).empty());
  EXPECT_TRUE(qzr::to_bmp(qzr::Picture{-1, 1, {}}).empty());
  EXPECT_TRUE(qzr::to_bmp(qzr::Picture{70000, 1, std::vector<uint8_t>(210000)}).empty());
  EXPECT_EQ(qzr::to_bmp(qzr::Picture{}).size(), 54u);  // a picture of no pixels is a bare header

  qzr::Result<qzr::EncodedFile> e = qzr::encode(wrong_size);
  ASSERT_FALSE(e.ok());
  EXPECT_EQ(e.failure().text, "picture data hold 47 bytes, not 3 x 4 x 4\n");
  qzr::EncodeOptions bad_levels;
  bad_levels.levels = qzr::kMaxEncodeLevels + 1;
  EXPECT_FALSE(qzr::encode(gradient(8, 8), bad_levels).ok());
}

}  // namespace
