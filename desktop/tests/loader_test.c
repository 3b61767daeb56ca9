/* The gdk-pixbuf loader's entry points, called as gdk-pixbuf calls them, on
 * good files and on hostile forms of them: cuts, flipped bits, bursts of
 * garbage, hostile headers, data in chunks of every size from one byte up.
 * Each form must give exactly the pixels the library decodes, or an error of
 * gdk-pixbuf's domain with the library's message; the size comes before the
 * pixels, and the pixbuf only once it is whole. Run under AddressSanitizer
 * too, where any overrun or leak fails it.
 *
 * usage: loader_test LOADER_MODULE FILE.qzr... */
#include <gmodule.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#define GDK_PIXBUF_ENABLE_BACKEND
#include <gdk-pixbuf/gdk-pixbuf.h>
#undef GDK_PIXBUF_ENABLE_BACKEND

#include <qzr/decode.h>

static GdkPixbufModule module;
static GdkPixbufFormat format;
static int failures;

#define CHECK(cond, ...)                        \
  do {                                          \
    if (!(cond)) {                              \
      fprintf(stderr, "FAIL %s: ", #cond);      \
      fprintf(stderr, __VA_ARGS__);             \
      fputc('\n', stderr);                      \
      failures++;                               \
    }                                           \
  } while (0)

/* What the library makes of some data: RGB rows without padding, or the
 * failure's message without its line feeds. */
typedef struct {
  qzr_status status;
  qzr_info info;
  gboolean header_ok;
  guint8* rgb;
  char message[256];
} Expected;

static Expected expect(const guint8* data, size_t size) {
  Expected e = {0};
  qzr_decode_options o;
  qzr_decode_options_init(&o);
  o.message = e.message;
  o.message_size = sizeof e.message;
  qzr_info info = {0};
  e.header_ok = qzr_get_info(data, size, &info) == QZR_OK;
  e.info = info;
  e.status = qzr_read_info(data, size, &o, &info);
  if (e.status == QZR_OK) {
    const size_t stride = 3 * (size_t)info.width;
    e.rgb = g_malloc(stride * info.height + 1);
    e.status = qzr_decode_into(data, size, &o, e.rgb, stride, stride * info.height + 1);
  }
  return e;
}

/* What the loader told its caller. */
typedef struct {
  int sizes, prepared, updated;
  int width, height;   /* as the size function was told */
  int ask_w, ask_h;    /* what the size function answers */
  GdkPixbuf* pixbuf;   /* held from the prepared call */
  gboolean whole_update;
} Seen;

static void on_size(gint* width, gint* height, gpointer user) {
  Seen* s = user;
  s->sizes++;
  s->width = *width;
  s->height = *height;
  if (s->ask_w >= 0) *width = s->ask_w;
  if (s->ask_h >= 0) *height = s->ask_h;
}

static void on_prepared(GdkPixbuf* pixbuf, GdkPixbufAnimation* anim, gpointer user) {
  Seen* s = user;
  (void)anim;
  s->prepared++;
  CHECK(s->sizes == 1, "prepared before the size was told");
  if (s->pixbuf == NULL) s->pixbuf = g_object_ref(pixbuf);
}

static void on_updated(GdkPixbuf* pixbuf, int x, int y, int w, int h, gpointer user) {
  Seen* s = user;
  s->updated++;
  s->whole_update = pixbuf == s->pixbuf && x == 0 && y == 0 && w == gdk_pixbuf_get_width(pixbuf) &&
                    h == gdk_pixbuf_get_height(pixbuf);
}

/* Feeds data to the loader in chunks of the given size; TRUE when it
 * reports success. *error gets its error. */
static gboolean load(const guint8* data, size_t size, size_t chunk, Seen* seen, GError** error) {
  gpointer context = module.begin_load(on_size, on_prepared, on_updated, seen, error);
  if (context == NULL) return FALSE;
  gboolean ok = TRUE;
  for (size_t at = 0; at < size && ok; at += chunk) {
    const size_t n = size - at < chunk ? size - at : chunk;
    ok = module.load_increment(context, data + at, (guint)n, error);
  }
  /* gdk-pixbuf stops the load whatever happened, and passes no error on
   * when one is set already. */
  GError* late = NULL;
  const gboolean stopped = module.stop_load(context, error != NULL && *error != NULL ? &late : error);
  if (late != NULL) g_error_free(late);
  return ok && stopped;
}

static gboolean same_pixels(GdkPixbuf* p, const Expected* e) {
  if (gdk_pixbuf_get_width(p) != (int)e->info.width || gdk_pixbuf_get_height(p) != (int)e->info.height ||
      gdk_pixbuf_get_n_channels(p) != 3 || gdk_pixbuf_get_has_alpha(p) || gdk_pixbuf_get_bits_per_sample(p) != 8)
    return FALSE;
  const guint8* pixels = gdk_pixbuf_read_pixels(p);
  const size_t row = 3 * (size_t)e->info.width;
  for (guint y = 0; y < e->info.height; y++)
    if (memcmp(pixels + (size_t)y * gdk_pixbuf_get_rowstride(p), e->rgb + y * row, row) != 0) return FALSE;
  return TRUE;
}

/* One form of a file through the loader against the library. Returns TRUE
 * when the loader decoded it. */
static gboolean check_form(const char* what, const guint8* data, size_t size, size_t chunk) {
  Expected e = expect(data, size);
  Seen seen = {0};
  seen.ask_w = seen.ask_h = -1;
  GError* error = NULL;
  const gboolean ok = load(data, size, chunk, &seen, &error);
  /* A header of no pixels: nothing to show, whatever the payload holds. */
  const gboolean empty = e.header_ok && (e.info.width == 0 || e.info.height == 0);
  if (ok) {
    CHECK(e.status == QZR_OK && !empty, "%s: loaded, but the library says %s", what, e.message);
    CHECK(error == NULL, "%s: success with an error", what);
    CHECK(seen.sizes == 1 && seen.width == (int)e.info.width && seen.height == (int)e.info.height,
          "%s: the size was told %d times, as %d x %d", what, seen.sizes, seen.width, seen.height);
    CHECK(seen.prepared == 1 && seen.updated == 1 && seen.whole_update, "%s: prepared %d, updated %d", what,
          seen.prepared, seen.updated);
    CHECK(seen.pixbuf != NULL && e.rgb != NULL && same_pixels(seen.pixbuf, &e), "%s: other pixels than the library's",
          what);
  } else {
    CHECK(e.status != QZR_OK || empty, "%s: the library decodes it, the loader says %s", what,
          error ? error->message : "nothing");
    CHECK(error != NULL && error->domain == GDK_PIXBUF_ERROR && error->message[0] != '\0',
          "%s: a failure without an error of gdk-pixbuf's domain", what);
    if (error != NULL && !empty)
      CHECK(strcmp(error->message, e.message) == 0, "%s: message \"%s\", the library's \"%s\"", what, error->message,
            e.message);
    CHECK(seen.prepared == 0 && seen.pixbuf == NULL, "%s: a pixbuf was handed out of a failed load", what);
  }
  if (seen.pixbuf != NULL) g_object_unref(seen.pixbuf);
  g_clear_error(&error);
  g_free(e.rgb);
  return ok;
}

static guint32 next_random(guint32* state) {
  *state = *state * 1664525u + 1013904223u;
  return *state >> 8;
}

static void put_le(guint8* p, guint32 v, int bytes) {
  for (int i = 0; i < bytes; i++) p[i] = (guint8)(v >> (8 * i));
}

static void check_file(const char* path) {
  gchar* contents = NULL;
  gsize size = 0;
  if (!g_file_get_contents(path, &contents, &size, NULL)) {
    CHECK(FALSE, "cannot read %s", path);
    return;
  }
  const guint8* data = (const guint8*)contents;
  const char* name = strrchr(path, '/') ? strrchr(path, '/') + 1 : path;
  char what[512];
  guint8* form = g_malloc(size + (1u << 20));
  int decoded = 0, refused = 0;
#define FORM(n, chunk, ...)                                   \
  do {                                                        \
    snprintf(what, sizeof what, __VA_ARGS__);                 \
    if (check_form(what, form, (n), (chunk))) decoded++;      \
    else refused++;                                           \
  } while (0)

  /* The whole file in chunks from one byte up, around the header's end. */
  static const size_t chunks[] = {1, 7, 35, 36, 37, 4096, SIZE_MAX};
  for (size_t i = 0; i < G_N_ELEMENTS(chunks); i++) {
    if (chunks[i] == 1 && size > 300000) continue;
    memcpy(form, data, size);
    const int before = decoded;
    FORM(size, chunks[i], "%s in chunks of %zu", name, chunks[i]);
    CHECK(decoded == before + 1, "%s does not load in chunks of %zu", name, chunks[i]);
  }
  /* Cut short: inside the header, at its end, through the payload. */
  for (size_t n = 0; n < size; n += n < 40 ? 1 : size / 13 + 1) {
    memcpy(form, data, n);
    FORM(n, n % 2 ? 4096 : 37, "%s cut to %zu bytes", name, n);
  }
  /* Single flipped bits, then bursts of garbage. */
  guint32 state = (guint32)size;
  for (int i = 0; i < 40; i++) {
    memcpy(form, data, size);
    const size_t at = i < 8 ? 32 + (size_t)i : next_random(&state) % size;
    form[at] ^= (guint8)(1u << (next_random(&state) % 8));
    FORM(size, 4096, "%s with a bit flipped at %zu", name, at);
  }
  for (int i = 0; i < 8; i++) {
    memcpy(form, data, size);
    const size_t at = 36 + next_random(&state) % (size - 36), n = MIN(size - at, 64);
    for (size_t k = 0; k < n; k++) form[at + k] = (guint8)next_random(&state);
    FORM(size, 4096, "%s with garbage at %zu", name, at);
  }
  /* Hostile headers: another version, no pixels, too many pixels, a payload
   * beyond the limit, an empty payload. */
  struct { size_t at; guint32 value; int bytes; const char* what; } headers[] = {
      {28, 0x32313030, 4, "version 0012"}, {8, 0, 2, "width 0"}, {10, 0, 2, "height 0"},
      {8, 0xFFFFFFFF, 4, "65535 x 65535"}, {32, 0xFFFFFFFF, 4, "a 4 GiB payload"}, {32, 0, 4, "no payload"}};
  for (size_t i = 0; i < G_N_ELEMENTS(headers); i++) {
    memcpy(form, data, size);
    put_le(form + headers[i].at, headers[i].value, headers[i].bytes);
    FORM(size, 4096, "%s with %s", name, headers[i].what);
  }
  /* Something appended: the same picture. */
  memcpy(form, data, size);
  memset(form + size, 0xA5, 1u << 20);
  const int before_appended = decoded;
  FORM(size + (1u << 20), 65536, "%s with 1 MiB appended", name);
  CHECK(decoded == before_appended + 1, "%s with 1 MiB appended does not load", name);

  /* A size function that asks for the size alone gets no pixbuf and no
   * error; one that asks for another size still gets the whole picture,
   * which gdk-pixbuf scales. */
  Seen seen = {0};
  seen.ask_w = seen.ask_h = 0;
  GError* error = NULL;
  CHECK(load(data, size, 4096, &seen, &error) && error == NULL && seen.sizes == 1 && seen.prepared == 0,
        "%s: asking for the size alone", name);
  g_clear_error(&error);
  Seen half = {0};
  half.ask_w = half.ask_h = 16;
  CHECK(load(data, size, 4096, &half, &error) && half.pixbuf != NULL &&
            gdk_pixbuf_get_width(half.pixbuf) == half.width,
        "%s: asking for a smaller picture", name);
  g_clear_error(&error);
  if (half.pixbuf != NULL) g_object_unref(half.pixbuf);

  printf("%s: %d forms decoded, %d refused\n", name, decoded, refused);
  g_free(form);
  g_free(contents);
#undef FORM
}

int main(int argc, char** argv) {
  if (argc < 3) {
    fprintf(stderr, "usage: loader_test LOADER_MODULE FILE.qzr...\n");
    return 2;
  }
  GModule* m = g_module_open(argv[1], G_MODULE_BIND_LOCAL);
  if (m == NULL) {
    fprintf(stderr, "cannot open %s: %s\n", argv[1], g_module_error());
    return 1;
  }
  void (*fill_info)(GdkPixbufFormat*) = NULL;
  void (*fill_vtable)(GdkPixbufModule*) = NULL;
  if (!g_module_symbol(m, "fill_info", (gpointer*)&fill_info) ||
      !g_module_symbol(m, "fill_vtable", (gpointer*)&fill_vtable)) {
    fprintf(stderr, "%s has no fill_info or fill_vtable\n", argv[1]);
    return 1;
  }
  gpointer other = NULL;
  CHECK(!g_module_symbol(m, "qzr_decode_into", &other), "the module exports more than its two entry points");
  fill_info(&format);
  fill_vtable(&module);
  CHECK(strcmp(format.name, "qzr") == 0 && strcmp(format.mime_types[0], "image/x-qzr") == 0 &&
            format.mime_types[1] == NULL && strcmp(format.extensions[0], "qzr") == 0 &&
            strcmp(format.signature[0].prefix, "vkQZ") == 0 && format.signature[1].prefix == NULL,
        "the format's name, type, extension or signature");
  CHECK(module.begin_load && module.load_increment && module.stop_load && !module.load && !module.save,
        "the entry points");
  for (int i = 2; i < argc; i++) check_file(argv[i]);
  g_module_close(m);
  if (failures) fprintf(stderr, "%d checks failed\n", failures);
  return failures ? 1 : 0;
}
