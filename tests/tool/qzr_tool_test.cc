// The qzr archive tool as a script runs it: the pictures it writes, where
// they go, what it skips, and how it reports damaged files.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "../process.h"
#include "decode.h"
#include "file_io.h"
#include "image_io.h"
#include "picture_files.h"

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
    ProcessResult r = qzr_tool(dir, {"convert", "-r", "-f", format, "-o", std::string("out-") + format, "in"});
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
  // One missing file is a failed file, not a usage error; two are one.
  ProcessResult missing = qzr_tool(dir, {"convert", "-f", "ppm", "-o", "-", "missing.qzr"});
  EXPECT_EQ(missing.status, 1);
  EXPECT_EQ(missing.out, "missing.qzr: no such file or directory\n");
  EXPECT_EQ(qzr_tool(dir, {"convert", "-o", "-", "in/coffee.qzr", "in/astronaut.qzr"}).status, 2);
  EXPECT_FALSE(any_file_named(dir.path, "temp.tmp"));
}

// The PNG writer of builds without libpng (Windows): libpng reads back the
// picture from every level, small pictures and ones whose data spans
// several IDAT chunks alike.
TEST(QzrTool, ZlibPngWriterGivesLibpngThePicture) {
  uint32_t seed = 1;
  for (const auto& [width, height] : {std::pair{1, 1}, {7, 3}, {1, 40}, {700, 600}}) {
    Picture picture;
    picture.width = width;
    picture.height = height;
    picture.rgb.resize(size_t{3} * width * height);
    for (size_t i = 0; i < picture.rgb.size(); ++i) {  // noise, with smooth runs for the filter
      seed = seed * 1664525 + 1013904223;
      picture.rgb[i] = (i / 300) % 2 ? static_cast<uint8_t>(i / 3) : static_cast<uint8_t>(seed >> 24);
    }
    for (int level : {0, 1, 9}) {
      SCOPED_TRACE(std::to_string(width) + "x" + std::to_string(height) + " level " + std::to_string(level));
      const std::vector<uint8_t> png = tool::deflated_png_file(picture, level);
      Result<Picture> back = enc::decode_png(png, "test.png");
      ASSERT_TRUE(back.ok()) << back.failure().text;
      EXPECT_EQ(back.value().width, width);
      EXPECT_EQ(back.value().height, height);
      EXPECT_EQ(back.value().rgb, picture.rgb);
    }
  }
}

TEST(QzrTool, OutputsKeepTheirPathsAndRerunsSkipWhatExists) {
  ScratchDir dir;
  copy_samples(dir / "archive" / "a" / "b");
  fs::copy_file(kSamples / "coffee.qzr", dir / "archive" / "TOP.QZR");
  write_file(dir / "archive" / "notes.txt", {'x'});

  // A directory is taken with -r, as a whole tree, at the same paths below
  // the output directory.
  ProcessResult r = qzr_tool(dir, {"convert", "-r", "-j", "2", "-o", "out", "archive"});
  EXPECT_EQ(r.out, "3 converted, 0 skipped, 0 failed\n");
  EXPECT_TRUE(fs::exists(dir / "out" / "TOP.png"));
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

  ProcessResult r = qzr_tool(dir, {"convert", "-r", "-o", "out", "in"});
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

  r = qzr_tool(dir, {"check", "-r", "in"});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.out.find("in/cut.qzr: damaged: Error reading Huffman Tree! (salvage keeps Y "), std::string::npos)
      << r.out;
  EXPECT_NE(r.out.find("2 good, 2 damaged\n"), std::string::npos) << r.out;

  // With --salvage the cut file gives what survives of it, and still counts.
  r = qzr_tool(dir, {"convert", "--salvage", "-r", "-o", "salvaged", "in"});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.out.find("in/cut.qzr: salvaged: the file is cut short: its code decides "), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("2 converted, 1 salvaged, 0 skipped, 1 failed\n"), std::string::npos) << r.out;
  EXPECT_TRUE(fs::exists(dir / "salvaged" / "cut.png"));
  EXPECT_FALSE(fs::exists(dir / "salvaged" / "short.png"));
  r = qzr_tool(dir, {"check", "in/coffee.qzr", "in/astronaut.qzr"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "in/coffee.qzr: ok\nin/astronaut.qzr: ok\n2 good, 0 damaged\n");
  r = qzr_tool(dir, {"check", "missing.qzr"});
  EXPECT_EQ(r.status, 1);
  EXPECT_FALSE(any_file_named(dir.path, "temp.tmp"));
}

// A shell command line with the tool as $0, for what goes to which stream.
ProcessResult qzr_shell(const ScratchDir& dir, const std::string& command) {
  return run_process("/bin/sh", {"-c", command, QZR_TOOL_PATH}, dir.path);
}

TEST(QzrTool, CheckAuditsEveryFileInOrderOnStandardOutput) {
  ScratchDir dir;
  copy_samples(dir / "in");
  const std::vector<uint8_t> whole = read_file(kSamples / "coffee.qzr");
  // Cut by 8 bytes, the file still decodes (the missing code bits read as
  // ones), but not to the picture its encoder made.
  write_file(dir / "in" / "cut.qzr", std::vector<uint8_t>(whole.begin(), whole.end() - 8));
  write_file(dir / "in" / "short.qzr", {'v', 'k'});
  auto many = [](int i) {  // (snprintf: GCC 12 warns wrongly of "p" + a number's string)
    char name[32];
    std::snprintf(name, sizeof name, "many/p%d.qzr", 100 + i);
    return std::string(name);
  };
  fs::create_directories(dir / "in" / "many");
  for (int i = 0; i < 30; ++i) fs::copy_file(kSamples / "astronaut.qzr", dir / "in" / many(i));

  ProcessResult r = qzr_shell(dir, "\"$0\" check -j 2 -r in 2>err.txt");
  EXPECT_EQ(r.status, 1);
  const std::string kept = "Y 16/16 bands, U 16/16 bands, V 15/16 bands +1 partial";
  std::string want = "in/astronaut.qzr: ok\nin/coffee.qzr: ok\n"
                     "in/cut.qzr: damaged: the payload is cut short: its code needs 82 bits past the end of the file "
                     "(salvage keeps " + kept + ")\n";
  for (int i = 0; i < 30; ++i) want += "in/" + many(i) + ": ok\n";
  want += "in/short.qzr: damaged: error reading QZR header from file in/short.qzr !\n";
  EXPECT_EQ(r.out, want);
  const std::vector<uint8_t> err = read_file(dir / "err.txt");
  EXPECT_EQ(std::string(err.begin(), err.end()), "32 good, 2 damaged\n");

  r = qzr_shell(dir, "\"$0\" check --quiet in/coffee.qzr in/cut.qzr 2>/dev/null");
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "in/cut.qzr: damaged: the payload is cut short: its code needs 82 bits past the end of the file "
                   "(salvage keeps " + kept + ")\n");
  r = qzr_shell(dir, "\"$0\" check --json in/coffee.qzr in/cut.qzr 2>/dev/null");
  EXPECT_EQ(r.out,
            "{\"file\": \"in/coffee.qzr\", \"status\": \"ok\"}\n"
            "{\"file\": \"in/cut.qzr\", \"status\": \"damaged\", \"reason\": \"the payload is cut short: its code "
            "needs 82 bits past the end of the file\", \"salvage\": {\"payload_bytes\": 53949, "
            "\"payload_bytes_decided\": 53940, \"planes\": ["
            "{\"bands\": 16, \"whole\": 16, \"partial\": 0, \"missing\": 0, \"usable\": true}, "
            "{\"bands\": 16, \"whole\": 16, \"partial\": 0, \"missing\": 0, \"usable\": true}, "
            "{\"bands\": 16, \"whole\": 15, \"partial\": 1, \"missing\": 0, \"usable\": true}]}}\n");

  // convert keeps converting such a file as qzrdec decodes it, and says so.
  r = qzr_tool(dir, {"convert", "-f", "bmp", "-o", "out", "in/cut.qzr", "in/coffee.qzr"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out,
            "in/cut.qzr: warning: the payload is cut short: its code needs 82 bits past the end of the file "
            "(converted as qzrdec decodes it)\n"
            "2 converted, 0 skipped, 0 failed (1 converted with a warning: damaged, see qzr check)\n");
  EXPECT_EQ(read_file(dir / "out" / "cut.bmp"), qzrdec_bmp(dir / "in" / "cut.qzr"));
  // With --salvage it shows only what the file decides, and counts it.
  r = qzr_tool(dir, {"convert", "--salvage", "-f", "bmp", "-o", "kept", "in/cut.qzr"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out,
            "in/cut.qzr: salvaged: the file is cut short: its code decides 53940 of the payload's 53949 bytes; "
            "kept " + kept + "\n0 converted, 1 salvaged, 0 skipped, 0 failed\n");
  EXPECT_NE(read_file(dir / "kept" / "cut.bmp"), read_file(dir / "out" / "cut.bmp"));
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

size_t count(const std::string& text, const std::string& what) {
  size_t n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

TEST(QzrTool, InputsThatWouldShareAnOutputAreNotConverted) {
  ScratchDir dir;
  fs::create_directories(dir / "coll" / "a");
  fs::create_directories(dir / "coll" / "b");
  fs::copy_file(kSamples / "coffee.qzr", dir / "coll" / "a" / "x.qzr");
  fs::copy_file(kSamples / "astronaut.qzr", dir / "coll" / "b" / "x.qzr");
  // Two files for one output: neither is written, each named with the other.
  ProcessResult r = qzr_tool(dir, {"convert", "-o", "out", "coll/a/x.qzr", "coll/b/x.qzr"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(count(r.out, "coll/a/x.qzr"), 2u) << r.out;
  EXPECT_EQ(count(r.out, "coll/b/x.qzr"), 2u) << r.out;
  EXPECT_EQ(count(r.out, "out/x.png"), 2u) << r.out;
  EXPECT_NE(r.out.find("0 converted, 0 skipped, 2 failed\n"), std::string::npos) << r.out;
  EXPECT_FALSE(fs::exists(dir / "out"));

  // Names the same but for letter case (ASCII or not) clash too, beside the
  // input as under -o; the other files are converted.
  fs::copy_file(kSamples / "coffee.qzr", dir / "coll" / "photo.qzr");
  fs::copy_file(kSamples / "coffee.qzr", dir / "coll" / "photo.QZR");
  fs::copy_file(kSamples / "coffee.qzr", dir / "coll" / "\xc3\x89T\xc3\x89.qzr");  // ÉTÉ
  fs::copy_file(kSamples / "coffee.qzr", dir / "coll" / "\xc3\xa9t\xc3\xa9.qzr");  // été
  fs::copy_file(kSamples / "coffee.qzr", dir / "coll" / "alone.qzr");
  r = qzr_tool(dir, {"convert", "-r", "coll"});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.out.find("coll/photo.qzr: "), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("coll/photo.QZR: "), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("coll/\xc3\x89T\xc3\x89.qzr: "), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("3 converted, 0 skipped, 4 failed\n"), std::string::npos) << r.out;
  EXPECT_TRUE(fs::exists(dir / "coll" / "alone.png"));
  EXPECT_TRUE(fs::exists(dir / "coll" / "a" / "x.png"));  // beside their inputs the x.qzr files do not clash
  EXPECT_FALSE(fs::exists(dir / "coll" / "photo.png"));
  EXPECT_FALSE(fs::exists(dir / "coll" / "\xc3\xa9t\xc3\xa9.png"));

  // One file named twice, by two paths or two links, is converted once.
  fs::create_directories(dir / "linked");
  fs::create_hard_link(dir / "coll" / "alone.qzr", dir / "linked" / "alone.qzr");
  r = qzr_tool(dir, {"convert", "-o", "once", "coll/alone.qzr", "./coll/alone.qzr", "linked/alone.qzr"});
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_EQ(r.out, "1 converted, 0 skipped, 0 failed\n");

  // An output that is an input is not written, even with --force.
  fs::copy_file(kSamples / "coffee.qzr", dir / "odd.ppm");
  r = qzr_tool(dir, {"convert", "--force", "-f", "ppm", "odd.ppm"});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.out.find("odd.ppm: "), std::string::npos) << r.out;
  EXPECT_EQ(read_file(dir / "odd.ppm"), read_file(kSamples / "coffee.qzr"));
}

TEST(QzrTool, NamesAtTheFileSystemsLimitAreWritten) {
  ScratchDir dir;
  const std::string stem(251, 'n');  // NAME.png: 255 bytes
  fs::create_directories(dir / "in");
  fs::copy_file(kSamples / "coffee.qzr", dir / "in" / (stem + ".qzr"));
  ProcessResult r = qzr_tool(dir, {"convert", "-r", "-o", "out", "in"});
  EXPECT_EQ(r.out, "1 converted, 0 skipped, 0 failed\n");
  EXPECT_TRUE(fs::exists(dir / "out" / (stem + ".png")));
  r = qzr_tool(dir, {"convert", "-f", "bmp", "in/" + stem + ".qzr"});
  EXPECT_EQ(r.out, "1 converted, 0 skipped, 0 failed\n");
  EXPECT_EQ(read_file(dir / "in" / (stem + ".bmp")), qzrdec_bmp(kSamples / "coffee.qzr"));
  EXPECT_EQ(std::distance(fs::directory_iterator(dir / "in"), fs::directory_iterator()), 2);
}

// What convert relies on without --force when an output appears while its
// picture is decoded: the move keeps the file that took the name, and no
// temporary stays behind; with replace it is replaced whole.
TEST(QzrTool, AWriteThatMayNotReplaceKeepsTheFileThatTookTheName) {
  ScratchDir dir;
  const std::vector<uint8_t> kept = {'k', 'e', 'e', 'p'}, bytes = {1, 2, 3};
  write_file(dir / "out.png", kept);
  tool::WriteOutcome w = tool::write_file_whole(dir / "out.png", bytes, {.replace = false});
  EXPECT_EQ(w.step, tool::WriteStep::exists);
  EXPECT_EQ(read_file(dir / "out.png"), kept);
  EXPECT_EQ(std::distance(fs::directory_iterator(dir.path), fs::directory_iterator()), 1);
  w = tool::write_file_whole(dir / "out.png", bytes, {.replace = true});
  EXPECT_TRUE(w.ok());
  EXPECT_EQ(read_file(dir / "out.png"), bytes);
}

TEST(QzrTool, FoldersAreTakenWholeWithRecursiveAndEveryInputIsAccountedFor) {
  ScratchDir dir;
  copy_samples(dir / "tree" / "a");
  copy_samples(dir / "elsewhere");
  fs::create_directory_symlink("../elsewhere", dir / "tree" / "outside");  // followed
  fs::create_directory_symlink("..", dir / "tree" / "a" / "up");           // a loop: noted, not walked again
  fs::create_symlink("gone.qzr", dir / "tree" / "gone.qzr");               // a link to nothing: failed

  // Without -r a folder is a usage error, for every command.
  for (const char* command : {"convert", "check", "info"}) {
    ProcessResult r = qzr_tool(dir, {command, "tree"});
    EXPECT_EQ(r.status, 2) << command;
    EXPECT_NE(r.out.find("tree"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("-r"), std::string::npos) << r.out;
  }
  EXPECT_FALSE(fs::exists(dir / "tree" / "a" / "coffee.png"));

  ProcessResult r = qzr_tool(dir, {"convert", "-r", "-o", "out", "tree", "missing.qzr"});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.out.find("tree/a/up: "), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("tree/gone.qzr: "), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("missing.qzr: no such file or directory\n"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("4 converted, 0 skipped, 2 failed\n"), std::string::npos) << r.out;
  EXPECT_TRUE(fs::exists(dir / "out" / "outside" / "coffee.png"));
  EXPECT_TRUE(fs::exists(dir / "out" / "a" / "astronaut.png"));
  EXPECT_FALSE(fs::exists(dir / "out" / "a" / "up"));

  // info takes the same files.
  r = qzr_tool(dir, {"info", "-r", "tree/outside", "elsewhere/coffee.qzr"});
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_EQ(count(r.out, "tree/outside/astronaut.qzr: 512 x 512"), 1u) << r.out;
  EXPECT_EQ(count(r.out, "coffee.qzr: 600 x 400"), 2u) << r.out;

  // Format names in any case.
  r = qzr_tool(dir, {"convert", "-f", "PNG", "-o", "upper", "elsewhere/coffee.qzr"});
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_TRUE(fs::exists(dir / "upper" / "coffee.png"));
  r = qzr_tool(dir, {"convert", "-f", "Bmp", "-o", "upper", "elsewhere/coffee.qzr"});
  EXPECT_EQ(read_file(dir / "upper" / "coffee.bmp"), qzrdec_bmp(kSamples / "coffee.qzr"));
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
