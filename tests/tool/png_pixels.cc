// png_pixels FILE.png: the PNG's pixels as binary PPM on standard output
// (the bytes qzr convert -f ppm writes), read by libpng strictly: any
// warning, a bad CRC, data past the image or a missing IEND fails with
// status 1 and the reason on standard error. 8-bit RGB files alone, as qzr
// writes them. The Windows test reads qzr.exe's PNG files with it.
#include <png.h>

#include <csetjmp>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

std::string problem;

[[noreturn]] void on_error(png_structp png, png_const_charp message) {
  problem = std::string("error: ") + message;
  png_longjmp(png, 1);
}

void on_warning(png_structp png, png_const_charp message) {
  problem = std::string("warning: ") + message;
  png_longjmp(png, 1);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fputs("usage: png_pixels FILE.png\n", stderr);
    return 2;
  }
  std::FILE* f = std::fopen(argv[1], "rb");
  if (f == nullptr) {
    std::perror(argv[1]);
    return 1;
  }
  png_structp png = png_create_read_struct(PNG_LIBPNG_VER_STRING, nullptr, on_error, on_warning);
  png_infop info = png_create_info_struct(png);
  if (setjmp(png_jmpbuf(png))) {
    std::fprintf(stderr, "%s: %s\n", argv[1], problem.c_str());
    return 1;
  }
  png_init_io(png, f);
  png_read_png(png, info, PNG_TRANSFORM_IDENTITY, nullptr);  // to IEND
  if (std::fgetc(f) != EOF) on_error(png, "bytes after IEND");
  if (png_get_bit_depth(png, info) != 8 || png_get_color_type(png, info) != PNG_COLOR_TYPE_RGB ||
      png_get_interlace_type(png, info) != PNG_INTERLACE_NONE)
    on_error(png, "not 8-bit RGB without interlace");
  const png_uint_32 width = png_get_image_width(png, info), height = png_get_image_height(png, info);
  std::printf("P6\n%u %u\n255\n", width, height);
  png_bytepp rows = png_get_rows(png, info);
  for (png_uint_32 y = 0; y < height; ++y) std::fwrite(rows[y], 1, size_t{3} * width, stdout);
  png_destroy_read_struct(&png, &info, nullptr);
  std::fclose(f);
  return std::fflush(stdout) == 0 ? 0 : 1;
}
