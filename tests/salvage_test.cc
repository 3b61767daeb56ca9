// Showing what survives of damaged files: whole files salvage to their own
// picture, cut and broken ones to what arrived of them.
#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <string>
#include <vector>

#include "files.h"
#include "qzr/decode.h"
#include "qzr/qzr.h"
#include "qzr_files.h"
#include "stream_builder.h"

namespace qzr {
namespace {

using test::Bytes;
using test::qzr_file;
using test::single_leaf_group;

const std::string kSamples = QZR_SAMPLES_DIR;

double psnr(const std::vector<uint8_t>& a, const std::vector<uint8_t>& b) {
  double sum = 0;
  for (size_t i = 0; i < a.size(); ++i) sum += (a[i] - b[i]) * double(a[i] - b[i]);
  return sum == 0 ? 99 : 10 * std::log10(255.0 * 255.0 * double(a.size()) / sum);
}

std::vector<uint8_t> cut(const std::vector<uint8_t>& file, double fraction) {
  return {file.begin(), file.begin() + static_cast<std::ptrdiff_t>(double(file.size()) * fraction)};
}

TEST(Salvage, AWholeFileGivesItsOwnPictureAndNothingLost) {
  for (const char* name : {"astronaut.qzr", "coffee.qzr"}) {
    SCOPED_TRACE(name);
    const std::vector<uint8_t> file = test::read_file(kSamples + "/" + name);
    const Result<Picture> decoded = decode_buffer(file);
    const Result<Salvaged> salvaged = salvage(file);
    ASSERT_TRUE(decoded.ok() && salvaged.ok());
    EXPECT_FALSE(salvaged.value().damaged());
    EXPECT_TRUE(salvaged.value().picture.rgb == decoded.value().rgb);
    const qzr_salvage_report& r = salvaged.value().report;
    EXPECT_EQ(r.payload_decided, r.payload_length);
    for (const qzr_plane_recovery& p : r.planes) {
      EXPECT_GT(p.bands, 1u);
      EXPECT_EQ(p.bands_whole, p.bands);
      EXPECT_EQ(p.groups_partial, 0u);
      EXPECT_EQ(p.neutral, 0u);
    }
  }
}

TEST(Salvage, ACutFileShowsMoreOfItsPictureTheMoreOfItArrived) {
  const std::vector<uint8_t> file = test::read_file(kSamples + "/coffee.qzr");
  const std::vector<uint8_t> whole = decode_buffer(file).value().rgb;
  double previous_psnr = 0;
  uint32_t previous_luma = 0;
  for (double fraction : {0.02, 0.1, 0.3, 0.5, 0.7, 0.9, 0.95, 0.99}) {
    SCOPED_TRACE(fraction);
    const std::vector<uint8_t> part = cut(file, fraction);
    const Result<Salvaged> s = salvage(part);
    ASSERT_TRUE(s.ok());
    ASSERT_TRUE(s.value().damaged());
    EXPECT_NE(s.value().failure.find("cut short"), std::string::npos) << s.value().failure;
    ASSERT_EQ(s.value().picture.rgb.size(), whole.size());
    const qzr_salvage_report& r = s.value().report;
    EXPECT_LT(r.payload_decided, r.payload_length);
    // Bands only come in: whole bands stay whole as more arrives.
    const qzr_plane_recovery& y = r.planes[0];
    EXPECT_GE(y.bands_whole, previous_luma);
    previous_luma = y.bands_whole;
    if (y.bands > 0) {
      EXPECT_EQ(y.bands_whole + y.bands_partial + y.bands_missing, y.bands);
    }
    const double p = psnr(s.value().picture.rgb, whole);
    EXPECT_GE(p, previous_psnr - 0.5);
    previous_psnr = p;
  }
  EXPECT_GT(previous_psnr, 30);  // at 99% only the last chroma detail is missing
}

TEST(Salvage, FlippedBitsNeverCrashOrPassAsWhole) {
  const std::vector<uint8_t> file = test::read_file(kSamples + "/astronaut.qzr");
  std::mt19937 rng(9);
  for (int round = 0; round < 24; ++round) {
    std::vector<uint8_t> damaged = file;
    const size_t bit = 8 * 36 + rng() % (8 * (file.size() - 36));
    damaged[bit / 8] ^= static_cast<uint8_t>(1u << (bit % 8));
    const Result<Salvaged> s = salvage(damaged);
    ASSERT_TRUE(s.ok()) << bit;
    ASSERT_EQ(s.value().picture.rgb.size(), size_t{3} * s.value().picture.width * s.value().picture.height);
    // A flip the decode passes over may still show only as damage signs;
    // one that makes the decode fail is never called whole.
    if (!decode_buffer(damaged).ok()) {
      EXPECT_TRUE(s.value().damaged()) << bit;
    }
  }
}

// A plane stream that fails part way keeps what came before the failure:
// the same picture as a file that ends right there.
TEST(Salvage, AStreamThatFailsKeepsWhatCameBefore) {
  const int n = 256;
  Bytes luma = test::plane_header(2, n, n, 1);
  luma.append(single_leaf_group({{0, 4}, {1, 1}, {2, 1}, {3, 1}}, n * n / 4, test::value_code(30)));
  const Bytes chroma = test::flat_plane(n / 2, n, 128);
  const Bytes bad_group = Bytes().raw({0x84, 0x00, 0x01, 0x05});  // a header list ended by 0x05
  Bytes broken = Bytes().text("$YSeg"), ended = Bytes().text("$YSeg");
  broken.append(luma).append(bad_group);
  ended.append(luma);
  for (Bytes* b : {&broken, &ended}) b->text("$USeg").append(chroma).text("$VSeg").append(chroma);
  const Result<Salvaged> a = salvage(qzr_file(n, n, broken)), b = salvage(qzr_file(n, n, ended));
  ASSERT_TRUE(a.ok() && b.ok());
  EXPECT_NE(a.value().failure.find("Bad band header list"), std::string::npos) << a.value().failure;
  EXPECT_TRUE(a.value().picture.rgb == b.value().picture.rgb);
  const qzr_plane_recovery& y = a.value().report.planes[0];
  EXPECT_EQ(y.bands, 7u);
  EXPECT_EQ(y.bands_whole, 4u);
  EXPECT_EQ(y.bands_missing, 3u);
  EXPECT_EQ(y.groups_whole, 1u);
  EXPECT_EQ(y.neutral, 0u);
}

TEST(Salvage, MissingPlanesAreNeutral) {
  // Only the luma plane, flat at 64: grey pixels of that level, no colour.
  const int n = 256;
  Bytes intermediate = Bytes().text("$YSeg");
  intermediate.append(test::flat_plane(n, n, 64));
  const Result<Salvaged> s = salvage(qzr_file(n, n, intermediate));
  ASSERT_TRUE(s.ok());
  EXPECT_NE(s.value().failure.find("Segment USeg not found"), std::string::npos) << s.value().failure;
  for (uint8_t v : s.value().picture.rgb) ASSERT_EQ(v, 64);
  EXPECT_EQ(s.value().report.planes[1].neutral, 1u);
  EXPECT_EQ(s.value().report.planes[1].bands, 0u);
  // No luma either: mid-grey.
  const Result<Salvaged> none = salvage(qzr_file(n, n, Bytes().text("nothing")));
  ASSERT_TRUE(none.ok());
  for (uint8_t v : none.value().picture.rgb) ASSERT_EQ(v, 128);
}

TEST(Salvage, TheCFaceReportsAndRefusesAsTheDecodeDoes) {
  const std::vector<uint8_t> file = cut(test::read_file(kSamples + "/coffee.qzr"), 0.5);
  qzr_info info;
  ASSERT_EQ(qzr_get_info(file.data(), file.size(), &info), QZR_OK);
  std::vector<uint8_t> pixels(size_t{4} * info.width * info.height);
  char message[256] = "x";
  qzr_decode_options o;
  qzr_decode_options_init(&o);
  o.format = QZR_PIXEL_BGRA;
  o.message = message;
  o.message_size = sizeof message;
  qzr_salvage_report report{};
  EXPECT_EQ(qzr_salvage_into(file.data(), file.size(), &o, pixels.data(), 4 * info.width, pixels.size(), &report),
            QZR_ERROR_DAMAGED);
  EXPECT_NE(std::string(message).find("cut short"), std::string::npos) << message;
  EXPECT_GT(report.planes[0].bands_whole, 0u);
  EXPECT_EQ(pixels[3], 255);  // alpha
  // No report wanted; a buffer too small; not a QZR file.
  EXPECT_EQ(qzr_salvage_into(file.data(), file.size(), &o, pixels.data(), 4 * info.width, pixels.size(), nullptr),
            QZR_ERROR_DAMAGED);
  EXPECT_EQ(qzr_salvage_into(file.data(), file.size(), &o, pixels.data(), 4 * info.width, 10, &report),
            QZR_ERROR_ARGUMENT);
  const qzr_salvage_report before = report;
  std::vector<uint8_t> other = file;
  other[0] = 'x';
  EXPECT_EQ(qzr_salvage_into(other.data(), other.size(), nullptr, pixels.data(), 4 * info.width, pixels.size(),
                             &report),
            QZR_ERROR_NOT_QZR);
  EXPECT_EQ(report.payload_decided, before.payload_decided);
  EXPECT_EQ(qzr_salvage_into(nullptr, 0, nullptr, pixels.data(), 1, 1, &report), QZR_ERROR_ARGUMENT);
}

}  // namespace
}  // namespace qzr
