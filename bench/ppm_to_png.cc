// PPM on standard input to PNG on standard output, written as qzr convert
// writes its PNG files (the same libpng settings), so that a JPEG pipeline
// (djpeg | qzr_ppm_to_png) and qzr compare on their decoding alone.
// usage: qzr_ppm_to_png [LEVEL] <in.ppm >out.png   (LEVEL: zlib's, default 1)
#include <cstdio>
#include <cstdlib>
#include <iterator>
#include <vector>

#include "image_io.h"
#include "picture_files.h"

int main(int argc, char** argv) {
  const int level = argc > 1 ? std::atoi(argv[1]) : 1;
  std::vector<uint8_t> in;
  uint8_t chunk[1 << 16];
  for (size_t n; (n = std::fread(chunk, 1, sizeof chunk, stdin)) > 0;) in.insert(in.end(), chunk, chunk + n);
  qzr::Result<qzr::Picture> picture = qzr::enc::decode_ppm(in, "standard input");
  if (!picture.ok()) {
    std::fputs(picture.failure().text.c_str(), stderr);
    return 1;
  }
  const std::vector<uint8_t> png = qzr::tool::png_file(picture.value(), level);
  return !png.empty() && std::fwrite(png.data(), 1, png.size(), stdout) == png.size() && std::fflush(stdout) == 0
             ? 0
             : 1;
}
