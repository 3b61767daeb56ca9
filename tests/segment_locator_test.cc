#include "container/segment_locator.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace qzr {
namespace {

struct Found {
  bool ok;
  std::string text;
  uint64_t offset;
};

Found search(const std::string& data, const char* name = "YSeg") {
  std::vector<uint8_t> bytes(data.begin(), data.end());
  ByteReader in = memory_reader(bytes);
  Status s = find_segment(in, name);
  return {s.ok(), s.ok() ? "" : s.failure.text, in.offset()};
}

TEST(SegmentLocator, FindsMarkersAndStopsBehindThem) {
  EXPECT_EQ(search("$YSeg...").offset, 5u);
  EXPECT_EQ(search("ab$YSeg").offset, 7u);
  EXPECT_TRUE(search("$XSeg", "VSeg").ok);                        // the letter is not tested
  EXPECT_EQ(search(std::string("\xFF\xFF$USeg", 7)).offset, 7u);  // 0xFF is an ordinary byte
}

TEST(SegmentLocator, BytesAfterADollarAreConsumedWhole) {
  // The first "$" takes "$YSe" and fails; scanning resumes at "g".
  Found f = search("$$YSeg");
  EXPECT_FALSE(f.ok);
  EXPECT_EQ(f.text, "\nSegment YSeg not found !\n");
  // But a "$" right after a failed candidate starts a new one.
  EXPECT_EQ(search("$abcd$USeg").offset, 10u);
}

TEST(SegmentLocator, IncompleteOrMissingMarkerFailsWithTheName) {
  for (const std::string data : {"", "$", "$YSe", "xx$xSe", "no marker here"}) {
    Found f = search(data, "USeg");
    EXPECT_FALSE(f.ok) << data;
    EXPECT_EQ(f.text, "\nSegment USeg not found !\n");
  }
}

TEST(SegmentLocator, SearchesContinueWhereTheLastEnded) {
  std::string data = "$YSegAB$USegCD$VSeg";
  std::vector<uint8_t> bytes(data.begin(), data.end());
  ByteReader in = memory_reader(bytes);
  ASSERT_TRUE(find_segment(in, "YSeg").ok());
  EXPECT_EQ(in.read_byte(), 'A');
  in.read_byte();
  ASSERT_TRUE(find_segment(in, "USeg").ok());
  EXPECT_EQ(in.offset(), 12u);
  ASSERT_TRUE(find_segment(in, "VSeg").ok());
  EXPECT_FALSE(find_segment(in, "VSeg").ok());
}

}  // namespace
}  // namespace qzr
