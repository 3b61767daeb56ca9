/* qzr/encode.h: RGB pixels to QZR files, for C and any language that calls
 * C. Reentrant like qzr/decode.h: any number of threads may encode at once.
 *
 *   qzr_encode_options o;
 *   qzr_encode_options_init(&o);
 *   o.quality = 90;
 *   uint8_t* file; size_t file_size;
 *   if (qzr_encode(rgb, width, height, 3 * width, &o, &file, &file_size) == QZR_OK) {
 *     fwrite(file, 1, file_size, out);
 *     qzr_free(file);
 *   }
 */
#ifndef QZR_ENCODE_H
#define QZR_ENCODE_H

#include "qzr/decode.h"

#ifdef __cplusplus
extern "C" {
#endif

#define QZR_MAX_PICTURE_SIDE 32512 /* the largest width and height a QZR file holds */
#define QZR_MAX_LEVELS 8

typedef struct qzr_encode_options {
  int quality;       /* 1 (smallest file) .. 100 (best picture); 75 by default */
  double target_bpp; /* > 0: the best quality whose file has at most this many bits per pixel; 0 by default */
  int levels;        /* wavelet levels 1 .. QZR_MAX_LEVELS; 5 by default */
} qzr_encode_options;

/* Sets the defaults above. */
QZR_API void qzr_encode_options_init(qzr_encode_options* options);

/* Encodes a picture of width x height pixels (1 .. QZR_MAX_PICTURE_SIDE each
 * way), rows top to bottom, each row width x 3 bytes R, G, B starting at
 * rgb + k * stride, into a whole QZR file that qzr_decode_into gives back
 * upright. options NULL means the defaults. On QZR_OK, *output holds
 * *output_size bytes that the caller releases with qzr_free; on failure
 * *output is NULL and *output_size 0.
 * QZR_ERROR_ARGUMENT for a NULL pointer, a size or option out of range, or
 * stride < 3 x width; QZR_ERROR_LIMIT when the coded data exceed what a file
 * holds; QZR_ERROR_OUT_OF_MEMORY. */
QZR_API qzr_status qzr_encode(const uint8_t* rgb, uint32_t width, uint32_t height, size_t stride,
                              const qzr_encode_options* options, uint8_t** output, size_t* output_size);

/* Releases memory the library handed out; NULL is allowed. */
QZR_API void qzr_free(void* memory);

#ifdef __cplusplus
}
#endif

#endif /* QZR_ENCODE_H */
