// The console program as a user's script sees it: transcript, exit status and
// the files it leaves.
#include <gtest/gtest.h>
#include <sys/stat.h>

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
  EXPECT_EQ(r.out, kBanner +
                       "Image width 640, height 480...\n"
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
  ProcessResult r = run_process(QZRDEC_PATH, {"a.qzr"}, dir.path, Stdin::kDevNull, 20000, 1000);
  EXPECT_EQ(r.status, 255);
  EXPECT_EQ(r.out, kBanner + "Image width 16, height 16...\nerror writing file temp.tmp !\n");
}

// A length word beyond what the run holds in memory sends the payload to
// temp.tmp alone, to be read back from there: the same picture as the
// file's own length gives (the bytes past it, from the code's last bits and
// the ones read past its end, come after the planes).
TEST(Driver, PayloadBeyondMemoryIsReadBackFromTheIntermediateFile) {
  ScratchDir dir;
  std::vector<uint8_t> file = read_file(fs::path(QZR_SAMPLES_DIR) / "coffee.qzr");
  write_file(dir / "a.qzr", file);
  const uint32_t beyond = (uint32_t{1} << 28) + 1;
  for (int i = 0; i < 4; ++i) file[32 + i] = static_cast<uint8_t>(beyond >> (8 * i));
  write_file(dir / "b.qzr", file);
  ASSERT_EQ(qzrdec(dir, {"a.qzr"}).status, 0);
  ProcessResult r = qzrdec(dir, {"b.qzr"});
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_EQ(read_file(dir / "b.qzr.bmp"), read_file(dir / "a.qzr.bmp"));
  EXPECT_FALSE(fs::exists(dir / "temp.tmp"));
}

// Something planted where the intermediate file goes is neither followed nor
// written, and the open does not wait on it: the run stops before the header.
TEST(Driver, PlantedIntermediateFilesAreRefusedAndLeftAlone) {
  const std::vector<uint8_t> precious = {'k', 'e', 'e', 'p'};
  enum Plant { kSymlink, kDanglingSymlink, kHardLink, kFifo, kDirectory };
  for (Plant plant : {kSymlink, kDanglingSymlink, kHardLink, kFifo, kDirectory}) {
    ScratchDir dir;
    write_small_file(dir / "a.qzr", {0x00, 0x10, 0x00, 0x00});
    write_file(dir / "victim", precious);
    switch (plant) {
      case kSymlink: fs::create_symlink(dir / "victim", dir / "temp.tmp"); break;
      case kDanglingSymlink: fs::create_symlink("made-through-link", dir / "temp.tmp"); break;
      case kHardLink: fs::create_hard_link(dir / "victim", dir / "temp.tmp"); break;
      case kFifo: ASSERT_EQ(mkfifo((dir / "temp.tmp").c_str(), 0600), 0); break;
      case kDirectory: fs::create_directory(dir / "temp.tmp"); break;
    }
    const fs::file_type planted = fs::symlink_status(dir / "temp.tmp").type();
    ProcessResult r = run_process(QZRDEC_PATH, {"a.qzr", "out.bmp"}, dir.path, Stdin::kDevNull, 5000);
    EXPECT_FALSE(r.timed_out) << plant;
    EXPECT_EQ(r.status, 255) << plant;
    EXPECT_EQ(r.out, kBanner + "error opening file temp.tmp !\n") << plant;
    EXPECT_EQ(read_file(dir / "victim"), precious) << plant;
    EXPECT_EQ(fs::symlink_status(dir / "temp.tmp").type(), planted) << plant;  // not deleted either
    EXPECT_FALSE(fs::exists(dir / "made-through-link")) << plant;
    EXPECT_FALSE(fs::exists(dir / "out.bmp")) << plant;
  }
}

// The output may not replace a picture: the input by any of its names, or
// another QZR file, as when `qzrdec *.qzr` makes the second picture the
// output. Nothing is written, not even the intermediate file.
TEST(Driver, OutputThatWouldReplaceAPictureIsRefusedBeforeAnyWrite) {
  ScratchDir dir;
  std::vector<uint8_t> picture = header_bytes(16, 16);
  picture.insert(picture.end(), {0x00, 0x10, 0x00, 0x00});
  write_file(dir / "a.qzr", picture);
  write_file(dir / "b.qzr", header_bytes(640, 480));
  write_file(dir / "renamed.bmp", header_bytes(8, 8));  // a picture under any name
  fs::create_hard_link(dir / "a.qzr", dir / "hard.qzr");
  fs::create_symlink("a.qzr", dir / "soft.bmp");
  const std::string input = "error: output file %s is the input file, which this run would overwrite !\n";
  const std::string other = "error: output file %s holds a QZR picture, which this run would overwrite !\n";
  struct Case {
    std::vector<std::string> args;
    const std::string& message;
  };
  const Case cases[] = {{{"a.qzr", "a.qzr"}, input},
                        {{"a.qzr", "./a.qzr"}, input},
                        {{"a.qzr", (dir / "a.qzr").string()}, input},
                        {{"a.qzr", "hard.qzr"}, input},
                        {{"a.qzr", "soft.bmp"}, input},
                        {{"soft.bmp", "a.qzr"}, input},
                        {{"a.qzr", "b.qzr", "c.qzr"}, other},
                        {{"a.qzr", "renamed.bmp"}, other}};
  for (const Case& c : cases) {
    const std::string& name = c.args[1];
    ProcessResult r = qzrdec(dir, c.args);
    EXPECT_EQ(r.status, 255) << name;
    std::string message = c.message;
    message.replace(message.find("%s"), 2, name);
    EXPECT_EQ(r.out, kBanner + message) << name;
    EXPECT_FALSE(fs::exists(dir / "temp.tmp")) << name;
  }
  EXPECT_EQ(read_file(dir / "a.qzr"), picture);
  EXPECT_EQ(read_file(dir / "b.qzr"), header_bytes(640, 480));
  EXPECT_EQ(read_file(dir / "renamed.bmp"), header_bytes(8, 8));

  // Files that only start like one, or are too short to hold the magic, are
  // anybody's to replace: the run goes on to the payload.
  write_file(dir / "almost.bmp", {'v', 'k', 'Q'});
  write_file(dir / "other.bmp", {'v', 'k', 'Q', 'y', 0});
  for (const char* name : {"almost.bmp", "other.bmp"}) {
    ProcessResult r = qzrdec(dir, {"a.qzr", name});
    EXPECT_EQ(r.out, kBanner + "Image width 16, height 16...\nSegment YSeg not found !\n") << name;
  }
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
    EXPECT_EQ(r.out,
              kBanner + (c.input_side ? "error: input file " + name +
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
