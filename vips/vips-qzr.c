/* The libvips module of QZR pictures: vips, vipsthumbnail, vipsheader and
 * every program or service built on libvips load .qzr files through it.
 *
 * Three loaders, as libvips has for its own formats: qzrload (a file name),
 * qzrload_buffer (bytes in memory) and qzrload_source (a VipsSource). All
 * three work on a source. header() reads the header alone, so the size is
 * known before any decoding; load() decodes the whole picture in one call
 * into a memory image and copies it into the output. A file is mapped, not
 * read; from a pipe no more bytes are read than the header's payload can
 * need. Every failure is a vips error of the domain "qzrload" carrying the
 * library's message. */
#include <stdint.h>
#include <string.h>

#include <vips/vips.h>

#include <qzr/decode.h>

#define DOMAIN "qzrload"

typedef struct _VipsForeignLoadQzr {
  VipsForeignLoad parent_object;
  VipsSource* source; /* set by the subclasses' build */
  qzr_info info;
} VipsForeignLoadQzr;

typedef VipsForeignLoadClass VipsForeignLoadQzrClass;

G_DEFINE_ABSTRACT_TYPE(VipsForeignLoadQzr, vips_foreign_load_qzr, VIPS_TYPE_FOREIGN_LOAD)

static void decode_options(qzr_decode_options* o, char* message, size_t message_size) {
  qzr_decode_options_init(o);
  o->message = message;
  o->message_size = message_size;
}

static void qzr_error(qzr_status s, const char* message) {
  vips_error(DOMAIN, "%s", message[0] ? message : qzr_status_string(s));
}

static gboolean starts_with_magic(const void* data, size_t size) {
  return data != NULL && size >= QZR_MAGIC_SIZE && memcmp(data, QZR_MAGIC, QZR_MAGIC_SIZE) == 0;
}

static gboolean is_a_source(VipsSource* source) {
  unsigned char* data = NULL;
  const gint64 n = vips_source_sniff_at_most(source, &data, QZR_MAGIC_SIZE);
  return n > 0 && starts_with_magic(data, (size_t)n);
}

static void vips_foreign_load_qzr_dispose(GObject* object) {
  VipsForeignLoadQzr* qzr = (VipsForeignLoadQzr*)object;
  VIPS_UNREF(qzr->source);
  G_OBJECT_CLASS(vips_foreign_load_qzr_parent_class)->dispose(object);
}

static VipsForeignFlags vips_foreign_load_qzr_get_flags(VipsForeignLoad* load) {
  (void)load;
  return 0; /* the whole picture at once */
}

static int vips_foreign_load_qzr_header(VipsForeignLoad* load) {
  VipsForeignLoadQzr* qzr = (VipsForeignLoadQzr*)load;
  unsigned char* data = NULL;
  const gint64 n = vips_source_sniff_at_most(qzr->source, &data, QZR_INFO_SIZE);
  if (n < 0) return -1;
  static const uint8_t nothing = 0;
  char message[256] = "";
  qzr_decode_options o;
  decode_options(&o, message, sizeof message);
  const qzr_status s = qzr_read_info(n > 0 ? data : &nothing, (size_t)n, &o, &qzr->info);
  if (s != QZR_OK) {
    qzr_error(s, message);
    return -1;
  }
  if (qzr->info.width == 0 || qzr->info.height == 0) {
    vips_error(DOMAIN, "The picture has no pixels (%u x %u)", qzr->info.width, qzr->info.height);
    return -1;
  }
  vips_image_init_fields(load->out, (int)qzr->info.width, (int)qzr->info.height, 3, VIPS_FORMAT_UCHAR, VIPS_CODING_NONE,
                         VIPS_INTERPRETATION_sRGB, 1.0, 1.0);
  if (vips_image_pipelinev(load->out, VIPS_DEMAND_STYLE_THINSTRIP, NULL)) return -1;
  vips_source_minimise(qzr->source);
  return 0;
}

/* The bytes the decode can use. The coded payload never takes twice the
 * bytes of the payload it expands to, so a pipe is read no further than
 * that: the limits bound the memory taken, and bytes appended to a file are
 * left unread. A file or a buffer is mapped whole, which costs nothing. */
static const void* whole_data(VipsForeignLoadQzr* qzr, size_t* size, void** owned) {
  *owned = NULL;
  if (vips_source_rewind(qzr->source)) return NULL;
  if (vips_source_is_mappable(qzr->source)) return vips_source_map(qzr->source, size);
  const size_t keep = QZR_INFO_SIZE + 2 * (size_t)qzr->info.payload_length + 65536;
  size_t have = 0, room = MIN(keep, (size_t)1 << 20);
  guint8* data = g_try_malloc(room);
  for (;;) {
    if (data == NULL) {
      vips_error(DOMAIN, "Not enough memory for the file's %zu bytes", room);
      return NULL;
    }
    const gint64 n = vips_source_read(qzr->source, data + have, room - have);
    if (n < 0) {
      g_free(data);
      return NULL;
    }
    have += (size_t)n;
    if (n == 0 || have == keep) break;
    if (have == room) {
      room = MIN(keep, 2 * room);
      guint8* bigger = g_try_realloc(data, room);
      if (bigger == NULL) g_free(data);
      data = bigger;
    }
  }
  *owned = data;
  *size = have;
  return data;
}

static int vips_foreign_load_qzr_load(VipsForeignLoad* load) {
  VipsForeignLoadQzr* qzr = (VipsForeignLoadQzr*)load;
  size_t size = 0;
  void* owned = NULL;
  const void* data = whole_data(qzr, &size, &owned);
  if (data == NULL) return -1;

  VipsImage* memory = vips_image_new_memory();
  vips_image_init_fields(memory, (int)qzr->info.width, (int)qzr->info.height, 3, VIPS_FORMAT_UCHAR, VIPS_CODING_NONE,
                         VIPS_INTERPRETATION_sRGB, 1.0, 1.0);
  int result = -1;
  if (vips_image_write_prepare(memory) == 0) {
    char message[256] = "";
    qzr_decode_options o;
    decode_options(&o, message, sizeof message);
    const qzr_status s =
        qzr_decode_into(data, size, &o, VIPS_IMAGE_ADDR(memory, 0, 0), (size_t)VIPS_IMAGE_SIZEOF_LINE(memory),
                        (size_t)VIPS_IMAGE_SIZEOF_IMAGE(memory));
    if (s != QZR_OK) {
      qzr_error(s, message);
      /* Some pipelines (libvips' thumbnail among them) take a failure here
       * as a bad tile and go on with black: the warning at least says why. */
      g_warning("%s: %s", DOMAIN, message[0] ? message : qzr_status_string(s));
    } else
      result = vips_image_write(memory, load->real);
  }
  g_object_unref(memory);
  g_free(owned);
  vips_source_minimise(qzr->source);
  return result;
}

static void vips_foreign_load_qzr_class_init(VipsForeignLoadQzrClass* class) {
  GObjectClass* gobject_class = G_OBJECT_CLASS(class);
  VipsObjectClass* object_class = (VipsObjectClass*)class;
  VipsForeignClass* foreign_class = (VipsForeignClass*)class;
  VipsForeignLoadClass* load_class = (VipsForeignLoadClass*)class;
  static const char* suffs[] = {".qzr", NULL};

  gobject_class->dispose = vips_foreign_load_qzr_dispose;
  gobject_class->set_property = vips_object_set_property;
  gobject_class->get_property = vips_object_get_property;
  object_class->nickname = "qzrload_base";
  object_class->description = "load QZR wavelet image";
  foreign_class->suffs = suffs;
  load_class->get_flags = vips_foreign_load_qzr_get_flags;
  load_class->header = vips_foreign_load_qzr_header;
  load_class->load = vips_foreign_load_qzr_load;
}

static void vips_foreign_load_qzr_init(VipsForeignLoadQzr* qzr) { (void)qzr; }

/* The three loaders differ in where their source comes from: each build
 * makes or takes its source (NULL when the argument is missing, which the
 * build then reports) and hands it over here. */
static int build_from(VipsObject* object, VipsSource* source) {
  ((VipsForeignLoadQzr*)object)->source = source;
  return VIPS_OBJECT_CLASS(vips_foreign_load_qzr_parent_class)->build(object);
}

static VipsForeignLoadClass* loader_class(gpointer class, const char* nickname, const char* description,
                                          int (*build)(VipsObject*)) {
  GObjectClass* gobject_class = G_OBJECT_CLASS(class);
  VipsObjectClass* object_class = (VipsObjectClass*)class;
  gobject_class->set_property = vips_object_set_property;
  gobject_class->get_property = vips_object_get_property;
  object_class->nickname = nickname;
  object_class->description = description;
  object_class->build = build;
  return (VipsForeignLoadClass*)class;
}

/* The loader of a VipsSource. */
typedef struct _VipsForeignLoadQzrSource {
  VipsForeignLoadQzr parent_object;
  VipsSource* source;
} VipsForeignLoadQzrSource;

typedef VipsForeignLoadQzrClass VipsForeignLoadQzrSourceClass;

G_DEFINE_TYPE(VipsForeignLoadQzrSource, vips_foreign_load_qzr_source, vips_foreign_load_qzr_get_type())

static int vips_foreign_load_qzr_source_build(VipsObject* object) {
  VipsSource* source = ((VipsForeignLoadQzrSource*)object)->source;
  return build_from(object, source != NULL ? g_object_ref(source) : NULL);
}

static void vips_foreign_load_qzr_source_class_init(VipsForeignLoadQzrSourceClass* class) {
  VipsForeignLoadClass* load_class =
      loader_class(class, "qzrload_source", "load QZR wavelet image from a source", vips_foreign_load_qzr_source_build);
  ((VipsOperationClass*)class)->flags = VIPS_OPERATION_NOCACHE;
  load_class->is_a_source = is_a_source;

  VIPS_ARG_OBJECT(class, "source", 1, "Source", "Source to load from", VIPS_ARGUMENT_REQUIRED_INPUT,
                  G_STRUCT_OFFSET(VipsForeignLoadQzrSource, source), VIPS_TYPE_SOURCE);
}

static void vips_foreign_load_qzr_source_init(VipsForeignLoadQzrSource* source) { (void)source; }

/* The loader of a file name. */
typedef struct _VipsForeignLoadQzrFile {
  VipsForeignLoadQzr parent_object;
  char* filename;
} VipsForeignLoadQzrFile;

typedef VipsForeignLoadQzrClass VipsForeignLoadQzrFileClass;

G_DEFINE_TYPE(VipsForeignLoadQzrFile, vips_foreign_load_qzr_file, vips_foreign_load_qzr_get_type())

static int vips_foreign_load_qzr_file_build(VipsObject* object) {
  const char* filename = ((VipsForeignLoadQzrFile*)object)->filename;
  VipsSource* source = NULL;
  if (filename != NULL && (source = vips_source_new_from_file(filename)) == NULL) return -1;
  return build_from(object, source);
}

/* The picture is known by its file's name, as vipsheader shows it. */
static int vips_foreign_load_qzr_file_header(VipsForeignLoad* load) {
  if (vips_foreign_load_qzr_header(load)) return -1;
  VIPS_SETSTR(load->out->filename, ((VipsForeignLoadQzrFile*)load)->filename);
  return 0;
}

static gboolean vips_foreign_load_qzr_file_is_a(const char* filename) {
  VipsSource* source = vips_source_new_from_file(filename);
  if (source == NULL) return FALSE;
  const gboolean result = is_a_source(source);
  g_object_unref(source);
  return result;
}

static void vips_foreign_load_qzr_file_class_init(VipsForeignLoadQzrFileClass* class) {
  VipsForeignLoadClass* load_class =
      loader_class(class, "qzrload", "load QZR wavelet image from a file", vips_foreign_load_qzr_file_build);
  load_class->is_a = vips_foreign_load_qzr_file_is_a;
  load_class->header = vips_foreign_load_qzr_file_header;

  VIPS_ARG_STRING(class, "filename", 1, "Filename", "Filename to load from", VIPS_ARGUMENT_REQUIRED_INPUT,
                  G_STRUCT_OFFSET(VipsForeignLoadQzrFile, filename), NULL);
}

static void vips_foreign_load_qzr_file_init(VipsForeignLoadQzrFile* file) { (void)file; }

/* The loader of bytes in memory. */
typedef struct _VipsForeignLoadQzrBuffer {
  VipsForeignLoadQzr parent_object;
  VipsBlob* blob;
} VipsForeignLoadQzrBuffer;

typedef VipsForeignLoadQzrClass VipsForeignLoadQzrBufferClass;

G_DEFINE_TYPE(VipsForeignLoadQzrBuffer, vips_foreign_load_qzr_buffer, vips_foreign_load_qzr_get_type())

static int vips_foreign_load_qzr_buffer_build(VipsObject* object) {
  VipsBlob* blob = ((VipsForeignLoadQzrBuffer*)object)->blob;
  VipsSource* source = NULL;
  if (blob != NULL && (source = vips_source_new_from_blob(blob)) == NULL) return -1;
  return build_from(object, source);
}

static gboolean vips_foreign_load_qzr_buffer_is_a(const void* data, size_t size) {
  return starts_with_magic(data, size);
}

static void vips_foreign_load_qzr_buffer_class_init(VipsForeignLoadQzrBufferClass* class) {
  VipsForeignLoadClass* load_class =
      loader_class(class, "qzrload_buffer", "load QZR wavelet image from a buffer", vips_foreign_load_qzr_buffer_build);
  load_class->is_a_buffer = vips_foreign_load_qzr_buffer_is_a;

  VIPS_ARG_BOXED(class, "buffer", 1, "Buffer", "Buffer to load from", VIPS_ARGUMENT_REQUIRED_INPUT,
                 G_STRUCT_OFFSET(VipsForeignLoadQzrBuffer, blob), VIPS_TYPE_BLOB);
}

static void vips_foreign_load_qzr_buffer_init(VipsForeignLoadQzrBuffer* buffer) { (void)buffer; }

/* libvips opens every module of its module folder at start-up and calls
 * this. The types stay registered for the life of the process, so the
 * module must stay loaded. */
G_MODULE_EXPORT const gchar* g_module_check_init(GModule* module);

const gchar* g_module_check_init(GModule* module) {
  g_module_make_resident(module);
  vips_foreign_load_qzr_file_get_type();
  vips_foreign_load_qzr_buffer_get_type();
  vips_foreign_load_qzr_source_get_type();
  return NULL;
}
