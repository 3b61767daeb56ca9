// PPM on standard input to PNG on standard output, written as qzr convert
// writes its PNG files (the same libpng settings), so that a JPEG pipeline
// (djpeg | qzr_ppm_to_png) and qzr compare on their decoding alone.
// usage: qzr_ppm_to_png [LEVEL] <in.ppm >out.png   (LEVEL: zlib's, default 1)
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <vector>

#include "file_io.h"
#include "image_io.h"
#include "picture_files.h"

int main(int argc, char** argv) {
  const int level = argc > 1 ? std::atoi(argv[1]) : 1;
  std::error_code error;
  const std::optional<std::vector<uint8_t>> in = qzr::tool::read_whole_file("/dev/stdin", error);
  if (!in) {
    std::fprintf(stderr, "standard input: %s\n", error.message().c_str());
    return 1;
  }
  qzr::Result<qzr::Picture> picture = qzr::enc::decode_ppm(*in, "standard input");
  if (!picture.ok()) {
    std::fputs(picture.failure().text.c_str(), stderr);
    return 1;
  }
  const std::vector<uint8_t> png = qzr::tool::png_file(picture.value(), level);
  return !png.empty() && std::fwrite(png.data(), 1, png.size(), stdout) == png.size() && std::fflush(stdout) == 0
             ? 0
             : 1;
}
