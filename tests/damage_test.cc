// The damage a decode passes over: files whose pictures still decode, but
// whose bytes show what no sound encoder writes, carry signs of it; files
// from sound encoders carry none.
#include <gtest/gtest.h>

#include <optional>
#include <random>
#include <string>
#include <vector>

#include "decode.h"
#include "process.h"
#include "qzr/qzr.h"
#include "qzr_files.h"
#include "stream_builder.h"

namespace qzr {
namespace {

using test::Bytes;
using test::flat_plane;
using test::qzr_file;
using test::run_code;
using test::single_leaf_group;
using test::value_code;

const std::string kSamples = QZR_SAMPLES_DIR;

// The signs the in-memory decode notes, which must be the same on one thread
// and on two; nullopt when the decode refuses the file.
std::optional<DamageSigns> signs_of(const std::vector<uint8_t>& file) {
  std::optional<DamageSigns> first;
  for (int threads : {1, 2}) {
    DecodeLimits limits;
    limits.threads = threads;
    Expected<DecodedPlanes> d = decode_planes_in_memory(file, limits, "(memory)");
    std::optional<DamageSigns> signs;
    if (d.ok()) signs = d.value().damage;
    if (threads == 1)
      first = signs;
    else
      EXPECT_EQ(signs, first);
  }
  return first;
}

bool has_sign(const std::optional<DamageSigns>& signs, const std::string& text) {
  if (!signs) return false;
  for (const std::string& s : *signs)
    if (s.find(text) != std::string::npos) return true;
  return false;
}

// Refused by the decode, or decoded with a sign that says so.
void expect_damaged(const std::vector<uint8_t>& file, const std::string& sign) {
  const std::optional<DamageSigns> signs = signs_of(file);
  if (signs) {
    EXPECT_TRUE(has_sign(signs, sign)) << (signs->empty() ? "no sign" : signs->front());
  }
}

Bytes planes(const Bytes& y, const Bytes& u, const Bytes& v) {
  return Bytes().text("$YSeg").append(y).text("$USeg").append(u).text("$VSeg").append(v);
}

// A 256 x 256 picture whose luma plane is `y`.
Bytes with_luma(const Bytes& y) { return planes(y, flat_plane(128, 256, 140), flat_plane(128, 256, 92)); }

TEST(Damage, FilesOfSoundEncodersShowNone) {
  for (const char* name : {"astronaut.qzr", "coffee.qzr"}) {
    SCOPED_TRACE(name);
    const std::optional<DamageSigns> signs = signs_of(test::read_file(kSamples + "/" + name));
    ASSERT_TRUE(signs);
    EXPECT_TRUE(signs->empty()) << signs->front();
  }
  // The encoder's files in many sizes and qualities: their codes end in
  // every way (the last bytes 0xFF too).
  std::mt19937 rng(3);
  for (int round = 0; round < 24; ++round) {
    SCOPED_TRACE(round);
    Picture p;
    p.width = 1 + static_cast<int>(rng() % 300);
    p.height = 1 + static_cast<int>(rng() % 200);
    p.rgb.resize(size_t{3} * p.width * p.height);
    for (size_t i = 0; i < p.rgb.size(); ++i) p.rgb[i] = static_cast<uint8_t>((i / 3 % 97) * 2 + rng() % 9);
    EncodeOptions options;
    options.quality = 5 + round * 4;
    options.levels = 1 + round % 5;
    Result<EncodedFile> file = encode(p, options);
    ASSERT_TRUE(file.ok()) << file.failure().text;
    const std::optional<DamageSigns> signs = signs_of(file.value().bytes);
    ASSERT_TRUE(signs);
    EXPECT_TRUE(signs->empty()) << signs->front();
  }
  // The format's own devices: bytes before the first segment, a group
  // without bands (it refills the previous group's span), codes left once a
  // span is full.
  Bytes y = test::plane_header(1, 256, 256, 1);
  y.append(single_leaf_group({{0, 1}}, 128 * 128, value_code(100)));
  y.append(single_leaf_group({}, 128 * 128, value_code(100)));
  y.append(single_leaf_group({{1, 1}, {2, 1}, {3, 1}}, 5, run_code(14)));
  const std::optional<DamageSigns> signs = signs_of(qzr_file(256, 256, Bytes().text("preamble").append(with_luma(y))));
  ASSERT_TRUE(signs);
  EXPECT_TRUE(signs->empty()) << signs->front();
}

TEST(Damage, CutAndLengthenedFilesAreDamaged) {
  const std::vector<uint8_t> whole = test::read_file(kSamples + "/coffee.qzr");
  for (size_t cut : {1, 2, 3, 8, 110, 1092}) {
    SCOPED_TRACE(cut);
    expect_damaged(std::vector<uint8_t>(whole.begin(), whole.end() - static_cast<std::ptrdiff_t>(cut)), "cut short");
  }
  // (Up to two bytes more lie within the decoder's look-ahead, which reads them.)
  for (size_t extra : {3, 100}) {
    SCOPED_TRACE(extra);
    std::vector<uint8_t> longer = whole;
    longer.insert(longer.end(), extra, 0);
    expect_damaged(longer, "after the payload's code that nothing reads");
  }
  // A size in the header that is not the planes' (the low byte of a size
  // moves the visible edge within the padding, which no byte of the file
  // repeats: that the audit cannot see).
  std::vector<uint8_t> wider = whole;
  wider[9] ^= 0x01;
  expect_damaged(wider, "plane where the picture has");
  // Bit flips anywhere in the payload.
  std::mt19937 rng(8);
  for (int round = 0; round < 60; ++round) {
    std::vector<uint8_t> flipped = whole;
    const size_t at = 32 + rng() % (whole.size() - 32);
    flipped[at] ^= static_cast<uint8_t>(1u << (rng() % 8));
    SCOPED_TRACE(at);
    const std::optional<DamageSigns> signs = signs_of(flipped);
    EXPECT_TRUE(!signs || !signs->empty());
  }
}

TEST(Damage, HandBuiltStreamsShowEachSign) {
  const int quarter = 128 * 128;
  const Bytes luma = flat_plane(256, 256, 100);
  auto luma_with = [&](std::initializer_list<Bytes> groups) {
    Bytes y = test::plane_header(1, 256, 256, 1);
    for (const Bytes& g : groups) y.append(g);
    return with_luma(y);
  };
  const Bytes approximation = single_leaf_group({{0, 1}}, quarter, value_code(100));
  struct Case {
    const char* what;
    Bytes intermediate;
    std::string sign;
  };
  const Case cases[] = {
      {"junk between planes",
       Bytes().text("$YSeg").append(luma).text("$USeg").append(flat_plane(128, 256, 140)).text("junk$VSeg").append(
           flat_plane(128, 256, 92)),
       "4 bytes skipped before segment VSeg"},
      {"bytes after the last plane", with_luma(luma).text("tail"),
       "4 bytes of the payload after the last plane stream"},
      {"a band listed twice",
       luma_with({approximation, single_leaf_group({{1, 1}, {2, 1}}, 2, run_code(14)),
                  single_leaf_group({{2, 1}}, 1, run_code(14))}),
       "band 2 is listed twice in segment YSeg"},
      {"bands out of order",
       luma_with({approximation, single_leaf_group({{2, 1}, {1, 1}, {3, 1}}, 3, run_code(14))}),
       "band 1 does not follow band 2 in its group in segment YSeg"},
      {"codes short of the bands", luma_with({approximation, single_leaf_group({{1, 1}, {2, 1}, {3, 1}}, 2, run_code(14))}),
       "a band group's codes end 16384 values short of its bands in segment YSeg"},
      {"a plane larger than the picture's",
       planes(flat_plane(512, 256, 100), flat_plane(128, 256, 140), flat_plane(128, 256, 92)),
       "segment YSeg holds a 512 x 256 plane where the picture has 256 x 256"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const std::optional<DamageSigns> signs = signs_of(qzr_file(256, 256, c.intermediate));
    ASSERT_TRUE(signs);
    EXPECT_TRUE(has_sign(signs, c.sign)) << (signs->empty() ? "no sign" : signs->front());
  }

  // The last leaf's high byte cut off: it reads as 0xFF, which leaves the
  // run it stands for as it was, so only the reading past the end tells.
  Bytes cut = with_luma(luma);
  cut.b.pop_back();
  const std::optional<DamageSigns> signs = signs_of(qzr_file(256, 256, cut));
  ASSERT_TRUE(signs);
  EXPECT_EQ(*signs, DamageSigns{"the plane stream of segment VSeg runs past the end of the payload"});

  // A length word short of the data: the last match runs past it.
  Bytes tail = with_luma(luma);
  tail.b.insert(tail.b.end(), 300, 'x');
  std::vector<uint8_t> file = qzr_file(256, 256, tail);
  const uint32_t length = static_cast<uint32_t>(tail.b.size() - 5);
  for (int i = 0; i < 4; ++i) file[32 + static_cast<size_t>(i)] = static_cast<uint8_t>(length >> (8 * i));
  EXPECT_TRUE(has_sign(signs_of(file), "the payload's last match runs"));
}

}  // namespace
}  // namespace qzr
