/* The libvips module loaded as libvips loads it, then every test file and
 * hostile forms of it (cuts, flipped bits, bursts of garbage, hostile
 * headers, bytes appended) through vips_image_new_from_file, _from_buffer,
 * _from_source on memory and _from_source on a pipe. Each must give the
 * size from the header alone, then exactly the library's own pixels, or
 * fail with a vips error "qzrload: " and the library's message. Run under
 * AddressSanitizer too, where any overrun or leak fails it.
 *
 * usage: module_test MODULE FILE.qzr... */
#include <errno.h>
#include <gmodule.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <glib/gstdio.h>
#include <vips/vips.h>

#include "hostile_forms.h"

#include <qzr/decode.h>

static char* work_file;


/* What the library makes of some data: the header's size, and RGB rows
 * without padding or the failure's message. */
typedef struct {
  qzr_status header, status;
  qzr_info info;
  guint8* rgb;
  char message[256];
} Expected;

static Expected expect(const guint8* data, size_t size) {
  Expected e = {0};
  qzr_decode_options o;
  qzr_decode_options_init(&o);
  o.message = e.message;
  o.message_size = sizeof e.message;
  e.status = e.header = qzr_read_info(data, size, &o, &e.info);
  if (e.header == QZR_OK && (e.info.width == 0 || e.info.height == 0)) {
    e.status = e.header = QZR_ERROR_CORRUPT;
    snprintf(e.message, sizeof e.message, "The picture has no pixels (%u x %u)", e.info.width, e.info.height);
  } else if (e.header == QZR_OK) {
    const size_t n = 3 * (size_t)e.info.width * e.info.height;
    e.rgb = g_malloc(n);
    e.status = qzr_decode_into(data, size, &o, e.rgb, 3 * (size_t)e.info.width, n);
  }
  return e;
}

/* A pipe fed by a thread, as a program reading its standard input sees it. */
typedef struct {
  int fd;
  const guint8* data;
  size_t size, written;
} Feed;

static gpointer feed_pipe(gpointer user) {
  Feed* f = user;
  while (f->written < f->size) {
    const ssize_t n = write(f->fd, f->data + f->written, MIN(f->size - f->written, 65536));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break; /* the reader has gone */
    f->written += (size_t)n;
  }
  close(f->fd);
  return NULL;
}

enum { BY_FILE, BY_BUFFER, BY_MEMORY_SOURCE, BY_PIPE, WAYS };
static const char* const way_names[WAYS] = {"a file", "a buffer", "a memory source", "a pipe"};

/* Opens the data one way; NULL when libvips refuses it. */
static VipsImage* open_as(int way, const guint8* data, size_t size, Feed* feed, GThread** feeder) {
  VipsImage* image = NULL;
  VipsSource* source = NULL;
  switch (way) {
    case BY_FILE:
      if (!g_file_set_contents(work_file, (const char*)data, (gssize)size, NULL)) return NULL;
      return vips_image_new_from_file(work_file, NULL);
    case BY_BUFFER: return vips_image_new_from_buffer(data, size, "", NULL);
    case BY_MEMORY_SOURCE: source = vips_source_new_from_memory(data, size); break;
    case BY_PIPE: {
      int fds[2];
      if (pipe(fds) != 0) return NULL;
      *feed = (Feed){fds[1], data, size, 0};
      *feeder = g_thread_new("feed", feed_pipe, feed);
      source = vips_source_new_from_descriptor(fds[0]);
      close(fds[0]); /* the source holds its own copy */
      break;
    }
  }
  if (source == NULL) return NULL;
  image = vips_image_new_from_source(source, "", NULL);
  g_object_unref(source);
  return image;
}

/* One form of a file, each way, against the library. Returns TRUE when
 * every way decoded it. */
static gboolean check_form(const char* what, const guint8* data, size_t size) {
  Expected e = expect(data, size);
  const gboolean ours = size >= QZR_MAGIC_SIZE && memcmp(data, QZR_MAGIC, QZR_MAGIC_SIZE) == 0;
  gboolean all = TRUE;
  for (int way = 0; way < WAYS; way++) {
    Feed feed = {0};
    GThread* feeder = NULL;
    vips_error_clear();
    VipsImage* image = open_as(way, data, size, &feed, &feeder);
    void* pixels = NULL;
    size_t length = 0;
    if (image != NULL) {
      CHECK(e.header == QZR_OK, "%s from %s: opened, but the library says %s", what, way_names[way], e.message);
      CHECK(image->Xsize == (int)e.info.width && image->Ysize == (int)e.info.height && image->Bands == 3 &&
                image->BandFmt == VIPS_FORMAT_UCHAR && image->Type == VIPS_INTERPRETATION_sRGB,
            "%s from %s: a header of %d x %d x %d", what, way_names[way], image->Xsize, image->Ysize, image->Bands);
      pixels = vips_image_write_to_memory(image, &length);
      g_object_unref(image);
    }
    if (pixels != NULL) {
      CHECK(e.status == QZR_OK && e.rgb != NULL && length == 3 * (size_t)e.info.width * e.info.height &&
                memcmp(pixels, e.rgb, length) == 0,
            "%s from %s: other pixels than the library's (%s)", what, way_names[way], e.message);
    } else {
      all = FALSE;
      CHECK(e.status != QZR_OK, "%s from %s: the library decodes it, libvips says %s", what, way_names[way],
            vips_error_buffer());
      /* Not ours by content: libvips says it knows no such format. */
      if (ours) {
        char* said = g_strdup_printf("qzrload: %s\n", e.message);
        CHECK(strstr(vips_error_buffer(), said) != NULL, "%s from %s: \"%s\", the library's \"%s\"", what,
              way_names[way], vips_error_buffer(), e.message);
        g_free(said);
      }
    }
    g_free(pixels);
    if (feeder != NULL) {
      g_thread_join(feeder);
      /* Never more than the payload can need, plus what the pipe holds. */
      CHECK(e.header != QZR_OK || feed.written <= QZR_INFO_SIZE + 2 * (size_t)e.info.payload_length + (1u << 18),
            "%s from a pipe: %zu bytes read", what, feed.written);
    }
  }
  vips_error_clear();
  g_free(e.rgb);
  return all;
}

static gboolean check_vips_form(FormKind kind, const char* what, const guint8* form, size_t size, void* context) {
  (void)kind;
  (void)context;
  return check_form(what, form, size);
}

static void check_file(const char* path) {
  gchar* contents = NULL;
  gsize size = 0;
  const char* name = read_test_file(path, &contents, &size);
  if (name == NULL) return;
  /* A pipe is not read to the end of what is appended (check_form). */
  const FormCounts counts = {3, 7, 16, 4};
  const FormTally t = check_forms(name, (const guint8*)contents, size, counts, check_vips_form, NULL);
  CHECK(t.whole_decoded, "%s does not load", name);
  CHECK(t.appended_decoded, "%s with 1 MiB appended does not load", name);
  printf("%s: %d forms decoded, %d refused\n", name, t.decoded, t.refused);
  g_free(contents);
}

int main(int argc, char** argv) {
  if (argc < 3) {
    fprintf(stderr, "usage: module_test MODULE FILE.qzr...\n");
    return 2;
  }
  signal(SIGPIPE, SIG_IGN); /* a pipe's reader may stop early */
  if (VIPS_INIT(argv[0])) vips_error_exit(NULL);
  vips_cache_set_max(0); /* every form is loaded anew */
  GModule* m = g_module_open(argv[1], G_MODULE_BIND_LOCAL);
  if (m == NULL) {
    fprintf(stderr, "cannot open %s: %s\n", argv[1], g_module_error());
    return 1;
  }
  gpointer other = NULL;
  CHECK(!g_module_symbol(m, "qzr_decode_into", &other), "the module exports more than its entry point");
  CHECK(vips_type_find("VipsForeignLoad", "qzrload") && vips_type_find("VipsForeignLoad", "qzrload_buffer") &&
            vips_type_find("VipsForeignLoad", "qzrload_source"),
        "the three loaders are registered");
  gchar* dir = g_dir_make_tmp("qzr-vips-XXXXXX", NULL);
  work_file = g_build_filename(dir, "form", NULL); /* no suffix: known by content */
  for (int i = 2; i < argc; i++) check_file(argv[i]);
  g_unlink(work_file);
  g_rmdir(dir);
  g_free(work_file);
  g_free(dir);
  vips_shutdown();
  if (failures) fprintf(stderr, "%d checks failed\n", failures);
  return failures ? 1 : 0;
}
