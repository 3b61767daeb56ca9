// The qzr archive tool as a script runs it: the pictures it writes, where
// they go, what it skips, and how it reports damaged files.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "../process.h"
#include "decode.h"
#include "image_io.h"

namespace qzr {
namespace {

namespace fs = std::filesystem;
using test::ProcessResult;
using test::read_file;
using test::run_process;
using test::ScratchDir;
using test::write_file;

const fs::path kSamples = QZR_SAMPLES_DIR;

ProcessResult qzr_tool(const ScratchDir& dir, const std::vector<std::string>& args) {
  return run_process(QZR_TOOL_PATH, args, dir.path);
}

// The BMP qzrdec writes for a file.
std::vector<uint8_t> qzrdec_bmp(const fs::path& qzr) {
  ScratchDir dir;
  run_process(QZRDEC_PATH, {qzr.string(), "out.bmp"}, dir.path);
  return read_file(dir / "out.bmp");
}

void copy_samples(const fs::path& to) {
  fs::create_directories(to);
  for (const char* s : {"astronaut.qzr", "coffee.qzr"}) fs::copy_file(kSamples / s, to / s);
}

bool any_file_named(const fs::path& dir, const std::string& name) {
  for (const auto& e : fs::recursive_directory_iterator(dir))
    if (e.path().filename() == name) return true;
  return false;
}

TEST(QzrTool, EveryFormatHoldsQzrdecsPicture) {
  ScratchDir dir;
  copy_samples(dir / "in");
  for (const char* format : {"png", "bmp", "ppm"}) {
    ProcessResult r = qzr_tool(dir, {"convert", "-f", format, "-o", std::string("out-") + format, "in"});
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_EQ(r.out, "2 converted, 0 skipped, 0 failed\n") << format;
  }
  for (const char* s : {"astronaut", "coffee"}) {
    SCOPED_TRACE(s);
    const std::vector<uint8_t> bmp = qzrdec_bmp(kSamples / (std::string(s) + ".qzr"));
    ASSERT_FALSE(bmp.empty());
    EXPECT_EQ(read_file(dir / "out-bmp" / (std::string(s) + ".bmp")), bmp);
    // The other formats hold the same picture: through the reader qzrenc
    // uses, back to qzrdec's BMP.
    for (const char* format : {"png", "ppm"}) {
      Result<Picture> p =
          enc::read_image_file((dir / (std::string("out-") + format) / (std::string(s) + "." + format)).string());
      ASSERT_TRUE(p.ok()) << format;
      EXPECT_EQ(to_bmp(p.value()), bmp) << format;
    }
  }
  ProcessResult one = qzr_tool(dir, {"convert", "-f", "bmp", "-o", "-", "in/coffee.qzr"});
  EXPECT_EQ(one.status, 0);
  EXPECT_EQ(std::vector<uint8_t>(one.out.begin(), one.out.end()), qzrdec_bmp(kSamples / "coffee.qzr"));
  EXPECT_FALSE(any_file_named(dir.path, "temp.tmp"));
}

TEST(QzrTool, OutputsKeepTheirPathsAndRerunsSkipWhatExists) {
  ScratchDir dir;
  copy_samples(dir / "archive" / "a" / "b");
  fs::copy_file(kSamples / "coffee.qzr", dir / "archive" / "TOP.QZR");
  write_file(dir / "archive" / "notes.txt", {'x'});

  // Without -r only the directory's own files; with it the whole tree, at
  // the same paths below the output directory.
  ProcessResult r = qzr_tool(dir, {"convert", "-o", "out", "archive"});
  EXPECT_EQ(r.out, "1 converted, 0 skipped, 0 failed\n");
  EXPECT_TRUE(fs::exists(dir / "out" / "TOP.png"));
  r = qzr_tool(dir, {"convert", "-r", "-j", "2", "-o", "out", "archive"});
  EXPECT_EQ(r.out, "2 converted, 1 skipped, 0 failed\n");
  EXPECT_TRUE(fs::exists(dir / "out" / "a" / "b" / "astronaut.png"));
  EXPECT_TRUE(fs::exists(dir / "out" / "a" / "b" / "coffee.png"));
  EXPECT_FALSE(fs::exists(dir / "out" / "notes.png"));

  // A file given by itself lands under the output directory by its name;
  // without -o, beside the input.
  r = qzr_tool(dir, {"convert", "-o", "single", "archive/a/b/coffee.qzr"});
  EXPECT_TRUE(fs::exists(dir / "single" / "coffee.png"));
  r = qzr_tool(dir, {"convert", "-f", "ppm", "archive/TOP.QZR"});
  EXPECT_TRUE(fs::exists(dir / "archive" / "TOP.ppm"));

  // What exists is skipped, so an interrupted run resumes; --force rewrites.
  write_file(dir / "out" / "TOP.png", {'o', 'l', 'd'});
  r = qzr_tool(dir, {"convert", "-r", "-o", "out", "archive"});
  EXPECT_EQ(r.out, "0 converted, 3 skipped, 0 failed\n");
  EXPECT_EQ(read_file(dir / "out" / "TOP.png"), (std::vector<uint8_t>{'o', 'l', 'd'}));
  r = qzr_tool(dir, {"convert", "-r", "--force", "-o", "out", "archive"});
  EXPECT_EQ(r.out, "3 converted, 0 skipped, 0 failed\n");
  EXPECT_GT(read_file(dir / "out" / "TOP.png").size(), 1000u);
  EXPECT_FALSE(any_file_named(dir.path, "temp.tmp"));
}

TEST(QzrTool, DamagedFilesAreNamedWithQzrdecsTextAndCounted) {
  ScratchDir dir;
  copy_samples(dir / "in");
  std::vector<uint8_t> cut = read_file(kSamples / "coffee.qzr");
  cut.resize(3000);
  write_file(dir / "in" / "cut.qzr", cut);
  write_file(dir / "in" / "short.qzr", {'v', 'k'});

  ProcessResult r = qzr_tool(dir, {"convert", "-o", "out", "in"});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.out.find("in/cut.qzr: Error reading Huffman Tree!\n"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("in/short.qzr: error reading QZR header from file in/short.qzr !\n"), std::string::npos)
      << r.out;
  EXPECT_NE(r.out.find("2 converted, 0 skipped, 2 failed\n"), std::string::npos) << r.out;
  EXPECT_FALSE(fs::exists(dir / "out" / "cut.png"));
  // Nothing is left behind for a failure: no temporary, no temp.tmp.
  size_t files = 0;
  for (const auto& e : fs::directory_iterator(dir / "out")) files += e.is_regular_file();
  EXPECT_EQ(files, 2u);

  r = qzr_tool(dir, {"check", "in"});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.out.find("in/cut.qzr: Error reading Huffman Tree!\n"), std::string::npos);
  EXPECT_NE(r.out.find("2 good, 2 damaged\n"), std::string::npos) << r.out;
  r = qzr_tool(dir, {"check", "in/astronaut.qzr", "in/coffee.qzr"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "2 good, 0 damaged\n");
  r = qzr_tool(dir, {"check", "missing.qzr"});
  EXPECT_EQ(r.status, 1);
  EXPECT_FALSE(any_file_named(dir.path, "temp.tmp"));
}

TEST(QzrTool, InfoDescribesTheHeaderAlone) {
  ScratchDir dir;
  copy_samples(dir.path);
  std::vector<uint8_t> cut = read_file(kSamples / "coffee.qzr");
  cut.resize(3000);  // damaged past its header: the header still tells
  write_file(dir / "cut.qzr", cut);
  write_file(dir / "bad.qzr", {'V', 'K', 'Q', 'Z'});
  ProcessResult r = qzr_tool(dir, {"info", "--json", "coffee.qzr", "cut.qzr", "bad.qzr"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out,
            "{\"file\": \"coffee.qzr\", \"width\": 600, \"height\": 400, \"padded_width\": 768, \"padded_height\": 512, "
            "\"payload_bytes\": 53949, \"file_bytes\": 50213, \"bits_per_pixel\": 1.6738}\n"
            "{\"file\": \"cut.qzr\", \"width\": 600, \"height\": 400, \"padded_width\": 768, \"padded_height\": 512, "
            "\"payload_bytes\": 53949, \"file_bytes\": 3000, \"bits_per_pixel\": 0.1000}\n"
            "{\"file\": \"bad.qzr\", \"error\": \"truncated data\"}\n");
  r = qzr_tool(dir, {"info", "astronaut.qzr"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "astronaut.qzr: 512 x 512 (padded 512 x 512), payload 42257 bytes, 1.251 bits per pixel\n");
}

TEST(QzrTool, NamesAtTheFileSystemsLimitAreWritten) {
  ScratchDir dir;
  const std::string stem(251, 'n');  // NAME.png: 255 bytes
  fs::create_directories(dir / "in");
  fs::copy_file(kSamples / "coffee.qzr", dir / "in" / (stem + ".qzr"));
  ProcessResult r = qzr_tool(dir, {"convert", "-o", "out", "in"});
  EXPECT_EQ(r.out, "1 converted, 0 skipped, 0 failed\n");
  EXPECT_TRUE(fs::exists(dir / "out" / (stem + ".png")));
  r = qzr_tool(dir, {"convert", "-f", "bmp", "in/" + stem + ".qzr"});
  EXPECT_EQ(r.out, "1 converted, 0 skipped, 0 failed\n");
  EXPECT_EQ(read_file(dir / "in" / (stem + ".bmp")), qzrdec_bmp(kSamples / "coffee.qzr"));
  EXPECT_EQ(std::distance(fs::directory_iterator(dir / "in"), fs::directory_iterator()), 2);
}

TEST(QzrTool, UsageErrorsEndWithStatusTwo) {
  ScratchDir dir;
  for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
           {}, {"convert"}, {"frobnicate"}, {"convert", "-f", "gif", "x.qzr"}, {"convert", "-j", "0", "x.qzr"}}) {
    ProcessResult r = qzr_tool(dir, args);
    EXPECT_EQ(r.status, 2) << (args.empty() ? "" : args[0]);
  }
  EXPECT_EQ(qzr_tool(dir, {"--help"}).status, 0);
  EXPECT_EQ(qzr_tool(dir, {"--version"}).out, "qzr " QZR_VERSION_TEXT "\n");
}

}  // namespace
}  // namespace qzr
