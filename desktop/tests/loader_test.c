/* The gdk-pixbuf loader's entry points, called as gdk-pixbuf calls them, on
 * good files and on hostile forms of them: cuts, flipped bits, bursts of
 * garbage, hostile headers, data in chunks of every size from one byte up.
 * Each form must give exactly the pixels the library decodes, or an error of
 * gdk-pixbuf's domain with the library's message; the size comes before the
 * pixels, and the pixbuf only once it is whole, or, with the error, when the
 * library's salvage of a damaged payload recovers the luma plane: then
 * exactly the salvage's pixels. Run under AddressSanitizer too, where any
 * overrun or leak fails it.
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

#include "hostile_forms.h"

#include <qzr/decode.h>

static GdkPixbufModule module;
static GdkPixbufFormat format;
static int salvages_checked; /* failed loads whose pixbuf was held to the salvage */


/* What the library makes of some data: RGB rows without padding, or the
 * failure's message without its line feeds and, for a damaged payload,
 * the salvage's rows when it recovers the luma plane (else NULL). */
typedef struct {
  qzr_status status;
  qzr_info info;
  gboolean header_ok;
  guint8* rgb;
  guint8* salvaged;
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
    if (e.status == QZR_ERROR_CORRUPT) {
      char salvage_message[256];
      o.message = salvage_message;
      o.message_size = sizeof salvage_message;
      qzr_salvage_report r;
      e.salvaged = g_malloc(stride * info.height);
      if (qzr_salvage_into(data, size, &o, e.salvaged, stride, stride * info.height, &r) != QZR_ERROR_DAMAGED ||
          r.planes[0].neutral)
        g_clear_pointer(&e.salvaged, g_free);
    }
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

/* The pixbuf holds the picture of e's size whose rows are rgb. */
static gboolean same_pixels(GdkPixbuf* p, const Expected* e, const guint8* rgb) {
  if (gdk_pixbuf_get_width(p) != (int)e->info.width || gdk_pixbuf_get_height(p) != (int)e->info.height ||
      gdk_pixbuf_get_n_channels(p) != 3 || gdk_pixbuf_get_has_alpha(p) || gdk_pixbuf_get_bits_per_sample(p) != 8)
    return FALSE;
  const guint8* pixels = gdk_pixbuf_read_pixels(p);
  const size_t row = 3 * (size_t)e->info.width;
  for (guint y = 0; y < e->info.height; y++)
    if (memcmp(pixels + (size_t)y * gdk_pixbuf_get_rowstride(p), rgb + y * row, row) != 0) return FALSE;
  return TRUE;
}

/* The pixbuf was handed out once, its whole area updated, after the size. */
static void check_handed_out(const char* what, const Seen* seen, const Expected* e, const guint8* rgb) {
  CHECK(seen->sizes == 1 && seen->width == (int)e->info.width && seen->height == (int)e->info.height,
        "%s: the size was told %d times, as %d x %d", what, seen->sizes, seen->width, seen->height);
  CHECK(seen->prepared == 1 && seen->updated == 1 && seen->whole_update, "%s: prepared %d, updated %d", what,
        seen->prepared, seen->updated);
  CHECK(seen->pixbuf != NULL && rgb != NULL && same_pixels(seen->pixbuf, e, rgb), "%s: other pixels than the library's",
        what);
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
    check_handed_out(what, &seen, &e, e.rgb);
  } else {
    CHECK(e.status != QZR_OK || empty, "%s: the library decodes it, the loader says %s", what,
          error ? error->message : "nothing");
    CHECK(error != NULL && error->domain == GDK_PIXBUF_ERROR && error->message[0] != '\0',
          "%s: a failure without an error of gdk-pixbuf's domain", what);
    if (error != NULL && !empty)
      CHECK(strcmp(error->message, e.message) == 0, "%s: message \"%s\", the library's \"%s\"", what, error->message,
            e.message);
    /* A damaged payload shows what survives, with the error all the same. */
    if (e.salvaged != NULL && !empty) {
      check_handed_out(what, &seen, &e, e.salvaged);
      salvages_checked++;
    } else {
      CHECK(seen.prepared == 0 && seen.pixbuf == NULL, "%s: a pixbuf was handed out of a failed load", what);
    }
  }
  if (seen.pixbuf != NULL) g_object_unref(seen.pixbuf);
  g_clear_error(&error);
  g_free(e.rgb);
  g_free(e.salvaged);
  return ok;
}

/* The chunks each form is fed in: cuts at both sizes around the header's
 * end, the rest in pages, what is appended in larger ones. */
static gboolean check_loader_form(FormKind kind, const char* what, const guint8* form, size_t size, void* context) {
  (void)context;
  const size_t chunk = kind == FORM_CUT ? (size % 2 ? 4096 : 37) : kind == FORM_APPENDED ? 65536 : 4096;
  return check_form(what, form, size, chunk);
}

static void check_file(const char* path) {
  gchar* contents = NULL;
  gsize size = 0;
  const char* name = read_test_file(path, &contents, &size);
  if (name == NULL) return;
  const guint8* data = (const guint8*)contents;
  char what[512];
  /* The whole file in chunks from one byte up, around the header's end. */
  static const size_t chunks[] = {1, 7, 35, 36, 37, 4096, SIZE_MAX};
  for (size_t i = 0; i < G_N_ELEMENTS(chunks); i++) {
    if (chunks[i] == 1 && size > 300000) continue;
    snprintf(what, sizeof what, "%s in chunks of %zu", name, chunks[i]);
    CHECK(check_form(what, data, size, chunks[i]), "%s does not load in chunks of %zu", name, chunks[i]);
  }
  const FormCounts counts = {1, 13, 40, 8};
  const FormTally t = check_forms(name, data, size, counts, check_loader_form, NULL);
  CHECK(t.whole_decoded && t.appended_decoded, "%s, whole or with 1 MiB appended, does not load", name);

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

  printf("%s: %d forms decoded, %d refused\n", name, t.decoded, t.refused);
  g_free(contents);
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
  CHECK(salvages_checked > 0, "no damaged form had a salvage to show");
  printf("%d failed loads held to the salvage of their data\n", salvages_checked);
  g_module_close(m);
  if (failures) fprintf(stderr, "%d checks failed\n", failures);
  return failures ? 1 : 0;
}
