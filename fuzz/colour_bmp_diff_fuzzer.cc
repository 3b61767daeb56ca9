// Colour conversion and BMP rows: the padded pixel buffer (16 pixels at a
// time) checked pixel by pixel against the pixel form, then the rows made
// straight from the three planes against the buffer's visible rows. The
// same bytes, fill bytes included.
#include <vector>

#include "fuzz_input.h"
#include "output/bmp_writer.h"
#include "output/colour_conversion.h"

using namespace qzr;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::FuzzInput input{{data, size}};
  // Any visible size within any even padded size up to 512 x 64.
  const uint32_t padded_width = 2 * (1 + input.u8());
  const uint32_t padded_height = 1 + input.u8() % 64;
  const uint32_t width = input.u16() % (padded_width + 1);
  const uint32_t height = input.u8() % (padded_height + 1);
  const uint8_t fill = input.u8();

  Plane planes[3];
  const uint32_t widths[3] = {padded_width, padded_width / 2, padded_width / 2};
  for (int p = 0; p < 3; ++p) {
    planes[p].width = static_cast<int>(widths[p]);
    planes[p].height = static_cast<int>(padded_height);
    planes[p].samples.assign(size_t{widths[p]} * padded_height, fill);
  }
  // The data's bytes go round the three planes' samples; the extremes, where
  // the clamps act, come up often among fuzzed bytes.
  const std::span<const uint8_t> rest = input.rest();
  for (size_t i = 0; i < rest.size(); ++i) {
    Plane& p = planes[i % 3];
    p.samples[(i / 3) % p.samples.size()] = rest[i];
  }
  if (!check_plane_sizes(planes[0], planes[1], planes[2], padded_width, padded_height).ok()) fuzz::differs();

  std::vector<uint8_t> pixels(3 * size_t{padded_width} * padded_height);
  convert_to_bgr(planes[0], planes[1], planes[2], pixels, padded_width, padded_height);
  for (uint32_t r = 0; r < padded_height; ++r)
    for (uint32_t c = 0; c < padded_width; ++c) {
      const size_t chroma = (size_t{r} * padded_width + c) / 2;
      const Pixel3 px = convert_pixel(planes[0].samples[size_t{r} * padded_width + c], planes[1].samples[chroma],
                                      planes[2].samples[chroma]);
      const uint8_t* q = &pixels[3 * (size_t{r} * padded_width + c)];
      if (q[0] != px.b0 || q[1] != px.b1 || q[2] != px.b2) fuzz::differs();
    }
  std::vector<uint8_t> plain, fast;
  ByteWriter a = memory_writer(plain), b = memory_writer(fast);
  write_bmp_rows(a, pixels, width, height, padded_width);
  write_bmp_from_planes(b, planes, width, height, padded_width);
  a.flush();
  b.flush();
  if (fast != plain || plain.size() != kBmpHeaderSize + size_t{bmp_row_size(width)} * height) fuzz::differs();
  return 0;
}
