// Files that exercise the format's corners decode, in process and through
// the qzrdec program, to the same picture as an ordinary file.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>

#include "corner_streams.h"
#include "encoder/encoder.h"
#include "test_support.h"

namespace qzr::enc {
namespace {

namespace fs = std::filesystem;
using testing::CornerKnobs;
using testing::decode_qzr;
using testing::encode_corners;
using testing::Grouping;

struct Case {
  const char* name;
  std::function<void(EncodeOptions&, CornerKnobs&)> set;
  bool same_picture;  // only the stream's form changes
};

// The picture qzrdec writes for `file`, read back from its BMP.
Expected<Image> decode_with_qzrdec(const std::vector<uint8_t>& file, const std::string& name) {
  const fs::path dir =
      fs::temp_directory_path() / ("qzrenc_knobs_" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()));
  fs::create_directories(dir);
  const fs::path in = dir / (name + ".qzr"), out = dir / (name + ".bmp");
  std::ofstream(in, std::ios::binary)
      .write(reinterpret_cast<const char*>(file.data()), static_cast<std::streamsize>(file.size()));
  const std::string command = "cd \"" + dir.string() + "\" && \"" QZRDEC_PATH "\" \"" + in.string() + "\" \"" +
                              out.string() + "\" > \"" + (dir / "log").string() + "\" 2>&1 < /dev/null";
  if (std::system(command.c_str()) != 0) return format_failure("qzrdec failed on " + name + "\n");
  Expected<Image> img = testing::read_picture_file(out.string());
  fs::remove_all(dir);
  return img;
}

TEST(Knobs, EveryCornerDecodesToTheOrdinaryPicture) {
  const Image photo = testing::synthetic_photo(520, 260, 6);  // padded 768 x 512
  const Image flat = testing::flat_image(300, 100, 40, 160, 220);
  const std::vector<Case> cases = {
      {"all_in_one", [](EncodeOptions&, CornerKnobs& k) { k.grouping = Grouping::kAllInOne; }, true},
      {"per_band", [](EncodeOptions&, CornerKnobs& k) { k.grouping = Grouping::kPerBand; }, true},
      {"uneven", [](EncodeOptions&, CornerKnobs& k) { k.grouping = Grouping::kUneven; }, true},
      {"uneven_sizes",
       [](EncodeOptions&, CornerKnobs& k) {
         k.grouping = Grouping::kUneven, k.group_sizes = {2, 5, 1};
       },
       true},
      {"empty_groups", [](EncodeOptions&, CornerKnobs& k) { k.empty_groups = true; }, true},
      {"empty_run_codes", [](EncodeOptions&, CornerKnobs& k) { k.empty_run_codes = true; }, true},
      {"overrunning_runs", [](EncodeOptions&, CornerKnobs& k) { k.overrunning_runs = true; }, true},
      {"excess_codes", [](EncodeOptions&, CornerKnobs& k) { k.excess_codes = true; }, true},
      {"single_leaf_runs", [](EncodeOptions&, CornerKnobs& k) { k.single_leaf_runs = true; }, true},
      {"junk", [](EncodeOptions&, CornerKnobs& k) { k.junk_bytes = 40; }, true},
      {"levels_1_per_band", [](EncodeOptions& o, CornerKnobs& k) { o.levels = 1, k.grouping = Grouping::kPerBand; },
       false},
      {"levels_8_all_in_one", [](EncodeOptions& o, CornerKnobs& k) { o.levels = 8, k.grouping = Grouping::kAllInOne; },
       false},
      {"negative_steps", [](EncodeOptions&, CornerKnobs& k) { k.negative_steps = true; }, false},
      {"scale_1", [](EncodeOptions&, CornerKnobs& k) { k.scale = 1; }, false},
      {"scale_7", [](EncodeOptions&, CornerKnobs& k) { k.scale = 7; }, false},
      {"scale_minus_3", [](EncodeOptions&, CornerKnobs& k) { k.scale = -3; }, false},
      {"scale_minus_64", [](EncodeOptions&, CornerKnobs& k) { k.scale = -64; }, false},
      {"scale_32767", [](EncodeOptions&, CornerKnobs& k) { k.scale = 32767; }, false},
      {"everything",
       [](EncodeOptions&, CornerKnobs& k) {
         k.grouping = Grouping::kUneven;
         k.empty_groups = k.empty_run_codes = k.overrunning_runs = k.excess_codes = true;
         k.single_leaf_runs = k.negative_steps = true;
         k.junk_bytes = 17;
         k.scale = -5;
       },
       false},
  };
  for (const Image* img : {&photo, &flat}) {
    const std::vector<uint8_t> ordinary_file = encode_image(*img, {}).value();
    const Image ordinary = decode_qzr(ordinary_file).value();
    const double ordinary_psnr = testing::psnr(*img, ordinary);
    for (const Case& c : cases) {
      SCOPED_TRACE(c.name);
      EncodeOptions o;
      CornerKnobs k;
      c.set(o, k);
      Expected<std::vector<uint8_t>> file = encode_corners(*img, o, k);
      ASSERT_TRUE(file.ok());
      Expected<Image> in_process = decode_qzr(file.value());
      ASSERT_TRUE(in_process.ok()) << in_process.failure().text;
      if (c.same_picture) {
        EXPECT_EQ(in_process.value().rgb, ordinary.rgb);
      } else {
        // Coarser scales and a single level cost precision (measured: 6 to 9
        // dB at most); a broken stream decodes far below this.
        EXPECT_GT(testing::psnr(*img, in_process.value()), std::min(ordinary_psnr - 10.0, 30.0));
      }
      Expected<Image> by_program = decode_with_qzrdec(file.value(), c.name);
      ASSERT_TRUE(by_program.ok()) << by_program.failure().text;
      EXPECT_EQ(by_program.value().rgb, in_process.value().rgb);
    }
  }
}

TEST(Knobs, KnobsChangeTheStream) {
  const Image img = testing::synthetic_photo(256, 256, 3);
  const std::vector<uint8_t> ordinary = encode_image(img, {}).value();
  for (int k = 0; k < 6; ++k) {
    CornerKnobs knobs;
    if (k == 0) knobs.empty_groups = true;
    if (k == 1) knobs.empty_run_codes = true;
    if (k == 2) knobs.overrunning_runs = true;
    if (k == 3) knobs.excess_codes = true;
    if (k == 4) knobs.junk_bytes = 9;
    if (k == 5) knobs.grouping = Grouping::kPerBand;
    EXPECT_NE(encode_corners(img, {}, knobs).value(), ordinary) << k;
  }
  CornerKnobs zero;
  zero.scale = 0;  // every sample becomes 0 or 255: odd, but it must decode
  EXPECT_TRUE(decode_qzr(encode_corners(img, {}, zero).value()).ok());
}

}  // namespace
}  // namespace qzr::enc
