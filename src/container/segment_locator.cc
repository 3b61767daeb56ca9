#include "container/segment_locator.h"

namespace qzr {

Status find_segment(ByteReader& in, const char* name) {
  for (;;) {
    int c = in.read_byte();
    if (c == kEndOfFile) break;
    if (c != kSegmentStart) continue;
    // The 4 bytes after a "$" are consumed whole, so a "$" among them never
    // starts a new candidate.
    uint8_t marker[4] = {0, 0, 0, 0};
    size_t got = in.read_block(marker, 4);
    if (got == 4 && marker[1] == 'S' && marker[2] == 'e' && marker[3] == 'g') return Status::success();
  }
  return format_failure(format_text("\nSegment %s not found !\n", name));
}

}  // namespace qzr
