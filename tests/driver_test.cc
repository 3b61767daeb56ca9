// The console program as a user's script sees it: transcript, exit status and
// the files it leaves.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "container/container_header.h"
#include "process.h"

namespace qzr {
namespace {

namespace fs = std::filesystem;
using test::ProcessResult;
using test::read_file;
using test::run_process;
using test::ScratchDir;
using test::Stdin;
using test::write_file;

using test::kBanner;
using test::kPrompt;

ProcessResult qzrdec(const ScratchDir& dir, const std::vector<std::string>& args, Stdin in = Stdin::kDevNull) {
  return run_process(QZRDEC_PATH, args, dir.path, in);
}

std::vector<uint8_t> header_bytes(uint16_t w, uint16_t h) {
  auto a = make_container_header(w, h);
  return std::vector<uint8_t>(a.begin(), a.end());
}

// A 16 x 16 file whose payload is the given bytes.
void write_small_file(const fs::path& path, std::initializer_list<uint8_t> payload) {
  std::vector<uint8_t> file = header_bytes(16, 16);
  file.insert(file.end(), payload);
  write_file(path, file);
}

TEST(Driver, NoArgumentShowsUsageAndDoesNotWaitWithoutAConsole) {
  for (Stdin in : {Stdin::kDevNull, Stdin::kOpenPipe, Stdin::kClosed}) {
    ScratchDir dir;
    ProcessResult r = qzrdec(dir, {}, in);
    EXPECT_FALSE(r.timed_out);
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(r.out, kBanner + "Usage:\nqzrdec.exe infile.qzr [outfile.bmp]\n" + kPrompt);
    EXPECT_TRUE(fs::is_empty(dir.path));
  }
}

TEST(Driver, MissingInputCreatesNoIntermediateFile) {
  ScratchDir dir;
  ProcessResult r = qzrdec(dir, {"no such.qzr"});
  EXPECT_EQ(r.status, 255);
  EXPECT_EQ(r.out, kBanner + "error opening file no such.qzr !\n");
  EXPECT_TRUE(fs::is_empty(dir.path));
}

TEST(Driver, HeaderFailuresLeaveAnEmptyIntermediateFile) {
  ScratchDir dir;
  std::vector<uint8_t> bad_magic = header_bytes(640, 480);
  bad_magic[0] = 'V';
  write_file(dir / "magic.qzr", bad_magic);
  ProcessResult r = qzrdec(dir, {"magic.qzr"});
  EXPECT_EQ(r.status, 255);
  EXPECT_EQ(r.out, kBanner + "Not quorlen wavelet image file!\n");
  ASSERT_TRUE(fs::exists(dir / "temp.tmp"));
  EXPECT_EQ(fs::file_size(dir / "temp.tmp"), 0u);
  EXPECT_FALSE(fs::exists(dir / "magic.qzr.bmp"));

  std::vector<uint8_t> bad_version = header_bytes(640, 480);
  bad_version[28] = '1';
  write_file(dir / "version.qzr", bad_version);
  r = qzrdec(dir, {"version.qzr"});
  EXPECT_EQ(r.status, 255);
  EXPECT_EQ(r.out, kBanner + "Image width 640, height 480...\n"
                             "This decompressor supported quorlen qzr images produced with codec v1.1!\n");

  write_file(dir / "short.qzr", std::vector<uint8_t>(31, 'v'));
  r = qzrdec(dir, {"short.qzr"});
  EXPECT_EQ(r.out, kBanner + "error reading QZR header from file short.qzr !\n");
}

TEST(Driver, ShortLengthWordEndsWithStatusOne) {
  ScratchDir dir;
  write_small_file(dir / "a.qzr", {7});
  ProcessResult r = qzrdec(dir, {"a.qzr", "out.bmp", "ignored", "also ignored"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, kBanner + "Image width 16, height 16...\nRead Error\n");
  EXPECT_FALSE(fs::exists(dir / "out.bmp"));
}

TEST(Driver, EmptyPayloadFailsTheFirstSegmentSearch) {
  ScratchDir dir;
  write_small_file(dir / "empty.qzr", {0, 0, 0, 0});
  ProcessResult r = qzrdec(dir, {"empty.qzr"});
  EXPECT_EQ(r.status, 255);
  EXPECT_EQ(r.out, kBanner + "Image width 16, height 16...\nSegment YSeg not found !\n");
  EXPECT_TRUE(fs::exists(dir / "temp.tmp"));
}

TEST(Driver, FullDiskForTheIntermediateFileIsAFailure) {
  ScratchDir dir;
  write_small_file(dir / "a.qzr", {0x00, 0x10, 0x00, 0x00});  // 4096 bytes from all-one bits
  fs::create_symlink("/dev/full", dir / "temp.tmp");
  ProcessResult r = qzrdec(dir, {"a.qzr"});
  EXPECT_EQ(r.status, 255);
  EXPECT_EQ(r.out, kBanner + "Image width 16, height 16...\nerror writing file temp.tmp !\n");
}

TEST(Driver, NamesThatDenoteTheIntermediateFileAreRefusedBeforeAnyWrite) {
  ScratchDir dir;
  const std::vector<uint8_t> precious = {'k', 'e', 'e', 'p'};
  fs::create_directory(dir / "sub");
  fs::create_symlink(dir / "temp.tmp", dir / "link.qzr");
  fs::create_symlink("../temp.tmp", dir / "sub" / "dangling.bmp");
  write_file(dir / "in.qzr", header_bytes(1, 1));
  struct Case {
    std::vector<std::string> args;
    bool input_side;
  };
  const Case cases[] = {{{"temp.tmp"}, true},
                        {{"./temp.tmp"}, true},
                        {{(dir / "temp.tmp").string()}, true},
                        {{"link.qzr"}, true},
                        {{"sub/../temp.tmp", "x.bmp"}, true},
                        {{"in.qzr", "temp.tmp"}, false},
                        {{"in.qzr", "./sub/../temp.tmp"}, false},
                        {{"in.qzr", "sub/dangling.bmp"}, false}};
  for (const Case& c : cases) {
    const bool keep = c.args[0] != "in.qzr" || c.args[1] != "sub/dangling.bmp";
    if (keep)
      write_file(dir / "temp.tmp", precious);
    else
      fs::remove(dir / "temp.tmp");  // the link dangles: the name still denotes it
    ProcessResult r = qzrdec(dir, c.args);
    EXPECT_EQ(r.status, 255) << c.args.back();
    const std::string& name = c.input_side ? c.args[0] : c.args[1];
    EXPECT_EQ(r.out, kBanner + (c.input_side
                                    ? "error: input file " + name +
                                          " is the intermediate file temp.tmp, which this run would overwrite !\n"
                                    : "error: output file " + name +
                                          " is the intermediate file temp.tmp, which this run deletes !\n"))
        << name;
    if (keep) {
      EXPECT_EQ(read_file(dir / "temp.tmp"), precious) << name;
    }
  }
}

}  // namespace
}  // namespace qzr
