// The Qt image-format plugin of QZR pictures: QImageReader, and through it
// every Qt program that opens pictures, reads .qzr files. The same source
// builds against Qt 5 and Qt 6.
//
// A file is ours when it starts with the magic, which is peeked at without
// consuming the device. The picture's size comes from the header alone. The
// decode needs the whole payload, so read() takes the device's bytes, up to
// what the header's payload can need, and decodes them through the library's
// C API straight into the QImage's rows. Every failure is a false read()
// with the library's message as a warning.
#include <QtCore/QByteArray>
#include <QtCore/QFile>
#include <QtCore/QIODevice>
#include <QtCore/QSize>
#include <QtCore/QVariant>
#include <QtCore/QtGlobal>
#include <QtGui/QImage>
#include <QtGui/QImageIOHandler>
#include <QtGui/QImageIOPlugin>

#include <algorithm>
#include <cstdint>
#include <new>
#include <vector>

#include <qzr/decode.h>

namespace {

// The options of a decode with the library's default limits, and its message.
struct Decode {
  char message[256] = "";
  qzr_decode_options options;

  Decode() {
    qzr_decode_options_init(&options);
    options.message = message;
    options.message_size = sizeof message;
  }
};

// The file's name for a message, when the device is a file.
QByteArray name_of(const QIODevice* device) {
  const auto* file = qobject_cast<const QFile*>(device);
  return file != nullptr && !file->fileName().isEmpty() ? QFile::encodeName(file->fileName()) : QByteArray("(stream)");
}

// A failed read, told as a warning.
bool fail(const QIODevice* device, const char* message) {
  qWarning("qzr: %s: %s", name_of(device).constData(), message);
  return false;
}

bool fail(const QIODevice* device, const Decode& d, qzr_status s) {
  return fail(device, d.message[0] != '\0' ? d.message : qzr_status_string(s));
}

// The header of the picture at the device's position, checked against the
// limits, without consuming it.
qzr_status peek_header(QIODevice* device, Decode& d, qzr_info* info) {
  const QByteArray head = device->peek(QZR_INFO_SIZE);
  return qzr_read_info(reinterpret_cast<const uint8_t*>(head.constData()), static_cast<size_t>(head.size()),
                       &d.options, info);
}

// The device's bytes, at most limit of them: false when reading fails.
bool read_bounded(QIODevice* device, qint64 limit, std::vector<uint8_t>& data) {
  if (!device->isSequential()) {
    limit = std::max<qint64>(0, std::min(limit, device->size() - device->pos()));
    data.reserve(static_cast<size_t>(limit));
  }
  constexpr qint64 kChunk = qint64(1) << 20;
  while (static_cast<qint64>(data.size()) < limit) {
    const size_t at = data.size();
    const qint64 want = std::min(kChunk, limit - static_cast<qint64>(at));
    data.resize(at + static_cast<size_t>(want));
    const qint64 got = device->read(reinterpret_cast<char*>(data.data() + at), want);
    if (got < 0) return false;
    data.resize(at + static_cast<size_t>(got));
    // A stream that has nothing yet gets a bounded wait for more.
    if (got == 0 && !(device->isSequential() && device->waitForReadyRead(30000))) break;
  }
  return true;
}

class QzrHandler final : public QImageIOHandler {
 public:
  static bool starts_with_magic(QIODevice* device) {
    return device != nullptr && device->peek(QZR_MAGIC_SIZE) == QByteArray(QZR_MAGIC, QZR_MAGIC_SIZE);
  }

  bool canRead() const override {
    if (!starts_with_magic(device())) return false;
    setFormat("qzr");
    return true;
  }

  bool supportsOption(ImageOption option) const override { return option == Size || option == ImageFormat; }

  QVariant option(ImageOption option) const override {
    if (option == ImageFormat) return static_cast<int>(QImage::Format_RGB888);
    Decode d;
    qzr_info info;
    if (option != Size || device() == nullptr || peek_header(device(), d, &info) != QZR_OK) return {};
    return QSize(static_cast<int>(info.width), static_cast<int>(info.height));
  }

  bool read(QImage* image) override {
    QIODevice* in = device();
    if (in == nullptr) return fail(in, "no device to read from");
    Decode d;
    qzr_info info;
    if (const qzr_status s = peek_header(in, d, &info); s != QZR_OK) return fail(in, d, s);
    // The coded payload never takes twice the bytes of the payload it
    // expands to: bytes past that (something appended to the file) are not
    // read. The header's limits have bounded the payload.
    const qint64 needed = QZR_INFO_SIZE + 2 * static_cast<qint64>(info.payload_length) + 65536;
    std::vector<uint8_t> data;
    try {
      if (!read_bounded(in, needed, data)) return fail(in, in->errorString().toLocal8Bit().constData());
    } catch (const std::bad_alloc&) {
      return fail(in, "not enough memory to read the file");
    }
    if (info.width == 0 || info.height == 0) {
      // No picture to show; the decode still tells the damage qzrdec tells.
      uint8_t none = 0;
      const qzr_status s = qzr_decode_into(data.data(), data.size(), &d.options, &none, 3 * size_t{info.width}, 0);
      return s != QZR_OK ? fail(in, d, s) : fail(in, "the picture has no pixels");
    }
    QImage picture;
#if QT_VERSION >= QT_VERSION_CHECK(6, 0, 0)
    // Qt 6 bounds the memory of a picture (QImageReader::allocationLimit).
    const QSize size(static_cast<int>(info.width), static_cast<int>(info.height));
    if (!QImageIOHandler::allocateImage(size, QImage::Format_RGB888, &picture)) {
      return fail(in, "the picture is larger than Qt's image allocation limit, or there is not enough memory");
    }
#else
    picture = QImage(static_cast<int>(info.width), static_cast<int>(info.height), QImage::Format_RGB888);
    if (picture.isNull()) return fail(in, "not enough memory for the picture");
#endif
    const qzr_status s = qzr_decode_into(data.data(), data.size(), &d.options, picture.bits(),
                                         static_cast<size_t>(picture.bytesPerLine()),
                                         static_cast<size_t>(picture.sizeInBytes()));
    if (s != QZR_OK) return fail(in, d, s);
    *image = picture;
    return true;
  }
};

}  // namespace

class QzrImagePlugin final : public QImageIOPlugin {
  Q_OBJECT
  Q_PLUGIN_METADATA(IID QImageIOHandlerFactoryInterface_iid FILE "qzr.json")

 public:
  // Reading only: by the format's name, or by content when none is given.
  Capabilities capabilities(QIODevice* device, const QByteArray& format) const override {
    if (format == "qzr") return CanRead;
    if (!format.isEmpty() || device == nullptr || !device->isReadable()) return {};
    return QzrHandler::starts_with_magic(device) ? CanRead : Capabilities();
  }

  QImageIOHandler* create(QIODevice* device, const QByteArray& format) const override {
    auto* handler = new QzrHandler;
    handler->setDevice(device);
    handler->setFormat(format.isEmpty() ? QByteArray("qzr") : format);
    return handler;
  }
};

#include "qzr_image_plugin.moc"
