// PNG files by zlib alone, for builds without libpng (Windows): the
// signature, IHDR (8-bit RGB, not interlaced), the rows deflated into IDAT
// chunks of at most 1 MiB, IEND; each chunk with its CRC.
#include <zlib.h>

#include <algorithm>
#include <array>
#include <new>

#include "picture_files.h"

namespace qzr::tool {

namespace {

constexpr size_t kIdatBytes = size_t{1} << 20;
constexpr size_t kFeedBytes = size_t{1} << 30;  // at once into zlib, whose counts are 32-bit

void put32(std::vector<uint8_t>& out, uint32_t v) {
  for (int shift = 24; shift >= 0; shift -= 8) out.push_back(static_cast<uint8_t>(v >> shift));
}

void set32(uint8_t* at, uint32_t v) {
  for (int k = 0; k < 4; ++k) at[k] = static_cast<uint8_t>(v >> (24 - 8 * k));
}

// A whole chunk of `size` bytes of data, for the small ones.
void chunk(std::vector<uint8_t>& out, const char* type, const uint8_t* data, size_t size) {
  put32(out, static_cast<uint32_t>(size));
  const size_t start = out.size();
  out.insert(out.end(), type, type + 4);
  out.insert(out.end(), data, data + size);
  put32(out, static_cast<uint32_t>(crc32(0, out.data() + start, static_cast<uInt>(size + 4))));
}

// zlib's stream, ended however the writing ends.
struct Deflater {
  z_stream z{};
  bool ready = false;
  explicit Deflater(int level) { ready = deflateInit(&z, level) == Z_OK; }
  ~Deflater() {
    if (ready) deflateEnd(&z);
  }
  Deflater(const Deflater&) = delete;
  Deflater& operator=(const Deflater&) = delete;
};

}  // namespace

std::vector<uint8_t> deflated_png_file(const Picture& picture, int png_level) try {
  std::vector<uint8_t> out = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
  std::array<uint8_t, 13> header = {};
  set32(header.data(), static_cast<uint32_t>(picture.width));
  set32(header.data() + 4, static_cast<uint32_t>(picture.height));
  header[8] = 8;  // bits per sample
  header[9] = 2;  // RGB; compression, filter method and interlace 0
  chunk(out, "IHDR", header.data(), header.size());

  Deflater d(std::clamp(png_level, 0, 9));
  if (!d.ready) return {};
  z_stream& z = d.z;
  size_t idat = 0;  // where the open IDAT chunk starts
  const auto open_idat = [&] {
    idat = out.size();
    out.resize(idat + 8 + kIdatBytes);
    std::copy_n("IDAT", 4, out.begin() + static_cast<std::ptrdiff_t>(idat + 4));
    z.next_out = out.data() + idat + 8;
    z.avail_out = static_cast<uInt>(kIdatBytes);
  };
  const auto close_idat = [&] {
    const size_t size = kIdatBytes - z.avail_out;
    out.resize(idat + 8 + size);
    set32(out.data() + idat, static_cast<uint32_t>(size));
    put32(out, static_cast<uint32_t>(crc32(0, out.data() + idat + 4, static_cast<uInt>(size + 4))));
  };
  // Into the stream; with Z_FINISH to its end. False when zlib fails.
  const auto feed = [&](const uint8_t* data, size_t size, int flush) {
    do {
      const size_t now = std::min(size, kFeedBytes);
      z.next_in = const_cast<Bytef*>(data);
      z.avail_in = static_cast<uInt>(now);
      data += now;
      size -= now;
      const int last = size == 0 ? flush : Z_NO_FLUSH;
      for (;;) {
        if (z.avail_out == 0) {
          close_idat();
          open_idat();
        }
        const int r = deflate(&z, last);
        if (r == Z_STREAM_END) break;
        if (r != Z_OK && r != Z_BUF_ERROR) return false;
        if (last == Z_NO_FLUSH && z.avail_in == 0 && z.avail_out != 0) break;
      }
    } while (size > 0);
    return true;
  };

  open_idat();
  // Each row after its filter type: none at level 0, else sub (the byte
  // less the one a pixel before), most of the adaptive choice's gain.
  const size_t row = size_t{3} * static_cast<size_t>(picture.width);
  std::vector<uint8_t> line(row + 1);
  line[0] = png_level == 0 ? 0 : 1;
  for (int y = 0; y < picture.height; ++y) {
    const uint8_t* p = picture.rgb.data() + row * static_cast<size_t>(y);
    for (size_t i = 0; i < row; ++i) line[i + 1] = static_cast<uint8_t>(p[i] - (line[0] != 0 && i >= 3 ? p[i - 3] : 0));
    if (!feed(line.data(), line.size(), Z_NO_FLUSH)) return {};
  }
  if (!feed(nullptr, 0, Z_FINISH)) return {};
  close_idat();
  chunk(out, "IEND", nullptr, 0);
  return out;
} catch (const std::bad_alloc&) {
  return {};
}

}  // namespace qzr::tool
