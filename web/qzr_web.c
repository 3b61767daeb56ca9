/* The WebAssembly face of the decoder: a few flat functions over the C API
 * that post.js wraps as qzr.info and qzr.decode. JavaScript copies the file
 * into the module's memory, calls one of these, copies the result out and
 * frees both. */
#include <emscripten/emscripten.h>
#include <malloc.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>

#include <qzr/decode.h>

/* The header's fields into out[0..5): width, height, padded width, padded
 * height, payload length. On failure the library's message goes to message. */
EMSCRIPTEN_KEEPALIVE int qzr_web_info(const uint8_t* data, size_t size, uint32_t* out, char* message,
                                      size_t message_size) {
  qzr_decode_options o;
  qzr_decode_options_init(&o);
  o.max_pixels = o.max_payload = UINT64_MAX; /* the header as it is: no limit */
  o.message = message;
  o.message_size = message_size;
  qzr_info info;
  const qzr_status s = qzr_read_info(data, size, &o, &info);
  if (s == QZR_OK) {
    out[0] = info.width;
    out[1] = info.height;
    out[2] = info.padded_width;
    out[3] = info.padded_height;
    out[4] = info.payload_length;
  }
  return s;
}

/* The whole picture as RGBA rows, top row first, in a buffer the caller
 * frees; its width and height go to out[0..2). NULL on failure, with the
 * status in out[2] and the library's message in message. Pictures beyond
 * the C API's default limits are refused before any memory is taken for
 * their pixels. */
EMSCRIPTEN_KEEPALIVE uint8_t* qzr_web_decode(const uint8_t* data, size_t size, uint32_t* out, char* message,
                                             size_t message_size) {
  qzr_decode_options o;
  qzr_decode_options_init(&o);
  o.format = QZR_PIXEL_RGBA;
  o.message = message;
  o.message_size = message_size;
  qzr_info info = {0, 0, 0, 0, 0};
  uint8_t none = 0;
  uint8_t* pixels = NULL;
  size_t bytes = 0;
  qzr_status s = qzr_read_info(data, size, &o, &info);
  if (s == QZR_OK && info.width > 0 && info.height > 0) {
    bytes = (size_t)info.width * info.height * 4;
    pixels = malloc(bytes);
    if (pixels == NULL) {
      snprintf(message, message_size, "Out of memory for a picture of %u x %u pixels !", info.width, info.height);
      out[2] = QZR_ERROR_OUT_OF_MEMORY;
      return NULL;
    }
  }
  /* A picture without pixels still has its payload checked. */
  if (s == QZR_OK) s = qzr_decode_into(data, size, &o, pixels ? pixels : &none, 4 * (size_t)info.width, bytes);
  out[0] = info.width;
  out[1] = info.height;
  out[2] = s;
  if (s != QZR_OK) {
    free(pixels);
    return NULL;
  }
  return pixels != NULL ? pixels : malloc(1);
}

/* Bytes the module's allocator holds: the tests check that calls give all
 * their memory back. */
EMSCRIPTEN_KEEPALIVE size_t qzr_web_heap_in_use(void) { return mallinfo().uordblks; }
