/* What the C tests of the plugins that load pictures for other programs
 * (the gdk-pixbuf loader, the libvips module) share: their checks, and
 * hostile forms of a good QZR file: the file cut short through the header and the payload, single
 * bits flipped, bursts of garbage, hostile headers (another version, no
 * pixels, too many, a payload beyond the limit, none) and 1 MiB appended.
 * Each form goes to the test's check, which says whether it decoded. */
#pragma once

#include <glib.h>
#include <stdio.h>
#include <string.h>

/* The checks that failed; CHECK counts one and says which. */
static int failures;
#define CHECK(cond, ...)                   \
  do {                                     \
    if (!(cond)) {                         \
      fprintf(stderr, "FAIL %s: ", #cond); \
      fprintf(stderr, __VA_ARGS__);        \
      fputc('\n', stderr);                 \
      failures++;                          \
    }                                      \
  } while (0)

/* A test file's bytes (freed with g_free) and its name without the
 * folder; NULL, counted as a failure, when it cannot be read. */
static const char* read_test_file(const char* path, gchar** contents, gsize* size) {
  if (!g_file_get_contents(path, contents, size, NULL)) {
    CHECK(FALSE, "cannot read %s", path);
    return NULL;
  }
  return strrchr(path, '/') ? strrchr(path, '/') + 1 : path;
}

typedef enum { FORM_WHOLE, FORM_CUT, FORM_FLIPPED, FORM_GARBAGE, FORM_HEADER, FORM_APPENDED } FormKind;

/* Whether the form (size bytes at form) decoded; `what` names it. */
typedef gboolean (*FormCheck)(FormKind kind, const char* what, const guint8* form, size_t size, void* context);

typedef struct {
  size_t cut_step;  /* the step of the cuts through the header's 40 bytes */
  size_t cut_parts; /* and the number of cuts through the rest */
  int flips, bursts;
} FormCounts;

typedef struct {
  int decoded, refused;
  gboolean whole_decoded, appended_decoded;
} FormTally;

static guint32 form_random(guint32* state) {
  *state = *state * 1664525u + 1013904223u;
  return *state >> 8;
}

static void form_put_le(guint8* p, guint32 v, int bytes) {
  for (int i = 0; i < bytes; i++) p[i] = (guint8)(v >> (8 * i));
}

static FormTally check_forms(const char* name, const guint8* data, size_t size, FormCounts counts, FormCheck check,
                             void* context) {
  enum { APPENDED = 1u << 20 };
  FormTally t = {0, 0, FALSE, FALSE};
  guint8* form = g_malloc(size + APPENDED);
  char what[512];
#define FORM_TRY(kind, n, ...)                   \
  do {                                           \
    snprintf(what, sizeof what, __VA_ARGS__);    \
    if (check((kind), what, form, (n), context)) \
      t.decoded++;                               \
    else                                         \
      t.refused++;                               \
  } while (0)

  memcpy(form, data, size);
  const int before_whole = t.decoded;
  FORM_TRY(FORM_WHOLE, size, "%s", name);
  t.whole_decoded = t.decoded == before_whole + 1;
  for (size_t n = 0; n < size; n += n < 40 ? counts.cut_step : size / counts.cut_parts + 1) {
    memcpy(form, data, n);
    FORM_TRY(FORM_CUT, n, "%s cut to %zu bytes", name, n);
  }
  guint32 state = (guint32)size;
  for (int i = 0; i < counts.flips; i++) {
    memcpy(form, data, size);
    const size_t at = i < counts.flips / 5 ? 32 + (size_t)i : form_random(&state) % size;
    form[at] ^= (guint8)(1u << (form_random(&state) % 8));
    FORM_TRY(FORM_FLIPPED, size, "%s with a bit flipped at %zu", name, at);
  }
  for (int i = 0; i < counts.bursts; i++) {
    memcpy(form, data, size);
    const size_t at = 36 + form_random(&state) % (size - 36), n = MIN(size - at, 64);
    for (size_t k = 0; k < n; k++) form[at + k] = (guint8)form_random(&state);
    FORM_TRY(FORM_GARBAGE, size, "%s with garbage at %zu", name, at);
  }
  static const struct {
    size_t at;
    guint32 value;
    int bytes;
    const char* what;
  } headers[] = {{28, 0x32313030, 4, "version 0012"},     {8, 0, 2, "width 0"},
                 {10, 0, 2, "height 0"},                 {8, 0xFFFFFFFF, 4, "65535 x 65535"},
                 {32, 0xFFFFFFFF, 4, "a 4 GiB payload"}, {32, 0, 4, "no payload"}};
  for (size_t i = 0; i < G_N_ELEMENTS(headers); i++) {
    memcpy(form, data, size);
    form_put_le(form + headers[i].at, headers[i].value, headers[i].bytes);
    FORM_TRY(FORM_HEADER, size, "%s with %s", name, headers[i].what);
  }
  memcpy(form, data, size);
  memset(form + size, 0xA5, APPENDED);
  const int before_appended = t.decoded;
  FORM_TRY(FORM_APPENDED, size + APPENDED, "%s with 1 MiB appended", name);
  t.appended_decoded = t.decoded == before_appended + 1;
#undef FORM_TRY
  g_free(form);
  return t;
}
