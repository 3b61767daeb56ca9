/* The C API as a C program sees it: compiled as C99 with -Wall -Werror,
 * against the build's library (ctest) or an installed one (pkg-config).
 * usage: c_api_test FILE.qzr OTHER.qzr
 * Checks the header information, every pixel format against RGB, a stride
 * wider than the row (the bytes between rows untouched), the limits, a
 * buffer too small (nothing written past it), damaged and truncated inputs,
 * the encoder, and threads decoding both files at once. */
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <qzr/decode.h>
#include <qzr/encode.h>

static int failures = 0;

#define CHECK(cond)                                                      \
  do {                                                                   \
    if (!(cond)) {                                                       \
      fprintf(stderr, "%s:%d: failed: %s\n", __FILE__, __LINE__, #cond); \
      ++failures;                                                        \
    }                                                                    \
  } while (0)

typedef struct {
  uint8_t* data;
  size_t size;
} bytes;

static bytes read_all(const char* path) {
  bytes b = {NULL, 0};
  FILE* f = fopen(path, "rb");
  long n;
  if (f == NULL || fseek(f, 0, SEEK_END) != 0 || (n = ftell(f)) < 0 || fseek(f, 0, SEEK_SET) != 0) {
    fprintf(stderr, "cannot read %s\n", path);
    exit(2);
  }
  b.size = (size_t)n;
  b.data = malloc(b.size ? b.size : 1);
  if (b.data == NULL || fread(b.data, 1, b.size, f) != b.size) exit(2);
  fclose(f);
  return b;
}

/* The picture as tightly packed RGB, or NULL. */
static uint8_t* decode_rgb(const bytes* file, const qzr_info* info) {
  size_t stride = 3 * (size_t)info->width;
  uint8_t* rgb = malloc(stride * info->height);
  if (rgb == NULL) exit(2);
  if (qzr_decode_into(file->data, file->size, NULL, rgb, stride, stride * info->height) != QZR_OK) {
    free(rgb);
    return NULL;
  }
  return rgb;
}

static void check_info_and_formats(const bytes* file) {
  qzr_info info;
  uint8_t* rgb;
  int f;
  CHECK(qzr_get_info(file->data, file->size, &info) == QZR_OK);
  CHECK(info.width > 0 && info.height > 0);
  CHECK(info.padded_width % 256 == 0 && info.padded_width >= info.width && info.padded_width - info.width < 256);
  CHECK(info.padded_height % 256 == 0 && info.padded_height >= info.height);
  CHECK(info.payload_length > 0);
  rgb = decode_rgb(file, &info);
  CHECK(rgb != NULL);
  if (rgb == NULL) return;

  /* Every format, rows 7 bytes wider than the pixels: the same colours, and
   * the gap bytes keep their value. */
  for (f = QZR_PIXEL_RGB; f <= QZR_PIXEL_BGRA; ++f) {
    qzr_decode_options o;
    size_t pixel = qzr_pixel_size((qzr_pixel_format)f);
    size_t row = pixel * info.width, stride = row + 7, size = stride * info.height;
    uint8_t* buf = malloc(size);
    uint32_t x, y;
    int wrong = 0, gap_touched = 0;
    if (buf == NULL) exit(2);
    memset(buf, 0xA5, size);
    qzr_decode_options_init(&o);
    o.format = (qzr_pixel_format)f;
    CHECK(qzr_decode_into(file->data, file->size, &o, buf, stride, size) == QZR_OK);
    for (y = 0; y < info.height; ++y) {
      const uint8_t* p = buf + (size_t)y * stride;
      const uint8_t* want = rgb + (size_t)y * 3 * info.width;
      for (x = 0; x < info.width; ++x, p += pixel, want += 3) {
        int red = (f == QZR_PIXEL_RGB || f == QZR_PIXEL_RGBA) ? 0 : 2;
        if (p[red] != want[0] || p[1] != want[1] || p[2 - red] != want[2]) wrong = 1;
        if (pixel == 4 && p[3] != 255) wrong = 1;
      }
      for (x = 0; x < stride - row; ++x)
        if (buf[(size_t)y * stride + row + x] != 0xA5) gap_touched = 1;
    }
    CHECK(!wrong);
    CHECK(!gap_touched);
    free(buf);
  }

  /* A buffer one byte short fails without a write; the last row needs no
   * gap after it. */
  {
    size_t stride = 3 * (size_t)info.width + 5, need = stride * (info.height - 1) + 3 * (size_t)info.width;
    uint8_t* buf = malloc(need + 16);
    size_t i;
    int touched = 0;
    if (buf == NULL) exit(2);
    memset(buf, 0x5A, need + 16);
    CHECK(qzr_decode_into(file->data, file->size, NULL, buf, stride, need - 1) == QZR_ERROR_ARGUMENT);
    for (i = 0; i < need + 16; ++i)
      if (buf[i] != 0x5A) touched = 1;
    CHECK(!touched);
    CHECK(qzr_decode_into(file->data, file->size, NULL, buf, 3 * (size_t)info.width - 1, need + 16) ==
          QZR_ERROR_ARGUMENT);
    CHECK(qzr_decode_into(file->data, file->size, NULL, buf, stride, need) == QZR_OK);
    for (i = need; i < need + 16; ++i)
      if (buf[i] != 0x5A) touched = 1;
    CHECK(!touched);
    free(buf);
  }

  /* Limits: refused with a status and qzrdec's text without its framing
   * line feeds, by qzr_read_info as by the decode, before the buffer. */
  {
    qzr_decode_options o;
    char message[200], read_message[200];
    size_t size = 3 * (size_t)info.width * info.height;
    uint8_t* buf = malloc(size);
    qzr_info limited;
    int limit;
    if (buf == NULL) exit(2);
    for (limit = 0; limit < 2; ++limit) {
      qzr_decode_options_init(&o);
      if (limit == 0)
        o.max_pixels = (uint64_t)info.width * info.height - 1;
      else
        o.max_payload = info.payload_length - 1;
      o.message = read_message;
      o.message_size = sizeof read_message;
      memset(&limited, 0x5A, sizeof limited);
      CHECK(qzr_read_info(file->data, file->size, &o, &limited) == QZR_ERROR_LIMIT);
      CHECK(limited.width == 0x5A5A5A5Au); /* left as it was */
      o.message = message;
      o.message_size = sizeof message;
      CHECK(qzr_decode_into(file->data, file->size, &o, buf, 0, 0) == QZR_ERROR_LIMIT);
      CHECK(strcmp(message, read_message) == 0);
      CHECK(strstr(message, "beyond the limit") != NULL && message[0] != '\n' &&
            message[strlen(message) - 1] == '!');
      /* At the limit, or with the defaults, the header is read. */
      if (limit == 0)
        o.max_pixels++;
      else
        o.max_payload++;
      CHECK(qzr_read_info(file->data, file->size, &o, &limited) == QZR_OK && message[0] == '\0');
      CHECK(memcmp(&limited, &info, sizeof info) == 0);
      CHECK(qzr_read_info(file->data, file->size, NULL, &limited) == QZR_OK);
      CHECK(qzr_decode_into(file->data, file->size, &o, buf, 3 * (size_t)info.width, size) == QZR_OK);
      CHECK(message[0] == '\0');
    }
    CHECK(qzr_read_info(NULL, 0, &o, &limited) == QZR_ERROR_ARGUMENT && message[0] != '\0');
    CHECK(qzr_read_info(file->data, file->size, &o, NULL) == QZR_ERROR_ARGUMENT);
    o.format = (qzr_pixel_format)7;
    CHECK(qzr_decode_into(file->data, file->size, &o, buf, 3 * (size_t)info.width, size) == QZR_ERROR_ARGUMENT);
    free(buf);
  }
  free(rgb);
}

static void check_damaged(const bytes* file) {
  qzr_info info;
  qzr_decode_options o;
  char message[120];
  uint8_t* copy = malloc(file->size);
  uint8_t pixel[3 * 4];
  uint8_t* buf;
  size_t cut, stride, size;
  if (copy == NULL) exit(2);
  qzr_get_info(file->data, file->size, &info);
  stride = 3 * (size_t)info.width;
  size = stride * info.height;
  buf = malloc(size);
  if (buf == NULL) exit(2);

  CHECK(qzr_get_info(NULL, 10, &info) == QZR_ERROR_ARGUMENT);
  CHECK(qzr_get_info(file->data, file->size, NULL) == QZR_ERROR_ARGUMENT);
  CHECK(qzr_get_info(file->data, 31, &info) == QZR_ERROR_TRUNCATED);
  CHECK(qzr_get_info(file->data, 35, &info) == QZR_ERROR_TRUNCATED);
  CHECK(qzr_decode_into(NULL, 0, NULL, pixel, 3, sizeof pixel) == QZR_ERROR_ARGUMENT);

  memcpy(copy, file->data, file->size);
  copy[0] = 'V';
  CHECK(qzr_get_info(copy, file->size, &info) == QZR_ERROR_NOT_QZR);
  qzr_decode_options_init(&o);
  o.message = message;
  o.message_size = sizeof message;
  CHECK(qzr_decode_into(copy, file->size, &o, buf, stride, size) == QZR_ERROR_NOT_QZR);
  CHECK(strcmp(message, "Not quorlen wavelet image file!") == 0);
  /* A message buffer too small holds the start of the text. */
  o.message_size = 4;
  CHECK(qzr_decode_into(copy, file->size, &o, buf, stride, size) == QZR_ERROR_NOT_QZR);
  CHECK(strcmp(message, "Not") == 0);

  memcpy(copy, file->data, file->size);
  copy[29] = '1';
  CHECK(qzr_get_info(copy, file->size, &info) == QZR_ERROR_UNSUPPORTED_VERSION);
  /* Two lines, the size and the refusal, with no line feed around them. */
  o.message_size = sizeof message;
  CHECK(qzr_read_info(copy, file->size, &o, &info) == QZR_ERROR_UNSUPPORTED_VERSION);
  CHECK(strchr(message, '\n') != NULL && message[0] != '\n' && message[strlen(message) - 1] != '\n');

  /* Cut anywhere: a status, never a crash; inside the header or the length
   * word it is truncation. */
  qzr_get_info(file->data, file->size, &info);
  for (cut = 0; cut < file->size; cut += cut < 64 ? 1 : 997) {
    qzr_status s = qzr_decode_into(file->data, cut, NULL, buf, stride, size);
    if (cut < 36)
      CHECK(s == QZR_ERROR_TRUNCATED);
    else
      CHECK(s == QZR_ERROR_CORRUPT || s == QZR_OK);
    /* What the decode passes over, the audit does not. */
    CHECK(qzr_check(file->data, cut, NULL) == (s == QZR_OK ? QZR_ERROR_DAMAGED : s));
  }
  qzr_decode_options_init(&o);
  o.message = message;
  o.message_size = sizeof message;
  CHECK(qzr_check(file->data, file->size, &o) == QZR_OK);
  CHECK(message[0] == '\0');
  CHECK(qzr_check(file->data, file->size - 1, &o) == QZR_ERROR_DAMAGED);
  CHECK(strstr(message, "cut short") != NULL && strchr(message, '\n') == NULL);
  CHECK(qzr_check(NULL, 0, &o) == QZR_ERROR_ARGUMENT);
  CHECK(strcmp(qzr_status_string(QZR_ERROR_DAMAGED), "damaged data") == 0);
  /* Damaged payload bytes likewise. */
  for (cut = 40; cut < file->size; cut += 1531) {
    qzr_status s;
    memcpy(copy, file->data, file->size);
    copy[cut] ^= 0x5D;
    s = qzr_decode_into(copy, file->size, NULL, buf, stride, size);
    CHECK(s == QZR_OK || s == QZR_ERROR_CORRUPT || s == QZR_ERROR_LIMIT);
    CHECK(qzr_check(copy, file->size, NULL) == (s == QZR_OK ? QZR_ERROR_DAMAGED : s));
  }
  free(copy);
  free(buf);

  CHECK(strcmp(qzr_status_string(QZR_OK), "ok") == 0);
  CHECK(strcmp(qzr_status_string(QZR_ERROR_TRUNCATED), "truncated data") == 0);
  CHECK(qzr_status_string((qzr_status)99) != NULL);
  CHECK(qzr_version() == ((uint32_t)QZR_VERSION_MAJOR << 16 | (uint32_t)QZR_VERSION_MINOR << 8 | QZR_VERSION_PATCH));
}

static void check_encoder(void) {
  enum { W = 40, H = 24, STRIDE = 3 * W + 9 };
  static uint8_t rgb[STRIDE * H];
  uint8_t back[3 * W * H];
  uint8_t* file = (uint8_t*)1;
  size_t file_size = 1;
  qzr_encode_options o;
  qzr_info info;
  int x, y, far = 0;
  for (y = 0; y < H; ++y)
    for (x = 0; x < W; ++x) {
      rgb[y * STRIDE + 3 * x] = (uint8_t)(6 * x);
      rgb[y * STRIDE + 3 * x + 1] = (uint8_t)(10 * y);
      rgb[y * STRIDE + 3 * x + 2] = 128;
    }
  qzr_encode_options_init(&o);
  CHECK(o.quality == 75 && o.levels == 5 && o.target_bpp == 0);
  o.quality = 95;
  CHECK(qzr_encode(rgb, W, H, STRIDE, &o, &file, &file_size) == QZR_OK);
  CHECK(qzr_get_info(file, file_size, &info) == QZR_OK && info.width == W && info.height == H);
  CHECK(qzr_decode_into(file, file_size, NULL, back, 3 * W, sizeof back) == QZR_OK);
  for (y = 2; y < H - 2; ++y)
    for (x = 2; x < W - 2; ++x)
      if (abs(back[3 * (y * W + x)] - rgb[y * STRIDE + 3 * x]) > 16) far = 1;
  CHECK(!far);
  qzr_free(file);

  CHECK(qzr_encode(rgb, W, H, 3 * W - 1, NULL, &file, &file_size) == QZR_ERROR_ARGUMENT);
  CHECK(file == NULL && file_size == 0);
  CHECK(qzr_encode(rgb, 0, H, STRIDE, NULL, &file, &file_size) == QZR_ERROR_ARGUMENT);
  o.quality = 0;
  CHECK(qzr_encode(rgb, W, H, STRIDE, &o, &file, &file_size) == QZR_ERROR_ARGUMENT);
  qzr_free(NULL);
}

/* Threads: each decodes its file several times and compares with the
 * first decode made before they started. */
typedef struct {
  const bytes* file;
  const uint8_t* expected;
  int wrong;
} job;

static void* run_job(void* arg) {
  job* j = arg;
  qzr_info info;
  int round;
  qzr_get_info(j->file->data, j->file->size, &info);
  for (round = 0; round < 3; ++round) {
    uint8_t* rgb = decode_rgb(j->file, &info);
    if (rgb == NULL || memcmp(rgb, j->expected, 3 * (size_t)info.width * info.height) != 0) j->wrong = 1;
    free(rgb);
  }
  return NULL;
}

static void check_threads(const bytes* a, const bytes* b) {
  enum { N = 4 };
  pthread_t threads[N];
  job jobs[N];
  uint8_t* expected[2];
  qzr_info ia, ib;
  int i;
  qzr_get_info(a->data, a->size, &ia);
  qzr_get_info(b->data, b->size, &ib);
  expected[0] = decode_rgb(a, &ia);
  expected[1] = decode_rgb(b, &ib);
  CHECK(expected[0] != NULL && expected[1] != NULL);
  if (expected[0] == NULL || expected[1] == NULL) return;
  for (i = 0; i < N; ++i) {
    jobs[i].file = i % 2 ? b : a;
    jobs[i].expected = expected[i % 2];
    jobs[i].wrong = 0;
    CHECK(pthread_create(&threads[i], NULL, run_job, &jobs[i]) == 0);
  }
  for (i = 0; i < N; ++i) {
    pthread_join(threads[i], NULL);
    CHECK(!jobs[i].wrong);
  }
  free(expected[0]);
  free(expected[1]);
}

int main(int argc, char** argv) {
  bytes a, b;
  if (argc != 3) {
    fputs("usage: c_api_test FILE.qzr OTHER.qzr\n", stderr);
    return 2;
  }
  a = read_all(argv[1]);
  b = read_all(argv[2]);
  check_info_and_formats(&a);
  check_damaged(&a);
  check_encoder();
  check_threads(&a, &b);
  free(a.data);
  free(b.data);
  if (failures) {
    fprintf(stderr, "%d checks failed\n", failures);
    return 1;
  }
  puts("the C API: all checks passed");
  return 0;
}
