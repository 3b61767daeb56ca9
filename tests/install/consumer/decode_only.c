/* Decodes a QZR file with the decoder library alone (qzr::decoder) and
 * writes its pixels as a BMP file stores them: B, G, R, the bottom row
 * first (with no row padding: for pictures whose rows need none).
 * usage: decode_only IN.qzr OUT.raw */
#include <stdio.h>
#include <stdlib.h>

#include <qzr/decode.h>

int main(int argc, char** argv) {
  FILE* in;
  FILE* out;
  uint8_t* data;
  uint8_t* pixels;
  long size;
  size_t stride, row;
  qzr_info info;
  qzr_decode_options options;
  qzr_status status;
  if (argc != 3) return 2;
  in = fopen(argv[1], "rb");
  if (in == NULL || fseek(in, 0, SEEK_END) != 0 || (size = ftell(in)) <= 0 || fseek(in, 0, SEEK_SET) != 0) return 2;
  data = malloc((size_t)size);
  if (data == NULL || fread(data, 1, (size_t)size, in) != (size_t)size) return 2;
  fclose(in);
  status = qzr_get_info(data, (size_t)size, &info);
  if (status != QZR_OK) {
    fprintf(stderr, "%s\n", qzr_status_string(status));
    return 1;
  }
  qzr_decode_options_init(&options);
  options.format = QZR_PIXEL_BGR;
  stride = 3 * (size_t)info.width;
  pixels = malloc(stride * info.height);
  if (pixels == NULL) return 2;
  status = qzr_decode_into(data, (size_t)size, &options, pixels, stride, stride * info.height);
  if (status != QZR_OK) {
    fprintf(stderr, "%s\n", qzr_status_string(status));
    return 1;
  }
  out = fopen(argv[2], "wb");
  if (out == NULL) return 2;
  for (row = info.height; row-- > 0;)
    if (fwrite(pixels + row * stride, 1, stride, out) != stride) return 2;
  if (fclose(out) != 0) return 2;
  free(pixels);
  free(data);
  return 0;
}
