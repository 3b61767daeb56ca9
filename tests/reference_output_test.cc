// Fixed pictures: files whose BMP is known byte for byte, held here as the
// SHA-256 of the whole BMP. The encoder shares the decoder's constants and
// tables, so round trips cannot tell a wrong constant from a right one; a
// fixed digest can, whatever stage the fault sits in.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "decode.h"
#include "files.h"
#include "qzr/qzr.h"
#include "sha256.h"

namespace qzr {
namespace {

namespace fs = std::filesystem;
using test::sha256_hex;

std::string hex_of(const std::string& text) {
  return sha256_hex({reinterpret_cast<const uint8_t*>(text.data()), text.size()});
}

TEST(Sha256, StandardVectors) {
  EXPECT_EQ(hex_of(""), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
  EXPECT_EQ(hex_of("abc"), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
  // 56 bytes: the length no longer fits the first block.
  EXPECT_EQ(hex_of("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq"),
            "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1");
}

// The digest of the BMP that qzrdec writes for `file`, decoded on `threads`
// threads; empty when the decode fails.
std::string bmp_digest(const std::vector<uint8_t>& file, int threads) {
  DecodeLimits limits;
  limits.threads = threads;
  Expected<DecodedBmp> r = decode_to_bmp(file, limits);
  if (!r.ok()) {
    ADD_FAILURE() << r.failure().text;
    return {};
  }
  return sha256_hex(r.value().bmp);
}

// The samples' pictures as qzrdec wrote them when they were made; on one
// thread and on several, which split the payload's expansion from the
// planes' reading.
TEST(ReferenceOutput, SamplesDecodeToTheirFixedBmp) {
  const struct {
    const char* name;
    const char* digest;
  } samples[] = {
      {"astronaut.qzr", "e06999e375bc52836e4c841b02e5c2ca70035f324c821144247808664802a22d"},
      {"coffee.qzr", "42826495c1e1de370f22c41dc58d32e1f9f5192133ff4bbd54b391bc4619b3db"},
  };
  for (const auto& s : samples) {
    const std::vector<uint8_t> file = test::read_file(fs::path(QZR_SAMPLES_DIR) / s.name);
    ASSERT_FALSE(file.empty()) << s.name;
    for (int threads : {1, 3}) EXPECT_EQ(bmp_digest(file, threads), s.digest) << s.name << ", threads " << threads;
  }
}

// Files from another encoder, kept beside the project (shared/conformance),
// each listed in expected.sha256 with the digest of its exact BMP, which a
// salvage gives too.
TEST(ReferenceOutput, ConformanceFilesDecodeToTheirListedBmp) {
  const fs::path dir = QZR_CONFORMANCE_DIR;
  std::ifstream list(dir / "expected.sha256");
  if (!list) GTEST_SKIP() << "no conformance files in " << dir.string();
  std::string line;
  int checked = 0;
  while (std::getline(list, line)) {
    std::istringstream fields(line);
    std::string digest, bmp_name;
    if (!(fields >> digest >> bmp_name)) continue;
    ASSERT_TRUE(bmp_name.size() > 4 && bmp_name.ends_with(".bmp")) << line;
    const std::string name = bmp_name.substr(0, bmp_name.size() - 4);
    const std::vector<uint8_t> file = test::read_file(dir / name);
    ASSERT_FALSE(file.empty()) << name;
    EXPECT_EQ(bmp_digest(file, 1), digest) << name;
    // A whole file salvages to the same picture, with nothing lost.
    const Result<Salvaged> salvaged = salvage(file);
    ASSERT_TRUE(salvaged.ok()) << name;
    EXPECT_FALSE(salvaged.value().damaged()) << name << ": " << salvaged.value().failure;
    EXPECT_EQ(sha256_hex(to_bmp(salvaged.value().picture)), digest) << name;
    ++checked;
  }
  EXPECT_GT(checked, 0) << "expected.sha256 lists no files";
}

}  // namespace
}  // namespace qzr
