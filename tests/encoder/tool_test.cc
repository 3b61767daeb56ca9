// The qzrenc program and its picture input.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>

#include "../files.h"
#include "image_io.h"
#include "test_support.h"

namespace qzr::enc {
namespace {

namespace fs = std::filesystem;

std::vector<uint8_t> bmp_bytes(const Image& img, bool top_down) {
  const uint32_t row = (3 * img.width + 3) & ~3u, size = 54 + row * img.height;
  std::vector<uint8_t> b(size, 0);
  auto le32 = [&](size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i) b[at + i] = static_cast<uint8_t>(v >> (8 * i));
  };
  b[0] = 'B', b[1] = 'M';
  le32(2, size), le32(10, 54), le32(14, 40), le32(18, img.width);
  le32(22, top_down ? static_cast<uint32_t>(-img.height) : img.height);
  b[26] = 1, b[28] = 24;
  for (int r = 0; r < img.height; ++r) {
    const int file_row = top_down ? r : img.height - 1 - r;
    for (int c = 0; c < img.width; ++c)
      for (int k = 0; k < 3; ++k) b[54 + file_row * row + 3 * c + k] = img.rgb[(size_t(r) * img.width + c) * 3 + 2 - k];
  }
  return b;
}

TEST(PictureInput, BmpBothWaysUpAndPpm) {
  const Image img = testing::synthetic_photo(5, 3);
  for (bool top_down : {false, true}) {
    Result<Picture> back = decode_image(bmp_bytes(img, top_down), "x.bmp");
    ASSERT_TRUE(back.ok());
    EXPECT_EQ(back.value().rgb, img.rgb);
  }
  std::string ppm = "P6\n# comment\n5 3\n255\n";
  ppm.append(img.rgb.begin(), img.rgb.end());
  EXPECT_EQ(decode_image(std::vector<uint8_t>(ppm.begin(), ppm.end()), "x.ppm").value().rgb, img.rgb);
  std::string wide = "P6 1 1 65535 ";
  wide += std::string("\xFF\xFF\x80\x00\x00\x00", 6);
  EXPECT_EQ(decode_image(std::vector<uint8_t>(wide.begin(), wide.end()), "w.ppm").value().rgb,
            (std::vector<uint8_t>{255, 128, 0}));
}

TEST(PictureInput, ClearErrorsForBadFiles) {
  const Image img = testing::synthetic_photo(4, 4);
  std::vector<uint8_t> cut = bmp_bytes(img, false);
  cut.resize(cut.size() - 1);
  std::vector<uint8_t> eight_bit = bmp_bytes(img, false);
  eight_bit[28] = 8;
  const std::string huge = "P6 100000 100000 255 ";
  for (const auto& [bytes, what] : {std::pair{cut, "cut short"},
                                    {eight_bit, "24-bit"},
                                    {std::vector<uint8_t>(huge.begin(), huge.end()), "too large"},
                                    {std::vector<uint8_t>{'G', 'I', 'F', '8'}, "unknown picture format"},
                                    {std::vector<uint8_t>{0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n', 0}, "PNG"}}) {
    Result<Picture> r = decode_image(bytes, "bad.pic");
    ASSERT_FALSE(r.ok()) << what;
    EXPECT_NE(r.failure().text.find(what), std::string::npos) << r.failure().text;
    EXPECT_EQ(r.failure().text.rfind("bad.pic: ", 0), 0u);
  }
}

int run(const std::string& args) {
  const std::string command = "\"" QZRENC_PATH "\" " + args + " > /dev/null 2>&1";
  const int status = std::system(command.c_str());
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST(Program, WritesWholeFilesOrNone) {
  const fs::path dir = fs::temp_directory_path() / "qzrenc_program_test";
  fs::remove_all(dir);
  fs::create_directories(dir);
  const std::string in = (dir / "in.bmp").string(), out = (dir / "out.qzr").string();
  test::write_file(in, bmp_bytes(testing::synthetic_photo(70, 50), false));
  EXPECT_EQ(run("--help"), 0);
  EXPECT_EQ(run("--version"), 0);
  EXPECT_EQ(run(in), 2);
  EXPECT_EQ(run("--quality 0 " + in + " " + out), 2);
  EXPECT_EQ(run("--levels=9 " + in + " " + out), 2);
  EXPECT_EQ(run("-q 50 " + in + " " + out + " extra"), 2);
  EXPECT_EQ(run("--frobnicate " + in + " " + out), 2);
  EXPECT_EQ(run((dir / "missing.bmp").string() + " " + out), 1);
  EXPECT_FALSE(fs::exists(out));
  ASSERT_EQ(run("-q 60 --levels 4 " + in + " " + out), 0);
  const std::vector<uint8_t> file = test::read_file(out);
  EXPECT_TRUE(testing::decode_qzr(file).ok());
  // A failing run leaves the earlier output as it was, and no temporary file.
  test::write_file(in, {'B', 'M'});
  EXPECT_EQ(run("--force " + in + " " + out), 1);
  EXPECT_EQ(fs::file_size(out), file.size());
  EXPECT_EQ(std::distance(fs::directory_iterator(dir), fs::directory_iterator()), 2);
  fs::remove_all(dir);
}

std::string text_of(const fs::path& p) {
  const std::vector<uint8_t> bytes = test::read_file(p);
  return std::string(bytes.begin(), bytes.end());
}

TEST(Program, ReplacesAnOutputOnlyWithForceAndNeverItsInput) {
  const fs::path dir = fs::temp_directory_path() / "qzrenc_replace_test";
  fs::remove_all(dir);
  fs::create_directories(dir);
  const fs::path in = dir / "in.bmp", out = dir / "out.qzr", err = dir / "err.txt";
  const auto bmp = bmp_bytes(testing::synthetic_photo(40, 30), false);
  test::write_file(in, bmp);
  auto run_logged = [&](const std::string& args) {
    const std::string command = "\"" QZRENC_PATH "\" " + args + " > /dev/null 2>\"" + err.string() + "\"";
    const int status = std::system(command.c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  };

  // An output that exists stays as it is, named in the message, unless
  // --force is given.
  test::write_file(out, {'k', 'e', 'e', 'p'});
  EXPECT_EQ(run_logged(in.string() + " " + out.string()), 1);
  EXPECT_EQ(text_of(out), "keep");
  EXPECT_NE(text_of(err).find(out.string()), std::string::npos) << text_of(err);
  EXPECT_NE(text_of(err).find("--force"), std::string::npos) << text_of(err);
  EXPECT_EQ(run_logged("--force " + in.string() + " " + out.string()), 0);
  EXPECT_TRUE(testing::decode_qzr(test::read_file(out)).ok());

  // The input, by whatever name, is never written over, even with --force.
  fs::create_hard_link(in, dir / "hard.bmp");
  fs::create_symlink("in.bmp", dir / "soft.bmp");
  for (const fs::path& same : {in, dir / "." / "in.bmp", dir / "hard.bmp", dir / "soft.bmp"}) {
    SCOPED_TRACE(same.string());
    EXPECT_EQ(run_logged("--force " + in.string() + " " + same.string()), 1);
    EXPECT_NE(text_of(err).find("input"), std::string::npos) << text_of(err);
    EXPECT_EQ(test::read_file(in), bmp);
  }
  EXPECT_TRUE(fs::is_symlink(dir / "soft.bmp"));
  EXPECT_EQ(std::distance(fs::directory_iterator(dir), fs::directory_iterator()), 5);  // nothing left over
  fs::remove_all(dir);
}

}  // namespace
}  // namespace qzr::enc
