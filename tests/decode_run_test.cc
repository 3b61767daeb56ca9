// Complete runs of the console program on small QZR files: hand-built ones
// whose every BMP byte is known, and encoder-made pictures.
#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <string>
#include <vector>

#include "container/container_header.h"
#include "encoder/encoder.h"
#include "encoder/lzari_encoder.h"
#include "output/bmp_writer.h"
#include "output/colour_conversion.h"
#include "process.h"
#include "qzr_files.h"
#include "stream_builder.h"

namespace qzr {
namespace {

namespace fs = std::filesystem;
using test::Bytes;
using test::flat_plane;
using test::qzr_file;
using test::ProcessResult;
using test::read_file;
using test::run_process;
using test::ScratchDir;
using test::single_leaf_group;
using test::Stdin;
using test::write_file;

using test::kBanner;
using test::kPrompt;

// A flat picture: luma 100, chroma 140 and 92, with junk between the segments.
Bytes flat_intermediate(int padded_width, int padded_height) {
  Bytes b;
  b.text("$YSeg").append(flat_plane(padded_width, padded_height, 100));
  b.text("junk $ bytes").text("$USeg").append(flat_plane(padded_width / 2, padded_height, 140));
  b.text("$VSeg").append(flat_plane(padded_width / 2, padded_height, 92));
  return b;
}

std::vector<uint8_t> flat_bmp(uint32_t width, uint32_t height) {
  const Pixel3 p = convert_pixel(100, 140, 92);
  auto header = make_bmp_header(width, height);
  std::vector<uint8_t> bmp(header.begin(), header.end());
  for (uint32_t r = 0; r < height; ++r) {
    for (uint32_t c = 0; c < width; ++c) bmp.insert(bmp.end(), {p.b0, p.b1, p.b2});
    bmp.insert(bmp.end(), bmp_row_size(width) - 3 * width, 0);
  }
  return bmp;
}

ProcessResult qzrdec(const ScratchDir& dir, const std::vector<std::string>& args, Stdin in = Stdin::kDevNull) {
  return run_process(QZRDEC_PATH, args, dir.path, in);
}

TEST(DecodeRun, HandBuiltFileGivesTheExactPictureAndTranscript) {
  ScratchDir dir;
  fs::create_directory(dir / "sub");
  write_file(dir / "sub" / "pic.qzr", qzr_file(5, 3, flat_intermediate(256, 256)));
  for (Stdin in : {Stdin::kDevNull, Stdin::kOpenPipe}) {
    ProcessResult r = qzrdec(dir, {"sub/pic.qzr"}, in);
    EXPECT_FALSE(r.timed_out);
    EXPECT_EQ(r.status, 0) << r.out;
    // The size line and the time report share one line; the time is digits.
    const std::string head = kBanner + "Image width 5, height 3... total decompress time: ";
    const std::string tail = " ms\n" + kPrompt;
    ASSERT_GT(r.out.size(), head.size() + tail.size()) << r.out;
    EXPECT_EQ(r.out.substr(0, head.size()), head);
    EXPECT_EQ(r.out.substr(r.out.size() - tail.size()), tail);
    const std::string ms = r.out.substr(head.size(), r.out.size() - head.size() - tail.size());
    EXPECT_TRUE(!ms.empty() && ms.find_first_not_of("0123456789") == std::string::npos) << r.out;
    EXPECT_EQ(read_file(dir / "sub" / "pic.qzr.bmp"), flat_bmp(5, 3));  // beside the input
    EXPECT_FALSE(fs::exists(dir / "temp.tmp"));
  }
  // An existing output file is replaced.
  write_file(dir / "out.bmp", std::vector<uint8_t>(100000, 1));
  EXPECT_EQ(qzrdec(dir, {"sub/pic.qzr", "out.bmp", "extra"}).status, 0);
  EXPECT_EQ(read_file(dir / "out.bmp"), flat_bmp(5, 3));
}

TEST(DecodeRun, AStaleIntermediateFileIsTakenOver) {
  // Left by a failed run, longer than this run's payload: emptied and reused.
  ScratchDir dir;
  write_file(dir / "pic.qzr", qzr_file(5, 3, flat_intermediate(256, 256)));
  write_file(dir / "temp.tmp", std::vector<uint8_t>(1 << 20, '$'));
  ProcessResult r = qzrdec(dir, {"pic.qzr"});
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_EQ(read_file(dir / "pic.qzr.bmp"), flat_bmp(5, 3));
  EXPECT_FALSE(fs::exists(dir / "temp.tmp"));
}

TEST(DecodeRun, OutputFailuresAreReportedAndKeepTheIntermediateFile) {
  ScratchDir dir;
  write_file(dir / "pic.qzr", qzr_file(300, 2, flat_intermediate(512, 256)));
  ProcessResult r = qzrdec(dir, {"pic.qzr", "/dev/full"});
  EXPECT_EQ(r.status, 255);
  EXPECT_EQ(r.out, kBanner + "Image width 300, height 2...\nerror writing output file /dev/full !\n");
  EXPECT_TRUE(fs::exists(dir / "temp.tmp"));
  r = qzrdec(dir, {"pic.qzr", "no/such/dir.bmp"});
  EXPECT_EQ(r.out, kBanner + "Image width 300, height 2...\nerror opening output file no/such/dir.bmp !\n");
  EXPECT_EQ(r.status, 255);
}

TEST(DecodeRun, FullDiskRemovesThePartialPicture) {
  ScratchDir dir;
  write_file(dir / "pic.qzr", qzr_file(300, 200, flat_intermediate(512, 256)));
  ProcessResult r = run_process(QZRDEC_PATH, {"pic.qzr", "out.bmp"}, dir.path, Stdin::kDevNull, 20000, 64 << 10);
  EXPECT_EQ(r.status, 255);
  EXPECT_EQ(r.out, kBanner + "Image width 300, height 200...\nerror writing output file out.bmp !\n");
  EXPECT_FALSE(fs::exists(dir / "out.bmp"));
  EXPECT_TRUE(fs::exists(dir / "temp.tmp"));
}

TEST(DecodeRun, ParallelRunsInOneDirectoryAreAllExact) {
  // Each run has its own picture; all share the directory and its temp.tmp.
  ScratchDir dir;
  const int runs = 24;
  std::vector<std::vector<uint8_t>> expected;
  for (int i = 0; i < runs; ++i) {
    Bytes b;
    b.text("$YSeg").append(flat_plane(768, 512, 8 * i));
    b.text("$USeg").append(flat_plane(384, 512, 128));
    b.text("$VSeg").append(flat_plane(384, 512, 128));
    write_file(dir / format_text("p%d.qzr", i), qzr_file(700, 400, b));
    const Pixel3 p = convert_pixel(8 * i, 128, 128);
    auto header = make_bmp_header(700, 400);
    std::vector<uint8_t> bmp(header.begin(), header.end());
    for (int k = 0; k < 700 * 400; ++k) bmp.insert(bmp.end(), {p.b0, p.b1, p.b2});
    expected.push_back(bmp);
  }
  std::vector<pid_t> children;
  for (int i = 0; i < runs; ++i) {
    pid_t pid = fork();
    if (pid == 0) {
      ProcessResult r = run_process(QZRDEC_PATH, {format_text("p%d.qzr", i)}, dir.path);
      _exit(r.status == 0 ? 0 : 1);
    }
    children.push_back(pid);
  }
  for (pid_t pid : children) {
    int status = 0;
    waitpid(pid, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  }
  for (int i = 0; i < runs; ++i)
    EXPECT_EQ(read_file(dir / format_text("p%d.qzr.bmp", i)), expected[static_cast<size_t>(i)]) << i;
  EXPECT_FALSE(fs::exists(dir / "temp.tmp"));
}

TEST(DecodeRun, MalformedPlanesEndTheRunWithAMessage) {
  struct Case {
    Bytes intermediate;
    std::string message;
  };
  Bytes small_luma = Bytes().text("$YSeg").append(flat_plane(256, 256, 1));
  small_luma.text("$USeg").append(flat_plane(256, 256, 1)).text("$VSeg").append(flat_plane(256, 256, 1));
  Bytes no_plane = Bytes().text("$YSeg").append(test::plane_header(1, 512, 256, 1)).raw({0x80, 0, 1, 0x05});
  Bytes no_v = flat_intermediate(512, 256);
  no_v.b.resize(no_v.b.size() - flat_plane(256, 256, 92).b.size() - 5);
  const Case cases[] = {
      {small_luma, "\nPlane of segment YSeg is too small for a 512 x 256 image !\n"},
      {no_plane, "\nBad band header list in segment YSeg !\n"},
      {no_v, "\nSegment VSeg not found !\n"},
  };
  for (const Case& c : cases) {
    ScratchDir dir;
    write_file(dir / "bad.qzr", qzr_file(300, 2, c.intermediate));
    ProcessResult r = qzrdec(dir, {"bad.qzr"});
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(r.out, kBanner + "Image width 300, height 2..." + c.message);
    EXPECT_FALSE(fs::exists(dir / "bad.qzr.bmp"));
  }
}

TEST(DecodeRun, EncodedPictureDecodesUprightAndClose) {
  // A gradient with a red block in its top-left corner.
  enc::Image image;
  image.width = 67;
  image.height = 45;
  for (int y = 0; y < image.height; ++y)
    for (int x = 0; x < image.width; ++x) {
      const bool red = x < 16 && y < 12;
      image.rgb.insert(image.rgb.end(), {static_cast<uint8_t>(red ? 230 : 3 * x),
                                         static_cast<uint8_t>(red ? 20 : 4 * y), static_cast<uint8_t>(red ? 20 : 120)});
    }
  enc::EncodeOptions options;
  options.quality = 90;
  Expected<std::vector<uint8_t>> file = enc::encode_image(image, options);
  ASSERT_TRUE(file.ok()) << file.failure().text;
  ScratchDir dir;
  write_file(dir / "g.qzr", file.value());
  ASSERT_EQ(qzrdec(dir, {"g.qzr"}).status, 0);
  const std::vector<uint8_t> bmp = read_file(dir / "g.qzr.bmp");
  const uint32_t row = bmp_row_size(67);
  ASSERT_EQ(bmp.size(), 54 + row * 45);
  // BMP rows run bottom-up: the picture's row y is file row 44 - y; bytes B, G, R.
  double error = 0;
  for (int y = 0; y < 45; ++y)
    for (int x = 0; x < 67; ++x)
      for (int k = 0; k < 3; ++k) {
        const int got = bmp[54 + size_t(44 - y) * row + 3 * size_t(x) + size_t(k)];
        const int want = image.rgb[3 * (size_t(y) * 67 + size_t(x)) + size_t(2 - k)];
        error += (got - want) * (got - want);
      }
  const double psnr = 10 * std::log10(255.0 * 255.0 / (error / (45 * 67 * 3)));
  EXPECT_GT(psnr, 30.0);
  const uint8_t* top_left = &bmp[54 + size_t(44) * row + 3 * 5];
  EXPECT_GT(top_left[2], 180);  // red
  EXPECT_LT(top_left[0], 80);
}

}  // namespace
}  // namespace qzr
