/* qzr/decode.h: QZR wavelet images to pixels, for C and any language that
 * calls C. Link `qzr` (pkg-config) or qzr::qzr (CMake).
 *
 * Every function is reentrant: the library keeps no global state, so any
 * number of threads may decode at once, each with its own buffers. Nothing
 * here prints, exits, allocates memory the caller must release, or touches
 * a file.
 *
 *   char message[256];
 *   qzr_decode_options o;
 *   qzr_decode_options_init(&o);
 *   o.message = message;
 *   o.message_size = sizeof message;
 *   qzr_info info;
 *   qzr_status s = qzr_read_info(data, size, &o, &info);
 *   if (s == QZR_OK) {
 *     size_t stride = 3 * (size_t)info.width;
 *     uint8_t* rgb = malloc(stride * info.height);
 *     s = rgb ? qzr_decode_into(data, size, &o, rgb, stride, stride * info.height) : QZR_ERROR_OUT_OF_MEMORY;
 *   }
 *   if (s != QZR_OK) fprintf(stderr, "%s: %s\n", qzr_status_string(s), message);
 */
#ifndef QZR_DECODE_H
#define QZR_DECODE_H

#include <stddef.h>
#include <stdint.h>

#if defined(_WIN32) || !defined(__GNUC__)
#define QZR_API
#else
#define QZR_API __attribute__((visibility("default")))
#endif

#ifdef __cplusplus
extern "C" {
#endif

#define QZR_VERSION_MAJOR 1
#define QZR_VERSION_MINOR 3
#define QZR_VERSION_PATCH 0

/* The version of the library actually linked, as
 * (MAJOR << 16) | (MINOR << 8) | PATCH; compare with the macros above to
 * tell the header from the library. */
QZR_API uint32_t qzr_version(void);

/* The outcome of a call: QZR_OK, or the kind of failure. */
typedef enum qzr_status {
  QZR_OK = 0,
  QZR_ERROR_ARGUMENT = 1,            /* a null pointer, a buffer too small, an option out of range */
  QZR_ERROR_TRUNCATED = 2,           /* the data end inside the header or the payload's length word */
  QZR_ERROR_NOT_QZR = 3,             /* the data do not start with the QZR magic */
  QZR_ERROR_UNSUPPORTED_VERSION = 4, /* a QZR file of another codec version */
  QZR_ERROR_CORRUPT = 5,             /* the payload or a plane stream is damaged */
  QZR_ERROR_LIMIT = 6,               /* the picture or its payload is beyond a limit */
  QZR_ERROR_OUT_OF_MEMORY = 7,
  QZR_ERROR_IO = 8,     /* a file could not be read or written */
  QZR_ERROR_DAMAGED = 9 /* qzr_check: the file decodes, but shows damage that the decode passes over */
} qzr_status;

/* A short English description of a status ("ok", "truncated data", ...);
 * never NULL, also for values outside the enum. The string is static. */
QZR_API const char* qzr_status_string(qzr_status status);

/* What the header says. The payload length is the size of the expanded
 * payload the file announces, which the decode holds in memory at once. */
typedef struct qzr_info {
  uint32_t width; /* visible pixels, 0..65535 */
  uint32_t height;
  uint32_t padded_width; /* the planes' size: width and height rounded up to a multiple of 256 */
  uint32_t padded_height;
  uint32_t payload_length; /* bytes */
} qzr_info;

/* The first bytes of every QZR file, whatever its version: a file that
 * starts with them is meant to be one (since 1.2). */
#define QZR_MAGIC "vkQZ"
#define QZR_MAGIC_SIZE 4

/* The bytes qzr_read_info and qzr_get_info read: the header and the
 * payload's length word (since 1.2). */
#define QZR_INFO_SIZE 36

/* Reads the header and the payload's length word (the first QZR_INFO_SIZE
 * bytes) and checks the magic and the version; decodes nothing.
 * QZR_ERROR_ARGUMENT when data or info is NULL; QZR_ERROR_TRUNCATED when
 * size < 36; QZR_ERROR_NOT_QZR, QZR_ERROR_UNSUPPORTED_VERSION. On failure
 * *info is left as it was. No limit applies and no message is given:
 * qzr_read_info does both. */
QZR_API qzr_status qzr_get_info(const uint8_t* data, size_t size, qzr_info* info);

/* The byte order of a decoded pixel. The four-byte orders carry an alpha
 * byte of 255. */
typedef enum qzr_pixel_format {
  QZR_PIXEL_RGB = 0,
  QZR_PIXEL_BGR = 1,
  QZR_PIXEL_RGBA = 2,
  QZR_PIXEL_BGRA = 3
} qzr_pixel_format;

/* The bytes of one pixel in a format: 3 or 4; 0 for a value outside the enum. */
QZR_API size_t qzr_pixel_size(qzr_pixel_format format);

#define QZR_DEFAULT_MAX_PIXELS (UINT64_C(1) << 28)  /* 268 million: 16384 x 16384 */
#define QZR_DEFAULT_MAX_PAYLOAD (UINT64_C(1) << 30) /* 1 GiB of expanded payload */

typedef struct qzr_decode_options {
  qzr_pixel_format format; /* QZR_PIXEL_RGB by default */
  /* Pictures of more pixels (width x height), and payloads announcing more
   * bytes, are refused with QZR_ERROR_LIMIT before any memory is taken for
   * them. Bounds the memory a hostile file can make the decode take. */
  uint64_t max_pixels;
  uint64_t max_payload;
  /* When message is not NULL and message_size > 0, a failure's text is
   * copied there, cut to message_size - 1 bytes and ended with a 0 byte; on
   * success message[0] is 0. The text is the one the qzrdec program prints,
   * without the line feeds before and after it (since 1.2; before, they
   * were kept); the refusal of a file of another version holds two lines,
   * the picture's size and the refusal. */
  char* message;
  size_t message_size;
} qzr_decode_options;

/* Sets the defaults: RGB, QZR_DEFAULT_MAX_PIXELS, QZR_DEFAULT_MAX_PAYLOAD,
 * no message buffer. */
QZR_API void qzr_decode_options_init(qzr_decode_options* options);

/* qzr_get_info with the options' limits and message: the header's failures,
 * then QZR_ERROR_LIMIT for a picture of more than max_pixels pixels or a
 * payload announcing more than max_payload bytes, exactly as
 * qzr_decode_into reports them before it looks at the caller's buffer, with
 * their text in the options' message buffer. options NULL means the
 * defaults. The format is not used. On failure *info is left as it was.
 * Since 1.2. */
QZR_API qzr_status qzr_read_info(const uint8_t* data, size_t size, const qzr_decode_options* options,
                                 qzr_info* info);

/* Decodes the whole QZR file in data[0..size) into the caller's buffer:
 * height rows, the top row first, each of width pixels in the options'
 * format, row k starting at pixels + k * stride. The bytes after each row's
 * last pixel, up to the next row, are left as they are. options NULL means
 * the defaults.
 * QZR_ERROR_ARGUMENT, with nothing written, when data or pixels is NULL,
 * the format is not one of the enum, stride < width x pixel size, or
 * pixels_size < (height - 1) x stride + width x pixel size; nothing is ever
 * written at or past pixels + pixels_size. The other failures are those of
 * qzr_read_info (before the buffer is looked at), QZR_ERROR_CORRUPT (a damaged payload; also
 * a payload cut short, whose missing bits decode as ones) and
 * QZR_ERROR_OUT_OF_MEMORY; after them the buffer's content is unspecified.
 * The expanded payload is held in memory during the call (no temporary
 * file). */
QZR_API qzr_status qzr_decode_into(const uint8_t* data, size_t size, const qzr_decode_options* options, uint8_t* pixels,
                                   size_t stride, size_t pixels_size);

/* Audits a whole QZR file in data[0..size): decodes it as qzr_decode_into
 * does, without pixels, and looks for the damage that the decode passes
 * over but a file from a sound encoder never shows: a payload whose code is
 * cut short (the decode reads the missing bits as ones) or followed by
 * bytes that nothing reads, a last match running past the payload's length,
 * bytes between a plane stream and the next segment or after the last one,
 * a plane of another size than the picture's, a band listed twice or out of
 * layout order in its group, a group whose codes end before its bands do, a
 * plane stream that reads past the end of the payload. The picture of such
 * a file may not be the one its encoder made.
 * QZR_OK for a sound file; QZR_ERROR_DAMAGED for one that shows such
 * damage, with the first sign found as one line of text (no line feeds) in
 * the options' message buffer; otherwise the failure qzr_decode_into
 * reports, with its text. The options' limits apply; their format is not
 * used. QZR_ERROR_ARGUMENT when data is NULL. */
QZR_API qzr_status qzr_check(const uint8_t* data, size_t size, const qzr_decode_options* options);

/* What qzr_salvage_into recovered of one plane (since 1.3). A plane's bands
 * are its approximation and three bands of detail a level; a file stores
 * them in runs, its band groups, coarsest first. */
typedef struct qzr_plane_recovery {
  uint32_t bands;          /* 3 x levels + 1; 0 when the plane's stream header was never read */
  uint32_t bands_whole;    /* bands whose every value arrived */
  uint32_t bands_partial;  /* bands of which some values arrived; the rest are zero (no detail) */
  uint32_t bands_missing;  /* bands of which nothing arrived: zero */
  uint32_t groups_whole;   /* band groups read whole */
  uint32_t groups_partial; /* 0 or 1: the group the data ended in */
  /* 1: nothing usable arrived (the approximation band or the whole stream
   * is missing): the plane is mid-grey (luma) or without colour (chroma). */
  uint32_t neutral;
} qzr_plane_recovery;

typedef struct qzr_salvage_report {
  qzr_plane_recovery planes[3]; /* the luma plane, then the two chroma planes */
  uint64_t payload_length;      /* bytes the payload announces */
  uint64_t payload_decided;     /* bytes of it that the file's code decides */
} qzr_salvage_report;

/* Shows what survives of a damaged QZR file (since 1.3): qzr_decode_into
 * with the same arguments and the same failures up to the payload (the
 * header, the length word, the limits, the buffer), but where the payload
 * is damaged or cut short it writes the picture that can be recovered
 * instead of failing:
 * - the payload is expanded only as far as the file's own bytes decide it
 *   (nothing is decoded from the end of the file onward);
 * - each plane takes every band group that arrived whole and the part of
 *   the group in progress that the data decide; what is missing is zero
 *   (no detail), so a file cut anywhere past its first groups still gives
 *   the whole picture at lower detail;
 * - a plane whose approximation band or whole stream is missing is
 *   mid-grey (luma) or without colour (chroma);
 * - a plane stream that fails part way keeps what it read before the
 *   failing step.
 * QZR_OK: the file decoded whole; the picture is the one qzr_decode_into
 * writes. QZR_ERROR_DAMAGED: something was lost; the picture holds what
 * survived, and the options' message buffer gets the first failure met
 * (one line). Either way *report, when report is not NULL, says what each
 * plane recovered. On any other status nothing is recovered, the buffer's
 * content is unspecified and *report is left as it was. The expansion runs
 * on the calling thread. */
QZR_API qzr_status qzr_salvage_into(const uint8_t* data, size_t size, const qzr_decode_options* options,
                                    uint8_t* pixels, size_t stride, size_t pixels_size, qzr_salvage_report* report);

#ifdef __cplusplus
}
#endif

#endif /* QZR_DECODE_H */
