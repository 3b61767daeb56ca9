// A picture read through QImageReader as a Qt program reads it, for the
// plugin's tests (test_qt_plugin.py); Qt finds the plugin on QT_PLUGIN_PATH.
//
//   reader formats                  the formats and MIME types Qt can read
//   reader read HOW FILE OUT.ppm    the size told before the read, then the
//                                   picture as a binary PPM, or the failure
// HOW: "name" (QImageReader on the file's name), "buffer" (a QBuffer of the
// file's bytes, the format told by content), "buffer-qzr" (the same with
// the format named) or "stdin" (the standard input, a pipe: a sequential
// device). Exit status 0 when the picture was read, 1 when not, 2 on misuse.
#include <QtCore/QBuffer>
#include <QtCore/QCoreApplication>
#include <QtCore/QFile>
#include <QtGui/QImage>
#include <QtGui/QImageReader>

#include <cstdio>
#include <cstring>
#include <memory>

namespace {

bool write_ppm(const QImage& image, const char* path) {
  QFile out(QFile::decodeName(path));
  if (!out.open(QIODevice::WriteOnly)) return false;
  out.write(QByteArray("P6\n") + QByteArray::number(image.width()) + " " + QByteArray::number(image.height()) +
            "\n255\n");
  const qint64 row = 3 * static_cast<qint64>(image.width());
  for (int y = 0; y < image.height(); ++y) {
    if (out.write(reinterpret_cast<const char*>(image.constScanLine(y)), row) != row) return false;
  }
  return out.flush();
}

int read(const char* how, const char* path, const char* ppm) {
  QFile file(QFile::decodeName(path));
  QBuffer buffer;
  std::unique_ptr<QImageReader> reader;
  if (std::strcmp(how, "name") == 0) {
    reader = std::make_unique<QImageReader>(QFile::decodeName(path));
  } else if (std::strcmp(how, "stdin") == 0) {
    if (!file.open(stdin, QIODevice::ReadOnly)) return 2;
    reader = std::make_unique<QImageReader>(&file);
  } else {
    if (!file.open(QIODevice::ReadOnly)) return 2;
    buffer.setData(file.readAll());
    buffer.open(QIODevice::ReadOnly);
    reader = std::make_unique<QImageReader>(&buffer, std::strcmp(how, "buffer-qzr") == 0 ? "qzr" : "");
  }
  const QSize size = reader->size();
  std::printf("size %dx%d\n", size.width(), size.height());
  std::printf("format %s\n", reader->format().constData());  // told by content before the read
  std::fflush(stdout);
  QImage image;
  if (!reader->read(&image)) {
    std::printf("failed: %s\n", reader->errorString().toLocal8Bit().constData());
    return 1;
  }
  if (image.format() != QImage::Format_RGB888) {
    std::printf("not RGB888 but format %d\n", static_cast<int>(image.format()));
    return 2;
  }
  return write_ppm(image, ppm) ? 0 : 2;
}

}  // namespace

int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  if (argc == 2 && std::strcmp(argv[1], "formats") == 0) {
    for (const QByteArray& f : QImageReader::supportedImageFormats()) std::printf("format %s\n", f.constData());
    for (const QByteArray& m : QImageReader::supportedMimeTypes()) std::printf("mime %s\n", m.constData());
    return 0;
  }
  if (argc == 5 && std::strcmp(argv[1], "read") == 0) return read(argv[2], argv[3], argv[4]);
  std::fprintf(stderr, "usage: %s formats | read name|buffer|buffer-qzr|stdin FILE OUT.ppm\n", argv[0]);
  return 2;
}
