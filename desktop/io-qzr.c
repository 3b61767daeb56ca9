/* The gdk-pixbuf loader of QZR pictures: GTK programs (image viewers, file
 * managers' thumbnailers, anything that loads a GdkPixbuf) open .qzr files
 * through it.
 *
 * The loader is incremental, as gdk-pixbuf feeds it: it keeps the bytes as
 * they arrive, reads the header as soon as its 36 bytes are in, reports the
 * picture's size (so that a viewer can ask for a scaled picture, which
 * gdk-pixbuf then scales) and refuses a bad header at once. The decode needs
 * the whole payload, so it runs when the data end; the pixbuf is handed out
 * once it holds the whole picture, or, for a damaged or cut payload, what
 * survives of it, with the error all the same. Every failure is a GError
 * carrying the library's message. */
#include <stdint.h>
#include <string.h>

#define GDK_PIXBUF_ENABLE_BACKEND
#include <gdk-pixbuf/gdk-pixbuf.h>
#undef GDK_PIXBUF_ENABLE_BACKEND

#include <qzr/decode.h>

typedef struct {
  GdkPixbufModuleSizeFunc size_func;
  GdkPixbufModulePreparedFunc prepared_func;
  GdkPixbufModuleUpdatedFunc updated_func;
  gpointer user_data;
  GByteArray* data;
  qzr_info info;
  gboolean header_read;
  gboolean size_only; /* the size function asked for no pixels */
  gboolean failed;    /* an error was reported; the rest is ignored */
  guint64 keep;       /* bytes worth keeping once the header is read */
} QzrContext;

static void decode_options(qzr_decode_options* o, char* message, size_t message_size) {
  qzr_decode_options_init(o);
  o->message = message;
  o->message_size = message_size;
}

static GdkPixbufError error_code(qzr_status s) {
  switch (s) {
    case QZR_ERROR_UNSUPPORTED_VERSION: return GDK_PIXBUF_ERROR_UNKNOWN_TYPE;
    case QZR_ERROR_LIMIT:
    case QZR_ERROR_OUT_OF_MEMORY: return GDK_PIXBUF_ERROR_INSUFFICIENT_MEMORY;
    case QZR_ERROR_TRUNCATED:
    case QZR_ERROR_NOT_QZR:
    case QZR_ERROR_CORRUPT: return GDK_PIXBUF_ERROR_CORRUPT_IMAGE;
    default: return GDK_PIXBUF_ERROR_FAILED;
  }
}

/* The library's message as a GError. */
static void set_error(GError** error, qzr_status s, const char* message) {
  g_set_error_literal(error, GDK_PIXBUF_ERROR, error_code(s), message[0] ? message : qzr_status_string(s));
}

/* The failure the header of the data in hand meets in a decode: a bad
 * header, or a picture or payload beyond the limits. QZR_OK when there is
 * none, with the header's fields in *info. */
static qzr_status header_failure(const GByteArray* data, qzr_info* info, GError** error) {
  static const guint8 nothing = 0;
  const guint8* bytes = data->len > 0 ? data->data : &nothing; /* an empty array may have no storage */
  char message[256] = "";
  qzr_decode_options o;
  decode_options(&o, message, sizeof message);
  const qzr_status s = qzr_read_info(bytes, data->len, &o, info);
  if (s != QZR_OK) set_error(error, s, message);
  return s;
}

static gpointer qzr_begin_load(GdkPixbufModuleSizeFunc size_func, GdkPixbufModulePreparedFunc prepared_func,
                               GdkPixbufModuleUpdatedFunc updated_func, gpointer user_data, GError** error) {
  (void)error;
  QzrContext* c = g_new0(QzrContext, 1);
  c->size_func = size_func;
  c->prepared_func = prepared_func;
  c->updated_func = updated_func;
  c->user_data = user_data;
  c->data = g_byte_array_new();
  return c;
}

/* Reads the header once its bytes are in and tells the size. */
static gboolean read_header(QzrContext* c, GError** error) {
  if (header_failure(c->data, &c->info, error) != QZR_OK) return FALSE;
  if (c->info.width == 0 || c->info.height == 0) {
    g_set_error(error, GDK_PIXBUF_ERROR, GDK_PIXBUF_ERROR_CORRUPT_IMAGE, "The picture has no pixels (%u x %u)",
                c->info.width, c->info.height);
    return FALSE;
  }
  c->header_read = TRUE;
  /* The coded payload never takes twice the bytes of the payload it
   * expands to; bytes past that (a file with something appended) are not
   * needed by the decode, and are not kept. */
  c->keep = QZR_INFO_SIZE + 2 * (guint64)c->info.payload_length + 65536;
  int width = (int)c->info.width, height = (int)c->info.height;
  if (c->size_func != NULL) {
    c->size_func(&width, &height, c->user_data);
    /* A size of zero asks for the size alone, as gdk_pixbuf_get_file_info does. */
    if (width == 0 || height == 0) c->size_only = TRUE;
  }
  return TRUE;
}

static gboolean qzr_load_increment(gpointer context, const guchar* buf, guint size, GError** error) {
  QzrContext* c = context;
  if (c->failed || c->size_only) return !c->failed;
  if (c->header_read) {
    const guint64 room = c->keep > c->data->len ? c->keep - c->data->len : 0;
    if (size > room) size = (guint)room;
  }
  g_byte_array_append(c->data, buf, size);
  if (!c->header_read && c->data->len >= QZR_INFO_SIZE && !read_header(c, error)) {
    c->failed = TRUE;
    return FALSE;
  }
  return TRUE;
}

/* What survives of a damaged payload into the pixbuf, over whatever the
 * failed decode left there: TRUE when the salvage got at least the luma
 * plane, a picture worth showing; a mid-grey field is not. */
static gboolean salvage_pixbuf(const QzrContext* c, GdkPixbuf* pixbuf) {
  char message[256] = "";
  qzr_decode_options o;
  decode_options(&o, message, sizeof message);
  qzr_salvage_report report;
  const qzr_status s = qzr_salvage_into(c->data->data, c->data->len, &o, gdk_pixbuf_get_pixels(pixbuf),
                                        (size_t)gdk_pixbuf_get_rowstride(pixbuf),
                                        gdk_pixbuf_get_byte_length(pixbuf), &report);
  return s == QZR_ERROR_DAMAGED && !report.planes[0].neutral;
}

/* The whole picture into a new pixbuf, *whole TRUE. A damaged payload
 * sets the error and gives what survives of the picture, *whole FALSE, or
 * NULL when too little does; any other failure NULL with the error. */
static GdkPixbuf* decode_pixbuf(const QzrContext* c, gboolean* whole, GError** error) {
  *whole = FALSE;
  GdkPixbuf* pixbuf = gdk_pixbuf_new(GDK_COLORSPACE_RGB, FALSE, 8, (int)c->info.width, (int)c->info.height);
  if (pixbuf == NULL) {
    g_set_error(error, GDK_PIXBUF_ERROR, GDK_PIXBUF_ERROR_INSUFFICIENT_MEMORY,
                "Not enough memory for a picture of %u x %u pixels", c->info.width, c->info.height);
    return NULL;
  }
  char message[256] = "";
  qzr_decode_options o;
  decode_options(&o, message, sizeof message);
  const qzr_status s = qzr_decode_into(c->data->data, c->data->len, &o, gdk_pixbuf_get_pixels(pixbuf),
                                       (size_t)gdk_pixbuf_get_rowstride(pixbuf), gdk_pixbuf_get_byte_length(pixbuf));
  if (s == QZR_OK) {
    *whole = TRUE;
    return pixbuf;
  }
  set_error(error, s, message);
  if (s == QZR_ERROR_CORRUPT && salvage_pixbuf(c, pixbuf)) return pixbuf;
  g_object_unref(pixbuf);
  return NULL;
}

static gboolean qzr_stop_load(gpointer context, GError** error) {
  QzrContext* c = context;
  gboolean ok = !c->failed;
  if (ok && !c->size_only) {
    GdkPixbuf* pixbuf = NULL;
    if (!c->header_read) {
      /* The data ended inside the header. */
      qzr_info info;
      header_failure(c->data, &info, error);
      ok = FALSE;
    } else if ((pixbuf = decode_pixbuf(c, &ok, error)) != NULL) {
      /* A salvaged picture is handed out as a whole one is, and the load
       * still fails: gdk_pixbuf_loader_close() reports the error and
       * gdk_pixbuf_loader_get_pixbuf() gives the picture, so that a viewer
       * can show the part of a cut file that arrived. */
      if (c->prepared_func != NULL) c->prepared_func(pixbuf, NULL, c->user_data);
      if (c->updated_func != NULL)
        c->updated_func(pixbuf, 0, 0, gdk_pixbuf_get_width(pixbuf), gdk_pixbuf_get_height(pixbuf), c->user_data);
      g_object_unref(pixbuf);
    }
  }
  g_byte_array_unref(c->data);
  g_free(c);
  return ok;
}

G_MODULE_EXPORT void fill_vtable(GdkPixbufModule* module);
G_MODULE_EXPORT void fill_info(GdkPixbufFormat* info);

void fill_vtable(GdkPixbufModule* module) {
  module->begin_load = qzr_begin_load;
  module->stop_load = qzr_stop_load;
  module->load_increment = qzr_load_increment;
}

void fill_info(GdkPixbufFormat* info) {
  /* Any file that starts with the magic is ours: one of another version
   * gets the library's message, not "unknown format". */
  static GdkPixbufModulePattern signature[] = {{QZR_MAGIC, NULL, 100}, {NULL, NULL, 0}};
  static gchar* mime_types[] = {"image/x-qzr", NULL};
  static gchar* extensions[] = {"qzr", NULL};
  info->name = "qzr";
  info->signature = signature;
  info->description = "QZR wavelet image";
  info->mime_types = mime_types;
  info->extensions = extensions;
  info->flags = GDK_PIXBUF_FORMAT_THREADSAFE;
  info->license = "other";
}
