// Decodes a QZR file through the installed library, writes the BMP qzrdec
// would write, and checks that the picture survives an encode and decode.
// usage: consumer IN.qzr OUT.bmp
#include <qzr/qzr.h>

#include <cstdio>
#include <vector>

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fputs("usage: consumer IN.qzr OUT.bmp\n", stderr);
    return 2;
  }
  qzr::Result<qzr::Picture> picture = qzr::decode_file(argv[1]);
  if (!picture.ok()) {
    std::fputs(picture.failure().text.c_str(), stderr);
    return 1;
  }
  const std::vector<uint8_t> bmp = qzr::to_bmp(picture.value());
  std::FILE* out = std::fopen(argv[2], "wb");
  if (out == nullptr || std::fwrite(bmp.data(), 1, bmp.size(), out) != bmp.size() || std::fclose(out) != 0) {
    std::fprintf(stderr, "cannot write %s\n", argv[2]);
    return 1;
  }
  qzr::Result<qzr::EncodedFile> file = qzr::encode(picture.value(), {});
  if (!file.ok()) {
    std::fputs(file.failure().text.c_str(), stderr);
    return 1;
  }
  qzr::Result<qzr::Picture> again = qzr::decode_buffer(file.value().bytes);
  if (!again.ok() || again.value().width != picture.value().width || again.value().height != picture.value().height) {
    std::fputs("the re-encoded picture does not decode to its size\n", stderr);
    return 1;
  }
  std::printf("%d x %d, re-encoded in %zu bytes\n", picture.value().width, picture.value().height,
              file.value().bytes.size());
  return 0;
}
